"""The error budget of a fit: how far the uncertainties of the set-up (beam
waist, M2, pulse energy, concentration, sample width, pulse duration,
absorbance) move the fitted values, beside the statistical error.

A set-up quantity q is held fixed in the fit, so the fitted values p_hat(q)
are a function of it. At the optimum the gradient J^T r vanishes for every q;
differentiating that (the implicit-function theorem) gives

    d p_hat / d q = -(J^T J)^-1 J^T dr/dq,

with J the Jacobian of the weighted residuals r with respect to the fitted
parameters (the weights are inside r). dr/dq = -sqrt(w) dmodel/dq comes from
central differences of the model at shifted set-ups (the engines
differentiate with respect to the fitted parameters only). A quantity's
contribution to a parameter is d p_hat/d q times the quantity's uncertainty:
the shift of the fitted value that a one-standard-deviation error of the
set-up causes. The quantities are taken as independent; the total adds the
statistical error and every contribution in quadrature. Refits at the set-up
shifted by +/- the uncertainty (a few Gauss-Newton steps from the linear
prediction) check each contribution; where the fitted values follow the
quantity nonlinearly over that range, the contribution is what the refits
show (half the difference of the two), since that is what an error of one
uncertainty does, and a note gives both.
"""

import copy
import math
from collections import OrderedDict
from dataclasses import dataclass, field

import numpy as np

from .errors import InputError
from .checks import PER_CM3_PER_MOL_L
from .files import json_number
from .parameters import FOCUS, NAMES

# The uncertainty keys: what each means, and the units an absolute
# uncertainty may be given in (factor to the unit the set-up holds the
# quantity in; None: dimensionless, absolute as "0.1 absolute").
QUANTITIES = {
    "w0": ("beam waist", {"m": 1.0, "mm": 1e-3, "um": 1e-6, "µm": 1e-6, "nm": 1e-9}),
    "M2": ("beam quality M2", None),
    "pulse_energy": ("pulse energy", {"J": 1.0, "mJ": 1e-3, "uJ": 1e-6, "µJ": 1e-6,
                                      "nJ": 1e-9}),
    "concentration": ("concentration", {"mol/L": 1.0, "M": 1.0, "mM": 1e-3, "uM": 1e-6,
                                        "µM": 1e-6}),
    "populations": ("populations", {"cm^-3": 1.0}),
    "sample_width": ("sample width", {"cm": 1.0, "mm": 0.1, "um": 1e-4, "µm": 1e-4}),
    "tau": ("pulse duration tau", {"s": 1.0, "ns": 1e-9, "ps": 1e-12, "fs": 1e-15}),
    "pulse_fwhm": ("pulse FWHM", {"s": 1.0, "ns": 1e-9, "ps": 1e-12, "fs": 1e-15}),
    "absorbance": ("absorbance", None),
}

# Keys that name one quantity two ways; at most one of each pair is given.
SAME_QUANTITY = (("concentration", "populations"), ("tau", "pulse_fwhm"))

# The word of an absolute uncertainty of a dimensionless quantity.
ABSOLUTE = "absolute"

# Relative step of the central differences of the model in a set-up
# quantity: the exact engine is accurate to rounding, so the truncation
# error (step^2) and the rounding error (1e-16 / step) both stay near 1e-8.
REL_STEP = 1.0e-4

# Intensity FWHM over tau of the pulse exp(-(t/tau)^2).
FWHM_PER_TAU = 2.0 * math.sqrt(math.log(2.0))

METHOD = ("implicit-function theorem at the optimum: d p/d q = -(J^T J)^-1 J^T dr/dq (J the "
          "exact Jacobian of the weighted residuals, dr/dq by central differences of the model "
          "at a relative step of {step:g}); contribution = d p/d q x the uncertainty of q; "
          "total = statistical error and contributions added in quadrature; each contribution "
          "checked against refits at the set-up shifted by +/- the uncertainty, whose half "
          "difference replaces it where the two differ by more than 10 %")


# One uncertainty as given: relative (unit None) or absolute in `unit`.
@dataclass(frozen=True)
class Entry:
    value: float
    unit: str = None

    # The entry as setup.toml writes it.
    def text(self):
        if self.unit is None:
            return f"{100 * self.value:.3g} %"
        return f"{self.value:g} {self.unit}"


