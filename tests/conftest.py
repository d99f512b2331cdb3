"""Shared helpers for the _korvanta_rs test suite: the functions and their parameters, small valid
calls, and bit-for-bit comparison of results."""

import inspect

import numpy as np

import _korvanta_rs as kr

# The ten functions in registration order (test_module checks it against the module).
FUNCTIONS = ("loglike", "loglike_u", "loglike_grad", "filter_paths", "forecast", "loglikeobs",
             "transform_params", "untransform_params", "spec_dims", "concentrated_scale")

# What each parameter takes: the one thing about the signatures the module cannot tell.
KIND = {"y": "vector", "params": "vector", "u": "vector", "p": "vector", "exog": "opt_vector",
        "exog_future": "opt_vector", "order": "triple", "seasonal_order": "quad", "trend_powers": "powers",
        "horizon": "count", "k_exog": "count", "enforce_stationarity": "flag", "enforce_invertibility": "flag",
        "concentrate_scale": "flag", "parallel": "flag", "trend_offset": "real", "diffuse_variance": "real",
        "tolerance": "real", "epsilon": "opt_real"}


def _signature(name):
    """(parameter names, number of leading required ones, defaults) from the text signature."""
    params = list(inspect.signature(getattr(kr, name)).parameters.values())
    required = sum(p.default is inspect.Parameter.empty for p in params)
    defaults = {p.name: p.default for p in params[required:]}
    return tuple(p.name for p in params), required, defaults


# Parameter lists with the number of leading required parameters, and every default.
PARAMS = {name: _signature(name)[:2] for name in FUNCTIONS}
DEFAULTS = {k: v for name in FUNCTIONS for k, v in _signature(name)[2].items()}

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
