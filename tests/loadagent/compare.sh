#!/usr/bin/env bash
# Runs one program twice through run-case.sh (-Xcheck:jni, no crash): once with
# agents started by the JDK (-javaagent options given here) and once with the
# program starting them itself through Quorvane.loadAgent; fails when the
# transcripts the two runs write differ.
# With --plain, Quorvane's run is started as users start theirs, with no JVM
# option at all and a clean environment (run-case.sh --plain); the JDK's run
# keeps its -javaagent options. The JVM options of both runs are then -D only.
# Usage: compare.sh RUN_CASE WORK_DIR [--plain PLAIN_JAR] -- <run-case options> -- <JVM options of both runs>
#                   -- <-javaagent options> -- MAIN [args]
# MAIN gets "agent|quorvane <transcript file>" before the args.
set -uo pipefail
run_case=$1 work=$2
shift 2
plain=()
if [ "${1:-}" = "--plain" ]; then
  plain=(--plain "$2")
  shift 2
fi
[ "$1" = "--" ] && shift
options=() common=() agents=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
shift
while [ $# -gt 0 ] && [ "$1" != "--" ]; do common+=("$1"); shift; done
shift
while [ $# -gt 0 ] && [ "$1" != "--" ]; do agents+=("$1"); shift; done
shift
main=$1
shift

rm -rf "$work" && mkdir -p "$work"
failed=0
for mode in agent quorvane; do
  jvm_args=("${common[@]}") how=()
  [ $mode = agent ] && jvm_args+=("${agents[@]}")
  [ $mode = quorvane ] && how=("${plain[@]}")
  echo "== $mode${how[*]:+ (no JVM options)}"
  bash "$run_case" "${options[@]}" "${how[@]}" --work-dir "$work/$mode" -- "${jvm_args[@]}" "$main" $mode \
    "$work/$mode.txt" "$@" ||
    failed=1
done
[ $failed -eq 0 ] || exit 1
if ! diff -u "$work/agent.txt" "$work/quorvane.txt"; then
  echo "compare: the transcripts differ (above: - agents started by the JDK, + by Quorvane.loadAgent)"
  exit 1
fi
echo "compare: transcripts equal ($(wc -l < "$work/agent.txt") lines):"
cat "$work/agent.txt"
