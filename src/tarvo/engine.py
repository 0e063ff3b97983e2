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
CROSS_SECTIONS = _native.CROSS_SECTIONS

# The largest slice counts and radial nodes the exact engine takes (its one
# set of limits, exported by the native core).
MAX_SLICES = _native.MAX_SLICES
MAX_RADIAL_POINTS = _native.MAX_RADIAL_POINTS

# Grid of the established model where the caller sets none (the toolkit's defaults).
ESTABLISHED_DEFAULTS = {"t_slices": 10, "z_slices": 5, "radial_points": 0}

# The grid settings a caller may give, in the order the result records them.
GRID_KEYS = ("t_slices", "z_slices", "radial_points", "intensity_points")

# Largest radial and peak-intensity node counts of the energy model.
MAX_NODES = MAX_RADIAL_POINTS

# The object that provides ExactModel and ENERGY_DEFAULTS: the companion module
# once it carries the exact engine (tests may put a reference in its place).
backend = _native if hasattr(_native, "ExactModel") else None


# Raised when the installed package has no exact engine.
class EngineUnavailable(RuntimeError):
    pass


# The backend, or a clear error when this build has none.
def _require_backend():
    if backend is None:
        raise EngineUnavailable("this build of tarvo has no exact engine (tarvo._native."
                                "ExactModel); use the lsoda engine (--engine lsoda, "
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
    for key in ("t_slices", "z_slices"):
        if settings[key] > MAX_SLICES:
            raise ValueError(f"{key} must be at most {MAX_SLICES}, got {settings[key]}")
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


class ModelHandle:
    """The exact engine's model of one measurement, built once.

    The native problem (grids, incident intensities, radial and
    peak-intensity nodes) is made when the handle is made; `curves` then
    evaluates it for any parameters and focus without rebuilding it (a new
    focus refills the position tables in place, to the same values as a
    model built at the shifted positions).

    Parameters
    ----------
    positions_mm : array_like, shape (num_datasets, num_x_pts)
        Scan positions (mm) of each curve; the model is evaluated at
        ``positions_mm - focus``.
    pulse_energy : array_like, shape (num_datasets,)
        Pulse energy of each curve (J).
    populations : array_like, shape (5,)
        Initial populations of the five levels (cm^-3).
    sample_width, tau, wavelength, w0, M2 : float
        Sample thickness (cm), pulse duration (s), wavelength (m), beam
        waist (m) and beam quality factor.
    t_slices, z_slices, radial_points, intensity_points : int or None
        Grid; None takes the model's defaults.
    model : {"established", "energy"}
        The model variant.
    normalise : bool
        Default of `curves` without a normalisation: shift each curve to its
        baseline (True) or give the raw transmittance (False). Raw energy
        curves may have fewer than five points.
    normalisation : tarvo.Normalisation, optional
        Normalise the raw curves as the data were (the quotient rule for the
        derivatives); overrides `normalise`.
    """

    def __init__(self, positions_mm, pulse_energy, populations, *, sample_width, tau, wavelength,
                 w0, M2, t_slices=None, z_slices=None, radial_points=None, intensity_points=None,
                 model="established", normalise=True, normalisation=None):
        engine = _require_backend()
        check_model(model)
        settings = grid_settings(model, t_slices, z_slices, radial_points, intensity_points)
        # What the handle was built from: a copy (or a pickle) builds it again.
        self._arguments = dict(
            positions_mm=np.array(positions_mm, dtype=np.float64),
            pulse_energy=np.array(pulse_energy, dtype=np.float64),
            populations=np.array(populations, dtype=np.float64), sample_width=sample_width,
            tau=tau, wavelength=wavelength, w0=w0, M2=M2, t_slices=t_slices, z_slices=z_slices,
            radial_points=radial_points, intensity_points=intensity_points, model=model,
            normalise=normalise, normalisation=normalisation)
        x = np.ascontiguousarray(positions_mm, dtype=np.float64)
        energies = np.ascontiguousarray(pulse_energy, dtype=np.float64).ravel()
        if x.ndim != 2 or x.shape[0] != energies.size:
            raise ValueError(f"positions_mm must have shape ({energies.size}, num_x_pts), got "
                             f"{x.shape}")
        if normalisation is not None:
            normalisation.check_points(x.shape[1])
            normalise = False
        least = 5 if normalise or model == "established" else 1
        if x.shape[1] < least:
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
        self.model = model
        self.grid = settings
        self.normalise = bool(normalise)
        self.normalisation = normalisation
        self._populations = pops
        self._sample_width = float(sample_width)
        beam = dict(t_slices=settings["t_slices"], z_slices=settings["z_slices"],
                    sample_width=_positive("sample_width", sample_width, allow_zero=True),
                    tau=_positive("tau", tau), wavelength=_positive("wavelength", wavelength),
                    w0=_positive("w0", w0), M2=_positive("M2", M2), variant=model,
                    radial_points=settings["radial_points"],
                    intensity_points=settings.get("intensity_points", 0))
        if hasattr(engine, "ExactModel"):
            self._native = engine.ExactModel(x, energies, pops, normalise=self.normalise, **beam)
        else:
            self._native = _CallPerEvaluation(engine, x, energies, pops, beam)

    @property
    def shape(self):
        """(num_datasets, num_x_pts) of the curves."""
        return self._native.shape

    def __getstate__(self):
        # The native problem is not pickled: it is built again from its arguments.
        return self._arguments

    def __setstate__(self, arguments):
        self.__init__(**arguments)

    def curves(self, spec_pars, focus=0.0, derivatives=(), normalise=None):
        """Model curves and their derivatives.

        Parameters
        ----------
        spec_pars : array_like, shape (8,)
            The parameters (three cross-sections in cm^2, five time constants in s).
        focus : float
            Focus position (mm) in the coordinates of `positions_mm`.
        derivatives : sequence of int
            Indices of spec_pars (0-7) and FOCUS_SHIFT (8) to differentiate by.
        normalise : bool or None
            Shift each curve to its baseline; None: the handle's default (or
            its normalisation).

        Returns
        -------
        curves : ndarray, shape (num_datasets, num_x_pts)
        jacobian : ndarray, shape (num_datasets, num_x_pts, len(derivatives)), or None
            d curve / d parameter (per mm for the focus shift); None without derivatives.
        """
        p = check_spec_pars(spec_pars)
        derivatives = tuple(int(d) for d in derivatives)
        if any(not 0 <= d <= FOCUS_SHIFT for d in derivatives):
            raise ValueError(f"derivative indices must lie in 0..{FOCUS_SHIFT}, got {derivatives}")
        focus = float(focus)
        if not math.isfinite(focus):
            raise ValueError(f"focus must be a finite number (mm), got {focus!r}")
        if normalise is None and self.normalisation is not None:
            curves, jacobian = self._native.evaluate(p, focus, derivatives, False)
            return self.normalisation.apply(curves, jacobian, derivatives, p, self._populations,
                                            self._sample_width)
        normalise = self.normalise if normalise is None else bool(normalise)
        return self._native.evaluate(p, focus, derivatives, normalise)


# A backend without handles (a reference the tests put in the engine's place):
# its exact_model called for every evaluation, at the shifted positions.
class _CallPerEvaluation:
    def __init__(self, backend, x, energies, populations, beam):
        self.backend, self.x, self.energies, self.populations = backend, x, energies, populations
        self.beam = beam
        self.shape = x.shape

    def evaluate(self, spec_pars, focus, derivatives, normalise):
        extra = {} if normalise else {"normalise": False}
        return self.backend.exact_model(self.x - focus, self.energies, self.populations,
                                        spec_pars, derivatives=derivatives, **self.beam, **extra)


# Curves (num_datasets, num_x_pts) of the exact model and, when derivatives are
# named, their derivatives (num_datasets, num_x_pts, len(derivatives)) with
# respect to spec_pars entries (0-7) or the focus shift (FOCUS_SHIFT): one
# evaluation of a ModelHandle made for the call. `normalisation` (a
# tarvo.normalisation.Normalisation) normalises the absolute curves as the
# data were; None shifts them to a baseline of 1 in the engine, as
# fit_zscan's model does.
def model_and_jacobian(positions_mm, pulse_energy, populations, spec_pars, *, sample_width, tau,
                       wavelength, w0, M2, t_slices=None, z_slices=None, radial_points=None,
                       intensity_points=None, derivatives=(), model="established",
                       normalisation=None):
    handle = ModelHandle(positions_mm, pulse_energy, populations, sample_width=sample_width,
                         tau=tau, wavelength=wavelength, w0=w0, M2=M2, t_slices=t_slices,
                         z_slices=z_slices, radial_points=radial_points,
                         intensity_points=intensity_points, model=model,
                         normalisation=normalisation)
    return handle.curves(spec_pars, derivatives=derivatives)
