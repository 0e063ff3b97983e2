"""What setup.toml says about the fit: start values ([start]; sigma_1 from
[sample]'s linear absorption), fitted parameters and starts ([fit]), engine,
model and bounds ([fit], [model], [bounds]), the set-up's uncertainties
([uncertainty]); and the small TOML files of parameter values (start values
given apart, known values)."""

import math
from pathlib import Path

import numpy as np

from . import _native
from .budget import SetupUncertainties
from .counts import check_count
from .engine import ENGINES, MAX_NODES, MODELS
from .errors import InputError
from .measurement import WEIGHTS, FitOptions, InputFile
from .parameters import (COUNT, CROSS_SECTIONS, FIT_NAMES, FOCUS, NAMES, OPTICAL_NAMES,
                         OPTICAL_PARAMETERS, SIGNED_NAMES)
from .setup_file import (BOUNDS_TABLE, NO_SCHEME_TIME, UNCERTAINTY_TABLE, _is_number, _number,
                         _table, _without_rate_scheme, load_toml)


# A choice among `allowed` from table[key], or None when absent.
def _choice(table, key, allowed, where):
    value = table.get(key)
    if value is not None and value not in allowed:
        raise InputError(f"{where}: {key} must be one of {', '.join(map(repr, allowed))}, "
                          f"got {value!r}")
    return value


# The [min, max] pairs of the [bounds] table.
def _bounds(table, where):
    bounds = {}
    for name, pair in table.items():
        if name not in FIT_NAMES:
            raise InputError(f"{where} [bounds]: unknown parameter {name!r}; the parameters are "
                              + ", ".join(FIT_NAMES))
        if (not isinstance(pair, list) or len(pair) != 2
                or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                           for v in pair)):
            raise InputError(f"{where} [bounds]: {name} must be [min, max], got {pair!r}")
        low, high = float(pair[0]), float(pair[1])
        if math.isnan(low) or math.isnan(high) or low >= high:
            raise InputError(f"{where} [bounds]: {name} needs min < max, got {pair!r}")
        if name != FOCUS and low < 0.0:
            raise InputError(f"{where} [bounds]: {name} min must be at least 0 (cross-sections "
                              f"and time constants are positive), got {pair[0]!r}")
        bounds[name] = (low, high)
    return bounds


# The engine, model, focus, weights and bounds settings from the parsed
# setup.toml (its tables already checked for unknown keys).
def read_fit_options(doc, where):
    model = doc.get("model") or {}
    fit = doc.get("fit") or {}
    nodes = {}
    for key in ("radial_points", "intensity_points"):
        value = model.get(key)
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                                  or not 1 <= value <= MAX_NODES):
            raise InputError(f"{where} [model]: {key} must be an integer from 1 to {MAX_NODES}, "
                             f"got {value!r}")
        nodes[key] = value
    flags = {}
    for key in ("fit_focus", "force"):
        flags[key] = fit.get(key, False)
        if not isinstance(flags[key], bool):
            raise InputError(f"{where} [fit]: {key} must be true or false, got {flags[key]!r}")
    focus_mm = fit.get("focus_mm")
    if focus_mm is not None and not _is_number(focus_mm):
        raise InputError(f"{where} [fit]: focus_mm must be a finite number (mm), got "
                          f"{focus_mm!r}")
    bounds_table = doc.get(BOUNDS_TABLE, {})
    if not isinstance(bounds_table, dict):
        raise InputError(f"{where}: [bounds] must be a table")
    return FitOptions(
        model=_choice(model, "variant", MODELS, f"{where} [model]"),
        radial_points=nodes["radial_points"],
        intensity_points=nodes["intensity_points"],
        engine=_choice(fit, "engine", ENGINES, f"{where} [fit]"),
        fit_focus=flags["fit_focus"],
        weights=_choice(fit, "weights", WEIGHTS, f"{where} [fit]"),
        force=flags["force"],
        focus_mm=None if focus_mm is None else float(focus_mm),
        bounds=_bounds(bounds_table, where),
    )


