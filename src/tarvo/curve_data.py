"""The measured curves of a fit as tarvo.Curve objects: built from the
arrays tarvo.fit takes (each value checked where it is given), checked
where the caller built them, and stacked into the rows the problem fits
(curves of different lengths padded with their last point)."""

import math
from dataclasses import replace

import numpy as np

from .engine import padded_rows, ragged_rows
from .errors import InputError
from .measurement import Curve


# The curves of a fit from its arrays, checked: positions (mm) and
# transmittance one row per curve (positions: or one row for all; one
# sequence per curve where their lengths differ), the pulse energies, sigma
# (or None), and per curve the aperture's transmittance and whether it is
# divided by the open one (None: all open, none divided). Curve k is named
# "curve k+1".
def curves_of(positions, transmittance, pulse_energy, sigma=None, aperture=None,
              divided_by_open=None):
    x, y, energies, sigma, counts = _data(positions, transmittance, pulse_energy, sigma)
    aperture = _apertures(aperture, x.shape[0])
    divided = _divided(divided_by_open, aperture, x.shape[0])
    points = [x.shape[1]] * x.shape[0] if counts is None else [int(n) for n in counts]
    return tuple(Curve(f"curve {k + 1}", float(energies[k]), x[k, :n], y[k, :n],
                       None if sigma is None else sigma[k, :n], aperture=aperture[k],
                       divided_by_open=divided[k])
                 for k, n in enumerate(points))


# Curves the caller built (tarvo.Curve objects), checked as curves_of checks
# arrays: the same curves with their values as float arrays.
def checked_curves(curves):
    curves = tuple(curves)
    with_sigma = [c.sigma is not None for c in curves]
    if any(with_sigma) and not all(with_sigma):
        raise InputError("sigma: give it for every curve or for none")
    checked = curves_of([c.positions for c in curves], [c.transmittance for c in curves],
                        [c.pulse_energy for c in curves],
                        [c.sigma for c in curves] if all(with_sigma) else None,
                        [c.aperture for c in curves], [c.divided_by_open for c in curves])
    return tuple(replace(curve, pulse_energy=new.pulse_energy, positions=new.positions,
                         transmittance=new.transmittance, sigma=new.sigma,
                         aperture=new.aperture, divided_by_open=new.divided_by_open)
                 for curve, new in zip(curves, checked))


# Whether `values` is a non-empty sequence of tarvo.Curve objects.
def are_curves(values):
    return isinstance(values, (list, tuple)) and bool(values) and all(
        isinstance(c, Curve) for c in values)


# The rows a problem fits, from checked curves: positions (D, n),
# transmittance (D, n), energies (D,), sigma (or None), the points of each
# curve where their lengths differ (rows padded with the last point; else
# None), and the apertures and divided flags (None where all are open or
# none divided).
def stacked(curves):
    counts = np.array([c.positions.size for c in curves])
    ragged = len(set(counts.tolist())) > 1

    def rows(values):
        values = [np.asarray(v, dtype=np.float64) for v in values]
        return padded_rows("positions", values, counts) if ragged else np.stack(values)

    sigma = None if curves[0].sigma is None else rows([c.sigma for c in curves])
    aperture = [float(c.aperture) for c in curves]
    divided = [bool(c.divided_by_open) for c in curves]
    return (rows([c.positions for c in curves]), rows([c.transmittance for c in curves]),
            np.array([c.pulse_energy for c in curves], dtype=np.float64), sigma,
            counts if ragged else None, None if all(a == 1.0 for a in aperture) else aperture,
            divided if any(divided) else None)


# A (num_datasets, num_x_pts) float array of finite values, or ValueError naming the bad entry.
def _curves_array(name, values, shape):
    array = np.array(values, dtype=np.float64)
    if array.ndim == 1 and shape[0] == 1 and array.size == shape[1]:
        array = array[None, :]
    if array.shape != shape:
        raise InputError(f"{name} must have shape {shape} (one row per curve), got {array.shape}")
    bad = np.argwhere(~np.isfinite(array))
    if bad.size:
        k, i = bad[0]
        raise InputError(f"{name} must be finite: curve {k} point {i} is {float(array[k, i])!r}")
    return array


