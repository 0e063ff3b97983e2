"""The parameter table and the JSON document of a fit."""

import math

from .files import write_json
from .files import write_text as write_file_text
from .parameters import PARAMETERS


# A number for JSON: non-finite values become null (JSON has no NaN or infinity).
def _json_number(value):
    value = float(value)
    return value if math.isfinite(value) else None


# One row per parameter: start, fitted value, standard error, status, known value.
def parameter_rows(measurement, outcome, uncertainty, truth=None):
    truth = truth or {}
    errors = dict(zip(measurement.fit_names, uncertainty.standard_errors))
    rows = []
    for index, parameter in enumerate(PARAMETERS):
        fitted = parameter.name in errors
        rows.append(dict(
            name=parameter.name, unit=parameter.unit, meaning=parameter.meaning,
            start=float(measurement.start[index]), fitted_value=float(outcome.fitted[index]),
            standard_error=float(errors[parameter.name]) if fitted else None,
            fitted=fitted, true=truth.get(parameter.name)))
    return rows


# Text cell of a number, or "-" when there is none.
def _cell(value, number_format):
    return "-" if value is None else format(value, number_format)


# Standard error relative to the value, as a percentage cell.
def _relative(error, value):
    if error is None or value == 0.0 or not math.isfinite(error):
        return "-" if error is None else "inf"
    percent = 100.0 * error / abs(value)
    return f"{percent:.0f}%" if percent >= 10.0 else f"{percent:.2g}%"


# Deviation of the fitted value from the known one, in per cent and in standard errors.
def _deviation(row):
    true, value, error = row["true"], row["fitted_value"], row["standard_error"]
    if true is None or not row["fitted"]:
        return "-"
    percent = f"{100.0 * (value - true) / true:+.1f}%" if true != 0.0 else "-"
    if error and math.isfinite(error):
        return f"{percent} ({(value - true) / error:+.1f} se)"
    return percent


# The table as aligned text lines.
def format_table(rows):
    with_truth = any(row["true"] is not None for row in rows)
    header = ["parameter", "unit", "start", "fitted", "std. error", "rel.", "status"]
    if with_truth:
        header += ["true", "fitted - true"]
    lines = [header]
    for row in rows:
        cells = [row["name"], row["unit"], _cell(row["start"], ".4e"),
                 _cell(row["fitted_value"], ".4e"), _cell(row["standard_error"], ".2e"),
                 _relative(row["standard_error"], row["fitted_value"]),
                 "fitted" if row["fitted"] else "fixed"]
        if with_truth:
            cells += [_cell(row["true"], ".4e"), _deviation(row)]
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
    return [_json_list(v) if getattr(v, "ndim", 0) else _json_number(v) for v in values]


# The data and model of each curve for the result document.
def _curve_entries(measurement, outcome, curves):
    entries = []
    for k, curve in enumerate(measurement.curves):
        entry = {"file": curve.file, "pulse_energy_J": curve.pulse_energy,
                 "columns": list(curve.columns), "units": curve.units,
                 "skipped_lines": [{"line": number, "text": text}
                                   for number, text in curve.skipped],
                 "positions_mm": _json_list(curve.positions),
                 "transmittance": _json_list(curve.transmittance),
                 "standard_deviation": None if curve.sigma is None else _json_list(curve.sigma)}
        if curves is not None:
            line_positions, line_values = curves.lines[k]
            entry.update({
                "centred_positions_mm": _json_list(curves.centred_positions[k]),
                "model": _json_list(curves.at_data[k]),
                "model_line": {"positions_mm": _json_list(line_positions),
                               "transmittance": _json_list(line_values)},
            })
        entry["residuals"] = _json_list(outcome.residuals[k])
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
# tarvo.provenance.provenance; findings are the plausibility warnings;
# curves (tarvo.fit_curves.FitCurves) adds the model at the data and the
# drawn model curves to every curve's entry.
def result_document(measurement, outcome, uncertainty, rows, figure_name, rel_step, *,
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
             "start": row["start"], "value": _json_number(row["fitted_value"]),
             "standard_error": None if row["standard_error"] is None
             else _json_number(row["standard_error"]),
             "fitted": row["fitted"], "true": row["true"]}
            for row in rows
        ],
        "fit_error": _json_number(outcome.error),
        "chi2": _json_number(uncertainty.chi2),
        "degrees_of_freedom": uncertainty.degrees_of_freedom,
        "reduced_chi2": _json_number(uncertainty.reduced_chi2),
        "covariance": {
            "parameters": list(measurement.fit_names),
            "matrix": [[_json_number(v) for v in line] for line in uncertainty.covariance],
        },
        "correlation": [[_json_number(v) for v in line] for line in uncertainty.correlation],
        "standard_error_relative_step": rel_step,
        "centre_mm": outcome.centre,
        "n_starts": outcome.n_starts,
        "fit_seconds": round(outcome.seconds, 3),
        "curves": _curve_entries(measurement, outcome, curves),
        "figure": figure_name,
    }
    return document


# Write the document as indented JSON (atomically); its SHA-256.
def write_result(path, document):
    return write_json(path, document)


# Write a text file (a set-up, a curve table, a parameter file) in UTF-8, atomically.
def write_text(path, text):
    return write_file_text(path, text)
