"""auto_fit: the stepwise search and the grid, the search table, the trace, bad input and
the command line.  Small series and small maxima keep the whole file to seconds."""

import math
import re
import subprocess
import sys
import textwrap
import time
import warnings
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvanta
from korvanta.cli import main
from pkg_data import quarterly
from process_tree import HAS_PROC, descendants, gone_within

ROOT = Path(__file__).resolve().parent.parent
AIRLINE = ROOT / "data" / "airline_passengers.csv"
LOG_AIRLINE = np.log(korvanta.read_series(AIRLINE).values)


@pytest.fixture(scope="module")
def airline():
    return korvanta.auto_fit(LOG_AIRLINE, 12, n_jobs=1)




def test_airline_finds_the_airline_model_or_better(airline):
    reference = korvanta.fit(LOG_AIRLINE, (0, 1, 1), (0, 1, 1, 12))
    assert (airline.search.d, airline.search.D) == (1, 1)
    assert airline.aicc <= reference.aicc + 1e-6
    assert (airline.order, airline.seasonal_order) == ((0, 1, 1), (0, 1, 1, 12))
    assert isinstance(airline, korvanta.FitResult) and airline.converged
    assert airline.forecast(12).mean.shape == (12,)


def test_the_table_lists_every_candidate_once_with_its_status(airline):
    table = airline.search
    keys = [c.key for c in table]
    assert len(keys) == len(set(keys)) == len(table) >= 5
    assert table.best.key == (airline.order, airline.seasonal_order, False)
    kept = [c for c in table if not c.dropped]
    assert table.best.criterion == min(c.criterion for c in kept)
    # The candidates were fitted to the seasonally differenced series; the chosen model's
    # refit on the series itself agrees up to the diffuse initialisation.
    assert table.best.criterion == pytest.approx(airline.aicc, abs=1e-3)
    for c in table:
        assert c.dropped == (not math.isfinite(c.criterion)) == bool(c.reason)
        assert c.fit_time >= 0 and c.n_evaluations >= 0
        assert (c.order[1], c.seasonal_order[1:]) == (1, (1, c.seasonal_order[2], 12))
    text = table.text()
    assert len(text.splitlines()) == len(table) + 3
    assert re.search(r"^ARIMA\(0,1,1\)\(0,1,1\)\[12\] .* chosen$", text, re.M)
    frame = table.to_frame()
    assert list(frame["model"]) == [c.label for c in table]
    assert (frame["status"] == "chosen").sum() == 1


def test_drops_say_why():
    y = quarterly()
    res = korvanta.auto_fit(y, 4, d=1, D=1, max_p=1, max_q=1, n_jobs=1, maxiter=1)
    # Only the model without parameters to search converges in one iteration.
    assert res.search.best.label == "ARIMA(0,1,0)(0,1,0)[4]" and res.search.n_dropped == 9
    # SciPy's own words, whose case changed between versions.
    assert {c.reason.upper() for c in res.search if c.dropped} == {
        "DID NOT CONVERGE: STOP: TOTAL NO. OF ITERATIONS REACHED LIMIT"}
    short = korvanta.auto_fit(y[:20], 4, d=1, D=1, n_jobs=1)
    assert short.search[0].reason == ("too short: 7 parameters need at least 17 observations "
                                      "after differencing; 15 remain")


@pytest.mark.parametrize("where, expected", [
    ("lie on or near the boundary of the invertible region", "near the unit circle"),
    ("lie outside the invertible region", "inside the unit circle"),
])
def test_a_root_at_or_past_the_boundary_drops_its_candidate(monkeypatch, where, expected):
    import korvanta.search as search_module
    real = search_module.fit

    def with_a_root(*args, **kwargs):
        res = real(*args, **kwargs)
        if args[1] == (0, 1, 1):
            # As a fit reports it: to the model search's own list of its notes.
            korvanta.estimate.issue(korvanta.BoundaryWarning, "The MA polynomial has a "
                                    f"root of modulus 0.5: the estimates {where}")
        return res

    monkeypatch.setattr(search_module, "fit", with_a_root)
    res = korvanta.auto_fit(quarterly(), d=1, max_p=1, max_q=1, stepwise=False, n_jobs=1)
    [row] = [c for c in res.search if c.label == "ARIMA(0,1,1)"]
    assert row.reason == f"{expected}: The MA polynomial has a root of modulus 0.5"


