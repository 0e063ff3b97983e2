"""tarvo.fit on the exact engine: recovery of known parameters, bounds, weights,
convergence flag, profile intervals, bad input. Most tests fit fit_zscan's
model (established, shifted to its baseline) on a small grid, where the
reference engine is fast."""

import inspect
import math

import numpy as np
import pytest

import tarvo
from tarvo.profiles import sigma_probability

from model_cases import BEAM, POPULATIONS, RSA_PARS

# A small grid keeps the tests fast on the reference engine; fit_zscan's model
# and its normalisation.
SETUP = dict(BEAM, populations=POPULATIONS, t_slices=4, z_slices=3, model="established",
             normalisation="shift")
ENERGIES = [5e-6, 1e-5, 2e-5]
POSITIONS = np.linspace(-30.0, 30.0, 25)


# Exact-model curves of the parameters (the fits' model), for the focus at `focus` mm.
def exact_curves(pars, focus=0.0):
    return tarvo.simulate(POSITIONS - focus, ENERGIES, pars, engine="exact", **SETUP)


# The parameters of RSA_PARS with the named ones fitted from `factor` times their values.
def start_params(names, factor=1.5):
    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=names)
    for name in names:
        params[name].set(value=params[name].value * factor)
    return params


# Noisy curves, 0.5 % of the transmittance, from a fixed seed.
def noisy(curves, seed=11, level=0.005):
    return curves * (1.0 + level * np.random.default_rng(seed).standard_normal(curves.shape))


def test_noise_free_data_return_the_true_values(exact_engine):
    y = exact_curves(RSA_PARS, focus=0.8)
    params = start_params(["sigma_2", "sigma_4", "tau_24"])
    params.add("focus", None, vary=True)
    result = tarvo.fit(POSITIONS, y, ENERGIES, params, **SETUP)
    assert result.success and result.message.startswith("converged")
    for index, name in ((1, "sigma_2"), (2, "sigma_4"), (4, "tau_24")):
        assert abs(result.values[name] / RSA_PARS[index] - 1.0) < 1e-8, name
    assert abs(result.focus - 0.8) < 1e-8
    # The focus starts at the data's extreme, as fit_zscan centres the scan.
    assert result.params["focus"].init_value == POSITIONS[np.argmin(y) % POSITIONS.size]
    assert np.abs(result.residuals).max() < 1e-11
    assert result.nfev < 60


def test_fit_matches_simulate_at_its_values_and_reports_its_statistics(exact_engine):
    y = noisy(exact_curves(RSA_PARS))
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_1", "sigma_4"]),
                       weights="established", **SETUP)
    model = tarvo.simulate(POSITIONS - result.focus, ENERGIES, result.spec_pars, engine="exact",
                           **SETUP)
    assert np.array_equal(result.best_fit, model)
    assert np.array_equal(result.residuals, y - model)
    # fit_zscan's weights: 1 + 4 exp(-4 s^2), s in metres from the data's extreme.
    s = (POSITIONS - result.centre) * 1e-3
    weights = 1.0 + 4.0 * np.exp(-4.0 * s * s)
    chi2 = float(np.sum(weights * (y - model) ** 2))
    assert result.chisqr == pytest.approx(chi2, rel=1e-12)
    n, k = y.size, 2
    assert result.aic == pytest.approx(n * math.log(chi2 / n) + 2 * k, rel=1e-12)
    assert result.bic == pytest.approx(n * math.log(chi2 / n) + math.log(n) * k, rel=1e-12)
    assert result.redchi == pytest.approx(chi2 / (n - k), rel=1e-12)
    # At the optimum the weighted residuals are orthogonal to the model's slopes.
    gradient = result._problem.physical_jacobian(result._u).T @ result.residual
    scale = np.linalg.norm(result._problem.physical_jacobian(result._u), axis=0)
    assert np.all(np.abs(gradient / scale) < 1e-8 * np.linalg.norm(result.residual))
    # Truth within three standard errors.
    for index, name in ((0, "sigma_1"), (2, "sigma_4")):
        assert abs(result.values[name] - RSA_PARS[index]) < 3 * result.params[name].stderr
    report = result.fit_report()
    for text in ("[[Fit Statistics]]", "engine             = exact", "[[Variables]]",
                 "sigma_1:", "(fixed)", "C(sigma_1, sigma_4)"):
        assert text in report
    html = result._repr_html_()
    assert "<table>" in html and "sigma_4" in html


