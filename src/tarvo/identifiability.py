"""What the data determine: the well and poorly determined combinations of the
fitted parameters.

In log-parameters (the focus in mm) the linearised covariance of a fit is
s^2 (J^T J)^-1. Its principal directions are the right singular vectors of
J / s: along direction v (a unit vector) the data fix the combination
prod p_j^(v_j) to 1 / singular value in log units, that is, to about that
fraction. A direction with a large error is a combination the data do not
fix: sigma_4 and tau_24 that act only through sigma_4 / tau_24 leave
sigma_4 * tau_24 free. Each parameter is then marked by its own linearised
relative error (the method is named in the report).
"""

import math
from dataclasses import dataclass, field

import numpy as np

# Relative error (or, for the focus, mm) up to which a parameter counts as
# determined, and up to which as weakly determined.
DETERMINED = 0.1
WEAKLY_DETERMINED = 1.0

# Components of a direction smaller than this, relative to its largest, are
# left out of its description.
NEGLIGIBLE_COMPONENT = 0.2

# A parameter's part along an unconstrained direction above this makes it undetermined.
NULL_COMPONENT = 1e-6

# The statuses, best first.
STATUSES = ("determined", "weakly determined", "not determined")

# How the statuses are found.
METHOD = "linearised errors from the exact Jacobian in log-parameters"


# One principal direction: its relative precision and its description.
@dataclass(frozen=True)
class Direction:
    error: float
    combination: str


# The identifiability of a fit's parameters.
@dataclass
class Identifiability:
    """What the data determine: principal directions and a status per parameter.

    Attributes
    ----------
    singular_values : numpy.ndarray
        Singular values of the scaled Jacobian in log-parameters.
    directions : list of Direction
        Principal directions, best determined first.
    status : dict
        Parameter name -> "determined", "weakly determined" or "not determined".
    errors : dict
        Parameter name -> linearised relative error (the focus: in mm).
    method : str
        How the statuses were found.
    """

    singular_values: np.ndarray
    directions: list
    status: dict
    errors: dict
    method: str = METHOD
    notes: list = field(default_factory=list)

    # Names of the parameters the data do not determine.
    @property
    def undetermined(self):
        return [name for name, status in self.status.items() if status == STATUSES[2]]

    # The report as text lines.
    def report(self):
        """The report as a list of lines."""
        lines = [f"what the data determine ({self.method}):"]
        for name, status in self.status.items():
            error = self.errors[name]
            size = "inf" if not math.isfinite(error) else (
                f"{error:.2g} mm" if name.split("@")[0] == "focus" else f"{100 * error:.2g} %")
            lines.append(f"  {name}: {status} (+/- {size})")
        lines += [f"  {note}" for note in self.notes]
        return lines

    # The record of the result file.
    def as_dict(self):
        return {"method": self.method,
                "singular_values": [float(v) for v in self.singular_values],
                "directions": [{"combination": d.combination, "relative_error":
                                None if not math.isfinite(d.error) else float(d.error)}
                               for d in self.directions],
                "status": dict(self.status), "notes": list(self.notes)}


# A direction as a product of powers of the log-parameters ("sigma_4/tau_24").
def _combination(names, vector):
    scale = np.max(np.abs(vector))
    parts = [(name, v / scale) for name, v in zip(names, vector)
             if abs(v) >= NEGLIGIBLE_COMPONENT * scale]
    if parts[0][1] < 0:
        parts = [(name, -v) for name, v in parts]
    top = [_power(name, v) for name, v in parts if v > 0]
    bottom = [_power(name, -v) for name, v in parts if v < 0]
    text = "·".join(top)
    return text + ("/" + "·".join(bottom) if len(bottom) == 1 else
                   "/(" + "·".join(bottom) + ")" if bottom else "")


# name^power, the power left out near 1.
def _power(name, power):
    return name if abs(power - 1.0) < 0.15 else f"{name}^{power:.2g}"


# 1 / singular values and the right singular vectors of a matrix (inf for
# directions it does not constrain).
def _inverse_singular(matrix):
    if matrix.shape[1] == 0:
        return np.zeros(0), np.zeros((0, 0))
    if not np.all(np.isfinite(matrix)):
        return np.full(matrix.shape[1], np.inf), np.eye(matrix.shape[1])
    _, singular, vt = np.linalg.svd(matrix, full_matrices=False)
    floor = singular[0] * max(matrix.shape) * np.finfo(float).eps
    with np.errstate(divide="ignore"):
        inverse = np.where(singular > floor, 1.0 / np.maximum(singular, floor), np.inf)
    return inverse, vt


# The identifiability of parameters `names` (values, whether each is a
# log-parameter, and the scale of each other one, e.g. the Rayleigh range for
# the focus in mm) from the Jacobian of the weighted residuals with respect to
# the physical values and the variance scale s^2 of the covariance.
def from_jacobian(names, values, is_log, jacobian, variance_scale, scales=None):
    """Identifiability of a fit from its Jacobian (rows: weighted residuals)."""
    names = list(names)
    values = np.asarray(values, dtype=np.float64)
    is_log = np.asarray(is_log, dtype=bool)
    scaled = np.asarray(jacobian, dtype=np.float64) * np.where(is_log, values, 1.0)
    if variance_scale > 0:
        scaled = scaled / math.sqrt(variance_scale)
    # Linearised error of each parameter: sqrt of the diagonal of V diag(1/s^2)
    # V^T; infinite for a parameter with a part along a direction the data
    # do not constrain.
    inverse, vt = _inverse_singular(scaled)
    finite = np.isfinite(inverse)
    variance = (vt[finite].T ** 2) @ (inverse[finite] ** 2)
    free = np.any(np.abs(vt[~finite]) > NULL_COMPONENT, axis=0)
    errors = {name: math.inf if open_ else float(math.sqrt(v))
              for name, v, open_ in zip(names, variance, free)}
    # Directions among the log-parameters, the others (the focus) profiled out:
    # the log columns with their part along the other columns removed.
    logs, others = scaled[:, is_log], scaled[:, ~is_log]
    if others.shape[1] and np.all(np.isfinite(others)) and np.all(np.isfinite(logs)):
        basis, _ = np.linalg.qr(others)
        logs = logs - basis @ (basis.T @ logs)
    inverse, vt = _inverse_singular(logs)
    log_names = [name for name, log in zip(names, is_log) if log]
    directions = [Direction(float(e), _combination(log_names, v)) for e, v in zip(inverse, vt)]
    scales = scales or {}
    status = {}
    for name, error in errors.items():
        relative = error / scales.get(name, 1.0)
        status[name] = STATUSES[0] if relative <= DETERMINED else \
            STATUSES[1] if relative <= WEAKLY_DETERMINED else STATUSES[2]
    notes = []
    good = [d for d in directions if d.error <= DETERMINED]
    if len(log_names) > 1:
        for direction in directions:
            if direction.error > WEAKLY_DETERMINED:
                fixed = (f"the data fix {good[0].combination} to {_percent(good[0].error)}, "
                         "but not " if good else "the data do not fix ")
                notes.append(f"{fixed}{direction.combination} ({_percent(direction.error)})")
    singular = np.where(np.isfinite(inverse) & (inverse > 0), 1.0 / np.where(
        inverse > 0, inverse, 1.0), 0.0)
    return Identifiability(singular, directions, status, errors, notes=notes)


# A relative error as per cent text ("0.8 %", "inf").
def _percent(error):
    return "+/- inf" if not math.isfinite(error) else f"{100 * error:.2g} %"
