"""Shared fixtures and small helpers for the _korvanta_rs test suite."""

import numpy as np
import pytest

import _korvanta_rs

# Parameter lists of the ten functions, in registration order, with the number of
# leading required parameters.
_Y_TAIL = ("exog", "k_exog", "enforce_stationarity", "enforce_invertibility",
           "concentrate_scale", "trend_offset", "diffuse_variance", "tolerance")
_HEAD = ("order", "seasonal_order", "trend_powers")
_FLAGS = ("k_exog", "enforce_stationarity", "enforce_invertibility", "concentrate_scale", "trend_offset")
PARAMS = {
    "loglike": (("y", "params") + _HEAD + _Y_TAIL, 5),
    "loglike_u": (("y", "u") + _HEAD + _Y_TAIL, 5),
    "loglike_grad": (("y", "u") + _HEAD + _Y_TAIL + ("parallel", "epsilon"), 5),
    "filter_paths": (("y", "params") + _HEAD + _Y_TAIL, 5),
    "forecast": (("y", "params") + _HEAD + ("horizon", "exog", "exog_future") + _Y_TAIL[1:], 6),
    "loglikeobs": (("y", "params") + _HEAD + _Y_TAIL, 5),
    "transform_params": (("u",) + _HEAD + _FLAGS, 4),
    "untransform_params": (("p",) + _HEAD + _FLAGS, 4),
    "spec_dims": (_HEAD + ("k_exog", "trend_offset"), 3),
    "concentrated_scale": (("y", "params") + _HEAD + tuple(n for n in _Y_TAIL if n != "concentrate_scale"), 5),
}
FUNCTIONS = tuple(PARAMS)
DEFAULTS = {"exog": None, "exog_future": None, "k_exog": 0, "enforce_stationarity": True,
            "enforce_invertibility": True, "concentrate_scale": False, "trend_offset": 1.0,
            "diffuse_variance": 1e6, "tolerance": 1e-19, "parallel": True, "epsilon": None}
VECTOR_NAMES = ("y", "params", "u", "p", "exog", "exog_future")

SERIES = np.array([0.3, -0.1, 0.8, 1.2, 0.4, -0.6, -0.2, 0.5, 0.9, 0.1, -0.4, 0.2])


def minimal_args(name, n=len(SERIES)):
    """Keyword arguments of a small valid call of `name`: an AR(1) model with one regressor
    wherever the function takes regressors, every argument a fresh array or value."""
    names = PARAMS[name][0]
    kw = {"order": (1, 0, 0), "seasonal_order": (0, 0, 0, 0), "trend_powers": []}
    if "y" in names:
        kw["y"] = np.resize(SERIES, n).copy()
    vec = np.array([0.2, 0.5, 1.3])  # beta, phi, sigma2
    if "exog" in names:
        kw["k_exog"] = 1
        kw["exog"] = np.linspace(-1.0, 1.0, n)
    else:
        vec = vec[1:].copy()
    if name == "concentrated_scale":
        vec = vec[:-1].copy()
    for key in ("params", "u", "p"):
        if key in names:
            kw[key] = vec
    if name == "forecast":
        kw["horizon"] = 3
        kw["exog_future"] = np.array([0.1, 0.2, 0.3])
    return kw


def positional(name, kw):
    """The same call as positional arguments, in signature order (defaults filled in)."""
    return [kw[n] if n in kw else DEFAULTS[n] for n in PARAMS[name][0]]


def same_values(a, b):
    """Equal bit for bit, except that any two NaNs match."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    both_nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(both_nan | (a.view(np.uint64) == b.view(np.uint64))))


def same_result(a, b):
    """Compare two results of a module function (floats, arrays, tuples) with same_values."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(same_result(x, z) for x, z in zip(a, b))
    if isinstance(a, int) and not isinstance(a, float):
        return a == b
    return same_values(a, b)


@pytest.fixture(scope="session")
def km():
    return _korvanta_rs