# The model a fit or simulation runs: the command line's choice, else [model]
# variant, else the energy model. Slice counts [model] leaves out take the
# model's defaults (the established model's: 10 time and 5 depth slices).
def resolve_model(chosen, options, setup, directory):
    return chosen or options.model or MODELS[0]


# Starts of the multi-start fit when [fit] does not say (the module's default).
N_STARTS_DEFAULT = _native.N_STARTS_DEFAULT


# Units of the eight parameters: cross-sections in cm^2, time constants in s.
UNITS = ("cm^2",) * CROSS_SECTIONS + ("s",) * (COUNT - CROSS_SECTIONS)


# The eight parameter values of [start], each replaced by the value of
# `overrides` (name -> value, read from the file `overrides_path`) where
# that has one; cross-sections may be 0, time constants must be positive.
def read_start(doc, where, overrides=None, overrides_path=None):
    overrides = overrides or {}
    table = _table(doc, "start", where, required=overrides_path is None)
    if _without_rate_scheme(doc) and not any(name in overrides for name in NAMES):
        return np.array([0.0] * CROSS_SECTIONS + [NO_SCHEME_TIME] * (COUNT - CROSS_SECTIONS))
    values = []
    for i, (name, unit) in enumerate(zip(NAMES, UNITS)):
        if name in overrides:
            source, origin = overrides, str(overrides_path)
        else:
            source, origin = table, f"{where} [start]"
        if name not in source and overrides_path is not None:
            raise InputError(f"{where}: [start] has no {name} ({unit}) and {overrides_path} "
                             "does not give it either")
        values.append(_number(source, name, origin, unit, allow_zero=i < CROSS_SECTIONS))
    return np.array(values, dtype=np.float64)


# From [start] and [fit]: the start vector of the eight parameters, the fitted
# names, the number of starts and the optical parameters' start values.
def read_fit(doc, where):
    start = read_start(doc, where)
    fit = _table(doc, "fit", where)
    names = fit.get("parameters")
    if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
        raise InputError(f"{where}: [fit] parameters must be a non-empty list of parameter "
                         f"names ({', '.join(NAMES)})")
    optics = read_optics(doc, where)
    for name in names:
        if name not in NAMES + OPTICAL_NAMES:
            raise InputError(f"{where}: [fit] parameters: unknown parameter {name!r}; the "
                             f"parameters are {', '.join(NAMES + OPTICAL_NAMES)}")
        if names.count(name) > 1:
            raise InputError(f"{where}: [fit] parameters names {name} twice")
        if name in OPTICAL_NAMES and name not in optics:
            raise InputError(f"{where}: [fit] parameters: {name} is fitted and needs a start "
                             "value in [start]")
        value = optics[name] if name in OPTICAL_NAMES else start[NAMES.index(name)]
        if value == 0.0:
            raise InputError(f"{where}: [start] {name} is fitted and must not be 0 (the starts "
                             "scale it)")
    n_starts = check_count("n_starts", fit.get("n_starts", N_STARTS_DEFAULT),
                           f"{where} [fit]: n_starts")
    return start, tuple(names), n_starts, optics


# The optical parameters [start] gives (beta in m/W, at least 0; n2 in
# m^2/W and the refractive cross-sections in cm^2, of either sign).
def read_optics(doc, where):
    table = doc.get("start") or {}
    optics = {}
    for parameter in OPTICAL_PARAMETERS:
        name = parameter.name
        if name not in table:
            continue
        value = table[name]
        if (isinstance(value, bool) or not isinstance(value, (int, float))
                or not math.isfinite(value)):
            raise InputError(f"{where} [start]: {name} must be a finite number "
                             f"({parameter.unit}), got {value!r}")
        if name not in SIGNED_NAMES and value < 0:
            raise InputError(f"{where} [start]: {name} must be at least 0 ({parameter.unit}), "
                             f"got {value!r}")
        optics[name] = float(value)
    return optics


