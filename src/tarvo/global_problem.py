"""Several measurements as one least-squares problem: the global fit's solver
variables, its residuals and Jacobian, its solve. It answers the questions a
single measurement's problem answers (values, chain, evaluate, solve), so
that likelihood profiles run on a global fit as on a single one."""

import math

import numpy as np

from .problem import solve_free
from .residual_noise import ResidualNoise


# The measurements' problems, each on its own rows of the residual vector and
# its own solver variables (a subset of the global ones, `maps`), each
# measurement's weighted residuals times its scale (the inverse of its noise
# where it is estimated).
class GlobalProblem:
    # `names` the global parameters, `maps` per problem the global index of
    # each of its variables, `bounds` (lower, upper) in solver variables.
    def __init__(self, problems, maps, names, lower, upper, is_log):
        self.problems, self.maps, self.names = problems, maps, list(names)
        self.lower, self.upper, self.is_log = lower, upper, is_log
        self.scales = np.ones(len(problems))
        self.scale = np.ones(len(names))
        for problem, local in zip(problems, maps):
            self.scale[local] = problem.scale

    # Physical values of the global parameters at solver variables u.
    def values(self, u):
        values = np.zeros(len(self.names))
        for problem, local in zip(self.problems, self.maps):
            values[local] = problem.values(u[local])
        return values

    # d(physical value)/du at u.
    def chain(self, u):
        return np.where(self.is_log, self.values(u), self.scale)

    # (None, weighted residuals, their Jacobian with respect to the free
    # variables or None), as a single problem's evaluate.
    def evaluate(self, u, free, jacobian=True):
        u = np.asarray(u, dtype=np.float64)
        free = np.asarray(free, dtype=bool)
        rows, blocks = [], []
        for scale, problem, local in zip(self.scales, self.problems, self.maps):
            _, residuals, block = problem.evaluate(u[local], np.ones(len(local), dtype=bool),
                                                   jacobian)
            rows.append(scale * residuals)
            if jacobian:
                full = np.zeros((residuals.size, len(self.names)))
                full[:, local] = scale * block
                blocks.append(full[:, free])
        return None, np.concatenate(rows), (np.vstack(blocks) if jacobian else None)

    # Each measurement's noise from its own residuals at u (unscaled), as its
    # scale, where it gives no sigma of its own; the largest relative change
    # of a scale.
    def reweight(self, u, has_sigma):
        change = 0.0
        for k, (problem, local) in enumerate(zip(self.problems, self.maps)):
            if has_sigma[k]:
                continue
            residuals = problem.evaluate(u[local], np.ones(len(local), dtype=bool), False)[1]
            noise = math.sqrt(float(residuals @ residuals) / residuals.size)
            new = 1.0 / noise if noise > 0 else 1.0
            change = max(change, abs(new / self.scales[k] - 1.0))
            self.scales[k] = new
        return change

    # The noise dividing each measurement's curves by their far field adds.
    def residual_noise(self, u):
        return ResidualNoise.concatenated(
            [problem.residual_noise(u[local]) for problem, local in zip(self.problems, self.maps)],
            [problem.residual_count for problem in self.problems])

    # Least squares over the free variables, the others held at u_start:
    # (u, the solver's result), as a single problem's solve.
    def solve(self, u_start, free, ftol, xtol, gtol, max_nfev):
        return solve_free(self, u_start, free, ftol, xtol, gtol, max_nfev)
