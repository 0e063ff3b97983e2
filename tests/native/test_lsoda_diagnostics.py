"""The solver's printed diagnostics: DLSODA's (2003) texts exactly, in
XERRWD's layout, with the numbers that the Fortran LSODA in SciPy prints.

SciPy's copy prints the older lower-case texts; its value lines have the
same layout, so those are compared with ours after mapping the labels. The
oracle runs in a subprocess of its own, which prints only the lines of the
case at hand.
"""

import math
import os
import subprocess
import sys

import pytest

from odeint_reference import odeint_population_step, odeint_solve
from tarvo import _native

OPTICAL_FREQUENCY = 299792458.0 / 532e-9
REALISTIC = (4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12)
DT_NS = 4e-9 * (1.0 / 9)
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
# Where a child process finds this module and the references it imports.
SEARCH_PATH = [TESTS_DIR] + [os.path.join(TESTS_DIR, "..", folder) for folder in ("support", "references")]


def d21_13(value):
    """Fortran's D21.13 as gfortran writes it, formed independently of the
    C++ helper: 0.ddddddddddddd with a D exponent (no D beyond 99)."""
    if math.isnan(value):
        return f"{'NaN':>21}"
    if math.isinf(value):
        return f"{'Infinity' if value > 0 else '-Infinity':>21}"
    mantissa, exponent = f"{abs(value):.12e}".split("e")
    exponent = int(exponent) + (1 if value != 0 else 0)
    digits = mantissa.replace(".", "")
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    tail = f"D{exponent:+03d}" if abs(exponent) <= 99 else f"{exponent:+04d}"
    return f"{sign}0.{digits}{tail}".rjust(21)


@pytest.mark.parametrize("value, text", [
    (1.0, "  0.1000000000000D+01"),
    (0.0, "  0.0000000000000D+00"),
    (-2.5e-5, " -0.2500000000000D-04"),
    (2.0 / 3.0, "  0.6666666666667D+00"),
    (123.456, "  0.1234560000000D+03"),
    (1e100, "  0.1000000000000+101"),
    (-1e-100, " -0.1000000000000D-99"),
    (1e-101, "  0.1000000000000-100"),
    (5e-324, "  0.4940656458412-323"),
    (1.7976931348623157e308, "  0.1797693134862+309"),
    (9.99999999999995e-11, "  0.1000000000000D-09"),
    (math.nan, "                  NaN"),
    (math.inf, "             Infinity"),
    (-math.inf, "            -Infinity"),
])
def test_d21_13_format(value, text):
    assert _native.format_d21_13(value) == text
    assert d21_13(value) == text


def test_mxstep_message(capfd):
    state = [6e17, 0.0, 0.0, 0.0, 0.0, 1e20]
    native = _native.population_step(REALISTIC, OPTICAL_FREQUENCY, state, DT_NS)
    # SciPy's copy dropped this message; its TCUR and NST give R1 and I1.
    expected = odeint_solve(
        lambda y, t: odeint_population_step.__globals__["population_derivatives"](
            odeint_population_step.__globals__["model_context"](REALISTIC, OPTICAL_FREQUENCY),
            y.tolist(), 1e20),
        state[:5], 0.0, DT_NS)
    assert native[1] == expected[1] == -1 and expected[2] == 500
    assert capfd.readouterr().out.splitlines() == [
        " DLSODA-  At current T (=R1), MXSTEP (=I1) steps   ",
        "       taken on this call before reaching TOUT     ",
        "      In above message,  I1 =       500",
        f"      In above message,  R1 ={d21_13(expected[-1])}",
    ]


def kick(t, y):
    """A jump at the start that no step size resolves: repeated error test failures."""
    return [1e300 if t > 0.0 else 0.0]


def make_noise():
    """Derivatives that alternate in sign on every call after a quiet first one:
    the corrector never converges."""
    calls = [0]

    def noise(t, y):
        calls[0] += 1
        return [0.0 if calls[0] == 1 else (1e300 if calls[0] % 2 else -1e300)]
    return noise


def late_nan(t, y):
    """NaN derivatives beyond t = 0.5: the weighted norm becomes NaN."""
    return [math.nan if t > 0.5 else -y[0]]


def late_infinity(t, y):
    """Infinite derivatives beyond t = 0.5: TOUT ends outside the last step."""
    return [math.inf if t > 0.5 else -y[0]]


def late_jump(t, y):
    """A jump at t = 0.5 resolved only down to steps below the spacing of t."""
    return [1e12 if t > 0.5 else 0.0]


