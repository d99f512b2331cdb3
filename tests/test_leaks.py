"""Reference and memory leaks: many calls of every function, on success and on every kind of
error path, leave the reference counts of their arguments unchanged and memory flat.

Environment:
    KORVANTA_LEAK_CALLS  calls per function and path (default 2000; the dedicated leak run
                         uses 100000).
    KORVANTA_SANITIZED=1 set when the module is built with AddressSanitizer: the resident-set
                         check is skipped there (the sanitizer's quarantine and shadow memory
                         make the process size meaningless); the reference-count and
                         tracemalloc checks still run.
"""

import ctypes
import ctypes.util
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import _korvanta_rs as kr
import hostile
from conftest import FUNCTIONS, PARAMS, minimal_args, positional
from hostile import HostileError, Index, LenSeq, chained_type_error, fake_numpy_bool

CALLS = int(os.environ.get("KORVANTA_LEAK_CALLS", "2000"))
SANITIZED = os.environ.get("KORVANTA_SANITIZED", "") == "1"

# Python-level growth allowed over a whole batch (caches, free lists, interned names).
TRACEMALLOC_SLACK = 32 * 1024
# Process growth allowed after warm-up: the allocator keeps some memory, it does not grow
# with the number of calls.
RSS_SLACK = 4 * 1024 * 1024


def failing_powers(error):
    """A sequence whose iteration raises `error` after its first item; asking its length
    raises too."""
    return LenSeq([0], length=HostileError, fail_at=1, exc=error)


# --- calls -----------------------------------------------------------------------------------

def _vec_name(name):
    return next((v for v in ("params", "u", "p") if v in PARAMS[name][0]), None)


def _medium_args(name):
    """A seasonal model with a trend and a regressor on 240 observations: every successful
    call allocates tens of kilobytes, so a per-call leak would show in the process size."""
    names = PARAMS[name][0]
    rng = np.random.default_rng(7)
    n = 240
    kw = {"order": (1, 1, 1), "seasonal_order": (1, 0, 1, 12), "trend_powers": [1]}
    u = np.array([0.05, 0.3, 0.2, -0.3, 0.4, -0.2, 1.1])  # trend, beta, phi, theta, Phi, Theta, sigma
    if "y" in names:
        y = np.cumsum(rng.standard_normal(n))
        y[::17] = np.nan
        kw["y"] = y
        kw["k_exog"] = 1
        kw["exog"] = rng.standard_normal(n)
    else:
        kw["k_exog"] = 1
    vec = u
    if name in ("loglike", "filter_paths", "forecast", "loglikeobs", "untransform_params", "concentrated_scale"):
        vec = kr.transform_params(u, kw["order"], kw["seasonal_order"], kw["trend_powers"], k_exog=1)
    if name == "concentrated_scale":
        vec = vec[:-1].copy()
    if _vec_name(name):
        kw[_vec_name(name)] = vec
    if name == "forecast":
        kw["horizon"] = 24
        kw["exog_future"] = rng.standard_normal(24)
    if name == "spec_dims":
        kw = {k: v for k, v in kw.items() if k in names}
    return kw


