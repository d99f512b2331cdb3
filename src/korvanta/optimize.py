"""The maximum-likelihood search: L-BFGS-B over the unconstrained parameters (with a
constant replaced by the mean it implies, see `Coordinates`).

Every step takes the log-likelihood and its gradient from one `loglike_grad` call.  With
the scale concentrated out the search runs over one parameter fewer and the variance is
read off at the end (`concentrated_scale`): the profile likelihood has the same maximum
where the diffuse states are wide against the innovations, and elsewhere the likelihood's
own gradient decides whether a search with the variance free finishes.  A search whose
end lies far from its start, or whose line search failed, is checked again in the
curvature of its end, and restarted from there when it stopped early.
"""

from __future__ import annotations

import math
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
from scipy.optimize import OptimizeResult, minimize

import _korvanta_rs as kr

from ._blas import single_threaded_blas
from .problem import DIFFUSE_VARIANCE, STEADY_TOLERANCE, Problem, first_midrange
from .roots import BOUNDARY, roots_within
from .scores import H_FORWARD, metric_factor, relative_steps, score_matrix

__all__ = ["Progress", "Optimum", "maximize", "Scaling", "widest_diffuse"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]
T = TypeVar("T")

# L-BFGS-B stops when the objective (minus the mean log-likelihood per observation)
# improves by less than FTOL relative, or the largest gradient entry falls below GTOL.
# The finite-difference gradient is accurate to about 1e-10, so tighter settings only
# end in line-search failures; these reach the maximum to well under 1e-8 relative.
FTOL = 1e-10
GTOL = 2e-4
# A line search that fails this close to a stationary point has converged: the
# finite-difference gradient is no more accurate than that.
GTOL_LINE_SEARCH = 1e-4
# Searches restarted from their end point with the curvature measured there, at most;
# a restart that raises the log-likelihood by less than _STALLED relative ends them.
_RESTARTS = 6
# After a search that took no step, the next one's first trial step is this much shorter.
_SHORTER = 0.01
_STALLED = 1e-8
# A restart that gains less than this (relative) creeps along the boundary.
_CREEPING = 1e-6
# With the scale concentrated, the likelihood's own gradient is checked at the end where
# the diffuse states' variance is less than this many innovation variances.
_WIDE_DIFFUSE = 1e5
# ... and where the diffuse states' prior (centred on zero) hands the other states more
# than this many innovation scales of the first values (the gap between the two maxima
# grows with its square); there the search also keeps the reported width of that prior.
_FAR_SHARE = 1e-3
# A search that ends within this many iterations and this distance of its start (in the
# start's metric), by the gradient test, with every root reciprocal within _EDGE, needs
# no second look at its end.
_NEAR_ITERATIONS = 10
_NEAR_DISTANCE = 2.0
_EDGE = 0.95
# Gradient calls slower than this run on a helper thread, so that Ctrl-C stops the fit
# at once instead of after the call (the extension does not look at signals).
_SLOW_CALL = 0.05
# Models whose observations times squared states exceed this run every gradient call on
# the helper thread from the first: one call of a long-season model takes seconds (about
# 2e7 makes 50 ms on this kind of machine), and each new search would otherwise start
# with one that Ctrl-C cannot stop.
_SLOW_WORK = 2e7


@dataclass(frozen=True)
class Progress:
    """What a progress callback is told after every iteration."""

    iteration: int
    n_evaluations: int
    llf: float          # log-likelihood (profile likelihood when the scale is concentrated)
    elapsed: float      # seconds since the search started


@dataclass(frozen=True)
class Optimum:
    """Where the search ended, in the extension's constrained layout with `sigma2`."""

    params: Vector
    converged: bool
    message: str
    iterations: int
    n_evaluations: int


def maximize(problem: Problem, start: Vector, *, concentrate_scale: bool, maxiter: int,
             parallel: bool, callback: Callable[[Progress], Any] | None,
             verbose: bool, after: Optimum | None = None, mean_form: bool = True) -> Optimum:
    """Maximise the likelihood from the constrained starting vector `start`.  `after`:
    an earlier search of the same fit, whose iterations and evaluations this one goes on
    counting (and whose iterations count against `maxiter`).  `mean_form`: search over a
    constant's mean where `Coordinates` can, and over the series measured from its level
    where `Scaling` would (otherwise over the constant itself, of the series as given: the
    other path along the ridge that a search over the mean can leave for a unit root).

    The search runs on the series divided by its innovation scale (and the regressors by
    theirs): the extension's finite-difference steps are of order one in each parameter,
    which would be far too large for the intercept of a series measured in 1e-8 units.
    The likelihood is equivariant, so the estimates are simply scaled back.
    """
    scaling = Scaling(problem, start, shift=mean_form)
    # Dividing y by c shifts its log-likelihood by nobs·ln(c); progress reports undo that.
    shift = -0.5 * problem.nobs * math.log(scaling.c2)
    opt = _maximize(scaling.problem, scaling.to_scaled(start), scaling.problem.diffuse_variance,
                    shift, concentrate_scale=concentrate_scale, maxiter=maxiter, parallel=parallel,
                    callback=callback, verbose=verbose, after=after, mean_form=mean_form)
    return replace(opt, params=scaling.from_scaled(opt.params))


