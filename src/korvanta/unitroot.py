"""How many differences a series needs: d from KPSS tests, D from the seasonal strength.

`kpss_statistic` is the level-stationarity statistic of Kwiatkowski, Phillips, Schmidt
& Shin (1992): the partial sums of the demeaned series, scaled by a Newey–West estimate
of the long-run variance (Bartlett weights, lag truncation floor(3·sqrt(n)/13), the
choice of Hobijn, Franses & Ooms (2004), who found KPSS's own floor(4·(n/100)^(1/4))
too long in small samples: it absorbs so much autocorrelation into the long-run
variance that the test misses unit roots).  `choose_d` differences until the test no
longer rejects at 5 %.

`seasonal_strength` is the measure of Wang, Smith & Hyndman (2006),
max(0, 1 - Var(R) / Var(S + R)), on a moving-average decomposition: a centred moving
average for the trend and a local mean of each position over neighbouring seasons for
the seasonal part, so it costs O(n) also at m = 365, where seasonal unit-root
regressions with m dummies per lag cost O(n·m²).
`choose_D` takes one seasonal difference when the strength reaches 0.64.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

__all__ = ["kpss_statistic", "kpss_lags", "KPSS_CRITICAL", "choose_d", "magnitude",
           "rounding_only", "seasonal_strength", "choose_D", "SEASONAL_THRESHOLD",
           "SEASONAL_SPAN"]

Vector = npt.NDArray[np.float64]

# Upper-tail critical values of the level-stationarity statistic (KPSS 1992, Table 1).
KPSS_CRITICAL = {0.10: 0.347, 0.05: 0.463, 0.025: 0.574, 0.01: 0.739}
# Deviations from the mean up to this fraction of the values' magnitude are rounding (a
# few units in the last place of each of the differences taken).
_CONSTANT = 1e-13
# Seasonal strength from which a seasonal difference is taken.
SEASONAL_THRESHOLD = 0.64
# Seasons over which the seasonal smoother averages each position (STL's seasonal
# window of the first component in the usual multi-seasonal decomposition).
SEASONAL_SPAN = 11


def magnitude(x: Vector) -> float:
    """The largest magnitude among the finite values of x (0.0 where there are none):
    the scale of their rounding."""
    finite = np.abs(x[np.isfinite(x)])
    return float(finite.max()) if finite.size else 0.0


def rounding_only(x: Vector, size: float | None = None) -> bool:
    """Whether the finite values of x differ from their mean by no more than rounding:
    _CONSTANT of `size`, the magnitude of the values x was computed from (by default its
    own largest).  True where there are none."""
    e = np.asarray(x, dtype=float)
    e = e[np.isfinite(e)]
    if not e.size:
        return True
    if size is None:
        size = float(np.max(np.abs(e)))
    return not float(np.max(np.abs(e - e.mean()))) > _CONSTANT * size


def kpss_lags(n: int) -> int:
    """The lag truncation of the long-run variance: floor(3·sqrt(n)/13)."""
    return int(math.floor(3.0 * math.sqrt(n) / 13.0))


def kpss_statistic(x: Vector, lags: int | None = None, *, size: float | None = None) -> float:
    """The KPSS level-stationarity statistic of `x` (missing values left out): large
    values speak against stationarity.  NaN for fewer than 3 values or an x that is
    constant but for rounding: within _CONSTANT of `size`, the magnitude of the values
    x was computed from (by default its own largest)."""
    e = np.asarray(x, dtype=float)
    e = e[np.isfinite(e)]
    n = e.shape[0]
    if n < 3:
        return math.nan
    # The statistic does not depend on the units: measured in the largest value, the
    # sums of squares neither overflow (values near 1e160) nor underflow (near 1e-160).
    scale = float(np.max(np.abs(e)))
    if not scale > 0:
        return math.nan
    e = e / scale
    if rounding_only(e, 1.0 if size is None else size / scale):
        # Constant but for rounding (a differenced straight line, say): the statistic
        # would be a ratio of rounding errors, whatever the series' units.
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


def choose_d(y: Vector, max_d: int = 2, alpha: float = 0.05, *,
             size: float | None = None) -> int:
    """The smallest d ≤ max_d for which the d-times differenced series passes the KPSS
    test at level alpha (or becomes constant, or too short to test).  `size`: the
    magnitude of the values y was computed from, whose rounding its differences carry
    (by default y's own largest)."""
    critical = KPSS_CRITICAL[alpha]
    z = np.asarray(y, dtype=float)
    if size is None:
        size = magnitude(z)
    for d in range(max_d):
        stat = kpss_statistic(z, size=size)
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
    if idx.size == 0:
        return y[:0]
    y = y[idx[0]:idx[-1] + 1]
    ok = ok[idx[0]:idx[-1] + 1]
    t = np.arange(y.shape[0])
    out: Vector = np.interp(t, t[ok], y[ok])
    return out


def seasonal_strength(y: Vector, m: int, span: int = SEASONAL_SPAN) -> float:
    """max(0, 1 - Var(remainder) / Var(seasonal + remainder)) of an additive decomposition
    with period m; 0 when the series is shorter than two seasons.

    The trend is a centred moving average (length m, or 2×m with half weights at the ends
    for even m).  Each position's values in successive seasons are then smoothed by a
    local mean with tricube weights over `span` seasons, as STL's seasonal smoother does,
    so that a slowly changing seasonal pattern counts as seasonal.  The remainder's
    variance is divided by its degrees of freedom (the observations less the trace of
    the smoother): with few seasons the smoother nearly interpolates, and two seasons'
    worth of data would otherwise look purely seasonal.
    """
    x = _fill(np.asarray(y, dtype=float))
    n = x.shape[0]
    if m < 2 or n < 2 * m:
        return 0.0
    # The strength does not depend on the units: measured in the largest value, the
    # variances neither overflow nor underflow.
    size = magnitude(x)
    if not size > 0:
        return 0.0
    x = x / size
    weights = np.ones(m + 1 - m % 2)
    if m % 2 == 0:
        weights[0] = weights[-1] = 0.5
    weights /= m
    half = weights.shape[0] // 2
    trend = np.convolve(x, weights, mode="valid")
    detrended = np.full(-(-n // m) * m, np.nan)
    detrended[half:n - half] = x[half:n - half] - trend
    if rounding_only(detrended[half:n - half], 1.0):
        # The moving average removed everything (a straight line): what is left is
        # rounding, and its strength would be a ratio of rounding errors.
        return 0.0
    cycles = detrended.reshape(-1, m)               # one row per season
    seen = np.isfinite(cycles)
    observed = np.where(seen, cycles, 0.0)
    # Tricube weights that reach zero `span` seasons apart, however many seasons there
    # are: a window as wide as the series would take a pattern that changes slowly over
    # many seasons for a fixed one that averages out.  Summed over the few seasons in
    # reach, so that the cost stays O(n·span) (a seasons-by-seasons weight matrix took
    # gigabytes at m = 2 and n = 1e5).
    h = span / 2.0
    total_w = seen.astype(float)                    # (seasons, m): weight of the values seen
    weighted = observed.copy()
    for lag in range(1, min(math.ceil(h), cycles.shape[0])):
        wt = (1.0 - (lag / h) ** 3) ** 3
        total_w[lag:] += wt * seen[:-lag]
        total_w[:-lag] += wt * seen[lag:]
        weighted[lag:] += wt * observed[:-lag]
        weighted[:-lag] += wt * observed[lag:]
    safe_w = np.where(total_w > 0, total_w, 1.0)
    season = weighted / safe_w
    trace = float(np.sum(np.where(seen, 1.0 / safe_w, 0.0)))
    values = cycles[seen]
    remainder = values - season[seen]
    dof = values.shape[0] - trace
    total = float(np.var(values, ddof=1))
    if dof <= 0.5 or not total > 0:
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
