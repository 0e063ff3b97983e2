"""tarvo batch on a Dask cluster, and bootstrap replicates: same results as tarvo fit,
error rows, skipping of finished directories, cancelling, reproducible resampling."""

import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import tarvo

pytest.importorskip("distributed")

from tarvo import simulate
from tarvo.batch import (CANCELLED, FAILED, FITTED, FITTED_WITH_WARNINGS, KEPT, NOT_CONVERGED,
                         UP_TO_DATE, row_from_document,
                         collect_directories, run_batch, write_summary)
from tarvo.bootstrap import fit_problem, replicate_rng, resample, run_replicate
from tarvo.directory_fit import prepare_fit
from tarvo.cluster import local_layout, start_local_cluster
from tarvo.files import InputError

from measurement_cases import ENERGIES, NUM_X_PTS, SETUP_TOML, run, write_curve
from model_cases import BEAM, POPULATIONS, RSA_PARS

# Keys of fit-result.json that differ between two runs of the same fit: the
# path as given, the clock and the command line.
RUN_KEYS = ("directory", "fit_seconds", "provenance")


# A small measurement directory (two curves of 11 points, one fitted parameter).
def make_directory(path, noise_seed):
    path.mkdir(parents=True)
    x = np.linspace(-25.0, 25.0, NUM_X_PTS)
    model = simulate(x, list(ENERGIES.values()), RSA_PARS,
                     **dict(BEAM, populations=POPULATIONS, t_slices=2, z_slices=2),
                     model="energy")
    noise = 1.0 + 0.004 * np.random.default_rng(noise_seed).standard_normal(model.shape)
    for name, row in zip(ENERGIES, model * noise):
        write_curve(path / name, x, row)
    (path / "setup.toml").write_text(SETUP_TOML)
    return path


@pytest.fixture(scope="module")
def cluster():
    """A local cluster of two single-threaded worker processes, made as tarvo batch makes it."""
    cluster = start_local_cluster(local_layout(workers=2))
    yield cluster
    cluster.close()


@pytest.fixture
def client(cluster):
    from distributed import Client

    with Client(cluster.scheduler_address) as client:
        yield client


@pytest.fixture
def three_directories(tmp_path):
    """Two good directories and one whose second curve file is missing, listed in a file."""
    good = [make_directory(tmp_path / "data" / name, seed)
            for name, seed in (("day1", 3), ("day2", 4))]
    broken = make_directory(tmp_path / "data" / "day3", 5)
    (broken / "high.csv").unlink()
    listing = tmp_path / "data" / "runs.txt"
    listing.write_text("# runs of the week\nday1\n\nday2\nday3\nday1\n")
    return good, broken, listing


# A fit-result.json without the keys that change from run to run.
def stable_result(directory):
    document = json.loads((directory / "fit-result.json").read_text())
    return {key: value for key, value in document.items() if key not in RUN_KEYS}


