"""The resolution rule of the energy model (tarvo.engine) against the
first-principles reference: its choice keeps the model within 1e-4 of the
nonlinear change of the curves on thick and strongly saturated samples, where
a thin-sample grid does not."""

import math

import numpy as np
import pytest

from first_principles import energy_transmittance
from tarvo import _native
from tarvo.engine import energy_resolution, optical_depth, saturation

BEAM = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2)
RSA = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
SA = [1e-16, 2e-18, 0.0, 1e-6, 1e-3, 1e-12, 1e-6, 1e-12]
# Far field on both sides and the focus region (z_R = 2 mm).
POSITIONS = np.array([-15.0, -1.5, -0.5, 0.0, 0.5, 1.0, 2.0, 15.0])


def rule(pars, populations, energies):
    return energy_resolution(pars, populations, BEAM["sample_width"], energies, BEAM["w0"],
                             BEAM["M2"], BEAM["wavelength"], BEAM["tau"])


def engine_error(pars, populations, energies, grid, reference):
    x = np.vstack([POSITIONS] * len(energies))
    curves, _ = _native.exact_model(x, energies, populations, pars, variant="energy",
                                    normalise=False, **grid, **BEAM)
    return np.abs(np.asarray(curves) - reference).max() / (reference.max() - reference.min())


# case: reverse saturable absorber at optical depth 3; saturable absorber at
# optical depth 3, peak fluence 200 saturation fluences. The coarse grid is the
# thin-sample resolution that the case defeats.
@pytest.mark.parametrize("pars, populations, energies, coarse", [
    (RSA, [7.5e18, 0, 0, 0, 0], [5e-6, 2e-5],
     dict(t_slices=32, z_slices=2, radial_points=12, intensity_points=20)),
    (SA, [3e17, 0, 0, 0, 0], [1e-6, 5e-6],
     dict(t_slices=32, z_slices=2, radial_points=12, intensity_points=20)),
], ids=["RSA optical depth 3", "SA optical depth 3"])
def test_rule_keeps_error_below_1e4_of_the_change(pars, populations, energies, coarse):
    # Reference error ~1e-6 of the change (12 depth nodes, interpolation to 1e-7).
    reference = energy_transmittance(POSITIONS, energies, pars, populations, depth_nodes=12,
                                     interpolation_tolerance=1e-7, **BEAM)
    assert reference.max() - reference.min() > 0.03
    assert engine_error(pars, populations, energies, coarse, reference) > 1e-4
    assert engine_error(pars, populations, energies, rule(pars, populations, energies),
                        reference) < 1e-4


def test_optical_depth_counts_every_absorbing_level():
    pars = [1e-17, 2e-17, 3e-17, 1e-9, 1e-9, 1e-9, 1e-9, 1e-9]
    # Levels 3 and 5 do not absorb.
    assert optical_depth(pars, [1e17, 2e16, 5e18, 3e16, 7e18], 0.2) == pytest.approx(
        0.2 * (1e-17 * 1e17 + 2e-17 * 2e16 + 3e-17 * 3e16), rel=1e-14)


def test_saturation_is_peak_fluence_over_saturation_fluence():
    # F0 = 2E / (pi w0^2), F_s = h c / (lambda sigma_1).
    F0 = 2 * 5e-6 / (math.pi * (20e-4) ** 2)
    F_s = 6.62607015e-34 * 299792458.0 / 532e-9 / 1e-16
    assert saturation(SA, [1e-6, 5e-6], 20e-6, 532e-9) == pytest.approx(F0 / F_s, rel=1e-12)


@pytest.mark.parametrize("pars", [RSA, SA], ids=["RSA", "SA"])
def test_resolution_never_drops_as_the_sample_thickens_or_the_pulse_grows(pars):
    previous = None
    for depth, energy in [(0.1, 1e-8), (0.5, 1e-7), (1.0, 1e-6), (2.0, 1e-5), (3.0, 1e-4)]:
        choice = rule(pars, [depth / (pars[0] * 0.1), 0, 0, 0, 0], [energy])
        if previous is not None:
            assert all(choice[k] >= previous[k] for k in choice), (previous, choice)
        previous = choice
    # From a thin, weakly excited sample to a thick, saturated one the counts grow.
    assert previous["z_slices"] >= 5 and previous["radial_points"] > 12


