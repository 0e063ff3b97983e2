"""Answers that know their limits: one source for the table's relative errors
and the statuses, profiles that judge weakly determined parameters, profile
intervals of a single free parameter, and the misfit finding."""

import math
import warnings

import numpy as np
import pytest

import tarvo
from tarvo.files import percent_text
from tarvo.misfit import residual_structure
from tarvo.report import format_table, parameter_rows, table_uncertainty
from tarvo.profiles import _threshold, sigma_probability
from tarvo.result_files import _measurement
from tarvo.uncertainty import DETERMINED, WEAKLY_DETERMINED

from model_cases import BEAM, POPULATIONS, RSA_PARS

SETUP = dict(BEAM, populations=POPULATIONS, t_slices=4, z_slices=3, model="established",
             normalisation="shift")
ENERGIES = [5e-6, 1e-5, 2e-5]
POSITIONS = np.linspace(-30.0, 30.0, 25)


# Curves of the parameters with 0.5 % noise (seeded).
def noisy(pars=RSA_PARS, seed=4, **setup):
    y = tarvo.simulate(POSITIONS, ENERGIES, pars, engine="exact", **(setup or SETUP))
    return y * (1.0 + 0.005 * np.random.default_rng(seed).standard_normal(y.shape))


# A fit with the named parameters free from 1.5 times their values.
def fit(names, y, **options):
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=names)
    for name in names:
        params[name].set(value=1.5 * params[name].value)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return tarvo.fit(POSITIONS, y, ENERGIES, params, **{**SETUP, **options})


@pytest.mark.parametrize("relative, text", [
    (0.0123, "1.2 %"), (0.35, "35 %"), (10.0, "1000 %"), (41.85, "> 1000 %"),
    (6.5e28, "> 1000 %"), (math.inf, "inf")])
def test_relative_errors_print_up_to_1000_percent(relative, text):
    assert percent_text(relative) == text


def test_the_table_and_the_verdict_read_the_same_numbers(exact_engine):
    # sigma_2 and sigma_4 nearly interchangeable: sigma_2's linearised error
    # exceeds its value; its profile judges it, and the table says so.
    result = fit(["sigma_2", "sigma_4"], noisy())
    found = result.identifiability
    assert found.method_of("sigma_2") == "profile"
    measurement = _measurement(result)
    uncertainty = table_uncertainty(measurement, result)
    rows = {row["name"]: row for row in parameter_rows(measurement, result, uncertainty,
                                                       identifiability=found)}
    table = format_table(list(rows.values())).splitlines()
    for name in result.var_names:
        row = rows[name]
        assert (row["relative_error"], row["status"]) == (found.errors[name], found.status[name])
        line = next(line for line in table if line.startswith(name))
        assert found.error_text(name) in line and found.status[name] in line
        # The standard error printed beside them is the one they come from.
        relative = found.errors[name]
        shown = relative * abs(result.values[name]) if math.isfinite(relative) and \
            found.method_of(name) == "profile" else result.params[name].stderr
        assert f"{shown:.2e}" in line.split()
        # The status follows from the printed error by the same limits.
        relative = found.errors[name]
        if found.status[name] == "determined":
            assert relative <= DETERMINED
        elif found.status[name] == "weakly determined":
            assert DETERMINED < relative <= WEAKLY_DETERMINED
        else:
            assert relative > WEAKLY_DETERMINED
    # Linearised where the linearised error says determined: the table's
    # relative error is the standard error over the value.
    assert found.method_of("sigma_4") == "linearised"
    assert rows["sigma_4"]["relative_error"] == pytest.approx(
        result.params["sigma_4"].stderr / result.values["sigma_4"], rel=1e-12)
    # sigma_2's profile reaches 0 below (its range ends there) and a bound above.
    low, high = found.intervals["sigma_2"]
    assert found.status["sigma_2"] == "bounded on one side"
    assert low is None and high > result.values["sigma_2"]


def test_profile_intervals_of_a_single_free_parameter(exact_engine):
    # One parameter fitted, the focus held: the profile has nothing to refit.
    result = fit(["sigma_4"], noisy())
    intervals = result.conf_interval(sigmas=(1, 2))["sigma_4"]
    (_, low2), (_, low1), (_, best), (_, high1), (_, high2) = intervals
    assert low2 < low1 < best < high1 < high2
    error = result.params["sigma_4"].stderr
    assert (high1 - low1) / (2 * error) == pytest.approx(1.0, abs=0.05)
    # At an end the chi^2 of the model (equal weights) sits on the threshold.
    pars = list(RSA_PARS)
    pars[2] = high1
    model = tarvo.simulate(POSITIONS - result.focus, ENERGIES, pars, engine="exact", **SETUP)
    threshold = _threshold(result, sigma_probability(1))
    assert np.sum((result.data - model) ** 2) == pytest.approx(threshold, rel=1e-6)


@pytest.mark.parametrize("normalisation, noise, misfit", [
    ("shift", 0.0, True),           # far-field-divided curves fitted as shifted ones
    ("far-field", 0.0, False),      # the right model, noise-free: rounding is no misfit
    ("far-field", 0.005, False),    # the right model with noise
])
def test_a_model_that_does_not_fit_is_flagged(exact_engine, normalisation, noise, misfit):
    setup = dict(SETUP, normalisation="far-field")
    y = tarvo.simulate(POSITIONS, ENERGIES, RSA_PARS, engine="exact", **setup)
    y = y * (1.0 + noise * np.random.default_rng(1).standard_normal(y.shape))
    result = fit(["sigma_4"], y, normalisation=normalisation)
    found = [f for f in result.findings if f.check == "misfit"]
    assert bool(found) == misfit
    if misfit:
        assert found[0].message.startswith("the model does not describe the data")
        message = found[0].message.split("Likely causes, in order:")[1]
        causes = ["normalisation", "the model", "the focus", "set-up units"]
        assert [message.index(cause) for cause in causes] == sorted(
            message.index(cause) for cause in causes)
        with pytest.raises(ValueError, match="the model does not describe the data"):
            fit(["sigma_4"], y, normalisation=normalisation, checks="error")


