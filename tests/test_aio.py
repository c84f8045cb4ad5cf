"""kelvane.AsyncQueue: asyncio.Queue's shape over a cross-process queue, on the default
event loop and on uvloop; awaiting costs no thread; cancellation takes or stores nothing."""

import asyncio
import importlib.util
import os
import pickle
import queue
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kelvane
from conftest import SHM_DIR, QueueHeader, join_or_kill
from kelvane import AsyncQueue, DecodeError
from kelvane_core import KelQueue
from test_mutex_wait import resume, stopped_holder  # noqa: F401 (a fixture)

MIB = 1 << 20
NOT_EMPTY, NOT_FULL = 128, 256
LOOPS = ["asyncio"] + (["uvloop"] if importlib.util.find_spec("uvloop") else [])


def loop_factory(kind):
    if kind == "uvloop":
        import uvloop

        return uvloop.new_event_loop
    return asyncio.new_event_loop


@pytest.fixture(params=LOOPS)
def run(request):
    """Runs a coroutine to its end on a new loop of the kind; a hang fails after `limit` s."""
    factory = loop_factory(request.param)

    def run(coro, limit=30):
        async def guarded():
            async with asyncio.timeout(limit):
                return await coro

        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(guarded())

    return run


@pytest.fixture
def aq(shm_name):
    q = AsyncQueue(shm_name("q"), MIB)
    yield q
    q.close()


# --- child bodies (spawned) -------------------------------------------------------------------


def put_objects(name, objs, delay):
    time.sleep(delay)
    q = kelvane.Queue.attach(name)
    for obj in objs:
        q.put(obj)


def async_producer(name, count):
    async def main():
        q = AsyncQueue.attach(name)
        for i in range(count):
            await q.put(i)

    asyncio.run(main())


def async_consumer_of(name, count, out):
    async def main():
        q = AsyncQueue.attach(name)
        return [await q.get() for _ in range(count)]

    out.put(asyncio.run(main()))


# --- the asyncio.Queue shape ------------------------------------------------------------------


