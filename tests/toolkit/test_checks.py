"""Plausibility checks: each everyday mistake is named with its fix, a sound measurement passes."""

import json
from types import SimpleNamespace

import numpy as np
import pytest

from tarvo.checks import check_measurement, fit_findings
from tarvo.directory_fit import fit_and_write, prepare_fit
from tarvo.files import InputError
from tarvo.measurement_directory import read_measurement

from measurement_cases import make_measurement, run


# Replace text in setup.toml.
def edit_setup(directory, old, new):
    path = directory / "setup.toml"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


# The (check, message) pairs for a measurement directory.
def findings_of(directory):
    return [(f.check, f.message) for f in check_measurement(read_measurement(directory))]


def test_a_sound_measurement_passes(measurement_dir):
    assert findings_of(measurement_dir) == []


# name: (how the directory is made or damaged, the findings expected as
# (checks, text the first message holds, whether the first stops the fit)).
MISTAKES = {
    "positions-in-metres": (
        dict(transform=lambda x, y: (x / 1000.0, y)),
        ("scan-range", "the scan spans 0.05 mm, 0.0254 Rayleigh ranges (z_R = 1.97 mm): too "
                       "short to show a Z-scan; if the positions are in metres, set [data] "
                       "position_unit = \"m\"", True)),
    "positions-in-micrometres": (
        dict(transform=lambda x, y: (x * 1000.0, y)),
        ("scan-range", "the scan spans 5e+04 mm, 2.54e+04 Rayleigh ranges (z_R = pi "
                       "w0^2/(M2 wavelength) = 1.97 mm): no Z-scan is that long; if the "
                       "positions are in µm, set [data] position_unit = \"um\"", True)),
    "short-scan": (
        dict(transform=lambda x, y: (x / 10.0, y)),
        ("scan-range", "the scan reaches only 2.5 mm (1.27 Rayleigh ranges) before the focus at "
                       "0 mm; z_R = pi w0^2/(M2 wavelength) = 1.97 mm: scan beyond 3 z_R on "
                       "both sides", False)),
    # Curves divided by their far field are divided by it again (harmless);
    # those shifted to it are compared with a model whose far field is 1.
    "far-field-not-normalised": (
        dict(transform=lambda x, y: (x, 0.82 * y),
             edit=("[[curve]]", "[data]\nnormalisation = \"shift\"\n\n[[curve]]")),
        ("far-field", "the far-field points (5 at each end) average low.csv 0.82, high.csv "
                      "0.8199 instead of 1 (within 0.05) for shift normalised curves: if the "
                      "curves are on an arbitrary scale or not divided as declared, set [data] "
                      "normalisation = \"far-field\"", False)),
    "per-cent": (
        dict(transform=lambda x, y: (x, 100.0 * y)),
        ("percent", "the far-field points average 100, 99.99: the transmittance looks like per "
                    "cent; set [data] transmittance_unit = \"percent\"", True)),
    # The reverse mistake: fractions declared per cent are a hundred times too small.
    "fraction-declared-per-cent": (
        dict(edit=("[model]", "[data]\ntransmittance_unit = \"percent\"\n\n[model]")),
        ("percent", "the far-field points average 0.01, 0.009999 after the division by 100 of "
                    "per cent (as written: 1, 0.9999): the transmittance looks like a fraction, "
                    "not per cent; set [data] transmittance_unit = \"fraction\"", True)),
    "raw-counts": (
        dict(transform=lambda x, y: (x, 40000.0 * y)),
        ("raw-signal", "the transmittance column holds values up to 4.855e+04: raw detector "
                       "readings, not a transmittance; name the columns in [data] columns", True)),
    "is-sa-on-a-dip": (
        dict(edit=("populations = [6e17, 0, 0, 0, 0]",
                   "populations = [6e17, 0, 0, 0, 0]\nis_sa = true")),
        ("feature-direction", "but is_sa = true expects a peak: the fit centres the scan on the "
                              "maximum of the data, here at 25 mm near the scan's end; for a "
                              "reverse saturable absorber set is_sa = false in [sample]", False)),
    "peak-without-is-sa": (
        dict(saturable=True, edit=("is_sa = true", "is_sa = false")),
        ("feature-direction", "the curves show a peak (+", False)),
    # A waist in the wrong unit makes the Rayleigh range, hence the scan checks, meaningless.
    "w0-in-micrometres": (
        dict(edit=("w0 = 20e-6", "w0 = 25")),
        ("setup-range",
         "[beam] w0 = 25 is outside the plausible range of a focused beam waist radius (5e-07 m "
         "to 0.005 m): the unit is m; if it is in µm, write 2.5e-05", True)),
    "wavelength-in-nm": (
        dict(edit=("wavelength = 532e-9", "wavelength = 532")),
        ("setup-range thin-sample",
         "[beam] wavelength = 532 is outside the plausible range of a laser wavelength (1.5e-07 m "
         "to 2e-05 m): the unit is m; if it is in nm, write 5.32e-07", True)),
    "energy-in-microjoule": (
        dict(edit=("pulse_energy = 2e-5", "pulse_energy = 20")),
        ("setup-range", "[[curve]] high.csv: pulse_energy = 20 is outside the plausible range "
                        "of a pulse energy (1e-12 J to 0.1 J): the unit is J; if it is in mJ, "
                        "write 0.02; if it is in µJ, write 2e-05; if it is in nJ, write 2e-08",
         True)),
    "width-in-mm": (
        dict(edit=("sample_width = 0.1", "sample_width = 1")),
        ("thin-sample", "[sample] sample_width = 1 cm is 5.08 Rayleigh ranges (z_R = pi "
                        "w0^2/(M2 wavelength) = 1.97 mm): the model takes the beam as unchanged "
                        "through the sample, so it must be thinner than z_R; sample_width is in "
                        "cm: if you meant 1 mm, write 0.1", False)),
    "concentration-in-mol-per-litre": (
        dict(edit=("populations = [6e17, 0, 0, 0, 0]", "populations = [0.001, 0, 0, 0, 0]")),
        ("setup-range", "if it is in mol/L, write 6.02214e+17", True)),
    "time-constant-huge": (
        dict(edit=("tau_41 = 1e-6", "tau_41 = 1e6")),
        ("setup-range", "[start] tau_41 = 1e+06 is outside the plausible range of a time "
                        "constant (1e-16 s to 1000 s): check the value and its unit (s)", False)),
    "noise-only": (
        dict(transform=lambda x, y: (x, 1.0 + 0.004 * np.random.default_rng(5).standard_normal(
            x.size))),
        ("scan-range", "the focus is the minimum of the data, which lies among the outermost "
                       "points: the curves show no clear dip; check the data", False)),
    "m2-below-one": (
        dict(edit=("M2 = 1.2", "M2 = 0.5")),
        ("setup-range", "[beam] M2 = 0.5 is outside the plausible range of a beam quality factor "
                        "(1 for a perfect Gaussian beam) (1 to 50): check the value", False)),
}


