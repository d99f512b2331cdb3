"""The package's fit of the airline model against an independent dense computation.

With diffuse differencing states, the likelihood of the (0,1,1)x(0,1,1,12) model is the
exact Gaussian likelihood of the differenced series w_t = (1-L)(1-L^12) y_t, a moving
average of order 13 whose covariance matrix is written down directly.
"""

import math
from pathlib import Path

import numpy as np
import pytest

import _korvanta_rs as kr
import korvanta
import korvanta.covariance
from reference import central_hessian

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "airline_passengers.csv"

# Published maximum-likelihood estimates for this model on log passengers.
PUBLISHED = {"ma.L1": -0.402, "ma.S.L12": -0.557, "sigma2": 0.00135}
PUBLISHED_LLF = 244.70
HORIZON = 24


def _difference(y):
    return y[13:] - y[12:-1] - y[1:-12] + y[:-13]


def _ma13_cov(params, m):
    """Covariance matrix of m consecutive values of (1 + th L)(1 + Th L^12) e_t."""
    th, Th, s2 = params
    psi = np.zeros(14)
    psi[[0, 1, 12, 13]] = [1.0, th, Th, th * Th]
    acov = np.zeros(m)
    for k in range(min(m, 14)):
        acov[k] = s2 * psi[:14 - k] @ psi[k:]
    idx = np.arange(m)
    return acov[np.abs(idx[:, None] - idx[None, :])]


def dense_terms(params, y):
    """Per-observation log-likelihood terms of the differenced series, from the
    Cholesky factor of its covariance (the innovations form)."""
    w = _difference(y)
    chol = np.linalg.cholesky(_ma13_cov(params, len(w)))
    d = np.diag(chol)
    e = np.linalg.solve(chol / d, w)
    return -0.5 * (np.log(2 * np.pi) + np.log(d * d) + e * e / (d * d))


def dense_forecast(params, y, horizon):
    """Conditional mean and variance of log passengers `horizon` months ahead."""
    w = _difference(y)
    n = len(w)
    cov = _ma13_cov(params, n + horizon)
    sww, sfw, sff = cov[:n, :n], cov[n:, :n], cov[n:, n:]
    w_mean = sfw @ np.linalg.solve(sww, w)
    w_cov = sff - sfw @ np.linalg.solve(sww, sfw.T)
    # Undo the differencing: each future y is a known constant plus a linear
    # combination of the future w.
    const = list(y)
    coef = [np.zeros(horizon)] * len(y)
    for h in range(horizon):
        const.append(const[-1] + const[-12] - const[-13])
        a = coef[-1] + coef[-12] - coef[-13]
        a[h] += 1.0
        coef.append(a)
    A = np.array(coef[-horizon:])
    return np.array(const[-horizon:]) + A @ w_mean, np.diag(A @ w_cov @ A.T)


@pytest.fixture(scope="module")
def log_y():
    series = korvanta.read_series(DATA)
    assert series.values.shape == (144,) and series.labels[0] == "1949-01"
    return np.log(series.values)


@pytest.fixture(scope="module", params=[True, False], ids=["concentrated", "full"])
def result(log_y, request):
    return korvanta.fit(log_y, (0, 1, 1), (0, 1, 1, 12), concentrate_scale=request.param)


def test_estimates_match_published_values(result):
    assert result.converged, result.message
    assert result.param_names == tuple(PUBLISHED)
    for name, value in zip(result.param_names, result.params):
        assert abs(value - PUBLISHED[name]) < 1e-3, name
    # sigma2 is tiny, so the absolute bound says little about it.
    assert result.params[2] == pytest.approx(PUBLISHED["sigma2"], rel=5e-3)
    assert round(result.llf, 2) == PUBLISHED_LLF


def test_estimate_is_a_maximum(result, log_y):
    kw = dict(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12), trend_powers=[])
    best = kr.loglike(log_y, result.params, **kw)
    assert best == result.llf
    for i, step in enumerate([1e-3, 1e-3, 1e-6]):
        for sign in (1, -1):
            p = result.params.copy()
            p[i] += sign * step
            assert kr.loglike(log_y, p, **kw) < best


def test_concentrated_and_full_searches_reach_the_same_maximum(log_y):
    conc = korvanta.fit(log_y, (0, 1, 1), (0, 1, 1, 12), concentrate_scale=True)
    full = korvanta.fit(log_y, (0, 1, 1), (0, 1, 1, 12), concentrate_scale=False)
    assert conc.llf == pytest.approx(full.llf, rel=1e-8)
    np.testing.assert_allclose(conc.params, full.params, rtol=2e-3)
    assert conc.n_evaluations <= full.n_evaluations + 2


