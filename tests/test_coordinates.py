"""The search's coordinates: a constant replaced by the mean it implies."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _korvanta_rs as kr
from korvanta.optimize import Coordinates
from korvanta.problem import make_problem

Y = np.random.default_rng(3).normal(size=80)

MODELS = [((2, 0, 1), (1, 0, 0, 4)), ((1, 0, 0), (0, 0, 0, 0)), ((0, 0, 1), (2, 0, 1, 3)),
          ((3, 0, 0), (0, 0, 0, 0))]


def _ar_value_at_one(problem, params):
    """phi(1) Phi(1) from the constrained coefficients, as the model writes them."""
    p, _, q = problem.order
    P = problem.seasonal_order[0]
    first = 1 + problem.k_exog
    return (1 - params[first:first + p].sum()) * \
        (1 - params[first + p + q:first + p + q + P].sum())


def _mean_form_cases(bound):
    """Models with a constant, with and without a regressor and the scale, and search
    coordinates w within ±bound."""
    return given(model=st.sampled_from(MODELS), k_exog=st.integers(0, 1),
                 concentrate=st.booleans(),
                 w=st.lists(st.floats(-bound, bound), min_size=8, max_size=8))


def _mean_form(model, k_exog, concentrate, w):
    """The problem (a constant, with a regressor where asked), its mean-form coordinates
    and the first k_params entries of w (sigma2 = 0.49 where it is searched)."""
    order, seasonal = model
    exog = np.linspace(-1, 1, Y.size)[:, None] if k_exog else None
    problem = make_problem(Y, order, seasonal, "c", exog)
    coords = Coordinates(problem)
    assert coords.mean
    w = np.array(w[:problem.k_params - (1 if concentrate else 0)])
    if not concentrate:
        w[-1] = 0.7
    return problem, coords, w


@settings(max_examples=60, deadline=None)
@_mean_form_cases(4)
def test_mean_form_round_trip_and_gradient(model, k_exog, concentrate, w):
    problem, coords, w = _mean_form(model, k_exog, concentrate, w)
    k = w.size
    params = coords.transform(w, concentrate)
    # The constant is the mean times phi(1) Phi(1); everything else is the extension's.
    extension = kr.transform_params(w, concentrate_scale=concentrate, **problem.model_kwargs())
    np.testing.assert_array_equal(params[1:], extension[1:])
    assert params[0] == pytest.approx(w[0] * _ar_value_at_one(problem, params), rel=1e-9,
                                      abs=1e-12)
    np.testing.assert_allclose(coords.untransform(params, concentrate), w, rtol=1e-7,
                               atol=1e-9)
    # The gradient in w is the chain rule through c = w_0 · factor(w): J' g for the
    # Jacobian J = du/dw, here by central differences of u(w) itself (smooth, closed form).
    u, jacobian = coords.unconstrained(w)
    np.testing.assert_array_equal(kr.transform_params(u, concentrate_scale=concentrate,
                                                      **problem.model_kwargs()), params)
    h = 1e-6
    J = np.column_stack([(coords.unconstrained(w + h * e)[0] - coords.unconstrained(w - h * e)[0])
                         / (2 * h) for e in np.eye(k)])
    g = np.random.default_rng(k).normal(size=k)
    np.testing.assert_allclose(coords.gradient(g, jacobian), J.T @ g, rtol=1e-6,
                               atol=1e-7 * max(1.0, float(np.abs(J).max())))


@settings(max_examples=40, deadline=None)
@_mean_form_cases(1.5)
def test_mean_form_gradient_of_the_likelihood(model, k_exog, concentrate, w):
    # End to end: the extension's gradient carried to w, against central differences of the
    # likelihood along w. Both are finite differences: away from the edges of the
    # stationary region (|w| <= 1.5) their truncation stays far below the tolerance.
    problem, coords, w = _mean_form(model, k_exog, concentrate, w)
    k = w.size
    data = problem.data_kwargs()
    u, jacobian = coords.unconstrained(w)
    _, grad_u = kr.loglike_grad(problem.y, u, concentrate_scale=concentrate, **data)
    grad = coords.gradient(grad_u, jacobian)

    def f(v):
        return kr.loglike(problem.y, coords.transform(v, concentrate),
                          concentrate_scale=concentrate, **data)

    h = 1e-5
    numeric = [(f(w + h * e) - f(w - h * e)) / (2 * h) for e in np.eye(k)]
    np.testing.assert_allclose(grad, numeric, rtol=1e-5, atol=1e-5 * Y.size)


@pytest.mark.parametrize("trend, order, stationary", [
    ("ct", (1, 0, 0), True),        # a time trend next to the constant
    ("c", (0, 0, 1), True),         # no autoregression
    ("c", (1, 0, 0), False),        # no stationarity to keep the factor positive
    (None, (1, 0, 0), True),
])
def test_extension_coordinates_elsewhere(trend, order, stationary):
    problem = make_problem(Y, order, (0, 0, 0, 0), trend, None,
                           enforce_stationarity=stationary)
    coords = Coordinates(problem)
    assert not coords.mean
    w = np.linspace(0.3, 0.9, problem.k_params)
    np.testing.assert_array_equal(coords.transform(w, False),
                                  kr.transform_params(w, **problem.model_kwargs()))
    assert coords.unconstrained(w)[1] is None


def test_mean_at_a_unit_root_is_not_a_number():
    problem = make_problem(Y, (1, 0, 0), (0, 0, 0, 0), "c", None)
    w = Coordinates(problem).untransform(np.array([0.5, 1.0, 1.0]), False)
    assert np.isnan(w[0])
