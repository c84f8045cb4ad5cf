"""Calls with a timeout, batches and the Python layer (kelvane.Queue, kelvane.Lock):
time limits, Ctrl-C in every blocking call across processes, bad input."""

import math
import os
import pickle
import queue
import signal
import time
import weakref

import pytest

import kelvane
from conftest import advance_to, call_with_timeout, join_or_kill, positions, shm_path
from kelvane import _side
from kelvane_core import KelLock, KelQueue, LockRecovered

MIB = 1 << 20


@pytest.fixture
def kq(shm_name):
    name = shm_name("q")
    return KelQueue(name, 1), name


def fill_up(q):
    """Leaves no room for even an empty message."""
    q.put_bytes(b"\xaa" * (q.capacity - 4))


# --- time limits -----------------------------------------------------------------------------

CALLS_THAT_WAIT = {
    "put_bytes_timed": lambda q, t: q.put_bytes_timed(b"x", t),
    "put_many": lambda q, t: q.put_many([b"x", b"y"], t),
    "get_bytes_timed": lambda q, t: q.get_bytes_timed(t),
    "get_many": lambda q, t: q.get_many(4, t),
    "recv_view_timed": lambda q, t: q.recv_view_timed(t),
}
TIMED_OUT = {"put_bytes_timed": False, "put_many": False, "get_bytes_timed": None, "get_many": [], "recv_view_timed": None}


@pytest.mark.parametrize("call", list(CALLS_THAT_WAIT))
@pytest.mark.parametrize("timeout", [0, 0.15])
def test_a_call_that_cannot_complete_returns_its_timeout_value_and_changes_nothing(kq, call, timeout):
    q, name = kq
    if call.startswith("put"):
        fill_up(q)
    before = positions(name)
    started = time.monotonic()
    assert call_with_timeout(CALLS_THAT_WAIT[call], q, timeout) == TIMED_OUT[call]
    assert time.monotonic() - started >= timeout
    assert positions(name) == before


@pytest.mark.parametrize("call", list(CALLS_THAT_WAIT))
def test_a_waiting_call_completes_when_another_process_acts(kq, call, spawn):
    q, name = kq
    if call.startswith("put"):
        fill_up(q)
        spawn(take_one, name, 0.2)
    else:
        spawn(put_bytes, name, b"hello", 0.2)
    result = call_with_timeout(CALLS_THAT_WAIT[call], q, 10)
    if call.startswith("put"):
        assert result is True
    elif call == "get_bytes_timed":
        assert result == b"hello"
    elif call == "get_many":
        assert result == [b"hello"]
    else:
        view, next_pos = result
        assert bytes(view) == b"hello"
        view.release()
        q.commit_read(next_pos)


@pytest.mark.parametrize(
    "timeout, error, text",
    [
        (-1, ValueError, "argument 'timeout' must be a non-negative number or None"),
        (-0.001, ValueError, "argument 'timeout' must be a non-negative number or None"),
        (math.nan, ValueError, "argument 'timeout' must be a non-negative number or None"),
        (-(10**400), ValueError, "argument 'timeout' must be a non-negative number or None"),
        ("1", TypeError, "argument 'timeout' must be a number or None, not str"),
    ],
)
def test_bad_timeouts_are_refused_before_anything_happens(kq, shm_name, timeout, error, text):
    q, name = kq
    for fname, call in CALLS_THAT_WAIT.items():
        with pytest.raises(error, match=f"^{fname}\\(\\) {text}$"):
            call(q, timeout)
    lock = KelLock(shm_name("l"))
    with pytest.raises(error, match=f"^acquire_timed\\(\\) {text}$"):
        lock.acquire_timed(timeout)
    assert positions(name) == (0, 0)


@pytest.mark.parametrize("timeout", [math.inf, 10**400, 1e300, None])
def test_endless_timeouts_wait_as_long_as_it_takes(kq, timeout):
    q, _ = kq
    q.put_bytes(b"there")
    assert q.get_bytes_timed(timeout) == b"there"
    assert q.put_bytes_timed(b"again", timeout) is True


# --- batches -----------------------------------------------------------------------------------


