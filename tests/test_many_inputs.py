"""fit_many on inputs at their edges: categorical ids, business days with gaps, models
chosen per series with named regressors.  Each row is checked against the fit of its
series alone."""

import numpy as np
import pytest

import korvanta

pd = pytest.importorskip("pandas")


def _walk(n, seed):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.normal(size=n)) * 0.1 + rng.normal(size=n)


def test_unused_categories_of_categorical_ids_are_no_series():
    # "z" is a category that no row has: it is no series, and has no season length.
    ids = pd.Categorical(["b"] * 40 + ["a"] * 40, categories=["a", "b", "z"])
    y = np.r_[_walk(40, 1), _walk(40, 2)]
    data = pd.DataFrame({"unique_id": ids, "ds": list(range(40)) * 2, "y": y, "m": 4})
    s, _ = korvanta.fit_many(data, "auto", season_length="m", max_p=1, max_q=1, max_P=0,
                             max_Q=0, engine="serial")
    assert s.unique_id.tolist() == ["b", "a"]
    for k in range(2):
        alone = korvanta.auto_fit(y[40 * k:40 * (k + 1)], 4, max_p=1, max_q=1, max_P=0,
                                  max_Q=0, n_jobs=1)
        assert s.llf[k] == alone.llf


def test_business_days_with_a_gap_stay_business_days():
    # Five business days in a row look daily: a series with a gap was laid out on every
    # day, weekends as missing observations, and forecast on a Saturday.
    n, absent = 100, 50
    ds = pd.bdate_range("2024-01-01", periods=n)
    y = _walk(n, 3)
    keep = np.arange(n) != absent
    data = pd.DataFrame({"unique_id": "a", "ds": ds[keep], "y": y[keep]})
    s, f = korvanta.fit_many(data, (1, 0, 0), horizon=3, engine="serial")
    on_grid = y.copy()
    on_grid[absent] = np.nan
    alone = korvanta.fit(on_grid, (1, 0, 0))
    assert s.llf[0] == alone.llf and s.nobs[0] == n - 1
    expected = pd.bdate_range(ds[-1], periods=4)[1:]
    assert list(f.ds) == list(expected)
    np.testing.assert_array_equal(f["mean"], alone.forecast(3).mean)


def test_models_chosen_per_series_name_regressors_by_their_columns():
    n = 60
    rng = np.random.default_rng(4)
    x = rng.normal(size=(n + 2, 2))
    y = np.cumsum(rng.normal(size=n)) + 2 * x[:n, 0] - x[:n, 1]
    data = pd.DataFrame({"unique_id": "a", "ds": np.arange(n), "y": y,
                         "price": x[:n, 0], "promo": x[:n, 1]})
    future = pd.DataFrame({"unique_id": "a", "ds": [n, n + 1], "price": x[n:, 0],
                           "promo": x[n:, 1]})
    s, f = korvanta.fit_many(data, "auto", exog_columns=["price", "promo"], horizon=2,
                             future_exog=future, max_p=1, max_q=1, engine="serial")
    alone = korvanta.auto_fit(y, 1, exog=data[["price", "promo"]], max_p=1, max_q=1,
                              n_jobs=1)
    assert {"price", "promo"} <= set(s.columns) and not {"x1", "x2"} & set(s.columns)
    for name, value in zip(alone.param_names, alone.params):
        assert s[name][0] == value
    np.testing.assert_array_equal(
        f["mean"], alone.forecast(2, exog=future[["price", "promo"]]).mean)
