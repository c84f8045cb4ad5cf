"""kelvane.Lock: a named inter-process lock in the shape of threading.Lock."""

from __future__ import annotations

import math
import os

from kelvane_core import KelLock, LockRecovered

__all__ = ["Lock", "LockRecovered"]


class Lock:
    """A lock shared by name between processes, which survives a dead holder.

    ``acquire`` and ``release`` behave as threading.Lock's, with one addition: when
    the previous holder died while holding the lock, ``acquire`` takes the lock over
    and raises ``kelvane.LockRecovered`` with the lock held, so that the caller can
    repair whatever the dead holder left half done before releasing it::

        try:
            lock.acquire()
        except kelvane.LockRecovered:
            repair_shared_state()      # the lock is ours here
        try:
            update_shared_state()
        finally:
            lock.release()

    The lock belongs to the thread that acquired it: only that thread may release
    it, and acquiring it again from that thread raises RuntimeError instead of
    waiting for itself for ever. A process forked while the lock is held does not
    hold it: the hold stays with the parent's thread.
    """

    def __init__(self, name: str) -> None:
        self._lock = KelLock(name)
        self.name: str = name
        # The process that took the lock through this object and has not released it.
        self._held_in: int | None = None

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        """Wait for the lock, as threading.Lock.acquire; True when it was acquired."""
        wait: float | None
        if not blocking:
            if timeout != -1:
                raise ValueError("can't specify a timeout for a non-blocking call")
            wait = 0
        elif timeout == -1:
            wait = None
        else:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"'timeout' must be a number, not {type(timeout).__name__}")
            if math.isnan(timeout) or timeout < 0:
                raise ValueError("timeout value must be a non-negative number")
            wait = timeout
        try:
            got = self._lock.acquire_timed(wait)
        except LockRecovered:
            self._held_in = os.getpid()  # held all the same
            raise
        if got:
            self._held_in = os.getpid()
        return got

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
        return self.acquire()

    def __exit__(self, *exc_info: object) -> None:
        self.release()

    def unlink(self) -> None:
        """Remove the name; processes that opened the lock keep using it."""
        KelLock.unlink(self.name)

    def __reduce__(self) -> tuple[type[Lock], tuple[str]]:
        return (Lock, (self.name,))

    def __repr__(self) -> str:
        return f"<kelvane.Lock {self.name!r}>"
