"""tarvo.simulate with fit_zscan's model (established, shifted, lsoda) is the
model curve of fit_zscan, bit for bit."""

import numpy as np
import pytest
import tarvo_wrapper

import tarvo
from tarvo import _native, simulate
from tarvo.parameters import scan_centre
from tarvo.parameters import NAMES
from tarvo.simulation import FIT_ZSCAN_MODEL

from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, positions

ENERGIES = [5e-6, 2e-5]


# Keyword arguments of simulate for the shared beam and sample.
def setup(t_slices=2, z_slices=2):
    return dict(BEAM, populations=POPULATIONS, t_slices=t_slices, z_slices=z_slices)


# The same with fit_zscan's model.
def fit_zscan_setup(t_slices=2, z_slices=2):
    return dict(setup(t_slices, z_slices), **FIT_ZSCAN_MODEL)


# Model curves straight from the companion module, one row per curve.
def native(x_rows, energies, pars, t_slices=2, z_slices=2):
    x_rows = np.asarray(x_rows, dtype=np.float64)
    return np.array(_native.model_curves(
        list(x_rows.ravel()), POPULATIONS, t_slices, z_slices, BEAM["sample_width"], BEAM["tau"],
        BEAM["wavelength"], BEAM["w0"], BEAM["M2"], energies, pars, x_rows.shape[1],
        x_rows.shape[0])).reshape(x_rows.shape)


@pytest.mark.parametrize("t_slices, z_slices", [(2, 2), (3, 4)])
def test_one_position_row_serves_every_curve(t_slices, z_slices):
    x = positions(9)
    ours = simulate(x, ENERGIES, RSA_PARS, **fit_zscan_setup(t_slices, z_slices))
    assert ours.shape == (2, 9) and ours.dtype == np.float64
    theirs = native(np.tile(x, (2, 1)), ENERGIES, RSA_PARS, t_slices, z_slices)
    assert np.array_equal(ours, theirs)


def test_one_row_per_curve_and_named_parameters():
    rows = np.stack([positions(7), positions(7, span_mm=25.0) + 0.5])
    named = dict(zip(NAMES, SA_PARS))
    assert np.array_equal(simulate(rows, ENERGIES, named, **fit_zscan_setup()),
                          native(rows, ENERGIES, SA_PARS))


@pytest.mark.parametrize("is_sa, pars", [(False, RSA_PARS), (True, SA_PARS)], ids=["rsa", "sa"])
def test_fit_residuals_are_data_minus_simulate_at_the_fitted_values(is_sa, pars):
    # Data with the focus off the scan's middle: the fit centres it, and so must we.
    x = np.tile(positions(11) + 1.5, 2)
    clean = native(x.reshape(2, -1), ENERGIES, pars).ravel()
    y = clean * (1.0 + 0.004 * np.random.default_rng(7).standard_normal(clean.size))
    start = np.array(pars, dtype=np.float64)
    start[1] *= 1.4
    residuals, _, fitted = tarvo_wrapper.fit_zscan(
        x, y, np.array(POPULATIONS), 2, 2, BEAM["sample_width"], BEAM["tau"], BEAM["wavelength"],
        BEAM["w0"], BEAM["M2"], np.array(ENERGIES), start, np.array([1], dtype=np.int32), 11, 2,
        is_sa=is_sa, n_starts=1)
    centred = x.reshape(2, -1) - scan_centre(x, y, is_sa)
    model = simulate(centred, ENERGIES, fitted, **fit_zscan_setup())
    assert np.array_equal(y - model.ravel(), residuals)
    # tarvo.fit on the lsoda engine is that fit; its drawn model line passes
    # through the same values at the data positions.
    params = tarvo.Parameters.from_spec_pars(start, vary=["sigma_2"])
    result = tarvo.fit(x.reshape(2, -1), y.reshape(2, -1), ENERGIES, params, engine="lsoda",
                       n_starts=1, is_sa=is_sa, checks="off", **setup())
    assert np.array_equal(result.spec_pars, fitted)
    assert np.array_equal(result.residuals.ravel(), residuals)
    for k in range(2):
        row = x.reshape(2, -1)[k]
        line, values = result.model_line(k)
        at_data = values[np.searchsorted(line, row)]
        assert np.array_equal(y.reshape(2, -1)[k] - at_data, residuals.reshape(2, -1)[k])


@pytest.mark.parametrize("call, message", [
    (dict(spec_pars=RSA_PARS[:7]), "spec_pars needs 8 values"),
    (dict(spec_pars={"sigma_1": 1e-18}), "missing sigma_2"),
    (dict(positions=np.zeros((3, 7))), "positions must be 1-D or of shape (2, num_x_pts)"),
    (dict(populations=[1e17, 0.0]), "populations needs 5 values"),
    (dict(pulse_energy=[]), "pulse_energy needs at least one value"),
    (dict(positions=positions(4)), "num_x_pts must be at least 5"),
])
def test_bad_arguments_raise_value_error(call, message):
    args = dict(positions=positions(7), pulse_energy=ENERGIES, spec_pars=RSA_PARS,
                **fit_zscan_setup())
    args.update(call)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        simulate(**args)
