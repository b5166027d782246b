# SPDX-License-Identifier: Apache-2.0
# Wraps CMake's presets (CMakePresets.json) so that a fresh Debian 12 machine needs only
# `make run` or `make test`.
CMAKE_ARGS ?=
# The default preset's binary folder.
BUILD := build

# What building the programs and their packages and running them need; run.sh looks a number up
# under Xvfb with xdotool, xclip and ImageMagick's import where there is no display.
PACKAGES := cmake ninja-build g++ pkg-config file dpkg-dev \
  qt6-base-dev qt6-base-dev-tools qt6-wayland libxcb1-dev libicu-dev \
  libphonenumber-dev libboost-dev zlib1g-dev libarchive-dev liblzma-dev libssl-dev nlohmann-json3-dev \
  libsystemd-dev libsqlite3-dev libpq-dev fonts-noto-cjk xvfb xdotool xclip imagemagick

# What the tests add: the tools each check script reads a resource back with, a browser, a load
# balancer, Prometheus's promtool, lintian for the packages, and a PostgreSQL of their own.
TEST_PACKAGES := xauth x11-utils icoutils binutils-mingw-w64-x86-64 desktop-file-utils appstream \
  systemd lintian chromium haproxy prometheus wrk curl openssl python3-yaml python3-jsonschema zstd \
  sqlite3 postgresql-15

# The OpenAPI document's linter, from npm into a folder of the checkout (never system-wide).
NODE_TOOLS := build-node
REDOCLY_VERSION := 2.77.0

# What `make windows` needs: the 32-bit MinGW-w64 compiler (the build is static), NSIS for the
# installer and osslsigncode for signing.
WINDOWS_PACKAGES := g++-mingw-w64-i686 nsis osslsigncode

# What the tests add to drive the Windows program: 32-bit Wine (fonts-noto-cjk, above, gives it
# Chinese glyphs).
WINE_PACKAGES := wine wine32:i386

# Only for `make bench`.
BENCH_PACKAGES := libbenchmark-dev nginx-light linux-perf valgrind

# Only for CI's fuzzing step.
CI_PACKAGES := clang libclang-rt-14-dev

# Only for `make icons`, which renders the committed icons again from their SVG.
ICON_PACKAGES := librsvg2-bin imagemagick icoutils

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps test-deps bench-deps ci-deps configure build test package run screenshot bench \
  icons clean windows-deps wine-deps windows windows-files

all: build

# Installs only what is missing; refreshes the package lists only when it must install.
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

test-deps: deps windows-deps wine-deps
	$(call install_missing,$(TEST_PACKAGES))
	@command -v npm >/dev/null || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends npm; }
	@[ "$$($(NODE_TOOLS)/node_modules/.bin/redocly --version 2>/dev/null | tail -1)" = $(REDOCLY_VERSION) ] || \
	  npm install --prefix $(NODE_TOOLS) --no-save --no-audit --no-fund @redocly/cli@$(REDOCLY_VERSION)

windows-deps:
	$(call install_missing,cmake ninja-build $(WINDOWS_PACKAGES))

# wine32 is an i386 package: the architecture is added once, before the first install.
wine-deps:
	@dpkg --print-foreign-architectures | grep -qx i386 || \
	  { echo "dpkg --add-architecture i386"; $(SUDO) dpkg --add-architecture i386; }
	$(call install_missing,$(WINE_PACKAGES))

bench-deps: test-deps
	$(call install_missing,$(BENCH_PACKAGES))

ci-deps: test-deps
	$(call install_missing,$(CI_PACKAGES))

# Configures once, and again from a fresh cache whenever CMAKE_ARGS differs from the last time,
# so that a changed (or dropped) option always reaches CMake.
configure: deps
	@if [ ! -f $(BUILD)/CMakeCache.txt ] || [ "$$(cat $(BUILD)/.make-cmake-args 2>/dev/null)" != '$(CMAKE_ARGS)' ]; then \
	  fresh=; [ -f $(BUILD)/CMakeCache.txt ] && fresh=--fresh; \
	  echo "cmake $$fresh --preset default $(CMAKE_ARGS)"; \
	  cmake $$fresh --preset default $(CMAKE_ARGS) && \
	  printf '%s' '$(CMAKE_ARGS)' >$(BUILD)/.make-cmake-args; \
	fi

build: configure
	cmake --build --preset default

test: test-deps build windows
	ctest --preset default

# The Debian packages, in $(BUILD)/packages: what `make run` offers on the service's home page.
# The Windows files too where the cross tools are installed (make windows installs them).
package: build
	cmake --build --preset default --target package
	tools/package-windows.sh

run: package
	tools/run.sh $(BUILD)

# The window looking up a number under Xvfb, as the home page shows it.
screenshot: build
	tools/run.sh $(BUILD) --screenshot service/site/pages/assets/screenshot.png

bench: bench-deps
	cmake --preset bench $(CMAKE_ARGS)
	cmake --build --preset bench
	tools/run-benchmarks.sh build-bench/bench
	bench/wrk-vs-nginx.sh build-bench/service/zuno-lookupd
	bench/wrk-ceiling.sh build-bench/service/zuno-lookupd build-bench/bench/zuno-epoll-responder
	bench/profile-lookupd.sh build-bench/service/zuno-lookupd
	bench/instructions-per-request.sh build-bench/service/zuno-lookupd
	bench/batch.sh build-bench/service/zuno-lookupd build-bench/bench/zuno-batch-baseline
	bench/cluster-labels.sh build-bench/service/zuno-lookupd

icons:
	$(call install_missing,$(ICON_PACKAGES))
	resources/render-icons.sh

# zuno-lookup.exe, its installer and a portable zip in build-windows/packages, configured afresh
# when CMAKE_ARGS changes; signed when ZUNO_SIGN_PKCS12 and ZUNO_SIGN_PASSWORD_FILE are set.
windows: windows-deps
	@$(MAKE) --no-print-directory windows-files

windows-files:
	@if [ ! -f build-windows/CMakeCache.txt ] || [ "$$(cat build-windows/.make-cmake-args 2>/dev/null)" != '$(CMAKE_ARGS)' ]; then \
	  fresh=; [ -f build-windows/CMakeCache.txt ] && fresh=--fresh; \
	  echo "cmake $$fresh --preset windows $(CMAKE_ARGS)"; \
	  cmake $$fresh --preset windows $(CMAKE_ARGS) && \
	  printf '%s' '$(CMAKE_ARGS)' >build-windows/.make-cmake-args; \
	fi
	cmake --build --preset windows
	cmake --build --preset windows --target windows-packages

# Every preset's binary folder.
clean:
	rm -rf $(BUILD) build-release build-asan build-fuzz build-bench build-windows $(NODE_TOOLS)
