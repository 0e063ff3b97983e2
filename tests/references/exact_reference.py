"""Reference of the exact Z-scan model in NumPy and SciPy, for the tests.

Within one time slice the intensity acting on a depth slice is constant, so
the five rate equations are linear with constant coefficients and the
populations after the step are expm(A dt) N, A = R + photon flux * S. Within
one depth slice the populations are held, so the intensity step is
I exp(-alpha dz). This module computes the discretised model that way, the
matrix exponentials of all positions at once by scaling and squaring, with the call signature of the
compiled engine (tarvo._native.exact_model), so that it can stand in for it
and check it:

    curves, jacobian = exact_model(positions_mm, pulse_energy, populations, spec_pars,
                                   t_slices=..., z_slices=..., sample_width=..., tau=...,
                                   wavelength=..., w0=..., M2=..., derivatives=(...),
                                   variant="established", radial_points=0,
                                   intensity_points=0)

Derivatives come from central differences of the exact model with Richardson
extrapolation (steps of 0.4 % and 0.2 % of each parameter): the model carries
no solver noise, only the rounding noise of its exponentials (about 1e-12),
and these steps keep both that noise and the truncation error near 1e-9 of a
derivative. Slow compared with the compiled engine, but fast enough for fits
of a few parameters.

Variants:
- "established": the pulse, grids, incident table, march order, time sums and
  baseline shift of the LSODA model, only the ODE solves replaced by exact
  exponentials.
- "energy": a pulse normalised to its energy, 2E/(pi^1.5 tau w^2) at its peak;
  t_slices slices over -3.5 tau .. +3.5 tau bounded at 3.5 tau sinh(2u)/sinh(2)
  for equally spaced u, each with the slice average of exp(-(t/tau)^2);
  z_slices slices of thickness sample_width/z_slices. The populations of a
  slice are driven by the light at its middle, attenuated over the first half
  by the slice's attenuation coefficient at the middle of the time slice
  (extrapolated from its change over the previous time slice); the light
  crosses the slice with the attenuation of the populations averaged over the
  time slice, phi_1(A dt) N = (1/dt) integral of exp(A s) N ds. The local
  fluence transmittance of this march on the grids t x z, t x 2z, 2t x z and
  2t x 2z slices is combined with weights (1, -4, -4, 16) / 9 (extrapolation
  over the slice sizes). It is computed at intensity_points peak intensities
  I_j = I_max (exp(5 s_j) - 1) / (exp(5) - 1), s_j Chebyshev points of the
  first kind on [0, 1] and I_max the largest focus peak of the curves, and
  interpolated (barycentric form) in s to the peak intensity of every
  position and radial node. The transmittance is the ratio of transmitted to
  incident pulse energy over the beam cross-section: with v = exp(-2 r^2 / w^2)
  the local fluence is F0 v and dA is proportional to dv, so the energy ratio
  is the integral over v in (0, 1] of the local ratio, taken with
  radial_points Gauss-Legendre nodes in s, v = s^3.
"""

import numpy as np
from scipy.special import erf, erfc

PI = 3.141592653589793
SPEED_OF_LIGHT = 299792458.0
# Reciprocal of Planck's constant (1/(J s)): photons per joule times the frequency.
INVERSE_PLANCK = 1.5091901796421518e33
# Pulse-energy factor of the established model's peak intensity (1e-4 m^2 per cm^2 included).
ESTABLISHED_PEAK_FACTOR = 1.88e-4
# Index of the focus shift among the derivatives.
FOCUS_SHIFT = 8
# Half width of the energy variant's time window, in units of tau.
ENERGY_WINDOW = 3.5
# Slice counts, radial nodes and peak-intensity nodes of the energy variant
# where the caller gives 0.
ENERGY_DEFAULTS = {"t_slices": 32, "z_slices": 2, "radial_points": 12, "intensity_points": 20}
# Rate of the map from the time-slice variable to the time (in units of the window).
ENERGY_TIME_MAP_RATE = 2.0
# Rate of the map from the interpolation variable s to the peak intensity.
ENERGY_PEAK_MAP_RATE = 5.0
# Weights of the grids (t, z), (t, 2z), (2t, z), (2t, 2z) in the extrapolation.
ENERGY_GRID_WEIGHTS = (1.0 / 9.0, -4.0 / 9.0, -4.0 / 9.0, 16.0 / 9.0)
# Relative steps of the two central differences for the eight parameters.
PARAMETER_STEP = 4.0e-3
# Step of the central difference for the focus shift (mm).
FOCUS_STEP_MM = 1.0e-4
# Names of the model variants.
VARIANTS = ("established", "energy")


