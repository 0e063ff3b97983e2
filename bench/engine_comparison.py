"""The exact engine beside the LSODA route on the benchmark case, in one run.

Benchmark case: 532 nm, w0 20 um, M2 1.2, tau 4 ns, 41 positions from -30 to
30 mm, 10 time x 5 depth slices, populations (6e17, 0, 0, 0, 0), cross-sections
(4e-18, 2e-17, 6e-17), time constants (2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12), two
curves at 5 and 20 uJ; sigma_2 and sigma_4 fitted from 1.5 times their values
on noise-free data.

Prints, for each thread count (default: all cores, then 1):
- exact vs LSODA model curves: largest difference;
- relative error of each fitted parameter: tarvo.fit (exact engine) and
  fit_zscan with one start (its single start scales the start values by
  0.302) and fit_zscan's optimiser started at exactly 1.5x (fit_core);
- times of those fits (best of repeats) and their ratio, the time of one model
  evaluation and per population step;
- fit_seconds of `tarvo fit DIR` in the JSON of each engine, and their ratio;
- the energy model: time of the same fit, and the cross-sections that each
  model fits to the same data (curves of the energy model at the true values);
- the four differences between the models, one after another, on the
  normalised transmittance at the focus (20 uJ).

    python bench/engine_comparison.py [--threads N ...] [--repeats R]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_cases import best_time  # noqa: E402  (after the path that finds it)

# The two energies of the benchmark case (J) and the fitted parameters.
ENERGIES = [5e-6, 2e-5]
FITTED = ["sigma_2", "sigma_4"]
FITTED_INDICES = [1, 2]




# Relative errors of the fitted entries.
def relative_errors(fitted, true):
    return [float(fitted[i] / true[i] - 1.0) for i in FITTED_INDICES]


# A measurement directory of the benchmark case for `tarvo fit`.
def write_directory(directory, x, y, start):
    from bench_cases import POPULATIONS, SETUP

    from tarvo.parameters import NAMES

    for k, energy in enumerate(ENERGIES):
        rows = "".join(f"{float(a)!r},{float(b)!r}\n" for a, b in zip(x, y[k]))
        (directory / f"curve-{k}.csv").write_text("position_mm,transmittance\n" + rows)
    curves = "".join(f'[[curve]]\nfile = "curve-{k}.csv"\npulse_energy = {e!r}\n\n'
                     for k, e in enumerate(ENERGIES))
    start_lines = "".join(f"{n} = {float(v)!r}\n" for n, v in zip(NAMES, start))
    (directory / "setup.toml").write_text(
        f"[beam]\nwavelength = {SETUP['wavelength']!r}\nw0 = {SETUP['w0']!r}\n"
        f"M2 = {SETUP['M2']!r}\ntau = {SETUP['tau']!r}\n\n"
        f"[sample]\nsample_width = {SETUP['sample_width']!r}\n"
        f"populations = {[float(v) for v in POPULATIONS]!r}\n\n"
        f"[model]\nt_slices = {SETUP['t_slices']}\nz_slices = {SETUP['z_slices']}\n\n"
        f"{curves}[start]\n{start_lines}\n[fit]\nparameters = {FITTED!r}\nn_starts = 1\n")


# fit_seconds of `tarvo fit DIR --engine ENGINE`, run as users run it.
def cli_fit_seconds(directory, engine):
    done = subprocess.run([sys.executable, "-m", "tarvo", "fit", str(directory), "--engine",
                           engine], capture_output=True, text=True, cwd=directory)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    document = json.loads((directory / "fit-result.json").read_text())
    return document["fit_seconds"], document["engine"]


# All figures of one thread count (run in a child process with OMP_NUM_THREADS set).
def child(repeats):
    import numpy as np
    import tarvo_wrapper

    import tarvo
    from bench_cases import POPULATIONS, SETUP, TRUE_PARS, engine_setup
    from tarvo import _native
    from tarvo.engine import model_and_jacobian, model_defaults
    from tarvo.simulation import FIT_ZSCAN_MODEL

    x = np.linspace(-30.0, 30.0, 41)
    rows = np.tile(x, (2, 1))
    beam = {k: SETUP[k] for k in ("sample_width", "tau", "wavelength", "w0", "M2")}
    grid = dict(t_slices=SETUP["t_slices"], z_slices=SETUP["z_slices"])
    setup = dict(beam, populations=list(POPULATIONS), **grid)
    figures = {"threads": os.environ.get("OMP_NUM_THREADS", "all")}

    # fit_zscan's conventions on both engines: the established model shifted to its baseline.
    lsoda = tarvo.simulate(x, ENERGIES, TRUE_PARS, **setup, **FIT_ZSCAN_MODEL)
    exact = tarvo.simulate(x, ENERGIES, TRUE_PARS, engine="exact", model="established",
                           normalisation="shift", **setup)
    figures["curve_difference"] = float(np.abs(exact - lsoda).max())

    held, keywords = engine_setup(beam)
    model_time, _ = best_time(lambda: model_and_jacobian(rows, ENERGIES, *held, TRUE_PARS,
                                                         **keywords, **grid), 5 * repeats)
    steps = SETUP["t_slices"] * SETUP["z_slices"] * rows.size
    figures["model_seconds"] = model_time
    figures["population_step_seconds"] = model_time / steps
    jacobian_time, _ = best_time(lambda: model_and_jacobian(
        rows, ENERGIES, *held, TRUE_PARS, **keywords, **grid, derivatives=FITTED_INDICES),
        5 * repeats)
    figures["model_with_jacobian_seconds"] = jacobian_time

    start = TRUE_PARS.copy()
    start[FITTED_INDICES] *= 1.5

    # The exact fit on noise-free data of the exact model.
    def exact_fit(data=exact, model="established", fit_setup=setup):
        normalisation = "shift" if model == "established" else "far-field"
        return tarvo.fit(x, data, ENERGIES, start, vary=FITTED, model=model,
                         normalisation=normalisation, checks="off", **fit_setup)

    seconds, result = best_time(exact_fit, repeats)
    figures["exact_fit_seconds"] = seconds
    figures["exact_fit_nfev"] = result.nfev
    figures["exact_fit_errors"] = relative_errors(result.spec_pars, TRUE_PARS)

    # fit_zscan with one start, as users call it (its start is 0.302 x spec_pars).
    def zscan_fit(data):
        return tarvo_wrapper.fit_zscan(
            np.tile(x, 2), np.ascontiguousarray(data.ravel()), np.array(POPULATIONS),
            SETUP["t_slices"], SETUP["z_slices"], beam["sample_width"], beam["tau"],
            beam["wavelength"], beam["w0"], beam["M2"], np.array(ENERGIES), start.copy(),
            np.array(FITTED_INDICES, dtype=np.int32), 41, 2, n_starts=1)

    seconds, (_, _, fitted) = best_time(lambda: zscan_fit(exact), repeats)
    figures["zscan_fit_seconds"] = seconds
    figures["zscan_fit_errors"] = relative_errors(fitted, TRUE_PARS)
    figures["zscan_fit_errors_own_data"] = relative_errors(zscan_fit(lsoda)[2], TRUE_PARS)
    # fit_zscan's optimiser from exactly 1.5x (one start without its scaling).
    _, _, fitted, _ = _native.fit_core(
        list(np.tile(x, 2)), list(exact.ravel()), list(POPULATIONS), SETUP["t_slices"],
        SETUP["z_slices"], beam["sample_width"], beam["tau"], beam["wavelength"], beam["w0"],
        beam["M2"], ENERGIES, list(start), [i + 1 for i in FITTED_INDICES], 41, 2)
    figures["fit_core_errors"] = relative_errors(fitted, TRUE_PARS)

    with tempfile.TemporaryDirectory() as folder:
        directory = Path(folder)
        write_directory(directory, x, exact, start)
        figures["cli_fit_seconds"] = {engine: cli_fit_seconds(directory, engine)[0]
                                      for engine in ("exact", "lsoda")}

    # The energy model: its own data at the true values, fitted with each model.
    defaults = model_defaults("energy")
    energy_setup = dict(beam, populations=list(POPULATIONS))
    energy_data = tarvo.simulate(x, ENERGIES, TRUE_PARS, model="energy", **energy_setup)
    # One run: at its default resolution a fit of the energy model takes long.
    seconds, result = best_time(lambda: exact_fit(energy_data, "energy", energy_setup), 1)
    figures["energy_defaults"] = defaults
    figures["energy_fit_seconds"] = seconds
    figures["energy_fit_nfev"] = result.nfev
    figures["energy_fit_values"] = [float(result.spec_pars[i]) for i in FITTED_INDICES]
    established = exact_fit(energy_data)
    figures["established_on_energy_data"] = [float(established.spec_pars[i])
                                             for i in FITTED_INDICES]
    figures["established_on_energy_data_redchi"] = established.redchi
    print(json.dumps(figures))


# Figures of one thread count from a child process.
def measure(threads, repeats):
    env = dict(os.environ)
    if threads:
        env["OMP_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--child", "--repeats", str(repeats)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# The percentages of a list of relative errors.
def percent(errors):
    return ", ".join(f"{name} {100.0 * e:+.3g} %" for name, e in zip(FITTED, errors))


# The relative errors as plain numbers.
def plain(errors):
    return ", ".join(f"{name} {e:+.1e}" for name, e in zip(FITTED, errors))


# Print the figures of one thread count.
def report(f):
    print(f"threads: {f['threads']}")
    print(f"  exact vs LSODA model curves, largest difference: {f['curve_difference']:.2e}")
    print(f"  one exact model evaluation (2 curves x 41 positions): "
          f"{f['model_seconds'] * 1e3:.2f} ms, with 2 derivatives "
          f"{f['model_with_jacobian_seconds'] * 1e3:.2f} ms; per population step (with its "
          f"attenuation step) {f['population_step_seconds'] * 1e9:.0f} ns")
    print(f"  exact fit from 1.5x (tarvo.fit): relative errors {plain(f['exact_fit_errors'])}; "
          f"{f['exact_fit_nfev']} model evaluations")
    print(f"  fit_zscan, one start (begins at 0.302 x 1.5x): {percent(f['zscan_fit_errors'])}"
          f" (on its own model's data: {percent(f['zscan_fit_errors_own_data'])})")
    print(f"  fit_zscan's optimiser from exactly 1.5x (fit_core): "
          f"{percent(f['fit_core_errors'])}")
    ratio = f["zscan_fit_seconds"] / f["exact_fit_seconds"]
    print(f"  time: exact fit {f['exact_fit_seconds']:.4f} s, fit_zscan one start "
          f"{f['zscan_fit_seconds']:.3f} s: exact {ratio:.1f}x faster")
    cli = f["cli_fit_seconds"]
    print(f"  tarvo fit DIR fit_seconds: exact {cli['exact']:.3f} s, lsoda {cli['lsoda']:.3f} s"
          f" (ratio {cli['lsoda'] / max(cli['exact'], 1e-3):.1f}; JSON rounds to 1 ms)")
    d = f["energy_defaults"]
    print(f"  energy model (t_slices {d['t_slices']}, z_slices {d['z_slices']}, radial_points "
          f"{d['radial_points']}): fit from 1.5x {f['energy_fit_seconds']:.4f} s, "
          f"{f['energy_fit_nfev']} model evaluations")
    values = f["energy_fit_values"]
    other = f["established_on_energy_data"]
    print("  cross-sections fitted to the energy model's curves at sigma_2 2e-17, sigma_4 6e-17:")
    print(f"    energy model:      sigma_2 {values[0]:.4e}, sigma_4 {values[1]:.4e}")
    print(f"    established model: sigma_2 {other[0]:.4e}, sigma_4 {other[1]:.4e} "
          f"(reduced chi^2 {f['established_on_energy_data_redchi']:.2e} of noise-free data)")


# The four differences between the models, one after another.
def four_differences():
    from model_differences import main as differences

    print("the four differences, one after another (20 uJ, normalised transmittance at the "
          "focus):")
    differences()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--threads", type=int, nargs="*", default=[0, 1],
                        help="thread counts (0: all cores); default: all, then 1")
    parser.add_argument("--repeats", type=int, default=3, help="repeats of each timing")
    args = parser.parse_args()
    if args.child:
        child(args.repeats)
        return
    print(__doc__.split("\n\n")[1].replace("\n", " "))
    for threads in args.threads:
        report(measure(threads, args.repeats))
    four_differences()


if __name__ == "__main__":
    main()
