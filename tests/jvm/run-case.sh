#!/usr/bin/env bash
# Runs one real-JVM test case: a fresh working directory, -Xcheck:jni, and a
# failure for a non-zero exit, any -Xcheck:jni warning or a VM crash file.
# Usage: run-case.sh --java J [--launcher L] --lib-dir D --work-dir W --classpath CP [--env NAME=VALUE]...
#                    [--jdk-warning-in FRAME] -- [jvm args] Main [args]
# --jdk-warning-in: a local-reference warning raised inside the JDK's own
# native method FRAME (as its stack's first line names it) is the JDK's, not
# the case's, and does not fail it.
# With --launcher, J runs as `L J ...` (an emulator for a JDK of another
# architecture), and the JVM learns L from -Dquorvane.test.launcher so that
# the cases start their child JVMs the same way.
set -uo pipefail

java="" launcher="" lib_dir="" work_dir="" classpath="" jdk_frame=""
env_vars=()
while [ $# -gt 0 ]; do
  case "$1" in
    --java) java=$2; shift 2 ;;
    --launcher) launcher=$2; shift 2 ;;
    --lib-dir) lib_dir=$2; shift 2 ;;
    --work-dir) work_dir=$2; shift 2 ;;
    --classpath) classpath=$2; shift 2 ;;
    --env) env_vars+=("$2"); shift 2 ;;
    --jdk-warning-in) jdk_frame=$2; shift 2 ;;
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

env "${env_vars[@]}" "${run[@]}" -Xcheck:jni "${extra[@]}" -Djava.library.path="$lib_dir" -cp "$classpath" "$@" >stdout.txt 2>stderr.txt
status=$?

failed=0
if [ $status -ne 0 ]; then
  echo "run-case: JVM exited with $status"
  failed=1
fi
# Misused JNI calls, and a native frame holding more local references than it declared.
jni_warning='WARNING in native method|WARNING: JNI local refs'
warnings() {
  if [ -n "$jdk_frame" ]; then
    grep -hE -A1 "$jni_warning" stdout.txt stderr.txt | grep -v -- '^--$' | paste - - | grep -vF "at $jdk_frame("
  else
    grep -hE "$jni_warning" stdout.txt stderr.txt
  fi
}
if [ -n "$(warnings)" ]; then
  echo "run-case: -Xcheck:jni reported a warning:"
  warnings | head -5
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
