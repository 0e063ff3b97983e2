"""Curve files as lab software writes them: every point read exactly, or the line named."""

import codecs

import numpy as np
import pytest

from tarvo.curve_file import read_curve_file
from tarvo.files import InputError

# Positions and transmittance with digits that survive every layout below.
X = np.array([-30.0, -22.5, -15.0, -7.5, -1.25, 0.0, 1.25, 7.5, 15.0, 22.5, 30.0])
Y = np.array([1.0021, 0.9987, 0.9953, 0.961, 0.873, 0.8512, 0.8791, 0.9634, 0.9948, 1.0003,
              0.9991])
SIGMA = np.full(X.size, 0.004)


# Rows of the table as text: numbers joined by `sep`, decimal commas if asked.
def table(sep=",", decimal=".", quote=False, columns=(X, Y)):
    rows = []
    for values in zip(*columns):
        fields = [repr(float(v)) for v in values]
        if decimal == ",":
            fields = [f.replace(".", ",") for f in fields]
        if quote:
            fields = [f'"{f}"' for f in fields]
        rows.append(sep.join(fields))
    return rows


# Each case: the bytes of a file holding X and Y.
SAME_DATA = {
    "comma": "\n".join(["position_mm,normalised_transmittance"] + table()).encode(),
    "utf8-bom-header": codecs.BOM_UTF8 + "\n".join(["z,T"] + table()).encode(),
    # The first data row of every curve was lost here: taken for a header.
    "utf8-bom-no-header": codecs.BOM_UTF8 + "\n".join(table()).encode(),
    "no-header": "\n".join(table()).encode(),
    "semicolon-decimal-comma": "\n".join(["Position (mm);Transmission"]
                                         + table(";", ",")).encode(),
    "semicolon-decimal-point": "\n".join(table(";")).encode(),
    "tab-decimal-comma": "\n".join(["z\tT"] + table("\t", ",")).encode(),
    "spaces": "\n".join(["  z    T"] + ["   " + r for r in table("    ")]).encode(),
    "spaces-decimal-comma": "\n".join(table(" ", ",")).encode(),
    "quoted-decimal-comma": "\n".join(['"z","T"'] + table(",", ",", quote=True)).encode(),
    "latin1-micro": "\n".join(["Sample: 5 \u00b5M dye", "Position (mm);Transmission"]
                              + table(";", ",")).encode("latin-1"),
    "utf16-bom": ("\ufeff" + "\r\n".join(["z\tT"] + table("\t", ","))).encode("utf-16-le"),
    "crlf-trailing-separator": "\r\n".join(["z;T;"] + [r + ";" for r in table(";")]).encode(),
    "comments-blank-lines-two-headers": "\n".join(
        ["# exported 2026-03-01", "Sample: ZnPc in toluene", "z (mm), T", ""] + table()[:4]
        + ["", "# refocused"] + table()[4:] + [""]).encode(),
}


@pytest.mark.parametrize("content", SAME_DATA.values(), ids=SAME_DATA.keys())
def test_every_layout_gives_every_point_exactly(tmp_path, content):
    path = tmp_path / "curve.csv"
    path.write_bytes(content)
    data = read_curve_file(path)
    np.testing.assert_array_equal(data.positions, X)
    np.testing.assert_array_equal(data.transmittance, Y)
    assert data.sigma is None


def test_third_column_is_the_standard_deviation(tmp_path):
    path = tmp_path / "curve.csv"
    path.write_text("\n".join(["z;T;sd"] + table(";", ",", columns=(X, Y, SIGMA))) + "\n")
    data = read_curve_file(path)
    np.testing.assert_array_equal(data.transmittance, Y)
    np.testing.assert_array_equal(data.sigma, SIGMA)


def test_digest_is_that_of_the_bytes_read(tmp_path):
    import hashlib
    path = tmp_path / "curve.csv"
    path.write_bytes(SAME_DATA["utf8-bom-no-header"])
    assert read_curve_file(path).sha256 == hashlib.sha256(path.read_bytes()).hexdigest()


