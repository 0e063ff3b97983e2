"""Property-based fuzzing of the toolkit's readers: curve files and
setup.toml, in the persistent-worker harness of test_fit_zscan_fuzz.py (a
crash or a hang ends only the worker and fails the example).

Curve files are made of plausible pieces (headers, separators, decimal marks,
numbers of every form, quotes, byte-order marks, encodings) and then damaged
(bytes inserted, lines cut, overlong lines, NUL bytes), or are random bytes.
Set-up files start from a valid setup.toml whose values are replaced by TOML
values of any type and size, with keys and tables dropped, repeated or added.
Result documents start from a valid fit-result.json whose values are replaced
by JSON values of any type or removed; --candidates files are [[candidate]]
tables of any keys and TOML values (sometimes more than a plan takes); the
directory lists of global fits repeat, respell and mix valid and invalid
directories. Properties:

- a file is either read, or refused with InputError whose message is one line
  naming the file (a set-up file: or the curve file or directory it concerns);
  never another exception, a crash or a hang;
- a curve that is read has at least five rows of finite values, positions in
  strict order and positive standard deviations;
- a set-up that is read has its counts within their ranges;
- a result document loads, or FitResult.load raises ValueError in one line
  naming the file; candidates that are read are at most 1000, each with
  finite positive set-up values; a global fit's directories are prepared
  only when each is given once, none is OUT and their shared parameters agree.

TARVO_FUZZ_EXAMPLES sets the number of examples (`make fuzz` runs thousands)."""

import json
import math
import os

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from reader_fuzz_worker import DIRECTORY_PREFIX, ReaderFuzzWorker

from measurement_cases import SETUP_TOML

EXAMPLES = int(os.environ.get("TARVO_FUZZ_EXAMPLES", "300"))
TIMEOUT = float(os.environ.get("TARVO_FUZZ_TIMEOUT", "120"))


@pytest.fixture(scope="module")
def worker():
    worker = ReaderFuzzWorker(1, TIMEOUT)
    yield worker
    worker.close()


# --- curve files --------------------------------------------------------------------

SEPARATORS = [",", ";", "\t", " ", "   ", ", ", " ;"]
ENCODINGS = ["utf-8", "utf-8-sig", "utf-16", "utf-16-le", "latin-1"]


@st.composite
def number_text(draw, decimal):
    kind = draw(st.integers(0, 9))
    if kind < 5:
        text = repr(draw(st.floats(allow_nan=True, allow_infinity=True)))
    elif kind < 7:
        text = str(draw(st.integers(-10**30, 10**30)))
    elif kind < 8:
        text = draw(st.sampled_from(["nan", "-inf", "Infinity", "1e400", "-0", ".5", "5.",
                                     "1,5", "1.5e", "e5", "+", "", "0x10", "1_000"]))
    else:
        text = draw(st.text(max_size=8))
    if decimal == "," and draw(st.booleans()):
        text = text.replace(".", ",")
    if draw(st.integers(0, 9)) == 0:
        text = f'"{text}"'
    return text


@st.composite
def curve_bytes(draw):
    if draw(st.integers(0, 9)) == 0:
        return draw(st.binary(max_size=3000))
    separator = draw(st.sampled_from(SEPARATORS))
    decimal = draw(st.sampled_from([".", ","]))
    columns = draw(st.integers(1, 4))
    lines = []
    if draw(st.booleans()):
        lines.append(draw(st.sampled_from(["z (mm),T", "position;transmittance;sd",
                                           "# comment", "z (µm)\tT", ""])))
    rows = draw(st.integers(0, 40))
    plain = draw(st.booleans())
    for k in range(rows):
        if plain:
            values = [f"{-20.0 + k:.3f}", f"{1.0 - 0.01 * (k % 7):.4f}",
                      f"{0.01 + 0.001 * k:.4f}"][:columns]
            if decimal == ",":
                values = [value.replace(".", ",") for value in values]
        else:
            values = [draw(number_text(decimal)) for _ in range(columns)]
        lines.append(separator.join(values))
    text = draw(st.sampled_from(["\n", "\r\n", "\r"])).join(lines)
    data = text.encode(draw(st.sampled_from(ENCODINGS)), errors="replace")
    for _ in range(draw(st.integers(0, 2))):
        data = damage(draw, data)
    return data


