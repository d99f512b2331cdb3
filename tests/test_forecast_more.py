"""Forecasts of a fit against a plain recursion (a trend after leading gaps, a series
ending in gaps, future regressors in any form), and the labels of their periods: dates that
continue on the calendar (month ends, business days, zoned clocks that change), lists of
dates or years, zoned dates in messages, short indexes; intervals at the smallest alpha."""

import datetime
import math

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import korvanta
from korvanta.dates import continue_index, date_text
from korvanta.forecasting import interval_quantile

pd = pytest.importorskip("pandas")


def _ar1_d1_series(n, lead_nan, seed=0):
    """An ARIMA(1,1,0) with a constant and a drift in the differenced equation, its first
    `lead_nan` observations missing."""
    rng = np.random.default_rng(seed)
    t = np.arange(1, n + 1)
    z = np.zeros(n)
    e = rng.normal(size=n)
    for i in range(1, n):
        z[i] = 0.5 * z[i - 1] + 0.3 + 0.02 * t[i] + e[i]
    y = np.cumsum(z)
    y[:lead_nan] = np.nan
    return y


def _recursion(y, params, steps):
    """Forecast means and variances of (1 - phi L)(1 - L) y_t = c + delta x + e_t from the
    last two observations.  The trend is the state's intercept: it moves the state from one
    period to the next, so observation t (1, 2, … from the series' first position, missing
    or not) takes the trend at x = t - 1."""
    c, delta, phi, sigma2 = params
    n = len(y)
    z, level = y[-1] - y[-2], y[-1]
    mean = np.empty(steps)
    for h in range(1, steps + 1):
        z = phi * z + c + delta * (n + h - 1)
        level += z
        mean[h - 1] = level
    psi = np.cumsum(phi ** np.arange(steps))        # weights of 1 / ((1 - phi L)(1 - L))
    return mean, sigma2 * np.cumsum(psi * psi)


@pytest.mark.parametrize("lead_nan", [0, 9])
def test_trend_continues_after_the_sample_as_a_plain_recursion(lead_nan):
    # The trend's time runs on from the series' first position, missing or not.
    y = _ar1_d1_series(150, lead_nan)
    res = korvanta.fit(y, (1, 1, 0), trend="ct")
    fc = res.forecast(12)
    mean, var = _recursion(y, res.params, 12)
    np.testing.assert_allclose(fc.mean, mean, rtol=1e-9)
    np.testing.assert_allclose(fc.variance, var, rtol=1e-7)


@pytest.mark.parametrize("order, seasonal, trend", [
    ((1, 1, 0), (0, 0, 0, 0), "ct"),
    ((0, 1, 1), (0, 1, 1, 4), None),
    ((1, 2, 0), (0, 0, 0, 0), None),
])
def test_a_series_ending_in_missing_values_forecasts_on_from_its_last_observation(
        order, seasonal, trend):
    # m missing values at the end: the forecast is the one from the observed part, m
    # periods further on, with the trend's time unchanged.
    y = _ar1_d1_series(120, 5, seed=1)
    y[:] += 3.0 * np.sin(np.arange(120) * np.pi / 2)
    m = 4
    gappy = y.copy()
    gappy[-m:] = np.nan
    res = korvanta.fit(gappy, order, seasonal, trend)
    short = res.apply(gappy[:-m])
    fc, longer = res.forecast(6), short.forecast(6 + m)
    np.testing.assert_allclose(fc.mean, longer.mean[m:], rtol=1e-10)
    np.testing.assert_allclose(fc.se, longer.se[m:], rtol=1e-8)
    # In-sample: the missing periods hold the first m of the longer forecast.
    np.testing.assert_allclose(res.fittedvalues[-m:], longer.mean[:m], rtol=1e-10)


def _month_ends(first_month, count, step):
    months = np.datetime64(first_month, "M") + step * np.arange(count)
    return (months + np.timedelta64(1, "M")).astype("datetime64[D]") - np.timedelta64(1, "D")


@settings(max_examples=60, deadline=None)
@given(first=st.integers(-400, 400), n=st.integers(2, 40), steps=st.integers(0, 30),
       step=st.sampled_from([1, 2, 3, 6, 12, -1, -3, -12]),
       unit=st.sampled_from(["D", "h", "s", "ns"]),
       day=st.sampled_from([None, 0, 14, 27]))
