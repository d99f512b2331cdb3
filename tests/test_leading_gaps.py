"""A series whose first periods are missing is the series from its first observation on:
the same estimates, likelihood and forecasts, with the empty periods kept in the labels and
paths (and counted by a time trend)."""

import re
import warnings

import numpy as np
import pytest

import korvanta
from pkg_data import airline, column

pd = pytest.importorskip("pandas")

AIRLINE = ((0, 1, 1), (0, 1, 1, 12))


def _quiet_fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return korvanta.fit(*args, **kwargs)


def _padded(y, lead):
    return np.concatenate([np.full(lead, np.nan), y])


@pytest.mark.parametrize("lead", [1, 2, 13, 30])
def test_missing_front_periods_change_no_estimate(lead):
    # Left in, the differencing started in the empty periods and the first observed values
    # entered the likelihood with the diffuse states' variance: with 13 of them the
    # log-likelihood fell from 244.7 to 142.9, and nobs counted the 13 initialising values.
    y = airline()
    plain = korvanta.fit(y, *AIRLINE)
    res = korvanta.fit(_padded(y, lead), *AIRLINE)
    assert res.llf == plain.llf and res.nobs == plain.nobs == 131
    np.testing.assert_array_equal(res.params, plain.params)
    np.testing.assert_array_equal(res.bse, plain.bse)
    np.testing.assert_array_equal(res.forecast(5).mean, plain.forecast(5).mean)
    for path in ("resid", "fittedvalues", "standardized_resid"):
        mine = getattr(res, path)
        assert mine.shape == (y.size + lead,) and np.isnan(mine[:lead]).all()
        np.testing.assert_array_equal(mine[lead:], getattr(plain, path))
    assert re.search(rf"Observations: +{y.size + lead} ", res.summary())


def test_a_dated_series_keeps_its_empty_periods_in_its_labels():
    y = airline()
    dates = pd.date_range("1948-01", periods=y.size + 24, freq="MS")
    series = pd.Series(_padded(y, 24), index=dates, name="passengers")
    res = korvanta.fit(series, *AIRLINE)
    plain = korvanta.fit(pd.Series(y, index=dates[24:]), *AIRLINE)
    assert res.llf == plain.llf
    assert res.resid.index.equals(dates) and res.resid.name == "passengers"
    pd.testing.assert_series_equal(res.forecast(3).mean, plain.forecast(3).mean)
    again = res.apply(series)
    assert again.llf == res.llf and again.resid.index.equals(dates)


def test_a_time_trend_counts_the_empty_periods():
    # The trend's time is that of the series as given: an intercept and a drift over t
    # from the first period equal the trimmed series' intercept, less the drift times
    # the periods missing at the front, and the same drift.
    y = column("macrodata.csv", "infl")
    lead = 17
    res = _quiet_fit(_padded(y, lead), (1, 0, 0), trend="ct")
    plain = _quiet_fit(y, (1, 0, 0), trend="ct")
    assert res.llf == pytest.approx(plain.llf, rel=1e-9, abs=0)
    intercept, drift = res.params[:2]
    np.testing.assert_allclose([intercept + lead * drift, drift], plain.params[:2], rtol=1e-4)
    np.testing.assert_allclose(res.forecast(4).mean, plain.forecast(4).mean, rtol=1e-6)


def test_regressors_stay_with_their_periods():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(150, 2))
    y = np.cumsum(rng.normal(size=150)) + x @ [2.0, -1.0]
    lead = 9
    X = np.vstack([rng.normal(size=(lead, 2)), x])      # known regressors, unknown y
    res = _quiet_fit(_padded(y, lead), (1, 1, 0), exog=X)
    plain = _quiet_fit(y, (1, 1, 0), exog=x)
    assert res.llf == plain.llf
    np.testing.assert_array_equal(res.params, plain.params)
    future = rng.normal(size=(3, 2))
    np.testing.assert_array_equal(res.forecast(3, exog=future).mean,
                                  plain.forecast(3, exog=future).mean)


def test_model_search_and_chart_of_a_series_with_empty_front_periods():
    import matplotlib

    matplotlib.use("Agg")
    y = airline()[:96]
    res = korvanta.auto_fit(_padded(y, 5), 12, n_jobs=1, max_p=1, max_q=1)
    plain = korvanta.auto_fit(y, 12, n_jobs=1, max_p=1, max_q=1)
    assert res.search.chosen == plain.search.chosen and res.llf == plain.llf
    assert res.resid.shape == (101,)
    fig = res.plot_forecast(6, in_sample=True)
    observed = next(line for line in fig.axes[0].lines if line.get_label() == "observed")
    assert len(observed.get_xdata()) == 101
    import matplotlib.pyplot as plt

    plt.close(fig)


def test_regressors_may_be_missing_before_the_first_observation():
    # A product not yet launched: no sales and no price before it.  Those periods are
    # left out; a missing regressor from the first observation on is still refused.
    rng = np.random.default_rng(8)
    x = rng.normal(size=(120, 1))
    y = np.cumsum(rng.normal(size=120)) + 3.0 * x[:, 0]
    lead = 6
    X = np.vstack([np.full((lead, 1), np.nan), x])
    res = _quiet_fit(_padded(y, lead), (0, 1, 1), exog=X)
    plain = _quiet_fit(y, (0, 1, 1), exog=x)
    assert res.llf == plain.llf
    X[lead + 3, 0] = np.nan
    with pytest.raises(korvanta.InputError, match=r"in row 9, column 0; regressors cannot "
                       r"be missing after the series' first observation"):
        korvanta.fit(_padded(y, lead), (0, 1, 1), exog=X)
    frame = pd.DataFrame({"unique_id": "a", "ds": np.arange(126), "y": _padded(y, lead),
                          "x": np.vstack([np.full((lead, 1), np.nan), x])[:, 0]})
    summary, _ = korvanta.fit_many(frame, (0, 1, 1), exog_columns=["x"], engine="serial")
    assert summary["status"].tolist() == ["ok"] and summary["llf"][0] == plain.llf
