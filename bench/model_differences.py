"""The four differences between the established and the energy model, applied
one after another to the benchmark case (20 uJ): the normalised transmittance
at the focus after each, computed with the exact propagator of the test
reference (tests/exact_reference.py).

    python bench/model_differences.py
"""

import math
import sys
from pathlib import Path

import numpy as np
from scipy.special import erf

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from bench_cases import POPULATIONS, SETUP, TRUE_PARS  # noqa: E402
from exact_reference import (INVERSE_PLANCK, PI, SPEED_OF_LIGHT, _beam_radius,  # noqa: E402
                             _march)

# The curve: 20 uJ; the focus and the five outermost positions on each side of
# the benchmark scan, which fix the baseline.
ENERGY = 2e-5
SCAN = np.linspace(-30.0, 30.0, 41)
POSITIONS = np.concatenate([SCAN[:5], [0.0], SCAN[-5:]])

# Time window (units of tau), time slices and radial nodes of the physical model.
WINDOW = 3.5
WIDE_T_SLICES = 40
RADIAL_POINTS = 6


# Normalised transmittance at the focus of one model variant.
def focus_transmittance(peak_factor, wide_window, full_thickness, beam_average):
    s = SETUP
    tau, nz = s["tau"], s["z_slices"]
    w = _beam_radius(POSITIONS * 1e-3, s["w0"], s["wavelength"], s["M2"])
    # Peak on-axis intensity in W/cm^2 at every position.
    peak = ENERGY * peak_factor / (tau * w * w)
    if wide_window:
        edges = np.linspace(-WINDOW, WINDOW, WIDE_T_SLICES + 1)
        profile = 0.5 * math.sqrt(PI) * np.diff(erf(edges)) / np.diff(edges)
        dt = (edges[1] - edges[0]) * tau
    else:
        t = np.linspace(-0.5 * tau, 0.5 * tau, s["t_slices"])
        profile = np.exp(-(t / tau) ** 2)
        dt = t[1] - t[0]
    dz = s["sample_width"] / (nz if full_thickness else nz - 1)
    if beam_average:
        nodes, weights = np.polynomial.legendre.leggauss(RADIAL_POINTS)
        fractions, weights = 0.5 * (nodes + 1.0), 0.5 * weights
    else:
        fractions, weights = np.array([1.0]), np.array([1.0])
    incident = peak[:, None, None] * fractions[None, :, None] * profile[None, None, :]
    flat = incident.reshape(-1, profile.size)
    photon_factor = INVERSE_PLANCK / (SPEED_OF_LIGHT / s["wavelength"])
    exit_intensity = _march(flat, POPULATIONS, np.array(TRUE_PARS), photon_factor, dt, dz, nz)
    local = (exit_intensity.sum(axis=1) / flat.sum(axis=1)).reshape(incident.shape[:2])
    raw = local @ weights
    baseline = 0.1 * (raw[:5].sum() + raw[-5:].sum())
    return float(raw[5] + 1.0 - baseline)


# (label, transmittance at the focus) after each difference in turn.
def cumulative_steps():
    established_factor = 1.88e-4 / PI
    consistent_factor = 2.0e-4 / PI**1.5
    return [
        ("established model", focus_transmittance(established_factor, False, False, False)),
        ("1. pulse carries E (peak / 1.666)",
         focus_transmittance(consistent_factor, False, False, False)),
        (f"2. whole pulse (+-{WINDOW:g} tau, {WIDE_T_SLICES} slices)",
         focus_transmittance(consistent_factor, True, False, False)),
        ("3. sample of its own thickness (slices of L / z_slices)",
         focus_transmittance(consistent_factor, True, True, False)),
        (f"4. energy ratio over the beam ({RADIAL_POINTS} radial nodes)",
         focus_transmittance(consistent_factor, True, True, True)),
    ]


if __name__ == "__main__":
    previous = None
    for label, value in cumulative_steps():
        change = "" if previous is None else f" (change {value - previous:+.4f})"
        print(f"{label:<58} {value:.4f}{change}")
        previous = value
