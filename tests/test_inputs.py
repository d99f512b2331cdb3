"""Bad input is reported with a clear error before any fitting starts; problems found
by a fit are reported as such, never as a clean success."""

import datetime
import re
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvanta
import korvanta.estimate as fit_module
import korvanta.names as names
from korvanta import InputError
from korvanta.problem import make_problem
from pkg_data import airline

Y = airline()
X = np.column_stack([np.arange(144.0), np.cos(np.arange(144.0))])


@pytest.fixture
def no_search(monkeypatch):
    """Fail the test if the likelihood search starts."""
    def refuse(*args, **kwargs):
        raise AssertionError("the fit started")
    monkeypatch.setattr(fit_module, "maximize", refuse)


BAD = {
    "text-series": (dict(y=["a", "b"] * 40), "y must be numeric"),
    "two-dimensional-series": (dict(y=np.ones((40, 2))), "y must be one-dimensional"),
    "empty-series": (dict(y=[]), "y is empty"),
    "infinite-value": (dict(y=np.r_[Y[:50], np.inf, Y[51:]]), "infinite value at position 50"),
    "all-missing": (dict(y=np.full(144, np.nan)), "every observation of y is missing"),
    "too-short": (dict(y=Y[:20], order=(0, 1, 1), seasonal_order=(0, 1, 1, 12)),
                  "needs at least 13 usable observations after the first 13"),
    "too-many-lags": (dict(y=Y[:30], order=(40, 0, 0)), "order (40, 0, 0) is too large"),
    "period-longer-than-series": (dict(y=Y, seasonal_order=(0, 1, 1, 200)),
                                  "seasonal period s=200 is longer than the series"),
    "period-one": (dict(y=Y, seasonal_order=(0, 1, 1, 1)),
                   "Seasonal periodicity must be greater than 1."),
    "negative-order": (dict(y=Y, order=(-1, 1, 1)), "order must not be negative"),
    "short-order": (dict(y=Y, order=(1, 1)), "order must have 3 entries"),
    "float-order": (dict(y=Y, order=(1.5, 1, 1)), "order must hold integers"),
    "unknown-trend": (dict(y=Y, trend="quadratic"), "trend must be None"),
    "repeated-trend-power": (dict(y=Y, trend=[0, 0]), "trend powers must be distinct"),
    # A number raised a bare "'int' object is not iterable", bytes were read as powers (99).
    "number-trend": (dict(y=Y, trend=3), "trend must be None, 'n', 'c', 't', 'ct' or a list "
                     "of powers; got 3"),
    "bytes-trend": (dict(y=Y, trend=b"c"), "a list of powers; got b'c'"),
    # t**200 overflows at t = 144: the fit ran on and reported an infinite log-likelihood.
    "trend-power-overflows": (dict(y=Y, trend=[200]), "trend power 200 makes t**200 reach "
                              "about 1e431 at the series' end (t = 144)"),
    "exog-wrong-rows": (dict(y=Y, exog=X[:100]), "exog has 100 rows, but 144 are needed"),
    "exog-3d": (dict(y=Y, exog=np.ones((144, 2, 2))), "exog must be two-dimensional"),
    "exog-nan": (dict(y=Y, exog=np.where(np.arange(144)[:, None] == 7, np.nan, X)),
                 "exog has a non-finite value (nan) in row 7, column 0"),
    "exog-text": (dict(y=Y, exog=np.array([["a"]] * 144)), "exog must be numeric"),
    # Text that parses as numbers was converted silently, unlike a table's text column.
    "exog-numeric-text": (dict(y=Y, exog=X.astype(str)), "exog must be numeric; it holds text"),
    "exog-object-text": (dict(y=Y, exog=np.c_[X[:, :1], X[:, 1:].astype(str)].astype(object)),
                         "exog must be numeric; it holds text"),
    "series-numeric-text": (dict(y=[str(v) for v in Y]), "y must be numeric; it holds text"),
    "series-bytes": (dict(y=Y.astype(bytes)), "y must be numeric; it holds text"),
    # A ValueError of NumPy's for the first; the second was parsed.
    "text-start": (dict(y=Y, start_params="abc"), "start_params must be numeric; it holds text"),
    "numeric-text-start": (dict(y=Y, start_params=["0.01"]),
                           "start_params must be numeric; it holds text"),
    # bool("no") is True: the fit printed every iteration for verbose="no".
    "text-flag": (dict(y=Y, verbose="no"), "verbose must be True or False; got 'no'"),
    "number-flag": (dict(y=Y, enforce_stationarity=0),
                    "enforce_stationarity must be True or False; got 0"),
    "none-flag": (dict(y=Y, concentrate_scale=None),
                  "concentrate_scale must be True or False; got None"),
    # A date column given for the values: its numbers are days (or nanoseconds) since 1970.
    "dates-series": (dict(y=np.arange(144).astype("datetime64[D]")),
                     "y must be numeric; it holds values of type datetime64[D]"),
    "durations-exog": (dict(y=Y, exog=np.arange(144).astype("timedelta64[s]")[:, None]),
                       "exog must be numeric; it holds values of type timedelta64[s]"),
    "masked-exog": (dict(y=Y, exog=np.ma.masked_array(X, mask=np.arange(288).reshape(144, 2)
                                                      == 9)),
                    "exog has a non-finite value (nan) in row 4, column 1"),
    "bad-cov-type": (dict(y=Y, cov_type="sandwich"), "cov_type must be one of opg, hessian"),
    "bad-maxiter": (dict(y=Y, maxiter=0), "maxiter must be a positive integer"),
    "callback-not-callable": (dict(y=Y, callback=42), "callback must be callable"),
    "start-wrong-length": (dict(y=Y, order=(0, 1, 1), start_params=[0.1]),
                           "start_params has 1 entries, but the model has 2"),
    "start-not-invertible": (dict(y=Y, order=(0, 1, 1), start_params=[-1.5, 1.0]),
                             "start_params must be stationary and invertible"),
    "index-wrong-length": (dict(y=Y, index=np.arange(10)), "index has 10 labels"),
    "huge-values": (dict(y=Y * 1e130), "y has a value of magnitude 6.43e+130 at position 138"),
    "tiny-values": (dict(y=Y * 1e-200), "y is too small in magnitude (largest 6.43e-200)"),
    "exog-huge": (dict(y=Y, exog=X * 1e119), "exog has a value of magnitude 1.43e+121 in row"),
    "exog-tiny-column": (dict(y=Y, exog=np.column_stack([X[:, 0], X[:, 1] * 1e-125])),
                         "exog is too small in magnitude in column 1"),
}


