"""Property-based fuzzing of the exact engine's bindings: tarvo._native.exact_model
and its handle (ExactModel built, then evaluated), in the persistent-worker
harness of the fit_zscan fuzz test (fit_zscan_fuzz_worker).

Each example is a small valid call (a few positions, 1-3 slices, either model)
changed in up to two ways: arrays of the wrong shape, length, type or content,
other containers, derivative lists of bad or hostile items (one whose
__index__ empties the list it sits in), scalars of the wrong type or range,
unknown or missing keywords. Properties:

- a call with a refused argument raises one of the exception types that
  argument may cause, never anything else, never a crash or a hang;
- a valid call returns (curves, jacobian) of the documented shapes in fresh
  arrays, the same bits with one thread and with two, without changing the
  caller's arrays; the handle gives the bits of exact_model at the shifted
  positions.

TARVO_FUZZ_EXAMPLES sets the number of examples (`make fuzz` runs thousands)."""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from fit_zscan_fuzz_calls import Arg, FuzzCall, draw_changes
from fit_zscan_fuzz_worker import replay, worker_pool

EXAMPLES = int(os.environ.get("TARVO_FUZZ_EXAMPLES", "500"))
TIMEOUT = float(os.environ.get("TARVO_FUZZ_TIMEOUT", "120"))

SPEC_PARS = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
SETUP = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2)
INTEGERS = ["t_slices", "z_slices", "radial_points", "intensity_points"]
REALS = list(SETUP) + ["time_window"]
# Settings only the energy model reads (and checks).
ENERGY_ONLY = {"radial_points", "intensity_points", "time_window"}


def array(values, dtype="float64", shape=None):
    return Arg("array", list(values), dtype=dtype, shape=shape)


@st.composite
def valid_arguments(draw):
    """Keyword arguments of a small valid call, and its sizes."""
    curves = draw(st.integers(1, 2))
    points = draw(st.integers(5, 7))
    variant = draw(st.sampled_from(["established", "energy"]))
    half_width = draw(st.floats(1.0, 50.0))
    x = np.tile(np.linspace(-half_width, half_width, points), curves)
    args = {
        "positions_mm": array(x, shape=(curves, points)),
        "pulse_energy": array([10.0 ** draw(st.floats(-6.0, -4.5)) for _ in range(curves)]),
        "populations": array([10.0 ** draw(st.floats(15.0, 18.0)), 0.0, 0.0, 0.0, 0.0]),
        "spec_pars": array([v * draw(st.floats(0.3, 3.0)) for v in SPEC_PARS]),
        "t_slices": Arg("plain", draw(st.integers(2, 3))),
        "z_slices": Arg("plain", draw(st.integers(1 if variant == "energy" else 2, 3))),
        "derivatives": Arg("plain", draw(st.lists(st.integers(0, 8), max_size=3, unique=True))),
        "variant": Arg("plain", variant),
        "radial_points": Arg("plain", draw(st.integers(0, 3))),
        "intensity_points": Arg("plain", draw(st.sampled_from([0, 2, 4]))),
        "normalise": Arg("plain", draw(st.booleans())),
        "time_window": Arg("plain", draw(st.sampled_from([0.0, 2.5]))),
    }
    for name, value in SETUP.items():
        args[name] = Arg("plain", value * draw(st.floats(0.5, 2.0)))
    return args, curves, points


class Call:
    def __init__(self, args, curves, points, function):
        self.args, self.curves, self.points, self.function = args, curves, points, function
        self.claimed = set()
        self.energy = args["variant"].values == "energy"

    def claim(self, name):
        if name in self.claimed:
            return False
        self.claimed.add(name)
        return True


NO_CHANGE = ("no change", set(), False)


def bad_positions(draw, call):
    if not call.claim("positions_mm"):
        return NO_CHANGE
    x = call.args["positions_mm"].values
    n = call.curves * call.points
    kind = draw(st.sampled_from(["1-D", "3-D", "string", "ragged", "nan", "inf", "None"]))
    if kind == "1-D":
        call.args["positions_mm"] = array(x)
        return "positions 1-D", {"ValueError"}, True
    if kind == "3-D":
        call.args["positions_mm"] = array(x, shape=(call.curves, call.points, 1))
        return "positions 3-D", {"ValueError"}, True
    if kind == "string":
        call.args["positions_mm"] = Arg("plain", "far")
        return "positions a string", {"TypeError", "ValueError"}, True
    if kind == "ragged":
        call.args["positions_mm"] = Arg("plain", [list(x[:call.points]), list(x[:2])])
        return "positions ragged", {"TypeError"}, True
    if kind == "None":
        call.args["positions_mm"] = Arg("plain", None)
        return "positions None", {"TypeError", "ValueError"}, True
    values = list(x)
    values[draw(st.integers(0, n - 1))] = math.nan if kind == "nan" else -math.inf
    call.args["positions_mm"] = array(values, shape=(call.curves, call.points))
    return f"positions with {kind}", {"ValueError"}, True


