"""Hostile inputs shared by the fuzzing, argument, leak and conversion-callback tests.

Objects whose special methods raise, lie or run arbitrary code; sequences that fail midway;
str, tuple, list and ndarray subclasses whose Python-level protocol must not be used; fake
NumPy booleans; 1-D float64 arrays in every memory layout and things that are almost such
arrays.  What a special method does is given as a *result*, interpreted by `produce`.
"""

import numpy as np

import _korvanta_rs as kr


class HostileError(Exception):
    """Raised by hostile objects: it must reach the caller unchanged."""


class TypeErrorSubclass(TypeError):
    """Not exactly TypeError, so it must pass without the argument prefix."""


class HostileBaseError(BaseException):
    """Not even an Exception: it must still reach the caller unchanged."""


RAISED = (TypeError, ValueError, OverflowError, TypeErrorSubclass, HostileError, HostileBaseError)


class Raise:
    """An exception to raise, built fresh each time from its type and arguments."""

    def __init__(self, exc_type, *args):
        self.exc_type, self.args = exc_type, args

    def __repr__(self):
        return f"Raise({self.exc_type.__name__}, *{self.args!r})"


class After:
    """Run `action()`, then produce `result`: Python code running inside a conversion."""

    def __init__(self, action, result):
        self.action, self.result = action, result

    def __repr__(self):
        return f"After({self.action!r}, {self.result!r})"


def produce(result, what):
    """What a hostile special method named `what` does with its `result`: an exception class
    is raised as a fresh instance, an exception instance is raised as itself (its old
    traceback dropped, so that raising it again and again does not chain tracebacks), a
    Raise is built and raised, an After runs its action first; anything else is returned."""
    if isinstance(result, type) and issubclass(result, BaseException):
        raise result(f"hostile {what}")
    if isinstance(result, BaseException):
        raise result.with_traceback(None)
    if isinstance(result, Raise):
        raise result.exc_type(*result.args)
    if isinstance(result, After):
        result.action()
        return produce(result.result, what)
    return result


def chained_type_error(message, cause):
    """A TypeError with a __cause__: a prefixed replacement must take the cause over."""
    err = TypeError(message)
    err.__cause__ = cause
    return err


class BadStr:
    """An exception argument whose str() fails, or is not a str."""

    def __init__(self, result):
        self.result = result

    def __str__(self):
        return produce(self.result, "__str__")

    def __repr__(self):
        return f"BadStr({self.result!r})"


# --- numbers -------------------------------------------------------------------------------

class Index:
    """An object with only __index__, which produces `result`."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        return produce(self.result, "__index__")

    def __repr__(self):
        return f"Index({self.result!r})"


class Reentrant:
    """__index__ calls back into the module (a gradient on the pool, and a failing call)
    before it produces `result`."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        kr.loglike_grad(np.array([0.5, -0.2, 0.1, 0.3]), np.array([0.3, 1.1]), (1, 0, 0), (0, 0, 0, 0), [])
        try:
            kr.spec_dims((1, 0, 0), (1, 0, 0, 1), [])
        except ValueError:
            pass
        return produce(self.result, "__index__")

    def __repr__(self):
        return f"Reentrant({self.result!r})"


class Float:
    """An object with __float__ (producing `result`) and maybe __index__."""

    def __init__(self, result, index=None):
        self.result = result
        self.index = index

    def __float__(self):
        return produce(self.result, "__float__")

    def __index__(self):
        if self.index is None:
            raise TypeError("Float has no index")
        return produce(self.index, "__index__")

    def __repr__(self):
        return f"Float({self.result!r}, index={self.index!r})"


class IntOnly:
    """__int__ alone does not make an integer or a real for the interpreter's conversions."""

    def __int__(self):
        return 1

    def __repr__(self):
        return "IntOnly()"


# --- fake NumPy booleans -------------------------------------------------------------------

def numpy_named(name, module="numpy", **body):
    """A class that claims to be NumPy's boolean scalar type (named `name` in `module`)."""
    return type(name, (), {"__module__": module, "__repr__": lambda self: f"<fake {module}.{name}>", **body})


