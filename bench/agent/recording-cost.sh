#!/usr/bin/env bash
# What recording Quorvane's per-call event costs, per call of a transformer, on both
# routes: in each of [sessions] fresh JVMs per route, [pairs] pairs of rounds, one
# recording the event and one not, in a random order (qvbench.RecordingCost; see
# bench/README.md). Remap's route runs with the production log (info, file only,
# buffered), the Instrumentation's with B's copying transformer, as QB and I do.
# Usage: bash bench/agent/recording-cost.sh [sessions] [pairs]   (defaults 6 and 20)
#   BUILD_DIR, JAVA and BENCH_CPU as for run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
sessions=${1:-6}
pairs=${2:-20}
java=${JAVA:-java}
cpu=${BENCH_CPU:-$(( $(nproc) - 1 ))}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quorvane quorvane_jar agent_bench_harness agent_bench_copyagent \
  agent_bench_corpus >/dev/null
bench=$build/bench/agent
lib=$build/lib
cp="$bench/agent_bench_harness.jar:$lib/quorvane.jar:$bench/agent_bench_copyagent.jar"
out=$bench/recording-cost
rm -rf "$out" && mkdir -p "$out"
quiet=(-Dqv.vantrel.quorvane.log.level=info -Dqv.vantrel.quorvane.log.console=off -Dqv.vantrel.quorvane.log.flush=buffered)
for ((s = 0; s < sessions; s++)); do
  for route in remap instrumentation; do
    (cd "$out" && taskset -c "$cpu" "$java" -XX:+UseSerialGC -Xms512m -Xmx512m "${quiet[@]}" -Djava.library.path="$lib" \
      -cp "$cp" qvbench.RecordingCost run --corpus "$bench/corpus.jar" --route "$route" --pairs "$pairs") \
      | sed -n "s/^@@ /$s /p" >>"$out/pairs.txt"
  done
  echo "session $((s + 1))/$sessions done" >&2
done
"$java" -cp "$cp" qvbench.RecordingCost summarize "$out/pairs.txt"
echo "raw pairs: $out/pairs.txt"
