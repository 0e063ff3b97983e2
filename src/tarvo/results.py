"""The result of tarvo.fit (FitResult: values, standard errors, statistics,
report, figure) and its JSON file (FitResult.save and FitResult.load)."""

import html
import json
import math
import os
from pathlib import Path

import numpy as np

from .bootstrap import bootstrap_result
from .budget import ErrorBudget
from .files import number_cell, provenance, read_input_bytes, relative_cell
from .measurement import Curve, DataFormat, FitOptions, Measurement, Setup
from .normalisation import Normalisation
from .parameters import FIT_NAMES, FOCUS, NAMES, OPTICAL_NAMES, Parameters, scan_centre
from .report import (FitCurves, fit_document, parameter_rows, report_view, strong_correlation_notes,
                     write_result)
from .simulation import simulate
from .profiles import ci_report, conf_interval
from .residual_noise import residual_noise
from .uncertainty import Identifiability, covariance_from_jacobian, point_weights


# Correlations below this are left out of the report (as lmfit's min_correl).
REPORTED_CORRELATION = 0.1

# Smallest chi^2 that enters the information criteria (as lmfit clamps it).
CHI2_FLOOR = 1.0e-250

# Points of the dense grid of a drawn model curve (data positions are added).
DENSE_POINTS = 241

