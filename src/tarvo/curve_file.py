"""Reading one measured curve from the text table that lab software exports.

A curve file has a column of positions and either a column of transmittance
(with, optionally, its standard deviation) or the raw detector signals
(signal and, optionally, reference). What each column holds is said once:
by `columns` ([data] columns in setup.toml), or by a header line whose
fields name the columns ("position (mm), transmittance, sigma"); a file of
two unnamed columns is position and transmittance. Units come from the
settings or from the header ("z (µm)", "Position [cm]", "position_in", "T (%)"),
by the place of the column; a header unit that contradicts the setting, or
that names no unit of the quantity, is an error: no unit is guessed. The reader accepts what
spreadsheets and acquisition programs write:

- UTF-8 with or without a byte-order mark, UTF-16 with a byte-order mark, and
  Latin-1 (for header lines such as "z (µm)" saved by older Windows software);
- columns separated by commas, semicolons, tabs or runs of spaces, with
  fields optionally in double quotes;
- decimal points, or decimal commas where the columns are separated by
  something else (semicolons, tabs, spaces, or quoted comma-separated fields);
- leading text lines (headers, and metadata such as "Pulse energy (uJ)	2")
  before the data, lines starting with "#" and blank lines anywhere.

It never drops a data line: every line after the first data line must read as
numbers. A leading line is skipped (and listed in the result) when it does not
read as data, unless every field of it holds digits: then it is a damaged
first data line and is reported. With `columns` given, a leading line of
numbers with another column count is skipped too. Whatever admits two
readings with different numbers is refused with the line named.
"""

import codecs
import csv
import hashlib
import math
import re
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _native
from .errors import InputError
from .files import read_input_bytes


# The model shifts each curve by the mean of its first five and last five points.
MIN_POINTS = _native.MIN_POINTS_PER_CURVE

# Largest curve file read: a Z-scan has tens to thousands of rows (a few kB).
MAX_FILE_BYTES = 32 * 1024 * 1024

# Most points per curve: far beyond any scan, small enough that the fit's
# work arrays stay modest.
MAX_POINTS = 100_000

# Largest magnitude accepted for a position (mm), transmittance or standard
# deviation: beyond it none makes sense, and squares of residuals would
# overflow towards infinity. Raw detector signals may be larger.
MAX_ABS_VALUE = 1.0e6
MAX_ABS_SIGNAL = 1.0e30

# Longest line read: a data line holds a few numbers, a header a few words.
# (Python's csv module refuses fields beyond 131,072 characters.)
MAX_LINE_CHARS = 10_000

# Most columns of a curve file.
MAX_COLUMNS = 16

# What a column can hold (`columns` names them in order); "skip" ignores one.
COLUMN_ROLES = ("position", "transmittance", "sigma", "signal", "reference", "skip")

# Header names of each role (lower case, unit removed).
HEADER_NAMES = {
    "position": ("position", "pos", "z", "x", "stage", "stage position", "distance"),
    "transmittance": ("transmittance", "transmission", "t", "normalised transmittance",
                      "normalized transmittance", "norm. transmittance", "t_norm", "t norm",
                      "normalised_transmittance", "normalized_transmittance"),
    "sigma": ("sigma", "σ", "std", "stdev", "std dev", "sd", "standard deviation",
              "standard_deviation", "error", "err", "uncertainty"),
    "signal": ("signal", "sig", "detector", "signal detector", "transmitted"),
    "reference": ("reference", "ref", "monitor", "reference detector", "incident"),
}

# Units of positions (to mm) and of transmittance (to a fraction), as written.
POSITION_UNITS = {"m": 1000.0, "cm": 10.0, "mm": 1.0, "um": 1e-3, "µm": 1e-3, "μm": 1e-3,
                  "nm": 1e-6, "in": 25.4}
TRANSMITTANCE_UNITS = {"fraction": 1.0, "percent": 0.01, "%": 0.01}
# Other ways of writing them in a header.
UNIT_ALIASES = {"micron": "um", "microns": "um", "micrometre": "um", "micrometer": "um",
                "micrometres": "um", "micrometers": "um", "millimetre": "mm",
                "millimeter": "mm", "millimetres": "mm", "millimeters": "mm", "metre": "m",
                "meter": "m", "metres": "m", "meters": "m", "centimetre": "cm",
                "centimeter": "cm", "centimetres": "cm", "centimeters": "cm",
                "nanometre": "nm", "nanometer": "nm", "nanometres": "nm", "nanometers": "nm",
                "inch": "in", "inches": "in", '"': "in", "per cent": "percent",
                "pct": "percent"}
