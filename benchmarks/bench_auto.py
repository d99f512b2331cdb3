#!/usr/bin/env python3
"""Automatic order selection: korvanta.auto_fit against statsforecast's AutoARIMA,
pmdarima's auto_arima and R's forecast::auto.arima, as black boxes with their defaults.

Classic series (data/classic_series.csv, season lengths in classic_series_periods.csv):
the last two seasons are held out (8 quarters, 24 months, 10 points for yearly data);
each tool chooses and fits a model on the rest and forecasts the holdout.  The table
gives the chosen model, the MASE of the forecast (its MAE over the in-sample MAE of the
seasonal naive forecast, the usual scale) and the seconds to choose, fit and forecast.

Long seasons: a weekly series (m = 52, 10 years) and a daily one (m = 365, 4 years),
synthetic and seeded (a yearly cycle, a trend, AR(1) noise); the last season is held
out.  Each tool runs in its own process with a 10-minute cap ("did not finish").

Every tool runs in a subprocess of this script (`--tool NAME`), timed inside it around
the choose-fit-forecast call only, after a warm-up call on a small series (statsforecast
compiles with numba on its first call; the warm-up is reported separately).

    pip install ".[bench]" pmdarima        # and: apt-get install r-cran-forecast
    python benchmarks/bench_auto.py [--classic] [--long] [--cap 600] [--tools ...]
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import csv  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data"
TOOLS = ("korvanta", "statsforecast", "pmdarima", "R")
CAP = 600.0

R_SCRIPT = r"""
suppressPackageStartupMessages(library(forecast))
args <- commandArgs(trailingOnly = TRUE)
jobs <- jsonlite::fromJSON(args[1], simplifyVector = FALSE)
invisible(auto.arima(ts(c(1, 3, 2, 4, 3, 5, 4, 6, 5, 7, 6, 8), frequency = 4)))
out <- list()
for (i in seq_along(jobs$name)) {
  # Each series as given, null (a missing value) as NA.
  y <- vapply(jobs$y[[i]], function(v) if (is.null(v)) NA_real_ else as.numeric(v), 0)
  t0 <- Sys.time()
  fit <- auto.arima(ts(y, frequency = jobs$m[[i]]))
  fc <- forecast(fit, h = jobs$h[[i]])$mean
  secs <- as.numeric(difftime(Sys.time(), t0, units = "secs"))
  out[[i]] <- list(name = jobs$name[[i]], model = as.character(fit), seconds = secs,
                   forecast = as.numeric(fc))
}
cat(jsonlite::toJSON(out, auto_unbox = TRUE, digits = NA))
"""


# -- the data ------------------------------------------------------------------------------
def classic() -> list[dict[str, Any]]:
    periods = {r["unique_id"]: int(r["season_length"])
               for r in csv.DictReader(open(DATA / "classic_series_periods.csv"))}
    series: dict[str, list[float]] = {}
    for r in csv.DictReader(open(DATA / "classic_series.csv")):
        series.setdefault(r["unique_id"], []).append(float(r["y"]) if r["y"] else math.nan)
    jobs = []
    for name, values in series.items():
        m = periods[name]
        h = 2 * m if m > 1 else 10
        jobs.append({"name": name, "m": m, "h": h, "y": values[:-h], "test": values[-h:]})
    return jobs


def synthetic(m: int, years: int, seed: int) -> dict[str, Any]:
    rng = np.random.default_rng(seed)
    n = m * years
    t = np.arange(n)
    noise = np.zeros(n)
    shocks = rng.normal(size=n)
    for i in range(1, n):
        noise[i] = 0.6 * noise[i - 1] + shocks[i]
    y = (50 + 2.0 * t / m + 8 * np.sin(2 * np.pi * t / m) + 3 * np.cos(4 * np.pi * t / m)
         + 2 * noise)
    name = {52: "weekly (m=52, 10 y)", 365: "daily (m=365, 4 y)"}[m]
    return {"name": name, "m": m, "h": m, "y": list(y[:-m]), "test": list(y[-m:])}


def mase(train: list[float], test: list[float], forecast: list[float], m: int) -> float:
    y = np.asarray(train, dtype=float)
    scale = np.nanmean(np.abs(y[m:] - y[:-m]))
    err = np.abs(np.asarray(test, dtype=float) - np.asarray(forecast, dtype=float))
    return float(np.nanmean(err) / scale)


def _filled(y: list[float]) -> np.ndarray:
    """Missing values linearly interpolated, for the tools that refuse them."""
    a = np.asarray(y, dtype=float)
    ok = np.isfinite(a)
    if ok.all():
        return a
    t = np.arange(a.size)
    return np.interp(t, t[ok], a[ok])


# -- the tools (run inside the subprocess) ------------------------------------------------------
def run_korvanta(y: list[float], m: int, h: int) -> tuple[str, list[float]]:
    import korvanta

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = korvanta.auto_fit(np.asarray(y, dtype=float), m)
    return res.search.best.label, list(np.asarray(res.forecast(h).mean))


def run_statsforecast(y: list[float], m: int, h: int) -> tuple[str, list[float]]:
    from statsforecast.arima import arima_string
    from statsforecast.models import AutoARIMA

    model = AutoARIMA(season_length=m).fit(_filled(y))
    return arima_string(model.model_), list(model.predict(h)["mean"])


def run_pmdarima(y: list[float], m: int, h: int) -> tuple[str, list[float]]:
    import pmdarima

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = pmdarima.auto_arima(_filled(y), m=m, seasonal=m > 1,
                                    error_action="ignore", suppress_warnings=True)
        fc = model.predict(h)
    return str(model).strip(), list(np.asarray(fc))


PY_TOOLS = {"korvanta": run_korvanta, "statsforecast": run_statsforecast,
            "pmdarima": run_pmdarima}


def tool_main(tool: str, path: str) -> None:
    jobs = json.load(open(path))
    fn = PY_TOOLS[tool]
    t0 = time.perf_counter()
    warm_up = 10 + np.sin(np.arange(40) * np.pi / 2) + np.random.default_rng(0).normal(size=40)
    fn(list(warm_up), 4, 4)                 # imports, compilation
    warm = time.perf_counter() - t0
    out = []
    for job in jobs:
        t0 = time.perf_counter()
        try:
            model, fc = fn(job["y"], job["m"], job["h"])
        except Exception as exc:  # a peer that fails on a series is reported, not fatal
            model, fc = f"failed: {type(exc).__name__}", [math.nan] * job["h"]
        out.append({"name": job["name"], "model": model, "forecast": fc,
                    "seconds": time.perf_counter() - t0})
        print(json.dumps(out[-1]), flush=True)
    print(json.dumps({"warmup": warm}), flush=True)


# -- the driver ---------------------------------------------------------------------------------
def run_tool(tool: str, jobs: list[dict[str, Any]], cap: float) -> dict[str, Any]:
    """Results by series name; a series whose tool hit the cap is missing."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "jobs.json"
        path.write_text(json.dumps([{k: j[k] for k in ("name", "m", "h", "y")} for j in jobs]))
        if tool == "R":
            script = Path(tmp) / "auto.R"
            script.write_text(R_SCRIPT)
            r_jobs = Path(tmp) / "r.json"
            r_jobs.write_text(json.dumps({"name": [j["name"] for j in jobs],
                                          "m": [j["m"] for j in jobs],
                                          "h": [j["h"] for j in jobs],
                                          "y": [[v if math.isfinite(v) else None for v in j["y"]]
                                                for j in jobs]}))
            cmd = ["Rscript", str(script), str(r_jobs)]
        else:
            cmd = [sys.executable, __file__, "--tool", tool, str(path)]
        # A session of its own, so that a run over the cap is ended with every worker
        # process it started.
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, start_new_session=True)
        try:
            stdout, stderr = proc.communicate(timeout=cap)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            stdout, _ = proc.communicate()
            return _parse(tool, stdout) | {"timeout": True}
        if proc.returncode != 0:
            return _parse(tool, stdout) | {"error": stderr.strip().splitlines()[-1:] or ["exit"]}
        return _parse(tool, stdout)


