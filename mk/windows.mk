# Windows, for host developers: the shipped 64-bit DLL, cross-built by clang
# and lld for the mingw-w64 target, and the kit they receive. Only these
# targets need the cross toolchain and Wine (and the npm package's, which
# carries the DLL: mk/node.mk).
#   make windows        the DLL, its PDB, .def, MSVC .lib and mingw .dll.a in
#                       $(WINDOWS_BUILD_DIR), checked by scripts/check-dll.sh
#                       (export and import tables, version resource, native TLS)
#   make dist-windows   the kit, one zip under $(DIST_DIR) (scripts/windows-kit.sh),
#                       and its SHA-256 in $(DIST_DIR)/SHA256SUMS
#   make test-windows   the test programs (and the Windows benchmark, which it
#                       does not run) under Wine, then the kit's listing and checks
#   make bench-windows  the scan under Wine against the least loop of Windows
#                       file calls, and its ntdll calls (docs/performance.md), on
#                       BENCH_WINDOWS_FILES files for BENCH_WINDOWS_SECONDS seconds
#   make test-dotnet    the .NET declarations of examples/dotnet under Mono,
#                       against the Linux library (no cross toolchain)
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_PACKAGES := cmake make g++-mingw-w64-x86-64 googletest rapidjson-dev wine64 \
  llvm lld clang zip
DOTNET_PACKAGES := mono-mcs mono-runtime locales
BENCH_WINDOWS_FILES ?= 10000
BENCH_WINDOWS_SECONDS ?= 30

.PHONY: windows-deps windows dist-windows test-windows bench-windows test-dotnet

windows-deps:
	@scripts/debian-packages.sh $(WINDOWS_PACKAGES)

# CMake takes the toolchain file from the environment when it first
# configures the directory, and later runs give no warning that it went unused.
windows: windows-deps
	CMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-w64-x86_64.cmake) cmake -S . -B $(WINDOWS_BUILD_DIR) \
	  -DKTCACHE_WERROR=ON -DKTCACHE_BUILD_BENCHMARKS=ON $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target ktcache
	$(call with_facts,$(WINDOWS_BUILD_DIR)) \
	  scripts/check-dll.sh "$$KTCACHE_LIBRARY" src/ktcache.map include/ktcache.h

dist-windows: windows
	scripts/windows-kit.sh pack $(WINDOWS_BUILD_DIR) $(DIST_DIR)

test-windows: dist-windows
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	scripts/run-ctest.sh $(WINDOWS_BUILD_DIR) -j $(JOBS)
	scripts/windows-kit.sh check $(WINDOWS_BUILD_DIR) $(DIST_DIR)

bench-windows: windows
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target ktcache_bench_windows
	bench/windows-bench.sh $(WINDOWS_BUILD_DIR) $(BENCH_WINDOWS_FILES) $(BENCH_WINDOWS_SECONDS)

test-dotnet:
	@scripts/debian-packages.sh $(DEBIAN_PACKAGES) $(DOTNET_PACKAGES)
	cmake -S . -B $(BUILD_DIR) -DKTCACHE_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache ktcache_dotnet_host
	scripts/run-ctest.sh $(BUILD_DIR) -L dotnet
