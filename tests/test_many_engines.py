"""The engines behind fit_many: input order, bounded work in flight, worker failures,
one extension thread per worker, Ctrl-C, and the progress bar."""

import concurrent.futures as cf
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import korvanta
import korvanta.engines as engines
from korvanta.engines import DaskEngine, ProcessEngine, SerialEngine, WorkerDied
from process_tree import descendants, gone_within
from many_panels import (AIRLINE, airline_like, fit_or_die, square_or_die,
                         threads_after_a_batch, threads_setting, two_worker_client)

distributed = pytest.importorskip("distributed")

TESTS = Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def client():
    with two_worker_client() as client:
        yield client


def _engine(name, request):
    if name == "serial":
        return SerialEngine()
    if name == "processes":
        return ProcessEngine(2)
    return DaskEngine(request.getfixturevalue("client"), retries=0)


ENGINES = ["serial", "processes", "dask"]


@pytest.mark.parametrize("name", ENGINES)
def test_results_in_input_order_and_errors_per_item(name, request):
    items = [3, 1, "raise", 4, 1, 5, 9, 2, 6]
    done = list(_engine(name, request).map(square_or_die, items))
    assert [d.item for d in done] == items
    assert [d.result for d in done] == [9, 1, None, 16, 1, 25, 81, 4, 36]
    assert isinstance(done[2].error, ValueError) and "bad item" in str(done[2].error)


@pytest.mark.parametrize("name", ENGINES)
def test_only_a_few_items_are_in_flight(name, request):
    """The stream is pulled as results come back: the parent never holds the whole input
    (or all results) at once."""
    engine = _engine(name, request)
    pulled = []

    def source():
        for i in range(40):
            pulled.append(i)
            yield i

    ahead = [len(pulled) - k for k, _ in enumerate(engine.map(square_or_die, source()))]
    assert max(ahead) <= 2 * engine.workers + 1


def test_a_dying_worker_loses_only_its_own_item():
    items = [1, 2, "die", 3, 4, 5]
    done = list(ProcessEngine(2).map(square_or_die, items))
    assert [d.item for d in done] == items
    assert [d.result for d in done if d.error is None] == [1, 4, 9, 16, 25]
    assert isinstance(done[2].error, WorkerDied)


@pytest.mark.parametrize("n_jobs, items", [(10 ** 6, [1, 2, 3]), (2, [1, 2, 3]), (8, [])])
def test_no_more_worker_processes_than_items(monkeypatch, n_jobs, items):
    # Each worker is a process forked at once: n_jobs=10**6 tried to start a million.
    sizes = []
    real = cf.ProcessPoolExecutor

    def recorded(max_workers, **kwargs):
        sizes.append(max_workers)
        return real(max_workers=max_workers, **kwargs)

    monkeypatch.setattr(engines.cf, "ProcessPoolExecutor", recorded)
    done = list(ProcessEngine(n_jobs).map(square_or_die, items))
    assert [d.result for d in done] == [i * i for i in items]
    assert sizes == [max(1, min(n_jobs, len(items)))]


def test_an_item_handed_to_a_pool_broken_meanwhile_comes_back_lost():
    # A worker may die between one result and the next submission: the submission then
    # raises at once, and the item must join the lost ones instead of ending the run.
    class Broken:
        def submit(self, func, item):
            raise cf.process.BrokenProcessPool("a child process terminated abruptly")

    future = engines._submit(Broken(), square_or_die, 3)
    assert isinstance(future.exception(), cf.process.BrokenProcessPool)


@pytest.mark.parametrize("name", ["processes", "dask"])
def test_workers_give_the_extension_one_thread(name, request, monkeypatch):
    monkeypatch.delenv("KORVANTA_RS_NUM_THREADS", raising=False)
    engine = _engine(name, request)
    func = threads_setting
    if name == "dask":
        # Dask's workers are the operator's: fit_many's tasks set the variable themselves.
        engine.client.run(lambda: os.environ.pop("KORVANTA_RS_NUM_THREADS", None))
        func = threads_after_a_batch
    assert {d.result for d in engine.map(func, range(4))} == {"1"}


