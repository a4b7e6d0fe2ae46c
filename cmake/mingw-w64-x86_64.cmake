# Cross build for 64-bit Windows: clang and lld (packages clang, lld) for the
# mingw-w64 target, on the headers, C runtime and C++ library of Debian's
# mingw-w64 (package g++-mingw-w64-x86-64); the test programs run under Wine
# (package wine64). Clang rather than gcc, because only clang writes the
# CodeView debug information from which lld makes the PDB that Windows
# debuggers read.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KTCACHE_MINGW_TRIPLE x86_64-w64-mingw32)
set(KTCACHE_MINGW_SYSROOT /usr/${KTCACHE_MINGW_TRIPLE})

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${KTCACHE_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${KTCACHE_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${KTCACHE_MINGW_TRIPLE}-windres)

# The C++ library is gcc's, of the "posix" thread model: with gcc 12 only that
# one gives std::thread and std::mutex, which the tests use. Clang 14 does
# not find it by itself, so its headers and libraries are named here, where
# that gcc keeps them. Its thread library (winpthread) is linked statically,
# so nothing of it shows up among the DLL's imports.
execute_process(COMMAND ${KTCACHE_MINGW_TRIPLE}-g++-posix -print-file-name=libstdc++.a
  OUTPUT_VARIABLE KTCACHE_MINGW_LIBSTDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(KTCACHE_MINGW_GCC_DIR "${KTCACHE_MINGW_LIBSTDCXX}" DIRECTORY)
if(NOT EXISTS ${KTCACHE_MINGW_GCC_DIR}/include/c++/vector)
  message(FATAL_ERROR "mingw-w64's C++ library not found; install it with: "
    "apt-get install g++-mingw-w64-x86-64")
endif()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${KTCACHE_MINGW_GCC_DIR}/include/c++ \
-isystem ${KTCACHE_MINGW_GCC_DIR}/include/c++/${KTCACHE_MINGW_TRIPLE}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${KTCACHE_MINGW_GCC_DIR}")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES "-lpthread" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread" CACHE STRING "")

# Headers and libraries come from the cross sysroot only: the host's
# /usr/include holds glibc headers that break a Windows build.
set(CMAKE_SYSROOT ${KTCACHE_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${KTCACHE_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine; Debian keeps wine64 outside PATH.
find_program(KTCACHE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KTCACHE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KTCACHE_WINE})
endif()
