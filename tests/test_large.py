"""Objects larger than the ring, and arrays that arrive without a copy: side segments."""

import mmap
import os
import pickle
import queue
import random
import secrets
import signal
import subprocess
import sys
import time
import types
import warnings

import pytest

import kelvane
from conftest import SHM_DIR, join_or_kill
from kelvane import _blocks, _side, shm_admin
from kelvane._native import Block
from kelvane_core import KelLock, KelQueue
from test_cli import stale_sweep

np = pytest.importorskip("numpy")

MIB = 1 << 20


@pytest.fixture
def queue_name(shm_name):
    """Names of queues whose side segments must all be gone after the test (and are
    removed, so a failure leaves nothing behind)."""
    given = []

    def make(tag="lg"):
        name = shm_name(tag)
        given.append(name)
        return name

    yield make
    left = [n for name in given for n in _side.of_queue(name)]
    for name in given:
        _side.remove_of_queue(name)
    assert not left, f"side segments left behind: {left}"


@pytest.fixture
def side_only(monkeypatch):
    """Large messages travel in side segments of their own (no block arena), here and in
    the processes the test starts."""
    monkeypatch.setenv("KELVANE_BLOCKS", "off")


def kelvane_cli(*args):
    return subprocess.run([sys.executable, "-m", "kelvane", *args], capture_output=True, text=True, timeout=60)


def array(n_bytes, seed=0):
    return np.random.default_rng(seed).random(n_bytes // 8)


def _exporter(arr):
    """The object that exports the memory the array arrived in."""
    base = arr
    while getattr(base, "base", None) is not None and not isinstance(base, memoryview):
        base = base.base
    return base.obj if isinstance(base, memoryview) else None


def _is_side_view(arr):
    """True when the array's memory is shared memory it arrived in: a block or a side
    segment (no copy was made)."""
    return isinstance(_exporter(arr), (mmap.mmap, Block))


# --- one process --------------------------------------------------------------------------


def odd_objects():
    a = array(2 * MIB)
    return [
        ("bytes", b"\x00" * (3 * MIB)),
        ("bytearray", bytearray(b"\x01" * (2 * MIB))),
        ("array", a),
        ("fortran", np.asfortranarray(a.reshape(512, -1))),
        ("strided", a[::3]),  # not contiguous: numpy pickles it in the stream
        ("readonly", np.frombuffer(b"r" * MIB, dtype=np.uint8)),
        ("many arrays", [array(MIB, i) for i in range(5)] + [np.zeros(3), "tail"]),
        ("small arrays", [np.arange(10)] * 100),
        ("structured", np.zeros(100_000, dtype=[("x", "<f8"), ("y", "<i4")])),
        ("empty array", np.empty((0, 5))),
        ("picklebuffer", pickle.PickleBuffer(bytearray(range(256)) * 4096)),
        ("dict", {i: str(i) * 10 for i in range(100_000)}),
    ]


def same(got, want):
    if isinstance(want, np.ndarray):
        return isinstance(got, np.ndarray) and got.dtype == want.dtype and got.shape == want.shape and (
            np.array_equal(got, want))
    if isinstance(want, list):
        return len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))
    if isinstance(want, pickle.PickleBuffer):
        return bytes(got) == bytes(want)
    return got == want


@pytest.mark.parametrize("tag, obj", odd_objects(), ids=[t for t, _ in odd_objects()])
@pytest.mark.parametrize("how", ["put", "put_many"])
def test_objects_larger_than_the_ring_round_trip(queue_name, tag, obj, how):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        if how == "put":
            q.put(obj, timeout=10)
            q.put("after", timeout=10)
            got = [q.get(timeout=10), q.get(timeout=10)]
        else:
            q.put_many([1, obj, "after"], timeout=10)
            got = q.get_many(10, timeout=10)[1:]
        assert same(got[0], obj) and got[1] == "after"
        assert not _side.of_queue(name)  # received: nothing named is left
        q.unlink()


def test_small_messages_keep_the_ring(queue_name):
    """Nothing under the thresholds makes a side segment: the record is the pickle itself."""
    name = queue_name()
    with kelvane.Queue(name, 8 * MIB) as q:
        raw = KelQueue.attach(name)
        for obj in (np.zeros(1000), b"x" * (250 * 1024), [np.arange(10_000)] * 5, np.ones(20_000)):
            q.put(obj, timeout=10)
            record = raw.get_bytes()
            assert record[:1] == b"\x80" and same(pickle.loads(record), obj)
        q.unlink()


def test_an_array_arrives_as_a_writable_view_of_its_segment(queue_name):
    name = queue_name()
    a = array(4 * MIB)
    with kelvane.Queue(name, MIB) as q:
        q.put(a, timeout=10)
        got = q.get(timeout=10)
        assert _is_side_view(got) and got.flags.writeable and got.flags.c_contiguous
        assert got.ctypes.data % mmap.PAGESIZE == 0
        got[0] = -1.0  # the receiver's own: nobody else maps it
        assert np.array_equal(got[1:], a[1:])
        view = memoryview(got)
        del got
        assert view[0] == -1.0  # the mapping lives while anything refers to it
        q.unlink()


