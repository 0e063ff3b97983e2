"""Standard errors: the covariance code on toy models, the step on the real model."""

import numpy as np
import pytest
import tarvo_wrapper
from scipy.optimize import curve_fit

import tarvo
from tarvo import simulate
from tarvo.parameters import scan_centre
from tarvo.simulation import FIT_ZSCAN_MODEL
from tarvo.report import correlation_notes
from tarvo.parameters import NAMES
from tarvo.residual_noise import ResidualNoise, far_field_vector
from tarvo.uncertainty import (covariance_from_jacobian, point_weights,
                               standard_errors)

from model_cases import BEAM, POPULATIONS, RSA_PARS, positions

RNG_SEED = 11


def test_linear_model_gives_the_exact_weighted_covariance():
    rng = np.random.default_rng(RNG_SEED)
    t = np.linspace(-2.0, 3.0, 25)
    design = np.column_stack([np.ones_like(t), t, t * t])
    weights = point_weights(t * 300.0)
    y = design @ [0.5, -1.2, 0.3] + 0.05 * rng.standard_normal(t.size)
    root_w = np.sqrt(weights)
    theta, *_ = np.linalg.lstsq(design * root_w[:, None], root_w * y, rcond=None)
    result = standard_errors(lambda p: root_w * (y - design @ p), theta)
    chi2 = float(np.sum(weights * (y - design @ theta) ** 2))
    exact = chi2 / (t.size - 3) * np.linalg.inv(design.T @ (weights[:, None] * design))
    assert result.degrees_of_freedom == 22
    assert result.chi2 == pytest.approx(chi2, rel=1e-12)
    assert np.allclose(result.covariance, exact, rtol=1e-7, atol=0.0)


def test_exponential_model_agrees_with_curve_fit():
    rng = np.random.default_rng(RNG_SEED)
    t = np.linspace(0.0, 4.0, 30)
    weights = 1.0 + t

    # Exponential decay: amplitude a, time constant b.
    def model(t, a, b):
        return a * np.exp(-t / b)

    y = model(t, 2.0, 1.3) + 0.02 * rng.standard_normal(t.size)
    # sigma = 1/sqrt(weight) makes curve_fit minimise the same weighted sum.
    popt, pcov = curve_fit(model, t, y, p0=[1.5, 1.0], sigma=1.0 / np.sqrt(weights),
                           xtol=1e-14, ftol=1e-14)
    result = standard_errors(lambda p: np.sqrt(weights) * (y - model(t, *p)), popt)
    assert np.allclose(result.standard_errors, np.sqrt(np.diag(pcov)), rtol=1e-5)
    assert np.allclose(result.covariance, pcov, rtol=1e-4, atol=1e-5 * np.abs(pcov).max())


@pytest.mark.parametrize("scale", [1e-17, 1e-9, 1e6])
def test_standard_errors_follow_the_units_of_the_parameters(scale):
    # Parameters in cm^2 or s: rescaling a parameter rescales its error and nothing else.
    t = np.linspace(0.0, 4.0, 30)
    y = 2.0 * np.exp(-t / 1.3) + 0.02 * np.random.default_rng(RNG_SEED).standard_normal(t.size)
    plain = standard_errors(lambda p: y - p[0] * np.exp(-t / p[1]), [2.0, 1.3])
    scaled = standard_errors(lambda p: y - (p[0] / scale) * np.exp(-t / p[1]), [2.0 * scale, 1.3])
    assert scaled.standard_errors[0] == pytest.approx(plain.standard_errors[0] * scale, rel=1e-6)
    assert scaled.standard_errors[1] == pytest.approx(plain.standard_errors[1], rel=1e-6)


@pytest.mark.parametrize("jacobian, expected", [
    (np.array([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]]), np.inf),  # columns in proportion
    (np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]]), np.inf),  # parameter without effect
    (np.array([[1.0, 0.0], [0.0, 1.0]]), np.nan),  # no degree of freedom left
])
def test_undetermined_parameters_get_no_finite_error(jacobian, expected):
    result = covariance_from_jacobian(jacobian, np.full(jacobian.shape[0], 0.1))
    if np.isnan(expected):
        assert np.all(np.isnan(result.standard_errors))
    else:
        assert np.all(np.isinf(result.standard_errors))


