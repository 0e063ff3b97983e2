"""Model Z-scan curves for given parameters and measurement set-up."""


from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np

from . import _native
from .counts import check_count
from .engine import (ESTABLISHED_DEFAULTS, check_engine, check_model, grid_defaults,
                     grid_settings, model_and_jacobian, padded_rows, ragged_rows)
from .errors import InputError
from .lsoda_fit import lsoda_beam
from .model_setup import setup_argument
from .normalisation import FAR_FIELD_POINTS, normalisation_of
from .options import check_option_names, document_options, option_names
from .parameters import OPTICAL_NAMES, parameter_vector


# Grid sizes that resolve a nanosecond pulse in a thin sample well enough for planning.
T_SLICES_DEFAULT = ESTABLISHED_DEFAULTS["t_slices"]
Z_SLICES_DEFAULT = ESTABLISHED_DEFAULTS["z_slices"]


# The model of fit_zscan, for simulate: its curves bit for bit.
FIT_ZSCAN_MODEL = dict(model="established", normalisation="shift", engine="lsoda")


# The keyword options of tarvo.simulate (documented in OPTIONS_DOC): the
# grid, the far-field points of the normalisation and the energy model's
# optics and apertures.
@dataclass(frozen=True, eq=False)
class SimulationOptions:
    t_slices: int | None = None
    z_slices: int | None = None
    radial_points: int | None = None
    intensity_points: int | None = None
    far_field_points: int | None = None
    optics: Mapping[str, float] | None = None
    aperture: Sequence[float] | None = None
    divided_by_open: Sequence[bool] | None = None


SIMULATE_OPTIONS = option_names(SimulationOptions)

# Their documentation, part of help(tarvo.simulate).
OPTIONS_DOC = """
    Other Parameters
    ----------------
    t_slices, z_slices, radial_points, intensity_points : int, optional
        Grid of the model; None takes the model's defaults (the energy
        model's are chosen from the sample's optical depth and saturation;
        the established model's are 10 and 5 slices).
    far_field_points : int, optional
        Values at each end of a curve in its far-field mean (default 5).
    optics : mapping, optional
        Energy model: the optical parameters by name, beta (m/W), n2
        (m^2/W), eta_2 .. eta_5 (cm^2); absent ones are 0.
    aperture : sequence of float, optional
        Energy model: per curve the linear transmittance S of the far-field
        aperture (1: open; closed curves are normalised as the open ones).
    divided_by_open : sequence of bool, optional
        Per curve whether a closed curve is divided by the open one at the
        same energy (before the normalisation).
"""


# Model transmittance of every curve: the scan and set-up checked, then the
# curves of the chosen engine.
@document_options(OPTIONS_DOC)
def simulate(positions, pulse_energy, spec_pars, *, setup=None, populations=None,
             sample_width=None, tau=None, wavelength=None, w0=None, M2=None, model="energy",
             normalisation="far-field", engine=None, **options):
    """Model transmittance of Z-scan curves, normalised as a measurement is.

    Parameters
    ----------
    positions : array_like
        Scan positions in mm relative to the focus: one 1-D array used for
        every curve, or a 2-D array (num_datasets, num_x_pts), one row per
        curve; at least 5 per curve. Curves of different lengths (exact
        engine): one sequence of positions per curve.
    pulse_energy : array_like
        Pulse energy of each curve in J (one curve per entry).
    spec_pars : sequence or mapping
        The eight model parameters, in cm^2 (sigma_1, sigma_2, sigma_4) and s
        (tau_21, tau_24, tau_32, tau_41, tau_54): a sequence in that order or
        a mapping from those names to values.
    setup : tarvo.Setup, optional
        The set-up as one object (its slices where t_slices and z_slices
        are not given), instead of populations ... M2 below.
    populations : array_like
        Initial populations of the five levels in cm^-3.
    sample_width : float
        Sample thickness in cm.
    tau : float
        Pulse duration parameter in s (time profile exp(-(t/tau)^2); the
        intensity FWHM is 2 sqrt(ln 2) tau).
    wavelength, w0 : float
        Laser wavelength and beam waist radius in m.
    M2 : float
        Beam quality factor.
    model : str
        "energy" (default: transmitted over incident pulse energy over the
        beam cross-section, whole pulse, exact sample thickness) or
        "established" (fit_zscan's model: on-axis ratio, pulse window
        +-tau/2).
    normalisation : str or tarvo.Normalisation
        "far-field" (default: each curve divided by the mean of its first
        and last `far_field_points` values, as a laboratory normalises a
        scan), "linear" (divided by the linear transmittance), "absolute"
        (transmitted over incident energy) or "shift" (fit_zscan's additive
        baseline: the curve plus 1 minus its far-field mean).
    engine : str, optional
        "exact" (default: matrix exponentials, no solver noise) or "lsoda"
        (fit_zscan's solver: its curves bit for bit; established model and
        "shift" normalisation only).
    **options
        The settings under Other Parameters, by keyword (an unknown name
        raises TypeError).

    Returns
    -------
    numpy.ndarray or list of numpy.ndarray
        float64 array of shape (num_datasets, num_x_pts); for curves of
        different lengths a list of one array per curve.
    """
    check_option_names("simulate", options, SIMULATE_OPTIONS)
    options = SimulationOptions(**options)
    energies = np.asarray(pulse_energy, dtype=np.float64).ravel()
    if energies.size == 0:
        raise InputError("pulse_energy needs at least one value")
    x, counts = _scan(positions, energies.size, engine)
    if populations is not None:
        pops = np.asarray(populations, dtype=np.float64).ravel()
        if pops.size != _native.LEVELS:
            raise InputError(f"populations needs {_native.LEVELS} values, got {pops.size}")
    setup = setup_argument(setup, dict(populations=populations, sample_width=sample_width,
                                       tau=tau, wavelength=wavelength, w0=w0, M2=M2), check=False)
    check_model(model)
    norm = normalisation_of(normalisation, options.far_field_points)
    engine = check_engine(engine or "exact")
    if engine == "exact":
        return _exact_curves(x, energies, counts, spec_pars, setup, model, norm, options)
    return _lsoda_curves(x, energies, spec_pars, setup, model, norm, options)


