"""tarvo.fit: least-squares fits of Z-scan curves on the exact engine.

The exact engine computes the model to rounding error together with its exact
derivatives, so SciPy's trust-region least squares can run to tight
tolerances and end at the optimum, and the standard errors come from the
exact Jacobian. Positive parameters are fitted through their logarithms
(relative to their start values), which keeps them positive and makes
parameters of 1e-17 cm^2 and 1e-9 s equally well scaled; the focus position
is fitted in mm.
"""

import math
import time
from collections import OrderedDict

import numpy as np

from .centring import scan_centre
from .counts import check_count
from .engine import check_model, grid_settings, model_and_jacobian
from .fit_parameters import FOCUS, resolve_parameters
from .run_fit import start_multipliers
from .uncertainty import covariance_from_jacobian, point_weights

# Default tolerances of the least-squares solver: tight enough that the fit
# ends at the optimum (relative changes of 1e-12 in the parameters and the
# cost), still above the rounding noise of the exact model.
TOLERANCE = 1.0e-12

# Default limit of model evaluations per start and fitted parameter (as MINPACK's 200 (n + 1)).
EVALUATIONS_PER_PARAMETER = 200

# Evaluations a problem keeps: the solver asks for residuals and Jacobian
# separately, and the result needs the model at the solution once more.
CACHED_EVALUATIONS = 4


# The least-squares problem of a fit: data, weights, set-up and the mapping
# between the fitted parameters and the solver's variables u (log(p / p_start)
# for positive parameters, focus - focus_start in mm for the focus).
class ZscanProblem:
    # Data (num_datasets, num_x_pts), checked set-up and parameters, weights' roots.
    def __init__(self, x, y, energies, setup, model, grid, root_weights, resolved, centre):
        self.x, self.y, self.energies = x, y, energies
        self.setup, self.model, self.grid = setup, model, grid
        self.root_weights = root_weights
        self.centre = centre
        self.base = resolved.spec_pars.copy()
        self.focus_start = centre if resolved.focus is None else resolved.focus
        self.names = list(resolved.varied)
        self.indices = resolved.indices
        self.is_log = np.array([name != FOCUS for name in self.names])
        self.reference = np.array([self.focus_start if name == FOCUS else self.base[index]
                                   for name, index in zip(self.names, self.indices)])
        bounds = [resolved.bounds[name] for name in self.names]
        self.lower = np.array([self._to_internal(k, low) for k, (low, _) in enumerate(bounds)])
        self.upper = np.array([self._to_internal(k, high) for k, (_, high) in enumerate(bounds)])
        self.evaluations = 0
        self._cache = OrderedDict()

    # Solver variable of parameter k at a physical value.
    def _to_internal(self, k, value):
        if not self.is_log[k]:
            return value - self.reference[k]
        if value <= 0.0:
            return -math.inf
        return math.log(value / self.reference[k])

    # Solver variables of the varied parameters at physical values.
    def internal(self, values):
        return np.array([self._to_internal(k, v) for k, v in enumerate(values)])

    # Physical values of the varied parameters.
    def values(self, u):
        return np.where(self.is_log, self.reference * np.exp(np.where(self.is_log, u, 0.0)),
                        self.reference + u)

    # The eight parameters and the focus at solver variables u.
    def parameters(self, u):
        values = self.values(u)
        spec_pars = self.base.copy()
        focus = self.focus_start
        for name, index, value in zip(self.names, self.indices, values):
            if name == FOCUS:
                focus = float(value)
            else:
                spec_pars[index] = value
        return spec_pars, focus

    # Model curves and their derivatives with respect to the given engine indices.
    def curves(self, spec_pars, focus, derivatives=()):
        self.evaluations += 1
        return model_and_jacobian(self.x - focus, self.energies, self.setup["populations"],
                                  spec_pars, sample_width=self.setup["sample_width"],
                                  tau=self.setup["tau"], wavelength=self.setup["wavelength"],
                                  w0=self.setup["w0"], M2=self.setup["M2"],
                                  derivatives=derivatives, model=self.model, **self.grid)

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
        spec_pars, focus = self.parameters(u)
        indices = [self.indices[k] for k in np.flatnonzero(free)] if jacobian else []
        model, derivative = self.curves(spec_pars, focus, indices)
        residuals = (self.root_weights * (self.y - model)).ravel()
        result = None
        if jacobian:
            # d(weighted residual)/du = -root_weight * dmodel/dp * dp/du, dp/du = p for log variables.
            chain = np.where(self.is_log, self.values(u), 1.0)[free]
            result = -(self.root_weights[..., None] * derivative).reshape(residuals.size, -1) * chain
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

    # Jacobian of the weighted residuals with respect to the physical values, at u.
    def physical_jacobian(self, u):
        _, jacobian = self.residuals_and_jacobian(u, np.ones(len(self.names), dtype=bool))
        return jacobian / np.where(self.is_log, self.values(u), 1.0)

    # Least squares over the free variables, the others held at u_start.
    def solve(self, u_start, free, ftol, xtol, gtol, max_nfev):
        # Imported here: SciPy takes a while to load, and `import tarvo` should not wait for it.
        from scipy.optimize import least_squares

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
            return self.evaluate(full(v), free, jacobian=speculate)[1]

        # Jacobian at v.
        def jacobian_at(v):
            accepting[0] = True
            return self.evaluate(full(v), free)[2]

        start = np.clip(u_start[free], self.lower[free], self.upper[free])
        residuals = self.evaluate(full(start), free)[1]
        if not np.all(np.isfinite(residuals)):
            raise ValueError("the model is not finite at the start values; check the set-up and "
                             "the start values")
        solution = least_squares(residuals_at, start, jac=jacobian_at,
                                 bounds=(self.lower[free], self.upper[free]), method="trf",
                                 ftol=ftol, xtol=xtol, gtol=gtol, max_nfev=max_nfev,
                                 x_scale=1.0)
        u = u_start.copy()
        u[free] = solution.x
        return u, solution


