"""fit_many: every series' row is the fit of that series alone (the plain `korvanta.fit`
on its regular grid), bit for bit in every engine; bad series are reported, never lost."""

import numpy as np
import pytest

import korvanta
import korvanta.many as many
from korvanta import InputError
from pkg_data import month_end
from many_panels import (AIRLINE, BAD, GOOD, airline_like, mixed_panel, regular,
                         two_worker_client)

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")

HORIZON = 4


@pytest.fixture(scope="module")
def panel():
    return mixed_panel(HORIZON)


@pytest.fixture(scope="module")
def serial_tables(panel):
    data, future = panel
    return korvanta.fit_many(data, *AIRLINE, exog_columns=["x"], horizon=HORIZON,
                             future_exog=future, engine="serial")


@pytest.fixture(scope="module")
def cluster():
    with two_worker_client() as client:
        yield client


def _fit_panel(panel, engine, **kw):
    data, future = panel
    return korvanta.fit_many(data, *AIRLINE, exog_columns=["x"], horizon=HORIZON,
                             future_exog=future, engine=engine, **kw)


@pytest.mark.parametrize("engine", ["processes", "dask-client", "dask-current"])
def test_every_engine_gives_the_serial_tables_bit_for_bit(panel, serial_tables, engine,
                                                          request):
    kw = {"batch_size": 2}
    if engine.startswith("dask"):
        client = request.getfixturevalue("cluster")
        engine = client if engine == "dask-client" else "dask"
    else:
        kw["n_jobs"] = 2
    summary, forecasts = _fit_panel(panel, engine, **kw)
    # check_exact: the same bits (NaN matching NaN), the same column types.
    pd.testing.assert_frame_equal(summary, serial_tables.summary, check_exact=True)
    pd.testing.assert_frame_equal(forecasts, serial_tables.forecasts, check_exact=True)


def test_bad_series_are_reported_and_the_others_kept(serial_tables):
    s = serial_tables.summary
    assert list(s.unique_id) == list(GOOD + tuple(BAD))      # input order
    rows = s.set_index("unique_id")
    for uid, word in BAD.items():
        assert rows.status[uid] == "failed" and word in rows.message[uid], uid
        assert np.isnan(rows.loc[uid, ["llf", "aic", "bic", "ma.L1", "sigma2"]].astype(float)).all()
    assert (rows.status[list(GOOD)] == "ok").all()
    assert set(serial_tables.forecasts.unique_id) == set(GOOD)


@pytest.mark.parametrize("uid", GOOD)
def test_a_row_is_the_fit_of_its_series_on_its_grid(panel, serial_tables, uid):
    """The independent route: the series laid out by pandas, fitted alone."""
    data, future = panel
    y, x, grid = regular(data, uid)
    assert np.isnan(y).sum() == 4                  # the absent dates became missing values
    res = korvanta.fit(y, *AIRLINE, exog=pd.DataFrame(x, columns=["x"]))
    row = serial_tables.summary.set_index("unique_id").loc[uid]
    assert row.llf == res.llf and row.aic == res.aic and row.bic == res.bic
    assert row.nobs == res.nobs
    np.testing.assert_array_equal(row[list(res.param_names)].to_numpy(float), res.params)
    fut = future[future.unique_id == uid]
    fc = res.forecast(HORIZON, exog=fut[["x"]].to_numpy(), alpha=0.05)
    got = serial_tables.forecasts[serial_tables.forecasts.unique_id == uid]
    np.testing.assert_array_equal(got["mean"], fc.mean)
    np.testing.assert_array_equal(got["lower"], fc.lower)
    np.testing.assert_array_equal(got["upper"], fc.upper)
    # The dates continue the series' own: the month after its last one.
    expected = pd.date_range(grid[-1], periods=HORIZON + 1, freq="MS")[1:]
    assert list(got.ds) == list(expected)


def test_regressors_at_absent_dates_do_not_enter_the_fit(panel):
    """What is filled in where a date is absent cannot matter: no observation there."""
    data, _ = panel
    y, x, _ = regular(data, "a")
    gaps = np.isnan(y)
    other = x.copy()
    other[gaps] = 0.5 * np.max(np.abs(x))          # any value inside the regressor's range
    a, b = korvanta.fit(y, *AIRLINE, exog=x), korvanta.fit(y, *AIRLINE, exog=other)
    assert a.llf == pytest.approx(b.llf, rel=1e-10, abs=1e-9)
    np.testing.assert_allclose(a.params, b.params, rtol=1e-6)


