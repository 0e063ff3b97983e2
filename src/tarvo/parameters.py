"""The model's parameters and the fit's: the eight parameters (names, units,
meanings), tarvo.Parameters (lmfit's habits: value, vary, min, max, expr),
their resolution for a fit (the expressions themselves are read by
tarvo.constraints), and where the fit puts the focus."""

import math
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from . import _native
from .constraints import Constraints, names_used
from .errors import InputError


# Derivative index of a shift of the focus (model(x - dz0), dz0 in mm).
FOCUS_SHIFT = 8


# One entry of the parameter vector.
@dataclass(frozen=True)
class Parameter:
    name: str
    unit: str
    meaning: str


# The parameter vector `spec_pars`, index 0 to 7. Time constants enter the
# rate equations through their reciprocals.
PARAMETERS = (
    Parameter("sigma_1", "cm^2", "absorption cross-section of level 1 (ground level)"),
    Parameter("sigma_2", "cm^2", "absorption cross-section of level 2"),
    Parameter("sigma_4", "cm^2", "absorption cross-section of level 4"),
    Parameter("tau_21", "s", "time constant of the 2->1 decay"),
    Parameter("tau_24", "s", "time constant of the 2->4 transfer"),
    Parameter("tau_32", "s", "time constant of the 3->2 relaxation"),
    Parameter("tau_41", "s", "time constant of the 4->1 decay"),
    Parameter("tau_54", "s", "time constant of the 5->4 relaxation"),
)

# Parameter names in vector order.
NAMES = tuple(p.name for p in PARAMETERS)

# Number of entries of `spec_pars`, as the native code defines it.
COUNT = _native.PARAMETER_COUNT

if len(PARAMETERS) != COUNT:
    raise ImportError(f"tarvo.parameters names {len(PARAMETERS)} parameters but the native "
                      f"model has {COUNT}")


# 0-based index of a parameter name; ValueError naming the valid names otherwise.
def index_of(name):
    try:
        return NAMES.index(name)
    except ValueError:
        raise InputError(f"unknown parameter {name!r}; the parameters are "
                         + ", ".join(NAMES)) from None


# The energy model's optical parameters (all 0 unless given): two-photon
# absorption and the nonlinear refraction that the closed aperture measures.
OPTICAL_PARAMETERS = (
    Parameter("beta", "m/W", "two-photon absorption coefficient"),
    Parameter("n2", "m^2/W", "nonlinear (Kerr) refractive index"),
    Parameter("eta_2", "cm^2", "refractive cross-section of level 2 (relative to level 1)"),
    Parameter("eta_3", "cm^2", "refractive cross-section of level 3 (relative to level 1)"),
    Parameter("eta_4", "cm^2", "refractive cross-section of level 4 (relative to level 1)"),
    Parameter("eta_5", "cm^2", "refractive cross-section of level 5 (relative to level 1)"),
)
OPTICAL_NAMES = tuple(p.name for p in OPTICAL_PARAMETERS)
# The parameters that are positive: fitted in logarithms, their errors relative.
POSITIVE_NAMES = NAMES + ("beta",)
# Their engine derivative indices follow the focus shift's; the engine
# takes them in cm units: these factors turn the toolkit's units into those.
OPTICS_FIRST = _native.OPTICS_FIRST
OPTICAL_TO_ENGINE = np.array([100.0, 1e4, 1.0, 1.0, 1.0, 1.0])
# Those that may be negative (refraction); beta is >= 0.
SIGNED_NAMES = OPTICAL_NAMES[1:]

if len(OPTICAL_PARAMETERS) != _native.OPTICAL_COUNT:
    raise ImportError("tarvo.parameters names a different number of optical parameters than "
                      "the native model")


# Engine derivative index of a model or optical parameter or the focus.
def engine_index(name):
    if name == FOCUS:
        return FOCUS_SHIFT
    if name in OPTICAL_NAMES:
        return OPTICS_FIRST + OPTICAL_NAMES.index(name)
    return NAMES.index(name)


# Name of the optional focus-position parameter (mm, stage coordinate).
FOCUS = "focus"


# Unit of a parameter by name: "cm^2", "s", "m/W", "m^2/W", "mm" (the focus),
# or "" for derived parameters.
def unit_of(name):
    if name == FOCUS:
        return "mm"
    if name in OPTICAL_NAMES:
        return OPTICAL_PARAMETERS[OPTICAL_NAMES.index(name)].unit
    return PARAMETERS[NAMES.index(name)].unit if name in NAMES else ""


