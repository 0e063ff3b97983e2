"""The one write path: an interrupted or failed write leaves the earlier
complete file (never a part of one), leaves no temporary file behind, and two
runs that share an output directory are kept apart by its lock."""

import json
import os
import subprocess
import sys
import threading

import pytest
from matplotlib.figure import Figure

from tarvo import files
from tarvo.files import (BATCH_LOCK, DirectoryBusy, directory_lock, result_directory_lock,
                         write_json, write_text)
from tarvo.plot import save_figure
from tarvo.report import write_result

from measurement_cases import make_measurement, run

EARLIER = {"result": "earlier, complete"}


# Exceptions a write may meet half-way: Ctrl-C, a full disk.
@pytest.fixture(params=[KeyboardInterrupt, OSError])
def failure(request):
    return request.param


def _no_temporaries(directory):
    return [name for name in os.listdir(directory) if name.endswith(".tmp")] == []


# D1: a result document that fails half-way through serialisation (on main
# the file was truncated first and left holding part of the new document).
def test_a_result_that_fails_while_written_leaves_the_earlier_one(tmp_path):
    path = tmp_path / "fit-result.json"
    write_result(path, EARLIER)
    with pytest.raises(TypeError):
        write_result(path, {"values": list(range(100_000)), "broken": object()})
    assert json.loads(path.read_text()) == EARLIER
    assert _no_temporaries(tmp_path)


# D1/D4: a figure interrupted while drawn (on main savefig wrote into the
# target itself and left a part of a PNG).
def test_a_figure_interrupted_while_drawn_leaves_the_earlier_one(tmp_path, monkeypatch, failure):
    path = tmp_path / "fit.png"
    path.write_bytes(b"earlier figure")

    def interrupted_savefig(self, target, **kwargs):
        if isinstance(target, (str, os.PathLike)):
            with open(target, "wb") as stream:
                stream.write(b"\x89PNG half")
        else:
            target.write(b"\x89PNG half")
        raise failure("while drawing")

    monkeypatch.setattr(Figure, "savefig", interrupted_savefig)
    with pytest.raises(failure):
        save_figure(Figure(), path)
    assert path.read_bytes() == b"earlier figure"
    assert _no_temporaries(tmp_path)


# The rename itself interrupted: the target is the earlier file, and the
# temporary file is removed.
def test_an_interrupted_replace_removes_the_temporary_file(tmp_path, monkeypatch, failure):
    path = tmp_path / "summary.json"
    write_json(path, EARLIER)

    def interrupted_replace(source, target):
        raise failure("at the rename")

    monkeypatch.setattr(os, "replace", interrupted_replace)
    with pytest.raises(failure):
        write_json(path, {"new": True})
    assert json.loads(path.read_text()) == EARLIER
    assert _no_temporaries(tmp_path)


# D3: two writers of one file leave one complete document, whichever wins.
def test_concurrent_writers_leave_one_complete_document(tmp_path):
    path = tmp_path / "fit-result.json"
    documents = [{"writer": k, "values": [k] * 200_000} for k in range(2)]
    script = ("import sys, json; from tarvo.report import write_result; "
              "document = json.loads(sys.stdin.read()); "
              "[write_result(sys.argv[1], document) for _ in range(15)]")
    writers = [subprocess.Popen([sys.executable, "-c", script, str(path)], stdin=subprocess.PIPE,
                                text=True) for _ in documents]
    for writer, document in zip(writers, documents):
        writer.stdin.write(json.dumps(document))
        writer.stdin.close()
    assert [writer.wait(timeout=120) for writer in writers] == [0, 0]
    assert json.loads(path.read_text()) in documents
    assert _no_temporaries(tmp_path)


# Temporary files of writers that were killed are removed by the next write;
# those of live writers stay.
def test_a_write_removes_the_temporary_files_of_killed_writers(tmp_path):
    path = tmp_path / "fit-result.json"
    prefix = files._temporary_prefix(path)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    orphan = tmp_path / f"{prefix}{dead}-0000.tmp"
    alive = tmp_path / f"{prefix}{os.getppid()}-0000.tmp"
    orphan.write_text("{\"half")
    alive.write_text("{\"half")
    write_json(path, EARLIER)
    assert not orphan.exists() and alive.exists()


