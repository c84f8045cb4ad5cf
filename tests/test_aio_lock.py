"""kelvane.AsyncLock on the event loop's thread (asyncio and uvloop): exclusion between
coroutines, loops and processes, a dead holder's lock, time limits; and kelvane.Pool
awaited from a loop (wrap_future, run_in_executor)."""

import asyncio
import threading

import pytest

from conftest import join_or_kill
from kelvane import AsyncLock, LockRecovered
from test_aio import run  # noqa: F401 (a fixture: each test on asyncio and on uvloop)
from test_executor import add, fail, make_pool, sleep_then, square  # noqa: F401 (make_pool: a fixture)
from test_lock import holder, kill  # noqa: F401 (holder: a fixture)

RECOVERED = "^Lock recovered from dead process$"
RECOVERED_IN_WITH = (
    r"^Lock recovered from dead process; the async with block did not run and the lock was released "
    r"again \(give kelvane.AsyncLock an on_recovered callable to repair under it\)$")


async def ticking(ticks):
    """Counts while the loop runs: a loop blocked by a call stops counting."""
    while True:
        ticks[0] += 1
        await asyncio.sleep(0.005)


def test_acquire_release_and_async_with(shm_name, run):  # noqa: F811
    lock = AsyncLock(shm_name("l"))

    async def main():
        assert not lock.locked()
        assert await lock.acquire() is True
        assert lock.locked()
        lock.release()
        async with lock as bound:
            assert bound is None and lock.locked()
        assert not lock.locked()
        with pytest.raises(ValueError, match="^inside$"):
            async with lock:
                raise ValueError("inside")
        assert not lock.locked()
        with pytest.raises(RuntimeError, match="^Unlock failed: Pthread error: 1$"):
            lock.release()

    run(main())


def test_a_lock_taken_in_a_loop_is_released_after_the_loop_ended(shm_name, run):  # noqa: F811
    lock = AsyncLock(shm_name("l"))
    run(lock.acquire())
    lock.release()  # by the same thread, with no loop running
    assert not lock.locked()
    run(asyncio.wait_for(lock.acquire(), 5))
    lock.release()


def test_bad_arguments_are_refused(shm_name):
    with pytest.raises(TypeError, match="^'on_recovered' must be callable or None$"):
        AsyncLock(shm_name("l"), on_recovered=42)
    with pytest.raises(TypeError, match="^'name' must be str, not int$"):
        AsyncLock(42)


def test_waiting_for_another_process_keeps_the_loop_running_and_costs_no_thread(shm_name, holder, run):  # noqa: F811
    name = shm_name("l")
    proc, done = holder(name)
    lock = AsyncLock(name)

    async def main():
        threads, ticks = threading.active_count(), [0]
        ticker = asyncio.create_task(ticking(ticks))
        waiting = asyncio.create_task(lock.acquire())
        await asyncio.sleep(0.3)
        assert not waiting.done() and lock.locked()
        assert ticks[0] >= 10, "the loop stood still while the lock was tried"
        assert threading.active_count() == threads
        done.set()
        async with asyncio.timeout(10):
            assert await waiting is True
        lock.release()
        ticker.cancel()

    run(main())
    assert join_or_kill(proc) == 0


def test_coroutines_of_one_loop_exclude_each_other_and_take_turns_in_order(shm_name, run):  # noqa: F811
    lock = AsyncLock(shm_name("l"))
    other = AsyncLock(lock.name)  # a second object of the same name shares the turns

    async def main():
        order, inside = [], [0]

        async def one(i):
            async with (lock if i % 2 else other):
                inside[0] += 1
                assert inside[0] == 1
                order.append(i)
                await asyncio.sleep(0.001)
                inside[0] -= 1

        await asyncio.gather(*(one(i) for i in range(20)))
        # Taken through one object, released through the other: the next turn still comes.
        await lock.acquire()
        other.release()
        async with asyncio.timeout(5):
            async with lock:
                pass
        return order

    assert run(main()) == list(range(20))


