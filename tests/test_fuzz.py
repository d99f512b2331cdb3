"""Hostile-input fuzzing of all ten functions.

Each example starts from a small valid call, replaces a few of its arguments with hostile
values (wrong types, NaN/inf/subnormal/huge numbers, negative and oversized integers, wrong
lengths, odd array layouts, objects whose special methods raise or lie, sequences that fail
midway) and sometimes breaks the binding itself.  A plain-Python model of binding,
conversion and validation predicts the outcome of every call: either a result (whose types,
lengths and pass-through entries are then checked) or one exact exception type with its
message.  In every case the call must not crash, hang, raise anything else (SystemError,
PanicException, ...) or modify any of its inputs.

Examples per function: KORVANTA_FUZZ_EXAMPLES (the `fuzz` profile), else a quick default.
    KORVANTA_FUZZ_EXAMPLES=20000 python -m pytest tests/test_fuzz.py
"""

import decimal
import faulthandler
import math
import operator
import os
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, note, settings
from hypothesis import strategies as st

import _korvanta_rs as kr
from conftest import DEFAULTS, FUNCTIONS, KIND, PARAMS
from hostile import (FAKE_NUMPY_BOOLS, LAYOUTS, RAISED, WRONG_KINDS, ArraySub, BadStr, Float, GetitemSeq,
                     HostileBaseError, HostileError, Index, IntOnly, IterSeq, LenSeq, ListSub, Raise, Reentrant,
                     StrSub, TupleSub, TypeErrorSubclass, layout, wrong_kind)

# --- profiles ------------------------------------------------------------------------------

QUICK_EXAMPLES = 200
_HEALTH = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
           HealthCheck.large_base_example]
_env_examples = os.environ.get("KORVANTA_FUZZ_EXAMPLES", "").strip()

settings.register_profile("fuzz-quick", max_examples=QUICK_EXAMPLES, deadline=None,
                          suppress_health_check=_HEALTH)
settings.register_profile("fuzz", max_examples=int(_env_examples) if _env_examples else 20_000,
                          deadline=None, suppress_health_check=_HEALTH, print_blob=True)
FUZZ_SETTINGS = settings.get_profile("fuzz" if _env_examples else "fuzz-quick")

# A call that runs longer than this is a hang: dump every thread's stack and end the process.
HANG_SECONDS = 60.0

# Models that pass validation are only run when they are this small, so that every example
# stays fast (validation itself must be quick whatever the sizes).
MAX_RUN_STATES = 48
MAX_RUN_HORIZON = 2000
MAX_RUN_PARAMS = 64

MAX_STATES = 4096
MAX_HORIZON = 1 << 25
U64 = 1 << 64

SEASONAL_ZERO = "Must include nonzero seasonal periodicity if including seasonal AR, MA, or differencing."
SEASONAL_ONE = "Seasonal periodicity must be greater than 1."


# --- reference conversion and validation ----------------------------------------------------

def qualname(obj):
    return type(obj).__qualname__


def cannot_convert(obj, target):
    return TypeError(f"'{qualname(obj)}' object cannot be converted to '{target}'")


def ref_count(obj):
    value = obj if isinstance(obj, int) else operator.index(obj)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value >= U64:
        raise OverflowError("int too big to convert")
    return int(value)


def ref_tuple(obj, length):
    if not isinstance(obj, tuple):
        raise cannot_convert(obj, "PyTuple")
    got = tuple.__len__(obj)
    if got != length:
        raise ValueError(f"expected tuple of length {length}, but got tuple of length {got}")
    return [ref_count(tuple.__getitem__(obj, i)) for i in range(length)]


