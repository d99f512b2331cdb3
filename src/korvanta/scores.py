"""Per-observation scores by finite differences of the extension's `loglikeobs`."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from .problem import Problem

__all__ = ["score_matrix", "constrained_scores", "relative_steps"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

# Central differences balance truncation (h²) against rounding (eps/h): h ~ eps^(1/3).
_H_CENTRAL = float(np.finfo(float).eps) ** (1 / 3)
# Forward differences balance h against eps/h: h ~ eps^(1/2).
_H_FORWARD = float(np.finfo(float).eps) ** (1 / 2)


def relative_steps(x: Vector, central: bool, positive_last: bool) -> Vector:
    """Steps of order max(|x_i|, 1) times the optimal relative size; relative to |x_i|
    alone for a last entry that is a variance (positive and possibly tiny)."""
    h = (_H_CENTRAL if central else _H_FORWARD) * np.maximum(np.abs(x), 1.0)
    if positive_last and x.size and x[-1] > 0:
        h[-1] = (_H_CENTRAL if central else _H_FORWARD) * x[-1]
    return h


def score_matrix(terms: Callable[[Vector], Vector], x: Vector, steps: Vector, *,
                 central: bool, base: Vector | None = None) -> Matrix:
    """The n x k matrix of derivatives of the per-observation terms with respect to x,
    by central (or forward, from `base`) differences."""
    cols = []
    for i in range(x.size):
        up = x.copy()
        up[i] += steps[i]
        if central:
            dn = x.copy()
            dn[i] -= steps[i]
            cols.append((terms(up) - terms(dn)) / (up[i] - dn[i]))
        else:
            low = terms(x) if base is None else base
            cols.append((terms(up) - low) / (up[i] - x[i]))
    return np.column_stack(cols) if cols else np.empty((0, 0))


def constrained_scores(problem: Problem, params: Vector) -> Matrix:
    """Scores of the counted observations with respect to the constrained parameters
    (`sigma2` included), by central differences."""
    kw = problem.data_kwargs()

    def terms(p: Vector) -> Vector:
        return kr.loglikeobs(problem.y, p, **kw)

    S = score_matrix(terms, params, relative_steps(params, True, True), central=True)
    counted = np.zeros(problem.n, dtype=bool)
    counted[problem.k_diffuse:] = True
    counted &= ~np.isnan(problem.y)
    return S[counted]
