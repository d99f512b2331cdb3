"""The record of an automatic order search: every candidate tried, and why some were
dropped."""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from . import _optional

__all__ = ["Candidate", "SearchTable", "model_label"]


def model_label(order: tuple[int, int, int], seasonal_order: tuple[int, int, int, int],
                constant: bool) -> str:
    """`ARIMA(1,1,1)(0,1,1)[12] with drift`: the constant is a drift after one difference
    in all, a mean without differencing (and a polynomial trend after more)."""
    p, d, q = order
    P, D, Q, s = seasonal_order
    text = f"ARIMA({p},{d},{q})"
    if s > 1:
        text += f"({P},{D},{Q})[{s}]"
    if constant:
        k = d + D
        text += {0: " with non-zero mean", 1: " with drift"}.get(k, " with constant")
    return text


@dataclass(frozen=True)
class Candidate:
    """One model the search fitted (or tried to)."""

    order: tuple[int, int, int]
    seasonal_order: tuple[int, int, int, int]
    constant: bool
    criterion: float            # the information criterion; inf when dropped
    fit_time: float             # seconds
    n_evaluations: int          # log-likelihood-and-gradient calls of its fit
    reason: str                 # why it was dropped; "" when it was kept

    @property
    def label(self) -> str:
        return model_label(self.order, self.seasonal_order, self.constant)

    @property
    def dropped(self) -> bool:
        return bool(self.reason)

    @property
    def key(self) -> tuple[tuple[int, int, int], tuple[int, int, int, int], bool]:
        return self.order, self.seasonal_order, self.constant

    @property
    def status(self) -> str:
        return "dropped" if self.dropped else "ok"

    def trace_line(self, criterion_name: str) -> str:
        """One line in the style of the trace users know from other tools."""
        if self.dropped:
            return f" {self.label:<42}: Inf ({self.reason}; {self.fit_time:.2f} s)"
        return (f" {self.label:<42}: {criterion_name}={self.criterion:.3f} "
                f"({self.fit_time:.2f} s)")


@dataclass(frozen=True)
class SearchTable:
    """Every candidate of a search in the order they finished, with its setting: the
    differences used (`d`, `D`), the season length searched (1 after a fallback), the
    criterion's name, notes such as the reason for a fallback, and the key of the model
    the search chose (None: the kept candidate with the smallest criterion)."""

    candidates: tuple[Candidate, ...]
    criterion: str                  # "aicc", "aic", "bic" or "hqic"
    d: int
    D: int
    season_length: int
    stepwise: bool
    elapsed: float                  # seconds, the whole search with the final fit
    notes: tuple[str, ...]
    chosen: tuple[tuple[int, int, int], tuple[int, int, int, int], bool] | None = None

    def __len__(self) -> int:
        return len(self.candidates)

    def __iter__(self) -> Iterator[Candidate]:
        return iter(self.candidates)

    def __getitem__(self, i: int) -> Candidate:
        return self.candidates[i]

    @property
    def best(self) -> Candidate:
        """The model the search chose: where it is recorded, that candidate (the stepwise
        search moves to the first neighbour that improves, and of neighbours fitted side
        by side a later one can improve more, so this is not always the smallest
        criterion listed); else the kept candidate with the smallest criterion (the first
        of equals)."""
        if self.chosen is not None:
            for c in self.candidates:
                if c.key == self.chosen:
                    return c
        kept = [c for c in self.candidates if not c.dropped]
        if not kept:
            raise LookupError("every candidate was dropped")
        # A NaN criterion compares as neither smaller nor larger: ranked last, it cannot
        # win just by coming first.
        return min(kept, key=lambda c: (math.isnan(c.criterion), c.criterion))

    @property
    def n_dropped(self) -> int:
        return sum(c.dropped for c in self.candidates)

    def text(self) -> str:
        """A plain-text table, one row per candidate, the chosen one marked."""
        name = self.criterion.upper() if self.criterion != "aicc" else "AICc"
        try:
            best: Candidate | None = self.best
        except LookupError:
            best = None
        head = (f"{'model':<44}{name:>12}{'time s':>9}{'evals':>7}  status")
        lines = [f"Order search ({'stepwise' if self.stepwise else 'whole grid'}, "
                 f"d={self.d}, D={self.D}, season length {self.season_length}): "
                 f"{len(self)} candidates, {self.n_dropped} dropped, "
                 f"{self.elapsed:.2f} s", head, "-" * len(head)]
        for c in self.candidates:
            value = _criterion_text(c.criterion)
            status = "chosen" if c is best else c.status
            if c.dropped:
                status += f": {c.reason}"
            lines.append(f"{c.label:<44}{value:>12}{c.fit_time:>9.2f}{c.n_evaluations:>7}"
                         f"  {status}")
        lines += [f"Note: {note}" for note in self.notes]
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.text()

    def to_frame(self) -> Any:
        """The table as a pandas DataFrame (needs the `pandas` extra)."""
        pd = _optional.pandas()
        try:
            best: Candidate | None = self.best
        except LookupError:
            best = None
        columns = ["model", "p", "d", "q", "P", "D", "Q", "m", "constant", self.criterion,
                   "fit_time", "n_evaluations", "status", "reason"]
        rows = [{"model": c.label, "p": c.order[0], "d": c.order[1], "q": c.order[2],
                 "P": c.seasonal_order[0], "D": c.seasonal_order[1],
                 "Q": c.seasonal_order[2], "m": c.seasonal_order[3],
                 "constant": c.constant, self.criterion: c.criterion,
                 "fit_time": c.fit_time, "n_evaluations": c.n_evaluations,
                 "status": "chosen" if c is best else c.status, "reason": c.reason}
                for c in self.candidates]
        # The columns are named also for a table without candidates.
        return pd.DataFrame(rows, columns=columns)


def _criterion_text(value: float) -> str:
    """A criterion in the table: "Inf" for a dropped candidate; a NaN or -inf as such."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Inf" if value > 0 else "-Inf"
    return f"{value:.3f}"