def damage(draw, data):
    """`data` with one change: bytes inserted or removed, a long line, NUL bytes."""
    position = draw(st.integers(0, len(data)))
    kind = draw(st.integers(0, 4))
    if kind == 0:
        return data[:position] + draw(st.binary(min_size=1, max_size=20)) + data[position:]
    if kind == 1:
        return data[:position]
    if kind == 2:
        return data[:position] + b"7" * draw(st.sampled_from([9_999, 10_001, 140_000])) \
            + data[position:]
    if kind == 3:
        return data[:position] + b"\0" + data[position:]
    return data[:position] + b'"' + data[position:]


def check_refusal(outcome, name=None):
    """InputError in one line that starts with the file (`name`) or another
    path of the measurement directory."""
    assert outcome.type == "InputError", f"{outcome.type}: {outcome.message}"
    assert outcome.message and "\n" not in outcome.message, repr(outcome.message)
    head = outcome.message.split(": ", 1)[0]
    assert DIRECTORY_PREFIX in head and (name is None or name in head), outcome.message


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=curve_bytes())
def test_curve_files_are_read_or_refused_in_one_line(worker, data):
    outcome = worker.run({"reader": "curve", "data": data})
    event(f"{outcome.kind} {outcome.type or ''}".strip())
    assert outcome.kind not in ("crashed", "hung"), f"{outcome.kind}:\n{outcome.report}\n{data!r}"
    if outcome.kind == "raised":
        check_refusal(outcome, "curve.csv")
        return
    assert outcome.kind == "returned", outcome
    curve = outcome.result
    positions = curve["positions"]
    assert len(positions) >= 5 and len(curve["transmittance"]) == len(positions)
    assert all(math.isfinite(v) for v in positions + curve["transmittance"])
    steps = [b - a for a, b in zip(positions, positions[1:])]
    assert all(s > 0 for s in steps) or all(s < 0 for s in steps)
    if curve["sigma"] is not None:
        assert all(math.isfinite(s) and s > 0 for s in curve["sigma"])


# --- setup.toml ---------------------------------------------------------------------

TOML_VALUES = st.one_of(
    st.integers(-2**70, 2**70).map(str),
    st.sampled_from(["nan", "inf", "-inf", "1e400", "0", "-1", "10000000000", "1.5",
                     "true", "false", "1979-05-27", "07:32:00", '""', '"energy"', '"lsoda"',
                     '"exact"', '"established"', "[]", "[1, 2]", "[0.0, 1e-15]", "[[1]]",
                     "{a = 1}", '["sigma_1", "sigma_1"]', '["focus"]', "[" * 40 + "]" * 40]),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.text(max_size=10).map(lambda text: '"' + text.replace("\\", "").replace('"', "")
                              .replace("\n", "") + '"'),
)

EXTRA_LINES = ["[model]\nvariant = {v}", "radial_points = {v}", "fit_focus = {v}",
               "focus_mm = {v}", "[bounds]\nsigma_1 = {v}", "[bounds]\nfocus = {v}",
               "engine = {v}", "n_starts = {v}", "unknown = {v}", "[[curve]]\nfile = {v}\n"
               "pulse_energy = 1e-5", "[fit]\nparameters = {v}", "t_slices = {v}",
               "z_slices = {v}", "is_sa = {v}"]