@pytest.mark.parametrize("how, expected", MISTAKES.values(), ids=MISTAKES.keys())
def test_each_mistake_gives_one_finding_with_its_fix(tmp_path, how, expected):
    how = dict(how)
    edit = how.pop("edit", None)
    make_measurement(tmp_path, **how)
    if edit:
        edit_setup(tmp_path, *edit)
    findings = check_measurement(read_measurement(tmp_path))
    assert [finding.check for finding in findings] == expected[0].split()
    assert expected[1] in findings[0].message
    assert findings[0].stops == expected[2]


# A fit result with the given fitted values (name -> value) and chi^2.
def fit_result_with(values, chisqr, start_values=None, start_chisqr=1.0):
    return SimpleNamespace(values=values, var_names=list(values), chisqr=chisqr,
                           start_values=start_values or {}, start_chisqr=start_chisqr,
                           notes=[], identifiability=None)


def test_after_fit_checks():
    assert fit_findings(fit_result_with({"sigma_1": 4e-18}, 0.01, {"sigma_1": 3e-18})) == []
    # Exactly the start value: the fit did not move.
    found = fit_findings(fit_result_with({"sigma_1": 3e-18}, 0.01, {"sigma_1": 3e-18}))
    assert [f.check for f in found] == ["fit-did-not-move"]
    assert found[0].message.startswith("the fit did not move sigma_1 from the start")
    # A worse chi^2 than at the start, and a negative cross-section.
    found = fit_findings(fit_result_with({"sigma_1": -3e-18}, 4.0))
    assert [f.check for f in found] == ["unphysical-value", "chi2-above-start"]
    assert found[0].message.startswith("the fit ended at negative values (sigma_1 = -3e-18 "
                                       "cm^2), which no absorber has")
    assert found[1].message.startswith("the fit ended with chi^2 = 4, above the 1 of the start "
                                       "values")


@pytest.mark.parametrize("engine", ["lsoda", "exact"])
def test_chi2_at_the_start_is_the_fits_weighted_sum(measurement_dir, tmp_path, engine):
    # chi^2 is the weighted sum the solver minimised, below the start's.
    result = fit_and_write(prepare_fit(measurement_dir, engine=engine, out=tmp_path)).result
    assert result.chisqr == pytest.approx(float(result.residual @ result.residual), rel=1e-12)
    assert result.start_chisqr > result.chisqr


