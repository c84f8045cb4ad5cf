"""Side segments: the part of a large message that travels next to a queue's ring.

Large messages travel in recycled blocks of the queue's arena (kelvane._blocks); a side
segment carries one only when no block can take it (larger than the arena, every fitting
block held by consumers that keep their arrays) or with KELVANE_BLOCKS=off.

A message whose serialized form is large, or whose pickle has large out-of-band buffers
(numpy arrays, PickleBuffer objects: pickle protocol 5), is written once into a
shared-memory object made for that message alone; the ring carries a reference to it,
b"\\x00" followed by the object's name. No pickle stream starts with that byte (protocol 2
and later streams start with b"\\x80"), and kelvane.Queue escapes a custom serializer's
output that starts with b"\\x00" or b"\\x01" by putting b"\\x01" in front of it, so a
reference cannot be mistaken for a message.

The reference is padded with zero bytes to 1/64 of the segment's size (at most an eighth of
the ring): the ring still bounds what a queue holds, at 64 times its capacity in side
segments (1 GiB for the default 16 MiB) or seven messages larger than 8 times its capacity,
for 1/64 more bytes copied.

Layout of a side segment (little-endian):
  0    magic b"KELSIDE1"
  8    total size u64 (the object's size; never a lock's 4096 nor a queue's 16384 + k MiB)
  16   creator's start time u64 (clock ticks after boot, /proc/PID/stat field 22)
  24   creator pid u32, flags u32 (1: a pickle stream with out-of-band buffers)
  32   stream offset u64, stream length u64
  48   buffer table offset u64
  56   buffer count u32, queue name length u32
  64   the queue's name (UTF-8, without a leading '/'), then the buffer table (offset u64,
       length u64 per buffer), then the stream, then each buffer at a page boundary.
The header is written before anything else, so even an object whose creator was killed
while copying is recognisable.

Names: "ks_" + 16 hex digits of a hash of the queue's name + "_" + the creator's pid in hex +
"_" + 16 random hex digits. No queue, lock or pool is named so by kelvane, and kelvane ls
tells side segments from everything else by content (magic, size, header), never by name.

Lifetime: the producer makes the object unnamed (O_TMPFILE on /dev/shm, mode 0600), writes
it with pwrite (never through a mapping: a full /dev/shm is an OSError, ENOSPC, at put with
nothing queued, never a SIGBUS), names it (linkat through /proc/self/fd), closes it, and
only then stores the reference in the ring: a producer killed while writing leaves nothing.
(Where O_TMPFILE or /proc is missing, the object is created under its name, sized first
and its header written before anything else.) The caller learns the name before it is
made (write's `made`), so a put interrupted anywhere removes what it made and did not store.
The consumer opens the name, maps it, removes the name at once and closes the descriptor:
a received message leaves nothing named, and its memory lives exactly as long as the
mapping, which Python's mmap object keeps while any memoryview (and so any numpy array
built on one) refers to it.

A received message is process memory. The mapping is private (MAP_PRIVATE): reads come
straight from the object's pages, with no copy, and the first write to a page copies that
page for this process alone (copy on write), so what the consumer writes is its own, and
after os.fork() parent and child each keep their own array, exactly as with memory of their
own. Whatever else hands out received memory (recycled blocks, say) must keep this rule: the
consumer's view never changes under it, and its writes reach nobody else. The pages are
populated for reading (MADV_POPULATE_READ, Linux 5.14 on: no copy); a writable private
mapping populated with MAP_POPULATE would be pre-faulted for writing, which copies every
page. Writing a whole received array therefore costs about one copy of it (measured: 256 MiB
written page by page, 260 ms, against 2 ms through a shared mapping and 84 ms for a copy into
fresh memory); reading costs what it did.

What can be left behind: the object of a producer killed between creating it and storing
its reference, or of a consumer killed between taking the reference and opening it.
`kelvane rm --stale` removes such an object only when no live process could hold its
reference: its creator provably dead (its pid gone or reused, seen by its start time), no
process using it, no record of its queue referring to it, and no live process attached to
its queue (mapping it, even unlinked, or holding its in-use mark), since any such process
may have taken the reference and not opened it yet, or keep it in a remainder after a
DecodeError. So an orphan of a killed consumer stays while its queue has other users, and
goes with the first sweep after they are gone. Queue.unlink() removes every side segment of
its queue at once.

Where the time goes (256 MiB, 4 KiB pages, tmpfs without huge pages, measured on the
development machine): writing through a fresh mapping costs fallocate's zeroing (58 ms),
populating the page tables (74 ms), the copy (24 ms) and unmapping (25 ms); pwrite costs
105 ms (the copy and the page allocation: tmpfs need not zero a page a write fills), so the
producer maps nothing. The consumer populates its mapping for reading (23 ms, against 31 ms
faulting 16 pages at a time); dropping the array unmaps (25 ms) and frees the pages (32 ms). A memcpy
of the same 256 MiB takes 21-24 ms: page management, not copying, bounds this path. A cache
of pre-faulted segments on the producer's side would not change the consumer's share, which
maps and frees whatever it receives; huge pages for tmpfs (shmem_enabled) would.
"""

