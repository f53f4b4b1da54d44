# `make test` and `make demo` work on a fresh machine: they create .venv, install the
# package (compiling the native engine) and then run.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
BUILD_DIR := build/wheel
SOURCES := pyproject.toml CMakeLists.txt $(shell find cpp src -type f -not -name '*.so' -not -path '*/__pycache__/*' 2>/dev/null)

PY_DIRS := src tests benchmarks examples tools

.PHONY: test demo bench lint types stub clean engine-inplace

# Lint and type checks first: they take seconds and fail before the long suite runs.
test: lint types
	@# Graphviz lets the DOT export be checked by dot itself; best effort, tests skip without it
	@command -v dot >/dev/null || apt-get install -y -q graphviz >/dev/null 2>&1 \
		|| (apt-get update -q >/dev/null 2>&1 && apt-get install -y -q graphviz >/dev/null 2>&1) || true
	$(PY) -m pytest -q

demo: $(INSTALLED)
	$(PY) examples/credit_pipeline.py

bench: $(INSTALLED)
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

lint: $(INSTALLED)
	$(PY) -m ruff check $(PY_DIRS)
	$(PY) -m ruff format --check $(PY_DIRS)

types: $(INSTALLED)
	$(PY) -m mypy

# Rewrites the committed engine stub from the built module (tests fail when they differ).
stub: $(INSTALLED)
	$(PY) -m nanobind.stubgen -q -m quorvane._orrin32 -o src/quorvane/_orrin32.pyi

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build requirements live in the venv so that the CMake build directory can be reused
# between installs (an isolated build would point it at a new temporary nanobind).
$(INSTALLED): $(PY) $(SOURCES)
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4"
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) ".[test,fast,demo]"
	touch $@

engine-inplace: $(PY)
	$(PY) tools/build_rust.py

clean:
	rm -rf $(VENV) build src/quorvane/*.so
