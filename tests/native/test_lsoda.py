"""The reentrant LSODA against SciPy's odeint (the Fortran LSODA): model
steps and classic problems must agree to the bit, statistics included."""

import math
import threading

import pytest

from odeint_reference import odeint_intensity_step, odeint_population_step, odeint_solve
from tarvo import _native

OPTICAL_FREQUENCY = 299792458.0 / 532e-9
# sigma_1, sigma_2, sigma_4 (cm^2); tau 2->1, 2->4, 3->2, 4->1, 5->4 (s).
REALISTIC = (4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12)
GROUND = [6e17, 0.0, 0.0, 0.0, 0.0]
EXCITED = [3e17, 2e17, 1e15, 9e16, 1e14]
# Time steps of a 10-slice pulse of 4 ns and of 30 ps; depth step of 10 slices of 1 mm.
DT_NS = 4e-9 * (1.0 / 9)
DT_PS = 30e-12 * (1.0 / 9)
DZ = 0.1 / 9


def with_parameter(index, value):
    """REALISTIC with one entry replaced."""
    params = list(REALISTIC)
    params[index] = value
    return params


def same_doubles(a, b):
    """Equal to the bit, NaN matching NaN and the sign of zero counted."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or (x == y and math.copysign(1, x) == math.copysign(1, y))
        for x, y in zip(a, b))


def assert_matches_oracle(native, oracle):
    """Final state to the bit; ISTATE, NST, NFE, NJE, NQU, MUSED equal."""
    assert same_doubles(native[0], oracle[0]), (native, oracle)
    assert tuple(native[1:]) == tuple(oracle[1:]), (native, oracle)


POPULATION_CASES = {
    "ns_1e8": (REALISTIC, GROUND + [1e8], DT_NS),
    "ns_3e8": (REALISTIC, GROUND + [3e8], DT_NS),
    "ns_1e9": (REALISTIC, GROUND + [1e9], DT_NS),
    "ps_1e8": (REALISTIC, GROUND + [1e8], DT_PS),
    "ps_1e9": (REALISTIC, GROUND + [1e9], DT_PS),
    "excited_5e8": (REALISTIC, EXCITED + [5e8], DT_NS),
    "excited_dark": (REALISTIC, EXCITED + [0.0], DT_NS),
    "ground_dark": (REALISTIC, GROUND + [0.0], DT_NS),
    "empty": (REALISTIC, [0.0] * 5 + [1e9], DT_NS),
    "zero_entries": (REALISTIC, [6e17, 0.0, 3e15, 0.0, 2e12, 7e8], DT_NS),
    "intense_1e12": (REALISTIC, GROUND + [1e12], DT_NS),
    "long_step": (REALISTIC, GROUND + [5e8], 1e-3),
    "switch_back_to_adams": ([1.6e-19, 8.8e-17, 1.6e-18, 7.7e-9, 4.5e-9, 1.66e-13, 1.0e-6, 1.26e-13],
                             [9.9e16, 0.0, 0.0, 0.0, 0.0, 5.3e10], 2.4e-13),
    "switch_back_excited": ([6.5e-18, 2.9e-17, 6.0e-17, 2.26e-9, 2.65e-10, 5.6e-13, 3.2e-8, 2.0e-12],
                            [1.5e17, 1.9e17, 4.8e16, 0.0, 0.0, 3.45e6], 8.2e-12),
    "mxstep_1e20": (REALISTIC, GROUND + [1e20], DT_NS),
    "backwards": (REALISTIC, GROUND + [5e8], -DT_NS),
    "infinite_rate_32": (with_parameter(5, 0.0), [6e17, 1e16, 0.0, 1e15, 0.0, 5e8], DT_NS),
    "infinite_rate_21": (with_parameter(3, 0.0), [6e17, 1e16, 0.0, 1e15, 0.0, 5e8], DT_NS),
    "nan_population": (REALISTIC, [math.nan, 0.0, 0.0, 0.0, 0.0, 1e8], DT_NS),
    "infinite_intensity": (REALISTIC, GROUND + [math.inf], DT_NS),
    # Infinite derivatives make the rate estimate NaN: MIN(1, 1.5*CRATE)
    # must then give 1, as the Fortran build evaluates it.
    "nan_convergence_rate": ([1e300] + list(REALISTIC[1:]),
                             [0.0, 3.37e15, 5.65e15, 1.39e16, 0.0, 7.88e10], 1.25e-11),
}


@pytest.mark.parametrize("name", POPULATION_CASES)
def test_population_step_matches_odeint(name):
    params, state, t_end = POPULATION_CASES[name]
    native = _native.population_step(params, OPTICAL_FREQUENCY, state, t_end)
    assert_matches_oracle(native, odeint_population_step(params, OPTICAL_FREQUENCY, state, t_end))


INTENSITY_CASES = {
    "ground_1e8": (REALISTIC, [1e8] + GROUND, DZ),
    "ground_1e9": (REALISTIC, [1e9] + GROUND, DZ),
    "excited_5e8": (REALISTIC, [5e8] + EXCITED, DZ),
    "dark": (REALISTIC, [0.0] + EXCITED, DZ),
    "levels_3_and_5_only": (REALISTIC, [5e8, 0.0, 0.0, 3e17, 0.0, 3e17], DZ),
    "transparent": (with_parameter(0, 0.0)[:1] + [0.0, 0.0] + list(REALISTIC[3:]), [5e8] + EXCITED, DZ),
    "thick_stiff": (REALISTIC, [5e8] + GROUND, 100.0),
    "very_thick": (REALISTIC, [5e8] + GROUND, 1e6),
    "dense_sample": (REALISTIC, [5e8, 6e25, 0.0, 0.0, 0.0, 0.0], 1.0),
    "tiny_intensity": (REALISTIC, [1e-300] + GROUND, 0.01),
    "gain": (REALISTIC, [5e8, -6e17, 0.0, 0.0, 0.0, 0.0], 10.0),
    "infinite_population": (REALISTIC, [5e8, math.inf, 0.0, 0.0, 0.0, 0.0], 0.01),
}


@pytest.mark.parametrize("name", INTENSITY_CASES)
def test_intensity_step_matches_odeint(name):
    params, state, z_end = INTENSITY_CASES[name]
    native = _native.intensity_step(params, OPTICAL_FREQUENCY, state, z_end)
    assert_matches_oracle(native, odeint_intensity_step(params, OPTICAL_FREQUENCY, state, z_end))


def test_cases_cover_stiff_steps_and_switches_both_ways():
    # The cases above must keep exercising what they are there for.
    outcomes = {name: odeint_population_step(p, OPTICAL_FREQUENCY, s, t)
                for name, (p, s, t) in POPULATION_CASES.items()}
    assert outcomes["ns_1e9"][4] > 0 and outcomes["ns_1e9"][6] == 2
    adams_only = odeint_intensity_step(*INTENSITY_CASES["ground_1e8"][:1], OPTICAL_FREQUENCY,
                                       *INTENSITY_CASES["ground_1e8"][1:])
    assert adams_only[4] == 0 and adams_only[6] == 1
    for name in ("switch_back_to_adams", "switch_back_excited"):
        assert outcomes[name][4] > 0 and outcomes[name][6] == 1
    assert outcomes["mxstep_1e20"][1] == -1


def robertson(t, y):
    """Robertson's chemical kinetics: the classic stiff test problem."""
    y1, y2, y3 = y[:3]
    return [-0.04 * y1 + 1.0e4 * y2 * y3, (0.04 * y1 - 1.0e4 * y2 * y3) - 3.0e7 * (y2 * y2),
            3.0e7 * (y2 * y2)]


