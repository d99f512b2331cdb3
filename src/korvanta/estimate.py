"""`fit`: maximum-likelihood estimation of a SARIMAX model."""

from __future__ import annotations

import contextlib
import math
import threading
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import replace
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.signal import lfilter

import _korvanta_rs as kr

from ._blas import single_threaded_blas
from .covariance import COV_TYPES
from .optimize import Coordinates, Optimum, Progress, maximize
from .problem import FAR_FROM_PRIOR, InputError, Problem, flag, float_array, make_problem
from .results import FitResult
from .roots import BOUNDARY, largest_inverse_root, roots_within
from .start import difference, start_candidates

__all__ = ["fit", "KorvantaWarning", "ConvergenceWarning", "BoundaryWarning", "quiet_notes",
           "issue"]

Vector = npt.NDArray[np.float64]

# A start whose variance is further than this factor from the profile's at its other
# parameters starts from the profile's instead.
_VARIANCE_RATIO = 4.0
# A search that ends with a moving-average root on the invertibility boundary looks again
# from the same point with that polynomial's roots pulled in to this modulus (and from the
# other start candidates).
_PULLED_IN = 0.9
# The step along each lag coefficient's unconstrained coordinate that tells a search which
# stopped at its start whether it stopped at a saddle (0.1 is a coefficient of about 0.1).
_PROBE = 0.1


class KorvantaWarning(UserWarning):
    """A fit that finished but whose result needs care."""


class ConvergenceWarning(KorvantaWarning):
    """The search did not reach a maximum (iteration limit, failed line search, a series
    with nothing to estimate)."""


class BoundaryWarning(KorvantaWarning):
    """Estimates on the boundary of the stationary or invertible region."""


Note = tuple[type[KorvantaWarning], str]
_quiet = threading.local()


@contextlib.contextmanager
def quiet_notes() -> Iterator[list[Note]]:
    """Within the block, the fits (and model searches) on this thread keep their warnings
    to themselves: each (category, text) is appended to the list yielded instead of being
    issued.  warnings.catch_warnings would do the same by changing the warning filters of
    the whole process, which other threads' fits read and change at the same time (their
    warnings then landed in the wrong list, and filters stayed changed for good)."""
    previous = getattr(_quiet, "notes", None)
    notes: list[Note] = []
    _quiet.notes = notes
    try:
        yield notes
    finally:
        _quiet.notes = previous


def issue(category: type[KorvantaWarning], text: str, stacklevel: int = 2) -> None:
    """Issue a warning, or, inside quiet_notes on this thread, keep it in its list.
    `stacklevel` as for warnings.warn, counted from the caller."""
    notes = getattr(_quiet, "notes", None)
    if notes is None:
        warnings.warn(text, category, stacklevel=stacklevel + 1)
    else:
        notes.append((category, text))


