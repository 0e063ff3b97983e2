"""tarvo.fit: least-squares fits of Z-scan curves, on either engine.

The exact engine computes the model to rounding error together with its exact
derivatives, so SciPy's trust-region least squares can run to tight
tolerances and end at the optimum, and the standard errors come from the
exact Jacobian. The lsoda engine is fit_zscan's own multi-start fit (see
lsoda_fit). Both return the same FitResult; several measurements go to the
global fit.

A fit runs in three steps: prepare (the settings checked, the problem built,
the data checked), solve (one run per engine, RUNS) and the result. The
result's fields are computed once at the solution (result_fields: values,
errors that include the grid's model error where the fit chose the grid,
statistics, curves, notes); what is judged there (identifiability, what each
aperture determines, the error budget, the plausibility of the fitted values)
reads them through a FitResult that is not returned; the FitResult returned
is built once from the fields and the judgements, and nothing edits it.
"""

import math
import time
from contextlib import closing
from dataclasses import dataclass, replace

import numpy as np

from . import _native
from .budget import SetupUncertainties, error_budget
from .checks import data_findings, fit_findings, raise_or_warn, rayleigh_range_mm
from .curve_data import are_curves, checked_curves, curves_of
from .errors import InputError
from .fit_settings import ENGINE_DEFAULTS, FIT_OPTIONS, OPTIONS_DOC, FitSettings
from .global_fit import fit_global, member_of
from .lsoda_fit import (LMDIF_EVALUATIONS_PER_PARAMETER, LMDIF_TOLERANCE, LsodaHandle,
                        run_multi_start, start_multipliers, use_lsoda_engine)
from .measurement import Measurement
from .model_error import control_model_error
from .model_setup import setup_argument
from .options import check_option_names, document_options
from .parameters import FOCUS, NAMES, OPTICAL_NAMES
from .problem import check_focus_in_scan, prepare_problem
from .profiles import judge_by_profiles
from .result_building import result_fields
from .results import FitResult
from .uncertainty import PROFILE, from_jacobian


# The exact engine's default limit of model evaluations of one start (and of
# each refit of the grid control): this times (n + 1) for n fitted
# parameters, as MINPACK's 200 (n + 1).
EVALUATIONS_PER_PARAMETER = 200

# How each engine's identifiability report comes about.
IDENTIFIABILITY_METHODS = {
    "exact": "linearised errors from the exact Jacobian in log-parameters",
    "lsoda": "linearised errors from the Jacobian by central differences, in log-parameters",
}

# Relative step of the budget's differences on the lsoda engine, whose model
# is not smooth to rounding (its steps adapt within the slices).
LSODA_BUDGET_STEP = 1.0e-3


# What an engine's run found: the best start and every start as (factor, u,
# solution), the solver's tolerances and evaluation budget, the options a
# refit passes to the engine, the model evaluations where the engine counts
# them itself (lsoda), and the grid's model error (exact engine; None where
# it was not checked).
@dataclass(frozen=True)
class Solution:
    best: tuple
    starts: list
    tolerances: tuple
    engine_options: dict
    evaluations: int = None
    model_error: object = None


# What judging the fit's standard errors starts from: the Rayleigh range
# (the focus's scale), the residual variance the errors are scaled by, and
# which fitted parameters are judged in relative (log) terms, whatever the
# solver's variables.
def _judging_terms(problem, result):
    z_r = rayleigh_range_mm(problem.setup)
    variance = result.redchi if result.scale_covar and math.isfinite(result.redchi) else 1.0
    relative = np.array([name in NAMES or name in OPTICAL_NAMES for name in problem.names])
    return z_r, variance, relative


# What the data determine at the fit's solution (the focus judged against the
# Rayleigh range), from the fit's own standard errors; with `profiles`, the
# parameters these leave weakly or not determined are judged by their
# likelihood profiles.
def _identifiability(problem, result, profiles):
    z_r, variance, relative = _judging_terms(problem, result)
    errors = [result.params[name].stderr for name in problem.names]
    identifiability = from_jacobian(problem.names, problem.values(result._u), relative,
                                    problem.physical_jacobian(result._u), variance,
                                    {FOCUS: z_r}, standard_errors=errors)
    identifiability.method = IDENTIFIABILITY_METHODS[result.engine]
    if profiles and math.isfinite(result.chisqr):
        judge_by_profiles(result, identifiability, {FOCUS: z_r})
    return identifiability


# What makes the model of a fit's measurement at another set-up and other
# pulse energies, (setup, energies) -> handle, on the fit's engine and grid:
# the error budget's shifted set-ups.
def _handle_maker(problem, engine):
    if engine == "lsoda":
        # The solver's messages at the shifted set-ups go where the fit's go.
        def lsoda_handle(setup, energies):
            handle = LsodaHandle(problem.x, energies, setup, problem.grid,
                                 problem.handle.rel_step)
            handle.diagnostics = problem.handle.diagnostics
            return handle
        return lsoda_handle
    return lambda setup, energies: problem.exact_handle(setup, energies)