from __future__ import annotations

import hashlib
import mmap
import os
import pickle
import secrets
import stat
import struct
from collections.abc import Sequence
from typing import Any

SHM_DIR = "/dev/shm"
MAGIC = b"KELSIDE1"
TAG = b"\x00"  # a ring record that refers to a side segment
BLOCK_MAGIC = b"\x00KELBLK1"  # the start of a block's reference (kelvane._blocks), which a made list may hold
ESCAPE = b"\x01"  # a custom serializer's output that starts with TAG or ESCAPE
PREFIX = "ks_"
HEAD = struct.Struct("<8sQQIIQQQII")
HEAD_SIZE = 64
FLAG_BUFFERS = 1
PAGE = mmap.PAGESIZE
_ENTRY = struct.Struct("<QQ")
_LOCK_SIZE = 4096
_QUEUE_HEADER = 16384
_MIB = 1 << 20
_MAP_NORESERVE = getattr(mmap, "MAP_NORESERVE", 0)  # private pages are copied only if written
_MADV_POPULATE_READ = 22  # Linux 5.14 on; the mmap module does not name it
_POPULATE_MIN = 1 << 20  # smaller mappings fault in as fast as they populate
_OPEN_FLAGS = os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC
_READ_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC
CHARGE = 64  # a reference takes 1/CHARGE of its segment's size in the ring
# Out-of-band buffers (pickle protocol 5) of at least this many bytes go to a side segment
# with no pickling copy; smaller ones stay in the pickle stream, where the copies cost less
# than making, mapping and removing a segment. Measured put+get of one float64 array in one
# process: 160 KiB 271 us in the ring, 322 us beside it; 192 KiB 334 us against 236 us.
OOB_MIN = 192 * 1024
# A pickle larger than this (or an eighth of the ring, if less) travels beside the ring:
# bytes objects of 256 KiB took 476 us through the ring, 233 us beside it; an eighth of the
# ring keeps it flowing with several large messages in flight.
SIDE_MIN = 256 * 1024


