"""Labels of the periods after the series: continuing a regular date index."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional

__all__ = ["continue_index", "as_datetimes", "date_text"]


def continue_index(index: Any, n: int, steps: int) -> Any:
    """Labels for `steps` periods after an index of `n` labels.

    A pandas DatetimeIndex with a (possibly inferred) frequency and a PeriodIndex continue
    their dates, a RangeIndex its numbers; a NumPy datetime64 array with a constant step
    (or first-of-month dates a constant number of months apart) continues at that step,
    back in time where the dates run backwards.
    Anything else, no index at all, or dates that would run past the last one that the
    index's type can hold gives None: the periods are then numbered on.
    """
    if index is None:
        return None
    pd = _optional.pandas_if_loaded()
    if pd is not None and isinstance(index, pd.Index):
        return _continue_pandas(pd, index, steps)
    dates = np.asarray(index)
    if dates.dtype.kind != "M" or dates.size < 2 or np.isnat(dates).any():
        return None
    return _continue_datetime64(dates, steps)


def _continue_pandas(pd: Any, index: Any, steps: int) -> Any:
    if isinstance(index, pd.PeriodIndex):
        periods = pd.period_range(start=index[-1] + 1, periods=steps, freq=index.freq)
        # Their ordinals wrap around silently past the largest 64-bit integer.
        ordinals = np.concatenate([index.asi8[-1:], periods.asi8])
        return periods if (ordinals[1:] > ordinals[:-1]).all() else None
    if isinstance(index, pd.RangeIndex):
        return pd.RangeIndex(index.stop, index.stop + steps * index.step, index.step)
    if isinstance(index, pd.DatetimeIndex) and len(index) >= 3:
        with warnings.catch_warnings():
            # pandas 3 announces that infer_freq will return an offset instead of a
            # string; date_range takes either.
            warnings.simplefilter("ignore")
            freq = index.freq or pd.infer_freq(index)
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


def as_datetimes(index: Any) -> npt.NDArray[Any] | None:
    """The index as datetime64 values for a chart's x axis, or None if it holds no dates."""
    if index is None:
        return None
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
        text = str(np.asarray(value).astype("datetime64[s]"))
    else:
        text = str(value)
    return text[:-9] if text.endswith("T00:00:00") else text
