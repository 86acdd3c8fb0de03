#!/usr/bin/env bash
# The first transformer's cost: the wall time of the first Remap.setTransformer in a
# fresh JVM (registering the Transformers MXBean, listening for JFR), and the classes
# loaded from the JVM's start to its end, for this build and, with OTHER_LIB, for
# another, in alternating fresh JVMs (see bench/README.md).
# Usage: bash bench/agent/first-transformer.sh [JVMs per build]   (default 20)
#   BUILD_DIR, JAVA, BENCH_CPU and OTHER_LIB as for run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${1:-20}
java=${JAVA:-java}
cpu=${BENCH_CPU:-$(( $(nproc) - 1 ))}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quorvane quorvane_jar agent_bench_harness >/dev/null
harness=$build/bench/agent/agent_bench_harness.jar
libs=("$build/lib")
[ -n "${OTHER_LIB:-}" ] && libs+=("$OTHER_LIB")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ((i = 0; i < runs; i++)); do
  for lib in "${libs[@]}"; do
    key=$(echo "$lib" | md5sum | cut -c1-8)
    taskset -c "$cpu" "$java" -Djava.library.path="$lib" -cp "$harness:$lib/quorvane.jar" qvbench.FirstTransformer \
      | sed -n 's/^@@ //p' >>"$out/$key.ns"
  done
done
for lib in "${libs[@]}"; do
  key=$(echo "$lib" | md5sum | cut -c1-8)
  classes=$("$java" -Xlog:class+load=info -Djava.library.path="$lib" -cp "$harness:$lib/quorvane.jar" \
    qvbench.FirstTransformer | grep -c 'class,load' || true)
  sort -n "$out/$key.ns" | awk -v lib="$lib" -v classes="$classes" '{ v[NR] = $1 } END {
    printf "%s: first setTransformer %.1f ms median (%.1f-%.1f ms interquartile, %d JVMs); %d classes loaded in all\n",
      lib, v[int((NR + 1) / 2)] / 1e6, v[int((NR + 3) / 4)] / 1e6, v[int((3 * NR + 3) / 4)] / 1e6, NR, classes }'
done
