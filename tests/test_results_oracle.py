"""Forecasts and results of a fit from a user's side, against independent oracles.

The forecast means and variances are checked against the conditional Gaussian
distribution of the future values given the observed ones, built with plain dense
matrices from the model's autocovariances (no state space, no Kalman recursion), and
against the psi-weight and closed forms; the continued dates against pandas' own
`date_range`; the pandas outputs against the series' labels; hostile arguments must
raise InputError and nothing else."""

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy.stats import norm

import korvanta
from korvanta.dates import continue_index

pd = pytest.importorskip("pandas")


def _alias(new, old):
    """pandas' alias of a frequency: the one of pandas 2.2 on ("ME", "h"), else the
    older one ("M", "H")."""
    try:
        pd.tseries.frequencies.to_offset(new)
    except ValueError:
        return old
    return new


ME, QE, YE, HOUR = (_alias("ME", "M"), _alias("QE-DEC", "Q-DEC"), _alias("YE", "A"),
                    _alias("h", "H"))


def _fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return korvanta.fit(*args, **kwargs)


# -- the dense reference ---------------------------------------------------------------

def _lag_poly(coefs, sign, s=1):
    """1 + sign (c1 L^s + c2 L^2s + …) as coefficients of L^0, L^1, …"""
    out = np.zeros(len(coefs) * s + 1)
    out[0] = 1.0
    for i, c in enumerate(coefs):
        out[(i + 1) * s] = sign * c
    return out


def _psi(ar, ma, m):
    """The first m coefficients of ma(L) / ar(L)."""
    psi = np.zeros(m)
    for j in range(m):
        v = ma[j] if j < len(ma) else 0.0
        for i in range(1, min(j, len(ar) - 1) + 1):
            v -= ar[i] * psi[j - i]
        psi[j] = v
    return psi


def _dense_forecast(y, ar, ma, diff, sigma2, mean_w, steps):
    """Conditional means and variances of the `steps` values after y for
    diff(L) y_t = w_t, ar(L) (w_t - mean_w) = ma(L) e_t, Var e_t = sigma2, given the first
    k = len(diff) - 1 values (which fix the differencing, as diffuse states do) and the
    other observed ones (NaN: missing).

    The values after the first k are Y = D^-1 (w + b) with D the differencing as a
    lower-triangular matrix and b the first k values' part; w is stationary with the
    Toeplitz covariance of its autocovariances.  The forecast is the Gaussian
    conditional distribution of Y's future part given its observed part."""
    y = np.asarray(y, dtype=float)
    n, k = y.size, len(diff) - 1
    size = n - k + steps
    psi = _psi(ar, ma, size + 3000)
    acov = sigma2 * np.array([psi[:psi.size - h] @ psi[h:] for h in range(size)])
    gamma = acov[np.abs(np.subtract.outer(np.arange(size), np.arange(size)))]
    D, b = np.eye(size), np.zeros(size)
    for t in range(size):
        for i in range(1, k + 1):
            if t - i >= 0:
                D[t, t - i] = diff[i]
            else:
                b[t] -= diff[i] * y[k + t - i]
    D_inv = np.linalg.inv(D)
    mu = D_inv @ (mean_w + b)
    cov = D_inv @ gamma @ D_inv.T
    seen = np.r_[np.isfinite(y[k:]), np.zeros(steps, dtype=bool)]
    future = np.r_[np.zeros(n - k, dtype=bool), np.ones(steps, dtype=bool)]
    c_ff = cov[np.ix_(future, future)]
    c_fs = cov[np.ix_(future, seen)]
    weights = np.linalg.solve(cov[np.ix_(seen, seen)], c_fs.T).T
    mean = mu[future] + weights @ (y[k:][seen[:n - k]] - mu[seen])
    return mean, np.diag(c_ff - weights @ c_fs.T)


def _polynomials(res):
    """The fit's AR, MA and differencing polynomials and the mean of the differenced
    series (the constant enters the differenced equation: ar(L) w_t = c + ma(L) e_t)."""
    p, d, q = res.order
    P, D, Q, s = res.seasonal_order
    est = dict(zip(res.param_names, res.params))
    ar = np.convolve(_lag_poly([est[f"ar.L{i}"] for i in range(1, p + 1)], -1.0),
                     _lag_poly([est[f"ar.S.L{s * i}"] for i in range(1, P + 1)], -1.0, s or 1))
    ma = np.convolve(_lag_poly([est[f"ma.L{i}"] for i in range(1, q + 1)], 1.0),
                     _lag_poly([est[f"ma.S.L{s * i}"] for i in range(1, Q + 1)], 1.0, s or 1))
    diff = np.array([1.0])
    for _ in range(d):
        diff = np.convolve(diff, [1.0, -1.0])
    for _ in range(D):
        diff = np.convolve(diff, _lag_poly([1.0], -1.0, s))
    return ar, ma, diff, est.get("intercept", 0.0) / np.sum(ar)


