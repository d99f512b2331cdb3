"""How much other Python threads get done while the module computes.

    python benchmarks/bench_threads.py              # the table
    python benchmarks/bench_threads.py --tries 5    # calls measured per row

A ticker thread counts loop iterations as fast as it can and remembers the longest pause
between two of them. Its rate on its own is compared with its rate while the main thread
makes one call of about `--target` seconds: `loglike_grad` releases the interpreter lock
for the whole computation (parallel or serial), so the ticker should keep a good part of
its rate (it shares the CPUs with the computation) and never pause for long; `loglike`
holds the lock, so the ticker stops for nearly the whole call. (The tests check the same
property without clocks; these are the figures.)
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time

import numpy as np

from bench_grad import fmt_time, table

import _korvanta_rs as kr

SEASONAL = dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 52), trend_powers=[], tolerance=0.0)
U_SEASONAL = np.array([0.3, 0.2, 0.1, 0.2, 1.0])


class Ticker(threading.Thread):
    """Counts loop iterations and remembers the longest pause between two of them."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.max_gap = 0.0
        self.stop = False

    def run(self):
        last = time.perf_counter()
        while not self.stop:
            now = time.perf_counter()
            if now - last > self.max_gap:
                self.max_gap = now - last
            last = now
            self.count += 1

    def watch(self, fn):
        """(iterations per second, longest pause, duration) while fn runs."""
        self.max_gap = 0.0
        c0, t0 = self.count, time.perf_counter()
        fn()
        duration = time.perf_counter() - t0
        return (self.count - c0) / duration, self.max_gap, duration


def long_call(call, target):
    """A zero-argument call of `call(y)` on a series long enough to take `target` seconds."""
    n = 250
    while True:
        y = np.random.default_rng(n).standard_normal(n)
        t0 = time.perf_counter()
        call(y)
        if time.perf_counter() - t0 >= target or n >= 1 << 20:
            return lambda: call(y), n
        n *= 2


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--target", type=float, default=0.3, help="seconds per measured call (default 0.3)")
    ap.add_argument("--tries", type=int, default=3, help="calls measured per row; the median is shown (default 3)")
    args = ap.parse_args()
    params = kr.transform_params(U_SEASONAL, **{k: v for k, v in SEASONAL.items() if k != "tolerance"})
    calls = [
        ("loglike_grad, parallel", lambda y: kr.loglike_grad(y, U_SEASONAL, **SEASONAL, parallel=True)),
        ("loglike_grad, serial", lambda y: kr.loglike_grad(y, U_SEASONAL, **SEASONAL, parallel=False)),
        ("loglike", lambda y: kr.loglike(y, params, **SEASONAL)),
    ]
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"CPUs available to the process: {cpus}; switch interval {sys.getswitchinterval() * 1e3:g} ms")
    print("Model (1,0,1)(1,1,1,52), tolerance=0; the series length is chosen so that one call takes "
          f"about {args.target:g} s.")
    print()

    ticker = Ticker()
    ticker.start()
    free_rate, _, _ = ticker.watch(lambda: time.sleep(0.2))
    rows = []
    for label, call in calls:
        fn, n = long_call(call, args.target)
        runs = sorted((ticker.watch(fn) for _ in range(args.tries)), key=lambda r: r[0])
        rate, gap, duration = runs[len(runs) // 2]
        rows.append((label, f"{n:,}", fmt_time(duration), f"{rate:,.0f}", f"{rate / free_rate:.1%}",
                     fmt_time(gap), f"{gap / duration:.0%}"))
    ticker.stop = True
    ticker.join()
    print(f"Ticker alone: {free_rate:,.0f} iterations per second.")
    print()
    print(table(("call", "n", "call time", "ticker rate (1/s)", "of its rate alone", "longest pause",
                 "pause / call time"), rows))


if __name__ == "__main__":
    main()
