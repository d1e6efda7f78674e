# Entry points. Each one first installs whatever Debian packages are missing.
#
#   make demo    build the Python module and run examples/demo.py
#   make test    C++ tests (plain, under ASan+UBSan, under TSan), the constant-time
#                check, the fuzz corpus replayed, and the Python tests (also
#                against the module built with ASan+UBSan), mypy --strict
#   make fuzz    every fuzz harness for FUZZ_SECONDS (default 300) each; the
#                corpus grows in FUZZ_CORPUS (default build/fuzz-corpus)
#   make tsan    the ThreadSanitizer driver
#   make ct      the constant-time check of the webhook value comparison
#   make build   configure and build the module and the C++ tests (Release)
#   make bench   build and run the benchmarks (C++ stages, then calls through the module)
#   make wheel   build the abi3 wheel into dist/ (the sdist: python3 -m build --sdist)
#
# With CI=true in the environment, warnings are errors.

SHELL := /bin/bash
.DEFAULT_GOAL := build

# Debian's interpreter runs the tests; the module itself loads in any CPython >= 3.10.
PYTHON ?= /usr/bin/python3
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

BUILD ?= build/release
SANITIZE_BUILD ?= build/sanitize
BENCH_BUILD ?= build/bench
TSAN_BUILD ?= build/tsan
FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 300
FUZZ_CORPUS ?= build/fuzz-corpus

# Recursive: evaluated in recipes, after `setup` has installed the interpreter.
PYTHON_ROOT = $(shell $(PYTHON) -c 'import sys; print(sys.base_prefix)')
CMAKE_COMMON = -G Ninja -DPython3_EXECUTABLE=$(PYTHON) -DPython3_ROOT_DIR=$(PYTHON_ROOT) \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
# Paths relative to the checkout and no build directory in the hash (it is only
# recorded in debug information), so that every clone shares the compile cache.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
# Always given, so a build directory never keeps the setting of an earlier run.
ifeq ($(CI),true)
CMAKE_COMMON += -DQBO_WERROR=ON
else
CMAKE_COMMON += -DQBO_WERROR=OFF
endif

.PHONY: setup build module sanitize tsan-build fuzz-build builds demo test tsan ct fuzz fuzz-ci \
  bench wheel clean

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Only the extension module (what the demo needs).
module: setup
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target quorvex_bo_fx_native

# The C++ tests and the module again, with AddressSanitizer and
# UndefinedBehaviorSanitizer; the module lands in $(SANITIZE_BUILD)/python beside
# a copy of the package.
sanitize: setup
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQBO_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	tar -C python --exclude=_native.abi3.so --exclude=__pycache__ -cf - quorvex_bo \
	  | tar -C $(SANITIZE_BUILD)/python -xf -

# The core under ThreadSanitizer (GCC) and its driver.
tsan-build: setup
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQBO_TSAN=ON -DQBO_TESTS=OFF -DQBO_PYTHON=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)

# The fuzz harnesses: clang 16, libc++, libFuzzer, ASan+UBSan.
fuzz-build: setup
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-16 -DQBO_FUZZ=ON -DQBO_TESTS=OFF -DQBO_PYTHON=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# The four configurations are independent: two at a time, one compile job each.
builds: setup
	$(MAKE) --no-print-directory -j 2 JOBS=1 build sanitize tsan-build fuzz-build

demo: module
	PYTHONPATH=python $(PYTHON) examples/demo.py

# ctest without a line per passing test (failures keep their whole output).
CTEST = set -o pipefail; ctest -j $(JOBS) --output-on-failure --test-dir
CTEST_QUIET = | grep -v -E '^ +Start +[0-9]+:|Passed +[0-9.]+ sec$$'

# The Python module tests (not the client and sandbox folders) against the
# ASan+UBSan module: reference counts and argument parsing. Not memory
# exhaustion: ASan reports an allocation that fails instead of throwing, and
# the test's child process does not inherit the preloaded runtime. Not the
# packaging checks: they concern the shipped (Release) module.
ASAN_PYTHON = QBO_TEST_INSTALLED=1 PYTHONPATH=$(SANITIZE_BUILD)/python \
  LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
  $(PYTHON) -m pytest -q -p no:cacheprovider -k "not memory_exhaustion" \
  $(filter-out tests/python/test_packaging.py,$(wildcard tests/python/test_*.py))

# The committed fuzz corpus (seeds and regression inputs), replayed once; a
# failing input is shown with the harness's whole report.
REPLAY = for h in call answers amounts json; do \
  out=$$($(FUZZ_BUILD)/qbo_fuzz_$$h -runs=0 tests/fuzz/corpus/$$h 2>&1) \
  || { echo "$$out"; exit 1; }; echo "$$h: $${out\#\#*$$'\n'}"; done

# Runs every suite even when an earlier one fails; fails if any failed.
test: builds
	@status=0; \
	echo "== C++ tests (and the constant-time check)"; \
	($(CTEST) $(BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== C++ tests under ASan+UBSan"; \
	($(CTEST) $(SANITIZE_BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== 8 threads under TSan"; \
	($(CTEST) $(TSAN_BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== Fuzz corpus replayed"; \
	($(REPLAY)) || status=1; \
	echo "== Python tests"; \
	$(PYTHON) -m pytest tests/python -q || status=1; \
	echo "== Python module tests under ASan+UBSan"; \
	$(ASAN_PYTHON) || status=1; \
	echo "== mypy --strict (package and README examples)"; \
	($(PYTHON) -m mypy --strict python/quorvex_bo \
	  && $(PYTHON) scripts/readme_examples.py README.md build/readme \
	  && MYPYPATH=python $(PYTHON) -m mypy --strict build/readme) || status=1; \
	exit $$status

tsan: tsan-build
	$(CTEST) $(TSAN_BUILD)

ct: build
	$(CTEST) $(BUILD) -R constant_time

fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_CORPUS)

# CI: 60 seconds per harness over the committed corpus only.
fuzz-ci: fuzz-build
	rm -rf $(FUZZ_BUILD)/ci-corpus
	scripts/fuzz.sh $(FUZZ_BUILD) 60 $(FUZZ_BUILD)/ci-corpus

bench: module
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release \
	  -DQBO_BENCH=ON -DQBO_TESTS=OFF -DQBO_PYTHON=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target qbo_bench
	$(BENCH_BUILD)/qbo_bench
	PYTHONPATH=python $(PYTHON) bench/call_bench.py

wheel: setup
	$(PYTHON) -m build --wheel --outdir dist .

clean:
	rm -rf build dist python/quorvex_bo/fx/_native.abi3.so python/*.egg-info

# Mutation testing, slow and not part of `make test`: mutmut over the Python
# package (the sandbox included), then a fixed random sample of universalmutator's
# C++ mutants of core/src and fx/src, each built incrementally in a copy of the
# tree and tried against qbo_tests and the module tests. Results, survivors and
# logs in MUTATE_DIR; a second run resumes (MUTATE_ARGS=--retest tries the
# survivors again). The tools come from the index (pip install mutmut universalmutator).
MUTATE_PYTHON ?= $(if $(wildcard /work/devenv/bin/python),/work/devenv/bin/python,$(PYTHON))
MUTATE_SAMPLE ?= 300
MUTATE_SEED ?= 19
MUTATE_DIR ?= build/mutate
MUTATE_ARGS ?=
.PHONY: mutate
mutate: module
	nice -n 15 $(MUTATE_PYTHON) scripts/mutate.py --dir $(MUTATE_DIR) --sample $(MUTATE_SAMPLE) \
	  --seed $(MUTATE_SEED) $(MUTATE_ARGS)
