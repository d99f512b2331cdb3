"""Ctrl-C stops a fit promptly, even while a slow likelihood call runs in the extension."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import korvanta.optimize as optimize
from pkg_data import airline


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
