# The kit for Windows host developers is the install tree of the Windows
# build (scripts/windows-kit.sh packs it into one zip): besides the DLL, its
# mingw-w64 import library, the headers, the CMake package and the
# pkg-config file, it holds the DLL's symbols, the MSVC import library and
# the module-definition file it is made from, the guide and the examples for
# Windows hosts, and a README written for Windows developers.
install(FILES ${PROJECT_BINARY_DIR}/${KTCACHE_LIBRARY_NAME}.pdb
  DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/${KTCACHE_LIBRARY_NAME}.lib
  ${PROJECT_BINARY_DIR}/${KTCACHE_LIBRARY_NAME}.def
  DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES docs/windows-hosts.md DESTINATION docs)
install(FILES examples/runtime_host.c examples/windows-host.manifest DESTINATION examples)
install(FILES examples/dotnet/KtCache.cs DESTINATION examples/dotnet)
install(FILES docs/windows-kit-README.md DESTINATION . RENAME README.md)
install(FILES LICENSE CHANGELOG.md DESTINATION .)