def test_dates_on_one_day_of_each_month_continue_monthly(first, n, steps, step, unit, day):
    # Month ends (in a CSV file's date column, say) were numbered on: their day steps
    # differ.  So were dates on one day of the month other than the first.
    start = np.datetime64("2000-01", "M") + np.timedelta64(first, "M")
    # The ends of Februaries a year apart, none of them in a leap year, are the 28th too.
    assume(not (day is None and step % 12 == 0 and n < 4))
    if day is None:
        every = _month_ends(start, n + steps, step)
    else:
        every = ((start + step * np.arange(n + steps)).astype("datetime64[D]")
                 + np.timedelta64(day, "D"))
    every = every.astype(f"datetime64[{unit}]") + np.timedelta64(9, "h")
    nxt = continue_index(every[:n], n, steps)
    assert nxt is not None and nxt.dtype == every.dtype
    assert (nxt == every[n:]).all()
    # A pandas DatetimeIndex without a frequency continues the same way (from a few dates
    # pandas may infer a step in days: the 15th of January, April and July are 91 days
    # apart).
    if unit == "ns" and n >= 8:
        got = continue_index(pd.DatetimeIndex(every[:n]), n, steps)
        assert got is not None and (got.to_numpy() == every[n:]).all()


@pytest.mark.parametrize("start, step", [("2000-01-03", 1), ("2000-01-07", 1),
                                         ("2000-01-03", 2), ("2000-02-29", -1)])
def test_business_days_continue_over_the_weekend(start, step):
    days = np.busday_offset(np.datetime64(start), step * np.arange(30))
    for unit in ("D", "m"):
        dates = days.astype(f"datetime64[{unit}]")
        nxt = continue_index(dates[:20], 20, 10)
        assert nxt is not None and (nxt == dates[20:]).all()


def test_dated_arrays_continue_in_the_forecast_and_its_table():
    # A fit labelled with month ends (as `read_series` gives them) numbered its forecast
    # 41, 42, 43.
    y = np.random.default_rng(2).normal(size=40).cumsum()
    dates = _month_ends("2000-01", 40, 1)
    fc = korvanta.fit(y, (1, 1, 0), index=dates).forecast(3)
    assert fc.labels() == ["2003-05-31", "2003-06-30", "2003-07-31"]
    assert "2003-06-30" in fc.table()
    days = np.busday_offset(np.datetime64("2024-01-01"), np.arange(40))
    fc = korvanta.fit(y, (1, 1, 0), index=days).forecast(2)
    assert fc.labels() == ["2024-02-26", "2024-02-27"]
    # Dates on no calendar rule are still numbered.
    odd = np.delete(np.busday_offset(np.datetime64("2024-01-01"), np.arange(41)), 10)
    assert korvanta.fit(y, (1, 1, 0), index=odd).forecast(2).labels() == ["41", "42"]


def test_series_labelled_on_the_15th_take_future_regressors_by_date():
    rng = np.random.default_rng(3)
    dates = pd.date_range("2000-01-01", periods=60, freq="MS") + pd.Timedelta(days=14)
    X = pd.DataFrame({"price": rng.normal(size=60)}, index=dates)
    y = pd.Series(2.0 * X["price"] + rng.normal(size=60).cumsum(), index=dates)
    res = korvanta.fit(y, (1, 1, 0), exog=X)
    future = pd.DataFrame({"price": [1.0, 2.0]},
                          index=pd.DatetimeIndex(["2005-01-15", "2005-02-15"]))
    fc = res.forecast(2, exog=future)
    assert list(fc.mean.index) == list(future.index)
    with pytest.raises(korvanta.InputError, match="does not match the forecast's periods"):
        res.forecast(2, exog=future.set_axis(pd.DatetimeIndex(["2005-01-01", "2005-02-01"])))


