"""Reading and checking a measurement directory: setup.toml and one CSV per curve."""

import math
import tomllib
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _native
from .parameters import COUNT, NAMES

# Name of the set-up file inside a measurement directory.
SETUP_FILE = "setup.toml"

# The model shifts each curve by the mean of its first five and last five points.
MIN_POINTS = _native.MIN_POINTS_PER_CURVE

# Starts of the multi-start fit when [fit] does not say (the module's default).
N_STARTS_DEFAULT = _native.N_STARTS_DEFAULT

# Levels of the model, hence entries of `populations`.
LEVELS = _native.LEVELS

# Time and depth slices the model needs at least.
MIN_SLICES = _native.MIN_SLICES

# Cross-sections come first in the parameter vector; the rest are time constants.
CROSS_SECTIONS = 3

# Tables and keys of setup.toml; a key outside these is almost always a typo.
KNOWN_KEYS = {
    "beam": ("wavelength", "w0", "M2", "tau"),
    "sample": ("sample_width", "populations", "is_sa"),
    "model": ("t_slices", "z_slices"),
    "curve": ("file", "pulse_energy"),
    "start": NAMES,
    "fit": ("parameters", "n_starts"),
}


# Bad input from the user: the message is one line that names the file and the problem.
class InputError(ValueError):
    pass


# Beam, pulse, sample and grid settings: the fixed part of the model.
@dataclass(frozen=True)
class Setup:
    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    populations: tuple
    t_slices: int
    z_slices: int

    # Keyword arguments for tarvo.simulate.
    def model_kwargs(self):
        return dict(populations=list(self.populations), sample_width=self.sample_width,
                    tau=self.tau, wavelength=self.wavelength, w0=self.w0, M2=self.M2,
                    t_slices=self.t_slices, z_slices=self.z_slices)


# One measured curve.
@dataclass(frozen=True)
class Curve:
    file: str
    pulse_energy: float
    positions: np.ndarray
    transmittance: np.ndarray


# A complete measurement directory, checked.
@dataclass(frozen=True)
class Measurement:
    directory: Path
    setup: Setup
    is_sa: bool
    curves: tuple
    start: np.ndarray
    fit_names: tuple
    n_starts: int

    # 0-based indices of the fitted parameters, in the order given.
    @property
    def fit_indices(self):
        return [NAMES.index(name) for name in self.fit_names]

    # Points per curve.
    @property
    def num_x_pts(self):
        return self.curves[0].positions.size

    # Positions of all curves, one row per curve (mm).
    @property
    def positions(self):
        return np.stack([c.positions for c in self.curves])

    # Measured transmittance of all curves, one row per curve.
    @property
    def transmittance(self):
        return np.stack([c.transmittance for c in self.curves])

    # Pulse energy of each curve (J).
    @property
    def pulse_energy(self):
        return np.array([c.pulse_energy for c in self.curves], dtype=np.float64)


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


# An integer from table[key], at least `least`.
def _integer(table, key, where, least, default=None):
    value = table.get(key, default)
    if value is None:
        raise InputError(f"{where}: missing {key}")
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise InputError(f"{where}: {key} must be an integer of at least {least}, got {value!r}")
    return value


# Beam, sample and grid settings from the parsed set-up file.
def _read_setup(doc, where):
    beam = _table(doc, "beam", where)
    sample = _table(doc, "sample", where)
    model = _table(doc, "model", where)
    populations = sample.get("populations")
    if (not isinstance(populations, list) or len(populations) != LEVELS
            or any(isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v)
                   or v < 0 for v in populations)):
        raise InputError(f"{where}: [sample] populations must be {LEVELS} numbers of at least 0 "
                         f"(cm^-3), got {populations!r}")
    is_sa = sample.get("is_sa", False)
    if not isinstance(is_sa, bool):
        raise InputError(f"{where}: [sample] is_sa must be true or false, got {is_sa!r}")
    setup = Setup(
        wavelength=_number(beam, "wavelength", f"{where} [beam]", "m"),
        w0=_number(beam, "w0", f"{where} [beam]", "m"),
        M2=_number(beam, "M2", f"{where} [beam]", "beam quality factor"),
        tau=_number(beam, "tau", f"{where} [beam]", "s"),
        sample_width=_number(sample, "sample_width", f"{where} [sample]", "cm"),
        populations=tuple(float(v) for v in populations),
        t_slices=_integer(model, "t_slices", f"{where} [model]", MIN_SLICES),
        z_slices=_integer(model, "z_slices", f"{where} [model]", MIN_SLICES),
    )
    return setup, is_sa


# Starting parameter vector and fitted names from [start] and [fit].
def _read_fit(doc, where):
    start_table = _table(doc, "start", where)
    start = np.array([_number(start_table, name, f"{where} [start]", unit,
                              allow_zero=i < CROSS_SECTIONS)
                      for i, (name, unit) in enumerate(zip(NAMES, ["cm^2"] * CROSS_SECTIONS
                                                           + ["s"] * (COUNT - CROSS_SECTIONS)))])
    fit = _table(doc, "fit", where)
    names = fit.get("parameters")
    if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
        raise InputError(f"{where}: [fit] parameters must be a non-empty list of parameter "
                         f"names ({', '.join(NAMES)})")
    for name in names:
        if name not in NAMES:
            raise InputError(f"{where}: [fit] parameters: unknown parameter {name!r}; the "
                             f"parameters are {', '.join(NAMES)}")
        if names.count(name) > 1:
            raise InputError(f"{where}: [fit] parameters names {name} twice")
        if start[NAMES.index(name)] == 0.0:
            raise InputError(f"{where}: [start] {name} is fitted and must not be 0 (the starts "
                             "scale it)")
    n_starts = _integer(fit, "n_starts", f"{where} [fit]", 1, default=N_STARTS_DEFAULT)
    return start, tuple(names), n_starts