def test_row_order_and_numbers_do_not_depend_on_the_tables_row_order(panel, serial_tables):
    data, future = panel
    shuffled = data.sample(frac=1.0, random_state=3)
    first_seen = list(dict.fromkeys(shuffled.unique_id))
    s, f = korvanta.fit_many(shuffled, *AIRLINE, exog_columns=["x"], horizon=HORIZON,
                             future_exog=future.sample(frac=1.0, random_state=4),
                             engine="serial")
    assert list(s.unique_id) == first_seen
    expected = serial_tables.summary.set_index("unique_id").loc[first_seen].reset_index()
    pd.testing.assert_frame_equal(s, expected, check_exact=True)
    by_id = serial_tables.forecasts.set_index("unique_id")
    for uid in GOOD:
        np.testing.assert_array_equal(f[f.unique_id == uid]["mean"], by_id.loc[uid, "mean"])


@pytest.mark.parametrize("freq, ds_kind", [("W-SUN", "M"), ("D", "M"), ("QS", "M"),
                                          (None, "i")], ids=["weekly", "daily", "quarterly",
                                                             "integer"])
def test_forecast_dates_continue_each_series(freq, ds_kind):
    frames = []
    for k, n in enumerate((60, 73)):
        if ds_kind == "M":
            ds = pd.date_range("2010-01-03", periods=n, freq=freq)
        else:
            ds = 10 + 5 * np.arange(n)             # a step of 5
        y = np.random.default_rng(k).normal(size=n).cumsum()
        frames.append(pd.DataFrame({"unique_id": k, "ds": ds, "y": y}).drop(index=[7, 20]))
    data = pd.concat(frames)
    _, f = korvanta.fit_many(data, (1, 1, 0), horizon=3, engine="serial")
    for k, frame in enumerate(frames):
        last = frame.ds.iloc[-1]
        if ds_kind == "M":
            expected = list(pd.date_range(last, periods=4, freq=freq)[1:])
        else:
            expected = [last + 5, last + 10, last + 15]
        assert list(f[f.unique_id == k].ds) == expected


def test_a_mapping_of_arrays_gives_the_fits_of_its_arrays():
    series = {"x": airline_like(1), 7: airline_like(2)[:100]}
    series["x"][[3, 50]] = np.nan
    s, f = korvanta.fit_many(series, *AIRLINE, horizon=2, engine="serial")
    assert list(s.unique_id) == ["x", 7]
    for uid, y in series.items():
        res = korvanta.fit(y, *AIRLINE)
        row = s[s.unique_id == uid].iloc[0]
        assert row.llf == res.llf and row.status == "ok"
        got = f[f.unique_id == uid]
        assert list(got.ds) == [len(y), len(y) + 1]            # positions continue
        np.testing.assert_array_equal(got["mean"], res.forecast(2).mean)


def test_without_pandas_the_tables_are_dicts_of_arrays(monkeypatch):
    import korvanta._optional as optional

    monkeypatch.setattr(optional, "pandas_if_installed", lambda: None)
    s, f = korvanta.fit_many({"a": airline_like(0), "b": np.full(30, np.nan)}, *AIRLINE,
                             horizon=2, engine="serial")
    assert isinstance(s, dict) and isinstance(f, dict)
    assert list(s) == ["unique_id", "status", "message", "nobs", "llf", "aic", "bic",
                       "ma.L1", "ma.S.L12", "sigma2"]
    assert s["status"].tolist() == ["ok", "failed"] and s["llf"].dtype == np.float64
    assert f["ds"].tolist() == [144, 145] and f["unique_id"].tolist() == ["a", "a"]


def test_not_converged_keeps_its_estimates_and_forecast():
    s, f = korvanta.fit_many({"a": airline_like(0)}, *AIRLINE, horizon=2, maxiter=1,
                             engine="serial")
    assert s.status[0] == "not converged" and "did not converge" in s.message[0]
    assert np.isfinite(s.llf[0]) and len(f) == 2


def test_fit_options_reach_every_fit():
    from pkg_data import classic

    y = classic("co2_monthly")
    s, _ = korvanta.fit_many({"a": y}, (1, 1, 1), (0, 0, 1, 12), horizon=1,
                             engine="serial", multistart=True)
    assert s.llf[0] == korvanta.fit(y, (1, 1, 1), (0, 0, 1, 12), multistart=True).llf


