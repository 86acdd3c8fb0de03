#!/usr/bin/env bash
# Installs, on a Debian 12 machine, whatever the build, the tests, the demo and
# the benchmarks need and is not there yet. Safe to run again: it only asks
# apt-get for missing packages.
# Usage: bash scripts/setup.sh [--no-aarch64]
#   --no-aarch64: leave out what only the aarch64 copy of the library and its
#                 tests need (the cross compiler, qemu-user, arm64 package lists);
#                 the demo builds for x86-64 alone and passes it.
set -euo pipefail

packages=(
  cmake make g++ binutils
  libspdlog-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  openjdk-17-jdk-headless
  libasm-java
  libbyte-buddy-java libbyteman-java
  junit5 maven libsurefire-java libmaven-compiler-plugin-java libmaven-resources-plugin-java
  clang libclang-rt-14-dev
  valgrind util-linux
)
case "${1:-}" in
  "") aarch64=true ;;
  --no-aarch64) aarch64=false ;;
  *) echo "usage: bash scripts/setup.sh [--no-aarch64]" >&2; exit 2 ;;
esac
if $aarch64; then
  packages+=(g++-aarch64-linux-gnu qemu-user)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# The emulated tests unpack Debian's arm64 JDK with apt-get download, which
# needs apt to list arm64 packages. Nothing arm64 is ever installed here: that
# would force the host's own packages, its JDK among them, to new versions.
update=false
if $aarch64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "setup: adding arm64 to apt's package lists (for the emulated tests' JDK, never installed)"
  $sudo dpkg --add-architecture arm64
  update=true
fi
if $aarch64 && ! $update && ! apt-cache show openjdk-17-jre-headless:arm64 >/dev/null 2>&1; then
  update=true
fi

if ((${#missing[@]})) || $update; then
  $sudo apt-get update -qq
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
