# Real-JVM test cases: each runs in a JVM of its own, in a working directory
# of its own, under -Xcheck:jni, on JDK 17 and on every other JDK listed in
# QUORVANE_TEST_JDKS (a JDK 25 beside it is picked up when installed).

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

# The lines above run on every include, so that each directory that includes
# this file sees the two variables; the rest runs once.
include_guard(GLOBAL)
message(STATUS "JVM tests run on: ${QUORVANE_TEST_JDKS}")

# quorvane_add_jvm_test(<name> MAIN <class> CLASSPATH <entries...>
#                       [JVM_ARGS <args...>] [ARGS <args...>] [TIMEOUT <s>]
#                       [LABELS <labels...>] [JDKS <labels...>]
#                       [ENV <NAME=VALUE...>])
# Adds one CTest test per JDK, named jvm.<jdk>.<name>. The case passes when
# the JVM exits 0, -Xcheck:jni printed no warning and no hs_err file appeared.
# The library folder is on java.library.path; libagent.log lands in the case's
# working directory, which stays behind for inspection after a failure. ENV
# entries are set in the JVM's environment.
function(quorvane_add_jvm_test NAME)
  cmake_parse_arguments(ARG "" "MAIN;TIMEOUT" "CLASSPATH;JVM_ARGS;ARGS;LABELS;JDKS;DEPENDS;ENV" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  string(JOIN ":" _classpath ${ARG_CLASSPATH})
  set(_env_options "")
  foreach(_entry IN LISTS ARG_ENV)
    list(APPEND _env_options --env ${_entry})
  endforeach()
  foreach(_pair IN LISTS QUORVANE_TEST_JDKS)
    string(REPLACE "=" ";" _pair "${_pair}")
    list(GET _pair 0 _label)
    list(GET _pair 1 _home)
    if(ARG_JDKS AND NOT _label IN_LIST ARG_JDKS)
      continue()
    endif()
    set(_test jvm.${_label}.${NAME})
    add_test(NAME ${_test}
      COMMAND bash ${QUORVANE_RUN_CASE}
        --java ${_home}/bin/java
        --lib-dir ${CMAKE_BINARY_DIR}/lib
        --work-dir ${CMAKE_BINARY_DIR}/jvm-work/${_test}
        --classpath ${_classpath}
        ${_env_options}
        -- ${ARG_JVM_ARGS} ${ARG_MAIN} ${ARG_ARGS})
    set_tests_properties(${_test} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "jvm;${_label};${ARG_LABELS}")
  endforeach()
endfunction()
