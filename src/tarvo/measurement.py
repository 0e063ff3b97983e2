"""A measurement directory: setup.toml (sample, beam, curves, [fit] options)
and its curve files, read and checked into a tarvo.Measurement."""

import codecs
import hashlib
import math
import tomllib
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np

from . import _native
from .budget import QUANTITIES, SetupUncertainties
from .checks import PER_CM3_PER_MOL_L
from .curve_file import (POSITION_UNITS, TRANSMITTANCE_UNITS, UNIT_NAMES, check_roles,
                         read_curve_file)
from .counts import check_count
from .engine import ENGINES, MAX_NODES, MODELS
from .files import InputError, read_input_bytes
from .normalisation import FAR_FIELD_POINTS, NORMALISATIONS, Normalisation
from .parameters import (COUNT, CROSS_SECTIONS, FIT_NAMES, FOCUS, NAMES, OPTICAL_NAMES,
                         OPTICAL_PARAMETERS, Parameters, SIGNED_NAMES)


# Keys these settings add to the tables of setup.toml (the [bounds] table is new).
MODEL_KEYS = ("variant", "radial_points", "intensity_points")
FIT_KEYS = ("engine", "fit_focus", "focus_mm", "weights", "force")

# The weights a fit may choose besides the default (1/sigma^2 with a sigma column, else equal).
WEIGHTS = ("equal", "established")
BOUNDS_TABLE = "bounds"
# The set-up's uncertainties, for the error budget.
UNCERTAINTY_TABLE = "uncertainty"


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
# variant, else the energy model. Slice counts [model] leaves out take the
# model's defaults (the established model's: 10 time and 5 depth slices).
def resolve_model(chosen, options, setup, directory):
    return chosen or options.model or MODELS[0]


# Name of the set-up file inside a measurement directory.
SETUP_FILE = "setup.toml"


# Largest set-up or parameter file read: a set-up file has a few dozen lines.
MAX_TOML_BYTES = 1024 * 1024

# Starts of the multi-start fit when [fit] does not say (the module's default).
N_STARTS_DEFAULT = _native.N_STARTS_DEFAULT

# Most far-field points at each end of a curve.
MAX_FAR_FIELD_POINTS = 1000

# Levels of the model, hence entries of `populations`.
LEVELS = _native.LEVELS

# Tables and keys of setup.toml; a key outside these is almost always a typo.
KNOWN_KEYS = {
    "beam": ("wavelength", "w0", "M2", "tau", "pulse_fwhm"),
    "sample": ("sample_width", "populations", "concentration", "is_sa", "absorbance",
               "linear_transmittance"),
    "model": ("t_slices", "z_slices") + MODEL_KEYS,
    "curve": ("file", "pulse_energy", "columns", "exclude", "aperture", "divided_by_open"),
    "data": ("columns", "position_unit", "transmittance_unit", "normalisation",
             "far_field_points", "exclude", "stage_direction"),
    "start": NAMES + OPTICAL_NAMES,
    "fit": ("parameters", "n_starts") + FIT_KEYS,
    BOUNDS_TABLE: FIT_NAMES,
    UNCERTAINTY_TABLE: tuple(QUANTITIES),
}


# Beam, pulse, sample and grid settings: the fixed part of the model.
@dataclass(frozen=True)
class Setup:
    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    populations: tuple
    t_slices: int          # None where [model] leaves it to the model's default
    z_slices: int
    # The lab quantities tau and populations were derived from, where the
    # set-up gives them instead: intensity FWHM of the pulse (s) and the
    # molar concentration of the absorber (mol/L); None otherwise.
    pulse_fwhm: float | None = None
    concentration: float | None = None

    # Keyword arguments for tarvo.simulate.
    def model_kwargs(self):
        return dict(populations=list(self.populations), sample_width=self.sample_width,
                    tau=self.tau, wavelength=self.wavelength, w0=self.w0, M2=self.M2,
                    t_slices=self.t_slices, z_slices=self.z_slices)


# One measured curve; sigma holds the standard deviation of each
# transmittance value when the file gives it, else None. `columns`, `units`,
# `skipped` and `missing` say how the file was read (roles of its columns,
# units, the leading lines skipped as (line number, text), the points left
# out as (line number, text, why)).
@dataclass(frozen=True, repr=False)
class Curve:
    file: str
    pulse_energy: float
    positions: np.ndarray
    transmittance: np.ndarray
    sigma: np.ndarray | None = None
    columns: tuple = ("position", "transmittance")
    units: dict = None
    skipped: tuple = ()
    missing: tuple = ()
    # The far-field aperture's linear transmittance (1: open aperture), and
    # whether the curve is a closed one divided by the open one.
    aperture: float = 1.0
    divided_by_open: bool = False

    def __repr__(self):
        left = f", {len(self.missing)} left out" if self.missing else ""
        closed = "" if self.aperture == 1.0 else f", aperture {self.aperture:g}" + (
            " divided by open" if self.divided_by_open else "")
        return (f"Curve({self.file!r}, pulse_energy={self.pulse_energy:g} J, "
                f"{self.positions.size} points{left}{closed})")