@pytest.mark.parametrize("index, expected", [
    (lambda: pd.date_range("2000-01-01", periods=2, freq="MS"), ["2000-03-01", "2000-04-01"]),
    (lambda: pd.date_range("2000-01-03", periods=1, freq="B"), ["2000-01-04", "2000-01-05"]),
    (lambda: pd.DatetimeIndex(["2000-01-01", "2000-01-08"]), ["2000-01-15", "2000-01-22"]),
    (lambda: pd.period_range("2000-01", periods=1, freq="3M"), ["2000-04", "2000-07"]),
], ids=["two-dates", "one-business-day", "two-dates-no-frequency", "one-period"])
def test_short_indexes_continue(index, expected):
    # A forecast from a series of one or two periods (applied to new data) was numbered:
    # pandas infers a frequency from three dates, but these state theirs.
    nxt = continue_index(index(), len(index()), 2)
    assert nxt is not None and [str(v)[:10] for v in nxt] == expected


def test_applied_to_two_new_months_the_forecast_continues_their_dates():
    y = pd.Series(np.random.default_rng(4).normal(size=40).cumsum(),
                  index=pd.date_range("2000-01-01", periods=40, freq="MS"))
    res = korvanta.fit(y, (1, 0, 0))
    new = pd.Series([0.5, 0.7], index=pd.date_range("2010-01-01", periods=2, freq="MS"))
    assert res.apply(new).forecast(2).labels() == ["2010-03-01", "2010-04-01"]


def _days(start, n, step=1):
    return [start + datetime.timedelta(days=step * i) for i in range(n)]


def test_a_list_of_dates_labels_the_series():
    # index=[date, …] was taken as no dates at all: its order went unchecked and the
    # forecast was numbered.
    y = np.random.default_rng(5).normal(size=40)
    dates = _days(datetime.date(2020, 1, 1), 40)
    fc = korvanta.fit(y, (1, 0, 0), index=dates).forecast(2)
    assert fc.labels() == ["2020-02-10", "2020-02-11"]
    stamps = [datetime.datetime(2020, 1, 1, 6) + datetime.timedelta(hours=i) for i in range(40)]
    fc = korvanta.fit(y, (1, 0, 0), index=tuple(stamps)).forecast(1)
    assert fc.labels() == ["2020-01-02 22:00:00"]
    with pytest.raises(korvanta.InputError, match="out of order"):
        korvanta.fit(y, (1, 0, 0), index=dates[:20][::-1] + dates[20:])
    with pytest.raises(korvanta.InputError, match="twice"):
        korvanta.fit(y, (1, 0, 0), index=dates[:39] + dates[38:39])


def test_zoned_dates_are_named_on_their_own_clock():
    # A zoned date was shown in UTC: midnight in Berlin read as 22:00 the day before.
    stamp = pd.Timestamp("2021-04-19", tz="Europe/Berlin")
    assert date_text(stamp) == "2021-04-19"
    assert date_text(pd.Timestamp("2021-04-19 10:30", tz="US/Eastern")) == \
        "2021-04-19T10:30:00"
    dates = pd.date_range("2021-03-20", periods=40, freq="D", tz="Europe/Berlin")
    shuffled = dates[:10][::-1].append(dates[10:])
    y = np.random.default_rng(6).normal(size=40)
    with pytest.raises(korvanta.InputError, match=r"row 10 \(2021-03-30\) follows row 9 "
                                                  r"\(2021-03-20\)"):
        korvanta.fit(pd.Series(y, index=shuffled), (1, 0, 0))
    res = korvanta.fit(pd.Series(y, index=dates), (1, 0, 0), exog=np.arange(40.0))
    future = pd.DataFrame({"x1": [1.0]}, index=pd.DatetimeIndex(["2021-05-01"],
                                                                tz="Europe/Berlin"))
    with pytest.raises(korvanta.InputError, match="labelled 2021-05-01, where 2021-04-29"):
        res.forecast(1, exog=future)


@pytest.mark.parametrize("alpha", [1e-310, 5e-324])
def test_intervals_at_the_smallest_alpha_are_finite(alpha):
    # alpha / 2 rounds to zero at the smallest alpha: the bounds were infinite.
    from scipy.stats import norm

    q = interval_quantile(alpha)
    assert math.isfinite(q)
    assert norm.logsf(q) == pytest.approx(math.log(alpha) - math.log(2.0), rel=1e-9)
    y = np.random.default_rng(7).normal(size=60).cumsum()
    fc = korvanta.fit(y, (1, 1, 0)).forecast(2, alpha=alpha)
    assert np.isfinite(fc.lower).all() and np.isfinite(fc.upper).all()
    np.testing.assert_allclose(fc.upper - fc.mean, q * fc.se, rtol=1e-12)