# Every name a fit knows: the eight model parameters, the optical ones, then the focus.
FIT_NAMES = NAMES + OPTICAL_NAMES + (FOCUS,)

# Cross-sections come first in the parameter vector; the rest are time constants.
CROSS_SECTIONS = _native.CROSS_SECTIONS


# One fit parameter, with lmfit's attribute names.
class FitParameter:
    """A fit parameter with lmfit's attribute names.

    Parameters
    ----------
    name : str
        One of the eight model parameters (sigma_1, sigma_2, sigma_4,
        tau_21, tau_24, tau_32, tau_41, tau_54), "focus", or the name of a
        derived parameter (which needs `expr`).
    value : float, optional
        Value (start value when varied); for the focus, None stands for the
        extreme of the data.
    vary : bool
        Whether the fit varies the parameter.
    min, max : float, optional
        Bounds; default 0 (model parameters) or -inf, and inf.
    expr : str, optional
        Expression of the other parameters (lmfit's meaning): the parameter
        follows it and is not varied.

    Attributes
    ----------
    stderr : float or None
        Standard error after a fit.
    correl : dict or None
        Correlations with the other varied parameters after a fit.
    init_value : float or None
        The value the fit started from.
    """

    # A parameter; min/max None mean the defaults (0 for model parameters, -inf for the focus; inf).
    def __init__(self, name, value=None, vary=True, min=None, max=None, expr=None):
        if name not in FIT_NAMES and (not isinstance(name, str) or not name.isidentifier()):
            raise InputError(f"{name!r} cannot name a parameter: the model's parameters are "
                             + ", ".join(FIT_NAMES) + "; others (used in or given by an expr) "
                             "need names of letters, digits and underscores")
        self.name = name
        self.value = None if value is None else float(value)
        self.expr = expr or None
        # As in lmfit, a parameter given by an expression is not varied.
        self.vary = bool(vary) and self.expr is None
        default_min = 0.0 if name in POSITIVE_NAMES else -math.inf
        self.min = default_min if min is None else float(min)
        self.max = math.inf if max is None else float(max)
        self.stderr = None
        self.correl = None
        self.init_value = self.value

    def set(self, value=None, vary=None, min=None, max=None, expr=None):
        """Change any of value, vary, min, max and expr, as lmfit's ``set`` does.

        Parameters
        ----------
        value, vary, min, max : optional
            New settings; None leaves a setting as it is.
        expr : str, optional
            Constraint expression; it stops the parameter varying. An empty
            text removes the constraint.

        Returns
        -------
        FitParameter
            The parameter itself.
        """
        if value is not None:
            self.value = float(value)
        if vary is not None:
            self.vary = bool(vary)
        if min is not None:
            self.min = float(min)
        if max is not None:
            self.max = float(max)
        if expr is not None:
            self.expr = expr or None
            if self.expr is not None:
                self.vary = False
        return self

    @property
    def unit(self):
        """Unit of the parameter: "cm^2", "s", "m/W", "m^2/W", "mm", or "" for derived ones."""
        return unit_of(self.name)

    @property
    def index(self):
        """Index of the engine derivative: 0-7 for spec_pars, 8 for the focus, 9-14 optics."""
        return engine_index(self.name)

    # lmfit-like one-line description.
    def __repr__(self):
        value = "None" if self.value is None else f"{self.value:.6g}"
        error = "" if self.stderr is None else f" +/- {self.stderr:.3g}"
        state = f" == {self.expr!r}" if self.expr else "" if self.vary else " (fixed)"
        return (f"<Parameter {self.name!r}, value={value}{error}{state}, "
                f"bounds=[{self.min:g}:{self.max:g}]>")