def _first_size(problem: Problem) -> float:
    """The largest magnitude among the observations that initialise the diffuse states."""
    return float(np.max(np.abs(problem.y[:problem.k_diffuse]), initial=0.0))


def widest_diffuse(problem: Problem) -> float:
    """The widest diffuse states' variance that the likelihood of the scaled `problem`
    (innovations of scale one) is taken with: 1e6, as in the search, unless the first
    values lie far out in the prior (see `_maximize`).  Wider, rounding in the
    differencing states makes the likelihood too rough for finite differences."""
    far = _first_size(problem) > _FAR_SHARE * problem.diffuse_variance
    return math.inf if far else DIFFUSE_VARIANCE


class Scaling:
    """The problem in units where the innovations and each regressor have scale one, and,
    for a series or regressor whose level lies far from zero against its variation,
    measured from that level.

    The extension's finite-difference steps are relative to each parameter: an intercept
    c of a series at 1e5 times its innovations' scale would be stepped by whole
    innovations, and a step of an AR coefficient at fixed c would move the implied mean
    c / (phi(1) Phi(1)) by hundreds of them (estimates stopped short and standard errors
    off by a factor of fifty); likewise a step of the coefficient of a regressor at 1e6
    times its own spread.  phi(L) Phi(L^s) (y_t - m - (x_t - a)'b) = c + phi(1) Phi(1)
    (a'b - m) + ... holds exactly for any m and a: with a constant and nothing that
    integrates the series, the search runs on y - m and x - a at that intercept, with the
    same likelihood."""

    def __init__(self, problem: Problem, start: Vector, shift: bool = True) -> None:
        sigma2 = float(start[-1])
        scale = math.sqrt(sigma2) if math.isfinite(sigma2) and sigma2 > 0 else 1.0
        # In units of the innovations, a trend coefficient can matter on a scale far below
        # the extension's finite-difference step (6e-6 for a coefficient below one): the
        # cube of time over 120 periods moves the likelihood by a unit per 1e-7 of its
        # coefficient, and the search stopped far below the model without that term,
        # reported as converged.  Smaller units (a larger series) make every coefficient
        # that sets a level that much larger, and their steps relative; the AR and MA
        # coefficients and the profile likelihood do not change.
        c = scale / _trend_boost(problem)
        self.c2 = c * c
        k, n = problem.k_exog, problem.n
        k_trend = len(problem.trend_powers)
        shifts = shift and _shifts_allowed(problem)
        self.exog_means = np.zeros(k)
        sx = np.ones(k)
        exog = problem.exog
        X: Matrix | None = None
        if k and exog is not None:
            X = exog.reshape(k, n)
            if shifts:
                self.exog_means = _far_means(X)
                if self.exog_means.any():
                    X = X - self.exog_means[:, None]
            sx = np.max(np.abs(X), axis=1)
            sx[~(sx > 0)] = 1.0
            exog = np.ascontiguousarray((X / sx[:, None]).ravel())
        # Per entry of the parameter vector: what the scaled parameter is multiplied by.
        factor = np.ones(problem.k_params)
        factor[:k_trend] = c
        factor[k_trend:k_trend + k] = c / sx
        factor[-1] = c * c
        self.factor = factor
        self.polynomials = problem.lag_polynomials
        self.exog_slice = slice(k_trend, k_trend + k)
        y = problem.y
        self.level = 0.0
        if shifts:
            z = y if X is None else y - start[self.exog_slice] @ X
            self.level = _far_level(z, scale)
            if self.level:
                y = y - self.level
        if _capped_and_integrated(problem, scale):
            # The search's diffuse states are at most 1e6 innovation variances wide (see
            # `widest_diffuse`), the reported ones 1e6 data units: for a series whose
            # innovations are small against its level (log population, log prices), the
            # narrower prior, centred on zero, pulls the first level towards it (the log
            # Australian population sits 12,000 innovation scales from zero, and the fit
            # ended 0.005 below the reported likelihood's maximum).  Differencing removes
            # a constant: measured from the first values' midrange, the search's
            # likelihood is the reported one's, both near the exact diffuse limit.
            y = y - first_midrange(y, problem.k_diffuse)
        self.shifted = bool(self.level or self.exog_means.any())
        self.constant = problem.trend_powers.index(0) if self.shifted else -1
        # The steady-state test keeps the extension's own tolerance in these units, where
        # the innovations have scale one.
        self.problem = replace(problem, y=np.ascontiguousarray(y / c), exog=exog,
                               diffuse_variance=problem.diffuse_variance / self.c2,
                               tolerance=STEADY_TOLERANCE)

    def _at_one(self, params: Vector) -> tuple[float, float]:
        """phi(1) and Phi(1) at `params`."""
        ar, seasonal = (float(1.0 - coefs.sum()) for _, coefs, sign in
                        self.polynomials(params) if sign > 0)
        return ar, seasonal

    def _offset(self, params: Vector) -> float:
        """What the intercept of the measured-from series lacks at the data's `params`:
        phi(1) Phi(1) (m - a'b)."""
        ar, seasonal = self._at_one(params)
        beta = params[self.exog_slice]
        return (ar * seasonal) * (self.level - float(self.exog_means @ beta))

    def to_scaled(self, params: Vector) -> Vector:
        out: Vector = params / self.factor
        if self.shifted:
            i = self.constant
            out[i] = (params[i] - self._offset(params)) / self.factor[i]
        return out

    def from_scaled(self, params: Vector) -> Vector:
        out: Vector = params * self.factor
        if self.shifted:
            out[self.constant] += self._offset(out)
        return out

    def jacobian(self, params: Vector) -> Matrix | None:
        """d(params / factor) / d(scaled params) at the scaled `params` where the series
        or a regressor is measured from its level (None where neither is): only the
        constant's row differs from the identity."""
        if not self.shifted:
            return None
        J = np.eye(params.size)
        data = params * self.factor
        ar, seasonal = self._at_one(params)
        p, _, q = self.problem.order
        P = self.problem.seasonal_order[0]
        first = self.exog_slice.stop
        row, scale = J[self.constant], self.factor[self.constant]
        gap = (self.level - float(self.exog_means @ data[self.exog_slice])) / scale
        row[first:first + p] = -gap * seasonal
        row[first + p + q:first + p + q + P] = -gap * ar
        row[self.exog_slice] = -(ar * seasonal) * self.exog_means \
            * self.factor[self.exog_slice] / scale
        return J


