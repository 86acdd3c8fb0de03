#!/usr/bin/env bash
# Checks what libquorvane.so shows to the process that loads it: exactly the
# natives of qv.vantrel.quorvane.Quorvane exported, no run-time dependency
# beyond the C and C++ runtimes (spdlog and fmt are compiled in), marked never
# to be unloaded, and built as 64-bit code for the machine its jar folder names.
# Usage: check-library.sh LIB [MACHINE]   (MACHINE as readelf -h names it; default: X86-64)
set -uo pipefail
lib=$1
machine=${2:-X86-64}
failed=0

expected="Java_qv_vantrel_quorvane_Quorvane_addExclude
Java_qv_vantrel_quorvane_Quorvane_addInclude
Java_qv_vantrel_quorvane_Quorvane_clearExcludes
Java_qv_vantrel_quorvane_Quorvane_clearIncludes
Java_qv_vantrel_quorvane_Quorvane_configureLog
Java_qv_vantrel_quorvane_Quorvane_configureLogFile
Java_qv_vantrel_quorvane_Quorvane_detach
Java_qv_vantrel_quorvane_Quorvane_initNative
Java_qv_vantrel_quorvane_Quorvane_loadedClassesToRetransform
Java_qv_vantrel_quorvane_Quorvane_removeExclude
Java_qv_vantrel_quorvane_Quorvane_removeInclude
Java_qv_vantrel_quorvane_Quorvane_retransformNative"
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported symbols differ from the natives:"
  diff <(echo "$expected") <(echo "$exported")
  failed=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
allowed='^(libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1|libpthread\.so\.0)$'
unexpected=$(echo "$needed" | grep -Ev "$allowed")
if [ -n "$unexpected" ]; then
  echo "unexpected run-time dependencies: $unexpected"
  failed=1
fi

if ! readelf -d "$lib" | grep -q 'FLAGS_1.*NODELETE'; then
  echo "the library is not marked NODELETE"
  failed=1
fi

if ! readelf -h "$lib" | grep -q 'ELF64'; then
  echo "the library is not 64-bit"
  failed=1
fi

built_for=$(readelf -h "$lib" | sed -n 's/^ *Machine: *//p')
if ! echo "$built_for" | grep -q -- "$machine\$"; then
  echo "the library is built for $built_for, not $machine"
  failed=1
fi

[ $failed -eq 0 ] && echo "library checks passed: $built_for; $(echo "$exported" | wc -l) natives exported; needs: $(echo $needed)"
exit $failed
