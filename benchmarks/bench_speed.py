"""One run of every speed figure the kernel is held to, printed as markdown tables.

    python benchmarks/bench_speed.py                # everything (a minute or two)
    python benchmarks/bench_speed.py --quick        # shorter timing budgets

- `loglike` for the airline model, ARMA(1,1) n = 1,000, SARIMA(1,0,1)(1,1,1,52) n = 520 and
  SARIMA(1,0,1)(1,1,1,365) n = 1,095 (its peak memory too), against statsmodels' SARIMAX
  where it is installed (a black box, `pip install statsmodels`);
- `loglike_grad` and a complete airline fit (L-BFGS-B with `loglike_grad`) with one thread
  (`KORVANTA_RS_NUM_THREADS=1`) and with the default pool, first on the idle machine, then
  while other processes keep every core busy (the script starts and stops them itself);
- 30 airline-size fits in a row on the busy machine, fits per second;
- instructions per call of `loglike` and `loglike_grad` (airline) where valgrind is installed.

Every figure comes from a fresh interpreter (the pool size is fixed when the pool starts);
times are the best of several rounds of repeated calls. The "interleaved" rows compare one
thread (`parallel=False`) and the pool within one interpreter, in alternating rounds, by
their medians: on a busy machine the load moves from one second to the next, and figures
from two interpreters run one after the other compare two different machines. Needs numpy and scipy.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
AIRLINE_CSV = HERE.parent / "data" / "airline_passengers.csv"

CHILD = r"""
import json, sys, time, resource
import numpy as np
import _korvanta_rs as kr

task, budget = sys.argv[1], float(sys.argv[2])
air = np.log(np.loadtxt(sys.argv[3], delimiter=",", skiprows=1, usecols=1))
rng = np.random.default_rng(0)
AIRLINE = dict(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12), trend_powers=[])
P_AIRLINE = np.array([-0.4, -0.56, 0.00135])
MODELS = {
    "airline": (air, P_AIRLINE, AIRLINE),
    "arma11": (rng.standard_normal(1000), np.array([0.5, 0.3, 1.0]),
               dict(order=(1, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[])),
    "sarima52": (rng.standard_normal(520).cumsum(), np.array([0.5, 0.3, 0.2, 0.3, 1.0]),
                 dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 52), trend_powers=[])),
    "sarima365": (rng.standard_normal(1095).cumsum(), np.array([0.5, 0.3, 0.2, 0.3, 1.0]),
                  dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 365), trend_powers=[])),
}

def best(fn):
    fn()
    t0 = time.perf_counter(); fn(); once = max(time.perf_counter() - t0, 1e-7)
    reps = max(1, int(budget / 7 / once))
    times = []
    for _ in range(7):
        t0 = time.perf_counter()
        for _ in range(reps):
            fn()
        times.append((time.perf_counter() - t0) / reps)
    return min(times)

def airline_fit(parallel=True):
    from scipy.optimize import minimize
    dd = np.diff(air[12:] - air[:-12])
    x0 = kr.untransform_params(np.array([0.0, 0.0, np.var(dd)]), **AIRLINE)
    calls = [0]
    def fun(u):
        calls[0] += 1
        value, grad = kr.loglike_grad(air, u, **AIRLINE, parallel=parallel)
        return -value, -grad
    res = minimize(fun, x0, jac=True, method="L-BFGS-B")
    return res, calls[0]

