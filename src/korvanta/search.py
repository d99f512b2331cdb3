"""The candidate fits of an order search: one exact ML fit each, run here or on worker
processes, and the two strategies that pick them (Hyndman & Khandakar's stepwise
search, and the whole grid).

Candidates share the differences d and D.  When the series has no missing values, the
candidates are fitted to the seasonally differenced series (y_t - y_{t-m})^D with the
seasonal order (P, 0, Q, m): its exact likelihood is the diffuse likelihood of the model
with the seasonal difference (the differencing states only absorb the first D·m
observations, which never count), so the criteria rank the same models, while the state
vector loses the D·m differencing states, which at m = 365 cuts each likelihood
evaluation by four and each non-seasonal candidate's by a hundred or more.  The chosen
model is fitted once more to the series itself, from the chosen candidate's estimates.
"""

from __future__ import annotations

import math
import multiprocessing
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from ._quiet import ignoring_warnings
from .engines import (available_cpus, can_start_processes, exit_with, one_thread,
                      stop_pool)
from .estimate import BoundaryWarning, fit, quiet_notes
from .problem import MIN_EXTRA_OBS, InputError, make_problem
from .results import FitResult
from .search_table import Candidate
from .start import _inside as shrink_inside
from .start import start_params

__all__ = ["Setting", "Limits", "Outcome", "Runner", "stepwise_search", "grid_search",
           "fit_candidate"]

Vector = npt.NDArray[np.float64]
Key = tuple[tuple[int, int, int], tuple[int, int, int, int], bool]
Warm = tuple[tuple[str, ...], Vector]

# The stepwise search stops after this many models, whatever the path.
MAX_STEPWISE_MODELS = 94
# A model of the stepwise search has at most this many neighbours (and four starts).
MAX_NEIGHBOURS = 13
# With n_jobs=None, a pool of worker processes starts once candidate fits take this long
# (seconds, the lower median so far): below it, starting the workers costs more than it
# saves.
POOL_WORTH = 0.2


@dataclass(frozen=True)
class Setting:
    """What every candidate of one search shares."""

    y: Vector                   # the series the candidates are fitted to
    exog: Vector | None         # (n, k) regressors matching y, or None
    d: int
    D: int
    m: int                      # season length searched (1: non-seasonal)
    differenced: bool           # y above is the original series seasonally differenced D times
    criterion: str              # a FitResult attribute: "aicc", "aic", "bic" or "hqic"
    fit_options: dict[str, Any]

    def orders(self, p: int, q: int, P: int, Q: int
               ) -> tuple[tuple[int, int, int], tuple[int, int, int, int]]:
        """The candidate's orders as reported (with D)."""
        seasonal = (P, self.D, Q, self.m) if self.m > 1 else (0, 0, 0, 0)
        return (p, self.d, q), seasonal


@dataclass(frozen=True)
class Limits:
    """The search space: the largest orders, the largest p + q + P + Q, and the constants
    allowed (True, False or both)."""

    max_p: int
    max_q: int
    max_P: int
    max_Q: int
    max_order: int
    constants: tuple[bool, ...]

    def allows(self, p: int, q: int, P: int, Q: int, constant: bool) -> bool:
        return (0 <= p <= self.max_p and 0 <= q <= self.max_q and 0 <= P <= self.max_P
                and 0 <= Q <= self.max_Q and p + q + P + Q <= self.max_order
                and constant in self.constants)


@dataclass(frozen=True)
class Outcome:
    """A candidate's row and, when it was kept, its estimates (and the fit itself, for a
    candidate fitted to the series as given)."""

    candidate: Candidate
    param_names: tuple[str, ...]
    params: Vector | None
    result: FitResult | None


def _fitted_orders(setting: Setting, key: Key
                   ) -> tuple[tuple[int, int, int], tuple[int, int, int, int]]:
    order, (P, D, Q, m) = key[0], key[1]
    if setting.differenced:
        D = 0
    return order, ((P, D, Q, m) if m > 1 else (0, 0, 0, 0))