# A trend coefficient whose effect over the series, in innovation units, has a scale below
# this is searched in units that bring that scale up to it ...
_FINE_TREND = 1e-4
# ... unless that takes the scale of a constant's or a regressor's coefficient (about
# sqrt(n) times finer than the innovations') beyond this: there the steps, 6e-6 each,
# would be lost in the likelihood's rounding instead.
_COARSE_LEVEL = 1e3


def _trend_boost(problem: Problem) -> float:
    """The factor by which the series is enlarged in the search, beyond its innovations'
    units, so that each time trend's coefficient has a scale of _FINE_TREND or more (the
    scale of the coefficient of t^k: 1 / sqrt(sum of t^2k over the observations))."""
    powers = [k for k in problem.trend_powers if k > 0]
    if not powers:
        return 1.0
    t = problem.trend_offset + np.flatnonzero(np.isfinite(problem.y))
    top = float(np.max(np.abs(t)))
    if not top > 0:
        return 1.0
    # log sqrt(sum t^2k), without overflow for high powers.
    sizes = [k * math.log(top) + 0.5 * math.log(float(np.sum((t / top) ** (2 * k))))
             for k in powers]
    boost = math.log(_FINE_TREND) + max(sizes)
    if boost <= 0:
        return 1.0
    if 0 in problem.trend_powers or problem.k_exog:
        boost = min(boost, math.log(_COARSE_LEVEL * math.sqrt(t.size)))
    return math.exp(max(boost, 0.0))


# A series is measured from its mean where that lies further than this many innovation
# standard deviations from zero, a regressor where its mean lies further than this many
# of its own standard deviations.
_LEVEL_RATIO = 100.0


def _capped_and_integrated(problem: Problem, scale: float) -> bool:
    """Whether the model differences the series and the search narrows its diffuse
    states' prior (of the problem's width, in data units) to DIFFUSE_VARIANCE innovation
    variances (`scale` is the innovations' standard deviation)."""
    return bool(problem.order[1] + problem.seasonal_order[1] > 0
                and problem.diffuse_variance > DIFFUSE_VARIANCE * scale * scale)


def _shifts_allowed(problem: Problem) -> bool:
    """Whether the model's constant takes up a shift of the series or the regressors
    exactly: with no differencing and no diffuse states (whose prior is centred on zero)."""
    return bool(0 in problem.trend_powers and not problem.order[1]
                and not problem.seasonal_order[1] and not problem.k_diffuse)


def _far_means(X: Matrix) -> Vector:
    """Each regressor's mean where it lies beyond _LEVEL_RATIO of its standard deviations
    (and those are not zero) from zero, else zero."""
    means = X.mean(axis=1)
    spread = X.std(axis=1)
    far = (spread > 0) & (np.abs(means) > _LEVEL_RATIO * spread) & np.isfinite(means)
    out: Vector = np.where(far, means, 0.0)
    return out