def fit(y: Any, order: Sequence[int] = (0, 0, 0),
        seasonal_order: Sequence[int] = (0, 0, 0, 0), trend: str | Sequence[int] | None = None,
        exog: Any = None, *, concentrate_scale: bool = True, enforce_stationarity: bool = True,
        enforce_invertibility: bool = True, start_params: Any = None, maxiter: int = 200,
        cov_type: str = "opg", parallel: bool = True, index: Any = None,
        name: str | None = None, verbose: bool = False, callback: Callable[[Progress], Any] | None = None,
        boundary_retry: bool = True, multistart: bool = False) -> FitResult:
    """Fit SARIMA(order)x(seasonal_order) with a trend and regressors by exact maximum
    likelihood.

    y: 1-D array-like or pandas Series (NaN marks a missing value).  trend: None, "c",
    "t", "ct" or a list of powers of time.  exog: (n, k) array-like or DataFrame (whose
    index, unless it is pandas' default, must be y's when y is a Series with labels).
    concentrate_scale: search over the other parameters with sigma2 profiled out (the
    same maximum, one parameter fewer; not done when a value is missing among the first
    observations, which only initialise the differencing; where the diffuse states are
    narrow against the innovation variance, a search with sigma2 free finishes if the
    likelihood's gradient asks for it).  start_params: a constrained
    starting vector in the order of the result's `params` (sigma2 included); by default a
    Hannan–Rissanen step on the differenced series.  maxiter: iterations of the search at
    most (each retry from an end on the invertibility boundary has as many again).
    cov_type: "opg" (outer product of the scores) or "hessian" (numerical Hessian).
    parallel: let the extension spread each gradient over its worker threads when the
    model is large enough for that to pay off (it decides per call; the estimates are the
    same bits either way).  index: labels of the
    observations (dates) when y is not a pandas Series; dates, here or in y's index, must
    each come once and run one way, as the observations are taken in order.  name: the
    series' name in the
    summary (a Series' own name by default).  verbose / callback: report every
    iteration (to stderr / to `callback(Progress)`).  boundary_retry: when the search
    ends with a moving-average root on the boundary of the invertible region (a local
    maximum as often as not), search again from that point with the root pulled inside
    and from the other start candidate, and keep the highest end; likewise when a search
    over a constant's mean ends with an AR root on the boundary of the stationary region
    (search again over the constant itself, and from the other start candidate).
    multistart: search from every start candidate (the Hannan–Rissanen step and the pure
    autoregression), not only the one with the highest likelihood, and keep the highest
    end: a surface with several maxima is then searched more widely, at about twice the
    time.

    Input errors raise InputError (a ValueError) before any fitting.
    """
    started = time.perf_counter()
    problem = make_problem(y, order, seasonal_order, trend, exog,
                           enforce_stationarity=enforce_stationarity,
                           enforce_invertibility=enforce_invertibility, index=index,
                           name=name)
    if cov_type not in COV_TYPES:
        raise InputError(f"cov_type must be one of {', '.join(COV_TYPES)}; got {cov_type!r}")
    if isinstance(maxiter, bool) or not isinstance(maxiter, (int, np.integer)) or maxiter < 1:
        raise InputError(f"maxiter must be a positive integer; got {maxiter!r}")
    flags = {"concentrate_scale": concentrate_scale, "parallel": parallel, "verbose": verbose,
             "boundary_retry": boundary_retry, "multistart": multistart}
    concentrate_scale, parallel, verbose, boundary_retry, multistart = (
        flag(value, what) for what, value in flags.items())
    if callback is not None and not callable(callback):
        # Called after the first iteration only: a long fit would fail seconds in.
        raise InputError(f"callback must be callable (it receives a korvanta.Progress "
                         f"after every iteration); got {callback!r}")
    with single_threaded_blas():
        return _fit(problem, start_params, started=started, concentrate_scale=concentrate_scale,
                    maxiter=int(maxiter), cov_type=cov_type, parallel=parallel, callback=callback,
                    verbose=verbose, boundary_retry=boundary_retry, multistart=multistart)


