"""The multi-start procedure of fit_zscan: centring, start multipliers, the
choice of the best start, the IndexErrors of the set-up and NumPy's own
errors. Exact checks use a flat model (all cross-sections 0: transmittance
exactly 1.0, so no start can move its parameters and every start ties), and
the native single-start fit and the SciPy reference as oracles of real fits."""

import math
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvo_wrapper
import zscan_reference as ref
from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, curves_x
from tarvo import _native
from test_fit_zscan_binding import FLAT_PARS, flat_arguments


def multipliers(n_starts):
    """The start factors, from the one definition the module and the toolkit share."""
    return _native.start_multipliers(n_starts)


def as_bytes(result):
    residuals, error, pars = result
    return np.asarray(residuals).tobytes(), np.float64(error).tobytes(), np.asarray(pars).tobytes()


# --- multipliers ---------------------------------------------------------------

@pytest.mark.parametrize("n_starts, approximately", [
    (1, [0.3019952]), (2, [0.3019952, 3.3113112]), (3, [0.3019952, 1.0, 3.3113112]),
    (5, [0.3019952, 0.5495409, 1.0, 1.8197009, 3.3113112])])
def test_the_documented_start_factors(n_starts, approximately):
    factors = multipliers(n_starts)
    assert factors == pytest.approx(approximately, rel=1e-7)
    if n_starts % 2 == 1 and n_starts > 1:
        assert factors[n_starts // 2] == 1.0
    # The formula as documented, 10^((k * 1.04) / max(n - 1, 1) - 0.52).
    divisor = float(max(n_starts - 1, 1))
    assert factors == [math.pow(10.0, (float(k) * _native.START_EXPONENT_SPAN) / divisor
                                - _native.START_EXPONENT_OFFSET) for k in range(n_starts)]


@pytest.mark.parametrize("n_starts", [1, 2, 3, 5, 2.9, 8])
def test_tied_starts_return_the_first_start_scaled_by_the_lowest_factor(n_starts):
    args = flat_arguments(fit_indices=(3, 5))
    residuals, error, pars = tarvo_wrapper.fit_zscan(**args, n_starts=n_starts)
    m0 = multipliers(int(n_starts))[0]
    expected = list(FLAT_PARS)
    expected[3] = m0 * FLAT_PARS[3]
    expected[5] = m0 * FLAT_PARS[5]
    assert pars.tolist() == expected
    assert residuals.tolist() == (args["y_data"] - 1.0).tolist()


def test_a_repeated_fit_index_is_scaled_once():
    _, _, pars = tarvo_wrapper.fit_zscan(**flat_arguments(fit_indices=(4, 4, 4)))
    assert pars[4] == multipliers(3)[0] * FLAT_PARS[4]
    assert pars[[0, 1, 2, 3, 5, 6, 7]].tolist() == [FLAT_PARS[i] for i in (0, 1, 2, 3, 5, 6, 7)]


def test_nan_errors_keep_the_first_start():
    args = flat_arguments()
    args["y_data"][2] = np.nan
    residuals, error, pars = tarvo_wrapper.fit_zscan(**args, n_starts=4)
    assert math.isnan(error) and math.isnan(residuals[2])
    assert pars[3] == multipliers(4)[0] * FLAT_PARS[3]


# --- centring ------------------------------------------------------------------

def flat_error(x, y, center):
    """The fit error of the flat model when positions are centred on `center`."""
    weights = [math.sqrt(ref.point_weight((float(v) - center) * 0.001)) for v in x]
    return ref.enorm([w * (float(v) - 1.0) for w, v in zip(weights, y)])


# Positions of metres in size, so the centring shows in the position weights.
WIDE_X = np.array([-900.0, -300.0, 0.0, 400.0, 800.0, -800.0, -200.0, 100.0, 500.0, 900.0])
CENTRING_CASES = {
    "minimum in the second curve": (False, [1.0, 0.99, 0.95, 0.99, 1.0, 1.0, 0.97, 0.9, 0.98, 1.0],
                                    7),
    "maximum in the first curve": (True, [1.0, 1.2, 1.05, 1.01, 1.0, 1.0, 1.1, 1.02, 1.01, 1.0],
                                   1),
    "first of equal minima": (False, [1.0, 0.9, 0.95, 0.9, 1.0, 1.0, 0.9, 0.95, 0.98, 1.0], 1),
    "first of equal maxima": (True, [1.0, 1.0, 1.05, 1.0, 1.0, 1.05, 1.0, 1.05, 1.0, 1.0], 2),
}


@pytest.mark.parametrize("is_sa, y, center_index", CENTRING_CASES.values(), ids=CENTRING_CASES)
def test_positions_are_centred_on_the_first_extreme_of_all_curves(is_sa, y, center_index):
    args = flat_arguments(num_x_pts=5, num_datasets=2, y=y)
    args["x_data"] = WIDE_X.copy()
    _, error, _ = tarvo_wrapper.fit_zscan(**args, is_sa=is_sa)
    assert error == flat_error(WIDE_X, y, WIDE_X[center_index])
    other = [i for i in range(10) if i != center_index]
    assert all(error != flat_error(WIDE_X, y, WIDE_X[i]) for i in other)


# --- set-up errors -------------------------------------------------------------

def out_of_bounds(axis):
    return f"^Out of bounds on buffer access \\(axis {axis}\\)$"


EMPTY = np.zeros(0)
NO_INDICES = np.zeros(0, dtype=np.int32)
INDEX_CASES = {
    "no starts": (dict(n_starts=0), 0),
    "no starts and broken sizes": (dict(n_starts=0, t_slices=1, populations=np.ones(2)), 0),
    "no fit indices": (dict(fit_indices=NO_INDICES), 0),
    "no populations": (dict(populations=EMPTY), 0),
    "no pulse energies": (dict(pulse_energy=EMPTY), 0),
    "no spec_pars": (dict(spec_pars=EMPTY, fit_indices=NO_INDICES), 1),
    "fit index beyond spec_pars": (dict(spec_pars=np.ones(3), fit_indices=np.array([5], np.int32)),
                                   0),
    "x_data shorter than the minimum's index": (dict(x_data=np.zeros(2)), 0),
    "populations reported before spec_pars": (dict(populations=EMPTY, spec_pars=EMPTY,
                                                   fit_indices=NO_INDICES), 0),
    "spec_pars reported before fit indices": (dict(pulse_energy=np.ones(1), spec_pars=EMPTY,
                                                   fit_indices=NO_INDICES), 1),
}


@pytest.mark.parametrize("changes, axis", INDEX_CASES.values(), ids=INDEX_CASES)
def test_missing_elements_raise_index_errors_before_any_fit(changes, axis):
    args = flat_arguments(y=[1.0, 1.0, 1.0, 0.5, 1.0])  # minimum at index 3
    args.update(changes)
    with pytest.raises(IndexError, match=out_of_bounds(axis)):
        tarvo_wrapper.fit_zscan(**args)


def test_x_data_long_enough_for_the_extreme_reaches_the_size_check():
    args = flat_arguments(y=[1.0, 0.5, 1.0, 1.0, 1.0])
    args["x_data"] = np.zeros(2)
    with pytest.raises(ValueError, match="^x_data has 2 values but y_data has 5$"):
        tarvo_wrapper.fit_zscan(**args)


@pytest.mark.parametrize("is_sa, reduction", [(False, np.argmin), (True, np.argmax)])
def test_empty_y_data_raises_numpys_error(is_sa, reduction):
    with pytest.raises(ValueError) as numpy_error:
        reduction(np.zeros(0))
    args = flat_arguments()
    args.update(x_data=np.zeros(0), y_data=np.zeros(0))
    with pytest.raises(ValueError) as info:
        tarvo_wrapper.fit_zscan(**args, is_sa=is_sa)
    assert str(info.value) == str(numpy_error.value)


@pytest.mark.parametrize("n_starts", [-1, -2**31])
def test_a_negative_number_of_starts_raises_numpys_error(n_starts):
    with pytest.raises(ValueError) as numpy_error:
        np.zeros((n_starts, 8))
    with pytest.raises(ValueError) as info:
        tarvo_wrapper.fit_zscan(**flat_arguments(), n_starts=n_starts)
    assert str(info.value) == str(numpy_error.value)


# --- real fits against single-start oracles ----------------------------------------

def measured(pars, energies, num_x_pts, seed, is_sa=False):
    """Model curves plus seeded noise, on positions offset from the focus."""
    x = curves_x(num_x_pts, len(energies)) + 1.5
    y = np.array(_native.model_curves(x - 1.5, POPULATIONS, 2, 2, BEAM["sample_width"],
                                      BEAM["tau"], BEAM["wavelength"], BEAM["w0"], BEAM["M2"],
                                      energies, pars, num_x_pts, len(energies)))
    y += 0.004 * np.random.default_rng(seed).standard_normal(y.size)
    return x, y


def real_case(pars, energies, num_x_pts, fit_indices, start_scale, seed=3):
    x, y = measured(pars, energies, num_x_pts, seed)
    start = np.array(pars)
    start[list(fit_indices)] *= start_scale
    return dict(x_data=x, y_data=y, populations=np.array(POPULATIONS), t_slices=2, z_slices=2,
                sample_width=BEAM["sample_width"], tau=BEAM["tau"],
                wavelength=BEAM["wavelength"], w0=BEAM["w0"], M2=BEAM["M2"],
                pulse_energy=np.array(energies), spec_pars=start,
                fit_indices=np.array(fit_indices, dtype=np.int32), num_x_pts=num_x_pts,
                num_datasets=len(energies))


def best_of_single_starts(args, n_starts, is_sa):
    """Each start fitted on its own by the native entry; the strictly smallest error wins."""
    y = args["y_data"]
    center = args["x_data"][int(np.argmax(y) if is_sa else np.argmin(y))]
    centered = list(args["x_data"] - center)
    best, best_k = None, None
    for k, m in enumerate(multipliers(n_starts)):
        start = list(args["spec_pars"])
        for i in args["fit_indices"]:
            start[i] = m * args["spec_pars"][i]
        result = _native.fit_core(centered, list(y), list(args["populations"]), 2, 2,
                                  args["sample_width"], args["tau"], args["wavelength"],
                                  args["w0"], args["M2"], list(args["pulse_energy"]), start,
                                  [int(i) + 1 for i in args["fit_indices"]], args["num_x_pts"],
                                  args["num_datasets"])
        if best is None or result[1] < best[1]:
            best, best_k = result[:3], k
    return best, best_k


REAL_CASES = {
    # The starting value sits near the truth divided by a factor, so later starts win.
    "rsa sigma_2 from far below": (RSA_PARS, [1e-5], 5, (1,), 1 / 3.0, False),
    "rsa sigma_2 and sigma_4, two curves": (RSA_PARS, [5e-6, 2e-5], 5, (1, 2), 0.9, False),
    "sa sigma_1": (SA_PARS, [5e-6, 2e-5], 5, (0,), 3.0, True),
}


@pytest.mark.parametrize("n_starts", [1, 2, 3, 5, 2.9])
@pytest.mark.parametrize("pars, energies, num_x_pts, fit_indices, scale, is_sa",
                         REAL_CASES.values(), ids=REAL_CASES)
def test_the_best_start_equals_the_best_single_start_fit(pars, energies, num_x_pts, fit_indices,
                                                         scale, is_sa, n_starts):
    args = real_case(pars, energies, num_x_pts, fit_indices, scale)
    expected, _ = best_of_single_starts(args, int(n_starts), is_sa)
    got = tarvo_wrapper.fit_zscan(**args, is_sa=is_sa, n_starts=n_starts)
    assert as_bytes(got) == as_bytes(expected)


def test_the_oracle_cases_exercise_later_starts():
    args = real_case(*list(REAL_CASES.values())[0][:5])
    _, best_k = best_of_single_starts(args, 5, False)
    assert best_k > 0


@pytest.mark.parametrize("pars, energies, fit_indices, scale, is_sa", [
    (RSA_PARS, [1e-5], (1,), 1 / 3.0, False),
    (SA_PARS, [5e-6, 2e-5], (0, 1), 2.0, True),
], ids=["rsa", "sa"])
def test_a_multi_start_fit_equals_the_scipy_reference(pars, energies, fit_indices, scale, is_sa):
    args = real_case(pars, energies, 5, fit_indices, scale)
    got = tarvo_wrapper.fit_zscan(**args, is_sa=is_sa, n_starts=2)
    values = list(args.values())
    values[12] = [int(i) for i in args["fit_indices"]]
    expected = ref.fit_zscan(*values, is_sa=is_sa, n_starts=2)
    assert as_bytes(got) == as_bytes(expected)


# --- interruption --------------------------------------------------------------------

HANDLER_RAISES = textwrap.dedent("""
    import os, signal, sys, threading
    sys.path[:0] = {path!r}
    import numpy as np
    import tarvo_wrapper
    from test_multistart import real_case
    from model_cases import RSA_PARS

    def handler(signum, frame):
        raise LookupError("raised by the handler")

    signal.signal(signal.SIGUSR1, handler)
    # Minutes of work, stopped by the signal long before the end.
    long = real_case(RSA_PARS, [5e-6, 1e-5, 2e-5], 41, (1, 2, 4), 1.4)
    long.update(t_slices=20, z_slices=10)
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGUSR1)).start()
    try:
        tarvo_wrapper.fit_zscan(**long)
        print("completed")
    except LookupError as error:
        print("raised", error)
    small = real_case(RSA_PARS, [1e-5], 5, (1,), 1.0)
    print("next call", tarvo_wrapper.fit_zscan(**small, n_starts=1)[2].shape)
""")


@pytest.mark.skipif(not hasattr(signal, "SIGUSR1"), reason="needs SIGUSR1")
def test_an_exception_from_a_signal_handler_stops_the_fit_and_is_raised():
    code = HANDLER_RAISES.format(path=sys.path)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=600, env=dict(os.environ, OMP_NUM_THREADS="1"))
    lines = out.stdout.splitlines()
    assert "raised raised by the handler" in lines, (out.stdout, out.stderr)
    assert "next call (8,)" in lines


