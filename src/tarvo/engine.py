"""The exact engine: model curves and their derivatives without an ODE solver.

Within one time slice the intensity acting on a depth slice is constant, so the
five rate equations are linear with constant coefficients and the populations
after the step are exactly exp(A dt) N; within one depth slice the populations
are held, so the intensity step is exactly I exp(-alpha dz). The compiled
companion module computes the discretised model that way, to rounding error,
together with the exact derivatives of the curves. Everything in the toolkit
that needs the exact model calls `model_and_jacobian` here, so that the
engine is reached in one place.

Two models share the engine:
- "established": the pulse, grids, on-axis ratio and baseline shift of
  fit_zscan's model, so that results stay comparable with it;
- "energy": a pulse normalised to its energy, a time window that holds the
  whole pulse, a sample of exactly its thickness, and the ratio of transmitted
  to incident pulse energy over the beam cross-section (what an open-aperture
  detector measures).
"""

import math

import numpy as np

from . import _native
from .parameters import NAMES

# The model variants, the default first.
MODELS = ("energy", "established")

# The engines: the exact propagator, or fit_zscan's LSODA model.
ENGINES = ("exact", "lsoda")

# Derivative index of a shift of the focus (model(x - dz0), dz0 in mm).
FOCUS_SHIFT = 8

# Levels of the model, hence entries of `populations`.
LEVELS = _native.LEVELS

# Entries of `spec_pars`; the first three are cross-sections, the rest time constants.
PARAMETER_COUNT = _native.PARAMETER_COUNT
CROSS_SECTIONS = 3

# Grid of the established model where the caller sets none (the toolkit's defaults).
ESTABLISHED_DEFAULTS = {"t_slices": 10, "z_slices": 5, "radial_points": 0}

# The grid settings a caller may give, in the order the result records them.
GRID_KEYS = ("t_slices", "z_slices", "radial_points", "intensity_points")

# Largest radial and peak-intensity node counts of the energy model.
MAX_NODES = 64

# The object that provides exact_model and ENERGY_DEFAULTS: the companion module
# once it carries the exact engine (tests may put a reference in its place).
backend = _native if hasattr(_native, "exact_model") else None


# Raised when the installed package has no exact engine.
class EngineUnavailable(RuntimeError):
    pass


# The backend, or a clear error when this build has none.
def _require_backend():
    if backend is None:
        raise EngineUnavailable("this build of tarvo has no exact engine (tarvo._native."
                                "exact_model); use the lsoda engine (--engine lsoda, "
                                "engine=\"lsoda\") or rebuild the package")
    return backend


# A model name checked against MODELS.
def check_model(model):
    if model not in MODELS:
        raise ValueError(f"model must be one of {', '.join(map(repr, MODELS))}, got {model!r}")
    return model


# An engine name checked against ENGINES.
def check_engine(engine):
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(map(repr, ENGINES))}, got {engine!r}")
    return engine


# Default grid settings of a model (the energy model's are raised for thick
# or strongly saturated samples by tarvo.resolution).
def model_defaults(model):
    check_model(model)
    if model == "established":
        return dict(ESTABLISHED_DEFAULTS)
    return {key: _require_backend().ENERGY_DEFAULTS[key] for key in GRID_KEYS}


# The default grid of a fit or simulation of `model` at the parameters
# spec_pars, for the set-up (a dict of populations, sample_width, tau,
# wavelength, w0, M2) and pulse energies: the energy model resolves thick and
# strongly saturated samples more finely.
def grid_defaults(model, spec_pars, setup, energies):
    return model_defaults(model)


# Grid settings of a model: the given ones, `defaults` (else the model's
# defaults) for those left as None; each checked against its range.
def grid_settings(model, t_slices=None, z_slices=None, radial_points=None,
                  intensity_points=None, defaults=None):
    defaults = model_defaults(model) if defaults is None else defaults
    given = dict(t_slices=t_slices, z_slices=z_slices, radial_points=radial_points,
                 intensity_points=intensity_points)
    if model == "established":
        for key in ("radial_points", "intensity_points"):
            if given[key] not in (None, 0):
                raise ValueError(f"{key} applies to the energy model only")
        given.pop("intensity_points")
    settings = {}
    for key, value in given.items():
        value = defaults[key] if value is None else value
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise ValueError(f"{key} must be an integer, got {value!r}")
        settings[key] = int(value)
    least_z = 1 if model == "energy" else 2
    if settings["t_slices"] < 2 or settings["z_slices"] < least_z:
        raise ValueError(f"t_slices must be at least 2 and z_slices at least {least_z}, got "
                         f"{settings['t_slices']} and {settings['z_slices']}")
    if model == "energy":
        for key in ("radial_points", "intensity_points"):
            if not 1 <= settings[key] <= MAX_NODES:
                raise ValueError(f"{key} must lie between 1 and {MAX_NODES}, got {settings[key]}")
    return settings


