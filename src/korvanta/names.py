"""Parameter names, one per entry of the extension's parameter vector.

Convention: `intercept` (trend power 0), `drift` (power 1), `trend.k` (power k ≥ 2);
the regressors' names (DataFrame columns, else `x1`, `x2`, …); `ar.L1` … `ar.Lp`,
`ma.L1` … `ma.Lq`, `ar.S.L{s}` … `ar.S.L{P·s}`, `ma.S.L{s}` … `ma.S.L{Q·s}` (the
number is the lag); `sigma2`.
"""

from __future__ import annotations

import re
from collections.abc import Sequence

__all__ = ["clashing_exog_name", "is_param_name", "param_names"]

# Every name that `param_names` gives a model's own parameter, for some orders and trend.
_OWN_NAME = re.compile(r"intercept|drift|trend\.\d+|(ar|ma)(\.S)?\.L\d+|sigma2")


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


def is_param_name(name: str) -> bool:
    """Whether some model's own parameter (of any orders and trend) takes this name."""
    return _OWN_NAME.fullmatch(name) is not None


def clashing_exog_name(order: Sequence[int], seasonal_order: Sequence[int],
                       trend_powers: Sequence[int], exog_names: Sequence[str]) -> str | None:
    """The first regressor named like one of this model's own parameters, else None: each
    name labels one coefficient in the results and the summary."""
    own = param_names(order, seasonal_order, trend_powers, ())
    return next((name for name in exog_names if name in own), None)
