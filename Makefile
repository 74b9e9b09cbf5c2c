# Everything starts here; each target installs what is missing first.
#   make test    build everything and run every test
#   make demo    drive the simulated robot from Octave and plot its path
#   make build   stage ready-to-use files in dist/
#   make octave-package
#                the Octave package alone, dist/velocartdriver-VERSION.tar.gz:
#                installs only Octave, its headers, g++ and make
#   make package the release files in dist/: the Octave package, the MATLAB
#                archives and SHA256SUMS
#   make bench   measure the driver
#   make fuzz    run every fuzzer for a while and the full gateway fuzz in Octave
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
JOBS ?= 2
BUILD := build
BUILD_WIN := build-windows
BUILD_ASAN := build-asan
BUILD_TSAN := build-tsan
VERSION := $(shell head -n 1 VERSION)
# The second build folder: clang with AddressSanitizer and UndefinedBehavior-
# Sanitizer (float-to-integer casts included, which GCC does not check), any
# report fatal. It holds the native tests and the libFuzzer targets.
ASAN_FLAGS := -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all \
  -fno-omit-frame-pointer
export UBSAN_OPTIONS ?= print_stacktrace=1

.PHONY: all deps configure native windows build octave-package package test bench demo format-check \
  asan-build asan tsan fuzz-smoke fuzz

all: build

deps:
	@bash scripts/install-deps.sh all

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELOCART_OCTAVE=ON -DVELOCART_BENCH=ON -DVELOCART_TESTS=ON \
	  -DVELOCART_WINDOWS_BUILD_DIR=$(CURDIR)/$(BUILD_WIN) > /dev/null

native: configure
	@cmake --build $(BUILD) -j $(JOBS)

# dlltool leaves empty temporary files behind: keep them in the build folder.
windows: deps
	@cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVELOCART_TESTS=ON > /dev/null
	@mkdir -p $(BUILD_WIN)/tmp
	@TMPDIR=$(CURDIR)/$(BUILD_WIN)/tmp cmake --build $(BUILD_WIN) -j $(JOBS)

build: native windows
	@bash scripts/stage-dist.sh $(BUILD) $(BUILD_WIN)

# The Octave package holds sources, which pkg install builds with Octave's
# own mkoctfile: no CMake, no cross tools, nothing built here.
octave-package:
	@bash scripts/install-deps.sh octave
	@bash scripts/octave-package.sh dist > /dev/null
	@echo "octave-package: wrote dist/velocartdriver-$(VERSION).tar.gz; in Octave, from this folder:"
	@echo "  pkg install -local dist/velocartdriver-$(VERSION).tar.gz"

package: build
	@bash scripts/package.sh $(BUILD) $(BUILD_WIN)

# The installation tests take the files in dist/.
test: build package format-check asan tsan fuzz-smoke
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: native
	@bash bench/run-bench.sh $(BUILD)

# The demo needs only the Octave module and the simulator: it installs and
# builds nothing else (tests and benchmarks stay as the build folder has them).
demo:
	@bash scripts/install-deps.sh demo
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOCART_OCTAVE=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target velocart_octave_mex velocart-sim
	@bash scripts/stage-dist.sh $(BUILD) $(BUILD_WIN)
	@bash examples/run-demo.sh $(BUILD)

asan-build: deps
	@cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)" -DVELOCART_OCTAVE=OFF -DVELOCART_BENCH=OFF \
	  -DVELOCART_TESTS=ON -DVELOCART_MEXA64=OFF -DVELOCART_FUZZ=ON > /dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)

# The native tests under the sanitizers: every GoogleTest case (Suite.Case).
# The end-to-end tests in Octave and Wine run in the main build only.
asan: asan-build
	@cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS) -R '\.' -LE fuzz

# The native tests that run the module's thread beside the caller (the
# serial link and the gateway's), under ThreadSanitizer; any report fails.
tsan: deps
	@cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" -DVELOCART_OCTAVE=OFF \
	  -DVELOCART_BENCH=OFF -DVELOCART_TESTS=ON -DVELOCART_MEXA64=OFF > /dev/null
	@cmake --build $(BUILD_TSAN) -j $(JOBS) --target serial_tests hardening_tests
	@cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
	  ctest --output-on-failure -j 1 -R '^(SerialLinkTest|NoAllocation|GatewayInput|GatewayThread|AllocationCounter)\.'

# A few seconds of each fuzzer from the kept corpus.
fuzz-smoke: asan-build
	@cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS) -L fuzz

fuzz: asan-build native
	@bash fuzz/run-fuzz.sh long $(BUILD_ASAN)
	@bash tests/hardening/gateway_fuzz/run-gateway-fuzz.sh $(BUILD)/octave $(BUILD)/tests/support/pty_peer full

format-check: deps
	@files=$$(git ls-files '*.cpp' '*.h'); \
	  clang-format --dry-run --Werror $$files && echo "format-check: $$(echo $$files | wc -w) files clean"
