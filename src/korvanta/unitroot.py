"""How many differences a series needs: d from KPSS tests, D from the seasonal strength.

`kpss_statistic` is the level-stationarity statistic of Kwiatkowski, Phillips, Schmidt
& Shin (1992): the partial sums of the demeaned series, scaled by a Newey–West estimate
of the long-run variance (Bartlett weights, lag truncation floor(3·sqrt(n)/13), the
choice of Hobijn, Franses & Ooms (2004), who found KPSS's own floor(4·(n/100)^(1/4))
too long in small samples: it absorbs so much autocorrelation into the long-run
variance that the test misses unit roots).  `choose_d` differences until the test no
longer rejects at 5 %.

`seasonal_strength` is the measure of Wang, Smith & Hyndman (2006),
max(0, 1 - Var(R) / Var(S + R)), on a classical moving-average decomposition: one pass
of a centred moving average of length m and m seasonal means, so it costs O(n) also at
m = 365, where seasonal unit-root regressions with m dummies per lag do not.
`choose_D` takes one seasonal difference when the strength reaches 0.64.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

__all__ = ["kpss_statistic", "kpss_lags", "KPSS_CRITICAL", "choose_d",
           "seasonal_strength", "choose_D", "SEASONAL_THRESHOLD"]

Vector = npt.NDArray[np.float64]

# Upper-tail critical values of the level-stationarity statistic (KPSS 1992, Table 1).
KPSS_CRITICAL = {0.10: 0.347, 0.05: 0.463, 0.025: 0.574, 0.01: 0.739}
# Seasonal strength from which a seasonal difference is taken.
SEASONAL_THRESHOLD = 0.64


def kpss_lags(n: int) -> int:
    """The lag truncation of the long-run variance: floor(3·sqrt(n)/13)."""
    return int(math.floor(3.0 * math.sqrt(n) / 13.0))


def kpss_statistic(x: Vector, lags: int | None = None) -> float:
    """The KPSS level-stationarity statistic of `x` (missing values left out): large
    values speak against stationarity.  NaN for fewer than 3 values or a constant x."""
    e = np.asarray(x, dtype=float)
    e = e[np.isfinite(e)]
    n = e.shape[0]
    if n < 3:
        return math.nan
    e = e - e.mean()
    lag = kpss_lags(n) if lags is None else int(lags)
    lag = min(max(lag, 0), n - 1)
    # Newey–West long-run variance with Bartlett weights 1 - s/(lag + 1).
    lrv = float(e @ e) / n
    for s in range(1, lag + 1):
        lrv += 2.0 * (1.0 - s / (lag + 1.0)) * float(e[s:] @ e[:-s]) / n
    if not lrv > 1e-300:
        return math.nan
    partial = np.cumsum(e)
    stat: float = float(partial @ partial) / (n * n * lrv)
    return stat


def choose_d(y: Vector, max_d: int = 2, alpha: float = 0.05) -> int:
    """The smallest d ≤ max_d for which the d-times differenced series passes the KPSS
    test at level alpha (or becomes constant, or too short to test)."""
    critical = KPSS_CRITICAL[alpha]
    z = np.asarray(y, dtype=float)
    for d in range(max_d):
        stat = kpss_statistic(z)
        if not stat > critical:          # NaN (constant or too short) stops as well
            return d
        z = z[1:] - z[:-1]
    return max_d


def _fill(y: Vector) -> Vector:
    """Missing values linearly interpolated; leading and trailing ones dropped."""
    ok = np.isfinite(y)
    if ok.all():
        return y
    idx = np.flatnonzero(ok)
    y = y[idx[0]:idx[-1] + 1]
    ok = ok[idx[0]:idx[-1] + 1]
    t = np.arange(y.shape[0])
    out: Vector = np.interp(t, t[ok], y[ok])
    return out


def seasonal_strength(y: Vector, m: int) -> float:
    """max(0, 1 - Var(remainder) / Var(seasonal + remainder)) of a classical additive
    decomposition with period m; 0 when the series is shorter than two seasons."""
    x = _fill(np.asarray(y, dtype=float))
    n = x.shape[0]
    if m < 2 or n < 2 * m:
        return 0.0
    # Centred moving average: length m for odd m, 2×m (half weights at the ends) for even.
    weights = np.ones(m + 1 - m % 2)
    if m % 2 == 0:
        weights[0] = weights[-1] = 0.5
    weights /= m
    half = weights.shape[0] // 2
    trend = np.convolve(x, weights, mode="valid")
    pos = np.arange(half, n - half)
    detrended = x[pos] - trend
    season = pos % m
    counts = np.bincount(season, minlength=m)
    means = np.bincount(season, weights=detrended, minlength=m) / np.maximum(counts, 1)
    remainder = detrended - means[season]
    # m seasonal means are estimated from the same values: count their degrees of freedom,
    # or two seasons' worth of data (one value per position) would look purely seasonal.
    dof = detrended.shape[0] - int(np.count_nonzero(counts))
    total = float(np.var(detrended, ddof=1))
    if dof <= 0 or not total > 0:
        return 0.0
    rem = float(remainder @ remainder) / dof
    strength: float = max(0.0, 1.0 - rem / total)
    return strength


def choose_D(y: Vector, m: int, max_D: int = 1,
             threshold: float = SEASONAL_THRESHOLD) -> int:
    """Seasonal differences: one while the seasonal strength reaches `threshold`."""
    z = np.asarray(y, dtype=float)
    for D in range(max_D):
        if seasonal_strength(z, m) < threshold:
            return D
        z = z[m:] - z[:-m]
    return max_D