def _fit(problem: Problem, start_params: Any, *, started: float, concentrate_scale: bool, maxiter: int,
         cov_type: str, parallel: bool, callback: Callable[[Progress], Any] | None, verbose: bool,
         boundary_retry: bool, multistart: bool) -> FitResult:
    """The fit of a checked problem: start values, search, final likelihood and warnings.
    BLAS is single-threaded throughout: its matrices are small, and waking its threads on a
    busy machine costs more than they save."""
    start, *others = _starts(problem, start_params)
    notes: list[tuple[type[KorvantaWarning], str]] = []
    # Profiling sigma2 out scales the diffuse states' variance with it too. That changes
    # nothing while the first k_diffuse observations pin those states down; a missing one
    # among them leaves a counted observation with the diffuse variance in it, and then only
    # the plain likelihood has the maximum that the fit reports.
    concentrate_scale = concentrate_scale and not bool(np.isnan(problem.y[:problem.k_diffuse]).any())

    def prepared(start: Vector) -> Vector:
        return _profiled_variance(problem, start) if start[-1] > 0 else start

    start = prepared(start)
    if start[-1] == 0 and np.isnan(problem.y[int(np.argmax(np.isfinite(problem.y))):]).any():
        # The start's regressions see only the differences between the gaps, which can
        # all agree while the values across the gaps do not: the likelihood's own
        # variance at the start tells whether anything is left to estimate.
        start = _profiled_variance(problem, start)
    search = partial(maximize, problem, concentrate_scale=concentrate_scale, parallel=parallel,
                     callback=callback, verbose=verbose)
    data = problem.data_kwargs()
    if _degenerate(problem, start) or _reproduces_a_constant(problem):
        opt = Optimum(params=np.append(start[:-1], 0.0), converged=False,
                      message=_NO_VARIANCE, iterations=0, n_evaluations=0)
        llf = kr.loglike(problem.y, opt.params, **data)
    else:
        opt = search(start, maxiter=maxiter)
        llf = kr.loglike(problem.y, opt.params, **data)
        # Searches from other points follow only a first search that ended before its
        # iteration limit; each of them has as many iterations again.
        within = opt.iterations < maxiter
        untried = [s for s in others if s[-1] > 0]

        def keep_higher(begin: Vector, mean_form: bool = True,
                        profile: bool = concentrate_scale) -> None:
            # Another search, with as many iterations again, counted with the others; the
            # higher end is kept.
            nonlocal opt, llf
            before = opt.iterations
            other = search(begin, maxiter=before + maxiter, after=opt, mean_form=mean_form,
                           concentrate_scale=profile)
            other_llf = kr.loglike(problem.y, other.params, **data)
            if math.isfinite(other_llf) and not other_llf <= llf:
                opt, llf = other, other_llf
            else:
                opt = replace(opt, iterations=other.iterations, n_evaluations=other.n_evaluations)

        if within and opt.converged and opt.iterations == 0:
            # A search that stops at its start found no slope there, which a saddle of the
            # likelihood also shows: with every other observation missing, say, an AR(1)
            # likelihood is even in phi and the start phi = 0 is its lowest point along
            # it. A step along each coefficient tells; the search goes on from the
            # highest point found above the start.
            probe = _above_a_saddle(problem, opt.params, llf)
            if probe is not None:
                keep_higher(probe)
        if boundary_retry and within and Coordinates(problem).mean and \
                _near_unit_root(problem, opt.params):
            # Over the mean, a search can slide to an autoregressive unit root, where the
            # level is no longer pinned down, past a higher maximum that the constant's
            # own coordinates or another start lead to: searches from those, and the
            # highest end is kept.
            first = opt
            keep_higher(start, mean_form=False)
            if opt is not first and not opt.converged and np.isfinite(opt.params).all():
                # Over c the search creeps along the curved ridge to its iteration limit:
                # over the mean it goes on from where that one stopped.
                keep_higher(opt.params)
            for begin in untried:
                keep_higher(prepared(begin))
            untried = []
        inside = _pulled_inside(problem, opt.params) if boundary_retry else None
        if inside is not None and within:
            # An end on the invertibility boundary is often a local maximum of its own (the
            # likelihood of a moving average piles up at a unit root): searches from just
            # inside it and from the other start candidates, and the highest end is kept.
            for begin in [inside, *(prepared(s) for s in untried)]:
                keep_higher(begin)
            untried = []
        if boundary_retry and within and concentrate_scale and \
                _near_unit_root(problem, opt.params):
            # Still at an autoregressive unit root: the profile likelihood's surface there
            # can lead every search above to the boundary past an interior maximum that a
            # search with sigma2 free reaches from the first start (its steps weigh the
            # variance against the coefficients differently); the higher end is kept.
            keep_higher(start, profile=False)
        if multistart:
            # After the above, so that a wider search never ends lower than the default.
            for begin in untried:
                keep_higher(prepared(begin))
    converged = opt.converged and math.isfinite(llf)
    if converged and _degenerate(problem, opt.params):
        # A search (from another model's estimates, say) that ends with the variance at
        # the data's rounding has fitted that rounding: there is nothing to estimate, as
        # where the start shows it.
        opt = replace(opt, converged=False, message=_NO_VARIANCE)
        converged = False
    if not converged:
        reason = opt.message if not opt.converged else "the log-likelihood is not finite"
        notes.append((ConvergenceWarning, f"The fit did not converge: {reason.rstrip('.')}."))
    notes += [(BoundaryWarning, text) for text in _boundary_notes(problem, opt.params)]
    notes += [(KorvantaWarning, text)
              for text in _units_notes(problem, float(opt.params[-1]))]
    for category, text in notes:
        issue(category, text, stacklevel=4)
    return FitResult(problem=problem, params=opt.params, llf=llf, converged=converged,
                     message=opt.message, iterations=opt.iterations,
                     n_evaluations=opt.n_evaluations,
                     fit_time=time.perf_counter() - started,
                     concentrate_scale=concentrate_scale, cov_type=cov_type,
                     warnings=tuple(text for _, text in notes))


def _starts(problem: Problem, given: Any) -> list[Vector]:
    """The given start, or the start candidates (the best first)."""
    if given is None:
        return start_candidates(problem)
    start = float_array(given, "start_params").reshape(-1)
    if start.size != problem.k_params:
        raise InputError(f"start_params has {start.size} entries, but the model has "
                         f"{problem.k_params} ({', '.join(problem.param_names)})")
    if not np.isfinite(start).all() or start[-1] <= 0:
        raise InputError("start_params must be finite, with a positive sigma2")
    u = kr.untransform_params(np.ascontiguousarray(start), **problem.model_kwargs())
    if not np.isfinite(u).all():
        raise InputError("start_params must be stationary and invertible where the fit "
                         "enforces it")
    return [start]