# A positive finite number, or ValueError naming it.
def _positive(name, value, allow_zero=False):
    value = float(value)
    if not math.isfinite(value) or value < 0.0 or (value == 0.0 and not allow_zero):
        bound = "at least 0" if allow_zero else "positive"
        raise ValueError(f"{name} must be a finite number {bound}, got {value!r}")
    return value


# The eight parameters as float64, checked: cross-sections finite and at least
# 0, time constants finite and positive.
def check_spec_pars(spec_pars):
    p = np.array(spec_pars, dtype=np.float64).ravel()
    if p.size != PARAMETER_COUNT:
        raise ValueError(f"spec_pars needs {PARAMETER_COUNT} values, got {p.size}")
    for i, name in enumerate(NAMES):
        value = float(p[i])
        if not math.isfinite(value):
            raise ValueError(f"{name} must be finite, got {value!r}")
        if i >= CROSS_SECTIONS and value <= 0.0:
            raise ValueError(f"{name} must be positive (a time constant in s), got {value!r}")
        if i < CROSS_SECTIONS and value < 0.0:
            raise ValueError(f"{name} must be at least 0 (a cross-section in cm^2), got {value!r}")
    return p


# Curves (num_datasets, num_x_pts) of the exact model and, when derivatives are
# named, their derivatives (num_datasets, num_x_pts, len(derivatives)) with
# respect to spec_pars entries (0-7) or the focus shift (FOCUS_SHIFT).
# `normalisation` (a tarvo.normalisation.Normalisation) normalises the
# absolute curves as the data were; None shifts them to a baseline of 1 in
# the engine, as fit_zscan's model does.
def model_and_jacobian(positions_mm, pulse_energy, populations, spec_pars, *, sample_width, tau,
                       wavelength, w0, M2, t_slices=None, z_slices=None, radial_points=None,
                       intensity_points=None, derivatives=(), model="established",
                       normalisation=None):
    engine = _require_backend()
    check_model(model)
    settings = grid_settings(model, t_slices, z_slices, radial_points, intensity_points)
    x = np.ascontiguousarray(positions_mm, dtype=np.float64)
    energies = np.ascontiguousarray(pulse_energy, dtype=np.float64).ravel()
    if x.ndim != 2 or x.shape[0] != energies.size:
        raise ValueError(f"positions_mm must have shape ({energies.size}, num_x_pts), got "
                         f"{x.shape}")
    if x.shape[1] < 5:
        raise ValueError(f"a curve needs at least 5 points (the model normalises by the five "
                         f"outermost on each side), got {x.shape[1]}")
    if not np.all(np.isfinite(x)):
        raise ValueError("positions_mm must be finite")
    for k, energy in enumerate(energies):
        _positive(f"pulse_energy[{k}]", energy)
    pops = np.ascontiguousarray(populations, dtype=np.float64).ravel()
    if pops.size != LEVELS or not np.all(np.isfinite(pops)) or np.any(pops < 0.0):
        raise ValueError(f"populations must be {LEVELS} finite numbers of at least 0, got "
                         f"{populations!r}")
    p = check_spec_pars(spec_pars)
    derivatives = tuple(int(d) for d in derivatives)
    if any(not 0 <= d <= FOCUS_SHIFT for d in derivatives):
        raise ValueError(f"derivative indices must lie in 0..{FOCUS_SHIFT}, got {derivatives}")
    curves, jacobian = engine.exact_model(
        x, energies, pops, p, t_slices=settings["t_slices"], z_slices=settings["z_slices"],
        sample_width=_positive("sample_width", sample_width, allow_zero=True),
        tau=_positive("tau", tau), wavelength=_positive("wavelength", wavelength),
        w0=_positive("w0", w0), M2=_positive("M2", M2), derivatives=derivatives, variant=model,
        radial_points=settings["radial_points"], normalise=normalisation is None,
        intensity_points=settings.get("intensity_points", 0))
    curves = np.asarray(curves, dtype=np.float64)
    if jacobian is not None:
        jacobian = np.asarray(jacobian, dtype=np.float64)
    if normalisation is not None:
        normalisation.check_points(x.shape[1])
        curves, jacobian = normalisation.apply(curves, jacobian, derivatives, p, pops,
                                               float(sample_width))
    return curves, jacobian
