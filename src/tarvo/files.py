"""Input and output files: the one reader of input files (a regular file, a byte
cap), the error of bad input, atomic writes and directory locks, the digests
that tell a stale result, and the provenance record of a run."""

import errno
import fcntl
import hashlib
import io
import json
import math
import os
import platform
import secrets
import shlex
import socket
import stat
import sys
from contextlib import contextmanager
from datetime import datetime, timezone
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import numpy as np

from .errors import InputError


# Bytes read per system call.
CHUNK_BYTES = 1 << 20

# Kinds of file that are not regular, for messages.
_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO (named pipe)"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


# What kind of file a mode describes, for a message ("a FIFO (named pipe)").
def file_kind(mode):
    for test, kind in _KINDS:
        if test(mode):
            return kind
    return "not a regular file"


# The bytes of the regular file `path`, at most `limit` of them; InputError
# naming the file otherwise. `what` says what such a file holds, for the size
# message (e.g. "a curve file has a few thousand rows at most").
def read_input_bytes(path, limit, what):
    path = Path(path)
    try:
        # Non-blocking: opening a FIFO without a writer returns at once
        # instead of waiting for one; the kind check below then refuses it.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        raise InputError(f"{path}: file not found") from None
    except OSError as error:
        if error.errno == errno.EISDIR:
            raise InputError(f"{path}: is a directory, not a file") from None
        if error.errno == errno.ENXIO:   # a socket, or a FIFO on some systems
            raise InputError(f"{path}: is not a regular file (a socket or pipe)") from None
        raise InputError(f"{path}: cannot read: {error.strerror or error}") from None
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise InputError(f"{path}: is {file_kind(mode)}, not a regular file; give the "
                             "file itself")
        os.set_blocking(fd, True)
        chunks, total = [], 0
        while total <= limit:
            chunk = os.read(fd, min(CHUNK_BYTES, limit + 1 - total))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
        if total > limit:
            raise InputError(f"{path}: more than {limit} bytes; {what} (limit {limit} bytes): "
                             "is it the right file?")
        return b"".join(chunks)
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror or error}") from None
    finally:
        os.close(fd)


# The SHA-256 of bytes, as hex.
def sha256(data):
    return hashlib.sha256(data).hexdigest()


# The host part of temporary names: several machines may share a directory.
def _host():
    return "".join(c if c.isalnum() or c in "-_" else "_" for c in socket.gethostname())[:40]


# The temporary names of `path` that a writer on this host uses.
def _temporary_prefix(path):
    return f".{path.name}.{_host()}-"


# A fresh temporary file beside `path`: (name, file descriptor).
def _create_temporary(path):
    prefix = _temporary_prefix(path)
    while True:
        name = path.with_name(f"{prefix}{os.getpid()}-{secrets.token_hex(4)}.tmp")
        try:
            # Mode 0o666 less the umask: the file gets a normal file's permissions.
            return name, os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                                 | getattr(os, "O_CLOEXEC", 0), 0o666)
        except FileExistsError:
            continue


# Remove temporary files of `path` left by writers on this host that were
# killed (their process no longer exists).
def _remove_orphans(path):
    prefix = _temporary_prefix(path)
    try:
        names = [entry for entry in os.scandir(path.parent)
                 if entry.name.startswith(prefix) and entry.name.endswith(".tmp")]
    except OSError:
        return
    for entry in names:
        try:
            pid = int(entry.name[len(prefix):].split("-", 1)[0])
        except ValueError:
            continue
        if pid == os.getpid() or _alive(pid):
            continue
        try:
            os.unlink(entry.path)
        except OSError:
            pass


# Remove the files `.NAME.PID.tmp` in `directory` that writers of NAME on
# this host left when they were killed (their process no longer exists).
def remove_files_of_killed_writers(directory, name):
    prefix, suffix = f".{name}.", ".tmp"
    try:
        entries = [entry for entry in os.scandir(directory)
                   if entry.name.startswith(prefix) and entry.name.endswith(suffix)]
    except OSError:
        return
    for entry in entries:
        pid = entry.name[len(prefix):-len(suffix)]
        if not pid.isdigit() or int(pid) == os.getpid() or _alive(int(pid)):
            continue
        try:
            os.unlink(entry.path)
        except OSError:
            pass


# Whether process `pid` exists (on this host).
def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