@pytest.mark.parametrize("kwargs, message", list(BAD.values()), ids=list(BAD))
def test_bad_input_is_rejected_before_fitting(no_search, kwargs, message):
    with pytest.raises(InputError) as info:
        korvanta.fit(**kwargs)
    assert message in str(info.value)


def test_masked_values_are_missing_values():
    # np.asarray drops a mask: the numbers stored under it were fitted as observations.
    mask = np.arange(144) % 11 == 3
    masked = korvanta.fit(np.ma.masked_array(Y, mask=mask), (0, 1, 1), (0, 1, 1, 12))
    plain = korvanta.fit(np.where(mask, np.nan, Y), (0, 1, 1), (0, 1, 1, 12))
    assert masked.params.tobytes() == plain.params.tobytes() and masked.nobs == plain.nobs
    # Without masked entries it is the series itself.
    whole = korvanta.fit(np.ma.masked_array(Y), (0, 1, 1), (0, 1, 1, 12))
    assert whole.params.tobytes() == korvanta.fit(Y, (0, 1, 1), (0, 1, 1, 12)).params.tobytes()


def test_pandas_exog_names_and_non_numeric_columns(no_search):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"gdp": X[:, 0], "label": ["a"] * 144})
    with pytest.raises(InputError, match="column 'label' is not"):
        korvanta.fit(Y, (1, 0, 0), exog=frame)
    # Two columns of one name (an AttributeError from pandas before): each name labels
    # one coefficient.
    twice = pd.DataFrame(X, columns=["gdp", "gdp"])
    with pytest.raises(InputError, match="more than one column named 'gdp'"):
        korvanta.fit(Y, (1, 0, 0), exog=twice)
    # A column named like a parameter gave two coefficients one name, which the summary
    # and the tables look up by name.
    for name, model in (("ar.L1", dict(order=(1, 0, 0))), ("sigma2", {}),
                        ("intercept", dict(trend="c")),
                        ("ma.S.L12", dict(seasonal_order=(0, 1, 1, 12)))):
        clash = pd.DataFrame({name: X[:, 0]})
        with pytest.raises(InputError, match=f"exog column '{re.escape(name)}' has the name "
                           "of one of the model's parameters"):
            korvanta.fit(Y, exog=clash, **model)
    # Without such a parameter, the name is free.
    assert make_problem(Y, (0, 0, 0), (0, 0, 0, 0), None,
                        pd.DataFrame({"ar.L1": X[:, 0]})).param_names == ("ar.L1", "sigma2")


