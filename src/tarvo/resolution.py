"""Resolution of the energy model chosen from the sample.

The energy model's discretisation (time slices, depth slices, radial nodes,
peak-intensity nodes; see the README's "The exact engine") has fixed defaults
that suit thin samples. How fine it must be depends on two properties of the
measurement:

- the optical depth alpha_0 L (alpha_0 = sigma_1 N1 + sigma_2 N2 + sigma_4 N4
  before the pulse) sets the depth slices: the light changes along the sample
  and the populations follow it. A reverse saturable absorber (excited
  absorption at least as strong as the ground state's) darkens where the light
  is strongest, so its depth profile is steeper than a saturable absorber's,
  which bleaches;
- the saturation S = F_0 sigma_1 / (h nu), F_0 = 2 E / (pi w0^2) the peak
  fluence at the focus of the strongest pulse, sets the radial and
  peak-intensity nodes: the local transmittance changes over fluences of
  order h nu / sigma_1, S times below the peak, which the nodes must resolve.

`energy_resolution` turns both into counts. The rule comes from
bench/resolution_study.py (`--all` for every case), which compares the engine
with an independent first-principles reference (tests/references/first_principles.py: a
stiff ODE solver in time, spectral collocation in depth, the beam mean of an
interpolated local transmittance, accurate to ~1e-7 of the change) on 14
cases: reverse saturable absorbers (sigma 4e-18, 2e-17, 6e-17 cm^2) at
optical depth 0.24-3 and S 3-340, saturable absorbers (sigma_1 1e-16,
sigma_2 2e-18) at optical depth 0.3-3 and S 20-2000, 532 nm, w0 20 um,
tau 4 ns and 30 ps. Its error, max |T_engine - T_ref| over the curves as a
fraction of their nonlinear change (max T - min T of the absolute energy
transmittance), with one count varied and the others fine:

- depth slices, reverse saturable: optical depth 0.24: 2 slices 5e-6;
  1: 2 slices 2.5e-4, 4 slices 1.8e-5; 2: 2 slices 6.9e-4, 8 slices 9e-6;
  3: 2 slices 1.0e-3, 8 slices 3.8e-5, 12 slices 8e-6 (S 340: 1.6e-5);
  30 ps pulse, optical depth 2: 2 slices 8.6e-4, 8 slices 2.4e-6.
  Saturable: optical depth 1: 2 slices 3e-6; 2: 2 slices 1.2e-5, 3 slices
  5e-6; 3: 2 slices 4.9e-5, 5 slices 6e-6;
- radial nodes: reverse saturable S 34: 12 nodes 7e-7, S 340: 12 nodes
  8e-6, 16 nodes 8e-7; saturable S 21: 12 nodes 3.5e-5, 16 nodes 1.2e-6;
  S 213: 12 nodes 1.9e-4, 20 nodes 7e-6; S 2131: 16 nodes 6.5e-5, 24 nodes
  6e-6 (nearly free: the nodes only interpolate);
- peak-intensity nodes: reverse saturable S 3-34: 12 nodes below 1e-6;
  S 340: 20 nodes 5e-7 (optical depth 0.24), 1.3e-4 (optical depth 3),
  30 nodes 5.5e-6; saturable S 21: 20 nodes 3e-5 at optical depth 3, 25
  nodes 3e-6; S 213: 20 nodes 8e-5, 30 nodes 2e-6; S 2131: 30 nodes 9e-5,
  40 nodes 9e-6;
- time slices: 32 slices at most 2.6e-6 at 4 ns and 7.3e-6 at 30 ps.

The defaults (32, 2, 12, 20) are 1.0e-3 off at optical depth 3 (reverse
saturable; 2.3e-3 at S 340), 2.5e-4 already at optical depth 1, and 2.2e-4
(saturable, optical depth 3, S 213) to 6.8e-4 (S 2131). The rule's choice
keeps every case of the study at or below 1.9e-5, at 0.8 (thin reverse
saturable) to 6.4 times (optical depth 3: 12 depth slices) the defaults'
evaluation time. Beyond optical depth 3 and S 2000 its formulas are
extrapolated.
"""

import math

import numpy as np

# Planck's constant (J s) and the speed of light (m/s).
PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0

# Time slices of the pulse: 32 keep the error below 3e-6 of the nonlinear change
# (4 ns pulses; 7.3e-6 at 30 ps).
T_SLICES = 32
# Depth slices per unit of optical depth: reverse saturable absorbers and
# saturable ones; never fewer than MIN_Z_SLICES.
Z_SLICES_PER_DEPTH_REVERSE = 4.0
Z_SLICES_PER_DEPTH_SATURABLE = 1.5
MIN_Z_SLICES = 2
# Radial nodes: RADIAL_BASE + RADIAL_PER_DECADE log10(S), at least MIN_RADIAL.
RADIAL_BASE, RADIAL_PER_DECADE, MIN_RADIAL = 10.0, 5.0, 12
# Peak-intensity nodes: base + 6 log10(S) + 2 alpha_0 L max(0, log10(S) - 1),
# at least MIN_INTENSITY. The base is larger for a saturable absorber, whose local
# transmittance turns more sharply; the last term follows the saturation into
# a thick sample (its rear saturates at e^(alpha_0 L) times the front's
# intensity, where the nodes are sparser).
INTENSITY_BASE_REVERSE, INTENSITY_BASE_SATURABLE = 6.0, 14.0
INTENSITY_PER_DECADE, INTENSITY_DEPTH = 6.0, 2.0
MIN_INTENSITY = 12
# The engine's largest radial and peak-intensity node counts.
MAX_NODES = 64


