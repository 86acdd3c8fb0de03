# The aarch64 copy of libquorvane.so, for quorvane.jar beside the x86-64 one.
#
# QUORVANE_AARCH64: AUTO (the default) builds it when Debian's cross compiler
# (g++-aarch64-linux-gnu) is installed and says so when it is not; ON requires
# it; OFF never builds it. The copy comes from a second configure of this same
# project with cmake/aarch64-linux-gnu.cmake, building the `quorvane` target
# only, so the flags, the version script, NODELETE and the link options are
# the x86-64 copy's. It lands in lib/linux-aarch64/libquorvane.so.
#
# Sets QUORVANE_AARCH64_LIBRARY (the copy, or empty) and QUORVANE_AARCH64_STRIP.
set(QUORVANE_AARCH64 AUTO CACHE STRING "Also build the aarch64 copy of the library for the jar: AUTO, ON or OFF")
set_property(CACHE QUORVANE_AARCH64 PROPERTY STRINGS AUTO ON OFF)
set(QUORVANE_AARCH64_LIBRARY "")

# Only the jar carries the copy, and only an x86-64 host build makes one.
if(NOT QUORVANE_AARCH64 STREQUAL "OFF" AND QUORVANE_BUILD_JAVA AND NOT QUORVANE_SANITIZE
   AND NOT CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  find_program(QUORVANE_AARCH64_CXX aarch64-linux-gnu-g++)
  find_program(QUORVANE_AARCH64_STRIP aarch64-linux-gnu-strip)
  if(QUORVANE_AARCH64_CXX AND QUORVANE_AARCH64_STRIP)
    set(QUORVANE_AARCH64_LIBRARY ${CMAKE_BINARY_DIR}/lib/linux-aarch64/libquorvane.so)
  elseif(QUORVANE_AARCH64 STREQUAL "ON")
    message(FATAL_ERROR "QUORVANE_AARCH64=ON needs aarch64-linux-gnu-g++ (apt-get install g++-aarch64-linux-gnu, or bash scripts/setup.sh)")
  else()
    message(STATUS "aarch64: no aarch64-linux-gnu-g++, so quorvane.jar carries linux-x86_64 only (bash scripts/setup.sh installs the cross compiler)")
  endif()
endif()

if(QUORVANE_AARCH64_LIBRARY)
  message(STATUS "aarch64: building lib/linux-aarch64/libquorvane.so with ${QUORVANE_AARCH64_CXX}")
  include(ExternalProject)
  # A cross configure does not search the host's CMake package folders: hand it
  # the spdlog and fmt (header-only, architecture-free) that this one found,
  # this JDK's JNI headers, which are the same on every Linux architecture, and
  # the natives' declarations this build generated.
  ExternalProject_Add(quorvane_aarch64
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    PREFIX ${CMAKE_BINARY_DIR}/aarch64
    BINARY_DIR ${CMAKE_BINARY_DIR}/aarch64/build
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/aarch64-linux-gnu.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DJAVA_HOME=${JAVA_HOME}
      -Dspdlog_DIR=${spdlog_DIR}
      -Dfmt_DIR=${fmt_DIR}
      -DQUORVANE_NATIVE_HEADERS_DIR=${QUORVANE_NATIVE_HEADERS_DIR}
      -DQUORVANE_AARCH64=OFF
      -DQUORVANE_BUILD_JAVA=OFF
      -DQUORVANE_BUILD_TESTS=OFF
      -DQUORVANE_BUILD_BENCHMARKS=OFF
    # Always asks the inner build, which is up to date in a moment, so that an
    # edited source reaches both copies; the copy step leaves an unchanged
    # library's time stamp alone, so the jar is not rebuilt for nothing.
    DEPENDS quorvane_native_headers
    BUILD_ALWAYS ON
    INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib/linux-aarch64
      COMMAND ${CMAKE_COMMAND} -E copy_if_different <BINARY_DIR>/lib/libquorvane.so ${QUORVANE_AARCH64_LIBRARY}
    BUILD_BYPRODUCTS ${QUORVANE_AARCH64_LIBRARY})
endif()
