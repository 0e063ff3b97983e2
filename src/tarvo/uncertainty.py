"""What the data determine: standard errors from the Jacobian at the solution,
profile-likelihood confidence intervals, and the identifiability report
(singular values of the scaled Jacobian, the combinations the data fix)."""

import math
import time
from dataclasses import dataclass, field

import numpy as np
from scipy.optimize import brentq
from scipy.stats import chi2 as chi2_distribution, f as f_distribution

from . import _native
from .files import json_number, number_cell


# Relative step of the central differences (see the module note).
REL_STEP_DEFAULT = 1.0e-3

# Scan positions arrive in mm; the weights use metres, as the fit does.
MM_TO_M = _native.METRES_PER_MILLIMETRE


# Covariance and standard errors of the fitted parameters.
@dataclass(frozen=True)
class Uncertainty:
    standard_errors: np.ndarray
    covariance: np.ndarray
    chi2: float
    degrees_of_freedom: int

    # Correlation coefficients of the fitted parameters.
    @property
    def correlation(self):
        errors = self.standard_errors
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.covariance / np.outer(errors, errors)

    # chi^2 per degree of freedom: the s^2 that scales the covariance.
    @property
    def reduced_chi2(self):
        if self.degrees_of_freedom <= 0:
            return float("nan")
        return self.chi2 / self.degrees_of_freedom


# Weight of each point in the fit (the fit's own formula, 1 + 4 exp(-4 s^2)
# with s the centred position in metres), in the shape of centred_mm.
def point_weights(centred_mm):
    s = np.asarray(centred_mm, dtype=np.float64) * MM_TO_M
    return np.array(_native.point_weights(s.ravel().tolist()), dtype=np.float64).reshape(s.shape)


# Jacobian of fun at x by central differences with steps rel_step * |x_j|.
def central_jacobian(fun, x, rel_step=REL_STEP_DEFAULT):
    x = np.asarray(x, dtype=np.float64)
    columns = []
    for j in range(x.size):
        step = rel_step * abs(x[j]) if x[j] != 0.0 else rel_step
        up, down = x.copy(), x.copy()
        up[j] += step
        down[j] -= step
        # Divide by the steps actually represented in floating point.
        columns.append((np.asarray(fun(up)) - np.asarray(fun(down))) / (up[j] - down[j]))
    return np.column_stack(columns)


# Covariance s^2 (J^T J)^-1 and standard errors from the Jacobian of the
# weighted residuals and the weighted residuals at the solution; without
# scale_covar (data with their own uncertainties) the covariance is (J^T J)^-1.
def covariance_from_jacobian(jacobian, weighted_residuals, scale_covar=True):
    jacobian = np.asarray(jacobian, dtype=np.float64)
    residuals = np.asarray(weighted_residuals, dtype=np.float64).ravel()
    m, n = jacobian.shape
    chi2 = float(residuals @ residuals)
    dof = m - n
    covariance = np.full((n, n), np.inf)
    # Columns scaled to unit length: parameters of 1e-17 cm^2 and 1e-9 s make
    # J^T J hopelessly ill-conditioned in raw units, not in these.
    norms = np.linalg.norm(jacobian, axis=0)
    if dof > 0 and np.all(np.isfinite(jacobian)) and np.all(norms > 0.0):
        scaled = jacobian / norms
        _, singular, vt = np.linalg.svd(scaled, full_matrices=False)
        if singular[-1] > singular[0] * max(m, n) * np.finfo(float).eps:
            inverse = (vt.T / singular**2) @ vt
            scale = chi2 / dof if scale_covar else 1.0
            covariance = scale * inverse / np.outer(norms, norms)
    if dof <= 0:
        covariance = np.full((n, n), np.nan)
    errors = np.sqrt(np.diag(covariance))
    return Uncertainty(errors, covariance, chi2, dof)


# Generic entry: standard errors of x for weighted residuals fun(x), at the solution x.
def standard_errors(weighted_residuals, x, rel_step=REL_STEP_DEFAULT):
    jacobian = central_jacobian(weighted_residuals, x, rel_step)
    return covariance_from_jacobian(jacobian, weighted_residuals(np.asarray(x, dtype=np.float64)))


