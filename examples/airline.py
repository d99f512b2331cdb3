#!/usr/bin/env python3
"""Fit a seasonal ARIMA model by maximum likelihood and forecast it.

By default the script reads the monthly airline passenger totals shipped in
``data/airline_passengers.csv``, fits the classic "airline model"
SARIMA(0,1,1)(0,1,1,12) to the logarithm of the series, prints the estimates
with standard errors, the log-likelihood and information criteria, forecasts
24 months ahead with 95% intervals and saves a chart.

The numerical work is done by the ``_korvanta_rs`` extension module: each
optimiser step asks it for the log-likelihood and its gradient in a single
call (``loglike_grad``), the standard errors come from the per-observation
terms (``loglikeobs``) and the forecasts from ``forecast``.

Usage::

    python examples/airline.py                       # the shipped series
    python examples/airline.py my_series.csv --order 1 1 1 --seasonal-order 0 1 1 12
    python examples/airline.py my_series.csv --no-log --horizon 12 --no-plot

A user CSV holds one observation per line.  A header line is detected
automatically; the last numeric column is the series, and the first
non-numeric column (if any) gives the period labels (dates).  Empty cells,
``NA`` and ``NaN`` are treated as missing observations; completely empty lines are
skipped (in a one-column file, write ``NA`` for a missing observation).
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from scipy.optimize import minimize

import _korvanta_rs as kr

DEFAULT_DATA = Path(__file__).resolve().parent.parent / "data" / "airline_passengers.csv"
DEFAULT_ORDER = (0, 1, 1)
DEFAULT_SEASONAL_ORDER = (0, 1, 1, 12)
DEFAULT_HORIZON = 24
DEFAULT_PLOT = "airline_forecast.png"

# Observations that must enter the likelihood beyond one per parameter; with
# fewer, the estimates (and certainly their standard errors) mean nothing.
MIN_EXTRA_OBS = 10
# Normal quantile for two-sided 95% intervals.
Z95 = 1.959963984540054
MISSING_TOKENS = {"", "na", "nan", "n/a", "null", "none", "."}


class UsageError(Exception):
    """A problem with the user's input, reported without a traceback (exit status 2)."""


# --------------------------------------------------------------------------------------
# Reading the series
# --------------------------------------------------------------------------------------

@dataclass
class Series:
    values: np.ndarray          # float64, NaN for missing observations
    labels: list[str]           # one label per observation (dates, or 1-based indices)
    name: str                   # column name, or "y"
    label_name: str | None      # name of the label column, if it has a header
    path: str
    has_labels: bool = False    # labels come from a column of the file


def _as_number(text: str) -> float | None:
    """The number in a CSV cell, NaN for a missing-value token, None if not numeric."""
    t = text.strip()
    if t.lower() in MISSING_TOKENS:
        return math.nan
    try:
        return float(t)
    except ValueError:
        return None


def _is_number(text: str) -> bool:
    t = text.strip()
    if t.lower() in MISSING_TOKENS:
        return False
    try:
        float(t)
    except ValueError:
        return False
    return True


