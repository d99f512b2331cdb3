"""The difference tests of the order search: the KPSS statistic against a plain reference,
and the d and D decisions on series whose structure is known."""

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from korvanta.unitroot import (KPSS_CRITICAL, choose_D, choose_d, kpss_lags, kpss_statistic,
                               seasonal_strength)


def kpss_reference(x, lags):
    """KPSS (1992), eq. (3)-(4), written out term by term with plain loops."""
    n = len(x)
    e = [v - sum(x) / n for v in x]
    partial, s = [], 0.0
    for v in e:
        s += v
        partial.append(s)
    gamma = [sum(e[t] * e[t - j] for t in range(j, n)) / n for j in range(lags + 1)]
    lrv = gamma[0] + 2 * sum((1 - j / (lags + 1)) * gamma[j] for j in range(1, lags + 1))
    return sum(v * v for v in partial) / (n * n * lrv)


def _ar1(rng, n, phi):
    x = np.zeros(n)
    for t in range(1, n):
        x[t] = phi * x[t - 1] + rng.normal()
    return x


RNG = np.random.default_rng(20080727)
SERIES = {"white noise": RNG.normal(size=150), "random walk": np.cumsum(RNG.normal(size=150)),
          "AR(1) 0.7": _ar1(RNG, 150, 0.7)}


@pytest.mark.parametrize("lags", [0, 1, 5, None], ids=lambda v: f"lags={v}")
@pytest.mark.parametrize("name", list(SERIES))
def test_kpss_statistic_matches_the_plain_formula(name, lags):
    x = SERIES[name]
    expected = kpss_reference(list(x), kpss_lags(len(x)) if lags is None else lags)
    assert kpss_statistic(x, lags) == pytest.approx(expected, rel=1e-12)


def test_kpss_by_hand_and_degenerate_inputs():
    # e = (-2, -1, 0, 1, 2), partial sums (-2, -3, -3, -2, 0): 26 / (25 · 10/5) = 0.52
    assert kpss_statistic(np.arange(1.0, 6.0), lags=0) == pytest.approx(0.52, rel=1e-15)
    assert kpss_lags(100) == 2 and kpss_lags(1000) == 7
    assert np.isnan(kpss_statistic(np.full(20, 3.0)))
    assert np.isnan(kpss_statistic(np.array([1.0, np.nan, 2.0])))
    with_gap = SERIES["white noise"].copy()
    with_gap[[3, 50]] = np.nan
    observed = with_gap[np.isfinite(with_gap)]
    assert kpss_statistic(with_gap) == pytest.approx(kpss_statistic(observed))


def _integrated(seed, n, order):
    x = np.random.default_rng(seed).normal(size=n)
    for _ in range(order):
        x = np.cumsum(x)
    return x


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("order", [0, 1, 2], ids=["white noise", "random walk", "I(2)"])
def test_d_from_kpss(order, seed):
    assert choose_d(_integrated(seed, 300, order)) == order


def test_d_stops_at_the_limit_and_on_a_constant_difference():
    assert choose_d(_integrated(4, 300, 2), max_d=1) == 1
    assert choose_d(np.arange(50.0) * 2 + 1) == 1       # a line: its difference is constant
    assert KPSS_CRITICAL[0.05] == 0.463


@pytest.mark.parametrize("scale", [1e-9, 1e-7, 1e-3, 1.0, 1e5])
@pytest.mark.parametrize("level", [0.0, 1e6], ids=["from zero", "from 1e6"])
def test_a_line_is_constant_after_one_difference_in_any_units(scale, level):
    # The differences of a line are constant but for rounding, which depends on the units:
    # a statistic of that rounding took a line at 1e-7 per step for I(2).
    y = level * scale + scale * (0.1 + np.arange(60) * 0.7)
    assert choose_d(y) == 1
    assert np.isnan(kpss_statistic(np.diff(y), size=np.max(np.abs(y))))
    assert not np.isnan(kpss_statistic(y))


def _seasonal(seed, n, m, amplitude):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return 0.05 * t + amplitude * np.sin(2 * np.pi * t / m) + rng.normal(size=n)


@pytest.mark.parametrize("m", [4, 12, 52, 365])
def test_seasonal_strength_decides_D(m):
    n = 4 * m if m > 12 else 12 * m
    assert choose_D(_seasonal(m, n, m, 5.0), m) == 1
    assert choose_D(_seasonal(m, n, m, 0.0), m) == 0
    assert seasonal_strength(_seasonal(m, n, m, 0.0), m) < 0.3


@pytest.mark.parametrize("m", [3, 4, 7, 12])
def test_a_periodic_series_plus_a_line_is_all_season(m):
    t = np.arange(6 * m)
    pattern = np.random.default_rng(m).normal(size=m)
    y = 3.0 + 0.2 * t + pattern[t % m]
    assert seasonal_strength(y, m) == pytest.approx(1.0, abs=1e-9)


def test_seasonal_strength_edge_cases():
    y = _seasonal(9, 48, 12, 5.0)
    assert seasonal_strength(y[:23], 12) == 0.0        # shorter than two seasons
    assert seasonal_strength(y, 1) == 0.0
    gappy = y.copy()
    gappy[[0, 5, 30, 47]] = np.nan                      # interpolated, ends trimmed
    assert seasonal_strength(gappy, 12) == pytest.approx(seasonal_strength(y, 12), abs=0.05)
    assert choose_D(np.full(48, 2.0), 12) == 0


@pytest.mark.parametrize("y", [np.full(48, np.nan), np.array([]),
                               np.r_[np.full(47, np.nan), 1.0]],
                         ids=["all missing", "empty", "one value"])
def test_seasonal_strength_of_nothing_is_zero(y):
    assert seasonal_strength(y, 12) == 0.0
    assert choose_D(y, 12) == 0


finite = st.floats(-1e3, 1e3, allow_nan=False)


@settings(max_examples=60, deadline=None)
@given(st.lists(finite, min_size=30, max_size=80), st.floats(0.01, 100.0), finite,
       st.sampled_from([-1.0, 1.0]))
def test_both_measures_ignore_the_units(values, scale, shift, sign):
    """KPSS and the seasonal strength do not change when the series is measured in other
    units or from another origin (x -> a·x + b)."""
    x = np.asarray(values)
    assume(np.ptp(x) > 1e-3)
    y = sign * scale * x + shift
    k = kpss_statistic(x)
    assert kpss_statistic(y) == pytest.approx(k, rel=1e-6, abs=1e-9)
    assert seasonal_strength(y, 4) == pytest.approx(seasonal_strength(x, 4), rel=1e-6,
                                                    abs=1e-9)
