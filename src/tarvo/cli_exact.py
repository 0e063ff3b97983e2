"""tarvo fit DIR on the exact engine: the fit, its table, figure and JSON document.

The table and the JSON document have the layout of the LSODA route (report.py);
this module adds what only the exact route knows: the model variant and its
grid, convergence, the focus parameter, bounds and the information criteria.
"""

import math

import numpy as np

from .fit_parameters import FIT_NAMES, FOCUS, Parameters
from .fitting import fit
from .run_fit import FitOutcome, start_multipliers
from .uncertainty import Uncertainty


# Uncertainties of the measured values, if the measurement carries them (one row per curve).
def measured_sigma(measurement):
    sigma = getattr(measurement, "sigma", None)
    if sigma is None:
        rows = [getattr(curve, "sigma", None) for curve in measurement.curves]
        if any(row is None for row in rows):
            return None
        sigma = np.stack(rows)
    return np.asarray(sigma, dtype=np.float64)


# Parameters of the fit from the start values, fitted names, bounds and focus settings.
def measurement_parameters(measurement):
    options = measurement.options
    params = Parameters.from_spec_pars(measurement.start, vary=measurement.fit_names)
    if options.fit_focus or options.focus_mm is not None:
        params.add(FOCUS, options.focus_mm, vary=options.fit_focus)
    for name, (low, high) in options.bounds.items():
        if name in params:
            params[name].set(min=low, max=high)
    return params


# Start factors as the tool prints them.
def start_factors(n_starts):
    return [1.0] if n_starts == 1 else start_multipliers(n_starts)


# Fit a measurement on the exact engine; the command line runs the
# plausibility checks itself (checks="off"). `progress` as for tarvo.fit.
def fit_measurement_exact(measurement, n_starts, model, weights=None, progress=None):
    setup = measurement.setup
    options = measurement.options
    energy = model == "energy"
    return fit(measurement.positions, measurement.transmittance, measurement.pulse_energy,
               measurement_parameters(measurement), populations=list(setup.populations),
               sample_width=setup.sample_width, tau=setup.tau, wavelength=setup.wavelength,
               w0=setup.w0, M2=setup.M2, model=model, t_slices=setup.t_slices,
               z_slices=setup.z_slices,
               radial_points=options.radial_points if energy else None,
               intensity_points=options.intensity_points if energy else None,
               normalisation=measurement.normalisation, sigma=measured_sigma(measurement),
               weights=weights, is_sa=measurement.is_sa, n_starts=n_starts, checks="off",
               progress=progress)


# The result in the shapes of the LSODA route's outcome and uncertainty, for
# the shared table and document (parameters in the order of [fit] parameters).
def lsoda_shaped(measurement, result):
    order = [result.var_names.index(name) for name in measurement.fit_names]
    outcome = FitOutcome(fitted=np.array(result.spec_pars), error=math.sqrt(result.chisqr),
                         residuals=result.residuals, centre=result.focus,
                         n_starts=result.n_starts, seconds=result.seconds)
    errors = np.array([result.params[name].stderr for name in measurement.fit_names])
    uncertainty = Uncertainty(errors, result.covar[np.ix_(order, order)], result.chisqr,
                              result.nfree)
    return outcome, uncertainty


# Keys of the exact route's JSON document beside those of the LSODA route.
def exact_document_keys(result):
    focus = result.params[FOCUS]
    return {
        "converged": bool(result.success),
        "message": result.message,
        "nfev": result.nfev,
        "aic": _finite(result.aic),
        "bic": _finite(result.bic),
        "weights": result.weighting,
        "residual_rms": _finite(result.rms),
        "standard_errors_from": "exact Jacobian",
        "focus_mm": {"value": focus.value, "fitted": focus.vary,
                     "standard_error": _finite(focus.stderr) if focus.vary else None,
                     "start": focus.init_value},
        "bounds": {name: [_finite(p.min), _finite(p.max)] for name, p in result.params.items()
                   if p.vary},
        "constraints": [{"name": name, "expr": p.expr, "value": _finite(p.value),
                         "standard_error": _finite(p.stderr)}
                        for name, p in result.params.items() if p.expr],
        "extra_parameters": [{"name": name, "value": _finite(p.value), "fitted": p.vary,
                              "standard_error": _finite(p.stderr) if p.vary else None,
                              "start": _finite(p.init_value)}
                             for name, p in result.params.items()
                             if name not in FIT_NAMES and not p.expr],
        "scale_covar": bool(result.scale_covar),
        "tolerances": dict(zip(("ftol", "xtol", "gtol", "max_nfev"), result.tolerances)),
        "model_settings": exact_model_settings(result),
        "notes": list(result.notes),
        "identifiability": None if result.identifiability is None
        else result.identifiability.as_dict(),
    }


# Time window of the established model's pulse: -tau/2 to +tau/2 (units of tau).
ESTABLISHED_WINDOW_TAU = 0.5

