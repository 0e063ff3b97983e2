"""Kill test: `tarvo fit --out` and `tarvo batch` stopped by SIGINT and by
SIGKILL at random moments, 20 times each, on small fast problems. After every
stop each result file that exists parses and is complete (never a part of a
document or of a figure), Ctrl-C ends the run with status 130 and leaves no
temporary file, and a rerun finishes the missing work.

The moments are drawn from a seeded generator over the length of a complete
run measured first, so they fall into start-up, fitting and writing alike.
The batch runs use one cluster started by the test (a killed batch's fits go
on there, as they would on a shared cluster); the start-up of a batch's own
local cluster is interrupted in test_batch_interrupted_while_its_cluster_starts.
"""

import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from tarvo.files import DIGESTS_KEY, outdated_reason

from measurement_cases import make_measurement

# Stops per signal and command.
RUNS = 20
SEED = 20261208
SIGNALS = (signal.SIGINT, signal.SIGKILL)
# The statuses of a run stopped by Ctrl-C: 130, or killed by the signal itself
# when it arrives before the interpreter handles Ctrl-C (the shell reports 130
# as well), or 0 when the run had just finished.
INTERRUPTED = (130, -signal.SIGINT, 0)
# Bytes that end every complete PNG file (the IEND chunk and its CRC).
PNG_END = b"IEND\xaeB`\x82"
# Seconds a stopped run may take to end before the test calls it hung.
HANG_SECONDS = 60


def tarvo(*args):
    return [sys.executable, "-m", "tarvo", *map(str, args)]


# A complete run of `command`: its duration.
def timed_run(command, cwd):
    began = time.monotonic()
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return time.monotonic() - began


