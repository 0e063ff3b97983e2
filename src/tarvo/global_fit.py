"""Global analysis: one fit over several measurements with shared molecular
parameters and per-measurement noise."""

import math
import time
from dataclasses import dataclass

import numpy as np

from .checks import Finding, data_findings, raise_or_warn, rayleigh_range_mm
from .curve_data import curves_of
from .errors import InputError
from .misfit import misfit_message, residual_structure
from .model_setup import setup_argument
from .parameters import FOCUS, NAMES
from .global_problem import GlobalProblem
from .problem import prepare_problem
from .profiles import judge_by_profiles
from .report import profile_error
from .uncertainty import covariance_from_jacobian, from_jacobian


# Cross-sections, whose values depend on the wavelength.
CROSS_SECTION_NAMES = NAMES[:3]

# Reweighting rounds at most, and the relative change of every noise
# estimate below which they stop.
REWEIGHT_ROUNDS = 6
REWEIGHT_TOLERANCE = 0.01


# One measurement of a global fit: its name, the arguments of tarvo.fit and
# its own parameters (None: those given to fit_global). A measurement's own
# parameters set its held values and its focus; the shared fitted
# parameters start at one value within one set of bounds in every one.
@dataclass(frozen=True)
class GlobalMember:
    label: str
    arguments: dict
    params: object = None

    # Arguments in tarvo.fit's array form (positions, transmittance,
    # pulse_energy, sigma, aperture, divided_by_open and the set-up's six
    # values) become the curves and the set-up.
    def __post_init__(self):
        object.__setattr__(self, "arguments", member_arguments(self.arguments))


# The arguments of a member with its curves and set-up as objects (see
# GlobalMember).
def member_arguments(arguments):
    arguments = dict(arguments)
    if "curves" not in arguments:
        data = [arguments.pop(key, None) for key in ("positions", "transmittance", "pulse_energy",
                                                      "sigma", "aperture", "divided_by_open")]
        arguments["curves"] = curves_of(*data)
    values = {key: arguments.pop(key, None) for key in
              ("populations", "sample_width", "tau", "wavelength", "w0", "M2")}
    arguments["setup"] = setup_argument(arguments.get("setup"), values)
    return arguments


# The label of a wavelength in parameter names ("532nm").
def wavelength_label(wavelength):
    return f"{wavelength * 1e9:.4g}nm"


# The global name of a measurement's parameter.
def global_name(name, member_label, wavelength, several_wavelengths, several_members):
    if name == FOCUS:
        return f"{FOCUS}@{member_label}" if several_members else FOCUS
    if name in CROSS_SECTION_NAMES and several_wavelengths:
        return f"{name}@{wavelength_label(wavelength)}"
    return name