# A (num_datasets, num_x_pts) float array of finite values, or ValueError naming the bad entry.
def _curves_array(name, values, shape):
    array = np.array(values, dtype=np.float64)
    if array.ndim == 1 and shape[0] == 1 and array.size == shape[1]:
        array = array[None, :]
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape} (one row per curve), got {array.shape}")
    bad = np.argwhere(~np.isfinite(array))
    if bad.size:
        k, i = bad[0]
        raise ValueError(f"{name} must be finite: curve {k} point {i} is {float(array[k, i])!r}")
    return array


# Data of a fit as arrays: positions (mm) and transmittance (D, n), energies (D,).
def _data(positions, transmittance, pulse_energy, sigma):
    energies = np.array(pulse_energy, dtype=np.float64).ravel()
    if energies.size == 0:
        raise ValueError("pulse_energy needs at least one value (one per curve)")
    y = np.array(transmittance, dtype=np.float64)
    y = y[None, :] if y.ndim == 1 else y
    if y.ndim != 2 or y.shape[0] != energies.size:
        raise ValueError(f"transmittance must have one row per pulse energy ({energies.size}), "
                         f"got shape {np.shape(transmittance)}")
    shape = y.shape
    y = _curves_array("transmittance", y, shape)
    x = np.array(positions, dtype=np.float64)
    if x.ndim == 1 and x.size == shape[1]:
        x = np.tile(x, (shape[0], 1))
    x = _curves_array("positions", x, shape)
    for k, energy in enumerate(energies):
        if not (math.isfinite(energy) and energy > 0.0):
            raise ValueError(f"pulse_energy of curve {k} must be positive (J), got {float(energy)!r}")
    if sigma is not None:
        sigma = _curves_array("sigma", sigma, shape)
        if np.any(sigma <= 0.0):
            k, i = np.argwhere(sigma <= 0.0)[0]
            raise ValueError(f"sigma must be positive: curve {k} point {i} is {float(sigma[k, i])!r}")
    return x, y, energies, sigma


# The grid's counts checked against their ranges (tarvo.counts) before any work.
def check_grid_counts(model, grid):
    for key in ("t_slices", "z_slices") + (("radial_points",) if model == "energy" else ()):
        check_count(key, grid[key])


# A focus given by the caller must lie within the scanned positions: outside
# them the model hardly changes with the parameters, and a fit "converges" to
# meaningless values (a focus typed in µm instead of mm, say).
def check_focus_in_scan(focus, x, given):
    low, high = float(np.min(x)), float(np.max(x))
    if given and not low <= focus <= high:
        raise ValueError(f"focus: start value {focus:g} mm lies outside the scanned range "
                         f"{low:g} to {high:g} mm (positions and focus are in mm)")


