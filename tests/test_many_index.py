"""fit_many's forecast dates continue each series' own labels, as the forecast of the
series fitted alone does; and fit_many leaves the caller's environment as it was.

The oracle throughout is `korvanta.fit` on one series and its `forecast`."""

import datetime
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvanta
import korvanta.many as many
from korvanta.engines import THREADS_VARIABLE, this_process

pd = pytest.importorskip("pandas")

ORDER = (1, 1, 0)
H = 3


def _walk(n, seed=0):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.normal(size=n))


def _alone(series, h=H, order=ORDER):
    """The single fit's forecast: its labels (None for numbered periods) and means."""
    fc = korvanta.fit(series, order).forecast(h)
    labels = None if fc.index is None else fc.index
    return labels, np.asarray(fc.mean, dtype=float)


def _rows(forecasts, uid):
    rows = forecasts[forecasts.unique_id == uid]
    return rows.ds.tolist(), rows["mean"].to_numpy()


N = 40
LABELLED = {
    "from 100": np.arange(100, 100 + N),
    "step 5": np.arange(0, 5 * N, 5),
    "range with a step": pd.RangeIndex(10, 10 + 2 * N, 2),
    "backwards": np.arange(N)[::-1] + 7,
    "uint64": np.arange(N, dtype=np.uint64) + 3,
    "default": pd.RangeIndex(N),
    # Not a constant step: numbered on, as the single fit's forecast is.
    "irregular": np.r_[np.arange(N - 1), 90],
    "floats": np.arange(N) * 0.5,
    "text": [f"t{i}" for i in range(N)],
}


@pytest.mark.parametrize("kind", list(LABELLED))
def test_a_labelled_series_is_forecast_at_the_labels_its_single_fit_gives(kind):
    y = pd.Series(_walk(N), index=LABELLED[kind])
    _, f = korvanta.fit_many({"a": y, "b": y * 2}, ORDER, horizon=H, engine="serial")
    for uid, series in (("a", y), ("b", y * 2)):
        labels, mean = _alone(series)
        expected = list(range(N, N + H)) if labels is None else [int(v) for v in labels]
        ds, got = _rows(f, uid)
        assert ds == expected
        np.testing.assert_allclose(got, mean, rtol=1e-12)
    assert f.ds.dtype == np.int64


def test_labels_are_continued_in_worker_processes_too():
    y = pd.Series(_walk(N), index=np.arange(0, 5 * N, 5) + 1000)
    _, f = korvanta.fit_many({"a": y, "b": y + 1.0}, ORDER, horizon=H, n_jobs=2,
                             batch_size=1)
    assert f.ds.tolist() == [1000 + 5 * (N + k) for k in range(H)] * 2


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(start=st.integers(-10**12, 10**12), step=st.integers(-10**6, 10**6).filter(bool),
       n=st.integers(12, 30))
def test_integer_labels_a_constant_step_apart_go_on_at_that_step(start, step, n):
    y = pd.Series(_walk(n, 1), index=start + step * np.arange(n, dtype=np.int64))
    _, f = korvanta.fit_many({"a": y}, (1, 0, 0), horizon=2, engine="serial")
    last = start + step * (n - 1)
    assert f.ds.tolist() == [last + step, last + 2 * step]


