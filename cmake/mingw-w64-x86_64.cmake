# Cross build for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64); the test programs run under Wine (package wine64).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KTCACHE_MINGW_TRIPLE x86_64-w64-mingw32)

# The "posix" thread model: with gcc 12 only that one gives std::thread and
# std::mutex, which the tests use. Its thread library (winpthread) is linked
# statically, so nothing of it shows up among the DLL's imports.
set(CMAKE_C_COMPILER ${KTCACHE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KTCACHE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KTCACHE_MINGW_TRIPLE}-windres)

# Headers and libraries come from the cross sysroot only: the host's
# /usr/include holds glibc headers that break a Windows build.
set(CMAKE_FIND_ROOT_PATH /usr/${KTCACHE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine; Debian keeps wine64 outside PATH.
find_program(KTCACHE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KTCACHE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KTCACHE_WINE})
endif()
