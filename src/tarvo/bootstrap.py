"""Bootstrap uncertainties: refits of data sets made from a fit's own residuals.

A replicate keeps the fitted model curves and adds to each point a residual
drawn with replacement from the same curve (residual resampling within each
curve), then fits the same parameters again with the same engine (the exact
engine from the fitted values; the lsoda engine exactly as the original fit,
from the same start values). The spread of the refitted values shows how well the data determine the
parameters also where the Jacobian's linear picture fails, as it does for
strongly correlated parameters.

Replicate b draws from its own random stream, SeedSequence(seed,
spawn_key=(b,)): its data depend on the seed and b only, not on the worker that
runs it or the order in which replicates finish, and the first N replicates of
a larger run are the same N. The replicates run as tasks on a Dask cluster,
or, for the exact engine when no cluster is asked for, in threads of this
process.
"""

import atexit
import itertools
import numbers
import queue
import secrets
import sys
import threading
import time
from dataclasses import dataclass, replace

import numpy as np

from . import _native
from .cluster import available_cores, dask_client, inside_worker
from .counts import COUNTS, check_count
from .errors import InputError
from .files import json_number, number_cell
from .parameters import FOCUS, Parameters


# Percentile intervals reported: the 68.3 % interval compares with one
# standard error, the 95 % interval is the usual one to quote.
INTERVAL_LEVELS = (0.6827, 0.95)

# Fewest and most replicates accepted (tarvo.engine); a few hundred are
# needed for 95 % intervals.
MIN_REPLICATES = COUNTS["bootstrap replicates"].least
MAX_REPLICATES = COUNTS["bootstrap replicates"].most

# Seeds drawn when none is given stay below 2^32, so that they survive any
# JSON reader (and are short to type when repeating a run).
SEED_BOUND = 2**32

# Failed replicates listed by message in the result; the rest are counted.
FAILURES_LISTED = 10

# How the data sets are made, for the result file.
METHOD = ("residual resampling within each curve (in units of the data's standard deviations "
          "where the curve files give them)")

# How each engine fits them, for the result file.
REFIT = {"exact": "each replicate fitted by the exact engine from the fitted values",
         "lsoda": "each replicate fitted by fit_zscan as the original fit (same start values "
                  "and starts)"}


# What the user asked for: number of replicates, seed, and where to run.
@dataclass(frozen=True)
class BootstrapOptions:
    replicates: int
    seed: int | None = None
    scheduler: str | None = None

    # The options with a seed: the given one, or a fresh one drawn now (and
    # recorded in the result so that the run can be repeated).
    def seeded(self):
        if self.seed is not None:
            return self
        return replace(self, seed=secrets.randbelow(SEED_BOUND))


# Checked options; InputError with a one-line message otherwise.
def make_options(replicates, seed=None, scheduler=None):
    replicates = check_count("bootstrap replicates", replicates, "--bootstrap")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)
                             or seed < 0):
        raise InputError(f"--seed must be an integer of at least 0, got {seed!r}")
    return BootstrapOptions(int(replicates), None if seed is None else int(seed), scheduler)


# The random generator of replicate `index`.
def replicate_rng(seed, index):
    return np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(index,)))


# Model curves plus residuals drawn with replacement within each curve. With
# the data's own standard deviations `sigma` the residuals are drawn in units
# of sigma and scaled back by the sigma of the point they go to.
# Rows of curves of different lengths are padded with NaN, which stays in place.
def resample(model, residuals, rng, sigma=None):
    model = np.asarray(model, dtype=np.float64)
    residuals = np.asarray(residuals, dtype=np.float64)
    own = ~np.isnan(residuals)
    if not own.all():
        counts = own.sum(axis=1)
        picks = np.minimum((rng.random(residuals.shape) * counts[:, None]).astype(np.intp),
                           counts[:, None] - 1)
    else:
        picks = rng.integers(0, residuals.shape[1], size=residuals.shape)
    if sigma is None:
        return model + np.take_along_axis(residuals, picks, axis=1)
    sigma = np.asarray(sigma, dtype=np.float64)
    return model + sigma * np.take_along_axis(residuals / sigma, picks, axis=1)


# A resampled data set that could not be fitted.
class ReplicateFailed(RuntimeError):
    pass


