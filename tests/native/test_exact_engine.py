"""The exact engine (tarvo._native.exact_model and its steps): closed forms of
single steps, agreement with the LSODA model, exact derivatives against
central differences, thread-count independence and refusal of bad input."""

import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from scipy.linalg import expm

from tarvo import _native

from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS, STIFF_PARS, positions

OPTICAL_FREQUENCY = 299792458.0 / 532e-9
PHOTON_FACTOR = 1.5091901796421518e33 / OPTICAL_FREQUENCY
# Time constants so long that their decays vanish within any step here.
NO_DECAY = 1e30


def step(pars, populations, intensity, dt):
    return np.array(_native.exact_population_step(pars, OPTICAL_FREQUENCY,
                                                  list(populations) + [intensity], dt))


def rate_matrix(pars, intensity):
    """The rate matrix written out from the level scheme, independently of the engine."""
    s1, s2, s4 = pars[:3]
    k21, k24, k32, k41, k54 = (1.0 / t for t in pars[3:])
    phi = PHOTON_FACTOR * intensity
    return np.array([
        [-s1 * phi, k21, 0.0, k41, 0.0],
        [s1 * phi, -(k21 + k24 + s2 * phi), k32, 0.0, 0.0],
        [0.0, s2 * phi, -k32, 0.0, 0.0],
        [0.0, k24, 0.0, -(k41 + s4 * phi), k54],
        [0.0, 0.0, 0.0, s4 * phi, -k54]])


# --- single steps against closed forms -------------------------------------

