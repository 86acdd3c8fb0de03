#!/usr/bin/env bash
# Runs the README's "Your own transformer, from a fresh clone" as a reader
# would, from the README's own text: its shell block (the folder under ~/hello,
# the two Java files, javac) run by bash with $Q set to quorvane.jar and HOME
# to the working directory, then the README's command of the mode: the class
# path's java line, the module path's, or the flight recording's, read back as
# the README reads it (jfr print, and its Slowest.java). The transformer must
# print "howdy" and the log must name the class.
# The checked run adds -Xcheck:jni and, on JDK 24 and later, the native-access
# option the README names for the mode, through JDK_JAVA_OPTIONS so that the
# command stays the README's: neither the JVM nor -Xcheck:jni may warn. With
# --as-written, the commands run exactly as written in an environment holding
# only PATH (the JDK's bin first) and HOME: on JDK 24 and later the one warning
# allowed is the JDK's own of Quorvane's library, and its advice must be the
# option the README names.
# Usage: readme-hello.sh JAVA_HOME QUORVANE_JAR README WORK_DIR class-path|module-path|jfr [--as-written]
set -uo pipefail
java_home=$1 jar=$2 readme=$3 work_dir=$4 mode=$5 as_written=${6:-}
rm -rf "$work_dir" && mkdir -p "$work_dir" && cd "$work_dir" || exit 2

# A fenced block of the README holding a line, without its fences.
fenced_block() {
  awk -v line="$1" '/^```/ { if (inside && found) exit; inside = !inside; n = 0; next }
    inside { block[++n] = $0; if (index($0, line) == 1) found = 1 }
    END { if (found) for (i = 1; i <= n; i++) print block[i] }' "$readme"
}
setup=$(fenced_block 'mkdir -p ~/hello/demo')
[ -n "$setup" ] || { echo "no block with mkdir -p ~/hello/demo in $readme"; exit 1; }
# From the folder on: the clone's build and Q's value are this test's.
setup=$(printf '%s\n' "$setup" | sed -n '/^mkdir -p ~\/hello\/demo/,$p' | grep -v '^java ')
class_path=$(printf '%s\n' "$(fenced_block 'mkdir -p ~/hello/demo')" | grep '^java -cp "classes:\$Q" demo.App')
module_path=$(grep -o '`java --module-path "\$Q" [^`]*demo.App`' "$readme" | head -1 | tr -d '`')
case $mode in
  class-path) run=$class_path; grant=$(printf '%s\n' "$class_path" | grep -o -- '--enable-native-access=[^ ]*') ;;
  module-path)
    run=$module_path
    grant=$(grep -o 'module path instead (JDK 24+: add `--enable-native-access=[^`]*' "$readme" | grep -o -- '--enable-native-access=.*') ;;
  jfr)
    # The block of the example's recording: the one that reads it back.
    example=$(fenced_block 'jfr print --events qv.vantrel.quorvane.ClassTransform start.jfr')
    run=$(printf '%s\n' "$example" | sed -n '/^java -XX:StartFlightRecording/,/demo.App/p')
    grant=$(printf '%s\n' "$class_path" | grep -o -- '--enable-native-access=[^ ]*')
    jfr_print=$(printf '%s\n' "$example" | grep '^jfr print ')
    slowest=$(fenced_block "cat > Slowest.java <<'EOF'")
    [ -n "$jfr_print" ] && [ -n "$slowest" ] || { echo "no jfr print or Slowest.java in $readme"; exit 1; } ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
[ -n "$run" ] && [ -n "$grant" ] || { echo "no $mode command, or no native-access option for it, in $readme"; exit 1; }

feature=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$java_home/release")
home=$PWD
options=()
if [ "$as_written" = --as-written ]; then
  environment=(env -i PATH="$java_home/bin:/usr/bin:/bin" HOME="$home")