def error_cases(name):
    """(id, builder, expected exception type): failing calls that reach every stage of the
    argument handling, each builder returning fresh (positional, keyword) arguments."""
    names, required = PARAMS[name]
    vec = _vec_name(name)
    cases = []

    def add(case_id, exc, make):
        cases.append((case_id, make, exc))

    def with_kw(**changes):
        def make():
            kw = minimal_args(name)
            kw.update({k: (v() if callable(v) else v) for k, v in changes.items()})
            return [], kw
        return make

    add("too-many-positional", TypeError, lambda: (positional(name, minimal_args(name)) + [np.zeros(1)], {}))
    add("unknown-keyword", TypeError, lambda: ([], {**minimal_args(name), "bogus": np.zeros(2)}))
    add("duplicate", TypeError, lambda: ([minimal_args(name)[names[0]]], minimal_args(name)))
    add("missing", TypeError,
        lambda: ([], {k: v for k, v in minimal_args(name).items() if k != names[required - 1]}))
    if vec:
        add("vector-is-list", TypeError, with_kw(**{vec: lambda: [0.5, 1.0]}))
        add("vector-byteswapped", TypeError,
            with_kw(**{vec: lambda: minimal_args(name)[vec].astype(">f8")}))
        add("vector-two-dim", TypeError,
            with_kw(**{vec: lambda: minimal_args(name)[vec].reshape(1, -1)}))
        add("vector-not-contiguous", TypeError,
            with_kw(**{vec: lambda: np.repeat(minimal_args(name)[vec], 2)[::2]}))
        add("parameter-count", ValueError,
            with_kw(**{vec: lambda: np.append(minimal_args(name)[vec], 0.5)}))
    add("order-is-list", TypeError, with_kw(order=lambda: [1, 0, 0]))
    add("seasonal-length", ValueError, with_kw(seasonal_order=lambda: (0, 0, 0)))
    add("negative-order", OverflowError, with_kw(order=lambda: (1, -1, 0)))
    add("huge-index", OverflowError, with_kw(order=lambda: (Index(2**70 + 5), 0, 0)))
    add("index-raises-typeerror", TypeError, with_kw(k_exog=lambda: Index(chained_type_error("index refused", HostileError("the cause")))))
    add("index-raises-other", HostileError, with_kw(k_exog=lambda: Index(HostileError("index"))))
    add("powers-str", TypeError, with_kw(trend_powers="ct"))
    add("powers-fail-midway", TypeError, with_kw(trend_powers=lambda: failing_powers(TypeError("midway"))))
    add("powers-fail-other", HostileError, with_kw(trend_powers=lambda: failing_powers(HostileError("midway"))))
    add("powers-bad-item", OverflowError, with_kw(trend_powers=lambda: [0, Index(2**64 + 11)]))
    add("real-is-str", TypeError, with_kw(trend_offset="later"))
    add("real-too-big", OverflowError, with_kw(trend_offset=lambda: 2**1100))
    if "enforce_stationarity" in names:
        add("flag-is-int", TypeError, with_kw(enforce_stationarity=1))
        add("flag-fake-numpy", TypeError, with_kw(enforce_invertibility=lambda: fake_numpy_bool(1)))
    add("seasonal-period", ValueError, with_kw(seasonal_order=(1, 0, 0, 1)))
    add("oversized", ValueError, with_kw(order=(5000, 0, 0)))
    add("overflow", ValueError, with_kw(seasonal_order=lambda: (2**63, 0, 0, 4)))
    if "tolerance" in names:  # y and the vector are already converted when this fails
        add("last-argument", TypeError, with_kw(tolerance=lambda: [1e-9]))
    if "exog" in names:
        add("exog-size", ValueError, with_kw(exog=lambda: np.zeros(5)))
        add("exog-not-contiguous", ValueError, with_kw(exog=lambda: np.zeros(24)[::2]))
    if name == "forecast":
        add("exog-future-size", ValueError, with_kw(exog_future=lambda: np.zeros(4)))
        add("horizon-too-long", ValueError, with_kw(horizon=2**25 + 1, exog_future=None))
    if name == "loglike_grad":
        add("epsilon-is-str", TypeError, with_kw(epsilon="small"))
    return cases


def success_cases(name):
    cases = [("small", lambda: ([], minimal_args(name))),
             ("positional", lambda: (positional(name, minimal_args(name)), {})),
             ("medium", lambda: ([], _medium_args(name)))]
    if name == "loglike_grad":
        cases += [("serial", lambda: ([], {**minimal_args(name), "parallel": False})),
                  ("epsilon", lambda: ([], {**minimal_args(name), "epsilon": 1e-6}))]
    if name in ("loglike", "loglike_u", "filter_paths", "loglikeobs", "forecast"):
        cases.append(("nan-inputs", lambda: ([], {**minimal_args(name), "y": np.array([np.nan, np.inf, 1.0] * 4),
                                                  "diffuse_variance": np.inf})))
    return cases


def all_cases(name):
    return [(cid, make, None) for cid, make in success_cases(name)] + error_cases(name)


CASE_PARAMS = [pytest.param(name, cid, id=f"{name}-{cid}") for name in FUNCTIONS for cid, _, _ in all_cases(name)]


def find_case(name, cid):
    return next((make, exc) for c, make, exc in all_cases(name) if c == cid)


