"""The command line on awkward files and option combinations: leading empty values,
calendar dates, uneven dates, formatted numbers, conflicting options, long output."""

import csv
import io
import os
import re
import warnings
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest

import korvanta
import korvanta.auto
import korvanta.cli
import korvanta.estimate
from korvanta.cli import main

ROOT = Path(__file__).resolve().parent.parent
AIRLINE = ROOT / "data" / "airline_passengers.csv"


def _walk(n, seed=0):
    return np.round(np.cumsum(np.random.default_rng(seed).normal(size=n)) + 50.0, 3)


def _table(out):
    """The forecast table's rows: (label, forecast)."""
    part = out.split("Forecast,", 1)[1]
    return [(m.group(1), float(m.group(2))) for m in
            re.finditer(r"^(\S+)\s+(-?[\d.]+)\s+-?[\d.]+\s+-?[\d.]+\s+-?[\d.]+$", part, re.M)]


def _refuse_fits(monkeypatch):
    def refuse(*a, **k):
        raise AssertionError("the fit started")
    monkeypatch.setattr(korvanta.estimate, "maximize", refuse)
    monkeypatch.setattr(korvanta.cli, "auto_fit", refuse)


# Month ends, with empty values before the first observation; business days over a
# weekend; month ends newest first, the newest values empty (left out at the front).
MONTH_ENDS = ["2019-10-31", "2019-11-30", "2019-12-31", "2020-01-31", "2020-02-29"]
CALENDAR = {
    "month-ends-leading-gaps": (
        [f"{y}-{m:02d}-{d}" for y in (2018, 2019) for m, d in
         zip(range(1, 13), [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])][:21]
        + MONTH_ENDS, False, 3, ["2020-03-31", "2020-04-30", "2020-05-31"]),
    "business-days": (
        [str(d) for d in np.busday_offset("2024-01-01", np.arange(25))], False, 0,
        ["2024-02-05", "2024-02-06", "2024-02-07"]),
    "month-ends-newest-first-gaps-at-the-front": (
        list(reversed([f"2018-{m:02d}-{d}" for m, d in
                       zip(range(1, 13), [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])]
                      + [f"2019-{m:02d}-{d}" for m, d in
                         zip(range(1, 13), [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])])),
        True, 2, ["2017-12-31", "2017-11-30", "2017-10-31"]),
}


@pytest.mark.parametrize("labels, backwards, empty, expected", list(CALENDAR.values()),
                         ids=list(CALENDAR))
def test_calendar_dates_and_leading_gaps_end_to_end(tmp_path, capsys, labels, backwards,
                                                    empty, expected):
    y = _walk(len(labels))
    y[:empty] = np.nan
    path = tmp_path / "s.csv"
    path.write_text("date,value\r\n" + "".join(
        f"{d},{'' if np.isnan(v) else v}\r\n" for d, v in zip(labels, y)))
    assert main(["fit", str(path), "--order", "1", "1", "0", "--horizon", "3"]) == 0
    out, err = capsys.readouterr()
    assert ("run from the newest date to the oldest" in err) == backwards
    assert "not evenly spaced" not in err and "Traceback" not in err
    ref = korvanta.fit(y, (1, 1, 0))
    assert f"In likelihood: {ref.nobs} " in out
    rows = _table(out)
    assert [r[0] for r in rows] == expected
    np.testing.assert_allclose([r[1] for r in rows], ref.forecast(3).mean, rtol=1e-3)


def test_time_with_an_offset_in_the_first_row_gives_no_python_warning(tmp_path, capsys):
    # Without a header the first row is tested for data: NumPy warned about the offset.
    path = tmp_path / "tz.csv"
    path.write_text("".join(f"2021-01-{i + 1:02d} 10:00+01:00,{v}\n"
                            for i, v in enumerate(_walk(25))))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert main(["fit", str(path), "--horizon", "1"]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    assert _table(out)[0][0] == "2021-01-26T10:00"


def test_numbers_with_thousands_grouped_by_commas(tmp_path):
    y = _walk(30) * 1000.0
    path = tmp_path / "formatted.csv"
    path.write_text('"month","sales"\n' + "".join(
        f'"2001-{i % 12 + 1:02d}","{v:,.2f}"\n'.replace("2001-", f"{2001 + i // 12}-")
        for i, v in enumerate(y)))
    with open(path, newline="") as fh:
        plain = [float(r[1].replace(",", "")) for r in list(csv.reader(fh))[1:]]
    s = korvanta.read_series(path)
    np.testing.assert_array_equal(s.values, plain)
    assert s.labels[12] == "2002-01" and s.name == "sales"
    # Decimal commas in files separated by semicolons are read as before.
    path.write_text("month;sales\n" + "".join(f"2001-{i + 1:02d};1.234,{i % 10}\n"
                                             for i in range(12)))
    np.testing.assert_array_equal(korvanta.read_series(path).values,
                                  [1234 + i % 10 / 10 for i in range(12)])


@pytest.mark.parametrize("args, message", [
    (["--auto", "--seasonal-order", "0", "1", "1", "12"],
     "--auto chooses the orders; --seasonal-order does not apply (give the season's period "
     "with --season-length 12)"),
    (["--auto", "--season-length", "12", "--order", "2", "1", "0"],
     "--auto chooses the orders; --order does not apply"),
    (["--season-length", "12"],
     "--season-length applies with --auto only; to fit a seasonal model give "
     "--seasonal-order P D Q 12"),
])
def test_options_of_the_other_mode_are_refused(capsys, monkeypatch, args, message):
    # They were dropped silently: the season the user asked for was not fitted.
    _refuse_fits(monkeypatch)
    assert main(["fit", str(AIRLINE), *args]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"korvanta: error: {message}\n"


def _monthly(tmp_path, labels):
    path = tmp_path / "m.csv"
    path.write_text("month,y\n" + "".join(f"{d},{v}\n" for d, v in zip(labels, _walk(30))))
    return path


@pytest.mark.parametrize("drop, named", [(12, "2001-02 follows 2000-12"),
                                         (1, "2000-03 follows 2000-01")])
def test_dates_with_a_period_left_out_are_reported(tmp_path, capsys, drop, named):
    labels = [f"{2000 + i // 12}-{i % 12 + 1:02d}" for i in range(31)]
    del labels[drop]
    path = _monthly(tmp_path, labels)
    assert main(["fit", str(path), "--horizon", "2"]) == 0
    out, err = capsys.readouterr()
    assert f"the dates of {path} are not evenly spaced: {named}:" in err
    assert [r[0] for r in _table(out)] == ["31", "32"]


def test_long_output_is_written_whole(tmp_path, monkeypatch):
    # A write of over 2 GiB is cut short by the system without an error: the output
    # must go in pieces.  The stand-in keeps the first 1 MiB of each write, as the
    # system keeps the first 2 GiB.
    class Short(io.StringIO):
        def write(self, s):
            return super().write(s[:1 << 20])

    out = Short()
    monkeypatch.setattr("sys.stdout", out)
    path = _monthly(tmp_path, [f"{2000 + i // 12}-{i % 12 + 1:02d}" for i in range(30)])
    assert main(["fit", str(path), "--order", "0", "1", "0", "--horizon", "20000"]) == 0
    rows = _table(out.getvalue())
    assert len(rows) == 20000 and rows[-1][0] == "3669-02"
    assert out.getvalue().endswith("forecast = mean; the interval is mean +/- 1.96 se\n")
