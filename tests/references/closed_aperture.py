"""Independent references of the Z-scan's nonlinear absorption and refraction.

Written from the textbook physics of a thin sample, sharing nothing with the
exact engine (no slices, no peak-intensity interpolation, no Hankel
quadrature):

- open aperture, pure two-photon absorption, Gaussian pulse and beam: the
  exit intensity of a thin sample is I / (1 + q), q = beta I L_eff, so the
  energy transmittance at on-axis peak q0 is
  T = 1 / (sqrt(pi) q0) int ln(1 + q0 exp(-t^2)) dt = sum_m (-q0)^m / (m+1)^1.5
  (the series for q0 < 1);
- closed aperture, small Kerr phase, aperture S -> 0: the on-axis formula
  T = 1 + 4 x <dPhi0> / ((x^2 + 9)(x^2 + 1)), <dPhi0> = dPhi0 / sqrt(2) the
  phase averaged over a Gaussian pulse, and the empirical
  dT_pv ~ 0.406 (1 - S)^0.25 |<dPhi0>|;
- closed aperture with two-photon absorption, Kerr refraction and any S, by
  the Gaussian decomposition: with linear absorption alpha0 as well, the exit
  field of a thin sample is E exp(-alpha0 L / 2) (1 + q)^(i k n2 / beta - 1/2)
  (amplitude from dI/dz = -alpha0 I - beta I^2, phase k n2 times the path
  integral of I, ln(1 + q) / beta); the binomial series in q = q0 exp(-2 r^2 /
  w^2) is a sum of Gaussian beams, each transformed to the far field in closed
  form, and the far-field power is integrated over the aperture and the pulse
  by adaptive quadrature.

Conventions: positions z along the beam, x = z / z_R; the incident field at
the sample carries the curvature exp(i k r^2 / 2R) (diverging for z > 0); the
far-field angle is measured by psi = theta^2 / theta_0^2, theta_0 the linear
beam's divergence, and the aperture passes psi < psi_a = -ln(1 - S) / 2.
"""

import math

import numpy as np
from scipy import integrate


def tpa_open_transmittance(q0):
    """Open-aperture energy transmittance of a thin two-photon absorber, on-axis peak q0."""
    if q0 == 0.0:
        return 1.0
    value, _ = integrate.quad(lambda t: math.log1p(q0 * math.exp(-t * t)), -np.inf, np.inf,
                              epsabs=1e-15, epsrel=1e-13)
    return value / (math.sqrt(math.pi) * q0)


def tpa_open_series(q0, terms=400):
    """The same as the series sum_m (-q0)^m / (m + 1)^1.5 (q0 < 1)."""
    m = np.arange(terms)
    return float(np.sum((-q0) ** m / (m + 1.0) ** 1.5))


def kerr_on_axis(x, mean_phase):
    """Closed-aperture transmittance of a small Kerr phase, S -> 0."""
    x = np.asarray(x, dtype=float)
    return 1.0 + 4.0 * x * mean_phase / ((x * x + 9.0) * (x * x + 1.0))


def peak_valley(mean_phase, S):
    """The empirical peak-valley difference of a small Kerr phase."""
    return 0.406 * (1.0 - S) ** 0.25 * abs(mean_phase)


def _binomial_coefficients(a, terms):
    """Coefficients of (1 + q)^a (a complex) up to q^(terms - 1)."""
    c = np.empty(terms, dtype=complex)
    c[0] = 1.0
    for m in range(1, terms):
        c[m] = c[m - 1] * (a - (m - 1)) / m
    return c


def closed_transmittance(x, S, q0, kerr_per_beta=None, kerr_phase=None, terms=120):
    """Closed-aperture energy transmittance (over S times the linear one).

    q0: beta I0 L_eff at the focus of the on-axis peak intensity (at x it is
    q0 / (1 + x^2)); kerr_per_beta = k n2 / beta. Without two-photon
    absorption (q0 = 0) give kerr_phase = k n2 I0 L_eff at the focus instead.
    The linear absorption divides out.
    """
    psi_a = -0.5 * math.log1p(-S)
    spread = 1.0 + x * x
    m = np.arange(terms)
    if q0 > 0.0:
        coefficients = _binomial_coefficients(1j * kerr_per_beta - 0.5, terms)
        peak = q0 / spread
    else:
        # exp(i phi0 v) = sum (i phi0)^m v^m / m!
        peak = kerr_phase / spread
        coefficients = np.array([(1j) ** k / math.factorial(k) for k in range(terms)])

    def field(psi, q):
        # Term m: q^m exp(-u (1 + 2m - i x)); far field exp(-b^2/(4p)) / p with
        # b^2 = 4 (1 + x^2) psi.
        p = 1.0 + 2.0 * m - 1j * x
        return np.sum(coefficients * q ** m * np.exp(-spread * psi / p) / p)

    def aperture_power(q):
        value, _ = integrate.quad(lambda psi: abs(field(psi, q)) ** 2, 0.0, psi_a,
                                  epsabs=0.0, epsrel=1e-12, limit=200)
        return 2.0 * spread * value / S

    # Over the pulse exp(-t^2): the energy weights the power by the intensity.
    value, _ = integrate.quad(lambda t: math.exp(-t * t) * aperture_power(peak * math.exp(-t * t)),
                              -6.0, 6.0, epsabs=0.0, epsrel=1e-11, limit=200)
    return value / math.sqrt(math.pi)

