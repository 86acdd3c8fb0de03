#!/usr/bin/env bash
# What quorvane-junit adds to a test run's start (see bench/README.md): the console
# launcher reaching its first test with and without the listener (no agent declared),
# and with Byte Buddy's agent declared against the same run with -javaagent, all four
# in one run, in fresh JVMs taking turns on one CPU; and the listener's own cost with no
# agent declared, measured inside a fresh JVM.
# Usage: bash bench/junit/run.sh [rounds]   (default 30)
#   BUILD_DIR (default build-bench), JAVA, BENCH_CPU (default the last CPU)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
rounds=${1:-30}
java=${JAVA:-java}
cpu=${BENCH_CPU:-$(( $(nproc) - 1 ))}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
build=$(cd "$build" && pwd)
cmake --build "$build" -j2 --target quorvane_jar quorvane_junit_jar junit_bench_driver junit_bench_tests >/dev/null
out=$build/bench/junit
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "$("$java" -version 2>&1 | head -1); $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$java" -cp "$out/junit_bench_driver.jar" qvbench.junit.StartBench "$java" "$rounds" "$work" \
  /usr/share/java/junit-platform-console-standalone.jar "$out/junit_bench_tests.jar" /usr/share/java/byte-buddy-agent.jar \
  "$build/lib/quorvane.jar" "$build/lib/quorvane-junit.jar" "$root/bench/junit/declared" "$out/junit_bench_driver.jar" \
  /usr/share/java/junit-platform-launcher.jar:/usr/share/java/junit-platform-engine.jar:/usr/share/java/junit-platform-commons.jar \
  "$cpu"
