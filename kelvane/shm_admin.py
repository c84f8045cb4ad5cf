"""kelvane ls | rm: list and remove kelvane's shared-memory objects in /dev/shm.

Everything here reads the objects as plain files, read-only: nothing is mapped,
created or locked, so listing a queue never waits for a process that holds its
mutex, and a damaged header is reported instead of trusted.

What counts as kelvane's, judged by content (an object of zeros, such as a fresh
multiprocessing.shared_memory block or a sparse file, is nobody's that we can prove):

- lock: exactly 4096 bytes with the ready mark b"KELLOCK1" at 64. Listed as damaged
  when the bytes at 0 are not a robust, process-shared pthread mutex or bytes from 40
  on (the mark aside) are not zero. Without the mark, a robust, process-shared mutex
  at 0 and zeros elsewhere is a lock whose creator has not finished, taken only when
  the object's mode is 0600 (kelvane creates every object 0600 whatever the umask).
- queue: 16384 + D bytes with D a positive multiple of 1 MiB, and a header whose
  wait-slot padding and bytes 416..16384 are zero. ready (@408) == 1 with capacity
  (@400) == D is a working queue; ready == 0 with capacity 0 or D, both positions
  zero and the robust mutex already at 0 is a queue whose creator has not finished
  (again only when the mode is 0600); ready or capacity disagreeing while the rest
  fits and the mutex is in place, or positions that do not frame, is listed as damaged.
- pool-task / pool-result: a queue named kp_task_<hex> / kp_res_<hex>, the two
  rings of one KelPoolCore; the entries of one pool share their identifier.

- blocks: an object with the magic b"KELARENA" at 256 and a ready header (kelvane._blocks):
  the block arena of the queue its header names, which that queue's header names by id
  (@416). `ls` shows its blocks, how many are in use and which processes hold them, and
  where the memory lives (/dev/shm, or a memfd that the processes of the queue keep open).
  `rm --stale` removes it when no process uses it and its queue no longer names it (gone,
  unlinked, made again, or removed by the same sweep).
- side: an object that starts with the magic b"KELSIDE1" and a header that frames
  (kelvane._side): the out-of-ring part of one large message of the queue its header
  names, made by the process its header names (pid and start time). Its consumer removes
  the name as soon as it has mapped it, so one that stays is in flight or an orphan.
  `rm --stale` removes it only when no live process could hold its reference: its creator
  is provably dead (no process with its pid and start time, seen by a process that sees
  every process), no process uses it, no record of its queue refers to it (the records
  are read as `ls` counts them, a pool's past their header; a walk that does not frame
  keeps it, and so do positions that moved before the removal), and no live process is
  attached to its queue: maps it (also one whose name was removed meanwhile, "/dev/shm/Q
  (deleted)" in its maps), holds it open, or holds its in-use mark. Any such process may
  have taken the reference and not opened it yet, or keep it after a DecodeError. The side
  segments of a queue the same sweep removes go after it. `--prefix` also selects the side
  segments of the queues whose names start with it.

Anything else in /dev/shm is not kelvane's: `ls --all` lists it as "other", and
`rm --stale` never touches it.

A process uses an object when its /proc/PID/maps maps it or /proc/PID/fd holds it
open, matched by device and inode (so an old object removed and made again under the
same name does not count, and a name's bytes do not matter).

Processes this one cannot see: another PID namespace (a container sharing /dev/shm),
/proc mounted with hidepid, or processes whose /proc entries it may not read (other
users', or a supervisor's even for root) may use an object without showing it. Two
signs show through all of that: kelvane's in-use mark (an open file description that
kelvane's Python objects hold on every object they use, see kelvane._objects), and the
kernel's count of the mappings of the object's first page (/proc/kpagecount, read
through a mapping of our own; it takes CAP_SYS_ADMIN). An object without visible users
is in use when it carries the mark or others map it; when this process sees only part
of the processes and cannot count mappings, nothing proves it unused: `ls` says so on
stderr and `rm --stale` keeps it unless given --force (never what carries the mark).
What stays unseen even then is a hidden process that holds the object open without
mapping it and without the mark (not a kelvane process: the native classes close their
descriptors once mapped).
"""

import argparse
import json
import mmap
import os
import re
import stat
import struct
import sys
import time

from kelvane import _blocks, _side
from kelvane._objects import (LOCK_MARK, LOCK_MARK_AT, LOCK_SIZE, MUTEX_SIZE, is_robust_shared_mutex,
                              marked_in_use)

SHM_DIR = "/dev/shm"

QUEUE_HEADER = 16384
MIB = 1 << 20
_POSITIONS = struct.Struct("=4Q")  # read_pos, write_pos, capacity, ready
_POSITIONS_AT = 384
_PREFIX = struct.Struct("=I")
# 264..283 of the not_full slot hold a waiting producer's claim on room (need, expiry, thread).
_WAIT_SLOT_PADDING = ((136, 256), (284, 384))
_HEADER_TAIL = 424  # 416: the id of the queue's block arena

_POOL_NAME = re.compile(r"kp_(task|res)_([0-9a-f]+)\Z")
_KELVANE_MODE = 0o600

# The initial PID namespace's inode (PROC_PID_INIT_INO): processes outside another
# namespace are invisible from inside it.
_INITIAL_PID_NAMESPACE = "pid:[4026531836]"
_CAP_SYS_PTRACE = 19

