"""Checks of a fit's standardized residuals: serial correlation, normality and a
changing variance.

The standardized residuals are the one-step prediction errors divided by their standard
deviations, v_t / sqrt(F_t), at the observations the likelihood counts.  Under the model
they are independent standard normal, so a small p-value below says the model leaves
something in the residuals:

- Ljung–Box: Q = n (n + 2) Σ_{k=1}^{m} r_k² / (n − k) against χ² with m − (number of
  ARMA coefficients) degrees of freedom (Box & Pierce 1970, Ljung & Box 1978).  Missing
  observations leave gaps: each r_k is taken over the pairs that are both present.
- Jarque–Bera: JB = n/6 (S² + (K − 3)²/4) against χ² with 2 degrees of freedom, where S
  and K are the residuals' skewness and kurtosis (moments about their mean).
- Heteroskedasticity: H = the sum of squares of the last h residuals over that of the
  first h, h the nearest integer to n/3, against F(h, h), two-sided.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["Diagnostics", "residual_diagnostics", "autocorrelations", "default_lags",
           "standardized"]

Vector = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Diagnostics:
    """The residual checks of a fit (NaN where there are too few residuals for one)."""

    nobs: int                   # standardized residuals the checks use
    lags: int                   # autocorrelations in the Ljung–Box statistic
    ljung_box: float
    ljung_box_df: int           # lags less the ARMA coefficients, at least 0 (p-value NaN at 0)
    ljung_box_pvalue: float
    jarque_bera: float
    jarque_bera_pvalue: float
    skew: float
    kurtosis: float             # 3 for a normal distribution
    heteroskedasticity: float
    heteroskedasticity_pvalue: float


def standardized(errors: Vector, variances: Vector, first: int) -> Vector:
    """v_t / sqrt(F_t) from the `first` counted observation on; NaN before it, where the
    observation is missing and where the variance is not positive."""
    out = np.full(errors.shape[0], np.nan)
    v, f = errors[first:], variances[first:]
    with np.errstate(invalid="ignore", divide="ignore"):
        out[first:] = np.where(f > 0, v / np.sqrt(np.where(f > 0, f, 1.0)), np.nan)
    return out


def default_lags(nobs: int, season: int) -> int:
    """Ten autocorrelations, or two seasons' worth for a seasonal model, but no more than a
    fifth of the residuals (at least one)."""
    wanted = 2 * season if season > 1 else 10
    return max(1, min(wanted, nobs // 5))


def autocorrelations(e: Vector, lags: int) -> Vector:
    """r_1 … r_lags of the residuals `e` (NaN where missing, gaps kept in place), each
    over the pairs that are both present; NaN where not defined, and at a lag with no
    such pair (its sum would be an empty zero, read as no correlation)."""
    present = np.isfinite(e)
    out = np.full(lags, np.nan)
    if np.count_nonzero(present) < 2:
        return out
    with np.errstate(over="ignore", invalid="ignore"):
        x = _unit_scale(np.where(present, e - float(np.mean(e[present])), 0.0))
        denominator = float(x @ x)
        if denominator > 0 and math.isfinite(denominator):
            for k in range(1, min(lags, e.size - 1) + 1):
                if (present[k:] & present[:-k]).any():
                    out[k - 1] = float(x[k:] @ x[:-k]) / denominator
    return out


def _ljung_box(e: Vector, lags: int) -> float:
    """Q over the residuals `e` (NaN where missing)."""
    n = int(np.count_nonzero(np.isfinite(e)))
    if lags < 1 or lags >= n:
        return math.nan
    r = autocorrelations(e, lags)
    return float(n * (n + 2) * np.sum(r * r / (n - np.arange(1, lags + 1))))


def _unit_scale(x: Vector) -> Vector:
    """x over its largest magnitude: every statistic here is a ratio that does not change
    with the scale, and the squares and fourth powers of residuals far from unit size
    (1e-100, 1e100) would underflow or overflow."""
    with np.errstate(invalid="ignore"):
        top = float(np.max(np.abs(x), initial=0.0))
    if not (top > 0 and math.isfinite(top)):
        return x
    out: Vector = x / top
    return out


def _moments(x: Vector) -> tuple[float, float]:
    """Skewness and kurtosis about the mean (NaN for fewer than two values or none
    spread)."""
    if x.size < 2:
        return math.nan, math.nan
    with np.errstate(over="ignore", invalid="ignore"):
        d = _unit_scale(x - float(np.mean(x)))
        m2 = float(np.mean(d * d))
        if not (m2 > 0 and math.isfinite(m2)):
            return math.nan, math.nan
        return float(np.mean(d ** 3)) / m2 ** 1.5, float(np.mean(d ** 4)) / (m2 * m2)


def residual_diagnostics(resid: Vector, k_arma: int, lags: int) -> Diagnostics:
    """The checks on standardized residuals (NaN where missing or not counted); `k_arma`:
    the model's AR and MA coefficients, which the Ljung–Box degrees of freedom lose."""
    from scipy import stats

    e = np.asarray(resid, dtype=np.float64)
    present = _unit_scale(e[np.isfinite(e)])
    n = int(present.size)
    nan = math.nan
    q = _ljung_box(e, lags)
    df = max(lags - k_arma, 0)
    q_p = float(stats.chi2.sf(q, df)) if df >= 1 and math.isfinite(q) else nan

    skew, kurtosis = _moments(present)
    jb = jb_p = nan
    if math.isfinite(skew) and math.isfinite(kurtosis):
        jb = n / 6.0 * (skew * skew + (kurtosis - 3.0) ** 2 / 4.0)
        jb_p = float(stats.chi2.sf(jb, 2))

    h = int(round(n / 3))
    het = het_p = nan
    if h >= 1:
        with np.errstate(over="ignore"):
            early, late = float(present[:h] @ present[:h]), float(present[-h:] @ present[-h:])
        if early > 0 and math.isfinite(early) and math.isfinite(late):
            het = late / early
            het_p = float(min(1.0, 2.0 * min(stats.f.cdf(het, h, h), stats.f.sf(het, h, h))))
    return Diagnostics(nobs=n, lags=lags, ljung_box=q, ljung_box_df=df, ljung_box_pvalue=q_p,
                       jarque_bera=jb, jarque_bera_pvalue=jb_p, skew=skew, kurtosis=kurtosis,
                       heteroskedasticity=het, heteroskedasticity_pvalue=het_p)
