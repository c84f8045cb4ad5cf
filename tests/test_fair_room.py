"""A producer that waits for room gets its turn while others keep putting.

Without help, a large message never finds room in a ring that a stream of small
ones refills as fast as a consumer drains it. A producer that has waited past a
short grace claims the room it needs in the queue's header (bytes 264..287, in the
wait slot of `not_full`); the others leave that much room free until it is served.
A claimant that is killed or stopped holds nobody back for long."""

import asyncio
import os
import signal
import struct
import time

import pytest

import kelvane
from conftest import call_with_timeout, join_or_kill, shm_path
from kelvane_core import KelQueue

MIB = 1 << 20
BIG = 600_000
SMALL = 1000


def small_stream(name, stop):
    q = KelQueue(name, 1)
    message = b"s" * SMALL
    while not stop.is_set():
        q.put_bytes_timed(message, 0.1)


def slow_consumer(name, stop, big_seen):
    """Takes messages one by one, with a little work for each, and notes the large ones."""
    q = KelQueue(name, 1)
    while not stop.is_set():
        message = q.get_bytes_timed(0.1)
        if message is not None and len(message) > SMALL:
            big_seen.value += 1
            assert message == bytes(range(200)) * (BIG // 200)
        until = time.perf_counter() + 20e-6
        while time.perf_counter() < until:
            pass


def put_and_report(name, size, conn):
    q = KelQueue(name, 1)
    conn.send(os.getpid())
    conn.send(q.put_bytes_timed(b"B" * size, None))


def claim(name):
    """(need, expiry, thread) of the claim on room, as the header holds it."""
    with open(shm_path(name), "rb") as f:
        f.seek(264)
        return struct.unpack("<QQI", f.read(20))


def mutex_owner(name):
    """The thread id glibc records in the queue's mutex (0 when free)."""
    with open(shm_path(name), "rb") as f:
        f.seek(8)
        return struct.unpack("<i", f.read(4))[0]


def stop_outside_the_mutex(pid, name):
    """SIGSTOP a process at an instant it does not hold the queue's mutex.

    A holder stopped inside the mutex stalls every caller until it resumes (one
    mutex), which is a different case from a stopped claimant."""
    for _ in range(1000):
        os.kill(pid, signal.SIGSTOP)
        deadline = time.monotonic() + 5
        while open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "T":
            assert time.monotonic() < deadline, "the process never stopped"
            time.sleep(0.001)
        if mutex_owner(name) != pid:
            return
        os.kill(pid, signal.SIGCONT)
        time.sleep(0.002)
    raise AssertionError("the process always held the mutex")


def claim_bytes(name):
    with open(shm_path(name), "rb") as f:
        f.seek(264)
        return f.read(384 - 264)


@pytest.mark.parametrize("producers", [1, 2])
@pytest.mark.parametrize("api", ["KelQueue.put_bytes_timed", "Queue.put", "KelQueue.put_bytes", "AsyncQueue.put",
                                 "AsyncQueue.put_many"])
def test_a_large_put_gets_its_turn_while_small_ones_keep_coming(api, producers, shm_name, spawn, mp):
    name = shm_name("fair")
    q = KelQueue(name, 1)
    stop = mp.Event()
    big_seen = mp.Value("i", 0)
    children = [spawn(small_stream, name, stop) for _ in range(producers)] + [spawn(slow_consumer, name, stop, big_seen)]
    try:
        deadline = time.monotonic() + 20
        while q.stats()[0] < MIB // 2:  # the small ones keep the ring busy
            assert time.monotonic() < deadline, "the stream never got going"
            time.sleep(0.01)
        big = bytes(range(200)) * (BIG // 200)
        put = {
            "KelQueue.put_bytes_timed": lambda: q.put_bytes_timed(big, 10),
            "Queue.put": lambda: kelvane.Queue.attach(name, serializer=None).put(big, timeout=10) or True,
            "KelQueue.put_bytes": lambda: q.put_bytes(big) or True,
            # The loop's thread never waits: the awaiting put claims room with tries alone.
            "AsyncQueue.put": lambda: asyncio.run(asyncio.wait_for(
                kelvane.AsyncQueue.attach(name, serializer=None).put(big), 10)) or True,
            "AsyncQueue.put_many": lambda: asyncio.run(asyncio.wait_for(
                kelvane.AsyncQueue.attach(name, serializer=None).put_many([big[:300_000], big[300_000:]]), 10)) or True,
        }[api]
        started = time.monotonic()
        assert call_with_timeout(put, timeout=15) is True
        # About the time to drain the ring once or twice, whatever the load here.
        assert time.monotonic() - started < 5
        deadline = time.monotonic() + 10
        while big_seen.value == 0:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        assert claim_bytes(name) == bytes(120)  # served: no claim left behind
    finally:
        stop.set()
        for child in children:
            join_or_kill(child)


@pytest.mark.parametrize("fate", ["killed", "stopped"])
def test_a_claimant_that_is_killed_or_stopped_holds_the_others_back_only_briefly(fate, shm_name, spawn, mp):
    name = shm_name("fair")
    q = KelQueue(name, 1)
    q.put_bytes(b"f" * (q.capacity - 300_000))  # 300 kB of room: not enough for the claimant
    parent, child = mp.Pipe()
    claimant = spawn(put_and_report, name, BIG, child)
    assert parent.poll(30)
    pid = parent.recv()
    deadline = time.monotonic() + 10
    while claim(name)[0] == 0:
        assert time.monotonic() < deadline, "the waiting producer never claimed room"
        time.sleep(0.01)
    need, _, tid = claim(name)
    assert (need, tid) == (BIG + 4, pid)
    # While it waits, the room it claimed is left free: a small put finds none.
    assert q.put_bytes_timed(b"s" * SMALL, 0.3) is False
    if fate == "killed":
        os.kill(pid, signal.SIGKILL)
    else:
        stop_outside_the_mutex(pid, name)
    try:
        started = time.monotonic()
        assert call_with_timeout(q.put_bytes_timed, b"s" * SMALL, 5) is True
        assert time.monotonic() - started < 1.5
        assert claim_bytes(name) == bytes(120)
    finally:
        if fate == "stopped":
            os.kill(pid, signal.SIGCONT)
    if fate == "stopped":
        # Resumed, it claims again, and gets its room once there is some.
        q.get_bytes()
        assert parent.poll(15) and parent.recv() is True
        assert join_or_kill(claimant) == 0
        assert claim_bytes(name) == bytes(120)
    else:
        claimant.join(10)


@pytest.mark.parametrize("how", ["timeout", "ctrl-c"])
def test_a_claimant_that_gives_up_withdraws_its_claim(how, shm_name):
    name = shm_name("fair")
    q = KelQueue(name, 1)
    q.put_bytes(b"f" * (q.capacity - 300_000))
    if how == "timeout":
        assert call_with_timeout(q.put_bytes_timed, b"B" * BIG, 0.3) is False
    else:
        import threading

        def interrupt():
            time.sleep(0.3)
            signal.raise_signal(signal.SIGINT)  # handled on the main thread, which waits in the put

        threading.Thread(target=interrupt, daemon=True).start()
        with pytest.raises(KeyboardInterrupt):
            q.put_bytes_timed(b"B" * BIG, 10)
    assert claim_bytes(name) == bytes(120)
    started = time.monotonic()
    assert q.put_bytes_timed(b"s" * SMALL, 0) is True
    assert time.monotonic() - started < 0.1


def test_a_claim_left_by_a_dead_claimant_is_not_damage(shm_name, spawn, mp):
    """`kelvane ls` reads the header as a file: a claim still standing there is part of
    a sound queue, and the next producer that needs the room clears it."""
    import json
    import subprocess
    import sys

    name = shm_name("fair")
    q = KelQueue(name, 1)
    q.put_bytes(b"f" * (q.capacity - 300_000))
    parent, child = mp.Pipe()
    claimant = spawn(put_and_report, name, BIG, child)
    assert parent.poll(30)
    pid = parent.recv()
    deadline = time.monotonic() + 10
    while claim(name)[0] == 0:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    claimant.join(10)
    assert claim(name)[0] == BIG + 4
    listed = subprocess.run([sys.executable, "-m", "kelvane", "ls", "--json", "--prefix", name],
                            capture_output=True, text=True, timeout=30)
    (entry,) = json.loads(listed.stdout)
    assert entry["damaged"] is None and entry["messages"] == 1
    assert q.put_bytes_timed(b"s" * SMALL, 5) is True
    assert claim_bytes(name) == bytes(120)
