"""Argument binding, conversion, validation order and the handling of input and result arrays."""

import math
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest

import _korvanta_rs as kr
from conftest import FUNCTIONS, PARAMS, minimal_args, positional, same_result
from hostile import Index, LenSeq, StrSub, TupleSub, TypeErrorSubclass, fake_numpy_bool, layout, numpy_named

EXOG_FUNCTIONS = [n for n in FUNCTIONS if "exog" in PARAMS[n][0]]
VECTOR_ARG = {n: next((v for v in ("params", "u", "p") if v in PARAMS[n][0]), None) for n in FUNCTIONS}
CHECK_NAME = {n: ("u" if VECTOR_ARG[n] == "u" else "params") for n in FUNCTIONS}
ARRAY_RESULTS = ["loglike_grad", "filter_paths", "forecast", "loglikeobs", "transform_params",
                 "untransform_params"]


def call(name, **overrides):
    kw = minimal_args(name)
    kw.update(overrides)
    return getattr(kr, name)(**kw)


def raises(exc_type, message, fn, *args, **kwargs):
    """Expect exactly `exc_type` (not a subclass) with exactly `message`."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    if message is not None:
        assert str(info.value) == message
    return info.value


def quoted_list(names):
    q = [f"'{n}'" for n in names]
    return " and ".join(q) if len(q) <= 2 else ", ".join(q[:-1]) + ", and " + q[-1]


def float_error(obj):
    """The interpreter's own message for a failed float conversion of `obj`."""
    try:
        math.sqrt(obj)
    except (TypeError, OverflowError) as e:
        return str(e)
    raise AssertionError("conversion unexpectedly succeeded")


# --- binding ---------------------------------------------------------------------------

BINDING_CASES = ["too_many", "too_many_garbage", "unexpected", "unexpected_first_given", "unexpected_before_missing",
                 "multiple", "multiple_later", "multiple_before_unexpected", "missing_one", "missing_two",
                 "missing_all", "missing_gap"]


@pytest.mark.parametrize("case", BINDING_CASES)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_messages(name, case):
    names, req = PARAMS[name]
    kw = minimal_args(name)
    pos = positional(name, kw)
    total = len(names)
    required = {n: kw[n] for n in names[:req]}
    args, kwargs = [], {}
    if case == "too_many":
        args, tail = pos + [0], f"takes from {req} to {total} positional arguments but {total + 1} were given"
    elif case == "too_many_garbage":  # binding runs before any conversion
        args, tail = [object()] * (total + 3), f"takes from {req} to {total} positional arguments but {total + 3} were given"
    elif case == "unexpected":
        kwargs, tail = {**kw, "exogs": 1}, "got an unexpected keyword argument 'exogs'"
    elif case == "unexpected_first_given":
        kwargs, tail = {**kw, "zz": 1, "aa": 2}, "got an unexpected keyword argument 'zz'"
    elif case == "unexpected_before_missing":
        kwargs, tail = {"bogus": 1}, "got an unexpected keyword argument 'bogus'"
    elif case == "multiple":
        args, kwargs = pos[:1], {names[0]: pos[0]}
        tail = f"got multiple values for argument '{names[0]}'"
    elif case == "multiple_later":
        args, kwargs = pos[:3], {names[2]: pos[2]}
        tail = f"got multiple values for argument '{names[2]}'"
    elif case == "multiple_before_unexpected":  # keywords are handled in the order given
        args, kwargs = pos[:1], {names[0]: pos[0], "bogus": 1}
        tail = f"got multiple values for argument '{names[0]}'"
    elif case == "missing_one":
        kwargs = {n: v for n, v in required.items() if n != names[req - 1]}
        tail = f"missing 1 required positional argument: '{names[req - 1]}'"
    elif case == "missing_two":
        kwargs = {n: v for n, v in required.items() if n not in names[req - 2:req]}
        tail = f"missing 2 required positional arguments: '{names[req - 2]}' and '{names[req - 1]}'"
    elif case == "missing_all":
        tail = f"missing {req} required positional arguments: {quoted_list(names[:req])}"
    elif case == "missing_gap":  # listed in parameter order, not in the order of the call
        kwargs = {names[1]: required[names[1]]}
        missing = [n for n in names[:req] if n != names[1]]
        tail = f"missing {len(missing)} required positional arguments: {quoted_list(missing)}"
    raises(TypeError, f"{name}() {tail}", getattr(kr, name), *args, **kwargs)