def _warm_start(setting: Setting, key: Key, warm: Warm | None) -> Vector | None:
    """The start of a fit: the neighbour's estimates carried over by parameter name (new
    coefficients at zero, polynomials shrunk inside the admissible region), or the usual
    Hannan–Rissanen start, whichever has the higher profile likelihood."""
    if warm is None:
        return None
    order, seasonal = _fitted_orders(setting, key)
    trend = "c" if key[2] else None
    problem = make_problem(setting.y, order, seasonal, trend, setting.exog)
    default = start_params(problem)
    named = dict(zip(*warm))
    start = np.array([named.get(name, 0.0) for name in problem.param_names])
    p, _, q = order
    P, _, Q, _ = seasonal
    o = len(problem.trend_powers) + problem.k_exog
    for lo, size, sign in ((o, p, 1.0), (o + p, q, -1.0), (o + p + q, P, 1.0),
                           (o + p + q + P, Q, -1.0)):
        start[lo:lo + size] = shrink_inside(start[lo:lo + size], sign)
    if not (np.isfinite(start).all() and start[-1] > 0):
        return default
    kw = problem.data_kwargs()
    values = [kr.loglike(problem.y, np.ascontiguousarray(c[:-1]), concentrate_scale=True,
                         **kw) for c in (default, start)]
    return start if math.isfinite(values[1]) and not values[1] <= values[0] else default


def _check_length(setting: Setting, key: Key) -> None:
    """Refuse a candidate with too few observations for its parameters, in the words of
    the model asked for (not of its seasonally differenced form)."""
    (p, d, q), (P, D, Q, m), constant = key
    k = int(constant) + p + q + P + Q + 1 + (0 if setting.exog is None else
                                             setting.exog.shape[1])
    skip = d + (0 if setting.differenced else D * m)
    nobs = int(np.count_nonzero(np.isfinite(setting.y[skip:])))
    if nobs < k + MIN_EXTRA_OBS:
        raise InputError(f"too short: {k} parameters need at least {k + MIN_EXTRA_OBS} "
                         f"observations after differencing; {nobs} remain")


def fit_candidate(setting: Setting, key: Key, warm: Warm | None) -> Outcome:
    """Fit one candidate; an error, no convergence or a root near the unit circle drops
    it, and the row says why."""
    started = time.perf_counter()
    order, seasonal = _fitted_orders(setting, key)
    params: Vector | None = None
    names: tuple[str, ...] = ()
    result: FitResult | None = None
    n_evals = 0
    try:
        _check_length(setting, key)
        with quiet_notes() as caught:
            start = _warm_start(setting, key, warm)
            res = fit(setting.y, order, seasonal, "c" if key[2] else None, setting.exog,
                      start_params=start, **setting.fit_options)
        n_evals = res.n_evaluations
        value = float(getattr(res, setting.criterion))
        boundary = [text.split(":")[0] for category, text in caught
                    if issubclass(category, BoundaryWarning)]
        if not res.converged:
            reason = f"did not converge: {res.message}"
        elif boundary:
            # Estimates outside the region (a fit that does not enforce it) have a root
            # inside the unit circle, not near it.
            where = "inside" if any("lie outside the" in text for _, text in caught) \
                else "near"
            reason = f"{where} the unit circle: " + "; ".join(boundary)
        elif not math.isfinite(value):
            reason = f"{setting.criterion} is not finite"
        else:
            reason = ""
            params, names = res.params, res.param_names
            result = None if setting.differenced else res
    except InputError as exc:
        reason = str(exc)
    except (ValueError, ArithmeticError, np.linalg.LinAlgError) as exc:
        reason = f"fit failed: {type(exc).__name__}: {exc}"
    candidate = Candidate(order=key[0], seasonal_order=key[1], constant=key[2],
                          criterion=value if not reason else math.inf,
                          fit_time=time.perf_counter() - started, n_evaluations=n_evals,
                          reason=reason)
    return Outcome(candidate, names, params, result)


