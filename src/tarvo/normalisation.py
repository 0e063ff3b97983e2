"""How model curves are normalised: the way the measured curves were.

A laboratory divides each measured curve by a reference: by its own mean
far from the focus (the usual open-aperture Z-scan), by the linear
transmittance (a low-energy scan of the same sample), or not at all
(calibrated detectors). The model's curves must be normalised the same way,
or the fitted cross-sections absorb the difference: the ratio of a curve
divided by its far field is not the curve shifted to a baseline of 1.

    "far-field"  T(z) / mean of T over the first and last `far_field_points`
                 positions (the default)
    "linear"     T(z) / exp(-alpha_0 L), alpha_0 = sum over the absorbing
                 levels of sigma_k N_k before the pulse (usually sigma_1 N_1)
    "absolute"   T(z), the transmitted over the incident pulse energy
    "shift"      T(z) + 1 - (mean of the far-field points): the additive
                 convention of fit_zscan, kept to reproduce its model

T is the model's absolute transmittance. The derivatives of the normalised
curves follow from those of T by the quotient rule.
"""

import math
from dataclasses import dataclass

import numpy as np

from .errors import InputError


# The normalisations, the default first.
NORMALISATIONS = ("far-field", "linear", "absolute", "shift")

# Positions at each end of a curve that the far-field mean takes by default.
FAR_FIELD_POINTS = 5

# The far field of curves divided by the linear transmittance lies this close
# to 1 (further off, the plausibility checks warn); outside this range no
# such curve lies (the fit stops): the scan would have to end where the
# nonlinear change is larger than the linear absorption.
FAR_FIELD_TOLERANCE = 0.05
LINEAR_FAR_FIELD_RANGE = (0.5, 2.0)

# Entries of the parameter vector that are the absorbing levels' cross-sections,
# with the level (0-based) each one absorbs from.
ABSORBING_LEVELS = ((0, 0), (1, 1), (2, 3))


