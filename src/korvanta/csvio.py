"""Reading a series from a CSV file, with messages that say what is wrong and where."""

from __future__ import annotations

import csv
import math
import os
import re
import warnings
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
# A number written with a decimal comma, its thousands perhaps grouped by dots: 1234,5 or
# 1.234,5 (the convention of files whose fields are separated by semicolons or tabs).
_DECIMAL_COMMA = re.compile(r"[+-]?(\d{1,3}(\.\d{3})+|\d*),\d+")
# Thousands grouped by dots, without decimals, in a column of decimal-comma numbers.
_DOT_GROUPED = re.compile(r"[+-]?\d{1,3}(\.\d{3})+")
# A number with its thousands grouped by commas, 1,234 or 1,234.5 (a quoted field of a
# file whose decimal mark is the dot, as spreadsheets save formatted numbers).
_COMMA_GROUPED = re.compile(r"[+-]?\d{1,3}(,\d{3})+(\.\d*)?")


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
        return _as_dates(self.labels) if self.has_labels else None


# A date and time with its offset from UTC: 2020-03-29T10:00+01:00, 2020-03-29 10:00Z.
_OFFSET = re.compile(r"(\d{4}-\d\d-\d\d[T ]\d\d(?::\d\d(?::\d\d(?:\.\d+)?)?)?)\s*"
                     r"(Z|[+-]\d\d(?::?\d\d)?)")


def _as_dates(labels: tuple[str, ...]) -> npt.NDArray[Any] | None:
    """The labels as NumPy dates, or None when they are not all dates."""
    # NumPy reads any whole number as a year: "1871" is one, but the counters 1, 2, … of
    # a "time" or "period" column are not (they would become the years 0001 …).
    if any(s.isdigit() and len(s) != 4 for s in labels):
        return None
    matches = [_OFFSET.fullmatch(s) for s in labels]
    if any(matches):
        # Times with their offset from UTC are the clock times at that offset, which
        # continue as the file's own; NumPy would convert them to UTC (with a warning).
        # Offsets that change (summer time) make the clock times irregular, and UTC
        # labels would not be the file's: such labels are not taken for dates.
        if not all(matches) or len({m.group(2) for m in matches if m}) > 1:
            return None
        labels = tuple(m.group(1) for m in matches if m)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            dates = np.array(labels, dtype="datetime64")
    except (ValueError, TypeError):
        return None
    return None if np.isnat(dates).any() else dates


def _as_number(text: str, decimal_comma: bool = False) -> float | None:
    """The number in a cell, NaN for a missing-value token, None if not numeric.  With
    `decimal_comma`, the comma is the decimal mark and dots group the thousands."""
    t = text.strip()
    if t.lower() in MISSING_TOKENS:
        return math.nan
    if decimal_comma and ("," in t or "." in t):
        if not (_DECIMAL_COMMA.fullmatch(t) or _DOT_GROUPED.fullmatch(t)):
            return None
        t = t.replace(".", "").replace(",", ".")
    elif not decimal_comma and _COMMA_GROUPED.fullmatch(t):
        t = t.replace(",", "")
    try:
        return float(t)
    except ValueError:
        return None


def _is_number(text: str, decimal_comma: bool = False) -> bool:
    value = _as_number(text, decimal_comma)
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
        # A time with its offset from UTC is a date too (NumPy warns that it converts it).
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            np.datetime64(t)
    except ValueError:
        return False
    return True


def _delimiter(sample: str, sniffed: str) -> str:
    """The delimiter of the sampled lines: the sniffer's, unless that is the comma and
    semicolons or tabs split every line into as many fields, some of them numbers with a
    decimal comma (the comma then splits each number in two)."""
    lines = sample.splitlines()
    if len(sample) >= _SAMPLE and len(lines) > 1:
        lines = lines[:-1]           # cut short by the sample's end
    lines = [ln for ln in lines if ln.strip()]
    if sniffed != "," or not lines:
        return sniffed
    for d in (";", "\t"):
        rows = list(csv.reader(lines, delimiter=d))
        if len({len(r) for r in rows}) == 1 and len(rows[0]) > 1 and \
                any(_DECIMAL_COMMA.fullmatch(c.strip()) for r in rows for c in r):
            return d
    return sniffed


_SAMPLE = 4096


def _read_rows(p: Path) -> tuple[list[tuple[int, list[str]]], str]:
    if not p.exists():
        raise InputError(f"file not found: {p}")
    if not p.is_file():
        raise InputError(f"not a regular file: {p}")
    try:
        with open(p, "rb") as raw:
            start = raw.read(2)
        # Spreadsheets save "Unicode text" as UTF-16, which starts with a byte-order mark.
        encoding = "utf-16" if start in (b"\xff\xfe", b"\xfe\xff") else "utf-8-sig"
        with open(p, newline="", encoding=encoding) as fh:
            sample = fh.read(_SAMPLE)
            fh.seek(0)
            try:
                dialect: Any = csv.Sniffer().sniff(sample, delimiters=",;\t")
            except csv.Error:
                dialect = csv.excel
            delimiter = _delimiter(sample, dialect.delimiter)
            rows = [(i + 1, row) for i, row in
                    enumerate(csv.reader(fh, dialect, delimiter=delimiter))]
    except UnicodeDecodeError:
        raise InputError(f"{p}: not a text file in UTF-8 (nor in UTF-16 with a byte-order "
                         "mark); save it as UTF-8 text") from None
    except OSError as exc:
        raise InputError(f"cannot read {p}: {exc.strerror or exc}") from None
    except csv.Error as exc:
        raise InputError(f"{p}: malformed CSV: {exc}") from None
    return ([(ln, [c.strip() for c in row]) for ln, row in rows if any(c.strip() for c in row)],
            delimiter)


