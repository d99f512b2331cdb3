"""Forecasts of a fit: the extension's forecast at the fitted parameters, bit for bit,
with intervals and the continuing dates of a pandas input."""

import datetime

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _korvanta_rs as kr
import korvanta
from korvanta.dates import continue_index
from pkg_data import KNOWN_OPTIMA, airline, month_end

pd = pytest.importorskip("pandas")


def _extension_kwargs(res):
    pr = res.problem
    return dict(order=pr.order, seasonal_order=pr.seasonal_order,
                trend_powers=list(pr.trend_powers), exog=pr.exog, k_exog=pr.k_exog)


@pytest.mark.parametrize("name, y, exog, order, seasonal, trend, known", KNOWN_OPTIMA,
                         ids=[row[0] for row in KNOWN_OPTIMA])
def test_forecast_is_the_extensions_forecast_bit_for_bit(name, y, exog, order, seasonal,
                                                         trend, known):
    y = y()
    X = None if exog is None else exog()
    res = korvanta.fit(y, order, seasonal, trend, X)
    steps = 7
    future = None if X is None else X[-steps:] * 1.01
    fc = res.forecast(steps, exog=future, alpha=0.1)
    flat = None if future is None else np.ascontiguousarray(future.ravel(order="F"))
    _, _, mean, var = kr.forecast(y, res.params, horizon=steps, exog_future=flat,
                                  **_extension_kwargs(res))
    assert fc.mean.tobytes() == mean.tobytes()
    assert fc.se.tobytes() == np.sqrt(var).tobytes()
    z = 1.6448536269514722
    np.testing.assert_allclose(fc.upper, mean + z * np.sqrt(var), rtol=1e-15)
    np.testing.assert_allclose(fc.lower, mean - z * np.sqrt(var), rtol=1e-15)
    assert fc.labels()[0] == str(len(y) + 1)


@pytest.mark.parametrize("make_index, expected", [
    (lambda: pd.date_range("1949-01-01", periods=144, freq="MS"), "1961-01-01"),
    (lambda: pd.DatetimeIndex(pd.date_range("1949-01-31", periods=144, freq=month_end()).values),
     "1961-01-31"),
    (lambda: pd.period_range("1949-01", periods=144, freq="M"), "1961-01"),
    (lambda: pd.RangeIndex(10, 154), "154"),
], ids=["month-start", "month-end-inferred", "period", "range"])
def test_pandas_forecast_continues_the_index(make_index, expected):
    y = pd.Series(airline(), index=make_index(), name="passengers")
    res = korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12))
    fc = res.forecast(3)
    assert isinstance(fc.mean, pd.Series) and len(fc.mean) == 3
    assert str(fc.mean.index[0]).startswith(expected)
    assert fc.labels()[0].startswith(expected.split(" ")[0])
    assert (fc.mean.index == fc.upper.index).all()
    frame = fc.to_frame()
    assert list(frame.columns) == ["mean", "se", "lower", "upper"]
    assert isinstance(res.resid, pd.Series) and (res.resid.index == y.index).all()
    # The same numbers as for the plain array.
    plain = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).forecast(3)
    assert fc.mean.to_numpy().tobytes() == plain.mean.tobytes()


def test_irregular_dates_give_numbered_periods():
    dates = pd.date_range("2000-01-01", periods=145, freq="D").delete(50)
    y = pd.Series(airline(), index=dates)
    fc = korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12)).forecast(2)
    assert list(fc.mean.index) == [144, 145]
    # The table has the labels of its columns (it was numbered from 0).
    assert fc.to_frame().index.equals(fc.mean.index)
    plain = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).forecast(2)
    assert list(plain.to_frame().index) == [144, 145]


