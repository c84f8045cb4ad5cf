"""kelvane.Queue: a named inter-process queue of Python objects, in the shape of queue.Queue."""

from __future__ import annotations

import atexit
import collections
import importlib
import itertools
import math
import os
import pickle
import queue as _stdlib_queue
import secrets
import threading
import time
import types
import weakref
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Protocol

from kelvane import _blocks, _objects, _side
from kelvane_core import KelQueue

if TYPE_CHECKING:
    from kelvane.aio import AsyncQueue
__all__ = ["Queue", "Full", "Empty", "DecodeError", "DEFAULT_CAPACITY"]

Full = _stdlib_queue.Full
Empty = _stdlib_queue.Empty

MIB = 1 << 20
DEFAULT_CAPACITY = 16 * MIB
# Every message takes a 4-byte length field in the ring besides its bytes.
RECORD_OVERHEAD = 4
SHM_DIR = "/dev/shm"
_pickle_dumps = pickle.dumps
_pickle_loads = pickle.loads
_inband_unless_large = _side.inband_unless_large
_Ref = _side.Ref
_Message = _side.Message
_TAG = _side.TAG
_MAGIC = _blocks.MAGIC
_SIDE_PREFIX = _side.PREFIX.encode()
_BLOCK_RECORD = 64  # a block's reference: the whole record of a Queue's block message

# Set by kelvane.aio while its waiting thread may hold waits: wakes the coroutines awaiting
# a handle that is being closed (they then find it closed).
_release_waits: Callable[[KelQueue], None] | None = None


class DecodeError(Exception):
    """A message that the queue's serializer could not decode. It has been taken from the
    queue; its bytes are in ``data`` and the serializer's own error is the ``__cause__``.
    No other message is lost with it.

    For a message that travelled beside the ring, ``data`` is its serialized stream and,
    for a pickle with out-of-band buffers, ``buffers`` holds those (read-only views of the
    received memory; ``pickle.loads(e.data, buffers=e.buffers)`` tries again). When even
    its segment could not be read, ``data`` is the ring's record that named it."""

    def __init__(self, data: bytes, buffers: tuple[memoryview, ...] = ()) -> None:
        super().__init__(f"a message of {len(data)} bytes could not be decoded")
        self.data = data
        self.buffers = buffers


class _SideRecord(Exception):
    """Raised by a custom serializer's loads for a record that names a side segment: the
    caller's slow path reads it."""


# A block message read already stands in a call's list in place of its record as the tuple
# (record, kind, parts): its parts (views of the block, which they keep this process's) are
# decoded again by a later call.


def _decode_error(item: Any) -> DecodeError:
    """The DecodeError of a record, or of a side segment's or block's message, that did not
    decode."""
    if type(item) is tuple:
        parts = item[2]
        return DecodeError(bytes(parts[0]), tuple(p.toreadonly() for p in parts[1:]))
    if type(item) is _Message:
        return DecodeError(bytes(item.stream), tuple(b.toreadonly() for b in item.buffers))
    return DecodeError(item)


# Ctrl-C and records. A record taken from the ring is at every moment in exactly one place:
# the list of the call that took it (which the native call fills as it takes, so that a
# KeyboardInterrupt raised the instant the call returns still finds it there), this
# object's held batches, or delivered. Each call that takes records holds its list back at
# the front of self._held on any exit that delivers nothing; a side segment's record is
# replaced in that list by its Message before the segment's name goes (_side.read). Every
# hand-over between those places is one C-level step (a list or deque operation) with no
# Python call in between, at which point a signal handler cannot run. A put learns the
# names of the side segments it makes before they exist (`made`) and the native calls note
# what they stored in the same list, so a put interrupted anywhere removes exactly what it
# made and did not store: its handler files the list in _unstored (one step) and then
# removes those segments; a second Ctrl-C meanwhile leaves the rest to the next put that
# makes a segment, or to the interpreter's exit.

# Puts that ended without storing all they made: (made, encoded).
_unstored: list[tuple[list[Any], list[bytes]]] = []
_unstored_lock = threading.Lock()


def _discard_unstored() -> None:
    """Removes the segments of the puts filed in _unstored, each taken off once done."""
    with _unstored_lock:
        while _unstored:
            made, encoded = _unstored[0]
            _side.discard_unstored(made, encoded)
            del _unstored[0]


def _new_unstored_lock() -> None:
    global _unstored_lock
    _unstored_lock = threading.Lock()  # another thread of the parent may have held it


atexit.register(_discard_unstored)
os.register_at_fork(after_in_child=_new_unstored_lock)


class Serializer(Protocol):
    def dumps(self, obj: Any, /) -> bytes: ...
    def loads(self, data: bytes, /) -> Any: ...


