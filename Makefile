# SPDX-License-Identifier: GPL-3.0-or-later
# Tavrino: the two set-up commands (make run, make test) and the benchmarks (make bench).
# Every target installs what is missing first, so each works on a fresh machine.

SHELL      := /bin/bash
JOBS       ?= $(shell nproc)
RELEASE    := build/release
ASAN       := build/asan
AARCH64    := build/aarch64
BENCHDIR   := build/bench
CMAKE_GEN  := -G Ninja
APPDIR     := $(RELEASE)/tavrino
PREFIX     ?= $(HOME)/.local

.PHONY: all run test bench deps build build-asan build-aarch64 build-bench clean install uninstall package

all: build

deps:
	@scripts/install-deps

$(RELEASE)/build.ninja: | deps
	cmake -S . -B $(RELEASE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTAVRINO_TESTS=OFF

build: deps $(RELEASE)/build.ninja
	cmake --build $(RELEASE) -j $(JOBS) --target tavrino
	@scripts/prepare-appdir $(APPDIR)

# Starts the recorder. Without a display it says so (see README).
run: build
	scripts/run-tavrino $(APPDIR)/tavrino

# Configured on every run (a few seconds), so that a build folder made before an option
# existed still gets warnings as errors.
build-asan: deps
	cmake -S . -B $(ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRINO_SANITIZE=ON -DTAVRINO_TESTS=ON \
	  -DTAVRINO_WERROR=ON >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

# The processor-independent modules (core, dsp, the FFT and smoothing) cross-compiled for
# aarch64, warnings as errors: proves they build on ARM machines. Compiles only.
build-aarch64: deps
	cmake -S . -B $(AARCH64) $(CMAKE_GEN) --toolchain cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DTAVRINO_PORTABLE_ONLY=ON -DTAVRINO_TESTS=OFF -DTAVRINO_WERROR=ON >/dev/null
	cmake --build $(AARCH64) -j $(JOBS)

# Every test, under AddressSanitizer and UndefinedBehaviorSanitizer, offscreen, with a
# private PulseAudio server that is stopped afterwards; first the aarch64 build.
test: build-aarch64 build-asan
	scripts/with-pulse-test-server scripts/run-tests $(ASAN) $(JOBS)

$(BENCHDIR)/build.ninja: | deps
	cmake -S . -B $(BENCHDIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTAVRINO_TESTS=OFF -DTAVRINO_BENCH=ON

build-bench: deps $(BENCHDIR)/build.ninja
	cmake --build $(BENCHDIR) -j $(JOBS)

bench: build-bench
	scripts/with-pulse-test-server scripts/run-benches $(BENCHDIR)

# Installs for this user (program, launcher, menu entry, icon); PREFIX=... for elsewhere.
install: build
	scripts/install-app "$(PREFIX)" $(APPDIR)

# Removes what install put there; the counter and the recordings stay.
uninstall:
	scripts/install-app --uninstall "$(PREFIX)"

# The Debian package, build/release/tavrino_VERSION_ARCH.deb (CPack; Depends from dpkg-shlibdeps).
package: build
	cd $(RELEASE) && cpack -G DEB
	@ls $(RELEASE)/tavrino_*.deb

clean:
	rm -rf build
