"""BLAS runs on one thread inside a fit and gets its thread counts back afterwards."""

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
