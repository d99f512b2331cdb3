"""The airline example: its fit, standard errors, forecasts, chart and command line.

The example's numbers are checked against an independent dense computation: with
diffuse differencing states, the likelihood of the (0,1,1)x(0,1,1,12) model is the
exact Gaussian likelihood of the differenced series w_t = (1-L)(1-L^12) y_t, a moving
average of order 13 whose covariance matrix is written down directly.
"""

import importlib.util
import math
import os
import re
import sys
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "airline_passengers.csv"

_spec = importlib.util.spec_from_file_location("airline_example", ROOT / "examples" / "airline.py")
airline = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = airline      # dataclasses look their module up by name
_spec.loader.exec_module(airline)

# Published maximum-likelihood estimates for this model on log passengers.
PUBLISHED = {"ma.L1": -0.402, "ma.S.L12": -0.557, "sigma2": 0.00135}
HORIZON = 24


# --------------------------------------------------------------------------------------
# Dense reference for the airline model
# --------------------------------------------------------------------------------------

def _difference(y):
    return y[13:] - y[12:-1] - y[1:-12] + y[:-13]


def _ma13_cov(params, m):
    """Covariance matrix of m consecutive values of (1 + th L)(1 + Th L^12) e_t."""
    th, Th, s2 = params
    psi = np.zeros(14)
    psi[[0, 1, 12, 13]] = [1.0, th, Th, th * Th]
    acov = np.zeros(m)
    for k in range(min(m, 14)):
        acov[k] = s2 * psi[:14 - k] @ psi[k:]
    idx = np.arange(m)
    return acov[np.abs(idx[:, None] - idx[None, :])]


def dense_terms(params, y):
    """Per-observation log-likelihood terms of the differenced series, from the
    Cholesky factor of its covariance (the innovations form)."""
    w = _difference(y)
    chol = np.linalg.cholesky(_ma13_cov(params, len(w)))
    d = np.diag(chol)
    e = np.linalg.solve(chol / d, w)
    return -0.5 * (np.log(2 * np.pi) + np.log(d * d) + e * e / (d * d))


def dense_forecast(params, y, horizon):
    """Conditional mean and variance of log passengers `horizon` months ahead."""
    w = _difference(y)
    n = len(w)
    cov = _ma13_cov(params, n + horizon)
    sww, sfw, sff = cov[:n, :n], cov[n:, :n], cov[n:, n:]
    w_mean = sfw @ np.linalg.solve(sww, w)
    w_cov = sff - sfw @ np.linalg.solve(sww, sfw.T)
    # Undo the differencing: each future y is a known constant plus a linear
    # combination of the future w.
    const = list(y)
    coef = [np.zeros(horizon)] * len(y)
    for h in range(horizon):
        const.append(const[-1] + const[-12] - const[-13])
        a = coef[-1] + coef[-12] - coef[-13]
        a[h] += 1.0
        coef.append(a)
    A = np.array(coef[-horizon:])
    return np.array(const[-horizon:]) + A @ w_mean, np.diag(A @ w_cov @ A.T)


# --------------------------------------------------------------------------------------
# Fit on the shipped series
# --------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def log_y():
    series = airline.load_series(DATA)
    assert series.values.shape == (144,) and series.labels[0] == "1949-01"
    return np.log(series.values)


@pytest.fixture(scope="module")
def result(log_y):
    return airline.fit(log_y)


def test_estimates_match_published_values(result):
    assert result.converged, result.message
    assert result.names == list(PUBLISHED)
    for name, value in zip(result.names, result.params):
        assert abs(value - PUBLISHED[name]) < 1e-3, name
    # sigma2 is tiny, so the absolute bound says little about it.
    assert result.params[2] == pytest.approx(PUBLISHED["sigma2"], rel=5e-3)


def test_estimate_is_a_maximum(result, log_y):
    kr = airline.kr
    kw = dict(order=result.order, seasonal_order=result.seasonal_order, trend_powers=[])
    best = kr.loglike(log_y, result.params, **kw)
    assert best == result.loglike
    for i, step in enumerate([1e-3, 1e-3, 1e-6]):
        for sign in (1, -1):
            p = result.params.copy()
            p[i] += sign * step
            assert kr.loglike(log_y, p, **kw) < best


def test_loglike_and_criteria_match_dense_likelihood(result, log_y):
    terms = dense_terms(result.params, log_y)
    assert result.nobs == len(terms) == 131
    assert result.k_diffuse == 13 and result.n_params == 3
    # The diffuse states carry a variance of 1e6, not infinity: agreement to ~1e-9.
    assert result.loglike == pytest.approx(terms.sum(), rel=1e-8)
    assert result.aic == pytest.approx(-2 * result.loglike + 6, rel=1e-14)
    assert result.bic == pytest.approx(-2 * result.loglike + 3 * math.log(131), rel=1e-14)


