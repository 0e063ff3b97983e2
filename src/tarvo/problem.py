"""The least-squares problem of a fit: the data, their weights, the set-up and
the engine's handle built once, and the mapping between the fitted
parameters and the solver's variables. Positive parameters are fitted
through their logarithms (the solver's variable is log(p / p_start)), which
keeps cross-sections of 1e-17 cm^2 and 1e-9 s equally well scaled; the focus
position is fitted in mm. Both engines and the global fit build their
problems here.
"""

import math
from collections import OrderedDict

import numpy as np
from scipy.optimize import least_squares

from .curve_data import stacked
from .engine import FOCUS_SHIFT, ModelHandle, check_model, grid_defaults, grid_settings, point_mask
from .errors import InputError
from .measurement import WEIGHTS
from .normalisation import normalisation_of
from .parameters import (FIT_NAMES, FOCUS, NAMES, OPTICAL_NAMES, POSITIVE_NAMES, SIGNED_NAMES,
                         engine_index, resolve_parameters, scan_centre)
from .residual_noise import residual_noise
from .uncertainty import point_weights


# Evaluations a problem keeps: the solver asks for residuals and Jacobian
# separately, and the result needs the model at the solution once more.
CACHED_EVALUATIONS = 4


# The least-squares problem of a fit: data, weights, set-up and the mapping
# between the fitted parameters and the solver's variables u (log(p / p_start)
# for positive parameters, focus - focus_start in mm for the focus).
class ZscanProblem:
    # Data (num_datasets, num_x_pts), checked set-up and parameters, weights' roots.
    def __init__(self, x, y, energies, setup, model, grid, root_weights, resolved, centre,
                 normalisation, counts=None, aperture=None, divided=None):
        self.x, self.y, self.energies = x, y, energies
        # Curves of different lengths: the points of each (rows padded at
        # their end with copies of their last point) and which entries of
        # the flattened rows are measured; None when every row is a curve.
        self.counts = counts
        self.keep = None if counts is None else point_mask(counts, x.shape[1]).ravel()
        # Per curve the far-field aperture's transmittance and whether the
        # curve is divided by the open one (None: all open).
        self.aperture, self.divided = aperture, divided
        self.open_rows = [k for k in range(y.shape[0]) if aperture is None or aperture[k] == 1.0]
        self.setup, self.model, self.grid = setup, model, grid
        self.normalisation = normalisation
        self.root_weights = root_weights
        self.centre = centre
        self.base = resolved.spec_pars.copy()
        self.optics_base = np.array(resolved.optics, dtype=np.float64)
        self.focus_start = centre if resolved.focus is None else resolved.focus
        self.names = list(resolved.varied)
        self.indices = resolved.indices
        # Parameters outside the model (used by expressions), by name.
        self.extras = dict(resolved.extras)
        self.is_log = np.array([name in POSITIVE_NAMES for name in self.names])
        self.reference = np.array([self.focus_start if name == FOCUS else
                                   self.extras[name] if index is None else
                                   self.optics_base[OPTICAL_NAMES.index(name)]
                                   if name in OPTICAL_NAMES else self.base[index]
                                   for name, index in zip(self.names, self.indices)])
        # Linear variables: the focus in mm, other parameters relative to their start.
        self.scale = np.array([1.0 if name == FOCUS or name in POSITIVE_NAMES
                               else abs(self.reference[k]) or 1.0 if name in SIGNED_NAMES
                               else abs(self.extras[name]) or 1.0
                               for k, name in enumerate(self.names)])
        self.engine_columns = [k for k, index in enumerate(self.indices) if index is not None]
        bounds = [resolved.bounds[name] for name in self.names]
        self.lower = np.array([self._to_internal(k, low) for k, (low, _) in enumerate(bounds)])
        self.upper = np.array([self._to_internal(k, high) for k, (_, high) in enumerate(bounds)])
        # Constrained model parameters (and the focus) follow their expressions.
        self.constraints = resolved.constraints
        order = [] if self.constraints is None else self.constraints.names
        self.constrained = [(k, name) for k, name in enumerate(order) if name in FIT_NAMES]
        self.constrained_indices = [engine_index(name) for _, name in self.constrained]
        self.evaluations = 0
        self._cache = OrderedDict()
        # The engine's model of this measurement, built once for the whole fit
        # on its first use (another engine puts its own handle in first).
        self._handle = None

    # The handle that evaluates the model: the exact engine's unless another was set.
    @property
    def handle(self):
        if self._handle is None:
            self._handle = self.exact_handle()
        return self._handle

    @handle.setter
    def handle(self, handle):
        self._handle = handle

    # Evaluate on another grid from now on (its handle built for it).
    def use_grid(self, grid, handle):
        self.grid = dict(grid)
        self._handle = handle
        self._cache.clear()

    # Solver variable of parameter k at a physical value.
    def _to_internal(self, k, value):
        if not self.is_log[k]:
            return (value - self.reference[k]) / self.scale[k]
        if value <= 0.0:
            return -math.inf
        return math.log(value / self.reference[k])

    # Solver variables of the varied parameters at physical values.
    def internal(self, values):
        return np.array([self._to_internal(k, v) for k, v in enumerate(values)])

    # Physical values of the varied parameters.
    def values(self, u):
        return np.where(self.is_log, self.reference * np.exp(np.where(self.is_log, u, 0.0)),
                        self.reference + u * self.scale)

    # d(physical value)/du of the varied parameters at u.
    def chain(self, u):
        return np.where(self.is_log, self.values(u), self.scale)

    # The eight parameters and the focus at solver variables u.
    def parameters(self, u):
        spec_pars, focus, _, _ = self._state(u)
        return spec_pars, focus

    # The optical parameters (toolkit units) at solver variables u.
    def optics(self, u):
        return self._state(u)[3]

    # The eight parameters, the focus, the parameters outside the model and
    # the optical parameters at u.
    def _state(self, u):
        values = self.values(u)
        spec_pars = self.base.copy()
        optics = self.optics_base.copy()
        focus = self.focus_start
        extras = dict(self.extras)
        for name, index, value in zip(self.names, self.indices, values):
            if name == FOCUS:
                focus = float(value)
            elif index is None:
                extras[name] = float(value)
            elif name in OPTICAL_NAMES:
                optics[OPTICAL_NAMES.index(name)] = value
            else:
                spec_pars[index] = value
        if self.constraints is not None:
            evaluated = self.constraints.evaluate(self._symbols(spec_pars, focus, extras, optics))
            for _, name in self.constrained:
                if name == FOCUS:
                    focus = evaluated[name]
                elif name in OPTICAL_NAMES:
                    optics[OPTICAL_NAMES.index(name)] = evaluated[name]
                else:
                    spec_pars[NAMES.index(name)] = evaluated[name]
        return spec_pars, focus, extras, optics

    # Values of the parameters that expressions may use, by name.
    @staticmethod
    def _symbols(spec_pars, focus, extras, optics):
        symbols = {name: float(v) for name, v in zip(NAMES, spec_pars) if math.isfinite(v)}
        symbols.update({name: float(v) for name, v in zip(OPTICAL_NAMES, optics)
                        if math.isfinite(v)})
        symbols[FOCUS] = focus
        symbols.update(extras)
        return symbols

    # Every parameter's value at u by name, the expressions' included
    # (derived parameters too).
    def all_values(self, u):
        symbols = self._symbols(*self._state(u))
        return symbols if self.constraints is None else self.constraints.evaluate(symbols)

    # Derivatives of the expressions' values (rows in evaluation order) with
    # respect to the physical values of the varied parameters, at u.
    def constraint_gradient(self, u):
        if self.constraints is None:
            return np.zeros((0, len(self.names)))
        symbols = self._symbols(*self._state(u))
        for _, name in self.constrained:
            symbols.pop(name, None)
        return self.constraints.gradient(symbols, self.names)

    # Model curves and their derivatives with respect to the given engine indices:
    # the one place a fit calls the engine (its handle, focus moved in place;
    # `handle`: the same model at another grid or set-up).
    def curves(self, spec_pars, focus, derivatives=(), optics=None, handle=None):
        self.evaluations += 1
        handle = self.handle if handle is None else handle
        if optics is None or not np.any(optics) and not any(d > FOCUS_SHIFT for d in derivatives):
            # The rate scheme's model alone (and the only call the lsoda engine takes).
            return handle.curves(spec_pars, focus, derivatives)
        return handle.curves(spec_pars, focus, derivatives, optics=optics)

    # Weighted residual change (the measured entries) when the model moves
    # from `model` to `other` (curves of the problem's shape).
    def weighted_change(self, model, other):
        change = (self.root_weights * (np.asarray(other) - np.asarray(model))).ravel()
        return change if self.keep is None else change[self.keep]

    # The exact engine's handle of this problem's curves (points per curve,
    # apertures, normalisation), at its own set-up, energies and grid or at
    # those given: the model at another grid or a shifted set-up.
    def exact_handle(self, setup=None, energies=None, grid=None):
        return ModelHandle(self.x, self.energies if energies is None else energies,
                           self.setup if setup is None else setup, model=self.model,
                           normalisation=self.normalisation,
                           counts=self.counts, aperture=self.aperture, divided=self.divided,
                           **(self.grid if grid is None else grid))

    # Model curves, weighted residuals (m,) and their Jacobian (m, free) with
    # respect to the free variables at u; one engine call gives all three.
    # Without `jacobian` the engine computes the curves only (the same values:
    # the derivatives are carried beside them) and the Jacobian is None.
    def evaluate(self, u, free, jacobian=True):
        u = np.asarray(u, dtype=np.float64)
        free = np.asarray(free, dtype=bool)
        key = (u.tobytes(), free.tobytes())
        cached = self._cache.get(key)
        if cached is not None and (cached[2] is not None or not jacobian):
            self._cache.move_to_end(key)
            return cached
        spec_pars, focus, _, optics = self._state(u)
        # Engine derivatives of the free model parameters (not of those outside the model).
        direct = [k for k in np.flatnonzero(free) if self.indices[k] is not None]
        indices = [self.indices[k] for k in direct] if jacobian else []
        extra = self.constrained_indices if jacobian else []
        model, derivative = self.curves(spec_pars, focus, indices + extra, optics)
        residuals = (self.root_weights * (self.y - model)).ravel()
        if self.keep is not None:
            residuals = residuals[self.keep]
        result = None
        if jacobian:
            # d(weighted residual)/du = -root_weight * dmodel/dp * dp/du, dp/du = p for log
            # variables, the scale for linear ones.
            chain = self.chain(u)[free]
            weighted = -(self.root_weights[..., None] * derivative).reshape(self.y.size, -1)
            if self.keep is not None:
                weighted = weighted[self.keep]
            if len(direct) == int(np.count_nonzero(free)):
                result = weighted[:, :len(indices)] * chain
            else:
                # Parameters outside the model act through the expressions only.
                columns = np.zeros((residuals.size, int(np.count_nonzero(free))))
                positions = [list(np.flatnonzero(free)).index(k) for k in direct]
                columns[:, positions] = weighted[:, :len(indices)]
                result = columns * chain
            if extra:
                # Constrained parameters move with the free ones through their expressions.
                rows = [k for k, _ in self.constrained]
                gradient = self.constraint_gradient(u)[rows][:, free]
                result = result + (weighted[:, len(indices):] @ gradient) * chain
        self._cache[key] = (model, residuals, result)
        self._cache.move_to_end(key)
        if len(self._cache) > CACHED_EVALUATIONS:
            self._cache.popitem(last=False)
        return model, residuals, result

    # Weighted residuals and their Jacobian with respect to the free variables at u.
    def residuals_and_jacobian(self, u, free):
        _, residuals, jacobian = self.evaluate(u, free)
        return residuals, jacobian

    # Model curves at u.
    def model_curves(self, u):
        return self.evaluate(u, np.ones(len(self.names), dtype=bool))[0]

    # Rows of the residual vector: the measured points (padding left out).
    @property
    def residual_count(self):
        return self.y.size if self.keep is None else int(np.count_nonzero(self.keep))

    # The noise that dividing by measured far fields adds to the weighted
    # residuals at u (a ResidualNoise), or None.
    def residual_noise(self, u):
        return residual_noise(self, u)

    # Jacobian of the weighted residuals with respect to the physical values, at u.
    def physical_jacobian(self, u):
        _, jacobian = self.residuals_and_jacobian(u, np.ones(len(self.names), dtype=bool))
        return jacobian / self.chain(u)

    # Least squares over the free variables, the others held at u_start.
    def solve(self, u_start, free, ftol, xtol, gtol, max_nfev):
        return solve_free(self, u_start, free, ftol, xtol, gtol, max_nfev)


