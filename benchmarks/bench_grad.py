"""Serial against parallel loglike_grad, and a complete maximum-likelihood fit.

    python benchmarks/bench_grad.py              # both tables
    python benchmarks/bench_grad.py --budget 1   # seconds of timing per table row

The pool has one worker per CPU available to the process; set KORVANTA_RS_NUM_THREADS to
override it. Needs numpy and scipy besides the module.
"""

from __future__ import annotations

import argparse
import os
import time
from pathlib import Path

# Keep BLAS from starting threads of its own that would compete with the worker pool.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.optimize import minimize  # noqa: E402
from scipy.signal import lfilter  # noqa: E402

import _korvanta_rs as km  # noqa: E402

AIRLINE_CSV = Path(__file__).resolve().parent.parent / "data" / "airline_passengers.csv"
NONE = (0, 0, 0, 0)


def median_times(fns, budget, max_repeats=500):
    """Median wall time of each function, called in turn (so that a change in the machine's
    load affects all of them alike) for as many rounds as fit in `budget` seconds, at least 3."""
    times = [[] for _ in fns]
    start = time.perf_counter()
    while True:
        for fn, out in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t0)
        rounds = len(times[0])
        if rounds >= max_repeats or (rounds >= 3 and time.perf_counter() - start > budget):
            return [float(np.median(t)) for t in times]


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(map(str, row)) + " |" for row in rows]
    return "\n".join(lines)


def arma_series(phi, theta, n, seed):
    rng = np.random.default_rng(seed)
    burn = 500
    return lfilter(np.r_[1.0, theta], np.r_[1.0, -np.asarray(phi)], rng.standard_normal(n + burn))[burn:].copy()


def gradient_table(budget):
    # ARMA(p,p) plus the variance: 3, 5 and 9 parameters. tolerance=0 keeps the covariance
    # recursion running at every step, so each evaluation costs the same whatever the data.
    models = [
        ((1, 0, 1), [0.5], [0.3]),
        ((2, 0, 2), [0.5, 0.2], [0.3, 0.1]),
        ((4, 0, 4), [0.3, 0.2, 0.1, 0.1], [0.3, 0.2, 0.1, 0.05]),
    ]
    rows = []
    for order, phi, theta in models:
        params = np.array(phi + theta + [1.0])
        u = km.untransform_params(params, order, NONE, [])
        for n in (1_000, 10_000):
            y = arma_series(phi, theta, n, seed=n + len(phi))
            serial = km.loglike_grad(y, u, order, NONE, [], tolerance=0.0, parallel=False)
            parallel = km.loglike_grad(y, u, order, NONE, [], tolerance=0.0, parallel=True)
            assert serial[0] == parallel[0] and serial[1].tobytes() == parallel[1].tobytes()
            t_one, t_ser, t_par = median_times(
                [lambda: km.loglike_u(y, u, order, NONE, [], tolerance=0.0),
                 lambda: km.loglike_grad(y, u, order, NONE, [], tolerance=0.0, parallel=False),
                 lambda: km.loglike_grad(y, u, order, NONE, [], tolerance=0.0, parallel=True)], budget)
            rows.append((len(u), f"ARMA({order[0]},{order[2]})", f"{n:,}", fmt_time(t_one), fmt_time(t_ser),
                         fmt_time(t_par), f"{t_ser / t_par:.2f}x"))
    return table(("params", "model", "n", "one loglike_u", "serial gradient", "parallel gradient", "speed-up"), rows)


def airline_fit_table():
    y = np.log(np.loadtxt(AIRLINE_CSV, delimiter=",", skiprows=1, usecols=1))
    order, seasonal = (0, 1, 1), (0, 1, 1, 12)
    dd = np.diff(y[12:] - y[:-12])
    x0 = km.untransform_params(np.array([0.0, 0.0, np.var(dd)]), order, seasonal, [])

    def with_grad(parallel):
        def fun(u):
            f, g = km.loglike_grad(y, u, order, seasonal, [], parallel=parallel)
            return -f, -g
        return dict(fun=fun, jac=True)

    def finite_differences():
        return dict(fun=lambda u: -km.loglike_u(y, u, order, seasonal, []))

    rows = []
    for label, kw in (("loglike_grad, parallel", with_grad(True)),
                      ("loglike_grad, serial", with_grad(False)),
                      ("loglike_u, scipy's own finite differences", finite_differences())):
        walls = []
        for _ in range(3):
            t0 = time.perf_counter()
            res = minimize(x0=x0, method="L-BFGS-B", **kw)
            walls.append(time.perf_counter() - t0)
        wall = float(np.median(walls))
        est = km.transform_params(res.x, order, seasonal, [])
        rows.append((label, fmt_time(wall), res.nfev, res.nit, f"{-res.fun:.4f}",
                     f"{est[0]:.4f}", f"{est[1]:.4f}", f"{est[2]:.6f}", "yes" if res.success else res.message))
    return table(("objective", "wall time (median of 3)", "nfev", "nit", "loglike", "ma.L1", "ma.S.L12", "sigma2", "converged"),
                 rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--budget", type=float, default=3.0, help="seconds of timing per table row (default 3)")
    args = ap.parse_args()
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    override = os.environ.get("KORVANTA_RS_NUM_THREADS")
    print(f"CPUs available to the process: {cpus}" + (f"; KORVANTA_RS_NUM_THREADS={override}" if override else ""))
    print()
    print("Gradient (median wall time per call; tolerance=0):")
    print()
    print(gradient_table(args.budget))
    print()
    print("Maximum-likelihood fit of the airline model (0,1,1)x(0,1,1,12), log passengers, L-BFGS-B from (0, 0, var):")
    print()
    print(airline_fit_table())


if __name__ == "__main__":
    main()