def test_a_search_where_every_fit_fails_is_an_error(monkeypatch):
    def boom(*args, **kwargs):
        raise np.linalg.LinAlgError("boom")

    monkeypatch.setattr(korvanta.search, "fit", boom)
    with pytest.raises(korvanta.InputError, match=r"every candidate model was dropped: "
                       r"ARIMA\(2,1,2\)\(1,1,1\)\[4\]: fit failed: LinAlgError: boom; "):
        korvanta.auto_fit(quarterly(), 4, d=1, D=1, n_jobs=1)


@pytest.mark.parametrize("stepwise", [True, False], ids=["stepwise", "grid"])
def test_worker_processes_give_the_serial_search(stepwise):
    y = quarterly(seed=5)
    kw = dict(max_p=2, max_q=1, max_P=1, max_Q=1, stepwise=stepwise)
    serial = korvanta.auto_fit(y, 4, n_jobs=1, **kw)
    parallel = korvanta.auto_fit(y, 4, n_jobs=2, **kw)

    def rows(res):
        return [(c.key, c.criterion, c.reason, c.n_evaluations) for c in res.search]

    assert (parallel.order, parallel.seasonal_order) == (serial.order, serial.seasonal_order)
    np.testing.assert_array_equal(parallel.params, serial.params)
    if not stepwise:        # the grid fits the same candidates, bit for bit
        assert rows(parallel) == rows(serial)


def test_grid_respects_the_maxima():
    res = korvanta.auto_fit(quarterly(), 4, max_p=2, max_q=2, max_P=1, max_Q=1,
                            max_order=3, stepwise=False, trend="n", n_jobs=1)
    for c in res.search:
        p, _, q = c.order
        P, _, Q, _ = c.seasonal_order
        assert p <= 2 and q <= 2 and P <= 1 and Q <= 1 and p + q + P + Q <= 3
        assert not c.constant
    assert len(res.search) == sum(1 for p in range(3) for q in range(3) for P in range(2)
                                  for Q in range(2) if p + q + P + Q <= 3)


@pytest.mark.parametrize("criterion", ["aic", "bic"])
def test_other_criteria_rank_the_table(criterion):
    res = korvanta.auto_fit(quarterly(), 4, max_p=1, max_q=1, n_jobs=1,
                            information_criterion=criterion)
    assert res.search.criterion == criterion
    assert res.search.best.criterion == pytest.approx(getattr(res, criterion), abs=1e-3)


def test_random_walk_and_white_noise_orders():
    rng = np.random.default_rng(11)
    walk = korvanta.auto_fit(np.cumsum(rng.normal(size=200)) + 0.0, n_jobs=1)
    noise = korvanta.auto_fit(rng.normal(size=200) + 5.0, n_jobs=1)
    assert walk.order[1] == 1 and walk.search.d == 1
    assert noise.order == (0, 0, 0) and noise.trend_powers == (0,)
    assert noise.params[0] == pytest.approx(5.0, abs=0.3)


def test_regressors_are_searched_with():
    rng = np.random.default_rng(8)
    x = rng.normal(size=(120, 1))
    e = np.zeros(120)
    for t in range(1, 120):
        e[t] = 0.6 * e[t - 1] + rng.normal()
    res = korvanta.auto_fit(2.0 * x[:, 0] + e, exog=x, n_jobs=1, max_p=2, max_q=2)
    assert res.param_names[0] == "x1" or res.param_names[1] == "x1"
    assert res.params[res.param_names.index("x1")] == pytest.approx(2.0, abs=0.2)


@pytest.mark.parametrize("season_length, gaps", [(1, []), (4, [9, 30])],
                         ids=["non-seasonal", "seasonal-with-gaps"])
