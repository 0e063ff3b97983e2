"""The engines behind one handle: the exact engine (tarvo._native.ExactModel,
built once per fit, evaluated for new parameters) and its model settings and
grid defaults (the energy model's chosen by the resolution rule)."""

import math

import numpy as np

from . import _native
from .counts import check_count
from .errors import InputError
from .parameters import (COUNT as PARAMETER_COUNT, CROSS_SECTIONS, FOCUS_SHIFT, NAMES,
                         OPTICAL_NAMES, OPTICAL_TO_ENGINE, OPTICS_FIRST)


# The model variants, the default first.
MODELS = ("energy", "established")

# The engines: the exact propagator, or fit_zscan's LSODA model.
ENGINES = ("exact", "lsoda")


# Levels of the model, hence entries of `populations`.
LEVELS = _native.LEVELS


# The most radial nodes the exact engine takes (exported by the native core).
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
        raise InputError(f"model must be one of {', '.join(map(repr, MODELS))}, got {model!r}")
    return model


# An engine name checked against ENGINES.
def check_engine(engine):
    if engine not in ENGINES:
        raise InputError(f"engine must be one of {', '.join(map(repr, ENGINES))}, got {engine!r}")
    return engine


# Default grid settings of a model (the energy model's are raised for thick
# or strongly saturated samples by tarvo.engine).
def model_defaults(model):
    check_model(model)
    if model == "established":
        return dict(ESTABLISHED_DEFAULTS)
    return {key: _require_backend().ENERGY_DEFAULTS[key] for key in GRID_KEYS}


# The default grid of a fit or simulation of `model` at the parameters
# spec_pars, for the set-up (a tarvo.Setup) and pulse energies: the energy
# model resolves thick and strongly saturated samples more finely.
def grid_defaults(model, spec_pars, setup, energies):
    if model != "energy":
        return model_defaults(model)

    try:
        return energy_resolution(spec_pars, setup.population_array, setup.sample_width,
                                 energies, setup.w0, setup.M2, setup.wavelength, setup.tau)
    except ValueError:
        # Values the rule cannot judge are refused by the model's own checks.
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
                raise InputError(f"{key} applies to the energy model only")
        given.pop("intensity_points")
    settings = {}
    for key, value in given.items():
        value = defaults[key] if value is None else value
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise InputError(f"{key} must be an integer, got {value!r}")
        settings[key] = int(value)
    least_z = 1 if model == "energy" else 2
    if settings["t_slices"] < 2 or settings["z_slices"] < least_z:
        raise InputError(f"t_slices must be at least 2 and z_slices at least {least_z}, got "
                         f"{settings['t_slices']} and {settings['z_slices']}")
    for key in ("t_slices", "z_slices"):
        check_count(key, settings[key])
    if model == "energy":
        for key in ("radial_points", "intensity_points"):
            if not 1 <= settings[key] <= MAX_NODES:
                raise InputError(f"{key} must lie between 1 and {MAX_NODES}, got {settings[key]}")
    return settings


# A positive finite number, or ValueError naming it.
def _positive(name, value, allow_zero=False):
    value = float(value)
    if not math.isfinite(value) or value < 0.0 or (value == 0.0 and not allow_zero):
        bound = "at least 0" if allow_zero else "positive"
        raise InputError(f"{name} must be a finite number {bound}, got {value!r}")
    return value


# The eight parameters as float64, checked: cross-sections finite and at least
# 0, time constants finite and positive.
def check_spec_pars(spec_pars):
    p = np.array(spec_pars, dtype=np.float64).ravel()
    if p.size != PARAMETER_COUNT:
        raise InputError(f"spec_pars needs {PARAMETER_COUNT} values, got {p.size}")
    for i, name in enumerate(NAMES):
        value = float(p[i])
        if not math.isfinite(value):
            raise InputError(f"{name} must be finite, got {value!r}")
        if i >= CROSS_SECTIONS and value <= 0.0:
            raise InputError(f"{name} must be positive (a time constant in s), got {value!r}")
        if i < CROSS_SECTIONS and value < 0.0:
            raise InputError(f"{name} must be at least 0 (a cross-section in cm^2), got {value!r}")
    return p


