"""Profile-likelihood confidence intervals of fitted parameters (lmfit's conf_interval style).

For a parameter p the profile chi^2(p) is the chi^2 of the best fit of all
other fitted parameters with p held fixed. The interval at n sigma holds the
values of p whose profile stays below a threshold: with uncertainties from
the scatter of the data (scale_covar) the threshold of the F-test that lmfit
uses, chi^2_best (1 + F^-1(P; 1, nfree) / nfree); with data uncertainties
chi^2_best + chi2^-1(P; 1). P = erf(n / sqrt 2). Unlike value +- n standard
errors, the interval follows the real shape of chi^2: asymmetric where the
model is nonlinear, and long where two parameters are strongly correlated.

Each profile point is a refit, which the exact engine makes cheap.
"""

import math

import numpy as np
from scipy.optimize import brentq
from scipy.stats import chi2 as chi2_distribution
from scipy.stats import f as f_distribution


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
            residuals, _ = self.problem.residuals_and_jacobian(u, self.free)
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
    import time

    began = time.monotonic()
    sigmas = sorted(float(s) for s in sigmas)
    intervals = conf_interval(result, sigmas=sigmas, progress=progress)
    count = len(sigmas)
    parameters = {}
    for name, entries in intervals.items():
        entry = {"value": _finite(entries[count][1])}
        for i, sigma in enumerate(sigmas):
            lower, upper = entries[count - 1 - i][1], entries[count + 1 + i][1]
            entry[f"{sigma:g}"] = [_finite(lower), _finite(upper)]
        parameters[name] = entry
    threshold = ("F-test of chi^2_best (1 + F^-1(P; 1, nfree) / nfree), the uncertainties "
                 "scaled by the scatter" if result.scale_covar
                 else "chi^2_best + chi2^-1(P; 1), data uncertainties")
    return {"method": INTERVAL_METHOD.format(threshold=threshold),
            "sigmas": sigmas,
            "probabilities": [sigma_probability(s) for s in sigmas],
            "seconds": round(time.monotonic() - began, 3),
            "parameters": parameters}


# A float for JSON: None for infinities and NaN.
def _finite(value):
    value = float(value)
    return value if math.isfinite(value) else None


# The document of interval_document as text lines for the terminal.
def format_interval_document(document):
    sigmas = document["sigmas"]
    header = ["parameter", "fitted"] + [f"{s:g} sigma ({100 * p:.3g}%)"
                                        for s, p in zip(sigmas, document["probabilities"])]
    lines = [header]
    for name, entry in document["parameters"].items():
        cells = [name, _cell(entry["value"])]
        for sigma in sigmas:
            low, high = entry[f"{sigma:g}"]
            cells.append(f"[{_cell(low)}, {_cell(high)}]")
        lines.append(cells)
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = [f"profile-likelihood intervals ({document['seconds']:.1f} s; an open end means "
            "the data do not limit the parameter on that side)"]
    text += ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
             for line in lines]
    text.insert(2, "  ".join("-" * width for width in widths))
    return "\n".join(text)


# A number cell of the interval table ("open" for a missing end).
def _cell(value):
    return "open" if value is None else f"{value:.5g}"
