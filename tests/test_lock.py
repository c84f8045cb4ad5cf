"""KelLock: acquire and release within a process and across processes, holders that
die, the context manager, and a segment whose creator never finished."""

import gc
import os
import signal
import threading
import time

import pytest

from conftest import EDEADLK_TEXT, SHM_DIR, Ticker, join_or_kill, mappings
from kelvane_core import KelLock, LockRecovered
EPERM_TEXT = "Unlock failed: Pthread error: 1"
RECOVERED = "LockRecovered: Lock recovered from dead process"


class InThread:
    """Runs a call on its own thread, so a call that never returns fails the test
    instead of hanging it. Lock ownership is per thread: keep acquire and release
    of one lock inside the same call."""

    def __init__(self, call):
        self.value = self.error = None
        self.thread = threading.Thread(target=self._run, args=(call,), daemon=True)
        self.thread.start()

    def _run(self, call):
        try:
            self.value = call()
        except BaseException as e:
            self.error = e

    def result(self, timeout=20):
        self.thread.join(timeout)
        if self.thread.is_alive():
            pytest.fail(f"call still blocked after {timeout} s")
        if self.error is not None:
            raise self.error
        return self.value


def outcome(call):
    try:
        call()
        return "ok"
    except RuntimeError as e:  # LockRecovered included
        return f"{type(e).__name__}: {e}"