# Largest factor by which a positive parameter is followed away from its value.
MAX_FACTOR = 1.0e3

# Largest distance (in standard errors) the focus is followed.
MAX_FOCUS_ERRORS = 1.0e3

# Steps of the walk along the profile, in standard errors, grow by this factor.
STEP_GROWTH = 1.5

# Profile fits run to these tolerances (a limit to 1e-8 relative is plenty).
PROFILE_TOLERANCE = 1.0e-10

# Interval ends are located to this fraction of a standard error.
LIMIT_TOLERANCE = 1.0e-4


# Probability of the n-sigma interval of a normal distribution.
def sigma_probability(n):
    return math.erf(n / math.sqrt(2.0))


# chi^2 threshold of the interval of probability `probability`.
def _threshold(result, probability):
    if result.scale_covar:
        return result.chisqr * (1.0 + f_distribution.ppf(probability, 1, result.nfree)
                                / result.nfree)
    return result.chisqr + chi2_distribution.ppf(probability, 1)


# Profile chi^2 of parameter k at solver variable t, refitting the others from `warm`.
class _Profile:
    # The fit's problem, the variable index and the fit settings.
    def __init__(self, result, k):
        self.problem = result._problem
        self.k = k
        self.free = np.ones(len(self.problem.names), dtype=bool)
        self.free[k] = False
        ftol, xtol, gtol, max_nfev = result.tolerances
        self.settings = (PROFILE_TOLERANCE, PROFILE_TOLERANCE, PROFILE_TOLERANCE, max_nfev)

    # chi^2 and the refitted variables at t.
    def __call__(self, t, warm):
        u = np.array(warm, dtype=np.float64)
        u[self.k] = t
        if not self.free.any():
            # One fitted parameter: nothing to refit, the residuals alone.
            residuals = self.problem.evaluate(u, self.free, jacobian=False)[1]
            return float(residuals @ residuals), u
        u, solution = self.problem.solve(u, self.free, *self.settings)
        return 2.0 * float(solution.cost), u


# Interval ends on one side of the best value, for every threshold (None: not reached).
def _side(profile, u_best, direction, step, limit, thresholds):
    k = profile.k
    t_best = u_best[k]
    points = [(t_best, 0.0, u_best)]
    chi2_best, _ = profile(t_best, u_best)
    points[0] = (t_best, chi2_best, u_best)
    distance, increment = 0.0, 0.5 * step
    while points[-1][1] < max(thresholds):
        distance += increment
        increment *= STEP_GROWTH
        at_limit = distance >= abs(limit - t_best)
        t = limit if at_limit else t_best + direction * distance
        chi2, u = profile(t, points[-1][2])
        points.append((t, chi2, u))
        if at_limit:
            break
    ends = []
    for threshold in thresholds:
        end = None
        for (t0, c0, u0), (t1, c1, _) in zip(points, points[1:]):
            if c0 < threshold <= c1:
                end = brentq(lambda t: profile(t, u0)[0] - threshold, t0, t1,
                             xtol=LIMIT_TOLERANCE * step)
                break
        ends.append(end)
    return ends


