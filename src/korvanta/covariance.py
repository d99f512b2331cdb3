"""Covariance of the estimates: outer product of the scores, or the numerical Hessian.

Both are computed in the units the search uses, where the innovations and each regressor
have scale one, and carried back to the data's units: differences whose steps are of
order one in each parameter would otherwise be far too large for the intercept of a
series measured in small units, and the information of one in large units overflows.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .optimize import Scaling
from .problem import Problem
from .scores import (H_CENTRAL, H_SECOND, constrained_scores, metric_factor, relative_steps,
                     score_matrix)

__all__ = ["covariance", "scaled_covariance", "in_data_units", "numerical_hessian", "COV_TYPES"]

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
    scaling = Scaling(problem, params)
    scaled, at = scaling.problem, scaling.to_scaled(params)
    if cov_type == "opg":
        S = constrained_scores(scaled, at)
        # Scores that overflow (estimates at a unit root) leave an information that is not
        # finite: no covariance then.
        with np.errstate(over="ignore", invalid="ignore"):
            information = S.T @ S
        return _inverse(information), scaling.factor
    # The Hessian is taken in the unconstrained coordinates, where steps large enough to
    # rise above the likelihood's noise never leave the stationary region, and carried
    # to the constrained ones by the transform's Jacobian (the gradient is zero there).
    kw = scaled.model_kwargs()
    u = kr.untransform_params(at, **kw)
    if not np.isfinite(u).all():
        # Estimates on the boundary itself, where the coordinates are infinite.
        return np.full((k, k), np.nan), scaling.factor
    with np.errstate(over="ignore", invalid="ignore"):
        cov_u = _inverse(-numerical_hessian(scaled, u))
        J = score_matrix(lambda v: kr.transform_params(v, **kw), u,
                         relative_steps(u, H_CENTRAL, True), central=True)
        cov: Matrix = J @ cov_u @ J.T
    return 0.5 * (cov + cov.T), scaling.factor


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
    """Hessian of `loglike_u` at the unconstrained `u`.

    Second differences along the axes of x = C·(v - u), where C'C is the outer product
    of the scores: there the parameters are about uncorrelated and of unit scale, so one
    step suits every direction, however strongly the parameters are correlated (an
    intercept with the AR coefficients that set the mean with it, where steps relative to
    each coordinate missed the curvature and left no negative-definite Hessian).  Even
    there the likelihood can be far from quadratic within a standard error: steps of
    H_WHITENED and half of it, extrapolated (Richardson), cancel the leading error term.
    Where that gives no negative-definite matrix, steps relative to each coordinate stand
    in."""
    C = _metric(problem, u)
    if C is not None:
        wide = _second_differences(problem, u, C, H_WHITENED)
        narrow = _second_differences(problem, u, C, H_WHITENED / 2)
        H: Matrix = C.T @ ((4.0 * narrow - wide) / 3.0) @ C
        if np.isfinite(H).all():
            try:
                np.linalg.cholesky(-H)
                return H
            except np.linalg.LinAlgError:
                pass
    C = np.diag(1.0 / relative_steps(u, H_SECOND, True))
    out: Matrix = C.T @ _second_differences(problem, u, C, 1.0) @ C
    return out


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


def _second_differences(problem: Problem, u: Vector, C: Matrix, h: float) -> Matrix:
    """Hessian of `loglike_u` at u with respect to x = C·(v - u), by central second
    differences of step h along each axis of x (four evaluations per pair)."""
    kw = problem.data_kwargs()
    C_inv = np.linalg.inv(C)

    def f(x: Vector) -> float:
        return float(kr.loglike_u(problem.y, u + C_inv @ x, **kw))

    k = u.size
    H = np.empty((k, k))
    f0 = f(np.zeros(k))
    for i in range(k):
        for j in range(i, k):
            if i == j:
                e = np.zeros(k)
                e[i] = h
                H[i, i] = (f(e) - 2.0 * f0 + f(-e)) / (h * h)
                continue
            vals = []
            for si, sj in ((1, 1), (1, -1), (-1, 1), (-1, -1)):
                x = np.zeros(k)
                x[i], x[j] = si * h, sj * h
                vals.append(f(x))
            H[i, j] = H[j, i] = (vals[0] - vals[1] - vals[2] + vals[3]) / (4.0 * h * h)
    return H