@pytest.mark.parametrize("args, message", [
    (((0, 0, 0), (0, 0, 0, 0), [1.5]), "trend must hold integers"),
    (((0, 0, 0), (0, 0, 0, 0), [1, 1]), "trend powers must be distinct"),
    (((1, 0), (0, 0, 0, 0)), "order must have 3 entries"),
    (((-1, 0, 0), (0, 0, 0, 0)), "order must not be negative"),
    (((1, 0, 0), (1, 0, 0, 1)), "invalid model order"),
    (((1, 0, 0), (0, 0, 0, 0), (), "x1"), "exog_names must be a sequence of strings"),
    (((1, 0, 0), (0, 0, 0, 0), (), 5), "exog_names must be a sequence of strings"),
])
def test_parameter_names_of_a_model_that_fit_refuses(args, message):
    with pytest.raises(InputError, match=message):
        korvanta.param_names(*args)


def test_parameter_names_are_those_of_the_fit():
    with pytest.warns(korvanta.ConvergenceWarning):
        res = korvanta.fit(Y, (1, 0, 0), (0, 0, 0, 0), "ct", X[:, :1], maxiter=1)
    assert korvanta.param_names((1, 0, 0), (0, 0, 0, 0), "ct", ["x1"]) == res.param_names
    assert korvanta.param_names((1, 0, 0), (0, 0, 0, 0), [0, 1], iter(["x1"]),
                                include_sigma2=False) == res.param_names[:-1]


@pytest.fixture(scope="module")
def fitted():
    return korvanta.fit(Y, (0, 1, 1), (0, 1, 1, 12))


@pytest.mark.parametrize("steps, exog, message", [
    (-1, None, "steps must not be negative"),
    (2.5, None, "steps must be an integer"),
    (2 ** 25 + 1, None, "beyond the longest forecast"),
    (3, np.ones((3, 1)), "exog has 1 column, but the model was fitted with 0 regressors"),
], ids=["negative", "fractional", "unreachable", "exog-for-model-without"])
def test_bad_forecast_requests(fitted, steps, exog, message):
    with pytest.raises(InputError, match=message):
        fitted.forecast(steps, exog=exog)


@pytest.mark.parametrize("alpha", [0, 1, -0.1, float("nan"), "0.05", True, None])
def test_bad_interval_levels(fitted, alpha):
    # A string used to end in a TypeError from a comparison, not in a message.
    for call in (fitted.conf_int, lambda a: fitted.forecast(2, alpha=a)):
        with pytest.raises(InputError, match="alpha must be a number strictly between 0 and 1"):
            call(alpha)


def test_forecast_of_a_regression_needs_future_regressors():
    res = korvanta.fit(Y, (1, 1, 0), exog=X[:, 1:])
    with pytest.raises(InputError, match="exog is required: the model has 1 regressor and needs its "
                       "4 future values"):
        res.forecast(4)
    # No periods need no future values.
    assert res.forecast(0).mean.size == 0
    with pytest.raises(InputError, match="exog has 3 rows, but 4 are needed"):
        res.forecast(4, exog=np.ones((3, 1)))
    with pytest.raises(InputError, match="exog has a value of magnitude 1e\\+200"):
        res.forecast(4, exog=np.full((4, 1), 1e200))