def test_named_regressors_keep_their_names_on_an_unlabelled_series(season_length, gaps):
    """Where the chosen candidate's own fit is the answer (a series without labels, fitted
    as given), the regressors still carry the table's column names, and future values
    given under those names in another order are matched by name."""
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(4)
    X = pd.DataFrame({"temp": rng.normal(size=60), "promo": rng.normal(size=60)})
    y = quarterly(seed=6, years=15) + 2.0 * X["temp"].to_numpy() - X["promo"].to_numpy()
    y[gaps] = np.nan
    res = korvanta.auto_fit(y, season_length, exog=X, max_p=1, max_q=1, max_P=1, max_Q=1,
                            n_jobs=1)
    assert res.problem.exog_names == ("temp", "promo")
    assert {"temp", "promo"} <= set(res.param_names)
    future = pd.DataFrame({"promo": [1.0, 0.0], "temp": [0.0, 1.0]})
    np.testing.assert_array_equal(res.forecast(2, exog=future).mean,
                                  res.forecast(2, exog=future[["temp", "promo"]]).mean)


def _made_up_criteria(monkeypatch, made_up, batch):
    """Candidates fitted as usual but scored by `made_up` ((p, q) -> criterion; 200 + p + q
    for the others), in serial batches of `batch`."""
    import korvanta.search as search_module

    real = search_module.fit_candidate

    def scored(setting, key, warm):
        out = real(setting, key, warm)
        (p, _, q), _, _ = key
        value = made_up.get((p, q), 200.0 + p + q)
        return replace(out, candidate=replace(out.candidate, criterion=value))

    monkeypatch.setattr(search_module, "fit_candidate", scored)
    monkeypatch.setattr(search_module.Runner, "parallel", property(lambda self: False))
    monkeypatch.setattr(search_module.Runner, "batch", property(lambda self: batch))


def test_the_table_marks_the_model_the_search_chose(monkeypatch):
    """Neighbours tried side by side: the search moves to the first in the list that
    improves, even where a later one in the same batch improves more.  The table's chosen
    row is the model returned, not the smallest criterion it lists."""
    # p, q -> criterion: from the start (1, 0) the batch [(2, 0), (1, 1), (2, 1)] has two
    # improvements; the search takes (2, 0), whose neighbours do not improve on it.
    _made_up_criteria(monkeypatch, {(1, 0): 100.0, (2, 0): 90.0, (1, 1): 80.0}, batch=3)
    res = korvanta.auto_fit(np.random.default_rng(2).normal(size=80), d=0, trend="n",
                            max_p=3, max_q=3, n_jobs=1)
    assert res.order == (2, 0, 0)
    assert res.search.best.key == (res.order, res.seasonal_order, False)
    assert re.search(r"^ARIMA\(2,0,0\) .* chosen$", res.search.text(), re.M)
    frame = res.search.to_frame()
    assert list(frame.loc[frame["status"] == "chosen", "model"]) == ["ARIMA(2,0,0)"]


@pytest.mark.parametrize("batch", [1, 3], ids=["serial", "batches of 3"])
def test_a_neighbour_fitted_ahead_of_its_turn_is_moved_to_in_its_place(monkeypatch, batch):
    """From the start (1, 0) a batch fits (2, 0), (1, 1) and (2, 1) together; the search
    moves to (2, 0), the first that improves.  (2, 1) improves on (2, 0) too: the serial
    search fits it as (2, 0)'s neighbour and moves there, and so must a batch that fitted
    it already."""
    _made_up_criteria(monkeypatch, {(1, 0): 100.0, (2, 0): 90.0, (1, 1): 95.0, (2, 1): 70.0},
                      batch=batch)
    res = korvanta.auto_fit(np.random.default_rng(2).normal(size=80), d=0, trend="n",
                            max_p=3, max_q=3, n_jobs=1)
    assert res.order == (2, 0, 1) and res.search.best.criterion == 70.0
    keys = [c.key for c in res.search]
    assert len(keys) == len(set(keys))


@pytest.mark.parametrize("y, d, expected", [
    (10.0 + np.random.default_rng(1).normal(size=11), None, (0, 0, 0)),
    (np.cumsum(np.random.default_rng(1).normal(size=12)), 1, (0, 1, 0)),
], ids=["mean", "drift"])
def test_without_room_for_the_constant_the_search_starts_without_it(y, d, expected):
    # Every starting model with the constant needs one observation more than the series
    # has (it raised "every candidate model was dropped"); the model without it fits.
    res = korvanta.auto_fit(y, d=d, n_jobs=1)
    assert res.order == expected and res.trend_powers == ()
    assert res.search.best.key == (expected, (0, 0, 0, 0), False)
    assert all("too short" in c.reason for c in res.search if c.constant)