# Refits: tarvo.fit with the arguments of the original fit, on its engine.
# The exact engine starts once at the fitted values. The lsoda engine starts
# as the original fit did, from the same start values with the same starts:
# started at the fitted values, fit_zscan's forward differences see the
# solver's noise rather than the slope and often do not move at all, which
# would shrink the spread. A focus that the original fit took from the
# data's extreme is taken from the resampled data's extreme, as the original
# fit would have done with them.
@dataclass(frozen=True)
class Refit:
    arguments: dict
    params: object
    names: tuple
    n_starts: int
    # tarvo.fit, as the result names it.
    fit: object

    # The refit of one resampled data set: the varied parameters' values.
    def __call__(self, transmittance):
        result = self.fit(self.arguments["positions"], curve_rows(transmittance),
                          params=self.params, n_starts=self.n_starts,
                          **{k: v for k, v in self.arguments.items() if k != "positions"})
        if not result.success:
            raise ReplicateFailed(result.message)
        return np.array([result.values[name] for name in self.names], dtype=np.float64)


# Where each engine's refits start: True, at the fitted values (one start);
# False, as the original fit (see Refit).
REFIT_FROM_FITTED = {"exact": True, "lsoda": False}

# Whether each engine's replicates may run in threads of this process
# without a cluster: the lsoda engine's fits queue for the process's one
# OpenMP team (fit_zscan's fit queue) and run one at a time, so its
# replicates go to worker processes instead.
REPLICATES_IN_THREADS = {"exact": True, "lsoda": False}


# Rows padded with NaN (curves of different lengths) as one array per curve;
# rows without padding (and None) as they are.
def curve_rows(values):
    if values is None:
        return None
    values = np.asarray(values, dtype=np.float64)
    own = ~np.isnan(values)
    return values if own.all() else tuple(row[keep] for row, keep in zip(values, own))


# The refit of a tarvo.FitResult.
def refit_of(result):
    from_fitted = REFIT_FROM_FITTED[result.engine]
    # The fit's own engine, normalisation and weights; no plausibility checks
    # (the fit ran them).
    arguments = dict(positions=curve_rows(result.positions), pulse_energy=result.pulse_energy,
                     engine=result.engine, model=result.model,
                     normalisation=result.normalisation,
                     weights=None if result.weights == "sigma" else result.weights,
                     sigma=curve_rows(result.sigma), is_sa=result.is_sa,
                     scale_covar=result.scale_covar, aperture=result.aperture,
                     divided_by_open=result.divided_by_open,
                     checks="off", setup=result.setup, **result.grid, **result.engine_options)
    # A replicate's values and errors are what the bootstrap collects: no profiles.
    arguments["identifiability"] = "linearised"
    arguments["model_error"] = False
    params = Parameters()
    for name, parameter in result.params.items():
        value = parameter.value if from_fitted else parameter.init_value
        if name == FOCUS and not parameter.vary and parameter.init_value == result.centre:
            value = None
        params.add(name, value, vary=parameter.vary, min=parameter.min, max=parameter.max,
                   expr=getattr(parameter, "expr", None))
    return Refit(arguments, params, tuple(result.var_names),
                 1 if from_fitted else result.n_starts, result.fit_function)


# Everything a replicate needs; sent to the workers once.
@dataclass(frozen=True)
class BootstrapProblem:
    names: tuple
    values: np.ndarray
    model: np.ndarray
    residuals: np.ndarray
    sigma: np.ndarray | None
    refit: object
    seed: int
    # The engine that refits the replicates.
    engine: str = "exact"


# The problem of a tarvo.FitResult.
def fit_problem(result, seed):
    refit = refit_of(result)
    values = np.array([result.values[name] for name in refit.names], dtype=np.float64)
    sigma = None if result.sigma is None else np.array(result.sigma, dtype=np.float64)
    return BootstrapProblem(refit.names, values, np.array(result.best_fit, dtype=np.float64),
                            np.array(result.residuals, dtype=np.float64), sigma, refit, seed,
                            result.engine)


# One replicate, as a Dask task: (index, fitted values or None, failure message or None).
def run_replicate(problem, index):
    transmittance = resample(problem.model, problem.residuals, replicate_rng(problem.seed, index),
                             problem.sigma)
    try:
        values = np.asarray(problem.refit(transmittance), dtype=np.float64)
    except Exception as error:   # a failed replicate is counted, not fatal
        text = str(error) if isinstance(error, ReplicateFailed) \
            else f"{type(error).__name__}: {error}"
        return index, None, text.splitlines()[0] if text else "failed"
    if not np.all(np.isfinite(values)):
        return index, None, "non-finite fitted values"
    return index, values, None