def test_labelled_regressors_must_carry_the_observations_labels():
    # Rows are taken in order: a table of regressors in another order, or from other
    # dates, would pair each observation with another row's values.
    pd = pytest.importorskip("pandas")
    dates = pd.date_range("1949-01-01", periods=144, freq="MS")
    y = pd.Series(Y, index=dates)
    frame = pd.DataFrame({"x": X[:, 1]}, index=dates)
    res = korvanta.fit(y, (1, 1, 0), exog=frame)
    by_position = korvanta.fit(Y, (1, 1, 0), exog=X[:, 1:])
    np.testing.assert_array_equal(res.params, by_position.params)
    for unlabelled in (frame.reset_index(drop=True), frame.to_numpy()):
        np.testing.assert_array_equal(korvanta.fit(y, (1, 1, 0), exog=unlabelled).params,
                                      res.params)
    for other, shown in [(frame.iloc[::-1], "row 0 is labelled 1960-12-01, where 1949-01-01"),
                         (frame.set_axis(dates.to_period("M")), "row 0 is labelled 1949-01, where"),
                         (frame.set_axis(pd.RangeIndex(1, 145)), "row 0 is labelled 1, where")]:
        with pytest.raises(InputError, match="exog's index does not match y's index: " + shown):
            korvanta.fit(y, (1, 1, 0), exog=other)

    future = pd.date_range("1961-01-01", periods=4, freq="MS")
    values = np.arange(4.0)[:, None]
    expected = res.forecast(4, exog=values).mean
    for given in (pd.DataFrame(values, index=future), pd.DataFrame(values)):
        np.testing.assert_array_equal(res.forecast(4, exog=given).mean, expected)
    with pytest.raises(InputError, match="does not match the forecast's periods: row 0 is "
                                         "labelled 1970-01-01, where 1961-01-01"):
        res.forecast(4, exog=pd.DataFrame(values, index=future + pd.DateOffset(years=9)))
    # No rows to pair (an IndexError reporting the first mismatch once).
    empty = pd.DataFrame(np.empty((0, 1)), columns=["x"], index=pd.RangeIndex(1000, 1000))
    assert res.forecast(0, exog=empty).mean.size == 0


def test_regressor_dates_in_other_units_or_zones():
    # Equal dates kept in seconds and in nanoseconds are the same labels; dates one time
    # zone apart are not, and the message shows the zone where the texts are alike.
    pd = pytest.importorskip("pandas")
    try:
        seconds = pd.date_range("1949-01-01", periods=144, freq="MS", unit="s")
    except TypeError:
        pytest.skip("this pandas keeps dates in nanoseconds only")
    nanos = pd.date_range("1949-01-01", periods=144, freq="MS")
    expected = korvanta.fit(Y, (1, 1, 0), exog=X[:, 1:])
    for y_index, x_index in [(seconds, nanos), (nanos, seconds)]:
        res = korvanta.fit(pd.Series(Y, index=y_index), (1, 1, 0),
                           exog=pd.DataFrame({"x": X[:, 1]}, index=x_index))
        np.testing.assert_array_equal(res.params, expected.params)
        future = pd.date_range("1961-01-01", periods=3, freq="MS")
        fc = res.forecast(3, exog=pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=future))
        np.testing.assert_array_equal(
            fc.mean, expected.forecast(3, exog=[[1.0], [2.0], [3.0]]).mean)
    zoned = pd.DataFrame({"x": X[:, 1]}, index=nanos.tz_localize("Europe/Berlin"))
    with pytest.raises(InputError, match="row 0 is labelled Timestamp.*tz='Europe/Berlin'"):
        korvanta.fit(pd.Series(Y, index=nanos), (1, 1, 0), exog=zoned)


