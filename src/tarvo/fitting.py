"""tarvo.fit: least-squares fits of Z-scan curves, on either engine.

The exact engine computes the model to rounding error together with its exact
derivatives, so SciPy's trust-region least squares can run to tight
tolerances and end at the optimum, and the standard errors come from the
exact Jacobian. The lsoda engine is fit_zscan's own multi-start fit (see
lsoda_fit). Both return the same FitResult; several measurements go to the
global fit.
"""

import math
import time
from dataclasses import replace
from types import SimpleNamespace

import numpy as np

from . import _native
from .budget import SetupUncertainties, error_budget
from .checks import CHECK_MODES, data_findings, fit_findings, raise_or_warn, rayleigh_range_mm
from .counts import check_count
from .engine import check_engine
from .global_fit import fit_global, member_of
from .lsoda_fit import (LMDIF_EVALUATIONS_PER_PARAMETER, LMDIF_TOLERANCE, LsodaHandle,
                        run_multi_start, start_multipliers, use_lsoda_engine)
from .measurement import Measurement
from .model_error import coarse_grid_note, control_model_error, include_model_error
from .parameters import FOCUS, NAMES, OPTICAL_NAMES
from .problem import check_focus_in_scan, prepare_problem
from .profiles import judge_by_profiles
from .result_building import build_result
from .uncertainty import LINEARISED, PROFILE, from_jacobian


# Default tolerances of the least-squares solver: tight enough that the fit
# ends at the optimum (relative changes of 1e-12 in the parameters and the
# cost), still above the rounding noise of the exact model.
TOLERANCE = 1.0e-12

# Default limit of model evaluations per start and fitted parameter (as MINPACK's 200 (n + 1)).
EVALUATIONS_PER_PARAMETER = 200

# What each engine takes when the caller leaves model, normalisation or
# weights out: the lsoda engine is fit_zscan, with its conventions.
# How each engine's identifiability report comes about.
IDENTIFIABILITY_METHODS = {
    "exact": "linearised errors from the exact Jacobian in log-parameters",
    "lsoda": "linearised errors from the Jacobian by central differences, in log-parameters",
}

ENGINE_DEFAULTS = {
    "exact": dict(model="energy", normalisation="far-field", weights=None),
    "lsoda": dict(model="established", normalisation="shift", weights="established"),
}


# How the parameters' errors and statuses may be found: linearised errors
# only, or those that they leave weakly or not determined by their profiles.
IDENTIFIABILITY_CHOICES = (PROFILE, LINEARISED)


# What the data determine at the fit's solution (the focus judged against the
# Rayleigh range), from the fit's own standard errors; with `profiles`, the
# parameters these leave weakly or not determined are judged by their
# likelihood profiles.
def _identifiability(problem, result, profiles):
    setup = problem.setup
    z_r = rayleigh_range_mm(SimpleNamespace(w0=setup["w0"], M2=setup["M2"],
                                            wavelength=setup["wavelength"]))
    variance = result.redchi if result.scale_covar and math.isfinite(result.redchi) else 1.0
    # Model parameters in relative (log) terms, whatever the solver's variables.
    relative = np.array([name in NAMES or name in OPTICAL_NAMES for name in problem.names])
    errors = [result.params[name].stderr for name in problem.names]
    identifiability = from_jacobian(problem.names, problem.values(result._u), relative,
                                    problem.physical_jacobian(result._u), variance,
                                    {FOCUS: z_r}, standard_errors=errors)
    identifiability.method = IDENTIFIABILITY_METHODS[result.engine]
    if profiles and math.isfinite(result.chisqr):
        judge_by_profiles(result, identifiability, {FOCUS: z_r})
    return identifiability


# The model of a fit's measurement at another set-up and other pulse energies,
# on the fit's engine and grid (the error budget's shifted set-ups).
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


# Relative step of the budget's differences on the lsoda engine, whose model
# is not smooth to rounding (its steps adapt within the slices).
LSODA_BUDGET_STEP = 1.0e-3


# What the open curves alone and the closed curves alone would determine of
# a fit that has both (name -> status, from the rows of the Jacobian of each
# kind), or None for a fit of one kind.
def _determined_by_aperture(problem, result):
    if problem.aperture is None or not problem.open_rows:
        return None
    setup = problem.setup
    z_r = rayleigh_range_mm(SimpleNamespace(w0=setup["w0"], M2=setup["M2"],
                                            wavelength=setup["wavelength"]))
    variance = result.redchi if result.scale_covar and math.isfinite(result.redchi) else 1.0
    relative = np.array([name in NAMES or name in OPTICAL_NAMES for name in problem.names])
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


