"""A process stopped by SIGKILL at each named point inside put_bytes, get_bytes and
the wait: the queue stays consistent, no partial record is ever seen, the message
is whole or absent (put) / still there or consumed (get), and the others carry on.

These need the crash-test build (KELVANE_KILL_POINTS=ON at install time); with
the released module they are skipped."""

import pytest

from kelvane.tools import torture

MIB = torture.MIB

pytestmark = [
    pytest.mark.skipif(
        not torture.kill_points_available(),
        reason="the installed kelvane_core has no kill points; "
        "install with KELVANE_KILL_POINTS=ON to run the crash-point tests",
    ),
    pytest.mark.usefixtures("nothing_left_behind"),
]

# Where the record starts in the ring: inside it, with its length field cut by the
# end of the ring, with its payload cut by the end of the ring.
OFFSETS = {"inside": 100, "length_wraps": MIB - 2, "payload_wraps": MIB - 500}


@pytest.mark.parametrize("where", OFFSETS)
@pytest.mark.parametrize("point", torture.PUT_POINTS)
def test_producer_killed_inside_put(point, where):
    result = torture.kill_put(point, OFFSETS[where])
    assert result["problems"] == []
    assert result["delivered"] == (point == "put:after_position")


@pytest.mark.parametrize("where", OFFSETS)
@pytest.mark.parametrize("point", torture.GET_POINTS)
def test_consumer_killed_inside_get(point, where):
    result = torture.kill_get(point, OFFSETS[where])
    assert result["problems"] == []
    assert result["consumed"] == (point == "get:after_position")


@pytest.mark.parametrize("skip", [0, 2], ids=["first_wait", "third_wait"])
@pytest.mark.parametrize("role", ["consumer", "producer"])
def test_waiter_killed_about_to_sleep(role, skip):
    result = torture.kill_waiter(role, skip)
    assert result["problems"] == []
    assert result["carry_on_s"] is not None and result["carry_on_s"] <= 1.0


# Batches: a producer killed anywhere inside put_many leaves none of the batch (the
# position is stored once, after the last record); a consumer killed inside get_many
# has taken exactly the records whose position it stored.
BATCH = [bytes([i]) * (300 + i) for i in range(5)]


@pytest.mark.parametrize("where", OFFSETS)
@pytest.mark.parametrize("point, skip", [("put:after_length", 3), ("put:mid_copy", 1), ("put:mid_copy", 4)])
def test_producer_killed_inside_a_batch_leaves_none_of_it(point, skip, where):
    from kelvane_core import KelQueue

    name = torture.new_name("kbatch")
    q = KelQueue(name, 1)
    try:
        torture._advance(q, MIB, OFFSETS[where])
        before = torture.queue_header(name)
        problems = torture._killed_call("producer", name, 1, f"q.put_many({BATCH!r}, None)", point, skip)
        assert problems == []
        assert torture.queue_header(name)["write_pos"] == before["write_pos"]
        assert torture.header_problems(name, MIB) == []
        assert q.put_many(BATCH, 5) is True
        assert q.get_many(10, 5) == BATCH
    finally:
        del q
        KelQueue.unlink(name)


@pytest.mark.parametrize("where", OFFSETS)
@pytest.mark.parametrize("skip", [0, 2])
def test_consumer_killed_inside_a_batch_took_only_what_it_stored(skip, where):
    from kelvane_core import KelQueue

    name = torture.new_name("kbatch")
    q = KelQueue(name, 1)
    try:
        torture._advance(q, MIB, OFFSETS[where])
        assert q.put_many(BATCH, 5) is True
        problems = torture._killed_call("consumer", name, 1, "q.get_many(10, None)", "get:after_position", skip)
        assert problems == []
        assert torture.header_problems(name, MIB) == []
        assert q.get_many(10, 5) == BATCH[skip + 1 :]
    finally:
        del q
        KelQueue.unlink(name)


# Large messages in recycled blocks: a process killed on the way leaves its block to the
# next process that looks (the positions tell what it had done), and a message is either
# whole in the ring or gone with a consumer that had taken it.
BLOCK_KILLS = {
    "block:acquired": ("producer", False),  # filled, never published
    "block:published": ("producer", False),  # killed inside the put, before the write position
    "put:after_position": ("producer", True),
    "block:taken": ("consumer", True),  # killed inside the get, before the read position
    "get:after_position": ("consumer", False),  # taken: lost with its consumer
}
LARGE = b"p" * (600 * 1024)


@pytest.mark.parametrize("point", BLOCK_KILLS)
def test_a_process_killed_around_a_block_leaves_it_to_the_next(point):
    import uuid

    import kelvane

    role, delivered = BLOCK_KILLS[point]
    name = f"kt_kb_{uuid.uuid4().hex[:12]}"
    q = kelvane.Queue(name, MIB)
    try:
        if role == "consumer":
            q.put(LARGE, timeout=10)
        code = (f"import kelvane\nq = kelvane.Queue.attach({name!r})\n"
                + (f"q.put(b'p' * {len(LARGE)}, timeout=10)" if role == "producer" else "q.get(timeout=10)"))
        status, _, err = torture.run_python(code, env={"KELVANE_KILL_AT": point})
        assert status == -9, err
        assert q.qsize() == (1 if delivered else 0)
        q.put(b"q" * len(LARGE), timeout=10)  # blocks are there for the next producer
        got = [q.get(timeout=10) for _ in range(q.qsize())]
        assert got == ([LARGE] if delivered else []) + [b"q" * len(LARGE)]
        del got
        counts = q._bq.reclaim()
        assert counts[2:5] == (0, 0, 0) and counts[9] == 0, counts  # nothing writing, queued, held, lent
    finally:
        q.unlink()
        q.close()
