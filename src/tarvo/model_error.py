"""Model error at the solution: how far the fitted values would move on a finer
grid. The model is evaluated once more at the solution on a grid twice as
fine in every count; one Gauss-Newton step with the exact Jacobian turns the
change of the curves into the shift of the fitted values. Where a shift
exceeds SHIFT_LIMIT standard errors, the default grid is refined and the fit
continued from its solution, until the shifts are small (or the grid reaches
its limits); a grid the caller chose is kept, and its shift reported. The
resolution rule bounds the grid's error against the whole nonlinear change of
the curves; a parameter that moves the curves far less than that (a weak
triplet absorption) needs the finer grid this check finds."""

import math
from dataclasses import dataclass, field

import numpy as np

from .counts import MAX_SLICES
from .engine import MAX_NODES

# Largest shift of a fitted value, in standard errors, that the grid may cause.
SHIFT_LIMIT = 0.2

# Refinements of the default grid at most.
MAX_REFINEMENTS = 3

# Each grid count is multiplied by this in the finer grid of the check.
REFINE_FACTOR = 2

# A count the model error comes from is multiplied by this in a refinement.
REFINE_STEP = 4

# A refined grid costs at most this many times the first one per evaluation
# (the product of its counts); beyond, the model error enters the errors.
MAX_WORK = 32

# A count whose doubling moves the values by at least this share of the
# largest such move is refined.
RELEVANT_SHARE = 0.25

# The grid's own error, in units of its change on doubling (first-order
# convergence: the error of n slices is twice the change from n to 2n).
ERROR_PER_SHIFT = 2.0

# Relative shifts below this are rounding, whatever the standard errors.
NEGLIGIBLE_SHIFT = 1.0e-9

# Most nodes and slices of a finer grid.
GRID_LIMITS = {"t_slices": MAX_SLICES, "z_slices": MAX_SLICES, "radial_points": MAX_NODES,
               "intensity_points": MAX_NODES}


# What the check found: the grid the fit ended on, the estimated shift of
# every fitted value on a grid twice as fine (physical units), the
# refinements made, and whether the shifts are within SHIFT_LIMIT standard
# errors.
@dataclass
class ModelErrorCheck:
    grid: dict
    shifts: dict
    refinements: int = 0
    within_limit: bool = True
    grid_given: bool = False
    history: list = field(default_factory=list)

    # The record of the result file.
    def as_dict(self):
        return {"method": f"one Gauss-Newton step with the exact Jacobian from the curves on a "
                          f"grid {REFINE_FACTOR} times as fine in every count; the default grid "
                          f"is refined while a shift exceeds {SHIFT_LIMIT:g} standard errors",
                "grid": dict(self.grid), "refinements": self.refinements,
                "model_error": {name: float(v) for name, v in self.shifts.items()},
                "within_limit": self.within_limit, "grid_given": self.grid_given,
                "history": list(self.history)}


# The grid with every count multiplied by REFINE_FACTOR, within its limits.
def finer_grid(model, grid):
    finer = {}
    for key, value in grid.items():
        if model != "energy" and key in ("radial_points", "intensity_points"):
            finer[key] = value
            continue
        finer[key] = min(GRID_LIMITS[key], REFINE_FACTOR * int(value))
    return finer


# The problem's model on another grid: a handle of its own (with the
# problem's apertures: closed curves stay closed).
def handle_on(problem, grid):
    return problem.exact_handle(grid={key: value for key, value in grid.items()
                                      if problem.model == "energy"
                                      or key in ("t_slices", "z_slices")})


# The shift of the fitted values (physical units) that the finer grid's
# curves would cause: one Gauss-Newton step from u with the exact Jacobian.
def grid_shift(problem, u, fine_handle):
    free = np.ones(len(problem.names), dtype=bool)
    coarse, _, jacobian = problem.evaluate(u, free)
    spec_pars, focus = problem.parameters(u)
    fine, _ = problem.curves(spec_pars, focus, (), problem.optics(u), handle=fine_handle)
    change = problem.weighted_change(coarse, fine)
    # The weighted residuals fall by the change; the step that absorbs it.
    step, *_ = np.linalg.lstsq(jacobian, change, rcond=None)
    return problem.chain(u) * step


# Standard errors of the fitted values at u (physical units), scaled by the
# residual variance where `scale_covar`.
def standard_errors_at(problem, u, scale_covar):
    from .uncertainty import covariance_from_jacobian

    _, residuals, jacobian = problem.evaluate(u, np.ones(len(problem.names), dtype=bool))
    covariance = covariance_from_jacobian(jacobian / problem.chain(u), residuals, scale_covar,
                                          problem.residual_noise(u)).covariance
    return np.sqrt(np.diag(covariance))


