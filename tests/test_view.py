"""Zero-copy receive: recv_view hands out the oldest message in place, commit_read
consumes it."""

import gc
import random
import struct
import threading
import time
import zlib

import pytest

from conftest import (
    QUEUE_HEADER, QueueHeader, advance_to, call_with_timeout, join_or_kill, mapped_bytes, positions, shm_path,
)
from kelvane_core import KelQueue

HEADER = QUEUE_HEADER
D = 1 << 20


def header_tail(name):
    """The header past the mutex: wait slots, positions, capacity, ready, reserved."""
    return QueueHeader(name).raw[128:]


# --- child process bodies ----------------------------------------------------------------


def _put_and_flag(name, payload, done):
    KelQueue(name, 1).put_bytes(payload)
    done.set()


def _producer(name, pid, count, seed):
    rng = random.Random(seed)
    q = KelQueue(name, 1)
    for seq in range(count):
        payload = rng.randbytes(rng.choice((0, 7, 5000, 180_000)))
        q.put_bytes(struct.pack("<III", pid, seq, zlib.crc32(payload)) + payload)


def _view_waits_for_a_thread(name):
    """Exits 0 when a producer thread of this process could deliver while the main
    thread waited in recv_view."""
    q = KelQueue(name, 1)
    producer = threading.Thread(target=lambda: (time.sleep(0.3), q.put_bytes(b"from my thread")))
    producer.start()
    view, next_pos = q.recv_view()
    ok = bytes(view) == b"from my thread" and next_pos == 4 + 14
    del view
    q.commit_read(next_pos)
    producer.join(5)
    raise SystemExit(0 if ok and not producer.is_alive() else 1)


# --- tests -------------------------------------------------------------------------------


@pytest.mark.parametrize("offset", [0, 1000, D - 4, D - 2, D - 60], ids=lambda o: f"at{o}")
@pytest.mark.parametrize("size", [0, 1, 100, 70_000, D - 4], ids=lambda s: f"len{s}")
def test_view_is_the_payload_in_place(shm_name, offset, size):
    name = shm_name()
    q = KelQueue(name, 1)
    read = advance_to(q, name, offset)
    payload = random.Random(size).randbytes(size)
    q.put_bytes(payload)
    view, next_pos = q.recv_view()
    assert isinstance(view, memoryview)
    assert view.readonly and view.contiguous and view.format == "B" and view.ndim == 1
    assert view.nbytes == size and bytes(view) == payload
    assert next_pos == read + 4 + size
    again, next_again = q.recv_view()  # not consumed: the same message again
    assert bytes(again) == payload and next_again == next_pos
    assert positions(name) == (read, next_pos)
    q.commit_read(next_pos)
    assert positions(name) == (next_pos, next_pos)


def test_views_follow_the_queue_order(shm_name):
    name = shm_name()
    q = KelQueue(name, 1)
    messages = [b"", b"a", b"bc" * 1000, b""]
    for m in messages:
        q.put_bytes(m)
    for m in messages:
        view, next_pos = q.recv_view()
        assert bytes(view) == m
        q.commit_read(next_pos=next_pos)
    assert positions(name) == (sum(4 + len(m) for m in messages),) * 2


def test_view_refuses_writes(shm_name):
    q = KelQueue(shm_name(), 1)
    q.put_bytes(b"frozen")
    view, next_pos = q.recv_view()
    with pytest.raises(TypeError):
        view[0] = 0
    with pytest.raises(TypeError):
        view[:] = b"thawed"
    assert bytes(view) == b"frozen"
    q.commit_read(next_pos)


def test_view_follows_writes_through_the_object(shm_name):
    """The view is the shared bytes themselves, not a copy."""
    name = shm_name()
    q = KelQueue(name, 1)
    advance_to(q, name, D - 3)
    q.put_bytes(b"abcdef")  # payload at D+1 .. D+6, in the object at data offsets 1 .. 6
    view, _ = q.recv_view()
    with open(shm_path(name), "r+b") as f:
        f.seek(HEADER + 1)
        f.write(b"XYZ")
    assert bytes(view) == b"XYZdef"


def test_producer_waits_for_the_commit(shm_name, spawn, mp):
    name = shm_name()
    q = KelQueue(name, 1)
    q.put_bytes(b"v" * 700_000)
    view, next_pos = q.recv_view()
    done = mp.Event()
    producer = spawn(_put_and_flag, name, b"p" * 500_000, done)
    assert not done.wait(1.0)  # the viewed bytes are not free space
    assert positions(name) == (0, 700_004)
    assert bytes(view[:3]) == b"vvv"
    q.commit_read(next_pos)
    assert done.wait(10)
    assert join_or_kill(producer) == 0
    assert call_with_timeout(q.get_bytes) == b"p" * 500_000


