"""Time per covariance element of SARIMA(1,0,1)(1,1,1,s) `loglike` as s grows.

Each step of the filter updates the upper triangle of the k × k covariance (k = 2s + 2)
and writes the prediction into a second buffer. While the two triangles fit in the core's
L2 cache the time per element and step stays flat; past it the step waits for L3. The
table shows where that happens on this machine, and so how fast the s = 365 model could
run if its step stayed in L2.

    python benchmarks/bench_cache.py [--budget SECONDS]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from pathlib import Path

import numpy as np

import _korvanta_rs as kr
from bench_loglike import simulate

PARAMS = [0.5, 0.3, 0.4, 0.3, 1.0]
SEASONS = (50, 100, 150, 200, 225, 250, 275, 300, 365)


def l2_bytes() -> int | None:
    """The L2 cache of CPU 0, from sysfs; None where it is not shown."""
    base = Path("/sys/devices/system/cpu/cpu0/cache")
    for index in sorted(base.glob("index*")):
        try:
            if (index / "level").read_text().strip() == "2":
                text = (index / "size").read_text().strip()
                units = {"K": 1024, "M": 1024 ** 2}
                return int(text[:-1]) * units[text[-1]] if text[-1] in units else int(text)
        except (OSError, ValueError):
            return None
    return None


def median_call(y: np.ndarray, s: int, budget: float) -> float:
    kw = dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, s), trend_powers=())
    params = np.array(PARAMS)
    kr.loglike(y, params, **kw)
    times: list[float] = []
    end = time.perf_counter() + budget
    while time.perf_counter() < end or len(times) < 3:
        t0 = time.perf_counter()
        kr.loglike(y, params, **kw)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=float, default=1.0, help="seconds per season length")
    args = parser.parse_args()
    l2 = l2_bytes()
    print(f"CPUs: {os.cpu_count()}; L2 per core: "
          f"{'unknown' if l2 is None else f'{l2 / 2 ** 20:.2f} MiB'}\n")
    print("| s | k_states | n | two upper triangles | median per call | ns per element and step |")
    print("|---:|---:|---:|---:|---:|---:|")
    for s in SEASONS:
        n = 3 * s
        k = 2 * s + 2
        triangle = k * (k + 1) // 2
        y = simulate((1, 0, 1), (1, 1, 1, s), PARAMS, n, seed=s)
        t = median_call(y, s, args.budget)
        print(f"| {s} | {k} | {n:,} | {2 * triangle * 8 / 2 ** 20:.2f} MiB | {t * 1e3:.2f} ms | "
              f"{t / (n * triangle) * 1e9:.3f} |")


if __name__ == "__main__":
    main()
