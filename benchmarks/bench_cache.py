"""Time per covariance element of SARIMA(1,0,1)(1,1,1,s) `loglike` as s grows.

Each step of the filter updates the upper triangle of the k × k covariance (k = 2s + 2)
and writes the prediction into a second buffer. While the two triangles fit in the core's
L2 cache the time per element and step stays flat; past it the step waits for L3. The
table shows where that happens on this machine, and so how fast the s = 365 model could
run if its step stayed in L2.

    python benchmarks/bench_cache.py [--budget SECONDS]

With `--cachegrind BYTES` it counts instead, under valgrind's cache simulator, the data
reads and writes per call that miss a last-level cache of BYTES (16-way, 64-byte lines):
a measure of the memory traffic that is the same on every machine, whatever its own
caches and its load.

    python benchmarks/bench_cache.py --cachegrind 2097152 [--seasons 250 365]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
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


def misses_per_call(s: int, cache: int) -> int:
    """Last-level data misses of one call, simulated: the difference between runs of
    three calls and one call (the rest of the process is the same in both), halved."""
    counts = []
    for calls in (1, 3):
        run = subprocess.run(
            ["valgrind", "--tool=cachegrind", "--cache-sim=yes", f"--LL={cache},16,64",
             "--cachegrind-out-file=/dev/null", sys.executable, __file__, "--calls",
             str(s), str(calls)], capture_output=True, text=True, check=True)
        found = re.search(r"LLd misses:\s+([\d,]+)", run.stderr)
        if found is None:
            raise RuntimeError(f"no LLd misses in valgrind's output:\n{run.stderr[-2000:]}")
        counts.append(int(found.group(1).replace(",", "")))
    return (counts[1] - counts[0]) // 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=float, default=1.0, help="seconds per season length")
    parser.add_argument("--cachegrind", type=int, metavar="BYTES",
                        help="count simulated last-level cache misses instead of timing")
    parser.add_argument("--seasons", type=int, nargs="+", default=list(SEASONS))
    parser.add_argument("--calls", type=int, nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.calls:      # the process that cachegrind runs: S calls of season S
        s, calls = args.calls
        y = simulate((1, 0, 1), (1, 1, 1, s), PARAMS, 3 * s, seed=s)
        for _ in range(calls):
            kr.loglike(y, np.array(PARAMS), (1, 0, 1), (1, 1, 1, s), [])
        return
    if args.cachegrind:
        print(f"Simulated last-level cache: {args.cachegrind / 2 ** 20:.2f} MiB, 16-way\n")
        print("| s | k_states | two upper triangles | misses per call | per element and step |")
        print("|---:|---:|---:|---:|---:|")
        for s in args.seasons:
            k, n = 2 * s + 2, 3 * s
            triangle = k * (k + 1) // 2
            m = misses_per_call(s, args.cachegrind)
            print(f"| {s} | {k} | {2 * triangle * 8 / 2 ** 20:.2f} MiB | {m:,} | "
                  f"{m / (n * triangle):.3f} |", flush=True)
        return
    l2 = l2_bytes()
    print(f"CPUs: {os.cpu_count()}; L2 per core: "
          f"{'unknown' if l2 is None else f'{l2 / 2 ** 20:.2f} MiB'}\n")
    print("| s | k_states | n | two upper triangles | median per call | ns per element and step |")
    print("|---:|---:|---:|---:|---:|---:|")
    for s in args.seasons:
        n = 3 * s
        k = 2 * s + 2
        triangle = k * (k + 1) // 2
        y = simulate((1, 0, 1), (1, 1, 1, s), PARAMS, n, seed=s)
        t = median_call(y, s, args.budget)
        print(f"| {s} | {k} | {n:,} | {2 * triangle * 8 / 2 ** 20:.2f} MiB | {t * 1e3:.2f} ms | "
              f"{t / (n * triangle) * 1e9:.3f} |")


if __name__ == "__main__":
    main()
