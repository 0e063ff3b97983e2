"""What a fit leaves behind: a result a paper can cite, figures, and planned curves."""

import codecs
import hashlib
import importlib.metadata
import json
import shlex
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

import tarvo
from tarvo import simulate

from measurement_cases import ENERGIES, GRIDS, POSITIONS, make_measurement, run
from model_cases import BEAM, POPULATIONS, RSA_PARS

VERSION = importlib.metadata.version("tarvo")


def test_version_has_one_source(capsys):
    assert tarvo.__version__ == VERSION
    status, out, _ = run(capsys, "--version")
    assert (status, out) == (0, f"tarvo {VERSION}\n")


def test_result_records_provenance_data_and_model(measurement_dir, tmp_path_factory, capsys):
    out_dir = tmp_path_factory.mktemp("results") / "new" / "place"
    before = datetime.now(timezone.utc).replace(microsecond=0)
    args = ["fit", str(measurement_dir), "--out", str(out_dir)]
    status, out, err = run(capsys, *args)
    assert (status, err) == (0, "")
    # Written where asked, nothing into the measurement directory.
    assert sorted(p.name for p in out_dir.iterdir()) == ["fit-result.json", "fit.png"]
    assert not (measurement_dir / "fit-result.json").exists()
    assert out.rstrip().splitlines()[-2:] == [f"results: {out_dir / 'fit-result.json'}",
                                              f"figure:  {out_dir / 'fit.png'}"]
    document = json.loads((out_dir / "fit-result.json").read_text())
    assert (document["tarvo_version"], document["engine"], document["model"]) == (
        VERSION, "exact", "energy")
    record = document["provenance"]
    assert record["command_line"] == shlex.join(["tarvo", *args])
    created = datetime.fromisoformat(record["created_utc"])
    assert before <= created <= datetime.now(timezone.utc) + timedelta(seconds=1)
    assert [(i["role"], i["path"]) for i in record["inputs"]] == [
        ("setup", str(measurement_dir / "setup.toml")),
        ("curve", str(measurement_dir / "low.csv")), ("curve", str(measurement_dir / "high.csv"))]
    for entry in record["inputs"]:
        with open(entry["path"], "rb") as stream:
            assert entry["sha256"] == hashlib.sha256(stream.read()).hexdigest()
    assert document["warnings"] == []

    centre = document["centre_mm"]
    for curve in document["curves"]:
        x, y = np.array(curve["positions_mm"]), np.array(curve["transmittance"])
        assert np.array_equal(x, POSITIONS) and curve["standard_deviation"] is None
        assert np.array_equal(np.array(curve["centred_positions_mm"]), x - centre)
        # The model at the data is what the fit compared with, bit for bit.
        model = np.array(curve["model"])
        assert np.array_equal(y - model, np.array(curve["residuals"]))
        # The drawn curve passes through it at the data positions (to the energy
        # model's interpolation between peak intensities, whose nodes follow
        # the highest peak of the positions computed).
        line_x = np.array(curve["model_line"]["positions_mm"])
        line_y = np.array(curve["model_line"]["transmittance"])
        assert np.abs(line_y[np.searchsorted(line_x, x)] - model).max() < 1e-6


# The first bytes of each figure format.
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "svg": b"<?xml", "pdf": b"%PDF-"}


@pytest.mark.parametrize("fmt", MAGIC)
def test_figure_formats(measurement_dir, capsys, fmt):
    status, _, _ = run(capsys, "fit", measurement_dir, "--figure-format", fmt)
    assert status == 0
    figure = measurement_dir / f"fit.{fmt}"
    assert figure.read_bytes().startswith(MAGIC[fmt])
    assert json.loads((measurement_dir / "fit-result.json").read_text())["figure"] == figure.name


def test_standard_deviations_and_a_bom_setup_file_are_read(tmp_path, capsys):
    make_measurement(tmp_path, sigma=np.full(POSITIONS.size, 0.004))
    setup = tmp_path / "setup.toml"
    setup.write_bytes(codecs.BOM_UTF8 + setup.read_bytes())
    status, out, err = run(capsys, "fit", tmp_path, "--engine", "lsoda")
    assert (status, err) == (0, "")
    assert ("note: the curve files give standard deviations (third column); the lsoda engine "
            "weights the points by position only and does not use them") in out
    # The exact engine weights the points by 1/sigma^2.
    status, out, err = run(capsys, "fit", tmp_path)
    assert (status, err) == (0, "")
    document = json.loads((tmp_path / "fit-result.json").read_text())
    assert document["weights"] == "1/sigma^2 (data uncertainties)"
    assert "weights 1/sigma^2 (data uncertainties)" in out
    from tarvo.measurement_directory import read_measurement
    measurement = read_measurement(tmp_path)
    assert np.array_equal(measurement.sigma, np.full((2, POSITIONS.size), 0.004))
    # Fitted as the model is: each curve and its sigma divided by the curve's far field.
    for curve, read in zip(document["curves"], measurement.curves):
        far = 0.5 * (read.transmittance[:5].mean() + read.transmittance[-5:].mean())
        assert np.allclose(curve["transmittance"], read.transmittance / far, rtol=1e-15, atol=0)
        assert np.allclose(curve["standard_deviation"], 0.004 / far, rtol=1e-15, atol=0)