def load_series(path: str | os.PathLike) -> Series:
    """Read a univariate series from a CSV file.

    Raises UsageError for a missing or unreadable file and for malformed content:
    no rows, rows of unequal length, no numeric column, or a non-numeric value in
    the series column.
    """
    p = Path(path)
    if not p.exists():
        raise UsageError(f"file not found: {p}")
    if not p.is_file():
        raise UsageError(f"not a regular file: {p}")
    try:
        with open(p, newline="", encoding="utf-8-sig") as fh:
            sample = fh.read(4096)
            fh.seek(0)
            try:
                dialect = csv.Sniffer().sniff(sample, delimiters=",;\t")
            except csv.Error:
                dialect = csv.excel
            rows = [(i + 1, row) for i, row in enumerate(csv.reader(fh, dialect))]
    except UnicodeDecodeError:
        raise UsageError(f"{p}: not a text file") from None
    except OSError as exc:
        raise UsageError(f"cannot read {p}: {exc.strerror or exc}") from None
    except csv.Error as exc:
        raise UsageError(f"{p}: malformed CSV: {exc}") from None

    rows = [(ln, [c.strip() for c in row]) for ln, row in rows if any(c.strip() for c in row)]
    if not rows:
        raise UsageError(f"{p}: malformed CSV: the file holds no data")

    width = len(rows[0][1])
    for ln, row in rows:
        if len(row) != width:
            raise UsageError(f"{p}: malformed CSV: line {ln} has {len(row)} fields, "
                             f"expected {width}")

    # A first line without a single number is a header.
    header = None
    if not any(_is_number(c) for c in rows[0][1]):
        header = rows[0][1]
        rows = rows[1:]
    if not rows:
        raise UsageError(f"{p}: malformed CSV: the file holds a header but no data")

    # A column is numeric when most of its non-missing cells are numbers; a stray
    # word inside such a column is reported as an error rather than silently
    # making the column a label column.
    numeric_cols, label_cols = [], []
    for j in range(width):
        cells = [row[j] for _, row in rows if row[j].lower() not in MISSING_TOKENS]
        n_num = sum(_is_number(c) for c in cells)
        if cells and 2 * n_num > len(cells):
            numeric_cols.append(j)
        elif cells:
            label_cols.append(j)
    if not numeric_cols:
        raise UsageError(f"{p}: malformed CSV: no numeric column found")
    col = numeric_cols[-1]

    values = np.empty(len(rows))
    for i, (ln, row) in enumerate(rows):
        v = _as_number(row[col])
        if v is None or math.isinf(v):
            cname = f"column '{header[col]}'" if header else f"column {col + 1}"
            raise UsageError(f"{p}: malformed CSV: line {ln}, {cname}: "
                             f"'{row[col]}' is not a number")
        values[i] = v

    if label_cols:
        lc = label_cols[0]
        labels = [row[lc] for _, row in rows]
        label_name = header[lc] if header else None
    else:
        labels = [str(i + 1) for i in range(len(rows))]
        label_name = None
    name = header[col] if header and header[col] else "y"
    return Series(values, labels, name, label_name, str(p), has_labels=bool(label_cols))


# --------------------------------------------------------------------------------------
# Model checks, fit, standard errors
# --------------------------------------------------------------------------------------

def param_names(order, seasonal_order) -> list[str]:
    p, _, q = order
    P, _, Q, s = seasonal_order
    return ([f"ar.L{i}" for i in range(1, p + 1)] + [f"ma.L{i}" for i in range(1, q + 1)]
            + [f"ar.S.L{s * i}" for i in range(1, P + 1)]
            + [f"ma.S.L{s * i}" for i in range(1, Q + 1)] + ["sigma2"])


def check_model(y: np.ndarray, order, seasonal_order) -> tuple[int, int]:
    """Check that the model can be estimated from `y`; return (k_diffuse, n_params).

    Raises UsageError when the orders are invalid or too large for the series.
    """
    order = tuple(int(v) for v in order)
    seasonal_order = tuple(int(v) for v in seasonal_order)
    if len(order) != 3 or len(seasonal_order) != 4:
        raise UsageError("the order needs 3 values (p d q) and the seasonal order 4 (P D Q s)")
    if min(order + seasonal_order) < 0:
        raise UsageError("orders and the seasonal period must be non-negative")
    n = len(y)
    P, D, Q, s = seasonal_order
    seasonal = P or D or Q
    if seasonal and s > n:
        raise UsageError(f"seasonal period s={s} is longer than the series ({n} observations)")
    # Anything longer than the series cannot be estimated; rejecting it here also keeps
    # absurd orders away from the state-space dimensions.
    if max(order) > n:
        raise UsageError(f"order {order} is too large for a series of {n} observations")
    if seasonal and max(P, D, Q) * s > n:
        raise UsageError(f"seasonal order {seasonal_order} spans more than the series "
                         f"({n} observations)")
    try:
        _, _, _, k_diffuse, n_params = kr.spec_dims(order, seasonal_order, [])
    except (ValueError, OverflowError) as exc:
        raise UsageError(f"invalid model order: {exc}") from None
    counted = count_observations(y, k_diffuse)
    need = n_params + MIN_EXTRA_OBS
    if counted < need:
        raise UsageError(
            f"SARIMA{order}x{seasonal_order} needs at least {need} usable observations "
            f"after the first {k_diffuse} (which only initialise the differencing) for its "
            f"{n_params} parameters; the series has {counted}")
    return k_diffuse, n_params


