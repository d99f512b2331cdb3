"""Covariance of the estimates: outer product of the scores, or the numerical Hessian.

Both are computed in the units the search uses, where the innovations and each regressor
have scale one, and carried back to the data's units: differences whose steps are of
order one in each parameter would otherwise be far too large for the intercept of a
series measured in small units, and the information of one in large units overflows.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import replace

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .optimize import Scaling, widest_diffuse
from .problem import Problem
from .roots import roots_within
from .scores import (H_CENTRAL, H_SECOND, constrained_scores, metric_factor, relative_steps,
                     score_matrix)

__all__ = ["covariance", "scaled_covariance", "in_data_units", "numerical_hessian",
           "positive_definite", "COV_TYPES"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

COV_TYPES = ("opg", "hessian")

# The Hessian's second differences: steps of this many standard errors (in the metric of
# the outer product of the scores), and half of it.
H_WHITENED = 0.05


def covariance(problem: Problem, params: Vector, cov_type: str) -> Matrix:
    """The covariance matrix of the constrained estimates (NaN where it does not exist;
    infinite where it exceeds the floating-point range)."""
    return in_data_units(*scaled_covariance(problem, params, cov_type))


def in_data_units(cov: Matrix, factor: Vector) -> Matrix:
    """C·f f': a covariance in the search's units carried to the data's."""
    with np.errstate(over="ignore", invalid="ignore"):
        out: Matrix = cov * np.outer(factor, factor)
    return out


def scaled_covariance(problem: Problem, params: Vector, cov_type: str) -> tuple[Matrix, Vector]:
    """(C, f): the covariance of the constrained estimates is C·f f', with C computed in
    the search's units (standard errors sqrt(diag C)·f without overflow)."""
    k = params.size
    if not np.isfinite(params).all() or not params[-1] > 0:
        return np.full((k, k), np.nan), np.ones(k)
    unused = _zero_regressors(problem)
    if unused.size:
        # The coefficient of a regressor that is zero throughout (a dummy that never
        # fires in the sample) does not enter the likelihood: it has no variance, and the
        # others' covariance is that of the model without it, which has the same
        # likelihood.  Otherwise its empty row would leave no covariance at all.
        first = len(problem.trend_powers)
        keep = np.setdiff1d(np.arange(problem.k_exog), unused)
        X = np.asarray(problem.exog).reshape(problem.k_exog, problem.n)[keep]
        reduced = replace(problem, k_exog=int(keep.size),
                          exog=np.ascontiguousarray(X.ravel()) if keep.size else None,
                          exog_names=tuple(problem.exog_names[j] for j in keep))
        rows = np.setdiff1d(np.arange(k), first + unused)
        sub, sub_factor = scaled_covariance(reduced, params[rows], cov_type)
        out, factor = np.full((k, k), np.nan), np.ones(k)
        out[np.ix_(rows, rows)] = sub
        factor[rows] = sub_factor
        return out, factor
    scaling = Scaling(problem, params)
    scaled, at = scaling.problem, scaling.to_scaled(params)
    # The diffuse states as wide as the search had them: for a series in small units the
    # problem's own width is up to 1e11 innovation variances, where the likelihood is too
    # rough for the differences below (scores off by a factor of two, a Hessian that is
    # not negative definite).
    scaled = replace(scaled, diffuse_variance=min(scaled.diffuse_variance,
                                                  widest_diffuse(scaled)))
    cov = _measured(scaled, at, cov_type)
    J = scaling.jacobian(at)
    if J is not None:
        # Computed about the series' level: carried to the intercept itself.
        with np.errstate(over="ignore", invalid="ignore"):
            cov = J @ cov @ J.T
    return cov, scaling.factor


