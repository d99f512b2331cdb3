"""Residual checks: the standardized residuals against a dense Gaussian reference, the
statistics against independent computations and their invariances, the summary block
and the chart."""

import os
import warnings

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from scipy import stats

import korvanta
from korvanta import InputError
from korvanta.diagnostics import autocorrelations, residual_diagnostics
from pkg_data import airline, column
from reference import arma11_autocovariance


def _dense_arma11_standardized(params, y):
    """L⁻¹ (y − mean) over the observed values, L the Cholesky factor of their exact
    ARMA(1,1) covariance: the innovations of the prediction-error decomposition, each
    over its standard deviation."""
    c, phi, theta, sigma2 = params
    n = y.size
    gamma = arma11_autocovariance(phi, theta, sigma2, n)
    seen = np.flatnonzero(np.isfinite(y))
    G = gamma[np.abs(np.subtract.outer(seen, seen))]
    out = np.full(n, np.nan)
    out[seen] = np.linalg.solve(np.linalg.cholesky(G), y[seen] - c / (1 - phi))
    return out


@pytest.mark.parametrize("missing", [[], [0, 7, 8, 40]])
def test_standardized_residuals_match_the_dense_decomposition(missing):
    rng = np.random.default_rng(3)
    e = rng.standard_normal(121)
    y = np.empty(120)
    level = 0.0
    for t in range(120):        # ARMA(1,1) around 10
        level = 0.6 * level + e[t + 1] + 0.3 * e[t]
        y[t] = 10.0 + level
    y[missing] = np.nan
    res = korvanta.fit(y, (1, 0, 1), trend="c")
    expected = _dense_arma11_standardized(res.params, y)
    np.testing.assert_allclose(res.standardized_resid, expected, rtol=1e-8, atol=1e-10)
    assert np.isnan(res.standardized_resid[missing]).all()


def test_residuals_before_the_counted_ones_are_left_out():
    res = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12))
    e = res.standardized_resid
    assert np.isnan(e[:13]).all() and np.isfinite(e[13:]).all()
    assert res.diagnostics().nobs == res.nobs == 131


def test_airline_checks_match_known_values():
    # The airline model's residual checks as other software reports them.
    d = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).diagnostics()
    assert (d.lags, d.ljung_box_df) == (24, 22)
    assert d.jarque_bera == pytest.approx(1.898, abs=1e-3)
    assert d.jarque_bera_pvalue == pytest.approx(0.387, abs=1e-3)
    assert d.heteroskedasticity == pytest.approx(0.581, abs=1e-3)
    assert d.heteroskedasticity_pvalue == pytest.approx(0.075, abs=1e-3)
    assert d.skew == pytest.approx(0.023, abs=1e-3)
    assert d.kurtosis == pytest.approx(3.588, abs=1e-3)
    one = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).diagnostics(lags=1)
    assert one.ljung_box == pytest.approx(0.0395, abs=1e-3)
    assert one.ljung_box_df == 0 and np.isnan(one.ljung_box_pvalue)


def _plain_ljung_box(e, lags):
    """Q from a double loop over the pairs that are both present."""
    seen = [i for i in range(e.size) if np.isfinite(e[i])]
    mean = sum(e[i] for i in seen) / len(seen)
    denominator = sum((e[i] - mean) ** 2 for i in seen)
    q = 0.0
    for k in range(1, lags + 1):
        num = sum((e[i] - mean) * (e[i + k] - mean) for i in seen
                  if i + k < e.size and np.isfinite(e[i + k]))
        q += (num / denominator) ** 2 / (len(seen) - k)
    n = len(seen)
    return n * (n + 2) * q


residuals = st.lists(st.floats(-5, 5) | st.just(float("nan")), min_size=12, max_size=80).map(
    np.array).filter(lambda e: np.count_nonzero(np.isfinite(e)) >= 12
                     and np.nanstd(e) > 1e-3)


@settings(max_examples=60, deadline=None)
@given(e=residuals, lags=st.integers(1, 6), k_arma=st.integers(0, 3))
def test_statistics_match_independent_computations(e, lags, k_arma):
    d = residual_diagnostics(e, k_arma, lags)
    present = e[np.isfinite(e)]
    assert d.nobs == present.size
    assert d.ljung_box == pytest.approx(_plain_ljung_box(e, lags), rel=1e-9, abs=1e-12)
    if lags > k_arma:
        assert d.ljung_box_pvalue == pytest.approx(
            stats.chi2.sf(d.ljung_box, lags - k_arma), rel=1e-9, abs=1e-15)
    assert d.skew == pytest.approx(stats.skew(present), rel=1e-9, abs=1e-12)
    assert d.kurtosis == pytest.approx(stats.kurtosis(present, fisher=False), rel=1e-9)
    jb = stats.jarque_bera(present)
    assert d.jarque_bera == pytest.approx(jb[0], rel=1e-9, abs=1e-12)
    assert d.jarque_bera_pvalue == pytest.approx(jb[1], rel=1e-9, abs=1e-15)


@settings(max_examples=60, deadline=None)
@given(e=residuals, scale=st.floats(1e-3, 1e3) | st.sampled_from([1e-160, 1e-100, 1e150]),
       lags=st.integers(1, 6))
@example(e=np.r_[np.tile(np.r_[np.zeros(4), np.full(4, np.nan)], 2), 0.0, 0.0, 0.0, 1.0],
         scale=1.0, lags=4)