def count_observations(y: np.ndarray, k_diffuse: int) -> int:
    """Observations that enter the likelihood: after the burn-in and not missing."""
    return int(np.count_nonzero(~np.isnan(y[k_diffuse:])))


def difference(y: np.ndarray, d: int, D: int, s: int) -> np.ndarray:
    z = np.asarray(y, dtype=float)
    for _ in range(d):
        z = z[1:] - z[:-1]
    for _ in range(D):
        z = z[s:] - z[:-s]
    return z


def start_values(y: np.ndarray, order, seasonal_order) -> np.ndarray:
    """Unconstrained starting point: zero ARMA coefficients and the innovation standard
    deviation guessed from the differenced series (the transform squares that entry)."""
    p, d, q = order
    P, D, Q, s = seasonal_order
    z = difference(y, d, D, s)
    z = z[~np.isnan(z)]
    sd = float(np.std(z)) if z.size > 1 else 0.0
    if not (np.isfinite(sd) and sd > 0):
        yy = y[~np.isnan(y)]
        sd = float(np.std(yy)) if yy.size > 1 else 1.0
        if not (np.isfinite(sd) and sd > 0):
            sd = 1.0
    u0 = np.zeros(p + q + P + Q + 1)
    u0[-1] = sd
    return u0


@dataclass
class FitResult:
    order: tuple
    seasonal_order: tuple
    names: list[str]
    params: np.ndarray          # constrained estimates
    u: np.ndarray               # unconstrained optimum
    bse: np.ndarray             # standard errors (outer product of scores)
    cov: np.ndarray
    loglike: float
    aic: float
    bic: float
    nobs: int                   # observations counted by the likelihood
    k_diffuse: int
    n_params: int
    nfev: int                   # log-likelihood-and-gradient evaluations
    nit: int
    fit_time: float             # seconds spent in the optimiser
    converged: bool
    message: str
    extra: dict = field(default_factory=dict)


def scores(y, params, order, seasonal_order, k_diffuse) -> np.ndarray:
    """Per-observation scores (n_counted x k), by central differences of `loglikeobs`
    with respect to the constrained parameters."""
    params = np.asarray(params, dtype=float)
    k = params.size
    cols = []
    h3 = np.finfo(float).eps ** (1 / 3)
    for i in range(k):
        # Relative step for the variance (it is always positive and may be tiny);
        # absolute step of order 1 for the coefficients, which live in (-1, 1).
        h = h3 * abs(params[i]) if i == k - 1 else h3 * max(abs(params[i]), 1.0)
        up, dn = params.copy(), params.copy()
        up[i] += h
        dn[i] -= h
        lp = kr.loglikeobs(y, up, order, seasonal_order, [])
        lm = kr.loglikeobs(y, dn, order, seasonal_order, [])
        cols.append((lp - lm) / (up[i] - dn[i]))
    S = np.column_stack(cols)
    keep = np.zeros(len(y), dtype=bool)
    keep[k_diffuse:] = True
    keep &= ~np.isnan(y)
    return S[keep]


