"""`fit_many`: one model fitted to many series, on all local cores or on a Dask cluster.

The caller's process checks the input once, cuts it into batches of series and hands
the batches to an engine (`engines.py`); a worker fits each series of a batch with
`korvanta.fit` and sends back only the numbers of its summary row and its forecast.  A
series that cannot be fitted becomes a `failed` row with the reason; it never stops the
others.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, replace
from functools import partial
from itertools import islice
from typing import Any

import numpy as np

import _korvanta_rs as kr

from . import _optional
from .auto import auto_fit, check_search_options
from .covariance import COV_TYPES
from .dates import continue_index, date_text
from .engines import (DaskEngine, Engine, ProcessEngine, SerialEngine, WorkerDied,
                      available_cpus, can_start_processes, current_client, is_dask_client,
                      one_thread, this_process)
from .estimate import fit, quiet_notes
from .grid import lay_out
from .names import clashing_exog_name, is_param_name, param_names
from .panel import ID, Panel, SeriesTask, local_clock, make_panel
from .results import FitResult
from .problem import (InputError, _int_tuple, _trend_powers, check_alpha, check_steps, flag,
                      float_array)
from .search_table import model_label
from .tables import FAILED, NOT_CONVERGED, OK, Outcome, TableBuilder

__all__ = ["fit_many", "ManyResult", "fit_batch", "ManySpec"]

ENGINES = ("processes", "serial", "dask")
# fit's options that make sense for every series alike.
_FIT_OPTIONS = {"concentrate_scale": bool, "enforce_stationarity": bool,
                "enforce_invertibility": bool, "start_params": object, "maxiter": int,
                "cov_type": str, "parallel": bool, "boundary_retry": bool,
                "multistart": bool}
# Largest default batch: big enough to amortise the hand-over (a few ms), small enough
# that the work spreads evenly and a progress bar moves.
_MAX_BATCH = 64
# Batches per worker for a small panel: the last batch to finish leaves the other workers
# idle for about half a batch, so more, smaller batches keep every core busy to the end.
_BATCHES_PER_WORKER = 16
# auto_fit's options of the search itself, with order="auto".
_AUTO_OPTIONS = frozenset({"d", "D", "max_p", "max_q", "max_P", "max_Q", "max_order",
                           "information_criterion", "stepwise"})


@dataclass(frozen=True)
class ManyResult:
    """The summary table (one row per series, in input order) and the long forecast table
    (None without a horizon).  Unpacks as `summary, forecasts = fit_many(...)`."""

    summary: Any
    forecasts: Any

    def __iter__(self) -> Iterator[Any]:
        return iter((self.summary, self.forecasts))


@dataclass(frozen=True)
class ManySpec:
    """What every worker needs besides its series: the model and the options."""

    order: tuple[int, int, int] | None          # None: chosen per series (order="auto")
    seasonal_order: tuple[int, int, int, int]
    trend: tuple[int, ...]
    auto: dict[str, Any] | None     # auto_fit's own options, with its trend
    horizon: int | None
    alpha: float
    freq: Any               # the caller's frequency of the dates, or None
    guess: Any              # the panel's usual frequency, for series too gappy to show one
    fit_options: dict[str, Any]
    one_thread: bool        # set the extension to one thread in the worker, unless set
    exog_names: tuple[str, ...] = ()    # the regressors' names: their summary columns
    # The caller's process (`engines.this_process`): a worker running inside it (a Dask
    # cluster of threads) leaves the caller's environment alone.
    caller: str | None = None


def fit_many(data: Any, order: Sequence[int] | str,
             seasonal_order: Sequence[int] | None = (0, 0, 0, 0),
             trend: str | Sequence[int] | None = None, *,
             exog_columns: Sequence[str] | None = None, horizon: int | None = None,
             alpha: float = 0.05, engine: Any = None, n_jobs: int | None = None,
             batch_size: int | None = None, progress: bool | None = None,
             future_exog: Any = None, freq: Any = None, season_length: Any = 1,
             **fit_options: Any) -> ManyResult:
    """Fit SARIMA(order)x(seasonal_order) with `trend` to every series of `data`.

    data: a long-format pandas DataFrame (columns unique_id, ds, y and the regressors
    named by `exog_columns`) or a mapping from id to a 1-D array or pandas Series (whose
    index of dates or periods gives its dates; other labels are continued by its forecast
    as by a single fit's).  Series may differ in length and contain NaN; dates absent
    from a series are missing observations.

    order="auto": every series gets the model `korvanta.auto_fit` chooses for it, with
    `season_length` (one integer, the name of a column of `data` that holds each
    series' season length, or a mapping from id to season length); trend is then "auto"
    (the default), "c" or "n", and auto_fit's search options (d, D, max_p, max_q, max_P,
    max_Q, max_order, information_criterion, stepwise) may be given.  The summary then
    has a `model` column and a column for each parameter name of any chosen model.

    horizon: also forecast this many periods, with (1 - alpha) intervals; a model with
    regressors then needs `future_exog` (unique_id, ds and the regressor columns at the
    forecast dates).  freq: the dates' frequency (a pandas alias such as 'MS', or an
    integer step) when a series' own dates do not show it; by default it is inferred.

    engine: None (worker processes on this machine, `n_jobs` of them, all available CPUs
    by default; this process inside a daemonic worker of another pool, which may not
    start processes), "serial" (this process), "dask" (the current Dask client) or a
    `distributed.Client`.  batch_size: series per task (by default a few batches per
    worker, at most 64 series).  progress: a bar on stderr (tqdm); by default only when
    stderr is a terminal.  Other keyword arguments go to `korvanta.fit`.

    Returns a `ManyResult`: `summary` (unique_id, status "ok" / "not converged" /
    "failed", message, nobs, llf, aic, bic and the parameters by name) and, with a
    horizon, `forecasts` (unique_id, ds, mean, lower, upper): pandas DataFrames when
    pandas is installed, else dicts of NumPy arrays.  Input errors raise InputError
    before any fitting.
    """
    auto = isinstance(order, str) and order == "auto"
    steps = None if horizon is None else check_steps(horizon, "horizon")
    alpha = check_alpha(alpha)
    order_t: tuple[int, int, int] | None = None
    seasonal_t: tuple[int, int, int, int] = (0, 0, 0, 0)
    powers: tuple[int, ...] = ()
    if auto:
        auto_options, options = _check_auto(seasonal_order, trend, fit_options)
    else:
        order_t = _int_tuple(order, 3, "order")
        seasonal_t = _int_tuple(seasonal_order, 4, "seasonal_order")
        powers = _trend_powers(trend)
        auto_options, options = None, _check_fit_options(fit_options)
    panel = make_panel(data, exog_columns, future_exog, freq, need_future=bool(steps))
    seasons = _season_lengths(season_length, data) if auto else None
    if auto:
        _check_auto_exog(panel.exog_names)
    names = None if order_t is None else \
        _check_model(order_t, seasonal_t, powers, panel.exog_names, options)
    chosen = _engine(engine, n_jobs)
    size = _batch_size(batch_size, panel.n_series, chosen.workers)
    n_batches = math.ceil(panel.n_series / size)
    if n_batches == 0:
        chosen = SerialEngine()                 # nothing to fit: no workers to start
    elif isinstance(chosen, ProcessEngine):
        chosen = ProcessEngine(min(chosen.workers, n_batches))
    bar = _progress_bar(progress, panel.n_series)
    spec = ManySpec(order_t, seasonal_t, powers, auto_options, steps, float(alpha), panel.freq,
                    panel.guess, options, one_thread=isinstance(chosen, DaskEngine),
                    exog_names=panel.exog_names, caller=this_process())
    tables = TableBuilder(names, with_forecast=steps is not None)
    try:
        for done in chosen.map(partial(fit_batch, spec), _batches(panel, size, seasons)):
            outcomes = done.result if done.error is None else \
                [Outcome.failed(t.uid, _batch_error(done.error)) for t in done.item]
            for outcome in outcomes or ():
                tables.add(outcome)
            if bar is not None:
                bar.update(len(done.item))
    finally:
        if bar is not None:
            bar.close()
    forecasts = tables.forecasts()
    if panel.dated and forecasts is not None and len(forecasts["ds"]) == 0:
        # No forecast at all (no series, or none fitted): the dates' column still holds
        # dates, as it does when there are rows.
        forecasts["ds"] = np.empty(0, dtype="datetime64[ns]")
    return ManyResult(tables.summary(), forecasts)


def _check_fit_options(options: dict[str, Any]) -> dict[str, Any]:
    for key, value in options.items():
        if key not in _FIT_OPTIONS:
            raise InputError(f"fit_many got an unexpected option {key!r}; the options passed "
                             f"on to fit are {', '.join(sorted(_FIT_OPTIONS))}")
        kind = _FIT_OPTIONS[key]
        if kind is bool:
            flag(value, key)
    if "cov_type" in options and options["cov_type"] not in COV_TYPES:
        raise InputError(f"cov_type must be one of {', '.join(COV_TYPES)}; got "
                         f"{options['cov_type']!r}")
    maxiter = options.get("maxiter", 1)
    if isinstance(maxiter, bool) or not isinstance(maxiter, (int, np.integer)) or maxiter < 1:
        raise InputError(f"maxiter must be a positive integer; got {maxiter!r}")
    return dict(options)


def _check_auto(seasonal_order: Any, trend: Any,
                options: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """auto_fit's own options and the options of its fits, checked."""
    if seasonal_order is not None and not isinstance(seasonal_order, (str, bytes)) \
            and not hasattr(seasonal_order, "__iter__"):
        raise InputError(f"seasonal_order must be a sequence of 4 integers; got "
                         f"{seasonal_order!r}")
    if seasonal_order is not None and tuple(seasonal_order) != (0, 0, 0, 0):
        raise InputError("with order='auto' the seasonal orders are chosen per series: give "
                         "season_length, not seasonal_order")
    search = {k: v for k, v in options.items() if k in _AUTO_OPTIONS}
    search["trend"] = "auto" if trend is None else trend
    if "start_params" in options:
        raise InputError("start_params does not apply with order='auto': every series "
                         "has a model of its own")
    fit_options = _check_fit_options({k: v for k, v in options.items()
                                      if k not in _AUTO_OPTIONS})
    check_search_options(**search, fit_options=fit_options)
    return search, fit_options


