"""What a put accepts: records up to 4 GiB - 1 bytes (the length field holds no
more); bytes only in put_bytes, any C-contiguous buffer in the calls with a time
limit and in batches."""

import os

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