@st.composite
def setup_bytes(draw):
    lines = SETUP_TOML.splitlines()
    for _ in range(draw(st.integers(0, 4))):
        k = draw(st.integers(0, len(lines) - 1))
        change = draw(st.integers(0, 3))
        if change < 2 and "=" in lines[k]:
            key = lines[k].split("=", 1)[0]
            lines[k] = f"{key}= {draw(TOML_VALUES)}"
        elif change == 2:
            del lines[k]
        else:
            lines.insert(k, draw(st.sampled_from(EXTRA_LINES)).format(v=draw(TOML_VALUES)))
    data = "\n".join(lines).encode("utf-8")
    if draw(st.integers(0, 9)) == 0:
        data = damage(draw, data)
    return data


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=setup_bytes())
def test_setup_files_are_read_or_refused_in_one_line(worker, data):
    from tarvo.counts import MAX_STARTS

    outcome = worker.run({"reader": "setup", "data": data})
    event(f"{outcome.kind} {outcome.type or ''}".strip())
    assert outcome.kind not in ("crashed", "hung"), f"{outcome.kind}:\n{outcome.report}\n{data!r}"
    if outcome.kind == "raised":
        check_refusal(outcome)
        return
    assert outcome.kind == "returned", outcome
    assert 1 <= outcome.result["n_starts"] <= MAX_STARTS
    assert outcome.result["engine"] in ("exact", "lsoda")


def test_the_valid_files_are_read(worker):
    valid = worker.run({"reader": "setup", "data": SETUP_TOML.encode()})
    assert valid.kind == "returned" and valid.result["fit_names"] == ["sigma_1"]
    curve = worker.run({"reader": "curve", "data": b"z,T\n-2,1\n-1,1\n0,0.9\n1,1\n2,1\n"})
    assert curve.kind == "returned" and curve.result["positions"] == [-2, -1, 0, 1, 2]


# --- fit-result.json (FitResult.load) -------------------------------------------------

@pytest.fixture(scope="module")
def result_document():
    """A valid result document of tarvo.fit, the base of the damaged ones."""
    import tarvo
    from tarvo.result_files import result_document_of

    from measurement_cases import ENERGIES, GRIDS, POSITIONS, noisy_curves
    from model_cases import BEAM, POPULATIONS, RSA_PARS

    params = tarvo.Parameters.from_spec_pars(RSA_PARS, vary=["sigma_1"])
    result = tarvo.fit(POSITIONS, noisy_curves(), list(ENERGIES.values()), params,
                       **dict(BEAM, populations=POPULATIONS), **GRIDS, checks="off")
    return json.loads(json.dumps(result_document_of(result)))


JSON_VALUES = st.one_of(
    st.sampled_from([None, True, False, "false", "abc", "", 0, -1, 1, 2**70, 1e308,
                     float("nan"), float("inf"), [], {}, [1.0], [None], [[]], {"a": 1},
                     "energy", "sigma_1"]),
    st.floats(), st.integers(), st.text(max_size=8),
    st.lists(st.floats(), max_size=4),
)


def _paths(document, prefix=()):
    """Every key path of a JSON document."""
    paths = []
    items = document.items() if isinstance(document, dict) else \
        enumerate(document) if isinstance(document, list) else ()
    for key, value in items:
        paths.append(prefix + (key,))
        paths += _paths(value, prefix + (key,))
    return paths


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_result_documents_are_loaded_or_refused_in_one_line(worker, result_document, data):
    document = json.loads(json.dumps(result_document))
    for _ in range(data.draw(st.integers(1, 3))):
        paths = _paths(document)
        if not paths:
            break
        path = data.draw(st.sampled_from(paths))
        parent = document
        for key in path[:-1]:
            parent = parent[key]
        if data.draw(st.integers(0, 4)) == 0:
            del parent[path[-1]]
        else:
            parent[path[-1]] = data.draw(JSON_VALUES)
    raw = json.dumps(document).encode()
    if data.draw(st.integers(0, 9)) == 0:
        raw = damage(data.draw, raw)
    outcome = worker.run({"reader": "result", "data": raw})
    event(f"{outcome.kind} {outcome.type or ''}".strip())
    assert outcome.kind not in ("crashed", "hung"), f"{outcome.kind}:\n{outcome.report}"
    if outcome.kind == "raised":
        assert outcome.type in ("InputError", "ValueError"), f"{outcome.type}: {outcome.message}"
        assert outcome.message and "\n" not in outcome.message, repr(outcome.message)
        assert outcome.message.split(": ", 1)[0].endswith("fit-result.json"), outcome.message
        return
    assert outcome.kind == "returned", outcome
    assert outcome.result["success"] in (True, False)