# A walk of the records stops counting here; the count is then shown as unknown.
_WALK_LIMIT = 2_000_000
_WINDOW = 64 * 1024
# A snapshot taken while other processes move the positions may not frame; it is
# taken again this many times before the queue is called damaged.
_SNAPSHOT_TRIES = 4
# Where a pool's messages keep their record, past the header (kelvane._pool_worker):
# a result's after its id and status, a task's after its id, kind, function length and
# function.
_POOL_RESULT_HEAD = 9
_POOL_TASK = struct.Struct("<QBI")

class Segment:
    """One object of /dev/shm as `ls` reports it. Ages count from the object's last
    change of size or mode, which for kelvane's objects is their creation."""

    def __init__(self, name, kind, size, age):
        self.name = name
        self.kind = kind
        self.pool = None
        self.size = size
        self.capacity = None
        self.bytes_held = None
        self.messages = None
        self.ready = None
        self.damaged = None
        self.age = age
        self.inode = None
        self.device = None
        self.marked = False  # some open file description holds the in-use mark
        self.unproven = False  # no visible user, but processes this one cannot see might be
        self.users = []  # [(pid, command)]; (None, None): a process this one cannot see
        self.queue = None  # side: the queue it belongs to
        self.creator = None  # side: the pid that made it
        self.start_ticks = None
        self.queue_positions = None  # side: its queue's positions when its records were read
        self.vanished = False  # removed (or made again) since it was examined
        self.blocks = None  # blocks: what its slots say (see _examine_blocks)

    @property
    def is_kelvane(self):
        return self.kind != "other"

    def as_dict(self):
        return {
            "name": self.name,
            "kind": self.kind,
            "pool": self.pool,
            "size": self.size,
            "capacity": self.capacity,
            "bytes_held": self.bytes_held,
            "messages": self.messages,
            "ready": self.ready,
            "damaged": self.damaged,
            "age_seconds": round(self.age, 3),
            "users": [{"pid": pid, "command": command} for pid, command in self.users],
            "queue": self.queue,
            "creator": self.creator,
            "blocks": self.blocks,
        }


# --- reading one object -----------------------------------------------------------------


def _zero(buf):
    return not any(buf)


def _examine_lock(seg, fd, mode):
    record = os.pread(fd, LOCK_SIZE, 0)
    if len(record) != LOCK_SIZE:
        return False
    mark = record[LOCK_MARK_AT:LOCK_MARK_AT + len(LOCK_MARK)]
    mutex = is_robust_shared_mutex(record)
    gap_zero = _zero(record[MUTEX_SIZE:LOCK_MARK_AT])
    tail_zero = _zero(record[LOCK_MARK_AT + len(LOCK_MARK):])
    if mark == LOCK_MARK:
        seg.ready = True
        if not mutex:
            seg.damaged = "the bytes at offset 0 are not a robust, process-shared mutex"
        elif not tail_zero:
            seg.damaged = "bytes after the ready mark are not zero"
        elif not gap_zero:
            seg.damaged = "bytes between the mutex and the ready mark are not zero"
        return True
    # A creator between initialising the mutex and storing the mark.
    if _zero(mark) and mutex and gap_zero and tail_zero and mode == _KELVANE_MODE:
        seg.ready = False
        return True
    return False


class _RingReader:
    """Reads the 4-byte length prefixes of a ring's records from the object's file,
    a window at a time, joining a prefix that runs past the end of the data area
    with the start of it."""

    def __init__(self, fd, capacity):
        self._fd = fd
        self._capacity = capacity
        self._start = 0
        self._window = b""

    def _read(self, offset, length):
        data = os.pread(self._fd, length, QUEUE_HEADER + offset)
        if len(data) != length:
            raise EOFError
        return data

    def length_at(self, pos):
        offset = pos % self._capacity
        if offset + 4 > self._capacity:
            head = self._capacity - offset
            raw = self._read(offset, head) + self._read(0, 4 - head)
            return _PREFIX.unpack(raw)[0]
        if not (self._start <= offset and offset + 4 <= self._start + len(self._window)):
            self._start = offset
            self._window = self._read(offset, min(_WINDOW, self._capacity - offset))
        return _PREFIX.unpack_from(self._window, offset - self._start)[0]


def _walk(fd, capacity, read_pos, write_pos):
    """(messages, problem): the records between the positions, counted; messages is
    None past the walk limit."""
    if write_pos < read_pos:
        return None, f"write position {write_pos} is behind read position {read_pos}"
    if write_pos - read_pos > capacity:
        return None, f"positions {read_pos}..{write_pos} hold more than the capacity of {capacity} bytes"
    reader = _RingReader(fd, capacity)
    pos, count = read_pos, 0
    while pos != write_pos:
        if count >= _WALK_LIMIT:
            return None, None
        if write_pos - pos < 4:
            return None, f"a record at position {pos} runs past the write position {write_pos}"
        try:
            length = reader.length_at(pos)
        except EOFError:
            return None, "the object is shorter than its header says"
        if length > write_pos - pos - 4:
            return None, (f"the record at position {pos} (length {length}) runs past "
                          f"the write position {write_pos}")
        pos += 4 + length
        count += 1
    return count, None