def _far_level(z: Vector, scale: float) -> float:
    """The mean of z where it lies beyond _LEVEL_RATIO innovation scales from zero, else
    0.0."""
    observed = z[~np.isnan(z)]
    level = float(np.mean(observed)) if observed.size else 0.0
    return level if math.isfinite(level) and abs(level) > _LEVEL_RATIO * scale else 0.0


class Coordinates:
    """The search's coordinates: the extension's unconstrained parameters, except that a
    constant c is replaced by the mean it implies, c / (phi(1) Phi(1)).

    In phi(L) Phi(L^s) z_t = c + theta(L) ... the level of a persistent series is c
    divided by a factor that vanishes as an autoregressive root nears one: at fixed c the
    likelihood falls steeply along the AR coefficients, and the maximum lies at the end of
    a narrow, curved ridge that the search follows in hundreds of small steps (or not at
    all).  At a fixed mean the ridge is straight.  Only a constant alone: with a time
    trend next to it, the mean form lets the search drift to a unit root along the
    unidentified level and ends lower more often than not.  Without an autoregression, or
    the stationarity that keeps the factor positive, the coordinates are the extension's."""

    def __init__(self, problem: Problem, mean_form: bool = True) -> None:
        self.kw = problem.model_kwargs()
        p, _, q = problem.order
        P, _, _, _ = problem.seasonal_order
        self.mean = (mean_form and problem.trend_powers == (0,)
                     and problem.enforce_stationarity and p + P > 0)
        first = 1 + problem.k_exog
        self.ar = [*range(first, first + p), *range(first + p + q, first + p + q + P)]

    def _factor(self, w: Vector) -> tuple[float, list[float]]:
        """phi(1) Phi(1) at w, and its derivatives along the AR entries of w.

        Each polynomial's value at one is the product of 1 + r_k over its partial
        autocorrelations r_k = x_k / s_k, s_k = sqrt(1 + x_k^2), which the stationarity
        transform builds it from: no cancellation near a unit root, where 1 - sum(phi)
        would keep only the last few digits of the coefficients.  1 + r_k = 1 / (s_k
        (s_k - x_k)) and d log(1 + r_k) / d x_k = (s_k - x_k) / s_k^2 are written so that
        neither subtracts nearly equal numbers.  Scalar arithmetic: the search calls this
        at every step, on a few entries."""
        factor, slopes = 1.0, []
        for j in self.ar:
            x = float(w[j])
            s = math.hypot(1.0, x)
            if x >= 0:
                factor *= 1.0 + x / s
                slopes.append(1.0 / (s * s * (s + x)))
            else:
                factor *= 1.0 / (s * (s - x))
                slopes.append((s - x) / (s * s))
        return factor, [factor * slope for slope in slopes]

    def transform(self, w: Vector, concentrate_scale: bool) -> Vector:
        """The constrained parameters at w (sigma2 last unless `concentrate_scale`)."""
        params: Vector = kr.transform_params(w, concentrate_scale=concentrate_scale, **self.kw)
        if self.mean:
            params[0] = w[0] * self._factor(w)[0]
        return params

    def untransform(self, params: Vector, concentrate_scale: bool) -> Vector:
        """w at constrained `params`; NaN for the mean where the factor is not positive
        (an autoregressive root on the unit circle)."""
        w: Vector = kr.untransform_params(np.ascontiguousarray(params),
                                          concentrate_scale=concentrate_scale, **self.kw)
        if self.mean:
            factor = self._factor(w)[0]
            w[0] = params[0] / factor if factor > 0 else math.nan
        return w

    def unconstrained(self, w: Vector) -> tuple[Vector, tuple[float, list[float]] | None]:
        """The extension's unconstrained vector at w, and what the gradient needs of the
        Jacobian (the factor and its derivatives), or None."""
        if not self.mean:
            return w, None
        factor, slopes = self._factor(w)
        u = w.copy()
        u[0] = w[0] * factor
        return u, (factor, [float(w[0]) * slope for slope in slopes])

    def gradient(self, grad_u: Vector, jacobian: tuple[float, list[float]] | None) -> Vector:
        """The gradient in w from the gradient in the extension's coordinates: only the
        constant's entry c = w_0 · factor(w) depends on more than its own w_j."""
        if jacobian is None:
            return grad_u
        factor, row = jacobian
        g0 = float(grad_u[0])
        out: Vector = grad_u.copy()
        out[0] = g0 * factor
        for j, d in zip(self.ar, row):
            out[j] += g0 * d
        return out


