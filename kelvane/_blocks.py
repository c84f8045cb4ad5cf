"""Recycled shared blocks: where large messages travel, beside a queue's ring.

Every queue that carries a large message gets a block arena: shared memory that every
process using the queue maps once and keeps mapped, carved into blocks that are backed
once and then recycled from message to message, so steady streaming makes no page
faults, no mmap/munmap and no allocation per message. A producer copies the message into
a free block (one copy; none with a loan) and puts a 64-byte reference in the ring; the
consumer's get makes the block its own in the same hold of the queue's lock that takes
the record, and receives numpy arrays and other pickle-5 buffers as views of the block.
The block goes back to the arena when the last view of it in the consumer is released
(kelvane._native.Block counts its exports, as mmap does).

Where the memory lives: a named object in /dev/shm ("kb_" + the arena's id in 16 hex
digits) while /dev/shm has room for the whole arena; otherwise (a container's 64 MB
/dev/shm) anonymous shared memory (a memfd) that every process of the queue keeps open
and that the others open through /proc/PID/fd of one of them, with a warning once per
process. KELVANE_BLOCKS=shm or =memfd chooses for good; KELVANE_BLOCKS=off sends every large message in
a side segment of its own, as before blocks. Memory in a memfd lasts as long as
some process keeps the arena open: a large message waiting in a queue whose every process
has exited is lost (DecodeError), where one in /dev/shm survives until the queue is
unlinked.

Bounds: an arena holds at most 64 times the ring's capacity (1 GiB for the default
16 MiB), backed as blocks are first used and kept for reuse until the queue is unlinked.
A producer that finds no free block waits for one while blocks are in the ring (queue.Full
on its timeout); when every block that could fit is held by consumers, or the message is
larger than the arena, the message travels in a side segment of its own (kelvane._side).

Layouts (little-endian), for programs in any language:

  the arena's control object, "kb_<id>" (the queue header's u64 at offset 416 holds the id)
    0     robust process-shared pthread mutex (in a 128-byte slot)
    128   futex word pair bumped when a block is freed (u32 sequence, u32 sleepers)
    256   magic b"KELARENA", u64 version 1, u64 id, u64 space kind (1: the blocks follow
          in this object; 2: a memfd), u64 space size, u64 bytes carved, u64 slots used,
          u64 ready, u64 creator pid, u64 creator start time, u64 queue name length
    512   the queue's name (256 bytes)
    768   64 holders of a memfd space: u32 pid, i32 fd, u64 start time
    4096  1024 slots of 128 bytes: u32 state (0 unused, 1 free, 2 writing, 3 queued,
          4 held), u32 owner pid, u64 owner start time, u64 owner pid namespace, u64
          offset, u64 capacity, u64 generation, u64 ring position of its record, u64
          bytes backed, u64 last change (CLOCK_MONOTONIC ns)
    2 MiB the blocks (space kind 1); for a memfd, the blocks are at 2 MiB in it and its
          first bytes are b"KELSPACE" and the id

  the reference: the last 64 bytes of a ring record (the whole record for kelvane.Queue)
    0   b"\\x00KELBLK1" (its first byte starts no pickle stream, as a side reference's)
    8   u64 arena id    16 u32 slot, u32 kind (1: bytes, 2: pickle protocol 5)
    24  u64 block offset (from the start of the blocks), 32 u64 block capacity
    40  u64 generation (of the slot: a recycled block has another), 48 u64 message length
    56  u64 FNV-1a of bytes 0..55

  a block: b"KELBLOCK", u64 generation, u64 length, u32 kind, u32 part count, 32 bytes
  reserved; then (u64 offset from the block's start, u64 length) per part. Kind 1 has one
  part (the message's bytes); kind 2 has the pickle stream, then each out-of-band buffer
  at a 4096-byte boundary.

  a loan (Queue.loan, loan_array; kv_queue_loan of kelvane.h): its bytes at 4096 in the
  block; before them, once sent, the header, the part table and, for kind 2, the pickle
  stream at 96 (at most 4000 bytes).

From C and C++ (include/kelvane.h): a C program sends kind 1 (kv_loan_send,
kv_queue_put_block), which kelvane.Queue(serializer=None) receives as a memoryview of the
block, and numpy arrays as kind 2 (kv_loan_send_array): part 1 the array's bytes, part 0 the
pickle stream of array_of(<out-of-band buffer 0>, dtype, shape) below, which a C program
writes from a template:
  b"\x80\x05" (protocol 5), b"\x8c\x0fkelvane._blocks", b"\x8c\x08array_of", b"\x93"
  (STACK_GLOBAL), b"\x97" (NEXT_BUFFER), b"\x8c" + u8 length + the dtype (a numpy type
  string such as "<f8"), b"(" (MARK), per dimension b"\x8a\x08" + i64 (LONG1), b"t"
  (TUPLE), b"\x87" (TUPLE3), b"R" (REDUCE), b"." (STOP).
So any kelvane.Queue receives it as a numpy array that is a view of the block. A C consumer
(kv_queue_receive) gets every part where it lies; the copying gets and views of kelvane.h
deliver a message of one part as its bytes and leave one of several parts queued for it.

A slot changes only under the arena's mutex. A producer's block is "writing" (owner: it);
the put that stores its record makes it "queued" at the record's ring position, before
the write position that publishes the record is stored; the get that takes the record
makes it "held" by the consumer, before the read position that consumes it is stored.
So whoever next looks for a block knows from the positions alone what a dead process left:
a writing block of a dead producer is free; a queued block whose position the read
position has passed was consumed by a reader that keeps no account (a view's commit) and
is free; a held block of a dead consumer is queued again if its record is still in the
ring (the consumer died inside the get), else free. A block never goes back while this
process exports it, and a recycled block's generation differs from any older reference's,
so no message is ever read from another message's block.

Fork: a forked child gets private copies of the blocks its parent had received and still
exports (its writes never reach the parent, as with process memory), and never gives them
back: they stay the parent's.
"""

