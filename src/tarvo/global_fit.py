"""Global analysis: one fit over several measurements with shared molecular
parameters, and the plan of which measurement determines the parameters
best (tarvo.plan)."""

import math
import time
from dataclasses import dataclass
from types import SimpleNamespace

import numpy as np
from scipy.optimize import least_squares

from .checks import Finding, check_setup, data_findings, raise_or_warn, rayleigh_range_mm
from .files import InputError
from .misfit import misfit_message, residual_structure
from .parameters import FOCUS, NAMES, Parameters
from .problem import prepare_problem
from .residual_noise import ResidualNoise, residual_noise
from .setup_file import load_toml
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
            value, error = self.values[name], self.stderr[name]
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
    wavelengths = [member.arguments["wavelength"] for member in members]
    several_wavelengths = len(set(wavelengths)) > 1
    problems, maps, names, starts, bounds, origins = [], [], [], {}, {}, {}
    first_fitted = None
    for member, wavelength in zip(members, wavelengths):
        problem = prepare_problem(params=params if member.params is None else member.params,
                                  **member.arguments)
        fitted = [name for name in problem.names if name != FOCUS]
        first_fitted = fitted if first_fitted is None else first_fitted
        if fitted != first_fitted:
            raise ValueError(f"{member.label} fits {', '.join(fitted) or 'nothing'}, "
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
                raise ValueError(f"{full} starts at {float(starts[full]):g} in {origins[full]} "
                                 f"and at {float(value):g} in {member.label}: a shared "
                                 "parameter has one start value")
            elif name != FOCUS and bounds[full] != (float(low), float(high)):
                raise ValueError(f"{full} has other bounds in {member.label} than in "
                                 f"{origins[full]}: a shared parameter has one set of bounds")
            local.append(names.index(full))
        problems.append(problem)
        maps.append(np.array(local, dtype=int))
    return problems, maps, names


# ValueError when the measurements cannot be fitted together: other fitted
# parameters, or shared ones that start elsewhere or have other bounds.
def check_members(members, params):
    _problems(members, params)


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
        raise ValueError("a global fit needs at least one measurement")
    problems, maps, names = _problems(members, params)
    findings = []
    if checks != "off":
        for member, problem in zip(members, problems):
            found = data_findings(problem.x, problem.given, problem.energies, problem.setup,
                                  problem.base, member.arguments.get("is_sa", False),
                                  problem.normalisation)
            findings += [(member.label, finding) for finding in found]
        raise_or_warn([finding for _, finding in findings], checks)
    n = len(names)
    lower, upper = np.full(n, -np.inf), np.full(n, np.inf)
    is_log = np.zeros(n, dtype=bool)
    for problem, local in zip(problems, maps):
        lower[local] = np.maximum(lower[local], problem.lower)
        upper[local] = np.minimum(upper[local], problem.upper)
        is_log[local] = problem.is_log
    has_sigma = [member.arguments.get("sigma") is not None for member in members]
    scales = np.ones(len(members))

    # Weighted residuals of every measurement, and their Jacobian, at u.
    def evaluate(u, jacobian=True):
        rows, blocks = [], []
        for k, (problem, local) in enumerate(zip(problems, maps)):
            free = np.ones(len(local), dtype=bool)
            _, residuals, jac = problem.evaluate(u[local], free, jacobian)
            rows.append(scales[k] * residuals)
            if jacobian:
                block = np.zeros((residuals.size, n))
                block[:, local] = scales[k] * jac
                blocks.append(block)
        return np.concatenate(rows), (np.vstack(blocks) if jacobian else None)

    max_nfev = 200 * (n + 1) if max_nfev is None else int(max_nfev)
    u = np.zeros(n)
    weighting = "1/sigma^2 (data uncertainties)" if all(has_sigma) else None
    nfev = 0
    for _ in range(REWEIGHT_ROUNDS):
        solution = least_squares(lambda v: evaluate(v, False)[0], u,
                                 jac=lambda v: evaluate(v)[1], bounds=(lower, upper),
                                 method="trf", ftol=ftol, xtol=xtol, gtol=gtol,
                                 max_nfev=max_nfev, x_scale=1.0)
        u = solution.x
        nfev += int(solution.nfev)
        if all(has_sigma):
            break
        # Each measurement's noise from its own residuals (unscaled), as a weight.
        change = 0.0
        for k, (problem, local) in enumerate(zip(problems, maps)):
            if has_sigma[k]:
                continue
            residuals = problem.evaluate(u[local], np.ones(len(local), dtype=bool), False)[1]
            noise = math.sqrt(float(residuals @ residuals) / residuals.size)
            new = 1.0 / noise if noise > 0 else 1.0
            change = max(change, abs(new / scales[k] - 1.0))
            scales[k] = new
        weighting = ("each measurement weighted by the inverse of its noise, estimated from its "
                     "own residuals (iteratively reweighted)")
        if change < REWEIGHT_TOLERANCE:
            break
    residuals, jacobian_u = evaluate(u)
    # With estimated noise the weighted residuals have unit variance: scale by
    # the reduced chi^2 all the same (it is then near 1).
    # Each measurement's far-field division adds its own noise to its rows.
    noise = ResidualNoise.concatenated(
        [residual_noise(problem, u[local]) for problem, local in zip(problems, maps)],
        [problem.y.size if problem.keep is None else int(problem.keep.sum())
         for problem in problems])
    uncertainty = covariance_from_jacobian(jacobian_u, residuals, not all(has_sigma), noise)
    values, chain = np.zeros(n), np.ones(n)
    for problem, local in zip(problems, maps):
        values[local] = problem.values(u[local])
        chain[local] = np.where(problem.is_log, values[local], 1.0)
    covariance = uncertainty.covariance * np.outer(chain, chain)
    errors = np.sqrt(np.diag(covariance))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = covariance / np.outer(errors, errors)
    variance = uncertainty.reduced_chi2 if not all(has_sigma) else 1.0
    # A focus is judged against its measurement's Rayleigh range.
    focus_scales = {}
    for problem, local in zip(problems, maps):
        for name, index in zip(problem.names, local):
            if name == FOCUS:
                focus_scales[names[index]] = rayleigh_range_mm(SimpleNamespace(**problem.setup))
    identifiability = from_jacobian(names, values, is_log, jacobian_u / chain, variance,
                                    focus_scales, standard_errors=errors)
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
    chisqr = float(residuals @ residuals)
    nfree = residuals.size - n
    result = GlobalFitResult(
        var_names=list(names), values=dict(zip(names, values.tolist())),
        stderr=dict(zip(names, errors.tolist())), covar=covariance, correlation=correlation,
        chisqr=chisqr, redchi=chisqr / nfree if nfree > 0 else math.nan, ndata=residuals.size,
        nfree=nfree, success=solution.status > 0, message=solution.message,
        nfev=nfev, weighting=weighting, members=member_records, results=views,
        identifiability=identifiability, findings=findings,
        seconds=time.perf_counter() - began)
    # A measurement whose residuals show that the model does not describe it.
    result.misfits = []
    for member, view in zip(members, views):
        structure = residual_structure(view["positions"], view["data"] - view["model"],
                                       data=view["data"])
        if structure.misfit:
            result.misfits.append((member.label, Finding(
                "misfit", f"{member.label}: {misfit_message(structure)}")))
    if checks != "off":
        after = [finding for _, finding in result.misfits]
        if identifiability.undetermined:
            after.append(_undetermined_finding(identifiability))
        raise_or_warn(after, checks)
    return result


# The finding of parameters a global fit leaves undetermined.
def _undetermined_finding(identifiability):
    return Finding("not-determined", "the data do not determine "
                   + ", ".join(identifiability.undetermined))


# A read measurement directory as a member of a global fit: the keyword
# arguments of tarvo.fit and its own parameters ([start], [fit], [bounds]).
def member_of(measurement, model):
    arguments = measurement.fit_arguments(model)
    label = measurement.directory.resolve().name if measurement.directory else "measurement"
    return GlobalMember(label, arguments, measurement.parameters())


# Other pulse energies of a candidate, as factors of the measured ones.
ENERGY_FACTORS = (0.25, 0.5, 2.0, 4.0)
# Pulse durations of the candidates, as factors of the measured one.
DURATION_FACTORS = (0.01, 100.0)
# Concentration of the candidate that doubles it.
CONCENTRATION_FACTOR = 2.0
# Relative ridge added to the information so that undetermined directions
# have a finite (huge) error instead of an infinite one.
RIDGE = 1e-12


# A candidate measurement: what changes, and the tarvo.fit arguments of its curves.
@dataclass(frozen=True)
class Candidate:
    description: str
    arguments: dict


# The noise of a measurement's points: sigma where given, else the scatter of
# its far-field points about their mean (where the curves are flat).
def noise_level(arguments):
    sigma = arguments.get("sigma")
    if sigma is not None:
        return float(np.mean(np.concatenate(sigma) if isinstance(sigma, tuple) else sigma))
    y = arguments["transmittance"]
    if isinstance(y, tuple):
        # Curves of different lengths.
        ends = [np.concatenate([row[:5], row[-5:]]) for row in y]
        return float(np.sqrt(np.mean([np.var(end, ddof=1) for end in ends])))
    y = np.atleast_2d(np.asarray(y, dtype=np.float64))
    ends = np.concatenate([y[:, :5], y[:, -5:]], axis=1)
    return float(np.sqrt(np.mean(np.var(ends, axis=1, ddof=1))))


# The default candidates for a measurement: other pulse energies, pulse
# durations 100 times shorter and longer, twice the concentration.
def default_candidates(member):
    arguments = member.arguments
    energies = np.asarray(arguments["pulse_energy"], dtype=np.float64)
    candidates = [Candidate(f"{member.label}: pulse energies x{factor:g}",
                            dict(arguments, pulse_energy=energies * factor))
                  for factor in ENERGY_FACTORS]
    candidates += [Candidate(f"{member.label}: pulse duration x{factor:g} (tau "
                             f"{arguments['tau'] * factor:.3g} s)",
                             dict(arguments, tau=arguments["tau"] * factor))
                   for factor in DURATION_FACTORS]
    populations = np.asarray(arguments["populations"], dtype=np.float64)
    candidates.append(Candidate(f"{member.label}: concentration x{CONCENTRATION_FACTOR:g}",
                                dict(arguments, populations=populations * CONCENTRATION_FACTOR)))
    return candidates


# Jacobian of a measurement's model at the start values, divided by its
# noise, on the columns of the global parameters `names`. The Jacobian does
# not depend on the data: a candidate keeps the data of the measurement it
# varies for the fit's bookkeeping (the focus at their extreme).
def _information_rows(arguments, params, label, names, noise, several_wavelengths):
    arguments = dict(arguments, weights="equal", sigma=None)
    problem = prepare_problem(params=params, **arguments)
    _, _, jacobian = problem.evaluate(np.zeros(len(problem.names)),
                                      np.ones(len(problem.names), dtype=bool))
    rows = np.zeros((jacobian.shape[0], len(names)))
    for column, name in enumerate(problem.names):
        full = global_name(name, label, arguments["wavelength"], several_wavelengths, True)
        if full in names:
            rows[:, names.index(full)] = jacobian[:, column] / noise
    return rows


# Expected relative errors (focus: mm) and log-determinant of an information matrix.
def _expected(information):
    scale = np.sqrt(np.maximum(np.diag(information), np.finfo(float).tiny))
    scaled = information / np.outer(scale, scale)
    ridge = RIDGE * np.eye(len(scale))
    covariance = np.linalg.inv(scaled + ridge) / np.outer(scale, scale)
    sign, logdet = np.linalg.slogdet(scaled + ridge)
    return np.sqrt(np.maximum(np.diag(covariance), 0.0)), logdet + 2.0 * np.sum(np.log(scale))


# Rank candidate measurements by how much they add to what `members` determine.
def plan(members, params, candidates=None):
    """Expected standard errors after adding each candidate, best first.

    Parameters
    ----------
    members : sequence of GlobalMember
        The measurements made (their data give the noise level).
    params : tarvo.Parameters
        The parameter values to plan at (fitted values or a guess) and which
        parameters are fitted.
    candidates : sequence of Candidate, optional
        Default: for each measurement other pulse energies, pulse durations
        100 times shorter and longer, twice the concentration.

    Returns
    -------
    dict
        "parameters" (names), "present" (expected relative errors now) and
        "candidates": one entry per candidate in rank order with its
        description, set-up, expected relative errors, D-optimal gain and
        per-parameter gains.
    """
    params = _without_focus(params)
    several = len({m.arguments["wavelength"] for m in members}) > 1
    names = []
    for member in members:
        for name, p in params.items():
            if p.vary and name != FOCUS:
                full = global_name(name, member.label, member.arguments["wavelength"], several,
                                   True)
                if full not in names:
                    names.append(full)
    noises = [noise_level(m.arguments) for m in members]
    present = np.zeros((len(names), len(names)))
    for member, noise in zip(members, noises):
        rows = _information_rows(member.arguments, params, member.label, names, noise, several)
        present += rows.T @ rows
    errors_now, logdet_now = _expected(present)
    skipped = []
    if candidates is None:
        # A default candidate beyond the plausible range of its quantity (a
        # pulse 100 times shorter than a femtosecond one) is left out, saying so.
        candidates = []
        for candidate in (c for m in members for c in default_candidates(m)):
            problem = candidate_problem(candidate)
            if problem is None:
                candidates.append(candidate)
            else:
                skipped.append({"description": candidate.description, "reason": problem})
    if len(candidates) > MAX_CANDIDATES:
        raise ValueError(f"{len(candidates)} candidates; a plan ranks at most {MAX_CANDIDATES}")
    entries = []
    for candidate, noise in zip(candidates, _candidate_noises(candidates, members, noises)):
        try:
            rows = _information_rows(candidate.arguments, params, "candidate", names, noise,
                                     several)
            if not np.all(np.isfinite(rows)):
                raise ValueError("the model's derivatives are not finite there")
        except (ValueError, ArithmeticError) as error:
            raise ValueError(f"candidate {candidate.description}: {error}") from None
        errors, logdet = _expected(present + rows.T @ rows)
        entries.append({
            "description": candidate.description,
            "setup": {"tau": float(candidate.arguments["tau"]),
                      "wavelength": float(candidate.arguments["wavelength"]),
                      "pulse_energy": [float(e) for e in candidate.arguments["pulse_energy"]],
                      "populations": [float(v) for v in candidate.arguments["populations"]]},
            "expected_relative_errors": dict(zip(names, errors.tolist())),
            "gain": float(logdet - logdet_now),
            "parameter_gains": {name: float(before / after) if after > 0 else math.inf
                                for name, before, after in zip(names, errors_now, errors)},
        })
    entries.sort(key=lambda entry: -entry["gain"])
    return {"parameters": names, "present": dict(zip(names, errors_now.tolist())),
            "noise": noises, "candidates": entries, "skipped": skipped}


# The noise of each candidate: that of the measurement it varies (by its label).
def _candidate_noises(candidates, members, noises):
    by_label = {m.label: noise for m, noise in zip(members, noises)}
    default = float(np.mean(noises))
    return [by_label.get(c.description.split(":")[0], default) for c in candidates]


# The parameters without a varied focus: a plan is for the molecular parameters.
def _without_focus(params):
    copy = Parameters()
    for name, p in params.items():
        if name == FOCUS:
            continue
        copy.add(name, p.value, vary=p.vary, min=p.min, max=p.max)
    return copy

# Keys a candidate of a --candidates file may change, with their units.
CANDIDATE_KEYS = {"tau": "s", "pulse_energy": "J, a list", "populations": "cm^-3, five",
                  "wavelength": "m", "sample_width": "cm", "w0": "m"}

# Most candidates a plan ranks: each costs a model Jacobian (a second or so).
MAX_CANDIDATES = 1000


# Candidates from a TOML file of [[candidate]] tables (name and the keys that
# change from the first measurement's set-up), each checked as a set-up is;
# InputError naming the file and the candidate otherwise.
def read_candidates(path, member):
    document, _ = load_toml(path)
    tables = document.get("candidate")
    if not isinstance(tables, list) or not tables:
        raise InputError(f"{path}: no [[candidate]] tables (name and the set-up keys that "
                         f"change: {', '.join(CANDIDATE_KEYS)})")
    if len(tables) > MAX_CANDIDATES:
        raise InputError(f"{path}: {len(tables)} [[candidate]] tables; a plan ranks at most "
                         f"{MAX_CANDIDATES} (each costs a model evaluation of its own)")
    candidates = []
    for table in tables:
        if not isinstance(table, dict):
            raise InputError(f"{path}: every [[candidate]] must be a table")
        name = table.get("name")
        if not isinstance(name, str) or not name:
            raise InputError(f"{path}: every [[candidate]] needs name = \"...\"")
        where = f"{path} [[candidate]] {name}"
        arguments = dict(member.arguments)
        for key, value in table.items():
            if key == "name":
                continue
            if key not in CANDIDATE_KEYS:
                raise InputError(f"{where}: unknown key {key!r}; known: "
                                 + ", ".join(CANDIDATE_KEYS))
            arguments[key] = _candidate_value(key, value, where)
        if len(arguments["pulse_energy"]) != len(member.arguments["pulse_energy"]):
            y = np.asarray(member.arguments["transmittance"])
            arguments["transmittance"] = np.resize(y, (len(arguments["pulse_energy"]),
                                                       y.shape[-1]))
        candidate = Candidate(f"{member.label}: {name}", arguments)
        problem = candidate_problem(candidate)
        if problem is not None:
            raise InputError(f"{where}: {problem}")
        candidates.append(candidate)
    return candidates


# A value of a candidate's key, checked as setup.toml's are: pulse energies a
# list of positive numbers, populations five of at least 0, the others one
# positive number.
def _candidate_value(key, value, where):
    listed = key in ("pulse_energy", "populations")
    numbers = value if isinstance(value, list) else [value]
    if listed != isinstance(value, list) or not numbers or not all(
            isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
            for v in numbers):
        kind = "a list of finite numbers" if listed else "one finite number"
        raise InputError(f"{where}: {key} must be {kind} ({CANDIDATE_KEYS[key]}), got {value!r}")
    if key == "populations":
        if len(numbers) != 5 or min(numbers) < 0 or sum(numbers) <= 0:
            raise InputError(f"{where}: populations must be five numbers of at least 0, not all "
                             f"0 (cm^-3), got {value!r}")
        return [float(v) for v in numbers]
    if min(numbers) <= 0:
        raise InputError(f"{where}: {key} must be positive ({CANDIDATE_KEYS[key]}), got "
                         f"{value!r}")
    return [float(v) for v in numbers] if listed else float(value)


# Why a candidate's set-up cannot be planned (a value outside the plausible
# range of its quantity, as the set-up checks judge it), or None.
def candidate_problem(candidate):
    arguments = candidate.arguments
    values = [arguments[key] for key in ("tau", "wavelength", "w0", "sample_width", "M2")]
    energies = list(np.ravel(arguments["pulse_energy"]))
    populations = list(np.ravel(arguments["populations"]))
    if not all(isinstance(v, (int, float)) and math.isfinite(v) and v > 0
               for v in values + energies) or len(populations) != 5 \
            or not all(math.isfinite(v) and v >= 0 for v in populations):
        return "the set-up values must be finite and positive"
    setup = SimpleNamespace(**{key: arguments[key] for key in
                               ("tau", "wavelength", "w0", "sample_width", "M2")},
                            populations=tuple(populations))
    findings = [finding for finding in check_setup(setup, energies)
                if finding.check == "setup-range"]
    return findings[0].message if findings else None
