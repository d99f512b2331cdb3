"""The text summary: every number in its own column, whatever its size."""

from types import SimpleNamespace

import numpy as np
import pytest

import korvanta
from korvanta.diagnostics import residual_diagnostics
from korvanta.summary import summary_text
from pkg_data import airline


def stub(params, bse, names):
    """A result with chosen estimates and standard errors, for the table alone."""
    params, bse = np.asarray(params, float), np.asarray(bse, float)
    with np.errstate(divide="ignore", invalid="ignore"):
        z = params / bse
    problem = SimpleNamespace(name="y", order=(1, 0, 1), seasonal_order=(0, 0, 0, 0),
                              k_exog=0, trend_powers=(0,), n=100, n_given=100)
    return SimpleNamespace(
        problem=problem, nobs=100, k_diffuse=0, cov_type="opg", converged=True, llf=-1e7,
        aic=2e7, aicc=2e7, bic=2e7, hqic=2e7, iterations=5, n_evaluations=6,
        param_names=names, params=params, bse=bse, zvalues=z, pvalues=np.full(z.size, 0.5),
        conf_int=lambda alpha: np.column_stack([params - 1.96 * bse, params + 1.96 * bse]),
        concentrate_scale=True, warnings=(), covariance_note=None,
        diagnostics=lambda: residual_diagnostics(np.full(100, np.nan), 2, 10))


@pytest.mark.parametrize("params, bse", [
    ([0.9999, 8.0333e-4, 5.8e-3], [123.2375, 3.29e-3, 0.715]),         # z of 0.008 and 0.24
    ([-1.2345e100, 2.5e-300, 3.3e7], [9.87e99, 1e-301, 1e6]),          # 12-character numbers
    ([-12345.678, -0.001, 1.0], [np.nan, np.inf, 0.0]),
], ids=["tiny-z", "huge-exponents", "non-finite"])
def test_parameter_rows_keep_their_columns(params, bse):
    names = ["intercept", "ma.L1", "sigma2"]
    res = stub(params, bse, names)
    lines = summary_text(res).splitlines()
    rows = [line for line in lines if line.split() and line.split()[0] in names]
    assert len(rows) == 3
    ci = res.conf_int(0.05)
    for row, est, se, z, (lo, hi) in zip(rows, res.params, res.bse, res.zvalues, ci):
        fields = row.split()
        assert len(fields) == 7, row
        printed = [float(f) for f in fields[1:3] + fields[5:7]]
        np.testing.assert_allclose(printed, [est, se, lo, hi], rtol=1e-4, atol=1e-4 * 1e-2)
        assert float(fields[3]) == pytest.approx(z, abs=0.005) if np.isfinite(z) else \
            fields[3] == f"{z}"


def test_airline_summary_reads_like_a_table():
    text = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).summary()
    assert "ma.L1              -0.4018      0.0730   -5.50   0.000     -0.5449     -0.2586" in text
    assert all(len(line) <= 78 for line in text.splitlines() if not line.startswith("["))


def test_a_title_that_is_not_text_is_refused():
    # An AttributeError from the centring of the title line.
    with pytest.raises(korvanta.InputError, match="title must be a str; got int"):
        korvanta.fit(airline(), (0, 1, 1)).summary(5)


def test_series_name_with_line_breaks_keeps_the_table():
    # A name from a file's header can hold a line break or a tab.
    res = korvanta.fit(airline(), (0, 1, 1), name="passengers\nper\tmonth")
    lines = res.summary().splitlines()
    assert lines[2].startswith("Series:        passengers per month ") and \
        "Log-likelihood:" in lines[2]
    assert len(lines) == len(korvanta.fit(airline(), (0, 1, 1)).summary().splitlines())


def test_long_names_keep_the_columns():
    # A long series name ran into the right-hand column, a long regressor name pushed its
    # row's numbers out of their columns, and a tab in one broke the row.
    rng = np.random.default_rng(0)
    x = rng.normal(size=(144, 2))
    pd = pytest.importorskip("pandas")
    exog = pd.DataFrame(x, columns=["price_including_all_taxes_and_fees", "unit\tcost"])
    res = korvanta.fit(airline() + 0.01 * x[:, 0], (0, 1, 1), exog=exog,
                       name="international airline passengers, monthly totals")
    lines = res.summary().splitlines()
    assert lines[2] == "Series:        international airline passengers, monthly totals"
    assert lines[3].split() == ["Log-likelihood:", f"{res.llf:.3f}"]
    assert lines[3].index("Log") == lines[4].index("AIC") and len(lines[3]) == len(lines[4])
    at = lines.index("price_including_all_taxes_and_fees")
    fields = lines[at + 1].split()
    assert len(fields) == 6 and float(fields[0]) == pytest.approx(res.params[0], abs=1e-4)
    short = next(line for line in lines if line.startswith("unit cost "))
    # Each number ends where its column's heading ends.
    head = next(line for line in lines if "std err" in line)
    for row in (lines[at + 1], short):
        for word in ("coef", "std err", "0.975]"):
            end = head.index(word) + len(word)
            assert row[end - 1] != " " and (end == len(row) or row[end] == " ")


@pytest.mark.parametrize("note", [None, "The covariance matrix of the estimates is singular."])
def test_covariance_note_closes_the_summary(note):
    # Standard errors that are NaN or meaningless are explained under the table.
    res = stub([0.5, 0.3, 1.0], [np.nan, 0.1, 0.2], ["ar.L1", "ma.L1", "sigma2"])
    res.covariance_note = note
    lines = summary_text(res).splitlines()
    assert lines[-1] == ("[2] " + note if note else
                         "[1] sigma2 was concentrated out of the likelihood during the search.")
