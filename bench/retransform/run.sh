#!/usr/bin/env bash
# The cost of retransforming loaded classes: Quorvane.retransformLoaded() and
# Quorvane.retransform(...) against Instrumentation.retransformClasses from a
# -javaagent, 500 classes of about 5,000 loaded (see bench/README.md).
# Usage: bash bench/retransform/run.sh [sessions] [rounds per session]
#   (each session starts a fresh JVM for each route; defaults 6 and 15)
#   BUILD_DIR  build folder (default build-bench, configured as Release if absent)
#   BENCH_CPU  the CPU both JVMs are pinned to (default: the last one)
#   JAVA       the java launcher (default: java on the PATH)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
sessions=${1:-6}
rounds=${2:-15}
java=${JAVA:-java}
cpu=${BENCH_CPU:-$(( $(nproc) - 1 ))}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quorvane quorvane_jar agent_bench_harness agent_bench_corpus \
  retransform_bench_agent retransform_bench_harness

bench=$build/bench/retransform
lib=$build/lib
agent=$bench/retransform_bench_agent.jar
cp="$bench/retransform_bench_harness.jar:$build/bench/agent/agent_bench_harness.jar:$lib/quorvane.jar:$agent"
corpus=$build/bench/agent/corpus.jar
out=$bench/run
rm -rf "$out" && mkdir -p "$out"
jvmopts=(-XX:+UseSerialGC -Xms512m -Xmx512m -Djava.library.path="$lib")

route_args() { # route -> the JVM's options and main class
  case $1 in
    agent) echo "-javaagent:$agent -cp $cp qvbench.retransform.RetransformBench --route agent" ;;
    quorvane) echo "-cp $cp qvbench.retransform.RetransformBench --route quorvane" ;;
  esac
}

# One checked run of each route first, under -Xcheck:jni, which must stay silent
# (the harness itself checks that every call retransformed all the classes).
# The JDK's own instrument library holds a local reference per class across
# retransformClasses, which JDK 17's -Xcheck:jni flags; only the library's run
# is held to that.
for route in agent quorvane; do
  warnings='WARNING in native method'
  [ $route = quorvane ] && warnings='WARNING in native method|WARNING: JNI local refs'
  dir=$out/checked-$route
  mkdir -p "$dir"
  # shellcheck disable=SC2046
  (cd "$dir" && "$java" -Xcheck:jni "${jvmopts[@]}" $(route_args $route) --corpus "$corpus" --warmup 0 --rounds 2 \
    >stdout.txt 2>stderr.txt) || { echo "checked run $route failed:"; tail -20 "$dir/stderr.txt"; exit 1; }
  if grep -qE "$warnings" "$dir/stdout.txt" "$dir/stderr.txt"; then
    echo "checked run $route: -Xcheck:jni warned"; grep -hE "$warnings" "$dir"/std*.txt | head; exit 1
  fi
  echo "checked run $route: -Xcheck:jni silent; $(grep -h '^@@ setup' "$dir/stderr.txt")"
done

rounds_file=$out/rounds.tsv
: >"$rounds_file"
for ((s = 0; s < sessions; s++)); do
  # Alternate which route runs first, so that a slow spell does not always hit the same one.
  order="agent quorvane"
  [ $((s % 2)) -eq 1 ] && order="quorvane agent"
  for route in $order; do
    dir=$out/session$s-$route
    mkdir -p "$dir"
    # shellcheck disable=SC2046
    (cd "$dir" && taskset -c "$cpu" "$java" "${jvmopts[@]}" $(route_args $route) --corpus "$corpus" \
      --rounds "$rounds" >stdout.txt 2>stderr.txt) || { echo "session $s, $route failed:"; tail -20 "$dir/stderr.txt"; exit 1; }
    grep '^@@ ' "$dir/stderr.txt" | grep -v '^@@ setup' | awk -v s="$s" '{print s, $2, $3, $4}' >>"$rounds_file"
  done
done

setup=$(grep -h '^@@ setup quorvane' "$out/checked-quorvane/stderr.txt")
loaded=$(sed -n 's/.*loaded=\([0-9]*\).*/\1/p' <<<"$setup")
selected=$(sed -n 's/.*selected=\([0-9]*\).*/\1/p' <<<"$setup")
"$java" -cp "$cp" qvbench.retransform.RetransformSummary "$rounds_file" "$selected" "$loaded"
echo "rounds: $rounds_file; each JVM's output and libagent.log: $out/session<n>-<route>/"
