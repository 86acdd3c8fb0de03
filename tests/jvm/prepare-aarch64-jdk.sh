#!/usr/bin/env bash
# Prepares the aarch64 JDK 17 that the emulated JVM tests run on, once per
# build folder: Debian's arm64 OpenJDK 17 and the C and C++ runtimes it needs,
# unpacked into DIR/root (never installed: dpkg would force the host's own
# packages to the same versions), and DIR/launch, which runs one of its
# programs under qemu-user with DIR/root as the aarch64 file system.
# Usage: prepare-aarch64-jdk.sh DIR QEMU_AARCH64
set -euo pipefail
dir=$1 qemu=$2
packages=(openjdk-17-jre-headless libc6 libgcc-s1 libstdc++6 zlib1g)
java_home=usr/lib/jvm/java-17-openjdk-arm64

if [ -f "$dir/root/ready" ] && [ -x "$dir/launch" ]; then
  echo "aarch64 JDK: $(cat "$dir/root/ready") (prepared before, in $dir/root)"
  exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "aarch64 JDK: apt knows no arm64 packages; bash scripts/setup.sh adds the architecture" >&2
  exit 1
fi

work=$(mktemp -d "$dir.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debs" "$work/root"
(cd "$work/debs" && apt-get download -q "${packages[@]/%/:arm64}")
for deb in "$work"/debs/*.deb; do
  dpkg-deb -x "$deb" "$work/root"
done

# The packages link to absolute paths (the JDK's conf/ into /etc): resolved by
# the host, those would leave the root, so each now points inside it.
find "$work/root" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$work/root$target")" "$link"
done

rm -rf "$dir/root"
mkdir -p "$dir"
mv "$work/root" "$dir/root"
printf '#!/usr/bin/env bash\n# Runs an aarch64 program with %s as its file system.\nexec %q -L %q "$@"\n' \
  "$dir/root" "$qemu" "$dir/root" >"$dir/launch"
chmod +x "$dir/launch"

version=$("$dir/launch" "$dir/root/$java_home/bin/java" -version 2>&1 | head -1)
case "$version" in
  *'"17.'*) ;;
  *) echo "aarch64 JDK: the unpacked java does not run: $version" >&2; exit 1 ;;
esac
(cd "$work/debs" && ls) | tr '\n' ' ' >"$dir/root/ready"
echo "aarch64 JDK: $version, from $(cat "$dir/root/ready")"