def _simulate(n, ar, ma, diff, const, seed):
    rng = np.random.default_rng(seed)
    burn = 200
    e = rng.normal(size=n + burn)
    w = np.zeros(n + burn)
    for t in range(n + burn):
        v = const + e[t] + sum(ma[j] * e[t - j] for j in range(1, len(ma)) if t >= j)
        w[t] = v - sum(ar[i] * w[t - i] for i in range(1, len(ar)) if t >= i)
    w = w[burn:]
    k = len(diff) - 1
    y = np.zeros(n)
    y[:k] = 10.0 + 3.0 * rng.normal(size=k)
    for t in range(k, n):
        y[t] = w[t] - sum(diff[i] * y[t - i] for i in range(1, k + 1))
    return y


MODELS = [
    ((1, 0, 1), (0, 0, 0, 0), "c"),
    ((0, 1, 1), (0, 0, 0, 0), None),
    ((0, 0, 0), (0, 1, 1, 4), None),
    ((0, 1, 1), (0, 1, 1, 4), None),
    ((2, 0, 0), (1, 0, 0, 4), "c"),
    ((1, 1, 1), (0, 0, 0, 0), "c"),
]
MODEL_IDS = ["arma11-c", "ima11", "seasonal-difference", "airline-4", "ar2-sar1-c",
             "arima111-c"]


def _series_for(order, seasonal, trend, seed=1, n=150):
    p, d, q = order
    P, D, Q, s = seasonal
    ar = np.convolve(_lag_poly([0.5, -0.2][:p], -1.0), _lag_poly([0.3] * P, -1.0, s or 1))
    ma = np.convolve(_lag_poly([0.4] * q, 1.0), _lag_poly([-0.5] * Q, 1.0, s or 1))
    diff = np.array([1.0])
    for _ in range(d):
        diff = np.convolve(diff, [1.0, -1.0])
    for _ in range(D):
        diff = np.convolve(diff, _lag_poly([1.0], -1.0, s))
    return _simulate(n, ar, ma, diff, 0.3 if trend else 0.0, seed)


@pytest.mark.parametrize("gaps", [False, True], ids=["complete", "gaps-and-missing-end"])
@pytest.mark.parametrize("order, seasonal, trend", MODELS, ids=MODEL_IDS)
def test_forecast_is_the_conditional_gaussian_forecast(order, seasonal, trend, gaps):
    y = _series_for(order, seasonal, trend)
    if gaps:
        y[[30, 31, 77]] = np.nan
        y[-3:] = np.nan
    res = _fit(y, order, seasonal, trend)
    ar, ma, diff, mean_w = _polynomials(res)
    steps = 9
    mean, var = _dense_forecast(y, ar, ma, diff, res.sigma2, mean_w, steps)
    fc = res.forecast(steps)
    scale = np.nanstd(y)
    np.testing.assert_allclose(fc.mean, mean, rtol=0, atol=1e-8 * scale)
    np.testing.assert_allclose(fc.variance, var, rtol=1e-8)
    # The periods missing at the end are forecasts from the last observation too.
    if gaps:
        before, _ = _dense_forecast(y[:-3], ar, ma, diff, res.sigma2, mean_w, 3)
        np.testing.assert_allclose(res.fittedvalues[-3:], before, rtol=0, atol=1e-8 * scale)


@pytest.mark.parametrize("order, seasonal, trend", MODELS, ids=MODEL_IDS)
def test_forecast_variance_is_the_sum_of_squared_psi_weights(order, seasonal, trend):
    # Far from the start, the filtered state is known exactly: the h-step error is
    # e_{n+h} + psi_1 e_{n+h-1} + … + psi_{h-1} e_{n+1} with the weights of
    # ma(L) / (ar(L) diff(L)).
    y = _series_for(order, seasonal, trend, seed=2, n=300)
    res = _fit(y, order, seasonal, trend)
    ar, ma, diff, _ = _polynomials(res)
    steps = 14
    psi = _psi(np.convolve(ar, diff), ma, steps)
    np.testing.assert_allclose(res.forecast(steps).variance, res.sigma2 * np.cumsum(psi ** 2),
                               rtol=1e-7)