# Data of a fit as arrays: positions (mm) and transmittance (D, n), energies
# (D,), sigma, and the points of each curve where their lengths differ (else None).
def _data(positions, transmittance, pulse_energy, sigma):
    energies = np.array(pulse_energy, dtype=np.float64).ravel()
    if energies.size == 0:
        raise InputError("pulse_energy needs at least one value (one per curve)")
    rows = ragged_rows("transmittance", transmittance)
    if rows is not None and len({row.size for row in rows}) > 1:
        return _ragged_data(positions, rows, energies, sigma)
    y = np.array(transmittance if rows is None else np.stack(rows), dtype=np.float64)
    y = y[None, :] if y.ndim == 1 else y
    if y.ndim != 2 or y.shape[0] != energies.size:
        raise InputError(f"transmittance must have one row per pulse energy ({energies.size}), "
                         f"got shape {np.shape(transmittance)}")
    shape = y.shape
    y = _curves_array("transmittance", y, shape)
    x = np.array(positions, dtype=np.float64)
    if x.ndim == 1 and x.size == shape[1]:
        x = np.tile(x, (shape[0], 1))
    x = _curves_array("positions", x, shape)
    _check_energies(energies)
    if sigma is not None:
        sigma = _curves_array("sigma", sigma, shape)
        _check_sigma(sigma)
    return x, y, energies, sigma, None


# The data of curves of different lengths (rows of transmittance), padded.
def _ragged_data(positions, rows, energies, sigma):
    if len(rows) != energies.size:
        raise InputError(f"transmittance must have one row per pulse energy ({energies.size}), "
                         f"got {len(rows)} rows")
    counts = np.array([row.size for row in rows])

    # The rows of `values` (one per curve, or an array), padded and checked.
    def padded(name, values):
        given = ragged_rows(name, values)
        given = list(np.array(values, dtype=np.float64)) if given is None else given
        array = padded_rows(name, given, counts)
        return _curves_array(name, array, array.shape)

    y = padded("transmittance", rows)
    x = padded("positions", positions)
    _check_energies(energies)
    if sigma is not None:
        sigma = padded("sigma", sigma)
        _check_sigma(sigma)
    return x, y, energies, sigma, counts


# ValueError unless every pulse energy is positive.
def _check_energies(energies):
    for k, energy in enumerate(energies):
        if not (math.isfinite(energy) and energy > 0.0):
            raise InputError(f"pulse_energy of curve {k} must be positive (J), got "
                             f"{float(energy)!r}")


# ValueError unless every standard deviation is positive.
def _check_sigma(sigma):
    if np.any(sigma <= 0.0):
        k, i = np.argwhere(sigma <= 0.0)[0]
        raise InputError(f"sigma must be positive: curve {k} point {i} is "
                         f"{float(sigma[k, i])!r}")


# The far-field aperture of each curve, checked: S per curve (0 < S <= 1,
# 1 = open); None: all open.
def _apertures(aperture, curves):
    if aperture is None:
        return [1.0] * curves
    try:
        aperture = [float(a) for a in np.ravel(np.asarray(aperture, dtype=np.float64))]
    except (TypeError, ValueError):
        raise InputError(f"aperture must be numbers, one per curve, got {aperture!r}") from None
    if len(aperture) != curves:
        raise InputError(f"aperture needs one value per curve ({curves}), got {len(aperture)}")
    for k, a in enumerate(aperture):
        if not 0.0 < a <= 1.0:
            raise InputError(f"aperture of curve {k} must lie in (0, 1] (the linear "
                             f"transmittance of the far-field aperture), got {a!r}")
    return aperture


# Which curves are closed curves divided by the open one, checked: a bool
# per curve (only closed curves can be); None: none.
def _divided(divided, aperture, curves):
    if divided is None:
        return [False] * curves
    divided = [bool(d) for d in divided]
    if len(divided) != curves:
        raise InputError(f"divided_by_open needs one value per curve ({curves}), got "
                         f"{len(divided)}")
    for k, d in enumerate(divided):
        if d and aperture[k] == 1.0:
            raise InputError(f"curve {k} is divided by the open one but has no closed aperture "
                             "(aperture < 1)")
    return divided
