"""Resolution of the energy model against a first-principles reference.

For each case (reverse saturable absorbers and saturable absorbers, thin to
optical depth 3) the engine's absolute energy transmittance (exact engine,
normalise=False) is compared with tests/references/first_principles.py (stiff ODE solver
in time, spectral collocation in depth, the beam mean of an interpolated local
transmittance; itself accurate to ~1e-7 of the nonlinear change, see the
"reference" line of each case). The error is

    max |T_engine - T_ref| / (max T_ref - min T_ref)

over all positions and energies of the case: a fraction of the nonlinear
change of the curves. One count is varied at a time, the others held at
FINE; then the defaults (_native.ENERGY_DEFAULTS) and the choice of
tarvo.engine.energy_resolution, with the evaluation time of both measured
side by side (best of REPEATS, interleaved).

    python bench/resolution_study.py            # the three main cases
    python bench/resolution_study.py --all      # every case of the study
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "references"))

from first_principles import energy_transmittance, photon_energy  # noqa: E402
from tarvo import _native  # noqa: E402
from tarvo.engine import energy_resolution  # noqa: E402

BEAM = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2)
# Reverse saturable absorber (the benchmark's molecule): excited absorption
# 5 and 15 times the ground state's.
RSA = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
# Saturable absorber: weak excited absorption, an excited state that outlives the pulse.
SA = [1e-16, 2e-18, 0.0, 1e-6, 1e-3, 1e-12, 1e-6, 1e-12]


def ground(optical_depth, pars, width=BEAM["sample_width"]):
    return [optical_depth / (pars[0] * width), 0.0, 0.0, 0.0, 0.0]


# name: (parameters, populations, pulse energies J[, changes of BEAM])
MAIN = {
    "RSA thin (optical depth 0.24)": (RSA, ground(0.24, RSA), [5e-6, 2e-5]),
    "RSA optical depth 3": (RSA, ground(3.0, RSA), [5e-6, 2e-5]),
    "SA optical depth 2, F/F_s 200": (SA, ground(2.0, SA), [1e-6, 5e-6]),
}
EXTRA = {
    "RSA optical depth 1": (RSA, ground(1.0, RSA), [5e-6, 2e-5]),
    "RSA optical depth 2, weak pulses": (RSA, ground(2.0, RSA), [5e-7, 2e-6]),
    "RSA optical depth 3, weak pulses": (RSA, ground(3.0, RSA), [5e-7, 2e-6]),
    "SA thin (0.3), F/F_s 200": (SA, ground(0.3, SA), [1e-6, 5e-6]),
    "SA optical depth 3, F/F_s 20": (SA, ground(3.0, SA), [1e-7, 5e-7]),
    "SA optical depth 3, F/F_s 200": (SA, ground(3.0, SA), [1e-6, 5e-6]),
    "SA optical depth 3, F/F_s 2000": (SA, ground(3.0, SA), [1e-5, 5e-5]),
    "RSA thin, F/F_s 340": (RSA, ground(0.24, RSA), [5e-5, 2e-4]),
    "RSA optical depth 3, F/F_s 340": (RSA, ground(3.0, RSA), [5e-5, 2e-4]),
    "RSA optical depth 2, 30 ps pulse": (RSA, ground(2.0, RSA), [5e-6, 2e-5], dict(tau=3e-11)),
    "SA optical depth 2, 30 ps pulse": (SA, ground(2.0, SA), [1e-6, 5e-6], dict(tau=3e-11)),
}
# Positions (mm; z_R = 2 mm): the far field and the focus region.
POSITIONS = np.concatenate([np.linspace(-15, -3, 5), np.linspace(-2, 2, 9), np.linspace(3, 15, 5)])
FINE = dict(t_slices=48, z_slices=24, radial_points=32, intensity_points=64)
SWEEPS = {
    "z_slices": (1, 2, 3, 4, 6, 8, 10, 12, 16),
    "radial_points": (6, 8, 10, 12, 16, 20, 24),
    "intensity_points": (10, 15, 20, 25, 30, 40),
    "t_slices": (16, 24, 32),
}
REPEATS = 5


def engine(pars, populations, energies, grid, beam, positions=POSITIONS):
    x = np.vstack([positions] * len(energies))
    curves, _ = _native.exact_model(x, energies, populations, pars, variant="energy",
                                    normalise=False, **grid, **beam)
    return np.asarray(curves)


def saturation(pars, energies, beam):
    """Peak fluence at the focus over the ground-state saturation fluence h nu / sigma_1."""
    fluence = 2 * max(energies) / (np.pi * (beam["w0"] * 100) ** 2)
    return fluence * pars[0] / photon_energy(beam["wavelength"])


def timing(pars, populations, energies, grids, beam):
    best = [np.inf] * len(grids)
    x = np.linspace(-15, 15, 41)
    for _ in range(REPEATS):
        for k, grid in enumerate(grids):
            t0 = time.perf_counter()
            engine(pars, populations, energies, grid, beam, x)
            best[k] = min(best[k], time.perf_counter() - t0)
    return best


def study(name, pars, populations, energies, changes=None):
    beam = {**BEAM, **(changes or {})}
    t0 = time.perf_counter()
    ref = energy_transmittance(POSITIONS, energies, pars, populations, depth_nodes=16, **beam)
    seconds = time.perf_counter() - t0
    finer = energy_transmittance(POSITIONS, energies, pars, populations, depth_nodes=20,
                                 rtol=1e-12, interpolation_tolerance=2e-9, **beam)
    change = ref.max() - ref.min()

    def error(grid):
        return float(np.abs(engine(pars, populations, energies, grid, beam) - ref).max()
                     / change)

    alpha0_L = beam["sample_width"] * (pars[0] * populations[0] + pars[1] * populations[1]
                                       + pars[2] * populations[3])
    print(f"\n== {name}: tau {beam['tau'] * 1e9:g} ns, optical depth {alpha0_L:.2f}, "
          f"F/F_s {saturation(pars, energies, beam):.0f}, "
          f"energies {', '.join(f'{e * 1e6:g}' for e in energies)} uJ; nonlinear change "
          f"{change:.4f} (T {ref.min():.4f} .. {ref.max():.4f})")
    print(f"   reference: {seconds:.1f} s; 20 depth nodes, tighter tolerances differ by "
          f"{np.abs(finer - ref).max() / change:.1e} of the change")
    print(f"   fine grid {FINE}: error {error(FINE):.1e}")
    for key, values in SWEEPS.items():
        cells = [f"{v}: {error({**FINE, key: v}):.1e}" for v in values]
        print(f"   {key:>16s}  " + "  ".join(cells))
    defaults = {k: int(v) for k, v in _native.ENERGY_DEFAULTS.items()}
    rule = energy_resolution(pars, populations, beam["sample_width"], energies, beam["w0"],
                             beam["M2"], beam["wavelength"], beam["tau"])
    errors = error(defaults), error(rule)
    times = timing(pars, populations, energies, [defaults, rule], beam)
    for label, grid, err, sec in zip(("defaults", "rule"), (defaults, rule), errors, times):
        print(f"   {label:>8s} {grid}: error {err:.1e} "
              f"({'below' if err < 1e-4 else 'ABOVE'} 1e-4), 2 curves x 41 positions "
              f"{sec * 1e3:.1f} ms")
    print(f"   rule / defaults evaluation time: {times[1] / times[0]:.2f}x")
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--all", action="store_true", help="every case of the study")
    args = parser.parse_args()
    cases = {**MAIN, **EXTRA} if args.all else MAIN
    start = time.perf_counter()
    worst = 0.0
    for name, case in cases.items():
        worst = max(worst, study(name, *case)[1])
    print(f"\nlargest error of the rule's choice: {worst:.1e} of the nonlinear change "
          f"({'below' if worst < 1e-4 else 'ABOVE'} 1e-4); run took "
          f"{time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
