"""Waiting for a queue's mutex while another process holds it.

A call with a zero timeout waits for a busy mutex (held for one copy at a time),
never for data or room: empty means empty and full means full, as in queue.Queue.
Against a holder that is stopped while it holds the mutex, every time limit still
holds, Ctrl-C still interrupts, nothing burns a CPU, and the queue carries on when
the holder resumes."""

import ctypes
import mmap
import os
import queue
import signal
import threading
import time

import pytest

import kelvane
from conftest import QueueHeader, call_with_timeout, join_or_kill, shm_path
from kelvane_core import KelQueue

MIB = 1 << 20
TID_MASK = 0x3FFFFFFF


# --- child bodies (spawned) -----------------------------------------------------------------


def count_in_a_loop(name, stop):
    """Takes the queue's mutex over and over: qsize() walks every record under it."""
    q = kelvane.Queue.attach(name)
    while not stop.is_set():
        q.qsize()


def hold_the_mutex_and_stop(name, conn):
    """Locks the queue's mutex as the library would, reports, stops itself; once
    continued, unlocks and leaves."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(shm_path(name), os.O_RDWR)
    header = mmap.mmap(fd, 16384)
    os.close(fd)
    mutex = ctypes.c_void_p(ctypes.addressof(ctypes.c_char.from_buffer(header)))
    assert libc.pthread_mutex_lock(mutex) == 0
    conn.send(os.getpid())
    os.kill(os.getpid(), signal.SIGSTOP)
    assert libc.pthread_mutex_unlock(mutex) == 0


def blocked_behind_the_holder(case, name, conn):
    """Blocks in `case` behind the stopped holder until SIGINT, and reports."""
    kq = KelQueue.attach(name)
    q = kelvane.Queue.attach(name, serializer=None)
    calls = {
        "KelQueue.stats": kq.stats,
        "KelQueue.get_bytes_timed": lambda: kq.get_bytes_timed(None),
        "KelQueue.put_bytes_timed": lambda: kq.put_bytes_timed(b"x", None),
        "KelQueue.get_many": lambda: kq.get_many(8, None),
        "KelQueue.put_many": lambda: kq.put_many([b"x"], None),
        "KelQueue.recv_view_timed": lambda: kq.recv_view_timed(None),
        "Queue.qsize": q.qsize,
        "Queue.get": q.get,
        "Queue.put": lambda: q.put(b"x"),
    }
    conn.send("blocking")
    try:
        calls[case]()
        conn.send("returned")
    except KeyboardInterrupt:
        conn.send("interrupted")


# --- fixtures ---------------------------------------------------------------------------------


@pytest.fixture
def kq(shm_name):
    name = shm_name("q")
    return KelQueue(name, 1), name


def state_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


@pytest.fixture
def stopped_holder(mp):
    """Starts a process that holds the queue's mutex and stops itself; on the way out
    it is continued (it unlocks and leaves) or killed."""
    started = []

    def start(name):
        parent, child = mp.Pipe()
        proc = mp.Process(target=hold_the_mutex_and_stop, args=(name, child), daemon=True)
        proc.start()
        started.append(proc)
        assert parent.poll(30), "the holder did not start"
        pid = parent.recv()
        deadline = time.monotonic() + 10
        while state_of(pid) != "T":
            assert time.monotonic() < deadline, "the holder did not stop"
            time.sleep(0.01)
        assert QueueHeader(name).lock_word & TID_MASK == pid
        return proc

    yield start
    for proc in started:
        if proc.is_alive():
            os.kill(proc.pid, signal.SIGCONT)
            proc.join(10)
        if proc.is_alive():
            proc.kill()
            proc.join(5)


def resume(proc):
    os.kill(proc.pid, signal.SIGCONT)
    assert join_or_kill(proc, 10) == 0


def timed(fn, *args):
    """(result, seconds, CPU seconds of the whole process) of a call run with a guard."""
    started, cpu = time.monotonic(), time.process_time()
    result = call_with_timeout(fn, *args, timeout=20)
    return result, time.monotonic() - started, time.process_time() - cpu


# --- a busy mutex is not "empty" or "full" ----------------------------------------------------------

# Each takes what it can at once; nothing means empty.
DRAINS = {
    "KelQueue.get_bytes_timed": lambda kq, q: [m for m in [kq.get_bytes_timed(0)] if m is not None],
    "KelQueue.get_many": lambda kq, q: kq.get_many(7, 0),
    "Queue.get_nowait": lambda kq, q: [q.get_nowait()],
    "Queue.get(block=False)": lambda kq, q: [q.get(block=False)],
    "Queue.get_many(block=False)": lambda kq, q: q.get_many(5, block=False),
}
PUTS = {
    "KelQueue.put_bytes_timed": lambda kq, q: kq.put_bytes_timed(b"p" * 100, 0),
    "KelQueue.put_many": lambda kq, q: kq.put_many([b"p" * 50, b"q" * 46], 0),
    "Queue.put_nowait": lambda kq, q: q.put_nowait(b"p" * 100) or True,
    "Queue.put(block=False)": lambda kq, q: q.put(b"p" * 100, block=False) or True,
}


@pytest.mark.parametrize("drain", DRAINS)
def test_a_zero_timeout_drain_gets_everything_while_another_process_keeps_taking_the_mutex(drain, kq, spawn, mp):
    kq, name = kq
    q = kelvane.Queue.attach(name, serializer=None)
    n = 3000
    kq.put_many([i.to_bytes(4, "little") for i in range(n)], 0)
    stop = mp.Event()
    counter = spawn(count_in_a_loop, name, stop)
    try:
        time.sleep(0.3)  # counting away
        got = []
        started = time.monotonic()
        while time.monotonic() - started < 60:
            try:
                items = DRAINS[drain](kq, q)
            except queue.Empty:
                break
            if not items:
                break
            got += [int.from_bytes(item, "little") for item in items]
        got += [int.from_bytes(x, "little") for x in kq.get_many(n, 0)]  # what a "lie" left behind
        assert got == list(range(n))
        assert len(got) == n and kq.stats() == (0, 0)
    finally:
        stop.set()
        join_or_kill(counter)


@pytest.mark.parametrize("put", PUTS)
def test_zero_timeout_puts_into_a_roomy_queue_never_say_full_while_another_process_keeps_taking_the_mutex(
    put, kq, spawn, mp
):
    kq, name = kq
    q = kelvane.Queue.attach(name, serializer=None)
    kq.put_many([b"x" * 20] * 2000, 0)  # something to count
    stop = mp.Event()
    counter = spawn(count_in_a_loop, name, stop)
    try:
        time.sleep(0.3)
        full = 0
        for _ in range(2000):
            try:
                full += PUTS[put](kq, q) is False
            except queue.Full:
                full += 1
            kq.get_many(2, 0)
        assert full == 0
    finally:
        stop.set()
        join_or_kill(counter)


def test_zero_timeouts_never_wait_for_data_or_room(kq, spawn, mp):
    kq, name = kq
    q = kelvane.Queue.attach(name, serializer=None)
    stop = mp.Event()
    counter = spawn(count_in_a_loop, name, stop)
    try:
        time.sleep(0.3)
        for _ in range(200):
            assert kq.get_bytes_timed(0) is None
            assert kq.get_many(3, 0) == []
            assert kq.recv_view_timed(0) is None
            with pytest.raises(queue.Empty):
                q.get_nowait()
        kq.put_bytes(b"f" * (kq.capacity - 4))
        for _ in range(200):
            assert kq.put_bytes_timed(b"", 0) is False
            assert kq.put_many([b""], 0) is False
            with pytest.raises(queue.Full):
                q.put_nowait(b"")
    finally:
        stop.set()
        join_or_kill(counter)


# --- a stopped holder ---------------------------------------------------------------------------

# case: (the queue's state, the call, its timeout result)
TIMED = {
    "KelQueue.get_bytes_timed, data there": ("data", lambda kq, q, t: kq.get_bytes_timed(t), None),
    "KelQueue.get_bytes_timed, empty": ("empty", lambda kq, q, t: kq.get_bytes_timed(t), None),
    "KelQueue.get_many, data there": ("data", lambda kq, q, t: kq.get_many(4, t), []),
    "KelQueue.recv_view_timed, data there": ("data", lambda kq, q, t: kq.recv_view_timed(t), None),
    "KelQueue.recv_view_timed, empty": ("empty", lambda kq, q, t: kq.recv_view_timed(t), None),
    "KelQueue.put_bytes_timed, room": ("empty", lambda kq, q, t: kq.put_bytes_timed(b"x", t), False),
    "KelQueue.put_bytes_timed, full": ("full", lambda kq, q, t: kq.put_bytes_timed(b"x", t), False),
    "KelQueue.put_many, room": ("empty", lambda kq, q, t: kq.put_many([b"x", b"y"], t), False),
    "Queue.get, data there": ("data", lambda kq, q, t: q.get(timeout=t), queue.Empty),
    "Queue.get, empty": ("empty", lambda kq, q, t: q.get(timeout=t), queue.Empty),
    "Queue.put, room": ("empty", lambda kq, q, t: q.put(b"x", timeout=t), queue.Full),
}


def prepare(kq, state):
    if state == "data":
        kq.put_bytes(b"waiting")
    elif state == "full":
        kq.put_bytes(b"f" * (kq.capacity - 4))


def outcome(call, kq, q, t):
    def run():
        try:
            return call(kq, q, t)
        except (queue.Empty, queue.Full) as e:
            return type(e)

    return timed(run)


@pytest.mark.parametrize("case", TIMED)
def test_a_time_limit_holds_against_a_stopped_holder_without_burning_a_cpu(case, kq, stopped_holder):
    kq, name = kq
    q = kelvane.Queue.attach(name, serializer=None)
    state, call, timed_out = TIMED[case]
    prepare(kq, state)
    before = QueueHeader(name)
    holder = stopped_holder(name)
    result, seconds, cpu = outcome(call, kq, q, 1.0)
    assert result == timed_out
    assert 1.0 <= seconds < 3.0
    assert cpu < 0.25, f"{cpu:.2f} s of CPU in a 1 s wait"
    after = QueueHeader(name)
    assert (after.read, after.write) == (before.read, before.write)
    resume(holder)
    # The holder let go: the same call now goes through.
    if state != "full":
        if state == "empty" and "put" not in case:
            kq.put_bytes(b"now")
        result, seconds, _ = outcome(call, kq, q, 5.0)
        assert result != timed_out and seconds < 5.0


@pytest.mark.parametrize("case", [c for c in TIMED if TIMED[c][0] != "full"])
def test_a_zero_timeout_waits_for_a_stopped_holder_up_to_its_bound_then_times_out(case, kq, stopped_holder):
    kq, name = kq
    q = kelvane.Queue.attach(name, serializer=None)
    state, call, timed_out = TIMED[case]
    prepare(kq, state)
    holder = stopped_holder(name)
    result, seconds, cpu = outcome(call, kq, q, 0)
    bound = 1.0 + kq.capacity * 1e-9
    if state == "empty" and "put" not in case:
        # Obviously empty from the positions alone: no need of the mutex to say so.
        assert result == timed_out and seconds < 0.5
    else:
        assert result == timed_out
        assert bound <= seconds < bound + 2.0
        assert cpu < 0.25
    resume(holder)


def test_an_untimed_call_waits_for_a_stopped_holder_without_burning_a_cpu(kq, stopped_holder):
    """The original calls may wait as long as it takes, but sleeping."""
    kq, name = kq
    kq.put_bytes(b"first")
    holder = stopped_holder(name)
    got = {}

    def get():
        got["first"] = kq.get_bytes()

    t = threading.Thread(target=get, daemon=True)
    cpu = time.process_time()
    t.start()
    time.sleep(1.0)
    assert t.is_alive() and time.process_time() - cpu < 0.25
    resume(holder)
    t.join(10)
    assert got == {"first": b"first"}


CTRL_C = [
    "KelQueue.stats",
    "KelQueue.get_bytes_timed",
    "KelQueue.put_bytes_timed",
    "KelQueue.get_many",
    "KelQueue.put_many",
    "KelQueue.recv_view_timed",
    "Queue.qsize",
    "Queue.get",
    "Queue.put",
]


@pytest.mark.parametrize("case", CTRL_C)
def test_ctrl_c_reaches_a_call_stuck_behind_a_stopped_holder(case, kq, stopped_holder, mp):
    kq, name = kq
    holder = stopped_holder(name)
    parent, child = mp.Pipe()
    proc = mp.Process(target=blocked_behind_the_holder, args=(case, name, child), daemon=True)
    proc.start()
    try:
        assert parent.poll(30) and parent.recv() == "blocking"
        time.sleep(0.5)  # well inside the wait
        os.kill(proc.pid, signal.SIGINT)
        assert parent.poll(10), "the call did not return after SIGINT"
        assert parent.recv() == "interrupted"
        assert join_or_kill(proc) == 0
    finally:
        if proc.is_alive():
            proc.kill()
            proc.join(5)
    resume(holder)
    assert kq.put_bytes_timed(b"after", 5) is True
    assert kq.stats() == (9, 1)
    assert kq.get_bytes_timed(5) == b"after"


# --- threads of one process ------------------------------------------------------------------


@pytest.mark.parametrize("timeout", [0, 0.05, None])
def test_threads_sharing_one_handle_take_every_message_once(kq, timeout):
    """The mutex is busy for a thread whenever another thread of the process holds it:
    the waits for it (and the bytes objects made ready for them) lose and repeat
    nothing."""
    q, _ = kq
    producers, consumers, per_producer = 4, 4, 2500
    got = [[] for _ in range(consumers)]
    stop = threading.Event()

    def produce(p):
        for i in range(per_producer):
            message = p.to_bytes(1, "little") + i.to_bytes(4, "little") + bytes(i % 300)
            while not q.put_bytes_timed(message, timeout) and not stop.is_set():
                pass

    def consume(c):
        while not stop.is_set():
            batch = q.get_many(3, timeout) if c % 2 else [m for m in [q.get_bytes_timed(timeout)] if m is not None]
            got[c] += batch
            if b"" in batch:  # the end
                return

    producing = [threading.Thread(target=produce, args=(p,), daemon=True) for p in range(producers)]
    consuming = [threading.Thread(target=consume, args=(c,), daemon=True) for c in range(consumers)]
    for t in producing + consuming:
        t.start()
    deadline = time.monotonic() + 60
    for t in producing:
        t.join(max(0.1, deadline - time.monotonic()))
    assert q.put_many([b""] * (3 * consumers), 10) is True  # enough ends for every consumer
    for t in consuming:
        t.join(max(0.1, deadline - time.monotonic()))
    stop.set()
    assert not any(t.is_alive() for t in producing + consuming), "the threads did not finish within 60 s"
    seen = set()
    for messages in got:
        last = {}
        for m in messages:
            if m == b"":
                continue
            p, i = m[0], int.from_bytes(m[1:5], "little")
            assert m[5:] == bytes(i % 300)
            assert i > last.get(p, -1)  # each consumer sees a producer's messages in order
            last[p] = i
            seen.add((p, i))
    assert len(seen) == producers * per_producer == sum(len(m) - m.count(b"") for m in got)
    assert q.get_many(100, 0) == [b""] * (3 * consumers - sum(m.count(b"") for m in got))
