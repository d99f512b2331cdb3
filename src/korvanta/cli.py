"""The command line: `korvanta fit FILE.csv --order p d q …` or `korvanta fit FILE.csv
--auto --season-length 12` (also `python -m korvanta`)."""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .csvio import SeriesData, read_series
from .dates import continue_index
from .auto import AutoFitResult, auto_fit
from .estimate import KorvantaWarning, fit
from .forecasting import Forecast
from .problem import InputError, check_steps, date_order_fault
from .results import FitResult

__all__ = ["main", "build_parser", "run"]

PROG = "korvanta"
# The orders fitted where the command line names none.
DEFAULT_ORDER = (0, 1, 1)
NO_SEASON = (0, 0, 0, 0)


def _non_negative(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not an integer") from None
    if v < 0:
        raise argparse.ArgumentTypeError(f"{v} is negative")
    return v


def _positive(text: str) -> int:
    v = _non_negative(text)
    if v < 1:
        raise argparse.ArgumentTypeError(f"{v} is not positive")
    return v


def _probability(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not 0.0 < v < 1.0:
        raise argparse.ArgumentTypeError(f"{v} is not between 0 and 1")
    return v


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog=prog, description="Exact maximum-likelihood SARIMAX fitting and forecasting.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")
    f = sub.add_parser(
        "fit", help="fit a model to a series in a CSV file and forecast it",
        description="Fit a seasonal ARIMA model to a series in a CSV file by maximum "
                    "likelihood, print the estimates and a forecast, and draw a chart.")
    add_fit_arguments(f)
    return ap


def add_fit_arguments(f: argparse.ArgumentParser, csv_required: bool = True) -> None:
    """The arguments of `korvanta fit` (shared with scripts that wrap it)."""
    f.add_argument("csv", metavar="FILE.csv", nargs=None if csv_required else "?",
                   help="CSV file with the series: the last numeric column (or --column) "
                        "is the series, the first non-numeric column the dates; a header "
                        "line is optional")
    f.add_argument("--column", default=None, help="name of the series' column")
    f.add_argument("--order", nargs=3, type=_non_negative, metavar=("p", "d", "q"),
                   default=list(DEFAULT_ORDER), help="non-seasonal order (default: 0 1 1)")
    f.add_argument("--seasonal-order", nargs=4, type=_non_negative,
                   metavar=("P", "D", "Q", "s"), default=list(NO_SEASON),
                   help="seasonal order and period (default: none)")
    f.add_argument("--trend", choices=["n", "c", "t", "ct"], default=None,
                   help="trend: none, constant, linear, both (default: n; with --auto the "
                        "constant is searched, and only n or c apply)")
    f.add_argument("--horizon", type=_non_negative, default=12,
                   help="periods to forecast (default: 12)")
    f.add_argument("--alpha", type=_probability, default=0.05,
                   help="1 - coverage of the forecast interval (default: 0.05)")
    f.add_argument("--log", action=argparse.BooleanOptionalAction, default=False,
                   help="fit the logarithm of the series and report the forecast on the "
                        "data's scale (default: --no-log)")
    f.add_argument("--cov-type", choices=["opg", "hessian"], default="opg",
                   help="standard errors from the outer product of the scores (default) "
                        "or the numerical Hessian")
    f.add_argument("--plot", default=None, metavar="PATH",
                   help="save a chart of the series and the forecast (.png, .svg, .pdf …)")
    f.add_argument("--diagnostics", default=None, metavar="PATH",
                   help="save a chart of the standardized residuals: over time, histogram, "
                        "normal Q-Q plot and autocorrelations")
    f.add_argument("--multistart", action="store_true",
                   help="search from every start candidate and keep the highest end (about "
                        "twice the time; finds a higher maximum on some rugged likelihoods)")
    f.add_argument("--verbose", action="store_true", help="report every iteration")
    add_auto_arguments(f)


def add_auto_arguments(f: argparse.ArgumentParser) -> None:
    """The options of the automatic order search (`korvanta fit --auto`)."""
    g = f.add_argument_group("automatic order selection")
    g.add_argument("--auto", action="store_true",
                   help="choose the orders and the constant (KPSS tests for d, seasonal "
                        "strength for D, stepwise search by AICc); --order and "
                        "--seasonal-order then do not apply")
    g.add_argument("--season-length", type=_positive, default=1, metavar="M",
                   help="period of the season for --auto (default: 1, none)")
    g.add_argument("--ic", choices=["aicc", "aic", "bic", "hqic"], default="aicc",
                   help="criterion that ranks the candidates (default: aicc)")
    g.add_argument("--stepwise", action=argparse.BooleanOptionalAction, default=True,
                   help="stepwise search (default), or --no-stepwise for the whole grid")
    g.add_argument("--jobs", type=_positive, default=None, metavar="N",
                   help="worker processes for the candidate fits (default: the usable "
                        "cores, once fits are slow enough to pay for them)")
    g.add_argument("--trace", action="store_true",
                   help="print each candidate and its criterion as it finishes")


def run(args: argparse.Namespace) -> None:
    """Carry out `fit`; input problems raise InputError before the fit starts."""
    from .plot import check_chart_path

    with warnings.catch_warnings(record=True) as unread:
        warnings.simplefilter("always", KorvantaWarning)
        series = read_series(args.csv, column=args.column)
    for w in unread:    # dates whose day and month cannot be told apart
        print(f"{PROG}: warning: {w.message}", file=sys.stderr)
    y = series.values
    if len(y) < 3:
        raise InputError(f"{series.path}: malformed CSV: only {len(y)} rows of data")
    if np.isnan(y).all():
        raise InputError(f"{series.path}: every observation is missing")
    backwards = _check_rows_in_order(series)
    uneven = _uneven_step(series)
    horizon = check_steps(args.horizon, "--horizon")
    for path in (args.plot, args.diagnostics):
        if path is not None:
            check_chart_path(path)
    if args.plot is not None and args.diagnostics is not None and \
            Path(args.plot).resolve() == Path(args.diagnostics).resolve():
        raise InputError(f"--plot and --diagnostics name the same file, {args.diagnostics}: "
                         "the second chart would overwrite the first")
    if args.log:
        bad = np.flatnonzero(y <= 0)
        if bad.size:
            i = int(bad[0])
            where = f" ({series.labels[i]})" if series.has_labels else ""
            raise InputError(
                f"the log transform needs positive values, but observation {i + 1}{where} "
                f"is {y[i]:g}; fit the raw series (--no-log)")
        z = np.log(y)
    else:
        z = y
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", KorvantaWarning)
        target = f"log({series.name})" if args.log else series.name
        result = _fit(args, z, series.dates, target)
    if backwards:
        print(f"{PROG}: warning: the rows of {series.path} run from the newest date to the "
              f"oldest: the forecast is a backcast of the periods before {series.labels[-1]}",
              file=sys.stderr)
    if uneven is not None:
        print(f"{PROG}: warning: the dates of {series.path} are not evenly spaced: "
              f"{series.labels[uneven]} follows {series.labels[uneven - 1]}: the rows are "
              "fitted as consecutive periods (add any missing periods as empty rows), and "
              "the forecast's periods are numbered", file=sys.stderr)
    for w in caught:
        print(f"{PROG}: warning: {w.message}", file=sys.stderr)
    if isinstance(result, AutoFitResult):
        _say(result.search.text())
        _say()
    _say(result.summary())
    _say(f"fit wall time {result.fit_time * 1e3:.1f} ms")
    if horizon:
        _say()
        _say(_as_written(result.forecast(horizon, alpha=args.alpha), series)
             .table(log=args.log))
    charts = []
    if args.plot is not None:
        charts.append((result.plot_forecast(horizon, alpha=args.alpha, log=args.log,
                                            path=args.plot), args.plot))
    if args.diagnostics is not None:
        charts.append((result.plot_diagnostics(path=args.diagnostics), args.diagnostics))
    for fig, path in charts:
        from ._optional import pyplot

        pyplot().close(fig)
        _say()
        _say(f"chart saved to {path}")
    _say(end="", flush=True)


class _OutputError(Exception):
    """The output could not be written (a full disk, a closed terminal …)."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


# Output is written in pieces of at most this many characters: a single write of over 2 GiB
# (the table of a long forecast) is cut short silently by the system's write.
_PIECE = 1 << 16


def _say(*parts: object, end: str = "\n", flush: bool = False) -> None:
    """print() to the standard output; a failure to write is an _OutputError."""
    out = sys.stdout
    if out is None:     # as print(): no standard output (started without one)
        return
    text = " ".join(map(str, parts)) + end
    try:
        for i in range(0, len(text), _PIECE):
            out.write(text[i:i + _PIECE])
        if flush:
            out.flush()
    except OSError as exc:
        raise _OutputError(exc) from exc


def _drop_output() -> None:
    """Send what is left of the standard output to the null device: the flush at exit
    would fail again on the broken one and print a traceback."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def _check_rows_in_order(series: Any) -> bool:
    """The rows of a dated file must run one way, each date once: the observations are
    taken in the order of the rows.  True when they run from the newest date to the
    oldest (the forecast is then a backcast)."""
    dates = series.dates
    fault = date_order_fault(dates)
    if fault is not None and fault[0] == "twice":
        i = fault[1]
        raise InputError(f"{series.path}: the date {series.labels[i]} appears twice "
                         f"(observations {i + 1} and {i + 2})")
    if dates is None or dates.size < 2:
        return False
    step = np.sign(np.diff(dates.astype(np.int64)))
    # The way most rows run is the file's: a single row out of place (the first, say) is
    # the one to name.
    backwards = bool(np.count_nonzero(step < 0) > np.count_nonzero(step > 0))
    wrong = np.flatnonzero(step > 0 if backwards else step < 0)
    if wrong.size:
        i = int(wrong[0]) + 1
        raise InputError(f"{series.path}: the rows are not in date order: {series.labels[i]} "
                         f"(observation {i + 1}) follows {series.labels[i - 1]}; sort the "
                         "rows by date")
    return backwards


def _uneven_step(series: Any) -> int | None:
    """The row whose date breaks the even spacing of a dated file's rows (a month left
    out, say), or None where the dates continue (or there are none)."""
    dates = series.dates
    if dates is None or dates.size < 3:
        return None

    def even(d: Any) -> bool:
        return continue_index(d, d.size, 1) is not None

    if even(dates):
        return None
    # Every prefix of evenly spaced dates is evenly spaced: the longest is found by
    # bisection, and the date after it is the first out of step.
    lo, hi = 2, dates.size          # even(dates[:lo]), not even(dates[:hi])
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if even(dates[:mid]):
            lo = mid
        else:
            hi = mid
    nxt = continue_index(dates[:lo], lo, 1)
    if nxt is not None and np.asarray(nxt)[0] == dates[lo]:
        return None     # evenly spaced, but the dates after them are beyond the calendar
    # The first step itself is the odd one where the dates are even after it.
    return 1 if lo == 2 and even(dates[1:]) else lo


def _as_written(forecast: Forecast, series: SeriesData) -> Forecast:
    """The forecast labelled with dates written as the file writes its own (07/31/2017,
    2007Q3); dates in ISO 8601 keep NumPy's text."""
    labels = None if forecast.index is None else series.date_labels(forecast.index)
    return forecast if labels is None else dataclasses.replace(forecast, index=labels)


def _fit(args: argparse.Namespace, z: Any, dates: Any, target: str) -> FitResult:
    # Options of the other mode would be dropped silently, and with them the season the
    # user asked for.
    if not args.auto:
        if args.season_length != 1:
            raise InputError(f"--season-length applies with --auto only; to fit a seasonal "
                             f"model give --seasonal-order P D Q {args.season_length}")
        return fit(z, tuple(args.order), tuple(args.seasonal_order), args.trend or "n",
                   index=dates, name=target, cov_type=args.cov_type, verbose=args.verbose,
                   multistart=args.multistart)
    if args.trend not in (None, "n", "c"):
        raise InputError(f"--auto searches a constant or none; --trend {args.trend} does "
                         "not apply")
    if tuple(args.order) != DEFAULT_ORDER:
        raise InputError("--auto chooses the orders; --order does not apply")
    if tuple(args.seasonal_order) != NO_SEASON:
        s = args.seasonal_order[3]
        raise InputError("--auto chooses the orders; --seasonal-order does not apply"
                         + (f" (give the season's period with --season-length {s})"
                            if s > 1 else ""))
    return auto_fit(z, args.season_length, trend=args.trend or "auto",
                    information_criterion=args.ic, stepwise=args.stepwise, n_jobs=args.jobs,
                    trace=args.trace, index=dates, name=target, cov_type=args.cov_type,
                    verbose=args.verbose, multistart=args.multistart)


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Run the command line; returns the exit status (2 for a usage or input error, 1 when
    the output cannot be written)."""
    parser = build_parser(prog)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:      # --help, or a usage error argparse has reported
        return int(exc.code or 0)
    try:
        run(args)
    except InputError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        # Ctrl-C: the fit stops promptly; the user needs no traceback for it.
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of the output has gone (`korvanta fit … | head`): stop quietly.
        _drop_output()
        return 1
    except _OutputError as exc:
        _drop_output()
        if isinstance(exc.error, BrokenPipeError):
            return 1
        print(f"{prog}: error: cannot write the output: {exc.error.strerror or exc.error}",
              file=sys.stderr)
        return 1
    return 0


def console() -> None:
    """Entry point of the `korvanta` console script."""
    sys.exit(main())