def _examine_queue(seg, fd, mode, count=True):
    data_size = seg.size - QUEUE_HEADER
    header = os.pread(fd, QUEUE_HEADER, 0)
    if len(header) != QUEUE_HEADER:
        return False
    read_pos, write_pos, capacity, ready = _POSITIONS.unpack_from(header, _POSITIONS_AT)
    padding_zero = _zero(header[_HEADER_TAIL:]) and all(_zero(header[a:b]) for a, b in _WAIT_SLOT_PADDING)

    if ready == 0:
        # A creator between initialising the mutex and publishing its header.
        if (padding_zero and capacity in (0, data_size) and read_pos == write_pos == 0
                and mode == _KELVANE_MODE and is_robust_shared_mutex(header)):
            seg.ready = False
            seg.capacity = data_size
            seg.bytes_held = seg.messages = 0
            return True
        return False
    mutex = is_robust_shared_mutex(header)
    if ready == 1 and capacity == data_size and padding_zero:
        seg.ready = True
        seg.capacity = data_size
        if count:
            _count_records(seg, fd, read_pos, write_pos)
        elif read_pos <= write_pos <= read_pos + data_size:
            seg.bytes_held = write_pos - read_pos  # messages stay unknown: not counted
        if not mutex and seg.damaged is None:
            seg.damaged = "the bytes at offset 0 are not a robust, process-shared mutex"
        return True
    # Kelvane's by shape, but the header says something no kelvane process writes: only
    # taken as kelvane's with its mutex in place.
    if not mutex:
        return False
    if capacity == data_size:
        seg.ready = ready == 1
        seg.capacity = data_size
        seg.damaged = (f"ready field holds {ready}" if ready != 1
                       else "header bytes that are always zero are not")
        return True
    if ready == 1 and padding_zero:
        seg.ready = True
        seg.capacity = data_size
        seg.damaged = f"the header records a capacity of {capacity} bytes, the object holds {data_size}"
        return True
    return False


_ARENA_HEAD = struct.Struct("<8s7Q")  # magic @256, version, id, space kind, space size, carved, slots used, ready
_ARENA_SLOT = struct.Struct("<IIQQQQQQQQQ")  # state, owner pid, start, pid ns, offset, capacity, gen, pos, backed, ...
_SLOT_STATES = ("unused", "free", "writing", "queued", "held", "lent")


def _examine_blocks(seg, fd):
    head = os.pread(fd, 4096, 0)
    if len(head) < 4096:
        return False
    magic, _, arena_id, kind, space, carved, used, ready = _ARENA_HEAD.unpack_from(head, 256)
    qlen = struct.unpack_from("<Q", head, 336)[0]
    if magic != b"KELARENA" or ready != 1 or qlen > 256 or used > 1024 or kind not in (1, 2):
        return False
    raw = os.pread(fd, 128 * used, 4096)
    if len(raw) != 128 * used:
        return False
    states = dict.fromkeys(_SLOT_STATES[1:], 0)
    held_by: dict[int, int] = {}
    backed = 0
    for i in range(used):
        fields = _ARENA_SLOT.unpack_from(raw, 128 * i)
        state, pid, slot_backed = fields[0], fields[1], fields[8]
        if state == 0 or state >= len(_SLOT_STATES):
            continue
        states[_SLOT_STATES[state]] += 1
        backed += slot_backed
        if state in (2, 4) and pid:
            held_by[pid] = held_by.get(pid, 0) + 1
    seg.queue = head[512:512 + qlen].decode("utf-8", "surrogateescape")
    seg.capacity, seg.bytes_held, seg.messages = space, backed, states["queued"]
    seg.blocks = {"id": f"{arena_id:016x}", "memory": "shm" if kind == 1 else "memfd", "carved": carved,
                  "blocks": sum(states.values()), **states, "held_by": held_by}
    return True


def _count_records(seg, fd, read_pos, write_pos):
    """Walks the records of a snapshot of the positions; another process may move
    them meanwhile, so a walk that does not frame is tried again on fresh positions,
    and only a failure on unchanged positions is damage."""
    for _ in range(_SNAPSHOT_TRIES):
        messages, problem = _walk(fd, seg.capacity, read_pos, write_pos)
        if problem is None:
            seg.bytes_held, seg.messages = write_pos - read_pos, messages
            return
        again = os.pread(fd, _POSITIONS.size, _POSITIONS_AT)
        fresh_read, fresh_write = _POSITIONS.unpack(again)[:2]
        if (fresh_read, fresh_write) == (read_pos, write_pos):
            break
        read_pos, write_pos = fresh_read, fresh_write
    else:
        return  # always moving: held bytes and messages stay unknown
    seg.damaged = problem
    if write_pos >= read_pos and write_pos - read_pos <= seg.capacity:
        seg.bytes_held = write_pos - read_pos


def examine(name, include_other=False, count=True):
    """The Segment for /dev/shm/NAME, or None when it is gone or is not kelvane's
    (unless include_other). count=False leaves a queue's records uncounted (messages
    None): for callers that read the records their own way."""
    path = os.path.join(SHM_DIR, name)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return None
        age = max(0.0, time.time() - max(st.st_mtime, st.st_ctime))
        seg = Segment(name, "other", st.st_size, age)
        seg.inode, seg.device = st.st_ino, st.st_dev
        seg.marked = marked_in_use(fd)
        mode = stat.S_IMODE(st.st_mode)
        size = st.st_size
        try:
            if size == LOCK_SIZE and _examine_lock(seg, fd, mode):
                seg.kind = "lock"
            elif name.startswith(_blocks.ARENA_PREFIX) and size >= 2 * MIB and _examine_blocks(seg, fd):
                seg.kind = "blocks"
            elif size > _side.HEAD_SIZE and (header := _side.read_header(fd, size)) is not None:
                seg.kind = "side"
                seg.queue, seg.creator, seg.start_ticks = header.queue, header.pid, header.start_ticks
            elif size > QUEUE_HEADER and (size - QUEUE_HEADER) % MIB == 0 and _examine_queue(seg, fd, mode, count):
                pool = _POOL_NAME.match(name)
                if pool:
                    seg.kind = "pool-task" if pool.group(1) == "task" else "pool-result"
                    seg.pool = pool.group(2)
                else:
                    seg.kind = "queue"
        except OSError:
            pass  # shrunk or unreadable under our feet: not something we can vouch for
        if seg.kind == "other":
            seg.capacity = seg.bytes_held = seg.messages = seg.ready = None
            seg.damaged = None
            if not include_other:
                return None
        return seg
    finally:
        os.close(fd)