# How fit_zscan's model curves are normalised, for the result file.
SHIFT_NORMALISATION = ("shift: each model curve is shifted so that the mean of its first five "
                       "and last five points is 1")


# How a normalisation treats the model curves, for the result file.
def normalisation_text(normalisation):
    if normalisation.mode == "shift":
        return SHIFT_NORMALISATION
    ends = normalisation.far_field_points
    return {"far-field": f"far-field: each model curve is divided by the mean of its first "
                         f"{ends} and last {ends} points, as the data were",
            "linear": "linear: each model curve is divided by the linear transmittance "
                      "exp(-alpha_0 L)",
            "absolute": "absolute: transmitted over incident pulse energy, not normalised",
            }[normalisation.mode]


# The settings of the model a result was computed with: every grid count,
# the time window, the radial rule, the normalisation and the weights.
def exact_model_settings(result):
    settings = {"engine": result.engine, "model": result.model,
                "t_slices": result.grid["t_slices"], "z_slices": result.grid["z_slices"]}
    if result.model == "energy":
        from .engine import model_defaults

        defaults = model_defaults("energy")
        settings.update({
            "radial_points": result.grid["radial_points"],
            "radial_rule": "Gauss-Legendre in s = v^(1/3), v = exp(-2 r^2 / w^2) the fluence "
                           "fraction",
            "intensity_points": result.grid.get("intensity_points",
                                                defaults.get("intensity_points")),
            "time_window_tau": ENERGY_WINDOW_TAU,
            "time_slices": "sinh-graded over the window, dense at the pulse peak",
            "detected_quantity": "transmitted over incident pulse energy, over the beam "
                                 "cross-section",
        })
    else:
        settings.update({"time_window_tau": ESTABLISHED_WINDOW_TAU,
                         "detected_quantity": "on-axis transmittance ratio"})
    settings.update({"normalisation": normalisation_text(result.normalisation),
                     "weights": result.weighting})
    return settings


# Half-width of the energy model's time window in units of tau (the native
# model's default; not adjustable from Python).
ENERGY_WINDOW_TAU = 3.5


# The model settings of an lsoda fit (fit_zscan's established model).
def lsoda_model_settings(measurement):
    return {"engine": "lsoda", "model": "established",
            "t_slices": measurement.setup.t_slices, "z_slices": measurement.setup.z_slices,
            "time_window_tau": ESTABLISHED_WINDOW_TAU,
            "detected_quantity": "on-axis transmittance ratio",
            "normalisation": SHIFT_NORMALISATION,
            "weights": "1 + 4 exp(-4 s^2), s centred position in m (fit_zscan's)"}


# The covariance and correlation of every varied parameter of an exact fit,
# the focus included when it was fitted: model parameters in `order`, then
# the focus.
def full_covariance(result, order):
    names = [name for name in order if name in result.var_names]
    names += [name for name in result.var_names if name not in names]
    index = [result.var_names.index(name) for name in names]
    covariance = np.asarray(result.covar)[np.ix_(index, index)]
    correlation = np.asarray(result.correlation)[np.ix_(index, index)]
    return ({"parameters": names, "matrix": [[_finite(v) for v in row] for row in covariance]},
            [[_finite(v) for v in row] for row in correlation])


# The result document of an exact fit: the layout of the lsoda route's
# document with the keys only the exact route knows. `tarvo fit` and
# FitResult.save both write it.
def exact_document(measurement, result, outcome, uncertainty, rows, curves, figure_name,
                   record, findings=()):
    from .report import result_document

    document = result_document(measurement, outcome, uncertainty, rows, figure_name, None,
                               engine="exact", model=result.model, provenance=record,
                               findings=findings, curves=curves)
    document["setup"].update(result.grid if result.model == "energy"
                             else {k: result.grid[k] for k in ("t_slices", "z_slices")})
    document["covariance"], document["correlation"] = full_covariance(
        result, measurement.fit_names)
    status = result.identifiability.status if result.identifiability is not None else {}
    for entry in document["parameters"]:
        entry["determined"] = (status[entry["name"]] != "not determined"
                               if entry["name"] in status else None)
    return insert_after(document, "fit_seconds", exact_document_keys(result))


# A float for JSON (None for non-finite values and None).
def _finite(value):
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


# Put `extra` into the document right after `key`, keeping the rest in order.
def insert_after(document, key, extra):
    merged = {}
    for name, value in document.items():
        merged[name] = value
        if name == key:
            merged.update(extra)
    if key not in document:
        merged.update(extra)
    return merged


# The line that says where the focus is and where that comes from.
def focus_line(result, options):
    focus = result.params[FOCUS]
    if focus.vary:
        return f"focus fitted at {focus.value:g} +/- {focus.stderr:.2g} mm"
    if options.focus_mm is not None:
        return f"focus (set in setup.toml) at {focus.value:g} mm"
    return f"focus (extreme of the data) at {focus.value:g} mm"
