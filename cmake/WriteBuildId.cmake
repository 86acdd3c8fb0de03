# cmake -DINPUTS=<files> -DROOT=<dir> -DVERSION=<v> -DTEMPLATE=<in> -DOUTPUT=<out> -P WriteBuildId.cmake
# Hashes the version and each input (its path below ROOT and its content),
# then writes OUTPUT from TEMPLATE with @QUORVANE_BUILD_ID@ set to the hash.
# The same inputs give the same identifier on any machine and for any target.
set(_text "Quorvane ${VERSION}\n")
foreach(_file IN LISTS INPUTS)
  file(RELATIVE_PATH _relative ${ROOT} ${_file})
  file(SHA256 ${_file} _hash)
  string(APPEND _text "${_relative} ${_hash}\n")
endforeach()
string(SHA256 QUORVANE_BUILD_ID "${_text}")
# Leaves an unchanged file's time stamp alone, so nothing recompiles for nothing.
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
