"""Python code run while the arguments are converted must not make a call read freed memory.

Converting an argument can run Python code: the `__index__` of an `order` or `seasonal_order`
item, of `k_exog` or `horizon`; the iteration or the items of `trend_powers`; the `__float__`
of `trend_offset`, `diffuse_variance`, `tolerance` or `epsilon`; the `__bool__` of a flag that
passes for a NumPy boolean.  That code can resize an array argument converted before it
(`ndarray.resize(refcheck=False)` moves or frees its buffer).  The call must then answer from
the arrays as they are once every argument is converted: exactly what the same call gives
with the resized arrays and plain values in place of the callbacks (the same result bits, or
the same exception type and message), and it writes to no array.

Every function is tried with every array argument it takes and a callback in each later
parameter that can run one, each resizing the array in four ways.  The cases run in a child
process, in a worker forked from it, so that a crash, or an AddressSanitizer report in the
sanitizer build, fails its case instead of ending the test run; the next worker goes on
with the cases after it.

Run the cases without pytest (one line per case: its id and what went wrong):
    python tests/test_conversion_callbacks.py
"""

import faulthandler
import functools
import json
import os
import subprocess
import sys
import tempfile
import traceback
from dataclasses import dataclass

import numpy as np
import pytest

import _korvanta_rs as kr
from conftest import FUNCTIONS, KIND, PARAMS, SERIES
from hostile import After, Float, Index, IterSeq, fake_numpy_bool

# A case that runs longer than this is a hang: its worker dumps its stack and exits.
HANG_SECONDS = 60.0
# The whole matrix takes a few seconds; this is a last resort.
CHILD_TIMEOUT = 900.0
USUAL_ERRORS = (TypeError, ValueError, OverflowError)
POISON = -1.5e300


# --- callbacks ------------------------------------------------------------------------------

