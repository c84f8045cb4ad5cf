"""Crash and abuse scenarios for kelvane, with their figures.

Every scenario runs real processes against real named segments, kills some of
them with SIGKILL, and returns a dict of figures together with a list of
``problems`` (empty when every promise held). The test suite runs the scenarios
with small parameters and asserts on the figures; ``python -m kelvane torture``
runs them with the quick or the long parameters and prints the figures.

Workers are forked from the calling process (cheap, and they can share
anonymous memory for their reports); a process that must start with a given
environment (the kill-point build reads KELVANE_KILL_AT once per process) is
started fresh with ``subprocess``. Every child has a deadline, every segment a
scenario creates is removed before it returns.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import platform
import random
import signal
import struct
import subprocess
import sys
import time
import traceback
import uuid
import warnings
import zlib

from kelvane_core import KelLock, KelPoolCore, KelQueue, LockRecovered

SHM_DIR = "/dev/shm"
MIB = 1 << 20
HEADER_SIZE = 16384
OPEN_WAIT = 10.0  # how long an opener waits for a creator that never finishes

ERR_EEXIST_QUEUE = "Failed to create mirrored shm: Nix error: EEXIST: File exists"
ERR_EEXIST_LOCK = "Failed to create shm: Nix error: EEXIST: File exists"
ERR_ENOSPC = "Nix error: ENOSPC: No space left on device"
ERR_EACCES = "Nix error: EACCES: Permission denied"


# ---------------------------------------------------------------------------
# Plumbing: names, shared counters, children with deadlines.


def new_name(tag: str) -> str:
    """A segment name nobody else uses; the kt_ prefix is the one the test
    fixtures sweep."""
    return f"kt_{tag}_{os.getpid()}_{uuid.uuid4().hex[:12]}"


def remove_name(name: str) -> None:
    try:
        os.unlink(os.path.join(SHM_DIR, name.lstrip("/")))
    except FileNotFoundError:
        pass


class Shared:
    """Signed 64-bit slots in anonymous shared memory, inherited by forked
    children. Each slot has one writer at a time (a process's own slot, or a
    field written only while holding the lock under test), so plain aligned
    stores suffice."""

    def __init__(self, slots: int):
        self._map = mmap.mmap(-1, max(8, 8 * slots))
        self.v = memoryview(self._map).cast("q")

    def __getitem__(self, i):
        return self.v[i]

    def __setitem__(self, i, value):
        self.v[i] = value

    def close(self):
        self.v.release()
        self._map.close()


class Blob:
    """A JSON value handed back by a forked child through anonymous shared memory
    (no file the child might not be allowed to write)."""

    def __init__(self, size: int = 1 << 16):
        self._map = mmap.mmap(-1, size)

    def put(self, value) -> None:
        data = json.dumps(value).encode()
        self._map[8 : 8 + len(data)] = data
        self._map[0:8] = struct.pack("<Q", len(data))

    def get(self):
        (n,) = struct.unpack("<Q", self._map[0:8])
        return json.loads(self._map[8 : 8 + n]) if n else None

    def close(self):
        self._map.close()


def fork_call(fn, *args) -> int:
    """Runs fn(*args) in a forked child that leaves with os._exit: status 0 when
    fn returns None or 0, 1 when it raises."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = fn(*args) or 0
        except BaseException:  # noqa: BLE001 - a child reports everything and leaves
            traceback.print_exc()
        finally:
            try:
                sys.stderr.flush()
                sys.stdout.flush()
            finally:
                os._exit(code)
    return pid


def decode_status(status: int) -> int:
    """Exit code, or minus the signal number for a killed process."""
    return -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)


def wait_exit(pid: int, timeout: float) -> int | None:
    """The child's decoded status, or None if it is still running at the deadline."""
    deadline = time.monotonic() + timeout
    pause = 0.0005
    while True:
        got, status = os.waitpid(pid, os.WNOHANG)
        if got == pid:
            return decode_status(status)
        if time.monotonic() >= deadline:
            return None
        time.sleep(pause)
        pause = min(pause * 2, 0.02)


def kill_and_reap(pid: int) -> int:
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    _, status = os.waitpid(pid, 0)
    return decode_status(status)


class Children:
    """The forked children of one scenario; whatever is still running when the
    scenario ends is killed, so no child outlives it."""

    def __init__(self):
        self.live: set[int] = set()

    def spawn(self, fn, *args) -> int:
        pid = fork_call(fn, *args)
        self.live.add(pid)
        return pid

    def kill(self, pid: int) -> int:
        self.live.discard(pid)
        return kill_and_reap(pid)

    def wait(self, pid: int, timeout: float) -> int | None:
        status = wait_exit(pid, timeout)
        if status is not None:
            self.live.discard(pid)
        return status

    def kill_all(self) -> None:
        for pid in list(self.live):
            self.kill(pid)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill_all()


