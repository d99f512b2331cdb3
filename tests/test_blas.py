"""BLAS runs on one thread inside a fit and gets its thread counts back afterwards, also
when fits run on several threads at once (which give the serial fits' bits)."""

import pytest
from threadpoolctl import threadpool_info, threadpool_limits

from korvanta._blas import single_threaded_blas


def _counts():
    return [lib["num_threads"] for lib in threadpool_info() if lib["user_api"] == "blas"]


@pytest.mark.parametrize("threads", [1, 2])
def test_single_threaded_inside_and_restored_after(threads):
    with threadpool_limits(threads, user_api="blas"):
        before = _counts()
        with single_threaded_blas():
            assert all(n == 1 for n in _counts())
            with single_threaded_blas():          # nested: still one thread
                assert all(n == 1 for n in _counts())
            assert all(n == 1 for n in _counts())
        assert _counts() == before



def test_fits_on_several_threads_leave_the_thread_counts_as_they_were():
    # The counts are the process's: a thread that limited them while another thread's
    # limit was in force took one thread for the original count and put that back, and
    # one that was not the thread in control of them could not put anything back. Either
    # way BLAS stayed on one thread after the fits had ended.
    import threading

    before = _counts()
    if all(n == 1 for n in before):
        pytest.skip("no BLAS library here runs on more than one thread")
    start = threading.Barrier(8)

    def work():
        start.wait()
        for _ in range(300):
            with single_threaded_blas():
                pass

    for _ in range(3):      # new threads each round: the first of them takes control
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert _counts() == before
    # A thread of its own still gets one thread inside the block.
    with single_threaded_blas():
        assert all(n == 1 for n in _counts())
    assert _counts() == before


def test_package_fits_on_threads_equal_fits_on_one_thread():
    # Whole fits at once on several threads (the BLAS limit, the gradient pool and the
    # result's lazy standard errors shared between them) give the serial fits' bits.
    import threading

    import numpy as np

    import korvanta
    from pkg_data import KNOWN_OPTIMA

    jobs = [(load(), exog, order, seasonal, trend)
            for _, load, exog, order, seasonal, trend, _ in KNOWN_OPTIMA[:4]]

    def key(job):
        y, exog, order, seasonal, trend = job
        res = korvanta.fit(y, order, seasonal, trend, exog)
        return (res.params.tobytes(), np.float64(res.llf).tobytes(), res.bse.tobytes(),
                res.forecast(6).mean.tobytes())

    serial = [key(job) for job in jobs]
    failures: list[tuple[int, int]] = []
    barrier = threading.Barrier(6)

    def worker(index):
        barrier.wait(timeout=30)
        for rep in range(8):
            which = (index + rep) % len(jobs)
            if key(jobs[which]) != serial[which]:
                failures.append((index, which))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert not failures