def test_dates_out_of_order_are_refused(no_search):
    # The observations are taken in order: dates that do not run one way, each once, say
    # the series is not in time order (a shuffled or unsorted table).
    pd = pytest.importorskip("pandas")
    dates = pd.date_range("1949-01-01", periods=144, freq="MS")
    swapped = np.r_[0:50, 51, 50, 52:144]
    bad = {
        "shuffled": (pd.Series(Y[swapped], index=dates[swapped]), {},
                     "the dates of y's index are out of order: row 51 (1953-03-01) follows "
                     "row 50 (1953-04-01)"),
        "periods": (pd.Series(Y[swapped], index=dates.to_period("M")[swapped]), {},
                    "row 51 (1953-03) follows row 50 (1953-04)"),
        "twice": (pd.Series(Y, index=dates.where(np.arange(144) != 5, dates[4])), {},
                  "y's index has the date 1949-05-01 twice (rows 4 and 5)"),
        "missing": (pd.Series(Y, index=dates.where(np.arange(144) != 7, pd.NaT)), {},
                    "y's index has a missing date at row 7"),
        "numpy-dates": (Y, {"index": dates.to_numpy()[swapped]},
                        "the dates of index are out of order: row 51 (1953-03-01)"),
    }
    for y, kwargs, message in bad.values():
        with pytest.raises(InputError, match=re.escape(message)):
            korvanta.fit(y, (1, 1, 0), **kwargs)


def test_dates_in_either_direction_or_other_labels_are_accepted():
    pd = pytest.importorskip("pandas")
    dates = pd.date_range("1949-01-01", periods=144, freq="MS")
    forwards = korvanta.fit(pd.Series(Y, index=dates), (1, 1, 0))
    backwards = korvanta.fit(pd.Series(Y, index=dates[::-1]), (1, 1, 0))
    np.testing.assert_array_equal(forwards.params, backwards.params)
    # A backcast continues the dates backwards.
    assert backwards.forecast(1).mean.index[0] == pd.Timestamp("1948-12-01")
    labels = pd.Index([f"id{i}" for i in np.random.default_rng(0).permutation(144)])
    np.testing.assert_array_equal(korvanta.fit(pd.Series(Y, index=labels), (1, 1, 0)).params,
                                  forwards.params)


def test_log_forecast_beyond_the_largest_double_shows_inf():
    from korvanta.forecasting import Forecast

    mean = np.array([700.0, 709.0, 720.0])
    fc = Forecast(mean=mean, se=np.ones(3), lower=mean - 1.96, upper=mean + 1.96, alpha=0.05,
                  index=None, start=10)
    rows = [line.split() for line in fc.table(log=True).splitlines()
            if line.split() and line.split()[0] in {"11", "12", "13"}]
    assert [r[1] for r in rows][2] == "inf" and float(rows[0][1]) == pytest.approx(np.exp(700), rel=1e-5)


def _with_gaps(y, where):
    y = np.array(y, dtype=float)
    y[where] = np.nan
    return y


@pytest.mark.parametrize("y, order, seasonal, trend", [
    (np.full(60, 3.0), (1, 0, 0), (0, 0, 0, 0), "c"),
    (np.arange(60.0), (0, 1, 1), (0, 0, 0, 0), "c"),
    (np.tile([1.0, 2.0, 3.0, 4.0], 15), (0, 0, 0), (0, 1, 0, 4), None),
    (np.arange(80.0) ** 2, (2, 2, 0), (1, 1, 0, 3), None),
    # Reproduced by an AR polynomial at its unit root, or by a constant next to one: the
    # search crept to the boundary and reported an AR coefficient of one as a success, or
    # a failed line search with a NaN log-likelihood.
    (np.full(60, 5.0), (1, 0, 0), (0, 0, 0, 0), None),
    (np.full(60, 5.0), (2, 0, 0), (1, 0, 0, 4), None),
    (np.arange(60.0), (1, 1, 0), (0, 0, 0, 0), "c"),
    (np.arange(100.0) ** 2 * 3.0, (1, 2, 3), (0, 0, 0, 0), None),
    # With gaps: the values across each still lie on the one path.
    (_with_gaps(np.arange(60.0), [0, 1, 10, 20, 21]), (0, 1, 1), (0, 0, 0, 0), "c"),
    (_with_gaps(np.tile([1.0, 2.0, 3.0, 4.0], 15), [5, 30, 31]), (0, 0, 0), (0, 1, 0, 4), None),
], ids=["constant", "linear-after-differencing", "periodic-no-noise", "quadratic-seasonal",
        "constant-without-mean", "constant-seasonal-ar", "linear-ar-with-drift",
        "quadratic-twice-differenced", "linear-with-gaps", "periodic-with-gaps"])