# The canonical name of each unit, for records and messages.
UNIT_NAMES = {"µm": "um", "μm": "um", "%": "percent"}

# A header field "name (unit)", "name [unit]" or "name_unit".
_UNIT_FIELD = re.compile(r"^(?P<name>.*?)\s*[\(\[]\s*(?P<unit>[^\)\]]*?)\s*[\)\]]\s*$")
_UNIT_SUFFIX = re.compile(r"^(?P<name>.+?)_(?P<unit>[a-zµμ%]+)$")

# A number with a decimal point or a decimal comma (no thousands separators).
_NUMBER = {
    ".": re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?"),
    ",": re.compile(r"[+-]?(?:\d+(?:,\d*)?|,\d+)(?:[eE][+-]?\d+)?"),
}

# Not-a-number and infinities, recognised as numbers so that the message can
# say that values must be finite.
_SPECIAL = re.compile(r"[+-]?(?:nan|inf|infinity)", re.IGNORECASE)


# How the columns of a file are separated and which decimal mark its numbers use.
@dataclass(frozen=True)
class Layout:
    separator: str | None  # None: runs of whitespace
    decimal: str

    # The layout as words, for messages.
    def describe(self):
        names = {",": "commas", ";": "semicolons", "\t": "tabs", None: "spaces"}
        mark = "decimal points" if self.decimal == "." else "decimal commas"
        return f"columns separated by {names[self.separator]}, {mark}"


# Every layout tried, most common first.
LAYOUTS = (
    Layout(",", "."), Layout(";", "."), Layout(";", ","), Layout("\t", "."),
    Layout("\t", ","), Layout(None, "."), Layout(None, ","), Layout(",", ","),
)


# A measured curve as read from its file: positions in mm; `transmittance`
# (a fraction) or, for raw detector files (`raw` true), signal / reference
# still to be normalised; the units read, the columns' roles and the leading
# lines skipped (line number, text).
@dataclass(frozen=True, repr=False)
class CurveData:
    positions: np.ndarray
    transmittance: np.ndarray
    sigma: np.ndarray | None
    sha256: str
    encoding: str
    layout: Layout
    raw: bool = False
    columns: tuple = ("position", "transmittance")
    units: dict = None
    skipped: tuple = ()
    # Points left out, as (line number, text, why): readings that are not a
    # number ("OVL", "NaN", "---", an empty field) and data lines commented out.
    missing: tuple = ()
    # The line number of each point read.
    lines: tuple = ()

    def __repr__(self):
        left = f", {len(self.missing)} left out" if self.missing else ""
        kind = "signal ratio" if self.raw else "transmittance"
        return (f"CurveData({self.positions.size} points of {kind}{left}, "
                f"columns {', '.join(self.columns)}, {self.layout.describe()})")


# Why a line did not read under a layout: a message without file and line.
class _LineProblem(Exception):
    pass


# The text of a file's bytes and the name of its encoding.
def decode_text(raw, path):
    for bom, name in ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
                      (codecs.BOM_UTF16_BE, "utf-16-be")):
        if raw.startswith(bom):
            body = raw[len(bom):]
            try:
                return body.decode(name), name.upper() + " with byte-order mark"
            except UnicodeDecodeError as error:
                line = body[:error.start].count(b"\n" if name == "utf-8" else "\n".encode(name)) + 1
                raise InputError(f"{path} line {line}: not valid {name.upper()} although the "
                                 "file starts with its byte-order mark") from None
    try:
        return raw.decode("utf-8"), "UTF-8"
    except UnicodeDecodeError:
        # Latin-1 reads every byte; only header text can hold such characters,
        # numbers are plain ASCII in every encoding in use.
        return raw.decode("latin-1"), "Latin-1"


# The fields of a line under a layout (quotes removed, spaces trimmed).
def _fields(line, layout):
    if layout.separator is None:
        fields = line.split()
    else:
        fields = [f.strip() for f in next(csv.reader([line], delimiter=layout.separator))]
    # A trailing separator leaves an empty last field: not a column.
    while fields and fields[-1] == "":
        fields.pop()
    return fields