# How the curve files are read and normalised: [data] of setup.toml.
# How a stage's positions may run: the model's axis points along the beam
# (the sample lies between the lens and the focus where its position is below
# the focus's); a stage that counts the other way has its positions negated.
STAGE_DIRECTIONS = ("along-beam", "against-beam")


@dataclass(frozen=True)
class DataFormat:
    columns: tuple = None
    position_unit: str = None
    transmittance_unit: str = None
    normalisation: Normalisation = Normalisation()
    # Whether [data] chose the normalisation (else the default applies).
    normalisation_given: bool = False
    # Points every curve leaves out: positions (mm) and line numbers.
    exclude: "Exclusions" = None
    # How the stage's positions run: "along-beam" (they grow towards the
    # detector, the model's axis) or "against-beam" (read negated).
    stage_direction: str = STAGE_DIRECTIONS[0]

    # The record of the result file.
    def as_dict(self):
        record = {**self.normalisation.as_dict(), "position_unit": self.position_unit,
                  "transmittance_unit": self.transmittance_unit,
                  "columns": None if self.columns is None else list(self.columns),
                  "stage_direction": self.stage_direction}
        if self.exclude and (self.exclude.positions or self.exclude.lines):
            record["exclude"] = {"positions_mm": list(self.exclude.positions),
                                 "lines": list(self.exclude.lines)}
        return record


# Points left out of a curve on purpose ([data] or [[curve]] exclude):
# positions (mm, as read) and line numbers of its file.
@dataclass(frozen=True)
class Exclusions:
    positions: tuple = ()
    lines: tuple = ()

    def __add__(self, other):
        return Exclusions(self.positions + other.positions, self.lines + other.lines)


# Positions closer than this (mm) to an excluded one are it.
EXCLUDE_TOLERANCE_MM = 1e-9


# The exclude setting of a table: numbers are positions (in mm, as the
# positions are read), "line N" a line of the curve file.
def _exclusions(table, where):
    value = table.get("exclude", [])
    if not isinstance(value, list):
        value = [value]
    positions, lines = [], []
    for entry in value:
        if _is_number(entry):
            positions.append(float(entry))
            continue
        words = entry.split() if isinstance(entry, str) else []
        if len(words) == 2 and words[0] == "line" and words[1].isdigit() and int(words[1]) > 0:
            lines.append(int(words[1]))
            continue
        raise InputError(f"{where}: exclude takes positions (numbers, mm) and line numbers "
                         f"(\"line 12\"), got {entry!r}")
    return Exclusions(tuple(positions), tuple(lines))


# A file the result depends on, with the SHA-256 of the bytes that were read.
@dataclass(frozen=True)
class InputFile:
    role: str
    path: Path
    sha256: str

    # The entry of the result document.
    def as_dict(self):
        return {"role": self.role, "path": str(self.path), "sha256": self.sha256}


# The parsed set-up file: everything but the measured curves themselves.
@dataclass(frozen=True)
class SetupFile:
    path: Path
    document: dict
    setup: "Setup"
    is_sa: bool
    # (file name, pulse energy in J, columns or None, aperture, divided_by_open) per [[curve]]
    curve_entries: tuple
    source: InputFile
    data_format: DataFormat = DataFormat()