_T = np.arange(40.0)


_WALK = np.cumsum(np.random.default_rng(2).normal(size=96))


@pytest.mark.parametrize("y, m, kwargs, message", [
    (_T, 1, {}, "y is constant after 1 difference(s) (the KPSS tests' choice): every "
     "difference is 1, fitted exactly"),
    (3.0 + _T, 4, {"stepwise": False}, "y is constant after 1 difference(s)"),
    (np.tile([1.0, 5.0, 3.0, 2.0], 10), 4, {"trend": "n"},
     "y is constant after 0 difference(s) and 1 seasonal difference(s) of 4: every "
     "difference is 0"),
    (np.tile([1.0, 5.0, 3.0, 2.0], 10) + 0.5 * _T, 4, {},
     "seasonal difference(s) of 4: every difference is 2,"),
    (np.r_[np.nan, np.nan, 2.0 * _T, np.nan], 1, {"d": 1}, "every difference is 2,"),
    (1e9 + _T ** 2, 1, {"trend": "c"}, "y is constant after 2 difference(s)"),
    (np.cumsum(np.random.default_rng(0).normal(size=40)), 1, {"d": 30},
     "y is too short for 30 difference(s): the smallest model needs at least 11 "
     "observations after the first 30, which only initialise the differencing; 10 remain"),
    (np.cumsum(np.random.default_rng(0).normal(size=40)), 1,
     {"d": 28, "exog": np.random.default_rng(1).normal(size=(40, 2))},
     "at least 13 observations after the first 28"),
    # The candidates with a constant were dropped, and one without won with the
    # regressor's coefficient bent to the level (2.45 for 2).
    (3.0 + 2.0 * _WALK, 1, {"exog": _WALK[:, None]},
     "y less its regressors' fit is constant after 0 difference(s): every difference is 3,"),
    (3.0 + 2.0 * _WALK[:48], 4, {"exog": _WALK[:48, None], "D": 1},
     "y less its regressors' fit is constant after 0 difference(s) and 1 seasonal"),
], ids=["line", "line, grid", "season", "season and line", "line with missing ends",
        "parabola with a constant", "d too large", "d too large with regressors",
        "regressors and a constant", "regressors and a constant, seasonal"])
def test_series_the_differences_leave_nothing_to_fit_are_refused_before_the_search(
        y, m, kwargs, message, monkeypatch):
    # These raised "every candidate model was dropped" after the search.
    monkeypatch.setattr(korvanta.search, "fit_candidate", None)     # never reached
    with pytest.raises(korvanta.InputError, match=re.escape(message)):
        korvanta.auto_fit(y, m, n_jobs=1, **kwargs)


@pytest.mark.parametrize("y, kwargs, order", [
    # Second differences take no constant: a parabola is a model's business.
    (_T ** 2, {}, (0, 2, 0)),
    # No constant asked for: the line's differences are 1, not fitted exactly.
    (_T, {"trend": "n"}, (0, 1, 0)),
], ids=["parabola", "line without a constant"])
def test_constant_differences_no_candidate_fits_exactly_are_searched(y, kwargs, order):
    res = korvanta.auto_fit(y, n_jobs=1, max_p=1, max_q=1, **kwargs)
    assert res.order == order and res.converged


def test_equal_differences_around_gaps_are_not_a_constant_series():
    # Pairs one apart, with irregular jumps across the gaps between them: every difference
    # that can be taken is 1, but the series is not a line.
    level = np.cumsum(np.random.default_rng(0).normal(3.0, 1.0, size=15))
    y = np.full(45, np.nan)
    y[0::3], y[1::3] = level, level + 1.0
    res = korvanta.auto_fit(y, n_jobs=1, max_p=1, max_q=1)
    assert res.converged and res.order[1] == 1


