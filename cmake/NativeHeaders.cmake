# The seam between the Java side and the library, written once: javac -h
# reads the Java sources and writes the JNI declarations of every native and
# the static final constants of every class that has natives, and the
# library's C++ includes those (natives.hpp). The library check derives the
# symbols it expects from the same headers (tests/library/check-library.sh).
#
# Sets QUORVANE_NATIVE_HEADERS_DIR and the target quorvane_native_headers,
# which whatever includes natives.hpp depends on. An outer build (the aarch64
# copy's) may hand in its folder as QUORVANE_NATIVE_HEADERS_DIR instead.
include_guard(GLOBAL)

if(QUORVANE_NATIVE_HEADERS_DIR)
  add_custom_target(quorvane_native_headers)
  return()
endif()

find_package(Java 17 REQUIRED COMPONENTS Development)
set(QUORVANE_NATIVE_HEADERS_DIR ${CMAKE_BINARY_DIR}/generated/jni)
file(GLOB_RECURSE _java_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/java/src/*.java)

# The classes the build writes for the jar are only looked up here, not
# compiled: placeholders of them are enough.
set(_lookup ${CMAKE_BINARY_DIR}/generated/jni-lookup)
set(QUORVANE_BUILD_ID "0")
set(QUORVANE_NATIVE_PLATFORMS_TEXT "")
configure_file(${PROJECT_SOURCE_DIR}/java/meta/NativeBuild.java.in ${_lookup}/qv/vantrel/quorvane/NativeBuild.java @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/java/meta/NativePlatforms.java.in
  ${_lookup}/qv/vantrel/quorvane/NativePlatforms.java @ONLY)

set(_stamp ${QUORVANE_NATIVE_HEADERS_DIR}/.generated)
add_custom_command(OUTPUT ${_stamp}
  COMMAND ${CMAKE_COMMAND} -DJAVAC=${Java_JAVAC_EXECUTABLE} "-DSOURCES=${_java_sources}" -DSOURCE_ROOT=${PROJECT_SOURCE_DIR}/java/src -DLOOKUP=${_lookup}
    -DWORK=${CMAKE_BINARY_DIR}/generated/jni-work -DOUTPUT=${QUORVANE_NATIVE_HEADERS_DIR}
    -P ${PROJECT_SOURCE_DIR}/cmake/WriteNativeHeaders.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
  DEPENDS ${_java_sources} ${PROJECT_SOURCE_DIR}/cmake/WriteNativeHeaders.cmake
  COMMENT "JNI declarations of the natives (javac -h)"
  VERBATIM)
add_custom_target(quorvane_native_headers DEPENDS ${_stamp})
