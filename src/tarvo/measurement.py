"""The measurement objects: the set-up (beam, pulse, sample, grid), the
measured curves, how their files are read and normalised, the fit settings,
the files read, and the tarvo.Measurement that holds them all (read from a
directory by tarvo.measurement_directory)."""

from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .model_setup import Setup
from .normalisation import Normalisation
from .parameters import FOCUS, NAMES, Parameters


# The weights a fit may choose besides the default (1/sigma^2 with a sigma column, else equal).
WEIGHTS = ("equal", "established")


# Engine, model, bounds and focus settings of a measurement directory.
@dataclass(frozen=True)
class FitOptions:
    model: str = None
    radial_points: int = None
    intensity_points: int = None
    engine: str = None
    fit_focus: bool = False
    focus_mm: float = None
    bounds: dict = field(default_factory=dict)
    weights: str = None
    force: bool = False

    # Whether any setting applies only to the exact engine.
    @property
    def exact_only(self):
        return bool(self.bounds) or self.fit_focus or self.focus_mm is not None


# One measured curve; sigma holds the standard deviation of each
# transmittance value when the file gives it, else None. `columns`, `units`,
# `skipped` and `missing` say how the file was read (roles of its columns,
# units, the leading lines skipped as (line number, text), the points left
# out as (line number, text, why)).
@dataclass(frozen=True, repr=False)
class Curve:
    """One measured curve: ``Curve(name, pulse_energy, positions,
    transmittance, sigma=None, aperture=1.0, divided_by_open=False)``.

    Positions in mm (stage coordinates), the transmittance as measured
    (normalised by the fit as the model is), sigma its standard deviations
    or None, pulse energy in J; aperture: the far-field aperture's linear
    transmittance (1: open), divided_by_open: a closed curve divided by the
    open one. ``tarvo.fit(curves, params, setup=setup)`` fits a sequence of
    them.
    """

    file: str
    pulse_energy: float
    positions: np.ndarray
    transmittance: np.ndarray
    sigma: np.ndarray | None = None
    columns: tuple = ("position", "transmittance")
    units: dict = None
    skipped: tuple = ()
    missing: tuple = ()
    # The far-field aperture's linear transmittance (1: open aperture), and
    # whether the curve is a closed one divided by the open one.
    aperture: float = 1.0
    divided_by_open: bool = False

    def __repr__(self):
        left = f", {len(self.missing)} left out" if self.missing else ""
        closed = "" if self.aperture == 1.0 else f", aperture {self.aperture:g}" + (
            " divided by open" if self.divided_by_open else "")
        return (f"Curve({self.file!r}, pulse_energy={self.pulse_energy:g} J, "
                f"{self.positions.size} points{left}{closed})")


# How a stage's positions may run: the model's axis points along the beam
# (the sample lies between the lens and the focus where its position is below
# the focus's); a stage that counts the other way has its positions negated.
STAGE_DIRECTIONS = ("along-beam", "against-beam")


# How the curve files are read and normalised: [data] of setup.toml.
@dataclass(frozen=True)
class DataFormat:
    columns: tuple = None
    position_unit: str = None
    transmittance_unit: str = None
    normalisation: Normalisation = Normalisation()
    # Whether [data] chose the normalisation (else the default applies).
    normalisation_given: bool = False
    # Points every curve leaves out: positions (mm) and line numbers.
    exclude: "Exclusions" = None
    # How the stage's positions run: "along-beam" (they grow towards the
    # detector, the model's axis) or "against-beam" (read negated).
    stage_direction: str = STAGE_DIRECTIONS[0]

    # The record of the result file.
    def as_dict(self):
        record = {**self.normalisation.as_dict(), "position_unit": self.position_unit,
                  "transmittance_unit": self.transmittance_unit,
                  "columns": None if self.columns is None else list(self.columns),
                  "stage_direction": self.stage_direction}
        if self.exclude and (self.exclude.positions or self.exclude.lines):
            record["exclude"] = {"positions_mm": list(self.exclude.positions),
                                 "lines": list(self.exclude.lines)}
        return record


# Points left out of a curve on purpose ([data] or [[curve]] exclude):
# positions (mm, as read) and line numbers of its file.
@dataclass(frozen=True)
class Exclusions:
    positions: tuple = ()
    lines: tuple = ()

    def __add__(self, other):
        return Exclusions(self.positions + other.positions, self.lines + other.lines)


# A file the result depends on, with the SHA-256 of the bytes that were read.
@dataclass(frozen=True)
class InputFile:
    role: str
    path: Path
    sha256: str

    # The entry of the result document.
    def as_dict(self):
        return {"role": self.role, "path": str(self.path), "sha256": self.sha256}


# The parsed set-up file: everything but the measured curves themselves.
@dataclass(frozen=True)
class SetupFile:
    path: Path
    document: dict
    setup: "Setup"
    is_sa: bool
    # (file name, pulse energy in J, columns or None, Exclusions, aperture,
    # divided_by_open) per [[curve]]
    curve_entries: tuple
    source: InputFile
    data_format: DataFormat = DataFormat()


