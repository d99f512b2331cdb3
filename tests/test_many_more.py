"""fit_many on series missing at their ends, all missing or of one row, starting at other
dates, with ids of mixed types; gappy business days; far-apart integer dates; text
series; and a Dask batch that fails in its worker.  Each row is checked against the fit
of its series alone."""

import numpy as np
import pytest

import korvanta
import korvanta.many as many

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")

ORDER, TREND, HORIZON = (1, 0, 0), "ct", 3
N = 48


def _walk(n, seed):
    rng = np.random.default_rng(seed)
    return 5 + np.cumsum(rng.normal(size=n)) * 0.3 + rng.normal(size=n)


def _pad(y, lead, trail=0):
    return np.r_[np.full(lead, np.nan), y, np.full(trail, np.nan)]


# id -> (first date, values on the monthly grid, positions absent from the table).
SERIES = {
    "lead": ("2001-03-01", _pad(_walk(N, 1), 7), ()),
    7: ("1999-11-01", _pad(_walk(N, 2), 0, 4), (20,)),
    2.5: ("2003-06-01", _pad(_walk(N, 3), 13, 2), (30, 31)),
    "middle": ("2000-01-01", np.where(np.arange(N) % 9 == 4, np.nan, _walk(N, 4)), ()),
    "all missing": ("2000-01-01", np.full(20, np.nan), ()),
    "one row": ("2002-01-01", _walk(1, 5), ()),
    "one after gaps": ("2002-01-01", _pad(_walk(1, 6), 5), ()),
}
FAILED = {"all missing": "every observation", "one row": "needs at least",
          "one after gaps": "needs at least"}


def _grid(uid):
    start, y, _ = SERIES[uid]
    dates = pd.date_range(start, periods=y.size, freq="MS")
    x = np.cos(np.arange(y.size + HORIZON) + len(str(uid)))
    return dates, y, x


@pytest.fixture(scope="module")
def panel():
    frames, future = [], []
    for uid, (_, _, absent) in SERIES.items():
        dates, y, x = _grid(uid)
        keep = ~np.isin(np.arange(y.size), absent)
        frames.append(pd.DataFrame({"unique_id": [uid] * int(keep.sum()), "ds": dates[keep],
                                    "y": y[keep], "x": x[:y.size][keep]}))
        ahead = pd.date_range(dates[-1], periods=HORIZON + 1, freq="MS")[1:]
        future.append(pd.DataFrame({"unique_id": [uid] * HORIZON, "ds": ahead,
                                    "x": x[y.size:]}))
    # Rows in no particular order: the table is cut by id and date, not by position.
    data = pd.concat(frames, ignore_index=True).sample(frac=1.0, random_state=0)
    return data, pd.concat(future, ignore_index=True)


def _fit_many(panel, **kw):
    data, future = panel
    return korvanta.fit_many(data, ORDER, trend=TREND, exog_columns=["x"], horizon=HORIZON,
                             future_exog=future, **kw)


@pytest.fixture(scope="module")
def serial(panel):
    return _fit_many(panel, engine="serial")


def test_rows_and_forecasts_are_the_fits_of_the_series_alone(panel, serial):
    summary, forecasts = serial
    # In the order in which the ids first appear, each of its own type.
    assert summary.unique_id.tolist() == panel[0].unique_id.drop_duplicates().tolist()
    assert sorted(map(repr, summary.unique_id)) == sorted(map(repr, SERIES))
    rows = summary.set_index("unique_id")
    for uid, (_, _, absent) in SERIES.items():
        dates, y, x = _grid(uid)
        on_grid = y.copy()
        on_grid[list(absent)] = np.nan
        exog = pd.DataFrame({"x": np.where(np.isin(np.arange(y.size), absent), 0.0,
                                           x[:y.size])}, index=dates)
        row = rows.loc[uid]
        if uid in FAILED:
            with pytest.raises(korvanta.InputError, match=FAILED[uid]):
                korvanta.fit(pd.Series(on_grid, index=dates), ORDER, trend=TREND, exog=exog)
            assert row.status == "failed" and FAILED[uid] in row.message and row.nobs == 0
            assert np.isnan(row[["llf", "aic", "bic", "sigma2"]].astype(float)).all()
            assert not (forecasts.unique_id == uid).any()
            continue
        alone = korvanta.fit(pd.Series(on_grid, index=dates), ORDER, trend=TREND, exog=exog)
        assert row.status == "ok"
        assert (row.nobs, row.llf, row.aic, row.bic) == (alone.nobs, alone.llf, alone.aic,
                                                          alone.bic)
        # Missing values at either end or inside count nowhere.
        assert alone.nobs == np.isfinite(on_grid).sum()
        np.testing.assert_array_equal(row[list(alone.param_names)].to_numpy(float),
                                      alone.params)
        fc = alone.forecast(HORIZON, exog=pd.DataFrame({"x": x[y.size:]}))
        mine = forecasts[forecasts.unique_id == uid]
        # The forecast continues after the series' last period, missing or not.
        assert list(mine.ds) == list(fc.mean.index) == list(
            pd.date_range(dates[-1], periods=HORIZON + 1, freq="MS")[1:])
        for col in ("mean", "lower", "upper"):
            np.testing.assert_array_equal(mine[col].to_numpy(), getattr(fc, col).to_numpy())


