"""Z-scan fitting toolkit around the tarvo_wrapper extension module.

tarvo.simulate computes model curves normalised as a measurement is
(tarvo.Normalisation); tarvo.fit fits them on the exact engine
(tarvo.Parameters says what varies); `tarvo fit DIR` (or python -m tarvo fit
DIR) fits a measurement directory from the command line.
"""

from importlib.metadata import PackageNotFoundError, version

from .bootstrap import BootstrapResult
from .checks import PlausibilityWarning
from .fit_parameters import FitParameter, Parameters
from .design import plan
from .fitting import fit
from .measurement import Measurement, read_measurement
from .normalisation import Normalisation
from .results import FitResult
from .simulation import simulate

# The installed distribution's version: pyproject.toml is its only source.
try:
    __version__ = version("tarvo")
except PackageNotFoundError:
    __version__ = "0+unknown"

__all__ = ["simulate", "fit", "plan", "read_measurement", "Measurement", "Parameters",
           "FitParameter", "FitResult", "BootstrapResult", "Normalisation", "PlausibilityWarning",
           "__version__"]
