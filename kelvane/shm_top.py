"""kelvane top: a live view of kelvane's queues, locks and pools in /dev/shm.

Like `kelvane ls`, top only reads: every object is read as a plain file (pread), nothing is
created, written or locked. A process that holds a queue's mutex or a lock, even one stopped
while it holds it, never holds top up; a refresh takes as long as reading the objects and
/proc does. Objects are found and told apart as `ls` does (kelvane.shm_admin), with the
same users.

What a refresh shows, and where it comes from (rates are over the time between two refreshes,
so the first view comes one interval after the start):

- queue: bytes held (write position - read position, the 4-byte length of each record
  included) and the records between them, counted up to a bound (past it, and when consumers
  and producers moved the positions too far while top counted, estimated from the mean record
  size: shown with "~"); bytes put and taken per second (the growth of the positions; a large
  message counts as the reference the ring carries, its side segment is shown apart); messages
  put and taken per second, counted from the records between the last refresh's read position
  and this one's while the ring still holds them (less than a ring's worth of traffic in the
  interval, none overwritten during the count), else estimated from the bytes and the mean
  record size seen ("~"); producers and consumers asleep waiting for room or a message, as the
  wait words count them (a waiter killed asleep stays counted; one between two of its short
  waits is not); a producer's claim on room; the thread that holds the queue's mutex, when it
  holds it across two refreshes or is stopped; its side segments (count and bytes: large
  messages in flight); the processes that map it or hold it open.
- lock: its holder, from the thread id in the mutex word (mapped to its process through
  /proc), and for how long, as seen: since this top first saw that thread hold it; whether
  the word's waiters bit is set (a thread blocked on it since it was last free; it may have
  given up since); a holder that died with it (the next acquirer takes it over, told by
  LockRecovered).
- pool: its task and result queues, its owner (the process whose children use them) and
  workers, how many workers sleep waiting for a task, tasks and results queued and per second.

A thread id is the holder's in its own PID namespace: one that no process here that uses the
object has is shown as a thread id alone.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import select
import shutil
import signal
import struct
import sys
import time

from kelvane import _blocks, shm_admin
from kelvane.shm_admin import _command, shown

# The queue header as top reads it: the mutex's lock word @0; the consumers' wait words @128
# (sequence, sleepers); the producers' @256, then a waiting producer's claim on room (bytes,
# expiry on CLOCK_MONOTONIC, thread); the positions, capacity and ready word @384.
_QUEUE_WORDS = struct.Struct("=I124xII120xIIQQI100xQQQQ")
_Words = collections.namedtuple(
    "_Words", "mutex empty_seq consumers full_seq producers claim_need claim_expires claim_tid "
              "read write capacity ready")
assert _QUEUE_WORDS.size == 416

# A robust mutex's lock word: the owner's thread id under the kernel's FUTEX_TID_MASK, a
# waiters bit, and the bit the kernel sets when its owner died holding it.
_TID_MASK = 0x3FFFFFFF
_WAITERS = 0x80000000
_OWNER_DIED = 0x40000000
_WORD = struct.Struct("=I")
_PREFIX = struct.Struct("=I")

# Records counted per walk: past this, a count is extrapolated from the records counted.
WALK_LIMIT = 100_000
_WINDOW = 64 * 1024
# How often, and how far apart, top looks for a free mutex to prove a count sound.
_SETTLE_TRIES = 4
_SETTLE_PAUSE = 0.0005

_QUEUE_KINDS = ("queue", "pool-task", "pool-result")
_BUSY_STATES = {"T": "stopped", "t": "traced", "Z": "zombie", "D": "disk wait", "X": "dead"}


# --- processes and threads --------------------------------------------------------------------


def _state(pid):
    """The state letter /proc shows for process or thread `pid` (R, S, D, T ...), or None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            line = f.read()
        return line[line.rindex(b")") + 2:].split()[0].decode()
    except (OSError, ValueError, IndexError):
        return None


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            line = f.read()
        return int(line[line.rindex(b")") + 2:].split()[1])
    except (OSError, ValueError, IndexError):
        return None


