"""A measurement directory read and checked: setup.toml (tarvo.setup_file,
tarvo.fit_tables) and the curve files it lists, read, left out where
[data] or [[curve]] exclude points, checked and normalised, into a
tarvo.Measurement."""

import math
from dataclasses import replace
from pathlib import Path

import numpy as np

from .curve_file import read_curve_file
from .errors import InputError
from .fit_tables import (_sigma_1_from_absorption, read_fit, read_fit_options,
                         read_uncertainties)
from .measurement import Curve, Exclusions, InputFile, Measurement
from .setup_file import read_setup_file


# Positions closer than this (mm) to an excluded one are it.
EXCLUDE_TOLERANCE_MM = 1e-9


# Raw signals are divided by their far field, which must be a positive
# number (a signal detector that read 0 there has nothing to divide by).
def _check_far_field(far_field, normalisation):
    if not (math.isfinite(far_field) and far_field > 0.0):
        raise InputError(f"the far field of the signal (the mean of its "
                         f"{normalisation.far_field_points} points at each end, divided by the "
                         f"reference) is {float(far_field):g}; raw signals are divided by it and "
                         "it must be positive: check the signal column")


# The curves listed in [[curve]], read (readings that are not a number and
# excluded points left out), checked for the points each keeps (the far
# field at each end and one between) and their columns, and normalised
# where they are raw signals.
def _read_curves(entries, directory, data_format):
    curves, files = [], []
    normalisation = data_format.normalisation
    common = data_format.exclude or Exclusions()
    for name, energy, columns, exclude, aperture, divided in entries:
        path = directory / name
        data = read_curve_file(path, columns or data_format.columns, data_format.position_unit,
                               data_format.transmittance_unit,
                               exclude_lines=(common + exclude).lines)
        data = _exclude_positions(data, common.positions, exclude.positions, path)
        values = data.transmittance
        least = 2 * normalisation.far_field_points + 1
        if values.size < least:
            left = f" after {len(data.missing)} left out" if data.missing else ""
            raise InputError(f"{path}: {values.size} points{left}; a curve needs at least "
                             f"{least} (far_field_points = {normalisation.far_field_points} at "
                             "each end and one between)")
        if data.raw:
            try:
                normalisation.check_points(values.size)
                if normalisation.mode == "far-field":
                    _check_far_field(normalisation.far_field(values), normalisation)
                values = normalisation.normalise_data(values)
            except ValueError as error:
                raise InputError(f"{path}: {error}") from None
        # Positions on the model's axis, which points along the beam.
        positions = -data.positions if data_format.stage_direction == "against-beam" \
            else data.positions
        curves.append(Curve(name, energy, positions, values, data.sigma, data.columns,
                            data.units, data.skipped, data.missing, aperture, divided))
        files.append(InputFile("curve", path, data.sha256))
    first = curves[0]
    for curve in curves[1:]:
        if (curve.sigma is None) != (first.sigma is None):
            with_sigma, without = (curve, first) if first.sigma is None else (first, curve)
            raise InputError(f"{directory}: {with_sigma.file} has a sigma column (standard "
                             f"deviation), {without.file} has none: give it for every curve "
                             "or for none")
    return tuple(curves), tuple(files)


# The curve without the points at excluded positions: `common` ([data]
# exclude) where the curve has them, `own` ([[curve]] exclude) each of
# which it must have.
def _exclude_positions(data, common, own, path):
    if not common and not own:
        return data
    drop = np.zeros(data.positions.size, dtype=bool)
    for position in common + own:
        hit = np.abs(data.positions - position) <= EXCLUDE_TOLERANCE_MM
        if position in own and not hit.any():
            raise InputError(f"{path}: exclude names position {position:g} mm, which the curve "
                             "does not have")
        drop |= hit
    if not drop.any():
        return data
    keep = ~drop
    missing = tuple(sorted(data.missing + tuple(
        (int(number), f"position {float(position)!r} mm", "excluded")
        for number, position in zip(np.array(data.lines)[drop], data.positions[drop]))))
    return replace(data, positions=data.positions[keep], transmittance=data.transmittance[keep],
                   sigma=None if data.sigma is None else data.sigma[keep],
                   lines=tuple(np.array(data.lines)[keep].tolist()), missing=missing)


# Read and check a measurement directory; InputError with a one-line message otherwise.
def read_measurement(directory):
    """Read and check a measurement directory (setup.toml and its curve files).

    Parameters
    ----------
    directory : str or path-like
        The directory.

    Returns
    -------
    Measurement
        Set-up, curves (positions in mm, transmittance normalised as [data]
        says, sigma), start values, fitted parameters and settings; give it
        to tarvo.fit (or several, for a global fit).

    Raises
    ------
    tarvo.files.InputError
        With a one-line message naming the file and the problem.
    """
    setup_file = read_setup_file(directory)
    directory = Path(directory)
    where = str(setup_file.path)
    start, fit_names, n_starts, optics = read_fit(setup_file.document, where)
    start, sigma_1_from = _sigma_1_from_absorption(setup_file.document, setup_file.setup, start,
                                                   fit_names, where)
    options = read_fit_options(setup_file.document, where)
    curves, curve_files = _read_curves(setup_file.curve_entries, directory,
                                       setup_file.data_format)
    points = sum(curve.positions.size for curve in curves)
    if points <= len(fit_names):
        raise InputError(f"{where}: {points} data points for {len(fit_names)} fitted parameters; "
                         "a fit needs more points than parameters")
    uncertainties = read_uncertainties(setup_file.document, where, len(curves), sigma_1_from,
                                        fit_names)
    return Measurement(directory, setup_file.setup, setup_file.is_sa, curves, start, fit_names,
                       n_starts, (setup_file.source,) + curve_files, options,
                       setup_file.data_format, sigma_1_from, uncertainties, optics)

