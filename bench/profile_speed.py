"""Likelihood profiles: the adaptive warm-started walk of tarvo.uncertainty
beside a fixed-growth walk with Brent's method at each end (steps of one
standard error growing 1.5 times, each refit started from the last point,
each end located by brentq to 1e-4 standard errors), on the same fit, in one
run. Prints per parameter the refits, the seconds, the intervals of both and
the ratio of their times, and the time of the fit itself for scale.

    python bench/profile_speed.py                      # examples/rsa-532nm
    python bench/profile_speed.py examples/global/ns   # the ns scan alone (slow)
"""

import argparse
import math
import sys
import time
import warnings
from pathlib import Path

import numpy as np
from scipy.optimize import brentq

import tarvo
from tarvo.global_fit import member_of
from tarvo.profiles import (LIMIT_TOLERANCE, _Profile, _limits, _threshold, conf_interval,
                               sigma_probability)

ROOT = Path(__file__).resolve().parent.parent
GROWTH = 1.5


# The fixed-growth walk with brentq ends: ends per side, refits.
def brent_profile(result, name, thresholds):
    problem = result._problem
    k = problem.names.index(name)
    u_best = np.asarray(result._u, dtype=np.float64)
    value, error = result.values[name], result.params[name].stderr
    step = min(error / abs(value), 1.0) if problem.is_log[k] else error
    limits = _limits(result, k, step)
    profile = _Profile(result, k)
    ends = {}
    for direction in (-1, 1):
        points = [(u_best[k], result.chisqr, u_best)]
        distance, increment = 0.0, 0.5 * step
        reach = abs(limits[direction] - u_best[k])
        while points[-1][1] < max(thresholds) and distance < reach:
            distance = min(reach, distance + increment)
            increment *= GROWTH
            t = u_best[k] + direction * distance
            chi2, u = profile(t, points[-1][2])
            points.append((t, chi2, u))
        found = []
        for threshold in thresholds:
            end = None
            for (t0, c0, u0), (t1, c1, _) in zip(points, points[1:]):
                if c0 < threshold <= c1:
                    end = brentq(lambda t: profile(t, u0)[0] - threshold, t0, t1,
                                 xtol=LIMIT_TOLERANCE * step)
                    break
            found.append(end)
        ends[direction] = found
    return ends, profile.refits


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", nargs="?", default=str(ROOT / "examples" / "rsa-532nm"))
    parser.add_argument("--sigmas", type=float, nargs="*", default=[1.0, 2.0])
    args = parser.parse_args()
    measurement = tarvo.read_measurement(args.directory)
    arguments = dict(member_of(measurement, "energy").arguments)
    arguments.pop("focus")
    curves = arguments.pop("curves")
    warnings.simplefilter("ignore")
    began = time.perf_counter()
    result = tarvo.fit(curves, params=measurement.parameters(), checks="off",
                       identifiability="linearised", **arguments)
    fit_seconds = time.perf_counter() - began
    print(f"{args.directory}: fit {fit_seconds:.2f} s ({result.nfev} evaluations)")
    thresholds = [_threshold(result, sigma_probability(s)) for s in args.sigmas]
    for name in [n for n in result.var_names if n in tarvo.parameters.NAMES]:
        began = time.perf_counter()
        problem = result._problem
        before = problem.evaluations
        adaptive = conf_interval(result, [name], args.sigmas)[name]
        adaptive_seconds = time.perf_counter() - began
        adaptive_evaluations = problem.evaluations - before
        began = time.perf_counter()
        before = problem.evaluations
        ends, refits = brent_profile(result, name, thresholds)
        brent_seconds = time.perf_counter() - began
        brent_evaluations = problem.evaluations - before
        k = problem.names.index(name)
        brent = [float(problem.values(np.where(np.arange(len(problem.names)) == k, t,
                                               result._u))[k]) if t is not None else math.nan
                 for t in ends[-1][::-1] + ends[1]]
        print(f"  {name}: adaptive {adaptive_seconds:.2f} s ({adaptive_evaluations} evaluations, "
              f"{adaptive_seconds / fit_seconds:.1f} fits), fixed growth + brentq "
              f"{brent_seconds:.2f} s ({brent_evaluations} evaluations); ratio "
              f"{brent_seconds / adaptive_seconds:.1f}")
        print(f"    ends adaptive {[f'{v:.5g}' for _, v in adaptive if _]}")
        print(f"    ends brentq   {[f'{v:.5g}' for v in brent]}")


if __name__ == "__main__":
    main()
