"""The exponential kernel is compiled twice (two- and four-wide vectors, the
processor choosing at run time): both copies must give the same bits, or a fit
would depend on the machine it runs on."""

import numpy as np
import pytest

from tarvo import _native

LEVELS = _native.LEVELS


# A rate matrix of the model: flux-driven absorption 1->2, 2->3, 4->5 and the
# five decays, columns summing to zero (row-major, times the step dt).
def rate_matrix(rng, scale):
    up12, up23, up45, d21, d24, d32, d41, d54 = scale * rng.lognormal(0.0, 2.0, 8)
    m = np.zeros((LEVELS, LEVELS))
    for source, target, rate in ((0, 1, up12), (1, 2, up23), (3, 4, up45), (1, 0, d21),
                                 (1, 3, d24), (2, 1, d32), (3, 0, d41), (4, 3, d54)):
        m[target, source] += rate
        m[source, source] -= rate
    return m


# The widest copy the processor runs is the one the engine uses ("best").
@pytest.mark.parametrize("wide", ["avx", "avx512"])
def test_wide_and_sse2_copies_agree_to_the_bit(wide):
    if _native.exponential_kernel(wide, np.zeros(25), [], np.zeros(LEVELS)) is None:
        pytest.skip(f"no {wide} copy on this build or processor")
    rng = np.random.default_rng(7)
    for case in range(300):
        # Steps from far below to far above the relaxation times (many squarings).
        m = rate_matrix(rng, 10.0 ** rng.uniform(-4, 3))
        directions = case % 10
        dm = np.array([rate_matrix(rng, 1.0) for _ in range(directions)]).reshape(-1)
        v = rng.uniform(0.0, 1.0, LEVELS)
        sse2 = _native.exponential_kernel("sse2", m.ravel(), dm, v)
        copy = _native.exponential_kernel(wide, m.ravel(), dm, v)
        best = _native.exponential_kernel("best", m.ravel(), dm, v)
        for a, b, c in zip(sse2, copy, best):
            assert np.array_equal(np.asarray(a), np.asarray(b)), f"case {case}"
            assert np.array_equal(np.asarray(a), np.asarray(c)), f"case {case}"


def test_kernel_values_match_scipy_and_conserve_population():
    from scipy.linalg import expm

    rng = np.random.default_rng(3)
    for _ in range(20):
        m = rate_matrix(rng, 10.0 ** rng.uniform(-2, 2))
        x, _, _, _ = _native.exponential_kernel("sse2", m.ravel(), [], np.ones(LEVELS))
        x = np.asarray(x).reshape(LEVELS, LEVELS)
        np.testing.assert_allclose(x, expm(m), rtol=1e-10, atol=1e-13)
        np.testing.assert_allclose(x.sum(axis=0), 1.0, rtol=0, atol=4e-16)


def test_kernel_refuses_unknown_names_and_sizes():
    with pytest.raises(ValueError, match='kernel must be "best", "sse2", "avx" or "avx512"'):
        _native.exponential_kernel("neon", np.zeros(25), [], np.zeros(LEVELS))
    with pytest.raises(ValueError, match="m must"):
        _native.exponential_kernel("sse2", np.zeros(24), [], np.zeros(LEVELS))
    with pytest.raises(ValueError, match="dm must hold 0 to 9 matrices"):
        _native.exponential_kernel("sse2", np.zeros(25), np.zeros(30), np.zeros(LEVELS))


# The step average phi_1(m) v (the populations averaged over the step) and its
# derivatives along dm: the last column of exp([[m, v], [0, 0]]) and its
# Frechet derivative along [[dm, 0], [0, 0]], by SciPy.
@pytest.mark.parametrize("kernel", ["sse2", "avx", "avx512"])
def test_step_average_and_its_derivatives_match_scipy(kernel):
    from scipy.linalg import expm, expm_frechet

    if _native.exponential_kernel(kernel, np.zeros(25), [], np.zeros(LEVELS)) is None:
        pytest.skip(f"no {kernel} copy on this build or processor")
    rng = np.random.default_rng(11)
    for case in range(20):
        m = rate_matrix(rng, 10.0 ** rng.uniform(-2, 2))
        dm = [rate_matrix(rng, 1.0) for _ in range(case % 4)]
        v = rng.uniform(0.0, 1.0, LEVELS)
        _, _, avg, davg = _native.exponential_kernel(kernel, m.ravel(), np.ravel(dm), v)
        augmented = np.zeros((LEVELS + 1, LEVELS + 1))
        augmented[:LEVELS, :LEVELS] = m
        augmented[:LEVELS, LEVELS] = v
        for p, direction in enumerate(dm):
            tangent = np.zeros_like(augmented)
            tangent[:LEVELS, :LEVELS] = direction
            value, frechet = expm_frechet(augmented, tangent)
            expected = frechet[:LEVELS, LEVELS]
            got = np.asarray(davg)[p * LEVELS:(p + 1) * LEVELS]
            np.testing.assert_allclose(got, expected, rtol=1e-9,
                                       atol=1e-12 * np.abs(expected).max(), err_msg=f"case {case}")
        expected = expm(augmented)[:LEVELS, LEVELS]
        np.testing.assert_allclose(avg, expected, rtol=1e-10, atol=1e-14, err_msg=f"case {case}")
