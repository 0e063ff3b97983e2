"""lmfit habits on tarvo.fit: expr constraints, save/load, eval, plot(ax=...), bootstrap summaries."""

import json
import math
from types import SimpleNamespace

import numpy as np
import pytest
from scipy.optimize import minimize_scalar

import tarvo
from tarvo import Parameters
from tarvo.bootstrap import BootstrapResult

from measurement_cases import make_measurement, run

SETUP = dict(populations=[6e17, 0, 0, 0, 0], sample_width=0.1, tau=4e-9, wavelength=532e-9,
             w0=20e-6, M2=1.2)
# Every count given: the energy model's defaults follow the start values, and
# two parametrisations of one fit must share one grid.
GRID = dict(t_slices=4, z_slices=3, radial_points=12, intensity_points=12)
TRUTH = dict(sigma_1=4e-18, sigma_2=2e-17, sigma_4=8e-17, tau_21=2e-9, tau_24=1.5e-9,
             tau_32=1e-12, tau_41=1e-6, tau_54=1e-12)
POSITIONS = np.linspace(-20.0, 20.0, 21)
ENERGIES = [5e-6, 2e-5]
NOISE = 0.004


# Model curves at `pars` with seeded noise of NOISE.
def noisy(pars=TRUTH):
    clean = tarvo.simulate(POSITIONS, ENERGIES, pars, **SETUP, **GRID, engine="exact")
    return clean + NOISE * np.random.default_rng(11).standard_normal(clean.shape)


# A fit of the noisy curves with data uncertainties NOISE.
def fit(params, data=None):
    data = noisy() if data is None else data
    return tarvo.fit(POSITIONS, data, ENERGIES, params, **SETUP, **GRID,
                     sigma=np.full(data.shape, NOISE))


# Weighted residuals at sigma_1 = s with sigma_4 = 20 s, computed by simulate.
def constrained_residuals(s, data):
    pars = dict(TRUTH, sigma_1=s, sigma_4=20.0 * s)
    model = tarvo.simulate(POSITIONS, ENERGIES, pars, **SETUP, **GRID, engine="exact")
    return ((data - model) / NOISE).ravel()


def test_constrained_parameter_follows_its_expression_to_the_true_optimum():
    data = noisy()
    params = Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18), vary=["sigma_1"])
    params["sigma_4"].set(expr="20*sigma_1")
    result = fit(params, data)
    assert result.values["sigma_4"] == pytest.approx(20.0 * result.values["sigma_1"], rel=1e-13)
    assert result.params["sigma_4"].expr == "20*sigma_1" and not result.params["sigma_4"].vary
    # The optimum of the constrained chi^2, found without tarvo.fit.
    best = minimize_scalar(lambda t: float(np.sum(constrained_residuals(t * 1e-18, data) ** 2)),
                           bracket=(3.0, 4.0, 5.0), tol=1e-12)
    assert result.values["sigma_1"] == pytest.approx(best.x * 1e-18, rel=1e-6)
    # Its standard error: (J^T J)^-1/2 with J by central differences.
    s, h = result.values["sigma_1"], 1e-4 * result.values["sigma_1"]
    jacobian = (constrained_residuals(s + h, data) - constrained_residuals(s - h, data)) / (2 * h)
    assert result.params["sigma_1"].stderr == pytest.approx(1 / np.linalg.norm(jacobian),
                                                            rel=1e-5)
    assert result.params["sigma_4"].stderr == pytest.approx(
        20.0 * result.params["sigma_1"].stderr, rel=1e-6)


def test_derived_parameter_error_is_propagated_from_the_covariance():
    params = Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18, sigma_4=1e-16),
                                       vary=["sigma_1", "sigma_4"])
    params.add("ratio", expr="sigma_4 / sigma_1")
    result = fit(params)
    s1, s4 = result.values["sigma_1"], result.values["sigma_4"]
    assert result.values["ratio"] == pytest.approx(s4 / s1, rel=1e-14)
    (v11, v14), (_, v44) = result.covar
    # The delta method for a ratio, in closed form.
    ratio = s4 / s1
    expected = ratio * math.sqrt(v11 / s1**2 + v44 / s4**2 - 2 * v14 / (s1 * s4))
    assert result.params["ratio"].stderr == pytest.approx(expected, rel=1e-6)
    assert "ratio:" in result.fit_report() and "== 'sigma_4 / sigma_1'" in result.fit_report()


