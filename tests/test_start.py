"""Starting values: the conditional innovations and their Jacobian against a plain
recursion and finite differences, and the root-radius test against the roots."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvanta.roots import largest_inverse_root, roots_within
from korvanta.start import ConditionalInnovations, _least_squares


def _plain_innovations(z, trend, v, sizes, s):
    """e_t from phi(L) Phi(L^s) z_t = trend_t + theta(L) Theta(L^s) e_t, term by term,
    with zeros before the start."""
    kt, p, q, P, Q = sizes
    tr, ar, ma, sar, sma = np.split(v, np.cumsum(sizes)[:-1])
    a = np.zeros(p + P * s + 1)     # phi(L) Phi(L^s), multiplied out by hand
    for i in range(p + 1):
        for j in range(P + 1):
            ci = 1.0 if i == 0 else -ar[i - 1]
            cj = 1.0 if j == 0 else -sar[j - 1]
            a[i + s * j] += ci * cj
    m = np.zeros(q + Q * s + 1)
    for i in range(q + 1):
        for j in range(Q + 1):
            m[i + s * j] += (1.0 if i == 0 else ma[i - 1]) * (1.0 if j == 0 else sma[j - 1])
    n = len(z)
    e = np.zeros(n)
    for t in range(n):
        value = sum(a[i] * z[t - i] for i in range(len(a)) if t >= i)
        value -= trend[t] @ tr if kt else 0.0
        value -= sum(m[i] * e[t - i] for i in range(1, len(m)) if t >= i)
        e[t] = value
    return e


MODELS = [  # (trend columns, p, q, P, Q, s)
    (0, 0, 1, 0, 0, 1), (1, 1, 1, 0, 0, 1), (2, 3, 1, 0, 0, 1), (0, 0, 1, 0, 1, 12),
    (1, 2, 2, 1, 1, 4), (0, 1, 0, 2, 0, 3), (1, 0, 2, 0, 2, 5),
]


@pytest.mark.parametrize("kt,p,q,P,Q,s", MODELS)
def test_innovations_and_jacobian(kt, p, q, P, Q, s):
    rng = np.random.default_rng(kt + 10 * p + 100 * q + 1000 * P + 10000 * Q + s)
    n = 60
    z = rng.standard_normal(n).cumsum() * 0.2 + rng.standard_normal(n)
    trend = np.column_stack([np.arange(1.0, n + 1) ** k for k in range(kt)]) if kt \
        else np.empty((n, 0))
    sizes = [kt, p, q, P, Q]
    v = np.concatenate([rng.normal(0, 0.05, kt), rng.uniform(-0.3, 0.3, p + q + P + Q)])
    innovations = ConditionalInnovations(z, trend, sizes, s)
    e, ps = innovations(v)
    np.testing.assert_allclose(e, _plain_innovations(z, trend, v, sizes, s), rtol=1e-10,
                               atol=1e-10)
    J = innovations.jacobian(e, ps)
    h = 1e-6
    numeric = np.column_stack([(innovations(v + h * unit)[0] - innovations(v - h * unit)[0])
                               / (2 * h) for unit in np.eye(v.size)])
    np.testing.assert_allclose(J, numeric, rtol=1e-6, atol=1e-6 * np.abs(numeric).max())


def test_jacobian_of_lags_beyond_the_series_is_zero():
    # A seasonal lag longer than the series: its column has nothing to see.
    z = np.arange(1.0, 6.0)
    innovations = ConditionalInnovations(z, np.empty((5, 0)), [0, 0, 0, 0, 1], 7)
    e, ps = innovations(np.array([0.3]))
    np.testing.assert_array_equal(innovations.jacobian(e, ps), np.zeros((5, 1)))


@settings(max_examples=300, deadline=None)
@given(coefs=st.lists(st.floats(-2.5, 2.5), min_size=0, max_size=6),
       sign=st.sampled_from([1.0, -1.0]), radius=st.floats(0.3, 1.2))
def test_roots_within_agrees_with_the_roots(coefs, sign, radius):
    c = np.array(coefs, dtype=float)
    modulus = largest_inverse_root(c, sign)
    if abs(modulus - radius) > 1e-7:          # away from a tie, where rounding decides
        assert roots_within(c, sign, radius) == (modulus < radius)


@pytest.mark.parametrize("coefs", [[np.nan], [0.1, np.inf], [np.nan, 0.2, 0.1]])
def test_roots_within_refuses_non_finite(coefs):
    assert not roots_within(np.array(coefs), 1.0, 0.95)


@pytest.mark.parametrize("columns", [3, 8, 26])
@pytest.mark.parametrize("collinear", [False, True])
def test_least_squares_matches_the_svd(columns, collinear):
    rng = np.random.default_rng(columns)
    A = rng.standard_normal((120, columns)) * np.logspace(0, 4, columns)
    if collinear:                 # an exact copy: only the minimum-norm answer is defined
        A[:, -1] = 2.0 * A[:, 0]
    b = rng.standard_normal(120)
    expected = np.linalg.lstsq(A, b, rcond=None)[0]
    np.testing.assert_allclose(_least_squares(A, b), expected, rtol=1e-8,
                               atol=1e-12 * np.abs(expected).max())


@pytest.mark.parametrize("order, seasonal, trend, k_exog", [
    ((1, 0, 1), (0, 0, 0, 0), None, 0),
    ((2, 1, 1), (0, 1, 1, 7), "c", 1),
])
def test_start_of_a_long_series_comes_from_its_last_observations(order, seasonal, trend,
                                                                 k_exog):
    # The regressions of the start hold the series many times over: a long series' start
    # is that of its last observations, with the trend's time counted from the first.
    import tracemalloc

    from korvanta.problem import make_problem
    from korvanta.start import _WINDOW, start_candidates

    d, D, s = order[1], seasonal[1], seasonal[3]
    rng = np.random.default_rng(3)
    n = 40 * _WINDOW
    y = np.cumsum(rng.standard_normal(n)) if d else rng.standard_normal(n)
    X = rng.standard_normal((n, k_exog)) if k_exog else None
    y = y + 10.0 + (X.sum(axis=1) if k_exog else 0.0)
    long = make_problem(y, order, seasonal, trend, X)
    start_candidates(make_problem(y[:500], order, seasonal, trend, X[:500] if k_exog else None))
    tracemalloc.start()   # after the modules the start imports on first use
    try:
        found = start_candidates(long)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # Without the window the regressions held about 20 copies of the whole series.
    assert peak < 1.5 * y.nbytes

    keep = _WINDOW + d + D * s
    tail = make_problem(y[-keep:], order, seasonal, None, None if X is None else X[-keep:])
    if trend is None:
        expected = start_candidates(tail)
        key = lambda c: c.tobytes()  # noqa: E731  (the ranking uses the whole series)
        assert sorted(map(key, found)) == sorted(map(key, expected))
    else:
        assert all(np.isfinite(c).all() and c[-1] > 0 for c in found)
