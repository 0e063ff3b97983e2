"""The parameter table and the JSON document of a fit."""

import math
from dataclasses import dataclass

import numpy as np

from .engine import model_defaults
from .files import (json_number, number_cell, percent_text, write_json,
                    write_text as write_file_text)
from .parameters import FIT_NAMES, FOCUS, OPTICAL_PARAMETERS, PARAMETERS, POSITIVE_NAMES
from .uncertainty import Uncertainty


# The fitted model of every curve, at the data and on the drawing grid, and
# the data as fitted (normalised as the model is); one array per curve.
@dataclass(frozen=True)
class FitCurves:
    centred_positions: tuple   # mm relative to the focus
    at_data: tuple             # model at the data positions, as the fit computed it
    lines: tuple               # (positions in mm, model values), ascending
    data: tuple = None         # the measured transmittance as fitted
    sigma: tuple = None        # its standard deviations as fitted, or None

    @classmethod
    def of(cls, result):
        """The curves of a tarvo.FitResult."""
        own = [result.curve(k) for k in range(len(result.pulse_energy))]
        return cls(tuple(x - result.focus for x, *_ in own), tuple(c[3] for c in own),
                   tuple(result.model_line(k) for k in range(len(result.pulse_energy))),
                   tuple(c[1] for c in own),
                   None if result.sigma is None else tuple(c[2] for c in own))


# One row per parameter: start, fitted value, standard error, known value, and
# for a fitted one its relative error and status as the identifiability found
# them (`identifiability`; without it, the standard error over the value, and
# "fitted"). The optical parameters follow where the set-up gives them.
def parameter_rows(measurement, result, uncertainty, truth=None, identifiability=None):
    truth = truth or {}
    errors = dict(zip(measurement.fit_names, uncertainty.standard_errors))
    optics = measurement.optics or {}
    entries = [(parameter, float(measurement.start[index]), float(result.spec_pars[index]))
               for index, parameter in enumerate(PARAMETERS)]
    entries += [(parameter, float(optics[parameter.name]),
                 float((result.optics or {}).get(parameter.name, optics[parameter.name])))
                for parameter in OPTICAL_PARAMETERS if parameter.name in optics]
    rows = []
    for parameter, start, value in entries:
        name = parameter.name
        fitted = name in errors
        error = float(errors[name]) if fitted else None
        judged = fitted and identifiability is not None and name in identifiability.status
        if judged:
            relative = identifiability.errors[name]
        elif fitted:
            relative = error / abs(value) if value != 0.0 and math.isfinite(error) else math.inf
        else:
            relative = None
        rows.append(dict(
            name=name, unit=parameter.unit, meaning=parameter.meaning, start=start,
            fitted_value=value, standard_error=error, fitted=fitted, true=truth.get(name),
            relative_error=relative,
            status=identifiability.status[name] if judged else "fitted" if fitted else "fixed",
            status_from=identifiability.method_of(name) if judged else None))
    return rows


# The literature's units of the optical parameters: beta in cm/GW, n2 in cm^2/W.
LITERATURE_UNITS = {"beta": ("cm/GW", 1e11), "n2": ("cm^2/W", 1e4)}


# Lines giving beta and n2 in the literature's units, with their standard errors.
def literature_lines(rows):
    lines = []
    for row in rows:
        if row["name"] not in LITERATURE_UNITS:
            continue
        unit, factor = LITERATURE_UNITS[row["name"]]
        error = shown_error(row)
        text = f"{row['name']} = {row['fitted_value'] * factor:.4g} {unit}"
        if error is not None and math.isfinite(error):
            text += f" +/- {error * factor:.2g}"
        lines.append(text + ("" if row["fitted"] else " (fixed)"))
    return lines