def test_dataframe_regressors_keep_their_names_and_order():
    y = np.log(np.genfromtxt("data/macrodata.csv", delimiter=",", names=True)["realcons"])
    gdp = np.log(np.genfromtxt("data/macrodata.csv", delimiter=",", names=True)["realgdp"])
    frame = pd.DataFrame({"gdp": gdp, "ones_x2": 2.0 * gdp})
    res = korvanta.fit(y, (1, 1, 0), exog=frame[["gdp"]])
    assert res.param_names == ("gdp", "ar.L1", "sigma2")
    arr = korvanta.fit(y, (1, 1, 0), exog=gdp[:, None])
    assert arr.param_names == ("x1", "ar.L1", "sigma2")
    assert res.params.tobytes() == arr.params.tobytes()


def test_future_regressors_are_matched_by_name():
    # Taken by position, a frame with the fit's columns in another order paired each
    # coefficient with another regressor's future values, without a word.
    rng = np.random.default_rng(3)
    X = pd.DataFrame({"price": rng.normal(size=90), "promo": rng.normal(size=90)})
    y = 2.0 * X["price"] - X["promo"] + rng.normal(size=90).cumsum()
    res = korvanta.fit(y, (1, 1, 0), exog=X)
    future = pd.DataFrame({"price": [1.0, 2.0, 3.0], "promo": [0.0, 5.0, -1.0]})
    expected = res.forecast(3, exog=future.to_numpy())
    for given in (future, future[["promo", "price"]], pd.DataFrame(future.to_numpy())):
        got = res.forecast(3, exog=given)
        assert got.mean.to_numpy().tobytes() == expected.mean.to_numpy().tobytes()
    with pytest.raises(korvanta.InputError, match=r"exog's columns \(price, discount\) are "
                                                  r"not the fit's regressors \(price, promo\)"):
        res.forecast(3, exog=future.rename(columns={"promo": "discount"}))
    with pytest.raises(korvanta.InputError, match="not the fit's regressors"):
        res.forecast(3, exog=future.assign(extra=1.0))
    # A fit on an array has no names to match: a frame is taken by position.
    plain = korvanta.fit(y, (1, 1, 0), exog=X.to_numpy())
    assert plain.forecast(3, exog=future[["promo", "price"]]).mean.to_numpy().tobytes() == \
        plain.forecast(3, exog=future[["promo", "price"]].to_numpy()).mean.to_numpy().tobytes()
    # The same columns applied to newer data in another order are the same regressors.
    assert res.apply(y, exog=X[["promo", "price"]]).llf == res.llf


@settings(max_examples=40, deadline=None)
@given(step=st.sampled_from(["D", "M", "Y", "h"]), n=st.integers(2, 50),
       steps=st.integers(0, 30), stride=st.integers(1, 5))
def test_datetime64_continuation_keeps_the_step(step, n, steps, stride):
    dates = np.datetime64("2001-03", step) if step != "h" else np.datetime64("2001-03-01T05")
    index = dates + stride * np.arange(n)
    nxt = continue_index(index, n, steps)
    assert nxt is not None and len(nxt) == steps
    both = np.concatenate([index, nxt])
    assert (np.diff(both.astype(np.int64)) == stride).all()


@settings(max_examples=60, deadline=None)
@given(unit=st.sampled_from(["ns", "us", "s", "D", "M", "Y"]), stride=st.integers(1, 40),
       steps=st.integers(1, 40), back=st.integers(0, 60), monthly=st.booleans())
def test_datetime64_continuation_near_the_end_of_the_range(unit, stride, steps, back,
                                                            monthly):
    # Dates whose continuation runs past the largest one of their type are numbered on,
    # never wrapped around to the other end of the range.
    if monthly:
        last = np.datetime64("2262-04", "M") if unit == "ns" else None
        if last is None:
            return
        index = (last - np.timedelta64(back, "M")
                 - stride * np.arange(3)[::-1]).astype("datetime64[ns]")
    else:
        top = np.iinfo(np.int64).max
        index = (top - back - stride * np.arange(3)[::-1]).astype(f"datetime64[{unit}]")
    nxt = continue_index(index, 3, steps)
    if nxt is not None:
        assert len(nxt) == steps and not np.isnat(nxt).any()
        assert (np.diff(np.concatenate([index, nxt]).astype(np.int64)) > 0).all()