def bool_method(result):
    """A __bool__ that produces `result`."""
    def __bool__(self):
        return produce(result, "__bool__")
    return __bool__


FAKE_NUMPY_BOOLS = [
    numpy_named("bool_", __bool__=lambda self: True),
    numpy_named("bool", __bool__=lambda self: False),
    numpy_named("bool_", __bool__=lambda self: 1),
    numpy_named("bool", __bool__=lambda self: None),
    numpy_named("bool_", __bool__=bool_method(HostileError)),
    numpy_named("bool", __bool__=bool_method(TypeError)),
    numpy_named("bool_", __bool__=bool_method(TypeErrorSubclass)),
    numpy_named("bool_", __bool__=5),
    numpy_named("bool_"),
    numpy_named("boolean", __bool__=lambda self: True),
]


def fake_numpy_bool(result):
    """An instance of a fake NumPy boolean type whose __bool__ produces `result`."""
    return numpy_named("bool_", __bool__=bool_method(result))()


# --- sequences -----------------------------------------------------------------------------

class GetitemSeq:
    """The old sequence protocol: __getitem__ alone, failing at index `fail_at` with `exc`
    (anything `produce` raises)."""

    def __init__(self, items, fail_at=None, exc=HostileError):
        self.items = list(items)
        self.fail_at = fail_at
        self.exc = exc

    def __getitem__(self, i):
        if i == self.fail_at:
            produce(self.exc, "__getitem__")
        return self.items[i]

    def __repr__(self):
        return f"{type(self).__name__}({self.items!r}, fail_at={self.fail_at!r}, exc={self.exc!r})"


class LenSeq(GetitemSeq):
    """A sequence whose __len__ produces `length` (a length is only a hint), maybe failing
    at index `fail_at` too."""

    def __init__(self, items, length, fail_at=None, exc=HostileError):
        super().__init__(items, fail_at, exc)
        self.length = length

    def __len__(self):
        return produce(self.length, "__len__")

    def __repr__(self):
        return f"LenSeq({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r}, exc={self.exc!r})"


class IterSeq(GetitemSeq):
    """A sequence whose iterator fails after `fail_at` items, or whose __iter__ produces
    `iter_result` instead of an iterator over its items."""

    def __init__(self, items, fail_at=None, exc=HostileError, iter_result=None):
        super().__init__(items)
        self.iter_fail_at = fail_at
        self.iter_exc = exc
        self.iter_result = iter_result

    def __iter__(self):
        if self.iter_result is not None:
            return produce(self.iter_result, "__iter__")
        return self._generate()

    def _generate(self):
        for i, item in enumerate(self.items):
            if i == self.iter_fail_at:
                raise self.iter_exc("hostile iteration")
            yield item
        if self.iter_fail_at is not None and self.iter_fail_at >= len(self.items):
            raise self.iter_exc("hostile iteration")

    def __repr__(self):
        return (f"IterSeq({self.items!r}, fail_at={self.iter_fail_at!r}, exc={self.iter_exc.__name__}, "
                f"iter_result={self.iter_result!r})")


class ListSub(list):
    """A list whose iteration yields other items than it holds and whose __len__ raises."""

    def __init__(self, held, iterated):
        super().__init__(held)
        self.iterated = list(iterated)

    def __iter__(self):
        return iter(self.iterated)

    def __len__(self):
        raise HostileError("hostile __len__")

    def __repr__(self):
        return f"ListSub(held={list.__repr__(self)}, iterated={self.iterated!r})"


class TupleSub(tuple):
    """A tuple whose Python-level protocol lies; only its stored items count."""

    def __len__(self):
        return 99

    def __getitem__(self, i):
        raise HostileError("hostile __getitem__")

    def __iter__(self):
        raise HostileError("hostile __iter__")

    def __repr__(self):
        return f"TupleSub({tuple.__repr__(self)})"


class StrSub(str):
    pass


# --- arrays --------------------------------------------------------------------------------

