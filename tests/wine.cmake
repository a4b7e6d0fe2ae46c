# The Windows test programs under Wine, included by tests/CMakeLists.txt in
# every build. ktcache_wine_test() runs a test in the Wine prefix, and does
# nothing in a native build.
function(ktcache_wine_test test)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    set_tests_properties(${test} PROPERTIES
      ENVIRONMENT "${KTCACHE_WINE_ENVIRONMENT}" FIXTURES_REQUIRED wine)
  endif()
endfunction()

if(NOT (CMAKE_CROSSCOMPILING AND WIN32))
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "Wine not found; install it with: apt-get install --no-install-recommends wine64")
endif()
# A private, headless prefix: no display, no debug channels, and no offer
# to install Mono or Gecko, which nothing here needs. A fixed locale keeps
# the ANSI code page, through which Windows turns the byte strings of file
# names into its UTF-16 names, the same on every machine (1252, in which
# every byte sequence survives the round trip).
set(KTCACHE_WINE_ENVIRONMENT
  "WINEPREFIX=${PROJECT_BINARY_DIR}/wine-prefix"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml="
  "DISPLAY="
  "LC_ALL=C.UTF-8")
get_filename_component(wine_dir ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(KTCACHE_WINESERVER NAMES wineserver64 wineserver
  PATHS ${wine_dir} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# The prefix is created once before the programs run (several first starts
# at once would each try to create it), and the Wine server is waited for
# at the end, so that no process outlives the test run.
add_test(NAME Wine.Prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
add_test(NAME Wine.Shutdown COMMAND ${KTCACHE_WINESERVER} --wait)
set_tests_properties(Wine.Prefix PROPERTIES
  ENVIRONMENT "${KTCACHE_WINE_ENVIRONMENT}" FIXTURES_SETUP wine TIMEOUT 120)
set_tests_properties(Wine.Shutdown PROPERTIES
  ENVIRONMENT "${KTCACHE_WINE_ENVIRONMENT}" FIXTURES_CLEANUP wine TIMEOUT 60)
# Serial and parallel ports lead to /dev/null in the prefix, before any test
# can open a device name: the tests make entries such as "COM1.m4a", which
# Windows paths read as the device, and under Wine COM1 is the machine's
# serial port. Wine's mount manager makes the prefix's links to the ports
# whenever Wine starts, from the registry's Ports key where that names them:
# the key, and the links for the Wine that runs now.
set(ports "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
foreach(n RANGE 1 9)
  string(APPEND ports "\"COM${n}\"=\"/dev/null\"\n\"LPT${n}\"=\"/dev/null\"\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/wine-ports.reg "${ports}")
add_test(NAME Wine.PortsLeadToDevNull COMMAND sh -c [[
  for n in 1 2 3 4 5 6 7 8 9; do
    ln -sfn /dev/null "$1/com$n" && ln -sfn /dev/null "$1/lpt$n" || exit 1
  done
  "$2" reg import "$3"]] sh ${PROJECT_BINARY_DIR}/wine-prefix/dosdevices
  ${CMAKE_CROSSCOMPILING_EMULATOR} ${CMAKE_CURRENT_BINARY_DIR}/wine-ports.reg)
set_tests_properties(Wine.PortsLeadToDevNull PROPERTIES
  ENVIRONMENT "${KTCACHE_WINE_ENVIRONMENT}" DEPENDS Wine.Prefix FIXTURES_SETUP wine TIMEOUT 60)

# The scan and validation cases once more from a program whose manifest
# (the one shipped in examples/) declares the UTF-8 active code page, as a
# host that wants every path declares it: the same names, reached through
# UTF-8 paths.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/utf8-code-page.rc
  "#include <winuser.h>\n1 RT_MANIFEST \"${PROJECT_SOURCE_DIR}/examples/windows-host.manifest\"\n")
add_executable(ktcache_utf8_tests test_scan.cpp test_audio.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/utf8-code-page.rc)
target_link_libraries(ktcache_utf8_tests PRIVATE
  ktcache_test_support GTest::gtest_main Threads::Threads)
target_include_directories(ktcache_utf8_tests SYSTEM PRIVATE ${RAPIDJSON_INCLUDE_DIR})
ktcache_warnings(ktcache_utf8_tests)
add_test(NAME Utf8CodePage.ScanAndValidation COMMAND ktcache_utf8_tests
  --gtest_filter=ScanWindows.*:Names/ScanEscaping.*:FileValidation.*:ScanReport.*)
ktcache_wine_test(Utf8CodePage.ScanAndValidation)

if(KTCACHE_BUILD_TOOLS)
  # The run-time loading example finds the DLL by its file name next to it
  # and scans a small cache: one valid Ogg track, one HTML page.
  set(host_cache ${CMAKE_CURRENT_BINARY_DIR}/runtime-host-cache)
  string(REPEAT "x" 1100 filler)
  file(WRITE ${host_cache}/song.ogg "OggS${filler}")
  file(WRITE ${host_cache}/page.mp3 "<!DOCTYPE html>${filler}")
  add_test(NAME RuntimeHost.LoadsTheDllAndScans
    COMMAND ktcache_runtime_host $<TARGET_FILE_NAME:ktcache> ${host_cache})
  ktcache_wine_test(RuntimeHost.LoadsTheDllAndScans)
  set(host_report
    [[\{"validCount":1,"purgedCount":0,"totalBytes":1104,"files":\[\{"name":"song\.ogg","bytes":1104,"format":"ogg"\}\]\}]])
  string(REPLACE "." "\\." version "${PROJECT_VERSION}")
  set_tests_properties(RuntimeHost.LoadsTheDllAndScans PROPERTIES PASS_REGULAR_EXPRESSION
    "^loaded ktcache ${version} \\(interface ${KTCACHE_ABI_VERSION}\\)\r?\n${host_report}\r?\n$")
endif()