@pytest.mark.parametrize("trend", ["t", "ct"])
def test_time_trend_continues_in_closed_form(trend):
    # y_t = c + delta (t - 1) + phi y_{t-1} + e_t (t = 1, 2, … from the first period): the
    # forecast is the recursion from the last observation, and its variance the AR(1)'s.
    rng = np.random.default_rng(4)
    n = 160
    y = np.zeros(n)
    for t in range(1, n):
        y[t] = (1.0 if trend == "ct" else 0.0) + 0.05 * t + 0.6 * y[t - 1] + rng.normal()
    res = _fit(y, (1, 0, 0), trend=trend)
    est = dict(zip(res.param_names, res.params))
    c, delta, phi = est.get("intercept", 0.0), est["drift"], est["ar.L1"]
    steps = 8
    mean, last = [], y[-1]
    for h in range(1, steps + 1):
        last = c + delta * (n + h - 1) + phi * last
        mean.append(last)
    h = np.arange(1, steps + 1)
    fc = res.forecast(steps)
    np.testing.assert_allclose(fc.mean, mean, rtol=1e-10)
    np.testing.assert_allclose(fc.variance, res.sigma2 * (1 - phi ** (2 * h)) / (1 - phi ** 2),
                               rtol=1e-10)


@pytest.mark.parametrize("form", ["array", "frame", "frame-reordered", "integer-columns"])
def test_regression_forecast_is_the_conditional_forecast_of_its_errors(form):
    # y_t = x_t b + u_t with u an ARMA(1,1) with a constant: the forecast is x_{n+h} b plus
    # u's conditional forecast, whatever form the future regressors come in.
    rng = np.random.default_rng(6)
    n, steps = 140, 6
    X = rng.normal(size=(n + steps, 2))
    u = _simulate(n, _lag_poly([0.5], -1.0), _lag_poly([0.3], 1.0), np.array([1.0]), 0.5, 7)
    y = X[:n] @ [2.0, -1.0] + u
    columns = [0, 1] if form == "integer-columns" else ["price", "promo"]
    exog = X[:n] if form == "array" else pd.DataFrame(X[:n], columns=columns)
    res = _fit(y, (1, 0, 1), trend="c", exog=exog)
    est = dict(zip(res.param_names, res.params))
    names = res.param_names[1:3]
    beta = np.array([est[name] for name in names])
    ar, ma, diff, mean_w = _polynomials(res)
    mean, var = _dense_forecast(y - X[:n] @ beta, ar, ma, diff, res.sigma2, mean_w, steps)
    future = X[n:] if form == "array" else pd.DataFrame(X[n:], columns=columns)
    if form in ("frame-reordered", "integer-columns"):
        future = future[columns[::-1]]
    fc = res.forecast(steps, exog=future)
    np.testing.assert_allclose(fc.mean, X[n:] @ beta + mean, rtol=0, atol=1e-8)
    np.testing.assert_allclose(fc.variance, var, rtol=1e-8)


@pytest.mark.parametrize("pandas", [False, True], ids=["array", "Series"])
def test_applied_estimates_forecast_as_the_reference_does(pandas):
    y = _series_for((0, 1, 1), (0, 1, 1, 4), None, seed=8, n=160) + 1e6
    if pandas:
        y = pd.Series(y, index=pd.date_range("1980-01-01", periods=y.size, freq="QS-JAN"),
                      name="level")
    res = _fit(y, (0, 1, 1), (0, 1, 1, 4))
    # The same series: the same numbers, bit for bit.
    same = res.apply(y)
    assert same.llf == res.llf
    np.testing.assert_array_equal(np.asarray(same.resid), np.asarray(res.resid))
    np.testing.assert_array_equal(np.asarray(same.forecast(5).mean),
                                  np.asarray(res.forecast(5).mean))
    # The first 100 periods: their forecast is the reference's forecast from them, under
    # the dates that follow them.
    short = res.apply(y[:100])
    ar, ma, diff, mean_w = _polynomials(res)
    mean, var = _dense_forecast(np.asarray(y)[:100], ar, ma, diff, res.sigma2, mean_w, 7)
    fc = short.forecast(7)
    np.testing.assert_allclose(fc.mean, mean, rtol=1e-12)
    np.testing.assert_allclose(fc.variance, var, rtol=1e-8)
    if pandas:
        assert fc.mean.index.equals(y.index[100:107])
        assert short.resid.name == "level" and short.resid.index.equals(y.index[:100])


