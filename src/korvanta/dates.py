"""Labels of the periods after the series: continuing a regular date index."""

from __future__ import annotations

import datetime
import re
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional
from ._quiet import ignoring_warnings

__all__ = ["continue_index", "as_datetimes", "date_text", "without_midnight", "object_dates"]


def continue_index(index: Any, n: int, steps: int) -> Any:
    """Labels for `steps` periods after an index of `n` labels.

    A pandas DatetimeIndex with a (possibly inferred) frequency and a PeriodIndex whose
    periods are a constant number apart continue their dates, a RangeIndex and integer
    labels a constant step apart their numbers; a NumPy datetime64 array (or a
    DatetimeIndex without a frequency) continues at its constant step, or on the calendar:
    dates on one day of the month or on the months' last days a constant number of months
    apart, business days a constant number of business days apart; back in time where the
    dates run backwards.
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
        nxt = None
        if pd is not None:
            try:
                nxt = continue_index(pd.DatetimeIndex(converted), n, steps)
            except (OverflowError, pd.errors.OutOfBoundsDatetime):
                pass
        if nxt is None:
            # Python dates reach the year 9999, beyond pandas' nanosecond dates.
            nxt = continue_index(converted, n, steps)
        if nxt is None:
            return None
        days = converted.dtype == np.dtype("datetime64[D]")
        labels = np.asarray(nxt, dtype="datetime64[D]" if days else "datetime64[us]")
        if labels.size and not (_FIRST_PYTHON_DAY <= labels.min()
                                and labels.max() < _LAST_PYTHON_DAY + _DAY):
            return None     # beyond the years 1 to 9999 (NumPy gives integers there)
        labels = labels.astype(object)
        return pd.Index(labels, dtype=object) if pd is not None and \
            isinstance(index, pd.Index) else labels
    if pd is not None and isinstance(index, pd.Index):
        return _continue_pandas(pd, index, steps)
    dates = np.asarray(index)
    if dates.dtype.kind in "iu" and dates.ndim == 1 and dates.size >= 2:
        return _continue_integers(dates, steps)       # index=years, say
    if dates.dtype.kind != "M" or dates.size < 2 or np.isnat(dates).any():
        return None
    return _continue_datetime64(dates, steps)


def _continue_integers(values: npt.NDArray[Any], steps: int) -> npt.NDArray[np.int64] | None:
    """Integer labels a constant step apart (years, say) continue like a RangeIndex:
    numbered on from the positions, the forecast's labels could repeat the series'."""
    # Compared as Python integers: NumPy 1.23 compares uint64 with int64 through float64.
    if int(values.max()) > np.iinfo(np.int64).max:
        return None
    ints = values.astype(np.int64)
    step = _constant_step(ints)
    return None if step is None else _ahead(ints, step, steps)


def _continue_pandas(pd: Any, index: Any, steps: int) -> Any:
    if isinstance(index, pd.PeriodIndex):
        # Periods a constant number apart continue at that step: every other month
        # continues every other month, and periods that run backwards continue before the
        # first (a backcast).  Irregular ones, like irregular dates, are numbered on.
        ordinals = np.asarray(index.asi8, dtype=np.int64)
        # A single period goes on at its frequency's own step (a series of one period
        # past the differencing, forecast from new data).
        step = _constant_step(ordinals) if len(ordinals) > 1 else int(index.freq.n)
        nxt = None if step is None else _ahead(ordinals, step, steps)
        if nxt is None:
            return None
        # pandas 2 deprecates business-day periods, and says so at every new index of
        # them; the series' own index has said it already.
        with ignoring_warnings(FutureWarning):
            if hasattr(pd.PeriodIndex, "from_ordinals"):
                return pd.PeriodIndex.from_ordinals(nxt, freq=index.freq)
            return pd.PeriodIndex(ordinal=nxt, freq=index.freq)
    if isinstance(index, pd.RangeIndex):
        return pd.RangeIndex(index.stop, index.stop + steps * index.step, index.step)
    if index.dtype.kind in "iu" and len(index) >= 2 and not index.hasnans:
        nxt = _continue_integers(index.to_numpy(), steps)
        return None if nxt is None else pd.Index(nxt, dtype=np.int64)
    if isinstance(index, pd.DatetimeIndex):
        freq = index.freq
        # pandas 3 announces that infer_freq will return an offset instead of a string;
        # date_range takes either.
        with ignoring_warnings():
            if freq is None and len(index) >= 3:
                freq = pd.infer_freq(index)
            if freq is None and len(index) >= 3 and index[-1] < index[0]:
                # pandas infers no business-day frequency for dates that run backwards.
                backwards = pd.infer_freq(index[::-1])
                if backwards is not None:
                    freq = -pd.tseries.frequencies.to_offset(backwards)
        if freq is None:
            # Dates pandas names no frequency for (the 15th of each month, two dates) may
            # still be regular on the calendar; a clock with a time zone is left alone.
            if index.tz is not None or len(index) < 2 or index.hasnans:
                return None
            nxt = _continue_datetime64(np.asarray(index.to_numpy()), steps)
            try:
                return None if nxt is None else pd.DatetimeIndex(nxt)
            except (OverflowError, pd.errors.OutOfBoundsDatetime):
                return None
        try:
            return pd.date_range(start=index[-1], periods=steps + 1, freq=freq,
                                 **_unit(index))[1:]
        except (OverflowError, pd.errors.OutOfBoundsDatetime):
            return None
        except Exception:
            # A step of the calendar on a zoned clock can land on a time that the zone
            # skips or repeats (midnight where the clocks change at midnight, 02:30 in
            # Europe): pandas raises the time-zone library's own error, not a ValueError.
            if index.tz is None:
                raise
            return _on_the_wall_clock(pd, index, freq, steps)
    return None


def _unit(index: Any) -> dict[str, str]:
    """date_range's `unit` for dates after a DatetimeIndex: its own where it has one other
    than nanoseconds (pandas 2 on), whose dates reach beyond the years 1677 to 2262 that
    the default holds (dates in the year 3000, in seconds, were numbered on)."""
    unit = getattr(index, "unit", "ns")
    return {} if unit == "ns" else {"unit": unit}


def _on_the_wall_clock(pd: Any, index: Any, freq: Any, steps: int) -> Any:
    """The dates after a zoned index stepped on its local clock: a time that the zone
    skips moves on to the first that exists, a time that it repeats is the first one."""
    try:
        wall = pd.date_range(start=index[-1].tz_localize(None), periods=steps + 1,
                             freq=freq, **_unit(index))[1:]
        return wall.tz_localize(index.tz, nonexistent="shift_forward",
                                ambiguous=np.ones(steps, dtype=bool))
    except (OverflowError, pd.errors.OutOfBoundsDatetime):
        return None


def _continue_datetime64(dates: npt.NDArray[Any], steps: int) -> npt.NDArray[Any] | None:
    # Dates on the same day of the month (the first, the 15th), or on the last day of each
    # month, a constant number of months apart are monthly, quarterly … though their day
    # counts differ; then dates a constant time apart; then business days.
    for month_end in (False, True):
        monthly, nxt = _by_months(dates, steps, month_end)
        if monthly:
            return nxt
    step = _constant_step(dates.astype(np.int64))
    if step is not None:
        return _ahead(dates, step, steps)
    return _by_business_days(dates, steps)


# The range of Python's dates.
_FIRST_PYTHON_DAY = np.datetime64("0001-01-01")
_LAST_PYTHON_DAY = np.datetime64("9999-12-31")
# Days that every month has: a day of the month up to this many days after its start
# exists in every month.
_MONTH_DAYS = np.timedelta64(28, "D")
_DAY = np.timedelta64(1, "D")


def _by_months(dates: npt.NDArray[Any], steps: int,
               month_end: bool) -> tuple[bool, npt.NDArray[Any] | None]:
    """Whether the dates lie at one time after the start of their months (month_end: at
    one time of their months' last days) a constant number of months apart, and if so the
    `steps` dates after them (None where those run past the type's range)."""
    unit = np.promote_types(dates.dtype, np.dtype("datetime64[D]"))
    try:
        t = dates.astype(unit) + _DAY if month_end else dates.astype(unit)
        months = t.astype("datetime64[M]")
        # NumPy 2.5 raises where the start of the first month lies before the unit's range.
        offset = t - months.astype(unit)
    except OverflowError:
        return False, None
    if not (offset == offset[0]).all() or not offset[0] < _MONTH_DAYS:
        return False, None
    step = _constant_step(months.astype(np.int64))
    if step is None:
        return False, None
    nxt = _ahead(months, step, steps)
    if nxt is None:
        return True, None
    try:
        later = nxt.astype(unit) + offset[0]
        out: npt.NDArray[Any] = (later - _DAY if month_end else later).astype(dates.dtype)
    except OverflowError:
        return True, None
    # The arithmetic wraps around silently (before NumPy 2.5) where a month lies beyond
    # the finer unit's range (after 2262 in nanoseconds).
    back = out.astype(unit) + _DAY if month_end else out.astype(unit)
    if not ((back.astype("datetime64[M]") == nxt).all()
            and (back - nxt.astype(unit) == offset[0]).all()):
        return True, None
    return True, out


def _by_business_days(dates: npt.NDArray[Any], steps: int) -> npt.NDArray[Any] | None:
    """The `steps` dates after business days (Monday to Friday, at one time of day) a
    constant number of business days apart, else None."""
    if np.promote_types(dates.dtype, np.dtype("datetime64[D]")) != dates.dtype:
        return None     # in weeks, months or years: no days to count
    days = dates.astype("datetime64[D]")
    try:
        clock = dates - days.astype(dates.dtype)
    except OverflowError:
        return None
    if not (clock == clock[0]).all() or not np.is_busday(days).all():
        return None
    counts = np.busday_count(days[:-1], days[1:])
    if not counts.size or not (counts == counts[0]).all() or counts[0] == 0:
        return None
    try:
        nxt = np.busday_offset(days[-1], int(counts[0]) * np.arange(1, steps + 1))
        out: npt.NDArray[Any] = nxt.astype(dates.dtype) + clock[0]
    except (ValueError, OverflowError):
        return None
    # The arithmetic wraps around silently past the type's range (after 2262 in
    # nanoseconds): the dates must go on the way the series' dates go.
    if not (np.diff(np.concatenate([dates[-1:], out]).astype(np.int64)) * counts[0] > 0).all():
        return None
    return out


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
    """An index (or a list) of Python dates, or of Python datetimes without a time zone
    (which pandas keeps as objects), as datetime64 values (in days for dates); None for
    anything else."""
    # A list of dates (index=[date(2000, 1, 1), …]) is such an index too.
    if not isinstance(index, (list, tuple)) and \
            getattr(index, "dtype", None) != np.dtype(object) or not len(index):
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
        if getattr(value, "tzinfo", None) is not None:
            # On its own clock: the plain datetime64 of a zoned time is in UTC (another
            # hour, often another day).
            value = value.tz_localize(None)
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
