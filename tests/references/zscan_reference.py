"""Independent reference of the forward model and the fit, in Python.

Built on SciPy 1.14's odeint (the Fortran LSODA) and leastsq (the Fortran
MINPACK lmdif), with every formula written with the same operand order and
grouping as the native code, so both must agree to the last bit. Slow: use
small configurations.
"""

import math

from scipy.optimize import leastsq

from odeint_reference import (intensity_derivative, model_context, odeint_solve,
                              population_derivatives)

PI = 3.141592653589793
SPEED_OF_LIGHT = 299792458.0


def population_step(c, populations, intensity, dt):
    """Populations after dt under a constant intensity (odeint, fresh start)."""

    def rhs(y, t):
        return population_derivatives(c, y.tolist(), intensity)

    return odeint_solve(rhs, populations, 0.0, dt)[0]


def intensity_step(c, intensity, populations, dz):
    """Intensity after crossing dz with the populations held fixed."""

    def rhs(y, t):
        return [intensity_derivative(c, float(y[0]), populations)]

    return odeint_solve(rhs, [intensity], 0.0, dz)[0][0]


def linspace(a, b, n):
    if n == 1:
        return [a]
    if n <= 0:
        return []
    step = (b - a) * (1.0 / (n - 1))
    return [a + float(i) * step for i in range(n)]


def pulse_intensity(r, t, z, e, tau, w0, z_r):
    zr = z / z_r
    w = w0 * math.sqrt(zr * zr + 1.0)
    tt = t / tau
    g = math.exp(-(tt * tt))
    h = math.exp(-(2.0 * (r * r)) / (w * w))
    return h * ((e * 1.88e-4) * g) / ((tau * PI) * (w * w))


class Setup:
    """Grids and incident table of a fit: positions in mm, curve after curve."""

    def __init__(self, x_mm, t_slices, z_slices, sample_width, tau, wavelength, w0, M2,
                 pulse_energy, num_x_pts, num_datasets):
        self.num_x_pts, self.num_datasets = num_x_pts, num_datasets
        self.scan_positions = [float(v) * 0.001 for v in x_mm]
        z_r = (w0 * w0 * PI) / (M2 * wavelength)
        self.optical_frequency = SPEED_OF_LIGHT / wavelength
        self.z_grid = linspace(0.0, sample_width, z_slices)
        self.t_grid = linspace(-0.5 * tau, 0.5 * tau, t_slices)
        # incident[k][i][j]: curve k, position i, time slice j.
        self.incident = [
            [
                [pulse_intensity(0.0, t, self.scan_positions[k * num_x_pts + i],
                                 float(pulse_energy[k]), tau, w0, z_r) for t in self.t_grid]
                for i in range(num_x_pts)
            ]
            for k in range(num_datasets)
        ]


def model_curve(p, setup, populations, k):
    """Normalised model transmittance of curve k."""
    c = model_context(p[:8], setup.optical_frequency)
    dt = setup.t_grid[1] - setup.t_grid[0]
    dz = setup.z_grid[1]
    raw_exit, raw_in = [], []
    for row in setup.incident[k]:
        slices = [[float(v) for v in populations[:5]] for _ in setup.z_grid]
        s_out = 0.0
        for i0 in row:
            intensity = i0
            for n, pops in enumerate(slices):
                slices[n] = population_step(c, pops, intensity, dt)
                intensity = intensity_step(c, intensity, slices[n], dz)
            s_out += intensity
        s_in = 0.0
        for i0 in row:
            s_in += i0
        raw_exit.append(s_out)
        raw_in.append(s_in)
    n = len(raw_exit)
    t = [raw_exit[i] / raw_in[i] for i in range(n)]
    baseline = (t[0] + t[1] + t[2] + t[3] + t[4] + t[n - 5] + t[n - 4] + t[n - 3] + t[n - 2]
                + t[n - 1]) * 0.1
    return [raw_exit[i] / raw_in[i] + (1.0 - baseline) for i in range(n)]


def model_curves(p, setup, populations):
    out = []
    for k in range(setup.num_datasets):
        out.extend(model_curve(p, setup, populations, k))
    return out