# An ordered collection of fit parameters by name, as lmfit.Parameters.
class Parameters(dict):
    """Ordered mapping name -> FitParameter, with lmfit's ``add`` and ``valuesdict``.

    Examples
    --------
    >>> params = Parameters.from_spec_pars(start, vary=["sigma_1"])  # doctest: +SKIP
    >>> params["sigma_4"].set(expr="20*sigma_1")                      # doctest: +SKIP
    >>> params.add("focus", vary=True)                                # doctest: +SKIP
    """

    def add(self, name, value=None, vary=True, min=None, max=None, expr=None):
        """Add (or replace) a parameter; the arguments are those of `FitParameter`.

        Returns
        -------
        FitParameter
            The new parameter.
        """
        self[name] = FitParameter(name, value, vary, min, max, expr)
        return self[name]

    def valuesdict(self):
        """Values by name.

        Returns
        -------
        dict
            name -> value of every parameter.
        """
        return {name: p.value for name, p in self.items()}

    @classmethod
    def from_spec_pars(cls, spec_pars, vary=()):
        """The eight model parameters from a vector or a name -> value mapping.

        Parameters
        ----------
        spec_pars : sequence of float or mapping
            The eight values (cm^2 and s), in the order sigma_1, sigma_2,
            sigma_4, tau_21, tau_24, tau_32, tau_41, tau_54, or by name.
        vary : str or sequence of str
            Names of the fitted parameters; "focus" adds a fitted focus.

        Returns
        -------
        Parameters
        """

        values = parameter_vector(spec_pars)
        vary = _names(vary)
        params = cls()
        for name, value in zip(NAMES, values):
            params.add(name, value, vary=name in vary)
        if FOCUS in vary:
            params.add(FOCUS, None, vary=True)
        return params

    def copy(self):
        """A deep copy (FitParameter objects are mutable).

        Returns
        -------
        Parameters
        """
        copied = Parameters()
        for name, p in self.items():
            q = copied.add(name, p.value, p.vary, p.min, p.max, p.expr)
            q.stderr, q.correl, q.init_value = p.stderr, p.correl, p.init_value
        return copied

    # One line per parameter.
    def __repr__(self):
        return "Parameters(\n" + "".join(f"  {p!r},\n" for p in self.values()) + ")"


# A list of parameter names from a name or a sequence of names, each known.
def _names(vary):
    names = [vary] if isinstance(vary, str) else list(vary or ())
    for name in names:
        if name not in FIT_NAMES:
            raise InputError(f"unknown parameter {name!r}; the parameters are "
                             + ", ".join(FIT_NAMES))
    return names


# The checked parameters of a fit.
class ResolvedParameters:
    """Values of the eight parameters, the optical ones and the focus, and which vary."""

    # From checked values, bounds, the list of varied names and the
    # constraint expressions (a tarvo.constraints.Constraints or None).
    def __init__(self, spec_pars, focus, bounds, varied, constraints=None, extras=None,
                 optics=None):
        self.spec_pars = spec_pars
        # The optical parameters in the toolkit's units (zeros: none).
        self.optics = np.zeros(len(OPTICAL_NAMES)) if optics is None else optics
        self.focus = focus
        self.bounds = bounds
        self.varied = varied
        self.constraints = constraints
        # Values of the parameters outside the model that expressions use.
        self.extras = extras or {}

    # Engine derivative index of every varied parameter.
    @property
    def indices(self):
        return [engine_index(name) if name in FIT_NAMES else None for name in self.varied]


# One attribute of an lmfit-like parameter, or the given default.
def _attribute(parameter, key, default):
    value = getattr(parameter, key, default)
    return default if value is None else value


# A fitted parameter's start value inside its bounds, which must differ (a
# focus without a value is taken from the data later); ValueError otherwise.
def _check_start(name, value, low, high):
    if value is not None and not low <= float(value) <= high:
        raise InputError(f"{name}: start value {float(value)!r} lies outside its bounds "
                         f"[{low!r}, {high!r}]")
    if low == high:
        raise InputError(f"{name}: min and max are equal; fix the parameter instead "
                         "(vary=False)")


