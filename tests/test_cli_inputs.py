"""CSV files as spreadsheets and other programs write them: decimal commas, delimiters at
the ends of lines, UTF-16, times with their UTC offset, several series in one file."""

import os
import re

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest

import korvanta
import korvanta.estimate
from korvanta.cli import main

VALUES = np.round(100 + np.cumsum(np.random.default_rng(3).normal(size=30)), 2)
DAYS = [str(np.datetime64("2020-01-01") + np.timedelta64(i, "D")) for i in range(len(VALUES))]


def _comma(v):
    return f"{v:.2f}".replace(".", ",")


def _forecast_labels(out):
    return re.findall(r"^(\S+)\s+-?[\d.]+\s+[\d.]+\s+-?[\d.]+\s+-?[\d.]+$", out, re.M)


@pytest.mark.parametrize("text", [
    "date;value\n" + "".join(f"{d};{_comma(v)}\n" for d, v in zip(DAYS, VALUES)),
    # Without a header the sniffer took the comma for the delimiter: the series was the
    # digits after the decimal mark.
    "".join(f"{d};{_comma(v)}\n" for d, v in zip(DAYS, VALUES)),
    "".join(f"{d}\t{_comma(v)}\n" for d, v in zip(DAYS, VALUES)),
    "".join(f"{d};{_comma(v)};\n" for d, v in zip(DAYS, VALUES)),
    "Datum;Wert\n" + "".join(f"{d};\"{_comma(v)}\"\n" for d, v in zip(DAYS, VALUES)),
], ids=["semicolons", "semicolons-no-header", "tabs-no-header", "trailing-semicolon",
        "quoted"])
def test_decimal_commas_are_read_as_decimal_marks(tmp_path, text):
    csv = tmp_path / "comma.csv"
    csv.write_text(text)
    series = korvanta.read_series(csv)
    np.testing.assert_array_equal(series.values, VALUES)
    assert series.labels == tuple(DAYS)


def test_decimal_comma_with_thousands_grouped_by_dots(tmp_path):
    csv = tmp_path / "grouped.csv"
    csv.write_text("date;value\n2020-01-01;1.234,5\n2020-01-02;2.000\n2020-01-03;-0,25\n"
                   "2020-01-04;NA\n2020-01-05;12\n")
    np.testing.assert_array_equal(korvanta.read_series(csv).values,
                                  [1234.5, 2000.0, -0.25, np.nan, 12.0])
    # A decimal point among decimal commas is not guessed at.
    csv.write_text("date;value\n2020-01-01;1,5\n2020-01-02;2.5\n2020-01-03;3,5\n")
    with pytest.raises(korvanta.InputError, match="line 3, column 'value': '2.5' is not a"):
        korvanta.read_series(csv)
    # Where commas separate the fields, a comma in a number is no decimal mark.
    csv.write_text("date,value\n2020-01-01,\"1,5\"\n2020-01-02,2.5\n2020-01-03,3.5\n")
    with pytest.raises(korvanta.InputError, match="'1,5' is not a number"):
        korvanta.read_series(csv)


@pytest.mark.parametrize("header, end", [
    ("date,value,", ","), ("date,value", ","), ("date,value,", ""), ("date,value,,", ",,"),
])
def test_delimiters_at_line_ends_are_no_column(tmp_path, header, end):
    # The empty column after them was taken for the series: "every observation is
    # missing", or a line with more fields than the header.
    csv = tmp_path / "trailing.csv"
    csv.write_text(header + "\n" + "".join(f"{d},{v}{end}\n" for d, v in zip(DAYS, VALUES)))
    series = korvanta.read_series(csv)
    np.testing.assert_array_equal(series.values, VALUES)
    assert series.name == "value" and series.labels == tuple(DAYS)
    # A row that lacks a field is still refused.
    csv.write_text(header + "\n2020-01-01,1" + end + "\n2020-01-02\n2020-01-03,3" + end + "\n")
    with pytest.raises(korvanta.InputError, match="line 3 has 1 fields, expected 2"):
        korvanta.read_series(csv)