# Coefficients of the degree-13 Pade approximant of exp and the largest 1-norm
# it serves without scaling (Higham 2005, as scipy.linalg.expm uses them).
PADE_13 = (64764752532480000.0, 32382376266240000.0, 7771770303897600.0, 1187353796428800.0,
           129060195264000.0, 10559470521600.0, 670442572800.0, 33522128640.0, 1323241920.0,
           40840800.0, 960960.0, 16380.0, 182.0, 1.0)
THETA_13 = 5.371920351148152


# Matrix exponentials of a stack of matrices (P, n, n) by scaling and squaring
# with the degree-13 Pade approximant, vectorised over the stack (scipy.linalg.expm
# loops over the stack in Python, far too slowly for a model evaluation).
def batched_expm(a):
    a = np.asarray(a, dtype=np.float64)
    norms = np.abs(a).sum(axis=-2).max(axis=-1)
    squarings = np.maximum(0, np.ceil(np.log2(np.maximum(norms, 1e-300) / THETA_13))).astype(int)
    a = a / (2.0 ** squarings)[:, None, None]
    b = PADE_13
    identity = np.eye(a.shape[-1])
    a2 = a @ a
    a4 = a2 @ a2
    a6 = a4 @ a2
    u = a @ (a6 @ (b[13] * a6 + b[11] * a4 + b[9] * a2)
             + b[7] * a6 + b[5] * a4 + b[3] * a2 + b[1] * identity)
    v = (a6 @ (b[12] * a6 + b[10] * a4 + b[8] * a2)
         + b[6] * a6 + b[4] * a4 + b[2] * a2 + b[0] * identity)
    result = np.linalg.solve(v - u, v + u)
    for k in range(int(squarings.max(initial=0))):
        result = np.where((squarings > k)[:, None, None], result @ result, result)
    return result


# linspace as the model builds its grids: a + i * ((b - a) * (1 / (n - 1))).
def _linspace(a, b, n):
    step = (b - a) * (1.0 / (n - 1))
    return np.array([a + float(i) * step for i in range(n)])


# Rate matrices A (P, 5, 5) of dN/dt = A N under the photon fluxes phi (P,).
def _rate_matrices(p, phi):
    s1, s2, s4 = p[0], p[1], p[2]
    r21, r24, r32, r41, r54 = (1.0 / p[3], 1.0 / p[4], 1.0 / p[5], 1.0 / p[6], 1.0 / p[7])
    a = np.zeros((phi.size, 5, 5))
    a[:, 0, 0] = -s1 * phi
    a[:, 0, 1] = r21
    a[:, 0, 3] = r41
    a[:, 1, 0] = s1 * phi
    a[:, 1, 1] = -(r21 + r24 + s2 * phi)
    a[:, 1, 2] = r32
    a[:, 2, 1] = s2 * phi
    a[:, 2, 2] = -r32
    a[:, 3, 1] = r24
    a[:, 3, 3] = -(r41 + s4 * phi)
    a[:, 3, 4] = r54
    a[:, 4, 3] = s4 * phi
    a[:, 4, 4] = -r54
    return a


# Exit intensity (P, nt) of beams with incident intensity (P, nt) through nz slices.
def _march(incident, populations, p, photon_factor, dt, dz, nz):
    count, nt = incident.shape
    slices = np.tile(np.asarray(populations, dtype=np.float64), (nz, count, 1))
    exit_intensity = np.empty((count, nt))
    for j in range(nt):
        intensity = incident[:, j].copy()
        for k in range(nz):
            step = batched_expm(_rate_matrices(p, photon_factor * intensity) * dt)
            slices[k] = np.einsum("pij,pj->pi", step, slices[k])
            alpha = p[0] * slices[k][:, 0] + p[1] * slices[k][:, 1] + p[2] * slices[k][:, 3]
            intensity = intensity * np.exp(-alpha * dz)
        exit_intensity[:, j] = intensity
    return exit_intensity