# What a global fit found.
class GlobalFitResult:
    """Result of a global fit over several measurements.

    Attributes
    ----------
    var_names : list of str
        Names of the fitted parameters (shared, per wavelength, per measurement).
    values, stderr : dict
        Fitted value and standard error of each.
    covar, correlation : numpy.ndarray
        Covariance and correlation of the fitted parameters.
    members : list of dict
        Per measurement: label, points, chi^2, residual RMS, noise estimate.
    results : list of FitResult-like views
        Per measurement: the data, the model at the solution and its settings.
    identifiability : tarvo.uncertainty.Identifiability
        What the data together determine.
    """

    def __init__(self, **fields):
        self.__dict__.update(fields)

    # Short summary.
    def __repr__(self):
        values = ", ".join(f"{name}={self.values[name]:.5g}" for name in self.var_names)
        return (f"<GlobalFitResult of {len(self.members)} measurements: {values}; "
                f"chisqr={self.chisqr:.4g}, success={self.success}>")
    def plot(self, title=None, path=None):
        """The figure of the fit: per measurement its curves over the position
        relative to its focus and its residuals below, and the fitted values.

        Parameters
        ----------
        title : str, optional
            Title of the figure.
        path : str or path-like, optional
            Also save the figure there (PNG, SVG or PDF by the suffix).

        Returns
        -------
        matplotlib.figure.Figure
        """
        # matplotlib loads here, on the first figure, not with `import tarvo`.
        from .plot import global_figure, save_figure

        figure = global_figure(self, title)
        if path is not None:
            save_figure(figure, path)
        return figure

    def fit_report(self):
        """A text report: statistics, parameters, measurements, identifiability."""
        lines = ["[[Global fit]]",
                 f"    measurements       = {len(self.members)}",
                 f"    weights            = {self.weighting}",
                 f"    chi-square         = {self.chisqr:.6g}",
                 f"    reduced chi-square = {self.redchi:.6g}",
                 f"    converged          = {self.success} ({self.message})",
                 "[[Variables]]"]
        width = max(len(name) for name in self.var_names)
        found = self.identifiability
        for name in self.var_names:
            value = self.values[name]
            error = profile_error(name, value, found.errors[name], found.method_of(name),
                                  self.stderr[name])
            # The relative error and status the identifiability reports (one source).
            relative = "" if name.split("@")[0] == FOCUS else f" ({found.error_text(name)})"
            lines.append(f"    {name + ':':<{width + 1}}  {value:.6g} +/- {error:.3g}{relative}"
                         f" {found.status[name]}")
        lines.append("[[Measurements]]")
        for member in self.members:
            lines.append(f"    {member['label']}: {member['points']} points, chi-square "
                         f"{member['chisqr']:.4g}, residual RMS {member['rms']:.3g}")
        lines.append(f"[[Identifiability]] ({self.identifiability.source()})")
        lines += [f"    {line}" for line in self.identifiability.report()[1:]]
        return "\n".join(lines)


# The problems of the measurements (built as tarvo.fit builds one) and the
# map from each one's varied parameters to the global ones.
def _problems(members, params):
    wavelengths = [member.arguments["setup"].wavelength for member in members]
    several_wavelengths = len(set(wavelengths)) > 1
    problems, maps, names, starts, bounds, origins = [], [], [], {}, {}, {}
    first_fitted = None
    for member, wavelength in zip(members, wavelengths):
        problem = prepare_problem(params=params if member.params is None else member.params,
                                  **member.arguments)
        fitted = [name for name in problem.names if name != FOCUS]
        first_fitted = fitted if first_fitted is None else first_fitted
        if fitted != first_fitted:
            raise InputError(f"{member.label} fits {', '.join(fitted) or 'nothing'}, "
                             f"{members[0].label} fits {', '.join(first_fitted) or 'nothing'}: "
                             "the measurements of a global fit fit the same parameters")
        local = []
        for name, value, low, high in zip(problem.names, problem.reference, problem.lower,
                                          problem.upper):
            full = global_name(name, member.label, wavelength, several_wavelengths,
                               len(members) > 1)
            if full not in names:
                names.append(full)
                starts[full], bounds[full] = value, (float(low), float(high))
                origins[full] = member.label
            elif name != FOCUS and not math.isclose(starts[full], value, rel_tol=1e-12):
                raise InputError(f"{full} starts at {float(starts[full]):g} in {origins[full]} "
                                 f"and at {float(value):g} in {member.label}: a shared "
                                 "parameter has one start value")
            elif name != FOCUS and bounds[full] != (float(low), float(high)):
                raise InputError(f"{full} has other bounds in {member.label} than in "
                                 f"{origins[full]}: a shared parameter has one set of bounds")
            local.append(names.index(full))
        problems.append(problem)
        maps.append(np.array(local, dtype=int))
    return problems, maps, names


# InputError when the measurements cannot be fitted together: other fitted
# parameters, or shared ones that start elsewhere or have other bounds
# (ValueError for what tarvo.fit refuses in one of them).
def check_members(members, params):
    _problems(members, params)


# The plausibility findings of the members' data, as (label, Finding),
# raised or warned as `checks` says.
def _data_findings(members, problems, checks):
    findings = []
    if checks != "off":
        for member, problem in zip(members, problems):
            found = data_findings(problem.x, problem.given, problem.energies, problem.setup,
                                  problem.base, member.arguments.get("is_sa", False),
                                  problem.normalisation)
            findings += [(member.label, finding) for finding in found]
        raise_or_warn([finding for _, finding in findings], checks)
    return findings


