"""The difference tests on hostile series: extreme units, exact lines, long series whose
seasonal pattern drifts, against plain references written out with loops."""

import tracemalloc

import numpy as np
import pytest

from korvanta.unitroot import (SEASONAL_SPAN, choose_D, choose_d, kpss_lags, kpss_statistic,
                               seasonal_strength)


def kpss_reference(x, lags):
    """KPSS (1992): partial sums of the demeaned series over n² times the Bartlett-weighted
    long-run variance, in plain floats."""
    n = len(x)
    mean = sum(x) / n
    e = [v - mean for v in x]
    s, num = 0.0, 0.0
    for v in e:
        s += v
        num += s * s
    lrv = sum(v * v for v in e) / n
    for j in range(1, lags + 1):
        lrv += 2 * (1 - j / (lags + 1)) * sum(e[t] * e[t - j] for t in range(j, n)) / n
    return num / (n * n * lrv)


def strength_reference(x, m, span=SEASONAL_SPAN):
    """Wang, Smith & Hyndman's max(0, 1 - Var(R)/Var(S+R)) on the decomposition the
    docs describe, term by term: a centred moving average (2×m for even m), each
    position's detrended values smoothed over the seasons by tricube weights that reach
    zero `span` seasons apart, the remainder's variance over its degrees of freedom."""
    n = len(x)
    ma = [1.0 / m] * m if m % 2 else [0.5 / m] + [1.0 / m] * (m - 1) + [0.5 / m]
    half = len(ma) // 2
    detrended = {t: x[t] - sum(w * x[t - half + i] for i, w in enumerate(ma))
                 for t in range(half, n - half)}
    values, rss, trace = [], 0.0, 0.0
    for t, v in detrended.items():
        num = den = 0.0
        for u, w in detrended.items():
            if u % m == t % m:
                r = abs(u // m - t // m) / (span / 2)
                weight = max(0.0, 1 - r ** 3) ** 3
                num += weight * w
                den += weight
        values.append(v)
        rss += (v - num / den) ** 2
        trace += 1.0 / den
    total = np.var(values, ddof=1)
    return max(0.0, 1 - rss / (len(values) - trace) / total)


RNG = np.random.default_rng(1992)
WALK = np.cumsum(RNG.normal(size=120))
NOISE = RNG.normal(size=120)
T = np.arange(144)
SEASONAL = 10 + 0.1 * T + 4 * np.sin(2 * np.pi * T / 12) + RNG.normal(size=144)


@pytest.mark.parametrize("scale", [1e-200, 1e-160, 1.0, 1e160, 1e200])
def test_kpss_and_d_in_any_units(scale):
    # The sums of squares of values near 1e±160 over- or underflowed: NaN, which passed
    # as stationary (a random walk got d = 0).
    for x, d in [(WALK, 1), (NOISE, 0)]:
        expected = kpss_reference(list(x), kpss_lags(len(x)))
        assert kpss_statistic(scale * x) == pytest.approx(expected, rel=1e-9)
        assert choose_d(scale * x) == d


@pytest.mark.parametrize("scale", [1e-200, 1e-160, 1.0, 1e160, 1e200])
def test_seasonal_strength_and_D_in_any_units(scale):
    expected = strength_reference(list(SEASONAL), 12)
    assert expected > 0.64
    assert seasonal_strength(scale * SEASONAL, 12) == pytest.approx(expected, rel=1e-9)
    assert choose_D(scale * SEASONAL, 12) == 1


@pytest.mark.parametrize("m", [4, 7, 12])
@pytest.mark.parametrize("scale, level", [(1e-9, 0.0), (1.0, 0.0), (1.0, 1e6), (1e6, 1e6)])
def test_a_straight_line_has_no_seasonal_strength(m, scale, level):
    # The moving average leaves only rounding of a line: its strength was a ratio of
    # rounding errors (1.0 at a level of 1e6, 0.6 from zero), and D depended on the units.
    y = scale * (level + 0.5 * np.arange(10 * m))
    assert seasonal_strength(y, m) == 0.0
    assert choose_D(y, m) == 0


@pytest.mark.parametrize("seasons", [14, 30, 120])
def test_a_pattern_that_drifts_over_many_seasons_is_seasonal(seasons):
    # The pattern turns round once over the series but stays nearly the same over 11
    # seasons: a window as wide as the series averaged it out (0.59 at 120 seasons).
    m = 4
    t = np.arange(seasons * m)
    rng = np.random.default_rng(seasons)
    y = (np.array([3.0, -1.0, -4.0, 2.0])[t % m] * np.cos(2 * np.pi * t / t.size)
         + 0.3 * rng.normal(size=t.size))
    expected = strength_reference(list(y), m)
    assert seasonal_strength(y, m) == pytest.approx(expected, rel=1e-9)
    if seasons >= 30:
        assert expected > 0.9 and choose_D(y, m) == 1


@pytest.mark.parametrize("n, m", [(50, 12), (61, 7), (25, 12), (100, 3)],
                         ids=["12 into 50", "7 into 61", "just over two seasons", "m=3"])
def test_strength_matches_the_reference_where_the_season_does_not_divide_n(n, m):
    t = np.arange(n)
    y = np.sin(2 * np.pi * t / m) + np.random.default_rng(n).normal(size=n)
    assert seasonal_strength(y, m) == pytest.approx(strength_reference(list(y), m),
                                                    rel=1e-9, abs=1e-12)


def test_counts_with_many_zeros_and_gaps():
    y = np.random.default_rng(5).poisson(0.3, size=96).astype(float)
    assert kpss_statistic(y) == pytest.approx(kpss_reference(list(y), kpss_lags(96)))
    gappy = y.copy()
    gappy[[0, 1, 40, 95]] = np.nan
    filled = gappy[2:95].copy()
    filled[38] = (filled[37] + filled[39]) / 2            # interpolated, ends trimmed
    assert seasonal_strength(gappy, 12) == pytest.approx(
        strength_reference(list(filled), 12), rel=1e-9, abs=1e-12)
    assert np.isnan(kpss_statistic(np.r_[np.nan, 0.0, 0.0, np.nan]))


def test_seasonal_strength_of_a_long_series_with_a_short_season_stays_small():
    # A seasons-by-seasons weight matrix: 800 MB for 20000 values at m = 2, 20 GB at 1e5.
    y = np.random.default_rng(2).normal(size=20000)
    tracemalloc.start()
    try:
        strength = seasonal_strength(y, 2)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 20e6
    assert 0.0 <= strength < 0.64
    short = y[:400]
    assert strength_reference(list(short), 2) == pytest.approx(seasonal_strength(short, 2),
                                                               rel=1e-9, abs=1e-12)
