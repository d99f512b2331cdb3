"""Dates in a CSV file's label column as spreadsheets and other programs write them
(06/30/2017, 30.06.2017, 2007Q2, Jan 1949 …): read as dates, checked for order and
spacing, and continued in the forecast table in the file's own form."""

import csv
import dataclasses
import datetime
import os
import re
import warnings

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvanta
from korvanta.cli import main

N = 30
HORIZON = 3
VALUES = np.round(100 + np.cumsum(np.random.default_rng(11).normal(size=N)), 2)
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
FULL_MONTHS = ("January", "February", "March", "April", "May", "June", "July", "August",
               "September", "October", "November", "December")


# Plain references for the calendar: the k-th period after a start.
def _month_start(start, k):
    m = start.month - 1 + k
    return datetime.date(start.year + m // 12, m % 12 + 1, 1)


def _month_end(start, k):
    return _month_start(start, k + 1) - datetime.timedelta(days=1)


STEPS = {
    "day": lambda start, k: start + datetime.timedelta(days=k),
    "hour": lambda start, k: start + datetime.timedelta(hours=k),
    "month": _month_start,
    "month-end": _month_end,
    "quarter": lambda start, k: _month_start(start, 3 * k),
}
STARTS = {"day": datetime.date(2017, 6, 20), "hour": datetime.datetime(2017, 6, 30, 9),
          "month": datetime.date(2016, 1, 1), "month-end": datetime.date(2016, 1, 31),
          "quarter": datetime.date(2007, 4, 1)}


def _quarter(d):
    return (d.month - 1) // 3 + 1


def _twelve(d):
    return f"{(d.hour + 11) % 12 + 1}:{d.minute:02d}:{d.second:02d} {'AM' if d.hour < 12 else 'PM'}"


# Each written form: how a date is written, and the periods a series of them runs at.
FORMS = {
    "us": (lambda d: f"{d.month:02d}/{d.day:02d}/{d.year}", "month-end"),
    "us-unpadded": (lambda d: f"{d.month}/{d.day}/{d.year}", "month-end"),
    "european": (lambda d: f"{d.day:02d}/{d.month:02d}/{d.year}", "month-end"),
    "european-dashes": (lambda d: f"{d.day:02d}-{d.month:02d}-{d.year}", "day"),
    "dotted": (lambda d: f"{d.day:02d}.{d.month:02d}.{d.year}", "day"),
    "year-first-slashes": (lambda d: f"{d.year}/{d.month:02d}/{d.day:02d}", "day"),
    "year-first-unpadded": (lambda d: f"{d.year}-{d.month}-{d.day}", "month"),
    "compact-day": (lambda d: f"{d.year}{d.month:02d}{d.day:02d}", "day"),
    "compact-month": (lambda d: f"{d.year}{d.month:02d}", "month"),
    "month-slash-year": (lambda d: f"{d.month:02d}/{d.year}", "month"),
    "year-slash-month": (lambda d: f"{d.year}/{d.month}", "month"),
    "quarter": (lambda d: f"{d.year}Q{_quarter(d)}", "quarter"),
    "quarter-dash": (lambda d: f"{d.year}-Q{_quarter(d)}", "quarter"),
    "quarter-space": (lambda d: f"{d.year} Q{_quarter(d)}", "quarter"),
    "quarter-first": (lambda d: f"Q{_quarter(d)} {d.year}", "quarter"),
    "quarter-lower": (lambda d: f"{d.year}q{_quarter(d)}", "quarter"),
    "month-m": (lambda d: f"{d.year}M{d.month:02d}", "month"),
    "month-dash-m": (lambda d: f"{d.year}-M{d.month}", "month"),
    "month-name": (lambda d: f"{MONTHS[d.month - 1]} {d.year}", "month"),
    "year-month-name": (lambda d: f"{d.year}-{MONTHS[d.month - 1]}", "month"),
    "full-month-name": (lambda d: f"{FULL_MONTHS[d.month - 1]} {d.year}", "month"),
    "upper-month-name": (lambda d: f"{MONTHS[d.month - 1].upper()}{d.year}", "month"),
    "day-month-name": (lambda d: f"{d.day:02d}-{MONTHS[d.month - 1]}-{d.year}", "day"),
    "month-name-day": (lambda d: f"{MONTHS[d.month - 1]} {d.day}, {d.year}", "day"),
    "us-clock": (lambda d: f"{d.month}/{d.day}/{d.year} {d.hour}:{d.minute:02d}", "hour"),
    "us-clock-12": (lambda d: f"{d.month}/{d.day}/{d.year} {_twelve(d)}", "hour"),
    "european-clock": (lambda d: f"{d.day:02d}.{d.month:02d}.{d.year} {d.hour:02d}:{d.minute:02d}",
                       "hour"),
}
UNIT = {"day": "D", "hour": "m", "month": "M", "month-end": "D", "quarter": "M"}


def _periods(kind, n, start=None):
    start = STARTS[kind] if start is None else start
    return [STEPS[kind](start, k) for k in range(n)]


def _as_datetime64(dates, kind):
    unit = UNIT[kind]
    if unit == "M":
        return np.array([f"{d.year:04d}-{d.month:02d}" for d in dates], dtype="datetime64[M]")
    return np.array([d.isoformat() for d in dates], dtype=f"datetime64[{unit}]")


def _write(path, labels, values=VALUES, header="date,value"):
    with open(path, "w", newline="") as fh:
        out = csv.writer(fh, lineterminator="\n")      # quotes Jun 30, 2017
        out.writerow(header.split(","))
        out.writerows(zip(labels, values))
    return path


def _forecast_labels(out):
    """The labels of the forecast table's rows (they may hold spaces)."""
    part = out.split("Forecast,", 1)[1].split("-\n", 1)[1].split("\n-", 1)[0]
    return [line.rsplit(None, 4)[0] for line in part.splitlines()]


def _fit(path, capsys, *extra):
    assert main(["fit", str(path), "--order", "0", "1", "1", "--horizon", str(HORIZON),
                 *extra]) == 0
    return capsys.readouterr()


@pytest.mark.parametrize("form", FORMS)
def test_written_dates_are_read_and_continued_in_their_form(tmp_path, capsys, form):
    write, kind = FORMS[form]
    dates = _periods(kind, N + HORIZON)
    labels = [write(d) for d in dates]
    path = _write(tmp_path / "written.csv", labels[:N])
    series = korvanta.read_series(path)
    np.testing.assert_array_equal(series.dates, _as_datetime64(dates[:N], kind))
    assert series.labels == tuple(labels[:N])
    out = _fit(path, capsys)
    assert _forecast_labels(out.out) == labels[N:]
    assert out.err == ""
    # Dates in nanoseconds (a pandas index's) are written alike.
    ahead = _as_datetime64(dates[N:], kind).astype("datetime64[ns]")
    assert series.date_labels(ahead) == labels[N:]


@pytest.mark.parametrize("form", ["us", "quarter", "month-name-day"])
def test_rows_newest_first_are_backcast_in_their_form(tmp_path, capsys, form):
    write, kind = FORMS[form]
    labels = [write(d) for d in _periods(kind, N + HORIZON)]
    out = _fit(_write(tmp_path / "backwards.csv", labels[:HORIZON - 1:-1]), capsys)
    assert _forecast_labels(out.out) == labels[HORIZON - 1::-1]
    assert "backcast" in out.err


@pytest.mark.parametrize("labels", [
    ["1949-01", "1949-02", "1949-03"], ["1949-01-31", "1949-02-28", "1949-03-31"],
    ["1871", "1872", "1873"], ["2020-03-29T10:00+01:00", "2020-03-29T11:00+01:00",
                               "2020-03-29T12:00+01:00"],
], ids=["months", "days", "years", "offset"])
def test_iso_dates_keep_numpys_text(tmp_path, labels):
    # The forecast's labels stay as they were printed (no written form to follow).
    series = korvanta.read_series(_write(tmp_path / "iso.csv", labels))
    assert series.dates is not None and series.date_labels(series.dates) is None


def _reading(tmp_path, labels, header="date,value"):
    return korvanta.read_series(_write(tmp_path / "read.csv", labels, header=header))


@pytest.mark.parametrize("labels, expected", [
    # The one field above 12 comes last: the whole column is read by it.
    (["01/02/2017", "01/03/2017", "13/03/2017"], ["2017-02-01", "2017-03-01", "2017-03-13"]),
    (["02/01/2017", "03/01/2017", "03/13/2017"], ["2017-02-01", "2017-03-01", "2017-03-13"]),
    # Every field at most 12: the one order whose dates are evenly spaced.
    ([f"01/{m:02d}/2017" for m in range(1, 13)] + ["01/01/2018"],
     [f"2017-{m:02d}-01" for m in range(1, 13)] + ["2018-01-01"]),
    ([f"{m:02d}/01/2017" for m in range(1, 13)] + ["01/01/2018"],
     [f"2017-{m:02d}-01" for m in range(1, 13)] + ["2018-01-01"]),
    # Day first with dots, as such dates are written, where either order is even.
    (["01.02.2017", "01.03.2017", "01.04.2017"], ["2017-02-01", "2017-03-01", "2017-04-01"]),
    # Day and month alike.
    (["01/01/2017", "02/02/2017", "03/03/2017"], ["2017-01-01", "2017-02-02", "2017-03-03"]),
], ids=["day-first-late", "month-first-late", "day-first-monthly", "month-first-monthly",
        "dotted", "same"])
def test_day_and_month_order(tmp_path, labels, expected):
    np.testing.assert_array_equal(_reading(tmp_path, labels).dates,
                                  np.array(expected, dtype="datetime64[D]"))


@pytest.mark.parametrize("labels", [
    ["01/02/2017", "01/03/2017", "01/04/2017", "01/05/2017"],      # days or months
    ["01/02/2017", "01/03/2017", "01/05/2017", "01/06/2017"],      # uneven either way
    ["1-2-2017", "1-3-2017", "1-4-2017"],
], ids=["both-even", "neither-even", "dashes"])
def test_dates_whose_day_and_month_cannot_be_told_are_not_guessed(tmp_path, capsys, labels):
    path = _write(tmp_path / "unsure.csv", labels)
    with pytest.warns(korvanta.KorvantaWarning, match="month/day/year and as day/month/year"):
        series = korvanta.read_series(path)
    assert series.dates is None and series.labels == tuple(labels)
    # On the command line: a warning, and the forecast's periods numbered.
    path = _write(tmp_path / "unsure.csv", [labels[i % len(labels)] for i in range(N)])
    assert main(["fit", str(path), "--horizon", "2"]) == 0
    out, err = capsys.readouterr()
    assert _forecast_labels(out) == [str(N + 1), str(N + 2)]
    assert err.count("korvanta: warning:") == 1
    assert f"unsure.csv: the dates in column 'date' ({labels[0]} …)" in err


def test_undecided_dates_label_the_periods_after_a_column_of_names(tmp_path):
    path = tmp_path / "named.csv"
    path.write_text("series,date,value\n" + "".join(
        f"sales,01/0{i}/2017,{v}\n" for i, v in zip(range(1, 4), VALUES)))
    with pytest.warns(korvanta.KorvantaWarning):
        series = korvanta.read_series(path)
    assert series.label_name == "date" and series.dates is None


@pytest.mark.parametrize("labels", [
    ["13/02/2017", "02/13/2017", "03/03/2017"],          # day first and month first
    ["6/30/17", "7/31/17", "8/31/17"],                   # a year of two digits
    ["06.2017", "07.2017", "08.2017"],                   # or a number
    ["02/30/2017", "03/30/2017", "04/30/2017"],          # no 30th of February
    ["2017/06/30", "2017-07-31", "2017/08/31"],          # forms mixed
    ["2007Q4", "2007Q5", "2008Q1"],
    ["100001", "100002", "100003"],                      # counters, not the year 1000
    ["Jan 2017", "Foo 2017", "Mar 2017"],
    ["6/30/2017 24:00", "7/1/2017 1:00", "7/1/2017 2:00"],
    ["6/30/2017 0:00 PM", "7/1/2017 1:00 PM", "7/1/2017 2:00 PM"],
    ["Jan 2017 10:00", "Feb 2017 10:00", "Mar 2017 10:00"],  # a time needs a day
    ["1", "2", "3"],
    ["0000/01/01", "0000/01/02", "0000/01/03"],
], ids=["both-orders", "two-digit-years", "decimal", "no-such-day", "mixed", "no-quarter-5",
        "counters", "not-a-month", "hour-24", "hour-0-pm", "month-with-time", "numbers",
        "year-0"])
def test_labels_that_are_no_dates(tmp_path, labels):
    series = _reading(tmp_path, labels, header="period,value")
    assert series.has_labels and series.dates is None
    assert series.labels == tuple(labels) and series.date_labels(["2017-01-01"]) is None


@pytest.mark.parametrize("labels, message", [
    (["06/30/2017", "08/31/2017", "07/31/2017", "09/30/2017"],
     "the rows are not in date order: 07/31/2017 (observation 3) follows 08/31/2017"),
    (["2007Q2", "2007Q3", "2007Q3", "2007Q4"], "the date 2007Q3 appears twice"),
], ids=["order", "twice"])
def test_order_checks_apply_to_written_dates(tmp_path, capsys, labels, message):
    path = _write(tmp_path / "order.csv", labels)
    assert main(["fit", str(path), "--horizon", "2"]) == 2
    assert message in capsys.readouterr().err


def test_uneven_written_dates_are_fitted_with_a_warning(tmp_path, capsys):
    write, kind = FORMS["month-name"]
    dates = _periods(kind, N + 1)
    labels = [write(d) for i, d in enumerate(dates) if i != 10]
    out = _fit(_write(tmp_path / "uneven.csv", labels), capsys)
    assert "not evenly spaced: Dec 2016 follows Oct 2016" in out.err
    assert _forecast_labels(out.out) == [str(N + 1), str(N + 2), str(N + 3)]


def test_a_first_row_with_a_written_date_is_data(tmp_path):
    # The row of a written date and a missing value was taken for the header.
    path = tmp_path / "gap.csv"
    path.write_text("6/30/2017,\n7/31/2017,5\n8/31/2017,6\n9/30/2017,7\n")
    series = korvanta.read_series(path)
    np.testing.assert_array_equal(series.values, [np.nan, 5, 6, 7])
    assert series.labels[0] == "6/30/2017" and series.dates is not None


# Property: dates at a regular step, written in any form, read back as themselves (or,
# written day and month without a field above 12, as no dates at all), and write their
# continuation as the file writes its own.
@st.composite
def _dated_columns(draw):
    form = draw(st.sampled_from(sorted(FORMS)))
    write, kind = FORMS[form]
    n = draw(st.integers(2, 40))
    step = draw(st.integers(1, 14 if kind in ("day", "hour") else 5))
    start = draw(st.dates(datetime.date(1600, 1, 1), datetime.date(2900, 1, 1)))
    if kind == "hour":
        start = datetime.datetime.combine(start, datetime.time(draw(st.integers(0, 23))))
    elif kind == "month-end":
        start = _month_end(start, 0)
    elif kind in ("month", "quarter"):
        start = start.replace(day=1)
    if kind == "quarter":
        start = start.replace(month=start.month - (start.month - 1) % 3)
    dates = [STEPS[kind](start, step * k) for k in range(n + HORIZON)]
    return form, kind, dates, draw(st.booleans())


@settings(max_examples=300, deadline=None)
@given(_dated_columns())
def test_written_dates_read_back_as_themselves(tmp_path_factory, column):
    form, kind, dates, backwards = column
    if backwards:
        dates = dates[::-1]
    write = FORMS[form][0]
    labels = [write(d) for d in dates]
    path = _write(tmp_path_factory.mktemp("prop") / "dates.csv", labels[:-HORIZON],
                 values=np.arange(len(labels)))
    with warnings.catch_warnings():
        # Dates whose day and month cannot be told apart warn; this is about the dates.
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        series = korvanta.read_series(path)
    numeric = [re.findall(r"\d+", lab) for lab in labels[:-HORIZON]]
    day_and_month = form.startswith(("us", "european"))
    if series.dates is None:
        # Only dates whose day and month both fit either place are left unread.
        assert day_and_month and all(int(f[0]) <= 12 and int(f[1]) <= 12 for f in numeric)
        return
    np.testing.assert_array_equal(series.dates, _as_datetime64(dates[:-HORIZON], kind))
    assert series.date_labels(series.dates) == labels[:-HORIZON]
    # Whether a month, day or hour below 10 has two digits shows where one comes.
    single = re.compile(r"(?<![0-9])[0-9](?![0-9])")
    if any(map(single.search, labels[:-HORIZON])) or not any(map(single.search, labels)):
        assert series.date_labels(_as_datetime64(dates[-HORIZON:], kind)) == \
            labels[-HORIZON:]


# Hostile labels near the written forms: a column of labels of one shape, its numbers
# drawn anew in each (13/02/2017, 31/02/2017 …): read as dates or not, never an exception,
# and the dates written back read as the same dates.
_PIECES = ["2017", "1600", "0000", "06", "6", "30", "13", "00", "0", "1", "99", "201706",
           "20170230", "Q", "q", "M", "Jan", "june", "SEPT", "Foo", "/", "-", ".", " ", ", ",
           "T", ":", "PM", "am"]


@st.composite
def _near_dates(draw):
    written = st.sampled_from(sorted(FORMS)).map(
        lambda f: re.findall(r"[0-9]+|[^0-9]+", FORMS[f][0](datetime.datetime(2017, 6, 30, 9))))
    shape = draw(st.lists(st.sampled_from(_PIECES), min_size=1, max_size=9) | written)
    labels = []
    for _ in range(draw(st.integers(1, 5))):
        labels.append("".join(draw(st.text("0123456789", min_size=len(p), max_size=len(p)))
                              if p.isdigit() and draw(st.booleans()) else p for p in shape))
    return labels


@settings(max_examples=1000, deadline=None)
@given(_near_dates())
def test_labels_near_dates_are_read_without_error(labels):
    series = korvanta.SeriesData(np.zeros(len(labels)), tuple(labels), "y", "date", "x.csv",
                                 True)
    dates = series.dates
    if dates is not None:
        assert dates.shape == (len(labels),) and not np.isnat(dates).any()
        written = series.date_labels(dates)
        if written is not None:
            again = dataclasses.replace(series, labels=tuple(written))
            np.testing.assert_array_equal(again.dates, dates)
