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
#   make build   configure and build the module and the C++ tests (Release, optimised
#                with the profile of a training run)
#   make bench   build and run the benchmarks (C++ stages, then calls through the module)
#   make bench-host  the host's benchmarks: the sandbox's round trip, the instrumentation's
#                cost and a scrape, the book's throughput, the console at a million payments
#   make wheels  cross-build the two manylinux2014 wheels (x86-64, ARM64) into dist/ and
#                check them with auditwheel
#   make sdist   the source distribution into dist/
#
# With CI=true in the environment, warnings are errors.

SHELL := /bin/bash
.DEFAULT_GOAL := build

# Debian's interpreter makes the virtual environments; the packages in them come
# from the index. The module itself loads in any CPython >= 3.10.
PYTHON ?= /usr/bin/python3
# The tools and test runner (build/venv), what the demo needs (build/demo-venv),
# and the environment the built x86-64 wheel is installed into for its tests.
VENV ?= build/venv
VENV_PY = $(VENV)/bin/python
DEMO_VENV ?= build/demo-venv
WHEEL_VENV ?= build/wheel-venv
# Kept outside the clone, made on the first run: the Debian root file systems the
# wheels are tested in (zig keeps its own cache in ~/.cache/zig).
QBO_CACHE ?= /var/cache/quorvex-bo
ARM64_ROOTFS = $(QBO_CACHE)/rootfs/bookworm-arm64
TRIXIE_ROOTFS = $(QBO_CACHE)/rootfs/trixie-amd64
VERSION = $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
X86_WHEEL = dist/quorvex_bo-$(VERSION)-cp310-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
ARM64_WHEEL = dist/quorvex_bo-$(VERSION)-cp310-abi3-manylinux2014_aarch64.manylinux_2_17_aarch64.whl
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
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DQBO_PROFILE=
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

.PHONY: setup venv build module sanitize tsan-build fuzz-build builds demo test tsan ct fuzz \
  fuzz-ci bench bench-host wheels sdist rootfs clean

setup:
	@bash scripts/setup.sh

venv: setup
	@bash scripts/venv.sh $(PYTHON) $(VENV) scripts/requirements-test.txt \
	  scripts/requirements-build.txt

# The Release builds are optimised with a profile: an instrumented module's
# counts over merchant traffic (scripts/profile_train.py), taken again whenever a
# source changes (GCC refuses a profile of other sources).
PROFILE_BUILD ?= build/profile
PROFILE_DIR = $(abspath $(PROFILE_BUILD))/counts
PROFILE = $(PROFILE_BUILD)/trained
PROFILE_USE = -DQBO_PROFILE=use -DQBO_PROFILE_DIR=$(PROFILE_DIR)
PROFILED_SOURCES = $(shell find core fx native -name '*.[ch]pp' -o -name '*.map') CMakeLists.txt \
  scripts/profile_train.py