DATED = {
    "DatetimeIndex": pd.date_range("2001-01-01", periods=N, freq="MS"),
    "PeriodIndex": pd.period_range("2001-01", periods=N, freq="M"),
    "Python dates": [datetime.date(2001 + i // 12, 1 + i % 12, 1) for i in range(N)],
    "weekly": pd.date_range("2001-01-07", periods=N, freq="W-SUN"),
}


def _as_timestamps(labels):
    if isinstance(labels, pd.PeriodIndex):
        return pd.DatetimeIndex(labels.to_timestamp())
    return pd.DatetimeIndex(list(labels))


@pytest.mark.parametrize("kind", list(DATED))
def test_a_dated_series_is_forecast_at_the_dates_of_its_single_fit(kind):
    y = pd.Series(_walk(N, 2), index=DATED[kind])
    _, f = korvanta.fit_many({"a": y}, ORDER, horizon=H, engine="serial")
    labels, mean = _alone(y)
    ds, got = _rows(f, "a")
    assert f.ds.dtype.kind == "M"
    assert pd.DatetimeIndex(ds).equals(_as_timestamps(labels))
    np.testing.assert_allclose(got, mean, rtol=1e-12)


def test_a_mixed_panel_gives_each_series_the_dates_of_its_own_fit():
    dated = pd.Series(_walk(N, 3), index=DATED["DatetimeIndex"])
    years = pd.Series(_walk(N, 4), index=np.arange(1900, 1900 + N))
    plain = _walk(N, 5)
    data = {"dated": dated, "years": years, "plain": plain}
    _, f = korvanta.fit_many(data, ORDER, horizon=H, engine="serial")
    assert f.unique_id.tolist() == [u for u in data for _ in range(H)]
    labels, mean = _alone(dated)
    ds, got = _rows(f, "dated")
    assert [pd.Timestamp(v) for v in ds] == list(labels)
    np.testing.assert_allclose(got, mean, rtol=1e-12)
    labels, mean = _alone(years)
    ds, got = _rows(f, "years")
    assert ds == list(labels) == [1900 + N + k for k in range(H)]
    np.testing.assert_allclose(got, mean, rtol=1e-12)
    ds, got = _rows(f, "plain")
    assert ds == list(range(N, N + H))
    np.testing.assert_allclose(got, _alone(plain)[1], rtol=1e-12)


@pytest.mark.parametrize("start, step", [(7, 5), (-20, 1), (10**9, 3)])
def test_a_long_table_with_integer_dates_continues_them(start, step):
    n = 36
    y = _walk(n, 6)
    ds = start + step * np.arange(n)
    shuffled = np.random.default_rng(0).permutation(n)
    data = pd.DataFrame({"unique_id": "a", "ds": ds[shuffled], "y": y[shuffled]})
    _, f = korvanta.fit_many(data, ORDER, horizon=H, engine="serial")
    labels, mean = _alone(pd.Series(y, index=ds))
    assert f.ds.tolist() == list(labels)
    np.testing.assert_allclose(f["mean"].to_numpy(), mean, rtol=1e-12)


def test_integer_dates_absent_from_a_long_table_are_missing_observations():
    n, step = 40, 5
    y = _walk(n, 7)
    ds = 3 + step * np.arange(n)
    keep = ~np.isin(np.arange(n), [4, 17, 18])
    data = pd.DataFrame({"unique_id": "a", "ds": ds[keep], "y": y[keep]})
    _, f = korvanta.fit_many(data, ORDER, horizon=H, engine="serial")
    gappy = pd.Series(np.where(keep, y, np.nan), index=ds)
    labels, mean = _alone(gappy)
    assert f.ds.tolist() == list(labels)
    np.testing.assert_allclose(f["mean"].to_numpy(), mean, rtol=1e-12)


def test_a_wide_table_is_refused_and_its_columns_fit_as_a_mapping():
    wide = pd.DataFrame({"a": _walk(N, 8), "b": _walk(N, 9)}, index=np.arange(50, 50 + N))
    with pytest.raises(korvanta.InputError, match="long format"):
        korvanta.fit_many(wide, ORDER, horizon=H, engine="serial")
    _, f = korvanta.fit_many(dict(wide.items()), ORDER, horizon=H, engine="serial")
    long = wide.rename_axis("ds").reset_index().melt(id_vars="ds", var_name="unique_id",
                                                     value_name="y")
    _, g = korvanta.fit_many(long, ORDER, horizon=H, engine="serial")
    g = g.set_index("unique_id").loc[["a", "b"]].reset_index()
    assert f.ds.tolist() == g.ds.tolist() == [50 + N + k for k in range(H)] * 2
    np.testing.assert_allclose(f["mean"].to_numpy(), g["mean"].to_numpy(), rtol=1e-12)


def _gappy_monthly():
    """A regular monthly series and one whose gaps hide its frequency."""
    idx = pd.date_range("2000-01-01", periods=40, freq="MS")
    keep = np.r_[0, 2, 5, 6, 9, 13, 14, 18, 21, 22, 26, 29, 33, 34, 37, 39]
    return pd.Series(_walk(40, 10), index=idx), pd.Series(_walk(40, 11)[keep],
                                                          index=idx[keep])


def test_a_mapping_lays_a_gappy_series_on_the_frequency_the_others_show():
    regular, gappy = _gappy_monthly()
    data = {"regular": regular, "gappy": gappy}
    s, f = korvanta.fit_many(data, (1, 0, 0), horizon=2, engine="serial")
    long = pd.concat([pd.DataFrame({"unique_id": u, "ds": v.index, "y": v.to_numpy()})
                      for u, v in data.items()])
    s_long, f_long = korvanta.fit_many(long, (1, 0, 0), horizon=2, engine="serial")
    assert s.status.tolist() == ["ok", "ok"]
    pd.testing.assert_frame_equal(s, s_long)
    pd.testing.assert_frame_equal(f, f_long)


def test_a_mapping_takes_freq_for_its_dated_series():
    _, gappy = _gappy_monthly()
    s, _ = korvanta.fit_many({"gappy": gappy}, (1, 0, 0), engine="serial")
    assert s.status[0] == "failed" and "freq" in s.message[0]
    s, f = korvanta.fit_many({"gappy": gappy}, (1, 0, 0), horizon=2, freq="MS",
                             engine="serial")
    assert s.status[0] == "ok"
    assert f.ds.tolist() == [pd.Timestamp("2003-05-01"), pd.Timestamp("2003-06-01")]
    grid = gappy.reindex(pd.date_range("2000-01-01", periods=40, freq="MS"))
    assert s.llf[0] == korvanta.fit(grid, (1, 0, 0)).llf


@pytest.mark.parametrize("freq, match", [("MS", "no series of data has dates"),
                                         (5, "not a pandas frequency")])
def test_a_mapping_refuses_a_freq_it_cannot_apply(freq, match):
    data = {"a": _walk(N)} if freq == "MS" else \
        {"a": pd.Series(_walk(N), index=DATED["DatetimeIndex"])}
    with pytest.raises(korvanta.InputError, match=match):
        korvanta.fit_many(data, ORDER, freq=freq, engine="serial")


@pytest.mark.parametrize("data", ["long", "mapping"])
def test_dated_input_without_any_forecast_still_has_dates_in_ds(data):
    # Every series too short to fit: no forecast rows, but the column keeps its kind, as
    # a table that is concatenated with others must.
    idx = pd.date_range("2000-01-01", periods=2, freq="D")
    series = {"a": pd.Series([1.0, 2.0], index=idx), "b": pd.Series([3.0, 1.0], index=idx)}
    if data == "long":
        series = pd.concat([pd.DataFrame({"unique_id": u, "ds": v.index, "y": v.to_numpy()})
                            for u, v in series.items()])
    s, f = korvanta.fit_many(series, (2, 1, 1), horizon=2, engine="serial")
    assert (s.status == "failed").all()
    assert len(f) == 0 and f.ds.dtype == np.dtype("datetime64[ns]")


# -- the caller's environment -----------------------------------------------------------
def _spec(caller):
    return many.ManySpec((0, 0, 0), (0, 0, 0, 0), (), None, None, 0.05, None, None, {},
                         True, caller=caller)


@pytest.mark.parametrize("before", [None, "3"])
def test_a_batch_run_in_the_callers_process_leaves_its_environment_alone(before, monkeypatch):
    if before is None:
        monkeypatch.delenv(THREADS_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(THREADS_VARIABLE, before)
    many.fit_batch(_spec(this_process()), [])
    assert os.environ.get(THREADS_VARIABLE) == before
    # A worker process of its own (another name) gives the extension one thread, unless
    # its operator chose a number.
    many.fit_batch(_spec("another process"), [])
    assert os.environ.get(THREADS_VARIABLE) == (before or "1")


@pytest.mark.parametrize("before", [None, "3"])
def test_dask_workers_that_are_threads_of_the_caller_leave_its_environment_alone(
        before, monkeypatch):
    distributed = pytest.importorskip("distributed")
    if before is None:
        monkeypatch.delenv(THREADS_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(THREADS_VARIABLE, before)
    data = {u: _walk(N, k) for k, u in enumerate("abcd")}
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        s, _ = korvanta.fit_many(data, ORDER, horizon=H, engine=client, batch_size=1)
    assert s.status.tolist() == ["ok"] * 4
    assert os.environ.get(THREADS_VARIABLE) == before


def test_the_name_of_a_process_is_its_own():
    assert this_process() == this_process()
    assert this_process().startswith(f"{os.getpid()}-")