# How each weighting is described in reports.
WEIGHTING_TEXT = {
    "sigma": "1/sigma^2 (data uncertainties)",
    "equal": "equal (standard errors scaled by the residual variance)",
    "established": "1 + 4 exp(-4 s^2), s centred position in m (as fit_zscan)",
}


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
    engine, model, seconds
        What ran and how long the fit took.
    budget : tarvo.budget.ErrorBudget or None
        The error budget of the set-up's uncertainties (``uncertainties=``
        of `tarvo.fit`, ``[uncertainty]`` of setup.toml), else None.
    """

    # Filled by build_result.
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
        lines = ["[[Fit Statistics]]"]
        lines += [f"    {label:<19}= {value}" for label, value in self._statistics()]
        lines.append("[[Variables]]")
        width = max(len(name) for name in self.params)
        found = getattr(self, "identifiability", None)
        for name, p in self.params.items():
            judged = found is not None and p.vary and name in found.status
            lines.append(f"    {name + ':':<{width + 1}}  "
                         f"{self._value_text(p, found if judged else None)}")
        pairs = self._correlation_pairs(min_correl)
        if pairs:
            lines.append(f"[[Correlations]] (unreported correlations are < {min_correl:.3f})")
            lines += [f"    C({a}, {b}) = {r:+.4f}" for a, b, r in pairs]
        if found is not None:
            lines.append(f"[[Identifiability]] ({found.source()})")
            lines += [f"    {line}" for line in found.report()[1:]]
        if self.notes:
            lines.append("[[Notes]]")
            lines += [f"    {note}" for note in self.notes]
        if getattr(self, "budget", None) is not None:
            lines.append("[[Error budget]]")
            lines += [f"  {line}" for line in self.budget.report()]
        return "\n".join(lines)

    # Notebook view: the statistics, the parameters and the correlations as tables.
    def _repr_html_(self):
        rows = "".join(f"<tr><td>{html.escape(label)}</td><td>{html.escape(str(value))}</td>"
                       "</tr>" for label, value in self._statistics())
        parts = [f"<h4>Fit statistics</h4><table>{rows}</table>", "<h4>Parameters</h4><table>",
                 "<tr><th>name</th><th>value</th><th>standard error</th><th>relative</th>"
                 "<th>status</th><th>initial</th><th>min</th><th>max</th><th>vary</th>"
                 "<th>unit</th></tr>"]
        found = getattr(self, "identifiability", None)
        for name, p in self.params.items():
            # A fitted parameter's relative error and status as the table has them.
            judged = found is not None and p.vary and name in found.status
            relative = found.error_text(name) if judged else relative_cell(p.stderr, p.value)
            status = (found.status[name] + (" (profile)" if found.method_of(name) == "profile"
                                            else "")) if judged else "-"
            cells = [name, number_cell(p.value, ".6g"), number_cell(p.stderr, ".3g"),
                     relative, status, number_cell(p.init_value, ".4g"),
                     number_cell(p.min, "g"), number_cell(p.max, "g"), str(p.vary), p.unit]
            parts.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>")
        parts.append("</table>")
        pairs = self._correlation_pairs(REPORTED_CORRELATION)
        if pairs:
            parts.append("<h4>Correlations</h4><table>")
            parts += [f"<tr><td>{a}</td><td>{b}</td><td>{r:+.4f}</td></tr>" for a, b, r in pairs]
            parts.append("</table>")
        budget = getattr(self, "budget", None)
        if budget is not None:
            parts.append(f"<h4>Error budget</h4><p>{html.escape(budget.TITLE)}</p><table>")
            for k, line in enumerate(budget.table()):
                tag = "th" if k == 0 else "td"
                parts.append("<tr>" + "".join(f"<{tag}>{html.escape(c)}</{tag}>"
                                              for c in line) + "</tr>")
            parts.append("</table>")
            if budget.notes:
                parts.append("<ul>" + "".join(f"<li>{html.escape(n)}</li>"
                                              for n in budget.notes) + "</ul>")
        if self.notes:
            parts.append("<h4>Notes</h4><ul>"
                         + "".join(f"<li>{html.escape(n)}</li>" for n in self.notes) + "</ul>")
        return "".join(parts)

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
            raise ValueError(f"positions must be 1-D or have one row per pulse energy "
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
        return simulate(centred, energies, self.spec_pars, **self.setup, **grid,
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

        return load_result(path)

    # The fit's least-squares problem, or a clear error for a loaded result.
    def _require_problem(self, what):
        if getattr(self, "_problem", None) is None:
            raise ValueError(f"{what} refits the data and needs the fit itself; this result was "
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

    # Label and value of every fit statistic, in report order.
    def _statistics(self):
        return [("engine", self.engine), ("model", self.model),
                ("fitting method", self.method),
                ("weights", self.weighting), ("# function evals", self.nfev),
                ("# data points", self.ndata), ("# variables", self.nvarys),
                ("# starts", self.n_starts),
                ("normalisation", self.normalisation.mode),
                ("chi-square", f"{self.chisqr:.6g}"),
                ("residual RMS", f"{self.rms:.4g} (transmittance)"),
                ("reduced chi-square", f"{self.redchi:.6g}"),
                ("Akaike info crit", f"{self.aic:.4f}"), ("Bayesian info crit", f"{self.bic:.4f}"),
                ("focus (mm)", f"{self.focus:.6g}"),
                ("converged", f"{self.success} ({self.message})"),
                ("fit time (s)", f"{self.seconds:.3f}")]

    # "value +/- error (relative) (init = ...)" or "value (fixed)"; with the
    # identifiability, its relative error and status (the table's).
    @staticmethod
    def _value_text(p, found=None):
        if p.expr:
            error = "" if p.stderr is None or not math.isfinite(p.stderr) \
                else f" +/- {p.stderr:.3g} ({relative_cell(p.stderr, p.value)})"
            return f"{p.value:.6g}{error} == {p.expr!r} [{p.unit}]"
        if not p.vary:
            return f"{p.value:.6g} (fixed) [{p.unit}]"
        error = "+/- inf" if p.stderr is None or not math.isfinite(p.stderr) \
            else f"+/- {p.stderr:.3g} ({relative_cell(p.stderr, p.value)})"
        if found is not None:
            error = ("+/- inf" if p.stderr is None or not math.isfinite(p.stderr)
                     else f"+/- {p.stderr:.3g}")
            if p.name.split("@")[0] != FOCUS:
                error += f" ({found.error_text(p.name)}"
            else:
                error += " ("
            error += (", " if p.name.split("@")[0] != FOCUS else "") + found.status[p.name]
            error += " [profile])" if found.method_of(p.name) == "profile" else ")"
        return f"{p.value:.6g} {error} (init = {p.init_value:.6g}) [{p.unit}]"

    # Pairs of fitted parameters with |correlation| of at least min_correl, strongest first.
    def _correlation_pairs(self, min_correl):
        pairs = []
        for i, a in enumerate(self.var_names):
            for j in range(i + 1, len(self.var_names)):
                r = self.correlation[i, j]
                if math.isfinite(r) and abs(r) >= min_correl:
                    pairs.append((a, self.var_names[j], float(r)))
        return sorted(pairs, key=lambda pair: -abs(pair[2]))

    # Short summary.
    def __repr__(self):
        values = ", ".join(f"{name}={self.values[name]:.5g}" for name in self.var_names)
        return (f"<FitResult {self.model}/{self.engine}: {values}; chisqr={self.chisqr:.4g}, "
                f"success={self.success}>")


# Remarks on a fit: values at their bounds, undetermined and strongly correlated parameters.
def _notes(names, values, active, errors, correlation, resolved):
    notes = []
    for name, value, side in zip(names, values, active):
        if side:
            low, high = resolved.bounds[name]
            bound = low if side < 0 else high
            notes.append(f"{name} ended at its {'lower' if side < 0 else 'upper'} bound "
                         f"({bound:g}); its standard error assumes it is free")
    for name, error in zip(names, errors):
        if not math.isfinite(error):
            notes.append(f"{name} is not determined by the data (singular Jacobian): fit fewer "
                         "parameters")
    return notes + strong_correlation_notes(names, correlation)


# The constrained and derived parameters (those with an expr) with their
# values at u and standard errors propagated from the covariance of the
# varied ones (linearised, as lmfit propagates them).
def _add_constrained(params, problem, u, covariance, resolved, params_in):
    constraints = problem.constraints
    values = problem.all_values(u)
    gradient = problem.constraint_gradient(u)
    with np.errstate(invalid="ignore"):
        variances = np.einsum("ij,jk,ik->i", gradient, covariance, gradient)
    start = problem.all_values(np.zeros(len(problem.names)))
    for k, name in enumerate(constraints.names):
        low, high = resolved.bounds.get(name, (-math.inf, math.inf))
        p = params.add(name, values[name], vary=False, min=low, max=high,
                       expr=constraints.expressions[name])
        p.init_value = start[name]
        p.stderr = float(np.sqrt(variances[k])) if variances[k] >= 0 else math.nan
    # Keep the caller's order where it had one: the model parameters, then the rest.
    order = [name for name in FIT_NAMES if name in params]
    order += [name for name in params_in if name not in order and name in params] \
        if hasattr(params_in, "keys") else []
    order += [name for name in params if name not in order]
    ordered = {name: params[name] for name in order}
    params.clear()
    params.update(ordered)


# How each engine fits and estimates the errors, for reports.
FIT_METHODS = {
    "exact": "least_squares (trf), exact Jacobian",
    "lsoda": "MINPACK lmdif (fit_zscan's multi-start); errors from central differences "
             "(relative step {rel_step:g})",
}


# Whether and why the solver stopped, as the result states it.
def _convergence_message(solution, tolerances):
    if solution.status > 0:
        return f"converged: {solution.message}"
    if getattr(solution, "stopped_because", None):
        return (f"not converged: the solver stopped after {solution.nfev} evaluations of the "
                f"best start because {solution.stopped_because}; the values are the last ones "
                "it tried")
    return (f"not converged: the solver stopped after {solution.nfev} evaluations "
            f"(max_nfev = {tolerances[3]}) before its tolerances were met; the values are "
            "the last ones it tried")


# The FitResult of a finished fit (see fitting.fit for the arguments).
def build_result(problem, resolved, params_in, best, starts, *, sigma, is_sa, scale_covar,
                 weighting, tolerances, seconds, engine="exact"):
    factor, u, solution = best
    spec_pars, focus = problem.parameters(u)
    model = problem.model_curves(u)
    weighted = (problem.root_weights * (problem.y - model)).ravel()
    if problem.keep is not None:
        weighted = weighted[problem.keep]
    jacobian = problem.physical_jacobian(u)
    uncertainty = covariance_from_jacobian(jacobian, weighted, scale_covar,
                                           residual_noise(problem, u))
    errors = uncertainty.standard_errors
    correlation = uncertainty.correlation
    values = problem.values(u)
    ndata, nvarys = weighted.size, len(problem.names)
    chisqr = float(weighted @ weighted)
    nfree = ndata - nvarys
    neg2_log_likelihood = ndata * math.log(max(chisqr, CHI2_FLOOR * ndata) / ndata)

    params = Parameters()
    constraints = problem.constraints
    expressions = {} if constraints is None else constraints.expressions
    for name in FIT_NAMES:
        low, high = resolved.bounds.get(name, (-math.inf, math.inf))
        if name in expressions:
            continue
        if name == FOCUS:
            init = problem.focus_start
            value = focus
            vary = FOCUS in problem.names
        elif name in OPTICAL_NAMES:
            if name not in resolved.bounds:
                continue
            init = resolved.optics[OPTICAL_NAMES.index(name)]
            value = float(problem.optics(u)[OPTICAL_NAMES.index(name)])
            vary = name in problem.names
        else:
            init = resolved.spec_pars[FIT_NAMES.index(name)]
            value = spec_pars[FIT_NAMES.index(name)]
            vary = name in problem.names
        p = params.add(name, value, vary=vary, min=low, max=high)
        p.init_value = init
        if vary:
            k = problem.names.index(name)
            p.stderr = float(errors[k])
            p.correl = {other: float(correlation[k, j]) for j, other in enumerate(problem.names)
                        if j != k}
    values_at_u = problem.values(u)
    for name, start in problem.extras.items():
        # Parameters outside the model that the expressions use.
        low, high = resolved.bounds[name]
        vary = name in problem.names
        p = params.add(name, values_at_u[problem.names.index(name)] if vary else start,
                       vary=vary, min=low, max=high)
        p.init_value = start
        if vary:
            k = problem.names.index(name)
            p.stderr = float(errors[k])
            p.correl = {other: float(correlation[k, j]) for j, other in enumerate(problem.names)
                        if j != k}
    if constraints is not None:
        _add_constrained(params, problem, u, uncertainty.covariance, resolved, params_in)
    success = solution.status > 0
    message = _convergence_message(solution, tolerances)
    notes = _notes(problem.names, values, solution.active_mask, errors, correlation, resolved)
    # chi^2 at the best start's values: a solver that ends above it lost its way.
    start_values = getattr(solution, "start_values", None)
    if start_values is None:
        start_values = problem.values(np.where(problem.is_log, math.log(factor), 0.0))
    start_residuals = problem.evaluate(problem.internal(start_values),
                                       np.ones(len(problem.names), dtype=bool), jacobian=False)[1]
    # Curves of different lengths: rows padded with NaN beyond each curve's points.
    x, data, sigma = problem.x, problem.y, sigma
    if problem.keep is not None:
        missing = ~problem.keep.reshape(problem.y.shape)
        x, data, model = (np.where(missing, np.nan, a) for a in (x, data, model))
        sigma = None if sigma is None else np.where(missing, np.nan, sigma)
    residuals = data - model
    return FitResult(
        params=params, var_names=list(problem.names),
        values={name: p.value for name, p in params.items()},
        spec_pars=spec_pars, focus=focus, centre=problem.centre,
        optics={name: params[name].value for name in OPTICAL_NAMES if name in params},
        aperture=problem.aperture, divided_by_open=problem.divided,
        expressions=dict(expressions),
        init_values={name: params[name].init_value for name in problem.names},
        start_values=dict(zip(problem.names, start_values.tolist())),
        start_chisqr=float(start_residuals @ start_residuals),
        rel_step=getattr(problem.handle, "rel_step", None),
        covar=uncertainty.covariance, correlation=correlation,
        chisqr=chisqr, redchi=chisqr / nfree if nfree > 0 else math.nan,
        # The norm of the weighted residuals as the solver reports it.
        fit_error=float(getattr(solution, "error", math.sqrt(chisqr))),
        aic=neg2_log_likelihood + 2.0 * nvarys,
        bic=neg2_log_likelihood + math.log(ndata) * nvarys,
        ndata=ndata, nvarys=nvarys, nfree=nfree,
        residual=weighted, residuals=residuals, best_fit=model,
        data=data, positions=x, pulse_energy=problem.energies, sigma=sigma,
        weights=weighting, weighting=WEIGHTING_TEXT[weighting],
        rms=float(np.sqrt(np.nanmean(residuals ** 2))),
        normalisation=problem.normalisation, findings=[],
        setup=problem.setup, grid=dict(problem.grid), is_sa=is_sa, scale_covar=scale_covar,
        nfev=problem.evaluations, success=success, status=int(solution.status),
        message=message, notes=notes, n_starts=len(starts),
        start_costs=[2.0 * float(s[2].cost) for s in starts], start_factor=factor,
        engine=engine, model=problem.model, seconds=seconds, tolerances=tolerances, budget=None,
        method=FIT_METHODS[engine].format(rel_step=getattr(problem.handle, "rel_step", None)),
        _problem=problem, _u=u)


# Key of the result file that marks a document written by FitResult.save.
SAVED_FROM = "tarvo.FitResult.save"


# The measurement-shaped view of an API fit, for the shared document builder:
# the curves are named "curve 1", "curve 2", ... (they came from arrays).
def _measurement(result):
    setup = result.setup
    model_setup = Setup(wavelength=float(setup["wavelength"]), w0=float(setup["w0"]),
                        M2=float(setup["M2"]), tau=float(setup["tau"]),
                        sample_width=float(setup["sample_width"]),
                        populations=tuple(float(v) for v in setup["populations"]),
                        t_slices=result.grid["t_slices"], z_slices=result.grid["z_slices"])
    aperture = getattr(result, "aperture", None) or [1.0] * len(result.pulse_energy)
    divided = getattr(result, "divided_by_open", None) or [False] * len(result.pulse_energy)
    curves = tuple(Curve(f"curve {k + 1}", float(energy), *result.curve(k)[:3],
                         aperture=float(aperture[k]), divided_by_open=bool(divided[k]))
                   for k, energy in enumerate(result.pulse_energy))

    # A parameter's start: where the fit started a fitted one, else its value.
    def start_of(name):
        p = result.params[name]
        return p.init_value if p.vary else p.value

    start = np.array([start_of(name) for name in NAMES], dtype=np.float64)
    optics = {name: float(start_of(name)) for name in OPTICAL_NAMES if name in result.params}
    names = tuple(name for name in result.var_names if name != FOCUS)
    return Measurement(None, model_setup, bool(result.is_sa), curves, start, names,
                       int(result.n_starts), (), FitOptions(fit_focus=FOCUS in result.var_names),
                       DataFormat(normalisation=result.normalisation), optics=optics or None)


# The document of `tarvo fit`'s result file for a FitResult.
def result_document_of(result):
    measurement = _measurement(result)
    outcome, uncertainty = report_view(measurement, result)
    rows = parameter_rows(measurement, outcome, uncertainty,
                          identifiability=result.identifiability)
    record = provenance([], ())
    record["command_line"] = SAVED_FROM
    document = fit_document(measurement, result, outcome, uncertainty, rows,
                            FitCurves.of(result), None, record)
    document["directory"] = None
    return document


# Write a FitResult as the JSON result file of `tarvo fit`.
def save_result(result, path):
    write_result(Path(path), result_document_of(result))


# One row per curve, curves of different lengths padded with NaN.
def nan_padded(rows):
    rows = [np.asarray(row, dtype=np.float64) for row in rows]
    padded = np.full((len(rows), max(row.size for row in rows)), np.nan)
    for k, row in enumerate(rows):
        padded[k, :row.size] = row
    return padded


# Largest result file read (a bootstrap of many replicates lists them all).
MAX_RESULT_BYTES = 512 * 1024 * 1024

# A key that must be present.
_REQUIRED = object()


# A part of a result document read for FitResult.load: every access checks
# the value's type (and that numbers are finite) and names the key, such as
# setup.tau_s or curves[1].model, in its ValueError.
class DocumentFields:
    def __init__(self, data, path, where=""):
        self.data, self.path, self.where = data, path, where

    def _name(self, key):
        if isinstance(key, int):
            return f"{self.where}[{key}]"
        return f"{self.where}.{key}" if self.where else key

    # ValueError naming the key, what it must be and what it is.
    def fail(self, key, expected, value):
        shown = repr(value)
        shown = shown if len(shown) <= 40 else shown[:37] + "..."
        raise ValueError(f"{self.path}: {self._name(key)} must be {expected}, got {shown}")

    def get(self, key, default=_REQUIRED):
        if isinstance(self.data, dict) and key in self.data:
            return self.data[key]
        if isinstance(self.data, list) and isinstance(key, int) and 0 <= key < len(self.data):
            return self.data[key]
        if default is _REQUIRED:
            raise ValueError(f"{self.path}: {self._name(key)} is missing")
        return default

    def table(self, key, default=_REQUIRED):
        value = self.get(key, default)
        if not isinstance(value, dict):
            self.fail(key, "a table", value)
        return DocumentFields(value, self.path, self._name(key))

    # The entries of a list (tables where `tables`).
    def entries(self, key, default=_REQUIRED, tables=True):
        value = self.get(key, default)
        if not isinstance(value, list):
            self.fail(key, "a list", value)
        inner = DocumentFields(value, self.path, self._name(key))
        for k, item in enumerate(value):
            if tables and not isinstance(item, dict):
                inner.fail(k, "a table", item)
        return [DocumentFields(item, self.path, inner._name(k)) for k, item in enumerate(value)]

    # A finite number; None (JSON null) as NaN where `null` allows it.
    def number(self, key, default=_REQUIRED, null=False):
        value = self.get(key, default)
        return _finite(self, key, value, null)

    def integer(self, key, default=_REQUIRED, low=0):
        value = self.get(key, default)
        if isinstance(value, bool) or not isinstance(value, int) or value < low:
            self.fail(key, f"an integer of at least {low}", value)
        return value

    def boolean(self, key, default=_REQUIRED):
        value = self.get(key, default)
        if not isinstance(value, bool):
            self.fail(key, "true or false", value)
        return value

    def text(self, key, default=_REQUIRED, choices=None):
        value = self.get(key, default)
        if not isinstance(value, str) or (choices is not None and value not in choices):
            self.fail(key, "a string" if choices is None else
                      "one of " + ", ".join(map(repr, choices)), value)
        return value

    # A list of numbers (None as NaN where `null` allows it), of `size` if given.
    def numbers(self, key, default=_REQUIRED, null=False, size=None):
        value = self.get(key, default)
        if not isinstance(value, list) or (size is not None and len(value) != size):
            self.fail(key, "a list of numbers" if size is None else
                      f"a list of {size} numbers", value)
        inner = DocumentFields(value, self.path, self._name(key))
        return [_finite(inner, k, item, null) for k, item in enumerate(value)]

    # A square matrix of numbers (None as NaN) of `size` rows.
    def matrix(self, key, size):
        value = self.get(key)
        if not isinstance(value, list) or len(value) != size:
            self.fail(key, f"a list of {size} rows", value)
        inner = DocumentFields(value, self.path, self._name(key))
        return [inner.numbers(k, null=True, size=size) for k in range(size)]


# A JSON value as a finite float (None as NaN where `null` allows it).
def _finite(fields, key, value, null):
    if value is None and null:
        return math.nan
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            not math.isfinite(value) or abs(value) > 1e308:
        fields.fail(key, "a finite number" + (" or null" if null else ""), value)
    return float(value)


# A FitResult from a result file written by `tarvo fit` (exact engine) or
# FitResult.save; ValueError, naming the key, when the file holds no such
# result or a malformed one.
def load_result(path):
    path = Path(path)
    raw = read_input_bytes(path, MAX_RESULT_BYTES, "a fit result is at most a few megabytes")
    try:
        document = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise ValueError(f"{path}: cannot read a fit result: {error}") from None
    return result_from_document(document, path)


# A FitResult from a parsed result document (see load_result).
def result_from_document(document, path):
    if not isinstance(document, dict) or "parameters" not in document:
        raise ValueError(f"{path}: not a tarvo fit result (no \"parameters\")")
    doc = DocumentFields(document, path)
    engine = document.get("engine")
    if not isinstance(engine, str) or engine not in FIT_METHODS or "focus_mm" not in document:
        raise ValueError(f"{path}: a result of the {str(engine)[:20]!r} engine written by an "
                         "earlier version; FitResult.load reads results of tarvo.fit and tarvo fit "
                         "that record the focus (focus_mm): fit again")
    setup_doc = doc.table("setup")
    setup = {"populations": np.array(setup_doc.numbers("populations_cm-3", size=5),
                                     dtype=np.float64),
             "sample_width": setup_doc.number("sample_width_cm"), "tau": setup_doc.number("tau_s"),
             "wavelength": setup_doc.number("wavelength_m"), "w0": setup_doc.number("w0_m"),
             "M2": setup_doc.number("M2")}
    model = doc.text("model", choices=("energy", "established"))
    grid = {"t_slices": setup_doc.integer("t_slices", low=1),
            "z_slices": setup_doc.integer("z_slices", low=1),
            "radial_points": setup_doc.integer("radial_points", 0),
            "intensity_points": setup_doc.integer("intensity_points", 0)}
    # Results written before the normalisations were named were shifted.
    try:
        normalisation = Normalisation(doc.text("normalisation", "shift"),
                                      doc.integer("far_field_points", 5, low=1))
    except (TypeError, ValueError) as error:
        raise ValueError(f"{path}: normalisation: {error}") from None
    weighting = doc.text("weights")
    weights = next((mode for mode, text in WEIGHTING_TEXT.items() if text == weighting),
                   "established")
    bounds_doc = doc.table("bounds", {})
    bounds = {name: bounds_doc.numbers(name, null=True, size=2) for name in bounds_doc.data}
    params = Parameters()

    # Add a parameter of the document (an entry of `what`) to params.
    def add(entry, name, fitted):
        low, high = bounds.get(name, [math.nan, math.nan])
        value = entry.number("value")
        try:
            p = params.add(name, value, vary=fitted,
                           min=None if math.isnan(low) else low,
                           max=None if math.isnan(high) else high)
        except (TypeError, ValueError, KeyError) as error:
            raise ValueError(f"{path}: {entry.where}: {error}") from None
        p.init_value = entry.number("start", null=True)
        p.stderr = entry.number("standard_error", None, null=True) if fitted else None
        return p

    for entry in doc.entries("parameters"):
        add(entry, entry.text("name", choices=NAMES + OPTICAL_NAMES), entry.boolean("fitted"))
    missing = [name for name in NAMES if name not in params]
    if missing:
        raise ValueError(f"{path}: parameters has no entry of {', '.join(missing)}")
    focus_doc = doc.table("focus_mm")
    focus = add(focus_doc, FOCUS, focus_doc.boolean("fitted"))
    for entry in doc.entries("extra_parameters", []):
        add(entry, entry.text("name"), entry.boolean("fitted"))
    expressions = {}
    for entry in doc.entries("constraints", []):
        name, expr = entry.text("name"), entry.text("expr")
        value = entry.number("value", null=True)
        try:
            if name in params:
                params[name].set(expr=expr)
            else:
                params.add(name, value, vary=False, expr=expr)
        except (TypeError, ValueError, KeyError, SyntaxError) as error:
            raise ValueError(f"{path}: {entry.where}: {error}") from None
        params[name].stderr = entry.number("standard_error", None, null=True)
        expressions[name] = expr
    covariance_doc = doc.table("covariance")
    var_names = [entry for entry in covariance_doc.get("parameters")
                 if isinstance(entry, str) and entry in params] \
        if isinstance(covariance_doc.get("parameters"), list) else None
    if var_names is None or len(var_names) != len(covariance_doc.get("parameters")):
        covariance_doc.fail("parameters", "a list of the parameters' names",
                            covariance_doc.get("parameters"))
    covar = np.array(covariance_doc.matrix("matrix", len(var_names)),
                     dtype=np.float64).reshape(len(var_names), len(var_names))
    correlation = np.array(doc.matrix("correlation", len(var_names)),
                           dtype=np.float64).reshape(covar.shape)
    for k, name in enumerate(var_names):
        params[name].correl = {other: float(correlation[k, j])
                               for j, other in enumerate(var_names) if j != k}
    curves = doc.entries("curves")
    if not curves:
        doc.fail("curves", "a list of curves", [])
    # Curves of different lengths are padded with NaN to rows of one length.
    rows = [c.numbers("positions_mm") for c in curves]
    sizes = [len(row) for row in rows]
    if min(sizes) < 1:
        doc.fail("curves", "curves of at least one point", [])
    positions = nan_padded(rows)
    data = nan_padded([c.numbers("transmittance", size=n) for c, n in zip(curves, sizes)])
    best_fit = nan_padded([c.numbers("model", size=n) for c, n in zip(curves, sizes)])
    with_sigma = curves[0].get("standard_deviation") is not None
    sigma = None if not with_sigma else \
        nan_padded([c.numbers("standard_deviation", size=n) for c, n in zip(curves, sizes)])
    if sigma is not None and not np.all(sigma[~np.isnan(sigma)] > 0.0):
        doc.fail("curves", "standard deviations above 0", "a standard deviation of 0 or less")
    energies = np.array([c.number("pulse_energy_J") for c in curves], dtype=np.float64)
    aperture, divided = _apertures(curves)
    residuals = data - best_fit
    is_sa = setup_doc.boolean("is_sa")
    centre = scan_centre(positions, data, is_sa)
    # (NaN pads the rows of curves of different lengths: weighted at the centre, left out.)
    root_weights = 1.0 / sigma if sigma is not None else \
        np.sqrt(point_weights(np.nan_to_num(positions - centre))) if weights == "established" \
        else np.ones_like(positions)
    tolerances = doc.table("tolerances", {})
    tolerances = tuple(None if tolerances.get(k, None) is None else tolerances.number(k)
                       for k in ("ftol", "xtol", "gtol", "max_nfev"))
    rel_step = doc.get("standard_error_relative_step", None)
    rel_step = None if rel_step is None else doc.number("standard_error_relative_step")
    ndata = int(np.count_nonzero(~np.isnan(data)))
    nvarys = len(var_names)
    converged = doc.boolean("converged")
    return FitResult(
        params=params, var_names=var_names,
        values={name: p.value for name, p in params.items()},
        spec_pars=np.array([params[name].value for name in NAMES], dtype=np.float64),
        optics={name: params[name].value for name in OPTICAL_NAMES if name in params},
        aperture=aperture, divided_by_open=divided,
        focus=float(focus.value), centre=centre, expressions=expressions,
        init_values={name: params[name].init_value for name in var_names},
        covar=covar, correlation=correlation, chisqr=doc.number("chi2", null=True),
        fit_error=doc.number("fit_error", null=True),
        redchi=doc.number("reduced_chi2", null=True), aic=doc.number("aic", None, null=True),
        bic=doc.number("bic", None, null=True), ndata=ndata, nvarys=nvarys,
        nfree=ndata - nvarys,
        residual=(root_weights * residuals)[~np.isnan(data)], residuals=residuals,
        best_fit=best_fit, data=data, positions=positions, pulse_energy=energies,
        sigma=sigma, weighting=weighting, weights=weights, setup=setup,
        normalisation=normalisation, rms=float(np.sqrt(np.nanmean(residuals ** 2))),
        findings=[], identifiability=_record_of(doc, "identifiability", Identifiability),
        start_values={}, budget=_record_of(doc, "error_budget", ErrorBudget),
        grid=grid if model == "energy" else {k: grid[k] for k in ("t_slices", "z_slices")},
        is_sa=is_sa, scale_covar=doc.boolean("scale_covar", sigma is None),
        nfev=doc.integer("nfev"), success=converged,
        status=1 if converged else 0, message=doc.text("message"),
        notes=[note.data for note in _texts(doc, "notes")], n_starts=doc.integer("n_starts", low=1),
        start_costs=[], start_factor=None, engine=engine, model=model,
        method=doc.text("fitting_method", FIT_METHODS["exact"]),
        rel_step=rel_step, solver_messages=None, engine_options={},
        seconds=doc.number("fit_seconds", None, null=True),
        tolerances=tolerances,
        _problem=None, _u=None, source=str(path))


# Per curve the aperture's transmittance and whether the curve is divided by
# the open one; (None, None) where every curve is open (results written
# before the curves recorded their aperture are open-aperture ones).
def _apertures(curves):
    aperture, divided = [], []
    for curve in curves:
        S = curve.get("aperture", 1.0)
        if isinstance(S, bool) or not isinstance(S, (int, float)) or not 0.0 < S <= 1.0:
            curve.fail("aperture", "a number in (0, 1]", S)
        aperture.append(float(S))
        divided.append(curve.boolean("divided_by_open", False))
        if divided[-1] and S == 1.0:
            curve.fail("divided_by_open", "false for an open aperture (aperture 1)", True)
    if all(S == 1.0 for S in aperture):
        return None, None
    return aperture, divided


# The record under `key` (None when absent) read by `kind.from_dict`; a
# malformed one is a ValueError naming the key, as every other key's is.
def _record_of(doc, key, kind):
    record = doc.get(key, None)
    if record is None:
        return None
    try:
        return kind.from_dict(record)
    except (KeyError, TypeError, ValueError, AttributeError, IndexError):
        doc.fail(key, f"a {key.replace('_', ' ')} record as tarvo writes it", record)


# The strings of a list.
def _texts(doc, key):
    entries = doc.entries(key, [], tables=False)
    for entry in entries:
        if not isinstance(entry.data, str):
            doc.fail(key, "a list of strings", entry.data)
    return entries

