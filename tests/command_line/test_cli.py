"""tarvo fit DIR: input checks with one-line messages, and the files of a good fit."""

import io
import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

from tarvo import directory_fit
from tarvo.cli import main
from tarvo.cluster import ElapsedTicker
from tarvo.errors import InputError

from measurement_cases import (ENERGIES, NUM_X_PTS, make_measurement, noisy_curves, run,
                               write_curve)

def test_a_good_directory_writes_result_and_figure(measurement_dir, capsys, tmp_path_factory):
    truth = tmp_path_factory.mktemp("truth") / "truth.toml"
    truth.write_text("sigma_1 = 4e-18\n")
    # The solver route, on curves of its own model: its diagnostics summary line
    # and log file are checked too.
    make_measurement(measurement_dir, model="established")
    status, out, err = run(capsys, "fit", measurement_dir, "--engine", "lsoda", "--truth", truth)
    assert (status, err) == (0, "")
    document = json.loads((measurement_dir / "fit-result.json").read_text())
    sigma_1 = document["parameters"][0]
    assert sigma_1["name"] == "sigma_1" and sigma_1["fitted"] and sigma_1["true"] == 4e-18
    assert sigma_1["value"] == pytest.approx(4e-18, rel=0.05, abs=0)
    assert 0.0 < sigma_1["standard_error"] < 0.05 * sigma_1["value"]
    assert all(not p["fitted"] and p["standard_error"] is None and p["value"] == p["start"]
               for p in document["parameters"][1:])
    assert document["degrees_of_freedom"] == 2 * NUM_X_PTS - 1
    assert document["chi2"] == pytest.approx(document["fit_error"] ** 2, rel=1e-12)
    assert [len(c["residuals"]) for c in document["curves"]] == [NUM_X_PTS, NUM_X_PTS]
    assert (measurement_dir / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # The table shows start, fitted, error and known values with units; then the files.
    table_row = next(line for line in out.splitlines() if line.startswith("sigma_1"))
    assert table_row.split()[:3] == ["sigma_1", "cm^2", "6.0000e-18"]
    assert "determined" in table_row and "4.0000e-18" in table_row
    assert "solver messages: none" in out.splitlines()
    assert not (measurement_dir / "fit-solver-messages.log").exists()
    assert out.rstrip().splitlines()[-1] == f"figure:  {measurement_dir / 'fit.png'}"


def test_solver_messages_go_to_a_log_with_one_summary_line(measurement_dir, capsys):
    # Relaxation times of 1e-22 s make the solver report failed steps.
    for name in ("tau_32", "tau_54"):
        replace_line(measurement_dir / "setup.toml", f"{name} = 1e-12", f"{name} = 1e-22")
    (measurement_dir / "fit-solver-messages.log").write_text("left from an earlier fit\n")
    status, out, err = run(capsys, "fit", measurement_dir, "--engine", "lsoda")
    # Such times are implausible, and the checks say so; the fit still runs.
    assert status == 0
    assert all(line.startswith("tarvo: warning: [start] tau_") for line in err.splitlines())
    assert not any(line.startswith(" DLSODA-") for line in out.splitlines())
    log = (measurement_dir / "fit-solver-messages.log").read_text()
    count = sum(line.startswith(" DLSODA-") for line in log.splitlines())
    assert count > 0 and "earlier fit" not in log
    summary = [line for line in out.splitlines() if line.startswith("solver messages:")]
    assert summary == [f"solver messages: {count} ({count} convergence failures), in "
                       f"{measurement_dir / 'fit-solver-messages.log'}; many of them mean poorly "
                       "chosen start values or fitted parameters (see the documentation, \"DLSODA- "
                       "messages\")"]


# Run the tool as a separate interpreter.
def run_module(directory, **env):
    """python -m tarvo fit DIR from inside DIR (not from a source tree without the build)."""
    return subprocess.run([sys.executable, "-m", "tarvo", "fit", str(directory)], cwd=directory,
                          capture_output=True, text=True, env=dict(os.environ, **env))


def test_python_dash_m_runs_the_tool_without_progress_on_a_pipe(measurement_dir):
    done = run_module(measurement_dir, OMP_NUM_THREADS="1")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert "sigma_1" in done.stdout and "threads: 1" in done.stdout


# Replace the first occurrence of `old` in a text file.
def replace_line(path, old, new):
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


# Lines of a CSV file, header included.
def csv_rows(path):
    return path.read_text().splitlines()


# Write lines back to a CSV file.
def write_rows(path, rows):
    path.write_text("\n".join(rows) + "\n")


# Change one line of a CSV file.
def edit_row(path, index, edit):
    """Replace line `index` (0-based, the header is line 0) of a CSV file by edit(line)."""
    rows = csv_rows(path)
    rows[index] = edit(rows[index])
    write_rows(path, rows)


# Exchange two lines of a CSV file.
def swap_rows(path, i, j):
    rows = csv_rows(path)
    rows[i], rows[j] = rows[j], rows[i]
    write_rows(path, rows)


# Each case damages the good directory and names a text the one-line message must hold.
BROKEN = {
    "no-setup": (lambda d: (d / "setup.toml").unlink(), "setup.toml: file not found"),
    "missing-csv": (lambda d: (d / "high.csv").unlink(), "high.csv: file not found"),
    "three-columns": (lambda d: edit_row(d / "low.csv", 4, lambda r: r + ",0.5"),
                      "low.csv line 5: found 3 columns where line 2 has 2: every data line "
                      "needs the same columns"),
    # A reading that is not a number leaves its point out; too few left is an error.
    "nan": (lambda d: edit_row(d / "high.csv", 3, lambda r: r.split(",")[0] + ",nan"),
            "high.csv: 10 points after 1 left out; a curve needs at least 11 (far_field_points "
            "= 5 at each end and one between)"),
    "text-in-data": (lambda d: edit_row(d / "high.csv", 6, lambda r: r.split(",")[0] + ",n/a"),
                     "high.csv: 10 points after 1 left out; a curve needs at least 11"),
    "not-monotonic": (lambda d: swap_rows(d / "low.csv", 3, 4),
                      "low.csv line 5: position -15.0 mm breaks the order"),
    "too-short-for-the-far-field": (
        lambda d: write_rows(d / "high.csv", csv_rows(d / "high.csv")[:-1]),
        "high.csv: 10 points; a curve needs at least 11 (far_field_points = 5 at each end and "
        "one between)"),
    "too-few-points": (lambda d: write_rows(d / "low.csv", csv_rows(d / "low.csv")[:5]),
                       "low.csv: 4 data rows; a curve needs at least 5"),
    "bad-toml": (lambda d: replace_line(d / "setup.toml", "M2 = 1.2", "M2 = "),
                 "setup.toml: not valid TOML"),
    "typo-key": (lambda d: replace_line(d / "setup.toml", "w0 =", "w_0 ="),
                 "unknown key 'w_0' in [beam]"),
    "unknown-parameter": (lambda d: replace_line(d / "setup.toml", '["sigma_1"]', '["sigma_3"]'),
                          "unknown parameter 'sigma_3'"),
    "negative-wavelength": (lambda d: replace_line(d / "setup.toml", "532e-9", "-532e-9"),
                            "[beam]: wavelength must be positive (m)"),
    "four-populations": (lambda d: replace_line(d / "setup.toml", "[6e17, 0, 0, 0, 0]",
                                                "[6e17, 0, 0, 0]"),
                         "populations must be 5 numbers"),
    "one-time-slice": (lambda d: replace_line(d / "setup.toml", "t_slices = 2", "t_slices = 1"),
                       "t_slices must be an integer of at least 2"),
    "no-energy": (lambda d: replace_line(d / "setup.toml", "pulse_energy = 5e-6\n", ""),
                  "missing pulse_energy (J)"),
    "zero-fitted-start": (lambda d: replace_line(d / "setup.toml", "sigma_1 = 6e-18",
                                                 "sigma_1 = 0.0"),
                          "sigma_1 is fitted and must not be 0"),
    # Sizes that would overflow the module's integers, exhaust memory or run
    # for ever are refused before any work, saying why.
    "t-slices-overflow": (lambda d: replace_line(d / "setup.toml", "t_slices = 2",
                                                 "t_slices = 3000000000"),
                          "[model]: t_slices = 3000000000 is more than 1000: every residual "
                          "evaluation integrates 2 * z_slices * t_slices steps per point"),
    "t-slices-huge": (lambda d: replace_line(d / "setup.toml", "t_slices = 2",
                                             "t_slices = 2147483647"),
                      "t_slices = 2147483647 is more than 1000"),
    "z-slices-huge": (lambda d: replace_line(d / "setup.toml", "z_slices = 2",
                                             "z_slices = 1001"),
                      "z_slices = 1001 is more than 1000"),
    "starts-huge": (lambda d: replace_line(d / "setup.toml", "n_starts = 1",
                                           "n_starts = 100000000"),
                    "[fit]: n_starts = 100000000 is more than 100: every start is a complete fit"),
    "deep-nesting": (lambda d: replace_line(d / "setup.toml", "[fit]",
                                            "deep = " + "[" * 5000 + "]" * 5000 + "\n[fit]"),
                     "setup.toml: arrays or tables nested too deeply to read"),
    "invalid-utf8": (lambda d: (d / "setup.toml").write_bytes(
        (d / "setup.toml").read_bytes().replace(b"M2 = 1.2", b"M2 = 1.2 # \xe9")),
        "setup.toml line 4: not valid UTF-8 (byte 0xe9); TOML files are UTF-8"),
    "csv-1e300": (lambda d: edit_row(d / "low.csv", 2, lambda r: r.split(",")[0] + ",1e300"),
                  "low.csv line 3: transmittance 1e+300 is out of range"),
    "sigma-in-one-curve-only": (lambda d: write_rows(d / "high.csv", [
        r + (",0.004" if i else ",sigma") for i, r in enumerate(csv_rows(d / "high.csv"))]),
        "high.csv has a sigma column (standard deviation), low.csv has none: give it for every "
        "curve or for none"),
    "unnamed-third-column": (lambda d: write_rows(d / "high.csv", [
        r + ",0.004" for r in csv_rows(d / "high.csv")[1:]]),
        "high.csv: 3 columns, but neither a header line naming them nor [data] columns says "
        "what they hold"),
}


@pytest.mark.parametrize("damage, message", BROKEN.values(), ids=BROKEN.keys())
def test_broken_input_gives_one_line_and_status_2(measurement_dir, capsys, damage, message):
    damage(measurement_dir)
    status, out, err = run(capsys, "fit", measurement_dir)
    assert status == 2
    assert out == ""
    assert len(err.splitlines()) == 1 and err.startswith("tarvo: error: ")
    assert message in err
    assert not (measurement_dir / "fit-result.json").exists()


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["plot", "."], "invalid choice: 'plot'"),
    (["fit"], "the following arguments are required: DIR"),
    (["fit", ".", "--starts", "two"], "argument --starts: invalid int value: 'two'"),
    (["fit", "/nonexistent/zscan"], "/nonexistent/zscan: not a directory"),
])
def test_argument_errors_give_one_line_and_status_2(capsys, args, message):
    status, out, err = run(capsys, *args)
    assert status == 2
    assert len(err.splitlines()) == 1 and message in err