def _season_lengths(season_length: Any, data: Any) -> Any:
    """One season length for all, or a mapping from id to each series' own."""
    if isinstance(season_length, str):
        pd = _optional.pandas_if_loaded()
        if pd is None or not isinstance(data, pd.DataFrame) or season_length not in data:
            raise InputError(f"season_length {season_length!r} names no column of data")
        if list(data.columns).count(season_length) > 1:
            raise InputError(f"data has more than one column {season_length!r}")
        column = data[season_length]
        if column.isna().any() or column.dtype.kind not in "iuf":
            raise InputError(f"data: column {season_length!r} must hold an integer season "
                             "length on every row")
        # observed: a categorical id's unused categories are no series (their NaN rows
        # would read as a season length that varies).
        per_id = column.groupby(data[ID], sort=False, observed=True).agg(["min", "max"])
        if (per_id["min"] != per_id["max"]).any():
            uid = per_id.index[(per_id["min"] != per_id["max"]).to_numpy()][0]
            raise InputError(f"data: column {season_length!r} holds more than one season "
                             f"length for the series {uid!r}")
        season_length = dict(zip(per_id.index, per_id["min"].tolist()))
    if isinstance(season_length, Mapping) or hasattr(season_length, "items"):
        # A dict, or a pandas Series indexed by id.
        return {uid: _season_value(m, uid) for uid, m in season_length.items()}
    return _season_value(season_length)