def test_batch_results_equal_tarvo_fit_and_a_broken_directory_gets_an_error_row(
        cluster, three_directories, tmp_path, capsys):
    good, broken, listing = three_directories
    # The same directories fitted one by one with tarvo fit, elsewhere.
    copies = []
    for directory in good:
        copy = tmp_path / "alone" / directory.name
        shutil.copytree(directory, copy)
        assert run(capsys, "fit", copy)[0] == 0
        copies.append(copy)

    out = tmp_path / "summary"
    status, stdout, _ = run(capsys, "batch", listing, "--out", out,
                            "--scheduler", cluster.scheduler_address)
    assert status == 1   # one directory failed
    assert "2 fitted, 0 up to date, 1 failed" in stdout
    for directory, copy in zip(good, copies):
        # Bit for bit the same fit, errors, residuals and figure.
        assert stable_result(directory) == stable_result(copy)
        assert (directory / "fit.png").read_bytes() == (copy / "fit.png").read_bytes()

    summary = json.loads((out / "batch-summary.json").read_text())
    rows = summary["directories"]
    assert [row["status"] for row in rows] == [FITTED, FITTED, FAILED]
    assert summary["counts"] == {FITTED: 2, FITTED_WITH_WARNINGS: 0, NOT_CONVERGED: 0,
                                 UP_TO_DATE: 0, KEPT: 0, FAILED: 1, CANCELLED: 0}
    assert rows[2]["message"] == f"{broken / 'high.csv'}: file not found"
    for row, directory in zip(rows, good):
        fitted = json.loads((directory / "fit-result.json").read_text())["parameters"][0]
        assert row["parameters"] == {"sigma_1": {"value": fitted["value"],
                                                 "standard_error": fitted["standard_error"]}}
        assert row["engine"] == "exact"
    csv_lines = (out / "batch-summary.csv").read_text().splitlines()
    assert csv_lines[0].split(",")[-2:] == ["sigma_1", "sigma_1_se"]
    assert csv_lines[1].split(",")[:2] == [str(good[0]), FITTED]
    assert csv_lines[1].split(",")[-2] == repr(rows[0]["parameters"]["sigma_1"]["value"])
    assert csv_lines[3].split(",")[1:3] == [FAILED, rows[2]["message"]]


def test_rerun_skips_up_to_date_directories_and_refits_changed_or_forced_ones(
        cluster, three_directories, tmp_path, capsys):
    good, broken, listing = three_directories
    address = cluster.scheduler_address
    out = tmp_path / "summary"
    assert run(capsys, "batch", listing, "--out", out, "--scheduler", address)[0] == 1

    # Nothing changed: the good directories are not fitted again.
    stamps = [(d / "fit-result.json").stat().st_mtime_ns for d in good]
    _, stdout, _ = run(capsys, "batch", listing, "--out", out, "--scheduler", address)
    assert "0 fitted, 2 up to date, 1 failed" in stdout
    assert [(d / "fit-result.json").stat().st_mtime_ns for d in good] == stamps
    rows = json.loads((out / "batch-summary.json").read_text())["directories"]
    assert [row["status"] for row in rows] == [UP_TO_DATE, UP_TO_DATE, FAILED]
    assert rows[0]["parameters"]["sigma_1"]["value"] is not None

    # A file touched but not changed leaves its result up to date (digests, not times).
    os.utime(good[1] / "low.csv")
    assert (good[1] / "low.csv").stat().st_mtime_ns > stamps[1]
    _, stdout, _ = run(capsys, "batch", listing, "--out", out, "--scheduler", address)
    assert "0 fitted, 2 up to date, 1 failed" in stdout

    # A changed curve file makes its directory stale, even when its time says
    # it is older than the result; --force refits all.
    before = (good[1] / "low.csv").stat()
    with open(good[1] / "low.csv", "a") as stream:
        stream.write("# re-measured\n")
    os.utime(good[1] / "low.csv", ns=(before.st_atime_ns, before.st_mtime_ns - 10**10))
    _, stdout, _ = run(capsys, "batch", listing, "--out", out, "--scheduler", address)
    assert "1 fitted, 1 up to date, 1 failed" in stdout
    _, stdout, _ = run(capsys, "batch", listing, "--out", out, "--scheduler", address, "--force")
    assert "2 fitted, 0 up to date, 1 failed" in stdout

    # Asking for a bootstrap that the results lack refits them too.
    _, stdout, _ = run(capsys, "batch", *good, "--out", out, "--scheduler", address,
                       "--bootstrap", "4", "--seed", "1")
    assert "2 fitted" in stdout
    _, stdout, _ = run(capsys, "batch", *good, "--out", out, "--scheduler", address,
                       "--bootstrap", "4", "--seed", "1")
    assert "0 fitted, 2 up to date" in stdout


