"""Warnings silenced for a block, one such block at a time across threads."""

from __future__ import annotations

import contextlib
import threading
import warnings
from collections.abc import Iterator

__all__ = ["ignoring_warnings"]

_turn = threading.RLock()


@contextlib.contextmanager
def ignoring_warnings(category: type[Warning] = Warning) -> Iterator[None]:
    """warnings.catch_warnings with `category` ignored.  The filters belong to the
    process: blocks of two threads that overlap (fits on a thread pool) restore each
    other's filters out of order, and a warning silenced in one reaches the other (an
    error where warnings are errors).  These blocks take turns; keep them short."""
    with _turn, warnings.catch_warnings():
        warnings.simplefilter("ignore", category)
        yield