def scan(prefix="", include_other=False, count=True):
    """(segments, hidden): kelvane's objects in /dev/shm whose names start with prefix,
    pool pairs next to each other, each with the live processes that use it; hidden says
    why this process may not see every process that could use them (empty: it sees all)."""
    try:
        names = sorted(n for n in os.listdir(SHM_DIR) if n.startswith((prefix, _side.PREFIX, _blocks.ARENA_PREFIX)))
    except OSError:
        names = []
    found = [seg for seg in (examine(n, include_other, count) for n in names) if seg is not None
             and (seg.name.startswith(prefix) or (seg.kind in ("side", "blocks") and seg.queue.startswith(prefix)))]
    hidden = find_users(found)
    return sorted((seg for seg in found if not seg.vanished), key=_order), hidden


def _order(seg):
    if seg.pool is not None:
        return ("kp_" + seg.pool, seg.kind != "pool-task", "")
    if seg.kind in ("side", "blocks"):  # next to its queue
        pool = _POOL_NAME.match(seg.queue)
        if pool:
            return ("kp_" + pool.group(2), pool.group(1) != "task", seg.name)
        return (seg.queue, False, seg.name)
    return (seg.name, False, "")


# --- side segments --------------------------------------------------------------------------


def _open_queue(queue):
    """(fd, capacity) of the queue `queue` read as a file; (None, 0) when there is no
    object of a queue's size by that name; raises OSError when it cannot be read."""
    try:
        fd = os.open(os.path.join(SHM_DIR, queue), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None, 0
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode) or not (st.st_size > QUEUE_HEADER and (st.st_size - QUEUE_HEADER) % MIB == 0):
        os.close(fd)
        return None, 0
    return fd, st.st_size - QUEUE_HEADER


def _positions(queue):
    """(read, write) positions of the queue `queue` (None when there is none, or it cannot
    be read)."""
    try:
        fd, _ = _open_queue(queue)
    except OSError:
        return None
    if fd is None:
        return None
    try:
        return _POSITIONS.unpack(os.pread(fd, _POSITIONS.size, _POSITIONS_AT))[:2]
    except (OSError, struct.error):
        return None
    finally:
        os.close(fd)


def _referenced_sides(queue):
    """(names, positions): the names of the side segments the records of the queue `queue`
    refer to, read from its file as `ls` counts records, and the positions they were read
    between; names is None when the records cannot be read in full (moving, damaged, or too
    many), an empty set when there is no such queue (positions None). Records stored or
    taken meanwhile move the positions, which the sweep reads again before it removes."""
    try:
        fd, capacity = _open_queue(queue)
    except OSError:
        return None, None
    if fd is None:
        return set(), None  # no queue of ours: no record of ours
    pool = _POOL_NAME.match(queue)
    layout = pool.group(1) if pool else None
    try:
        for _ in range(_SNAPSHOT_TRIES):
            read_pos, write_pos, recorded, ready = _POSITIONS.unpack(os.pread(fd, _POSITIONS.size, _POSITIONS_AT))
            if ready != 1 or recorded != capacity:
                return None, None
            found = _side_records(fd, capacity, read_pos, write_pos, layout)
            again = _POSITIONS.unpack(os.pread(fd, _POSITIONS.size, _POSITIONS_AT))[:2]
            if found is not None and again == (read_pos, write_pos):
                return found, again
        return None, None
    except (OSError, struct.error):
        return None, None
    finally:
        os.close(fd)


def _side_records(fd, capacity, read_pos, write_pos, layout=None):
    """The side segments the records between the positions name: a record that starts
    with one (kelvane.Queue), or, in a pool's queue (`layout` "task" or "res"), one past
    the message's header."""
    if write_pos < read_pos or write_pos - read_pos > capacity:
        return None
    reader = _RingReader(fd, capacity)
    found = set()
    pos, count = read_pos, 0
    while pos != write_pos:
        if count >= _WALK_LIMIT or write_pos - pos < 4:
            return None
        try:
            length = reader.length_at(pos)
        except EOFError:
            return None
        if length > write_pos - pos - 4:
            return None
        if length > 1:
            start = (pos + 4) % capacity
            for at in _record_starts(reader, start, length, layout):
                head = b"".join(_ring_bytes(reader, (start + at) % capacity, min(length - at, 65)))
                if head[:1] == _side.TAG:
                    found.add(_side.segment_name(head))
        pos += 4 + length
        count += 1
    return found


def _record_starts(reader, start, length, layout):
    """Where a side segment's record may start in a message of `length` bytes at `start`."""
    starts = [0]
    if layout == "res" and length > _POOL_RESULT_HEAD:
        starts.append(_POOL_RESULT_HEAD)
    elif layout == "task" and length > _POOL_TASK.size:
        fn_len = _POOL_TASK.unpack(b"".join(_ring_bytes(reader, start, _POOL_TASK.size)))[2]
        if _POOL_TASK.size + fn_len < length:
            starts.append(_POOL_TASK.size + fn_len)
    return starts