# Populations after a step of dt under the rate matrices A (P, 5, 5) and their
# average over the step, phi_1(A dt) N: the exponential of the bordered matrix
# [[A dt, N / total], [0, 0]] holds exp(A dt) and phi_1(A dt) N / total.
def _step_and_average(a_dt, populations):
    count = populations.shape[0]
    total = np.maximum(populations.sum(axis=1), 1e-300)
    bordered = np.zeros((count, 6, 6))
    bordered[:, :5, :5] = a_dt
    bordered[:, :5, 5] = populations / total[:, None]
    exponential = batched_expm(bordered)
    after = np.einsum("pij,pj->pi", exponential[:, :5, :5], populations)
    return after, exponential[:, :5, 5] * total[:, None]


# Exit intensity times dt, summed over the time slices (P,), of the energy
# variant's march: incident (P, nt), slice durations dt (nt,).
def _march_energy(incident, populations, p, photon_factor, dt, dz, nz):
    count, nt = incident.shape
    slices = np.tile(np.asarray(populations, dtype=np.float64), (nz, count, 1))
    previous = np.zeros((nz, count))
    exit_sum = np.zeros(count)

    # Attenuation coefficient of populations (P, 5).
    def alpha(n):
        return n[:, 3] * p[2] + (n[:, 1] * p[1] + n[:, 0] * p[0])

    for j in range(nt):
        extrapolation = 0.0 if j == 0 else 0.5 * (dt[j] / dt[j - 1])
        intensity = incident[:, j].copy()
        for k in range(nz):
            start = alpha(slices[k])
            middle_alpha = start if j == 0 else start + extrapolation * (start - previous[k])
            previous[k] = start
            middle = intensity * np.exp(-(middle_alpha * (0.5 * dz)))
            a_dt = _rate_matrices(p, photon_factor * middle) * dt[j]
            slices[k], mean = _step_and_average(a_dt, slices[k])
            intensity = intensity * np.exp(-(alpha(mean) * dz))
        exit_sum += intensity * dt[j]
    return exit_sum


# Beam radius (m) at the positions (m).
def _beam_radius(x_m, w0, wavelength, M2):
    rayleigh_range = (w0 * w0 * PI) / (M2 * wavelength)
    zr = x_m / rayleigh_range
    return w0 * np.sqrt(zr * zr + 1.0)


# Each curve shifted so that its first five and last five values average 1.
def _shift_baseline(raw):
    n = raw.shape[1]
    ends = raw[:, [0, 1, 2, 3, 4, n - 5, n - 4, n - 3, n - 2, n - 1]]
    return raw + (1.0 - ends.sum(axis=1, keepdims=True) * 0.1)


# Raw (unshifted) transmittance of the established model, shape (D, n).
def _established_raw(x_mm, energies, populations, p, t_slices, z_slices, sample_width, tau,
                     wavelength, w0, M2):
    t_grid = _linspace(-0.5 * tau, 0.5 * tau, t_slices)
    dz = _linspace(0.0, sample_width, z_slices)[1]
    dt = t_grid[1] - t_grid[0]
    w = _beam_radius(x_mm * 0.001, w0, wavelength, M2)
    g = np.exp(-(t_grid / tau) ** 2)
    # incident[d, i, j] = E 1.88e-4 g(t_j) / (tau pi w_i^2)
    incident = ((energies[:, None, None] * ESTABLISHED_PEAK_FACTOR) * g[None, None, :]
                / ((tau * PI) * (w * w))[:, :, None])
    flat = incident.reshape(-1, t_slices)
    photon_factor = INVERSE_PLANCK / (SPEED_OF_LIGHT / wavelength)
    exit_intensity = _march(flat, populations, p, photon_factor, dt, dz, z_slices)
    return (exit_intensity.sum(axis=1) / flat.sum(axis=1)).reshape(x_mm.shape)


