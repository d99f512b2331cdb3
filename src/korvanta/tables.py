"""The tables of many fits: one summary row per series, and the long forecast table.

Rows are added as the fits come in and only their numbers are kept (never the fit
results themselves); the tables are built once at the end, as pandas DataFrames when
pandas is installed, else as dicts of NumPy arrays.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional

__all__ = ["Outcome", "TableBuilder", "OK", "NOT_CONVERGED", "FAILED", "SUMMARY_COLUMNS",
           "FORECAST_COLUMNS"]

Vector = npt.NDArray[np.float64]

OK, NOT_CONVERGED, FAILED = "ok", "not converged", "failed"
SUMMARY_COLUMNS = ("unique_id", "status", "message", "nobs", "llf", "aic", "bic")
FORECAST_COLUMNS = ("unique_id", "ds", "mean", "lower", "upper")


@dataclass(frozen=True)
class Outcome:
    """What became of one series: the numbers of its row and its forecast, if any."""

    uid: Any
    status: str
    message: str
    nobs: int
    llf: float
    aic: float
    bic: float
    params: Vector | None       # None when the fit failed
    forecast: tuple[npt.NDArray[Any], Vector, Vector, Vector] | None   # ds, mean, lower, upper
    # With a model chosen per series: its label and its parameters' names.
    model: str | None = None
    names: tuple[str, ...] | None = None

    @classmethod
    def failed(cls, uid: Any, message: str) -> Outcome:
        nan = float("nan")
        return cls(uid, FAILED, message, 0, nan, nan, nan, None, None)


class TableBuilder:
    """Collects outcomes in order and builds the two tables.

    param_names None: every series has a model of its own (`Outcome.model`, `.names`);
    the summary then has a `model` column and a column for every parameter name that
    any series has, NaN where a series' model has no such parameter."""

    def __init__(self, param_names: tuple[str, ...] | None, with_forecast: bool) -> None:
        self.per_series = param_names is None
        self.param_names: dict[str, int] = {n: j for j, n in enumerate(param_names or ())}
        self.with_forecast = with_forecast
        self._rows: list[tuple[Any, str, str, int, float, float, float]] = []
        self._models: list[str] = []
        self._params: list[tuple[list[int], Vector]] = []
        self._fc: list[tuple[Any, npt.NDArray[Any], Vector, Vector, Vector]] = []

    def add(self, o: Outcome) -> None:
        self._rows.append((o.uid, o.status, o.message, o.nobs, o.llf, o.aic, o.bic))
        if self.per_series:
            self._models.append(o.model or "")
        where: list[int] = []
        if o.params is not None:
            names = o.names if self.per_series and o.names is not None else \
                tuple(self.param_names)
            where = [self.param_names.setdefault(n, len(self.param_names)) for n in names]
        self._params.append((where, o.params if o.params is not None else np.empty(0)))
        if self.with_forecast and o.forecast is not None:
            self._fc.append((o.uid, *o.forecast))

    def summary(self) -> Any:
        cols: dict[str, Any] = {}
        ids, status, message, nobs, llf, aic, bic = (list(c) for c in zip(*self._rows)) \
            if self._rows else ([] for _ in SUMMARY_COLUMNS)
        cols["unique_id"] = _ids(ids)
        cols["status"] = _objects(status)
        cols["message"] = _objects(message)
        if self.per_series:
            cols["model"] = _objects(self._models)
        cols["nobs"] = np.array(nobs, dtype=np.int64)
        for name, values in (("llf", llf), ("aic", aic), ("bic", bic)):
            cols[name] = np.array(values, dtype=np.float64)
        params = np.full((len(self._params), len(self.param_names)), np.nan)
        for i, (where, row) in enumerate(self._params):
            params[i, where] = row
        for name, j in self.param_names.items():
            cols[name] = np.ascontiguousarray(params[:, j])
        return _table(cols)

    def forecasts(self) -> Any:
        if not self.with_forecast:
            return None
        lengths = [len(f[2]) for f in self._fc]
        ids = _ids([uid for uid, *_ in self._fc])
        cols = {
            "unique_id": np.repeat(ids, lengths),
            "ds": _dates([f[1] for f in self._fc]),
            "mean": _concat([f[2] for f in self._fc]),
            "lower": _concat([f[3] for f in self._fc]),
            "upper": _concat([f[4] for f in self._fc]),
        }
        return _table(cols)


def _ids(values: list[Any]) -> npt.NDArray[Any]:
    """Ids as an array of their own type (numbers, text), or of objects when mixed."""
    kinds = {type(v) for v in values}
    # Sequences (tuples, say) are ids as a whole: as an array they would become rows, and
    # rows of different lengths an error (or, in NumPy 1.x, a deprecation warning).
    if len(kinds) == 1 and not issubclass(next(iter(kinds)), (tuple, list, np.ndarray)):
        kind = next(iter(kinds))
        try:
            arr = np.asarray(values)
        except (ValueError, TypeError, OverflowError):
            return _objects(values)
        # Python integers that no one integer type holds (-1 beside 2**63) become floats,
        # which round them: two ids could become one.
        exact = not (issubclass(kind, int) and arr.dtype.kind not in "iub")
        # NumPy's text arrays drop trailing null characters: "a\0" would become "a".
        if arr.dtype.kind in "US":
            exact = exact and arr.tolist() == values
        if arr.ndim == 1 and arr.dtype.kind in "iufUSbM" and exact:
            return arr
    return _objects(values)


def _objects(values: list[Any]) -> npt.NDArray[Any]:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _dates(parts: list[npt.NDArray[Any]]) -> npt.NDArray[Any]:
    """The forecast dates: datetime64 or integer positions, objects if a mapping mixed
    dated series with plain arrays."""
    kinds = {p.dtype.kind for p in parts}
    if not parts or kinds == {"i"}:
        return np.concatenate(parts) if parts else np.empty(0, dtype=np.int64)
    if kinds == {"M"}:
        return np.concatenate([p.astype("datetime64[ns]") for p in parts])
    # (datetime64[ns] would turn into integers here: microseconds give datetime objects.)
    return _objects([v for p in parts for v in
                     (p.astype("datetime64[us]") if p.dtype.kind == "M" else p).tolist()])


def _concat(parts: list[Vector]) -> Vector:
    return np.concatenate(parts) if parts else np.empty(0)


def _table(cols: dict[str, Any]) -> Any:
    pd = _optional.pandas_if_installed()
    if pd is None:
        return cols
    return pd.DataFrame(cols)