def _ring_bytes(reader, offset, length):
    if offset + length <= reader._capacity:
        yield reader._read(offset, length)
        return
    head = reader._capacity - offset
    yield reader._read(offset, head)
    yield reader._read(0, length - head)


def _stale_sides(sides, force, going, partial=None):
    """(stale, unproven): the side segments rm --stale may remove, and those it keeps only
    because this process cannot prove them unused or their creators dead. `going`: the
    names of the queues this sweep removes (their records will never be read, and nobody
    uses them); `partial`: why /proc may not show every process (None: find out).

    The order matters: the creators are found dead first (nobody stores a record later),
    then the records are read, then the processes attached to each queue are looked for:
    one that took a record before the read is attached when looked for, and one that takes
    one after it moves the positions, which the sweep reads again before it removes."""
    if partial is None:
        partial = _partial_view()
    candidates = []
    referenced = {queue: (set(), None) for queue in going}
    for seg in sides:
        if seg.users or seg.vanished:
            continue
        alive = _side.creator_alive(_side.Header(seg.size, seg.creator, seg.start_ticks, seg.queue, 0))
        if alive:
            continue
        if seg.queue not in referenced:
            referenced[seg.queue] = _referenced_sides(seg.queue)
        names, seg.queue_positions = referenced[seg.queue]
        if names is None or seg.name in names:
            continue
        candidates.append((seg, alive))
    attached = _attached({seg.queue for seg, _ in candidates} - set(going), partial)
    stale, unproven = [], []
    for seg, alive in candidates:
        users = False if seg.queue in going else attached[seg.queue]
        if users:
            continue  # it may hold the reference: kept while its queue has users
        # A pid /proc does not show is a dead creator only when /proc shows every process.
        if seg.unproven or alive is None or partial or users is None:
            unproven.append(seg)
            if not force:
                continue
        stale.append(seg)
    return stale, unproven


def _attached(queues, partial):
    """queue name -> True when some live process is attached to the queue of that name (maps
    it, even after its name was removed, holds it open, or holds its in-use mark), False
    when provably none is, None when this process cannot tell (it does not see every
    process (`partial`, or /proc entries it cannot read) and cannot count the mappings of
    the queue). This process counts too: it may hold a reference itself."""
    result = {}
    if not queues:
        return result
    keys, deleted = {}, {}
    for queue in queues:
        result[queue] = False
        path = os.path.join(SHM_DIR, queue)
        # The path as /proc/PID/maps shows a mapping whose name is gone, and as
        # /proc/PID/fd shows a descriptor of it.
        deleted[path.replace("\n", "\\012") + " (deleted)"] = queue
        deleted[path + " (deleted)"] = queue
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        except (OSError, ValueError):
            continue
        try:
            st = os.fstat(fd)
            if stat.S_ISREG(st.st_mode):
                keys[(st.st_dev, st.st_ino)] = queue
                if marked_in_use(fd):
                    result[queue] = True
        finally:
            os.close(fd)
    complete = not partial
    try:
        pids = [int(e) for e in os.listdir("/proc") if e.isdigit()]
    except OSError:
        pids, complete = [], False
    inodes = {str(inode) for _, inode in keys}
    prefix = SHM_DIR + "/"
    for pid in pids:
        if all(result.values()):
            break
        try:
            with open(f"/proc/{pid}/maps", encoding="utf-8", errors="surrogateescape") as maps:
                for line in maps:
                    fields = line.rstrip("\n").split(None, 5)
                    if len(fields) < 6:
                        continue
                    queue = deleted.get(fields[5]) if fields[5].endswith(" (deleted)") else None
                    if queue is None and fields[4] in inodes:
                        major, _, minor = fields[3].partition(":")
                        try:
                            queue = keys.get((os.makedev(int(major, 16), int(minor, 16)), int(fields[4])))
                        except ValueError:
                            queue = None
                    if queue is not None:
                        result[queue] = True
        except PermissionError:
            complete = False
            continue
        except OSError:
            continue  # gone meanwhile
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except PermissionError:
            complete = complete and not _has_memory(pid)
            continue
        except OSError:
            continue
        for fd_name in fds:
            link = f"/proc/{pid}/fd/{fd_name}"
            try:
                target = os.readlink(link)
                if not target.startswith(prefix):
                    continue
                queue = deleted.get(target)
                if queue is None:
                    st = os.stat(link)
                    queue = keys.get((st.st_dev, st.st_ino))
            except OSError:
                continue
            if queue is not None:
                result[queue] = True
    for queue in result:
        if result[queue] or complete:
            continue
        key = next((k for k, q in keys.items() if q == queue), None)
        probe = Segment(queue, "queue", 0, 0.0)
        probe.device, probe.inode = key if key is not None else (None, None)
        others = _mapped_elsewhere(probe) if key is not None else None
        result[queue] = None if others is None else others > 0
    return result


# --- who uses an object -------------------------------------------------------------------