# A number or "VALUE UNIT" of quantity `key`, checked; ValueError naming it otherwise.
def _entry(key, value, where):
    units = QUANTITIES[key][1]
    if isinstance(value, str):
        parts = value.split()
        allowed = [ABSOLUTE] if units is None else list(units)
        if len(parts) != 2 or parts[1] not in allowed:
            raise InputError(f"{where}{key}: an absolute uncertainty is \"VALUE UNIT\" with the "
                             f"unit one of {', '.join(allowed)}, got {value!r}")
        try:
            number = float(parts[0])
        except ValueError:
            raise InputError(f"{where}{key}: {parts[0]!r} is not a number") from None
        unit = parts[1]
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        number, unit = float(value), None
    else:
        raise InputError(f"{where}{key}: give a relative uncertainty (0.05 for 5 %) or an "
                         f"absolute one as \"VALUE UNIT\", got {value!r}")
    if not (math.isfinite(number) and number >= 0.0):
        raise InputError(f"{where}{key}: an uncertainty is a finite number of at least 0, got "
                         f"{value!r}")
    if unit is None and number >= 1.0:
        raise InputError(f"{where}{key}: a relative uncertainty of {number:g} is "
                         f"{100 * number:g} % (0.05 means 5 %); give an absolute one with its "
                         "unit")
    return Entry(number, unit)


# The uncertainties of a set-up, checked: key -> Entry (pulse_energy: one
# Entry for all curves, or a tuple of one per curve). `absorption` is the
# [sample] record of a sigma_1 held from the linear absorption (its alpha in
# cm^-1), so that the sample width and concentration move it as they move
# the absorption coefficient it was computed from.
@dataclass(frozen=True)
class SetupUncertainties:
    entries: dict
    absorption: float = None

    # Checked uncertainties from a mapping key -> number or "VALUE UNIT".
    @classmethod
    def of(cls, mapping, where="", absorption=None):
        if isinstance(mapping, SetupUncertainties):
            return mapping
        if not isinstance(mapping, dict):
            raise InputError(f"{where}uncertainties must be a mapping of set-up quantities to "
                             f"their uncertainties, got {type(mapping).__name__}")
        entries = {}
        for key, value in mapping.items():
            if key not in QUANTITIES:
                raise InputError(f"{where}unknown quantity {key!r}; the quantities are "
                                 + ", ".join(QUANTITIES))
            if key == "pulse_energy" and isinstance(value, (list, tuple)):
                if not value:
                    raise InputError(f"{where}pulse_energy: give one uncertainty for all curves "
                                     "or a list of one per curve")
                entries[key] = tuple(_entry(key, v, where) for v in value)
            else:
                entries[key] = _entry(key, value, where)
        for first, second in SAME_QUANTITY:
            if first in entries and second in entries:
                raise InputError(f"{where}{first} and {second} are one quantity: give one")
        return cls(entries, absorption)

    # Relative uncertainty of each quantity at this set-up: key -> float
    # (pulse_energy per curve: an array).
    def relative(self, setup, energies, spec_pars):
        relative = {}
        total = float(np.sum(setup.populations))
        for key, entry in self.entries.items():
            if key == "pulse_energy":
                per_curve = entry if isinstance(entry, tuple) else None
                if per_curve is not None and len(per_curve) != len(energies):
                    raise InputError(f"uncertainties: pulse_energy lists {len(per_curve)} "
                                     f"values for {len(energies)} curves")
                if per_curve is None:
                    if entry.unit is None:
                        relative[key] = entry.value
                    else:
                        relative[key] = np.array([entry.value * QUANTITIES[key][1][entry.unit]
                                                  / e for e in energies])
                else:
                    relative[key] = np.array([
                        e.value if e.unit is None else
                        e.value * QUANTITIES[key][1][e.unit] / energy
                        for e, energy in zip(per_curve, energies)])
                continue
            if entry.unit is None:
                relative[key] = entry.value
                continue
            scale = 1.0 if entry.unit == ABSOLUTE else QUANTITIES[key][1][entry.unit]
            absolute = entry.value * scale
            reference = {
                "w0": setup.w0, "M2": setup.M2, "sample_width": setup.sample_width,
                "tau": setup.tau, "pulse_fwhm": setup.tau * FWHM_PER_TAU,
                "populations": total, "concentration": total / PER_CM3_PER_MOL_L,
                "absorbance": None}[key]
            if key == "absorbance":
                # Decadic absorbance over the sample of the absorption coefficient.
                alpha = self.alpha(setup, spec_pars)
                reference = alpha * setup.sample_width / math.log(10.0)
            relative[key] = absolute / reference
        return relative

    # The linear absorption coefficient (cm^-1) sigma_1 is held from.
    def alpha(self, setup, spec_pars):
        if self.absorption is not None:
            return self.absorption
        populations = setup.populations
        return float(spec_pars[0] * populations[0] + _excited(spec_pars, populations))