def test_the_difference_tests_see_the_series_without_its_regressors():
    y = quarterly(seed=9, years=20)
    x = np.random.default_rng(1).normal(size=(y.size, 1))
    res = korvanta.auto_fit(y + 3.0 * x[:, 0], 4, exog=x, n_jobs=1, max_p=2, max_q=2)
    assert (res.search.d, res.search.D) == (0, 1)
    # fitted to the seasonally differenced series and its differenced regressor, then
    # refitted to the series itself
    assert res.search.best.criterion == pytest.approx(res.aicc, abs=1e-3)
    assert res.params[res.param_names.index("x1")] == pytest.approx(3.0, abs=0.4)


def test_trace_prints_a_line_per_candidate(capsys):
    res = korvanta.auto_fit(quarterly(), 4, max_p=1, max_q=1, trace=True, n_jobs=1)
    err = capsys.readouterr().err.splitlines()
    lines = [ln for ln in err if ln.startswith(" ARIMA(")]
    assert len(lines) == len(res.search)
    for line, c in zip(lines, res.search):
        assert line.split(":")[0].strip() == c.label
        assert re.search(r": (AICc=-?\d+\.\d{3} \(\d+\.\d\d s\)|Inf \(.+\))$", line)
    assert err[-1] == f" Best model: {res.search.best.label}"


def test_short_series_fall_back_to_non_seasonal():
    y = quarterly()[:15]
    with pytest.warns(korvanta.KorvantaWarning, match="fewer than two seasons of 12: "
                      "searching non-seasonal models only"):
        res = korvanta.auto_fit(y, 12, n_jobs=1, max_p=1, max_q=1)
    assert res.seasonal_order == (0, 0, 0, 0) and res.search.season_length == 1
    assert "non-seasonal" in res.search.notes[0]
    with pytest.warns(korvanta.KorvantaWarning, match="too few observations remain"):
        res = korvanta.auto_fit(quarterly()[:24], 12, d=1, D=1, n_jobs=1, max_p=1, max_q=1)
    assert res.seasonal_order == (0, 0, 0, 0) and res.order[1] == 1


@pytest.mark.parametrize("kwargs, message", [
    ({"season_length": 0}, "season_length must be at least 1; got 0"),
    ({"season_length": 1.5}, "season_length must be an integer; got 1.5"),
    ({"season_length": "12"}, "season_length must be an integer; got '12'"),
    ({"season_length": True}, "season_length must be an integer; got True"),
    ({"trend": "ct"}, "trend must be 'auto', 'c', 'n' or None"),
    ({"information_criterion": "mdl"}, "information_criterion must be one of"),
    ({"n_jobs": 0}, "n_jobs must be at least 1"),
    ({"max_p": -1}, "max_p must be at least 0"),
    ({"D": 1}, "D=1 needs a season_length above 1"),
    ({"enforce_stationarity": False}, "auto_fit needs enforce_stationarity=True"),
    # Any non-empty text is true: "no" must not run the stepwise search it refuses.
    ({"stepwise": "no"}, "stepwise must be True or False; got 'no'"),
    ({"trace": "False"}, "trace must be True or False; got 'False'"),
], ids=lambda v: str(v) if isinstance(v, dict) else "")
def test_bad_arguments_are_refused_by_name(kwargs, message):
    with pytest.raises(korvanta.InputError, match=re.escape(message)):
        korvanta.auto_fit(quarterly(), **kwargs)


@pytest.mark.parametrize("y, message", [
    (np.full(30, np.nan), "every observation of y is missing"),
    (np.full(30, 4.0), "y is constant"),
    (np.where(np.arange(40) % 3, 2.0, np.nan), "y is constant"),
], ids=["all missing", "constant", "constant with gaps"])
def test_series_without_a_model_are_refused_before_the_search(y, message, monkeypatch):
    monkeypatch.setattr(korvanta.search, "fit_candidate", None)     # never reached
    with pytest.raises(korvanta.InputError, match=message):
        korvanta.auto_fit(y, 4)


def _dummies(n, m, k):
    return (np.arange(n)[:, None] % m == np.arange(k)).astype(float)


