#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through CTest.
# Usage: bash scripts/test.sh            (build folder: build/)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test (g++, JDK 17)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
