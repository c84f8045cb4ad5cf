"""kelvane ls | rm: list and remove kelvane's shared-memory objects in /dev/shm.

Everything here reads the objects as plain files, read-only: nothing is mapped,
created or locked, so listing a queue never waits for a process that holds its
mutex, and a damaged header is reported instead of trusted.

What counts as kelvane's, judged by content:

- lock: exactly 4096 bytes; bytes 64..72 hold the ready mark b"KELLOCK1" and every
  byte from 72 on is zero. The same with the mark still zero is a lock whose creator
  has not finished; since that shape is weak evidence, it is taken only when the
  object's mode is 0600 (kelvane creates every object 0600 whatever the umask).
- queue: 16384 + D bytes with D a positive multiple of 1 MiB, and a header whose
  wait-slot padding and bytes 416..16384 are zero. ready (@408) == 1 with capacity
  (@400) == D is a working queue; ready == 0 with capacity 0 or D and both positions
  zero is a queue whose creator has not finished (again only when the mode is 0600);
  ready or capacity disagreeing while the rest fits is listed as damaged.
- pool-task / pool-result: a queue named kp_task_<hex> / kp_res_<hex>, the two
  rings of one KelPoolCore; the entries of one pool share their identifier.

Anything else in /dev/shm is not kelvane's: `ls --all` lists it as "other", and
`rm --stale` never touches it.

A process uses an object when its /proc/PID/maps maps it or /proc/PID/fd holds it
open (same inode, so an old object removed and made again under the same name does
not count). /proc entries that cannot be read are skipped.
"""

import argparse
import json
import os
import re
import stat
import struct
import sys
import time

SHM_DIR = "/dev/shm"

LOCK_SIZE = 4096
LOCK_MARK = b"KELLOCK1"
LOCK_MARK_AT = 64

QUEUE_HEADER = 16384
MIB = 1 << 20
_POSITIONS = struct.Struct("=4Q")  # read_pos, write_pos, capacity, ready
_POSITIONS_AT = 384
_PREFIX = struct.Struct("=I")
# 264..283 of the not_full slot hold a waiting producer's claim on room (need, expiry, thread).
_WAIT_SLOT_PADDING = ((136, 256), (284, 384))
_HEADER_TAIL = 416

_POOL_NAME = re.compile(r"kp_(task|res)_([0-9a-f]+)\Z")
_KELVANE_MODE = 0o600

# A walk of the records stops counting here; the count is then shown as unknown.
_WALK_LIMIT = 2_000_000
_WINDOW = 64 * 1024
# A snapshot taken while other processes move the positions may not frame; it is
# taken again this many times before the queue is called damaged.
_SNAPSHOT_TRIES = 4

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
        self.users = []  # [(pid, command)]

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
        }


# --- reading one object -----------------------------------------------------------------


def _zero(buf):
    return not any(buf)


def _examine_lock(seg, fd, mode):
    record = os.pread(fd, LOCK_SIZE, 0)
    if len(record) != LOCK_SIZE:
        return False
    mark = record[LOCK_MARK_AT:LOCK_MARK_AT + len(LOCK_MARK)]
    tail_zero = _zero(record[LOCK_MARK_AT + len(LOCK_MARK):])
    if mark == LOCK_MARK:
        seg.ready = True
        if not tail_zero:
            seg.damaged = "bytes after the ready mark are not zero"
        return True
    if _zero(mark) and tail_zero and mode == _KELVANE_MODE:
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


def _examine_queue(seg, fd, mode):
    data_size = seg.size - QUEUE_HEADER
    header = os.pread(fd, QUEUE_HEADER, 0)
    if len(header) != QUEUE_HEADER:
        return False
    read_pos, write_pos, capacity, ready = _POSITIONS.unpack_from(header, _POSITIONS_AT)
    padding_zero = _zero(header[_HEADER_TAIL:]) and all(_zero(header[a:b]) for a, b in _WAIT_SLOT_PADDING)

    if ready == 0:
        # A creator between sizing the object and publishing its header.
        if padding_zero and capacity in (0, data_size) and read_pos == write_pos == 0 and mode == _KELVANE_MODE:
            seg.ready = False
            seg.capacity = data_size
            seg.bytes_held = seg.messages = 0
            return True
        return False
    if ready == 1 and capacity == data_size and padding_zero:
        seg.ready = True
        seg.capacity = data_size
        _count_records(seg, fd, read_pos, write_pos)
        return True
    # Kelvane's by shape, but the header says something no kelvane process writes.
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


def examine(name, include_other=False):
    """The Segment for /dev/shm/NAME, or None when it is gone or is not kelvane's
    (unless include_other)."""
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
        seg.inode = st.st_ino
        mode = stat.S_IMODE(st.st_mode)
        size = st.st_size
        try:
            if size == LOCK_SIZE and _examine_lock(seg, fd, mode):
                seg.kind = "lock"
            elif size > QUEUE_HEADER and (size - QUEUE_HEADER) % MIB == 0 and _examine_queue(seg, fd, mode):
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