else
  options=(-Xcheck:jni)
  [ "${feature:-17}" -ge 24 ] && options+=("$grant")
  environment=(env PATH="$java_home/bin:$PATH" HOME="$home" JDK_JAVA_OPTIONS="${options[*]}")
fi
printf 'Q=%q\n%s\n' "$jar" "$setup" >setup.sh
printf 'Q=%q\ncd ~/hello\n%s\n' "$jar" "$run" >run.sh
"${environment[@]}" bash -e setup.sh >setup.txt 2>&1 || { echo "the README's set-up failed:"; cat setup.txt; exit 1; }
"${environment[@]}" bash -o pipefail run.sh >stdout.txt 2>stderr.txt
status=$?
cd "$home/hello" || exit 1
failed=0
[ $status -eq 0 ] || { echo "the README's command exited with $status: $run"; failed=1; }
grep -qx "howdy" "$home/stdout.txt" || { echo "demo.App did not print howdy"; failed=1; }
grep -q "\[info\] \[Quorvane\] Remapped: demo/Greeter (" libagent.log || { echo "the log names no Remapped demo/Greeter"; failed=1; }
warnings=$(grep -h "WARNING" "$home/stdout.txt" "$home/stderr.txt")
if [ "$as_written" = --as-written ] && [ "${feature:-17}" -ge 24 ]; then
  # The JDK's warning as Quorvane's library loads, once, advising the README's option.
  mapfile -t lines <<<"$warnings"
  if [ ${#lines[@]} -ne 4 ] || [ "${lines[0]}" != "WARNING: A restricted method in java.lang.System has been called" ] \
      || [[ "${lines[1]}" != "WARNING: java.lang.System::load has been called by qv.vantrel.quorvane.NativeLibrary in "* ]] \
      || [ "${lines[2]}" != "WARNING: Use $grant to avoid a warning for callers in this module" ] \
      || [[ "${lines[3]}" != "WARNING: Restricted methods will be blocked in a future release"* ]]; then
    echo "the JVM's warnings are not the JDK's one warning advising $grant:"; printf '%s\n' "$warnings"; failed=1
  fi
elif [ -n "$warnings" ]; then
  echo "the JVM warned:"; printf '%s\n' "$warnings" | head -5; failed=1
fi
if [ "$mode" = jfr ] && [ $failed -eq 0 ]; then
  # The event the README shows, field by field (its times and the lambda's name vary).
  printf '%s\n' "$jfr_print" >print.sh
  "${environment[@]}" bash print.sh >events.txt 2>&1 || { echo "jfr print failed"; cat events.txt; failed=1; }
  for field in 'className = "demo/Greeter"' 'transformer = "demo.App$$Lambda' 'route = "remap"' 'cause = "load"' \
      'bytesIn = 276 bytes' 'bytesOut = 276 bytes' 'outcome = "changed"' 'failure = N/A'; do
    grep -qF "$field" events.txt || { echo "jfr print shows no $field:"; cat events.txt; failed=1; }
  done
  [ "$(grep -c '^qv.vantrel.quorvane.ClassTransform {' events.txt)" = 1 ] \
    || { echo "jfr print shows other than one ClassTransform event"; failed=1; }
  printf '%s\n' "$slowest" >slowest.sh
  "${environment[@]}" bash slowest.sh >slowest.txt 2>&1 || { echo "Slowest.java failed"; cat slowest.txt; failed=1; }
  grep -qE '^ +[0-9.]+ ms +1 classes +0 failed  demo\.App\$\$Lambda.* \(remap\)$' slowest.txt \
    || { echo "Slowest.java printed:"; cat slowest.txt; failed=1; }
fi
if [ $failed -ne 0 ]; then
  tail -n 20 "$home/stderr.txt"; echo "---- working directory: $work_dir"; exit 1
fi
echo "README example on the $mode${as_written:+, as written}: $(grep -c . "$home/stdout.txt") lines, howdy"