def test_utf16_file_from_a_spreadsheet(tmp_path):
    csv = tmp_path / "unicode.csv"
    csv.write_text("date\tvalue\n" + "".join(f"{d}\t{v}\n" for d, v in zip(DAYS, VALUES)),
                   encoding="utf-16")
    series = korvanta.read_series(csv)
    np.testing.assert_array_equal(series.values, VALUES)
    assert series.labels == tuple(DAYS)
    csv.write_bytes("date,wert \xb0C\n2020-01-01,1\n".encode("latin-1"))
    with pytest.raises(korvanta.InputError, match="not a text file in UTF-8"):
        korvanta.read_series(csv)


HOURS = [np.datetime64("2020-03-28T20:00") + np.timedelta64(i, "h") for i in range(30)]


@pytest.mark.parametrize("offset", ["+01:00", "Z", "-0530"])
def test_times_with_an_offset_continue_on_the_files_clock(tmp_path, capsys, offset):
    # NumPy converted them to UTC (forecast labels an hour off the file's) and warned,
    # printing a line of the package's source.
    csv = tmp_path / "hourly.csv"
    csv.write_text("time,value\n" + "".join(f"{t}{offset},{v}\n" for t, v in zip(HOURS, VALUES)))
    np.testing.assert_array_equal(korvanta.read_series(csv).dates, HOURS)
    assert main(["fit", str(csv), "--order", "0", "1", "1", "--horizon", "2"]) == 0
    out, err = capsys.readouterr()
    assert _forecast_labels(out) == ["2020-03-30T02:00", "2020-03-30T03:00"]
    assert err == ""


def test_times_whose_offset_changes_are_numbered(tmp_path, capsys):
    # Summer time begins: clock times skip an hour, and UTC ones are not the file's.
    text = "time,value\n" + "".join(
        f"{t}{'+01:00' if t < np.datetime64('2020-03-29T02:00') else '+02:00'},{v}\n"
        for t, v in zip(HOURS, VALUES))
    csv = tmp_path / "summer.csv"
    csv.write_text(text)
    assert korvanta.read_series(csv).dates is None
    assert main(["fit", str(csv), "--order", "0", "1", "1", "--horizon", "2"]) == 0
    out, err = capsys.readouterr()
    assert _forecast_labels(out) == ["31", "32"] and err == ""


def test_dates_label_the_periods_after_a_column_of_names(tmp_path, capsys):
    # The names came first and labelled the periods: the forecast was numbered.
    csv = tmp_path / "named.csv"
    csv.write_text("series,date,value\n" + "".join(f"sales,{d},{v}\n"
                                                   for d, v in zip(DAYS, VALUES)))
    series = korvanta.read_series(csv)
    assert series.labels == tuple(DAYS) and series.label_name == "date"
    assert main(["fit", str(csv), "--order", "0", "1", "1", "--horizon", "2"]) == 0
    assert _forecast_labels(capsys.readouterr().out) == ["2020-01-31", "2020-02-01"]


@pytest.mark.parametrize("start", ["2020-01-01", "2020-01-10"])
def test_several_series_in_one_file_are_refused_before_fitting(tmp_path, capsys,
                                                               monkeypatch, start):
    # A long file of several series was fitted as one, the second after the first.
    def refuse(*a, **k):
        raise AssertionError("the fit started")
    monkeypatch.setattr(korvanta.estimate, "maximize", refuse)
    second = [str(np.datetime64(start) + np.timedelta64(i, "D")) for i in range(20)]
    csv = tmp_path / "long.csv"
    csv.write_text("unique_id,ds,y\n" + "".join(f"a,{d},{v}\n" for d, v in zip(DAYS, VALUES))
                   + "".join(f"b,{d},{v}\n" for d, v in zip(second, VALUES)))
    assert main(["fit", str(csv)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == (
        f"korvanta: error: {csv}: the file holds several series one after another: at line "
        "32 the dates start again and the column 'unique_id' changes from 'a' to 'b'; keep "
        "the rows of one series\n")



def test_a_row_out_of_order_beside_notes_is_no_second_series(tmp_path, capsys):
    rows = [f"{d},{'holiday' if i == 12 else 'ok'},{v}\n"
            for i, (d, v) in enumerate(zip(DAYS, VALUES))]
    rows[11], rows[12] = rows[12], rows[11]
    csv = tmp_path / "notes.csv"
    csv.write_text("date,note,value\n" + "".join(rows))
    assert main(["fit", str(csv)]) == 2
    assert "the rows are not in date order: 2020-01-12 (observation 13) follows " \
           "2020-01-13" in capsys.readouterr().err
