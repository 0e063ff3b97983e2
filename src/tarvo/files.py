"""The one way the toolkit reads an input file and the one way it writes a file.

Reading: only regular files (a FIFO, directory or device is refused with its
kind named, before anything blocks on it), and never more than the caller's
limit plus one byte, whatever the file's size claims (/dev/zero behind a
symbolic link, a file that grows while it is read).

Writing: every result, figure, table and summary goes to a temporary file in
the same directory, is flushed to the disk and then renamed over the target
with os.replace, so that an interruption (Ctrl-C, a kill, a full disk) leaves
either the earlier complete file or the new complete file, never a part of
one, and two writers of the same file leave one whole document.

A fit's result directory and a batch's summary directory are locked while a
run writes into them (advisory flock locks, released by the system when the
process ends, however it ends).
"""

import errno
import fcntl
import hashlib
import io
import json
import os
import secrets
import socket
import stat
from contextlib import contextmanager
from pathlib import Path

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
    temporary, fd = _create_temporary(path)
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


# Hold a lock on the directory `directory` itself (no file) for the block,
# so that two fits never write one result directory at the same time;
# DirectoryBusy when another run holds it.
@contextmanager
def result_directory_lock(directory):
    directory = Path(directory)
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
                     | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise InputError(f"{directory}: cannot open the output directory: "
                         f"{error.strerror or error}") from None
    try:
        if not _try_lock(fd):
            raise DirectoryBusy(f"{directory}: another tarvo fit is writing its results into "
                                "this directory; wait for it to finish or give another --out")
        yield directory
    finally:
        os.close(fd)
