"""The size of a lag polynomial's roots, for the stationarity and invertibility checks."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["largest_inverse_root"]


def largest_inverse_root(coefs: npt.NDArray[np.float64], sign: float) -> float:
    """Largest modulus among the reciprocal roots of 1 - sign·(c1 L + c2 L² + …): below 1
    for a stationary (invertible) polynomial, 0 for an empty one."""
    if coefs.size == 0:
        return 0.0
    if coefs.size == 1:           # the common case, without an eigenvalue problem
        return abs(float(coefs[0]))
    # Roots of z^m - sign·(c1 z^(m-1) + … + cm) are the lag polynomial's reciprocal roots.
    recip = np.roots(np.concatenate([[1.0], -sign * coefs]))
    return float(np.max(np.abs(recip))) if recip.size else 0.0