def test_loglike_and_criteria_match_dense_likelihood(result, log_y):
    terms = dense_terms(result.params, log_y)
    assert result.nobs == len(terms) == 131
    assert result.k_diffuse == 13 and result.k_params == 3
    # The diffuse states carry a variance of 1e6, not infinity: agreement to ~1e-9.
    assert result.llf == pytest.approx(terms.sum(), rel=1e-8)
    k, n = 3, 131
    assert result.aic == pytest.approx(-2 * result.llf + 2 * k, rel=1e-14)
    assert result.bic == pytest.approx(-2 * result.llf + k * math.log(n), rel=1e-14)
    assert result.hqic == pytest.approx(-2 * result.llf + 2 * k * math.log(math.log(n)),
                                        rel=1e-14)
    assert result.aicc == pytest.approx(result.aic + 2 * k * (k + 1) / (n - k - 1), rel=1e-14)


def _dense_scores(params, y):
    h = 1e-6 * np.maximum(np.abs(params), 1e-3)
    cols = []
    for i in range(3):
        up, dn = params.copy(), params.copy()
        up[i] += h[i]
        dn[i] -= h[i]
        cols.append((dense_terms(up, y) - dense_terms(dn, y)) / (2 * h[i]))
    return np.column_stack(cols)


def test_standard_errors_are_outer_product_of_dense_scores(result, log_y):
    S = _dense_scores(result.params, log_y)
    bse = np.sqrt(np.diag(np.linalg.inv(S.T @ S)))
    np.testing.assert_allclose(result.bse, bse, rtol=1e-3)
    np.testing.assert_allclose(result.cov_params, result.cov_params.T, rtol=1e-12)
    np.testing.assert_allclose(result.zvalues, result.params / bse, rtol=1e-3)
    lo, hi = result.conf_int(0.05).T
    np.testing.assert_allclose((hi - lo) / 2, 1.959963984540054 * result.bse, rtol=1e-12)


@pytest.mark.parametrize("path", ["constrained", "unconstrained", "coordinate-steps"])
def test_hessian_standard_errors_match_dense_hessian(log_y, monkeypatch, path):
    if path != "constrained":
        # As next to the boundary: the Hessian in the unconstrained coordinates, and
        # without the scores' metric there, by steps relative to each coordinate.
        monkeypatch.setattr(korvanta.covariance, "_constrained_hessian", lambda *a: None)
    if path == "coordinate-steps":
        monkeypatch.setattr(korvanta.covariance, "_metric", lambda problem, u: None)
    res = korvanta.fit(log_y, (0, 1, 1), (0, 1, 1, 12), cov_type="hessian")
    p = res.params
    h = 1e-4 * np.maximum(np.abs(p), 1e-3)
    H = central_hessian(lambda q: dense_terms(q, log_y).sum(), p, h)
    np.testing.assert_allclose(res.bse, np.sqrt(np.diag(np.linalg.inv(-H))), rtol=2e-3)


def test_forecast_matches_dense_conditional_distribution(result, log_y):
    fc = result.forecast(HORIZON)
    mean, var = dense_forecast(result.params, log_y, HORIZON)
    np.testing.assert_allclose(fc.mean, mean, rtol=0, atol=1e-9)
    np.testing.assert_allclose(fc.variance, var, rtol=1e-9)
    np.testing.assert_allclose(fc.upper - fc.mean, 1.959963984540054 * np.sqrt(var),
                               rtol=1e-9)
    assert np.all(np.diff(var) > 0)
    # The one-step errors after the burn-in have the size of the innovations.
    resid = result.resid[13:]
    assert np.sqrt(np.mean(resid ** 2)) == pytest.approx(math.sqrt(result.sigma2), rel=0.1)
    np.testing.assert_allclose(result.fittedvalues + result.resid, log_y, rtol=1e-12)


@pytest.mark.parametrize("make", [
    lambda y: korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12)),
    lambda y: korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12)).forecast(3),
    lambda y: korvanta.auto_fit(y[:48], 12, max_p=1, max_q=1, max_P=0, max_Q=1, n_jobs=1),
], ids=["fit", "forecast", "auto_fit"])
def test_records_compare_and_hash_as_objects(log_y, make):
    """A fit or forecast holds arrays: a copy compares unequal to the original (an object
    is equal to itself only) instead of raising, and it can be a set member or dict key."""
    import pickle
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        obj = make(log_y)
    twin = pickle.loads(pickle.dumps(obj))
    assert obj == obj and not obj != obj
    assert obj != twin and not obj == twin
    assert obj in [obj] and twin not in [obj]
    assert len({obj, twin, obj}) == 2 and {obj: 1}[obj] == 1
