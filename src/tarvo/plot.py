"""Figures: data and model curves of a fit (residuals below), and simulated curves."""

import math

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .files import tarvo_version, write_from
from .parameters import unit_of


# Figure file formats offered; matplotlib writes each from the same figure.
FIGURE_FORMATS = ("png", "svg", "pdf")

# SI prefixes for pulse energies in the legend, largest first.
ENERGY_PREFIXES = ((1.0, "J"), (1e-3, "mJ"), (1e-6, "\u00b5J"), (1e-9, "nJ"), (1e-12, "pJ"))

# Metadata without a creation date, so that the same figure gives the same
# file; the creator names the program.
_DATELESS = {"png": {}, "svg": {"Date": None}, "pdf": {"CreationDate": None}}


# A pulse energy in J as a short label, e.g. 5e-06 -> "5 µJ".
def energy_label(energy):
    for scale, unit in ENERGY_PREFIXES:
        if abs(energy) >= scale:
            return f"{energy / scale:.3g} {unit}"
    return f"{energy:.3g} J"


# Write a figure in the format its file name ends with (atomically, drawn
# in full before the file is touched); the SHA-256 of the file.
def _save(figure, path, dpi=120):
    suffix = str(path).rsplit(".", 1)[-1].lower()
    fmt = suffix if suffix in FIGURE_FORMATS else "png"
    metadata = dict(_DATELESS[fmt])
    metadata["Creator" if fmt != "png" else "Software"] = f"tarvo {tarvo_version()}"
    return write_from(path, lambda stream: figure.savefig(stream, dpi=dpi, format=fmt,
                                                          metadata=metadata))


# One curve of a fit figure: measured points (with their standard deviations
# or None), the drawn model line, the residuals and the curve's pulse energy.
def fit_curve_row(positions, data, sigma, line, model, residuals, energy, aperture=1.0,
                  divided=False):
    return dict(positions=positions, data=data, sigma=sigma, line=line, model=model,
                residuals=residuals, energy=energy, aperture=aperture, divided=divided)


# The legend label of a curve: its energy, and for a closed curve its aperture.
def curve_label(row):
    label = energy_label(row["energy"])
    if row.get("aperture", 1.0) < 1.0:
        label += f", closed S = {row['aperture']:g}" + (" / open" if row.get("divided") else "")
    return label


# Unicode superscripts for the exponents of the values box.
_SUPERSCRIPT = str.maketrans("-0123456789", "\u207b\u2070\u00b9\u00b2\u00b3\u2074\u2075\u2076"
                                            "\u2077\u2078\u2079")

# Units as the figure writes them.
_UNITS = {"cm^2": "cm\u00b2", "s": "s", "mm": "mm", "": ""}


# The smallest power of ten a value box scales by (10^-307 is a normal double).
SMALLEST_EXPONENT = -307
# An error beyond this many units of the value's power of ten is shown on its own.
MAX_ERROR_RATIO = 1e15


# "value ± error unit" with one shared power of ten, e.g. "(4.007 ± 0.010)×10⁻¹⁸ cm²".
def value_text(value, error, unit):
    unit = _UNITS.get(unit, unit)
    if error is None or not (math.isfinite(error) and math.isfinite(value)):
        return f"{value:.4g} {unit}".rstrip()
    exponent = 0 if value == 0 or 1e-3 <= abs(value) < 1e4 else int(f"{value:e}".split("e")[1])
    scale = 10.0 ** max(exponent, SMALLEST_EXPONENT)
    ratio = error / scale
    if exponent < SMALLEST_EXPONENT or not ratio < MAX_ERROR_RATIO:
        # A subnormal value (its power of ten underflows to 0), or an error
        # that dwarfs the value: each in its own power of ten.
        return f"{value:.4g} \u00b1 {error:.2g} {unit}".rstrip()
    digits = 0 if ratio == 0 else max(0, min(6, -int(f"{ratio:e}".split("e")[1]) + 1))
    body = f"{value / scale:.{digits}f} \u00b1 {error / scale:.{digits}f}"
    if exponent:
        body = f"({body})\u00d710{str(exponent).translate(_SUPERSCRIPT)}"
    return f"{body} {unit}".rstrip()


