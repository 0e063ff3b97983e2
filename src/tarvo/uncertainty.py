"""What the data determine: standard errors from the Jacobian at the solution
and the identifiability report (singular values of the scaled Jacobian, the
combinations the data fix; the one source of the table's relative errors and
statuses). Likelihood profiles are in profiles."""

import math
from dataclasses import dataclass, field

import numpy as np
from . import _native
from .files import json_number, percent_text


# Relative step of the central differences (see the module note).
REL_STEP_DEFAULT = 1.0e-3

# Scan positions arrive in mm; the weights use metres, as the fit does.
MM_TO_M = _native.METRES_PER_MILLIMETRE


# Covariance and standard errors of the fitted parameters.
@dataclass(frozen=True)
class Uncertainty:
    standard_errors: np.ndarray
    covariance: np.ndarray
    chi2: float
    degrees_of_freedom: int

    # Correlation coefficients of the fitted parameters.
    @property
    def correlation(self):
        errors = self.standard_errors
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.covariance / np.outer(errors, errors)

    # chi^2 per degree of freedom: the s^2 that scales the covariance.
    @property
    def reduced_chi2(self):
        if self.degrees_of_freedom <= 0:
            return float("nan")
        return self.chi2 / self.degrees_of_freedom


# Weight of each point in the fit (the fit's own formula, 1 + 4 exp(-4 s^2)
# with s the centred position in metres), in the shape of centred_mm.
def point_weights(centred_mm):
    s = np.asarray(centred_mm, dtype=np.float64) * MM_TO_M
    return np.array(_native.point_weights(s.ravel().tolist()), dtype=np.float64).reshape(s.shape)


# Jacobian of fun at x by central differences with steps rel_step * |x_j|.
def central_jacobian(fun, x, rel_step=REL_STEP_DEFAULT):
    x = np.asarray(x, dtype=np.float64)
    columns = []
    for j in range(x.size):
        step = rel_step * abs(x[j]) if x[j] != 0.0 else rel_step
        up, down = x.copy(), x.copy()
        up[j] += step
        down[j] -= step
        # Divide by the steps actually represented in floating point.
        columns.append((np.asarray(fun(up)) - np.asarray(fun(down))) / (up[j] - down[j]))
    return np.column_stack(columns)


# Covariance s^2 (J^T J)^-1 and standard errors from the Jacobian of the
# weighted residuals and the weighted residuals at the solution; without
# scale_covar (data with their own uncertainties) s^2 = 1. With `noise` (a
# residual_noise.ResidualNoise: the weighted residuals' noise is G z, z
# independent) the covariance is the sandwich A J^T G V G^T J A,
# A = (J^T J)^-1, V the variance of z: 1 without scale_covar, else its
# estimate from the residuals (a constant and a relative part).
def covariance_from_jacobian(jacobian, weighted_residuals, scale_covar=True, noise=None):
    jacobian = np.asarray(jacobian, dtype=np.float64)
    residuals = np.asarray(weighted_residuals, dtype=np.float64).ravel()
    m, n = jacobian.shape
    chi2 = float(residuals @ residuals)
    dof = m - n
    covariance = np.full((n, n), np.inf)
    # Columns scaled to unit length: parameters of 1e-17 cm^2 and 1e-9 s make
    # J^T J hopelessly ill-conditioned in raw units, not in these.
    norms = np.linalg.norm(jacobian, axis=0)
    if dof > 0 and np.all(np.isfinite(jacobian)) and np.all(norms > 0.0):
        scaled = jacobian / norms
        basis, singular, vt = np.linalg.svd(scaled, full_matrices=False)
        if singular[-1] > singular[0] * max(m, n) * np.finfo(float).eps:
            if noise is None:
                inverse = (vt.T / singular**2) @ vt
                scale = chi2 / dof if scale_covar else 1.0
            else:
                # A J^T = V S^-1 U^T: the sandwich is V S^-1 (U^T G V G^T U) S^-1 V^T.
                mixed = noise.transposed_times(basis)
                if scale_covar:
                    mixed = mixed * np.sqrt(noise.variance(residuals, basis))[:, None]
                half = vt.T / singular
                inverse, scale = half @ (mixed.T @ mixed) @ half.T, 1.0
            covariance = scale * inverse / np.outer(norms, norms)
    if dof <= 0:
        covariance = np.full((n, n), np.nan)
    errors = np.sqrt(np.diag(covariance))
    return Uncertainty(errors, covariance, chi2, dof)


