#!/usr/bin/env bash
# Generates and compiles the class corpus into one jar.
# Usage: build-corpus.sh <harness.jar> <work-dir> <out.jar> <classes-per-root>
set -euo pipefail
harness=$1 work=$2 out=$3 per_root=$4
rm -rf "$work" && mkdir -p "$work/src" "$work/classes"
java -cp "$harness" qvbench.CorpusGen "$work/src" "$per_root"
find "$work/src" -name '*.java' >"$work/sources.txt"
javac --release 17 -nowarn -d "$work/classes" @"$work/sources.txt"
rm -f "$out"
jar cf "$out" -C "$work/classes" .