def test_standard_errors_are_outer_product_of_dense_scores(result, log_y):
    h = 1e-6 * np.maximum(np.abs(result.params), 1e-3)
    cols = []
    for i in range(3):
        up, dn = result.params.copy(), result.params.copy()
        up[i] += h[i]
        dn[i] -= h[i]
        cols.append((dense_terms(up, log_y) - dense_terms(dn, log_y)) / (2 * h[i]))
    S = np.column_stack(cols)
    bse = np.sqrt(np.diag(np.linalg.inv(S.T @ S)))
    np.testing.assert_allclose(result.bse, bse, rtol=1e-3)
    np.testing.assert_allclose(result.cov, result.cov.T, rtol=1e-12)


def test_forecast_matches_dense_conditional_distribution(result, log_y):
    fc = airline.make_forecast(log_y, result, HORIZON, log=True)
    mean, var = dense_forecast(result.params, log_y, HORIZON)
    np.testing.assert_allclose(fc.mean, mean, rtol=0, atol=1e-9)
    np.testing.assert_allclose(fc.var, var, rtol=1e-9)
    # Passenger scale: median, 95% bounds and the lognormal mean.
    sd = np.sqrt(var)
    np.testing.assert_allclose(fc.point, np.exp(mean), rtol=1e-9)
    np.testing.assert_allclose(fc.lower, np.exp(mean - 1.959963984540054 * sd), rtol=1e-9)
    np.testing.assert_allclose(fc.upper, np.exp(mean + 1.959963984540054 * sd), rtol=1e-9)
    np.testing.assert_allclose(fc.mean_corrected, np.exp(mean + var / 2), rtol=1e-9)
    assert np.all(np.diff(var) > 0)
    # The in-sample one-step predictions after the burn-in reproduce the series
    # up to the prediction errors, i.e. they are predictions of the right thing.
    assert fc.insample.shape == log_y.shape
    resid = log_y[13:] - fc.insample[13:]
    assert np.sqrt(np.mean(resid ** 2)) == pytest.approx(math.sqrt(result.params[2]), rel=0.1)


# --------------------------------------------------------------------------------------
# End to end through the command line
# --------------------------------------------------------------------------------------

def _value(text, label):
    m = re.search(rf"^{re.escape(label)}\s+(-?[\d.]+)", text, re.M)
    assert m, f"no '{label}' row in the output"
    return float(m.group(1))


