"""Bootstrap uncertainties: refits of data sets made from a fit's own residuals.

A replicate keeps the fitted model curves and adds to each point a residual
drawn with replacement from the same curve (residual resampling within each
curve), then fits the same parameters again, starting from the fitted values.
The spread of the refitted values shows how well the data determine the
parameters also where the Jacobian's linear picture fails, as it does for
strongly correlated parameters.

Replicate b draws from its own random stream, SeedSequence(seed,
spawn_key=(b,)): its data depend on the seed and b only, not on the worker that
runs it or the order in which replicates finish, and the first N replicates of
a larger run are the same N. The replicates run as tasks on a Dask cluster.
"""

import math
import secrets
import time
from dataclasses import dataclass, replace

import numpy as np

from .measurement import InputError

# Percentile intervals reported: the 68.3 % interval compares with one
# standard error, the 95 % interval is the usual one to quote.
INTERVAL_LEVELS = (0.6827, 0.95)

# Fewest replicates accepted; a few hundred are needed for 95 % intervals.
MIN_REPLICATES = 2

# Seeds drawn when none is given stay below 2^32, so that they survive any
# JSON reader (and are short to type when repeating a run).
SEED_BOUND = 2**32

# Failed replicates listed by message in the result; the rest are counted.
FAILURES_LISTED = 10

# How the data sets are made, for the result file.
METHOD = ("residual resampling within each curve; each replicate refitted from the fitted "
          "values")


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
    if isinstance(replicates, bool) or not isinstance(replicates, int) \
            or replicates < MIN_REPLICATES:
        raise InputError(f"--bootstrap must be an integer of at least {MIN_REPLICATES}, "
                         f"got {replicates!r}")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
        raise InputError(f"--seed must be an integer of at least 0, got {seed!r}")
    return BootstrapOptions(replicates, seed, scheduler)


# The --bootstrap, --seed and --scheduler options of a command.
def add_bootstrap_arguments(parser, scheduler=True):
    parser.add_argument("--bootstrap", type=int, metavar="N",
                        help="also refit N data sets resampled from the residuals and report "
                             "percentile intervals and correlations (needs Dask)")
    parser.add_argument("--seed", type=int, metavar="S",
                        help="seed of the bootstrap resampling (default: drawn and recorded)")
    if scheduler:
        parser.add_argument("--scheduler", metavar="ADDRESS",
                            help="run on this Dask scheduler (default: a local cluster)")


# BootstrapOptions from parsed arguments, or None without --bootstrap.
def bootstrap_options(args):
    if args.bootstrap is None:
        if args.seed is not None:
            raise InputError("--seed needs --bootstrap N")
        if args.command == "fit" and args.scheduler is not None:
            raise InputError("--scheduler needs --bootstrap N (the fit itself runs here)")
        return None
    return make_options(args.bootstrap, args.seed, getattr(args, "scheduler", None))


# The random generator of replicate `index`.
def replicate_rng(seed, index):
    return np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(index,)))


# Model curves plus residuals drawn with replacement within each curve.
def resample(model, residuals, rng):
    model = np.asarray(model, dtype=np.float64)
    residuals = np.asarray(residuals, dtype=np.float64)
    picks = rng.integers(0, residuals.shape[1], size=residuals.shape)
    return model + np.take_along_axis(residuals, picks, axis=1)


# Everything a replicate needs; sent to the workers once.
@dataclass(frozen=True)
class BootstrapProblem:
    measurement: object
    fitted: np.ndarray
    model: np.ndarray
    residuals: np.ndarray
    seed: int

    # Indices of the fitted parameters.
    @property
    def fit_indices(self):
        return self.measurement.fit_indices


# The problem of a finished fit of `measurement`: model curves are the data
# less the residuals.
def problem_from_outcome(measurement, outcome, seed):
    residuals = np.array(outcome.residuals, dtype=np.float64)
    return BootstrapProblem(measurement, np.array(outcome.fitted, dtype=np.float64),
                            measurement.transmittance - residuals, residuals, seed)


# The measurement with other transmittance values (same positions and set-up).
def with_transmittance(measurement, transmittance):
    curves = tuple(replace(curve, transmittance=np.array(row, dtype=np.float64))
                   for curve, row in zip(measurement.curves, transmittance))
    return replace(measurement, curves=curves)


# Fit a resampled data set with the fit of `tarvo fit` (one start, from the
# fitted values); the fitted parameters' values. The module scales the start of
# a single-start fit by its first multiplier, so the start is divided by it.
def refit(problem, transmittance):
    from .run_fit import fit_measurement, start_multipliers

    indices = problem.fit_indices
    start = problem.measurement.start.copy()
    start[indices] = problem.fitted[indices] / start_multipliers(1)[0]
    measurement = replace(with_transmittance(problem.measurement, transmittance), start=start)
    outcome = fit_measurement(measurement, 1)
    if not math.isfinite(outcome.error):
        raise ArithmeticError(f"non-finite fit error ({outcome.error})")
    return outcome.fitted[indices]


# One replicate, as a Dask task: (index, fitted values or None, failure message or None).
def run_replicate(problem, index):
    transmittance = resample(problem.model, problem.residuals, replicate_rng(problem.seed, index))
    try:
        values = np.asarray(refit(problem, transmittance), dtype=np.float64)
    except Exception as error:   # a failed replicate is counted, not fatal
        return index, None, f"{type(error).__name__}: {error}".splitlines()[0]
    if not np.all(np.isfinite(values)):
        return index, None, "non-finite fitted values"
    return index, values, None


