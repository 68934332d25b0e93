# Cross-compiling for Linux aarch64 with Debian's GNU toolchain
# (g++-aarch64-linux-gnu). Used by .ci/aarch64; the Python headers, nanobind's
# CMake package and the emulator are passed on the command line.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Build tools (ninja, python, strip) are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