# Profile-likelihood confidence intervals of the fitted parameters of a FitResult.
def conf_interval(result, names=None, sigmas=(1, 2, 3), progress=None):
    """Profile-likelihood confidence intervals, as lmfit's conf_interval returns them.

    Returns {name: [(probability, value), ...]}: for each of the sigmas, from
    the widest, the lower end, then (0.0, fitted value), then the upper ends
    from the narrowest. An end that the profile does not reach within the
    parameter's bounds (or a factor 1000 for positive parameters) is the bound
    where the parameter's range ends there, else -inf or inf: the data do not
    limit the parameter on that side. `progress(done)`, if given, is called
    with the number of sides (two per parameter) finished.
    """
    problem = result._problem
    names = list(result.var_names if names is None else names)
    for name in names:
        if name not in result.var_names:
            raise ValueError(f"{name!r} is not a fitted parameter; the fitted ones are "
                             + ", ".join(result.var_names))
    sigmas = sorted(float(s) for s in sigmas)
    if not sigmas or sigmas[0] <= 0.0:
        raise ValueError("sigmas must be positive numbers")
    probabilities = [sigma_probability(s) for s in sigmas]
    thresholds = [_threshold(result, p) for p in probabilities]
    u_best = np.array(result._u, dtype=np.float64)
    intervals = {}
    sides_done = 0
    for name in names:
        k = problem.names.index(name)
        value = result.values[name]
        error = result.params[name].stderr
        is_log = bool(problem.is_log[k])
        scale = float(problem.scale[k])
        # Step of the walk in the solver variable (log(p), or the value in
        # units of its scale: mm for the focus): one standard error.
        if error is not None and math.isfinite(error) and error > 0.0:
            step = error / abs(value) if is_log else error / scale
        else:
            step = 0.1 if is_log else 0.1 * max(1.0, abs(value) / scale)
        reach = math.log(MAX_FACTOR) if is_log else MAX_FOCUS_ERRORS * step
        profile = _Profile(result, k)
        if result.chisqr == 0.0:
            # Noise-free data determine the parameters exactly.
            ends = {direction: [u_best[k]] * len(sigmas) for direction in (-1, 1)}
        else:
            ends = {}
            for direction, bound in ((-1, problem.lower[k]), (1, problem.upper[k])):
                limit = u_best[k] + direction * reach
                limit = max(limit, bound) if direction < 0 else min(limit, bound)
                found = _side(profile, u_best, direction, step, limit, thresholds)
                sides_done += 1
                if progress is not None:
                    progress(sides_done)
                at_bound = limit == bound
                ends[direction] = [t if t is not None else (limit if at_bound else
                                                            direction * math.inf)
                                   for t in found]

        # Physical value of a solver variable (infinities map to the ends of the range).
        def physical(t):
            if math.isinf(t):
                return (0.0 if t < 0 else math.inf) if is_log else t
            return float(problem.values(np.where(np.arange(u_best.size) == k, t, u_best))[k])

        lower = [(p, physical(t)) for p, t in zip(probabilities, ends[-1])]
        upper = [(p, physical(t)) for p, t in zip(probabilities, ends[1])]
        intervals[name] = lower[::-1] + [(0.0, value)] + upper
    return intervals


# The intervals as an aligned text table (lmfit's ci_report layout).
def ci_report(intervals):
    names = list(intervals)
    if not names:
        return ""
    columns = [f"{p * 100:.2f}%" if p else "_BEST_" for p, _ in intervals[names[0]]]
    width = max(len(name) for name in names)
    lines = [" " * (width + 1) + "".join(f"{c:>13}" for c in columns)]
    for name in names:
        lines.append(f"{name:<{width}}:" + "".join(f"{v:>13.5g}" for _, v in intervals[name]))
    return "\n".join(lines)


# How the intervals are found, for the result file.
INTERVAL_METHOD = ("profile likelihood: for each fitted parameter, the values whose chi^2, with "
                   "the other fitted parameters refitted, stays below the threshold of the "
                   "level ({threshold})")


# The intervals of a FitResult at `sigmas` as the JSON-ready document of
# `tarvo fit --conf-interval` (key "profile_intervals" of fit-result.json):
# per parameter the fitted value and [lower, upper] per level (null where the
# data do not limit the parameter).
def interval_document(result, sigmas, progress=None):
    began = time.monotonic()
    sigmas = sorted(float(s) for s in sigmas)
    intervals = conf_interval(result, sigmas=sigmas, progress=progress)
    count = len(sigmas)
    parameters = {}
    for name, entries in intervals.items():
        entry = {"value": json_number(entries[count][1])}
        for i, sigma in enumerate(sigmas):
            lower, upper = entries[count - 1 - i][1], entries[count + 1 + i][1]
            entry[f"{sigma:g}"] = [json_number(lower), json_number(upper)]
        parameters[name] = entry
    threshold = ("F-test of chi^2_best (1 + F^-1(P; 1, nfree) / nfree), the uncertainties "
                 "scaled by the scatter" if result.scale_covar
                 else "chi^2_best + chi2^-1(P; 1), data uncertainties")
    return {"method": INTERVAL_METHOD.format(threshold=threshold),
            "sigmas": sigmas,
            "probabilities": [sigma_probability(s) for s in sigmas],
            "seconds": round(time.monotonic() - began, 3),
            "parameters": parameters}