# -- where the fits run -----------------------------------------------------------------
_WORKER_SETTING: Setting | None = None


def _worker_init(setting: Setting, parent: int) -> None:
    # One extension thread per worker: the workers themselves fill the cores.
    one_thread(force=True)
    exit_with(parent)
    global _WORKER_SETTING
    _WORKER_SETTING = setting


def _worker_fit(key: Key, warm: Warm | None) -> Outcome:
    assert _WORKER_SETTING is not None
    return fit_candidate(_WORKER_SETTING, key, warm)


def _context() -> Any:
    # fork starts a worker in milliseconds and needs no importable __main__; the extension
    # gives a forked child a fresh thread pool.  Elsewhere the platform's default.
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and sys.platform.startswith("linux"):
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context()


class Runner:
    """Runs batches of candidate fits, here or on up to `n_jobs` worker processes, and
    keeps every outcome (in the order of the batches) with a trace line per finished
    fit.  n_jobs=None: start workers once the fits prove slow enough to pay for them.
    In a daemonic process (a worker of another pool) every fit runs here."""

    def __init__(self, setting: Setting, n_jobs: int | None,
                 trace: Callable[[Candidate], None] | None) -> None:
        self.setting = setting
        self.max_workers = available_cpus() if n_jobs is None else n_jobs
        if not can_start_processes():
            # A daemonic worker of another pool may not start workers: fit here.
            self.max_workers = 1
        self.adaptive = n_jobs is None
        self.trace = trace
        self.outcomes: dict[Key, Outcome] = {}
        self.order: list[Key] = []
        self._pool: ProcessPoolExecutor | None = None

    @property
    def parallel(self) -> bool:
        if self.max_workers <= 1:
            return False
        if not self.adaptive or self._pool is not None:
            return True
        # The lower median: the first fit also pays for SciPy's first imports, and one
        # slow candidate among quick ones does not make a pool worth it.
        times = sorted(o.candidate.fit_time for o in self.outcomes.values())
        return len(times) >= 2 and times[(len(times) - 1) // 2] >= POOL_WORTH

    @property
    def batch(self) -> int:
        return self.max_workers if self.parallel else 1

    def most_at_once(self, n: int) -> None:
        """No more workers than the fits a batch can hold: each worker is a process, and
        a huge n_jobs would start that many (all at once, with fork) for nothing."""
        self.max_workers = max(1, min(self.max_workers, n))

    def tried(self, key: Key) -> bool:
        return key in self.outcomes

    def run(self, jobs: Sequence[tuple[Key, Warm | None]]) -> list[Outcome]:
        """Fit the candidates not tried yet; the outcomes of all, in the jobs' order."""
        todo = [(k, w) for k, w in dict(jobs).items() if k not in self.outcomes]
        if len(todo) > 1 and self.parallel:
            self._run_pool(todo)
        else:
            for i, (key, warm) in enumerate(todo):
                self._record(key, fit_candidate(self.setting, key, warm))
                if self.parallel and i + 1 < len(todo):
                    self._run_pool(todo[i + 1:])
                    break
        return [self.outcomes[k] for k, _ in jobs]

    def _new_pool(self, workers: int) -> ProcessPoolExecutor:
        # Python 3.12+ warns that forking a threaded process may deadlock; the
        # extension's threads are made fork-safe.
        with ignoring_warnings(DeprecationWarning):
            return ProcessPoolExecutor(workers, mp_context=_context(),
                                       initializer=_worker_init,
                                       initargs=(self.setting, os.getpid()))

    def _run_pool(self, todo: list[tuple[Key, Warm | None]]) -> None:
        if self._pool is None:
            self._pool = self._new_pool(self.max_workers)
        futures: dict[Future[Outcome], tuple[Key, Warm | None]] = {}
        for job in todo:
            futures[_submit(self._pool, job)] = job
        done: dict[Key, Outcome] = {}
        lost: list[tuple[Key, Warm | None]] = []
        for fut in as_completed(futures):
            if isinstance(fut.exception(), BrokenProcessPool):
                lost.append(futures[fut])
                continue
            done[futures[fut][0]] = out = fut.result()
            if self.trace is not None:
                self.trace(out.candidate)
        if lost:
            # A worker died (killed, out of memory, crashed) and the pool with it: each
            # candidate it took down is fitted again alone, so that the one that kills
            # its worker is dropped and the others are fitted.
            stop_pool(self._pool, graceful=False)
            self._pool = None
            for job in sorted(lost, key=todo.index):
                done[job[0]] = out = self._alone(job)
                if self.trace is not None:
                    self.trace(out.candidate)
        for key, _ in todo:                 # recorded in the batch's order
            self.outcomes[key] = done[key]
            self.order.append(key)

    def _alone(self, job: tuple[Key, Warm | None]) -> Outcome:
        """Fit one candidate on a worker of its own; dropped if that worker dies too."""
        started = time.perf_counter()
        pool = self._new_pool(1)
        finished = False
        try:
            fut = _submit(pool, job)
            wait([fut])
            finished = True
        finally:
            # Interrupted (Ctrl-C): the fit under way is stopped, not waited for.
            stop_pool(pool, graceful=finished)
        if not isinstance(fut.exception(), BrokenProcessPool):
            return fut.result()
        key = job[0]
        return Outcome(Candidate(order=key[0], seasonal_order=key[1], constant=key[2],
                                 criterion=math.inf,
                                 fit_time=time.perf_counter() - started, n_evaluations=0,
                                 reason="its worker process died (killed, out of memory "
                                        "or crashed)"), (), None, None)

    def _record(self, key: Key, out: Outcome) -> None:
        self.outcomes[key] = out
        self.order.append(key)
        if self.trace is not None:
            self.trace(out.candidate)

    def close(self, wait: bool = True) -> None:
        """Stop the workers; wait=False (after an error or Ctrl-C) terminates them mid-fit.
        Left to end on their own, the fits under way and those already queued to the
        workers would run to their end, and the process would wait for them at exit."""
        if self._pool is not None:
            stop_pool(self._pool, graceful=wait)
            self._pool = None

    def candidates(self) -> tuple[Candidate, ...]:
        return tuple(self.outcomes[k].candidate for k in self.order)


def _submit(pool: ProcessPoolExecutor, job: tuple[Key, Warm | None]) -> Future[Outcome]:
    """pool.submit, except that a pool broken meanwhile (a worker died) gives the job back
    as lost with it."""
    try:
        with ignoring_warnings(DeprecationWarning):
            return pool.submit(_worker_fit, *job)
    except BrokenProcessPool as exc:
        lost: Future[Outcome] = Future()
        lost.set_exception(exc)
        return lost


# -- the strategies ----------------------------------------------------------------------
def _key(setting: Setting, p: int, q: int, P: int, Q: int, constant: bool) -> Key:
    order, seasonal = setting.orders(p, q, P, Q)
    return order, seasonal, constant


def _kept_best(outcomes: Iterable[Outcome]) -> Outcome | None:
    kept = [o for o in outcomes if not o.candidate.dropped]
    return min(kept, key=lambda o: o.candidate.criterion) if kept else None


def _warm(out: Outcome) -> Warm | None:
    return None if out.params is None else (out.param_names, out.params)


def _starts(setting: Setting, limits: Limits, constant: bool) -> list[tuple[Key, None]]:
    """The four starting models of the stepwise search, within the limits."""
    seasonal = setting.m > 1
    jobs = []
    for p, q, P, Q in [(2, 2, 1, 1), (0, 0, 0, 0), (1, 0, 1, 0), (0, 1, 0, 1)]:
        p, q = min(p, limits.max_p), min(q, limits.max_q)
        P, Q = (min(P, limits.max_P), min(Q, limits.max_Q)) if seasonal else (0, 0)
        while p + q + P + Q > limits.max_order:        # shed orders until it fits
            if P or Q:
                P, Q = max(P - 1, 0), max(Q - 1, 0)
            else:
                p, q = max(p - 1, 0), max(q - 1, 0)
        jobs.append((_key(setting, p, q, P, Q, constant), None))
    return jobs


def stepwise_search(runner: Runner, limits: Limits) -> Outcome | None:
    """Hyndman & Khandakar (2008): fit four starting models, then move to the first of up
    to thirteen neighbours of the current model (p, q, P, Q by ±1, p and q together,
    P and Q together, the constant on or off) that lowers the criterion, until none
    does.  Batches of neighbours run side by side on worker processes, and the first
    improvement in the list's order is taken, so the path is the serial one (but for the
    start of a neighbour fitted ahead of its turn: an earlier model's estimates)."""
    setting = runner.setting
    seasonal = setting.m > 1
    runner.most_at_once(MAX_NEIGHBOURS)
    # The constant is on at the start where allowed.  Where every starting model with it
    # is dropped (too few observations for one parameter more, say), the search starts
    # from those without it rather than give up on models it may choose.
    current = None
    for constant in sorted(limits.constants, reverse=True):
        current = _kept_best(runner.run(_starts(setting, limits, constant)))
        if current is not None:
            break
    while current is not None and len(runner.outcomes) < MAX_STEPWISE_MODELS:
        (p, _, q), (P, _, Q, _), c = current.candidate.key
        moves = [(p - 1, q, P, Q, c), (p + 1, q, P, Q, c), (p, q - 1, P, Q, c),
                 (p, q + 1, P, Q, c)]
        if seasonal:
            moves += [(p, q, P - 1, Q, c), (p, q, P + 1, Q, c), (p, q, P, Q - 1, c),
                      (p, q, P, Q + 1, c)]
        moves += [(p - 1, q - 1, P, Q, c), (p + 1, q + 1, P, Q, c)]
        if seasonal:
            moves += [(p, q, P - 1, Q - 1, c), (p, q, P + 1, Q + 1, c)]
        moves.append((p, q, P, Q, not c))
        keys = [_key(setting, *mv) for mv in moves if limits.allows(*mv)]
        warm = _warm(current)
        improved = None
        while keys and improved is None:
            # The next batch of neighbours not fitted yet; then the list in its order up to
            # the last of them, a neighbour fitted before counting in its place.  A batch
            # fits some beyond the first improvement, and where one of those improves on a
            # later current model, the serial search fits it there and moves to it.
            # (Serially, a neighbour fitted before never improves: it did not improve on
            # an earlier, worse current model.)
            room = MAX_STEPWISE_MODELS - len(runner.outcomes)
            todo = [k for k in keys if not runner.tried(k)][:max(0, min(runner.batch, room))]
            if todo:
                runner.run([(k, warm) for k in todo])
            end = keys.index(todo[-1]) + 1 if todo else len(keys)
            for key in keys[:end]:
                out = runner.outcomes.get(key)
                if out is not None and not out.candidate.dropped and \
                        out.candidate.criterion < current.candidate.criterion:
                    improved = out
                    break
            keys = keys[end:]
        if improved is None:
            break
        current = improved
    return current


def grid_search(runner: Runner, limits: Limits) -> Outcome | None:
    """Every model within the limits (p + q + P + Q ≤ max_order), fitted side by side."""
    setting = runner.setting
    seasonal = setting.m > 1

    def upto(most: int) -> range:
        # No order exceeds max_order: a huge max_p must not enumerate orders beyond it.
        return range(min(most, limits.max_order) + 1)

    keys = [_key(setting, p, q, P, Q, c)
            for c in limits.constants
            for P in (upto(limits.max_P) if seasonal else range(1))
            for Q in (upto(limits.max_Q) if seasonal else range(1))
            for p in upto(limits.max_p)
            for q in upto(limits.max_q)
            if limits.allows(p, q, P, Q, c)]
    runner.most_at_once(len(keys))
    return _kept_best(runner.run([(k, None) for k in keys]))