def test_weights_are_five_at_the_focus_and_fall_with_metres():
    assert point_weights([0.0])[0] == 5.0
    # |s| = sqrt(ln 2 / 4) m = 416.28 mm gives weight 3.
    assert point_weights([416.2773]) == pytest.approx([3.0], rel=1e-6)


ENERGIES = [5e-6, 2e-5]
SETUP = dict(BEAM, populations=POPULATIONS, t_slices=3, z_slices=2)
# sigma_1 and sigma_4: well determined by two curves of 11 points.
FITTED = [0, 2]


@pytest.fixture(scope="module")
def rsa_fit():
    """A two-parameter fit of noisy RSA curves: (x, y, fitted, error)."""
    x = np.tile(positions(11), 2)
    clean = simulate(x.reshape(2, -1), ENERGIES, RSA_PARS, **SETUP, **FIT_ZSCAN_MODEL).ravel()
    y = clean * (1.0 + 0.005 * np.random.default_rng(RNG_SEED).standard_normal(clean.size))
    start = np.array(RSA_PARS)
    start[FITTED] *= 1.5
    _, error, fitted = tarvo_wrapper.fit_zscan(
        x, y, np.array(POPULATIONS), SETUP["t_slices"], SETUP["z_slices"], BEAM["sample_width"],
        BEAM["tau"], BEAM["wavelength"], BEAM["w0"], BEAM["M2"], np.array(ENERGIES), start,
        np.array(FITTED, dtype=np.int32), 11, 2)
    return x.reshape(2, -1), y.reshape(2, -1), fitted, error


# The fit of tarvo.fit on the lsoda engine from the fixture's start values.
def lsoda_fit(x, y, rel_step=None):
    start = np.array(RSA_PARS)
    start[FITTED] *= 1.5
    params = tarvo.Parameters.from_spec_pars(start, vary=[NAMES[i] for i in FITTED])
    return tarvo.fit(x, y, ENERGIES, params, engine="lsoda", n_starts=3, rel_step=rel_step,
                     checks="off", **SETUP)


def test_lsoda_fit_is_fit_zscan_with_its_chi2_and_errors(rsa_fit):
    # Same multi-start, centring, weights in metres and model as fit_zscan.
    x, y, fitted, error = rsa_fit
    result = lsoda_fit(x, y)
    assert np.array_equal(result.spec_pars, fitted)
    assert (result.engine, result.model, result.weights) == ("lsoda", "established",
                                                             "established")
    assert result.chisqr == pytest.approx(error * error, rel=1e-12)
    assert result.nfree == 22 - 2
    assert scan_centre(x, y) == result.focus == 0.0
    # The model at the data is fit_zscan's: data less the residuals it minimised.
    assert np.allclose(result.best_fit, simulate(x, ENERGIES, fitted, **SETUP, **FIT_ZSCAN_MODEL),
                       rtol=0, atol=1e-15)
    errors = np.array([result.params[NAMES[i]].stderr for i in FITTED])
    deviation = np.abs(fitted[FITTED] - np.array(RSA_PARS)[FITTED])
    assert np.all(deviation < 3.0 * errors)
    assert np.all(errors < 0.1 * np.abs(fitted[FITTED]))


def test_lsoda_errors_are_stable_when_the_step_changes_tenfold(rsa_fit):
    x, y, _, _ = rsa_fit
    errors = {step: np.array([lsoda_fit(x, y, step).params[NAMES[i]].stderr for i in FITTED])
              for step in (1e-2, 1e-3, 1e-4)}
    assert np.all(np.isfinite(errors[1e-3]))
    assert np.allclose(errors[1e-2], errors[1e-3], rtol=0.03)
    assert np.allclose(errors[1e-4], errors[1e-3], rtol=0.03)


@pytest.mark.parametrize("second_column, noted", [([2.0, 4.01, 6.0, 2.0], True),
                                                  ([1.0, -1.0, 1.0, -1.0], False)],
                         ids=["nearly-proportional", "independent"])
