"""The module object: attributes, function table, signatures, documentation, initialisation."""

import importlib
import importlib.machinery
import importlib.util
import inspect
import subprocess
import sys
import textwrap

import pytest

import _korvanta_rs as kr
from conftest import DEFAULTS, FUNCTIONS, KIND, PARAMS

_Y_DEFAULTS = ("exog=None, k_exog=0, enforce_stationarity=True, enforce_invertibility=True, "
               "concentrate_scale=False, trend_offset=1.0, diffuse_variance=1e6, tolerance=1e-19")
_T_DEFAULTS = ("k_exog=0, enforce_stationarity=True, enforce_invertibility=True, "
               "concentrate_scale=False, trend_offset=1.0")
SIGNATURE_LINES = {
    "loglike": f"loglike(y, params, order, seasonal_order, trend_powers, {_Y_DEFAULTS})",
    "loglike_u": f"loglike_u(y, u, order, seasonal_order, trend_powers, {_Y_DEFAULTS})",
    "loglike_grad": f"loglike_grad(y, u, order, seasonal_order, trend_powers, {_Y_DEFAULTS}, "
                    "parallel=True, epsilon=None)",
    "filter_paths": f"filter_paths(y, params, order, seasonal_order, trend_powers, {_Y_DEFAULTS})",
    "forecast": "forecast(y, params, order, seasonal_order, trend_powers, horizon, exog=None, "
                "exog_future=None, k_exog=0, enforce_stationarity=True, enforce_invertibility=True, "
                "concentrate_scale=False, trend_offset=1.0, diffuse_variance=1e6, tolerance=1e-19)",
    "loglikeobs": f"loglikeobs(y, params, order, seasonal_order, trend_powers, {_Y_DEFAULTS})",
    "transform_params": f"transform_params(u, order, seasonal_order, trend_powers, {_T_DEFAULTS})",
    "untransform_params": f"untransform_params(p, order, seasonal_order, trend_powers, {_T_DEFAULTS})",
    "spec_dims": "spec_dims(order, seasonal_order, trend_powers, k_exog=0, trend_offset=1.0)",
    "concentrated_scale": "concentrated_scale(y, params, order, seasonal_order, trend_powers, exog=None, "
                          "k_exog=0, enforce_stationarity=True, enforce_invertibility=True, "
                          "trend_offset=1.0, diffuse_variance=1e6, tolerance=1e-19)",
}

# (quoted opening of the description, whether the quoted text is the whole description)
DOCS = {
    "loglike": ("Evaluate the loglikelihood at a *constrained* parameter vector.\n\n", False),
    "loglike_u": ("Loglikelihood at an unconstrained parameter vector.", True),
    "loglike_grad": ("Loglikelihood and gradient at an unconstrained parameter vector.\n\n"
                     "Returning both together is the point: it removes the `n_params + 1`\n"
                     "separate Python round trips that `scipy`'s finite differencing would\n"
                     "otherwise make per gradient.", True),
    "filter_paths": ("One-step-ahead forecasts, prediction errors and their variances.", True),
    "forecast": ("Filter `y`, then forecast `horizon` periods beyond it.\n\n"
                 "Returns the in-sample one-step forecasts and residuals alongside the\n"
                 "out-of-sample mean and variance, because `korvanta` callers routinely want\n"
                 "both and running the filter twice would be wasteful.", True),
    "loglikeobs": ("Per-observation loglikelihood contributions.\n\n", False),
    "transform_params": ("Apply the stationarity/invertibility reparametrisation.", True),
    "untransform_params": ("Inverse of [`transform_params`].", True),
    "spec_dims": ("", False),
    "concentrated_scale": ("The scale the filter profiles out when `concentrate_scale` is set.\n\n", False),
}


