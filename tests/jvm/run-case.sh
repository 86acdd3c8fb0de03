#!/usr/bin/env bash
# Runs one real-JVM test case: a fresh working directory, -Xcheck:jni, and a
# failure for a non-zero exit, any -Xcheck:jni warning or a VM crash file.
# Usage: run-case.sh --java J [--launcher L] --lib-dir D --work-dir W --classpath CP [--env NAME=VALUE]...
#                    [--plain PLAIN_JAR] [--expect-exit STATUS] -- [jvm args] Main [args]
# With --plain, the case runs as a user's `java -cp app.jar Main` does: the JVM
# gets no option at all (no -Xcheck:jni, no library path: the library comes
# from the jar) and an environment holding only PATH, HOME and the --env
# entries. Its -Dkey=value arguments reach it as program arguments of
# PLAIN_JAR's qvtest.Plain, which sets them before it calls Main; a -jar case
# takes none.
# With --expect-exit, the JVM must exit with STATUS instead of 0 (a test run that
# is meant to fail); the other checks stay.
# With --launcher, J runs as `L J ...` (an emulator for a JDK of another
# architecture), and the JVM learns L from -Dquorvane.test.launcher so that
# the cases start their child JVMs the same way.
set -uo pipefail

java="" launcher="" lib_dir="" work_dir="" classpath="" plain_jar="" expect_exit=0
env_vars=()
while [ $# -gt 0 ]; do
  case "$1" in
    --java) java=$2; shift 2 ;;
    --launcher) launcher=$2; shift 2 ;;
    --lib-dir) lib_dir=$2; shift 2 ;;
    --work-dir) work_dir=$2; shift 2 ;;
    --classpath) classpath=$2; shift 2 ;;
    --env) env_vars+=("$2"); shift 2 ;;
    --plain) plain_jar=$2; shift 2 ;;
    --expect-exit) expect_exit=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run-case: unknown option $1" >&2; exit 2 ;;
  esac
done

rm -rf "$work_dir" && mkdir -p "$work_dir" && cd "$work_dir" || exit 2

run=("$java") extra=()
if [ -n "$launcher" ]; then
  run=("$launcher" "$java")
  # The JDK's default way of starting a process runs its own helper binary,
  # which the host cannot execute; vfork execs the launcher directly.
  extra+=(-Dquorvane.test.launcher="$launcher" -Djdk.lang.Process.launchMechanism=VFORK)
fi
# JDK 24 and later warn about native access unless the application allows it.
# The JDK's release file tells its version without a JVM start (seconds, emulated).
release=$(dirname "$java")/../release
if [ -f "$release" ]; then
  feature=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$release")
else
  feature=$("${run[@]}" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java\.version = \([0-9]*\).*/\1/p')
fi
if [ "${feature:-17}" -ge 24 ] 2>/dev/null; then
  extra+=(--enable-native-access=ALL-UNNAMED)
fi

if [ -n "$plain_jar" ]; then
  if [ "${1:-}" = -jar ]; then
    plain=("$@")
  else
    plain=(-cp "$plain_jar:$classpath" qvtest.Plain "$@")
  fi
  env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="${HOME:-/root}" "${env_vars[@]}" "${run[@]}" "${plain[@]}" \
    >stdout.txt 2>stderr.txt
else
  env "${env_vars[@]}" "${run[@]}" -Xcheck:jni "${extra[@]}" -Djava.library.path="$lib_dir" -cp "$classpath" "$@" \
    >stdout.txt 2>stderr.txt
fi
status=$?

failed=0
if [ $status -ne "$expect_exit" ]; then
  echo "run-case: JVM exited with $status$([ "$expect_exit" -eq 0 ] || echo ", not $expect_exit")"
  failed=1
fi
# Misused JNI calls, and a native frame holding more local references than it declared.
# One is the JDK's own, not ours: JDK 17's java.instrument lists the loaded
# classes for Instrumentation.getAllLoadedClasses (the tests' -javaagent asks
# it, as the oracle) without declaring the local references, and -Xcheck:jni
# warns inside that JDK native whenever more than 32 classes are loaded. Only a
# local-references warning whose stack starts in that native is left out.
jni_warning='WARNING in native method|WARNING: JNI local refs'
jdk_listing='^[[:space:]]+at sun[.]instrument[.]InstrumentationImpl[.]getAllLoadedClasses0[(]'
jni_warnings() {
  WARNING="$jni_warning" JDK="$jdk_listing" awk '
    FNR == 1 && held != "" { print held; held = "" }
    held != "" { if ($0 !~ ENVIRON["JDK"]) print held; held = "" }
    /WARNING: JNI local refs/ { held = $0; next }
    $0 ~ ENVIRON["WARNING"] { print }
    END { if (held != "") print held }' stdout.txt stderr.txt
}
if [ -n "$(jni_warnings)" ]; then
  echo "run-case: -Xcheck:jni reported a warning:"
  jni_warnings | head -5
  failed=1
fi
if ls hs_err_pid*.log >/dev/null 2>&1; then
  echo "run-case: the JVM crashed: $(ls hs_err_pid*.log)"
  failed=1
fi
if [ $failed -ne 0 ]; then
  echo "---- stdout (last 40 lines) ----"; tail -n 40 stdout.txt
  echo "---- stderr (last 40 lines) ----"; tail -n 40 stderr.txt
  echo "---- working directory: $work_dir"
  exit 1
fi
# Show what the case printed about itself, not the trace lines of the log.
grep -v '\[trace\]' stdout.txt | tail -n 20
exit 0