def test_main_end_to_end(tmp_path, capsys, result):
    png = tmp_path / "chart.png"
    assert airline.main(["--plot", str(png)]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 10_000

    for name, est in zip(result.names, result.params):
        m = re.search(rf"^{re.escape(name)}\s+(\S+)\s+(\S+)\s+(\S+)$", out, re.M)
        assert m, f"no row for {name}"
        assert float(m.group(1)) == pytest.approx(est, rel=1e-5)
    assert _value(out, "log-likelihood") == pytest.approx(244.6965, abs=1e-3)
    assert _value(out, "AIC") == pytest.approx(result.aic, abs=1e-3)
    assert _value(out, "BIC") == pytest.approx(result.bic, abs=1e-3)
    assert _value(out, "observations (nobs)") == 131
    assert _value(out, "function evaluations") > 0
    assert re.search(r"^fit wall time\s+[\d.]+ ms$", out, re.M)

    # 24 monthly forecast rows continuing the dates, each inside its interval.
    rows = re.findall(r"^(19\d\d-\d\d)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", out, re.M)
    assert [r[0] for r in rows] == [f"{1961 + i // 12}-{i % 12 + 1:02d}" for i in range(HORIZON)]
    for _, point, lo, hi, mean in rows:
        assert float(lo) < float(point) < float(mean) < float(hi)
    assert f"chart saved to {png}" in out


def test_user_csv_with_other_columns_gives_the_same_fit(tmp_path, capsys, result):
    """A file with a header, a numeric id column first, dates in the middle and the
    values last, separated by semicolons: the last numeric column is the series."""
    lines = DATA.read_text().splitlines()[1:]
    csv = tmp_path / "mine.csv"
    csv.write_text("id;date;count\n"
                   + "".join(f"{i};{ln.split(',')[0]};{ln.split(',')[1]}\n"
                             for i, ln in enumerate(lines)))
    series = airline.load_series(csv)
    assert series.name == "count" and series.labels[-1] == "1960-12"
    np.testing.assert_array_equal(series.values, airline.load_series(DATA).values)
    assert airline.main([str(csv), "--no-plot", "--horizon", "2"]) == 0
    out = capsys.readouterr().out
    assert "fitted to log(count)" in out
    assert _value(out, "log-likelihood") == pytest.approx(result.loglike, abs=1e-3)
    assert "1961-02" in out and "1961-03" not in out
    assert "chart saved" not in out


def test_missing_observation_and_raw_scale(tmp_path, capsys):
    values = np.loadtxt(DATA, delimiter=",", skiprows=1, usecols=1)
    text = "\n".join("NA" if i == 60 else f"{v:g}" for i, v in enumerate(values)) + "\n"
    csv = tmp_path / "gap.csv"
    csv.write_text(text)
    series = airline.load_series(csv)
    assert np.isnan(series.values[60]) and np.count_nonzero(np.isnan(series.values)) == 1

    res = airline.fit(series.values)          # raw scale, one gap
    assert res.nobs == 130 and np.isfinite(res.loglike) and np.all(np.isfinite(res.bse))

    assert airline.main([str(csv), "--no-log", "--no-plot", "--horizon", "3"]) == 0
    out = capsys.readouterr().out
    assert "fitted to y," in out and _value(out, "observations (nobs)") == 130
    # Without the log the interval is symmetric about the forecast, and the undated
    # file's periods continue its observation numbers.
    rows = re.findall(r"^(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", out, re.M)
    assert [r[0] for r in rows] == ["145", "146", "147"]
    for _, point, lo, hi in rows:
        assert float(point) - float(lo) == pytest.approx(float(hi) - float(point), abs=0.02)


# --------------------------------------------------------------------------------------
# Command-line errors: exit status 2, one message on stderr, no traceback
# --------------------------------------------------------------------------------------

def _airline_rows(n):
    return "".join(ln + "\n" for ln in DATA.read_text().splitlines()[1:n + 1])


BAD_FILES = {
    "no-numeric-column": ("a,b\nx,y\nz,w\n", "no numeric column"),
    "non-numeric-value": ("month,passengers\n1949-01,112\n1949-02,1l8\n1949-03,132\n",
                          "line 3, column 'passengers': '1l8' is not a number"),
    "ragged-rows": ("month,passengers\n1949-01,112\n1949-02\n", "line 3 has 1 fields, expected 2"),
    "too-few-rows": ("month,passengers\n1949-01,112\n1949-02,118\n", "only 2 rows of data"),
    "header-only": ("month,passengers\n", "header but no data"),
    "empty": ("", "holds no data"),
    "not-positive": ("month,passengers\n" + _airline_rows(40).replace("1950-03,141", "1950-03,0"),
                     "observation 15 (1950-03) is 0; use --no-log"),
}


@pytest.mark.parametrize("content, message", list(BAD_FILES.values()), ids=list(BAD_FILES))
def test_malformed_input_is_reported(tmp_path, capsys, content, message):
    csv = tmp_path / "bad.csv"
    csv.write_text(content)
    assert airline.main([str(csv), "--no-plot"]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("airline.py: error: ") and message in err, err
    assert "Traceback" not in err


def test_missing_file_is_reported(tmp_path, capsys):
    missing = tmp_path / "nowhere.csv"
    assert airline.main([str(missing), "--no-plot"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"airline.py: error: file not found: {missing}\n"


IMPOSSIBLE_ORDERS = {
    "period-longer-than-series": (144, ["--seasonal-order", "0", "1", "1", "200"],
                                  "seasonal period s=200 is longer than the series (144 observations)"),
    "too-few-observations": (20, [], "needs at least 13 usable observations after the first 13"),
    "too-many-parameters": (144, ["--order", "60", "1", "60"],
                            "needs at least 132 usable observations after the first 13 (which "
                            "only initialise the differencing) for its 122 parameters; "
                            "the series has 131"),
    "period-one": (144, ["--seasonal-order", "0", "1", "1", "1"],
                   "Seasonal periodicity must be greater than 1."),
    "seasonal-terms-without-period": (144, ["--seasonal-order", "1", "0", "0", "0"],
                                      "Must include nonzero seasonal periodicity"),
}


@pytest.mark.parametrize("n, args, message", list(IMPOSSIBLE_ORDERS.values()),
                         ids=list(IMPOSSIBLE_ORDERS))
def test_impossible_orders_are_reported(tmp_path, capsys, n, args, message):
    csv = tmp_path / "series.csv"
    csv.write_text("month,passengers\n" + _airline_rows(n))
    assert airline.main([str(csv), "--no-plot", *args]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("airline.py: error: ") and message in err, err
    assert "Traceback" not in err


@pytest.mark.parametrize("args, message", [
    (["--order", "-1", "1", "1"], "argument --order: -1 is negative"),
    (["--horizon", "two"], "argument --horizon: 'two' is not an integer"),
    (["--seasonal-order", "0", "1", "1"], "argument --seasonal-order: expected 4 arguments"),
], ids=["negative-order", "non-integer-horizon", "short-seasonal-order"])
def test_bad_arguments_exit_with_usage_error(capsys, args, message):
    assert airline.main(args) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("usage: ") and message in err