@pytest.mark.parametrize("kwargs, message", [
    # The seasonal difference removes seasonal dummies: the search reported them converged
    # with coefficients of 0 held only by the diffuse prior.
    (dict(exog=_dummies(56, 4, 2), D=1), "exog column 'x1' vanishes in the model's "
     "differencing \\(D=1, s=4\\)"),
    (dict(exog=np.ones((56, 1)), trend="c", D=0, d=0),
     "exog column 'x1' is a linear combination of the intercept"),
], ids=["seasonal dummies with D=1", "a constant column beside the constant"])
def test_regressors_the_chosen_model_cannot_estimate_are_refused_before_the_search(
        kwargs, message, monkeypatch):
    monkeypatch.setattr(korvanta.search, "fit_candidate", None)     # never reached
    with pytest.raises(korvanta.InputError, match=message):
        korvanta.auto_fit(quarterly(), 4, n_jobs=1, **kwargs)


def test_dummies_that_sum_to_the_constant_are_searched_without_it():
    with pytest.warns(korvanta.KorvantaWarning, match="models with a constant were not "
                      "searched: exog column 'x4' is a linear combination of the intercept"):
        res = korvanta.auto_fit(quarterly(), 4, exog=_dummies(56, 4, 4), D=0, d=0,
                                n_jobs=1, max_p=1, max_q=1, max_P=1, max_Q=1)
    assert "intercept" not in res.param_names
    assert all(not c.constant for c in res.search.candidates)
    assert np.isfinite(res.bse).all()


def test_options_it_sets_itself_are_refused():
    with pytest.raises(TypeError, match="auto_fit chooses order itself"):
        korvanta.auto_fit(quarterly(), order=(1, 0, 0))


def test_missing_values_are_searched_on_the_series_itself():
    y = quarterly()
    y[[7, 20, 33]] = np.nan
    res = korvanta.auto_fit(y, 4, max_p=1, max_q=1, n_jobs=1)
    assert res.search.best.criterion == getattr(res, "aicc")


def test_cli_auto(capsys):
    assert main(["fit", str(AIRLINE), "--auto", "--season-length", "12", "--log",
                 "--horizon", "2", "--trace"]) == 0
    out, err = capsys.readouterr()
    assert re.search(r"^ARIMA\(0,1,1\)\(0,1,1\)\[12\] .* chosen$", out, re.M)
    assert "Model:         SARIMA(0, 1, 1)x(0, 1, 1, 12)" in out
    assert " Best model: ARIMA(0,1,1)(0,1,1)[12]" in err
    assert main(["fit", str(AIRLINE), "--auto", "--trend", "t"]) == 2
    assert "--trend t does not apply" in capsys.readouterr().err
    assert main(["fit", str(AIRLINE), "--auto", "--season-length", "0"]) == 2
    assert "0 is not positive" in capsys.readouterr().err



def test_a_pandas_series_keeps_its_dates_and_name():
    pd = pytest.importorskip("pandas")
    y = pd.Series(quarterly(), index=pd.period_range("1990Q1", periods=56, freq="Q"),
                  name="sales")
    res = korvanta.auto_fit(y, 4, max_p=1, max_q=1, n_jobs=1)
    assert res.problem.name == "sales"
    fc = res.forecast(4)
    assert str(fc.mean.index[0]) == "2004Q1"


@pytest.mark.parametrize("times, expected", [
    ([], False), ([5.0], False), ([0.6, 0.01], False), ([0.6, 0.3, 0.01], True),
    ([20.0, 0.02, 0.02, 7.0], False), ([20.0, 0.02, 0.02, 7.0, 8.0], True),
], ids=str)
def test_workers_start_when_the_fits_are_slow(times, expected, monkeypatch):
    from korvanta.search import Candidate, Outcome, Runner

    monkeypatch.setattr(korvanta.search, "available_cpus", lambda: 2)
    runner = Runner(None, None, None)
    for i, t in enumerate(times):
        c = Candidate((i, 0, 0), (0, 0, 0, 0), False, 1.0, t, 1, "")
        runner.outcomes[c.key] = Outcome(c, (), None, None)
    assert runner.parallel is expected
    assert Runner(None, 1, None).parallel is False


@settings(max_examples=15, deadline=None)
@given(st.lists(st.one_of(st.floats(-1e6, 1e6), st.just(math.nan)), min_size=12,
                max_size=60), st.sampled_from([1, 4, 12]))
