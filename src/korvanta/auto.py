"""`auto_fit`: choose the orders of a seasonal ARIMA model and fit it.

d comes from KPSS tests, D from the seasonal strength (`korvanta.unitroot`); the orders
(p, q, P, Q) and the constant from the stepwise search of Hyndman & Khandakar (2008) or
the whole grid (`korvanta.search`), every candidate an exact maximum-likelihood fit.
"""

from __future__ import annotations

import inspect
import sys
import time
from dataclasses import dataclass, fields, replace
from typing import Any

import numpy as np
import numpy.typing as npt

from .covariance import COV_TYPES
from .estimate import KorvantaWarning, fit, issue
from .problem import MIN_EXTRA_OBS, InputError, flag, make_problem
from .results import FitResult
from .search import Limits, Runner, Setting, grid_search, stepwise_search
from .search_table import Candidate, SearchTable
from .start import check_identified
from .unitroot import choose_D, choose_d, magnitude, rounding_only

__all__ = ["auto_fit", "AutoFitResult", "CRITERIA", "LONG_SEASON", "check_search_options",
           "SearchOptions"]

Vector = npt.NDArray[np.float64]

CRITERIA = ("aicc", "aic", "bic", "hqic")
# Above this season length the seasonal orders default to max_P = 0 and max_Q = 1: each
# seasonal lag adds m states, and a likelihood evaluation costs about the square of the
# state count; a seasonal AR term costs far more again, its stationary initial covariance
# being a dense m-by-m problem (at m = 365, a gradient of (2,0,2)(1,0,1) took 6.8 s
# against 0.6 s for (1,0,1)(0,0,1)).
LONG_SEASON = 52
# Options that auto_fit sets itself for every candidate.
_OWN_OPTIONS = frozenset({"order", "seasonal_order", "trend", "exog", "start_params"})
# Options that only make sense for the final fit (labels of the original series, progress).
_FINAL_ONLY = frozenset({"index", "name", "verbose", "callback", "cov_type"})


@dataclass(frozen=True, eq=False)     # compared as an object, as a FitResult is
class AutoFitResult(FitResult):
    """The fit of the chosen model (a `FitResult`), with `search`: every candidate tried,
    its criterion, fit time and, for those dropped, why."""

    search: SearchTable


