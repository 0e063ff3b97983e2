"""What the data determine: known degeneracies found and described in words."""

import math
import warnings

import numpy as np
import pytest

import tarvo
from tarvo.uncertainty import from_jacobian

from model_cases import BEAM, POPULATIONS, RSA_PARS

SETUP = dict(BEAM, populations=POPULATIONS, t_slices=4, z_slices=3, model="established",
             normalisation="shift")
ENERGIES = [5e-6, 1e-5, 2e-5]
X = np.linspace(-30.0, 30.0, 25)


@pytest.mark.parametrize("columns, status, best, worst", [
    # Two parameters that enter only through their product p*q.
    ([1.0, 1.0], ("not determined", "not determined"), "p·q", "p/q"),
    # Almost only through their ratio p/q.
    ([1.0, -0.999], ("not determined", "not determined"), "p/q", "p·q"),
    # Independent.
    ([1.0, 0.0], ("determined", "not determined"), "p", "q"),
], ids=["product", "ratio", "one-missing"])
def test_closed_form_degeneracies(columns, status, best, worst):
    # d(residual)/d ln p = a, d(residual)/d ln q = c * a over 200 points of unit noise.
    a = np.linspace(1.0, 2.0, 200)
    jacobian = np.column_stack([a * columns[0], a * columns[1]]) / np.array([2.0, 5.0])
    found = from_jacobian(["p", "q"], [2.0, 5.0], [True, True], jacobian, 1.0)
    assert tuple(found.status.values()) == status
    assert (found.directions[0].combination, found.directions[-1].combination) == (best, worst)
    assert found.directions[0].error == pytest.approx(1.0 / np.linalg.norm(
        np.column_stack([a * columns[0], a * columns[1]]), 2), rel=1e-9)


def test_a_parameter_outside_the_model_is_not_determined(exact_engine):
    # With sigma_4 = 0 level 5 is never filled: tau_54 does not enter the model.
    pars = list(RSA_PARS)
    pars[2] = 0.0
    y = tarvo.simulate(X, ENERGIES, pars, engine="exact", **SETUP)
    y = y * (1 + 0.005 * np.random.default_rng(2).standard_normal(y.shape))
    params = tarvo.Parameters.from_spec_pars(pars, vary=["sigma_2", "tau_54"])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = tarvo.fit(X, y, ENERGIES, params, **SETUP)
    found = result.identifiability
    assert found.status == {"sigma_2": "determined", "tau_54": "not determined"}
    assert math.isinf(found.errors["tau_54"])
    assert "not-determined" in [f.check for f in result.findings]
    assert any("do not determine tau_54" in str(w.message) for w in caught)


def test_sigma_4_and_tau_24_are_fixed_mainly_as_a_ratio(exact_engine):
    # The triplet absorption grows with sigma_4 and with the rate 1/tau_24 that
    # fills the triplet: a ratio of powers is fixed, their product is not.
    y = tarvo.simulate(X, ENERGIES, RSA_PARS, engine="exact", **SETUP)
    y = y * (1 + 0.005 * np.random.default_rng(4).standard_normal(y.shape))
    result = tarvo.fit(X, y, ENERGIES, tarvo.Parameters.from_spec_pars(
        RSA_PARS, vary=["sigma_4", "tau_24"]), **SETUP)
    best, worst = result.identifiability.directions
    assert best.combination.startswith("sigma_4/tau_24")
    assert "/" not in worst.combination and "tau_24" in worst.combination
    assert best.error < 0.05 * worst.error
