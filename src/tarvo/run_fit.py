"""One multi-start fit of a measurement directory: the native multi-start fit
of tarvo_wrapper.fit_zscan (bit for bit), with the solver's messages counted
and kept in a log file instead of printed between the results."""

import time
from dataclasses import dataclass, field

import numpy as np

from . import _native
from .centring import scan_centre


# What a fit returns, arranged per curve.
@dataclass(frozen=True)
class FitOutcome:
    fitted: np.ndarray
    error: float
    residuals: np.ndarray
    centre: float
    n_starts: int
    seconds: float
    # Solver messages during the fit by kind (only kinds that occurred).
    messages: dict = field(default_factory=dict)
    # Per start: status, residual evaluations, LMDIF's info, failed steps by kind.
    summaries: tuple = ()


# Factors by which the fit scales the fitted start values, one per start:
# geometrically spread from 10^-0.52 to 10^+0.52 (a single start uses 10^-0.52).
def start_multipliers(n_starts):
    return _native.start_multipliers(n_starts)


# Fit the measurement's chosen parameters from its start values. The solver's
# messages go to `log_path` (created only when there is one), else nowhere.
def fit_measurement(measurement, n_starts=None, log_path=None):
    n_starts = measurement.n_starts if n_starts is None else n_starts
    setup = measurement.setup
    x = np.ascontiguousarray(measurement.positions.ravel(), dtype=np.float64)
    y = np.ascontiguousarray(measurement.transmittance.ravel(), dtype=np.float64)
    num_datasets = len(measurement.curves)
    diagnostics = _native.Diagnostics(None if log_path is None else str(log_path))
    began = time.monotonic()
    try:
        residuals, error, fitted, summaries = _native.fit(
            x.tolist(), y.tolist(), list(setup.populations), setup.t_slices, setup.z_slices,
            setup.sample_width, setup.tau, setup.wavelength, setup.w0, setup.M2,
            measurement.pulse_energy.tolist(), [float(v) for v in measurement.start],
            list(measurement.fit_indices), measurement.num_x_pts, num_datasets,
            measurement.is_sa, n_starts, diagnostics=diagnostics)
    finally:
        diagnostics.close()
    seconds = time.monotonic() - began
    return FitOutcome(
        fitted=np.array(fitted, dtype=np.float64),
        error=float(error),
        residuals=np.array(residuals, dtype=np.float64).reshape(num_datasets, -1),
        centre=scan_centre(x, y, measurement.is_sa),
        n_starts=n_starts,
        seconds=seconds,
        messages={kind: n for kind, n in diagnostics.counts().items() if n},
        summaries=tuple(summaries),
    )


# One line on the solver's messages of a fit: how many, of which kinds, where.
def messages_line(outcome, log_path):
    if not outcome.messages:
        return "solver messages: none"
    total = sum(outcome.messages.values())
    kinds = ", ".join(f"{n} {kind.replace('_', ' ')}"
                      for kind, n in sorted(outcome.messages.items(), key=lambda kv: -kv[1]))
    return (f"solver messages: {total} ({kinds}), in {log_path}; many of them mean poorly "
            "chosen start values or fitted parameters (see README, \"DLSODA- messages\")")
