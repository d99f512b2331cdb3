"""Per-observation scores by finite differences of the extension's `loglikeobs`."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .problem import Problem

__all__ = ["score_matrix", "constrained_scores", "relative_steps", "metric_factor",
           "H_CENTRAL", "H_FORWARD", "H_SECOND"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

# Relative step sizes.  The likelihood is not accurate to the last bit: the burn-in
# observations are filtered against diffuse states of variance 1e6, which costs up to
# log10(1e6 / sigma2) digits (about 1e-9 relative on the airline model).  Steps are
# chosen against that noise, not against the rounding unit: central first differences
# h ~ noise^(1/3), forward ones h ~ noise^(1/2), second differences h ~ noise^(1/4).
H_CENTRAL = 1e-5
H_FORWARD = 1e-6
H_SECOND = 1e-2


def relative_steps(x: Vector, size: float, positive_last: bool) -> Vector:
    """Steps of `size` times max(|x_i|, 1); relative to |x_i| alone for a last entry that
    is a variance (positive and possibly tiny)."""
    h = size * np.maximum(np.abs(x), 1.0)
    if positive_last and x.size and x[-1] > 0:
        h[-1] = size * x[-1]
    return h


def score_matrix(terms: Callable[[Vector], Vector], x: Vector, steps: Vector, *,
                 central: bool, base: Vector | None = None) -> Matrix:
    """The n x k matrix of derivatives of the per-observation terms with respect to x,
    by central (or forward, from `base`) differences."""
    if not x.size:
        return np.empty((0, 0))
    if not central and base is None:
        base = terms(x)
    # Each column is formed in the fresh array the terms come in and copied into place:
    # for a long series the scores are the largest arrays of a fit.
    out: Matrix | None = None
    for i in range(x.size):
        up = x.copy()
        up[i] += steps[i]
        col = np.asarray(terms(up), dtype=np.float64)
        if central:
            dn = x.copy()
            dn[i] -= steps[i]
            col -= terms(dn)
            col /= up[i] - dn[i]
        else:
            assert base is not None
            col -= base
            col /= up[i] - x[i]
        if out is None:
            out = np.empty((col.shape[0], x.size))
        out[:, i] = col
        del col     # not kept alive while the next column's terms are computed
    assert out is not None
    return out


def constrained_scores(problem: Problem, params: Vector) -> Matrix:
    """Scores of the counted observations with respect to the constrained parameters
    (`sigma2` included), by central differences."""
    kw = problem.data_kwargs()

    def terms(p: Vector) -> Vector:
        return kr.loglikeobs(problem.y, p, **kw)

    # A step across the boundary (estimates at a unit root) gives infinite terms and
    # differences that are not finite: the covariance built from them is then NaN.
    with np.errstate(over="ignore", invalid="ignore"):
        S = score_matrix(terms, params, relative_steps(params, H_CENTRAL, True),
                         central=True)
    observed = ~np.isnan(problem.y[problem.k_diffuse:])
    if observed.all():
        # The rows after the diffuse ones, without a copy.
        whole: Matrix = S[problem.k_diffuse:]
        return whole
    out: Matrix = S[problem.k_diffuse:][observed]
    return out


def metric_factor(info: Matrix, ridge: float = 0.0) -> Matrix | None:
    """Upper-triangular C with C'C = `info` (an outer product of scores), or None where
    that is not finite and positive definite.  The correlation form is factored: parameters
    of very different scales (an intercept in the data's units next to ARMA coefficients)
    would otherwise leave the small ones to rounding; `ridge` on its diagonal keeps nearly
    collinear parameters usable."""
    k = info.shape[0]
    if not (k and np.isfinite(info).all() and (np.diag(info) > 0).all()):
        return None
    d = np.sqrt(np.diag(info))
    corr = info / np.outer(d, d)
    if ridge:
        corr = corr + ridge * np.eye(k)
    try:
        factor: Matrix = np.linalg.cholesky(corr).T * d
    except np.linalg.LinAlgError:
        return None
    return factor