def side_min(capacity: int) -> int:
    """Messages whose serialized form is larger than this travel beside a ring of
    `capacity` bytes."""
    return min(capacity // 8, SIDE_MIN)


_dumps = pickle.dumps
_loads = pickle.loads


class LargeBuffer(Exception):
    """Raised by inband_unless_large to leave the fast path."""


def inband_unless_large(buffer: pickle.PickleBuffer) -> bool:
    """The fast path's buffer_callback: small buffers stay in the stream; a large one stops
    the pickling and sends the object down the side-segment path (pickle_record)."""
    if memoryview(buffer).nbytes < OOB_MIN:
        return True
    raise LargeBuffer


class Ref(bytes):
    """A ring record that refers to a side segment: the producer removes its object when
    the record is never stored."""

    __slots__ = ()

    @property
    def segment(self) -> str:
        return segment_name(self)


def segment_name(record: Any) -> str:
    """The name in a reference (bytes or a memoryview), without its padding."""
    name = bytes(record[1:1 + 64]).split(b"\0", 1)[0]
    return name.decode("ascii", "replace")


def queue_key(queue_name: str) -> str:
    """The part of its side segments' names that ties them to the queue `queue_name`."""
    bare = queue_name[1:] if queue_name.startswith("/") else queue_name
    return PREFIX + hashlib.blake2b(bare.encode("utf-8", "surrogateescape"), digest_size=8).hexdigest() + "_"


def _start_ticks(pid: int) -> int | None:
    """The start time of process `pid` in clock ticks after boot; None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat_line = f.read()
    except OSError:
        return None
    try:
        return int(stat_line[stat_line.rindex(b")") + 2:].split()[19])
    except (ValueError, IndexError):
        return None


_me: tuple[int, int] | None = None


def _creator() -> tuple[int, int]:
    global _me
    pid = os.getpid()
    if _me is None or _me[0] != pid:  # once per process, again in a forked child
        _me = (pid, _start_ticks(pid) or 0)
    return _me


def _round(n: int, to: int) -> int:
    return -(-n // to) * to


_tmpfile_works = hasattr(os, "O_TMPFILE")


def _unnamed() -> int | None:
    """A new unnamed object to write (O_TMPFILE), so that a producer killed while writing
    leaves nothing behind; None where tmpfs or /proc do not allow it."""
    global _tmpfile_works
    if _tmpfile_works and os.path.isdir("/proc/self/fd"):
        try:
            return os.open(SHM_DIR, os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600)
        except OSError:
            _tmpfile_works = False
    return None


def _named(path: str) -> int | None:
    """A new object created under `path` at once (where there is no O_TMPFILE); None when
    the name is taken."""
    try:
        fd = os.open(path, _OPEN_FLAGS | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:  # 64 random bits: only paranoia
        return None
    os.fchmod(fd, 0o600)  # whatever the umask
    return fd


def _link(fd: int, path: str) -> bool:
    """Names the finished unnamed object open as `fd` (linkat through /proc/self/fd); False
    when the name is taken."""
    # With a directory descriptor os.link calls linkat with AT_SYMLINK_FOLLOW; given the
    # path alone it may call link(), which would link the /proc symlink itself (EXDEV).
    fds = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.link(str(fd), path, src_dir_fd=fds, follow_symlinks=True)
        return True
    except FileExistsError:  # 64 random bits: only paranoia
        return False
    finally:
        os.close(fds)


def _write_all(fd: int, data: Any, at: int) -> None:
    view = memoryview(data).cast("B")
    done, n = 0, view.nbytes
    while done < n:
        done += os.pwrite(fd, view[done:done + (1 << 30)], at + done)


def _object_size(n: int) -> int:
    """A size no lock or queue has, so `kelvane ls` cannot take the object for one."""
    if n == _LOCK_SIZE or (n > _QUEUE_HEADER and (n - _QUEUE_HEADER) % _MIB == 0):
        n += 64
    return n


def write(queue_name: str, stream: Any, buffers: Sequence[memoryview] = (), flags: int = 0,
          room: int = 0, made: list[Any] | None = None) -> Ref:
    """Makes the side segment of one message (the serialized `stream` and the out-of-band
    `buffers`, each a contiguous byte view); returns the record for the ring, padded to
    1/CHARGE of the segment but not beyond `room` bytes. Raises OSError (ENOSPC for a full
    /dev/shm) with nothing left behind.

    `made`: the segment's path is appended to it before the name exists, and the caller
    removes what it made and did not store (see discard_unstored); an exception here then
    leaves the removal to the caller, who may be interrupted at any point after."""
    bare = queue_name[1:] if queue_name.startswith("/") else queue_name
    qname = bare.encode("utf-8", "surrogateescape")
    stream_len = memoryview(stream).nbytes
    table_at = _round(HEAD_SIZE + len(qname), 8)
    stream_at = table_at + _ENTRY.size * len(buffers)
    end = stream_at + stream_len
    entries = []
    for buf in buffers:
        at = _round(end, PAGE)
        entries.append((at, buf.nbytes))
        end = at + buf.nbytes
    size = _object_size(max(end, HEAD_SIZE + 1))
    pid, ticks = _creator()
    key = queue_key(queue_name)
    head = HEAD.pack(MAGIC, size, ticks, pid, flags, stream_at, stream_len, table_at, len(buffers), len(qname))
    table = b"".join(_ENTRY.pack(at, n) for at, n in entries)
    front = head + qname + bytes(table_at - HEAD_SIZE - len(qname)) + table
    fd = _unnamed()
    unnamed = fd is not None
    name = path = ""
    try:
        while fd is None:
            name = f"{key}{pid:x}_{secrets.token_hex(8)}"
            path = os.path.join(SHM_DIR, name)
            if made is not None:
                made.append(path)
            fd = _named(path)
        try:
            os.ftruncate(fd, size)  # sparse: the writes below allocate the pages
            _write_all(fd, front, 0)
            _write_all(fd, stream, stream_at)
            for (at, _), buf in zip(entries, buffers):
                _write_all(fd, buf, at)
            linked = not unnamed
            while not linked:
                name = f"{key}{pid:x}_{secrets.token_hex(8)}"
                path = os.path.join(SHM_DIR, name)
                if made is not None:
                    made.append(path)
                linked = _link(fd, path)
        finally:
            os.close(fd)
    except BaseException:
        if made is None and path:
            _unlink(path)
        raise
    record = TAG + name.encode("ascii")
    return Ref(record + bytes(max(0, min(size // CHARGE, room) - len(record))))


class Message:
    """A received side segment, mapped (privately: see the module's doc string). `record`
    is the ring record that named it; `named` is true until its name is removed."""

    __slots__ = ("flags", "stream", "buffers", "queue", "record", "path", "named")

    def __init__(self, flags: int, stream: memoryview, buffers: list[memoryview], queue: str,
                 record: bytes, path: str) -> None:
        self.flags = flags
        self.stream = stream
        self.buffers = buffers
        self.queue = queue
        self.record = record
        self.path = path
        self.named = True

    def unname(self) -> None:
        """Removes the segment's name if it is still there."""
        if self.named:
            _unlink(self.path)
            self.named = False


def read(record: bytes, into: list[Any] | None = None, at: int = 0) -> Message:
    """Opens and maps the side segment `record` refers to and removes its name. Raises
    FileNotFoundError when it is gone, ValueError when it is no side segment.

    `into`: the Message is stored at into[at] before the name is removed, so that a caller
    interrupted at any point finds either the segment still named or its Message there."""
    name = segment_name(record)
    if not name.startswith(PREFIX) or "/" in name:
        raise ValueError(f"{name!r} names no side segment")
    path = os.path.join(SHM_DIR, name)
    fd = os.open(path, _READ_FLAGS)
    try:
        st = os.fstat(fd)
        head = os.pread(fd, HEAD_SIZE, 0)
        if not stat.S_ISREG(st.st_mode) or len(head) != HEAD_SIZE or head[:8] != MAGIC:
            raise ValueError(f"{name!r} holds no side segment")
        size = st.st_size
        mm = mmap.mmap(fd, size, mmap.MAP_PRIVATE | _MAP_NORESERVE, mmap.PROT_READ | mmap.PROT_WRITE)
    finally:
        os.close(fd)
    if size >= _POPULATE_MIN:
        try:
            mm.madvise(_MADV_POPULATE_READ)
        except (OSError, ValueError):
            pass  # an older kernel: the pages fault in as they are read
    (_, total, _, _, flags, stream_at, stream_len, table_at, count, qlen) = HEAD.unpack_from(mm, 0)
    view = memoryview(mm)
    entries = [] if table_at + _ENTRY.size * count > size else [
        _ENTRY.unpack_from(mm, table_at + _ENTRY.size * i) for i in range(count)]
    if (total != size or stream_at + stream_len > size or len(entries) != count
            or any(at + n > size for at, n in entries)):
        view.release()
        mm.close()
        _unlink(path)  # no message anybody can read
        raise ValueError(f"side segment {name!r} is damaged")
    queue = bytes(view[HEAD_SIZE:HEAD_SIZE + qlen]).decode("utf-8", "surrogateescape")
    buffers = [view[at:at + n] for at, n in entries]
    message = Message(flags, view[stream_at:stream_at + stream_len], buffers, queue, record, path)
    if into is not None:
        into[at] = message
    message.unname()  # mapped: the name has done its work
    return message


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def remove(name: str) -> None:
    _unlink(os.path.join(SHM_DIR, name))


def discard(records: Any) -> None:
    """Removes the side segments of records that were made and will never be stored."""
    for record in records:
        if type(record) is Ref:
            remove(record.segment)


def discard_unstored(made: list[Any], encoded: Sequence[Any] = ()) -> None:
    """After a put that ended without storing everything: removes the segments it made
    (the paths in `made`, see write) that were not stored. `made` also holds what the
    native puts appended for each batch they stored (the number of its messages): the
    first that many records of `encoded` are in the queue, and with them their segments.
    Without `encoded` the put was one batch, stored whole or not at all."""
    stored = sum(n for n in made if type(n) is int)
    if stored and not encoded:
        return
    keep = {os.path.join(SHM_DIR, r.segment) for r in encoded[:stored] if type(r) is Ref}
    kept_blocks = {bytes(r[-64:]) for r in encoded[:stored] if r[-64:][:8] == BLOCK_MAGIC}
    for path in made:
        if type(path) is str and path not in keep:
            _unlink(path)
        elif isinstance(path, bytes) and path[-64:] not in kept_blocks:
            # A block (kelvane._blocks) this process wrote: free again.
            from kelvane._native import BlockQueue

            BlockQueue.give_back(path)


class Header:
    """What a side segment's header says (see the module's doc string)."""

    __slots__ = ("size", "pid", "start_ticks", "queue", "flags")

    def __init__(self, size: int, pid: int, start_ticks: int, queue: str, flags: int) -> None:
        self.size = size
        self.pid = pid
        self.start_ticks = start_ticks
        self.queue = queue
        self.flags = flags


def read_header(fd: int, size: int) -> Header | None:
    """The header of the object open as `fd` (of `size` bytes), or None when it is no side
    segment: read with pread, nothing mapped."""
    head = os.pread(fd, HEAD_SIZE + 256, 0)
    if len(head) < HEAD_SIZE or head[:8] != MAGIC:
        return None
    (_, total, ticks, pid, flags, stream_at, stream_len, table_at, count, qlen) = HEAD.unpack_from(head, 0)
    if total != size or qlen > 255 or len(head) < HEAD_SIZE + qlen or stream_at + stream_len > size:
        return None
    try:
        queue = head[HEAD_SIZE:HEAD_SIZE + qlen].decode("utf-8", "surrogateescape")
    except UnicodeDecodeError:
        return None
    return Header(size, pid, ticks, queue, flags)


def creator_alive(header: Header) -> bool | None:
    """True when the process that made the segment still runs, False when it is provably
    gone (no such pid, or a pid that another process started later holds), None when this
    process cannot tell (its /proc shows another PID namespace or hides processes)."""
    ticks = _start_ticks(header.pid)
    if ticks is None:
        return False if os.path.isdir("/proc/self") else None
    return ticks == header.start_ticks


def of_queue(queue_name: str) -> list[str]:
    """The names of the side segments in /dev/shm that belong to the queue `queue_name`."""
    key = queue_key(queue_name)
    bare = queue_name[1:] if queue_name.startswith("/") else queue_name
    found: list[str] = []
    try:
        names = [n for n in os.listdir(SHM_DIR) if n.startswith(key)]
    except OSError:
        return found
    for name in names:
        try:
            fd = os.open(os.path.join(SHM_DIR, name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            header = read_header(fd, os.fstat(fd).st_size)
        except OSError:
            header = None
        finally:
            os.close(fd)
        if header is not None and header.queue == bare:
            found.append(name)
    return found


def remove_of_queue(queue_name: str) -> int:
    """Removes every side segment of the queue `queue_name`; returns how many."""
    names = of_queue(queue_name)
    for name in names:
        remove(name)
    return len(names)


# --- pickle records ---------------------------------------------------------------------------


def pickle_buffers(queue_name: str, obj: Any, room: int = 0, made: list[Any] | None = None) -> Ref:
    """The record of an object whose pickle has large out-of-band buffers: all of them and
    the stream go to one side segment of the queue `queue_name`."""
    buffers: list[memoryview] = []

    def out_of_band(buffer: pickle.PickleBuffer) -> bool:
        try:
            raw = buffer.raw()
        except BufferError:
            return True  # not contiguous: pickle says so itself
        if raw.nbytes < OOB_MIN:
            return True
        buffers.append(raw)
        return False

    stream = _dumps(obj, 5, buffer_callback=out_of_band)
    return write(queue_name, stream, buffers, FLAG_BUFFERS, room, made)


def pickle_record(queue_name: str, obj: Any, side_min: int, room: int) -> bytes:
    """The pickle of `obj` for a ring, or (a pickle larger than side_min bytes, or one with
    large out-of-band buffers) the record of a side segment of the queue `queue_name`,
    padded to at most `room` bytes (see write)."""
    try:
        data = _dumps(obj, 5, buffer_callback=inband_unless_large)
    except LargeBuffer:
        return pickle_buffers(queue_name, obj, room)
    if len(data) > side_min:
        return write(queue_name, data, room=room)
    return data


def unpickle_record(data: Any) -> Any:
    """The object of a record pickle_record made (bytes or a memoryview of them)."""
    if data[:1] != TAG:
        return _loads(data)
    message = read(data)
    return _loads(message.stream, buffers=message.buffers)


def discard_pickle_records(records: Any) -> None:
    """Removes the side segments of pickle records (bytes-like, perhaps slices of a larger
    message) that will never be read."""
    for record in records:
        if record[:1] == TAG:
            name = segment_name(record)
            if name.startswith(PREFIX) and "/" not in name:
                remove(name)