# Make a rename in `directory` durable.
def _sync_directory(directory):
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# Write `data` (bytes) to `path` atomically: a temporary file in the same
# directory, fsync, os.replace. On any exception (KeyboardInterrupt included)
# the temporary file is removed and `path` is untouched. Returns the SHA-256
# of the bytes written.
def write_bytes(path, data):
    path = Path(path)
    try:
        temporary, fd = _create_temporary(path)
    except OSError as error:
        # Named by the file asked for, not the temporary one beside it.
        raise type(error)(error.errno, error.strerror, str(path)) from None
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(path.parent)
    _remove_orphans(path)
    return sha256(data)


# Write `text` as UTF-8 atomically; its SHA-256.
def write_text(path, text):
    return write_bytes(path, text.encode("utf-8"))


# Write a JSON document (indented, no NaN) atomically; its SHA-256.
def write_json(path, document):
    return write_text(path, json.dumps(document, indent=2, allow_nan=False) + "\n")


# Write what `produce(stream)` writes into a binary stream, atomically; its
# SHA-256. The whole output is produced before the file is touched.
def write_from(path, produce):
    buffer = io.BytesIO()
    produce(buffer)
    return write_bytes(path, buffer.getvalue())


# The lock file of a batch's summary directory.
BATCH_LOCK = ".tarvo-batch.lock"


# Held while another run writes into a directory.
class DirectoryBusy(InputError):
    pass


# Take an exclusive advisory lock on `fd` without waiting; False when another
# open file holds it. File systems without flock locks count as unlocked.
def _try_lock(fd):
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    except OSError as error:
        if error.errno in (errno.EAGAIN, errno.EACCES):
            return False
    return True


# Hold the lock file `name` of output directory `directory` for the block;
# DirectoryBusy (one line, naming the other process) when another run holds
# it. `what` names this run for the other's message.
@contextmanager
def directory_lock(directory, name, what):
    directory = Path(directory)
    lock_path = directory / name
    try:
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o666)
    except OSError as error:
        raise InputError(f"{lock_path}: cannot create the lock file: "
                         f"{error.strerror or error}") from None
    try:
        if not _try_lock(fd):
            holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip() or "another process"
            raise DirectoryBusy(f"{directory}: another tarvo run ({holder}) is writing into this "
                                f"directory (lock file {lock_path}); wait for it to finish or "
                                "write somewhere else") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{what}, pid {os.getpid()} on {socket.gethostname()}\n".encode(), 0)
        yield lock_path
    finally:
        os.close(fd)   # releases the lock


# The note that names the run holding a result directory's lock.
RESULT_LOCK_NOTE = ".tarvo-fit.lock"


# Hold a lock on the directory `directory` itself for the block, so that two
# fits never write one result directory at the same time; DirectoryBusy,
# naming the other run, when another run holds it. The lock is the
# directory's (released when its holder ends, however it ends); the note
# beside it only names the holder (`what`, its process and host).
@contextmanager
def result_directory_lock(directory, what="tarvo fit"):
    directory = Path(directory)
    note = directory / RESULT_LOCK_NOTE
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
                     | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise InputError(f"{directory}: cannot open the output directory: "
                         f"{error.strerror or error}") from None
    try:
        if not _try_lock(fd):
            try:
                holder = note.read_bytes()[:200].decode("utf-8", "replace").strip()
            except OSError:
                holder = ""
            raise DirectoryBusy(f"{directory}: another tarvo fit ({holder or 'another process'})"
                                " is writing its results into this directory; wait for it to "
                                "finish or give another --out")
        try:
            note.write_text(f"{what}, pid {os.getpid()} on {socket.gethostname()}\n")
        except OSError:
            pass    # the lock holds without its note
        try:
            yield directory
        finally:
            note.unlink(missing_ok=True)
    finally:
        os.close(fd)


# Key of the digests in the result document, and of the stale mark.
DIGESTS_KEY = "digests"
STALE_KEY = "stale"
# Keys of a fit's result written before its profile intervals or bootstrap:
# what is still being computed, and what an interruption left out.
PENDING_KEY = "pending"
NOT_COMPUTED_KEY = "not_computed"

# Largest input file re-read to check its digest (the largest curve file).
MAX_INPUT_BYTES = 32 * 1024 * 1024

# Largest output file re-read to check its digest (a figure).
MAX_OUTPUT_BYTES = 256 * 1024 * 1024


