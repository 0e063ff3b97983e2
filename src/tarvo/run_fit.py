"""One multi-start fit of a measurement directory through tarvo_wrapper.fit_zscan."""

import math
import time
from dataclasses import dataclass

import numpy as np

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


# Factors by which the module scales the fitted start values, one per start:
# geometrically spread from 10^-0.52 to 10^+0.52 (a single start uses 10^-0.52).
def start_multipliers(n_starts):
    divisor = float(max(n_starts - 1, 1))
    return [math.pow(10.0, (float(k) * 1.04) / divisor - 0.52) for k in range(n_starts)]


# Fit the measurement's chosen parameters from its start values.
def fit_measurement(measurement, n_starts=None):
    import tarvo_wrapper

    n_starts = measurement.n_starts if n_starts is None else n_starts
    setup = measurement.setup
    x = np.ascontiguousarray(measurement.positions.ravel(), dtype=np.float64)
    y = np.ascontiguousarray(measurement.transmittance.ravel(), dtype=np.float64)
    num_datasets = len(measurement.curves)
    began = time.monotonic()
    residuals, error, fitted = tarvo_wrapper.fit_zscan(
        x, y, np.array(setup.populations, dtype=np.float64), setup.t_slices, setup.z_slices,
        setup.sample_width, setup.tau, setup.wavelength, setup.w0, setup.M2,
        np.ascontiguousarray(measurement.pulse_energy), measurement.start.copy(),
        np.array(measurement.fit_indices, dtype=np.int32), measurement.num_x_pts, num_datasets,
        is_sa=measurement.is_sa, n_starts=n_starts)
    seconds = time.monotonic() - began
    return FitOutcome(
        fitted=np.array(fitted, dtype=np.float64),
        error=float(error),
        residuals=np.array(residuals, dtype=np.float64).reshape(num_datasets, -1),
        centre=scan_centre(x, y, measurement.is_sa),
        n_starts=n_starts,
        seconds=seconds,
    )