@pytest.mark.parametrize("extra, message", [
    (["--starts", "0"], "--starts must be at least 1, got 0"),
    (["--starts", "101"], "--starts = 101 is more than 100: every start is a complete fit"),
    (["--step", "2"], "--step must lie between 0 and 1"),
    (["--truth", "missing.toml"], "missing.toml: file not found"),
])
def test_bad_options_give_one_line_and_status_2(measurement_dir, capsys, extra, message):
    status, _, err = run(capsys, "fit", measurement_dir, *extra)
    assert status == 2
    assert len(err.splitlines()) == 1 and message in err


def test_unknown_parameter_in_truth_file(measurement_dir, capsys, tmp_path_factory):
    truth = tmp_path_factory.mktemp("truth") / "truth.toml"
    truth.write_text("sigma_3 = 2e-17\n")
    status, _, err = run(capsys, "fit", measurement_dir, "--truth", truth)
    assert status == 2 and "unknown parameter 'sigma_3'" in err


def test_the_truth_file_may_give_the_focus(measurement_dir, capsys, tmp_path_factory):
    truth = tmp_path_factory.mktemp("truth") / "truth.toml"
    truth.write_text("sigma_1 = 4e-18\nfocus_mm = 0.0\n")
    replace_line(measurement_dir / "setup.toml", "n_starts = 1", "n_starts = 1\nfit_focus = true")
    status, out, _ = run(capsys, "fit", measurement_dir, "--truth", truth)
    focus = json.loads((measurement_dir / "fit-result.json").read_text())["focus_mm"]
    assert status == 0 and focus["true"] == 0.0
    deviation = focus["value"] / focus["standard_error"]
    assert f"(true 0 mm, {deviation:+.1f} se)" in out