def _calls(cid):
    # The medium model allocates tens of kilobytes per call: a tenth of the calls still makes
    # any leak of it stand out.
    return max(CALLS // 10, 1) if cid == "medium" else CALLS


def call_once(fn, pos, kw, exc):
    """One call; checks that it ends the way the path is meant to end."""
    if exc is None:
        result = fn(*pos, **kw)
        # The result is ours alone: one reference (plus getrefcount's), and its items belong to
        # it alone (counted outside the assert statements, whose rewriting holds references).
        own = sys.getrefcount(result)
        items = []
        if isinstance(result, tuple):
            items = [sys.getrefcount(result[i]) for i in range(len(result)) if type(result[i]) is not int]
        assert own == 2 and all(count == 2 for count in items), (own, items)
        return
    try:
        fn(*pos, **kw)
    except exc:
        return
    raise AssertionError(f"expected {exc.__name__}")


# --- reference counts --------------------------------------------------------------------------

def _tracked(values):
    """The argument objects whose reference counts are compared: arrays, containers, floats,
    big ints, hostile objects and their classes, and what they hold."""
    seen, out = set(), []

    def visit(obj, depth):
        if id(obj) in seen or depth > 3:
            return
        if obj is None or type(obj) in (bool, str) or (type(obj) is int and -5 <= obj <= 256):
            return
        seen.add(id(obj))
        out.append(obj)
        if isinstance(obj, (tuple, list)):
            for item in (tuple.__iter__(obj) if isinstance(obj, tuple) else list.__iter__(obj)):
                visit(item, depth + 1)
        elif isinstance(obj, np.ndarray):
            if obj.base is not None:
                visit(obj.base, depth + 1)
        elif type(obj).__module__ == hostile.__name__ or type(obj).__name__ == "bool_":
            visit(type(obj), depth + 1)
            for value in getattr(obj, "__dict__", {}).values():
                visit(value, depth + 1)
        elif isinstance(obj, BaseException):
            visit(obj.__cause__, depth + 1)

    for v in values:
        visit(v, 0)
    return out


@pytest.mark.parametrize("name, cid", CASE_PARAMS)
def test_reference_counts_unchanged(name, cid):
    make, exc = find_case(name, cid)
    pos, kw = make()
    fn = getattr(kr, name)
    objects = _tracked(list(pos) + list(kw.values()))
    call_once(fn, pos, kw, exc)  # first call: lazy set-up, and a raised instance gets its traceback
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(_calls(cid)):
        call_once(fn, pos, kw, exc)
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, f"reference counts changed (type, before, after): {changed}"


# --- memory --------------------------------------------------------------------------------

def _prepared(name):
    fn = getattr(kr, name)
    prepared = []
    for cid, make, exc in all_cases(name):
        pos, kw = make()
        # The medium model allocates a lot per call; fewer calls still make a leak visible.
        prepared.append((pos, kw, exc, _calls(cid)))
    return fn, prepared


def _run(fn, prepared, fraction=1.0):
    for pos, kw, exc, calls in prepared:
        for _ in range(max(int(calls * fraction), 1)):
            call_once(fn, pos, kw, exc)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_python_allocations_flat(name):
    fn, prepared = _prepared(name)
    _run(fn, prepared, 0.05)  # warm-up: pool, NumPy table, caches
    gc.collect()
    tracemalloc.start()
    try:
        _run(fn, prepared, 0.05)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        baseline = tracemalloc.take_snapshot()
        _run(fn, prepared)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
        if growth > TRACEMALLOC_SLACK:
            top = tracemalloc.take_snapshot().compare_to(baseline, "lineno")[:5]
            pytest.fail(f"{name}: Python allocations grew by {growth} bytes over the calls; top: {top}")
    finally:
        tracemalloc.stop()


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _trim():
    # Hand freed heap pages back where the C library allows it, so that RSS tracks live memory.
    gc.collect()
    path = ctypes.util.find_library("c")
    if path:
        libc = ctypes.CDLL(path)
        if hasattr(libc, "malloc_trim"):
            libc.malloc_trim(0)


@pytest.mark.skipif(SANITIZED, reason="process size is meaningless under AddressSanitizer")
@pytest.mark.parametrize("name", FUNCTIONS)
def test_resident_set_flat(name):
    fn, prepared = _prepared(name)
    _run(fn, prepared, 0.25)  # warm-up
    _trim()
    start = _rss()
    _run(fn, prepared)
    _trim()
    growth = _rss() - start
    assert growth < RSS_SLACK, f"{name}: resident set grew by {growth / 2**20:.1f} MiB over the calls"
