"""The lsoda engine inside tarvo.fit: fit_zscan's multi-start fit (MINPACK's
lmdif on the LSODA march of the established model, bit for bit) of the
problem tarvo.fit prepared, and a handle that evaluates the same march for
the result's standard errors, curves and refits.

The engine handle of the exact engine evaluates curves with exact
derivatives; the LSODA march has none, so its handle differentiates by
central differences with steps `rel_step` times each value. Everything above
the handle (the FitResult, its covariance, identifiability, profile
intervals, bootstrap) is the same for both engines.
"""

import math
from types import SimpleNamespace

import numpy as np

from . import _native
from .engine import check_spec_pars
from .errors import InputError
from .uncertainty import REL_STEP_DEFAULT


# MINPACK lmdif1's tolerance as fit_zscan sets it (ftol = xtol), and its
# budget of residual evaluations per start: 200 (n + 1).
LMDIF_TOLERANCE = 1.0e-3
LMDIF_EVALUATIONS_PER_PARAMETER = 200

# What lmdif's `info` means (1-4: converged).
LMDIF_INFO = {
    1: "the relative reduction of the sum of squares is at most ftol",
    2: "the relative change of the parameters is at most xtol",
    3: "the relative reductions of the sum of squares and of the parameters are at most "
       "ftol and xtol",
    4: "the residuals are orthogonal to the Jacobian's columns (gtol)",
    5: "the budget of residual evaluations, 200 (n + 1), is used up",
    6: "ftol is too small: no further reduction of the sum of squares is possible",
    7: "xtol is too small: no further improvement of the parameters is possible",
}


# Factors by which the fit scales the start values, one per start:
# geometrically spread from 10^-0.52 to 10^+0.52 (a single start uses 10^-0.52).
def start_multipliers(n_starts):
    return _native.start_multipliers(n_starts)


# The LSODA march's set-up from a tarvo.Setup and the grid: the populations
# and (t_slices, z_slices, sample_width, tau, wavelength, w0, M2), the
# arguments of the native march and fit in their order.
def lsoda_beam(setup, grid):
    return (np.ascontiguousarray(setup.populations, dtype=np.float64),
            (int(grid["t_slices"]), int(grid["z_slices"]), float(setup.sample_width),
             float(setup.tau), float(setup.wavelength), float(setup.w0), float(setup.M2)))


# The LSODA march of a measurement behind the interface of the exact
# engine's handle: curves shifted to a baseline of 1 as fit_zscan shifts
# them, and derivatives by central differences.
class LsodaHandle:
    # Positions (num_datasets, num_x_pts) in mm, energies, set-up (a
    # tarvo.Setup) and grid as ZscanProblem keeps them.
    def __init__(self, x, energies, setup, grid, rel_step=REL_STEP_DEFAULT):
        if not 0.0 < rel_step < 1.0:
            raise InputError(f"rel_step must lie between 0 and 1, got {rel_step!r}")
        self.x = np.ascontiguousarray(x, dtype=np.float64)
        self.energies = np.ascontiguousarray(energies, dtype=np.float64)
        self.shape = self.x.shape
        self.rel_step = float(rel_step)
        self.populations, self.beam = lsoda_beam(setup, grid)
        # Where the solver's messages go (a _native.Diagnostics; None: stdout).
        self.diagnostics = None

    # The shifted curves at spec_pars with the focus at `focus` (mm).
    def _march(self, spec_pars, focus):
        t_slices, z_slices, *beam = self.beam
        values = _native.model_curves((self.x - focus).ravel(), self.populations, t_slices,
                                      z_slices, *beam, self.energies, spec_pars,
                                      self.shape[1], self.shape[0],
                                      diagnostics=self.diagnostics)
        return np.array(values, dtype=np.float64).reshape(self.shape)

    def curves(self, spec_pars, focus=0.0, derivatives=()):
        """Model curves (num_datasets, num_x_pts) and their derivatives
        (num_datasets, num_x_pts, len(derivatives)) with respect to entries of
        spec_pars, by central differences (the lsoda engine fits no focus)."""
        p = check_spec_pars(spec_pars)
        focus = float(focus)
        curves = self._march(p, focus)
        if not derivatives:
            return curves, np.zeros(self.shape + (0,))
        columns = []
        for index in derivatives:
            step = self.rel_step * abs(p[index]) if p[index] != 0.0 else self.rel_step
            up, down = p.copy(), p.copy()
            up[index] += step
            down[index] -= step
            columns.append((self._march(up, focus) - self._march(down, focus)) / (2.0 * step))
        return curves, np.stack(columns, axis=-1)


# The solver's account of one start, in the form the FitResult reads
# (scipy.optimize.least_squares' names).
def _start_solution(summary, u, start_values):
    info = int(summary["info"])
    error = float(summary["error"])
    converged = summary["status"] == "ok" and 1 <= info <= 4
    return SimpleNamespace(
        x=u, status=info if converged else 0, nfev=int(summary["evaluations"]), error=error,
        cost=0.5 * error * error if math.isfinite(error) else math.inf,
        message=LMDIF_INFO.get(info, f"lmdif info {info}"), info=info,
        stopped_because=None if converged else (
            f"{summary['status']}" if summary["status"] != "ok"
            else LMDIF_INFO.get(info, f"lmdif info {info}")),
        active_mask=np.zeros(u.size, dtype=int), start_values=start_values)


