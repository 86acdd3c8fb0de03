#!/usr/bin/env bash
# Runs the Maven example as its README recipe does, `mvn -o test` in the project's
# folder (a fresh copy of it), with Maven on the given JDK in an environment holding
# only PATH, HOME and JAVA_HOME, and the local repository given (where quorvane and
# quorvane-junit were installed). Then reads what Maven printed: the test passed (or,
# with --expect-failure, the build failed), each --expect text is there, the forked
# JVM printed no -Xcheck:jni warning and nothing warned of a dynamically loaded
# agent; on JDK 24 and later the fork's native-access warning is there exactly once,
# or not at all with --check-jni. --check-jni gives the fork, through Surefire's
# argLine, -Xcheck:jni and -XX:+DisableAttachMechanism, and on JDK 24 and later
# --enable-native-access=ALL-UNNAMED; without it there is no argLine, so the fork
# gets no JVM option. Extra arguments after -- go to mvn.
# Usage: run-maven.sh --java-home H --project DIR --repository R --work-dir W [--check-jni]
#                     [--expect-failure] [--expect TEXT]... [--expect-log TEXT]... [-- MVN_ARGS...]
set -uo pipefail

java_home="" project="" repository="" work_dir="" expect_failure=false check_jni=false
expects=() log_expects=()
while [ $# -gt 0 ]; do
  case "$1" in
    --java-home) java_home=$2; shift 2 ;;
    --project) project=$2; shift 2 ;;
    --repository) repository=$2; shift 2 ;;
    --work-dir) work_dir=$2; shift 2 ;;
    --expect-failure) expect_failure=true; shift ;;
    --check-jni) check_jni=true; shift ;;
    --expect) expects+=("$2"); shift 2 ;;
    --expect-log) log_expects+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "run-maven: unknown option $1" >&2; exit 2 ;;
  esac
done

feature=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$java_home/release" 2>/dev/null)
maven_args=()
if $check_jni; then
  arg_line="-Xcheck:jni -XX:+DisableAttachMechanism"
  [ "${feature:-17}" -lt 24 ] || arg_line+=" --enable-native-access=ALL-UNNAMED"
  maven_args+=("-DargLine=$arg_line")
fi

rm -rf "$work_dir" && mkdir -p "$work_dir" || exit 2
# The project as a clone has it: no target/ from an earlier run in the source folder.
(cd "$project" && tar --exclude=./target -cf - .) | (cd "$work_dir" && mkdir project && tar -xf - -C project) || exit 2
cd "$work_dir/project" || exit 2
env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="${HOME:-/root}" JAVA_HOME="$java_home" \
  mvn -o -B -Dmaven.repo.local="$repository" "${maven_args[@]}" "$@" test >../maven.txt 2>&1
status=$?

failed=0
fail() { echo "run-maven: $*"; failed=1; }
# Surefire 2.22 moves what the fork writes to its standard output outside Java's
# streams (-Xcheck:jni's warnings among it) into dump files.
output=$(cat ../maven.txt target/surefire-reports/*.dump* 2>/dev/null)
if $expect_failure; then
  [ $status -ne 0 ] || fail "mvn test succeeded"
  grep -q "BUILD FAILURE" <<<"$output" || fail "no BUILD FAILURE"
else
  [ $status -eq 0 ] || fail "mvn test exited with $status"
  grep -q "Tests run: 1, Failures: 0, Errors: 0, Skipped: 0" <<<"$output" || fail "the test did not pass"
fi
for text in "${expects[@]}"; do
  grep -qF -- "$text" ../maven.txt || fail "Maven's output lacks: $text"
done
if grep -q "Corrupted STDOUT" ../maven.txt; then
  fail "the fork wrote to its standard output outside Java: $(grep -h 'Stream' target/surefire-reports/*.dumpstream | head -3)"
fi
for text in "${log_expects[@]}"; do
  grep -qF -- "$text" target/libagent.log 2>/dev/null || fail "target/libagent.log lacks: $text"
done
if grep -qE 'WARNING in native method|WARNING: JNI local refs' <<<"$output"; then
  fail "-Xcheck:jni warned: $(grep -E 'WARNING in native method|WARNING: JNI local refs' <<<"$output" | head -3)"
fi
if grep -qiE 'loaded dynamically|dynamically loaded' <<<"$output"; then
  fail "an agent was loaded dynamically"
fi
warnings=$(grep -c 'WARNING: java.lang.System::load has been called by qv.vantrel.quorvane' <<<"$output")
if [ "${feature:-17}" -ge 24 ] && ! $check_jni; then
  [ "$warnings" -eq 1 ] || fail "the fork warned of native access $warnings times, not once"
else
  [ "$warnings" -eq 0 ] || fail "the fork warned of native access"
fi
if [ $failed -ne 0 ]; then
  echo "---- Maven's output (last 60 lines) ----"; tail -n 60 ../maven.txt
  echo "---- working directory: $work_dir"
  exit 1
fi
grep -E 'Tests run:|BUILD|Started the test run|Cannot start' ../maven.txt | head -20
exit 0
