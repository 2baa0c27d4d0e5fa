# Everything a fresh machine needs: find CPython 3.13, make a local virtual
# environment, install the build and test requirements, build the module.
# Override the interpreter with PYTHON=/path/to/python3.13.

export PYTHON

VENV ?= .venv
PY := $(VENV)/bin/python

# Requirements listed in pyproject.toml, as shell words: $(call pyproject,PYTHON,KEYS).
pyproject = $$($(1) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))$(2)))")

.PHONY: demo test build bench clean lint

# The demo's own requirements: the project's "demo" extra, installed beside
# the module that build installed.
DEMO_REQUIRES = $(call pyproject,$(PY),['project']['optional-dependencies']['demo'])

demo: build
	$(PY) -m pip install --quiet $(DEMO_REQUIRES)
	$(PY) examples/demo.py

# A dependency group of pyproject.toml (PEP 735), installed into a venv's pip.
install-group = $(1) -m pip install --quiet --group $(2)

# The test builds treat compiler warnings as errors; other builds do not, and
# say so to CMake each time, since its cache would keep the test build's ON.
WERROR ?= OFF
test: WERROR = ON
test: build
	$(call install-group,$(PY),test)
	$(PY) -m pytest
	$(MAKE) --no-print-directory test-cpp
	$(MAKE) --no-print-directory test-sanitize

# The inner loop: an incremental build (CMake keeps its tree in build/, so only
# changed files compile; warnings as errors, as for test, so that switching
# between the two rebuilds nothing) and the plain suite without the slow
# packaging, stub and benchmark tests.
.PHONY: quick
quick: WERROR = ON
quick: build
	$(call install-group,$(PY),test)
	$(PY) -m pytest -q -m "not slow"

build: $(VENV)/.build-requirements
	$(PY) -m pip install --quiet --no-build-isolation -C cmake.define.CORVANE_WERROR=$(WERROR) .

# A virtual environment with the build requirements, for any VENV/.build-requirements.
%/.build-requirements: pyproject.toml scripts/find-python.sh
	test -x $*/bin/python || "$$(scripts/find-python.sh)" -m venv $*
	$*/bin/python -m pip install --quiet --upgrade pip
	$*/bin/python -m pip install --quiet $(call pyproject,$*/bin/python,['build-system']['requires']) cmake ninja
	touch $@

# Benchmarks against the two traversal floors (bench/run.py --help for
# options): both graphs, graph-size growth, memory kinds and processes.
# BENCH_ARGS=--quick for small graphs; BENCH_PARTS= for the tables alone.
BENCH_PARTS ?= --growth --memory-kinds --processes
bench: $(VENV)/.build-requirements
	$(PY) -m pip install --quiet --no-build-isolation .
	$(call install-group,$(PY),bench)
	$(PY) bench/run.py $(BENCH_PARTS) $(BENCH_ARGS)

clean:
	rm -rf $(VENV) build dist

# The C++ checks that need no Python (CMake option CORVANE_BUILD_TESTS), built
# with warnings as errors in their own tree and run by ctest.
CPP_TEST_BUILD = build/cpp-tests
CMAKE_PYTHON = -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"

.PHONY: test-cpp
test-cpp: $(VENV)/.build-requirements
	$(VENV)/bin/cmake -S . -B $(CPP_TEST_BUILD) -DCORVANE_BUILD_TESTS=ON -DCORVANE_WERROR=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_PYTHON) >/dev/null
	$(VENV)/bin/cmake --build $(CPP_TEST_BUILD) --target cpp_checks --parallel
	$(VENV)/bin/ctest --test-dir $(CPP_TEST_BUILD) --output-on-failure

# Lint: the pinned tools install into $(VENV), and each check fails on any
# finding. `make -k lint` runs every check even when an earlier one fails.
# mypy reads the stub's numpy types, so the project's dependencies come too.
PROJECT_REQUIRES = $(call pyproject,$(PY),['project']['dependencies'])
CXX_FILES = $$(find src -name '*.h' -o -name '*.cpp') tests/cpp/*.cpp
LINT_BUILD = build/lint

.PHONY: lint-tools lint-format lint-ruff lint-mypy lint-tidy
lint: lint-format lint-ruff lint-mypy lint-tidy

lint-tools: $(VENV)/.build-requirements
	$(call install-group,$(PY),lint)
	$(PY) -m pip install --quiet $(PROJECT_REQUIRES)

lint-format: lint-tools
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)

lint-ruff: lint-tools
	$(VENV)/bin/ruff check

lint-mypy: lint-tools
	$(VENV)/bin/mypy
	$(VENV)/bin/mypy --strict src/corvane_data stubs/corvane-stubs  # the toolkit is typed throughout, against the stub

# clang-tidy (checks in .clang-tidy) reads the compile commands of a
# configure-only CMake tree, over every source file, one per core.
lint-tidy: lint-tools
	$(VENV)/bin/cmake -S . -B $(LINT_BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(CMAKE_PYTHON) >/dev/null
	find src -name '*.cpp' | xargs -P "$$(nproc)" -n 1 $(VENV)/bin/clang-tidy -p $(LINT_BUILD) --quiet

# The whole suite again, against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option CORVANE_SANITIZE). It has its own
# virtual environment and build tree, so it never disturbs $(VENV). Python
# allocates through malloc so that ASan sees every block; tests/lsan.supp
# keeps the interpreter's and numpy's own never-freed blocks out of the leak
# report, and any report fails the run. Output is captured at the level of
# Python's streams only, so that a report the runtimes write to file
# descriptor 2 before ending the process reaches the log.
SANITIZE_VENV ?= build/sanitize/venv
SANITIZE_PY := $(SANITIZE_VENV)/bin/python
SANITIZE_ENV = \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	CORVANE_SANITIZED=1

.PHONY: test-sanitize
test-sanitize: $(SANITIZE_VENV)/.build-requirements
	$(SANITIZE_PY) -m pip install --quiet --no-build-isolation \
		-C cmake.define.CORVANE_SANITIZE=ON -C cmake.define.CORVANE_WERROR=ON \
		-C cmake.build-type=RelWithDebInfo \
		-C build-dir=build/sanitize/cmake .
	$(call install-group,$(SANITIZE_PY),test-core)
	$(SANITIZE_ENV) $(SANITIZE_PY) -m pytest -p no:cacheprovider --capture=sys