# What the open curves alone and the closed curves alone would determine of
# a fit that has both (name -> status, from the rows of the Jacobian of each
# kind), or None for a fit of one kind.
def _determined_by_aperture(problem, result):
    if problem.aperture is None or not problem.open_rows:
        return None
    z_r, variance, relative = _judging_terms(problem, result)
    jacobian = problem.physical_jacobian(result._u)
    kinds = {"open": problem.open_rows,
             "closed": [k for k in range(problem.y.shape[0]) if k not in problem.open_rows]}
    alone = {}
    for kind, curves in kinds.items():
        rows = _residual_rows(problem, curves)
        alone[kind] = from_jacobian(problem.names, problem.values(result._u), relative,
                                    jacobian[rows], variance, {FOCUS: z_r}).status
    return alone


# The rows of the residual vector that belong to `curves` (padding of curves
# of different lengths is not among the residuals).
def _residual_rows(problem, curves):
    index = np.arange(problem.y.size).reshape(problem.y.shape)
    if problem.keep is None:
        return np.concatenate([index[k] for k in curves])
    kept = np.cumsum(problem.keep) - 1
    return np.concatenate([kept[index[k]][problem.keep[index[k]]] for k in curves])


# Whether fit's first argument is a measurement, or several, read by
# tarvo.read_measurement.
def _are_measurements(positions):
    return isinstance(positions, Measurement) or bool(
        isinstance(positions, (list, tuple)) and positions
        and all(isinstance(m, Measurement) for m in positions))


# tarvo.fit(measurements, params): one measurement read by
# tarvo.read_measurement is fitted as `tarvo fit DIR` fits it on the exact
# engine; several are fitted together (tarvo.global_fit). params None: the
# start values and fitted parameters of the first measurement's set-up file.
# Of fit's options, model, checks and uncertainties apply.
def _fit_measurements(measurements, params, options):
    model, checks = options.get("model"), options.get("checks", "warn")
    uncertainties = options.get("uncertainties")
    members = [measurements] if not isinstance(measurements, (list, tuple)) else measurements
    given = params is not None
    params = members[0].parameters() if params is None else params
    model = ENGINE_DEFAULTS["exact"]["model"] if model is None else model
    if len(members) == 1:
        arguments = dict(member_of(members[0], model).arguments)
        arguments.pop("focus")
        curves = arguments.pop("curves")
        if uncertainties is None:
            uncertainties = members[0].uncertainties
        elif members[0].sigma_1_from is not None:
            # The held sigma_1 follows the absorption it was computed from.
            uncertainties = SetupUncertainties.of(
                uncertainties, "uncertainties: ", members[0].sigma_1_from["alpha_cm-1"])
        return fit(curves, params=params, checks=checks, n_starts=members[0].n_starts,
                   uncertainties=uncertainties, **arguments)
    if uncertainties is not None:
        raise InputError("uncertainties: the error budget is computed for the fit of one "
                         "measurement; fit each with its uncertainties")
    # Parameters given apply to every measurement; else each its own set-up's.
    global_members = [member_of(m, model) for m in members]
    if given:
        global_members = [replace(member, params=None) for member in global_members]
    return fit_global(global_members, params, checks=checks)


# The curves of a fit, checked, and its parameters: tarvo.Curve objects as
# given (params may follow them as the second argument; the arrays' options
# sigma, aperture and divided_by_open belong to each curve then), else
# built from the arrays.
def _curves(positions, transmittance, pulse_energy, params, settings):
    if not are_curves(positions):
        return curves_of(positions, transmittance, pulse_energy, settings.sigma,
                         settings.aperture, settings.divided_by_open), params
    if params is None:
        params, transmittance = transmittance, None
    given = [name for name, value in (("transmittance", transmittance),
                                      ("pulse_energy", pulse_energy),
                                      ("sigma", settings.sigma), ("aperture", settings.aperture),
                                      ("divided_by_open", settings.divided_by_open))
             if value is not None]
    if given:
        raise InputError(f"{', '.join(given)}: each tarvo.Curve carries its own; give the "
                         "curves with params and options only")
    return checked_curves(positions), params


# The first step of a fit: the problem built from the curves, start values,
# set-up (a tarvo.Setup) and settings, the focus checked against the scan,
# and the plausibility findings of the data (fit itself raises or warns of
# them, so that a warning names the caller's line).
def _prepare(curves, params, setup, settings):
    problem = prepare_problem(curves, params, setup, **settings.problem_arguments())
    resolved = problem.resolved
    check_focus_in_scan(problem.focus_start, problem.x, resolved.focus is not None)
    findings = []
    if settings.checks != "off":
        # The plausibility checks read open-aperture curves (the data as given).
        rows = problem.open_rows
        findings = data_findings(problem.x[rows], problem.given[rows], problem.energies[rows],
                                 problem.setup, resolved.spec_pars, settings.is_sa,
                                 problem.normalisation, focus=resolved.focus) if len(rows) else []
    return problem, findings