# Each case: lines of a file (joined with newlines) and the message after "curve.csv".
REFUSED = {
    # A damaged first row is reported, never skipped as a header.
    "damaged-first-row": (["-30.0,n/a"] + table()[1:],
                          " line 1: not a number in '-30.0,n/a'; a header line must not start "
                          "with a number (start other text lines with #)"),
    "unicode-minus-first-row": (["\u221230.0,1.0"] + table()[1:],
                                " line 1: not a number in '\u221230.0,1.0'"),
    "header-after-data": (table()[:3] + ["z,T"] + table()[3:], " line 4: not a number in 'z,T'"),
    "decimal-point-among-commas": (table(";", ",")[:6] + ["7.5;0,9634"] + table(";", ",")[7:],
                                   " line 7: '7.5' has a decimal point where the file uses "
                                   "decimal commas"),
    "decimal-comma-among-points": (table(";")[:2] + ["-22,5;0.9987"] + table(";")[3:],
                                   " line 3: '-22,5' has a decimal comma where the file uses "
                                   "decimal points"),
    "thousands-separator": (["1.001,5;0,98"] + table(";", ",")[1:],
                            " line 1: not a number in '1.001,5;0,98'"),
    "four-unnamed-columns": ([r + ",1,2" for r in table()], ": 4 columns, but neither a header "
                             "line naming them nor [data] columns says what they hold"),
    "three-unnamed-columns": ([r + ",0.004" for r in table()], ": 3 columns, but neither a "
                              "header line naming them nor [data] columns says what they hold"),
    "sigma-on-some-rows": (table()[:5] + [table()[5] + ",0.004"] + table()[6:],
                           " line 6: found 3 columns where line 1 has 2: every data line needs "
                           "the same columns"),
    "empty-column": (table()[:2] + ["-15.0,,0.99"] + table()[3:],
                     " line 3: empty column in '-15.0,,0.99'"),
    "huge-transmittance": (table()[:3] + ["-7.5,1e300"] + table()[4:],
                           " line 4: transmittance 1e+300 is out of range"),
    "huge-position": (["-1e7,1.0"] + table()[1:], " line 1: position -1e+07 is out of range"),
    "zero-sigma": (["z,T,sigma"] + [r + ",0.004" for r in table()[:3]] + [table()[3] + ",0"]
                   + [r + ",0.004" for r in table()[4:]],
                   " line 5: the standard deviation (sigma column) must be positive, got 0.0"),
    "too-few-rows": (["z,T"] + table()[:4], ": 4 data rows; a curve needs at least 5"),
    # "-25 ,1": two columns separated by a comma, or by a space with ",1" = 0.1
    # (a later line with a decimal point would settle it).
    "two-readings": ([f"{x} ,1" for x in range(-25, 30, 5)],
                     " line 1: ambiguous: reads as [-25.0, 1.0] with columns separated by "
                     "commas, decimal points, as [-25.0, 0.1] with columns separated by spaces, "
                     "decimal commas; write the file with decimal points and commas between the "
                     "columns"),
}


# name: (lines of the file, the 1-based rows of table() left out and why).
MISSING = {
    "overload": (table()[:3] + ["-7.5,OVL"] + table()[4:], [(4, "not a number")]),
    "nan-and-inf": (table()[:1] + ["-22.5,NaN", "-15.0,inf"] + table()[3:],
                    [(2, "not a number"), (3, "not a number")]),
    "dashes-tab-separated": ([r.replace(",", "\t") for r in table()[:6]] + ["1.25\t---"]
                             + [r.replace(",", "\t") for r in table()[7:]],
                             [(7, "not a number")]),
    "empty-last-field": (["z,T,sigma"] + [r + ",0.004" for r in table()[:8]] + ["15.0,0.9948,"]
                         + [r + ",0.004" for r in table()[9:]], [(9, "not a number")]),
    "commented-out": (table()[:5] + ["# " + table()[5]] + table()[6:],
                      [(6, "commented out")]),
}