def proc_state(pid: int) -> str:
    """The scheduler state letter of a process ('S' while it sleeps in a wait)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return "?"
    return stat[stat.rindex(b")") + 2 : stat.rindex(b")") + 3].decode()


def wait_until(predicate, timeout: float, pause: float = 0.0002) -> bool:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(pause)
    return True


def queue_header(name: str) -> dict:
    """read_pos, write_pos, capacity and ready as stored in the queue object."""
    fd = os.open(os.path.join(SHM_DIR, name.lstrip("/")), os.O_RDONLY)
    try:
        read_pos, write_pos, capacity, ready = struct.unpack("<QQQQ", os.pread(fd, 32, 384))
    finally:
        os.close(fd)
    return {"read_pos": read_pos, "write_pos": write_pos, "capacity": capacity, "ready": ready}


def take(q: KelQueue, name: str) -> bytes | None:
    """get_bytes for the only consumer of a queue: None at once when the queue is
    empty, where get_bytes would wait."""
    h = queue_header(name)
    if h["read_pos"] == h["write_pos"]:
        return None
    return q.get_bytes()


def header_problems(name: str, capacity: int, empty: bool | None = None) -> list[str]:
    h = queue_header(name)
    problems = []
    if not h["read_pos"] <= h["write_pos"] <= h["read_pos"] + h["capacity"]:
        problems.append(f"header positions out of order: {h}")
    if h["capacity"] != capacity:
        problems.append(f"header capacity {h['capacity']} != {capacity}")
    if h["ready"] != 1:
        problems.append(f"header ready {h['ready']} != 1")
    if empty is True and h["read_pos"] != h["write_pos"]:
        problems.append(f"queue not empty: {h}")
    return problems


def percentile(values, q: float) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def ms(seconds: float) -> float:
    return round(seconds * 1000, 3)


def spread_ms(prefix: str, seconds: list[float]) -> dict:
    """Median, 99th percentile and maximum of durations, in milliseconds."""
    return {
        f"{prefix}_ms_p50": ms(percentile(seconds, 0.5)),
        f"{prefix}_ms_p99": ms(percentile(seconds, 0.99)),
        f"{prefix}_ms_max": ms(max(seconds, default=0.0)),
    }


# ---------------------------------------------------------------------------
# Messages that carry their origin and a checksum.

_MSG = struct.Struct("<IIII")  # producer, seq, payload length, crc32 of the rest
PILL = 0xFFFFFFFF  # producer id of the message that tells a consumer to leave


def make_message(producer: int, seq: int, payload: bytes) -> bytes:
    head = struct.pack("<III", producer, seq, len(payload))
    return _MSG.pack(producer, seq, len(payload), zlib.crc32(payload, zlib.crc32(head))) + payload


def check_message(msg: bytes) -> tuple[int, int] | None:
    """(producer, seq) of an intact message, None for a damaged one."""
    if len(msg) < _MSG.size:
        return None
    producer, seq, length, crc = _MSG.unpack_from(msg)
    payload = msg[_MSG.size :]
    if length != len(payload):
        return None
    head = struct.pack("<III", producer, seq, length)
    if zlib.crc32(payload, zlib.crc32(head)) != crc:
        return None
    return producer, seq


def random_payload(rng: random.Random, max_payload: int, big_share: float, big_max: int) -> bytes:
    if rng.random() < big_share:
        return rng.randbytes(rng.randint(max_payload, big_max))
    return rng.randbytes(rng.randint(0, max_payload))


# ---------------------------------------------------------------------------
# 1. Lock holders killed.

# Shared slots of the lock scenario.
_L_COUNTER, _L_HOLDER, _L_ACQUIRED, _L_STOP, _L_BREACHES, _L_RECOVERED, _L_STAMP = range(7)
_L_SLOTS = 8  # per worker: token, state, completed sections
_L_IDLE, _L_WAITING, _L_HOLDING, _L_LEAVING = 0, 1, 2, 3


def _lock_worker(name, shared, slot_base, rec_base, rec_cap, token, seed, hold_ms, once=False):
    """Contends for the lock until told to stop (or just once). Inside it: checks
    that nobody else is in, records a take-over with what the dead holder left,
    and updates the counter non-atomically (read, sleep, write)."""
    rng = random.Random(seed)
    lock = KelLock(name)
    s = shared
    state, done = slot_base + 1, slot_base + 2
    s[slot_base] = token
    while once or not s[_L_STOP]:
        s[state] = _L_WAITING
        try:
            lock.acquire()
            recovered = False
        except LockRecovered:
            recovered = True
        found = s[_L_HOLDER]
        if recovered:
            s[_L_STAMP] = time.monotonic_ns()
            n = s[_L_RECOVERED]
            if n < rec_cap:
                s[rec_base + n] = found
            s[_L_RECOVERED] = n + 1
        elif found != 0:
            s[_L_BREACHES] += 1
        s[_L_HOLDER] = token
        s[state] = _L_HOLDING  # from here until _L_LEAVING the lock is certainly held
        s[_L_ACQUIRED] += 1
        c = s[_L_COUNTER]
        time.sleep(rng.uniform(hold_ms[0], hold_ms[1]) / 1000)
        s[_L_COUNTER] = c + 1
        s[done] += 1
        if s[_L_HOLDER] != token:
            s[_L_BREACHES] += 1
        s[state] = _L_LEAVING
        s[_L_HOLDER] = 0
        lock.release()
        s[state] = _L_IDLE
        if once:
            break
    return 0


def lock_holders_killed(
    kills: int = 300,
    workers: int = 4,
    waiter_share: float = 0.2,
    hold_ms: tuple[float, float] = (0.2, 1.5),
    seed: int | None = None,
    hang_after: float = 10.0,
) -> dict:
    """Processes contend for one KelLock; the holder is killed at a random instant
    of its critical section (and now and then a waiter instead), and replaced.
    Runs until `kills` holders died certainly holding the lock."""
    rng = random.Random(seed)
    name = new_name("lk")
    rec_cap = 2 * kills + 1000
    slot0 = 8
    shared = Shared(slot0 + _L_SLOTS * (workers + 1) + rec_cap)
    rec_base = slot0 + _L_SLOTS * (workers + 1)
    problems: list[str] = []
    certain: set[int] = set()  # tokens of processes killed certainly holding the lock
    maybe: set[int] = set()  # tokens killed just as they took or gave it up
    waiter_kills = other_kills = 0
    recovery: list[float] = []
    hangs = 0
    next_token = 1
    started = time.monotonic()
    creator = KelLock(name)
    try:
        with Children() as children:
            pids, tokens = [0] * workers, [0] * workers

            def start(i):
                nonlocal next_token
                tokens[i] = next_token
                next_token += 1
                base = slot0 + _L_SLOTS * i
                shared[base + 1] = _L_IDLE
                pids[i] = children.spawn(
                    _lock_worker, name, shared, base, rec_base, rec_cap, tokens[i], rng.getrandbits(64), hold_ms
                )

            for i in range(workers):
                start(i)
            while len(certain) < kills:
                if rng.random() < waiter_share:
                    victim = rng.randrange(workers)
                else:
                    if not wait_until(lambda: shared[_L_HOLDER] != 0, hang_after):
                        hangs += 1
                        problems.append(f"nobody took the lock within {hang_after} s")
                        break
                    holder = shared[_L_HOLDER]
                    victim = next((i for i in range(workers) if tokens[i] == holder), rng.randrange(workers))
                    time.sleep(rng.uniform(0, hold_ms[1]) / 1000)
                recovered_before = shared[_L_RECOVERED]
                killed_at = time.monotonic_ns()
                children.kill(pids[victim])
                state = shared[slot0 + _L_SLOTS * victim + 1]
                if state == _L_HOLDING:
                    # Nobody else can take the lock before somebody takes it over.
                    certain.add(tokens[victim])
                    if not wait_until(lambda: shared[_L_RECOVERED] != recovered_before, hang_after):
                        hangs += 1
                        problems.append(f"no take-over within {hang_after} s of a holder's death")
                        break
                    recovery.append((shared[_L_STAMP] - killed_at) / 1e9)
                elif state in (_L_WAITING, _L_LEAVING):
                    maybe.add(tokens[victim])
                    waiter_kills += state == _L_WAITING
                else:
                    other_kills += 1
                start(victim)

            shared[_L_STOP] = 1
            for i in range(workers):
                if pids[i] in children.live and children.wait(pids[i], hang_after) != 0:
                    hangs += 1
                    problems.append(f"worker {i} did not stop cleanly")
            # One more section after everybody left: clean, unless the last kill was ambiguous.
            final = children.spawn(
                _lock_worker, name, shared, slot0 + _L_SLOTS * workers, rec_base, rec_cap, next_token, 0, (0, 0), True
            )
            final_status = children.wait(final, hang_after)
            if final_status != 0:
                hangs += final_status is None
                problems.append(f"final section: status {final_status}")
    finally:
        del creator
        KelLock.unlink(name)

    n_rec = shared[_L_RECOVERED]
    found = [shared[rec_base + i] for i in range(min(n_rec, rec_cap))]
    named = [t for t in found if t != 0]
    duplicates = len(named) - len(set(named))
    missing = sorted(certain - set(named))
    unexplained = [t for t in named if t not in certain and t not in maybe]
    anonymous = found.count(0)  # take-overs of a holder killed before it wrote its token
    if len(maybe) < anonymous:
        problems.append(f"{anonymous} take-overs with no holder on record, only {len(maybe)} ambiguous kills")
    completed = sum(shared[slot0 + _L_SLOTS * i + 2] for i in range(workers + 1))
    counter = shared[_L_COUNTER]
    # A holder killed between writing the counter and counting its section adds one.
    if not completed <= counter <= completed + len(certain) + len(maybe):
        problems.append(f"counter {counter} outside [{completed}, {completed + len(certain) + len(maybe)}]")
    breaches = shared[_L_BREACHES]
    if breaches:
        problems.append(f"mutual exclusion broken {breaches} times")
    if duplicates:
        problems.append(f"{duplicates} dead holders reported twice")
    if missing:
        problems.append(f"{len(missing)} dead holders never reported")
    if unexplained:
        problems.append(f"{len(unexplained)} take-overs of a holder that was not killed")
    shared.close()
    return {
        "holder_kills": len(certain),
        "ambiguous_kills": len(maybe),
        "waiter_kills": waiter_kills,
        "idle_kills": other_kills,
        "recovered": n_rec,
        "sections": completed,
        "counter": counter,
        "breaches": breaches,
        "duplicate_reports": duplicates,
        "missing_reports": len(missing),
        "hangs": hangs,
        **spread_ms("recovery", recovery),
        "seconds": round(time.monotonic() - started, 2),
        "problems": problems,
    }


# ---------------------------------------------------------------------------
# 2. Queue storm: producers and consumers killed and restarted at random.

# Shared slots: global, then 4 per producer (state, attempt, done), then 4 per consumer (state, count).
_S_STOP = 0
_S_BASE = 8
_IDLE, _BUSY, _GOT = 0, 1, 2


def _storm_producer(name, size_mb, shared, base, producer, first_seq, seed, sizes):
    """Puts numbered messages. `attempt` is stored before each put and `done`
    after it, so a death inside put_bytes is known to leave exactly one message
    in doubt."""
    rng = random.Random(seed)
    q = KelQueue(name, size_mb)
    state, attempt, done = base, base + 1, base + 2
    seq = first_seq
    while not shared[_S_STOP]:
        msg = make_message(producer, seq, random_payload(rng, *sizes))
        shared[attempt] = seq
        shared[state] = _BUSY
        q.put_bytes(msg)
        shared[done] = seq + 1
        shared[state] = _IDLE
        seq += 1
    return 0


def _storm_consumer(name, size_mb, shared, base, log):
    """Takes messages and reports each one in its own append-only log before it
    takes the next; leaves on a pill."""
    q = KelQueue(name, size_mb)
    state, count = base, base + 1
    cap = len(log.v)
    while True:
        shared[state] = _BUSY
        msg = q.get_bytes()
        shared[state] = _GOT
        origin = check_message(msg)
        if origin is not None and origin[0] == PILL:
            shared[state] = _IDLE
            return 0
        n = shared[count]
        if n < cap:
            log[n] = -1 if origin is None else (origin[0] << 40) | origin[1]
        shared[count] = n + 1
        shared[state] = _IDLE


def _clean_consumer(name, size_mb, expect):
    q = KelQueue(name, size_mb)
    for seq in range(expect):
        if check_message(q.get_bytes()) != (7, seq):
            print(f"clean run: message {seq} damaged or out of order", file=sys.stderr)
            return 2
    return 0


def _clean_producer(name, size_mb, count, seed, sizes):
    rng = random.Random(seed)
    q = KelQueue(name, size_mb)
    for seq in range(count):
        q.put_bytes(make_message(7, seq, random_payload(rng, *sizes)))
    return 0


def queue_storm(
    kills_per_role: int = 100,
    producers: int = 4,
    consumers: int = 4,
    size_mb: int = 1,
    max_payload: int = 48 * 1024,
    big_share: float = 0.03,
    big_max: int = 400 * 1024,
    gap_ms: tuple[float, float] = (1.0, 6.0),
    min_seconds: float = 2.0,
    clean_messages: int = 10_000,
    seed: int | None = None,
    hang_after: float = 10.0,
) -> dict:
    """Producers and consumers of one queue are killed and restarted every few
    milliseconds; then the run is stopped, the queue drained and checked, and
    `clean_messages` more messages are carried through it."""
    rng = random.Random(seed)
    name = new_name("st")
    sizes = (max_payload, big_share, big_max)
    log_cap = 1 << 22
    shared = Shared(_S_BASE + 4 * (producers + consumers))
    p_base = [_S_BASE + 4 * i for i in range(producers)]
    c_base = [_S_BASE + 4 * (producers + i) for i in range(consumers)]
    logs = [Shared(log_cap) for _ in range(consumers)]
    problems: list[str] = []
    in_doubt: list[set[int]] = [set() for _ in range(producers)]  # killed inside put_bytes
    kills = {"producer": 0, "consumer": 0}
    consumer_kills_got = 0  # killed after get_bytes returned, before the report
    consumer_kills_inside = 0  # killed inside get_bytes (asleep, or just taking one)
    hangs = 0
    drained: list[tuple[int, int] | None] = []
    started = time.monotonic()
    q = KelQueue(name, size_mb)
    try:
        with Children() as children:
            p_pids, c_pids = [0] * producers, [0] * consumers

            def start_producer(i):
                base = p_base[i]
                first = shared[base + 1] + 1 if shared[base] == _BUSY else shared[base + 2]
                shared[base] = _IDLE
                shared[base + 1] = shared[base + 2] = first
                p_pids[i] = children.spawn(
                    _storm_producer, name, size_mb, shared, base, i, first, rng.getrandbits(64), sizes
                )

            def start_consumer(i):
                shared[c_base[i]] = _IDLE
                c_pids[i] = children.spawn(_storm_consumer, name, size_mb, shared, c_base[i], logs[i])

            def progress():
                return sum(shared[b + 2] for b in p_base) + sum(shared[b + 1] for b in c_base)

            for i in range(producers):
                start_producer(i)
            for i in range(consumers):
                start_consumer(i)
            last, last_change = progress(), time.monotonic()
            while (
                kills["producer"] < kills_per_role
                or kills["consumer"] < kills_per_role
                or time.monotonic() - started < min_seconds
            ):
                time.sleep(rng.uniform(*gap_ms) / 1000)
                now_progress = progress()
                if now_progress != last:
                    last, last_change = now_progress, time.monotonic()
                elif time.monotonic() - last_change > hang_after:
                    hangs += 1
                    problems.append(f"no message moved for {hang_after} s")
                    break
                if rng.random() < 0.5:
                    i = rng.randrange(producers)
                    children.kill(p_pids[i])
                    base = p_base[i]
                    if shared[base] == _BUSY:
                        seq = shared[base + 1]
                        if shared[base + 2] != seq + 1:  # not known to have returned
                            in_doubt[i].add(seq)
                    kills["producer"] += 1
                    start_producer(i)
                else:
                    i = rng.randrange(consumers)
                    children.kill(c_pids[i])
                    consumer_kills_got += shared[c_base[i]] == _GOT
                    consumer_kills_inside += shared[c_base[i]] == _BUSY
                    kills["consumer"] += 1
                    start_consumer(i)

            storm_seconds = time.monotonic() - started
            shared[_S_STOP] = 1
            for i in range(producers):
                if children.wait(p_pids[i], hang_after) is None:
                    hangs += 1
                    problems.append(f"producer {i} did not stop within {hang_after} s")
            for _ in range(consumers):
                q.put_bytes(make_message(PILL, 0, b""))
            for i in range(consumers):
                if children.wait(c_pids[i], hang_after) is None:
                    hangs += 1
                    problems.append(f"consumer {i} did not stop within {hang_after} s")
            children.kill_all()  # nothing of the storm may touch the queue from here on
            while True:
                h = queue_header(name)
                if h["read_pos"] == h["write_pos"]:
                    break
                drained.append(check_message(q.get_bytes()))
            problems += header_problems(name, size_mb * MIB, empty=True)

            # The queue carries on: a clean run through it, across two processes.
            clean_seconds = time.monotonic()
            consumer = children.spawn(_clean_consumer, name, size_mb, clean_messages)
            producer = children.spawn(
                _clean_producer, name, size_mb, clean_messages, rng.getrandbits(64), (max_payload, 0.0, 0)
            )
            for who, pid in (("producer", producer), ("consumer", consumer)):
                status = children.wait(pid, 30 + clean_messages / 100)
                if status != 0:
                    problems.append(f"clean run {who}: status {status}")
                    hangs += status is None
            clean_seconds = time.monotonic() - clean_seconds
            problems += header_problems(name, size_mb * MIB, empty=True)
    finally:
        del q
        KelQueue.unlink(name)

    # Account for every message.
    received: dict[tuple[int, int], int] = {}
    damaged = order_breaks = 0
    for i in range(consumers):
        n = min(shared[c_base[i] + 1], log_cap)
        last_seq: dict[int, int] = {}
        for e in logs[i].v[:n]:
            if e == -1:
                damaged += 1
                continue
            p, s = e >> 40, e & ((1 << 40) - 1)
            received[(p, s)] = received.get((p, s), 0) + 1
            if s <= last_seq.get(p, -1):
                order_breaks += 1
            last_seq[p] = s
    for origin in drained:
        if origin is None:
            damaged += 1
        else:
            received[origin] = received.get(origin, 0) + 1
    duplicates = sum(c - 1 for c in received.values() if c > 1)
    produced = lost = phantom = doubtful_delivered = 0
    for p in range(producers):
        done = shared[p_base[p] + 2]
        for s in range(done):
            if s in in_doubt[p]:
                doubtful_delivered += (p, s) in received
            else:
                produced += 1
                lost += (p, s) not in received
    known = {(p, s) for p in range(producers) for s in range(shared[p_base[p] + 2])}
    phantom = sum(1 for key in received if key not in known)
    moved = sum(received.values())
    if damaged:
        problems.append(f"{damaged} damaged messages")
    if duplicates:
        problems.append(f"{duplicates} duplicated messages")
    if phantom:
        problems.append(f"{phantom} messages nobody put")
    if order_breaks:
        problems.append(f"{order_breaks} messages out of producer order")
    # A consumer killed inside get_bytes took one only if it died after the read
    # position was stored; one killed after it returned certainly did.
    if lost > consumer_kills_got + consumer_kills_inside:
        problems.append(
            f"{lost} lost messages, only {consumer_kills_got + consumer_kills_inside} consumers killed while taking one"
        )
    for log in logs:
        log.close()
    shared.close()
    return {
        "producer_kills": kills["producer"],
        "consumer_kills": kills["consumer"],
        "consumer_kills_after_get": consumer_kills_got,
        "consumer_kills_inside_get": consumer_kills_inside,
        "messages_moved": moved,
        "messages_produced_certain": produced,
        "puts_in_doubt": sum(len(d) for d in in_doubt),
        "puts_in_doubt_delivered": doubtful_delivered,
        "lost": lost,
        "duplicated": duplicates,
        "damaged": damaged,
        "phantom": phantom,
        "order_breaks": order_breaks,
        "drained_after_stop": len(drained),
        "clean_messages": clean_messages,
        "hangs": hangs,
        "storm_seconds": round(storm_seconds, 2),
        "clean_seconds": round(clean_seconds, 2),
        "problems": problems,
    }


# ---------------------------------------------------------------------------
# 2b. Large-message storm: kelvane.Queue carrying objects beside its ring (side segments),
# producers and consumers killed at random; afterwards the orphans are swept.


def _large_object(rng: random.Random, producer: int, seq: int):
    """(producer, seq, payload): a numpy array out of band, a large bytes object in band,
    or a small object in the ring; every payload can be checked against (producer, seq)."""
    import numpy as np

    key = (producer << 40) | seq
    roll = rng.random()
    if roll < 0.45:
        payload = np.arange(rng.randrange(24 * 1024, 512 * 1024), dtype=np.int64) + key
    elif roll < 0.65:
        payload = key.to_bytes(8, "little") * rng.randrange(40 * 1024, 128 * 1024)
    else:
        payload = np.arange(rng.randrange(1, 64), dtype=np.int64) + key
    return producer, seq, payload


def _large_ok(obj) -> tuple[int, int] | None:
    import numpy as np

    try:
        if isinstance(obj, np.ndarray):  # a loan: the array alone, its first element the key
            key = int(obj[0])
            good = bool((obj == np.arange(len(obj), dtype=np.int64) + key).all())
            return (key >> 40, key & ((1 << 40) - 1)) if good else None
        producer, seq, payload = obj
        key = (producer << 40) | seq
        if isinstance(payload, bytes):
            good = len(payload) % 8 == 0 and payload == key.to_bytes(8, "little") * (len(payload) // 8)
        else:
            good = bool((payload == np.arange(len(payload), dtype=np.int64) + key).all())
    except Exception:  # noqa: BLE001 - anything malformed is damage
        return None
    return (producer, seq) if good else None


def _large_producer(name, shared, base, producer, first_seq, seed):
    from kelvane.queue import Queue

    import numpy as np

    rng = random.Random(seed)
    q = Queue.attach(name)
    state, attempt, done = base, base + 1, base + 2
    seq = first_seq
    while not shared[_S_STOP]:
        shared[attempt] = seq
        shared[state] = _BUSY
        if rng.random() < 0.25:  # a loan, filled in place (and held a while, now and then)
            key = (producer << 40) | seq
            obj = q.loan_array(rng.randrange(32 * 1024, 512 * 1024), np.int64)
            obj[:] = np.arange(len(obj), dtype=np.int64) + key
            if rng.random() < 0.2:
                time.sleep(rng.uniform(0.001, 0.02))
        else:
            obj = _large_object(rng, producer, seq)
        q.put(obj)
        shared[done] = seq + 1
        shared[state] = _IDLE
        seq += 1
    return 0


def _large_consumer(name, shared, base, log):
    from kelvane.queue import DecodeError, Queue

    q = Queue.attach(name)
    state, count = base, base + 1
    cap = len(log.v)
    kept: list = []  # the last few messages stay alive: their blocks stay held by this process
    while True:
        shared[state] = _BUSY
        try:
            obj = q.get()
        except DecodeError:
            obj = "damaged"
        shared[state] = _GOT
        if obj is None:
            shared[state] = _IDLE
            return 0
        kept = [*kept[-3:], obj]
        origin = _large_ok(obj)
        n = shared[count]
        if n < cap:
            log[n] = -1 if origin is None else (origin[0] << 40) | origin[1]
        shared[count] = n + 1
        shared[state] = _IDLE


def large_storm(
    kills_per_role: int = 30,
    producers: int = 2,
    consumers: int = 2,
    size_mb: int = 1,
    gap_ms: tuple[float, float] = (5.0, 30.0),
    min_seconds: float = 2.0,
    seed: int | None = None,
    hang_after: float = 10.0,
) -> dict:
    """Producers and consumers of one kelvane.Queue whose messages are mostly large (numpy
    arrays out of band, large bytes in band) are killed and restarted at random; then the
    queue is drained, its orphaned side segments swept as `kelvane rm --stale` would
    (--force: this checker knows every process of the storm), and /dev/shm must hold
    nothing of the queue's but the queue."""
    try:
        import numpy  # noqa: F401
    except ImportError:
        return {"skipped": "numpy is not installed", "problems": []}
    from kelvane import _blocks, _side, shm_admin
    from kelvane.queue import Empty, Queue

    rng = random.Random(seed)
    name = new_name("ls")
    arena_name = ""
    blocks = None
    log_cap = 1 << 20
    shared = Shared(_S_BASE + 4 * (producers + consumers))
    p_base = [_S_BASE + 4 * i for i in range(producers)]
    c_base = [_S_BASE + 4 * (producers + i) for i in range(consumers)]
    logs = [Shared(log_cap) for _ in range(consumers)]
    problems: list[str] = []
    in_doubt: list[set[int]] = [set() for _ in range(producers)]
    kills = {"producer": 0, "consumer": 0}
    consumer_kills_taking = 0
    drained: list[tuple[int, int] | None] = []
    swept = left = 0
    started = time.monotonic()
    q = Queue(name, size_mb * MIB)
    try:
        with Children() as children:
            p_pids, c_pids = [0] * producers, [0] * consumers

            def start_producer(i):
                base = p_base[i]
                first = shared[base + 1] + 1 if shared[base] == _BUSY else shared[base + 2]
                shared[base] = _IDLE
                shared[base + 1] = shared[base + 2] = first
                p_pids[i] = children.spawn(_large_producer, name, shared, base, i, first, rng.getrandbits(64))

            def start_consumer(i):
                shared[c_base[i]] = _IDLE
                c_pids[i] = children.spawn(_large_consumer, name, shared, c_base[i], logs[i])

            for i in range(producers):
                start_producer(i)
            for i in range(consumers):
                start_consumer(i)
            while (kills["producer"] < kills_per_role or kills["consumer"] < kills_per_role
                   or time.monotonic() - started < min_seconds):
                time.sleep(rng.uniform(*gap_ms) / 1000)
                if rng.random() < 0.5:
                    i = rng.randrange(producers)
                    children.kill(p_pids[i])
                    base = p_base[i]
                    if shared[base] == _BUSY and shared[base + 2] != shared[base + 1] + 1:
                        in_doubt[i].add(shared[base + 1])
                    kills["producer"] += 1
                    start_producer(i)
                else:
                    i = rng.randrange(consumers)
                    children.kill(c_pids[i])
                    consumer_kills_taking += shared[c_base[i]] in (_BUSY, _GOT)
                    kills["consumer"] += 1
                    start_consumer(i)
            storm_seconds = time.monotonic() - started
            shared[_S_STOP] = 1
            for i in range(producers):
                if children.wait(p_pids[i], hang_after) is None:
                    problems.append(f"producer {i} did not stop within {hang_after} s")
            for _ in range(consumers):
                q.put(None, timeout=hang_after)
            for i in range(consumers):
                if children.wait(c_pids[i], hang_after) is None:
                    problems.append(f"consumer {i} did not stop within {hang_after} s")
            children.kill_all()
        while True:
            try:
                obj = q.get(timeout=0)
            except Empty:
                break
            except Exception:  # noqa: BLE001 - a message that does not decode is damage
                obj = "damaged"
            if obj is not None:
                drained.append(_large_ok(obj))
            del obj
        # Every process of the storm is gone: each block is free again once a look at the
        # arena has given back what the dead left.
        arena_name = _blocks.arena_name(q._bq.arena_id)
        blocks = q._bq.reclaim()
        if blocks is not None:
            total_blocks, free, writing, queued, held, *_, lent = blocks
            if writing or queued or held or lent:
                problems.append(f"blocks of dead processes not given back: {writing} writing, {queued} queued, "
                                f"{held} held, {lent} lent")
        # Every process of the storm is gone, and this one lets go of the queue (the sweep
        # keeps the side segments of a queue somebody is attached to): what is left beside
        # the queue is orphaned.
        q.close()
        segments, _ = shm_admin.scan(name)
        stale, _ = shm_admin._stale_sides([seg for seg in segments if seg.kind == "side"], True, set())
        for seg in stale:
            _side.remove(seg.name)
        swept = len(stale)
        # By name, whatever they hold: a segment ls could not recognise counts too.
        left = sum(1 for n in os.listdir(SHM_DIR) if n.startswith(_side.queue_key(name)))
        if left:
            problems.append(f"{left} side segments of the queue left after the sweep")
        others = [n for n in os.listdir(SHM_DIR) if n.startswith(name) and n != name]
        if others:
            problems.append(f"objects left in /dev/shm besides the queue: {others}")
    finally:
        q.unlink()
        q.close()
    if arena_name and os.path.exists(os.path.join(SHM_DIR, arena_name)):
        problems.append(f"the queue's block arena {arena_name} outlived its unlink")

    received: dict[tuple[int, int], int] = {}
    damaged = 0
    for i in range(consumers):
        for e in logs[i].v[: min(shared[c_base[i] + 1], log_cap)]:
            if e == -1:
                damaged += 1
            else:
                key = (e >> 40, e & ((1 << 40) - 1))
                received[key] = received.get(key, 0) + 1
    for origin in drained:
        if origin is None:
            damaged += 1
        else:
            received[origin] = received.get(origin, 0) + 1
    duplicates = sum(c - 1 for c in received.values() if c > 1)
    lost = produced = 0
    for p in range(producers):
        for s in range(shared[p_base[p] + 2]):
            if s not in in_doubt[p]:
                produced += 1
                lost += (p, s) not in received
    known = {(p, s) for p in range(producers) for s in range(shared[p_base[p] + 2])}
    phantom = sum(1 for key in received if key not in known)
    if damaged:
        problems.append(f"{damaged} damaged messages")
    if duplicates:
        problems.append(f"{duplicates} duplicated messages")
    if phantom:
        problems.append(f"{phantom} messages nobody put")
    if lost > consumer_kills_taking:
        problems.append(f"{lost} lost messages, only {consumer_kills_taking} consumers killed while taking one")
    for log in logs:
        log.close()
    shared.close()
    return {
        "producer_kills": kills["producer"],
        "consumer_kills": kills["consumer"],
        "consumer_kills_while_taking": consumer_kills_taking,
        "messages_moved": sum(received.values()),
        "messages_produced_certain": produced,
        "puts_in_doubt": sum(len(d) for d in in_doubt),
        "lost": lost,
        "duplicated": duplicates,
        "damaged": damaged,
        "phantom": phantom,
        "drained_after_stop": len(drained),
        "orphans_swept": swept,
        "side_segments_left": left,
        "blocks_carved": blocks[0] if blocks else 0,
        "storm_seconds": round(storm_seconds, 2),
        "problems": problems,
    }