def van_der_pol(mu):
    """Van der Pol's oscillator: alternately stiff and non-stiff for large mu."""
    def f(t, y):
        return [y[1], mu * ((1.0 - y[0] * y[0]) * y[1]) - y[0]]
    return f


PROBLEMS = {
    "robertson": (robertson, [1.0, 0.0, 0.0], 0.0, 40.0),
    "robertson_long": (robertson, [1.0, 0.0, 0.0], 0.0, 4e5),
    "van_der_pol_1000": (van_der_pol(1000.0), [2.0, 0.0], 0.0, 3000.0),
    "van_der_pol_100": (van_der_pol(100.0), [2.0, 0.0], 0.0, 300.0),
    "van_der_pol_5": (van_der_pol(5.0), [2.0, 0.0], 0.0, 20.0),
    "blow_up": (lambda t, y: [y[0] * y[0]], [1.0], 0.0, 2.0),
    "start_at_one": (lambda t, y: [-1e20 * y[0]], [1.0], 1.0, 1.0 + 1e-14),
}


@pytest.mark.parametrize("name", PROBLEMS)
def test_general_problem_matches_odeint(name):
    f, y0, t0, t1 = PROBLEMS[name]
    y, t, *stats = _native.solve(f, y0, t0, t1)
    expected = odeint_solve(lambda yy, tt: f(tt, yy.tolist()), y0, t0, t1)
    assert same_doubles(y, expected[0])
    # ISTATE, NST, NFE, NJE, NQU, MUSED, HU and TCUR.
    assert tuple(stats) == tuple(expected[1:])
    assert t == (t1 if stats[0] == 2 else expected[-1])