def test_white_residuals_have_no_structure_and_a_smooth_curve_has():
    x = np.linspace(-1.0, 1.0, 201)[None, :].repeat(3, axis=0)
    white = residual_structure(x, 1e-3 * np.random.default_rng(0).standard_normal(x.shape))
    assert abs(white.serial_z) < 3.0 and not white.misfit
    smooth = residual_structure(x, 1e-3 * np.cos(3 * x))
    assert smooth.serial_z > 10.0 and smooth.structured_rms > 5e-4 and smooth.misfit
    # Tiny systematic residuals (rounding, a fine grid's error) are no misfit.
    assert not residual_structure(x, 1e-9 * np.cos(3 * x)).misfit


def test_a_grid_too_coarse_for_a_weak_parameter_is_refined(exact_engine):
    # A triplet filled over 1 ms: sigma_4 moves the curves by about 1e-6, below
    # the default grid's own error. Clean data from a fine grid.
    pars = list(RSA_PARS)
    pars[4] = 1e-3
    x = np.linspace(-30.0, 30.0, 61)
    setup = dict(BEAM, populations=POPULATIONS)
    y = tarvo.simulate(x, ENERGIES, pars, t_slices=256, z_slices=16, radial_points=18,
                       intensity_points=16, **setup)
    params = tarvo.Parameters.from_spec_pars(pars, vary=["sigma_4"])
    results = {}
    for check in (False, True):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            results[check] = tarvo.fit(x, y, ENERGIES, params, model_error=check, **setup)
    # Unchecked, the default grid puts sigma_4 many standard errors off.
    deviation = {check: (r.values["sigma_4"] - pars[2]) / r.params["sigma_4"].stderr
                 for check, r in results.items()}
    assert abs(deviation[False]) > 20
    checked = results[True]
    assert abs(deviation[True]) < 1.0
    record = checked.model_error
    assert record.refinements >= 1 and checked.grid["t_slices"] > 32
    first = record.history[0]["shift_per_count"]
    assert first["t_slices"] > first["radial_points"]
    # What is left of the model error is in the standard error, and said.
    if not record.within_limit:
        assert checked.params["sigma_4"].stderr >= 2 * record.shifts["sigma_4"]
        assert any("too coarse for these data" in note for note in checked.notes)


def test_a_grid_the_caller_chose_is_kept_and_the_default_path_unchanged(exact_engine):
    # Noisy data on a fine enough grid: one extra evaluation, the same values.
    y = noisy()
    plain = fit(["sigma_4"], y, model_error=False)
    checked = fit(["sigma_4"], y)
    assert checked.values == plain.values and checked.stderr == plain.stderr
    record = checked.model_error
    assert record.refinements == 0 and record.grid_given and checked.grid == plain.grid
    # This small grid is too coarse for 0.5 % noise: said, not hidden.
    assert not record.within_limit and record.shifts["sigma_4"] > 0.2 * plain.stderr["sigma_4"]
    assert any("the chosen grid was kept" in note for note in checked.notes)


def test_a_default_grid_left_too_coarse_widens_every_error_that_is_read(exact_engine,
                                                                        monkeypatch):
    # Curves from a fine grid fitted on the default grid, no refinement
    # allowed: twice the grid's shift enters the covariance in quadrature, and
    # the parameters, the identifiability and the error budget all read the
    # widened errors.
    monkeypatch.setattr(tarvo.model_error, "MAX_REFINEMENTS", 0)
    y = tarvo.simulate(POSITIONS, ENERGIES, RSA_PARS, engine="exact",
                       **dict(SETUP, t_slices=64, z_slices=8))
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=["sigma_1", "sigma_4"])
    params.add("ratio", expr="sigma_4 / sigma_1")
    plain, checked = (tarvo.fit(POSITIONS, y, ENERGIES, params, model_error=check, checks="off",
                                identifiability="linearised", uncertainties={"w0": 0.05},
                                **dict(SETUP, t_slices=None, z_slices=None))
                      for check in (False, True))
    record = checked.model_error
    assert not record.within_limit and not record.grid_given and record.refinements == 0
    assert checked.values == plain.values
    assert any("include the model error (2 times that shift)" in note for note in checked.notes)
    names = checked.var_names
    shifts = np.array([record.shifts[name] for name in names])
    np.testing.assert_array_equal(checked.covar, plain.covar + np.diag((2.0 * shifts) ** 2))
    errors = np.sqrt(np.diag(checked.covar))
    np.testing.assert_array_equal(checked.correlation, checked.covar / np.outer(errors, errors))
    for k, name in enumerate(names):
        parameter = checked.params[name]
        assert parameter.stderr == errors[k] > plain.params[name].stderr
        assert parameter.correl == {other: checked.correlation[k, j]
                                    for j, other in enumerate(names) if j != k}
        assert checked.identifiability.errors[name] == pytest.approx(
            parameter.stderr / parameter.value, rel=1e-12)
        assert checked.budget.statistical[name] == parameter.stderr
    # A derived parameter's error propagates the same widened covariance.
    gradient = np.array([-checked.values["ratio"] / checked.values["sigma_1"],
                         1.0 / checked.values["sigma_1"]])
    assert checked.params["ratio"].stderr == pytest.approx(
        math.sqrt(gradient @ checked.covar @ gradient), rel=1e-4)
    assert checked.params["ratio"].stderr > 2.0 * plain.params["ratio"].stderr
