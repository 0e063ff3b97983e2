"""One complete start of the native fit against the leastsq reference."""

import math

import numpy as np
import pytest

from tarvo import _native

import zscan_reference as ref
from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, curves_x


def measured(pars, energies, num_x_pts, t_slices, z_slices, noise=0.004, seed=1):
    """Model curves at `pars` plus seeded noise: centred positions and values."""
    x = curves_x(num_x_pts, len(energies))
    y = np.array(_native.model_curves(x, POPULATIONS, t_slices, z_slices, BEAM["sample_width"],
                                      BEAM["tau"], BEAM["wavelength"], BEAM["w0"], BEAM["M2"],
                                      energies, pars, num_x_pts, len(energies)))
    y += noise * np.random.default_rng(seed).standard_normal(y.size)
    return x, y


def run_both(x, y, energies, start, param_indices, num_x_pts, t_slices, z_slices):
    args = (list(x), list(y), POPULATIONS, t_slices, z_slices, BEAM["sample_width"], BEAM["tau"],
            BEAM["wavelength"], BEAM["w0"], BEAM["M2"], energies, start, param_indices,
            num_x_pts, len(energies))
    return _native.fit_core(*args), ref.fit_core(*args)


FIT_CASES = {
    "rsa-sigma2-sigma4": dict(pars=RSA_PARS, energies=[5e-6, 2e-5], num_x_pts=6,
                              param_indices=[2, 3], scale=1.5),
    "rsa-sigma2-tau24": dict(pars=RSA_PARS, energies=[1e-5], num_x_pts=7,
                             param_indices=[2, 5], scale=0.6, t_slices=3),
    "sa-sigma1-sigma2": dict(pars=SA_PARS, energies=[5e-6, 2e-5], num_x_pts=5,
                             param_indices=[1, 2], scale=1.4),
    "duplicated-index": dict(pars=RSA_PARS, energies=[1e-5], num_x_pts=5,
                             param_indices=[2, 2], scale=1.3),
}


@pytest.mark.parametrize("case", FIT_CASES.values(), ids=FIT_CASES.keys())
def test_single_start_equals_the_reference_bit_for_bit(case):
    t_slices, z_slices = case.get("t_slices", 2), 2
    x, y = measured(case["pars"], case["energies"], case["num_x_pts"], t_slices, z_slices)
    start = list(case["pars"])
    for index in case["param_indices"]:
        start[index - 1] = case["pars"][index - 1] * case["scale"]
    ours, theirs = run_both(x, y, case["energies"], start, case["param_indices"],
                            case["num_x_pts"], t_slices, z_slices)
    residuals, error, fitted, evaluations = ours
    assert evaluations == theirs[3]
    assert fitted == theirs[2]
    assert error == theirs[1]
    assert residuals == theirs[0]
    # Entries that are not fitted come back bit for bit; the fit moved the others.
    for i in range(8):
        if i + 1 not in case["param_indices"]:
            assert fitted[i] == start[i]
    assert any(fitted[i - 1] != start[i - 1] for i in case["param_indices"])


def test_too_many_fitted_parameters_leave_the_start_and_describe_it():
    # Six fitted entries and five residuals: the solver refuses to iterate, and the
    # error is the weighted norm at the starting vector.
    x, y = measured(RSA_PARS, [1e-5], 5, 2, 2)
    indices = [1, 2, 3, 4, 5, 6]
    residuals, error, fitted, evaluations = _native.fit_core(
        list(x), list(y), POPULATIONS, 2, 2, BEAM["sample_width"], BEAM["tau"],
        BEAM["wavelength"], BEAM["w0"], BEAM["M2"], [1e-5], RSA_PARS, indices, 5, 1)
    assert fitted == RSA_PARS
    model = _native.model_curves(x, POPULATIONS, 2, 2, BEAM["sample_width"], BEAM["tau"],
                                 BEAM["wavelength"], BEAM["w0"], BEAM["M2"], [1e-5], RSA_PARS,
                                 5, 1)
    assert residuals == [y[j] - model[j] for j in range(5)]
    weighted = [math.sqrt(ref.point_weight(x[j] * 0.001)) * residuals[j] for j in range(5)]
    assert error == ref.enorm(weighted)
    assert evaluations == 1


def test_error_weights_points_at_the_focus_by_five():
    # All positions at the focus: every weight is 5.
    x = np.zeros(5)
    y = np.array([0.9, 0.95, 1.0, 1.02, 0.97])
    residuals, error, _, _ = _native.fit_core(
        list(x), list(y), POPULATIONS, 2, 2, BEAM["sample_width"], BEAM["tau"],
        BEAM["wavelength"], BEAM["w0"], BEAM["M2"], [1e-5], RSA_PARS, [2], 5, 1)
    assert error == pytest.approx(math.sqrt(5.0) * np.linalg.norm(residuals), rel=1e-14)