def test_a_batch_that_fails_as_a_whole_fails_its_series_only(monkeypatch):
    real = many.fit_batch

    def flaky(spec, batch):
        if batch[0].uid == "b":
            raise MemoryError("no room")
        return real(spec, batch)

    monkeypatch.setattr(many, "fit_batch", flaky)
    s, _ = korvanta.fit_many({u: airline_like(i) for i, u in enumerate("abc")}, *AIRLINE,
                             engine="serial", batch_size=1)
    assert s.status.tolist() == ["ok", "failed", "ok"]
    assert "MemoryError: no room" in s.message[1]


@pytest.mark.parametrize("call, match", [
    (lambda d: korvanta.fit_many(d.drop(columns="ds"), *AIRLINE), "no column 'ds'"),
    (lambda d: korvanta.fit_many(d.assign(y="a"), *AIRLINE), "'y' must be numeric"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, exog_columns=["z"]), "no column 'z'"),
    (lambda d: korvanta.fit_many(d.assign(llf=d.x), *AIRLINE, exog_columns=["llf"]),
     "cannot include 'llf'"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, exog_columns=["x"], horizon=3),
     "future_exog"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, engine="threads"), "engine must be"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, n_jobs=0), "n_jobs"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, batch_size=0), "batch_size"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, alpha=1.5), "alpha"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, horizon=-1), "horizon"),
    (lambda d: korvanta.fit_many(d, (0, 1), (0, 1, 1, 12)), "order"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, callback=print), "unexpected option"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, cov_type="robust"), "cov_type"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, start_params=[0.1]), "start_params"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, freq="fortnightly"), "freq"),
    (lambda d: korvanta.fit_many(d.assign(ds="soon"), *AIRLINE), "neither dates"),
    (lambda d: korvanta.fit_many({"a": [1.0]}, *AIRLINE, exog_columns=["x"]), "mapping"),
    (lambda d: korvanta.fit_many([1.0, 2.0], *AIRLINE), "data must be"),
    # A bad index on a later series of a mapping: refused before the first series is fitted.
    (lambda d: korvanta.fit_many(
        {"a": airline_like(0), "b": pd.Series(airline_like(1), index=pd.DatetimeIndex(
            [pd.NaT, *pd.date_range("2001-01-01", periods=143, freq="MS")]))},
        *AIRLINE, engine="serial"), "index of series 'b' has missing dates"),
    (lambda d: korvanta.fit_many(d.assign(ds=np.arange(len(d)) + 0.5), *AIRLINE,
                                 engine="serial"), "not whole"),
    (lambda d: korvanta.fit_many(d.assign(ds=pd.array([None, *range(1, len(d))],
                                                      dtype="Int64")), *AIRLINE,
                                 engine="serial"), "missing dates"),
    (lambda d: korvanta.fit_many(d.assign(ds=np.arange(len(d), dtype=np.uint64)
                                          + np.uint64(2 ** 63)), *AIRLINE, engine="serial"),
     "beyond the largest 64-bit integer date"),
    # A label given twice looks up a table, not a column.
    (lambda d: korvanta.fit_many(pd.concat([d, d[["y"]]], axis=1), *AIRLINE),
     "more than one column 'y'"),
    (lambda d: korvanta.fit_many(pd.concat([d, d[["x"]]], axis=1), *AIRLINE,
                                 exog_columns=["x"]), "more than one column 'x'"),
    (lambda d: korvanta.fit_many(
        d, *AIRLINE, exog_columns=["x"], horizon=1,
        future_exog=pd.concat([d.iloc[:1], d[["x"]].iloc[:1]], axis=1)),
     "future_exog has more than one column 'x'"),
    (lambda d: korvanta.fit_many(pd.concat([d.assign(m=12), d.assign(m=12)[["m"]]], axis=1),
                                 "auto", season_length="m"), "more than one column 'm'"),
    # A regressor named as a parameter would share that parameter's summary column.
    (lambda d: korvanta.fit_many(d.rename(columns={"x": "ma.S.L12"}), *AIRLINE,
                                 exog_columns=["ma.S.L12"]), "name of one of the model's"),
    (lambda d: korvanta.fit_many(d.rename(columns={"x": "sigma2"}), *AIRLINE,
                                 exog_columns=["sigma2"]), "name of one of the model's"),
    (lambda d: korvanta.fit_many(d.rename(columns={"x": "ar.L3"}), "auto",
                                 exog_columns=["ar.L3"]), "cannot be named 'ar.L3'"),
    (lambda d: korvanta.fit_many(d.rename(columns={"x": "model"}), "auto",
                                 exog_columns=["model"]), "cannot be named 'model'"),
    (lambda d: korvanta.fit_many(d, *AIRLINE, start_params="abc"),
     "start_params must be numeric; it holds text"),
], ids=["no-ds", "text-y", "no-regressor-column", "regressor-named-llf", "no-future-regressors", "engine", "n_jobs",
        "batch_size", "alpha", "horizon", "order", "option", "cov_type", "start_params",
        "freq", "ds", "mapping-exog", "list", "mapping-missing-date", "fractional-ds",
        "nullable-ds-missing", "unsigned-ds-too-large", "y-twice", "regressor-twice",
        "future-regressor-twice", "season-column-twice", "regressor-named-ma.S.L12",
        "regressor-named-sigma2", "auto-regressor-named-ar.L3", "auto-regressor-named-model",
        "text-start_params"])
