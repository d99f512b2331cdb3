"""Parameter names, one per entry of the extension's parameter vector.

Convention: `intercept` (trend power 0), `drift` (power 1), `trend.k` (power k ≥ 2);
the regressors' names (DataFrame columns, else `x1`, `x2`, …); `ar.L1` … `ar.Lp`,
`ma.L1` … `ma.Lq`, `ar.S.L{s}` … `ar.S.L{P·s}`, `ma.S.L{s}` … `ma.S.L{Q·s}` (the
number is the lag); `sigma2`.
"""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["param_names"]


def _trend_name(power: int) -> str:
    return {0: "intercept", 1: "drift"}.get(power, f"trend.{power}")


def param_names(order: Sequence[int], seasonal_order: Sequence[int],
                trend_powers: Sequence[int] = (), exog_names: Sequence[str] = (),
                include_sigma2: bool = True) -> tuple[str, ...]:
    """The names of the parameter vector's entries, in the extension's order."""
    p, _, q = order
    P, _, Q, s = seasonal_order
    names = [_trend_name(k) for k in trend_powers] + list(exog_names)
    names += [f"ar.L{i}" for i in range(1, p + 1)]
    names += [f"ma.L{i}" for i in range(1, q + 1)]
    names += [f"ar.S.L{s * i}" for i in range(1, P + 1)]
    names += [f"ma.S.L{s * i}" for i in range(1, Q + 1)]
    if include_sigma2:
        names.append("sigma2")
    return tuple(names)