def test_lmfit_like_parameters_keep_their_expr():
    # Objects with lmfit's attribute names (as lmfit.Parameter has them).
    params = {name: SimpleNamespace(value=value, vary=name == "sigma_1", min=0.0, max=math.inf,
                                    expr=None) for name, value in TRUTH.items()}
    params["sigma_1"].value = 5e-18
    params["sigma_4"].expr = "20*sigma_1"
    result = fit(params)
    assert result.values["sigma_4"] == pytest.approx(20.0 * result.values["sigma_1"], rel=1e-13)


@pytest.mark.parametrize("name, expr, message", [
    ("sigma_4", "20*sigma_9", "sigma_4: expr '20*sigma_9' uses 'sigma_9', which is no parameter"),
    ("sigma_4", "20*(sigma_1", "sigma_4: cannot read expr '20*(sigma_1'"),
    ("sigma_4", "2*sigma_4", "sigma_4: expr '2*sigma_4' uses the parameter itself"),
    ("sigma_4", "-20*sigma_1", "sigma_4: expr '-20*sigma_1' gives -1e-16 at the start values; "
                               "a cross-section must be positive"),
    ("cycle", None, "circular expr definitions"),
    # T4: on main a RecursionError, an OverflowError and a ValueError without its reason.
    ("sigma_4", "-" * 5000 + "sigma_1", "nested too deeply or too long (an expr is a formula "
     "of a few terms)"),
    ("sigma_4", "sigma_1 * 10.0**400", "sigma_4: expr 'sigma_1 * 10.0**400' failed: "
     "OverflowError: (34, 'Numerical result out of range')"),
    ("sigma_4", "sigma_1 * 2**100000", "sigma_4: expr 'sigma_1 * 2**100000' failed: "
     "RuntimeError: Invalid exponent, max exponent is 10000"),
    ("sigma_4", "sigma_1 * exp(1000)", "sigma_4: expr 'sigma_1 * exp(1000)' gives inf"),
    ("sigma_4", "[1.0] * 10**5", "sigma_4: expr '[1.0] * 10**5' gives [1.0, 1.0, 1.0, 1.0, 1.0, "
     "1.0, ...], not a number"),
], ids=["unknown-name", "syntax", "self", "negative", "cycle", "deep", "overflow",
        "asteval-limit", "infinite", "list"])
def test_bad_expressions_are_refused_with_the_reason(name, expr, message):
    params = Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18), vary=["sigma_1"])
    if expr is None:
        params["sigma_2"].set(expr="tau_21 * 1e-8")
        params["tau_21"].set(expr="sigma_2 * 1e8")
    else:
        params[name].set(expr=expr)
    with pytest.raises(ValueError) as caught:
        fit(params)
    assert message in str(caught.value)


def test_a_free_parameter_outside_the_model_reparametrises_the_fit():
    # sigma_4 = ratio * sigma_1 with ratio free spans the same model as
    # sigma_1 and sigma_4 both free: the same optimum, and the ratio's error
    # is the delta method's of the direct fit.
    data = noisy()
    direct = fit(Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18, sigma_4=1e-16),
                                           vary=["sigma_1", "sigma_4"]), data)
    params = Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18), vary=["sigma_1"])
    params.add("ratio", 15.0, vary=True, min=1.0)
    params["sigma_4"].set(expr="ratio * sigma_1")
    result = fit(params, data)
    assert result.var_names == ["sigma_1", "ratio"]
    assert result.chisqr == pytest.approx(direct.chisqr, rel=1e-10)
    s1, s4 = direct.values["sigma_1"], direct.values["sigma_4"]
    assert result.values["ratio"] == pytest.approx(s4 / s1, rel=1e-7)
    assert result.values["sigma_4"] == pytest.approx(s4, rel=1e-7)
    (v11, v14), (_, v44) = direct.covar
    ratio_error = s4 / s1 * math.sqrt(v11 / s1**2 + v44 / s4**2 - 2 * v14 / (s1 * s4))
    assert result.params["ratio"].stderr == pytest.approx(ratio_error, rel=1e-4)
    # Its profile interval brackets it, and it survives save and load.
    (low, _), _, (_, high) = result.conf_interval(names=["ratio"], sigmas=[1])["ratio"]
    assert low < result.values["ratio"] < high


