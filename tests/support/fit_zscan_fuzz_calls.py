"""Fuzzed calls of the native bindings as plain data: what each argument is
made of, the exceptions a call may raise, and the Python source that replays
it. The bindings: tarvo_wrapper.fit_zscan, tarvo._native.exact_model, and the
exact engine's handle (tarvo._native.ExactModel, built and evaluated).

A call travels to the worker process as a pickle of these descriptions and is
built there, so the hostile argument types below must be importable by name
(run a printed reproducer from the tests directory)."""

import array
import decimal
import fractions
import os
import signal
import time
from dataclasses import dataclass, field

import numpy as np

PARAMETERS = ["x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width", "tau",
              "wavelength", "w0", "M2", "pulse_energy", "spec_pars", "fit_indices", "num_x_pts",
              "num_datasets", "is_sa", "n_starts"]
# Array parameters, in the order their None check runs.
ARRAY_PARAMETERS = ["x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices"]
INTEGER_PARAMETERS = ["t_slices", "z_slices", "num_x_pts", "num_datasets", "n_starts"]
REAL_PARAMETERS = ["sample_width", "tau", "wavelength", "w0", "M2"]
# The exact engine's bindings: exact_model's parameters, and those of a handle
# call (ExactModel's, then evaluate's spec_pars, focus, derivatives and normalise).
EXACT_PARAMETERS = ["positions_mm", "pulse_energy", "populations", "spec_pars", "t_slices",
                    "z_slices", "sample_width", "tau", "wavelength", "w0", "M2", "derivatives",
                    "variant", "radial_points", "normalise", "time_window", "intensity_points"]
HANDLE_PARAMETERS = EXACT_PARAMETERS + ["focus"]


def exact_handle(positions_mm, pulse_energy, populations, spec_pars, *, derivatives=(),
                 normalise=True, focus=0.0, **setup):
    """Build the exact engine's handle and evaluate it once."""
    from tarvo import _native

    handle = _native.ExactModel(positions_mm, pulse_energy, populations, normalise=normalise,
                                **setup)
    return handle.evaluate(spec_pars, focus, derivatives)


def binding(function):
    """The callable a fuzzed call of `function` makes."""
    if function == "fit_zscan":
        import tarvo_wrapper

        return tarvo_wrapper.fit_zscan
    if function == "exact_model":
        from tarvo import _native

        return _native.exact_model
    return exact_handle


# How a reproducer makes the call, and the parameters a call's positional
# arguments stand for.
CALL_SOURCES = {"fit_zscan": "tarvo_wrapper.fit_zscan", "exact_model": "_native.exact_model",
                "ExactModel": "exact_handle"}
CALL_PARAMETERS = {"fit_zscan": PARAMETERS, "exact_model": EXACT_PARAMETERS,
                   "ExactModel": HANDLE_PARAMETERS}


# --- hostile argument types -------------------------------------------------------

class IntLike:
    """An integer through __int__ only."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntLike({self.value!r})"


class IndexOnly:
    """A number through __index__ only: a real but not an integer argument."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class FloatLike:
    """A real through __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class FuzzConversionError(Exception):
    """Raised by the conversion hooks of Raising; must reach the caller unchanged."""


class Raising:
    """Every conversion (__int__, __float__, __bool__) raises FuzzConversionError."""

    def __int__(self):
        raise FuzzConversionError("__int__")

    def __float__(self):
        raise FuzzConversionError("__float__")

    def __bool__(self):
        raise FuzzConversionError("__bool__")

    def __repr__(self):
        return "Raising()"


class SelfDestruct:
    """A real whose conversion kills the process, as a crash in native code would."""

    def __float__(self):
        os.kill(os.getpid(), signal.SIGKILL)

    def __repr__(self):
        return "SelfDestruct()"


class Stall:
    """A real whose conversion takes `seconds`, as a hung call would."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __float__(self):
        time.sleep(self.seconds)
        return 1.0

    def __repr__(self):
        return f"Stall({self.seconds!r})"


class ClearingIndex:
    """An index (__index__) that first empties the list `holder` it sits in."""

    def __init__(self, value):
        self.value = value
        self.holder = None

    def __index__(self):
        if self.holder is not None:
            self.holder.clear()
            self.holder.extend(object() for _ in range(16))
        return self.value

    def __repr__(self):
        return f"ClearingIndex({self.value!r})"


def clearing_list(values):
    """A list whose first item, when converted, empties the list."""
    first = ClearingIndex(values[0])
    holder = [first] + list(values[1:])
    first.holder = holder
    return holder