def _measured(scaled: Problem, at: Vector, cov_type: str) -> Matrix:
    """The covariance of the scaled problem's estimates `at`."""
    k = at.size
    if cov_type == "opg":
        S = constrained_scores(scaled, at)
        if S.shape[0] < k:
            # Fewer counted observations than parameters (estimates applied to a short
            # series): the outer product is singular, and what an inversion makes of it
            # is rounding, which can pass for a covariance.
            return np.full((k, k), np.nan)
        # Scores that overflow (estimates at a unit root) leave an information that is not
        # finite: no covariance then.
        with np.errstate(over="ignore", invalid="ignore"):
            information = S.T @ S
        return _inverse(information)
    # The Hessian of the reported (constrained) parameters themselves: an estimate a
    # little short of the maximum along a flat ridge has a small gradient, and carrying
    # another coordinate system's Hessian over by its Jacobian would drop the gradient's
    # term (enough to move the standard errors of an intercept model by a tenth).
    H = _constrained_hessian(scaled, at)
    if H is not None:
        return _inverse(-H)
    # Within a few hundredths of a standard error of the boundary those steps leave the
    # region: there the Hessian is taken in the unconstrained coordinates, where steps
    # large enough to rise above the likelihood's noise never leave it, and carried to the
    # constrained ones by the transform's Jacobian (exact where the gradient is zero).
    kw = scaled.model_kwargs()
    u = kr.untransform_params(at, **kw)
    if not np.isfinite(u).all():
        # Estimates on the boundary itself, where the coordinates are infinite.
        return np.full((k, k), np.nan)
    with np.errstate(over="ignore", invalid="ignore"):
        cov_u = _inverse(-numerical_hessian(scaled, u))
        J = score_matrix(lambda v: kr.transform_params(v, **kw), u,
                         relative_steps(u, H_CENTRAL, True), central=True)
        cov: Matrix = J @ cov_u @ J.T
    out: Matrix = 0.5 * (cov + cov.T)
    return out


def positive_definite(problem: Problem, cov: Matrix) -> bool:
    """Whether the covariance `cov` of `problem`'s estimates (in any units) is finite and
    positive definite, leaving out the coefficients of regressors that are zero throughout
    (which have no variance).  The correlation form is tested: the variances of an
    intercept in large units and of ARMA coefficients can lie two hundred orders apart."""
    rows = np.setdiff1d(np.arange(cov.shape[0]),
                        len(problem.trend_powers) + _zero_regressors(problem))
    sub = cov[np.ix_(rows, rows)]
    d = np.diag(sub)
    if not (np.isfinite(sub).all() and (d > 0).all()):
        return False
    s = np.sqrt(d)
    try:
        np.linalg.cholesky(sub / np.outer(s, s))
    except np.linalg.LinAlgError:
        return False
    return True


def _zero_regressors(problem: Problem) -> npt.NDArray[np.intp]:
    """The regressors that are zero at every observation (where y is missing, a
    regressor's value does not enter the likelihood)."""
    if not problem.k_exog or problem.exog is None:
        return np.empty(0, dtype=np.intp)
    X = problem.exog.reshape(problem.k_exog, problem.n)
    return np.flatnonzero(~X[:, np.isfinite(problem.y)].any(axis=1))


def _inverse(information: Matrix) -> Matrix:
    k = information.shape[0]
    if not np.isfinite(information).all():
        return np.full((k, k), np.nan)
    try:
        cov: Matrix = np.asarray(np.linalg.inv(information), dtype=np.float64)
    except np.linalg.LinAlgError:
        return np.full((k, k), np.nan)
    out: Matrix = 0.5 * (cov + cov.T)
    return out


def numerical_hessian(problem: Problem, u: Vector) -> Matrix:
    """Hessian of `loglike_u` at the unconstrained `u`: along the whitened axes (see
    `_whitened_hessian`), or where that gives no negative-definite matrix, by steps
    relative to each coordinate."""
    kw = problem.data_kwargs()

    def f(v: Vector) -> float:
        return float(kr.loglike_u(problem.y, v, **kw))

    C = _metric(problem, u)
    H = _whitened_hessian(f, u, C) if C is not None else None
    if H is not None:
        return H
    C = np.diag(1.0 / relative_steps(u, H_SECOND, True))
    out: Matrix = C.T @ _second_differences(f, u, C, 1.0) @ C
    return out


