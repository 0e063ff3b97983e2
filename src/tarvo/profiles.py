"""Likelihood profiles of fitted parameters: confidence intervals (lmfit's
conf_interval layout) and the verdict on parameters the linearised errors leave
weakly or not determined.

A profile fixes one parameter at a sequence of values and refits the others;
the interval is where chi^2 stays below the level of its probability. Where
dividing curves by their own far field correlates the residuals' noise, each
parameter's level is widened by the ratio of its standard error's variance to
the one of independent points (see residual_noise)."""

import math
import time
from dataclasses import dataclass

import numpy as np
from scipy.stats import chi2 as chi2_distribution, f as f_distribution

from .errors import InputError
from .files import json_number, number_cell
from .uncertainty import (LOWER_MINIMUM, PROFILE, STATUSES, VERDICT_PROBABILITY,
                          VERDICT_REFINEMENTS, VERDICT_TOLERANCE, _status,
                          covariance_from_jacobian)

# Largest factor by which a positive parameter is followed away from its value
# (and from its start, for a value that ran off towards 0 or infinity).
MAX_FACTOR = 1.0e3

# Largest distance (in standard errors) the focus is followed.
MAX_FOCUS_ERRORS = 1.0e3

# Each step of the walk along the profile is at most this many times the last.
STEP_GROWTH = 4.0

# The walk aims this far beyond the predicted end of the widest level, so that
# one more refit brackets it.
OVERSHOOT = 1.1

# Once sqrt(chi^2 - chi^2_best) has risen this fraction of the way to the
# widest level, a step is at most a factor e for a positive parameter (far
# steps on a profile that curves would bracket the end too loosely).
RISING = 0.05
LARGEST_LOG_STEP = 1.0

# Profile refits run to these tolerances (warm-started, they need few steps).
PROFILE_TOLERANCE = 1.0e-10

# Interval ends are located to this relative accuracy (of sqrt(chi^2 - chi^2_best)).
LIMIT_TOLERANCE = 1.0e-6

# Refits at most that locate one interval end.
MAX_REFINEMENTS = 40


# Probability of the n-sigma interval of a normal distribution.
def sigma_probability(n):
    return math.erf(n / math.sqrt(2.0))


# chi^2 threshold of the interval of probability `probability`.
def _threshold(result, probability, widening=1.0):
    if result.scale_covar:
        rise = result.chisqr * f_distribution.ppf(probability, 1, result.nfree) / result.nfree
    else:
        rise = chi2_distribution.ppf(probability, 1)
    return result.chisqr + widening * rise


# How much higher than for independent points the levels of each parameter's
# profile lie: the ratio of its variance with the noise that dividing by
# measured far fields adds (the fit's standard error) to the variance of
# independent points (1 where the normalisation adds none, and for an
# undetermined parameter). A profile's chi^2 rises with the curvature of
# independent points, so its level rises with the true variance.
def _widenings(result):
    problem = result._problem
    u = np.asarray(result._u, dtype=np.float64)
    noise = problem.residual_noise(u)
    if noise is None:
        return np.ones(len(problem.names))
    _, residuals, jacobian = problem.evaluate(u, np.ones(len(problem.names), dtype=bool))
    plain = covariance_from_jacobian(jacobian, residuals, result.scale_covar).covariance
    mixed = covariance_from_jacobian(jacobian, residuals, result.scale_covar, noise).covariance
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        ratio = np.diag(mixed) / np.diag(plain)
    return np.where(np.isfinite(ratio) & (ratio > 0.0), ratio, 1.0)


# Profile chi^2 of parameter k at solver variable t, the others refitted from a
# warm start; counts its refits.
class _Profile:
    # The fit's problem, the variable index and the fit settings.
    def __init__(self, result, k, tolerance=PROFILE_TOLERANCE):
        self.problem = result._problem
        self.k = k
        self.free = np.ones(len(self.problem.names), dtype=bool)
        self.free[k] = False
        self.settings = (tolerance, tolerance, tolerance, result.tolerances[3])
        self.refits = 0
        self.best = float(result._u[k])

    # chi^2 and the refitted variables at t.
    def __call__(self, t, warm):
        u = np.array(warm, dtype=np.float64)
        u[self.k] = t
        self.refits += 1
        if not self.free.any():
            # Nothing else to refit: the residuals alone.
            _, residuals, _ = self.problem.evaluate(u, self.free, jacobian=False)
            return float(residuals @ residuals), u
        try:
            u, solution = self.problem.solve(u, self.free, *self.settings)
        except ValueError:
            # The model is not finite there: as far from the data as can be.
            return math.inf, u
        return 2.0 * float(solution.cost), u