# Generic entry: standard errors of x for weighted residuals fun(x), at the solution x.
def standard_errors(weighted_residuals, x, rel_step=REL_STEP_DEFAULT):
    jacobian = central_jacobian(weighted_residuals, x, rel_step)
    return covariance_from_jacobian(jacobian, weighted_residuals(np.asarray(x, dtype=np.float64)))


# Relative error (or, for the focus, mm) up to which a parameter counts as
# determined, and up to which as weakly determined.
DETERMINED = 0.1
WEAKLY_DETERMINED = 1.0

# Components of a direction smaller than this, relative to its largest, are
# left out of its description.
NEGLIGIBLE_COMPONENT = 0.2

# The statuses, best first ("bounded on one side" comes from profiles only).
STATUSES = ("determined", "weakly determined", "not determined", "bounded on one side")

# The statuses that leave a parameter undetermined.
UNDETERMINED = ("not determined", "bounded on one side")

# How the statuses are found.
METHOD = "linearised errors from the exact Jacobian in log-parameters"

# The two ways a parameter's error and status are found, as reports name them.
LINEARISED, PROFILE = "linearised", "profile"

# A profile judges a parameter by its 95 % interval (bounded on both sides,
# one or none); its error is the half-width of its 68 % (one sigma) interval.
VERDICT_PROBABILITY = 0.95

# A profile that judges a parameter locates its ends to this relative accuracy,
# with at most this many refits per end (the verdict needs the ends' existence;
# the error, their rough place).
VERDICT_TOLERANCE = 1.0e-2
VERDICT_REFINEMENTS = 3

