"""One model evaluation and one complete single-start fit on the benchmark
case, with the SciPy reference (odeint + leastsq) timed on a smaller case in
the same run. Pass --threads N to pin the thread count (default: all)."""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def measure(threads):
    """Run the native figures in a child process with OMP_NUM_THREADS set."""
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--child"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return dict(line.split("=", 1) for line in out.split() if "=" in line)


def child():
    import numpy as np

    sys.path.insert(0, str(HERE))
    from bench_cases import POPULATIONS, SETUP, TRUE_PARS, measurement, solver_calls
    from tarvo import _native

    energies = [5e-6, 2e-5]
    x, y = measurement(energies)
    s = SETUP
    args = (x, POPULATIONS, s["t_slices"], s["z_slices"], s["sample_width"], s["tau"],
            s["wavelength"], s["w0"], s["M2"], energies, list(TRUE_PARS), 41, 1)
    t0 = time.perf_counter()
    repeats = 5
    for _ in range(repeats):
        _native.model_curves(x[:41], *args[1:])
    curve = (time.perf_counter() - t0) / repeats
    start = TRUE_PARS.copy()
    start[[1, 2]] *= 1.5
    t0 = time.perf_counter()
    _, error, fitted, evaluations = _native.fit_core(
        list(x), list(y), list(POPULATIONS), s["t_slices"], s["z_slices"], s["sample_width"],
        s["tau"], s["wavelength"], s["w0"], s["M2"], energies, list(start), [2, 3], 41, 2)
    fit = time.perf_counter() - t0
    calls = solver_calls(41, 2, evaluations + 1)
    print(f"curve={curve} fit={fit} evaluations={evaluations} calls={calls} "
          f"sigma_2={fitted[1]!r} sigma_4={fitted[2]!r} error={error!r}")


def reference_per_call():
    """Seconds per solver call of the SciPy reference on a small case."""
    import numpy as np

    sys.path.insert(0, str(HERE.parent / "tests" / "references"))
    import zscan_reference as ref

    sys.path.insert(0, str(HERE))
    from bench_cases import POPULATIONS, SETUP, TRUE_PARS

    s = SETUP
    x = np.linspace(-30.0, 30.0, 5)
    setup = ref.Setup(x, s["t_slices"], s["z_slices"], s["sample_width"], s["tau"],
                      s["wavelength"], s["w0"], s["M2"], [2e-5], 5, 1)
    t0 = time.perf_counter()
    ref.model_curves(list(TRUE_PARS), setup, list(POPULATIONS))
    return (time.perf_counter() - t0) / (2 * s["z_slices"] * s["t_slices"] * 5)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    a = parser.parse_args()
    if a.child:
        child()
        return
    r = measure(a.threads)
    fit, calls = float(r["fit"]), int(r["calls"])
    print(f"benchmark case: 2 curves x 41 positions, t_slices 10, z_slices 5, "
          f"{a.threads} thread(s)")
    print(f"  one model curve (41 positions):  {float(r['curve']) * 1e3:8.2f} ms")
    print(f"  single-start fit of sigma_2, sigma_4 from 1.5x: {fit:6.3f} s, "
          f"{r['evaluations']} residual evaluations, {calls} solver calls, "
          f"{calls / fit:,.0f} solver calls/s")
    print(f"  fitted sigma_2 {float(r['sigma_2']):.6e}, sigma_4 {float(r['sigma_4']):.6e}, "
          f"error {float(r['error']):.3e}")
    per_call = reference_per_call()
    print(f"  SciPy reference (odeint, Python right-hand sides), 5 positions: "
          f"{per_call * 1e6:.1f} us per solver call")
    print(f"  ratio reference/native per solver call: {per_call / (fit / calls):.0f}x")


if __name__ == "__main__":
    main()
