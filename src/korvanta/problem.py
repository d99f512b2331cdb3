"""Turning user input into a checked estimation problem.

`make_problem` is the one place where a user's series, orders, trend and regressors are
checked and converted: everything after it works on contiguous float64 arrays and plain
tuples and never checks them again.  Every problem it finds raises `InputError` (a
`ValueError`) or `TypeError` with a message that names the argument, before any fitting.
"""

from __future__ import annotations

import datetime
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from . import _optional
from .dates import date_text, object_dates
from .names import clashing_exog_name, param_names

__all__ = ["InputError", "Problem", "checked_param_names", "make_problem", "check_exog",
           "check_steps", "MIN_EXTRA_OBS", "MAX_HORIZON"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

# Observations that must enter the likelihood beyond one per parameter; with fewer, the
# estimates (and certainly their standard errors) mean nothing.
MIN_EXTRA_OBS = 10
# The extension refuses longer forecasts (its vectors would exceed 768 MiB).
MAX_HORIZON = 2 ** 25
# Variance of the diffuse initial states, in the data's units (the extension's default).
DIFFUSE_VARIANCE = 1e6
# ... but at most this many times a rough innovation variance of the series: the first
# updates of the diffuse states cancel their variance down to the innovations', and in a
# series in small units (a standard deviation of 1e-6 and below) the rounding of 1e6 left
# nothing of the likelihood, the forecasts or the residuals (a negative forecast variance:
# NaN).  At 1e11 rounding costs a few 1e-6 of the log-likelihood at most.
DIFFUSE_RATIO = 1e11
# The extension's test for a settled covariance (the sum of the squared changes of its
# entries below this) is absolute: in a series in small units it passes while the
# covariance still changes by a fraction of a percent per step (an ARMA(1,1) with a
# standard deviation of 1e-4 lost 0.05 of its log-likelihood).  The problem's tolerance
# is this times the fourth power of the series' rough innovation scale where that is below
# one, which makes the test the same in any smaller units.
STEADY_TOLERANCE = 1e-19
# Values that initialise the differencing beyond this many standard deviations of the
# diffuse states' prior (centred on zero): the prior is then not diffuse for them.
FAR_FROM_PRIOR = 30.0
# The prior's pull on the level of a differenced series, in innovation scales, beyond
# which the series is measured from its first values (about a standard error of the
# coefficients: the Nile flows in units of 1e7 m³, pulled by some 20 scales, gave an MA
# coefficient 2.2 standard errors from its value in the usual 1e8 m³; of the classic series, the
# most pulled, the UK lung deaths, by 1.7, are 0.35 standard errors off and kept as they
# are, like the published optima that share this prior).
PRIOR_PULL = 10.0
# Magnitudes of the data that the fit supports.  Variances and least squares need squares
# and sums of squares of the data: beyond about 1e150 they overflow, and below about
# 1e-160 they fall into the subnormal range, where the variance of a series reads as zero
# or divides into NaN.  The bounds leave a margin for long series.
LARGEST_MAGNITUDE = 1e120
SMALLEST_MAGNITUDE = 1e-120

_TRENDS = {"n": (), "c": (0,), "t": (1,), "ct": (0, 1)}


class InputError(ValueError):
    """Input that cannot be fitted or forecast: the message says what and why."""


@dataclass(frozen=True)
class Problem:
    """A checked estimation problem: the series, the model and the extension's layout."""

    y: Vector                       # contiguous float64, NaN = missing
    order: tuple[int, int, int]
    seasonal_order: tuple[int, int, int, int]
    trend_powers: tuple[int, ...]
    exog: Vector | None             # flat, regressor by regressor (Fortran order)
    k_exog: int
    exog_names: tuple[str, ...]
    enforce_stationarity: bool
    enforce_invertibility: bool
    name: str                       # the series' name ("y" when it has none)
    index: Any                      # pandas Index, datetime64 array or None
    k_diffuse: int                  # observations that only initialise the state
    nobs: int                       # observations that enter the likelihood
    diffuse_variance: float = DIFFUSE_VARIANCE  # of the diffuse states, in the data's units
    tolerance: float = STEADY_TOLERANCE         # of the extension's steady-state test
    # Missing values at the front of the series as given, left out of `y` and `exog` (the
    # index keeps their labels): the first observed values initialise the differencing,
    # not the empty periods before them.
    lead: int = 0
    # The constant taken off the series as given to make `y`: where the diffuse states'
    # prior, centred on zero, misplaces the level of a differenced series (see
    # `_prior_level`), the series is measured from its first values.  Differencing removes
    # a constant, so the model is the same; the prior, which pinned the level near zero,
    # is not (Nile's flows raised by 1e6 gave an MA coefficient of 0.00 instead of -0.73).
    # The predictions and forecasts add it back.
    level: float = 0.0

    @property
    def n(self) -> int:
        """Periods in `y` (after those missing at the front)."""
        return int(self.y.shape[0])

    @property
    def n_given(self) -> int:
        """Periods of the series as given, the missing ones at its front included."""
        return self.n + self.lead

    @property
    def y_given(self) -> Vector:
        """The series as given, with its missing values at the front."""
        return self.padded(self.y + self.level if self.level else self.y)

    def padded(self, values: Vector) -> Vector:
        """Values of the periods in `y`, with NaN for those missing at the front."""
        if not self.lead:
            return values
        return np.concatenate([np.full(self.lead, np.nan), values])

    @property
    def k_params(self) -> int:
        """Number of parameters, the variance included."""
        return (len(self.trend_powers) + self.k_exog + self.order[0] + self.order[2]
                + self.seasonal_order[0] + self.seasonal_order[2] + 1)

    @property
    def param_names(self) -> tuple[str, ...]:
        return param_names(self.order, self.seasonal_order, self.trend_powers,
                           self.exog_names)

    def lag_polynomials(self, params: Vector) -> list[tuple[str, Vector, float]]:
        """The AR, MA, seasonal AR and seasonal MA coefficients in `params`, each with
        its name and the sign of its polynomial 1 - sign·(c1 L + c2 L² + …)."""
        p, _, q = self.order
        P, _, Q, _ = self.seasonal_order
        i = len(self.trend_powers) + self.k_exog
        out = []
        for name, size, sign in (("AR", p, 1.0), ("MA", q, -1.0), ("seasonal AR", P, 1.0),
                                 ("seasonal MA", Q, -1.0)):
            out.append((name, params[i:i + size], sign))
            i += size
        return out

    def model_kwargs(self) -> dict[str, Any]:
        """The keyword arguments that describe the model to `transform_params` & co."""
        kwargs = {"order": self.order, "seasonal_order": self.seasonal_order,
                  "trend_powers": list(self.trend_powers), "k_exog": self.k_exog,
                  "enforce_stationarity": self.enforce_stationarity,
                  "enforce_invertibility": self.enforce_invertibility}
        if self.lead:
            # The trend's time counts the periods missing at the front.
            kwargs["trend_offset"] = self.trend_offset
        return kwargs

    @property
    def trend_offset(self) -> float:
        """The trend's time t at the first period of `y`."""
        return 1.0 + self.lead

    def data_kwargs(self, diffuse_variance: float | None = None) -> dict[str, Any]:
        """The model's keyword arguments plus the regressors and the diffuse states'
        variance (the problem's own unless given) and the steady-state tolerance, for the
        likelihood calls."""
        return {**self.model_kwargs(), "exog": self.exog,
                "diffuse_variance": self.diffuse_variance if diffuse_variance is None
                else diffuse_variance, "tolerance": self.tolerance}


def make_problem(y: Any, order: Sequence[int], seasonal_order: Sequence[int],
                 trend: str | Sequence[int] | None, exog: Any, *,
                 enforce_stationarity: bool = True, enforce_invertibility: bool = True,
                 index: Any = None, name: str | None = None,
                 estimated: bool = True) -> Problem:
    """Check and convert the user's input, or raise InputError / TypeError.  estimated:
    the parameters are to be estimated on y (else only evaluated there, which needs one
    observation past the differencing, not enough for an estimate)."""
    enforce_stationarity = flag(enforce_stationarity, "enforce_stationarity")
    enforce_invertibility = flag(enforce_invertibility, "enforce_invertibility")
    values, y_name, y_index = _series(y)
    name = y_name if name is None else str(name)
    if index is None:
        index = y_index
        _check_date_order(index, "y's index")
    else:
        pd = _optional.pandas_if_loaded()
        if pd is not None and y_index is not None and not isinstance(index, pd.Index):
            # Labels for a Series: its paths and forecasts are Series on them.
            index = pd.Index(index)
        elif isinstance(index, (np.ndarray, list)):
            index = index.copy()    # labels kept by the result, as the values are
        if len(index) != values.shape[0]:
            raise InputError(f"index has {len(index)} labels for {values.shape[0]} "
                             "observations")
        _check_date_order(index, "index")
    order_t = _int_tuple(order, 3, "order")
    seasonal_t = _int_tuple(seasonal_order, 4, "seasonal_order")
    powers = _trend_powers(trend)
    _check_trend_size(powers, values.shape[0])
    # Before the series' first observation the regressors may be missing too (a product
    # not yet launched): those periods are left out.
    lead = int(np.argmax(np.isfinite(values)))
    exog_flat, k_exog, exog_names = check_exog(exog, values.shape[0], "exog", None, index,
                                               "y's index", unused=lead)
    try:
        dims = kr.spec_dims(order_t, seasonal_t, list(powers), k_exog)
    except (ValueError, OverflowError) as exc:
        raise InputError(f"invalid model order: {exc}") from None
    k_states, _, _, k_diff, _ = dims
    k_diffuse = k_diff if enforce_stationarity else k_states
    # Periods missing at the front carry nothing: left in, the differencing would start
    # in them and the first observed values would enter the likelihood with the diffuse
    # states' variance (with 13 of them before the airline model's series, its
    # log-likelihood fell from 244.7 to 142.9).
    if lead:
        values = values[lead:]
        if exog_flat is not None:
            exog_flat = np.ascontiguousarray(
                exog_flat.reshape(k_exog, values.shape[0] + lead)[:, lead:].ravel())
    _check_length(values, order_t, seasonal_t)
    nobs = int(np.count_nonzero(~np.isnan(values[k_diffuse:])))
    rough = _rough_variance(values, order_t, seasonal_t)
    diffuse = min(DIFFUSE_VARIANCE, DIFFUSE_RATIO * rough) if rough > 0 else DIFFUSE_VARIANCE
    level = _prior_level(values, k_diff, k_diffuse, diffuse, rough)
    problem = Problem(
        y=values - level if level else values, order=order_t, seasonal_order=seasonal_t,
        trend_powers=powers,
        exog=exog_flat, k_exog=k_exog, exog_names=exog_names,
        enforce_stationarity=enforce_stationarity,
        enforce_invertibility=enforce_invertibility, name=name, index=index,
        k_diffuse=k_diffuse, nobs=nobs, lead=lead, level=level, diffuse_variance=diffuse,
        tolerance=STEADY_TOLERANCE * min(1.0, rough) ** 2 if rough > 0 else STEADY_TOLERANCE)
    need = problem.k_params + MIN_EXTRA_OBS if estimated else 1
    if nobs < need:
        purpose = f"for its {problem.k_params} parameters" if estimated else \
            "to be evaluated on"
        raise InputError(
            f"SARIMA{order_t}x{seasonal_t} needs at least {need} usable observation"
            f"{'s' if need > 1 else ''} after the first {k_diffuse} (which only initialise "
            f"the differencing) {purpose}; the series has {nobs}")
    twice = clashing_exog_name(order_t, seasonal_t, powers, exog_names)
    if twice is not None:
        own = param_names(order_t, seasonal_t, powers, ())
        raise InputError(f"exog column {twice!r} has the name of one of the model's "
                         f"parameters ({', '.join(own)}); rename the column")
    return problem


def _prior_level(values: Vector, k_diff: int, k_diffuse: int, diffuse_variance: float,
                 rough: float) -> float:
    """The midrange of the first k_diffuse observed values where the model differences
    the series and the diffuse states' prior, centred on zero, misplaces its level: where
    those values lie beyond FAR_FROM_PRIOR standard deviations of the prior, or where the
    prior pulls the level's first estimate towards zero by more than PRIOR_PULL innovation
    scales (about |y| sigma / diffuse variance of them; `rough`: a rough innovation
    variance).  0.0 otherwise: the likelihood keeps the prior centred on zero."""
    if not k_diff:
        return 0.0
    first = values[:k_diffuse]
    first = first[np.isfinite(first)]
    if not first.size:
        return 0.0
    largest = float(np.max(np.abs(first)))
    far = largest > FAR_FROM_PRIOR * math.sqrt(diffuse_variance)
    pulled = largest * math.sqrt(rough) > PRIOR_PULL * diffuse_variance
    return first_midrange(values, k_diffuse) if far or pulled else 0.0


def first_midrange(values: Vector, k: int) -> float:
    """The midrange of the observed values among the first k (0.0 where there are none):
    the level a differenced series is measured from."""
    first = values[:k]
    first = first[np.isfinite(first)]
    if not first.size:
        return 0.0
    # Halved before the sum, which could overflow.
    return float(np.max(first)) / 2 + float(np.min(first)) / 2


def _check_date_order(index: Any, what: str) -> None:
    """Dates that label the observations must each come once and run one way (forwards,
    or backwards for a backcast): the observations are taken in order, and dates out of
    order say that the series is not in time order (a shuffled or unsorted table)."""
    fault = date_order_fault(index)
    if fault is None:
        return
    kind, row = fault
    if kind == "missing":
        raise InputError(f"{what} has a missing date at row {row}")
    if kind == "twice":
        raise InputError(f"{what} has the date {date_text(index[row])} twice (rows {row} "
                         f"and {row + 1}): one observation per date")
    raise InputError(f"the dates of {what} are out of order: row {row} "
                     f"({date_text(index[row])}) follows row {row - 1} "
                     f"({date_text(index[row - 1])}); the observations are taken in order, "
                     "so sort the series by date first")


def date_order_fault(index: Any) -> tuple[str, int] | None:
    """Where dates fail to come once each and run one way: ("missing", row), ("twice",
    row) when row + 1 repeats row, ("order", row) where row turns back; None where they
    are in order or are not dates (a pandas DatetimeIndex or PeriodIndex, Python dates,
    or anything NumPy reads as datetime64)."""
    pd = _optional.pandas_if_loaded()
    converted = object_dates(index)
    if converted is not None:
        index = converted
    if pd is not None and isinstance(index, (pd.DatetimeIndex, pd.PeriodIndex)):
        missing = np.asarray(index.isna())
        keys = np.asarray(index.asi8)
    elif pd is not None and isinstance(index, pd.Index):
        return None
    else:
        dates = np.asarray(index)
        if dates.dtype.kind != "M":
            return None
        missing = np.isnat(dates)
        keys = dates.view(np.int64)
    if missing.any():
        return "missing", int(np.flatnonzero(missing)[0])
    step = np.sign(np.diff(keys))
    if step.size == 0 or (step == step[0]).all() and step[0] != 0:
        return None
    if not step.all():
        return "twice", int(np.flatnonzero(step == 0)[0])
    return "order", int(np.flatnonzero(step != step[0])[0]) + 1


def _rough_variance(values: Vector, order: tuple[int, int, int],
                    seasonal_order: tuple[int, int, int, int]) -> float:
    """A rough innovation variance of the series, 0.0 where it has none: half the mean
    square of the first differences of the differenced series (within a small factor of
    the innovation variance for stationary ARMA series, however persistent)."""
    z = np.diff(values, n=order[1])
    s = seasonal_order[3]
    for _ in range(seasonal_order[1]):
        z = z[s:] - z[:-s]
    dz = np.diff(z)
    dz = dz[np.isfinite(dz)]
    with np.errstate(over="ignore"):
        rough = 0.5 * float(np.mean(dz * dz)) if dz.size else 0.0
    return rough if math.isfinite(rough) and rough > 0 else 0.0


def _series(y: Any) -> tuple[Vector, str, Any]:
    """The observations as contiguous float64, the series' name and its index."""
    pd = _optional.pandas_if_loaded()
    name, index = "y", None
    if pd is not None and isinstance(y, pd.DataFrame):
        if y.shape[1] != 1:
            raise InputError(f"y must be one series; this DataFrame has {y.shape[1]} columns")
        y = y.iloc[:, 0]
    if pd is not None and isinstance(y, pd.Series):
        name = "y" if y.name is None else str(y.name)
        index = y.index
        y = y.to_numpy(dtype=float, na_value=np.nan) if _is_numeric_series(y) else y.to_numpy()
    values = float_array(y, "y")
    if values.ndim == 2 and 1 in values.shape:
        values = values.reshape(-1)
    if values.ndim != 1:
        raise InputError(f"y must be one-dimensional; it has shape {values.shape}")
    if values.size == 0:
        raise InputError("y is empty")
    if np.isinf(values).any():
        i = int(np.flatnonzero(np.isinf(values))[0])
        raise InputError(f"y has an infinite value at position {i}; use NaN for a missing "
                         "observation")
    if np.isnan(values).all():
        raise InputError("every observation of y is missing")
    _check_magnitude(values[:, None], "y", lambda i, _: f"at position {i}")
    # A copy: the result works out its residuals and forecasts when first asked for, and
    # must not see the caller's later changes to the array the series came in.
    return np.array(values, dtype=np.float64, order="C"), name, index


def _check_magnitude(arr: Matrix, what: str, where: Callable[[int, int], str]) -> None:
    """Each column's largest magnitude (NaN ignored) within the supported range, or
    zero (a column of zeros is left to the checks that know what it means)."""
    if not arr.size:
        return
    size = np.where(np.isnan(arr), 0.0, np.abs(arr))
    largest = size.max(axis=0)
    for col, top in enumerate(largest):
        if top > LARGEST_MAGNITUDE:
            row = int(np.flatnonzero(size[:, col] == top)[0])
            raise InputError(
                f"{what} has a value of magnitude {top:.3g} {where(row, col)}; beyond "
                f"{LARGEST_MAGNITUDE:g} the squares that the fit needs overflow: rescale it "
                "(divide by a power of ten)")
        if 0.0 < top < SMALLEST_MAGNITUDE:
            column = f" in column {col}" if arr.shape[1] > 1 else ""
            raise InputError(
                f"{what} is too small in magnitude{column} (largest {top:.3g}); below "
                f"{SMALLEST_MAGNITUDE:g} the squares that the fit needs underflow: rescale "
                "it (multiply by a power of ten)")


def flag(value: Any, what: str) -> bool:
    """value as a bool, refused unless it is one: bool("no") is True."""
    if not isinstance(value, (bool, np.bool_)):
        raise InputError(f"{what} must be True or False; got {value!r}")
    return bool(value)


def _is_numeric_series(s: Any) -> bool:
    return bool(s.dtype.kind in "biufc" or str(s.dtype) in {"Int64", "Float64", "Int32"})


def _object_values(arr: npt.NDArray[Any], what: str) -> npt.NDArray[Any]:
    """An object array's entries made ready for float64: pandas' missing-value markers
    (pd.NA beside None and NaN) are missing; dates and durations are refused, which the
    conversion would otherwise turn into their counts of days or nanoseconds (a NaT into
    -9.2e18) without a word."""
    pd = _optional.pandas_if_loaded()
    missing = (pd.NA, pd.NaT) if pd is not None else ()
    out = arr
    for i, v in enumerate(arr.flat):
        if any(v is m for m in missing):
            if out is arr:
                out = arr.copy()
            out.flat[i] = None
        elif isinstance(v, (datetime.date, datetime.timedelta, np.datetime64,
                            np.timedelta64)):
            raise InputError(f"{what} must be numeric; it holds dates or durations "
                             f"({v!r})")
    return out


def float_array(x: Any, what: str) -> Vector:
    """x as float64 values, or InputError naming `what`: text, dates, complex numbers and
    objects that are not numbers are refused; masked entries are NaN."""
    try:
        arr = np.asarray(x)
    except (TypeError, ValueError) as exc:
        raise InputError(f"{what} is not an array of numbers: {exc}") from None
    if arr.dtype.kind == "c":
        raise InputError(f"{what} has complex values")
    if arr.dtype.kind in "mM":
        # Dates or durations (a table's date column given for its values, say): their
        # numbers depend on the unit they are stored in.
        raise InputError(f"{what} must be numeric; it holds values of type {arr.dtype}")
    if arr.dtype.kind in "US" or (arr.dtype.kind == "O" and any(
            isinstance(v, (str, bytes)) for v in arr.ravel())):
        # Text that happens to parse as numbers ("1.5") is refused as a table's text column
        # is: it is far more often a column read without its type than meant as numbers.
        raise InputError(f"{what} must be numeric; it holds text")
    if arr.dtype.kind == "O":
        arr = _object_values(arr, what)
    masked: Any = x      # NumPy's masked-array functions are untyped in some versions
    if isinstance(x, np.ma.MaskedArray) and np.asarray(masked.mask).any():
        # Masked entries are missing, not the numbers stored under the mask.
        try:
            return np.asarray(masked.astype(np.float64).filled(np.nan), dtype=np.float64)
        except (TypeError, ValueError):
            raise InputError(f"{what} must be numeric; it holds values of type "
                             f"{arr.dtype}") from None
    if arr.dtype.kind == "b" or arr.dtype.kind not in "iuf":
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError):
            raise InputError(f"{what} must be numeric; it holds values of type "
                             f"{arr.dtype}") from None
        if arr.dtype.kind != "f":
            raise InputError(f"{what} must be numeric")
    return np.asarray(arr, dtype=np.float64)


