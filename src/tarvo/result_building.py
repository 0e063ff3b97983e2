"""The fields of the FitResult of a solved least-squares problem: parameters
with standard errors and correlations, fit statistics, curves, notes, what
ran. They are computed once, at the solution; the FitResult the caller gets
is built from them and from what is judged there, and nothing edits it."""

import math

import numpy as np

from .model_error import coarse_grid_note, widened_by_model_error
from .parameters import FIT_NAMES, FOCUS, OPTICAL_NAMES, Parameters
from .report import strong_correlation_notes
from .result_text import FIT_METHODS, WEIGHTING_TEXT
from .uncertainty import covariance_from_jacobian


# Smallest chi^2 that enters the information criteria (as lmfit clamps it).
CHI2_FLOOR = 1.0e-250


# The fields of the FitResult of a finished fit, as name -> value: `run` is
# the engine's run (its best start, every start, the solver's tolerances,
# the options a refit passes to the engine, the evaluations where the engine
# counts them itself, the grid's model error), `params_in` the caller's
# parameters and `fit_function` what a refit of the same kind calls. Where
# the fit chose the grid and its model error stayed over the limit, the
# covariance and the fitted parameters' errors include it.
def result_fields(problem, params_in, run, *, engine, is_sa, scale_covar, seconds,
                  fit_function):
    factor, u, solution = run.best
    resolved = problem.resolved
    spec_pars, focus = problem.parameters(u)
    model = problem.model_curves(u)
    weighted = (problem.root_weights * (problem.y - model)).ravel()
    if problem.keep is not None:
        weighted = weighted[problem.keep]
    jacobian = problem.physical_jacobian(u)
    uncertainty = covariance_from_jacobian(jacobian, weighted, scale_covar,
                                           problem.residual_noise(u))
    check = run.model_error
    covariance, errors, correlation = (
        widened_by_model_error(uncertainty.covariance, problem.names, check)
        if _widens(check) else
        (uncertainty.covariance, uncertainty.standard_errors, uncertainty.correlation))
    params = _parameters(problem, resolved, u, spec_pars, focus, errors, correlation)
    # The derived parameters' errors and the notes read the same covariance
    # as the fitted ones (with the grid's model error where it is included).
    if problem.constraints is not None:
        _add_constrained(params, problem, u, covariance, resolved, params_in)
    notes = _notes(problem.names, problem.values(u), solution.active_mask, errors, correlation,
                   resolved)
    rel_step = getattr(problem.handle, "rel_step", None)
    # (Arguments are evaluated in order: nfev counts _start_fields' evaluation.)
    return dict(
        params=params, var_names=list(problem.names),
        values={name: p.value for name, p in params.items()},
        spec_pars=spec_pars, focus=focus, centre=problem.centre,
        optics={name: params[name].value for name in OPTICAL_NAMES if name in params},
        aperture=problem.aperture, divided_by_open=problem.divided,
        expressions={} if problem.constraints is None else dict(problem.constraints.expressions),
        init_values={name: params[name].init_value for name in problem.names},
        **_start_fields(problem, factor, solution), rel_step=rel_step,
        covar=covariance, correlation=correlation,
        **_statistics(weighted, len(problem.names), solution),
        **_curve_fields(problem, model, problem.sigma), pulse_energy=problem.energies,
        weights=problem.weighting, weighting=WEIGHTING_TEXT[problem.weighting],
        normalisation=problem.normalisation,
        setup=problem.setup, grid=dict(problem.grid), is_sa=is_sa, scale_covar=scale_covar,
        nfev=problem.evaluations if run.evaluations is None else run.evaluations,
        success=solution.status > 0, status=int(solution.status),
        message=_convergence_message(solution, run.tolerances),
        notes=notes + _fit_notes(problem, check), n_starts=len(run.starts),
        start_costs=[2.0 * float(s[2].cost) for s in run.starts], start_factor=factor,
        engine=engine, model=problem.model, seconds=seconds, tolerances=run.tolerances,
        method=FIT_METHODS[engine].format(rel_step=rel_step), model_error=check,
        engine_options=run.engine_options, fit_function=fit_function, _problem=problem, _u=u)


# Whether the grid's model error enters the standard errors: where the fit
# chose the grid (a grid the caller chose is kept, its shift only reported)
# and left it over the limit.
def _widens(check):
    return check is not None and not check.within_limit and not check.grid_given


# The parameters that are neither constrained nor derived, with their starts
# and values at u; the fitted ones with their standard errors and
# correlations (in the order of problem.names).
def _parameters(problem, resolved, u, spec_pars, focus, errors, correlation):
    params = Parameters()
    for name, init, value in _unconstrained(problem, resolved, u, spec_pars, focus):
        low, high = resolved.bounds.get(name, (-math.inf, math.inf))
        vary = name in problem.names
        p = params.add(name, value, vary=vary, min=low, max=high)
        p.init_value = init
        if vary:
            k = problem.names.index(name)
            p.stderr = float(errors[k])
            p.correl = {other: float(correlation[k, j])
                        for j, other in enumerate(problem.names) if j != k}
    return params


# (name, start, value at u) of the model's parameters (the optical ones the
# set-up gives) and of those outside the model that the expressions use,
# leaving out those an expression gives.
def _unconstrained(problem, resolved, u, spec_pars, focus):
    expressions = {} if problem.constraints is None else problem.constraints.expressions
    for name in FIT_NAMES:
        if name in expressions or name in OPTICAL_NAMES and name not in resolved.bounds:
            continue
        if name == FOCUS:
            yield name, problem.focus_start, focus
        elif name in OPTICAL_NAMES:
            k = OPTICAL_NAMES.index(name)
            yield name, resolved.optics[k], float(problem.optics(u)[k])
        else:
            k = FIT_NAMES.index(name)
            yield name, resolved.spec_pars[k], spec_pars[k]
    values = problem.values(u)
    for name, start in problem.extras.items():
        yield name, start, values[problem.names.index(name)] if name in problem.names else start


