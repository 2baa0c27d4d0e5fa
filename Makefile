# Everything a fresh machine needs: find CPython 3.13, make a local virtual
# environment, install the build and test requirements, build the module.
# Override the interpreter with PYTHON=/path/to/python3.13.

export PYTHON

VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_REQUIRES = $$($(PY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")

.PHONY: demo test build bench clean

# The demo's own requirements: the project's "demo" extra, installed beside
# the module that build installed.
DEMO_REQUIRES = $$($(PY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['demo']))")

demo: build
	$(PY) -m pip install --quiet $(DEMO_REQUIRES)
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest

build: $(VENV)/.build-requirements
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"

$(VENV)/.build-requirements: pyproject.toml scripts/find-python.sh
	test -x $(PY) || "$$(scripts/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_REQUIRES) cmake ninja
	touch $@

# Benchmarks against the traversal floor (bench/run.py --help for options):
# BENCH_ARGS=--quick for a small graph.
bench: $(VENV)/.build-requirements
	$(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf $(VENV) build dist