def test_binding_literal_messages():
    raises(TypeError, "loglike() missing 5 required positional arguments: 'y', 'params', 'order', "
           "'seasonal_order', and 'trend_powers'", kr.loglike)
    raises(TypeError, "spec_dims() takes from 3 to 5 positional arguments but 6 were given",
           kr.spec_dims, (1, 0, 1), (0, 0, 0, 0), [], 0, 1.0, 2)
    raises(TypeError, "spec_dims() missing 2 required positional arguments: 'seasonal_order' and "
           "'trend_powers'", kr.spec_dims, (1, 0, 0))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keyword_and_positional_calls_agree(name):
    kw = minimal_args(name)
    by_keyword = getattr(kr, name)(**kw)
    assert same_result(by_keyword, getattr(kr, name)(*positional(name, kw)))
    first = PARAMS[name][0][0]
    mixed = getattr(kr, name)(kw.pop(first), **kw)
    assert same_result(by_keyword, mixed)


# --- conversion ------------------------------------------------------------------------


ARRAY_MSG = "argument '{p}': '{t}' object cannot be converted to 'PyArray<T, D>'"
BOOL_MSG = "argument '{p}': '{t}' object cannot be converted to 'PyBool'"
INDEX_MSG = "argument '{p}': '{t}' object cannot be interpreted as an integer"

