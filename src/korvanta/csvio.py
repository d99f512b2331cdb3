"""Reading a series from a CSV file, with messages that say what is wrong and where."""

from __future__ import annotations

import csv
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .problem import InputError

__all__ = ["SeriesData", "read_series", "MISSING_TOKENS"]

MISSING_TOKENS = frozenset({"", "na", "nan", "n/a", "null", "none", "."})
# Headers of columns that label the periods even when they hold numbers (years).
LABEL_HEADERS = frozenset({"year", "date", "time", "period", "ds", "month", "quarter", "week",
                           "day"})


@dataclass(frozen=True)
class SeriesData:
    """A series read from a file."""

    values: npt.NDArray[np.float64]   # NaN for missing observations
    labels: tuple[str, ...]           # one per observation: the label column, or 1, 2, …
    name: str                         # the value column's header, or "y"
    label_name: str | None            # the label column's header
    path: str
    has_labels: bool                  # whether the labels come from a column of the file

    @property
    def dates(self) -> npt.NDArray[Any] | None:
        """The labels as NumPy dates (month "1949-01", day "1949-01-31", year "1871" …),
        or None when they are not all dates (whole numbers other than four-digit years
        count the periods)."""
        if not self.has_labels:
            return None
        # NumPy reads any whole number as a year: "1871" is one, but the counters 1, 2, …
        # of a "time" or "period" column are not (they would become the years 0001 …).
        if any(s.isdigit() and len(s) != 4 for s in self.labels):
            return None
        try:
            dates = np.array(self.labels, dtype="datetime64")
        except (ValueError, TypeError):
            return None
        return None if np.isnat(dates).any() else dates


def _as_number(text: str) -> float | None:
    """The number in a cell, NaN for a missing-value token, None if not numeric."""
    t = text.strip()
    if t.lower() in MISSING_TOKENS:
        return math.nan
    try:
        return float(t)
    except ValueError:
        return None


def _is_number(text: str) -> bool:
    value = _as_number(text)
    return value is not None and not math.isnan(value)


def _looks_like_data(text: str) -> bool:
    """A cell that no header holds: a missing-value word or a date.  A first row of a
    date and a missing observation is data, not the header (its observation was lost)."""
    t = text.strip()
    if t.lower() in MISSING_TOKENS - {""}:
        return True
    # NumPy also reads the words "today" and "now" as dates: a date has digits.
    if t.isdigit() or not any(ch.isdigit() for ch in t):
        return False
    try:
        np.datetime64(t)
    except ValueError:
        return False
    return True


def _read_rows(p: Path) -> list[tuple[int, list[str]]]:
    if not p.exists():
        raise InputError(f"file not found: {p}")
    if not p.is_file():
        raise InputError(f"not a regular file: {p}")
    try:
        with open(p, newline="", encoding="utf-8-sig") as fh:
            sample = fh.read(4096)
            fh.seek(0)
            try:
                dialect: Any = csv.Sniffer().sniff(sample, delimiters=",;\t")
            except csv.Error:
                dialect = csv.excel
            rows = [(i + 1, row) for i, row in enumerate(csv.reader(fh, dialect))]
    except UnicodeDecodeError:
        raise InputError(f"{p}: not a text file") from None
    except OSError as exc:
        raise InputError(f"cannot read {p}: {exc.strerror or exc}") from None
    except csv.Error as exc:
        raise InputError(f"{p}: malformed CSV: {exc}") from None
    return [(ln, [c.strip() for c in row]) for ln, row in rows if any(c.strip() for c in row)]


def read_series(path: str | os.PathLike[str], column: str | None = None) -> SeriesData:
    """Read a univariate series from a CSV file.

    A header line is detected (a first line without a number); the series is the last
    numeric column, or the column named `column`; the first non-numeric column, or the
    first one headed year, date, time, period, ds, month, quarter, week or day, gives the
    labels (dates).  Empty cells, NA and NaN are missing values; empty lines are skipped.
    Raises InputError for a missing or unreadable file and for malformed content.
    """
    p = Path(path)
    rows = _read_rows(p)
    if not rows:
        raise InputError(f"{p}: malformed CSV: the file holds no data")
    width = len(rows[0][1])
    for ln, row in rows:
        if len(row) != width:
            raise InputError(f"{p}: malformed CSV: line {ln} has {len(row)} fields, "
                             f"expected {width}")
    header: list[str] | None = None
    if not any(_is_number(c) or _looks_like_data(c) for c in rows[0][1]):
        header = rows[0][1]
        rows = rows[1:]
    if not rows:
        raise InputError(f"{p}: malformed CSV: the file holds a header but no data")

    # A column is numeric when most of its non-missing cells are numbers: a stray word
    # inside such a column is an error, not a reason to take it for a label column.
    numeric_cols, label_cols = [], []
    for j in range(width):
        cells = [row[j] for _, row in rows if row[j].lower() not in MISSING_TOKENS]
        n_num = sum(_is_number(c) for c in cells)
        named_label = header is not None and header[j].strip().lower() in LABEL_HEADERS
        if named_label and j != width - 1:
            label_cols.append(j)
        elif not cells or 2 * n_num > len(cells):
            numeric_cols.append(j)   # an entirely empty column is a series, all missing
        else:
            label_cols.append(j)
    if column is not None:
        if header is None or column not in header:
            raise InputError(f"{p}: no column named '{column}'"
                             + (f" (columns: {', '.join(header)})" if header else
                                " (the file has no header line)"))
        col = header.index(column)
        label_cols = [j for j in label_cols if j != col]
    elif not numeric_cols:
        raise InputError(f"{p}: malformed CSV: no numeric column found")
    else:
        col = numeric_cols[-1]

    values = np.empty(len(rows))
    for i, (ln, row) in enumerate(rows):
        v = _as_number(row[col])
        if v is None or math.isinf(v):
            cname = f"column '{header[col]}'" if header else f"column {col + 1}"
            raise InputError(f"{p}: malformed CSV: line {ln}, {cname}: "
                             f"'{row[col]}' is not a number")
        values[i] = v
    if label_cols:
        lc = label_cols[0]
        labels = tuple(row[lc] for _, row in rows)
        label_name = header[lc] if header else None
    else:
        labels = tuple(str(i + 1) for i in range(len(rows)))
        label_name = None
    name = header[col] if header and header[col] else "y"
    return SeriesData(values, labels, name, label_name, str(p), has_labels=bool(label_cols))
