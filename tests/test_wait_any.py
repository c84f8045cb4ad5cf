"""Calls that never wait (for an event loop's thread), and one thread waiting for many
queues at once (KelQueue.wait_any): what kelvane.AsyncQueue is built on."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import QueueHeader, call_with_timeout, join_or_kill
from kelvane_core import KelQueue
from test_mutex_wait import TID_MASK, resume, stopped_holder  # noqa: F401 (a fixture)

MIB = 1 << 20
NOT_EMPTY, NOT_FULL = 128, 256


@pytest.fixture
def kq(shm_name):
    name = shm_name("q")
    return KelQueue(name, 1), name


def put_after(name, delay, payloads):
    time.sleep(delay)
    q = KelQueue.attach(name)
    for p in payloads:
        q.put_bytes(p)


def get_after(name, delay, count):
    time.sleep(delay)
    q = KelQueue.attach(name)
    for _ in range(count):
        q.get_bytes()


# --- never waiting ----------------------------------------------------------------------------


def test_tries_answer_done_no_room_or_empty(kq):
    kq, _ = kq
    assert kq.try_get_many(5) == []
    assert kq.try_put(b"a") is True
    assert kq.try_put_many([b"b", bytearray(b"cc"), memoryview(b"ddd")]) is True
    assert kq.try_put_many([]) is True
    assert kq.stats_nowait() == kq.stats() == (4 * 4 + 1 + 1 + 2 + 3, 4)
    assert kq.try_get_many(2) == [b"a", b"b"]
    assert kq.try_get_many(10) == [b"cc", b"ddd"]
    big = b"x" * (kq.capacity - 4)
    assert kq.try_put(big) is True
    assert kq.try_put(b"") is False
    assert kq.try_put_many([b"1", b"2"]) is False
    assert kq.stats_nowait() == (kq.capacity, 1)
    assert kq.try_get_many(1) == [big]


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda q: q.try_put("text"), TypeError, "try_put() argument 'data' must be a bytes-like object, not str"),
        (lambda q: q.try_put_many([b"a", 1]), TypeError, "must hold bytes-like objects, not int at index 1"),
        (lambda q: q.try_get_many(0), ValueError, "try_get_many() argument 'max_items' must be at least 1"),
        (lambda q: q.try_get_many(-1), OverflowError, ""),
        (lambda q: q.try_put(b"x" * (MIB - 3)), RuntimeError, "Queue put error: Buffer too small"),
        (lambda q: KelQueue.wait_any([q], bytearray(4), 0, 0), TypeError, "must hold (KelQueue, room) pairs"),
        (lambda q: KelQueue.wait_any([(q, MIB + 1)], bytearray(4), 0, 0), ValueError, "never has room for"),
        (lambda q: KelQueue.wait_any([], bytearray(2), 0, 0), ValueError, "at least 4 bytes"),
        (lambda q: KelQueue.wait_any([], b"1234", 0, 0), BufferError, ""),
        (lambda q: KelQueue.wait_any([], bytearray(4), 1 << 32, 0), OverflowError, "less than 2**32"),
        (lambda q: KelQueue.wait_any([], bytearray(4), 0, -1), ValueError, "non-negative"),
        (lambda q: KelQueue.interrupt_wait(b"1234"), BufferError, ""),
    ],
)
def test_bad_arguments_are_refused_and_change_nothing(kq, call, error, text):
    kq, name = kq
    with pytest.raises(error) as info:
        call(kq)
    assert text in str(info.value)
    assert kq.stats() == (0, 0)
    assert QueueHeader(name).sleepers(NOT_EMPTY) == QueueHeader(name).sleepers(NOT_FULL) == 0


def test_tries_say_busy_while_another_process_holds_the_mutex_and_counting_does_not(kq, stopped_holder):  # noqa: F811
    kq, name = kq
    kq.put_many([b"one", b"two"], 0)
    holder = stopped_holder(name)
    started = time.monotonic()
    assert kq.try_get_many(5) is None
    assert kq.try_put(b"x") is None
    assert kq.try_put_many([b"x", b"y"]) is None
    # Nobody consumes meanwhile: the records between the positions stay as they are.
    assert kq.stats_nowait() == (2 * 4 + 6, 2)
    assert time.monotonic() - started < 0.5
    resume(holder)
    assert kq.try_get_many(5) == [b"one", b"two"]


# --- waiting for many queues -------------------------------------------------------------------


def test_a_message_from_another_process_ends_the_wait_with_its_index(shm_name, spawn):
    queues = [KelQueue(shm_name("q"), 1) for _ in range(3)]
    word = bytearray(4)
    target = shm_name("q")
    queues.append(KelQueue(target, 1))
    proc = spawn(put_after, target, 0.3, [b"hello"])
    started = time.monotonic()
    ready = call_with_timeout(KelQueue.wait_any, [(q, 0) for q in queues], word, 0, 10)
    assert ready == [3]
    assert 0.2 < time.monotonic() - started < 5
    assert join_or_kill(proc) == 0
    assert queues[3].try_get_many(1) == [b"hello"]
    # Nobody is counted among the sleepers once the call has returned.
    assert QueueHeader(target).sleepers(NOT_EMPTY) == 0


def test_room_freed_by_another_process_ends_a_wait_for_room(kq, spawn):
    kq, name = kq
    kq.put_bytes(b"f" * (kq.capacity - 4 - 100))
    word = bytearray(4)
    assert KelQueue.wait_any([(kq, 100)], word, 0, 0) == [0]  # 100 bytes of room now
    assert KelQueue.wait_any([(kq, 101)], word, 0, 0.05) == []
    proc = spawn(get_after, name, 0.3, 1)
    started = time.monotonic()
    assert call_with_timeout(KelQueue.wait_any, [(kq, 1000)], word, 0, 10) == [0]
    assert time.monotonic() - started > 0.2
    assert join_or_kill(proc) == 0
    assert QueueHeader(name).sleepers(NOT_FULL) == 0


def test_interrupt_wait_ends_the_wait_of_another_thread(kq):
    kq, name = kq
    word = bytearray(4)
    box = {}

    def wait():
        box["ready"] = KelQueue.wait_any([(kq, 0)], word, 0, 20)

    t = threading.Thread(target=wait)
    started = time.monotonic()
    t.start()
    deadline = time.monotonic() + 5  # a loaded machine may start the thread late
    while QueueHeader(name).sleepers(NOT_EMPTY) == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert QueueHeader(name).sleepers(NOT_EMPTY) == 1  # counted while it sleeps
    KelQueue.interrupt_wait(word)
    t.join(10)
    assert not t.is_alive() and box["ready"] == []
    assert time.monotonic() - started < 5
    assert int.from_bytes(word, "little") == 1
    assert QueueHeader(name).sleepers(NOT_EMPTY) == 0
    # A word that already moved past `seen` does not wait at all.
    assert KelQueue.wait_any([(kq, 0)], word, 0, 20) == []


@pytest.mark.parametrize("timeout", [0, 0.2])
def test_a_wait_with_nothing_coming_ends_at_its_timeout(kq, timeout):
    kq, name = kq
    started = time.monotonic()
    assert KelQueue.wait_any([(kq, 0)], bytearray(4), 0, timeout) == []
    assert timeout <= time.monotonic() - started < timeout + 1
    assert QueueHeader(name).sleepers(NOT_EMPTY) == 0


MANY = textwrap.dedent(
    r"""
    import sys, threading, time
    from kelvane_core import KelQueue
    names = sys.argv[1:]
    queues = [KelQueue(n, 1) for n in names]
    word = bytearray(4)
    pending = set(range(len(queues)))
    seen = []
    def feed():
        for i in reversed(range(len(queues))):   # the last ones lie beyond what one futex_waitv takes
            time.sleep(0.002)
            KelQueue.attach(names[i]).put_bytes(b"m")
    t = threading.Thread(target=feed)
    t.start()
    deadline = time.monotonic() + 30
    while pending and time.monotonic() < deadline:
        for i in KelQueue.wait_any([(queues[i], 0) for i in sorted(pending)], word, 0, 5):
            index = sorted(pending)[i]
            seen.append(index)
        for index in seen:
            pending.discard(index)
    t.join()
    assert not pending, sorted(pending)
    for q in queues:
        assert q.try_get_many(2) == [b"m"]
    print("ok", len(set(seen)))
    """
)


@pytest.mark.parametrize("method", ["futex_waitv", "polling"])
def test_one_thread_waits_for_more_queues_than_one_futex_call_takes(shm_name, method):
    names = [shm_name("m") for _ in range(150)]
    env = dict(os.environ)
    env.pop("KELVANE_WAIT_POLL", None)
    if method == "polling":
        env["KELVANE_WAIT_POLL"] = "1"
    done = subprocess.run([sys.executable, "-c", MANY, *names], env=env, capture_output=True, text=True,
                          timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok", "150"]
    for name in names:
        assert QueueHeader(name).sleepers(NOT_EMPTY) == 0


def test_a_busy_mutex_is_looked_at_again_and_the_wait_goes_on_after_it(kq, stopped_holder):  # noqa: F811
    kq, name = kq
    holder = stopped_holder(name)
    started, cpu = time.monotonic(), time.process_time()
    assert KelQueue.wait_any([(kq, 0)], bytearray(4), 0, 0.5) == []
    assert 0.5 <= time.monotonic() - started < 2
    assert time.process_time() - cpu < 0.25  # it sleeps between looks
    word = bytearray(4)
    box = {}
    t = threading.Thread(target=lambda: box.setdefault("ready", KelQueue.wait_any([(kq, 0)], word, 0, 20)))
    t.start()
    time.sleep(0.2)
    resume(holder)  # unlocks; nothing was put: the wait goes on, now counted
    deadline = time.monotonic() + 5
    while QueueHeader(name).sleepers(NOT_EMPTY) == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert t.is_alive() and QueueHeader(name).sleepers(NOT_EMPTY) == 1
    KelQueue.attach(name).put_bytes(b"after")
    t.join(10)
    assert box["ready"] == [0]
    assert QueueHeader(name).sleepers(NOT_EMPTY) == 0
