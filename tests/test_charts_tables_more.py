"""Charts drawn into the caller's figures and on integer labels given as arrays; the
search table's choice and text with NaN or infinite criteria; ids that keep their values
in the tables of many fits."""

import math
import os

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvanta
from korvanta import Candidate, InputError, SearchTable
from korvanta.tables import Outcome, TableBuilder
from pkg_data import column
from test_plot import _FailingFile

plt = pytest.importorskip("matplotlib.pyplot")
pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def nile():
    return korvanta.fit(column("nile.csv", "volume"), (1, 1, 1))


def _line(ax, label):
    (line,) = [ln for ln in ax.get_lines() if ln.get_label() == label]
    return line


@pytest.mark.parametrize("labels", [
    np.arange(1871, 1971), list(range(1871, 1971)), np.arange(2000, 1900, -1),
    np.arange(1871, 1971, dtype=np.uint16),
], ids=["array", "list", "backwards", "unsigned"])
def test_integer_labels_given_as_index_are_the_charts_x_values(labels):
    # index=years as an array or a list labels the forecast with the following years,
    # but both charts drew the series at the positions 0, 1, 2, …
    res = korvanta.fit(column("nile.csv", "volume"), (1, 1, 1), index=labels)
    years = [int(v) for v in labels]
    ahead = [int(v) for v in res.forecast(3).index]
    fig = res.plot_forecast(3)
    try:
        ax = fig.axes[0]
        assert list(_line(ax, "observed").get_xdata()) == years
        assert list(_line(ax, "forecast").get_xdata()) == [years[-1], *ahead]
    finally:
        plt.close(fig)
    fig = res.plot_diagnostics()
    try:
        assert list(fig.axes[0].get_lines()[0].get_xdata()) == years[1:]
    finally:
        plt.close(fig)


def test_chart_drawn_into_a_subfigure_is_laid_out_and_saved(nile, tmp_path):
    # The Axes' figure is then the SubFigure, which has no tight_layout: the chart failed
    # with an AttributeError after the drawing, and the file was never written.
    root = plt.figure()
    try:
        left, _ = root.subfigures(1, 2)
        ax = left.subplots()
        path = tmp_path / "chart.png"
        assert nile.plot_forecast(4, ax=ax, path=path) is root
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        np.testing.assert_array_equal(_line(ax, "observed").get_ydata(), nile.problem.y)
    finally:
        plt.close(root)


@pytest.mark.parametrize("layout", ["constrained", "compressed", "rc-constrained"])
def test_a_figure_that_lays_itself_out_keeps_its_layout(nile, layout):
    # tight_layout replaced the figure's constrained layout with a UserWarning ("The
    # figure layout has changed to tight"), an error where warnings are errors.
    if not hasattr(plt.Figure, "get_layout_engine"):
        pytest.skip("layout engines (and the compressed layout) need matplotlib 3.6")
    if layout.startswith("rc-"):
        with plt.rc_context({"figure.constrained_layout.use": True}):
            drawn = [nile.plot_forecast(4), nile.plot_diagnostics()]
    else:
        fig, ax = plt.subplots(1, 2, layout=layout)
        drawn = [nile.plot_forecast(4, ax=ax[0])]
    try:
        for fig in drawn:
            assert type(fig.get_layout_engine()).__name__ == "ConstrainedLayoutEngine"
            fig.canvas.draw()
    finally:
        for fig in drawn:
            plt.close(fig)


def test_a_chart_that_fails_to_save_leaves_the_callers_figure_open(nile, tmp_path,
                                                                   monkeypatch):
    import korvanta.plot

    fig, ax = plt.subplots()
    try:
        monkeypatch.setattr(korvanta.plot, "open", _FailingFile, raising=False)
        with pytest.raises(InputError, match="No space left"):
            nile.plot_forecast(4, ax=ax, path=tmp_path / "chart.png")
        # Only a Figure made by the chart is closed; the caller's was closed too.
        assert fig.number in plt.get_fignums()
    finally:
        plt.close(fig)