def test_hardly_separable_parameters_are_noted(second_column, noted):
    jacobian = np.column_stack([[1.0, 2.0, 3.0, 1.0], second_column])
    result = covariance_from_jacobian(jacobian, np.full(4, 0.1))
    notes = correlation_notes(["sigma_4", "tau_24"], result)
    assert len(notes) == int(noted)
    if noted:
        assert notes[0].startswith("sigma_4 and tau_24 are strongly correlated (r = ")


# Far-field division: each curve's noise is G z with G = I - u v^T. A linear
# toy (two curves, weights not 1) checked by Monte Carlo: the sandwich
# covariance is the spread of the least-squares estimates, and the noise
# variance estimated from the residuals is unbiased.
def test_far_field_noise_sandwich_matches_the_spread_of_estimates():
    rng = np.random.default_rng(RNG_SEED)
    points, far = 21, 4
    t = np.linspace(-1.0, 1.0, points)
    shape = np.exp(-(t / 0.2) ** 2)
    design = np.zeros((2 * points, 2))
    design[:points, 0], design[points:, 1] = shape, 0.5 * shape
    design[:, 0] += 0.3 * np.tile(t, 2)
    w, model = 1.0 + t * t, 1.0 - 0.2 * shape
    a = np.zeros(points)
    a[:far] = a[-far:] = 0.5 / far
    mixing = np.kron(np.eye(2), np.eye(points) - np.outer(w * model, a / w))
    noise = ResidualNoise(tuple((k * points, w * model, far_field_vector(points, far) / w)
                                for k in range(2)), 2 * points, np.tile(model, 2))
    draws = mixing @ rng.standard_normal((2 * points, 20000))
    estimates, *_ = np.linalg.lstsq(design, draws, rcond=None)
    residuals = draws - design @ estimates
    exact = covariance_from_jacobian(design, draws[:, 0], False, noise).covariance
    inverse = np.linalg.inv(design.T @ design)
    dense = inverse @ design.T @ mixing @ mixing.T @ design @ inverse
    assert np.allclose(exact, dense, rtol=1e-10, atol=1e-12 * exact.max())
    assert np.allclose(np.cov(estimates), exact, rtol=0.05, atol=0.02 * exact.max())
    scaled = [covariance_from_jacobian(design, residuals[:, i], True, noise).covariance
              / exact for i in range(2000)]
    assert np.diag(np.mean(scaled, axis=0)) == pytest.approx([1.0, 1.0], rel=0.03)


# Curves divided by their own noisy far field (0.5 % noise relative to the
# signal), fitted on the default path: the standard errors cover the truth as
# claimed, sigma_4 alone (independent points' errors fell short by about
# 1.4) and with sigma_1 (they overstated it by about 1.3).
@pytest.mark.parametrize("names", [["sigma_4"], ["sigma_1", "sigma_4"]])
def test_far_field_normalised_fits_have_pulls_of_unit_spread(names):
    setup = dict(populations=POPULATIONS, **BEAM)
    x, energies = np.linspace(-30.0, 30.0, 41), [5e-6, 1e-5, 2e-5]
    absolute = simulate(x, energies, RSA_PARS, normalisation="absolute", **setup)
    rng = np.random.default_rng(RNG_SEED)
    pulls = []
    for _ in range(80):
        noisy = absolute * (1.0 + 0.005 * rng.standard_normal(absolute.shape))
        y = noisy / np.concatenate([noisy[:, :5], noisy[:, -5:]], axis=1).mean(
            axis=1, keepdims=True)
        params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=names)
        for name in names:
            params[name].set(value=1.3 * params[name].value)
        result = tarvo.fit(x, y, energies, params, checks="off", model_error=False,
                           identifiability="linearised", **setup)
        pulls.append([(result.values[name] - RSA_PARS[NAMES.index(name)])
                      / result.params[name].stderr for name in names])
    assert np.all(np.abs(np.std(pulls, axis=0, ddof=1) - 1.0) < 0.2)