def auto_fit(y: Any, season_length: int = 1, *, d: int | None = None, D: int | None = None,
             max_p: int = 5, max_q: int = 5, max_P: int | None = None,
             max_Q: int | None = None, max_order: int | None = None, trend: str | None = "auto",
             exog: Any = None, information_criterion: str = "aicc", stepwise: bool = True,
             n_jobs: int | None = None, trace: bool = False,
             **fit_options: Any) -> AutoFitResult:
    """Choose (p, d, q)(P, D, Q, season_length) and the constant, and fit the model.

    d: the number of differences (default: KPSS tests at 5 %, up to 2); D: seasonal
    differences (default: one when the seasonal strength reaches 0.64).  max_p, max_q,
    max_P, max_Q: the largest orders (max_P and max_Q default to 2, and to 0 and 1 when
    season_length > 52); max_order: the largest p + q + P + Q (default: 5 for the grid,
    no bound for the stepwise search).  trend: "auto" (a constant, mean or drift, is
    searched where d + D ≤ 1), "c" (always) or "n"/None (never).  information_criterion:
    "aicc", "aic", "bic" or "hqic".  stepwise=False fits the whole grid.  n_jobs: worker
    processes (None: the usable cores, started once candidate fits take long enough to
    pay for them; 1: none; none either inside a daemonic worker of another pool, which
    may not start processes).  trace: one line per candidate on stderr as it finishes.
    fit_options go to `korvanta.fit`.

    Returns the fit of the chosen model with the search table in `.search`.  A series
    shorter than two seasons is searched without a seasonal part, with a warning; input
    errors raise InputError before the search, as does a series that the differences
    leave too short for any model, or constant (less its regressors' fit, where it has
    regressors) where the models would fit it exactly.
    """
    started = time.perf_counter()
    req = _check(y, season_length, d, D, max_p, max_q, max_P, max_Q, max_order, trend, exog,
                 information_criterion, stepwise, n_jobs, trace, fit_options)
    m, notes = _season(req)
    if m == 1 or req.D is not None:
        D_used = 0 if m == 1 else int(req.D or 0)
    else:
        D_used = choose_D(_for_tests(req, m, 0), m)
    d_used = req.d if req.d is not None else choose_d(_for_tests(req, m, D_used),
                                                      size=magnitude(req.values))
    if m > 1 and _too_short(req.values, d_used, D_used, m):
        notes.append(_fallback(f"after {d_used} difference(s) and {D_used} seasonal "
                               f"difference(s) of {m}, too few observations remain for a "
                               "seasonal model"))
        m, D_used = 1, 0
        if req.d is None:
            d_used = choose_d(_for_tests(req, 1, 0), size=magnitude(req.values))
    either = (True, False) if d_used + D_used <= 1 else (False,)
    constants: tuple[bool, ...] = {"c": (True,), "n": (False,)}.get(req.trend, either)
    _check_differenced(req, m, d_used, D_used, True in constants)
    constants = _identified(req, m, d_used, D_used, constants, notes)
    for note in notes:
        issue(KorvantaWarning, note)
    setting = _setting(req, m, d_used, D_used, fit_options)
    p, q, P, Q, total = req.limits
    long = m > LONG_SEASON
    P = (0 if long else 2) if P is None else P
    Q = (1 if long else 2) if Q is None else Q
    if total is None:                # Hyndman & Khandakar bound the grid only
        total = p + q + P + Q if req.stepwise else 5
    limits = Limits(p, q, P, Q, total, constants)
    printer = _printer(req.criterion) if req.trace else None
    runner = Runner(setting, req.n_jobs, printer)
    try:
        best = (stepwise_search if req.stepwise else grid_search)(runner, limits)
    except BaseException:
        runner.close(wait=False)
        raise
    runner.close()
    if best is None:
        raise InputError("every candidate model was dropped: "
                         + "; ".join(f"{c.label}: {c.reason}" for c in runner.candidates()))
    chosen = best.candidate
    # A candidate fitted to the series as given is the answer, unless the result must
    # carry the series' labels or options the candidates did without.
    if best.result is not None and not req.labelled and not fit_options.keys() & _FINAL_ONLY:
        result = best.result
        if result.problem.exog_names != req.exog_names:
            # The candidates were fitted to the regressors as a matrix: the result takes
            # back the names of a table's columns, which label its coefficients and match
            # future values to them.
            result = replace(result, problem=replace(result.problem,
                                                     exog_names=req.exog_names))
        for text in result.warnings:
            issue(KorvantaWarning, text)
    else:
        trend_arg = "c" if chosen.constant else None
        result = fit(y, chosen.order, chosen.seasonal_order, trend_arg, exog,
                     start_params=best.params, **fit_options)
    if req.trace:
        print(f"\n Best model: {chosen.label}", file=sys.stderr, flush=True)
    table = SearchTable(candidates=runner.candidates(), criterion=req.criterion, d=d_used,
                        D=D_used, season_length=m, stepwise=req.stepwise,
                        elapsed=time.perf_counter() - started, notes=tuple(notes),
                        chosen=chosen.key)
    values = {f.name: getattr(result, f.name) for f in fields(FitResult)}
    return AutoFitResult(**values, search=table)


def _printer(criterion: str) -> Any:
    name = "AICc" if criterion == "aicc" else criterion.upper()

    def show(c: Candidate) -> None:
        print(c.trace_line(name), file=sys.stderr, flush=True)
    return show


# -- checks at the edge --------------------------------------------------------------------
def _int(value: Any, what: str, low: int = 0) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise InputError(f"{what} must be an integer; got {value!r}")
    if value < low:
        raise InputError(f"{what} must be at least {low}; got {value}")
    return int(value)