def test_input_errors_are_raised_before_any_fit(panel, monkeypatch, call, match):
    monkeypatch.setattr(many, "fit_batch", lambda *a: pytest.fail("a fit started"))
    with pytest.raises(InputError, match=match):
        call(panel[0])


def test_engine_dask_without_a_client_says_so(monkeypatch):
    def no_client():
        raise ValueError("No clients found")

    monkeypatch.setattr(distributed, "get_client", no_client)
    with pytest.raises(ValueError, match="there is none"):
        korvanta.fit_many({"a": airline_like(0)}, *AIRLINE, engine="dask")


def _monthly(uid, n=60, seed=0):
    ds = pd.date_range("2015-01-01", periods=n, freq="MS")
    y = np.random.default_rng(seed).normal(size=n).cumsum()
    return pd.DataFrame({"unique_id": uid, "ds": ds, "y": y, "x": np.linspace(0, 1, n)})


@pytest.mark.parametrize("spoil, word", [
    (lambda f: f.assign(ds=f.ds.where(f.index != 10, pd.Timestamp("2015-11-15"))),
     "off the grid"),
    (lambda f: f.assign(ds=pd.date_range("2015-01-01", periods=len(f), freq="MS")
                        .where(np.arange(len(f)) != 59, pd.Timestamp("2250-01-01"))),
     "mostly gaps"),
], ids=["off-grid", "far-date"])
def test_a_series_whose_dates_form_no_grid_fails_alone(spoil, word):
    data = pd.concat([_monthly("good", seed=1), spoil(_monthly("bad", seed=2))])
    s, _ = korvanta.fit_many(data, (1, 1, 0), engine="serial")
    assert s.status.tolist() == ["ok", "failed"] and word in s.message[1], s.message[1]


def test_missing_future_regressors_fail_that_series_only():
    data = pd.concat([_monthly("a"), _monthly("b", seed=3)])
    future = pd.DataFrame({"unique_id": ["a", "a", "b"],
                           "ds": pd.to_datetime(["2020-01-01", "2020-02-01", "2020-01-01"]),
                           "x": [1.0, 1.1, 1.0]})
    s, f = korvanta.fit_many(data, (1, 1, 0), exog_columns=["x"], horizon=2,
                             future_exog=future, engine="serial")
    assert s.status.tolist() == ["ok", "failed"]
    assert "no regressor values for the forecast date 2020-02-01" in s.message[1]
    assert f.unique_id.tolist() == ["a", "a"]


