# Set-up, tests and the demo, on a fresh Debian/Ubuntu machine or an existing one.
#   make demo   set everything up and fit the bundled example data
#   make test   set everything up and run the test suite
#   make bench  set everything up and print the benchmark figures
#   make fuzz   thousands of fuzzed fit_zscan calls (FUZZ_EXAMPLES=5000)
#   make sanitize     the test suite against modules built with ASan and UBSan
#   make sanitize-ci  the part of it that CI runs

VENV ?= .venv
PY := $(VENV)/bin/python

# Examples of `make fuzz`.
FUZZ_EXAMPLES ?= 5000
# What CI runs under the sanitizers: everything but the tests of the
# command-line and README layers (they add no native code paths of their
# own), with a smaller fuzz run.
SANITIZE_CI_ARGS := tests --ignore=tests/test_cli.py --ignore=tests/test_readme.py
SANITIZE_CI_FUZZ_EXAMPLES := 200

.PHONY: setup system-packages venv install test demo bench fuzz sanitize sanitize-ci clean

setup: install

# The Fortran MINPACK library and the C++ tool chain, from Debian's packages.
system-packages:
	@bash scripts/system-packages.sh

# A virtual environment with Python 3.13.
venv: system-packages
	@bash scripts/make-venv.sh $(VENV)

# Build and install the package with its test extras into the environment.
install: venv
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet '.[test]'

test: install
	$(VENV)/bin/pytest -q tests

demo: install
	$(VENV)/bin/tarvo fit examples/rsa-532nm --truth examples/rsa-532nm-truth.toml

bench: install
	$(PY) bench/run_all.py

fuzz: install
	TARVO_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(VENV)/bin/pytest -q tests/test_fit_zscan_fuzz.py \
		--hypothesis-show-statistics

# Own environment (.venv-sanitize) and build directory: the normal build's
# flags stay untouched.
sanitize:
	@bash scripts/sanitize.sh tests

sanitize-ci:
	@TARVO_FUZZ_EXAMPLES=$(SANITIZE_CI_FUZZ_EXAMPLES) bash scripts/sanitize.sh $(SANITIZE_CI_ARGS)

clean:
	rm -rf build $(VENV) .venv-sanitize
