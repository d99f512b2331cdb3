"""korvanta: exact maximum-likelihood SARIMAX fitting and forecasting.

    import korvanta
    res = korvanta.fit(y, order=(0, 1, 1), seasonal_order=(0, 1, 1, 12))
    print(res.summary())
    fc = res.forecast(24)
    res.plot_forecast(24, path="forecast.png")
    summary, forecasts = korvanta.fit_many(panel, (0, 1, 1), (0, 1, 1, 12), horizon=12)

The numerical work (Kalman filter, likelihood, gradient, forecast) is done by the
`_korvanta_rs` extension module.
"""

from __future__ import annotations

from .auto import AutoFitResult, auto_fit
from .csvio import SeriesData, read_series
from .diagnostics import Diagnostics
from .estimate import BoundaryWarning, ConvergenceWarning, KorvantaWarning, fit
from .forecasting import Forecast
from .many import ManyResult, fit_many
from .optimize import Progress
from .problem import InputError
from .problem import checked_param_names as param_names
from .results import FitResult
from .search_table import Candidate, SearchTable

__version__ = "0.1.0"

__all__ = [
    "__version__",
    "fit",
    "fit_many",
    "ManyResult",
    "auto_fit",
    "AutoFitResult",
    "SearchTable",
    "Candidate",
    "FitResult",
    "Forecast",
    "Diagnostics",
    "Progress",
    "InputError",
    "KorvantaWarning",
    "ConvergenceWarning",
    "BoundaryWarning",
    "param_names",
    "read_series",
    "SeriesData",
]
