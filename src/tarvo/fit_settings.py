"""The settings of tarvo.fit: its keyword options in one frozen object.

tarvo.fit names its data, start values, set-up and engine; every other
setting is a keyword option, a field of FitSettings. The fit checks their
names once (tarvo.options); FitSettings.of checks their values as the fit
always has (in the same order, with the same messages) and fills in what the
caller left out with the engine's own defaults; the fit's steps read the
one object.
"""

import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace

from numpy.typing import ArrayLike

from .budget import SetupUncertainties
from .checks import CHECK_MODES
from .counts import check_count
from .engine import check_engine
from .errors import InputError
from .normalisation import Normalisation
from .options import option_names
from .uncertainty import LINEARISED, PROFILE


# Default tolerances of the least-squares solver: tight enough that the fit
# ends at the optimum (relative changes of 1e-12 in the parameters and the
# cost), still above the rounding noise of the exact model.
TOLERANCE = 1.0e-12

# What each engine takes when the caller leaves model, normalisation or
# weights out: the lsoda engine is fit_zscan, with its conventions.
ENGINE_DEFAULTS = {
    "exact": dict(model="energy", normalisation="far-field", weights=None),
    "lsoda": dict(model="established", normalisation="shift", weights="established"),
}

# How the parameters' errors and statuses may be found: linearised errors
# only, or those that they leave weakly or not determined by their profiles.
IDENTIFIABILITY_CHOICES = (PROFILE, LINEARISED)


# Every setting of a fit besides its data, start values and set-up (see
# OPTIONS_DOC); the engine is tarvo.fit's own argument, the rest its options.
@dataclass(frozen=True, eq=False)
class FitSettings:
    engine: str = "exact"
    # The model, how its curves and the data are normalised, and its grid.
    model: str | None = None
    normalisation: str | Normalisation | None = None
    far_field_points: int | None = None
    t_slices: int | None = None
    z_slices: int | None = None
    radial_points: int | None = None
    intensity_points: int | None = None
    # The data's uncertainties and weights, and what the fit varies.
    sigma: ArrayLike | None = None
    weights: str | None = None
    is_sa: bool = False
    vary: Sequence[str] | None = None
    scale_covar: bool | None = None
    # The solver: starts, tolerances, evaluations, progress and messages.
    n_starts: int = 1
    ftol: float = TOLERANCE
    xtol: float = TOLERANCE
    gtol: float = TOLERANCE
    max_nfev: int | None = None
    progress: Callable[[int], object] | None = None
    rel_step: float | None = None
    solver_log: str | os.PathLike | None = None
    # What is judged of the result, and the closed-aperture curves.
    checks: str = "warn"
    uncertainties: Mapping | SetupUncertainties | None = None
    identifiability: str = PROFILE
    model_error: bool = True
    aperture: Sequence[float] | None = None
    divided_by_open: Sequence[bool] | None = None

    # The settings of a fit on `engine` with the keyword `options` (names
    # already checked): values checked, each engine's defaults filled in.
    @classmethod
    def of(cls, engine, options):
        engine = check_engine(engine)
        given = cls(engine=engine, **options)
        defaults = {key: value if getattr(given, key) is None else getattr(given, key)
                    for key, value in ENGINE_DEFAULTS[engine].items()}
        if given.checks not in CHECK_MODES:
            raise InputError(f"checks must be one of {', '.join(map(repr, CHECK_MODES))}, got "
                             f"{given.checks!r}")
        n_starts = check_count("n_starts", given.n_starts)
        uncertainties = given.uncertainties
        if uncertainties is not None:
            uncertainties = SetupUncertainties.of(uncertainties, "uncertainties: ")
        if given.identifiability not in IDENTIFIABILITY_CHOICES:
            raise InputError(f"identifiability must be one of "
                             f"{', '.join(map(repr, IDENTIFIABILITY_CHOICES))}, got "
                             f"{given.identifiability!r}")
        return replace(given, n_starts=n_starts, uncertainties=uncertainties, **defaults)

    # The keywords of problem.prepare_problem that come from the settings.
    def problem_arguments(self):
        return {key: getattr(self, key) for key in (
            "model", "normalisation", "far_field_points", "t_slices", "z_slices",
            "radial_points", "intensity_points", "weights", "is_sa", "vary")}

    # Whether the covariance is scaled by the reduced chi^2, given the
    # fitted data's sigma (None: not given).
    def scales_covariance(self, sigma):
        return sigma is None if self.scale_covar is None else bool(self.scale_covar)


