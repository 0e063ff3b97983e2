"""The exact engine's handle (tarvo._native.ExactModel, tarvo.engine.ModelHandle):
built once, evaluated for new parameters and focus, it must give the bits of a
model built at the shifted positions; raw and shifted curves; concurrent use;
its refusals. And the rate scheme: the LSODA engine's right-hand side and the
exact engine's rate matrix, against each other and against the scheme written
out here."""

import threading

import numpy as np
import pytest

from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, positions
from tarvo import _native
from tarvo.engine import FOCUS_SHIFT, ModelHandle, model_and_jacobian
from tarvo.model_setup import Setup

pytestmark = pytest.mark.skipif(not hasattr(_native, "ExactModel"),
                                reason="this build has no exact engine")

ENERGIES = [5e-6, 2e-5]
# The set-up of model_cases as the toolkit's handle takes it.
SETUP = Setup.of(POPULATIONS, **BEAM)
GRIDS = {"established": dict(t_slices=6, z_slices=3),
         "energy": dict(t_slices=6, z_slices=2, radial_points=3, intensity_points=6)}


def stage_positions(num_x_pts=11):
    x = positions(num_x_pts) + 3.0  # stage coordinates: the focus is not at 0
    return np.vstack([x, x[::-1] * 0.9])


def native(variant, x, **extra):
    return _native.ExactModel(x, ENERGIES, POPULATIONS, **BEAM, **GRIDS[variant],
                              variant=variant, **extra)


def rebuilt(variant, x, pars, derivatives=(), normalise=True):
    return _native.exact_model(x, ENERGIES, POPULATIONS, pars, **BEAM, **GRIDS[variant],
                               variant=variant, derivatives=derivatives, normalise=normalise)


def same_bits(a, b):
    return all((u is None and v is None) or np.array_equal(u, v) for u, v in zip(a, b))


@pytest.mark.parametrize("variant", ["established", "energy"])
def test_a_moved_focus_gives_the_bits_of_a_model_built_at_the_shifted_positions(variant):
    x = stage_positions()
    handle = native(variant, x)
    # Back and forth, repeated, and a jump: tables refilled for every new focus.
    for focus, pars, derivatives in [(0.0, RSA_PARS, ()), (3.0, RSA_PARS, (1, FOCUS_SHIFT)),
                                     (2.75, SA_PARS, (FOCUS_SHIFT, 0, 4)), (3.0, SA_PARS, ()),
                                     (3.0, RSA_PARS, (2,)), (-11.5, RSA_PARS, (FOCUS_SHIFT,))]:
        got = handle.evaluate(pars, focus, derivatives)
        assert same_bits(got, rebuilt(variant, x - focus, pars, derivatives)), (focus, pars)
        assert handle.focus == focus


@pytest.mark.parametrize("variant", ["established", "energy"])
def test_raw_curves_shift_to_the_normalised_ones_by_their_baselines(variant):
    x = stage_positions()
    handle = native(variant, x)
    raw, raw_jacobian = handle.evaluate(RSA_PARS, 3.0, (1, FOCUS_SHIFT), normalise=False)
    shifted, jacobian = handle.evaluate(RSA_PARS, 3.0, (1, FOCUS_SHIFT))
    assert same_bits((raw, raw_jacobian), rebuilt(variant, x - 3.0, RSA_PARS, (1, FOCUS_SHIFT),
                                                  normalise=False))
    # The shift: the mean of the five first and five last points becomes 1.
    ends = lambda a: (a[:, :5, :].sum(axis=1) + a[:, -5:, :].sum(axis=1)) / 10.0  # noqa: E731
    baseline = (raw[:, :5].sum(axis=1) + raw[:, -5:].sum(axis=1)) / 10.0
    np.testing.assert_allclose(shifted, raw + (1.0 - baseline)[:, None], rtol=0, atol=1e-15)
    scale = np.abs(raw_jacobian).max(axis=(0, 1))
    error = np.abs(jacobian - (raw_jacobian - ends(raw_jacobian)[:, None, :]))
    assert np.all(error <= 1e-12 * scale), error.max(axis=(0, 1)) / scale
    assert not np.allclose(raw, shifted)


def test_the_toolkit_handle_evaluates_like_model_and_jacobian():
    x = stage_positions()
    handle = ModelHandle(x, ENERGIES, SETUP, **GRIDS["established"])
    assert handle.shape == x.shape
    for focus in (0.5, -1.25):
        got = handle.curves(RSA_PARS, focus, (0, FOCUS_SHIFT))
        want = model_and_jacobian(x - focus, ENERGIES, SETUP, RSA_PARS,
                                  **GRIDS["established"], derivatives=(0, FOCUS_SHIFT))
        assert same_bits(got, want)


