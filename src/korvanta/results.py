"""The result of a fit: an immutable record with its statistics as properties."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, replace
from functools import cached_property
from typing import Any

import numpy as np
import numpy.typing as npt

import _korvanta_rs as kr

from . import _optional
from .covariance import in_data_units, positive_definite, scaled_covariance
from .diagnostics import Diagnostics, default_lags, residual_diagnostics, standardized
from .forecasting import Forecast, interval_quantile
from .problem import (InputError, Problem, check_alpha, check_exog, check_steps, counted,
                      make_problem, match_columns)
from .summary import summary_text

__all__ = ["FitResult"]

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]


# Compared and hashed as objects (eq=False): field by field, the arrays in them would make
# `==` raise and the record unhashable.
@dataclass(frozen=True, eq=False)
class FitResult:
    """A maximum-likelihood fit.

    `params` is the constrained parameter vector in the extension's order (trend, regressors,
    ar, ma, seasonal ar, seasonal ma, sigma2), named by `param_names`.  `llf` is the exact
    Gaussian log-likelihood there, and `nobs` the number of observations it counts: those
    not missing after the first `k_diffuse`, which only initialise the differencing states.
    """

    problem: Problem
    params: Vector
    llf: float
    converged: bool
    message: str
    iterations: int
    n_evaluations: int          # log-likelihood-and-gradient calls of the search
    fit_time: float             # seconds, from the input checks to the final likelihood
    concentrate_scale: bool     # whether the search profiled the variance out
    cov_type: str               # "opg" or "hessian"
    warnings: tuple[str, ...]   # problems the fit found (also issued as warnings)

    def __post_init__(self) -> None:
        # Every statistic is computed from the estimates when first asked for: a read-only
        # copy, so that a caller changing the array it was given (or the one it passed in)
        # cannot change what the result reports afterwards.
        params = np.array(self.params, dtype=np.float64)
        params.setflags(write=False)
        object.__setattr__(self, "params", params)

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Unpickled and deep-copied arrays come back writeable.
        self.__dict__.update(state)
        self.__post_init__()

    # -- the model ---------------------------------------------------------------------
    @property
    def order(self) -> tuple[int, int, int]:
        return self.problem.order

    @property
    def seasonal_order(self) -> tuple[int, int, int, int]:
        return self.problem.seasonal_order

    @property
    def trend_powers(self) -> tuple[int, ...]:
        return self.problem.trend_powers

    @property
    def param_names(self) -> tuple[str, ...]:
        return self.problem.param_names

    @property
    def nobs(self) -> int:
        return self.problem.nobs

    @property
    def k_diffuse(self) -> int:
        return self.problem.k_diffuse

    @property
    def k_params(self) -> int:
        """Estimated parameters, the variance included (also when it was concentrated)."""
        return int(self.params.shape[0])

    @property
    def sigma2(self) -> float:
        return float(self.params[-1])

    # -- information criteria ------------------------------------------------------------
    @property
    def aic(self) -> float:
        return -2.0 * self.llf + 2.0 * self.k_params

    @property
    def aicc(self) -> float:
        k, n = self.k_params, self.nobs
        return self.aic + 2.0 * k * (k + 1) / (n - k - 1) if n > k + 1 else math.inf

    @property
    def bic(self) -> float:
        return -2.0 * self.llf + self.k_params * math.log(self.nobs)

    @property
    def hqic(self) -> float:
        # log log n is not defined for one observation (estimates applied to a short series).
        if self.nobs < 2:
            return math.nan
        return -2.0 * self.llf + 2.0 * self.k_params * math.log(math.log(self.nobs))

    # -- inference -------------------------------------------------------------------------
    @cached_property
    def _covariance(self) -> tuple[Matrix, Vector]:
        return scaled_covariance(self.problem, self.params, self.cov_type)

    @property
    def cov_params(self) -> Matrix:
        """Covariance of the estimates: the inverse outer product of the per-observation
        scores ("opg"), or the inverse of minus the numerical Hessian ("hessian")."""
        return in_data_units(*self._covariance)

    @property
    def bse(self) -> Vector:
        # From the covariance in the search's units: the variance of sigma2 for a series
        # in units of 1e80 exceeds the floating-point range, its standard error does not.
        cov, factor = self._covariance
        with np.errstate(invalid="ignore"):
            out: Vector = np.sqrt(np.diag(cov)) * factor
        return out

    @property
    def covariance_note(self) -> str | None:
        """Why the standard errors mean little where the covariance of the estimates is
        not finite and positive definite (NaN or meaningless standard errors), or None.
        Not for estimates without a variance, which the fit's warnings explain."""
        if not (np.isfinite(self.params).all() and self.params[-1] > 0):
            return None
        if positive_definite(self.problem, self._covariance[0]):
            return None
        kind = "outer product of the scores" if self.cov_type == "opg" else "numerical Hessian"
        return (f"The covariance matrix of the estimates ({kind}) is not finite and "
                "positive definite: the estimates are not at a strict maximum of the "
                "log-likelihood, or it is flat along some direction there (near-cancelling "
                "AR and MA roots, say), and the standard errors are unreliable.")

    @property
    def zvalues(self) -> Vector:
        with np.errstate(divide="ignore", invalid="ignore"):
            out: Vector = self.params / self.bse
        return out

    @property
    def pvalues(self) -> Vector:
        from scipy.stats import norm

        out: Vector = 2.0 * norm.sf(np.abs(self.zvalues))
        return out

    def conf_int(self, alpha: float = 0.05) -> Matrix:
        """(k, 2) array of the lower and upper bounds of the (1 - alpha) intervals."""
        q = interval_quantile(check_alpha(alpha))
        return np.column_stack([self.params - q * self.bse, self.params + q * self.bse])

    # -- in-sample paths -------------------------------------------------------------------
    @cached_property
    def _paths(self) -> tuple[Vector, Vector, Vector, float]:
        return kr.filter_paths(self.problem.y, self.params, **self.problem.data_kwargs())

    @property
    def fittedvalues(self) -> Any:
        """One-step-ahead predictions (those of the first `k_diffuse` periods come from the
        diffuse initial state and mean little)."""
        predictions = self._paths[0]
        return self._as_series(predictions + self.problem.level if self.problem.level
                               else predictions)

    @property
    def resid(self) -> Any:
        """One-step prediction errors y_t - fittedvalues_t; NaN where y_t is missing."""
        return self._as_series(self._paths[1])

    @property
    def standardized_resid(self) -> Any:
        """Prediction errors over their standard deviations, v_t / sqrt(F_t), at the
        observations the likelihood counts; NaN at the first `k_diffuse` and where y_t is
        missing.  Independent standard normal under the model."""
        _, errors, variances, _ = self._paths
        return self._as_series(standardized(errors, variances, self.problem.k_diffuse))

    def diagnostics(self, lags: int | None = None) -> Diagnostics:
        """Ljung–Box, Jarque–Bera and heteroskedasticity checks of the standardized
        residuals (see `korvanta.diagnostics`).  lags: autocorrelations in the Ljung–Box
        statistic; by default 10, or two seasons for a seasonal model, at most a fifth of
        the residuals."""
        _, errors, variances, _ = self._paths
        e = standardized(errors, variances, self.problem.k_diffuse)
        p, _, q = self.problem.order
        P, D, Q, s = self.problem.seasonal_order
        count = int(np.count_nonzero(np.isfinite(e)))
        if lags is None:
            lags = default_lags(count, s if (P or D or Q) else 0)
        elif isinstance(lags, bool) or not isinstance(lags, (int, np.integer)) or lags < 1:
            raise InputError(f"lags must be a positive integer; got {lags!r}")
        elif lags >= count:
            raise InputError(f"lags must be below the number of standardized residuals "
                             f"({count}); got {lags}")
        return residual_diagnostics(e, p + q + P + Q, int(lags))

    def _as_series(self, values: Vector) -> Any:
        """`values` as a Series on the series' index for a pandas input, else an array;
        always a copy: the paths are computed once and kept, and a caller filling in the
        missing residuals, say, would otherwise change the checks and later answers."""
        pd = _optional.pandas_if_loaded()
        index = self.problem.index
        values = self.problem.padded(values)
        if pd is not None and isinstance(index, pd.Index):
            return pd.Series(values, index=index, name=self.problem.name, copy=True)
        return values.copy()

    # -- forecasting -----------------------------------------------------------------------
    def forecast(self, steps: int, exog: Any = None, alpha: float = 0.05) -> Forecast:
        """Forecast `steps` periods after the series, with (1 - alpha) intervals.

        A model with regressors needs their future values: `exog` of shape
        (steps, k_exog), or a DataFrame with as many rows (labelled with the forecast's
        periods, or with pandas' default index) whose columns are the fitted regressors,
        matched by name where the fit had names.
        """
        from .dates import continue_index

        steps = check_steps(steps)
        alpha = check_alpha(alpha)
        pr = self.problem
        index = continue_index(pr.index, pr.n_given, steps)
        future, _, _ = check_exog(_matched(exog, pr.exog_names), steps, "exog",
                                  pr.k_exog, index, "the forecast's periods")
        _, _, mean, var = kr.forecast(pr.y, self.params, horizon=steps, exog_future=future,
                                      **pr.data_kwargs())
        if pr.level:
            mean = mean + pr.level
        # A model without variance left to forecast (a series that follows its own lags
        # exactly) has forecast variances of zero, which rounding can leave a little
        # below it.
        se = np.sqrt(np.maximum(var, 0.0))
        q = interval_quantile(alpha)
        # Estimates far outside the stationary region (where the fit does not enforce it)
        # can send the forecast to infinity: its bounds are then infinite or NaN.
        with np.errstate(over="ignore", invalid="ignore"):
            lower, upper = mean - q * se, mean + q * se
        pd = _optional.pandas_if_loaded()
        if pd is not None and isinstance(pr.index, pd.Index):
            # Continued labels are more of the series' own, under its index's name (a
            # forecast appended to the series keeps the column its dates came from).
            labels = index.rename(pr.index.name) if index is not None else \
                pd.RangeIndex(pr.n_given, pr.n_given + steps)
            mean, se, lower, upper = (pd.Series(a, index=labels, name=name) for a, name in
                                      ((mean, "mean"), (se, "se"), (lower, "lower"),
                                       (upper, "upper")))
            index = labels if index is not None else None
        return Forecast(mean=mean, se=se, lower=lower, upper=upper, alpha=alpha, index=index,
                        start=pr.n_given)

    def plot_forecast(self, steps: int, exog: Any = None, alpha: float = 0.05, *,
                      log: bool = False, in_sample: bool = False, path: Any = None,
                      ax: Any = None, title: str | None = None) -> Any:
        """Chart of the series and its forecast with the (1 - alpha) interval; returns the
        matplotlib Figure (also saved to `path` when given).  See `korvanta.plot`."""
        from .plot import plot_forecast

        return plot_forecast(self, steps, exog=exog, alpha=alpha, log=log,
                             in_sample=in_sample, path=path, ax=ax, title=title)

    def plot_diagnostics(self, lags: int | None = None, *, path: Any = None,
                         title: str | None = None) -> Any:
        """Chart of the standardized residuals: over time, histogram, normal Q-Q plot and
        autocorrelations; returns the matplotlib Figure (also saved to `path` when given).
        See `korvanta.plot`."""
        from .plot import plot_diagnostics

        return plot_diagnostics(self, lags=lags, path=path, title=title)

    # -- other data ------------------------------------------------------------------------
    def apply(self, y: Any, exog: Any = None, *, index: Any = None,
              name: str | None = None) -> FitResult:
        """These estimates applied to the series `y` without a new fit: its likelihood,
        residuals, checks and forecasts at `params`.  For forecasting from newer data (the
        fitted series with the observations since appended) or a related series.  `y` is
        taken from the same start as the fitted series: a time trend counts from its first
        observation.  exog: the regressors over `y` (a DataFrame's columns are matched to
        the fit's by name; unnamed columns take the fit's names);
        index, name: as in `fit` (an unnamed series takes the fitted series' name).

        The result's `iterations` and `n_evaluations` are 0 and its `warnings` say that
        the parameters were not estimated on `y`.  Input errors raise InputError."""
        started = time.perf_counter()
        pr = self.problem
        problem = make_problem(y, pr.order, pr.seasonal_order, list(pr.trend_powers),
                               _matched(exog, pr.exog_names),
                               enforce_stationarity=pr.enforce_stationarity,
                               enforce_invertibility=pr.enforce_invertibility, index=index,
                               name=name, estimated=False)
        if name is None and problem.name == "y":
            # An unnamed series keeps the fitted series' name.
            problem = replace(problem, name=pr.name)
        if problem.k_exog != pr.k_exog:
            raise InputError(f"exog has {counted(problem.k_exog, 'column')}, but the fit "
                             f"has {counted(pr.k_exog, 'regressor')}")
        if problem.exog_names != pr.exog_names:
            pd = _optional.pandas_if_loaded()
            if pd is not None and isinstance(exog, pd.DataFrame):
                # Named columns other than the fit's are other regressors.
                raise InputError(f"exog's columns ({', '.join(problem.exog_names)}) are not "
                                 f"the fit's regressors ({', '.join(pr.exog_names)})")
            problem = replace(problem, exog_names=pr.exog_names)
        llf = kr.loglike(problem.y, self.params, **problem.data_kwargs())
        note = ("The parameters were estimated on another series and applied to this one "
                "without a new fit.")
        return FitResult(problem=problem, params=self.params, llf=llf,
                         converged=self.converged, message=note, iterations=0,
                         n_evaluations=0, fit_time=time.perf_counter() - started,
                         concentrate_scale=False, cov_type=self.cov_type, warnings=(note,))

    # -- report ------------------------------------------------------------------------------
    def summary(self, title: str | None = None) -> str:
        """A text table of the fit: model, likelihood, criteria, the estimates and the
        residual checks."""
        if title is not None and not isinstance(title, str):
            raise InputError(f"title must be a str; got {type(title).__name__}")
        return summary_text(self, title)

    def __str__(self) -> str:
        return self.summary()


def _matched(exog: Any, names: tuple[str, ...]) -> Any:
    """Regressors with their columns matched to the fitted ones by name; a named Series is
    a table of one named column (taken by position, a series of another regressor would
    stand in for the fitted one)."""
    pd = _optional.pandas_if_loaded()
    if pd is not None and isinstance(exog, pd.Series) and exog.name is not None:
        exog = exog.to_frame()
    return match_columns(exog, names, "exog")