def _int_tuple(value: Any, length: int, what: str) -> Any:
    try:
        items = [v for v in value]
    except TypeError:
        raise InputError(f"{what} must be a sequence of {length} integers") from None
    if len(items) != length:
        raise InputError(f"{what} must have {length} entries, not {len(items)}")
    out = []
    for v in items:
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, np.integer)):
            raise InputError(f"{what} must hold integers; got {v!r}")
        if v < 0:
            raise InputError(f"{what} must not be negative; got {tuple(items)}")
        out.append(int(v))
    return tuple(out)


def _trend_powers(trend: str | Sequence[int] | None) -> tuple[int, ...]:
    if trend is None:
        return ()
    if isinstance(trend, str):
        if trend not in _TRENDS:
            raise InputError(f"trend must be None, 'n', 'c', 't', 'ct' or a list of powers; "
                             f"got {trend!r}")
        return _TRENDS[trend]
    try:
        # Read once: an iterator (a generator of powers) is empty the second time.
        items = list(trend) if not isinstance(trend, (bytes, bytearray)) else None
    except TypeError:
        items = None
    if items is None:
        raise InputError(f"trend must be None, 'n', 'c', 't', 'ct' or a list of powers; "
                         f"got {trend!r}")
    powers = _int_tuple(items, len(items), "trend")
    if len(set(powers)) != len(powers):
        raise InputError(f"trend powers must be distinct; got {powers}")
    return tuple(powers)