# Largest move of a variable predicted for a warm start (a factor e for a
# log-parameter): beyond it the line is no guide.
MAX_PREDICTED_MOVE = 1.0


# The other variables' start at t: followed along the line through the two
# nearest profile points (at the first step, along the linearised profile
# `slope`, d u / d u_k from the covariance).
def _predicted(points, t, slope):
    t0, _, u0 = points[-1]
    if len(points) > 1:
        t1, _, u1 = points[-2]
        if t0 != t1:
            slope = (u0 - u1) / (t0 - t1)
    with np.errstate(invalid="ignore", over="ignore"):
        move = slope * (t - t0)
    move = np.where(np.isfinite(move), move, 0.0)
    return u0 + np.clip(move, -MAX_PREDICTED_MOVE, MAX_PREDICTED_MOVE)


# sqrt(chi^2 - chi^2_best), nearly linear in the parameter along a profile.
def _rise(chi2, chi2_best):
    return math.sqrt(max(chi2 - chi2_best, 0.0))


# One side of a profile: the walk from the best value towards `limit` until
# the largest threshold is crossed, with adaptive steps (each aimed, from the
# rise of sqrt(chi^2) so far, just beyond the predicted crossing; at most
# STEP_GROWTH times the last step, and, once chi^2 rises, at most `largest`);
# then each threshold's crossing, interpolated in sqrt(chi^2) and located by
# secant steps to `tolerance` (relative to its distance from the best value).
# Returns the ends per threshold (None: not reached before `limit`) and the
# lowest point found, (chi^2, u).
def _side(profile, u_best, chi2_best, direction, step, limit, thresholds, slope, tolerance,
          largest, refinements):
    k = profile.k
    t_best = u_best[k]
    points = [(t_best, chi2_best, u_best)]
    reach = abs(limit - t_best)
    top = _rise(max(thresholds), chi2_best)
    distance, increment = min(step, reach), step
    while True:
        t = t_best + direction * distance
        chi2, u = profile(t, _predicted(points, t, slope))
        points.append((t, chi2, u))
        if chi2 >= max(thresholds) or distance >= reach:
            break
        (d0, r0), (d1, r1) = [(abs(p[0] - t_best), _rise(p[1], chi2_best)) for p in points[-2:]]
        aimed = increment * STEP_GROWTH
        if r1 > r0:
            aimed = min(aimed, OVERSHOOT * (top - r1) * (d1 - d0) / (r1 - r0))
        if r1 > RISING * top:
            aimed = min(aimed, largest)
        increment = max(aimed, 0.5 * step)
        distance = min(reach, d1 + increment)
    ends = []
    for threshold in thresholds:
        ends.append(_crossing(profile, points, threshold, chi2_best, tolerance, largest,
                              refinements))
    lowest = min(points, key=lambda point: point[1])
    return ends, (lowest[1], lowest[2])


# Where chi^2 reaches `threshold` along the walk's points (t, chi2, u), ordered
# from the best value out (None: nowhere): the bracket is halved until it
# spans at most `largest`, then secant steps in sqrt(chi^2 - chi^2_best)
# (the Illinois variant of regula falsi) until the rise is within `tolerance`
# of the target (relative) or the bracket is negligible. Each step is a warm
# refit (at most `refinements`), added to `points` for the next threshold.
def _crossing(profile, points, threshold, chi2_best, tolerance, largest, refinements):
    index = next((i for i in range(1, len(points))
                  if points[i - 1][1] < threshold <= points[i][1]), None)
    if index is None:
        return None
    target = _rise(threshold, chi2_best)
    low, high = points[index - 1], points[index]
    r_low, r_high = _rise(low[1], chi2_best) - target, _rise(high[1], chi2_best) - target
    kept = 0
    t = low[0]
    for _ in range(refinements):
        (t0, _, u0), (t1, _, u1) = low, high
        bisected = abs(t1 - t0) > largest or not math.isfinite(r_high)
        if bisected:
            t = 0.5 * (t0 + t1)
        else:
            t = t0 + (t1 - t0) * (-r_low) / (r_high - r_low) if r_high > r_low else 0.5 * (t0 + t1)
        if abs(t1 - t0) <= tolerance * abs(t - profile.best):
            return t
        near = low if abs(t - t0) <= abs(t - t1) else high
        chi2, u = profile(t, _predicted([near], t, (u1 - u0) / (t1 - t0)))
        point = (t, chi2, u)
        points.insert(points.index(high), point)
        miss = _rise(chi2, chi2_best) - target
        if abs(miss) <= tolerance * target:
            return t
        # Illinois: halve the value kept at the end that stays twice running.
        if miss < 0.0:
            low, r_low = point, miss
            kept = 1 if kept <= 0 or bisected else kept + 1
            if kept > 1:
                r_high *= 0.5
        else:
            high, r_high = point, miss
            kept = -1 if kept >= 0 or bisected else kept - 1
            if kept < -1:
                r_low *= 0.5
    return t


