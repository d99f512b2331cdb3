"""loglike_grad and threads: the interpreter lock, concurrent callers, fork and failures on
the worker pool.  (How long the other threads are held up is measured by
benchmarks/bench_threads.py, not here.)"""

import functools
import multiprocessing
import multiprocessing.connection
import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

import _korvanta_rs as kr
from conftest import FUNCTIONS

SEASONAL = dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 52), trend_powers=[], tolerance=0.0)
U_SEASONAL = np.array([0.3, 0.2, 0.1, 0.2, 1.0])


def same(a, b):
    return (np.float64(a[0]).tobytes() == np.float64(b[0]).tobytes()
            and a[1].dtype == b[1].dtype and a[1].tobytes() == b[1].tobytes())


class Watcher(threading.Thread):
    """Wakes every millisecond (the sleep releases the interpreter lock) and notes whether it
    ever ran while the main thread was inside a call."""

    def __init__(self):
        super().__init__(daemon=True)
        self.calling = False
        self.seen = False
        self.stop = False
        self.running = threading.Event()

    def run(self):
        while not self.stop:
            time.sleep(0.001)
            if self.calling:
                self.seen = True
            self.running.set()


def others_run_during(call):
    """Whether another Python thread ran while `call()` did.

    With a switch interval of 1000 s the main thread is never asked to hand the interpreter
    lock over: the watcher can only run during the call if the call itself releases the lock.
    Outside the call the main thread blocks (waiting for the watcher to start, joining it),
    so the watcher does run there."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    watcher = Watcher()
    try:
        watcher.start()
        watcher.running.wait()
        watcher.calling = True
        call()
        watcher.calling = False
    finally:
        watcher.stop = True
        watcher.join()
        sys.setswitchinterval(old)
    return watcher.seen


@functools.lru_cache(maxsize=None)
def long_calls():
    """A call of every function that takes tens of milliseconds, by function name."""
    y = np.random.default_rng(4000).standard_normal(4000)
    model = {k: v for k, v in SEASONAL.items() if k != "tolerance"}
    params = kr.transform_params(U_SEASONAL, **model)
    # Long transforms: AR and MA blocks of 4000 lags each, and a million trend coefficients
    # (whose conversion alone takes milliseconds).
    wide = dict(order=(4000, 0, 4000), seasonal_order=(0, 0, 0, 0), trend_powers=[0] * 1_000_000)
    u_wide = np.full(1_008_001, 1e-4)
    return {
        "loglike": lambda: kr.loglike(y, params, **SEASONAL),
        "loglike_u": lambda: kr.loglike_u(y, U_SEASONAL, **SEASONAL),
        "filter_paths": lambda: kr.filter_paths(y, params, **SEASONAL),
        "forecast": lambda: kr.forecast(y, params, **model, horizon=5000, tolerance=0.0),
        "loglikeobs": lambda: kr.loglikeobs(y, params, **SEASONAL),
        "transform_params": lambda: kr.transform_params(u_wide, **wide),
        "untransform_params": lambda: kr.untransform_params(u_wide, **wide),
        "spec_dims": lambda: kr.spec_dims((1, 0, 0), (0, 0, 0, 0), [0] * 2_000_000),
        "concentrated_scale": lambda: kr.concentrated_scale(y, params[:-1], **SEASONAL),
        "loglike_grad-parallel": lambda: kr.loglike_grad(y[:800], U_SEASONAL, **SEASONAL, parallel=True),
        "loglike_grad-serial": lambda: kr.loglike_grad(y[:800], U_SEASONAL, **SEASONAL, parallel=False),
    }


@pytest.mark.parametrize("name", ["loglike_grad-parallel", "loglike_grad-serial"])
def test_grad_releases_the_interpreter_lock(name):
    # A positive answer is proof; a negative one may be bad luck of the scheduler on a busy
    # machine (the watcher must wake within the call), so a few calls may be needed.
    assert any(others_run_during(long_calls()[name]) for _ in range(5))


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if n != "loglike_grad"])
def test_other_functions_hold_the_interpreter_lock(name):
    assert not others_run_during(long_calls()[name])


# (model, series length, unconstrained vector, keyword arguments)
CASES = [
    (dict(order=(2, 1, 2), seasonal_order=(0, 0, 0, 0), trend_powers=[1]), 400,
     [0.1, 0.3, -0.2, 0.2, 0.1, 0.9], {}),
    (dict(order=(1, 0, 1), seasonal_order=(1, 1, 0, 12), trend_powers=[], k_exog=1), 300,
     [0.5, 0.3, 0.2, -0.4, 1.2], {"tolerance": 0.0}),
    (dict(order=(3, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[]), 500,
     [0.3, 0.2, 0.1, 0.8], {"epsilon": 1e-5}),
    (dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[]), 200, [1.1], {}),
]


def case_inputs(i):
    model, n, u, kw = CASES[i]
    rng = np.random.default_rng(100 + i)
    y = np.cumsum(rng.standard_normal(n)) * 0.2 + rng.standard_normal(n)
    exog = rng.standard_normal(n * model["k_exog"]) if model.get("k_exog") else None
    return y, np.array(u), dict(model, exog=exog, **kw)


def test_many_python_threads_agree_with_one():
    inputs = [case_inputs(i) for i in range(len(CASES))]
    calls = [(i, par) for i in range(len(CASES)) for par in (True, False)]
    expected = {c: kr.loglike_grad(*inputs[c[0]][:2], **inputs[c[0]][2], parallel=c[1]) for c in calls}
    for i in range(len(CASES)):
        assert same(expected[(i, True)], expected[(i, False)])

    n_threads, rounds = 8, 6
    barrier = threading.Barrier(n_threads)
    mismatches, errors = [], []

    def worker(w):
        try:
            order = np.random.default_rng(w).permutation(len(calls) * rounds) % len(calls)
            barrier.wait()
            for j in order:
                i, par = calls[j]
                got = kr.loglike_grad(*inputs[i][:2], **inputs[i][2], parallel=par)
                if not same(got, expected[calls[j]]):
                    mismatches.append((w, calls[j]))
        except BaseException as e:  # reported below, a thread's exception would be lost
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "threads still running after 120 s"
    assert not errors and not mismatches, (errors, mismatches[:5])


def _all_gradients():
    """Every case, parallel and serial, as picklable (value, gradient bytes) pairs."""
    out = []
    for i in range(len(CASES)):
        y, u, kw = case_inputs(i)
        out.append([kr.loglike_grad(y, u, **kw, parallel=par) for par in (True, False)])
    return [[(f, g.tobytes()) for f, g in pair] for pair in out]


def _child_gradients(conn):
    conn.send(_all_gradients())
    conn.close()


# From Python 3.12 on, os.fork() in a process with more than one thread warns that the child
# may deadlock: a lock held by another thread at the fork stays locked in the child forever.
# Forking with the pool's workers alive (and, below, with another thread inside loglike_grad)
# is exactly what these tests check: the pool holds its creation lock across the fork, and the
# child abandons the parent's workers and builds its own pool, so it cannot wait on a lock
# that a vanished worker held. A deadlock would show as a child that gives no result in time.
# Only that one warning is let through, so any other warning still fails the test.
FORK_WARNING = r"This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks in the child"


def _run_forked_child(timeout=60):
    ctx = multiprocessing.get_context("fork")
    parent_end, child_end = ctx.Pipe(duplex=False)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=FORK_WARNING, category=DeprecationWarning)
        proc = ctx.Process(target=_child_gradients, args=(child_end,))
        proc.start()
    child_end.close()
    try:
        # Wait for the result or for the child's end, whichever comes first, so that a child
        # that dies is reported with its exit code at once.
        ready = multiprocessing.connection.wait([parent_end, proc.sentinel], timeout)
        if parent_end in ready:
            got = parent_end.recv()
        else:
            proc.join(1)
            pytest.fail(f"forked child produced no gradient within {timeout} s" if not ready
                        else f"forked child ended with exit code {proc.exitcode} before its result")
        proc.join(timeout)
        assert proc.exitcode == 0
    finally:
        if proc.is_alive():
            proc.kill()
            proc.join()
    return got


def _compare_child(got, expected):
    for pair_got, pair_exp in zip(got, expected, strict=True):
        for (f, g), (fe, ge) in zip(pair_got, pair_exp, strict=True):
            assert np.float64(f).tobytes() == np.float64(fe).tobytes() and g == ge


def test_forked_child_after_parent_used_the_pool():
    expected = _all_gradients()  # the parallel calls here start the pool
    _compare_child(_run_forked_child(), expected)
    # The parent's pool is unaffected by the fork.
    _compare_child(_all_gradients(), expected)


def test_fork_while_another_thread_is_using_the_pool():
    expected = _all_gradients()
    y, u, kw = case_inputs(1)
    busy_result = kr.loglike_grad(y, u, **kw, parallel=True)
    stop, bad = threading.Event(), []

    def keep_busy():
        while not stop.is_set():
            if not same(kr.loglike_grad(y, u, **kw, parallel=True), busy_result):
                bad.append(1)

    busy = threading.Thread(target=keep_busy)
    busy.start()
    try:
        for _ in range(4):
            time.sleep(0.01)
            _compare_child(_run_forked_child(), expected)
    finally:
        stop.set()
        busy.join(timeout=60)
    assert not busy.is_alive() and not bad


# Run in a fresh interpreter: it lowers the address-space limit. One evaluation of a model
# with 2,048 states needs about 128 MiB of covariance storage. The limit leaves room for one
# evaluation at a time but not for two, so the base value (computed alone) succeeds while the
# concurrent perturbed evaluations of the parallel gradient run out of memory.
MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    import numpy as np
    import _korvanta_rs as kr

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1]) * 1024

    big = dict(order=(0, 0, 0), seasonal_order=(0, 1, 0, 2047), trend_powers=[0], k_exog=2,
               enforce_stationarity=False)
    # Long enough that the workers' evaluations overlap in time.
    y_big, u_big = np.random.default_rng(0).standard_normal(60), np.array([0.1, 0.2, 0.3, 1.0])
    # Measured before anything else raises the peak: the address space one evaluation takes.
    before = status("VmSize")
    kr.loglike_u(y_big, u_big, **big)
    need = status("VmPeak") - before
    assert need > 64 << 20, need

    y = np.random.default_rng(1).standard_normal(80)
    u = np.array([0.3, 0.2, 1.1])
    small = lambda parallel: kr.loglike_grad(y, u, (1, 0, 1), (0, 0, 0, 0), [], parallel=parallel)
    expected = small(False)
    def check():
        f, g = small(True)
        assert f == expected[0] and g.tobytes() == expected[1].tobytes()
    check()  # starts the pool before the limit applies

    # The smallest limit (in steps of need / 10) under which one evaluation alone still fits;
    # two at once, as the parallel gradient runs them, then cannot.
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    base = status("VmSize")
    for tenths in range(11, 20):
        resource.setrlimit(resource.RLIMIT_AS, (base + tenths * need // 10, hard))
        try:
            kr.loglike_u(y_big, u_big, **big)
            break
        except MemoryError:
            continue
    else:
        print("one evaluation does not fit under 1.9 times its own need")
        sys.exit(4)
    for attempt in range(3):
        try:
            kr.loglike_grad(y_big, u_big, **big, parallel=True)
        except MemoryError:
            break
    else:
        print("no MemoryError in three attempts")
        sys.exit(3)
    check()
    check()
    print("ok")
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.skipif(
    os.environ.get("KORVANTA_SANITIZED") == "1",
    reason="AddressSanitizer reserves terabytes of shadow address space, so RLIMIT_AS cannot be used",
)
@pytest.mark.skipif(
    os.environ.get("KORVANTA_EMULATED") == "1",
    reason="qemu-user does not apply RLIMIT_AS to the emulated program, so the limit cannot make an evaluation fail",
)
def test_memory_error_on_workers_reaches_caller_and_pool_survives():
    proc = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True,
                          timeout=180,
                          # Large blocks always from mmap and back on free, so that the address
                          # space follows what the evaluations hold (no heap growth left over).
                          # Four workers hold four evaluations at once, well past the limit.
                          env=dict(os.environ, PYTHONFAULTHANDLER="1", MALLOC_MMAP_THRESHOLD_="131072",
                                   KORVANTA_RS_NUM_THREADS="4"))
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", (proc.returncode, proc.stdout, proc.stderr)
