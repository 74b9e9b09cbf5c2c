# Everything starts here; each target installs what is missing first.
#   make test    build everything and run every test
#   make demo    drive the simulated robot from Octave and plot its path
#   make build   stage ready-to-use files in dist/
#   make bench   measure the driver
SHELL := /bin/bash
JOBS ?= 2
BUILD := build
BUILD_WIN := build-windows

.PHONY: all deps configure native windows build test bench demo format-check

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELOCART_WINDOWS_BUILD_DIR=$(CURDIR)/$(BUILD_WIN) > /dev/null

native: configure
	@cmake --build $(BUILD) -j $(JOBS)

windows: deps
	@cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release > /dev/null
	@cmake --build $(BUILD_WIN) -j $(JOBS)

build: native windows
	@bash scripts/stage-dist.sh $(BUILD) $(BUILD_WIN)

test: build format-check
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: native
	@bash bench/run-bench.sh $(BUILD)

demo: native
	@bash examples/run-demo.sh $(BUILD)

format-check: deps
	@files=$$(git ls-files '*.cpp' '*.h'); \
	  clang-format --dry-run --Werror $$files && echo "format-check: $$(echo $$files | wc -w) files clean"