def _maximize(problem: Problem, start: Vector, diffuse_base: float, llf_shift: float, *,
              concentrate_scale: bool, maxiter: int, parallel: bool,
              callback: Callable[[Progress], Any] | None, verbose: bool,
              after: Optimum | None, mean_form: bool) -> Optimum:
    # The results report the likelihood with the problem's diffuse states (1e6 data units
    # wide, narrower for a series in small units); the search uses the same width,
    # expressed in its own units (those of the scaled series,
    # and of the innovation variance when the scale is concentrated), but never wider
    # than 1e6 of those units: beyond that, rounding in the differencing states keeps
    # the filter's covariance from ever settling into its (fast) steady state.  Where the
    # cap applies the diffuse approximation is only closer to exact, unless the first
    # values lie far out in the prior (centred on zero), which then hands the other states
    # a share of about |y| sigma / diffuse innovation scales of them (sigma is one here):
    # there the width changes the likelihood and its maximum, and the search keeps the
    # reported one.
    runs = _Runs(problem, llf_shift, maxiter=maxiter, parallel=parallel, callback=callback,
                 verbose=verbose, mean_form=mean_form)
    if after is not None:
        runs.iterations, runs.n_evaluations = after.iterations, after.n_evaluations
    first = _first_size(problem)
    cap = widest_diffuse(problem)
    plain = min(diffuse_base, cap)
    if not concentrate_scale:
        return runs.run(start, plain, diffuse_base, concentrate_scale=False).optimum

    # Profiling sigma2 out scales the diffuse states' variance with it.  Where those
    # states are wide against the innovations that changes the likelihood by far less than
    # its rounding; where they are not (a series in large units, whose diffuse variance of
    # 1e6 is only a few innovation variances), the profile's maximum can differ from the
    # likelihood's, and a search with sigma2 free finishes from it if the likelihood's
    # gradient there says so.  The same holds where the first values lie far out in the
    # diffuse states' prior (centred on zero): the prior then hands the other states a
    # share of about |y| sigma / diffuse innovation scales of those values, and the
    # profile, whose prior widens with sigma2, moves that share as sigma2 moves.
    def narrow(params: Vector) -> bool:
        sigma2 = float(params[-1])
        if not (problem.k_diffuse and sigma2 > 0):
            return False
        share = first * math.sqrt(sigma2) / diffuse_base
        return diffuse_base < _WIDE_DIFFUSE * sigma2 or share > _FAR_SHARE

    run = runs.run(start, min(diffuse_base / float(start[-1]), cap),
                   diffuse_base, concentrate_scale=True, hand_over=narrow)
    opt = run.optimum
    if not ((opt.converged or run.failed) and runs.iterations < maxiter
            and narrow(opt.params)):
        return opt
    u = _unconstrained(runs.coords, opt.params, run.u)
    at_u = runs.evaluate(u, concentrate_scale=False, diffuse=plain)
    # After a failed line search the profile search's metric no longer fits its end: the
    # search with sigma2 free takes over from there in any case.
    if opt.converged and at_u is not None and run.metric is not None:
        # The metric of the profile search, with the variance's own information per
        # observation, 2 / sigma2 in its coordinate sqrt(sigma2); the information
        # between the variance and the other parameters is negligible.
        metric = run.metric
        if _near_edge(problem, opt.params, _EDGE):
            # That metric is the one the profile search started with.  Near an edge of the
            # stationary or invertible region the transform to u flattens fast, and a
            # metric from further in overstates the curvature at the end: the gradient
            # looks small while the likelihood still rises towards the edge.
            metric = _preconditioner(problem, runs.coords, opt.params, True, runs.scale,
                                     diffuse_base, run.u)
        g = np.append(np.linalg.solve(metric.T, at_u[1][:-1]),
                      at_u[1][-1] / math.sqrt(2.0 / float(opt.params[-1])))
        if not np.max(np.abs(g)) > GTOL:
            return replace(opt, n_evaluations=runs.n_evaluations)
    return runs.run(opt.params, plain, diffuse_base, concentrate_scale=False,
                    at_start=(u, at_u)).optimum


@dataclass(frozen=True)
class _Run:
    optimum: Optimum
    metric: Matrix | None       # the last preconditioner C (C'C ~ Hessian per observation)
    failed: bool = False        # ended by a failed line search, away from a maximum
    u: Vector | None = None     # the end in the search's unconstrained coordinates