# What the molecules in the excited levels before the pulse absorb (cm^-1):
# as [sample] absorbance counts it.
def _excited(spec_pars, populations):
    return float(spec_pars[1] * populations[1] + spec_pars[2] * populations[3])


# The set-up, energies and eight parameters with quantity `key` shifted by
# the relative amount `shift` (pulse_energy of curve `curve` only, when
# given). A sigma_1 held from the absorption follows the quantities it was
# computed from: alpha = A ln 10 / L, sigma_1 = (alpha - excited) / N_1.
def shifted(key, shift, setup, energies, spec_pars, uncertainties, curve=None):
    energies = np.array(energies, dtype=np.float64)
    spec_pars = np.array(spec_pars, dtype=np.float64)
    factor = 1.0 + shift
    coupled = uncertainties.absorption is not None or "absorbance" in uncertainties.entries
    alpha = uncertainties.alpha(setup, spec_pars) if coupled else None
    populations = setup.population_array
    if key in ("w0", "M2", "sample_width", "tau"):
        setup = setup.shifted(**{key: getattr(setup, key) * factor})
    elif key == "pulse_fwhm":
        setup = setup.shifted(tau=setup.tau * factor)
    elif key == "pulse_energy":
        if curve is None:
            energies = energies * factor
        else:
            energies[curve] *= factor
    elif key in ("concentration", "populations"):
        setup = setup.shifted(populations=populations * factor)
    if coupled:
        if key == "sample_width":
            alpha = alpha / factor
        elif key == "absorbance":
            alpha = alpha * factor
        new = setup.population_array
        if key in ("sample_width", "absorbance", "concentration", "populations"):
            spec_pars[0] = (alpha - _excited(spec_pars, new)) / new[0]
    return setup, energies, spec_pars


