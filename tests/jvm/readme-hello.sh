#!/usr/bin/env bash
# Runs the README's "Your own transformer, from a fresh clone" as a reader
# would: its two Java files, taken from the README itself, compiled against
# quorvane.jar and run with the jar on the class path (the README's command)
# or on the module path (the README's module-path command). The transformer
# must print "howdy", the log must name the class, and neither the JVM nor
# -Xcheck:jni may warn. The jfr mode runs it on the class path under the README's
# flight recording and reads the recording back as the README does: jfr print, and
# its Slowest.java.
# Usage: readme-hello.sh JAVA_HOME QUORVANE_JAR README WORK_DIR class-path|module-path|jfr
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
  jfr)
    recording=$(grep -o -- '-XX:StartFlightRecording:filename=start.jfr,[^ ]*' "$readme" | head -1)
    [ -n "$recording" ] || { echo "no -XX:StartFlightRecording in $readme"; exit 1; }
    sed -n "/^cat > Slowest.java <<'EOF'\$/,/^EOF\$/p" "$readme" | sed '1d;$d' >Slowest.java
    [ -s Slowest.java ] || { echo "no Slowest.java in $readme"; exit 1; }
    run=("$recording" -Xlog:jfr+startup=off -cp "classes:$jar" --enable-native-access=ALL-UNNAMED) ;;
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
if [ "$mode" = jfr ] && [ $failed -eq 0 ]; then
  # The event the README shows, field by field (its times and the lambda's name vary).
  "$java_home/bin/jfr" print --events qv.vantrel.quorvane.ClassTransform start.jfr >events.txt
  for field in 'className = "demo/Greeter"' 'transformer = "demo.App$$Lambda' 'route = "remap"' 'cause = "load"' \
      'bytesIn = 276 bytes' 'bytesOut = 276 bytes' 'outcome = "changed"' 'failure = N/A'; do
    grep -qF "$field" events.txt || { echo "jfr print shows no $field:"; cat events.txt; failed=1; }
  done
  [ "$(grep -c '^qv.vantrel.quorvane.ClassTransform {' events.txt)" = 1 ] \
    || { echo "jfr print shows other than one ClassTransform event"; failed=1; }
  "$java_home/bin/java" Slowest.java start.jfr >slowest.txt 2>&1 || { echo "Slowest.java failed"; failed=1; }
  grep -qE '^ +[0-9.]+ ms +1 classes +0 failed  demo\.App\$\$Lambda.* \(remap\)$' slowest.txt \
    || { echo "Slowest.java printed:"; cat slowest.txt; failed=1; }
fi
if [ $failed -ne 0 ]; then
  tail -n 20 stderr.txt; exit 1
fi
echo "README example on the $mode: $(grep -c . stdout.txt) lines, howdy"