@pytest.mark.parametrize("extra, message", [
    (dict(name="sigma1", value=4e-18), "unknown parameter 'sigma1': the model's parameters are"),
    (dict(name="ratio", value=math.nan, expr_uses=True), "ratio needs a finite value"),
    (dict(name="2ratio", value=1.0), "'2ratio' cannot name a parameter"),
], ids=["unused-typo", "nan", "not-a-name"])
def test_parameters_outside_the_model_are_checked(extra, message):
    params = Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18), vary=["sigma_1"])
    with pytest.raises(ValueError) as caught:
        params.add(extra["name"], extra["value"], vary=True)
        if extra.get("expr_uses"):
            params["sigma_4"].set(expr=f"{extra['name']} * sigma_1")
        fit(params)
    assert message in str(caught.value)


def test_save_and_load_round_trip_values_errors_and_model(tmp_path):
    params = Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18), vary=["sigma_1", "focus"])
    params["sigma_4"].set(expr="20*sigma_1")
    result = fit(params)
    path = tmp_path / "result.json"
    result.save(path)
    loaded = tarvo.FitResult.load(path)
    assert loaded.values == result.values
    assert loaded.stderr == result.stderr
    assert np.array_equal(loaded.covar, result.covar)
    assert loaded.var_names == result.var_names == ["sigma_1", "focus"]
    assert loaded.fit_report() == result.fit_report()
    assert np.array_equal(loaded.eval(POSITIONS, ENERGIES), result.eval(POSITIONS, ENERGIES))
    # The schema of tarvo fit's result file, the focus in the covariance.
    document = json.loads(path.read_text())
    assert document["covariance"]["parameters"] == ["sigma_1", "focus"]
    assert document["constraints"][0]["expr"] == "20*sigma_1"
    with pytest.raises(ValueError, match="needs the fit itself"):
        loaded.conf_interval()


def test_load_reads_the_result_of_tarvo_fit(tmp_path, capsys):
    directory = make_measurement(tmp_path)
    assert run(capsys, "fit", directory)[0] == 0
    document = json.loads((directory / "fit-result.json").read_text())
    loaded = tarvo.FitResult.load(directory / "fit-result.json")
    assert loaded.values["sigma_1"] == document["parameters"][0]["value"]
    assert loaded.params["sigma_1"].stderr == document["parameters"][0]["standard_error"]
    # The model of the file at the data positions, recomputed.
    assert np.allclose(loaded.eval(loaded.positions[0], loaded.pulse_energy),
                       [c["model"] for c in document["curves"]], rtol=0, atol=1e-12)
    assert document["model_settings"]["t_slices"] == 2
    assert set(document["model_settings"]) >= {"time_window_tau", "normalisation", "weights"}


def test_eval_at_the_data_positions_is_the_best_fit():
    result = fit(Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18), vary=["sigma_1"]))
    assert np.array_equal(result.eval(POSITIONS, ENERGIES), result.best_fit)
    assert np.array_equal(result.eval(POSITIONS, ENERGIES[1]), result.best_fit[1])
    with pytest.raises(ValueError, match="one row per pulse energy"):
        result.eval(np.zeros((3, 21)), ENERGIES)