# One field as a number under the decimal mark, or None.
def _number(field, decimal):
    if _NUMBER[decimal].fullmatch(field):
        return float(field.replace(",", ".")) if decimal == "," else float(field)
    if _SPECIAL.fullmatch(field):
        return float(field)
    return None


# The numbers of one line under a layout, None for a field that is no
# number (a reading marked missing: "OVL", "---", an empty field), and
# `width` the columns of the data lines (None before the first: then every
# field must be a number); _LineProblem when it does not read.
def _read_line(line, layout, width=None):
    values = []
    fields = _fields(line, layout)
    for field in fields:
        value = _number(field, layout.decimal)
        if value is None:
            other = "," if layout.decimal == "." else "."
            if _number(field, other) is not None and other in field:
                mark = "a decimal comma" if other == "," else "a decimal point"
                raise _LineProblem(f"{field!r} has {mark} where the file uses "
                                   f"{'decimal points' if other == ',' else 'decimal commas'}")
            if width is None:
                raise _LineProblem(f"not a number in {line.strip()!r}" if field else
                                   f"empty column in {line.strip()!r}")
        values.append(value)
    if width is not None and 0 < len(values) < width:
        # Empty fields at the end of a data line: readings missing.
        values += [None] * (width - len(values))
    if not 2 <= len(values) <= MAX_COLUMNS:
        raise _LineProblem(f"expected 2 to {MAX_COLUMNS} columns (position and transmittance, "
                           f"or as [data] columns names them), found {len(values)}")
    if all(value is None for value in values):
        raise _LineProblem(f"not a number in {line.strip()!r}")
    return values


# The layout a lone bad line most probably meant, for its message.
def _likely_layout(line):
    for separator in ("\t", ";", ","):
        if separator in line:
            decimal = "," if separator != "," and "," in line else "."
            return Layout(separator, decimal)
    return Layout(None, "," if "," in line else ".")


# A leading line that does not read as data is a header or metadata line
# ("Pulse energy (uJ)	2") when it starts with a letter; one that starts
# like a number is a damaged data row ("-30.0,n/a") and is reported.
def _is_header(line):
    text = line.lstrip("\"' ")
    return not text or text[0].isalpha()


# The lines of a text with their 1-based numbers, for any line-end convention.
def _numbered_lines(text):
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return enumerate(lines, start=1)


# Rows of numbers, their line numbers and the leading lines skipped (line
# number, text) from the text of a curve file; `expected` is the column count
# that `columns` gives, or None.
def _parse_rows(text, path, expected=None):
    candidates = list(LAYOUTS)     # layouts that have read every data line so far
    rows = {layout: [] for layout in LAYOUTS}
    widths = {}                    # columns of each layout on the first data line
    line_numbers, first_line, skipped = [], None, []
    commented = []                 # comment lines after the first data line
    for number, line in _numbered_lines(text):
        if len(line) > MAX_LINE_CHARS:
            raise InputError(f"{path} line {number}: {len(line)} characters; a line of a curve "
                             f"file holds two or three numbers (limit {MAX_LINE_CHARS}): is it "
                             "the right file?")
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            if first_line is not None and stripped.lstrip("#").strip():
                commented.append((number, stripped))
            continue
        results = {}
        problems = {}
        other_count = False        # reads as numbers, but not in the columns named
        for layout in candidates:
            try:
                values = _read_line(stripped, layout, widths.get(layout))
            except _LineProblem as problem:
                problems[layout] = str(problem)
                continue
            if first_line is None and expected is not None and len(values) != expected:
                problems[layout] = (f"found {len(values)} columns where [data] columns names "
                                    f"{expected}")
                other_count = True
                continue
            if first_line is not None and len(values) != widths[layout] and None in values:
                field = _fields(stripped, layout)[values.index(None)]
                problems[layout] = (f"not a number in {stripped!r}" if field else
                                    f"empty column in {stripped!r}")
                continue
            if first_line is not None and len(values) != widths[layout]:
                problems[layout] = (f"found {len(values)} columns where line {first_line} has "
                                    f"{widths[layout]}: every data line needs the same columns")
                continue
            results[layout] = values
        if not results:
            if first_line is None and (_is_header(stripped) or other_count):
                skipped.append((number, stripped))
                continue
            if first_line is None:
                problem = problems[_likely_layout(stripped)]
                if problem.startswith("not a number"):
                    problem += ("; a header line must not start with a number (start other "
                                "text lines with #)")
            else:
                problem = problems[candidates[0]]
            raise InputError(f"{path} line {number}: {problem}")
        if first_line is None:
            first_line = number
            widths = {layout: len(values) for layout, values in results.items()}
        candidates = [layout for layout in candidates if layout in results]
        for layout, values in results.items():
            rows[layout].append(values)
        line_numbers.append(number)
        if len(line_numbers) > MAX_POINTS:
            raise InputError(f"{path}: more than {MAX_POINTS} data rows; a Z-scan curve has "
                             "tens to thousands of points")
    if first_line is None:
        return candidates[0], [], [], skipped, ()
    _refuse_ambiguity(candidates, rows, line_numbers, path)
    layout = candidates[0]
    return layout, rows[layout], line_numbers, skipped, _commented_rows(commented, layout,
                                                                          widths[layout])