# A normalisation and, for "far-field" and "shift", how many points at each end it takes.
@dataclass(frozen=True)
class Normalisation:
    """How measured and model curves are normalised (see the module notes).

    Parameters
    ----------
    mode : str
        One of "far-field" (default), "linear", "absolute", "shift".
    far_field_points : int
        Positions at each end of a curve whose mean is the far field.
    """

    mode: str = NORMALISATIONS[0]
    far_field_points: int = FAR_FIELD_POINTS

    def __post_init__(self):
        if self.mode not in NORMALISATIONS:
            raise InputError(f"normalisation must be one of {', '.join(map(repr, NORMALISATIONS))},"
                             f" got {self.mode!r}")
        points = self.far_field_points
        if isinstance(points, bool) or not isinstance(points, (int, np.integer)) or points < 1:
            raise InputError(f"far_field_points must be an integer of at least 1, got {points!r}")

    # Whether the curves are divided or shifted by their own far-field mean.
    @property
    def uses_far_field(self):
        """Whether the curves are divided or shifted by their own far-field mean."""
        return self.mode in ("far-field", "shift")

    # ValueError when curves of `points` points are too short for the far-field mean.
    def check_points(self, points):
        """Raise ValueError when curves of `points` points are too short for the far field.

        Parameters
        ----------
        points : int
            Points per curve.
        """
        # fit_zscan's shift takes its five points at each end even where they
        # overlap (a curve of 5 to 9 points); a curve divided by its far field
        # needs points beyond it.
        if self.mode == "shift" and points < self.far_field_points:
            raise InputError(f"a curve needs at least far_field_points = "
                             f"{self.far_field_points} points, got {points}")
        if self.mode == "far-field" and 2 * self.far_field_points >= points:
            raise InputError(f"far_field_points = {self.far_field_points} takes "
                             f"{2 * self.far_field_points} of the {points} points of a curve "
                             "for its far field; a curve needs more points than that")

    # The mean of the far-field points of each curve: along the last axis of
    # `curves` (curve, ..., points). `counts` (one per curve) says how many
    # points of each row are the curve's own; the rest pads a shorter curve.
    def far_field(self, curves, counts=None):
        """The far-field mean of each curve.

        Parameters
        ----------
        curves : numpy.ndarray
            Curves along the last axis, one curve per entry of the first.
        counts : array_like of int, optional
            Points of each curve (a shorter curve's row is padded at its
            end); None: every row is a whole curve.

        Returns
        -------
        numpy.ndarray
            The mean of the first and last `far_field_points` values of each.
        """
        p = self.far_field_points
        if counts is None:
            return 0.5 * (np.mean(curves[..., :p], axis=-1) + np.mean(curves[..., -p:], axis=-1))
        return np.stack([0.5 * (np.mean(row[..., :p], axis=-1)
                                + np.mean(row[..., count - p:count], axis=-1))
                         for row, count in zip(curves, counts)])

    # Measured ratios (signal / reference, one row per curve) normalised as
    # this normalisation says; "linear" and "shift" need a calibration that
    # raw detector signals do not carry.
    def normalise_data(self, ratio):
        """Normalise measured ratios (signal / reference) as this normalisation says.

        Parameters
        ----------
        ratio : array_like
            One row per curve.

        Returns
        -------
        numpy.ndarray
            The ratios divided by their far field ("far-field") or as they
            are ("absolute"); other normalisations raise ValueError.
        """
        ratio = np.asarray(ratio, dtype=np.float64)
        if self.mode == "far-field":
            return ratio / self.far_field(ratio)[..., None]
        if self.mode == "absolute":
            return ratio
        raise InputError(f"raw signal columns can be normalised \"far-field\" (divided by their "
                         f"far-field mean) or taken as \"absolute\" (calibrated detectors), not "
                         f"{self.mode!r}")

    # The measured curves (curves, points) and their standard deviations (or
    # None) as the fit compares them with the model: "far-field" divides
    # each curve and its sigma by the curve's own far-field mean, as it
    # divides the model (idempotent for curves already divided; a ratio
    # column of any scale comes out right); "linear" and "absolute" take the
    # data as they are and raise ValueError, naming the fix, where their far
    # field cannot be so normalised; "shift" (fit_zscan's) takes them as
    # they are. `counts` as for far_field; `names` name the curves.
    def measured(self, y, sigma, counts=None, names=None):
        """The measured curves and sigma normalised as the model is.

        Parameters
        ----------
        y : numpy.ndarray
            Measured curves, one row per curve.
        sigma : numpy.ndarray or None
            Their standard deviations.
        counts : array_like of int, optional
            Points of each curve (rows padded at their end); None: all.
        names : sequence of str, optional
            Curve names for messages (default "curve 1", ...).

        Returns
        -------
        y, sigma : numpy.ndarray
            Curves and sigma to fit.
        """
        if self.mode == "shift":
            return y, sigma
        means = self.far_field(y, counts)
        names = [f"curve {k + 1}" for k in range(len(means))] if names is None else names
        if self.mode == "far-field":
            if np.any(~(means > 0.0)):
                k = int(np.argmax(~(means > 0.0)))
                raise InputError(f"the far-field points of {names[k]} average {means[k]:.4g}: "
                                 "a transmittance far from the focus is positive")
            scale = means[:, None]
            return y / scale, None if sigma is None else sigma / scale
        if self.mode == "linear":
            low, high = LINEAR_FAR_FIELD_RANGE
            off = [(name, mean) for name, mean in zip(names, means) if not low <= mean <= high]
            what = (f"outside {low:g} to {high:g}: curves divided by the linear transmittance "
                    "are near 1 far from the focus")
        else:
            off = [(name, mean) for name, mean in zip(names, means)
                   if not 0.0 < mean <= 1.0 + FAR_FIELD_TOLERANCE]
            what = ("outside 0 to 1: an absolute transmittance (transmitted over incident "
                    "pulse energy) lies between 0 and 1")
        if off:
            listing = ", ".join(f"{name} {mean:.4g}" for name, mean in off)
            raise InputError(f"normalisation {self.mode!r}: the far-field points "
                             f"({self.far_field_points} at each end) average {listing} {what}; "
                             "for curves on an arbitrary scale (a signal/reference ratio) or "
                             "already divided by their far field, use normalisation "
                             "\"far-field\" ([data] normalisation), which divides each curve "
                             "by its own far-field mean")
        return y, sigma

    # Linear transmittance exp(-alpha_0 L) and its derivative with respect to
    # each parameter index in `derivatives` (indices beyond the cross-sections: 0).
    @staticmethod
    def _linear(spec_pars, populations, sample_width, derivatives):
        alpha = sum(spec_pars[i] * populations[level] for i, level in ABSORBING_LEVELS)
        transmittance = math.exp(-alpha * sample_width)
        slopes = np.zeros(len(derivatives))
        for d, index in enumerate(derivatives):
            for i, level in ABSORBING_LEVELS:
                if index == i:
                    slopes[d] = -populations[level] * sample_width * transmittance
        return transmittance, slopes

    # Normalised curves (D, n) and their derivatives (D, n, len(derivatives))
    # from the absolute model T and its derivatives; `derivatives` names the
    # parameter index (0-7) or focus shift (8) of each derivative column.
    def apply(self, raw, jacobian, derivatives, spec_pars, populations, sample_width,
              counts=None):
        """Normalise absolute model curves and their derivatives.

        Parameters
        ----------
        raw : numpy.ndarray
            Absolute transmittance, (curves, points).
        jacobian : numpy.ndarray or None
            Its derivatives, (curves, points, len(derivatives)).
        derivatives : sequence of int
            The parameter index (0-7) or focus shift (8) of each column.
        spec_pars : numpy.ndarray
            The eight parameters.
        populations : numpy.ndarray
            Populations of the five levels before the pulse (cm^-3).
        sample_width : float
            Sample thickness (cm).
        counts : array_like of int, optional
            Points of each curve (rows padded at their end); None: all.

        Returns
        -------
        curves, jacobian : numpy.ndarray
            Normalised curves and their derivatives (None without jacobian).
        """
        raw = np.asarray(raw, dtype=np.float64)
        if self.mode == "absolute":
            return raw, jacobian
        if self.mode == "linear":
            linear, slopes = self._linear(spec_pars, populations, sample_width, derivatives)
            curves = raw / linear
            if jacobian is None:
                return curves, None
            return curves, (jacobian - curves[..., None] * slopes) / linear
        far = self.far_field(raw, counts)[..., None]
        far_derivative = None if jacobian is None else self.far_field(
            np.moveaxis(jacobian, -1, -2), counts)[..., None, :]
        if self.mode == "shift":
            curves = raw + (1.0 - far)
            return curves, None if jacobian is None else jacobian - far_derivative
        # A far field of 0 (a set-up that absorbs everything) gives non-finite
        # curves, which the fit and simulate refuse, rather than a warning.
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            curves = raw / far
            if jacobian is None:
                return curves, None
            return curves, (jacobian - curves[..., None] * far_derivative) / far[..., None]

    # The record of the result file.
    def as_dict(self):
        """The record of the result file: the mode and, where used, far_field_points."""
        record = {"normalisation": self.mode}
        if self.uses_far_field:
            record["far_field_points"] = int(self.far_field_points)
        return record


# A Normalisation from a name or an existing one (None: the default).
def normalisation_of(value, far_field_points=None):
    if isinstance(value, Normalisation):
        if far_field_points is not None and far_field_points != value.far_field_points:
            return Normalisation(value.mode, far_field_points)
        return value
    mode = NORMALISATIONS[0] if value is None else value
    return Normalisation(mode, FAR_FIELD_POINTS if far_field_points is None else far_field_points)