def _check_trend_size(powers: tuple[int, ...], n: int) -> None:
    """The trend terms t**k (t = 1, ..., n) within the magnitudes that the fit supports."""
    top = max(powers, default=0)
    if top and top * math.log10(n) > math.log10(LARGEST_MAGNITUDE):
        raise InputError(f"trend power {top} makes t**{top} reach about "
                         f"1e{math.floor(top * math.log10(n))} at the series' end (t = {n}); "
                         f"beyond {LARGEST_MAGNITUDE:g} the squares that the fit needs "
                         "overflow: use a lower power")


def checked_param_names(order: Sequence[int], seasonal_order: Sequence[int],
                        trend_powers: str | Sequence[int] | None = (),
                        exog_names: Sequence[str] = (),
                        include_sigma2: bool = True) -> tuple[str, ...]:
    """The names of the parameter vector's entries, in the extension's order, for the
    model that `fit` would fit (`trend_powers` as fit's `trend`: "c", "ct", … or the
    powers); a model that fit would refuse raises InputError."""
    order_t = _int_tuple(order, 3, "order")
    seasonal_t = _int_tuple(seasonal_order, 4, "seasonal_order")
    powers = _trend_powers(trend_powers)
    bad = isinstance(exog_names, str)
    try:
        names = tuple(exog_names)
    except TypeError:
        names, bad = (), True
    if bad or not all(isinstance(n, str) for n in names):
        raise InputError(f"exog_names must be a sequence of strings; got {exog_names!r}")
    try:
        kr.spec_dims(order_t, seasonal_t, list(powers), len(names))
    except (ValueError, OverflowError) as exc:
        raise InputError(f"invalid model order: {exc}") from None
    return param_names(order_t, seasonal_t, powers, names, bool(include_sigma2))