# name: (right-hand side factory, y0, t0, tout, the 2003 message lines in
# order; None marks where a value line follows).
CASES = {
    "error_test_failures": (lambda: kick, [0.0], 0.0, 1.0, [
        " DLSODA-  At T(=R1) and step size H(=R2), the error",
        "       test failed repeatedly or with abs(H) = HMIN", None]),
    "convergence_failures": (make_noise, [0.0], 0.0, 1.0, [
        " DLSODA-  At T (=R1) and step size H (=R2), the    ",
        "       corrector convergence failed repeatedly     ",
        "       or with abs(H) = HMIN   ", None]),
    "too_much_accuracy": (lambda: late_nan, [1.0], 0.0, 1.0, [
        " DLSODA-  At T (=R1), too much accuracy requested  ",
        "       for precision of machine..  See TOLSF (=R2) ", None]),
    "tout_outside_last_step": (lambda: late_infinity, [1.0], 0.0, 1.0, [
        " DINTDY-  T (=R1) illegal      ", None,
        "       T not in interval TCUR - HU (= R1) to TCUR (=R2)      ", None]),
    "t_plus_h_equals_t": (lambda: late_jump, [0.0], 0.0, 1.0, [
        " DLSODA-  Warning..Internal T (=R1) and H (=R2) are",
        "       such that in the machine, T + H = T on the next step  ",
        "      (H = step size). Solver will continue anyway.", None] * 10 + [
        " DLSODA-  Above warning has been issued I1 times.  ",
        "      It will not be issued again for this problem.", None,
        " DLSODA-  At current T (=R1), MXSTEP (=I1) steps   ",
        "       taken on this call before reaching TOUT     ", None, None]),
}


def run_in_oracle(name):
    """Entry of the oracle subprocess: integrate case `name` with odeint."""
    factory, y0, t0, tout, _ = CASES[name]
    f = factory()
    printed = []
    odeint_solve(lambda y, t: f(t, y.tolist()), y0, t0, tout, diagnostics=printed)
    sys.stdout.write("".join(printed))


def oracle_value_lines(name):
    """The value lines that SciPy's Fortran LSODA prints for case `name`,
    with the labels spelled as XERRWD spells them."""
    code = (f"import sys; sys.path[:0] = {SEARCH_PATH!r}; "
            f"import test_lsoda_diagnostics as m; m.run_in_oracle({name!r})")
    # -P: the working directory must not shadow the installed package.
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         check=True, env=os.environ.copy()).stdout
    labels = {"in above message,": "In above message,", "in above,": "In above,",
              " i1 =": " I1 =", " i2 =": " I2 =", " r1 =": " R1 =", " r2 =": " R2 ="}
    lines = []
    for line in out.splitlines():
        if line.startswith("      in above"):
            for old, new in labels.items():
                line = line.replace(old, new)
            lines.append(line)
    return lines


@pytest.mark.parametrize("name", CASES)
def test_diagnostics_match_fortran(name, capfd):
    factory, y0, t0, tout, messages = CASES[name]
    native = _native.solve(factory(), y0, t0, tout)
    printed = capfd.readouterr().out.splitlines()
    values = iter(oracle_value_lines(name))
    expected = [line if line is not None else next(values, "<no value line>") for line in messages]
    if name == "t_plus_h_equals_t":
        # The MXSTEP lines, absent from SciPy's copy, carry NST and TCUR.
        expected[-2:] = ["      In above message,  I1 =       500",
                         f"      In above message,  R1 ={d21_13(native[-1])}"]
    assert printed == expected
    assert next(values, None) is None


def test_illegal_input_messages(capfd):
    istate = _native.solve(lambda t, y: [0.0], [1.0], 0.0, 1.0, rtol=-1.0)[2]
    assert istate == -3
    istate = _native.solve(lambda t, y: [0.0], [0.0], 0.0, 1.0, rtol=0.0, atol=0.0)[2]
    assert istate == -3
    istate = _native.solve(lambda t, y: [0.0], [0.0], 1.0, 1.0 + 1e-17)[2]
    assert istate == 1
    istate = _native.solve(lambda t, y: [0.0], [0.0], 1e10, 1e10 + 2e-6)[2]
    assert istate == -3
    assert capfd.readouterr().out.splitlines() == [
        " DLSODA-  RTOL(I1) is R1 .lt. 0.0        ",
        "      In above message,  I1 =         1",
        "      In above message,  R1 = -0.1000000000000D+01",
        " DLSODA-  EWT(I1) is R1 .le. 0.0         ",
        "      In above message,  I1 =         1",
        "      In above message,  R1 =  0.0000000000000D+00",
        " DLSODA-  TOUT(=R1) too close to T(=R2) to start integration.",
        "      In above,  R1 =  0.1000000000000D+11   R2 =  0.1000000000000D+11",
    ]