# A profile point with a chi^2 below the fit's by more than this fraction
# shows that the fit ended in a local minimum.
LOWER_MINIMUM = 1.0e-6


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
        Parameter name -> "determined", "weakly determined", "bounded on one
        side" (profiles only) or "not determined".
    errors : dict
        Parameter name -> relative error (the focus: in mm): the standard
        error over the value, or for a profiled parameter the half-width of
        its 68 % profile interval in log terms. The parameter table prints
        these same numbers.
    method : str
        How the linearised errors were found.
    methods : dict
        Parameter name -> "linearised" or "profile": where its error and
        status come from.
    intervals : dict
        Profiled parameter name -> (lower, upper) of its 95 % profile
        interval (None: the data do not limit it on that side).
    """

    singular_values: np.ndarray
    directions: list
    status: dict
    errors: dict
    method: str = METHOD
    notes: list = field(default_factory=list)
    methods: dict = field(default_factory=dict)
    intervals: dict = field(default_factory=dict)
    profile_refits: int = 0
    profile_seconds: float = 0.0

    # Names of the parameters the data do not determine.
    @property
    def undetermined(self):
        return [name for name, status in self.status.items() if status in UNDETERMINED]

    # Where parameter `name`'s error and status come from.
    def method_of(self, name):
        return self.methods.get(name, LINEARISED)

    # The relative error (the focus: mm) as the table and the report print it.
    def error_text(self, name):
        error = self.errors[name]
        if name.split("@")[0] == "focus":
            return "inf" if not math.isfinite(error) else f"{error:.2g} mm"
        return percent_text(error)

    # Where the errors and statuses come from, in one line.
    def source(self):
        profiled = [name for name in self.status if self.method_of(name) == PROFILE]
        text = self.method
        if profiled:
            text += (f"; {', '.join(profiled)} from {'its' if len(profiled) == 1 else 'their'} "
                     "likelihood profile (95 % level)")
        return text

    # The report as text lines.
    def report(self):
        """The report as a list of lines."""
        lines = [f"what the data determine ({self.source()}):"]
        for name, status in self.status.items():
            if name in self.intervals:
                low, high = self.intervals[name]
                interval = (f"[{'open' if low is None else f'{low:.3g}'}, "
                            f"{'open' if high is None else f'{high:.3g}'}]")
                lines.append(f"  {name}: {status} (+/- {self.error_text(name)}; profile, 95 % "
                             f"interval {interval})")
            else:
                lines.append(f"  {name}: {status} (+/- {self.error_text(name)})")
        lines += [f"  {note}" for note in self.notes]
        return lines

    # An Identifiability from its record in a result file (None: none recorded).
    @classmethod
    def from_dict(cls, record):
        if not record or "errors" not in record:
            return None
        errors = {name: math.inf if value is None else float(value)
                  for name, value in record["errors"].items()}
        intervals = {name: tuple(None if v is None else float(v) for v in ends)
                     for name, ends in record.get("profile_intervals_95", {}).items()}
        directions = [Direction(math.inf if d["relative_error"] is None
                                else float(d["relative_error"]), d["combination"])
                      for d in record.get("directions", [])]
        return cls(np.array(record.get("singular_values", []), dtype=np.float64), directions,
                   dict(record["status"]), errors, record["method"], list(record["notes"]),
                   dict(record.get("status_from", {})), intervals,
                   int(record.get("profile_refits", 0)),
                   float(record.get("profile_seconds", 0.0)))

    # The record of the result file.
    def as_dict(self):
        return {"method": self.method,
                "singular_values": [float(v) for v in self.singular_values],
                "directions": [{"combination": d.combination, "relative_error":
                                None if not math.isfinite(d.error) else float(d.error)}
                               for d in self.directions],
                "status": dict(self.status),
                "errors": {name: json_number(error) for name, error in self.errors.items()},
                "status_from": {name: self.method_of(name) for name in self.status},
                "profile_intervals_95": {name: [json_number(low), json_number(high)]
                                         for name, (low, high) in self.intervals.items()},
                "profile_refits": self.profile_refits,
                "notes": list(self.notes)}


# The status of an error relative to its scale.
def _status(relative):
    return STATUSES[0] if relative <= DETERMINED else \
        STATUSES[1] if relative <= WEAKLY_DETERMINED else STATUSES[2]


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
    # A tiny floor (a Jacobian of subnormal entries) overflows to an infinite inverse.
    with np.errstate(divide="ignore", over="ignore"):
        inverse = np.where(singular > floor, 1.0 / np.maximum(singular, floor), np.inf)
    return inverse, vt


# A parameter's part along an unconstrained direction above this makes it undetermined.
NULL_COMPONENT = 1e-6


# Linearised error of each parameter from the scaled Jacobian (log columns
# times the value): sqrt of the diagonal of V diag(1/s^2) V^T; infinite for a
# parameter with a part along a direction the data do not constrain.
def _linearised_errors(names, scaled):
    inverse, vt = _inverse_singular(scaled)
    finite = np.isfinite(inverse)
    with np.errstate(over="ignore", invalid="ignore"):
        variance = (vt[finite].T ** 2) @ (inverse[finite] ** 2)
    free = np.any(np.abs(vt[~finite]) > NULL_COMPONENT, axis=0)
    return {name: math.inf if open_ else float(math.sqrt(v))
            for name, v, open_ in zip(names, variance, free)}


# The identifiability of parameters `names` (values, whether each is a
# log-parameter, and the scale of each other one, e.g. the Rayleigh range for
# the focus in mm) from the Jacobian of the weighted residuals with respect to
# the physical values and the variance scale s^2 of the covariance. Each
# parameter's error is its standard error (`standard_errors`, the fit's, in
# physical units; by default from the same Jacobian) over its value for a
# log-parameter, so that the table and the statuses read one number.
def from_jacobian(names, values, is_log, jacobian, variance_scale, scales=None,
                  standard_errors=None):
    """Identifiability of a fit from its Jacobian (rows: weighted residuals)."""
    names = list(names)
    values = np.asarray(values, dtype=np.float64)
    is_log = np.asarray(is_log, dtype=bool)
    jacobian = np.asarray(jacobian, dtype=np.float64)
    scaled = jacobian * np.where(is_log, values, 1.0)
    if variance_scale > 0:
        scaled = scaled / math.sqrt(variance_scale)
    if standard_errors is None:
        errors = _linearised_errors(names, scaled)
    else:
        errors = {}
        for name, value, error, log in zip(names, values, standard_errors, is_log):
            relative = (error / abs(value) if value != 0.0 else math.inf) if log else error
            errors[name] = float(relative) if math.isfinite(relative) else math.inf
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
    status = {name: _status(error / scales.get(name, 1.0)) for name, error in errors.items()}
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


# A relative error as per cent text ("0.8 %", "+/- inf").
def _percent(error):
    return "+/- inf" if not math.isfinite(error) else percent_text(error)
