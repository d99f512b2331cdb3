"""Where many fits run: in this process, in local worker processes, or on a Dask cluster.

Every engine does one thing: map a function over a stream of items (batches of series)
and yield, in input order, each item with its result or with the error that prevented
one.  Only a bounded number of items is in flight at once, so neither the items nor the
results of a long stream pile up in the caller's memory.
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import signal
import sys
import threading
import time
import uuid
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from itertools import islice
from typing import Any, Generic, Protocol, TypeVar

from . import _optional

__all__ = ["Done", "Engine", "SerialEngine", "ProcessEngine", "DaskEngine", "WorkerDied",
           "available_cpus", "can_start_processes", "one_thread", "stop_pool", "this_process"]

T = TypeVar("T")
R = TypeVar("R")

# The extension sizes its gradient thread pool from this variable when the pool starts.
THREADS_VARIABLE = "KORVANTA_RS_NUM_THREADS"
# Items in flight per worker: one running, one waiting, so that no worker idles while the
# caller hands out the next one.
_IN_FLIGHT_PER_WORKER = 2
# Seconds between a worker's checks that its parent is still alive.
_PARENT_WATCH = 1.0
# What the forkserver imports once for all its workers: the caller's main module (as the
# start method does by default), the package, and what a first fit would otherwise import
# lazily in every new worker (SciPy's signal and stats modules: half a second); pandas
# too when the caller uses it (dated series are laid out with it).
_PRELOAD = ["__main__", "korvanta.many", "scipy.signal", "scipy.stats"]
# How long the caller sleeps between looks at the oldest item (Ctrl-C is seen at once
# anyway; the timeout only bounds the wait in case a signal arrives between two looks).
_POLL = 0.2


@dataclass(frozen=True)
class Done(Generic[T, R]):
    """An item and what became of it: its result, or the error that stopped it."""

    item: T
    result: R | None
    error: BaseException | None


class WorkerDied(RuntimeError):
    """The process running an item ended abruptly (killed, out of memory, crashed)."""


class Engine(Protocol):
    """Maps a function over items, yielding `Done` records in input order."""

    @property
    def workers(self) -> int:
        """How many items run at the same time."""

    def map(self, func: Callable[[T], R], items: Iterable[T]) -> Iterator[Done[T, R]]:
        """Apply `func` to each item; yield each item's `Done` in input order."""