# A result with profile intervals or bootstrap draws is never replaced by one
# with fewer unless --force asks: the batch keeps it and says so (without
# starting a cluster); asking for the same intervals finds it up to date.
def test_batch_keeps_richer_results_unless_forced(cluster, tmp_path, capsys):
    directory = make_directory(tmp_path / "day1", 3)
    out = tmp_path / "summary"
    assert run(capsys, "fit", directory, "--conf-interval", "--bootstrap", "6",
               "--seed", "1")[0] == 0
    written = (directory / "fit-result.json").read_bytes()
    for arguments, kept, reason in (
            (["--bootstrap", "3", "--seed", "1", "--conf-interval"], "6 bootstrap replicates",
             "the bootstrap asked for differs"),
            (["--bootstrap", "6", "--seed", "2", "--sigmas", "1", "--conf-interval"],
             "profile intervals at 2 sigma", "the settings changed"),
            ([], "profile intervals at 1, 2 sigma and 6 bootstrap replicates",
             "the settings changed")):
        status, stdout, _ = run(capsys, "batch", directory, "--out", out, *arguments)
        assert status == 0 and "0 fitted, 0 up to date, 0 failed, 1 kept" in stdout
        row = json.loads((out / "batch-summary.json").read_text())["directories"][0]
        assert row["status"] == KEPT
        assert row["message"] == (f"kept fit-result.json: it has {kept} that this run would not "
                                  f"compute (not up to date: {reason}); --force replaces it")
        assert (directory / "fit-result.json").read_bytes() == written
    # A bootstrap the batch does not ask for stays: the result is up to date.
    for arguments in (["--conf-interval", "--bootstrap", "6", "--seed", "1"],
                      ["--conf-interval"]):
        status, stdout, _ = run(capsys, "batch", directory, "--out", out, *arguments)
        assert "0 fitted, 1 up to date" in stdout
    status, stdout, _ = run(capsys, "batch", directory, "--out", out, "--force",
                            "--scheduler", cluster.scheduler_address)
    assert "1 fitted" in stdout
    document = json.loads((directory / "fit-result.json").read_text())
    assert "profile_intervals" not in document and "bootstrap" not in document


def test_interruption_cancels_outstanding_fits_and_keeps_the_finished_ones(client, tmp_path):
    directories = [make_directory(tmp_path / f"run{k}", k) for k in range(5)]
    seen = []

    # Ctrl-C arrives while the batch waits, right after the first result.
    def interrupt(row):
        seen.append(row)
        raise KeyboardInterrupt

    outcome = run_batch(client, directories, on_row=interrupt)
    assert outcome.interrupted
    statuses = [row["status"] for row in outcome.rows]
    assert statuses.count(FITTED) >= 1 and set(statuses) <= {FITTED, CANCELLED}
    assert seen[0] in outcome.rows
    for row, directory in zip(outcome.rows, directories):
        assert row["status"] == CANCELLED or (directory / "fit-result.json").exists()
    csv_path, json_path = write_summary(tmp_path / "out", outcome, "test")
    summary = json.loads(json_path.read_text())
    assert summary["interrupted"] is True
    assert sum(summary["counts"].values()) == 5
    assert len(csv_path.read_text().splitlines()) == 6


def test_directories_come_from_arguments_and_list_files(three_directories, tmp_path):
    good, broken, listing = three_directories
    # Relative to the list file, comments and blanks skipped, each directory once.
    assert collect_directories([listing]) == [good[0], good[1], broken]
    assert collect_directories([good[1], listing]) == [good[1], good[0], broken]
    with pytest.raises(InputError, match="nowhere: neither a directory nor a file listing"):
        collect_directories([tmp_path / "nowhere"])
    empty = tmp_path / "empty.txt"
    empty.write_text("# nothing yet\n")
    with pytest.raises(InputError, match="empty.txt: lists no directories"):
        collect_directories([empty])