def test_profile_intervals_of_one_parameter_with_the_focus_held(measurement_dir, capsys):
    status, out, _ = run(capsys, "fit", measurement_dir, "--conf-interval")
    document = json.loads((measurement_dir / "fit-result.json").read_text())
    entry = document["profile_intervals"]["parameters"]["sigma_1"]
    (low1, high1), (low2, high2) = entry["1"], entry["2"]
    assert status == 0 and low2 < low1 < entry["value"] < high1 < high2
    assert "profile-likelihood intervals" in out


def test_a_model_that_does_not_fit_stops_a_strict_fit(measurement_dir, capsys):
    # Curves divided by their far field (41 points each), fitted as if shifted
    # to a baseline.
    positions = np.linspace(-25.0, 25.0, 41)
    for name, row in zip(ENERGIES, noisy_curves(x=positions)):
        write_curve(measurement_dir / name, positions, row)
    args = ("fit", measurement_dir, "--normalisation", "shift")
    status, _, err = run(capsys, *args)
    assert status == 0 and "warning: the model does not describe the data" in err
    assert "misfit" in [w["check"] for w in json.loads(
        (measurement_dir / "fit-result.json").read_text())["warnings"]]
    status, _, err = run(capsys, *args, "--strict")
    assert status == 2 and "error: the model does not describe the data" in err
    # The right normalisation fits.
    status, _, err = run(capsys, "fit", measurement_dir, "--strict")
    assert (status, err) == (0, "")