# -- steps and alpha --------------------------------------------------------------------

@pytest.fixture(scope="module")
def dated():
    rng = np.random.default_rng(9)
    index = pd.date_range("2001-01-01", periods=80, freq="MS", name="month")
    X = pd.DataFrame({"price": rng.normal(size=80), "promo": rng.normal(size=80)},
                     index=index)
    y = pd.Series(2.0 * X["price"] - X["promo"] + rng.normal(size=80).cumsum(),
                  index=index, name="sales")
    return y, X, _fit(y, (1, 1, 0), exog=X)


@pytest.mark.parametrize("steps", [np.int8(3), np.uint64(3), np.int64(3), 3])
def test_steps_as_numpy_integers(dated, steps):
    _, X, res = dated
    future = np.ones((3, 2))
    fc = res.forecast(steps, exog=future)
    expected = res.forecast(3, exog=future)
    assert fc.steps == 3 and fc.mean.index.equals(expected.mean.index)
    np.testing.assert_array_equal(fc.mean, expected.mean)


def test_no_steps_is_an_empty_forecast(dated):
    y, X, res = dated
    for future in (None, np.empty((0, 2)), X.iloc[:0]):
        fc = res.forecast(0, exog=future)
        assert fc.steps == 0 and len(fc.mean) == 0 and fc.to_frame().shape == (0, 4)
        assert isinstance(fc.mean.index, pd.DatetimeIndex)
        assert "0 periods ahead" in fc.table()


@pytest.mark.parametrize("alpha", [np.float32(0.1), np.float64(0.2), 0.5, 1e-9, 0.999999])
def test_intervals_leave_alpha_outside_for_any_alpha(dated, alpha):
    _, X, res = dated
    fc = res.forecast(4, exog=np.zeros((4, 2)), alpha=alpha)
    assert fc.alpha == float(alpha)
    for bound, sign in ((fc.upper, 1.0), (fc.lower, -1.0)):
        z = sign * (np.asarray(bound) - np.asarray(fc.mean)) / np.asarray(fc.se)
        np.testing.assert_allclose(norm.sf(z), float(alpha) / 2, rtol=1e-6)
    ci = res.conf_int(alpha)
    np.testing.assert_allclose(norm.sf((ci[:, 1] - res.params) / res.bse), float(alpha) / 2,
                               rtol=1e-6)


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=st.one_of(st.integers(-5, 6), st.floats(allow_nan=True), st.text(max_size=3),
                       st.none(), st.booleans(), st.just(np.float64(2.0))),
       alpha=st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-2, 2),
                       st.text(max_size=3), st.none(), st.booleans()),
       exog=st.one_of(st.none(), st.just("text"), st.just([[1.0, np.nan]] * 3),
                      st.just(np.ones((3, 3))), st.just(np.ones((3, 2, 1))),
                      st.just({"price": [1.0] * 3}), st.just(np.ones((3, 2)))))
def test_hostile_forecast_arguments_raise_input_error(dated, steps, alpha, exog):
    _, _, res = dated
    try:
        fc = res.forecast(steps, exog=exog, alpha=alpha)
    except korvanta.InputError as exc:
        assert str(exc)
        return
    # Accepted: a forecast of that many periods with finite intervals.
    assert fc.steps == steps and 0 < fc.alpha < 1
    assert np.isfinite(np.asarray(fc.lower)).all() and np.isfinite(np.asarray(fc.upper)).all()


# -- pandas labels --------------------------------------------------------------------

def _date_cases():
    return [("B", "2024-01-01", None), ("W-SUN", "2024-01-07", None),
            ("W-MON", "2024-01-01", None), ("MS", "2024-01-01", None), (ME, "2024-01-31", None),
            ("QS-JAN", "2024-01-01", None), (QE, "2024-03-31", None), ("YS", "2000-01-01", None),
            (YE, "2000-12-31", None), (HOUR, "2024-03-09", "US/Eastern"),
            (HOUR, "2024-10-26", "Europe/Berlin"), ("15min", "2024-03-30 20:00", "Europe/Berlin"),
            ("min", "2024-03-31 01:00", "Europe/Berlin"), ("D", "2024-03-01", "US/Eastern"),
            ("MS", "2024-01-01", "Europe/Berlin"), ("7D", "2024-01-01", None)]


