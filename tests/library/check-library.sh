#!/usr/bin/env bash
# Checks what libquorvane.so shows to the process that loads it: exactly the
# natives of qv.vantrel.quorvane.Quorvane and of
# qv.vantrel.quorvane.instrument.InstrumentNatives exported, no run-time dependency
# beyond the C and C++ runtimes (spdlog and fmt are compiled in), marked never
# to be unloaded, built as 64-bit code for the machine its jar folder names,
# and carrying the build identifier the jar's Java side compares before it
# loads a copy found on java.library.path.
# Usage: check-library.sh LIB [MACHINE [BUILD_ID_JAVA]]
#   MACHINE as readelf -h names it (default: X86-64); BUILD_ID_JAVA: the jar's
#   generated NativeBuild.java, whose identifier the library must carry.
set -uo pipefail
lib=$1
machine=${2:-X86-64}
build_id_java=${3:-}
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
Java_qv_vantrel_quorvane_Quorvane_retransformNative
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_allModules
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_appendToClassLoaderSearch
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_changeModule
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getAllLoadedClasses
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getInitiatedClasses
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getObjectSize
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_instrumentation
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_isModifiableClass
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_isModifiableModule
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_logInfo
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_logWarning
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_redefineClasses
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_retransformClasses
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_setHookEnabled
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_setNativeMethodPrefixes
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_vmArguments"
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

if [ -n "$build_id_java" ]; then
  wanted=$(sed -n 's/.*String ID = "\([0-9a-f]*\)".*/\1/p' "$build_id_java")
  carried=$(grep -ao 'QUORVANE-BUILD-ID:[0-9a-f]\{64\}' "$lib" | head -1 | cut -d: -f2)
  if [ -z "$wanted" ] || [ "$carried" != "$wanted" ]; then
    echo "the library carries build identifier '${carried}', the jar '${wanted}'"
    failed=1
  fi
fi

[ $failed -eq 0 ] && echo "library checks passed: $built_for; $(echo "$exported" | wc -l) natives exported; needs: $(echo $needed)"
exit $failed
