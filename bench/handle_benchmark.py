"""The exact engine's handle against rebuilding the model for every evaluation,
side by side in one run.

Before the handle, every evaluation of the exact engine made its native
problem again (arguments checked in Python, arrays converted, grids, incident
table and interpolation weights rebuilt); a tarvo.ModelHandle builds it once
and evaluates it for new parameters and focus. This prints, for the benchmark
case (41 positions x 2 curves, 10 x 5 slices; the energy model at its
default grid) and for a tiny problem where only the overhead counts:

- the time of one evaluation both ways (curves only, and with two
  derivatives), and the time of building the handle;
- the time of the benchmark fit (tarvo.fit, sigma_2 and sigma_4 from 1.5
  times their values on noise-free data; and with the focus fitted too), once
  through the handle and once with the fit's engine calls rebuilding the
  model, established and energy models; and the ratios.

    python bench/handle_benchmark.py [--repeats R] [--threads N]

Timings alternate between the two routes and keep the best of R (the machine
is shared); with one thread they are process CPU time, which other processes
do not inflate.
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

ENERGIES = [5e-6, 2e-5]
FITTED = ["sigma_2", "sigma_4"]


# The engine call of the toolkit before the handle: checks, conversions and
# a native problem built for this one evaluation.
def rebuild_per_evaluation(positions_mm, pulse_energy, populations, spec_pars, *, sample_width,
                           tau, wavelength, w0, M2, t_slices=None, z_slices=None,
                           radial_points=None, derivatives=(), model="established"):
    import numpy as np

    from tarvo import _native
    from tarvo.engine import LEVELS, _positive, check_model, check_spec_pars, grid_settings

    check_model(model)
    settings = grid_settings(model, t_slices, z_slices, radial_points)
    x = np.ascontiguousarray(positions_mm, dtype=np.float64)
    energies = np.ascontiguousarray(pulse_energy, dtype=np.float64).ravel()
    if x.ndim != 2 or x.shape[0] != energies.size or x.shape[1] < 5 or \
            not np.all(np.isfinite(x)):
        raise ValueError("positions_mm")
    for k, energy in enumerate(energies):
        _positive(f"pulse_energy[{k}]", energy)
    pops = np.ascontiguousarray(populations, dtype=np.float64).ravel()
    if pops.size != LEVELS or not np.all(np.isfinite(pops)) or np.any(pops < 0.0):
        raise ValueError("populations")
    p = check_spec_pars(spec_pars)
    derivatives = tuple(int(d) for d in derivatives)
    return _native.exact_model(
        x, energies, pops, p, t_slices=settings["t_slices"], z_slices=settings["z_slices"],
        sample_width=_positive("sample_width", sample_width, allow_zero=True),
        tau=_positive("tau", tau), wavelength=_positive("wavelength", wavelength),
        w0=_positive("w0", w0), M2=_positive("M2", M2), derivatives=derivatives, variant=model,
        radial_points=settings["radial_points"])


# A fit whose engine calls rebuild the model (the route before the handle).
class RebuildingFits:
    def __enter__(self):
        from tarvo import problem as problem_module

        self.module = problem_module
        self.saved = problem_module.ZscanProblem.curves

        def curves(problem, spec_pars, focus, derivatives=(), optics=None, handle=None):
            problem.evaluations += 1
            s = problem.setup
            return rebuild_per_evaluation(
                problem.x - focus, problem.energies, s["populations"], spec_pars,
                sample_width=s["sample_width"], tau=s["tau"], wavelength=s["wavelength"],
                w0=s["w0"], M2=s["M2"], derivatives=derivatives, model=problem.model,
                **problem.grid)

        problem_module.ZscanProblem.curves = curves
        return self

    def __exit__(self, *exc):
        self.module.ZscanProblem.curves = self.saved


# Best time of fn over `repeats` alternating rounds of both routes.
def side_by_side(handle_fn, rebuild_fn, repeats, calls=1):
    clock = time.process_time if os.environ.get("OMP_NUM_THREADS") == "1" else time.perf_counter
    best = {"handle": float("inf"), "rebuild": float("inf")}
    results = {}
    for _ in range(repeats):
        for name, fn in (("handle", handle_fn), ("rebuild", rebuild_fn)):
            began = clock()
            for _ in range(calls):
                results[name] = fn()
            best[name] = min(best[name], (clock() - began) / calls)
    return best, results


def child(repeats):
    import numpy as np

    import tarvo
    from bench_cases import POPULATIONS, SETUP, TRUE_PARS, engine_setup
    from tarvo.engine import ModelHandle

    x = np.linspace(-30.0, 30.0, 41)
    rows = np.tile(x, (2, 1))
    beam = {k: SETUP[k] for k in ("sample_width", "tau", "wavelength", "w0", "M2")}
    established_grid = dict(t_slices=SETUP["t_slices"], z_slices=SETUP["z_slices"])
    print(f"threads: {os.environ.get('OMP_NUM_THREADS', 'all')}")

    # One evaluation: tiny problem (overhead) and the benchmark case.
    cases = [
        ("tiny, 5 points, 2 x 2 slices", rows[:1, ::10][:, :5], ENERGIES[:1], "established",
         dict(t_slices=2, z_slices=2)),
        ("benchmark case, established", rows, ENERGIES, "established", established_grid),
        ("benchmark case, energy", rows, ENERGIES, "energy", {}),
    ]
    for label, positions, energies, model, grid in cases:
        held, keywords = engine_setup(beam)
        began = time.perf_counter()
        handle = ModelHandle(positions, energies, *held, model=model, **keywords, **grid)
        built = time.perf_counter() - began
        calls = 200 if positions.size < 10 else 5
        for derivatives in ((), (1, 2)):
            best, results = side_by_side(
                lambda: handle.curves(TRUE_PARS, 0.25, derivatives),
                lambda: rebuild_per_evaluation(positions - 0.25, energies, POPULATIONS,
                                               TRUE_PARS, model=model, derivatives=derivatives,
                                               **beam, **grid),
                repeats, calls)
            same = all(np.array_equal(a, b) for a, b in zip(results["handle"], results["rebuild"])
                       if a is not None)
            print(f"  one evaluation, {label}, {len(derivatives)} derivatives: handle "
                  f"{best['handle'] * 1e6:.1f} us, rebuilt {best['rebuild'] * 1e6:.1f} us, "
                  f"ratio {best['rebuild'] / best['handle']:.2f}, same bits: {same}")
        print(f"  building the handle ({label}): {built * 1e6:.0f} us")

    # The benchmark fit, both routes.
    start = TRUE_PARS.copy()
    start[[1, 2]] *= 1.5
    established_setup = dict(beam, populations=list(POPULATIONS), **established_grid)
    energy_setup = dict(beam, populations=list(POPULATIONS))
    for model, setup, vary in [("established", established_setup, FITTED),
                               ("established", established_setup, FITTED + ["focus"]),
                               ("energy", energy_setup, FITTED)]:
        data = tarvo.simulate(x, ENERGIES, TRUE_PARS, engine="exact", model=model, **setup)

        def fit():
            return tarvo.fit(x, data, ENERGIES, start, vary=vary, model=model, **setup)

        def rebuilt_fit():
            with RebuildingFits():
                return fit()

        best, results = side_by_side(fit, rebuilt_fit, repeats if model != "energy" else 2)
        a, b = results["handle"], results["rebuild"]
        same = np.array_equal(a.spec_pars, b.spec_pars) and a.nfev == b.nfev
        print(f"  fit_seconds, {model} model, {'+'.join(vary)}: handle {best['handle']:.4f} s, "
              f"rebuilt {best['rebuild']:.4f} s, ratio {best['rebuild'] / best['handle']:.2f} "
              f"({a.nfev} evaluations; same result: {same})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, nargs="*", default=[1, 2])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.repeats)
        return
    for threads in args.threads:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        subprocess.run([sys.executable, __file__, "--child", "--repeats", str(args.repeats)],
                       env=env, check=True)


if __name__ == "__main__":
    main()
