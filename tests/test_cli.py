"""The `korvanta` command line: fit a CSV file, print the estimates and the forecast,
draw the chart; every input problem is one message and exit status 2, before fitting."""

import os
import re
import subprocess
import sys
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest

import korvanta
import korvanta.estimate
from korvanta.cli import main

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "airline_passengers.csv"
AIRLINE = ["--order", "0", "1", "1", "--seasonal-order", "0", "1", "1", "12"]


def _value(text, label):
    m = re.search(rf"\b{re.escape(label)}:\s+(-?[\d.]+)", text)
    assert m, f"no '{label}' row in the output"
    return float(m.group(1))


@pytest.fixture(scope="module")
def reference():
    y = np.log(korvanta.read_series(DATA).values)
    return korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12))


def test_fit_end_to_end(tmp_path, capsys, reference):
    png, residuals = tmp_path / "chart.png", tmp_path / "residuals.svg"
    assert main(["fit", str(DATA), *AIRLINE, "--log", "--horizon", "24",
                 "--plot", str(png), "--diagnostics", str(residuals)]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert b"<svg" in residuals.read_bytes()[:500]
    assert f"chart saved to {residuals}" in out and "Ljung-Box Q(24):" in out
    for name, est in zip(reference.param_names, reference.params):
        m = re.search(rf"^{re.escape(name)}\s+(\S+)\s", out, re.M)
        assert m, f"no row for {name}"
        assert float(m.group(1)) == pytest.approx(est, rel=1e-3)
    assert _value(out, "Log-likelihood") == pytest.approx(244.696, abs=1e-3)
    assert _value(out, "AIC") == pytest.approx(reference.aic, abs=1e-3)
    assert _value(out, "BIC") == pytest.approx(reference.bic, abs=1e-3)
    assert "In likelihood: 131" in out and "Series:        log(passengers)" in out
    # 24 monthly forecast rows continuing the dates, each inside its interval.
    rows = re.findall(r"^(19\d\d-\d\d)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", out, re.M)
    assert [r[0] for r in rows] == [f"{1961 + i // 12}-{i % 12 + 1:02d}" for i in range(24)]
    for _, point, lo, hi, mean in rows:
        assert float(lo) < float(point) < float(mean) < float(hi)
    assert f"chart saved to {png}" in out


def test_user_csv_with_other_columns_gives_the_same_fit(tmp_path, capsys, reference):
    """A header, a numeric id column first, dates in the middle and the values last,
    separated by semicolons: the last numeric column is the series."""
    lines = DATA.read_text().splitlines()[1:]
    csv = tmp_path / "mine.csv"
    csv.write_text("id;date;count\n" + "".join(
        f"{i};{ln.split(',')[0]};{ln.split(',')[1]}\n" for i, ln in enumerate(lines)))
    series = korvanta.read_series(csv)
    assert series.name == "count" and series.labels[-1] == "1960-12"
    np.testing.assert_array_equal(series.values, korvanta.read_series(DATA).values)
    assert main(["fit", str(csv), *AIRLINE, "--log", "--horizon", "2"]) == 0
    out = capsys.readouterr().out
    assert "log(count)" in out
    assert _value(out, "Log-likelihood") == pytest.approx(reference.llf, abs=1e-3)
    assert "1961-02" in out and "1961-03" not in out
    assert "chart saved" not in out


def test_column_option_picks_the_series(tmp_path, capsys):
    csv = tmp_path / "two.csv"
    values = korvanta.read_series(DATA).values
    csv.write_text("a,b\n" + "".join(f"{v},{v * 2}\n" for v in values))
    assert main(["fit", str(csv), "--column", "a", "--horizon", "1"]) == 0
    assert "Series:        a " in capsys.readouterr().out
    assert main(["fit", str(csv), "--column", "c"]) == 2
    assert "no column named 'c' (columns: a, b)" in capsys.readouterr().err


@pytest.mark.parametrize("first", ["1949-01,", "1949-01,NA", "1949-01,nan"])
def test_first_row_with_a_missing_observation_is_data(tmp_path, first):
    # A first row without a number was taken for the header: the first period was lost
    # and the series named after an empty cell.
    csv = tmp_path / "gap.csv"
    csv.write_text(first + "\n1949-02,118\n1949-03,132\n")
    series = korvanta.read_series(csv)
    assert series.labels == ("1949-01", "1949-02", "1949-03")
    np.testing.assert_array_equal(series.values, [np.nan, 118.0, 132.0])
    # A header stays a header, "today" and "now" included.
    csv.write_text("now,value\n1949-02,118\n1949-03,132\n")
    assert korvanta.read_series(csv).name == "value"


def test_missing_observation_and_raw_scale(tmp_path, capsys):
    values = korvanta.read_series(DATA).values
    text = "\n".join("NA" if i == 60 else f"{v:g}" for i, v in enumerate(values)) + "\n"
    csv = tmp_path / "gap.csv"
    csv.write_text(text)
    series = korvanta.read_series(csv)
    assert np.isnan(series.values[60]) and np.count_nonzero(np.isnan(series.values)) == 1
    assert main(["fit", str(csv), *AIRLINE, "--horizon", "3"]) == 0
    out = capsys.readouterr().out
    assert "In likelihood: 130" in out and "Series:        y " in out
    # Without the log the interval is symmetric about the forecast, and the undated
    # file's periods continue its observation numbers.
    rows = re.findall(r"^(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", out, re.M)
    assert [r[0] for r in rows] == ["145", "146", "147"]
    for _, point, se, lo, hi in rows:
        assert float(point) - float(lo) == pytest.approx(float(hi) - float(point), abs=2e-4)


def test_multistart_option(tmp_path, capsys):
    # A likelihood with two maxima 82 units apart: the option must reach the fit's
    # search, which finds the higher one only from every start.
    from pkg_data import classic

    csv = tmp_path / "co2.csv"
    csv.write_text("".join(f"{v}\n" for v in classic("co2_monthly")))
    model = ["--order", "1", "1", "1", "--seasonal-order", "0", "0", "1", "12"]
    expected = {}
    for flag in (False, True):
        expected[flag] = korvanta.fit(classic("co2_monthly"), (1, 1, 1), (0, 0, 1, 12),
                                      multistart=flag).llf
        assert main(["fit", str(csv), *model, "--horizon", "1",
                     *(["--multistart"] if flag else [])]) == 0
        assert _value(capsys.readouterr().out, "Log-likelihood") == \
            pytest.approx(expected[flag], abs=1e-3)
    assert expected[True] > expected[False] + 1


def test_yearly_dates_continue(tmp_path, capsys):
    assert main(["fit", str(ROOT / "data" / "nile.csv"), "--horizon", "2"]) == 0
    out = capsys.readouterr().out
    assert re.search(r"^1971\s", out, re.M) and re.search(r"^1972\s", out, re.M)


def _airline_rows(n):
    return "".join(ln + "\n" for ln in DATA.read_text().splitlines()[1:n + 1])


BAD_FILES = {
    "no-numeric-column": ("a,b\nx,y\nz,w\n", [], "no numeric column"),
    "non-numeric-value": ("month,passengers\n1949-01,112\n1949-02,1l8\n1949-03,132\n", [],
                          "line 3, column 'passengers': '1l8' is not a number"),
    "ragged-rows": ("month,passengers\n1949-01,112\n1949-02\n", [],
                    "line 3 has 1 fields, expected 2"),
    "too-few-rows": ("month,passengers\n1949-01,112\n1949-02,118\n", [], "only 2 rows of data"),
    "header-only": ("month,passengers\n", [], "header but no data"),
    "empty": ("", [], "holds no data"),
    "all-missing": ("month,passengers\n1949-01,NA\n1949-02,\n1949-03,NA\n", [],
                    "every observation is missing"),
    "not-positive": ("month,passengers\n" + _airline_rows(40).replace("1950-03,141",
                                                                      "1950-03,0"),
                     ["--log"], "observation 15 (1950-03) is 0; fit the raw series (--no-log)"),
    "period-longer-than-series": ("month,passengers\n" + _airline_rows(144),
                                  ["--seasonal-order", "0", "1", "1", "200"],
                                  "seasonal period s=200 is longer than the series (144 "
                                  "observations)"),
    "too-few-observations": ("month,passengers\n" + _airline_rows(20), AIRLINE,
                             "needs at least 13 usable observations after the first 13"),
    "too-many-parameters": ("month,passengers\n" + _airline_rows(144),
                            ["--order", "60", "1", "60", "--seasonal-order", "0", "1", "1", "12"],
                            "needs at least 132 usable observations after the first 13 (which "
                            "only initialise the differencing) for its 122 parameters; the "
                            "series has 131"),
    "period-one": ("month,passengers\n" + _airline_rows(144),
                   ["--seasonal-order", "0", "1", "1", "1"],
                   "Seasonal periodicity must be greater than 1."),
    "seasonal-terms-without-period": ("month,passengers\n" + _airline_rows(144),
                                      ["--seasonal-order", "1", "0", "0", "0"],
                                      "Must include nonzero seasonal periodicity"),
    "unreachable-horizon": ("month,passengers\n" + _airline_rows(144),
                            ["--horizon", str(2 ** 25 + 1)], "beyond the longest forecast"),
    "chart-format": ("month,passengers\n" + _airline_rows(144), ["--plot", "out.docx"],
                     "unsupported chart format '.docx'"),
    "diagnostics-format": ("month,passengers\n" + _airline_rows(144),
                           ["--diagnostics", "out.docx"], "unsupported chart format '.docx'"),
    "chart-folder": ("month,passengers\n" + _airline_rows(144), ["--plot", "no/such/out.png"],
                     "the folder no/such does not exist"),
    "rows-out-of-order": ("month,passengers\n" + _airline_rows(40).replace(
        "1949-11,104\n1949-12,118", "1949-12,118\n1949-11,104"), [],
        "the rows are not in date order: 1949-11 (observation 12) follows 1949-12; sort"),
    "date-twice": ("month,passengers\n" + _airline_rows(40).replace("1949-12,118",
                                                                    "1949-11,118"), [],
                   "the date 1949-11 appears twice (observations 11 and 12)"),
    # The first row is the one out of place, not the second step.
    "first-date-out-of-order": ("month,passengers\n1990-01,100\n" + _airline_rows(40), [],
                                "1949-01 (observation 2) follows 1990-01"),
    "row-out-of-order-newest-first": (
        "month,passengers\n" + "".join(reversed(_airline_rows(40).replace(
            "1949-11,104\n1949-12,118", "1949-12,118\n1949-11,104").splitlines(True))), [],
        "1949-12 (observation 30) follows 1949-11"),
    "same-chart-twice": ("month,passengers\n" + _airline_rows(144),
                         ["--plot", "out.png", "--diagnostics", "./out.png"],
                         "--plot and --diagnostics name the same file, ./out.png"),
}


@pytest.mark.parametrize("content, args, message", list(BAD_FILES.values()), ids=list(BAD_FILES))
def test_bad_input_is_reported_before_fitting(tmp_path, capsys, monkeypatch, content, args,
                                              message):
    def refuse(*a, **k):
        raise AssertionError("the fit started")
    monkeypatch.setattr(korvanta.estimate, "maximize", refuse)
    csv = tmp_path / "bad.csv"
    csv.write_text(content)
    assert main(["fit", str(csv), *args]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("korvanta: error: ") and message in err, err
    assert "Traceback" not in err


def test_missing_file_is_reported(tmp_path, capsys):
    missing = tmp_path / "nowhere.csv"
    assert main(["fit", str(missing)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"korvanta: error: file not found: {missing}\n"


@pytest.mark.parametrize("args, message", [
    (["fit", str(DATA), "--order", "-1", "1", "1"], "argument --order: -1 is negative"),
    (["fit", str(DATA), "--horizon", "two"], "argument --horizon: 'two' is not an integer"),
    (["fit", str(DATA), "--seasonal-order", "0", "1", "1"],
     "argument --seasonal-order: expected 4 arguments"),
    (["fit", str(DATA), "--alpha", "1.5"], "argument --alpha: 1.5 is not between 0 and 1"),
    ([], "the following arguments are required: COMMAND"),
], ids=["negative-order", "non-integer-horizon", "short-seasonal-order", "bad-alpha",
        "no-command"])
def test_bad_arguments_exit_with_usage_error(capsys, args, message):
    assert main(args) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("usage: ") and message in err


def test_warnings_go_to_stderr_without_traceback(tmp_path, capsys):
    csv = tmp_path / "flat.csv"
    csv.write_text("".join(f"{3.0}\n" for _ in range(40)))
    assert main(["fit", str(csv), "--order", "1", "0", "0", "--trend", "c"]) == 0
    out, err = capsys.readouterr()
    assert err.startswith("korvanta: warning: The fit did not converge: the series is "
                          "constant")
    assert "Converged:     NO" in out


@pytest.mark.parametrize("command", [["-m", "korvanta"], ["-c", "from korvanta.cli import "
                                                          "console; console()"]],
                         ids=["python-m", "console-script"])
def test_runs_as_a_program(command, tmp_path):
    proc = subprocess.run([sys.executable, *command, "fit", str(ROOT / "data" / "nile.csv"),
                           "--horizon", "3", "--plot", str(tmp_path / "nile.svg")],
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, "MPLBACKEND": "Agg"})
    assert proc.returncode == 0, proc.stderr
    assert "ma.L1" in proc.stdout and "chart saved to" in proc.stdout
    assert (tmp_path / "nile.svg").read_bytes().startswith(b"<?xml")
    bad = subprocess.run([sys.executable, *command, "fit", str(tmp_path / "none.csv")],
                         capture_output=True, text=True, timeout=120)
    assert bad.returncode == 2 and bad.stderr.startswith("korvanta: error: file not found")


def test_newest_first_file_is_backcast_under_the_earlier_dates(tmp_path, capsys):
    # Taken in the order of its rows, such a file is fitted backwards in time: its
    # "forecast" is a backcast, which was labelled 145, 146, … as if it followed the data.
    rows = DATA.read_text().splitlines()[1:]
    csv = tmp_path / "newest-first.csv"
    csv.write_text("month,passengers\n" + "".join(ln + "\n" for ln in reversed(rows)))
    assert main(["fit", str(csv), *AIRLINE, "--log", "--horizon", "3"]) == 0
    out, err = capsys.readouterr()
    assert err == (f"korvanta: warning: the rows of {csv} run from the newest date to the "
                   "oldest: the forecast is a backcast of the periods before 1949-01\n")
    rows = re.findall(r"^(\S+)\s+([\d.]+)\s+[\d.]+\s+[\d.]+\s+[\d.]+$", out, re.M)
    assert [r[0] for r in rows] == ["1948-12", "1948-11", "1948-10"]
    # The numbers are those of the reversed series' forecast.
    reversed_fit = korvanta.fit(np.log(korvanta.read_series(DATA).values[::-1]), (0, 1, 1),
                                (0, 1, 1, 12))
    assert _value(out, "Log-likelihood") == pytest.approx(reversed_fit.llf, abs=1e-3)
    assert float(rows[0][1]) == pytest.approx(np.exp(reversed_fit.forecast(1).mean[0]),
                                              abs=1e-4)


def test_pgf_chart_without_tex_is_refused_before_fitting(tmp_path, capsys, monkeypatch):
    # matplotlib draws a .pgf chart's text with TeX: without it the chart failed with a
    # traceback after the fit.
    matplotlib = pytest.importorskip("matplotlib")
    monkeypatch.setitem(matplotlib.rcParams, "pgf.texsystem", "lualatex")
    monkeypatch.setenv("PATH", str(tmp_path))        # no TeX on it

    def refuse(*a, **k):
        raise AssertionError("the fit started")
    monkeypatch.setattr(korvanta.estimate, "maximize", refuse)
    chart = tmp_path / "chart.pgf"
    assert main(["fit", str(DATA), "--plot", str(chart)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and "the .pgf format needs lualatex" in err
    assert not chart.exists()


@pytest.mark.parametrize("header, first, dated", [
    ("time", 1, False), ("period", 10, False), ("year", 1871, True),
], ids=["time-counter", "period-counter", "years"])
def test_whole_number_labels_are_dates_only_as_years(tmp_path, capsys, header, first, dated):
    # Counters 1, 2, … were read as the years 0001, 0002, …: the forecast was labelled
    # 0145, and the chart failed with a traceback after the fit.
    values = korvanta.read_series(DATA).values[:100]
    csv = tmp_path / "counted.csv"
    csv.write_text(f"{header},value\n" + "".join(f"{first + i},{v:g}\n"
                                                 for i, v in enumerate(values)))
    series = korvanta.read_series(csv)
    assert (series.dates is not None) == dated
    chart = tmp_path / "chart.png"
    assert main(["fit", str(csv), "--horizon", "2", "--plot", str(chart)]) == 0
    out = capsys.readouterr().out
    labels = re.findall(r"^(\d+)\s+[\d.]+\s+[\d.]+\s+[\d.]+\s+[\d.]+$", out, re.M)
    assert labels == ([str(first + 100), str(first + 101)] if dated else ["101", "102"])
    assert chart.read_bytes()[:4] == b"\x89PNG"


class _BrokenOutput:
    """A standard output whose writes fail."""

    def __init__(self, error):
        self.error = error

    def write(self, text):
        raise self.error

    def flush(self):
        raise self.error


@pytest.mark.parametrize("error, message", [
    (OSError(28, "No space left on device"),
     "korvanta: error: cannot write the output: No space left on device\n"),
    (BrokenPipeError(32, "Broken pipe"), ""),
], ids=["disk-full", "reader-gone"])
def test_output_that_cannot_be_written_fails_without_traceback(capsys, monkeypatch, error,
                                                               message):
    monkeypatch.setattr(sys, "stdout", _BrokenOutput(error))
    assert main(["fit", str(ROOT / "data" / "nile.csv"), "--horizon", "2"]) == 1
    assert capsys.readouterr().err == message


def test_closed_pipe_ends_the_program_quietly():
    # `korvanta fit … | head`: the reader is gone before the output is written.
    proc = subprocess.Popen([sys.executable, "-m", "korvanta", "fit",
                             str(ROOT / "data" / "nile.csv"), "--horizon", "2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={**os.environ, "MPLBACKEND": "Agg"})
    proc.stdout.close()
    with proc.stderr:
        err = proc.stderr.read().decode()
    assert proc.wait(timeout=120) == 1
    assert err == ""


def test_ctrl_c_ends_the_program_without_traceback(capsys, monkeypatch):
    import korvanta.cli as cli

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "_fit", interrupted)
    assert main(["fit", str(ROOT / "data" / "nile.csv"), "--horizon", "2"]) == 130
    assert capsys.readouterr().err == "korvanta: interrupted\n"
