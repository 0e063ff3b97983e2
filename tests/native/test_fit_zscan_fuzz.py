"""Property-based fuzzing of fit_zscan's call boundary.

Each example is a small valid call (a few points, 2-3 time and depth slices)
changed in up to two ways: arrays of the wrong type, dtype, dimension count,
layout or size, scalars of the wrong type or range, hostile conversion hooks,
NaN and infinities, broken argument binding. Every call runs in a worker
process, so a crash or a hang fails the example (and Hypothesis keeps it in
its database, .hypothesis/) instead of ending the test run. Properties:

- a call with a refused argument raises one of the exception types that
  argument may cause, never anything else, never a crash or a hang;
- a valid call returns (residuals, error, spec_pars) with the documented
  types and shapes, in fresh arrays, with the entries that were not fitted
  unchanged, and bit for bit the same with one thread and with two;
- no call changes the caller's arrays.

TARVO_FUZZ_EXAMPLES sets the number of examples (`make fuzz` runs thousands),
TARVO_FUZZ_TIMEOUT the seconds a call may take before it counts as a hang.
A failure prints a script that replays the call (run it from tests/)."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from fit_zscan_fuzz_calls import (ARRAY_PARAMETERS, INTEGER_PARAMETERS, PARAMETERS,
                                  REAL_PARAMETERS, Arg, FuzzCall, Mutator, draw_changes)
from fit_zscan_fuzz_worker import FuzzWorker, replay, sanitized, worker_pool

EXAMPLES = int(os.environ.get("TARVO_FUZZ_EXAMPLES", "500"))
TIMEOUT = float(os.environ.get("TARVO_FUZZ_TIMEOUT", "120"))

# A physically sensible parameter vector (cm², s) whose fits converge fast.
SPEC_PARS = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
# The set-up scalars of a 532 nm, 4 ns measurement.
SETUP = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2)
# Doubles that stress the arithmetic but are valid input.
SPECIAL_DOUBLES = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 1e308, -1e308, 5e-324]
DOUBLE_PARAMETERS = [name for name in ARRAY_PARAMETERS if name != "fit_indices"]
# What an array of the wrong length may raise: the size checks (ValueError) or
# the first-element and bounds checks (IndexError), whichever runs first.
BUFFER_REFUSALS = frozenset({"ValueError", "IndexError"})


def plain_array(values, dtype="float64"):
    return Arg("array", list(values), dtype=dtype)


def is_plain_array(arg):
    """A writable, contiguous, one-dimensional NumPy array of the right type."""
    return (arg.kind == "array" and arg.wrap is None and arg.shape is None and arg.stride == 1
            and not arg.readonly and arg.dtype in ("float64", "int32") and len(arg.values) > 0)


# --- a valid call -----------------------------------------------------------------

def sometimes_special(draw, value, probability_percent=10):
    """`value`, or (now and then) one of the special doubles."""
    if draw(st.integers(0, 99)) < probability_percent:
        return draw(st.sampled_from(SPECIAL_DOUBLES))
    return value


def any_doubles(draw, count):
    return draw(st.lists(st.floats(width=64), min_size=count, max_size=count))


@st.composite
def valid_arguments(draw):
    """Arguments of a small valid call, by parameter name, and its sizes."""
    num_x_pts = draw(st.integers(5, 8))
    num_datasets = draw(st.integers(1, 2))
    n = num_x_pts * num_datasets
    if draw(st.integers(0, 99)) < 15:
        x = any_doubles(draw, n)
        y = any_doubles(draw, n)
    else:
        half_width = draw(st.floats(1.0, 100.0))
        x = list(np.tile(np.linspace(-half_width, half_width, num_x_pts), num_datasets))
        depth = draw(st.floats(-0.3, 0.3))
        y = [1.0 - depth * math.exp(-(v / (0.2 * half_width)) ** 2) for v in x]
    if draw(st.integers(0, 99)) < 15:
        populations = any_doubles(draw, 5)
    else:
        populations = [10.0 ** draw(st.floats(15.0, 18.0)), 0.0, 0.0, 0.0, 0.0]
    energies = [sometimes_special(draw, 10.0 ** draw(st.floats(-6.0, -4.5)))
                for _ in range(num_datasets)]
    spec_pars = [sometimes_special(draw, value * draw(st.floats(0.3, 3.0)), 5)
                 for value in SPEC_PARS]
    fit_indices = draw(st.lists(st.integers(0, 7), min_size=1, max_size=2))
    args = {
        "x_data": plain_array(x), "y_data": plain_array(y),
        "populations": plain_array(populations),
        "t_slices": Arg("plain", draw(st.integers(2, 3))),
        "z_slices": Arg("plain", draw(st.integers(2, 3))),
        "pulse_energy": plain_array(energies), "spec_pars": plain_array(spec_pars),
        "fit_indices": plain_array(fit_indices, "int32"),
        "num_x_pts": Arg("plain", num_x_pts), "num_datasets": Arg("plain", num_datasets),
        "is_sa": Arg("plain", draw(st.booleans())),
        "n_starts": Arg("plain", draw(st.integers(1, 2))),
    }
    for name, value in SETUP.items():
        args[name] = Arg("plain", sometimes_special(draw, value * draw(st.floats(0.5, 2.0)), 5))
    return args


# --- changes that keep a call valid or make it invalid ----------------------------
# Each takes (draw, call), changes call.args in place and returns a
# description, the exception type names it may cause and whether the call must
# now raise. A parameter is changed at most once, so the expectations of two
# changes never contradict each other.

class CallUnderConstruction:
    """Arguments by name, the sizes of the valid call, and the parameters
    that a change has already claimed."""

    def __init__(self, args):
        self.args = args
        self.num_x_pts = args["num_x_pts"].values
        self.num_datasets = args["num_datasets"].values
        self.claimed = set()

    def pick(self, draw, names):
        """Claim one of `names` not claimed yet, or None."""
        free = [name for name in names if name not in self.claimed]
        if not free:
            return None
        name = draw(st.sampled_from(free))
        self.claimed.add(name)
        return name

    def needed_length(self, name):
        """The shortest length of array `name` that the native fit may read."""
        if name in ("x_data", "y_data"):
            return self.num_x_pts * self.num_datasets
        return {"populations": 5, "pulse_energy": self.num_datasets, "spec_pars": 8,
                "fit_indices": 1}[name]


NO_CHANGE = ("no change", set(), False)


def refused_dtype(draw, call):
    name = call.pick(draw, ARRAY_PARAMETERS)
    if name is None:
        return NO_CHANGE
    if name == "fit_indices":
        dtype = draw(st.sampled_from(["int64", "int16", "uint32", "float64", ">i4", "int8"]))
    else:
        dtype = draw(st.sampled_from(["float32", "int64", "int32", "complex128", "bool",
                                      "float16", "longdouble", ">f8"]))
    values = call.args[name].values
    if np.dtype(dtype).kind in "iub":
        values = [index % 8 for index in range(len(values))]
    call.args[name] = Arg("array", values, dtype=dtype)
    return f"{name} as {dtype}", {"ValueError"}, True


def refused_dimensions(draw, call):
    name = call.pick(draw, ARRAY_PARAMETERS)
    if name is None:
        return NO_CHANGE
    old = call.args[name]
    values = old.values
    shape = {"0-d": (), "row": (1, len(values)), "column": (len(values), 1)}[
        draw(st.sampled_from(["0-d", "row", "column"]))]
    call.args[name] = Arg("array", values[:1] if shape == () else values, dtype=old.dtype,
                          shape=shape)
    return f"{name} with shape {shape}", {"ValueError"}, True


def refused_layout(draw, call):
    """Read-only, or non-contiguous (when there are two elements to space out)."""
    name = call.pick(draw, ARRAY_PARAMETERS)
    if name is None:
        return NO_CHANGE
    old = call.args[name]
    if draw(st.booleans()) and len(old.values) >= 2:
        call.args[name] = Arg("array", old.values, dtype=old.dtype, stride=2)
        return f"{name} strided", {"ValueError"}, True
    call.args[name] = Arg("array", old.values, dtype=old.dtype, readonly=True)
    return f"{name} read-only", {"ValueError"}, True


def other_containers(draw, call):
    """Other exporters and non-exporters: bytes is read-only (the interpreter's
    BufferError), bytearray has byte items, lists export nothing; array.array and
    memoryview of the right item type are accepted."""
    name = call.pick(draw, ARRAY_PARAMETERS)
    if name is None:
        return NO_CHANGE
    old = call.args[name]
    size = 8 * len(old.values)
    typecode = "i" if name == "fit_indices" else "d"
    container = draw(st.sampled_from(["bytes", "bytearray", "list", "array.array",
                                      "array.array wrong", "memoryview"]))
    if container == "bytes":
        call.args[name] = Arg("bytes", [1] * size)
        return f"{name} as bytes", {"BufferError"}, True
    if container == "bytearray":
        call.args[name] = Arg("bytearray", [1] * size)
        return f"{name} as bytearray", {"ValueError"}, True
    if container == "list":
        call.args[name] = Arg("plain", list(old.values))
        return f"{name} as list", {"TypeError"}, True
    if container == "array.array":
        call.args[name] = Arg("array", old.values, dtype=old.dtype, wrap="array.array",
                              typecode=typecode)
        return f"{name} as array.array({typecode!r})", set(), False
    if container == "array.array wrong":
        wrong = draw(st.sampled_from(["l", "q", "b"] if name == "fit_indices" else
                                     ["f", "l", "q"]))
        values = [index % 8 for index in range(len(old.values))] if wrong in "lqb" else \
            old.values
        call.args[name] = Arg("array", values, dtype=old.dtype, wrap="array.array",
                              typecode=wrong)
        return f"{name} as array.array({wrong!r})", {"ValueError"}, True
    call.args[name] = Arg("array", old.values, dtype=old.dtype, wrap="memoryview")
    return f"{name} as memoryview", set(), False


def none_array(draw, call):
    name = call.pick(draw, ARRAY_PARAMETERS)
    if name is None:
        return NO_CHANGE
    call.args[name] = Arg("plain", None)
    return f"{name} None", {"TypeError"}, True


def resized_array(draw, call):
    """A longer or shorter array: longer is fine for populations, pulse_energy,
    spec_pars and fit_indices, any change is refused for x_data and y_data."""
    name = call.pick(draw, ARRAY_PARAMETERS)
    if name is None:
        return NO_CHANGE
    old = call.args[name]
    length = draw(st.integers(0, len(old.values) + 2))
    length += length >= len(old.values)  # any length but the old one
    fill = draw(st.integers(0, 7)) if name == "fit_indices" else 1.0
    values = (list(old.values) + [fill] * length)[:length]
    call.args[name] = Arg("array", values, dtype=old.dtype)
    if name in ("x_data", "y_data") or length < call.needed_length(name):
        return f"{name} of length {length}", BUFFER_REFUSALS, True
    return f"{name} of length {length}", set(), False


def special_values(draw, call):
    """NaN, infinities, zeros, huge and tiny values inside a double array."""
    name = call.pick(draw, DOUBLE_PARAMETERS)
    if name is None:
        return NO_CHANGE
    values = list(call.args[name].values)
    for _ in range(draw(st.integers(1, 3))):
        values[draw(st.integers(0, len(values) - 1))] = draw(st.sampled_from(SPECIAL_DOUBLES))
    call.args[name] = Arg("array", values)
    return f"special values in {name}", set(), False


def out_of_range_index(draw, call):
    if call.pick(draw, ["fit_indices"]) is None:
        return NO_CHANGE
    values = list(call.args["fit_indices"].values)
    values[draw(st.integers(0, len(values) - 1))] = draw(
        st.sampled_from([-1, 8, 9, 100, -2 ** 31, 2 ** 31 - 1]))
    call.args["fit_indices"] = Arg("array", values, dtype="int32")
    return f"fit_indices {values}", {"ValueError"}, True


def integer_overflow(draw, call):
    name = call.pick(draw, INTEGER_PARAMETERS)
    if name is None:
        return NO_CHANGE
    value = draw(st.sampled_from([2 ** 31, -2 ** 31 - 1, 2 ** 63, -2 ** 100, math.inf,
                                  -math.inf]))
    call.args[name] = Arg("plain", value)
    return f"{name} = {value}", {"OverflowError"}, True


def integer_not_a_number(draw, call):
    name = call.pick(draw, INTEGER_PARAMETERS)
    if name is None:
        return NO_CHANGE
    call.args[name] = Arg("plain", math.nan)
    return f"{name} = nan", {"ValueError"}, True


def integer_types(draw, call):
    """Other integer types: accepted through __int__ (floats truncate), refused
    without it or when __int__ returns no int."""
    name = call.pick(draw, INTEGER_PARAMETERS)
    if name is None:
        return NO_CHANGE
    value = call.args[name].values
    kind = draw(st.sampled_from(["float", "IntLike", "numpy int32", "numpy float64",
                                 "Decimal", "Fraction", "str", "None", "complex", "list",
                                 "IndexOnly", "IntLike float", "Raising"]))
    accepted = {
        "float": Arg("plain", value + 0.75),
        "IntLike": Arg("object", ("IntLike", value)),
        "numpy int32": Arg("object", ("numpy", "int32", value)),
        "numpy float64": Arg("object", ("numpy", "float64", value + 0.5)),
        "Decimal": Arg("object", ("Decimal", str(value))),
        "Fraction": Arg("object", ("Fraction", 2 * value + 1, 2)),
    }
    refused = {
        "str": Arg("plain", str(value)), "None": Arg("plain", None),
        "complex": Arg("plain", complex(value, 0)), "list": Arg("plain", [value]),
        "IndexOnly": Arg("object", ("IndexOnly", value)),
        "IntLike float": Arg("object", ("IntLike", float(value))),
    }
    if kind in accepted:
        call.args[name] = accepted[kind]
        return f"{name} as {kind}", set(), False
    if kind == "Raising":
        call.args[name] = Arg("object", ("Raising",))
        return f"{name} raises on conversion", {"FuzzConversionError"}, True
    call.args[name] = refused[kind]
    return f"{name} as {kind}", {"TypeError"}, True


def integer_out_of_range(draw, call):
    """Counts the model cannot work with, refused before any fit."""
    name = call.pick(draw, INTEGER_PARAMETERS)
    if name is None:
        return NO_CHANGE
    old = call.args[name].values
    refused = {"ValueError"}
    if name in ("t_slices", "z_slices"):
        choices = [(1, refused), (0, refused), (-1, refused), (-2 ** 31, refused)]
        if not sanitized():
            # Grids far beyond the worker's address space, refused before they
            # are built (under ASan a failed C++ allocation would be fatal).
            choices += [(10 ** 9, {"MemoryError"}), (2 ** 31 - 1, {"MemoryError"})]
    elif name == "num_x_pts":
        choices = [(4, refused), (0, refused), (-3, refused), (old + 1, refused),
                   (old - 1, refused), (2 ** 31 - 1, refused)]
    elif name == "num_datasets":
        choices = [(0, refused), (-1, refused), (old + 1, refused), (2 ** 31 - 1, refused)]
        if old > 1:
            choices.append((old - 1, refused))
    else:
        choices = [(0, {"IndexError"}), (-1, refused), (-2 ** 31, refused),
                   (10 ** 8, {"MemoryError"}), (2 ** 31 - 1, {"MemoryError"})]
    value, errors = draw(st.sampled_from(choices))
    call.args[name] = Arg("plain", value)
    return f"{name} = {value}", errors, True


def real_values(draw, call):
    """Special doubles and other real types: all valid input."""
    name = call.pick(draw, REAL_PARAMETERS)
    if name is None:
        return NO_CHANGE
    value = call.args[name].values
    kind = draw(st.sampled_from(["special", "int", "numpy float32", "Decimal", "Fraction",
                                 "FloatLike", "IndexOnly", "bool"]))
    call.args[name] = {
        "special": Arg("plain", draw(st.sampled_from(SPECIAL_DOUBLES))),
        "int": Arg("plain", 1),
        "numpy float32": Arg("object", ("numpy", "float32", value)),
        "Decimal": Arg("object", ("Decimal", repr(value))),
        "Fraction": Arg("object", ("Fraction", 3, 7)),
        "FloatLike": Arg("object", ("FloatLike", value)),
        "IndexOnly": Arg("object", ("IndexOnly", 2)),
        "bool": Arg("plain", True),
    }[kind]
    return f"{name} as {kind}", set(), False


def real_refused(draw, call):
    name = call.pick(draw, REAL_PARAMETERS)
    if name is None:
        return NO_CHANGE
    kind = draw(st.sampled_from(["str", "None", "complex", "list", "FloatLike str",
                                 "huge int", "Raising"]))
    if kind == "huge int":
        call.args[name] = Arg("plain", 10 ** 400)
        return f"{name} = 10**400", {"OverflowError"}, True
    if kind == "Raising":
        call.args[name] = Arg("object", ("Raising",))
        return f"{name} raises on conversion", {"FuzzConversionError"}, True
    call.args[name] = {"str": Arg("plain", "0.1"), "None": Arg("plain", None),
                       "complex": Arg("plain", complex(1.0, 0.0)),
                       "list": Arg("plain", [1.0]),
                       "FloatLike str": Arg("object", ("FloatLike", "1.0"))}[kind]
    return f"{name} as {kind}", {"TypeError"}, True


def truth_values(draw, call):
    """is_sa by truth value: anything goes, unless the truth test itself raises."""
    if call.pick(draw, ["is_sa"]) is None:
        return NO_CHANGE
    kind = draw(st.sampled_from(["None", "0", "1", "empty str", "str", "empty list",
                                 "numpy bool", "one-element array", "two-element array",
                                 "Raising"]))
    if kind == "two-element array":
        call.args["is_sa"] = Arg("object", ("numpy_array", [1.0, 2.0]))
        return "is_sa as a two-element array", {"ValueError"}, True
    if kind == "Raising":
        call.args["is_sa"] = Arg("object", ("Raising",))
        return "is_sa raises on conversion", {"FuzzConversionError"}, True
    call.args["is_sa"] = {
        "None": Arg("plain", None), "0": Arg("plain", 0), "1": Arg("plain", 1),
        "empty str": Arg("plain", ""), "str": Arg("plain", "no"),
        "empty list": Arg("plain", []), "numpy bool": Arg("object", ("numpy", "bool", True)),
        "one-element array": Arg("object", ("numpy_array", [0.0])),
    }[kind]
    return f"is_sa as {kind}", set(), False


def mutating_conversion(draw, call):
    """A real argument whose conversion writes into another argument's array
    (before fit_zscan checks the fit indices)."""
    targets = [target for target in ARRAY_PARAMETERS
               if target not in call.claimed and is_plain_array(call.args[target])]
    if not targets:
        return NO_CHANGE
    name = call.pick(draw, REAL_PARAMETERS)
    if name is None:
        return NO_CHANGE
    target = call.pick(draw, targets)
    if target == "fit_indices":
        new = draw(st.sampled_from([-1, 8, 99, 0, 7]))
    else:
        new = draw(st.sampled_from(SPECIAL_DOUBLES + [0.5]))
    call.args[name] = Arg("object", ("Mutator", 1.0, target, 0, new))
    description = f"converting {name} sets {target}[0] = {new}"
    if target == "fit_indices" and not 0 <= new <= 7:
        return description, {"ValueError"}, True
    return description, set(), False


CHANGES = [refused_dtype, refused_dimensions, refused_layout, other_containers, none_array,
           resized_array, special_values, out_of_range_index, integer_overflow,
           integer_not_a_number, integer_types, integer_out_of_range, real_values,
           real_refused, truth_values, mutating_conversion]


# --- binding ----------------------------------------------------------------------

@st.composite
def fuzz_calls(draw):
    call = CallUnderConstruction(draw(valid_arguments()))
    # Mostly valid or singly broken calls; Hypothesis shrinks towards no change.
    changes, may_raise, must_raise = draw_changes(draw, CHANGES, call)
    args = call.args

    binding = draw(st.sampled_from(["fine"] * 16 + ["missing", "unknown", "duplicate",
                                                    "too many"]))
    given = list(PARAMETERS)
    if binding != "too many":
        for optional in ("n_starts", "is_sa"):
            if optional not in call.claimed and draw(st.integers(0, 3)) == 0:
                given.remove(optional)
                changes.append(f"{optional} omitted")
    if binding == "missing":
        # Not a changed one: a Mutator's target must be there to be written.
        missing = call.pick(draw, PARAMETERS[:15])
        given.remove(missing)
        changes.append(f"{missing} missing")
    # Positional arguments are a prefix of the parameters without a gap.
    gap = next((i for i, name in enumerate(PARAMETERS) if name not in given), len(PARAMETERS))
    count = draw(st.integers(0, gap))
    positional = [args[name] for name in PARAMETERS[:count]]
    keywords = [(name, args[name]) for name in draw(st.permutations(given[count:]))]
    if binding == "unknown":
        keywords.append((draw(st.sampled_from(["n_start", "X_data", "bogus"])), Arg("plain", 1)))
        changes.append(f"unknown keyword {keywords[-1][0]}")
    elif binding == "duplicate" and count > 0:
        name = draw(st.sampled_from(PARAMETERS[:count]))
        keywords.append((name, args[name]))
        changes.append(f"{name} given twice")
    elif binding == "too many":
        positional = [args[name] for name in PARAMETERS] + [Arg("plain", None)]
        keywords = []
        changes.append("18 positional arguments")
    elif binding != "missing":
        binding = "fine"
    if binding != "fine":
        may_raise.add("TypeError")
        must_raise = True
    return FuzzCall(positional, keywords, frozenset(may_raise), must_raise, changes,
                    threads=draw(st.sampled_from([1, 2])))


# --- properties -------------------------------------------------------------------

@pytest.fixture(scope="module")
def workers():
    yield from worker_pool(TIMEOUT)


def effective_inputs(call):
    """spec_pars and fit_indices as the call saw them (after any Mutator wrote)."""
    args, kwargs = call.build()
    named = dict(zip(PARAMETERS, args))
    named.update(kwargs)
    for value in named.values():
        if isinstance(value, Mutator):
            float(value)
    return np.asarray(named["spec_pars"]), np.asarray(named["fit_indices"])


def check_returned(call, outcome):
    result = outcome.result
    assert isinstance(result, tuple) and len(result) == 3, replay(call)
    residuals, error, fitted = result
    spec_pars, fit_indices = effective_inputs(call)
    n_res = len(dict(call.arguments())["y_data"].values)
    assert type(error) is float, replay(call)
    for array, length in ((residuals, n_res), (fitted, len(spec_pars))):
        assert isinstance(array, np.ndarray) and array.dtype == np.float64, replay(call)
        assert array.shape == (length,), replay(call)
    assert not outcome.shares_memory, f"a returned array shares the caller's memory\n{replay(call)}"
    unfitted = np.setdiff1d(np.arange(len(spec_pars)), fit_indices)
    assert fitted[unfitted].tobytes() == spec_pars[unfitted].tobytes(), replay(call)


def same_bits(first, second):
    return (first[0].tobytes(), np.float64(first[1]).tobytes(), first[2].tobytes()) == \
        (second[0].tobytes(), np.float64(second[1]).tobytes(), second[2].tobytes())


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(call=fuzz_calls())
def test_fit_zscan_refuses_bad_input_cleanly_and_fits_good_input(workers, call):
    outcome = workers[call.threads].run(call)
    event(f"{outcome.kind} {outcome.type or ''}".strip())
    assert outcome.kind != "unbuildable", outcome.message
    assert outcome.kind not in ("crashed", "hung"), \
        f"the call {outcome.kind}:\n{outcome.report}\n{replay(call)}"
    assert not outcome.changed, \
        f"arguments {outcome.changed} were changed by the call\n{replay(call)}"
    if call.must_raise:
        assert outcome.kind == "raised", f"expected one of {sorted(call.may_raise)}\n{replay(call)}"
    if outcome.kind == "raised":
        assert outcome.type in call.may_raise, \
            f"raised {outcome.type}: {outcome.message}\n{replay(call)}"
        assert outcome.message, f"{outcome.type} without a message\n{replay(call)}"
        return
    check_returned(call, outcome)
    # The thread count never changes a result.
    other = workers[3 - call.threads].run(call)
    assert other.kind == "returned", f"{other.kind} with the other thread count\n{replay(call)}"
    assert same_bits(outcome.result, other.result), \
        f"results differ between 1 and 2 threads\n{replay(call)}"


# --- the harness itself -----------------------------------------------------------

def example_call(**changes):
    """A fixed small valid call, with arguments replaced by name."""
    x = list(np.linspace(-20.0, 20.0, 5))
    args = {"x_data": plain_array(x), "y_data": plain_array([1.0, 0.99, 0.9, 0.99, 1.0]),
            "populations": plain_array([6e17, 0.0, 0.0, 0.0, 0.0]),
            "t_slices": Arg("plain", 2), "z_slices": Arg("plain", 2),
            **{name: Arg("plain", value) for name, value in SETUP.items()},
            "pulse_energy": plain_array([1e-5]), "spec_pars": plain_array(SPEC_PARS),
            "fit_indices": plain_array([1], "int32"), "num_x_pts": Arg("plain", 5),
            "num_datasets": Arg("plain", 1), "is_sa": Arg("plain", False),
            "n_starts": Arg("plain", 1)}
    args.update(changes)
    return FuzzCall([args[name] for name in PARAMETERS], [])


def test_a_worker_that_dies_is_reported_and_replaced(workers):
    worker = workers[1]
    dead = worker.run(example_call(tau=Arg("object", ("SelfDestruct",))))
    assert dead.kind == "crashed" and "killed by SIGKILL" in dead.report
    assert worker.run(example_call()).kind == "returned"


def test_a_call_that_does_not_answer_in_time_counts_as_a_hang():
    worker = FuzzWorker(1, timeout=1.0)
    try:
        stalled = worker.run(example_call(M2=Arg("object", ("Stall", 60.0))))
        assert stalled.kind == "hung" and stalled.report.startswith("no answer within 1 s")
        assert worker.run(example_call()).kind == "returned"
    finally:
        worker.close()


def test_a_printed_reproducer_replays_the_call(workers):
    x = list(np.linspace(-20.0, 20.0, 5))
    call = example_call(x_data=Arg("array", x, wrap="array.array", typecode="d"),
                        spec_pars=Arg("array", SPEC_PARS, wrap="memoryview"),
                        sample_width=Arg("object", ("Decimal", "0.1")),
                        M2=Arg("object", ("Mutator", 1.2, "fit_indices", 0, 9)))
    outcome = workers[1].run(call)
    assert (outcome.type, outcome.message) == ("ValueError", "fit_indices[0]=9 out of range [0,7]")
    replay = subprocess.run([sys.executable, "-c", call.source()], capture_output=True,
                            text=True, cwd=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"), timeout=120)
    assert replay.stderr.strip().splitlines()[-1] == f"{outcome.type}: {outcome.message}"
