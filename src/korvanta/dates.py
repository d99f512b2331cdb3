"""Labels of the periods after the series: continuing a regular date index."""

from __future__ import annotations

import datetime
import re
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional

__all__ = ["continue_index", "as_datetimes", "date_text", "without_midnight", "object_dates"]


def continue_index(index: Any, n: int, steps: int) -> Any:
    """Labels for `steps` periods after an index of `n` labels.

    A pandas DatetimeIndex with a (possibly inferred) frequency and a PeriodIndex whose
    periods are a constant number apart continue their dates, a RangeIndex and integer
    labels a constant step apart their numbers; a NumPy datetime64 array with a constant
    step (or first-of-month dates a constant number of months apart) continues at that
    step, back in time where the dates run backwards.
    Anything else, no index at all, or dates that would run past the last one that the
    index's type can hold gives None: the periods are then numbered on.
    """
    if index is None:
        return None
    pd = _optional.pandas_if_loaded()
    converted = object_dates(index)
    if converted is not None:
        # Python dates (an index pandas keeps as objects): continued as datetime64 dates,
        # labelled with the index's own kind of value.
        nxt = continue_index(converted if pd is None else pd.DatetimeIndex(converted),
                             n, steps)
        if nxt is None:
            return None
        days = converted.dtype == np.dtype("datetime64[D]")
        labels = np.asarray(nxt, dtype="datetime64[D]" if days else "datetime64[us]")
        labels = labels.astype(object)
        return pd.Index(labels, dtype=object) if pd is not None and \
            isinstance(index, pd.Index) else labels
    if pd is not None and isinstance(index, pd.Index):
        return _continue_pandas(pd, index, steps)
    dates = np.asarray(index)
    if dates.dtype.kind != "M" or dates.size < 2 or np.isnat(dates).any():
        return None
    return _continue_datetime64(dates, steps)


def _continue_pandas(pd: Any, index: Any, steps: int) -> Any:
    if isinstance(index, pd.PeriodIndex):
        # Periods a constant number apart continue at that step: every other month
        # continues every other month, and periods that run backwards continue before the
        # first (a backcast).  Irregular ones, like irregular dates, are numbered on.
        ordinals = np.asarray(index.asi8, dtype=np.int64)
        step = _constant_step(ordinals)
        nxt = None if step is None else _ahead(ordinals, step, steps)
        if nxt is None:
            return None
        with warnings.catch_warnings():
            # pandas 2 deprecates business-day periods, and says so at every new index of
            # them; the series' own index has said it already.
            warnings.simplefilter("ignore", FutureWarning)
            if hasattr(pd.PeriodIndex, "from_ordinals"):
                return pd.PeriodIndex.from_ordinals(nxt, freq=index.freq)
            return pd.PeriodIndex(ordinal=nxt, freq=index.freq)
    if isinstance(index, pd.RangeIndex):
        return pd.RangeIndex(index.stop, index.stop + steps * index.step, index.step)
    if index.dtype.kind in "iu" and len(index) >= 2 and not index.hasnans:
        # Integer labels a constant step apart (years, say) continue like a RangeIndex:
        # numbered on from the positions, the forecast's labels could repeat the series'.
        values = index.to_numpy()
        # Compared as Python integers: NumPy 1.23 compares uint64 with int64 through
        # float64.
        if int(values.max()) > np.iinfo(np.int64).max:
            return None
        values = values.astype(np.int64)
        step = _constant_step(values)
        nxt = None if step is None else _ahead(values, step, steps)
        return None if nxt is None else pd.Index(nxt, dtype=np.int64)
    if isinstance(index, pd.DatetimeIndex) and len(index) >= 3:
        with warnings.catch_warnings():
            # pandas 3 announces that infer_freq will return an offset instead of a
            # string; date_range takes either.
            warnings.simplefilter("ignore")
            freq = index.freq or pd.infer_freq(index)
            if freq is None and index[-1] < index[0]:
                # pandas infers no business-day frequency for dates that run backwards.
                backwards = pd.infer_freq(index[::-1])
                if backwards is not None:
                    freq = -pd.tseries.frequencies.to_offset(backwards)
        if freq is None:
            return None
        try:
            return pd.date_range(start=index[-1], periods=steps + 1, freq=freq)[1:]
        except (OverflowError, pd.errors.OutOfBoundsDatetime):
            return None
    return None