def test_put_many_is_all_or_nothing(kq):
    q, name = kq
    q.put_bytes(b"\x01" * (q.capacity - 100))  # 96 bytes of room
    before = positions(name)
    assert q.put_many([b"a" * 40, b"b" * 40, b"c" * 40], 0) is False  # 132 bytes needed
    assert positions(name) == before
    assert q.put_many([b"a" * 40, b"b" * 40], 0) is True
    assert q.get_many(10, 0)[1:] == [b"a" * 40, b"b" * 40]


def test_put_many_refuses_a_batch_that_can_never_fit_and_bad_items(kq):
    q, name = kq
    half = q.capacity // 2
    with pytest.raises(RuntimeError, match="^Queue put error: Buffer too small$"):
        q.put_many([b"a" * half, b"b" * half], None)
    with pytest.raises(TypeError, match="^put_many\\(\\) argument 'items' must hold bytes-like objects, not str at index 1$"):
        q.put_many([b"a", "b"], 0)
    with pytest.raises(TypeError):
        q.put_many(5, 0)
    assert q.put_many([], 0) is True
    assert positions(name) == (0, 0)


@pytest.mark.parametrize("offset", [0, 1, 2, 3, 4, (1 << 20) - 7])
def test_batches_across_the_end_of_the_ring(kq, offset):
    q, name = kq
    advance_to(q, name, (1 << 20) - 20 + offset if offset < 20 else offset)
    items = [bytes([i]) * (i * 3) for i in range(12)]
    assert q.put_many(items, 0) is True
    assert q.stats() == (sum(len(i) + 4 for i in items), len(items))
    assert q.get_many(5, 0) == items[:5]
    assert q.get_many(100, 0) == items[5:]
    assert q.stats() == (0, 0)


def test_get_many_validates_max_items(kq):
    q, _ = kq
    with pytest.raises(ValueError, match="^get_many\\(\\) argument 'max_items' must be at least 1$"):
        q.get_many(0, 0)
    with pytest.raises(OverflowError):
        q.get_many(-1, 0)


# --- Ctrl-C in every blocking call, across processes ------------------------------------------------

# Each case: how the parent prepares the objects, then the call the child blocks in.
INTERRUPTIBLE = [
    "KelQueue.put_bytes_timed",
    "KelQueue.put_many",
    "KelQueue.get_bytes_timed",
    "KelQueue.get_many",
    "KelQueue.recv_view_timed",
    "KelLock.acquire_timed",
    "Queue.put",
    "Queue.put_many",
    "Queue.get",
    "Queue.get_many",
    "Queue.view",
    "Lock.acquire",
]


def blocked_call(case, qname, lname, conn):
    """Child: blocks in `case` until SIGINT, reports, then shows the objects still work."""
    kq = KelQueue(qname, 1)
    q = kelvane.Queue.attach(qname, serializer=None)
    lock = kelvane.Lock(lname)
    calls = {
        "KelQueue.put_bytes_timed": lambda: kq.put_bytes_timed(b"x", None),
        "KelQueue.put_many": lambda: kq.put_many([b"x", b"y"], None),
        "KelQueue.get_bytes_timed": lambda: kq.get_bytes_timed(None),
        "KelQueue.get_many": lambda: kq.get_many(8, None),
        "KelQueue.recv_view_timed": lambda: kq.recv_view_timed(None),
        "KelLock.acquire_timed": lambda: KelLock(lname).acquire_timed(None),
        "Queue.put": lambda: q.put(b"x"),
        "Queue.put_many": lambda: q.put_many([b"x", b"y"]),
        "Queue.get": lambda: q.get(),
        "Queue.get_many": lambda: q.get_many(8),
        "Queue.view": lambda: q.view().__enter__(),
        "Lock.acquire": lambda: lock.acquire(),
    }
    conn.send("blocking")
    try:
        calls[case]()
        conn.send("returned")
        return
    except KeyboardInterrupt:
        conn.send("interrupted")
    # Still usable: the parent frees room / puts a message / keeps the lock, then says go.
    conn.recv()
    if "acquire" in case:
        conn.send(("busy", lock.acquire(blocking=False)))
    elif case.split(".")[1].startswith("put"):
        kq.get_bytes()
        conn.send(("put", kq.put_bytes_timed(b"after", 5)))
    else:
        kq.put_bytes(b"after")
        conn.send(("got", kq.get_bytes_timed(5)))