def _wait_seconds(block: bool, timeout: float | None) -> float | None:
    """The native timeout for a stdlib-style (block, timeout) pair."""
    if not block:
        return 0
    if timeout is None:
        return None
    if not isinstance(timeout, (int, float)) or isinstance(timeout, bool):
        raise TypeError(f"'timeout' must be a number or None, not {type(timeout).__name__}")
    if math.isnan(timeout) or timeout < 0:
        raise ValueError("'timeout' must be a non-negative number")
    return timeout


def _size_mb(capacity: int) -> int:
    if isinstance(capacity, bool) or not isinstance(capacity, int):
        raise TypeError(f"'capacity' must be an int (bytes), not {type(capacity).__name__}")
    if capacity <= 0:
        raise ValueError("'capacity' must be a positive number of bytes")
    return -(-capacity // MIB)


def _object_path(name: str) -> str:
    return os.path.join(SHM_DIR, name.lstrip("/"))


def _open_error(name: str, error: RuntimeError) -> Exception:
    """What to raise for a native failure to open `name`: a plain word when the name holds
    something that is no queue, else the native error itself."""
    try:
        _objects.refuse_unless(name, "queue")
    except ValueError as refusal:
        return refusal
    return error


class Queue:
    """A bounded multi-producer, multi-consumer queue of Python objects in shared memory.

    Any process on the machine can attach to it by name (``Queue.attach(q.name)``),
    and a process killed at any moment loses at most the message it was copying:
    it never corrupts the queue or stalls the others.

    ``capacity`` is the ring's size in bytes, rounded up to a whole MiB; a message
    takes its serialized length plus 4 bytes. ``serializer`` is anything with
    ``dumps`` and ``loads`` (default: pickle); ``None`` passes bytes through as they are.

    Objects of any size: a message larger than 256 KiB (or an eighth of the ring, if
    less) travels in a shared-memory segment of its own, and with pickle (protocol 5)
    every out-of-band buffer of at least 192 KiB (a numpy array, a PickleBuffer) is
    copied once into such a segment and arrives as a view of it, without another copy.
    The receiver removes the segment's name at once; ``unlink`` removes the queue's
    segments with its name. With ``serializer=None`` a message is the caller's bytes in
    the ring and must fit it.

    A message the serializer cannot decode is reported on its own (``DecodeError``,
    with its bytes); when that happens inside ``get_many``, the messages taken with it
    that were not delivered yet stay with this object and are served first by its next
    ``get``, ``get_many`` or ``view`` (``qsize`` counts them; ``close`` hands them back
    to the queue).
    """

    def __init__(
        self,
        name: str | None = None,
        capacity: int | None = None,
        *,
        create: bool = True,
        serializer: Serializer | None = pickle,
    ) -> None:
        if serializer is not None and not (hasattr(serializer, "dumps") and hasattr(serializer, "loads")):
            raise TypeError("'serializer' must have dumps() and loads(), or be None")
        self._serializer = serializer
        # pickle itself: protocol 5 with out-of-band buffers, and records no pickle stream
        # starts with for side segments; another serializer's output is escaped instead.
        self._pickled = serializer is pickle
        creator = 0  # the pid that removes the name of a queue made without one
        if name is None:
            if not create:
                raise ValueError("a queue without a name can only be created")
            q, name = self._create_fresh(_size_mb(DEFAULT_CAPACITY if capacity is None else capacity))
            # The name was made up here, so nobody else can be expected to remove it; only
            # this process may, never a child forked from it that inherits this object.
            creator = os.getpid()
        elif not isinstance(name, str):
            raise TypeError(f"'name' must be str or None, not {type(name).__name__}")
        elif create:
            q = self._open_or_create(name, capacity)
        else:
            q = self._open_existing(name, capacity)
        self._q: KelQueue | None = q
        self.name: str = name
        self._capacity: int = q.capacity
        self._max_data: int = self._capacity - RECORD_OVERHEAD
        self._side_min: int = _side.side_min(self._capacity)
        self._side_room: int = self._capacity // 8  # the most a side record takes
        # Every record is taken (and every large one put) through the block-aware handle: it
        # keeps the queue's block arena in step with the ring.
        self._blocks = _blocks.Blocks(name, self._capacity)
        self._bq = self._blocks.bq
        # Loans not sent yet (loan, loan_array), by id: each entry goes with its buffer.
        self._loans: weakref.WeakValueDictionary[int, Any] = weakref.WeakValueDictionary()
        # Messages taken from the ring that were not delivered yet, in batches, oldest first:
        # after a message that did not decode, the rest of its batch waits here, older than
        # anything in the ring; so does a batch whose call was interrupted. An entry is a
        # record, or the Message of a side segment already read (its name gone).
        self._held: collections.deque[list[Any]] = collections.deque()
        self._in_use: _objects.InUse | None = _objects.mark_in_use(name)
        # Closing (or dropping) this object: see _leave. unlink() clears the creator.
        self._creator = [creator]
        self._leave = weakref.finalize(self, _leave, name, self._creator, self._in_use, self._bq)
        self._bind_fast_paths()

    # -- construction -------------------------------------------------------------

    @classmethod
    def attach(cls, name: str, *, serializer: Serializer | None = pickle) -> Queue:
        """Attach to an existing queue; raises FileNotFoundError (creating nothing) if there is none."""
        return cls(name, create=False, serializer=serializer)

    @staticmethod
    def _create_fresh(size_mb: int) -> tuple[KelQueue, str]:
        while True:
            name = "kq_" + secrets.token_hex(8)
            if not os.path.exists(_object_path(name)):  # 64 random bits: a clash is only paranoia
                return KelQueue(name, size_mb), name

    @staticmethod
    def _open_existing(name: str, capacity: int | None) -> KelQueue:
        try:
            q = KelQueue.attach(name)
        except RuntimeError as e:
            if "ENOENT" in str(e):
                raise FileNotFoundError(f"no kelvane queue named {name!r} exists") from None
            raise _open_error(name, e) from None
        if capacity is not None and _size_mb(capacity) * MIB != q.capacity:
            raise ValueError(f"queue {name!r} holds {q.capacity} bytes, not {_size_mb(capacity) * MIB}")
        return q

    @staticmethod
    def _open_or_create(name: str, capacity: int | None) -> KelQueue:
        """Opens the queue `name` (at its own size when no capacity is given), or creates it.
        Several processes may do this at once: exactly one creates, the others open."""
        if capacity is not None:
            size_mb = _size_mb(capacity)
            try:
                return KelQueue(name, size_mb)
            except RuntimeError as e:
                error = _open_error(name, e)
            try:
                q = KelQueue.attach(name)
            except RuntimeError:
                raise error from None
            if q.capacity != size_mb * MIB:
                raise ValueError(f"queue {name!r} holds {q.capacity} bytes, not {size_mb * MIB}") from None
            return q
        for _ in range(3):
            try:
                return KelQueue.attach(name)
            except RuntimeError as e:
                if "ENOENT" not in str(e):
                    raise _open_error(name, e) from None
            try:
                return KelQueue(name, _size_mb(DEFAULT_CAPACITY))
            except RuntimeError as e:
                # Another process made it meanwhile, perhaps at another size: open that one.
                error = _open_error(name, e)
        raise error

    def _bind_fast_paths(self) -> None:
        ser = self._serializer
        self._dumps = ser.dumps if ser is not None else bytes
        self._loads = ser.loads if ser is not None else None
        if ser is not None and not self._pickled:
            self._loads = self._custom_loads

    def __reduce__(self) -> tuple[Any, tuple[str, Any]]:
        # Another process gets its own attachment by name, never the owner's duty to unlink.
        ser: Any = self._serializer
        if isinstance(ser, types.ModuleType):  # modules travel by name
            ser = ("module", ser.__name__)
        return (_attach, (self.name, ser))

    # -- the stdlib queue interface -------------------------------------------------

    # Encoding and decoding, shared by every put and get (and the asyncio side): _encode
    # and _encode_many turn objects into ring records, making a side segment for each large
    # message (a record of type _side.Ref, its path noted in `made`); _side.discard_unstored
    # removes the segments of records that were encoded and never stored; _decode_one and
    # _decode_many turn the records of a call's list back into objects (see "Ctrl-C and
    # records" above).

    def _encode(self, obj: Any, made: list[Any] | None = None, wait: float | None = None,
                busy_side: bool = False) -> bytes:
        """The ring record of one object: a block's reference when it travels in a block of
        the queue's arena, a _side.Ref in a side segment (each noted in `made`). A large
        message waits up to `wait` seconds for a free block, then raises queue.Full
        (busy_side: travels in a side segment instead)."""
        if self._pickled:
            try:
                data = _pickle_dumps(obj, 5, buffer_callback=_inband_unless_large)
            except _side.LargeBuffer:
                got = self._blocks.write_pickle(obj, wait, _side.OOB_MIN, made=made)
                if got is None or (got is False and busy_side):
                    return _side.pickle_buffers(self.name, obj, self._side_room, made)
                return self._written(got)
            if len(data) > self._side_min:
                return self._large_bytes(_blocks.KIND_PICKLE, data, wait, busy_side, made)
            return data
        if self._serializer is None:
            if not isinstance(obj, (bytes, bytearray, memoryview)):
                raise TypeError(f"a queue without a serializer takes bytes-like objects, not {type(obj).__name__}")
            data = bytes(obj)
            if len(data) > self._max_data:
                self._refuse(data)
            return data
        data = self._dumps(obj)
        if len(data) > self._side_min:
            return self._large_bytes(_blocks.KIND_BYTES, data, wait, busy_side, made)
        if data[:1] in (_side.TAG, _side.ESCAPE):
            return _side.ESCAPE + data
        return data

    def _large_bytes(self, kind: int, data: bytes, wait: float | None, busy_side: bool,
                     made: list[Any] | None) -> bytes:
        got = self._blocks.write(kind, [data], wait, made=made)
        if got is None or (got is False and busy_side):
            return _side.write(self.name, data, room=self._side_room, made=made)
        return self._written(got)

    @staticmethod
    def _written(got: bytes | bool) -> bytes:
        if got is False:
            raise Full("no free block came before the timeout")
        assert isinstance(got, bytes)
        return got

    def _encode_many(self, items: Iterable[Any], made: list[Any], wait: float | None = None,
                     busy_side: bool = False) -> list[bytes]:
        """The records of several objects. Everything is encoded before anything is put:
        a serializer error, or a message that never fits, puts nothing (the caller removes
        the side segments noted in `made`)."""
        if self._serializer is None:
            encoded = list(items)
            if set(map(type, encoded)) - {bytes}:
                encoded = [self._encode(obj) for obj in encoded]
            if encoded and max(map(len, encoded)) > self._max_data:
                self._refuse(max(encoded, key=len))
            return encoded
        objs = list(items)
        if self._pickled:
            try:
                encoded = [_pickle_dumps(obj, 5, buffer_callback=_inband_unless_large) for obj in objs]
            except _side.LargeBuffer:
                encoded = []
            else:
                if not encoded or max(map(len, encoded)) <= self._side_min:
                    return encoded
        else:
            encoded = list(map(self._dumps, objs))
            if not any(len(data) > self._side_min or data[:1] in (_side.TAG, _side.ESCAPE) for data in encoded):
                return encoded
        # Some message takes the slow path: encode one at a time.
        deadline = None if wait is None else time.monotonic() + wait
        return [self._encode(obj, made, None if deadline is None else max(0.0, deadline - time.monotonic()), busy_side)
                for obj in objs]

    def _refuse(self, data: bytes) -> None:
        raise ValueError(
            f"a message of {len(data)} bytes never fits this queue "
            f"({self._capacity} bytes, {RECORD_OVERHEAD} of them per message for its length); "
            "a queue with the pickle serializer (the default) carries it outside the ring"
        )

    def _closed(self) -> ValueError:
        return ValueError(f"queue {self.name!r} is closed")

    # put and get are the hot paths: everything they need is at hand, nothing is
    # computed twice.

    def put(self, obj: Any, block: bool = True, timeout: float | None = None) -> None:
        """Put `obj`, waiting for room as queue.Queue.put does; raises queue.Full on timeout."""
        q = self._q
        if q is None:
            raise self._closed()
        if self._loans and self._loans.get(id(obj)) is obj:
            self._put_loan(obj, None if block and timeout is None else _wait_seconds(block, timeout))
            return
        if self._pickled:
            try:
                data = _pickle_dumps(obj, 5, buffer_callback=_inband_unless_large)
            except _side.LargeBuffer:
                data = None
            if data is None or len(data) > self._side_min:
                self._put_made(q, obj, data, block, timeout)
                return
        elif self._serializer is None and type(obj) is bytes:
            if len(obj) > self._max_data:
                self._refuse(obj)
            data = obj
        else:
            self._put_made(q, obj, None, block, timeout)
            return
        if not q.put_bytes_timed(data, None if block and timeout is None else _wait_seconds(block, timeout)):
            raise Full

    def _put_made(self, q: KelQueue, obj: Any, data: bytes | None, block: bool, timeout: float | None) -> None:
        """put() of what may make a side segment: a large pickle (`data`, or None when its
        out-of-band buffers go beside it), or anything for another serializer."""
        made: list[Any] = []
        wait = None if block and timeout is None else _wait_seconds(block, timeout)
        if data is None and self._pickled and self._blocks.ready():
            # Large out-of-band buffers: pickled, copied into a block and put in one call.
            stored = self._bq.put_pickle(obj, wait, _side.OOB_MIN)
            if stored:
                return
            if stored is False:
                raise Full("no free block or room came before the timeout")
        try:
            if data is None and self._pickled:  # no block can take it: a side segment
                data = _side.pickle_buffers(self.name, obj, self._side_room, made)
            elif data is None:
                data = self._encode(obj, made, wait)
            else:
                data = self._large_bytes(_blocks.KIND_PICKLE, data, wait, False, made)
            if made:  # a block or a side segment: the put notes in `made` that it stored the record
                if _unstored:
                    _discard_unstored()
            if not self._bq.put_bytes_timed(data, wait, made):
                raise Full
        except BaseException:
            if made:
                _unstored.append((made, []))
                _discard_unstored()
            raise

    # -- zero-copy sends ----------------------------------------------------------------

    def loan(self, nbytes: int, timeout: float | None = None) -> memoryview:
        """A writable buffer of `nbytes` bytes in this queue's shared memory, to fill in
        place and send with ``put`` without a copy; it arrives as a memoryview of the same
        memory (or, with a custom serializer, as the bytes it decodes). A loan that is
        dropped unsent goes back. Waits up to `timeout` seconds for a free block
        (queue.Full after that); where no block can take it at all, it is a private buffer
        that ``put`` copies."""
        block = self._lend(nbytes, timeout)
        if block is None:
            return memoryview(bytearray(nbytes))
        view = memoryview(block)
        self._loans[id(view)] = view
        return view

    def loan_array(self, shape: Any, dtype: Any = float, timeout: float | None = None) -> Any:
        """A writable numpy array of `shape` and `dtype` in this queue's shared memory, to
        fill in place (``a[:] = ...``) and send with ``put(a)`` without a copy; the receiver
        gets it as any array, a view of the same memory. After ``put`` the array is
        read-only here. A loan that is dropped unsent goes back; see ``loan`` for the rest."""
        import numpy as np

        dtype = np.dtype(dtype)
        count = math.prod(shape) if isinstance(shape, tuple) else int(shape)
        block = self._lend(count * dtype.itemsize, timeout)
        if block is None:
            return np.empty(shape, dtype)
        array = np.frombuffer(block, dtype=dtype).reshape(shape)
        self._loans[id(array)] = array
        return array

    def _lend(self, nbytes: int, timeout: float | None) -> Any:
        self._kq  # raises when closed
        if isinstance(nbytes, bool) or not isinstance(nbytes, int) or nbytes < 0:
            raise ValueError("a loan takes a non-negative number of bytes")
        if not self._blocks.ready():
            return None
        got = self._bq.lend(nbytes, _wait_seconds(True, timeout))
        if got is False:
            raise Full("no free block came before the timeout")
        return got

    def _put_loan(self, obj: Any, wait: float | None) -> None:
        """Sends a loan where it lies: only its header and reference are written."""
        block = _blocks.loaned_block(obj)
        if isinstance(obj, memoryview):
            stream = None
        else:
            buffers: list[pickle.PickleBuffer] = []
            stream = _pickle_dumps(obj, 5, buffer_callback=buffers.append)
            if len(buffers) != 1 or memoryview(buffers[0]).nbytes != block.nbytes or len(stream) > _blocks.LOAN_STREAM:
                del self._loans[id(obj)]  # not the loan as it was made (a dtype pickle cannot hold?): copied
                self.put(obj, True, wait)
                return
        record = self._bq.loan_record(block, stream, b"")
        if not self._bq.put_bytes_timed(record, wait):
            raise Full  # still a loan: it may be put again
        del self._loans[id(obj)]
        if not isinstance(obj, memoryview):
            obj.flags.writeable = False  # what was sent is the receiver's to read

    def get(self, block: bool = True, timeout: float | None = None) -> Any:
        """Take the oldest object, waiting as queue.Queue.get does; raises queue.Empty on timeout."""
        q = self._q
        if q is None:
            raise self._closed()
        got: list[Any] = []
        took_block = False  # got[0] is a block's message whose pickle get_object could not load
        try:
            try:
                if self._held:
                    self._unhold(got, 1)
                if got:
                    data = got[0]
                elif self._pickled:
                    took_block = True
                    data = self._bq.get_object(None if block and timeout is None else _wait_seconds(block, timeout),
                                               got)
                    took_block = False
                    if not got:
                        raise Empty
                    if got[0] is not data:
                        return data  # a block's message, decoded by the call that took it
                    return _pickle_loads(data)
                else:
                    data = self._bq.get_bytes_timed(None if block and timeout is None else _wait_seconds(block, timeout),
                                                    got)
                    if data is None:
                        raise Empty
                # _decode_one, inline: this is the hot path.
                loads = self._loads
                if loads is None:
                    return data if len(data) != _BLOCK_RECORD or not data.startswith(_MAGIC) else self._raw_block(got)
                return loads(data)
            except Exception as e:
                if not got:
                    raise
                if took_block and type(got[0]) is tuple:  # loaded once already: not again
                    raise _decode_error(got[0]) from e
                return self._decode_slowly(got, e)
        except DecodeError:
            raise
        except BaseException:  # Ctrl-C: the message waits in this object
            if got:
                self._held.appendleft(got)
            raise

    def _decode_one(self, got: list[Any]) -> Any:
        """The object of got[0], a record this call took (see get); raises DecodeError, the
        message then consumed."""
        data = got[0]
        loads = self._loads
        if loads is None:
            return data if len(data) != _BLOCK_RECORD or not data.startswith(_MAGIC) else self._raw_block(got)
        try:
            return loads(data)
        except Exception as e:
            return self._decode_slowly(got, e)

    def _raw_block(self, got: list[Any]) -> Any:
        """Without a serializer: a sent loan, as a memoryview of its block; any other bytes
        that look like a block's reference are the caller's own."""
        try:
            return self._blocks.decode(got[0])
        except ValueError:
            return got[0]

    def _decode_slowly(self, got: list[Any], error: Exception) -> Any:
        """got[0] did not decode on the fast path (`error`): a side segment's record (which
        no pickle stream starts with, so the fast path costs the others nothing) or Message,
        else a message that does not decode."""
        data = got[0]
        if self._serializer is not None and (type(data) in (_Message, tuple) or data[:1] == _TAG):
            try:
                return self._load_side(got, 0)
            except DecodeError:
                raise
            except Exception as side_error:
                raise _decode_error(got[0]) from side_error
        raise DecodeError(data) from error

    def _load_side(self, got: list[Any], i: int) -> Any:
        """The object of the side segment got[i] names (or of its Message, read already):
        the Message replaces the record in `got` before the segment loses its name."""
        item = got[i]
        if type(item) is tuple or (type(item) is not _Message and item[:8] == _MAGIC):
            return self._load_block(got, i)
        if type(item) is _Message:
            item.unname()
        else:
            item = _side.read(item, got, i)
        if self._pickled:
            return _pickle_loads(item.stream, buffers=item.buffers)
        assert self._serializer is not None
        return self._serializer.loads(bytes(item.stream))

    def _load_block(self, got: list[Any], i: int) -> Any:
        """The object of the block message got[i] (a record this process took, or its
        (record, kind, parts) tuple, read already, which replaces the record in `got` before it decodes).
        A block that cannot be read is a ValueError; one whose bytes do not decode a
        DecodeError with its stream and buffers."""
        if type(got[i]) is not tuple:
            self._bq.open_block(got[i], got, i)  # got[i] is (record, kind, parts) from here on
        item = got[i]
        _, kind, parts = item
        try:
            if kind == _blocks.KIND_PICKLE:
                return _pickle_loads(parts[0], buffers=parts[1:])
            if self._pickled:  # raw bytes (a loan's): a view of them, as get_object gives
                return parts[0]
            assert self._serializer is not None
            return self._serializer.loads(bytes(parts[0]))
        except Exception as e:
            raise _decode_error(item) from e

    def _custom_loads(self, data: bytes) -> Any:
        """loads for a serializer other than pickle: its records may be escaped or refer to
        a side segment (left to the slow path)."""
        first = data[:1]
        if first == _side.TAG:
            raise _SideRecord
        assert self._serializer is not None
        if first == _side.ESCAPE:
            return self._serializer.loads(data[1:])
        return self._serializer.loads(data)

    def put_nowait(self, obj: Any) -> None:
        self.put(obj, False)

    def get_nowait(self) -> Any:
        return self.get(False)

    def put_many(self, items: Iterable[Any], block: bool = True, timeout: float | None = None) -> None:
        """Put several objects, taking the queue's lock once per batch.

        Objects that fit the queue together go in as one batch, all or nothing; a
        larger sequence goes in batches of at most half the capacity each. If the time
        runs out, queue.Full says how many objects went in (always a leading part).
        """
        wait = _wait_seconds(block, timeout)
        if _unstored:
            _discard_unstored()
        made: list[Any] = []
        encoded: list[bytes] = []
        try:
            encoded = self._encode_many(items, made, wait)
            if not encoded:
                return
            deadline = None if wait is None else time.monotonic() + wait
            done = 0
            for batch in self._batches(encoded):
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                if not self._bq.put_many(batch, left, made):
                    if done == 0:
                        raise Full("no item was put before the timeout")
                    raise Full(f"{done} of {len(encoded)} items were put before the timeout")
                done += len(batch)
        except BaseException:
            if made:
                _unstored.append((made, encoded))
                _discard_unstored()
            raise

    def _batches(self, encoded: list[bytes]) -> list[list[bytes]]:
        total = sum(map(len, encoded)) + RECORD_OVERHEAD * len(encoded)
        if total <= self._capacity:
            return [encoded]
        limit = self._capacity // 2
        batches: list[list[bytes]] = []
        current: list[bytes] = []
        size = 0
        for data in encoded:
            need = len(data) + RECORD_OVERHEAD
            if current and size + need > limit:
                batches.append(current)
                current, size = [], 0
            current.append(data)
            size += need
        batches.append(current)
        return batches

    def get_many(self, max_items: int = 1000, timeout: float | None = None, block: bool = True) -> list[Any]:
        """Take up to `max_items` objects at once, waiting only for the first.

        Raises queue.Empty when nothing came before the timeout. When a message does not
        decode, the objects decoded before it are returned; the call that meets it first
        raises DecodeError for it alone, and the messages after it stay with this object
        for the next call.
        """
        q = self._kq
        got: list[Any] = []
        try:
            if self._held and type(max_items) is int and max_items > 0:
                self._unhold(got, max_items)
                if len(got) < max_items:
                    self._bq.get_many(max_items - len(got), 0, got)
            if not got:
                self._bq.get_many(max_items, None if block and timeout is None else _wait_seconds(block, timeout), got)
                if not got:
                    raise Empty
            return self._decode_many(got)
        except DecodeError:
            raise
        except BaseException:  # Ctrl-C while taking or decoding: nothing is lost
            if got:
                self._held.appendleft(got)
            raise

    def _decode_many(self, got: list[Any]) -> list[Any]:
        """The objects of records this call took together (see get_many for one that does
        not decode: what follows it goes back to this object's held batches, and leaves
        `got`)."""
        loads = self._loads
        if loads is None:
            if any(len(data) == _BLOCK_RECORD and data.startswith(_MAGIC) for data in got):
                got[:] = [self._raw_block([data]) for data in got]
            return got
        objs: list[Any] = []
        start = 0
        while True:
            try:
                # On an error, objs holds what decoded before it.
                objs.extend(map(loads, itertools.islice(got, start, None)) if start else map(loads, got))
                return objs
            except Exception as e:
                failed = len(objs)
                data = got[failed]
                error: BaseException = e
                if self._serializer is not None and (type(data) in (_Message, tuple) or data[:1] == _TAG):
                    try:
                        obj = self._load_side(got, failed)
                    except Exception as side_error:
                        error = side_error
                    else:
                        objs.append(obj)
                        start = failed + 1
                        continue
                if failed:  # delivered first; the next call meets the failure again
                    rest = got[failed:]
                    del got[failed:]
                    self._held.appendleft(rest)
                    return objs
                rest = got[1:]
                del got[1:]
                if rest:
                    self._held.appendleft(rest)
                if isinstance(error, DecodeError):  # a block whose bytes did not decode
                    raise error
                raise _decode_error(got[0]) from error

    def _unhold(self, got: list[Any], max_items: int) -> None:
        """Moves up to `max_items` held entries, oldest first, to the call's list `got`."""
        held = self._held
        while held and len(got) < max_items:
            got += held[0]
            del held[0]
        if len(got) > max_items:
            rest = got[max_items:]
            del got[max_items:]
            held.appendleft(rest)

    def _held_count(self) -> int:
        return sum(map(len, self._held))

    def qsize(self) -> int:
        """Messages held right now (counted under the queue's lock; may change at once),
        with those this object took and has not delivered yet."""
        return self._kq.stats()[1] + self._held_count()

    def empty(self) -> bool:
        return self._kq.stats()[0] == 0 and not self._held

    def full(self) -> bool:
        """True when not even an empty message would fit right now."""
        return self._capacity - self._kq.stats()[0] < RECORD_OVERHEAD

    @property
    def capacity(self) -> int:
        """Bytes in the ring; a message takes its serialized length plus 4."""
        return self._capacity

    @property
    def async_q(self) -> AsyncQueue:
        """The asyncio side of this queue (kelvane.AsyncQueue): the same handle, serializer
        and held messages, with awaitable put and get."""
        from kelvane.aio import AsyncQueue

        return AsyncQueue._of(self)

    # -- zero-copy receive ------------------------------------------------------------

    @contextmanager
    def view(self, timeout: float | None = None) -> Iterator[memoryview]:
        """Lend the oldest message's bytes in place, as a read-only memoryview.

        A clean exit from the ``with`` block removes the message from the queue; an
        exception leaves it there. The view is valid inside the block only (it is
        released on exit). The message is not reserved: with several consumers, use
        ``get`` instead, or one consumer per queue. A message that travels beside the ring
        (see the class doc string) lends its reference, not its bytes.
        """
        got: list[Any] = []
        try:
            if self._held:
                self._unhold(got, 1)
            if got:
                yield from self._view_held(got)
                return
        except BaseException:
            if got:
                self._held.appendleft(got)
            raise
        found = self._kq.recv_view_timed(_wait_seconds(True, timeout))
        if found is None:
            raise Empty
        mv, next_pos = found
        # A large message's record lends its reference: removing the record removes its
        # side segment too (with a serializer only: without one, the bytes are the caller's).
        side = (os.path.join(SHM_DIR, _side.segment_name(mv))
                if self._serializer is not None and mv[:1] == _TAG and bytes(mv[1:4]) == _SIDE_PREFIX else None)
        try:
            yield mv
        finally:
            mv.release()
        try:
            self._kq.commit_read(next_pos)
        except RuntimeError:
            raise  # not committed: the message stays
        except BaseException:  # Ctrl-C after the commit
            if side is not None:
                try:
                    os.unlink(side)
                except OSError:
                    pass
            raise
        if side is not None:
            try:
                os.unlink(side)
            except FileNotFoundError:
                pass

    def _view_held(self, got: list[Any]) -> Iterator[memoryview]:
        """view() of a held entry: its record (a Message lends the record that named it)."""
        item = got[0]
        side = None
        if type(item) is tuple:
            record = item[0]
        elif type(item) is _Message:
            record = item.record
            if item.named:
                side = item.path
        else:
            record = item
            if self._serializer is not None and record[:1] == _TAG and record[1:4] == _SIDE_PREFIX:
                side = os.path.join(SHM_DIR, _side.segment_name(record))
        mv = memoryview(record)
        try:
            yield mv
        finally:
            mv.release()
        del got[:]  # consumed: its segment goes with it
        if side is not None:
            try:
                os.unlink(side)
            except OSError:
                pass

    # -- lifetime ---------------------------------------------------------------------

    @property
    def _kq(self) -> KelQueue:
        q = self._q
        if q is None:
            raise self._closed()
        return q

    def close(self) -> None:
        """Detach this process; the queue lives on for others (see unlink).

        A queue made here without a name also loses its name, since nobody else
        could know to remove it; processes attached already keep using it. Calls
        awaiting on this queue's asyncio side (``async_q``) raise ValueError. Messages
        this object took and did not deliver (see get_many) go back to the queue, at
        its end, as far as there is room for them now.
        """
        self._close(True)

    def _close(self, may_wait: bool) -> None:
        q, self._q = self._q, None
        if q is not None:
            release = _release_waits
            if release is not None:
                release(q)
            if self._held:
                self._put_back(q, may_wait)
        self._in_use = None
        self._leave()
        self._blocks.close()
        self._bq = self._blocks.bq

    def _put_back(self, q: KelQueue, may_wait: bool) -> None:
        """Hands the held entries back to the end of the queue, as far as there is room now;
        what does not fit is dropped with its side segment. A Message (a side segment read
        already) goes back in a new segment. may_wait: the queue's lock may be waited for
        (up to about a second behind a stopped holder); else one try, and a busy lock hands
        the records to a short-lived thread that waits for it."""
        held, self._held = self._held, collections.deque()
        records: list[Any] = []
        made: list[Any] = []
        try:
            for batch in held:
                for item in batch:
                    if type(item) is tuple:  # its block is this process's: it goes back with it
                        item = item[0]
                    elif type(item) is _Message:
                        item.unname()
                        item = _side.write(self.name, item.stream, item.buffers, item.flags, self._side_room, made)
                    records.append(item)
        except BaseException:
            self._drop_records(records)
            _side.discard_unstored(made, ())
            raise
        if not records:
            return
        bq = self._bq  # blocks this object holds are published again with their records
        if may_wait:
            if not bq.put_many(records, 0):
                for i, data in enumerate(records):
                    if not bq.put_bytes_timed(data, 0):
                        self._drop_records(records[i:])
                        return
            return
        if bq.try_put_many(records) is not True:  # no room for all, or a busy lock: not on this thread
            threading.Thread(target=self._put_back_patiently, args=(bq, records), name="kelvane-put-back",
                             daemon=True).start()

    def _put_back_patiently(self, q: Any, records: list[Any]) -> None:
        """_put_back with tries that never wait, made again after a busy lock however long
        its holder keeps it (a stopped one, say)."""
        if _try_patiently(q.try_put_many, records):
            return
        for i, data in enumerate(records):
            if not _try_patiently(q.try_put, data):
                self._drop_records(records[i:])
                return

    def _drop_records(self, records: Iterable[Any]) -> None:
        """Gives back the blocks and removes the side segments of records that will never be
        read."""
        if self._serializer is not None:
            records = list(records)
            self._blocks.discard_records(records)

    def unlink(self) -> None:
        """Remove the name; processes attached already keep using the queue.

        The side segments of the queue's large messages go with it: a message in the
        queue that has one can no longer be decoded (DecodeError)."""
        self._creator[0] = 0  # the name is removed now; a later one may be another queue's
        try:
            KelQueue.unlink(self.name)
        finally:
            self._blocks.unlink()
            _side.remove_of_queue(self.name)

    def __enter__(self) -> Queue:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._q is None else f"capacity={self._capacity}"
        return f"<kelvane.Queue {self.name!r} {state}>"


def _try_patiently(attempt: Callable[[Any], bool | None], what: Any) -> bool:
    """attempt(what), a native try, until it says more than "the lock was busy"."""
    tries = 0
    while (stored := attempt(what)) is None:
        tries += 1
        time.sleep(min(0.05, 0.0005 * tries))
    return stored


def _attach(name: str, serializer: Any) -> Queue:
    if isinstance(serializer, tuple) and serializer[:1] == ("module",):
        serializer = importlib.import_module(serializer[1])
    return Queue.attach(name, serializer=serializer)


def _leave(name: str, creator: list[int], mark: _objects.InUse | None, bq: Any) -> None:
    """A Queue object is closed or dropped. The creator of a queue made without a name
    removes the name (never a child forked from it, which inherits the object). The last
    kelvane object anywhere to leave a queue that has lost its name removes what its large
    messages left: nobody can reach them any more."""
    if creator[0] == os.getpid():
        try:
            KelQueue.unlink(name)
        except RuntimeError:
            pass  # already gone
    if mark is None or not _objects.leave(mark):
        return
    try:
        named = os.stat(_object_path(name)).st_ino
    except OSError:
        named = None
    if named == os.fstat(mark.fd).st_ino:
        return  # still named: its messages wait for whoever attaches next
    bq.unlink_arena()
    if named is None:  # (a new queue of that name has side segments of the same name)
        _side.remove_of_queue(name)
