# One build tree (build/) serves the C++ tests, the Python tests, the example
# and the benchmarks; the extension is written into python/korvalinth/.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
ASAN_BUILD := build-asan
DEB_PACKAGES := g++ nlohmann-json3-dev libgtest-dev libbenchmark-dev
PY_TOOLS := cmake ninja pytest hypothesis scikit-build-core
# Needed by the tests only: protobuf cross-checks the wire codecs.
PY_TEST_TOOLS := protobuf
JOBS ?= $(shell nproc)

.PHONY: all setup build check-layers test test-cpp test-cpp-asan test-py test-fuzz fuzz bench bench-cpp bench-py demo wheel clean

all: build

$(VENV)/.ready: tools/find-python.sh
	tools/install-system-deps.sh $(DEB_PACKAGES)
	rm -rf $(VENV)
	"$$(tools/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(PY_TOOLS)
	touch $@

setup: $(VENV)/.ready

# A stamp of its own, so that an existing venv gains tools added here later.
$(VENV)/.test-tools: $(VENV)/.ready Makefile
	$(PY) -m pip install --quiet $(PY_TEST_TOOLS)
	touch $@

$(BUILD)/build.ninja: $(VENV)/.ready CMakeLists.txt
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BUILD) -G Ninja \
	  -DPython_EXECUTABLE="$(CURDIR)/$(PY)"

build: $(BUILD)/build.ninja
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BUILD) -j $(JOBS)

# Every #include runs down the layers of the core and of the extension
# (tools/check-layers.py declares them).
check-layers: $(VENV)/.ready
	$(PY) tools/check-layers.py

test-cpp: build
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
$(ASAN_BUILD)/build.ninja: $(VENV)/.ready CMakeLists.txt
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DKORVALINTH_SANITIZE=ON -DKORVALINTH_BUILD_PYTHON=OFF

test-cpp-asan: $(ASAN_BUILD)/build.ninja
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

test-py: build $(VENV)/.test-tools
	PYTHONPATH=python KORVALINTH_TEST_MODULES=$(BUILD)/test-modules PYTHONMALLOC=debug $(PY) -X dev -m pytest -q tests

# The wire decoders under libFuzzer with ASan/UBSan: Debian's clang 16, whose
# concepts support libstdc++'s <expected> needs but which it does not announce.
# `make test` runs a deterministic share; `make fuzz` the full run.
FUZZ_BUILD := build-fuzz
FUZZ_PACKAGES := clang-16 libclang-rt-16-dev
FUZZ_CXX := clang++-16
FUZZ_FLAGS := -std=c++2b -D__cpp_concepts=202002L -Wno-macro-redefined -O1 -g \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Icore/src
FUZZ_SOURCES := $(wildcard core/src/wire/codec/*.cpp) core/src/wire/bridge/bridge_envelope.cpp \
  core/fuzz/wire_decoders_fuzz.cpp
FUZZ_BIN := $(FUZZ_BUILD)/wire_decoders_fuzz

$(FUZZ_BIN): $(FUZZ_SOURCES) $(wildcard core/src/wire/*/*.hpp)
	tools/install-system-deps.sh $(FUZZ_PACKAGES)
	mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) $(FUZZ_FLAGS) $(FUZZ_SOURCES) -o $@

# $(1) inputs from the seed corpus, with a fixed seed.
define run_fuzz
	rm -rf $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds && mkdir -p $(FUZZ_BUILD)/corpus
	$(PY) core/fuzz/write_seeds.py core/fuzz/seeds.hex $(FUZZ_BUILD)/seeds
	$(FUZZ_BIN) -runs=$(1) -seed=1 -max_len=4096 -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds
endef

test-fuzz: $(VENV)/.ready $(FUZZ_BIN)
	$(call run_fuzz,100000)

fuzz: $(VENV)/.ready $(FUZZ_BIN)
	$(call run_fuzz,1000000)

test: check-layers test-cpp test-py test-cpp-asan test-fuzz

# Benchmarks, never part of test: the core's microbenchmarks, then the Python
# comparison with peer libraries (installed into the venv for benchmarking
# only), then a summary of the performance targets. Each runs twice: in a
# single-threaded process and in one that has started a thread (glibc then
# makes every shared_ptr copy atomic for good). Results go to bench/results/.
# The steps run one after another, never side by side, even under make -j.
BENCH_PEERS := reaktiv signified reactivex
BENCH_CORE := $(BUILD)/bench/korvalinth_bench

bench-cpp: build
	tools/install-system-deps.sh libbenchmark-dev
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BUILD) -DKORVALINTH_BUILD_BENCH=ON
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BUILD) --target korvalinth_bench -j $(JOBS)
	mkdir -p bench/results
	$(BENCH_CORE) --benchmark_out=bench/results/core.json --benchmark_out_format=json
	$(BENCH_CORE) --threaded --benchmark_out=bench/results/core-threaded.json --benchmark_out_format=json

bench-py: build
	$(PY) -m pip install --quiet $(BENCH_PEERS)
	PYTHONPATH=python $(PY) bench/compare.py

bench:
	$(MAKE) bench-cpp
	$(MAKE) bench-py
	$(PY) bench/summary.py

demo: build
	PYTHONPATH=python $(PY) examples/quickstart.py
	PYTHONPATH=python $(PY) examples/two_processes.py

wheel: setup
	$(PY) -m pip wheel --no-deps -w dist .

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) dist python/korvalinth/*.so
