"""A FitResult's JSON file, the format of `tarvo fit`'s fit-result.json:
writing it (FitResult.save) and reading it back, every value checked
(FitResult.load)."""

import json
import math
from pathlib import Path

import numpy as np

from .budget import ErrorBudget
from .errors import InputError
from .files import provenance, read_input_bytes
from .measurement import Curve, DataFormat, FitOptions, Measurement
from .model_setup import Setup
from .normalisation import Normalisation
from .parameters import FOCUS, NAMES, OPTICAL_NAMES, Parameters, scan_centre
from .report import FitCurves, fit_document, parameter_rows, table_uncertainty, write_result
from .result_text import FIT_METHODS, WEIGHTING_TEXT
from .uncertainty import Identifiability, point_weights


# Key of the result file that marks a document written by FitResult.save.
SAVED_FROM = "tarvo.FitResult.save"

# Largest result file read (a bootstrap of many replicates lists them all).
MAX_RESULT_BYTES = 512 * 1024 * 1024

# A key that must be present.
_REQUIRED = object()


# Write a FitResult as the JSON result file of `tarvo fit`.
def save_result(result, path):
    write_result(Path(path), result_document_of(result))


# The document of `tarvo fit`'s result file for a FitResult.
def result_document_of(result):
    measurement = _measurement(result)
    uncertainty = table_uncertainty(measurement, result)
    rows = parameter_rows(measurement, result, uncertainty,
                          identifiability=result.identifiability)
    record = provenance([], ())
    record["command_line"] = SAVED_FROM
    document = fit_document(measurement, result, uncertainty, rows,
                            FitCurves.of(result), None, record)
    document["directory"] = None
    return document


# The measurement-shaped view of an API fit, for the shared document builder:
# the curves are named "curve 1", "curve 2", ... (they came from arrays).
def _measurement(result):
    model_setup = result.setup.shifted(t_slices=result.grid["t_slices"],
                                       z_slices=result.grid["z_slices"])
    aperture = getattr(result, "aperture", None) or [1.0] * len(result.pulse_energy)
    divided = getattr(result, "divided_by_open", None) or [False] * len(result.pulse_energy)
    curves = tuple(Curve(f"curve {k + 1}", float(energy), *result.curve(k)[:3],
                         aperture=float(aperture[k]), divided_by_open=bool(divided[k]))
                   for k, energy in enumerate(result.pulse_energy))

    # A parameter's start: where the fit started a fitted one, else its value.
    def start_of(name):
        p = result.params[name]
        return p.init_value if p.vary else p.value

    start = np.array([start_of(name) for name in NAMES], dtype=np.float64)
    optics = {name: float(start_of(name)) for name in OPTICAL_NAMES if name in result.params}
    names = tuple(name for name in result.var_names if name != FOCUS)
    return Measurement(None, model_setup, bool(result.is_sa), curves, start, names,
                       int(result.n_starts), (), FitOptions(fit_focus=FOCUS in result.var_names),
                       DataFormat(normalisation=result.normalisation), optics=optics or None)


# The fields of a FitResult (FitResult.load) from a result file written by
# `tarvo fit` (exact engine) or FitResult.save; ValueError, naming the key,
# when the file holds no such result or a malformed one.
def read_result_fields(path):
    path = Path(path)
    raw = read_input_bytes(path, MAX_RESULT_BYTES, "a fit result is at most a few megabytes")
    try:
        document = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise InputError(f"{path}: cannot read a fit result: {error}") from None
    return result_fields(document, path)