class _Runs:
    """L-BFGS-B runs on one problem, with the counts and the progress reports they
    share."""

    def __init__(self, problem: Problem, llf_shift: float, *, maxiter: int, parallel: bool,
                 callback: Callable[[Progress], Any] | None, verbose: bool,
                 mean_form: bool) -> None:
        self.problem, self.llf_shift, self.maxiter = problem, llf_shift, maxiter
        self.parallel, self.callback, self.verbose = parallel, callback, verbose
        self.scale = 1.0 / max(problem.nobs, 1)
        self.data = problem.data_kwargs()
        self.coords = Coordinates(problem, mean_form)
        self.n_evaluations = 0
        self.iterations = 0
        self.started = time.perf_counter()
        self.slow = _slow_model(problem)

    def on_iteration(self, intermediate_result: Any) -> None:
        self.iterations += 1
        info = Progress(self.iterations, self.n_evaluations,
                        -float(intermediate_result.fun) / self.scale + self.llf_shift,
                        time.perf_counter() - self.started)
        if self.verbose:
            print(f"iteration {info.iteration:4d}  evaluations {info.n_evaluations:4d}  "
                  f"log-likelihood {info.llf:.10g}  {info.elapsed:.3f} s", file=sys.stderr)
        if self.callback is not None:
            self.callback(info)

    def evaluate(self, w: Vector, *, concentrate_scale: bool,
                 diffuse: float) -> tuple[float, Vector] | None:
        """Minus the log-likelihood per observation and its gradient in the search's
        coordinates w, or None outside the region where the filter gives a likelihood."""
        self.n_evaluations += 1
        t0 = time.perf_counter()
        u, row = self.coords.unconstrained(w)

        def call() -> tuple[float, Vector]:
            return kr.loglike_grad(self.problem.y, u, concentrate_scale=concentrate_scale,
                                   parallel=self.parallel,
                                   **{**self.data, "diffuse_variance": diffuse})

        value, grad = _interruptible(call) if self.slow else call()
        self.slow = self.slow or time.perf_counter() - t0 > _SLOW_CALL
        if not math.isfinite(value):
            return None
        return -value * self.scale, -self.coords.gradient(grad, row) * self.scale

    def run(self, start: Vector, diffuse: float, diffuse_base: float, *,
            concentrate_scale: bool, hand_over: Callable[[Vector], bool] | None = None,
            at_start: tuple[Vector, tuple[float, Vector] | None] | None = None) -> _Run:
        """Maximise from the constrained `start` (sigma2 included) with diffuse states of
        variance `diffuse`, restarting while the end is not a maximum (unless
        `hand_over(params)` says another search finishes from there).  `at_start`: the
        start's unconstrained coordinates and their evaluation, when already known."""
        problem, scale, coords = self.problem, self.scale, self.coords
        if at_start is not None:
            u0, at_u0 = at_start
        else:
            u0 = coords.untransform(start[:-1] if concentrate_scale else start,
                                    concentrate_scale)
            if u0.size == 0:
                return _Run(_no_search(problem, diffuse), None)
            at_u0 = self.evaluate(u0, concentrate_scale=concentrate_scale, diffuse=diffuse)

        def evaluate(u: Vector) -> tuple[float, Vector] | None:
            return self.evaluate(u, concentrate_scale=concentrate_scale, diffuse=diffuse)

        def to_params(u: Vector) -> Vector:
            params = coords.transform(u, concentrate_scale)
            if not concentrate_scale:
                return params
            sigma2 = kr.concentrated_scale(problem.y, params,
                                           **{**self.data, "diffuse_variance": diffuse})
            return np.append(params, sigma2)

        progress = self.on_iteration if self.verbose or self.callback is not None else None
        point = start
        first_step = 1.0
        for restart in range(_RESTARTS + 1):
            # The search runs in x = C·(u - u0), where C'C approximates the Hessian of the
            # objective at `point` (outer product of the scores): there the problem looks
            # like a unit sphere, and L-BFGS-B needs few steps whatever the parameters'
            # scales.
            C = _preconditioner(problem, coords, point, concentrate_scale, scale,
                                diffuse_base, u0)
            C_inv = np.asarray(np.linalg.inv(C), dtype=np.float64)
            done = self.iterations
            res, C_inv, at_end, by_gradient = _search(
                evaluate, u0, at_u0, C_inv, maxiter=self.maxiter - done, callback=progress,
                first_step=first_step)
            self.iterations = done + int(res.nit)
            converged = bool(res.success)
            message = str(res.message)
            # A failed line search: at a maximum when the gradient is as small as its own
            # noise; elsewhere the metric no longer fits the end, and the check below
            # measures the gradient in the end's own metric (a maximum there too, or a
            # restart in that metric).
            failed = not converged and res.status == 2
            # (The search's coordinates shrink with a shortened first step, and with them
            # the gradient it reports: measured in the usual ones.)
            if failed and np.max(np.abs(res.jac)) / first_step < GTOL_LINE_SEARCH:
                converged, failed = True, False
            if res.status == 2:
                message = _line_search_message(str(res.message), converged)
            u = np.ascontiguousarray(u0 + C_inv @ res.x, dtype=np.float64)
            params = to_params(u)
            if failed and at_end is None and np.isfinite(params).all():
                at_end = evaluate(u)
            if ((not converged and not failed) or at_end is None
                    or self.iterations >= self.maxiter
                    or not np.isfinite(params).all() or not params[-1] > 0
                    or (hand_over is not None and hand_over(params))):
                break
            # No step at all: every trial along the first direction left the region where
            # the filter gives a likelihood (a metric far too wide for this point), and
            # the line search shrank the step to nothing.  That is not a flat ridge: the
            # gradient test below decides, and a restart tries a shorter first step.
            took_no_step = not res.x.any()
            # (Not after a search that took no step: a run with a shortened first step
            # that then creeps forward says nothing of a ridge; the gradient test decides.)
            if restart and at_u0 is not None and not took_no_step and first_step == 1.0:
                # A restart that gained next to nothing found a flat ridge, not an early
                # stop.  On the boundary the likelihood can rise all the way to the edge,
                # which the search only creeps towards (the caller says so with the
                # estimates): there a small gain is enough to stop.
                floor = _CREEPING if _near_edge(problem, params, BOUNDARY) else _STALLED
                if at_u0[0] - at_end[0] <= floor * max(abs(at_end[0]), scale):
                    break
            # The stopping test measured the gradient in the metric of `point`.  That
            # metric stands for the end's where the search ended near `point` (within a
            # few of its units, in a few iterations, by the gradient test) and away from
            # the edges of the stationary and invertible regions, where the transform to
            # u bends fast.  Otherwise the test can pass far from the maximum (a start
            # far off, a maximum near an edge): a gradient that is still large in the
            # end's own metric restarts the search from the end.
            if by_gradient and int(res.nit) <= _NEAR_ITERATIONS and \
                    float(np.linalg.norm(res.x)) <= _NEAR_DISTANCE and \
                    not _near_edge(problem, params, _EDGE):
                break
            C = C if not res.x.any() else \
                _preconditioner(problem, coords, params, concentrate_scale, scale,
                                diffuse_base, u)
            try:
                g = np.linalg.solve(C.T, at_end[1])
            except np.linalg.LinAlgError:
                break
            # Half the squared gradient in that metric is the gain per observation that a
            # Newton step from the end would bring.
            if not (np.max(np.abs(g)) > GTOL
                    and 0.5 * float(g @ g) > _STALLED * max(abs(at_end[0]), scale)):
                converged = True
                break
            if restart == _RESTARTS:
                converged = False
                message = (f"the log-likelihood still rose after {_RESTARTS} restarts of "
                           "the search")
                if took_no_step:
                    message += (", the last of which took no step (no trial step found a "
                                "higher point, or each left the region where the likelihood "
                                "is defined)")
                break
            first_step = first_step * _SHORTER if took_no_step else 1.0
            point, u0, at_u0 = params, u, at_end
        return _Run(Optimum(params=params, converged=converged, message=message,
                            iterations=self.iterations, n_evaluations=self.n_evaluations), C,
                    failed and not converged, u)