# -- the search table ---------------------------------------------------------------------
def _candidate(p, criterion, reason=""):
    return Candidate(order=(p, 0, 0), seasonal_order=(0, 0, 0, 0), constant=False,
                     criterion=criterion, fit_time=0.01, n_evaluations=3, reason=reason)


def _table(candidates, chosen=None):
    return SearchTable(candidates=tuple(candidates), criterion="aic", d=0, D=0,
                       season_length=1, stepwise=False, elapsed=0.1, notes=(),
                       chosen=chosen)


_criteria = st.one_of(st.floats(-1e6, 1e6), st.sampled_from([math.nan, math.inf, -math.inf]))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(_criteria, st.booleans()), min_size=1, max_size=8))
def test_best_is_the_kept_candidate_with_the_smallest_criterion(rows):
    # A NaN criterion compares as neither smaller nor larger: min() returned a first
    # candidate with NaN whatever the others held, and the table marked it chosen.
    table = _table(_candidate(i, v, "dropped" if gone else "") for i, (v, gone) in
                   enumerate(rows))
    kept = [c for c in table if not c.dropped]
    if not kept:
        with pytest.raises(LookupError):
            table.best
        return
    numbers = [c for c in kept if not math.isnan(c.criterion)]
    expected = kept[0] if not numbers else numbers[0]
    for c in numbers:
        if c.criterion < expected.criterion:
            expected = c
    assert table.best is expected
    marked = [line for line in table.text().splitlines() if line.endswith("  chosen")]
    assert marked == [line for line in marked if line.startswith(expected.label)]
    assert len(marked) == 1


def test_table_text_shows_a_criterion_that_is_not_finite_as_it_is():
    # Every value that was not finite read "Inf", as a dropped candidate's does: -inf
    # lost its sign and NaN looked like a dropped fit.
    table = _table([_candidate(0, -math.inf), _candidate(1, math.nan),
                    _candidate(2, 3.5), _candidate(3, math.inf, "did not converge")])
    values = [line.split()[1] for line in table.text().splitlines()[3:]]
    assert values == ["-Inf", "NaN", "3.500", "Inf"]


def test_empty_table_has_its_columns():
    # A table without candidates became a DataFrame without columns.
    frame = _table([]).to_frame()
    assert list(frame.columns) == ["model", "p", "d", "q", "P", "D", "Q", "m", "constant",
                                   "aic", "fit_time", "n_evaluations", "status", "reason"]
    assert frame.empty


# -- the tables of many fits --------------------------------------------------------------
def test_ids_with_trailing_null_characters_keep_them():
    # NumPy's text arrays drop trailing null characters: "a\0" became "a", and the two
    # rows below read as one id.
    rng = np.random.default_rng(4)
    data = {"a\0": rng.standard_normal(30), "a": rng.standard_normal(30)}
    summary, forecasts = korvanta.fit_many(data, (1, 0, 0), horizon=2, engine="serial")
    assert summary["unique_id"].tolist() == ["a\0", "a"]
    assert forecasts["unique_id"].tolist() == ["a\0", "a\0", "a", "a"]
    # Rows in the order of the ids (pandas 3's text columns compare "a\0" equal to "a").
    assert summary["llf"].tolist() == [korvanta.fit(y, (1, 0, 0)).llf for y in data.values()]


_texts = st.text(st.characters(codec="utf-8"), max_size=4)


@settings(max_examples=200, deadline=None)
@given(st.one_of(st.lists(_texts, max_size=5),
                 st.lists(st.binary(max_size=4), max_size=5)))
def test_text_ids_are_kept_exactly(ids):
    tables = TableBuilder(("sigma2",), with_forecast=False)
    for uid in ids:
        tables.add(Outcome.failed(uid, "too short"))
    summary = tables.summary()
    assert summary["unique_id"].tolist() == ids
