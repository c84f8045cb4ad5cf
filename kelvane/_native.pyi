# The types of kelvane._native, the package's native types beyond kelvane_core's.
# The doc strings repeat the module's own, for readers of the stubs and the API reference.
from collections.abc import Callable, Sequence
from typing import final

from typing_extensions import disjoint_base

@disjoint_base
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
    one instead of waiting for ever for itself. A process forked while the lock is
    held does not hold it: the hold stays with the parent's thread.
    """

    def __new__(cls, name: str, *, on_recovered: Callable[[], object] | None = None) -> Lock: ...
    @property
    def name(self) -> str:
        """The lock's name, as given."""
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        """Wait for the lock, as threading.Lock.acquire; True when it was acquired."""
    def release(self) -> None:
        """Release the lock; only the thread that acquired it may."""
    def locked(self) -> bool:
        """True while some thread of some process holds the lock (as its word shows now)."""
    def __enter__(self) -> bool: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def unlink(self) -> None:
        """Remove the name; processes that opened the lock keep using it."""
    def __reduce__(self) -> tuple[Callable[..., Lock], tuple[str, Callable[[], object] | None]]: ...

@final
class LockWaiter:
    """Where a thread waits for many kelvane.Lock objects to come free without taking them."""

    def __new__(cls) -> LockWaiter: ...
    def seen(self) -> int:
        """The interrupt count now: the value to wait with after a look at what to watch."""
    def interrupt(self) -> None:
        """Ends a wait of this object made with an earlier seen()."""
    def wait(self, locks: Sequence[Lock], seen: int, timeout: float | None) -> list[int]:
        """Waits, without the interpreter lock, until one of `locks` comes free, an interrupt
        comes after `seen`, or `timeout` seconds (None: no limit); returns the indices of the
        free ones (another thread or process may take them first), [] after an interrupt or
        the timeout."""