def find_users(segments):
    """Fills seg.users with (pid, command) of every other live process that maps an
    object or holds it open; an object no process seen uses gets (None, what shows its
    hidden user) when it carries the in-use mark or others map it, and is flagged
    unproven when this process can tell neither. Returns why the view of the processes
    may be partial: a list of reasons, empty when this process sees every one."""
    hidden = _partial_view()
    wanted = {(seg.device, seg.inode): seg for seg in segments if seg.inode is not None}
    if wanted:
        me = os.getpid()
        try:
            pids = [int(e) for e in os.listdir("/proc") if e.isdigit()]
        except OSError:
            pids = []
            hidden.append("/proc cannot be read")
        unreadable = []
        for pid in sorted(pids):
            if pid == me:
                continue
            using, readable = _maps_using(pid, wanted)
            fds, fds_readable = _fds_using(pid, wanted)
            using |= fds
            # A process with no address space left (a zombie, a kernel thread) maps nothing
            # and holds nothing open, whatever its fd directory lets us read.
            if not readable or (not fds_readable and _has_memory(pid)):
                unreadable.append(pid)
            if using:
                command = _command(pid)
                for key in sorted(using):
                    wanted[key].users.append((pid, command))
        if unreadable:
            pids_text = ", ".join(map(str, unreadable[:5])) + (", ..." if len(unreadable) > 5 else "")
            hidden.append(f"the /proc entries of {len(unreadable)} "
                          f"process{'es' if len(unreadable) > 1 else ''} cannot be read (pid {pids_text})")
    for seg in segments:
        if seg.users:
            continue
        if seg.marked:
            seg.users.append((None, "in-use mark"))
            continue
        others = _mapped_elsewhere(seg)
        if others:
            seg.users.append((None, f"{others} mapping{'s' if others > 1 else ''}"))
        elif others is None and hidden:
            if _vanished(seg):
                seg.vanished = True  # consumed or removed meanwhile: nothing to prove
            else:
                seg.unproven = True
    return hidden


def _vanished(seg):
    """True when the name no longer holds the object examined (removed, or made again)."""
    try:
        st = os.stat(os.path.join(SHM_DIR, seg.name), follow_symlinks=False)
    except FileNotFoundError:
        return True
    except (OSError, ValueError):
        return False
    return (st.st_dev, st.st_ino) != (seg.device, seg.inode)


def _mapped_elsewhere(seg):
    """How many mappings of the object's first page exist besides this probe's own, by the
    kernel's count; None when the count cannot be had (it takes CAP_SYS_ADMIN). Every
    kelvane process touches that page (the mutex, the ready word) as it opens the object."""
    page = mmap.PAGESIZE
    try:
        fd = os.open(os.path.join(SHM_DIR, seg.name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        if (st.st_dev, st.st_ino) != (seg.device, seg.inode) or st.st_size < page:
            return None
        probe = mmap.mmap(fd, page, mmap.MAP_SHARED, mmap.PROT_READ)
    except (OSError, ValueError):
        return None
    finally:
        os.close(fd)
    try:
        probe[0]  # fault the page into this mapping
        start = _probe_address(st)
        if start is None:
            return None
        with open("/proc/self/pagemap", "rb") as f:
            f.seek(start // page * 8)
            entry = struct.unpack("=Q", f.read(8))[0]
        frame = entry & ((1 << 55) - 1)
        if not entry >> 63 or frame == 0:  # not present, or the frame is hidden from us
            return None
        with open("/proc/kpagecount", "rb") as f:
            f.seek(frame * 8)
            count = struct.unpack("=Q", f.read(8))[0]
        return max(0, count - 1)
    except (OSError, struct.error, IndexError):
        return None
    finally:
        probe.close()


def _probe_address(st):
    """The start of a mapping of this process that maps the object at offset 0."""
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) < 6 or fields[4] != str(st.st_ino) or int(fields[2], 16) != 0:
                continue
            major, _, minor = fields[3].partition(":")
            if os.makedev(int(major, 16), int(minor, 16)) == st.st_dev:
                return int(fields[0].split("-")[0], 16)
    return None


def _partial_view():
    """Why this process's /proc may not show every process on the machine."""
    reasons = []
    try:
        namespace = os.readlink("/proc/self/ns/pid")
        proc_self = os.readlink("/proc/self")
    except OSError:
        return ["this process cannot tell which processes /proc shows"]
    if namespace != _INITIAL_PID_NAMESPACE:
        reasons.append("it runs in a PID namespace of its own (a container?)")
    elif proc_self != str(os.getpid()):
        reasons.append("/proc belongs to another PID namespace")
    hidepid = _proc_hidepid()
    if hidepid not in (None, "0", "off", "1", "noaccess") and not _has_capability(_CAP_SYS_PTRACE):
        reasons.append(f"/proc is mounted with hidepid={hidepid}")
    return reasons


def _proc_hidepid():
    """The hidepid option of the /proc mount (None when not set or unknown)."""
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.split()
                if len(fields) > 4 and fields[4] == "/proc" and " - " in line:
                    options = line.split(" - ", 1)[1].split()[-1].split(",")
                    for option in options:
                        if option.startswith("hidepid="):
                            return option.split("=", 1)[1]
    except OSError:
        pass
    return None


def _has_capability(bit):
    try:
        with open("/proc/self/status", encoding="utf-8") as f:
            for line in f:
                if line.startswith("CapEff:"):
                    return bool(int(line.split()[1], 16) >> bit & 1)
    except (OSError, ValueError, IndexError):
        pass
    return False


def _has_memory(pid):
    try:
        with open(f"/proc/{pid}/statm") as f:
            return f.read().split()[0] != "0"
    except (OSError, IndexError):
        return False


def _maps_using(pid, wanted):
    """(keys of the wanted objects this process maps, whether its maps could be read).
    Matched by device and inode: the path in maps has its newlines escaped."""
    using = set()
    inodes = {str(inode) for _, inode in wanted}
    try:
        with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) < 6 or fields[4] not in inodes:
                    continue
                major, _, minor = fields[3].partition(":")
                try:
                    key = (os.makedev(int(major, 16), int(minor, 16)), int(fields[4]))
                except ValueError:
                    continue
                if key in wanted:
                    using.add(key)
    except PermissionError:
        return using, False
    except OSError:
        pass  # gone meanwhile
    return using, True


def _fds_using(pid, wanted):
    """(keys of the wanted objects this process holds open, whether its fds could be read)."""
    using = set()
    fd_dir = f"/proc/{pid}/fd"
    try:
        fds = os.listdir(fd_dir)
    except PermissionError:
        return using, False
    except OSError:
        return using, True
    prefix = SHM_DIR + "/"
    for fd in fds:
        link = f"{fd_dir}/{fd}"
        try:
            # Only what lies in /dev/shm is looked at: a stat of another file could hang
            # (a network file system), and sockets and pipes are no objects of ours.
            if not os.readlink(link).startswith(prefix):
                continue
            st = os.stat(link)
        except OSError:
            continue
        key = (st.st_dev, st.st_ino)
        if key in wanted:
            using.add(key)
    return using, True


def _command(pid):
    try:
        with open(f"/proc/{pid}/comm", encoding="utf-8", errors="replace") as f:
            return f.read().rstrip("\n")
    except OSError:
        return "?"


# --- output -------------------------------------------------------------------------------


def _units(n):
    if n is None:
        return "-"
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:g} {unit}" if n == int(n) else f"{n:.2f} {unit}"
        n /= 1024


