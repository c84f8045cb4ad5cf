"""What a put accepts: records up to 4 GiB - 1 bytes (the length field holds no
more); bytes only in put_bytes, any C-contiguous buffer in the calls with a time
limit and in batches."""

import mmap
import os
import time

import pytest

from kelvane_core import KelQueue

MIB = 1 << 20
GIB = 1 << 30
LIMIT_TEXT = r"^a message of {} bytes is over the 4 GiB limit of a record \(4294967295 bytes at most\)$"


def memory_for_a_ring_over_4_gib():
    """A ring that can hold a 4 GiB message reserves 4 GiB of /dev/shm, which is memory."""
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:"))
    shm = os.statvfs("/dev/shm")
    return available >= 12 * GIB and shm.f_bavail * shm.f_frsize >= 6 * GIB


@pytest.mark.skipif(not memory_for_a_ring_over_4_gib(),
                    reason="needs 12 GiB of free memory and 6 GiB of /dev/shm for a ring of 4 GiB + 1 MiB")
def test_messages_of_4_gib_and_more_are_refused_naming_the_record_limit(shm_name):
    q = KelQueue(shm_name("huge"), 4 * 1024 + 1)  # a ring they fit in
    # bytes(n) costs no memory: its pages are the zero page until written.
    for size in (1 << 32, (1 << 32) + 12345):
        huge = bytes(size)
        for put in (lambda: q.put_bytes(huge), lambda: q.put_bytes_timed(huge, 0),
                    lambda: q.put_many([b"small", huge], None)):
            with pytest.raises(ValueError, match=LIMIT_TEXT.format(size)):
                put()
        del huge
    assert q.stats() == (0, 0)


def test_a_message_longer_than_the_ring_keeps_its_error(shm_name):
    """Whatever its length, a message that does not fit the ring is refused as before."""
    q = KelQueue(shm_name("q"), 1)
    for size in (MIB - 3, 1 << 32):
        with pytest.raises(RuntimeError, match="^Queue put error: Buffer too small$"):
            q.put_bytes(bytes(size))


# --- buffers ------------------------------------------------------------------------------------

def numpy_or_skip():
    return pytest.importorskip("numpy")


def contiguous_buffers():
    """(id, object, the bytes it holds)."""
    import array

    cases = [
        ("bytes", b"plain", b"plain"),
        ("bytearray", bytearray(b"array"), b"array"),
        ("memoryview", memoryview(b"view"), b"view"),
        ("memoryview slice", memoryview(b"-slice-")[1:6], b"slice"),
        ("array.array", array.array("I", [1, 2]), (1).to_bytes(4, "little") + (2).to_bytes(4, "little")),
        ("mmap", None, b"mapped"),
        ("empty bytearray", bytearray(), b""),
    ]
    return cases


@pytest.fixture
def q(shm_name):
    return KelQueue(shm_name("buf"), 1)


@pytest.mark.parametrize("case", [c[0] for c in contiguous_buffers()])
@pytest.mark.parametrize("call", ["put_bytes_timed", "put_many"])
def test_the_newer_puts_take_any_contiguous_buffer(q, case, call):
    _, obj, expected = next(c for c in contiguous_buffers() if c[0] == case)
    if obj is None:
        obj = mmap.mmap(-1, len(expected))
        obj.write(expected)
    if call == "put_bytes_timed":
        assert q.put_bytes_timed(obj, 0) is True
        assert q.get_bytes_timed(0) == expected
    else:
        assert q.put_many([b"first", obj, obj], None) is True
        assert q.get_many(5, 0) == [b"first", expected, expected]


def test_numpy_arrays_go_in_as_their_bytes(q):
    np = numpy_or_skip()
    matrix = np.arange(12, dtype=np.int32).reshape(3, 4)
    assert q.put_bytes_timed(matrix, 0) is True
    assert q.put_many([matrix[1], np.float64(2.5)], 0) is True
    assert q.get_bytes_timed(0) == matrix.tobytes()
    assert q.get_many(2, 0) == [matrix[1].tobytes(), np.float64(2.5).tobytes()]


def non_contiguous():
    cases = [("memoryview step", lambda: memoryview(b"abcdef")[::2], "memoryview: underlying buffer is not C-contiguous")]
    try:
        import numpy as np
    except ImportError:
        return cases
    return cases + [
        ("numpy column", lambda: np.arange(12).reshape(3, 4)[:, 1], "ndarray is not C-contiguous"),
        ("numpy fortran", lambda: np.asfortranarray(np.ones((3, 3))), "ndarray is not C-contiguous"),
    ]


@pytest.mark.parametrize("case", [c[0] for c in non_contiguous()])
def test_a_buffer_that_is_not_contiguous_is_refused_with_buffer_error(q, case):
    _, make, why = next(c for c in non_contiguous() if c[0] == case)
    with pytest.raises(BufferError) as info:
        q.put_bytes_timed(make(), 0)
    assert str(info.value) == f"put_bytes_timed() argument 'data' must be a C-contiguous buffer ({why})"
    assert info.value.__cause__ is not None
    with pytest.raises(BufferError, match=r"must hold C-contiguous buffers \(.* at index 1\)$"):
        q.put_many([b"ok", make()], 0)
    assert q.stats() == (0, 0)


@pytest.mark.parametrize("bad", ["text", 5, None, [b"x"]], ids=type)
def test_objects_without_a_buffer_are_refused_with_type_error(q, bad):
    with pytest.raises(TypeError, match="^put_bytes_timed\\(\\) argument 'data' must be a bytes-like object, not "):
        q.put_bytes_timed(bad, 0)
    with pytest.raises(TypeError, match="^put_many\\(\\) argument 'items' must hold bytes-like objects, not .* at index 0$"):
        q.put_many([bad], 0)
    assert q.stats() == (0, 0)


def test_put_bytes_keeps_taking_bytes_only(q):
    for bad in (bytearray(b"x"), memoryview(b"x")):
        with pytest.raises(TypeError, match="^put_bytes\\(\\) argument 'data' must be bytes, not "):
            q.put_bytes(bad)
    assert q.stats() == (0, 0)


def test_a_buffer_cannot_be_resized_while_a_put_waits_with_it(q):
    """The export pins the memory the put reads: a bytearray cannot move under it."""
    import threading

    q.put_bytes(b"f" * (q.capacity - 4))  # full: the put waits
    data = bytearray(b"pinned")
    done = {}
    t = threading.Thread(target=lambda: done.setdefault("put", q.put_bytes_timed(data, 10)), daemon=True)
    t.start()
    time.sleep(0.3)
    with pytest.raises(BufferError):
        data.extend(b" and more")
    q.get_bytes()
    t.join(10)
    assert done == {"put": True}
    assert q.get_bytes_timed(0) == b"pinned"
    data.extend(b" and more")  # released once the put is over