def _constrained_hessian(problem: Problem, params: Vector) -> Matrix | None:
    """Hessian of the log-likelihood at the constrained `params` along the whitened
    axes, or None where a step leaves the stationary or invertible region (or the
    result is not negative definite)."""
    kw = problem.data_kwargs()
    S = constrained_scores(problem, params)
    with np.errstate(over="ignore", invalid="ignore"):
        C = metric_factor(S.T @ S)
    if C is None:
        return None

    def f(p: Vector) -> float:
        if not p[-1] > 0 or any(
                coefs.size and not roots_within(coefs, sign, 1.0)
                for _, coefs, sign in problem.lag_polynomials(p)
                if (sign > 0 and problem.enforce_stationarity)
                or (sign < 0 and problem.enforce_invertibility)):
            return math.nan
        return float(kr.loglike(problem.y, p, **kw))

    return _whitened_hessian(f, params, C)


def _whitened_hessian(f: Callable[[Vector], float], x0: Vector, C: Matrix) -> Matrix | None:
    """Hessian of f at x0 by second differences along the axes of x = C·(v - x0), where
    C'C is the outer product of the scores: there the parameters are about uncorrelated
    and of unit scale, so one step suits every direction, however strongly the parameters
    are correlated (an intercept with the AR coefficients that set the mean with it, where
    steps relative to each coordinate missed the curvature).  Even there the likelihood
    can be far from quadratic within a standard error: steps of H_WHITENED and half of
    it, extrapolated (Richardson), cancel the leading error term.  None where that gives
    no finite, negative-definite matrix."""
    with np.errstate(over="ignore", invalid="ignore"):
        wide = _second_differences(f, x0, C, H_WHITENED)
        narrow = _second_differences(f, x0, C, H_WHITENED / 2)
        H: Matrix = C.T @ ((4.0 * narrow - wide) / 3.0) @ C
    if not np.isfinite(H).all():
        return None
    try:
        np.linalg.cholesky(-H)
    except np.linalg.LinAlgError:
        return None
    return H


def _metric(problem: Problem, u: Vector) -> Matrix | None:
    """Upper-triangular C with C'C = the outer product of the scores with respect to the
    unconstrained u, or None where that is not positive definite."""
    kw, data = problem.model_kwargs(), problem.data_kwargs()
    observed = ~np.isnan(problem.y[problem.k_diffuse:])

    def terms(v: Vector) -> Vector:
        whole: Vector = kr.loglikeobs(problem.y, kr.transform_params(v, **kw), **data)
        out: Vector = whole[problem.k_diffuse:][observed]
        return out

    with np.errstate(over="ignore", invalid="ignore"):
        S = score_matrix(terms, u, relative_steps(u, H_CENTRAL, True), central=True)
        return metric_factor(S.T @ S)


def _second_differences(f: Callable[[Vector], float], x0: Vector, C: Matrix,
                        h: float) -> Matrix:
    """Hessian of f at x0 with respect to x = C·(v - x0), by central second differences
    of step h along each axis of x (four evaluations per pair)."""
    C_inv = np.linalg.inv(C)

    def at(x: Vector) -> float:
        return f(x0 + C_inv @ x)

    k = x0.size
    H = np.empty((k, k))
    f0 = at(np.zeros(k))
    for i in range(k):
        for j in range(i, k):
            if i == j:
                e = np.zeros(k)
                e[i] = h
                H[i, i] = (at(e) - 2.0 * f0 + at(-e)) / (h * h)
                continue
            vals = []
            for si, sj in ((1, 1), (1, -1), (-1, 1), (-1, -1)):
                x = np.zeros(k)
                x[i], x[j] = si * h, sj * h
                vals.append(at(x))
            H[i, j] = H[j, i] = (vals[0] - vals[1] - vals[2] + vals[3]) / (4.0 * h * h)
    return H