# Title of a fit figure from its set-up (a tarvo.Setup: the pulse's FWHM
# where the set-up gave it, else tau) and model.
def setup_title(setup, model, names=()):
    wavelength = f"{setup.wavelength * 1e9:.4g} nm"
    fwhm = setup.pulse_fwhm
    pulse = (f"pulse {duration_label(fwhm)} FWHM" if fwhm is not None
             else f"pulse \u03c4 = {duration_label(setup.tau)}")
    title = f"Z-scan at {wavelength}, {pulse}, {model} model"
    if names:
        title += f": fit of {', '.join(names)}"
    return title


# A duration in s as a short label, e.g. 4e-09 -> "4 ns".
def duration_label(seconds):
    for scale, unit in ((1.0, "s"), (1e-3, "ms"), (1e-6, "\u00b5s"), (1e-9, "ns"),
                        (1e-12, "ps"), (1e-15, "fs")):
        if abs(seconds) >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds:.3g} s"


# Draw the curves of a fit on `axes` (data as markers, with error bars
# where `errorbars` and the row has sigma; model lines); positions shifted
# by `shift` mm.
def draw_curves(axes, rows, errorbars=True, shift=0.0):
    for k, row in enumerate(rows):
        colour = f"C{k}"
        x = row["positions"] - shift
        if row["sigma"] is None or not errorbars:
            axes.plot(x, row["data"], "o", ms=4, color=colour, alpha=0.8)
        else:
            axes.errorbar(x, row["data"], yerr=row["sigma"], fmt="o", ms=4, color=colour,
                          alpha=0.8, elinewidth=0.8, capsize=0)
        axes.plot(row["line"] - shift, row["model"], "-", lw=1.6, color=colour)
        # One legend entry per energy: marker and line together.
        axes.plot([], [], "o-", ms=4, color=colour, label=curve_label(row))
    axes.set_ylabel("normalised transmittance")
    axes.legend(title="pulse energy (points: data, lines: model)", fontsize="small",
                title_fontsize="small", loc="lower left")
    axes.grid(alpha=0.3)


# The x-axis label of positions measured on the stage or from the focus.
def position_label(relative_to_focus):
    return ("sample position relative to the fitted focus, z \u2212 z\u2080 (mm)"
            if relative_to_focus else "sample position z (mm)")


# The figure of a fit: data and model curves above, residuals below (as
# markers, with error bars where the data have sigma and `errorbars` allows).
# `values` is the text of the fitted-values box (or None); `shift` (mm) is
# subtracted from the positions (the focus, for positions relative to it).
def fit_figure(rows, title=None, errorbars=True, values=None, shift=0.0, relative=False):
    figure = Figure(figsize=(7.5, 7.0), layout="constrained")
    FigureCanvasAgg(figure)
    curves_axes, residual_axes = figure.subplots(2, 1, sharex=True,
                                                 gridspec_kw=dict(height_ratios=(3, 1)))
    draw_curves(curves_axes, rows, errorbars, shift)
    for k, row in enumerate(rows):
        x = row["positions"] - shift
        if row["sigma"] is None or not errorbars:
            residual_axes.plot(x, row["residuals"], "o", ms=3, color=f"C{k}")
        else:
            residual_axes.errorbar(x, row["residuals"], yerr=row["sigma"], fmt="o", ms=3,
                                   color=f"C{k}", elinewidth=0.6, capsize=0)
    residual_axes.axhline(0.0, color="0.4", lw=0.8)
    if values:
        add_values_box(curves_axes, values)
    residual_axes.set_xlabel(position_label(relative))
    residual_axes.set_ylabel("residual\n(data \u2212 model)")
    residual_axes.grid(alpha=0.3)
    if title:
        curves_axes.set_title(title, fontsize="medium")
    return figure