def wait_until_blocked(pid, timeout=5):
    """Best effort: gives the child time to reach its futex wait."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/wchan") as f:
                if "futex" in f.read():
                    return
        except OSError:
            return
        time.sleep(0.01)


# Child targets (module level: children are spawned).


def _hold(name, held, done, drop):
    lock = KelLock(name)
    lock.acquire()
    if drop:
        del lock
        gc.collect()
    held.set()
    done.wait(30)
    if not drop:
        lock.release()


def _acquire_twice(name, started, results):
    lock = KelLock(name)
    started.set()
    outcomes = []
    for _ in range(2):
        outcomes.append(outcome(lock.acquire))
        lock.release()
    results.put(outcomes)


def _construct_each(names, barrier, results):
    texts = []
    for name in names:
        barrier.wait(30)
        texts.append(outcome(lambda: KelLock(name)))
    results.put(texts)


@pytest.fixture
def holder(mp, spawn):
    """A child process that holds the named lock until told to release it."""

    def start(name, drop=False):
        held, done = mp.Event(), mp.Event()
        proc = spawn(_hold, name, held, done, drop)
        if not held.wait(30):
            pytest.fail("the holder never took the lock")
        return proc, done

    return start


def kill(proc):
    os.kill(proc.pid, signal.SIGKILL)
    proc.join(10)
    assert proc.exitcode == -signal.SIGKILL


def test_acquire_release_and_reacquire_by_the_holder(shm_name):
    lock = KelLock(shm_name())
    assert lock.acquire() is None
    assert outcome(lock.acquire) == "RuntimeError: " + EDEADLK_TEXT
    assert lock.release() is None
    assert lock.acquire() is None
    lock.release()


def test_release_without_holding(shm_name):
    lock = KelLock(shm_name())
    assert outcome(lock.release) == "RuntimeError: " + EPERM_TEXT  # never acquired
    lock.acquire()
    assert InThread(lambda: outcome(lock.release)).result() == "RuntimeError: " + EPERM_TEXT
    lock.release()  # still held by this thread until now
    assert outcome(lock.release) == "RuntimeError: " + EPERM_TEXT  # released twice
    assert outcome(lambda: lock.__exit__(None, None, None)) == "RuntimeError: " + EPERM_TEXT


def test_threads_of_one_process_exclude_each_other(shm_name):
    name = shm_name()
    lock, other = KelLock(name), KelLock(name)
    lock.acquire()
    waiter = InThread(lambda: (other.acquire(), other.release()))
    time.sleep(0.2)
    assert waiter.thread.is_alive()
    lock.release()
    waiter.result()


def test_with_binds_none_and_releases(shm_name):
    lock = KelLock(shm_name())
    with lock as bound:
        assert bound is None
        assert outcome(lock.acquire) == "RuntimeError: " + EDEADLK_TEXT
    with KelLock(shm_name()) as bound:
        assert bound is None
    lock.acquire()
    lock.release()


def test_exception_in_with_body_releases_and_propagates(shm_name):
    lock = KelLock(shm_name())
    error = KeyError("body")
    with pytest.raises(KeyError) as info:
        with lock:
            raise error
    assert info.value is error
    assert outcome(lock.acquire) == "ok"
    lock.release()


@pytest.mark.parametrize("held", [False, True], ids=["free", "held"])
def test_dropping_an_instance_unmaps_it_unless_its_thread_holds_the_lock(shm_name, held):
    name = shm_name()
    lock = KelLock(name)
    if held:
        lock.acquire()
    assert mappings(name) == 1
    del lock
    gc.collect()
    # A held lock keeps its page mapped so that a later death of this thread is
    # still seen by the kernel; it stays held by this thread.
    assert mappings(name) == (1 if held else 0)
    again = KelLock(name)
    if held:
        assert outcome(again.acquire) == "RuntimeError: " + EDEADLK_TEXT
        again.release()
    assert outcome(again.acquire) == "ok"
    again.release()


def test_acquire_waits_for_another_process_while_other_threads_run(shm_name, holder):
    name = shm_name()
    proc, done = holder(name)
    lock = KelLock(name)  # opening leaves the holder's lock held
    with Ticker(0.001) as ticker:
        try:
            waiter = InThread(lambda: (lock.acquire(), done.is_set(), lock.release())[1])
            time.sleep(0.2)
            first = ticker.count
            time.sleep(0.3)
            assert waiter.thread.is_alive(), "acquire returned while another process held the lock"
            assert ticker.count > first
            done.set()
            assert waiter.result() is True  # it got the lock only after the holder let go
        finally:
            done.set()
    assert join_or_kill(proc) == 0


def test_racing_constructors_all_attach_to_one_lock(shm_name, spawn, mp):
    names = [shm_name() for _ in range(40)]
    barrier, results = mp.Barrier(3), mp.Queue()
    children = [spawn(_construct_each, names, barrier, results) for _ in range(3)]
    per_child = [results.get(timeout=60) for _ in children]
    assert [join_or_kill(c) for c in children] == [0, 0, 0]
    for texts in zip(*per_child):  # a constructor that loses the create opens the winner's lock
        assert set(texts) == {"ok"}
    for name in names:  # every name ended as one usable lock
        lock = KelLock(name)
        lock.acquire()
        lock.release()


@pytest.mark.parametrize("waiter_starts", ["before the kill", "after the kill"])
def test_killed_holder_is_recovered_once_by_another_process(shm_name, holder, spawn, mp, waiter_starts):
    name = shm_name()
    proc, _ = holder(name)
    started, results = mp.Event(), mp.Queue()
    if waiter_starts == "before the kill":
        waiter = spawn(_acquire_twice, name, started, results)
        assert started.wait(30)
        wait_until_blocked(waiter.pid)
    kill(proc)
    if waiter_starts == "after the kill":
        waiter = spawn(_acquire_twice, name, started, results)
    assert results.get(timeout=30) == [RECOVERED, "ok"]
    assert join_or_kill(waiter) == 0
    lock = KelLock(name)
    assert InThread(lambda: [outcome(lock.acquire), outcome(lock.release)]).result() == ["ok", "ok"]


@pytest.mark.parametrize("drop", [False, True], ids=["holder kept its object", "holder dropped its object"])
def test_killed_holder_is_recovered_once_in_this_process(shm_name, holder, drop):
    name = shm_name()
    proc, _ = holder(name, drop)
    lock = KelLock(name)
    kill(proc)

    def take():
        return [
            outcome(lock.acquire),
            outcome(lock.acquire),  # the recovering thread holds the lock
            outcome(lock.release),
            outcome(lock.acquire),
            outcome(lock.release),
        ]

    assert InThread(take).result() == [RECOVERED, "RuntimeError: " + EDEADLK_TEXT, "ok", "ok", "ok"]


def test_recovery_reported_by_enter_skips_the_body_and_keeps_the_lock(shm_name, holder):
    name = shm_name()
    proc, _ = holder(name)
    lock = KelLock(name)
    kill(proc)

    def take():
        ran = False
        with pytest.raises(LockRecovered, match="^Lock recovered from dead process$"):
            with lock:
                ran = True
        held = outcome(lock.acquire)
        lock.release()
        return ran, held

    assert InThread(take).result() == (False, "RuntimeError: " + EDEADLK_TEXT)


@pytest.mark.slow
def test_unfinished_lock_segments_are_refused_after_the_wait(shm_name):
    # The one slow test of this file: an opener waits about 10 s for a creator to
    # size the object (size 0) and to mark the lock ready (4096 zero bytes) before it
    # gives up. Both cases wait side by side.
    names = {size: shm_name() for size in (0, 4096)}
    for size, name in names.items():
        fd = os.open(os.path.join(SHM_DIR, name), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
        os.ftruncate(fd, size)
        os.close(fd)
    openers = {size: InThread(lambda name=name: KelLock(name)) for size, name in names.items()}
    time.sleep(0.5)
    spins = 0
    while any(o.thread.is_alive() for o in openers.values()) and spins < 3000:
        spins += 1  # the waits leave this thread free to run
        time.sleep(0.01)
    assert spins > 0
    for size, name in names.items():
        with pytest.raises(RuntimeError) as info:
            openers[size].result(timeout=30)
        assert info.value.args == (
            "Failed to open lock: the lock was never initialised by its creator; "
            f"KelLock.unlink({name!r}) removes it",
        )
        assert open(os.path.join(SHM_DIR, name), "rb").read() == bytes(size)  # left as found
        KelLock.unlink(name)
        fresh = KelLock(name)
        fresh.acquire()
        fresh.release()
