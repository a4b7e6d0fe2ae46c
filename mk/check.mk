# Reliability checks, the parts of `make check` (in the Makefile): clang-tidy
# over the library and the command, the whole suite under AddressSanitizer
# with UndefinedBehaviorSanitizer and leak detection, under ThreadSanitizer,
# under valgrind memcheck, and every fuzz target for FUZZ_SECONDS. Any report
# fails the target. `make check-reproducible` builds the release artefacts
# twice, in two clones of the last commit at different paths, and compares
# their bytes.
CHECK_PACKAGES := clang clang-tidy libclang-rt-14-dev llvm valgrind
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZERS := header filename bytes scan

SANITIZER_ENV := \
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: check-deps check-static check-asan check-tsan check-valgrind check-fuzz check-reproducible

check-deps:
	@scripts/debian-packages.sh $(DEBIAN_PACKAGES) $(CHECK_PACKAGES)

# The checks of .clang-tidy, with the compile commands of `make build`.
check-static: check-deps build
	scripts/check-static.sh $(BUILD_DIR) $(JOBS)

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
	$(SANITIZER_ENV) scripts/run-ctest.sh $(SANITIZE_BUILD_DIR) -j $(JOBS)

# The ordinary build of `make test` under memcheck, one process per program;
# the cases labelled as unable to run there are left out.
check-valgrind: check-deps build
	scripts/check-valgrind.sh $(BUILD_DIR)

# clang's libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer.
check-fuzz: check-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD_DIR) -DKTCACHE_WERROR=ON \
	  -DKTCACHE_BUILD_TESTS=OFF -DKTCACHE_BUILD_FUZZERS=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(FUZZERS:%=%_fuzzer)
	scripts/run-fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZERS)

# The Windows zip, the npm tarball, the DLL, its PDB and import libraries,
# and the Linux library, each built twice from the last commit.
check-reproducible: deps windows-deps node-deps
	scripts/check-reproducible.sh $(JOBS)