# (id, kind, bad value, exception type, message template or None when only the type matters)
CONVERSION_CASES = [
    ("list", "vector", [1.0, 2.0], TypeError, ARRAY_MSG.replace("{t}", "list")),
    ("float32", "vector", np.zeros(3, np.float32), TypeError, ARRAY_MSG.replace("{t}", "ndarray")),
    ("int64", "vector", np.arange(3), TypeError, ARRAY_MSG.replace("{t}", "ndarray")),
    ("big-endian", "vector", np.zeros(3, ">f8"), TypeError, ARRAY_MSG.replace("{t}", "ndarray")),
    ("2-d", "vector", np.zeros((3, 1)), TypeError, ARRAY_MSG.replace("{t}", "ndarray")),
    ("0-d", "vector", np.array(1.0), TypeError, ARRAY_MSG.replace("{t}", "ndarray")),
    ("scalar", "vector", np.float64(1.0), TypeError, ARRAY_MSG.replace("{t}", "float64")),
    ("None", "required_vector", None, TypeError, ARRAY_MSG.replace("{t}", "NoneType")),
    ("list", "order", [1, 0, 0], TypeError, "argument '{p}': 'list' object cannot be converted to 'PyTuple'"),
    ("array", "order", np.array([1, 0, 0]), TypeError,
     "argument '{p}': 'ndarray' object cannot be converted to 'PyTuple'"),
    ("short", "order", (1, 0), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ("long", "order", (1, 0, 0, 0), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    ("negative", "order", (1, -1, 0), OverflowError, None),
    ("too-large", "order", (2**64, 0, 0), OverflowError, None),
    ("float-item", "order", (1.0, 0, 0), TypeError, INDEX_MSG.replace("{t}", "float")),
    ("first-bad-item-wins", "order", (0, -1, "x"), OverflowError, None),
    ("None", "order", None, TypeError, "argument '{p}': 'NoneType' object cannot be converted to 'PyTuple'"),
    ("list", "seasonal", [0, 0, 0, 0], TypeError, "argument '{p}': 'list' object cannot be converted to 'PyTuple'"),
    ("short", "seasonal", (0, 0, 0), ValueError, "expected tuple of length 4, but got tuple of length 3"),
    ("negative", "seasonal", (0, 0, 0, -12), OverflowError, None),
    ("str-item", "seasonal", (0, "x", -1, 0), TypeError, INDEX_MSG.replace("{t}", "str")),
    ("str", "powers", "ct", TypeError, "argument '{p}': Can't extract `str` to `Vec`"),
    ("empty-str", "powers", "", TypeError, "argument '{p}': Can't extract `str` to `Vec`"),
    ("str-subclass", "powers", StrSub("ct"), TypeError, "argument '{p}': Can't extract `str` to `Vec`"),
    ("int", "powers", 3, TypeError, "argument '{p}': 'int' object cannot be converted to 'Sequence'"),
    ("set", "powers", {0}, TypeError, "argument '{p}': 'set' object cannot be converted to 'Sequence'"),
    ("None", "powers", None, TypeError, "argument '{p}': 'NoneType' object cannot be converted to 'Sequence'"),
    ("negative-item", "powers", [0, -1], OverflowError, None),
    ("float-item", "powers", [0, 0.5], TypeError, INDEX_MSG.replace("{t}", "float")),
    ("iteration-error", "powers", LenSeq([0], 2, fail_at=1, exc=RuntimeError("stop")), RuntimeError, "stop"),
    ("float", "count", 1.0, TypeError, INDEX_MSG.replace("{t}", "float")),
    ("None", "count", None, TypeError, INDEX_MSG.replace("{t}", "NoneType")),
    ("str", "count", "1", TypeError, INDEX_MSG.replace("{t}", "str")),
    ("negative", "count", -1, OverflowError, None),
    ("too-large", "count", 2**64, OverflowError, None),
    ("negative-index", "count", Index(-3), OverflowError, None),
    ("int", "flag", 1, TypeError, BOOL_MSG.replace("{t}", "int")),
    ("zero", "flag", 0, TypeError, BOOL_MSG.replace("{t}", "int")),
    ("None", "flag", None, TypeError, BOOL_MSG.replace("{t}", "NoneType")),
    ("str", "flag", "True", TypeError, BOOL_MSG.replace("{t}", "str")),
    ("numpy-int", "flag", np.int64(1), TypeError, BOOL_MSG.replace("{t}", "int64")),
    ("lookalike-elsewhere", "flag", numpy_named("bool_", module="numpylike")(), TypeError,
     BOOL_MSG.replace("{t}", "bool_")),
    ("no-__bool__", "flag", numpy_named("bool_")(), TypeError,
     "argument '{p}': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    ("__bool__-not-bool", "flag", fake_numpy_bool(1), TypeError,
     BOOL_MSG.replace("{t}", "int")),
    ("__bool__-raises", "flag", fake_numpy_bool(ZeroDivisionError), ZeroDivisionError, None),
    ("str", "real", "1.0", TypeError, "argument '{p}': " + float_error("1.0")),
    ("list", "real", [1.0], TypeError, "argument '{p}': " + float_error([1.0])),
    ("huge-int", "real", 10**400, OverflowError, float_error(10**400)),
    ("None", "required_real", None, TypeError, "argument '{p}': " + float_error(None)),
    ("str", "epsilon", "1e-6", TypeError, "argument '{p}': " + float_error("1e-6")),
]

KINDS = {
    "vector": ["y", "params", "u", "p", "exog", "exog_future"],
    "required_vector": ["y", "params", "u", "p"],
    "order": ["order"],
    "seasonal": ["seasonal_order"],
    "powers": ["trend_powers"],
    "count": ["k_exog", "horizon"],
    "flag": ["enforce_stationarity", "enforce_invertibility", "concentrate_scale", "parallel"],
    "real": ["trend_offset", "diffuse_variance", "tolerance", "epsilon"],
    "required_real": ["trend_offset", "diffuse_variance", "tolerance"],
    "epsilon": ["epsilon"],
}
CONVERSION_PARAMS = [
    pytest.param(name, param, value, exc, msg, id=f"{name}-{param}-{cid}")
    for cid, kind, value, exc, msg in CONVERSION_CASES
    for name in FUNCTIONS
    for param in KINDS[kind]
    if param in PARAMS[name][0]
]


@pytest.mark.parametrize("name, param, value, exc, template", CONVERSION_PARAMS)
def test_conversion_errors(name, param, value, exc, template):
    err = raises(exc, None if template is None else template.format(p=param), call, name, **{param: value})
    if exc is not TypeError:  # only an exact TypeError gets the argument prefix
        assert not str(err).startswith("argument ")


ACCEPTED = [
    ("order", "tuple-subclass", TupleSub((1, 0, 0))),
    ("order", "numpy-ints", (np.int64(1), np.uint8(0), Index(0))),
    ("order", "bool-items", (True, False, False)),
    ("trend_powers", "tuple", ()),
    ("trend_powers", "int-array", np.array([], dtype=np.int64)),
    ("trend_powers", "range", range(0)),
    ("k_exog", "numpy-uint", np.uint64(1)),
    ("k_exog", "index-object", Index(1)),
    ("enforce_stationarity", "numpy-bool", np.bool_(True)),
    ("concentrate_scale", "numpy-bool", np.bool_(False)),
    ("trend_offset", "int", 3),
    ("trend_offset", "fraction", Fraction(1, 3)),
    ("trend_offset", "index-object", Index(2)),
    ("diffuse_variance", "float32", np.float32(1e5)),
    ("tolerance", "nan", float("nan")),
    ("epsilon", "None", None),
    ("epsilon", "int", 1),
    ("exog", "None", None),
    ("exog_future", "None", None),
    ("parallel", "numpy-bool", np.bool_(False)),
    ("horizon", "zero", 0),
]


@pytest.mark.parametrize("name, param, value", [
    pytest.param(name, param, value, id=f"{name}-{param}-{case}")
    for param, case, value in ACCEPTED for name in FUNCTIONS if param in PARAMS[name][0]])
def test_conversion_accepts(name, param, value):
    # Compared with the plain Python value; where that call fails (a changed k_exog
    # or horizon no longer fits the arrays) the other must fail the same way.
    assert _outcome(call, name, **{param: value}) == _outcome(call, name, **{param: _plain(value)})


def _outcome(fn, *args, **kwargs):
    try:
        result = fn(*args, **kwargs)
    except Exception as e:
        return type(e), str(e)
    flat = result if isinstance(result, tuple) else (result,)
    return tuple(np.asarray(r, dtype=np.float64).tobytes() if not isinstance(r, int) else r for r in flat)


def _plain(value):
    if isinstance(value, tuple):
        return tuple(int(v) for v in tuple.__iter__(value))  # a TupleSub lies about its items
    if isinstance(value, (np.bool_, np.integer, Index)):
        return bool(value) if isinstance(value, np.bool_) else int(value.__index__())
    if isinstance(value, (Fraction, np.floating)):
        return float(value)
    if isinstance(value, (np.ndarray, range)):
        return list(value)
    return value


def test_numpy_bool_value_is_used():
    u = np.array([0.75, 2.0])
    args = ((1, 0, 0), (0, 0, 0, 0), [])
    on = kr.transform_params(u, *args, enforce_stationarity=np.bool_(True))
    off = kr.transform_params(u, *args, enforce_stationarity=np.bool_(False))
    assert on[0] == -0.6 and off[0] == 0.75


@pytest.mark.parametrize("powers, k_trend", [
    ([0, 0], 2), ((0, 1, 3), 3), (np.array([2, 0]), 2), (b"\x00\x01", 2), (range(3), 3),
    (LenSeq([0, 1], 2**62), 2), (LenSeq([4], ZeroDivisionError), 1),
], ids=["duplicates", "tuple", "int-array", "bytes", "range", "absurd-len", "failing-len"])
def test_trend_powers_sequences(powers, k_trend):
    # The reported length is only a capacity hint; the items come from iteration.
    assert kr.spec_dims((0, 0, 0), (0, 0, 0, 0), powers)[4] == k_trend + 1


@pytest.mark.parametrize("param, make_bad", [
    ("k_exog", lambda e: Index(e)),
    ("trend_powers", lambda e: LenSeq([0], 2, fail_at=1, exc=e)),
    ("enforce_stationarity", lambda e: fake_numpy_bool(e)),
])
def test_type_error_prefixing(param, make_bad):
    cause = KeyError("root")
    err = TypeError("boom")
    err.__cause__ = cause
    name = "transform_params" if param == "enforce_stationarity" else "spec_dims"
    got = raises(TypeError, f"argument '{param}': boom", call, name, **{param: make_bad(err)})
    assert got is not err and got.__cause__ is cause
    sub = TypeErrorSubclass("subclass")  # a subclass of TypeError passes unchanged
    assert raises(TypeErrorSubclass, "subclass", call, name, **{param: make_bad(sub)}) is sub


@pytest.mark.parametrize("name", FUNCTIONS)
def test_conversion_runs_in_parameter_order(name):
    names = PARAMS[name][0]
    first, last = names[0], names[-1]
    bad_last = {"trend_offset": "x", "tolerance": "x", "epsilon": "x"}[last]
    with pytest.raises(TypeError, match=f"^argument '{first}': "):
        call(name, **{first: "bad", last: bad_last})
    with pytest.raises(TypeError, match=f"^argument '{last}': "):
        call(name, **{last: bad_last})


# --- validation ------------------------------------------------------------------------

NOT_CONTIGUOUS = "The given array is not contiguous"
BAD_SEASON = {"seasonal_order": (1, 0, 0, 0), "order": (0, 0, 0)}
SEASON_MSG = "Must include nonzero seasonal periodicity if including seasonal AR, MA, or differencing."


def strided(a):
    out = layout(a, "strided")
    assert not out.flags.c_contiguous and np.array_equal(out, a)
    return out


@pytest.mark.parametrize("name", FUNCTIONS)
def test_validation_order(name):
    kw = minimal_args(name)
    vec = VECTOR_ARG[name]
    if vec is None:  # spec_dims: only the model is checked
        raises(ValueError, SEASON_MSG, call, name, **BAD_SEASON)
        return
    f = getattr(kr, name)
    too_long = np.append(kw[vec], 0.0)
    if "y" in kw:
        # Contiguity of y and of the parameter vector comes before the model checks.
        raises(TypeError, NOT_CONTIGUOUS, call, name, y=strided(kw["y"]), **BAD_SEASON)
        raises(TypeError, NOT_CONTIGUOUS, call, name, **{vec: strided(kw[vec])}, **BAD_SEASON)
        raises(TypeError, NOT_CONTIGUOUS, call, name, y=kw["y"][::-1], **{vec: too_long})
        # ... and conversion of every argument before any of it.
        raises(TypeError, BOOL_MSG.format(p="enforce_invertibility", t="int"), call, name,
               y=strided(kw["y"]), enforce_invertibility=1)
    else:
        # The transforms check the model first, then contiguity, then the length.
        raises(ValueError, SEASON_MSG, call, name, **{vec: strided(kw[vec])}, **BAD_SEASON)
        raises(TypeError, NOT_CONTIGUOUS, call, name, **{vec: strided(too_long)})
    raises(ValueError, SEASON_MSG, call, name, **{vec: too_long}, **BAD_SEASON)
    msg = f"{CHECK_NAME[name]} has {len(too_long)} elements, but this specification has {len(kw[vec])} parameters"
    if "exog" in kw:  # the parameter count comes before the regressors
        raises(ValueError, msg, call, name, **{vec: too_long}, exog=kw["exog"][:-1])
    raises(ValueError, msg, f, **{**kw, vec: too_long})
    if name == "forecast":
        raises(ValueError, "exog has 11 entries, expected k_exog * n = 12", call, name,
               exog=kw["exog"][:-1], exog_future=np.zeros(7))


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if VECTOR_ARG[n]])
@pytest.mark.parametrize("length", [0, 1, 4])
def test_check_params_message(name, length):
    kw = minimal_args(name)
    n = len(kw[VECTOR_ARG[name]])
    if length == n:
        length += 1
    raises(ValueError, f"{CHECK_NAME[name]} has {length} elements, but this specification has {n} parameters",
           call, name, **{VECTOR_ARG[name]: np.zeros(length)})