def test_series_without_variance_is_reported(y, order, seasonal, trend):
    with pytest.warns(korvanta.ConvergenceWarning, match="constant after differencing"):
        res = korvanta.fit(y, order, seasonal, trend)
    assert not res.converged and res.params[-1] == 0.0
    assert "constant after differencing" in res.summary()
    # Nothing is left to forecast but the series' own continuation: no spread (rounding
    # must not leave a negative variance and a NaN standard error).
    fc = res.forecast(8)
    se = np.asarray(fc.se)
    assert np.isfinite(fc.mean).all() and np.isfinite(se).all()
    assert (se >= 0).all() and se.max() <= 1e-3 * max(np.nanmax(y) - np.nanmin(y), 1.0)


def _pairs_with_jumps(step, gap):
    # Pairs of values `step` apart, each pair rising by exactly 1 (whole numbers), with
    # random jumps over the gaps between the pairs.
    rng = np.random.default_rng(5)
    y = np.full(20 * gap, np.nan)
    for start in range(0, y.size - step, gap):
        y[start] = float(rng.integers(-20, 20))
        y[start + step] = y[start] + 1.0
    return y


@pytest.mark.parametrize("y, order, seasonal", [
    (_pairs_with_jumps(1, 3), (0, 1, 0), (0, 0, 0, 0)),
    (_pairs_with_jumps(1, 4), (1, 1, 0), (0, 0, 0, 0)),
    (_pairs_with_jumps(4, 9), (0, 0, 0), (0, 1, 0, 4)),
], ids=["random-walk", "ar", "seasonal"])
def test_equal_differences_between_gaps_are_not_a_constant_series(y, order, seasonal):
    # Every difference that can be taken is 1, but the values across the gaps lie on
    # different paths: the series has a variance, and the fit estimates it (it reported
    # "constant after differencing" with no variance).
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = korvanta.fit(y, order, seasonal, "c")
    assert not any("constant after differencing" in str(w.message) for w in caught)
    assert res.converged and res.params[-1] > 0.1 and np.isfinite(res.llf)


def test_a_search_that_ends_on_rounding_is_reported():
    # The seasonal differences of a line in small units: constant but for rounding, which
    # the start's variance (profiled at its coefficients) does not show, the search's end
    # does. It was reported as converged, with a variance of 1e-44 and a log-likelihood of
    # 591 from fitting the rounding.
    y = np.arange(15) * 1e-7
    z = y[2:] - y[:-2]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = korvanta.fit(z, (1, 1, 0))
    assert not res.converged
    assert any(issubclass(w.category, korvanta.ConvergenceWarning)
               and "constant after differencing" in str(w.message) for w in caught)


@pytest.mark.parametrize("stepwise", [False, True], ids=["grid", "stepwise"])
@pytest.mark.parametrize("scale", [1e-7, 1.0, 1e7])
def test_order_search_on_a_line_does_not_depend_on_the_units(scale, stepwise):
    # Constant after its seasonal difference in any units (a line at 1e-7 per step was
    # once taken for I(2)): every candidate with a constant fits it exactly, and the
    # search is refused before it starts.
    with pytest.raises(korvanta.InputError, match="constant after 0 difference"):
        korvanta.auto_fit(np.arange(15) * scale, 2, D=1, stepwise=stepwise, n_jobs=1)