# --- the toolkit's multi-start fit ------------------------------------------------------

def toolkit_fit(args, **options):
    """The same fit through tarvo._native.fit (plain lists, 0-based indices)."""
    values = [list(v) if isinstance(v, np.ndarray) else v for v in args.values()]
    values[12] = [int(i) for i in args["fit_indices"]]
    return _native.fit(*values, **options)


@pytest.mark.parametrize("n_starts", [1, 3])
@pytest.mark.parametrize("pars, energies, num_x_pts, fit_indices, scale, is_sa",
                         REAL_CASES.values(), ids=REAL_CASES)
def test_the_toolkit_fit_equals_fit_zscan_bit_for_bit(pars, energies, num_x_pts, fit_indices,
                                                       scale, is_sa, n_starts):
    args = real_case(pars, energies, num_x_pts, fit_indices, scale)
    expected = tarvo_wrapper.fit_zscan(**args, is_sa=is_sa, n_starts=n_starts)
    residuals, error, fitted, summaries = toolkit_fit(args, is_sa=is_sa, n_starts=n_starts)
    assert as_bytes((residuals, error, fitted)) == as_bytes(expected)
    # One summary per start; each start's evaluations are those of its own single-start fit.
    assert [s["status"] for s in summaries] == ["ok"] * n_starts
    y = args["y_data"]
    centred = args["x_data"] - args["x_data"][int(np.argmax(y) if is_sa else np.argmin(y))]
    for k, m in enumerate(multipliers(n_starts)):
        start = list(args["spec_pars"])
        for i in fit_indices:
            start[i] = m * args["spec_pars"][i]
        single = _native.fit_core(list(centred), list(args["y_data"]), list(args["populations"]),
                                  2, 2, args["sample_width"], args["tau"], args["wavelength"],
                                  args["w0"], args["M2"], list(args["pulse_energy"]), start,
                                  [i + 1 for i in fit_indices], num_x_pts, len(energies))
        assert summaries[k]["evaluations"] == single[3]
        assert 1 <= summaries[k]["info"] <= 7
        assert set(summaries[k]["failures"]) == set(_native.SOLVER_FAILURE_KINDS)


@pytest.mark.parametrize("change, message", [
    (dict(n_starts=0), "n_starts must be at least 1, got 0"),
    (dict(fit_indices=[0, 8]), "fit_indices[1]=8 out of range [0,7]"),
    (dict(fit_indices=[]), "fit_indices must name at least one parameter"),
    (dict(num_x_pts=4), "num_x_pts must be at least 5, got 4"),
])
def test_the_toolkit_fit_refuses_what_it_cannot_fit(change, message):
    args = real_case(RSA_PARS, [1e-5], 5, (1,), 1.0)
    options = {k: change.pop(k) for k in ("n_starts",) if k in change}
    args.update(change)
    with pytest.raises(ValueError) as info:
        toolkit_fit(args, **options)
    assert str(info.value) == message