# Data lines commented out ("# 12.5, 0.97"): the lines after the first data
# line that, without their "#", read as a data line; (line number, text).
def _commented_rows(commented, layout, width):
    found = []
    for number, text in commented:
        try:
            values = _read_line(text.lstrip("#").strip(), layout, width)
        except _LineProblem:
            continue
        if len(values) == width:
            found.append((number, text))
    return tuple(found)


# Two layouts that read every line but give different numbers leave the data
# in doubt: refuse the file, naming the first line where they differ.
def _refuse_ambiguity(candidates, rows, line_numbers, path):
    chosen = candidates[0]
    for other in candidates[1:]:
        for k, (a, b) in enumerate(zip(rows[chosen], rows[other])):
            if a != b:
                raise InputError(
                    f"{path} line {line_numbers[k]}: ambiguous: reads as {a} with "
                    f"{chosen.describe()}, as {b} with {other.describe()}; write the file "
                    "with decimal points and commas between the columns")


# A header field split into its role (or None) and its unit as written (or None).
def _header_field(field):
    text = field.strip().strip('"').strip()
    unit = None
    match = _UNIT_FIELD.match(text)
    if match:
        text, unit = match["name"], match["unit"]
    else:
        match = _UNIT_SUFFIX.match(text.lower())
        known = sum(HEADER_NAMES.values(), ())
        if match and match["name"] in known and " ".join(text.lower().split()) not in known:
            text, unit = match["name"], match["unit"]
    name = " ".join(text.lower().split())
    role = next((role for role, names in HEADER_NAMES.items() if name in names), None)
    return role, unit


# The header line: the last leading line skipped that has `count` fields,
# none of them a number ("Pulse energy (uJ)	2" is metadata), split into
# (role or None, unit or None) per column; None when no line is one.
def _header_columns(skipped, layout, count):
    for _, text in reversed(skipped):
        fields = _fields(text, layout)
        if len(fields) == count and not any(_number(field.strip('"'), layout.decimal)
                                            is not None for field in fields):
            return [_header_field(field) for field in fields]
    return None


# A unit as a header writes it, by its canonical name; InputError for text
# that names none of `units` ("a.u.", "cm/10"): a unit is never guessed.
def _unit(unit, units, what, key, path):
    key_text = unit.strip()
    name = key_text if key_text in units else UNIT_ALIASES.get(key_text.lower(), key_text.lower())
    if name not in units:
        known = ", ".join(dict.fromkeys(UNIT_NAMES.get(u, u) for u in units))
        raise InputError(f"{path}: the header gives the {what} in {unit!r}, not a unit tarvo "
                         f"knows ({known}); write one of them in the header, or drop the unit "
                         f"there and set [data] {key}")
    return UNIT_NAMES.get(name, name)


# The unit of a quantity: the setting, the header's, or the default; a header
# unit that contradicts the setting is an error.
def _resolve_unit(setting, header, units, default, what, key, path):
    header = None if header is None else _unit(header, units, what, key, path)
    if setting is not None and header is not None and setting != header:
        raise InputError(f"{path}: the header gives the {what} in {header}, [data] {key} says "
                         f"{setting}: correct one of them")
    return setting or header or default