class Mutator:
    """A real whose __float__ first writes `new` into element `index` of the
    array `target`: a caller that changes another argument while the call
    converts its arguments."""

    def __init__(self, value, target, index, new):
        self.value, self.target, self.index, self.new = value, target, index, new
        self.fired = False

    def __float__(self):
        self.target[self.index] = self.new
        self.fired = True
        return self.value


# --- argument descriptions --------------------------------------------------------

def float_source(value):
    """Exact Python source of a float (repr round-trips; nan and inf need a call)."""
    value = float(value)
    if value != value:
        return "float('nan')"
    if value in (float("inf"), float("-inf")):
        return f"float('{value}')"
    return repr(value)


def value_source(value):
    """Python source of a plain scalar or list value."""
    if isinstance(value, float):
        return float_source(value)
    if isinstance(value, list):
        return "[" + ", ".join(value_source(v) for v in value) + "]"
    if isinstance(value, complex):
        return f"complex({float_source(value.real)}, {float_source(value.imag)})"
    return repr(value)


@dataclass(frozen=True)
class Arg:
    """How to make one argument. kind:
    "array"    NumPy array of `values` with `dtype`; options: shape (reshape),
               stride (take every stride-th element of a longer array),
               readonly, wrap ("memoryview" or "array.array" with typecode)
    "bytes", "bytearray"   of `values` bytes
    "plain"    a Python scalar, None or list, as is
    "object"   one of the hostile types or a library number: values = (name, *arguments)
    """
    kind: str
    values: object = None
    dtype: str = "float64"
    shape: tuple = None
    stride: int = 1
    readonly: bool = False
    wrap: str = None
    typecode: str = None

    def build(self, built=None):
        """The argument object; `built` maps parameter names to built arguments."""
        if self.kind == "array":
            return self._build_array()
        if self.kind == "bytes":
            return bytes(self.values)
        if self.kind == "bytearray":
            return bytearray(self.values)
        if self.kind == "plain":
            return self.values
        name, *rest = self.values
        if name == "Mutator":
            value, target, index, new = rest
            return Mutator(value, built[target], index, new)
        return OBJECT_MAKERS[name](*rest)

    def _build_array(self):
        if self.wrap == "array.array":
            return array.array(self.typecode, self.values)
        if self.stride > 1:
            spread = np.zeros(len(self.values) * self.stride, dtype=self.dtype)
            spread[::self.stride] = self.values
            result = spread[::self.stride]
        else:
            result = np.array(self.values, dtype=self.dtype)
        if self.shape is not None:
            result = result.reshape(self.shape)
        if self.readonly:
            result.flags.writeable = False
        if self.wrap == "memoryview":
            return memoryview(result)
        return result

    def source(self, variables):
        """Python source that makes the argument; `variables` names built arrays."""
        if self.kind == "array":
            return self._array_source()
        if self.kind in ("bytes", "bytearray"):
            return f"{self.kind}({self.values!r})"
        if self.kind == "plain":
            return value_source(self.values)
        name, *rest = self.values
        if name == "Mutator":
            value, target, index, new = rest
            return (f"Mutator({value_source(value)}, {variables[target]}, {index}, "
                    f"{value_source(new)})")
        return f"{OBJECT_SOURCES[name]}({', '.join(value_source(v) for v in rest)})"

    def _array_source(self):
        values = value_source([v.item() if hasattr(v, "item") else v for v in self.values])
        if self.wrap == "array.array":
            return f"array.array({self.typecode!r}, {values})"
        if self.stride > 1:
            text = (f"strided({values}, {self.dtype!r}, {self.stride})")
        else:
            text = f"np.array({values}, dtype={self.dtype!r})"
        if self.shape is not None:
            text += f".reshape({self.shape!r})"
        if self.readonly:
            text = f"read_only({text})"
        if self.wrap == "memoryview":
            text = f"memoryview({text})"
        return text


def strided(values, dtype, stride):
    """A non-contiguous view holding `values`."""
    return Arg("array", values, dtype=dtype, stride=stride).build()


def read_only(values):
    """`values` (an array) made read-only."""
    values.flags.writeable = False
    return values


