"""Many series as input: a long-format table or a mapping, checked once and cut into
per-series tasks.

`make_panel` checks everything that concerns the whole input (the columns, their types,
the dates, the future regressors) and raises InputError before any fitting.  What
concerns one series alone (too short, all missing, gaps, non-finite regressors) is that
series' problem: it is found when the series is fitted and reported in its row.

The tasks are cut lazily, in the order in which each id first appears, so that only the
series in flight exist as separate arrays at any time.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from itertools import islice
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional
from ._quiet import ignoring_warnings
from .dates import date_text, object_dates
from .grid import infer_freq
from .problem import InputError
from .tables import SUMMARY_COLUMNS

__all__ = ["SeriesTask", "Panel", "make_panel", "ID", "DS", "Y"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

ID, DS, Y = "unique_id", "ds", "y"
# Series whose own dates are looked at to guess the panel's frequency.
_FREQ_SAMPLE = 20


@dataclass(frozen=True)
class SeriesTask:
    """One series to fit: its observations in date order and what goes with them."""

    uid: Any
    y: Any                          # float64 values (a mapping's value as given)
    ds: npt.NDArray[Any] | None     # datetime64[ns] or int64 dates; None: positions
    exog: Matrix | None             # (n, k) regressors
    future_ds: npt.NDArray[Any] | None
    future_exog: Matrix | None      # (m, k) regressors at the dates future_ds
    season_length: int = 1          # for a model chosen per series (order="auto")
    zone: str | None = None         # dates kept in UTC: the time zone to show them in
    # The labels of a series without dates (a mapping's pandas Series indexed by years,
    # say): the observations stay in their order, and the forecast continues the labels
    # as a single fit's forecast does.
    labels: Any = None


@dataclass(frozen=True)
class Panel:
    """The checked input: how many series, their tasks, the regressors' names and the
    frequency of the dates."""

    n_series: int
    tasks: Any                      # () -> Iterator[SeriesTask]
    exog_names: tuple[str, ...]
    freq: Any                       # the caller's: pandas alias, integer step or None
    guess: Any                      # the one most series show, for those whose gaps hide it
    dated: bool = False             # every series has dates (datetime64 forecast dates)


def make_panel(data: Any, exog_columns: Sequence[str] | None, future_exog: Any,
               freq: Any, need_future: bool) -> Panel:
    """Check the input as a whole and return its lazily cut series."""
    pd = _optional.pandas_if_loaded()
    if pd is not None and isinstance(data, pd.DataFrame):
        return _from_frame(pd, data, exog_columns, future_exog, freq, need_future)
    if isinstance(data, Mapping):
        if exog_columns:
            raise InputError("exog_columns needs a long-format DataFrame (unique_id, ds, y "
                             "and the regressor columns); a mapping holds only the series")
        if future_exog is not None:
            raise InputError("future_exog goes with exog_columns and a DataFrame input")
        return _from_mapping(pd, data, freq)
    raise InputError("data must be a pandas DataFrame in long format (unique_id, ds, y) or "
                     f"a mapping from id to a 1-D array; got {type(data).__name__}")


def _from_mapping(pd: Any, data: Mapping[Any, Any], freq: Any) -> Panel:
    items = list(data.items())
    # The dates of the dated series, checked now: a bad index is an input error, raised
    # before any fit rather than midway, after the series before it were fitted.
    dates: dict[int, tuple[npt.NDArray[Any], str | None]] = {}
    if pd is not None:
        for i, (uid, values) in enumerate(items):
            if isinstance(values, pd.Series):
                found = _index_dates(pd, values.index, f"the index of series {uid!r}")
                if found is not None:
                    dates[i] = found
    # The frequency is that of the dated series: the others are taken in their order.
    if freq is not None and not dates:
        raise InputError("freq is the frequency of dates, and no series of data has dates "
                         "(a pandas Series indexed by dates or periods)")
    freq = _check_freq(pd, freq)
    guess = None
    if freq is None and dates:
        guess = _usual_freq(pd, (np.sort(ds) for ds, _ in dates.values()))

    def tasks() -> Iterator[SeriesTask]:
        for i, (uid, values) in enumerate(items):
            ds, zone = dates.get(i, (None, None))
            labels = None
            if pd is not None and isinstance(values, pd.Series):
                if ds is None:
                    labels = values.index
                values = values.to_numpy(dtype=float, na_value=np.nan) \
                    if values.dtype.kind in "biuf" else values.to_numpy()
                if ds is not None:
                    # In date order, as the rows of a long-format table are put.
                    order = np.argsort(ds, kind="stable")
                    ds, values = ds[order], values[order]
            yield SeriesTask(uid, values, ds, None, None, None, zone=zone, labels=labels)

    return Panel(len(items), tasks, (), freq, guess,
                 dated=bool(items) and len(dates) == len(items))


def _index_dates(pd: Any, index: Any, what: str
                 ) -> tuple[npt.NDArray[Any], str | None] | None:
    """A pandas Series' dates (a DatetimeIndex's, a PeriodIndex's or Python dates') and
    the time zone of dates kept in UTC (see `_naive`), else None."""
    converted = object_dates(index)
    if converted is not None:
        # Python dates, which pandas keeps as objects: dates all the same, as they are
        # in a long-format table's ds column.
        return _nanoseconds(converted, what), None
    if isinstance(index, pd.PeriodIndex):
        index = _timestamps(pd, index, what)
    if isinstance(index, pd.DatetimeIndex):
        plain, zone = _naive(pd, index, None)
        values = _nanoseconds(plain, what)
        if np.isnat(values).any():
            raise InputError(f"{what} has missing dates (position "
                             f"{int(np.flatnonzero(np.isnat(values))[0])})")
        return values, zone
    return None


def _naive(pd: Any, index: Any, utc: bool | None) -> tuple[Any, str | None]:
    """Dates without their time zone, and the zone where they are kept in UTC.

    Dates that fall at one time of day (days, weeks, months) keep their local clock time:
    they are the dates the user reads.  Times of day (hours, minutes) are kept in UTC,
    where they are evenly spaced: on the local clock an hour repeats when the clocks go
    back (two observations of one date) and one is skipped when they go forward (a missing
    observation that never was).  `utc`: that choice, made already for the data's dates
    (None: made here)."""
    if index.tz is None:
        return index, None
    local = index.tz_localize(None)
    if utc is None:
        of_day = np.asarray((local - local.normalize())[~local.isna()])
        utc = bool(of_day.size) and not (of_day == of_day[0]).all()
    if not utc:
        return local, None
    return index.tz_convert("UTC").tz_localize(None), str(index.tz)


def local_clock(dates: npt.NDArray[Any], zone: str | None) -> npt.NDArray[Any]:
    """Dates kept in UTC as the local clock time of `zone` (unchanged without a zone)."""
    if zone is None:
        return dates
    pd = _optional.pandas()
    shown = pd.DatetimeIndex(dates).tz_localize("UTC").tz_convert(zone).tz_localize(None)
    return np.asarray(shown.to_numpy(dtype="datetime64[ns]"))


def _nanoseconds(dates: Any, what: str) -> npt.NDArray[Any]:
    """Dates (a pandas column or index of them, or datetime64 values) as datetime64[ns];
    InputError for a date that unit cannot hold.  pandas 3 keeps dates before 1677 or
    after 2262 in coarser units, and the cast to nanoseconds wraps them around without a
    word, to other dates that look just as real (NumPy 2.5 raises instead)."""
    native = np.asarray(dates.to_numpy() if hasattr(dates, "to_numpy") else dates)
    # Compared with the range's whole days (a comparison casts them to the dates' unit,
    # which holds them, never the dates to nanoseconds).
    outside = ((native < _FIRST_DAY) | (native > _LAST_DAY)) & ~np.isnat(native)
    if outside.any():
        raise _out_of_range(what, date_text(native[outside][0]))
    out: npt.NDArray[Any] = native.astype("datetime64[ns]")
    return out


def _timestamps(pd: Any, periods: Any, what: str) -> Any:
    """Periods (a PeriodIndex, or a column of them) as the timestamps of their starts."""
    try:
        return periods.to_timestamp() if isinstance(periods, pd.PeriodIndex) \
            else periods.dt.to_timestamp()
    except pd.errors.OutOfBoundsDatetime:
        # pandas 2 holds timestamps in nanoseconds only.
        first = next((str(p) for p in periods
                      if p is not pd.NaT and not 1678 <= p.year <= 2261), "")
        raise _out_of_range(what, first) from None


# The whole days that datetime64[ns] holds.
_FIRST_DAY, _LAST_DAY = np.datetime64("1677-09-22"), np.datetime64("2262-04-11")


def _out_of_range(what: str, date: str) -> InputError:
    return InputError(f"{what} has the date {date}, outside the range of dates that "
                      f"fit_many handles ({_FIRST_DAY} to {_LAST_DAY})")


def _from_frame(pd: Any, df: Any, exog_columns: Sequence[str] | None, future_exog: Any,
                freq: Any, need_future: bool) -> Panel:
    labels, names = _exog_names(exog_columns)
    _require_columns(df, [ID, DS, Y, *labels], "data")
    codes, uniques = pd.factorize(df[ID], sort=False)
    if (codes < 0).any():
        raise InputError(f"data: column {ID!r} has missing ids")
    ds, zone = _dates(pd, df[DS], "data", None)
    y = _numeric(df[Y], "data", Y)
    X = np.column_stack([_numeric(df[c], "data", c) for c in labels]) if labels else None
    # Group by id in the order of first appearance, each group in date order.
    order = np.lexsort((ds, codes))
    bounds = np.searchsorted(codes[order], np.arange(len(uniques) + 1))
    freq = _check_freq(pd, freq) if ds.dtype.kind == "M" else _check_step(freq)
    future = _future(pd, future_exog, labels, uniques, ds.dtype, zone is not None) \
        if names and need_future else None
    if names and need_future and future is None:
        raise InputError("a forecast of a model with regressors needs their future values: "
                         "pass future_exog, a DataFrame with unique_id, ds and the columns "
                         f"{', '.join(names)} for the forecast dates")
    guess = None
    if freq is None and ds.dtype.kind == "M":
        guess = _usual_freq(pd, (ds[order[bounds[i]:bounds[i + 1]]]
                                 for i in range(len(bounds) - 1)))

    def tasks() -> Iterator[SeriesTask]:
        for i, uid in enumerate(uniques):
            rows = order[bounds[i]:bounds[i + 1]]
            f_ds, f_X = future.get(i, (None, None)) if future is not None else (None, None)
            yield SeriesTask(uid, y[rows], ds[rows], None if X is None else X[rows],
                             f_ds, f_X, zone=zone)

    return Panel(len(uniques), tasks, names, freq, guess, dated=ds.dtype.kind == "M")


def _exog_names(exog_columns: Sequence[Any] | None
                ) -> tuple[tuple[Any, ...], tuple[str, ...]]:
    """The regressors' column labels as given (to look them up) and their names as text
    (the summary's columns)."""
    if exog_columns is None:
        return (), ()
    if isinstance(exog_columns, str):
        exog_columns = [exog_columns]
    labels = tuple(exog_columns)
    names = tuple(str(c) for c in labels)
    if len(set(names)) != len(names):
        raise InputError(f"exog_columns has a column twice: {list(names)}")
    # The regressors' coefficients become summary columns of the same names.
    clash = ({ID, DS, Y} | set(SUMMARY_COLUMNS)) & set(names)
    if clash:
        raise InputError(f"exog_columns cannot include {sorted(clash)[0]!r}")
    return labels, names


def _require_columns(df: Any, columns: Sequence[Any], what: str) -> None:
    missing = [c for c in columns if c not in df.columns]
    if missing:
        raise InputError(f"{what} has no column {missing[0]!r} (columns: "
                         f"{', '.join(map(str, df.columns))}); the long format needs "
                         f"{ID}, {DS}, {Y} and the regressor columns")
    twice = next((c for c in columns if list(df.columns).count(c) > 1), None)
    if twice is not None:
        # Looked up, the label gives a table, not a column.
        raise InputError(f"{what} has more than one column {twice!r}")


def _numeric(column: Any, what: str, name: Any) -> Vector:
    if column.dtype.kind not in "biuf" and str(column.dtype) not in {"Int64", "Float64",
                                                                     "Int32", "Float32"}:
        raise InputError(f"{what}: column {name!r} must be numeric; it holds "
                         f"{column.dtype}")
    out: Vector = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return out


def _dates(pd: Any, column: Any, what: str,
           utc: bool | None) -> tuple[npt.NDArray[Any], str | None]:
    """The ds column as datetime64[ns] (dates, text dates, periods) or int64 (numbers),
    and the time zone of dates kept in UTC (`utc`: see `_naive`)."""
    if column.dtype.kind in "iuf":
        return _integer_dates(column, what), None
    if isinstance(column.dtype, pd.PeriodDtype):
        column = _timestamps(pd, column, what)
    if column.dtype.kind != "M" and not isinstance(column.dtype, pd.DatetimeTZDtype):
        try:
            # (Silenced: "could not infer format" and the like.)
            with ignoring_warnings():
                column = pd.to_datetime(column)
        except (ValueError, TypeError) as exc:
            raise InputError(f"{what}: column {DS!r} holds neither dates nor integers "
                             f"({exc})") from None
    zone = None
    if getattr(column.dt, "tz", None) is not None:
        plain, zone = _naive(pd, pd.DatetimeIndex(column), utc)
        column = pd.Series(plain, index=column.index)
    values = _nanoseconds(column, what)
    if np.isnat(values).any():
        raise InputError(f"{what}: column {DS!r} has missing dates (row "
                         f"{int(np.flatnonzero(np.isnat(values))[0])})")
    return values, zone


def _integer_dates(column: Any, what: str) -> npt.NDArray[Any]:
    """Numbers as dates: int64 steps.  Whole floats count as integers (a column that once
    held a missing value); other floats would be read as nanoseconds since 1970 by pandas,
    which nobody means."""
    values = column.to_numpy(dtype=np.float64, na_value=np.nan) \
        if column.dtype.kind == "f" or column.hasnans else None
    if values is not None:
        missing = np.flatnonzero(np.isnan(values))
        if missing.size:
            raise InputError(f"{what}: column {DS!r} has missing dates (row {int(missing[0])})")
        if column.dtype.kind == "f":
            bad = np.flatnonzero(~np.isfinite(values) | (values != np.round(values))
                                 | (np.abs(values) >= 2.0 ** 63))
            if bad.size:
                raise InputError(f"{what}: column {DS!r} holds numbers that are not whole "
                                 f"(row {int(bad[0])}: {float(values[bad[0]])!r}); integer "
                                 "dates are steps such as 1, 2, 3")
            steps: npt.NDArray[Any] = values.astype(np.int64)
            return steps
    # Compared as Python integers: NumPy 1.x compares a uint64 with an int through
    # float64, where 2**63 + 5 equals the largest int64.
    if column.dtype.kind == "u" and len(column) and \
            int(column.max()) > np.iinfo(np.int64).max:
        raise InputError(f"{what}: column {DS!r} has the date {column.max()}, beyond the "
                         "largest 64-bit integer date")
    return np.asarray(column.to_numpy(dtype=np.int64))


def _check_freq(pd: Any, freq: Any) -> Any:
    if freq is None:
        return None
    try:
        pd.tseries.frequencies.to_offset(freq)
    except (ValueError, TypeError):
        raise InputError(f"freq {freq!r} is not a pandas frequency (e.g. 'MS', 'W-SUN', "
                         "'D')") from None
    return freq


def _check_step(step: Any) -> int | None:
    if step is None:
        return None
    if isinstance(step, (bool, np.bool_)) or not isinstance(step, (int, np.integer)) \
            or step < 1:
        raise InputError(f"with integer dates, freq must be a positive integer step; got "
                         f"{step!r}")
    return int(step)


def _usual_freq(pd: Any, series_dates: Iterator[npt.NDArray[Any]]) -> Any:
    """The frequency most of the first series (their datetime64 dates, in order) show:
    the grid of a series whose own dates are too gappy to show it."""
    seen: dict[str, int] = {}
    for dates in islice(series_dates, _FREQ_SAMPLE):
        if dates.size < 3:
            continue
        f = infer_freq(pd, pd.DatetimeIndex(dates))
        if f is not None:
            seen[str(f)] = seen.get(str(f), 0) + 1
    return max(seen, key=lambda k: seen[k]) if seen else None


def _future(pd: Any, future_exog: Any, names: tuple[Any, ...], uniques: Any,
            ds_dtype: Any, utc: bool) -> dict[int, tuple[npt.NDArray[Any], Matrix]] | None:
    """The future regressors by series number: their dates and values in date order
    (in UTC where the data's are)."""
    if future_exog is None:
        return None
    if not isinstance(future_exog, pd.DataFrame):
        raise InputError("future_exog must be a long-format DataFrame (unique_id, ds and the "
                         "regressor columns)")
    _require_columns(future_exog, [ID, DS, *names], "future_exog")
    ds, _ = _dates(pd, future_exog[DS], "future_exog", utc)
    if ds.dtype.kind != np.dtype(ds_dtype).kind:
        raise InputError("future_exog: column 'ds' must hold the same kind of dates as "
                         "data's")
    X = np.column_stack([_numeric(future_exog[c], "future_exog", c) for c in names])
    codes = pd.Index(uniques).get_indexer(future_exog[ID])
    keep = np.flatnonzero(codes >= 0)     # rows of ids that data lacks are not needed
    rows = keep[np.lexsort((ds[keep], codes[keep]))]
    grouped = codes[rows]
    present = np.unique(grouped)
    starts = np.searchsorted(grouped, present, side="left")
    ends = np.searchsorted(grouped, present, side="right")
    return {int(i): (ds[rows[a:b]], X[rows[a:b]]) for i, a, b in zip(present, starts, ends)}