# The replicates' fitted values and what they say.
@dataclass(frozen=True)
class BootstrapResult:
    """Bootstrap uncertainties of a fit (see `FitResult.bootstrap`).

    Attributes
    ----------
    names : tuple of str
        The fitted parameters, in the order of the columns of `values`.
    fitted : numpy.ndarray
        Their values in the original fit.
    values : numpy.ndarray
        Fitted values of the replicates that succeeded, one row each.
    failures : tuple
        (replicate index, message) of each replicate that failed.
    replicates, seed, seconds, engine
        How many replicates ran, the seed of the resampling (repeat the run
        with it), the time taken and the engine that refitted them.
    """

    names: tuple
    fitted: np.ndarray
    values: np.ndarray
    failures: tuple
    replicates: int
    seed: int
    seconds: float
    engine: str = "exact"

    @property
    def succeeded(self):
        """Number of replicates that gave fitted values."""
        return self.values.shape[0]

    def interval(self, level):
        """Central percentile interval at `level`.

        Parameters
        ----------
        level : float
            Probability the interval holds, e.g. 0.95.

        Returns
        -------
        numpy.ndarray
            Lower and upper row, one column per parameter (see `intervals`
            for the same keyed by name).
        """
        if self.succeeded < MIN_REPLICATES:
            return np.full((2, len(self.names)), np.nan)
        tail = 50.0 * (1.0 - level)
        return np.percentile(self.values, [tail, 100.0 - tail], axis=0)

    @property
    def standard_deviation(self):
        """Standard deviation of the replicates' values, one per parameter."""
        if self.succeeded < MIN_REPLICATES:
            return np.full(len(self.names), np.nan)
        return self.values.std(axis=0, ddof=1)

    @property
    def correlation(self):
        """Correlation matrix of the replicates' values."""
        if self.succeeded < MIN_REPLICATES:
            return np.full((len(self.names),) * 2, np.nan)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.atleast_2d(np.corrcoef(self.values, rowvar=False))

    @property
    def intervals(self):
        """Percentile intervals by parameter name.

        Returns
        -------
        dict
            ``{name: {level: (lower, upper)}}`` for the levels 0.6827 (one
            standard deviation of a normal distribution) and 0.95.
        """
        bounds = {level: self.interval(level) for level in INTERVAL_LEVELS}
        return {name: {level: (float(b[0, j]), float(b[1, j])) for level, b in bounds.items()}
                for j, name in enumerate(self.names)}

    def report(self, standard_errors=None):
        """The bootstrap figures as a text table.

        Parameters
        ----------
        standard_errors : dict, optional
            name -> standard error of the fit (e.g. ``result.stderr``), shown
            beside the bootstrap standard deviations.

        Returns
        -------
        str
            Replicates, seed and time; per parameter the fitted value, the
            standard error, the bootstrap standard deviation and the 68.3 %
            and 95 % intervals; the bootstrap correlations.
        """
        return format_bootstrap(self.to_document(), dict(standard_errors or {}))

    # Compact one-line summary (the replicates' values stay in .values).
    def __repr__(self):
        spread = ", ".join(f"{name} sd {sd:.3g}" for name, sd in
                           zip(self.names, self.standard_deviation))
        return (f"<BootstrapResult {self.succeeded} of {self.replicates} replicates (seed "
                f"{self.seed}, {self.seconds:.1f} s, {self.engine} engine): {spread}>")

    def to_document(self):
        """The result as a JSON-ready dict (key "bootstrap" of fit-result.json)."""
        intervals = {level: self.interval(level) for level in INTERVAL_LEVELS}
        median = (np.median(self.values, axis=0) if self.succeeded
                  else np.full(len(self.names), np.nan))
        parameters = []
        for j, name in enumerate(self.names):
            entry = {"name": name, "value": json_number(self.fitted[j]),
                     "median": json_number(median[j]),
                     "standard_deviation": json_number(self.standard_deviation[j])}
            for level, bounds in intervals.items():
                entry[_interval_key(level)] = [json_number(bounds[0, j]), json_number(bounds[1, j])]
            parameters.append(entry)
        return {
            "method": f"{METHOD}; {REFIT[self.engine]}",
            "replicates": self.replicates,
            "seed": self.seed,
            "succeeded": self.succeeded,
            "failed": len(self.failures),
            "failures": [{"replicate": index, "message": message}
                         for index, message in self.failures[:FAILURES_LISTED]],
            "seconds": round(self.seconds, 3),
            "parameters": parameters,
            "correlation": {"parameters": list(self.names),
                            "matrix": [[json_number(v) for v in row] for row in self.correlation]},
            "values": [[json_number(v) for v in row] for row in self.values],
        }


