"""Convergence of the energy model on the benchmark case: its normalised value
at the focus as the time slices, depth slices, radial nodes and peak-intensity
nodes grow, each against a fine reference, relative to the dip (1 - value) of
the curve; then the error and cost of the default discretisation
(_native.ENERGY_DEFAULTS) and its evaluation time beside the established
model's, measured side by side.

    python bench/energy_convergence.py

Every value is the model as it is computed: the march extrapolated over the
slice sizes (four grids, t x z to 2t x 2z). The reference is the finest
(FINE_T x FINE_Z slices, FINE_R radial and FINE_I peak-intensity nodes); the
first line shows how far it is from a finer one still. Each row changes one
count and keeps the others at the reference's.
"""

import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_cases import POPULATIONS, SETUP, TRUE_PARS  # noqa: E402
from tarvo import _native  # noqa: E402

ENERGIES = [5e-6, 2e-5]
BEAM = {k: SETUP[k] for k in ("sample_width", "tau", "wavelength", "w0", "M2")}
# The benchmark's 41 positions from -30 to 30 mm: the baseline's first and
# last five and the focus, so the focus value is that of the whole curve.
FULL = np.linspace(-30.0, 30.0, 41)
POSITIONS = np.concatenate([FULL[:5], [0.0], FULL[-5:]])
FOCUS = 5
FINE_T, FINE_Z, FINE_R, FINE_I = 160, 16, 24, 40


def focus_values(t_slices, z_slices, radial_points, intensity_points=FINE_I):
    x = np.vstack([POSITIONS] * len(ENERGIES))
    curves, _ = _native.exact_model(x, ENERGIES, POPULATIONS, list(TRUE_PARS), variant="energy",
                                    t_slices=t_slices, z_slices=z_slices,
                                    radial_points=radial_points,
                                    intensity_points=intensity_points, **BEAM)
    return curves[:, FOCUS]


def row(label, values, reference, dip):
    errors = (values - reference) / dip
    print(f"{label:>19s}  " + "  ".join(f"{v:.9f} {e:+.2e}" for v, e in zip(values, errors)))
    return np.abs(errors).max()


def main():
    start = time.perf_counter()
    reference = focus_values(FINE_T, FINE_Z, FINE_R)
    dip = 1.0 - reference
    finer = focus_values(3 * FINE_T // 2, 3 * FINE_Z // 2, FINE_R)
    print("energy model, benchmark case (RSA, 532 nm, w0 20 um, tau 4 ns, 1 mm), focus value")
    print(f"reference: {reference[0]:.9f} (5 uJ, dip {dip[0]:.4f}), "
          f"{reference[1]:.9f} (20 uJ, dip {dip[1]:.4f}); "
          f"{3 * FINE_T // 2} x {3 * FINE_Z // 2} slices differ by "
          f"{np.abs((finer - reference) / dip).max():.1e} of the dip")
    header = f"{'':>19s}  " + "  ".join(f"{'value ' + e:>12s} {'err/dip':>9s}"
                                        for e in ("5uJ", "20uJ"))
    print(f"\ntime slices (z_slices={FINE_Z}, radial_points={FINE_R})\n{header}")
    for t in (6, 8, 12, 16, 20, 24, 32, 48):
        row(f"t_slices={t}", focus_values(t, FINE_Z, FINE_R), reference, dip)
    print(f"\ndepth slices (t_slices={FINE_T}, radial_points={FINE_R})\n{header}")
    for z in (1, 2, 3, 4, 6, 8):
        row(f"z_slices={z}", focus_values(FINE_T, z, FINE_R), reference, dip)
    print(f"\nradial nodes (t_slices={FINE_T}, z_slices={FINE_Z})\n{header}")
    for r in (3, 4, 5, 6, 7, 8, 10, 12, 16):
        row(f"radial_points={r}", focus_values(FINE_T, FINE_Z, r), reference, dip)
    print(f"\npeak-intensity nodes (t_slices={FINE_T}, z_slices={FINE_Z}, "
          f"radial_points={FINE_R})\n{header}")
    for i in (6, 8, 10, 12, 16, 20, 24, 32):
        row(f"intensity_points={i}", focus_values(FINE_T, FINE_Z, FINE_R, i), reference, dip)

    d = _native.ENERGY_DEFAULTS
    print(f"\ndefaults {d}\n{header}")
    worst = row("defaults", focus_values(d["t_slices"], d["z_slices"], d["radial_points"],
                                         d["intensity_points"]), reference, dip)
    print(f"largest discretisation error of the defaults: {worst:.2e} of the dip "
          f"({'below' if worst < 1e-4 else 'ABOVE'} 1e-4)")

    x = np.vstack([FULL] * len(ENERGIES))
    timings = {}
    for _ in range(5):
        for variant, grid in (("established", dict(t_slices=SETUP["t_slices"],
                                                   z_slices=SETUP["z_slices"])),
                              ("energy", dict(t_slices=0, z_slices=0))):
            for derivatives in ((), (1, 2)):
                t0 = time.perf_counter()
                _native.exact_model(x, ENERGIES, POPULATIONS, list(TRUE_PARS), variant=variant,
                                    derivatives=derivatives, **grid, **BEAM)
                seconds = time.perf_counter() - t0
                key = variant, derivatives
                timings[key] = min(timings.get(key, float("inf")), seconds)
    print("\nmodel evaluation, 2 curves x 41 positions (best of 5, interleaved):")
    for (variant, derivatives), seconds in timings.items():
        label = f"{variant}{' + Jacobian (sigma_2, sigma_4)' if derivatives else ''}"
        print(f"  {label:45s} {seconds * 1e3:9.2f} ms")
    for derivatives, label in (((), ""), ((1, 2), " (with Jacobian)")):
        ratio = timings["energy", derivatives] / timings["established", derivatives]
        print(f"  energy / established{label}: {ratio:.1f}x")
    print(f"\n(run took {time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