def test_check_params_examples():
    spec = ((1, 0, 1), (0, 0, 0, 0), [])
    y, two = np.zeros(10), np.zeros(2)
    raises(ValueError, "params has 2 elements, but this specification has 3 parameters", kr.loglike, y, two, *spec)
    raises(ValueError, "params has 2 elements, but this specification has 3 parameters",
           kr.untransform_params, two, *spec)
    raises(ValueError, "u has 2 elements, but this specification has 3 parameters", kr.loglike_u, y, two, *spec)
    raises(ValueError, "u has 2 elements, but this specification has 3 parameters", kr.transform_params, two, *spec)
    raises(ValueError, "exog has 10 entries, expected k_exog * n = 0",
           kr.loglike, y, np.zeros(3), *spec, exog=np.zeros(10))


EXOG_CASES = [
    ("exog", "strided", lambda kw: strided(kw["exog"]), {}, "exog must be a contiguous float64 array"),
    ("exog", "reversed", lambda kw: kw["exog"][::-1], {}, "exog must be a contiguous float64 array"),
    ("exog", "one-more", lambda kw: np.zeros(13), {}, "exog has 13 entries, expected k_exog * n = 12"),
    ("exog", "k_exog-2", lambda kw: np.zeros(12), {"k_exog": 2, "extra": 1},
     "exog has 12 entries, expected k_exog * n = 24"),
    ("exog", "k_exog-0", lambda kw: np.zeros(12), {"k_exog": 0, "extra": -1},
     "exog has 12 entries, expected k_exog * n = 0"),
    ("exog_future", "strided", lambda kw: strided(kw["exog_future"]), {},
     "exog_future must be a contiguous float64 array"),
    ("exog_future", "one-more", lambda kw: np.zeros(6), {"horizon": 5},
     "exog_future has 6 entries, expected k_exog * n = 5"),
    ("exog_future", "horizon-0", lambda kw: np.zeros(1), {"horizon": 0},
     "exog_future has 1 entries, expected k_exog * n = 0"),
]


