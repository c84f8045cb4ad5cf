"""Objects larger than the ring, and arrays that arrive without a copy: side segments."""

import mmap
import os
import pickle
import queue
import signal
import subprocess
import sys
import time
import warnings

import pytest

import kelvane
from conftest import SHM_DIR, join_or_kill
from kelvane import _blocks, _side, shm_admin
from kelvane._native import Block
from kelvane_core import KelQueue
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
def test_a_viewed_large_message_takes_its_segment_with_it(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        q.put(array(2 * MIB), timeout=10)
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
def test_rm_stale_sweeps_orphans_and_keeps_what_is_referenced(queue_name, spawn):
    name = queue_name()
    q = kelvane.Queue(name, MIB)
    # An orphan of a killed producer; a record in the queue whose producer has exited; a
    # record taken by a consumer killed before it opened the segment.
    assert join_or_kill(spawn(make_orphan, name, 2 * MIB)) == -signal.SIGKILL
    assert join_or_kill(spawn(produce, name, [2 * MIB, 2 * MIB])) == 0
    kept, taken = _side.of_queue(name), None
    assert len(kept) == 3
    assert join_or_kill(spawn(take_record_and_die, name)) == -signal.SIGKILL
    listed = sides_listed(name)
    assert set(listed) == set(kept)
    assert {e["queue"] for e in listed.values()} == {name}
    time.sleep(shm_admin.SIDE_GRACE + 0.2)
    done = kelvane_cli(*stale_sweep(), "--prefix", name)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("removed ks_") == 2
    left = _side.of_queue(name)
    assert len(left) == 1  # the one a record still refers to
    assert same(q.get(timeout=10)[1], array(2 * MIB, 1))
    assert not _side.of_queue(name)
    q.unlink()
    q.close()


@pytest.mark.usefixtures("side_only")
def test_a_young_orphan_is_not_stale_yet(queue_name, spawn):
    """A consumer may be between taking a record and opening its segment: a side segment
    younger than the grace period is kept, whoever made it."""
    name = queue_name()
    assert join_or_kill(spawn(make_orphan, name, MIB)) == -signal.SIGKILL
    (seg,), _ = shm_admin.scan(name)
    assert seg.kind == "side" and seg.queue == name and not seg.users
    seg.age = shm_admin.SIDE_GRACE / 2
    assert shm_admin._stale_sides([seg], False, set(), []) == ([], [])
    seg.age = shm_admin.SIDE_GRACE
    assert shm_admin._stale_sides([seg], False, set(), []) == ([seg], [])
    # Seen from a partial view of the processes, a dead creator is not proven dead.
    seg.unproven = True
    assert shm_admin._stale_sides([seg], False, set(), []) == ([], [seg])
    assert shm_admin._stale_sides([seg], True, set(), []) == ([seg], [seg])
    _side.remove(seg.name)


@pytest.mark.usefixtures("side_only")
def test_rm_stale_keeps_the_segments_of_a_live_producer(queue_name):
    name = queue_name()
    with kelvane.Queue(name, MIB) as q:
        ref = _side.write(name, b"x")  # made here, not stored yet: this process runs
        time.sleep(shm_admin.SIDE_GRACE + 0.2)
        assert "removed" not in kelvane_cli(*stale_sweep(), "--prefix", name).stdout
        assert _side.of_queue(name) == [ref.segment]
        q.unlink()


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
            q._decode(record)  # the real one, read and let go: its block is free again
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