# The scan positions as one row per curve (num_datasets rows), and the
# number of points of each curve where they differ (rows padded), else None.
def _scan(positions, num_datasets, engine):
    rows = ragged_rows("positions", positions)
    counts = None
    if rows is not None and len({row.size for row in rows}) > 1:
        if len(rows) != num_datasets:
            raise InputError(f"positions needs one row per pulse energy ({num_datasets}), got "
                             f"{len(rows)}")
        counts = np.array([row.size for row in rows])
        if engine not in (None, "exact"):
            raise InputError("curves of different lengths need the exact engine")
        positions = padded_rows("positions", rows, counts)
    x = np.asarray(positions, dtype=np.float64)
    if x.ndim == 1:
        x = np.tile(x, (num_datasets, 1))
    if x.ndim != 2 or x.shape[0] != num_datasets:
        raise InputError(f"positions must be 1-D or of shape ({num_datasets}, num_x_pts), "
                         f"got shape {np.shape(positions)}")
    return x, counts


# The exact engine's curves (each curve's own points where they differ in length).
def _exact_curves(x, energies, counts, spec_pars, setup, model, norm, options):
    grid = grid_settings(model, *setup.slices(options.t_slices, options.z_slices),
                         options.radial_points, options.intensity_points,
                         defaults=grid_defaults(model, parameter_vector(spec_pars), setup,
                                                energies))
    curves, _ = model_and_jacobian(
        x, energies, setup, parameter_vector(spec_pars), model=model, normalisation=norm,
        counts=counts,
        optics=optical_vector(options.optics), aperture=options.aperture,
        divided=options.divided_by_open, **grid)
    return curves if counts is None else [row[:count] for row, count in zip(curves, counts)]


# The lsoda engine's curves: fit_zscan's, bit for bit, for its own model only.
def _lsoda_curves(x, energies, spec_pars, setup, model, norm, options):
    if model != "established" or norm.mode != "shift" \
            or norm.far_field_points != FAR_FIELD_POINTS:
        raise InputError("the lsoda engine computes fit_zscan's curves: the established model "
                         "with normalisation=\"shift\" (use engine=\"exact\" for the others)")
    if options.optics or options.aperture is not None:
        raise InputError("two-photon absorption, refraction and the closed aperture need the "
                         "exact engine's energy model")
    if options.radial_points is not None or options.intensity_points is not None:
        raise InputError("radial_points and intensity_points apply to the energy model only")
    t_slices, z_slices = setup.slices(options.t_slices, options.z_slices)
    t_slices = check_count("t_slices", T_SLICES_DEFAULT if t_slices is None else t_slices)
    z_slices = check_count("z_slices", Z_SLICES_DEFAULT if z_slices is None else z_slices)
    num_datasets, num_x_pts = x.shape
    populations, beam = lsoda_beam(setup, dict(t_slices=t_slices, z_slices=z_slices))
    values = _native.model_curves(
        [float(v) for v in x.ravel()], [float(v) for v in populations], *beam,
        [float(v) for v in energies], parameter_vector(spec_pars), num_x_pts, num_datasets)
    return np.array(values, dtype=np.float64).reshape(num_datasets, num_x_pts)


# The optical parameters as the engine's vector (toolkit units), from a
# mapping name -> value; None when there are none.
def optical_vector(optics):
    if not optics:
        return None
    unknown = [name for name in optics if name not in OPTICAL_NAMES]
    if unknown:
        raise InputError(f"unknown optical parameter {unknown[0]!r}; they are "
                         + ", ".join(OPTICAL_NAMES))
    return np.array([float(optics.get(name, 0.0)) for name in OPTICAL_NAMES])
