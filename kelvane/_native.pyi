# The types of kelvane._native, the package's native types beyond kelvane_core's.
# The doc strings repeat the module's own, for readers of the stubs and the API reference.
import sys
from collections.abc import Callable, Sequence
from typing import final

from typing_extensions import disjoint_base

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

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

@final
class Block:
    """A block of shared memory that a large message arrived in; given back to its queue when the last view of it is gone."""

    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...
        def __release_buffer__(self, buffer: memoryview, /) -> None: ...
    def release(self) -> None: ...
    @property
    def nbytes(self) -> int: ...

@final
class BlockQueue:
    def __new__(cls, name: str) -> BlockQueue: ...
    @property
    def capacity(self) -> int: ...
    @property
    def arena_id(self) -> int: ...
    def put_bytes_timed(self, data: Buffer, timeout: float | None, done: list[int] | None = None) -> bool: ...
    def put_many(self, items: Sequence[Buffer], timeout: float | None, done: list[int] | None = None) -> bool: ...
    def try_put(self, data: Buffer, done: list[int] | None = None, claim: bool = False) -> bool | None: ...
    def try_put_many(self, items: Sequence[Buffer], done: list[int] | None = None, claim: bool = False) -> bool | None: ...
    def withdraw_claim(self) -> None: ...
    def get_bytes_timed(self, timeout: float | None, into: list[bytes] | None = None) -> bytes | None: ...
    def get_many(self, max_items: int, timeout: float | None, into: list[bytes] | None = None) -> list[bytes]: ...
    def try_get_many(self, max_items: int, into: list[bytes] | None = None) -> list[bytes] | None: ...
    def ensure_arena(self, queue_name: str, space_size: int, memfd: bool) -> tuple[bool, bool]: ...
    def write_message(self, kind: int, parts: Sequence[Buffer], timeout: float | None, head: Buffer,
                      made: list[object] | None = None) -> bytes | bool | None: ...
    def put_pickle(self, obj: object, timeout: float | None, min_buffer: int) -> bool | None: ...
    def write_pickle(self, obj: object, timeout: float | None, min_buffer: int, head: Buffer,
                     made: list[object] | None = None) -> bytes | bool | None: ...
    def get_object(self, timeout: float | None, into: list[object]) -> object: ...
    def lend(self, nbytes: int, timeout: float | None) -> Block | bool | None: ...
    def loan_record(self, loan: Block, stream: Buffer | None, head: Buffer) -> bytes: ...
    @staticmethod
    def give_back(record: Buffer) -> bool: ...
    def open_block(self, record: Buffer, into: list[object] | None = None, index: int = 0) -> tuple[int, list[memoryview]]: ...
    def arena_counts(self) -> tuple[int, int, int, int, int, int, int, int, bool, int] | None: ...
    def reclaim(self) -> tuple[int, int, int, int, int, int, int, int, bool, int] | None: ...
    def unlink_arena(self) -> bool: ...
    @staticmethod
    def before_fork() -> None: ...
    @staticmethod
    def after_fork_in_parent() -> None: ...
    @staticmethod
    def after_fork_in_child() -> None: ...
