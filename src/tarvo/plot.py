"""Figure of a fit: data and model curves per pulse energy, residuals below."""

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .simulation import simulate

# Points of the dense grid of the drawn model curve (data positions are added).
DENSE_POINTS = 241

# The model shifts each curve by the mean of its first and last this many points.
BASELINE_POINTS = 5

# SI prefixes for pulse energies in the legend, largest first.
ENERGY_PREFIXES = ((1.0, "J"), (1e-3, "mJ"), (1e-6, "\u00b5J"), (1e-9, "nJ"), (1e-12, "pJ"))


# A pulse energy in J as a short label, e.g. 5e-06 -> "5 µJ".
def energy_label(energy):
    for scale, unit in ENERGY_PREFIXES:
        if abs(energy) >= scale:
            return f"{energy / scale:.3g} {unit}"
    return f"{energy:.3g} J"


# The drawn model curve of one measured curve: ascending positions (a dense
# grid over the scan range merged with the data positions) and model values.
#
# The model shifts every curve by the mean of its own first five and last
# five points. The grid handed to it therefore starts with the data's first
# five positions and ends with its last five, in the data's order, and the
# drawing points lie in between: each point's raw transmittance depends on its
# own position only, so the drawn curve gets exactly the fitted curve's shift
# and passes through the fitted model at every data point. A plain grid over
# the same range would take its baseline from its own, denser ends and be
# offset by a constant wherever the wings are not flat (a few 1e-3 in the
# bundled example, near its noise level).
def model_line(positions, centre, pulse_energy, spec_pars, setup, count=DENSE_POINTS):
    positions = np.asarray(positions, dtype=np.float64)
    line = np.union1d(np.linspace(positions.min(), positions.max(), count), positions)
    if positions.size < 2 * BASELINE_POINTS:
        # The two ends overlap: the data positions are all the curve can have.
        line = np.sort(positions)
        values = simulate(positions - centre, [pulse_energy], spec_pars, **setup)[0]
        return line, values[np.argsort(positions)]
    grid = np.concatenate([positions[:BASELINE_POINTS], line, positions[-BASELINE_POINTS:]])
    values = simulate(grid - centre, [pulse_energy], spec_pars, **setup)[0]
    return line, values[BASELINE_POINTS:-BASELINE_POINTS]


# Write the figure of a fit of `measurement` to `path` (PNG).
def plot_fit(path, measurement, outcome, title=None):
    figure = Figure(figsize=(7.5, 7.0), layout="constrained")
    FigureCanvasAgg(figure)
    curves_axes, residual_axes = figure.subplots(2, 1, sharex=True,
                                                 gridspec_kw=dict(height_ratios=(3, 1)))
    setup = measurement.setup.model_kwargs()
    for k, curve in enumerate(measurement.curves):
        colour = f"C{k}"
        line, model = model_line(curve.positions, outcome.centre, curve.pulse_energy,
                                 outcome.fitted, setup)
        curves_axes.plot(curve.positions, curve.transmittance, "o", ms=4, color=colour,
                         alpha=0.8)
        curves_axes.plot(line, model, "-", lw=1.6, color=colour)
        # One legend entry per energy: marker and line together.
        curves_axes.plot([], [], "o-", ms=4, color=colour, label=energy_label(curve.pulse_energy))
        residual_axes.plot(curve.positions, outcome.residuals[k], "o-", ms=3, lw=0.8,
                           color=colour)
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
    figure.savefig(path, dpi=120)