# The error budget of the fitted parameters of a fit.
@dataclass
class ErrorBudget:
    """Statistical error, each set-up quantity's contribution and the total.

    Attributes
    ----------
    parameters : list of str
        The fitted parameters.
    values : dict
        Fitted value of each parameter.
    statistical : dict
        Standard error of each parameter (from the fit).
    quantities : dict
        Quantity key -> (what it is, the uncertainty as given).
    contributions : dict
        Quantity key -> {parameter: signed shift of the fitted value when
        the quantity is one uncertainty higher} (pulse energies given per
        curve: the curves' shifts added in quadrature, unsigned).
    method : str
        How the contributions are computed.
    notes : list of str
        Contributions that refits at the set-up shifted by +/- the
        uncertainty do not confirm (the fitted values follow the quantity
        nonlinearly there), with what the refits show.
    """

    parameters: list
    values: dict
    statistical: dict
    quantities: dict
    contributions: dict
    method: str
    notes: list = field(default_factory=list)

    @property
    def total(self):
        """Statistical error and contributions added in quadrature, by parameter."""
        return {name: math.sqrt(self.statistical[name] ** 2 + sum(
            shifts[name] ** 2 for shifts in self.contributions.values()))
            for name in self.parameters}

    # An error of parameter `name` as text: per cent of the value (the focus in mm).
    def _cell(self, name, error, signed=False):
        if error is None or not math.isfinite(error):
            return "inf"
        if name.split("@")[0] == FOCUS or name not in NAMES:
            return f"{error:+.2g} mm" if signed and name == FOCUS else \
                f"{error:.2g}" + (" mm" if name == FOCUS else "")
        value = self.values[name]
        if value == 0.0:
            return "inf"
        percent = 100.0 * error / abs(value)
        return f"{percent:+.2g} %" if signed else f"{percent:.2g} %"

    # What the budget says of a one-uncertainty change of the set-up.
    TITLE = ("error budget (shift of each fitted value for a one-uncertainty change of the "
             "set-up quantity; total in quadrature):")

    def table(self):
        """The budget as rows of cells, the header first: one row per parameter,
        one column per source of error (per cent of the value; the focus in mm)."""
        header = ["parameter", "statistical"] + [
            f"{key} ({entry})" for key, (_, entry) in self.quantities.items()] + ["total"]
        lines = [header]
        total = self.total
        for name in self.parameters:
            lines.append([name, self._cell(name, self.statistical[name])]
                         + [self._cell(name, shifts[name], signed=True)
                            for shifts in self.contributions.values()]
                         + [self._cell(name, total[name])])
        return lines

    def report(self):
        """The budget as text lines (the title, then the table)."""
        lines = self.table()
        header = lines[0]
        widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
        text = [self.TITLE]
        text += ["  " + "  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
                 for line in lines]
        text.insert(2, "  " + "  ".join("-" * width for width in widths))
        return text + [f"  note: {note}" for note in self.notes]

    def as_dict(self):
        """The record of the result file (key "error_budget")."""
        total = self.total
        return {"method": self.method,
                "quantities": {key: {"meaning": meaning, "uncertainty": entry}
                               for key, (meaning, entry) in self.quantities.items()},
                "parameters": {name: {
                    "value": json_number(self.values[name]),
                    "statistical": json_number(self.statistical[name]),
                    "contributions": {key: json_number(shifts[name])
                                      for key, shifts in self.contributions.items()},
                    "total": json_number(total[name])} for name in self.parameters},
                "notes": list(self.notes)}

    @classmethod
    def from_dict(cls, document):
        """The budget of a result file's "error_budget" record."""
        parameters = list(document["parameters"])
        number = (lambda v: math.nan if v is None else float(v))
        entries = document["parameters"]
        return cls(parameters, {n: number(entries[n]["value"]) for n in parameters},
                   {n: number(entries[n]["statistical"]) for n in parameters},
                   {key: (q["meaning"], q["uncertainty"])
                    for key, q in document["quantities"].items()},
                   {key: {n: number(entries[n]["contributions"][key]) for n in parameters}
                    for key in document["quantities"]},
                   document["method"], list(document.get("notes", [])))


# d r / d(relative shift of quantity `key`) at the fit's solution, by central
# differences of the model at shifted set-ups.
def _residual_derivative(problem, u, key, uncertainties, make_handle, step, curve=None):
    spec_pars, focus = problem.parameters(u)
    columns = []
    for sign in (1.0, -1.0):
        setup, energies, pars = shifted(key, sign * step, problem.setup, problem.energies,
                                        spec_pars, uncertainties, curve)
        model, _ = problem.curves(pars, focus, (), problem.optics(u),
                                  handle=make_handle(setup, energies))
        columns.append(np.asarray(model, dtype=np.float64))
    return -problem.weighted_change(columns[1], columns[0]) / (2.0 * step)


# A contribution this far from what refits show is reported as nonlinear.
NONLINEAR = 0.1


# Gauss-Newton steps of the refits that check the linearisation.
CHECK_STEPS = 4


# The fitted values of a refit at the set-up with quantity `key` shifted by
# `size` (relative): a few Gauss-Newton steps from the linear prediction
# values + `change`. None where a step leaves a positive parameter's range.
def _refit_at(problem, u, key, size, change, uncertainties, make_handle):
    spec_pars, _ = problem.parameters(u)
    setup, energies, pars = shifted(key, size, problem.setup, problem.energies, spec_pars,
                                    uncertainties)
    moved = copy.copy(problem)
    moved.setup, moved.energies = setup, energies
    moved.base = problem.base.copy()
    moved.base[0] = pars[0]     # a held sigma_1 that follows the absorption
    moved._handle, moved._cache = make_handle(setup, energies), OrderedDict()
    free = np.ones(len(problem.names), dtype=bool)
    values = problem.values(u) + change
    for _ in range(CHECK_STEPS):
        if np.any(problem.is_log & (values <= 0.0)):
            return None
        at = moved.internal(values)
        residuals = moved.evaluate(at, free, jacobian=False)[1]
        jacobian = moved.physical_jacobian(at)
        norms = np.linalg.norm(jacobian, axis=0)
        norms = np.where(norms > 0.0, norms, 1.0)
        step, *_ = np.linalg.lstsq(jacobian / norms, -residuals, rcond=None)
        values = values + step / norms
    return values