# The keyword options of tarvo.fit.
FIT_OPTIONS = option_names(FitSettings, excluded=("engine",))

# Their documentation, part of help(tarvo.fit).
OPTIONS_DOC = """
    Other Parameters
    ----------------
    model : {"energy", "established"}, optional
        "energy" (default on the exact engine: pulse-energy ratio over the
        beam cross-section, the physically consistent model) or
        "established" (fit_zscan's on-axis model; the lsoda engine's).
    normalisation : str or tarvo.Normalisation, optional
        How data and model curves are normalised:
        "far-field" (default on the exact engine: divided by the mean of the
        first and last `far_field_points` positions), "linear" (divided by
        the linear transmittance), "absolute" (not normalised) or "shift"
        (fit_zscan's additive baseline; the lsoda engine's).
    far_field_points : int, optional
        Points at each end of a curve in its far-field mean (default 5).
    t_slices, z_slices, radial_points, intensity_points : int, optional
        Grid; None takes the model's defaults (for the energy model chosen
        from the sample's optical depth and saturation at the start values).
    sigma : array_like, optional
        Uncertainty of each measured value (same shape as transmittance):
        weights 1/sigma^2 and a chi^2 in units of sigma.
    weights : {None, "equal", "established"}
        None (default on the exact engine): 1/sigma^2 where sigma is given,
        else every point equally; "equal"; "established": fit_zscan's
        1 + 4 exp(-4 s^2) with s the centred position in m (the lsoda
        engine's).
    is_sa : bool
        Saturable absorber: the focus start is the maximum of the data
        instead of the minimum.
    vary : sequence of str, optional
        With plain values for `params`: the names of the fitted parameters.
    n_starts : int
        1: start at the given values; more: also at the values scaled by
        fit_zscan's factors (0.302 ... 3.31), the best start wins.
    scale_covar : bool, optional
        Scale the covariance by the reduced chi^2 (default: True without
        sigma, so that with equal weights the standard errors follow from
        the residual variance; False with sigma).
    checks : {"warn", "error", "off"}
        "warn" (default): plausibility findings before and after the fit are
        issued as tarvo.PlausibilityWarning; "error": a finding raises
        ValueError; "off": no checks. The result lists them in `findings`.
    ftol, xtol, gtol, max_nfev
        Settings of `scipy.optimize.least_squares`.
    progress : callable, optional
        ``progress(done)`` is called after each start with the number of
        starts finished.
    rel_step : float, optional
        lsoda engine: relative step of the central differences of the
        standard errors (default 1e-3).
    solver_log : str or path-like, optional
        lsoda engine: file for the LSODA solver's messages (written only
        when there are any; default: discarded, counted in
        ``solver_messages``).
    identifiability : {"profile", "linearised"}
        "profile" (default): a parameter that the linearised errors leave
        weakly or not determined is judged by its likelihood profile (exact
        engine; a few refits each); "linearised": by the linearised errors
        alone.
    model_error : bool
        Exact engine: check the grid at the solution (one evaluation on a
        grid twice as fine) and, for a default grid, refine it while the
        fitted values would move by more than 0.2 standard errors
        (``model_error`` of the result records the grid and the shifts).
    uncertainties : mapping, optional
        Uncertainties of the set-up, for the error budget (``budget`` of the
        result): quantity -> relative uncertainty (0.05 for 5 %) or an
        absolute one as ``"VALUE UNIT"``. Quantities: ``w0`` (m, mm, um,
        nm), ``M2``, ``pulse_energy`` (J, mJ, uJ, nJ; one value common to
        all curves, or a list of one per curve, independent),
        ``concentration`` (mol/L, M, mM, uM) or ``populations`` (cm^-3: of
        their sum), ``sample_width`` (cm, mm, um), ``tau`` or
        ``pulse_fwhm`` (s, ns, ps, fs), ``absorbance`` (of the held
        sigma_1's linear absorption). Dimensionless quantities take
        ``"0.1 absolute"`` for an absolute uncertainty.
    aperture : sequence of float, optional
        Energy model: per curve the linear transmittance S of the far-field
        aperture (1: open aperture; default all open). Closed curves are
        normalised as the open ones (divided by their far field).
    divided_by_open : sequence of bool, optional
        Per curve whether it is a closed curve already divided by the open
        one at the same energy, position by position.
"""
