# The commands of the README for people and CI. Underneath everything is
# plain CMake and CTest; these targets make sure the Debian packages of each
# step are there first. The targets of each audience live in a file of its
# own:
#   mk/windows.mk  the Windows DLL and its kit, their tests under Wine, .NET
#   mk/node.mk     the npm package for Node and Electron
#   mk/check.mk    sanitizers, valgrind, fuzzing, reproducible artefacts
BUILD_DIR ?= build
DIST_DIR ?= dist
# No "Entering directory" lines from the makes that CMake starts below.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# What a fresh Debian 12 machine needs to build and test the library.
DEBIAN_PACKAGES := cmake make g++ gcc pkg-config libgtest-dev rapidjson-dev man-db

# The facts of a configured build (the library's file, name and version), as
# shell variables from the ktcache-build.env that CMake writes there:
#   $(call with_facts,BUILD_DIR) command "$$KTCACHE_LIBRARY"
with_facts = . $(abspath $(1))/ktcache-build.env &&

.PHONY: all deps configure build test demo bench bench-cold check install format format-check clean
all: build

# Installs missing packages when run as root; otherwise prints the apt line.
deps:
	@scripts/debian-packages.sh $(DEBIAN_PACKAGES)

configure: deps
	cmake -S . -B $(BUILD_DIR) -DKTCACHE_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The whole suite, then every skipped case with its reason.
test: build
	scripts/run-ctest.sh $(BUILD_DIR) -j $(JOBS)

# Builds the library and the tool (nothing else) and shows the tool on a
# sample cache under $(BUILD_DIR).
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache ktcache_tool
	@scripts/demo.sh $(BUILD_DIR)

# Benchmarks of the hot paths and of the scan against a naive loop of system
# calls and libmagic (docs/performance.md), with Release flags in a build
# directory of their own; BENCH_ARGS goes to the benchmark program. Then the
# system calls per entry, and the tool's table against its --json, on
# BENCH_SYSCALL_FILES and BENCH_TOOL_FILES files (empty: skipped).
BENCH_BUILD_DIR ?= build-bench
BENCH_ARGS ?=
BENCH_SYSCALL_FILES ?= 10000
BENCH_TOOL_FILES ?= 10000
bench:
	@scripts/debian-packages.sh $(DEBIAN_PACKAGES) libbenchmark-dev libmagic-dev strace
	cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
	  -DKTCACHE_WERROR=ON -DKTCACHE_BUILD_TESTS=OFF -DKTCACHE_BUILD_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target ktcache_bench ktcache_tool
	$(BENCH_BUILD_DIR)/bench/ktcache_bench $(BENCH_ARGS)
	$(if $(BENCH_SYSCALL_FILES),bench/count-syscalls.sh $(BENCH_BUILD_DIR) $(BENCH_SYSCALL_FILES))
	$(if $(BENCH_TOOL_FILES),bench/tool-ratio.sh $(BENCH_BUILD_DIR) $(BENCH_TOOL_FILES))

# The scan of a cold cache against the loop that reads one file at a time,
# cold and warm, on 2,000, 10,000 and 50,000 files (docs/performance.md);
# BENCH_COLD_ARGS goes to the program (--pairs N, --drop-caches as root,
# other file counts).
BENCH_COLD_ARGS ?=
bench-cold:
	@scripts/debian-packages.sh $(DEBIAN_PACKAGES)
	cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
	  -DKTCACHE_WERROR=ON -DKTCACHE_BUILD_TESTS=OFF -DKTCACHE_BUILD_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target ktcache_bench_cold
	$(BENCH_BUILD_DIR)/bench/ktcache_bench_cold $(BENCH_COLD_ARGS)

# The suite under each checker of mk/check.mk in turn; any report fails it.
check: check-deps
	@for part in check-static check-asan check-tsan check-valgrind check-fuzz; do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$part || { echo "== $$part FAILED"; exit 1; }; \
	  echo "== $$part passed in $$(( $$(date +%s) - start )) s"; \
	done

# make install PREFIX=/opt/ktcache
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

SOURCES = $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp' 2>/dev/null)
format:
	clang-format -i $(SOURCES)

format-check:
	@scripts/debian-packages.sh clang-format
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR) $(DIST_DIR)

include mk/windows.mk mk/node.mk mk/check.mk