# Roles of the columns: `columns` when given, else the header's names, else
# position and transmittance for two columns; an unnamed third column is an error.
def _column_roles(columns, header, count, path):
    if columns is not None:
        return tuple(columns)
    if header is not None:
        return tuple(role for role, _ in header)
    if count == 2:
        return ("position", "transmittance")
    raise InputError(f"{path}: {count} columns, but neither a header line naming them nor [data] "
                     f"columns says what they hold; name each column in a header line or set "
                     f"[data] columns = [...] with one of {', '.join(COLUMN_ROLES)} per column "
                     "(e.g. [\"position\", \"transmittance\", \"sigma\"] or [\"position\", "
                     "\"signal\", \"reference\"])")


# Check that the roles make a curve: one position, a transmittance or a signal, each once.
def check_roles(roles, where):
    unknown = [role for role in roles if role not in COLUMN_ROLES]
    if unknown:
        raise InputError(f"{where}: unknown column {unknown[0]!r}; columns are "
                         + ", ".join(COLUMN_ROLES))
    for role in COLUMN_ROLES[:-1]:
        if roles.count(role) > 1:
            raise InputError(f"{where}: columns name {role} twice")
    if "position" not in roles:
        raise InputError(f"{where}: columns need a position column")
    if ("transmittance" in roles) == ("signal" in roles):
        raise InputError(f"{where}: columns need either a transmittance or a signal column "
                         "(signal and reference: raw detector readings the tool normalises)")
    if "sigma" in roles and "transmittance" not in roles:
        raise InputError(f"{where}: a sigma column belongs to a transmittance column")
    if "reference" in roles and "signal" not in roles:
        raise InputError(f"{where}: a reference column belongs to a signal column")
    return tuple(roles)


# Check the value ranges of the rows by the columns' roles; the message names the line.
def _check_values(data, line_numbers, roles, path):
    names = {"position": "position", "transmittance": "transmittance",
             "sigma": "standard deviation", "signal": "signal", "reference": "reference"}
    for row, number in zip(data, line_numbers):
        for role, value in zip(roles, row):
            if role == "skip":
                continue
            limit = MAX_ABS_SIGNAL if role in ("signal", "reference") else MAX_ABS_VALUE
            if abs(value) > limit:
                raise InputError(f"{path} line {number}: {names[role]} {value:g} is out of range: "
                                 f"values beyond {limit:g} are no positions, transmittances or "
                                 "their standard deviations")
            if role == "sigma" and not value > 0.0:
                raise InputError(f"{path} line {number}: the standard deviation (sigma column) "
                                 f"must be positive, got {value!r}")
            if role == "reference" and not value > 0.0:
                raise InputError(f"{path} line {number}: the reference signal must be positive "
                                 f"to divide by it, got {value!r}")


# The rows that hold every reading their columns need, their line numbers,
# and the points left out as (line number, text, why): readings that are not
# a number or not finite, data lines commented out, lines excluded on purpose.
def _drop_missing(rows, line_numbers, roles, text, commented, exclude_lines, path):
    texts = dict(_numbered_lines(text))
    unknown = sorted(set(exclude_lines) - set(line_numbers))
    if unknown:
        raise InputError(f"{path}: exclude names line {unknown[0]}, which is no data line of "
                         "the file")
    kept, numbers, missing = [], [], []
    for row, number in zip(rows, line_numbers):
        used = [value for role, value in zip(roles, row) if role != "skip"]
        if number in exclude_lines:
            missing.append((number, texts[number].strip(), "excluded"))
        elif any(value is None or not math.isfinite(value) for value in used):
            missing.append((number, texts[number].strip(), "not a number"))
        else:
            kept.append(row)
            numbers.append(number)
    missing += [(number, line, "commented out") for number, line in commented]
    return kept, numbers, tuple(sorted(missing))