@pytest.mark.parametrize("case", INTERRUPTIBLE)
def test_ctrl_c_interrupts_every_blocking_call_and_leaves_things_usable(case, shm_name, mp):
    qname, lname = shm_name("q"), shm_name("l")
    kq = KelQueue(qname, 1)
    lock = KelLock(lname)
    if "acquire" in case:
        lock.acquire()
    elif case.split(".")[1].startswith("put"):
        fill_up(kq)
    before = positions(qname)
    parent, child = mp.Pipe()
    proc = mp.Process(target=blocked_call, args=(case, qname, lname, child), daemon=True)
    proc.start()
    try:
        assert parent.poll(30) and parent.recv() == "blocking"
        time.sleep(0.3)  # well inside the wait
        os.kill(proc.pid, signal.SIGINT)
        assert parent.poll(10), "the call did not return after SIGINT"
        assert parent.recv() == "interrupted"
        assert positions(qname) == before
        parent.send("go")
        assert parent.poll(10)
        outcome = parent.recv()
        assert outcome == {"busy": ("busy", False), "put": ("put", True), "got": ("got", b"after")}[outcome[0]]
        assert join_or_kill(proc) == 0
    finally:
        if proc.is_alive():
            proc.kill()
        if "acquire" in case:
            lock.release()


# --- kelvane.Queue ------------------------------------------------------------------------------------


@pytest.fixture
def pq(shm_name):
    q = kelvane.Queue(shm_name("pq"), capacity=MIB)
    yield q
    q.close()


def test_queue_round_trips_objects_in_order(pq):
    objs = [None, 1, "two", [3.0], {"four": b"4"}, ("six", 6)]
    for o in objs:
        pq.put(o)
    assert pq.qsize() == len(objs) and not pq.empty() and not pq.full()
    assert [pq.get() for _ in objs] == objs
    assert pq.empty() and pq.qsize() == 0
    pq.put_many(range(100))
    assert pq.get_many(30) == list(range(30))
    assert pq.get_many(1000, timeout=0) == list(range(30, 100))


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda q: q.get(timeout=0.05), queue.Empty),
        (lambda q: q.get(block=False), queue.Empty),
        (lambda q: q.get_nowait(), queue.Empty),
        (lambda q: q.get_many(5, timeout=0.05), queue.Empty),
        (lambda q: q.view(timeout=0.05).__enter__(), queue.Empty),
    ],
)
def test_queue_empty_and_full_are_the_stdlib_exceptions(pq, call, exc, shm_name):
    with pytest.raises(exc):
        call(pq)
    with kelvane.Queue(shm_name("raw"), MIB, serializer=None) as q:
        q.put(b"\x00" * (q.capacity - 4 - 10))  # leaves 10 bytes of room
        assert not q.full()
        with pytest.raises(queue.Full):
            q.put(b"\x00" * 7, timeout=0.05)
        with pytest.raises(queue.Full):
            q.put_nowait(b"\x00" * 7)
        with pytest.raises(queue.Full, match="no item was put"):
            q.put_many([b"", b"", b""], block=False)
        q.put(b"\x00" * 6)
        assert q.full() and q.qsize() == 2


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        ({"timeout": -1}, ValueError, "'timeout' must be a non-negative number"),
        ({"timeout": math.nan}, ValueError, "'timeout' must be a non-negative number"),
        ({"timeout": "1"}, TypeError, "'timeout' must be a number or None, not str"),
    ],
)
def test_queue_bad_timeouts(pq, kwargs, exc, text):
    for call in (pq.get, pq.get_many, lambda **kw: pq.put(1, **kw), lambda **kw: pq.put_many([1], **kw)):
        with pytest.raises(exc, match=text):
            call(**kwargs)
    assert pq.qsize() == 0


