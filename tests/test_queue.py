"""KelQueue: the named shared-memory byte queue, checked through its own methods and
through the bytes of its object under /dev/shm."""

import os
import random
import signal
import struct
import threading
import time
import zlib

import pytest

from conftest import (
    QUEUE_HEADER, QueueHeader, Ticker, advance_to, call_with_timeout, join_or_kill, mapped_bytes, put_one, shm_path,
)
from kelvane_core import KelQueue

HEADER = QUEUE_HEADER
MiB = 1 << 20
D = MiB  # data area of a size_mb 1 queue
NOT_EMPTY_SLOT, NOT_FULL_SLOT = 128, 256
FUTEX_OWNER_DIED = 0x40000000


def ring_bytes(name, offset, length):
    """`length` bytes of the data area from `offset`, continuing at its start."""
    with open(shm_path(name), "rb") as f:
        f.seek(HEADER)
        data = f.read(D)
    return (data[offset:] + data[:offset])[:length]


def poke(name, offset, raw):
    with open(shm_path(name), "r+b") as f:
        f.seek(offset)
        f.write(raw)


def wait_for_sleepers(name, slot, count, timeout=10):
    deadline = time.monotonic() + timeout
    while QueueHeader(name).sleepers(slot) < count:
        assert time.monotonic() < deadline, f"{count} waiter(s) never went to sleep"
        time.sleep(0.01)


# --- child process bodies (spawn imports them by name) ---------------------------------


def _get_one(name, report, delay=0.0):
    time.sleep(delay)
    report.put(KelQueue(name, 1).get_bytes())


def _get_forever(name):
    KelQueue(name, 1).get_bytes()