# The columns of simulation.csv: positions and one row of transmittance per energy.
def read_simulation(path):
    lines = [line for line in path.read_text().splitlines() if not line.startswith("#")]
    assert lines[0] == "position_mm,transmittance_5e-06J,transmittance_2e-05J"
    table = np.array([[float(v) for v in line.split(",")] for line in lines[1:]])
    return table[:, 0], table[:, 1:].T


def test_simulate_plans_curves_without_measured_files(measurement_dir, capsys):
    for name in ENERGIES:
        (measurement_dir / name).unlink()
    status, out, err = run(capsys, "simulate", measurement_dir, "--figure-format", "svg")
    assert (status, err) == (0, "")
    x, curves = read_simulation(measurement_dir / "simulation.csv")
    # Ten Rayleigh ranges (1.97 mm) to each side, rounded: +-20 mm in 201 points.
    assert np.array_equal(x, np.linspace(-20.0, 20.0, 201))
    start = [6e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
    expected = simulate(x, list(ENERGIES.values()), start,
                        **dict(BEAM, populations=POPULATIONS, **GRIDS))
    assert np.array_equal(curves, expected)
    assert (measurement_dir / "simulation.svg").read_bytes().startswith(b"<?xml")
    assert out.splitlines()[0] == ("Model curves (energy model, far-field normalisation) from "
                                   "-20 to 20 mm (201 "
                                   "points; Rayleigh range 1.97 mm)")


def test_simulate_with_parameter_file_round_trips_through_a_fit(measurement_dir, tmp_path_factory,
                                                               capsys):
    # Plan with the true values, fit the planned curves from the start values:
    # the fit finds the value the curves were made with.
    params = tmp_path_factory.mktemp("params") / "true.toml"
    params.write_text(f"sigma_1 = {RSA_PARS[0]!r}\n")
    planned = tmp_path_factory.mktemp("planned")
    status, _, err = run(capsys, "simulate", measurement_dir, "--params", params, "--span", "25",
                         "--points", "15", "--out", planned)
    assert (status, err) == (0, "")
    text = (planned / "simulation.csv").read_text()
    assert f"# parameters: sigma_1 = {RSA_PARS[0]!r}, sigma_2 = 2e-17," in text
    x, curves = read_simulation(planned / "simulation.csv")
    # Written back as a semicolon table with decimal commas.
    for name, row in zip(ENERGIES, curves):
        rows = [f"{float(a)!r};{float(b)!r}".replace(".", ",") for a, b in zip(x, row)]
        (measurement_dir / name).write_text("\n".join(rows) + "\n")
    status, _, err = run(capsys, "fit", measurement_dir)
    assert (status, err) == (0, "")
    document = json.loads((measurement_dir / "fit-result.json").read_text())
    assert document["parameters"][0]["value"] == pytest.approx(RSA_PARS[0], rel=1e-4, abs=0)


@pytest.mark.parametrize("args, message", [
    # Without [start] the parameter file must give all eight values.
    (["--params", "{params}"], "setup.toml: [start] has no sigma_2 (cm^2) and {params} does not "
                               "give it either"),
    (["--points", "9"], "--points must lie between 10 (five far-field points at each end) and "
                        "100000, got 9"),
    (["--span", "-3"], "--span must be a positive number of mm up to 1e+06, got -3.0"),
    (["--span", "nan"], "--span must be a positive number of mm up to 1e+06, got nan"),
])
def test_simulate_refuses_bad_options(measurement_dir, tmp_path_factory, capsys, args, message):
    params = tmp_path_factory.mktemp("params") / "some.toml"
    params.write_text("sigma_1 = 4e-18\n")
    if "--params" in args:
        setup = measurement_dir / "setup.toml"
        text = setup.read_text()
        setup.write_text(text[:text.index("[start]")] + text[text.index("[fit]"):])
    args = [a.format(params=params) for a in args]
    status, out, err = run(capsys, "simulate", measurement_dir, *args)
    assert (status, out) == (2, "")
    assert err.startswith("tarvo: error: ") and message.format(params=params) in err


# The figure's value box for values at the ends of the doubles (T3: on main a
# value below 1e-323 divided by zero).
@pytest.mark.parametrize("value, error, text", [
    (4.007e-18, 1.0e-20, "(4.007 \u00b1 0.010)\u00d710\u207b\u00b9\u2078 cm\u00b2"),
    (5e-324, 1e-20, "4.941e-324 \u00b1 1e-20 cm\u00b2"),
    (5e-324, 5e-324, "4.941e-324 \u00b1 4.9e-324 cm\u00b2"),
    (1e-320, 0.0, "1e-320 \u00b1 0 cm\u00b2"),
    (2e-9, float("nan"), "2e-09 s"),
    (1e300, 1e308, "(1 \u00b1 100000000)\u00d710\u00b3\u2070\u2070 s"),
], ids=["ordinary", "subnormal", "subnormal-error", "zero-error", "no-error", "huge-error"])
def test_the_value_box_writes_every_value(value, error, text):
    from tarvo.plot import value_text

    unit = "cm^2" if text.endswith("cm\u00b2") else "s"
    assert value_text(value, error, unit) == text