class ArraySub(np.ndarray):
    """An ndarray subclass whose Python-level protocol raises: only its buffer may be used."""

    def __len__(self):
        raise HostileError("hostile __len__")

    def __iter__(self):
        raise HostileError("hostile __iter__")

    def __getitem__(self, i):
        raise HostileError("hostile __getitem__")

    def __float__(self):
        raise HostileError("hostile __float__")

    def __index__(self):
        raise HostileError("hostile __index__")

    def __bool__(self):
        raise HostileError("hostile __bool__")

    def __repr__(self):
        base = self.view(np.ndarray)
        return f"ArraySub({base.tolist()!r}, dtype={base.dtype}, strides={base.strides})"


def _with_errstate(fn):
    def wrapped(*args):
        with np.errstate(all="ignore"):
            return fn(*args)
    return wrapped


@_with_errstate
def layout(values, how):
    """A 1-D float64 array holding `values`, laid out in memory as `how` says."""
    a = np.array(values, dtype=np.float64)
    n = a.size
    if how == "plain":
        return a
    if how == "readonly":
        a.flags.writeable = False
        return a
    if how == "strided":
        base = np.full(3 * n, 12345.0)
        base[::3] = a
        return base[::3]
    if how == "reversed":
        return a[::-1].copy()[::-1]
    if how == "fortran":
        return np.asfortranarray(a)
    if how == "misaligned":
        raw = np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, count=n, offset=1)
        raw[:] = a
        return raw
    if how == "subclass":
        return a.view(ArraySub)
    if how == "metadata":
        return a.view(np.dtype(np.float64, metadata={"unit": "hostile"}))
    if how == "broadcast":
        return np.broadcast_to(a[:1] if n else a, (n,))
    if how == "column":  # a column of a Fortran matrix: contiguous view into a bigger buffer
        m = np.asfortranarray(np.full((n, 3), -7.0))
        m[:, 1] = a
        return m[:, 1]
    if how == "row_of_fortran":  # a row of a Fortran matrix: strided
        m = np.asfortranarray(np.full((3, n), -7.0))
        m[1, :] = a
        return m[1, :]
    raise AssertionError(how)


LAYOUTS = ["plain", "plain", "plain", "readonly", "strided", "reversed", "fortran", "misaligned", "subclass",
           "metadata", "broadcast", "column", "row_of_fortran"]


@_with_errstate
def wrong_kind(values, how):
    """Something that is not a 1-D native float64 array, made from `values` as `how` says."""
    a = np.array(values, dtype=np.float64)
    return {
        "byteswapped": lambda: a.astype(a.dtype.newbyteorder()),
        "float32": lambda: a.astype(np.float32),
        "float16": lambda: a.astype(np.float16),
        "longdouble": lambda: a.astype(np.longdouble),
        "int64": lambda: np.arange(a.size, dtype=np.int64),
        "complex": lambda: a.astype(np.complex128),
        "object": lambda: a.astype(object),
        "bool": lambda: a > 0,
        "zero_dim": lambda: np.array(a[0] if a.size else 1.0),
        "two_dim": lambda: a.reshape(1, -1),
        "two_dim_column": lambda: a.reshape(-1, 1),
        "empty_2d": lambda: np.empty((0, 0)),
        "three_dim": lambda: a.reshape(1, 1, -1),
        "subclass_2d": lambda: a.reshape(1, -1).view(ArraySub),
        "list": lambda: a.tolist(),
        "tuple": lambda: tuple(a.tolist()),
        "scalar": lambda: np.float64(1.0),
        "float": lambda: 1.0,
        "none": lambda: None,
        "memoryview": lambda: memoryview(a),
        "bytes": lambda: a.tobytes(),
        "matrix_like": lambda: GetitemSeq(a.tolist()),
        # 2**40 entries in 8 bytes of memory: must be turned away without being walked.
        "huge_broadcast": lambda: np.broadcast_to(np.float64(a[0] if a.size else 0.5), (2**40,)),
    }[how]()


WRONG_KINDS = ["byteswapped", "float32", "float16", "longdouble", "int64", "complex", "object", "bool", "zero_dim",
               "two_dim", "two_dim_column", "empty_2d", "three_dim", "subclass_2d", "list", "tuple", "scalar",
               "float", "none", "memoryview", "bytes", "matrix_like", "huge_broadcast"]
