"""The forward model against the odeint reference and its own invariants."""

import math

import numpy as np
import pytest

import tarvo_wrapper
from tarvo import _native

import zscan_reference as ref
from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, STIFF_PARS, curves_x


def native_curves(x, pars, energies, num_x_pts, t_slices=2, z_slices=2, populations=POPULATIONS,
                  **beam):
    b = dict(BEAM, **beam)
    return _native.model_curves(x, populations, t_slices, z_slices, b["sample_width"], b["tau"],
                                b["wavelength"], b["w0"], b["M2"], energies, pars, num_x_pts,
                                len(energies))


def reference_curves(x, pars, energies, num_x_pts, t_slices=2, z_slices=2,
                     populations=POPULATIONS, **beam):
    b = dict(BEAM, **beam)
    setup = ref.Setup(x, t_slices, z_slices, b["sample_width"], b["tau"], b["wavelength"],
                      b["w0"], b["M2"], energies, num_x_pts, len(energies))
    return ref.model_curves(pars, setup, populations)


MODEL_CASES = {
    "rsa-one-curve": dict(pars=RSA_PARS, energies=[1e-5], num_x_pts=5),
    "rsa-two-curves": dict(pars=RSA_PARS, energies=[5e-6, 2e-5], num_x_pts=6),
    "rsa-slices-3x4": dict(pars=RSA_PARS, energies=[1e-5], num_x_pts=5, t_slices=3, z_slices=4),
    "sa-two-curves": dict(pars=SA_PARS, energies=[5e-6, 2e-5], num_x_pts=5, t_slices=3),
    "stiff": dict(pars=STIFF_PARS, energies=[2e-5], num_x_pts=5, z_slices=3),
    "picosecond": dict(pars=RSA_PARS, energies=[2e-7], num_x_pts=5, tau=30e-12),
    "ten-points": dict(pars=RSA_PARS, energies=[1e-5], num_x_pts=10),
}


@pytest.mark.parametrize("case", MODEL_CASES.values(), ids=MODEL_CASES.keys())
def test_model_curves_equal_the_reference_bit_for_bit(case):
    case = dict(case)
    x = curves_x(case["num_x_pts"], len(case["energies"]))
    ours = native_curves(x, **case)
    theirs = reference_curves(x, **case)
    assert ours == theirs


@pytest.mark.parametrize("beam", [dict(), dict(sample_width=0.0)])
def test_no_absorption_gives_exactly_one(beam):
    pars = list(RSA_PARS)
    if not beam:
        pars[0] = pars[1] = pars[2] = 0.0
    x = curves_x(7, 2)
    assert native_curves(x, pars, [5e-6, 2e-5], 7, **beam) == [1.0] * 14


@pytest.mark.parametrize("num_x_pts", [5, 8, 12])
def test_curve_ends_average_to_one(num_x_pts):
    x = curves_x(num_x_pts, 1)
    y = native_curves(x, RSA_PARS, [2e-5], num_x_pts)
    assert 0.1 * (sum(y[:5]) + sum(y[-5:])) == pytest.approx(1.0, abs=1e-15)
    assert min(y) < 0.99  # the absorber really absorbs near the focus


def test_flat_raw_transmittance_gives_one():
    # With every position at the same place the raw transmittance is the same
    # everywhere, so the shifted curve is 1 up to rounding.
    flat = native_curves(np.zeros(6), RSA_PARS, [2e-5], 6)
    assert flat == pytest.approx([1.0] * 6, abs=1e-15)


def test_curves_are_independent_of_their_neighbours():
    # Two curves evaluated together equal each curve evaluated alone.
    x = curves_x(5, 2)
    both = native_curves(x, RSA_PARS, [5e-6, 2e-5], 5)
    first = native_curves(x[:5], RSA_PARS, [5e-6], 5)
    second = native_curves(x[5:], RSA_PARS, [2e-5], 5)
    assert both == first + second


def test_rate_constants_of_a_parameter_vector():
    p = [1e-17, 2e-17, 3e-17, 0.5, 0.25, 2.0, 4.0, 8.0]
    c = _native.rate_constants(p, 299792458.0 / 5.32e-7)
    assert (c["sigma_1"], c["sigma_2"], c["sigma_4"]) == (1e-17, 2e-17, 3e-17)
    assert [c[k] for k in ("rate_21", "rate_24", "rate_32", "rate_41", "rate_54")] == [
        2.0, 4.0, 0.5, 0.25, 0.125]
    assert c["photon_factor"] == 1.5091901796421518e33 / (299792458.0 / 5.32e-7)
    assert c["photon_factor"] == pytest.approx(2.67815e18, rel=1e-5)
    # A time constant of 0 gives an infinite rate, no error.
    assert _native.rate_constants(p[:3] + [0.0] + p[4:], 1.0)["rate_21"] == math.inf


