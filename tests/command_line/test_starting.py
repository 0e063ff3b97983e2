"""Starting a measurement: tarvo init, simulated measurements, lab quantities in setup.toml."""

import io
import json
import math
import tomllib
from pathlib import Path

import numpy as np
import pytest

from tarvo.measurement_directory import read_measurement
from tarvo.setup_file import read_setup_file

from measurement_cases import SETUP_TOML, make_measurement, run


# The set-up of the shared test measurement with `old` replaced by `new`.
def edited_setup(directory, old, new):
    path = directory / "setup.toml"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))
    return directory


def test_pulse_fwhm_is_the_intensity_full_width_at_half_maximum(measurement_dir):
    # The time profile exp(-(t/tau)^2) is the intensity; at t = FWHM/2 it is one half.
    fwhm = 6.5e-9
    edited_setup(measurement_dir, "tau = 4e-9", f"pulse_fwhm = {fwhm!r}")
    tau = read_setup_file(measurement_dir).setup.tau
    assert math.exp(-((fwhm / 2) / tau) ** 2) == pytest.approx(0.5, rel=1e-14)


def test_concentration_puts_avogadro_molecules_per_litre_in_level_1(measurement_dir):
    # 2.5 mmol/L = 2.5e-3 * 6.02214076e23 molecules per 1000 cm^3.
    edited_setup(measurement_dir, "populations = [6e17, 0, 0, 0, 0]", "concentration = 2.5e-3")
    setup = read_setup_file(measurement_dir).setup
    assert setup.populations == pytest.approx((1.50553519e18, 0, 0, 0, 0), rel=1e-9)
    assert setup.concentration == 2.5e-3 and setup.pulse_fwhm is None


def test_lab_quantities_fit_as_the_equivalent_tau_and_populations(tmp_path, capsys):
    plain, lab = tmp_path / "plain", tmp_path / "lab"
    for directory in (plain, lab):
        directory.mkdir()
        make_measurement(directory)
    # Exactly representable equivalents: tau = 4e-9 s, N1 = 6e17 cm^-3.
    fwhm = 4e-9 * 2.0 * math.sqrt(math.log(2.0))
    concentration = 6e17 / 6.02214076e20
    edited_setup(lab, "tau = 4e-9", f"pulse_fwhm = {fwhm!r}")
    edited_setup(lab, "populations = [6e17, 0, 0, 0, 0]", f"concentration = {concentration!r}")
    documents = []
    for directory in (plain, lab):
        status, _, err = run(capsys, "fit", directory)
        assert (status, err) == (0, "")
        documents.append(json.loads((directory / "fit-result.json").read_text()))
    values = [[p["value"] for p in d["parameters"]] for d in documents]
    assert values[1] == pytest.approx(values[0], rel=1e-12)
    setup = documents[1]["setup"]
    assert setup["pulse_fwhm_s"] == fwhm and setup["tau_s"] == pytest.approx(4e-9, rel=1e-15)
    assert setup["concentration_mol_per_L"] == concentration
    assert setup["populations_cm-3"] == pytest.approx([6e17, 0, 0, 0, 0], rel=1e-15)
    assert "pulse_fwhm_s" not in documents[0]["setup"]


@pytest.mark.parametrize("old, new, message", [
    ("tau = 4e-9", "tau = 4e-9\npulse_fwhm = 6e-9",
     "[beam]: give either tau or pulse_fwhm (tau in s of the time profile exp(-(t/tau)^2), or "
     "pulse_fwhm in s, the intensity FWHM), not both"),
    ("tau = 4e-9", "", "[beam]: missing tau (or pulse_fwhm)"),
    ("populations = [6e17, 0, 0, 0, 0]", "populations = [6e17, 0, 0, 0, 0]\nconcentration = 1e-3",
     "[sample]: give either populations or concentration"),
    ("populations = [6e17, 0, 0, 0, 0]", "concentration = -1e-3",
     "concentration must be positive (mol/L), got -0.001"),
    ("tau = 4e-9", "pulse_fwhm = \"6 ns\"", "pulse_fwhm must be a finite number"),
], ids=["both-pulse", "no-pulse", "both-populations", "negative-concentration", "text"])
def test_lab_quantity_mistakes_are_named(measurement_dir, old, new, message):
    edited_setup(measurement_dir, old, new)
    with pytest.raises(Exception) as caught:
        read_measurement(measurement_dir)
    assert message in str(caught.value)


