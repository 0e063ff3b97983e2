"""Seeded sweep: the reentrant LSODA against SciPy's odeint (the Fortran
LSODA) on random population and intensity steps of the model.

Prints how many steps agree to the bit (final state and the statistics
nst, nfe, nje, nqu, mused), the worst relative difference of the final
state, and how many statistics differ. Diagnostics that the native solver
prints (MXSTEP exceeded, ...) appear among the output; odeint prints none.

    python bench/lsoda_sweep.py [--steps 2000] [--seed 20240611] [--special 0.1]

A share of the steps (--special) gets NaN, infinities, signed zeros or
extreme values in its parameters, state or step length: the solver must
fail or carry NaN exactly as the Fortran does. After an illegal-input
return (ISTATE -3) DLSODA leaves its statistics unset, so only the state
and ISTATE are compared there.

odeint's stiff steps factor with SciPy's bundled OpenBLAS; unless the
caller set it, OPENBLAS_CORETYPE=Sandybridge selects kernels without fused
multiply-adds, which round as the written operations do.
"""

import argparse
import math
import os
import random
import sys
import time
import warnings

os.environ.setdefault("OPENBLAS_CORETYPE", "Sandybridge")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "references"))

import odeint_reference  # noqa: E402
from scipy.integrate import ODEintWarning  # noqa: E402
from tarvo import _native  # noqa: E402

SPEED_OF_LIGHT = 299792458.0


def log_uniform(rng, low_exponent, high_exponent):
    """10**u with u uniform in [low_exponent, high_exponent]."""
    return 10.0 ** rng.uniform(low_exponent, high_exponent)


def random_params(rng):
    """Cross-sections (cm^2) and time constants (s) around the realistic values."""
    return [
        log_uniform(rng, -19.0, -16.5),
        log_uniform(rng, -18.0, -16.0),
        log_uniform(rng, -18.0, -16.0),
        log_uniform(rng, -10.0, -8.0),
        log_uniform(rng, -10.0, -8.0),
        log_uniform(rng, -13.0, -11.0),
        log_uniform(rng, -8.0, -5.0),
        log_uniform(rng, -13.0, -11.0),
    ]


def random_populations(rng):
    """Five populations (cm^-3): all in level 1, or spread with some zeros."""
    total = log_uniform(rng, 16.0, 19.0)
    if rng.random() < 0.4:
        return [total, 0.0, 0.0, 0.0, 0.0]
    shares = [rng.random() if rng.random() < 0.7 else 0.0 for _ in range(5)]
    shares[0] += 0.05
    scale = total / sum(shares)
    return [share * scale for share in shares]


def random_intensity(rng):
    """Intensity (W/cm^2): mostly 1e6-1e11, sometimes zero or very large."""
    draw = rng.random()
    if draw < 0.05:
        return 0.0
    if draw < 0.10:
        return log_uniform(rng, 11.0, 14.0)
    return log_uniform(rng, 6.0, 11.0)


def random_case(rng):
    """(kind, params, optical_frequency, state, end) of one random step."""
    params = random_params(rng)
    wavelength = rng.choice([532e-9, 532e-9, rng.uniform(400e-9, 1064e-9)])
    optical_frequency = SPEED_OF_LIGHT / wavelength
    populations = random_populations(rng)
    intensity = random_intensity(rng)
    if rng.random() < 0.7:
        tau = log_uniform(rng, -11.5, -8.3)
        t_slices = rng.randint(5, 30)
        return ("population", params, optical_frequency, populations + [intensity],
                tau * (1.0 / (t_slices - 1)))
    z_slices = rng.randint(5, 50)
    width = log_uniform(rng, -2.0, 0.0)
    return ("intensity", params, optical_frequency, [intensity] + populations,
            width / (z_slices - 1))


# Values injected into the special steps.
SPECIAL_VALUES = (0.0, -0.0, math.inf, -math.inf, math.nan, 1e300, -1e300, 5e-324, -1.0)