# A fitted focus must start within its bounds.
def _check_focus_bounds(problem):
    focus_low, focus_high = problem.resolved.bounds.get(FOCUS, (-math.inf, math.inf))
    if FOCUS in problem.names and not focus_low <= problem.focus_start <= focus_high:
        raise InputError(f"focus: start value {problem.focus_start!r} mm lies outside its bounds "
                         f"[{focus_low!r}, {focus_high!r}]")


# Where the solver's messages of the fit and of its standard errors go: to
# the log (written only when there are any), counted; later ones (refits of
# profiles and bootstraps) are counted and dropped.
def _solver_diagnostics(solver_log):
    return _native.Diagnostics(None if solver_log is None else str(solver_log))


# The exact engine: SciPy's trust-region least squares from each start (the
# given values, or those scaled by fit_zscan's factors), the best start
# kept; then the grid's model error at its solution (for a default grid,
# refined and refitted while it would move the values). Its solver reports
# no messages: `diagnostics` stays empty.
def _run_exact(problem, settings, diagnostics):
    if settings.rel_step is not None:
        raise InputError("rel_step applies to the lsoda engine; the exact engine's "
                         "derivatives are exact")
    n = len(problem.names)
    max_nfev = (EVALUATIONS_PER_PARAMETER * (n + 1) if settings.max_nfev is None
                else int(settings.max_nfev))
    tolerances = (settings.ftol, settings.xtol, settings.gtol, max_nfev)
    free = np.ones(n, dtype=bool)

    def solve(u0):
        return problem.solve(u0, free, *tolerances)

    factors = [1.0] if settings.n_starts == 1 else start_multipliers(settings.n_starts)
    starts = []
    for factor in factors:
        u, solution = solve(np.where(problem.is_log, math.log(factor), 0.0))
        starts.append((factor, u, solution))
        if settings.progress is not None:
            settings.progress(len(starts))
    best = min(starts, key=lambda s: (not np.isfinite(s[2].cost), s[2].cost))
    grid_check = None
    if settings.model_error and np.isfinite(best[2].cost):
        grid_check, latest = control_model_error(
            problem, best[1], settings.scales_covariance(problem.sigma), solve,
            problem.grid_given)
        if latest is not None:
            best = (best[0], *latest)
    engine_options = dict(ftol=settings.ftol, xtol=settings.xtol, gtol=settings.gtol,
                          max_nfev=max_nfev)
    return Solution(best, starts, tolerances, engine_options, model_error=grid_check)


# The lsoda engine: fit_zscan's multi-start fit itself (lsoda_fit), its
# solver's messages into the fit's diagnostics.
def _run_lsoda(problem, settings, diagnostics):
    if problem.counts is not None:
        raise InputError("the lsoda engine (fit_zscan) fits curves of equal length; curves "
                         "of different lengths (points left out can make them so) need "
                         "the exact engine")
    use_lsoda_engine(problem, settings.rel_step)
    problem.handle.diagnostics = diagnostics
    best, starts, evaluations = run_multi_start(problem, settings.n_starts)
    if settings.progress is not None:
        settings.progress(len(starts))
    tolerances = (LMDIF_TOLERANCE, LMDIF_TOLERANCE, 0.0,
                  LMDIF_EVALUATIONS_PER_PARAMETER * (len(problem.names) + 1))
    return Solution(best, starts, tolerances, dict(rel_step=problem.handle.rel_step),
                    evaluations=evaluations)


# The second step: each engine's run of a prepared problem.
RUNS = {"exact": _run_exact, "lsoda": _run_lsoda}


# The fields of a solved problem's FitResult (result_fields) with what is
# judged at its solution, read from a FitResult of those fields that is not
# returned: identifiability, what each aperture alone determines, and the
# error budget of the set-up's uncertainties. `began`: when the fit began
# (perf_counter), for the fit's time.
def _judged_fields(problem, params, solution, settings, began):
    engine = settings.engine
    fields = result_fields(problem, params, solution, engine=engine, is_sa=settings.is_sa,
                           scale_covar=settings.scales_covariance(problem.sigma),
                           seconds=time.perf_counter() - began, fit_function=fit)
    fitted = FitResult(**fields)
    identifiability = _identifiability(
        problem, fitted, settings.identifiability == PROFILE and engine == "exact")
    determined_by_aperture = _determined_by_aperture(problem, fitted)
    budget = None if not settings.uncertainties else error_budget(
        problem, fitted, settings.uncertainties, _handle_maker(problem, engine),
        **({"step": LSODA_BUDGET_STEP} if engine == "lsoda" else {}))
    return dict(fields, identifiability=identifiability,
                determined_by_aperture=determined_by_aperture, budget=budget)