def test_broken_input_through_the_console_script_has_no_traceback(tmp_path):
    done = run_module(tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"tarvo: error: {tmp_path / 'setup.toml'}: file not found\n"


# A text stream that claims to be a terminal.
class FakeTerminal(io.StringIO):
    # Always a terminal.
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, shows", [(FakeTerminal(), True), (io.StringIO(), False)],
                         ids=["terminal", "pipe"])
def test_elapsed_time_shows_on_a_terminal_only(stream, shows):
    with ElapsedTicker("fitting, 3 starts", stream=stream, interval=0.01):
        pass
    text = stream.getvalue()
    if shows:
        assert text.startswith("\rfitting, 3 starts: 0 s elapsed")
        # The line is blanked at the end.
        assert text.endswith("\r") and text.rsplit("\r", 2)[-2].strip() == ""
    else:
        assert text == ""


# Set-up values at the ends of the doubles, fitted with --force and
# simulated: one-line errors (or a result), never a traceback or a
# RuntimeWarning with its source line (on main both leaked).
@pytest.mark.parametrize("old, new", [
    ("sample_width = 0.1", "sample_width = 1e300"),
    ("sample_width = 0.1", "sample_width = 1e-300"),
    ("populations = [6e17", "populations = [1e300"),
    ("populations = [6e17", "populations = [1e-300"),
    ("w0 = 20e-6", "w0 = 1e-300"),
    ("w0 = 20e-6", "w0 = 1e-160"),
    ("wavelength = 532e-9", "wavelength = 1e300"),
    ("sigma_1 = 6e-18", "sigma_1 = 1e300"),
    ("tau = 4e-9", "tau = 1e-300"),
], ids=lambda text: text.split(" = ")[-1] if " = " in text else text)
def test_extreme_set_up_values_end_in_one_line(measurement_dir, capsys, old, new):
    replace_line(measurement_dir / "setup.toml", old, new)
    for arguments in (["fit", measurement_dir, "--force"], ["simulate", measurement_dir]):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            status, _, err = run(capsys, *arguments)
        assert status in (0, 1, 2, 3)
        assert all(line.startswith("tarvo: ") for line in err.splitlines()), err


# What the fit refuses as input is a one-line set-up error (exit 2, the
# set-up file named); any other error inside it is a fault of the run and is
# not passed off as one.
@pytest.mark.parametrize("raised, status", [(InputError("w0 is wrong"), 2),
                                            (ValueError("bug"), None)])
def test_only_input_errors_become_set_up_errors(measurement_dir, capsys, monkeypatch, raised,
                                                 status):
    def refuse(*args, **kwargs):
        raise raised

    monkeypatch.setattr(directory_fit, "fit", refuse)
    if status is None:
        with pytest.raises(ValueError, match="bug"):
            main(["fit", str(measurement_dir)])
        return
    got, _, err = run(capsys, "fit", measurement_dir)
    assert got == status and err.strip().endswith("setup.toml: w0 is wrong")
    assert len(err.strip().splitlines()) == 1
