"""Standard errors of fitted parameters from the Jacobian at the solution.

The covariance is s^2 (J^T J)^-1 of the weighted least-squares problem, with
s^2 = chi^2 / (m - n), chi^2 the weighted sum of squared residuals, m the
number of data points and n the number of fitted parameters: the estimate
that least-squares tools report when the data carry no error bars of their own.

The Jacobian comes from central differences. The model integrates its rate
equations to a tolerance of 1e-6, so its values carry noise of that order
that does not shrink with the step: a step of the usual 1.5e-8 relative size
(the forward differences of the fit itself) gives derivatives of pure noise.
A relative step of 1e-3 keeps that noise near 1e-3 of a typical derivative
while the truncation error of the central difference stays of order 1e-6.
"""

from dataclasses import dataclass

import numpy as np

from . import _native

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
# scale_covar (data with their own uncertainties) the covariance is (J^T J)^-1.
def covariance_from_jacobian(jacobian, weighted_residuals, scale_covar=True):
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
        _, singular, vt = np.linalg.svd(scaled, full_matrices=False)
        if singular[-1] > singular[0] * max(m, n) * np.finfo(float).eps:
            inverse = (vt.T / singular**2) @ vt
            scale = chi2 / dof if scale_covar else 1.0
            covariance = scale * inverse / np.outer(norms, norms)
    if dof <= 0:
        covariance = np.full((n, n), np.nan)
    errors = np.sqrt(np.diag(covariance))
    return Uncertainty(errors, covariance, chi2, dof)


# Generic entry: standard errors of x for weighted residuals fun(x), at the solution x.
def standard_errors(weighted_residuals, x, rel_step=REL_STEP_DEFAULT):
    jacobian = central_jacobian(weighted_residuals, x, rel_step)
    return covariance_from_jacobian(jacobian, weighted_residuals(np.asarray(x, dtype=np.float64)))