# tarvo.fit(measurements, params): one measurement read by
# tarvo.read_measurement is fitted as `tarvo fit DIR` fits it on the exact
# engine; several are fitted together (tarvo.global_fit). params None: the
# start values and fitted parameters of the first measurement's set-up file.
def _fit_measurements(measurements, params, model, checks, uncertainties=None):
    members = [measurements] if not isinstance(measurements, (list, tuple)) else measurements
    given = params is not None
    params = members[0].parameters() if params is None else params
    model = ENGINE_DEFAULTS["exact"]["model"] if model is None else model
    if len(members) == 1:
        arguments = member_of(members[0], model).arguments
        arguments.pop("focus")
        if uncertainties is None:
            uncertainties = members[0].uncertainties
        elif members[0].sigma_1_from is not None:
            # The held sigma_1 follows the absorption it was computed from.
            uncertainties = SetupUncertainties.of(
                uncertainties, "uncertainties: ", members[0].sigma_1_from["alpha_cm-1"])
        return fit(params=params, checks=checks, n_starts=members[0].n_starts,
                   uncertainties=uncertainties, **arguments)
    if uncertainties is not None:
        raise ValueError("uncertainties: the error budget is computed for the fit of one "
                         "measurement; fit each with its uncertainties")
    # Parameters given apply to every measurement; else each its own set-up's.
    global_members = [member_of(m, model) for m in members]
    if given:
        global_members = [replace(member, params=None) for member in global_members]
    return fit_global(global_members, params, checks=checks)