# Least squares over the free variables of `problem` (anything with
# evaluate(u, free, jacobian), lower and upper), the others held at u_start:
# (u, SciPy's result).
def solve_free(problem, u_start, free, ftol, xtol, gtol, max_nfev):
    u_start = np.asarray(u_start, dtype=np.float64)
    free = np.asarray(free, dtype=bool)

    # Solver variables of all parameters at the free ones v.
    def full(v):
        u = u_start.copy()
        u[free] = v
        return u

    # The solver asks for the Jacobian only where it accepts a step. While
    # it accepts them, the residuals come with the Jacobian from the same
    # engine call; after a step it rejected, the residuals alone (a
    # quarter of the cost), and the Jacobian when asked for.
    accepting = [True]

    # Residuals at v.
    def residuals_at(v):
        speculate = accepting[0]
        accepting[0] = False
        return problem.evaluate(full(v), free, jacobian=speculate)[1]

    # Jacobian at v.
    def jacobian_at(v):
        accepting[0] = True
        return problem.evaluate(full(v), free)[2]

    start = np.clip(u_start[free], problem.lower[free], problem.upper[free])
    residuals = problem.evaluate(full(start), free)[1]
    if not np.all(np.isfinite(residuals)):
        raise InputError("the model is not finite at the start values; check the set-up and "
                         "the start values")
    solution = least_squares(residuals_at, start, jac=jacobian_at,
                             bounds=(problem.lower[free], problem.upper[free]), method="trf",
                             ftol=ftol, xtol=xtol, gtol=gtol, max_nfev=max_nfev,
                             x_scale=1.0)
    u = u_start.copy()
    u[free] = solution.x
    return u, solution