@pytest.mark.parametrize("step", ["population", "intensity"])
def test_end_equal_to_start_returns_at_once(step):
    function = _native.population_step if step == "population" else _native.intensity_step
    state = [6e17, 1e15, 0.0, 2e16, 0.0, 5e8]
    assert function(REALISTIC, OPTICAL_FREQUENCY, state, 0.0) == (state, 1, 0, 0, 0, 0, 0)


@pytest.mark.parametrize("carried", [5e8, -0.0, math.inf, 1e300])
def test_entries_beyond_neq_come_back_unchanged(carried):
    out = _native.population_step(REALISTIC, OPTICAL_FREQUENCY, GROUND + [carried], DT_NS)[0]
    assert same_doubles(out[5:], [carried])
    populations = [6e17, -0.0, 0.0, 1e16, math.nan]
    out = _native.intensity_step(with_parameter(2, 0.0), OPTICAL_FREQUENCY,
                                 [1e8] + populations, DZ)[0]
    assert same_doubles(out[1:], populations)


@pytest.mark.parametrize("intensity", [0.0, 1e8, 1e9, 1e10])
def test_population_step_conserves_total_population(intensity):
    state_out, istate, *_ = _native.population_step(REALISTIC, OPTICAL_FREQUENCY,
                                                    EXCITED + [intensity], DT_NS)
    assert istate == 2
    assert sum(state_out[:5]) == pytest.approx(sum(EXCITED), rel=1e-5)


def test_dark_ground_state_and_transparent_sample_are_left_exactly():
    assert _native.population_step(REALISTIC, OPTICAL_FREQUENCY, GROUND + [0.0], DT_NS)[0] == \
        GROUND + [0.0]
    transparent = [0.0, 0.0, 0.0] + list(REALISTIC[3:])
    assert _native.intensity_step(transparent, OPTICAL_FREQUENCY, [5e8] + EXCITED, DZ)[0] == \
        [5e8] + EXCITED


def test_intensity_step_follows_beer_lambert():
    alpha = 4e-18 * 6e17
    out = _native.intensity_step(REALISTIC, OPTICAL_FREQUENCY, [5e8] + GROUND, DZ)[0]
    assert out[0] == pytest.approx(5e8 * math.exp(-alpha * DZ), rel=1e-5)


def test_concurrent_steps_do_not_interfere():
    # Solver state lives in each Solver: steps on many threads at once give
    # the same results as one after another.
    cases = [(REALISTIC, GROUND + [10.0 ** (8 + k / 4)], DT_NS) for k in range(8)]
    expected = [_native.population_step(p, OPTICAL_FREQUENCY, s, t, repeat=1) for p, s, t in cases]
    results = [None] * len(cases)

    def work(index):
        p, s, t = cases[index]
        for _ in range(30):
            results[index] = _native.population_step(p, OPTICAL_FREQUENCY, s, t, repeat=20)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(cases))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


@pytest.mark.parametrize("call", [
    lambda: _native.population_step(REALISTIC[:7], OPTICAL_FREQUENCY, GROUND + [1e8], DT_NS),
    lambda: _native.population_step(REALISTIC, OPTICAL_FREQUENCY, GROUND, DT_NS),
    lambda: _native.intensity_step(REALISTIC, OPTICAL_FREQUENCY, [1e8] + GROUND + [0.0], DZ),
    lambda: _native.intensity_step(REALISTIC, OPTICAL_FREQUENCY, [1e8] + GROUND, DZ, repeat=0),
    lambda: _native.solve(robertson, [1.0, 0.0, 0.0], 0.0, 1.0, neq=4),
    lambda: _native.solve(robertson, [1.0] * 65, 0.0, 1.0),
])
def test_bad_lengths_raise_value_error(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize("call", [
    lambda: _native.population_step(None, OPTICAL_FREQUENCY, GROUND + [1e8], DT_NS),
    lambda: _native.population_step(REALISTIC, OPTICAL_FREQUENCY, GROUND + ["x"], DT_NS),
    lambda: _native.solve(42, [1.0], 0.0, 1.0),
    lambda: _native.solve(lambda t, y: [1.0, 2.0], [1.0], 0.0, 1.0),
])
def test_bad_types_raise_type_error(call):
    with pytest.raises((TypeError, ValueError)):
        call()


def test_exception_in_right_hand_side_propagates():
    def failing(t, y):
        raise ZeroDivisionError("inside f")
    with pytest.raises(ZeroDivisionError, match="inside f"):
        _native.solve(failing, [1.0], 0.0, 1.0)