def _check_length(y: Vector, order: tuple[int, int, int],
                  seasonal: tuple[int, int, int, int]) -> None:
    """Orders that reach back further than the series cannot be estimated; rejecting them
    here also keeps absurd orders away from the state-space dimensions."""
    n = y.shape[0]
    P, D, Q, s = seasonal
    has_season = bool(P or D or Q)
    if has_season and s > n:
        raise InputError(f"seasonal period s={s} is longer than the series ({n} observations)")
    if max(order) > n:
        raise InputError(f"order {order} is too large for a series of {n} observations")
    if has_season and max(P, D, Q) * s > n:
        raise InputError(f"seasonal order {seasonal} spans more than the series "
                         f"({n} observations)")


def check_exog(exog: Any, n: int, what: str, k_expected: int | None, labels: Any = None,
               whose: str = "", unused: int = 0) -> tuple[Vector | None, int, tuple[str, ...]]:
    """Regressors as the extension's flat layout, their number and their names.

    `n` is the number of rows required; `k_expected` the number of columns (None when
    the regressors define it).  `labels`: the pandas index that a pandas `exog`'s rows
    must carry (`whose` says what they are), unless either is only positions.  `unused`:
    leading rows that the fit leaves out (the series is missing there), which may be
    missing too.
    """
    if exog is None:
        if k_expected and not n:
            # No periods, no future values to give.
            return np.empty(0), k_expected, ()
        if k_expected:
            raise InputError(f"{what} is required: the model has "
                             f"{counted(k_expected, 'regressor')} and needs "
                             f"{'its' if k_expected == 1 else 'their'} "
                             f"{counted(n, 'future value')}")
        return None, 0, ()
    pd = _optional.pandas_if_loaded()
    names: tuple[str, ...] | None = None
    rows_index = None
    if pd is not None and isinstance(exog, pd.Series):
        exog = exog.to_frame()
    if pd is not None and isinstance(exog, pd.DataFrame):
        rows_index = exog.index
        names = tuple(str(c) for c in exog.columns)
        twice = next((name for i, name in enumerate(names) if name in names[:i]), None)
        if twice is not None:
            # Each name labels one coefficient in the results.
            raise InputError(f"{what} has more than one column named {twice!r}; the "
                             "regressors' names must be distinct")
        bad = [str(c) for c, dtype in zip(exog.columns, exog.dtypes) if dtype.kind not in "biuf"]
        if bad:
            raise InputError(f"{what} must be numeric; column {bad[0]!r} is not")
        exog = exog.to_numpy(dtype=float, na_value=np.nan)
    arr = float_array(exog, what)
    if arr.ndim == 1:
        # One regressor's values, or, for a single period of several regressors, that
        # period's row (the one reading that fits).
        one_row = n == 1 and k_expected is not None and k_expected > 1 and \
            arr.size == k_expected
        arr = arr.reshape(1, -1) if one_row else arr.reshape(-1, 1)
    if arr.ndim != 2:
        raise InputError(f"{what} must be two-dimensional (observations x regressors); it "
                         f"has shape {arr.shape}")
    if arr.shape[0] != n:
        raise InputError(f"{what} has {arr.shape[0]} rows, but {n} are needed "
                         f"(shape {arr.shape})")
    _check_labels(pd, rows_index, labels, what, whose)
    k = arr.shape[1]
    if k_expected is not None and k != k_expected:
        raise InputError(f"{what} has {counted(k, 'column')}, but the model was fitted "
                         f"with {counted(k_expected, 'regressor')}")
    finite = np.isfinite(arr[unused:])
    if not finite.all():
        row, col = (int(v[0]) for v in np.nonzero(~finite))
        row += unused
        after = " after the series' first observation" if unused else ""
        raise InputError(f"{what} has a non-finite value ({arr[row, col]}) in row {row}, "
                         f"column {col}; regressors cannot be missing{after}")
    _check_magnitude(arr, what, lambda row, col: f"in row {row}, column {col}")
    if names is None:
        names = unnamed(k)
    if k == 0:
        return None, 0, ()
    # flatten copies (ravel would keep a view of one column or of a DataFrame's block):
    # the result must not see the caller's later changes to the regressors.
    return arr.flatten(order="F"), k, names


