"""Bounded inputs: every input file is read as a regular file with a hard byte
cap, every count has one range checked before any work, a focus start outside
the scan and an absurd bootstrap are refused up front, each with one line and
exit status 2 (ValueError from the Python API)."""

import json
import os
import resource
import socket
import subprocess
import sys

import numpy as np
import pytest

import tarvo
from tarvo.bootstrap import MAX_REPLICATES
from tarvo.cli import main
from tarvo.counts import COUNTS, check_count
from tarvo.engine import MAX_RADIAL_POINTS
from tarvo.files import InputError
from tarvo.files import read_input_bytes

from measurement_cases import ENERGIES, POSITIONS, make_measurement, noisy_curves, run
from model_cases import BEAM, POPULATIONS, RSA_PARS

# Address space of a tool run in a subprocess: a reader that ignores its cap
# fails with MemoryError there instead of filling the machine's memory.
ADDRESS_SPACE = 3 << 30


# Run `tarvo ARGS` in a subprocess with a bounded address space; (status, stderr).
def run_bounded(*args, cwd):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))

    # AddressSanitizer reserves far more address space than the limit.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    done = subprocess.run([sys.executable, "-m", "tarvo", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120,
                          preexec_fn=None if sanitized else limit)
    return done.returncode, done.stderr


# Changes of a measurement directory that the tool must refuse before fitting,
# and the one line it says. (C1: a field longer than the csv module's limit;
# C2: a count beyond its range; W1: a focus start outside the scan; R1: a
# bootstrap beyond its bound.)
def _long_field(d):
    with open(d / "low.csv", "a") as stream:
        stream.write("1.0," + "7" * 140_000 + "\n")


def _huge_radial_points(d):
    text = (d / "setup.toml").read_text()
    (d / "setup.toml").write_text(text.replace("z_slices = 2\n", "z_slices = 2\nvariant = "
                                               "\"energy\"\nradial_points = 10000000000\n"))


def _focus_in_micrometres(d):
    text = (d / "setup.toml").read_text()
    (d / "setup.toml").write_text(text.replace("n_starts = 1\n", "n_starts = 1\nfit_focus = true\n"
                                               "focus_mm = 400\n"))


def _fixed_focus_outside(d):
    text = (d / "setup.toml").read_text()
    (d / "setup.toml").write_text(text.replace("n_starts = 1\n", "n_starts = 1\nfocus_mm = -31\n"))


def _integer_of_5000_digits(d):
    text = (d / "setup.toml").read_text()
    (d / "setup.toml").write_text(text.replace("n_starts = 1", "n_starts = " + "7" * 5000))


REFUSED = [
    ("C1 field of 140,000 characters", _long_field, (),
     "{d}/low.csv line 13: 140004 characters; a line of a curve file holds two or three numbers "
     "(limit 10000): is it the right file?"),
    ("C2 radial_points = 10^10", _huge_radial_points, (),
     "{d}/setup.toml [model]: radial_points must be an integer from 1 to 64, got 10000000000"),
    ("W1 focus start 400 mm on a 25 mm scan", _focus_in_micrometres, (),
     "{d}/setup.toml [fit] focus_mm: 400 mm lies outside the scanned range -25 to 25 mm "
     "(positions and focus are in mm)"),
    ("W1 fixed focus outside the scan", _fixed_focus_outside, (),
     "{d}/setup.toml [fit] focus_mm: -31 mm lies outside the scanned range -25 to 25 mm "
     "(positions and focus are in mm)"),
    ("integer of 5000 digits (found by the readers' fuzz test)", _integer_of_5000_digits, (),
     "{d}/setup.toml: holds an integer of thousands of digits; no set-up value needs more than "
     "a few"),
    ("R1 --bootstrap 10^8", lambda d: None, ("--bootstrap", "100000000"),
     f"--bootstrap = 100000000 is more than {MAX_REPLICATES}: every replicate is a complete fit; "
     "a few thousand give 95 % intervals to their second digit"),
]


@pytest.mark.parametrize("change, extra, message", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_refused_before_the_fit_with_one_line(tmp_path, capsys, change, extra, message):
    directory = make_measurement(tmp_path)
    change(directory)
    status, stdout, stderr = run(capsys, "fit", directory, *extra)
    assert (status, stderr) == (2, f"tarvo: error: {message.format(d=directory)}\n")
    assert "Fitting" not in stdout
    assert not (directory / "fit-result.json").exists()


# Files that are not regular files, in place of a curve file or setup.toml
# (C3: a FIFO blocked the read for ever; C4: /dev/zero behind a symbolic link
# passed the size check and filled the memory).
def _fifo(path):
    os.mkfifo(path)
    return "a FIFO (named pipe)"


def _dev_zero(path):
    os.symlink("/dev/zero", path)
    return "a character device"


def _directory(path):
    path.mkdir()
    return "a directory"


def _socket(path):
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(path))
    return None   # kept open by nobody: the path stays a socket


