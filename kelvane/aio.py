"""asyncio: kelvane.AsyncQueue and kelvane.AsyncLock.

Nothing here waits on the event loop's thread. Every call the loop makes into the native
module is one try with the interpreter lock held, which may also say that the queue's
lock was busy at that instant (then the call tries again after letting the loop run). An
awaiting put or get whose queue has no room or no message hands its queue to the one
waiting thread of the process (started on first use), which sleeps on the wait words of
every queue that anybody awaits at once (KelQueue.wait_any) and tells each waiting loop
with call_soon_threadsafe; the loop then tries again, and another consumer or producer
may have been first. An awaiting put that has waited longer than a short grace claims
room, as a blocking put does, with tries that never wait (KelQueue.try_put(claim=True)),
renewed a few times a second while it waits: small producers cannot starve it. AsyncLock
lives in kelvane/_aio_lock.py, with its own waiting thread.
"""

from __future__ import annotations

import asyncio
import atexit
import os
import pickle
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterable
from types import TracebackType
from typing import Any

from kelvane import _side
from kelvane import queue as _queue_module
from kelvane._aio_lock import AsyncLock
from kelvane._aio_lock import _rebuild_lock as _rebuild_lock  # where old pickles find it
from kelvane.queue import RECORD_OVERHEAD, DecodeError, Queue, Serializer, _attach, _discard_unstored, _unstored
from kelvane_core import KelQueue

__all__ = ["AsyncQueue", "AsyncLock"]


# ---------------------------------------------------------------------------
# The waiting thread


class _Entry:
    """The loops' futures waiting for one thing on one queue handle."""

    __slots__ = ("key", "queue", "watch", "futures")

    def __init__(self, key: tuple[int, int, int], queue: KelQueue, room: int, claimant: int) -> None:
        self.key, self.queue = key, queue
        # What KelQueue.wait_any is given for it.
        self.watch = (queue, room, claimant) if claimant else (queue, room)
        self.futures: list[asyncio.Future[None]] = []


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _gone(future: asyncio.Future[None]) -> bool:
    """A wait nobody will ever see the end of: done already, or of a loop that is closed."""
    return future.done() or future.get_loop().is_closed()


# While anybody waits, the waiting thread looks at least this often for the waits of loops
# that were closed meanwhile (a closed loop tells nobody), and drops them.
_PRUNE_EVERY = 1.0


