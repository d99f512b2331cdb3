"""Forecasts: the record and its table."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional
from .dates import without_midnight
from .problem import flag

__all__ = ["Forecast", "interval_quantile"]

Vector = npt.NDArray[np.float64]


# Compared and hashed as an object, as a fit is (its fields hold arrays).
@dataclass(frozen=True, eq=False)
class Forecast:
    """Forecast means, standard errors and the (1 - alpha) interval, `steps` periods on.

    `mean`, `se`, `lower` and `upper` are NumPy arrays, or pandas Series indexed by the
    continuing dates when the model was fitted to a pandas Series.  `index` holds the
    periods' labels (None: they are numbered on after the series).
    """

    mean: Any
    se: Any
    lower: Any
    upper: Any
    alpha: float
    index: Any
    start: int      # 0-based position of the first forecast period

    @property
    def steps(self) -> int:
        return len(self.mean)

    @property
    def variance(self) -> Vector:
        """Forecast variances (the square of `se`)."""
        se = np.asarray(self.se, dtype=float)
        out: Vector = se * se
        return out

    def labels(self) -> list[str]:
        """One text label per forecast period: the continued dates or position numbers
        (1-based, continuing the observations' numbers)."""
        if self.index is None:
            return [str(self.start + h + 1) for h in range(self.steps)]
        return [_label(v) for v in self.index]

    def to_frame(self) -> Any:
        """A pandas DataFrame with the columns mean, se, lower and upper, indexed by the
        periods' labels (their 0-based positions when they are numbered on, as in the
        Series of a fit to a pandas Series)."""
        pd = _optional.pandas()
        index = self.index if self.index is not None else \
            pd.RangeIndex(self.start, self.start + self.steps)
        return pd.DataFrame({"mean": np.asarray(self.mean), "se": np.asarray(self.se),
                             "lower": np.asarray(self.lower), "upper": np.asarray(self.upper)},
                            index=index)

    def table(self, log: bool = False) -> str:
        """The forecast as a text table.

        With `log=True` the model was fitted to the logarithm of the data: the table shows
        exp(mean) (the median on the data's scale), the interval exp(lower), exp(upper) and
        the lognormal mean exp(mean + se²/2).
        """
        log = flag(log, "log")      # "no" would show the exponentiated forecast
        level = f"{100 * (1 - self.alpha):g}%"
        mean, lo, hi = (np.asarray(a, dtype=float) for a in (self.mean, self.lower, self.upper))
        if log:
            cols = ["forecast", f"lower {level}", f"upper {level}", "mean"]
            with np.errstate(over="ignore"):    # beyond the largest double: inf
                rows = np.column_stack([np.exp(mean), np.exp(lo), np.exp(hi),
                                        np.exp(mean + 0.5 * self.variance)])
            note = (f"forecast = exp(log forecast), the median on the data scale; the "
                    f"interval is exp(log interval);\nmean = exp(mean + var/2), the "
                    "lognormal mean")
        else:
            cols = ["forecast", "std.err", f"lower {level}", f"upper {level}"]
            rows = np.column_stack([mean, np.asarray(self.se, dtype=float), lo, hi])
            half = interval_quantile(self.alpha)
            note = f"forecast = mean; the interval is mean +/- {half:.2f} se"
        labels = self.labels()
        width = max([12] + [len(s) + 2 for s in labels])
        head = f"{'period':<{width}}" + "".join(f"{c:>14}" for c in cols)
        lines = [f"Forecast, {self.steps} periods ahead", "", head, "-" * len(head)]
        for lab, row in zip(labels, rows):
            lines.append(f"{lab:<{width}}" + "".join(f"{_fmt(v):>14}" for v in row))
        lines += ["-" * len(head), note]
        return "\n".join(lines)


def interval_quantile(alpha: float) -> float:
    """The standard normal quantile that leaves alpha / 2 above it: the half-width of a
    (1 - alpha) interval in standard errors."""
    from scipy.special import ndtri_exp
    from scipy.stats import norm

    if alpha >= 1e-3:
        return float(norm.ppf(1.0 - alpha / 2.0))
    # 1 - alpha/2 loses alpha's digits, and rounds to 1 (an infinite quantile) below
    # alpha = 1e-16: the lower tail's quantile is taken from the logarithm of its
    # probability (alpha/2 itself rounds to 0 at the smallest alpha, 5e-324).
    return float(-ndtri_exp(math.log(alpha) - math.log(2.0)))


def _fmt(v: float) -> str:
    if not math.isfinite(v):
        return str(v)
    return f"{v:.4f}" if abs(v) < 1e5 else f"{v:.6g}"


def _label(v: Any) -> str:
    # Dates at midnight print without the time.
    return without_midnight(str(v))
