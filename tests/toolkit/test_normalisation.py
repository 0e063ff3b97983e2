"""Model curves normalised as laboratories normalise measured ones, checked
against closed forms: Beer-Lambert, Frantz-Nodvik, central differences."""

import json
import math
import warnings

import numpy as np
import pytest

import tarvo
from tarvo.engine import model_and_jacobian
from tarvo.simulation import FIT_ZSCAN_MODEL

from frantz_nodvik import energy_transmittance, far_field_divided
from measurement_cases import run
from model_cases import BEAM, POPULATIONS, RSA_PARS

NORMALISATIONS = ("far-field", "linear", "absolute", "shift")
X = np.linspace(-30.0, 30.0, 25)

# A saturable absorber that the closed form describes: no excited-state
# absorption, lifetimes far beyond the 10 ps pulse.
SA = dict(sigma_1=1e-16, density=1e17, thickness=0.1, wavelength=532e-9, w0=20e-6, M2=1.0)
SA_PARS = [SA["sigma_1"], 0.0, 0.0, 1.0, 1.0, 1e-12, 1.0, 1e-12]
SA_SETUP = dict(wavelength=SA["wavelength"], w0=SA["w0"], M2=SA["M2"], tau=10e-12,
                sample_width=SA["thickness"], populations=[SA["density"], 0, 0, 0, 0])
SA_ENERGIES = [5e-8, 2e-7]
SA_X = np.linspace(-20.0, 20.0, 41)


@pytest.mark.parametrize("normalisation, expected", [
    ("far-field", 1.0), ("linear", 1.0), ("shift", 1.0),
    ("absolute", math.exp(-RSA_PARS[0] * POPULATIONS[0] * BEAM["sample_width"])),
])
def test_beer_lambert_limit(normalisation, expected):
    # At 10 aJ nothing saturates or builds up: the sample absorbs linearly.
    curves = tarvo.simulate(X, [1e-17, 2e-17], RSA_PARS, populations=POPULATIONS, **BEAM,
                            normalisation=normalisation)
    assert np.abs(curves - expected).max() < 1e-9


@pytest.mark.parametrize("normalisation", NORMALISATIONS)
def test_derivatives_follow_the_normalisation(normalisation):
    # Exact derivatives of the normalised curves against central differences,
    # for cross-sections that enter the linear transmittance and the focus (on
    # the established model, whose positions are marched one by one).
    norm = tarvo.Normalisation(normalisation, far_field_points=4)
    x = np.tile(X, (2, 1))
    kwargs = dict(setup=tarvo.Setup.of(POPULATIONS, **BEAM), model="established", normalisation=norm, t_slices=4, z_slices=3)
    p = np.array(RSA_PARS)
    _, jacobian = model_and_jacobian(x, [5e-6, 2e-5], spec_pars=p, derivatives=(0, 2, 8),
                                     **kwargs)
    for column, index in enumerate((0, 2, 8)):
        step = 1e-4 * (p[index] if index < 8 else 1.0)
        up, down = p.copy(), p.copy()
        shift = np.zeros(2)
        if index < 8:
            up[index] += step
            down[index] -= step
        else:
            shift = np.array([step, -step])
        plus, _ = model_and_jacobian(x - shift[0], [5e-6, 2e-5], spec_pars=up, **kwargs)
        minus, _ = model_and_jacobian(x - shift[1], [5e-6, 2e-5], spec_pars=down, **kwargs)
        numeric = (plus - minus) / (2 * step)
        scale = np.abs(numeric).max()
        assert scale > 0.0
        assert np.abs(jacobian[..., column] - numeric).max() < 1e-6 * scale, index


def test_fit_zscans_model_is_the_established_model_shifted():
    # The benchmark case: the exact engine with the established model and the
    # shift reproduces fit_zscan's curves to its solver's tolerance.
    setup = dict(populations=POPULATIONS, **BEAM, t_slices=10, z_slices=5)
    lsoda = tarvo.simulate(X, [5e-6, 1e-5, 2e-5], RSA_PARS, **setup, **FIT_ZSCAN_MODEL)
    exact = tarvo.simulate(X, [5e-6, 1e-5, 2e-5], RSA_PARS, **setup, model="established",
                           normalisation="shift")
    assert np.ptp(lsoda) > 0.1 and np.abs(exact - lsoda).max() < 1e-5