# Positions and transmittance of one CSV file: two columns, an optional header line.
def read_curve_file(path):
    try:
        text = Path(path).read_text(encoding="utf-8")
    except FileNotFoundError:
        raise InputError(f"{path}: file not found") from None
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(f"{path}: cannot read: {error}") from None
    rows, line_numbers = [], []
    header_allowed = True
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        fields = [f.strip() for f in stripped.split(",")]
        try:
            values = [float(f) for f in fields]
        except ValueError:
            if header_allowed:
                header_allowed = False
                continue
            raise InputError(f"{path} line {number}: not a number in {stripped!r}") from None
        header_allowed = False
        if len(values) != 2:
            raise InputError(f"{path} line {number}: expected 2 columns (position in mm, "
                             f"normalised transmittance), found {len(values)}")
        if not all(math.isfinite(v) for v in values):
            raise InputError(f"{path} line {number}: values must be finite numbers, got "
                             f"{stripped!r}")
        rows.append(values)
        line_numbers.append(number)
    if len(rows) < MIN_POINTS:
        raise InputError(f"{path}: {len(rows)} data rows; a curve needs at least {MIN_POINTS}")
    data = np.array(rows, dtype=np.float64)
    steps = np.diff(data[:, 0])
    if not (np.all(steps > 0) or np.all(steps < 0)):
        bad = int(np.argmax(steps <= 0) if steps[0] > 0 else np.argmax(steps >= 0)) + 1
        raise InputError(f"{path} line {line_numbers[bad]}: position {float(data[bad, 0])!r} mm breaks "
                         "the order; positions must increase (or decrease) strictly")
    return data[:, 0].copy(), data[:, 1].copy()


# The curves listed in [[curve]], read and checked for equal sizes.
def _read_curves(doc, directory, where):
    entries = doc.get("curve")
    if not isinstance(entries, list) or not entries:
        raise InputError(f"{where}: no curves: add one [[curve]] table (file, pulse_energy) per "
                         "measured curve")
    curves = []
    for entry in entries:
        if not isinstance(entry, dict):
            raise InputError(f"{where}: every [[curve]] must be a table")
        _reject_unknown_keys(entry, "curve", where)
        name = entry.get("file")
        if not isinstance(name, str) or not name:
            raise InputError(f"{where}: a [[curve]] needs file = \"NAME.csv\"")
        energy = _number(entry, "pulse_energy", f"{where} [[curve]] {name}", "J")
        positions, transmittance = read_curve_file(directory / name)
        curves.append(Curve(name, energy, positions, transmittance))
    first = curves[0]
    for curve in curves[1:]:
        if curve.positions.size != first.positions.size:
            raise InputError(f"{directory}: {curve.file} has {curve.positions.size} points, "
                             f"{first.file} has {first.positions.size}: all curves need the "
                             "same number of points")
    return tuple(curves)


# A TOML file as a dict; InputError with a one-line message when it cannot be read.
def _load_toml(path):
    try:
        with open(path, "rb") as stream:
            return tomllib.load(stream)
    except FileNotFoundError:
        raise InputError(f"{path}: file not found") from None
    except tomllib.TOMLDecodeError as error:
        raise InputError(f"{path}: not valid TOML: {error}") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error}") from None


# Read and check a measurement directory; InputError with a one-line message otherwise.
def read_measurement(directory):
    directory = Path(directory)
    if not directory.is_dir():
        raise InputError(f"{directory}: not a directory")
    setup_path = directory / SETUP_FILE
    doc = _load_toml(setup_path)
    where = str(setup_path)
    for key in doc:
        if key not in KNOWN_KEYS:
            raise InputError(f"{where}: unknown table or key {key!r}; known tables: "
                             + ", ".join(f"[{name}]" for name in KNOWN_KEYS))
    setup, is_sa = _read_setup(doc, where)
    start, fit_names, n_starts = _read_fit(doc, where)
    curves = _read_curves(doc, directory, where)
    points = len(curves) * curves[0].positions.size
    if points <= len(fit_names):
        raise InputError(f"{where}: {points} data points for {len(fit_names)} fitted parameters; "
                         "a fit needs more points than parameters")
    return Measurement(directory, setup, is_sa, curves, start, fit_names, n_starts)


# Known parameter values from a small TOML file (name = value), for comparison.
def read_truth(path):
    path = Path(path)
    doc = _load_toml(path)
    truth = {}
    for name, value in doc.items():
        if name not in NAMES:
            raise InputError(f"{path}: unknown parameter {name!r}; the parameters are "
                             + ", ".join(NAMES))
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise InputError(f"{path}: {name} must be a number, got {value!r}")
        truth[name] = float(value)
    return truth
