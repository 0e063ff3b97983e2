"""Z-scan fitting toolkit around tarvo's native core (tarvo._native).

tarvo.simulate computes model curves normalised as a measurement is
(tarvo.Normalisation); tarvo.fit fits them on the exact engine or, with
engine="lsoda", as fit_zscan does (tarvo.Parameters says what varies);
tarvo.read_measurement reads a measurement directory and tarvo.plan says which
measurement determines the parameters best. `tarvo fit DIR` (or python -m
tarvo fit DIR) fits a measurement directory from the command line.
"""

from .bootstrap import BootstrapResult
from .checks import PlausibilityWarning
from .errors import InputError
from .files import tarvo_version
from .fitting import fit
from .global_fit import GlobalFitResult
from .planning import plan
from .measurement import Curve, Measurement
from .measurement_directory import read_measurement
from .model_setup import Setup
from .normalisation import Normalisation
from .parameters import FitParameter, Parameters
from .results import FitResult
from .simulation import simulate

# The installed distribution's version: pyproject.toml is its only source.
__version__ = tarvo_version()

__all__ = ["simulate", "fit", "plan", "read_measurement", "Measurement", "Setup", "Curve",
           "Parameters", "FitParameter", "FitResult", "GlobalFitResult", "BootstrapResult",
           "Normalisation", "PlausibilityWarning", "InputError", "__version__"]
