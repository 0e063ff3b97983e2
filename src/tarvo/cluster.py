"""Dask for batches and bootstraps (the local cluster's layout, the client,
Ctrl-C deferred while it starts) and progress on the terminal (bars and
elapsed-time lines)."""

import logging
import os
import signal
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass

from .errors import InputError



# What to install when Dask is missing.
INSTALL_HINT = "pip install 'tarvo[batch]' (or: pip install 'dask[distributed]')"


# Worker processes and threads of a local cluster, and the native fit's
# OpenMP threads inside each Dask thread.
@dataclass(frozen=True)
class LocalLayout:
    workers: int
    threads_per_worker: int
    omp_threads: int

    # Cores the layout keeps busy at most.
    @property
    def cores(self):
        return self.workers * self.threads_per_worker * self.omp_threads


# Cores this process may run on (its CPU affinity, not the machine's total).
def available_cores():
    return max(1, os.process_cpu_count() or 1)


# The local cluster for `cores` cores: one single-threaded worker process per
# core. Independent fits scale almost perfectly across processes, and much of
# a fit's time outside the native model holds the interpreter lock, so one fit
# per process beats several fits sharing one process. Each fit runs its native
# model on one OpenMP thread: Dask threads times OpenMP threads never exceed
# the cores.
def local_layout(cores=None, workers=None):
    cores = available_cores() if cores is None else max(1, int(cores))
    workers = cores if workers is None else max(1, int(workers))
    return LocalLayout(workers=workers, threads_per_worker=1, omp_threads=1)


# Dask's `distributed` module, or InputError saying how to install it.
def require_distributed():
    try:
        import distributed
    except ImportError:
        raise InputError(f"this needs Dask's distributed scheduler: {INSTALL_HINT}") from None
    return distributed


# Whether this code runs inside a task on a Dask worker.
def inside_worker():
    try:
        from distributed import get_worker
    except ImportError:
        return False
    try:
        get_worker()
    except ValueError:
        return False
    return True


# Start an in-process local cluster with `layout`; the caller closes it.
# Without `dashboard` (an address such as ":8787") no dashboard is served: the
# scheduler's HTTP server then listens on a free port of the loopback
# interface only (it would take 8787 otherwise, and warn when that is in use).
def start_local_cluster(layout, dashboard=None):
    distributed = require_distributed()
    env = {"OMP_NUM_THREADS": str(layout.omp_threads)}
    scheduler_kwargs = None if dashboard else {"dashboard_address": "127.0.0.1:0"}
    return distributed.LocalCluster(
        n_workers=layout.workers, threads_per_worker=layout.threads_per_worker,
        processes=True, env=env, dashboard_address=dashboard or None,
        scheduler_kwargs=scheduler_kwargs, silence_logs=logging.ERROR)


# A client of a Dask cluster, for the duration of the block:
#   - `scheduler` given: connected to that scheduler (an address such as
#     tcp://host:8786, or a scheduler object);
#   - inside a task on a Dask worker: the worker's own client, so that a fit
#     that a batch runs spreads its bootstrap over the same cluster (the task
#     leaves the worker's thread pool while it waits);
#   - otherwise: a local cluster started for the block and closed after it.
@contextmanager
def dask_client(scheduler=None, layout=None, dashboard=None):
    distributed = require_distributed()
    if scheduler is not None:
        try:
            with deferred_interrupts():
                client = distributed.Client(scheduler, timeout="20s")
        except (OSError, TimeoutError) as error:
            raise InputError(f"cannot connect to the Dask scheduler {scheduler}: {error}") from None
        try:
            yield client
        finally:
            with deferred_interrupts():
                client.close()
        return
    if inside_worker():
        with distributed.worker_client() as client:
            yield client
        return
    cluster = client = None
    failing = False
    try:
        # A cluster interrupted half-way through its start cannot be closed
        # cleanly (Dask then fails loudly at exit): Ctrl-C waits for the
        # start, about a second, and then closes the cluster.
        with deferred_interrupts():
            cluster = start_local_cluster(layout or local_layout(), dashboard)
            client = distributed.Client(cluster)
        yield client
    except BaseException:
        failing = True
        raise
    finally:
        with deferred_interrupts():
            if client is not None:
                client.close()
            if cluster is not None:
                close_cluster(cluster, quickly=failing)


# Seconds a worker busy with a task gets to stop when a cluster is left by an
# exception (Ctrl-C) before its process is killed: Dask would otherwise wait
# for the running tasks (a whole fit) before it closes the cluster.
STOP_WORKER_SECONDS = 0.2


