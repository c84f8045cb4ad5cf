"""kelvane.Lock: a named inter-process lock in the shape of threading.Lock."""

from __future__ import annotations

import math

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
    waiting for itself for ever.
    """

    def __init__(self, name: str) -> None:
        self._lock = KelLock(name)
        self.name: str = name

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        """Wait for the lock, as threading.Lock.acquire; True when it was acquired."""
        if not blocking:
            if timeout != -1:
                raise ValueError("can't specify a timeout for a non-blocking call")
            return self._lock.acquire_timed(0)
        if timeout == -1:
            return self._lock.acquire_timed(None)
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"'timeout' must be a number, not {type(timeout).__name__}")
        if math.isnan(timeout) or timeout < 0:
            raise ValueError("timeout value must be a non-negative number")
        return self._lock.acquire_timed(timeout)

    def release(self) -> None:
        self._lock.release()

    def __enter__(self) -> bool:
        return self.acquire()

    def __exit__(self, *exc_info: object) -> None:
        self._lock.release()

    def unlink(self) -> None:
        """Remove the name; processes that opened the lock keep using it."""
        KelLock.unlink(self.name)

    def __reduce__(self) -> tuple[type[Lock], tuple[str]]:
        return (Lock, (self.name,))

    def __repr__(self) -> str:
        return f"<kelvane.Lock {self.name!r}>"
