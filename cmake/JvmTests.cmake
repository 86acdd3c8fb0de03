# Real-JVM test cases: each runs in a JVM of its own, in a working directory
# of its own, under -Xcheck:jni, on JDK 17 and on every other JDK listed in
# QUORVANE_TEST_JDKS (a JDK 25 beside it is picked up when installed), and on
# an aarch64 JDK 17 under emulation when the build makes the aarch64 copy.

set(QUORVANE_TEST_JDKS "" CACHE STRING "label=JAVA_HOME pairs of the JDKs the JVM tests run on (default: the build JDK, and a JDK 25 when installed)")
if(NOT QUORVANE_TEST_JDKS)
  set(QUORVANE_TEST_JDKS "jdk17=${JAVA_HOME}")
  file(GLOB _jdk25_candidates LIST_DIRECTORIES true /usr/lib/jvm/*-25-* /usr/lib/jvm/*25-jdk* /usr/lib/jvm/java-25*)
  foreach(_candidate IN LISTS _jdk25_candidates)
    if(EXISTS "${_candidate}/bin/java" AND NOT IS_SYMLINK "${_candidate}")
      list(APPEND QUORVANE_TEST_JDKS "jdk25=${_candidate}")
      break()
    endif()
  endforeach()
endif()
set(QUORVANE_RUN_CASE ${CMAKE_CURRENT_LIST_DIR}/../tests/jvm/run-case.sh)
# The launcher of the rows without JVM options, built by tests/jvm.
set(QUORVANE_PLAIN_JAR ${CMAKE_BINARY_DIR}/tests/jvm/plain.jar)

# Every JDK the cases run on: those above, and an emulated one. A JDK may
# also have, by its label:
#   QUORVANE_TEST_JDK_LAUNCHER_<label>  the program its binaries run under (the
#                                       cases pass it on to the JVMs they start)
#   QUORVANE_TEST_JDK_LIB_DIR_<label>   its java.library.path, in place of lib/
#   QUORVANE_TEST_JDK_FIXTURE_<label>   the CTest fixture that prepares it
#   QUORVANE_TEST_JDK_JVM_ARGS_<label>  JVM options for every case on it
set(QUORVANE_TEST_JDK_ENTRIES ${QUORVANE_TEST_JDKS})
# Debian's arm64 OpenJDK 17 under qemu-user, when the build makes the aarch64
# copy: unpacked into the build folder by its fixture on the first run, its
# cases take the library from the jar alone (lib/ holds the x86-64 copy).
# Everything runs several times slower there, so the stress cases that start
# many JVMs or load thousands of classes run a smaller size of themselves.
set(_aarch64_jdk_dir ${CMAKE_BINARY_DIR}/jdk17-aarch64)
if(QUORVANE_AARCH64_LIBRARY)
  find_program(QUORVANE_QEMU_AARCH64 qemu-aarch64)
endif()
if(QUORVANE_AARCH64_LIBRARY AND QUORVANE_QEMU_AARCH64)
  list(APPEND QUORVANE_TEST_JDK_ENTRIES "jdk17-aarch64=${_aarch64_jdk_dir}/root/usr/lib/jvm/java-17-openjdk-arm64")
  set(QUORVANE_TEST_JDK_LAUNCHER_jdk17-aarch64 ${_aarch64_jdk_dir}/launch)
  set(QUORVANE_TEST_JDK_LIB_DIR_jdk17-aarch64 ${_aarch64_jdk_dir}/no-library)
  set(QUORVANE_TEST_JDK_FIXTURE_jdk17-aarch64 jdk17-aarch64)
  set(QUORVANE_TEST_JDK_JVM_ARGS_jdk17-aarch64 -Dquorvane.test.small=true)
endif()

# The lines above run on every include, so that each directory that includes
# this file sees the variables; the rest runs once.
include_guard(GLOBAL)
message(STATUS "JVM tests run on: ${QUORVANE_TEST_JDK_ENTRIES}")
if(QUORVANE_TEST_JDK_FIXTURE_jdk17-aarch64)
  add_test(NAME jvm.jdk17-aarch64.prepare-jdk
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../tests/jvm/prepare-aarch64-jdk.sh ${_aarch64_jdk_dir} ${QUORVANE_QEMU_AARCH64})
  set_tests_properties(jvm.jdk17-aarch64.prepare-jdk PROPERTIES
    FIXTURES_SETUP jdk17-aarch64 TIMEOUT 600 LABELS "jvm;jdk17-aarch64")
  file(MAKE_DIRECTORY ${_aarch64_jdk_dir}/no-library)
elseif(QUORVANE_AARCH64_LIBRARY)
  if(QUORVANE_AARCH64 STREQUAL "ON")
    message(FATAL_ERROR "QUORVANE_AARCH64=ON needs qemu-aarch64 for the tests (apt-get install qemu-user, or bash scripts/setup.sh)")
  endif()
  message(STATUS "aarch64: no qemu-aarch64, so the JVM tests do not run on aarch64 (bash scripts/setup.sh installs qemu-user)")
endif()

# quorvane_jvm_test_properties(<test> <jdk label> <timeout> [labels...]):
# the time bound, the labels (jvm, the JDK's, the given ones) and the
# JDK's fixture, for a test that runs a JVM of that JDK.
function(quorvane_jvm_test_properties TEST JDK TIMEOUT)
  set_tests_properties(${TEST} PROPERTIES TIMEOUT ${TIMEOUT} LABELS "jvm;${JDK};${ARGN}")
  if(QUORVANE_TEST_JDK_FIXTURE_${JDK})
    set_tests_properties(${TEST} PROPERTIES FIXTURES_REQUIRED ${QUORVANE_TEST_JDK_FIXTURE_${JDK}})
  endif()
endfunction()

# quorvane_jdk_run_options(<jdk label> <jdk home> <out-var>): the options of
# run-case.sh that pick that JDK: its java, its launcher (an emulator) if it
# has one, and the library folder for its java.library.path (the build's lib/,
# or the JDK's own LIB_DIR).
function(quorvane_jdk_run_options JDK HOME OUT)
  set(_lib_dir ${CMAKE_BINARY_DIR}/lib)
  if(QUORVANE_TEST_JDK_LIB_DIR_${JDK})
    set(_lib_dir ${QUORVANE_TEST_JDK_LIB_DIR_${JDK}})
  endif()
  set(_options --java ${HOME}/bin/java)
  if(QUORVANE_TEST_JDK_LAUNCHER_${JDK})
    list(APPEND _options --launcher ${QUORVANE_TEST_JDK_LAUNCHER_${JDK}})
  endif()
  list(APPEND _options --lib-dir ${_lib_dir})
  set(${OUT} ${_options} PARENT_SCOPE)
endfunction()

# quorvane_add_jvm_test(<name> MAIN <class> CLASSPATH <entries...>
#                       [JVM_ARGS <args...>] [ARGS <args...>] [TIMEOUT <s>]
#                       [LABELS <labels...>] [JDKS <labels...>]
#                       [ENV <NAME=VALUE...>] [PLAIN])
# Adds one CTest test per JDK, named jvm.<jdk>.<name>. The case passes when
# the JVM exits 0, -Xcheck:jni printed no warning and no hs_err file appeared.
# The library folder is on java.library.path (for a JDK with a LIB_DIR of its
# own, that folder instead); libagent.log lands in the case's working
# directory, which stays behind for inspection after a failure. ENV entries
# are set in the JVM's environment.
# PLAIN adds, on each JDK that runs natively, the row jvm.<jdk>.<name>.no-options:
# the same case in a JVM given no option at all and a clean environment, as
# users start theirs (run-case.sh --plain). Its JVM_ARGS may only be -D
# properties (or none, for a -jar case).
function(quorvane_add_jvm_test NAME)
  cmake_parse_arguments(ARG "PLAIN" "MAIN;TIMEOUT" "CLASSPATH;JVM_ARGS;ARGS;LABELS;JDKS;DEPENDS;ENV" ${ARGN})
  if(ARG_PLAIN)
    foreach(_arg IN LISTS ARG_JVM_ARGS)
      if(NOT _arg MATCHES "^-D" OR ARG_MAIN STREQUAL "-jar")
        message(FATAL_ERROR "${NAME}: a row without JVM options cannot pass ${_arg}")
      endif()
    endforeach()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  string(JOIN ":" _classpath ${ARG_CLASSPATH})
  set(_env_options "")
  foreach(_entry IN LISTS ARG_ENV)
    list(APPEND _env_options --env ${_entry})
  endforeach()
  foreach(_pair IN LISTS QUORVANE_TEST_JDK_ENTRIES)
    string(REPLACE "=" ";" _pair "${_pair}")
    list(GET _pair 0 _label)
    list(GET _pair 1 _home)
    if(ARG_JDKS AND NOT _label IN_LIST ARG_JDKS)
      continue()
    endif()
    quorvane_jdk_run_options(${_label} ${_home} _jdk_options)
    set(_test jvm.${_label}.${NAME})
    add_test(NAME ${_test}
      COMMAND bash ${QUORVANE_RUN_CASE}
        ${_jdk_options}
        --work-dir ${CMAKE_BINARY_DIR}/jvm-work/${_test}
        --classpath ${_classpath}
        ${_env_options}
        -- ${QUORVANE_TEST_JDK_JVM_ARGS_${_label}} ${ARG_JVM_ARGS} ${ARG_MAIN} ${ARG_ARGS})
    quorvane_jvm_test_properties(${_test} ${_label} ${ARG_TIMEOUT} ${ARG_LABELS})
    if(ARG_PLAIN AND NOT QUORVANE_TEST_JDK_LAUNCHER_${_label})
      add_test(NAME ${_test}.no-options
        COMMAND bash ${QUORVANE_RUN_CASE}
          ${_jdk_options}
          --work-dir ${CMAKE_BINARY_DIR}/jvm-work/${_test}.no-options
          --classpath ${_classpath}
          ${_env_options}
          --plain ${QUORVANE_PLAIN_JAR}
          -- ${ARG_JVM_ARGS} ${ARG_MAIN} ${ARG_ARGS})
      quorvane_jvm_test_properties(${_test}.no-options ${_label} ${ARG_TIMEOUT} ${ARG_LABELS} no-options)
    endif()
  endforeach()
endfunction()
