# Wraps CMake so that a fresh Debian 12 machine needs only `make run` or `make test`.
BUILD ?= build
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
CMAKE_ARGS ?=

# Everything the project needs to build, test and run.
PACKAGES := cmake ninja-build g++ pkg-config file \
  qt6-base-dev qt6-base-dev-tools qt6-wayland libxcb1-dev libicu-dev \
  libphonenumber-dev libboost-dev zlib1g-dev libarchive-dev liblzma-dev libssl-dev \
  nlohmann-json3-dev zstd \
  fonts-noto-cjk xvfb xauth xdotool xclip x11-utils imagemagick \
  icoutils binutils-mingw-w64-x86-64 desktop-file-utils appstream systemd dpkg-dev chromium \
  libsystemd-dev haproxy prometheus wrk curl openssl python3-yaml

# Only for `make bench`.
BENCH_PACKAGES := libbenchmark-dev nginx-light

# Only for CI's fuzzing step.
CI_PACKAGES := clang libclang-rt-14-dev

# Only for `make icons`, which renders the committed icons again from their SVG.
ICON_PACKAGES := librsvg2-bin imagemagick icoutils

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps bench-deps ci-deps configure build test package run screenshot bench icons clean

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

bench-deps: deps
	$(call install_missing,$(BENCH_PACKAGES))

ci-deps: deps
	$(call install_missing,$(CI_PACKAGES))

# Configures once, and again from a fresh cache whenever CMAKE_ARGS differs from the last time,
# so that a changed (or dropped) option always reaches CMake.
configure: deps
	@if [ ! -f $(BUILD)/CMakeCache.txt ] || [ "$$(cat $(BUILD)/.make-cmake-args 2>/dev/null)" != '$(CMAKE_ARGS)' ]; then \
	  fresh=; [ -f $(BUILD)/CMakeCache.txt ] && fresh=--fresh; \
	  echo "cmake $$fresh -S . -B $(BUILD) -G \"$(GENERATOR)\" $(CMAKE_ARGS)"; \
	  cmake $$fresh -S . -B $(BUILD) -G "$(GENERATOR)" $(CMAKE_ARGS) && \
	  printf '%s' '$(CMAKE_ARGS)' >$(BUILD)/.make-cmake-args; \
	fi

build: configure
	cmake --build $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# The Debian packages, in $(BUILD)/packages: what `make run` offers on the service's home page.
package: build
	cmake --build $(BUILD) --target package

run: package
	tools/run.sh $(BUILD)

# The window looking up a number under Xvfb, as the home page shows it.
screenshot: build
	tools/run.sh $(BUILD) --screenshot service/site/assets/screenshot.png

bench: bench-deps
	cmake -S . -B $(BUILD)-bench -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release -DZUNO_BUILD_BENCH=ON -DBUILD_TESTING=ON
	cmake --build $(BUILD)-bench
	tools/run-benchmarks.sh $(BUILD)-bench/bench
	bench/wrk-vs-nginx.sh $(BUILD)-bench/service/zuno-lookupd

icons:
	$(call install_missing,$(ICON_PACKAGES))
	resources/render-icons.sh

clean:
	rm -rf $(BUILD) $(BUILD)-bench