@pytest.mark.parametrize("name", ["low.csv", "setup.toml"])
@pytest.mark.parametrize("make", [_fifo, _dev_zero, _directory])
def test_a_file_that_is_not_regular_is_refused_with_its_kind(tmp_path, name, make):
    directory = make_measurement(tmp_path)
    (directory / name).unlink()
    kind = make(directory / name)
    status, stderr = run_bounded("fit", directory, cwd=tmp_path)
    assert (status, stderr) == (2, f"tarvo: error: {directory / name}: is {kind}, not a regular "
                                   "file; give the file itself\n")


def test_a_socket_is_refused(tmp_path):
    path = tmp_path / "curve.csv"
    _socket(path)
    with pytest.raises(InputError, match="is not a regular file|is a socket"):
        read_input_bytes(path, 100, "test")


# The reader asks the system for at most limit + 1 bytes, whatever the size:
# a sparse file of a gigabyte costs one small read.
def test_the_reader_reads_at_most_limit_plus_one_bytes(tmp_path, monkeypatch):
    path = tmp_path / "big.csv"
    with open(path, "wb") as stream:
        stream.truncate(1 << 30)
    requested = []
    real_read = os.read

    def counting_read(fd, count):
        requested.append(count)
        return real_read(fd, count)

    monkeypatch.setattr(os, "read", counting_read)
    with pytest.raises(InputError) as refused:
        read_input_bytes(path, 1000, "a test file is small")
    assert str(refused.value) == (f"{path}: more than 1000 bytes; a test file is small (limit "
                                  "1000 bytes): is it the right file?")
    assert sum(requested) <= 1001
    monkeypatch.undo()
    path.write_bytes(b"x" * 1000)
    assert read_input_bytes(path, 1000, "a test file is small") == b"x" * 1000


# The Python API refuses the same inputs with ValueError before any work.
def _fit(**changes):
    arguments = dict(positions=POSITIONS, transmittance=noisy_curves(),
                     pulse_energy=list(ENERGIES.values()), params=RSA_PARS, vary=["sigma_1"],
                     populations=POPULATIONS, t_slices=2, z_slices=2, **BEAM)
    arguments.update(changes)
    return tarvo.fit(**arguments)


@pytest.mark.parametrize("changes, message", [
    (dict(model="energy", radial_points=10_000_000_000),
     "radial_points must lie between 1 and 64, got 10000000000"),
    (dict(model="energy", radial_points=MAX_RADIAL_POINTS + 1),
     "radial_points must lie between 1 and 64, got 65"),
    (dict(t_slices=10**12), "t_slices = 1000000000000 is more than 1000"),
    (dict(n_starts=10**9), "n_starts = 1000000000 is more than 100"),
])
def test_api_counts_out_of_range_raise_value_error(changes, message):
    with pytest.raises(ValueError, match=message):
        _fit(**changes)


def test_api_focus_start_outside_the_scan_raises_value_error():
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=["sigma_1"])
    params.add("focus", 400.0, vary=True)
    with pytest.raises(ValueError, match=r"^focus: start value 400 mm lies outside the scanned "
                                         r"range -25 to 25 mm"):
        _fit(params=params, vary=None)


def test_api_bootstrap_beyond_its_bound_raises_before_any_work():
    result = _fit()
    with pytest.raises(ValueError, match=f"more than {MAX_REPLICATES}"):
        result.bootstrap(100_000_000)


# The table's largest radial count is the engine's own limit: one more is
# refused by the engine itself.
def test_the_radial_bound_is_the_engines():
    x = np.tile(POSITIONS, (1, 1))
    arguments = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2,
                     t_slices=2, z_slices=2, variant="energy")
    from tarvo import _native
    _native.exact_model(x, [5e-6], POPULATIONS, RSA_PARS, radial_points=MAX_RADIAL_POINTS,
                        **arguments)
    with pytest.raises(ValueError, match="radial_points must lie in 0..64"):
        _native.exact_model(x, [5e-6], POPULATIONS, RSA_PARS,
                            radial_points=MAX_RADIAL_POINTS + 1, **arguments)


