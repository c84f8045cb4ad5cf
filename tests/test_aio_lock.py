"""kelvane.AsyncLock on the event loop's thread (asyncio and uvloop): exclusion between
coroutines, loops and processes, a dead holder's lock, time limits; and kelvane.Pool
awaited from a loop (wrap_future, run_in_executor)."""

import asyncio
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import join_or_kill, shm_path
from kelvane import AsyncLock, LockRecovered
from kelvane_core import KelLock
from test_aio import run  # noqa: F401 (a fixture: each test on asyncio and on uvloop)
from test_executor import add, fail, make_pool, sleep_then, square  # noqa: F401 (make_pool: a fixture)
from test_lock import holder, kill, wait_until_blocked  # noqa: F401 (holder: a fixture)

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


def held_by_a_thread(name):
    """Another thread of this process holds the lock until the event returned is set."""
    held, let_go = threading.Event(), threading.Event()

    def hold():
        lock = KelLock(name)
        lock.acquire()
        held.set()
        let_go.wait(30)
        lock.release()

    threading.Thread(target=hold, daemon=True).start()
    assert held.wait(10)
    return let_go


def test_waiting_keeps_the_loop_running_and_costs_no_thread_per_waiter(shm_name, holder, run):  # noqa: F811
    name, other = shm_name("l"), shm_name("l")
    proc, done = holder(name)
    let_go = held_by_a_thread(other)
    locks = [AsyncLock(name), AsyncLock(other)]

    async def main():
        before, ticks = set(threading.enumerate()), [0]
        ticker = asyncio.create_task(ticking(ticks))
        waiting = [asyncio.create_task(lock.acquire()) for lock in locks]
        await asyncio.sleep(0.3)
        assert not any(w.done() for w in waiting) and all(lock.locked() for lock in locks)
        assert ticks[0] >= 10, "the loop stood still while the lock was tried"
        # One thread waits for every lock awaited in the process, started on first use.
        assert [t.name for t in set(threading.enumerate()) - before] in ([], ["kelvane-aio-lock-wait"])
        done.set()
        let_go.set()
        async with asyncio.timeout(10):
            assert await asyncio.gather(*waiting) == [True, True]
        for lock in locks:
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


FUTEX_WAITERS = 0x80000000


def voluntary_switches(tid):
    with open(f"/proc/self/task/{tid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches:"))


@pytest.mark.parametrize("ending", ["released", "killed"])
def test_a_waiting_loop_sleeps_until_the_holder_lets_go_or_dies(shm_name, holder, run, ending):  # noqa: F811
    name = shm_name("l")
    proc, done = holder(name)
    lock = AsyncLock(name)

    async def main():
        waiting = asyncio.create_task(lock.acquire())
        await asyncio.sleep(0.1)
        # Marked as a blocked pthread_mutex_lock marks it: the holder's unlock wakes the waiter.
        with open(shm_path(name), "rb") as f:
            assert struct.unpack("<I", f.read(4))[0] & FUTEX_WAITERS
        loop_thread = threading.get_native_id()
        before = voluntary_switches(loop_thread)
        await asyncio.sleep(0.5)
        assert voluntary_switches(loop_thread) - before <= 10, "the loop polled the lock"
        if ending == "released":
            done.set()
        else:
            kill(proc)
        async with asyncio.timeout(10):
            if ending == "released":
                assert await waiting is True
            else:
                with pytest.raises(LockRecovered, match=RECOVERED):
                    await waiting
        lock.release()

    run(main())
    if ending == "released":
        assert join_or_kill(proc) == 0


def take_turns(name, rounds, ready, conn, awaiting):
    """Child: `rounds` short holds of the lock, awaiting it in a loop or blocked in
    pthread_mutex_lock (KelLock.acquire), which only a wake ends."""
    ready.wait(30)
    if awaiting:
        lock = AsyncLock(name)

        async def main():
            for _ in range(rounds):
                async with lock:
                    time.sleep(0.0002)

        asyncio.run(main())
    else:
        lock = KelLock(name)
        for _ in range(rounds):
            lock.acquire()
            time.sleep(0.0002)
            lock.release()
    conn.send("awaiting" if awaiting else "blocked")


def test_no_waiter_is_left_asleep_among_awaiting_and_blocked_processes(shm_name, spawn, mp, run):  # noqa: F811
    name = shm_name("l")
    lock, rounds = AsyncLock(name), 300
    ready, pipes = mp.Event(), [mp.Pipe(duplex=False) for _ in range(2)]
    children = [spawn(take_turns, name, rounds, ready, sender, awaiting)
                for (_, sender), awaiting in zip(pipes, (False, True))]

    async def main():
        ready.set()
        for _ in range(rounds):
            async with lock:
                time.sleep(0.0002)

    run(main(), limit=60)
    assert [receiver.poll(60) and receiver.recv() for receiver, _ in pipes] == ["blocked", "awaiting"]
    assert [join_or_kill(c) for c in children] == [0, 0]


def block_in_acquire(name, started, conn):
    lock = KelLock(name)
    started.set()
    lock.acquire()  # pthread_mutex_lock: only a wake ends it
    lock.release()
    conn.send("took it")


def test_a_release_the_waiting_thread_hears_first_still_reaches_a_blocked_process(shm_name, spawn, mp, run):  # noqa: F811
    name = shm_name("l")
    let_go = held_by_a_thread(name)
    lock, started = AsyncLock(name), mp.Event()
    receiver, sender = mp.Pipe(duplex=False)

    async def main():
        waiting = asyncio.create_task(lock.acquire())
        await asyncio.sleep(0.05)  # the waiting thread sleeps on the word first
        blocked = spawn(block_in_acquire, name, started, sender)
        assert started.wait(30)
        await asyncio.to_thread(wait_until_blocked, blocked.pid)
        let_go.set()  # one wake: most often to the waiting thread, ahead in the queue
        async with asyncio.timeout(10):
            await waiting
        lock.release()  # taken without the waiters bit: this release wakes nobody
        return blocked

    blocked = run(main())
    assert receiver.poll(10) and receiver.recv() == "took it"
    assert join_or_kill(blocked) == 0


MANY_LOCKS = textwrap.dedent("""
    import asyncio, sys, threading, time
    from kelvane import AsyncLock
    from kelvane_core import KelLock
    names = sys.argv[1:]
    held = threading.Event()
    def hold_then_release():
        locks = [KelLock(n) for n in names]
        for lock in locks:
            lock.acquire()
        held.set()
        time.sleep(0.2)
        for lock in reversed(locks):  # the last ones lie beyond what one futex_waitv takes
            time.sleep(0.002)
            lock.release()
    threading.Thread(target=hold_then_release).start()
    held.wait(10)
    async def take(lock):
        await lock.acquire()
        lock.release()
    async def main():
        await asyncio.wait_for(asyncio.gather(*(take(AsyncLock(n)) for n in names)), 30)
    asyncio.run(main())
    print("ok")
""")


@pytest.mark.parametrize("method", ["futex_waitv", "polling"])
def test_one_thread_waits_for_more_locks_than_one_futex_call_takes(shm_name, method):
    names = [shm_name("l") for _ in range(150)]
    env = dict(os.environ)
    env.pop("KELVANE_WAIT_POLL", None)
    if method == "polling":
        env["KELVANE_WAIT_POLL"] = "1"
    done = subprocess.run([sys.executable, "-c", MANY_LOCKS, *names], env=env, capture_output=True, text=True,
                          timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


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
