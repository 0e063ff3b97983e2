"""The set-up of a Z-scan: beam, pulse, sample and the model's time and
depth grid, as one object that every layer takes (the fit, the simulation,
both engines' handles, the problem, the global fit, the plan and the files)."""

import math
from dataclasses import dataclass, replace

import numpy as np

from . import _native
from .errors import InputError


# Beam, pulse, sample and grid: the fixed part of the model. Units: SI except
# the sample width (cm) and the populations (cm^-3).
@dataclass(frozen=True)
class Setup:
    """The set-up of a Z-scan: the fixed part of the model.

    Parameters
    ----------
    wavelength, w0, M2 : float
        Wavelength (m), beam waist (m) and beam quality factor.
    tau : float
        Pulse duration (s; the 1/e half width of the Gaussian intensity).
    sample_width : float
        Sample thickness (cm).
    populations : tuple of float
        Initial populations of the five levels (cm^-3).
    t_slices, z_slices : int or None
        The model's time and depth slices; None: the model's default.
    pulse_fwhm, concentration : float or None
        The lab quantities tau and populations were derived from where the
        set-up file gives them: the pulse's intensity FWHM (s) and the
        absorber's molar concentration (mol/L).
    """

    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    populations: tuple
    t_slices: int | None = None
    z_slices: int | None = None
    pulse_fwhm: float | None = None
    concentration: float | None = None

    # The set-up of the keyword values of tarvo.fit and tarvo.simulate,
    # checked: positive finite numbers, five populations of at least 0 (not
    # all 0); InputError naming the first that is not.
    @classmethod
    def of(cls, populations, sample_width, tau, wavelength, w0, M2, t_slices=None,
           z_slices=None):
        """The set-up of these values, checked.

        Parameters
        ----------
        populations : array_like
            Initial populations of the five levels (cm^-3), at least 0, not all 0.
        sample_width, tau, wavelength, w0, M2 : float
            Sample thickness (cm), pulse duration (s), wavelength (m), beam
            waist (m) and beam quality factor: positive finite numbers.
        t_slices, z_slices : int, optional
            The model's time and depth slices (None: the model's default).

        Returns
        -------
        Setup

        Raises
        ------
        tarvo.InputError
            Naming the first value that is not as above.
        """
        for name, value in (("sample_width", sample_width), ("tau", tau),
                            ("wavelength", wavelength), ("w0", w0), ("M2", M2)):
            if isinstance(value, (bool, np.bool_)) or not isinstance(
                    value, (int, float, np.number)) or not (math.isfinite(value) and value > 0):
                raise InputError(f"{name} must be a positive finite number, got {value!r}")
        try:
            levels = np.ravel(np.asarray(populations, dtype=np.float64))
        except (TypeError, ValueError):
            levels = np.empty(0)
        if levels.size != _native.LEVELS or not np.all(np.isfinite(levels)) or np.any(levels < 0) \
                or not np.any(levels > 0):
            raise InputError(f"populations must be five finite numbers of at least 0, not all 0 "
                             f"(cm^-3), got {populations!r}")
        return cls(wavelength=float(wavelength), w0=float(w0), M2=float(M2), tau=float(tau),
                   sample_width=float(sample_width),
                   populations=tuple(float(v) for v in levels),
                   t_slices=t_slices, z_slices=z_slices)

    # The populations as the engines take them.
    @property
    def population_array(self):
        """The populations as a float64 array."""
        return np.array(self.populations, dtype=np.float64)

    # The time and depth slices of a model of this set-up: those given, else
    # the set-up's own (None where neither says: the model's default).
    def slices(self, t_slices=None, z_slices=None):
        """The time and depth slices of a model of this set-up.

        Parameters
        ----------
        t_slices, z_slices : int, optional
            Slices asked for; None takes the set-up's own.

        Returns
        -------
        tuple
            (t_slices, z_slices), None where neither gives one.
        """
        return (self.t_slices if t_slices is None else t_slices,
                self.z_slices if z_slices is None else z_slices)

    # The same set-up with some values changed (the error budget's shifts).
    def shifted(self, **changes):
        """The same set-up with some values changed.

        Parameters
        ----------
        changes
            New values by name (populations: any sequence of five).
        """
        if "populations" in changes:
            changes["populations"] = tuple(float(v) for v in np.ravel(changes["populations"]))
        return replace(self, **changes)


# The set-up of a call that takes it either as one object (`setup`, a
# Setup) or as its six values (`values`: name -> value, None where not
# given), not both. The values are checked as Setup.of checks them where
# `check`; else the engine checks them (a simulation may model an empty
# cell of zero width).
def setup_argument(setup, values, check=True):
    given = [name for name, value in values.items() if value is not None]
    if setup is not None:
        if not isinstance(setup, Setup):
            raise InputError(f"setup must be a tarvo.Setup, got {type(setup).__name__}")
        if given:
            raise InputError(f"the set-up is given twice: setup and {', '.join(given)}; give "
                             "one or the other")
        return setup
    if check:
        return Setup.of(**values)
    missing = [name for name, value in values.items() if value is None]
    if missing:
        raise InputError(f"the set-up needs {', '.join(missing)} (or setup)")
    return Setup(populations=tuple(np.ravel(np.asarray(values["populations"], dtype=np.float64))),
                 **{name: values[name] for name in ("sample_width", "tau", "wavelength", "w0",
                                                     "M2")})
