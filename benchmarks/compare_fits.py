#!/usr/bin/env python3
"""Complete maximum-likelihood fits: korvanta against statsmodels and statsforecast.

For each public data set and model (the rows of data/README's known optima) the three
libraries fit the same SARIMAX model to the same data in one run, interleaved, and the
script prints a markdown table of the median wall time of a complete fit and the
log-likelihood each reports at its estimate.  The peers are used as black boxes through
their public APIs: statsmodels' `SARIMAX(...).fit(disp=False)` and statsforecast's
`ARIMA(...).fit(y, X)` with their defaults.  statsforecast compiles its code with numba
on its first call: that first call is timed separately and excluded from the median.

    pip install ".[bench]"
    python benchmarks/compare_fits.py [--repeats 15]

BLAS is single-threaded (OPENBLAS_NUM_THREADS=1 unless set): every library's small
matrix work is then faster on a shared 2-core machine.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import korvanta  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data"


def column(file: str, name: str) -> np.ndarray:
    table = np.genfromtxt(DATA / file, delimiter=",", names=True)
    return np.ascontiguousarray(table[name], dtype=float)


def cases():
    sun = column("sunspots.csv", "sunactivity")
    yield ("airline (log)", np.log(column("airline_passengers.csv", "passengers")), None,
           (0, 1, 1), (0, 1, 1, 12), None, 244.6965)
    yield "Nile", column("nile.csv", "volume"), None, (0, 1, 1), (0, 0, 0, 0), None, -632.5377
    yield "sunspots", sun, None, (2, 0, 0), (0, 0, 0, 0), "c", -1307.3182
    yield "sunspots", sun, None, (3, 0, 1), (0, 0, 0, 0), "c", -1304.0610
    yield ("US infl", column("macrodata.csv", "infl"), None, (1, 0, 1), (0, 0, 0, 0), "c",
           -456.0756)
    yield ("US log realcons ~ log realgdp", np.log(column("macrodata.csv", "realcons")),
           np.log(column("macrodata.csv", "realgdp"))[:, None], (1, 1, 0), (0, 0, 0, 0), None,
           741.8541)


def fit_korvanta(y, X, order, seasonal, trend):
    res = korvanta.fit(y, order, seasonal, trend, X)
    return res.llf, res.n_evaluations


def fit_statsmodels(y, X, order, seasonal, trend):
    from statsmodels.tsa.statespace.sarimax import SARIMAX

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = SARIMAX(y, exog=X, order=order, seasonal_order=seasonal, trend=trend).fit(
            disp=False)
    return float(res.llf), int(res.mle_retvals.get("fcalls", 0))


def fit_statsforecast(y, X, order, seasonal, trend):
    from statsforecast.models import ARIMA

    model = ARIMA(order=order, season_length=max(seasonal[3], 1),
                  seasonal_order=tuple(seasonal[:3]), include_mean=trend == "c")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fitted = model.fit(y, X=X)
    return float(fitted.model_["loglik"]), 0


LIBRARIES = {"korvanta": fit_korvanta, "statsmodels": fit_statsmodels,
             "statsforecast": fit_statsforecast}


def model_text(order, seasonal, trend, X):
    text = f"{order}"
    if any(seasonal[:3]):
        text += f"x{seasonal}"
    if trend:
        text += f" trend {trend}"
    if X is not None:
        text += " + exog"
    return text


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeats", type=int, default=15, help="timed fits per library and row")
    args = ap.parse_args()

    import scipy
    import statsforecast
    import statsmodels

    print(f"Python {platform.python_version()}, NumPy {np.__version__}, SciPy "
          f"{scipy.__version__}, statsmodels {statsmodels.__version__}, statsforecast "
          f"{statsforecast.__version__}; {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}; OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']}")
    import _korvanta_rs as kr

    y = np.log(column("airline_passengers.csv", "passengers"))
    params = np.array([-0.4018, -0.5569, 0.0013481])
    ts = []
    for _ in range(300):
        t0 = time.perf_counter()
        kr.loglike(y, params, (0, 1, 1), (0, 1, 1, 12), [])
        ts.append(time.perf_counter() - t0)
    print(f"One airline loglike call in this run: {statistics.median(ts) * 1e6:.0f} µs "
          "(median of 300); the fit times scale with it.")
    print()
    print("| data | model | korvanta ms | korvanta llf | grad calls | statsmodels ms | "
          "statsmodels llf | statsforecast ms (first call) | statsforecast llf | "
          "known optimum | speed-up vs statsmodels | vs statsforecast |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, y, X, order, seasonal, trend, known in cases():
        first = {}
        for lib, fn in LIBRARIES.items():      # warm-up (statsforecast: numba JIT)
            t0 = time.perf_counter()
            fn(y, X, order, seasonal, trend)
            first[lib] = time.perf_counter() - t0
        times = {lib: [] for lib in LIBRARIES}
        out = {}
        for _ in range(args.repeats):
            for lib, fn in LIBRARIES.items():  # interleaved: the same load for all
                t0 = time.perf_counter()
                out[lib] = fn(y, X, order, seasonal, trend)
                times[lib].append(time.perf_counter() - t0)
        med = {lib: statistics.median(ts) * 1e3 for lib, ts in times.items()}
        print(f"| {name} | {model_text(order, seasonal, trend, X)} | {med['korvanta']:.2f} | "
              f"{out['korvanta'][0]:.4f} | {out['korvanta'][1]} | {med['statsmodels']:.1f} | "
              f"{out['statsmodels'][0]:.4f} | {med['statsforecast']:.1f} "
              f"({first['statsforecast'] * 1e3:.0f}) | {out['statsforecast'][0]:.4f} | "
              f"{known} | {med['statsmodels'] / med['korvanta']:.0f}x | "
              f"{med['statsforecast'] / med['korvanta']:.1f}x |")
        sys.stdout.flush()
    print()
    print("ms: median wall time of a complete fit (input checks, start values, search, "
          "final likelihood; korvanta's standard errors are computed when first asked "
          "for). llf: the log-likelihood each library reports at its own estimate.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