@pytest.mark.parametrize("name", sorted(COUNTS))
def test_every_count_refuses_one_beyond_each_end(name):
    bounds = COUNTS[name]
    assert check_count(name, bounds.least) == bounds.least
    assert check_count(name, bounds.most) == bounds.most
    with pytest.raises(InputError, match=f"^{name} must be an integer of at least "
                                         f"{bounds.least}, got {bounds.least - 1}$"):
        check_count(name, bounds.least - 1)
    with pytest.raises(InputError, match=f"^{name} = {bounds.most + 1} is more than "
                                         f"{bounds.most}: "):
        check_count(name, bounds.most + 1)
    with pytest.raises(InputError, match="must be an integer"):
        check_count(name, True)


# Reading a result back goes through the same reader: a FIFO is refused at
# once instead of blocking.
def test_loading_a_result_from_a_fifo_is_refused(tmp_path):
    os.mkfifo(tmp_path / "fit-result.json")
    with pytest.raises(ValueError, match="is a FIFO \\(named pipe\\), not a regular file"):
        tarvo.FitResult.load(tmp_path / "fit-result.json")


# A document of `tarvo fit`, saved once for the malformed copies below.
@pytest.fixture(scope="module")
def result_document(tmp_path_factory):
    directory = make_measurement(tmp_path_factory.mktemp("result"))
    assert main(["fit", str(directory)]) == 0
    return json.loads((directory / "fit-result.json").read_text())


# Malformed result documents: (key path, new value or DELETE) and the start
# of the message. On main 9 such documents raised KeyError, TypeError or
# IndexError, and "false" read as converged.
DELETE = object()
MALFORMED = {
    "no-setup": (("setup",), DELETE, "setup is missing"),
    "tau-text": (("setup", "tau_s"), "4e-9", "setup.tau_s must be a finite number, got '4e-9'"),
    "populations-short": (("setup", "populations_cm-3"), [1.0], "setup.populations_cm-3 must be "
                          "a list of 5 numbers"),
    "t-slices-float": (("setup", "t_slices"), 2.5, "setup.t_slices must be an integer of at "
                       "least 1"),
    "model-unknown": (("model",), "other", "model must be one of 'energy', 'established'"),
    "parameters-not-list": (("parameters",), {"a": 1}, "parameters must be a list"),
    "parameter-not-table": (("parameters", 0), 3, "parameters[0] must be a table"),
    "parameter-unknown": (("parameters", 0, "name"), "sigma_9", "parameters[0].name must be one "
                          "of"),
    "value-nan": (("parameters", 0, "value"), float("nan"), "parameters[0].value must be a "
                  "finite number"),
    "value-text": (("parameters", 0, "value"), "abc", "parameters[0].value must be a finite "
                   "number, got 'abc'"),
    "fitted-text": (("parameters", 0, "fitted"), "yes", "parameters[0].fitted must be true or "
                    "false"),
    "converged-text": (("converged",), "false", "converged must be true or false, got 'false'"),
    "focus-missing-value": (("focus_mm", "value"), DELETE, "focus_mm.value is missing"),
    "covariance-ragged": (("covariance", "matrix"), [[1.0, 2.0]], "covariance.matrix[0] must be "
                          "a list of 1 numbers"),
    "covariance-unknown-name": (("covariance", "parameters"), ["nope"], "covariance.parameters "
                                "must be a list of the parameters' names"),
    "correlation-missing": (("correlation",), DELETE, "correlation is missing"),
    "curves-empty": (("curves",), [], "curves must be a list of curves"),
    "curve-short-model": (("curves", 1, "model"), [1.0], "curves[1].model must be a list of 11 "
                          "numbers"),
    "curve-energy-text": (("curves", 0, "pulse_energy_J"), "5 uJ", "curves[0].pulse_energy_J "
                          "must be a finite number"),
    "bounds-scalar": (("bounds", "sigma_1"), 1.0, "bounds.sigma_1 must be a list of 2 numbers"),
    "nfev-negative": (("nfev",), -1, "nfev must be an integer of at least 0"),
    "notes-numbers": (("notes",), [1], "notes must be a list of strings"),
}


@pytest.mark.parametrize("keys, value, message", MALFORMED.values(), ids=MALFORMED.keys())
def test_loading_a_malformed_result_names_the_key(result_document, tmp_path, keys, value,
                                                  message):
    document = json.loads(json.dumps(result_document))
    target = document
    for key in keys[:-1]:
        target = target[key]
    if value is DELETE:
        del target[keys[-1]]
    else:
        target[keys[-1]] = value
    path = tmp_path / "fit-result.json"
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError) as refused:
        tarvo.FitResult.load(path)
    assert str(refused.value).startswith(f"{path}: {message}")
    # The document as written loads.
    path.write_text(json.dumps(result_document))
    assert tarvo.FitResult.load(path).success is True
