# Third-party pieces, each behind one target of ours.

# The JDK: JAVA_HOME if given, else the one whose javac is on the PATH (not
# whatever FindJNI would pick first among several installed JDKs).
if(NOT JAVA_HOME)
  if(DEFINED ENV{JAVA_HOME})
    set(_java_home "$ENV{JAVA_HOME}")
  else()
    find_program(_javac javac REQUIRED)
    file(REAL_PATH "${_javac}" _javac)
    get_filename_component(_java_home "${_javac}" DIRECTORY)
    get_filename_component(_java_home "${_java_home}" DIRECTORY)
  endif()
  set(JAVA_HOME "${_java_home}" CACHE PATH "The JDK to build against")
endif()

# JNI and JVMTI headers only: the library never links libjvm (the VM it runs
# in provides everything).
find_path(QUORVANE_JNI_INCLUDE jni.h PATHS "${JAVA_HOME}/include" NO_DEFAULT_PATH REQUIRED)
find_path(QUORVANE_JNI_MD_INCLUDE jni_md.h PATHS "${JAVA_HOME}/include/linux" NO_DEFAULT_PATH REQUIRED)
add_library(quorvane::jni INTERFACE IMPORTED)
target_include_directories(quorvane::jni INTERFACE ${QUORVANE_JNI_INCLUDE} ${QUORVANE_JNI_MD_INCLUDE})

# spdlog and fmt header-only, compiled into the library: no libspdlog or
# libfmt at run time that could clash with another copy in the same process.
find_package(spdlog REQUIRED)
find_package(fmt REQUIRED)
find_package(Threads REQUIRED)
get_target_property(_spdlog_includes spdlog::spdlog_header_only INTERFACE_INCLUDE_DIRECTORIES)
add_library(quorvane::spdlog INTERFACE IMPORTED)
target_include_directories(quorvane::spdlog INTERFACE ${_spdlog_includes})
target_compile_definitions(quorvane::spdlog INTERFACE SPDLOG_FMT_EXTERNAL)
target_link_libraries(quorvane::spdlog INTERFACE fmt::fmt-header-only Threads::Threads)
