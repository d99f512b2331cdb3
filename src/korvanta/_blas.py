"""Keeping the BLAS libraries single-threaded during a fit.

The optimiser's linear algebra works on matrices of a few rows; a multi-threaded BLAS
wakes its threads for each call and, on a busy machine, spends milliseconds waiting
for them.  One thread is always faster here.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator
from typing import Any

__all__ = ["single_threaded_blas"]

_controller: Any = None
_held = threading.local()
# The thread counts belong to the process, and recent threadpoolctl versions let only one
# thread at a time change them (calls from others do nothing). So the thread that sets the
# limit is the one that lifts it, when its block ends; blocks on other threads that start
# meanwhile run under that limit while it lasts and change nothing themselves. (A thread
# that limited the counts while another's limit was in force would take one thread for
# the original count, and restore that.)
_lock = threading.Lock()
_owner: int | None = None     # the thread whose limit is in force
_limiter: Any = None


def _before_fork() -> None:
    """Hold the counts still across a fork: OpenBLAS changes them under a lock of its own,
    and a child forked while another thread held it would wait for it forever (at its
    first fit, or its first change of the counts)."""
    _lock.acquire()


def _after_fork_in_parent() -> None:
    _lock.release()


def _reset_after_fork() -> None:
    """A child starts with no limit of its own (the thread that held one is not there)."""
    global _lock, _owner, _limiter
    _lock, _owner, _limiter = threading.Lock(), None, None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                        after_in_child=_reset_after_fork)


@contextlib.contextmanager
def single_threaded_blas() -> Iterator[None]:
    """Limit every loaded BLAS library to one thread for the duration of the block."""
    if getattr(_held, "active", False):
        # Already limited further out on this thread: setting and restoring the limit
        # again costs more than the small fits it would be paid on.
        yield
        return
    _held.active = True
    try:
        _limit()
        yield
    finally:
        _held.active = False
        _lift()


def _limit() -> None:
    global _controller, _owner, _limiter
    with _lock:
        if _owner is not None:
            return
        from threadpoolctl import ThreadpoolController

        if _controller is None:
            # Building the controller scans the loaded libraries (a few ms): once is
            # enough, as SciPy's and NumPy's BLAS are loaded by the time a fit runs.
            _controller = ThreadpoolController()
        # Asking for the thread counts costs a microsecond; setting and restoring them ten.
        if all(lib.num_threads == 1 for lib in _controller.lib_controllers
               if lib.user_api == "blas"):
            return
        _limiter = _controller.limit(limits=1, user_api="blas")
        _owner = threading.get_ident()


def _lift() -> None:
    global _owner, _limiter
    with _lock:
        if _owner != threading.get_ident():
            return
        _limiter.restore_original_limits()
        for lib in _controller.lib_controllers:
            # Hand the control of the counts back, so that other threads may limit them.
            release = getattr(lib, "clear_controlling_thread", None)
            if release is not None:
                release()
        _owner, _limiter = None, None
