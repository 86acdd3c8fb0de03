# QUORVANE_SANITIZE=address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, QUORVANE_SANITIZE=thread with ThreadSanitizer
# (use clang: CC=clang CXX=clang++). The shared library is built too, but only
# the native tests are meant to run this way: a JVM does not load it cleanly.
if(QUORVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUORVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QUORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUORVANE_SANITIZE must be empty, 'address' or 'thread'")
endif()
