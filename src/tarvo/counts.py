"""The one range of every count the toolkit accepts (slices, nodes, starts,
points, far-field points, replicates, workers) and the check against it, with a message that
says why a count has its upper limit."""

import numbers
from dataclasses import dataclass

from . import _native

from .errors import InputError


# The accepted values of a count and why it has an upper limit.
@dataclass(frozen=True)
class CountRange:
    least: int
    most: int
    why: str


# Most time or depth slices: every residual evaluation integrates
# 2 * z_slices * t_slices steps per point and keeps a points x t_slices table
# per curve; 10 x 5 resolve a nanosecond pulse in a thin sample.
MAX_SLICES = 1000
SLICES_WHY = ("every residual evaluation integrates 2 * z_slices * t_slices steps per point "
              "(10 and 5 resolve a nanosecond pulse in a thin sample)")

# Most starts: each one is a complete fit, so a hundred already take a hundred
# times as long as one.
MAX_STARTS = 100

# Most points per curve (as the curve reader reads them).
MAX_POINTS = 100_000

# Most bootstrap replicates: a few thousand give 95 % intervals to their
# second digit; every replicate is a complete fit.
MAX_REPLICATES = 100_000

# Most worker processes of a local cluster.
MAX_WORKERS = 1024

# Most far-field points at each end of a curve.
MAX_FAR_FIELD_POINTS = 1000

COUNTS = {
    "t_slices": CountRange(_native.MIN_SLICES, MAX_SLICES, SLICES_WHY),
    "z_slices": CountRange(_native.MIN_SLICES, MAX_SLICES, SLICES_WHY),
    "radial_points": CountRange(1, _native.MAX_RADIAL_POINTS,
                                "the energy model's radial quadrature has at most "
                                f"{_native.MAX_RADIAL_POINTS} nodes (8 are plenty)"),
    "n_starts": CountRange(1, MAX_STARTS, "every start is a complete fit (3 to 10 starts are "
                                          "usual)"),
    "points": CountRange(2 * _native.MIN_POINTS_PER_CURVE, MAX_POINTS,
                         "a Z-scan curve has tens to thousands of points"),
    "bootstrap replicates": CountRange(2, MAX_REPLICATES,
                                       "every replicate is a complete fit; a few thousand give "
                                       "95 % intervals to their second digit"),
    "workers": CountRange(1, MAX_WORKERS, "one worker process per core is the useful most"),
    "far_field_points": CountRange(1, MAX_FAR_FIELD_POINTS,
                                   "the far field is a few points at each end of a curve"),
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


# The number of starts the command line asks for (--starts), checked against
# the range of n_starts; a number below it is refused as the command line
# words it.
def check_starts(n_starts, where="--starts"):
    least = COUNTS["n_starts"].least
    if isinstance(n_starts, bool) or not isinstance(n_starts, int) or n_starts < least:
        raise InputError(f"{where} must be at least {least}, got {n_starts}")
    return check_count("n_starts", n_starts, where)
