#!/usr/bin/env bash
# Runs the example as its users would, `java -jar relocate-example.jar`, with no
# flag at all beyond -Xcheck:jni: the manifest alone must bring the class path
# and, on JDK 24 and later, native access. Any JVM warning fails the run.
# With --plain, not even -Xcheck:jni, in an environment holding only PATH and HOME.
# Usage: run-java-jar.sh [--plain] JAVA JAR WORK_DIR [LAUNCHER]   (LAUNCHER: the emulator JAVA runs under)
set -uo pipefail
checks=(-Xcheck:jni) clean=()
if [ "${1:-}" = --plain ]; then
  checks=() clean=(env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="${HOME:-/root}")
  shift
fi
java=$1 jar=$2 work_dir=$3 launcher=${4:-}
rm -rf "$work_dir" && mkdir -p "$work_dir" && cd "$work_dir" || exit 2

run=("$java")
[ -z "$launcher" ] || run=("$launcher" "$java")
"${clean[@]}" "${run[@]}" "${checks[@]}" -jar "$jar" >stdout.txt 2>stderr.txt
status=$?
if [ $status -ne 0 ] || grep -q "WARNING" stderr.txt stdout.txt; then
  echo "java -jar exited with $status or warned; working directory: $work_dir"
  grep -h "WARNING" stderr.txt stdout.txt | head -5
  tail -n 20 stderr.txt
  exit 1
fi
grep -v '\[trace\]' stdout.txt | tail -n 12