# Constructors of the "object" arguments, and the names a reproducer calls them by.
OBJECT_MAKERS = {
    "IntLike": IntLike, "IndexOnly": IndexOnly, "FloatLike": FloatLike, "Raising": Raising,
    "SelfDestruct": SelfDestruct, "Stall": Stall,
    "Decimal": decimal.Decimal, "Fraction": fractions.Fraction,
    "numpy": lambda dtype, value: np.dtype(dtype).type(value),
    "numpy_array": lambda values: np.array(values),
    "clearing_list": clearing_list, "tuple": lambda values: tuple(values),
    "nested": lambda rows: [list(row) for row in rows],
}
OBJECT_SOURCES = {
    "IntLike": "IntLike", "IndexOnly": "IndexOnly", "FloatLike": "FloatLike",
    "Raising": "Raising", "SelfDestruct": "SelfDestruct", "Stall": "Stall",
    "Decimal": "decimal.Decimal", "Fraction": "fractions.Fraction",
    "numpy": "numpy_scalar", "numpy_array": "np.array",
    "clearing_list": "clearing_list", "tuple": "tuple", "nested": "list",
}


def numpy_scalar(dtype, value):
    """A NumPy scalar of `dtype`."""
    return np.dtype(dtype).type(value)


# --- calls ------------------------------------------------------------------------

def draw_changes(draw, changes, call):
    """Apply none, one or two changes drawn from `changes` (each change(draw,
    call) alters `call` and returns its description, the exception type names
    it may cause and whether it must raise one): mostly valid or singly
    broken calls, and Hypothesis shrinks towards no change. Returns the
    descriptions (a list), the type names (a set) and whether a change must raise."""
    from hypothesis import strategies as st

    descriptions, may_raise, must_raise = [], set(), False
    for _ in range(draw(st.sampled_from([0, 0, 1, 1, 2]))):
        description, errors, must = draw(st.sampled_from(changes))(draw, call)
        descriptions.append(description)
        may_raise |= set(errors)
        must_raise |= must
    return descriptions, may_raise, must_raise


@dataclass
class FuzzCall:
    """One fit_zscan call: positional arguments, keyword arguments (name, Arg),
    the exception type names it may raise, whether it must raise one, and what
    was done to a valid call to get it."""
    positional: list
    keywords: list
    may_raise: frozenset = frozenset()
    must_raise: bool = False
    changes: list = field(default_factory=list)
    threads: int = 1
    # The binding called: "fit_zscan", "exact_model" or "ExactModel" (a handle).
    function: str = "fit_zscan"

    def arguments(self):
        """(name, Arg) of every argument given, positional ones first."""
        names = CALL_PARAMETERS[self.function] + [
            f"surplus{index}" for index in range(len(self.positional))]
        return list(zip(names, self.positional)) + list(self.keywords)

    def build(self):
        """The call's (args, kwargs), Mutators last so their targets exist."""
        built = {}
        pending = []
        for index, (name, arg) in enumerate(self.arguments()):
            if arg.kind == "object" and arg.values[0] == "Mutator":
                pending.append((index, name, arg))
            else:
                built[(index, name)] = arg.build()
        by_name = {}
        for (_, name), value in sorted(built.items(), key=lambda item: item[0][0]):
            by_name.setdefault(name, value)
        for index, name, arg in pending:
            built[(index, name)] = arg.build(by_name)
        ordered = [built[key] for key in sorted(built, key=lambda key: key[0])]
        count = len(self.positional)
        return ordered[:count], dict(zip([n for n, _ in self.keywords], ordered[count:]))

    def source(self):
        """A self-contained script that makes this call (run it from tests/support/)."""
        lines = ["import array, decimal, fractions",
                 "import numpy as np",
                 "import tarvo_wrapper",
                 "from tarvo import _native",
                 "from fit_zscan_fuzz_calls import *",
                 ""]
        variables = {}
        plain = []
        for index, (name, arg) in enumerate(self.arguments()):
            variable = f"a{index}_{name}"
            if not (arg.kind == "object" and arg.values[0] == "Mutator"):
                lines.append(f"{variable} = {arg.source(variables)}")
                variables.setdefault(name, variable)
            plain.append((variable, name, arg))
        for variable, name, arg in plain:
            if arg.kind == "object" and arg.values[0] == "Mutator":
                lines.append(f"{variable} = {arg.source(variables)}")
        count = len(self.positional)
        positional = ", ".join(variable for variable, _, _ in plain[:count])
        keywords = ", ".join(f"{name}={variable}" for variable, name, _ in plain[count:])
        joined = ", ".join(part for part in (positional, keywords) if part)
        lines.append(f"print({CALL_SOURCES[self.function]}({joined}))")
        return "\n".join(lines)

    def __repr__(self):
        changes = "; ".join(self.changes) or "valid"
        return f"FuzzCall({self.function}: {changes}; {self.threads} thread(s))"

    def _repr_pretty_(self, printer, cycle):
        """How Hypothesis prints a failing example: the short form above."""
        printer.text(repr(self))