def test_init_simulate_fit_recovers_the_truth_with_profile_intervals(tmp_path, capsys):
    start, measured = tmp_path / "start", tmp_path / "measured"
    status, out, _ = run(capsys, "init", start)
    assert status == 0 and f"tarvo fit {start}" in out
    # The template is complete: every key has a comment with its unit.
    template = (start / "setup.toml").read_text()
    for key in ("wavelength", "w0", "M2", "pulse_fwhm", "tau", "sample_width", "concentration",
                "populations", "t_slices", "z_slices", "pulse_energy", "sigma_1", "tau_54"):
        line = next(line for line in template.splitlines()
                    if line.lstrip("# ").startswith(f"{key} ="))
        assert "#" in line.lstrip("# ")
    # The example curves are in the format the fit reads: `tarvo fit` runs on them.
    assert run(capsys, "fit", start)[0] == 0
    status, out, err = run(capsys, "simulate", start, "--measurement", measured, "--noise",
                           "0.005", "--seed", "1")
    assert (status, err) == (0, "")
    assert "extremes at 0 and" in out
    header = (measured / "curve-5uJ.csv").read_text().splitlines()
    assert "position (mm),transmittance,sigma" in header
    truth = tomllib.loads((measured / "truth.toml").read_text())
    status, out, err = run(capsys, "fit", measured, "--truth", measured / "truth.toml",
                           "--conf-interval", "--sigmas", "1")
    assert (status, err) == (0, "")
    document = json.loads((measured / "fit-result.json").read_text())
    fitted = {p["name"]: p for p in document["parameters"] if p["fitted"]}
    for name, p in fitted.items():
        assert abs(p["value"] - truth[name]) < 4 * p["standard_error"]
    # With sigma equal to the noise, chi^2 per degree of freedom is near 1.
    assert document["reduced_chi2"] == pytest.approx(1.0, abs=0.15)
    intervals = document["profile_intervals"]
    assert set(intervals["parameters"]) == {"sigma_1", "sigma_4", "focus"}
    one = intervals["parameters"]["sigma_1"]["1"]
    assert one[0] < fitted["sigma_1"]["value"] < one[1]
    assert (one[1] - one[0]) / 2 == pytest.approx(fitted["sigma_1"]["standard_error"], rel=0.1)
    assert "profile-likelihood intervals" in out


def test_noise_is_reproducible_from_the_seed(tmp_path, capsys):
    run(capsys, "init", tmp_path / "start")
    tables = []
    for name in ("a", "b"):
        run(capsys, "simulate", tmp_path / "start", "--measurement", tmp_path / name,
            "--noise", "0.01", "--seed", "7")
        tables.append(np.loadtxt(tmp_path / name / "curve-10uJ.csv", delimiter=",",
                                 comments="#", skiprows=3))
    assert np.array_equal(tables[0], tables[1])
    clean = tmp_path / "clean"
    run(capsys, "simulate", tmp_path / "start", "--measurement", clean)
    model = np.loadtxt(clean / "curve-10uJ.csv", delimiter=",", comments="#", skiprows=3)
    assert model.shape[1] == 2
    noise = tables[0][:, 1] - model[:, 1]
    assert np.std(noise) == pytest.approx(0.01, rel=0.2) and np.all(tables[0][:, 2] == 0.01)


@pytest.mark.parametrize("arguments, message", [
    (["--noise", "0.01"], "--noise applies to --measurement OUT"),
    (["--measurement", "{start}"], "--measurement must name another directory than DIR"),
    (["--measurement", "{measured}", "--noise", "-1"], "--noise must be a standard deviation"),
    (["--measurement", "{measured}", "--seed", "3"], "--seed needs --noise"),
    (["--measurement", "{other}"], "the directory is not empty; a simulated measurement goes "
     "into an empty or new directory"),
    (["--measurement", "{measured}", "--out", "{other}"], "--out applies to simulation.csv"),
], ids=["noise-alone", "onto-itself", "negative-noise", "seed-alone", "real-measurement",
        "out-too"])
def test_simulated_measurement_refusals(tmp_path, capsys, arguments, message):
    start, other = tmp_path / "start", tmp_path / "other"
    run(capsys, "init", start)
    other.mkdir()
    make_measurement(other)
    names = dict(start=start, measured=tmp_path / "measured", other=other)
    status, _, err = run(capsys, "simulate", start, *[a.format(**names) for a in arguments])
    assert status == 2 and message in err
    assert (other / "setup.toml").read_text() == SETUP_TOML