@pytest.mark.parametrize("scale, n, order, power", [
    (3.0, 167, (2, 1, 3), 2), (10.0, 60, (2, 1, 3), 2), (100.0, 100, (2, 1, 3), 2),
    (3.0, 100, (1, 2, 3), 3),
])
@pytest.mark.parametrize("cov_type", ["opg", "hessian"])
def test_search_that_runs_out_to_the_boundary_ends_at_finite_estimates(scale, n, order, power,
                                                                       cov_type):
    # A noiseless polynomial of degree d + 1 has no maximum: the AR and MA roots run out to
    # the unit circle while the variance falls, until the coordinates of the search are so
    # far out that the transform rounds to the boundary itself.  Its inverse is infinite
    # there: the fit must go on from the search's own coordinates (it used to end with NaN
    # estimates), with no stray floating-point warning (errors under this suite's
    # settings) on the way, and the standard errors at such an end are NaN, not a
    # traceback.  (Of degree d, it is constant after differencing: no variance.)
    y = np.arange(float(n)) ** power * scale
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        res = korvanta.fit(y, order, cov_type=cov_type)
    assert np.isfinite(res.params).all() and np.isfinite(res.llf)
    assert res.bse.shape == res.params.shape
    assert np.isfinite(res.forecast(4).mean).all()


def test_trend_powers_from_an_iterator():
    # The powers were read twice: a generator was empty the second time ("trend must have
    # 2 entries, not 0").
    res = korvanta.fit(Y, (1, 0, 0), trend=(k for k in (0, 1)))
    assert res.param_names == korvanta.fit(Y, (1, 0, 0), trend=[0, 1]).param_names


def test_trendless_model_of_a_drifting_series_is_not_a_clean_success():
    # Without a drift term the MA polynomial takes the constant growth on its unit root.
    with pytest.warns(korvanta.KorvantaWarning):
        res = korvanta.fit(np.arange(60.0), (0, 1, 1))
    assert res.warnings


def test_iteration_limit_is_reported():
    with pytest.warns(korvanta.ConvergenceWarning, match="did not converge"):
        res = korvanta.fit(Y, (2, 1, 1), (0, 1, 1, 12), maxiter=1)
    assert not res.converged and res.iterations == 1
    assert "did not converge" in res.summary()


def test_unit_root_estimate_is_reported():
    # An over-differenced white noise has an MA(1) root on the unit circle.
    rng = np.random.default_rng(1)
    y = rng.standard_normal(400).cumsum()
    y = np.diff(y, prepend=0.0)           # white noise …
    with pytest.warns(korvanta.BoundaryWarning, match="boundary of the invertible region"):
        res = korvanta.fit(y, (0, 2, 1))  # … differenced twice
    assert res.params[0] < -0.99
    assert any("invertible" in w for w in res.warnings)


def test_explosive_estimate_is_reported_as_outside_the_region():
    # Without the stationarity constraint an explosive series gets an AR root inside the
    # unit circle: not "on or near the boundary", and its modulus is shown.
    rng = np.random.default_rng(4)
    y = np.zeros(120)
    for t in range(1, 120):
        y[t] = 1.05 * y[t - 1] + rng.standard_normal()
    with pytest.warns(korvanta.BoundaryWarning,
                      match=r"root of modulus 0\.9[0-9]+: the estimates lie outside the "
                            "stationary region"):
        res = korvanta.fit(y, (1, 0, 0), enforce_stationarity=False)
    assert res.params[0] > 1.0


def test_quiet_by_default_and_progress_on_request(capsys):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        korvanta.fit(Y, (0, 1, 1), (0, 1, 1, 12))
    assert capsys.readouterr() == ("", "")
    seen = []
    res = korvanta.fit(Y, (0, 1, 1), (0, 1, 1, 12), verbose=True, callback=seen.append)
    err = capsys.readouterr().err
    assert len(seen) == res.iterations and err.count("iteration") == res.iterations
    assert [p.iteration for p in seen] == list(range(1, res.iterations + 1))
    assert seen[-1].llf == pytest.approx(res.llf, rel=1e-6)


