"""Results know their inputs: "up to date" compares the digests a result
records (inputs, settings, figure), never modification times; a result whose
inputs changed while it was fitted is stale; a batch with nothing to fit
starts no cluster, and a cluster serves no dashboard unless asked."""

import json
import os
import subprocess
import sys
import warnings

import pytest

from tarvo import cli, directory_fit
from tarvo.files import DIGESTS_KEY, STALE_KEY

from measurement_cases import make_measurement, run

pytest.importorskip("distributed")

from tarvo.batch import up_to_date_result  # noqa: E402


@pytest.fixture
def fitted(tmp_path, capsys):
    """A measurement directory with a complete result of `tarvo fit`."""
    directory = make_measurement(tmp_path)
    assert run(capsys, "fit", directory)[0] == 0
    return directory


def _document(directory):
    return json.loads((directory / "fit-result.json").read_text())


def test_a_fresh_result_records_its_digests_and_is_up_to_date(fitted):
    import hashlib

    digests = _document(fitted)[DIGESTS_KEY]
    assert [(entry["role"], entry["file"]) for entry in digests["inputs"]] == [
        ("setup", "setup.toml"), ("curve", "low.csv"), ("curve", "high.csv")]
    for entry in digests["inputs"]:
        assert entry["sha256"] == hashlib.sha256((fitted / entry["file"]).read_bytes()).hexdigest()
    assert digests["outputs"] == {
        "fit.png": hashlib.sha256((fitted / "fit.png").read_bytes()).hexdigest()}
    assert up_to_date_result(fitted) == _document(fitted)


# Each change below makes the result out of date; on main the first two were
# reported up to date (times only), and so was the result of other settings.
def _rewrite_curve_keeping_its_time(directory):
    path = directory / "low.csv"
    stat = path.stat()
    path.write_text(path.read_text().replace("0.", "0.0", 1))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


def _empty_figure(directory):
    # D4: a figure left empty by a kill while it was drawn.
    (directory / "fit.png").write_bytes(b"")


def _other_figure(directory):
    (directory / "fit.png").write_bytes(b"\x89PNG another figure")


def _setup_changed_and_set_back_in_time(directory):
    path = directory / "setup.toml"
    stat = path.stat()
    path.write_text(path.read_text().replace("n_starts = 1", "n_starts = 2"))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns - 10**9))


def _refitted_with_other_starts(directory):
    assert cli.main(["fit", str(directory), "--starts", "2"]) == 0


# C2: a result edited by hand, its digests intact: a value that is no
# number, NaN, a converged flag that is a string. On main each counted as up
# to date and then crashed the batch summary.
def _edited(path_in_document, value):
    def edit(directory):
        document = _document(directory)
        target = document
        for key in path_in_document[:-1]:
            target = target[key]
        target[path_in_document[-1]] = value
        (directory / "fit-result.json").write_text(json.dumps(document))
    edit.__name__ = f"_edited_{'_'.join(map(str, path_in_document))}_{value!r}"
    return edit


OUTDATED = [_rewrite_curve_keeping_its_time, _empty_figure, _other_figure,
            _setup_changed_and_set_back_in_time, _refitted_with_other_starts,
            _edited(("parameters", 0, "value"), "abc"),
            _edited(("parameters", 0, "value"), float("nan")),
            _edited(("parameters", 0, "standard_error"), float("inf")),
            _edited(("focus_mm", "value"), "x"),
            _edited(("converged",), "false"),
            _edited(("reduced_chi2",), [1]),
            _edited(("curves", 0, "model"), [1.0])]


def test_an_edited_result_is_refitted_by_a_batch_with_a_summary(fitted, tmp_path, capsys):
    _edited(("parameters", 0, "value"), "abc")(fitted)
    status, out, err = run(capsys, "batch", fitted, "--out", tmp_path / "summary",
                           "--workers", "1")
    assert status == 0, err
    assert "1 measurement directory (1 to fit)" in out
    summary = json.loads((tmp_path / "summary" / "batch-summary.json").read_text())
    assert [row["status"] for row in summary["directories"]] == ["fitted"]


@pytest.mark.parametrize("change", OUTDATED, ids=[change.__name__ for change in OUTDATED])
def test_a_changed_input_figure_or_setting_is_not_up_to_date(fitted, change):
    change(fitted)
    assert up_to_date_result(fitted) is None


def test_touching_the_inputs_leaves_the_result_up_to_date(fitted):
    for name in ("setup.toml", "low.csv", "high.csv"):
        os.utime(fitted / name)
    assert up_to_date_result(fitted) is not None


# D2: a curve file rewritten while its fit runs: the result records the
# digest of what was read, is marked stale and is never up to date (on main a
# later batch reported it up to date, being newer than the file).
def test_inputs_changed_during_the_fit_make_a_stale_result(tmp_path, capsys, monkeypatch):
    directory = make_measurement(tmp_path)
    original = (directory / "low.csv").read_bytes()
    fit_directory = directory_fit._fit

    def fit_while_the_file_changes(request, *args):
        done = fit_directory(request, *args)
        (directory / "low.csv").write_bytes(original + b"# re-measured\n")
        return done

    monkeypatch.setattr(directory_fit, "_fit", fit_while_the_file_changes)
    status, stdout, stderr = run(capsys, "fit", directory)
    assert status == 0
    message = ("low.csv changed while the fit ran: this result belongs to the earlier contents "
               "and is marked stale; fit again")
    assert f"tarvo: warning: {message}\n" in stderr
    document = _document(directory)
    assert document[STALE_KEY] == {"changed_inputs": ["low.csv"]}
    assert [(w["check"], w["message"]) for w in document["warnings"]
            if w["check"] == "stale"] == [("stale", message)]
    import hashlib
    recorded = {entry["file"]: entry["sha256"] for entry in document[DIGESTS_KEY]["inputs"]}
    assert recorded["low.csv"] == hashlib.sha256(original).hexdigest()
    monkeypatch.undo()
    assert up_to_date_result(directory) is None
    # Fitted again, the result is no longer stale.
    assert run(capsys, "fit", directory)[0] == 0
    assert STALE_KEY not in _document(directory)
    assert up_to_date_result(directory) is not None


# Issue 20 item 6: a rerun with every result up to date reports it without
# starting a cluster (nor importing Dask).
def test_a_batch_with_nothing_to_fit_starts_no_cluster(fitted, tmp_path):
    script = ("import sys; from tarvo.cli import main; status = main(sys.argv[1:]); "
              "print('distributed' in sys.modules); sys.exit(status)")
    done = subprocess.run([sys.executable, "-c", script, "batch", str(fitted), "--out",
                           str(tmp_path / "summary")], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"up to date  {fitted}: sigma_1 = ")
    assert lines[1] == "0 fitted, 1 up to date, 0 failed"
    assert lines[-1] == "False"
    assert done.stderr == ""
    summary = json.loads((tmp_path / "summary" / "batch-summary.json").read_text())
    assert summary["cluster"] == "none: every result is up to date"


def test_a_local_cluster_serves_no_dashboard_unless_asked():
    from tarvo.cluster import local_layout, start_local_cluster

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cluster = start_local_cluster(local_layout(workers=1))
        try:
            server = cluster.scheduler.http_server
            assert server.address == "127.0.0.1" and server.port != 8787
        finally:
            cluster.close()
    assert not [w for w in caught if "already in use" in str(w.message)]