def _open_seen(seg):
    """A descriptor of the object the scan saw as `seg`, or None: gone, or removed and made
    again since (the next refresh shows the new one)."""
    try:
        fd = os.open(os.path.join(shm_admin.SHM_DIR, seg.name),
                     os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
    except OSError:
        st = None
    if st is None or (st.st_dev, st.st_ino) != (seg.device, seg.inode):
        os.close(fd)
        return None
    return fd


def _process_of_thread(tid):
    """The process (its pid) whose thread `tid` is, looked up in /proc/TID/status and
    confirmed in that process's task list; None when no such thread is seen."""
    try:
        with open(f"/proc/{tid}/status", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("Tgid:"):
                    pid = int(line.split()[1])
                    return pid if os.path.isdir(f"/proc/{pid}/task/{tid}") else None
    except (OSError, ValueError, IndexError):
        pass
    return None


def _user(pid, command):
    return {"pid": pid, "command": command, "state": _state(pid) if pid is not None else None}


def _thread(tid, users, partial):
    """What is known of thread `tid` holding something the processes `users` use: its
    process, when that process is among them (or the view is partial and cannot prove it is
    not), and its state."""
    pid = _process_of_thread(tid)
    if pid is not None and not partial and pid not in {user["pid"] for user in users}:
        pid = None  # a thread of another PID namespace that has the same id here
    if pid is None:
        return {"tid": tid, "pid": None, "command": None, "state": None}
    return {"tid": tid, "pid": pid, "command": _command(pid), "state": _state(tid)}


# --- reading a queue's records ----------------------------------------------------------------


def _ring_bytes(fd, capacity, pos, length):
    offset = pos % capacity
    first = min(length, capacity - offset)
    data = os.pread(fd, first, shm_admin.QUEUE_HEADER + offset)
    if length > first:
        data += os.pread(fd, length - first, shm_admin.QUEUE_HEADER)
    if len(data) != length:
        raise EOFError
    return data


def _walk(fd, capacity, start, end, limit):
    """(records, reached): the records from position `start` towards `end`, counted up to
    `limit`, and where counting stopped (`end` when all were counted); None when they do not
    frame (a record runs past `end`, or the bytes read changed under the walk)."""
    pos, count, window, window_at = start, 0, b"", start
    while pos < end and count < limit:
        if end - pos < 4:
            return None
        at = pos - window_at
        if at + 4 > len(window):
            window, window_at, at = _ring_bytes(fd, capacity, pos, min(_WINDOW, end - pos)), pos, 0
        pos += 4 + _PREFIX.unpack_from(window, at)[0]
        count += 1
    if pos > end:
        return None
    return count, pos


def _read_words(fd):
    raw = os.pread(fd, _QUEUE_WORDS.size, 0)
    if len(raw) != _QUEUE_WORDS.size:
        raise EOFError
    return _Words(*_QUEUE_WORDS.unpack(raw))


def _settled(fd):
    """(words, free): the header read just after the queue's mutex was seen free, or, when it
    was held at every look (a stopped holder), the header as it is and free False. Free
    proves that every copy into the ring that had begun by then has been published."""
    for _ in range(_SETTLE_TRIES):
        if not _WORD.unpack(os.pread(fd, 4, 0))[0] & _TID_MASK:
            return _read_words(fd), True
        time.sleep(_SETTLE_PAUSE)
    return _read_words(fd), False


def _intact(start, after, free, capacity):
    """Whether the ring bytes of positions from `start` on, read before `after` was, were
    still those records: nothing from `start` on had been taken, or no producer has written
    past `start` + capacity (where it would write over them)."""
    return after.read <= start or (free and after.write <= start + capacity)


class _Count:
    """A number of records: exact, or estimated (from a mean record size)."""

    __slots__ = ("value", "estimated")

    def __init__(self, value, estimated):
        self.value, self.estimated = value, estimated


def _counted(walk, start, end, mean, sound):
    """The records in [start, end) from a walk that stopped at `walk`'s reached position:
    exact when it reached `end` over sound bytes, else an estimate (extrapolated past where
    it stopped at the walk's own mean, or `mean`)."""
    count, reached = walk
    if reached == end:
        return _Count(count, not sound)
    own = (reached - start) / count if count else mean
    return _Count(count + (end - reached) / own, True) if own else None


def _mean(walks):
    """The mean record size of the first sound walk (walk, start, sound) that counted any
    record, else of the first unsound one."""
    counted = [(not sound, i) for i, (walk, _, sound) in enumerate(walks) if walk is not None and walk[0]]
    if not counted:
        return None
    walk, start, _ = walks[min(counted)[1]]
    return (walk[1] - start) / walk[0]


class _QueueSeen:
    """What one refresh learnt of a queue, kept for the next."""

    __slots__ = ("read", "write", "held", "mean", "holder", "holder_since")

    def __init__(self, read, write, held, mean):
        self.read, self.write, self.held, self.mean = read, write, held, mean
        self.holder = self.holder_since = None


# --- one refresh ------------------------------------------------------------------------------


def _blocks_of(arena):
    """What the block arena of a queue holds, as its slots say (None: the queue has none)."""
    if arena is None:
        return None
    b = arena.blocks
    return {"memory": b["memory"], "bytes": b["carved"], "blocks": b["blocks"],
            "in_use": b["blocks"] - b["free"], "held_by": {str(pid): n for pid, n in b["held_by"].items()}}


class Sampler:
    """Reads every kelvane object whose name starts with `prefix` once per call of sample(),
    and derives rates and durations from the previous call's reading."""

    def __init__(self, prefix="", walk_limit=WALK_LIMIT):
        self.prefix, self.walk_limit = prefix, walk_limit
        self._queues = {}  # (device, inode) -> _QueueSeen
        self._holders = {}  # lock (device, inode) -> (thread id, monotonic time first seen holding)
        self._last = None  # monotonic time of the previous sample

    def sample(self):
        """One view, as a dict that json.dumps takes (see main's --json)."""
        now, wall = time.monotonic(), time.time()
        interval = None if self._last is None else now - self._last
        self._last = now
        segments, hidden = shm_admin.scan(self.prefix, count=False)
        sides, arenas = collections.defaultdict(list), {}
        for seg in segments:
            if seg.kind == "side":
                sides[seg.queue].append(seg)
            elif seg.kind == "blocks":
                arenas[(seg.queue, int(seg.blocks["id"], 16))] = seg
        queues, locks, seen_queues, seen_locks = [], [], {}, {}
        for seg in segments:
            users = [_user(pid, command) for pid, command in seg.users]
            if seg.kind in _QUEUE_KINDS:
                entry = self._queue(seg, users, interval, bool(hidden), now, seen_queues)
                entry["side_segments"] = len(sides[seg.name])
                entry["side_bytes"] = sum(side.size for side in sides[seg.name])
                entry["blocks"] = _blocks_of(arenas.get((seg.name, _blocks.arena_of_queue(seg.name))))
                queues.append(entry)
            elif seg.kind == "lock":
                locks.append(self._lock(seg, users, bool(hidden), now, seen_locks))
        self._queues, self._holders = seen_queues, seen_locks
        return {
            "time": round(wall, 3),
            "interval_seconds": None if interval is None else round(interval, 6),
            "queues": queues,
            "locks": locks,
            "pools": _pools(queues),
            "partial_view": hidden,
        }

    def _queue(self, seg, users, interval, partial, now, seen):
        entry = {
            "name": seg.name, "kind": seg.kind, "pool": seg.pool, "ready": seg.ready, "capacity": seg.capacity,
            "bytes_held": seg.bytes_held, "messages_held": None, "messages_held_estimated": False,
            "put_bytes_per_second": None, "got_bytes_per_second": None,
            "put_messages_per_second": None, "got_messages_per_second": None,
            "messages_per_second_estimated": False,
            "producers_waiting": None, "consumers_waiting": None, "room_claim": None,
            "mutex_holder": None, "mutex_held_seen_seconds": None,
            "users": users, "damaged": seg.damaged,
        }
        if not seg.ready or seg.damaged is not None:
            return entry
        if (fd := _open_seen(seg)) is None:
            return entry
        try:
            self._read_queue(fd, (seg.device, seg.inode), entry, interval, users, partial, now, seen)
        except (OSError, EOFError):
            pass  # shrunk or unreadable under our feet
        finally:
            os.close(fd)
        return entry

    def _read_queue(self, fd, key, entry, interval, users, partial, now, seen):
        words = _read_words(fd)
        capacity, read, write = words.capacity, words.read, words.write
        if not read <= write <= read + capacity:
            entry["damaged"] = f"positions {read}..{write} do not frame in a capacity of {capacity} bytes"
            return
        entry["bytes_held"] = write - read
        entry["producers_waiting"], entry["consumers_waiting"] = words.producers, words.consumers
        prev = self._queues.get(key)
        if prev is not None and not (prev.read <= read and prev.write <= write):
            prev = None  # positions only grow: not the queue we saw

        held_walk = _walk(fd, capacity, read, write, self.walk_limit)
        moved_walk = None
        if prev is not None and prev.read < read and write - prev.read <= capacity:
            moved_walk = _walk(fd, capacity, prev.read, read, self.walk_limit)
        after, free = _settled(fd)
        # A walk over bytes that a producer may have written over while it read them frames
        # only by chance: what it counted is shown as an estimate.
        held_sound = _intact(read, after, free, capacity)
        moved_sound = prev is not None and _intact(prev.read, after, free, capacity)
        walks = [(moved_walk, prev and prev.read, moved_sound), (held_walk, read, held_sound)]
        if not any(walk and walk[0] and sound for walk, _, sound in walks) and after.read > read:
            # The records taken while top looked: a sample of the traffic's sizes.
            probe = _walk(fd, capacity, read, after.read, self.walk_limit)
            walks.append((probe, read, probe is not None and _intact(read, *_settled(fd), capacity)))
        mean = _mean(walks)
        if mean is None and prev is not None:
            mean = prev.mean

        if write == read:
            held = _Count(0, False)
        elif held_walk is not None:
            held = _counted(held_walk, read, write, mean, held_sound)
        else:
            held = _Count((write - read) / mean, True) if mean else None
        if held is not None:
            entry["messages_held"] = round(held.value)
            entry["messages_held_estimated"] = held.estimated
        seen[key] = state = _QueueSeen(read, write, held, mean)

        if prev is not None and interval:
            if read == prev.read:
                got = _Count(0, False)
            elif moved_walk is not None:
                got = _counted(moved_walk, prev.read, read, mean, moved_sound)
            else:
                got = _Count((read - prev.read) / mean, True) if mean else None
            if write == prev.write:
                put = _Count(0, False)
            elif all(c is not None and not c.estimated for c in (got, held, prev.held)):
                put = _Count(got.value + held.value - prev.held.value, False)
            else:
                put = _Count((write - prev.write) / mean, True) if mean else None
            entry["put_bytes_per_second"] = (write - prev.write) / interval
            entry["got_bytes_per_second"] = (read - prev.read) / interval
            if put is not None:
                entry["put_messages_per_second"] = put.value / interval
            if got is not None:
                entry["got_messages_per_second"] = got.value / interval
            entry["messages_per_second_estimated"] = any(c is None or c.estimated for c in (put, got))

        tid = words.mutex & _TID_MASK
        if tid:
            entry["mutex_holder"] = _thread(tid, users, partial)
            if not free and after.mutex & _TID_MASK == tid:  # held by it at every look
                since = prev.holder_since if prev is not None and prev.holder == tid else now
                state.holder, state.holder_since = tid, since
                entry["mutex_held_seen_seconds"] = round(now - since, 3)
        if words.claim_need:
            claimant = _thread(words.claim_tid, users, partial)
            claimant["bytes"] = words.claim_need
            claimant["lapsed"] = words.claim_expires < time.clock_gettime_ns(time.CLOCK_MONOTONIC)
            entry["room_claim"] = claimant

    def _lock(self, seg, users, partial, now, seen):
        entry = {"name": seg.name, "kind": "lock", "ready": seg.ready, "holder": None, "held_seen_seconds": None,
                 "waiters": None, "owner_died": None, "users": users, "damaged": seg.damaged}
        if not seg.ready or seg.damaged is not None:
            return entry
        if (fd := _open_seen(seg)) is None:
            return entry
        try:
            looks = _lock_words(fd)
        except (OSError, struct.error):
            return entry
        finally:
            os.close(fd)
        key, tid = (seg.device, seg.inode), looks[0] & _TID_MASK
        entry["waiters"], entry["owner_died"] = bool(looks[0] & _WAITERS), bool(looks[0] & _OWNER_DIED)
        if tid:
            entry["holder"] = _thread(tid, users, partial)
            since = now
            if all(word & _TID_MASK == tid for word in looks):  # held by it at every look
                held_by, first = self._holders.get(key, (None, None))
                since = first if held_by == tid else now
                seen[key] = (tid, since)
            entry["held_seen_seconds"] = round(now - since, 3)
        return entry


def _lock_words(fd):
    """A few looks at a lock's word, ~1 ms in all: a holder seen at every look holds it through
    the refresh, one that lets go meanwhile (a busy lock) does not."""
    looks = [_WORD.unpack(os.pread(fd, 4, 0))[0]]
    while looks[-1] & _TID_MASK and looks[-1] & _TID_MASK == looks[0] & _TID_MASK and len(looks) < _SETTLE_TRIES:
        time.sleep(_SETTLE_PAUSE)
        looks.append(_WORD.unpack(os.pread(fd, 4, 0))[0])
    return looks


def _user_ancestor(pid, users):
    """The nearest ancestor of `pid` among `users`: a worker's parent is its pool's owner, or a
    forkserver the owner started."""
    for _ in range(3):
        pid = _parent(pid)
        if pid is None or pid <= 1:
            return None
        if pid in users:
            return pid
    return None


def _pools(queues):
    """The pools the queues belong to, with their owner and workers: among the processes that
    use the two queues, the one whose children (or its forkserver's) the others are is the owner."""
    pools = {}
    for entry in queues:
        if entry["pool"] is None:
            continue
        pool = pools.setdefault(entry["pool"], {
            "pool": entry["pool"], "task_queue": None, "result_queue": None, "owner": None, "workers": [],
            "others": [], "workers_waiting": None, "tasks_queued": None, "results_queued": None,
            "tasks_per_second": None, "results_per_second": None, "_users": {}})
        for user in entry["users"]:
            if user["pid"] is not None:
                pool["_users"][user["pid"]] = user
        if entry["kind"] == "pool-task":
            pool["task_queue"], pool["tasks_queued"] = entry["name"], entry["messages_held"]
            pool["workers_waiting"] = entry["consumers_waiting"]
            pool["tasks_per_second"] = entry["got_messages_per_second"]
        else:
            pool["result_queue"], pool["results_queued"] = entry["name"], entry["messages_held"]
            pool["results_per_second"] = entry["put_messages_per_second"]
    for pool in pools.values():
        users = pool.pop("_users")
        parents = {pid: _user_ancestor(pid, users) for pid in users}
        owners = {parent for parent in parents.values() if parent is not None}
        if len(owners) == 1:
            pool["owner"] = users[owners.pop()]
        for pid, user in sorted(users.items()):
            if pool["owner"] is not None and parents[pid] == pool["owner"]["pid"]:
                pool["workers"].append(user)
            elif user is not pool["owner"]:
                pool["others"].append(user)
    return sorted(pools.values(), key=lambda pool: pool["pool"])


# --- the text view ----------------------------------------------------------------------------


def _size(n):
    """Bytes in binary units, top's way: 1004B, 1.2K, 16M."""
    if n is None:
        return "-"
    for unit in ("B", "K", "M", "G", "T"):
        if n < 1024 or unit == "T":
            return f"{n:.0f}{unit}" if unit == "B" or n >= 100 or n == int(n) else f"{n:.1f}{unit}"
        n /= 1024


def _number(n):
    if n is None:
        return "-"
    if n < 1000:
        return f"{n:.0f}" if n == int(n) or n >= 10 else f"{n:.1f}"
    for unit in ("k", "M", "G"):
        n /= 1000
        if n < 1000:
            return f"{n:.1f}{unit}" if n < 100 else f"{n:.0f}{unit}"
    return f"{n:.0f}T"


def _seconds(s):
    if s is None:
        return "-"
    if s < 60:
        return f"{s:.0f}s"
    if s < 3600:
        return f"{s // 60:.0f}m{s % 60:02.0f}s"
    return f"{s // 3600:.0f}h{s % 3600 // 60:02.0f}m"


def _who(user):
    if user is None:
        return "-"
    if user["pid"] is None:
        return f"hidden ({user['command']})" if user.get("command") else f"tid {user.get('tid')}"
    state = _BUSY_STATES.get(user.get("state"))
    return f"{user['pid']}" + (f" {state}" if state else "")


def _processes(users, at_most=4):
    text = " ".join(_who(user) for user in users[:at_most])
    return (text + f" +{len(users) - at_most}") if len(users) > at_most else (text or "-")


def _table(header, rows):
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header) - 1)]
    right = {i for i, cell in enumerate(header) if cell.endswith(("/s", "HELD", "MSGS", "TASKS", "RESULTS",
                                                                   "WAITING", "SIDE", "WORKERS"))}
    lines = []
    for row in [header, *rows]:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells) + "  " + row[-1])
    return lines


