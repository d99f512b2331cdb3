"""Time and memory of one log-likelihood evaluation for a range of model sizes.

Every case runs in a fresh interpreter so that its peak memory is its own. The parent
simulates the data, hands it to the child in a temporary .npy file and prints a markdown
table of what the children report.

    python benchmarks/bench_loglike.py                 # all cases
    python benchmarks/bench_loglike.py --budget 1      # seconds of timing per case
    python benchmarks/bench_loglike.py --only arma22   # cases whose name contains this

Needs numpy and scipy (for the simulation) besides the module.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
AIRLINE_CSV = HERE.parent / "data" / "airline_passengers.csv"


def simulate(order, seasonal_order, params, n, seed):
    """A SARIMA series with standard normal shocks scaled by sqrt(sigma2); ARMA part
    simulated with a burn-in, then integrated d times and D times at period s."""
    from scipy.signal import lfilter

    p, d, q = order
    P, D, Q, s = seasonal_order
    phi, theta = params[:p], params[p:p + q]
    sphi, stheta = params[p + q:p + q + P], params[p + q + P:p + q + P + Q]
    sigma2 = params[-1]
    ar = np.r_[1.0, -np.asarray(phi)]
    ma = np.r_[1.0, np.asarray(theta)]
    if P:
        sar = np.zeros(P * s + 1)
        sar[0], sar[s::s] = 1.0, -np.asarray(sphi)
        ar = np.convolve(ar, sar)
    if Q:
        sma = np.zeros(Q * s + 1)
        sma[0], sma[s::s] = 1.0, np.asarray(stheta)
        ma = np.convolve(ma, sma)
    burn = 10 * len(ar) + 100
    rng = np.random.default_rng(seed)
    x = lfilter(ma, ar, rng.standard_normal(n + burn) * np.sqrt(sigma2))[burn:]
    for _ in range(D):
        x = lfilter([1.0], np.r_[1.0, np.zeros(s - 1), -1.0], x)
    for _ in range(d):
        x = np.cumsum(x)
    return np.ascontiguousarray(x)


def airline_series():
    values = np.loadtxt(AIRLINE_CSV, delimiter=",", skiprows=1, usecols=1)
    return np.log(values)


def cases():
    """(name, label, order, seasonal_order, constrained params, n; None for the airline data)."""
    out = [
        ("ar1", "AR(1)", (1, 0, 0), (0, 0, 0, 0), [0.5, 1.0], 1_000),
        ("arima111", "ARIMA(1,1,1)", (1, 1, 1), (0, 0, 0, 0), [0.5, 0.3, 1.0], 1_000),
        ("airline", "airline (0,1,1)x(0,1,1,12), log passengers", (0, 1, 1), (0, 1, 1, 12),
         [-0.4, -0.56, 0.00135], None),
        ("sarima52", "SARIMA(1,0,1)(1,1,1,52)", (1, 0, 1), (1, 1, 1, 52), [0.5, 0.3, 0.4, 0.3, 1.0], 520),
        ("sarima365", "SARIMA(1,0,1)(1,1,1,365)", (1, 0, 1), (1, 1, 1, 365), [0.5, 0.3, 0.4, 0.3, 1.0], 1_095),
    ]
    for n in (1_000, 10_000, 100_000, 1_000_000):
        out.append((f"arma22-{n}", "ARMA(2,2)", (2, 0, 2), (0, 0, 0, 0), [0.5, 0.2, 0.3, 0.1, 1.0], n))
    return out


CHILD = r"""
import json, sys, time
import numpy as np
import _korvanta_rs as km

cfg = json.loads(sys.argv[1])
y = np.load(cfg["data"])
params = np.array(cfg["params"])
model = dict(order=tuple(cfg["order"]), seasonal_order=tuple(cfg["seasonal_order"]), trend_powers=[])


def status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])


# ru_maxrss would include the image this process was started from and the transient peak of
# importing numpy; reset the high-water mark instead, so that what rises above the current
# resident size is the evaluations' own memory.
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    peak_reset = True
except OSError:
    peak_reset = False
rss_before = status_kib("VmRSS")

t0 = time.perf_counter()
value = km.loglike(y, params, **model)
first = time.perf_counter() - t0
times = [first]
repeats = int(min(cfg["max_repeats"], cfg["budget"] / max(first, 1e-9)))
for _ in range(repeats - 1):
    t0 = time.perf_counter()
    km.loglike(y, params, **model)
    times.append(time.perf_counter() - t0)
peak_after = status_kib("VmHWM")

# Steady state: the first index from which the forecast variance stays exactly constant
# to the end of the series (None when it still changes at the last step).
variances = km.filter_paths(y, params, **model)[2]
changes = np.flatnonzero(variances[1:] != variances[:-1])
start = int(changes[-1]) + 1 if changes.size else 0
steady = start if start < len(y) - 1 else None

print(json.dumps(dict(times=times, loglike=value, steady=steady,
                      k_states=km.spec_dims(**model)[0],
                      extra_kib=peak_after - rss_before if peak_reset else None)))
"""


def run_case(case, budget, tmp):
    name, label, order, seasonal_order, params, n = case
    y = airline_series() if n is None else simulate(order, seasonal_order, params, n, seed=len(name))
    path = os.path.join(tmp, f"{name}.npy")
    np.save(path, y)
    cfg = dict(data=path, params=params, order=order, seasonal_order=seasonal_order,
               budget=budget, max_repeats=1000)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")  # no idle BLAS threads in the child
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(cfg)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"{name} failed:\n{proc.stderr}")
    res = json.loads(proc.stdout)
    res.update(label=label, n=len(y))
    return res


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--budget", type=float, default=3.0, help="seconds of timing per case (default 3)")
    ap.add_argument("--only", default="", help="run only the cases whose name contains this")
    args = ap.parse_args()

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for case in cases():
            if args.only in case[0]:
                r = run_case(case, args.budget, tmp)
                med = float(np.median(r["times"]))
                rows.append((r["label"], f"{r['n']:,}", str(r["k_states"]), str(len(r["times"])), fmt_time(med),
                             fmt_time(med / r["n"]),
                             "-" if r["steady"] is None else str(r["steady"]),
                             "?" if r["extra_kib"] is None else f"{r['extra_kib'] / 1024:.2f}"))
                print(f"  done: {r['label']} n={r['n']}", file=sys.stderr, flush=True)

    header = ("model", "n", "k_states", "calls", "median per call", "per observation",
              "steady state from", "peak extra memory (MiB)")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