# Fit Z-scan curves on the exact engine.
def fit(positions, transmittance, pulse_energy, params, *, populations, sample_width, tau,
        wavelength, w0, M2, model="established", t_slices=None, z_slices=None,
        radial_points=None, sigma=None, is_sa=False, vary=None, n_starts=1, scale_covar=None,
        ftol=TOLERANCE, xtol=TOLERANCE, gtol=TOLERANCE, max_nfev=None):
    """Least-squares fit of Z-scan curves on the exact engine.

    positions     scan positions in mm (stage coordinates as measured): one row
                  per curve, or one row for all
    transmittance measured normalised transmittance, one row per curve
    pulse_energy  pulse energy of each curve in J
    params        tarvo.Parameters (or lmfit.Parameters, or any mapping name ->
                  object with value, vary, min, max) of the eight parameters
                  and optionally "focus" (mm; value None: the extreme of the
                  data); or the eight values as a sequence or name -> value
                  mapping, with `vary` naming the fitted ones
    populations, sample_width, tau, wavelength, w0, M2: the set-up, as for
                  tarvo.simulate
    model         "established" (fit_zscan's model) or "energy" (pulse-energy
                  ratio over the beam cross-section, see tarvo.simulate)
    t_slices, z_slices, radial_points: grid; None takes the model's defaults
    sigma         uncertainty of each measured value (same shape as
                  transmittance): weights 1/sigma^2 and a chi^2 in units of
                  sigma; None: the weights of fit_zscan, 1 + 4 exp(-4 s^2) with
                  s the centred position in m
    is_sa         saturable absorber: the scan is centred on the maximum of
                  the data instead of the minimum (as fit_zscan does)
    n_starts      1: start at the given values; more: also at the values scaled
                  by fit_zscan's factors (0.302 ... 3.31), the best start wins
    scale_covar   scale the covariance by the reduced chi^2 (default: True
                  without sigma, False with sigma)
    ftol, xtol, gtol, max_nfev: least-squares settings (scipy.optimize.least_squares)

    Returns a tarvo.FitResult. A fit that stops without converging returns
    its last values with success False and a message saying so.
    """
    from scipy.optimize import least_squares  # noqa: F401  (loaded before the clock starts)

    from .results import build_result

    began = time.perf_counter()
    check_model(model)
    grid = grid_settings(model, t_slices, z_slices, radial_points)
    check_grid_counts(model, grid)
    x, y, energies, sigma = _data(positions, transmittance, pulse_energy, sigma)
    n_starts = check_count("n_starts", n_starts)
    resolved = resolve_parameters(params, vary)
    if x.size <= len(resolved.varied):
        raise ValueError(f"{x.size} data points for {len(resolved.varied)} fitted parameters; a "
                         "fit needs more points than parameters")
    setup = dict(populations=np.array(populations, dtype=np.float64).ravel(),
                 sample_width=sample_width, tau=tau, wavelength=wavelength, w0=w0, M2=M2)
    centre = scan_centre(x, y, is_sa)
    if sigma is None:
        root_weights = np.sqrt(point_weights(x - centre))
    else:
        root_weights = 1.0 / sigma
    problem = ZscanProblem(x, y, energies, setup, model, grid, root_weights, resolved, centre)
    check_focus_in_scan(problem.focus_start, x, resolved.focus is not None)
    focus_low, focus_high = resolved.bounds.get(FOCUS, (-math.inf, math.inf))
    if FOCUS in problem.names and not focus_low <= problem.focus_start <= focus_high:
        raise ValueError(f"focus: start value {problem.focus_start!r} mm lies outside its bounds "
                         f"[{focus_low!r}, {focus_high!r}]")
    n = len(problem.names)
    max_nfev = EVALUATIONS_PER_PARAMETER * (n + 1) if max_nfev is None else int(max_nfev)
    free = np.ones(n, dtype=bool)
    factors = [1.0] if n_starts == 1 else start_multipliers(n_starts)
    starts = []
    for factor in factors:
        u0 = np.where(problem.is_log, math.log(factor), 0.0)
        u, solution = problem.solve(u0, free, ftol, xtol, gtol, max_nfev)
        starts.append((factor, u, solution))
    best = min(starts, key=lambda s: (not np.isfinite(s[2].cost), s[2].cost))
    scale_covar = sigma is None if scale_covar is None else bool(scale_covar)
    return build_result(problem, resolved, params, best, starts, sigma=sigma, is_sa=is_sa,
                        scale_covar=scale_covar, tolerances=(ftol, xtol, gtol, max_nfev),
                        seconds=time.perf_counter() - began)
