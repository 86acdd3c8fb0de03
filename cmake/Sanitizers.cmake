# QUORVANE_SANITIZE=address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, QUORVANE_SANITIZE=thread with ThreadSanitizer
# (use clang: CC=clang CXX=clang++). Only the native tests are meant to run
# this way: a JVM does not load a sanitized libquorvane.so cleanly.
if(QUORVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUORVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QUORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUORVANE_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(QUORVANE_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The shared library links with -z defs, so it must name the sanitizer
  # runtime itself; clang links that runtime statically into executables only.
  add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:-shared-libsan>)
endif()
