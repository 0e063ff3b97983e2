"""Which measurement next: Fisher errors against Monte-Carlo refits, and the
ranking of candidates."""

import json
import re
import shutil
from pathlib import Path

import numpy as np
import pytest

import tarvo
from tarvo.planning import plan
from tarvo.global_fit import GlobalMember, member_of
from tarvo.measurement_directory import read_measurement

from measurement_cases import run
from model_cases import BEAM, POPULATIONS, RSA_PARS

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "global"
X = np.linspace(-30.0, 30.0, 25)
ENERGIES = [5e-6, 2e-5]
GRID = dict(t_slices=6, z_slices=2, radial_points=4, intensity_points=6)
NOISE = 0.005


def test_fisher_errors_match_the_spread_of_monte_carlo_refits():
    setup = dict(populations=POPULATIONS, **BEAM, **GRID)
    clean = tarvo.simulate(X, ENERGIES, RSA_PARS, **setup)
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=["sigma_1", "sigma_4"])
    member = GlobalMember("m", dict(positions=X, transmittance=clean, pulse_energy=ENERGIES,
                                    sigma=np.full(clean.shape, NOISE), **setup))
    expected = plan([member], params, candidates=[])["present"]
    rng = np.random.default_rng(12)
    values = []
    for _ in range(40):
        y = clean + NOISE * rng.standard_normal(clean.shape)
        result = tarvo.fit(X, y, ENERGIES, params, checks="off", **setup)
        values.append([result.values["sigma_1"], result.values["sigma_4"]])
    spread = np.std(np.log(values), axis=0, ddof=1)
    for name, observed in zip(("sigma_1", "sigma_4"), spread):
        assert observed == pytest.approx(expected[name], rel=0.2), name


def test_a_picosecond_candidate_ranks_first_for_a_nanosecond_measurement(tmp_path, capsys):
    measurement = read_measurement(EXAMPLES / "ns")
    result = plan([member_of(measurement, "energy")], measurement.parameters())
    first = result["candidates"][0]
    assert first["description"].startswith("ns: pulse duration x0.01")
    assert first["setup"]["tau"] == pytest.approx(4e-11, rel=1e-12)
    # It shrinks what the scan alone leaves undetermined: sigma_2 (766 % now).
    assert result["present"]["sigma_2"] > 1.0 > 10 * first["expected_relative_errors"]["sigma_2"]
    gains = [entry["gain"] for entry in result["candidates"]]
    assert gains == sorted(gains, reverse=True)
    status, out, err = run(capsys, "plan", EXAMPLES / "ns", "--out", tmp_path)
    assert (status, err) == (0, "") and "1. ns: pulse duration x0.01" in out
    # The first line says what the numbers are.
    assert out.splitlines()[0] == (
        "expected relative standard errors of sigma_2, sigma_4, tau_24 now and after adding "
        "each candidate (1 sigma, from the Fisher information at these values and the noise of "
        "the existing data); gain = ln det(F_after) - ln det(F_now): the joint confidence "
        "region of the 3 parameters shrinks e^(gain/2)-fold, each error about e^(gain/6)-fold")
    assert (tmp_path / "plan.json").exists()
    # --from-fit plans at a fit's values: what plan() gives with those values.
    fitted = dict(result["present"])
    saved = tarvo.fit(measurement, checks="off")
    saved.save(tmp_path / "fit.json")
    at_fit = measurement.parameters()
    for name in saved.var_names:
        at_fit[name].set(value=saved.values[name])
    expected = plan([member_of(measurement, "energy")], at_fit)["present"]
    status, out, err = run(capsys, "plan", EXAMPLES / "ns", "--out", tmp_path / "again",
                           "--from-fit", tmp_path / "fit.json")
    again = json.loads((tmp_path / "again" / "plan.json").read_text())["present"]
    assert (status, err) == (0, "") and again == pytest.approx(expected, rel=1e-9)
    assert again != pytest.approx(fitted, rel=1e-3)
    assert run(capsys, "plan", EXAMPLES / "ns", "--from-fit", tmp_path / "none.json")[0] == 2