# The standard error the table shows: the one its relative error and status
# come from (a profile's, where the profile judged the parameter, else the
# linearised one), so that no cell of a row contradicts another. The error of
# a positive parameter is relative; of the others (the focus in mm, the
# signed optical ones) in their own units.
def shown_error(row):
    return profile_error(row["name"], row["fitted_value"], row.get("relative_error"),
                         row.get("status_from"), row["standard_error"])


# The standard error of parameter `name` at `value` that its identifiability
# error (`relative`, from the method `status_from`) means; `standard_error`
# where the linearised errors judged it.
def profile_error(name, value, relative, status_from, standard_error):
    if status_from != "profile" or relative is None or not math.isfinite(relative):
        return standard_error
    positive = name.split("@")[0] in POSITIVE_NAMES
    return relative * abs(value) if positive else relative


# Deviation of the fitted value from the known one, in per cent and in standard errors.
def _deviation(row):
    true, value, error = row["true"], row["fitted_value"], shown_error(row)
    if true is None or not row["fitted"]:
        return "-"
    percent = f"{100.0 * (value - true) / true:+.1f}%" if true != 0.0 else "-"
    if error and math.isfinite(error):
        return f"{percent} ({(value - true) / error:+.1f} se)"
    return percent


# The table as aligned text lines: the relative error and the status of each
# fitted parameter are the identifiability's (one source for both).
def format_table(rows):
    with_truth = any(row["true"] is not None for row in rows)
    header = ["parameter", "unit", "start", "fitted", "std. error", "rel. error", "status"]
    if with_truth:
        header += ["true", "fitted - true"]
    lines = [header]
    for row in rows:
        relative = row.get("relative_error")
        status = row.get("status", "fitted" if row["fitted"] else "fixed")
        if row.get("status_from") == "profile":
            status += " (profile)"
        cells = [row["name"], row["unit"], number_cell(row["start"], ".4e"),
                 number_cell(row["fitted_value"], ".4e"), number_cell(shown_error(row), ".2e"),
                 "-" if relative is None else percent_text(relative), status]
        if with_truth:
            cells += [number_cell(row["true"], ".4e"), _deviation(row)]
        lines.append(cells)
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
            for line in lines]
    text.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(text)


# Correlation above which two fitted parameters are reported as hard to separate.
STRONG_CORRELATION = 0.95


# Lines naming pairs of fitted parameters the data hardly tell apart.
def correlation_notes(names, uncertainty, threshold=STRONG_CORRELATION):
    return strong_correlation_notes(names, uncertainty.correlation, threshold)


# The same from a correlation matrix (rows and columns in the order of `names`).
def strong_correlation_notes(names, correlation, threshold=STRONG_CORRELATION):
    notes = []
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            r = correlation[i, j]
            if math.isfinite(r) and abs(r) >= threshold:
                notes.append(f"{names[i]} and {names[j]} are strongly correlated (r = {r:+.3f}): "
                             "the data fix mainly a combination of the two; their separate "
                             "values are poorly determined")
    return notes


# Numbers of an array as JSON lists (nested like the array).
def _json_list(values):
    return [_json_list(v) if getattr(v, "ndim", 0) else json_number(v) for v in values]


# The data and model of each curve for the result document.
def _curve_entries(measurement, result, curves):
    entries = []
    for k, curve in enumerate(measurement.curves):
        entry = {"file": curve.file, "pulse_energy_J": curve.pulse_energy,
                 "aperture": curve.aperture, "divided_by_open": curve.divided_by_open,
                 "columns": list(curve.columns), "units": curve.units,
                 "skipped_lines": [{"line": number, "text": text}
                                   for number, text in curve.skipped],
                 "missing_points": [{"line": number, "text": text, "why": why}
                                    for number, text, why in curve.missing],
                 "positions_mm": _json_list(curve.positions),
                 "transmittance": _json_list(curve.transmittance),
                 "standard_deviation": None if curve.sigma is None else _json_list(curve.sigma)}
        if curves is not None and curves.data is not None:
            # The data as fitted: divided by their far field where the model is.
            entry["transmittance"] = _json_list(curves.data[k])
            if curves.sigma is not None:
                entry["standard_deviation"] = _json_list(curves.sigma[k])
        if curves is not None:
            line_positions, line_values = curves.lines[k]
            entry.update({
                "centred_positions_mm": _json_list(curves.centred_positions[k]),
                "model": _json_list(curves.at_data[k]),
                "model_line": {"positions_mm": _json_list(line_positions),
                               "transmittance": _json_list(line_values)},
            })
        entry["residuals"] = _json_list(result.curve(k)[4])
        entries.append(entry)
    return entries