def _line_search_message(text: str, at_maximum: bool) -> str:
    """What SciPy's terse report of a failed line search ("ABNORMAL: ") means here."""
    where = ("with the gradient as small as its own noise: a maximum" if at_maximum
             else "along the search direction")
    return f"the line search found no higher point {where} (L-BFGS-B: " \
           f"{text.strip().rstrip(':').strip()})"


def _near_edge(problem: Problem, params: Vector, radius: float) -> bool:
    """Whether a lag polynomial has a root reciprocal beyond `radius` in modulus."""
    return any(coefs.size and not roots_within(coefs, sign, radius)
               for _, coefs, sign in problem.lag_polynomials(params))


def _search(evaluate: Callable[[Vector], tuple[float, Vector] | None], u0: Vector,
            at_u0: tuple[float, Vector] | None, C_inv: Matrix, *, maxiter: int,
            callback: Callable[[Any], None] | None,
            first_step: float = 1.0) -> tuple[Any, Matrix, tuple[float, Vector] | None, bool]:
    """One L-BFGS-B run from u0 in the coordinates x = C (u - u0), where u0 has the
    value and u-gradient `at_u0`: its result, the coordinates' final C_inv, the value and
    u-gradient at the final point (None when that was not the last one evaluated), and
    whether it stopped by the gradient test.  `first_step`: the first trial step's
    length, as a share of the preconditioned Newton step."""
    first: tuple[float, Vector] = (1e300, np.zeros_like(u0))
    if at_u0 is not None:
        with np.errstate(over="ignore", invalid="ignore"):
            first = (at_u0[0], C_inv.T @ at_u0[1])
    # L-BFGS-B tries a first step of unit length.  Scaled by the start's gradient norm,
    # that step is the Newton step of the preconditioned quadratic model.
    gamma = 1.0
    with np.errstate(over="ignore"):
        g_norm = float(np.linalg.norm(first[1]))
    if math.isfinite(g_norm) and g_norm > 0:
        gamma = min(max(g_norm, 1e-3), 10.0) * first_step
        C_inv = C_inv * gamma
        first = (first[0], first[1] * gamma)  # the gradient in the rescaled coordinates
    last: list[Any] = [np.zeros_like(u0), at_u0]

    def objective(x: Vector) -> tuple[float, Vector]:
        if not x.any():
            last[0], last[1] = x.copy(), at_u0
            return first
        found = evaluate(u0 + C_inv @ x)
        last[0], last[1] = x.copy(), found
        if found is None:
            # Outside the region where the filter gives a likelihood (a zero variance, a
            # root on the unit circle): a huge value makes the line search step back.
            return 1e300, np.zeros_like(x)
        # An infinite entry of the gradient (an estimate running away where the fit does
        # not keep it in the region) makes NaN here, as it would anywhere.
        with np.errstate(over="ignore", invalid="ignore"):
            gradient: Vector = C_inv.T @ found[1]
        return found[0], gradient

    report: Callable[[Any], None] | None = None
    if callback is not None:
        tell = callback

        def report(intermediate_result: Any) -> None:
            # SciPy before 1.11 passes the new point alone, not the result with its value:
            # that point is the one the line search evaluated last.
            if not hasattr(intermediate_result, "fun"):
                x = np.asarray(intermediate_result)
                found = last[1] if np.array_equal(last[0], x) else None
                value = found[0] if found is not None else objective(x)[0]
                intermediate_result = OptimizeResult(x=x, fun=value)
            tell(intermediate_result)

    gtol = GTOL * gamma
    with single_threaded_blas():
        res = minimize(objective, np.zeros_like(u0), jac=True, method="L-BFGS-B",
                       callback=report,
                       options={"maxiter": max(maxiter, 1), "ftol": FTOL, "gtol": gtol})
    at_end = last[1] if np.array_equal(last[0], res.x) else None
    return res, C_inv, at_end, bool(np.max(np.abs(res.jac), initial=0.0) <= gtol)