@pytest.fixture(scope="module")
def threads_client():
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=1,
                            dashboard_address=":0") as client:
        yield client


def test_dask_gives_the_serial_tables_and_a_failing_batch_fails_alone(
        panel, serial, threads_client, monkeypatch):
    summary, forecasts = _fit_many(panel, engine=threads_client, batch_size=2)
    pd.testing.assert_frame_equal(summary, serial.summary, check_exact=True)
    pd.testing.assert_frame_equal(forecasts, serial.forecasts, check_exact=True)

    fit_batch = many.fit_batch

    def failing(spec, batch):
        if any(task.uid == 2.5 for task in batch):
            raise MemoryError("no room")
        return fit_batch(spec, batch)

    # The workers are threads of this process: they run the patched function.
    monkeypatch.setattr(many, "fit_batch", failing)
    summary, forecasts = _fit_many(panel, engine=threads_client, batch_size=2)
    # The batch of the failing series: two series in the order in which ids appear.
    first = serial.summary.unique_id.tolist().index(2.5) // 2 * 2
    batch = serial.summary.unique_id[first:first + 2].tolist()
    lost = summary.unique_id.isin(batch)
    assert lost.sum() == 2
    assert (summary.status[lost] == "failed").all()
    assert summary.message[lost].str.contains("MemoryError: no room").all()
    pd.testing.assert_frame_equal(summary[~lost], serial.summary[~lost], check_exact=True)
    kept = ~serial.forecasts.unique_id.isin(batch)
    pd.testing.assert_frame_equal(forecasts.reset_index(drop=True),
                                  serial.forecasts[kept].reset_index(drop=True),
                                  check_exact=True)


def test_gappy_business_days_whose_gap_free_windows_look_daily():
    # Of the five windows of five dates that show a gappy series' frequency, only the
    # first has no gap, and it runs Monday to Friday: it looks daily.  Laid out on every
    # day, each weekend became two missing observations and the forecast fell on a
    # Saturday.
    n, absent = 40, [10, 20, 28, 37]
    ds = pd.bdate_range("2024-01-01", periods=n)            # a Monday
    y = _walk(n, 8)
    keep = ~np.isin(np.arange(n), absent)
    data = pd.DataFrame({"unique_id": "a", "ds": ds[keep], "y": y[keep]})
    summary, forecasts = korvanta.fit_many(data, ORDER, horizon=HORIZON, engine="serial")
    alone = korvanta.fit(np.where(keep, y, np.nan), ORDER)
    assert summary.llf[0] == alone.llf and summary.nobs[0] == n - len(absent)
    assert list(forecasts.ds) == list(pd.bdate_range(ds[-1], periods=HORIZON + 1)[1:])
    np.testing.assert_array_equal(forecasts["mean"], alone.forecast(HORIZON).mean)


@pytest.mark.parametrize("far", [-2**63, 2**63 - 1])
def test_integer_dates_too_far_apart_are_a_failed_row(far):
    # More than 2**63 apart, the int64 differences wrapped around to a grid of negative
    # size (a ValueError in the row), or to a span that looked small.
    ds = np.sort(np.r_[np.arange(-20, 19), far])
    data = pd.DataFrame({"unique_id": ["far"] * 40 + ["near"] * 40,
                         "ds": np.r_[ds, np.arange(40)], "y": np.r_[_walk(40, 9),
                                                                    _walk(40, 10)]})
    summary, _ = korvanta.fit_many(data, ORDER, engine="serial")
    assert summary.status.tolist() == ["failed", "ok"]
    assert "mostly gaps" in summary.message[0]


@pytest.mark.parametrize("values, words", [
    ([f"{v:.3f}" for v in _walk(N, 11)], "holds text"),
    ([*_walk(N - 1, 12), pd.Timestamp("2020-01-01")], "holds dates"),
])
def test_a_dated_series_that_is_not_numbers_fails_as_fit_refuses_it(values, words):
    # Dated series were converted with NumPy: text that looked like numbers was fitted
    # (fit refuses it), and pd.NA gave a bare TypeError.
    series = pd.Series(values, index=pd.date_range("2000-01-01", periods=N, freq="MS"),
                       dtype=object)
    with pytest.raises(korvanta.InputError, match=words):
        korvanta.fit(series, ORDER)
    summary, _ = korvanta.fit_many({"a": series, "b": _walk(N, 13)}, ORDER,
                                   engine="serial")
    assert summary.status.tolist() == ["failed", "ok"]
    assert words in summary.message[0]


def test_pandas_missing_markers_in_a_dated_series_are_missing_values():
    # pd.NA among a dated series' numbers (an object column) is a missing value, in fit as
    # in fit_many, as None and NaN are.
    values = [*_walk(N - 1, 12), pd.NA]
    index = pd.date_range("2000-01-01", periods=N, freq="MS")
    series = pd.Series(values, index=index, dtype=object)
    plain = pd.Series([*_walk(N - 1, 12), np.nan], index=index)
    res = korvanta.fit(series, ORDER)
    assert res.llf == korvanta.fit(plain, ORDER).llf
    summary, _ = korvanta.fit_many({"a": series}, ORDER, engine="serial")
    assert summary.status.tolist() == ["ok"] and summary.llf[0] == res.llf