# The solver's messages of the fit and of what was judged at its solution,
# once its diagnostics are closed: the lsoda engine's; the exact engine has
# no solver that reports any (None). Later refits of the lsoda engine report
# to no log.
def _solver_messages(problem, settings, diagnostics):
    if settings.engine != "lsoda":
        return None
    messages = {kind: n for kind, n in diagnostics.counts().items() if n}
    problem.handle.diagnostics = _native.Diagnostics(None)
    return messages


# Fit Z-scan curves: prepare the problem, solve it on the engine, build the result.
@document_options(OPTIONS_DOC)
def fit(positions, transmittance=None, pulse_energy=None, params=None, *, setup=None,
        populations=None, sample_width=None, tau=None, wavelength=None, w0=None, M2=None,
        engine="exact", **options):
    """Least-squares fit of Z-scan curves on the exact or the lsoda engine.

    ``tarvo.fit(measurement, params=None)`` fits a tarvo.Measurement (from
    tarvo.read_measurement) as ``tarvo fit DIR`` does on the exact engine;
    ``tarvo.fit(curves, params, setup=setup)`` fits a sequence of tarvo.Curve;
    ``tarvo.fit([m1, m2, ...], params=None)`` fits several together with
    shared molecular parameters (a tarvo.global_fit.GlobalFitResult).
    Without params the first set-up file's start values and fitted
    parameters apply.

    Parameters
    ----------
    positions : array_like
        Scan positions in mm (stage coordinates as measured): one row per
        curve, or one row for all. Curves of different lengths: one
        sequence per curve (as for transmittance and sigma).
    transmittance : array_like
        Measured transmittance, one row per curve (or one sequence per
        curve where they differ in length). With "far-field" each curve
        (and its sigma) is divided by the mean of its own far-field points,
        as the model is, so any scale is right; "linear" and "absolute"
        take it as it is and raise ValueError where its far field cannot
        be so normalised.
    pulse_energy : sequence of float
        Pulse energy of each curve in J.
    params : tarvo.Parameters, mapping or sequence
        tarvo.Parameters (or lmfit.Parameters, or any mapping name -> object
        with value, vary, min, max and optionally expr) of the eight
        parameters and optionally "focus" (mm; value None: the extreme of
        the data) and derived parameters; or the eight values as a sequence
        or name -> value mapping, with `vary` naming the fitted ones.
        Parameters with an ``expr`` follow it, with lmfit's meaning.
    setup : tarvo.Setup, optional
        The set-up as one object (its slices unless t_slices, z_slices given).
    populations, sample_width, tau, wavelength, w0, M2
        Or the set-up's values, as for `tarvo.simulate`.
    engine : {"exact", "lsoda"}
        "exact" (default): matrix-exponential steps with exact derivatives,
        SciPy's least_squares. "lsoda": fit_zscan's fit itself (MINPACK's
        lmdif on the LSODA march, its multi-start, bit for bit) of the
        established model with normalisation "shift" and weights
        "established" (the defaults for this engine), plain parameters only
        (no bounds, expressions or fitted focus); n_starts as fit_zscan's
        (1: the start values x 0.302), `ftol` and the others do not apply.
    **options
        The settings under Other Parameters, by keyword (an unknown name
        raises TypeError).

    Returns
    -------
    FitResult
        Without convergence: the last values, ``success`` False, and why.

    Raises
    ------
    tarvo.InputError
        (a ValueError) On invalid input, with a message naming it.
    """
    check_option_names("fit", options, FIT_OPTIONS)
    if _are_measurements(positions):
        return _fit_measurements(positions, transmittance if params is None else params, options)
    began = time.perf_counter()
    settings = FitSettings.of(engine, options)
    setup = setup_argument(setup, dict(populations=populations, sample_width=sample_width,
                                       tau=tau, wavelength=wavelength, w0=w0, M2=M2))
    curves, params = _curves(positions, transmittance, pulse_energy, params, settings)
    problem, findings = _prepare(curves, params, setup, settings)
    raise_or_warn(findings, settings.checks)
    _check_focus_bounds(problem)
    with closing(_solver_diagnostics(settings.solver_log)) as diagnostics:
        solution = RUNS[settings.engine](problem, settings, diagnostics)
        fields = _judged_fields(problem, params, solution, settings, began)
    fields["solver_messages"] = _solver_messages(problem, settings, diagnostics)
    # The fitted values' findings, raised or warned of here as the data's.
    after = fit_findings(FitResult(**fields)) if settings.checks != "off" else []
    raise_or_warn(after, settings.checks)
    return FitResult(**fields, findings=findings + after)