# The lab quantities of a set-up (pulse FWHM, concentration) where it gave
# them, with how tau and the populations were derived from them.
def lab_quantities(setup):
    entries = {}
    if getattr(setup, "pulse_fwhm", None) is not None:
        entries["pulse_fwhm_s"] = setup.pulse_fwhm
        entries["tau_s_derived_as"] = "pulse_fwhm_s / (2 sqrt(ln 2))"
    if getattr(setup, "concentration", None) is not None:
        entries["concentration_mol_per_L"] = setup.concentration
        entries["populations_cm-3_derived_as"] = ("[concentration_mol_per_L * N_A / 1000, 0, 0, "
                                                  "0, 0] (every molecule in level 1)")
    return entries


# The whole result of a fit as a JSON-ready dict. engine and model name the
# fitting engine and model variant; provenance is the record of
# tarvo.files.provenance; findings are the plausibility warnings;
# curves (FitCurves) adds the model at the data and the
# drawn model curves to every curve's entry.
def result_document(measurement, result, uncertainty, rows, figure_name, rel_step, *,
                    engine="lsoda", model="established", provenance=None, findings=(),
                    curves=None):
    setup = measurement.setup
    document = {
        "tarvo_version": None if provenance is None else provenance["tarvo_version"],
        "engine": engine,
        "model": model,
        "provenance": provenance,
        "warnings": [finding.as_dict() for finding in findings],
        "directory": str(measurement.directory),
        **measurement.normalisation.as_dict(),
        "data": measurement.data_format.as_dict(),
        "sigma_1_from": measurement.sigma_1_from,
        "setup": {
            "wavelength_m": setup.wavelength, "w0_m": setup.w0, "M2": setup.M2,
            "tau_s": setup.tau, "sample_width_cm": setup.sample_width,
            "populations_cm-3": list(setup.populations), "t_slices": setup.t_slices,
            "z_slices": setup.z_slices, "is_sa": measurement.is_sa,
            **lab_quantities(setup),
        },
        "parameters": [
            {"name": row["name"], "unit": row["unit"], "meaning": row["meaning"],
             "start": row["start"], "value": json_number(row["fitted_value"]),
             "standard_error": None if row["standard_error"] is None
             else json_number(row["standard_error"]),
             "fitted": row["fitted"], "true": row["true"],
             "relative_error": None if row.get("relative_error") is None
             else json_number(row["relative_error"]),
             "status": row.get("status"), "status_from": row.get("status_from")}
            for row in rows
        ],
        "fit_error": json_number(result.fit_error),
        "chi2": json_number(uncertainty.chi2),
        "degrees_of_freedom": uncertainty.degrees_of_freedom,
        "reduced_chi2": json_number(uncertainty.reduced_chi2),
        "covariance": {
            "parameters": list(measurement.fit_names),
            "matrix": [[json_number(v) for v in line] for line in uncertainty.covariance],
        },
        "correlation": [[json_number(v) for v in line] for line in uncertainty.correlation],
        "standard_error_relative_step": rel_step,
        "centre_mm": result.focus,
        "n_starts": result.n_starts,
        "fit_seconds": round(result.seconds, 3),
        "curves": _curve_entries(measurement, result, curves),
        "figure": figure_name,
    }
    return document


# Write the document as indented JSON (atomically); its SHA-256.
def write_result(path, document):
    return write_json(path, document)