@pytest.mark.parametrize("name, param, make, changes, msg", [
    pytest.param(name, param, make, changes, msg, id=f"{name}-{param}-{case}")
    for param, case, make, changes, msg in EXOG_CASES for name in EXOG_FUNCTIONS if param in PARAMS[name][0]])
def test_exog_slice_messages(name, param, make, changes, msg):
    kw = minimal_args(name)
    changes = dict(changes)
    extra = changes.pop("extra", 0)
    vec = VECTOR_ARG[name]
    kw[vec] = np.concatenate([np.zeros(max(extra, 0)), kw[vec][max(-extra, 0):]])
    kw.update(changes, **{param: make(kw)})
    raises(ValueError, msg, getattr(kr, name), **kw)


@pytest.mark.parametrize("name", EXOG_FUNCTIONS)
def test_exog_absent_or_empty_is_accepted(name):
    kw = minimal_args(name)
    call(name, exog=None, **({"exog_future": None} if name == "forecast" else {}))
    vec = VECTOR_ARG[name]
    call(name, exog=np.zeros(0), k_exog=0, **{vec: kw[vec][1:]},
         **({"exog_future": np.zeros(0)} if name == "forecast" else {}))


_OVERFLOWING_PRODUCT = """
import numpy as np, _korvanta_rs as kr
from numpy.lib.stride_tricks import as_strided
n, k = 2**59 + 3, 33
y = as_strided(np.zeros(1), shape=(n,), strides=(8,))  # never read: validation fails first
assert y.flags.c_contiguous
for call in (lambda: kr.loglike(y, np.zeros(k + 1), (0, 0, 0), (0, 0, 0, 0), [], np.zeros(3), k),
             lambda: kr.forecast(np.zeros(4), np.zeros(4), (0, 0, 0), (0, 0, 0, 0), [], 2**63 + 1,
                                 None, np.zeros(2), 3)):
    try:
        call()
    except ValueError as e:
        print(e)
"""