def test_dates_past_pandas_range_are_numbered():
    pd = pytest.importorskip("pandas")
    y = np.random.default_rng(0).normal(size=40).cumsum()
    index = pd.date_range(end="2262-03-01", periods=40, freq="MS")
    in_unit = getattr(index, "as_unit", None)       # pandas 2: other units than ns
    res = korvanta.fit(pd.Series(y, index=index if in_unit is None else in_unit("ns")),
                       (1, 1, 0))
    assert str(res.forecast(1).mean.index[0])[:10] == "2262-04-01"
    far = res.forecast(12)
    assert far.mean.to_numpy().tobytes() == \
        korvanta.fit(y, (1, 1, 0)).forecast(12).mean.tobytes()
    assert not isinstance(far.mean.index, pd.DatetimeIndex)
    if in_unit is None:
        return
    # In seconds pandas holds those dates: they continue, in seconds.
    far = korvanta.fit(pd.Series(y, index=in_unit("s")), (1, 1, 0)).forecast(12)
    assert far.mean.index.equals(pd.date_range("2262-04-01", periods=12, freq="MS", unit="s"))


def test_periods_past_the_largest_ordinal_are_numbered():
    pd = pytest.importorskip("pandas")
    top = np.iinfo(np.int64).max
    ordinals = [top - 12, top - 11, top - 10]
    index = pd.PeriodIndex.from_ordinals(ordinals, freq="D") \
        if hasattr(pd.PeriodIndex, "from_ordinals") else pd.PeriodIndex(ordinal=ordinals,
                                                                          freq="D")
    assert continue_index(index, 3, 20) is None
    assert continue_index(index, 3, 10).asi8[-1] == top


def test_first_of_month_nanosecond_dates_continue_monthly():
    index = np.arange("2020-11", "2021-03", dtype="datetime64[M]").astype("datetime64[ns]")
    nxt = continue_index(index, 4, 2)
    assert [str(d)[:10] for d in nxt] == ["2021-03-01", "2021-04-01"]


def test_first_of_month_dates_continue_monthly():
    index = np.array(["2020-11-01", "2020-12-01", "2021-01-01", "2021-02-01"],
                     dtype="datetime64[D]")
    nxt = continue_index(index, 4, 2)
    assert [str(d) for d in nxt] == ["2021-03-01", "2021-04-01"]


@pytest.mark.parametrize("alpha", [0.05, 1e-3, 1e-6, 1e-12, 1e-20, 1e-300])
def test_intervals_have_their_tail_probability_for_any_alpha(alpha):
    # 1 - alpha/2 loses alpha's digits and rounds to 1 below 1e-16, which made the
    # intervals infinite: each bound must leave alpha/2 beyond it.
    from scipy.stats import norm

    res = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12))
    fc = res.forecast(3, alpha=alpha)
    for bound, sign in ((fc.upper, 1.0), (fc.lower, -1.0)):
        z = sign * (np.asarray(bound) - fc.mean) / fc.se
        np.testing.assert_allclose(norm.sf(z), alpha / 2, rtol=1e-6)
    ci = res.conf_int(alpha)
    z = (ci[:, 1] - res.params) / res.bse
    np.testing.assert_allclose(norm.sf(z), alpha / 2, rtol=1e-6)
    assert f"+/- {norm.isf(alpha / 2):.2f} se" in fc.table()


@pytest.mark.parametrize("index, expected", [
    (np.array(["2020-03-01", "2020-02-01", "2020-01-01"], dtype="datetime64[D]"),
     ["2019-12-01", "2019-11-01"]),
    (np.array(["2020-01-05", "2020-01-03", "2020-01-01"], dtype="datetime64[D]"),
     ["2019-12-30", "2019-12-28"]),
], ids=["months", "days"])
def test_dates_that_run_backwards_continue_backwards(index, expected):
    # A series in reverse time order forecasts the periods before its first date.
    assert [str(d) for d in continue_index(index, 3, 2)] == expected


