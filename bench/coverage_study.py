"""Coverage of the default fit path's standard errors, against a first-principles
reference.

For each case the noise-free curves come from tests/references/first_principles.py
(stiff ODE solver in time, spectral collocation in depth, the beam mean of the
local transmittance; independent of the engine). Each replicate adds 0.5 %
Gaussian detector noise (multiplicative, seeded) to the absolute
transmittance and divides each curve by the mean of its five outermost
points on each side, as a laboratory records a scan (and as
examples/make_example.py does), and fits the case's parameters with tarvo.fit's defaults (exact engine, energy
model, far-field normalisation, equal weights, the grid check). Printed per
case and parameter:

    coverage   the fraction of replicates whose fitted value lies within one
               standard error of the truth (68.3 % expected; its binomial
               standard error sqrt(p (1 - p) / n) beside it)
    pull SD    the standard deviation of (fitted - true) / standard error
               (1 expected)
    bias       the mean of (fitted - true) / true

    python bench/coverage_study.py                   # 200 replicates per case
    python bench/coverage_study.py --replicates 50 --cases thin-ns
"""

import argparse
import math
import sys
import time
import warnings
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "references"))

from first_principles import energy_transmittance  # noqa: E402

import tarvo  # noqa: E402

RSA = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
BEAM = dict(wavelength=532e-9, w0=20e-6, M2=1.2)
POPULATIONS = [6e17, 0.0, 0.0, 0.0, 0.0]
POSITIONS = np.linspace(-30.0, 30.0, 41)
FAR_FIELD = 5
NOISE = 0.005

# name: (sample width cm, tau s, pulse energies J, fitted parameters)
CASES = {
    "thin-ns": (0.1, 4e-9, [5e-6, 1e-5, 2e-5], ["sigma_1", "sigma_4"]),
    "thin-ns-sigma_4": (0.1, 4e-9, [5e-6, 1e-5, 2e-5], ["sigma_4"]),
    "thick-ns": (1.0, 4e-9, [2e-6, 5e-6, 1e-5], ["sigma_4"]),
    "thin-ps": (0.1, 1.5e-11, [2e-7, 5e-7, 1e-6], ["sigma_2"]),
}


# Absolute reference curves of a case.
def reference_curves(width, tau, energies):
    return energy_transmittance(POSITIONS, energies, RSA, POPULATIONS, sample_width=width,
                                tau=tau, **BEAM)


# A replicate as a laboratory records it: detector noise on the absolute
# transmittance, each curve divided by the mean of its far-field points.
def measured(absolute, rng):
    noisy = absolute * (1.0 + NOISE * rng.standard_normal(absolute.shape))
    far = np.concatenate([noisy[:, :FAR_FIELD], noisy[:, -FAR_FIELD:]], axis=1)
    return noisy / far.mean(axis=1, keepdims=True)


# Coverage, pull SD and bias per fitted parameter over `replicates` noisy copies.
def study(name, replicates, seed):
    width, tau, energies, names = CASES[name]
    began = time.perf_counter()
    curves = reference_curves(width, tau, energies)
    reference_seconds = time.perf_counter() - began
    rng = np.random.default_rng(seed)
    pulls = {n: [] for n in names}
    biases = {n: [] for n in names}
    began = time.perf_counter()
    for _ in range(replicates):
        y = measured(curves, rng)
        params = tarvo.Parameters.from_spec_pars(RSA, vary=names)
        for n in names:
            params[n].set(value=1.3 * params[n].value)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = tarvo.fit(POSITIONS, y, energies, params, populations=POPULATIONS,
                               sample_width=width, tau=tau, **BEAM)
        for n in names:
            true = RSA[tarvo.parameters.NAMES.index(n)]
            pulls[n].append((result.values[n] - true) / result.params[n].stderr)
            biases[n].append(result.values[n] / true - 1.0)
    seconds = time.perf_counter() - began
    print(f"{name}: {replicates} replicates, {seconds / replicates:.2f} s per fit "
          f"(reference curves {reference_seconds:.1f} s)")
    for n in names:
        pull = np.array(pulls[n])
        inside = float(np.mean(np.abs(pull) <= 1.0))
        binomial = math.sqrt(inside * (1.0 - inside) / replicates)
        print(f"  {n:8s} coverage {inside:.3f} +/- {binomial:.3f} (68.3 % expected), "
              f"pull SD {np.std(pull, ddof=1):.3f}, bias {100 * np.mean(biases[n]):+.3f} %")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replicates", type=int, default=200)
    parser.add_argument("--cases", nargs="*", default=list(CASES), choices=list(CASES))
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    for name in args.cases:
        study(name, args.replicates, args.seed)


if __name__ == "__main__":
    main()
