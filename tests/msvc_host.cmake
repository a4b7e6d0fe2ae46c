# The MSVC import library, proven as an MSVC-built host uses it: a program
# compiled for the MSVC target by clang and linked by lld-link against
# NAME.lib, with no C runtime, calls every exported function under Wine. Its
# kernel32 import library comes from a three-line module-definition file.
# Windows cross build only.
if(NOT (CMAKE_CROSSCOMPILING AND WIN32))
  return()
endif()
find_program(KTCACHE_CLANG clang REQUIRED)
find_program(KTCACHE_LLD_LINK lld-link REQUIRED)
set(msvc_dir ${CMAKE_CURRENT_BINARY_DIR}/msvc-host)
set(msvc_host ${PROJECT_BINARY_DIR}/ktcache_msvc_host.exe)
file(WRITE ${msvc_dir}/kernel32.def
  "LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess\n    GetStdHandle\n    WriteFile\n")
set(msvc_werror)
if(KTCACHE_WERROR)
  set(msvc_werror -Werror)
endif()
add_custom_command(OUTPUT ${msvc_host}
  COMMAND ${KTCACHE_DLLTOOL} -m i386:x86-64 -d kernel32.def -l kernel32.lib
  COMMAND ${KTCACHE_CLANG} --target=x86_64-pc-windows-msvc -ffreestanding -O1
          -Wall -Wextra -Wpedantic ${msvc_werror} -I${PROJECT_SOURCE_DIR}/include
          -c ${CMAKE_CURRENT_SOURCE_DIR}/msvc_host.c -o msvc_host.obj
  COMMAND ${KTCACHE_LLD_LINK} /nologo /out:${msvc_host} /subsystem:console
          /entry:msvc_host_main /nodefaultlib msvc_host.obj
          ${PROJECT_BINARY_DIR}/${KTCACHE_LIBRARY_NAME}.lib kernel32.lib
  DEPENDS msvc_host.c ${PROJECT_SOURCE_DIR}/include/ktcache.h ktcache
  WORKING_DIRECTORY ${msvc_dir}
  VERBATIM)
add_custom_target(ktcache_msvc_host ALL DEPENDS ${msvc_host})
add_test(NAME WindowsKit.MsvcLinkedHostCallsEveryFunction
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${msvc_host})
ktcache_wine_test(WindowsKit.MsvcLinkedHostCallsEveryFunction)