def test_data_uncertainties_weight_the_fit_and_scale_the_errors(exact_engine):
    clean = exact_curves(RSA_PARS)
    y = noisy(clean)
    params = start_params(["sigma_1", "sigma_4"])
    sigma = 0.005 * clean
    one = tarvo.fit(POSITIONS, y, ENERGIES, params, sigma=sigma, **SETUP)
    two = tarvo.fit(POSITIONS, y, ENERGIES, params, sigma=2 * sigma, **SETUP)
    assert one.weighting.startswith("1/sigma^2") and not one.scale_covar
    # Scaling every sigma: the same optimum, errors in proportion, chi^2 in units of sigma.
    for name in one.var_names:
        assert two.values[name] == pytest.approx(one.values[name], rel=1e-9, abs=0)
        assert two.params[name].stderr == pytest.approx(2 * one.params[name].stderr, rel=1e-6, abs=0)
    assert two.chisqr == pytest.approx(one.chisqr / 4, rel=1e-9)
    # The noise is what sigma says: chi^2 per degree of freedom near 1.
    assert 0.6 < one.redchi < 1.4
    # A point with a huge sigma stops counting.
    sigma_out, y_out = sigma.copy(), y.copy()
    y_out[1, 12] += 0.2
    sigma_out[1, 12] = 1e6
    robust = tarvo.fit(POSITIONS, y_out, ENERGIES, params, sigma=sigma_out, **SETUP)
    ignored = tarvo.fit(POSITIONS, y, ENERGIES, params, sigma=sigma_out, **SETUP)
    for name in one.var_names:
        assert robust.values[name] == pytest.approx(ignored.values[name], rel=1e-6, abs=0)


def test_bounds_are_honoured(exact_engine):
    y = exact_curves(RSA_PARS)
    params = start_params(["sigma_2", "sigma_4"], factor=0.8)
    params["sigma_4"].set(max=5e-17)          # below the true 6e-17
    params["sigma_2"].set(min=1e-17, max=1e-16)
    with pytest.warns(tarvo.PlausibilityWarning, match="sigma_4 ended at its upper bound"):
        result = tarvo.fit(POSITIONS, y, ENERGIES, params, **SETUP)
    # Held below the truth of noise-free curves, the model cannot fit them: a misfit too.
    assert [f.check for f in result.findings] == ["at-bound", "misfit"]
    assert result.values["sigma_4"] <= 5e-17
    assert result.values["sigma_4"] == pytest.approx(5e-17, rel=1e-9, abs=0)
    assert 1e-17 <= result.values["sigma_2"] <= 1e-16
    assert any("sigma_4 ended at its upper bound" in note for note in result.notes)
    assert result.params["sigma_4"].max == 5e-17


def test_a_fit_that_stops_early_says_so(exact_engine):
    y = noisy(exact_curves(RSA_PARS))
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_2", "sigma_4"], 3.0),
                       max_nfev=2, **SETUP)
    assert not result.success
    assert result.message.startswith("not converged: the solver stopped after 2 evaluations")
    assert "converged          = False" in result.fit_report()


def test_multi_start_keeps_the_best_start(exact_engine):
    y = noisy(exact_curves(RSA_PARS))
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_1", "sigma_2"]),
                       n_starts=3, **SETUP)
    assert result.n_starts == 3 and len(result.start_costs) == 3
    assert result.chisqr == pytest.approx(min(result.start_costs), rel=1e-12)