@pytest.mark.parametrize("lines, left_out", MISSING.values(), ids=MISSING.keys())
def test_readings_that_are_not_numbers_are_left_out_with_their_line(tmp_path, lines, left_out):
    path = tmp_path / "curve.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    data = read_curve_file(path)
    header = 1 if lines[0].startswith("z") else 0
    rows = [k for k, _ in left_out]
    keep = np.array([k + 1 not in rows for k in range(X.size)])
    assert np.array_equal(data.positions, X[keep]) and np.array_equal(data.transmittance, Y[keep])
    assert [(number, why) for number, _, why in data.missing] == [
        (k + header, why) for k, why in left_out]
    assert [text for _, text, _ in data.missing] == [lines[k + header - 1].strip()
                                                      for k, _ in left_out]
    # Excluded on purpose by line number, a point is left out the same way.
    number = 10 + header
    excluded = read_curve_file(path, exclude_lines=(number,))
    assert excluded.positions.size == data.positions.size - 1
    assert (number, lines[number - 1].strip(), "excluded") in excluded.missing
    with pytest.raises(InputError, match=f"{path}: exclude names line 99, which is no data line"):
        read_curve_file(path, exclude_lines=(99,))


def test_too_few_readings_left_is_refused_naming_the_file(tmp_path):
    path = tmp_path / "curve.csv"
    path.write_text("\n".join(table()[:2] + [f"{x},OVL" for x in X[2:9]] + table()[9:]) + "\n")
    with pytest.raises(InputError) as refused:
        read_curve_file(path)
    assert str(refused.value) == f"{path}: 4 data rows (7 left out); a curve needs at least 5"


@pytest.mark.parametrize("lines, message", REFUSED.values(), ids=REFUSED.keys())
def test_doubtful_files_are_refused_naming_the_line(tmp_path, lines, message):
    path = tmp_path / "curve.csv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    with pytest.raises(InputError) as refused:
        read_curve_file(path)
    assert str(refused.value).startswith(f"{path}{message}")


@pytest.mark.parametrize("content, message", [
    (codecs.BOM_UTF8 + b"z,T\n-30.0,1.0\n\xff\n", " line 3: not valid UTF-8 although the file "
     "starts with its byte-order mark"),
    ("\n".join(table()).encode("utf-16-le"), ": contains NUL bytes: not a text file, or "
     "UTF-16 without a byte-order mark; save it as UTF-8 text"),
], ids=["bad-utf8-after-bom", "utf16-without-bom"])
def test_undecodable_files_are_refused(tmp_path, content, message):
    path = tmp_path / "curve.csv"
    path.write_bytes(content)
    with pytest.raises(InputError) as refused:
        read_curve_file(path)
    assert str(refused.value) == f"{path}{message}"


# Each case: header line, read settings, the file's columns, and the
# positions (mm), values and sigma (or None) expected.
SIGNAL = Y * 1000.0
COLUMNS_AND_UNITS = {
    "header-units": ("z (µm),T (%)", {}, (X, Y), X * 1e-3, Y * 0.01, None),
    "bracket-unit": ("Position [mm],transmittance", {}, (X, Y), X, Y, None),
    "suffix-unit": ("position_m,transmittance", {}, (X, Y), X * 1000.0, Y, None),
    "settings-units": ("", dict(position_unit="um", transmittance_unit="percent"), (X, Y),
                       X * 1e-3, Y * 0.01, None),
    "named-sigma": ("z,T,std", {}, (X, Y, SIGMA), X, Y, SIGMA),
    "columns-setting": ("", dict(columns=("position", "transmittance", "sigma")), (X, Y, SIGMA),
                        X, Y, SIGMA),
    "signal-reference": ("", dict(columns=("position", "signal", "skip", "reference")),
                         (X, SIGNAL, SIGMA, Y), X, SIGNAL / Y, None),
    "skip-ratio-column": ("z,signal,reference,ratio",
                          dict(columns=("position", "skip", "skip", "transmittance")),
                          (X, SIGNAL, SIGMA, Y), X, Y, None),
    # Every length unit a header writes, by its factor to mm.
    "cm-parentheses": ("z (cm),T", {}, (X, Y), X * 10.0, Y, None),
    "cm-brackets": ("Position [cm],transmittance", {}, (X, Y), X * 10.0, Y, None),
    "cm-suffix": ("position_cm,transmittance", {}, (X, Y), X * 10.0, Y, None),
    "inch": ("z (in),T", {}, (X, Y), X * 25.4, Y, None),
    "nanometre": ("z (nm),T", {}, (X, Y), X * 1e-6, Y, None),
    "cm-beside-its-setting": ("z (cm),T", dict(position_unit="cm"), (X, Y), X * 10.0, Y, None),
    # A header unit belongs to its column whatever [data] columns calls the
    # others (an unnamed index column, a ratio column).
    "unit-beside-unnamed-columns": ("index,z (um),ratio (%)",
                                    dict(columns=("skip", "position", "transmittance")),
                                    (X, X, Y), X * 1e-3, Y * 0.01, None),
}


