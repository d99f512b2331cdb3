"""The text summary of a fit."""

from __future__ import annotations

import math
import unicodedata
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from .diagnostics import Diagnostics
    from .results import FitResult

__all__ = ["summary_text", "model_name"]

_WIDTH = 78
_TRENDS = {(): "none", (0,): "c (constant)", (1,): "t (linear)", (0, 1): "ct"}


def model_name(order: tuple[int, ...], seasonal_order: tuple[int, ...], k_exog: int) -> str:
    text = f"SARIMA{order}"
    if any(seasonal_order[:3]):
        text += f"x{seasonal_order}"
    return text.replace("SARIMA", "SARIMAX") if k_exog else text


def _num(v: float, width: int, digits: int = 4, small: bool = True) -> str:
    """`v` right-aligned in `width` characters, at least one of them a space before it (a
    wider number widens its column rather than running into the one before).  Numbers of a
    million and more, and below 0.01 where `small` asks for their digits, in exponent
    form."""
    if not math.isfinite(v):
        text = "nan" if math.isnan(v) else f"{v}"
    elif v != 0 and (abs(v) >= 1e6 or (small and abs(v) < 1e-2)):
        text = f"{v:.{digits}e}"
    else:
        text = f"{v:.{digits}f}"
    return f" {text}".rjust(width)


def _printable(text: str) -> str:
    """`text` with its control characters as spaces: a name from a file's header can hold
    a line break or a tab, which would break the table's lines."""
    return "".join(c if c.isprintable() else " " for c in text)


def _width(text: str) -> int:
    """The columns `text` takes on a terminal: East Asian wide and full-width characters
    take two, combining marks none."""
    return sum(0 if unicodedata.combining(c) or unicodedata.category(c) in ("Mn", "Me")
               else 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1 for c in text)


def _ljust(text: str, width: int) -> str:
    """`text` padded with spaces to `width` columns on a terminal."""
    return text + " " * max(width - _width(text), 0)


def _diagnostics_lines(d: Diagnostics) -> list[str]:
    """The residual checks, two to a line, closed by a rule."""
    def value(v: float) -> str:
        return _num(v, 12, 3, small=False)

    rows = [
        (f"Ljung-Box Q({d.lags})", value(d.ljung_box), "Jarque-Bera (JB)", value(d.jarque_bera)),
        (f"Prob(Q), {d.ljung_box_df} df", value(d.ljung_box_pvalue), "Prob(JB)",
         value(d.jarque_bera_pvalue)),
        ("Heteroskedasticity (H)", value(d.heteroskedasticity), "Skew", value(d.skew)),
        ("Prob(H), two-sided", value(d.heteroskedasticity_pvalue), "Kurtosis",
         value(d.kurtosis)),
    ]
    lines = [f"{lk + ':':<25}{lv.strip():>12}{'':4}{rk + ':':<25}{rv.strip():>12}"
             for lk, lv, rk, rv in rows]
    return [*lines, "=" * _WIDTH]


def summary_text(res: FitResult, title: str | None = None) -> str:
    pr = res.problem
    left = [
        ("Series", _printable(pr.name)),
        ("Model", model_name(pr.order, pr.seasonal_order, pr.k_exog)),
        ("Trend", _TRENDS.get(pr.trend_powers, f"powers {list(pr.trend_powers)}")),
        ("Observations", f"{pr.n_given}"),
        ("In likelihood", f"{res.nobs} (first {res.k_diffuse} initialise)"),
        ("Covariance", "outer product of scores" if res.cov_type == "opg"
         else "numerical Hessian"),
        ("Converged", "yes" if res.converged else "NO"),
    ]
    right = [
        ("Log-likelihood", _num(res.llf, 12, 3)),
        ("AIC", _num(res.aic, 12, 3)),
        ("AICc", _num(res.aicc, 12, 3)),
        ("BIC", _num(res.bic, 12, 3)),
        ("HQIC", _num(res.hqic, 12, 3)),
        ("Iterations", f"{res.iterations:>12d}"),
        ("Gradient calls", f"{res.n_evaluations:>12d}"),
    ]
    lines = [(title or "Maximum-likelihood fit").center(_WIDTH), "=" * _WIDTH]
    for (lk, lv), (rk, rv) in zip(left, right):
        pair = f"{rk + ':':<16}{rv.strip():>16}"
        if _width(lv) > 30:
            # A long name (a series' or the model's) has the line to itself rather than
            # running into the right-hand column.
            lines += [f"{lk + ':':<15}{lv}", f"{'':<46}{pair}"]
        else:
            lines.append(f"{lk + ':':<15}{_ljust(lv, 31)}{pair}")
    lines.append("=" * _WIDTH)
    lines.append(f"{'':<14}{'coef':>12}{'std err':>12}{'z':>8}{'P>|z|':>8}"
                 f"{'[0.025':>12}{'0.975]':>12}")
    lines.append("-" * _WIDTH)
    ci = res.conf_int(0.05)
    with np.errstate(invalid="ignore"):
        for name, est, se, z, p, (lo, hi) in zip(res.param_names, res.params, res.bse,
                                                  res.zvalues, res.pvalues, ci):
            name = _printable(name)
            if _width(name) > 13:
                # A long regressor name has the line to itself, and its numbers stay in
                # their columns on the next.
                lines.append(name)
                name = ""
            lines.append(f"{_ljust(name, 14)}{_num(est, 12)}{_num(se, 12)}"
                         f"{_num(z, 8, 2, small=False)}{p:>8.3f}{_num(lo, 12)}{_num(hi, 12)}")
    lines.append("=" * _WIDTH)
    lines += _diagnostics_lines(res.diagnostics())
    notes = []
    if res.concentrate_scale:
        notes.append("sigma2 was concentrated out of the likelihood during the search.")
    notes += list(res.warnings)
    if res.covariance_note is not None:
        notes.append(res.covariance_note)
    for i, note in enumerate(notes, 1):
        lines.append(f"[{i}] {note}")
    return "\n".join(lines)