def _season_value(m: Any, uid: Any = None) -> int:
    if isinstance(m, (float, np.floating)) and float(m).is_integer():
        m = int(m)
    try:
        return check_search_options(season_length=m).m
    except InputError as exc:
        if uid is None:
            raise
        raise InputError(f"{exc} (for the series {uid!r})") from None


def _season_of(seasons: Any, uid: Any) -> int:
    if isinstance(seasons, int):
        return seasons
    # A series without a season length of its own fails in its row (see _fit_series).
    return int(seasons.get(uid, 0))


def _check_model(order: tuple[int, int, int], seasonal: tuple[int, int, int, int],
                 powers: tuple[int, ...], exog_names: tuple[str, ...],
                 options: dict[str, Any]) -> tuple[str, ...]:
    try:
        kr.spec_dims(order, seasonal, list(powers), len(exog_names))
    except (ValueError, OverflowError) as exc:
        raise InputError(f"invalid model order: {exc}") from None
    names = param_names(order, seasonal, powers, exog_names)
    # Every parameter is a column of the summary, found by its name.
    twice = clashing_exog_name(order, seasonal, powers, exog_names)
    if twice is not None:
        raise InputError(f"exog_columns: the regressor {twice!r} has the name of one of the "
                         f"model's parameters ({', '.join(names)}); rename the column")
    if options.get("start_params") is not None:
        start = float_array(options["start_params"], "start_params").reshape(-1)
        if start.size != len(names):
            raise InputError(f"start_params has {start.size} entries, but the model has "
                             f"{len(names)} ({', '.join(names)})")
        options["start_params"] = start
    return names


