"""The constraint expressions of a fit's parameters (lmfit's ``expr``): read
by asteval with the mathematical functions only, checked for unknown names
and circular definitions, evaluated in an order where each comes after those
it uses, and differentiated (the fit's Jacobian and the covariance of the
parameters they give follow them by the chain rule)."""

import math
import reprlib

import numpy as np
from asteval import Interpreter, get_ast_names

from .errors import InputError


# Relative step of the central differences of the expressions (they are
# cheap and smooth: the derivatives come out to about 1e-10 relative).
DERIVATIVE_STEP = 1.0e-5


# The repr of an expression or its value for a message, cut to a line.
def _shown(value, limit=80):
    # reprlib shows the first items of a large list without building its repr.
    text = repr(value) if isinstance(value, str) else reprlib.repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


# A new asteval interpreter with the mathematical functions only.
def _interpreter():
    return Interpreter(minimal=True, use_numpy=True)


# The constraint expressions of a set of parameters, checked and ordered so
# that every expression comes after those it uses.
class Constraints:
    """Expressions name -> text over the parameters `names` (all parameter names)."""

    # Parse every expression and order them; ValueError on a syntax error,
    # an unknown name or a circular definition.
    def __init__(self, expressions, names):
        self.expressions = dict(expressions)
        self._interpreter = _interpreter()
        builtins = set(self._interpreter.symtable)
        self._trees, uses = {}, {}
        for name, text in self.expressions.items():
            if not isinstance(text, str) or not text.strip():
                raise InputError(f"{name}: expr must be a non-empty text, got {text!r}")
            try:
                tree = self._interpreter.parse(text)
            except (RecursionError, RuntimeError, MemoryError):
                self._interpreter.error = []
                raise InputError(f"{name}: cannot read expr {_shown(text)}: nested too deeply "
                                 f"or too long (an expr is a formula of a few terms)") from None
            except SyntaxError as error:
                self._interpreter.error = []
                raise InputError(f"{name}: cannot read expr {text!r}: not a valid expression"
                                 + (f" ({error.msg})" if getattr(error, "msg", "") else "")) \
                    from None
            if tree is None or self._interpreter.error:
                detail = self._errors()
                raise InputError(f"{name}: cannot read expr {text!r}{detail}")
            used = [n for n in get_ast_names(tree) if n not in builtins or n in names]
            unknown = [n for n in used if n not in names]
            if unknown:
                raise InputError(f"{name}: expr {text!r} uses {', '.join(map(repr, unknown))}, "
                                 "which is no parameter; the parameters are "
                                 + ", ".join(names))
            if name in used:
                raise InputError(f"{name}: expr {text!r} uses the parameter itself")
            self._trees[name] = tree
            uses[name] = [n for n in used if n in self.expressions]
        self.order = _dependency_order(uses)

    # asteval's error messages, as one text after a colon (or nothing).
    def _errors(self):
        # Each message repeats the expression before its last line, the reason.
        messages = [e.get_error()[1].strip().splitlines() for e in self._interpreter.error]
        self._interpreter.error = []
        reasons = [lines[-1] for lines in messages if lines]
        return f": {'; '.join(reasons)}" if reasons else ""

    # The parameters an expression uses (directly).
    def uses(self, name):
        return get_ast_names(self._trees[name])

    # Names of the constrained and derived parameters, in evaluation order.
    @property
    def names(self):
        return list(self.order)

    # Values of every expression given the values of the other parameters
    # (name -> value); returns all values, the expressions' included.
    def evaluate(self, values):
        values = dict(values)
        symbols = self._interpreter.symtable
        for name in self.order:
            for other, value in values.items():
                symbols[other] = value
            text = _shown(self.expressions[name])
            try:
                # Overflow gives inf, refused below, rather than a warning.
                with np.errstate(all="ignore"):
                    result = self._interpreter.run(self._trees[name], with_raise=True)
            except RecursionError:
                self._interpreter.error = []
                raise InputError(f"{name}: expr {text} is nested too deeply to evaluate") \
                    from None
            except Exception as error:
                # asteval's limits raise with an empty text and say why in its errors.
                reason = self._errors() or (f": {type(error).__name__}: {error}"
                                            if str(error) else f": {type(error).__name__}")
                raise InputError(f"{name}: expr {text} failed{reason}") from None
            if self._interpreter.error:
                raise InputError(f"{name}: expr {text} failed" + self._errors())
            try:
                value = float(result)
            except (TypeError, ValueError, OverflowError):
                raise InputError(f"{name}: expr {text} gives {_shown(result)}, not a number") \
                    from None
            if not math.isfinite(value):
                raise InputError(f"{name}: expr {text} gives {value!r}")
            values[name] = value
        return values

    # Derivatives of the expressions' values with respect to the parameters
    # `free` (names) at `values`: an array (len(names), len(free)), rows in
    # evaluation order; central differences.
    def gradient(self, values, free):
        gradient = np.zeros((len(self.order), len(free)))
        for j, name in enumerate(free):
            step = DERIVATIVE_STEP * (abs(values[name]) or 1.0)
            up, down = dict(values), dict(values)
            up[name] += step
            down[name] -= step
            high, low = self.evaluate(up), self.evaluate(down)
            for i, constrained in enumerate(self.order):
                gradient[i, j] = (high[constrained] - low[constrained]) / (2.0 * step)
        return gradient


# Names in an order where each comes after the names it uses; ValueError on a cycle.
def _dependency_order(uses):
    order, state = [], {}

    # Depth-first visit: 1 while on the path, 2 when placed.
    def visit(name, path):
        if state.get(name) == 2:
            return
        if state.get(name) == 1:
            cycle = path[path.index(name):] + [name]
            raise InputError("circular expr definitions: " + " -> ".join(cycle))
        state[name] = 1
        for other in uses[name]:
            visit(other, path + [name])
        state[name] = 2
        order.append(name)

    for name in uses:
        visit(name, [])
    return order


# The names an expression uses; none for a text that does not parse (the
# Constraints built from it say why).
def names_used(text):
    try:
        return get_ast_names(Interpreter(minimal=True).parse(text))
    except (SyntaxError, RecursionError, RuntimeError, MemoryError):
        return []
