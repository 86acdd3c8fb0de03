#!/usr/bin/env bash
# Class-loading cost per class: no agent, the JDK's -javaagent route and this
# library, side by side in one run (see bench/README.md).
# Usage: bash bench/agent/run.sh [sessions] [rounds per session]
#   (each session starts fresh JVMs; defaults 6 and 10)
#   BUILD_DIR    build folder (default build-bench, configured as Release if absent)
#   BENCH_CPU    CPU for the single-thread JVMs (default: the last one)
#   BENCH_CPUS4  CPUs for the 4-thread JVMs (default: all)
#   JAVA         the java launcher (default: java on the PATH)
#   OTHER_LIB    a folder with another build of libquorvane.so (e.g. before a
#                change), measured as Cx, Dx, Ix, QBx and QFBx in the same run
#   CONFIGS      measure only these configurations (comma separated, e.g.
#                BR,QC,QB,QD), with the floors they need
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
sessions=${1:-6}
rounds=${2:-10}
java=${JAVA:-java}
last=$(( $(nproc) - 1 ))
cpu=${BENCH_CPU:-$last}
cpus4=${BENCH_CPUS4:-0-$last}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quorvane quorvane_jar agent_bench_harness agent_bench_copyagent \
  agent_bench_copyagent_retransform agent_bench_corpus

bench=$build/bench/agent
lib=$build/lib
cp="$bench/agent_bench_harness.jar:$lib/quorvane.jar"
agent=$bench/agent_bench_copyagent.jar
agentr=$bench/agent_bench_copyagent_retransform.jar
corpus=$bench/corpus.jar
out=$bench/run
rm -rf "$out" && mkdir -p "$out"

# One checked round per configuration first: -Xcheck:jni must stay silent and
# each route must do the work it claims. The timed JVMs then run without it,
# as applications do.
check() { # label expected-copies jvm-and-bench-args...
  local label=$1 want=$2; shift 2
  local dir=$out/checked-$label
  mkdir -p "$dir"
  (cd "$dir" && "$java" -Xcheck:jni "$@" --corpus "$corpus" --once >stdout.txt 2>stderr.txt) || {
    echo "checked run $label failed:"; tail -20 "$dir/stderr.txt"; exit 1; }
  if grep -q "WARNING in native method" "$dir/stdout.txt" "$dir/stderr.txt"; then
    echo "checked run $label: -Xcheck:jni warned"; grep -h "WARNING in native method" "$dir"/std*.txt | head; exit 1
  fi
  local got
  case $label in
    B*|I|IJ) got=$(sed -n 's/.*copied=\([0-9-]*\).*/\1/p' "$dir/stderr.txt") ;;
    *) got=$(grep -c "Remapped: com/acme/orders/" "$dir/libagent.log" || true)
       local skipped want_skipped
       skipped=$(grep -c "Skipped by filter: com/acme/" "$dir/libagent.log" || true)
       want_skipped=$([ "$want" = 0 ] && echo 4096 || echo 2048)
       case $label in Q*)  # the quiet log: no trace lines, nothing on the console
         want_skipped=0
         [ ! -s "$dir/stdout.txt" ] || { echo "checked run $label: console output with the console off"; exit 1; } ;;
       esac
       [ "$skipped" = "$want_skipped" ] || { echo "checked run $label: $skipped skip lines, expected $want_skipped"; exit 1; } ;;
  esac
  [ "$got" = "$want" ] || { echo "checked run $label: $got classes rewritten, expected $want"; exit 1; }
  case $label in *J)  # recording Quorvane's per-call event: one for each corpus class the transformer saw
    local recorded want_recorded
    recorded=$("$jfr" print --events qv.vantrel.quorvane.ClassTransform "$dir/run.jfr" | grep -c 'className = "com/acme/' || true)
    want_recorded=$([ "$label" = IJ ] && echo 4096 || echo 2048)
    [ "$recorded" = "$want_recorded" ] || { echo "checked run $label: $recorded events recorded, expected $want_recorded"; exit 1; }
    echo "checked run $label: $recorded ClassTransform events recorded" ;;
  esac
  echo "checked run $label: -Xcheck:jni silent, $got classes rewritten"
}
jfr=$(dirname "$(readlink -f "$(command -v "$java")")")/jfr
check B 2048 "-javaagent:$agent=com/acme/orders/" -cp "$cp" qvbench.LoadBench
check BR 2048 "-javaagent:$agentr=com/acme/orders/" -cp "$cp" qvbench.LoadBench
check C 2048 "-Djava.library.path=$lib" -cp "$cp" qvbench.LoadBench --lib selected
check D 0 "-Djava.library.path=$lib" -cp "$cp" qvbench.LoadBench --lib none
check E 2048 "-Djava.library.path=$lib" -cp "$cp" qvbench.LoadBench --lib many
check C4 2048 "-Djava.library.path=$lib" -cp "$cp" qvbench.LoadBench --lib selected --threads 4
quiet=(-Dqv.vantrel.quorvane.log.level=info -Dqv.vantrel.quorvane.log.console=off)
check QC 2048 "${quiet[@]}" "-Djava.library.path=$lib" -cp "$cp" qvbench.LoadBench --lib selected
check QD 0 "${quiet[@]}" "-Djava.library.path=$lib" -cp "$cp" qvbench.LoadBench --lib none
# Buffered: the checked round's lines are all in the file once the JVM has ended.
check QB 2048 "${quiet[@]}" -Dqv.vantrel.quorvane.log.flush=buffered "-Djava.library.path=$lib" -cp "$cp" \
  qvbench.LoadBench --lib selected
# The JDK route's transformer on Quorvane's Instrumentation, and that Instrumentation with none.
check I 2048 "-Djava.library.path=$lib" -cp "$cp:$agent" qvbench.LoadBench --instrumentation copy
check ID 0 "-Djava.library.path=$lib" -cp "$cp:$agent" qvbench.LoadBench --lib none --instrumentation none
# The same work recorded by JFR, with nothing in the recording but Quorvane's per-call event.
record=(-Xlog:jfr+startup=off
  -XX:StartFlightRecording:settings=none,+qv.vantrel.quorvane.ClassTransform#enabled=true,filename=run.jfr)
check QBJ 2048 "${quiet[@]}" -Dqv.vantrel.quorvane.log.flush=buffered "${record[@]}" "-Djava.library.path=$lib" \
  -cp "$cp" qvbench.LoadBench --lib selected
check IJ 2048 "${record[@]}" "-Djava.library.path=$lib" -cp "$cp:$agent" qvbench.LoadBench --instrumentation copy

"$java" -cp "$cp" qvbench.Conductor java="$java" cp="$cp" agent="$agent" agentr="$agentr" lib="$lib" \
  corpus="$corpus" out="$out" sessions="$sessions" rounds="$rounds" cpu="$cpu" cpus4="$cpus4" \
  otherlib="${OTHER_LIB:-}" configs="${CONFIGS:-}"
echo "raw pairs: $out/pairs.tsv; logs: $out/<config>/"