# Run fit_zscan's multi-start fit on a prepared problem on the lsoda engine
# (use_lsoda_engine). The solver's messages go to its handle's diagnostics.
# Returns the best start as (factor, u, solution), every start the same way
# and the residual evaluations.
def run_multi_start(problem, n_starts):
    indices = [int(i) for i in problem.indices]
    populations, beam = lsoda_beam(problem.setup, problem.grid)
    _, _, fitted, summaries = _native.fit(
        problem.x.ravel(), problem.y.ravel(), populations, *beam, problem.energies,
        problem.base, indices, problem.x.shape[1], problem.x.shape[0], bool(problem.is_sa), int(n_starts),
        diagnostics=problem.handle.diagnostics)
    factors = start_multipliers(n_starts)
    start = problem.reference.copy()
    best_values = np.array(fitted, dtype=np.float64)[indices]
    _centre_variables(problem, best_values)
    best_error = min(float(s["error"]) for s in summaries)
    starts = []
    best = None
    for factor, summary in zip(factors, summaries):
        # Only the best start's values come back (u = 0: exactly fit_zscan's
        # values); the others count by their error.
        chosen = best is None and float(summary["error"]) == best_error
        u = np.zeros(len(indices)) if chosen else problem.internal(start * factor)
        entry = (factor, u, _start_solution(summary, u, start * factor))
        starts.append(entry)
        if chosen:
            best = entry
    if best is None:   # every error is NaN: the first start stands for the fit
        best = starts[0] = (factors[0], np.zeros(len(indices)), starts[0][2])
    evaluations = sum(int(s["evaluations"]) for s in summaries)
    return best, starts, evaluations


# Check that the lsoda engine can fit the prepared problem: fit_zscan fits the
# eight model parameters of the established model, shifted to a baseline of
# 1 and weighted as it weights them, with no bounds, expressions or focus.
def check_lsoda_problem(problem):
    if problem.model != "established":
        raise InputError(f"the {problem.model} model runs on the exact engine only; use "
                         "engine=\"exact\" or model=\"established\"")
    if problem.normalisation.mode != "shift":
        raise InputError(f"the lsoda engine (fit_zscan) shifts its model curves to a baseline "
                         f"of 1 (normalisation \"shift\"); normalisation "
                         f"{problem.normalisation.mode!r} needs the exact engine")
    if problem.weighting != "established":
        raise InputError("the lsoda engine (fit_zscan) weights the points as fit_zscan does "
                         "(weights=\"established\", no sigma); use the exact engine for other "
                         "weights")
    if problem.resolved.focus is not None:
        raise InputError("the lsoda engine (fit_zscan) puts the focus at the extreme of the "
                         "data; a focus given (or fitted) needs the exact engine")
    if any(index is None for index in problem.indices) or problem.constraints is not None:
        raise InputError("the lsoda engine (fit_zscan) fits the eight model parameters only: "
                         "expressions, parameters outside the model and a fitted focus need "
                         "the exact engine")
    # A model parameter's default bounds are its positivity bound.
    bounded = [name for name in problem.names
               if problem.resolved.bounds[name] != (0.0, math.inf)]
    if bounded:
        raise InputError(f"the lsoda engine (fit_zscan) has no bounds ({', '.join(bounded)}); "
                         "use the exact engine for bounded parameters")


# One line on the solver's messages of a fit: how many, of which kinds, where.
def messages_line(messages, log_path):
    if not messages:
        return "solver messages: none"
    total = sum(messages.values())
    kinds = ", ".join(f"{n} {kind.replace('_', ' ')}"
                      for kind, n in sorted(messages.items(), key=lambda kv: -kv[1]))
    return (f"solver messages: {total} ({kinds}), in {log_path}; many of them mean poorly "
            "chosen start values or fitted parameters (see the documentation, \"DLSODA- "
            "messages\")")


# Put a prepared problem on the lsoda engine: the LSODA march as its handle.
# run_multi_start then makes its solver variables linear (_centre_variables):
# fit_zscan's values may end at or below zero, where the exact engine's
# logarithmic variables do not reach.
def use_lsoda_engine(problem, rel_step=None):
    check_lsoda_problem(problem)
    problem.handle = LsodaHandle(problem.x, problem.energies, problem.setup, problem.grid,
                                 REL_STEP_DEFAULT if rel_step is None else rel_step)


# Linear solver variables centred on fit_zscan's values: u = 0 gives them to
# the bit, and each parameter moves relative to its size.
def _centre_variables(problem, values):
    problem.is_log = np.zeros(len(problem.names), dtype=bool)
    problem.reference = np.array(values, dtype=np.float64)
    problem.scale = np.where(problem.reference != 0.0, np.abs(problem.reference), 1.0)
    bounds = [problem.resolved.bounds[name] for name in problem.names]
    problem.lower = np.array([problem._to_internal(k, low) for k, (low, _) in enumerate(bounds)])
    problem.upper = np.array([problem._to_internal(k, high) for k, (_, high) in enumerate(bounds)])
