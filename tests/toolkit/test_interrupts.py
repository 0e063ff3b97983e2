"""Ctrl-C in the Python-level loops (bootstrap replicates, profile intervals)
and bounded bootstrap runs: replicates are handed out a few at a time, and an
interruption returns at once instead of waiting for the replicates under way."""

import _thread
import json
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from tarvo.bootstrap import (IN_FLIGHT_PER_THREAD, BootstrapProblem, run_replicates,
                             run_replicates_in_threads)

from measurement_cases import make_measurement

NAMES = ("sigma_1",)


# A refit that records which replicates started and finished, optionally
# holding each one until `release` is set.
class RecordingRefit:
    def __init__(self, release=None):
        self.started, self.finished = [], []
        self.release = release
        self.lock = threading.Lock()

    def __call__(self, transmittance):
        with self.lock:
            self.started.append(len(self.started))
        if self.release is not None:
            self.release.wait(timeout=30)
        with self.lock:
            self.finished.append(True)
        return np.array([float(transmittance[0, 0])])


def problem_with(refit):
    model = np.ones((2, 11))
    residuals = np.linspace(-0.01, 0.01, 22).reshape(2, 11)
    return BootstrapProblem(NAMES, np.array([1.0]), model, residuals, None, refit, seed=7)


# R1: a run of many replicates never has more than two per thread under way
# or waiting to be collected (on main every replicate was submitted up front).
def test_threads_take_replicates_one_at_a_time():
    refit = RecordingRefit()
    problem = problem_with(refit)
    ahead = []

    def progress(done):
        ahead.append(len(refit.started) - done)

    result = run_replicates_in_threads(problem, 400, progress, workers=2)
    assert result.succeeded == 400 and len(refit.started) == 400
    assert max(ahead) <= 2 * 2
    # The same values as one replicate after the other.
    again = run_replicates_in_threads(problem_with(RecordingRefit()), 400, workers=1)
    assert np.array_equal(result.values, again.values)


# Ctrl-C while replicates run in threads: the call returns at once, with
# the replicates under way still held (on main it waited for them to end).
def test_ctrl_c_in_threaded_replicates_returns_without_waiting():
    release = threading.Event()
    refit = RecordingRefit(release)
    problem = problem_with(refit)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            run_replicates_in_threads(problem, 1000, workers=2)
        assert len(refit.started) == 2 and refit.finished == []
    finally:
        timer.cancel()
        release.set()
    # The threads end after their replicate, without starting another.
    deadline = time.monotonic() + 30
    while len(refit.finished) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)
    assert len(refit.started) == 2


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("distributed")
    from distributed import Client

    from tarvo.cluster import local_layout, start_local_cluster

    cluster = start_local_cluster(local_layout(workers=1))
    with Client(cluster) as client:
        yield client
    cluster.close()


# R1 on a cluster: a bounded number of futures at any time (on main all of
# them were submitted before the first one ran).
def test_a_cluster_run_keeps_a_bounded_number_of_futures(client):
    problem = problem_with(lambda transmittance: np.array([float(transmittance[0, 0])]))
    in_flight = []

    def progress(done):
        in_flight.append(len(client.futures))

    result = run_replicates(client, problem, 60, progress)
    assert result.succeeded == 60
    # The problem's scattered copy, and at most two replicates per thread.
    assert max(in_flight) <= 1 + IN_FLIGHT_PER_THREAD * 1
    threaded = run_replicates_in_threads(problem, 60, workers=1)
    assert np.array_equal(result.values, threaded.values)


# Profile intervals: Ctrl-C between two model evaluations ends the walk.
def test_ctrl_c_stops_profile_intervals(monkeypatch):
    import tarvo
    from tarvo import problem
    from measurement_cases import ENERGIES, POSITIONS, noisy_curves
    from model_cases import BEAM, POPULATIONS, RSA_PARS

    result = tarvo.fit(POSITIONS, noisy_curves(), list(ENERGIES.values()), RSA_PARS,
                       vary=["sigma_1", "tau_21"], populations=POPULATIONS, t_slices=2,
                       z_slices=2, **BEAM)
    evaluations = []
    curves = problem.ZscanProblem.curves

    def counted(self, *args, **kwargs):
        evaluations.append(True)
        if len(evaluations) == 5:
            _thread.interrupt_main()
        return curves(self, *args, **kwargs)

    monkeypatch.setattr(problem.ZscanProblem, "curves", counted)
    with pytest.raises(KeyboardInterrupt):
        result.conf_interval()
    assert len(evaluations) <= 6


# The command line: Ctrl-C during a bootstrap ends with status 130 and keeps
# the fit, written before the bootstrap started, with the bootstrap listed as
# not computed.
def test_ctrl_c_during_a_bootstrap_exits_130_and_keeps_the_fit(tmp_path):
    directory = make_measurement(tmp_path)
    process = subprocess.Popen([sys.executable, "-m", "tarvo", "fit", str(directory),
                                "--bootstrap", "20000", "--seed", "1"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    # The fit takes a tenth of a second, the bootstrap minutes: the signal
    # goes once the fit is written.
    for line in process.stdout:
        if line.startswith("fit written to"):
            break
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert stderr.splitlines()[-1] == (
        f"tarvo: error: interrupted: the fit is written to {directory / 'fit-result.json'}; "
        "not computed: bootstrap (--bootstrap)")
    document = json.loads((directory / "fit-result.json").read_text())
    assert document["not_computed"] == {"bootstrap": "interrupted (Ctrl-C) before it finished"}
    assert "bootstrap" not in document and "pending" not in document
    assert not [p for p in directory.iterdir() if p.name.endswith(".tmp")]


# Ctrl-C during the profile intervals or the bootstrap of `tarvo fit`: the
# fit's report is printed and its result written before they start; the
# interruption keeps the fit and what finished, lists what did not, and a
# later run never takes the result as up to date.
@pytest.mark.parametrize("interrupted, missing", [
    ("profile_interval_document", ["profile_intervals"]),
    ("_bootstrap", ["bootstrap", "profile_intervals"]),
])
def test_ctrl_c_after_the_fit_keeps_what_finished(tmp_path, capsys, monkeypatch, interrupted,
                                                   missing):
    from tarvo import FitResult, directory_fit
    from tarvo.files import outdated_reason
    from measurement_cases import run

    directory = make_measurement(tmp_path)

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(directory_fit, interrupted, interrupt)
    status, out, err = run(capsys, "fit", directory, "--bootstrap", "8", "--seed", "1",
                           "--conf-interval")
    assert status == 130
    assert "std. error" in out and f"fit written to {directory / 'fit-result.json'}" in out
    texts = {"bootstrap": "bootstrap (--bootstrap)",
             "profile_intervals": "profile-likelihood intervals (--conf-interval)"}
    assert err.strip().endswith("not computed: " + " and ".join(texts[k] for k in missing))
    document = json.loads((directory / "fit-result.json").read_text())
    assert list(document["not_computed"]) == missing
    assert ("bootstrap" in document) == ("bootstrap" not in missing)
    assert "pending" not in document and "profile_intervals" not in document
    loaded = FitResult.load(directory / "fit-result.json")
    assert loaded.values["sigma_1"] == document["parameters"][0]["value"]
    assert outdated_reason(document, directory, document["digests"]["inputs"], {}) == (
        "it lacks what its fit was asked for (an interrupted run)")
