"""What a name in /dev/shm holds, told from its bytes, and the mark kelvane's Python objects
leave on the objects they use.

Locks and queues are recognised by what only kelvane writes: a lock by its ready mark
b"KELLOCK1" at offset 64 behind a robust, process-shared pthread mutex; a queue by its size
(a 16384-byte header and whole MiB of ring), its ready word and a recorded capacity that
matches the size. An object of zeros is nobody's that we can prove.

In-use mark: every kelvane.Queue, kelvane.Lock and kelvane.Pool (owner and workers) holds an
open file description of each object it uses with a shared record lock on it (an "OFD" lock:
it belongs to the description, so it lives exactly as long as that process or its forked
children keep the descriptor, and it is released by the kernel when they die). Any process
can test for it without taking anything (F_OFD_GETLK), even when it cannot see the holder's
/proc entries. The native KelLock and KelQueue hold no descriptor, so a missing mark never
proves an object unused.
"""

from __future__ import annotations

import fcntl
import os
import stat
import struct
import weakref

SHM_DIR = "/dev/shm"
MIB = 1 << 20

LOCK_SIZE = 4096
LOCK_MARK = b"KELLOCK1"
LOCK_MARK_AT = 64
# glibc's pthread_mutex_t on 64-bit Linux: the kind word at 16, 40 bytes in all.
MUTEX_SIZE = 40
_MUTEX_KIND = struct.Struct("=i")
_MUTEX_KIND_AT = 16
_KIND_ROBUST = 0x10
_KIND_PSHARED = 0x80
_KIND_KNOWN = 0x3FF  # type, robust, protocol, pshared and elision bits

QUEUE_HEADER = 16384
QUEUE_POSITIONS = struct.Struct("=4Q")  # read_pos, write_pos, capacity, ready
QUEUE_POSITIONS_AT = 384

# struct flock on 64-bit Linux: type, whence, start, len, pid (32 bytes).
_FLOCK = struct.Struct("@hhqqi4x")


def object_path(name: str) -> str:
    return os.path.join(SHM_DIR, name[1:] if name.startswith("/") else name)


def is_robust_shared_mutex(raw: bytes) -> bool:
    """True when `raw` (at least 40 bytes) holds a robust, process-shared pthread mutex that
    pthread_mutex_init wrote: kelvane makes no other kind."""
    if len(raw) < MUTEX_SIZE:
        return False
    kind: int = _MUTEX_KIND.unpack_from(raw, _MUTEX_KIND_AT)[0]
    return kind & (_KIND_ROBUST | _KIND_PSHARED) == _KIND_ROBUST | _KIND_PSHARED and kind & ~_KIND_KNOWN == 0


def is_queue_size(size: int) -> bool:
    return size > QUEUE_HEADER and (size - QUEUE_HEADER) % MIB == 0


def describe(name: str) -> str | None:
    """What /dev/shm/NAME holds, in a few words ("a kelvane lock", "a kelvane queue (16 MiB)",
    "4096 bytes that are not a kelvane lock" ...), or None when there is no such object or it
    cannot be read. An object still being created reads as what it is becoming when that can
    be told, else as None."""
    try:
        fd = os.open(object_path(name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return "something that is not a shared-memory object"
        size = st.st_size
        if size == 0:
            return None  # a creator between creating the name and sizing it
        if size == LOCK_SIZE:
            head = os.pread(fd, LOCK_MARK_AT + len(LOCK_MARK), 0)
            if head[LOCK_MARK_AT:] == LOCK_MARK or is_robust_shared_mutex(head):
                return "a kelvane lock"
            if not any(head):
                return None  # perhaps a lock whose creator has not finished
            return f"{size} bytes that are not a kelvane lock"
        if is_queue_size(size):
            header = os.pread(fd, QUEUE_HEADER, 0)
            capacity = size - QUEUE_HEADER
            if len(header) == QUEUE_HEADER:
                _, _, recorded, ready = QUEUE_POSITIONS.unpack_from(header, QUEUE_POSITIONS_AT)
                if ready == 1 and recorded == capacity:
                    return f"a kelvane queue ({capacity // MIB} MiB)"
                if ready == 0 and is_robust_shared_mutex(header):
                    return f"a kelvane queue ({capacity // MIB} MiB) still being created"
            return f"{size} bytes that are not a kelvane queue"
        return f"{size} bytes"
    except OSError:
        return None
    finally:
        os.close(fd)


def refuse_unless(name: str, kind: str) -> None:
    """Raises ValueError saying what NAME holds when it holds something other than a kelvane
    `kind` ("lock" or "queue"); a missing name, or one that cannot be told yet, passes."""
    held = describe(name)
    if held is None or held.startswith(f"a kelvane {kind}"):
        return
    if held.startswith("a kelvane"):
        raise ValueError(f"{name!r} holds {held}, not a {kind}")
    raise ValueError(f"{name!r} holds {held}, not a kelvane {kind}")


class InUse:
    """This process's in-use mark on one object: an open descriptor with a shared OFD lock,
    closed when the last holder drops it. Made by mark_in_use. `users` counts the kelvane
    objects of this process that hold it (see leave)."""

    __slots__ = ("_finalizer", "fd", "users", "__weakref__")

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.users = 0
        self._finalizer = weakref.finalize(self, os.close, fd)


def leave(mark: InUse) -> bool:
    """One kelvane object of this process stops using the marked object: True when it was
    the last one anywhere (no other object here, no other process's mark)."""
    mark.users -= 1
    return mark.users <= 0 and not marked_in_use(mark.fd)


# One mark per object and process, whatever the number of objects that use it.
_marks: weakref.WeakValueDictionary[tuple[int, int], InUse] = weakref.WeakValueDictionary()
_fd_ceiling: int | None = None


def _descriptor_ceiling() -> int:
    """Marks use descriptors below half the process's limit only: the mark is a courtesy to
    `kelvane rm`, never a reason for the program to run out of descriptors."""
    global _fd_ceiling
    if _fd_ceiling is None:
        try:
            import resource

            soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        except (ImportError, OSError, ValueError):
            soft = 1024
        _fd_ceiling = (1 << 20 if soft == -1 or soft > 1 << 21 else soft) // 2
    return _fd_ceiling


def mark_in_use(name: str) -> InUse | None:
    """This process's in-use mark on the object `name` (see the module's doc string), to be
    kept as long as the object is used; None when it cannot be had (best effort)."""
    try:
        fd = os.open(object_path(name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        st = os.fstat(fd)
        key = (st.st_dev, st.st_ino)
        mark = _marks.get(key)
        if mark is not None or fd >= _descriptor_ceiling():
            os.close(fd)
            if mark is not None:
                mark.users += 1
            return mark
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, _FLOCK.pack(fcntl.F_RDLCK, os.SEEK_SET, 0, 0, 0))
    except (OSError, AttributeError):
        os.close(fd)
        return None
    mark = _marks[key] = InUse(fd)
    mark.users = 1
    return mark


def marked_in_use(fd: int) -> bool:
    """True when some open file description holds an in-use mark on the object open as `fd`
    (this process's own marks count only through other descriptors than `fd`)."""
    try:
        got = fcntl.fcntl(fd, fcntl.F_OFD_GETLK, _FLOCK.pack(fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
    except (OSError, AttributeError):
        return False
    kind: int = _FLOCK.unpack(got)[0]
    return kind != fcntl.F_UNLCK