def _profiled_variance(problem: Problem, start: Vector) -> Vector:
    """The start with its variance replaced by the profile's at its other parameters (the
    variance that maximises the likelihood there), where the two are far apart.

    The start's variance sets the units of the search and the variance at which the first
    metric's scores are taken (with the scale concentrated out it is nothing else).  One
    far below the residuals' (a given start from another model, a regression whose
    residuals the exact likelihood does not reproduce) inflates those scores, and with them
    the metric, until the stopping test passes at or near the start; one far above them
    flattens the metric.  Within a factor of _VARIANCE_RATIO the start is kept as it is."""
    sigma2 = kr.concentrated_scale(problem.y, np.ascontiguousarray(start[:-1]),
                                   **problem.data_kwargs())
    given = float(start[-1])
    if not (math.isfinite(sigma2) and sigma2 > 0) or \
            given / _VARIANCE_RATIO <= sigma2 <= given * _VARIANCE_RATIO:
        return start
    return np.append(start[:-1], sigma2)


def _pulled_inside(problem: Problem, params: Vector) -> Vector | None:
    """`params` with each moving-average polynomial that has a root on the boundary of the
    invertible region shrunk until its largest root reciprocal is _PULLED_IN, or None
    where none is on it."""
    if not problem.enforce_invertibility or not np.isfinite(params).all():
        return None
    out = params.copy()
    moved = False
    for _, coefs, sign in problem.lag_polynomials(out):
        if sign > 0 or coefs.size == 0 or roots_within(coefs, sign, BOUNDARY):
            continue
        r = _PULLED_IN / max(largest_inverse_root(coefs, sign), BOUNDARY)
        coefs *= r ** np.arange(1, coefs.size + 1)
        moved = True
    return out if moved else None


def _above_a_saddle(problem: Problem, params: Vector, llf: float) -> Vector | None:
    """The highest of the points a step of _PROBE away from `params` along each AR and MA
    coefficient's unconstrained coordinate (inside the stationary and invertible region
    where it is enforced), where that is above `llf`; None otherwise."""
    first = len(problem.trend_powers) + problem.k_exog
    lags = range(first, problem.k_params - 1)
    if not lags or not math.isfinite(llf) or not np.isfinite(params).all():
        return None
    kw, data = problem.model_kwargs(), problem.data_kwargs()
    u = kr.untransform_params(np.ascontiguousarray(params), concentrate_scale=False, **kw)
    best, best_llf = None, llf
    for j in lags:
        for step in (_PROBE, -_PROBE):
            v = u.copy()
            v[j] += step
            point = kr.transform_params(v, concentrate_scale=False, **kw)
            value = kr.loglike(problem.y, point, **data)
            if math.isfinite(value) and value > best_llf:
                best, best_llf = point, value
    return best


def _near_unit_root(problem: Problem, params: Vector) -> bool:
    """Whether an autoregressive polynomial at `params` has a root on the boundary of the
    stationary region."""
    return any(sign > 0 and coefs.size and np.isfinite(coefs).all()
               and not roots_within(coefs, sign, BOUNDARY)
               for _, coefs, sign in problem.lag_polynomials(params))


_NO_VARIANCE = ("the series is constant after differencing (or follows its own lags "
                "exactly, once the trend and regressors are removed): there is no variance "
                "to estimate")


def _degenerate(problem: Problem, start: Vector) -> bool:
    """Whether the residual variance of `start` (a start or an end) is zero at the data's
    own precision."""
    y = problem.y[np.isfinite(problem.y)]
    # The data's precision is that of the series as given, before any level was taken off.
    size = max(float(np.max(np.abs(y))) + abs(problem.level), float(np.finfo(float).tiny))
    # Compared as standard deviations: the square of a huge size would overflow.
    return bool(math.sqrt(max(float(start[-1]), 0.0)) <= 1e-13 * size)


def _reproduces_a_constant(problem: Problem) -> bool:
    """Whether the differenced series is one value throughout and the model reproduces it
    exactly: by its constant, by an AR polynomial at its unit root (where the search
    would creep towards a variance of zero and report a boundary, not the missing
    variance), or trivially when the value is zero."""
    p, d, _ = problem.order
    P, D, _, s = problem.seasonal_order
    z = difference(problem.y, d, D, s)
    z = z[np.isfinite(z)]
    if z.size < 2 or not (z == z[0]).all():
        return False
    if not (z[0] == 0 or 0 in problem.trend_powers or p + P > 0):
        return False
    return _on_one_path(problem.y, d, D, s, float(z[0]), problem.level)


