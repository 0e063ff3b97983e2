"""The settings of setup.toml that choose the engine, the model and the fit's
bounds and focus:

    [model]
    variant = "energy"            # optional: "established" (default) or "energy"
    radial_points = 8             # optional: radial nodes of the energy model

    [fit]
    engine = "lsoda"              # optional: "exact" (default) or "lsoda" (fit_zscan)
    fit_focus = true              # optional: fit the focus position too (exact engine)
    focus_mm = 0.4                # optional: focus position in mm (start value if fitted;
                                  # default: the extreme of the data, as fit_zscan centres)

    [bounds]                      # optional, exact engine: name = [min, max]
    sigma_4 = [0.0, 1e-15]
    focus = [-2.0, 2.0]           # mm
"""

import math
from dataclasses import dataclass, field

from .counts import check_count
from .engine import ENGINES, MODELS
from .errors import InputError
from .fit_parameters import FIT_NAMES, FOCUS

# Keys these settings add to the tables of setup.toml (the [bounds] table is new).
MODEL_KEYS = ("variant", "radial_points")
FIT_KEYS = ("engine", "fit_focus", "focus_mm")
BOUNDS_TABLE = "bounds"


# Engine, model, bounds and focus settings of a measurement directory.
@dataclass(frozen=True)
class FitOptions:
    model: str = None
    radial_points: int = None
    engine: str = None
    fit_focus: bool = False
    focus_mm: float = None
    bounds: dict = field(default_factory=dict)

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
    radial_points = model.get("radial_points")
    if radial_points is not None:
        radial_points = check_count("radial_points", radial_points,
                                    f"{where} [model]: radial_points")
    fit_focus = fit.get("fit_focus", False)
    if not isinstance(fit_focus, bool):
        raise InputError(f"{where} [fit]: fit_focus must be true or false, got {fit_focus!r}")
    focus_mm = fit.get("focus_mm")
    if focus_mm is not None and not _is_number(focus_mm):
        raise InputError(f"{where} [fit]: focus_mm must be a finite number (mm), got "
                          f"{focus_mm!r}")
    bounds_table = doc.get(BOUNDS_TABLE, {})
    if not isinstance(bounds_table, dict):
        raise InputError(f"{where}: [bounds] must be a table")
    return FitOptions(
        model=_choice(model, "variant", MODELS, f"{where} [model]"),
        radial_points=radial_points,
        engine=_choice(fit, "engine", ENGINES, f"{where} [fit]"),
        fit_focus=fit_focus,
        focus_mm=None if focus_mm is None else float(focus_mm),
        bounds=_bounds(bounds_table, where),
    )


# The model a fit or simulation runs: the command line's choice, else [model]
# variant, else the established model, which needs the slice counts in [model].
def resolve_model(chosen, options, setup, directory):
    model = chosen or options.model or MODELS[0]
    if model == "established":
        for key in ("t_slices", "z_slices"):
            if getattr(setup, key) is None:
                raise InputError(f"{directory / 'setup.toml'} [model]: missing {key} (the "
                                 "established model needs it; the energy model has defaults)")
    return model
