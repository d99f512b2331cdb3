"""Covariance of the estimates: outer product of the scores, or the numerical Hessian."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .problem import Problem
from .scores import H_CENTRAL, H_SECOND, constrained_scores, relative_steps, score_matrix

__all__ = ["covariance", "numerical_hessian", "COV_TYPES"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

COV_TYPES = ("opg", "hessian")


def covariance(problem: Problem, params: Vector, cov_type: str) -> Matrix:
    """The covariance matrix of the constrained estimates (NaN where it does not exist)."""
    k = params.size
    if cov_type == "opg":
        S = constrained_scores(problem, params)
        # Scores that overflow (estimates at a unit root of a series in huge units) leave
        # an information that is not finite: no covariance then.
        with np.errstate(over="ignore", invalid="ignore"):
            information = S.T @ S
        return _inverse(information)
    # The Hessian is taken in the unconstrained coordinates, where steps large enough to
    # rise above the likelihood's noise never leave the stationary region, and carried
    # to the constrained ones by the transform's Jacobian (the gradient is zero there).
    kw = problem.model_kwargs()
    u = kr.untransform_params(params, **kw)
    if not np.isfinite(u).all():
        # Estimates on the boundary itself, where the coordinates are infinite.
        return np.full((k, k), np.nan)
    cov_u = _inverse(-numerical_hessian(problem, u))
    J = score_matrix(lambda v: kr.transform_params(v, **kw), u,
                     relative_steps(u, H_CENTRAL, True), central=True)
    cov: Matrix = J @ cov_u @ J.T
    out: Matrix = 0.5 * (cov + cov.T)
    return out


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
    """Hessian of `loglike_u` at the unconstrained `u`, by central second differences
    (four evaluations per pair of parameters)."""
    kw = problem.data_kwargs()

    def f(v: Vector) -> float:
        return kr.loglike_u(problem.y, v, **kw)

    k = u.size
    h = relative_steps(u, H_SECOND, True)
    H = np.empty((k, k))
    f0 = f(u)
    for i in range(k):
        for j in range(i, k):
            if i == j:
                up, dn = u.copy(), u.copy()
                up[i] += h[i]
                dn[i] -= h[i]
                H[i, i] = (f(up) - 2.0 * f0 + f(dn)) / (h[i] * h[i])
                continue
            vals = []
            for si, sj in ((1, 1), (1, -1), (-1, 1), (-1, -1)):
                v = u.copy()
                v[i] += si * h[i]
                v[j] += sj * h[j]
                vals.append(f(v))
            H[i, j] = H[j, i] = (vals[0] - vals[1] - vals[2] + vals[3]) / (4.0 * h[i] * h[j])
    return H