def test_profile_intervals_of_a_correlated_pair(exact_engine):
    y = noisy(exact_curves(RSA_PARS), seed=4)
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_4", "tau_24"]), **SETUP)
    assert abs(result.correlation[0, 1]) > 0.98
    intervals = result.conf_interval(sigmas=(1, 2))
    p1, p2 = sigma_probability(1), sigma_probability(2)
    for name in ("sigma_4", "tau_24"):
        (q2, lo2), (q1, lo1), (q0, best), (r1, hi1), (r2, hi2) = intervals[name]
        assert (q2, q1, q0, r1, r2) == (p2, p1, 0.0, p1, p2)
        assert lo2 < lo1 < best < hi1 < hi2
        assert best == result.values[name]
        # Nearly linear here: the 1-sigma profile interval is close to +- one standard error
        # (which includes the correlation), not the far narrower conditional interval.
        error = result.params[name].stderr
        assert (hi1 - lo1) / (2 * error) == pytest.approx(1.0, abs=0.1)
        assert 1.8 < (hi2 - lo2) / (hi1 - lo1) < 2.5
    # At an interval end the refitted chi^2 sits on the F-test threshold.
    from scipy.stats import f

    problem = result._problem
    u = result._u.copy()
    u[0] = math.log(intervals["sigma_4"][3][1] / problem.reference[0])
    _, solution = problem.solve(u, np.array([False, True]), 1e-12, 1e-12, 1e-12, 200)
    threshold = result.chisqr * (1 + f.ppf(p1, 1, result.nfree) / result.nfree)
    assert 2 * solution.cost == pytest.approx(threshold, rel=1e-4)


def test_profile_interval_of_a_poorly_determined_parameter_stays_physical(exact_engine):
    # sigma_2 and sigma_4 nearly interchangeable: sigma_2 +- one standard error reaches
    # below zero; its profile interval ends at zero, the end of its range.
    y = noisy(exact_curves(RSA_PARS), seed=4)
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_2", "sigma_4"]), **SETUP)
    value, error = result.values["sigma_2"], result.params["sigma_2"].stderr
    assert value - error < 0.0
    ends = [v for _, v in result.conf_interval(["sigma_2"], sigmas=(1,))["sigma_2"]]
    assert ends[0] == 0.0 and ends[1] == value and ends[2] > value + 0.5 * error


