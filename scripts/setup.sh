#!/usr/bin/env bash
# Installs, on a Debian 12 machine, whatever the build, the tests, the demo and
# the benchmarks need and is not there yet. Safe to run again: it only asks
# apt-get for missing packages.
set -euo pipefail

packages=(
  cmake make g++ binutils
  libspdlog-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  openjdk-17-jdk-headless
  libasm-java
  clang libclang-rt-14-dev
  valgrind util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
