"""Ctrl-C stops a fit promptly, even while a slow likelihood call runs in the extension."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import korvanta.optimize as optimize
from pkg_data import airline
from process_tree import HAS_PROC, descendants, gone_within


@pytest.fixture
def sigint_raises():
    """Ctrl-C raises KeyboardInterrupt here even where the process was started with SIGINT
    ignored (as a shell does for background jobs, and Python then keeps it ignored)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_interruptible_call_raises_at_once(sigint_raises):
    release = threading.Event()

    def slow_call():
        release.wait(30)           # stands in for a long call that ignores signals
        return 1.0, np.zeros(1)

    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            optimize._interruptible(slow_call)
        assert time.monotonic() - started < 10
    finally:
        release.set()
        timer.cancel()


def test_interruptible_call_returns_and_raises_like_the_call():
    assert optimize._interruptible(lambda: 42) == 42
    with pytest.raises(ValueError, match="boom"):
        optimize._interruptible(lambda: (_ for _ in ()).throw(ValueError("boom")))


def test_keyboard_interrupt_from_a_callback_ends_the_fit():
    import korvanta

    def stop(progress):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12), callback=stop)


def test_slow_fits_switch_to_interruptible_calls(monkeypatch):
    import korvanta

    calls = []
    real = optimize._interruptible

    def spy(call):
        calls.append(1)
        return real(call)

    monkeypatch.setattr(optimize, "_interruptible", spy)
    monkeypatch.setattr(optimize, "_SLOW_CALL", 0.0)
    res = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12))
    assert res.converged and len(calls) == res.n_evaluations - 1
    # A model large enough that one call takes long is interruptible from its first call
    # (each search began with one that Ctrl-C could not stop: seconds with s = 365).
    calls.clear()
    monkeypatch.setattr(optimize, "_SLOW_WORK", 144 * 27 * 27 - 1)
    res = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12))
    assert res.converged and len(calls) == res.n_evaluations


# -- Ctrl-C during a search on worker processes ------------------------------------------
SEARCH_SCRIPT = textwrap.dedent("""
    import signal
    import time
    import numpy as np
    # A background process starts with SIGINT ignored: give Ctrl-C its usual meaning.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import korvanta
    import korvanta.search as search

    def slow_candidate(setting, key, warm):
        time.sleep(600)              # a candidate fit that takes very long

    if __name__ == "__main__":
        # The workers are forked from this process: they run the slow candidate too.
        search.fit_candidate = slow_candidate
        y = np.cumsum(np.random.default_rng(0).normal(size=80))
        print("fitting", flush=True)
        korvanta.auto_fit(y, 1, d=1, stepwise=False, n_jobs=2, max_p=1, max_q=1)
""")


@pytest.mark.skipif(not HAS_PROC, reason="needs /proc to find the workers")
def test_ctrl_c_stops_the_search_workers_mid_fit(tmp_path):
    """Ctrl-C ends the search and its process at once, not after the candidate fits under
    way (or queued) have run to their end, and leaves no worker behind."""
    script = tmp_path / "search.py"
    script.write_text(SEARCH_SCRIPT)
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as proc:
        workers = set()
        try:
            assert proc.stdout.readline().strip() == "fitting"
            deadline = time.monotonic() + 60
            while len(workers) < 2 and time.monotonic() < deadline:
                time.sleep(0.2)
                workers = descendants(proc.pid)
            assert len(workers) >= 2, "the workers did not start"
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            # Far less than one candidate fit (600 s): only a hang fails this.
            _, err = proc.communicate(timeout=60)
        finally:
            if proc.poll() is None:
                gone_within(workers | descendants(proc.pid), 0)
                proc.kill()
    assert "KeyboardInterrupt" in err
    assert gone_within(workers, 10), "orphaned worker processes"