def test_written_files_get_normal_permissions(tmp_path):
    path = tmp_path / "table.csv"
    files.write_text(path, "a,b\n")
    umask = os.umask(0)
    os.umask(umask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask


# D3: a second batch into the same summary directory stops at once with one
# line naming the run that holds it (on main both wrote into it).
def test_a_second_batch_into_a_busy_summary_directory_is_refused(tmp_path, capsys):
    pytest.importorskip("distributed")
    (tmp_path / "run").mkdir()
    directory = make_measurement(tmp_path / "run")
    out = tmp_path / "summary"
    out.mkdir()
    with directory_lock(out, BATCH_LOCK, "tarvo batch"):
        status, stdout, stderr = run(capsys, "batch", directory, "--out", out)
    assert status == 2
    assert stderr == (f"tarvo: error: {out}: another tarvo run (tarvo batch, pid {os.getpid()} "
                      f"on {os.uname().nodename}) is writing into this directory (lock file "
                      f"{out / BATCH_LOCK}); wait for it to finish or write somewhere else\n")
    assert not (directory / "fit-result.json").exists()
    assert not (out / "batch-summary.json").exists()


# Two fits writing one result directory: the second stops at once.
def test_a_second_fit_into_a_busy_result_directory_is_refused(tmp_path, capsys):
    directory = make_measurement(tmp_path)
    with result_directory_lock(directory, "tarvo fit A"):
        status, _, stderr = run(capsys, "fit", directory)
    assert (status, stderr) == (2, f"tarvo: error: {directory}: another tarvo fit (tarvo fit A, "
                                   f"pid {os.getpid()} on {os.uname().nodename}) is writing its "
                                   "results into this directory; wait for it to finish or give "
                                   "another --out\n")
    assert not (directory / "fit-result.json").exists()
    # Released when the block ends: the fit runs.
    assert run(capsys, "fit", directory)[0] == 0


def test_a_lock_is_released_when_its_holder_is_killed(tmp_path):
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys, time; from tarvo.files import directory_lock; "
         f"lock = directory_lock({str(tmp_path)!r}, '.lock', 'holder'); lock.__enter__(); "
         "print('held', flush=True); time.sleep(600)"], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(DirectoryBusy, match=r"another tarvo run \(holder, pid "):
            with directory_lock(tmp_path, ".lock", "test"):
                pass
    finally:
        holder.kill()
        holder.wait()
    with directory_lock(tmp_path, ".lock", "test"):
        pass


def test_threads_of_one_process_share_no_lock(tmp_path):
    entered = []
    with result_directory_lock(tmp_path):
        def second():
            try:
                with result_directory_lock(tmp_path):
                    entered.append(True)
            except DirectoryBusy:
                entered.append(False)

        thread = threading.Thread(target=second)
        thread.start()
        thread.join()
    assert entered == [False]


# A write into a missing directory names the file asked for, not its temporary twin.
def test_a_write_into_a_missing_directory_names_the_file(tmp_path):
    target = tmp_path / "missing" / "fit-result.json"
    with pytest.raises(FileNotFoundError) as refused:
        write_text(target, "{}\n")
    assert refused.value.filename == str(target)
    assert str(refused.value) == f"[Errno 2] No such file or directory: '{target}'"


# A killed lsoda fit leaves its solver log's temporary file; the next fit
# into the directory removes it, and keeps one of a writer still running.
def test_a_fit_removes_the_solver_log_of_a_killed_fit(tmp_path, capsys):
    directory = make_measurement(tmp_path, model="established")
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    killed = directory / f".fit-solver-messages.log.{dead.pid}.tmp"
    running = directory / f".fit-solver-messages.log.{os.getppid()}.tmp"
    for path in (killed, running):
        path.write_text(" DLSODA-  partial message\n")
    assert run(capsys, "fit", directory, "--engine", "lsoda")[0] == 0
    assert not killed.exists() and running.exists()