def counted(k: int, noun: str) -> str:
    """'1 column', '2 columns'."""
    return f"{k} {noun}" if k == 1 else f"{k} {noun}s"


def unnamed(k: int) -> tuple[str, ...]:
    """The names of k regressors given without names: x1, x2, …"""
    return tuple(f"x{i + 1}" for i in range(k))


def match_columns(exog: Any, names: tuple[str, ...], what: str) -> Any:
    """`exog` with a DataFrame's columns matched to the fitted regressors `names` by
    name: the same columns in another order are put in the fit's order (taken by
    position, each would stand in for another regressor), and other columns are refused.
    Arrays, tables with pandas' default column labels 0, 1, … (given the fit's names)
    and any other table where the fit's regressors had no names are taken by position."""
    pd = _optional.pandas_if_loaded()
    if pd is None or not isinstance(exog, pd.DataFrame):
        return exog
    columns = exog.columns
    given = tuple(str(c) for c in columns)
    if given == names:
        return exog
    if len(set(given)) == len(given) and sorted(given) == sorted(names):
        # Also where the fit's names are the default ones (x1, x2, …): a table that names
        # them in another order means them by those names.
        return exog.iloc[:, [given.index(name) for name in names]]
    if names == unnamed(len(names)):
        return exog
    if isinstance(columns, pd.RangeIndex) and columns.start == 0 and columns.step == 1 \
            and len(columns) == len(names):
        return exog.set_axis(list(names), axis=1)
    raise InputError(f"{what}'s columns ({', '.join(given)}) are not the fit's regressors "
                     f"({', '.join(names)})")