def _age(seconds):
    s = int(seconds)
    if s < 60:
        return f"{s}s"
    if s < 3600:
        return f"{s // 60}m{s % 60:02d}s"
    if s < 86400:
        return f"{s // 3600}h{s % 3600 // 60:02d}m"
    return f"{s // 86400}d{s % 86400 // 3600:02d}h"


def _state(seg):
    if seg.kind == "blocks":
        b = seg.blocks
        held = ", ".join(f"pid {pid}" + (f" x{n}" if n > 1 else "") for pid, n in sorted(b["held_by"].items()))
        in_use = b["blocks"] - b["free"]
        return (f"of {shown(seg.queue)} ({b['memory']}): {b['blocks']} blocks, {in_use} in use"
                + (f", held by {held}" if held else ""))
    if seg.kind == "side":
        alive = _side.creator_alive(_side.Header(seg.size, seg.creator, seg.start_ticks, seg.queue, 0))
        return f"of {shown(seg.queue)}, pid {seg.creator} {'runs' if alive else 'gone' if alive is False else '?'}"
    if seg.damaged is not None:
        return "DAMAGED"
    if seg.ready is None:
        return "-"
    return "ready" if seg.ready else "not ready"


def shown(name):
    """A name as printed: as it is when it is plain, else quoted with its odd characters
    escaped, so that a name cannot break a table or pose as another."""
    if name and name.isprintable() and not any(c.isspace() or c in "'\"\\" for c in name):
        return name
    return repr(name)


def _users_text(seg):
    return ", ".join(f"{pid} ({command})" if pid is not None else f"hidden ({command})"
                     for pid, command in seg.users) or "-"


def format_table(segments):
    header = ("NAME", "KIND", "SIZE", "CAPACITY", "HELD", "MSGS", "STATE", "AGE", "USED BY")
    rows = [header]
    for seg in segments:
        messages = "-" if seg.capacity is None else ("?" if seg.messages is None else str(seg.messages))
        rows.append((shown(seg.name), seg.kind, _units(seg.size), _units(seg.capacity),
                     _units(seg.bytes_held) if seg.capacity is not None else "-", messages,
                     _state(seg), _age(seg.age), _users_text(seg)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header) - 1)]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[-1] for row in rows]
    lines += [f"{shown(seg.name)}: damaged: {seg.damaged}" for seg in segments if seg.damaged is not None]
    return "\n".join(lines) + "\n"


# --- commands -----------------------------------------------------------------------------


def _ls(args):
    segments, hidden = scan(args.prefix, include_other=args.all)
    if any(seg.unproven for seg in segments):
        print(f"kelvane ls: this process cannot see every process ({'; '.join(hidden)}) nor count "
              "mappings (that takes CAP_SYS_ADMIN): USED BY may miss some", file=sys.stderr)
    if args.json:
        out = json.dumps([seg.as_dict() for seg in segments], indent=2) + "\n"
    elif segments:
        out = format_table(segments)
    else:
        out = "no kelvane segments in /dev/shm\n" if not args.all else "/dev/shm is empty\n"
    sys.stdout.write(out)
    return 0


def _bare_name(name):
    bare = name[1:] if name.startswith("/") else name
    if not bare or "/" in bare or bare in (".", ".."):
        return None
    return bare


def _remove(name, dry_run, missing_ok=False):
    """True when removed (or, dry, when it would be); missing_ok: gone already counts
    as removed, silently."""
    if dry_run:
        print(f"would remove {shown(name)}")
        return True
    try:
        os.unlink(os.path.join(SHM_DIR, name))
    except FileNotFoundError:
        if missing_ok:
            return True
        print(f"kelvane rm: {shown(name)}: no such segment", file=sys.stderr)
        return False
    except OSError as e:
        print(f"kelvane rm: {shown(name)}: {e.strerror}", file=sys.stderr)
        return False
    print(f"removed {shown(name)}")
    return True