def _check_auto_exog(exog_names: tuple[str, ...]) -> None:
    # With order="auto" a regressor named like a parameter of any model searched would
    # share its summary column with some series' parameter.
    for name in exog_names:
        if is_param_name(name) or name == "model":
            raise InputError(f"exog_columns: with order='auto' a regressor cannot be named "
                             f"{name!r}, the name of a parameter of the models searched or "
                             "of the summary's model column; rename the column")


def _engine(engine: Any, n_jobs: int | None) -> Engine:
    if n_jobs is not None and (isinstance(n_jobs, bool) or not isinstance(
            n_jobs, (int, np.integer)) or n_jobs < 1):
        raise InputError(f"n_jobs must be a positive integer; got {n_jobs!r}")
    if engine is None or engine == "processes":
        if not can_start_processes():
            # A daemonic worker of another pool: that pool already spreads the work.
            return SerialEngine()
        return ProcessEngine(int(n_jobs) if n_jobs else available_cpus())
    if engine == "serial":
        return SerialEngine()
    if engine == "dask":
        return DaskEngine(current_client())
    if is_dask_client(engine):
        return DaskEngine(engine)
    raise InputError(f"engine must be None, {', '.join(map(repr, ENGINES))} or a "
                     f"distributed.Client; got {engine!r}")


def _batch_size(batch_size: int | None, n_series: int, workers: int) -> int:
    if batch_size is None:
        return max(1, min(_MAX_BATCH, math.ceil(n_series / (workers * _BATCHES_PER_WORKER))))
    if isinstance(batch_size, bool) or not isinstance(batch_size, (int, np.integer)) \
            or batch_size < 1:
        raise InputError(f"batch_size must be a positive integer; got {batch_size!r}")
    return int(batch_size)


def _progress_bar(progress: bool | None, total: int) -> Any:
    if progress is None:
        # Only where someone watches, and never an error for a missing optional package.
        if not (sys.stderr is not None and sys.stderr.isatty() and _optional.has_tqdm()):
            return None
    elif not progress:
        return None
    tqdm = _optional.tqdm()
    return tqdm(total=total, unit="series", file=sys.stderr, desc="fit_many")


def _batches(panel: Panel, size: int, seasons: Any = None) -> Iterator[list[SeriesTask]]:
    tasks = panel.tasks()
    if seasons is not None:
        tasks = (replace(t, season_length=_season_of(seasons, t.uid)) for t in tasks)
    while batch := list(islice(tasks, size)):
        yield batch


def _batch_error(error: BaseException) -> str:
    if isinstance(error, WorkerDied):
        return str(error)
    return f"the batch of this series failed on its worker: {type(error).__name__}: {error}"


# -- in the worker ----------------------------------------------------------------------
def fit_batch(spec: ManySpec, batch: list[SeriesTask]) -> list[Outcome]:
    """Fit every series of a batch; a failure becomes that series' outcome."""
    if spec.one_thread and spec.caller != this_process():
        # A worker process of its own: the setting stays with it.  A worker that is a
        # thread of the caller's process would change the caller's environment for good
        # (and the extension's thread pool for the caller's later fits).
        one_thread(force=False)
    return [fit_series(spec, task) for task in batch]


