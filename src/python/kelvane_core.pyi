"""Fast, crash-safe inter-process primitives on POSIX shared memory."""

import sys
from collections.abc import Sequence
from typing import Any, final

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__ = ["KelLock", "KelQueue", "KelPoolCore", "LockRecovered"]

class LockRecovered(RuntimeError):
    """Raised by an acquire that took the lock over from a dead holder; the lock is held."""

@final
class KelLock:
    """A named lock shared by processes: one robust, process-shared mutex in a 4096-byte
    segment of /dev/shm. ``KelLock(name)`` opens the segment or creates and initialises it;
    the segment stays until ``KelLock.unlink(name)``. Dropping the object neither releases
    the lock nor removes the name. Ownership belongs to the thread that acquired it.
    ``with lock:`` binds ``None``: keep the object to release it."""

    def __new__(cls, name: str) -> KelLock: ...
    def acquire(self) -> None:
        """Take the lock, waiting as long as it takes (the interpreter lock is given up only
        while the lock is busy). Raises LockRecovered, with the lock held, when the previous
        holder died holding it; RuntimeError("Lock failure: Pthread error: 35") when this
        thread holds it already."""
    def release(self) -> None:
        """Let the lock go. A thread that does not hold it gets
        RuntimeError("Unlock failed: Pthread error: 1")."""
    def acquire_timed(self, timeout: float | None) -> bool:
        """Take the lock within ``timeout`` seconds (None: no limit; 0: one try); False when
        the time ran out. Waits in 50 ms slices, running signal handlers between them, so
        Ctrl-C interrupts it and leaves the lock as it was."""
    def __enter__(self) -> None: ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> None: ...
    @staticmethod
    def unlink(name: str) -> None:
        """Remove the name; processes that opened the lock keep using it among themselves."""

@final
class KelQueue:
    """A named, bounded, multi-producer and multi-consumer queue of byte messages: a
    16384-byte header and a ring that every process maps twice back to back.
    ``KelQueue(name, size_mb)`` opens the queue or creates it with a ring of ``size_mb``
    MiB; every process passes the same size. A message takes its length plus 4 bytes."""

    def __new__(cls, name: str, size_mb: int) -> KelQueue: ...
    @classmethod
    def attach(cls, name: str) -> KelQueue:
        """Open an existing queue at the size it was made with; never creates one."""
    @property
    def capacity(self) -> int:
        """The ring's size in bytes."""
    def put_bytes(self, data: bytes) -> None:
        """Store a message, waiting while the ring is full (without the interpreter lock).
        A message that can never fit raises RuntimeError("Queue put error: Buffer too small")."""
    def get_bytes(self) -> bytes:
        """Take the oldest message, waiting while the queue is empty."""
    def recv_view(self) -> tuple[memoryview, int]:
        """The oldest message in place, as a read-only view, and the position to commit;
        nothing is taken until ``commit_read``. One consumer at a time."""
    def commit_read(self, next_pos: int) -> None:
        """Consume the message ``recv_view`` lent; its bytes may be overwritten afterwards."""
    def put_bytes_timed(self, data: Buffer, timeout: float | None, done: list[Any] | None = None) -> bool:
        """Store any C-contiguous buffer within ``timeout`` seconds (None: no limit; 0: no
        wait for room); False when the time ran out and nothing was stored."""
    def get_bytes_timed(self, timeout: float | None, into: list[Any] | None = None) -> bytes | None:
        """Take the oldest message within ``timeout`` seconds; None when none came.
        ``into``: a list to which the message is appended as it is taken."""
    def put_many(self, items: Sequence[Buffer], timeout: float | None, done: list[Any] | None = None) -> bool:
        """Store a batch together, all or none, within ``timeout`` seconds."""
    def get_many(self, max_items: int, timeout: float | None, into: list[Any] | None = None) -> list[bytes]:
        """Wait up to ``timeout`` seconds for the first message, then take up to
        ``max_items`` at once; an empty list on timeout."""
    def recv_view_timed(self, timeout: float | None) -> tuple[memoryview, int] | None:
        """``recv_view`` within ``timeout`` seconds; None when no message came."""
    def stats(self) -> tuple[int, int]:
        """(bytes held, messages held), counted under the queue's lock."""
    def try_put(self, data: Buffer, done: list[Any] | None = None, claim: bool = False) -> bool | None:
        """One try that never waits, not even for the queue's lock: True when stored, False
        when there is no room, None when the lock was held at that instant. With
        ``claim=True`` a try that finds no room claims it for the calling thread, as a
        waiting ``put_bytes_timed`` does (it lapses 0.5 s after the last renewal). ``done``:
        a list to which the number of messages stored is appended once they are in, so
        that Ctrl-C at the instant the call returns cannot lose the answer."""
    def try_put_many(self, items: Sequence[Buffer], done: list[Any] | None = None, claim: bool = False) -> bool | None:
        """``try_put`` for a batch, all or none."""
    def try_get_many(self, max_items: int, into: list[Any] | None = None) -> list[bytes] | None:
        """Up to ``max_items`` messages (an empty list when there are none) without waiting;
        None when the lock was held at that instant."""
    def withdraw_claim(self) -> None:
        """Drop the calling thread's claim on room (made by ``try_put(..., claim=True)``),
        trying the queue's lock once."""
    def stats_nowait(self) -> tuple[int, int] | None:
        """``stats()`` without waiting for the queue's lock; None when it cannot be told."""
    @staticmethod
    def wait_any(
        waits: Sequence[tuple[KelQueue, int] | tuple[KelQueue, int, int]], word: bytearray, seen: int,
        timeout: float | None,
    ) -> list[int]:
        """Sleep, without the interpreter lock, until one of ``(queue, room)`` is ready
        (room 0: a message; n: n bytes of room; a third item, a thread id whose own claim
        on room counts as free); the indices of those that are, or [] when the first 4
        bytes of ``word`` no longer hold ``seen`` or the time ran out."""
    @staticmethod
    def interrupt_wait(word: bytearray) -> None:
        """Change ``word`` and wake the thread sleeping in ``wait_any`` on it."""
    @staticmethod
    def unlink(name: str) -> None:
        """Remove the name; attached processes keep the queue among themselves."""

@final
class KelPoolCore:
    """The owning side of a worker pool's transport: a task queue and a result queue of
    ``size_mb`` MiB each under fresh names ("kp_task_" and "kp_res_" + 8 hex digits).
    Workers attach with ``KelQueue(name, size_mb)``. Both names are removed by ``unlink()``
    or when the object is destroyed."""

    def __new__(cls, size_mb: int) -> KelPoolCore: ...
    @property
    def task_q_name(self) -> str:
        """The task queue's name."""
    @property
    def result_q_name(self) -> str:
        """The result queue's name."""
    def put_task(self, data: bytes) -> None:
        """Store a task, waiting while the task queue is full."""
    def get_result(self) -> bytes:
        """Take the oldest result, waiting while there is none."""
    def unlink(self) -> None:
        """Remove both names; attached workers keep their mappings."""