# The solver variables' covariance column of parameter k over its variance:
# how the others follow it along the linearised profile (0 where unknown).
def _linear_slope(result, k):
    problem = result._problem
    chain = problem.chain(np.asarray(result._u, dtype=np.float64))
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        covariance = np.asarray(result.covar, dtype=np.float64) / np.outer(chain, chain)
        column = covariance[:, k] / covariance[k, k]
    return np.where(np.isfinite(column), column, 0.0)


# The range one side of a profile is followed over, in the solver variable of
# parameter k: a factor MAX_FACTOR beyond the value and the start for a positive
# parameter, MAX_FOCUS_ERRORS steps for the others; never beyond the bounds.
def _limits(result, k, step):
    problem = result._problem
    u_best = np.asarray(result._u, dtype=np.float64)
    if problem.is_log[k]:
        reach = math.log(MAX_FACTOR)
        low, high = min(u_best[k], 0.0) - reach, max(u_best[k], 0.0) + reach
    else:
        low, high = u_best[k] - MAX_FOCUS_ERRORS * step, u_best[k] + MAX_FOCUS_ERRORS * step
    return {-1: max(low, problem.lower[k]), 1: min(high, problem.upper[k])}


# What a profile found: its ends per side and threshold in solver variables
# (None where it stays below the threshold up to the side's limit), the
# limits, the refits it took and the lowest point it met (chi^2, u): below
# the fit's chi^2, the fit ended in a local minimum.
@dataclass(frozen=True)
class ProfileEnds:
    ends: dict
    limits: dict
    refits: int
    lowest: tuple


# The profile of fitted parameter `name` at the chi^2 `thresholds`, its ends
# located to `tolerance` (relative): a ProfileEnds. `progress()` is called
# after each side.
def profile_ends(result, name, thresholds, tolerance=LIMIT_TOLERANCE, progress=None,
                 refinements=MAX_REFINEMENTS):
    problem = result._problem
    k = problem.names.index(name)
    u_best = np.asarray(result._u, dtype=np.float64)
    value, error = result.values[name], result.stderr[name]
    is_log = bool(problem.is_log[k])
    # Step of the walk in the solver variable (log(p), or the value in units
    # of its scale: mm for the focus): one standard error.
    if error is not None and math.isfinite(error) and error > 0.0 and value != 0.0:
        # A relative error beyond 1 is no step size: the walk starts at a factor e.
        step = min(error / abs(value), 1.0) if is_log else error / float(problem.scale[k])
    else:
        step = 0.1 if is_log else 0.1 * max(1.0, abs(value) / float(problem.scale[k]))
    limits = _limits(result, k, step)
    # Ends located to 1 % need no refit tighter than 1e-8.
    profile = _Profile(result, k, max(PROFILE_TOLERANCE, min(tolerance * 1e-6, 1e-8)))
    lowest = (result.chisqr, u_best)
    if result.chisqr == 0.0:
        # Noise-free data determine the parameters exactly.
        ends = {direction: [u_best[k]] * len(thresholds) for direction in (-1, 1)}
        return ProfileEnds(ends, limits, 0, lowest)
    slope = _linear_slope(result, k)
    largest = LARGEST_LOG_STEP if is_log else math.inf
    ends = {}
    for direction in (-1, 1):
        ends[direction], low = _side(profile, u_best, result.chisqr, direction, step,
                                     limits[direction], thresholds, slope, tolerance, largest,
                                     refinements)
        lowest = min(lowest, low, key=lambda point: point[0])
        # A profile with local minima of its own may cross a lower level
        # farther out than a higher one: each end lies at least as far out as
        # the ends of the lower levels.
        for i in range(1, len(thresholds)):
            before, end = ends[direction][i - 1], ends[direction][i]
            if before is not None and end is not None and direction * (end - before) < 0.0:
                ends[direction][i] = before
        if progress is not None:
            progress()
    return ProfileEnds(ends, limits, profile.refits, lowest)