@pytest.mark.parametrize("dt", [1e-12, 4e-10, 3e-9, 1e-7])
def test_dark_steps_are_the_closed_form_decays(dt):
    pars = list(RSA_PARS)
    k2 = 1.0 / pars[3] + 1.0 / pars[4]
    k32, k41, k54 = 1.0 / pars[5], 1.0 / pars[6], 1.0 / pars[7]
    # Level 2 alone empties at rate_21 + rate_24.
    n = step(pars, [0.0, 1.0, 0.0, 0.0, 0.0], 0.0, dt)
    assert n[1] == pytest.approx(math.exp(-k2 * dt), rel=1e-13, abs=1e-300)
    # Level 3 feeds level 2, which empties: the two-exponential chain.
    n = step(pars, [0.0, 0.0, 1.0, 0.0, 0.0], 0.0, dt)
    chain = k32 / (k32 - k2) * (math.exp(-k2 * dt) - math.exp(-k32 * dt))
    assert n[2] == pytest.approx(math.exp(-k32 * dt), rel=1e-12, abs=1e-300)
    assert n[1] == pytest.approx(chain, rel=1e-12)
    # Level 5 feeds level 4, which decays to 1 with rate_41.
    n = step(pars, [0.0, 0.0, 0.0, 0.0, 1.0], 0.0, dt)
    assert n[3] == pytest.approx(k54 / (k54 - k41) * (math.exp(-k41 * dt) - math.exp(-k54 * dt)),
                                 rel=1e-12)
    # Nothing moves out of the ground level in the dark.
    assert list(step(pars, [1.0, 0.0, 0.0, 0.0, 0.0], 0.0, dt)) == [1.0, 0.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize("intensity, dt", [(1e8, 4e-10), (1e9, 4e-10), (3e9, 1e-8)])
def test_two_level_absorber_without_decay_empties_the_ground_level_exponentially(intensity, dt):
    pars = [4e-18, 0.0, 0.0] + [NO_DECAY] * 5
    n = step(pars, [6e17, 0.0, 0.0, 0.0, 0.0], intensity, dt)
    ground = 6e17 * math.exp(-4e-18 * PHOTON_FACTOR * intensity * dt)
    assert n[0] == pytest.approx(ground, rel=1e-13)
    assert n[1] == pytest.approx(6e17 - ground, rel=1e-13)
    assert np.abs(n[2:]).max() < 1e-15 * 6e17  # only the 1e-30 /s decays reach them


@pytest.mark.parametrize("pars", [RSA_PARS, SA_PARS, STIFF_PARS], ids=["rsa", "sa", "stiff"])
@pytest.mark.parametrize("intensity", [0.0, 1e7, 1e9, 1e11])
def test_step_equals_the_matrix_exponential_and_conserves_the_total(pars, intensity):
    start = np.array([3e17, 1e17, 5e16, 1.2e17, 3e16])
    dt = 4e-9 / 9
    n = step(pars, start, intensity, dt)
    expected = expm(rate_matrix(pars, intensity) * dt) @ start
    assert n == pytest.approx(expected, rel=1e-10, abs=1e-13 * start.sum())
    # The total stays what it was, to rounding of the five-term sums.
    assert abs(n.sum() - start.sum()) <= 8 * np.finfo(float).eps * start.sum()


# --- whole curves against the LSODA model ---------------------------------

def lsoda_curves(x, pars, energies, t_slices, z_slices, **beam):
    b = dict(BEAM, **beam)
    values = _native.model_curves(x.ravel(), POPULATIONS, t_slices, z_slices, b["sample_width"],
                                  b["tau"], b["wavelength"], b["w0"], b["M2"], energies, pars,
                                  x.shape[1], len(energies))
    return np.array(values).reshape(x.shape)


def exact_curves(x, pars, energies, t_slices, z_slices, derivatives=(), **beam):
    return _native.exact_model(x, energies, POPULATIONS, pars, t_slices=t_slices,
                               z_slices=z_slices, derivatives=derivatives, **dict(BEAM, **beam))


AGREEMENT_CASES = {
    "rsa": dict(pars=RSA_PARS, energies=[5e-6, 2e-5]),
    "sa": dict(pars=SA_PARS, energies=[5e-6, 2e-5]),
    "stiff": dict(pars=STIFF_PARS, energies=[2e-5]),
    "picosecond": dict(pars=RSA_PARS, energies=[2e-7, 1e-6], tau=30e-12),
}


@pytest.mark.parametrize("case", AGREEMENT_CASES.values(), ids=AGREEMENT_CASES.keys())
@pytest.mark.parametrize("t_slices, z_slices", [(10, 5), (4, 3)])
def test_exact_model_agrees_with_the_lsoda_model(case, t_slices, z_slices):
    case = dict(case)
    x = np.vstack([positions(21)] * len(case["energies"]))
    exact, jacobian = exact_curves(x, t_slices=t_slices, z_slices=z_slices, **case)
    lsoda = lsoda_curves(x, t_slices=t_slices, z_slices=z_slices, **case)
    assert jacobian is None
    assert exact.shape == x.shape
    assert np.abs(exact - lsoda).max() < 1e-5
    # A curve that really moves: the agreement is not that of two flat lines.
    assert np.abs(exact - 1.0).max() > 0.05
    # Normalised as the LSODA model: the five first and five last average 1.
    ends = np.concatenate([exact[:, :5], exact[:, -5:]], axis=1).mean(axis=1)
    assert ends == pytest.approx(1.0, abs=1e-15)


def test_no_absorption_gives_exactly_one():
    x = np.vstack([positions(7)] * 2)
    pars = [0.0, 0.0, 0.0] + list(RSA_PARS[3:])
    curves, _ = exact_curves(x, pars, [5e-6, 2e-5], 4, 3)
    assert (curves == 1.0).all()


def test_raw_established_transmittance_is_the_time_summed_ratio():
    # Linear absorber: each slice keeps exp(-sigma_1 N dz) of the light over
    # z_slices slices of sample_width / (z_slices - 1).
    pars = [4e-18, 0.0, 0.0] + [NO_DECAY] * 5
    x = np.vstack([positions(5)])
    raw, _ = _native.exact_model(x, [1e-17], POPULATIONS, pars, t_slices=3, z_slices=4,
                                 normalise=False, **BEAM)
    depth = BEAM["sample_width"] * 4 / 3
    assert raw == pytest.approx(np.full((1, 5), math.exp(-4e-18 * 6e17 * depth)), rel=1e-9)


# --- derivatives ----------------------------------------------------------

def central_differences(model, pars, index, relative_step=1e-4, focus_step_mm=1e-4):
    """d model / d parameter by a central difference of the exact model."""
    if index == 8:
        return (model(pars, focus_step_mm) - model(pars, -focus_step_mm)) / (2 * focus_step_mm)
    h = pars[index] * relative_step
    up, down = list(pars), list(pars)
    up[index] += h
    down[index] -= h
    return (model(up, 0.0) - model(down, 0.0)) / (2 * h)


@pytest.mark.parametrize("variant, pars", [("established", RSA_PARS), ("established", SA_PARS),
                                           ("energy", RSA_PARS)])
def test_jacobian_matches_central_differences(variant, pars):
    x = np.vstack([np.linspace(-12.0, 12.0, 15)] * 2)
    energies = [5e-6, 2e-5]
    grid = dict(t_slices=6, z_slices=3, variant=variant, radial_points=3)

    def model(p, shift_mm):
        return _native.exact_model(x - shift_mm, energies, POPULATIONS, p, **grid, **BEAM)[0]

    derivatives = list(range(9))
    curves, jacobian = _native.exact_model(x, energies, POPULATIONS, pars,
                                           derivatives=derivatives, **grid, **BEAM)
    assert jacobian.shape == x.shape + (9,)
    assert curves == pytest.approx(model(pars, 0.0), rel=0, abs=0)
    for d, index in enumerate(derivatives):
        expected = central_differences(model, pars, index)
        scale = np.abs(expected).max()
        assert scale > 0.0
        assert np.abs(jacobian[..., d] - expected).max() <= 1e-7 * scale, f"parameter {index}"


def test_derivatives_in_any_order_and_subset_agree():
    x = np.vstack([positions(9)])
    kw = dict(t_slices=4, z_slices=3, **BEAM)
    _, full = _native.exact_model(x, [2e-5], POPULATIONS, RSA_PARS, derivatives=range(9), **kw)
    curves, some = _native.exact_model(x, [2e-5], POPULATIONS, RSA_PARS, derivatives=[8, 2, 1],
                                       **kw)
    assert (some == full[..., [8, 2, 1]]).all()
    assert (curves == _native.exact_model(x, [2e-5], POPULATIONS, RSA_PARS, **kw)[0]).all()


@pytest.mark.parametrize("derivatives", [[], [1, 2], [8, 2, 1]])
def test_positions_of_a_symmetric_scan_share_marches_without_mixing_them_up(derivatives):
    # Positions at +z and -z from the focus see the same incident intensity, so
    # the engine marches once for both; the values and derivatives of each
    # (the focus derivative changes sign) must be those of scans that hold one
    # side only, where nothing is shared.
    half = np.linspace(0.0, 12.0, 6)
    kw = dict(t_slices=4, z_slices=3, normalise=False, derivatives=derivatives, **BEAM)
    both = np.vstack([np.concatenate([-half[::-1], half[1:]])] * 2)
    sides = [np.vstack([-half[::-1]] * 2), np.vstack([half] * 2)]
    curves, jacobian = _native.exact_model(both, [5e-6, 2e-5], POPULATIONS, RSA_PARS, **kw)
    alone = [_native.exact_model(x, [5e-6, 2e-5], POPULATIONS, RSA_PARS, **kw) for x in sides]
    assert (curves[:, :6] == alone[0][0]).all() and (curves[:, 5:] == alone[1][0]).all()
    if derivatives:
        assert (jacobian[:, :6] == alone[0][1]).all() and (jacobian[:, 5:] == alone[1][1]).all()
        if 8 in derivatives:
            assert (jacobian[:, 4, 0] == -jacobian[:, 6, 0]).all()


# --- threads --------------------------------------------------------------

THREAD_SCRIPT = """
import numpy as np, sys
sys.path.insert(0, {tests!r})
from model_cases import BEAM, POPULATIONS, RSA_PARS, positions
from tarvo import _native
x = np.vstack([positions(23)] * 2)
out = []
for variant in ("established", "energy"):
    c, j = _native.exact_model(x, [5e-6, 2e-5], POPULATIONS, RSA_PARS, t_slices=6, z_slices=3,
                               derivatives=[1, 2, 8], variant=variant, **BEAM)
    out += [c.tobytes().hex(), j.tobytes().hex()]
print(" ".join(out))
"""


def test_results_do_not_depend_on_the_thread_count():
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
    runs = []
    for threads in (1, 2, 3):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        runs.append(subprocess.run([sys.executable, "-c", THREAD_SCRIPT.format(tests=tests)],
                                   env=env, check=True, capture_output=True, text=True).stdout)
    assert runs[0] == runs[1] == runs[2]


# --- refusals -------------------------------------------------------------

def call(**changes):
    args = dict(positions_mm=np.vstack([positions(7)]), pulse_energy=[1e-5],
                populations=POPULATIONS, spec_pars=RSA_PARS, t_slices=4, z_slices=3, **BEAM)
    args.update(changes)
    return _native.exact_model(**args)


def with_parameter(index, value):
    pars = list(RSA_PARS)
    pars[index] = value
    return pars


@pytest.mark.parametrize("changes, error, message", [
    (dict(spec_pars=with_parameter(3, 0.0)), ValueError,
     "time constant tau_21 must be positive and finite, got 0.000000"),
    (dict(spec_pars=with_parameter(7, -1e-12)), ValueError, "time constant tau_54 must be positive"),
    (dict(spec_pars=with_parameter(1, float("nan"))), ValueError,
     "cross-section sigma_2 must be finite and >= 0, got nan"),
    (dict(spec_pars=with_parameter(0, -1e-18)), ValueError, "cross-section sigma_1 must be"),
    (dict(spec_pars=RSA_PARS[:7]), ValueError, r"spec_pars must have shape \(8,\), got shape \(7,\)"),
    (dict(positions_mm=np.array([[0.0, 1.0, float("nan"), 2.0, 3.0]])), ValueError,
     "positions_mm must be finite numbers"),
    (dict(positions_mm=positions(7)), ValueError,
     r"positions_mm must be a 2-D array \(num_datasets, num_x_pts\), got shape \(7,\)"),
    (dict(positions_mm=np.zeros((1, 4))), ValueError, "each curve needs at least 5 positions, got 4"),
    (dict(pulse_energy=[1e-5, 2e-5]), ValueError, r"pulse_energy must have shape \(1,\)"),
    (dict(pulse_energy=[0.0]), ValueError, "pulse_energy must be a positive finite number"),
    (dict(populations=[6e17, 0.0, 0.0]), ValueError, "populations must have shape"),
    (dict(populations=[6e17, -1.0, 0.0, 0.0, 0.0]), ValueError,
     "populations must be finite and >= 0"),
    (dict(t_slices=1), ValueError, "t_slices must lie in 2..1000000, got 1"),
    (dict(z_slices=1), ValueError, "z_slices must lie in 2..1000000, got 1"),
    (dict(tau=0.0), ValueError, "tau must be a positive finite number"),
    (dict(w0=float("inf")), ValueError, "w0 must be a positive finite number"),
    (dict(sample_width=-0.1), ValueError, "sample_width must be finite and >= 0"),
    (dict(variant="on-axis"), ValueError,
     "variant must be 'established' or 'energy', got 'on-axis'"),
    (dict(derivatives=[9]), ValueError,
     r"derivatives must be indices 0..7 \(parameters\) or 8 \(focus shift\), got 9"),
    (dict(derivatives=[1, 1]), ValueError, "derivatives must be distinct, 1 appears twice"),
    (dict(variant="energy", radial_points=65), ValueError, "radial_points must lie in 0..64"),
    (dict(variant="energy", intensity_points=1), ValueError,
     "intensity_points must be 0 or lie in 2..64, got 1"),
    (dict(variant="energy", intensity_points=65), ValueError,
     "intensity_points must be 0 or lie in 2..64, got 65"),
    (dict(positions_mm="far"), TypeError, "positions_mm must be an array of numbers"),
])
def test_bad_input_is_refused_with_a_clear_message(changes, error, message):
    with pytest.raises(error, match=message):
        call(**changes)


def test_missing_keyword_is_named():
    with pytest.raises(TypeError, match="exact_model\\(\\) missing required keyword argument 'tau'"):
        _native.exact_model(np.zeros((1, 5)), [1e-5], POPULATIONS, RSA_PARS, t_slices=4,
                            z_slices=3, sample_width=0.1, wavelength=532e-9, w0=2e-5, M2=1.0)


def test_inputs_are_copied_not_kept():
    x = np.vstack([positions(7)])
    pars = np.array(RSA_PARS)
    first, _ = call(positions_mm=x, spec_pars=pars)
    x[:] = 0.0
    pars[:] = 1.0
    assert (call(positions_mm=np.vstack([positions(7)]))[0] == first).all()


def test_thread_count_of_the_calling_thread_is_checked_and_does_not_change_the_curves():
    x = np.tile(np.linspace(-20.0, 20.0, 11), (1, 1))
    kw = dict(t_slices=4, z_slices=3, sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6,
              M2=1.2, derivatives=(1, 2))
    before = _native.exact_model(x, [2e-5], POPULATIONS, RSA_PARS, **kw)
    for bad in (0, -3):
        with pytest.raises(ValueError, match=f"thread count must lie in 1..4096, got {bad}"):
            _native.set_thread_count(bad)
    # In a thread of its own, so that this thread keeps its setting.
    after = []

    def single_threaded():
        _native.set_thread_count(1)
        after.extend(_native.exact_model(x, [2e-5], POPULATIONS, RSA_PARS, **kw))

    thread = threading.Thread(target=single_threaded)
    thread.start()
    thread.join()
    assert len(after) == 2 and all((a == b).all() for a, b in zip(before, after))
