"""The public data sets the package tests fit, read with plain NumPy."""

import csv
from functools import cache
from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parent.parent / "data"


def month_end():
    """pandas' alias of the month-end frequency: "ME" from pandas 2.2, "M" before."""
    import pandas as pd

    try:
        pd.tseries.frequencies.to_offset("ME")
    except ValueError:
        return "M"
    return "ME"


def quarterly(seed=3, years=14):
    """A quarterly series: a seasonal pattern with a trend and AR(1) noise."""
    rng = np.random.default_rng(seed)
    n = 4 * years
    e = np.zeros(n)
    for t in range(1, n):
        e[t] = 0.5 * e[t - 1] + rng.normal()
    season = np.array([3.0, -1.0, -4.0, 2.0])
    return 20 + 0.1 * np.arange(n) + season[np.arange(n) % 4] + e


def column(file, name):
    table = np.genfromtxt(DATA / file, delimiter=",", names=True)
    return np.ascontiguousarray(table[name], dtype=float)


def airline():
    return np.log(column("airline_passengers.csv", "passengers"))


@cache
def classic(name):
    """One of the classic series of the long-format table (NaN where a value is missing)."""
    with open(DATA / "classic_series.csv", newline="") as f:
        return np.array([float(r["y"] or "nan") for r in csv.DictReader(f)
                         if r["unique_id"] == name])


# (id, y, exog, order, seasonal_order, trend, known log-likelihood at the optimum)
KNOWN_OPTIMA = [
    ("airline", airline, None, (0, 1, 1), (0, 1, 1, 12), None, 244.6965),
    ("nile", lambda: column("nile.csv", "volume"), None, (0, 1, 1), (0, 0, 0, 0), None,
     -632.5377),
    ("sunspots-ar2", lambda: column("sunspots.csv", "sunactivity"), None, (2, 0, 0),
     (0, 0, 0, 0), "c", -1307.3182),
    ("sunspots-arma31", lambda: column("sunspots.csv", "sunactivity"), None, (3, 0, 1),
     (0, 0, 0, 0), "c", -1304.0610),
    ("infl-arma11", lambda: column("macrodata.csv", "infl"), None, (1, 0, 1), (0, 0, 0, 0),
     "c", -456.0756),
    ("realcons-gdp", lambda: np.log(column("macrodata.csv", "realcons")),
     lambda: np.log(column("macrodata.csv", "realgdp"))[:, None], (1, 1, 0), (0, 0, 0, 0),
     None, 741.8541),
]