# Whether every shift is within SHIFT_LIMIT standard errors (or negligible).
def _within(shifts, errors, values):
    small = np.abs(shifts) <= np.maximum(SHIFT_LIMIT * errors,
                                         NEGLIGIBLE_SHIFT * np.abs(values))
    return bool(np.all(small | ~np.isfinite(errors)))


# The work of one evaluation on a grid, up to a constant: its counts' product.
def _work(grid):
    return math.prod(max(1, int(value)) for value in grid.values())


# The shifts (in standard errors) of each grid count doubled alone: which
# counts the model error comes from.
def _shifts_per_count(problem, u, errors):
    found = {}
    for key, value in problem.grid.items():
        grid = dict(problem.grid)
        grid[key] = finer_grid(problem.model, {key: value})[key] if (
            problem.model == "energy" or key in ("t_slices", "z_slices")) else value
        if grid[key] == value:
            continue
        shifts = grid_shift(problem, u, handle_on(problem, grid))
        with np.errstate(invalid="ignore", divide="ignore"):
            found[key] = float(np.nanmax(np.abs(shifts) / errors))
    return found


# The check at the fit's solution u and, for a default grid, the refinements:
# `refit(u)` continues the fit from u on the problem's current grid and
# returns (u, solution). One evaluation on the grid twice as fine in every
# count; where a shift exceeds the limit, each count is doubled alone to find
# the counts the error comes from, and those are refined (REFINE_STEP times).
# Returns the ModelErrorCheck and the last (u, solution), or None for the
# solution when the grid was kept.
def control_model_error(problem, u, scale_covar, refit, grid_given):
    check = ModelErrorCheck(dict(problem.grid), {}, grid_given=grid_given)
    latest = None
    for round_ in range(MAX_REFINEMENTS + 1):
        fine = finer_grid(problem.model, problem.grid)
        if fine == problem.grid:
            break
        shifts = grid_shift(problem, u, handle_on(problem, fine))
        errors = standard_errors_at(problem, u, scale_covar)
        values = problem.values(u)
        check.shifts = dict(zip(problem.names, np.abs(shifts).tolist()))
        check.grid = dict(problem.grid)
        check.within_limit = _within(shifts, errors, values)
        check.history.append({"grid": dict(problem.grid), "shift_in_errors": {
            name: (float(abs(s) / e) if e > 0 and math.isfinite(e) else None)
            for name, s, e in zip(problem.names, shifts, errors)}})
        if check.within_limit or grid_given or round_ == MAX_REFINEMENTS:
            break
        per_count = _shifts_per_count(problem, u, errors)
        check.history[-1]["shift_per_count"] = per_count
        largest = max(per_count.values(), default=0.0)
        grid = dict(problem.grid)
        for key, shift in per_count.items():
            if shift >= RELEVANT_SHARE * largest:
                grid[key] = min(GRID_LIMITS[key], REFINE_STEP * grid[key])
        if grid == problem.grid or _work(grid) > MAX_WORK * _work(check.history[0]["grid"]):
            check.history[-1]["next_grid_too_costly"] = grid != problem.grid
            break
        # The refined grid becomes the fit's, and the fit goes on from u.
        problem.use_grid(grid, handle_on(problem, grid))
        u, solution = refit(u)
        latest = (u, solution)
        check.refinements += 1
    return check, latest


# The note on a grid that leaves shifts beyond the limit.
def coarse_grid_note(check):
    grid = ", ".join(f"{key} {value}" for key, value in check.grid.items() if value)
    name, shift = max(check.history[-1]["shift_in_errors"].items(),
                      key=lambda item: -1.0 if item[1] is None else item[1])
    text = (f"the grid ({grid}) is too coarse for these data: a grid twice as fine would move "
            f"{name} by {shift:.2g} standard errors; ")
    if check.grid_given:
        return text + ("the chosen grid was kept and the standard errors leave this model "
                       "error out; give finer [model] counts (or leave them to the defaults)")
    times = {0: "", 1: "refined once, "}.get(check.refinements,
                                             f"refined {check.refinements} times, ")
    return text + (f"{times}a finer grid would cost too much: "
                   f"the standard errors include the model error ({ERROR_PER_SHIFT:g} times "
                   "that shift)")


# A default grid that, refined as far as it may be, leaves shifts beyond the
# limit: the model error (ERROR_PER_SHIFT times the shifts) added in
# quadrature to the variances of the fit's covariance of the fitted
# parameters `names`, so that the standard errors include it. Returns the
# covariance, the standard errors and the correlation so widened.
def widened_by_model_error(covariance, names, check):
    shifts = ERROR_PER_SHIFT * np.array([check.shifts.get(name, 0.0) for name in names])
    covariance = np.array(covariance, dtype=np.float64) + np.diag(shifts ** 2)
    errors = np.sqrt(np.diag(covariance))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = covariance / np.outer(errors, errors)
    return covariance, errors, correlation
