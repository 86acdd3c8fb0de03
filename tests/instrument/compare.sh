#!/usr/bin/env bash
# The differential test: runs the probe once with the JDK's own Instrumentation
# (the tests' -javaagent) and once with Quorvane's, each through run-case.sh
# (-Xcheck:jni, no crash), and fails when the transcripts differ. The one
# -Xcheck:jni warning tolerated is the JDK's own, in its run. The log is
# the one allowed difference: Quorvane's run must show the line that hands the
# Instrumentation out, once, and one warning per call of the throwing transformer.
# With --plain, Quorvane's run is started as users start theirs, with no JVM
# option at all and a clean environment (run-case.sh --plain); the JDK's run
# keeps its -javaagent, which is an option. The jvm args are then -D only.
# Usage: compare.sh RUN_CASE WORK_DIR AGENT_JAR [--plain PLAIN_JAR] -- <run-case options> -- <jvm args...>
set -uo pipefail
run_case=$1 work=$2 agent=$3
shift 3
plain=()
if [ "${1:-}" = "--plain" ]; then
  plain=(--plain "$2")
  shift 2
fi
[ "$1" = "--" ] && shift
options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
shift
jvm_args=("$@")

rm -rf "$work" && mkdir -p "$work"
failed=0
for mode in agent quorvane; do
  extra=() how=()
  [ $mode = agent ] && extra=(-javaagent:"$agent")
  [ $mode = quorvane ] && how=("${plain[@]}")
  echo "== $mode${how[*]:+ (no JVM options)}"
  bash "$run_case" "${options[@]}" "${how[@]}" --work-dir "$work/$mode" -- "${extra[@]}" "${jvm_args[@]}" \
    qvprobe.InstrumentationProbe $mode "$work/$mode.txt" || failed=1
done
[ $failed -eq 0 ] || exit 1

if ! diff -u "$work/agent.txt" "$work/quorvane.txt"; then
  echo "compare: the transcripts differ (above: - the JDK's Instrumentation, + Quorvane's)"
  exit 1
fi
log=$work/quorvane/libagent.log
handed=$(grep -c 'Instrumentation handed out' "$log")
throws=$(grep -c '^    T-throws:' "$work/quorvane.txt")
warned=$(grep -c 'Instrumentation: transformer qvprobe.InstrumentationProbe\$Recorder threw java.lang.IllegalStateException: transformer failure on purpose for ' "$log")
if [ "$handed" != 1 ] || [ "$throws" -lt 1 ] || [ "$warned" != "$throws" ]; then
  echo "compare: the log has $handed hand-out lines (want 1) and $warned warnings for $throws calls of the throwing transformer"
  exit 1
fi
echo "compare: transcripts equal ($(wc -l < "$work/agent.txt") lines); $warned warnings for the throwing transformer"