# Close a local cluster; `quickly`: stop the worker processes first, without
# waiting for the tasks they are running.
def close_cluster(cluster, quickly=False):
    if quickly:
        for nanny in list(cluster.workers.values()):
            try:
                cluster.sync(nanny.kill, timeout=STOP_WORKER_SECONDS)
            except Exception:   # already gone, or not a worker process
                pass
    cluster.close()


# Ctrl-C during the block takes effect (KeyboardInterrupt) when the block has
# ended; in the main thread only (elsewhere signals do not arrive anyway).
@contextmanager
def deferred_interrupts():
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received = []

    # Remember the interrupt for later.
    def remember(signum, frame):
        received.append(signum)

    previous = signal.signal(signal.SIGINT, remember)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received:
        raise KeyboardInterrupt


# A progress bar over `total` items on stderr (tqdm; hidden when stderr is
# not a terminal or tqdm is missing), for the duration of the block. Yields
# the function to call with the number of items done, and `note(text)`,
# which prints a line above the bar.
@contextmanager
def progress_bar(total, label, unit):
    try:
        from tqdm import tqdm
    except ImportError:
        yield (lambda done: None), (lambda text: print(text, flush=True))
        return
    with tqdm(total=total, desc=label, unit=unit, disable=None, leave=False,
              file=sys.stderr, dynamic_ncols=True) as bar:
        # Show how many are done, whatever order they finished in.
        def advance(done):
            bar.update(done - bar.n)

        # Print above the bar (to stdout, so that the lines can be piped).
        def note(text):
            bar.write(text, file=sys.stdout)

        yield advance, note


# Seconds between refreshes of the line.
INTERVAL_DEFAULT = 1.0


# Context manager: while active, rewrites "message: N s elapsed" on the stream
# from a background thread. The native fit releases the interpreter lock, so
# the thread keeps ticking during the call. Silent unless the stream is a
# terminal: logs and pipes get no carriage-return clutter.
class ElapsedTicker:
    # The ticker shows on `stream` (default stderr) when that is a terminal and
    # `enabled` is true (a fit run for someone else, as in a batch, shows none).
    def __init__(self, message, stream=None, interval=INTERVAL_DEFAULT, enabled=True):
        self.message = message
        self.stream = sys.stderr if stream is None else stream
        self.interval = interval
        self.enabled = enabled and bool(getattr(self.stream, "isatty", lambda: False)())
        self._stop = threading.Event()
        self._thread = None
        self._width = 0
        self.started = 0.0

    # Seconds since the ticker was entered.
    def elapsed(self):
        return time.monotonic() - self.started

    # Start the clock and, on a terminal, the ticking thread.
    def __enter__(self):
        self.started = time.monotonic()
        if self.enabled:
            self._thread = threading.Thread(target=self._run, name="tarvo-ticker", daemon=True)
            self._thread.start()
        return self

    # Stop the thread and clear the line; exceptions pass through.
    def __exit__(self, *exc):
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            # Blank the line so that what follows starts clean.
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
        return False

    # Refresh the line until stopped.
    def _run(self):
        self._show()
        while not self._stop.wait(self.interval):
            self._show()

    # Rewrite the line with the current elapsed time.
    def _show(self):
        text = f"{self.message}: {self.elapsed():.0f} s elapsed"
        self._width = max(self._width, len(text))
        self.stream.write("\r" + text.ljust(self._width))
        self.stream.flush()


# Seconds a piece of work runs before its progress bar appears: shorter work
# finishes before a bar would tell anything.
BAR_DELAY = 1.0


# Context manager yielding advance(done): a tqdm progress bar with the time
# left on stderr while `total` steps of `unit` run, shown only when stderr is
# a terminal, `enabled` is true and the work lasts longer than `delay`
# seconds; a no-op where tqdm is not installed.
class ProgressBar:
    # The bar's total, label and unit; `enabled` false shows nothing.
    def __init__(self, total, label, unit, enabled=True, delay=BAR_DELAY, stream=None):
        self.total, self.label, self.unit = total, label, unit
        self.enabled, self.delay = enabled, delay
        self.stream = sys.stderr if stream is None else stream
        self._bar = None

    # Start the bar (if it can show) and return the advance function.
    def __enter__(self):
        if self.enabled and getattr(self.stream, "isatty", lambda: False)():
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self._bar = tqdm(total=self.total, desc=self.label, unit=self.unit,
                                 delay=self.delay, leave=False, file=self.stream,
                                 dynamic_ncols=True)
        return self.advance

    # Show `done` steps finished (whatever order they finished in).
    def advance(self, done):
        if self._bar is not None:
            self._bar.update(done - self._bar.n)

    # Remove the bar; exceptions pass through.
    def __exit__(self, *exc):
        if self._bar is not None:
            self._bar.close()
        return False
