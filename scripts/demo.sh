#!/usr/bin/env bash
# The demo: installs what is missing, builds the library and the example, and
# runs the example application, which rewrites a vendor jar's classes while
# they load. Usage: bash scripts/demo.sh     (build folder: build/, or $BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}

# The demo runs on this machine's JVM: the jar's aarch64 copy, its cross
# compiler and the emulator are left to the tests (scripts/test.sh).
bash scripts/setup.sh --no-aarch64

echo "== Building libquorvane.so, quorvane.jar and the example in $build/ (a minute or so; log: $build/demo-build.log)"
mkdir -p "$build"
log=$build/demo-build.log
{ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_AARCH64=OFF &&
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target relocate_example_run_dir; } >"$log" 2>&1 \
  || { tail -n 40 "$log"; echo "demo: the build failed; the whole log is $log" >&2; exit 1; }
java_home=$(sed -n 's/^JAVA_HOME:PATH=//p' "$build/CMakeCache.txt")
app_dir=$root/$build/examples/relocate

cat <<TEXT

== The story
vendor-billing.jar is a third-party jar compiled against com.legacy.text.Formatter,
a library this application no longer ships (it is not on the class path). The
application registers a transformer that relocates com/legacy/text/ to
org/modern/text/ with ASM, and Quorvane applies it to the vendor's classes as
they load. Nothing is rebuilt, and no -Djava.library.path is given: the native
library comes out of quorvane.jar.

  source: examples/relocate/app/com/example/app/Main.java (the four steps)
          examples/relocate/app/com/example/app/PackageRelocator.java (the transformer)
  jars:   $(cd "$app_dir" && ls *.jar | tr '\n' ' ')
  run:    cd $build/demo && java -jar ../examples/relocate/relocate-example.jar

TEXT

work=$root/$build/demo
rm -rf "$work" && mkdir -p "$work" && cd "$work"

echo "== First without Quorvane (java -jar relocate-example.jar --without-quorvane):"
if "$java_home/bin/java" -jar "$app_dir/relocate-example.jar" --without-quorvane >plain.txt 2>&1; then
  echo "demo: the vendor code ran without Quorvane; the example is broken" >&2
  exit 1
fi
grep -m1 -E 'Exception|Error' plain.txt | sed 's/^/  /'
echo
echo "== Now with Quorvane (java -jar relocate-example.jar):"
status=0
"$java_home/bin/java" -jar "$app_dir/relocate-example.jar" >console.txt 2>&1 || status=$?
# The library logs every class it passes over at trace level; leave those to
# the log file and show the rest.
trace='^\[[0-9: -]*\] \[trace\]'
grep -v "$trace" console.txt
skipped=$(grep -c "$trace" console.txt || true)
echo
echo "== ($skipped trace lines, one per class the filters passed over, are in $work/libagent.log)"
if [ "$status" -ne 0 ]; then
  echo "demo: the example exited with status $status" >&2
  exit "$status"
fi
