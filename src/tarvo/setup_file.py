"""setup.toml: the TOML file, the checked values of its tables, the set-up
([beam], [sample], [model] slices), the curves it lists ([[curve]]) and how
their files are read ([data]), read into a tarvo.measurement.SetupFile."""

import codecs
import hashlib
import math
import tomllib
from pathlib import Path

from . import _native
from .budget import QUANTITIES
from .checks import PER_CM3_PER_MOL_L
from .counts import check_count
from .curve_file import POSITION_UNITS, TRANSMITTANCE_UNITS, UNIT_NAMES, check_roles
from .errors import InputError
from .files import read_input_bytes
from .measurement import STAGE_DIRECTIONS, DataFormat, Exclusions, InputFile, SetupFile
from .model_setup import Setup
from .normalisation import FAR_FIELD_POINTS, NORMALISATIONS, Normalisation
from .parameters import FIT_NAMES, NAMES, OPTICAL_NAMES


# The keys of [model] and [fit] that choose the engine, the model's variant and
# nodes, the focus and the weights (tarvo.fit_tables reads them), and the
# table of bounds.
MODEL_KEYS = ("variant", "radial_points", "intensity_points")
FIT_KEYS = ("engine", "fit_focus", "focus_mm", "weights", "force")
BOUNDS_TABLE = "bounds"
# The set-up's uncertainties, for the error budget.
UNCERTAINTY_TABLE = "uncertainty"


# Name of the set-up file inside a measurement directory.
SETUP_FILE = "setup.toml"


# Largest set-up or parameter file read: a set-up file has a few dozen lines.
MAX_TOML_BYTES = 1024 * 1024

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


# A finite real number (TOML integer or float).
def _is_number(value):
    return not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)


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


# The count table[key] (tarvo.counts), or None when absent (the model's
# default then applies).
def _optional_count(table, key, where):
    return None if key not in table else check_count(key, table[key], f"{where}: {key}")


# One of two keys of a table that say the same thing in different units;
# giving both (or neither) is an error. Returns the key given.
def _one_of(table, key, alternative, where, what):
    if key in table and alternative in table:
        raise InputError(f"{where}: give either {key} or {alternative} ({what}), not both")
    if key not in table and alternative not in table:
        raise InputError(f"{where}: missing {key} (or {alternative}): {what}")
    return key if key in table else alternative


# tau of the time profile exp(-(t/tau)^2) is the intensity FWHM over this factor.
FWHM_PER_TAU = 2.0 * math.sqrt(math.log(2.0))


# tau (s) of a pulse of intensity FWHM `fwhm` (s).
def tau_from_fwhm(fwhm):
    return fwhm / FWHM_PER_TAU


# The five initial populations (cm^-3) of a solution of `concentration`
# mol/L: every molecule in level 1.
def populations_from_concentration(concentration):
    return (concentration * PER_CM3_PER_MOL_L,) + (0.0,) * (LEVELS - 1)


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


# The [[curve]] tables: file name, pulse energy, columns, points excluded,
# aperture and divided_by_open of each curve.
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
    points = check_count("far_field_points", table.get("far_field_points", FAR_FIELD_POINTS),
                         f"{where}: far_field_points")
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