# The square roots of the point weights and the name of the weighting.
def _root_weights(weights, sigma, x, centre):
    if weights not in (None,) + WEIGHTS:
        raise InputError(f"weights must be one of {', '.join(map(repr, WEIGHTS))} or None (1/sigma^2 "
                         f"where sigma is given, else equal), got {weights!r}")
    if weights == "established":
        if sigma is not None:
            raise InputError("weights=\"established\" weights the points by position and ignores "
                             "sigma: give one or the other")
        return np.sqrt(point_weights(x - centre)), "established"
    if sigma is not None:
        if weights == "equal":
            raise InputError("weights=\"equal\" and sigma exclude each other: with sigma the "
                             "points are weighted 1/sigma^2")
        return 1.0 / sigma, "sigma"
    return np.ones_like(x), "equal"


# The least-squares problem of a fit from its curves (tarvo.Curve objects,
# checked: curve_data), set-up (a checked tarvo.Setup) and settings (the
# arguments of fit, checked), carrying the resolved parameters, the
# normalisation, sigma and the name of the weighting. `focus` replaces the
# focus start of `params` (mm; None: keep it); grid counts left None come
# from the set-up, else the model's defaults.
def prepare_problem(curves, params, setup, *, model="energy", normalisation="far-field",
                    far_field_points=None, t_slices=None, z_slices=None, radial_points=None,
                    intensity_points=None, weights=None, is_sa=False, vary=None, focus=None):
    check_model(model)
    norm = normalisation_of(normalisation, far_field_points)
    x, y, energies, sigma, counts, aperture, divided = stacked(curves)
    norm.check_points(x.shape[1] if counts is None else int(np.min(counts)))
    if not isinstance(is_sa, (bool, np.bool_)):
        raise InputError(f"is_sa must be True or False, got {is_sa!r}")
    # The data as given, for the plausibility checks; fitted as the model is normalised.
    given = y
    y, sigma = norm.measured(y, sigma, counts)
    resolved = resolve_parameters(params, vary)
    if focus is not None:
        resolved.focus = float(focus)
    points = x.size if counts is None else int(np.sum(counts))
    if points <= len(resolved.varied):
        raise InputError(f"{points} data points for {len(resolved.varied)} fitted parameters; a "
                         "fit needs more points than parameters")
    t_slices, z_slices = setup.slices(t_slices, z_slices)
    grid = grid_settings(model, t_slices, z_slices, radial_points, intensity_points,
                         defaults=grid_defaults(model, resolved.spec_pars, setup, energies))
    _check_closed_model(aperture, model, resolved)
    centre = closed_scan_centre(x, y, is_sa, aperture)
    root_weights, weighting = _root_weights(weights, sigma, x, centre)
    if counts is not None:
        # The padding of shorter curves is no data.
        root_weights = np.where(point_mask(counts, x.shape[1]), root_weights, 0.0)
    problem = ZscanProblem(x, y, energies, setup, model, grid, root_weights, resolved, centre,
                           norm, counts, aperture, divided)
    problem.resolved, problem.sigma, problem.weighting = resolved, sigma, weighting
    problem.given = given
    # Whether the caller chose any grid count (kept then, not refined).
    problem.grid_given = any(count is not None for count in (t_slices, z_slices, radial_points,
                                                             intensity_points))
    problem.is_sa = bool(is_sa)
    return problem


