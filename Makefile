# Entry points for people and CI. Everything below is plain CMake/CTest; this
# file only makes sure the Debian packages are there first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# What a fresh Debian 12 machine needs to build and test the library.
DEBIAN_PACKAGES := cmake make g++ gcc pkg-config libgtest-dev rapidjson-dev

SOURCES := $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp' 2>/dev/null)

.PHONY: all deps configure build test demo bench install format format-check clean

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

# Builds everything and shows the tool on a sample cache under $(BUILD_DIR).
demo: build
	@scripts/demo.sh $(BUILD_DIR)

# Benchmarks of the hot paths; compare ratios within one run.
bench:
	@$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="$(DEBIAN_PACKAGES) libbenchmark-dev"
	cmake -S . -B $(BUILD_DIR) -DKTCACHE_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache_bench
	$(BUILD_DIR)/bench/ktcache_bench

# make install PREFIX=/opt/ktcache
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf $(BUILD_DIR)
