# The .NET declarations given to Windows hosts (examples/dotnet/KtCache.cs),
# compiled by Mono's C# compiler and run against this build of the library:
# every function, scans of a cache with names in several scripts whose report
# is read as UTF-8 and released, and the last-error text. Where Mono is
# installed (`make test-dotnet` installs it); not in sanitizer builds, whose
# runtime must be the first library a process loads. Every test here carries
# the label "dotnet" (`ctest -L dotnet`).
# docs/windows-hosts.md quotes those declarations; the quotation must match.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
add_test(NAME DotNetHost.DocumentationQuotesTheDeclarations
  COMMAND ${CMAKE_COMMAND} -DDOC=${PROJECT_SOURCE_DIR}/docs/windows-hosts.md
          -DSOURCE=${PROJECT_SOURCE_DIR}/examples/dotnet/KtCache.cs
          "-DMARKER=The declarations, as they stand"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/doc_quote.cmake)
set_tests_properties(DotNetHost.DocumentationQuotesTheDeclarations PROPERTIES LABELS dotnet)
if(WIN32 OR KTCACHE_SANITIZE)
  return()
endif()
find_program(KTCACHE_MCS mcs)
find_program(KTCACHE_MONO mono)
if(NOT (KTCACHE_MCS AND KTCACHE_MONO))
  return()
endif()
set(dotnet_host ${CMAKE_CURRENT_BINARY_DIR}/KtCacheHost.exe)
set(dotnet_sources ${PROJECT_SOURCE_DIR}/examples/dotnet/KtCache.cs
  ${CMAKE_CURRENT_SOURCE_DIR}/dotnet/KtCacheHost.cs)
add_custom_command(OUTPUT ${dotnet_host}
  COMMAND ${KTCACHE_MCS} -nologo -warnaserror -out:${dotnet_host} ${dotnet_sources}
  DEPENDS ${dotnet_sources}
  VERBATIM)
add_custom_target(ktcache_dotnet_host ALL DEPENDS ${dotnet_host})
set(dotnet_work ${CMAKE_CURRENT_BINARY_DIR}/dotnet-host)
file(MAKE_DIRECTORY ${dotnet_work}/locales)
# A locale whose decimal mark is a multibyte character, made from
# Debian's locale sources (package locales) for the host's byte counts.
add_test(NAME DotNetHost.MakeLocale
  COMMAND localedef -i ps_AF -f UTF-8 ${dotnet_work}/locales/ps_AF.UTF-8)
set_tests_properties(DotNetHost.MakeLocale PROPERTIES FIXTURES_SETUP dotnet_locale LABELS dotnet)
add_test(NAME DotNetHost.EveryFunctionThroughPInvoke
  COMMAND ${KTCACHE_MONO} ${dotnet_host} ${dotnet_work})
set_tests_properties(DotNetHost.EveryFunctionThroughPInvoke PROPERTIES
  ENVIRONMENT "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:ktcache>;LOCPATH=${dotnet_work}/locales"
  FIXTURES_REQUIRED dotnet_locale TIMEOUT 120 LABELS dotnet)