def _approx(value, estimated, show):
    return "-" if value is None else ("~" if estimated else "") + show(value)


def render(frame):
    """The view of one frame as lines of text."""
    queues, locks, pools = frame["queues"], frame["locks"], frame["pools"]
    interval = frame["interval_seconds"]
    title = (f"kelvane top  {time.strftime('%H:%M:%S', time.localtime(frame['time']))}"
             f"  {len(queues)} queue{'s' * (len(queues) != 1)}, {len(locks)} lock{'s' * (len(locks) != 1)}, "
             f"{len(pools)} pool{'s' * (len(pools) != 1)}"
             + (f"  rates over {interval:.1f} s" if interval else ""))
    lines, notes = [title, ""], []
    if queues:
        rows = []
        for q in queues:
            estimated = q["messages_per_second_estimated"]
            rows.append((
                shown(q["name"]), _size(q["capacity"]), _size(q["bytes_held"]),
                _approx(q["messages_held"], q["messages_held_estimated"], _number),
                _approx(q["put_messages_per_second"], estimated, _number),
                _approx(q["got_messages_per_second"], estimated, _number),
                _size(q["put_bytes_per_second"]), _size(q["got_bytes_per_second"]),
                "-" if q["producers_waiting"] is None else f"{q['producers_waiting']}/{q['consumers_waiting']}",
                f"{q['side_segments']} {_size(q['side_bytes'])}" if q["side_segments"] else "-",
                f"{q['blocks']['in_use']}/{q['blocks']['blocks']} {_size(q['blocks']['bytes'])}" if q["blocks"] else "-",
                _processes(q["users"])))
            notes += _queue_notes(q)
        lines += _table(("QUEUE", "CAP", "HELD", "MSGS", "PUT/s", "GOT/s", "PUT B/s", "GOT B/s", "WAIT P/C",
                         "SIDE", "BLOCKS", "PROCESSES"), rows)
        lines.append("")
    if locks:
        rows = []
        for lock in locks:
            holder = lock["holder"]
            state = ("DAMAGED" if lock["damaged"] else "not ready" if not lock["ready"] else
                     "held" if holder else "free, last holder died" if lock["owner_died"] else "free")
            rows.append((shown(lock["name"]), state, _holder(holder), _seconds(lock["held_seen_seconds"]),
                         "yes" if lock["waiters"] else "-", _processes(lock["users"])))
            if lock["damaged"]:
                notes.append(f"{shown(lock['name'])}: damaged: {lock['damaged']}")
        lines += _table(("LOCK", "STATE", "HOLDER", "HELD (SEEN)", "WAITERS", "PROCESSES"), rows)
        lines.append("")
    if pools:
        rows = [(p["pool"], _holder(p["owner"]), str(len(p["workers"])),
                 "-" if p["workers_waiting"] is None else str(p["workers_waiting"]),
                 _number(p["tasks_queued"]), _number(p["results_queued"]),
                 _number(p["tasks_per_second"]), _number(p["results_per_second"]),
                 _processes(p["workers"] + p["others"], 6)) for p in pools]
        lines += _table(("POOL", "OWNER", "WORKERS", "WAITING", "TASKS", "RESULTS", "TASKS/s", "RESULTS/s",
                         "PROCESSES"), rows)
        lines.append("")
    if not (queues or locks):
        lines += ["no kelvane queues or locks in /dev/shm", ""]
    if frame["partial_view"]:
        notes.append(f"this process cannot see every process ({'; '.join(frame['partial_view'])}): "
                     "PROCESSES may miss some")
    return lines + notes