def _churn(name, size):
    q = KelQueue(name, 1)
    msg = bytes(range(256)) * (size // 256)
    while True:
        q.put_bytes(msg)
        q.get_bytes()


def _producer(name, pid, count, seed):
    rng = random.Random(seed)
    q = KelQueue(name, 1)
    for seq in range(count):
        size = rng.choice((0, rng.randrange(1, 64), rng.randrange(64, 8192), rng.randrange(8192, 250_000)))
        payload = rng.randbytes(size)
        q.put_bytes(struct.pack("<III", pid, seq, zlib.crc32(payload)) + payload)


def _consumer(name, report):
    q = KelQueue(name, 1)
    seen, damaged = [], 0
    while msg := q.get_bytes():
        pid, seq, crc = struct.unpack_from("<III", msg)
        damaged += zlib.crc32(msg[12:]) != crc
        seen.append((pid, seq))
    report.put((seen, damaged))


def _race_create(name, barrier, report):
    barrier.wait()
    try:
        KelQueue(name, 1).put_bytes(b"one")
        report.put("ok")
    except RuntimeError as e:
        report.put(str(e))


# --- creation, layout, opening -----------------------------------------------------------


@pytest.mark.parametrize("size_mb, object_size", [(1, 1_064_960), (2, 2_113_536)])
def test_fresh_header_and_object(shm_name, size_mb, object_size):
    name = shm_name()
    old = os.umask(0)
    try:
        q = KelQueue(name, size_mb)
    finally:
        os.umask(old)
    st = os.stat(shm_path(name))
    assert st.st_size == object_size
    assert st.st_mode & 0o777 == 0o600
    h = QueueHeader(name)
    assert (h.read, h.write, h.capacity, h.ready) == (0, 0, size_mb * MiB, 1)
    assert h.raw[416:] == bytes(HEADER - 416)
    assert mapped_bytes(name) == HEADER + 2 * size_mb * MiB
    del q
    assert mapped_bytes(name) == 0
    assert os.path.exists(shm_path(name))


def test_opening_keeps_messages_and_destruction_keeps_segment(shm_name):
    name = shm_name()
    first = KelQueue(name, 1)
    first.put_bytes(b"a")
    first.put_bytes(b"b")
    del first
    assert os.path.exists(shm_path(name))
    again = KelQueue("/" + name, 1)  # the same segment with or without the slash
    assert QueueHeader(name).write == 10
    assert again.get_bytes() == b"a"
    other = KelQueue(name, 1)
    assert other.get_bytes() == b"b"


def test_unlink_removes_only_the_name(shm_name):
    name = shm_name()
    old = KelQueue(name, 1)
    old.put_bytes(b"kept")
    KelQueue.unlink(name)
    assert not os.path.exists(shm_path(name))
    old.put_bytes(b"still works")
    fresh = KelQueue(name, 1)  # a new, separate queue
    h = QueueHeader(name)
    assert (h.read, h.write) == (0, 0)
    assert old.get_bytes() == b"kept"
    assert old.get_bytes() == b"still works"
    fresh.put_bytes(b"new")
    assert fresh.get_bytes() == b"new"
    KelQueue.unlink(name=name)
    with pytest.raises(RuntimeError) as e:
        KelQueue.unlink(name)
    assert str(e.value) == "Unlink failed: Nix error: ENOENT: No such file or directory"


def test_concurrent_creators_share_one_queue(shm_name, spawn, mp):
    name = shm_name()
    barrier, report = mp.Barrier(4), mp.Queue()
    procs = [spawn(_race_create, name, barrier, report) for _ in range(4)]
    outcomes = [report.get(timeout=30) for _ in procs]
    for p in procs:
        assert join_or_kill(p) == 0
    for outcome in outcomes:
        assert outcome in ("ok", "Failed to create mirrored shm: Nix error: EEXIST: File exists")
    assert outcomes.count("ok") >= 1
    q = KelQueue(name, 1)
    assert [q.get_bytes() for _ in range(outcomes.count("ok"))] == [b"one"] * outcomes.count("ok")
    assert QueueHeader(name).read == QueueHeader(name).write


def test_opener_waits_for_a_creator_still_initialising(shm_name):
    name, donor = shm_name(), shm_name()
    KelQueue(donor, 1)
    fresh_header = QueueHeader(donor).raw
    fd = os.open(shm_path(name), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)  # created, not sized
    opened = {}
    t = threading.Thread(target=lambda: opened.update(q=KelQueue(name, 1)), daemon=True)
    try:
        t.start()
        time.sleep(0.3)
        assert t.is_alive()
        os.ftruncate(fd, HEADER + D)
        time.sleep(0.3)
        assert t.is_alive()  # sized, but not ready yet
        os.pwrite(fd, fresh_header[:408], 0)
        os.pwrite(fd, fresh_header[408:], 408)  # the ready flag last
    finally:
        os.close(fd)
    t.join(10)
    assert not t.is_alive()
    opened["q"].put_bytes(b"after the wait")
    assert call_with_timeout(KelQueue(name, 1).get_bytes) == b"after the wait"


@pytest.mark.slow
def test_objects_never_initialised_are_refused(shm_name):
    """Three broken objects opened at once (each open waits about 10 s, with the
    interpreter lock released): never sized, all zero, a header of garbage."""
    garbage = bytearray(os.urandom(HEADER))
    garbage[408:416] = struct.pack("<Q", 0x5EADBEEF)  # anything but ready
    contents = {"unsized": b"", "zeroed": bytes(HEADER + D), "garbage": bytes(garbage) + bytes(D)}
    names = {kind: shm_name(kind) for kind in contents}
    for kind, raw in contents.items():
        with open(os.open(shm_path(names[kind]), os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600), "wb") as f:
            f.write(raw)
    errors = {}

    def open_one(kind):
        try:
            KelQueue(names[kind], 1)
        except RuntimeError as e:
            errors[kind] = str(e)

    with Ticker(0.01) as ticker:
        openers = [threading.Thread(target=open_one, args=(kind,), daemon=True) for kind in contents]
        for t in openers:
            t.start()
        time.sleep(1)
        ticks_while_waiting = ticker.count
        for t in openers:
            t.join(40)
            assert not t.is_alive()
    assert ticks_while_waiting > 10  # other threads ran while the openers waited
    for kind, name in names.items():
        assert errors[kind] == (
            "Failed to open mirrored shm: the queue was never initialised by its creator; "
            f"KelQueue.unlink({name!r}) removes it"
        )
        KelQueue.unlink(name)
        q = KelQueue(name, 1)
        q.put_bytes(kind.encode())
        assert q.get_bytes() == kind.encode()


# --- bad arguments -----------------------------------------------------------------------


def test_size_mb_zero_leaves_a_header_sized_object(shm_name):
    name = shm_name()
    with pytest.raises(RuntimeError) as e:
        KelQueue(name, 0)
    assert str(e.value) == "Failed to create mirrored shm: Nix error: EINVAL: Invalid argument"
    assert os.path.getsize(shm_path(name)) == HEADER
    with pytest.raises(RuntimeError) as e:
        KelQueue(name, 0)
    assert str(e.value) == "Failed to create mirrored shm: Nix error: EEXIST: File exists"
    with pytest.raises(RuntimeError) as e:
        KelQueue(name, 1)
    assert str(e.value).startswith("Failed to open mirrored shm: ")
    assert str(HEADER) in str(e.value) and str(HEADER + D) in str(e.value)


@pytest.mark.parametrize(
    "size_mb, exc",
    [(2**44, OverflowError), (2**64, OverflowError), (-1, OverflowError), (1.0, TypeError), ("1", TypeError),
     (None, TypeError)],
)
def test_bad_size_mb_creates_nothing(shm_name, size_mb, exc):
    name = shm_name()
    with pytest.raises(exc):
        KelQueue(name, size_mb)
    assert not os.path.exists(shm_path(name))


def test_true_counts_as_one(shm_name):
    name = shm_name()
    KelQueue(name, True)
    assert os.path.getsize(shm_path(name)) == HEADER + D


@pytest.mark.parametrize("opener_mb", [1, 3, 1 << 10])
def test_other_size_mb_is_refused_with_both_sizes(shm_name, opener_mb):
    name = shm_name()
    creator = KelQueue(name, 2)
    creator.put_bytes(b"safe")
    with pytest.raises(RuntimeError) as e:
        KelQueue(name, opener_mb)
    message = str(e.value)
    assert message.startswith("Failed to open mirrored shm: ")
    assert str(HEADER + 2 * MiB) in message and str(HEADER + opener_mb * MiB) in message
    assert creator.get_bytes() == b"safe"


@pytest.mark.parametrize(
    "name, message",
    [
        ("", "Nix error: EINVAL: Invalid argument"),
        ("/", "Nix error: EINVAL: Invalid argument"),
        ("kt_inner/slash", "Nix error: EINVAL: Invalid argument"),
        ("k" * 256, "Nix error: ENAMETOOLONG: File name too long"),
        ("k\0t", "CString error: nul byte found in provided data at position: 2"),
        ("/k\0t", "CString error: nul byte found in provided data at position: 2"),
    ],
    ids=["empty", "slash", "inner-slash", "256-chars", "nul", "slash-nul"],
)
def test_bad_names(name, message):
    with pytest.raises(RuntimeError) as e:
        KelQueue(name, 1)
    assert str(e.value) == "Failed to create mirrored shm: " + message


def test_longest_name(shm_name):
    name = shm_name().ljust(255, "x")
    try:
        q = KelQueue(name, 1)
        q.put_bytes(b"long")
        assert q.get_bytes() == b"long"
    finally:
        KelQueue.unlink(name)


@pytest.mark.parametrize("name, exc", [("\ud800", UnicodeEncodeError), (b"kt_bytes", TypeError), (7, TypeError),
                                       (None, TypeError)])
def test_names_of_wrong_kind(name, exc):
    with pytest.raises(exc):
        KelQueue(name, 1)
    with pytest.raises(exc):
        KelQueue.unlink(name)


def test_unlink_nul_name():
    with pytest.raises(RuntimeError) as e:
        KelQueue.unlink("k\0t")
    assert str(e.value) == "Unlink failed: CString error: nul byte found in provided data at position: 2"


@pytest.mark.parametrize("data", [bytearray(b"abc"), memoryview(b"abc"), "abc", None, 3, [1, 2]],
                         ids=lambda d: type(d).__name__)
def test_put_refuses_non_bytes(shm_name, data):
    name = shm_name()
    q = KelQueue(name, 1)
    with pytest.raises(TypeError):
        q.put_bytes(data)
    assert QueueHeader(name).write == 0


def test_put_accepts_bytes_subclass_and_keyword(shm_name):
    class Payload(bytes):
        pass

    q = KelQueue(shm_name(), 1)
    q.put_bytes(Payload(b"sub"))
    q.put_bytes(data=b"kw")
    got = q.get_bytes()
    assert type(got) is bytes and got == b"sub"
    assert q.get_bytes() == b"kw"
    with pytest.raises(TypeError):
        q.put_bytes()
    with pytest.raises(TypeError):
        q.put_bytes(b"a", b"b")
    with pytest.raises(TypeError):
        q.get_bytes(1)


# --- the ring ----------------------------------------------------------------------------


@pytest.mark.parametrize("size", [0, 1, 4096, D - 4], ids=["empty", "one", "page", "maximal"])
@pytest.mark.parametrize("offset", [0, 3, D // 2, D - 4, D - 2])
def test_round_trip_at_every_offset(shm_name, offset, size):
    name = shm_name()
    q = KelQueue(name, 1)
    start = advance_to(q, name, offset)
    payload = random.Random(size).randbytes(size)
    call_with_timeout(q.put_bytes, payload)
    assert QueueHeader(name).write == start + 4 + size
    assert call_with_timeout(q.get_bytes) == payload
    h = QueueHeader(name)
    assert h.read == h.write == start + 4 + size


@pytest.mark.parametrize(
    "offset, size",
    [(D - 1, 10), (D - 2, 10), (D - 3, 10), (D - 100, 300), (D - 104, 100), (D - 2, D - 4)],
    ids=["length-1", "length-2", "length-3", "payload", "payload-ends-at-end", "maximal-wrapped"],
)
def test_records_across_the_end_are_stored_wrapped(shm_name, offset, size):
    name = shm_name()
    q = KelQueue(name, 1)
    advance_to(q, name, offset)
    payload = random.Random(offset).randbytes(size)
    q.put_bytes(payload)
    record = struct.pack("<I", size) + payload
    assert ring_bytes(name, offset, len(record)) == record
    with open(shm_path(name), "rb") as f:  # the tail really is at the start of the object's data
        f.seek(HEADER)
        head = f.read(len(record) - (D - offset))
    assert head == record[D - offset:]
    assert q.get_bytes() == payload


def test_message_that_can_never_fit_is_refused_at_once(shm_name):
    name = shm_name()
    q = KelQueue(name, 1)
    q.put_bytes(b"queued")
    for size in (D - 3, D, 2 * D):
        with pytest.raises(RuntimeError) as e:
            call_with_timeout(q.put_bytes, bytes(size), timeout=5)
        assert str(e.value) == "Queue put error: Buffer too small"
    assert QueueHeader(name).write == 10
    assert q.get_bytes() == b"queued"
    call_with_timeout(q.put_bytes, bytes(D - 4))  # the largest fits an empty ring
    assert len(q.get_bytes()) == D - 4


def test_exact_fit_does_not_wait(shm_name):
    name = shm_name()
    q = KelQueue(name, 1)
    q.put_bytes(bytes(1000))
    call_with_timeout(q.put_bytes, bytes(D - 1004 - 4), timeout=5)
    h = QueueHeader(name)
    assert h.write - h.read == D


def test_traffic_well_past_the_capacity(shm_name):
    name = shm_name()
    q = KelQueue(name, 1)
    rng = random.Random(7)
    sizes = [0, 1, 3, 4093, 65_531, 300_000, 700_000, D - 4]
    total = 0
    while total < 4 * D:
        batch = [rng.randbytes(rng.choice(sizes) // rng.choice((1, 3, 5))) for _ in range(rng.randrange(1, 6))]
        room = D
        sent = []
        for msg in batch:
            if len(msg) + 4 > room:
                break
            q.put_bytes(msg)
            room -= len(msg) + 4
            sent.append(msg)
        for msg in sent:
            assert q.get_bytes() == msg
            total += len(msg) + 4
    h = QueueHeader(name)
    assert h.read == h.write == total > 4 * D
    assert h.capacity == D


@pytest.mark.parametrize(
    "read, write, length",
    [(1000, 500, None), (0, D + 8, None), (0, 2, None), (0, 8, 100), (D - 2, D + 10, 2**32 - 1)],
    ids=["write-behind-read", "more-than-capacity", "shorter-than-a-prefix", "length-too-large",
         "wrapped-length-too-large"],
)
def test_damaged_positions_are_reported(shm_name, read, write, length):
    name = shm_name()
    q = KelQueue(name, 1)
    poke(name, 384, struct.pack("<QQ", read, write))
    if length is not None:
        record = struct.pack("<I", length)
        start = read % D
        poke(name, HEADER + start, record[: D - start])
        poke(name, HEADER, record[D - start:])
    before = QueueHeader(name).raw[128:]  # all but the mutex, whose bookkeeping is the C library's
    for _ in range(2):  # the mutex was released: the second call fails the same way
        with pytest.raises(RuntimeError) as e:
            call_with_timeout(q.get_bytes)
        assert str(e.value).startswith("Queue get error: Queue corrupted: ")
        with pytest.raises(RuntimeError) as e:
            call_with_timeout(q.recv_view)
        assert str(e.value).startswith("Queue get_view error: Queue corrupted: ")
    if (write - read) % 2**64 > D:
        with pytest.raises(RuntimeError) as e:
            call_with_timeout(q.put_bytes, b"x")
        assert str(e.value).startswith("Queue put error: Queue corrupted: ")
    assert QueueHeader(name).raw[128:] == before


# --- processes and threads ---------------------------------------------------------------


def test_many_producers_and_consumers(shm_name, spawn, mp):
    name = shm_name()
    q = KelQueue(name, 1)
    counts = [300, 250, 200]
    report = mp.Queue()
    consumers = [spawn(_consumer, name, report) for _ in range(2)]
    producers = [spawn(_producer, name, pid, n, 1000 + pid) for pid, n in enumerate(counts)]
    for p in producers:
        assert join_or_kill(p, 60) == 0
    for _ in consumers:
        call_with_timeout(q.put_bytes, b"")
    results = [report.get(timeout=60) for _ in consumers]
    for p in consumers:
        assert join_or_kill(p) == 0
    assert sum(damaged for _, damaged in results) == 0
    for pid, n in enumerate(counts):
        every = sorted(seq for seen, _ in results for p, seq in seen if p == pid)
        assert every == list(range(n))  # each message exactly once
        for seen, _ in results:
            mine = [seq for p, seq in seen if p == pid]
            assert mine == sorted(mine)  # in the order it was put
    h = QueueHeader(name)
    assert h.read == h.write > 3 * D


@pytest.mark.parametrize("blocking", ["get", "put"])
def test_blocked_call_lets_other_threads_run(shm_name, spawn, mp, blocking):
    name = shm_name()
    q = KelQueue(name, 1)
    report = mp.Queue()
    if blocking == "get":
        helper = spawn(put_one, name, b"late", 0.5)
    else:
        q.put_bytes(bytes(D - 4))  # full
        helper = spawn(_get_one, name, report, 0.5)
    with Ticker(0.005) as ticker:
        time.sleep(0.05)
        before = ticker.count
        if blocking == "get":
            assert call_with_timeout(q.get_bytes, timeout=30) == b"late"
        else:
            call_with_timeout(q.put_bytes, b"room at last", timeout=30)
        during = ticker.count - before
    if blocking == "put":
        assert len(report.get(timeout=10)) == D - 4
        assert q.get_bytes() == b"room at last"
    assert join_or_kill(helper) == 0
    assert during > 10


def test_holder_killed_inside_the_mutex(shm_name, spawn):
    name = shm_name()
    q = KelQueue(name, 1)
    size = 900_000
    msg = bytes(range(256)) * (size // 256)
    died_holding = False
    for attempt in range(6):
        p = spawn(_churn, name, size)
        start, deadline = QueueHeader(name).write, time.monotonic() + 20
        while QueueHeader(name).write == start:  # until the child is busy
            assert time.monotonic() < deadline
            time.sleep(0.005)
        time.sleep(0.05 + 0.02 * attempt)
        os.kill(p.pid, signal.SIGKILL)
        p.join(10)
        h = QueueHeader(name)
        died_holding |= bool(h.lock_word & FUTEX_OWNER_DIED)
        assert h.write - h.read in (0, 4 + len(msg))  # no partial record
        if h.write > h.read:
            assert call_with_timeout(q.get_bytes) == msg
        call_with_timeout(q.put_bytes, b"after")
        assert call_with_timeout(q.get_bytes) == b"after"
        assert QueueHeader(name).lock_word == 0
        if died_holding:
            break
    assert died_holding, "the child was never killed while it held the queue mutex"


def test_killed_waiting_consumer_does_not_stall_others(shm_name, spawn, mp):
    name = shm_name()
    KelQueue(name, 1)
    report = mp.Queue()
    doomed = spawn(_get_forever, name)
    wait_for_sleepers(name, NOT_EMPTY_SLOT, 1)
    live = spawn(_get_one, name, report)
    wait_for_sleepers(name, NOT_EMPTY_SLOT, 2)
    os.kill(doomed.pid, signal.SIGKILL)
    doomed.join(10)
    producer = spawn(put_one, name, b"for the living")
    assert join_or_kill(producer, 15) == 0
    assert report.get(timeout=10) == b"for the living"
    assert join_or_kill(live, 10) == 0
    h = QueueHeader(name)
    assert h.read == h.write


def test_killed_waiting_producer_does_not_stall_others(shm_name, spawn):
    name = shm_name()
    q = KelQueue(name, 1)
    first = b"1" * 600_000
    q.put_bytes(first)
    doomed = spawn(put_one, name, b"d" * 600_000)
    wait_for_sleepers(name, NOT_FULL_SLOT, 1)
    live = spawn(put_one, name, b"2" * 500_000)
    wait_for_sleepers(name, NOT_FULL_SLOT, 2)
    os.kill(doomed.pid, signal.SIGKILL)
    doomed.join(10)
    assert call_with_timeout(q.get_bytes) == first
    assert join_or_kill(live, 15) == 0
    assert call_with_timeout(q.get_bytes) == b"2" * 500_000
    call_with_timeout(q.put_bytes, b"3")  # another producer gets through as well
    assert call_with_timeout(q.get_bytes) == b"3"
    h = QueueHeader(name)
    assert h.read == h.write