def test_plot_on_given_axes_with_error_bars_relative_to_the_focus():
    from matplotlib.figure import Figure

    result = fit(Parameters.from_spec_pars(dict(TRUTH, sigma_1=5e-18),
                                           vary=["sigma_1", "focus"]))
    axes = Figure().subplots()
    assert result.plot(ax=axes, relative_to_focus=True) is axes
    bars = [c for c in axes.containers if type(c).__name__ == "ErrorbarContainer"]
    assert len(bars) == len(ENERGIES)
    x_drawn = bars[0].lines[0].get_xdata()
    assert np.allclose(x_drawn, POSITIONS - result.focus, rtol=0, atol=1e-12)
    figure = result.plot(errorbars=False)
    curves_axes, residual_axes = figure.axes
    assert not [c for c in curves_axes.containers if type(c).__name__ == "ErrorbarContainer"]
    # Residuals as markers, not joined by lines.
    assert all(line.get_linestyle() == "None" for line in residual_axes.lines[:-1])
    assert "532 nm" in curves_axes.get_title() and "energy model" in \
        curves_axes.get_title()


def test_bootstrap_result_intervals_report_and_repr():
    values = np.column_stack([np.arange(1.0, 101.0), np.arange(101.0, 1.0, -1.0) * 2.0])
    boot = BootstrapResult(("sigma_1", "focus"), np.array([50.0, 100.0]), values,
                           ((3, "diverged"),), 101, 7, 1.5)
    intervals = boot.intervals
    assert list(intervals) == ["sigma_1", "focus"]
    assert intervals["focus"][0.95] == pytest.approx(tuple(
        np.percentile(values[:, 1], [2.5, 97.5])))
    text = repr(boot)
    assert "\n" not in text and len(text) < 200 and "100 of 101 replicates" in text
    report = boot.report({"sigma_1": 28.0})
    assert "seed 7" in report and "2.80e+01" in report
    assert "bootstrap correlation sigma_1 / focus: -1.000" in report


# Public callables of the toolkit API: the exports and their public methods.
def _public_api():
    import inspect

    for name in tarvo.__all__:
        obj = getattr(tarvo, name)
        if name.startswith("_"):
            continue
        yield name, obj
        if inspect.isclass(obj):
            for member, value in vars(obj).items():
                if not member.startswith("_") and (callable(value) or isinstance(
                        value, (property, classmethod, staticmethod))):
                    yield f"{name}.{member}", getattr(obj, member) if not isinstance(
                        value, property) else value


@pytest.mark.parametrize("name, obj", list(_public_api()), ids=lambda v: v
                         if isinstance(v, str) else "")
def test_public_api_has_docstrings_for_help(name, obj):
    import inspect

    doc = inspect.getdoc(obj)
    assert doc and doc.splitlines()[0].strip(), f"{name} has no docstring"
    signature = None
    if callable(obj) and not inspect.isclass(obj):
        try:
            signature = inspect.signature(obj)
        except (TypeError, ValueError):
            pass
    arguments = [p for p in (signature.parameters if signature else ())
                 if p not in ("self", "cls", "args", "kwargs")]
    if len(arguments) > 0 and "are those of" not in doc:
        # NumPy style: a Parameters section naming every argument.
        assert "Parameters\n----------" in doc, f"{name}: no Parameters section"
        section = doc.split("Parameters\n----------")[1]
        missing = [a for a in arguments if a not in section]
        assert not missing, f"{name}: {missing} not described"


# S1: expressions are read by asteval, whose releases before 1.0.6 let an
# expression out of its sandbox: the package and the lowest versions the
# wheel check installs both require a later one.
def test_asteval_releases_with_the_sandbox_escape_are_excluded():
    import importlib.metadata
    from pathlib import Path

    from packaging.requirements import Requirement
    from packaging.version import Version

    requirement = next(Requirement(text) for text in importlib.metadata.requires("tarvo")
                       if text.startswith("asteval"))
    assert not requirement.specifier.contains(Version("1.0.5"))
    assert requirement.specifier.contains(Version("1.0.6"))
    assert Version(importlib.metadata.version("asteval")) >= Version("1.0.6")
    lowest = Path(__file__).resolve().parents[2] / "scripts" / "lowest-dependencies.txt"
    pinned = next(line for line in lowest.read_text().splitlines()
                  if line.startswith("asteval=="))
    assert requirement.specifier.contains(Version(pinned.split("==")[1]))
