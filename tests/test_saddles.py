"""Searches that start on a saddle of the likelihood.

With every other observation missing an AR(1) likelihood is even in phi: the values two
periods apart follow an AR(1) in phi**2, and nothing tells the sign.  The start cannot
regress on the lag (no pair of neighbours is observed), so it starts at phi = 0, where the
slope is zero and the likelihood lowest along phi.  The oracle is the fit of the observed
values as the model they follow: the likelihoods are the same function of (phi**2, the
variance), so the maxima must agree.
"""

import math
import warnings

import numpy as np
import pytest

import korvanta


def _ar1(phi, n, seed, lag=1):
    rng = np.random.default_rng(seed)
    e = rng.normal(size=n + lag)
    y = np.empty(n + lag)
    y[:lag] = e[:lag] / math.sqrt(1 - phi * phi)
    for t in range(lag, n + lag):
        y[t] = phi * y[t - lag] + e[t]
    return y[lag:]


def _fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return korvanta.fit(*args, **kwargs)


@pytest.mark.parametrize("concentrate", [True, False], ids=["concentrated", "full"])
@pytest.mark.parametrize("phi, seed, trend", [(0.8, 0, None), (-0.7, 1, None), (0.5, 2, "c"),
                                              (0.3, 3, None)])
def test_ar1_on_every_other_period(phi, seed, trend, concentrate):
    y = _ar1(phi, 400, seed) + (5.0 if trend else 0.0)
    z = y.copy()
    z[1::2] = np.nan
    res = _fit(z, order=(1, 0, 0), trend=trend, concentrate_scale=concentrate)
    oracle = _fit(y[::2], order=(1, 0, 0), trend=trend)
    a, var = oracle.params[-2], oracle.params[-1]
    assert oracle.converged and a > 0.01
    assert res.converged
    assert res.llf == pytest.approx(oracle.llf, rel=1e-8, abs=1e-8)
    assert res.params[-2] ** 2 == pytest.approx(a, rel=1e-3, abs=1e-3)
    assert res.params[-1] * (1 + res.params[-2] ** 2) == pytest.approx(var, rel=1e-3)
    if trend:
        # The mean is the same in both.
        mean = res.params[0] / (1 - res.params[1])
        assert mean == pytest.approx(oracle.params[0] / (1 - a), rel=1e-3)


@pytest.mark.parametrize("Phi, seed", [(0.75, 4), (-0.6, 5)])
def test_seasonal_ar_on_every_other_season(Phi, seed):
    # Quarterly values observed in alternate years: each quarter's chain steps over a
    # missing year, so the likelihood is that of a yearly-lag-8 AR in Phi**2.
    y = _ar1(Phi, 320, seed, lag=4)
    z = y.copy()
    z[(np.arange(z.size) // 4) % 2 == 1] = np.nan
    res = _fit(z, seasonal_order=(1, 0, 0, 4))
    oracle = _fit(z, seasonal_order=(1, 0, 0, 8))
    assert oracle.converged and oracle.params[0] > 0.01
    assert res.converged
    assert res.llf == pytest.approx(oracle.llf, rel=1e-8)
    assert res.params[0] ** 2 == pytest.approx(oracle.params[0], rel=1e-3)


def test_a_start_at_the_maximum_stays():
    # A search that stops at its start because the start is the maximum keeps it.
    y = _ar1(0.6, 300, 7)
    first = _fit(y, order=(1, 0, 0))
    again = _fit(y, order=(1, 0, 0), start_params=first.params)
    assert again.llf >= first.llf - 1e-9 * abs(first.llf)
    np.testing.assert_allclose(again.params, first.params, rtol=1e-5)