def test_python_dates_past_pandas_range_continue():
    # pandas holds no nanosecond date after 2262: Python dates beyond it were numbered,
    # though they reach the year 9999.
    ends = [datetime.date(2200 + i, 12, 31) for i in range(100)]
    assert list(continue_index(pd.Index(ends, dtype=object), 100, 2)) == \
        [datetime.date(2300, 12, 31), datetime.date(2301, 12, 31)]
    days = _days(datetime.date(9999, 12, 20), 10)
    assert list(continue_index(days, 10, 2)) == _days(datetime.date(9999, 12, 30), 2)
    assert continue_index(days, 10, 3) is None


@pytest.mark.parametrize("labels, expected", [
    (np.arange(1950, 2000), ["2000", "2001"]),
    (list(range(1900, 2000, 2)), ["2000", "2002"]),
    (np.arange(2000, 1950, -1, dtype=np.uint16), ["1950", "1949"]),
    (np.r_[0, np.arange(2, 51)], ["51", "52"]),
], ids=["years", "list-step-2", "unsigned-backwards", "irregular"])
def test_integer_labels_given_as_an_array_continue(labels, expected):
    # index=years labelled the forecast 51, 52 (a pandas Index of the same years gave
    # 2000, 2001).
    y = np.random.default_rng(8).normal(size=50)
    fc = korvanta.fit(y, (1, 0, 0), index=labels).forecast(2)
    assert fc.labels() == expected


@pytest.mark.parametrize("end, zone, freq, expected", [
    # Chile moves its clocks at midnight: 2022-09-11 has no midnight.
    ("2022-09-09", "America/Santiago", "D",
     ["2022-09-10 00:00:00-04:00", "2022-09-11 01:00:00-03:00", "2022-09-12 00:00:00-03:00"]),
    ("2021-03-26 02:30", "Europe/Berlin", "D",
     ["2021-03-27 02:30:00+01:00", "2021-03-28 03:00:00+02:00", "2021-03-29 02:30:00+02:00"]),
    # 02:30 comes twice on 2021-10-31: the first, in summer time.
    ("2021-10-29 02:30", "Europe/Berlin", "D",
     ["2021-10-30 02:30:00+02:00", "2021-10-31 02:30:00+02:00", "2021-11-01 02:30:00+01:00"]),
    ("2021-03-14 02:30", "Europe/Berlin", "W",
     ["2021-03-21 02:30:00+01:00", "2021-03-28 03:00:00+02:00", "2021-04-04 02:30:00+02:00"]),
], ids=["skipped-midnight", "skipped-time", "repeated-time", "weekly"])
def test_zoned_dates_continue_over_a_clock_change(end, zone, freq, expected):
    # The calendar's next day at a time that the zone skips or repeats raised pandas'
    # NonExistentTimeError or AmbiguousTimeError from forecast().
    index = pd.date_range(end=end, periods=16, freq=freq, tz=zone)
    y = pd.Series(np.random.default_rng(9).normal(size=16), index=index)
    fc = korvanta.fit(y, (1, 0, 0)).forecast(3)
    assert [str(v) for v in fc.mean.index] == expected
    assert fc.labels() == expected


def test_future_regressors_enter_as_a_plain_recursion_in_any_form():
    # y_t = b1 x1_t + b2 x2_t + u_t, (1 - phi L)(1 - L) u_t = e_t: the forecast is the
    # regression on the future values plus u's own recursion from its last two values.
    rng = np.random.default_rng(10)
    n, steps = 120, 5
    X = pd.DataFrame({"price": rng.normal(size=n), "promo": rng.normal(size=n).cumsum()})
    u = np.zeros(n)
    e = rng.normal(size=n)
    for i in range(2, n):
        u[i] = u[i - 1] + 0.4 * (u[i - 1] - u[i - 2]) + e[i]
    y = 1.5 * X["price"] - 0.7 * X["promo"] + u
    res = korvanta.fit(y, (1, 1, 0), exog=X)
    b1, b2, phi, _ = res.params
    future = pd.DataFrame({"price": rng.normal(size=steps), "promo": rng.normal(size=steps)},
                          index=pd.RangeIndex(n, n + steps))
    resid = y.to_numpy() - b1 * X["price"].to_numpy() - b2 * X["promo"].to_numpy()
    du, level, expected = resid[-1] - resid[-2], resid[-1], []
    for h in range(steps):
        du = phi * du
        level += du
        expected.append(b1 * future["price"].iloc[h] + b2 * future["promo"].iloc[h] + level)
    for given in (future, future[["promo", "price"]], future.to_numpy(),
                  future.reset_index(drop=True), future.to_numpy().tolist()):
        np.testing.assert_allclose(np.asarray(res.forecast(steps, exog=given).mean),
                                   expected, rtol=1e-9)