# Key of a percentile interval in the document, e.g. "interval_95".
def _interval_key(level):
    return f"interval_{100.0 * level:.3g}".replace(".", "_")


# The result of a run from `found` (index -> (values or None, failure
# message)), in replicate order whatever order they finished in.
def _collect(problem, replicates, found, began):
    rows = [found[i][0] for i in range(replicates) if found[i][0] is not None]
    failures = tuple((i, found[i][1]) for i in range(replicates) if found[i][0] is None)
    values = np.array(rows, dtype=np.float64).reshape(len(rows), len(problem.names))
    return BootstrapResult(problem.names, problem.values, values, failures, replicates,
                           problem.seed, time.monotonic() - began, problem.engine)


# Replicates in flight per thread of the cluster: enough to keep every
# thread busy while results travel back, few enough that a run of any size
# holds a bounded number of futures.
IN_FLIGHT_PER_THREAD = 2


# Run the replicates of `problem` on the cluster of `client`; the result in
# replicate order, whatever order they finished in. Replicates are submitted
# as others finish, a bounded number at a time. Ctrl-C cancels the
# outstanding replicates and passes on. `progress(done)` is called as
# replicates finish.
def run_replicates(client, problem, replicates, progress=None):
    from distributed import as_completed

    began = time.monotonic()
    workers = client.scheduler_info(n_workers=-1).get("workers", {})
    threads = sum(worker.get("nthreads", 0) for worker in workers.values())
    in_flight = max(2, IN_FLIGHT_PER_THREAD * max(1, threads))
    shipped = client.scatter(problem, broadcast=True)
    submitted = iter(range(replicates))
    outstanding = set()

    # Submit the next replicate, if any is left.
    def submit_next(pending):
        index = next(submitted, None)
        if index is not None:
            future = client.submit(run_replicate, shipped, index, pure=False)
            outstanding.add(future)
            pending.add(future)

    found = {}
    try:
        pending = as_completed()
        for _ in range(min(in_flight, replicates)):
            submit_next(pending)
        for future in pending:
            outstanding.discard(future)
            index, values, message = future.result()
            found[index] = (values, message)
            if progress is not None:
                progress(len(found))
            submit_next(pending)
    except BaseException:
        client.cancel(list(outstanding))
        raise
    return _collect(problem, replicates, found, began)


# Name (prefix) of the threads that run replicates.
THREAD_NAME = "tarvo-bootstrap"


# Replicate threads still running (after Ctrl-C they finish the replicate
# they are fitting): native code must not run under an interpreter that
# shuts down, so the process waits for them at exit (tarvo's command line
# ends without waiting, see tarvo.cli.console_main).
def replicate_threads():
    return [thread for thread in threading.enumerate()
            if thread.name.startswith(THREAD_NAME) and thread.is_alive()]


@atexit.register
def _join_replicate_threads():
    for thread in replicate_threads():
        thread.join()


# Native model threads of each replicate run in a thread of this process: the
# replicates themselves fill the cores.
THREADS_PER_REPLICATE = 1

# Seconds between two looks at Ctrl-C while replicates run in threads.
POLL_SECONDS = 0.1