# The fields of a FitResult from a parsed result document (see
# read_result_fields); every key is checked as it is read, and the first
# malformed one is the one named.
def result_fields(document, path):
    if not isinstance(document, dict) or "parameters" not in document:
        raise InputError(f"{path}: not a tarvo fit result (no \"parameters\")")
    doc = DocumentFields(document, path)
    engine = document.get("engine")
    if not isinstance(engine, str) or engine not in FIT_METHODS or "focus_mm" not in document:
        raise InputError(f"{path}: a result of the {str(engine)[:20]!r} engine written by an "
                         "earlier version; FitResult.load reads results of tarvo.fit and tarvo fit "
                         "that record the focus (focus_mm): fit again")
    setup_doc = doc.table("setup")
    setup = _setup(setup_doc)
    model = doc.text("model", choices=("energy", "established"))
    grid = _grid(setup_doc, model)
    # Results written before the normalisations were named were shifted.
    try:
        normalisation = Normalisation(doc.text("normalisation", "shift"),
                                      doc.integer("far_field_points", 5, low=1))
    except (TypeError, ValueError) as error:
        raise InputError(f"{path}: normalisation: {error}") from None
    weighting = doc.text("weights")
    weights = next((mode for mode, text in WEIGHTING_TEXT.items() if text == weighting),
                   "established")
    params, focus, expressions = _parameters(doc)
    var_names, covar, correlation = _covariance(doc, params)
    curves = _curves(doc)
    is_sa = setup_doc.boolean("is_sa")
    fitted = _residual_fields(curves, is_sa, weights)
    return dict(
        params=params, var_names=var_names,
        values={name: p.value for name, p in params.items()},
        spec_pars=np.array([params[name].value for name in NAMES], dtype=np.float64),
        optics={name: params[name].value for name in OPTICAL_NAMES if name in params},
        focus=float(focus.value), expressions=expressions,
        init_values={name: params[name].init_value for name in var_names},
        covar=covar, correlation=correlation, nvarys=len(var_names),
        nfree=fitted["ndata"] - len(var_names), **curves, **fitted,
        weighting=weighting, weights=weights, setup=setup, normalisation=normalisation,
        findings=[], start_values={}, grid=grid, is_sa=is_sa,
        **_solver_fields(doc, curves["sigma"] is None), n_starts=doc.integer("n_starts", low=1),
        start_costs=[], start_factor=None, engine=engine, model=model,
        method=doc.text("fitting_method", FIT_METHODS["exact"]),
        solver_messages=None, engine_options={},
        seconds=doc.number("fit_seconds", None, null=True),
        _problem=None, _u=None, source=str(path))


# The set-up (the model's units) of the document's `setup` table.
def _setup(setup_doc):
    return Setup(populations=tuple(float(v) for v in setup_doc.numbers("populations_cm-3",
                                                                      size=5)),
                 sample_width=setup_doc.number("sample_width_cm"), tau=setup_doc.number("tau_s"),
                 wavelength=setup_doc.number("wavelength_m"), w0=setup_doc.number("w0_m"),
                 M2=setup_doc.number("M2"))


# The model's grid recorded in the `setup` table (the established model has
# no radial or intensity grid).
def _grid(setup_doc, model):
    grid = {"t_slices": setup_doc.integer("t_slices", low=1),
            "z_slices": setup_doc.integer("z_slices", low=1),
            "radial_points": setup_doc.integer("radial_points", 0),
            "intensity_points": setup_doc.integer("intensity_points", 0)}
    return grid if model == "energy" else {k: grid[k] for k in ("t_slices", "z_slices")}


# The document's parameters: the model's, the focus, those outside the model,
# then the constrained and derived ones; the fitted ones with their standard
# errors (their correlations come with the covariance). Returns the
# Parameters, the focus parameter and the expressions by name.
def _parameters(doc):
    bounds_doc = doc.table("bounds", {})
    bounds = {name: bounds_doc.numbers(name, null=True, size=2) for name in bounds_doc.data}
    params = Parameters()

    # Add the parameter of a table of the document to params.
    def add(entry, name, fitted):
        low, high = bounds.get(name, [math.nan, math.nan])
        value = entry.number("value")
        try:
            p = params.add(name, value, vary=fitted,
                           min=None if math.isnan(low) else low,
                           max=None if math.isnan(high) else high)
        except (TypeError, ValueError, KeyError) as error:
            raise InputError(f"{doc.path}: {entry.where}: {error}") from None
        p.init_value = entry.number("start", null=True)
        p.stderr = entry.number("standard_error", None, null=True) if fitted else None
        return p

    for entry in doc.entries("parameters"):
        add(entry, entry.text("name", choices=NAMES + OPTICAL_NAMES), entry.boolean("fitted"))
    missing = [name for name in NAMES if name not in params]
    if missing:
        raise InputError(f"{doc.path}: parameters has no entry of {', '.join(missing)}")
    focus_doc = doc.table("focus_mm")
    focus = add(focus_doc, FOCUS, focus_doc.boolean("fitted"))
    for entry in doc.entries("extra_parameters", []):
        add(entry, entry.text("name"), entry.boolean("fitted"))
    expressions = {}
    for entry in doc.entries("constraints", []):
        name, expr = entry.text("name"), entry.text("expr")
        value = entry.number("value", null=True)
        try:
            if name in params:
                params[name].set(expr=expr)
            else:
                params.add(name, value, vary=False, expr=expr)
        except (TypeError, ValueError, KeyError, SyntaxError) as error:
            raise InputError(f"{doc.path}: {entry.where}: {error}") from None
        params[name].stderr = entry.number("standard_error", None, null=True)
        expressions[name] = expr
    return params, focus, expressions


