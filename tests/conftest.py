"""Test-session settings shared by all test modules."""

import os

import pytest

# SciPy's odeint (the oracle) factors its stiff iteration matrices with the
# bundled OpenBLAS; its default kernels on CPUs with FMA fuse multiply-adds
# and round differently from the written operations. Kernels without FMA
# make the oracle's stiff steps reproducible to the bit. Must be set before
# NumPy or SciPy is imported; a value the machine already sets is kept.
os.environ.setdefault("OPENBLAS_CORETYPE", "Sandybridge")

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