# The replicates' fitted values and what they say.
@dataclass(frozen=True)
class BootstrapResult:
    names: tuple
    fitted: np.ndarray
    values: np.ndarray
    failures: tuple
    replicates: int
    seed: int
    seconds: float

    # Replicates that gave fitted values.
    @property
    def succeeded(self):
        return self.values.shape[0]

    # Central percentile interval at `level` (lower and upper row, one column per parameter).
    def interval(self, level):
        if self.succeeded < MIN_REPLICATES:
            return np.full((2, len(self.names)), np.nan)
        tail = 50.0 * (1.0 - level)
        return np.percentile(self.values, [tail, 100.0 - tail], axis=0)

    # Standard deviation of the replicates' values.
    @property
    def standard_deviation(self):
        if self.succeeded < MIN_REPLICATES:
            return np.full(len(self.names), np.nan)
        return self.values.std(axis=0, ddof=1)

    # Correlation matrix of the replicates' values.
    @property
    def correlation(self):
        if self.succeeded < MIN_REPLICATES:
            return np.full((len(self.names),) * 2, np.nan)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.atleast_2d(np.corrcoef(self.values, rowvar=False))

    # The result as a JSON-ready dict (key "bootstrap" of fit-result.json).
    def to_document(self):
        intervals = {level: self.interval(level) for level in INTERVAL_LEVELS}
        median = (np.median(self.values, axis=0) if self.succeeded
                  else np.full(len(self.names), np.nan))
        parameters = []
        for j, name in enumerate(self.names):
            entry = {"name": name, "value": _number(self.fitted[j]),
                     "median": _number(median[j]),
                     "standard_deviation": _number(self.standard_deviation[j])}
            for level, bounds in intervals.items():
                entry[_interval_key(level)] = [_number(bounds[0, j]), _number(bounds[1, j])]
            parameters.append(entry)
        return {
            "method": METHOD,
            "replicates": self.replicates,
            "seed": self.seed,
            "succeeded": self.succeeded,
            "failed": len(self.failures),
            "failures": [{"replicate": index, "message": message}
                         for index, message in self.failures[:FAILURES_LISTED]],
            "seconds": round(self.seconds, 3),
            "parameters": parameters,
            "correlation": {"parameters": list(self.names),
                            "matrix": [[_number(v) for v in row] for row in self.correlation]},
            "values": [[_number(v) for v in row] for row in self.values],
        }


# Key of a percentile interval in the document, e.g. "interval_95".
def _interval_key(level):
    return f"interval_{100.0 * level:.3g}".replace(".", "_")


# A number for JSON: non-finite values become null.
def _number(value):
    value = float(value)
    return value if math.isfinite(value) else None


# Run the replicates of `problem` on the cluster of `client`; the result in
# replicate order, whatever order they finished in. Ctrl-C cancels the
# outstanding replicates and passes on. `progress(done)` is called as
# replicates finish.
def run_replicates(client, problem, replicates, progress=None):
    from distributed import as_completed

    began = time.monotonic()
    shipped = client.scatter(problem, broadcast=True)
    futures = [client.submit(run_replicate, shipped, index, pure=False)
               for index in range(replicates)]
    found = {}
    try:
        for future in as_completed(futures):
            index, values, message = future.result()
            found[index] = (values, message)
            if progress is not None:
                progress(len(found))
    except BaseException:
        client.cancel(futures)
        raise
    names = tuple(problem.measurement.fit_names)
    rows = [found[i][0] for i in range(replicates) if found[i][0] is not None]
    failures = tuple((i, found[i][1]) for i in range(replicates) if found[i][0] is None)
    values = np.array(rows, dtype=np.float64).reshape(len(rows), len(names))
    return BootstrapResult(names, problem.fitted[problem.fit_indices], values, failures,
                           replicates, problem.seed, time.monotonic() - began)


# Bootstrap a finished fit of `measurement` with `options` on a Dask cluster
# (see tarvo.cluster.dask_client for which one).
def bootstrap_outcome(measurement, outcome, options, progress=None):
    from .cluster import dask_client

    options = options.seeded()
    problem = problem_from_outcome(measurement, outcome, options.seed)
    with dask_client(options.scheduler) as client:
        return run_replicates(client, problem, options.replicates, progress)


# Bootstrap figures beside the Jacobian standard errors, as text lines.
def format_bootstrap(document, rows):
    errors = {row["name"]: row["standard_error"] for row in rows if row["fitted"]}
    header = ["parameter", "fitted", "std. error", "bootstrap sd", "68.3% interval",
              "95% interval"]
    lines = [header]
    for entry in document["parameters"]:
        lines.append([entry["name"], _cell(entry["value"], ".4e"),
                      _cell(errors.get(entry["name"]), ".2e"),
                      _cell(entry["standard_deviation"], ".2e"),
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


# Text cell of a number, or "-".
def _cell(value, number_format):
    return "-" if value is None else format(value, number_format)


# Text cell of an interval.
def _pair(bounds):
    return "-" if None in bounds else f"[{bounds[0]:.4e}, {bounds[1]:.4e}]"
