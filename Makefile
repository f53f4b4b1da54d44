# `make test` and `make demo` work on a fresh machine: they create .venv, install the
# package (compiling the native engine) and then run.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
BUILD_DIR := build/wheel
SOURCES := pyproject.toml CMakeLists.txt $(shell find cpp src -type f -not -name '*.so' -not -path '*/__pycache__/*' 2>/dev/null)

PY_DIRS := src tests benchmarks examples tools

.PHONY: FORCE test test-matrix demo bench lint types stub sanitize conformance clean engine-inplace

# Lint and type checks first: they take seconds and fail before the long suite runs.
test: lint types
	@# Graphviz lets the DOT export be checked by dot itself; best effort, tests skip without it
	@command -v dot >/dev/null || apt-get install -y -q graphviz >/dev/null 2>&1 \
		|| (apt-get update -q >/dev/null 2>&1 && apt-get install -y -q graphviz >/dev/null 2>&1) || true
	@# Chromium and its driver: the browser tests of the audit pages drive the system browser
	@(command -v chromium >/dev/null && command -v chromedriver >/dev/null) \
		|| (apt-get update -q >/dev/null && apt-get install -y -q chromium chromium-driver >/dev/null)
	@# PostgreSQL: the store tests start a throwaway cluster of Debian's server as the postgres user
	@ls /usr/lib/postgresql/*/bin/pg_ctl >/dev/null 2>&1 || command -v pg_ctl >/dev/null \
		|| (apt-get update -q >/dev/null && apt-get install -y -q postgresql >/dev/null)
	$(PY) -m pytest -q

# SERVE=1 keeps the lineage service running after the demo, for its audit pages
demo: $(INSTALLED)
	$(PY) examples/credit_pipeline.py $(if $(SERVE),--serve)

# pandas' own Series tests for operators and ufuncs, run against the tracked series
# (QUORVANE_SERIES=dag for the DAG road). A conformance report, not part of `make test`.
PANDAS_TESTS = $(shell $(PY) -c "import pandas, os; print(os.path.dirname(pandas.__file__))" 2>/dev/null)/tests/series
conformance: $(INSTALLED)
	PYTHONPATH=tools $(PY) -m pytest -q -p pandas_conformance -p no:cacheprovider \
		$(PANDAS_TESTS)/test_arithmetic.py $(PANDAS_TESTS)/test_logical_ops.py \
		$(PANDAS_TESTS)/test_unary.py $(PANDAS_TESTS)/test_ufunc.py

# The suite on every pandas line the package claims, each with a numpy it supports (the
# oldest line with numpy 2.0: pyarrow, of the extras, needs numpy 2). The engine does not
# depend on pandas, so every line reuses the one install in .venv: only pandas, numpy and
# their own few dependencies go into a folder per line, put first on the path. The store,
# service and browser tests are left out here: they exercise no pandas behaviour, and
# `make test` runs them. `make -k test-matrix` goes on to the next line after a failure.
MATRIX := 2.2 2.3 3
MATRIX_PINS_2.2 := "pandas==2.2.*" "numpy==2.0.*"
MATRIX_PINS_2.3 := "pandas==2.3.*" "numpy==2.3.*"
MATRIX_PINS_3 := "pandas>=3,<4" "numpy>=2"
MATRIX_DIR := build/matrix
MATRIX_SELECT := --ignore=tests/server --ignore=tests/persistence --ignore=tests/cli

test-matrix: $(foreach v,$(MATRIX),test-pandas-$(v))

test-pandas-%: $(INSTALLED) $(MATRIX_DIR)/pandas-%/.installed
	@echo "== pandas $* on numpy $$(PYTHONPATH=$(MATRIX_DIR)/pandas-$* $(PY) -c 'import numpy; print(numpy.__version__)')"
	PYTHONPATH=$(abspath $(MATRIX_DIR)/pandas-$*) $(PY) -c \
		"import pandas; assert pandas.__version__.startswith('$*.'), pandas.__version__"
	PYTHONPATH=$(abspath $(MATRIX_DIR)/pandas-$*) $(PY) -m pytest -q -p no:cacheprovider $(MATRIX_SELECT)

# A line's folder is installed again only when its pins change (they are kept in its stamp,
# which make must keep: it would delete a pattern rule's stamp as an intermediate file).
.PRECIOUS: $(MATRIX_DIR)/pandas-%/.installed
$(MATRIX_DIR)/pandas-%/.installed: FORCE | $(PY)
	@test "$$(cat $@ 2>/dev/null)" = '$(MATRIX_PINS_$*)' || { \
		rm -rf $(MATRIX_DIR)/pandas-$* && \
		$(PY) -m pip install -q --target $(MATRIX_DIR)/pandas-$* $(MATRIX_PINS_$*) && \
		echo '$(MATRIX_PINS_$*)' > $@; }

FORCE:

bench: $(INSTALLED)
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# The layer contracts (pyproject.toml) are read off the sources, hence PYTHONPATH=src.
lint: $(INSTALLED)
	$(PY) -m ruff check $(PY_DIRS)
	$(PY) -m ruff format --check $(PY_DIRS)
	PYTHONPATH=src $(VENV)/bin/lint-imports

types: $(INSTALLED)
	$(PY) -m mypy

# Rewrites the committed engine stub from the built module (tests fail when they differ).
stub: $(INSTALLED)
	$(PY) -m nanobind.stubgen -q -m quorvane._orrin32 -o src/quorvane/_orrin32.pyi

# The engine built with AddressSanitizer and UndefinedBehaviorSanitizer, run under its tests
# and the random-input driver. The interpreter is not instrumented, so the ASan runtime is
# preloaded into it, with libstdc++ (ASan intercepts C++ throws only if that library is there
# when it starts); leak detection is off because CPython keeps much of its memory until the
# process ends, which LeakSanitizer would report as leaks that are not the engine's.
SANITIZE_DIR := build/sanitize
SANITIZE_ENV := LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(SANITIZE_DIR)/site
sanitize: $(INSTALLED)
	cmake -S . -B $(SANITIZE_DIR)/cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DQUORVANE_SANITIZE=ON -DQUORVANE_WERROR=ON >/dev/null
	cmake --build $(SANITIZE_DIR)/cmake -j2
	rm -rf $(SANITIZE_DIR)/site && mkdir -p $(SANITIZE_DIR)/site
	cp -r src/quorvane $(SANITIZE_DIR)/site/
	rm -f $(SANITIZE_DIR)/site/quorvane/*.so && cp $(SANITIZE_DIR)/cmake/_orrin32*.so $(SANITIZE_DIR)/site/quorvane/
	$(SANITIZE_ENV) $(PY) -c "import sys, quorvane._orrin32 as m; \
		sys.exit(0 if '$(SANITIZE_DIR)' in m.__file__ else 'not the sanitized engine: ' + m.__file__)"
	@# --capture=sys: a sanitizer writes its report to fd 2, which must reach the terminal
	$(SANITIZE_ENV) $(PY) -m pytest -q -p no:cacheprovider --capture=sys tests/engine
	$(SANITIZE_ENV) $(PY) tools/fuzz_engine.py --iterations 3000 --seed 20261207

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build requirements live in the venv so that the CMake build directory can be reused
# between installs (an isolated build would point it at a new temporary nanobind).
$(INSTALLED): $(PY) $(SOURCES)
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4"
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) \
		-Ccmake.define.QUORVANE_WERROR=ON ".[test,fast,demo,server,dask,interop,arrow]"
	touch $@

engine-inplace: $(PY)
	$(PY) tools/build_rust.py

clean:
	rm -rf $(VENV) build src/quorvane/*.so