def test_a_serializer_error_or_an_oversized_message_puts_nothing(pq):
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pq.put(lambda: 0)
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pq.put_many([1, 2, lambda: 0])
    # A large object before the failing one: its side segment goes too.
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pq.put_many([b"x" * pq.capacity, lambda: 0])
    assert pq.qsize() == 0
    assert not _side.of_queue(pq.name)
    # Without a serializer a message is the caller's bytes in the ring, and must fit it.
    raw = kelvane.Queue.attach(pq.name, serializer=None)
    with pytest.raises(ValueError, match="never fits this queue.*the pickle serializer"):
        raw.put(b"x" * pq.capacity)
    with pytest.raises(ValueError, match="never fits this queue.*the pickle serializer"):
        raw.put_many([b"1", b"x" * pq.capacity])
    assert pq.qsize() == 0


def test_put_many_larger_than_the_queue_goes_in_batches(pq):
    items = [b"z" * 1000] * 3000  # about 3 MiB through a 1 MiB queue
    got = []

    def drain():
        while len(got) < len(items):
            got.extend(pq.get_many(500, timeout=10))

    import threading

    t = threading.Thread(target=drain, daemon=True)
    t.start()
    call_with_timeout(pq.put_many, items, timeout=30)
    t.join(30)
    assert got == items


def test_bytes_pass_through_without_a_serializer(shm_name):
    with kelvane.Queue(shm_name("raw"), MIB, serializer=None) as q:
        q.put(b"raw")
        q.put(bytearray(b"array"))
        q.put_many([memoryview(b"view"), b""])
        assert q.get_many(10) == [b"raw", b"array", b"view", b""]
        with pytest.raises(TypeError, match="takes bytes-like objects, not str"):
            q.put("text")


def test_view_commits_on_a_clean_exit_and_keeps_the_message_on_an_error(pq):
    pq.put(b"payload")
    with pytest.raises(KeyError):
        with pq.view() as mv:
            assert mv.readonly
            raise KeyError
    assert pq.qsize() == 1
    with pq.view(timeout=1) as mv:
        assert pickle.loads(mv) == b"payload"
    assert pq.qsize() == 0
    with pytest.raises(ValueError):
        mv.tobytes()  # released on exit


def test_attach_needs_an_existing_queue_and_creates_nothing(shm_name):
    name = shm_name("absent")
    with pytest.raises(FileNotFoundError, match=f"no kelvane queue named '{name}' exists"):
        kelvane.Queue.attach(name)
    with pytest.raises(FileNotFoundError):
        kelvane.Queue(name, create=False)
    assert not os.path.exists(shm_path(name))


def test_attach_takes_the_size_from_the_queue_and_checks_a_given_one(shm_name):
    name = shm_name("sized")
    with kelvane.Queue(name, capacity=2 * MIB) as q:
        other = kelvane.Queue.attach(name)
        assert other.capacity == 2 * MIB
        q.put("hi")
        assert other.get(timeout=5) == "hi"
        with pytest.raises(ValueError, match="holds 2097152 bytes, not 1048576"):
            kelvane.Queue(name, capacity=MIB, create=False)
        other.close()
        with pytest.raises(ValueError, match="is closed"):
            other.get()


def test_a_queue_made_without_a_name_is_removed_by_its_owner():
    q = kelvane.Queue(capacity=MIB)
    assert q.name.startswith("kq_") and os.path.exists(shm_path(q.name))
    attached = kelvane.Queue.attach(q.name)
    q.put(42)
    assert attached.get(timeout=5) == 42
    q.close()
    assert not os.path.exists(shm_path(q.name))
    attached.put(43)  # the attached process keeps its queue
    assert attached.get(timeout=5) == 43


def consume_pickled(q, n, conn):
    conn.send([q.get(timeout=10) for _ in range(n)])


def test_a_queue_passed_to_another_process_attaches_by_name(pq, spawn, mp):
    parent, child = mp.Pipe()
    proc = spawn(consume_pickled, pq, 3, child)
    pq.put_many(["a", {"b": 2}, 3])
    assert parent.poll(30)
    assert parent.recv() == ["a", {"b": 2}, 3]
    assert join_or_kill(proc) == 0


@pytest.mark.parametrize("bad", [0, -5, 1.5, True])
def test_queue_capacity_must_be_positive_bytes(shm_name, bad):
    with pytest.raises((ValueError, TypeError)):
        kelvane.Queue(shm_name("cap"), capacity=bad)


