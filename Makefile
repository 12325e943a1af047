# Thin front end over CMake. `make demo` runs the demo game, `make test` runs
# every test; both install missing Debian packages first.
BUILD ?= build
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps configure build test demo package bench bench-patcher clean

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

# The Debian packages quask and quask-tools, written into $(BUILD)/; a loud
# warning at the end when they would point at a test server or trust no key.
package: build
	cmake --build $(BUILD) --target package
	@bash scripts/package_warning.sh $(BUILD)

# GL benchmarks run on a virtual X server of their own.
bench: build
	$(BUILD)/bench/velmar_bench
	$(BUILD)/bench/bench_models
	xvfb-run -a -s "-screen 0 1024x768x24" $(BUILD)/bench/bench_textures
	xvfb-run -a -s "-screen 0 1024x768x24" $(BUILD)/bench/bench_world

# The patcher against md5sum, curl and xz (about ten minutes at full size).
bench-patcher: build
	bash bench/patcher_bench.sh --build $(BUILD)

clean:
	rm -rf $(BUILD) demo-game