def test_a_horizon_past_the_last_representable_date_fails_that_series_before_its_fit(
        monkeypatch):
    late = _monthly("late").assign(ds=pd.date_range(end="2262-03-01", periods=60, freq="MS"))
    steps = pd.DataFrame({"unique_id": "steps", "ds": np.iinfo(np.int64).max - 60 + np.arange(60),
                          "y": _monthly("x").y.to_numpy()})
    fitted = []
    real = many.fit

    def counted(y, *args, **kwargs):
        fitted.append(len(y))
        return real(y, *args, **kwargs)

    monkeypatch.setattr(many, "fit", counted)
    s, f = korvanta.fit_many(pd.concat([_monthly("a"), late]), (1, 1, 0), horizon=2,
                             engine="serial")
    assert s.status.tolist() == ["ok", "failed"] and fitted == [60]
    assert s.message[1] == ("the forecast's 2 periods after 2262-03-01 run past the last "
                            "date that pandas can hold (2262-04-11)")
    assert f.unique_id.tolist() == ["a", "a"]
    # Integer dates: int64 arithmetic would wrap around to negative dates.
    s, f = korvanta.fit_many(steps, (1, 1, 0), horizon=2, engine="serial")
    assert s.status.tolist() == ["failed"] and "largest 64-bit integer date" in s.message[0]
    s, f = korvanta.fit_many(steps, (1, 1, 0), horizon=1, engine="serial")
    assert s.status.tolist() == ["ok"] and f.ds.tolist() == [np.iinfo(np.int64).max]


@pytest.mark.parametrize("make", [
    lambda y: pd.DataFrame({"unique_id": "a", "ds": pd.period_range("2300-01", periods=40,
                                                                   freq="M"), "y": y}),
    lambda y: {"a": pd.Series(y, index=pd.period_range("2300-01", periods=40, freq="M"))},
    lambda y: pd.DataFrame({"unique_id": "a", "ds": pd.date_range("2300-01-01", periods=40,
                                                                 freq="D"), "y": y}),
    lambda y: pd.DataFrame({"unique_id": "a", "ds": pd.date_range("1600-01-01", periods=40,
                                                                 freq="D"), "y": y}),
], ids=["periods", "mapping-periods", "days-after-2262", "days-before-1677"])
def test_dates_past_the_nanosecond_range_are_refused(make):
    # pandas 3 keeps such dates in coarser units; cast to nanoseconds they wrapped around
    # silently to other dates (daily ones to a regular grid of dates in the 1700s).
    y = np.random.default_rng(0).normal(size=40).cumsum()
    try:
        data = make(y)
    except pd.errors.OutOfBoundsDatetime:
        pytest.skip("this pandas holds no dates outside the nanosecond range")
    with pytest.raises(InputError, match=r"has the date (2300-01|1600-01)\S*, outside the "
                                         r"range of dates that fit_many handles"):
        korvanta.fit_many(data, (1, 1, 0), horizon=2, engine="serial")


def test_an_explicit_frequency_lays_out_a_series_too_gappy_to_show_its_own():
    frame = _monthly("a", n=90).iloc[::2]           # every other month: looks bimonthly
    s, f = korvanta.fit_many(frame, (1, 0, 0), horizon=1, freq="MS", engine="serial")
    assert s.nobs[0] == 45 and f.ds.tolist() == [pd.Timestamp("2022-06-01")]
    s, _ = korvanta.fit_many(frame.iloc[[0, 1, 3, 4, 7, 8, 11, 12, 16]], (0, 0, 0),
                             engine="serial")
    assert s.status[0] == "failed" and "cannot be told" in s.message[0]


def test_a_mapping_of_dated_series_continues_their_dates():
    dates = pd.date_range("2001-01-31", periods=144, freq=month_end())
    series = {"dated": pd.Series(airline_like(3), index=dates), "plain": airline_like(4)}
    _, f = korvanta.fit_many(series, *AIRLINE, horizon=2, engine="serial")
    assert f.ds.tolist() == [pd.Timestamp("2013-01-31"), pd.Timestamp("2013-02-28"), 144, 145]


@pytest.mark.parametrize("data", [{}, pd.DataFrame({"unique_id": [], "ds": [], "y": []})],
                         ids=["mapping", "frame"])
def test_no_series_gives_empty_tables(data):
    s, f = korvanta.fit_many(data, *AIRLINE, horizon=3)
    assert len(s) == 0 and list(s.columns[-3:]) == ["ma.L1", "ma.S.L12", "sigma2"]
    assert len(f) == 0 and list(f.columns) == ["unique_id", "ds", "mean", "lower", "upper"]


def test_a_mapping_of_dated_series_is_fitted_in_date_order():
    """A pandas Series whose index runs backwards (or is shuffled) is the same series."""
    dates = pd.date_range("2001-01-01", periods=144, freq="MS")
    y = pd.Series(airline_like(5), index=dates)
    shuffled = y.sample(frac=1.0, random_state=2)
    s, f = korvanta.fit_many({"sorted": y, "backwards": y[::-1], "shuffled": shuffled},
                             *AIRLINE, horizon=2, engine="serial")
    res = korvanta.fit(y.to_numpy(), *AIRLINE)
    assert (s.llf == res.llf).all() and (s.status == "ok").all()
    expected = [pd.Timestamp("2013-01-01"), pd.Timestamp("2013-02-01")]
    for uid in ("sorted", "backwards", "shuffled"):
        got = f[f.unique_id == uid]
        assert got.ds.tolist() == expected, uid
        np.testing.assert_array_equal(got["mean"], res.forecast(2).mean)