# The figure of a global fit: one column per measurement (`panels`: its
# label and its rows as fit_curve_row makes them, positions relative to its
# focus), the curves above and the residuals below; `values` the text of the
# fitted-values box, in a column of its own (shared parameters and every
# measurement's focus would cover the curves of any one panel).
def global_fit_figure(panels, title=None, values=None):
    count = len(panels)
    figure = Figure(figsize=(5.0 * count + (3.2 if values else 0.0), 6.0), layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(2, count + bool(values), height_ratios=(3, 1),
                               width_ratios=[5.0] * count + ([3.2] if values else []))
    for column, (label, rows) in enumerate(panels):
        curves_axes = figure.add_subplot(grid[0, column])
        residual_axes = figure.add_subplot(grid[1, column], sharex=curves_axes)
        draw_curves(curves_axes, rows, errorbars=True)
        curves_axes.set_title(label, fontsize="medium")
        curves_axes.tick_params(labelbottom=False)
        for k, row in enumerate(rows):
            residual_axes.plot(row["positions"], row["residuals"], "o", ms=3, color=f"C{k}")
        residual_axes.axhline(0.0, color="0.4", lw=0.8)
        residual_axes.set_xlabel("position relative to the focus (mm)")
        residual_axes.set_ylabel("residual\n(data \u2212 model)")
        residual_axes.grid(alpha=0.3)
    if values:
        box_axes = figure.add_subplot(grid[:, count])
        box_axes.set_axis_off()
        box_axes.text(0.0, 1.0, "fitted values\n\n" + values, va="top", ha="left",
                      fontsize="small", transform=box_axes.transAxes,
                      bbox=dict(boxstyle="round,pad=0.4", facecolor="white", edgecolor="0.6"))
    if title:
        figure.suptitle(title, fontsize="medium")
    return figure


# One column per measurement: data and model over the position relative to
# its focus, the residuals below; the fitted values with their standard
# errors in a box.
def global_figure(result, title=None):
    panels = []
    for view in result.results:
        rows = []
        for k, energy in enumerate(view["pulse_energy"]):
            x = view["positions"][k] - view["focus"]
            order = x.argsort()
            rows.append(fit_curve_row(x, view["data"][k], None, x[order],
                                      view["model"][k][order],
                                      view["data"][k] - view["model"][k], energy))
        panels.append((view["label"], rows))
    entries = [(name, result.values[name], result.stderr[name],
                unit_of(name.split("@")[0])) for name in result.var_names]
    return global_fit_figure(panels, title, values_box_text(entries, result.redchi))


# The fitted values in a small box in the lower right corner of `axes`.
def add_values_box(axes, text):
    from matplotlib.offsetbox import AnchoredText

    box = AnchoredText(text, loc="lower right", prop=dict(size="small"), frameon=True)
    box.patch.set(alpha=0.85, edgecolor="0.6", boxstyle="round,pad=0.3")
    axes.add_artist(box)


# Text of the fitted-values box: one line per fitted parameter ("name =
# value ± error unit"), and the reduced chi^2.
def values_box_text(entries, reduced_chi2=None):
    lines = [f"{name} = {value_text(value, error, unit)}" for name, value, error, unit in entries]
    if reduced_chi2 is not None and reduced_chi2 == reduced_chi2:
        lines.append(f"\u03c7\u00b2/dof = {reduced_chi2:.3g}")
    return "\n".join(lines)


# Write the figure of a fit of `measurement` to `path` (PNG, SVG or PDF by
# its suffix) with the model `curves` (tarvo.report.FitCurves). `values` is the text of the fitted-values box;
# `relative_to` a focus position (mm) to measure the positions from. Returns
# the SHA-256 of the file.
def plot_fit(path, measurement, result, curves, title=None, values=None, relative_to=None):
    rows = []
    for k, curve in enumerate(measurement.curves):
        line, model = curves.lines[k]
        # The data as fitted (divided by their far field where the model is).
        data = curve.transmittance if curves.data is None else curves.data[k]
        sigma = curve.sigma if curves.sigma is None else curves.sigma[k]
        rows.append(fit_curve_row(curve.positions, data, sigma, line, model,
                                  result.curve(k)[4], curve.pulse_energy,
                                  getattr(curve, "aperture", 1.0),
                                  getattr(curve, "divided_by_open", False)))
    return _save(fit_figure(rows, title, values=values, shift=relative_to or 0.0,
                            relative=relative_to is not None), path)


# Write a figure to `path` in the format its suffix names; its SHA-256.
def save_figure(figure, path):
    return _save(figure, path)


# Write the figure of simulated curves (one row of `curves` per pulse energy).
def plot_simulation(path, positions, curves, pulse_energies, title=None):
    figure = Figure(figsize=(7.5, 5.0), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    for k, (row, energy) in enumerate(zip(curves, pulse_energies)):
        axes.plot(positions, row, "-", lw=1.6, color=f"C{k}", label=energy_label(energy))
    axes.axhline(1.0, color="0.4", lw=0.8)
    axes.set_xlabel("sample position relative to the focus (mm)")
    axes.set_ylabel("normalised transmittance (model)")
    axes.legend(title="pulse energy", fontsize="small", title_fontsize="small")
    axes.grid(alpha=0.3)
    if title:
        axes.set_title(title, fontsize="medium")
    return _save(figure, path)