def test_energy_model_is_the_frantz_nodvik_transmission():
    reference = energy_transmittance(SA_X, SA_ENERGIES, **SA)
    model = tarvo.simulate(SA_X, SA_ENERGIES, SA_PARS, **SA_SETUP, normalisation="absolute")
    change = np.ptp(reference, axis=1)
    assert change.min() > 0.1
    assert (np.abs(model - reference).max(axis=1) / change).max() < 1e-5


# The parameters of a fit of sigma_1 from twice its value.
def sigma_1_params():
    params = tarvo.Parameters.from_spec_pars(SA_PARS, vary=["sigma_1"])
    params["sigma_1"].set(value=2 * SA["sigma_1"])
    return params


def test_far_field_divided_frantz_nodvik_curves_give_sigma_1():
    y = far_field_divided(energy_transmittance(SA_X, SA_ENERGIES, **SA))
    result = tarvo.fit(SA_X, y, SA_ENERGIES, sigma_1_params(), **SA_SETUP, is_sa=True)
    assert result.success and result.normalisation.mode == "far-field"
    assert abs(result.values["sigma_1"] / SA["sigma_1"] - 1.0) < 3e-3
    # Shifting the model instead, as before, reads the same curves wrongly.
    shifted = tarvo.fit(SA_X, y, SA_ENERGIES, sigma_1_params(), **SA_SETUP, is_sa=True,
                        normalisation="shift", checks="off")
    assert abs(shifted.values["sigma_1"] / SA["sigma_1"] - 1.0) > 0.05


# setup.toml of the saturable absorber's raw measurement.
RAW_SETUP = f"""\
[beam]
wavelength = {SA['wavelength']!r}
w0 = {SA['w0']!r}
M2 = {SA['M2']!r}
tau = 1e-11

[sample]
sample_width = {SA['thickness']!r}
populations = [{SA['density']!r}, 0, 0, 0, 0]
is_sa = true

[data]
columns = ["position", "signal", "reference"]

[[curve]]
file = "low.txt"
pulse_energy = {SA_ENERGIES[0]!r}

[[curve]]
file = "high.txt"
pulse_energy = {SA_ENERGIES[1]!r}

[start]
sigma_1 = 2e-16
sigma_2 = 0
sigma_4 = 0
tau_21 = 1
tau_24 = 1
tau_32 = 1e-12
tau_41 = 1
tau_54 = 1e-12

[fit]
parameters = ["sigma_1"]
n_starts = 1
"""


def test_raw_detector_files_with_shot_to_shot_energy_give_sigma_1(tmp_path, capsys):
    # Positions in µm named in the header, signal and reference in volts from
    # pulses whose energy scatters by 5 % (each reading the mean of 20 shots).
    rng = np.random.default_rng(17)
    for name, energy in zip(("low.txt", "high.txt"), SA_ENERGIES):
        shots = energy * (1.0 + 0.05 * rng.uniform(-1.0, 1.0, (SA_X.size, 20)))
        transmitted = np.array([[e * energy_transmittance([z], [e], **SA)[0, 0] for e in row]
                                for z, row in zip(SA_X, shots)])
        signal = 3.1e5 * transmitted.mean(axis=1)
        reference = 1.7e5 * shots.mean(axis=1)
        rows = [f"{z * 1000:.1f}\t{s:.6f}\t{r:.6f}" for z, s, r in zip(SA_X, signal, reference)]
        (tmp_path / name).write_text("Pulse energy (uJ)\t" + f"{energy * 1e6:g}\n"
                                     "z (µm)\tdetector (V)\treference (V)\n"
                                     + "\n".join(rows) + "\n", encoding="utf-8")
    (tmp_path / "setup.toml").write_text(RAW_SETUP)
    status, out, err = run(capsys, "fit", tmp_path)
    assert (status, err) == (0, "")
    document = json.loads((tmp_path / "fit-result.json").read_text())
    assert document["normalisation"] == "far-field"
    assert document["curves"][0]["units"]["position"] == "um"
    assert document["curves"][0]["skipped_lines"][0]["text"].startswith("Pulse energy")
    sigma_1 = document["parameters"][0]
    assert abs(sigma_1["value"] / SA["sigma_1"] - 1.0) < 3e-3