# Physical value of parameter k at solver variable t, the others at their best
# (infinities map to the ends of the range).
def _physical(problem, u_best, k, t):
    if math.isinf(t):
        return (0.0 if t < 0 else math.inf) if problem.is_log[k] else t
    return float(problem.values(np.where(np.arange(u_best.size) == k, t, u_best))[k])


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
            raise InputError(f"{name!r} is not a fitted parameter; the fitted ones are "
                             + ", ".join(result.var_names))
    sigmas = sorted(float(s) for s in sigmas)
    if not sigmas or sigmas[0] <= 0.0:
        raise InputError("sigmas must be positive numbers")
    probabilities = [sigma_probability(s) for s in sigmas]
    u_best = np.array(result._u, dtype=np.float64)
    widenings = _widenings(result)
    intervals = {}
    sides_done = [0]

    # One more side finished.
    def advance():
        sides_done[0] += 1
        if progress is not None:
            progress(sides_done[0])

    for name in names:
        k = problem.names.index(name)
        thresholds = [_threshold(result, p, widenings[k]) for p in probabilities]
        profiled = profile_ends(result, name, thresholds, progress=advance)
        found, limits = profiled.ends, profiled.limits
        bounds = {-1: problem.lower[k], 1: problem.upper[k]}
        ends = {direction: [t if t is not None else (limits[direction]
                                                     if limits[direction] == bounds[direction]
                                                     else direction * math.inf)
                            for t in found[direction]] for direction in (-1, 1)}
        lower = [(p, _physical(problem, u_best, k, t)) for p, t in zip(probabilities, ends[-1])]
        upper = [(p, _physical(problem, u_best, k, t)) for p, t in zip(probabilities, ends[1])]
        intervals[name] = lower[::-1] + [(0.0, result.values[name])] + upper
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
    if result._problem.residual_noise(result._u) is not None:
        threshold += ("; its rise above chi^2_best times each parameter's variance over the "
                      "one of independent points (the far-field division's noise)")
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


# The identifiability of a fit with every parameter that the linearised
# errors leave weakly or not determined judged by its likelihood profile
# (the exact engine's refits): its 95 % interval bounded on both sides (its
# status from the half-width of its 68 % interval, as the linearised one),
# on one side, or on neither. `scales` as for from_jacobian.
def judge_by_profiles(result, identifiability, scales=None):
    began = time.monotonic()
    scales = scales or {}
    problem = result._problem
    u_best = np.asarray(result._u, dtype=np.float64)
    judged = [name for name, status in identifiability.status.items()
              if status != STATUSES[0] and name in problem.names]
    widenings = _widenings(result) if judged else None
    for name in judged:
        k = problem.names.index(name)
        thresholds = [_threshold(result, sigma_probability(1.0), widenings[k]),
                      _threshold(result, VERDICT_PROBABILITY, widenings[k])]
        profiled = profile_ends(result, name, thresholds, VERDICT_TOLERANCE,
                                refinements=VERDICT_REFINEMENTS)
        identifiability.profile_refits += profiled.refits
        ends = profiled.ends
        chi2_low, u_low = profiled.lowest
        if chi2_low < result.chisqr * (1.0 - LOWER_MINIMUM):
            values = ", ".join(f"{n} = {v:.4g}" for n, v in zip(problem.names,
                                                               problem.values(u_low)))
            identifiability.notes.append(
                f"the profile of {name} found a lower chi^2 ({chi2_low:.6g}, the fit "
                f"{result.chisqr:.6g}) at {values}: the fit ended in a local minimum; fit "
                "again from there or with more starts")
        (low_1, low_95), (high_1, high_95) = ends[-1], ends[1]
        if low_1 is not None and high_1 is not None:
            half = 0.5 * (high_1 - low_1)
            error = half if problem.is_log[k] else half * float(problem.scale[k])
        else:
            error = math.inf
        if low_95 is not None and high_95 is not None:
            status = _status(error / scales.get(name, 1.0))
        elif low_95 is not None or high_95 is not None:
            status = STATUSES[3]
        else:
            status = STATUSES[2]
        identifiability.status[name] = status
        identifiability.errors[name] = float(error)
        identifiability.methods[name] = PROFILE
        identifiability.intervals[name] = tuple(
            None if t is None else _physical(problem, u_best, k, t) for t in (low_95, high_95))
    identifiability.profile_seconds = time.monotonic() - began
    return identifiability
