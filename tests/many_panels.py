"""Panels for the many-series tests, and functions that worker processes import by name."""

import os
from contextlib import contextmanager

import numpy as np
import pandas as pd

from pkg_data import airline

AIRLINE = ((0, 1, 1), (0, 1, 1, 12))
GOOD = ("a", "b", "c", "d")
# id -> the reason it cannot be fitted (a word of the message it must get).
BAD = {"short": "needs at least", "missing": "every observation", "constant": "constant",
       "nan-exog": "non-finite", "twice": "more than once"}


def airline_like(seed, n=144):
    """The log airline series with noise: the same shape, different numbers."""
    rng = np.random.default_rng(seed)
    return airline()[:n] + rng.normal(0.0, 0.02, n)


def mixed_panel(horizon=4, gaps=True):
    """Long table of monthly series with one regressor: good ones with gaps (absent rows),
    and one of each kind of bad series; plus the regressor's future values."""
    rng = np.random.default_rng(7)
    frames, future = [], []
    for k, uid in enumerate(GOOD + tuple(BAD)):
        n = {"short": 20}.get(uid, 100 + 4 * k)
        ds = pd.date_range("2001-01-01", periods=n + horizon, freq="MS")
        x = rng.normal(size=n + horizon)
        y = airline_like(k, n) + 0.1 * x[:n]
        if uid == "missing":
            y[:] = np.nan
        if uid == "constant":
            y[:] = 3.0
            x[:] = 1.0
        frame = pd.DataFrame({"unique_id": uid, "ds": ds[:n], "y": y, "x": x[:n]})
        if uid == "nan-exog":
            frame.loc[50, "x"] = np.nan
        if uid == "twice":
            frame = pd.concat([frame, frame.iloc[[30]]])
        if gaps and uid in GOOD:
            frame = frame.drop(index=[5 + k, 40, 41, 77])   # absent dates, not NaN rows
        frames.append(frame)
        future.append(pd.DataFrame({"unique_id": uid, "ds": ds[n:], "x": x[n:]}))
    return pd.concat(frames, ignore_index=True), pd.concat(future, ignore_index=True)


@contextmanager
def two_worker_client():
    """A client of a real local Dask cluster: two worker processes of one thread each."""
    import distributed

    # The scheduler's web server on a free port: its default one may be taken by another
    # cluster on the machine, which turns into a warning and a failed test.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cl, \
            distributed.Client(cl) as client:
        yield client


def regular(frame, uid):
    """One series of a long table on its full monthly grid: y NaN and x 0 at absent dates."""
    one = frame[frame.unique_id == uid].set_index("ds").sort_index()
    grid = pd.date_range(one.index[0], one.index[-1], freq="MS")
    one = one.reindex(grid)
    return one.y.to_numpy(), one.x.fillna(0.0).to_numpy()[:, None], grid


# -- functions mapped by the engine tests (imported by name in worker processes) ----------
def square_or_die(item):
    if item == "die":
        os._exit(3)            # the worker vanishes mid-item, as if killed
    if item == "raise":
        raise ValueError("bad item")
    return item * item


def threads_setting(_):
    return os.environ.get("KORVANTA_RS_NUM_THREADS")


def threads_after_a_batch(_):
    """The variable as fit_many's Dask tasks leave it."""
    import korvanta.many as many

    spec = many.ManySpec((0, 0, 0), (0, 0, 0, 0), (), None, None, 0.05, None, None, {}, True)
    many.fit_batch(spec, [])
    return os.environ.get("KORVANTA_RS_NUM_THREADS")


def fit_or_die(spec, batch):
    """fit_batch, except that a series given as the text "die" kills its worker."""
    import korvanta.many as many

    for task in batch:
        if isinstance(task.y, str):
            square_or_die(task.y)
    return many.fit_batch(spec, batch)