def test_whole_float_dates_are_integer_steps():
    # pandas would read floats as nanoseconds since 1970: forecasts dated 1970-01-01.
    frame = _monthly("a").assign(ds=10.0 + 5 * np.arange(60))
    s, f = korvanta.fit_many(frame, (1, 1, 0), horizon=2, engine="serial")
    ints, g = korvanta.fit_many(frame.assign(ds=frame.ds.astype(np.int64)), (1, 1, 0),
                                horizon=2, engine="serial")
    pd.testing.assert_frame_equal(s, ints, check_exact=True)
    pd.testing.assert_frame_equal(f, g, check_exact=True)
    assert f.ds.tolist() == [310, 315]


def test_regressor_columns_are_found_by_their_own_labels():
    """A column labelled 0 (not "0") is a regressor like any other."""
    data = pd.concat([_monthly("a"), _monthly("b", seed=3)], ignore_index=True)
    future = pd.DataFrame({"unique_id": ["a", "b"], "ds": pd.Timestamp("2020-01-01"),
                           "x": [0.5, 0.5]})
    named = korvanta.fit_many(data, (1, 1, 0), exog_columns=["x"], horizon=1,
                              future_exog=future, engine="serial")
    s, f = korvanta.fit_many(data.rename(columns={"x": 0}), (1, 1, 0), exog_columns=[0],
                             horizon=1, future_exog=future.rename(columns={"x": 0}),
                             engine="serial")
    pd.testing.assert_frame_equal(s, named.summary.rename(columns={"x": "0"}),
                                  check_exact=True)
    pd.testing.assert_frame_equal(f, named.forecasts, check_exact=True)


@pytest.mark.parametrize("spoil, words", [
    (lambda fut: pd.concat([fut, fut.iloc[[1]].assign(x=99.0)]),
     "future_exog has more than one row for the forecast date 2020-02-01"),
    (lambda fut: fut.assign(x=np.where(np.arange(len(fut)) == 1, np.nan, fut.x)),
     "future_exog has a non-finite value (nan) for the forecast date 2020-02-01"),
], ids=["date-twice", "missing-value"])
def test_ambiguous_or_missing_future_regressors_fail_that_series_only(spoil, words):
    data = pd.concat([_monthly("a"), _monthly("b", seed=3)])
    future = pd.DataFrame({"unique_id": ["a", "a", "b", "b"],
                           "ds": pd.to_datetime(["2020-01-01", "2020-02-01"] * 2),
                           "x": [1.0, 1.1, 1.0, 1.1]})
    s, f = korvanta.fit_many(data, (1, 1, 0), exog_columns=["x"], horizon=2,
                             future_exog=spoil(future), engine="serial")
    assert s.status.tolist() == ["failed", "ok"] and s.message[0].startswith(words)
    assert f.unique_id.tolist() == ["b", "b"]


@pytest.mark.parametrize("value", [3.0, None], ids=["number", "None"])
def test_a_mapping_value_that_is_no_array_fails_alone_and_says_so(value):
    s, _ = korvanta.fit_many({"bad": value, "good": airline_like(0)}, *AIRLINE,
                             engine="serial")
    assert s.status.tolist() == ["failed", "ok"]
    assert s.message[0].startswith("the series must be a 1-D array of observations; got ")


@pytest.mark.parametrize("ids", [[("a", 1), ("b",)], [("a", 1), ("b", 2)], [1, "1"],
                                 [pd.Timestamp("2020-01-01"), 2.5], [-1, 2 ** 63 + 1]],
                         ids=["tuples-of-two-lengths", "tuples", "one-and-text-one", "mixed",
                              # no integer type holds both: as floats, 2**63 + 1 was rounded
                              "integers-of-no-one-type"])