def test_fit_many_reports_a_batch_whose_worker_died(monkeypatch):
    """A worker that dies is a failed row for its series; the others are fitted."""
    series = {u: airline_like(i) for i, u in enumerate("abcd")}
    series["c"] = "die"                # the test helper kills its worker on this value
    monkeypatch.setattr("korvanta.many.fit_batch", fit_or_die)
    s, _ = korvanta.fit_many(series, *AIRLINE, batch_size=1, n_jobs=2)
    assert s.status.tolist() == ["ok", "ok", "failed", "ok"]
    assert "worker process died" in s.message[2]


# -- Ctrl-C -------------------------------------------------------------------------------
SCRIPT = textwrap.dedent("""
    import signal
    import sys
    import numpy as np
    sys.path.insert(0, {tests!r})
    # A process started in the background inherits SIGINT ignored (and Python keeps it
    # so): give Ctrl-C its usual meaning, as in a terminal.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import korvanta
    from many_panels import airline_like

    if __name__ == "__main__":
        series = {{i: airline_like(i) for i in range(5000)}}
        print("fitting", flush=True)
        korvanta.fit_many(series, (2, 1, 1), (1, 1, 1, 12), batch_size=2, n_jobs=2)
        print("finished", flush=True)
""")


def _busy_workers(proc):
    """The processes below a running fit_many script, once its two workers are busy."""
    assert proc.stdout.readline().strip() == "fitting"
    deadline = time.monotonic() + 60
    workers = set()
    while len(workers) < 3 and time.monotonic() < deadline:   # server + 2 workers
        time.sleep(0.2)
        workers = descendants(proc.pid)
    assert len(workers) >= 3, "the workers did not start"
    time.sleep(1.0)                      # let them get busy
    return workers


def _start_script(tmp_path):
    script = tmp_path / "run.py"
    script.write_text(SCRIPT.format(tests=str(TESTS)))
    return subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="needs /proc to find the workers")
def test_ctrl_c_stops_the_workers_promptly(tmp_path):
    with _start_script(tmp_path) as proc:
        workers = set()
        try:
            workers = _busy_workers(proc)
            proc.send_signal(signal.SIGINT)
            started = time.monotonic()
            _, err = proc.communicate(timeout=20)
            assert time.monotonic() - started < 5
        finally:
            if proc.poll() is None:            # the run did not stop: leave nothing running
                gone_within(workers | descendants(proc.pid), 0)
                proc.kill()
    assert proc.returncode != 0 and "KeyboardInterrupt" in err
    assert gone_within(workers, 5), "orphaned worker processes"


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="needs /proc to find the workers")
def test_workers_end_when_their_parent_is_killed(tmp_path):
    with _start_script(tmp_path) as proc:
        workers = _busy_workers(proc)
        proc.kill()                          # no chance to stop its workers itself
    assert gone_within(workers, 10), "worker processes outlived their parent"


# -- progress -------------------------------------------------------------------------------
@pytest.mark.parametrize("progress, shown", [(True, True), (None, False), (False, False)],
                         ids=["asked", "not-a-terminal", "refused"])
def test_progress_bar_only_when_asked_or_watched(capsys, progress, shown):
    korvanta.fit_many({"a": airline_like(0)}, *AIRLINE, engine="serial", progress=progress)
    err = capsys.readouterr().err
    assert ("1/1" in err) == shown


def test_asking_for_progress_without_tqdm_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)     # makes `import tqdm` fail
    with pytest.raises(ImportError, match=r"korvanta-rs\[progress\]"):
        korvanta.fit_many({"a": airline_like(0)}, *AIRLINE, engine="serial", progress=True)