def _optional_int(value: Any, what: str, low: int = 0) -> int | None:
    return None if value is None else _int(value, what, low)


@dataclass(frozen=True)
class SearchOptions:
    """auto_fit's options other than the series and its regressors, checked."""

    m: int
    d: int | None
    D: int | None
    limits: tuple[int, int, int | None, int | None, int | None]
    trend: str
    criterion: str
    stepwise: bool
    n_jobs: int | None
    trace: bool


def check_search_options(season_length: Any = 1, d: Any = None, D: Any = None,
                         max_p: Any = 5, max_q: Any = 5, max_P: Any = None,
                         max_Q: Any = None, max_order: Any = None, trend: Any = "auto",
                         information_criterion: Any = "aicc", stepwise: Any = True,
                         n_jobs: Any = None, trace: Any = False,
                         fit_options: dict[str, Any] | None = None) -> SearchOptions:
    """Check auto_fit's options without a series (fit_many checks them once for all)."""
    m = _int(season_length, "season_length", 1)
    fit_options = fit_options or {}
    own = sorted(fit_options.keys() & _OWN_OPTIONS)
    if own:
        raise TypeError(f"auto_fit chooses {', '.join(own)} itself; do not pass "
                        f"{'it' if len(own) == 1 else 'them'}")
    _check_fit_options(fit_options)
    if not fit_options.get("enforce_stationarity", True):
        # Every state is then diffuse: the observations that count would depend on the
        # candidate's size, and the criteria would compare different data.
        raise InputError("auto_fit needs enforce_stationarity=True: without it the "
                         "candidates' likelihoods count different observations")
    if trend is None:
        trend = "n"
    # Text only: an array compared with the names is ambiguous or unhashable.
    if not isinstance(trend, str) or trend not in ("auto", "c", "n"):
        raise InputError(f"trend must be 'auto', 'c', 'n' or None; got {trend!r}")
    if not isinstance(information_criterion, str) or information_criterion not in CRITERIA:
        raise InputError(f"information_criterion must be one of {', '.join(CRITERIA)}; "
                         f"got {information_criterion!r}")
    d_val, D_val = _optional_int(d, "d"), _optional_int(D, "D")
    if D_val and m == 1:
        raise InputError(f"D={D_val} needs a season_length above 1")
    limits = (_int(max_p, "max_p"), _int(max_q, "max_q"), _optional_int(max_P, "max_P"),
              _optional_int(max_Q, "max_Q"),
              _optional_int(max_order, "max_order"))
    return SearchOptions(m=m, d=d_val, D=D_val, limits=limits, trend=str(trend),
                         criterion=str(information_criterion),
                         stepwise=flag(stepwise, "stepwise"),
                         n_jobs=_optional_int(n_jobs, "n_jobs", 1),
                         trace=flag(trace, "trace"))


def _check_fit_options(fit_options: dict[str, Any]) -> None:
    """The options passed on to fit, checked before the search: a bad one would only show
    after it, every candidate dropped for it or the final fit refusing it."""
    known = inspect.signature(fit).parameters
    unknown = sorted(fit_options.keys() - known.keys())
    if unknown:
        raise TypeError(f"auto_fit() got an unexpected keyword argument {unknown[0]!r}")
    for key, value in fit_options.items():
        if isinstance(known[key].default, bool):
            flag(value, key)
    if fit_options.get("cov_type", COV_TYPES[0]) not in COV_TYPES:
        raise InputError(f"cov_type must be one of {', '.join(COV_TYPES)}; got "
                         f"{fit_options['cov_type']!r}")
    maxiter = fit_options.get("maxiter", 1)
    if isinstance(maxiter, bool) or not isinstance(maxiter, (int, np.integer)) or maxiter < 1:
        raise InputError(f"maxiter must be a positive integer; got {maxiter!r}")
    callback = fit_options.get("callback")
    if callback is not None and not callable(callback):
        raise InputError(f"callback must be callable (it receives a korvanta.Progress "
                         f"after every iteration); got {callback!r}")