def fit(y, order=DEFAULT_ORDER, seasonal_order=DEFAULT_SEASONAL_ORDER, *, parallel=True,
        maxiter=500) -> FitResult:
    """Maximum-likelihood fit of SARIMA(order)x(seasonal_order) to `y`.

    L-BFGS-B runs in the unconstrained space; every step takes the log-likelihood and
    its gradient from one `loglike_grad` call.
    """
    y = np.ascontiguousarray(y, dtype=float)
    order = tuple(int(v) for v in order)
    seasonal_order = tuple(int(v) for v in seasonal_order)
    k_diffuse, n_params = check_model(y, order, seasonal_order)

    nfev = 0

    def objective(u):
        nonlocal nfev
        nfev += 1
        f0, grad = kr.loglike_grad(y, u, order, seasonal_order, [], parallel=parallel)
        if not np.isfinite(f0):
            # Outside the region where the filter gives a likelihood (e.g. a zero
            # variance): a huge finite value makes the line search step back.
            return 1e300, np.zeros_like(u)
        return -f0, -grad

    u0 = start_values(y, order, seasonal_order)
    t0 = time.perf_counter()
    # ftol a little below SciPy's default: the gradient is a finite difference, so much
    # tighter tolerances only end in line-search failures without moving the optimum.
    res = minimize(objective, u0, jac=True, method="L-BFGS-B",
                   options={"maxiter": maxiter, "ftol": 1e-10})
    fit_time = time.perf_counter() - t0

    params = kr.transform_params(res.x, order, seasonal_order, [])
    ll = kr.loglike(y, params, order, seasonal_order, [])
    nobs = count_observations(y, k_diffuse)

    S = scores(y, params, order, seasonal_order, k_diffuse)
    try:
        cov = np.linalg.inv(S.T @ S)
    except np.linalg.LinAlgError:
        cov = np.full((n_params, n_params), np.nan)
    with np.errstate(invalid="ignore"):
        bse = np.sqrt(np.diag(cov))

    return FitResult(
        order=order, seasonal_order=seasonal_order, names=param_names(order, seasonal_order),
        params=params, u=np.asarray(res.x), bse=bse, cov=cov, loglike=ll,
        aic=-2.0 * ll + 2.0 * n_params, bic=-2.0 * ll + n_params * math.log(nobs),
        nobs=nobs, k_diffuse=k_diffuse, n_params=n_params, nfev=nfev, nit=int(res.nit),
        fit_time=fit_time, converged=bool(res.success), message=str(res.message))


# --------------------------------------------------------------------------------------
# Forecasting
# --------------------------------------------------------------------------------------

@dataclass
class Forecast:
    insample: np.ndarray        # one-step-ahead predictions, model scale
    mean: np.ndarray            # forecast means, model scale
    var: np.ndarray             # forecast variances, model scale
    point: np.ndarray           # point forecast, data scale
    lower: np.ndarray           # 95% bounds, data scale
    upper: np.ndarray
    mean_corrected: np.ndarray | None   # lognormal mean (log fits only)


def make_forecast(y, result: FitResult, horizon: int, log: bool) -> Forecast:
    pred, _err, mean, var = kr.forecast(np.ascontiguousarray(y, dtype=float), result.params,
                                        result.order, result.seasonal_order, [], horizon)
    sd = np.sqrt(var)
    lo, hi = mean - Z95 * sd, mean + Z95 * sd
    if log:
        return Forecast(pred, mean, var, np.exp(mean), np.exp(lo), np.exp(hi),
                        np.exp(mean + 0.5 * var))
    return Forecast(pred, mean, var, mean, lo, hi, None)


def future_labels(series: Series, horizon: int) -> list[str]:
    """Labels for the forecast periods: dates continued at the series' own spacing when
    the labels are regularly spaced dates (monthly, daily, yearly...), "+h" for other
    labels, and the continued observation numbers when the file has no label column."""
    labels = series.labels
    if series.label_name is None and not series.has_labels:
        return [str(len(labels) + h) for h in range(1, horizon + 1)]
    fallback = [f"+{h}" for h in range(1, horizon + 1)]
    if len(labels) < 2:
        return fallback
    try:
        dates = np.array(labels, dtype="datetime64")
    except (ValueError, TypeError):
        return fallback
    if np.isnat(dates).any():
        return fallback
    unit = np.datetime_data(dates.dtype)[0]
    # First-of-month dates are monthly even though their day counts differ.
    if unit == "D" and all(str(d).endswith("-01") for d in dates):
        months = dates.astype("datetime64[M]")
        if (months.astype("datetime64[D]") == dates).all():
            steps = np.diff(months.astype(np.int64))
            if steps.size and (steps == steps[0]).all() and steps[0] > 0:
                nxt = months[-1] + steps[0] * np.arange(1, horizon + 1)
                return [str(d) + "-01" for d in nxt]
    steps = np.diff(dates.astype(np.int64))
    if steps.size and (steps == steps[0]).all() and steps[0] > 0:
        nxt = dates[-1] + np.arange(1, horizon + 1) * steps[0]
        return [str(d) for d in nxt]
    return fallback