class Resize:
    """Resizes `array` when called (the first time only), as `change` says, and keeps a copy
    of its bytes right after."""

    def __init__(self, array, change):
        self.array, self.change = array, change
        self.done = False
        self.after = None
        self.reuse = []

    def __call__(self):
        if self.done:
            return
        n = self.array.size
        if self.change == "reallocated":
            # Away to a size the allocator serves elsewhere and back: same length and values
            # in a new buffer; the old one is freed.
            self.array.resize(1 << 15, refcheck=False)
            self.array.resize(n, refcheck=False)
        elif self.change == "grown":
            self.array.resize(2 * n + 1, refcheck=False)  # the new entries are zeros
        elif self.change == "shrunk":
            self.array.resize(n // 2, refcheck=False)
        elif self.change == "2-d":
            self.array.resize((2, n), refcheck=False)
        else:
            raise AssertionError(self.change)
        self.done = True
        self.after = self.array.tobytes()
        # Reuse the freed memory at once, as any later allocation might, filled with a value
        # that shows in every result: a read of the old buffer then fails the case even
        # without a sanitizer (almost surely: NumPy keeps a few freed small buffers of its
        # own, and more allocations than that reach the allocator's freed block).
        self.reuse = [np.full(n, POISON) for _ in range(16)]


CHANGES = ("reallocated", "grown", "shrunk", "2-d")

# The plain value of every parameter that can carry a callback.
PLAIN = {"order": (1, 0, 0), "seasonal_order": (0, 0, 0, 0), "trend_powers": [0], "k_exog": 1, "horizon": 3,
         "enforce_stationarity": True, "enforce_invertibility": True, "concentrate_scale": False,
         "parallel": True, "trend_offset": 1.0, "diffuse_variance": 1e6, "tolerance": 1e-19, "epsilon": 1e-6}

# (callback id, parameter, the argument with `action` run inside its conversion)
CALLBACKS = [
    ("order", "order", lambda act: (Index(After(act, 1)), 0, 0)),
    ("seasonal_order", "seasonal_order", lambda act: (0, 0, 0, Index(After(act, 0)))),
    ("trend_powers-iter", "trend_powers", lambda act: IterSeq([0], iter_result=After(act, iter([0])))),
    ("trend_powers-item", "trend_powers", lambda act: [Index(After(act, 0))]),
    ("k_exog", "k_exog", lambda act: Index(After(act, 1))),
    ("horizon", "horizon", lambda act: Index(After(act, 3))),
] + [(p, p, lambda act, p=p: fake_numpy_bool(After(act, PLAIN[p])))
     for p in ("enforce_stationarity", "enforce_invertibility", "concentrate_scale", "parallel")] + [
    (p, p, lambda act, p=p: Float(After(act, PLAIN[p])))
    for p in ("trend_offset", "diffuse_variance", "tolerance", "epsilon")]


# --- cases --------------------------------------------------------------------------------

def fresh_arrays(name):
    """The array arguments of a small valid call of `name`, each a new array owning its data:
    an AR(1) model with a constant and one regressor whose values are given only when the
    regressors are the array under test (without them the regression term drops out, and a
    resized series is simply a different series)."""
    names = PARAMS[name][0]
    vector = np.array([0.1, 0.2, 0.5, 1.3])  # constant, beta, phi, sigma2
    if name == "concentrated_scale":
        vector = vector[:-1].copy()
    arrays = {v: vector for v in ("params", "u", "p") if v in names}
    if "y" in names:
        arrays["y"] = SERIES.copy()
    arrays["exog"] = np.linspace(-1.0, 1.0, SERIES.size).copy()  # linspace gives a view
    arrays["exog_future"] = np.array([0.1, 0.2, 0.3])
    return arrays


@dataclass(frozen=True)
class Case:
    name: str
    array: str
    callback: str
    change: str
    before: bool = False

    @property
    def id(self):
        return f"{self.name}-{self.array}-{'before-' if self.before else ''}{self.callback}-{self.change}"

    def arguments(self, arrays, action=None):
        """Keyword arguments of the call: the callback in its parameter when `action` is
        given, else plain values everywhere."""
        names = PARAMS[self.name][0]
        kw = {p: v for p, v in PLAIN.items() if p in names}
        kw.update((a, arrays[a]) for a in ("y", "params", "u", "p") if a in names)
        if KIND[self.array] == "opt_vector":
            kw[self.array] = arrays[self.array]
        if action is not None:
            param, make = next((p, make) for c, p, make in CALLBACKS if c == self.callback)
            kw[param] = make(action)
        return kw


def cases(name, before=False):
    """Every array argument of `name` with every callback in a later parameter, each way of
    resizing; with `before`, the callbacks in earlier parameters instead (the array is then
    converted after the resize: the control group, which holds on any sound code)."""
    names = PARAMS[name][0]
    out = []
    for array in (n for n in names if KIND[n].endswith("vector")):
        at = names.index(array)
        params = names[:at] if before else names[at + 1:]
        for callback, param, _ in CALLBACKS:
            if param in params:
                out += [Case(name, array, callback, change, before) for change in CHANGES]
    return out


# --- one case -----------------------------------------------------------------------------

def outcome(name, kw):
    """("result", result type, bits of each part, short text) or ("raised", exception type,
    message); and the exception itself, if one was raised."""
    try:
        result = getattr(kr, name)(**kw)
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return ("raised", type(e).__name__, str(e)), e
    parts = result if isinstance(result, tuple) else (result,)
    bits = [(np.shape(r), np.asarray(r, dtype=np.float64).tobytes().hex()) for r in parts]
    return ("result", type(result).__name__, bits, _short(result)), None


def _short(result):
    with np.printoptions(precision=6, threshold=8, edgeitems=2):
        text = repr(result).replace("\n", "")
    return text if len(text) < 300 else text[:300] + "..."


def describe(out):
    if out[0] == "raised":
        return f"{out[1]}: {out[2]}"
    return f"the result {out[3]}"


def check_case(case):
    """'' when the case holds, else what went wrong."""
    arrays = fresh_arrays(case.name)
    action = Resize(arrays[case.array], case.change)
    untouched = {k: a.tobytes() for k, a in arrays.items() if k != case.array}

    def written():
        changed = [k for k, b in untouched.items() if arrays[k].tobytes() != b]
        if arrays[case.array].tobytes() != action.after:
            changed.append(case.array)
        return f"the call wrote to {', '.join(changed)}" if changed else ""

    hooked, error = outcome(case.name, case.arguments(arrays, action))
    if not action.done:
        return f"the callback did not resize {case.array} (the call: {describe(hooked)})"
    if error is not None and type(error) not in USUAL_ERRORS:
        return f"the call raised {describe(hooked)}"
    wrote = written()
    if wrote:
        return wrote
    plain, _ = outcome(case.name, case.arguments(arrays))
    if hooked[:3] != plain[:3]:
        return f"the call gave {describe(hooked)}; the same call with plain values gives {describe(plain)}"
    return written()


def all_cases():
    return [c for name in FUNCTIONS for c in cases(name) + cases(name, before=True)]


def run_child():
    """Run every case, printing one line for each: its id and its verdict.  The cases run in
    a forked worker; when one crashes the worker (or a sanitizer ends it), that case fails
    and a new worker, forked from this clean process, goes on with the next."""
    todo = all_cases()
    while todo:
        done, crashed, report = run_worker(todo)
        for case_id, verdict in done:
            print(case_id, json.dumps(verdict), flush=True)
        todo = todo[len(done):]
        if crashed:
            print(todo[0].id, json.dumps(report), flush=True)
            todo = todo[1:]


def run_worker(todo):
    """([(case id, verdict)] of the cases the worker finished, whether it died in the next
    one, and how)."""
    read_end, write_end = os.pipe()
    with tempfile.TemporaryFile() as err:
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(read_end)
                os.dup2(err.fileno(), 2)
                faulthandler.enable()
                for case in todo:
                    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
                    line = json.dumps([case.id, check_case(case)]) + "\n"
                    os.write(write_end, line.encode())
                status = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(status)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            done = [tuple(json.loads(line)) for line in pipe]
        _, status = os.waitpid(pid, 0)
        if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
            return done, False, None
        err.seek(0)
        return done, True, f"the process died ({_how_it_ended(status)}) during this case:\n{_excerpt(err.read())}"


def _how_it_ended(status):
    if os.WIFSIGNALED(status):
        return f"killed by signal {os.WTERMSIG(status)}"
    return f"exit status {os.WEXITSTATUS(status)}"


def _excerpt(stderr, lines=40):
    """The report in `stderr`: from its first line on, if a sanitizer or the interpreter
    wrote one, else the end."""
    text = stderr.decode(errors="replace")
    for mark in ("ERROR: AddressSanitizer", "runtime error:", "Fatal Python error", "Traceback"):
        at = text.find(mark)
        if at >= 0:
            return "\n".join(text[text.rfind("\n", 0, at) + 1:].splitlines()[:lines])
    return "\n".join(text.splitlines()[-lines:])


# --- the parent -----------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def verdicts():
    """Case id -> '' or what went wrong, for every case, from one child process."""
    proc = subprocess.run([sys.executable, os.path.abspath(__file__)], capture_output=True, text=True,
                          timeout=CHILD_TIMEOUT, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    found = {}
    for line in proc.stdout.splitlines():
        case_id, _, verdict = line.partition(" ")
        found[case_id] = json.loads(verdict)
    if proc.returncode != 0:  # the child itself failed: every case it did not report fails
        why = f"the child process ended with status {proc.returncode}:\n{proc.stderr[-3000:]}"
        found.update((c.id, why) for c in all_cases() if c.id not in found)
    return found


def _ids(before):
    return [pytest.param(c.id, id=c.id) for name in FUNCTIONS for c in cases(name, before)]


@pytest.mark.parametrize("case_id", _ids(before=False))
def test_callback_resizing_an_earlier_array(case_id):
    verdict = verdicts().get(case_id, "the case did not run")
    if verdict:
        pytest.fail(verdict, pytrace=False)


@pytest.mark.parametrize("case_id", _ids(before=True))
def test_callback_resizing_a_later_array(case_id):
    # The array is converted after the callback has resized it: whatever the module does with
    # the earlier arguments, these hold, and show that the comparison itself is sound.
    verdict = verdicts().get(case_id, "the case did not run")
    if verdict:
        pytest.fail(verdict, pytrace=False)


# (array argument, callback) pairs per function: y and the parameter vector meet every
# callback of the model, the counts, the flags and the reals; the regressors only the later ones.
PAIRS = {"loglike": 11 + 11 + 7, "loglike_u": 29, "loglike_grad": 13 + 13 + 9, "filter_paths": 29,
         "forecast": 12 + 12 + 7 + 7, "loglikeobs": 29, "transform_params": 9, "untransform_params": 9,
         "concentrated_scale": 10 + 10 + 6}


def test_every_array_meets_every_later_callback():
    for name in FUNCTIONS:
        pairs = {(c.array, c.callback) for c in cases(name)}
        assert len(pairs) == PAIRS.get(name, 0), name
    used = {c.callback for name in FUNCTIONS for c in cases(name)}
    assert used == {callback for callback, _, _ in CALLBACKS}


if __name__ == "__main__":
    run_child()
