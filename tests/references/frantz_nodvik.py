"""Open-aperture Z-scan of a saturable absorber in closed form, for the tests.

A ground-state absorber whose excited molecules neither absorb nor return
during the pulse (lifetime much longer than the pulse, no stimulated
emission) transmits the local fluence F as

    F_out = F_s ln(1 + T0 (exp(F / F_s) - 1)),   F_s = h nu / sigma_1,
    T0 = exp(-sigma_1 N L),

whatever the pulse shape and however thick the sample (Frantz and Nodvik).
A Gaussian beam of waist w carries F(r) = F0 exp(-2 r^2 / w^2), F0 = 2 E /
(pi w^2); with v = F / F0 the area element is proportional to dv / v, so the
transmitted over incident pulse energy is the integral over v in (0, 1] of
F_out(F0 v) / (F0 v). The beam radius at scan position z is w0 sqrt(1 +
(z / z_R)^2), z_R = pi w0^2 / (M2 wavelength). Nothing here comes from the
project's code.
"""

import math

import numpy as np
from scipy.integrate import quad

PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0


# Transmitted over incident fluence of one beam point with fluence `fluence` (J/cm^2).
def local_transmittance(fluence, saturation, small_signal):
    x = fluence / saturation
    if x < 1e-8:
        return small_signal
    # ln(1 + T0 (e^x - 1)) without overflow for large x.
    return (x + math.log(small_signal + (1.0 - small_signal) * math.exp(-x))) / x \
        if x > 30.0 else math.log1p(small_signal * math.expm1(x)) / x


# Energy transmittance (num_datasets, num_x_pts) of the absorber: positions in
# mm from the focus, energies in J, sigma_1 in cm^2, density in cm^-3,
# thickness in cm, wavelength and w0 in m.
def energy_transmittance(positions_mm, energies, *, sigma_1, density, thickness, wavelength, w0,
                         M2):
    saturation = PLANCK * SPEED_OF_LIGHT / wavelength / sigma_1
    small_signal = math.exp(-sigma_1 * density * thickness)
    z_r = math.pi * w0 * w0 / (M2 * wavelength)
    curves = []
    for energy in energies:
        row = []
        for z in np.asarray(positions_mm, dtype=np.float64) * 1e-3:
            w_cm = 100.0 * w0 * math.sqrt(1.0 + (z / z_r) ** 2)
            peak = 2.0 * energy / (math.pi * w_cm * w_cm)
            value, _ = quad(lambda v: local_transmittance(peak * v, saturation, small_signal),
                            0.0, 1.0, epsabs=1e-13, epsrel=1e-12, limit=200)
            row.append(value)
        curves.append(row)
    return np.array(curves)


# The same curves divided by the mean of their first and last `points` values.
def far_field_divided(curves, points=5):
    ends = np.concatenate([curves[:, :points], curves[:, -points:]], axis=1)
    return curves / ends.mean(axis=1, keepdims=True)