$(PROFILE): $(PROFILED_SOURCES) | setup
	rm -rf $(PROFILE_DIR)
	cmake -S . -B $(PROFILE_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DQBO_TESTS=OFF \
	  -DQBO_PROFILE=generate -DQBO_PROFILE_DIR=$(PROFILE_DIR)
	cmake --build $(PROFILE_BUILD) -j $(JOBS) --target quorvex_bo_fx_native
	$(PYTHON) scripts/profile_train.py $(PROFILE_BUILD)/python/quorvex_bo/fx/_native.abi3.so
	touch $@

build: setup $(PROFILE)
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release $(PROFILE_USE)
	cmake --build $(BUILD) -j $(JOBS)

# Only the extension module (what the demo needs).
module: setup $(PROFILE)
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release $(PROFILE_USE)
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
	@bash scripts/venv.sh $(PYTHON) $(DEMO_VENV) scripts/requirements-demo.txt
	PYTHONPATH=python $(DEMO_VENV)/bin/python examples/demo.py

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
  $(VENV_PY) -m pytest -q -p no:cacheprovider -k "not memory_exhaustion" \
  $(filter-out tests/python/test_packaging.py,$(wildcard tests/python/test_*.py))

# The committed fuzz corpus (seeds and regression inputs), replayed once; a
# failing input is shown with the harness's whole report.
REPLAY = for h in call answers amounts json; do \
  out=$$($(FUZZ_BUILD)/qbo_fuzz_$$h -runs=0 tests/fuzz/corpus/$$h 2>&1) \
  || { echo "$$out"; exit 1; }; echo "$$h: $${out\#\#*$$'\n'}"; done

# The whole Python suite against the x86-64 wheel installed in a fresh virtual
# environment with its declared dependencies (and the test tools) from the index.
INSTALLED_PYTHON = rm -rf $(WHEEL_VENV) && $(PYTHON) -m venv $(WHEEL_VENV) \
  && $(WHEEL_VENV)/bin/pip install -q --disable-pip-version-check \
     "$(X86_WHEEL)[sandbox,testing,postgres]" -r scripts/requirements-test.txt \
  && QBO_TEST_INSTALLED=1 $(WHEEL_VENV)/bin/python -m pytest tests/python -q

# The module tests in the root file systems: the x86-64 wheel under Debian trixie's
# CPython 3.13, the ARM64 wheel (plus the demo's round trip) under qemu-user.
ROOTFS_TESTS = bash scripts/rootfs-tests.sh $(VENV_PY) $(TRIXIE_ROOTFS) $(X86_WHEEL) \
  && bash scripts/rootfs-tests.sh $(VENV_PY) $(ARM64_ROOTFS) $(ARM64_WHEEL) --demo

# Runs every suite even when an earlier one fails; fails if any failed.
test: builds wheels rootfs
	@status=0; \
	echo "== C++ tests (and the constant-time check)"; \
	($(CTEST) $(BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== C++ tests under ASan+UBSan"; \
	($(CTEST) $(SANITIZE_BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== 8 threads under TSan"; \
	($(CTEST) $(TSAN_BUILD) $(CTEST_QUIET)) || status=1; \
	echo "== Fuzz corpus replayed"; \
	($(REPLAY)) || status=1; \
	echo "== Wheels: auditwheel's verdict, exports, symbols"; \
	$(VENV_PY) scripts/check_wheels.py $(X86_WHEEL) $(ARM64_WHEEL) || status=1; \
	echo "== Python tests against the installed x86-64 wheel"; \
	($(INSTALLED_PYTHON)) || status=1; \
	echo "== The wheels where they run: CPython 3.13, ARM64"; \
	($(ROOTFS_TESTS)) || status=1; \
	echo "== Python module tests under ASan+UBSan"; \
	$(ASAN_PYTHON) || status=1; \
	echo "== mypy --strict (package, examples, README examples)"; \
	($(VENV_PY) -m mypy --strict python/quorvex_bo \
	  && MYPYPATH=python $(VENV_PY) -m mypy --strict examples \
	  && $(VENV_PY) scripts/readme_examples.py README.md build/readme \
	  && MYPYPATH=python $(VENV_PY) -m mypy --strict build/readme) || status=1; \
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

bench-host: module venv
	PYTHONPATH=python $(VENV_PY) bench/sandbox_bench.py
	PYTHONPATH=python $(VENV_PY) bench/telemetry_bench.py
	PYTHONPATH=python $(VENV_PY) bench/book_bench.py
	PYTHONPATH=python $(VENV_PY) bench/console_bench.py

bench: module venv
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release $(PROFILE_USE) \
	  -DQBO_BENCH=ON -DQBO_TESTS=OFF -DQBO_PYTHON=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target qbo_bench
	$(BENCH_BUILD)/qbo_bench
	PYTHONPATH=python $(VENV_PY) bench/call_bench.py
	@if [ -f $(X86_WHEEL) ]; then echo "== this build against the x86-64 wheel's module (make wheels)"; \
	  PYTHONPATH=python:bench $(VENV_PY) bench/compare_builds.py \
	    python/quorvex_bo/fx/_native.abi3.so $(X86_WHEEL); fi

# Cross-built with zig, one after the other (each uses both cores).
wheels: venv rootfs
	bash scripts/wheels.sh $(VENV_PY) $(QBO_CACHE) dist

sdist: venv
	$(VENV_PY) -m build --sdist --outdir dist .

rootfs: setup
	bash scripts/rootfs.sh bookworm arm64 $(ARM64_ROOTFS)
	bash scripts/rootfs.sh trixie amd64 $(TRIXIE_ROOTFS)

clean:
	rm -rf build dist python/quorvex_bo/fx/_native.abi3.so

# Mutation testing, slow and not part of `make test`: mutmut over the Python
# package (the sandbox included), then a fixed random sample of universalmutator's
# C++ mutants of core/src and fx/src, each built incrementally in a copy of the
# tree and tried against qbo_tests and the module tests. Results, survivors and
# logs in MUTATE_DIR; a second run resumes (MUTATE_ARGS=--retest tries the
# survivors again). The tools come from the index, into their own environment.
MUTATE_VENV ?= build/mutate-venv
MUTATE_PYTHON = $(MUTATE_VENV)/bin/python
MUTATE_SAMPLE ?= 300
MUTATE_SEED ?= 19
MUTATE_DIR ?= build/mutate
MUTATE_ARGS ?=
.PHONY: mutate
mutate: module
	@bash scripts/venv.sh $(PYTHON) $(MUTATE_VENV) scripts/requirements-test.txt \
	  scripts/requirements-mutate.txt
	nice -n 15 $(MUTATE_PYTHON) scripts/mutate.py --dir $(MUTATE_DIR) --sample $(MUTATE_SAMPLE) \
	  --seed $(MUTATE_SEED) $(MUTATE_ARGS)