# Whether each point of rows padded to `points` is one of its curve's own (curves, points).
def point_mask(counts, points):
    return np.arange(points)[None, :] < np.asarray(counts)[:, None]


# Curves of different lengths given as one sequence of rows per curve: the
# rows as float arrays, or None when `values` is rectangular (an array).
def ragged_rows(name, values):
    try:
        np.array(values, dtype=np.float64)
        return None
    except (TypeError, ValueError):
        pass
    try:
        rows = [np.array(row, dtype=np.float64) for row in values]
    except (TypeError, ValueError):
        raise InputError(f"{name} must be numbers, one row (sequence) per curve") from None
    if any(row.ndim != 1 for row in rows):
        raise InputError(f"{name}: each curve must be a sequence of numbers")
    return rows


# Curves of different lengths in rows padded to the longest: each row ends
# with copies of its curve's last value (the model is evaluated there and
# weighted 0), its points in `counts`.
def padded_rows(name, rows, counts):
    if any(row.size == 0 for row in rows):
        raise InputError(f"{name}: curve {[row.size for row in rows].index(0)} has no points")
    if [row.size for row in rows] != list(counts):
        raise InputError(f"{name} must have the points of each curve of transmittance "
                         f"({', '.join(map(str, counts))}), got "
                         f"{', '.join(str(row.size) for row in rows)}")
    padded = np.empty((len(rows), max(counts)))
    for k, row in enumerate(rows):
        padded[k, :row.size] = row
        padded[k, row.size:] = row[-1]
    return padded


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
    setup : tarvo.Setup
        Beam, pulse and sample (populations in cm^-3, sample width in cm,
        the rest in SI units), and its time and depth slices.
    t_slices, z_slices, radial_points, intensity_points : int or None
        Grid; None takes the set-up's slices, else the model's defaults.
    model : {"established", "energy"}
        The model variant.
    normalise : bool
        Default of `curves` without a normalisation: shift each curve to its
        baseline (True) or give the raw transmittance (False). Raw energy
        curves may have fewer than five points.
    normalisation : tarvo.Normalisation, optional
        Normalise the raw curves as the data were (the quotient rule for the
        derivatives); overrides `normalise`.
    counts : array_like of int, optional
        With a normalisation: the points of each curve where curves differ
        in length (each row padded at its end); the far field of a curve is
        taken from its own points. None: every row is a whole curve.
    aperture : sequence of float, optional
        Energy model: per curve the linear transmittance S of a far-field
        aperture (1: open; None: all open).
    divided : sequence of bool, optional
        Per curve whether it is a closed curve divided by the open one at the
        same energy, position by position (the model divides the same way).
    """

    def __init__(self, positions_mm, pulse_energy, setup, *, t_slices=None, z_slices=None,
                 radial_points=None, intensity_points=None, model="established", normalise=True,
                 normalisation=None, counts=None, aperture=None, divided=None):
        engine = _require_backend()
        check_model(model)
        t_slices, z_slices = setup.slices(t_slices, z_slices)
        settings = grid_settings(model, t_slices, z_slices, radial_points, intensity_points)
        # What the handle was built from: a copy (or a pickle) builds it again.
        self._arguments = dict(
            positions_mm=np.array(positions_mm, dtype=np.float64),
            pulse_energy=np.array(pulse_energy, dtype=np.float64), setup=setup,
            t_slices=t_slices, z_slices=z_slices, radial_points=radial_points,
            intensity_points=intensity_points, model=model, normalise=normalise,
            normalisation=normalisation, counts=counts, aperture=aperture, divided=divided)
        x = np.ascontiguousarray(positions_mm, dtype=np.float64)
        energies = np.ascontiguousarray(pulse_energy, dtype=np.float64).ravel()
        if x.ndim != 2 or x.shape[0] != energies.size:
            raise InputError(f"positions_mm must have shape ({energies.size}, num_x_pts), got "
                             f"{x.shape}")
        if counts is not None:
            counts = np.array(counts, dtype=np.intp).ravel()
            if (normalisation is None or counts.size != energies.size
                    or np.any(counts < 1) or np.any(counts > x.shape[1])):
                raise InputError(f"counts must give the points of each of the {energies.size} "
                                 f"curves (1 to {x.shape[1]}) and come with a normalisation")
        self.counts = counts
        if normalisation is not None:
            normalisation.check_points(x.shape[1] if counts is None else int(counts.min()))
            normalise = False
        least = 5 if normalise or model == "established" else 1
        if x.shape[1] < least:
            raise InputError(f"a curve needs at least 5 points (the model normalises by the five "
                             f"outermost on each side), got {x.shape[1]}")
        if not np.all(np.isfinite(x)):
            raise InputError("positions_mm must be finite")
        for k, energy in enumerate(energies):
            _positive(f"pulse_energy[{k}]", energy)
        pops, beam = native_beam(setup, settings, model)
        self.model = model
        self.grid = settings
        self.normalise = bool(normalise)
        self.normalisation = normalisation
        self._populations = pops
        self._sample_width = beam["sample_width"]
        # Closed curves divided by the open one: the native model carries an
        # open companion of each at the end.
        self._curves = x.shape[0]
        self._divided = [] if divided is None else [k for k, d in enumerate(divided) if d]
        if aperture is not None:
            aperture = [float(a) for a in aperture]
            if len(aperture) != x.shape[0]:
                raise InputError(f"aperture needs one value per curve ({x.shape[0]}), got "
                                 f"{len(aperture)}")
            if self._divided:
                x = np.concatenate([x, x[self._divided]])
                energies = np.concatenate([energies, energies[self._divided]])
                aperture = aperture + [1.0] * len(self._divided)
            beam["aperture"] = aperture
            if all(a == 1.0 for a in aperture):
                del beam["aperture"]
        if self._divided and self.normalise and normalisation is None:
            raise InputError("curves divided by the open one need a normalisation of the raw "
                             "curves (normalise=False or a normalisation)")
        if hasattr(engine, "ExactModel"):
            self._native = engine.ExactModel(x, energies, pops, normalise=self.normalise, **beam)
        else:
            if "aperture" in beam:
                raise InputError("this backend has no closed aperture")
            self._native = _CallPerEvaluation(engine, x, energies, pops, beam)

    @property
    def shape(self):
        """(num_datasets, num_x_pts) of the curves."""
        return (self._curves, self._native.shape[1])

    def __getstate__(self):
        # The native problem is not pickled: it is built again from its arguments.
        return self._arguments

    def __setstate__(self, arguments):
        self.__init__(**arguments)

    def curves(self, spec_pars, focus=0.0, derivatives=(), normalise=None, optics=None):
        """Model curves and their derivatives.

        Parameters
        ----------
        spec_pars : array_like, shape (8,)
            The parameters (three cross-sections in cm^2, five time constants in s).
        focus : float
            Focus position (mm) in the coordinates of `positions_mm`.
        derivatives : sequence of int
            Indices of spec_pars (0-7), FOCUS_SHIFT (8) and the optical
            parameters (9-14) to differentiate by.
        normalise : bool or None
            Shift each curve to its baseline; None: the handle's default (or
            its normalisation).
        optics : array_like, shape (6,), optional
            Energy model: beta (m/W), n2 (m^2/W) and the refractive
            cross-sections eta_2..eta_5 (cm^2); None: all 0.

        Returns
        -------
        curves : ndarray, shape (num_datasets, num_x_pts)
        jacobian : ndarray, shape (num_datasets, num_x_pts, len(derivatives)), or None
            d curve / d parameter (per mm for the focus shift); None without derivatives.
        """
        p = check_spec_pars(spec_pars)
        derivatives = tuple(int(d) for d in derivatives)
        last = FOCUS_SHIFT if optics is None else OPTICS_FIRST + len(OPTICAL_NAMES) - 1
        if any(not 0 <= d <= last for d in derivatives):
            raise InputError(f"derivative indices must lie in 0..{last}, got {derivatives}")
        focus = float(focus)
        if not math.isfinite(focus):
            raise InputError(f"focus must be a finite number (mm), got {focus!r}")
        if normalise is None and self.normalisation is not None:
            curves, jacobian = self._evaluate(p, focus, derivatives, False, optics)
            return self.normalisation.apply(curves, jacobian, derivatives, p, self._populations,
                                            self._sample_width, self.counts)
        normalise = self.normalise if normalise is None else bool(normalise)
        if self._divided and normalise:
            raise InputError("curves divided by the open one are not shifted to a baseline")
        return self._evaluate(p, focus, derivatives, normalise, optics)

    # The native evaluation in the toolkit's units, closed curves divided by
    # their open companions where asked (the quotient rule for the derivatives).
    def _evaluate(self, p, focus, derivatives, normalise, optics):
        if optics is None:
            curves, jacobian = self._native.evaluate(p, focus, derivatives, normalise)
        else:
            optics = np.asarray(optics, dtype=np.float64).ravel()
            if optics.size != len(OPTICAL_NAMES) or not np.all(np.isfinite(optics)):
                raise InputError(f"optics must be {len(OPTICAL_NAMES)} finite numbers ("
                                 f"{', '.join(OPTICAL_NAMES)}), got {optics!r}")
            if self.model != "energy":
                raise InputError("two-photon absorption and nonlinear refraction need the energy "
                                 "model")
            curves, jacobian = self._native.evaluate(p, focus, derivatives, normalise,
                                                     optics * OPTICAL_TO_ENGINE)
            for column, index in enumerate(derivatives):
                if index >= OPTICS_FIRST:
                    jacobian[..., column] *= OPTICAL_TO_ENGINE[index - OPTICS_FIRST]
        if not self._divided:
            return curves, jacobian
        n = self._curves
        companions = curves[n:]
        for j, k in enumerate(self._divided):
            ratio = curves[k] / companions[j]
            if jacobian is not None:
                jacobian[k] = (jacobian[k] - ratio[:, None] * jacobian[n + j]) \
                    / companions[j][:, None]
            curves[k] = ratio
        return curves[:n], None if jacobian is None else jacobian[:n]


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


# The exact engine's native problem from a set-up (a tarvo.Setup), its grid
# settings and the model variant: the populations and the beam keywords of
# tarvo._native.ExactModel, checked (a sample of zero width is the empty
# cell's reference).
def native_beam(setup, grid, model):
    pops = np.ascontiguousarray(setup.populations, dtype=np.float64).ravel()
    if pops.size != LEVELS or not np.all(np.isfinite(pops)) or np.any(pops < 0.0):
        raise InputError(f"populations must be {LEVELS} finite numbers of at least 0, got "
                         f"{setup.populations!r}")
    return pops, dict(t_slices=grid["t_slices"], z_slices=grid["z_slices"],
                      sample_width=_positive("sample_width", setup.sample_width, allow_zero=True),
                      tau=_positive("tau", setup.tau),
                      wavelength=_positive("wavelength", setup.wavelength),
                      w0=_positive("w0", setup.w0), M2=_positive("M2", setup.M2), variant=model,
                      radial_points=grid["radial_points"],
                      intensity_points=grid.get("intensity_points", 0))


# Curves (num_datasets, num_x_pts) of the exact model and, when derivatives are
# named, their derivatives (num_datasets, num_x_pts, len(derivatives)) with
# respect to spec_pars entries (0-7) or the focus shift (FOCUS_SHIFT): one
# evaluation of a ModelHandle made for the call at the set-up (a
# tarvo.Setup). `normalisation` (a tarvo.normalisation.Normalisation)
# normalises the absolute curves as the data were; None shifts them to a
# baseline of 1 in the engine, as fit_zscan's model does.
def model_and_jacobian(positions_mm, pulse_energy, setup, spec_pars, *, t_slices=None,
                       z_slices=None, radial_points=None, intensity_points=None, derivatives=(),
                       model="established", normalisation=None, counts=None, optics=None,
                       aperture=None, divided=None):
    handle = ModelHandle(positions_mm, pulse_energy, setup, t_slices=t_slices,
                         z_slices=z_slices, radial_points=radial_points,
                         intensity_points=intensity_points, model=model,
                         normalisation=normalisation, counts=counts, aperture=aperture,
                         divided=divided)
    return handle.curves(spec_pars, derivatives=derivatives, optics=optics)


# Planck's constant (J s) and the speed of light (m/s).
PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0

# Time slices of the pulse: 32 keep the error below 3e-6 of the nonlinear change
# (4 ns pulses; 7.3e-6 at 30 ps).
T_SLICES = 32
# Depth slices per unit of optical depth: reverse saturable absorbers and
# saturable ones; never fewer than MIN_Z_SLICES.
Z_SLICES_PER_DEPTH_REVERSE = 4.0
Z_SLICES_PER_DEPTH_SATURABLE = 1.5
MIN_Z_SLICES = 2
# Radial nodes: RADIAL_BASE + RADIAL_PER_DECADE log10(S), at least MIN_RADIAL.
RADIAL_BASE, RADIAL_PER_DECADE, MIN_RADIAL = 10.0, 5.0, 12
# Peak-intensity nodes: base + 6 log10(S) + 2 alpha_0 L max(0, log10(S) - 1),
# at least MIN_INTENSITY. The base is larger for a saturable absorber, whose local
# transmittance turns more sharply; the last term follows the saturation into
# a thick sample (its rear saturates at e^(alpha_0 L) times the front's
# intensity, where the nodes are sparser).
INTENSITY_BASE_REVERSE, INTENSITY_BASE_SATURABLE = 6.0, 14.0
INTENSITY_PER_DECADE, INTENSITY_DEPTH = 6.0, 2.0
MIN_INTENSITY = 12

def _finite_array(name, values, size):
    try:
        array = np.array(values, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        raise InputError(f"{name} must be {size} numbers, got {values!r}") from None
    if array.size != size or not np.all(np.isfinite(array)):
        raise InputError(f"{name} must be {size} finite numbers, got {values!r}")
    return array


def _positive_number(name, value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a positive number, got {value!r}") from None
    if not (math.isfinite(value) and value > 0.0):
        raise InputError(f"{name} must be a positive finite number, got {value!r}")
    return value


def optical_depth(spec_pars, populations, sample_width):
    """alpha_0 L = (sigma_1 N1 + sigma_2 N2 + sigma_4 N4) L of the sample before the pulse."""
    p = _finite_array("spec_pars", spec_pars, 8)
    n = _finite_array("populations", populations, 5)
    if np.any(p[:3] < 0.0):
        raise InputError(f"the cross-sections must be at least 0, got {list(p[:3])}")
    if np.any(n < 0.0):
        raise InputError(f"populations must be at least 0, got {list(n)}")
    width = float(sample_width)
    if not (math.isfinite(width) and width >= 0.0):
        raise InputError(f"sample_width must be a finite number of at least 0, got "
                         f"{sample_width!r}")
    with np.errstate(over="ignore", invalid="ignore"):
        depth = float((p[0] * n[0] + p[1] * n[1] + p[2] * n[3]) * width)
    if not math.isfinite(depth):
        raise InputError("the optical depth alpha_0 L of the sample overflows; check "
                         "sample_width (cm), the populations (cm^-3) and the cross-sections "
                         "(cm^2)")
    return depth


def saturation(spec_pars, pulse_energies, w0, wavelength):
    """Peak fluence at the focus of the strongest pulse over h nu / sigma_1
    (sigma_1 = 0: the largest cross-section)."""
    p = _finite_array("spec_pars", spec_pars, 8)
    energies = np.array(pulse_energies, dtype=np.float64).ravel()
    if energies.size == 0 or not np.all(np.isfinite(energies)) or np.any(energies <= 0.0):
        raise InputError(f"pulse_energies must be one or more positive finite numbers, got "
                         f"{pulse_energies!r}")
    w0_cm = 100.0 * _positive_number("w0", w0)
    photon = PLANCK * SPEED_OF_LIGHT / _positive_number("wavelength", wavelength)
    sigma = p[0] if p[0] > 0.0 else float(np.max(p[:3]))
    area = math.pi * w0_cm * w0_cm
    if not (area > 0.0 and math.isfinite(area)):
        raise InputError(f"w0 = {w0!r} m gives a beam area of {area:g} cm^2, which no model "
                         "resolves; check w0 (m)")
    fluence = 2.0 * float(energies.max()) / area
    saturation_value = fluence * float(sigma) / photon if photon > 0.0 else math.inf
    if not math.isfinite(saturation_value):
        raise InputError("the peak fluence over h nu / sigma_1 overflows; check w0 (m), the "
                         "wavelength (m), the pulse energies (J) and the cross-sections (cm^2)")
    return saturation_value


def energy_resolution(spec_pars, populations, sample_width, pulse_energies, w0, M2, wavelength,
                      tau):
    """Time slices, depth slices, radial and peak-intensity nodes of the energy
    model that keep its error below 1e-4 of the curves' nonlinear change (the
    study: at most 1.9e-5) for this sample and these pulses, at the least cost.

    spec_pars       the eight parameters (sigma_1, sigma_2, sigma_4 in cm^2, then
                    the five time constants in s)
    populations     the five populations before the pulse (cm^-3)
    sample_width    thickness (cm); pulse_energies (J); w0 beam waist (m); M2;
                    wavelength (m); tau pulse duration parameter (s)

    Rule (alpha_0 L the optical depth, S the saturation, see the module):
    - t_slices 32;
    - z_slices ceil(4 alpha_0 L) when the excited absorption (the larger of
      sigma_2, sigma_4) is at least sigma_1, else ceil(1.5 alpha_0 L); at least 2;
    - radial_points ceil(10 + 5 log10 S), at least 12;
    - intensity_points ceil(b + 6 log10 S + 2 alpha_0 L max(0, log10 S - 1)),
      b = 14 for a saturable absorber, 6 otherwise; at least 12;
    node counts at most 64 (the engine's limit).

    Returns dict(t_slices=..., z_slices=..., radial_points=..., intensity_points=...).
    """
    depth = optical_depth(spec_pars, populations, sample_width)
    S = saturation(spec_pars, pulse_energies, w0, wavelength)
    _positive_number("M2", M2)
    _positive_number("tau", tau)
    p = np.array(spec_pars, dtype=np.float64).ravel()
    saturable = max(p[1], p[2]) < p[0]
    per_depth = Z_SLICES_PER_DEPTH_SATURABLE if saturable else Z_SLICES_PER_DEPTH_REVERSE
    decades = math.log10(max(S, 1.0))
    base = INTENSITY_BASE_SATURABLE if saturable else INTENSITY_BASE_REVERSE
    intensity = (base + INTENSITY_PER_DECADE * decades
                 + INTENSITY_DEPTH * depth * max(0.0, decades - 1.0))
    # The small offsets keep exact products (4 x 0.25 = 1) from rounding up a slice.
    return dict(
        t_slices=T_SLICES,
        z_slices=max(MIN_Z_SLICES, math.ceil(per_depth * depth - 1e-9)),
        radial_points=min(MAX_NODES, max(MIN_RADIAL,
                                         math.ceil(RADIAL_BASE + RADIAL_PER_DECADE * decades))),
        intensity_points=min(MAX_NODES, max(MIN_INTENSITY, math.ceil(intensity - 1e-9))),
    )