def other_containers(draw, call):
    """Lists, tuples, other dtypes, strided and read-only arrays, memoryviews: all valid."""
    name = draw(st.sampled_from(["positions_mm", "pulse_energy", "populations", "spec_pars"]))
    if not call.claim(name):
        return NO_CHANGE
    old = call.args[name]
    kind = draw(st.sampled_from(["list", "tuple", "float32", "strided", "read-only",
                                 "memoryview", "int64"]))
    values = list(old.values)
    if kind == "list":
        rows = (np.reshape(values, old.shape).tolist() if old.shape else values)
        call.args[name] = Arg("object", ("nested", rows)) if old.shape else Arg("plain", rows)
    elif kind == "tuple":
        call.args[name] = Arg("object", ("tuple", values)) if not old.shape else old
    elif kind == "float32":
        # Rounded to float32 first, so that the values the call sees are the test's.
        call.args[name] = Arg("array", [float(np.float32(v)) for v in values], dtype="float32",
                              shape=old.shape)
    elif kind == "int64":
        if name != "positions_mm":
            return NO_CHANGE
        call.args[name] = Arg("array", [int(v) for v in values], dtype="int64", shape=old.shape)
    elif kind == "strided":
        call.args[name] = Arg("array", values, stride=2, shape=old.shape)
    elif kind == "read-only":
        call.args[name] = Arg("array", values, readonly=True, shape=old.shape)
    else:
        call.args[name] = Arg("array", values, shape=old.shape, wrap="memoryview")
    return f"{name} as {kind}", set(), False


def bad_vectors(draw, call):
    name = draw(st.sampled_from(["pulse_energy", "populations", "spec_pars"]))
    if not call.claim(name):
        return NO_CHANGE
    values = list(call.args[name].values)
    kind = draw(st.sampled_from(["short", "long", "nan", "negative", "2-D"]))
    if kind == "short":
        values = values[:-1]
    elif kind == "long":
        values = values + [1.0]
    elif kind == "nan":
        values[0] = math.nan
    elif kind == "negative":
        values[-1] = -1.0
    if kind == "2-D":
        call.args[name] = array(values, shape=(1, len(values)))
    else:
        call.args[name] = array(values)
    # A negative last population, a negative last time constant: refused.
    return f"{name} {kind}", {"ValueError"}, True


def derivative_lists(draw, call):
    if not call.claim("derivatives"):
        return NO_CHANGE
    kind = draw(st.sampled_from(["duplicate", "9", "-1", "2**40", "float", "string", "None",
                                 "clearing", "tuple", "numpy"]))
    refused = {
        "duplicate": (Arg("plain", [1, 1]), {"ValueError"}),
        "9": (Arg("plain", [9]), {"ValueError"}),
        "-1": (Arg("plain", [0, -1]), {"ValueError"}),
        "2**40": (Arg("plain", [2 ** 40]), {"ValueError"}),
        "float": (Arg("plain", [1.5]), {"TypeError"}),
        "string": (Arg("plain", "ab"), {"TypeError"}),
        "None": (Arg("plain", None), {"TypeError"}),
    }
    if kind in refused:
        arg, errors = refused[kind]
        call.args["derivatives"] = arg
        return f"derivatives {kind}", errors, True
    chosen = draw(st.lists(st.integers(0, 8), min_size=1, max_size=3, unique=True))
    call.args["derivatives"] = {
        "clearing": Arg("object", ("clearing_list", chosen)),
        "tuple": Arg("object", ("tuple", chosen)),
        "numpy": Arg("array", chosen, dtype="int64"),
    }[kind]
    return f"derivatives as {kind} {chosen}", set(), False


def integer_settings(draw, call):
    name = draw(st.sampled_from(INTEGERS))
    if not call.claim(name):
        return NO_CHANGE
    value, errors, checked = draw(st.sampled_from([
        (-1, {"ValueError"}, True), (10 ** 7, {"ValueError"}, True),
        (2 ** 31, {"OverflowError"}, None), (1.5, {"TypeError"}, None),
        ("2", {"TypeError"}, None), (None, {"TypeError"}, None), (65, {"ValueError"}, True)]))
    call.args[name] = Arg("plain", value)
    # Conversion errors always; range errors where the model reads the setting.
    must = checked is None or name not in ENERGY_ONLY or call.energy
    if name in ("t_slices", "z_slices") and value == 65:
        must = False
    if not must:
        return f"{name} = {value!r} (not read)", errors, False
    return f"{name} = {value!r}", errors, True


def real_settings(draw, call):
    name = draw(st.sampled_from(REALS))
    if not call.claim(name):
        return NO_CHANGE
    value, errors, conversion = draw(st.sampled_from([
        (math.nan, {"ValueError"}, False), (-1.0, {"ValueError"}, False),
        (math.inf, {"ValueError"}, False), ("0.1", {"TypeError"}, True),
        (10 ** 400, {"OverflowError"}, True), (None, {"TypeError"}, True)]))
    call.args[name] = Arg("plain", value)
    if not conversion and name in ENERGY_ONLY and not call.energy:
        return f"{name} = {value!r} (not read)", errors, False
    return f"{name} = {value!r}", errors, True


