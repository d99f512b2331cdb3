"""Starting values: a Hannan–Rissanen step on the differenced series.

The regressors' coefficients come from least squares on the differenced data; a long
autoregression then estimates the innovations, and one more least-squares regression of
the series on its own lags and on the lagged innovations gives the ARMA coefficients
(Hannan & Rissanen, 1982).  Multiplicative seasonal models are fitted with the cross lags
as free coefficients, of which only the pure lags are kept.  Coefficients outside the
stationary or invertible region are shrunk towards zero until they are inside.
Regressors whose coefficients the likelihood cannot tell apart are refused first.
"""

from __future__ import annotations

import math
from itertools import accumulate

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .problem import InputError, Problem
from .roots import roots_within

__all__ = ["start_params", "start_candidates", "difference", "check_identified"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

# The lag polynomial 1 (shared, never written to).
_ONE = np.ones(1)
_ONE.flags.writeable = False

# Observations (after differencing) that the start values are estimated from: the last
# ones of a longer series.
_WINDOW = 20_000

# A regressor counts as a combination of the others (and of the constant) where what is
# left of it, per row, is below this share of its largest value: the rounding of sums and
# differences of the data, far below any real regressor's variation.
_COLLINEAR = 1e-12

# Largest root-reciprocal modulus accepted for a starting polynomial: starting right at
# the boundary would put the optimiser where the transform is flat.
_MAX_MODULUS = 0.95


def difference(x: Matrix, d: int, D: int, s: int) -> Matrix:
    """(1 - L)^d (1 - L^s)^D applied along the first axis, keeping the length: the rows
    lost to differencing are NaN."""
    z = np.array(x, dtype=float)
    for _ in range(d):
        z[1:] = z[1:] - z[:-1]
        z[:1] = np.nan
    for _ in range(D):
        z[s:] = z[s:] - z[:-s]
        z[:s] = np.nan
    return z


def _lagged(x: Vector, lags: list[int]) -> Matrix:
    """Columns x_{t-l} for each lag l, NaN where the lag reaches before the start."""
    n = x.shape[0]
    out = np.full((n, len(lags)), np.nan)
    for j, lag in enumerate(lags):
        out[lag:, j] = x[:n - lag]
    return out


def _lstsq(target: Vector, design: Matrix) -> tuple[Vector, Vector] | None:
    """Least squares on the rows where everything is finite: (coefficients, residuals
    with NaN on the rows left out), or None with too few rows."""
    rows = np.isfinite(design).all(axis=1)
    rows &= np.isfinite(target)
    if np.count_nonzero(rows) <= design.shape[1] + 1:
        return None
    resid = np.full(target.shape[0], np.nan)
    if not design.shape[1]:
        # Nothing to regress on (a pure moving average without trend terms): the target
        # itself is the residual.
        resid[rows] = target[rows]
        return np.empty(0), resid
    A, b = design[rows], target[rows]
    coef = _least_squares(A, b)
    resid[rows] = b - A @ coef
    return coef, resid


def _least_squares(A: Matrix, b: Vector) -> Vector:
    """argmin |A x - b|: through the normal equations where there are many columns, far
    from collinear (a quarter of the time of an SVD for the long autoregression's 26
    columns), by the SVD's minimum-norm solution otherwise (cheaper for a few columns)."""
    if A.shape[1] < 8:
        return np.asarray(np.linalg.lstsq(A, b, rcond=None)[0], dtype=np.float64)
    G = A.T @ A
    d = np.sqrt(np.diag(G))
    if (d > 0).all() and np.isfinite(G).all():
        C = G / np.outer(d, d)
        # Cholesky pivots of the correlation form bound how much of each column the
        # others explain: above 1e-3 the squared condition costs at most a few of the
        # digits that a start needs.
        try:
            well_conditioned = bool(np.diag(np.linalg.cholesky(C)).min() > 1e-3)
        except np.linalg.LinAlgError:
            well_conditioned = False
        if well_conditioned:
            x: Vector = np.linalg.solve(C, (A.T @ b) / d) / d
            return x
    return np.asarray(np.linalg.lstsq(A, b, rcond=None)[0], dtype=np.float64)


def _inside(coefs: Vector, sign: float) -> Vector:
    """Shrink lag coefficients towards zero until their polynomial's roots lie well
    outside the unit circle: 1 - sign·(c1 L + c2 L^2 + …)."""
    c = np.array(coefs, dtype=float)
    if c.size == 0:
        return c
    if not np.isfinite(c).all():
        return np.zeros_like(c)
    for _ in range(40):
        if roots_within(c, sign, _MAX_MODULUS):
            return c
        c *= 0.8
    return np.zeros_like(c)


def start_params(problem: Problem) -> Vector:
    """Constrained starting vector in the extension's order, with `sigma2` last."""
    return start_candidates(problem)[0]


def start_candidates(problem: Problem) -> list[Vector]:
    """Constrained starting vectors in the extension's order, with `sigma2` last: the
    best first (by profile likelihood where there are several), then the others.
    Regressors whose coefficients cannot be estimated raise InputError."""
    check_identified(problem)
    p, d, q = problem.order
    P, D, Q, s = problem.seasonal_order
    # The last _WINDOW observations after differencing are plenty for a start of a few
    # digits, and the regressions below hold the series many times over.
    first = max(0, problem.n - (_WINDOW + d + D * s))
    n = problem.n - first
    z = difference(problem.y[first:], d, D, s)
    if problem.trend_powers:
        t = problem.trend_offset + np.arange(first, problem.n)
        trend = np.column_stack([t ** k for k in problem.trend_powers])
    else:
        trend = np.empty((n, 0))
    beta = np.zeros(problem.k_exog)
    if problem.k_exog and problem.exog is not None:
        X = problem.exog.reshape(problem.k_exog, problem.n).T[first:]
        fit = _lstsq(z, np.column_stack([difference(X, d, D, s), trend]))
        if fit is not None:
            beta = fit[0][:problem.k_exog]
            z = z - difference(X, d, D, s) @ beta

    # The regressions below take the constant as a column of ones beside the lags: for a
    # series far from zero against its spread those columns are nearly collinear, and
    # the estimates lose most of their digits.  With a constant and no differencing the
    # series is measured from its mean, which the constant takes back at the end.
    level = _far_level(problem, z)
    if level:
        z = z - level

    s_eff = s if (P or Q) else 1
    ar_lags = sorted({i + s_eff * j for i in range(p + 1) for j in range(P + 1)} - {0})
    ma_lags = sorted({i + s_eff * j for i in range(q + 1) for j in range(Q + 1)} - {0})
    candidates = []
    if ma_lags:
        innovations = _long_ar_residuals(z, trend, max(ma_lags + ar_lags))
        if innovations is not None:
            candidates.append(_regression_step(problem, z, trend, ar_lags, ma_lags,
                                               innovations))
    # The pure autoregression (for a pure moving average, the trend alone): a better
    # start than the above where near-cancelling AR and MA roots make the innovations
    # regression wander off, or where it lands near another local maximum.
    candidates.append(_regression_step(problem, z, trend, ar_lags, [], None))
    estimates = [c for c in candidates if c is not None]
    skip = d + D * s
    if ma_lags and estimates and np.isfinite(z[skip:]).all():
        # Conditional least squares refines the first estimate (it only accepts steps
        # that lower the sum of squares), so it takes that estimate's place.
        refined = _css(problem, z[skip:], trend[skip:], estimates[0], s_eff)
        if refined is not None:
            estimates[0] = refined
    found = [np.concatenate([_level_back(problem, tr, level, ar, sar), beta, ar, ma, sar, sma,
                             [sigma2]])
             for tr, ar, ma, sar, sma, sigma2 in estimates]
    if found:
        return _ranked(problem, found)
    zz = z[np.isfinite(z)]
    k_trend = trend.shape[1]
    tr = np.zeros(k_trend)
    if k_trend and 0 in problem.trend_powers and zz.size:
        tr[problem.trend_powers.index(0)] = float(np.mean(zz))
    sigma2 = float(np.var(zz)) if zz.size > 1 else 1.0
    ar, ma, sar, sma = np.zeros(p), np.zeros(q), np.zeros(P), np.zeros(Q)
    if not np.isfinite(sigma2):
        sigma2 = 1.0
    # A zero variance is kept: it tells the caller the series has nothing to estimate.
    return [np.concatenate([_level_back(problem, tr, level, ar, sar), beta, ar, ma, sar, sma,
                            [sigma2]])]


def check_identified(problem: Problem) -> None:
    """Refuse regressors whose coefficients the likelihood cannot tell apart, naming one.

    The regressors enter the observation equation, so they act on the differenced series
    through their own differences, beside the constant mean that an intercept gives it
    (the ARMA part starts at its mean).  A regressor that the differencing removes (a
    constant with d = 1, seasonal dummies with D = 1), or one that is a combination of
    others or of the intercept (equal or proportional columns, dummies that sum to the
    constant), changes the likelihood only through the diffuse initial states' finite
    prior: the search then drives its coefficient to millions with a likelihood above the
    model without it, or leaves coefficients with standard errors of rounding noise.  A
    regressor of zeros (a dummy that never fires in the sample) does not enter the
    likelihood at all and is accepted: its coefficient has no standard error."""
    if not problem.k_exog or problem.exog is None:
        return
    X = problem.exog.reshape(problem.k_exog, problem.n).T
    # The largest magnitudes without a copy of the regressors.
    size = np.maximum(X.max(axis=0), -X.min(axis=0))
    used = np.flatnonzero(size > 0)
    if not used.size:
        return
    _, d, _ = problem.order
    _, D, _, s = problem.seasonal_order
    skip = d + D * s
    # The last _WINDOW rows first: columns independent there are independent on all rows,
    # and only a dependence found there needs the whole series to confirm it.
    first = max(skip, problem.n - _WINDOW)
    fault = _dependence(problem, X, used, size, first)
    if fault is not None and first > skip:
        fault = _dependence(problem, X, used, size, skip)
    if fault is None:
        return
    i, partners = fault
    name = problem.exog_names[int(used[i])]
    differencing = ", ".join(
        ([f"d={d}"] if d else []) + ([f"D={D}, s={s}"] if D else []))
    if not partners:
        column = X[:, used[i]]
        what = "is constant and so vanishes" if column.min() == column.max() else "vanishes"
        raise InputError(f"exog column {name!r} {what} in the model's differencing "
                         f"({differencing}): its effect cannot be told from the starting "
                         "values that the differencing leaves free, so its coefficient cannot "
                         "be estimated; drop it")
    names = ["the intercept" if j < 0 else repr(problem.exog_names[int(used[j])])
             for j in partners]
    if len(names) > 6:
        names = names[:5] + [f"{len(names) - 5} more columns"]
    listed = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
    where = f"after the model's differencing ({differencing}), " if skip else ""
    raise InputError(f"{where}exog column {name!r} is a linear combination of {listed}: "
                     "the likelihood cannot tell their coefficients apart; drop one of them")


def _dependence(problem: Problem, X: Matrix, used: npt.NDArray[np.intp], size: Vector,
                first: int) -> tuple[int, list[int]] | None:
    """The first of the columns `used` of X (each divided by its largest magnitude,
    `size`) that is, over the rows from `first` on and after the model's differencing, a
    combination of the columns before it and of the constant where the model has an
    intercept: (its position in `used`, the positions of the columns it combines, -1 for
    the constant), or None."""
    _, d, _ = problem.order
    _, D, _, s = problem.seasonal_order
    skip = d + D * s
    constant = 0 in problem.trend_powers
    k = used.size + constant
    # The R factor of the QR decomposition, block by block (bounded memory for long
    # series): |R[i, i]| is what is left of column i beside the columns before it.
    R = np.zeros((0, k))
    for a in range(first, problem.n, _WINDOW):
        b = min(problem.n, a + _WINDOW)
        block = difference(X[a - skip:b, used] / size[used], d, D, s)[skip:]
        if constant:
            block = np.column_stack([np.ones(b - a), block])
        R = np.asarray(np.linalg.qr(np.vstack([R, block]), mode="r"), dtype=np.float64)
    R = np.vstack([R, np.zeros((max(0, k - R.shape[0]), k))])[:k]
    floor = _COLLINEAR * math.sqrt(problem.n - first)
    for i in range(constant, k):
        if abs(R[i, i]) > floor:
            continue
        if np.linalg.norm(R[:i + 1, i]) <= floor:
            return i - constant, []
        # The columns before i are independent: the combination solves R[:i, :i] c =
        # R[:i, i]; its non-negligible coefficients name the columns.
        c = np.linalg.solve(R[:i, :i], R[:i, i])
        big = np.flatnonzero(np.abs(c) > 1e-9 * np.abs(c).max())
        return i - constant, [int(j) - constant for j in big]
    return None


# A series is measured from its mean where that lies further than this many standard
# deviations from zero.
_FAR = 100.0


def _far_level(problem: Problem, z: Vector) -> float:
    """The mean of z where the model has a constant and no differencing and that mean
    lies beyond _FAR standard deviations of z from zero; 0.0 otherwise."""
    if 0 not in problem.trend_powers or problem.order[1] or problem.seasonal_order[1]:
        return 0.0
    observed = z[np.isfinite(z)]
    if observed.size < 2:
        return 0.0
    level = float(np.mean(observed))
    spread = float(np.std(observed))
    return level if math.isfinite(level) and abs(level) > _FAR * spread else 0.0


def _level_back(problem: Problem, tr: Vector, level: float, ar: Vector, sar: Vector) -> Vector:
    """Trend coefficients estimated on the series less `level`, carried to the series
    itself: phi(L) Phi(L^s) (z_t - m) = c + ... is phi(L) Phi(L^s) z_t = c + m phi(1)
    Phi(1) + ..."""
    if not level:
        return tr
    out = np.array(tr, dtype=float)
    out[problem.trend_powers.index(0)] += level * (float(1.0 - ar.sum()) * float(1.0 - sar.sum()))
    return out


Estimate = tuple[Vector, Vector, Vector, Vector, Vector, float]
Polys = tuple[Vector, Vector, Vector, Vector, Vector, Vector]


def _regression_step(problem: Problem, z: Vector, trend: Matrix, ar_lags: list[int],
                     ma_lags: list[int], innovations: Vector | None) -> Estimate | None:
    """Regress z on the trend, its own lags and the lagged innovations: the pure lags'
    coefficients, shrunk into the stationary and invertible regions, and the residual
    variance (zero kept: it tells the caller the series has nothing to estimate)."""
    p, _, q = problem.order
    P, _, Q, s = problem.seasonal_order
    s_eff = s if (P or Q) else 1
    columns = [trend, _lagged(z, ar_lags)]
    if innovations is not None:
        columns.append(_lagged(innovations, ma_lags))
    fit = _lstsq(z, _stack(columns))
    if fit is None:
        return None
    coef, resid = fit
    k_trend = trend.shape[1]
    by_ar = dict(zip(ar_lags, coef[k_trend:k_trend + len(ar_lags)]))
    by_ma = dict(zip(ma_lags, coef[k_trend + len(ar_lags):])) if innovations is not None \
        else {}
    ar = np.array([by_ar[i] for i in range(1, p + 1)])
    sar = np.array([by_ar[s_eff * j] for j in range(1, P + 1)])
    ma = np.array([by_ma.get(i, 0.0) for i in range(1, q + 1)])
    sma = np.array([by_ma.get(s_eff * j, 0.0) for j in range(1, Q + 1)])
    tr = coef[:k_trend]
    r = resid[np.isfinite(resid)]
    sigma2 = float(np.mean(r * r)) if r.size else 1.0
    if problem.enforce_stationarity:
        ar, sar, tr, sigma2 = _stationary(z, trend, ar, sar, s_eff, tr, sigma2)
    if problem.enforce_invertibility:
        ma, sma = _inside(ma, -1.0), _inside(sma, -1.0)
    if not np.isfinite(sigma2):
        sigma2 = 1.0
    return tr, ar, ma, sar, sma, sigma2


def _stationary(z: Vector, trend: Matrix, ar: Vector, sar: Vector, s: int, tr: Vector,
                sigma2: float) -> tuple[Vector, Vector, Vector, float]:
    """AR coefficients shrunk into the stationary region, with the trend coefficients
    and residual variance that go with them.

    The trend coefficients of phi(L) Phi(L^s) z_t = trend_t + ... set the level through
    phi(1) Phi(1): shrinking a persistent series' AR coefficients from near one to 0.8
    while keeping them would put the start's level (and its likelihood) far from the
    data, where the search can stop at once or end at a poor local maximum.  After a
    shrink they are re-estimated by least squares of phi(L) Phi(L^s) z_t on the trend
    terms, and the variance is that regression's residual variance."""
    if roots_within(ar, 1.0, _MAX_MODULUS) and roots_within(sar, 1.0, _MAX_MODULUS):
        return ar, sar, tr, sigma2
    new_ar, new_sar = _inside(ar, 1.0), _inside(sar, 1.0)
    phi = np.convolve(_lag_polynomial(new_ar, 1, -1.0), _lag_polynomial(new_sar, s, -1.0))
    w = np.convolve(z, phi)[:z.shape[0]]
    fit = _lstsq(w, trend)
    if fit is None:
        return new_ar, new_sar, tr, sigma2
    coef, resid = fit
    r = resid[np.isfinite(resid)]
    with np.errstate(over="ignore", invalid="ignore"):
        variance = float(np.mean(r * r))
    return new_ar, new_sar, coef, variance if np.isfinite(variance) else sigma2


def _lag_polynomial(coefs: Vector, step: int, sign: float) -> Vector:
    """1 + sign·(c1 L^step + c2 L^(2·step) + …) as a coefficient vector in L."""
    if not coefs.size:
        return _ONE
    poly = np.zeros(coefs.size * step + 1)
    poly[0] = 1.0
    poly[step::step] = sign * coefs
    return poly


class ConditionalInnovations:
    """The innovations e of phi(L) Phi(L^s) z_t = trend_t + theta(L) Theta(L^s) e_t with
    every filter started from zeros, as a function of the parameter vector (trend, AR,
    MA, seasonal AR, seasonal MA), and their Jacobian."""

    def __init__(self, z: Vector, trend: Matrix, sizes: list[int], s: int) -> None:
        self.z, self.trend, self.s, self.n = z, trend, s, z.shape[0]
        self.sizes = sizes
        bounds = list(accumulate(sizes, initial=0))
        self.blocks = [slice(a, b) for a, b in zip(bounds[:-1], bounds[1:])]

    def polys(self, v: Vector) -> Polys:
        """phi(L), Phi(L^s), theta(L), Theta(L^s), and the products phi Phi and
        theta Theta, as coefficient vectors in L."""
        ar, season_ar, ma, season_ma = (
            _lag_polynomial(v[self.blocks[block]], step, sign)
            for block, step, sign in ((1, 1, -1.0), (3, self.s, -1.0), (2, 1, 1.0),
                                      (4, self.s, 1.0)))
        # Most models have no seasonal block: their products are the plain polynomials.
        return (ar, season_ar, ma, season_ma,
                np.convolve(ar, season_ar) if season_ar.size > 1 else ar,
                np.convolve(ma, season_ma) if season_ma.size > 1 else ma)

    def __call__(self, v: Vector) -> tuple[Vector, Polys]:
        """e = (phi Phi z - trend) / (theta Theta), and the polynomials at v."""
        from scipy.signal import lfilter

        ps = self.polys(v)
        # Convolving with the polynomial 1 would only copy z.
        drive = np.convolve(self.z, ps[4])[:self.n] if ps[4].size > 1 else self.z
        if self.trend.shape[1]:
            drive = drive - self.trend @ v[self.blocks[0]]
        e: Vector = lfilter([1.0], ps[5], drive)
        return e, ps

    def jacobian(self, e: Vector, ps: Polys) -> Matrix:
        """d e / d v at the point where the call gave `e` and `ps`."""
        from scipy.signal import lfilter

        # Every derivative is the denominator's inverse filter applied to a lagged series:
        # d e / d phi_i = -L^i Phi z / (theta Theta), d e / d theta_i = -L^i Theta e /
        # (theta Theta), likewise for the seasonal blocks, and -trend / (theta Theta).
        # The inputs are filtered together, then lagged (the two commute from zeros).
        ar_poly, season_ar, ma_poly, season_ma, _, denominator = ps
        n, s, z, kt = self.n, self.s, self.z, self.sizes[0]
        sources = [(z, season_ar, 1), (e, season_ma, 1), (z, ar_poly, s), (e, ma_poly, s)]
        used = [(b, *src) for b, src in zip(self.blocks[1:], sources) if b.stop > b.start]
        rows = np.empty((kt + len(used), n))
        rows[:kt] = self.trend.T
        for j, (_, series, poly, _) in enumerate(used):
            rows[kt + j] = np.convolve(series, poly)[:n] if poly.size > 1 else series
        f = lfilter([1.0], denominator, rows, axis=-1)
        J = np.zeros((n, sum(self.sizes)))
        J[:, :kt] = -f[:kt].T
        for j, (block, _, _, step) in enumerate(used):
            for col, lag in enumerate(range(step, step * (block.stop - block.start) + 1, step)):
                if lag < n:
                    J[lag:, block.start + col] = -f[kt + j, :n - lag]
        return J


def _css(problem: Problem, z: Vector, trend: Matrix, est: Estimate,
         s: int) -> Estimate | None:
    """Conditional sum of squares from `est`: a few Gauss–Newton steps on the innovations
    of phi(L) Phi(L^s) z_t = trend_t + theta(L) Theta(L^s) e_t, started at zero (the
    Hannan–Rissanen moving-average estimates are biased towards zero in short series)."""
    tr, ar, ma, sar, sma, _ = est
    innovations = ConditionalInnovations(z, trend, [tr.size, ar.size, ma.size, sar.size,
                                                    sma.size], s)
    x = np.concatenate([tr, ar, ma, sar, sma])
    # A step towards a non-invertible polynomial makes the filter grow and the sum of
    # squares rise: the step halving below rejects it.
    e, ps = innovations(x)
    ss = _sum_of_squares(e)
    if not np.isfinite(ss):
        return None
    for _ in range(2):         # two steps take most of the way; more rarely pay
        J = innovations.jacobian(e, ps)
        if not np.isfinite(J).all():
            break
        try:
            step: Vector = np.asarray(np.linalg.solve(J.T @ J, -(J.T @ e)), dtype=np.float64)
        except np.linalg.LinAlgError:
            break
        for _ in range(4):          # halve the step until the sum of squares falls
            e_new, ps_new = innovations(x + step)
            ss_new = _sum_of_squares(e_new)
            if ss_new < ss:
                break
            step = step / 2
        else:
            break
        # A start needs no more than a few digits: the exact likelihood's maximum is
        # elsewhere anyway.
        x, e, ps, done = x + step, e_new, ps_new, ss - ss_new <= 1e-4 * ss
        ss = ss_new
        if done:
            break
    t, a, m, sa, sm = (x[b] for b in innovations.blocks)
    sigma2 = ss / max(z.shape[0], 1)
    if problem.enforce_stationarity:
        a, sa, t, sigma2 = _stationary(z, trend, a, sa, s, t, sigma2)
    if problem.enforce_invertibility:
        m, sm = _inside(m, -1.0), _inside(sm, -1.0)
    return t, a, m, sa, sm, sigma2


def _sum_of_squares(e: Vector) -> float:
    """e'e, inf without a warning when a diverging filter makes it overflow (the step
    halving then rejects the step)."""
    with np.errstate(over="ignore", invalid="ignore"):
        return float(e @ e)


def _ranked(problem: Problem, candidates: list[Vector]) -> list[Vector]:
    """The candidates by profile likelihood (one filter pass each), highest first; ties
    keep their order."""
    if len(candidates) == 1:
        return candidates
    kw = problem.data_kwargs()
    values = [kr.loglike(problem.y, np.ascontiguousarray(c[:-1]), concentrate_scale=True,
                         **kw) for c in candidates]
    scores = [v if np.isfinite(v) else -np.inf for v in values]
    order = sorted(range(len(candidates)), key=lambda i: -scores[i])
    return [candidates[i] for i in order]


def _long_ar_residuals(z: Vector, trend: Matrix, min_order: int) -> Vector | None:
    """Innovations estimated by a long autoregression (with the trend terms)."""
    available = int(np.count_nonzero(np.isfinite(z)))
    order = min(max(2 * min_order, 8), available // 3)
    if order < 1:
        return None
    fit = _lstsq(z, _stack([trend, _lagged(z, list(range(1, order + 1)))]))
    return None if fit is None else fit[1]


def _stack(blocks: list[Matrix]) -> Matrix:
    """The column blocks side by side (without a copy when only one has columns)."""
    wide = [b for b in blocks if b.shape[1]]
    if len(wide) == 1:
        return wide[0]
    return np.column_stack(blocks)
