"""The noise that dividing each curve by its own far field puts into the residuals.

A curve divided by the mean of its own far-field points is divided by a
number that carries the noise of those points: their noise moves the whole
curve. To first order the noise of curve k's weighted residuals is G z, with
z the independent noise of its weighted points (unit variance where the
weights are the inverse standard deviations) and

    G = I - u v^T,   u = w * m,   v = a / w,

m the normalised model curve, w the points' root weights and a the far-field
averaging vector (1 / (2 p) on the first and last p points). The standard
errors carry G (a sandwich estimate, see covariance_from_jacobian): fitted
values that rest on few points near the focus are scaled by the far field as
a whole, and their errors are larger than those of independent points.

Where the noise level is estimated from the residuals, it may also follow
the signal: detector and pulse-energy noise are relative to it. The
variance of each point is taken as c0 + c1 m^2 (constant plus relative
noise), both fitted to the squared residuals through their expectation.
"""

from dataclasses import dataclass

import numpy as np


# The map G of every curve, in the rows of the residual vector.
@dataclass(frozen=True)
class ResidualNoise:
    # Per curve: the first row of its residuals, u and v of G = I - u v^T.
    blocks: tuple
    # Rows of the residual vector.
    size: int
    # The normalised model at each row (its square scales the relative noise).
    level: np.ndarray

    # G^T M for a matrix M whose rows are those of the residual vector.
    def transposed_times(self, matrix):
        result = np.array(matrix, dtype=np.float64, copy=True)
        for start, u, v in self.blocks:
            rows = slice(start, start + u.size)
            result[rows] -= np.outer(v, u @ matrix[rows])
        return result

    # Rows start:stop of G, dense.
    def rows(self, start, stop):
        dense = np.zeros((stop - start, self.size))
        dense[np.arange(stop - start), np.arange(start, stop)] = 1.0
        for first, u, v in self.blocks:
            low, high = max(start, first), min(stop, first + u.size)
            if low < high:
                dense[low - start:high - start, first:first + u.size] -= np.outer(
                    u[low - first:high - first], v)
        return dense

    # The variance of each row's independent noise, c0 + c1 level^2 with
    # c0, c1 >= 0 fitted to the squared weighted residuals by their
    # expectation E[r_i^2] = sum_j P_ij^2 var_j, P = (I - H) G, H = B B^T the
    # hat matrix of the orthonormal basis B of the Jacobian's columns.
    def variance(self, residuals, basis):
        residuals = np.asarray(residuals, dtype=np.float64)
        if not np.all(np.isfinite(residuals)):
            return np.full(self.size, np.nan)
        across = self.transposed_times(basis).T
        design = np.column_stack([np.ones(self.size), self.level ** 2])
        expectation = np.empty((self.size, 2))
        for start in range(0, self.size, ROWS_AT_ONCE):
            stop = min(start + ROWS_AT_ONCE, self.size)
            projected = self.rows(start, stop) - basis[start:stop] @ across
            expectation[start:stop] = (projected * projected) @ design
        coefficients, *_ = np.linalg.lstsq(expectation, residuals ** 2, rcond=None)
        return np.maximum(design @ coefficients, 0.0)

    # The noise of residual vectors laid end to end (a global fit's members;
    # None for a member whose normalisation adds none: G = I, its level 1).
    @staticmethod
    def concatenated(noises, sizes):
        blocks, levels, offset = [], [], 0
        for noise, size in zip(noises, sizes):
            if noise is not None:
                blocks += [(offset + start, u, v) for start, u, v in noise.blocks]
            levels.append(np.ones(size) if noise is None else noise.level)
            offset += size
        return ResidualNoise(tuple(blocks), offset, np.concatenate(levels)) if blocks else None


# Rows of G that the variance estimate holds at once (memory: this times the rows).
ROWS_AT_ONCE = 512


# The far-field averaging vector of a curve of `count` points (as
# Normalisation.far_field averages: half the mean of each end).
def far_field_vector(count, far_field_points):
    a = np.zeros(count)
    a[:far_field_points] += 0.5 / far_field_points
    a[count - far_field_points:] += 0.5 / far_field_points
    return a


# The ResidualNoise of a problem's weighted residuals at solver variables u,
# or None where its normalisation divides by no measured far field (or a
# weight of 0 on a far-field point leaves its noise undefined).
def residual_noise(problem, u):
    normalisation = problem.normalisation
    if normalisation.mode != "far-field":
        return None
    model = problem.model_curves(u)
    weights = np.broadcast_to(problem.root_weights, problem.y.shape)
    points = problem.y.shape[1]
    counts = [points] * problem.y.shape[0] if problem.counts is None else problem.counts
    blocks, levels, start = [], [], 0
    for k, count in enumerate(counts):
        count = int(count)
        a = far_field_vector(count, normalisation.far_field_points)
        w = weights[k, :count]
        if np.any(w[a > 0.0] <= 0.0) or not np.all(np.isfinite(w)):
            return None
        blocks.append((start, w * model[k, :count], a / w))
        levels.append(model[k, :count])
        start += count
    return ResidualNoise(tuple(blocks), start, np.concatenate(levels))