def other_scalars(draw, call):
    kind = draw(st.sampled_from(["variant", "variant type", "normalise", "focus", "focus type"]))
    if kind.startswith("focus") and call.function != "ExactModel":
        return NO_CHANGE
    name = kind.split()[0]
    if not call.claim(name):
        return NO_CHANGE
    if kind == "variant":
        call.args["variant"] = Arg("plain", "bogus")
        return "variant bogus", {"ValueError"}, True
    if kind == "variant type":
        call.args["variant"] = Arg("plain", 5)
        return "variant 5", {"TypeError"}, True
    if kind == "normalise":
        call.args["normalise"] = Arg("object", ("Raising",))
        return "normalise raises", {"FuzzConversionError"}, True
    if kind == "focus":
        call.args["focus"] = Arg("plain", draw(st.sampled_from([math.nan, math.inf])))
        return "focus not finite", {"ValueError"}, True
    call.args["focus"] = Arg("plain", "0")
    return "focus a string", {"TypeError"}, True


CHANGES = [bad_positions, other_containers, bad_vectors, derivative_lists, integer_settings,
           real_settings, other_scalars]


@st.composite
def fuzz_calls(draw):
    function = draw(st.sampled_from(["exact_model", "ExactModel"]))
    args, curves, points = draw(valid_arguments())
    if function == "ExactModel":
        args["focus"] = Arg("plain", draw(st.floats(-5.0, 5.0)))
    call = Call(args, curves, points, function)
    changes, may_raise, must_raise = draw_changes(draw, CHANGES, call)
    names = list(args)
    binding = draw(st.sampled_from(["fine"] * 10 + ["missing", "unknown"]))
    if binding == "missing":
        missing = draw(st.sampled_from(["tau", "w0", "t_slices", "M2"]))
        if missing not in call.claimed:
            names.remove(missing)
            changes.append(f"{missing} missing")
            may_raise.add("TypeError")
            must_raise = True
    keywords = [(name, args[name]) for name in draw(st.permutations(names[4:]))]
    if binding == "unknown":
        keywords.append(("t_slice", Arg("plain", 2)))
        changes.append("unknown keyword t_slice")
        may_raise.add("TypeError")
        must_raise = True
    positional = [args[name] for name in names[:4]]
    return FuzzCall(positional, keywords, frozenset(may_raise), must_raise, changes,
                    threads=draw(st.sampled_from([1, 2])), function=function)


@pytest.fixture(scope="module")
def workers():
    yield from worker_pool(TIMEOUT)


def as_exact_model(call, shift):
    """The exact_model call of a handle call: positions shifted by the focus."""
    arguments = dict(call.arguments())
    positions = arguments["positions_mm"]
    shifted = Arg("array", list(np.asarray(positions.build(), dtype=np.float64).ravel() - shift),
                  shape=np.shape(positions.build()))
    keywords = [(name, arg) for name, arg in call.keywords if name != "focus"]
    return FuzzCall([shifted] + call.positional[1:], keywords, function="exact_model")


@settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(call=fuzz_calls())
def test_exact_bindings_refuse_bad_input_and_answer_valid_input(call, workers):
    event(f"{call.function}: {'refused' if call.must_raise else 'valid or maybe'}")
    outcome = workers[call.threads].run(call)
    assert outcome.kind not in ("crashed", "hung", "unbuildable"), (
        f"{outcome.kind}: {outcome.report or outcome.message}\n{replay(call)}")
    if outcome.kind == "raised":
        assert outcome.type in call.may_raise, (
            f"raised {outcome.type}: {outcome.message}\n{replay(call)}")
        return
    assert not call.must_raise, f"returned, should have raised {set(call.may_raise)}\n{replay(call)}"
    assert outcome.changed == [], f"changed inputs {outcome.changed}\n{replay(call)}"
    curves, jacobian = outcome.result
    arguments = dict(call.arguments())
    shape = np.shape(arguments["positions_mm"].build())
    derivatives = list(arguments["derivatives"].build()) if "derivatives" in arguments else []
    assert isinstance(curves, np.ndarray) and curves.dtype == np.float64 and \
        curves.shape == shape, replay(call)
    if derivatives:
        assert jacobian.shape == shape + (len(derivatives),), replay(call)
    else:
        assert jacobian is None, replay(call)
    assert not outcome.shares_memory, replay(call)
    # The other thread count gives the same bits.
    other = workers[3 - call.threads].run(call)
    assert other.kind == "returned", f"{other}\n{replay(call)}"
    assert all(a is None and b is None or a.tobytes() == b.tobytes()
               for a, b in zip(outcome.result, other.result)), replay(call)
    # The handle gives exact_model's bits at the shifted positions.
    if call.function == "ExactModel" and arguments["positions_mm"].kind == "array":
        focus = arguments["focus"].values
        rebuilt = workers[call.threads].run(as_exact_model(call, focus))
        assert rebuilt.kind == "returned", f"{rebuilt}\n{replay(call)}"
        assert all(a is None and b is None or a.tobytes() == b.tobytes()
                   for a, b in zip(outcome.result, rebuilt.result)), replay(call)
