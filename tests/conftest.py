"""Shared fixtures: unique segment names that are always removed, child processes
with a deadline."""

import multiprocessing
import os
import struct
import threading
import time
import uuid

import pytest

from kelvane import _blocks, _side
from kelvane_core import KelQueue

SHM_DIR = "/dev/shm"
EDEADLK_TEXT = "Lock failure: Pthread error: 35"


def _remove(name):
    try:
        os.unlink(os.path.join(SHM_DIR, name.lstrip("/")))
    except FileNotFoundError:
        pass


@pytest.fixture
def shm_name():
    """A factory of segment names unique to this test; every name it gave, and every
    other kt_ name of this process made meanwhile, is gone after the test."""
    given = []
    before = set(os.listdir(SHM_DIR))
    mine = f"_{os.getpid()}_"

    def make(tag="t"):
        name = f"kt_{tag}_{os.getpid()}_{uuid.uuid4().hex[:12]}"
        given.append(name)
        return name

    yield make
    for name in given:
        _blocks.remove_of_queue(name)  # its block arena, if it has one
        _remove(name)
        _side.remove_of_queue(name)  # a large message's segment, if one was left
    for name in set(os.listdir(SHM_DIR)) - before:
        if name.startswith("kt_") and mine in name:
            _blocks.remove_of_queue(name)
            _remove(name)


@pytest.fixture(scope="session")
def mp():
    """Child processes start fresh (spawn): no inherited threads or locks."""
    return multiprocessing.get_context("spawn")


@pytest.fixture
def spawn(mp):
    """Starts a child process (spawn, daemonic) running target(*args); any child still
    running when the test ends is killed, so a failed test leaves no blocked process."""
    started = []

    def start(target, *args):
        proc = mp.Process(target=target, args=args, daemon=True)
        proc.start()
        started.append(proc)
        return proc

    yield start
    for proc in started:
        if proc.is_alive():
            proc.kill()
            proc.join(5)


def join_or_kill(proc, timeout=30):
    """Waits for a child; a child still running at the deadline is a hang: kill it
    and fail."""
    proc.join(timeout)
    if proc.is_alive():
        proc.kill()
        proc.join(5)
        pytest.fail(f"child {proc.name} did not finish within {timeout} s")
    return proc.exitcode


@pytest.fixture
def nothing_left_behind():
    """Fails a test that leaves a kt_ segment of this process behind (and removes it)."""
    yield
    mine = f"_{os.getpid()}_"
    left = [n for n in os.listdir(SHM_DIR) if n.startswith("kt_") and mine in n]
    for n in left:
        _remove(n)
    assert not left, f"segments left behind: {left}"


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits out a 10 s bound of the module; deselect with -m 'not slow'")


# --- queue objects as another process sees them ------------------------------------------

QUEUE_HEADER = 16384


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


class QueueHeader:
    """A queue object's header, read from its file: read_pos @384, write_pos @392,
    capacity @400, ready @408; the mutex's lock word @0; wait slots @128 and @256
    (sequence, sleepers)."""

    def __init__(self, name):
        with open(shm_path(name), "rb") as f:
            self.raw = f.read(QUEUE_HEADER)
        self.read, self.write, self.capacity, self.ready = struct.unpack_from("<4Q", self.raw, 384)
        self.lock_word = struct.unpack_from("<I", self.raw, 0)[0]

    def sleepers(self, slot):
        return struct.unpack_from("<I", self.raw, slot + 4)[0]


def positions(name):
    """(read_pos, write_pos) as stored in the object."""
    h = QueueHeader(name)
    return h.read, h.write


def mappings(name):
    """How many regions of this process's address space map the named object."""
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if shm_path(name) in line)


def mapped_bytes(name):
    """Bytes of this process's address space backed by the named object."""
    path, total = shm_path(name), 0
    with open("/proc/self/maps") as f:
        for line in f:
            parts = line.rstrip("\n").split(None, 5)
            if len(parts) == 6 and parts[5].removesuffix(" (deleted)") == path:
                lo, hi = (int(x, 16) for x in parts[0].split("-"))
                total += hi - lo
    return total


def call_with_timeout(fn, *args, timeout=10):
    """Runs a possibly blocking call on a helper thread and returns its result; a call
    still running at the deadline is a hang."""
    box = {}

    def run():
        try:
            box["value"] = fn(*args)
        except BaseException as e:  # re-raised on the test's thread
            box["error"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), f"{getattr(fn, '__name__', fn)} did not return within {timeout} s"
    if "error" in box:
        raise box["error"]
    return box.get("value")


def advance_to(q, name, offset):
    """Puts and takes fillers until the positions of an empty queue sit at data offset
    `offset`; returns the position."""
    h = QueueHeader(name)
    pos, capacity = h.write, h.capacity
    while pos % capacity != offset:
        length = (offset - pos - 4) % capacity
        if length > capacity - 4:
            length = 0
        q.put_bytes(b"\xee" * length)
        q.get_bytes()
        pos += 4 + length
    return pos


class Ticker:
    """A thread of this process that counts while it runs, every `interval` seconds:
    its count grows only while the other threads leave it the interpreter."""

    def __init__(self, interval):
        self.count = 0
        self._interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.count += 1
            time.sleep(self._interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)


# --- child process bodies shared by several modules (spawn imports them by name) ------------


def put_one(name, payload, delay=0.0):
    """Puts one message into the size_mb 1 queue `name`, after `delay` seconds."""
    time.sleep(delay)
    KelQueue(name, 1).put_bytes(payload)
