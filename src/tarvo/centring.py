"""Where the fit puts the focus: the scan position of the extreme transmittance."""

import numpy as np


# Position (mm) that fit_zscan subtracts from every scan position: the position
# of the first minimum of all measured values together (first maximum for a
# saturable absorber), searched over all curves at once as the module does.
def scan_centre(x_mm, y, is_sa=False):
    y = np.ravel(np.asarray(y, dtype=np.float64))
    index = int(np.argmax(y) if is_sa else np.argmin(y))
    return float(np.ravel(np.asarray(x_mm, dtype=np.float64))[index])