# A complete measurement directory, checked.
@dataclass(frozen=True, repr=False)
class Measurement:
    """A measurement directory as read by tarvo.read_measurement: set-up,
    curves, start values, fitted parameters, settings and input digests."""

    directory: Path
    setup: Setup
    is_sa: bool
    curves: tuple
    start: np.ndarray
    fit_names: tuple
    n_starts: int
    input_files: tuple = ()
    options: FitOptions = FitOptions()
    data_format: DataFormat = DataFormat()
    # Where sigma_1 comes from when [sample] gives the linear absorption: the
    # record of the result file, else None.
    sigma_1_from: dict = None
    # The [uncertainty] table (tarvo.budget.SetupUncertainties), or None.
    uncertainties: object = None
    # The optical parameters [start] gives (name -> value in their units).
    optics: dict = None

    def __repr__(self):
        sizes = sorted({c.positions.size for c in self.curves})
        points = (f"{sizes[0]}" if len(sizes) == 1 else f"{sizes[0]} to {sizes[-1]}")
        left = sum(len(c.missing) for c in self.curves)
        left = f", {left} left out" if left else ""
        return (f"Measurement({str(self.directory)!r}: {len(self.curves)} curves of {points} "
                f"points{left}, fitting {', '.join(self.fit_names)}, normalisation "
                f"{self.normalisation.mode!r})")

    # How the measured curves were normalised, and so the model's are.
    @property
    def normalisation(self):
        """How the measured curves were normalised, and so the model's are."""
        return self.data_format.normalisation

    # 0-based indices of the fitted parameters, in the order given.
    @property
    def fit_indices(self):
        """0-based indices of the fitted parameters, in the order given."""
        return [NAMES.index(name) for name in self.fit_names if name in NAMES]

    # Points per curve (the longest curve's where they differ).
    @property
    def num_x_pts(self):
        """Points per curve (the longest curve's where curves differ in length)."""
        return max(c.positions.size for c in self.curves)

    # Whether the curves differ in their number of points.
    @property
    def ragged(self):
        """Whether the curves differ in their number of points."""
        return len({c.positions.size for c in self.curves}) > 1

    # One row per curve: an array, or a tuple of arrays where the curves
    # differ in length (tarvo.fit takes either).
    def _rows(self, rows):
        return tuple(rows) if self.ragged else np.stack(rows)

    # Positions of all curves, one row per curve (mm).
    @property
    def positions(self):
        """Positions of all curves in mm, one row per curve (a tuple of
        arrays where the curves differ in length)."""
        return self._rows([c.positions for c in self.curves])

    # Measured transmittance of all curves, one row per curve.
    @property
    def transmittance(self):
        """Measured transmittance of all curves, one row per curve (a tuple
        of arrays where the curves differ in length)."""
        return self._rows([c.transmittance for c in self.curves])

    # Pulse energy of each curve (J).
    @property
    def pulse_energy(self):
        """Pulse energy of each curve in J."""
        return np.array([c.pulse_energy for c in self.curves], dtype=np.float64)

    # Standard deviations of all curves, one row per curve, or None when the
    # files give none (the reader makes sure all curves or none have them).
    @property
    def sigma(self):
        """Standard deviations of all curves, one row per curve, or None."""
        if self.curves[0].sigma is None:
            return None
        return self._rows([c.sigma for c in self.curves])

    def parameters(self, focus=True):
        """The parameters of the fit as the set-up file gives them.

        Parameters
        ----------
        focus : bool
            Include the focus and the bounds ([bounds]); False for an engine
            that has neither (lsoda). The focus is included where [fit] fits
            it (fit_focus) or places it (focus_mm), and fitted where a curve
            has a closed aperture and [fit] does neither.

        Returns
        -------
        tarvo.Parameters
            The eight parameters and the optical ones [start] gives, with
            their start values and which of them vary; with `focus`, the
            focus and the bounds of the parameters it holds.
        """
        options = self.options
        params = Parameters.from_spec_pars(self.start, vary=[n for n in self.fit_names
                                                             if n in NAMES])
        for name, value in (self.optics or {}).items():
            params.add(name, value, vary=name in self.fit_names)
        if not focus:
            return params
        # A closed-aperture measurement fits the focus unless [fit] places
        # it: the closed curves' shape fixes it, and a focus taken from the
        # extreme of noisy data would shift them against the model.
        closed = any(c.aperture < 1.0 for c in self.curves) and not options.fit_focus \
            and options.focus_mm is None
        if options.fit_focus or options.focus_mm is not None or closed:
            params.add(FOCUS, options.focus_mm, vary=options.fit_focus or closed)
        for name, (low, high) in options.bounds.items():
            if name in params:
                params[name].set(min=low, max=high)
        return params

    def fit_arguments(self, model):
        """The arguments of `tarvo.fit` for these curves and this set-up.

        Parameters
        ----------
        model : {"energy", "established"}
            The model fitted (the energy model's grid settings apply to it only).

        Returns
        -------
        dict
            The curves (``curves``: tarvo.fit's first argument) and its
            keywords: the set-up (with its slices), the model, the energy
            model's nodes, normalisation, weights, is_sa and the focus ([fit]
            focus_mm or None).
        """
        options = self.options
        energy = model == "energy"
        return dict(curves=self.curves, setup=self.setup, model=model,
                    radial_points=options.radial_points if energy else None,
                    intensity_points=options.intensity_points if energy else None,
                    normalisation=self.normalisation, weights=options.weights,
                    is_sa=self.is_sa, focus=options.focus_mm)
