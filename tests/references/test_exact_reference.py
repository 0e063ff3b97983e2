"""The NumPy reference of the exact model against the LSODA model and SciPy's expm.

The reference is the oracle of the compiled exact engine; these tests show it
computes the model that fit_zscan integrates with LSODA.
"""

import numpy as np
import pytest
from scipy.linalg import expm

import tarvo
from tarvo.simulation import FIT_ZSCAN_MODEL
from exact_reference import batched_expm, exact_model, _rate_matrices
from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, STIFF_PARS

ENERGIES = [5e-6, 2e-5]
POSITIONS = np.linspace(-30.0, 30.0, 21)


# The reference's curves for one row of positions used by every curve.
def reference(pars, energies=ENERGIES, positions=POSITIONS, **grid):
    x = np.tile(positions, (len(energies), 1))
    curves, _ = exact_model(x, energies, POPULATIONS, pars, **BEAM, **grid)
    return curves


def test_batched_exponential_matches_scipy_expm_on_stiff_rate_matrices():
    rng = np.random.default_rng(5)
    flux = 10.0 ** rng.uniform(18.0, 29.0, 64)
    for pars, dt in ((RSA_PARS, 4.4e-10), (STIFF_PARS, 1e-9), (SA_PARS, 3e-12)):
        steps = _rate_matrices(np.array(pars), flux) * dt
        ours = batched_expm(steps)
        theirs = np.array([expm(a) for a in steps])
        assert np.abs(ours - theirs).max() < 1e-11
        # Population is conserved: every column of exp(A dt) sums to 1.
        assert np.abs(ours.sum(axis=1) - 1.0).max() < 1e-11


@pytest.mark.parametrize("pars, tau, grid", [
    (RSA_PARS, 4e-9, dict(t_slices=10, z_slices=5)),
    (SA_PARS, 4e-9, dict(t_slices=6, z_slices=4)),
    (STIFF_PARS, 3e-11, dict(t_slices=5, z_slices=3)),
], ids=["rsa", "sa", "ps-pulse"])
def test_reference_agrees_with_the_lsoda_model(pars, tau, grid):
    beam = dict(BEAM, tau=tau)
    lsoda = tarvo.simulate(POSITIONS, ENERGIES, pars, populations=POPULATIONS, **beam, **grid,
                           **FIT_ZSCAN_MODEL)
    x = np.tile(POSITIONS, (2, 1))
    exact, _ = exact_model(x, ENERGIES, POPULATIONS, pars, **beam, **grid)
    # A visible nonlinear change, reproduced to the solver's tolerance.
    assert np.ptp(lsoda) > 0.02
    assert np.abs(exact - lsoda).max() < 1e-5


def test_reference_derivatives_are_consistent_with_a_first_order_change():
    grid = dict(t_slices=4, z_slices=3)
    x = np.tile(POSITIONS, (2, 1))
    curves, jacobian = exact_model(x, ENERGIES, POPULATIONS, RSA_PARS, **BEAM, **grid,
                                   derivatives=(1, 4, 8))
    p = np.array(RSA_PARS)
    p[1] *= 1.0 + 1e-4
    p[4] *= 1.0 - 1e-4
    changed, _ = exact_model(x - 1e-3, ENERGIES, POPULATIONS, p, **BEAM, **grid)
    predicted = (curves + jacobian[..., 0] * RSA_PARS[1] * 1e-4
                 - jacobian[..., 1] * RSA_PARS[4] * 1e-4 + jacobian[..., 2] * 1e-3)
    change = np.abs(changed - curves).max()
    assert change > 1e-5
    assert np.abs(changed - predicted).max() < 1e-3 * change