def test_the_figure_draws_the_fitted_curves(exact_engine, tmp_path):
    y = noisy(exact_curves(RSA_PARS))
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_4"]), **SETUP)
    figure = result.plot(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").stat().st_size > 10_000
    # The dense model line passes through the fitted model at every data point.
    for k in range(len(ENERGIES)):
        line, values = result.model_line(k)
        at_data = values[np.searchsorted(line, POSITIONS)]
        assert np.abs(at_data - result.best_fit[k]).max() < 1e-13
    assert len(figure.axes) == 2


@pytest.mark.parametrize("change, message", [
    (dict(transmittance="nan"), "transmittance must be finite: curve 1 point 3 is nan"),
    (dict(tau_21=0.0), "tau_21 must be positive (a time constant in s), got 0.0"),
    (dict(min=-1e-18), "sigma_2: min must be at least 0 (a cross-section in cm^2 is positive), "
                       "got -1e-18"),
    (dict(sigma=-1.0), "sigma must be positive: curve 0 point 0 is -1.0"),
    (dict(value=1e-15), "sigma_2: start value 1e-15 lies outside its bounds"),
    (dict(pulse_energy=[5e-6, 0.0, 2e-5]), "pulse_energy of curve 1 must be positive (J)"),
    (dict(no_vary=True), "no parameter varies"),
    (dict(model="onaxis"), "model must be one of 'energy', 'established', got 'onaxis'"),
    (dict(n_starts=0), "n_starts must be an integer of at least 1, got 0"),
    # Set-up values checked as setup.toml's are (on main both were accepted).
    (dict(setup=dict(sample_width=0.0)), "sample_width must be a positive finite number, got "
                                         "0.0"),
    (dict(setup=dict(tau=float("inf"))), "tau must be a positive finite number, got inf"),
    (dict(setup=dict(populations=[1e17, 0, 0])), "populations must be five finite numbers of "
                                                 "at least 0, not all 0"),
    (dict(setup=dict(is_sa="yes")), "is_sa must be True or False, got 'yes'"),
])
def test_bad_input_gives_a_clear_error(exact_engine, change, message):
    y = exact_curves(RSA_PARS)
    params = start_params(["sigma_2"])
    params["sigma_2"].set(max=1e-16)
    kwargs = dict(SETUP)
    energies = change.get("pulse_energy", ENERGIES)
    sigma = None
    if change.get("transmittance") == "nan":
        y[1, 3] = np.nan
    if "tau_21" in change:
        params["tau_21"].set(value=0.0)
    if "min" in change:
        params["sigma_2"].set(min=change["min"])
    if "value" in change:
        params["sigma_2"].set(value=change["value"])
    if "sigma" in change:
        sigma = np.full_like(y, change["sigma"])
    if "no_vary" in change:
        params["sigma_2"].set(vary=False)
    if "model" in change:
        kwargs["model"] = change["model"]
    kwargs.update(change.get("setup", {}))
    n_starts = change.get("n_starts", 1)
    with pytest.raises(tarvo.InputError) as error:
        tarvo.fit(POSITIONS, y, energies, params, sigma=sigma, n_starts=n_starts, **kwargs)
    assert message in str(error.value)


# The same fit from curve and set-up objects as from arrays and keywords, to
# the bit, curves of different lengths and with sigma included.
def test_curves_and_a_set_up_given_as_objects_fit_as_the_arrays(exact_engine):
    y = noisy(exact_curves(RSA_PARS))
    rows = [POSITIONS, POSITIONS[2:], POSITIONS[:-3]]
    data = [y[0], y[1, 2:], y[2, :-3]]
    sigma = [np.full(row.size, 0.005) for row in rows]
    grid = {key: SETUP[key] for key in ("t_slices", "z_slices", "model", "normalisation")}
    setup = tarvo.Setup.of(POPULATIONS, **BEAM)
    # (Plain lists are numbers too.)
    curves = [tarvo.Curve(f"c{k}", energy, list(x), values, s)
              for k, (energy, x, values, s) in enumerate(zip(ENERGIES, rows, data, sigma))]
    params = start_params(["sigma_1", "sigma_4"])
    grid["checks"] = "off"     # the shorter curves' far fields are not the full curves'
    from_arrays = tarvo.fit(rows, data, ENERGIES, params, sigma=sigma, **SETUP, checks="off")
    for from_objects in (tarvo.fit(curves, params, setup=setup, **grid),
                         tarvo.fit(curves, params=params, populations=POPULATIONS, **BEAM,
                                   **grid)):
        assert from_objects.values == from_arrays.values
        assert from_objects.stderr == from_arrays.stderr
        assert from_objects.chisqr == from_arrays.chisqr
        assert from_objects.setup == setup
    mixed = curves[:2] + [tarvo.Curve("c2", ENERGIES[2], rows[2], data[2])]
    for call, message in [
            (lambda: tarvo.fit(curves, params, setup=setup, w0=2e-5),
             "the set-up is given twice: setup and w0"),
            (lambda: tarvo.fit(curves, params, setup=dict(BEAM)),
             "setup must be a tarvo.Setup, got dict"),
            (lambda: tarvo.fit(curves, params, setup=setup, sigma=sigma),
             "sigma: each tarvo.Curve carries its own"),
            (lambda: tarvo.fit(mixed, params, setup=setup),
             "sigma: give it for every curve or for none"),
            (lambda: tarvo.fit(POSITIONS, y, ENERGIES, params, populations=POPULATIONS),
             "sample_width must be a positive finite number, got None")]:
        with pytest.raises(tarvo.InputError, match=message):
            call()


def test_energy_model_fit_recovers_the_truth_from_its_own_data(exact_engine):
    grid = dict(t_slices=8, z_slices=3, radial_points=3, intensity_points=6)
    setup = dict(BEAM, populations=POPULATIONS, **grid)
    y = tarvo.simulate(POSITIONS, ENERGIES, RSA_PARS, **setup)
    # The defaults: the energy model, divided by the mean of the first and last five points.
    ends = np.concatenate([y[:, :5], y[:, -5:]], axis=1)
    assert np.allclose(ends.mean(axis=1), 1.0, atol=1e-14)
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_2", "sigma_4"]), **setup)
    assert result.success and result.model == "energy"
    assert result.grid == dict(grid)
    for index, name in ((1, "sigma_2"), (2, "sigma_4")):
        assert abs(result.values[name] / RSA_PARS[index] - 1.0) < 1e-8, name
    # The established model reads the same curves as different cross-sections.
    established = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_2", "sigma_4"]),
                            checks="off", **SETUP)
    assert abs(established.values["sigma_4"] / RSA_PARS[2] - 1.0) > 0.05