# ---------------------------------------------------------------------------
# 3. Killed waiters: the others carry on.

_W_STATE, _W_COUNT, _W_STAMP, _W_LEN = range(4)


def _waiting_consumer(name, size_mb, shared, base, mode):
    """Takes messages one after another (get_bytes or recv_view + commit_read),
    stamping the time each one arrived."""
    q = KelQueue(name, size_mb)
    while True:
        shared[base + _W_STATE] = _BUSY
        if mode == "recv_view":
            view, next_pos = q.recv_view()
            length = len(view)
            view.release()
            q.commit_read(next_pos)
        else:
            length = len(q.get_bytes())
        shared[base + _W_STAMP] = time.monotonic_ns()
        shared[base + _W_LEN] = length
        shared[base + _W_STATE] = _IDLE
        shared[base + _W_COUNT] += 1


def _waiting_producer(name, size_mb, shared, base, length, count=1):
    q = KelQueue(name, size_mb)
    payload = b"p" * length
    for _ in range(count):
        shared[base + _W_STATE] = _BUSY
        q.put_bytes(payload)
        shared[base + _W_STAMP] = time.monotonic_ns()
        shared[base + _W_STATE] = _IDLE
        shared[base + _W_COUNT] += 1
    return 0


def _asleep(pid: int, shared, base, timeout: float) -> bool:
    """True once the child is inside its call and asleep (blocked in a wait)."""
    return wait_until(lambda: shared[base + _W_STATE] == _BUSY and proc_state(pid) == "S", timeout)


