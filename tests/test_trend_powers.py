"""Trends in higher powers of time: the search reaches the maximum, or says it did not.

The coefficient of t^3 over 120 periods moves the likelihood by a unit per 1e-7 of its
value, far below the extension's finite-difference step (6e-6 for a coefficient below
one): fits with trend=[3] or [4] stopped at once, up to 190 below the same model without
the trend, and were reported as converged."""

import warnings

import numpy as np
import pytest

import _korvanta_rs as kr
import korvanta
import korvanta.optimize

T = np.arange(1, 121)


def _series(seed):
    rng = np.random.default_rng(seed)
    if seed % 2:
        return 1e-4 * T ** 3 + rng.standard_normal(T.size)
    return np.cumsum(rng.standard_normal(T.size))


@pytest.mark.parametrize("seed", [0, 1, 4, 6, 10, 33])
@pytest.mark.parametrize("trend", [[3], [4], [0, 3], [1, 3], [0, 4], [20]])
def test_a_trend_never_ends_below_the_model_without_it(seed, trend):
    y = _series(seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.BoundaryWarning)
        res = korvanta.fit(y, (1, 0, 0), trend=trend)
        nested = korvanta.fit(y, (1, 0, 0))
        full = korvanta.fit(y, (1, 0, 0), trend=trend, concentrate_scale=False)
    assert res.converged, res.message
    assert res.llf >= nested.llf - 1e-6 * abs(nested.llf), (res.llf, nested.llf)
    # The concentrated and the plain search agree on the maximum.
    assert res.llf == pytest.approx(full.llf, rel=1e-7)


def test_cubic_trend_reaches_the_least_squares_point_and_beyond():
    y = 1e-4 * T ** 3 + np.random.default_rng(0).standard_normal(T.size)
    X = np.r_[1, T[:-1]] ** 3.0
    b = X @ y / (X @ X)
    at_ols = kr.loglike(y, np.array([b, 0.0, np.mean((y - b * X) ** 2)]), (1, 0, 0),
                        (0, 0, 0, 0), [3])
    res = korvanta.fit(y, (1, 0, 0), trend=[3])
    assert res.converged and res.llf > at_ols      # -173.80 against -174.26 (was -259.89)


def test_a_restart_after_steps_too_short_is_not_a_flat_ridge(monkeypatch):
    # Without the rescaling the line search finds no step from the start, the restarts
    # shorten the first step, and the last one creeps forward by 1e-12: that gain is no
    # evidence of a flat ridge, and the fit must not report a maximum there.
    monkeypatch.setattr(korvanta.optimize, "_trend_boost", lambda problem: 1.0)
    y = 1e-4 * T ** 3 + np.random.default_rng(0).standard_normal(T.size)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.ConvergenceWarning)
        res = korvanta.fit(y, (1, 0, 0), trend=[3])
    reached = korvanta.fit(y, (1, 0, 0), trend=[3], concentrate_scale=False).llf
    assert res.converged is False or res.llf >= reached - 1e-6 * abs(reached)