@pytest.mark.parametrize("freq, start, tz", _date_cases(),
                         ids=[f"{f}-{tz}" for f, _, tz in _date_cases()])
@pytest.mark.parametrize("stated", [True, False], ids=["freq", "inferred"])
def test_dates_continue_as_pandas_continues_them(freq, start, tz, stated):
    index = pd.date_range(start, periods=30, freq=freq, tz=tz)
    expected = pd.date_range(start=index[-1], periods=6, freq=index.freq)[1:]
    if not stated:
        index = pd.DatetimeIndex(list(index))
        assert index.freq is None
    got = continue_index(index, 30, 5)
    assert got is not None and got.equals(expected) and str(got.tz) == str(expected.tz)


@pytest.mark.parametrize("freq", ["D", "W-SUN", "W-MON", "M", "Q", "Q-NOV", HOUR, "min", "2D",
                                  "3M"])
def test_periods_continue_as_pandas_continues_them(freq):
    index = pd.period_range("2024-01-01", periods=30, freq=freq)
    expected = pd.period_range(index[-1], periods=6, freq=index.freq)[1:]
    got = continue_index(index, 30, 5)
    assert got is not None and got.equals(expected)


@pytest.mark.parametrize("index, expected", [
    (pd.RangeIndex(5, 65, 2), [65, 67, 69]),
    (pd.RangeIndex(100, 40, -2), [40, 38, 36]),
    (pd.RangeIndex(0, 30), [30, 31, 32]),
], ids=["step-2", "backwards", "positions"])
def test_range_index_continues_at_its_step(index, expected):
    y = pd.Series(_series_for((1, 0, 0), (0, 0, 0, 0), None, n=30), index=index)
    assert list(_fit(y, (1, 0, 0)).forecast(3).mean.index) == expected


@pytest.mark.parametrize("index", [
    pd.date_range("2001-01-01", periods=60, freq="W-SUN", name="week"),
    pd.period_range("2001-01", periods=60, freq="M", name="month"),
    pd.RangeIndex(1900, 1960, name="year"),
], ids=["dates", "periods", "years"])
def test_forecast_labels_keep_the_series_labels_name(index):
    # The continued dates came back unnamed: a forecast appended to the series lost the
    # name of its date column.
    y = pd.Series(_series_for((1, 1, 0), (0, 0, 0, 0), None, n=60), index=index,
                  name="sales")
    fc = _fit(y, (1, 1, 0)).forecast(3)
    assert fc.mean.index.name == index.name and fc.to_frame().index.name == index.name
    joined = pd.concat([y, fc.mean])
    assert joined.index.name == index.name and joined.index[-3:].equals(fc.mean.index)


def test_pandas_paths_carry_the_series_labels(dated):
    y, X, res = dated
    for path in (res.resid, res.fittedvalues, res.standardized_resid):
        assert isinstance(path, pd.Series) and path.index.equals(y.index)
        assert path.name == "sales"
    np.testing.assert_allclose(res.resid + res.fittedvalues, y, rtol=1e-12)
    assert res.param_names[:2] == ("price", "promo") and "sales" in res.summary()
    assert res.conf_int().shape == (len(res.params), 2)
    # Leading gaps keep their labels, with NaN paths.
    gappy = y.copy()
    gappy.iloc[:5] = np.nan
    res = _fit(gappy, (1, 1, 0), exog=X)
    assert res.resid.index.equals(y.index) and res.resid.iloc[:5].isna().all()
    assert res.forecast(2, exog=np.zeros((2, 2))).mean.index[0] == pd.Timestamp("2007-09-01")


def test_regressors_must_carry_the_labels_they_stand_for(dated):
    y, X, res = dated
    with pytest.raises(korvanta.InputError, match="exog's index does not match y's index"):
        korvanta.fit(y, (1, 1, 0), exog=X.shift(1, freq="MS"))
    future = pd.DataFrame(np.ones((2, 2)), columns=["promo", "price"],
                          index=pd.date_range("2007-09-01", periods=2, freq="MS"))
    assert res.forecast(2, exog=future).mean.index.equals(future.index)
    with pytest.raises(korvanta.InputError, match="does not match the forecast's periods"):
        res.forecast(2, exog=future.shift(1, freq="MS"))
    with pytest.raises(korvanta.InputError, match="not the fit's regressors"):
        res.forecast(2, exog=future.rename(columns={"promo": "discount"}))
