"""The oracle: SciPy 1.14.1's odeint, which runs the Fortran LSODA, on the
model's right-hand sides written in Python with the same groupings as
model/lsoda/rate_equations.cpp (plain float arithmetic, no NumPy ufuncs).

odeint's LSODA factors its iteration matrix with LAPACK from SciPy's bundled
OpenBLAS; for stiff steps to agree to the bit, that OpenBLAS must run
kernels without fused multiply-adds (OPENBLAS_CORETYPE=Sandybridge, set by
tests/conftest.py before NumPy or SciPy are imported).

The Fortran LSODA writes its warnings straight to file descriptor 1 (with
NUL-padded lines). odeint_solve diverts that descriptor into a scratch file
for the duration of each call, so the warnings of thousands of reference
steps do not pile up after the test summary; a caller that wants them passes
a list to collect them. The Fortran runtime must write unbuffered for this
(GFORTRAN_UNBUFFERED_PRECONNECTED, set by tests/conftest.py), or it would
flush them later, wherever descriptor 1 then points.
"""

import math
import os
import sys
import tempfile
import threading
import warnings
from contextlib import contextmanager
from dataclasses import dataclass

from scipy.integrate import ODEintWarning, odeint
from scipy.integrate._odepack_py import _msgs as ODEINT_MESSAGES

# Reciprocal of Planck's constant (1/(J s)), as in include/model_context.hpp.
INVERSE_PLANCK = 1.5091901796421518e33
# Solver settings of every model step.
STEP_RTOL = 1.0e-6
STEP_ATOL = 1.0e-6
MXSTEP = 500
# ISTATE from the message odeint reports.
ISTATE_OF_MESSAGE = {message: istate for istate, message in ODEINT_MESSAGES.items()}


def ieee_divide(a, b):
    """a / b as the C++ side computes it: division by zero gives inf or NaN."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


@dataclass(frozen=True)
class ModelContext:
    """The rate constants of one parameter vector, formed as set_model_context does."""

    photon_factor: float
    sigma_1: float
    sigma_2: float
    sigma_4: float
    rate_21: float
    rate_24: float
    rate_32: float
    rate_41: float
    rate_54: float


def model_context(params, optical_frequency):
    """ModelContext from the eight parameters and the optical frequency."""
    p = [float(v) for v in params]
    return ModelContext(
        photon_factor=ieee_divide(INVERSE_PLANCK, float(optical_frequency)),
        sigma_1=p[0],
        sigma_2=p[1],
        sigma_4=p[2],
        rate_21=ieee_divide(1.0, p[3]),
        rate_24=ieee_divide(1.0, p[4]),
        rate_32=ieee_divide(1.0, p[5]),
        rate_41=ieee_divide(1.0, p[6]),
        rate_54=ieee_divide(1.0, p[7]),
    )


def population_derivatives(c, populations, intensity):
    """The five population derivatives, grouped as population_rhs groups them."""
    phi = c.photon_factor * intensity
    n1, n2, n3, n4, n5 = populations
    return [
        (c.rate_21 * n2 - (c.sigma_1 * n1) * phi) + n4 * c.rate_41,
        ((c.sigma_1 * n1) * phi + c.rate_32 * n3)
        - ((c.rate_21 * n2 + n2 * c.rate_24) + (c.sigma_2 * phi) * n2),
        (c.sigma_2 * phi) * n2 - c.rate_32 * n3,
        (n2 * c.rate_24 - (n4 * c.rate_41 + (phi * c.sigma_4) * n4)) + c.rate_54 * n5,
        (phi * c.sigma_4) * n4 - c.rate_54 * n5,
    ]


def intensity_derivative(c, intensity, populations):
    """dI/dz, grouped as intensity_rhs groups it."""
    n1, n2, _, n4, _ = populations
    return -intensity * (n4 * c.sigma_4 + (n2 * c.sigma_2 + n1 * c.sigma_1))


# Scratch file that receives descriptor 1 during oracle calls, opened on first use.
_DIVERTED = {}
# Descriptor 1 is process-wide: one diversion at a time.
_DIVERT_LOCK = threading.Lock()


@contextmanager
def diverted_stdout(collected=None):
    """Send what is written to file descriptor 1 meanwhile into a scratch file;
    append its text (NUL padding removed) to `collected` when given."""
    with _DIVERT_LOCK:
        if "file" not in _DIVERTED:
            _DIVERTED["file"] = tempfile.TemporaryFile()
        scratch = _DIVERTED["file"]
        sys.stdout.flush()
        saved = os.dup(1)
        os.dup2(scratch.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            size = os.lseek(scratch.fileno(), 0, os.SEEK_END)
            if size:
                if collected is not None:
                    os.lseek(scratch.fileno(), 0, os.SEEK_SET)
                    text = os.read(scratch.fileno(), size).decode("latin-1")
                    collected.append(text.replace("\0", ""))
                os.ftruncate(scratch.fileno(), 0)
                os.lseek(scratch.fileno(), 0, os.SEEK_SET)


def odeint_solve(f, y0, t_start, t_end, diagnostics=None):
    """One fresh LSODA call from t_start to t_end with the model's settings.

    The solver's printed warnings go to the list `diagnostics` when given,
    else nowhere. Returns (y list, istate, nst, nfe, nje, nqu, mused, hu, tcur).
    """
    with warnings.catch_warnings(), diverted_stdout(diagnostics):
        # The ISTATE returned says the same.
        warnings.simplefilter("ignore", ODEintWarning)
        y, info = odeint(f, list(y0), [t_start, t_end], rtol=STEP_RTOL, atol=STEP_ATOL,
                         mxstep=MXSTEP, full_output=True)
    istate = ISTATE_OF_MESSAGE[info["message"]]
    return ([float(v) for v in y[-1]], istate, int(info["nst"][0]), int(info["nfe"][0]),
            int(info["nje"][0]), int(info["nqu"][0]), int(info["mused"][0]),
            float(info["hu"][0]), float(info["tcur"][0]))


def odeint_population_step(params, optical_frequency, state, t_end, t_start=0.0):
    """The oracle's population step on state = (N1..N5, I).

    Returns (state_out, istate, nst, nfe, nje, nqu, mused) like
    tarvo._native.population_step.
    """
    c = model_context(params, optical_frequency)
    intensity = float(state[5])

    def f(y, t):
        return population_derivatives(c, y.tolist(), intensity)

    y, *stats = odeint_solve(f, [float(v) for v in state[:5]], t_start, t_end)
    return (y + [intensity], *stats[:6])


def odeint_intensity_step(params, optical_frequency, state, z_end, z_start=0.0):
    """The oracle's depth step on state = (I, N1..N5).

    Returns (state_out, istate, nst, nfe, nje, nqu, mused) like
    tarvo._native.intensity_step.
    """
    c = model_context(params, optical_frequency)
    populations = [float(v) for v in state[1:6]]

    def f(y, t):
        return [intensity_derivative(c, float(y[0]), populations)]

    y, *stats = odeint_solve(f, [float(state[0])], z_start, z_end)
    return (y + populations, *stats[:6])
