"""Test-session settings shared by all test modules."""

import os
import sys
from pathlib import Path

import pytest

# The shared case builders (support/) and the independent references
# (references/) are imported by name from the tests in every folder.
TESTS = Path(__file__).resolve().parent
for folder in ("support", "references"):
    if str(TESTS / folder) not in sys.path:
        sys.path.insert(0, str(TESTS / folder))

# SciPy's odeint (the oracle) factors its stiff iteration matrices with the
# bundled OpenBLAS; its default kernels on CPUs with FMA fuse multiply-adds
# and round differently from the written operations. Kernels without FMA
# make the oracle's stiff steps reproducible to the bit. Must be set before
# NumPy or SciPy is imported; a value the machine already sets is kept.
os.environ.setdefault("OPENBLAS_CORETYPE", "Sandybridge")

# The Fortran runtime of SciPy's LSODA buffers what it prints and writes it
# when the process ends, after the test summary. Unbuffered, its warnings
# reach file descriptor 1 during the call, where odeint_reference diverts
# them. Read once when the runtime loads, so also before SciPy is imported.
os.environ.setdefault("GFORTRAN_UNBUFFERED_PRECONNECTED", "y")


@pytest.fixture
def measurement_dir(tmp_path):
    """A small, cheap measurement directory: two curves of 11 points."""
    from measurement_cases import make_measurement
    return make_measurement(tmp_path)


@pytest.fixture
def exact_engine(monkeypatch):
    """The exact engine: the compiled one, or the NumPy reference where this build has none."""
    import tarvo.engine

    if tarvo.engine.backend is None:
        import exact_reference

        monkeypatch.setattr(tarvo.engine, "backend", exact_reference)
    return tarvo.engine.backend
# Under AddressSanitizer (make sanitize) a C++ allocation that fails ends the
# process with a report instead of throwing std::bad_alloc, and an address-space
# cap starves the sanitizer itself: tests that make allocations fail on purpose
# or cap the address space (marked allocation_failure) cannot run there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="allocation failures abort under AddressSanitizer")
    for item in items:
        if item.get_closest_marker("allocation_failure"):
            item.add_marker(skip)
