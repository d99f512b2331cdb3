"""Type stubs for the `_korvanta_rs` extension module."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__version__: str
__all__ = [
    "__version__",
    "loglike",
    "loglike_u",
    "loglike_grad",
    "filter_paths",
    "forecast",
    "loglikeobs",
    "transform_params",
    "untransform_params",
    "spec_dims",
    "concentrated_scale",
]

_Vector = npt.NDArray[np.float64]
_Order = tuple[SupportsIndex, SupportsIndex, SupportsIndex]
_SeasonalOrder = tuple[SupportsIndex, SupportsIndex, SupportsIndex, SupportsIndex]
_Powers = Sequence[SupportsIndex] | npt.NDArray[np.integer]
_Flag = bool | np.bool_

def loglike(
    y: _Vector,
    params: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    exog: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
) -> float: ...
def loglike_u(
    y: _Vector,
    u: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    exog: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
) -> float: ...
def loglike_grad(
    y: _Vector,
    u: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    exog: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
    parallel: _Flag = True,
    epsilon: SupportsFloat | SupportsIndex | None = None,
) -> tuple[float, _Vector]: ...
def filter_paths(
    y: _Vector,
    params: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    exog: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
) -> tuple[_Vector, _Vector, _Vector, float]: ...
def forecast(
    y: _Vector,
    params: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    horizon: SupportsIndex,
    exog: _Vector | None = None,
    exog_future: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
) -> tuple[_Vector, _Vector, _Vector, _Vector]: ...
def loglikeobs(
    y: _Vector,
    params: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    exog: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
) -> _Vector: ...
def transform_params(
    u: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
) -> _Vector: ...
def untransform_params(
    p: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    concentrate_scale: _Flag = False,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
) -> _Vector: ...
def spec_dims(
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    k_exog: SupportsIndex = 0,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
) -> tuple[int, int, int, int, int]: ...
def concentrated_scale(
    y: _Vector,
    params: _Vector,
    order: _Order,
    seasonal_order: _SeasonalOrder,
    trend_powers: _Powers,
    exog: _Vector | None = None,
    k_exog: SupportsIndex = 0,
    enforce_stationarity: _Flag = True,
    enforce_invertibility: _Flag = True,
    trend_offset: SupportsFloat | SupportsIndex = 1.0,
    diffuse_variance: SupportsFloat | SupportsIndex = 1e6,
    tolerance: SupportsFloat | SupportsIndex = 1e-19,
) -> float: ...