def fit_series(spec: ManySpec, task: SeriesTask) -> Outcome:
    """Fit one series and forecast it; any error is reported, never raised."""
    try:
        return _fit_series(spec, task)
    except (KeyboardInterrupt, SystemExit):
        raise
    except InputError as exc:
        return Outcome.failed(task.uid, str(exc))
    except BaseException as exc:  # anything a fit raises, even an internal panic
        return Outcome.failed(task.uid, f"{type(exc).__name__}: {exc}")


def _fit_series(spec: ManySpec, task: SeriesTask) -> Outcome:
    grid = lay_out(task.y, task.ds, task.exog, spec.freq, spec.guess)
    # The forecast's dates first: a horizon that they cannot reach fails the series
    # before its fit.
    dates = grid.future(spec.horizon) if spec.horizon is not None else None
    if dates is not None and task.labels is not None:
        dates = _continued(task.labels, len(grid.y), spec.horizon, dates)
    notes: tuple[str, ...] = ()
    res: FitResult
    with quiet_notes():
        # The row carries the texts (res.warnings); repeating them thousands of times on
        # stderr would help nobody.
        if spec.order is None:
            if task.season_length < 1:
                raise InputError("season_length has no entry for this series")
            # One worker process per core already: the search runs no workers of its own.
            res = auto_fit(grid.y, task.season_length, exog=grid.exog, n_jobs=1,
                           **(spec.auto or {}), **spec.fit_options)
            notes = res.search.notes
        else:
            res = fit(grid.y, spec.order, spec.seasonal_order, list(spec.trend), grid.exog,
                      **spec.fit_options)
    if not res.sigma2 > 0:
        return Outcome.failed(task.uid, res.message)
    status = OK if res.converged else NOT_CONVERGED
    message = "; ".join((*notes, *res.warnings))
    forecast = None
    if spec.horizon is not None and dates is not None:
        future = _future_exog(task, dates) if res.problem.k_exog else None
        fc = res.forecast(spec.horizon, exog=future, alpha=spec.alpha)
        forecast = (local_clock(dates, task.zone), np.asarray(fc.mean), np.asarray(fc.lower),
                    np.asarray(fc.upper))
    model = names = None
    if spec.order is None:
        problem = res.problem
        model = model_label(problem.order, problem.seasonal_order, bool(problem.trend_powers))
        # The regressors by their columns' names, as with a model given for all.
        names = param_names(problem.order, problem.seasonal_order, problem.trend_powers,
                            spec.exog_names or problem.exog_names)
    return Outcome(task.uid, status, message, res.nobs, res.llf, res.aic, res.bic,
                   res.params, forecast, model, names)


def _continued(labels: Any, n: int, steps: Any, positions: Any) -> Any:
    """The labels of the forecast's periods after a series labelled `labels` (integers
    a constant step apart go on at that step, as a single fit's forecast does), else
    the periods numbered on from the positions."""
    nxt = continue_index(labels, n, int(steps))
    if nxt is None:
        return positions
    out = np.asarray(nxt)
    return out.astype(np.int64) if out.dtype.kind in "iu" else positions


def _future_exog(task: SeriesTask, dates: Any) -> Any:
    if task.future_ds is None or task.future_exog is None:
        raise InputError("future_exog has no rows for this series")
    where = np.searchsorted(task.future_ds, dates)
    found = (where < task.future_ds.size) & (
        task.future_ds[np.minimum(where, task.future_ds.size - 1)] == dates)
    if not found.all():
        missing = dates[int(np.flatnonzero(~found)[0])]
        raise InputError(f"future_exog has no regressor values for the forecast date "
                         f"{date_text(missing)}")
    # future_ds is sorted: a date given twice has its twin right after it.
    after = np.minimum(where + 1, task.future_ds.size - 1)
    twice = (after != where) & (task.future_ds[after] == dates)
    if twice.any():
        raise InputError(f"future_exog has more than one row for the forecast date "
                         f"{date_text(dates[int(np.flatnonzero(twice)[0])])}")
    values = task.future_exog[where]
    bad = ~np.isfinite(values)
    if bad.any():
        row, col = (int(i[0]) for i in np.nonzero(bad))
        raise InputError(f"future_exog has a non-finite value ({values[row, col]}) for the "
                         f"forecast date {date_text(dates[row])}; regressors cannot be "
                         "missing")
    return values