# Check the fit's parameters and bring them into one form. `params` is a
# Parameters object (or any mapping name -> object with value, vary, min, max,
# as lmfit's), a mapping name -> value, or a sequence of the eight values; with
# the last two, `vary` names the fitted parameters.
def resolve_parameters(params, vary=None):
    if isinstance(params, dict) and params and all(hasattr(p, "value") for p in params.values()):
        if vary is not None:
            raise InputError("give vary= only with plain values; a Parameters object says "
                             "which parameters vary itself")
        entries = {name: p for name, p in params.items()}
    else:
        entries = Parameters.from_spec_pars(params, vary=vary or ())
    expressions = {name: _attribute(p, "expr", None) for name, p in entries.items()}
    expressions = {name: text for name, text in expressions.items() if text}
    missing = [name for name in NAMES if name not in entries]
    if missing:
        raise InputError("the fit needs the parameters " + ", ".join(NAMES)
                         + " (and optionally focus)" + f"; missing {', '.join(missing)}")
    spec_pars = np.empty(COUNT)
    optics = np.zeros(len(OPTICAL_NAMES))
    bounds, varied = {}, []
    for name in FIT_NAMES:
        if name not in entries:
            continue
        p = entries[name]
        value = _attribute(p, "value", None)
        is_focus = name == FOCUS
        if name in OPTICAL_NAMES:
            value = _optical_entry(name, p, value, expressions, bounds, varied)
            optics[OPTICAL_NAMES.index(name)] = value
            continue
        if name in expressions:
            # Computed from the others below; its bounds are kept for the report.
            bounds[name] = (float(_attribute(p, "min", -math.inf)),
                            float(_attribute(p, "max", math.inf)))
            if not is_focus:
                spec_pars[NAMES.index(name)] = math.nan
            continue
        low = float(_attribute(p, "min", -math.inf if is_focus else 0.0))
        if low == -math.inf and not is_focus:
            # lmfit's default lower bound: here the positivity bound.
            low = 0.0
        high = float(_attribute(p, "max", math.inf))
        fitted = bool(_attribute(p, "vary", False))
        if value is None and not is_focus:
            raise InputError(f"{name} has no value")
        if value is not None and not math.isfinite(float(value)):
            raise InputError(f"{name} must be finite, got {value!r}")
        if math.isnan(low) or math.isnan(high) or low > high:
            raise InputError(f"{name}: min ({low!r}) must not exceed max ({high!r})")
        if not is_focus:
            value = float(value)
            what = "cross-section in cm^2" if NAMES.index(name) < CROSS_SECTIONS \
                else "time constant in s"
            if low < 0.0:
                raise InputError(f"{name}: min must be at least 0 (a {what} is positive), "
                                 f"got {low!r}")
            if NAMES.index(name) >= CROSS_SECTIONS and value <= 0.0:
                raise InputError(f"{name} must be positive (a {what}), got {value!r}")
            if value < 0.0:
                raise InputError(f"{name} must be at least 0 (a {what}), got {value!r}")
            if fitted and value == 0.0:
                raise InputError(f"{name} is fitted and must start above 0 (the fit varies its "
                                 "logarithm)")
            spec_pars[NAMES.index(name)] = value
        if fitted:
            _check_start(name, value, low, high)
        bounds[name] = (low, high)
        if fitted:
            varied.append(name)
    extras = _extra_parameters(entries, expressions, bounds, varied)
    focus = None
    if FOCUS in entries and FOCUS not in expressions:
        value = _attribute(entries[FOCUS], "value", None)
        focus = None if value is None else float(value)
    if not varied:
        raise InputError("no parameter varies: set vary=True for at least one")
    constraints = None
    if expressions:
        constraints = _check_constraints(expressions, entries, spec_pars, focus, extras)
    return ResolvedParameters(spec_pars, focus, bounds, varied, constraints, extras, optics)


# One optical parameter of a fit, checked: its value (nan when an expression
# gives it), its bounds and whether it varies recorded. beta is fitted through
# its logarithm, n2 and the refractive cross-sections relative to their start,
# so a fitted one must start away from 0.
def _optical_entry(name, p, value, expressions, bounds, varied):
    signed = name in SIGNED_NAMES
    low = float(_attribute(p, "min", -math.inf if signed else 0.0))
    if low == -math.inf and not signed:
        low = 0.0
    high = float(_attribute(p, "max", math.inf))
    bounds[name] = (low, high)
    if name in expressions:
        return math.nan
    if value is None or not math.isfinite(float(value)):
        raise InputError(f"{name} must be a finite number, got {value!r}")
    value = float(value)
    if math.isnan(low) or math.isnan(high) or low > high:
        raise InputError(f"{name}: min ({low!r}) must not exceed max ({high!r})")
    if not signed and (low < 0.0 or value < 0.0):
        raise InputError(f"{name} and its min must be at least 0 (two-photon absorption), "
                         f"got {value!r}")
    if bool(_attribute(p, "vary", False)):
        if value == 0.0:
            raise InputError(f"{name} is fitted and must start away from 0 (the fit scales it "
                             "by its start value)")
        _check_start(name, value, low, high)
        varied.append(name)
    return value