def test_loops_of_several_threads_exclude_each_other(shm_name):
    name = shm_name("l")
    inside, most, errors = [0], [0], []
    guard = threading.Lock()

    def loop_thread():
        async def main():
            lock = AsyncLock(name)
            for _ in range(30):
                async with lock:
                    with guard:
                        inside[0] += 1
                        most[0] = max(most[0], inside[0])
                    await asyncio.sleep(0.0005)
                    with guard:
                        inside[0] -= 1

        try:
            asyncio.run(asyncio.wait_for(main(), 30))
        except BaseException as e:  # noqa: BLE001 (reported below)
            errors.append(e)

    threads = [threading.Thread(target=loop_thread, daemon=True) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(40)
    assert not any(t.is_alive() for t in threads) and errors == []
    assert most[0] == 1


@pytest.mark.parametrize("repair", [None, "function", "coroutine function", "raises"])
def test_a_dead_holders_lock_is_taken_over_with_the_rules_of_kelvane_lock(shm_name, holder, run, repair):  # noqa: F811
    name = shm_name("l")
    proc, _ = holder(name)
    kill(proc)
    seen = []

    def fix():
        seen.append(lock.locked())
        if repair == "raises":
            raise OSError("cannot repair")

    async def afix():
        await asyncio.sleep(0)
        seen.append(lock.locked())

    on_recovered = {None: None, "function": fix, "coroutine function": afix, "raises": fix}[repair]
    lock = AsyncLock(name, on_recovered=on_recovered)

    async def main():
        if repair is None:
            with pytest.raises(LockRecovered, match=RECOVERED):
                await lock.acquire()
            assert lock.locked()  # held: the caller repairs, then releases
            lock.release()
        elif repair == "raises":
            with pytest.raises(OSError, match="^cannot repair$"):
                await lock.acquire()
            assert seen == [True]
        else:
            assert await lock.acquire() is True
            assert seen == [True] and lock.locked()
            lock.release()
        assert not lock.locked()
        async with asyncio.timeout(5):
            async with lock:  # the news was told once
                pass

    run(main())


def test_a_take_over_in_async_with_skips_the_body_and_releases(shm_name, holder, run):  # noqa: F811
    name = shm_name("l")
    proc, _ = holder(name)
    kill(proc)
    lock, ran = AsyncLock(name), []

    async def main():
        with pytest.raises(LockRecovered, match=RECOVERED_IN_WITH):
            async with lock:
                ran.append(True)
        assert not lock.locked() and ran == []
        async with asyncio.timeout(5):
            async with lock:
                ran.append(True)

    run(main())
    assert ran == [True]


def test_time_limits_leave_the_lock_untaken_and_the_next_waiter_served(shm_name, holder, run):  # noqa: F811
    name = shm_name("l")
    proc, done = holder(name)
    lock = AsyncLock(name)

    async def main():
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.2):
                await lock.acquire()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(lock.acquire(), 0.1)
        # One waiter queued behind another that gives up: the turn passes on.
        first = asyncio.create_task(lock.acquire())
        second = asyncio.create_task(lock.acquire())
        await asyncio.sleep(0.05)
        first.cancel()
        done.set()
        async with asyncio.timeout(10):
            assert await second is True
        assert first.cancelled()
        lock.release()
        assert not lock.locked()

    run(main())
    assert join_or_kill(proc) == 0


# --- kelvane.Pool from a loop ------------------------------------------------------------------


def test_pool_tasks_are_awaited_with_wrap_future_and_run_in_executor(make_pool, run):  # noqa: F811
    pool = make_pool(2)

    async def main():
        loop = asyncio.get_running_loop()
        assert await asyncio.wrap_future(pool.submit(square, 7)) == 49
        assert await loop.run_in_executor(pool, add, 2, 3) == 5
        many = await asyncio.gather(*(loop.run_in_executor(pool, square, i) for i in range(50)))
        assert many == [i * i for i in range(50)]
        with pytest.raises(ValueError, match="^no good: 3$"):
            await loop.run_in_executor(pool, fail, 3)
        ticks = [0]
        ticker = asyncio.create_task(ticking(ticks))
        assert await loop.run_in_executor(pool, sleep_then, 0.3, "late") == "late"
        ticker.cancel()
        assert ticks[0] >= 10, "the loop stood still while a task ran"
        # A time limit gives up the awaiting; the pool goes on serving.
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(loop.run_in_executor(pool, sleep_then, 1, "unwanted"), 0.1)
        assert await asyncio.wrap_future(pool.submit(square, 9)) == 81

    run(main(), limit=60)