def test_exog_product_overflow_is_a_size_mismatch():
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(_OVERFLOWING_PRODUCT)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"exog has 3 entries, expected k_exog * n = {33 * (2**59 + 3)}",
        f"exog_future has 2 entries, expected k_exog * n = {3 * (2**63 + 1)}",
    ]


OVERSIZED = [
    ("k_exog", {"k_exog": 2**64 - 1}, "n_params"),
    ("k_exog-with-trend", {"k_exog": 2**64 - 2, "trend_powers": [0, 1]}, "n_params"),
    ("s*P", {"seasonal_order": (2, 0, 0, 2**63)}, "k_ar"),
    ("p+s*P", {"order": (1, 0, 0), "seasonal_order": (1, 0, 0, 2**64 - 1)}, "k_ar"),
    ("q+s*Q", {"order": (0, 0, 1), "seasonal_order": (0, 0, 1, 2**64 - 1)}, "k_ma"),
    ("k_ma+1", {"order": (0, 0, 0), "seasonal_order": (0, 0, 1, 2**64 - 1)}, "k_ma"),
    ("d+s*D", {"order": (0, 1, 0), "seasonal_order": (0, 1, 0, 2**64 - 1)}, "k_diff"),
    ("k_states-sum", {"order": (0, 2**64 - 1, 0)}, "k_states"),
    ("k_states-4097-ar", {"order": (4097, 0, 0)}, "k_states"),
    ("k_states-4097-diff", {"order": (0, 1, 0), "seasonal_order": (0, 1, 0, 4096)}, "k_states"),
    ("k_states-huge-period", {"order": (0, 0, 0), "seasonal_order": (1, 0, 0, 2**40)}, "k_states"),
]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("changes, quantity", [pytest.param(c, q, id=i) for i, c, q in OVERSIZED])
def test_oversized_models_are_rejected(name, changes, quantity):
    # Rejected while the model is built, so before the (here wrong) parameter count.
    with pytest.raises(ValueError) as info:
        call(name, **changes)
    assert type(info.value) is ValueError
    assert quantity in str(info.value) and "elements" not in str(info.value)