# The names of the fitted parameters, their covariance and correlation
# matrices; each fitted parameter gets its correlations with the others.
def _covariance(doc, params):
    covariance_doc = doc.table("covariance")
    listed = covariance_doc.get("parameters")
    var_names = [entry for entry in listed if isinstance(entry, str) and entry in params] \
        if isinstance(listed, list) else None
    if var_names is None or len(var_names) != len(listed):
        covariance_doc.fail("parameters", "a list of the parameters' names", listed)
    size = len(var_names)
    covar = np.array(covariance_doc.matrix("matrix", size), dtype=np.float64).reshape(size, size)
    correlation = np.array(doc.matrix("correlation", size), dtype=np.float64).reshape(covar.shape)
    for k, name in enumerate(var_names):
        params[name].correl = {other: float(correlation[k, j])
                               for j, other in enumerate(var_names) if j != k}
    return var_names, covar, correlation


# The curves as the result holds them (positions, data, model and standard
# deviations as rows padded with NaN where curves differ in length; pulse
# energies; apertures).
def _curves(doc):
    curves = doc.entries("curves")
    if not curves:
        doc.fail("curves", "a list of curves", [])
    rows = [c.numbers("positions_mm") for c in curves]
    sizes = [len(row) for row in rows]
    if min(sizes) < 1:
        doc.fail("curves", "curves of at least one point", [])

    # Every curve's list under `key`, as long as its positions, as padded rows.
    def padded(key):
        return nan_padded([c.numbers(key, size=n) for c, n in zip(curves, sizes)])

    data, best_fit = padded("transmittance"), padded("model")
    sigma = padded("standard_deviation") if curves[0].get("standard_deviation") is not None \
        else None
    if sigma is not None and not np.all(sigma[~np.isnan(sigma)] > 0.0):
        doc.fail("curves", "standard deviations above 0", "a standard deviation of 0 or less")
    energies = np.array([c.number("pulse_energy_J") for c in curves], dtype=np.float64)
    aperture, divided = _apertures(curves)
    return dict(positions=nan_padded(rows), data=data, best_fit=best_fit, sigma=sigma,
                pulse_energy=energies, aperture=aperture, divided_by_open=divided)


# What follows from the curves: the scan's centre, the residuals, the weighted
# ones the solver minimised, and the number of data points.
def _residual_fields(curves, is_sa, weights):
    positions, data, sigma = curves["positions"], curves["data"], curves["sigma"]
    residuals = data - curves["best_fit"]
    centre = scan_centre(positions, data, is_sa)
    # (NaN pads the rows of curves of different lengths: weighted at the centre, left out.)
    root_weights = 1.0 / sigma if sigma is not None else \
        np.sqrt(point_weights(np.nan_to_num(positions - centre))) if weights == "established" \
        else np.ones_like(positions)
    return dict(centre=centre, residual=(root_weights * residuals)[~np.isnan(data)],
                residuals=residuals, rms=float(np.sqrt(np.nanmean(residuals ** 2))),
                ndata=int(np.count_nonzero(~np.isnan(data))))


# The solver's settings, its outcome and the statistics the document records
# (scale_covar defaults to no sigma given).
def _solver_fields(doc, without_sigma):
    tolerances = doc.table("tolerances", {})
    tolerances = tuple(None if tolerances.get(k, None) is None else tolerances.number(k)
                       for k in ("ftol", "xtol", "gtol", "max_nfev"))
    rel_step = doc.get("standard_error_relative_step", None)
    rel_step = None if rel_step is None else doc.number("standard_error_relative_step")
    converged = doc.boolean("converged")
    return dict(
        tolerances=tolerances, rel_step=rel_step, chisqr=doc.number("chi2", null=True),
        fit_error=doc.number("fit_error", null=True),
        redchi=doc.number("reduced_chi2", null=True), aic=doc.number("aic", None, null=True),
        bic=doc.number("bic", None, null=True),
        identifiability=_record_of(doc, "identifiability", Identifiability),
        budget=_record_of(doc, "error_budget", ErrorBudget),
        scale_covar=doc.boolean("scale_covar", without_sigma),
        nfev=doc.integer("nfev"), success=converged,
        status=1 if converged else 0, message=doc.text("message"),
        notes=[note.data for note in _texts(doc, "notes")])


# Per curve the aperture's transmittance and whether the curve is divided by
# the open one; (None, None) where every curve is open (results written
# before the curves recorded their aperture are open-aperture ones).
def _apertures(curves):
    aperture, divided = [], []
    for curve in curves:
        S = curve.get("aperture", 1.0)
        if isinstance(S, bool) or not isinstance(S, (int, float)) or not 0.0 < S <= 1.0:
            curve.fail("aperture", "a number in (0, 1]", S)
        aperture.append(float(S))
        divided.append(curve.boolean("divided_by_open", False))
        if divided[-1] and S == 1.0:
            curve.fail("divided_by_open", "false for an open aperture (aperture 1)", True)
    if all(S == 1.0 for S in aperture):
        return None, None
    return aperture, divided