# Bad inputs of `tarvo plan ns`: a [[candidate]] table's lines (or a file's
# text), and the message after the path of the candidate file. Each is
# refused in one line before any model is evaluated.
BAD_CANDIDATES = {
    "zero-tau": ('tau = 0', " [[candidate]] x: tau must be positive (s), got 0"),
    "zero-w0": ('w0 = 0', " [[candidate]] x: w0 must be positive (m), got 0"),
    "scalar-energy": ('pulse_energy = 5e-6', " [[candidate]] x: pulse_energy must be a list of "
                      "finite numbers (J, a list), got 5e-06"),
    "list-tau": ('tau = [1e-9]', " [[candidate]] x: tau must be one finite number (s), got "
                 "[1e-09]"),
    "three-populations": ('populations = [1e17, 0, 0]', " [[candidate]] x: populations must be "
                          "five numbers of at least 0, not all 0 (cm^-3), got [1e+17, 0, 0]"),
    "huge-tau": ('tau = 1e308', " [[candidate]] x: [beam] tau = 1e+308 is outside the plausible "
                 "range of a pulse duration (5e-15 s to 0.0001 s): check the value and its unit "
                 "(s)"),
    "energy-in-uj": ('pulse_energy = [5, 10]', " [[candidate]] x: [[curve]] curve 1: "
                     "pulse_energy = 5 is outside the plausible range of a pulse energy"),
    "unknown-key": ('colour = 1', " [[candidate]] x: unknown key 'colour'"),
    "too-many": (None, ": 1001 [[candidate]] tables; a plan ranks at most 1000 (each costs a "
                 "model evaluation of its own)"),
}


@pytest.mark.parametrize("lines, message", BAD_CANDIDATES.values(), ids=BAD_CANDIDATES.keys())
def test_plan_refuses_a_bad_candidate_in_one_line(tmp_path, capsys, lines, message):
    path = tmp_path / "candidates.toml"
    if lines is None:
        path.write_text('[[candidate]]\nname = "x"\ntau = 1e-9\n' * 1001)
    else:
        path.write_text(f'[[candidate]]\nname = "x"\n{lines}\n')
    status, out, err = run(capsys, "plan", EXAMPLES / "ns", "--candidates", path, "--out",
                           tmp_path)
    assert (status, out) == (2, "")
    assert err.startswith(f"tarvo: error: {path}{message}") and err.count("\n") == 1
    assert not (tmp_path / "plan.json").exists()


@pytest.mark.parametrize("text, message", [
    ('[1', "cannot read a fit result: "),
    ('{"parameters": 3}', "a result of the 'None' engine written by an earlier version"),
], ids=["not-json", "not-a-result"])
def test_plan_refuses_a_bad_fit_result_in_one_line(tmp_path, capsys, text, message):
    (tmp_path / "fit.json").write_text(text)
    status, out, err = run(capsys, "plan", EXAMPLES / "ns", "--from-fit", tmp_path / "fit.json",
                           "--out", tmp_path)
    assert (status, out) == (2, "")
    assert err.startswith(f"tarvo: error: --from-fit: {tmp_path / 'fit.json'}: {message}")
    assert err.count("\n") == 1


def test_plan_refuses_an_implausible_measurement_in_one_line(tmp_path, capsys):
    directory = tmp_path / "ns"
    shutil.copytree(EXAMPLES / "ns", directory)
    text = (directory / "setup.toml").read_text()
    (directory / "setup.toml").write_text(re.sub(r"(?m)^tau = .*$", "tau = 1e308", text))
    status, out, err = run(capsys, "plan", directory)
    assert (status, out) == (2, "")
    assert err == (f"tarvo: error: {directory / 'setup.toml'}: [beam] tau = 1e+308 is outside "
                   "the plausible range of a pulse duration (5e-15 s to 0.0001 s): check the "
                   "value and its unit (s)\n")