def _dates_or_none(labels):
    try:
        d = np.array(labels, dtype="datetime64")
    except (ValueError, TypeError):
        return None
    return None if np.isnat(d).any() else d


# --------------------------------------------------------------------------------------
# Output
# --------------------------------------------------------------------------------------

def format_fit(series: Series, result: FitResult, log: bool) -> str:
    o, so = result.order, result.seasonal_order
    target = f"log({series.name})" if log else series.name
    lines = [
        f"SARIMA{o}x{so} fitted to {target}, {len(series.values)} observations "
        f"({result.nobs} in the likelihood, the first {result.k_diffuse} initialise "
        f"the differencing)",
        "",
        f"{'parameter':<12}{'estimate':>14}{'std.err':>14}{'z':>10}",
        "-" * 50,
    ]
    for name, est, se in zip(result.names, result.params, result.bse):
        z = est / se if se > 0 else math.nan
        lines.append(f"{name:<12}{est:>14.6g}{se:>14.4g}{z:>10.2f}")
    lines += [
        "-" * 50,
        "standard errors from the outer product of the per-observation scores",
        "",
        f"{'log-likelihood':<22}{result.loglike:>14.4f}",
        f"{'AIC':<22}{result.aic:>14.4f}",
        f"{'BIC':<22}{result.bic:>14.4f}",
        f"{'observations (nobs)':<22}{result.nobs:>14d}",
        f"{'parameters':<22}{result.n_params:>14d}",
        f"{'function evaluations':<22}{result.nfev:>14d}",
        f"{'iterations':<22}{result.nit:>14d}",
        f"{'fit wall time':<22}{result.fit_time * 1e3:>11.1f} ms",
        f"{'converged':<22}{'yes' if result.converged else 'NO':>14}"
        + ("" if result.converged else f"  ({result.message})"),
    ]
    return "\n".join(lines)


def format_forecast(fc: Forecast, labels: list[str], log: bool) -> str:
    if log:
        head = (f"{'period':<12}{'forecast':>12}{'lower 95%':>12}{'upper 95%':>12}"
                f"{'mean':>12}")
        note = ("forecast = exp(log forecast), the median on the data scale; the interval is "
                "exp(mean +/- 1.96 sd);\nmean = exp(mean + var/2), the lognormal mean")
    else:
        head = f"{'period':<12}{'forecast':>12}{'lower 95%':>12}{'upper 95%':>12}"
        note = "forecast = mean; the interval is mean +/- 1.96 sd"
    lines = [f"Forecast, {len(fc.mean)} periods ahead", "", head, "-" * len(head)]
    for h, lab in enumerate(labels):
        row = f"{lab:<12}{fc.point[h]:>12.2f}{fc.lower[h]:>12.2f}{fc.upper[h]:>12.2f}"
        if log:
            row += f"{fc.mean_corrected[h]:>12.2f}"
        lines.append(row)
    lines += ["-" * len(head), note]
    return "\n".join(lines)