def ref_powers(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    # The sequence protocol (tp_as_sequence->sq_item) for the kinds of object drawn here.
    if isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise cannot_convert(obj, "Sequence")
    return [ref_count(item) for item in iter(obj)]


def ref_flag(obj):
    if isinstance(obj, bool):
        return obj
    kind = type(obj)
    if not (getattr(kind, "__name__", None) in ("bool_", "bool") and getattr(kind, "__module__", None) == "numpy"):
        raise cannot_convert(obj, "PyBool")
    try:
        method = getattr(kind, "__bool__")
    except AttributeError:
        raise TypeError(f"object of type '{kind}' does not define a '__bool__' conversion") from None
    result = method(obj)
    if not isinstance(result, bool):
        raise cannot_convert(result, "PyBool")
    return result


def ref_real(obj):
    # math.copysign converts its arguments with the interpreter's own float conversion, so it
    # raises exactly what that conversion raises.
    math.copysign(obj, 1.0)
    return obj


def ref_vector(obj):
    if not isinstance(obj, np.ndarray) or obj.ndim != 1 or obj.dtype != np.dtype(np.float64):
        raise cannot_convert(obj, "PyArray<T, D>")
    return obj


def ref_optional_vector(obj):
    return None if obj is None else ref_vector(obj)


def ref_optional_real(obj):
    return None if obj is None else ref_real(obj)


CONVERTERS = {
    "vector": ref_vector, "opt_vector": ref_optional_vector, "triple": lambda o: ref_tuple(o, 3),
    "quad": lambda o: ref_tuple(o, 4), "powers": ref_powers, "count": ref_count, "flag": ref_flag,
    "real": ref_real, "opt_real": ref_optional_real,
}
VECTOR_PARAM = {n: next((v for v in ("params", "u", "p") if v in PARAMS[n][0]), None) for n in FUNCTIONS}
CHECK_NAME = {n: ("u" if VECTOR_PARAM[n] == "u" else "params") for n in FUNCTIONS}


class Raises:
    """A predicted exception: exact type, and the message exactly, by prefix or by one of
    several quantity names it must mention."""

    def __init__(self, exc_type, message=None, prefix=None, mentions=None, alternatives=()):
        self.exc_type, self.message, self.prefix, self.mentions = exc_type, message, prefix, mentions
        self.alternatives = alternatives

    def matches(self, err):
        if any(alt.matches(err) for alt in self.alternatives):
            return True
        if type(err) is not self.exc_type:
            return False
        if self.message is None and self.prefix is None and self.mentions is None:
            return True
        text = _text(err)
        if text is None:
            return False
        if self.message is not None and text != self.message:
            return False
        if self.prefix is not None and not text.startswith(self.prefix):
            return False
        if self.mentions is not None and not any(m in text for m in self.mentions):
            return False
        return True

    def __repr__(self):
        return (f"Raises({self.exc_type.__name__}, message={self.message!r}, prefix={self.prefix!r}, "
                f"mentions={self.mentions!r}, alternatives={self.alternatives!r})")


class Succeeds:
    def __init__(self, **info):
        self.__dict__.update(info)

    def __repr__(self):
        return f"Succeeds({self.__dict__!r})"


class Invalid(Exception):
    """Internal to the model: carries the predicted exception."""

    def __init__(self, raises):
        super().__init__(raises)
        self.raises = raises


def contiguous(a):
    return bool(a.flags.c_contiguous or a.flags.f_contiguous)


def model_spec(order, seasonal, powers, k_exog, concentrate):
    """make_spec: the derived sizes, or Invalid with the predicted ValueError."""
    p, d, q = order
    P, D, Q, s = seasonal
    if P or D or Q:
        if s == 0:
            raise Invalid(Raises(ValueError, SEASONAL_ZERO))
        if s == 1:
            raise Invalid(Raises(ValueError, SEASONAL_ONE))
    k_ar, k_ma, k_diff = p + s * P, q + s * Q, d + s * D
    k_arma = max(k_ar, k_ma + 1)
    k_states = k_arma + k_diff
    n_params = len(powers) + k_exog + p + q + P + Q + (0 if concentrate else 1)
    too_big = [name for name, value in (("k_ar", k_ar), ("k_ma", k_ma), ("k_arma_states", k_ma + 1),
                                        ("k_diff", k_diff), ("k_states", k_states), ("n_params", n_params))
               if value >= U64]
    if k_states > MAX_STATES:
        too_big.append("k_states")
    if too_big:
        raise Invalid(Raises(ValueError, mentions=too_big))
    return dict(k_states=k_states, k_arma=k_arma, k_diff=k_diff, n_params=n_params)


def model_exog_slice(array, k_exog, n, name):
    if array is None:
        return
    if not contiguous(array):
        raise Invalid(Raises(ValueError, f"{name} must be a contiguous float64 array"))
    if array.size != k_exog * n:
        raise Invalid(Raises(ValueError, f"{name} has {array.size} entries, expected k_exog * n = {k_exog * n}"))


def predict(name, pos, kw):
    """The outcome of calling `name(*pos, **kw)`: a Raises or a Succeeds."""
    names, required = PARAMS[name]
    total = len(names)
    if len(pos) > total:
        return Raises(TypeError, f"{name}() takes from {required} to {total} positional arguments "
                                 f"but {len(pos)} were given")
    slots = dict(zip(names, pos))
    for key, value in kw.items():
        if key not in names:
            return Raises(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        if key in slots:
            return Raises(TypeError, f"{name}() got multiple values for argument '{key}'")
        slots[key] = value
    missing = [f"'{n}'" for n in names[:required] if n not in slots]
    if missing:
        listed = " and ".join(missing) if len(missing) <= 2 else ", ".join(missing[:-1]) + ", and " + missing[-1]
        plural = "s" if len(missing) > 1 else ""
        return Raises(TypeError, f"{name}() missing {len(missing)} required positional argument{plural}: {listed}")

    conv = {}
    for pname in names:
        if pname not in slots:
            conv[pname] = DEFAULTS.get(pname)
            continue
        try:
            conv[pname] = CONVERTERS[KIND[pname]](slots[pname])
        except KeyboardInterrupt:
            raise
        except BaseException as e:  # the interpreter's own error, raised by the reference converter
            if type(e) is TypeError:
                try:
                    text = str(e)
                except Exception as failed:  # the message itself cannot be had: that error wins
                    return Raises(type(failed), _text(failed))
                return Raises(TypeError, f"argument '{pname}': {text}")
            return Raises(type(e), _text(e))
    try:
        return validate(name, conv)
    except Invalid as inv:
        return inv.raises


def _text(e):
    try:
        return str(e)
    except Exception:
        return None


def validate(name, c):
    vec_name = VECTOR_PARAM[name]
    series = "y" in c
    if series:
        for key in ("y", vec_name):
            if not contiguous(c[key]):
                raise Invalid(Raises(TypeError, "The given array is not contiguous"))
    stationarity, invertibility = c.get("enforce_stationarity", True), c.get("enforce_invertibility", True)
    concentrate = c.get("concentrate_scale", False)
    if name == "concentrated_scale":
        concentrate = True
    if name == "spec_dims":
        stationarity, invertibility, concentrate = True, True, False
    dims = model_spec(c["order"], c["seasonal_order"], c["trend_powers"], c["k_exog"], concentrate)
    if name == "spec_dims":
        return Succeeds(name=name, dims=dims, k_trend=len(c["trend_powers"]), k_exog=c["k_exog"])
    vec = c[vec_name]
    if not series and not contiguous(vec):
        raise Invalid(Raises(TypeError, "The given array is not contiguous"))
    if vec.size != dims["n_params"]:
        raise Invalid(Raises(ValueError, f"{CHECK_NAME[name]} has {vec.size} elements, but this specification "
                                         f"has {dims['n_params']} parameters"))
    n = c["y"].size if series else 0
    if series:
        model_exog_slice(c["exog"], c["k_exog"], n, "exog")
    horizon = 0
    if name == "forecast":
        horizon = c["horizon"]
        too_long = Raises(ValueError, prefix="horizon")
        try:
            model_exog_slice(c["exog_future"], c["k_exog"], horizon, "exog_future")
        except Invalid as inv:
            if horizon > MAX_HORIZON:  # either check may come first
                inv.raises.alternatives = (too_long,)
            raise
        if horizon > MAX_HORIZON:
            raise Invalid(too_long)
    return Succeeds(name=name, dims=dims, n=n, horizon=horizon, vec=vec, k_trend=len(c["trend_powers"]),
                    k_exog=c["k_exog"], stationarity=stationarity, invertibility=invertibility,
                    concentrate=concentrate)


# --- strategies ------------------------------------------------------------------------------

SNAN = np.array([0x7FF0000000000001], dtype=np.uint64).view(np.float64)[0]
NAN_PAYLOAD = np.array([0xFFF8DEADBEEF0001], dtype=np.uint64).view(np.float64)[0]
SPECIAL_FLOATS = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1e-310, 1.7976931348623157e308, -1.7976931348623157e308, 1e154, -1e154, 1e-154, 1e300,
                  float(SNAN), float(NAN_PAYLOAD)]

hostile_floats = st.one_of(
    st.floats(-3.0, 3.0),
    st.sampled_from(SPECIAL_FLOATS),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
)
# Mostly ordinary values, so that most computations run through their normal paths.
element_floats = st.one_of(st.floats(-2.0, 2.0), st.floats(-2.0, 2.0), hostile_floats)

HUGE_INTS = [2**31 - 1, 2**31, 2**32, 2**32 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**65, 2**200]
NEGATIVE_INTS = [-1, -2, -2**31, -2**63, -2**64, -2**64 - 1, -2**200]
INDEX_RESULTS = [0, 1, 2, 5, -1, 2**63, 2**64 - 1, 2**64, 1.5, "2", None, b"1",
                 TypeError, ValueError, OverflowError, TypeErrorSubclass, HostileError, HostileBaseError,
                 Raise(TypeError), Raise(TypeError, "two", "args"), Raise(TypeError, BadStr("odd text")),
                 Raise(TypeError, BadStr(HostileError)), Raise(TypeError, BadStr(7)),
                 Raise(ValueError, BadStr(HostileError))]

count_values = st.one_of(
    st.integers(0, 4),
    st.integers(0, 4),
    st.sampled_from(HUGE_INTS + NEGATIVE_INTS + [True, False]),
    st.integers(),
    st.sampled_from([np.int8(-1), np.int64(3), np.uint64(2**64 - 1), np.uint8(2), np.int64(-5), np.int32(1),
                     np.array(2), np.array([1]), np.float64(1.0), 1.0, 2.5, math.nan, None, "1", b"1", 1j,
                     Fraction(3, 1), decimal.Decimal(2), [], (), IntOnly()]),
    st.builds(Index, st.sampled_from(INDEX_RESULTS)),
    st.builds(Reentrant, st.sampled_from([0, 1, 2**64, HostileError])),
)

real_values = st.one_of(
    hostile_floats,
    st.integers(-10, 10),
    st.integers(),
    st.sampled_from([2**1024, -2**1024, 2**2000, True, False, np.float32(1.5), np.float64(math.nan),
                     np.int64(3), np.uint64(2**64 - 1), Fraction(1, 3), decimal.Decimal("1.5"),
                     decimal.Decimal("nan"), "1.0", b"1", None, 1j, [], np.array(1.0), np.array([1.0, 2.0]),
                     IntOnly()]),
    st.builds(Float, st.sampled_from([0.5, math.inf, math.nan, "1", 1, None, TypeError, ValueError,
                                      HostileError, TypeErrorSubclass])),
    st.builds(Float, st.sampled_from([TypeError]), st.sampled_from([3, 2**2000, HostileError])),
    st.builds(Index, st.sampled_from([0, 7, -3, 2**1100, 1.5, None, HostileError, OverflowError])),
)

flag_values = st.one_of(
    st.booleans(),
    st.sampled_from([np.True_, np.False_]),
    st.sampled_from([0, 1, 0.0, None, "True", np.array(True), np.int64(1), [], b""]),
    st.sampled_from(FAKE_NUMPY_BOOLS).map(lambda cls: cls()),
)


@st.composite
def float_arrays(draw, length, layouts=LAYOUTS):
    values = draw(st.lists(element_floats, min_size=length, max_size=length))
    return layout(values, draw(st.sampled_from(layouts)))


@st.composite
def hostile_vectors(draw, length):
    """Anything that might be passed where a float64 vector is expected."""
    lengths = [length, length, length + 1, max(length - 1, 0), 0]
    n = draw(st.one_of(st.sampled_from(lengths), st.integers(0, 12)))
    values = draw(st.lists(element_floats, min_size=n, max_size=n))
    if draw(st.integers(0, 2)) == 0:
        return wrong_kind(values, draw(st.sampled_from(WRONG_KINDS)))
    return layout(values, draw(st.sampled_from(LAYOUTS)))


@st.composite
def hostile_tuples(draw, length):
    choice = draw(st.integers(0, 5))
    if choice == 0:
        items = draw(st.lists(count_values, min_size=length, max_size=length))
        return draw(st.sampled_from([tuple, TupleSub]))(items)
    if choice == 1:  # mostly small, but one item far too large
        items = draw(st.lists(st.integers(0, 2), min_size=length, max_size=length))
        items[draw(st.integers(0, length - 1))] = draw(st.sampled_from(HUGE_INTS + [4095, 4096, 4097, 2048, 100]))
        return tuple(items)
    if choice == 2:
        n = draw(st.integers(0, 5))
        n += n >= length  # any length but the right one
        return tuple(draw(st.lists(st.integers(0, 2), min_size=n, max_size=n)))
    if choice == 3:
        items = draw(st.lists(st.integers(0, 2), min_size=length, max_size=length))
        return draw(st.sampled_from([list, np.array, GetitemSeq, str]))(items)
    if choice == 4:
        return draw(st.sampled_from([None, 3, "abc", {}, set(), np.zeros(length, dtype=np.int64)]))
    items = draw(st.lists(st.integers(0, 3), min_size=length, max_size=length))
    return TupleSub(items)


@st.composite
def hostile_powers(draw):
    items = draw(st.lists(st.one_of(st.integers(0, 3), count_values), max_size=3))
    small = draw(st.lists(st.integers(0, 3), max_size=3))
    choice = draw(st.integers(0, 11))
    if choice == 0:
        return items
    if choice == 1:
        return tuple(items)
    if choice == 2:
        return draw(st.sampled_from(["", "ct", StrSub("c"), StrSub("")]))
    if choice == 3:
        return bytes(small)
    if choice == 4:
        return range(len(small))
    if choice == 5:
        dtype = draw(st.sampled_from([np.int64, np.uint64, np.int8, np.float64, object]))
        arr = np.array(small, dtype=dtype)
        return draw(st.sampled_from([arr, arr.reshape(1, -1), np.array(3), arr.view(ArraySub) if dtype is np.float64
                                     else arr]))
    if choice == 6:
        fail_at = draw(st.one_of(st.none(), st.integers(0, 3)))
        return GetitemSeq(items, fail_at, draw(st.sampled_from(RAISED)))
    if choice == 7:
        return LenSeq(items, draw(st.sampled_from([-1, 2**62, 2**70, "3", 1.5, None, HostileError, TypeError,
                                                   OverflowError])))
    if choice == 8:
        return IterSeq(items, draw(st.one_of(st.none(), st.integers(0, 3))), draw(st.sampled_from(RAISED)),
                       draw(st.sampled_from([None, None, 5, HostileError, TypeError, [1, 2]])))
    if choice == 9:
        return ListSub(draw(st.lists(st.integers(0, 3), max_size=3)), items)
    if choice == 10:
        return draw(st.sampled_from([None, 3, 1.5, set(), {0: 1}, frozenset([1]), IntOnly()]))
    return draw(st.builds(lambda k: (i for i in range(k)), st.integers(0, 2)))  # a generator


def hostile_value(draw, pname, base):
    kind = KIND[pname]
    if kind in ("vector", "opt_vector"):
        length = base[pname].size if isinstance(base.get(pname), np.ndarray) else 0
        if kind == "opt_vector" and draw(st.integers(0, 4)) == 0:
            return None
        return draw(hostile_vectors(length))
    if kind == "triple":
        return draw(hostile_tuples(3))
    if kind == "quad":
        return draw(hostile_tuples(4))
    if kind == "powers":
        return draw(hostile_powers())
    if kind == "count":
        return draw(count_values)
    if kind == "flag":
        return draw(flag_values)
    if kind == "real":
        return draw(real_values)
    return draw(st.one_of(st.none(), real_values))


@st.composite
def calls(draw, name):
    """(positional args, keyword args) of one hostile call of `name`."""
    names, required = PARAMS[name]
    p, d, q = (draw(st.integers(0, 2)) for _ in range(3))
    P, D, Q = (draw(st.integers(0, 1)) for _ in range(3))
    if P or D or Q:
        s = draw(st.integers(2, 4))
    else:
        s = draw(st.sampled_from([0, 1, 2, 4, 12, 2**63, 2**64 - 1]))
    powers = draw(st.lists(st.sampled_from([0, 0, 1, 2, 3, 2**31 - 1, 2**31, 2**32 + 2, 2**64 - 1]), max_size=2))
    k_exog = draw(st.integers(0, 2))
    concentrate = draw(st.booleans())
    n = draw(st.integers(0, 16))
    horizon = draw(st.integers(0, 6))

    base = {"order": (p, d, q), "seasonal_order": (P, D, Q, s), "trend_powers": powers}
    if "y" in names:
        base["y"] = draw(float_arrays(n, layouts=["plain", "plain", "readonly", "misaligned", "fortran"]))
    if name == "concentrated_scale":
        concentrate = True
    elif "concentrate_scale" not in names:
        concentrate = False
    elif concentrate or draw(st.booleans()):
        base["concentrate_scale"] = concentrate
    n_params = len(powers) + k_exog + p + q + P + Q + (0 if concentrate else 1)
    vec_name = VECTOR_PARAM[name]
    if vec_name:
        base[vec_name] = draw(float_arrays(n_params, layouts=["plain", "plain", "readonly", "fortran"]))
    if "k_exog" in names and (k_exog or draw(st.booleans())):
        base["k_exog"] = k_exog
    elif "k_exog" in names:
        k_exog = 0
    if "exog" in names and draw(st.booleans()):
        base["exog"] = draw(float_arrays(k_exog * n, layouts=["plain", "column", "readonly"]))
    if name == "forecast":
        base["horizon"] = horizon
        if draw(st.booleans()):
            base["exog_future"] = draw(float_arrays(k_exog * horizon, layouts=["plain", "misaligned"]))
    for flag in ("enforce_stationarity", "enforce_invertibility", "parallel"):
        if flag in names and draw(st.booleans()):
            base[flag] = draw(st.sampled_from([True, False, np.True_, np.False_]))
    for real in ("trend_offset", "diffuse_variance", "tolerance", "epsilon"):
        if real in names and draw(st.integers(0, 2)) == 0:
            base[real] = draw(hostile_floats if real != "epsilon" else st.one_of(st.none(), hostile_floats,
                                                                               st.floats(1e-8, 1e-2)))

    # Replace a few arguments with hostile values.
    args = dict(base)
    for target in draw(st.lists(st.sampled_from(names), max_size=3, unique=True)):
        args[target] = hostile_value(draw, target, base)

    # Pass a leading part positionally, the rest by keyword, and sometimes break the binding.
    npos = draw(st.integers(0, len(names)))
    pos = [args.get(n, DEFAULTS.get(n)) for n in names[:npos]]
    kw_items = [(n, args[n]) for n in names[npos:] if n in args]
    kw_items = draw(st.permutations(kw_items))
    binding = draw(st.sampled_from(["none"] * 12 + ["extra", "unknown", "duplicate", "missing", "str-subclass"]))
    if binding == "extra":
        pos = [args.get(n, DEFAULTS.get(n)) for n in names] + draw(
            st.lists(st.sampled_from([0, None, np.zeros(2)]), min_size=1, max_size=2))
        kw_items = []
    elif binding == "unknown":
        key = draw(st.sampled_from(["bogus", "exogs", "Y", "order_", "trend_power", "u", "params", "p", "y",
                                    "horizon", "parallel", "epsilon", "concentrate_scale", "k_exog", "\u00ff",
                                    "\u6f22\u5b57", ""]))
        if key not in names:
            kw_items.insert(draw(st.integers(0, len(kw_items))), (key, 1))
    elif binding == "duplicate" and npos > 0:
        i = draw(st.integers(0, npos - 1))
        kw_items.insert(draw(st.integers(0, len(kw_items))), (names[i], pos[i]))
    elif binding == "str-subclass" and kw_items:  # a keyword given as a str subclass still binds
        i = draw(st.integers(0, len(kw_items) - 1))
        kw_items[i] = (StrSub(kw_items[i][0]), kw_items[i][1])
    elif binding == "missing" and npos < required:
        drop = draw(st.sets(st.sampled_from(names[npos:required]), min_size=1))
        kw_items = [(k, v) for k, v in kw_items if k not in drop]
    return pos, dict(kw_items)


# --- checks ----------------------------------------------------------------------------------

def _arrays_in(obj, depth=0):
    """Every ndarray reachable from an argument (through lists, tuples and object arrays)."""
    if isinstance(obj, np.ndarray):
        yield obj
        if obj.dtype == object and depth < 2:
            for item in obj.view(np.ndarray).ravel().tolist():
                yield from _arrays_in(item, depth + 1)
    elif isinstance(obj, (list, tuple)) and depth < 2:
        for item in (list.__iter__(obj) if isinstance(obj, list) else tuple.__iter__(obj)):
            yield from _arrays_in(item, depth + 1)


def _root(a):
    while isinstance(a.base, np.ndarray):
        a = a.base
    return a


def _snapshot(values):
    """Bytes of every array reachable from the arguments (and of the buffers they view), and
    the items of every list."""
    snap = []
    for v in values:
        for a in _arrays_in(v):
            for arr in (a, _root(a)):
                if arr.size > 1 << 20:  # a zero-stride view: its root holds all its bytes
                    continue
                plain = arr.view(np.ndarray)
                snap.append((id(arr), plain.dtype.str, plain.shape, plain.strides,
                             plain.copy(order="A").tobytes() if plain.dtype != object else
                             tuple(id(x) for x in plain.ravel().tolist())))
        if isinstance(v, list):
            snap.append((id(v), tuple(id(x) for x in list.__iter__(v))))
    return snap


def _check_array(r, length, inputs):
    assert type(r) is np.ndarray, type(r)
    assert r.dtype == np.float64 and r.ndim == 1 and r.shape == (length,), (r.dtype, r.shape, length)
    assert r.flags.c_contiguous and r.flags.owndata and r.flags.writeable
    assert not any(np.may_share_memory(r, a) for a in inputs)


def _bits(x):
    return np.float64(x).view(np.uint64)


def check_result(name, result, ok, inputs):
    if name == "spec_dims":
        dims = ok.dims
        expected = (dims["k_states"], dims["k_arma"], dims["k_diff"], dims["k_diff"], dims["n_params"])
        assert type(result) is tuple and all(type(v) is int for v in result)
        assert result == expected
        return
    n, n_params = ok.n, ok.dims["n_params"]
    if name in ("loglike", "concentrated_scale"):
        assert type(result) is float
    elif name == "loglike_u":
        assert type(result) is float and (math.isfinite(result) or result == -math.inf), result
    elif name == "loglike_grad":
        assert type(result) is tuple and len(result) == 2
        value, grad = result
        assert type(value) is float and (math.isfinite(value) or value == -math.inf), value
        _check_array(grad, n_params, inputs)
    elif name == "filter_paths":
        assert type(result) is tuple and len(result) == 4
        for r in result[:3]:
            _check_array(r, n, inputs)
        assert type(result[3]) is float
    elif name == "forecast":
        assert type(result) is tuple and len(result) == 4
        for r, length in zip(result, (n, n, ok.horizon, ok.horizon)):
            _check_array(r, length, inputs)
    elif name == "loglikeobs":
        _check_array(result, n, inputs)
    elif name in ("transform_params", "untransform_params"):
        _check_array(result, n_params, inputs)
        vec = np.array(ok.vec, dtype=np.float64)
        # Trend and regression coefficients pass through unchanged, and so does every block
        # whose constraint is switched off.
        head = ok.k_trend + ok.k_exog
        assert np.array_equal(_bits(result[:head]), _bits(vec[:head]))
        if not ok.stationarity and not ok.invertibility:
            last = n_params if ok.concentrate else n_params - 1
            assert np.array_equal(_bits(result[:last]), _bits(vec[:last]))
        if name == "transform_params" and not ok.concentrate:
            last_u = float(vec[-1])
            assert _bits(result[-1]) == _bits(last_u * last_u)


def run_call(name, pos, kw, log=note):
    expected = predict(name, pos, kw)
    log(f"expected: {expected!r}")
    if isinstance(expected, Succeeds) and name != "spec_dims":
        dims = expected.dims
        # Only small models are run; bigger ones that pass validation would merely be slow.
        assume(dims["n_params"] <= MAX_RUN_PARAMS and expected.horizon <= MAX_RUN_HORIZON
               and (dims["k_states"] <= MAX_RUN_STATES or name.endswith("transform_params")))
    values = list(pos) + list(kw.values())
    inputs = [a for v in values for a in _arrays_in(v)]
    before = _snapshot(values)
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        result = getattr(kr, name)(*pos, **kw)
        error = None
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException derives from BaseException
        result, error = None, e
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert _snapshot(values) == before, "an input was modified"
    if isinstance(expected, Raises):
        assert error is not None, f"expected {expected!r}, got a result {result!r}"
        assert expected.matches(error), f"expected {expected!r}, got {type(error).__name__}: {_text(error)}"
    else:
        assert error is None, f"expected a result, got {type(error).__name__}: {_text(error)}"
        check_result(name, result, expected, inputs)


@pytest.mark.parametrize("name", FUNCTIONS)
@FUZZ_SETTINGS
@given(data=st.data())
def test_hostile_calls(name, data):
    pos, kw = data.draw(calls(name), label="call")
    run_call(name, pos, kw)


# --- the model itself, on cases with known answers ------------------------------------------

@pytest.mark.parametrize("name, pos, kw, message", [
    ("loglike", [np.zeros(3), np.zeros(2), [1, 0, 0], (0, 0, 0, 0), []], {},
     "argument 'order': 'list' object cannot be converted to 'PyTuple'"),
    ("spec_dims", [(1, 0), (0, 0, 0, 0), []], {}, "expected tuple of length 3, but got tuple of length 2"),
    ("spec_dims", [(1, 0, 0), (0, 1, 0, 0), []], {}, SEASONAL_ZERO),
    ("spec_dims", [(1, 0, 0), (1, 0, 0, 1), []], {}, SEASONAL_ONE),
    ("loglike", [np.zeros(4)[::2], np.zeros(2), (1, 0, 0), (1, 0, 0, 0), []], {},
     "The given array is not contiguous"),
    ("transform_params", [np.zeros(4)[::2], (1, 0, 0), (1, 0, 0, 0), []], {}, SEASONAL_ZERO),
    ("loglike_u", [np.zeros(3), np.zeros(2), (1, 0, 1), (0, 0, 0, 0), []], {},
     "u has 2 elements, but this specification has 3 parameters"),
    ("untransform_params", [np.zeros(2), (1, 0, 1), (0, 0, 0, 0), []], {},
     "params has 2 elements, but this specification has 3 parameters"),
    ("spec_dims", [(1, 0, 0), (0, 0, 0, 0), "ct"], {}, "argument 'trend_powers': Can't extract `str` to `Vec`"),
    ("spec_dims", [(1, 0, 0), (0, 0, 0, 0), [], 0, 1.0, 2], {},
     "spec_dims() takes from 3 to 5 positional arguments but 6 were given"),
], ids=["list-order", "short-tuple", "seasonal-zero", "seasonal-one", "contiguity-first", "model-first",
        "count-u", "count-untransform", "str-powers", "too-many"])
def test_model_predicts_documented_messages(name, pos, kw, message):
    expected = predict(name, pos, kw)
    assert isinstance(expected, Raises) and expected.message == message
    run_call(name, pos, kw, log=lambda text: None)


@pytest.mark.parametrize("obj, kind", [
    (Index(2**64), OverflowError), (Index(-1), OverflowError), (Index(HostileError), HostileError),
    (Index(TypeErrorSubclass), TypeErrorSubclass), (Index("2"), TypeError), (2.0, TypeError),
    (np.uint64(2**64 - 1), None), (True, None),
], ids=["index-huge", "index-negative", "index-raises", "index-raises-subclass", "index-str", "float",
        "uint64-max", "bool"])
def test_count_conversion_errors_keep_their_type(obj, kind):
    pos = [(1, 0, 0), (0, 0, 0, 0), [], obj]
    expected = predict("spec_dims", pos, {})
    if kind is None:
        assert isinstance(expected, Succeeds) or expected.exc_type is ValueError  # 2**64-1 regressors overflow
    else:
        assert isinstance(expected, Raises) and expected.exc_type is kind
        prefixed = expected.message.startswith("argument 'k_exog': ")
        assert prefixed == (kind is TypeError)
    run_call("spec_dims", pos, {}, log=lambda text: None)


@pytest.mark.parametrize("keyword", ["\ud800", "exog\x00x", "\x00"], ids=["lone-surrogate", "inner-nul", "nul"])
def test_unusual_keyword_is_reported_whole(keyword):
    # Any str is a possible keyword; one that is not valid UTF-8 or holds a NUL is still just
    # an unknown keyword, named in full.
    with pytest.raises(BaseException) as info:
        kr.spec_dims((1, 0, 0), (0, 0, 0, 0), [], **{keyword: 1})
    assert type(info.value) is TypeError, repr(info.value)
    assert str(info.value) == f"spec_dims() got an unexpected keyword argument '{keyword}'"
