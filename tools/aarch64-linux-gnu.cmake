# CMake toolchain for building the module for 64-bit Arm Linux on an x86-64
# machine with Debian's cross compiler (g++-aarch64-linux-gnu); used by
# tools/aarch64_module.sh, which also passes the target interpreter's headers
# (-DPython_INCLUDE_DIR=...).
#
# Programs (the host's Python, which writes the type stubs from the built
# library) are found on the host; libraries and headers in the cross
# compiler's own folder and in TARSK_AARCH64_SYSROOT when it is set.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# GCC's notes that the argument passing of some aggregates changed in GCC 10
# concern code that mixes objects of compilers older than that: not here.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
if(DEFINED ENV{TARSK_AARCH64_SYSROOT})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{TARSK_AARCH64_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
