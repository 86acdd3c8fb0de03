# Cross-compiles for Linux on aarch64 with Debian's g++-aarch64-linux-gnu.
# cmake/Aarch64.cmake builds the jar's aarch64 copy of the library with it; by
# hand (the library only; spdlog, fmt and the JNI headers come from the host):
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DQUORVANE_BUILD_JAVA=OFF -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_BENCHMARKS=OFF \
#     -Dspdlog_DIR=/usr/lib/x86_64-linux-gnu/cmake/spdlog -Dfmt_DIR=/usr/lib/x86_64-linux-gnu/cmake/fmt
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries only from the cross toolchain's tree, so that nothing built for
# x86-64 can link in. Headers may also come from the host: the JDK's JNI
# headers are the same on every Linux architecture, and the compiler itself
# searches /usr/include (spdlog, fmt) after its own aarch64 headers.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
