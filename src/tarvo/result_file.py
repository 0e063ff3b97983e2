"""FitResult to and from the JSON result file of `tarvo fit` (fit-result.json)."""

import json
import math
from pathlib import Path

import numpy as np

from .centring import scan_centre
from .files import read_input_bytes
from .fit_options import FitOptions
from .fit_parameters import FOCUS, Parameters
from .measurement import Curve, DataFormat, Measurement, Setup
from .normalisation import Normalisation
from .parameters import NAMES
from .provenance import provenance
from .report import FitCurves, fit_document, parameter_rows, report_view, write_result
from .results import FIT_METHODS, WEIGHTING_TEXT, FitResult
from .uncertainty import point_weights

# Key of the result file that marks a document written by FitResult.save.
SAVED_FROM = "tarvo.FitResult.save"


# The measurement-shaped view of an API fit, for the shared document builder:
# the curves are named "curve 1", "curve 2", ... (they came from arrays).
def _measurement(result):
    setup = result.setup
    model_setup = Setup(wavelength=float(setup["wavelength"]), w0=float(setup["w0"]),
                        M2=float(setup["M2"]), tau=float(setup["tau"]),
                        sample_width=float(setup["sample_width"]),
                        populations=tuple(float(v) for v in setup["populations"]),
                        t_slices=result.grid["t_slices"], z_slices=result.grid["z_slices"])
    curves = tuple(Curve(f"curve {k + 1}", float(energy), np.asarray(result.positions[k]),
                         np.asarray(result.data[k]),
                         None if result.sigma is None else np.asarray(result.sigma[k]))
                   for k, energy in enumerate(result.pulse_energy))
    start = np.array([result.params[name].init_value if result.params[name].vary
                      else result.params[name].value for name in NAMES], dtype=np.float64)
    names = tuple(name for name in result.var_names if name != FOCUS)
    return Measurement(None, model_setup, bool(result.is_sa), curves, start, names,
                       int(result.n_starts), (), FitOptions(fit_focus=FOCUS in result.var_names),
                       DataFormat(normalisation=result.normalisation))


# The document of `tarvo fit`'s result file for a FitResult.
def result_document_of(result):
    measurement = _measurement(result)
    outcome, uncertainty = report_view(measurement, result)
    rows = parameter_rows(measurement, outcome, uncertainty)
    record = provenance([], ())
    record["command_line"] = SAVED_FROM
    document = fit_document(measurement, result, outcome, uncertainty, rows,
                            FitCurves.of(result), None, record)
    document["directory"] = None
    return document


# Write a FitResult as the JSON result file of `tarvo fit`.
def save_result(result, path):
    write_result(Path(path), result_document_of(result))


# A float from a JSON number (None: NaN).
def _float(value):
    return math.nan if value is None else float(value)


# Largest result file read (a bootstrap of many replicates lists them all).
MAX_RESULT_BYTES = 512 * 1024 * 1024