# The keywords tarvo.fit and tarvo.simulate have always taken besides their
# data, set-up and engine: their options now, each documented by help().
FIT_OPTIONS = {
    "model", "normalisation", "far_field_points", "t_slices", "z_slices", "radial_points",
    "intensity_points", "sigma", "weights", "is_sa", "vary", "n_starts", "scale_covar", "checks",
    "ftol", "xtol", "gtol", "max_nfev", "progress", "rel_step", "solver_log", "uncertainties",
    "identifiability", "model_error", "aperture", "divided_by_open"}
SIMULATE_OPTIONS = {"t_slices", "z_slices", "radial_points", "intensity_points",
                    "far_field_points", "optics", "aperture", "divided_by_open"}


# The option names of a function's "Other Parameters" section (help's text).
def documented_options(function):
    section = inspect.getdoc(function).split("Other Parameters\n----------------\n")[1]
    return {name.strip() for line in section.splitlines() if line and not line[0].isspace()
            for name in line.split(" : ")[0].split(",")}


# Each call gets past the option names to its first value check (an invalid
# engine, no pulse energies): the option is accepted.
def call_fit(**options):
    return tarvo.fit(POSITIONS, np.ones((3, POSITIONS.size)), ENERGIES, RSA_PARS,
                     engine="odeint", **BEAM, populations=POPULATIONS, **options)


def call_simulate(**options):
    return tarvo.simulate(POSITIONS, [], RSA_PARS, **BEAM, populations=POPULATIONS, **options)


ACCEPTED = [(call_fit, tarvo.fit, name, "engine must be one of") for name in sorted(FIT_OPTIONS)] \
    + [(call_simulate, tarvo.simulate, name, "pulse_energy needs at least one value")
       for name in sorted(SIMULATE_OPTIONS)]


@pytest.mark.parametrize("call, function, name, message", ACCEPTED,
                         ids=[f"{f.__name__}-{name}" for _, f, name, _ in ACCEPTED])
def test_every_documented_option_is_accepted(call, function, name, message):
    assert documented_options(function) == (FIT_OPTIONS if function is tarvo.fit
                                            else SIMULATE_OPTIONS)
    with pytest.raises(ValueError, match=message):
        call(**{name: None})


# A keyword that is no option is refused as Python refuses an unknown
# keyword argument, with the near name of a typing error.
@pytest.mark.parametrize("call, name, message", [
    (call_fit, "normalization", "fit() got an unexpected keyword argument 'normalization'. "
                                "Did you mean 'normalisation'?"),
    (call_fit, "fit_focus", "fit() got an unexpected keyword argument 'fit_focus'"),
    (call_fit, "focus", "fit() got an unexpected keyword argument 'focus'"),
    (call_fit, "optics", "fit() got an unexpected keyword argument 'optics'"),
    (call_simulate, "tslices", "simulate() got an unexpected keyword argument 'tslices'. "
                               "Did you mean 't_slices'?"),
    (call_simulate, "n_starts", "simulate() got an unexpected keyword argument 'n_starts'"),
])
def test_an_unknown_option_raises_type_error_naming_it(call, name, message):
    with pytest.raises(TypeError) as error:
        call(**{name: 1})
    assert str(error.value) == message