@pytest.mark.parametrize("fit_names", [["x1", "x2"], None, ["a", "b"]],
                         ids=["named-x1-x2", "unnamed", "named"])
def test_future_regressors_named_in_another_order_are_taken_by_name(fit_names):
    """Columns of the fit's regressor names in another order are put back in the fit's
    order, also where those names are the default x1, x2 (taken by position, each would
    stand in for the other)."""
    rng = np.random.default_rng(3)
    X = rng.normal(size=(80, 2))
    y = 10.0 + 2.0 * X[:, 0] - 3.0 * X[:, 1] + rng.normal(size=80)
    exog = X if fit_names is None else pd.DataFrame(X, columns=fit_names)
    res = korvanta.fit(y, (1, 0, 0), trend="c", exog=exog)
    names = list(res.param_names[1:3])
    future = rng.normal(size=(4, 2))
    expected = res.forecast(4, exog=future).mean
    swapped = pd.DataFrame(future[:, ::-1], columns=names[::-1])
    np.testing.assert_array_equal(res.forecast(4, exog=swapped).mean, expected)


def test_a_series_labelled_by_an_array_keeps_its_pandas_outputs():
    # index= given as an array replaced the Series' index, and the paths and forecasts
    # came back as arrays.
    rng = np.random.default_rng(1)
    y = pd.Series(np.cumsum(rng.normal(size=60)) + 10.0)
    dates = np.arange("2001-01", "2006-01", dtype="datetime64[M]")
    res = korvanta.fit(y, (1, 1, 0), index=dates)
    assert isinstance(res.resid, pd.Series) and (res.resid.index == dates).all()
    fc = res.forecast(2)
    assert isinstance(fc.mean, pd.Series)
    assert list(fc.mean.index) == list(pd.to_datetime(["2006-01-01", "2006-02-01"]))


def test_one_period_of_several_regressors_may_be_given_as_its_row():
    rng = np.random.default_rng(2)
    X = rng.normal(size=(80, 2))
    y = X @ [1.0, -2.0] + rng.normal(size=80)
    res = korvanta.fit(y, (1, 0, 0), exog=X)
    np.testing.assert_array_equal(res.forecast(1, exog=[0.5, -0.2]).mean,
                                  res.forecast(1, exog=[[0.5, -0.2]]).mean)
    with pytest.raises(korvanta.InputError,
                       match="exog has 1 column, but the model was fitted with 2 regressors"):
        res.forecast(2, exog=[0.5, -0.2])


@pytest.mark.parametrize("start, freq, tz", [("3000-01-01", "MS", None),
                                             ("1500-03-31", "ME", None),
                                             ("3000-01-01", "D", "Europe/Berlin")])
def test_dates_beyond_nanoseconds_continue(start, freq, tz):
    # An index in seconds holds dates outside the years 1677 to 2262; the forecast's dates
    # were stepped in nanoseconds, failed, and the forecast was numbered 40, 41, ...
    try:
        index = pd.date_range(start, periods=40, freq=freq, unit="s", tz=tz)
    except (TypeError, ValueError):
        pytest.skip("this pandas has no dates in other units than nanoseconds")
    y = np.sin(np.arange(40)) + np.random.default_rng(0).standard_normal(40)
    fc = korvanta.fit(pd.Series(y, index=index), (1, 0, 0)).forecast(3)
    expected = pd.date_range(index[-1], periods=4, freq=index.freq, unit="s")[1:]
    assert fc.index is not None and fc.index.equals(expected)
    assert fc.mean.index.equals(expected)
