"""The forecast chart (matplotlib, the `plot` extra)."""

from __future__ import annotations

import io
import os
import shutil
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _optional
from .dates import as_datetimes, continue_index
from .diagnostics import autocorrelations
from .problem import InputError, check_steps, flag

if TYPE_CHECKING:
    from .results import FitResult

__all__ = ["plot_forecast", "plot_diagnostics", "check_chart_path"]

# Largest magnitude drawn: matplotlib's tick arithmetic overflows near the largest double.
_DRAWABLE = 1e300
# matplotlib's date axis spans these years: other dates are drawn at their positions.
_FIRST_DATE, _LAST_DATE = np.datetime64("0001-01-01"), np.datetime64("9999-12-31")


# Room kept on either side of the dates: matplotlib pads the axis by 5% of the span (its
# default margins) and fails when that padding runs outside its range of dates.
_MARGIN = 0.1


def _drawable(*dates: npt.NDArray[Any]) -> bool:
    """Whether dates drawn on one axis, with its margins, lie within matplotlib's range."""
    # Compared in days: in nanoseconds the year 1 itself is out of range.
    days = np.concatenate([d.astype("datetime64[D]").astype(np.int64) for d in dates])
    if days.size == 0:
        return True
    first, last = int(days.min()), int(days.max())
    room = int(np.ceil(_MARGIN * (last - first))) + 1
    return bool(first - room >= int(_FIRST_DATE.astype(np.int64))
                and last + room <= int(_LAST_DATE.astype(np.int64)))


def _chart_dates(index: Any) -> npt.NDArray[Any] | None:
    """The index as datetime64 values for a chart's x axis, or None if it holds no dates
    that can be drawn."""
    try:
        return as_datetimes(index)
    except (ValueError, OverflowError):
        # Periods outside pandas' range of nanosecond dates (before 1677 or after 2262;
        # pandas' OutOfBoundsDatetime is a ValueError) are taken by their first day.
        pd = _optional.pandas_if_loaded()
        if pd is None or not isinstance(index, pd.PeriodIndex):
            raise
    try:
        # Daily periods are numbered in days from 1970-01-01.
        days = np.asarray(index.asfreq("D", how="start").asi8, dtype=np.int64)
    except (ValueError, OverflowError):
        return None
    # Periods shorter than a day would share their days: drawn at their positions.
    return days.astype("datetime64[D]") if np.unique(days).size == days.size else None


def _numbers(index: Any) -> npt.NDArray[np.int64] | None:
    """Integer labels a constant step apart (years, say, which the forecast's labels
    continue) as a chart's x values, or None."""
    if index is None:
        return None
    # A pandas Index, or the array or list given as `index=` (whose forecast labels
    # continue the numbers just the same).
    pd = _optional.pandas_if_loaded()
    values = index if pd is not None and isinstance(index, pd.Index) else np.asarray(index)
    if values.ndim != 1 or values.dtype.kind not in "iu" or \
            continue_index(index, len(index), 0) is None:
        return None
    return np.asarray(values, dtype=np.int64)


def check_chart_path(path: str | os.PathLike[str]) -> Path:
    """A path the chart can be saved to, or InputError: the format must be one matplotlib
    writes and the folder must exist and be writable.  Checked before any work."""
    try:
        p = Path(path)
    except TypeError:
        raise InputError(f"the chart's path must be a file name (a str or os.PathLike); "
                         f"got {type(path).__name__}") from None
    if "\0" in str(p):
        # No file name holds one: open() would refuse it only after the drawing.
        raise InputError(f"cannot write the chart to {str(p)!r}: the path holds a null "
                         "character")
    try:
        return _checked(p)
    except OSError as exc:      # a name too long for the file system, say
        raise InputError(f"cannot write the chart to {p}: {exc.strerror or exc}") from None