# What OUT holds before `tarvo simulate start --measurement OUT [--force]`:
# files by name, and whether an earlier simulation wrote OUT first.
FOREIGN = {
    # Curves exported by lab software, no setup.toml.
    "exported-curves": ({"curve-5uJ.csv": "z,T\n1,1\n"}, False, False),
    # A real measurement with a truth.toml of its own.
    "measurement-with-truth": ({"setup.toml": "[beam]\n", "truth.toml": "sigma_1 = 1e-18\n",
                                "curve-10uJ.csv": "z,T\n"}, False, False),
    # --force replaces only what a simulation wrote: a lab file of a curve's name stays.
    "forced-over-a-lab-file": ({"curve-20uJ.csv": "z,T\n2,1\n"}, False, True),
    # ... and a simulated file edited since.
    "forced-over-an-edited-file": ({}, True, True),
}


@pytest.mark.parametrize("files, simulated_first, force", FOREIGN.values(), ids=FOREIGN.keys())
def test_simulated_measurements_never_replace_files_they_did_not_write(
        tmp_path, capsys, files, simulated_first, force):
    start, out = tmp_path / "start", tmp_path / "out"
    run(capsys, "init", start)
    out.mkdir()
    if simulated_first:
        assert run(capsys, "simulate", start, "--measurement", out)[0] == 0
        (out / "truth.toml").write_text("sigma_1 = 1.0  # edited\n")
        files = {"truth.toml": "sigma_1 = 1.0  # edited\n"}
    for name, text in files.items():
        (out / name).write_text(text)
    before = {path.name: path.read_bytes() for path in out.iterdir()}
    status, _, err = run(capsys, "simulate", start, "--measurement", out,
                         *(["--force"] if force else []))
    assert status == 2
    assert err.startswith(f"tarvo: error: --measurement {out}: ") and err.count("\n") == 1
    assert {path.name: path.read_bytes() for path in out.iterdir()} == before


def test_forced_simulation_replaces_its_own_files_and_keeps_the_others(tmp_path, capsys):
    start, out = tmp_path / "start", tmp_path / "out"
    run(capsys, "init", start)
    assert run(capsys, "simulate", start, "--measurement", out, "--noise", "0.01", "--seed",
               "1")[0] == 0
    (out / "notes.txt").write_text("mine\n")
    (out / "fit-result.json").write_text("{}\n")
    status, _, err = run(capsys, "simulate", start, "--measurement", out, "--force")
    assert (status, err) == (0, "")
    assert (out / "notes.txt").read_text() == "mine\n"
    assert (out / "fit-result.json").read_text() == "{}\n"
    # The curves are the new (noise-free: two columns) ones.
    assert (out / "curve-5uJ.csv").read_text().splitlines()[2] == "position (mm),transmittance"


def test_init_does_not_overwrite(tmp_path, capsys):
    run(capsys, "init", tmp_path)
    before = (tmp_path / "setup.toml").read_text()
    status, _, err = run(capsys, "init", tmp_path)
    assert status == 2 and "exists already" in err
    assert (tmp_path / "setup.toml").read_text() == before


@pytest.mark.parametrize("arguments, message", [
    (["--sigmas", "1,2"], "--sigmas needs --conf-interval"),
    (["--conf-interval", "--sigmas", "1,x"], "--sigmas must be numbers separated by commas"),
    (["--conf-interval", "--sigmas", "0"], "--sigmas must lie above 0 and at most 5"),
    (["--conf-interval", "--engine", "lsoda"], "--conf-interval needs the exact engine"),
], ids=["sigmas-alone", "not-a-number", "zero", "lsoda"])
def test_interval_options_are_checked_before_the_fit(measurement_dir, capsys, arguments, message):
    status, out, err = run(capsys, "fit", measurement_dir, *arguments)
    assert status == 2 and message in err and out == ""
    assert not (measurement_dir / "fit-result.json").exists()


def test_help_lists_every_exit_status(capsys):
    from tarvo import cli

    for arguments in (["--help"], ["fit", "--help"]):
        status, out, _ = run(capsys, *arguments)
        assert status == 0
        listed = {int(line.split()[0]) for line in out.split("exit status:")[1].splitlines()
                  if line.strip()[:1].isdigit()}
        assert listed == {0, cli.EXIT_FIT_FAILED, cli.EXIT_USAGE, cli.EXIT_NOT_CONVERGED,
                          cli.EXIT_INTERRUPTED}


