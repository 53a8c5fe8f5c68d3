# The two commands: `make run` and `make test` (see README.md).
BUILD      ?= build/release
ASAN_BUILD ?= build/asan
FUZZ_BUILD ?= build/fuzz
JOBS       ?= $(shell nproc)
# ccache, when the machine has it, makes rebuilds in several work trees cheap.
LAUNCHER   := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR ?= $(abspath $(CURDIR)/..)

.PHONY: format-check all deps test-deps build asan-build run deb test unit-test asan-test e2e-test fuzz-test bench clean

all: build

deps:
	scripts/install-deps

test-deps:
	scripts/install-deps --test

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

asan-build:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTALORIA_SANITIZE=ON $(LAUNCHER) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: deps build
	scripts/run-workbench $(BUILD)

# The Debian package of the installation: $(BUILD)/taloria_VERSION_amd64.deb.
deb: deps build
	cd $(BUILD) && cpack -G DEB

test: test-deps
	$(MAKE) format-check
	$(MAKE) build
	$(MAKE) unit-test
	$(MAKE) e2e-test
	$(MAKE) asan-test
	$(MAKE) fuzz-test

format-check:
	scripts/check-format

unit-test:
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan-test: asan-build
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit

# Every fuzz target over its seeds and regression inputs, then a short fixed
# number of fresh runs (clang, libFuzzer, ASan+UBSan).
fuzz-test:
	tests/fuzz/build $(FUZZ_BUILD) $(JOBS)
	tests/fuzz/run $(FUZZ_BUILD)

e2e-test:
	@if [ -f tests/e2e/package.json ]; then \
	    TALORIA_BIN_DIR=$(CURDIR)/$(BUILD)/bin npm --prefix tests/e2e test; \
	else echo "no browser tests yet"; fi

bench:
	scripts/install-deps --bench
	$(MAKE) build
	bench/run-all $(BUILD)

clean:
	rm -rf build