@pytest.mark.parametrize("first", [b"\x00", b"\x01", b"\x02", b"\x80", b""])
def test_a_custom_serializer_output_is_never_taken_for_a_reference(queue_name, first):
    class Raw:
        @staticmethod
        def dumps(obj):
            return first + obj

        @staticmethod
        def loads(data):
            assert data[:len(first)] == first, data[:10]
            return data[len(first):]

    name = queue_name()
    with kelvane.Queue(name, MIB, serializer=Raw) as q:
        for payload in (b"", b"abc", b"\x00ks_x", b"y" * (MIB // 4)):
            q.put(payload, timeout=10)
            q.put_many([payload, b"z"], timeout=10)
            assert q.get(timeout=10) == payload
            assert q.get_many(2, timeout=10) == [payload, b"z"]
        assert not _side.of_queue(name)
        q.unlink()


def test_without_a_serializer_a_message_stays_the_callers_bytes(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB, serializer=None) as q:
        raw = KelQueue.attach(name)
        for payload in (b"\x00ks_0000000000000000_1_00", b"\x01", b"x" * (MIB // 2)):
            q.put(payload, timeout=10)
            assert raw.get_bytes() == payload
        for payload in (b"x" * MIB, bytearray(2 * MIB), memoryview(b"y" * (MIB - 3))):
            with pytest.raises(ValueError, match=r"never fits this queue .*a queue with the pickle serializer"):
                q.put(payload, timeout=10)
        assert q.qsize() == 0 and not _side.of_queue(name)
        q.unlink()


def test_a_put_that_times_out_leaves_no_segment(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        for size in (60_000, 1000, 0):  # fill the ring: not even a side record fits
            while True:
                try:
                    q.put(b"f" * size, timeout=0)
                except queue.Full:
                    break
        for put in (lambda: q.put(array(2 * MIB), timeout=0.05),
                    lambda: q.put(array(2 * MIB), block=False),
                    lambda: q.put_many([array(2 * MIB), b"z" * 500_000], timeout=0.05)):
            with pytest.raises(queue.Full):
                put()
            assert not _side.of_queue(name)
        q.unlink()


@pytest.mark.usefixtures("side_only")
def test_the_ring_bounds_the_bytes_held_in_side_segments(queue_name):
    """A reference takes 1/64 of its segment's size in the ring (at most an eighth of the
    ring): a producer far ahead of its consumer meets Full instead of filling /dev/shm."""
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        big = np.ones(MIB)  # 8 MiB: its reference takes 128 KiB, an eighth of the ring
        put = 0
        while put < 100:
            try:
                q.put(big, timeout=0)
            except queue.Full:
                break
            put += 1
        assert put == 7 and len(_side.of_queue(name)) == 7
        assert all(np.array_equal(q.get(timeout=10), big) for _ in range(7))
        q.unlink()


@pytest.mark.usefixtures("side_only")
@pytest.mark.parametrize("where", ["ring", "held"])
def test_a_viewed_large_message_takes_its_segment_with_it(queue_name, where):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        if where == "held":  # in this object's remainder, after a message that does not decode
            KelQueue.attach(name).put_bytes(b"not a pickle")
        q.put(array(2 * MIB), timeout=10)
        if where == "held":
            with pytest.raises(kelvane.DecodeError):
                q.get_many(10, timeout=10)
            assert q.qsize() == 1
        with pytest.raises(RuntimeError):
            with q.view(timeout=10) as mv:
                assert mv[:1] == b"\x00" and len(_side.of_queue(name)) == 1
                raise RuntimeError  # left in the queue, and its segment with it
        assert len(_side.of_queue(name)) == 1
        with q.view(timeout=10):
            pass
        assert q.qsize() == 0 and not _side.of_queue(name)
        q.unlink()


@pytest.mark.usefixtures("side_only")
def test_unlink_removes_the_queues_side_segments(queue_name):
    name = queue_name()
    q = kelvane.Queue(name, MIB)
    other = kelvane.Queue.attach(name)
    q.put_many([array(2 * MIB, i) for i in range(3)], timeout=10)
    assert len(_side.of_queue(name)) == 3
    q.unlink()
    assert not _side.of_queue(name)
    # An attached process still takes the records; their objects went with the name.
    for _ in range(3):
        with pytest.raises(kelvane.DecodeError) as info:
            other.get(timeout=10)
        assert isinstance(info.value.__cause__, FileNotFoundError)
    other.close()
    q.close()


_load_attempts: list[int] = []


def _refuse_to_load(data):
    _load_attempts.append(1)
    raise ValueError("this process cannot build it")


class Unloadable:
    """Pickles with a large out-of-band buffer and fails to load."""

    def __init__(self, a):
        self.a = a

    def __reduce__(self):
        return _refuse_to_load, (self.a,)


class PickyBytes:
    """A serializer of bytes that refuses to load what starts with b"bad"."""

    @staticmethod
    def dumps(obj):
        return obj

    @staticmethod
    def loads(data):
        if data.startswith(b"bad"):
            raise ValueError("bad bytes")
        return data


@pytest.mark.parametrize("serializer", ["pickle", "custom"])
@pytest.mark.parametrize("call", ["get", "get_many"])
def test_a_large_message_that_does_not_decode_reports_its_own_bytes(queue_name, serializer, call):
    """Its DecodeError holds its stream (and out-of-band buffers), not the reference, and
    the serializer's own error, however many calls it takes to meet it; get loads it once."""
    name = queue_name()
    _load_attempts.clear()
    a = array(2 * MIB)
    bad, ser = (Unloadable(a), pickle) if serializer == "pickle" else (b"bad" + bytes(2 * MIB), PickyBytes)
    with kelvane.Queue(name, MIB, serializer=ser) as q:
        q.put_many([b"first", bad, b"last"], timeout=10)
        if call == "get":
            assert q.get(timeout=10) == b"first"
            with pytest.raises(kelvane.DecodeError) as info:
                q.get(timeout=10)
        else:
            assert q.get_many(10, timeout=10) == [b"first"]
            with pytest.raises(kelvane.DecodeError) as info:
                q.get_many(10, timeout=10)
        error = info.value
        assert isinstance(error.__cause__, ValueError), repr(error.__cause__)
        if serializer == "pickle":
            assert len(_load_attempts) == 1 or call == "get_many"
            assert len(error.buffers) == 1 and error.buffers[0] == memoryview(a).cast("B")
            with pytest.raises(ValueError, match="cannot build it"):
                pickle.loads(error.data, buffers=error.buffers)
        else:
            assert error.data == bad and error.buffers == ()
        assert q.get_many(10, timeout=10) == [b"last"]
        assert not _side.of_queue(name)
        q.unlink()


@pytest.mark.usefixtures("side_only")
def test_a_batch_with_a_vanished_segment_reports_it_alone(queue_name):
    """get_many delivers what decodes before a side record whose segment is gone, and
    reports that record by itself on the next call; the messages after it are kept."""
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        q.put_many(["a", array(2 * MIB), "b"], timeout=10)
        _side.remove_of_queue(name)
        assert q.get_many(10, timeout=10) == ["a"]
        with pytest.raises(kelvane.DecodeError):
            q.get_many(10, timeout=10)
        assert q.get_many(10, timeout=10) == ["b"]
        q.unlink()


def test_many_threads_on_one_handle_carry_large_messages(queue_name):
    import threading

    name = queue_name()
    got, errors = [], []
    with kelvane.Queue(name, MIB) as q:
        def produce_some(t):
            try:
                for i in range(6):
                    q.put((t, i, np.full(100_000 + t, float(i))), timeout=30)
            except BaseException as e:  # reported below
                errors.append(e)

        def consume_some(n):
            try:
                for _ in range(n):
                    got.append(q.get(timeout=30))
            except BaseException as e:
                errors.append(e)

        threads = [threading.Thread(target=produce_some, args=(t,)) for t in range(4)]
        threads += [threading.Thread(target=consume_some, args=(12,)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not errors and not any(t.is_alive() for t in threads)
        assert sorted((t, i) for t, i, _ in got) == [(t, i) for t in range(4) for i in range(6)]
        assert all(len(a) == 100_000 + t and (a == i).all() for t, i, a in got)
        assert not _side.of_queue(name)
        q.unlink()


@pytest.mark.usefixtures("side_only")
def test_a_forked_child_signs_its_segments_with_its_own_pid(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        q.put(array(MIB), timeout=10)  # the parent's, so the cached identity is the parent's
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # pytest's own threads
            pid = os.fork()
        if pid == 0:
            try:
                _side.write(name, b"child")
            finally:
                os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        creators = {shm_admin.examine(n).creator for n in _side.of_queue(name)}
        assert creators == {os.getpid(), pid}
        q.get(timeout=10)
        q.unlink()


# --- other processes ------------------------------------------------------------------------


def produce(name, sizes, then_exit_code=0):
    q = kelvane.Queue.attach(name)
    for i, size in enumerate(sizes):
        q.put((i, array(size, i)), timeout=30)
    q.close()
    os._exit(then_exit_code)


def consume_sum(name, count, out_name):
    q = kelvane.Queue.attach(name)
    sums = [float(q.get(timeout=30)[1].sum()) for _ in range(count)]
    kelvane.Queue.attach(out_name).put(sums, timeout=30)


def test_arrays_cross_processes(queue_name, spawn):
    name, out = queue_name(), queue_name("out")
    sizes = [MIB // 2, 3 * MIB, 16 * MIB, 8, 0]
    with kelvane.Queue(name, MIB) as q, kelvane.Queue(out, MIB) as back:
        producer = spawn(produce, name, sizes)
        consumer = spawn(consume_sum, name, len(sizes), out)
        assert join_or_kill(producer) == 0 and join_or_kill(consumer) == 0
        assert back.get(timeout=10) == [float(array(s, i).sum()) for i, s in enumerate(sizes)]
        q.unlink()
        back.unlink()


def test_a_received_array_outlives_its_queue_and_its_producer(queue_name, spawn):
    name = queue_name()
    q = kelvane.Queue(name, MIB)
    assert join_or_kill(spawn(produce, name, [32 * MIB])) == 0
    i, got = q.get(timeout=10)
    q.unlink()
    q.close()
    assert not _side.of_queue(name) and not os.path.exists(os.path.join(SHM_DIR, name))
    assert float(got.sum()) == float(array(32 * MIB, 0).sum())


def make_orphan(name, size):
    """A producer killed after making its segment, before storing the record."""
    _side.write(name, b"p" * 10, [memoryview(array(size))])
    os.kill(os.getpid(), signal.SIGKILL)


def take_record_and_die(name):
    """A consumer killed after taking a record, before opening its segment."""
    KelQueue.attach(name).get_bytes()
    os.kill(os.getpid(), signal.SIGKILL)


def sides_listed(name):
    done = kelvane_cli("ls", "--json", "--prefix", name)
    assert done.returncode == 0, done.stderr
    import json

    return {e["name"]: e for e in json.loads(done.stdout) if e["kind"] == "side"}


@pytest.mark.usefixtures("side_only")
def test_rm_stale_sweeps_orphans_once_their_queue_has_no_users(queue_name, spawn):
    name = queue_name()
    q = kelvane.Queue(name, MIB)
    # An orphan of a killed producer; a record in the queue whose producer has exited; a
    # record taken by a consumer killed before it opened the segment.
    assert join_or_kill(spawn(make_orphan, name, 2 * MIB)) == -signal.SIGKILL
    assert join_or_kill(spawn(produce, name, [2 * MIB, 2 * MIB])) == 0
    kept = _side.of_queue(name)
    assert len(kept) == 3
    assert join_or_kill(spawn(take_record_and_die, name)) == -signal.SIGKILL
    listed = sides_listed(name)
    assert set(listed) == set(kept)
    assert {e["queue"] for e in listed.values()} == {name}
    # While this process is attached to the queue it might hold either orphan's reference.
    done = kelvane_cli(*stale_sweep(), "--prefix", name)
    assert done.returncode == 0 and "removed" not in done.stdout, (done.stdout, done.stderr)
    assert same(q.get(timeout=10)[1], array(2 * MIB, 1))
    q.close()
    # Nobody is attached any more: the queue is stale, and its side segments go after it.
    done = kelvane_cli(*stale_sweep(), "--prefix", name)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == f"removed {name}" and done.stdout.count("removed ks_") == 2
    assert not _side.of_queue(name)


@pytest.mark.usefixtures("side_only")
def test_the_sweep_rule_for_an_orphan_of_a_dead_creator(queue_name, spawn):
    name = queue_name()
    assert join_or_kill(spawn(make_orphan, name, MIB)) == -signal.SIGKILL
    (seg,), _ = shm_admin.scan(name)
    assert seg.kind == "side" and seg.queue == name and not seg.users
    q = kelvane.Queue(name, MIB)  # attached to its queue, this process may hold its reference
    assert shm_admin._stale_sides([seg], True, set(), []) == ([], [])
    assert shm_admin._stale_sides([seg], True, {name}, []) == ([seg], [])  # unless the queue goes
    q.unlink()  # mapped after its name is gone: still attached
    assert shm_admin._stale_sides([seg], True, set(), []) == ([], [])
    q.close()
    stale, unproven = shm_admin._stale_sides([seg], True, set(), [])
    assert stale == [seg]  # whatever its age
    # Seen from a partial view of the processes, a dead creator is not proven dead.
    seg.unproven = True
    assert shm_admin._stale_sides([seg], False, set(), []) == ([], [seg])
    assert shm_admin._stale_sides([seg], True, set(), []) == ([seg], [seg])
    _side.remove(seg.name)


@pytest.mark.usefixtures("side_only")
def test_rm_stale_keeps_the_segments_of_a_live_producer(queue_name):
    name = queue_name()
    ref = _side.write(name, b"x")  # made here, not stored yet: this process runs
    assert "removed ks_" not in kelvane_cli(*stale_sweep(), "--prefix", name).stdout
    assert _side.of_queue(name) == [ref.segment]
    _side.remove(ref.segment)


def hold_a_remainder(name, conn):
    """A consumer whose get_many met a bad message first: two large ones wait in its
    remainder, taken from the ring and not opened yet, until it is told to read them."""
    q = kelvane.Queue.attach(name)
    with pytest.raises(kelvane.DecodeError):
        q.get_many(10, timeout=10)
    conn.send(q.qsize())
    conn.recv()
    conn.send([float(q.get(timeout=10)[1].sum()) for _ in range(2)])


def produce_pool_result(name, size):
    """What a pool worker that answers with an array and retires leaves in a result queue."""
    from kelvane._pool_worker import _OK, _RESULT

    KelQueue.attach(name).put_bytes(_RESULT.pack(7, _OK) + _side.pickle_record(name, array(size), 1 << 20, 1 << 17))


@pytest.mark.usefixtures("side_only")
def test_rm_stale_never_removes_what_a_live_consumer_may_hold(queue_name, spawn, mp):
    """Four places a message's reference waits while its producer has exited: taken by a
    consumer that has not opened it yet, in a remainder after a DecodeError, past a pool
    message's header, in a queue unlinked while in use. A sweep keeps each, however old."""
    taken, remainder, unlinked = queue_name("tk"), queue_name("rm"), queue_name("ul")
    pool = f"kp_res_{os.getpid():x}{secrets.token_hex(4)}"
    queues = [kelvane.Queue(n, MIB) for n in (taken, remainder, unlinked, pool)]
    try:
        for n in (taken, unlinked):
            assert join_or_kill(spawn(produce, n, [2 * MIB])) == 0
        KelQueue.attach(remainder).put_bytes(b"bad")  # a record that is no pickle: DecodeError
        assert join_or_kill(spawn(produce, remainder, [2 * MIB, 2 * MIB])) == 0
        assert join_or_kill(spawn(produce_pool_result, pool, 2 * MIB)) == 0
        ours = KelQueue.attach(taken)
        record = ours.get_bytes()  # this process took it and has not opened it yet
        parent, child = mp.Pipe()
        holder = spawn(hold_a_remainder, remainder, child)
        assert parent.poll(30) and parent.recv() == 2
        queues[1].close()
        KelQueue.unlink(unlinked)  # attached processes carry on
        time.sleep(2.2)  # older than any grace a sweep could give them
        for prefix in (taken, remainder, unlinked, pool):
            done = kelvane_cli(*stale_sweep(), "--prefix", prefix)
            assert done.returncode == 0 and "removed" not in done.stdout, (prefix, done.stdout, done.stderr)
        assert float(queues[0]._decode_one([record])[1].sum()) == float(array(2 * MIB, 0).sum())
        parent.send("read")
        assert parent.poll(30) and parent.recv() == [float(array(2 * MIB, i).sum()) for i in range(2)]
        assert join_or_kill(holder) == 0
        assert float(queues[2].get(timeout=10)[1].sum()) == float(array(2 * MIB, 0).sum())
        message = KelQueue.attach(pool).get_bytes()
        assert float(_side.unpickle_record(memoryview(message)[9:]).sum()) == float(array(2 * MIB).sum())
    finally:
        for q in queues:
            q.close()
        for n in (taken, remainder, pool):
            try:
                KelQueue.unlink(n)
            except RuntimeError:
                pass
        for n in (unlinked, pool):
            _side.remove_of_queue(n)


@pytest.mark.parametrize("kind", ["side", "lock"])
def test_a_segment_that_goes_during_a_partial_sweep_is_no_failure(queue_name, spawn, monkeypatch, capsys, kind):
    """From a view that cannot see every process, a segment that went between the scan and
    the proof (a side segment its consumer opened, a lock its owner removed) needs no
    proof: it is gone."""
    name = queue_name()
    if kind == "side":
        assert join_or_kill(spawn(make_orphan, name, MIB)) == -signal.SIGKILL
    else:
        KelLock(name)  # made, and nobody uses it
    monkeypatch.setattr(shm_admin, "_partial_view", lambda: ["a test says so"])
    later = time.time() + 60  # and it is old
    monkeypatch.setattr(shm_admin, "time", types.SimpleNamespace(time=lambda: later))

    def consumed_meanwhile(seg):
        _side.remove(seg.name)
        return None

    monkeypatch.setattr(shm_admin, "_mapped_elsewhere", consumed_meanwhile)
    assert shm_admin.main(["rm", "--stale", "--prefix", name]) == 0
    assert capsys.readouterr() == ("no stale kelvane segments\n", "")


# --- Ctrl-C storms ---------------------------------------------------------------------------


def interrupt_inside_kelvane():
    """SIGINT raises KeyboardInterrupt only while a call into kelvane runs (its frames, or
    those it calls, such as pickle's), as Ctrl-C during such a call would: what the test's
    own code does with a result it was given is its own business."""
    root = os.path.dirname(kelvane.__file__)

    def handler(signum, frame):
        while frame is not None:
            if frame.f_code.co_filename.startswith(root):
                raise KeyboardInterrupt
            frame = frame.f_back

    signal.signal(signal.SIGINT, handler)


def storm_message(i, size):
    return i, np.full(size // 8, float(i))


def produce_for_a_while(name, size, stop, stormy, ready):
    """Puts numbered messages (one by one, or five at a time) until told to stop, then
    None; under a storm, an interrupted put is put again (it may have gone in already)."""
    if stormy:
        interrupt_inside_kelvane()
    q = kelvane.Queue.attach(name)
    ready.set()
    i = 0
    while not stop.is_set():
        try:
            if stormy == "put_many":
                q.put_many([storm_message(j, size) for j in range(i, i + 5)], timeout=10)
                i += 5
            else:
                q.put(storm_message(i, size), timeout=10)
                i += 1
        except KeyboardInterrupt:
            pass
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    q.put(None, timeout=10)


def consume_until_none(name, stormy, out, ready):
    if stormy:
        interrupt_inside_kelvane()
    q = kelvane.Queue.attach(name)
    ready.set()
    got, bad = [], 0
    while not got or got[-1] is not None:
        try:
            got += [q.get(timeout=20)] if stormy != "get_many" else q.get_many(50, timeout=20)
        except KeyboardInterrupt:
            pass
        except kelvane.DecodeError:
            bad += 1
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    kelvane.Queue.attach(out).put(([i for i, a in got[:-1] if a[0] == i], bad), timeout=10)


@pytest.mark.parametrize("size", [64 * 1024, MIB], ids=["ring", "side"])
@pytest.mark.parametrize("stormy", ["get", "get_many", "put", "put_many"])
def test_ctrl_c_storms_lose_nothing_and_leave_nothing(queue_name, spawn, mp, stormy, size):
    """Thousands of SIGINTs a second at a consumer or producer: every message arrives, in
    order and once (a put interrupted after it stored may store it again: the producer
    cannot tell), every one decodes, and no side segment is left."""
    if stormy.startswith("put") and size < MIB:
        pytest.skip("a small message has no segment to lose")
    name, out = queue_name("st"), queue_name("out")
    with kelvane.Queue(name, 8 * MIB) as q, kelvane.Queue(out, MIB) as back:
        stop, ready = mp.Event(), [mp.Event(), mp.Event()]
        consumer = spawn(consume_until_none, name, stormy if stormy.startswith("get") else "", out, ready[0])
        producer = spawn(produce_for_a_while, name, size, stop, stormy if stormy.startswith("put") else "", ready[1])
        assert all(r.wait(30) for r in ready)
        target = consumer if stormy.startswith("get") else producer
        rng = random.Random(7)
        started = time.monotonic()
        while time.monotonic() - started < 1.5:
            # Bursts of a few thousand a second with short calms, so that even a batch of
            # large messages, which takes longer than the gap between two signals, goes in.
            burst = time.monotonic() + rng.uniform(0.005, 0.03)
            while time.monotonic() < burst:
                os.kill(target.pid, signal.SIGINT)
                time.sleep(0.0003)
            time.sleep(rng.uniform(0, 0.02))
        stop.set()
        while target.is_alive() and time.monotonic() - started < 30:
            os.kill(target.pid, signal.SIGINT)  # the last messages too, until it is done
            time.sleep(0.001)
        ids, bad = back.get(timeout=30)
        assert join_or_kill(producer) == 0 and join_or_kill(consumer) == 0
        assert bad == 0 and ids
        if stormy.startswith("get"):
            assert ids == list(range(len(ids))) and len(ids) % (5 if stormy == "put_many" else 1) == 0
        else:
            assert sorted(set(ids)) == list(range(max(ids) + 1))
        assert not _side.of_queue(name)
        q.unlink()
        back.unlink()


FULL_SHM = r"""
import errno, os, sys
import numpy as np
import kelvane
q = kelvane.Queue("kt_full", 1 << 20)
for obj in (np.ones(4 << 17), b"x" * (3 << 20)):
    try:
        q.put(obj, timeout=5)
    except OSError as e:
        assert e.errno == errno.ENOSPC, e
    else:
        raise SystemExit("put did not fail")
    assert q.qsize() == 0
    assert sorted(os.listdir("/dev/shm")) == ["kt_full"], os.listdir("/dev/shm")
q.put(np.ones(1 << 15), timeout=5)  # what fits still goes
assert q.get(timeout=5).sum() == 1 << 15
q.unlink()
assert os.listdir("/dev/shm") == []
print("ok")
"""


def test_a_full_dev_shm_is_a_clean_error_at_put(side_only):
    if os.geteuid() != 0:
        pytest.skip("a private tmpfs on /dev/shm takes root (unshare -m and mount)")
    script = f"mount -t tmpfs -o size=2m tmpfs /dev/shm && exec {sys.executable} -c '{FULL_SHM}'"
    try:
        done = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        pytest.skip("no unshare here")
    if "unshare" in done.stderr and done.returncode != 0:
        pytest.skip(f"no private mount namespace here: {done.stderr.strip()}")
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


# --- recycled blocks ---------------------------------------------------------------------


def counts(q):
    """(blocks, free, writing, queued, held) of the queue's block arena."""
    got = q._bq.arena_counts()
    return got[:5] if got else None


def test_blocks_are_recycled_and_come_back_with_the_last_view(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        for i in range(40):
            q.put(array(2 * MIB, i), timeout=10)
            got = q.get(timeout=10)
            assert _is_side_view(got) and got[0] == array(2 * MIB, i)[0]
            del got
        assert counts(q)[0] <= 2 and counts(q)[1] == counts(q)[0]  # all free again
        assert not _side.of_queue(name)
        q.put(array(2 * MIB), timeout=10)
        got = q.get(timeout=10)
        part = got[1000:2000]
        base = _exporter(got)
        del got
        assert counts(q)[4] == 1  # held: a view of it lives
        with pytest.raises(BufferError):
            base.release()
        del part, base
        assert counts(q)[4] == 0
        q.unlink()
        assert not os.path.exists(os.path.join(SHM_DIR, _blocks.arena_name(q._bq.arena_id)))


def _forge(record, **fields):
    """A reference with some fields changed, its check made right again."""
    import struct

    raw = bytearray(record)
    at = {"arena": 8, "slot": 16, "offset": 24, "capacity": 32, "generation": 40, "length": 48}
    for key, value in fields.items():
        struct.pack_into("<I" if key == "slot" else "<Q", raw, at[key], value)
    h = 1469598103934665603
    for b in raw[:56]:
        h = ((h ^ b) * 1099511628211) & (1 << 64) - 1
    struct.pack_into("<Q", raw, 56, h)
    return bytes(raw)


@pytest.mark.parametrize("damage", ["noise", "check", "arena", "slot", "generation", "length", "replayed",
                                    "block header", "part table"])
def test_a_damaged_reference_or_block_is_a_decode_error(queue_name, damage):
    """Another program's bytes in the ring or in a block: DecodeError, never a crash or a
    read outside the block, and the queue goes on."""
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        raw = KelQueue.attach(name)
        q.put(array(2 * MIB), timeout=10)
        record = q._bq.get_bytes_timed(10)  # taken: the block is this process's now
        arena = q._bq.arena_id
        if damage in ("block header", "part table"):
            offset = int.from_bytes(record[24:32], "little")
            fd = os.open(os.path.join(SHM_DIR, _blocks.arena_name(arena)), os.O_RDWR)
            at = (2 << 20) + offset + (0 if damage == "block header" else 64)
            os.pwrite(fd, b"\xff" * 24 if damage == "block header" else (1 << 62).to_bytes(8, "little") * 2, at)
            os.close(fd)
            bad = record
        else:
            bad = {
                "noise": _blocks.MAGIC + os.urandom(56),
                "check": record[:56] + bytes(8),
                "arena": _forge(record, arena=arena ^ 1),
                "slot": _forge(record, slot=1 << 31),
                "generation": _forge(record, generation=int.from_bytes(record[40:48], "little") + 1),
                "length": _forge(record, length=1 << 60),
                "replayed": record,
            }[damage]
            q._decode_one([record])  # the real one, read and let go: its block is free again
            assert counts(q)[4] == 0
        raw.put_bytes(bad)
        with pytest.raises(kelvane.DecodeError) as info:
            q.get(timeout=10)
        assert isinstance(info.value.__cause__, ValueError)
        q.put("after", timeout=10)
        assert q.get(timeout=10) == "after"
        q.unlink()


def hold_and_die(name, count, how):
    """Takes `count` arrays and keeps them; then dies (SIGKILL) or stops (SIGSTOP)."""
    q = kelvane.Queue.attach(name)
    kept = [q.get(timeout=30) for _ in range(count)]
    os.kill(os.getpid(), signal.SIGKILL if how == "killed" else signal.SIGSTOP)
    del kept


@pytest.mark.parametrize("how", ["killed", "stopped"])
def test_a_consumer_that_dies_or_stops_holding_blocks_never_stalls_producers(queue_name, spawn, how):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:  # an arena of 64 MiB: three 16 MiB blocks
        for i in range(3):
            q.put(array(16 * MIB, i), timeout=10)
        holder = spawn(hold_and_die, name, 3, how)
        deadline = time.monotonic() + 30
        while (q.qsize() or counts(q)[4] < 3) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert counts(q)[4] == 3
        if how == "killed":
            holder.join(10)
        for i in range(5):  # the dead holder's blocks come back; a stopped one's stay its own
            q.put(array(16 * MIB, i), timeout=10)
            assert q.get(timeout=10)[0] == array(16 * MIB, i)[0]
        assert counts(q)[4] == (0 if how == "killed" else 3)
        if how == "stopped":
            holder.kill()
            holder.join(10)
        q.unlink()


def test_a_forked_child_gets_private_copies_of_received_arrays(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        q.put(np.zeros(MIB), timeout=10)
        got = q.get(timeout=10)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # pytest's own threads
            pid = os.fork()
        if pid == 0:
            code = 1
            try:
                got[:] = 7  # its own memory now
                code = 0 if got.sum() == 7 * MIB else 2
                del got
                q.put(np.ones(MIB), timeout=10)  # the child may use the queue's blocks itself
            finally:
                os._exit(code)
        assert os.waitpid(pid, 0)[1] == 0
        assert got.sum() == 0 and counts(q)[4] == 1  # the child never gave back the parent's block
        assert q.get(timeout=10).sum() == MIB
        del got
        assert counts(q)[4] == 0
        q.unlink()


def test_close_of_an_unnamed_queue_takes_what_its_queued_large_messages_left():
    q = kelvane.Queue(capacity=MIB)
    name = q.name
    q.put_many([array(2 * MIB), b"x" * (3 * MIB)], timeout=10)
    with pytest.MonkeyPatch.context() as env:
        env.setenv("KELVANE_BLOCKS", "off")
        side = kelvane.Queue.attach(name)
        side.put(array(2 * MIB), timeout=10)
        side.close()
    arena = _blocks.arena_name(q._bq.arena_id)
    assert _side.of_queue(name) and os.path.exists(os.path.join(SHM_DIR, arena))
    q.close()
    assert not _side.of_queue(name) and not os.path.exists(os.path.join(SHM_DIR, arena))


def test_ls_shows_block_memory_and_rm_stale_removes_what_no_queue_names(queue_name, spawn):
    import json

    name = queue_name()
    q = kelvane.Queue(name, MIB)
    q.put_many([array(2 * MIB), array(2 * MIB)], timeout=10)
    held = q.get(timeout=10)
    arena = _blocks.arena_name(q._bq.arena_id)
    done = kelvane_cli("ls", "--json", "--prefix", name)
    entry = {e["name"]: e for e in json.loads(done.stdout)}[arena]
    assert entry["kind"] == "blocks" and entry["queue"] == name and entry["capacity"] == 64 * MIB
    assert entry["blocks"]["held_by"] == {str(os.getpid()): 1} and entry["blocks"]["queued"] == 1
    assert entry["users"][0]["pid"] == os.getpid()
    sweep = kelvane_cli(*stale_sweep(), "--prefix", name)
    assert arena not in sweep.stdout  # in use, and named by its queue
    del held
    q.close()
    KelQueue.unlink(name)  # another program removes the queue: its arena is nobody's now
    sweep = kelvane_cli(*stale_sweep(), "--prefix", name)
    assert sweep.returncode == 0 and f"removed {arena}" in sweep.stdout, sweep
    assert not os.path.exists(os.path.join(SHM_DIR, arena))


BOX = r"""
import os, warnings, multiprocessing as mp, numpy as np, kelvane
MIB = 1 << 20
def produce(name):
    q = kelvane.Queue.attach(name)
    for i in range(3):
        q.put(np.full(100 * MIB // 8, float(i)), timeout=60)
def total(a):
    return float(a.sum())
if __name__ == "__main__":
    ctx = mp.get_context("forkserver")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        q = kelvane.Queue("kt_box", 16 * MIB)
        p = ctx.Process(target=produce, args=("kt_box",))
        p.start()
        first = q.get(timeout=60)
        assert first[0] == 0 and len(first) == 100 * MIB // 8
        assert [q.get(timeout=60)[0] for _ in range(2)] == [1, 2]
        p.join(60)
        q.put(np.ones(100 * MIB // 8), timeout=60)
        assert q.get(timeout=60).sum() == 100 * MIB // 8
        assert [w.category for w in caught] == [ResourceWarning], caught
        assert "--shm-size" in str(caught[0].message)
        q.unlink()
        with kelvane.Pool(2, mp_context=ctx) as pool:
            arrays = [np.full(16 * MIB // 8, float(i)) for i in range(6)]
            assert list(pool.map(total, arrays, timeout=120)) == [float(a.sum()) for a in arrays]
    assert os.listdir("/dev/shm") == [], os.listdir("/dev/shm")
    print("ok")
"""


def test_a_container_with_64_mb_of_dev_shm_carries_large_arrays(tmp_path):
    """Queue and Pool with 100 MiB and 16 MiB arrays in a private mount namespace whose
    /dev/shm is a 64 MB tmpfs, as in a container: blocks in a memfd, with one warning."""
    if os.geteuid() != 0:
        pytest.skip("a private tmpfs on /dev/shm takes root (unshare -m and mount)")
    script = tmp_path / "box.py"
    script.write_text(BOX)
    shell = f"mount -t tmpfs -o size=64m tmpfs /dev/shm && exec {sys.executable} {script}"
    try:
        done = subprocess.run(["unshare", "-m", "sh", "-c", shell], capture_output=True, text=True, timeout=300)
    except FileNotFoundError:
        pytest.skip("no unshare here")
    if "unshare" in done.stderr and done.returncode != 0:
        pytest.skip(f"no private mount namespace here: {done.stderr.strip()}")
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


# --- kelvane.Pool ---------------------------------------------------------------------------

from test_executor import make_pool  # noqa: E402,F401  (the fixture)


def total(a):
    return float(a.sum())


def doubled(a):
    return a * 2


def view_of_side(a):
    return _is_side_view(a)


def die_with(a):
    os.kill(os.getpid(), signal.SIGKILL)


def test_pool_arrays_in_and_out_without_copies(make_pool):
    pool = make_pool(2, capacity=MIB)
    arrays = [array(4 * MIB, i) for i in range(4)]
    assert pool.submit(view_of_side, arrays[0]).result(timeout=60)  # the worker's argument
    got = pool.submit(doubled, arrays[1]).result(timeout=60)
    assert _is_side_view(got) and np.array_equal(got, arrays[1] * 2)
    assert list(pool.map(total, arrays, timeout=60)) == [float(a.sum()) for a in arrays]
    results = pool.map(doubled, arrays, timeout=60)
    pool.shutdown()
    # Read after the pool is gone: every large result was mapped as it arrived.
    for a, b in zip(arrays, results):
        assert np.array_equal(b, a * 2)


def test_pool_worker_killed_with_a_large_task_leaves_nothing(make_pool):
    pool = make_pool(1, capacity=MIB)
    with pytest.raises(kelvane.WorkerDiedError):
        pool.submit(die_with, array(4 * MIB)).result(timeout=60)
    assert pool.submit(total, array(4 * MIB)).result(timeout=60) == float(array(4 * MIB).sum())


def test_pool_cancelled_large_tasks_leave_nothing(make_pool):
    pool = make_pool(1, capacity=MIB)
    futures = [pool.submit(total, array(2 * MIB, i)) for i in range(8)]
    pool.shutdown(cancel_futures=True)
    assert all(f.cancelled() or f.result(timeout=60) == float(array(2 * MIB, i).sum())
               for i, f in enumerate(futures))


def test_a_storm_of_large_messages_loses_only_what_killed_consumers_held():
    """Producers and consumers killed at random while mostly large messages flow: nothing
    duplicated or damaged, no loss beyond the consumers killed while taking one, and after
    the sweep nothing of the queue's is left beside it (even a half-written segment)."""
    from kelvane.tools import torture

    figures = torture.large_storm(kills_per_role=15, min_seconds=1.5, seed=15)
    assert figures["problems"] == [], figures
    assert figures["messages_moved"] > 0 and figures["side_segments_left"] == 0