def test_put_get_nowait_and_the_counts(aq, run):
    async def main():
        assert aq.empty() and not aq.full() and aq.qsize() == 0
        with pytest.raises(asyncio.QueueEmpty):
            aq.get_nowait()
        await aq.put({"job": 1})
        aq.put_nowait([2])
        await aq.put_many(range(3))
        assert aq.qsize() == 5 and not aq.empty()
        assert await aq.get() == {"job": 1}
        assert aq.get_nowait() == [2]
        assert await aq.get_many(10) == [0, 1, 2]
        raw = KelQueue.attach(aq.name)
        raw.put_bytes(b"f" * (MIB - 4))  # leaves no room at all
        assert aq.full() and aq.qsize() == 1
        with pytest.raises(asyncio.QueueFull):
            aq.put_nowait(None)
        assert raw.try_get_many(1) == [b"f" * (MIB - 4)]

    run(main())


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda q: AsyncQueue.attach(q.name, serializer=None).put(b"x" * MIB), ValueError),  # bytes must fit
        (lambda q: AsyncQueue.attach(q.name, serializer=None).put_many([b"x" * (MIB // 2)] * 3), ValueError),
        (lambda q: q.put(lambda: 0), (pickle.PicklingError, AttributeError)),
        (lambda q: q.get_many(0), ValueError),
        (lambda q: q.get_many("1"), TypeError),
    ],
)
def test_what_can_never_be_done_is_refused_at_once_and_puts_nothing(aq, run, call, error):
    async def main():
        with pytest.raises(error):
            await call(aq)
        assert aq.qsize() == 0

    run(main())


def test_a_queue_without_a_name_is_removed_by_close(run):
    async def main():
        q = AsyncQueue(capacity=MIB)
        assert q.name in os.listdir(SHM_DIR)
        await q.put(1)
        q.close()
        assert q.name not in os.listdir(SHM_DIR)
        with pytest.raises(ValueError, match="closed"):
            await q.get()

    run(main())


def test_the_sync_and_async_sides_share_one_queue_object(shm_name, run):
    q = kelvane.Queue(shm_name("q"), MIB)
    try:
        side = q.async_q
        assert side.sync_q is q and side.name == q.name and side.capacity == q.capacity

        async def main():
            q.put("from sync")
            assert await side.get() == "from sync"
            await side.put("from async")
            assert q.get(timeout=5) == "from async"

        run(main())
    finally:
        q.close()


def test_async_for_takes_messages_until_the_queue_object_is_closed(aq, run):
    async def main():
        await aq.put_many(["a", "b", "c"])
        got = []

        async def consume():
            async for obj in aq:
                got.append(obj)

        task = asyncio.ensure_future(consume())
        while len(got) < 3:
            await asyncio.sleep(0.01)
        aq.close()  # the waiting get ends; so does the loop
        await asyncio.wait_for(task, 5)
        assert got == ["a", "b", "c"]

    run(main())


def test_a_message_that_does_not_decode_is_reported_alone(aq, run):
    async def main():
        raw = KelQueue.attach(aq.name)
        raw.put_bytes(b"not a pickle")
        await aq.put("fine")
        with pytest.raises(DecodeError) as info:
            await aq.get()
        assert info.value.data == b"not a pickle"
        assert await aq.get() == "fine"
        raw.put_many([pickle.dumps(1), b"bad", pickle.dumps(3)], 0)
        assert await aq.get_many(10) == [1]
        with pytest.raises(DecodeError):
            await aq.get_many(10)
        assert aq.qsize() == 1  # held by this object, served next
        assert await aq.get() == 3

    run(main())


def test_an_async_queue_passed_to_another_process_attaches_by_name(aq, spawn, mp):
    out = mp.Queue()
    proc = spawn(async_consumer_of, aq.name, 2, out)
    aq.sync_q.put_many(["x", "y"])
    assert out.get(timeout=30) == ["x", "y"]
    assert join_or_kill(proc) == 0
    assert pickle.loads(pickle.dumps(aq)).name == aq.name


# --- waiting for other processes ----------------------------------------------------------------


def test_awaiting_a_message_from_another_process_leaves_the_loop_running(aq, spawn, run):
    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        ticker = asyncio.ensure_future(tick())
        proc = spawn(put_objects, aq.name, ["late"], 0.5)
        started = time.monotonic()
        assert await aq.get() == "late"
        assert time.monotonic() - started > 0.3
        assert ticks > 10  # the loop ran all the while
        ticker.cancel()
        assert join_or_kill(proc) == 0

    run(main())


def test_a_full_queue_puts_once_another_process_takes(aq, spawn, mp, run):
    out = mp.Queue()

    async def main():
        big = b"b" * (MIB // 2)
        await aq.put(big)
        proc = spawn(async_consumer_of, aq.name, 2, out)
        await aq.put(big)  # waits for the first one to be taken
        assert [len(m) for m in out.get(timeout=30)] == [len(big)] * 2
        assert join_or_kill(proc) == 0

    run(main())


def test_async_and_sync_producers_and_consumers_in_several_processes(aq, spawn, mp, run):
    n = 400
    producers = [spawn(async_producer, aq.name, n) for _ in range(2)]

    async def main():
        got = []
        while len(got) < 2 * n:
            got += await aq.get_many(50)
        return got

    got = run(main())
    assert sorted(got) == sorted(list(range(n)) * 2)
    assert [join_or_kill(p) for p in producers] == [0, 0]


def test_many_tasks_awaiting_many_queues_cost_one_thread(shm_name, run):
    count = 200  # more than one futex_waitv call takes
    queues = [AsyncQueue(shm_name("w"), MIB) for _ in range(count)]
    try:
        async def main():
            before = threading.active_count()
            tasks = [asyncio.ensure_future(q.get()) for q in queues]
            await asyncio.sleep(0.3)
            assert threading.active_count() <= max(before, 1) + 1
            for i, q in enumerate(queues):
                KelQueue.attach(q.name).put_bytes(pickle.dumps(i))
            return await asyncio.gather(*tasks)

        assert run(main()) == list(range(count))
    finally:
        for q in queues:
            q.close()


def test_one_queue_awaited_by_many_tasks_gives_each_message_once(aq, spawn, run):
    n = 300
    proc = spawn(put_objects, aq.name, list(range(n)), 0.2)

    async def main():
        got = []

        async def consumer():
            while True:
                got.append(await aq.get())

        tasks = [asyncio.ensure_future(consumer()) for _ in range(20)]
        while len(got) < n:
            await asyncio.sleep(0.01)
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        return got

    assert sorted(run(main())) == list(range(n))
    assert join_or_kill(proc) == 0
    assert aq.qsize() == 0


def test_a_stopped_holder_of_the_queues_lock_never_blocks_the_loop(aq, stopped_holder, run):  # noqa: F811
    async def main():
        await aq.put("there")
        holder = stopped_holder(aq.name)
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        ticker = asyncio.ensure_future(tick())
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.5):
                await aq.get()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.3):
                await aq.put("more")
        with pytest.raises(asyncio.QueueEmpty):
            aq.get_nowait()  # the lock is busy at this instant
        assert ticks > 30 and time.monotonic() - started < 3
        assert aq.qsize() == 1  # counted without the lock
        getter = asyncio.ensure_future(aq.get())
        await asyncio.sleep(0.1)
        resume(holder)
        assert await asyncio.wait_for(getter, 5) == "there"
        ticker.cancel()

    run(main())


# --- cancellation and time limits --------------------------------------------------------------


def test_a_cancelled_get_has_taken_nothing(aq, spawn, run):
    async def main():
        for limit in (0, 0.05):
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(aq.get(), limit)
        task = asyncio.ensure_future(aq.get_many(5))
        await asyncio.sleep(0.1)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        proc = spawn(put_objects, aq.name, ["kept"], 0)
        assert join_or_kill(proc) == 0
        assert aq.sync_q.get(timeout=5) == "kept"
        assert QueueHeader(aq.name).sleepers(NOT_EMPTY) == 0

    run(main())


def test_a_cancelled_put_has_stored_nothing(aq, run):
    raw = AsyncQueue.attach(aq.name, serializer=None)  # a message this large stays in the ring

    async def main():
        await raw.put(b"f" * (MIB - 200))
        for call in (lambda: aq.put(b"p" * 500), lambda: aq.put_many([b"m" * 100] * 5)):
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.1):
                    await call()
        assert aq.qsize() == 1
        assert len(await raw.get()) == MIB - 200
        assert aq.qsize() == 0

    run(main())