# The document of interval_document as text lines for the terminal.
def format_interval_document(document):
    sigmas = document["sigmas"]
    header = ["parameter", "fitted"] + [f"{s:g} sigma ({100 * p:.3g}%)"
                                        for s, p in zip(sigmas, document["probabilities"])]
    lines = [header]
    for name, entry in document["parameters"].items():
        cells = [name, number_cell(entry["value"], ".5g", "open")]
        for sigma in sigmas:
            low, high = entry[f"{sigma:g}"]
            cells.append(f"[{number_cell(low, '.5g', 'open')}, "
                         f"{number_cell(high, '.5g', 'open')}]")
        lines.append(cells)
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = [f"profile-likelihood intervals ({document['seconds']:.1f} s; an open end means "
            "the data do not limit the parameter on that side)"]
    text += ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
             for line in lines]
    text.insert(2, "  ".join("-" * width for width in widths))
    return "\n".join(text)


# Relative error (or, for the focus, mm) up to which a parameter counts as
# determined, and up to which as weakly determined.
DETERMINED = 0.1
WEAKLY_DETERMINED = 1.0

# Components of a direction smaller than this, relative to its largest, are
# left out of its description.
NEGLIGIBLE_COMPONENT = 0.2

# A parameter's part along an unconstrained direction above this makes it undetermined.
NULL_COMPONENT = 1e-6

# The statuses, best first.
STATUSES = ("determined", "weakly determined", "not determined")

# How the statuses are found.
METHOD = "linearised errors from the exact Jacobian in log-parameters"


# One principal direction: its relative precision and its description.
@dataclass(frozen=True)
class Direction:
    error: float
    combination: str


# The identifiability of a fit's parameters.
@dataclass
class Identifiability:
    """What the data determine: principal directions and a status per parameter.

    Attributes
    ----------
    singular_values : numpy.ndarray
        Singular values of the scaled Jacobian in log-parameters.
    directions : list of Direction
        Principal directions, best determined first.
    status : dict
        Parameter name -> "determined", "weakly determined" or "not determined".
    errors : dict
        Parameter name -> linearised relative error (the focus: in mm).
    method : str
        How the statuses were found.
    """

    singular_values: np.ndarray
    directions: list
    status: dict
    errors: dict
    method: str = METHOD
    notes: list = field(default_factory=list)

    # Names of the parameters the data do not determine.
    @property
    def undetermined(self):
        return [name for name, status in self.status.items() if status == STATUSES[2]]

    # The report as text lines.
    def report(self):
        """The report as a list of lines."""
        lines = [f"what the data determine ({self.method}):"]
        for name, status in self.status.items():
            error = self.errors[name]
            size = "inf" if not math.isfinite(error) else (
                f"{error:.2g} mm" if name.split("@")[0] == "focus" else f"{100 * error:.2g} %")
            lines.append(f"  {name}: {status} (+/- {size})")
        lines += [f"  {note}" for note in self.notes]
        return lines

    # The record of the result file.
    def as_dict(self):
        return {"method": self.method,
                "singular_values": [float(v) for v in self.singular_values],
                "directions": [{"combination": d.combination, "relative_error":
                                None if not math.isfinite(d.error) else float(d.error)}
                               for d in self.directions],
                "status": dict(self.status), "notes": list(self.notes)}


# A direction as a product of powers of the log-parameters ("sigma_4/tau_24").
def _combination(names, vector):
    scale = np.max(np.abs(vector))
    parts = [(name, v / scale) for name, v in zip(names, vector)
             if abs(v) >= NEGLIGIBLE_COMPONENT * scale]
    if parts[0][1] < 0:
        parts = [(name, -v) for name, v in parts]
    top = [_power(name, v) for name, v in parts if v > 0]
    bottom = [_power(name, -v) for name, v in parts if v < 0]
    text = "·".join(top)
    return text + ("/" + "·".join(bottom) if len(bottom) == 1 else
                   "/(" + "·".join(bottom) + ")" if bottom else "")