# A focus given by the caller must lie within the scanned positions: outside
# them the model hardly changes with the parameters, and a fit "converges" to
# meaningless values (a focus typed in µm instead of mm, say).
def check_focus_in_scan(focus, x, given):
    # NaN pads the rows of curves of different lengths in a result.
    low = min(float(np.nanmin(row)) for row in x)
    high = max(float(np.nanmax(row)) for row in x)
    if given and not low <= focus <= high:
        raise InputError(f"focus: start value {focus:g} mm lies outside the scanned range "
                         f"{low:g} to {high:g} mm (positions and focus are in mm)")


# Closed curves and the optical parameters need the energy model.
def _check_closed_model(aperture, model, resolved):
    optical = any(name in OPTICAL_NAMES for name in resolved.varied) or np.any(resolved.optics)
    if model != "energy" and (aperture is not None or optical):
        raise InputError("closed-aperture curves, two-photon absorption and nonlinear "
                         "refraction need the energy model (model=\"energy\")")


# Where the focus starts, from the data: the extreme of the open curves
# (scan_centre); where they hardly change (a Kerr medium) but closed curves
# do, the midpoint between the peak and the valley of the closed curve that
# changes most (they lie symmetrically about the focus for a thin sample).
def closed_scan_centre(x, y, is_sa, aperture):
    if aperture is None:
        return scan_centre(x, y, is_sa)
    open_rows = [k for k, a in enumerate(aperture) if a == 1.0]
    closed_rows = [k for k, a in enumerate(aperture) if a < 1.0]
    swing = [float(np.max(y[k]) - np.min(y[k])) for k in closed_rows]
    dip = max((float(np.max(np.abs(y[k] - 1.0))) for k in open_rows), default=0.0)
    if open_rows and dip >= 0.5 * max(swing):
        return scan_centre(x[open_rows], y[open_rows], is_sa)
    k = closed_rows[int(np.argmax(swing))]
    return 0.5 * float(x[k][np.argmax(y[k])] + x[k][np.argmin(y[k])])