@dataclass(frozen=True)
class _Request(SearchOptions):
    """auto_fit's arguments, checked."""

    values: Vector
    exog: Vector | None          # (n, k) or None
    exog_names: tuple[str, ...]  # the regressors' names (a table's columns, else x1, …)
    labelled: bool               # y has an index or a name of its own (pandas)


def _check(y: Any, season_length: Any, d: Any, D: Any, max_p: Any, max_q: Any, max_P: Any,
           max_Q: Any, max_order: Any, trend: Any, exog: Any, criterion: Any, stepwise: Any,
           n_jobs: Any, trace: Any, fit_options: dict[str, Any]) -> _Request:
    opts = check_search_options(season_length, d, D, max_p, max_q, max_P, max_Q, max_order,
                                trend, criterion, stepwise, n_jobs, trace, fit_options)
    problem = make_problem(y, (0, 0, 0), (0, 0, 0, 0), None, exog,
                           index=fit_options.get("index"), name=fit_options.get("name"))
    values = problem.y
    observed = values[np.isfinite(values)]
    if np.ptp(observed) == 0:
        raise InputError(f"y is constant (every observation is {observed[0]:g}): there is "
                         "no model to choose")
    exog_matrix = None
    if problem.exog is not None:
        exog_matrix = np.ascontiguousarray(problem.exog.reshape(problem.k_exog, problem.n).T)
    # A series with missing values at its front is searched without them; the result, a
    # final fit of the series as given, keeps their periods.
    labelled = problem.index is not None or problem.name != "y" or problem.lead > 0
    return _Request(**{f.name: getattr(opts, f.name) for f in fields(SearchOptions)},
                    values=values, exog=exog_matrix, exog_names=problem.exog_names,
                    labelled=labelled)


# -- the setting of the search --------------------------------------------------------------
def _fallback(reason: str) -> str:
    return f"{reason}: searching non-seasonal models only"


def _season(req: _Request) -> tuple[int, list[str]]:
    """The season length to search, with a note when it falls back to 1."""
    n = req.values.shape[0]
    if req.m > 1 and n < 2 * req.m:
        return 1, [_fallback(f"the series has {n} observations, fewer than two seasons "
                             f"of {req.m}")]
    return req.m, []


def _too_short(values: Vector, d: int, D: int, m: int) -> bool:
    """Whether even the smallest seasonal model, one seasonal coefficient, cannot be
    estimated after the differences."""
    counted = int(np.count_nonzero(np.isfinite(values[d + D * m:])))
    return counted < 2 + MIN_EXTRA_OBS