def _check_labels(pd: Any, rows: Any, labels: Any, what: str, whose: str) -> None:
    """Regressors whose rows are labelled must carry the observations' labels: taken by
    position, a table in another order or from other dates would silently pair each
    observation with another row's regressors."""
    if rows is None or not isinstance(labels, pd.Index) or not len(rows) or \
            _positions(pd, rows) or _positions(pd, labels) or _same_labels(pd, rows, labels):
        return
    row = next((i for i, (a, b) in enumerate(zip(rows, labels)) if not a == b), 0)
    given, expected = date_text(rows[row]), date_text(labels[row])
    if given == expected:
        # The same text for other labels: a date in another time zone, or text for a date.
        given, expected = repr(rows[row]), repr(labels[row])
    example = " (e.g. exog.loc[y.index])" if whose == "y's index" else ""
    raise InputError(f"{what}'s index does not match {whose}: row {row} is labelled "
                     f"{given}, where {expected} is expected; "
                     f"give {what} those labels{example}, or pass it as an array to take its "
                     "rows in order")


def _same_labels(pd: Any, rows: Any, labels: Any) -> bool:
    """Whether two indexes hold the same labels, dates kept in other units (seconds
    against nanoseconds, as pandas 2 and later keep them) included."""
    if rows.equals(labels):
        return True
    if not (isinstance(rows, pd.DatetimeIndex) and isinstance(labels, pd.DatetimeIndex)) \
            or len(rows) != len(labels) or str(rows.tz) != str(labels.tz):
        return False
    return bool(np.all(np.asarray(rows == labels)))


def _positions(pd: Any, index: Any) -> bool:
    """Whether an index is pandas' default, the positions 0, 1, 2, … (no labels given)."""
    return isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1


def check_steps(steps: Any, what: str = "steps") -> int:
    """A forecast horizon: a non-negative integer the extension can reach."""
    if isinstance(steps, (bool, np.bool_)) or not isinstance(steps, (int, np.integer)):
        raise InputError(f"{what} must be an integer; got {steps!r}")
    if steps < 0:
        raise InputError(f"{what} must not be negative; got {steps}")
    if steps > MAX_HORIZON:
        raise InputError(f"{what}={steps} is beyond the longest forecast, {MAX_HORIZON} "
                         "periods")
    return int(steps)


def check_alpha(alpha: Any) -> float:
    """The level of an interval's tails: a number strictly between 0 and 1."""
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, (int, float, np.integer,
                                                                     np.floating)) \
            or not 0.0 < alpha < 1.0:
        raise InputError(f"alpha must be a number strictly between 0 and 1; got {alpha!r}")
    return float(alpha)
