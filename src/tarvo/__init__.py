"""Z-scan fitting toolkit around the tarvo_wrapper extension module.

tarvo.simulate computes model curves; `tarvo fit DIR` (or python -m tarvo fit DIR)
fits a measurement directory from the command line.
"""

from .simulation import simulate

__all__ = ["simulate"]