def test_time_limits_at_every_instant_lose_and_double_nothing(aq, spawn, run):
    """A producer process streams numbers while this loop takes them with ever shorter time
    limits, and puts them back into a small second queue with time limits too: every
    number that a call returned (or stored) is accounted for exactly once."""
    n = 3000
    proc = spawn(put_objects, aq.name, list(range(n)), 0.1)
    rng = random.Random(7)

    async def main():
        got, timeouts = [], 0
        while len(got) < n:
            try:
                async with asyncio.timeout(rng.choice([0, 0.0001, 0.001, 0.01])):
                    if rng.random() < 0.5:
                        got.append(await aq.get())
                    else:
                        got += await aq.get_many(rng.randint(1, 20))
            except TimeoutError:
                timeouts += 1
        return got, timeouts

    got, timeouts = run(main())
    assert got == list(range(n))  # one consumer: in order, none lost, none twice
    assert timeouts > 0
    assert join_or_kill(proc) == 0
    assert aq.qsize() == 0


def test_puts_with_time_limits_store_exactly_what_they_said(aq, run):
    """A slow reader thread drains the queue while this loop puts with short time limits:
    what the reader finds is exactly what the puts said they stored, in order."""
    rng = random.Random(11)
    stop = threading.Event()
    stored = []

    def drain():
        q = kelvane.Queue.attach(aq.name)
        while True:
            try:
                stored.append(q.get(timeout=0.05)[0])
            except queue.Empty:
                if stop.is_set():
                    return
            time.sleep(0.0005)  # slower than the puts: they often find no room

    async def main():
        said = []
        for i in range(600):
            try:
                async with asyncio.timeout(rng.choice([0, 0.0005, 0.005])):
                    if i % 3:
                        await aq.put((i, b"x" * 40_000))
                        said.append(i)
                    else:
                        await aq.put_many([(i, b"y" * 20_000), (i, b"z")])
                        said += [i, i]
            except TimeoutError:
                pass
        return said

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        said = run(main())
    finally:
        stop.set()
        reader.join(30)
    assert not reader.is_alive()
    assert stored == said
    assert 0 < len(set(said)) < 600  # some went in, some ran out of time


CTRL_C = textwrap.dedent(
    r"""
    import asyncio, sys
    from kelvane import AsyncQueue

    async def main():
        q = AsyncQueue.attach(sys.argv[1])
        print("waiting", flush=True)
        await q.get()

    asyncio.run(main())
    """
)


