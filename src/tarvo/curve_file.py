"""Reading one measured curve from the text table that lab software exports.

A curve file has two or three columns: position in mm, normalised
transmittance and, optionally, the standard deviation of each transmittance
value. The reader accepts what spreadsheets and acquisition programs write:

- UTF-8 with or without a byte-order mark, UTF-16 with a byte-order mark, and
  Latin-1 (for header lines such as "z (µm)" saved by older Windows software);
- columns separated by commas, semicolons, tabs or runs of spaces, with
  fields optionally in double quotes;
- decimal points, or decimal commas where the columns are separated by
  something else (semicolons, tabs, spaces, or quoted comma-separated fields);
- leading text lines (headers) before the data, lines starting with "#" and
  blank lines anywhere.

It never drops a data line: every line after the first data line must read as
numbers, and a leading line is taken for a header only when
none of its fields is a number, so a damaged first data line is reported
instead of being skipped. Whatever
admits two readings with different numbers is refused with the line named.
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
from .errors import InputError, read_input_bytes

# The model shifts each curve by the mean of its first five and last five points.
MIN_POINTS = _native.MIN_POINTS_PER_CURVE

# Largest curve file read: a Z-scan has tens to thousands of rows (a few kB).
MAX_FILE_BYTES = 32 * 1024 * 1024

# Most points per curve: far beyond any scan, small enough that the fit's
# work arrays stay modest.
MAX_POINTS = 100_000

# Largest magnitude accepted for any value: beyond it no position in mm,
# normalised transmittance or standard deviation makes sense, and squares of
# residuals would overflow towards infinity.
MAX_ABS_VALUE = 1.0e6

# Longest line read: a data line holds two or three numbers, a header a few
# words. (Python's csv module refuses fields beyond 131,072 characters.)
MAX_LINE_CHARS = 10_000

# Names of the columns, for messages.
COLUMN_NAMES = ("position", "transmittance", "standard deviation")

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


# A measured curve as read from its file.
@dataclass(frozen=True)
class CurveData:
    positions: np.ndarray
    transmittance: np.ndarray
    sigma: np.ndarray | None
    sha256: str
    encoding: str
    layout: Layout


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


# The numbers of one line under a layout; _LineProblem when it does not read.
def _read_line(line, layout):
    values = []
    for field in _fields(line, layout):
        value = _number(field, layout.decimal)
        if value is None:
            other = "," if layout.decimal == "." else "."
            if _number(field, other) is not None and other in field:
                mark = "a decimal comma" if other == "," else "a decimal point"
                raise _LineProblem(f"{field!r} has {mark} where the file uses "
                                   f"{'decimal points' if other == ',' else 'decimal commas'}")
            raise _LineProblem(f"not a number in {line.strip()!r}" if field else
                               f"empty column in {line.strip()!r}")
        values.append(value)
    if not 2 <= len(values) <= 3:
        raise _LineProblem(f"expected 2 or 3 columns (position in mm, normalised "
                           f"transmittance, optional standard deviation), found {len(values)}")
    return values


# The layout a lone bad line most probably meant, for its message.
def _likely_layout(line):
    for separator in ("\t", ";", ","):
        if separator in line:
            decimal = "," if separator != "," and "," in line else "."
            return Layout(separator, decimal)
    return Layout(None, "," if "," in line else ".")


# A leading line is a header when none of its fields is a number: then it
# cannot be a data row with one damaged value.
def _is_header(line):
    layout = _likely_layout(line)
    return all(_number(field, decimal) is None for field in _fields(line, layout)
               for decimal in ".,")


# The lines of a text with their 1-based numbers, for any line-end convention.
def _numbered_lines(text):
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return enumerate(lines, start=1)


# Rows of numbers and their line numbers from the text of a curve file.
def _parse_rows(text, path):
    candidates = list(LAYOUTS)     # layouts that have read every data line so far
    rows = {layout: [] for layout in LAYOUTS}
    widths = {}                    # columns of each layout on the first data line
    line_numbers, first_line = [], None
    for number, line in _numbered_lines(text):
        if len(line) > MAX_LINE_CHARS:
            raise InputError(f"{path} line {number}: {len(line)} characters; a line of a curve "
                             f"file holds two or three numbers (limit {MAX_LINE_CHARS}): is it "
                             "the right file?")
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        results = {}
        problems = {}
        for layout in candidates:
            try:
                values = _read_line(stripped, layout)
            except _LineProblem as problem:
                problems[layout] = str(problem)
                continue
            if first_line is not None and len(values) != widths[layout]:
                problems[layout] = (f"found {len(values)} columns where line {first_line} has "
                                    f"{widths[layout]}: every data line needs the same columns")
                continue
            results[layout] = values
        if not results:
            if first_line is None and _is_header(stripped):
                continue
            if first_line is None:
                problem = problems[_likely_layout(stripped)]
                if problem.startswith("not a number"):
                    problem += ("; a header line must not hold numbers (start other text "
                                "lines with #)")
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
        return candidates[0], [], []
    _refuse_ambiguity(candidates, rows, line_numbers, path)
    return candidates[0], rows[candidates[0]], line_numbers


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


# Check the value ranges of the rows; the message names the line.
def _check_values(data, line_numbers, path):
    for row, number in zip(data, line_numbers):
        if not all(math.isfinite(v) for v in row):
            raise InputError(f"{path} line {number}: values must be finite numbers, got "
                             + ", ".join(repr(float(v)) for v in row))
        for name, value in zip(COLUMN_NAMES, row):
            if abs(value) > MAX_ABS_VALUE:
                raise InputError(f"{path} line {number}: {name} {value:g} is out of range: "
                                 f"values beyond {MAX_ABS_VALUE:g} are no positions in mm, "
                                 "normalised transmittances or their standard deviations")
        if len(row) == 3 and not row[2] > 0.0:
            raise InputError(f"{path} line {number}: the standard deviation (third column) "
                             f"must be positive, got {row[2]!r}")


# Positions, transmittance and standard deviations (or None) of a curve file.
def read_curve_file(path):
    """Read one curve file; InputError naming the file and line when it cannot."""
    path = Path(path)
    raw = read_input_bytes(path, MAX_FILE_BYTES, "a curve file has a few thousand rows at most")
    text, encoding = decode_text(raw, path)
    if "\0" in text:
        raise InputError(f"{path}: contains NUL bytes: not a text file, or UTF-16 without a "
                         "byte-order mark; save it as UTF-8 text")
    layout, rows, line_numbers = _parse_rows(text, path)
    if len(rows) < MIN_POINTS:
        raise InputError(f"{path}: {len(rows)} data rows; a curve needs at least {MIN_POINTS}")
    _check_values(rows, line_numbers, path)
    data = np.array(rows, dtype=np.float64)
    steps = np.diff(data[:, 0])
    if not (np.all(steps > 0) or np.all(steps < 0)):
        bad = int(np.argmax(steps <= 0) if steps[0] > 0 else np.argmax(steps >= 0)) + 1
        raise InputError(f"{path} line {line_numbers[bad]}: position {float(data[bad, 0])!r} mm "
                         "breaks the order; positions must increase (or decrease) strictly")
    sigma = data[:, 2].copy() if data.shape[1] == 3 else None
    return CurveData(positions=data[:, 0].copy(), transmittance=data[:, 1].copy(), sigma=sigma,
                     sha256=hashlib.sha256(raw).hexdigest(), encoding=encoding, layout=layout)