def _finite_array(name, values, size):
    try:
        array = np.array(values, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be {size} numbers, got {values!r}") from None
    if array.size != size or not np.all(np.isfinite(array)):
        raise ValueError(f"{name} must be {size} finite numbers, got {values!r}")
    return array


def _positive(name, value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a positive number, got {value!r}") from None
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    return value


def optical_depth(spec_pars, populations, sample_width):
    """alpha_0 L = (sigma_1 N1 + sigma_2 N2 + sigma_4 N4) L of the sample before the pulse."""
    p = _finite_array("spec_pars", spec_pars, 8)
    n = _finite_array("populations", populations, 5)
    if np.any(p[:3] < 0.0):
        raise ValueError(f"the cross-sections must be at least 0, got {list(p[:3])}")
    if np.any(n < 0.0):
        raise ValueError(f"populations must be at least 0, got {list(n)}")
    width = float(sample_width)
    if not (math.isfinite(width) and width >= 0.0):
        raise ValueError(f"sample_width must be a finite number of at least 0, got "
                         f"{sample_width!r}")
    return float((p[0] * n[0] + p[1] * n[1] + p[2] * n[3]) * width)


def saturation(spec_pars, pulse_energies, w0, wavelength):
    """Peak fluence at the focus of the strongest pulse over h nu / sigma_1
    (sigma_1 = 0: the largest cross-section)."""
    p = _finite_array("spec_pars", spec_pars, 8)
    energies = np.array(pulse_energies, dtype=np.float64).ravel()
    if energies.size == 0 or not np.all(np.isfinite(energies)) or np.any(energies <= 0.0):
        raise ValueError(f"pulse_energies must be one or more positive finite numbers, got "
                         f"{pulse_energies!r}")
    w0_cm = 100.0 * _positive("w0", w0)
    photon = PLANCK * SPEED_OF_LIGHT / _positive("wavelength", wavelength)
    sigma = p[0] if p[0] > 0.0 else float(np.max(p[:3]))
    fluence = 2.0 * float(energies.max()) / (math.pi * w0_cm * w0_cm)
    return fluence * float(sigma) / photon


def energy_resolution(spec_pars, populations, sample_width, pulse_energies, w0, M2, wavelength,
                      tau):
    """Time slices, depth slices, radial and peak-intensity nodes of the energy
    model that keep its error below 1e-4 of the curves' nonlinear change (the
    study: at most 1.9e-5) for this sample and these pulses, at the least cost.

    spec_pars       the eight parameters (sigma_1, sigma_2, sigma_4 in cm^2, then
                    the five time constants in s)
    populations     the five populations before the pulse (cm^-3)
    sample_width    thickness (cm); pulse_energies (J); w0 beam waist (m); M2;
                    wavelength (m); tau pulse duration parameter (s)

    Rule (alpha_0 L the optical depth, S the saturation, see the module):
    - t_slices 32;
    - z_slices ceil(4 alpha_0 L) when the excited absorption (the larger of
      sigma_2, sigma_4) is at least sigma_1, else ceil(1.5 alpha_0 L); at least 2;
    - radial_points ceil(10 + 5 log10 S), at least 12;
    - intensity_points ceil(b + 6 log10 S + 2 alpha_0 L max(0, log10 S - 1)),
      b = 14 for a saturable absorber, 6 otherwise; at least 12;
    node counts at most 64 (the engine's limit).

    Returns dict(t_slices=..., z_slices=..., radial_points=..., intensity_points=...).
    """
    depth = optical_depth(spec_pars, populations, sample_width)
    S = saturation(spec_pars, pulse_energies, w0, wavelength)
    _positive("M2", M2)
    _positive("tau", tau)
    p = np.array(spec_pars, dtype=np.float64).ravel()
    saturable = max(p[1], p[2]) < p[0]
    per_depth = Z_SLICES_PER_DEPTH_SATURABLE if saturable else Z_SLICES_PER_DEPTH_REVERSE
    decades = math.log10(max(S, 1.0))
    base = INTENSITY_BASE_SATURABLE if saturable else INTENSITY_BASE_REVERSE
    intensity = (base + INTENSITY_PER_DECADE * decades
                 + INTENSITY_DEPTH * depth * max(0.0, decades - 1.0))
    # The small offsets keep exact products (4 x 0.25 = 1) from rounding up a slice.
    return dict(
        t_slices=T_SLICES,
        z_slices=max(MIN_Z_SLICES, math.ceil(per_depth * depth - 1e-9)),
        radial_points=min(MAX_NODES, max(MIN_RADIAL,
                                         math.ceil(RADIAL_BASE + RADIAL_PER_DECADE * decades))),
        intensity_points=min(MAX_NODES, max(MIN_INTENSITY, math.ceil(intensity - 1e-9))),
    )
