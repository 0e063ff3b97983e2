"""Fit Z-scan curves with a five-level population rate-equation model."""

from types import ModuleType

import numpy as np
import numpy.typing as npt

np: ModuleType

def fit_zscan(
    x_data: npt.NDArray[np.float64],
    y_data: npt.NDArray[np.float64],
    populations: npt.NDArray[np.float64],
    t_slices: int,
    z_slices: int,
    sample_width: float,
    tau: float,
    wavelength: float,
    w0: float,
    M2: float,
    pulse_energy: npt.NDArray[np.float64],
    spec_pars: npt.NDArray[np.float64],
    fit_indices: npt.NDArray[np.int32],
    num_x_pts: int,
    num_datasets: int,
    is_sa: object = False,
    n_starts: int = 3,
) -> tuple[npt.NDArray[np.float64], float, npt.NDArray[np.float64]]:
    """Fit z-scan data with multi-start parallel optimization.

    Array arguments are writable, C-contiguous, one-dimensional float64
    arrays (int32 for fit_indices); they are only read.

    Parameters:
        fit_indices: 0-based indices into spec_pars of the entries to fit,
            valid range 0-7; handed to the native fit as 1-based indices.
        is_sa: True for a saturable absorber (SA, positions centred on the
            maximum of y_data), False for a reverse saturable absorber (RSA,
            centred on the minimum). Default False (RSA).
        n_starts: number of starting points; start k scales the fitted
            entries by 10**((k * 1.04) / max(n_starts - 1, 1) - 0.52).
            Default 3.

    Returns:
        residuals, error, spec_pars (best result)
    """
