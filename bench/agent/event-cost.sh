#!/usr/bin/env bash
# One call of each route's transformer with the per-call event recorded, not recorded,
# recorded above a 1 ms threshold, and JFR's own cost of an event with the same fields
# (qvbench.EventCost; see bench/README.md): each mode and route in [JVMs] fresh JVMs,
# taking turns, not pinned (JFR writes its buffers on threads of its own, as in an
# application), each JVM [rounds] rounds of 4,096 calls, the first half to warm up.
# Usage: bash bench/agent/event-cost.sh [JVMs per mode] [rounds]   (default 7, 300)
#   BUILD_DIR and JAVA as for run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${1:-7}
rounds=${2:-300}
java=${JAVA:-java}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quorvane quorvane_jar agent_bench_harness >/dev/null
cp="$build/bench/agent/agent_bench_harness.jar:$build/lib/quorvane.jar"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
modes=(off on threshold plain)
routes=(remap instrumentation)
for ((i = 0; i < runs; i++)); do
  for route in "${routes[@]}"; do
    for mode in "${modes[@]}"; do
      # plain has no route: run it once a turn
      if [ "$mode" = plain ] && [ "$route" != remap ]; then continue; fi
      "$java" -Xms256m -Xmx256m --enable-native-access=ALL-UNNAMED -Dqvbench.rounds="$rounds" \
        -Djava.library.path="$build/lib" -cp "$cp" qvbench.EventCost "$mode" "$route" \
        | sed -n "s/^@@ /$route /p" >>"$out/all"
    done
  done
done
echo "$("$java" -version 2>&1 | head -1): ns per call, median of $runs JVMs (each the median of its measured rounds) [lowest-highest]"
median() {
  sort -n | awk -v m="$1" '{ v[NR] = $1 } END { printf "  %-25s %6.0f  [%.0f-%.0f]\n", m, v[int((NR + 1) / 2)], v[1], v[NR] }'
}
for route in "${routes[@]}"; do
  for mode in off on threshold; do
    awk -v r="$route" -v m="$mode" '$1 == r && $2 == m { print $3 }' "$out/all" | median "$route $mode"
  done
done
awk '$2 == "plain" { print $3 }' "$out/all" | median "plain JFR event"

