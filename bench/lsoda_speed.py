"""Time per population step and per intensity step of the reentrant LSODA
on the realistic values, next to SciPy's odeint (Fortran LSODA with a
Python right-hand side) in the same run.

    python bench/lsoda_speed.py [--seconds 1.0]

Native figures come from the companion functions: once per Python call
(interpreter overhead included) and with repeat=N, where the step runs N
times inside one call (the solver alone, as the model calls it).
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "references"))

import odeint_reference  # noqa: E402
from tarvo import _native  # noqa: E402

OPTICAL_FREQUENCY = 299792458.0 / 532e-9
PARAMS = (4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12)
POPULATIONS = [6e17, 0.0, 0.0, 0.0, 0.0]
INTENSITIES = (1e8, 3e8, 1e9)
# tau = 4 ns (and 30 ps) over 10 time slices; 1 mm over 10 depth slices.
DT = 4e-9 * (1.0 / 9)
DT_PS = 30e-12 * (1.0 / 9)
DZ = 0.1 / 9
REPEAT = 200


def seconds_per_call(call, budget):
    """Best-of-three average time of call() over about budget seconds."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            call()
        elapsed = time.perf_counter() - start
        if elapsed > budget / 10:
            break
        calls *= 2
    best = elapsed / calls
    for _ in range(2):
        start = time.perf_counter()
        for _ in range(calls):
            call()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time budget per figure")
    args = parser.parse_args()

    print(f"{'step':28s} {'native':>10s} {'native/call':>12s} {'odeint':>10s} {'ratio':>7s}"
          "   (us per step; ratio = odeint / native)")
    for kind in ("population", "population_ps", "intensity"):
        for intensity in INTENSITIES:
            if kind.startswith("population"):
                state = POPULATIONS + [intensity]
                native = _native.population_step
                oracle = odeint_reference.odeint_population_step
                end = DT if kind == "population" else DT_PS
            else:
                state = [intensity] + POPULATIONS
                native = _native.intensity_step
                oracle = odeint_reference.odeint_intensity_step
                end = DZ
            result = native(PARAMS, OPTICAL_FREQUENCY, state, end)
            inside = seconds_per_call(
                lambda: native(PARAMS, OPTICAL_FREQUENCY, state, end, repeat=REPEAT),
                args.seconds) / REPEAT
            per_call = seconds_per_call(lambda: native(PARAMS, OPTICAL_FREQUENCY, state, end),
                                        args.seconds)
            reference = seconds_per_call(lambda: oracle(PARAMS, OPTICAL_FREQUENCY, state, end),
                                         args.seconds)
            nst, nfe, nje = result[2:5]
            label = f"{kind} I={intensity:.0e}"
            print(f"{label:28s} {inside * 1e6:10.2f} {per_call * 1e6:12.2f} "
                  f"{reference * 1e6:10.1f} {reference / inside:7.1f}"
                  f"   nst={nst} nfe={nfe} nje={nje}")


if __name__ == "__main__":
    main()