# The bounds of the global solver variables (the tightest of the members')
# and which of them are logarithms of their parameters.
def _global_bounds(problems, maps, n):
    lower, upper = np.full(n, -np.inf), np.full(n, np.inf)
    is_log = np.zeros(n, dtype=bool)
    for problem, local in zip(problems, maps):
        lower[local] = np.maximum(lower[local], problem.lower)
        upper[local] = np.minimum(upper[local], problem.upper)
        is_log[local] = problem.is_log
    return lower, upper, is_log


# The least-squares solution in the solver variables: with the data's own
# sigma in every measurement one solve; otherwise each measurement is
# reweighted by its noise estimated from its residuals, and solved again,
# until the weights settle. The solution, the variables, the solver's
# evaluations and how the points were weighted.
def _solve(problem, has_sigma, ftol, xtol, gtol, max_nfev):
    u = np.zeros(len(problem.names))
    free = np.ones(u.size, dtype=bool)
    weighting = "1/sigma^2 (data uncertainties)" if all(has_sigma) else None
    nfev = 0
    for _ in range(REWEIGHT_ROUNDS):
        u, solution = problem.solve(u, free, ftol, xtol, gtol, max_nfev)
        nfev += int(solution.nfev)
        if all(has_sigma):
            break
        change = problem.reweight(u, has_sigma)
        weighting = ("each measurement weighted by the inverse of its noise, estimated from its "
                     "own residuals (iteratively reweighted)")
        if change < REWEIGHT_TOLERANCE:
            break
    return solution, u, nfev, weighting


# The fitted values, the covariance, standard errors and correlation of the
# parameters (the solver's covariance taken through the chain factors d
# parameter / d variable), and those factors.
def _parameter_covariance(problem, u, solver_covariance):
    values, chain = problem.values(u), problem.chain(u)
    covariance = solver_covariance * np.outer(chain, chain)
    errors = np.sqrt(np.diag(covariance))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = covariance / np.outer(errors, errors)
    return values, chain, covariance, errors, correlation


# The scale of each focus: its measurement's Rayleigh range (mm).
def _focus_scales(problems, maps, names):
    focus_scales = {}
    for problem, local in zip(problems, maps):
        for name, index in zip(problem.names, local):
            if name == FOCUS:
                focus_scales[names[index]] = rayleigh_range_mm(problem.setup)
    return focus_scales


# Per measurement: its record (points, chi^2, residual RMS, estimated noise)
# and its view (data and model at the solution, its focus and parameters).
def _member_views(members, problems, maps, u, scales, has_sigma):
    member_records, views = [], []
    for k, (member, problem, local) in enumerate(zip(members, problems, maps)):
        model = problem.model_curves(u[local])
        raw = problem.y - model
        x, data = problem.x, problem.y
        if problem.keep is not None:
            # Curves of different lengths: rows padded with NaN beyond each curve's points.
            missing = ~problem.keep.reshape(raw.shape)
            raw = raw[~missing]
            x, data, model = (np.where(missing, np.nan, a) for a in (x, data, model))
        weighted = problem.evaluate(u[local], np.ones(len(local), dtype=bool), False)[1]
        member_records.append({"label": member.label, "points": int(raw.size),
                               "chisqr": float(scales[k] ** 2 * weighted @ weighted),
                               "rms": float(np.sqrt(np.mean(raw ** 2))),
                               "noise": float(1.0 / scales[k]) if not has_sigma[k] else None})
        spec_pars, focus = problem.parameters(u[local])
        views.append({"label": member.label, "positions": x, "data": data,
                      "model": model, "focus": focus, "spec_pars": spec_pars,
                      "pulse_energy": problem.energies})
    return member_records, views


# The measurements whose residuals show that the model does not describe
# them, as (label, Finding).
def _misfits(members, views):
    misfits = []
    for member, view in zip(members, views):
        structure = residual_structure(view["positions"], view["data"] - view["model"],
                                       data=view["data"])
        if structure.misfit:
            misfits.append((member.label, Finding(
                "misfit", f"{member.label}: {misfit_message(structure)}")))
    return misfits