def _no_search(problem: Problem, diffuse: float) -> Optimum:
    """A model whose only parameter is the concentrated variance: nothing to search."""
    sigma2 = kr.concentrated_scale(problem.y, np.empty(0), **problem.data_kwargs(diffuse))
    return Optimum(params=np.array([sigma2]), converged=True,
                   message="the variance is the only parameter: no search needed",
                   iterations=0, n_evaluations=0)


def _preconditioner(problem: Problem, coords: Coordinates, start: Vector,
                    concentrate_scale: bool, scale: float, diffuse: float,
                    searched: Vector | None = None) -> Matrix:
    """Upper-triangular C with C'C ≈ the objective's Hessian in the search's
    coordinates at `start`: the outer product of forward-difference scores.  With the
    scale concentrated the variance is held at its start value: the information between
    it and the other parameters vanishes for ARMA models, so its block is left out.
    `searched`: the search's own coordinates of `start`, where known."""
    data = problem.data_kwargs(diffuse)
    u = _unconstrained(coords, start, searched)
    k = u.size - 1 if concentrate_scale else u.size
    if not np.isfinite(u).all():
        return np.eye(k)

    def terms(v: Vector) -> Vector:
        full = np.concatenate([v, u[k:]])
        return kr.loglikeobs(problem.y, coords.transform(full, False), **data)

    # Terms that are not finite (a step onto the boundary) leave an information that is
    # not finite either: the identity stands in for it below.
    with np.errstate(over="ignore", invalid="ignore"):
        info = score_matrix(terms, u[:k], relative_steps(u[:k], H_FORWARD, False),
                            central=False)
        info = info.T @ info
        info = info * scale
    factor = metric_factor(info, ridge=1e-10)
    return factor if factor is not None else np.eye(k)


def _unconstrained(coords: Coordinates, params: Vector, searched: Vector | None) -> Vector:
    """The search's coordinates of `params`, a search's end that it reached at
    `searched` (without sigma2 when the scale was concentrated).

    Far out on the search's coordinates the transform rounds to the boundary itself (an
    MA coefficient of exactly one), whose inverse is infinite or NaN: there the search's
    own coordinates stand in for the rounded ones."""
    u = coords.untransform(params, False)
    if searched is not None and not np.isfinite(u).all():
        u = np.ascontiguousarray(np.concatenate([searched, u[searched.size:]]))
    out: Vector = u
    return out


def _slow_model(problem: Problem) -> bool:
    """Whether a gradient call will likely be slow: the filter's work per call grows with
    the observations times the square of the states (the ARMA block, max(p + Ps,
    q + Qs + 1), and the d + Ds differencing states)."""
    p, d, q = problem.order
    P, D, Q, s = problem.seasonal_order
    states = max(p + P * s, q + Q * s + 1) + d + D * s
    return problem.n * states * states > _SLOW_WORK


def _interruptible(call: Callable[[], T]) -> T:
    """Run `call` on a helper thread while this thread waits in short, interruptible
    sleeps; a KeyboardInterrupt leaves the helper to finish on its own."""
    box: dict[str, Any] = {}
    done = threading.Event()

    def run() -> None:
        try:
            box["value"] = call()
        except BaseException as exc:  # handed over to the waiting thread
            box["error"] = exc
        finally:
            done.set()

    threading.Thread(target=run, daemon=True, name="korvanta-likelihood").start()
    while not done.wait(0.05):
        pass
    if "error" in box:
        raise box["error"]
    value: T = box["value"]
    return value
