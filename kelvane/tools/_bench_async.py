"""The asyncio group of the benchmarks: a consumer that awaits, ping-pong between two event
loops, and many tasks awaiting many queues in one process; and for the lock group, how
soon a process that awaits a lock hears that another process let go of it.

Every child that awaits runs its own event loop (asyncio's default one),
made before the timing starts; the producers are the plain blocking loops of the other
groups. Peers: `loop.run_in_executor(None, mp_queue.get)`, what an asyncio program does
today without an async queue, and aioprocessing's `coro_get` (a thread pool behind a
multiprocessing queue).
"""

import asyncio
import itertools
import os
import random
import time

from kelvane.tools._bench_cases import (Channel, LayerChannel, MpQueueChannel, _finish, import_peer,
                                        ring_capacity)
from kelvane.tools._bench_procs import CTX

MiB = 1 << 20
ASYNC_LOCK = "kelvane AsyncLock"
LOCK_IN_THREAD = "kelvane.Lock in a thread"
LOCK_BLOCKING = "kelvane.Lock, no asyncio"
ASYNC_QUEUE = "kelvane AsyncQueue"
EXECUTOR_GET = "run_in_executor(mp.Queue.get)"
AIOPROCESSING = "aioprocessing coro_get"
THREAD_GET = "kelvane get in a thread"
BLOCKING_GET = "kelvane.Queue, no asyncio"
WAITING_QUEUES = 1000


class AioprocessingChannel(Channel):
    def __init__(self, cleanup, size, capacity):
        aioprocessing = import_peer("aioprocessing", "aioprocessing")
        self.q = aioprocessing.AioQueue()

    def tx(self):
        return self.q.put, None

    def release(self):
        self.q.close()


def link(kind, cleanup, size):
    if kind == ASYNC_QUEUE:
        return LayerChannel(cleanup, size, ring_capacity(size))
    if kind == AIOPROCESSING:
        return AioprocessingChannel(cleanup, size, ring_capacity(size))
    return MpQueueChannel(cleanup, size, ring_capacity(size))


def _loop():
    return asyncio.new_event_loop()


def stream_roles(kind, channel, data, n, cpus):
    """A blocking producer process, a consumer that awaits every message; rate from the consumer."""

    def consumer():
        loop = _loop()
        if kind == ASYNC_QUEUE:
            from kelvane.aio import AsyncQueue

            get = AsyncQueue.attach(channel.name).get

            async def run():
                for _ in range(n):
                    await get()
        elif kind == AIOPROCESSING:
            coro_get = channel.q.coro_get

            async def run():
                for _ in range(n):
                    await coro_get()
        else:
            blocking_get = channel.q.get

            async def run():
                in_thread = loop.run_in_executor
                for _ in range(n):
                    await in_thread(None, blocking_get)

        def body():
            loop.run_until_complete(run())

        return body, loop.close

    def producer():
        put, close = channel.tx()

        def body():
            for _ in range(n):
                put(data)

        return body, _finish(close)

    return [(consumer, cpus[1]), (producer, cpus[0])]


def pingpong_roles(kind, channels, data, n, cpus):
    """Two processes, each awaiting the other's message before it answers (kelvane.Queue
    objects, pickled). ASYNC_QUEUE awaits AsyncQueue.get; THREAD_GET awaits the blocking
    kelvane.Queue.get in the loop's default executor; BLOCKING_GET has no event loop."""
    there, back = channels

    def side(first, rx, tx):
        def job():
            from kelvane.queue import Queue

            loop = _loop()
            inbox, outbox = Queue.attach(rx.name), Queue.attach(tx.name)
            if kind == BLOCKING_GET:
                get, put = inbox.get, outbox.put

                def body():
                    for _ in range(n):
                        if first:
                            put(data)
                        get()
                        if not first:
                            put(data)

                return body, loop.close
            if kind == ASYNC_QUEUE:
                get, aput = inbox.async_q.get, outbox.async_q.put

                async def run():
                    for _ in range(n):
                        if first:
                            await aput(data)
                        await get()
                        if not first:
                            await aput(data)
            else:
                blocking_get, put = inbox.get, outbox.put

                async def run():
                    in_thread = loop.run_in_executor
                    for _ in range(n):
                        if first:
                            put(data)
                        await in_thread(None, blocking_get)
                        if not first:
                            put(data)

            def body():
                loop.run_until_complete(run())

            return body, loop.close

        return job

    return [(side(False, there, back), cpus[1]), (side(True, back, there), cpus[0])]


