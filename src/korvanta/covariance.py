"""Covariance of the estimates: outer product of the scores, or the numerical Hessian."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .problem import Problem
from .scores import constrained_scores, relative_steps

__all__ = ["covariance", "numerical_hessian", "COV_TYPES"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

COV_TYPES = ("opg", "hessian")
# Second differences balance h² truncation against eps/h² rounding: h ~ eps^(1/4).
_H_HESSIAN = float(np.finfo(float).eps) ** 0.25


def covariance(problem: Problem, params: Vector, cov_type: str) -> Matrix:
    """The covariance matrix of the constrained estimates (NaN where it does not exist)."""
    if cov_type == "opg":
        S = constrained_scores(problem, params)
        information = S.T @ S
    else:
        information = -numerical_hessian(problem, params)
    return _inverse(information)


def _inverse(information: Matrix) -> Matrix:
    k = information.shape[0]
    if not np.isfinite(information).all():
        return np.full((k, k), np.nan)
    try:
        cov: Matrix = np.linalg.inv(information)
    except np.linalg.LinAlgError:
        return np.full((k, k), np.nan)
    return 0.5 * (cov + cov.T)


def numerical_hessian(problem: Problem, params: Vector) -> Matrix:
    """Hessian of `loglike` at the constrained `params`, by central second differences
    (four evaluations per pair of parameters)."""
    kw = problem.data_kwargs()

    def f(p: Vector) -> float:
        return kr.loglike(problem.y, p, **kw)

    k = params.size
    h = relative_steps(params, True, True) * (_H_HESSIAN / float(np.finfo(float).eps) ** (1 / 3))
    H = np.empty((k, k))
    f0 = f(params)
    for i in range(k):
        for j in range(i, k):
            if i == j:
                up, dn = params.copy(), params.copy()
                up[i] += h[i]
                dn[i] -= h[i]
                H[i, i] = (f(up) - 2.0 * f0 + f(dn)) / (h[i] * h[i])
                continue
            vals = []
            for si, sj in ((1, 1), (1, -1), (-1, 1), (-1, -1)):
                p = params.copy()
                p[i] += si * h[i]
                p[j] += sj * h[j]
                vals.append(f(p))
            H[i, j] = H[j, i] = (vals[0] - vals[1] - vals[2] + vals[3]) / (4.0 * h[i] * h[j])
    return H
