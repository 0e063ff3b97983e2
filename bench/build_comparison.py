"""Two builds of tarvo side by side on the benchmark case, in one run: the
exact engine's model evaluation (curves only, and with the derivatives for 2
parameters), tarvo.fit of sigma_2 and sigma_4 from 1.5x, and fit_zscan with
one start, each build's figures measured in rounds that alternate between
the builds (the machine is shared: alternating rounds see the same load, and
each figure is the best over the rounds).

    python bench/build_comparison.py --python OTHER_PYTHON [--threads N ...] [--rounds R]

OTHER_PYTHON is the interpreter of the other build (e.g. a virtual
environment with main's package installed); this interpreter runs the
installed package of this one. Prints, per thread count, both builds'
figures, their ratios, and the ratio fit_zscan / exact fit within each build.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_cases  # noqa: E402  (after the path that finds it)

# The two energies of the benchmark case (J) and the fitted parameters.
ENERGIES = [5e-6, 2e-5]
FITTED = ["sigma_2", "sigma_4"]
FITTED_INDICES = [1, 2]

# Calls of each timing within one round (the best is kept).
REPEATS = {"model": 10, "jacobian": 6, "exact_fit": 3, "zscan_fit": 1}


# Best time of `repeats` calls of fn.
def best_time(fn, repeats):
    return bench_cases.best_time(fn, repeats)[0]


# One round of figures in this interpreter (a child process), as JSON.
def child():
    import numpy as np
    import tarvo_wrapper

    import tarvo
    from bench_cases import POPULATIONS, SETUP, TRUE_PARS, engine_setup
    from tarvo.engine import model_and_jacobian

    x = np.linspace(-30.0, 30.0, 41)
    rows = np.tile(x, (2, 1))
    beam = {k: SETUP[k] for k in ("sample_width", "tau", "wavelength", "w0", "M2")}
    grid = dict(t_slices=SETUP["t_slices"], z_slices=SETUP["z_slices"])
    setup = dict(beam, populations=list(POPULATIONS), **grid)
    # fit_zscan's conventions, so that both fits see the same model.
    setup.update(model="established", normalisation="shift")
    data = tarvo.simulate(x, ENERGIES, TRUE_PARS, engine="exact", **setup)
    start = TRUE_PARS.copy()
    start[FITTED_INDICES] *= 1.5

    def exact_fit():
        return tarvo.fit(x, data, ENERGIES, start, vary=FITTED, weights="established",
                         checks="off", **setup)

    def zscan_fit():
        return tarvo_wrapper.fit_zscan(
            np.tile(x, 2), np.ascontiguousarray(data.ravel()), np.array(POPULATIONS),
            SETUP["t_slices"], SETUP["z_slices"], beam["sample_width"], beam["tau"],
            beam["wavelength"], beam["w0"], beam["M2"], np.array(ENERGIES), start.copy(),
            np.array(FITTED_INDICES, dtype=np.int32), 41, 2, n_starts=1)

    held, keywords = engine_setup(beam)
    exact_fit()   # loads SciPy's solver and warms the caches
    result = exact_fit()
    figures = {
        "model": best_time(lambda: model_and_jacobian(rows, ENERGIES, *held, TRUE_PARS,
                                                      **keywords, **grid), REPEATS["model"]),
        "jacobian": best_time(lambda: model_and_jacobian(
            rows, ENERGIES, *held, TRUE_PARS, **keywords, **grid,
            derivatives=FITTED_INDICES), REPEATS["jacobian"]),
        "exact_fit": best_time(exact_fit, REPEATS["exact_fit"]),
        "zscan_fit": best_time(zscan_fit, REPEATS["zscan_fit"]),
        "nfev": result.nfev,
        "errors": [float(result.spec_pars[i] / TRUE_PARS[i] - 1.0) for i in FITTED_INDICES],
        "steps": SETUP["t_slices"] * SETUP["z_slices"] * rows.size,
    }
    print(json.dumps(figures))


# One round of figures from `python` with `threads` OpenMP threads.
def measure(python, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([python, __file__, "--child"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# Best figures of each build over `rounds` alternating rounds.
def compare(builds, threads, rounds):
    best = {name: None for name in builds}
    for _ in range(rounds):
        for name, python in builds.items():
            figures = measure(python, threads)
            if best[name] is None:
                best[name] = figures
            else:
                for key in REPEATS:
                    best[name][key] = min(best[name][key], figures[key])
    return best


# Print the figures of one thread count.
def report(best, threads, load):
    names = list(best)
    print(f"threads: {threads} (load average before: {load:.2f})")
    print(f"  {'':38s}" + "".join(f"{name:>14s}" for name in names) + f"{'ratio':>9s}")
    rows = [("model evaluation, curves only (ms)", "model", 1e3),
            ("  with derivatives, 2 parameters (ms)", "jacobian", 1e3),
            ("exact fit from 1.5x (s)", "exact_fit", 1.0),
            ("fit_zscan one start (s)", "zscan_fit", 1.0)]
    for label, key, unit in rows:
        values = [best[name][key] * unit for name in names]
        print(f"  {label:38s}" + "".join(f"{v:14.4f}" for v in values)
              + f"{values[0] / values[-1]:8.2f}x")
    steps = [best[name]["model"] / best[name]["steps"] * 1e9 for name in names]
    print(f"  {'per population step (ns)':38s}" + "".join(f"{v:14.0f}" for v in steps))
    speedups = [best[name]["zscan_fit"] / best[name]["exact_fit"] for name in names]
    print(f"  {'fit_zscan / exact fit':38s}" + "".join(f"{v:13.1f}x" for v in speedups))
    for name in names:
        errors = ", ".join(f"{e:+.1e}" for e in best[name]["errors"])
        print(f"  {name}: exact fit {best[name]['nfev']} evaluations, relative errors {errors}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--python", help="interpreter of the other build")
    parser.add_argument("--name", default="other", help="name of the other build")
    parser.add_argument("--threads", type=int, nargs="*", default=[2, 1])
    parser.add_argument("--rounds", type=int, default=4)
    args = parser.parse_args()
    if args.child:
        child()
        return
    if args.python is None:
        parser.error("--python OTHER_PYTHON is needed")
    builds = {args.name: args.python, "this": sys.executable}
    for threads in args.threads:
        load = os.getloadavg()[0]
        report(compare(builds, threads, args.rounds), threads, load)


if __name__ == "__main__":
    main()