# A complete measurement directory, checked.
@dataclass(frozen=True, repr=False)
class Measurement:
    """A measurement directory as read by tarvo.read_measurement: set-up,
    curves, start values, fitted parameters, settings and input digests."""

    directory: Path
    setup: Setup
    is_sa: bool
    curves: tuple
    start: np.ndarray
    fit_names: tuple
    n_starts: int
    input_files: tuple = ()
    options: FitOptions = FitOptions()
    data_format: DataFormat = DataFormat()
    # Where sigma_1 comes from when [sample] gives the linear absorption: the
    # record of the result file, else None.
    sigma_1_from: dict = None
    # The [uncertainty] table (tarvo.budget.SetupUncertainties), or None.
    uncertainties: object = None
    # The optical parameters [start] gives (name -> value in their units).
    optics: dict = None

    def __repr__(self):
        sizes = sorted({c.positions.size for c in self.curves})
        points = (f"{sizes[0]}" if len(sizes) == 1 else f"{sizes[0]} to {sizes[-1]}")
        left = sum(len(c.missing) for c in self.curves)
        left = f", {left} left out" if left else ""
        return (f"Measurement({str(self.directory)!r}: {len(self.curves)} curves of {points} "
                f"points{left}, fitting {', '.join(self.fit_names)}, normalisation "
                f"{self.normalisation.mode!r})")

    # How the measured curves were normalised, and so the model's are.
    @property
    def normalisation(self):
        """How the measured curves were normalised, and so the model's are."""
        return self.data_format.normalisation

    # 0-based indices of the fitted parameters, in the order given.
    @property
    def fit_indices(self):
        """0-based indices of the fitted parameters, in the order given."""
        return [NAMES.index(name) for name in self.fit_names if name in NAMES]

    # Points per curve (the longest curve's where they differ).
    @property
    def num_x_pts(self):
        """Points per curve (the longest curve's where curves differ in length)."""
        return max(c.positions.size for c in self.curves)

    # Whether the curves differ in their number of points.
    @property
    def ragged(self):
        """Whether the curves differ in their number of points."""
        return len({c.positions.size for c in self.curves}) > 1

    # One row per curve: an array, or a tuple of arrays where the curves
    # differ in length (tarvo.fit takes either).
    def _rows(self, rows):
        return tuple(rows) if self.ragged else np.stack(rows)

    # Positions of all curves, one row per curve (mm).
    @property
    def positions(self):
        """Positions of all curves in mm, one row per curve (a tuple of
        arrays where the curves differ in length)."""
        return self._rows([c.positions for c in self.curves])

    # Measured transmittance of all curves, one row per curve.
    @property
    def transmittance(self):
        """Measured transmittance of all curves, one row per curve (a tuple
        of arrays where the curves differ in length)."""
        return self._rows([c.transmittance for c in self.curves])

    # Pulse energy of each curve (J).
    @property
    def pulse_energy(self):
        """Pulse energy of each curve in J."""
        return np.array([c.pulse_energy for c in self.curves], dtype=np.float64)

    # Standard deviations of all curves, one row per curve, or None when the
    # files give none (the reader makes sure all curves or none have them).
    @property
    def sigma(self):
        """Standard deviations of all curves, one row per curve, or None."""
        if self.curves[0].sigma is None:
            return None
        return self._rows([c.sigma for c in self.curves])

    def parameters(self, focus=True):
        """The parameters of the fit as the set-up file gives them.

        Parameters
        ----------
        focus : bool
            Include the focus ([fit] fit_focus, focus_mm) and the bounds
            ([bounds]); False for an engine that has neither.

        Returns
        -------
        tarvo.Parameters
            Start values, fitted names and bounds.
        """
        options = self.options
        params = Parameters.from_spec_pars(self.start, vary=[n for n in self.fit_names
                                                             if n in NAMES])
        for name, value in (self.optics or {}).items():
            params.add(name, value, vary=name in self.fit_names)
        if not focus:
            return params
        # A closed-aperture measurement fits the focus unless [fit] places
        # it: the closed curves' shape fixes it, and a focus taken from the
        # extreme of noisy data would shift them against the model.
        closed = any(c.aperture < 1.0 for c in self.curves) and not options.fit_focus \
            and options.focus_mm is None
        if options.fit_focus or options.focus_mm is not None or closed:
            params.add(FOCUS, options.focus_mm, vary=options.fit_focus or closed)
        for name, (low, high) in options.bounds.items():
            if name in params:
                params[name].set(min=low, max=high)
        return params

    def fit_arguments(self, model):
        """Keyword arguments of `tarvo.fit` for these curves and this set-up.

        Parameters
        ----------
        model : {"energy", "established"}
            The model fitted (the energy model's grid settings apply to it only).

        Returns
        -------
        dict
            Positions, transmittance, energies, set-up, grid, normalisation,
            sigma, weights, is_sa and the focus ([fit] focus_mm or None).
        """
        setup, options = self.setup, self.options
        energy = model == "energy"
        return dict(positions=self.positions, transmittance=self.transmittance,
                    pulse_energy=self.pulse_energy, populations=list(setup.populations),
                    sample_width=setup.sample_width, tau=setup.tau, wavelength=setup.wavelength,
                    w0=setup.w0, M2=setup.M2, model=model, t_slices=setup.t_slices,
                    z_slices=setup.z_slices,
                    radial_points=options.radial_points if energy else None,
                    intensity_points=options.intensity_points if energy else None,
                    normalisation=self.normalisation, sigma=self.sigma, weights=options.weights,
                    is_sa=self.is_sa, focus=options.focus_mm, **self.aperture_arguments())

    def aperture_arguments(self):
        """The closed-aperture keywords of `tarvo.fit` (none when every curve is open)."""
        if all(c.aperture == 1.0 for c in self.curves):
            return {}
        return dict(aperture=[c.aperture for c in self.curves],
                    divided_by_open=[c.divided_by_open for c in self.curves])


# The table `name` of the document, checked for unknown keys.
def _table(doc, name, where, required=True):
    table = doc.get(name)
    if table is None:
        if required:
            raise InputError(f"{where}: missing table [{name}]")
        return {}
    if not isinstance(table, dict):
        raise InputError(f"{where}: [{name}] must be a table")
    _reject_unknown_keys(table, name, where)
    return table


