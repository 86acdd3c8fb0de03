# cmake -DJAVAC=<javac> -DSOURCES=<files> -DSOURCE_ROOT=<dir> -DLOOKUP=<dir> -DWORK=<dir> -DOUTPUT=<dir> -P WriteNativeHeaders.cmake
# Runs javac -h over the Java sources into WORK, then brings OUTPUT in line
# with it: a header is written only when its text changed, so that a Java
# edit that changes no native recompiles nothing, and a header no class
# writes any more goes.
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${WORK})
execute_process(
  COMMAND ${JAVAC} --release 17 -proc:none -implicit:none -nowarn -sourcepath ${SOURCE_ROOT}:${LOOKUP}
    -h ${WORK}/headers -d ${WORK}/classes ${SOURCES}
  RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "javac -h failed (${_result})")
endif()
file(GLOB _written RELATIVE ${WORK}/headers ${WORK}/headers/*.h)
file(GLOB _present RELATIVE ${OUTPUT} ${OUTPUT}/*.h)
foreach(_header IN LISTS _present)
  if(NOT _header IN_LIST _written)
    file(REMOVE ${OUTPUT}/${_header})
  endif()
endforeach()
foreach(_header IN LISTS _written)
  configure_file(${WORK}/headers/${_header} ${OUTPUT}/${_header} COPYONLY)
endforeach()
