"""The maximum-likelihood search: L-BFGS-B over the unconstrained parameters.

Every step takes the log-likelihood and its gradient from one `loglike_grad` call.  With
the scale concentrated out the search runs over one parameter fewer and the variance is
read off at the end (`concentrated_scale`): the profile likelihood has the same maximum.
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
from scipy.optimize import minimize

import _korvanta_rs as kr

from ._blas import single_threaded_blas
from .problem import DIFFUSE_VARIANCE, Problem
from .scores import H_FORWARD, relative_steps, score_matrix

__all__ = ["Progress", "Optimum", "maximize"]

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
# Gradient calls slower than this run on a helper thread, so that Ctrl-C stops the fit
# at once instead of after the call (the extension does not look at signals).
_SLOW_CALL = 0.05


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
             verbose: bool) -> Optimum:
    """Maximise the likelihood from the constrained starting vector `start`.

    The search runs on the series divided by its innovation scale (and the regressors by
    theirs): the extension's finite-difference steps are of order one in each parameter,
    which would be far too large for the intercept of a series measured in 1e-8 units.
    The likelihood is equivariant, so the estimates are simply scaled back.
    """
    scaling = _Scaling(problem, start)
    # Dividing y by c shifts its log-likelihood by nobs·ln(c); progress reports undo that.
    shift = -0.5 * problem.nobs * math.log(scaling.c2)
    opt = _maximize(scaling.problem, scaling.to_scaled(start), DIFFUSE_VARIANCE / scaling.c2,
                    shift, concentrate_scale=concentrate_scale, maxiter=maxiter, parallel=parallel,
                    callback=callback, verbose=verbose)
    return replace(opt, params=scaling.from_scaled(opt.params))


class _Scaling:
    """The problem in units where the innovations and each regressor have scale one."""

    def __init__(self, problem: Problem, start: Vector) -> None:
        sigma2 = float(start[-1])
        c = math.sqrt(sigma2) if math.isfinite(sigma2) and sigma2 > 0 else 1.0
        self.c2 = c * c
        k, n = problem.k_exog, problem.n
        sx = np.ones(k)
        exog = problem.exog
        if k and exog is not None:
            X = exog.reshape(k, n)
            sx = np.max(np.abs(X), axis=1)
            sx[~(sx > 0)] = 1.0
            exog = np.ascontiguousarray((X / sx[:, None]).ravel())
        # Per entry of the parameter vector: what the scaled parameter is multiplied by.
        k_trend = len(problem.trend_powers)
        factor = np.ones(problem.k_params)
        factor[:k_trend] = c
        factor[k_trend:k_trend + k] = c / sx
        factor[-1] = c * c
        self.factor = factor
        self.problem = replace(problem, y=np.ascontiguousarray(problem.y / c), exog=exog)

    def to_scaled(self, params: Vector) -> Vector:
        out: Vector = params / self.factor
        return out

    def from_scaled(self, params: Vector) -> Vector:
        out: Vector = params * self.factor
        return out


def _maximize(problem: Problem, start: Vector, diffuse_base: float, llf_shift: float, *,
              concentrate_scale: bool, maxiter: int, parallel: bool,
              callback: Callable[[Progress], Any] | None, verbose: bool) -> Optimum:
    kw = problem.model_kwargs()
    data = problem.data_kwargs()
    sigma2_start = float(start[-1])
    # The results report the likelihood with diffuse states 1e6 data units wide; the
    # search uses the same width, expressed in its own units (those of the scaled series,
    # and of the innovation variance when the scale is concentrated), but never wider
    # than 1e6 of those units: beyond that, rounding in the differencing states keeps
    # the filter's covariance from ever settling into its (fast) steady state.  Where the
    # cap applies the diffuse approximation is only closer to exact.
    if concentrate_scale:
        diffuse = min(diffuse_base / sigma2_start, DIFFUSE_VARIANCE)
        u0 = kr.untransform_params(np.ascontiguousarray(start[:-1]), concentrate_scale=True,
                                   **kw)
    else:
        diffuse = min(diffuse_base, DIFFUSE_VARIANCE)
        u0 = kr.untransform_params(start, **kw)
    if u0.size == 0:
        return _no_search(problem, diffuse)
    scale = 1.0 / max(problem.nobs, 1)
    # The search runs in x = C·(u - u0), where C'C approximates the Hessian of the
    # objective at the start (outer product of the scores): there the problem looks
    # like a unit sphere, and L-BFGS-B needs few steps whatever the parameters' scales.
    C_inv = np.linalg.inv(_preconditioner(problem, start, concentrate_scale, scale,
                                          diffuse_base))
    y = problem.y
    n_evaluations = 0
    slow = False
    first: tuple[float, Vector] | None = None

    def objective(x: Vector) -> tuple[float, Vector]:
        nonlocal n_evaluations, slow, first
        if first is not None and not x.any():
            return first
        n_evaluations += 1
        u = u0 + C_inv @ x
        t0 = time.perf_counter()

        def call() -> tuple[float, Vector]:
            return kr.loglike_grad(y, u, concentrate_scale=concentrate_scale,
                                   diffuse_variance=diffuse, parallel=parallel, **data)

        value, grad = _interruptible(call) if slow else call()
        slow = slow or time.perf_counter() - t0 > _SLOW_CALL
        if not math.isfinite(value):
            # Outside the region where the filter gives a likelihood (a zero variance, a
            # root on the unit circle): a huge value makes the line search step back.
            return 1e300, np.zeros_like(x)
        return -value * scale, C_inv.T @ (-grad * scale)

    started = time.perf_counter()
    iteration = 0

    def on_iteration(intermediate_result: Any) -> None:
        nonlocal iteration
        iteration += 1
        info = Progress(iteration, n_evaluations,
                        -float(intermediate_result.fun) / scale + llf_shift,
                        time.perf_counter() - started)
        if verbose:
            print(f"iteration {info.iteration:4d}  evaluations {info.n_evaluations:4d}  "
                  f"log-likelihood {info.llf:.10g}  {info.elapsed:.3f} s", file=sys.stderr)
        if callback is not None:
            callback(info)

    wants_progress = verbose or callback is not None
    # L-BFGS-B tries a first step of unit length.  Scaled by the start's gradient norm,
    # that step is the Newton step of the preconditioned quadratic model.
    first = objective(np.zeros_like(u0))
    g_norm = float(np.linalg.norm(first[1]))
    gamma = 1.0
    if math.isfinite(g_norm) and g_norm > 0:
        gamma = min(max(g_norm, 1e-3), 10.0)
        C_inv = C_inv * gamma
        first = (first[0], first[1] * gamma)  # the gradient in the rescaled coordinates
    with single_threaded_blas():
        res = minimize(objective, np.zeros_like(u0), jac=True, method="L-BFGS-B",
                       callback=on_iteration if wants_progress else None,
                       options={"maxiter": maxiter, "ftol": FTOL, "gtol": GTOL * gamma})
    converged = bool(res.success)
    message = str(res.message)
    if not converged and res.status == 2 and np.max(np.abs(res.jac)) < GTOL_LINE_SEARCH:
        converged = True
    u = np.ascontiguousarray(u0 + C_inv @ res.x, dtype=np.float64)
    if concentrate_scale:
        params = kr.transform_params(u, concentrate_scale=True, **kw)
        sigma2 = kr.concentrated_scale(y, params, diffuse_variance=diffuse, **data)
        params = np.append(params, sigma2)
    else:
        params = kr.transform_params(u, **kw)
    return Optimum(params=params, converged=converged, message=message,
                   iterations=int(res.nit), n_evaluations=n_evaluations)


def _no_search(problem: Problem, diffuse: float) -> Optimum:
    """A model whose only parameter is the concentrated variance: nothing to search."""
    sigma2 = kr.concentrated_scale(problem.y, np.empty(0), diffuse_variance=diffuse,
                                   **problem.data_kwargs())
    return Optimum(params=np.array([sigma2]), converged=True,
                   message="the variance is the only parameter: no search needed",
                   iterations=0, n_evaluations=0)


def _preconditioner(problem: Problem, start: Vector, concentrate_scale: bool,
                    scale: float, diffuse: float) -> Matrix:
    """Upper-triangular C with C'C ≈ the objective's Hessian in the unconstrained
    coordinates at `start`: the outer product of forward-difference scores.  With the
    scale concentrated the variance is held at its start value: the information between
    it and the other parameters vanishes for ARMA models, so its block is left out."""
    kw = problem.model_kwargs()
    data = problem.data_kwargs()
    u = kr.untransform_params(start, **kw)
    k = u.size - 1 if concentrate_scale else u.size

    def terms(v: Vector) -> Vector:
        full = np.concatenate([v, u[k:]])
        return kr.loglikeobs(problem.y, kr.transform_params(full, **kw),
                             diffuse_variance=diffuse, **data)

    info = score_matrix(terms, u[:k], relative_steps(u[:k], H_FORWARD, False),
                        central=False)
    info = info.T @ info
    info = info * scale
    if k and np.isfinite(info).all() and (np.diag(info) > 0).all():
        # Factor the correlation form: parameters of very different scales (an intercept
        # in the data's units next to ARMA coefficients) would otherwise leave the small
        # ones to rounding.  A little ridge keeps nearly collinear parameters usable.
        d = np.sqrt(np.diag(info))
        corr = info / np.outer(d, d) + 1e-10 * np.eye(k)
        try:
            factor: Matrix = np.linalg.cholesky(corr).T * d
            return factor
        except np.linalg.LinAlgError:
            pass
    return np.eye(k)


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
