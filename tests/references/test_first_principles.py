"""The first-principles reference (tests/references/first_principles.py) against closed forms:
Beer-Lambert at low energy, and the Frantz-Nodvik energy transmission of a
two-level absorber whose excited state outlives the pulse, locally and
integrated over the Gaussian beam. These fix its accuracy (about 1e-10 of the
transmittance) before the engine is judged against it."""

import math

import numpy as np
import pytest
from scipy.integrate import quad

from first_principles import LocalModel, depth_rule, energy_transmittance

H_NU_532 = 6.62607015e-34 * 299792458.0 / 532e-9
BEAM = dict(tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2)
# Two-level absorber: no excited absorption, every lifetime far beyond the pulse.
TWO_LEVEL = [1e-16, 0.0, 0.0, 1e3, 1e3, 1e3, 1e3, 1e3]


# Frantz-Nodvik local fluence transmission, no stimulated emission:
# T(F) = (F_s/F) ln(1 + T0 (exp(F/F_s) - 1)), written without overflow.
def frantz_nodvik(y, t0):
    if y < 1e-12:
        return t0
    return np.logaddexp(math.log1p(-t0), math.log(t0) + y) / y


# Its mean over a Gaussian beam of on-axis fluence F0 = y0 F_s: the energy
# transmittance is the mean of T over the fluence fraction v in (0, 1].
def frantz_nodvik_beam(y0, t0):
    value, _ = quad(lambda y: frantz_nodvik(y, t0), 0.0, y0, epsabs=1e-14, epsrel=1e-13,
                    limit=500)
    return value / y0


@pytest.mark.parametrize("nodes", [3, 6, 12])
def test_depth_rule_integrates_polynomials_exactly(nodes):
    L = 0.37
    z, S, w = depth_rule(nodes, L)
    for k in range(nodes):
        # integral_0^z t^k dt = z^(k+1)/(k+1): exact up to degree nodes - 1.
        np.testing.assert_allclose(S @ z**k, z ** (k + 1) / (k + 1), rtol=1e-12, atol=1e-15)
    # The whole-sample weights are exact up to degree 2 nodes - 1.
    assert w @ z ** (2 * nodes - 1) == pytest.approx(L ** (2 * nodes) / (2 * nodes), rel=1e-12)


@pytest.mark.parametrize("pars, populations, width", [
    ([4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12], [6e17, 0, 0, 0, 0], 0.1),
    # Excited level 4 populated and held (tau_41 long, nothing feeds it): it absorbs too.
    ([4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e3, 1e-12], [5e17, 0, 0, 2e16, 0], 0.5),
    (TWO_LEVEL, [3e17, 0, 0, 0, 0], 0.1),
])
def test_beer_lambert_at_low_energy(pars, populations, width):
    # alpha_0 counts every populated absorbing level.
    alpha0 = pars[0] * populations[0] + pars[1] * populations[1] + pars[2] * populations[3]
    T = energy_transmittance([-5.0, 0.0, 3.0], [1e-17], pars, populations, sample_width=width,
                             depth_nodes=4, **BEAM)
    np.testing.assert_allclose(T, math.exp(-alpha0 * width), rtol=1e-8)


@pytest.mark.parametrize("optical_depth, fluence_ratio", [(0.5, 0.3), (0.5, 30.0), (3.0, 5.0),
                                                          (3.0, 200.0)])
def test_local_transmittance_is_frantz_nodvik(optical_depth, fluence_ratio):
    N = optical_depth / (TWO_LEVEL[0] * 0.1)
    model = LocalModel(TWO_LEVEL, [N, 0, 0, 0, 0], 0.1, BEAM["tau"], BEAM["wavelength"],
                       depth_nodes=10)
    F_s = H_NU_532 / TWO_LEVEL[0]
    # Fluence of a pulse of peak intensity I: I sqrt(pi) tau.
    peak = fluence_ratio * F_s / (math.sqrt(math.pi) * BEAM["tau"])
    expected = frantz_nodvik(fluence_ratio, math.exp(-optical_depth))
    assert model.transmittance(peak) == pytest.approx(expected, rel=1e-9, abs=1e-11)


@pytest.mark.parametrize("optical_depth, energies", [(1.0, [2e-8, 5e-6]), (3.0, [1e-6, 5e-6])])
def test_energy_transmittance_is_frantz_nodvik_over_the_beam(optical_depth, energies):
    N = optical_depth / (TWO_LEVEL[0] * 0.1)
    positions = np.array([-8.0, -2.0, 0.0, 1.0, 6.0])
    T = energy_transmittance(positions, energies, TWO_LEVEL, [N, 0, 0, 0, 0], sample_width=0.1,
                             depth_nodes=10, **BEAM)
    F_s = H_NU_532 / TWO_LEVEL[0]
    z_R = math.pi * BEAM["w0"] ** 2 / (BEAM["M2"] * BEAM["wavelength"])
    w_cm = 100 * BEAM["w0"] * np.sqrt(1 + (positions * 1e-3 / z_R) ** 2)
    expected = np.array([[frantz_nodvik_beam(2 * E / (math.pi * w * w) / F_s,
                                             math.exp(-optical_depth)) for w in w_cm]
                         for E in energies])
    # A strongly saturated curve: the check is not a near-linear one.
    assert expected.max() - expected.min() > 0.3
    np.testing.assert_allclose(T, expected, rtol=0, atol=1e-9)
