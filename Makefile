# Two commands do everything on a fresh Debian 12 machine:
#   make run    install what is missing, build, run the server against the simulated selector
#   make test   the same set-up, then the whole test suite
#   make install   installs under PREFIX (default /usr/local), below DESTDIR when given
#   make deb       builds the Debian package BUILD/kivonet_<version>_<arch>.deb
BUILD    ?= build
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=
WERROR   ?= $(if $(CI),ON,OFF)

.PHONY: all deps configure build run install deb package-check test sanitize sanitize-address sanitize-thread fuzz soak bench clean \
        windows test-windows

all: build

deps:
	@bash scripts/install-deps

PREFIX   ?= /usr/local
DESTDIR  ?=
# The programs an operator runs (the server with its simulated selector, the tools).
PROGRAMS := kivonet kivonet-config kivo16-sim

configure: deps
	cmake -S . -B $(BUILD) -DKIVO_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only what it runs: the server (the simulated selector is built into it) and the stand-alone simulator.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target kivonet kivo16-sim
	@bash scripts/run-server $(BUILD)

# The install prefix is written into the service units, so it is part of the configuration.
install: deps
	cmake -S . -B $(BUILD) -DKIVO_WERROR=$(WERROR) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS) kivo_install_files
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

deb: deps
	cmake -S . -B $(BUILD) -DKIVO_WERROR=$(WERROR) -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS) kivo_install_files
	cd $(BUILD) && cpack -G DEB >/dev/null
	@ls $(BUILD)/kivonet_*.deb

# The package checked as an operator receives it: file list, the unpacked server runs, lintian, units,
# manual pages.
package-check: deb
	bash scripts/check-package $(BUILD)

test: build
	bash scripts/run-tests $(BUILD)

sanitize: sanitize-address sanitize-thread

sanitize-address: deps
	cmake -S . -B build-asan -DKIVO_SANITIZE=address -DKIVO_WERROR=$(WERROR) >/dev/null
	cmake --build build-asan -j $(JOBS)
	bash scripts/run-tests build-asan

sanitize-thread: deps
	cmake -S . -B build-tsan -DKIVO_SANITIZE=thread -DKIVO_WERROR=$(WERROR) >/dev/null
	cmake --build build-tsan -j $(JOBS)
	bash scripts/run-tests build-tsan

bench: build
	bash scripts/run-bench $(BUILD)

# Fuzzing (clang + libFuzzer, ASan+UBSan): replays the stored inputs, then runs every target for
# FUZZ_SECONDS seconds. Build folder: build-fuzz.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKIVO_FUZZ=ON -DKIVO_WERROR=$(WERROR) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_all
	bash scripts/run-fuzz build-fuzz $(FUZZ_SECONDS)

# Soak test of the real server on a pseudo-terminal: SOAK=full (default) or SOAK=short.
# Build folder: build-soak.
SOAK ?= full
soak: deps
	cmake -S . -B build-soak -DKIVO_WERROR=$(WERROR) >/dev/null
	cmake --build build-soak -j $(JOBS) --target kivonet
	cmake -S soak -B build-soak/driver -DKIVO_WERROR=$(WERROR) >/dev/null
	cmake --build build-soak/driver -j $(JOBS)
	bash scripts/run-soak build-soak $(SOAK)

# Windows: a cross build with MinGW-w64 into build-windows (programs, test programs and
# kivonet-<version>-win64.zip); test-windows runs the test programs and the end-to-end checks under
# Wine (scripts/run-windows-tests).
WINBUILD ?= build-windows
windows: deps
	cmake -S . -B $(WINBUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKIVO_WERROR=$(WERROR) >/dev/null
	cmake --build $(WINBUILD) -j $(JOBS)

test-windows: windows
	bash scripts/run-windows-tests $(WINBUILD)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-soak build-windows