# Fit Z-scan curves on the exact engine.
def fit(positions, transmittance=None, pulse_energy=None, params=None, *, populations=None,
        sample_width=None, tau=None, wavelength=None, w0=None, M2=None, model=None,
        normalisation=None, far_field_points=None,
        t_slices=None, z_slices=None, radial_points=None, intensity_points=None, sigma=None,
        weights=None, is_sa=False, vary=None, n_starts=1, scale_covar=None, checks="warn",
        ftol=TOLERANCE, xtol=TOLERANCE, gtol=TOLERANCE, max_nfev=None, progress=None,
        engine="exact", rel_step=None, solver_log=None, uncertainties=None,
        identifiability=PROFILE, model_error=True, aperture=None, divided_by_open=None):
    """Least-squares fit of Z-scan curves on the exact or the lsoda engine.

    ``tarvo.fit(measurement, params=None)`` fits a tarvo.Measurement (from
    tarvo.read_measurement) as ``tarvo fit DIR`` does on the exact engine;
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
    populations, sample_width, tau, wavelength, w0, M2
        The set-up, as for `tarvo.simulate`.
    model : {"energy", "established"}, optional
        "energy" (default on the exact engine: pulse-energy ratio over the
        beam cross-section, the physically consistent model) or
        "established" (fit_zscan's on-axis model; the lsoda engine's).
    normalisation : str or tarvo.Normalisation, optional
        How data and model curves are normalised:
        "far-field" (default on the exact engine: divided by the mean of the
        first and last `far_field_points` positions), "linear" (divided by
        the linear transmittance), "absolute" (not normalised) or "shift"
        (fit_zscan's additive baseline; the lsoda engine's).
    far_field_points : int, optional
        Points at each end of a curve in its far-field mean (default 5).
    t_slices, z_slices, radial_points, intensity_points : int, optional
        Grid; None takes the model's defaults (for the energy model chosen
        from the sample's optical depth and saturation at the start values).
    sigma : array_like, optional
        Uncertainty of each measured value (same shape as transmittance):
        weights 1/sigma^2 and a chi^2 in units of sigma.
    weights : {None, "equal", "established"}
        None (default on the exact engine): 1/sigma^2 where sigma is given,
        else every point equally; "equal"; "established": fit_zscan's
        1 + 4 exp(-4 s^2) with s the centred position in m (the lsoda
        engine's).
    is_sa : bool
        Saturable absorber: the focus start is the maximum of the data
        instead of the minimum.
    vary : sequence of str, optional
        With plain values for `params`: the names of the fitted parameters.
    n_starts : int
        1: start at the given values; more: also at the values scaled by
        fit_zscan's factors (0.302 ... 3.31), the best start wins.
    scale_covar : bool, optional
        Scale the covariance by the reduced chi^2 (default: True without
        sigma, so that with equal weights the standard errors follow from
        the residual variance; False with sigma).
    checks : {"warn", "error", "off"}
        "warn" (default): plausibility findings before and after the fit are
        issued as tarvo.PlausibilityWarning; "error": a finding raises
        ValueError; "off": no checks. The result lists them in `findings`.
    ftol, xtol, gtol, max_nfev
        Settings of `scipy.optimize.least_squares`.
    progress : callable, optional
        ``progress(done)`` is called after each start with the number of
        starts finished.
    engine : {"exact", "lsoda"}
        "exact" (default): matrix-exponential steps with exact derivatives,
        SciPy's least_squares. "lsoda": fit_zscan's fit itself (MINPACK's
        lmdif on the LSODA march, its multi-start, bit for bit) of the
        established model with normalisation "shift" and weights
        "established" (the defaults for this engine), plain parameters only
        (no bounds, expressions or fitted focus); n_starts as fit_zscan's
        (1: the start values x 0.302), `ftol` and the others do not apply.
    rel_step : float, optional
        lsoda engine: relative step of the central differences of the
        standard errors (default 1e-3).
    solver_log : str or path-like, optional
        lsoda engine: file for the LSODA solver's messages (written only
        when there are any; default: discarded, counted in
        ``solver_messages``).
    identifiability : {"profile", "linearised"}
        "profile" (default): a parameter that the linearised errors leave
        weakly or not determined is judged by its likelihood profile (exact
        engine; a few refits each); "linearised": by the linearised errors
        alone.
    model_error : bool
        Exact engine: check the grid at the solution (one evaluation on a
        grid twice as fine) and, for a default grid, refine it while the
        fitted values would move by more than 0.2 standard errors
        (``model_error`` of the result records the grid and the shifts).
    uncertainties : mapping, optional
        Uncertainties of the set-up, for the error budget (``budget`` of the
        result): quantity -> relative uncertainty (0.05 for 5 %) or an
        absolute one as ``"VALUE UNIT"``. Quantities: ``w0`` (m, mm, um,
        nm), ``M2``, ``pulse_energy`` (J, mJ, uJ, nJ; one value common to
        all curves, or a list of one per curve, independent),
        ``concentration`` (mol/L, M, mM, uM) or ``populations`` (cm^-3: of
        their sum), ``sample_width`` (cm, mm, um), ``tau`` or
        ``pulse_fwhm`` (s, ns, ps, fs), ``absorbance`` (of the held
        sigma_1's linear absorption). Dimensionless quantities take
        ``"0.1 absolute"`` for an absolute uncertainty.
    aperture : sequence of float, optional
        Energy model: per curve the linear transmittance S of the far-field
        aperture (1: open aperture; default all open). Closed curves are
        normalised as the open ones (divided by their far field).
    divided_by_open : sequence of bool, optional
        Per curve whether it is a closed curve already divided by the open
        one at the same energy, position by position.

    Returns
    -------
    FitResult
        A fit that stops without converging returns its last values with
        ``success`` False and a message saying so.

    Raises
    ------
    ValueError
        On inconsistent or invalid input, with a message naming it.
    """
    if isinstance(positions, Measurement) or (
            isinstance(positions, (list, tuple)) and positions
            and all(isinstance(m, Measurement) for m in positions)):
        return _fit_measurements(positions, transmittance if params is None else params,
                                 model=model, checks=checks, uncertainties=uncertainties)
    began = time.perf_counter()
    engine = check_engine(engine)
    # Each engine's own defaults (the lsoda engine: fit_zscan's conventions).
    defaults = ENGINE_DEFAULTS[engine]
    model = defaults["model"] if model is None else model
    normalisation = defaults["normalisation"] if normalisation is None else normalisation
    weights = defaults["weights"] if weights is None else weights
    if checks not in CHECK_MODES:
        raise ValueError(f"checks must be one of {', '.join(map(repr, CHECK_MODES))}, got "
                         f"{checks!r}")
    n_starts = check_count("n_starts", n_starts)
    if uncertainties is not None:
        uncertainties = SetupUncertainties.of(uncertainties, "uncertainties: ")
    if identifiability not in IDENTIFIABILITY_CHOICES:
        raise ValueError(f"identifiability must be one of "
                         f"{', '.join(map(repr, IDENTIFIABILITY_CHOICES))}, got "
                         f"{identifiability!r}")
    problem = prepare_problem(
        positions, transmittance, pulse_energy, params, populations=populations,
        sample_width=sample_width, tau=tau, wavelength=wavelength, w0=w0, M2=M2, model=model,
        normalisation=normalisation, far_field_points=far_field_points, t_slices=t_slices,
        z_slices=z_slices, radial_points=radial_points, intensity_points=intensity_points,
        sigma=sigma, weights=weights, is_sa=is_sa, vary=vary, aperture=aperture,
        divided_by_open=divided_by_open)
    resolved, norm, sigma = problem.resolved, problem.normalisation, problem.sigma
    check_focus_in_scan(problem.focus_start, problem.x, resolved.focus is not None)
    findings = []
    if checks != "off":
        # The plausibility checks read open-aperture curves (the data as given).
        rows = problem.open_rows
        findings = data_findings(problem.x[rows], problem.given[rows], problem.energies[rows],
                                 problem.setup, resolved.spec_pars, is_sa, norm,
                                 focus=resolved.focus) if len(rows) else []
        raise_or_warn(findings, checks)
    focus_low, focus_high = resolved.bounds.get(FOCUS, (-math.inf, math.inf))
    if FOCUS in problem.names and not focus_low <= problem.focus_start <= focus_high:
        raise ValueError(f"focus: start value {problem.focus_start!r} mm lies outside its bounds "
                         f"[{focus_low!r}, {focus_high!r}]")
    n = len(problem.names)
    grid_check = None
    # The solver's messages of the fit and of its standard errors go to the
    # log (written only when there are any) and are counted; later ones
    # (refits of profiles and bootstraps) are counted and dropped.
    diagnostics = _native.Diagnostics(None if solver_log is None else str(solver_log))
    if engine == "lsoda":
        if problem.counts is not None:
            raise ValueError("the lsoda engine (fit_zscan) fits curves of equal length; curves "
                             "of different lengths (points left out can make them so) need "
                             "the exact engine")
        use_lsoda_engine(problem, rel_step)
        problem.handle.diagnostics = diagnostics
        best, starts, evaluations = run_multi_start(problem, n_starts)
        if progress is not None:
            progress(len(starts))
        tolerances = (LMDIF_TOLERANCE, LMDIF_TOLERANCE, 0.0,
                      LMDIF_EVALUATIONS_PER_PARAMETER * (n + 1))
        engine_options = dict(rel_step=problem.handle.rel_step)
    else:
        if rel_step is not None:
            raise ValueError("rel_step applies to the lsoda engine; the exact engine's "
                             "derivatives are exact")
        max_nfev = EVALUATIONS_PER_PARAMETER * (n + 1) if max_nfev is None else int(max_nfev)
        free = np.ones(n, dtype=bool)
        factors = [1.0] if n_starts == 1 else start_multipliers(n_starts)
        starts = []
        for factor in factors:
            u0 = np.where(problem.is_log, math.log(factor), 0.0)
            u, solution = problem.solve(u0, free, ftol, xtol, gtol, max_nfev)
            starts.append((factor, u, solution))
            if progress is not None:
                progress(len(starts))
        best = min(starts, key=lambda s: (not np.isfinite(s[2].cost), s[2].cost))
        if model_error and np.isfinite(best[2].cost):
            grid_check, latest = control_model_error(
                problem, best[1], sigma is None if scale_covar is None else bool(scale_covar),
                lambda u: problem.solve(u, free, ftol, xtol, gtol, max_nfev), problem.grid_given)
            if latest is not None:
                best = (best[0], *latest)
        tolerances = (ftol, xtol, gtol, max_nfev)
        engine_options = dict(ftol=ftol, xtol=xtol, gtol=gtol, max_nfev=max_nfev)
        evaluations = None
    scale_covar = sigma is None if scale_covar is None else bool(scale_covar)
    try:
        result = build_result(problem, resolved, params, best, starts, sigma=sigma,
                              is_sa=is_sa, scale_covar=scale_covar,
                              weighting=problem.weighting, tolerances=tolerances,
                              seconds=time.perf_counter() - began, engine=engine)
        result.model_error = grid_check
        if grid_check is not None and not grid_check.within_limit:
            if not grid_check.grid_given:
                include_model_error(result, grid_check)
            result.notes.append(coarse_grid_note(grid_check))
        result.identifiability = _identifiability(
            problem, result, identifiability == PROFILE and engine == "exact")
        result.determined_by_aperture = _determined_by_aperture(problem, result)
        result.budget = None if not uncertainties else error_budget(
            problem, result, uncertainties, _handle_maker(problem, engine),
            **({"step": LSODA_BUDGET_STEP} if engine == "lsoda" else {}))
    finally:
        diagnostics.close()
    # The exact engine has no solver that reports messages (None).
    messages = None
    if engine == "lsoda":
        messages = {kind: n for kind, n in diagnostics.counts().items() if n}
        problem.handle.diagnostics = _native.Diagnostics(None)
    # What a refit of the same kind passes to this engine.
    result.solver_messages, result.engine_options = messages, engine_options
    # Bootstrap replicates refit with this function.
    result.fit_function = fit
    if evaluations is not None:
        result.nfev = evaluations
    if "sigma_1" in problem.names and norm.mode != "absolute":
        result.notes.append(f"sigma_1 is fitted from {norm.mode} normalised curves alone, which "
                            "carry little information on it (the linear absorption is divided "
                            "out); where you can, set it from the linear absorbance ([sample] "
                            "absorbance or linear_transmittance)")
    if checks != "off":
        after = fit_findings(result)
        raise_or_warn(after, checks)
        findings += after
    result.findings = findings
    return result