def test_backcast_past_the_smallest_date_is_numbered():
    bottom = np.iinfo(np.int64).min + 1          # the smallest date; one less is NaT
    index = np.array([bottom + 5, bottom + 3, bottom + 1], dtype="datetime64[s]")
    assert continue_index(index, 3, 1) is None
    index = np.array([bottom + 6, bottom + 4, bottom + 2], dtype="datetime64[s]")
    assert continue_index(index, 3, 1).astype(np.int64)[0] == bottom


def _periods(start, freq, count):
    return pd.period_range(start, periods=count, freq=freq)


@pytest.mark.parametrize("index, expected", [
    # Every other month continues every other month (it went on month by month).
    (lambda: _periods("2000-01", "M", 20)[::2], ["2001-09", "2001-11", "2002-01"]),
    # Periods that run backwards continue before the first (they went on after the last,
    # over the series' own periods).
    (lambda: _periods("2000-01", "M", 10)[::-1], ["1999-12", "1999-11", "1999-10"]),
    (lambda: _periods("2000Q1", "Q", 10)[::-1], ["1999Q4", "1999Q3", "1999Q2"]),
    (lambda: _periods("2000-01", "2M", 10), ["2001-09", "2001-11", "2002-01"]),
    # Irregular periods are numbered on, as irregular dates are.
    (lambda: _periods("2000-01", "M", 10).delete(4), None),
], ids=["every-other-month", "months-backwards", "quarters-backwards", "two-month",
        "irregular"])
def test_period_index_continues_at_its_step(index, expected):
    index = index()
    nxt = continue_index(index, len(index), 3)
    assert (nxt if nxt is None else [str(p) for p in nxt]) == expected


def test_backcast_of_a_period_index_is_labelled_before_the_series():
    index = pd.period_range("1949-01", periods=144, freq="M")[::-1]
    res = korvanta.fit(pd.Series(airline()[::-1], index=index), (0, 1, 1), (0, 1, 1, 12))
    fc = res.forecast(2)
    assert list(fc.mean.index) == list(pd.period_range("1948-11", periods=2, freq="M")[::-1])
    assert fc.labels() == ["1948-12", "1948-11"]


@pytest.mark.parametrize("labels, expected", [
    (np.arange(1950, 2094), [2094, 2095]),
    (np.arange(1000, 1288, 2, dtype=np.uint16), [1288, 1290]),
    (np.arange(500, 356, -1), [356, 355]),
], ids=["years", "unsigned-step-2", "backwards"])
def test_integer_labels_a_constant_step_apart_continue(labels, expected):
    # The forecast was labelled with positions (144, 145), which could be the series' own
    # labels.
    y = pd.Series(airline(), index=pd.Index(labels))
    res = korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12))
    fc = res.forecast(2)
    assert list(fc.mean.index) == expected and fc.labels() == [str(v) for v in expected]
    assert fc.mean.to_numpy().tobytes() == \
        korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).forecast(2).mean.tobytes()
    # Irregular integer labels are still numbered on.
    irregular = pd.Series(airline(), index=pd.Index(np.r_[0, np.arange(2, 145)]))
    assert list(korvanta.fit(irregular, (0, 1, 1), (0, 1, 1, 12)).forecast(2).mean.index) \
        == [144, 145]


def test_future_regressors_labelled_with_the_continued_years():
    rng = np.random.default_rng(4)
    years = pd.Index(np.arange(1901, 1991))
    X = pd.DataFrame({"price": rng.normal(size=90)}, index=years)
    y = pd.Series(2.0 * X["price"] + rng.normal(size=90).cumsum(), index=years)
    res = korvanta.fit(y, (1, 1, 0), exog=X)
    future = pd.DataFrame({"price": [1.0, 2.0]}, index=pd.Index([1991, 1992]))
    fc = res.forecast(2, exog=future)
    assert list(fc.mean.index) == [1991, 1992]
    assert fc.mean.to_numpy().tobytes() == \
        res.forecast(2, exog=future.to_numpy()).mean.to_numpy().tobytes()


