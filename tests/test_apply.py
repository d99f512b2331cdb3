"""Estimates applied to other data: the same bits on the fitted series, a plain NumPy
filter's forecast on a longer one, and the checks on the new input."""

import numpy as np
import pytest

import korvanta
import reference
from korvanta import InputError
from pkg_data import airline, column, month_end


@pytest.fixture(scope="module")
def early():
    return korvanta.fit(airline()[:120], (0, 1, 1), (0, 1, 1, 12))


def test_applied_to_its_own_series_is_the_fit(early):
    again = early.apply(airline()[:120])
    assert again.llf == early.llf
    np.testing.assert_array_equal(again.params, early.params)
    np.testing.assert_array_equal(again.resid, early.resid)
    a, b = again.forecast(9), early.forecast(9)
    for field in ("mean", "se", "lower", "upper"):
        np.testing.assert_array_equal(getattr(a, field), getattr(b, field))
    np.testing.assert_array_equal(again.bse, early.bse)
    assert (again.iterations, again.n_evaluations) == (0, 0)
    assert "without a new fit" in again.summary()


@pytest.mark.parametrize("name, y, order, seasonal, trend, cut", [
    ("airline", airline, (0, 1, 1), (0, 1, 1, 12), None, 120),
    ("nile", lambda: column("nile.csv", "volume"), (1, 0, 1), (0, 0, 0, 0), "c", 80),
])
def test_forecast_from_newer_data_matches_a_plain_filter(name, y, order, seasonal, trend,
                                                         cut):
    y = y()
    res = korvanta.fit(y[:cut], order, seasonal, trend)
    later = res.apply(y)
    model = reference.Model(order=order, seasonal_order=seasonal,
                            trend_powers=() if trend is None else (0,))
    _, errors, mean, var = reference.forecast(model, res.params, y, 6,
                                              diffuse_variance=later.problem.diffuse_variance)
    fc = later.forecast(6)
    np.testing.assert_allclose(fc.mean, mean, rtol=1e-9)
    np.testing.assert_allclose(fc.se, np.sqrt(var), rtol=1e-8)
    np.testing.assert_allclose(later.resid, errors, rtol=1e-8, atol=1e-10 * np.nanstd(y))
    assert later.nobs == res.nobs + (y.size - cut)


def test_dates_continue_from_the_newer_data():
    pd = pytest.importorskip("pandas")
    y = pd.Series(airline(), index=pd.date_range("1949-01-31", periods=144,
                                                 freq=month_end()), name="log(passengers)")
    res = korvanta.fit(y.iloc[:120], (0, 1, 1), (0, 1, 1, 12))
    fc = res.apply(y).forecast(2)
    assert list(fc.mean.index.strftime("%Y-%m")) == ["1961-01", "1961-02"]
    assert res.apply(y).problem.name == "log(passengers)"
    assert res.apply(y.to_numpy()).problem.name == "log(passengers)"
    assert res.apply(y.to_numpy(), name="z").problem.name == "z"


@pytest.mark.parametrize("m", [14, 20])
def test_a_series_too_short_to_fit_can_be_evaluated_and_forecast(early, m):
    # Nothing is estimated on it: one observation past the differencing is enough (the
    # fit's minimum was asked for before).
    y = airline()[-m:]
    later = early.apply(y)
    model = reference.Model(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12))
    _, errors, mean, var = reference.forecast(model, early.params, y, 6,
                                              diffuse_variance=later.problem.diffuse_variance)
    fc = later.forecast(6)
    np.testing.assert_allclose(fc.mean, mean, rtol=1e-9)
    np.testing.assert_allclose(fc.se, np.sqrt(var), rtol=1e-8)
    assert later.nobs == m - 13
    # The summary's criteria: log log n is not defined for n = 1.
    assert np.isnan(later.hqic) == (m == 14) and "Log-likelihood" in later.summary()


def test_new_input_is_checked(early):
    with pytest.raises(InputError, match="needs at least 1 usable observation after the "
                       "first 13 .* to be evaluated on; the series has 0"):
        early.apply(airline()[:13])
    with pytest.raises(InputError, match="exog has 1 column, but the fit has 0 regressors"):
        early.apply(airline(), exog=np.ones((144, 1)))
    with_x = korvanta.fit(airline()[:120], (1, 1, 0), exog=np.arange(120.0)[:, None] ** 0.5)
    with pytest.raises(InputError, match="exog has 0 columns, but the fit has 1 regressor"):
        with_x.apply(airline())
    with pytest.raises(InputError, match="exog"):
        with_x.apply(airline(), exog=np.ones((100, 1)))


def test_regressors_keep_the_fits_names():
    pd = pytest.importorskip("pandas")
    y = airline()
    X = pd.DataFrame({"root": np.sqrt(np.arange(144.0))})
    res = korvanta.fit(y[:120], (1, 1, 0), exog=X.iloc[:120])
    assert res.apply(y, exog=X.to_numpy()).param_names == res.param_names
    assert res.apply(y, exog=X).param_names[0] == "root"
    with pytest.raises(InputError, match=r"exog's columns \(other\) are not the fit's "
                                         r"regressors \(root\)"):
        res.apply(y, exog=X.rename(columns={"root": "other"}))
