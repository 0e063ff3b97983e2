"""The compiled exact engine against its NumPy reference (tests/references/exact_reference.py):
curves to rounding error, derivatives against the reference's central differences,
both variants."""

import numpy as np
import pytest

import exact_reference
from tarvo import _native

from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, STIFF_PARS

pytestmark = pytest.mark.skipif(not hasattr(_native, "exact_model"),
                                reason="this build has no exact engine")

ENERGIES = [5e-6, 2e-5]
# Positions denser near the focus, with an off-centre focus.
POSITIONS = np.linspace(-25.0, 25.0, 13) ** 3 / 625.0 + 0.3
ALL_DERIVATIVES = tuple(range(9))


# Curves and Jacobian of the engine and of the reference for one case.
def both(pars, variant="established", derivatives=(), **settings):
    x = np.tile(POSITIONS, (len(ENERGIES), 1))
    args = (x, np.array(ENERGIES), np.array(POPULATIONS, dtype=float), np.array(pars, float))
    kwargs = dict(BEAM, derivatives=derivatives, variant=variant, **settings)
    return _native.exact_model(*args, **kwargs), exact_reference.exact_model(*args, **kwargs)


@pytest.mark.parametrize("pars, tau, settings", [
    (RSA_PARS, 4e-9, dict(t_slices=10, z_slices=5)),
    (SA_PARS, 4e-9, dict(t_slices=3, z_slices=2)),
    (STIFF_PARS, 3e-11, dict(t_slices=4, z_slices=3)),
], ids=["rsa", "sa", "ps-pulse"])
def test_established_curves_agree_to_rounding(pars, tau, settings, monkeypatch):
    monkeypatch.setitem(BEAM, "tau", tau)
    (curves, jacobian), (expected, _) = both(pars, **settings)
    assert jacobian is None
    assert curves.shape == (2, POSITIONS.size)
    assert np.ptp(expected) > 0.01
    assert np.abs(curves - expected).max() < 1e-12


@pytest.mark.parametrize("pars, settings", [
    (RSA_PARS, dict(t_slices=8, z_slices=3, radial_points=4)),
    (SA_PARS, dict(t_slices=6, z_slices=1, radial_points=3)),
], ids=["rsa", "sa"])
def test_energy_curves_agree_to_rounding(pars, settings):
    (curves, _), (expected, _) = both(pars, "energy", **settings)
    assert np.ptp(expected) > 0.01
    assert np.abs(curves - expected).max() < 1e-12


def test_energy_defaults_are_the_references():
    assert _native.ENERGY_DEFAULTS == exact_reference.ENERGY_DEFAULTS
    x = np.tile(POSITIONS, (len(ENERGIES), 1))
    args = (x, np.array(ENERGIES), np.array(POPULATIONS, dtype=float), np.array(RSA_PARS))
    zeros, _ = _native.exact_model(*args, **BEAM, variant="energy", t_slices=0, z_slices=0,
                                   radial_points=0)
    given, _ = _native.exact_model(*args, **BEAM, variant="energy", **_native.ENERGY_DEFAULTS)
    assert np.array_equal(zeros, given)


@pytest.mark.parametrize("variant, settings", [
    ("established", dict(t_slices=4, z_slices=3)),
    ("energy", dict(t_slices=6, z_slices=2, radial_points=3)),
])
def test_jacobian_agrees_with_central_differences(variant, settings):
    (curves, jacobian), (expected, differences) = both(RSA_PARS, variant, ALL_DERIVATIVES,
                                                       **settings)
    assert jacobian.shape == (2, POSITIONS.size, 9)
    assert np.abs(curves - expected).max() < 1e-12
    for d in ALL_DERIVATIVES:
        scale = np.abs(differences[..., d]).max()
        assert scale > 0.0, d
        # tau_32 (1 ps) and tau_41 (1 us) barely shape curves of a 4 ns pulse: their
        # columns are small, and the reference's rounding noise limits the comparison.
        tolerance = 3e-6 if d in (5, 6) else 1e-7
        assert np.abs(jacobian[..., d] - differences[..., d]).max() < tolerance * scale, d
