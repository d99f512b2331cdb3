"""The size of a lag polynomial's roots, for the stationarity and invertibility checks."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["BOUNDARY", "largest_inverse_root", "roots_within"]

# A polynomial whose largest root reciprocal is this close to 1 sits on the boundary of
# the stationary (or invertible) region: the transform is so flat there that the search
# stops short of an estimate that lies on it.
BOUNDARY = 0.99


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


def roots_within(coefs: npt.NDArray[np.float64], sign: float, radius: float) -> bool:
    """Whether every reciprocal root of 1 - sign·(c1 L + c2 L² + …) has modulus below
    `radius`, without solving for the roots.

    Scaling c_i by radius^-i maps the question to stationarity, which the step-down
    (reverse Levinson) recursion settles: the polynomial is stationary exactly when each
    reflection coefficient it peels off has modulus below one.  False for non-finite
    coefficients."""
    if len(coefs) == 1:           # the common case, directly
        return abs(float(coefs[0])) < radius
    a = [sign * float(c) / radius ** (i + 1) for i, c in enumerate(coefs)]
    while a:
        k = a.pop()
        if not abs(k) < 1.0:
            return False
        m = len(a)
        scale = 1.0 - k * k
        a = [(a[i] + k * a[m - 1 - i]) / scale for i in range(m)]
    return True
