"""Keeping the BLAS libraries single-threaded during a fit.

The optimiser's linear algebra works on matrices of a few rows; a multi-threaded BLAS
wakes its threads for each call and, on a busy machine, spends milliseconds waiting
for them.  One thread is always faster here.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Iterator
from typing import Any

__all__ = ["single_threaded_blas"]

_controller: Any = None
_held = threading.local()


@contextlib.contextmanager
def single_threaded_blas() -> Iterator[None]:
    """Limit every loaded BLAS library to one thread for the duration of the block."""
    global _controller
    if getattr(_held, "active", False):
        # Already limited further out on this thread: setting and restoring the limit
        # again costs more than the small fits it would be paid on.
        yield
        return
    from threadpoolctl import ThreadpoolController

    if _controller is None:
        # Building the controller scans the loaded libraries (a few ms): once is enough,
        # as SciPy's and NumPy's BLAS are loaded by the time a fit runs.
        _controller = ThreadpoolController()
    # Asking for the thread counts costs a microsecond; setting and restoring them ten.
    single = all(lib.num_threads == 1 for lib in _controller.lib_controllers
                 if lib.user_api == "blas")
    with contextlib.nullcontext() if single else _controller.limit(limits=1, user_api="blas"):
        _held.active = True
        try:
            yield
        finally:
            _held.active = False