def test_positions_in_metres_end_to_end(tmp_path, capsys):
    make_measurement(tmp_path, transform=lambda x, y: (x / 1000.0, y))
    # A unit mistake stops the fit before it starts, nothing written.
    status, out, err = run(capsys, "fit", tmp_path)
    assert (status, out) == (2, "")
    assert err.splitlines()[0].startswith("tarvo: error: the scan spans 0.05 mm")
    assert err.splitlines()[1].startswith("tarvo: nothing was fitted: correct the setting "
                                          "named above, or fit anyway with --force")
    assert not (tmp_path / "fit-result.json").exists()
    # The setting it names fixes it; --force fits anyway, with the warnings on
    # stderr, in the report on stdout and in the result document.
    edit_setup(tmp_path, "[[curve]]", "[data]\nposition_unit = \"m\"\n\n[[curve]]")
    # (The header's unit, mm, contradicts the setting: name the column alone.)
    for name in ("low.csv", "high.csv"):
        path = tmp_path / name
        path.write_text(path.read_text().replace("position_mm,", "position,"))
    assert findings_of(tmp_path) == []
    edit_setup(tmp_path, "position_unit = \"m\"", "position_unit = \"mm\"")
    status, out, err = run(capsys, "fit", tmp_path, "--force")
    assert status == 0
    document = json.loads((tmp_path / "fit-result.json").read_text())
    assert document["warnings"][0]["check"] == "scan-range"
    assert document["warnings"][0]["severity"] == "stop"
    messages = [w["message"] for w in document["warnings"]]
    assert err.splitlines() == [f"tarvo: warning: {m}" for m in messages]
    assert [line for line in out.splitlines() if line.startswith("warning: ")] == [
        f"warning: {m}" for m in messages]


@pytest.mark.parametrize("old, new", [
    ("M2 = 1.2\n", "M2 = 1e-200\n"), ("wavelength = 532e-9", "wavelength = 1e-300"),
    ("w0 = 20e-6", "w0 = 1e300"), ("populations = [6e17, 0, 0, 0, 0]",
                                   "populations = [1e308, 1e308, 1e308, 0, 0]"),
])
def test_extreme_values_give_findings_not_exceptions(measurement_dir, old, new):
    # Products of such values under- or overflow: the checks must still answer.
    if old.startswith("M2"):
        edit_setup(measurement_dir, "wavelength = 532e-9", "wavelength = 1e-200")
    edit_setup(measurement_dir, old, new)
    findings = findings_of(measurement_dir)
    assert "setup-range" in [check for check, _ in findings]


def test_strict_refuses_a_fit_with_findings_after_it(measurement_dir, capsys, monkeypatch):
    import tarvo.directory_fit
    from tarvo.checks import Finding
    seen = []

    # The real after-fit checks, plus one finding.
    def checks_with_a_finding(result):
        seen.append(result.engine)
        return fit_findings(result) + [Finding("fit-did-not-move", "the fit did not move sigma_1")]

    monkeypatch.setattr(tarvo.directory_fit, "fit_findings", checks_with_a_finding)
    for engine in ("lsoda", "exact"):
        status, out, err = run(capsys, "fit", measurement_dir, "--strict", "--engine", engine)
        assert status == 2
        assert err == "tarvo: error: the fit did not move sigma_1\n"
        assert not (measurement_dir / "fit-result.json").exists()
    assert seen == ["lsoda", "exact"]


@pytest.mark.parametrize("sample, fitted, expected", [
    ("absorbance = 0.07817300674258532", ["sigma_4"], 3e-18),
    ("linear_transmittance = 0.835270211411272", ["sigma_4"], 3e-18),
    ("absorbance = 0.1", ["sigma_1"], "absorbance sets sigma_1 and holds it"),
    ("absorbance = 0.1\nlinear_transmittance = 0.8", ["sigma_4"], "not both"),
], ids=["absorbance", "linear-transmittance", "sigma-1-fitted-too", "both"])
def test_linear_absorption_sets_and_holds_sigma_1(measurement_dir, sample, fitted, expected):
    # 6e17 cm^-3 over 0.1 cm: A = sigma_1 N L / ln 10, T = exp(-sigma_1 N L).
    edit_setup(measurement_dir, "populations = [6e17, 0, 0, 0, 0]",
               f"populations = [6e17, 0, 0, 0, 0]\n{sample}")
    edit_setup(measurement_dir, 'parameters = ["sigma_1"]', f"parameters = {fitted!r}".replace(
        "'", '"'))
    if isinstance(expected, str):
        with pytest.raises(InputError, match=expected):
            read_measurement(measurement_dir)
        return
    measurement = read_measurement(measurement_dir)
    assert measurement.start[0] == pytest.approx(expected, rel=1e-6, abs=0)
    assert measurement.sigma_1_from["sigma_1"] == measurement.start[0]
