"""The settings of setup.toml that choose the engine, the model and the fit's
bounds and focus:

    [model]
    variant = "established"       # optional: "energy" (default) or "established"
    radial_points = 24            # optional: radial nodes of the energy model
    intensity_points = 40         # optional: peak intensities the energy model marches

    [fit]
    engine = "lsoda"              # optional: "exact" (default) or "lsoda" (fit_zscan)
    weights = "established"       # optional: 1/sigma^2 with a sigma column, else equal
                                  # (default), or "established" (fit_zscan's)
    force = true                  # optional: fit even when the input looks like a unit mistake
    fit_focus = true              # optional: fit the focus position too (exact engine)
    focus_mm = 0.4                # optional: focus position in mm (start value if fitted;
                                  # default: the extreme of the data, as fit_zscan centres)

    [bounds]                      # optional, exact engine: name = [min, max]
    sigma_4 = [0.0, 1e-15]
    focus = [-2.0, 2.0]           # mm
"""

import math
from dataclasses import dataclass, field

from .engine import ENGINES, MAX_NODES, MODELS
from .errors import InputError
from .fit_parameters import FIT_NAMES, FOCUS

# Keys these settings add to the tables of setup.toml (the [bounds] table is new).
MODEL_KEYS = ("variant", "radial_points", "intensity_points")
FIT_KEYS = ("engine", "fit_focus", "focus_mm", "weights", "force")

# The weights a fit may choose besides the default (1/sigma^2 with a sigma column, else equal).
WEIGHTS = ("equal", "established")
BOUNDS_TABLE = "bounds"


# Engine, model, bounds and focus settings of a measurement directory.
@dataclass(frozen=True)
class FitOptions:
    model: str = None
    radial_points: int = None
    intensity_points: int = None
    engine: str = None
    fit_focus: bool = False
    focus_mm: float = None
    bounds: dict = field(default_factory=dict)
    weights: str = None
    force: bool = False

    # Whether any setting applies only to the exact engine.
    @property
    def exact_only(self):
        return bool(self.bounds) or self.fit_focus or self.focus_mm is not None


# A choice among `allowed` from table[key], or None when absent.
def _choice(table, key, allowed, where):
    value = table.get(key)
    if value is not None and value not in allowed:
        raise InputError(f"{where}: {key} must be one of {', '.join(map(repr, allowed))}, "
                          f"got {value!r}")
    return value


# A finite real number (TOML integer or float).
def _is_number(value):
    return not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)


# The [min, max] pairs of the [bounds] table.
def _bounds(table, where):
    bounds = {}
    for name, pair in table.items():
        if name not in FIT_NAMES:
            raise InputError(f"{where} [bounds]: unknown parameter {name!r}; the parameters are "
                              + ", ".join(FIT_NAMES))
        if (not isinstance(pair, list) or len(pair) != 2
                or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                           for v in pair)):
            raise InputError(f"{where} [bounds]: {name} must be [min, max], got {pair!r}")
        low, high = float(pair[0]), float(pair[1])
        if math.isnan(low) or math.isnan(high) or low >= high:
            raise InputError(f"{where} [bounds]: {name} needs min < max, got {pair!r}")
        if name != FOCUS and low < 0.0:
            raise InputError(f"{where} [bounds]: {name} min must be at least 0 (cross-sections "
                              f"and time constants are positive), got {pair[0]!r}")
        bounds[name] = (low, high)
    return bounds


# The settings from the parsed setup.toml (its tables already checked for unknown keys).
def read_fit_options(doc, where):
    model = doc.get("model") or {}
    fit = doc.get("fit") or {}
    nodes = {}
    for key in ("radial_points", "intensity_points"):
        value = model.get(key)
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                                  or not 1 <= value <= MAX_NODES):
            raise InputError(f"{where} [model]: {key} must be an integer from 1 to {MAX_NODES}, "
                             f"got {value!r}")
        nodes[key] = value
    flags = {}
    for key in ("fit_focus", "force"):
        flags[key] = fit.get(key, False)
        if not isinstance(flags[key], bool):
            raise InputError(f"{where} [fit]: {key} must be true or false, got {flags[key]!r}")
    focus_mm = fit.get("focus_mm")
    if focus_mm is not None and not _is_number(focus_mm):
        raise InputError(f"{where} [fit]: focus_mm must be a finite number (mm), got "
                          f"{focus_mm!r}")
    bounds_table = doc.get(BOUNDS_TABLE, {})
    if not isinstance(bounds_table, dict):
        raise InputError(f"{where}: [bounds] must be a table")
    return FitOptions(
        model=_choice(model, "variant", MODELS, f"{where} [model]"),
        radial_points=nodes["radial_points"],
        intensity_points=nodes["intensity_points"],
        engine=_choice(fit, "engine", ENGINES, f"{where} [fit]"),
        fit_focus=flags["fit_focus"],
        weights=_choice(fit, "weights", WEIGHTS, f"{where} [fit]"),
        force=flags["force"],
        focus_mm=None if focus_mm is None else float(focus_mm),
        bounds=_bounds(bounds_table, where),
    )


# The model a fit or simulation runs: the command line's choice, else [model]
# variant, else the energy model; the established model needs the slice
# counts in [model].
def resolve_model(chosen, options, setup, directory):
    model = chosen or options.model or MODELS[0]
    if model == "established":
        for key in ("t_slices", "z_slices"):
            if getattr(setup, key) is None:
                raise InputError(f"{directory / 'setup.toml'} [model]: missing {key} (the "
                                 "established model needs it; the energy model has defaults)")
    return model
