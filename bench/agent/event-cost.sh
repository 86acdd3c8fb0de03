#!/usr/bin/env bash
# One call of Remap's path with the per-call event recorded, not recorded, recorded
# above a 1 ms threshold, and JFR's own cost of an event with the same fields
# (qvbench.EventCost; see bench/README.md): each mode in [JVMs] fresh JVMs, taking
# turns, not pinned (JFR writes its buffers on threads of its own, as in an application).
# Usage: bash bench/agent/event-cost.sh [JVMs per mode]   (default 7)
#   BUILD_DIR and JAVA as for run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${1:-7}
java=${JAVA:-java}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quorvane quorvane_jar agent_bench_harness >/dev/null
cp="$build/bench/agent/agent_bench_harness.jar:$build/lib/quorvane.jar"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
modes=(off on threshold plain)
for ((i = 0; i < runs; i++)); do
  for mode in "${modes[@]}"; do
    "$java" -Xms256m -Xmx256m -Djava.library.path="$build/lib" -cp "$cp" qvbench.EventCost "$mode" \
      | sed -n 's/^@@ //p' >>"$out/all"
  done
done
echo "$("$java" -version 2>&1 | head -1): ns per call, median of $runs JVMs (each the median of its rounds) [lowest-highest]"
for mode in "${modes[@]}"; do
  awk -v m="$mode" '$1 == m { print $2 }' "$out/all" | sort -n | awk -v m="$mode" '{ v[NR] = $1 } END {
    printf "  %-9s %6.0f  [%.0f-%.0f]\n", m, v[int((NR + 1) / 2)], v[1], v[NR] }'
done