# An unknown key in a table is reported with the keys that table accepts.
def _reject_unknown_keys(table, name, where):
    for key in table:
        if key not in KNOWN_KEYS[name]:
            raise InputError(f"{where}: unknown key {key!r} in [{name}]; known keys: "
                             + ", ".join(KNOWN_KEYS[name]))


# A finite real number from table[key]; positive unless zero is allowed.
def _number(table, key, where, unit, allow_zero=False):
    if key not in table:
        raise InputError(f"{where}: missing {key} ({unit})")
    value = table[key]
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise InputError(f"{where}: {key} must be a finite number ({unit}), got {value!r}")
    if value < 0 or (value == 0 and not allow_zero):
        bound = "at least 0" if allow_zero else "positive"
        raise InputError(f"{where}: {key} must be {bound} ({unit}), got {value!r}")
    return float(value)


# An integer from table[key], at least `least` and at most `most` (why: the reason).
def _integer(table, key, where, least, most, why, default=None):
    value = table.get(key, default)
    if value is None:
        raise InputError(f"{where}: missing {key}")
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise InputError(f"{where}: {key} must be an integer of at least {least}, got {value!r}")
    if value > most:
        raise InputError(f"{where}: {key} = {value} is more than {most}: {why}")
    return value


# The count table[key] (tarvo.counts), or None when absent (the model's
# default then applies).
def _optional_count(table, key, where):
    return None if key not in table else check_count(key, table[key], f"{where}: {key}")


# Molecules per cm^3 in a solution of 1 mol/L: N_A / 1000.

# tau of the time profile exp(-(t/tau)^2) is the intensity FWHM over this factor.
FWHM_PER_TAU = 2.0 * math.sqrt(math.log(2.0))


# tau (s) of a pulse of intensity FWHM `fwhm` (s).
def tau_from_fwhm(fwhm):
    return fwhm / FWHM_PER_TAU


# The five initial populations (cm^-3) of a solution of `concentration`
# mol/L: every molecule in level 1.
def populations_from_concentration(concentration):
    return (concentration * PER_CM3_PER_MOL_L,) + (0.0,) * (LEVELS - 1)


# One of two keys of a table that say the same thing in different units;
# giving both (or neither) is an error. Returns the key given.
def _one_of(table, key, alternative, where, what):
    if key in table and alternative in table:
        raise InputError(f"{where}: give either {key} or {alternative} ({what}), not both")
    if key not in table and alternative not in table:
        raise InputError(f"{where}: missing {key} (or {alternative}): {what}")
    return key if key in table else alternative


# tau (s) from [beam] tau or pulse_fwhm, and the FWHM when that was given.
def _read_pulse(beam, where):
    key = _one_of(beam, "tau", "pulse_fwhm", f"{where} [beam]",
                  "tau in s of the time profile exp(-(t/tau)^2), or pulse_fwhm in s, the "
                  "intensity FWHM")
    if key == "tau":
        return _number(beam, "tau", f"{where} [beam]", "s"), None
    fwhm = _number(beam, "pulse_fwhm", f"{where} [beam]", "s, intensity FWHM")
    return tau_from_fwhm(fwhm), fwhm


# A sample without an excited-state model (a semiconductor or glass that
# absorbs two photons and refracts): [start] gives optical parameters and
# none of the rate scheme's eight. Its rate scheme is then empty (no
# cross-sections; the excited sites relax in NO_SCHEME_TIME), and where
# [sample] gives no populations it has BULK_SITES absorbing sites per cm^3,
# so that two-photon excitation does not deplete them.
NO_SCHEME_TIME = 1e-9
BULK_SITES = 1e22


def _without_rate_scheme(doc):
    start = doc.get("start")
    return (isinstance(start, dict) and not any(name in start for name in NAMES)
            and any(name in start for name in OPTICAL_NAMES))


# Populations (cm^-3) from [sample] populations or concentration, and the
# concentration when that was given.
def _read_populations(sample, where, bulk=False):
    if bulk and "populations" not in sample and "concentration" not in sample:
        return (BULK_SITES,) + (0.0,) * (LEVELS - 1), None
    key = _one_of(sample, "populations", "concentration", f"{where} [sample]",
                  f"populations, {LEVELS} numbers in cm^-3, or concentration in mol/L")
    if key == "concentration":
        concentration = _number(sample, "concentration", f"{where} [sample]", "mol/L")
        return populations_from_concentration(concentration), concentration
    populations = sample.get("populations")
    if (not isinstance(populations, list) or len(populations) != LEVELS
            or any(isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v)
                   or v < 0 for v in populations)):
        raise InputError(f"{where}: [sample] populations must be {LEVELS} numbers of at least 0 "
                         f"(cm^-3), got {populations!r}")
    return tuple(float(v) for v in populations), None


