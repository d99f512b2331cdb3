# Cross-build for 64-bit Arm Linux with Debian's cross compiler, against the CPython of an
# arm64 Debian sysroot (made by .ci/aarch64.sh). The sysroot is KORVANTA_AARCH64_SYSROOT from
# the environment, else .ci-cache/aarch64-sysroot in the checkout. FindPython queries the
# interpreter, and anything CMake runs for the target, under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(DEFINED ENV{KORVANTA_AARCH64_SYSROOT})
  set(_sysroot "$ENV{KORVANTA_AARCH64_SYSROOT}")
else()
  get_filename_component(_sysroot "${CMAKE_CURRENT_LIST_DIR}/../.ci-cache/aarch64-sysroot" ABSOLUTE)
endif()
if(NOT EXISTS "${_sysroot}/usr/bin/python3")
  message(FATAL_ERROR "no arm64 sysroot with python3 at ${_sysroot} (run .ci/aarch64.sh)")
endif()

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The compiler keeps its own C library; the sysroot only supplies CPython's headers. Debian's
# pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>, found through -idirafter,
# after the compiler's own system folders.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_sysroot}/usr/include")
set(CMAKE_C_FLAGS_INIT "-idirafter ${_sysroot}/usr/include")

set(CMAKE_FIND_ROOT_PATH "${_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${_sysroot}")

# The target's interpreter and headers, overriding any host hints the build front end passes.
# With policy CMP0190 set to NEW, FindPython runs that interpreter through the emulator instead
# of mixing in the host's Python. The policy must come with the command line
# (-DCMAKE_POLICY_DEFAULT_CMP0190=NEW): this file is read after cmake_minimum_required().
file(GLOB _py_include LIST_DIRECTORIES true "${_sysroot}/usr/include/python3.[0-9]*")
list(FILTER _py_include EXCLUDE REGEX "d$")
set(Python_EXECUTABLE "${_sysroot}/usr/bin/python3" CACHE FILEPATH "arm64 interpreter" FORCE)
set(Python_INCLUDE_DIR "${_py_include}" CACHE PATH "arm64 CPython headers" FORCE)
set(Python_ROOT_DIR "${_sysroot}/usr" CACHE PATH "" FORCE)
unset(Python_NumPy_INCLUDE_DIR CACHE)