def _holder(user):
    if user is None:
        return "-"
    if user["pid"] is None:
        return f"tid {user['tid']}" if "tid" in user else "-"
    text = f"{user['pid']} ({shown(user['command'])})"
    state = _BUSY_STATES.get(user.get("state"))
    return text + (f" {state}" if state else "")


def _queue_notes(q):
    name, notes = shown(q["name"]), []
    if q["damaged"]:
        notes.append(f"{name}: damaged: {q['damaged']}")
    holder = q["mutex_holder"]
    if holder and (holder["state"] in ("T", "t") or (q["mutex_held_seen_seconds"] or 0) > 0):
        notes.append(f"{name}: its mutex is held by {_holder(holder)}, seen for "
                     f"{_seconds(q['mutex_held_seen_seconds'])}: its producers and consumers wait for it")
    claim = q["room_claim"]
    if claim and not claim["lapsed"]:
        notes.append(f"{name}: a producer, {_holder(claim)}, waits for {_size(claim['bytes'])} of room")
    return notes


# --- the loop ---------------------------------------------------------------------------------


class _Terminal:
    """Redraws in place on the terminal's alternate screen; reads q from the keyboard."""

    def __init__(self, out):
        self.out, self._saved, self._keys = out, None, None
        if sys.stdin.isatty():
            import termios
            import tty

            self._keys = sys.stdin.fileno()
            self._saved = termios.tcgetattr(self._keys)
            tty.setcbreak(self._keys)
        self.out.write("\x1b[?1049h\x1b[?25l\x1b[H\x1b[Jkelvane top: reading /dev/shm ...")
        self.out.flush()

    def show(self, lines):
        size = shutil.get_terminal_size()
        if len(lines) > size.lines:
            lines = lines[:size.lines - 1] + [f"... {len(lines) - size.lines + 1} more lines (--prefix narrows the view)"]
        self.out.write("\x1b[H" + "\n".join(line[:size.columns - 1] + "\x1b[K" for line in lines) + "\x1b[J")
        self.out.flush()

    def wait(self, seconds):
        """Sleeps up to `seconds`; True when q was pressed."""
        if self._keys is None:
            time.sleep(seconds)
            return False
        ready, _, _ = select.select([self._keys], [], [], seconds)
        return bool(ready) and b"q" in os.read(self._keys, 64).lower()

    def close(self):
        self.out.write("\x1b[?25h\x1b[?1049l")
        self.out.flush()
        if self._saved is not None:
            import termios

            termios.tcsetattr(self._keys, termios.TCSADRAIN, self._saved)


