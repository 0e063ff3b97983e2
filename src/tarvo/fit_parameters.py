"""Fit parameters in lmfit's style: name, value, vary, min, max (and stderr after a fit).

    params = tarvo.Parameters.from_spec_pars(start, vary=["sigma_2", "sigma_4"])
    params["sigma_4"].set(max=1e-15)
    params.add("focus", vary=True)          # fit the focus position too (mm)

The eight model parameters are positive physical quantities: their lower
bound defaults to 0 (also where an lmfit parameter says -inf) and may not be
negative; the fit works with their
logarithms, so it never tries a negative cross-section or time constant. The
optional parameter "focus" is the scan position of the beam focus in mm (the
stage coordinate of the measurement); its default value, None, stands for the
point where fit_zscan centres the scan (the extreme of the data).
"""

import math

import numpy as np

from .engine import FOCUS_SHIFT
from .parameters import COUNT, NAMES, PARAMETERS

# Name of the optional focus-position parameter (mm, stage coordinate).
FOCUS = "focus"

# Every name a fit knows: the eight model parameters, then the focus.
FIT_NAMES = NAMES + (FOCUS,)

# Cross-sections come first in the parameter vector; the rest are time constants.
CROSS_SECTIONS = 3


# One fit parameter, with lmfit's attribute names.
class FitParameter:
    """A fit parameter: value, vary, min, max; stderr and correl after a fit."""

    # A parameter; min/max None mean the defaults (0 for model parameters, -inf for the focus; inf).
    def __init__(self, name, value=None, vary=True, min=None, max=None):
        if name not in FIT_NAMES:
            raise ValueError(f"unknown parameter {name!r}; the parameters are "
                             + ", ".join(FIT_NAMES))
        self.name = name
        self.value = None if value is None else float(value)
        self.vary = bool(vary)
        self.min = (0.0 if name != FOCUS else -math.inf) if min is None else float(min)
        self.max = math.inf if max is None else float(max)
        self.stderr = None
        self.correl = None
        self.init_value = self.value

    # Change any of value, vary, min, max (None leaves it as it is), as lmfit's set does.
    def set(self, value=None, vary=None, min=None, max=None):
        if value is not None:
            self.value = float(value)
        if vary is not None:
            self.vary = bool(vary)
        if min is not None:
            self.min = float(min)
        if max is not None:
            self.max = float(max)
        return self

    # Unit of the parameter.
    @property
    def unit(self):
        return "mm" if self.name == FOCUS else PARAMETERS[NAMES.index(self.name)].unit

    # Index of the engine derivative: 0-7 for spec_pars, FOCUS_SHIFT for the focus.
    @property
    def index(self):
        return FOCUS_SHIFT if self.name == FOCUS else NAMES.index(self.name)

    # lmfit-like one-line description.
    def __repr__(self):
        value = "None" if self.value is None else f"{self.value:.6g}"
        error = "" if self.stderr is None else f" +/- {self.stderr:.3g}"
        state = "" if self.vary else " (fixed)"
        return (f"<Parameter {self.name!r}, value={value}{error}{state}, "
                f"bounds=[{self.min:g}:{self.max:g}]>")


# An ordered collection of fit parameters by name, as lmfit.Parameters.
class Parameters(dict):
    """Ordered mapping name -> FitParameter, with lmfit's add and valuesdict."""

    # Add (or replace) a parameter.
    def add(self, name, value=None, vary=True, min=None, max=None):
        self[name] = FitParameter(name, value, vary, min, max)
        return self[name]

    # Values by name.
    def valuesdict(self):
        return {name: p.value for name, p in self.items()}

    # The eight parameters from a vector or a name -> value mapping; `vary` names the fitted ones.
    @classmethod
    def from_spec_pars(cls, spec_pars, vary=()):
        from .simulation import parameter_vector

        values = parameter_vector(spec_pars)
        vary = _names(vary)
        params = cls()
        for name, value in zip(NAMES, values):
            params.add(name, value, vary=name in vary)
        if FOCUS in vary:
            params.add(FOCUS, None, vary=True)
        return params

    # A deep copy (FitParameter objects are mutable).
    def copy(self):
        copied = Parameters()
        for name, p in self.items():
            q = copied.add(name, p.value, p.vary, p.min, p.max)
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
            raise ValueError(f"unknown parameter {name!r}; the parameters are "
                             + ", ".join(FIT_NAMES))
    return names


