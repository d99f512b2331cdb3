"""Thread stress: several Python threads call every function at once (parallel and serial
gradients among them, and calls that fail), round after round, on shared input arrays.  Every
result must equal the single-thread result bit for bit (NaN matching NaN), every failure must
be the same exception with the same message, no input may change, and nothing may deadlock.

KORVANTA_STRESS_ROUNDS sets the number of rounds per thread (default 150).
"""

import faulthandler
import os
import random
import threading
import time

import numpy as np
import pytest

import _korvanta_rs as kr
from conftest import FUNCTIONS, minimal_args, positional, same_result

THREADS = 8
ROUNDS = int(os.environ.get("KORVANTA_STRESS_ROUNDS", "150"))
DEADLINE_SECONDS = 120.0


def _seasonal_inputs():
    rng = np.random.default_rng(2024)
    n = 150
    y = np.cumsum(rng.standard_normal(n)) + 0.3 * np.sin(np.arange(n) * np.pi / 6)
    y[[5, 40, 41, 97]] = np.nan
    exog = rng.standard_normal(n)
    model = dict(order=(1, 1, 1), seasonal_order=(1, 0, 1, 12), trend_powers=[1], k_exog=1)
    u = np.array([0.01, 0.4, 0.3, -0.2, 0.5, -0.3, 1.2])
    params = kr.transform_params(u, **model)
    return y, exog, model, u, params


def tasks():
    """(label, function name, positional args, keyword args), sharing their arrays."""
    out = []
    for name in FUNCTIONS:
        kw = minimal_args(name)
        out.append((f"{name}-small", name, [], kw))
        out.append((f"{name}-positional", name, positional(name, kw), {}))

    y, exog, model, u, params = _seasonal_inputs()
    series = dict(y=y, exog=exog, **model)
    out += [
        ("grad-parallel", "loglike_grad", [], dict(series, u=u, parallel=True)),
        ("grad-serial", "loglike_grad", [], dict(series, u=u, parallel=False)),
        ("grad-epsilon", "loglike_grad", [], dict(series, u=u, epsilon=1e-5)),
        ("grad-no-stationarity", "loglike_grad", [], dict(series, u=u, enforce_stationarity=False)),
        ("grad-concentrated", "loglike_grad", [], dict(series, u=u[:-1], concentrate_scale=True)),
        ("loglike", "loglike", [], dict(series, params=params)),
        ("loglike-u", "loglike_u", [], dict(series, u=u)),
        ("filter-paths", "filter_paths", [], dict(series, params=params)),
        ("loglikeobs", "loglikeobs", [], dict(series, params=params)),
        ("concentrated-scale", "concentrated_scale", [], dict(series, params=params[:-1])),
        ("forecast", "forecast", [], dict(series, params=params, horizon=36, exog_future=np.linspace(-1, 1, 36))),
        ("transform", "transform_params", [], dict(model, u=u)),
        ("untransform", "untransform_params", [], dict(model, p=params)),
        ("spec-dims", "spec_dims", [], dict(model)),
    ]

    # Non-finite results: a negative variance, a NaN series, an infinite diffuse variance.
    small = minimal_args("loglike")
    bad = small["params"].copy()
    bad[-1] = -1.0
    out += [
        ("nan-loglike", "loglike", [], dict(small, params=bad)),
        ("nan-paths", "filter_paths", [], dict(small, params=bad)),
        ("nan-series-grad", "loglike_grad", [], dict(minimal_args("loglike_grad"), y=np.full(12, np.nan))),
        ("inf-diffuse", "loglikeobs", [], dict(minimal_args("loglikeobs"), diffuse_variance=np.inf)),
        ("neg-inf-u", "loglike_u", [], dict(minimal_args("loglike_u"), y=np.array([1e308, -1e308] * 6))),
    ]

    # Calls that fail, interleaved with the others (one of them while gradients run on the pool).
    out += [
        ("err-count", "loglike_grad", [], dict(series, u=u[:-2])),
        ("err-kind", "loglike", [], dict(small, y=list(small["y"]))),
        ("err-seasonal", "forecast", [], dict(minimal_args("forecast"), seasonal_order=(1, 0, 0, 1))),
        ("err-contiguous", "transform_params", [], dict(minimal_args("transform_params"),
                                                          u=np.repeat(minimal_args("transform_params")["u"], 2)[::2])),
        ("err-exog", "filter_paths", [], dict(series, params=params, exog=exog[:-1])),
    ]
    return out


def outcome(name, pos, kw):
    try:
        return ("ok", getattr(kr, name)(*pos, **kw))
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return ("raised", type(e), str(e))


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        return a[1:] == b[1:]
    return same_result(a[1], b[1])


def _input_bytes(all_tasks):
    return [(label, key, v.tobytes()) for label, _, pos, kw in all_tasks
            for key, v in list(enumerate(pos)) + list(kw.items()) if isinstance(v, np.ndarray)]


def test_threads_agree_with_one_thread_bit_for_bit():
    all_tasks = tasks()
    reference = {label: outcome(name, pos, kw) for label, name, pos, kw in all_tasks}
    # Anything not a plain argument error means the module failed on its own.
    for label, ref in reference.items():
        assert ref[0] == "ok" or ref[1] in (TypeError, ValueError), (label, ref)
    assert reference["err-count"][0] == "raised" and reference["grad-parallel"][0] == "ok"
    # The single-thread results are themselves reproducible.
    for label, name, pos, kw in all_tasks:
        assert same_outcome(outcome(name, pos, kw), reference[label]), label
    before = _input_bytes(all_tasks)

    failures, done = [], [0] * THREADS
    lock = threading.Lock()
    barrier = threading.Barrier(THREADS)

    def worker(index):
        order = list(all_tasks)
        rng = random.Random(index)
        try:
            barrier.wait(timeout=30)
            for _ in range(ROUNDS):
                rng.shuffle(order)
                for label, name, pos, kw in order:
                    got = outcome(name, pos, kw)
                    if not same_outcome(got, reference[label]):
                        with lock:
                            failures.append((index, label, got))
                    done[index] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            with lock:
                failures.append((index, "thread", repr(e)))

    # Last resort against a deadlock that holds the interpreter lock: dump stacks and exit.
    faulthandler.dump_traceback_later(DEADLINE_SECONDS + 60, exit=True)
    try:
        threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(THREADS)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=max(DEADLINE_SECONDS - (time.monotonic() - start), 0.1))
        alive = [t.name for t in threads if t.is_alive()]
    finally:
        faulthandler.cancel_dump_traceback_later()

    assert not alive, f"threads still running after {DEADLINE_SECONDS} s (deadlock?): {alive}"
    assert not failures, f"{len(failures)} mismatches, first: {failures[:3]}"
    assert done == [ROUNDS * len(all_tasks)] * THREADS
    assert _input_bytes(all_tasks) == before, "an input array was modified"


@pytest.mark.parametrize("parallel", [True, False], ids=["parallel", "serial"])
def test_concurrent_gradients_match_serial(parallel):
    # Many gradients at once, each spreading over the pool: every one equals the serial one.
    y, exog, model, u, _ = _seasonal_inputs()
    kw = dict(y=y, exog=exog, u=u, **model)
    expected = kr.loglike_grad(**kw, parallel=False)
    results, errors = [None] * THREADS, []

    def worker(i):
        try:
            results[i] = [kr.loglike_grad(**kw, parallel=parallel) for _ in range(25)]
        except BaseException as e:  # noqa: BLE001
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=DEADLINE_SECONDS)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not errors, errors
    for per_thread in results:
        for got in per_thread:
            assert same_result(got, expected)
