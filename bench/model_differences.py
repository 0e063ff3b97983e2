"""The four differences between the established and the energy model, applied
one after another to the benchmark case (20 uJ): the normalised transmittance
at the focus after each. The steps after the first two run the energy model's
march at its default resolution (the test reference, tests/references/exact_reference.py),
so that each step shows a difference of physics, not of discretisation; the
last step is the energy model itself.

    python bench/model_differences.py
"""

import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "references"))

from bench_cases import POPULATIONS, SETUP, TRUE_PARS  # noqa: E402
from exact_reference import (ENERGY_DEFAULTS, ENERGY_GRID_WEIGHTS, ENERGY_WINDOW,  # noqa: E402
                             INVERSE_PLANCK, PI, SPEED_OF_LIGHT, _beam_radius, _march,
                             _march_energy, energy_time_slices, radial_rule)

# The curve: 20 uJ; the focus and the five outermost positions on each side of
# the benchmark scan, which fix the baseline.
ENERGY = 2e-5
SCAN = np.linspace(-30.0, 30.0, 41)
POSITIONS = np.concatenate([SCAN[:5], [0.0], SCAN[-5:]])
FOCUS_INDEX = 5

# Peak-intensity factors (W/cm^2 per J / (s m^2)): the established 1.88e-4 / pi,
# and 2e-4 / pi^1.5, with which the pulse carries its energy.
ESTABLISHED_FACTOR = 1.88e-4 / PI
CONSISTENT_FACTOR = 2.0e-4 / PI**1.5


# Normalised transmittance at the focus from the raw values at POSITIONS.
def _at_focus(raw):
    baseline = 0.1 * (raw[:5].sum() + raw[-5:].sum())
    return float(raw[FOCUS_INDEX] + 1.0 - baseline)


# Photon flux per unit intensity.
def _photon_factor():
    return INVERSE_PLANCK / (SPEED_OF_LIGHT / SETUP["wavelength"])


# The established march (10 x 5 slices over +-tau/2, on axis) with a peak factor.
def established(peak_factor):
    s = SETUP
    tau = s["tau"]
    w = _beam_radius(POSITIONS * 1e-3, s["w0"], s["wavelength"], s["M2"])
    t = np.linspace(-0.5 * tau, 0.5 * tau, s["t_slices"])
    incident = (ENERGY * peak_factor / (tau * w * w))[:, None] * np.exp(-(t / tau) ** 2)
    dz = s["sample_width"] / (s["z_slices"] - 1)
    exit_intensity = _march(incident, POPULATIONS, np.array(TRUE_PARS), _photon_factor(),
                            t[1] - t[0], dz, s["z_slices"])
    return _at_focus(exit_intensity.sum(axis=1) / incident.sum(axis=1))


# The energy model's march over the whole pulse (extrapolated over the slice
# sizes as the model does), with the established model's extra slice of
# thickness or without, on axis or averaged over the beam.
def whole_pulse(thickness, beam_average):
    s = SETUP
    tau = s["tau"]
    w = _beam_radius(POSITIONS * 1e-3, s["w0"], s["wavelength"], s["M2"])
    if beam_average:
        fractions, weights = radial_rule(ENERGY_DEFAULTS["radial_points"])
    else:
        fractions, weights = np.array([1.0]), np.array([1.0])
    peak = ENERGY * CONSISTENT_FACTOR / (tau * w * w)
    t_slices, z_slices = ENERGY_DEFAULTS["t_slices"], ENERGY_DEFAULTS["z_slices"]
    local = 0.0
    for grid_weight, (nt, nz) in zip(ENERGY_GRID_WEIGHTS, ((t_slices, z_slices),
                                                           (t_slices, 2 * z_slices),
                                                           (2 * t_slices, z_slices),
                                                           (2 * t_slices, 2 * z_slices))):
        dt, profile = energy_time_slices(tau, nt)
        incident = peak[:, None, None] * fractions[None, :, None] * profile[None, None, :]
        flat = incident.reshape(-1, profile.size)
        exit_sum = _march_energy(flat, POPULATIONS, np.array(TRUE_PARS), _photon_factor(), dt,
                                 thickness / nz, nz)
        local = local + grid_weight * (exit_sum / (flat @ dt)).reshape(incident.shape[:2])
    return _at_focus(local @ weights)


# (label, transmittance at the focus) after each difference in turn.
def cumulative_steps():
    width = SETUP["sample_width"]
    extra = SETUP["z_slices"] / (SETUP["z_slices"] - 1)
    return [
        ("established model", established(ESTABLISHED_FACTOR)),
        ("1. the pulse carries E (peak / 1.666)", established(CONSISTENT_FACTOR)),
        (f"2. the whole pulse (+-{ENERGY_WINDOW:g} tau, resolved)",
         whole_pulse(width * extra, False)),
        ("3. the sample's own thickness", whole_pulse(width, False)),
        ("4. the energy ratio over the beam (= energy model)", whole_pulse(width, True)),
    ]


# Print the steps and their changes.
def main():
    previous = None
    for label, value in cumulative_steps():
        change = "" if previous is None else f" (change {value - previous:+.4f})"
        print(f"  {label:<52} {value:.4f}{change}")
        previous = value


if __name__ == "__main__":
    print("the four differences, one after another (20 uJ, normalised transmittance at the "
          "focus):")
    main()