# The checked parameters of a fit.
class ResolvedParameters:
    """Values of the eight parameters and the focus, and which of them vary."""

    # From checked values, bounds and the list of varied names.
    def __init__(self, spec_pars, focus, bounds, varied):
        self.spec_pars = spec_pars
        self.focus = focus
        self.bounds = bounds
        self.varied = varied

    # Engine derivative index of every varied parameter.
    @property
    def indices(self):
        return [FOCUS_SHIFT if name == FOCUS else NAMES.index(name) for name in self.varied]


# One attribute of an lmfit-like parameter, or the given default.
def _attribute(parameter, key, default):
    value = getattr(parameter, key, default)
    return default if value is None else value


# Check the fit's parameters and bring them into one form. `params` is a
# Parameters object (or any mapping name -> object with value, vary, min, max,
# as lmfit's), a mapping name -> value, or a sequence of the eight values; with
# the last two, `vary` names the fitted parameters.
def resolve_parameters(params, vary=None):
    if isinstance(params, dict) and params and all(hasattr(p, "value") for p in params.values()):
        if vary is not None:
            raise ValueError("give vary= only with plain values; a Parameters object says "
                             "which parameters vary itself")
        entries = {name: p for name, p in params.items()}
    else:
        entries = Parameters.from_spec_pars(params, vary=vary or ())
    unknown = [name for name in entries if name not in FIT_NAMES]
    missing = [name for name in NAMES if name not in entries]
    if unknown or missing:
        raise ValueError("the fit needs the parameters " + ", ".join(NAMES)
                         + " (and optionally focus)"
                         + (f"; missing {', '.join(missing)}" if missing else "")
                         + (f"; unknown {', '.join(map(repr, unknown))}" if unknown else ""))
    spec_pars = np.empty(COUNT)
    bounds, varied = {}, []
    for name in FIT_NAMES:
        if name not in entries:
            continue
        p = entries[name]
        value = _attribute(p, "value", None)
        is_focus = name == FOCUS
        low = float(_attribute(p, "min", -math.inf if is_focus else 0.0))
        if low == -math.inf and not is_focus:
            # lmfit's default lower bound: here the positivity bound.
            low = 0.0
        high = float(_attribute(p, "max", math.inf))
        fitted = bool(_attribute(p, "vary", False))
        if value is None and not is_focus:
            raise ValueError(f"{name} has no value")
        if value is not None and not math.isfinite(float(value)):
            raise ValueError(f"{name} must be finite, got {value!r}")
        if math.isnan(low) or math.isnan(high) or low > high:
            raise ValueError(f"{name}: min ({low!r}) must not exceed max ({high!r})")
        if not is_focus:
            value = float(value)
            what = "cross-section in cm^2" if NAMES.index(name) < CROSS_SECTIONS \
                else "time constant in s"
            if low < 0.0:
                raise ValueError(f"{name}: min must be at least 0 (a {what} is positive), "
                                 f"got {low!r}")
            if NAMES.index(name) >= CROSS_SECTIONS and value <= 0.0:
                raise ValueError(f"{name} must be positive (a {what}), got {value!r}")
            if value < 0.0:
                raise ValueError(f"{name} must be at least 0 (a {what}), got {value!r}")
            if fitted and value == 0.0:
                raise ValueError(f"{name} is fitted and must start above 0 (the fit varies its "
                                 "logarithm)")
            spec_pars[NAMES.index(name)] = value
        if fitted and value is not None and not low <= float(value) <= high:
            raise ValueError(f"{name}: start value {float(value)!r} lies outside its bounds "
                             f"[{low!r}, {high!r}]")
        if fitted and low == high:
            raise ValueError(f"{name}: min and max are equal; fix the parameter instead "
                             "(vary=False)")
        bounds[name] = (low, high)
        if fitted:
            varied.append(name)
    focus = None
    if FOCUS in entries:
        value = _attribute(entries[FOCUS], "value", None)
        focus = None if value is None else float(value)
    if not varied:
        raise ValueError("no parameter varies: set vary=True for at least one")
    return ResolvedParameters(spec_pars, focus, bounds, varied)