# Beam, sample and grid settings from the parsed set-up file.
def _read_setup(doc, where):
    beam = _table(doc, "beam", where)
    sample = _table(doc, "sample", where)
    model = _table(doc, "model", where, required=False)
    tau, fwhm = _read_pulse(beam, where)
    populations, concentration = _read_populations(sample, where, _without_rate_scheme(doc))
    is_sa = sample.get("is_sa", False)
    if not isinstance(is_sa, bool):
        raise InputError(f"{where}: [sample] is_sa must be true or false, got {is_sa!r}")
    setup = Setup(
        wavelength=_number(beam, "wavelength", f"{where} [beam]", "m"),
        w0=_number(beam, "w0", f"{where} [beam]", "m"),
        M2=_number(beam, "M2", f"{where} [beam]", "beam quality factor"),
        tau=tau,
        sample_width=_number(sample, "sample_width", f"{where} [sample]", "cm"),
        populations=populations,
        t_slices=_optional_count(model, "t_slices", f"{where} [model]"),
        z_slices=_optional_count(model, "z_slices", f"{where} [model]"),
        pulse_fwhm=fwhm,
        concentration=concentration,
    )
    return setup, is_sa


# Units of the eight parameters: cross-sections in cm^2, time constants in s.
UNITS = ("cm^2",) * CROSS_SECTIONS + ("s",) * (COUNT - CROSS_SECTIONS)


# The eight parameter values of [start], each replaced by the value of
# `overrides` (name -> value, read from the file `overrides_path`) where
# that has one; cross-sections may be 0, time constants must be positive.
def read_start(doc, where, overrides=None, overrides_path=None):
    overrides = overrides or {}
    table = _table(doc, "start", where, required=overrides_path is None)
    if _without_rate_scheme(doc) and not any(name in overrides for name in NAMES):
        return np.array([0.0] * CROSS_SECTIONS + [NO_SCHEME_TIME] * (COUNT - CROSS_SECTIONS))
    values = []
    for i, (name, unit) in enumerate(zip(NAMES, UNITS)):
        if name in overrides:
            source, origin = overrides, str(overrides_path)
        else:
            source, origin = table, f"{where} [start]"
        if name not in source and overrides_path is not None:
            raise InputError(f"{where}: [start] has no {name} ({unit}) and {overrides_path} "
                             "does not give it either")
        values.append(_number(source, name, origin, unit, allow_zero=i < CROSS_SECTIONS))
    return np.array(values, dtype=np.float64)


# Starting parameter vector and fitted names from [start] and [fit].
def _read_fit(doc, where):
    start = read_start(doc, where)
    fit = _table(doc, "fit", where)
    names = fit.get("parameters")
    if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
        raise InputError(f"{where}: [fit] parameters must be a non-empty list of parameter "
                         f"names ({', '.join(NAMES)})")
    optics = read_optics(doc, where)
    for name in names:
        if name not in NAMES + OPTICAL_NAMES:
            raise InputError(f"{where}: [fit] parameters: unknown parameter {name!r}; the "
                             f"parameters are {', '.join(NAMES + OPTICAL_NAMES)}")
        if names.count(name) > 1:
            raise InputError(f"{where}: [fit] parameters names {name} twice")
        if name in OPTICAL_NAMES and name not in optics:
            raise InputError(f"{where}: [fit] parameters: {name} is fitted and needs a start "
                             "value in [start]")
        value = optics[name] if name in OPTICAL_NAMES else start[NAMES.index(name)]
        if value == 0.0:
            raise InputError(f"{where}: [start] {name} is fitted and must not be 0 (the starts "
                             "scale it)")
    n_starts = check_count("n_starts", fit.get("n_starts", N_STARTS_DEFAULT),
                           f"{where} [fit]: n_starts")
    return start, tuple(names), n_starts, optics


# The optical parameters [start] gives (beta in m/W, at least 0; n2 in
# m^2/W and the refractive cross-sections in cm^2, of either sign).
def read_optics(doc, where):
    table = doc.get("start") or {}
    optics = {}
    for parameter in OPTICAL_PARAMETERS:
        name = parameter.name
        if name not in table:
            continue
        value = table[name]
        if (isinstance(value, bool) or not isinstance(value, (int, float))
                or not math.isfinite(value)):
            raise InputError(f"{where} [start]: {name} must be a finite number "
                             f"({parameter.unit}), got {value!r}")
        if name not in SIGNED_NAMES and value < 0:
            raise InputError(f"{where} [start]: {name} must be at least 0 ({parameter.unit}), "
                             f"got {value!r}")
        optics[name] = float(value)
    return optics