# Write a text file (a set-up, a curve table, a parameter file) in UTF-8, atomically.
def write_text(path, text):
    return write_file_text(path, text)


# The standard errors, covariance and chi^2 of a FitResult in the order of
# [fit] parameters, as the parameter table and the document read them.
def table_uncertainty(measurement, result):
    order = [result.var_names.index(name) for name in measurement.fit_names]
    errors = np.array([result.params[name].stderr for name in measurement.fit_names])
    return Uncertainty(errors, result.covar[np.ix_(order, order)], result.chisqr, result.nfree)


# The keys of the result document that come from the FitResult beyond the
# common ones.
def _result_keys(result):
    focus = result.params[FOCUS]
    return {
        "converged": bool(result.success),
        "message": result.message,
        "nfev": result.nfev,
        "aic": json_number(result.aic),
        "bic": json_number(result.bic),
        "weights": result.weighting,
        "residual_rms": json_number(result.rms),
        "fitting_method": result.method,
        "standard_errors_from": "exact Jacobian" if result.rel_step is None
        else f"central differences (relative step {result.rel_step:g})",
        "focus_mm": {"value": focus.value, "fitted": focus.vary,
                     "standard_error": json_number(focus.stderr) if focus.vary else None,
                     "start": focus.init_value},
        "bounds": {name: [json_number(p.min), json_number(p.max)] for name, p in result.params.items()
                   if p.vary},
        "constraints": [{"name": name, "expr": p.expr, "value": json_number(p.value),
                         "standard_error": json_number(p.stderr)}
                        for name, p in result.params.items() if p.expr],
        "extra_parameters": [{"name": name, "value": json_number(p.value), "fitted": p.vary,
                              "standard_error": json_number(p.stderr) if p.vary else None,
                              "start": json_number(p.init_value)}
                             for name, p in result.params.items()
                             if name not in FIT_NAMES and not p.expr],
        "scale_covar": bool(result.scale_covar),
        "tolerances": dict(zip(("ftol", "xtol", "gtol", "max_nfev"), result.tolerances)),
        "model_settings": model_settings(result),
        "notes": list(result.notes),
        "identifiability": None if result.identifiability is None
        else result.identifiability.as_dict(),
        "error_budget": None if getattr(result, "budget", None) is None
        else result.budget.as_dict(),
        "model_error": None if getattr(result, "model_error", None) is None
        else result.model_error.as_dict(),
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
def model_settings(result):
    settings = {"engine": result.engine, "model": result.model,
                "t_slices": result.grid["t_slices"], "z_slices": result.grid["z_slices"]}
    if result.model == "energy":
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


# The covariance and correlation of every varied parameter of an exact fit,
# the focus included when it was fitted: model parameters in `order`, then
# the focus.
def full_covariance(result, order):
    names = [name for name in order if name in result.var_names]
    names += [name for name in result.var_names if name not in names]
    index = [result.var_names.index(name) for name in names]
    covariance = np.asarray(result.covar)[np.ix_(index, index)]
    correlation = np.asarray(result.correlation)[np.ix_(index, index)]
    return ({"parameters": names, "matrix": [[json_number(v) for v in row] for row in covariance]},
            [[json_number(v) for v in row] for row in correlation])


# The result document of a fit: `tarvo fit` and FitResult.save both write it.
def fit_document(measurement, result, uncertainty, rows, curves, figure_name,
                 record, findings=()):
    document = result_document(measurement, result, uncertainty, rows, figure_name,
                               getattr(result, "rel_step", None), engine=result.engine,
                               model=result.model, provenance=record, findings=findings,
                               curves=curves)
    document["setup"].update(result.grid if result.model == "energy"
                             else {k: result.grid[k] for k in ("t_slices", "z_slices")})
    document["covariance"], document["correlation"] = full_covariance(
        result, measurement.fit_names)
    identifiability = result.identifiability
    status = identifiability.status if identifiability is not None else {}
    for entry in document["parameters"]:
        entry["determined"] = (entry["name"] not in identifiability.undetermined
                               if entry["name"] in status else None)
    return insert_after(document, "fit_seconds", _result_keys(result))


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
# `truth` (the known values, focus_mm among them) adds the known focus.
def focus_line(result, truth=None):
    focus = result.params[FOCUS]
    true = (truth or {}).get("focus_mm")
    if focus.vary:
        known = ""
        if true is not None:
            known = f" (true {true:g} mm"
            if focus.stderr and math.isfinite(focus.stderr):
                known += f", {(focus.value - true) / focus.stderr:+.1f} se"
            known += ")"
        return f"focus fitted at {focus.value:g} +/- {focus.stderr:.2g} mm{known}"
    if true is not None:
        return f"focus held at {focus.value:g} mm (true {true:g} mm)"
    if focus.value != result.centre:
        return f"focus (set in setup.toml) at {focus.value:g} mm"
    return f"focus (extreme of the data) at {focus.value:g} mm"


# The classic numbers of a closed-aperture scan of a thin Kerr medium:
# Delta T_pv = 0.406 (1 - S)^0.25 |<Delta Phi_0>| for small phases, the peak
# and valley about 1.7 Rayleigh ranges apart, the peak first for n2 < 0.
PEAK_VALLEY_FACTOR = 0.406


# Per closed curve its classic numbers, read off the fitted model curve:
# the peak-valley difference, their separation in Rayleigh ranges, and the
# on-axis phase they imply (averaged over the pulse, and at its peak for a
# Gaussian pulse, sqrt(2) times more). Two-photon absorption deepens the
# valley, so these are the field's usual reading, not the fit's answer.
def closed_aperture_numbers(result, files, rayleigh_mm):
    aperture = getattr(result, "aperture", None)
    divided = getattr(result, "divided_by_open", None) or [False] * len(files)
    numbers = []
    for k, S in enumerate(aperture or ()):
        if S >= 1.0:
            continue
        positions, values = result.model_line(k)
        peak, valley = int(np.argmax(values)), int(np.argmin(values))
        difference = float(values[peak] - values[valley])
        sign = -1.0 if positions[peak] < positions[valley] else 1.0
        mean_phase = sign * difference / (PEAK_VALLEY_FACTOR * (1.0 - S) ** 0.25)
        numbers.append({"file": files[k], "aperture": S, "divided_by_open": bool(divided[k]),
                        "delta_T_pv": difference,
                        "peak_valley_separation_z_R":
                            float(abs(positions[peak] - positions[valley]) / rayleigh_mm),
                        "mean_on_axis_phase_rad": mean_phase,
                        "peak_on_axis_phase_rad": mean_phase * math.sqrt(2.0)})
    return numbers


# One line per closed curve of its classic numbers.
def closed_aperture_lines(numbers):
    return [f"closed curve {n['file']} (S = {n['aperture']:g}"
            + (", divided by the open one" if n["divided_by_open"] else "")
            + f"): Delta T_pv = {n['delta_T_pv']:.4g}, peak-valley separation "
            f"{n['peak_valley_separation_z_R']:.3g} z_R, <Delta Phi_0> = "
            f"{n['mean_on_axis_phase_rad']:+.3g} rad (Delta Phi_0 = "
            f"{n['peak_on_axis_phase_rad']:+.3g} rad at the pulse peak)" for n in numbers]


# Lines saying what the open curves alone and the closed curves alone would
# determine, beside what both together do.
def aperture_lines(alone, together):
    if not alone:
        return []
    lines = []
    for kind in ("open", "closed"):
        left = [name for name, status in alone[kind].items()
                if status != "determined" and together.get(name) == "determined"]
        lines.append(f"the {kind} curves alone: "
                     + ", ".join(f"{name} {status}" for name, status in alone[kind].items())
                     + (f" (together they determine {', '.join(left)})" if left else ""))
    return lines
