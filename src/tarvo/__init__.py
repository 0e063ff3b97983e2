"""Z-scan fitting toolkit around the tarvo_wrapper extension module.

tarvo.simulate computes model curves; `tarvo fit DIR` (or python -m tarvo fit DIR)
fits a measurement directory from the command line.
"""

from importlib.metadata import PackageNotFoundError, version

from .simulation import simulate

# The installed distribution's version: pyproject.toml is its only source.
try:
    __version__ = version("tarvo")
except PackageNotFoundError:
    __version__ = "0+unknown"

__all__ = ["simulate", "__version__"]
