# Entry points. Each one first installs whatever Debian packages are missing.
#
#   make demo    build the Python module and run examples/demo.py
#   make test    C++ tests (plain and under ASan+UBSan), the Python tests, mypy --strict
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

# Recursive: evaluated in recipes, after `setup` has installed the interpreter.
PYTHON_ROOT = $(shell $(PYTHON) -c 'import sys; print(sys.base_prefix)')
CMAKE_COMMON = -G Ninja -DPython3_EXECUTABLE=$(PYTHON) -DPython3_ROOT_DIR=$(PYTHON_ROOT)
# Always given, so a build directory never keeps the setting of an earlier run.
ifeq ($(CI),true)
CMAKE_COMMON += -DQBO_WERROR=ON
else
CMAKE_COMMON += -DQBO_WERROR=OFF
endif

.PHONY: setup build module sanitize demo test bench wheel clean

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Only the extension module (what the demo needs).
module: setup
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target quorvex_bo_fx_native

# The C++ tests again, with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DQBO_SANITIZE=ON -DQBO_PYTHON=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)

demo: module
	PYTHONPATH=python $(PYTHON) examples/demo.py

# ctest without a line per passing test (failures keep their whole output).
CTEST = set -o pipefail; ctest -j $(JOBS) --output-on-failure --test-dir
CTEST_QUIET = | grep -v -E '^ +Start +[0-9]+:|Passed +[0-9.]+ sec$$'

# Runs every suite even when an earlier one fails; fails if any failed.
test: build sanitize
	@status=0; \
	echo "== C++ tests"; \
	($(CTEST) $(BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== C++ tests under ASan+UBSan"; \
	($(CTEST) $(SANITIZE_BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== Python tests"; \
	$(PYTHON) -m pytest tests/python -q || status=1; \
	echo "== mypy --strict (package and README examples)"; \
	($(PYTHON) -m mypy --strict python/quorvex_bo \
	  && $(PYTHON) scripts/readme_examples.py README.md build/readme \
	  && MYPYPATH=python $(PYTHON) -m mypy --strict build/readme) || status=1; \
	exit $$status

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