# The constrained and derived parameters (those with an expr) with their
# values at u and standard errors propagated from the covariance of the
# varied ones (linearised, as lmfit propagates them).
def _add_constrained(params, problem, u, covariance, resolved, params_in):
    constraints = problem.constraints
    values = problem.all_values(u)
    gradient = problem.constraint_gradient(u)
    with np.errstate(invalid="ignore"):
        variances = np.einsum("ij,jk,ik->i", gradient, covariance, gradient)
    start = problem.all_values(np.zeros(len(problem.names)))
    for k, name in enumerate(constraints.names):
        low, high = resolved.bounds.get(name, (-math.inf, math.inf))
        p = params.add(name, values[name], vary=False, min=low, max=high,
                       expr=constraints.expressions[name])
        p.init_value = start[name]
        p.stderr = float(np.sqrt(variances[k])) if variances[k] >= 0 else math.nan
    # Keep the caller's order where it had one: the model parameters, then the rest.
    order = [name for name in FIT_NAMES if name in params]
    order += [name for name in params_in if name not in order and name in params] \
        if hasattr(params_in, "keys") else []
    order += [name for name in params if name not in order]
    ordered = {name: params[name] for name in order}
    params.clear()
    params.update(ordered)


# The best start's values and chi^2 there: a solver that ends above it lost its way.
def _start_fields(problem, factor, solution):
    start_values = getattr(solution, "start_values", None)
    if start_values is None:
        start_values = problem.values(np.where(problem.is_log, math.log(factor), 0.0))
    start_residuals = problem.evaluate(problem.internal(start_values),
                                       np.ones(len(problem.names), dtype=bool), jacobian=False)[1]
    return dict(start_values=dict(zip(problem.names, start_values.tolist())),
                start_chisqr=float(start_residuals @ start_residuals))


# chi^2 of the weighted residuals and the statistics that follow from it.
def _statistics(weighted, nvarys, solution):
    ndata = weighted.size
    chisqr = float(weighted @ weighted)
    nfree = ndata - nvarys
    neg2_log_likelihood = ndata * math.log(max(chisqr, CHI2_FLOOR * ndata) / ndata)
    return dict(
        chisqr=chisqr, redchi=chisqr / nfree if nfree > 0 else math.nan,
        # The norm of the weighted residuals as the solver reports it.
        fit_error=float(getattr(solution, "error", math.sqrt(chisqr))),
        aic=neg2_log_likelihood + 2.0 * nvarys,
        bic=neg2_log_likelihood + math.log(ndata) * nvarys,
        ndata=ndata, nvarys=nvarys, nfree=nfree, residual=weighted)


# The data as fitted, the model curves and the residuals, one row per curve:
# rows of curves of different lengths are padded with NaN beyond their points.
def _curve_fields(problem, model, sigma):
    x, data = problem.x, problem.y
    if problem.keep is not None:
        missing = ~problem.keep.reshape(problem.y.shape)
        x, data, model = (np.where(missing, np.nan, a) for a in (x, data, model))
        sigma = None if sigma is None else np.where(missing, np.nan, sigma)
    residuals = data - model
    return dict(residuals=residuals, best_fit=model, data=data, positions=x, sigma=sigma,
                rms=float(np.sqrt(np.nanmean(residuals ** 2))))


# Remarks on a fit: values at their bounds, undetermined and strongly correlated parameters.
def _notes(names, values, active, errors, correlation, resolved):
    notes = []
    for name, value, side in zip(names, values, active):
        if side:
            low, high = resolved.bounds[name]
            bound = low if side < 0 else high
            notes.append(f"{name} ended at its {'lower' if side < 0 else 'upper'} bound "
                         f"({bound:g}); its standard error assumes it is free")
    for name, error in zip(names, errors):
        if not math.isfinite(error):
            notes.append(f"{name} is not determined by the data (singular Jacobian): fit fewer "
                         "parameters")
    return notes + strong_correlation_notes(names, correlation)


# The notes on the whole fit, after those on its parameters: a grid too
# coarse for the data, and a sigma_1 fitted from curves that hardly carry it.
def _fit_notes(problem, check):
    notes = []
    if check is not None and not check.within_limit:
        notes.append(coarse_grid_note(check))
    if "sigma_1" in problem.names and problem.normalisation.mode != "absolute":
        notes.append(f"sigma_1 is fitted from {problem.normalisation.mode} normalised "
                     "curves alone, which carry little information on it (the linear "
                     "absorption is divided out); where you can, set it from the linear "
                     "absorbance ([sample] absorbance or linear_transmittance)")
    return notes


# Whether and why the solver stopped, as the result states it.
def _convergence_message(solution, tolerances):
    if solution.status > 0:
        return f"converged: {solution.message}"
    if getattr(solution, "stopped_because", None):
        return (f"not converged: the solver stopped after {solution.nfev} evaluations of the "
                f"best start because {solution.stopped_because}; the values are the last ones "
                "it tried")
    return (f"not converged: the solver stopped after {solution.nfev} evaluations "
            f"(max_nfev = {tolerances[3]}) before its tolerances were met; the values are "
            "the last ones it tried")