class ManyQueues:
    """Names for WAITING_QUEUES queues of 1 MiB, made by the awaiting child."""

    def __init__(self, cleanup, count):
        self._cleanup = cleanup
        self.names = [cleanup.shm_name("aw") for _ in range(count)]

    def release(self):
        for name in self.names:
            self._cleanup.forget_shm(name)


def many_waiters_roles(queues, n, cpus):
    """One task per queue awaits a message, all in one event loop; another process puts one
    message into every queue once every task waits, round after round. The awaiting child
    reports its threads while they all wait (the loop's own included) and its wake-ups."""
    count = len(queues.names)
    rounds = max(1, n // count)
    waiting = CTX.Semaphore(0)

    def awaiter():
        from kelvane.aio import AsyncQueue

        loop = _loop()
        qs = [AsyncQueue(name, MiB, serializer=None) for name in queues.names]

        async def run():
            threads = None
            for _ in range(rounds):
                tasks = [loop.create_task(q.get()) for q in qs]
                await asyncio.sleep(0)  # each task has tried once and waits now
                if threads is None:
                    threads = len(os.listdir("/proc/self/task"))
                waiting.release()
                await asyncio.gather(*tasks)
            return threads

        def body():
            started = loop.time()
            threads = loop.run_until_complete(run())
            return {"threads": threads, "wakes": rounds * count, "seconds": loop.time() - started}

        def after():
            for q in qs:
                q.close()
            loop.close()

        return body, after

    def producer():
        from kelvane_core import KelQueue

        qs = [KelQueue.attach(name) for name in queues.names]

        def body():
            for _ in range(rounds):
                if not waiting.acquire(timeout=60):
                    raise RuntimeError("the awaiting tasks never all waited")
                for q in qs:
                    q.put_bytes(b"x")

        return body

    return [(awaiter, cpus[1]), (producer, cpus[0])]


# The holder lets the waiter settle into its wait for SETTLE to twice that, at random
# (a waiter that polls is found at any point of its cycle), before it lets go.
SETTLE = 0.001


def lock_latency_roles(kind, maker, seconds, cpus):
    """Two processes hand one lock back and forth; before each hand-off the holder waits
    until the other says it is about to wait, lets it settle, notes the time and lets go.
    Each process records, for every hand-off it receives, the time from that release to
    its own acquire returning. ASYNC_LOCK awaits AsyncLock.acquire; LOCK_IN_THREAD awaits
    kelvane.Lock.acquire run in a thread of its own (the one that releases it too);
    LOCK_BLOCKING calls kelvane.Lock.acquire without asyncio."""
    announced, taken, stop = (CTX.RawValue("q", -1) for _ in range(3))
    stamp = CTX.RawValue("d", 0.0)

    def role(parity):
        def job():
            from concurrent.futures import ThreadPoolExecutor

            from kelvane.aio import AsyncLock

            loop = _loop()
            clock = time.perf_counter
            if kind == ASYNC_LOCK:
                lock = AsyncLock(maker.name)

                async def acquire():
                    await lock.acquire()

                async def let_go():
                    stamp.value = clock()
                    lock.release()
            else:
                lock = maker.open()
                executor = ThreadPoolExecutor(1) if kind == LOCK_IN_THREAD else None

                def stamp_and_release():
                    stamp.value = clock()
                    lock.release()

                async def acquire():
                    if executor is None:
                        lock.acquire()
                    else:
                        await loop.run_in_executor(executor, lock.acquire)

                async def let_go():
                    if executor is None:
                        stamp_and_release()
                    else:
                        await loop.run_in_executor(executor, stamp_and_release)

            settle = random.Random(parity).random

            async def run(end):
                waits = []
                for k in itertools.count():
                    if k % 2 == parity:  # hand-off k: this process holds the lock and gives it away
                        while announced.value != k:
                            time.sleep(0)
                        time.sleep(SETTLE * (1 + settle()))
                        if clock() >= end:
                            stop.value = 1
                        await let_go()
                        while taken.value != k:  # before it may wait for the lock itself
                            time.sleep(0)
                        if stop.value == 1:
                            return waits
                    else:
                        announced.value = k
                        await acquire()
                        received = clock()
                        taken.value = k
                        if stop.value == 1:
                            await let_go()
                            return waits
                        waits.append(received - stamp.value)
                return waits

            if parity == 0:
                loop.run_until_complete(acquire())  # the first holder

            def body():
                return loop.run_until_complete(run(clock() + seconds))

            return body, loop.close

        return job

    return [(role(0), cpus[0]), (role(1), cpus[1])]