@pytest.mark.parametrize("header, settings, columns, x, values, sigma",
                         COLUMNS_AND_UNITS.values(), ids=COLUMNS_AND_UNITS.keys())
def test_columns_and_units_are_read_as_said(tmp_path, header, settings, columns, x, values,
                                            sigma):
    path = tmp_path / "curve.csv"
    path.write_text("\n".join(([header] if header else []) + table(columns=columns)) + "\n")
    data = read_curve_file(path, **settings)
    np.testing.assert_allclose(data.positions, x, rtol=1e-15)
    np.testing.assert_allclose(data.transmittance, values, rtol=1e-15)
    assert (data.sigma is None) == (sigma is None)
    if sigma is not None:
        np.testing.assert_allclose(data.sigma, sigma, rtol=1e-15)
    assert data.raw == ("signal" in data.columns)


def test_metadata_lines_before_the_data_are_skipped_and_listed(tmp_path):
    path = tmp_path / "curve.csv"
    path.write_text("Pulse energy (uJ)\t2\nz (mm)\tT\n" + "\n".join(table("\t")) + "\n")
    data = read_curve_file(path)
    np.testing.assert_array_equal(data.transmittance, Y)
    assert data.skipped == ((1, "Pulse energy (uJ)\t2"), (2, "z (mm)\tT"))
    assert data.units == {"position": "mm", "transmittance": "fraction"}


@pytest.mark.parametrize("header, settings, message", [
    ("z (µm),T", dict(position_unit="mm"), ": the header gives the position in um, [data] "
     "position_unit says mm: correct one of them"),
    ("z,T,sigma", dict(columns=("position", "transmittance", "skip")), ": the header names the "
     "columns position, transmittance, sigma, [data] columns says position, transmittance, "
     "skip: correct one of them"),
    ("", dict(columns=("position", "sigma", "skip")), ": columns need either a transmittance or "
     "a signal column (signal and reference: raw detector readings the tool normalises)"),
    ("", dict(columns=("position", "signal", "sigma")), ": a sigma column belongs to a "
     "transmittance column"),
    ("z (cm),T", dict(position_unit="mm"), ": the header gives the position in cm, [data] "
     "position_unit says mm: correct one of them"),
    ("z (furlong),T", {}, ": the header gives the position in 'furlong', not a unit tarvo knows "
     "(m, cm, mm, um, nm, in); write one of them in the header, or drop the unit there and set "
     "[data] position_unit"),
    ("z (mm),T (a.u.)", {}, ": the header gives the transmittance in 'a.u.', not a unit tarvo "
     "knows (fraction, percent); write one of them in the header, or drop the unit there and "
     "set [data] transmittance_unit"),
    ("n,position_ft,T", dict(columns=("skip", "position", "transmittance")), ": the header gives "
     "the position in 'ft', not a unit tarvo knows (m, cm, mm, um, nm, in); write one of them "
     "in the header, or drop the unit there and set [data] position_unit"),
], ids=["unit-contradiction", "columns-contradiction", "no-transmittance", "sigma-of-signal",
        "cm-against-its-setting", "unknown-length", "unknown-transmittance",
        "unknown-beside-columns"])
def test_contradicting_or_incomplete_columns_are_refused(tmp_path, header, settings, message):
    path = tmp_path / "curve.csv"
    width = len(settings.get("columns", header.split(",")))
    path.write_text("\n".join(([header] if header else [])
                              + table(columns=(X, Y, SIGMA)[:width])) + "\n")
    with pytest.raises(InputError) as refused:
        read_curve_file(path, **settings)
    assert str(refused.value) == f"{path}{message}"