# The replicates of `problem` in `workers` threads of this process (default:
# one per core), as run_replicates returns them. The exact engine's fits
# spend nearly all their time in the native model, outside the interpreter
# lock, so threads fill the cores without a cluster's start-up and transfers.
# Each thread takes the next replicate when it has handed over the one before,
# so no more than 2 * `workers` are under way or waiting to be collected. Ctrl-C (or any error) stops the handing out
# at once and passes on without waiting: the replicates under way finish in
# their (daemon) threads, which then end.
def run_replicates_in_threads(problem, replicates, progress=None, workers=None):

    began = time.monotonic()
    workers = available_cores() if workers is None else max(1, int(workers))
    indices = itertools.count()
    take = threading.Lock()
    stop = threading.Event()
    threads_used = min(workers, replicates)
    # Finished replicates wait here for this thread: a bounded number.
    finished = queue.Queue(maxsize=threads_used)

    # Pass an item to the waiting thread, unless the run stops first.
    def hand_over(item):
        while not stop.is_set():
            try:
                finished.put(item, timeout=POLL_SECONDS)
                return
            except queue.Full:
                continue

    # One thread: replicates until none is left or the run stops.
    def work():
        try:
            _native.set_thread_count(THREADS_PER_REPLICATE)
            while not stop.is_set():
                with take:
                    index = next(indices)
                if index >= replicates:
                    return
                hand_over(run_replicate(problem, index))
        except BaseException as error:   # passed to the waiting thread
            hand_over(error)

    threads = [threading.Thread(target=work, name=f"{THREAD_NAME}-{k}", daemon=True)
               for k in range(threads_used)]
    found = {}
    try:
        for thread in threads:
            thread.start()
        while len(found) < replicates:
            try:
                item = finished.get(timeout=POLL_SECONDS)
            except queue.Empty:
                if not any(thread.is_alive() for thread in threads) and finished.empty():
                    raise RuntimeError("the bootstrap threads ended before their replicates")
                continue
            if isinstance(item, BaseException):
                raise item
            index, values, message = item
            found[index] = (values, message)
            if progress is not None:
                progress(len(found))
    finally:
        stop.set()
    return _collect(problem, replicates, found, began)


# Run the replicates of `problem` with `options`: on the Dask cluster that
# tarvo.cluster.dask_client picks when a scheduler is named, inside a Dask
# task (a batch), or for the lsoda engine; else (the exact engine, no
# cluster asked for) in threads of this process, which start at once.
def run_problem(problem, options, progress=None):

    # A Dask worker has imported distributed; elsewhere it need not be loaded.
    in_task = "distributed" in sys.modules and inside_worker()
    if options.scheduler is None and REPLICATES_IN_THREADS[problem.engine] and not in_task:
        return run_replicates_in_threads(problem, options.replicates, progress)
    with dask_client(options.scheduler) as client:
        return run_replicates(client, problem, options.replicates, progress)


# Bootstrap a tarvo.fit result: `replicates` refits on its engine of data
# resampled from its residuals, in threads of this process (on the Dask
# cluster of `scheduler` when one is named, or the worker's own inside a Dask
# task).
def bootstrap_result(result, replicates, seed=None, scheduler=None, progress=None):
    options = make_options(replicates, seed, scheduler).seeded()
    return run_problem(fit_problem(result, options.seed), options, progress)


# Bootstrap the fit of a `tarvo fit` run (a tarvo.directory_fit.FitRequest
# with its tarvo.FitResult).
def bootstrap_fit(request, result, progress=None):
    options = request.bootstrap.seeded()
    return run_problem(fit_problem(result, options.seed), options, progress)


# Bootstrap figures beside the Jacobian standard errors (`errors`: name ->
# standard error), as text lines.
def format_bootstrap(document, errors):
    header = ["parameter", "fitted", "std. error", "bootstrap sd", "68.3% interval",
              "95% interval"]
    lines = [header]
    for entry in document["parameters"]:
        lines.append([entry["name"], number_cell(entry["value"], ".4e"),
                      number_cell(errors.get(entry["name"]), ".2e"),
                      number_cell(entry["standard_deviation"], ".2e"),
                      _pair(entry[_interval_key(INTERVAL_LEVELS[0])]),
                      _pair(entry[_interval_key(INTERVAL_LEVELS[1])])])
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = [f"bootstrap: {document['succeeded']} of {document['replicates']} replicates "
            f"refitted (seed {document['seed']}, {document['seconds']:.1f} s)"]
    text += ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
             for line in lines]
    text.insert(2, "  ".join("-" * width for width in widths))
    names = document["correlation"]["parameters"]
    matrix = document["correlation"]["matrix"]
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            r = matrix[i][j]
            text.append(f"bootstrap correlation {names[i]} / {names[j]}: "
                        + ("-" if r is None else f"{r:+.3f}"))
    if document["failed"]:
        text.append(f"note: {document['failed']} replicates failed, e.g. "
                    f"{document['failures'][0]['message']}")
    return "\n".join(text)


# Text cell of an interval.
def _pair(bounds):
    return "-" if None in bounds else f"[{bounds[0]:.4e}, {bounds[1]:.4e}]"