def point_weight(s):
    return 1.0 + 4.0 * math.exp(-(4.0 * (s * s)))


def _square(v):
    return v * v


def enorm(x):
    """MINPACK's ENORM: Euclidean norm with scaling against over- and underflow."""
    rdwarf, rgiant = 3.834e-20, 1.304e19
    s1 = s2 = s3 = x1max = x3max = 0.0
    agiant = rgiant / float(len(x))
    for v in x:
        xabs = abs(v)
        if rdwarf < xabs < agiant:
            s2 = s2 + _square(xabs)
        elif xabs <= rdwarf:
            if xabs > x3max:
                s3 = 1.0 + s3 * _square(x3max / xabs)
                x3max = xabs
            elif xabs != 0.0:
                s3 = s3 + _square(xabs / x3max)
        elif xabs > x1max:
            s1 = 1.0 + s1 * _square(x1max / xabs)
            x1max = xabs
        else:
            s1 = s1 + _square(xabs / x1max)
    if s1 != 0.0:
        return x1max * math.sqrt(s1 + (s2 / x1max) / x1max)
    if s2 != 0.0:
        if s2 >= x3max:
            return math.sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)))
        return math.sqrt(x3max * ((s2 / x3max) + (x3max * s3)))
    return x3max * math.sqrt(s3)


def fit_core(centered_x, y, populations, t_slices, z_slices, sample_width, tau, wavelength, w0,
             M2, pulse_energy, spec_pars, param_indices, num_x_pts, num_datasets):
    """One start: (residuals, error, fitted spec_pars, residual evaluations)."""
    setup = Setup(centered_x, t_slices, z_slices, sample_width, tau, wavelength, w0, M2,
                  pulse_energy, num_x_pts, num_datasets)
    y = [float(v) for v in y]
    base = [float(v) for v in spec_pars]
    sqrt_weights = [math.sqrt(point_weight(s)) for s in setup.scan_positions]

    def parameters(x):
        p = list(base[:8])
        for i, index in enumerate(param_indices):
            p[index - 1] = float(x[i])
        return p

    def weighted(x):
        model = model_curves(parameters(x), setup, populations)
        return [sqrt_weights[j] * (y[j] - model[j]) for j in range(len(y))]

    n = len(param_indices)
    x0 = [base[index - 1] for index in param_indices]
    x, _, info, _, _ = leastsq(weighted, x0, full_output=True, ftol=1.0e-3, xtol=1.0e-3,
                               gtol=0.0, maxfev=200 * (n + 1), epsfcn=0.0, factor=100)
    error = enorm([float(v) for v in info["fvec"]])
    fitted = list(base)
    for i, index in enumerate(param_indices):
        fitted[index - 1] = float(x[i])
    model = model_curves(fitted, setup, populations)
    residuals = [y[j] - model[j] for j in range(len(y))]
    return residuals, error, fitted, int(info["nfev"])


def start_multipliers(n_starts):
    divisor = float(max(n_starts - 1, 1))
    return [math.pow(10.0, (float(k) * 1.04) / divisor - 0.52) for k in range(n_starts)]


def fit_zscan(x_data, y_data, populations, t_slices, z_slices, sample_width, tau, wavelength,
              w0, M2, pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets,
              is_sa=False, n_starts=3):
    """The multi-start fit: (residuals, error, spec_pars) of the best start."""
    y = [float(v) for v in y_data]
    extreme = max(y) if is_sa else min(y)
    center = float(x_data[y.index(extreme)])
    centered = [float(v) - center for v in x_data]
    param_indices = [int(i) + 1 for i in fit_indices]
    best = None
    for m in start_multipliers(n_starts):
        start = [float(v) for v in spec_pars]
        for i in fit_indices:
            start[i] = m * float(spec_pars[i])
        result = fit_core(centered, y, populations, t_slices, z_slices, sample_width, tau,
                          wavelength, w0, M2, pulse_energy, start, param_indices, num_x_pts,
                          num_datasets)
        if best is None or result[1] < best[1]:
            best = result
    return best[0], best[1], best[2]
