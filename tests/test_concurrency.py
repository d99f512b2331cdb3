"""Fits beside other threads: a fork from one thread while another changes the BLAS
thread counts."""

import os
import threading
import time
import warnings
from types import SimpleNamespace

import pytest

import korvanta._blas as blas


class _SlowCounts:
    """Stands in for threadpoolctl's controller: one BLAS library on two threads, whose
    change of the counts lasts until it is released (OpenBLAS makes the change under a
    lock of its own, which a child forked meanwhile would wait for forever)."""

    def __init__(self):
        self.changing = threading.Event()
        self.release = threading.Event()
        self.lib_controllers = [SimpleNamespace(user_api="blas", num_threads=2,
                                                clear_controlling_thread=lambda: None)]

    def limit(self, limits, user_api):
        self.changing.set()
        self.release.wait(30)
        return SimpleNamespace(restore_original_limits=lambda: None)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")   # fork with threads (3.12+)
def test_fork_waits_until_the_blas_counts_are_changed(monkeypatch):
    # A fork (a multiprocessing pool started by fork, auto_fit's workers) while a fit on
    # another thread set the counts left the child stuck on OpenBLAS's lock at its first
    # fit, and its parent waiting for the child's result forever.
    fake = _SlowCounts()
    monkeypatch.setattr(blas, "_controller", fake)
    events = []

    def fit_on_a_thread():
        with blas.single_threaded_blas():
            pass

    def fork():
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        events.append("forked")
        os.waitpid(pid, 0)

    fitting = threading.Thread(target=fit_on_a_thread)
    fitting.start()
    try:
        assert fake.changing.wait(30)
        forking = threading.Thread(target=fork)
        forking.start()
        forking.join(1.0)          # a fork that does not wait for the change is done by now
        events.append("changed")
    finally:
        fake.release.set()
    forking.join(30)
    fitting.join(30)
    assert not forking.is_alive() and not fitting.is_alive()
    assert events == ["changed", "forked"]
    assert blas._owner is None


def test_quiet_fits_keep_their_warnings_to_their_own_thread():
    # A fit inside quiet_notes on one thread hands its warnings to that block's list; a
    # fit on another thread meanwhile issues its own as usual.  (The model search and
    # fit_many captured them with catch_warnings, which changes the filters of the whole
    # process: another thread's warnings landed in their list, and theirs in its.)
    import warnings

    import numpy as np

    import korvanta
    from korvanta.estimate import ConvergenceWarning, quiet_notes

    inside, go_on, done = threading.Event(), threading.Event(), threading.Event()
    kept = []

    def quiet():
        with quiet_notes() as notes:
            inside.set()
            go_on.wait(30)
            korvanta.fit(np.full(30, 2.0), (1, 0, 0))
        kept.extend(notes)
        done.set()

    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        worker = threading.Thread(target=quiet)
        worker.start()
        assert inside.wait(30)
        korvanta.fit(np.full(30, 3.0), (1, 0, 0))
        go_on.set()
        assert done.wait(60)
        worker.join()
    assert [w.category for w in issued] == [ConvergenceWarning]
    assert [category for category, _ in kept] == [ConvergenceWarning]


def test_model_searches_on_threads_choose_as_alone():
    # Three threads searching at once chose SARIMA(0,1,1)(1,1,2,12) every time: another
    # thread's boundary warning, caught in the wrong list, kept a candidate near the unit
    # circle that the search alone drops.
    from concurrent.futures import ThreadPoolExecutor

    import korvanta
    from pkg_data import airline

    def search(_):
        res = korvanta.auto_fit(airline(), 12, n_jobs=1, max_p=1, max_q=1, max_P=1, max_Q=2)
        return res.order, res.seasonal_order, res.llf

    alone = search(0)
    with ThreadPoolExecutor(3) as pool:
        found = list(pool.map(search, range(6)))
    assert found == [alone] * 6


def test_warnings_silenced_on_many_threads_stay_silenced():
    # catch_warnings changes the process's filters: two threads' blocks that overlap
    # restored each other's filters out of order, and a warning silenced in one was an
    # error in the other (pandas 3's infer_freq notice, in fit_many on Dask threads).
    from korvanta._quiet import ignoring_warnings

    errors = []

    def work():
        try:
            for _ in range(300):
                with ignoring_warnings():
                    time.sleep(0)   # lets the other threads in, as real work does
                    warnings.warn("silenced", FutureWarning)
        except Exception as exc:    # noqa: BLE001 (any escape is the failure)
            errors.append(exc)

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