# The lsoda engine is fit_zscan: what it cannot fit is refused with the reason.
@pytest.mark.parametrize("engine, change, message", [
    ("lsoda", dict(model="energy"), "the energy model runs on the exact engine only"),
    ("lsoda", dict(normalisation="far-field"), "normalisation 'far-field' needs the exact "
                                               "engine"),
    ("lsoda", dict(weights="equal"), "weights the points as fit_zscan does"),
    ("lsoda", dict(sigma=0.01), "weights the points by position and ignores sigma"),
    ("lsoda", dict(max=1e-16), "the lsoda engine (fit_zscan) has no bounds (sigma_2)"),
    ("lsoda", dict(focus=0.5), "puts the focus at the extreme of the data"),
    ("lsoda", dict(expr="2 * sigma_1"), "fits the eight model parameters only"),
    ("exact", dict(rel_step=1e-4), "rel_step applies to the lsoda engine"),
    ("odeint", {}, "engine must be one of 'exact', 'lsoda', got 'odeint'"),
])
def test_engine_options_that_do_not_apply_are_refused(engine, change, message):
    y = tarvo.simulate(POSITIONS, ENERGIES, RSA_PARS, engine="lsoda", **SETUP)
    params = start_params(["sigma_2"])
    if "max" in change:
        params["sigma_2"].set(max=change["max"])
    if "focus" in change:
        params.add("focus", change["focus"], vary=False)
    if "expr" in change:
        params["sigma_4"].set(expr=change["expr"])
    kwargs = {k: v for k, v in change.items() if k in ("model", "normalisation", "weights",
                                                        "rel_step")}
    sigma = np.full_like(y, change["sigma"]) if "sigma" in change else None
    setup = {k: v for k, v in SETUP.items() if k not in ("model", "normalisation")}
    with pytest.raises(ValueError) as error:
        tarvo.fit(POSITIONS, y, ENERGIES, params, engine=engine, sigma=sigma, checks="off",
                  **setup, **kwargs)
    assert message in str(error.value)


# On fit_zscan's own curves the lsoda engine's result is complete: the truth
# within its standard errors, LMDIF's convergence, a profile interval and a
# bootstrap that refits on the same engine, and a saved file that loads.
def test_lsoda_fit_result_is_a_full_fit_result(tmp_path):
    y = noisy(tarvo.simulate(POSITIONS, ENERGIES, RSA_PARS, engine="lsoda", **SETUP))
    setup = {k: v for k, v in SETUP.items() if k not in ("model", "normalisation")}
    result = tarvo.fit(POSITIONS, y, ENERGIES, start_params(["sigma_4"]), engine="lsoda",
                       n_starts=2, checks="off", **setup)
    sigma_4 = result.params["sigma_4"]
    assert result.success and result.message.startswith("converged: ")
    assert abs(sigma_4.value - RSA_PARS[2]) < 3.0 * sigma_4.stderr < 0.1 * RSA_PARS[2]
    assert result.solver_messages == {} and result.n_starts == 2
    low, high = result.conf_interval(["sigma_4"], sigmas=[1])["sigma_4"][::2]
    assert low[1] < sigma_4.value < high[1]
    assert high[1] - low[1] == pytest.approx(2.0 * sigma_4.stderr, rel=0.2)
    spread = result.bootstrap(8, seed=3)
    assert spread.engine == "lsoda" and spread.failures == ()
    assert np.std(spread.values[:, 0]) < 3.0 * sigma_4.stderr
    result.save(tmp_path / "fit.json")
    loaded = tarvo.FitResult.load(tmp_path / "fit.json")
    assert (loaded.engine, loaded.fit_error) == ("lsoda", result.fit_error)
    assert np.array_equal(loaded.eval(POSITIONS, ENERGIES), result.best_fit)
