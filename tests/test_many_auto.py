"""fit_many(order="auto"): every series' row is auto_fit on that series alone, with its
own season length; the table holds the union of the chosen models' parameters."""

from contextlib import nullcontext

import numpy as np
import pytest

import korvanta
from korvanta import InputError
from many_panels import airline_like

pd = pytest.importorskip("pandas")


def _long(series, seasons=None):
    frames = []
    for uid, y in series.items():
        frame = pd.DataFrame({"unique_id": uid, "y": y,
                              "ds": pd.date_range("2000-01-01", periods=len(y), freq="MS")})
        if seasons is not None:
            frame["m"] = seasons[uid]
        frames.append(frame)
    return pd.concat(frames, ignore_index=True)


@pytest.fixture(scope="module")
def series():
    rng = np.random.default_rng(3)
    return {"seasonal": airline_like(1, 120),
            "arma": 10 + np.convolve(rng.normal(size=130), [1.0, 0.6], "valid")[:100],
            "short": airline_like(2, 20),           # under two seasons: non-seasonal search
            "constant": np.full(60, 2.0)}


SEASONS = {"seasonal": 12, "arma": 1, "short": 12, "constant": 12}


@pytest.mark.parametrize("how", ["column", "mapping", "series"])
def test_rows_are_auto_fit_of_each_series_alone(series, how):
    data = _long(series, SEASONS)
    season_length = {"column": "m", "mapping": dict(SEASONS),
                     "series": pd.Series(SEASONS)}[how]
    summary, forecasts = korvanta.fit_many(data, "auto", season_length=season_length,
                                           horizon=3, engine="serial", max_p=2, max_q=2)
    assert summary.unique_id.tolist() == list(series)
    failed = summary.set_index("unique_id").loc["constant"]
    assert failed.status == "failed" and "constant" in failed.message
    assert np.isnan(failed.llf) and failed.model == ""
    for uid in ("seasonal", "arma", "short"):
        row = summary.set_index("unique_id").loc[uid]
        with pytest.warns(korvanta.KorvantaWarning) if uid == "short" else nullcontext():
            alone = korvanta.auto_fit(series[uid], SEASONS[uid], max_p=2, max_q=2, n_jobs=1)
        assert row.llf == alone.llf and row.aic == alone.aic
        names = alone.problem.param_names
        np.testing.assert_array_equal(row[list(names)].to_numpy(float), alone.params)
        others = [c for c in summary.columns[8:] if c not in names]
        assert np.isnan(row[others].to_numpy(float)).all()
        fc = forecasts[forecasts.unique_id == uid]
        np.testing.assert_array_equal(fc["mean"], alone.forecast(3).mean)
    assert "[12]" in summary.set_index("unique_id").loc["seasonal"].model
    short = summary.set_index("unique_id").loc["short"]
    assert "[12]" not in short.model and "two seasons" in short.message


def test_processes_give_the_serial_table(series):
    data = {k: series[k] for k in ("seasonal", "arma")}
    kw = dict(season_length=12, max_p=1, max_q=1, max_P=1, max_Q=1)
    serial, _ = korvanta.fit_many(data, "auto", engine="serial", **kw)
    procs, _ = korvanta.fit_many(data, "auto", n_jobs=2, batch_size=1, **kw)
    pd.testing.assert_frame_equal(serial, procs)


def test_a_series_without_a_season_length_fails_alone(series):
    data = {k: series[k] for k in ("arma", "short")}
    summary, _ = korvanta.fit_many(data, "auto", season_length={"arma": 1}, engine="serial",
                                   max_p=1, max_q=1)
    assert summary.status.tolist() == ["ok", "failed"]
    assert "season_length" in summary.message[1]


@pytest.mark.parametrize("kw, words", [
    (dict(seasonal_order=(0, 1, 1, 12)), "season_length, not seasonal_order"),
    (dict(season_length=0), "season_length"),
    (dict(season_length=1.5), "season_length"),
    (dict(season_length="nope"), "names no column"),
    (dict(season_length="bad"), "more than one season length"),
    (dict(start_params=[0.1]), "start_params"),
    (dict(information_criterion="mdl"), "information_criterion"),
    (dict(trend="ct"), "trend"),
    (dict(max_p=-1), "max_p"),
    (dict(stepwise=True, bogus=1), "unexpected option"),
    (dict(seasonal_order=12), "seasonal_order must be a sequence of 4 integers; got 12"),
    (dict(season_length={"a": 1, "b": 12.5}), r"got 12.5 \(for the series 'b'\)"),
    (dict(stepwise="no"), "stepwise must be True or False"),
])
def test_bad_auto_arguments_raise_before_any_fit(series, kw, words):
    data = _long({"a": series["arma"], "b": series["arma"] + 1}, {"a": 1, "b": 1})
    data["bad"] = np.arange(len(data)) % 2 + 1
    with pytest.raises(InputError, match=words):
        korvanta.fit_many(data, "auto", engine="serial", **kw)
