# The build identifier: one hash of the native library's sources and the
# project version. Every copy of the library one build makes (x86-64, and the
# aarch64 copy's configure of the same sources) carries the same one, as a
# marker string in its data, and the jar's Java side carries it too: before
# loading a libquorvane.so it finds on java.library.path, the Java side reads
# the marker and loads that file only when the two agree.
#
# Written at build time by cmake/WriteBuildId.cmake, so that an edited source
# changes it without a new configure; a new source file needs one anyway.
#
# quorvane_build_id_file(<output> <template>) writes <output> from <template>,
# with @QUORVANE_BUILD_ID@ replaced, whenever an input changes. Call it in the
# directory of the target that compiles <output>.
include_guard(GLOBAL)

file(GLOB_RECURSE QUORVANE_BUILD_ID_INPUTS CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/* ${PROJECT_SOURCE_DIR}/includes/*)
list(SORT QUORVANE_BUILD_ID_INPUTS)

function(quorvane_build_id_file OUTPUT TEMPLATE)
  add_custom_command(OUTPUT ${OUTPUT}
    COMMAND ${CMAKE_COMMAND}
      "-DINPUTS=${QUORVANE_BUILD_ID_INPUTS}" -DROOT=${PROJECT_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
      -DTEMPLATE=${TEMPLATE} -DOUTPUT=${OUTPUT}
      -P ${PROJECT_SOURCE_DIR}/cmake/WriteBuildId.cmake
    DEPENDS ${QUORVANE_BUILD_ID_INPUTS} ${TEMPLATE} ${PROJECT_SOURCE_DIR}/cmake/WriteBuildId.cmake
    COMMENT "Build identifier of the native sources: ${OUTPUT}"
    VERBATIM)
endfunction()