def killed_waiters(rounds: int = 21, size_mb: int = 1, extra_ms: float = 250.0, seed: int | None = None) -> dict:
    """A waiter blocked in get_bytes, in recv_view, or in put_bytes on a full
    queue is killed at a random instant of its wait; a second waiter of the same
    kind must carry on within a second of the event it waits for. Rounds cycle
    through the three kinds."""
    rng = random.Random(seed)
    capacity = size_mb * MIB
    problems: list[str] = []
    latencies: dict[str, list[float]] = {"get_bytes": [], "recv_view": [], "put_bytes": []}
    hangs = 0
    started = time.monotonic()
    shared = Shared(16)
    kinds = list(latencies)
    for r in range(rounds):
        kind = kinds[r % 3]
        name = new_name("wt")
        q = KelQueue(name, size_mb)
        try:
            with Children() as children:
                for b in (0, 8):
                    for k in range(4):
                        shared[b + k] = 0
                if kind == "put_bytes":
                    # Fill the ring so that a put of `length` must wait, and one get
                    # makes room for exactly one such put.
                    length = 3 * capacity // 8
                    q.put_bytes(b"f" * (capacity // 2 - 4))
                    q.put_bytes(b"g" * (capacity // 2 - 4 - length // 2))
                    victim = children.spawn(_waiting_producer, name, size_mb, shared, 0, length)
                    survivor = children.spawn(_waiting_producer, name, size_mb, shared, 8, length)
                else:
                    victim = children.spawn(_waiting_consumer, name, size_mb, shared, 0, kind)
                    survivor = children.spawn(_waiting_consumer, name, size_mb, shared, 8, kind)
                if not (_asleep(victim, shared, 0, 10) and _asleep(survivor, shared, 8, 10)):
                    problems.append(f"round {r} ({kind}): waiters never went to sleep")
                    hangs += 1
                    continue
                time.sleep(rng.uniform(0, extra_ms) / 1000)  # land anywhere in the 100 ms re-test cycle
                children.kill(victim)
                before = shared[8 + _W_COUNT]
                t0 = time.monotonic_ns()
                if kind == "put_bytes":
                    q.get_bytes()  # frees room for exactly one waiting put
                else:
                    q.put_bytes(b"m" * rng.randint(0, 4096))
                if not wait_until(lambda: shared[8 + _W_COUNT] != before, 5.0):
                    problems.append(f"round {r} ({kind}): the surviving waiter did not carry on within 5 s")
                    hangs += 1
                    continue
                waited = (shared[8 + _W_STAMP] - t0) / 1e9
                latencies[kind].append(waited)
                if waited > 1.0:
                    problems.append(f"round {r} ({kind}): the surviving waiter took {waited:.3f} s")
                children.kill(survivor)
                if shared[_W_COUNT] != 0:
                    problems.append(f"round {r} ({kind}): the killed waiter completed its call")
                if kind == "put_bytes":
                    rest = [len(m) if m is not None else None for m in (take(q, name), take(q, name))]
                    if rest != [capacity // 2 - 4 - length // 2, length]:
                        problems.append(f"round {r}: queue holds {rest} after the producers")
                problems += header_problems(name, capacity, empty=True)
        finally:
            del q
            KelQueue.unlink(name)
    shared.close()
    every = [x for v in latencies.values() for x in v]
    figures = {"rounds": rounds, "hangs": hangs}
    for kind, values in latencies.items():
        figures[f"{kind}_kills"] = len(values)
    figures.update(spread_ms("carry_on", every))
    figures.update({"seconds": round(time.monotonic() - started, 2), "problems": problems})
    return figures


# ---------------------------------------------------------------------------
# Deterministic kill points (crash-test build only).

PUT_POINTS = ("put:after_lock", "put:after_length", "put:mid_copy", "put:after_position")
GET_POINTS = ("get:after_lock", "get:mid_copy", "get:after_position")


def _start_python(code: str, env: dict, argv=()) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c", code, *argv],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def _finish_python(proc: subprocess.Popen, timeout: float) -> tuple[int | None, str, str]:
    """(status, stdout, stderr) of a process started by _start_python, status None
    when it had to be killed at the deadline."""
    try:
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        return None, out, err


def run_python(code: str, env: dict | None = None, timeout: float = 30.0, argv=()) -> tuple[int | None, str, str]:
    """Runs a fresh interpreter on `code`; (status, stdout, stderr), status None
    when it had to be killed at the deadline."""
    full_env = dict(os.environ)
    for key in ("KELVANE_KILL_AT", "KELVANE_KILL_SKIP"):
        full_env.pop(key, None)
    full_env.update(env or {})
    return _finish_python(_start_python(code, full_env, argv), timeout)


_kill_points: bool | None = None


def kill_points_available() -> bool:
    """True when the installed module stops the process at KELVANE_KILL_AT."""
    global _kill_points
    if _kill_points is None:
        name = new_name("kp")
        try:
            status, _, _ = run_python(
                f"from kelvane_core import KelQueue\nKelQueue({name!r}, 1).put_bytes(b'x')",
                env={"KELVANE_KILL_AT": "put:after_lock"},
            )
        finally:
            remove_name(name)
        _kill_points = status == -signal.SIGKILL
    return _kill_points


def _killed_call(who: str, name: str, size_mb: int, call: str, point: str, skip: int = 0) -> list[str]:
    """A fresh process that opens the queue and runs `call` on it (q bound), with
    the kill point armed; the problem, if it was not killed there."""
    code = f"from kelvane_core import KelQueue\nq = KelQueue({name!r}, {size_mb})\n{call}\n"
    status, _, err = run_python(code, env={"KELVANE_KILL_AT": point, "KELVANE_KILL_SKIP": str(skip)})
    if status != -signal.SIGKILL:
        return [f"{who} at {point}: status {status}, expected SIGKILL: {err[-500:]}"]
    return []


def _advance(q: KelQueue, capacity: int, offset: int) -> None:
    """Moves a fresh queue's positions so that its next record starts at data
    offset `offset` (at least 4): one filler record put and taken."""
    q.put_bytes(b"\0" * (offset % capacity - 4))
    q.get_bytes()


def kill_put(point: str, start_offset: int, length: int = 1000, size_mb: int = 1) -> dict:
    """A producer dies at `point` inside put_bytes while a consumer waits for its
    message. The message must then be whole (after the position was stored) or
    absent (before); either way the waiting consumer and a new producer carry on."""
    capacity = size_mb * MIB
    name = new_name("kput")
    q = KelQueue(name, size_mb)
    problems: list[str] = []
    shared = Shared(8)
    try:
        _advance(q, capacity, start_offset)
        before = queue_header(name)
        with Children() as children:
            consumer = children.spawn(_waiting_consumer, name, size_mb, shared, 0, "get_bytes")
            if not _asleep(consumer, shared, 0, 10):
                problems.append("consumer never waited")
            message = bytes(random.Random(length).randbytes(length))
            problems += _killed_call("producer", name, size_mb, f"q.put_bytes({message!r})", point)
            delivered = point == "put:after_position"
            after = queue_header(name)
            problems += header_problems(name, capacity)
            expect_w = before["write_pos"] + (4 + length if delivered else 0)
            if after["write_pos"] != expect_w:
                problems.append(f"write_pos {after['write_pos']} after the kill, expected {expect_w}")
            # The waiting consumer takes the message if it is there, then a new one.
            if delivered and not wait_until(lambda: shared[_W_COUNT] == 1, 2.0):
                problems.append("the waiting consumer did not take the delivered message within 2 s")
            if delivered and shared[_W_LEN] != length:
                problems.append(f"consumer got {shared[_W_LEN]} bytes, expected {length}")
            got_before = shared[_W_COUNT]
            t0 = time.monotonic()
            status, _, err = run_python(f"from kelvane_core import KelQueue\nKelQueue({name!r}, {size_mb}).put_bytes(b'after')")
            if status != 0:
                problems.append(f"next producer: status {status}: {err[-500:]}")
            if not wait_until(lambda: shared[_W_COUNT] == got_before + 1, 2.0):
                problems.append("the waiting consumer did not carry on within 2 s")
            elif shared[_W_LEN] != 5:
                problems.append(f"the next message came out {shared[_W_LEN]} bytes long, expected 5")
            waited = time.monotonic() - t0
            if shared[_W_COUNT] != (2 if delivered else 1):
                problems.append(f"consumer took {shared[_W_COUNT]} messages")
            problems += header_problems(name, capacity, empty=True)
    finally:
        del q
        KelQueue.unlink(name)
        shared.close()
    return {"point": point, "start_offset": start_offset, "delivered": delivered, "carry_on_s": round(waited, 3),
            "problems": problems}


def kill_get(point: str, start_offset: int, size_mb: int = 1) -> dict:
    """A consumer dies at `point` inside get_bytes while the ring is full and a
    producer waits for room. The record must still be there (before the position
    was stored) or consumed (after); the producer carries on as soon as room is
    made, even when the dead consumer never woke it."""
    capacity = size_mb * MIB
    name = new_name("kget")
    q = KelQueue(name, size_mb)
    problems: list[str] = []
    shared = Shared(8)
    first_len = capacity // 2
    second_len = capacity - first_len - 8 - 100  # leaves 100 bytes: the waiting put needs more
    waiting_len = 1000
    consumed = point == "get:after_position"
    try:
        _advance(q, capacity, start_offset)
        first = random.Random(1).randbytes(first_len)
        q.put_bytes(first)
        q.put_bytes(b"s" * second_len)
        with Children() as children:
            producer = children.spawn(_waiting_producer, name, size_mb, shared, 0, waiting_len)
            if not _asleep(producer, shared, 0, 10):
                problems.append("producer never waited")
            problems += _killed_call("consumer", name, size_mb, "q.get_bytes()", point)
            problems += header_problems(name, capacity)
            t0 = time.monotonic()
            if consumed:
                # Room was made by the dead consumer; nobody woke the producer.
                if not wait_until(lambda: shared[_W_COUNT] >= 1, 2.0):
                    problems.append("the waiting producer did not use the freed room within 2 s")
                children.kill(producer)
                got = [take(q, name) for _ in range(2)]
                expect = [b"s" * second_len, b"p" * waiting_len]
            else:
                if shared[_W_COUNT] != 0:
                    problems.append("the waiting producer got room nobody made")
                got = [take(q, name)]
                if not wait_until(lambda: shared[_W_COUNT] >= 1, 2.0):
                    problems.append("the waiting producer did not carry on within 2 s")
                children.kill(producer)
                got += [take(q, name) for _ in range(2)]
                expect = [first, b"s" * second_len, b"p" * waiting_len]
            waited = time.monotonic() - t0
            if got != expect:
                problems.append(
                    f"records after the kill: {[g if g is None else len(g) for g in got]}, "
                    f"expected {[len(e) for e in expect]}"
                )
            problems += header_problems(name, capacity, empty=True)
    finally:
        del q
        KelQueue.unlink(name)
        shared.close()
    return {"point": point, "start_offset": start_offset, "consumed": consumed, "carry_on_s": round(waited, 3),
            "problems": problems}


def kill_waiter(role: str, skip: int = 0, size_mb: int = 1) -> dict:
    """A consumer (on an empty queue) or a producer (on a full one) dies at the
    wait point, about to sleep, after `skip` earlier waits. A second waiter of the
    same kind carries on within a second of the event it waits for."""
    capacity = size_mb * MIB
    name = new_name("kwait")
    q = KelQueue(name, size_mb)
    problems: list[str] = []
    shared = Shared(8)
    try:
        length = 1000
        with Children() as children:
            if role == "producer":
                q.put_bytes(b"f" * (capacity - 4 - 500))
                survivor = children.spawn(_waiting_producer, name, size_mb, shared, 0, length)
                call = f"q.put_bytes(b'v' * {length})"
            else:
                survivor = children.spawn(_waiting_consumer, name, size_mb, shared, 0, "get_bytes")
                call = "q.get_bytes()"
            if not _asleep(survivor, shared, 0, 10):
                problems.append("survivor never waited")
            problems += _killed_call(role, name, size_mb, call, "wait", skip)
            t0 = time.monotonic_ns()
            if role == "producer":
                q.get_bytes()
            else:
                q.put_bytes(b"m" * length)
            if not wait_until(lambda: shared[_W_COUNT] == 1, 5.0):
                problems.append("the surviving waiter did not carry on within 5 s")
                waited = None
            else:
                waited = (shared[_W_STAMP] - t0) / 1e9
                if waited > 1.0:
                    problems.append(f"the surviving waiter took {waited:.3f} s")
            children.kill(survivor)
            if role == "producer":
                if take(q, name) != b"p" * length:
                    problems.append("the queue does not hold the survivor's message")
            problems += header_problems(name, capacity, empty=True)
    finally:
        del q
        KelQueue.unlink(name)
        shared.close()
    return {"role": role, "skip": skip, "carry_on_s": waited, "problems": problems}


# ---------------------------------------------------------------------------
# 4. A full /dev/shm, in a private mount namespace.

_FULL_SHM_SCRIPT = r"""
import json, os, sys
from kelvane_core import KelLock, KelPoolCore, KelQueue
MIB = 1 << 20
out = {}

def attempt(key, fn):
    try:
        fn()
        out[key] = "ok"
    except Exception as e:
        out[key] = f"{type(e).__name__}: {e}"

attempt("queue_16", lambda: KelQueue("big", 16))
attempt("pool_16", lambda: KelPoolCore(16))
before = set(os.listdir("/dev/shm"))
attempt("pool_4", lambda: KelPoolCore(4))
out["pool_4_left"] = sorted(n for n in set(os.listdir("/dev/shm")) - before if n.startswith("kp_"))
for n in os.listdir("/dev/shm"):
    if n.startswith("kp_"):
        os.unlink("/dev/shm/" + n)
# A queue whose pages are reserved keeps working after the space is gone.
q = KelQueue("fits", 4)
with open("/dev/shm/filler", "wb") as f:
    try:
        while True:
            f.write(b"\0" * 65536)
            f.flush()
    except OSError as e:
        out["filler"] = e.strerror
attempt("queue_1_full", lambda: KelQueue("late", 1))
attempt("lock_full", lambda: KelLock("late_lock"))
chunk = bytes(range(256)) * 1024
moved = 0
for i in range(64):  # 12 MiB through a 4 MiB ring: every page touched, wrapping
    q.put_bytes(chunk[: 200000 + i])
    moved += len(q.get_bytes())
out["moved"] = moved
print(json.dumps(out))
"""


def full_shm(tmpfs_size: str = "8m") -> dict:
    """Runs a script in a private mount namespace whose /dev/shm is a tmpfs of
    `tmpfs_size`. Returns {"skipped": reason} where that is not allowed."""
    python = sys.executable
    inner = (
        f"mount -t tmpfs -o size={tmpfs_size},mode=1777 tmpfs /dev/shm || exit 97\n"
        f'exec "{python}" -c "$1"'
    )
    try:
        proc = subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", inner, "sh", _FULL_SHM_SCRIPT],
            capture_output=True,
            text=True,
            timeout=60,
        )
    except FileNotFoundError:
        return {"skipped": "unshare(1) is not installed"}
    except subprocess.TimeoutExpired:
        return {"status": None, "problems": ["the script in the small /dev/shm did not finish within 60 s"]}
    if proc.returncode == 97 or (proc.returncode != 0 and "unshare failed" in proc.stderr):
        return {"skipped": f"cannot mount a private tmpfs on /dev/shm here: {proc.stderr.strip()[-200:]}"}
    problems = []
    status = proc.returncode
    if status != 0:
        problems.append(f"status {status} (SIGBUS is -7): {proc.stderr[-800:]}")
        return {"status": status, "problems": problems}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    expect = {
        "queue_16": "RuntimeError: Failed to create mirrored shm: " + ERR_ENOSPC,
        "pool_16": "RuntimeError: Failed to create task shm: " + ERR_ENOSPC,
        "pool_4": "RuntimeError: Failed to create result shm: " + ERR_ENOSPC,
        "queue_1_full": "RuntimeError: Failed to create mirrored shm: " + ERR_ENOSPC,
        "lock_full": "RuntimeError: Failed to create shm: " + ERR_ENOSPC,
        "moved": sum(200000 + i for i in range(64)),
    }
    for key, want in expect.items():
        if out.get(key) != want:
            problems.append(f"{key}: {out.get(key)!r}, expected {want!r}")
    out.update({"status": status, "problems": problems})
    return out


# ---------------------------------------------------------------------------
# 5. Hostile segments.


# Slots of the race: 1 sections counted under the lock, 4 the barrier, 8 + i the
# outcome of racer i.


def _try_open(kind: str, name: str, size_mb: int, result, slot: int):
    """Child: opens a queue or a lock, stores 1 on success (after one message or
    one acquire), 2 on the EEXIST creation race error, 3 on anything else."""
    try:
        if kind == "queue":
            KelQueue(name, size_mb).put_bytes(struct.pack("<I", slot))
        else:
            lock = KelLock(name)
            lock.acquire()
            result[1] += 1  # under the lock: exact if the lock excludes
            lock.release()
        result[8 + slot] = 1
    except RuntimeError as e:
        expected = ERR_EEXIST_QUEUE if kind == "queue" else ERR_EEXIST_LOCK
        result[8 + slot] = 2 if str(e) == expected else 3
        if result[8 + slot] == 3:
            print(f"racer {slot}: {e}", file=sys.stderr)


def _racer(kind, name, size_mb, result, slot, racers):
    while result[4] < racers:  # the barrier: the parent opens it once all exist
        time.sleep(0)
    _try_open(kind, name, size_mb, result, slot)
    return 0


def creation_race(kind: str = "queue", racers: int = 50, size_mb: int = 1) -> dict:
    """`racers` processes wait behind a barrier and then all construct the same
    new queue (or lock). Exactly one creates it, the others attach to it (a racer
    whose create lost opens what the winner made), and all share one object."""
    name = new_name("race")
    result = Shared(8 + racers)
    problems: list[str] = []
    started = time.monotonic()
    try:
        with Children() as children:
            pids = []
            for slot in range(racers):
                pids.append(children.spawn(_racer, kind, name, size_mb, result, slot, racers))
            time.sleep(0.05)
            result[4] = racers  # open the barrier once every child exists
            for pid in pids:
                status = children.wait(pid, 30)
                if status != 0:
                    problems.append(f"racer status {status}")
        outcomes = [result[8 + i] for i in range(racers)]
        opened, eexist, other = outcomes.count(1), outcomes.count(2), outcomes.count(3)
        if eexist:
            problems.append(f"{eexist} racers failed with EEXIST instead of attaching")
        if other or opened + eexist != racers:
            problems.append(f"{other} racers failed otherwise, {racers - opened - eexist} gave no answer")
        if kind == "queue":
            q = KelQueue(name, size_mb)
            h = queue_header(name)
            if h["capacity"] != size_mb * MIB or h["ready"] != 1:
                problems.append(f"header after the race: {h}")
            got = sorted(struct.unpack("<I", m)[0] for m in (take(q, name) or b"????" for _ in range(opened)))
            want = sorted(i for i in range(racers) if outcomes[i] == 1)
            if got != want:
                problems.append("the racers that opened the queue did not all reach the same queue")
            problems += header_problems(name, size_mb * MIB, empty=True)
            del q
        elif result[1] != opened:
            problems.append(f"{result[1]} sections counted under the lock, {opened} racers held it")
    finally:
        remove_name(name)
        result.close()
    return {"kind": kind, "racers": racers, "opened": opened, "eexist": eexist, "other_errors": other,
            "seconds": round(time.monotonic() - started, 2), "problems": problems}


def write_object(name: str, data: bytes | None = None, size: int | None = None) -> None:
    fd = os.open(os.path.join(SHM_DIR, name), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        if data is not None:
            os.write(fd, data)
        if size is not None:
            os.ftruncate(fd, size)
    finally:
        os.close(fd)


_OPEN_SCRIPT = """
import os, struct, sys
from kelvane_core import KelLock, KelQueue
kind, name, size_mb = sys.argv[1], sys.argv[2], int(sys.argv[3])

def empty():
    fd = os.open("/dev/shm/" + name.lstrip("/"), os.O_RDONLY)
    read_pos, write_pos = struct.unpack("<QQ", os.pread(fd, 16, 384))
    os.close(fd)
    return read_pos == write_pos

try:
    if kind == "queue":
        q = KelQueue(name, size_mb)
        print("opened")
        for op in ("put", "get", "view", "get", "get", "get"):
            if op != "put" and empty():
                print(op, "skipped: empty")  # get_bytes and recv_view would wait
                continue
            try:
                if op == "put":
                    q.put_bytes(b"x" * 10)
                elif op == "get":
                    q.get_bytes()
                else:
                    view, next_pos = q.recv_view()
                    bytes(view)
                    q.commit_read(next_pos)
                print(op, "ok")
            except RuntimeError as e:
                print(op, "RuntimeError:", e)
    else:
        lock = KelLock(name)
        print("opened")
        lock.acquire()
        lock.release()
        print("acquire ok")
except RuntimeError as e:
    print("open RuntimeError:", e)
"""


def open_hostile(kind: str, name: str, size_mb: int = 1, timeout: float = 30.0) -> dict:
    """A fresh process opens the object and, if that works, uses it once; the
    answer is its status and what it printed."""
    return _opened(*run_python(_OPEN_SCRIPT, timeout=timeout, argv=(kind, name, str(size_mb))))


def _opened(status: int | None, out: str, err: str) -> dict:
    return {"status": status, "lines": out.strip().splitlines(), "stderr": err[-500:]}


def hostile_open_many(cases: list[tuple[str, str, int]], timeout: float = 30.0) -> list[dict]:
    """open_hostile for several objects at once (each may wait out the open wait)."""
    env = dict(os.environ)
    procs = [_start_python(_OPEN_SCRIPT, env, (kind, name, str(size_mb))) for kind, name, size_mb in cases]
    deadline = time.monotonic() + timeout
    return [_opened(*_finish_python(proc, max(0.1, deadline - time.monotonic()))) for proc in procs]


def damaged_queue(seed: int, damage: str, size_mb: int = 1) -> dict:
    """A real queue, damaged after creation, opened and used by a fresh process.

    damage: "random" - the whole header random except ready = 1 and the right
    capacity (so openers get through to the mutex and positions); "positions" -
    the mutex kept, positions random and far apart; "plausible" - the mutex kept,
    positions random but framing less than the capacity, the data area random, so
    the lengths read are garbage; "stale_owner" - the header intact except the
    mutex's owner word, which names a thread that does not exist."""
    rng = random.Random(seed)
    name = new_name("dq")
    capacity = size_mb * MIB
    try:
        creator = KelQueue(name, size_mb)
        del creator
        fd = os.open(os.path.join(SHM_DIR, name), os.O_RDWR)
        try:
            header = bytearray(os.pread(fd, HEADER_SIZE, 0))
            if damage == "random":
                header = bytearray(rng.randbytes(HEADER_SIZE))
                struct.pack_into("<QQ", header, 400, capacity, 1)
            elif damage == "positions":
                header[384:400] = rng.randbytes(16)
            elif damage == "plausible":
                read_pos = rng.getrandbits(63)
                struct.pack_into("<QQ", header, 384, read_pos, read_pos + rng.randrange(capacity - 100))
                os.pwrite(fd, rng.randbytes(capacity), HEADER_SIZE)
            elif damage == "stale_owner":
                struct.pack_into("<I", header, 0, 0x3FFFFFFE)  # beyond any pid_max
            else:
                raise ValueError(damage)
            os.pwrite(fd, bytes(header), 0)
        finally:
            os.close(fd)
        return open_hostile("queue", name, size_mb, timeout=5)
    finally:
        remove_name(name)


# ---------------------------------------------------------------------------
# 8. Permissions.


def _as_nobody(queue_name, lock_name, blob):
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
    out = {}
    for key, fn in (
        ("queue", lambda: KelQueue(queue_name, 1)),
        ("lock", lambda: KelLock(lock_name)),
        ("unlink_queue", lambda: KelQueue.unlink(queue_name)),
        ("unlink_lock", lambda: KelLock.unlink(lock_name)),
    ):
        try:
            fn()
            out[key] = "ok"
        except Exception as e:  # noqa: BLE001 - the answer is the exception
            out[key] = f"{type(e).__name__}: {e}"
    blob.put(out)
    return 0


def _create_under_umask(mask, queue_name, lock_name, blob):
    os.umask(mask)
    q = KelQueue(queue_name, 1)
    lock = KelLock(lock_name)
    pool = KelPoolCore(1)
    modes = {
        os.stat(os.path.join(SHM_DIR, n.lstrip("/"))).st_mode & 0o7777
        for n in (queue_name, lock_name, pool.task_q_name, pool.result_q_name)
    }
    blob.put(sorted(modes))
    del q, lock, pool  # the pool removes its own names
    return 0


def permissions() -> dict:
    """Objects are created 0600 whatever the umask; another user gets EACCES."""
    problems: list[str] = []
    figures: dict = {"umask_modes": {}}
    queue_name, lock_name = new_name("pq"), new_name("pl")
    blob = Blob()
    try:
        for mask in (0o000, 0o022, 0o077, 0o777):
            blob.put(None)
            with Children() as children:
                status = children.wait(children.spawn(_create_under_umask, mask, queue_name, lock_name, blob), 30)
            remove_name(queue_name)
            remove_name(lock_name)
            modes = blob.get()
            if status != 0 or modes is None:
                problems.append(f"creating under umask {mask:03o}: status {status}")
                continue
            figures["umask_modes"][f"{mask:03o}"] = [f"{m:o}" for m in modes]
            if modes != [0o600]:
                problems.append(f"umask {mask:03o}: modes {[oct(m) for m in modes]}")
        if os.geteuid() != 0:
            figures["other_user"] = "skipped: switching to another user needs root"
        else:
            q = KelQueue(queue_name, 1)
            lock = KelLock(lock_name)
            blob.put(None)
            with Children() as children:
                status = children.wait(children.spawn(_as_nobody, queue_name, lock_name, blob), 30)
            seen = blob.get()
            if status != 0 or seen is None:
                problems.append(f"the process running as nobody: status {status}")
            else:
                figures["other_user"] = seen
                expect = {
                    "queue": "RuntimeError: Failed to open mirrored shm: " + ERR_EACCES,
                    "lock": "RuntimeError: Failed to open shm: " + ERR_EACCES,
                    "unlink_queue": "RuntimeError: Unlink failed: " + ERR_EACCES,
                    "unlink_lock": "RuntimeError: Unlink failed: " + ERR_EACCES,
                }
                for key, want in expect.items():
                    if seen.get(key) != want:
                        problems.append(f"as nobody, {key}: {seen.get(key)!r}, expected {want!r}")
            # The owner's objects are untouched.
            q.put_bytes(b"still mine")
            if q.get_bytes() != b"still mine":
                problems.append("the queue does not work for its owner any more")
            lock.acquire()
            lock.release()
            del q, lock
    finally:
        remove_name(queue_name)
        remove_name(lock_name)
        blob.close()
    figures["problems"] = problems
    return figures


# ---------------------------------------------------------------------------
# Profiles and the command.

PROFILES = {
    "quick": {
        "lock": {"kills": 300},
        "storm": {"kills_per_role": 100, "min_seconds": 4.0, "clean_messages": 10_000},
        "largestorm": {"kills_per_role": 50, "min_seconds": 4.0},
        "waiters": {"rounds": 21},
        "race": {"racers": 50},
    },
    "long": {
        "lock": {"kills": 10_000},
        "storm": {"kills_per_role": 1_000, "min_seconds": 60.0, "clean_messages": 10_000},
        "largestorm": {"kills_per_role": 1_000, "min_seconds": 60.0},
        "waiters": {"rounds": 1_000},
        "race": {"racers": 50},
    },
}


def platform_figures() -> dict:
    libc, version = platform.libc_ver()
    return {
        "libc": f"{libc} {version}",
        "kernel": platform.release(),
        "python": platform.python_version(),
        "cpus": os.cpu_count(),
    }


def _print(title: str, figures: dict) -> None:
    print(f"\n== {title}")
    for key, value in figures.items():
        if key != "problems":
            print(f"  {key}: {value}")
    for p in figures.get("problems", []):
        print(f"  PROBLEM: {p}")


def run_profile(profile: str, only: set[str] | None = None, seed: int | None = None) -> tuple[dict, int]:
    """Runs the scenarios of a profile, printing the figures as they come; returns
    all figures and the number of problems."""
    params = PROFILES[profile]
    rng = random.Random(seed)
    results: dict = {"platform": platform_figures(), "profile": profile}
    _print("platform", results["platform"])
    problems = 0

    def want(key):
        return only is None or key in only

    def record(key, title, figures):
        nonlocal problems
        results[key] = figures
        problems += len(figures.get("problems", []))
        _print(title, figures)

    if want("lock"):
        record("lock", "lock holders killed", lock_holders_killed(seed=rng.getrandbits(32), **params["lock"]))
    if want("storm"):
        record("storm", "queue storm", queue_storm(seed=rng.getrandbits(32), **params["storm"]))
    if want("largestorm"):
        record("largestorm", "large-message storm", large_storm(seed=rng.getrandbits(32), **params["largestorm"]))
    if want("waiters"):
        record("waiters", "killed waiters", killed_waiters(seed=rng.getrandbits(32), **params["waiters"]))
    if want("killpoints"):
        if not kill_points_available():
            record("killpoints", "kill points", {"skipped": "the installed module has no kill points"})
        else:
            figures: dict = {"runs": 0, "problems": []}

            def add(label, r):
                figures["runs"] += 1
                figures["problems"] += [f"{label}: {p}" for p in r["problems"]]

            for point in PUT_POINTS + GET_POINTS:
                run = kill_put if point in PUT_POINTS else kill_get
                for offset in (100, MIB - 2, MIB - 500):
                    add(f"{point}@{offset}", run(point, offset))
            for role in ("consumer", "producer"):
                for skip in (0, 2):
                    add(f"wait/{role}/{skip}", kill_waiter(role, skip))
            record("killpoints", "kill points", figures)
    if want("fullshm"):
        record("fullshm", "full /dev/shm", full_shm())
    if want("race"):
        for kind in ("queue", "lock"):
            record(f"race_{kind}", f"creation race ({kind})", creation_race(kind, **params["race"]))
    if want("permissions"):
        record("permissions", "permissions", permissions())
    return results, problems


SCENARIOS = ("lock", "storm", "largestorm", "waiters", "killpoints", "fullshm", "race", "permissions")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kelvane torture",
        description="Kill processes at random instants and check that nothing is lost, "
        "duplicated, corrupted or left hanging; print the figures.",
    )
    parser.add_argument("--long", action="store_true", help="the long profile (10,000 lock kills, ...)")
    parser.add_argument("--only", default="", help=f"comma-separated subset of: {', '.join(SCENARIOS)}")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    args = parser.parse_args(argv)
    only = {s.strip() for s in args.only.split(",") if s.strip()} or None
    if only and only - set(SCENARIOS):
        parser.error(f"unknown scenarios: {', '.join(sorted(only - set(SCENARIOS)))}")
    results, problems = run_profile("long" if args.long else "quick", only, args.seed)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    print(f"\n{problems} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
