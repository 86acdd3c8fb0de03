#!/usr/bin/env bash
# Runs the README's "Your own transformer, from a fresh clone" as a reader
# would: its two Java files, taken from the README itself, compiled against
# quorvane.jar and run with the jar on the class path (the README's command)
# or on the module path (the README's module-path command). The transformer
# must print "howdy", the log must name the class, and neither the JVM nor
# -Xcheck:jni may warn.
# Usage: readme-hello.sh JAVA_HOME QUORVANE_JAR README WORK_DIR class-path|module-path
set -uo pipefail
java_home=$1 jar=$2 readme=$3 work_dir=$4 mode=$5
rm -rf "$work_dir" && mkdir -p "$work_dir/demo" && cd "$work_dir" || exit 2

# The README's heredocs, as written there.
for file in Greeter App; do
  sed -n "/^cat > demo\/$file.java <<'EOF'\$/,/^EOF\$/p" "$readme" | sed '1d;$d' >"demo/$file.java"
  [ -s "demo/$file.java" ] || { echo "no demo/$file.java in $readme"; exit 1; }
done
"$java_home/bin/javac" -cp "$jar" -d classes demo/*.java || exit 1

case $mode in
  class-path) run=(-cp "classes:$jar" --enable-native-access=ALL-UNNAMED) ;;
  module-path) run=(--enable-native-access=qv.vantrel.quorvane --module-path "$jar" --add-modules qv.vantrel.quorvane
                    -cp classes) ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
"$java_home/bin/java" -Xcheck:jni "${run[@]}" demo.App >stdout.txt 2>stderr.txt
status=$?
failed=0
[ $status -eq 0 ] || { echo "demo.App exited with $status"; failed=1; }
grep -qx "howdy" stdout.txt || { echo "demo.App did not print howdy"; failed=1; }
grep -q "\[info\] \[Quorvane\] Remapped: demo/Greeter (" libagent.log || { echo "the log names no Remapped demo/Greeter"; failed=1; }
if grep -q "WARNING" stdout.txt stderr.txt; then
  echo "the JVM warned:"; grep -h "WARNING" stdout.txt stderr.txt | head -5; failed=1
fi
if [ $failed -ne 0 ]; then
  tail -n 20 stderr.txt; exit 1
fi
echo "README example on the $mode: $(grep -c . stdout.txt) lines, howdy"
