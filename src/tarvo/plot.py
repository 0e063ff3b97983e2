"""Figures: data and model curves of a fit (residuals below), and simulated curves."""

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .files import write_from
from .fit_curves import model_line
from .provenance import tarvo_version

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
def fit_curve_row(positions, data, sigma, line, model, residuals, energy):
    return dict(positions=positions, data=data, sigma=sigma, line=line, model=model,
                residuals=residuals, energy=energy)


# The figure of a fit: data and model curves above, residuals below.
def fit_figure(rows, title=None):
    figure = Figure(figsize=(7.5, 7.0), layout="constrained")
    FigureCanvasAgg(figure)
    curves_axes, residual_axes = figure.subplots(2, 1, sharex=True,
                                                 gridspec_kw=dict(height_ratios=(3, 1)))
    for k, row in enumerate(rows):
        colour = f"C{k}"
        if row["sigma"] is None:
            curves_axes.plot(row["positions"], row["data"], "o", ms=4, color=colour, alpha=0.8)
        else:
            curves_axes.errorbar(row["positions"], row["data"], yerr=row["sigma"], fmt="o", ms=4,
                                 color=colour, alpha=0.8)
        curves_axes.plot(row["line"], row["model"], "-", lw=1.6, color=colour)
        # One legend entry per energy: marker and line together.
        curves_axes.plot([], [], "o-", ms=4, color=colour, label=energy_label(row["energy"]))
        residual_axes.plot(row["positions"], row["residuals"], "o-", ms=3, lw=0.8, color=colour)
    residual_axes.axhline(0.0, color="0.4", lw=0.8)
    curves_axes.set_ylabel("normalised transmittance")
    curves_axes.legend(title="pulse energy (points: data, lines: model)", fontsize="small",
                       title_fontsize="small")
    curves_axes.grid(alpha=0.3)
    residual_axes.set_xlabel("sample position z (mm)")
    residual_axes.set_ylabel("residual\n(data \u2212 model)")
    residual_axes.grid(alpha=0.3)
    if title:
        curves_axes.set_title(title, fontsize="medium")
    return figure


# Write the figure of a fit of `measurement` to `path` (PNG, SVG or PDF by
# its suffix); `curves` (tarvo.fit_curves.FitCurves) saves computing the
# model lines again. Returns the SHA-256 of the file.
def plot_fit(path, measurement, outcome, title=None, curves=None):
    setup = measurement.setup.model_kwargs()
    rows = []
    for k, curve in enumerate(measurement.curves):
        if curves is None:
            line, model = model_line(curve.positions, outcome.centre, curve.pulse_energy,
                                     outcome.fitted, setup)
        else:
            line, model = curves.lines[k]
        rows.append(fit_curve_row(curve.positions, curve.transmittance, None, line, model,
                                  outcome.residuals[k], curve.pulse_energy))
    return _save(fit_figure(rows, title), path)


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