def read_series(path: str | os.PathLike[str], column: str | None = None) -> SeriesData:
    """Read a univariate series from a CSV file.

    A header line is detected (a first line without a number); the series is the last
    numeric column, or the column named `column`; the first non-numeric column, or the
    first one headed year, date, time, period, ds, month, quarter, week or day, gives the
    labels (dates).  Empty cells, NA and NaN are missing values; empty lines are skipped.
    Raises InputError for a missing or unreadable file and for malformed content.
    """
    p = Path(path)
    rows, delimiter = _read_rows(p)
    if not rows:
        raise InputError(f"{p}: malformed CSV: the file holds no data")
    # Fields left empty after the last column that holds anything (a delimiter at the end
    # of each line, as spreadsheets write) are no column.
    used = max(max((j + 1 for j, c in enumerate(row) if c), default=0) for _, row in rows)
    rows = [(ln, row[:used]) for ln, row in rows]
    width = len(rows[0][1])
    for ln, row in rows:
        if len(row) != width:
            raise InputError(f"{p}: malformed CSV: line {ln} has {len(row)} fields, "
                             f"expected {width}")
    # Where the fields are not separated by commas, a comma in a number is its decimal
    # mark (1,5 or 1.234,5).
    comma_ok = delimiter != ","
    header: list[str] | None = None
    if not any(_is_number(c, comma_ok) or _looks_like_data(c) for c in rows[0][1]):
        header = rows[0][1]
        rows = rows[1:]
    if not rows:
        raise InputError(f"{p}: malformed CSV: the file holds a header but no data")

    # A column is numeric when most of its non-missing cells are numbers: a stray word
    # inside such a column is an error, not a reason to take it for a label column.
    numeric_cols, label_cols = [], []
    decimal_comma = [False] * width
    for j in range(width):
        cells = [row[j] for _, row in rows if row[j].lower() not in MISSING_TOKENS]
        decimal_comma[j] = comma_ok and any(_DECIMAL_COMMA.fullmatch(c) for c in cells)
        n_num = sum(_is_number(c, decimal_comma[j]) for c in cells)
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
        v = _as_number(row[col], decimal_comma[col])
        if v is None or math.isinf(v):
            cname = f"column '{header[col]}'" if header else f"column {col + 1}"
            raise InputError(f"{p}: malformed CSV: line {ln}, {cname}: "
                             f"'{row[col]}' is not a number")
        values[i] = v
    if label_cols:
        # The dates label the periods, though a column of names (of the series, say)
        # comes before them.
        columns = {j: tuple(row[j] for _, row in rows) for j in label_cols}
        dated = [j for j in label_cols if _as_dates(columns[j]) is not None]
        lc = dated[0] if dated else label_cols[0]
        labels = columns[lc]
        label_name = header[lc] if header else None
        if dated:
            names = [j for j in label_cols if j != lc and
                     (header is None or header[j].strip().lower() not in LABEL_HEADERS)]
            _check_one_series(p, rows, header, lc, names)
    else:
        labels = tuple(str(i + 1) for i in range(len(rows)))
        label_name = None
    name = header[col] if header and header[col] else "y"
    return SeriesData(values, labels, name, label_name, str(p), has_labels=bool(label_cols))


def _check_one_series(p: Path, rows: list[tuple[int, list[str]]], header: list[str] | None,
                      date_col: int, others: list[int]) -> None:
    """Refuse a file of several series one after another (a column names each): where
    its dates start again, the name changes (and holds on either side)."""
    dates = _as_dates(tuple(row[date_col] for _, row in rows))
    if dates is None or dates.size < 4:
        return
    step = np.sign(np.diff(dates.astype(np.int64)))
    ahead = 1 if np.count_nonzero(step > 0) >= np.count_nonzero(step < 0) else -1
    for i in np.flatnonzero(step == -ahead).tolist():
        if not 1 <= i < len(rows) - 2:
            continue
        for j in others:
            before, after = rows[i][1][j], rows[i + 1][1][j]
            if before != after and rows[i - 1][1][j] == before and rows[i + 2][1][j] == after:
                cname = f"column '{header[j]}'" if header else f"column {j + 1}"
                raise InputError(
                    f"{p}: the file holds several series one after another: at line "
                    f"{rows[i + 1][0]} the dates start again and the {cname} changes from "
                    f"'{before}' to '{after}'; keep the rows of one series")
