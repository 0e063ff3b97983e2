"""The result of tarvo.fit (FitResult: values, standard errors, statistics,
report, figure, model curves at the fitted values). It is built by
result_building, shown by result_text and saved and loaded by result_files."""

import os

import numpy as np

from .bootstrap import bootstrap_result
from .errors import InputError
from .result_files import read_result_fields, save_result
from .result_text import REPORTED_CORRELATION, report_html, report_text
from .simulation import simulate
from .profiles import ci_report, conf_interval


# Points of the dense grid of a drawn model curve (data positions are added).
DENSE_POINTS = 241


# Everything a fit found, with lmfit's attribute names where lmfit has one.
class FitResult:
    """Result of `tarvo.fit`, with lmfit's attribute names where lmfit has one.

    Attributes
    ----------
    params : Parameters
        Fitted values, standard errors and correlations (constrained and
        derived parameters with their expressions).
    var_names : list of str
        Names of the fitted parameters, in the order of `covar`.
    values : dict
        name -> value of every parameter (the focus in mm).
    spec_pars : numpy.ndarray
        The eight model parameters.
    focus : float
        Scan position of the focus (mm) the model curves use.
    covar, correlation : numpy.ndarray
        Covariance and correlation matrices of the fitted parameters.
    chisqr, redchi, aic, bic, ndata, nvarys, nfree
        Fit statistics (chi^2 of the weighted residuals).
    residuals : numpy.ndarray
        data - model, one row per curve; `residual` is the weighted, flat
        vector the solver minimised.
    best_fit : numpy.ndarray
        Model curves at the fitted values, one row per curve.
    positions, data, sigma : numpy.ndarray
        The data as fitted (normalised as the model is), one row per curve.
        Rows of curves of different lengths are padded with NaN; `curve(k)`
        gives curve k's own points.
    nfev : int
        Model evaluations (each with its exact Jacobian).
    success, message
        Whether the least-squares solver converged, and why it stopped.
    notes : list of str
        Remarks on the result (parameters at a bound, strong correlations).
    setup : tarvo.Setup
        The set-up the model was computed at.
    engine, model, seconds
        What ran and how long the fit took.
    budget : tarvo.budget.ErrorBudget or None
        The error budget of the set-up's uncertainties (``uncertainties=``
        of `tarvo.fit`, ``[uncertainty]`` of setup.toml), else None.
    """

    # The fields of result_building.result_fields with what the fit judged, or
    # of result_files.read_result_fields: set once, here.
    def __init__(self, **fields):
        self.__dict__.update(fields)

    @property
    def stderr(self):
        """Standard errors by name (None for fixed parameters)."""
        return {name: p.stderr for name, p in self.params.items()}

    def conf_interval(self, names=None, sigmas=(1, 2, 3)):
        """Profile-likelihood confidence intervals, as lmfit's ``conf_interval``.

        Parameters
        ----------
        names : sequence of str, optional
            Fitted parameters to profile (default: all).
        sigmas : sequence of float
            Levels in standard deviations of a normal distribution.

        Returns
        -------
        dict
            name -> [(probability, value), ...]: the lower ends from the
            widest, (0.0, fitted value), then the upper ends from the
            narrowest. An end the data do not reach within the parameter's
            range is its bound or +-inf.
        """
        self._require_problem("conf_interval")
        return conf_interval(self, names, sigmas)

    def bootstrap(self, replicates, seed=None, scheduler=None):
        """Bootstrap uncertainties from refits of data resampled from the residuals.

        Parameters
        ----------
        replicates : int
            Number of resampled data sets (a few hundred for 95 % intervals).
        seed : int, optional
            Seed of the resampling (default: drawn; recorded in the result).
        scheduler : str, optional
            Address of a Dask scheduler to run on (default: threads of this
            process).

        Returns
        -------
        BootstrapResult
        """
        self._require_problem("bootstrap")
        return bootstrap_result(self, replicates, seed, scheduler)

    @staticmethod
    def ci_report(intervals):
        """The intervals of `conf_interval` as a text table (lmfit's layout).

        Parameters
        ----------
        intervals : dict
            What `conf_interval` returned.

        Returns
        -------
        str
        """
        return ci_report(intervals)

    def fit_report(self, min_correl=REPORTED_CORRELATION):
        """Text report like lmfit's ``fit_report``.

        Parameters
        ----------
        min_correl : float
            Smallest correlation listed.

        Returns
        -------
        str
            Fit statistics, variables with standard errors, correlations and
            notes.
        """
        return report_text(self, min_correl)

    # Notebook view: statistics, parameters, correlations and error budget as tables.
    def _repr_html_(self):
        return report_html(self)

    def plot(self, ax=None, errorbars=None, relative_to_focus=False, *, path=None, title=None,
             values_box=True):
        """Draw the data, the model curves and the residuals.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Axes to draw the data and model curves on (no residual panel).
            Default: a new figure with the curves above and the residuals
            below. A path given here (as in ``result.plot("fit.png")``) is
            taken as `path`.
        errorbars : bool, optional
            Draw error bars of the data's standard deviations. Default: where
            the fit had them (`sigma`).
        relative_to_focus : bool, optional
            Positions relative to the fitted focus (mm) instead of stage
            positions.
        path : str or path-like, optional
            Also save the figure there (PNG, SVG or PDF by the suffix).
        title : str, optional
            Title of the figure; default from the set-up (wavelength, pulse
            duration, model).
        values_box : bool, optional
            Show the fitted values with their standard errors in a small box.

        Returns
        -------
        matplotlib.figure.Figure or matplotlib.axes.Axes
            The new figure, or `ax` when one was given.
        """

        # matplotlib loads here, on the first figure, not with `import tarvo`.
        from .plot import (add_values_box, draw_curves, fit_curve_row, fit_figure,
                           position_label, save_figure, setup_title, values_box_text)

        if isinstance(ax, (str, os.PathLike)):
            path, ax = ax, None
        errorbars = self.sigma is not None if errorbars is None else bool(errorbars)
        rows = [fit_curve_row(*self.curve(k)[:3], *self.model_line(k), self.curve(k)[4], energy)
                for k, energy in enumerate(self.pulse_energy)]
        shift = self.focus if relative_to_focus else 0.0
        title = title or setup_title(self.setup, self.model, self.var_names)
        values = values_box_text(
            [(name, self.params[name].value, self.params[name].stderr, self.params[name].unit)
             for name in self.var_names], self.redchi) if values_box else None
        if ax is not None:
            draw_curves(ax, rows, errorbars, shift)
            ax.set_xlabel(position_label(relative_to_focus))
            if values:
                add_values_box(ax, values)
            if path is not None:
                save_figure(ax.figure, path)
            return ax
        figure = fit_figure(rows, title, errorbars, values, shift, relative_to_focus)
        if path is not None:
            save_figure(figure, path)
        return figure

    def eval(self, positions, pulse_energy):
        """Model transmittance at the fitted values.

        Parameters
        ----------
        positions : array_like
            Stage positions in mm (the coordinates of the fitted data), one
            row for every curve or one row per pulse energy. The model
            normalises each curve by its first five and last five points,
            so the positions should reach the far field on both sides.
        pulse_energy : float or sequence of float
            Pulse energy in J of each curve.

        Returns
        -------
        numpy.ndarray
            Model transmittance: shape (num_points,) for one energy given as
            a number, else (num_energies, num_points).
        """
        single = np.ndim(pulse_energy) == 0
        energies = np.atleast_1d(np.asarray(pulse_energy, dtype=np.float64))
        x = np.asarray(positions, dtype=np.float64)
        if x.ndim == 1:
            x = np.tile(x, (energies.size, 1))
        if x.ndim != 2 or x.shape[0] != energies.size:
            raise InputError(f"positions must be 1-D or have one row per pulse energy "
                             f"({energies.size}), got shape {np.shape(positions)}")
        curves = self._model(x - self.focus, energies)
        return curves[0] if single else curves

    # Model curves of this fit's engine and model at centred positions (mm):
    # open-aperture curves, or those of the fitted curves `fitted` (indices:
    # their apertures and divisions).
    def _model(self, centred, energies, fitted=None):
        # The established model has no radial or intensity grid.
        grid = self.grid if self.model == "energy" else \
            {k: self.grid[k] for k in ("t_slices", "z_slices")}
        closed = {}
        aperture = getattr(self, "aperture", None)
        if fitted is not None and aperture is not None:
            divided = getattr(self, "divided_by_open", None)
            closed = dict(aperture=[aperture[k] for k in fitted],
                          divided_by_open=None if divided is None else
                          [divided[k] for k in fitted])
        return simulate(centred, energies, self.spec_pars, setup=self.setup, **grid,
                        model=self.model, normalisation=self.normalisation, engine=self.engine,
                        optics=getattr(self, "optics", None) or None, **closed)

    def save(self, path):
        """Write the result as JSON in the format of ``tarvo fit``'s fit-result.json.

        Parameters
        ----------
        path : str or path-like
            File to write.

        See Also
        --------
        FitResult.load : read such a file back.
        """

        save_result(self, path)

    @classmethod
    def load(cls, path):
        """Read a result written by `FitResult.save` or by ``tarvo fit`` (exact engine).

        Parameters
        ----------
        path : str or path-like
            A fit-result.json file.

        Returns
        -------
        FitResult
            Values, standard errors, covariance, statistics, data and model
            curves of the saved fit; `eval`, `plot`, `fit_report` and `save`
            work as on the original. Profile intervals and bootstraps need
            the fit itself: refit with `tarvo.fit` for them.

        Raises
        ------
        ValueError
            If the file holds no result of tarvo.fit or tarvo fit, or a
            malformed one (a key missing, a value of the wrong type, a
            number that is not finite, lists of the wrong length); the
            message names the file and the key.
        """

        return cls(**read_result_fields(path))

    # The fit's least-squares problem, or a clear error for a loaded result.
    def _require_problem(self, what):
        if getattr(self, "_problem", None) is None:
            raise InputError(f"{what} refits the data and needs the fit itself; this result was "
                             f"loaded from {getattr(self, 'source', 'a file')}: fit again with "
                             "tarvo.fit")
        return self._problem

    def curve(self, k):
        """The measured points of curve `k` (rows of curves of different
        lengths are padded with NaN).

        Parameters
        ----------
        k : int
            Index of the curve.

        Returns
        -------
        positions, data, sigma, best_fit, residuals : numpy.ndarray
            Of curve k's own points (sigma None without it).
        """
        own = ~np.isnan(self.positions[k])
        return (self.positions[k][own], self.data[k][own],
                None if self.sigma is None else self.sigma[k][own], self.best_fit[k][own],
                self.residuals[k][own])

    def model_line(self, k, count=DENSE_POINTS):
        """The drawn model curve of curve `k`.

        The grid starts with the data's far-field positions at the start and
        ends with those at the end, so that the curve gets exactly the fitted
        curve's normalisation and passes through the fitted model at every
        data point.

        Parameters
        ----------
        k : int
            Index of the curve.
        count : int
            Points of the dense grid (the data positions are added).

        Returns
        -------
        positions, values : numpy.ndarray
            Ascending positions (mm) and model values.
        """
        positions, _, _, best_fit, _ = self.curve(k)
        ends = self.normalisation.far_field_points
        if positions.size < 2 * ends:
            # The two ends overlap: the data positions are all the curve can have.
            order = np.argsort(positions)
            return positions[order], best_fit[order]
        line = np.union1d(np.linspace(positions.min(), positions.max(), count), positions)
        grid = np.concatenate([positions[:ends], line, positions[-ends:]])
        return line, self._model(grid[None, :] - self.focus, [self.pulse_energy[k]],
                                 [k])[0][ends:-ends]

    # Short summary.
    def __repr__(self):
        values = ", ".join(f"{name}={self.values[name]:.5g}" for name in self.var_names)
        return (f"<FitResult {self.model}/{self.engine}: {values}; chisqr={self.chisqr:.4g}, "
                f"success={self.success}>")