def scan(prefix="", include_other=False):
    """Kelvane's objects in /dev/shm whose names start with prefix, pool pairs next
    to each other, each with the live processes that use it."""
    try:
        names = sorted(n for n in os.listdir(SHM_DIR) if n.startswith(prefix))
    except OSError:
        names = []
    found = [seg for seg in (examine(n, include_other) for n in names) if seg is not None]
    find_users(found)
    return sorted(found, key=_order)


def _order(seg):
    if seg.pool is not None:
        return ("kp_" + seg.pool, seg.kind != "pool-task")
    return (seg.name, False)


# --- who uses an object -------------------------------------------------------------------


def find_users(segments):
    """Fills seg.users with (pid, command) of every other live process that maps an
    object or holds it open."""
    wanted = {os.path.join(SHM_DIR, seg.name): seg for seg in segments if seg.inode is not None}
    if not wanted:
        return
    me = os.getpid()
    try:
        pids = [int(e) for e in os.listdir("/proc") if e.isdigit()]
    except OSError:
        return
    for pid in sorted(pids):
        if pid == me:
            continue
        using = _maps_using(pid, wanted) | _fds_using(pid, wanted)
        if using:
            command = _command(pid)
            for path in sorted(using):
                wanted[path].users.append((pid, command))


def _maps_using(pid, wanted):
    using = set()
    try:
        with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                if "/dev/shm/" not in line:
                    continue
                fields = line.rstrip("\n").split(None, 5)
                if len(fields) < 6:
                    continue
                seg = wanted.get(fields[5])
                if seg is not None and fields[4] == str(seg.inode):
                    using.add(fields[5])
    except OSError:
        pass
    return using


def _fds_using(pid, wanted):
    using = set()
    fd_dir = f"/proc/{pid}/fd"
    try:
        fds = os.listdir(fd_dir)
    except OSError:
        return using
    for fd in fds:
        link = f"{fd_dir}/{fd}"
        try:
            target = os.readlink(link)
            seg = wanted.get(target)
            if seg is not None and os.stat(link).st_ino == seg.inode:
                using.add(target)
        except OSError:
            continue
    return using


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
    if seg.damaged is not None:
        return "DAMAGED"
    if seg.ready is None:
        return "-"
    return "ready" if seg.ready else "not ready"


def _users_text(seg):
    return ", ".join(f"{pid} ({command})" for pid, command in seg.users) or "-"


def format_table(segments):
    header = ("NAME", "KIND", "SIZE", "CAPACITY", "HELD", "MSGS", "STATE", "AGE", "USED BY")
    rows = [header]
    for seg in segments:
        messages = "-" if seg.capacity is None else ("?" if seg.messages is None else str(seg.messages))
        rows.append((seg.name, seg.kind, _units(seg.size), _units(seg.capacity),
                     _units(seg.bytes_held) if seg.capacity is not None else "-", messages,
                     _state(seg), _age(seg.age), _users_text(seg)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header) - 1)]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[-1] for row in rows]
    lines += [f"{seg.name}: damaged: {seg.damaged}" for seg in segments if seg.damaged is not None]
    return "\n".join(lines) + "\n"


# --- commands -----------------------------------------------------------------------------


def _ls(args):
    segments = scan(args.prefix, include_other=args.all)
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
        print(f"would remove {name}")
        return True
    try:
        os.unlink(os.path.join(SHM_DIR, name))
    except FileNotFoundError:
        if missing_ok:
            return True
        print(f"kelvane rm: {name}: no such segment", file=sys.stderr)
        return False
    except OSError as e:
        print(f"kelvane rm: {name}: {e.strerror}", file=sys.stderr)
        return False
    print(f"removed {name}")
    return True


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
            print(f"kelvane rm: {name}: no such segment", file=sys.stderr)
            ok = False
            continue
        targets.append(seg)
    find_users(targets)
    for seg in targets:
        if seg.users and not args.force:
            print(f"kelvane rm: {seg.name} is in use by {_pids_text(seg)}; --force removes it anyway",
                  file=sys.stderr)
            ok = False
            continue
        ok = _remove(seg.name, args.dry_run) and ok
    return 0 if ok else 1


def _pids_text(seg):
    return ", ".join(f"pid {pid} ({command})" for pid, command in seg.users)


def _rm_stale(args):
    ok, stale = True, [seg for seg in scan(args.prefix) if not seg.users]
    for seg in stale:
        ok = _remove(seg.name, args.dry_run, missing_ok=True) and ok
    if not stale:
        print("no stale kelvane segments")
    return 0 if ok else 1


def _rm(args, parser):
    if args.stale == bool(args.names):
        parser.error("give segment names, or --stale")
    if args.stale and args.force:
        parser.error("--stale removes only segments nobody uses; --force applies to names")
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
    rm.add_argument("--force", action="store_true", help="remove named segments even while processes use them")
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
