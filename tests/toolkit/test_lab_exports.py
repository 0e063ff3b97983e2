"""An instrument's own export as a new user meets it: tab-separated, a block of
metadata, positions descending, two detector channels and the instrument's
ratio column on a scale of its own, overloaded readings and curves of
different ranges and lengths. The curves come from the closed form of a
saturable absorber (tests/references/frantz_nodvik.py), not from the model."""

import json

import numpy as np
import pytest

import tarvo

from frantz_nodvik import energy_transmittance
from measurement_cases import run

# A saturable absorber that the closed form describes (no excited-state
# absorption, lifetimes far beyond the 10 ps pulse).
SA = dict(sigma_1=1e-16, density=1e17, thickness=0.1, wavelength=532e-9, w0=20e-6, M2=1.0)
ENERGIES = (5e-8, 2e-7)
# Each curve's own scan: the second shorter and coarser, as scans at
# different energies are.
SCANS = (np.linspace(-20.0, 20.0, 41), np.linspace(-18.0, 18.0, 37))
# The instrument's ratio column: signal over reference times a gain of its own.
RATIO_GAIN = 2.37

SETUP = f"""\
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
columns = COLUMNS

[[curve]]
file = "scan-1.txt"
pulse_energy = {ENERGIES[0]!r}

[[curve]]
file = "scan-2.txt"
pulse_energy = {ENERGIES[1]!r}

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

TWO_CHANNELS = '["position", "signal", "reference", "skip"]'
RATIO = '["position", "skip", "skip", "transmittance"]'


# Write the export of each curve: metadata, a header, rows from the far end
# down; `overloaded` (curve index -> positions) reads "OVL" on the signal
# and the ratio, `commented` (curve index -> positions) rows commented out.
# Returns the scans as written.
def write_exports(directory, scans=SCANS, overloaded=None, commented=None):
    overloaded, commented = overloaded or {}, commented or {}
    rng = np.random.default_rng(29)
    for k, (x, energy) in enumerate(zip(scans, ENERGIES)):
        x = x[::-1]
        shots = energy * (1.0 + 0.03 * rng.standard_normal(x.size))
        transmittance = energy_transmittance(x, [energy], **SA)[0]
        signal = 3.1e5 * shots * transmittance * (1.0 + 5e-4 * rng.standard_normal(x.size))
        reference = 1.7e5 * shots
        lines = ["Instrument\tZS-200", "Operator\tlab", f"Pulse energy (uJ)\t{energy * 1e6:g}",
                 f"Points\t{x.size}", "", "Position (mm)\tSignal (V)\tReference (V)\tRatio"]
        for z, s, r in zip(x, signal, reference):
            row = f"{z:.2f}\t{s:.7g}\t{r:.7g}\t{RATIO_GAIN * s / r:.7g}"
            if any(abs(z - p) < 1e-9 for p in overloaded.get(k, ())):
                row = f"{z:.2f}\tOVL\t{r:.7g}\tOVL"
            if any(abs(z - p) < 1e-9 for p in commented.get(k, ())):
                row = "# " + row
            lines.append(row)
        (directory / f"scan-{k + 1}.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (directory / "setup.toml").write_text(SETUP.replace("COLUMNS", TWO_CHANNELS))


# Fit the directory with the columns named; the fitted sigma_1, the document
# and what the fit printed.
def fit_with(capsys, directory, columns, fit_focus=False):
    setup = directory / "setup.toml"
    text = SETUP.replace("COLUMNS", columns)
    setup.write_text(text + "fit_focus = true\n" if fit_focus else text)
    status, out, err = run(capsys, "fit", directory)
    assert (status, err) == (0, "")
    document = json.loads((directory / "fit-result.json").read_text())
    return document["parameters"][0]["value"], document, out


def test_ratio_column_of_any_scale_fits_as_the_two_channels_do(tmp_path, capsys):
    write_exports(tmp_path)
    two_channels, _, _ = fit_with(capsys, tmp_path, TWO_CHANNELS)
    ratio, document, _ = fit_with(capsys, tmp_path, RATIO)
    assert abs(ratio / two_channels - 1.0) < 1e-3
    assert abs(two_channels / SA["sigma_1"] - 1.0) < 5e-3
    # The data are fitted as the model is: divided by their far field.
    for curve in document["curves"]:
        data = np.array(curve["transmittance"])
        assert abs(0.5 * (data[:5].mean() + data[-5:].mean()) - 1.0) < 1e-12
        assert np.array_equal(data - np.array(curve["model"]), np.array(curve["residuals"]))


def test_overloaded_readings_and_curves_of_different_lengths_fit_without_editing(tmp_path,
                                                                                capsys):
    # The detector overloads at the peak: the focus is fitted, not taken from the data.
    write_exports(tmp_path, overloaded={1: (1.0, 0.0)}, commented={0: (-7.0,)})
    ratio, document, out = fit_with(capsys, tmp_path, RATIO, fit_focus=True)
    assert ("Fitting sigma_1 and the focus to 2 curves of 40, 35 points of "
            f"{tmp_path}\n") in out
    assert ("scan-1.txt: 1 point left out (line 34; listed in the result file)\n"
            "scan-2.txt: 2 points left out (lines 24, 25; listed in the result file)\n"
            ) in out
    two_channels, _, _ = fit_with(capsys, tmp_path, TWO_CHANNELS, fit_focus=True)
    assert abs(ratio / two_channels - 1.0) < 1e-3
    assert abs(ratio / SA["sigma_1"] - 1.0) < 5e-3
    first, second = document["curves"]
    assert [len(first["positions_mm"]), len(second["positions_mm"])] == [40, 35]
    assert [len(c["model"]) for c in document["curves"]] == [40, 35]
    # Each point left out is recorded with its line: 6 metadata and header lines,
    # then the rows from +20 mm (+18 mm) down.
    assert [(p["line"], p["why"]) for p in first["missing_points"]] == [(34, "commented out")]
    assert [(p["line"], p["text"].split("\t")[1], p["why"]) for p in second["missing_points"]] \
        == [(24, "OVL", "not a number"), (25, "OVL", "not a number")]


def test_excluded_points_and_too_short_curves(tmp_path, capsys):
    write_exports(tmp_path)
    setup = tmp_path / "setup.toml"
    text = SETUP.replace("COLUMNS", RATIO)
    setup.write_text(text.replace('file = "scan-2.txt"',
                                  'file = "scan-2.txt"\nexclude = [0.0, "line 8"]'))
    status, out, err = run(capsys, "fit", tmp_path)
    assert (status, err) == (0, "")
    second = json.loads((tmp_path / "fit-result.json").read_text())["curves"][1]
    assert [(p["line"], p["why"]) for p in second["missing_points"]] == [(8, "excluded"),
                                                                          (25, "excluded")]
    assert len(second["positions_mm"]) == 35
    # A position the curve does not have is named.
    setup.write_text(text.replace('file = "scan-2.txt"', 'file = "scan-2.txt"\nexclude = [0.5]'))
    status, out, err = run(capsys, "fit", tmp_path)
    assert status == 2
    assert err.strip().endswith(f"{tmp_path / 'scan-2.txt'}: exclude names position 0.5 mm, "
                                "which the curve does not have")
    # Too few points left after the far field is an error naming the curve.
    short = (SCANS[0], np.linspace(-18.0, 18.0, 11))
    write_exports(tmp_path, scans=short, overloaded={1: (0.0,)})
    setup.write_text(text)
    status, out, err = run(capsys, "fit", tmp_path)
    assert status == 2
    assert err.strip().endswith(f"{tmp_path / 'scan-2.txt'}: 10 points after 1 left out; a "
                                "curve needs at least 11 (far_field_points = 5 at each end and "
                                "one between)")


# The closed-form absolute transmittance of both scans times `scale`, one array per curve.
def closed_form(scale=1.0):
    return [scale * energy_transmittance(x, [e], **SA)[0] for x, e in zip(SCANS, ENERGIES)]


SETUP_ARGUMENTS = dict(wavelength=SA["wavelength"], w0=SA["w0"], M2=SA["M2"], tau=1e-11,
                       sample_width=SA["thickness"], populations=[SA["density"], 0, 0, 0, 0],
                       is_sa=True)


def sigma_1_start():
    return tarvo.Parameters.from_spec_pars([2e-16, 0.0, 0.0, 1.0, 1.0, 1e-12, 1.0, 1e-12],
                                           vary=["sigma_1"])


def test_arrays_of_different_lengths_fit_and_their_results_keep_each_curve():
    result = tarvo.fit(list(SCANS), closed_form(RATIO_GAIN), ENERGIES, sigma_1_start(),
                       **SETUP_ARGUMENTS)
    assert abs(result.values["sigma_1"] / SA["sigma_1"] - 1.0) < 5e-3
    assert result.ndata == 78 and result.residual.size == 78
    for k, x in enumerate(SCANS):
        positions, data, sigma, model, residuals = result.curve(k)
        assert np.array_equal(positions, x) and sigma is None
        assert np.array_equal(residuals, data - model)
    # Refitted to its own data (as a bootstrap replicate is), the fit is the fit.
    from tarvo.bootstrap import refit_of

    assert refit_of(result)(result.data)[0] == pytest.approx(result.values["sigma_1"],
                                                               rel=1e-8, abs=0)


def test_equal_lengths_given_as_lists_fit_as_arrays_to_the_bit():
    x = np.tile(SCANS[0], (2, 1))
    y = np.array([energy_transmittance(SCANS[0], [e], **SA)[0] for e in ENERGIES])
    arrays = tarvo.fit(x, y, ENERGIES, sigma_1_start(), **SETUP_ARGUMENTS)
    lists = tarvo.fit(list(x), list(y), ENERGIES, sigma_1_start(), **SETUP_ARGUMENTS)
    assert lists.values["sigma_1"] == arrays.values["sigma_1"]
    assert np.array_equal(lists.best_fit, arrays.best_fit)


@pytest.mark.parametrize("normalisation, message", [
    ("absolute", "normalisation 'absolute': the far-field points (5 at each end) average curve "
                 "1 2.384, curve 2 2.44 outside 0 to 1: an absolute transmittance (transmitted "
                 "over incident pulse energy) lies between 0 and 1; for curves on an arbitrary "
                 "scale (a signal/reference ratio) or already divided by their far field, use "
                 "normalisation \"far-field\""),
    ("linear", "normalisation 'linear': the far-field points (5 at each end) average curve 1 "
               "2.384, curve 2 2.44 outside 0.5 to 2: curves divided by the linear "
               "transmittance are near 1 far from the focus; for curves on an arbitrary scale"),
])
def test_linear_and_absolute_stop_on_data_they_cannot_be(normalisation, message):
    # The closed form divided by its linear transmittance, times the ratio's gain.
    linear = np.exp(-SA["sigma_1"] * SA["density"] * SA["thickness"])
    with pytest.raises(ValueError) as stopped:
        tarvo.fit(list(SCANS), closed_form(RATIO_GAIN / linear), ENERGIES, sigma_1_start(),
                  normalisation=normalisation, checks="off", **SETUP_ARGUMENTS)
    assert str(stopped.value).startswith(message)


@pytest.mark.parametrize("normalisation", ["far-field", "shift", "absolute"])
def test_simulated_curves_of_different_lengths_are_each_curve_alone(normalisation):
    # The established model marches every position on its own: a curve's
    # values and its far field come from its own positions alone.
    setup = dict(SETUP_ARGUMENTS, t_slices=6, z_slices=2, model="established",
                 normalisation=normalisation)
    setup.pop("is_sa")
    pars = [1e-16, 0.0, 0.0, 1.0, 1.0, 1e-12, 1.0, 1e-12]
    together = tarvo.simulate(list(SCANS), ENERGIES, pars, **setup)
    alone = [tarvo.simulate(x, [e], pars, **setup)[0] for x, e in zip(SCANS, ENERGIES)]
    assert [curve.size for curve in together] == [41, 37]
    assert all(np.array_equal(a, b) for a, b in zip(together, alone))


def test_the_lsoda_engine_refuses_curves_of_different_lengths():
    with pytest.raises(ValueError, match="^the lsoda engine \\(fit_zscan\\) fits curves of equal "
                                         "length; curves of different lengths"):
        tarvo.fit(list(SCANS), closed_form(), ENERGIES, [1e-16, 0, 0, 1, 1, 1e-12, 1, 1e-12],
                  vary=["sigma_1"], engine="lsoda", t_slices=6, z_slices=2, checks="off",
                  **SETUP_ARGUMENTS)