@pytest.mark.parametrize(
    "where",
    ["behind", "zero", "inside-length", "inside-payload", "one-past", "second-record", "past-write", "huge"],
)
def test_commit_refuses_positions_that_are_not_the_oldest_end(shm_name, where):
    name = shm_name()
    q = KelQueue(name, 1)
    advance_to(q, name, D - 3)
    q.put_bytes(b"first")
    q.put_bytes(b"second")
    view, next_pos = q.recv_view()
    read, write = positions(name)
    bad = {
        "behind": read - 1,
        "zero": 0,
        "inside-length": read + 2,
        "inside-payload": next_pos - 1,
        "one-past": next_pos + 1,
        "second-record": write,
        "past-write": write + 4,
        "huge": 2**64 - 1,
    }[where]
    before = header_tail(name)
    with pytest.raises(RuntimeError) as e:
        q.commit_read(bad)
    assert str(e.value).startswith("Queue commit_read error: Invalid position: ")
    assert header_tail(name) == before
    assert bytes(view) == b"first"
    q.commit_read(next_pos)
    assert q.get_bytes() == b"second"


def test_commit_on_an_empty_queue(shm_name):
    name = shm_name()
    q = KelQueue(name, 1)
    q.put_bytes(b"x")
    q.get_bytes()
    q.commit_read(5)  # the current read position: nothing to do
    for bad in (0, 4, 9):
        with pytest.raises(RuntimeError) as e:
            q.commit_read(bad)
        assert str(e.value).startswith("Queue commit_read error: Invalid position: ")
    assert positions(name) == (5, 5)


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError),
                                      ("9", TypeError), (None, TypeError)])
def test_commit_argument_types(shm_name, bad, exc):
    name = shm_name()
    q = KelQueue(name, 1)
    q.put_bytes(b"kept")
    with pytest.raises(exc):
        q.commit_read(bad)
    with pytest.raises(TypeError):
        q.commit_read()
    with pytest.raises(TypeError):
        q.recv_view(1)
    assert q.get_bytes() == b"kept"


def test_commit_after_another_consumer_took_the_message(shm_name):
    name = shm_name()
    viewer = KelQueue(name, 1)
    other = KelQueue(name, 1)
    viewer.put_bytes(b"contested")
    viewer.put_bytes(b"next")
    view, next_pos = viewer.recv_view()
    assert other.get_bytes() == b"contested"  # a get takes the viewed message
    viewer.commit_read(next_pos)  # now the current read position: no-op
    assert positions(name) == (next_pos, next_pos + 8)
    assert other.get_bytes() == b"next"


def test_view_keeps_the_mapping_after_the_queue_is_gone(shm_name):
    name = shm_name()
    q = KelQueue(name, 1)
    advance_to(q, name, D - 10)
    payload = bytes(range(200))
    q.put_bytes(payload)
    view, _ = q.recv_view()
    del q
    gc.collect()
    KelQueue.unlink(name)
    assert bytes(view) == payload
    assert mapped_bytes(name) == HEADER + 2 * D
    del view
    gc.collect()
    assert mapped_bytes(name) == 0


def test_view_wait_lets_a_producer_thread_deliver(shm_name, spawn):
    # In a child: if recv_view kept the interpreter lock while waiting, the child would hang.
    child = spawn(_view_waits_for_a_thread, shm_name())
    assert join_or_kill(child, 20) == 0


def test_one_view_consumer_many_producer_processes(shm_name, spawn):
    name = shm_name()
    q = KelQueue(name, 1)
    counts = [150, 120]
    producers = [spawn(_producer, name, pid, n, 50 + pid) for pid, n in enumerate(counts)]
    expected = [0] * len(counts)
    for _ in range(sum(counts)):
        view, next_pos = call_with_timeout(q.recv_view, timeout=30)
        pid, seq, crc = struct.unpack_from("<III", view)
        assert seq == expected[pid]
        assert zlib.crc32(view[12:]) == crc
        expected[pid] += 1
        del view
        q.commit_read(next_pos)
    for p in producers:
        assert join_or_kill(p) == 0
    read, write = positions(name)
    assert read == write > D