def _still_unused(seg):
    """Right before a stale object is removed: is the name still that object, and still
    without the in-use mark? (Another process may have removed and made it again, or
    started to use it, since the scan.)"""
    try:
        fd = os.open(os.path.join(SHM_DIR, seg.name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        st = os.fstat(fd)
        return (st.st_dev, st.st_ino) == (seg.device, seg.inode) and not marked_in_use(fd)
    finally:
        os.close(fd)


def _rm_names(args):
    ok = True
    targets = []
    for given in args.names:
        name = _bare_name(given)
        if name is None:
            print(f"kelvane rm: {given!r} is not a segment name", file=sys.stderr)
            ok = False
            continue
        seg = examine(name, include_other=True)
        if seg is None:
            print(f"kelvane rm: {shown(name)}: no such segment", file=sys.stderr)
            ok = False
            continue
        targets.append(seg)
    find_users(targets)
    for seg in targets:
        if seg.users and not args.force:
            print(f"kelvane rm: {shown(seg.name)} is in use by {_pids_text(seg)}; --force removes it anyway",
                  file=sys.stderr)
            ok = False
            continue
        ok = _remove(seg.name, args.dry_run) and ok
    return 0 if ok else 1


def _pids_text(seg):
    return ", ".join(f"pid {pid} ({command})" if pid is not None
                     else f"a process this one cannot see ({command})"
                     for pid, command in seg.users)


def _rm_stale(args):
    segments, hidden = scan(args.prefix)
    stale = [seg for seg in segments if not seg.users and seg.kind not in ("side", "blocks")]
    going = {seg.name for seg in stale if args.force or not seg.unproven}
    # An arena goes when nobody uses it and its queue does not name it (or goes now).
    arenas = [seg for seg in segments if seg.kind == "blocks" and not seg.users]
    stale += [seg for seg in arenas if seg.queue not in going
              and _blocks.arena_of_queue(seg.queue) != int(seg.blocks["id"], 16)]
    arenas_after = [seg for seg in arenas if seg.queue in going]
    sides, sides_unproven = _stale_sides([seg for seg in segments if seg.kind == "side"], args.force, going)
    # What went meanwhile (a side segment its consumer opened, say) needs no proof.
    unproven = [seg for seg in stale if seg.unproven] + sides_unproven
    unproven = [seg for seg in unproven if not _vanished(seg)]
    ok = True
    if not stale and not sides and not unproven and not arenas_after:
        print("no stale kelvane segments")
        return 0
    if unproven and not args.force:
        kept = ", ".join(shown(seg.name) for seg in unproven)
        print(f"kelvane rm: kept {kept}: this process cannot see every process ({'; '.join(hidden)}) "
              "nor count mappings (that takes CAP_SYS_ADMIN), so one it cannot see may use "
              f"{'them' if len(unproven) > 1 else 'it'}; --force removes what no process seen uses "
              "(never what carries kelvane's in-use mark)", file=sys.stderr)
        stale = [seg for seg in stale if not seg.unproven]
        ok = False
    removed = set()
    for seg in stale:
        if not args.dry_run and not _still_unused(seg):
            continue  # made again, or taken into use, since the scan
        if _remove(seg.name, args.dry_run, missing_ok=True):
            removed.add(seg.name)
        else:
            ok = False
    for seg in arenas_after:
        if args.dry_run or (seg.queue in removed and _still_unused(seg)):
            ok = _remove(seg.name, args.dry_run, missing_ok=True) and ok
    for seg in sides:
        if not args.dry_run:
            if seg.queue in going and seg.queue not in removed:
                continue  # its queue was kept after all: its records may yet be read
            if _positions(seg.queue) != seg.queue_positions or not _still_unused(seg):
                continue  # records were taken or stored since they were read: next sweep
        ok = _remove(seg.name, args.dry_run, missing_ok=True) and ok
    return 0 if ok else 1


def _rm(args, parser):
    if args.stale == bool(args.names):
        parser.error("give segment names, or --stale")
    if args.prefix and not args.stale:
        parser.error("--prefix applies to --stale")
    return _rm_stale(args) if args.stale else _rm_names(args)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kelvane", description="List and remove kelvane's shared-memory segments in /dev/shm.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ls = commands.add_parser("ls", help="list kelvane's segments and the processes that use them")
    ls.add_argument("--json", action="store_true", help="a JSON list of objects instead of a table")
    ls.add_argument("--all", action="store_true", help="list every object in /dev/shm, others as kind 'other'")
    ls.add_argument("--prefix", default="", help="only names that start with PREFIX")

    rm = commands.add_parser("rm", help="remove segments by name, or every one nobody uses (--stale)")
    rm.add_argument("names", nargs="*", metavar="NAME", help="segment names, with or without the leading '/'")
    rm.add_argument("--stale", action="store_true", help="remove every kelvane segment no live process uses")
    rm.add_argument("--prefix", default="", help="with --stale: only names that start with PREFIX")
    rm.add_argument("--dry-run", action="store_true", help="print what would be removed, remove nothing")
    rm.add_argument("--force", action="store_true",
                    help="remove named segments even while processes use them; with --stale, sweep even "
                         "when this process cannot see every process (never what carries the in-use mark)")
    return parser, rm


def main(argv=None):
    parser, rm_parser = build_parser()
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    try:
        if args.command == "ls":
            return _ls(args)
        return _rm(args, rm_parser)
    except BrokenPipeError:
        # `kelvane ls | head`: the reader left; nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
