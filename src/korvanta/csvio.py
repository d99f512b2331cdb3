"""Reading a series from a CSV file, with messages that say what is wrong and where."""

from __future__ import annotations

import csv
import datetime
import functools
import math
import os
import re
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._quiet import ignoring_warnings
from .dates import continue_index, date_text
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
        """The labels as NumPy dates (month "1949-01", day "1949-01-31", year "1871" …,
        and as spreadsheets write them: "06/30/2017", "30.06.2017", "Jan 1949", quarters
        "2007Q2" as the months they start), or None when they are not all dates (whole
        numbers count the periods, save four-digit years and the days and months written
        20170630 and 201706)."""
        return _as_dates(self.labels) if self.has_labels else None

    def date_labels(self, dates: Any) -> list[str] | None:
        """Dates (the forecast's) written as the label column writes its own
        ("07/31/2017", "2007Q3" …), or None where the labels are not dates or are ISO
        dates as NumPy writes them."""
        form = _read_dates(self.labels).form if self.has_labels else None
        return None if form is None else [form.write(d) for d in np.asarray(dates)]


# A date and time with its offset from UTC: 2020-03-29T10:00+01:00, 2020-03-29 10:00Z.
_OFFSET = re.compile(r"(\d{4}-\d\d-\d\d[T ]\d\d(?::\d\d(?::\d\d(?:\.\d+)?)?)?)\s*"
                     r"(Z|[+-]\d\d(?::?\d\d)?)")


def _as_dates(labels: tuple[str, ...]) -> npt.NDArray[Any] | None:
    """The labels as NumPy dates, or None when they are not all dates."""
    dates = _read_dates(labels).dates
    return None if dates is None else dates.copy()


@dataclass(frozen=True)
class _Reading:
    """A label column read as dates."""

    dates: npt.NDArray[Any] | None    # None: not dates
    form: _DateForm | None = None     # how the column writes a date; None: in ISO 8601
    ambiguous: bool = False           # day/month/year or month/day/year, not to be told


# The dates of the label column are read several times over (the choice of the column,
# the order and spacing checks, the fit's index, the forecast's labels).
@functools.lru_cache(maxsize=4)
def _read_dates(labels: tuple[str, ...]) -> _Reading:
    # NumPy reads any whole number as a year: "1871" is one, but the counters 1, 2, … of
    # a "time" or "period" column are not (they would become the years 0001 …), and
    # 20170630 is a day.
    if not any(s.isdigit() and len(s) != 4 for s in labels):
        dates = _iso_dates(labels)
        if dates is not None:
            return _Reading(dates)
    return _written_dates(labels)


def _iso_dates(labels: tuple[str, ...]) -> npt.NDArray[Any] | None:
    """The labels as NumPy reads them (ISO 8601), or None when it does not read them all."""
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
        with ignoring_warnings():
            dates = np.array(labels, dtype="datetime64")
    except (ValueError, TypeError):
        return None
    return None if np.isnat(dates).any() else dates


# Dates as spreadsheets and other programs write them besides ISO 8601: 06/30/2017,
# 30/06/2017, 30.06.2017, 2017/06/30, 2017-6-30, 20170630, 06/2017, 2017/06, 201706,
# 2007Q2, 2007-Q2, Q2 2007, 2007M03, Jan 1949, 1949-Jan, January 1949, 30-Jun-2017,
# Jun 30, 2017; those with a day perhaps with a time (6/30/2017 14:00, 6/30/2017 2:00:00
# PM).  A label is taken apart into its fields (numbers, month names) and the texts
# around them; a column holds dates when all its labels have the same texts around the
# same kinds of fields.
_TOKEN = re.compile(r"([0-9]+)|([A-Za-z]+)|([^0-9A-Za-z]+)")
_CLOCK = re.compile(r"(.*?[0-9])(T| +|, *)([0-9]{1,2}):([0-9]{2})(?::([0-9]{2}))?"
                    r"(?:( *)([AaPp][Mm]))?")
_MONTH_NAMES = ("january", "february", "march", "april", "may", "june", "july", "august",
                "september", "october", "november", "december")
# The texts beside a month's name: "Jun 30, 2017", "30-Jun-2017", "Jan. 1949", "JAN1949".
_NAME_GAP = re.compile(r"[.,]?[ /-]?")
# Longer labels are no dates (and are not searched at length).
_LONGEST_DATE = 40
# Bare digits (20170630, 201706) are dates in these years only: other whole numbers of
# six or eight digits count or name things.
_COMPACT_YEARS = (1600, 2999)

