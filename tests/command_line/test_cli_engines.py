"""tarvo fit DIR: the engine and model choices, bounds, focus and convergence in
the output and the JSON document."""

import json
import types

import numpy as np
import pytest
import tarvo_wrapper

import tarvo.engine
import tarvo.fitting
import tarvo.engine
from tarvo import simulate

from model_cases import BEAM, POPULATIONS, RSA_PARS
from measurement_cases import ENERGIES, NUM_X_PTS, SETUP_TOML, run, write_curve

# Small energy-model grid, standing in for the model's defaults so the test stays fast.
SMALL_ENERGY_DEFAULTS = {"t_slices": 6, "z_slices": 3, "radial_points": 3,
                         "intensity_points": 5}


@pytest.fixture
def measurement_dir(tmp_path, exact_engine):
    """Two curves of 11 points of the established model with 0.4 % noise; sigma_1 fitted."""
    x = np.linspace(-25.0, 25.0, NUM_X_PTS)
    model = simulate(x, list(ENERGIES.values()), RSA_PARS,
                     **dict(BEAM, populations=POPULATIONS, t_slices=2, z_slices=2),
                     model="energy")
    noise = 1.0 + 0.004 * np.random.default_rng(3).standard_normal(model.shape)
    for name, row in zip(ENERGIES, model * noise):
        write_curve(tmp_path / name, x, row)
    (tmp_path / "setup.toml").write_text(SETUP_TOML)
    return tmp_path


# Replace text in setup.toml.
def edit_setup(directory, old, new):
    path = directory / "setup.toml"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


# The JSON document of the last fit.
def document(directory):
    return json.loads((directory / "fit-result.json").read_text())


def test_default_engine_is_exact_and_the_json_says_so(measurement_dir, capsys):
    status, out, err = run(capsys, "fit", measurement_dir)
    assert (status, err) == (0, "")
    doc = document(measurement_dir)
    keys = list(doc)
    assert keys[keys.index("fit_seconds") + 1:keys.index("fit_seconds") + 3] == [
        "converged", "message"]
    assert (doc["engine"], doc["model"], doc["converged"]) == ("exact", "energy", True)
    assert doc["message"].startswith("converged")
    assert doc["standard_errors_from"] == "exact Jacobian"
    assert doc["focus_mm"] == {"value": 0.0, "fitted": False, "standard_error": None,
                               "start": 0.0}
    assert "exact engine, energy model; 1 start (start values x 1)" in out
    assert "converged: " in out


def test_lsoda_engine_runs_fit_zscan_unchanged(measurement_dir, capsys):
    status, out, _ = run(capsys, "fit", measurement_dir, "--engine", "lsoda")
    assert status == 0
    doc = document(measurement_dir)
    assert (doc["engine"], doc["model"], doc["converged"]) == ("lsoda", "established", True)
    assert doc["message"].startswith("converged: ")
    assert doc["standard_errors_from"] == "central differences (relative step 0.001)"
    assert doc["fitting_method"].startswith("MINPACK lmdif (fit_zscan's multi-start)")
    # The fitted value is fit_zscan's, bit for bit.
    x, y = [], []
    for name in ENERGIES:
        rows = np.loadtxt(measurement_dir / name, delimiter=",", skiprows=1)
        x.append(rows[:, 0])
        y.append(rows[:, 1])
    start = np.array([6e-18] + RSA_PARS[1:])
    _, error, fitted = tarvo_wrapper.fit_zscan(
        np.concatenate(x), np.concatenate(y), np.array(POPULATIONS), 2, 2, BEAM["sample_width"],
        BEAM["tau"], BEAM["wavelength"], BEAM["w0"], BEAM["M2"],
        np.array(list(ENERGIES.values())), start, np.array([0], dtype=np.int32), NUM_X_PTS, 2,
        n_starts=1)
    assert doc["parameters"][0]["value"] == fitted[0]
    assert doc["fit_error"] == error
    # The setting in setup.toml does the same.
    edit_setup(measurement_dir, "n_starts = 1", 'n_starts = 1\nengine = "lsoda"')
    assert run(capsys, "fit", measurement_dir)[0] == 0
    assert document(measurement_dir)["parameters"][0]["value"] == fitted[0]


def test_energy_model_uses_its_own_grid_defaults(measurement_dir, capsys, monkeypatch,
                                                 exact_engine):
    monkeypatch.setattr(tarvo.engine, "backend", types.SimpleNamespace(
        exact_model=exact_engine.exact_model, ENERGY_DEFAULTS=SMALL_ENERGY_DEFAULTS))
    monkeypatch.setattr(tarvo.engine, "energy_resolution",
                        lambda *args: dict(SMALL_ENERGY_DEFAULTS))
    edit_setup(measurement_dir, "[model]\nt_slices = 2\nz_slices = 2\n", "")
    # Without [model] the established model takes its own defaults ...
    # (the fit starts on them; the grid check refines them for these curves).
    status, out, _ = run(capsys, "fit", measurement_dir, "--model", "established")
    first = document(measurement_dir)["model_error"]["history"][0]["grid"]
    assert status == 0 and "grid: t_slices" in out
    assert {k: first[k] for k in ("t_slices", "z_slices")} == {"t_slices": 10, "z_slices": 5}
    # ... and the energy model, the default, takes its defaults.
    status, out, err = run(capsys, "fit", measurement_dir)
    assert (status, err) == (0, "")
    doc = document(measurement_dir)
    assert doc["model"] == "energy"
    assert doc["model_error"]["history"][0]["grid"] == SMALL_ENERGY_DEFAULTS
    # These small defaults are too coarse for the curves: refined, and said.
    assert doc["model_error"]["refinements"] >= 1
    assert {k: doc["setup"][k] for k in SMALL_ENERGY_DEFAULTS} == doc["model_error"]["grid"]
    assert "the default was too coarse for these data" in out
    # A count given in [model] keeps the grid as it is (the others from the defaults).
    # variant in [model] chooses it too; a key it sets overrides the default.
    (measurement_dir / "setup.toml").write_text(
        (measurement_dir / "setup.toml").read_text()
        + '\n[model]\nvariant = "energy"\nradial_points = 2\n')
    assert run(capsys, "fit", measurement_dir)[0] == 0
    doc = document(measurement_dir)
    assert (doc["model"], doc["setup"]["radial_points"], doc["setup"]["t_slices"]) == \
        ("energy", 2, 6)


