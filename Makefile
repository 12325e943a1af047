# Thin front end over CMake. `make demo` runs the demo game, `make test` runs
# every test; both install missing Debian packages first.
BUILD ?= build
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	bash scripts/demo.sh $(BUILD)

bench: build
	$(BUILD)/bench/velmar_bench

clean:
	rm -rf $(BUILD) demo-game