# Integral of exp(-s^2) from a to b, without cancellation in the wings.
def _gaussian_integral(a, b):
    half_sqrt_pi = 0.88622692545275801
    if a >= 0.0:
        return half_sqrt_pi * (erfc(a) - erfc(b))
    if b <= 0.0:
        return half_sqrt_pi * (erfc(-b) - erfc(-a))
    return half_sqrt_pi * (erf(b) - erf(a))


# The energy variant's time slices: durations (s) and the slice averages of
# exp(-(t/tau)^2).
def energy_time_slices(tau, t_slices):
    u = -1.0 + 2.0 * np.arange(t_slices + 1) / t_slices
    edges = ENERGY_WINDOW * (np.sinh(ENERGY_TIME_MAP_RATE * u) / np.sinh(ENERGY_TIME_MAP_RATE))
    edges[0], edges[-1] = -ENERGY_WINDOW, ENERGY_WINDOW
    averages = np.array([_gaussian_integral(a, b) / (b - a) for a, b in zip(edges, edges[1:])])
    return np.diff(edges) * tau, averages


# Fluence fractions and weights of the radial rule (Gauss-Legendre in s, v = s^3).
def radial_rule(radial_points):
    x, w = np.polynomial.legendre.leggauss(radial_points)
    s = 0.5 * (1.0 + x)
    weights = 3.0 * s * s * (0.5 * w)
    return s ** 3, weights / weights.sum()


# Chebyshev points of the first kind on [0, 1] and their barycentric weights.
def _chebyshev(n):
    angles = PI * (2.0 * np.arange(n) + 1.0) / (2.0 * n)
    signs = np.where(np.arange(n) % 2 == 0, 1.0, -1.0)
    return 0.5 * (1.0 - np.cos(angles)), signs * np.sin(angles)


# Interpolation weights (..., n) at the peak intensities `peak` (...) on [0, peak_max].
def _peak_weights(n, peak_max, peak):
    points, weights = _chebyshev(n)
    rate = ENERGY_PEAK_MAP_RATE
    s = np.log1p(np.minimum(peak, peak_max) / peak_max * np.expm1(rate)) / rate
    d = s[..., None] - points
    on_node = d == 0.0
    row = weights / np.where(on_node, 1.0, d)
    row = np.where(on_node.any(axis=-1, keepdims=True), on_node.astype(float), row)
    return row / row.sum(axis=-1, keepdims=True)


# Raw energy transmittance of the energy variant, shape (D, n).
def _energy_raw(x_mm, energies, populations, p, t_slices, z_slices, sample_width, tau,
                wavelength, w0, M2, radial_points, intensity_points):
    photon_factor = INVERSE_PLANCK / (SPEED_OF_LIGHT / wavelength)
    w = _beam_radius(x_mm * 0.001, w0, wavelength, M2)
    # Peak intensity in W/cm^2 (w in m: 1e-4 m^2 per cm^2).
    peak = 2.0 * energies[:, None] * 1e-4 / (PI ** 1.5 * tau * w * w)
    peak_max = (2.0 * energies * 1e-4 / (PI ** 1.5 * tau * w0 * w0)).max()
    points, _ = _chebyshev(intensity_points)
    rate = ENERGY_PEAK_MAP_RATE
    node_peak = peak_max / np.expm1(rate) * np.expm1(rate * points)
    # Local fluence transmittance at every node, extrapolated over the slice sizes.
    local = np.zeros(intensity_points)
    for weight, (nt, nz) in zip(ENERGY_GRID_WEIGHTS, ((t_slices, z_slices),
                                                      (t_slices, 2 * z_slices),
                                                      (2 * t_slices, z_slices),
                                                      (2 * t_slices, 2 * z_slices))):
        dt, profile = energy_time_slices(tau, nt)
        incident = node_peak[:, None] * profile[None, :]
        exit_sum = _march_energy(incident, populations, p, photon_factor, dt,
                                 sample_width / nz, nz)
        local += weight * (exit_sum / (incident @ dt))
    v, radial_weights = radial_rule(radial_points)
    rows = _peak_weights(intensity_points, peak_max, peak[:, :, None] * v)
    return (rows @ local) @ radial_weights


