"""The module inside a whole process: interpreter exit while gradients run on other threads,
and a system that refuses to start the worker threads."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SANITIZED = os.environ.get("KORVANTA_SANITIZED") == "1"

# Daemon threads keep calling loglike_grad (which releases the interpreter lock, serially or
# on the pool) while the main thread returns after `delay` seconds: the interpreter ends those
# threads when they next ask for the lock, possibly while pool workers are mid-evaluation.
EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    import _korvanta_rs as kr

    y = np.random.default_rng(0).standard_normal(300)
    u = np.array([0.3, 0.2, 0.1, 0.2, 1.0])
    model = dict(order=(1, 0, 1), seasonal_order=(1, 1, 1, 12), trend_powers=[], tolerance=0.0)

    def loop(parallel):
        while True:
            kr.loglike_grad(y, u, **model, parallel=parallel)

    kr.loglike_grad(y, u, **model)  # the pool exists before the threads start
    for i in range(4):
        threading.Thread(target=loop, args=(i % 2 == 0,), daemon=True).start()
    time.sleep(float(sys.argv[1]))
""")


@pytest.mark.parametrize("delay", [0.0, 0.002, 0.01, 0.03, 0.1, 0.25])
def test_interpreter_exits_cleanly_while_daemon_threads_compute(delay):
    for attempt in range(3):
        proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, str(delay + attempt * 0.0037)],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
        assert "exception not rethrown" not in proc.stderr


# A pthread_create that starts only the first SHIM_ALLOW_THREADS threads of the process and
# refuses the rest, as a system out of threads would.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

static int started;

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*run)(void*), void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    if (real == NULL) real = dlsym(RTLD_NEXT, "pthread_create");
    const char* allow = getenv("SHIM_ALLOW_THREADS");
    if (allow != NULL && __atomic_fetch_add(&started, 1, __ATOMIC_SEQ_CST) >= atoi(allow)) return EAGAIN;
    return real(thread, attr, run, arg);
}
"""

POOL_SCRIPT = textwrap.dedent("""
    import numpy as np
    import _korvanta_rs as kr

    y = np.random.default_rng(1).standard_normal(200)
    u = np.array([0.4, -0.2, 0.3, 0.9])
    model = dict(order=(2, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[])
    serial = kr.loglike_grad(y, u, **model, parallel=False)
    for _ in range(20):
        value, grad = kr.loglike_grad(y, u, **model, parallel=True)
        assert value == serial[0] and grad.tobytes() == serial[1].tobytes()
    print("ok")
""")


@pytest.fixture(scope="module")
def refusing_pthread_create(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler to build the pthread_create shim")
    lib = tmp_path_factory.mktemp("shim") / "refuse_threads.so"
    src = lib.with_suffix(".c")
    src.write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(lib), str(src), "-ldl"], check=True)
    return lib


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="LD_PRELOAD interposition")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime must come first in LD_PRELOAD and "
                                      "intercepts pthread_create itself")
@pytest.mark.skipif(os.environ.get("KORVANTA_EMULATED") == "1",
                    reason="the shim is built for the host, not for the emulated interpreter")
@pytest.mark.parametrize("allowed", [0, 1, 2], ids=["no-worker", "one-worker", "two-workers"])
def test_pool_keeps_the_workers_that_started(refusing_pthread_create, allowed):
    env = dict(os.environ, LD_PRELOAD=str(refusing_pthread_create), SHIM_ALLOW_THREADS=str(allowed),
               KORVANTA_RS_NUM_THREADS="6", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-c", POOL_SCRIPT], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", (proc.returncode, proc.stderr[-2000:])