def available_cpus() -> int:
    """CPUs this process may run on (its affinity mask where the system has one)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def can_start_processes() -> bool:
    """Whether this process may start worker processes: a daemonic one (a worker of a
    multiprocessing.Pool, or of a Dask nanny) may not, and must do the work itself."""
    return not multiprocessing.current_process().daemon


_PROCESS: tuple[int, str] | None = None


def this_process() -> str:
    """A name for this process that no other has: its pid and a random part, as the same
    pid may belong to a process on another machine (a Dask worker) or in another
    container.  A forked child, with a pid of its own, gets a name of its own."""
    global _PROCESS
    pid = os.getpid()
    if _PROCESS is None or _PROCESS[0] != pid:
        _PROCESS = (pid, f"{pid}-{uuid.uuid4().hex}")
    return _PROCESS[1]


def one_thread(force: bool) -> None:
    """Give the extension's gradient one thread in this process (a worker beside others).

    `force=False` keeps a value the operator has already set.  The extension reads the
    variable when its thread pool starts, on the first parallel gradient, so this works as
    long as it runs before the first fit."""
    if force or THREADS_VARIABLE not in os.environ:
        os.environ[THREADS_VARIABLE] = "1"


class SerialEngine:
    """Everything in the calling process, one item after the other (for debugging and for
    callers that parallelise themselves)."""

    workers = 1

    def map(self, func: Callable[[T], R], items: Iterable[T]) -> Iterator[Done[T, R]]:
        for item in items:
            try:
                result = func(item)
            except Exception as exc:
                yield Done(item, None, exc)
            else:
                yield Done(item, result, None)


def _init_worker(parent: int) -> None:
    one_thread(force=True)
    # Ctrl-C is the parent's to handle: it stops the workers itself, at once.  Without
    # this, a terminal's Ctrl-C would also land in every worker as a stray traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    exit_with(parent)


def exit_with(parent: int) -> None:
    """In a worker process: end it once `parent` is gone (a thread checks every second)."""
    if os.name == "posix":
        threading.Thread(target=_watch, args=(parent,), daemon=True,
                         name="korvanta-parent-watch").start()


def _watch(parent: int) -> None:
    """End this worker once the process that started the pool is gone.  A parent killed
    outright (SIGKILL, the OOM killer) cannot stop its workers, and the pool's own
    machinery may leave them waiting forever for work that will never come."""
    while True:
        time.sleep(_PARENT_WATCH)
        try:
            os.kill(parent, 0)
        except ProcessLookupError:
            os._exit(1)
        except OSError:         # alive, though not ours to signal
            pass


# Whether this process was forked from one that had started the standard library's fork
# server (a worker of a fork-based pool whose caller ran fit_many before): it inherits the
# record of that server, whose process is not its child, and the standard library then
# fails ("No child processes") at the first pool that would use it.
_SERVER_INHERITED = False


def _note_inherited_server() -> None:
    global _SERVER_INHERITED
    forkserver = sys.modules.get("multiprocessing.forkserver")
    server = getattr(forkserver, "_forkserver", None)
    if getattr(server, "_forkserver_pid", None) is not None:
        _SERVER_INHERITED = True


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_note_inherited_server)


def _context() -> Any:
    """forkserver where the system has it (workers fork from a server that has already
    imported the package, so they start in milliseconds), else spawn.  Never plain fork:
    the caller may hold threads and locks that a forked child would inherit mid-use.
    Spawn too in a process that inherited its parent's fork server, which it cannot use."""
    methods = multiprocessing.get_all_start_methods()
    if "forkserver" in methods and not _SERVER_INHERITED:
        ctx = multiprocessing.get_context("forkserver")
        ctx.set_forkserver_preload(_PRELOAD + (["pandas"] if "pandas" in sys.modules else []))
        return ctx
    return multiprocessing.get_context("spawn")


class ProcessEngine:
    """Worker processes on this machine (the standard library's process pool).

    Each worker gives the extension one thread, ignores SIGINT and runs items one at a
    time.  If a worker dies, the items it took down are run again, one at a time in a
    fresh pool, and an item that kills its worker again is reported with `WorkerDied`.
    Leaving `map` early (Ctrl-C, an error, a generator closed by the caller) terminates
    the workers at once.
    """

    def __init__(self, n_jobs: int) -> None:
        self.workers = n_jobs

    def map(self, func: Callable[[T], R], items: Iterable[T]) -> Iterator[Done[T, R]]:
        source = iter(items)
        window: deque[tuple[T, cf.Future[R]]] = deque()
        limit = self.workers * _IN_FLIGHT_PER_WORKER
        first = list(islice(source, limit))
        # No more workers than items: each is a process, started at once (a huge n_jobs,
        # or many cores for a few batches, would fork them all for nothing).
        size = max(1, min(self.workers, len(first)))
        pool = self._pool(size)
        finished = False
        try:
            for item in first:
                window.append((item, _submit(pool, func, item)))
            while window:
                item, future = window.popleft()
                _wait(future)
                error = future.exception()
                if isinstance(error, cf.process.BrokenProcessPool):
                    # Every item in flight was lost with the pool: rerun each alone.
                    lost = [item] + [it for it, _ in window]
                    window.clear()
                    stop_pool(pool, graceful=False)
                    for it in lost:
                        pool = self._pool(1)
                        yield self._alone(pool, func, it)
                        stop_pool(pool, graceful=True)
                    pool = self._pool(size)
                    for it in islice(source, limit):
                        window.append((it, _submit(pool, func, it)))
                    continue
                if error is not None:
                    yield Done(item, None, error)
                else:
                    yield Done(item, future.result(), None)
                for nxt in islice(source, 1):
                    window.append((nxt, _submit(pool, func, nxt)))
            finished = True
        finally:
            stop_pool(pool, graceful=finished)

    def _pool(self, size: int) -> cf.ProcessPoolExecutor:
        return cf.ProcessPoolExecutor(max_workers=size, mp_context=_context(),
                                      initializer=_init_worker, initargs=(os.getpid(),))

    @staticmethod
    def _alone(pool: cf.ProcessPoolExecutor, func: Callable[[T], R], item: T) -> Done[T, R]:
        future = pool.submit(func, item)
        _wait(future)
        error = future.exception()
        if isinstance(error, cf.process.BrokenProcessPool):
            return Done(item, None, WorkerDied(
                "the worker process died while running this batch (killed, out of memory "
                "or crashed)"))
        if error is not None:
            return Done(item, None, error)
        return Done(item, future.result(), None)