def test_module_attributes():
    assert kr.__name__ == "_korvanta_rs"
    assert kr.__version__ == "0.1.0"
    assert kr.__doc__ == ""
    assert kr.__all__ == ["__version__", *FUNCTIONS]
    assert type(kr.__all__) is list
    assert [n for n in vars(kr) if n in FUNCTIONS] == list(FUNCTIONS)  # registration order


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object(name):
    f = getattr(kr, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == name
    assert f.__self__ is kr
    assert f.__module__ == "_korvanta_rs"
    assert f.__text_signature__ == SIGNATURE_LINES[name][len(name):]


# The type of every default, by kind of parameter (a bool is not a count).
DEFAULT_TYPE = {"flag": bool, "count": int, "real": float, "opt_vector": type(None), "opt_real": type(None)}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature(name):
    # The text signature is pinned by test_function_object; here it must also parse into
    # what the binder does: every parameter positional-or-keyword, the required ones first,
    # and each default of its kind's type with the same value in every function.
    params = list(inspect.signature(getattr(kr, name)).parameters.values())
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    required = [p.default is inspect.Parameter.empty for p in params]
    assert required == sorted(required, reverse=True) and required[0]
    for p in params:
        assert p.name in KIND, p.name
        if p.default is not inspect.Parameter.empty:
            assert type(p.default) is DEFAULT_TYPE[KIND[p.name]], p.name
            assert p.default == DEFAULTS[p.name], p.name
    assert PARAMS[name] == (tuple(p.name for p in params), sum(required))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring(name):
    doc = getattr(kr, name).__doc__
    quoted, whole = DOCS[name]
    if whole:
        assert doc == quoted
    else:
        assert doc.startswith(quoted)
        rest = doc[len(quoted):]
        assert rest.strip() and not rest.startswith("\n")  # a worded paragraph follows
        assert "--" not in doc.splitlines()[0] and not doc.startswith(name + "(")


def test_reimport_returns_same_module(monkeypatch):
    functions = [getattr(kr, n) for n in FUNCTIONS]
    monkeypatch.delitem(sys.modules, "_korvanta_rs")
    again = importlib.import_module("_korvanta_rs")
    assert again is kr
    assert sys.modules["_korvanta_rs"] is kr
    assert len(kr.__all__) == 11
    assert all(getattr(again, n) is f for n, f in zip(FUNCTIONS, functions))


def test_second_initialisation_via_loader():
    functions = [getattr(kr, n) for n in FUNCTIONS]
    loader = importlib.machinery.ExtensionFileLoader("_korvanta_rs", kr.__file__)
    spec = importlib.util.spec_from_file_location("_korvanta_rs", kr.__file__, loader=loader)
    module = loader.create_module(spec)
    assert module is kr
    loader.exec_module(module)
    assert len(kr.__all__) == 11
    assert kr.__all__ == ["__version__", *FUNCTIONS]
    assert all(getattr(kr, n) is f for n, f in zip(FUNCTIONS, functions))


_SUBINTERPRETER = """
import sys
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        sys.exit(77)
path = sys.argv[1]
inner = "try:\\n    import _korvanta_rs\\n    r = 'imported'\\nexcept ImportError as e:\\n    r = 'ImportError: ' + str(e)\\nopen(%r, 'w').write(r)\\n" % path

def create():
    # A sub-interpreter that lets single-phase modules reach their init: an isolated one (the
    # default from 3.12 on) refuses them itself.
    try:
        if interpreters.__name__ == "_interpreters":
            return interpreters.create("legacy")
        return interpreters.create(isolated=False)
    except (TypeError, ValueError):
        return interpreters.create()

if sys.argv[2] == "main-first":
    import _korvanta_rs
interp = create()
interpreters.run_string(interp, inner)
interpreters.destroy(interp)
print(open(path).read())
if sys.argv[2] == "sub-first":
    try:
        import _korvanta_rs
    except ImportError as e:
        print("main ImportError:", e)
    else:
        print("main imported")
"""


@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_subinterpreter_import_fails(tmp_path, order):
    script = tmp_path / "sub.py"
    script.write_text(textwrap.dedent(_SUBINTERPRETER))
    proc = subprocess.run([sys.executable, str(script), str(tmp_path / "out.txt"), order],
                          capture_output=True, text=True, timeout=120)
    if proc.returncode == 77:
        pytest.skip("this Python offers no sub-interpreter module")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    # The first interpreter to initialise the module owns it; the other is refused. From 3.13
    # on, CPython runs an extension's initialisation in the main interpreter first, even when a
    # sub-interpreter imports it (CPython issue 117953), so the main interpreter is always first.
    if order == "main-first" or sys.version_info >= (3, 13):
        assert lines[0].startswith("ImportError: ")
        assert lines[1:] == ([] if order == "main-first" else ["main imported"])
    else:
        assert lines == ["imported", lines[1]] and lines[1].startswith("main ImportError: ")