# A FitResult from a result file written by `tarvo fit` (exact engine) or
# FitResult.save; ValueError when the file holds no such result.
def load_result(path):
    path = Path(path)
    raw = read_input_bytes(path, MAX_RESULT_BYTES, "a fit result is at most a few megabytes")
    try:
        document = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"{path}: cannot read a fit result: {error}") from None
    if not isinstance(document, dict) or "parameters" not in document:
        raise ValueError(f"{path}: not a tarvo fit result (no \"parameters\")")
    engine = document.get("engine")
    if engine not in FIT_METHODS or "focus_mm" not in document:
        raise ValueError(f"{path}: a result of the {engine} engine written by an earlier "
                         "version; FitResult.load reads results of tarvo.fit and tarvo fit "
                         "that record the focus (focus_mm): fit again")
    setup_doc = document["setup"]
    setup = {"populations": np.array(setup_doc["populations_cm-3"], dtype=np.float64),
             "sample_width": setup_doc["sample_width_cm"], "tau": setup_doc["tau_s"],
             "wavelength": setup_doc["wavelength_m"], "w0": setup_doc["w0_m"],
             "M2": setup_doc["M2"]}
    model = document["model"]
    grid = {"t_slices": setup_doc["t_slices"], "z_slices": setup_doc["z_slices"],
            "radial_points": setup_doc.get("radial_points", 0),
            "intensity_points": setup_doc.get("intensity_points", 0)}
    # Results written before the normalisations were named were shifted.
    normalisation = Normalisation(document.get("normalisation", "shift"),
                                  document.get("far_field_points", 5))
    weights = next((mode for mode, text in WEIGHTING_TEXT.items()
                    if text == document["weights"]), "established")
    bounds = document.get("bounds", {})
    params = Parameters()
    for entry in document["parameters"]:
        low, high = bounds.get(entry["name"], [None, None])
        p = params.add(entry["name"], entry["value"], vary=entry["fitted"],
                       min=None if low is None else low, max=None if high is None else high)
        p.init_value = entry["start"]
        p.stderr = None if not entry["fitted"] else _float(entry["standard_error"])
    focus_doc = document["focus_mm"]
    low, high = bounds.get(FOCUS, [None, None])
    focus = params.add(FOCUS, focus_doc["value"], vary=focus_doc["fitted"], min=low, max=high)
    focus.init_value = focus_doc["start"]
    focus.stderr = _float(focus_doc["standard_error"]) if focus_doc["fitted"] else None
    for entry in document.get("extra_parameters", []):
        low, high = bounds.get(entry["name"], [None, None])
        p = params.add(entry["name"], entry["value"], vary=entry["fitted"], min=low, max=high)
        p.init_value = entry["start"]
        p.stderr = _float(entry["standard_error"]) if entry["fitted"] else None
    expressions = {}
    for entry in document.get("constraints", []):
        if entry["name"] in params:
            params[entry["name"]].set(expr=entry["expr"])
        else:
            params.add(entry["name"], entry["value"], vary=False, expr=entry["expr"])
        params[entry["name"]].stderr = _float(entry["standard_error"])
        expressions[entry["name"]] = entry["expr"]
    var_names = list(document["covariance"]["parameters"])
    covar = np.array([[_float(v) for v in row] for row in document["covariance"]["matrix"]],
                     dtype=np.float64).reshape(len(var_names), len(var_names))
    correlation = np.array([[_float(v) for v in row] for row in document["correlation"]],
                           dtype=np.float64).reshape(covar.shape)
    for k, name in enumerate(var_names):
        params[name].correl = {other: float(correlation[k, j])
                               for j, other in enumerate(var_names) if j != k}
    curves = document["curves"]
    positions = np.array([c["positions_mm"] for c in curves], dtype=np.float64)
    data = np.array([c["transmittance"] for c in curves], dtype=np.float64)
    best_fit = np.array([c["model"] for c in curves], dtype=np.float64)
    sigma = None if curves[0]["standard_deviation"] is None else \
        np.array([c["standard_deviation"] for c in curves], dtype=np.float64)
    residuals = data - best_fit
    is_sa = bool(setup_doc["is_sa"])
    centre = scan_centre(positions, data, is_sa)
    root_weights = 1.0 / sigma if sigma is not None else \
        np.sqrt(point_weights(positions - centre)) if weights == "established" else \
        np.ones_like(positions)
    tolerances = document.get("tolerances", {})
    ndata = data.size
    nvarys = len(var_names)
    chisqr = _float(document["chi2"])
    return FitResult(
        params=params, var_names=var_names,
        values={name: p.value for name, p in params.items()},
        spec_pars=np.array([params[name].value for name in NAMES], dtype=np.float64),
        focus=float(focus.value), centre=centre, expressions=expressions,
        init_values={name: params[name].init_value for name in var_names},
        covar=covar, correlation=correlation, chisqr=chisqr,
        fit_error=_float(document["fit_error"]),
        redchi=_float(document["reduced_chi2"]), aic=_float(document["aic"]),
        bic=_float(document["bic"]), ndata=ndata, nvarys=nvarys, nfree=ndata - nvarys,
        residual=(root_weights * residuals).ravel(), residuals=residuals, best_fit=best_fit,
        data=data, positions=positions,
        pulse_energy=np.array([c["pulse_energy_J"] for c in curves], dtype=np.float64),
        sigma=sigma, weighting=document["weights"], weights=weights, setup=setup,
        normalisation=normalisation, rms=float(np.sqrt(np.mean(residuals ** 2))),
        findings=[], identifiability=None, start_values={},
        grid=grid if model == "energy" else {k: grid[k] for k in ("t_slices", "z_slices")},
        is_sa=is_sa, scale_covar=document.get("scale_covar", sigma is None),
        nfev=document["nfev"], success=bool(document["converged"]),
        status=1 if document["converged"] else 0, message=document["message"],
        notes=list(document.get("notes", [])), n_starts=document["n_starts"],
        start_costs=[], start_factor=None, engine=engine, model=model,
        method=document.get("fitting_method", FIT_METHODS["exact"]),
        rel_step=document.get("standard_error_relative_step"), solver_messages=None,
        engine_options={},
        seconds=_float(document["fit_seconds"]),
        tolerances=tuple(tolerances.get(k) for k in ("ftol", "xtol", "gtol", "max_nfev")),
        _problem=None, _u=None, source=str(path))
