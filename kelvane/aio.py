"""asyncio: kelvane.AsyncQueue and kelvane.AsyncLock.

Nothing here waits on the event loop's thread. Every call the loop makes into the native
module is one try with the interpreter lock held, which may also say that the queue's
lock was busy at that instant (then the call tries again after letting the loop run). An
awaiting put or get whose queue has no room or no message hands its queue to the one
waiting thread of the process (started on first use), which sleeps on the wait words of
every queue that anybody awaits at once (KelQueue.wait_any) and tells each waiting loop
with call_soon_threadsafe; the loop then tries again, and another consumer or producer
may have been first. AsyncLock lives in kelvane/_aio_lock.py, with its own waiting thread.
"""

from __future__ import annotations

import asyncio
import atexit
import os
import pickle
import threading
from collections.abc import AsyncIterator, Callable, Iterable
from types import TracebackType
from typing import Any

from kelvane._aio_lock import AsyncLock
from kelvane._aio_lock import _rebuild_lock as _rebuild_lock  # where old pickles find it
from kelvane.queue import RECORD_OVERHEAD, Queue, Serializer, _attach
from kelvane_core import KelQueue

__all__ = ["AsyncQueue", "AsyncLock"]


# ---------------------------------------------------------------------------
# The waiting thread


class _Entry:
    """The loops' futures waiting for one thing on one queue handle."""

    __slots__ = ("key", "queue", "room", "futures")

    def __init__(self, key: tuple[int, int], queue: KelQueue, room: int) -> None:
        self.key, self.queue, self.room = key, queue, room
        self.futures: list[asyncio.Future[None]] = []


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class _Waiter:
    """The one thread of this process that waits for every awaiting put and get, of every
    event loop, on every queue; each future it resolves only says: try again."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._word = bytearray(4)  # bumped (interrupt_wait) to make the thread look again
        self._entries: dict[tuple[int, int], _Entry] = {}
        self._looked = True  # the thread has seen every entry: a change must wake it
        self._stopping = False
        self._thread: threading.Thread | None = None

    def wait(self, queue: KelQueue, room: int) -> asyncio.Future[None]:
        """A future of the running loop, resolved once `queue` seems to have a message
        (room 0) or `room` bytes of room."""
        future: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        key = (id(queue), room)  # the entry holds the queue: its id is not reused meanwhile
        with self._lock:
            if self._stopping:  # the interpreter is exiting: look again now and then
                future.get_loop().call_later(0.05, _wake, future)
                return future
            entry = self._entries.get(key)
            if entry is None:
                entry = self._entries[key] = _Entry(key, queue, room)
            entry.futures.append(future)
            interrupt, self._looked = self._looked, False
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="kelvane-aio-wait", daemon=True)
                self._thread.start()
        if interrupt:
            KelQueue.interrupt_wait(self._word)
        return future

    def forget(self, queue: KelQueue, room: int, future: asyncio.Future[None]) -> None:
        """A waiter that gave up (cancelled): the thread stops watching for it."""
        with self._lock:
            entry = self._entries.get((id(queue), room))
            if entry is None or future not in entry.futures:
                return
            entry.futures.remove(future)
            if entry.futures:
                return
            del self._entries[entry.key]
            interrupt, self._looked = self._looked, False
        if interrupt:
            KelQueue.interrupt_wait(self._word)

    def release(self, queue: KelQueue) -> None:
        """Wakes every waiter on `queue` (its object is being closed): they look again and
        find it closed."""
        with self._lock:
            entries = [e for e in self._entries.values() if e.queue is queue]
            for entry in entries:
                del self._entries[entry.key]
            woken = [future for entry in entries for future in entry.futures]
            interrupt = bool(entries) and self._looked
            if interrupt:
                self._looked = False
        for future in woken:
            try:
                future.get_loop().call_soon_threadsafe(_wake, future)
            except RuntimeError:
                pass
        if interrupt:
            KelQueue.interrupt_wait(self._word)

    def _run(self) -> None:
        word = self._word
        while True:
            with self._lock:
                if self._stopping:
                    return
                self._looked = True
                seen = int.from_bytes(word, "little")
                entries = list(self._entries.values())
            try:
                ready = KelQueue.wait_any([(e.queue, e.room) for e in entries], word, seen, None)
            except Exception:
                # A queue the thread cannot watch (damaged, say): its waiters try again
                # and meet the error themselves.
                ready = list(range(len(entries)))
            if not ready:
                continue
            woken: list[asyncio.Future[None]] = []
            with self._lock:
                for i in ready:
                    entry = entries[i]
                    if self._entries.get(entry.key) is entry:
                        del self._entries[entry.key]
                    woken += entry.futures
                    entry.futures = []
            for future in woken:
                try:
                    future.get_loop().call_soon_threadsafe(_wake, future)
                except RuntimeError:
                    pass  # its loop is closed: nobody waits any more

    def stop(self) -> None:
        """At interpreter exit: the thread leaves its waits, so no queue keeps counting it
        among its sleepers."""
        with self._lock:
            self._stopping = True
            thread = self._thread
        if thread is not None:
            KelQueue.interrupt_wait(self._word)
            thread.join(1.0)


_waiter: _Waiter | None = None
_waiter_lock = threading.Lock()


def _the_waiter() -> _Waiter:
    global _waiter
    waiter = _waiter
    if waiter is None:
        with _waiter_lock:
            if _waiter is None:
                _waiter = _Waiter()
            waiter = _waiter
    return waiter


def _forget_parents_waiter() -> None:
    # A forked child has none of its parent's threads: it starts its own on first use.
    global _waiter, _waiter_lock
    _waiter = None
    _waiter_lock = threading.Lock()


def _stop_waiter() -> None:
    if _waiter is not None:
        _waiter.stop()


os.register_at_fork(after_in_child=_forget_parents_waiter)
atexit.register(_stop_waiter)


async def _until_ready(queue: KelQueue, room: int) -> None:
    """Waits until `queue` seems to have a message (room 0) or `room` bytes of room."""
    waiter = _the_waiter()
    future = waiter.wait(queue, room)
    try:
        await future
    except BaseException:
        waiter.forget(queue, room, future)
        raise


async def _after_busy(tries: int) -> None:
    """After a try that met the queue's lock held: a holder keeps it for one copy, so let
    the loop run and try again; one that keeps it longer is stopped or stuck, and is
    looked at less and less often (up to every 50 ms)."""
    if tries <= 8:
        await asyncio.sleep(0)
    else:
        await asyncio.sleep(min(0.05, 0.0001 * 2 ** min(tries - 8, 9)))


# ---------------------------------------------------------------------------
# AsyncQueue


class AsyncQueue:
    """A kelvane queue with asyncio.Queue's shape: ``await put(obj)``, ``await get()``,
    ``put_nowait``, ``get_nowait`` (asyncio.QueueFull / asyncio.QueueEmpty), ``qsize``,
    ``empty``, ``full``, ``await put_many(objs)``, ``await get_many(n)`` and
    ``async for obj in q``.

    It is the same named shared-memory queue as kelvane.Queue, with its arguments and
    serializer: sync and async producers and consumers, in any processes, mix freely.
    ``kelvane.Queue(...).async_q`` is the async side of an existing queue object and
    ``AsyncQueue.sync_q`` the other way round.

    No awaiting call costs a thread: one thread per process waits for all of them. A
    cancelled ``get`` has taken nothing, a cancelled ``put`` has stored nothing, and a
    cancelled ``put_many`` nothing or everything. ``asyncio.timeout`` and
    ``asyncio.wait_for`` bound any awaiting call.
    """

    __slots__ = ("_queue",)

    def __init__(
        self,
        name: str | None = None,
        capacity: int | None = None,
        *,
        create: bool = True,
        serializer: Serializer | None = pickle,
    ) -> None:
        self._queue = Queue(name, capacity, create=create, serializer=serializer)

    @classmethod
    def attach(cls, name: str, *, serializer: Serializer | None = pickle) -> AsyncQueue:
        """Attach to an existing queue; raises FileNotFoundError (creating nothing) if there is none."""
        return cls._of(Queue.attach(name, serializer=serializer))

    @classmethod
    def _of(cls, queue: Queue) -> AsyncQueue:
        self = object.__new__(cls)
        self._queue = queue
        return self

    @property
    def sync_q(self) -> Queue:
        """The same queue object with kelvane.Queue's blocking calls."""
        return self._queue

    @property
    def name(self) -> str:
        return self._queue.name

    @property
    def capacity(self) -> int:
        """Bytes in the ring; a message takes its serialized length plus 4."""
        return self._queue.capacity

    # -- without waiting --------------------------------------------------------------

    def put_nowait(self, obj: Any) -> None:
        """Put `obj` if there is room now; asyncio.QueueFull if not, or if the queue's lock
        is held by another process or thread at this instant."""
        q = self._queue
        data = q._encode(obj)
        try:
            stored = q._kq.try_put(data)
        except BaseException:
            q._discard((data,))  # a large message's side segment goes with it
            raise
        if stored is not True:
            q._discard((data,))
            raise asyncio.QueueFull

    def get_nowait(self) -> Any:
        """Take a message that is there now; asyncio.QueueEmpty if none is, or if the
        queue's lock is held by another process or thread at this instant."""
        q = self._queue
        data = q._take_held() if q._held else None
        if data is None:
            got = q._kq.try_get_many(1)
            if not got:
                raise asyncio.QueueEmpty
            data = got[0]
        return q._decode(data)

    # -- awaiting ----------------------------------------------------------------------

    async def put(self, obj: Any) -> None:
        """Put `obj`, waiting for room as asyncio.Queue.put does."""
        data = self._queue._encode(obj)
        await self._store([data], len(data) + RECORD_OVERHEAD, lambda kq: kq.try_put(data))

    async def put_many(self, items: Iterable[Any]) -> None:
        """Put several objects as one batch: all of them, next to each other, or (cancelled)
        none. A batch larger than the queue can never go in whole: ValueError, nothing put."""
        q = self._queue
        encoded = q._encode_many(items)
        if not encoded:
            return
        room = sum(map(len, encoded)) + RECORD_OVERHEAD * len(encoded)
        if room > q.capacity:
            q._discard(encoded)
            raise ValueError(
                f"a batch of {len(encoded)} messages takes {room} bytes, more than the queue's "
                f"{q.capacity}: it can never go in whole (put it in parts)")
        await self._store(encoded, room, lambda kq: kq.try_put_many(encoded))

    async def _store(self, encoded: list[bytes], room: int, attempt: Callable[[KelQueue], bool | None]) -> None:
        """Tries `attempt` until it stores `encoded` (`room` bytes), waiting for room or for a
        busy lock in between. Cancelled, timed out or closed: nothing was stored, and the side
        segments of `encoded` are removed."""
        q, tries = self._queue, 0
        try:
            while True:
                kq = q._kq  # once more after each wait: the queue may have been closed meanwhile
                done = attempt(kq)
                if done:
                    return
                if done is None:
                    tries += 1
                    await _after_busy(tries)
                else:
                    tries = 0
                    await _until_ready(kq, room)
        except BaseException:
            q._discard(encoded)
            raise

    async def get(self) -> Any:
        """Take the oldest object, waiting for one as asyncio.Queue.get does."""
        q = self._queue
        tries = 0
        while True:
            data = q._take_held() if q._held else None
            if data is not None:
                return q._decode(data)
            kq = q._kq
            got = kq.try_get_many(1)
            if got:
                return q._decode(got[0])
            if got is None:
                tries += 1
                await _after_busy(tries)
            else:
                tries = 0
                await _until_ready(kq, 0)

    async def get_many(self, max_items: int = 1000) -> list[Any]:
        """Wait for the first message, then take up to `max_items` at once. A message that
        does not decode raises kelvane.DecodeError as kelvane.Queue.get_many says."""
        if isinstance(max_items, bool) or not isinstance(max_items, int):
            raise TypeError(f"'max_items' must be an int, not {type(max_items).__name__}")
        if max_items < 1:
            raise ValueError("'max_items' must be at least 1")
        q = self._queue
        tries = 0
        while True:
            got = q._take_held_many(max_items) if q._held else []
            kq = q._kq
            if got:
                if len(got) < max_items:
                    got += kq.try_get_many(max_items - len(got)) or []
                return q._decode_many(got)
            more = kq.try_get_many(max_items)
            if more:
                return q._decode_many(more)
            if more is None:
                tries += 1
                await _after_busy(tries)
            else:
                tries = 0
                await _until_ready(kq, 0)

    def __aiter__(self) -> AsyncIterator[Any]:
        return self

    async def __anext__(self) -> Any:
        """The next object; the iteration ends when this queue object is closed."""
        if self._queue._q is None:
            raise StopAsyncIteration
        try:
            return await self.get()
        except ValueError:
            if self._queue._q is None:
                raise StopAsyncIteration from None
            raise

    # -- state ---------------------------------------------------------------------------

    def _fill(self) -> tuple[int, int]:
        kq = self._queue._kq
        counted = kq.stats_nowait()
        # None only while consumers move on every look and the lock is busy: count under it.
        return counted if counted is not None else kq.stats()

    def qsize(self) -> int:
        """Messages held right now, with those this object took and has not delivered yet
        (see kelvane.Queue.get_many); counted without waiting for the queue's lock."""
        return self._fill()[1] + len(self._queue._held)

    def empty(self) -> bool:
        return self._fill()[0] == 0 and not self._queue._held

    def full(self) -> bool:
        """True when not even an empty message would fit right now."""
        return self.capacity - self._fill()[0] < RECORD_OVERHEAD

    # -- lifetime ---------------------------------------------------------------------------

    def close(self) -> None:
        """Detach this process, as kelvane.Queue.close (a queue made without a name loses it).
        Calls awaiting on this object then raise ValueError; ``async for`` ends."""
        kq = self._queue._q
        self._queue.close()
        if kq is not None and _waiter is not None:
            _waiter.release(kq)

    def unlink(self) -> None:
        """Remove the name; processes attached already keep using the queue."""
        self._queue.unlink()

    async def __aenter__(self) -> AsyncQueue:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        self.close()

    def __enter__(self) -> AsyncQueue:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Callable[..., AsyncQueue], tuple[Any, ...]]:
        # Another process attaches by name, as with kelvane.Queue.
        return (_attach_async, self._queue.__reduce__()[1])

    def __repr__(self) -> str:
        q = self._queue
        state = "closed" if q._q is None else f"capacity={q.capacity}"
        return f"<kelvane.AsyncQueue {q.name!r} {state}>"


def _attach_async(name: str, serializer: Any) -> AsyncQueue:
    return AsyncQueue._of(_attach(name, serializer))
