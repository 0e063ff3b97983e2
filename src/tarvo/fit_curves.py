"""The model curves of a fit: at the data positions and on a dense grid for drawing."""

from dataclasses import dataclass

import numpy as np

from . import _native
from .simulation import FIT_ZSCAN_MODEL, simulate

# Points of the dense grid of a drawn model curve (data positions are added).
DENSE_POINTS = 241

# The model shifts each curve by the mean of its first and last this many points.
BASELINE_POINTS = _native.MIN_POINTS_PER_CURVE


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
        values = simulate(positions - centre, [pulse_energy], spec_pars, **setup, **FIT_ZSCAN_MODEL)[0]
        return line, values[np.argsort(positions)]
    grid = np.concatenate([positions[:BASELINE_POINTS], line, positions[-BASELINE_POINTS:]])
    values = simulate(grid - centre, [pulse_energy], spec_pars, **setup, **FIT_ZSCAN_MODEL)[0]
    return line, values[BASELINE_POINTS:-BASELINE_POINTS]


# The fitted model of every curve, at the data and on the drawing grid.
@dataclass(frozen=True)
class FitCurves:
    centred_positions: np.ndarray   # (curves, points), mm relative to the focus
    at_data: np.ndarray             # model at the data positions, as the fit computed it
    lines: tuple                    # per curve: (positions in mm, model values), ascending


# The model curves of a fit outcome for its measurement.
def fit_curves(measurement, outcome):
    setup = measurement.setup.model_kwargs()
    centred = measurement.positions - outcome.centre
    at_data = simulate(centred, measurement.pulse_energy, outcome.fitted, **setup, **FIT_ZSCAN_MODEL)
    lines = tuple(model_line(curve.positions, outcome.centre, curve.pulse_energy,
                             outcome.fitted, setup) for curve in measurement.curves)
    return FitCurves(centred, at_data, lines)