# A text stream that says it is a terminal.
class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, enabled, shown", [
    (Terminal, True, True), (io.StringIO, True, False), (Terminal, False, False),
], ids=["terminal", "pipe", "disabled"])
def test_progress_bar_shows_the_time_left_on_a_terminal_only(stream, enabled, shown):
    from tarvo.cluster import ProgressBar

    output = stream()
    with ProgressBar(4, "bootstrap", "replicate", enabled=enabled, delay=0.0,
                     stream=output) as advance:
        for done in range(1, 5):
            advance(done)
    text = output.getvalue()
    # tqdm's remaining-time field: "elapsed<left".
    assert (("bootstrap" in text and "/4 [" in text and "<" in text) if shown else text == "")


def test_raw_simulated_readings_fit_to_the_truth(tmp_path, capsys):
    start, raw = tmp_path / "start", tmp_path / "raw"
    assert run(capsys, "init", start)[0] == 0
    status, out, err = run(capsys, "simulate", start, "--measurement", raw, "--raw", "--noise",
                           "0.003", "--seed", "2")
    assert (status, err) == (0, "")
    assert "(mm),signal,reference" in (raw / "curve-5uJ.csv").read_text()
    status, _, err = run(capsys, "fit", raw)
    assert (status, err) == (0, "")
    document = json.loads((raw / "fit-result.json").read_text())
    assert document["curves"][0]["columns"] == ["position", "signal", "reference"]
    truth = tomllib.loads((raw / "truth.toml").read_text())
    for p in document["parameters"]:
        if p["fitted"]:
            assert abs(p["value"] - truth[p["name"]]) < 4 * p["standard_error"]


# [uncertainty]: the report prints the budget, the result file records it and
# FitResult.load reads it back; the keys of the template and the README are
# the keys the reader knows.
def test_setup_uncertainties_give_the_error_budget(measurement_dir, capsys):
    from tarvo import FitResult
    from tarvo.setup_file import KNOWN_KEYS, UNCERTAINTY_TABLE
    from tarvo.starter import TEMPLATE

    edited_setup(measurement_dir, "n_starts = 1", "n_starts = 1\n\n[uncertainty]\nw0 = 0.05\n"
                 "pulse_energy = [\"0.1 uJ\", 0.01]\nconcentration = \"0.01 mM\"\n")
    status, out, _ = run(capsys, "fit", measurement_dir)
    assert status == 0
    assert "sigma_1    " in out.split("error budget")[1]
    assert "w0 (5 %)  pulse_energy (0.1 uJ, 1 %)  concentration (0.01 mM)" in out
    document = json.loads((measurement_dir / "fit-result.json").read_text())
    budget = document["error_budget"]
    assert list(budget["quantities"]) == ["w0", "pulse_energy", "concentration"]
    entry = budget["parameters"]["sigma_1"]
    assert entry["total"] == pytest.approx(math.sqrt(entry["statistical"] ** 2 + sum(
        v ** 2 for v in entry["contributions"].values())), rel=1e-12, abs=0.0)
    loaded = FitResult.load(measurement_dir / "fit-result.json")
    assert loaded.budget.as_dict() == budget
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    for key in KNOWN_KEYS[UNCERTAINTY_TABLE]:
        assert f"# {key} = " in TEMPLATE or f"or {key} = " in TEMPLATE, key
        assert f"    {key} = " in readme or f"or {key} = " in readme, key


@pytest.mark.parametrize("table, message", [
    ("waist = 0.05", "unknown key 'waist' in [uncertainty]"),
    ("w0 = \"5 percent\"", "[uncertainty] w0: an absolute uncertainty is \"VALUE UNIT\" with "
                           "the unit one of m, mm, um, µm, nm, got '5 percent'"),
    ("pulse_energy = [0.01, 0.01, 0.01]", "[uncertainty] pulse_energy lists 3 uncertainties "
                                          "for 2 curves"),
    ("absorbance = 0.02", "[uncertainty] absorbance: [sample] gives no absorbance"),
])
def test_uncertainty_mistakes_are_one_line_errors(measurement_dir, capsys, table, message):
    edited_setup(measurement_dir, "n_starts = 1", f"n_starts = 1\n\n[uncertainty]\n{table}\n")
    status, out, err = run(capsys, "fit", measurement_dir)
    assert status == 2 and message in err and err.count("\n") == 1