# The record under `key` (None when absent) read by `kind.from_dict`; a
# malformed one is a ValueError naming the key, as every other key's is.
def _record_of(doc, key, kind):
    record = doc.get(key, None)
    if record is None:
        return None
    try:
        return kind.from_dict(record)
    except (KeyError, TypeError, ValueError, AttributeError, IndexError):
        doc.fail(key, f"a {key.replace('_', ' ')} record as tarvo writes it", record)


# The strings of a list.
def _texts(doc, key):
    entries = doc.entries(key, [], tables=False)
    for entry in entries:
        if not isinstance(entry.data, str):
            doc.fail(key, "a list of strings", entry.data)
    return entries


# One row per curve, curves of different lengths padded with NaN.
def nan_padded(rows):
    rows = [np.asarray(row, dtype=np.float64) for row in rows]
    padded = np.full((len(rows), max(row.size for row in rows)), np.nan)
    for k, row in enumerate(rows):
        padded[k, :row.size] = row
    return padded


# A part of a result document read for FitResult.load: every access checks
# the value's type (and that numbers are finite) and names the key, such as
# setup.tau_s or curves[1].model, in its ValueError.
class DocumentFields:
    def __init__(self, data, path, where=""):
        self.data, self.path, self.where = data, path, where

    def _name(self, key):
        if isinstance(key, int):
            return f"{self.where}[{key}]"
        return f"{self.where}.{key}" if self.where else key

    # ValueError naming the key, what it must be and what it is.
    def fail(self, key, expected, value):
        shown = repr(value)
        shown = shown if len(shown) <= 40 else shown[:37] + "..."
        raise InputError(f"{self.path}: {self._name(key)} must be {expected}, got {shown}")

    def get(self, key, default=_REQUIRED):
        if isinstance(self.data, dict) and key in self.data:
            return self.data[key]
        if isinstance(self.data, list) and isinstance(key, int) and 0 <= key < len(self.data):
            return self.data[key]
        if default is _REQUIRED:
            raise InputError(f"{self.path}: {self._name(key)} is missing")
        return default

    def table(self, key, default=_REQUIRED):
        value = self.get(key, default)
        if not isinstance(value, dict):
            self.fail(key, "a table", value)
        return DocumentFields(value, self.path, self._name(key))

    # The entries of a list (tables where `tables`).
    def entries(self, key, default=_REQUIRED, tables=True):
        value = self.get(key, default)
        if not isinstance(value, list):
            self.fail(key, "a list", value)
        inner = DocumentFields(value, self.path, self._name(key))
        for k, item in enumerate(value):
            if tables and not isinstance(item, dict):
                inner.fail(k, "a table", item)
        return [DocumentFields(item, self.path, inner._name(k)) for k, item in enumerate(value)]

    # A finite number; None (JSON null) as NaN where `null` allows it.
    def number(self, key, default=_REQUIRED, null=False):
        value = self.get(key, default)
        return _finite(self, key, value, null)

    def integer(self, key, default=_REQUIRED, low=0):
        value = self.get(key, default)
        if isinstance(value, bool) or not isinstance(value, int) or value < low:
            self.fail(key, f"an integer of at least {low}", value)
        return value

    def boolean(self, key, default=_REQUIRED):
        value = self.get(key, default)
        if not isinstance(value, bool):
            self.fail(key, "true or false", value)
        return value

    def text(self, key, default=_REQUIRED, choices=None):
        value = self.get(key, default)
        if not isinstance(value, str) or (choices is not None and value not in choices):
            self.fail(key, "a string" if choices is None else
                      "one of " + ", ".join(map(repr, choices)), value)
        return value

    # A list of numbers (None as NaN where `null` allows it), of `size` if given.
    def numbers(self, key, default=_REQUIRED, null=False, size=None):
        value = self.get(key, default)
        if not isinstance(value, list) or (size is not None and len(value) != size):
            self.fail(key, "a list of numbers" if size is None else
                      f"a list of {size} numbers", value)
        inner = DocumentFields(value, self.path, self._name(key))
        return [_finite(inner, k, item, null) for k, item in enumerate(value)]

    # A square matrix of numbers (None as NaN) of `size` rows.
    def matrix(self, key, size):
        value = self.get(key)
        if not isinstance(value, list) or len(value) != size:
            self.fail(key, f"a list of {size} rows", value)
        inner = DocumentFields(value, self.path, self._name(key))
        return [inner.numbers(k, null=True, size=size) for k in range(size)]


# A JSON value as a finite float (None as NaN where `null` allows it).
def _finite(fields, key, value, null):
    if value is None and null:
        return math.nan
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            not math.isfinite(value) or abs(value) > 1e308:
        fields.fail(key, "a finite number" + (" or null" if null else ""), value)
    return float(value)
