"""One series' dates as a regular grid: gaps become missing observations, and the
forecast's dates continue the grid.

A long-format table leaves out the rows of dates it has no value for.  The model needs
one entry per period, so the series is laid out on the regular grid of its frequency,
NaN where a date is absent.  A missing observation adds nothing to the likelihood and
leaves the state as predicted, so the regressors' values at those dates never enter the
fit: they are set to 0.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional
from ._quiet import ignoring_warnings
from .dates import date_text
from .problem import InputError, float_array

__all__ = ["Grid", "lay_out", "infer_freq"]

# Dates looked at together when a series with gaps is asked for its frequency.
_WINDOW = 5

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Grid:
    """A series on its regular grid and the rule that continues the grid."""

    y: Vector
    exog: Matrix | None
    last: Any               # the grid's last date (datetime64 or int)
    freq: Any               # pandas frequency, integer step, or None for positions

    def future(self, steps: int) -> npt.NDArray[Any]:
        """The `steps` dates after the grid (InputError where they run past the last date
        that the dates' type can hold)."""
        if self.freq is None or isinstance(self.freq, int):
            step = 1 if self.freq is None else self.freq
            if int(self.last) + step * steps > np.iinfo(np.int64).max:
                # int64 arithmetic would wrap around to negative dates without a word.
                raise InputError(f"the forecast's {steps} periods after {int(self.last)} run "
                                 "past the largest 64-bit integer date")
            out: npt.NDArray[Any] = int(self.last) + step * np.arange(1, steps + 1,
                                                                      dtype=np.int64)
            return out
        pd = _optional.pandas()
        try:
            dates = pd.date_range(start=pd.Timestamp(self.last), periods=steps + 1,
                                  freq=self.freq)[1:]
        except (OverflowError, pd.errors.OutOfBoundsDatetime):
            raise InputError(f"the forecast's {steps} periods after {date_text(self.last)} "
                             "run past the last date that pandas can hold "
                             f"({date_text(pd.Timestamp.max.floor('D').to_datetime64())})"
                             ) from None
        return np.asarray(dates.to_numpy(dtype="datetime64[ns]"))


def lay_out(y: Any, ds: npt.NDArray[Any] | None, exog: Matrix | None, freq: Any,
            guess: Any = None) -> Grid:
    """The series on the grid of its dates, or an InputError that says why they do not
    form one.  The grid's frequency: `freq` when given, else the dates' own, else `guess`
    (the frequency the panel's other series show)."""
    if ds is None:
        if np.ndim(y) == 0:
            raise InputError("the series must be a 1-D array of observations; got "
                             f"{type(y).__name__}")
        n = len(y)
        return Grid(y, exog, n - 1, None)
    if ds.size == 0:
        raise InputError("the series has no observations")
    dup = np.flatnonzero(ds[1:] == ds[:-1])
    if dup.size:
        raise InputError(f"the date {date_text(ds[dup[0]])} appears more than once")
    if ds.dtype.kind == "M":
        positions, size, f = _date_positions(ds, freq, guess)
    else:
        positions, size, f = _step_positions(ds, freq)
    # As fit reads a series: text and dates are refused, not converted.
    values = float_array(y, "y")
    full = np.full(size, np.nan)
    full[positions] = values
    X = None
    if exog is not None:
        X = np.zeros((size, exog.shape[1]))
        X[positions] = exog
    return Grid(full, X, ds[-1], f)


def infer_freq(pd: Any, index: Any) -> str | None:
    """The frequency of dates, even with gaps: pandas' guess from all of them, else one
    of the guesses of windows of a few consecutive dates (most windows skip the gaps):
    the coarsest whose grid holds every date, the one most windows agree on among equals.
    A window can show a finer frequency than the series has (five business days in a
    row look daily), and its grid would add periods that never were."""
    # pandas 3 announces that infer_freq will return an offset, not a string.
    with ignoring_warnings():
        if index.size < 3:
            return None
        whole = pd.infer_freq(index)
        if whole is not None or index.size <= _WINDOW:
            return None if whole is None else str(whole)
        votes: dict[str, int] = {}
        last = index.size - _WINDOW
        for start in sorted({0, last // 4, last // 2, 3 * last // 4, last}):
            f = pd.infer_freq(index[start:start + _WINDOW])
            if f is not None:
                votes[str(f)] = votes.get(str(f), 0) + 1
    candidates = dict(votes)
    # The windows that show business days are those across a weekend: where every window
    # with a weekend has a gap, only the daily ones remain, and a daily grid would make
    # every weekend two missing observations.
    if "D" in votes and (index.day_of_week < 5).all():
        candidates.setdefault("B", 0)
    sizes = {f: _grid_size(pd, index, f) for f in candidates}
    holding = [f for f in candidates if sizes[f] is not None]
    if holding:
        return min(holding, key=lambda k: (sizes[k], -candidates[k]))
    return max(votes, key=lambda k: votes[k]) if votes else None


def _grid_size(pd: Any, index: Any, f: str) -> int | None:
    """The number of periods of frequency `f` from the first date to the last, or None
    where a date is off that grid (or the grid would be mostly gaps)."""
    try:
        if _approx_periods(pd, index, f) > _span_limit(index.size):
            return None
        grid = pd.date_range(start=index[0], end=index[-1], freq=f)
    except (ValueError, TypeError, OverflowError):
        return None
    return int(grid.size) if (grid.get_indexer(index) >= 0).all() else None


def _date_positions(ds: npt.NDArray[Any], freq: Any,
                    guess: Any) -> tuple[npt.NDArray[np.intp], int, Any]:
    pd = _optional.pandas()
    index = pd.DatetimeIndex(ds)
    f = freq or infer_freq(pd, index) or guess
    if f is None:
        if index.size == 1:
            return np.zeros(1, dtype=np.intp), 1, None
        raise InputError("the frequency of the dates cannot be told (irregular dates, and "
                         "no other series shows it): pass freq=, e.g. 'MS' or 'W-SUN'")
    try:
        periods = _approx_periods(pd, index, f)
    except (ValueError, TypeError):
        raise InputError(f"freq {f!r} is not a pandas frequency") from None
    _check_span(periods, index.size)
    grid = pd.date_range(start=index[0], end=index[-1], freq=f)
    positions = grid.get_indexer(index)
    if (positions < 0).any():
        bad = index[int(np.flatnonzero(positions < 0)[0])]
        raise InputError(f"the date {date_text(bad)} is off the grid of frequency {f!r}")
    return positions, int(grid.size), f


def _approx_periods(pd: Any, index: Any, f: Any) -> int:
    """About how many periods of `f` the dates span (without building the grid)."""
    offset = pd.tseries.frequencies.to_offset(f)
    probe = pd.date_range(start=index[0], periods=2, freq=offset)
    width = max((probe[1] - probe[0]).value, 1)
    return int((index[-1] - index[0]).value // width) + 1


def _step_positions(ds: npt.NDArray[Any], step: Any) -> tuple[npt.NDArray[np.intp], int, int]:
    # The span as Python integers first: dates more than 2**63 apart would wrap around in
    # int64 differences (to negative ones, and a grid of negative size).
    span = int(ds[-1]) - int(ds[0])
    if span > np.iinfo(np.int64).max:
        _check_span(span // (step or 1) + 1, ds.size)
    diffs = np.diff(ds.astype(np.int64))
    if step is None:
        step = math.gcd(*diffs.tolist()) if diffs.size else 1
    offsets = ds.astype(np.int64) - int(ds[0])
    if (offsets % step).any():
        raise InputError(f"the dates are not {step} apart: {ds[:5].tolist()}…")
    positions = (offsets // step).astype(np.intp)
    size = int(positions[-1]) + 1
    _check_span(size, ds.size)
    return positions, size, int(step)


def _span_limit(n: int) -> int:
    return 16 * n + 1024


def _check_span(size: int, n: int) -> None:
    # A stray date far away would make an enormous, almost empty grid.
    if size > _span_limit(n):
        raise InputError(f"the dates span {size} periods for {n} observations: mostly gaps")
