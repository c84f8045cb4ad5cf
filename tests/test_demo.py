"""The demo, run as a user runs it: to the end, and interrupted with Ctrl-C."""

import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from kelvane import _side

SHM_DIR = "/dev/shm"


def start_demo(tmp_path, *args):
    # Own session, so Ctrl-C can go to the whole process group as a terminal sends it;
    # run outside the source tree so the installed package is the one tested.
    return subprocess.Popen([sys.executable, "-m", "kelvane", "demo", *args], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def finish(proc, timeout):
    try:
        return proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"the demo did not end within {timeout} s\n{out}\n{err}")


def names_left(proc, out):
    """The demo's own names still in /dev/shm: its pool names (printed), every
    kelvane_demo_<pid>_* name and the side segments of its queues."""
    pool_names = re.findall(r"kp_(?:task|res)_[0-9a-f]{8}", out)
    own = [n for n in os.listdir(SHM_DIR) if n.startswith(f"kelvane_demo_{proc.pid}_")]
    sides = [side for act in ("queue", "arrays", "async") for side in _side.of_queue(f"kelvane_demo_{proc.pid}_{act}")]
    return [n for n in pool_names if os.path.exists(os.path.join(SHM_DIR, n))] + own + sides


def assert_group_gone(pgid, timeout=10):
    """Every worker process of the demo has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    pytest.fail(f"processes of the demo's group {pgid} still run after {timeout} s")


def test_quick_run_checks_everything_and_cleans_up(tmp_path):
    proc = start_demo(tmp_path, "--quick")
    out, err = finish(proc, timeout=180)
    assert proc.returncode == 0, f"{out}\n{err}"
    for expected in ("== 1. Pool", "== 2. Queue", "== 3. Lock", "== 4. numpy arrays", "== 5. asyncio",
                     "multiprocessing.Pool, chunksize=1", "multiprocessing.Pool, chunksize=64",
                     "answered exactly once", "every message arrived once, in order, whole",
                     "LockRecovered('Lock recovered from dead process')",
                     "no update was lost or doubled",
                     "both delivered every array once, in order", "the loop stayed free while it awaited",
                     "every shared-memory name this run created has been removed"):
        assert expected in out, f"{expected!r} missing from:\n{out}"
    assert len(re.findall(r"kelvane.Pool: \d+\.\d+x", out)) == 2
    assert len(re.findall(r"arrays/s \d+\.\dx", out)) == 2  # kelvane.Queue against multiprocessing.Queue
    assert names_left(proc, out) == []
    assert_group_gone(proc.pid)


@pytest.mark.parametrize("act, seconds, running, then", [
    ("pool", 30, "kelvane.Pool(", 0.5),  # the pool busy with chunks
    ("queue", 30, "KelQueue(", 0.5),     # producer and consumer at work
    ("lock", 30, "round 2:", 0.1),       # a worker holds the lock, the others wait for it
    ("arrays", 4, "multiprocessing.Queue(maxsize=8):", 0.05),  # kelvane.Queue's arrays in flight (a fraction of a second)
    ("async", 30, "kelvane.AsyncQueue(", 0.5),  # a coroutine awaits what a producer puts
])
def test_ctrl_c_stops_workers_and_removes_names(tmp_path, act, seconds, running, then):
    proc = start_demo(tmp_path, "--act", act, "--seconds", str(seconds))
    lines = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line) for line in proc.stdout], daemon=True)
    reader.start()
    seen, deadline = [], time.monotonic() + 60
    while not any(running in line for line in seen):
        try:
            seen.append(lines.get(timeout=max(0.0, deadline - time.monotonic())))
        except queue.Empty:
            os.killpg(proc.pid, signal.SIGKILL)
            pytest.fail(f"the demo never printed {running!r}:\n{''.join(seen)}")
    time.sleep(then)
    os.killpg(proc.pid, signal.SIGINT)
    _, err = finish(proc, timeout=30)
    reader.join(10)
    out = "".join(seen + list(lines.queue))
    assert proc.returncode == 130, f"{out}\n{err}"
    assert "interrupted: workers stopped" in err
    assert "Traceback" not in err
    assert names_left(proc, out) == []
    assert_group_gone(proc.pid)