def test_a_pickled_or_copied_handle_is_built_again_and_evaluates_the_same():
    import copy
    import pickle

    x = stage_positions()
    handle = ModelHandle(x, ENERGIES, SETUP, **GRIDS["established"])
    want = handle.curves(RSA_PARS, 0.5, (1,))
    for other in (pickle.loads(pickle.dumps(handle)), copy.deepcopy(handle)):
        assert other._native is not handle._native
        assert same_bits(other.curves(RSA_PARS, 0.5, (1,)), want)


def test_raw_energy_curves_may_be_shorter_than_the_baseline_needs():
    x = np.array([[-1.0, 0.0, 1.0]])
    handle = _native.ExactModel(x, [1e-5], POPULATIONS, **BEAM, **GRIDS["energy"],
                                variant="energy", normalise=False)
    curves, _ = handle.evaluate(RSA_PARS)
    assert curves.shape == (1, 3) and np.all((curves > 0.0) & (curves < 1.0))
    with pytest.raises(ValueError, match="normalised curves need at least 5 positions per "
                                         "curve, this model has 3"):
        handle.evaluate(RSA_PARS, normalise=True)


def test_evaluations_from_several_threads_at_once_give_the_serial_results():
    x = stage_positions(41)
    handle = native("established", x)
    jobs = [(RSA_PARS, 0.1 * k, (1, FOCUS_SHIFT)) for k in range(8)]
    serial = [rebuilt("established", x - focus, pars, d) for pars, focus, d in jobs]
    results = [None] * len(jobs)

    def work(k):
        results[k] = handle.evaluate(*jobs[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(same_bits(r, s) for r, s in zip(results, serial))


@pytest.mark.parametrize("call, error, message", [
    (lambda h: h.evaluate(RSA_PARS, float("nan")), ValueError,
     "focus must be a finite number \\(mm\\), got nan"),
    (lambda h: h.evaluate(RSA_PARS[:7]), ValueError,
     "spec_pars must have shape \\(8,\\), got shape \\(7,\\)"),
    (lambda h: h.evaluate(RSA_PARS, 0.0, (1, 1)), ValueError,
     "derivatives must be distinct, 1 appears twice"),
    (lambda h: h.evaluate(RSA_PARS, 0.0, (9,)), ValueError,
     "derivatives must be indices 0..7 \\(parameters\\) or 8 \\(focus shift\\), got 9"),
    (lambda h: h.evaluate(RSA_PARS, 0.0, (2**40,)), ValueError, "derivatives must be indices"),
    (lambda h: h.evaluate(RSA_PARS, 0.0, "ab"), TypeError, "cannot be interpreted as an integer"),
    (lambda h: h.evaluate([0.0] * 3 + [-1.0] + [1e-9] * 4), ValueError,
     "time constant tau_21 must be positive and finite, got -1"),
])
def test_bad_evaluations_are_refused_with_a_clear_message(call, error, message):
    handle = native("established", stage_positions())
    with pytest.raises(error, match=message):
        call(handle)
    # The handle is still good afterwards.
    assert same_bits(handle.evaluate(RSA_PARS, 1.0), rebuilt("established",
                                                             stage_positions() - 1.0, RSA_PARS))


def test_the_handle_says_what_it_was_built_for():
    handle = native("energy", stage_positions())
    assert (handle.shape, handle.variant) == ((2, 11), "energy")
    assert handle.grid == dict(GRIDS["energy"], z_slices=2)
    with pytest.raises(ValueError, match="variant must be 'established' or 'energy', got 'x'"):
        _native.ExactModel(stage_positions(), ENERGIES, POPULATIONS, **BEAM, t_slices=6,
                           z_slices=3, variant="x")
    with pytest.raises(TypeError, match="ExactModel\\(\\) missing required keyword argument 'w0'"):
        _native.ExactModel(stage_positions(), ENERGIES, POPULATIONS, t_slices=6, z_slices=3,
                           sample_width=0.1, tau=4e-9, wavelength=532e-9, M2=1.2)


# The settings without a default, read for exact_model and the handle by one
# reader of their arguments.
REQUIRED = ["t_slices", "z_slices", "sample_width", "tau", "wavelength", "w0", "M2"]


def call_binding(function, without=None, **extra):
    """exact_model or ExactModel on the established grid, one setting left out."""
    setup = {name: value for name, value in dict(BEAM, **GRIDS["established"], **extra).items()
             if name != without}
    if function == "ExactModel":
        return _native.ExactModel(stage_positions(), ENERGIES, POPULATIONS, **setup)
    return _native.exact_model(stage_positions(), ENERGIES, POPULATIONS, RSA_PARS, **setup)


@pytest.mark.parametrize("function", ["exact_model", "ExactModel"])
@pytest.mark.parametrize("missing", REQUIRED)
def test_both_exact_bindings_name_a_missing_setting(function, missing):
    with pytest.raises(TypeError, match=rf"^{function}\(\) missing required keyword argument "
                                        rf"'{missing}'$"):
        call_binding(function, without=missing)


@pytest.mark.parametrize("keyword, value", [("spec_pars", RSA_PARS), ("derivatives", (0,))])
def test_the_handle_refuses_what_only_exact_model_takes(keyword, value):
    with pytest.raises(TypeError, match=rf"^ExactModel\(\) got an unexpected keyword argument "
                                        rf"'{keyword}'$"):
        call_binding("ExactModel", **{keyword: value})


@pytest.mark.parametrize("model, grid, message", [
    ("established", dict(t_slices=10**10, z_slices=3),
     "t_slices = 10000000000 is more than 1000"),
    ("established", dict(t_slices=4, z_slices=2**31), "z_slices = 2147483648 is more than 1000"),
    ("energy", dict(radial_points=10**10), "radial_points must lie between 1 and 64, got 10000000000"),
    ("energy", dict(t_slices=4, z_slices=3, radial_points=65),
     "radial_points must lie between 1 and 64, got 65"),
    ("established", dict(t_slices=4, z_slices=3, radial_points=5),
     "radial_points applies to the energy model only"),
])
def test_grids_beyond_the_engines_limits_are_refused_before_any_work(model, grid, message):
    with pytest.raises(ValueError, match=message):
        ModelHandle(stage_positions(), ENERGIES, SETUP, model=model, **grid)


# --- the rate scheme, as each engine writes it ----------------------------------

OPTICAL_FREQUENCY = 299792458.0 / 532e-9
PHOTONS_PER_JOULE = 1.5091901796421518e33 / OPTICAL_FREQUENCY


def written_out_rates(p, state):
    """dN/dt of the five-level scheme, written from its diagram: absorption
    1->2, 2->3, 4->5; decays 2->1, 2->4, 3->2, 4->1, 5->4."""
    s1, s2, s4, t21, t24, t32, t41, t54 = p
    n1, n2, n3, n4, n5, intensity = state
    phi = PHOTONS_PER_JOULE * intensity
    return np.array([
        -s1 * phi * n1 + n2 / t21 + n4 / t41,
        s1 * phi * n1 - s2 * phi * n2 - n2 / t21 - n2 / t24 + n3 / t32,
        s2 * phi * n2 - n3 / t32,
        -s4 * phi * n4 + n2 / t24 - n4 / t41 + n5 / t54,
        s4 * phi * n4 - n5 / t54,
    ])


@pytest.mark.parametrize("seed", range(6))
def test_both_engines_write_the_same_rate_scheme(seed):
    rng = np.random.default_rng(seed)
    p = np.concatenate([10.0 ** rng.uniform(-19, -16, 3), 10.0 ** rng.uniform(-13, -6, 5)])
    state = np.concatenate([10.0 ** rng.uniform(14, 18, 5), [10.0 ** rng.uniform(5, 11)]])
    rates, matrix = _native.rate_scheme_terms(p, OPTICAL_FREQUENCY, state)
    matrix = np.array(matrix).reshape(5, 5)
    reference = written_out_rates(p, state)
    scale = np.abs(matrix) @ np.abs(state[:5])
    np.testing.assert_allclose(rates, reference, rtol=0, atol=1e-13 * scale.max())
    np.testing.assert_allclose(matrix @ state[:5], rates, rtol=0, atol=1e-13 * scale.max())
    # What leaves a level arrives at another: every column sums to zero.
    np.testing.assert_allclose(matrix.sum(axis=0), 0.0, atol=1e-14 * np.abs(matrix).max())


def test_the_rate_matrix_has_one_entry_pair_per_transition_and_no_other():
    p = [1e-18, 2e-18, 3e-18, 1e-9, 2e-9, 3e-9, 4e-9, 5e-9]
    _, matrix = _native.rate_scheme_terms(p, OPTICAL_FREQUENCY, [1, 1, 1, 1, 1, 1e9])
    matrix = np.array(matrix).reshape(5, 5)
    off_diagonal = {(to, frm) for to in range(5) for frm in range(5)
                    if to != frm and matrix[to, frm] != 0.0}
    assert off_diagonal == {(1, 0), (2, 1), (4, 3), (0, 1), (3, 1), (1, 2), (0, 3), (3, 4)}
    assert (_native.CROSS_SECTIONS, _native.PARAMETER_NAMES) == (
        3, ("sigma_1", "sigma_2", "sigma_4", "tau_21", "tau_24", "tau_32", "tau_41", "tau_54"))
