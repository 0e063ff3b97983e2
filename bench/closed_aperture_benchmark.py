"""The closed-aperture fit beside the open-aperture fit of the same sample, in one run.

Sample: a two-photon absorber with weak linear absorption and a negative
(self-defocusing) Kerr index, no excited-state absorption: 800 nm, w0 20 um,
tau 20 ps, 1 mm, alpha0 = 0.5 /cm, beta = 5e-10 cm/W (5 cm/GW), n2 = -1e-14
cm^2/W; 61 positions from -10 to 10 mm (about +-6.4 Rayleigh ranges), curves at
0.5 and 1 uJ. Noise-free curves of the energy model at the true values.

- open fit: beta from the two open curves;
- closed fit: beta and n2 from the same two open curves and two closed ones
  (aperture S = 0.4);
both by least squares with the exact Jacobian from 1.5 times the true values,
on the engine's handle. Prints the time of each fit (best of repeats), their
ratio, the time of one evaluation with derivatives of each, the time to build
each handle (the closed one builds the far-field kernels), and the relative
errors of the fitted values.

    python bench/closed_aperture_benchmark.py [--repeats R]
"""

import argparse
import math
import sys
from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_cases import best_time  # noqa: E402

from tarvo import _native  # noqa: E402

BEAM = dict(sample_width=0.1, tau=20e-12, wavelength=800e-9, w0=20e-6, M2=1.0)
GROUND = 1e22
PARS = [0.5 / GROUND, 0.0, 0.0] + [1e30] * 5
ENERGIES = [0.5e-6, 1e-6]
BETA, N2 = 5e-10, -1e-14
POSITIONS = np.linspace(-10.0, 10.0, 61)
OPTICS = _native.OPTICS_FIRST


def handle(apertures):
    x = np.array([POSITIONS] * len(apertures))
    energies = (ENERGIES * 2)[:len(apertures)]
    return _native.ExactModel(x, energies, [GROUND, 0, 0, 0, 0], variant="energy",
                              normalise=False, t_slices=0, z_slices=0, aperture=apertures, **BEAM)


def fit(model, data, names):
    truth = np.array([BETA, N2])[:len(names)]
    derivatives = [OPTICS + i for i in range(len(names))]

    def optics(u):
        values = [0.0] * 6
        values[:len(names)] = u * truth
        return values

    def residuals(u):
        return (model.evaluate(PARS, optics=optics(u))[0] - data).ravel()

    def jacobian(u):
        j = model.evaluate(PARS, 0.0, derivatives, optics=optics(u))[1]
        return j.reshape(-1, len(names)) * truth

    solution = least_squares(residuals, np.full(len(names), 1.5), jac=jacobian, method="lm",
                             xtol=1e-12, ftol=1e-12)
    return solution.x - 1.0, solution.nfev


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    build_open, open_model = best_time(lambda: handle([1.0, 1.0]), args.repeats)
    build_closed, closed_model = best_time(lambda: handle([1.0, 1.0, 0.4, 0.4]), args.repeats)
    truth = [BETA, N2, 0, 0, 0, 0]
    open_data = open_model.evaluate(PARS, optics=truth)[0]
    closed_data = closed_model.evaluate(PARS, optics=truth)[0]
    change = np.abs(closed_data[2:] / closed_data[2:, :1] - 1.0).max()
    print(f"closed curves: largest change {change:.3f} (S = 0.4); open: "
          f"{np.abs(open_data / open_data[:, :1] - 1.0).max():.3f}")
    open_eval, _ = best_time(lambda: open_model.evaluate(PARS, 0.0, [OPTICS], optics=truth),
                             args.repeats)
    closed_eval, _ = best_time(
        lambda: closed_model.evaluate(PARS, 0.0, [OPTICS, OPTICS + 1], optics=truth),
        args.repeats)
    open_time, (open_error, open_nfev) = best_time(
        lambda: fit(open_model, open_data, ["beta"]), args.repeats)
    closed_time, (closed_error, closed_nfev) = best_time(
        lambda: fit(closed_model, closed_data, ["beta", "n2"]), args.repeats)
    print(f"handle build: open {build_open * 1e3:.1f} ms, closed {build_closed * 1e3:.1f} ms")
    print(f"one evaluation with derivatives: open {open_eval * 1e3:.1f} ms (beta), "
          f"closed {closed_eval * 1e3:.1f} ms (beta, n2), ratio {closed_eval / open_eval:.2f}")
    print(f"open fit (beta, 2 open curves): {open_time:.3f} s, {open_nfev} evaluations, "
          f"relative error {open_error[0]:.1e}")
    print(f"closed fit (beta, n2, 2 open + 2 closed curves): {closed_time:.3f} s, "
          f"{closed_nfev} evaluations, relative errors {closed_error[0]:.1e}, "
          f"{closed_error[1]:.1e}")
    print(f"closed / open fit time: {closed_time / open_time:.2f}")


if __name__ == "__main__":
    main()