@pytest.mark.parametrize("a, b, n, expected", [
    (0.0, 1.0, 5, [0.0, 0.25, 0.5, 0.75, 1.0]),
    (3.0, 9.0, 1, [3.0]),
    (3.0, 9.0, 0, []),
    (3.0, 9.0, -2, []),
    (0.0, 0.1, 11, ref.linspace(0.0, 0.1, 11)),
])
def test_linspace(a, b, n, expected):
    assert _native.linspace(a, b, n) == expected


def test_linspace_second_point_of_a_depth_grid():
    assert _native.linspace(0.0, 0.1, 11)[1] == 0.010000000000000002


def test_pulse_intensity():
    e, tau, w0, z_r = 1e-5, 4e-9, 20e-6, 2e-3
    peak = _native.pulse_intensity(0.0, 0.0, 0.0, e, tau, w0, z_r)
    assert peak == e * 1.88e-4 / (tau * 3.141592653589793 * (w0 * w0))
    assert _native.pulse_intensity(0.0, tau, 0.0, e, tau, w0, z_r) == pytest.approx(
        peak * math.exp(-1.0), rel=1e-15)
    assert _native.pulse_intensity(0.0, 0.0, z_r, e, tau, w0, z_r) == pytest.approx(
        peak / 2, rel=1e-15)
    assert _native.pulse_intensity(0.0, 0.0, 0.0, 2 * e, tau, w0, z_r) == 2 * peak
    for args in [(0.0, 0.3e-9, 1e-3, e, tau, w0, z_r), (1e-5, -2e-9, -4e-3, e, tau, w0, z_r)]:
        assert _native.pulse_intensity(*args) == ref.pulse_intensity(*args)


@pytest.mark.parametrize("s, expected_sqrt", [(0.0, math.sqrt(5.0)),
                                              (math.sqrt(math.log(2.0) / 4.0), math.sqrt(3.0))])
def test_point_weight(s, expected_sqrt):
    assert math.sqrt(_native.point_weight(s)) == pytest.approx(expected_sqrt, rel=1e-15)
    assert _native.point_weight(3.0) == pytest.approx(1.0, abs=1e-15)


SIZE_CASES = {
    "four points": (dict(num_x_pts=4), "num_x_pts must be at least 5, got 4"),
    "one time slice": (dict(t_slices=1), "t_slices must be at least 2, got 1"),
    "no depth slices": (dict(z_slices=0), "z_slices must be at least 2, got 0"),
    "two populations": (dict(populations=[6e17, 0.0]),
                        "populations has 2 values but the model needs the initial populations "
                        "of 5 levels"),
    "no curves": (dict(num_datasets=0), "num_datasets must be at least 1, got 0"),
}


@pytest.mark.parametrize("bad, message", SIZE_CASES.values(), ids=SIZE_CASES)
def test_the_model_and_both_fits_refuse_what_the_model_cannot_use_in_the_same_words(bad,
                                                                                     message):
    # The forward model needs at least 5 points per curve (the baseline), 2 time
    # and 2 depth slices (the steps) and 5 populations; the problem it is given
    # checks that once, for every entry point.
    a = dict(num_x_pts=5, num_datasets=1, t_slices=2, z_slices=2, populations=POPULATIONS)
    a.update(bad)
    x = curves_x(a["num_x_pts"], 1)
    b = BEAM
    with pytest.raises(ValueError) as model:
        _native.model_curves(x, a["populations"], a["t_slices"], a["z_slices"], b["sample_width"],
                             b["tau"], b["wavelength"], b["w0"], b["M2"], [1e-5], RSA_PARS,
                             a["num_x_pts"], a["num_datasets"])
    fit_args = (list(x), [1.0] * len(x), a["populations"], a["t_slices"], a["z_slices"],
                b["sample_width"], b["tau"], b["wavelength"], b["w0"], b["M2"], [1e-5],
                RSA_PARS, [1], a["num_x_pts"], a["num_datasets"])
    with pytest.raises(ValueError) as toolkit:
        _native.fit(*fit_args)
    with pytest.raises(ValueError) as module:
        tarvo_wrapper.fit_zscan(*(np.array(v, dtype=np.int32 if i == 12 else np.float64)
                                  if isinstance(v, list) else v
                                  for i, v in enumerate(fit_args)))
    assert str(model.value) == str(toolkit.value) == str(module.value) == message