# sigma_1 from the linear absorption that [sample] gives (decadic absorbance
# over the sample, or linear transmittance), holding it in the fit: the start
# vector with sigma_1 set and the record of where it came from; (start, None)
# when [sample] gives neither.
def _sigma_1_from_absorption(doc, setup, start, fit_names, where):
    sample = doc.get("sample", {})
    given = [key for key in ("absorbance", "linear_transmittance") if key in sample]
    if not given:
        return start, None
    where = f"{where} [sample]"
    if len(given) > 1:
        raise InputError(f"{where}: give absorbance or linear_transmittance, not both")
    key = given[0]
    if key == "absorbance":
        value = _number(sample, key, where, "decadic, over sample_width")
        alpha = value * math.log(10.0) / setup.sample_width
    else:
        value = _number(sample, key, where, "fraction")
        if value >= 1.0:
            raise InputError(f"{where}: linear_transmittance must lie between 0 and 1, got "
                             f"{value!r}")
        alpha = -math.log(value) / setup.sample_width
    if "sigma_1" in fit_names:
        raise InputError(f"{where}: {key} sets sigma_1 and holds it; remove sigma_1 from [fit] "
                         "parameters (or the absorption from [sample])")
    populations = setup.populations
    if populations[0] <= 0.0:
        raise InputError(f"{where}: {key} gives sigma_1 only with molecules in level 1 "
                         "(populations[0] > 0)")
    # The excited levels populated before the pulse absorb too.
    excited = start[1] * populations[1] + start[2] * populations[3]
    sigma_1 = (alpha - excited) / populations[0]
    if not sigma_1 > 0.0:
        raise InputError(f"{where}: {key} = {value!r} is less than the excited levels absorb "
                         "before the pulse; check it and the populations")
    start = start.copy()
    start[0] = sigma_1
    return start, {"from": key, "value": value, "sigma_1": sigma_1,
                   "alpha_cm-1": alpha}


# The [[curve]] tables: file name and pulse energy of each curve.
def _curve_entries(doc, where):
    entries = doc.get("curve")
    if not isinstance(entries, list) or not entries:
        raise InputError(f"{where}: no curves: add one [[curve]] table (file, pulse_energy) per "
                         "measured curve")
    result = []
    for entry in entries:
        if not isinstance(entry, dict):
            raise InputError(f"{where}: every [[curve]] must be a table")
        _reject_unknown_keys(entry, "curve", where)
        name = entry.get("file")
        if not isinstance(name, str) or not name:
            raise InputError(f"{where}: a [[curve]] needs file = \"NAME.csv\"")
        energy = _number(entry, "pulse_energy", f"{where} [[curve]] {name}", "J")
        columns = _columns(entry, f"{where} [[curve]] {name}")
        aperture = entry.get("aperture", 1.0)
        if (isinstance(aperture, bool) or not isinstance(aperture, (int, float))
                or not 0.0 < aperture <= 1.0):
            raise InputError(f"{where} [[curve]] {name}: aperture must be a number in (0, 1] "
                             f"(the linear transmittance of the far-field aperture; 1 or absent: "
                             f"open), got {aperture!r}")
        divided = entry.get("divided_by_open", False)
        if not isinstance(divided, bool):
            raise InputError(f"{where} [[curve]] {name}: divided_by_open must be true or false, "
                             f"got {divided!r}")
        if divided and aperture == 1.0:
            raise InputError(f"{where} [[curve]] {name}: divided_by_open = true needs a closed "
                             "aperture (aperture < 1)")
        result.append((name, energy, columns, _exclusions(entry, f"{where} [[curve]] {name}"),
                       float(aperture), divided))
    return tuple(result)


# The columns setting of a table, checked, or None.
def _columns(table, where):
    columns = table.get("columns")
    if columns is None:
        return None
    if not isinstance(columns, list) or not all(isinstance(c, str) for c in columns):
        raise InputError(f"{where}: columns must be a list of column names, e.g. "
                         "[\"position\", \"transmittance\"]")
    return check_roles(tuple(columns), f"{where}: columns")


# A unit setting of [data], checked against the known units, in its canonical name.
def _unit_setting(table, key, units, where):
    value = table.get(key)
    if value is None:
        return None
    if not isinstance(value, str) or value not in units:
        known = ", ".join(sorted({UNIT_NAMES.get(u, u) for u in units}))
        raise InputError(f"{where}: {key} must be one of {known}, got {value!r}")
    return UNIT_NAMES.get(value, value)


# How the curve files are read and normalised, from [data].
def _read_data_format(doc, where):
    table = _table(doc, "data", where, required=False)
    where = f"{where} [data]"
    mode = table.get("normalisation", NORMALISATIONS[0])
    if mode not in NORMALISATIONS:
        raise InputError(f"{where}: normalisation must be one of "
                         f"{', '.join(map(repr, NORMALISATIONS))}, got {mode!r}")
    points = _integer(table, "far_field_points", where, 1, MAX_FAR_FIELD_POINTS,
                      "the far field is a few points at each end of a curve",
                      default=FAR_FIELD_POINTS)
    return DataFormat(
        columns=_columns(table, where),
        position_unit=_unit_setting(table, "position_unit", POSITION_UNITS, where),
        transmittance_unit=_unit_setting(table, "transmittance_unit", TRANSMITTANCE_UNITS,
                                         where),
        normalisation=Normalisation(mode, points),
        normalisation_given="normalisation" in table,
        exclude=_exclusions(table, where),
        stage_direction=_stage_direction(table, where))


