"""The range of every count the toolkit accepts, in one table.

Each count (slices, radial nodes, starts, points, bootstrap replicates,
worker processes) is checked once against its range where it enters, before
any work starts, so that an absurd value (10^10 radial points, 10^8
replicates) is a one-line error instead of an overflow deep in the engine or
a process that grows by gigabytes.
"""

import numbers
from dataclasses import dataclass

from . import _native
from .engine import MAX_NODES
from .errors import InputError


# The accepted values of a count and why it has an upper limit.
@dataclass(frozen=True)
class CountRange:
    least: int
    most: int
    why: str


# Most time or depth slices (see measurement.SLICES_WHY).
MAX_SLICES = 1000

# Most radial nodes of the energy model: the exact engine's
# quadrature tables go up to 64 nodes.
MAX_RADIAL_POINTS = MAX_NODES

# Most starts of a multi-start fit.
MAX_STARTS = 100

# Most points per curve (as the curve reader reads them).
MAX_POINTS = 100_000

# Most bootstrap replicates: a few thousand give 95 % intervals to their
# second digit; every replicate is a complete fit.
MAX_REPLICATES = 100_000

# Most worker processes of a local cluster.
MAX_WORKERS = 1024

COUNTS = {
    "t_slices": CountRange(_native.MIN_SLICES, MAX_SLICES,
                           "every residual evaluation integrates 2 * z_slices * t_slices steps "
                           "per point (10 and 5 resolve a nanosecond pulse in a thin sample)"),
    "z_slices": CountRange(_native.MIN_SLICES, MAX_SLICES,
                           "every residual evaluation integrates 2 * z_slices * t_slices steps "
                           "per point (10 and 5 resolve a nanosecond pulse in a thin sample)"),
    "radial_points": CountRange(1, MAX_RADIAL_POINTS,
                                "the energy model's radial quadrature has at most "
                                f"{MAX_RADIAL_POINTS} nodes (8 are plenty)"),
    "n_starts": CountRange(1, MAX_STARTS, "every start is a complete fit (3 to 10 starts are "
                                          "usual)"),
    "points": CountRange(2 * _native.MIN_POINTS_PER_CURVE, MAX_POINTS,
                         "a Z-scan curve has tens to thousands of points"),
    "bootstrap replicates": CountRange(2, MAX_REPLICATES,
                                       "every replicate is a complete fit; a few thousand give "
                                       "95 % intervals to their second digit"),
    "workers": CountRange(1, MAX_WORKERS, "one worker process per core is the useful most"),
}


# `value` checked against the range of count `name`; InputError (a
# ValueError) whose message starts with `label` (default: the name) otherwise.
def check_count(name, value, label=None):
    bounds = COUNTS[name]
    label = label or name
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) \
            or value < bounds.least:
        raise InputError(f"{label} must be an integer of at least {bounds.least}, got {value!r}")
    value = int(value)
    if value > bounds.most:
        raise InputError(f"{label} = {value} is more than {bounds.most}: {bounds.why}")
    return value