class _Waiter:
    """The one thread of this process that waits for every awaiting put and get, of every
    event loop, on every queue; each future it resolves only says: try again."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._word = bytearray(4)  # bumped (interrupt_wait) to make the thread look again
        self._entries: dict[tuple[int, int, int], _Entry] = {}
        self._looked = True  # the thread has seen every entry: a change must wake it
        self._stopping = False
        self._pruned = time.monotonic()
        self._thread: threading.Thread | None = None

    def wait(self, owner: Queue, queue: KelQueue, room: int, claimant: int = 0) -> asyncio.Future[None]:
        """A future of the running loop, resolved once `queue` seems to have a message
        (room 0) or `room` bytes of room (counting the claim of thread `claimant` as free).
        ValueError when `owner`, the kelvane.Queue whose handle `queue` is, was closed: its
        close wakes what it finds registered, under the same lock."""
        future: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        key = (id(queue), room, claimant)  # the entry holds the queue: its id is not reused meanwhile
        with self._lock:
            if owner._q is not queue:
                raise owner._closed()
            if self._stopping:  # the interpreter is exiting: look again now and then
                future.get_loop().call_later(0.05, _wake, future)
                return future
            entry = self._entries.get(key)
            if entry is None:
                entry = self._entries[key] = _Entry(key, queue, room, claimant)
            entry.futures.append(future)
            interrupt, self._looked = self._looked, False
            if time.monotonic() - self._pruned >= _PRUNE_EVERY:
                self._prune()
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="kelvane-aio-wait", daemon=True)
                self._thread.start()
        if interrupt:
            KelQueue.interrupt_wait(self._word)
        return future

    def forget(self, queue: KelQueue, room: int, future: asyncio.Future[None], claimant: int = 0) -> None:
        """A waiter that gave up (cancelled, timed out): the thread stops watching for it."""
        with self._lock:
            entry = self._entries.get((id(queue), room, claimant))
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

    def _prune(self) -> None:
        """With the lock held: drops the waits of closed loops (and any resolved already),
        so that their queues, tasks and futures are not kept for good."""
        self._pruned = time.monotonic()
        for key, entry in list(self._entries.items()):
            if any(map(_gone, entry.futures)):
                entry.futures = [f for f in entry.futures if not _gone(f)]
                if not entry.futures:
                    del self._entries[key]

    def _run(self) -> None:
        word = self._word
        while True:
            with self._lock:
                if self._stopping:
                    return
                if time.monotonic() - self._pruned >= _PRUNE_EVERY:
                    self._prune()
                self._looked = True
                seen = int.from_bytes(word, "little")
                entries = list(self._entries.values())
            try:
                ready = KelQueue.wait_any([e.watch for e in entries], word, seen,
                                          _PRUNE_EVERY if entries else None)
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


def _release_waits(queue: KelQueue) -> None:
    """kelvane.Queue.close: wakes what awaits this handle."""
    if _waiter is not None:
        _waiter.release(queue)


_queue_module._release_waits = _release_waits

# The side segments of the awaiting puts still running, by the id of their `made` lists
# (see kelvane.queue): a put that never ends (its loop stopped or closed with it pending,
# the interpreter exiting) has its segments removed at exit.
_pending_puts: dict[int, list[Any]] = {}


def _forget_parents_waiter() -> None:
    # A forked child has none of its parent's threads: it starts its own on first use;
    # the parent's pending puts are the parent's.
    global _waiter, _waiter_lock
    _waiter = None
    _waiter_lock = threading.Lock()
    _pending_puts.clear()


def _stop_waiter() -> None:
    if _waiter is not None:
        _waiter.stop()
    for made in list(_pending_puts.values()):
        _side.discard_unstored(made)


os.register_at_fork(after_in_child=_forget_parents_waiter)
atexit.register(_stop_waiter)


async def _until_ready(owner: Queue, queue: KelQueue, room: int, claimant: int = 0,
                       timeout: float | None = None) -> None:
    """Waits until `queue` seems to have a message (room 0) or `room` bytes of room, or
    (with a timeout) at most `timeout` seconds."""
    waiter = _the_waiter()
    future = waiter.wait(owner, queue, room, claimant)
    timer = None if timeout is None else future.get_loop().call_later(timeout, _wake, future)
    try:
        await future
    finally:
        if timer is not None:
            timer.cancel()
        if not future.done() or timer is not None:
            waiter.forget(queue, room, future, claimant)


async def _after_busy(tries: int) -> None:
    """After a try that met the queue's lock held: a holder keeps it for one copy, so let
    the loop run and try again; one that keeps it longer is stopped or stuck, and is
    looked at less and less often (up to every 50 ms)."""
    if tries <= 8:
        await asyncio.sleep(0)
    else:
        await asyncio.sleep(min(0.05, 0.0001 * 2 ** min(tries - 8, 9)))


# An awaiting put claims room once it has waited this long (as a blocking put does), and
# while it holds a claim tries again at least this often, which renews it (a claim lapses
# half a second after its last renewal).
_CLAIM_GRACE = 0.02
_CLAIM_RENEW = 0.25


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
    # Records and side segments are kept as kelvane.Queue keeps them under Ctrl-C (see
    # "Ctrl-C and records" in kelvane.queue).

    def put_nowait(self, obj: Any) -> None:
        """Put `obj` if there is room now; asyncio.QueueFull if not, or if the queue's lock
        is held by another process or thread at this instant."""
        q = self._queue
        made: list[Any] = []
        try:
            q._kq  # raises when closed
            data = q._encode(obj, made, 0, True)
            if q._bq.try_put(data, made) is not True:
                raise asyncio.QueueFull
        except BaseException:
            if made:  # a large message's side segment goes with it
                _unstored.append((made, []))
                _discard_unstored()
            raise

    def get_nowait(self) -> Any:
        """Take a message that is there now; asyncio.QueueEmpty if none is, or if the
        queue's lock is held by another process or thread at this instant."""
        q = self._queue
        got: list[Any] = []
        try:
            if q._held:
                q._unhold(got, 1)
            if not got:
                q._kq  # raises when closed
                if not q._bq.try_get_many(1, got):
                    raise asyncio.QueueEmpty
            return q._decode_one(got)
        except DecodeError:
            raise
        except BaseException:
            if got:
                q._held.appendleft(got)
            raise

    # -- awaiting ----------------------------------------------------------------------

    async def put(self, obj: Any) -> None:
        """Put `obj`, waiting for room as asyncio.Queue.put does."""
        await self._put(obj, False)

    async def put_many(self, items: Iterable[Any]) -> None:
        """Put several objects as one batch: all of them, next to each other, or (cancelled)
        none. A batch larger than the queue can never go in whole: ValueError, nothing put."""
        await self._put(items, True)

    async def _put(self, items: Any, many: bool) -> None:
        """Stores one record or one batch, waiting for room or for a busy lock in between.
        Cancelled, timed out or closed: nothing was stored, and the side segments made for
        it are removed."""
        q, tries = self._queue, 0
        made: list[Any] = []
        key = id(made)
        _pending_puts[key] = made
        kq: KelQueue | None = None
        claim, waited_since = False, 0.0
        try:
            if many:
                # Never waits for a free block (the loop's thread): one that is not free now
                # sends the message in a side segment.
                encoded = q._encode_many(items, made, 0, True)
                if not encoded:
                    return
                room = sum(map(len, encoded)) + RECORD_OVERHEAD * len(encoded)
                if room > q.capacity:
                    raise ValueError(
                        f"a batch of {len(encoded)} messages takes {room} bytes, more than the queue's "
                        f"{q.capacity}: it can never go in whole (put it in parts)")
            else:
                data = q._encode(items, made, 0, True)
                room = len(data) + RECORD_OVERHEAD
            while True:
                kq = q._kq  # once more after each wait: the queue may have been closed meanwhile
                bq = q._bq  # (puts and takes go through the block-aware handle; waits watch kq)
                done = bq.try_put_many(encoded, made, claim) if many else bq.try_put(data, made, claim)
                if done:
                    return
                if done is None:
                    tries += 1
                    await _after_busy(tries)
                    continue
                tries = 0
                now = time.monotonic()
                if not waited_since:
                    waited_since = now
                elif not claim and now - waited_since >= _CLAIM_GRACE:
                    claim = True  # try again at once, claiming room
                    continue
                if claim:
                    await _until_ready(q, kq, room, threading.get_native_id(), _CLAIM_RENEW)
                else:
                    await _until_ready(q, kq, room, 0, _CLAIM_GRACE)
        except BaseException:
            if made:
                _unstored.append((made, []))
                _discard_unstored()
            if claim and kq is not None:
                kq.withdraw_claim()
            raise
        finally:
            _pending_puts.pop(key, None)

    async def get(self) -> Any:
        """Take the oldest object, waiting for one as asyncio.Queue.get does."""
        return await self._get(1, False)

    async def get_many(self, max_items: int = 1000) -> list[Any]:
        """Wait for the first message, then take up to `max_items` at once. A message that
        does not decode raises kelvane.DecodeError as kelvane.Queue.get_many says."""
        if isinstance(max_items, bool) or not isinstance(max_items, int):
            raise TypeError(f"'max_items' must be an int, not {type(max_items).__name__}")
        if max_items < 1:
            raise ValueError("'max_items' must be at least 1")
        objs: list[Any] = await self._get(max_items, True)
        return objs

    async def _get(self, max_items: int, many: bool) -> Any:
        """Takes up to `max_items` records (held ones first), waiting for the first, and
        decodes them: the object of one (not `many`), or the list."""
        q = self._queue
        tries = 0
        while True:
            kq = q._kq
            got: list[Any] = []
            taken: list[Any] | None = got
            try:
                if q._held:
                    q._unhold(got, max_items)
                    if got and len(got) < max_items:
                        q._bq.try_get_many(max_items - len(got), got)
                if not got:
                    taken = q._bq.try_get_many(max_items, got)
                if got:
                    return q._decode_many(got) if many else q._decode_one(got)
            except DecodeError:
                raise
            except BaseException:
                if got:
                    q._held.appendleft(got)
                raise
            if taken is None:
                tries += 1
                await _after_busy(tries)
            else:
                tries = 0
                await _until_ready(q, kq, 0)

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
        # None only while consumers move on every look and the lock is busy at each try:
        # the lock keeps being released then, so a few more looks find it free. (A holder
        # that is stopped cannot make consumers move: the count without the lock succeeds.)
        for _ in range(64):
            counted = kq.stats_nowait()
            if counted is not None:
                return counted
        return kq.stats()

    def qsize(self) -> int:
        """Messages held right now, with those this object took and has not delivered yet
        (see kelvane.Queue.get_many); counted without waiting for the queue's lock."""
        return self._fill()[1] + self._queue._held_count()

    def empty(self) -> bool:
        return self._fill()[0] == 0 and not self._queue._held

    def full(self) -> bool:
        """True when not even an empty message would fit right now."""
        return self.capacity - self._fill()[0] < RECORD_OVERHEAD

    # -- lifetime ---------------------------------------------------------------------------

    def close(self) -> None:
        """Detach this process, as kelvane.Queue.close (a queue made without a name loses it).
        Calls awaiting on this object then raise ValueError; ``async for`` ends. Never waits:
        messages it hands back to the queue (see kelvane.Queue.close) go from a short-lived
        thread when the queue's lock is busy."""
        self._queue._close(False)

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