def test_business_days_backwards_without_a_frequency_continue():
    # pandas infers no frequency for business days that run backwards.
    dates = pd.DatetimeIndex(list(pd.date_range("2000-01-03", periods=20, freq="B")[::-1]))
    assert dates.freq is None
    nxt = continue_index(dates, 20, 2)
    assert [str(d)[:10] for d in nxt] == ["1999-12-31", "1999-12-30"]


def test_sub_second_dates_keep_distinct_labels():
    # Dates a millisecond apart from midnight all printed as the day.
    from korvanta.dates import date_text

    index = np.datetime64("2000-01-01T00:00:00.000") + np.arange(144)
    fc = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12), index=index).forecast(3)
    assert fc.labels() == ["2000-01-01T00:00:00.144", "2000-01-01T00:00:00.145",
                           "2000-01-01T00:00:00.146"]
    assert date_text(pd.Timestamp("2000-01-01 00:00:00.5")) == "2000-01-01T00:00:00.500"
    assert date_text(np.datetime64("2000-01-01T00:00:00.000000000")) == "2000-01-01"


def test_a_named_series_of_future_regressors_is_matched_by_name():
    # A Series of another regressor stood in for the fitted one, where a one-column table
    # of it is refused.
    rng = np.random.default_rng(5)
    X = pd.DataFrame({"price": rng.normal(size=60)})
    y = 2.0 * X["price"] + rng.normal(size=60).cumsum()
    res = korvanta.fit(y, (1, 1, 0), exog=X)
    values = [1.0, 2.0, 3.0]
    expected = res.forecast(3, exog=np.array(values)[:, None]).mean.to_numpy().tobytes()
    for given in (pd.Series(values, name="price"), pd.Series(values)):
        assert res.forecast(3, exog=given).mean.to_numpy().tobytes() == expected
    with pytest.raises(korvanta.InputError, match=r"exog's columns \(discount\) are not"):
        res.forecast(3, exog=pd.Series(values, name="discount"))
    with pytest.raises(korvanta.InputError, match=r"exog's columns \(discount\) are not"):
        res.apply(y, exog=X["price"].rename("discount"))
    assert res.apply(y, exog=X["price"]).llf == res.llf


def _days(start, n, step=1):
    return [start + datetime.timedelta(days=step * i) for i in range(n)]


@pytest.mark.parametrize("dates, expected", [
    (_days(datetime.date(2020, 1, 1), 40), _days(datetime.date(2020, 2, 10), 3)),
    (_days(datetime.date(2020, 1, 5), 40, 7), _days(datetime.date(2020, 10, 11), 3, 7)),
    ([datetime.date(2018 + i // 12, i % 12 + 1, 1) for i in range(40)],
     [datetime.date(2021, 5, 1), datetime.date(2021, 6, 1), datetime.date(2021, 7, 1)]),
    (_days(datetime.date(2020, 1, 1), 40)[::-1], _days(datetime.date(2019, 12, 31), 3, -1)),
], ids=["daily", "weekly", "monthly", "backwards"])
def test_python_dates_continue(dates, expected):
    # pandas keeps an index of Python dates as objects: its forecast was numbered (40,
    # 41, ...) and its order never checked.
    pd = pytest.importorskip("pandas")
    y = pd.Series(np.random.default_rng(0).normal(size=len(dates)), index=dates)
    fc = korvanta.fit(y, (1, 0, 0)).forecast(3)
    assert list(fc.mean.index) == expected
    reordered = pd.Series(y.to_numpy(), index=dates[:20][::-1] + dates[20:])
    with pytest.raises(korvanta.InputError, match="out of order"):
        korvanta.fit(reordered, (1, 0, 0))


@pytest.mark.parametrize("log", ["no", 0, None])
def test_table_log_switch_must_be_true_or_false(log):
    # log="no" showed the exponentiated forecast.
    fc = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).forecast(2)
    with pytest.raises(korvanta.InputError, match="log must be True or False"):
        fc.table(log=log)
    assert "std.err" in fc.table(log=np.bool_(False)) and "lognormal" in fc.table(log=True)