# [data] stage_direction: along the beam (default) or against it.
def _stage_direction(table, where):
    direction = table.get("stage_direction", STAGE_DIRECTIONS[0])
    if direction not in STAGE_DIRECTIONS:
        raise InputError(f"{where}: stage_direction must be one of "
                         f"{', '.join(map(repr, STAGE_DIRECTIONS))} (how the positions run "
                         f"relative to the beam), got {direction!r}")
    return direction


# Raw signals are divided by their far field, which must be a positive
# number (a signal detector that read 0 there has nothing to divide by).
def _check_far_field(far_field, normalisation):
    if not (math.isfinite(far_field) and far_field > 0.0):
        raise ValueError(f"the far field of the signal (the mean of its "
                         f"{normalisation.far_field_points} points at each end, divided by the "
                         f"reference) is {float(far_field):g}; raw signals are divided by it and "
                         "it must be positive: check the signal column")


# The curves listed in [[curve]], read (readings that are not a number and
# excluded points left out), checked for the points each keeps (the far
# field at each end and one between) and their columns, and normalised
# where they are raw signals.
def _read_curves(entries, directory, data_format):
    curves, files = [], []
    normalisation = data_format.normalisation
    common = data_format.exclude or Exclusions()
    for name, energy, columns, exclude, aperture, divided in entries:
        path = directory / name
        data = read_curve_file(path, columns or data_format.columns, data_format.position_unit,
                               data_format.transmittance_unit,
                               exclude_lines=(common + exclude).lines)
        data = _exclude_positions(data, common.positions, exclude.positions, path)
        values = data.transmittance
        least = 2 * normalisation.far_field_points + 1
        if values.size < least:
            left = f" after {len(data.missing)} left out" if data.missing else ""
            raise InputError(f"{path}: {values.size} points{left}; a curve needs at least "
                             f"{least} (far_field_points = {normalisation.far_field_points} at "
                             "each end and one between)")
        if data.raw:
            try:
                normalisation.check_points(values.size)
                if normalisation.mode == "far-field":
                    _check_far_field(normalisation.far_field(values), normalisation)
                values = normalisation.normalise_data(values)
            except ValueError as error:
                raise InputError(f"{path}: {error}") from None
        # Positions on the model's axis, which points along the beam.
        positions = -data.positions if data_format.stage_direction == "against-beam" \
            else data.positions
        curves.append(Curve(name, energy, positions, values, data.sigma, data.columns,
                            data.units, data.skipped, data.missing, aperture, divided))
        files.append(InputFile("curve", path, data.sha256))
    first = curves[0]
    for curve in curves[1:]:
        if (curve.sigma is None) != (first.sigma is None):
            with_sigma, without = (curve, first) if first.sigma is None else (first, curve)
            raise InputError(f"{directory}: {with_sigma.file} has a sigma column (standard "
                             f"deviation), {without.file} has none: give it for every curve "
                             "or for none")
    return tuple(curves), tuple(files)


# The curve without the points at excluded positions: `common` ([data]
# exclude) where the curve has them, `own` ([[curve]] exclude) each of
# which it must have.
def _exclude_positions(data, common, own, path):
    if not common and not own:
        return data
    drop = np.zeros(data.positions.size, dtype=bool)
    for position in common + own:
        hit = np.abs(data.positions - position) <= EXCLUDE_TOLERANCE_MM
        if position in own and not hit.any():
            raise InputError(f"{path}: exclude names position {position:g} mm, which the curve "
                             "does not have")
        drop |= hit
    if not drop.any():
        return data
    keep = ~drop
    missing = tuple(sorted(data.missing + tuple(
        (int(number), f"position {float(position)!r} mm", "excluded")
        for number, position in zip(np.array(data.lines)[drop], data.positions[drop]))))
    return replace(data, positions=data.positions[keep], transmittance=data.transmittance[keep],
                   sigma=None if data.sigma is None else data.sigma[keep],
                   lines=tuple(np.array(data.lines)[keep].tolist()), missing=missing)


# A TOML file as a dict and the SHA-256 of its bytes; InputError with a
# one-line message when it cannot be read.
def load_toml(path):
    path = Path(path)
    raw = read_input_bytes(path, MAX_TOML_BYTES, "a set-up or parameter file has a few dozen "
                           "lines")
    # Editors on Windows start UTF-8 files with a byte-order mark; TOML has none.
    body = raw[len(codecs.BOM_UTF8):] if raw.startswith(codecs.BOM_UTF8) else raw
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as error:
        line = body[:error.start].count(b"\n") + 1
        raise InputError(f"{path} line {line}: not valid UTF-8 (byte 0x{body[error.start]:02x}); "
                         "TOML files are UTF-8: save it as UTF-8") from None
    try:
        return tomllib.loads(text), hashlib.sha256(raw).hexdigest()
    except tomllib.TOMLDecodeError as error:
        raise InputError(f"{path}: not valid TOML: {error}") from None
    except ValueError:
        # Python refuses to convert integers of more than 4300 digits.
        raise InputError(f"{path}: holds an integer of thousands of digits; no set-up value "
                         "needs more than a few") from None
    except RecursionError:
        raise InputError(f"{path}: arrays or tables nested too deeply to read "
                         "(a set-up file nests at most two levels)") from None


