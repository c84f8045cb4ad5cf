"""kelvane.AsyncLock (kelvane.aio re-exports it) and the thread that waits for awaited locks.

A robust mutex belongs to the thread that took it, so an AsyncLock is tried and released
only on its event loop's thread, each time one native call that never waits. A try that
finds the lock held hands it to the one lock-waiting thread of the process (started on
first use), which sleeps on the words of every lock that anybody awaits, marked so that
the holder's release wakes it (kelvane._native.LockWaiter), and tells each waiting loop
with call_soon_threadsafe; the loop then tries again, and somebody else may have been
first.
"""

from __future__ import annotations

import asyncio
import inspect
import os
import threading
import weakref
from collections.abc import Callable
from types import TracebackType

from kelvane._native import LockWaiter
from kelvane.lock import Lock
from kelvane_core import LockRecovered

__all__ = ["AsyncLock"]


# ---------------------------------------------------------------------------
# The waiting thread


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class _Watcher:
    """The one thread of this process that waits until awaited locks come free, for every
    event loop; each future it resolves only says: try again."""

    def __init__(self) -> None:
        self._guard = threading.Lock()
        self._point = LockWaiter()
        self._waiting: dict[Lock, list[asyncio.Future[None]]] = {}
        self._looked = True  # the thread has seen every lock: a change must interrupt it
        self._thread: threading.Thread | None = None

    def until_free(self, lock: Lock) -> asyncio.Future[None]:
        """A future of the running loop, resolved once `lock` seems free."""
        future: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        with self._guard:
            self._waiting.setdefault(lock, []).append(future)
            interrupt, self._looked = self._looked, False
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="kelvane-aio-lock-wait", daemon=True)
                self._thread.start()
        if interrupt:
            self._point.interrupt()
        return future

    def forget(self, lock: Lock, future: asyncio.Future[None]) -> None:
        """A waiter that gave up (cancelled, timed out): the thread stops watching for it."""
        with self._guard:
            futures = self._waiting.get(lock)
            if futures is None or future not in futures:
                return
            futures.remove(future)
            if futures:
                return
            del self._waiting[lock]
            interrupt, self._looked = self._looked, False
        if interrupt:
            self._point.interrupt()

    def _run(self) -> None:
        point = self._point
        while True:
            with self._guard:
                self._looked = True
                seen = point.seen()
                locks = list(self._waiting)
            try:
                free = point.wait(locks, seen, None)
            except Exception:
                free = list(range(len(locks)))  # its waiters try again and meet the error themselves
            if not free:
                continue
            woken: list[asyncio.Future[None]] = []
            with self._guard:
                for i in free:
                    woken += self._waiting.pop(locks[i], [])
            for future in woken:
                try:
                    future.get_loop().call_soon_threadsafe(_wake, future)
                except RuntimeError:
                    pass  # its loop is closed: nobody waits any more


_watcher = _Watcher()  # its thread starts on first use


def _forget_parents_watcher() -> None:
    # A forked child has none of its parent's threads: it starts its own on first use.
    global _watcher
    _watcher = _Watcher()


os.register_at_fork(after_in_child=_forget_parents_watcher)


async def _until_free(lock: Lock) -> None:
    watcher = _watcher
    future = watcher.until_free(lock)
    try:
        await future
    except BaseException:
        watcher.forget(lock, future)
        raise


# ---------------------------------------------------------------------------
# AsyncLock

# The coroutines of one loop that want one lock take turns here: only the one whose turn
# it is tries the mutex, and they get it in the order they asked.
_turns: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[str, asyncio.Lock]] = (
    weakref.WeakKeyDictionary())


def _lock_key(name: str) -> str:
    return name if name.startswith("/") else "/" + name  # the name the system knows it by