class _Stream:
    """Appends frames: JSON lines, or text frames between blank lines."""

    def __init__(self, out, as_json):
        self.out, self.as_json = out, as_json

    def show(self, frame):
        self.out.write(json.dumps(frame) + "\n" if self.as_json else "\n".join(render(frame)) + "\n\n")
        self.out.flush()

    @staticmethod
    def wait(seconds):
        time.sleep(seconds)
        return False

    def close(self):
        pass


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kelvane top",
        description="A live view of kelvane's queues, locks and pools in /dev/shm (q or Ctrl-C quits).")
    parser.add_argument("--json", action="store_true", help="one JSON object per refresh, one a line")
    parser.add_argument("--once", action="store_true", help="print one view (rates over one interval) and exit")
    parser.add_argument("--count", type=int, metavar="N", help="print N views and exit")
    parser.add_argument("--interval", type=float, default=1.0, metavar="SECONDS",
                        help="seconds between refreshes (default 1)")
    parser.add_argument("--prefix", default="", help="only names that start with PREFIX")
    return parser


def _stop(signum, frame):
    raise KeyboardInterrupt


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if not 0.05 <= args.interval <= 3600:
        parser.error("--interval must be between 0.05 and 3600 seconds")
    if args.count is not None and args.count < 1:
        parser.error("--count must be at least 1")
    count = 1 if args.once else args.count
    live = not args.json and count is None and sys.stdout.isatty()
    previous = signal.signal(signal.SIGTERM, _stop)
    view = None
    try:
        view = _Terminal(sys.stdout) if live else _Stream(sys.stdout, args.json)
        sampler = Sampler(args.prefix)
        sampler.sample()  # the baseline of the first view's rates
        shown_frames, due = 0, time.monotonic() + args.interval
        while count is None or shown_frames < count:
            if view.wait(max(0.0, due - time.monotonic())):
                break
            due = max(due + args.interval, time.monotonic())
            frame = sampler.sample()
            view.show(render(frame) if live else frame)
            shown_frames += 1
    except KeyboardInterrupt:
        pass
    except BrokenPipeError:
        # `kelvane top --json | head -1`: the reader left; nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    finally:
        signal.signal(signal.SIGTERM, previous)
        if view is not None:
            view.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