# The kinds of a written date's fields ("Y" four digits, "n" one or two, "b" a month's
# name) and what each field holds: "y" the year, "m" the month, "d" the day, "b" the
# month by name, and "?" the day or the month (06/30/2017 or 30/06/2017).  Quarters and
# months numbered after a letter (2007Q2, 2007M03) are years and months told apart by
# the text between them.
_FORMS = {
    ("Y", "n", "n"): "ymd", ("n", "n", "Y"): "??y", ("Y", "n"): "ym", ("n", "Y"): "my",
    ("b", "Y"): "by", ("Y", "b"): "yb", ("n", "b", "Y"): "dby", ("b", "n", "Y"): "bdy",
    ("Y", "b", "n"): "ybd",
}


_MONTH_NUMBERS = {**{name: i + 1 for i, name in enumerate(_MONTH_NAMES)},
                  **{name[:3]: i + 1 for i, name in enumerate(_MONTH_NAMES)}, "sept": 9}


def _month_number(word: str) -> int:
    """The month that an English name or its abbreviation names (Jan, Sept, january), or
    0 for another word."""
    return _MONTH_NUMBERS.get(word.lower(), 0)


@dataclass(frozen=True)
class _Label:
    """A label taken apart."""

    kinds: tuple[str, ...]       # the kinds of its date's fields
    texts: tuple[str, ...]       # the texts around them, one more than the fields
    fields: tuple[str, ...]
    # The time of day: the text before the hour, the hour, the minutes, the seconds ("":
    # none), the text before AM or PM and AM or PM ("": a 24-hour clock).
    clock: tuple[str, str, str, str, str, str] | None

    def shape(self) -> tuple[Any, ...]:
        """What the labels of a column of dates share."""
        c = self.clock
        return (self.kinds, self.texts,
                c and (c[0], len(c[3]), c[4], c[5].isupper(), c[5].islower()))