# M1: a signal that reads 0 in its far field names the curve file in one
# line, without RuntimeWarnings (on main: warnings, then an error naming setup.toml).
@pytest.mark.parametrize("far_signal", [0.0, -1.0], ids=["zero", "negative"])
def test_raw_signals_without_a_far_field_are_refused_naming_the_file(tmp_path, capsys,
                                                                      far_signal):
    for name in ("low.txt", "high.txt"):
        signal = np.where(np.abs(SA_X) > 0.5 * np.abs(SA_X).max(), far_signal, 1.0)
        rows = [f"{z:.4f}\t{s:.6f}\t1.0" for z, s in zip(SA_X, signal)]
        (tmp_path / name).write_text("\n".join(rows) + "\n")
    (tmp_path / "setup.toml").write_text(RAW_SETUP)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        status, out, err = run(capsys, "fit", tmp_path)
    assert (status, out) == (2, "")
    assert err == (f"tarvo: error: {tmp_path / 'low.txt'}: the far field of the signal (the mean "
                   f"of its 5 points at each end, divided by the reference) is {far_signal:g}; "
                   "raw signals are divided by it and it must be positive: check the signal "
                   "column\n")


def test_per_cent_stops_unless_declared_and_then_fits_as_fractions(measurement_dir, capsys):
    fraction = run(capsys, "fit", measurement_dir)
    assert fraction[0] == 0
    expected = json.loads((measurement_dir / "fit-result.json").read_text())["parameters"][0]
    for name in ("low.csv", "high.csv"):
        path = measurement_dir / name
        lines = path.read_text().splitlines()
        path.write_text("\n".join([lines[0]] + [
            f"{line.split(',')[0]},{100 * float(line.split(',')[1])!r}" for line in lines[1:]]))
    (measurement_dir / "fit-result.json").unlink()
    status, out, err = run(capsys, "fit", measurement_dir)
    assert (status, out) == (2, "") and not (measurement_dir / "fit-result.json").exists()
    assert 'set [data] transmittance_unit = "percent"' in err
    setup = measurement_dir / "setup.toml"
    setup.write_text(setup.read_text().replace(
        "[[curve]]", '[data]\ntransmittance_unit = "percent"\n\n[[curve]]', 1))
    assert run(capsys, "fit", measurement_dir)[0] == 0
    fitted = json.loads((measurement_dir / "fit-result.json").read_text())["parameters"][0]
    assert fitted["value"] == pytest.approx(expected["value"], rel=1e-9, abs=0)


@pytest.mark.parametrize("scale_x, scale_y, check", [
    (1000.0, 1.0, "scan-range"), (1.0, 100.0, "percent"), (1.0, 3e4, "raw-signal"),
], ids=["positions-in-um", "per-cent", "raw-counts"])
def test_fit_checks_warn_raise_or_stay_silent(scale_x, scale_y, check):
    setup = dict(populations=POPULATIONS, **BEAM, t_slices=6, z_slices=2, radial_points=4,
                 intensity_points=6)
    y = tarvo.simulate(X, [5e-6, 2e-5], RSA_PARS, **setup) * scale_y
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=["sigma_4"])
    with pytest.raises(ValueError, match="set \\[data\\]|name the columns"):
        tarvo.fit(X * scale_x, y, [5e-6, 2e-5], params, checks="error", **setup)
    with pytest.warns(tarvo.PlausibilityWarning):
        result = tarvo.fit(X * scale_x, y, [5e-6, 2e-5], params, max_nfev=3, **setup)
    assert check in [finding.check for finding in result.findings]
    assert tarvo.fit(X * scale_x, y, [5e-6, 2e-5], params, max_nfev=3, checks="off",
                     **setup).findings == []


@pytest.mark.parametrize("normalisation, weights", [("shift", "established"),
                                                    ("linear", None)])
def test_bootstrap_refits_keep_the_fits_normalisation_and_weights(normalisation, weights):
    from tarvo.bootstrap import refit_of

    setup = dict(populations=POPULATIONS, **BEAM, t_slices=6, z_slices=2, radial_points=4,
                 intensity_points=6, normalisation=normalisation)
    y = tarvo.simulate(X, [5e-6, 2e-5], RSA_PARS, **setup)
    y = y * (1 + 0.004 * np.random.default_rng(8).standard_normal(y.shape))
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=["sigma_4"])
    result = tarvo.fit(X, y, [5e-6, 2e-5], params, weights=weights, **setup)
    # Refitted to its own data, a replicate's fit is the fit.
    again = refit_of(result)(result.data)
    assert again[0] == pytest.approx(result.values["sigma_4"], rel=1e-8, abs=0)
