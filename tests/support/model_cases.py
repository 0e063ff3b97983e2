"""Shared measurement set-ups for the model and fit tests."""

import numpy as np

# Realistic reverse saturable absorber at 532 nm (SI units, cm for the sample).
RSA_PARS = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
# Saturable absorber: the excited level absorbs much less than the ground level.
SA_PARS = [4e-17, 2e-18, 1e-18, 3e-10, 5e-9, 1e-12, 1e-6, 1e-12]
# Stiff: ps relaxation and a fast 2->1 decay inside ns time slices.
STIFF_PARS = [8e-18, 3e-17, 9e-17, 5e-11, 2e-9, 1e-13, 1e-7, 2e-13]
POPULATIONS = [6e17, 0.0, 0.0, 0.0, 0.0]

BEAM = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2)


def positions(num_x_pts, span_mm=20.0):
    """num_x_pts positions from -span to +span mm, denser near the focus."""
    u = np.linspace(-1.0, 1.0, num_x_pts)
    return span_mm * u * np.abs(u)


def curves_x(num_x_pts, num_datasets, span_mm=20.0):
    return np.tile(positions(num_x_pts, span_mm), num_datasets)