# Fit several measurements at once with shared molecular parameters.
def fit_global(members, params, *, checks="warn", ftol=1e-12, xtol=1e-12, gtol=1e-12,
               max_nfev=None):
    """Fit several measurements at once (see the module notes).

    Parameters
    ----------
    members : sequence of GlobalMember
        The measurements: a label and the keyword arguments of tarvo.fit
        (positions, transmittance, pulse_energy, set-up, model,
        normalisation, sigma, ...; params is given once, below).
    params : tarvo.Parameters
        The eight parameters (start values, which vary, bounds) and
        optionally the focus (vary: one focus per measurement).
    checks : {"warn", "error", "off"}
        The plausibility checks of tarvo.fit, per measurement.
    ftol, xtol, gtol, max_nfev
        Settings of `scipy.optimize.least_squares`.

    Returns
    -------
    GlobalFitResult
    """
    began = time.perf_counter()
    if len(members) < 1:
        raise InputError("a global fit needs at least one measurement")
    problems, maps, names = _problems(members, params)
    findings = _data_findings(members, problems, checks)
    problem = GlobalProblem(problems, maps, names, *_global_bounds(problems, maps, len(names)))
    has_sigma = [problem.sigma is not None for problem in problems]
    max_nfev = 200 * (len(names) + 1) if max_nfev is None else int(max_nfev)
    solution, u, nfev, weighting = _solve(problem, has_sigma, ftol, xtol, gtol, max_nfev)
    _, residuals, jacobian_u = problem.evaluate(u, np.ones(len(names), dtype=bool))
    # With estimated noise the weighted residuals have unit variance: scale by
    # the reduced chi^2 all the same (it is then near 1).
    uncertainty = covariance_from_jacobian(jacobian_u, residuals, not all(has_sigma),
                                           problem.residual_noise(u))
    values, chain, covariance, errors, correlation = _parameter_covariance(
        problem, u, uncertainty.covariance)
    variance = uncertainty.reduced_chi2 if not all(has_sigma) else 1.0
    # A focus is judged against its measurement's Rayleigh range.
    focus_scales = _focus_scales(problems, maps, names)
    identifiability = from_jacobian(names, values, problem.is_log, jacobian_u / chain, variance,
                                    focus_scales, standard_errors=errors)
    member_records, views = _member_views(members, problems, maps, u, problem.scales,
                                          has_sigma)
    chisqr = float(residuals @ residuals)
    nfree = residuals.size - len(names)
    fields = dict(
        var_names=list(names), values=dict(zip(names, values.tolist())),
        stderr=dict(zip(names, errors.tolist())), covar=covariance, correlation=correlation,
        chisqr=chisqr, redchi=chisqr / nfree if nfree > 0 else math.nan, ndata=residuals.size,
        nfree=nfree, success=solution.status > 0, message=solution.message,
        nfev=nfev, weighting=weighting, members=member_records, results=views,
        findings=findings, seconds=time.perf_counter() - began,
        scale_covar=not all(has_sigma), tolerances=(ftol, xtol, gtol, max_nfev),
        _problem=problem, _u=u)
    # Parameters the linearised errors leave weakly or not determined, judged
    # by their likelihood profiles (the measurements' weights held), which
    # read the fit through a result that is not returned.
    judge_by_profiles(GlobalFitResult(**fields), identifiability, focus_scales)
    # A measurement whose residuals show that the model does not describe it.
    misfits = _misfits(members, views)
    if checks != "off":
        after = [finding for _, finding in misfits]
        if identifiability.undetermined:
            after.append(undetermined_finding(identifiability))
        raise_or_warn(after, checks)
    return GlobalFitResult(**fields, identifiability=identifiability, misfits=misfits)


# The finding of parameters a global fit leaves undetermined.
def undetermined_finding(identifiability):
    return Finding("not-determined", "the data do not determine "
                   + ", ".join(identifiability.undetermined))


# A read measurement directory as a member of a global fit: the keyword
# arguments of tarvo.fit and its own parameters ([start], [fit], [bounds]).
def member_of(measurement, model):
    arguments = measurement.fit_arguments(model)
    label = measurement.directory.resolve().name if measurement.directory else "measurement"
    return GlobalMember(label, arguments, measurement.parameters())