# Positions, transmittance (or raw signal ratio) and standard deviations (or None) of a curve file.
def read_curve_file(path, columns=None, position_unit=None, transmittance_unit=None,
                    exclude_lines=()):
    """Read one curve file; InputError naming the file and line when it cannot.

    Parameters
    ----------
    path : str or Path
        The curve file.
    columns : sequence of str, optional
        The role of each column in order (see COLUMN_ROLES); None: from the
        header line, else position and transmittance.
    position_unit, transmittance_unit : str, optional
        Units of positions ("nm", "um", "mm", "cm", "m", "in") and transmittance ("fraction",
        "percent"); None: from the header, else mm and fraction.
    exclude_lines : sequence of int
        Line numbers of data lines to leave out (recorded as missing).

    Returns
    -------
    CurveData
        Positions in mm and transmittance as a fraction (or, for signal
        columns, the ratio signal / reference still to be normalised).
    """
    path = Path(path)
    if columns is not None:
        check_roles(tuple(columns), str(path))
    raw = read_input_bytes(path, MAX_FILE_BYTES, "a curve file has a few thousand rows at most")
    text, encoding = decode_text(raw, path)
    if "\0" in text:
        raise InputError(f"{path}: contains NUL bytes: not a text file, or UTF-16 without a "
                         "byte-order mark; save it as UTF-8 text")
    layout, rows, line_numbers, skipped, commented = _parse_rows(
        text, path, None if columns is None else len(columns))
    count = len(rows[0]) if rows else 0
    fields = _header_columns(skipped, layout, count)
    # The header names the columns when it names every one of them.
    header = fields if fields and all(role is not None for role, _ in fields) else None
    roles = check_roles(_column_roles(columns, header, count, path), str(path)) if rows else ()
    rows, line_numbers, missing = _drop_missing(rows, line_numbers, roles, text, commented,
                                                exclude_lines, path)
    if len(rows) < MIN_POINTS:
        left = f" ({len(missing)} left out)" if missing else ""
        raise InputError(f"{path}: {len(rows)} data rows{left}; a curve needs at least "
                         f"{MIN_POINTS}")
    if columns is not None and header is not None:
        named = tuple(role for role, _ in header)
        if named != roles:
            raise InputError(f"{path}: the header names the columns {', '.join(named)}, [data] "
                             f"columns says {', '.join(roles)}: correct one of them")
    _check_values(rows, line_numbers, roles, path)
    units = _units(roles, fields, position_unit, transmittance_unit, path)
    positions, values, sigma = _curve_values(rows, line_numbers, roles, units, path)
    return CurveData(positions=positions, transmittance=values, sigma=sigma,
                     sha256=hashlib.sha256(raw).hexdigest(), encoding=encoding, layout=layout,
                     raw="signal" in roles, columns=roles, units=units, skipped=tuple(skipped),
                     missing=missing, lines=tuple(line_numbers))


# The units of the position and transmittance columns: as given, else as the
# header names them, else mm and fraction.
def _units(roles, fields, position_unit, transmittance_unit, path):
    # Its units belong to the columns by place, whatever names the roles.
    header_units = {} if fields is None else {role: unit for role, (_, unit)
                                              in zip(roles, fields) if unit}
    units = {"position": _resolve_unit(position_unit, header_units.get("position"),
                                       POSITION_UNITS, "mm", "position", "position_unit", path)}
    if "transmittance" in roles:
        units["transmittance"] = _resolve_unit(
            transmittance_unit, header_units.get("transmittance"), TRANSMITTANCE_UNITS,
            "fraction", "transmittance", "transmittance_unit", path)
    return units


# Positions in mm (strictly monotonic), transmittance as a fraction (or the
# raw ratio signal / reference) and sigma (or None) from the kept rows.
def _curve_values(rows, line_numbers, roles, units, path):
    # A skipped column may hold anything.
    data = np.array([[math.nan if v is None else v for v in row] for row in rows],
                    dtype=np.float64)
    column = {role: data[:, k].copy() for k, role in enumerate(roles) if role != "skip"}
    steps = np.diff(column["position"])
    if not (np.all(steps > 0) or np.all(steps < 0)):
        bad = int(np.argmax(steps <= 0) if steps[0] > 0 else np.argmax(steps >= 0)) + 1
        raise InputError(f"{path} line {line_numbers[bad]}: position "
                         f"{float(column['position'][bad])!r} {units['position']} breaks the "
                         "order; positions must increase (or decrease) strictly")
    positions = column["position"] * POSITION_UNITS[units["position"]]
    if "transmittance" in roles:
        scale = TRANSMITTANCE_UNITS[units["transmittance"]]
        values = column["transmittance"] * scale
        sigma = column["sigma"] * scale if "sigma" in column else None
    else:
        values = column["signal"] / column["reference"] if "reference" in column \
            else column["signal"]
        sigma = None
    return positions, values, sigma
