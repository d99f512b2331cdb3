"""A fixed set of calls of all ten functions, every result printed as float.hex().

The output is the module's bit-for-bit fingerprint: it must be identical on every platform
and compiler the wheel claims, and after any change to the kernel that is meant to keep the
results. `tests/data/bitcheck.txt` holds the expected output; `test_bitcheck.py` compares.

    python tests/bitcheck.py > out.txt && diff out.txt tests/data/bitcheck.txt

Inputs are made with IEEE basic arithmetic only (no libm calls), so that they are the same
bits wherever this script runs.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator

import numpy as np

import _korvanta_rs as kr


class Lcg:
    """64-bit linear congruential generator: uniforms k / 2^53 in [0, 1)."""

    def __init__(self, seed: int) -> None:
        self.state = seed & (2**64 - 1)

    def uniform(self) -> float:
        self.state = (6364136223846793005 * self.state + 1442695040888963407) & (2**64 - 1)
        return (self.state >> 11) / 9007199254740992.0

    def noise(self) -> float:
        """Roughly normal: a centred sum of four uniforms (variance 1/3)."""
        return ((self.uniform() + self.uniform()) + (self.uniform() + self.uniform())) - 2.0


def arma_series(n: int, phi: list[float], theta: list[float], seed: int, integrate: int = 0,
                season: int = 0, level: float = 0.0) -> np.ndarray:
    rng = Lcg(seed)
    e = [rng.noise() for _ in range(n + 50)]
    x = [0.0] * (n + 50)
    for t in range(n + 50):
        v = e[t]
        for i, c in enumerate(phi, 1):
            if t >= i:
                v = v + c * x[t - i]
        for i, c in enumerate(theta, 1):
            if t >= i:
                v = v + c * e[t - i]
        x[t] = v
    out = x[50:]
    for _ in range(integrate):
        acc, cum = 0.0, []
        for v in out:
            acc = acc + v
            cum.append(acc)
        out = cum
    if season:
        out = [out[t] + (out[t - season] if t >= season else 0.0) for t in range(n)]
    return np.array([v + level for v in out])


def airline() -> np.ndarray:
    # Passenger counts / 100: parsing and division are correctly rounded everywhere.
    counts = [112, 118, 132, 129, 121, 135, 148, 148, 136, 119, 104, 118, 115, 126, 141, 135, 125,
              149, 170, 170, 158, 133, 114, 140, 145, 150, 178, 163, 172, 178, 199, 199, 184, 162,
              146, 166, 171, 180, 193, 181, 183, 218, 230, 242, 209, 191, 172, 194, 196, 196, 236,
              235, 229, 243, 264, 272, 237, 211, 180, 201, 204, 188, 235, 227, 234, 264, 302, 293,
              259, 229, 203, 229, 242, 233, 267, 269, 270, 315, 364, 347, 312, 274, 237, 278, 284,
              277, 317, 313, 318, 374, 413, 405, 355, 306, 271, 306, 315, 301, 356, 348, 355, 422,
              465, 467, 404, 347, 305, 336, 340, 318, 362, 348, 363, 435, 491, 505, 404, 359, 310,
              337, 360, 342, 406, 396, 420, 472, 548, 559, 463, 407, 362, 405, 417, 391, 419, 461,
              472, 535, 622, 606, 508, 461, 390, 432]
    return np.array([c / 100.0 for c in counts])


def cases() -> Iterator[tuple[str, np.ndarray, np.ndarray, dict, dict]]:
    """(name, y, params, model keywords, extra keywords for the series functions)."""
    yield ("airline", airline(), np.array([-0.4, -0.56, 0.0135]),
           dict(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12), trend_powers=[]), {})
    arma = arma_series(300, [0.6], [0.3], seed=1)
    yield ("arma11_steady", arma, np.array([0.6, 0.3, 0.33]),
           dict(order=(1, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[]), {})
    yield ("arma11_no_steady", arma, np.array([0.6, 0.3, 0.33]),
           dict(order=(1, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[]), dict(tolerance=0.0))
    steady_gaps = arma.copy()
    steady_gaps[[100, 101, 150, 299]] = np.nan
    yield ("arma11_steady_gaps", steady_gaps, np.array([0.6, 0.3, 0.33]),
           dict(order=(1, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[]), {})
    gaps = arma_series(90, [0.5], [], seed=2, season=4, level=3.0)
    gaps[[5, 6, 40, 89]] = np.nan
    yield ("sarima_trend_missing", gaps, np.array([0.7, 0.01, 0.4, -0.2, 0.3, -0.5, 0.35]),
           dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 4), trend_powers=[0, 1], trend_offset=3.0), {})
    n = 80
    rng = Lcg(3)
    x1 = np.array([rng.uniform() for _ in range(n + 6)])
    x2 = np.array([float(t % 7) for t in range(n + 6)])
    yr = arma_series(n, [0.4], [], seed=4, integrate=1) + 2.0 * x1[:n] - 0.5 * x2[:n]
    exog = np.concatenate([x1[:n], x2[:n]])
    exog_future = np.concatenate([x1[n:], x2[n:]])
    yield ("regression_concentrated", yr, np.array([2.0, -0.5, 0.4, -0.3]),
           dict(order=(1, 1, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[], k_exog=2,
                concentrate_scale=True),
           dict(exog=exog, exog_future=exog_future))
    yield ("not_stationary_d2", arma_series(60, [0.3, -0.2], [], seed=5, integrate=2),
           np.array([0.3, -0.2, 0.5, 1.1]),
           dict(order=(2, 2, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[],
                enforce_stationarity=False, enforce_invertibility=False), {})
    yield ("seasonal_d2_D2", arma_series(70, [0.2], [], seed=6, integrate=1, season=3),
           np.array([0.01, 0.2, 0.2, 0.5, -0.3, 0.7, 0.9]),
           dict(order=(1, 1, 0), seasonal_order=(2, 2, 1, 3), trend_powers=[2, 0]),
           dict(diffuse_variance=1e4))
    yield ("degenerate", arma_series(40, [], [], seed=7), np.array([0.0]),
           dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[]), {})
    yield ("weekly", arma_series(160, [0.5], [0.2], seed=8, season=52), np.array([0.5, 0.2, 0.3, -0.4, 1.0]),
           dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 52), trend_powers=[]), {})
    # 302 states: enough for the covariance prediction to alternate the direction of its
    # copies from step to step; the gaps give steps without an update in both directions.
    long_season = arma_series(460, [0.5], [0.2], seed=9, season=150)
    long_season[[3, 200, 201, 377]] = np.nan
    yield ("long_season", long_season, np.array([0.5, 0.2, 0.3, -0.4, 1.0]),
           dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 150), trend_powers=[]), {})


def fmt(value: object) -> str:
    if isinstance(value, tuple):
        return " | ".join(fmt(v) for v in value)
    if isinstance(value, np.ndarray):
        return " ".join(float(v).hex() for v in value)
    if isinstance(value, float):
        return value.hex()
    return repr(value)


def lines() -> Iterator[str]:
    for name, y, params, model, extra in cases():
        exog = extra.get("exog")
        filt = dict(exog=exog, diffuse_variance=extra.get("diffuse_variance", 1e6),
                    tolerance=extra.get("tolerance", 1e-19))
        u = kr.untransform_params(params, **model)
        calls = {
            "spec_dims": lambda: kr.spec_dims(model["order"], model["seasonal_order"], model["trend_powers"],
                                              model.get("k_exog", 0), model.get("trend_offset", 1.0)),
            "untransform_params": lambda: u,
            "transform_params": lambda: kr.transform_params(u, **model),
            "loglike": lambda: kr.loglike(y, params, **model, **filt),
            "loglike_u": lambda: kr.loglike_u(y, u, **model, **filt),
            "loglike_grad": lambda: kr.loglike_grad(y, u, **model, **filt, parallel=False),
            "loglike_grad_parallel": lambda: kr.loglike_grad(y, u, **model, **filt, parallel=True),
            "loglike_grad_epsilon": lambda: kr.loglike_grad(y, u, **model, **filt, epsilon=1e-5),
            "filter_paths": lambda: kr.filter_paths(y, params, **model, **filt),
            "loglikeobs": lambda: kr.loglikeobs(y, params, **model, **filt),
            "forecast": lambda: kr.forecast(y, params, horizon=6, exog_future=extra.get("exog_future"),
                                            **model, **filt),
        }
        if not model.get("concentrate_scale"):
            short = params[:-1].copy()
            plain = {key: v for key, v in model.items() if key != "concentrate_scale"}
            calls["concentrated_scale"] = lambda: kr.concentrated_scale(y, short, **plain, **filt)
        for fn, call in calls.items():
            yield f"{name} {fn}: {fmt(call())}"


def main() -> None:
    for line in lines():
        sys.stdout.write(line + "\n")


if __name__ == "__main__":
    main()