def plot(series: Series, result: FitResult, fc: Forecast, flabels: list[str], log: bool,
         path: str | os.PathLike) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = len(series.values)
    h = len(fc.mean)
    dates = _dates_or_none(series.labels) if series.has_labels else None
    fdates = _dates_or_none(flabels) if dates is not None else None
    if dates is not None and fdates is not None:
        x_hist, x_fc = dates, fdates
    else:
        x_hist, x_fc = np.arange(n), np.arange(n, n + h)
    back = np.exp if log else (lambda v: v)

    fig, ax = plt.subplots(figsize=(10, 5))
    try:
        ax.plot(x_hist, series.values, color="black", lw=1.2, label="observed")
        k = result.k_diffuse
        ax.plot(x_hist[k:], back(fc.insample[k:]), color="tab:blue", lw=1, ls="--",
                label="one-step prediction")
        if h:
            ax.plot(x_fc, fc.point, color="tab:red", lw=1.5, label="forecast")
            ax.fill_between(x_fc, fc.lower, fc.upper, color="tab:red", alpha=0.2,
                            label="95% interval")
        o, so = result.order, result.seasonal_order
        ax.set_title(f"SARIMA{o}x{so} fitted to " + (f"log({series.name})" if log else series.name))
        ax.set_ylabel(series.name)
        if series.label_name:
            ax.set_xlabel(series.label_name)
        ax.legend(loc="upper left")
        ax.grid(alpha=0.3)
        fig.tight_layout()
        fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)


# --------------------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------------------

def _non_negative(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not an integer") from None
    if v < 0:
        raise argparse.ArgumentTypeError(f"{v} is negative")
    return v


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="airline.py",
        description="Fit a seasonal ARIMA model by maximum likelihood and forecast it. "
                    "Without a file, fits the airline model to the shipped monthly "
                    "airline passenger series.")
    ap.add_argument("csv", nargs="?", default=None,
                    help="CSV file with the series: one numeric column (the last numeric "
                         "column is used), an optional date column for labels and an "
                         "optional header line (default: the shipped airline data)")
    ap.add_argument("--order", nargs=3, type=_non_negative, metavar=("p", "d", "q"),
                    default=list(DEFAULT_ORDER), help="non-seasonal order (default: 0 1 1)")
    ap.add_argument("--seasonal-order", nargs=4, type=_non_negative,
                    metavar=("P", "D", "Q", "s"), default=list(DEFAULT_SEASONAL_ORDER),
                    help="seasonal order and period (default: 0 1 1 12)")
    ap.add_argument("--horizon", type=_non_negative, default=DEFAULT_HORIZON,
                    help=f"periods to forecast (default: {DEFAULT_HORIZON})")
    ap.add_argument("--no-log", action="store_true",
                    help="fit the series itself instead of its logarithm")
    ap.add_argument("--plot", default=DEFAULT_PLOT, metavar="PATH",
                    help=f"where to save the chart (default: {DEFAULT_PLOT})")
    ap.add_argument("--no-plot", action="store_true", help="do not draw the chart")
    return ap


def run(args) -> None:
    series = load_series(args.csv if args.csv is not None else DEFAULT_DATA)
    y = series.values
    log = not args.no_log
    if len(y) < 3:
        raise UsageError(f"{series.path}: malformed CSV: only {len(y)} rows of data")
    observed = y[~np.isnan(y)]
    if observed.size == 0:
        raise UsageError(f"{series.path}: every observation is missing")
    if log:
        bad = np.flatnonzero(y <= 0)
        if bad.size:
            i = int(bad[0])
            where = f" ({series.labels[i]})" if series.has_labels else ""
            raise UsageError(
                f"the log transform needs positive values, but observation {i + 1}{where} "
                f"is {y[i]:g}; use --no-log to fit the raw series")
        z = np.log(y)
    else:
        z = y.copy()

    order, sorder = tuple(args.order), tuple(args.seasonal_order)
    check_model(z, order, sorder)
    result = fit(z, order, sorder)
    print(format_fit(series, result, log))
    print()
    fc = make_forecast(z, result, args.horizon, log)
    flabels = future_labels(series, args.horizon)
    if args.horizon:
        print(format_forecast(fc, flabels, log))
    if not args.no_plot:
        try:
            plot(series, result, fc, flabels, log, args.plot)
        except OSError as exc:
            raise UsageError(f"cannot write the chart to {args.plot}: "
                             f"{exc.strerror or exc}") from None
        print()
        print(f"chart saved to {args.plot}")


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:      # --help, or a usage error already reported by argparse
        return int(exc.code or 0)
    try:
        run(args)
    except UsageError as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