def _continue_datetime64(dates: npt.NDArray[Any], steps: int) -> npt.NDArray[Any] | None:
    # First-of-month dates (at midnight) are monthly, quarterly … though their day counts
    # differ.
    months = dates.astype("datetime64[M]")
    if (months.astype(dates.dtype) == dates).all():
        step = _constant_step(months.astype(np.int64))
        if step is not None:
            nxt = _ahead(months, step, steps)
            if nxt is None:
                return None
            try:
                out: npt.NDArray[Any] = nxt.astype(dates.dtype)
            except OverflowError:
                return None
            # The cast wraps around silently (before NumPy 2.5) where a month lies beyond
            # the finer unit's range (after 2262 in nanoseconds).
            return out if (out.astype("datetime64[M]") == nxt).all() else None
    step = _constant_step(dates.astype(np.int64))
    return None if step is None else _ahead(dates, step, steps)


def _ahead(dates: npt.NDArray[Any], step: int, steps: int) -> npt.NDArray[Any] | None:
    """The `steps` dates after the last at `step` units apart (back in time for a negative
    step), or None where they would run past the largest or smallest date of the type
    (whose arithmetic wraps around silently; the smallest integer is NaT)."""
    end = int(dates[-1].astype(np.int64)) + step * steps
    if not np.iinfo(np.int64).min < end <= np.iinfo(np.int64).max:
        return None
    out: npt.NDArray[Any] = dates[-1] + step * np.arange(1, steps + 1, dtype=np.int64)
    return out


def _constant_step(values: npt.NDArray[np.int64]) -> int | None:
    """The step between the values when it is constant and not zero (negative for dates
    that run backwards, whose forecast is a backcast)."""
    diffs = np.diff(values)
    if diffs.size and (diffs == diffs[0]).all() and diffs[0] != 0:
        return int(diffs[0])
    return None


def object_dates(index: Any) -> npt.NDArray[Any] | None:
    """An index of Python dates, or of Python datetimes without a time zone (which pandas
    keeps as objects), as datetime64 values (in days for dates); None for anything else."""
    if getattr(index, "dtype", None) != np.dtype(object) or not len(index):
        return None
    values = list(index)
    if all(type(v) is datetime.date for v in values):
        return np.array(values, dtype="datetime64[D]")
    if all(isinstance(v, datetime.datetime) and v.tzinfo is None for v in values):
        return np.array(values, dtype="datetime64[us]")
    return None


def as_datetimes(index: Any) -> npt.NDArray[Any] | None:
    """The index as datetime64 values for a chart's x axis, or None if it holds no dates."""
    if index is None:
        return None
    converted = object_dates(index)
    if converted is not None:
        return converted
    pd = _optional.pandas_if_loaded()
    if pd is not None and isinstance(index, pd.PeriodIndex):
        out: npt.NDArray[Any] = np.asarray(index.to_timestamp().to_numpy())
        return out
    if pd is not None and isinstance(index, pd.DatetimeIndex):
        plain = index.tz_localize(None) if index.tz else index
        out = np.asarray(plain.to_numpy())
        return out
    arr = np.asarray(index)
    if arr.dtype.kind == "M" and not np.isnat(arr).any():
        return arr
    return None


def date_text(value: Any) -> str:
    """A date as text, without a midnight time."""
    if isinstance(value, np.datetime64) or hasattr(value, "to_datetime64"):
        date = value if isinstance(value, np.datetime64) else value.to_datetime64()
        # In the coarsest of seconds, milliseconds and microseconds that loses nothing
        # (dates a millisecond apart must not read as one), whatever unit the value is
        # stored in.
        text = str(date)
        for unit in ("s", "ms", "us"):
            coarse = date.astype(f"datetime64[{unit}]")
            if coarse == date:
                text = str(coarse)
                break
    else:
        text = str(value)
    return without_midnight(text)


def without_midnight(text: str) -> str:
    """A date's text without its time where that is midnight exactly."""
    return re.sub(r"[ T]00:00:00(\.0+)?$", "", text)
