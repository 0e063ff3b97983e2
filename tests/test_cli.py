"""tarvo fit DIR: input checks with one-line messages, and the files of a good fit."""

import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from tarvo import simulate
from tarvo.cli import main
from tarvo.progress import ElapsedTicker

from model_cases import BEAM, POPULATIONS, RSA_PARS

NUM_X_PTS = 11
ENERGIES = {"low.csv": 5e-6, "high.csv": 2e-5}

SETUP_TOML = """\
[beam]
wavelength = 532e-9
w0 = 20e-6
M2 = 1.2
tau = 4e-9

[sample]
sample_width = 0.1
populations = [6e17, 0, 0, 0, 0]

[model]
t_slices = 2
z_slices = 2

[[curve]]
file = "low.csv"
pulse_energy = 5e-6

[[curve]]
file = "high.csv"
pulse_energy = 2e-5

[start]
sigma_1 = 6e-18
sigma_2 = 2e-17
sigma_4 = 6e-17
tau_21 = 2e-9
tau_24 = 1.5e-9
tau_32 = 1e-12
tau_41 = 1e-6
tau_54 = 1e-12

[fit]
parameters = ["sigma_1"]
n_starts = 1
"""


# A CSV file of one curve with the header line.
def write_curve(path, x, y):
    path.write_text("position_mm,normalised_transmittance\n"
                    + "".join(f"{float(a)!r},{float(b)!r}\n" for a, b in zip(x, y)))


@pytest.fixture
def measurement_dir(tmp_path):
    """A small, cheap measurement directory: two curves of 11 points."""
    x = np.linspace(-25.0, 25.0, NUM_X_PTS)
    model = simulate(x, list(ENERGIES.values()), RSA_PARS,
                     **dict(BEAM, populations=POPULATIONS, t_slices=2, z_slices=2))
    noise = 1.0 + 0.004 * np.random.default_rng(3).standard_normal(model.shape)
    for name, row in zip(ENERGIES, model * noise):
        write_curve(tmp_path / name, x, row)
    (tmp_path / "setup.toml").write_text(SETUP_TOML)
    return tmp_path


# Run the tool in-process.
def run(capsys, *args):
    """main(args): exit status, stdout, stderr."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


def test_a_good_directory_writes_result_and_figure(measurement_dir, capsys, tmp_path_factory):
    truth = tmp_path_factory.mktemp("truth") / "truth.toml"
    truth.write_text("sigma_1 = 4e-18\n")
    status, out, err = run(capsys, "fit", measurement_dir, "--truth", truth)
    assert (status, err) == (0, "")
    document = json.loads((measurement_dir / "fit-result.json").read_text())
    sigma_1 = document["parameters"][0]
    assert sigma_1["name"] == "sigma_1" and sigma_1["fitted"] and sigma_1["true"] == 4e-18
    assert sigma_1["value"] == pytest.approx(4e-18, rel=0.05)
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
    assert "fitted" in table_row and "4.0000e-18" in table_row
    assert "solver messages: none" in out.splitlines()
    assert not (measurement_dir / "fit-solver-messages.log").exists()
    assert out.rstrip().splitlines()[-1] == f"figure:  {measurement_dir / 'fit.png'}"


def test_solver_messages_go_to_a_log_with_one_summary_line(measurement_dir, capsys):
    # Relaxation times of 1e-22 s make the solver report failed steps.
    for name in ("tau_32", "tau_54"):
        replace_line(measurement_dir / "setup.toml", f"{name} = 1e-12", f"{name} = 1e-22")
    (measurement_dir / "fit-solver-messages.log").write_text("left from an earlier fit\n")
    status, out, err = run(capsys, "fit", measurement_dir)
    assert (status, err) == (0, "")
    assert not any(line.startswith(" DLSODA-") for line in out.splitlines())
    log = (measurement_dir / "fit-solver-messages.log").read_text()
    count = sum(line.startswith(" DLSODA-") for line in log.splitlines())
    assert count > 0 and "earlier fit" not in log
    summary = [line for line in out.splitlines() if line.startswith("solver messages:")]
    assert summary == [f"solver messages: {count} ({count} convergence failures), in "
                       f"{measurement_dir / 'fit-solver-messages.log'}; many of them mean poorly "
                       "chosen start values or fitted parameters (see README, \"DLSODA- "
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
                      "low.csv line 5: expected 2 columns (position in mm, normalised "
                      "transmittance), found 3"),
    "nan": (lambda d: edit_row(d / "high.csv", 3, lambda r: r.split(",")[0] + ",nan"),
            "high.csv line 4: values must be finite"),
    "text-in-data": (lambda d: edit_row(d / "high.csv", 6, lambda r: r.split(",")[0] + ",n/a"),
                     "high.csv line 7: not a number"),
    "not-monotonic": (lambda d: swap_rows(d / "low.csv", 3, 4),
                      "low.csv line 5: position -15.0 mm breaks the order"),
    "sizes-differ": (lambda d: write_rows(d / "high.csv", csv_rows(d / "high.csv")[:-1]),
                     "high.csv has 10 points, low.csv has 11: all curves need the same number "
                     "of points"),
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