# sigma_1 from the linear absorption that [sample] gives (decadic absorbance
# over the sample, or linear transmittance), holding it in the fit: the start
# vector with sigma_1 set and the record of where it came from; (start, None)
# when [sample] gives neither.
def _sigma_1_from_absorption(doc, setup, start, fit_names, where):
    sample = doc.get("sample", {})
    given = [key for key in ("absorbance", "linear_transmittance") if key in sample]
    if not given:
        return start, None
    where = f"{where} [sample]"
    if len(given) > 1:
        raise InputError(f"{where}: give absorbance or linear_transmittance, not both")
    key = given[0]
    if key == "absorbance":
        value = _number(sample, key, where, "decadic, over sample_width")
        alpha = value * math.log(10.0) / setup.sample_width
    else:
        value = _number(sample, key, where, "fraction")
        if value >= 1.0:
            raise InputError(f"{where}: linear_transmittance must lie between 0 and 1, got "
                             f"{value!r}")
        alpha = -math.log(value) / setup.sample_width
    if "sigma_1" in fit_names:
        raise InputError(f"{where}: {key} sets sigma_1 and holds it; remove sigma_1 from [fit] "
                         "parameters (or the absorption from [sample])")
    populations = setup.populations
    if populations[0] <= 0.0:
        raise InputError(f"{where}: {key} gives sigma_1 only with molecules in level 1 "
                         "(populations[0] > 0)")
    # The excited levels populated before the pulse absorb too.
    excited = start[1] * populations[1] + start[2] * populations[3]
    sigma_1 = (alpha - excited) / populations[0]
    if not sigma_1 > 0.0:
        raise InputError(f"{where}: {key} = {value!r} is less than the excited levels absorb "
                         "before the pulse; check it and the populations")
    start = start.copy()
    start[0] = sigma_1
    return start, {"from": key, "value": value, "sigma_1": sigma_1,
                   "alpha_cm-1": alpha}


# The [uncertainty] table, checked (None when absent): the set-up quantities'
# uncertainties of the error budget; a held sigma_1 from [sample] absorbance
# or linear_transmittance follows the quantities it was computed from.
def read_uncertainties(doc, where, curves, sigma_1_from, fit_names):
    table = _table(doc, UNCERTAINTY_TABLE, where, required=False)
    if not table:
        return None
    label = f"{where} [{UNCERTAINTY_TABLE}] "
    absorption = None if sigma_1_from is None else sigma_1_from["alpha_cm-1"]
    try:
        uncertainties = SetupUncertainties.of(dict(table), label, absorption)
    except ValueError as error:
        raise InputError(str(error)) from None
    energies = uncertainties.entries.get("pulse_energy")
    if isinstance(energies, tuple) and len(energies) != curves:
        raise InputError(f"{label}pulse_energy lists {len(energies)} uncertainties for {curves} "
                         "curves: give one per [[curve]], or one number for all")
    if "absorbance" in uncertainties.entries and sigma_1_from is None:
        raise InputError(f"{label}absorbance: [sample] gives no absorbance or "
                         "linear_transmittance, so the absorbance does not enter the fit")
    return uncertainties


# The key of a known focus position (mm, stage coordinates) in a truth file.
TRUTH_FOCUS = "focus_mm"


# Parameter values from a small TOML file (name = value) and the file's record;
# `extra` names keys beyond the parameters (the eight and the optical ones)
# that the file may hold.
def read_parameter_file(path, role, extra=()):
    path = Path(path)
    doc, sha256 = load_toml(path)
    values = {}
    for name, value in doc.items():
        if name not in NAMES + OPTICAL_NAMES and name not in extra:
            raise InputError(f"{path}: unknown parameter {name!r}; the parameters are "
                             + ", ".join(NAMES + OPTICAL_NAMES + tuple(extra)))
        if (isinstance(value, bool) or not isinstance(value, (int, float))
                or not math.isfinite(value)):
            raise InputError(f"{path}: {name} must be a finite number, got {value!r}")
        values[name] = float(value)
    return values, InputFile(role, path, sha256)


# Known parameter values from a small TOML file (name = value), for comparison.
def read_truth(path):
    return read_parameter_file(path, "truth", (TRUTH_FOCUS,))[0]