# Start `command`, send `sig` after `delay` seconds; the exit status and stderr.
def stopped_run(command, cwd, sig, delay):
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    time.sleep(delay)
    process.send_signal(sig)
    try:
        _, stderr = process.communicate(timeout=HANG_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError(f"{' '.join(command)} did not end {HANG_SECONDS} s after "
                             f"{sig.name} at {delay:.2f} s")
    return process.returncode, stderr


# Every result file in `directory` parses and is complete.
def assert_complete_results(directory, where):
    path = Path(directory) / "fit-result.json"
    if path.exists():
        document = json.loads(path.read_text())
        for key in ("parameters", "curves", "figure", DIGESTS_KEY):
            assert key in document, f"{where}: {path} lacks {key}"
    figure = Path(directory) / "fit.png"
    if figure.exists():
        data = figure.read_bytes()
        assert data.startswith(b"\x89PNG") and data.endswith(PNG_END), \
            f"{where}: {figure} is not a complete PNG ({len(data)} bytes)"
    for name in ("batch-summary.json",):
        summary = Path(directory) / name
        if summary.exists():
            assert "directories" in json.loads(summary.read_text())
    csv = Path(directory) / "batch-summary.csv"
    if csv.exists():
        assert csv.read_text().endswith("\n")


# Ctrl-C that stopped the interpreter's start-up or its imports, before the
# tool's code ran: Python reports it (a fatal error, or an ImportError that
# NumPy makes of the interrupt) and exits with status 1; nothing was read or
# written yet.
def interpreter_start(status, stderr):
    return status == 1 and "tarvo: error" not in stderr and (
        "init_import_site" in stderr or "KeyboardInterrupt" in stderr
        or "Error importing numpy" in stderr)


def temporaries(*directories):
    return [name for directory in directories for name in os.listdir(directory)
            if name.endswith(".tmp")]


# The stops of one command, `RUNS` per signal, each checked; failures as text.
def stop_repeatedly(command, cwd, duration, rng, check):
    problems = []
    for sig in SIGNALS:
        for run in range(RUNS):
            delay = rng.uniform(0.0, duration)
            where = f"{command[3]} {sig.name} run {run} at {delay:.2f} s"
            try:
                status, stderr = stopped_run(command, cwd, sig, delay)
                if sig == signal.SIGINT and not interpreter_start(status, stderr):
                    assert status in INTERRUPTED, f"{where}: status {status}: {stderr[-2000:]}"
                check(where, sig)
            except AssertionError as failure:
                problems.append(str(failure))
    return problems


@pytest.fixture(scope="module")
def cluster():
    pytest.importorskip("distributed")
    from tarvo.cluster import local_layout, start_local_cluster

    cluster = start_local_cluster(local_layout(workers=2))
    yield cluster
    cluster.close()


def wait_until_idle(cluster):
    from distributed import Client

    with Client(cluster.scheduler_address) as client:
        deadline = time.monotonic() + HANG_SECONDS
        while any(client.processing().values()) and time.monotonic() < deadline:
            time.sleep(0.1)


def test_fit_and_batch_killed_at_random_moments(tmp_path, cluster):
    data = tmp_path / "data"
    fit_directory = make_measurement(_made(data / "fit"))
    fit_out = _made(tmp_path / "fit-out")
    batch_directories = [make_measurement(_made(data / f"batch{k}")) for k in range(2)]
    summary = _made(tmp_path / "summary")
    fit_command = tarvo("fit", fit_directory, "--out", fit_out)
    rerun_command = tarvo("batch", *batch_directories, "--out", summary, "--scheduler",
                          cluster.scheduler_address)
    batch_command = rerun_command + ["--force"]

    # Complete runs first: an earlier result exists, and the durations set the
    # range of the stopping moments.
    durations = [timed_run(fit_command, tmp_path), timed_run(batch_command, tmp_path)]

    # Ctrl-C leaves no temporary file of the fit's own process.
    def check_fit(where, sig):
        assert_complete_results(fit_out, where)
        if sig == signal.SIGINT:
            assert temporaries(fit_out) == [], where

    def check_batch(where, sig):
        for directory in batch_directories + [summary]:
            assert_complete_results(directory, where)

    # The two series run side by side, each with its own generator.
    problems = {}
    series = [("fit", fit_command, durations[0], check_fit),
              ("batch", batch_command, durations[1], check_batch)]
    threads = [threading.Thread(target=lambda name=name, c=command, d=duration, k=check:
                                problems.setdefault(name, stop_repeatedly(
                                    c, tmp_path, d, random.Random(f"{SEED}-{name}"), k)))
               for name, command, duration, check in series]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert problems == {"fit": [], "batch": []}

    # A rerun finishes the missing work: afterwards every result is complete,
    # up to date by its digests, and no temporary file is left.
    wait_until_idle(cluster)
    assert subprocess.run(fit_command, cwd=tmp_path, capture_output=True).returncode == 0
    rerun = subprocess.run(rerun_command, cwd=tmp_path, capture_output=True, text=True,
                           timeout=300)
    assert rerun.returncode == 0, rerun.stderr
    again = subprocess.run(rerun_command, cwd=tmp_path, capture_output=True, text=True,
                           timeout=300)
    assert "0 fitted, 2 up to date, 0 failed" in again.stdout
    from tarvo.directory_fit import prepare_fit

    request = prepare_fit(fit_directory, out=fit_out)
    assert outdated_reason(json.loads((fit_out / "fit-result.json").read_text()), fit_out,
                           list(request.inputs), request.settings) is None
    assert temporaries(fit_out, summary, *batch_directories) == []


def _made(path):
    path.mkdir(parents=True)
    return path


# Ctrl-C while a batch's own local cluster starts: the start is finished and
# the cluster closed, the summary lists every directory as cancelled, status
# 130, and Dask reports no failure at exit.
def test_batch_interrupted_while_its_cluster_starts(tmp_path):
    pytest.importorskip("distributed")
    directory = make_measurement(_made(tmp_path / "run"))
    process = subprocess.Popen(tarvo("batch", directory, "--out", tmp_path / "summary",
                                     "--workers", "1"),
                               cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    first = process.stdout.readline()
    assert first.endswith("local cluster of 1 worker processes x 1 thread\n")
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=HANG_SECONDS)
    assert process.returncode == 130, stderr
    assert stderr.splitlines()[-1] == ("tarvo: interrupted; the summary holds the directories "
                                       "that finished")
    assert "Traceback" not in stderr and "Exception ignored" not in stderr
    summary = json.loads((tmp_path / "summary" / "batch-summary.json").read_text())
    assert summary["interrupted"] is True
    assert [row["status"] for row in summary["directories"]] in (["cancelled"], ["fitted"])


# Ctrl-C that a compiled module's initialisation turns into another exception
# (seen: TypeError from `import ssl`) or into an ImportError read as a missing
# package: the run still ends as interrupted, status 130, without a traceback.
@pytest.mark.parametrize("surfaces_as", [TypeError("expected a message argument"),
                                         "missing distributed"])
def test_interrupt_mangled_by_an_import_ends_as_interrupted(monkeypatch, capsys, surfaces_as):
    from tarvo import cli

    def interrupted_import():
        try:
            signal.raise_signal(signal.SIGINT)
        except KeyboardInterrupt:
            if isinstance(surfaces_as, Exception):
                raise surfaces_as from None
            return cli._fail("this needs Dask's distributed scheduler")
        raise AssertionError("Ctrl-C was not raised")

    monkeypatch.setattr(cli, "main", interrupted_import)
    previous = signal.getsignal(signal.SIGINT)
    try:
        assert cli._main_remembering_interrupts() == 130
    finally:
        signal.signal(signal.SIGINT, previous)
    assert capsys.readouterr().err.splitlines()[-1] == "tarvo: error: interrupted"



# Ctrl-C as the tool returns: the run ends with a status, never with a
# KeyboardInterrupt escaping the entry point while the interpreter shuts down
# (seen under load: a traceback, then a fatal error at finalisation).
@pytest.mark.parametrize("main_does, status", [("returns", 0), ("is interrupted", 130)])
def test_an_interrupt_as_the_tool_returns_ends_in_a_status(monkeypatch, capsys, main_does,
                                                           status):
    from tarvo import cli

    def finished():
        if main_does == "is interrupted":
            raise KeyboardInterrupt     # outside main()'s own handling
        return 0

    monkeypatch.setattr(cli, "main", finished)
    previous = signal.getsignal(signal.SIGINT)
    try:
        assert cli._main_remembering_interrupts() == status
        # After main(), until console_main ignores Ctrl-C, one is only noted.
        signal.raise_signal(signal.SIGINT)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert ("interrupted" in capsys.readouterr().err) == (status == 130)