# Parameters outside the model without an expr (lmfit's free or fixed
# helper parameters, e.g. a ratio that a constrained cross-section uses):
# their values, with bounds and the varied ones added. Each must be used by
# an expression, else the data cannot tell anything about it (and a typing
# error in a model parameter's name would pass unnoticed).
def _extra_parameters(entries, expressions, bounds, varied):
    used = set()
    for text in expressions.values():
        used.update(names_used(text))
    extras = {}
    for name, p in entries.items():
        if name in FIT_NAMES or name in expressions:
            continue
        if name not in used:
            raise InputError(f"unknown parameter {name!r}: the model's parameters are "
                             + ", ".join(FIT_NAMES) + "; other parameters must be used by an "
                             "expr or be given by one")
        value = _attribute(p, "value", None)
        if value is None or not math.isfinite(float(value)):
            raise InputError(f"{name} needs a finite value, got {value!r}")
        value = float(value)
        low = float(_attribute(p, "min", -math.inf))
        high = float(_attribute(p, "max", math.inf))
        fitted = bool(_attribute(p, "vary", False))
        if math.isnan(low) or math.isnan(high) or low > high:
            raise InputError(f"{name}: min ({low!r}) must not exceed max ({high!r})")
        if fitted:
            _check_start(name, value, low, high)
        bounds[name] = (low, high)
        extras[name] = value
        if fitted:
            varied.append(name)
    return extras


# The constraint expressions, checked: they parse, use known parameters, and
# give model parameters valid values at the start. A constrained focus needs
# a focus value to start from in every parameter it uses.
def _check_constraints(expressions, entries, spec_pars, focus, extras):

    names = list(entries)
    constraints = Constraints(expressions, names)
    start = {name: spec_pars[NAMES.index(name)] for name in NAMES if name not in expressions}
    start.update({name: float(_attribute(entries[name], "value", 0.0)) for name in OPTICAL_NAMES
                  if name in entries and name not in expressions})
    start.update(extras)
    if FOCUS in entries and FOCUS not in expressions:
        start[FOCUS] = focus
    needs_focus = [name for name in constraints.names
                   if FOCUS in constraints.uses(name)] if start.get(FOCUS, 0.0) is None else []
    if needs_focus:
        raise InputError(f"{needs_focus[0]}: expr uses focus, which has no value (give the focus "
                         "a value in mm)")
    values = constraints.evaluate({k: v for k, v in start.items() if v is not None})
    for name in constraints.names:
        if name in NAMES:
            value = values[name]
            what = "a cross-section" if NAMES.index(name) < CROSS_SECTIONS else "a time constant"
            if not value > 0.0:
                raise InputError(f"{name}: expr {expressions[name]!r} gives {value:g} at the "
                                 f"start values; {what} must be positive")
    return constraints


# Position (mm) that fit_zscan subtracts from every scan position: the position
# of the first minimum of all measured values together (first maximum for a
# saturable absorber), searched over all curves at once as the module does.
def scan_centre(x_mm, y, is_sa=False):
    y = np.ravel(np.asarray(y, dtype=np.float64))
    # NaN pads the rows of curves of different lengths.
    index = int(np.nanargmax(y) if is_sa else np.nanargmin(y))
    return float(np.ravel(np.asarray(x_mm, dtype=np.float64))[index])


# The eight parameters as a list of floats, from a sequence or a name -> value mapping.
def parameter_vector(spec_pars):
    if isinstance(spec_pars, Mapping):
        missing = [name for name in NAMES if name not in spec_pars]
        unknown = [name for name in spec_pars if name not in NAMES]
        if missing or unknown:
            raise InputError("spec_pars needs exactly the parameters " + ", ".join(NAMES)
                             + (f"; missing {', '.join(missing)}" if missing else "")
                             + (f"; unknown {', '.join(map(str, unknown))}" if unknown else ""))
        return [float(spec_pars[name]) for name in NAMES]
    values = np.asarray(spec_pars, dtype=np.float64)
    if values.shape != (COUNT,):
        raise InputError(f"spec_pars needs {COUNT} values ({', '.join(NAMES)}), got shape "
                         f"{values.shape}")
    return [float(v) for v in values]