def test_simulate_plans_with_the_energy_model(measurement_dir, capsys, monkeypatch,
                                             exact_engine):
    monkeypatch.setattr(tarvo.engine, "backend", types.SimpleNamespace(
        exact_model=exact_engine.exact_model, ENERGY_DEFAULTS=SMALL_ENERGY_DEFAULTS))
    edit_setup(measurement_dir, "z_slices = 2", 'z_slices = 2\nvariant = "energy"')
    status, out, err = run(capsys, "simulate", measurement_dir, "--points", "21")
    assert (status, err) == (0, "")
    assert out.startswith("Model curves (energy model, far-field normalisation)")
    lines = [line for line in (measurement_dir / "simulation.csv").read_text().splitlines()
             if not line.startswith("#")]
    table = np.array([[float(v) for v in line.split(",")] for line in lines[1:]])
    start = [6e-18] + RSA_PARS[1:]
    expected = simulate(table[:, 0], list(ENERGIES.values()), start, model="energy",
                        **dict(BEAM, populations=POPULATIONS, t_slices=2, z_slices=2))
    assert np.array_equal(table[:, 1:].T, expected)


def test_bounds_and_focus_from_setup(measurement_dir, capsys):
    edit_setup(measurement_dir, "sigma_1 = 6e-18", "sigma_1 = 3e-18")
    edit_setup(measurement_dir, "n_starts = 1",
               "n_starts = 1\nfit_focus = true\n\n[bounds]\nsigma_1 = [1e-18, 3.5e-18]\n"
               "focus = [-1.0, 1.0]")
    status, out, _ = run(capsys, "fit", measurement_dir)
    assert status == 0
    doc = document(measurement_dir)
    assert doc["parameters"][0]["value"] == pytest.approx(3.5e-18, rel=1e-9, abs=0)
    assert doc["bounds"]["sigma_1"] == [1e-18, 3.5e-18]
    assert doc["focus_mm"]["fitted"] and -1.0 <= doc["focus_mm"]["value"] <= 1.0
    assert doc["focus_mm"]["standard_error"] > 0.0
    assert any("sigma_1 ended at its upper bound" in note for note in doc["notes"])
    assert "focus fitted at" in out and "and the focus" in out
    # fit_zscan knows no bounds: the lsoda route says it ignores them.
    status, out, _ = run(capsys, "fit", measurement_dir, "--engine", "lsoda")
    assert status == 0 and "note: [bounds], fit_focus and focus_mm apply to the exact" in out


def test_a_fit_that_does_not_converge_is_flagged(measurement_dir, capsys, monkeypatch):
    monkeypatch.setattr(tarvo.fitting, "EVALUATIONS_PER_PARAMETER", 1)
    edit_setup(measurement_dir, "sigma_1 = 6e-18", "sigma_1 = 2e-17")
    status, out, _ = run(capsys, "fit", measurement_dir)
    assert status == 3
    doc = document(measurement_dir)
    assert doc["converged"] is False
    assert doc["message"].startswith("not converged: the solver stopped after 2 evaluations")
    assert "warning: not converged" in out


@pytest.mark.parametrize("args, setup_edit, message", [
    (["--model", "energy", "--engine", "lsoda"], None,
     "the energy model runs on the exact engine only"),
    (["--engine", "fast"], None, "argument --engine: invalid choice: 'fast'"),
    ([], ("n_starts = 1", 'n_starts = 1\nengine = "ode"'),
     "[fit]: engine must be one of 'exact', 'lsoda', got 'ode'"),
    ([], ("z_slices = 2", 'z_slices = 2\nvariant = "full"'),
     "[model]: variant must be one of 'energy', 'established', got 'full'"),
    ([], ("n_starts = 1", "n_starts = 1\n\n[bounds]\nsigma_1 = [-1e-18, 1e-17]"),
     "[bounds]: sigma_1 min must be at least 0"),
    ([], ("n_starts = 1", "n_starts = 1\n\n[bounds]\nsigma_3 = [0, 1]"),
     "[bounds]: unknown parameter 'sigma_3'"),
    ([], ("n_starts = 1", "n_starts = 1\n\n[bounds]\nsigma_1 = [1e-17, 2e-17]"),
     "sigma_1: start value 6e-18 lies outside its bounds"),
    ([], ("n_starts = 1", "n_starts = 1\nfocus_mm = \"middle\""),
     "[fit]: focus_mm must be a finite number (mm)"),
    ([], ("z_slices = 2", "z_slices = 2\nradial_points = 0"),
     "[model]: radial_points must be an integer from 1 to 64, got 0"),
])
def test_bad_engine_settings_give_one_line(measurement_dir, capsys, args, setup_edit, message):
    if setup_edit:
        edit_setup(measurement_dir, *setup_edit)
    status, out, err = run(capsys, "fit", measurement_dir, *args)
    assert status == 2
    assert len(err.splitlines()) == 1 and message in err
    assert not (measurement_dir / "fit-result.json").exists()
