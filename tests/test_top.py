"""kelvane top, run as a user runs it: its JSON views of real traffic, waiters, locks, pools and
stopped holders, and its live view in a real terminal (tmux)."""

import json
import multiprocessing
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import kelvane
from conftest import join_or_kill
from kelvane_core import KelLock, KelQueue
from test_mutex_wait import hold_the_mutex_and_stop, state_of

RECORD = 4  # the length field in front of every message in the ring


def top_command(*args):
    return [sys.executable, "-m", "kelvane", "top", *args]


def views(*args, timeout=60):
    """The JSON views of `top --json ARGS`, which must end by itself."""
    done = subprocess.run(top_command("--json", "--interval", "0.3", *args), capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def entries(frames, section, name):
    return [entry for frame in frames for entry in frame[section] if entry.get("name", entry.get("pool")) == name]


# --- child bodies (spawned) -----------------------------------------------------------------


def traffic(name, conn, puts, takes, size):
    """Waits for "go", puts `puts` messages and takes `takes`, reports, stays attached."""
    q = KelQueue(name, 1)
    conn.recv()
    for _ in range(puts):
        q.put_bytes(b"m" * size)
        time.sleep(0.002)
    for _ in range(takes):
        assert q.get_bytes_timed(10) is not None
    conn.send("done")
    conn.recv()


def wait_in(name, side, conn):
    """Blocks in a get of an empty queue or a put into a full one."""
    q = KelQueue(name, 1)
    conn.send("waiting")
    if side == "consumer":
        q.get_bytes_timed(60)
    else:
        q.put_bytes_timed(b"w" * 1000, 60)


def hold_lock(name, conn, stop_itself):
    lock = KelLock(name)
    lock.acquire()
    conn.send(os.getpid())
    if stop_itself:
        os.kill(os.getpid(), signal.SIGSTOP)
    conn.recv()


def worker_pid(_):
    return os.getpid()


# --- queues ----------------------------------------------------------------------------------


def test_rates_add_up_to_the_traffic_of_a_child(shm_name, spawn, mp):
    name = shm_name("top")
    KelQueue(name, 1)
    ours, theirs = mp.Pipe()
    child = spawn(traffic, name, theirs, 300, 120, 1000)
    watcher = subprocess.Popen(top_command("--json", "--interval", "0.3", "--prefix", name),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        frames = [json.loads(watcher.stdout.readline())]  # the baseline is behind it: traffic starts now
        ours.send("go")
        assert ours.poll(60), "the child did not finish its traffic"
        ours.recv()
        frames += [json.loads(watcher.stdout.readline()) for _ in range(3)]  # past the traffic's end
        watcher.send_signal(signal.SIGINT)
        _, err = watcher.communicate(timeout=30)
        assert watcher.returncode == 0 and "Traceback" not in err, err
    finally:
        if watcher.poll() is None:
            watcher.kill()
            watcher.communicate()
        ours.send("leave")
    seen = entries(frames, "queues", name)
    assert len(seen) == len(frames)

    def total(key):
        return sum(entry[key] * frame["interval_seconds"] for entry, frame in zip(seen, frames))

    assert (round(total("put_messages_per_second")), round(total("got_messages_per_second"))) == (300, 120)
    assert round(total("put_bytes_per_second")) == 300 * (RECORD + 1000)
    assert round(total("got_bytes_per_second")) == 120 * (RECORD + 1000)
    assert not any(entry["messages_per_second_estimated"] for entry in seen)  # counted, not guessed
    last = seen[-1]
    assert (last["messages_held"], last["messages_held_estimated"]) == (180, False)
    assert last["bytes_held"] == 180 * (RECORD + 1000) and last["capacity"] == 1 << 20
    assert [user["pid"] for user in last["users"]] == [child.pid]
    assert join_or_kill(child) == 0


@pytest.mark.parametrize("side", ["consumer", "producer"])
def test_waiting_consumers_and_producers_are_counted(shm_name, spawn, mp, side):
    name = shm_name("top")
    q = KelQueue(name, 1)
    if side == "producer":
        while q.put_bytes_timed(b"f" * 1000, 0):
            pass
    ours, theirs = mp.Pipe()
    child = spawn(wait_in, name, side, theirs)
    assert ours.poll(30) and ours.recv() == "waiting"
    time.sleep(0.5)  # asleep in its wait; a producer has claimed its room by now

    seen = entries(views("--count", "3", "--prefix", name), "queues", name)
    waiting = "consumers_waiting" if side == "consumer" else "producers_waiting"
    other = "producers_waiting" if side == "consumer" else "consumers_waiting"
    assert max(entry[waiting] for entry in seen) == 1 and max(entry[other] for entry in seen) == 0
    if side == "producer":
        claim = seen[-1]["room_claim"]
        assert claim["pid"] == child.pid and claim["bytes"] == RECORD + 1000 and not claim["lapsed"]
    child.kill()
    join_or_kill(child)


def test_a_queues_block_memory_is_shown_with_who_holds_it(shm_name):
    np = pytest.importorskip("numpy")
    name = shm_name("top")
    q = kelvane.Queue(name, capacity=4 << 20)
    try:
        q.put(np.ones(1 << 17), timeout=5)
        q.put(np.ones(1 << 17), timeout=5)
        held = q.get(timeout=5)  # a view of its block: held by this process
        (entry,) = entries(views("--once", "--prefix", name), "queues", name)
        blocks = entry["blocks"]
        assert (blocks["blocks"], blocks["in_use"], blocks["held_by"]) == (2, 2, {str(os.getpid()): 1})
        assert blocks["bytes"] >= 2 * held.nbytes
        del held
    finally:
        q.unlink()
        q.close()


# --- locks and stopped holders ---------------------------------------------------------------


@pytest.mark.parametrize("what, stopped", [("lock", False), ("lock", True), ("queue", True)],
                         ids=["lock-held", "lock-held-by-stopped", "queue-mutex-held-by-stopped"])
def test_holders_are_named_and_a_stopped_one_holds_nothing_up(shm_name, spawn, mp, what, stopped):
    name = shm_name("top")
    ours, theirs = mp.Pipe()
    if what == "lock":
        KelLock(name)
        child = spawn(hold_lock, name, theirs, stopped)
        assert ours.poll(30), "the holder did not start"
        ours.recv()
    else:
        KelQueue(name, 1).put_bytes(b"held")
        child = spawn(hold_the_mutex_and_stop, name, theirs)
        assert ours.poll(30), "the holder did not start"
        ours.recv()
    deadline = time.monotonic() + 10
    while stopped and state_of(child.pid) != "T":
        assert time.monotonic() < deadline, "the holder did not stop"
        time.sleep(0.01)
    try:
        started = time.monotonic()
        frames = views("--count", "3", "--prefix", name, timeout=30)
        assert time.monotonic() - started < 20  # about three intervals, whoever holds what
        if what == "lock":
            seen = entries(frames, "locks", name)
            holders = [entry["holder"] for entry in seen]
            assert all(holder["pid"] == child.pid and holder["tid"] == child.pid for holder in holders)
            assert all(holder["state"] == ("T" if stopped else "S") for holder in holders)
            held = [entry["held_seen_seconds"] for entry in seen]
            assert held == sorted(held) and held[-1] >= 0.5  # as seen since the first look
        else:
            seen = entries(frames, "queues", name)
            assert all(entry["mutex_holder"]["pid"] == child.pid for entry in seen)
            assert (seen[-1]["messages_held"], seen[-1]["bytes_held"]) == (1, RECORD + 4)
            text = subprocess.run(top_command("--once", "--interval", "0.3", "--prefix", name),
                                  capture_output=True, text=True, timeout=30)
            assert f"its mutex is held by {child.pid} (python) stopped" in text.stdout
    finally:
        os.kill(child.pid, signal.SIGCONT)
        if what == "lock":
            ours.send("release")
    assert join_or_kill(child) == 0


def test_a_lock_whose_holder_died_holding_it_is_free_and_marked(shm_name, spawn, mp):
    name = shm_name("top")
    KelLock(name)
    ours, theirs = mp.Pipe()
    child = spawn(hold_lock, name, theirs, False)
    assert ours.poll(30), "the holder did not start"
    ours.recv()
    child.kill()
    join_or_kill(child)
    (entry,) = entries(views("--once", "--prefix", name), "locks", name)
    assert (entry["holder"], entry["owner_died"], entry["users"]) == (None, True, [])  # the next acquirer recovers it


# --- pools -----------------------------------------------------------------------------------


@pytest.mark.parametrize("method", ["spawn", "forkserver"])  # forkserver: the workers are its children
def test_a_pool_shows_its_owner_and_workers(method):
    with kelvane.Pool(2, mp_context=multiprocessing.get_context(method), capacity=1 << 20) as pool:
        workers = set()
        deadline = time.monotonic() + 30
        while len(workers) < 2 and time.monotonic() < deadline:
            workers |= set(pool.map(worker_pid, range(8)))
        identifier = pool.names[0].removeprefix("kp_task_")
        seen = entries(views("--count", "3", "--prefix", "kp_"), "pools", identifier)
    assert len(seen) == 3
    assert all((p["task_queue"], p["result_queue"]) == pool.names for p in seen)
    assert all(p["owner"]["pid"] == os.getpid() for p in seen)
    assert all({worker["pid"] for worker in p["workers"]} == workers for p in seen)
    assert max(p["workers_waiting"] for p in seen) == 2  # both idle, asleep waiting for a task


# --- the live view ---------------------------------------------------------------------------


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
@pytest.mark.parametrize("key", ["q", "C-c"])
def test_the_live_view_redraws_in_a_terminal_and_quits(shm_name, key):
    name = shm_name("top")
    KelQueue(name, 1).put_bytes(b"x" * 96)
    KelLock(name + "_lock")
    tmux = ["tmux", "-L", f"kt_top_{os.getpid()}", "-f", "/dev/null"]
    command = " ".join(top_command("--interval", "0.3", "--prefix", name)) + "; sleep 30"
    subprocess.run([*tmux, "new-session", "-d", "-x", "120", "-y", "30", command], check=True, timeout=30)
    try:
        screen, deadline = "", time.monotonic() + 30
        while "rates over" not in screen and time.monotonic() < deadline:
            time.sleep(0.2)
            screen = subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True, timeout=30).stdout
        lines = screen.splitlines()
        assert lines[0].startswith("kelvane top") and "1 queue, 1 lock, 0 pools" in lines[0], screen
        assert any(line.startswith(name + " ") and " 100B " in line for line in lines), screen
        assert any(line.startswith(name + "_lock ") and " free " in line for line in lines), screen
        subprocess.run([*tmux, "send-keys", key], check=True, timeout=30)
        time.sleep(1)
        after = subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True, timeout=30).stdout
        assert "kelvane top" not in after and "Traceback" not in after  # left the alternate screen, cleanly
    finally:
        subprocess.run([*tmux, "kill-server"], capture_output=True, timeout=30)