# name^power, the power left out near 1.
def _power(name, power):
    return name if abs(power - 1.0) < 0.15 else f"{name}^{power:.2g}"


# 1 / singular values and the right singular vectors of a matrix (inf for
# directions it does not constrain).
def _inverse_singular(matrix):
    if matrix.shape[1] == 0:
        return np.zeros(0), np.zeros((0, 0))
    if not np.all(np.isfinite(matrix)):
        return np.full(matrix.shape[1], np.inf), np.eye(matrix.shape[1])
    _, singular, vt = np.linalg.svd(matrix, full_matrices=False)
    floor = singular[0] * max(matrix.shape) * np.finfo(float).eps
    # A tiny floor (a Jacobian of subnormal entries) overflows to an infinite inverse.
    with np.errstate(divide="ignore", over="ignore"):
        inverse = np.where(singular > floor, 1.0 / np.maximum(singular, floor), np.inf)
    return inverse, vt


# The identifiability of parameters `names` (values, whether each is a
# log-parameter, and the scale of each other one, e.g. the Rayleigh range for
# the focus in mm) from the Jacobian of the weighted residuals with respect to
# the physical values and the variance scale s^2 of the covariance.
def from_jacobian(names, values, is_log, jacobian, variance_scale, scales=None):
    """Identifiability of a fit from its Jacobian (rows: weighted residuals)."""
    names = list(names)
    values = np.asarray(values, dtype=np.float64)
    is_log = np.asarray(is_log, dtype=bool)
    scaled = np.asarray(jacobian, dtype=np.float64) * np.where(is_log, values, 1.0)
    if variance_scale > 0:
        scaled = scaled / math.sqrt(variance_scale)
    # Linearised error of each parameter: sqrt of the diagonal of V diag(1/s^2)
    # V^T; infinite for a parameter with a part along a direction the data
    # do not constrain.
    inverse, vt = _inverse_singular(scaled)
    finite = np.isfinite(inverse)
    with np.errstate(over="ignore", invalid="ignore"):
        variance = (vt[finite].T ** 2) @ (inverse[finite] ** 2)
    free = np.any(np.abs(vt[~finite]) > NULL_COMPONENT, axis=0)
    errors = {name: math.inf if open_ else float(math.sqrt(v))
              for name, v, open_ in zip(names, variance, free)}
    # Directions among the log-parameters, the others (the focus) profiled out:
    # the log columns with their part along the other columns removed.
    logs, others = scaled[:, is_log], scaled[:, ~is_log]
    if others.shape[1] and np.all(np.isfinite(others)) and np.all(np.isfinite(logs)):
        basis, _ = np.linalg.qr(others)
        logs = logs - basis @ (basis.T @ logs)
    inverse, vt = _inverse_singular(logs)
    log_names = [name for name, log in zip(names, is_log) if log]
    directions = [Direction(float(e), _combination(log_names, v)) for e, v in zip(inverse, vt)]
    scales = scales or {}
    status = {}
    for name, error in errors.items():
        relative = error / scales.get(name, 1.0)
        status[name] = STATUSES[0] if relative <= DETERMINED else \
            STATUSES[1] if relative <= WEAKLY_DETERMINED else STATUSES[2]
    notes = []
    good = [d for d in directions if d.error <= DETERMINED]
    if len(log_names) > 1:
        for direction in directions:
            if direction.error > WEAKLY_DETERMINED:
                fixed = (f"the data fix {good[0].combination} to {_percent(good[0].error)}, "
                         "but not " if good else "the data do not fix ")
                notes.append(f"{fixed}{direction.combination} ({_percent(direction.error)})")
    singular = np.where(np.isfinite(inverse) & (inverse > 0), 1.0 / np.where(
        inverse > 0, inverse, 1.0), 0.0)
    return Identifiability(singular, directions, status, errors, notes=notes)


# A relative error as per cent text ("0.8 %", "inf").
def _percent(error):
    return "+/- inf" if not math.isfinite(error) else f"{100 * error:.2g} %"