# --- kelvane.Lock -------------------------------------------------------------------------------------


def hold_lock(name, conn, die):
    lock = kelvane.Lock(name)
    lock.acquire()
    conn.send("held")
    if die:
        os._exit(0)
    conn.recv()
    lock.release()


def test_lock_acquire_like_threading(shm_name, spawn, mp):
    name = shm_name("lock")
    parent, child = mp.Pipe()
    proc = spawn(hold_lock, name, child, False)
    assert parent.poll(30) and parent.recv() == "held"
    lock = kelvane.Lock(name)
    assert lock.acquire(blocking=False) is False
    started = time.monotonic()
    assert lock.acquire(timeout=0.2) is False
    assert time.monotonic() - started >= 0.2
    parent.send("release")
    assert lock.acquire(timeout=10) is True
    lock.release()
    with lock as got:
        assert got is True
    assert join_or_kill(proc) == 0


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        ({"blocking": False, "timeout": 1}, ValueError, "can't specify a timeout for a non-blocking call"),
        ({"timeout": -2}, ValueError, "timeout value must be a non-negative number"),
        ({"timeout": math.nan}, ValueError, "timeout value must be a non-negative number"),
        ({"timeout": "1"}, TypeError, "'timeout' must be a number"),
    ],
)
def test_lock_bad_arguments(shm_name, kwargs, exc, text):
    lock = kelvane.Lock(shm_name("lock"))
    with pytest.raises(exc, match=text):
        lock.acquire(**kwargs)
    assert lock.acquire(blocking=False) is True
    lock.release()


@pytest.mark.parametrize("timeout", [-1, 5])
def test_lock_taken_over_from_a_dead_holder_raises_with_the_lock_held(shm_name, spawn, mp, timeout):
    name = shm_name("lock")
    parent, child = mp.Pipe()
    proc = spawn(hold_lock, name, child, True)
    assert parent.poll(30) and parent.recv() == "held"
    join_or_kill(proc)
    lock = kelvane.Lock(name)
    with pytest.raises(LockRecovered, match="^Lock recovered from dead process$"):
        lock.acquire(timeout=timeout)
    assert lock.acquire(timeout=0.1) is False  # ours already, as threading.Lock answers
    lock.release()
    assert lock.acquire(blocking=False) is True
    lock.release()


def test_layer_objects_pickle_by_name(shm_name):
    lock = kelvane.Lock(shm_name("lock"))
    copy = pickle.loads(pickle.dumps(lock))
    assert copy.name == lock.name and weakref.ref(copy)() is copy
    assert copy.acquire(blocking=False) is True
    copy.release()


# --- child bodies ------------------------------------------------------------------------------------


def take_one(name, delay):
    time.sleep(delay)
    KelQueue(name, 1).get_bytes()


def put_bytes(name, payload, delay):
    time.sleep(delay)
    KelQueue(name, 1).put_bytes(payload)


# --- attaching without creating ---------------------------------------------------------------------


def test_attach_opens_an_existing_queue_of_any_size(shm_name):
    name = shm_name("q")
    q = KelQueue(name, 3)
    q.put_bytes(b"there")
    other = KelQueue.attach(name)
    assert type(other) is KelQueue and other.capacity == 3 * MIB
    assert other.get_bytes_timed(5) == b"there"


@pytest.mark.parametrize(
    "content, text",
    [
        (None, "Failed to open mirrored shm: Nix error: ENOENT: No such file or directory"),
        (b"x" * 5000, "Failed to open mirrored shm: the object is 5000 bytes, not the size of a queue"),
        (b"\0" * (16384 + MIB + 1), "Failed to open mirrored shm: the object is 1064961 bytes, not the size of a queue"),
    ],
    ids=["missing", "small", "odd"],
)
def test_attach_refuses_what_is_not_a_queue_and_creates_nothing(shm_name, content, text):
    name = shm_name("q")
    if content is not None:
        with open(shm_path(name), "wb") as f:
            f.write(content)
    with pytest.raises(RuntimeError, match="^" + text):
        KelQueue.attach(name)
    assert os.path.exists(shm_path(name)) == (content is not None)
    if content is not None:
        assert open(shm_path(name), "rb").read() == content  # untouched
