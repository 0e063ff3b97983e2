"""Which measurement to make next: the expected standard errors of the fitted
parameters after adding a candidate measurement, from the Fisher information
of the exact Jacobian, and the candidates ranked by how much they shrink the
poorly determined directions.

For measurements with noise s (per point) and Jacobian J of the model in
log-parameters (the focus in mm), the Fisher information is J^T J / s^2 and
its inverse the expected covariance. A candidate adds the information of its
own model curves at the present parameter values, with the noise of the
existing data. Its D-optimal gain is the log of the ratio of the
determinants of the information with and without it (the volume by which the
confidence region shrinks); a parameter's own gain is its expected error
without over with the candidate.
"""

import math
from dataclasses import dataclass

import numpy as np

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
        return float(np.mean(sigma))
    y = np.atleast_2d(np.asarray(arguments["transmittance"], dtype=np.float64))
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
    from .fitting import prepare_problem
    from .global_fit import global_name

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
    from .fit_parameters import FOCUS
    from .global_fit import global_name

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
    candidates = candidates if candidates is not None else \
        [c for m in members for c in default_candidates(m)]
    entries = []
    for candidate, noise in zip(candidates, _candidate_noises(candidates, members, noises)):
        rows = _information_rows(candidate.arguments, params, "candidate", names, noise, several)
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
            "noise": noises, "candidates": entries}


# The noise of each candidate: that of the measurement it varies (by its label).
def _candidate_noises(candidates, members, noises):
    by_label = {m.label: noise for m, noise in zip(members, noises)}
    default = float(np.mean(noises))
    return [by_label.get(c.description.split(":")[0], default) for c in candidates]


# The parameters without a varied focus: a plan is for the molecular parameters.
def _without_focus(params):
    from .fit_parameters import FOCUS, Parameters

    copy = Parameters()
    for name, p in params.items():
        if name == FOCUS:
            continue
        copy.add(name, p.value, vary=p.vary, min=p.min, max=p.max)
    return copy

# Keys a candidate of a --candidates file may change, with their units.
CANDIDATE_KEYS = {"tau": "s", "pulse_energy": "J, a list", "populations": "cm^-3, five",
                  "wavelength": "m", "sample_width": "cm", "w0": "m"}


# Candidates from a TOML file of [[candidate]] tables (name and the keys that
# change from the first measurement's set-up).
def read_candidates(path, member):
    from .errors import InputError
    from .measurement import load_toml

    document, _ = load_toml(path)
    tables = document.get("candidate")
    if not isinstance(tables, list) or not tables:
        raise InputError(f"{path}: no [[candidate]] tables (name and the set-up keys that "
                         f"change: {', '.join(CANDIDATE_KEYS)})")
    candidates = []
    for table in tables:
        name = table.get("name")
        if not isinstance(name, str) or not name:
            raise InputError(f"{path}: every [[candidate]] needs name = \"...\"")
        arguments = dict(member.arguments)
        for key, value in table.items():
            if key == "name":
                continue
            if key not in CANDIDATE_KEYS:
                raise InputError(f"{path} [[candidate]] {name}: unknown key {key!r}; known: "
                                 + ", ".join(CANDIDATE_KEYS))
            numbers = value if isinstance(value, list) else [value]
            if not numbers or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                      and math.isfinite(v) and v >= 0 for v in numbers):
                raise InputError(f"{path} [[candidate]] {name}: {key} must be numbers of at "
                                 f"least 0 ({CANDIDATE_KEYS[key]}), got {value!r}")
            arguments[key] = numbers if isinstance(value, list) else float(value)
        if len(arguments["pulse_energy"]) != len(member.arguments["pulse_energy"]):
            y = np.asarray(member.arguments["transmittance"])
            arguments["transmittance"] = np.resize(y, (len(arguments["pulse_energy"]),
                                                       y.shape[-1]))
        candidates.append(Candidate(f"{member.label}: {name}", arguments))
    return candidates
