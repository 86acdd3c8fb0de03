#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through CTest.
# Usage: bash scripts/test.sh            (build folder: build/)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

# The sanitizer and fuzzer stages each have a time bound, so that a hang
# fails CI instead of eating its budget. They use clang, in build folders of
# their own.
native_test_targets=(quorvane_native_tests quorvane_hook_route_tests quorvane_init_tests quorvane_log_start_tests
  quorvane_detach_tests)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The native tests only: a sanitized libquorvane.so cannot be loaded by a JVM.
sanitized_native_tests() {
  local kind=$1 dir=$2
  echo "== native tests under the ${kind} sanitizer (clang)"
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVANE_SANITIZE="$kind" -DQUORVANE_BUILD_JAVA=OFF -DQUORVANE_BUILD_BENCHMARKS=OFF
  timeout 1200 cmake --build "$dir" -j"$jobs" --target "${native_test_targets[@]}"
  timeout 600 ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout 300 -j"$jobs"
}
sanitized_native_tests address build-asan
sanitized_native_tests thread build-tsan

echo "== filter fuzzer (clang, libFuzzer, 60 s)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_BUILD_FUZZERS=ON \
  -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_JAVA=OFF -DQUORVANE_BUILD_BENCHMARKS=OFF
timeout 600 cmake --build build-fuzz -j"$jobs" --target filter_fuzzer
# New inputs land in build-fuzz/corpus; the seeds kept in fuzz/corpus are only read.
rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
timeout 300 build-fuzz/fuzz/filter_fuzzer -max_total_time=60 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus

echo "== build (g++; the library for x86-64 and, cross-compiled, for aarch64)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_AARCH64=ON
cmake --build build -j"$jobs"

# The real-JVM cases on an aarch64 JDK 17 under qemu-user, with the jar's
# aarch64 copy; the first run unpacks that JDK into build/jdk17-aarch64.
echo "== real-JVM cases on aarch64, emulated (ctest -L jdk17-aarch64)"
began=$SECONDS
ctest --test-dir build --output-on-failure -j"$jobs" -L jdk17-aarch64 --no-tests=error
echo "== emulated aarch64 stage: $((SECONDS - began)) s"

# Last, so that CTest's summary of the main suite closes the output.
echo "== test (native, library and install checks; real-JVM cases on JDK 17 and, when installed, JDK 25)"
ctest --test-dir build --output-on-failure -j"$jobs" -LE jdk17-aarch64
