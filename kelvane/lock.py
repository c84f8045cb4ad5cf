"""kelvane.Lock: a named inter-process lock in the shape of threading.Lock."""

from __future__ import annotations

import math
import os
import threading
import time
from collections.abc import Callable

from kelvane import _objects
from kelvane_core import KelLock, LockRecovered

__all__ = ["Lock", "LockRecovered"]

# What the native lock says when the calling thread holds it already (EDEADLK).
_HELD_BY_THIS_THREAD = "Pthread error: 35"


class Lock:
    """A lock shared by name between processes, which survives a dead holder.

    ``acquire`` and ``release`` behave as threading.Lock's. When the previous holder
    died while holding the lock, whatever it protected may be half done. Give the
    lock an ``on_recovered`` callable to repair it: it runs with the lock held, right
    after the take-over and before ``acquire`` returns or the ``with`` body starts::

        lock = kelvane.Lock("orders.lock", on_recovered=repair_shared_state)
        with lock:
            update_shared_state()

    If the repair raises, the lock is released and the error propagates. Without
    ``on_recovered``, ``acquire`` raises ``kelvane.LockRecovered`` with the lock held
    (repair, then release it as usual), and ``with`` raises it after releasing the
    lock, without running the body: no path leaves the lock held with nobody to
    release it.

    The lock belongs to the thread that acquired it: only that thread may release
    it. That thread acquiring it again gets False from a non-blocking or timed
    acquire (after the timeout, as threading.Lock), and RuntimeError from a blocking
    one instead of waiting for itself for ever. A process forked while the lock is
    held does not hold it: the hold stays with the parent's thread.
    """

    def __init__(self, name: str, *, on_recovered: Callable[[], object] | None = None) -> None:
        if not isinstance(name, str):
            raise TypeError(f"'name' must be str, not {type(name).__name__}")
        if on_recovered is not None and not callable(on_recovered):
            raise TypeError("'on_recovered' must be callable or None")
        # Told from its bytes, at once: KelLock would wait for a lock that never comes.
        _objects.refuse_unless(name, "lock")
        self._lock = KelLock(name)
        self.name: str = name
        self._on_recovered = on_recovered
        self._in_use = _objects.mark_in_use(name)
        # The process that took the lock through this object and has not released it.
        self._held_in: int | None = None

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        """Wait for the lock, as threading.Lock.acquire; True when it was acquired."""
        return self._acquire(self._wait(blocking, timeout), False)

    @staticmethod
    def _wait(blocking: bool, timeout: float) -> float | None:
        if not blocking:
            if timeout != -1:
                raise ValueError("can't specify a timeout for a non-blocking call")
            return 0
        if timeout == -1:
            return None
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"'timeout' must be a number, not {type(timeout).__name__}")
        if math.isnan(timeout) or timeout < 0:
            raise ValueError("timeout value must be a non-negative number")
        return timeout

    def _acquire(self, wait: float | None, in_with: bool) -> bool:
        try:
            got = self._lock.acquire_timed(wait)
        except LockRecovered:
            self._held_in = os.getpid()  # held all the same
            if self._on_recovered is None and not in_with:
                raise  # the caller holds the lock, repairs, then releases it
            self._recovered()
            return True
        except RuntimeError as e:
            if not str(e).endswith(_HELD_BY_THIS_THREAD):
                raise
        except BaseException:
            # Ctrl-C (or a signal handler's error) may land right after the lock was taken,
            # before anyone could know to release it.
            self._let_go_if_taken()
            raise
        else:
            if got:
                self._held_in = os.getpid()
            return got
        # This thread holds it (through this object or another one of the same name).
        if wait is None:
            raise RuntimeError(
                f"kelvane.Lock {self.name!r}: this thread already holds it; acquiring it again "
                f"would wait for ever (the lock is not re-entrant)")
        if wait > 0:
            time.sleep(wait)  # nobody else can release it: wait out the time as threading.Lock
        return False

    def _let_go_if_taken(self) -> None:
        # Looked at, not tried: a try could take over a dead holder's lock and swallow the
        # news that the next holder must repair.
        if _objects.lock_owner(self.name) == threading.get_native_id():
            self.release()

    def _recovered(self) -> None:
        """With the lock held after a take-over: repair under it, or (in `with`, where
        nobody would release it) let it go and say so."""
        repair = self._on_recovered
        if repair is None:
            self.release()
            raise LockRecovered(
                "Lock recovered from dead process; the with block did not run and the lock was "
                "released again (give kelvane.Lock an on_recovered callable to repair under it)")
        try:
            repair()
        except BaseException:
            self.release()
            raise

    def release(self) -> None:
        try:
            self._lock.release()
        except RuntimeError as e:
            holder = self._held_in
            if holder is not None and holder != os.getpid() and str(e) == "Unlock failed: Pthread error: 1":
                raise RuntimeError(
                    f"Unlock failed: lock {self.name!r} was held when this process was forked; "
                    f"the hold stays with the thread that took it in process {holder}, which alone can release it"
                ) from e
            raise
        self._held_in = None

    def __enter__(self) -> bool:
        return self._acquire(None, True)

    def __exit__(self, *exc_info: object) -> None:
        self.release()

    def unlink(self) -> None:
        """Remove the name; processes that opened the lock keep using it."""
        KelLock.unlink(self.name)

    def __reduce__(self) -> tuple[Callable[..., Lock], tuple[str, Callable[[], object] | None]]:
        return (_rebuild, (self.name, self._on_recovered))

    def __repr__(self) -> str:
        return f"<kelvane.Lock {self.name!r}>"


def _rebuild(name: str, on_recovered: Callable[[], object] | None) -> Lock:
    return Lock(name, on_recovered=on_recovered)