def _checked(p: Path) -> Path:
    try:
        # Raises what keeps the file from being opened (a name too long for the file
        # system, say), which the checks below would take for a file that is not there.
        os.stat(p)
    except (FileNotFoundError, NotADirectoryError):
        pass
    suffix = p.suffix.lower().lstrip(".")
    if not suffix:
        raise InputError(f"cannot tell the chart format of {p}: give it a file extension "
                         "such as .png, .svg or .pdf")
    _optional.pyplot()  # names the extra to install when matplotlib is missing
    from matplotlib.backend_bases import FigureCanvasBase

    formats = FigureCanvasBase.get_supported_filetypes()
    if suffix not in formats:
        raise InputError(f"unsupported chart format '.{suffix}' for {p}; use one of "
                         + ", ".join(f".{f}" for f in sorted(formats)))
    written = p
    if p.is_symlink():
        # The chart is written through the link: its target's folder must exist.
        try:
            written = p.resolve()
        except (OSError, RuntimeError) as exc:       # a loop of links
            raise InputError(f"cannot write the chart to {p}: {exc}") from None
    folder = written.parent if str(written.parent) else Path(".")
    if not folder.is_dir():
        raise InputError(f"cannot write the chart to {p}: the folder {folder} does not exist")
    if p.is_dir():
        raise InputError(f"cannot write the chart to {p}: it is a folder")
    if suffix == "pgf":
        # matplotlib measures the text of a .pgf chart with TeX, and fails without it.
        from matplotlib import rcParams

        tex = str(rcParams["pgf.texsystem"])
        if shutil.which(tex) is None:
            raise InputError(f"cannot write the chart to {p}: the .pgf format needs {tex} "
                             "(a TeX system), which is not installed; use .pdf, .svg or .png")
    if not os.access(folder, os.W_OK) or (p.exists() and not os.access(p, os.W_OK)):
        raise InputError(f"cannot write the chart to {p}: permission denied")
    if not p.exists():
        # Permissions do not tell everything (a folder of /proc, a read-only file system,
        # a full quota; root passes every access test): the file is created and removed
        # again, so that the chart cannot fail to save only after the work.
        try:
            os.close(os.open(written, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except OSError as exc:
            raise InputError(f"cannot write the chart to {p}: {exc.strerror or exc}") from None
        os.unlink(written)
    return p


def plot_forecast(result: FitResult, steps: int, *, exog: Any = None, alpha: float = 0.05,
                  log: bool = False, in_sample: bool = False, path: Any = None,
                  ax: Any = None, title: str | None = None) -> Any:
    """Draw the observed series and its forecast with the (1 - alpha) interval.

    With `log=True` the model describes the logarithm of the data and everything is drawn
    on the data's scale (exp).  `in_sample=True` adds the one-step predictions, drawn
    under the observed line.  The forecast line and band start at the last observation,
    so the two parts join.  Returns the Figure; saves it to `path` when given.
    """
    steps = check_steps(steps)
    # "no" would draw the exponentiated series.
    log, in_sample = flag(log, "log"), flag(in_sample, "in_sample")
    target = check_chart_path(path) if path is not None else None
    plt = _optional.pyplot()
    from matplotlib.axes import Axes

    if ax is not None and not isinstance(ax, Axes):
        raise InputError(f"ax must be a matplotlib Axes to draw in; got {type(ax).__name__}")
    fc = result.forecast(steps, exog=exog, alpha=alpha)
    pr = result.problem
    n = pr.n_given
    dates = _chart_dates(pr.index)
    future = _chart_dates(fc.index) if dates is not None else None
    numbers = _numbers(pr.index)
    x_hist: npt.NDArray[Any]
    x_fc: npt.NDArray[Any]
    day = np.dtype("datetime64[D]")
    if dates is not None and future is not None and dates.dtype != future.dtype and \
            day in (dates.dtype, future.dtype):
        # Periods partly outside pandas' nanosecond range, taken by day there: in one
        # unit, that holds both (joined in nanoseconds, the days would wrap around).
        dates, future = dates.astype("datetime64[s]"), future.astype("datetime64[s]")
    if dates is not None and future is not None and _drawable(dates, future):
        x_hist, x_fc = dates, future
    elif numbers is not None and fc.index is not None:
        # Integer labels (years, say): the forecast's continue them.
        x_hist, x_fc = numbers, np.asarray(fc.index, dtype=np.int64)
    else:
        x_hist, x_fc = np.arange(n), np.arange(n, n + steps)

    def back(v: Any) -> npt.NDArray[np.float64]:
        arr = np.asarray(v, dtype=float)
        if log:
            with np.errstate(over="ignore"):
                arr = np.exp(arr)
        # matplotlib's tick arithmetic overflows near the largest double (an interval of
        # a log model, exponentiated): such values are left out of the chart, like inf.
        return np.where(np.abs(arr) > _DRAWABLE, np.copysign(np.inf, arr), arr)

    y = back(pr.y_given)
    own = ax is None
    if ax is None:
        fig, ax = plt.subplots(figsize=(10, 5))
    else:
        # The root Figure: an Axes in a SubFigure has that as its `figure`, which has no
        # layout of its own and cannot be saved.
        fig = ax.figure.figure
    if in_sample:
        k = pr.lead + pr.k_diffuse
        ax.plot(x_hist[k:], back(result.fittedvalues)[k:], color="tab:blue", lw=0.9,
                ls="--", alpha=0.8, zorder=2, label="one-step prediction")
    ax.plot(x_hist, y, color="black", lw=1.4, zorder=3, label="observed")
    if steps:
        # Join the forecast to the last observed value (when there is one).
        last = np.flatnonzero(~np.isnan(y))[-1]
        joined = last == n - 1
        xs = np.concatenate([x_hist[-1:], x_fc]) if joined else x_fc
        mean, lo, hi = (np.asarray(a, dtype=float) for a in (fc.mean, fc.lower, fc.upper))
        if joined:
            mean, lo, hi = (np.concatenate([pr.y_given[-1:], a]) for a in (mean, lo, hi))
        level = f"{100 * (1 - alpha):g}% interval"
        ax.fill_between(xs, back(lo), back(hi), color="tab:red", alpha=0.2, lw=0, zorder=1,
                        label=level)
        ax.plot(xs, back(mean), color="tab:red", lw=1.6, zorder=4, label="forecast")
    from .summary import model_name

    # A name from a file's header can hold tabs or other control characters, which the
    # fonts have no glyph for.
    name = "".join(c if c.isprintable() else " " for c in pr.name)
    ax.set_title(title or f"{model_name(pr.order, pr.seasonal_order, pr.k_exog)} "
                          f"fitted to {name}")
    # Drawn on the data's scale: a "log(x)" series is labelled x.
    logged = log and name.startswith("log(") and name.endswith(")")
    ax.set_ylabel(name[4:-1] if logged else name)
    ax.legend(loc="upper left")
    ax.grid(alpha=0.3)
    _lay_out(fig)
    _save(fig, target, own)
    return fig


def plot_diagnostics(result: FitResult, *, lags: int | None = None, path: Any = None,
                     title: str | None = None) -> Any:
    """Four panels of the standardized residuals: over time, their histogram against the
    standard normal density, their normal quantile plot, and their autocorrelations with
    the ±1.96/√n band of white noise.  Returns the Figure; saves it to `path` when
    given."""
    target = check_chart_path(path) if path is not None else None
    checks = result.diagnostics(lags)     # checks `lags` before any drawing
    plt = _optional.pyplot()
    from scipy.stats import norm

    pr = result.problem
    e = np.asarray(result.standardized_resid, dtype=float)
    dates = _chart_dates(pr.index)
    numbers = _numbers(pr.index)
    x: npt.NDArray[Any] = dates if dates is not None and _drawable(dates) else \
        numbers if numbers is not None else np.arange(pr.n_given)
    present = np.isfinite(e)
    values = e[present]
    # Drawn values only: a residual of 1e300 (a degenerate fit) would break the axes.
    drawn = values[np.abs(values) <= _DRAWABLE]
    fig, axes = plt.subplots(2, 2, figsize=(10, 7))
    over_time, histogram, quantiles, correlogram = axes.ravel()

    over_time.plot(x[pr.k_diffuse:], np.where(np.abs(e) <= _DRAWABLE, e, np.nan)[pr.k_diffuse:],
                   color="black", lw=0.9)
    over_time.axhline(0.0, color="tab:gray", lw=0.8)
    over_time.set_title("Standardized residuals")

    if drawn.size:
        histogram.hist(drawn, bins=max(5, min(40, int(np.sqrt(drawn.size)))), density=True,
                       color="tab:blue", alpha=0.6, label="residuals")
    grid = np.linspace(-4.0, 4.0, 201)
    histogram.plot(grid, norm.pdf(grid), color="tab:red", lw=1.4, label="N(0, 1)")
    histogram.set_title("Histogram")
    histogram.legend(loc="upper left")

    if drawn.size:
        ordered = np.sort(drawn)
        # Blom's plotting positions.
        expected = norm.ppf((np.arange(1, ordered.size + 1) - 0.375) / (ordered.size + 0.25))
        quantiles.plot(expected, ordered, "o", ms=3, color="tab:blue")
        edge = float(np.max(np.abs(expected)))
        quantiles.plot([-edge, edge], [-edge, edge], color="tab:red", lw=1.2)
    quantiles.set_xlabel("normal quantile")
    quantiles.set_title("Normal Q-Q")

    r = autocorrelations(e, checks.lags)
    k = np.arange(1, r.size + 1)
    correlogram.vlines(k, 0.0, r, color="tab:blue", lw=2)
    correlogram.axhline(0.0, color="black", lw=0.8)
    if checks.nobs:
        band = 1.96 / np.sqrt(checks.nobs)
        correlogram.axhspan(-band, band, color="tab:gray", alpha=0.2, lw=0)
    correlogram.set_xlabel("lag")
    correlogram.set_title(f"Autocorrelations (Ljung-Box p = {checks.ljung_box_pvalue:.3f})")

    for ax in axes.ravel():
        ax.grid(alpha=0.3)
    from .summary import model_name

    name = "".join(c if c.isprintable() else " " for c in pr.name)
    fig.suptitle(title or f"Residuals of {model_name(pr.order, pr.seasonal_order, pr.k_exog)} "
                          f"fitted to {name}")
    _lay_out(fig)
    _save(fig, target)
    return fig


def _lay_out(fig: Any) -> None:
    """Fit the panels and labels into the Figure, unless it lays itself out: a Figure with
    a layout engine of its own (the caller's, or the rcParams' constrained layout) would
    lose it to tight_layout, with a warning."""
    get_engine = getattr(fig, "get_layout_engine", None)
    if get_engine is not None:          # matplotlib 3.6 on
        from matplotlib import layout_engine

        # What tight_layout leaves behind (from matplotlib 3.6.1): no layout of the caller's.
        placeholder = getattr(layout_engine, "PlaceHolderLayoutEngine", ())
        engine = get_engine()
        if engine is not None and not isinstance(engine, placeholder):
            return
    elif fig.get_constrained_layout():
        return
    fig.tight_layout()


def _save(fig: Any, target: Path | None, own: bool = True) -> None:
    """Save the Figure to the checked path, if any; a failure to write is an InputError.

    The chart is rendered in memory first and written in one piece, so that a failure
    while drawing leaves no file behind, and a failure while writing removes the part
    written.  `own`: the Figure was made here (not the caller's, drawn into through `ax`)."""
    if target is None:
        return
    try:
        _write(fig, target)
    except BaseException:
        # The caller never receives a Figure made here: pyplot would hold it (and its
        # memory) for the rest of the session.  The caller's own Figure stays theirs.
        if own:
            _optional.pyplot().close(fig)
        raise


def _write(fig: Any, target: Path) -> None:
    buffer = io.BytesIO()
    try:
        fig.savefig(buffer, format=target.suffix.lower().lstrip("."), dpi=100)
    except OSError as exc:
        raise InputError(f"cannot write the chart to {target}: {exc.strerror or exc}") from None
    opened = False
    try:
        with open(target, "wb") as fh:
            opened = True
            fh.write(buffer.getbuffer())
    except OSError as exc:
        if opened:      # truncated or half-written: no chart is better than a broken one
            try:
                os.unlink(target)
            except OSError:
                pass
        raise InputError(f"cannot write the chart to {target}: {exc.strerror or exc}") from None