# The contributions of `key` checked by refits at the set-ups shifted by
# +/- the uncertainty: where the two differ by more than NONLINEAR (the fitted
# values follow the quantity nonlinearly over that range) the refits' half
# difference replaces the linearised shift, with a note. Returns the shifts
# and the notes.
def _checked_by_refits(problem, u, key, size, shifts, statistical, uncertainties, make_handle):
    ends = [_refit_at(problem, u, key, sign * size, sign * shifts, uncertainties,
                            make_handle) for sign in (1.0, -1.0)]
    if any(end is None for end in ends):
        return shifts, [f"{key}: a change by its uncertainty takes a fitted value out of its "
                        "range; the linearised contributions understate it"]
    secant = 0.5 * (ends[0] - ends[1])
    checked, notes = np.array(shifts, dtype=np.float64), []
    for k, (name, value, linear, refit, error) in enumerate(zip(
            problem.names, problem.values(u), shifts, secant, statistical)):
        if abs(linear) > error and abs(refit - linear) > NONLINEAR * abs(linear):
            checked[k] = refit
            scale, unit = (abs(value) / 100.0, " %") if name in NAMES else \
                (1.0, " mm" if name == FOCUS else "")
            notes.append(f"{key}: {name} follows it nonlinearly over +/- its uncertainty: "
                         f"refits there move it by {refit / scale:+.2g}{unit} (half the "
                         f"difference), the value the budget takes; the linearised contribution says "
                         f"{linear / scale:+.2g}{unit}")
    return checked, notes


# The budget of a finished fit (tarvo.FitResult with its problem) for the
# set-up uncertainties `uncertainties` (SetupUncertainties or a mapping).
# `make_handle(setup, energies)` builds the engine's model at another set-up.
def error_budget(problem, result, uncertainties, make_handle, step=REL_STEP):
    uncertainties = SetupUncertainties.of(uncertainties, "uncertainties: ")
    u = np.asarray(result._u, dtype=np.float64)
    spec_pars, _ = problem.parameters(u)
    held_sigma_1 = "sigma_1" not in problem.names
    if "absorbance" in uncertainties.entries and not held_sigma_1:
        raise InputError("uncertainties: absorbance sets sigma_1 only where sigma_1 is held "
                         "(not fitted); drop it, or hold sigma_1 at the absorbance's value")
    relative = uncertainties.relative(problem.setup, problem.energies, spec_pars)
    jacobian = problem.physical_jacobian(u)
    norms = np.linalg.norm(jacobian, axis=0)
    norms = np.where(norms > 0.0, norms, 1.0)
    scaled = jacobian / norms

    # d p_hat / d(relative shift) for residual derivative `derivative`.
    def sensitivity(derivative):
        solution, *_ = np.linalg.lstsq(scaled, derivative, rcond=None)
        return -solution / norms

    names = list(problem.names)
    statistical = {name: float(result.params[name].stderr) for name in names}
    contributions, quantities, notes = {}, {}, []
    for key, size in relative.items():
        entry = uncertainties.entries[key]
        given = ", ".join(e.text() for e in entry) if isinstance(entry, tuple) else entry.text()
        quantities[key] = (QUANTITIES[key][0], given)
        if np.ndim(size):
            # Pulse energies: one derivative per curve; errors given per curve are
            # independent (added in quadrature), one given for all is common to them.
            derivatives = [_residual_derivative(problem, u, key, uncertainties, make_handle,
                                                step, curve=k) for k in range(len(size))]
            if isinstance(entry, tuple):
                shifts = np.sqrt(sum((sensitivity(d) * s) ** 2
                                     for d, s in zip(derivatives, size)))
            else:
                shifts = sensitivity(sum(d * s for d, s in zip(derivatives, size)))
        else:
            derivative = _residual_derivative(problem, u, key, uncertainties, make_handle, step)
            shifts = sensitivity(derivative) * size
        if not np.ndim(size):
            shifts, found = _checked_by_refits(problem, u, key, size, shifts,
                                               [statistical[name] for name in names],
                                               uncertainties, make_handle)
            notes += found
        contributions[key] = {name: float(v) for name, v in zip(names, shifts)}
    values = {name: float(v) for name, v in zip(names, problem.values(u))}
    return ErrorBudget(names, values, statistical, quantities, contributions,
                       METHOD.format(step=step), notes)