def test_hostile_series_give_a_model_or_an_input_error(values, m):
    """Whatever the series, the search ends in a fitted model or an InputError."""
    y = np.asarray(values, dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        try:
            res = korvanta.auto_fit(y, m, max_p=1, max_q=1, n_jobs=1)
        except korvanta.InputError:
            return
    assert res.search.best.key == (res.order, res.seasonal_order, bool(res.trend_powers))
    assert np.isfinite(res.llf)


GRID_SCRIPT = textwrap.dedent("""
    import numpy as np
    import korvanta

    if __name__ == "__main__":
        y = np.cumsum(np.random.default_rng(0).normal(size=600))
        print("fitting", flush=True)
        korvanta.auto_fit(y, 52, d=1, D=0, stepwise=False, n_jobs=2)
""")


@pytest.mark.skipif(not HAS_PROC, reason="needs /proc to find the workers")
def test_search_workers_end_when_their_parent_is_killed(tmp_path):
    script = tmp_path / "grid.py"
    script.write_text(GRID_SCRIPT)
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True) as proc:
        assert proc.stdout.readline().strip() == "fitting"
        deadline = time.monotonic() + 60
        workers = set()
        while len(workers) < 2 and time.monotonic() < deadline:
            time.sleep(0.2)
            workers = descendants(proc.pid)
        assert len(workers) >= 2, "the workers did not start"
        time.sleep(0.5)
        proc.kill()                          # no chance to stop its workers itself
    assert gone_within(workers, 10), "worker processes outlived their parent"


def _search_in_a_worker(n_jobs):
    res = korvanta.auto_fit(quarterly(seed=5), 4, max_p=1, max_q=1, max_P=1, max_Q=1,
                            n_jobs=n_jobs, stepwise=False)
    return res.order, res.seasonal_order, res.llf


@pytest.mark.parametrize("n_jobs", [None, 2])
def test_a_search_inside_a_daemonic_worker_runs_its_fits_there(n_jobs, monkeypatch):
    """A daemonic worker (multiprocessing.Pool, Dask) may not start processes: the search
    fits its candidates in that worker, and chooses what it chooses anywhere."""
    import multiprocessing as mp

    # Workers for every search of more than one fit, as for slow candidates.
    monkeypatch.setattr(korvanta.search, "POOL_WORTH", 0.0)
    expected = _search_in_a_worker(1)
    with mp.get_context("fork").Pool(1) as pool:
        assert pool.apply(_search_in_a_worker, (n_jobs,)) == expected


def test_a_candidate_that_kills_its_worker_is_dropped_and_the_search_goes_on(monkeypatch):
    """A worker that dies (killed, out of memory, crashed) takes its candidates with it:
    each is fitted again alone, and the one that kills its worker again is dropped with
    the reason; every other candidate is fitted as in a search without workers."""
    import os

    from korvanta.search import Outcome
    from korvanta.search_table import Candidate

    deadly = ((1, 1, 1), (0, 0, 1, 4), False)
    parent = os.getpid()
    real = korvanta.search.fit_candidate

    def fit_or_die(setting, key, warm):
        if key == deadly:
            if os.getpid() != parent:
                os._exit(9)                # the worker vanishes mid-fit
            return Outcome(Candidate(*key, math.inf, 0.0, 0, "died"), (), None, None)
        return real(setting, key, warm)

    # The workers are forked from this process: they run the patched fit.
    monkeypatch.setattr(korvanta.search, "fit_candidate", fit_or_die)
    y = quarterly(seed=5)
    kw = dict(d=1, D=0, max_p=1, max_q=1, max_P=0, max_Q=1, stepwise=False)
    serial = korvanta.auto_fit(y, 4, n_jobs=1, **kw)
    parallel = korvanta.auto_fit(y, 4, n_jobs=2, **kw)
    rows = {c.key: c for c in parallel.search}
    assert "worker process died" in rows.pop(deadly).reason
    assert rows == {c.key: replace(c, fit_time=rows[c.key].fit_time)
                    for c in serial.search if c.key != deadly}
    np.testing.assert_array_equal(parallel.params, serial.params)