def _check_differenced(req: _Request, m: int, d: int, D: int, constant: bool) -> None:
    """Refuse, before the search, a series that no candidate could be fitted to after
    its differences: too few observations left for the smallest model, or differences
    constant but for rounding (a straight line, a season repeated exactly) where every
    model fits them exactly: where they are 0, or where the search includes a constant
    (`constant`), whose exact fit the criteria could never rank."""
    skip = d + D * m
    what = f"{d} difference(s)" + (f" and {D} seasonal difference(s) of {m}" if D else "")
    if req.d is None and d:
        what += " (the KPSS tests' choice)"
    # The smallest model: sigma2, the regressors, and the constant where it is forced.
    need = 1 + (0 if req.exog is None else req.exog.shape[1]) + (req.trend == "c") \
        + MIN_EXTRA_OBS
    left = int(np.count_nonzero(np.isfinite(req.values[skip:])))
    if left < need:
        raise InputError(f"y is too short for {what}: the smallest model needs at least "
                         f"{need} observations after the first {skip}, which only "
                         f"initialise the differencing; {left} remain")
    # Only a series without gaps inside: the differences across a gap are missing, and
    # those left could agree while the values across the gap do not.
    seen = np.flatnonzero(np.isfinite(req.values))
    z = req.values[seen[0]:seen[-1] + 1]
    if seen.size != z.size:
        return
    x = None if req.exog is None else req.exog[seen[0]:seen[-1] + 1]
    for _ in range(D):
        z = z[m:] - z[:-m]
        x = None if x is None else x[m:] - x[:-m]
    z = np.diff(z, d)
    size = magnitude(req.values)
    whose = "y"
    if x is not None and z.size:
        # What the regressors leave: where that is constant, the regressors and a
        # constant fit y exactly (the candidates with a constant are dropped for it, and
        # one without would win with the regressors' coefficients bent to the level).
        x = np.diff(x, d, axis=0)
        coef = np.linalg.lstsq(np.column_stack([np.ones(z.size), x]), z, rcond=None)[0]
        z = z - x @ coef[1:]
        whose = "y less its regressors' fit"
    if not (z.size and rounding_only(z, size)):
        return
    level = float(np.mean(z))
    if constant or rounding_only(np.array([level, 0.0]), size):
        raise InputError(f"{whose} is constant after {what}: every difference is {level:g}, "
                         "fitted exactly with no variance left to estimate; there is no "
                         "model to choose")


def _identified(req: _Request, m: int, d: int, D: int, constants: tuple[bool, ...],
                notes: list[str]) -> tuple[bool, ...]:
    """The constant options under which the regressors' coefficients can be told apart
    after the chosen differences; where there is none, the refusal a fit would give.

    The candidates start from their neighbours' estimates and never see that check, and
    seasonal dummies with D = 1 were reported with coefficients held only by the diffuse
    prior (zero on the seasonally differenced series)."""
    if req.exog is None:
        return constants
    kept: list[bool] = []
    refusals: dict[bool, InputError] = {}
    for constant in constants:
        try:
            problem = make_problem(req.values, (0, d, 0), (0, D, 0, m if m > 1 else 0),
                                   "c" if constant else None, req.exog)
        except InputError:
            kept.append(constant)        # too short for this check: the search says so
            continue
        try:
            check_identified(replace(problem, exog_names=req.exog_names))
        except InputError as exc:
            refusals[constant] = exc
        else:
            kept.append(constant)
    if not kept:
        raise refusals[False] if False in refusals else refusals[True]
    if True in refusals:
        notes.append(f"models with a constant were not searched: {refusals[True]}")
    return tuple(kept)


def _for_tests(req: _Request, m: int, D: int) -> Vector:
    """The series the difference tests see: seasonally differenced D times, and with
    regressors, the residuals of their least-squares fit (with a constant)."""
    z = req.values
    if req.exog is not None:
        X = np.column_stack([np.ones(z.shape[0]), req.exog])
        ok = np.isfinite(z)
        coef = np.linalg.lstsq(X[ok], z[ok], rcond=None)[0]
        z = z - X @ coef
    for _ in range(D):
        z = z[m:] - z[:-m]
    return z


def _setting(req: _Request, m: int, d: int, D: int,
             fit_options: dict[str, Any]) -> Setting:
    """Where the candidates are fitted: the seasonally differenced series when nothing is
    missing (see `korvanta.search`), else the series itself."""
    options = {k: v for k, v in fit_options.items() if k not in _FINAL_ONLY}
    # A candidate that ends on the invertibility boundary is dropped: a second search
    # from inside it would mostly find the same end, at the cost of a whole fit.
    options.setdefault("boundary_retry", False)
    y, exog = req.values, req.exog
    differenced = m > 1 and D > 0 and bool(np.isfinite(y).all())
    if differenced:
        for _ in range(D):
            y = y[m:] - y[:-m]
            exog = None if exog is None else exog[m:] - exog[:-m]
    return Setting(y=np.ascontiguousarray(y), exog=exog, d=d, D=D, m=m,
                   differenced=differenced, criterion=req.criterion, fit_options=options)