def test_statistics_are_invariant_to_scale_and_the_variance_ratio_to_reversal(e, scale,
                                                                                lags):
    d = residual_diagnostics(e, 0, lags)
    scaled = residual_diagnostics(scale * e, 0, lags)
    for name in ("ljung_box", "jarque_bera", "skew", "kurtosis", "heteroskedasticity"):
        np.testing.assert_allclose(getattr(scaled, name), getattr(d, name), rtol=1e-7,
                                   atol=1e-9, err_msg=name)
    # Undefined statistics (a lag with no pair present) stay undefined under reversal.
    np.testing.assert_allclose(residual_diagnostics(-e, 0, lags).ljung_box, d.ljung_box,
                               rtol=1e-9)
    # The last third over the first, read backwards, is the reciprocal; the two-sided
    # p-value is the same.
    back = residual_diagnostics(e[::-1], 0, lags)
    if np.isfinite(d.heteroskedasticity) and d.heteroskedasticity > 0:
        assert back.heteroskedasticity == pytest.approx(1 / d.heteroskedasticity, rel=1e-9)
        assert back.heteroskedasticity_pvalue == pytest.approx(d.heteroskedasticity_pvalue,
                                                               rel=1e-6, abs=1e-12)


def test_autocorrelations_skip_the_pairs_with_a_gap():
    e = np.array([1.0, -1.0, np.nan, 2.0, -2.0, 1.0])
    x = np.where(np.isfinite(e), e - np.nanmean(e), 0.0)
    r = autocorrelations(e, 3)
    assert r[0] == pytest.approx((x[0] * x[1] + x[3] * x[4] + x[4] * x[5]) / (x @ x))
    assert r[1] == pytest.approx((x[1] * x[3] + x[3] * x[5]) / (x @ x))
    assert np.isnan(autocorrelations(np.array([1.0, np.nan]), 2)).all()


def test_a_lag_with_no_pair_present_is_not_defined():
    # Every third residual present: lags 1 and 2 have no pair, whose empty sums read as
    # no correlation, and a Ljung-Box test over them passed as perfect (Q 0, p 1).
    e = np.full(30, np.nan)
    e[::3] = np.random.default_rng(4).normal(size=10)
    r = autocorrelations(e, 3)
    assert np.isnan(r[:2]).all() and np.isfinite(r[2])
    y = np.random.default_rng(3).normal(size=40).cumsum()
    y[::3] = np.nan
    y[1::3] = np.nan
    res = korvanta.fit(y, (0, 1, 0))
    d = res.diagnostics(lags=2)
    assert np.isnan(d.ljung_box) and np.isnan(d.ljung_box_pvalue)


@pytest.mark.parametrize("order, seasonal, n, lags", [
    ((1, 0, 1), (0, 0, 0, 0), 200, 10),     # ten
    ((0, 1, 1), (0, 1, 1, 12), 144, 24),    # two seasons
    ((1, 0, 0), (0, 0, 0, 0), 30, 6),       # a fifth of the residuals
])
def test_default_lags(order, seasonal, n, lags):
    y = np.cumsum(np.random.default_rng(1).standard_normal(n)) + 100
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert korvanta.fit(y, order, seasonal).diagnostics().lags == lags


@pytest.mark.parametrize("lags, message", [
    (0, "a positive integer"), (-3, "a positive integer"), (2.5, "a positive integer"),
    (True, "a positive integer"), ("10", "a positive integer"),
    (131, r"below the number of standardized residuals \(131\)"), (10 ** 12, "below"),
])
def test_bad_lags_are_refused(lags, message):
    res = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12))
    with pytest.raises(InputError, match=f"lags must be {message}"):
        res.diagnostics(lags)
    assert res.diagnostics(130).lags == 130


@pytest.mark.parametrize("y", [np.full(40, 5.0), np.r_[np.ones(20), np.full(20, 1e100)]],
                         ids=["constant", "huge"])
def test_summary_of_a_degenerate_fit_has_its_checks_without_warnings(y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        res = korvanta.fit(y, (1, 0, 0))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        text = res.summary()
        res.diagnostics()
    assert "Ljung-Box Q(" in text and "Kurtosis:" in text


def test_summary_block_reads_like_the_table():
    text = korvanta.fit(column("nile.csv", "volume"), (0, 1, 1)).summary()
    block = [line for line in text.splitlines() if "Prob(" in line or "Ljung" in line
             or "Skew" in line or "Kurtosis" in line]
    assert len(block) == 4 and all(len(line) <= 78 for line in block)
    assert block[0].startswith("Ljung-Box Q(10):") and "Prob(Q), 9 df:" in block[1]


def test_diagnostics_chart(tmp_path):
    plt = pytest.importorskip("matplotlib.pyplot")
    pd = pytest.importorskip("pandas")
    y = pd.Series(airline(), index=pd.period_range("1949-01", periods=144, freq="M"))
    res = korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12))
    path = tmp_path / "residuals.png"
    fig = res.plot_diagnostics(path=path)
    try:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        over_time, histogram, quantiles, correlogram = fig.axes
        drawn = over_time.get_lines()[0].get_ydata()
        np.testing.assert_array_equal(drawn, np.asarray(res.standardized_resid)[13:])
        assert len(correlogram.collections[0].get_segments()) == 24
        qq = np.sort(quantiles.get_lines()[0].get_ydata())
        np.testing.assert_array_equal(qq, np.sort(np.asarray(res.standardized_resid)[13:]))
    finally:
        plt.close(fig)
    with pytest.raises(InputError, match="unsupported chart format"):
        res.plot_diagnostics(path=tmp_path / "out.docx")
    with pytest.raises(InputError, match="lags must be a positive integer"):
        res.plot_diagnostics(lags=0)