def test_ctrl_c_stops_asyncio_run_at_once_and_takes_nothing(aq):
    child = subprocess.Popen([sys.executable, "-c", CTRL_C, aq.name], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(5)
    assert child.returncode in (-signal.SIGINT, 130, 1)
    assert "KeyboardInterrupt" in err
    aq.put_nowait("still here")
    assert aq.get_nowait() == "still here"
    assert QueueHeader(aq.name).sleepers(NOT_EMPTY) == 0


EXIT_WITH_PENDING = textwrap.dedent(
    r"""
    import asyncio, sys, threading, time
    from kelvane import AsyncQueue

    case, named = sys.argv[1], sys.argv[2]
    mine = AsyncQueue(capacity=1 << 20)            # made without a name: removed at exit
    print(mine.name, flush=True)
    other = AsyncQueue.attach(named)

    async def waiting():
        tasks = [asyncio.ensure_future(mine.get()) for _ in range(3)]       # empty: they wait
        tasks.append(asyncio.ensure_future(other.put(b"x" * 1000)))            # no room: it waits
        await asyncio.sleep(0.3)
        return tasks

    if case == "asyncio.run returns":
        asyncio.run(waiting())                       # cancels the pending tasks on its way out
    else:
        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()
        asyncio.run_coroutine_threadsafe(waiting(), loop).result(10)
        time.sleep(0.2)                              # the main thread returns; the loop never ends
    """
)


@pytest.mark.parametrize("case", ["asyncio.run returns", "a daemon thread's loop still waits"])
def test_interpreter_exit_with_pending_awaits_exits_0_and_leaves_nothing(shm_name, case):
    named = AsyncQueue(shm_name("q"), MIB)
    try:
        KelQueue.attach(named.name).put_bytes(b"f" * (MIB - 200))  # 196 bytes of room left
        child = subprocess.run([sys.executable, "-c", EXIT_WITH_PENDING, case, named.name],
                               capture_output=True, text=True, timeout=60)
        assert (child.returncode, child.stderr) == (0, "")
        unnamed = child.stdout.strip()
        assert unnamed.startswith("kq_") and unnamed not in os.listdir(SHM_DIR)
        assert named.qsize() == 1  # the pending put stored nothing
        header = QueueHeader(named.name)
        assert header.sleepers(NOT_EMPTY) == header.sleepers(NOT_FULL) == 0
    finally:
        named.close()


FORK = textwrap.dedent(
    r"""
    import asyncio, os, sys
    from kelvane import AsyncQueue
    q = AsyncQueue.attach(sys.argv[1])

    async def one():
        return await q.get()

    assert asyncio.run(one()) == "for the parent"      # the parent's waiting thread exists now
    pid = os.fork()
    if pid == 0:
        got = asyncio.run(one())                        # the child starts a thread of its own
        os._exit(0 if got == "for the child" else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status), asyncio.run(one()), flush=True)
    """
)


def test_a_forked_child_awaits_with_its_own_waiting_thread(aq):
    child = subprocess.Popen([sys.executable, "-c", FORK, aq.name], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        aq.sync_q.put("for the parent")
        time.sleep(0.5)
        aq.sync_q.put("for the child")
        time.sleep(0.5)
        aq.sync_q.put("parent again")
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(5)
    assert child.returncode == 0, err
    assert out.split() == ["0", "parent", "again"]


def test_large_objects_travel_beside_the_ring_and_a_put_that_stores_nothing_leaves_nothing(aq, run):
    """A message too large for the ring goes in a block of the queue's arena (or a side
    segment of its own); a put that is cancelled, runs out of time, meets a full queue or a
    batch that never fits gives its block back and removes its segment."""
    from kelvane import _side

    big = bytes(range(256)) * (2 * MIB // 256)  # twice the ring

    def in_flight():
        counts = aq.sync_q._bq.arena_counts()
        return len(_side.of_queue(aq.name)) + (counts[2] + counts[3] if counts else 0)

    async def main():
        await aq.put(big)
        assert in_flight() == 1
        assert await aq.get() == big
        assert in_flight() == 0
        await AsyncQueue.attach(aq.name, serializer=None).put(b"f" * (MIB - 60))  # no room even for a reference
        for call in (lambda: aq.put(big), lambda: aq.put_many([big, b"x"])):
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.1):
                    await call()
            assert in_flight() == 0
        with pytest.raises(asyncio.QueueFull):
            aq.put_nowait(big)
        with pytest.raises(ValueError, match="can never go in whole"):
            await aq.put_many([big] * 80)
        assert in_flight() == 0
        assert aq.qsize() == 1

    run(main())


# --- closing, and loops that stop ---------------------------------------------------------------


@pytest.mark.parametrize("call", ["get", "put"])
@pytest.mark.parametrize("how", ["Queue.close", "with Queue"])
def test_closing_the_blocking_side_wakes_what_awaits_the_async_side(run, how, call):
    """The same handle: as AsyncQueue.close does, kelvane.Queue.close (or the end of its
    `with`) makes the calls awaiting its async_q raise ValueError."""
    async def main():
        q = kelvane.Queue(capacity=MIB)  # without a name: no message could ever come
        if call == "put":
            KelQueue.attach(q.name).put_bytes(b"f" * (MIB - 200))
        waiting = asyncio.ensure_future(q.async_q.get() if call == "get" else q.async_q.put(b"x" * 1000))
        await asyncio.sleep(0.1)
        assert not waiting.done()
        if how == "Queue.close":
            q.close()
        else:
            with q:
                pass
        with pytest.raises(ValueError, match="is closed"):
            await asyncio.wait_for(waiting, 5)

    run(main())


def test_a_call_that_registers_with_the_waiting_thread_after_close_raises(aq, run, monkeypatch):
    """close() on another thread between a call's last try and its registration: the call
    finds the handle closed when it registers, instead of waiting on it for ever."""
    import kelvane.aio as aio

    real = aio._the_waiter()

    class Late:
        def __getattr__(self, name):
            return getattr(real, name)

        def wait(self, *args, **kwargs):
            closing = threading.Thread(target=aq.close)
            closing.start()
            closing.join(5)
            return real.wait(*args, **kwargs)

    monkeypatch.setattr(aio, "_the_waiter", lambda: Late())

    async def main():
        with pytest.raises(ValueError, match="is closed"):
            await asyncio.wait_for(aq.get(), 5)

    run(main())


PENDING_LARGE_PUT = textwrap.dedent(
    r"""
    import asyncio, signal, sys
    from kelvane import AsyncQueue

    case, name = sys.argv[1], sys.argv[2]
    loop = asyncio.new_event_loop()
    q = AsyncQueue.attach(name)
    task = loop.create_task(q.put(bytes(4 << 20)))  # no room for even its reference: it waits
    if case == "ctrl-c":
        loop.call_later(0.3, signal.raise_signal, signal.SIGINT)
        loop.run_until_complete(asyncio.sleep(30))  # KeyboardInterrupt, the put still pending
    else:
        loop.run_until_complete(asyncio.sleep(0.3))  # the program ends, the loop stopped
    """
)


@pytest.mark.parametrize("case", ["ctrl-c", "exit"])
def test_a_put_pending_on_a_stopped_loop_leaves_no_segment_at_exit(aq, case):
    from kelvane import _side

    KelQueue.attach(aq.name).put_bytes(b"f" * (MIB - 60))  # no room even for a block's reference
    child = subprocess.run([sys.executable, "-c", PENDING_LARGE_PUT, case, aq.name], capture_output=True,
                           text=True, timeout=60)
    assert child.returncode in ((1, -signal.SIGINT) if case == "ctrl-c" else (0,)), child.stderr
    assert ("KeyboardInterrupt" in child.stderr) == (case == "ctrl-c")
    assert _side.of_queue(aq.name) == [] and aq.qsize() == 1


def test_the_waits_of_a_closed_loop_are_dropped(run):
    """Tasks awaiting gets on loops that were closed, and dropped: their queues are
    collected (so one made without a name loses it) and nobody watches them any more."""
    import gc

    import kelvane.aio as aio

    names = []
    for _ in range(5):
        loop = asyncio.new_event_loop()
        q = AsyncQueue(capacity=MIB)
        names.append(q.name)
        task = loop.create_task(q.get())
        loop.run_until_complete(asyncio.sleep(0.05))
        loop.close()
        del task, q, loop
    deadline = time.monotonic() + 10
    while set(names) & set(os.listdir(SHM_DIR)) or aio._waiter._entries:
        assert time.monotonic() < deadline, f"left: {set(names) & set(os.listdir(SHM_DIR))}"
        gc.collect()
        time.sleep(0.1)


def test_close_on_the_loop_never_waits_for_a_stopped_holder(aq, stopped_holder, run):  # noqa: F811
    """What this object held after a bad message goes back to the queue from another thread
    when the queue's lock is held: the loop's thread never waits for it."""
    KelQueue.attach(aq.name).put_bytes(b"not a pickle")
    aq.sync_q.put_many([1, 2], timeout=5)

    async def main():
        with pytest.raises(DecodeError):
            await aq.get_many(10)
        assert aq.qsize() == 2
        holder = stopped_holder(aq.name)
        started = time.monotonic()
        aq.close()
        assert time.monotonic() - started < 0.2
        return holder

    holder = run(main())
    other = kelvane.Queue.attach(aq.name)
    resume(holder)
    assert other.get_many(10, timeout=5) == [1, 2]
    other.close()