def test_largest_supported_state_dimension():
    assert kr.spec_dims((4096, 0, 0), (0, 0, 0, 0), []) == (4096, 4096, 0, 0, 4097)
    assert kr.spec_dims((0, 0, 0), (0, 1, 0, 4095), []) == (4096, 1, 4095, 4095, 1)


# --- input and result arrays -----------------------------------------------------------


def _vectors(kw):
    return {k: v for k, v in kw.items() if isinstance(v, np.ndarray)}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_inputs_are_not_modified(name):
    kw = minimal_args(name)
    before = {k: v.tobytes() for k, v in _vectors(kw).items()}
    getattr(kr, name)(**kw)
    assert {k: v.tobytes() for k, v in _vectors(kw).items()} == before


@pytest.mark.parametrize("variant", ["readonly", "fortran", "misaligned", "subclass", "metadata", "column"])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_array_layouts_accepted(name, variant):
    kw = minimal_args(name)
    expected = getattr(kr, name)(**kw)
    for key, a in _vectors(kw).items():
        kw[key] = layout(a, variant)
        if variant == "misaligned":
            assert not kw[key].flags.aligned and kw[key].flags.c_contiguous
    assert same_result(getattr(kr, name)(**kw), expected)


def _result_arrays(result):
    return [r for r in (result if isinstance(result, tuple) else (result,)) if isinstance(r, np.ndarray)]


@pytest.mark.parametrize("name", ARRAY_RESULTS)
def test_result_arrays_are_fresh(name):
    kw = minimal_args(name)
    inputs = list(_vectors(kw).values())
    first = _result_arrays(getattr(kr, name)(**kw))
    second = _result_arrays(getattr(kr, name)(**kw))
    assert first
    for a in first:
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1
        assert a.flags.c_contiguous and a.flags.owndata and a.base is None
        assert not any(np.shares_memory(a, b) for b in inputs + second)