def _parse(tool: str, text: str) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if tool == "R":
        try:
            for row in json.loads(text):
                out[row["name"]] = row
        except json.JSONDecodeError:
            pass
        return out
    text = text.strip()
    for line in text.splitlines():
        row = json.loads(line)
        if "warmup" in row:
            out["_warmup"] = row["warmup"]
        else:
            out[row["name"]] = row
    return out


def table(jobs: list[dict[str, Any]], results: dict[str, dict[str, Any]], cap: float) -> None:
    tools = list(results)
    print("| series | m | n | " + " | ".join(f"{t} model | MASE | s" for t in tools) + " |")
    print("|---|---:|---:|" + "---|---:|---:|" * len(tools))
    totals = {t: [0.0, [], 0] for t in tools}
    for job in jobs:
        cells = []
        for t in tools:
            row = results[t].get(job["name"])
            if row is None:
                why = "did not finish" if results[t].get("timeout") else \
                    "; ".join(results[t].get("error", ["no result"]))
                cells += [why, "", f"> {cap:.0f}" if results[t].get("timeout") else ""]
                continue
            err = mase(job["y"], job["test"], row["forecast"], job["m"])
            totals[t][0] += row["seconds"]
            totals[t][1].append(err)
            cells += [" ".join(str(row["model"]).split()), f"{err:.3f}", f"{row['seconds']:.2f}"]
        print(f"| {job['name']} | {job['m']} | {len(job['y'])} | " + " | ".join(cells) + " |")
    cells = []
    for t in tools:
        secs, errs, _ = totals[t]
        mean = f"{np.mean(errs):.3f} ({len(errs)})" if errs else ""
        cells += ["", mean, f"{secs:.2f}"]
    print("| **mean MASE / total s** | | | " + " | ".join(cells) + " |")
    warm = {t: results[t].get("_warmup") for t in tools if results[t].get("_warmup")}
    print("\nwarm-up call (imports, compilation), s: "
          + ", ".join(f"{t} {v:.2f}" for t, v in warm.items()))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tool", nargs=2, metavar=("NAME", "JOBS"), help=argparse.SUPPRESS)
    ap.add_argument("--classic", action="store_true", help="the 14 classic series")
    ap.add_argument("--long", action="store_true", help="the weekly and daily series")
    ap.add_argument("--cap", type=float, default=CAP, help="seconds per tool and run")
    ap.add_argument("--tools", nargs="+", default=list(TOOLS), choices=TOOLS)
    args = ap.parse_args()
    if args.tool:
        tool_main(*args.tool)
        return
    if not (args.classic or args.long):
        args.classic = args.long = True
    tools = [t for t in args.tools if t != "R" or shutil.which("Rscript")]
    load = os.getloadavg()
    print(f"Python {platform.python_version()}, {os.cpu_count()} CPUs, load average "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the start\n")
    if args.classic:
        jobs = classic()
        results = {t: run_tool(t, jobs, args.cap) for t in tools}
        table(jobs, results, args.cap)
    if args.long:
        for m, years in ((52, 10), (365, 4)):
            job = synthetic(m, years, seed=m)
            results = {t: run_tool(t, [job], args.cap) for t in tools}
            print()
            table([job], results, args.cap)
    load = os.getloadavg()
    print(f"\nload average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end")


if __name__ == "__main__":
    main()