# Normalised curves (D, n) of one variant.
def _curves(x_mm, energies, populations, p, settings, variant, nodes):
    if variant == "established":
        raw = _established_raw(x_mm, energies, populations, p, **settings)
    else:
        raw = _energy_raw(x_mm, energies, populations, p, **settings, radial_points=nodes[0],
                          intensity_points=nodes[1])
    return _shift_baseline(raw)


# Reject what the model cannot compute, with a message naming the problem.
def _check(x_mm, energies, populations, p, settings, variant, derivatives):
    if variant not in VARIANTS:
        raise ValueError(f"variant must be one of {', '.join(VARIANTS)}, got {variant!r}")
    if x_mm.ndim != 2 or x_mm.shape[0] != energies.size or x_mm.shape[1] < 5:
        raise ValueError("positions_mm must have shape (num_datasets, num_x_pts >= 5)")
    if populations.size != 5 or p.size != 8:
        raise ValueError("populations needs 5 values and spec_pars 8")
    if settings["t_slices"] < 2 or settings["z_slices"] < (1 if variant == "energy" else 2):
        raise ValueError("t_slices must be at least 2, z_slices at least 2 (1 for the energy "
                         "variant)")
    for name, values in (("positions_mm", x_mm), ("pulse_energy", energies),
                         ("populations", populations), ("spec_pars", p)):
        if not np.all(np.isfinite(values)):
            raise ValueError(f"{name} must be finite")
    if np.any(p[3:] <= 0.0):
        raise ValueError("time constants must be positive")
    if any(not 0 <= int(d) <= FOCUS_SHIFT for d in derivatives):
        raise ValueError("derivative indices must lie in 0..8")


# The exact model and its derivatives (see the module note for the arguments).
def exact_model(positions_mm, pulse_energy, populations, spec_pars, *, t_slices, z_slices,
                sample_width, tau, wavelength, w0, M2, derivatives=(), variant="established",
                radial_points=0, intensity_points=0):
    x_mm = np.array(positions_mm, dtype=np.float64)
    energies = np.array(pulse_energy, dtype=np.float64).ravel()
    pops = np.array(populations, dtype=np.float64).ravel()
    p = np.array(spec_pars, dtype=np.float64).ravel()
    if variant == "energy":
        t_slices = t_slices or ENERGY_DEFAULTS["t_slices"]
        z_slices = z_slices or ENERGY_DEFAULTS["z_slices"]
        radial_points = radial_points or ENERGY_DEFAULTS["radial_points"]
        intensity_points = intensity_points or ENERGY_DEFAULTS["intensity_points"]
    nodes = (int(radial_points), int(intensity_points))
    settings = dict(t_slices=int(t_slices), z_slices=int(z_slices),
                    sample_width=float(sample_width), tau=float(tau),
                    wavelength=float(wavelength), w0=float(w0), M2=float(M2))
    _check(x_mm, energies, pops, p, settings, variant, derivatives)
    curves = _curves(x_mm, energies, pops, p, settings, variant, nodes)
    if len(derivatives) == 0:
        return curves, None
    columns = []
    for index in derivatives:
        index = int(index)
        if index == FOCUS_SHIFT:
            # model(x - z0): the derivative at z0 = 0.
            h = FOCUS_STEP_MM
            up = _curves(x_mm - h, energies, pops, p, settings, variant, nodes)
            down = _curves(x_mm + h, energies, pops, p, settings, variant, nodes)
            columns.append((up - down) / (2.0 * h))
            continue
        scale = abs(p[index]) if p[index] != 0.0 else (1e-20 if index < 3 else 1e-15)

        # Central difference with step h * scale.
        def central(h):
            up, down = p.copy(), p.copy()
            up[index] += h * scale
            down[index] -= h * scale
            return ((_curves(x_mm, energies, pops, up, settings, variant, nodes)
                     - _curves(x_mm, energies, pops, down, settings, variant, nodes))
                    / (up[index] - down[index]))

        # Richardson: the h^2 terms of the two differences cancel.
        columns.append((4.0 * central(0.5 * PARAMETER_STEP) - central(PARAMETER_STEP)) / 3.0)
    return curves, np.stack(columns, axis=-1)