def _on_one_path(y: Vector, d: int, D: int, s: int, c: float, level: float = 0.0) -> bool:
    """Whether the observed values of y lie on one sequence w whose differences
    (1 - L)^d (1 - L^s)^D w_t are c throughout.  The differences that span a gap are
    missing: those left can all be c while the values on either side of the gap lie on
    different such paths (pairs of values one apart, each pair rising by 1, with jumps
    between the pairs), and then the series has a variance after all.  `level`: a
    constant taken off the series, whose size sets the data's precision."""
    seen = np.isfinite(y)
    first = int(np.argmax(seen))
    poly = np.array([1.0])
    for _ in range(d):
        poly = np.convolve(poly, [1.0, -1.0])
    for _ in range(D):
        seasonal = np.zeros(s + 1)
        seasonal[0], seasonal[s] = 1.0, -1.0
        poly = np.convolve(poly, seasonal)
    k = poly.size - 1
    if k == 0 or seen[first:].all():
        # Every difference after the first observation is there, and each is c.
        return True
    # The paths as a linear map of their first k values and c: the columns are the
    # paths from each unit start value (with c = 0) and the one from zeros with c = 1,
    # each the recursion w_t = c - poly_1 w_{t-1} - ... - poly_k w_{t-k} run by lfilter
    # on inputs that reproduce the start values.
    n = y.size
    inputs = np.zeros((n, k + 1))
    for j in range(k):
        inputs[j:k, j] = poly[:k - j]
    inputs[k:, k] = 1.0
    paths = lfilter([1.0], poly, inputs, axis=0)
    observed = y[seen]
    target = observed - c * paths[seen, k]
    starts = np.linalg.lstsq(paths[seen, :k], target, rcond=None)[0]
    miss = float(np.max(np.abs(paths[seen, :k] @ starts - target)))
    size = float(np.max(np.abs(observed))) + abs(level)
    return miss <= _PATH_TOLERANCE * size


# The observed values lie on one path of constant differences where no value misses the
# closest one by more than this share of the series' largest value.
_PATH_TOLERANCE = 1e-8


def _units_notes(problem: Problem, sigma2: float) -> list[str]:
    """A note where the diffuse states' prior (centred on zero) is not diffuse for the
    series: where the values that initialise the differencing lie far outside it even from
    their midrange (the level that the problem takes off where they lie far from zero), or
    where the innovations' standard deviation exceeds the prior's."""
    first = problem.y[:problem.k_diffuse]
    first = first[np.isfinite(first)]
    if not first.size:
        return []
    sd = math.sqrt(problem.diffuse_variance)
    largest = float(np.max(np.abs(first)))
    scale = math.sqrt(sigma2) if math.isfinite(sigma2) and sigma2 > 0 else 0.0
    if largest > FAR_FROM_PRIOR * sd:
        what = (f"spread up to {_readable(largest)} around {_readable(problem.level)}"
                if problem.level else f"up to {_readable(largest)}")
        text, ratio = f"The series' first values ({what}) are", largest / sd
    elif scale > sd:
        text, ratio = (f"The series' innovations (standard deviation {_readable(scale)}) "
                       "are"), scale / sd
    else:
        return []
    power = 10.0 ** math.ceil(math.log10(ratio))
    return [f"{text} large against the standard deviation of the diffuse initial states "
            f"({_readable(sd)}): the states are not diffuse, and the estimates depend on "
            f"the series' units. Divide the series by a power of ten (by {power:g}, say) and "
            "multiply the forecasts back."]


def _readable(x: float) -> str:
    return f"{x:,.0f}" if 1e3 <= abs(x) < 1e15 else f"{x:.3g}"


def _boundary_notes(problem: Problem, params: Vector) -> list[str]:
    notes = []
    for name, coefs, sign in problem.lag_polynomials(params):
        if coefs.size == 0 or not np.isfinite(coefs).all() or roots_within(coefs, sign, BOUNDARY):
            continue
        region = "stationary" if sign > 0 else "invertible"
        modulus = largest_inverse_root(coefs, sign)
        if modulus > 1.0 / BOUNDARY:
            # Only where the fit does not keep the estimates in the region.
            notes.append(f"The {name} polynomial has a root of modulus {1 / modulus:.6g}: "
                         f"the estimates lie outside the {region} region, and their standard "
                         "errors are unreliable.")
        elif modulus >= BOUNDARY:
            notes.append(f"The {name} polynomial has a root of modulus {1 / modulus:.6f}: "
                         f"the estimates lie on or near the boundary of the {region} region, and "
                         "their standard errors are unreliable.")
    return notes