def _submit(pool: cf.ProcessPoolExecutor, func: Callable[[T], R], item: T) -> cf.Future[R]:
    """pool.submit, except that a pool broken since the last result (a worker died)
    gives the item back as lost with it, to be rerun alone like the others."""
    try:
        return pool.submit(func, item)
    except cf.process.BrokenProcessPool as exc:
        lost: cf.Future[R] = cf.Future()
        lost.set_exception(exc)
        return lost


def _wait(future: cf.Future[Any]) -> None:
    while not future.done():
        cf.wait([future], timeout=_POLL)


def stop_pool(pool: cf.ProcessPoolExecutor, graceful: bool) -> None:
    """Close the pool: let idle workers exit, or terminate them mid-work."""
    if graceful:
        pool.shutdown(wait=True)
        return
    # The pool has no public way to stop running work; its worker table is the one handle
    # on the processes (Python 3.14 adds terminate_workers for exactly this).
    procs = list((getattr(pool, "_processes", None) or {}).values())
    for proc in procs:
        if proc.is_alive():
            proc.terminate()
    pool.shutdown(wait=False, cancel_futures=True)
    for proc in procs:
        proc.join(timeout=5)
        if proc.is_alive():
            proc.kill()
            proc.join(timeout=5)


class DaskEngine:
    """Items as tasks on a Dask cluster (`distributed.Client`), gathered in input order.

    Dask reruns a task whose worker died (up to `retries` times); an item that still fails
    is yielded with its error.  Leaving `map` early cancels the tasks in flight.
    """

    def __init__(self, client: Any, retries: int = 2) -> None:
        self.client = client
        self.retries = retries

    @property
    def workers(self) -> int:
        threads = self.client.nthreads()
        return max(1, sum(int(n) for n in threads.values()))

    def map(self, func: Callable[[T], R], items: Iterable[T]) -> Iterator[Done[T, R]]:
        source = iter(items)
        window: deque[tuple[T, Any]] = deque()
        limit = self.workers * _IN_FLIGHT_PER_WORKER
        try:
            for item in islice(source, limit):
                window.append((item, self._submit(func, item)))
            while window:
                item, future = window.popleft()
                try:
                    result = future.result()
                except Exception as exc:
                    yield Done(item, None, exc)
                else:
                    yield Done(item, result, None)
                future.release()
                for nxt in islice(source, 1):
                    window.append((nxt, self._submit(func, nxt)))
        finally:
            if window:
                self.client.cancel([f for _, f in window])

    def _submit(self, func: Callable[[T], R], item: T) -> Any:
        return self.client.submit(func, item, pure=False, retries=self.retries)


def current_client() -> Any:
    """The Dask client of this context (`distributed.get_client()`), or a clear error."""
    distributed = _optional.distributed()
    try:
        return distributed.get_client()
    except ValueError:
        raise ValueError('engine="dask" uses the current Dask client, and there is none: '
                         "create one first (distributed.Client(...)) or pass it as "
                         "engine=client") from None


def is_dask_client(engine: Any) -> bool:
    """Whether `engine` is a distributed.Client (without importing Dask otherwise)."""
    distributed = sys.modules.get("distributed")
    return distributed is not None and isinstance(engine, distributed.Client)