# The settings of a fit that change its result, besides its input files
# (`more`: further options of the run by name, JSON values).
# `rel_step`: the step of central-difference errors (None where the errors are exact).
def fit_settings(engine, model, n_starts, rel_step, figure_format, version, **more):
    return {"engine": engine, "model": model, "n_starts": n_starts,
            "standard_error_step": rel_step,
            "figure_format": figure_format, "tarvo_version": version, **more}


# SHA-256 of a settings dict (canonical JSON).
def settings_digest(settings):
    text = json.dumps(settings, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


# The recorded form of input files (tarvo.measurement.InputFile): files of the
# measurement directory by their name in it, others by their absolute path.
def input_entries(directory, input_files):
    directory = Path(directory).resolve()
    entries = []
    for item in input_files:
        path = Path(item.path).resolve()
        name = str(path.relative_to(directory)) if path.is_relative_to(directory) else str(path)
        entries.append({"role": item.role, "file": name, "sha256": item.sha256})
    return entries


# The "digests" section of a result document.
def digests_section(inputs, settings, outputs):
    return {"inputs": inputs, "settings": settings_digest(settings), "outputs": outputs}


# SHA-256 of a file's current bytes, or None when it cannot be read.
def current_digest(path, limit=MAX_INPUT_BYTES):
    try:
        return sha256(read_input_bytes(path, limit, "larger than any input of a fit"))
    except InputError:
        return None


# The recorded inputs whose files now hold other bytes (or are gone).
def changed_inputs(directory, entries):
    directory = Path(directory)
    return [entry["file"] for entry in entries
            if current_digest(directory / entry["file"]) != entry["sha256"]]


# Why `document` (read from `directory`) is not an up-to-date result of a
# fit with `inputs` (entries as input_entries makes them, digests of the
# files now) and `settings`; None when it is.
def outdated_reason(document, directory, inputs, settings):
    recorded = document.get(DIGESTS_KEY)
    if not isinstance(recorded, dict):
        return "the result records no digests of its inputs"
    if document.get(STALE_KEY):
        return "the inputs changed while it was fitted"
    if document.get(PENDING_KEY) or document.get(NOT_COMPUTED_KEY):
        return "it lacks what its fit was asked for (an interrupted run)"
    if recorded.get("inputs") != inputs:
        return "an input file changed"
    if recorded.get("settings") != settings_digest(settings):
        return "the settings changed"
    outputs = recorded.get("outputs")
    if not isinstance(outputs, dict):
        return "the result records no digests of its outputs"
    for name, digest in outputs.items():
        if current_digest(Path(directory) / name, MAX_OUTPUT_BYTES) != digest:
            return f"{name} is missing or not the one the result wrote"
    return None


# The installed tarvo version (from the package metadata).
def tarvo_version():
    try:
        return version("tarvo")
    except PackageNotFoundError:
        return "0+unknown"


# The record of one run: what ran, how it was called, when, on which inputs.
def provenance(argv, input_files, engine=None, model=None):
    """argv: the tool's arguments (without the program name); input_files:
    InputFile records (role, path, SHA-256 of the bytes read)."""
    record = {
        "tarvo_version": tarvo_version(),
        "command_line": shlex.join(["tarvo", *argv]),
        "created_utc": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
        "executable": sys.executable,
        "inputs": [f.as_dict() for f in input_files],
    }
    if engine is not None:
        record["engine"] = engine
    if model is not None:
        record["model"] = model
    return record


# A number for JSON: None, infinities and NaN become null (JSON has none of them).
def json_number(value):
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


# A number as a table cell in `number_format`, `missing` where there is none.
def number_cell(value, number_format, missing="-"):
    return missing if value is None else format(value, number_format)


# Largest relative error printed as a number; above it the digits mean nothing.
LARGEST_PRINTED_RELATIVE = 10.0


# A relative error (a fraction) as per cent text: "1.2 %", "35 %", "> 1000 %",
# "inf" for an infinite one.
def percent_text(relative):
    if not math.isfinite(relative):
        return "inf"
    if relative > LARGEST_PRINTED_RELATIVE:
        return f"> {100 * LARGEST_PRINTED_RELATIVE:.0f} %"
    percent = 100.0 * relative
    return f"{percent:.0f} %" if percent >= 10.0 else f"{percent:.2g} %"


# A standard error relative to its value as a percentage cell: "-" without
# an error, "inf" for an infinite error or a value of 0.
def relative_cell(error, value):
    if error is None or value is None:
        return "-"
    if not math.isfinite(error) or value == 0.0:
        return "inf"
    return percent_text(error / abs(value))