# Read and check setup.toml of a directory (the curve files are not read).
def read_setup_file(directory):
    directory = Path(directory)
    if not directory.is_dir():
        raise InputError(f"{directory}: not a directory")
    setup_path = directory / SETUP_FILE
    doc, sha256 = load_toml(setup_path)
    where = str(setup_path)
    for key in doc:
        if key not in KNOWN_KEYS:
            raise InputError(f"{where}: unknown table or key {key!r}; known tables: "
                             + ", ".join(f"[{name}]" for name in KNOWN_KEYS))
    setup, is_sa = _read_setup(doc, where)
    entries = _curve_entries(doc, where)
    return SetupFile(setup_path, doc, setup, is_sa, entries, InputFile("setup", setup_path, sha256),
                     _read_data_format(doc, where))


# Read and check a measurement directory; InputError with a one-line message otherwise.
def read_measurement(directory):
    """Read and check a measurement directory (setup.toml and its curve files).

    Parameters
    ----------
    directory : str or path-like
        The directory.

    Returns
    -------
    Measurement
        Set-up, curves (positions in mm, transmittance normalised as [data]
        says, sigma), start values, fitted parameters and settings; give it
        to tarvo.fit (or several, for a global fit).

    Raises
    ------
    tarvo.files.InputError
        With a one-line message naming the file and the problem.
    """
    setup_file = read_setup_file(directory)
    directory = Path(directory)
    where = str(setup_file.path)
    start, fit_names, n_starts, optics = _read_fit(setup_file.document, where)
    start, sigma_1_from = _sigma_1_from_absorption(setup_file.document, setup_file.setup, start,
                                                   fit_names, where)
    options = read_fit_options(setup_file.document, where)
    curves, curve_files = _read_curves(setup_file.curve_entries, directory,
                                       setup_file.data_format)
    points = sum(curve.positions.size for curve in curves)
    if points <= len(fit_names):
        raise InputError(f"{where}: {points} data points for {len(fit_names)} fitted parameters; "
                         "a fit needs more points than parameters")
    uncertainties = _read_uncertainties(setup_file.document, where, len(curves), sigma_1_from,
                                        fit_names)
    return Measurement(directory, setup_file.setup, setup_file.is_sa, curves, start, fit_names,
                       n_starts, (setup_file.source,) + curve_files, options,
                       setup_file.data_format, sigma_1_from, uncertainties, optics)


# The [uncertainty] table, checked (None when absent): the set-up quantities'
# uncertainties of the error budget; a held sigma_1 from [sample] absorbance
# or linear_transmittance follows the quantities it was computed from.
def _read_uncertainties(doc, where, curves, sigma_1_from, fit_names):
    table = _table(doc, UNCERTAINTY_TABLE, where, required=False)
    if not table:
        return None
    label = f"{where} [{UNCERTAINTY_TABLE}] "
    absorption = None if sigma_1_from is None else sigma_1_from["alpha_cm-1"]
    try:
        uncertainties = SetupUncertainties.of(dict(table), label, absorption)
    except ValueError as error:
        raise InputError(str(error)) from None
    energies = uncertainties.entries.get("pulse_energy")
    if isinstance(energies, tuple) and len(energies) != curves:
        raise InputError(f"{label}pulse_energy lists {len(energies)} uncertainties for {curves} "
                         "curves: give one per [[curve]], or one number for all")
    if "absorbance" in uncertainties.entries and sigma_1_from is None:
        raise InputError(f"{label}absorbance: [sample] gives no absorbance or "
                         "linear_transmittance, so the absorbance does not enter the fit")
    return uncertainties


# The key of a known focus position (mm, stage coordinates) in a truth file.
TRUTH_FOCUS = "focus_mm"


# Parameter values from a small TOML file (name = value) and the file's record;
# `extra` names keys beyond the eight parameters that the file may hold.
def read_parameter_file(path, role, extra=()):
    path = Path(path)
    doc, sha256 = load_toml(path)
    values = {}
    for name, value in doc.items():
        if name not in NAMES + OPTICAL_NAMES and name not in extra:
            raise InputError(f"{path}: unknown parameter {name!r}; the parameters are "
                             + ", ".join(NAMES + OPTICAL_NAMES + tuple(extra)))
        if (isinstance(value, bool) or not isinstance(value, (int, float))
                or not math.isfinite(value)):
            raise InputError(f"{path}: {name} must be a finite number, got {value!r}")
        values[name] = float(value)
    return values, InputFile(role, path, sha256)


# Known parameter values from a small TOML file (name = value), for comparison.
def read_truth(path):
    return read_parameter_file(path, "truth", (TRUTH_FOCUS,))[0]