from __future__ import annotations

import os
import pickle
import warnings
from typing import Any

from kelvane import _side
from kelvane._native import BlockQueue

SHM_DIR = "/dev/shm"
MAGIC = b"\x00KELBLK1"
KIND_BYTES = 1
KIND_PICKLE = 2
SPACE_PER_CAPACITY = 64  # an arena holds at most this many times its ring's capacity
SETTING = "KELVANE_BLOCKS"

_dumps = pickle.dumps
_loads = pickle.loads
_warned = False


ARENA_PREFIX = "kb_"
ARENA_ID_AT = 416  # in the queue header: the id of the queue's arena, 0 for none


def array_of(buffer: Any, dtype: str, shape: tuple[int, ...]) -> Any:
    """The numpy array a C or C++ program sent in a block (see the module doc string): a
    view of `buffer`, the block's part that holds its bytes in C order."""
    import numpy as np

    return np.frombuffer(buffer, dtype=np.dtype(dtype)).reshape(shape)


def arena_name(arena_id: int) -> str:
    return f"{ARENA_PREFIX}{arena_id:016x}"


def arena_of_queue(queue_name: str) -> int:
    """The id of the arena the queue `queue_name` names in its header; 0 for none (or no
    such queue)."""
    try:
        fd = os.open(os.path.join(SHM_DIR, queue_name.lstrip("/")), os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except (OSError, ValueError):
        return 0
    try:
        raw = os.pread(fd, 8, ARENA_ID_AT)
    except OSError:
        return 0
    finally:
        os.close(fd)
    return int.from_bytes(raw, "little") if len(raw) == 8 else 0


def remove_of_queue(queue_name: str) -> bool:
    """Removes the name of the arena of the queue `queue_name` (while that queue has its
    name); True when there was one."""
    arena_id = arena_of_queue(queue_name)
    if arena_id == 0:
        return False
    try:
        os.unlink(os.path.join(SHM_DIR, arena_name(arena_id)))
    except FileNotFoundError:
        return False
    return True


class Record(bytes):
    """A ring record that announces a block of this process's, not stored yet: a put that
    does not store it gives the block back (Blocks.discard)."""

    __slots__ = ()


def is_block_record(data: Any) -> bool:
    return data[:8] == MAGIC


def space_for(capacity: int) -> int:
    return SPACE_PER_CAPACITY * capacity


def use_memfd(space: int) -> bool:
    """Where a new arena of `space` bytes keeps its blocks: in /dev/shm while it has room for
    all of them (or KELVANE_BLOCKS=shm), else in a memfd."""
    setting = os.environ.get(SETTING, "").strip().lower()
    if setting in ("shm", "memfd"):
        return setting == "memfd"
    try:
        st = os.statvfs(SHM_DIR)
    except OSError:
        return True
    return st.f_bavail * st.f_frsize < space


def _warn_memfd(queue_name: str, space: int) -> None:
    global _warned
    if _warned:
        return
    _warned = True
    try:
        st = os.statvfs(SHM_DIR)
        have = f"{st.f_bavail * st.f_frsize / (1 << 20):.0f} MiB free"
    except OSError:
        have = "not usable"
    warnings.warn(
        f"kelvane: {SHM_DIR} has {have}, less than the {space >> 20} MiB of blocks a queue may use "
        f"(64 times its capacity); large messages of queue {queue_name!r} travel in anonymous shared "
        "memory instead, which lasts only while some process of the queue runs. A larger /dev/shm "
        f"(docker run --shm-size) keeps them there; {SETTING}=memfd silences this.",
        ResourceWarning, stacklevel=4)


LOAN_STREAM = 4096 - 96  # the longest pickle stream that goes before a loan's bytes


def loaned_block(obj: Any) -> Any:
    """The Block a loaned array or memoryview lies in."""
    base = obj
    while not isinstance(base, memoryview):
        base = base.base
    return base.obj


class _Closed:
    """A closed object's handle: every call says the queue is closed."""

    __slots__ = ("_name",)

    def __init__(self, name: str) -> None:
        self._name = name

    def __getattr__(self, attr: str) -> Any:
        raise ValueError(f"queue {self._name!r} is closed")


class Blocks:
    """One kelvane object's access to the block arena of its queue."""

    __slots__ = ("bq", "queue_name", "space", "enabled", "_ready", "_closed_arena")

    def __init__(self, queue_name: str, capacity: int) -> None:
        self.bq = BlockQueue(queue_name)
        self.queue_name = queue_name
        self.space = space_for(capacity)
        # KELVANE_BLOCKS=off: every large message travels in a side segment of its own.
        self.enabled = os.environ.get(SETTING, "").strip().lower() != "off"
        self._ready = False
        self._closed_arena = 0

    def ready(self) -> bool:
        """Whether this queue carries large messages in blocks (its arena made, if need be)."""
        if not self._ready:
            if not self.enabled:
                return False
            self._ensure()
        return True

    def _ensure(self) -> None:
        memfd = use_memfd(self.space)
        created, in_memfd = self.bq.ensure_arena(self.queue_name, self.space, memfd)
        if in_memfd and os.environ.get(SETTING, "").strip().lower() != "memfd":
            _warn_memfd(self.queue_name, self.space)
        self._ready = True

    def write(self, kind: int, parts: list[Any], wait: float | None, head: bytes = b"",
              made: list[Any] | None = None) -> Record | bool | None:
        """The record of a message copied into a block (see BlockQueue.write_message):
        False when `wait` ran out, None when no block can take it. `made`: the record is
        appended to it before the call returns (see _side.discard_unstored)."""
        if not self._ready:
            if not self.enabled:
                return None
            self._ensure()
        got = self.bq.write_message(kind, parts, wait, head, made)
        if type(got) is bytes:
            return Record(got)
        return got

    def write_pickle(self, obj: Any, wait: float | None, min_buffer: int, head: bytes = b"",
                     made: list[Any] | None = None) -> Record | bool | None:
        """The record of `obj` pickled straight into a block, its contiguous buffers of at
        least `min_buffer` bytes out of band; as write otherwise."""
        if not self._ready:
            if not self.enabled:
                return None
            self._ensure()
        got = self.bq.write_pickle(obj, wait, min_buffer, head, made)
        if type(got) is bytes:
            return Record(got)
        return got

    def close(self) -> None:
        """Lets the queue's mapping go; blocks written or received stay valid."""
        if not isinstance(self.bq, _Closed):
            self._closed_arena = self.bq.arena_id
            self.bq = _Closed(self.queue_name)

    def discard(self, records: Any) -> None:
        """Gives back the blocks of records that were written and will never be stored."""
        for record in records:
            if type(record) is Record:
                BlockQueue.give_back(record)

    # -- records with a header of their own (the pool's messages) -----------------------

    def pickle_record(self, obj: Any, side_min: int, room: int, wait: float | None) -> bytes:
        """What follows a pool message's header: the pickle of `obj`; or, for a large one, a
        block's reference (a Record), or a side segment's when no block was free within
        `wait` seconds. The reference ends the message, where the queue handles look for it."""
        try:
            data = _dumps(obj, 5, buffer_callback=_side.inband_unless_large)
        except _side.LargeBuffer:
            got = self.write_pickle(obj, wait, _side.OOB_MIN)
            if type(got) is Record:
                return got
            return _side.pickle_buffers(self.queue_name, obj, room)
        if len(data) > side_min:
            got = self.write(KIND_PICKLE, [data], wait)
            if type(got) is Record:
                return got
            return _side.write(self.queue_name, data, room=room)
        return data

    def unpickle_record(self, body: Any, message: Any) -> Any:
        """The object of `body`, what follows the header of the taken `message`."""
        if body[:8] == MAGIC:
            return self.decode(message)
        return _side.unpickle_record(body)

    def discard_records(self, bodies: Any) -> None:
        """Gives back the blocks (and removes the side segments) of bodies that will never be
        read: records never stored, or taken and never decoded."""
        bodies = [body[0] if type(body) is tuple else body for body in bodies]  # (a block message read already)
        for body in bodies:
            if body[:8] == MAGIC:
                BlockQueue.give_back(body)
        _side.discard_pickle_records(b for b in bodies if not isinstance(b, _side.Message))

    def decode(self, record: Any, loads: Any = None) -> Any:
        """The object a taken record announces. Raises ValueError when the record or its
        block is not sound; `loads` decodes a kind-1 message (None: its bytes as a
        memoryview of the block)."""
        kind, parts = self.bq.open_block(record)
        if kind == KIND_PICKLE:
            stream = parts[0]
            try:
                return _loads(stream, buffers=parts[1:])
            finally:
                stream.release()
        if loads is None:
            return parts[0]
        data = parts[0]
        try:
            return loads(bytes(data))
        finally:
            data.release()

    def unlink(self) -> None:
        """Removes the name of the queue's arena (also after close)."""
        if not isinstance(self.bq, _Closed):
            self.bq.unlink_arena()
        elif self._closed_arena:
            try:
                os.unlink(os.path.join(SHM_DIR, arena_name(self._closed_arena)))
            except FileNotFoundError:
                pass


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=BlockQueue.before_fork, after_in_parent=BlockQueue.after_fork_in_parent,
                        after_in_child=BlockQueue.after_fork_in_child)
