"""A worker process that makes fuzzed calls of the native bindings (fit_zscan,
the exact engine's exact_model and handle), and the test side's
handle on it. A crash (signal, sanitizer report) or a hang ends only the
worker: the handle reports it with the worker's last words and starts a new
one for the next call.

Protocol: length-prefixed pickles, calls on the worker's stdin, outcomes on a
copy of its original stdout; the worker's own stdout goes to /dev/null (the
ODE solver prints its diagnostics there)."""

import faulthandler
import glob
import os
import pickle
import resource
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
from dataclasses import dataclass

import numpy as np

from fit_zscan_fuzz_calls import Mutator, binding

HERE = os.path.dirname(os.path.abspath(__file__))
# Length prefix of every message.
HEADER = struct.Struct("<Q")
# Address space of a worker without sanitizers: absurd sizes must fail with
# MemoryError rather than page in tens of gigabytes.
ADDRESS_SPACE_LIMIT = 4 << 30
# How much of a dead worker's stderr and sanitizer reports to show.
REPORT_CHARS = 6000
# Seconds a new worker may take to import the module and answer.
START_TIMEOUT = 120.0
# What _receive returns instead of a message.
LATE = "no answer in time"
DIED = "the worker closed its end"


def sanitized():
    """True when the AddressSanitizer runtime is preloaded (make sanitize)."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


# --- worker side ------------------------------------------------------------------

def buffer_bytes(obj):
    """The contents of an object that exports a buffer, or None."""
    if isinstance(obj, np.ndarray):
        return obj.tobytes()
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return bytes(obj)
    if hasattr(obj, "tobytes"):
        return obj.tobytes()
    return None


def shares_memory(result, inputs):
    """True when an array of `result` overlaps the memory of an input."""
    arrays = [item for item in result if isinstance(item, np.ndarray)]
    for obj in inputs:
        try:
            view = np.asarray(memoryview(obj))
        except (TypeError, ValueError):
            continue
        if any(np.shares_memory(array, view) for array in arrays):
            return True
    return False


def run_call(call):
    """Make `call`; a dict that says how it ended and what it changed."""
    function = binding(getattr(call, "function", "fit_zscan"))
    try:
        args, kwargs = call.build()
    except Exception:  # a fault of the fuzzer, not of fit_zscan
        return {"kind": "unbuildable", "message": traceback.format_exc()}
    inputs = list(args) + list(kwargs.values())
    before = [(obj, buffer_bytes(obj)) for obj in inputs]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = function(*args, **kwargs)
        outcome = {"kind": "returned", "result": result,
                   "shares_memory": isinstance(result, tuple) and shares_memory(result, inputs)}
    except Exception as error:  # every exception is the property's business
        outcome = {"kind": "raised", "type": type(error).__name__, "message": str(error)[:500]}
    # What a Mutator wrote is the caller's own change; anything else is not.
    expected = {id(obj): data for obj, data in before}
    for obj in inputs:
        if isinstance(obj, Mutator) and obj.fired:
            target = np.frombuffer(expected[id(obj.target)], dtype=obj.target.dtype).copy()
            target[obj.index] = obj.new
            expected[id(obj.target)] = target.tobytes()
    outcome["changed"] = [index for index, (obj, data) in enumerate(before)
                          if data is not None and buffer_bytes(obj) != expected[id(obj)]]
    return outcome


def send(stream, message):
    data = pickle.dumps(message)
    stream.write(HEADER.pack(len(data)) + data)
    stream.flush()


def read_exactly(stream, count):
    data = stream.read(count)
    return data if len(data) == count else None


def start_worker():
    """A worker process's set-up: tracebacks of fatal signals on stderr, the
    original stdout kept for the answers (returned) and fd 1 sent to
    /dev/null, and (without sanitizers) the address-space limit."""
    faulthandler.enable(file=sys.stderr)
    answers = os.fdopen(os.dup(1), "wb")
    quiet = os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 1)
    if not sanitized():
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        limit = ADDRESS_SPACE_LIMIT if hard == resource.RLIM_INFINITY else min(hard, ADDRESS_SPACE_LIMIT)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    return answers


def answer_calls(answers, answer):
    """Say the worker is ready, then send answer(call) for every call on
    stdin until it closes."""
    send(answers, {"kind": "ready", "pid": os.getpid()})
    requests = sys.stdin.buffer
    while True:
        header = read_exactly(requests, HEADER.size)
        if header is None:
            return
        call = pickle.loads(read_exactly(requests, HEADER.unpack(header)[0]))
        send(answers, answer(call))


def serve():
    """Worker main loop: answer calls until stdin closes."""
    answers = start_worker()
    import tarvo_wrapper  # noqa: F401  (imported once, before the first call)
    from tarvo import _native  # noqa: F401

    answer_calls(answers, run_call)


# --- test side --------------------------------------------------------------------

@dataclass
class Outcome:
    """How a call ended: "returned" (result), "raised" (type, message),
    "crashed" or "hung" (report: exit status, stderr and sanitizer reports),
    or "unbuildable" (the arguments could not be made: message)."""
    kind: str
    result: object = None
    shares_memory: bool = False
    type: str = None
    message: str = None
    changed: tuple = ()
    report: str = None


def describe_status(status):
    if status is None:
        return "still running"
    if status < 0:
        return f"killed by {signal.Signals(-status).name}"
    return f"exit status {status}"


def sanitizer_reports(pid):
    """The sanitizer report files process `pid` wrote (their log_path option)."""
    texts = []
    for variable in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        for option in os.environ.get(variable, "").split(":"):
            if option.startswith("log_path="):
                for path in sorted(glob.glob(f"{option[len('log_path='):]}.{pid}*")):
                    with open(path, errors="replace") as report:
                        texts.append(f"--- {path}\n{report.read()[:REPORT_CHARS]}")
    return "\n".join(dict.fromkeys(texts))


class FuzzWorker:
    """One worker process with OMP_NUM_THREADS=`threads`, started on demand."""

    # The module whose serve() the worker process runs.
    SERVER_MODULE = "fit_zscan_fuzz_worker"

    def __init__(self, threads, timeout):
        self.threads = threads
        self.timeout = timeout
        self.process = None
        self.stderr = None
        self.pid = None
        self.restarts = 0

    def _start(self):
        self.stderr = tempfile.TemporaryFile()
        env = dict(os.environ, OMP_NUM_THREADS=str(self.threads))
        module = self.SERVER_MODULE
        boot = f"import sys; sys.path.insert(0, {HERE!r}); import {module}; {module}.serve()"
        self.process = subprocess.Popen([sys.executable, "-c", boot], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.stderr, env=env)
        ready = self._receive(time.monotonic() + START_TIMEOUT)
        if ready in (LATE, DIED) or ready.get("kind") != "ready":
            raise RuntimeError(f"{self.SERVER_MODULE} did not start:\n{self._last_words()}")
        self.pid = ready["pid"]

    def _receive(self, deadline):
        """The next message; DIED if the worker closed its end, LATE if the
        deadline passed first."""
        fd = self.process.stdout.fileno()
        data = b""
        needed = HEADER.size
        header_read = False
        while len(data) < needed:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                return LATE
            chunk = os.read(fd, needed - len(data))
            if not chunk:
                return DIED
            data += chunk
            if not header_read and len(data) == HEADER.size:
                needed += HEADER.unpack(data)[0]
                header_read = True
        return pickle.loads(data[HEADER.size:])

    def _last_words(self):
        try:
            status = self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            status = None
        self.stderr.seek(0)
        tail = self.stderr.read().decode(errors="replace")[-REPORT_CHARS:]
        reports = sanitizer_reports(self.process.pid)
        return (f"worker {self.process.pid} (OMP_NUM_THREADS={self.threads}): "
                f"{describe_status(status)}\n--- stderr (tail)\n{tail}\n{reports}")

    def _discard(self):
        """Stop the worker (started here, so ended by its own handle)."""
        if self.process is not None:
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()
            for stream in (self.process.stdin, self.process.stdout, self.stderr):
                try:
                    stream.close()
                except BrokenPipeError:
                    pass
        self.process = None

    def run(self, call):
        """Make `call` in the worker; an Outcome."""
        if self.process is None:
            self._start()
        data = pickle.dumps(call)
        try:
            self.process.stdin.write(HEADER.pack(len(data)) + data)
            self.process.stdin.flush()
            answer = self._receive(time.monotonic() + self.timeout)
        except BrokenPipeError:
            answer = DIED
        if answer not in (LATE, DIED):
            return Outcome(**answer)
        if answer is LATE:
            self.process.send_signal(signal.SIGABRT)  # faulthandler prints where it hung
            kind = "hung"
        else:
            kind = "crashed"
        report = self._last_words()
        if kind == "hung":
            report = f"no answer within {self.timeout:g} s\n{report}"
        self._discard()
        self.restarts += 1
        return Outcome(kind=kind, report=report)

    def close(self):
        if self.process is not None and self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pass
        self._discard()


def worker_pool(timeout, threads=(1, 2)):
    """Workers by OMP_NUM_THREADS, closed when the generator is (the body of
    a module-scoped fixture)."""
    pool = {count: FuzzWorker(count, timeout) for count in threads}
    yield pool
    for worker in pool.values():
        worker.close()


# A failing call and the code that replays it, for assertion messages.
def replay(call):
    return f"{call!r}\n--- replay with:\n{call.source()}"
