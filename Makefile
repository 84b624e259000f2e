# Entry points: `make demo` (the main job) and `make test` (every test).
BUILD    ?= build
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# The interpreter of `make demo`: Python 2.7 when empty; PYTHON=python3 runs
# it under the Python 3 the build is configured for (KX_PYTHON3).
PYTHON   ?=
export PYTHON

.PHONY: all build test test-pythons test-windows demo demo-build bench sanitize clean

all: build

$(BUILD)/CMakeCache.txt:
	@scripts/bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Every Python suite on Python 2.7 and every supported Python 3 that pyenv
# holds, each with and without interpreter shortcuts (KX_GENERIC), in
# $(BUILD)-pythons; prints a table of the results.
test-pythons:
	@scripts/bootstrap
	JOBS=$(JOBS) scripts/test-pythons $(BUILD)-pythons

demo: demo-build
	@scripts/demo $(BUILD)

bench: demo-build
	@scripts/bench $(BUILD)

# What the demo and the benchmarks run: every build of the modules, the
# simulator and the dissector (what cmake --install takes), not the test binaries.
demo-build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target python-modules

# AddressSanitizer + UBSan build: every test, the Python suites with the
# sanitizer runtimes preloaded into the interpreter.
sanitize:
	@scripts/bootstrap
	cmake -S . -B build-asan -DKX_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD)-pythons build-asan build-wheel

# Windows x86-64: the support library and its C++ tests cross-built with
# mingw-w64 into build-windows and run under wine (installs both when missing).
test-windows:
	@scripts/test-windows

# ---- fuzzing and leak checks ----
# `make fuzz` runs every libFuzzer target (built with clang, see fuzz/) for
# FUZZ_SECONDS each, keeping what it finds in $(BUILD)/fuzz/targets/work;
# `make leakcheck` runs the reference and memory leak test at 50,000 calls per case.
FUZZ_SECONDS ?= 60
LEAK_CALLS ?= 50000
.PHONY: fuzz leakcheck

fuzz: build
	@fuzz/run $(BUILD)/fuzz/targets $(FUZZ_SECONDS)

leakcheck: build
	cd tests/python && PYTHONPATH=$(abspath $(BUILD))/python:. PYTHONDONTWRITEBYTECODE=1 \
	  KX_LEAK_CALLS=$(LEAK_CALLS) $$($(CURDIR)/scripts/find-python27) -m unittest -v test_leaks