def test_ids_of_any_hashable_kind_come_back_as_given(ids):
    frames = [_monthly("", seed=k) for k in range(len(ids))]
    for frame, uid in zip(frames, ids):
        frame["unique_id"] = pd.Series([uid] * len(frame), dtype=object)
    s, f = korvanta.fit_many(pd.concat(frames, ignore_index=True), (1, 1, 0), horizon=2,
                             engine="serial")
    assert s.unique_id.tolist() == ids and (s.status == "ok").all()
    for k, frame in enumerate(frames):
        res = korvanta.fit(frame.y.to_numpy(), (1, 1, 0))
        assert s.llf[k] == res.llf
        np.testing.assert_array_equal(f["mean"][2 * k:2 * k + 2], res.forecast(2).mean)
    assert f.unique_id.tolist() == [uid for uid in ids for _ in range(2)]


@pytest.mark.parametrize("start", ["2021-10-30", "2021-03-27"], ids=["clocks-back",
                                                                      "clocks-forward"])
@pytest.mark.parametrize("form", ["mapping", "frame"])
def test_hourly_dates_in_a_time_zone_cross_a_clock_change(start, form):
    # On the local clock an hour repeats when the clocks go back (the series failed with a
    # date "twice") and one is skipped when they go forward (a missing observation that
    # never was).  The hours are evenly spaced in UTC; the forecast's dates are shown on
    # the local clock, as the data's were.
    rng = np.random.default_rng(2)
    y = rng.normal(size=80).cumsum()
    x = rng.normal(size=84)
    y = y + x[:80]
    hours = pd.date_range(start, periods=84, freq="h", tz="Europe/Berlin")
    if form == "mapping":
        out = korvanta.fit_many({"a": pd.Series(y, index=hours[:80])}, (1, 0, 0),
                                horizon=3, engine="serial")
        alone = korvanta.fit(y, (1, 0, 0))
    else:
        data = pd.DataFrame({"unique_id": "a", "ds": hours[:80], "y": y, "x": x[:80]})
        future = pd.DataFrame({"unique_id": "a", "ds": hours[80:], "x": x[80:]})
        out = korvanta.fit_many(data, (1, 0, 0), exog_columns=["x"], horizon=3,
                                future_exog=future, engine="serial")
        alone = korvanta.fit(y, (1, 0, 0), exog=x[:80, None])
    row = out.summary.iloc[0]
    assert row["status"] == "ok", row["message"]
    assert row["nobs"] == 80 and row["llf"] == alone.llf
    fc = alone.forecast(3, exog=None if form == "mapping" else x[80:83, None])
    np.testing.assert_array_equal(out.forecasts["mean"], fc.mean)
    assert list(out.forecasts["ds"]) == list(hours[80:83].tz_localize(None))


def test_daily_dates_in_a_time_zone_keep_their_local_days():
    days = pd.date_range("2021-03-20", periods=60, freq="D", tz="Europe/Berlin")
    y = np.random.default_rng(3).normal(size=60).cumsum()
    out = korvanta.fit_many({"a": pd.Series(y, index=days)}, (1, 0, 0), horizon=2,
                            engine="serial")
    assert list(out.forecasts["ds"]) == [pd.Timestamp("2021-05-19"), pd.Timestamp("2021-05-20")]


# -- inside a worker process of another pool ------------------------------------------------
def _series_for_nesting():
    return {u: airline_like(i, 60) for i, u in enumerate("abc")}


def _fit_many_in_a_worker(_):
    return korvanta.fit_many(_series_for_nesting(), (0, 1, 1), n_jobs=2).summary


@pytest.mark.parametrize("pool", ["daemonic", "forked"])
def test_fit_many_runs_inside_a_worker_of_another_pool(pool):
    """A daemonic worker (multiprocessing.Pool, Dask) may not start processes of its own,
    and a worker forked from a caller that has started fit_many's workers inherits that
    caller's record of them: each is then the fit of its series all the same."""
    import concurrent.futures as cf
    import multiprocessing as mp

    expected = korvanta.fit_many(_series_for_nesting(), (0, 1, 1), n_jobs=2).summary
    fork = mp.get_context("fork")
    outer = fork.Pool(1) if pool == "daemonic" else \
        cf.ProcessPoolExecutor(1, mp_context=fork)
    with outer:
        summary = outer.map(_fit_many_in_a_worker, [0])
        summary = list(summary)[0] if pool == "forked" else summary[0]
    pd.testing.assert_frame_equal(summary, expected, check_exact=True)
    assert (summary.status == "ok").all()
