"""Planning a measurement (tarvo.plan): the Fisher information of the
measurements made and of candidate ones, and the candidates ranked by how
much they would add (D-optimal gain)."""

import math
from dataclasses import dataclass, replace

import numpy as np

from .checks import check_setup
from .errors import InputError
from .global_fit import global_name
from .parameters import FOCUS, Parameters
from .problem import prepare_problem
from .setup_file import load_toml


# Other pulse energies of a candidate, as factors of the measured ones.
ENERGY_FACTORS = (0.25, 0.5, 2.0, 4.0)
# Pulse durations of the candidates, as factors of the measured one.
DURATION_FACTORS = (0.01, 100.0)
# Concentration of the candidate that doubles it.
CONCENTRATION_FACTOR = 2.0
# Relative ridge added to the information so that undetermined directions
# have a finite (huge) error instead of an infinite one.
RIDGE = 1e-12

# Keys a candidate of a --candidates file may change, with their units.
CANDIDATE_KEYS = {"tau": "s", "pulse_energy": "J, a list", "populations": "cm^-3, five",
                  "wavelength": "m", "sample_width": "cm", "w0": "m"}

# Most candidates a plan ranks: each costs a model Jacobian (a second or so).
MAX_CANDIDATES = 1000


# A candidate measurement: what changes, and the tarvo.fit arguments of its curves.
@dataclass(frozen=True)
class Candidate:
    description: str
    arguments: dict

    # The candidate's set-up (a tarvo.Setup).
    @property
    def setup(self):
        return self.arguments["setup"]

    # The pulse energy of each of its curves (J).
    @property
    def pulse_energy(self):
        return [curve.pulse_energy for curve in self.arguments["curves"]]


# The noise of a measurement's points: sigma where given, else the scatter of
# its far-field points about their mean (where the curves are flat).
def noise_level(arguments):
    curves = arguments["curves"]
    ragged = len({c.transmittance.size for c in curves}) > 1
    if curves[0].sigma is not None:
        sigma = [c.sigma for c in curves]
        return float(np.mean(np.concatenate(sigma) if ragged else np.stack(sigma)))
    if ragged:
        ends = [np.concatenate([c.transmittance[:5], c.transmittance[-5:]]) for c in curves]
        return float(np.sqrt(np.mean([np.var(end, ddof=1) for end in ends])))
    y = np.stack([np.asarray(c.transmittance, dtype=np.float64) for c in curves])
    ends = np.concatenate([y[:, :5], y[:, -5:]], axis=1)
    return float(np.sqrt(np.mean(np.var(ends, axis=1, ddof=1))))


# The default candidates for a measurement: other pulse energies, pulse
# durations 100 times shorter and longer, twice the concentration.
def default_candidates(member):
    arguments = member.arguments
    setup = arguments["setup"]
    curves = arguments["curves"]
    candidates = [Candidate(f"{member.label}: pulse energies x{factor:g}",
                            dict(arguments, curves=tuple(
                                replace(c, pulse_energy=c.pulse_energy * factor)
                                for c in curves)))
                  for factor in ENERGY_FACTORS]
    candidates += [Candidate(f"{member.label}: pulse duration x{factor:g} (tau "
                             f"{setup.tau * factor:.3g} s)",
                             dict(arguments, setup=setup.shifted(tau=setup.tau * factor)))
                   for factor in DURATION_FACTORS]
    populations = setup.population_array * CONCENTRATION_FACTOR
    candidates.append(Candidate(f"{member.label}: concentration x{CONCENTRATION_FACTOR:g}",
                                dict(arguments, setup=setup.shifted(populations=populations))))
    return candidates


# Jacobian of a measurement's model at the start values, divided by its
# noise, on the columns of the global parameters `names`. The Jacobian does
# not depend on the data: a candidate keeps the data of the measurement it
# varies for the fit's bookkeeping (the focus at their extreme).
def _information_rows(arguments, params, label, names, noise, several_wavelengths):
    arguments = dict(arguments, weights="equal",
                     curves=tuple(replace(c, sigma=None) for c in arguments["curves"]))
    problem = prepare_problem(params=params, **arguments)
    _, _, jacobian = problem.evaluate(np.zeros(len(problem.names)),
                                      np.ones(len(problem.names), dtype=bool))
    rows = np.zeros((jacobian.shape[0], len(names)))
    for column, name in enumerate(problem.names):
        full = global_name(name, label, arguments["setup"].wavelength, several_wavelengths,
                           True)
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
    several = len({m.arguments["setup"].wavelength for m in members}) > 1
    names = []
    for member in members:
        for name, p in params.items():
            if p.vary and name != FOCUS:
                full = global_name(name, member.label, member.arguments["setup"].wavelength,
                                   several, True)
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
        raise InputError(f"{len(candidates)} candidates; a plan ranks at most {MAX_CANDIDATES}")
    entries = []
    for candidate, noise in zip(candidates, _candidate_noises(candidates, members, noises)):
        try:
            rows = _information_rows(candidate.arguments, params, "candidate", names, noise,
                                     several)
            if not np.all(np.isfinite(rows)):
                raise InputError("the model's derivatives are not finite there")
        except (ValueError, ArithmeticError) as error:
            raise InputError(f"candidate {candidate.description}: {error}") from None
        errors, logdet = _expected(present + rows.T @ rows)
        entries.append({
            "description": candidate.description,
            "setup": {"tau": candidate.setup.tau, "wavelength": candidate.setup.wavelength,
                      "pulse_energy": [float(e) for e in candidate.pulse_energy],
                      "populations": list(candidate.setup.populations)},
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
        arguments, changes = dict(member.arguments), {}
        for key, value in table.items():
            if key == "name":
                continue
            if key not in CANDIDATE_KEYS:
                raise InputError(f"{where}: unknown key {key!r}; known: "
                                 + ", ".join(CANDIDATE_KEYS))
            if key == "pulse_energy":
                # Curves at these energies, the measured ones taken in turn.
                curves = member.arguments["curves"]
                arguments["curves"] = tuple(
                    replace(curves[k % len(curves)], pulse_energy=energy)
                    for k, energy in enumerate(_candidate_value(key, value, where)))
            else:
                changes[key] = _candidate_value(key, value, where)
        arguments["setup"] = arguments["setup"].shifted(**changes)
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
    setup = candidate.setup
    values = [setup.tau, setup.wavelength, setup.w0, setup.sample_width, setup.M2]
    energies = candidate.pulse_energy
    populations = list(setup.populations)
    if not all(isinstance(v, (int, float)) and math.isfinite(v) and v > 0
               for v in values + energies) or len(populations) != 5 \
            or not all(math.isfinite(v) and v >= 0 for v in populations):
        return "the set-up values must be finite and positive"
    findings = [finding for finding in check_setup(setup, energies)
                if finding.check == "setup-range"]
    return findings[0].message if findings else None
