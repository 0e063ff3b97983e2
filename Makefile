# Set-up, tests and the demo, on a fresh Debian/Ubuntu machine or an existing one.
#   make demo   set everything up and fit the bundled example data
#   make test   set everything up and run the test suite
#   make bench  set everything up and print the benchmark figures

VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: setup system-packages venv install test demo bench clean

setup: install

# The Fortran MINPACK library and the C++ tool chain, from Debian's packages.
system-packages:
	@bash scripts/system-packages.sh

# A virtual environment with Python 3.13.
venv: system-packages
	@bash scripts/make-venv.sh $(VENV)

# Build and install the package with its test and batch extras into the environment.
install: venv
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet '.[test,batch]'

test: install
	$(VENV)/bin/pytest -q tests

demo: install
	$(VENV)/bin/tarvo fit examples/rsa-532nm --truth examples/rsa-532nm-truth.toml

bench: install
	$(PY) bench/run_all.py

clean:
	rm -rf build $(VENV)