# --- --candidates files (tarvo plan) ---------------------------------------------------

CANDIDATE_LINES = ["tau = {v}", "w0 = {v}", "wavelength = {v}", "sample_width = {v}",
                   "pulse_energy = {v}", "populations = {v}", "name = {v}", "other = {v}",
                   "pulse_energy = [5e-6, {v}]", "populations = [6e17, 0, 0, 0, {v}]"]


@st.composite
def candidate_bytes(draw):
    tables = []
    for _ in range(draw(st.integers(0, 4))):
        lines = ["[[candidate]]"]
        if draw(st.integers(0, 5)):
            lines.append(f'name = "c{len(tables)}"')
        for _ in range(draw(st.integers(0, 3))):
            lines.append(draw(st.sampled_from(CANDIDATE_LINES)).format(v=draw(TOML_VALUES)))
        tables.append("\n".join(lines))
    if draw(st.integers(0, 19)) == 0:
        tables += ['[[candidate]]\nname = "many"\ntau = 1e-9'] * draw(st.sampled_from([996, 997]))
    data = "\n\n".join(tables).encode()
    if draw(st.integers(0, 9)) == 0:
        data = damage(draw, data)
    return data


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=candidate_bytes())
def test_candidate_files_are_read_or_refused_in_one_line(worker, data):
    from tarvo.planning import MAX_CANDIDATES

    outcome = worker.run({"reader": "candidates", "data": data})
    event(f"{outcome.kind} {outcome.type or ''}".strip())
    assert outcome.kind not in ("crashed", "hung"), \
        f"{outcome.kind}:\n{outcome.report}\n{data[:2000]!r}"
    if outcome.kind == "raised":
        check_refusal(outcome, "candidates.toml")
        return
    assert outcome.kind == "returned", outcome
    assert 1 <= outcome.result["count"] <= MAX_CANDIDATES
    for arguments in outcome.result["arguments"]:
        values = [v for k in ("tau", "wavelength", "w0", "sample_width", "M2")
                  for v in arguments[k]]
        assert all(math.isfinite(v) and v > 0 for v in values + arguments["pulse_energy"])
        assert len(arguments["populations"]) == 5 and min(arguments["populations"]) >= 0


# --- directory lists of global fits --------------------------------------------------

DIRECTORY_NAMES = ["a", "b", "c", "d", "a/.", "./a", "a/", "b/../a", "missing", "file.txt"]
OUT_NAMES = ["out", "a", "b/.", "new/deep", "file.txt", "d/"]


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(directories=st.lists(st.sampled_from(DIRECTORY_NAMES), min_size=1, max_size=4),
       out=st.sampled_from(OUT_NAMES))
def test_global_directory_lists_are_prepared_or_refused_in_one_line(worker, directories, out):
    outcome = worker.run({"reader": "global", "directories": directories, "out": out})
    event(f"{outcome.kind} {outcome.type or ''}".strip())
    assert outcome.kind not in ("crashed", "hung"), f"{outcome.kind}:\n{outcome.report}"
    if outcome.kind == "raised":
        assert outcome.type == "InputError", f"{outcome.type}: {outcome.message}"
        assert outcome.message and "\n" not in outcome.message, repr(outcome.message)
        return
    assert outcome.kind == "returned", outcome
    resolved = outcome.result["directories"]
    # Each measurement once, none of them the output, and shared parameters
    # that start alike (c starts sigma_1 elsewhere than a, b and d).
    assert len(set(resolved)) == len(resolved) == len(directories)
    assert outcome.result["out"] not in resolved
    names = {path.rsplit("/", 1)[-1] for path in resolved}
    assert names <= {"a", "b", "c", "d"} and ("c" not in names or names == {"c"})