class AsyncLock:
    """kelvane.Lock for coroutines: ``await lock.acquire()``, ``lock.release()``,
    ``async with lock``, with kelvane.Lock's ``on_recovered`` and LockRecovered rules.

    The mutex is tried on the event loop's thread; while another thread or process holds
    it, the process's one lock-waiting thread sleeps until the holder lets go and then
    tells the loop, so waiting costs no thread per waiter and a release is seen at once.
    A robust mutex belongs to the thread that took it: acquire and release on the loop's
    thread (every coroutine of one loop does). Coroutines of one loop take the lock in
    the order they asked for it.

    ``on_recovered`` may be a plain function or a coroutine function; it runs with the
    lock held after a take-over from a dead holder, before ``acquire`` returns or the
    ``async with`` body starts. If it raises (or is cancelled), the lock is released and
    the error propagates. Without it, ``acquire`` raises LockRecovered with the lock
    held, and ``async with`` raises it after releasing the lock, without running the body.
    """

    def __init__(self, name: str, *, on_recovered: Callable[[], object] | None = None) -> None:
        if on_recovered is not None and not callable(on_recovered):
            raise TypeError("'on_recovered' must be callable or None")
        self._lock = Lock(name)
        self.name: str = name
        self._on_recovered = on_recovered
        # The turn that the coroutine holding the lock through this object took: release
        # hands it on, with or without a running loop.
        self._held_turn: asyncio.Lock | None = None

    def _turn(self) -> asyncio.Lock:
        loop = asyncio.get_running_loop()
        turns = _turns.get(loop)
        if turns is None:
            turns = _turns[loop] = {}
        key = _lock_key(self.name)
        turn = turns.get(key)
        if turn is None:
            turn = turns[key] = asyncio.Lock()
        return turn

    async def acquire(self) -> bool:
        """Wait for the lock; True once it is held (as asyncio.Lock.acquire)."""
        await self._acquire(False)
        return True

    async def _acquire(self, in_with: bool) -> None:
        turn = self._turn()
        await turn.acquire()
        try:
            recovered = await self._take()
        except BaseException:
            turn.release()
            raise
        self._held_turn = turn
        if recovered is not None:
            await self._recovered(recovered, in_with)

    async def _take(self) -> LockRecovered | None:
        """Tries until the lock is held; the LockRecovered of a take-over, else None."""
        lock = self._lock
        while True:
            try:
                if lock.acquire(False):
                    return None
            except LockRecovered as news:
                return news
            await _until_free(lock)

    async def _recovered(self, news: LockRecovered, in_with: bool) -> None:
        repair = self._on_recovered
        if repair is None:
            if in_with:
                self.release()
                raise LockRecovered(
                    "Lock recovered from dead process; the async with block did not run and the lock was "
                    "released again (give kelvane.AsyncLock an on_recovered callable to repair under it)")
            raise news  # the caller holds the lock, repairs, then releases it
        try:
            result = repair()
            if inspect.isawaitable(result):
                await result
        except BaseException:
            self.release()
            raise

    def release(self) -> None:
        """Release the lock; only the thread of the loop that took it may."""
        self._lock.release()
        turn, self._held_turn = self._held_turn, None
        if turn is None:  # taken through another object of the same name
            try:
                turn = _turns.get(asyncio.get_running_loop(), {}).get(_lock_key(self.name))
            except RuntimeError:
                turn = None
        if turn is not None and turn.locked():
            turn.release()

    def locked(self) -> bool:
        """True while some thread of some process holds the lock (as its word shows now)."""
        return self._lock.locked()

    async def __aenter__(self) -> None:
        await self._acquire(True)

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        self.release()

    def unlink(self) -> None:
        """Remove the name; processes that opened the lock keep using it."""
        self._lock.unlink()

    def __reduce__(self) -> tuple[Callable[..., AsyncLock], tuple[str, Callable[[], object] | None]]:
        return (_rebuild_lock, (self.name, self._on_recovered))

    def __repr__(self) -> str:
        return f"<kelvane.AsyncLock {self.name!r}>"


def _rebuild_lock(name: str, on_recovered: Callable[[], object] | None) -> AsyncLock:
    return AsyncLock(name, on_recovered=on_recovered)


# kelvane.aio is where users, pickles and reprs find them.
AsyncLock.__module__ = _rebuild_lock.__module__ = "kelvane.aio"