def test_counts_are_valid_engine_settings():
    choice = rule(SA, [1e18, 0, 0, 0, 0], [1.0])  # optical depth 10, S 1e8
    assert set(choice) == {"t_slices", "z_slices", "radial_points", "intensity_points"}
    assert all(isinstance(v, int) for v in choice.values())
    assert 2 <= choice["z_slices"] and choice["radial_points"] <= 64
    assert choice["intensity_points"] <= 64


@pytest.mark.parametrize("change, message", [
    (dict(spec_pars=[1e-17] * 7), "spec_pars must be 8 finite numbers"),
    (dict(spec_pars=[1e-17, float("nan")] + [1e-9] * 6), "spec_pars must be 8 finite numbers"),
    (dict(spec_pars=[-1e-17, 0, 0] + [1e-9] * 5), "cross-sections must be at least 0"),
    (dict(populations=[1e17, 0, 0, 0]), "populations must be 5 finite numbers"),
    (dict(populations=[1e17, -1, 0, 0, 0]), "populations must be at least 0"),
    (dict(sample_width=-0.1), "sample_width must be a finite number of at least 0"),
    (dict(pulse_energies=[]), "pulse_energies must be one or more positive finite numbers"),
    (dict(pulse_energies=[1e-6, 0.0]), "pulse_energies must be one or more positive"),
    (dict(w0=0.0), "w0 must be a positive finite number"),
    (dict(wavelength=float("inf")), "wavelength must be a positive finite number"),
    (dict(M2="two"), "M2 must be a positive number"),
    (dict(tau=-4e-9), "tau must be a positive finite number"),
])
def test_bad_input_is_named(change, message):
    arguments = dict(spec_pars=RSA, populations=[6e17, 0, 0, 0, 0], sample_width=0.1,
                     pulse_energies=[5e-6], w0=20e-6, M2=1.2, wavelength=532e-9, tau=4e-9)
    arguments.update(change)
    with pytest.raises(ValueError, match=message):
        energy_resolution(**arguments)


# Far field (five points on each side) and the focus region.
FIT_POSITIONS = np.array([-30.0, -27.0, -24.0, -21.0, -18.0, -3.0, -1.5, -0.7, 0.0, 0.7, 1.5,
                          3.0, 18.0, 21.0, 24.0, 27.0, 30.0])


# case: RSA thin, RSA at optical depth 3, saturable absorber at optical depth 3.
@pytest.mark.parametrize("pars, populations, energies, fitted, is_sa", [
    (RSA, [6e17, 0, 0, 0, 0], [5e-6, 2e-5], "sigma_4", False),
    (RSA, [7.5e18, 0, 0, 0, 0], [5e-6, 2e-5], "sigma_4", False),
    (SA, [3e17, 0, 0, 0, 0], [1e-6, 5e-6], "sigma_1", True),
], ids=["RSA thin", "RSA optical depth 3", "SA optical depth 3"])
def test_default_fit_of_far_field_divided_reference_curves(pars, populations, energies, fitted,
                                                           is_sa):
    import tarvo

    absolute = energy_transmittance(FIT_POSITIONS, energies, pars, populations, depth_nodes=12,
                                    interpolation_tolerance=1e-7, **BEAM)
    ends = np.concatenate([absolute[:, :5], absolute[:, -5:]], axis=1)
    y = absolute / ends.mean(axis=1, keepdims=True)
    index = ("sigma_1", "sigma_2", "sigma_4").index(fitted)
    params = tarvo.Parameters.from_spec_pars(pars, vary=[fitted])
    params[fitted].set(value=1.5 * pars[index])
    result = tarvo.fit(FIT_POSITIONS, y, energies, params, populations=populations,
                       is_sa=is_sa, checks="off", **BEAM)
    assert abs(result.values[fitted] / pars[index] - 1.0) < 2e-3
