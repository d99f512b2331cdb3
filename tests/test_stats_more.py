"""Standard errors from fewer observations than parameters, and the summary's columns
with names in wide characters."""

import warnings

import numpy as np
import pytest

import _korvanta_rs as kr
import korvanta
from pkg_data import airline


@pytest.fixture(scope="module")
def airline_fit():
    return korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12))


def _dense_opg_bse(res):
    """Standard errors from the outer product of per-observation scores, by central
    differences of `loglikeobs` at the constrained estimates."""
    pr, p = res.problem, np.array(res.params)
    kw = pr.data_kwargs()
    columns = []
    for i in range(p.size):
        h = 1e-5 * (p[i] if i == p.size - 1 else max(abs(p[i]), 1.0))
        up, down = p.copy(), p.copy()
        up[i] += h
        down[i] -= h
        columns.append((kr.loglikeobs(pr.y, up, **kw) - kr.loglikeobs(pr.y, down, **kw))
                       / (2 * h))
    S = np.column_stack(columns)[pr.k_diffuse:]
    return np.sqrt(np.diag(np.linalg.inv(S.T @ S)))


@pytest.mark.parametrize("m", [14, 15, 40])
@pytest.mark.parametrize("part", ["head", "tail"])
def test_outer_product_of_fewer_scores_than_parameters_gives_no_standard_errors(
        airline_fit, part, m):
    # Estimates applied to a series with one or two counted observations: the outer
    # product of their scores has rank one or two for three parameters.  Its computed
    # inverse is rounding, which came out partly finite, or (the first 15 months)
    # passed as a covariance: standard errors of 1e4 to 2e8 and no note.
    res = airline_fit.apply(airline()[:m] if part == "head" else airline()[-m:])
    assert res.nobs == m - 13
    if res.nobs < res.k_params:
        assert np.isnan(res.bse).all() and np.isnan(res.cov_params).all()
        assert res.covariance_note is not None and res.covariance_note in res.summary()
    else:
        # Central differences against the fit's own steps: agreement to rounding of the
        # differences, which moves with the library versions.
        np.testing.assert_allclose(res.bse, _dense_opg_bse(res), rtol=1e-2)
        assert res.covariance_note is None


def _columns(text):
    """Terminal columns of `text` whose characters are ASCII, CJK ideographs and kana
    (two columns each) or the combining acute accent (none)."""
    return sum(2 if "\u3040" <= c <= "\u9fff" else 0 if c == "\u0301" else 1 for c in text)


def test_names_in_wide_characters_keep_the_columns():
    # A CJK name is as wide as two ASCII characters per character on a terminal; padded
    # by its length, it pushed its row's numbers (and the header's right-hand column)
    # out of line, up to 20 columns.
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(0)
    x = rng.normal(size=(144, 3))
    exog = pd.DataFrame(x, columns=["価格", "数量の長い名前です", "cafe\u0301"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        res = korvanta.fit(airline() + 0.01 * x[:, 0], (0, 1, 1), exog=exog,
                           name="国際航空旅客数の月次合計")
    lines = res.summary().splitlines()
    # The series' name (24 columns) beside the log-likelihood, which ends where the
    # right-hand column's other numbers end.
    assert lines[2].startswith("Series:        国際航空旅客数の月次合計 ")
    assert lines[2].split()[-2:] == ["Log-likelihood:", f"{res.llf:.3f}"]
    assert len({_columns(line) for line in lines[2:9]}) == 1
    head = next(line for line in lines if "std err" in line)
    ends = [head.index(word) + len(word) for word in ("coef", "std err", "0.975]")]
    rows = [lines[lines.index(name) + 1] if name in lines else
            next(line for line in lines if line.startswith(name + " "))
            for name in exog.columns]
    assert lines[lines.index("数量の長い名前です") + 1].startswith(" " * 14)
    for row, est in zip(rows, res.params):
        fields = row.split()
        assert float(fields[-6]) == pytest.approx(est, abs=1e-4)
        for end in ends:
            # Each number ends in the column where its heading ends.
            width = _columns(row)
            cut = next(i for i in range(len(row) + 1) if _columns(row[:i]) == end)
            assert row[cut - 1] != " " and (_columns(row[:cut]) == width or row[cut] == " ")