@pytest.mark.parametrize("args, message", [
    (["fit", "{d}", "--seed", "3"], "--seed needs --bootstrap N"),
    (["fit", "{d}", "--scheduler", "tcp://localhost:1"], "--scheduler needs --bootstrap N"),
    (["fit", "{d}", "--bootstrap", "1"], "--bootstrap must be an integer of at least 2, got 1"),
    (["fit", "{d}", "--bootstrap", "10", "--seed", "-1"], "--seed must be an integer of at least 0"),
    (["batch", "{d}", "--workers", "0"], "--workers must be at least 1, got 0"),
    (["batch", "{d}", "--workers", "2", "--scheduler", "tcp://localhost:1"],
     "--workers sizes the local cluster"),
])
def test_bad_batch_and_bootstrap_options_give_one_line(tmp_path, capsys, args, message):
    directory = make_directory(tmp_path / "m", 1)
    status, _, err = run(capsys, *[a.format(d=directory) for a in args])
    assert status == 2
    assert err.startswith("tarvo: error: ") and len(err.splitlines()) == 1 and message in err


def test_resampling_draws_each_curves_own_residuals_from_a_stream_per_replicate():
    model = np.array([[1.0, 1.0, 1.0, 1.0], [2.0, 2.0, 2.0, 2.0]])
    residuals = np.array([[0.1, 0.2, 0.3, 0.4], [-1.0, -2.0, -3.0, -4.0]])
    draws = [resample(model, residuals, replicate_rng(7, b)) for b in range(50)]
    for draw in draws:
        assert set(np.round(draw[0] - 1.0, 12)) <= {0.1, 0.2, 0.3, 0.4}
        assert set(draw[1] - 2.0) <= {-1.0, -2.0, -3.0, -4.0}
    # Replicate b's data depend on (seed, b) only: the same again, other seeds differ.
    assert np.array_equal(draws[12], resample(model, residuals, replicate_rng(7, 12)))
    assert not np.array_equal(draws[12], resample(model, residuals, replicate_rng(8, 12)))
    assert len({draw.tobytes() for draw in draws}) == 50


def test_bootstrap_is_reproducible_and_its_spread_matches_the_standard_error(
        cluster, tmp_path, capsys):
    directory = make_directory(tmp_path / "m", 2)
    status, stdout, _ = run(capsys, "fit", directory, "--bootstrap", "24", "--seed", "11",
                            "--scheduler", cluster.scheduler_address)
    assert status == 0
    assert "bootstrap: 24 of 24 replicates refitted (seed 11" in stdout
    document = json.loads((directory / "fit-result.json").read_text())
    spread = document["bootstrap"]
    assert (spread["replicates"], spread["seed"], spread["failed"]) == (24, 11, 0)
    values = np.array(spread["values"])
    assert values.shape == (24, 1)

    # The same seed gives the same replicates from the Python API, whichever
    # worker ran which, and a replicate computed here alone equals its value
    # from the cluster.
    request = prepare_fit(directory)
    result = tarvo.fit(request.measurement, model=request.model)
    again = result.bootstrap(24, seed=11, scheduler=cluster.scheduler_address)
    assert np.array_equal(again.values, values)
    # Without a scheduler the replicates run in threads here: the same values.
    here = result.bootstrap(24, seed=11)
    assert np.array_equal(here.values, values) and here.failures == ()
    index, alone, message = run_replicate(fit_problem(result, 11), 5)
    assert (index, message) == (5, None) and np.array_equal(alone, values[5])

    # One nearly linear parameter: the replicates scatter as the Jacobian
    # standard error says (within the sampling error of 24 replicates), and
    # the intervals hold the fitted value.
    entry = spread["parameters"][0]
    standard_error = document["parameters"][0]["standard_error"]
    assert 0.6 < entry["standard_deviation"] / standard_error < 1.5
    low, high = entry["interval_95"]
    assert low < entry["value"] < high and low < entry["median"] < high
    assert entry["interval_68_3"][0] > low and entry["interval_68_3"][1] < high


def test_bootstrap_on_the_lsoda_engine_is_reproducible(cluster, tmp_path, capsys):
    directory = make_directory(tmp_path / "m", 6)
    runs = []
    for _ in range(2):
        status, _, _ = run(capsys, "fit", directory, "--engine", "lsoda", "--bootstrap", "6",
                           "--seed", "2", "--scheduler", cluster.scheduler_address)
        assert status == 0
        runs.append(json.loads((directory / "fit-result.json").read_text())["bootstrap"])
    assert runs[0]["values"] == runs[1]["values"] and runs[0]["failed"] == 0
    assert len({tuple(v) for v in runs[0]["values"]}) == 6