def inject_specials(rng, case):
    """The case with one or two entries replaced by special values."""
    kind, params, optical_frequency, state, end = case
    params, state = list(params), list(state)
    for _ in range(rng.randint(1, 2)):
        draw = rng.random()
        if draw < 0.4:
            params[rng.randrange(8)] = rng.choice(SPECIAL_VALUES)
        elif draw < 0.9:
            state[rng.randrange(6)] = rng.choice(SPECIAL_VALUES)
        else:
            end = rng.choice([1e-300, 1e300, -end, 1e-20])
    return kind, params, optical_frequency, state, end


def run_native(kind, params, optical_frequency, state, end):
    """The native step of the given kind."""
    step = _native.population_step if kind == "population" else _native.intensity_step
    return step(params, optical_frequency, state, end)


def run_oracle(kind, params, optical_frequency, state, end):
    """odeint's step of the given kind."""
    if kind == "population":
        return odeint_reference.odeint_population_step(params, optical_frequency, state, end)
    return odeint_reference.odeint_intensity_step(params, optical_frequency, state, end)


def relative_difference(a, b):
    """Largest |a-b|/max(|a|,|b|) over the entries (0 where both are equal)."""
    worst = 0.0
    for x, y in zip(a, b):
        if x == y or (math.isnan(x) and math.isnan(y)):
            continue
        scale = max(abs(x), abs(y))
        worst = max(worst, abs(x - y) / scale if scale > 0 else math.inf)
    return worst


def same_bits(a, b):
    """True if the two lists hold the same doubles (NaN equal to NaN)."""
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--special", type=float, default=0.1,
                        help="share of steps with special values injected")
    parser.add_argument("--show", type=int, default=5, help="mismatches to list")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    tally = {"identical": 0, "state_differs": 0, "stats_differ": 0, "worst": 0.0,
             "stiff_identical": 0, "shown": 0}
    kinds = {"population": 0, "intensity": 0}
    stiff = 0
    switched = 0
    failures = 0
    specials = 0
    warnings.simplefilter("ignore", ODEintWarning)
    started = time.perf_counter()
    for index in range(args.steps):
        case = random_case(rng)
        if rng.random() < args.special:
            case = inject_specials(rng, case)
            specials += 1
        kinds[case[0]] += 1
        expected = run_oracle(*case)
        if expected[6] == 2 or expected[4] > 0:
            stiff += 1
        if expected[4] > 0 and expected[6] == 1:
            switched += 1
        if expected[1] < 0:
            failures += 1
        got = run_native(*case)
        t = tally
        state_same = same_bits(got[0], expected[0])
        stats_same = tuple(got[1:]) == tuple(expected[1:]) or got[1] == expected[1] == -3
        t["worst"] = max(t["worst"], relative_difference(got[0], expected[0]))
        if state_same and stats_same:
            t["identical"] += 1
            if expected[4] > 0:
                t["stiff_identical"] += 1
            continue
        t["state_differs"] += not state_same
        t["stats_differ"] += not stats_same
        if t["shown"] < args.show:
            t["shown"] += 1
            print(f"step {index}: {case}\n    native {got}\n    oracle {expected}")
    elapsed = time.perf_counter() - started
    print(f"\n{args.steps} random steps (seed {args.seed}): {kinds['population']} population, "
          f"{kinds['intensity']} intensity; {stiff} used BDF or formed Jacobians, "
          f"{switched} switched back to Adams, {failures} failed (ISTATE < 0), "
          f"{specials} with special values; "
          f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE')}; {elapsed:.1f} s")
    t = tally
    print(f"{t['identical']}/{args.steps} bit-identical (final state and statistics; "
          f"{t['stiff_identical']} of them with Jacobians), "
          f"{t['state_differs']} final states differ, {t['stats_differ']} statistics differ, "
          f"worst relative difference {t['worst']:.3g}")


if __name__ == "__main__":
    main()