def test_progress_when_scipy_passes_the_point_alone(monkeypatch):
    # SciPy before 1.11 calls back with the new point only: the reports must be the ones a
    # newer SciPy gives, which passes the value with it.
    import korvanta.optimize as optimize

    def reports():
        seen = []
        res = korvanta.fit(Y, (0, 1, 1), (0, 1, 1, 12), trend="c", callback=seen.append)
        return [(p.iteration, p.n_evaluations, p.llf) for p in seen], res

    new, res_new = reports()
    real = optimize.minimize

    def older_minimize(fun, x0, callback=None, **kw):
        # (A SciPy that old passes the point already.)
        point_only = None if callback is None else \
            (lambda intermediate_result: callback(getattr(intermediate_result, "x",
                                                          intermediate_result)))
        return real(fun, x0, callback=point_only, **kw)

    monkeypatch.setattr(optimize, "minimize", older_minimize)
    old, res_old = reports()
    assert len(new) == res_new.iterations > 3 and old == new
    np.testing.assert_array_equal(res_old.params, res_new.params)


def test_covariance_of_estimates_on_the_boundary_itself_is_nan():
    # An MA coefficient of exactly -1 has infinite unconstrained coordinates: no Hessian
    # there, and no floating-point warning on the way to saying so.
    from korvanta.covariance import covariance
    from korvanta.problem import make_problem

    problem = make_problem(Y, (0, 1, 1), (0, 0, 0, 0), None, None)
    cov = covariance(problem, np.array([-1.0, 0.01]), "hessian")
    assert cov.shape == (2, 2) and np.isnan(cov).all()


@settings(max_examples=60, deadline=None)
@given(st.tuples(st.integers(0, 3), st.integers(0, 2), st.integers(0, 3)),
       st.tuples(st.integers(0, 2), st.integers(0, 1), st.integers(0, 2), st.integers(2, 400)),
       st.lists(st.integers(0, 4), max_size=3, unique=True))
def test_every_parameter_name_is_known_as_one(order, seasonal, powers):
    """fit_many's search over orders refuses regressors named like any model's parameter;
    that test must know every name the convention can give, and no regressor's."""
    own = names.param_names(order, seasonal, sorted(powers), ("gdp", "ar.L"))
    assert [n for n in own if not names.is_param_name(n)] == ["gdp", "ar.L"]
    for name in own[:len(powers)] + own[len(powers) + 2:]:
        assert names.clashing_exog_name(order, seasonal, sorted(powers), ["x", name]) == name
    assert names.clashing_exog_name(order, seasonal, sorted(powers), ["x", "ar.S.L0"]) is None


@pytest.mark.parametrize("form", ["list", "object-series"])
@pytest.mark.parametrize("value, missing", [
    (None, True), (float("nan"), True), ("pd.NA", True), ("pd.NaT", True),
    (np.datetime64("NaT", "D"), False), (np.datetime64("2020-01-01"), False),
    (datetime.date(2020, 1, 1), False), (datetime.timedelta(days=1), False),
    (np.timedelta64(3, "D"), False)], ids=repr)
def test_object_values_missing_markers_and_dates(form, value, missing):
    # pandas' missing markers were refused ("it holds values of type object") where None
    # was missing; a date among the numbers became its count of days (a NaT -9.2e18).
    pd = pytest.importorskip("pandas")
    value = {"pd.NA": pd.NA, "pd.NaT": pd.NaT}.get(value, value) \
        if isinstance(value, str) else value
    values = list(Y[:60])
    values[10] = value
    y = values if form == "list" else pd.Series(values, dtype=object)
    if missing:
        res = korvanta.fit(y, (0, 1, 1))
        plain = Y[:60].copy()
        plain[10] = np.nan
        assert res.llf == korvanta.fit(plain, (0, 1, 1)).llf
    else:
        with pytest.raises(InputError, match="y must be numeric; it holds dates or durations"):
            korvanta.fit(y, (0, 1, 1))
        X = np.ones((60, 1)).astype(object)
        X[5, 0] = value
        with pytest.raises(InputError, match="exog must be numeric; it holds dates"):
            korvanta.fit(Y[:60], (0, 1, 1), exog=X)