def test_tarvo_fit_does_not_import_dask(tmp_path):
    directory = make_directory(tmp_path / "m", 1)
    code = ("import sys; from tarvo.cli import main; status = main(['fit', sys.argv[1]]); "
            "assert status == 0; loaded = [m for m in sys.modules if m.split('.')[0] in "
            "('dask', 'distributed', 'tqdm')]; assert not loaded, loaded")
    done = subprocess.run([sys.executable, "-c", code, str(directory)], capture_output=True,
                          text=True, env=dict(os.environ, OMP_NUM_THREADS="1"))
    assert done.returncode == 0, done.stderr


def test_a_unit_mistake_stops_the_batch_before_any_cluster_starts(tmp_path, capsys):
    good, percent = make_directory(tmp_path / "good", 1), make_directory(tmp_path / "pct", 2)
    for name in ENERGIES:
        path = percent / name
        lines = path.read_text().splitlines()
        path.write_text("\n".join([lines[0]] + [
            f"{row.split(',')[0]},{100 * float(row.split(',')[1])!r}" for row in lines[1:]]))
    status, out, err = run(capsys, "batch", good, percent, "--out", tmp_path / "summary")
    assert (status, out) == (2, "")
    first, last = err.splitlines()
    assert first.startswith(f"tarvo: error: {percent}: the far-field points average")
    assert last.startswith("tarvo: nothing was fitted")
    assert not (tmp_path / "summary").exists() and not (good / "fit-result.json").exists()


@pytest.mark.parametrize("converged, warnings, status, message", [
    (True, [], FITTED, ""),
    (True, ["far field at 0.82", "positions look like metres"], FITTED_WITH_WARNINGS,
     "warning: far field at 0.82; warning: positions look like metres"),
    (False, ["far field at 0.82"], NOT_CONVERGED,
     "not converged: stopped\nafter 40 evaluations"),
], ids=["clean", "two-warnings", "not-converged"])
def test_summary_row_keeps_every_warning(converged, warnings, status, message):
    document = {"parameters": [], "converged": converged,
                "message": "not converged: stopped\nafter 40 evaluations",
                "warnings": [{"check": "c", "message": text} for text in warnings]}
    row = row_from_document("d", document, FITTED, 1.0)
    assert row["status"] == status and row["warnings"] == warnings
    expected = message if converged else "; ".join(
        ["not converged: stopped"] + [f"warning: {text}" for text in warnings])
    assert row["message"] == expected


def test_a_group_in_a_list_file_is_one_global_fit_and_one_row(client, tmp_path):
    from pathlib import Path
    from tarvo.batch import DirectoryGroup, collect_directories

    examples = Path(__file__).resolve().parents[2] / "examples" / "global"
    for name in ("ns", "ps"):
        shutil.copytree(examples / name, tmp_path / name)
    listing = tmp_path / "runs.txt"
    listing.write_text("# both pulse durations together\nns + ps -> both\nns\n")
    directories = collect_directories([listing])
    assert directories[0] == DirectoryGroup((tmp_path / "ns", tmp_path / "ps"), tmp_path / "both")
    group, single = run_batch(client, directories).rows
    assert group["status"] == FITTED and group["directory"] == f"{tmp_path / 'ns'} + {tmp_path / 'ps'}"
    assert {"sigma_2", "sigma_4", "tau_24", "focus@ns", "focus@ps"} == set(group["parameters"])
    assert json.loads((tmp_path / "both" / "fit-result.json").read_text())["global"]
    # The single directory leaves sigma_2 undetermined, and says so.
    assert single["status"] == FITTED_WITH_WARNINGS and "do not determine sigma_2" in single["message"]
