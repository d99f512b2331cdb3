"""The processes below a process, from /proc (Linux): for the tests that check that
worker processes end."""

import contextlib
import os
import signal
import time
from pathlib import Path

HAS_PROC = Path("/proc").is_dir()


def descendants(pid):
    """Every live process below `pid` (from /proc)."""
    parents = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[0] != "Z":
                parents[int(entry.name)] = int(fields[1])
    found, frontier = set(), {pid}
    while frontier:
        frontier = {p for p, pp in parents.items() if pp in frontier} - found
        found |= frontier
    return found


def alive(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


def gone_within(workers, seconds):
    """Whether every worker has ended within `seconds`; kills any that has not."""
    deadline = time.monotonic() + seconds
    while any(alive(p) for p in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    left = [p for p in workers if alive(p)]
    for pid in left:
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    return not left