out = {}
if task.startswith("loglike:"):
    y, p, model = MODELS[task.split(":")[1]]
    out["seconds"] = best(lambda: kr.loglike(y, p, **model))
    out["peak_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
elif task == "memory365":
    y, p, model = MODELS["sarima365"]
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    kr.loglike(y, p, **model)
    out["extra_mib"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024
elif task == "grad":
    u = kr.untransform_params(P_AIRLINE, **AIRLINE)
    out["seconds"] = best(lambda: kr.loglike_grad(air, u, **AIRLINE))
elif task == "fit":
    res, calls = airline_fit()
    out["seconds"] = best(airline_fit)
    out["calls"] = calls
    out["loglike"] = -float(res.fun)
elif task.startswith("pair:"):
    # One thread against the pool in the same process, in alternating rounds (the order
    # flips every round), so that both see the same machine: the medians of the rounds.
    u = kr.untransform_params(P_AIRLINE, **AIRLINE)
    fn = (lambda par: kr.loglike_grad(air, u, **AIRLINE, parallel=par)) if task == "pair:grad" else airline_fit
    fn(False); fn(True)
    t0 = time.perf_counter(); fn(False); once = max(time.perf_counter() - t0, 1e-7)
    rounds = 15
    reps = max(1, int(budget / (2 * rounds) / once))
    times = {False: [], True: []}
    for r in range(rounds):
        for par in ((False, True) if r % 2 == 0 else (True, False)):
            t0 = time.perf_counter()
            for _ in range(reps):
                fn(par)
            times[par].append((time.perf_counter() - t0) / reps)
    out["one"], out["pool"] = (float(np.median(times[par])) for par in (False, True))
elif task == "fits30":
    t0 = time.perf_counter()
    for _ in range(30):
        airline_fit()
    out["fits_per_second"] = 30 / (time.perf_counter() - t0)
elif task.startswith("statsmodels:"):
    import warnings
    from statsmodels.tsa.statespace.sarimax import SARIMAX
    y, p, model = MODELS[task.split(":")[1]]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mod = SARIMAX(y, order=model["order"], seasonal_order=model["seasonal_order"])
        out["seconds"] = best(lambda: mod.loglike(p))
elif task.startswith("instructions:"):
    what = task.split(":")[1]
    u = kr.untransform_params(P_AIRLINE, **AIRLINE)
    fn = (lambda: kr.loglike(air, P_AIRLINE, **AIRLINE)) if what == "loglike" else \
         (lambda: kr.loglike_grad(air, u, **AIRLINE, parallel=False))
    for _ in range(int(budget)):
        fn()
print(json.dumps(out))
"""


def child(task, budget, threads=None):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    if threads is not None:
        env["KORVANTA_RS_NUM_THREADS"] = str(threads)
    proc = subprocess.run([sys.executable, "-c", CHILD, task, str(budget), str(AIRLINE_CSV)],
                          capture_output=True, text=True, env=env, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def spin(stop_at):
    while time.time() < stop_at:
        pass


class Busy:
    """Keeps every core busy with plain spinning processes while the block runs."""

    def __enter__(self):
        ctx = multiprocessing.get_context("spawn")
        self.procs = [ctx.Process(target=spin, args=(time.time() + 3600,)) for _ in range(os.cpu_count() or 1)]
        for p in self.procs:
            p.start()
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            p.join()


def instructions(what, calls):
    """Instructions per call (callgrind): the difference between `calls` + 1 and 1 calls."""
    if shutil.which("valgrind") is None:
        return None
    counts = []
    for n in (1, calls + 1):
        with tempfile.TemporaryDirectory() as tmp:
            proc = subprocess.run(
                ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/out", sys.executable, "-c", CHILD,
                 f"instructions:{what}", str(n), str(AIRLINE_CSV)],
                capture_output=True, text=True, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
            line = [x for x in proc.stderr.splitlines() if "Collected" in x][-1]
            counts.append(int(line.split()[-1]))
    return (counts[1] - counts[0]) / calls


def us(seconds):
    return f"{seconds * 1e6:,.1f} µs" if seconds < 1e-2 else f"{seconds * 1e3:,.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="shorter timing budgets")
    args = parser.parse_args()
    budget = 0.5 if args.quick else 2.0
    try:
        import statsmodels  # noqa: F401
        have_sm = True
    except ImportError:
        have_sm = False

    print("| model | `loglike` | statsmodels `loglike` | ratio |")
    print("|---|---:|---:|---:|")
    for name, label in [("airline", "airline (0,1,1)(0,1,1,12), n = 144"), ("arma11", "ARMA(1,1), n = 1,000"),
                        ("sarima52", "SARIMA(1,0,1)(1,1,1,52), n = 520"),
                        ("sarima365", "SARIMA(1,0,1)(1,1,1,365), n = 1,095")]:
        ours = child(f"loglike:{name}", budget)["seconds"]
        sm = child(f"statsmodels:{name}", budget)["seconds"] if have_sm and name != "sarima365" else None
        print(f"| {label} | {us(ours)} | {us(sm) if sm else '—'} | {f'{sm / ours:.1f}×' if sm else '—'} |")
    print(f"\nPeak extra memory of one SARIMA(1,0,1)(1,1,1,365) evaluation: "
          f"{child('memory365', budget)['extra_mib']:.1f} MiB\n")

    print("| airline workload | one thread | default pool | pool / one |")
    print("|---|---:|---:|---:|")
    for busy in (False, True):
        where = "busy machine" if busy else "idle machine"
        with (Busy() if busy else _Nothing()):
            g1, gd = child("grad", budget, 1)["seconds"], child("grad", budget)["seconds"]
            f1, fd = child("fit", budget, 1), child("fit", budget)
            print(f"| `loglike_grad`, {where} | {us(g1)} | {us(gd)} | {g1 / gd:.2f}× faster |")
            print(f"| fit (L-BFGS-B, {f1['calls']} calls), {where} | {us(f1['seconds'])} | {us(fd['seconds'])} "
                  f"| {f1['seconds'] / fd['seconds']:.2f}× faster |")
            for what, label in (("grad", "`loglike_grad`"), ("fit", "fit")):
                pair = child(f"pair:{what}", budget)
                print(f"| {label}, {where}, interleaved (medians) | {us(pair['one'])} | {us(pair['pool'])} "
                      f"| {pair['one'] / pair['pool']:.2f}× faster |")
            if busy:
                r1, rd = child("fits30", budget, 1)["fits_per_second"], child("fits30", budget)["fits_per_second"]
                print(f"| 30 fits in a row, {where} | {r1:.1f} fits/s | {rd:.1f} fits/s | {rd / r1:.2f}× |")
    print()
    for what in ("loglike", "loglike_grad"):
        count = instructions(what, 10)
        if count is not None:
            print(f"Instructions per airline `{what}` call (callgrind, serial): {count:,.0f} "
                  f"({count / 144:,.0f} per time step)")


class _Nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


if __name__ == "__main__":
    main()