def _take_apart(label: str) -> _Label | None:
    if len(label) > _LONGEST_DATE:
        return None
    clock = _CLOCK.fullmatch(label)
    date = clock.group(1) if clock else label
    kinds: list[str] = []
    texts, fields = [""], []
    for digits, word, other in _TOKEN.findall(date):
        if other or word in ("Q", "q", "M", "m"):
            texts[-1] += other or word      # Q and M before a quarter's or month's number
        elif len(digits) in (6, 8) and not kinds and not texts[0]:
            # 20170630, 201706: a year, a month and perhaps a day, with nothing between.
            parts = [digits[:4], digits[4:6], digits[6:]][:len(digits) // 2 - 1]
            kinds += ["Y"] + ["n"] * (len(parts) - 1)
            fields += parts
            texts += [""] * len(parts)
        elif len(digits) in (1, 2, 4) or _month_number(word):
            kinds.append("b" if word else "Y" if len(digits) == 4 else "n")
            fields.append(digits or word)
            texts.append("")
        else:
            return None
    if not kinds:
        return None
    return _Label(tuple(kinds), tuple(texts), tuple(fields),
                  None if clock is None else (clock.group(2), clock.group(3), clock.group(4),
                                              clock.group(5) or "", clock.group(6) or "",
                                              clock.group(7) or ""))


def _roles(kinds: tuple[str, ...], texts: tuple[str, ...]) -> str | None:
    """What each field of a column's labels holds, from the kinds of the fields and the
    texts around them; None for no date."""
    roles = _FORMS.get(kinds)
    if roles is None or texts[-1] or texts[0] and roles != "my":
        return None
    lead, between = texts[0], texts[1:-1]
    if "b" in roles:
        return roles if all(_NAME_GAP.fullmatch(t) for t in between) else None
    if roles == "ym" and re.fullmatch(r"[ /:.-]?[Qq]", between[0]):
        return "yq"                                  # 2007Q2, 2007-Q2, 2007 Q2
    if roles == "my" and lead in ("Q", "q"):
        return "qy" if re.fullmatch(r"[ /-]?", between[0]) else None     # Q2 2007
    if roles == "ym" and re.fullmatch(r"-?[Mm]", between[0]):
        return roles                                 # 2007M03, 2007-M03
    if lead:
        return None
    if len(between) == 1:
        # 2017/06, 06/2017, 2017-6, 201706; not 06.2017 (a number with a decimal point).
        return roles if between[0] in ("/", "-", "") else None
    # 2017/06/30, 30/06/2017, 30.06.2017, 20170630: the same mark between the fields.
    mark = between[0]
    return roles if between[1] == mark and (mark in ("/", "-", ".") or roles == "ymd") \
        else None


@dataclass(frozen=True)
class _DateForm:
    """How a column writes its dates, for the dates after them."""

    texts: tuple[str, ...]             # around the fields
    roles: str
    padded: bool                       # months and days of two digits (06/01/2017)
    full_names: bool                   # January, not Jan
    case: str                          # of month names: "upper", "lower" or "title"
    # The time of day: the text before the hour, hours of two digits, seconds, the text
    # before AM or PM, and "AM", "am" or "" (a 24-hour clock).
    clock: tuple[str, bool, bool, str, str] | None

    def write(self, value: Any) -> str:
        """A date as the column writes its own (in ISO 8601 beyond the years 1 to 9999)."""
        # In microseconds: NumPy gives finer dates (a pandas index's) as integers.
        when = np.datetime64(value).astype("datetime64[us]").astype(object)
        if not isinstance(when, datetime.date):
            return date_text(value)
        out = self.texts[0]
        for role, text in zip(self.roles, self.texts[1:]):
            if role == "y":
                field = f"{when.year:04d}"
            elif role == "q":
                field = str((when.month + 2) // 3)
            elif role == "b":
                name = _MONTH_NAMES[when.month - 1]
                field = self._cased(name if self.full_names else name[:3])
            else:
                number = when.month if role == "m" else when.day
                field = f"{number:02d}" if self.padded else str(number)
            out += field + text
        if self.clock is not None and isinstance(when, datetime.datetime):
            before, two_digits, seconds, gap, noon = self.clock
            hour = (when.hour + 11) % 12 + 1 if noon else when.hour
            out += before + (f"{hour:02d}" if two_digits else str(hour)) + \
                f":{when.minute:02d}" + (f":{when.second:02d}" if seconds else "")
            if noon:
                half = "am" if when.hour < 12 else "pm"
                out += gap + (half.upper() if noon.isupper() else half)
        return out

    def _cased(self, word: str) -> str:
        return word.upper() if self.case == "upper" else word if self.case == "lower" \
            else word.title()


def _written_dates(labels: tuple[str, ...]) -> _Reading:
    """The labels as dates in one of the written forms above."""
    parts = [_take_apart(s) for s in labels]
    first = parts[0] if parts else None
    shape = first and first.shape()
    if first is None or any(p is None or p.shape() != shape for p in parts):
        return _Reading(None)
    taken = [p for p in parts if p is not None]
    roles = _roles(first.kinds, first.texts)
    if roles is None or first.clock is not None and "d" not in roles.replace("?", "d"):
        return _Reading(None)
    columns = list(zip(*(p.fields for p in taken)))
    clocks = [p.clock for p in taken if p.clock is not None]
    if roles.startswith("??"):
        order, ambiguous = _day_or_month_first(columns, clocks, first.texts[1])
        if order is None:
            return _Reading(None, ambiguous=ambiguous)
        roles = order
    dates = _dates(roles, columns, clocks)
    if dates is None:
        return _Reading(None)
    # A year and a month with nothing between are bare digits (20170630, 201706).
    if first.kinds[:2] == ("Y", "n") and not first.texts[1] and \
            not all(_COMPACT_YEARS[0] <= int(y) <= _COMPACT_YEARS[1] for y in columns[0]):
        return _Reading(None)
    # Whether months, days and hours below 10 have two digits shows where one comes;
    # where none does, as the other fields have them, else two.
    days = _two_digits([f for p in taken for f, r in zip(p.fields, roles) if r in "md"])
    hours = _two_digits([k[1] for k in clocks])
    padded = days if days is not None else hours is not False
    two_digit_hours = hours if hours is not None else days is not False
    words = [f for p in taken for f, r in zip(p.fields, roles) if r == "b"]
    case = "upper" if words and all(w.isupper() for w in words) else \
        "lower" if words and all(w.islower() for w in words) else "title"
    c = first.clock
    form = _DateForm(
        texts=first.texts, roles=roles, padded=padded,
        full_names=any(len(w) > 3 and w.lower() in _MONTH_NAMES for w in words),
        case=case,
        clock=c and (c[0], two_digit_hours, bool(c[3]), c[4],
                     c[5] and ("AM" if c[5].isupper() else "am")))
    return _Reading(dates, form)


def _two_digits(numbers: list[str]) -> bool | None:
    """Whether the numbers below 10 are written with two digits; None where none is."""
    small = [f for f in numbers if int(f) < 10]
    return all(len(f) == 2 for f in small) if small else None


def _day_or_month_first(columns: list[tuple[str, ...]], clocks: list[Any],
                        mark: str) -> tuple[str | None, bool]:
    """The order of dates written day, month, year or month, day, year: the day where a
    field is above 12; else the one order whose dates are evenly spaced; else day first
    for dates with dots (30.06.2017), as they are written.  Otherwise (None, True): the
    order cannot be told."""
    first, second = (np.array([int(f) for f in col], dtype=np.int64) for col in columns[:2])
    if np.any(first > 12):
        return (None if np.any(second > 12) else "dmy"), False
    if np.any(second > 12) or np.array_equal(first, second):
        return "mdy", False
    even = [roles for roles in ("mdy", "dmy") if _evenly_spaced(_dates(roles, columns, clocks))]
    if len(even) == 1:
        return even[0], False
    if mark == ".":
        return "dmy", False
    return None, True


def _evenly_spaced(dates: npt.NDArray[Any] | None) -> bool:
    return dates is not None and dates.size >= 2 and \
        continue_index(dates, dates.size, 1) is not None


def _dates(roles: str, columns: list[tuple[str, ...]],
           clocks: list[Any]) -> npt.NDArray[Any] | None:
    """The dates whose fields hold what `roles` says, or None where one is no date."""
    fields = dict(zip(roles, columns))
    year = np.array([int(f) for f in fields["y"]], dtype=np.int64)
    if "q" in fields:
        quarter = np.array([int(f) for f in fields["q"]], dtype=np.int64)
        if not np.all((quarter >= 1) & (quarter <= 4)):
            return None
        month = 3 * quarter - 2
    else:
        month = np.array([_month_number(f) for f in fields["b"]] if "b" in fields else
                         [int(f) for f in fields["m"]], dtype=np.int64)
    if not np.all((month >= 1) & (month <= 12)) or not np.all(year >= 1):
        return None
    months: npt.NDArray[Any] = ((year - 1970) * 12 + month - 1).astype("datetime64[M]")
    if "d" not in fields:
        return months
    day = np.array([int(f) for f in fields["d"]], dtype=np.int64)
    days: npt.NDArray[Any] = months.astype("datetime64[D]") + (day - 1)
    if not np.all(day >= 1) or not np.all(days.astype("datetime64[M]") == months):
        return None
    if not clocks:
        return days
    hour, minute, second = (np.array([int(c[k] or 0) for c in clocks], dtype=np.int64)
                            for k in (1, 2, 3))
    if clocks[0][5]:
        # 12 AM is midnight, 12 PM noon.
        if not np.all((hour >= 1) & (hour <= 12)):
            return None
        hour = hour % 12 + 12 * np.array([c[5].lower() == "pm" for c in clocks])
    if not np.all((hour <= 23) & (minute <= 59) & (second <= 59)):
        return None
    unit = "s" if clocks[0][3] else "m"
    out: npt.NDArray[Any] = days.astype(f"datetime64[{unit}]") + \
        (hour * 3600 + minute * 60 + second) // (1 if unit == "s" else 60)
    return out


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
    written = _written_dates((t,))
    if written.dates is not None or written.ambiguous:
        return True
    try:
        # A time with its offset from UTC is a date too (NumPy warns that it converts it).
        with ignoring_warnings():
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
    labels (dates).  Dates with the day and the month before the year (01/02/2017) whose
    order neither a field above 12 nor an even spacing settles are kept as labels, with a
    KorvantaWarning.
    Empty cells, NA and NaN are missing values; empty lines are skipped.
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
        readings = {j: _read_dates(columns[j]) for j in label_cols}
        dated = [j for j in label_cols if readings[j].dates is not None]
        # So do dates whose days and months cannot be told apart (kept as they stand).
        unsure = [j for j in label_cols if readings[j].ambiguous]
        lc = (dated or unsure or label_cols)[0]
        labels = columns[lc]
        label_name = header[lc] if header else None
        if dated:
            names = [j for j in label_cols if j != lc and
                     (header is None or header[j].strip().lower() not in LABEL_HEADERS)]
            _check_one_series(p, rows, header, lc, names)
        elif unsure:
            _warn_day_or_month(p, f"column '{label_name}'" if label_name else
                               f"column {lc + 1}", labels[0])
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


def _warn_day_or_month(p: Path, cname: str, example: str) -> None:
    """Dates written 01/02/2017 throughout, none of whose first two fields is above 12,
    may be the 2nd of January or the 1st of February: they are not guessed at."""
    from .estimate import KorvantaWarning

    warnings.warn(KorvantaWarning(
        f"{p}: the dates in {cname} ({example} …) read as month/day/year and as "
        "day/month/year alike: they are kept as labels and the forecast's periods are "
        "numbered; write them as year-month-day (2017-06-30) to have them read as dates"),
        stacklevel=3)
