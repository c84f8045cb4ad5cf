"""The one abi3 build on the oldest interpreter it claims: every call that returns None,
True or False hands the caller a reference of its own. A build that returns them
borrowed drains the interpreter's count of None a little on each call, until 3.11
deallocates None and aborts; from 3.12 on these objects are immortal and nothing
shows."""

import sys
import threading

import pytest

import kelvane
from kelvane._native import LockWaiter
from kelvane_core import KelLock, KelPoolCore, KelQueue

pytestmark = pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="None, True and False are immortal from CPython 3.12 on: their counts never move",
)

ROUNDS = 2000
# Other threads (the timeout guard, the lock holder) touch None now and then; a call
# that returns it borrowed moves the count by a whole ROUNDS.
SLACK = 200


class Held:
    """A lock that another thread of this process holds until closed."""

    def __init__(self, name):
        self.lock = KelLock(name)
        self._taken, self._done = threading.Event(), threading.Event()
        self._thread = threading.Thread(target=self._hold, daemon=True)
        self._thread.start()
        assert self._taken.wait(10), "the holder thread did not take the lock"

    def _hold(self):
        self.lock.acquire()
        self._taken.set()
        self._done.wait(30)
        self.lock.release()

    def close(self):
        self._done.set()
        self._thread.join(10)


@pytest.fixture
def objects(shm_name):
    names = {"lock": shm_name("abi_lock"), "busy": shm_name("abi_busy"), "queue": shm_name("abi_q")}
    lock, queue, pool = KelLock(names["lock"]), KelQueue(names["queue"], 1), KelPoolCore(1)
    busy = Held(names["busy"])
    try:
        yield {"lock": lock, "busy": busy.lock, "queue": queue, "pool": pool, "names": names,
               "layer": kelvane.Lock(names["lock"]), "layer_busy": kelvane.Lock(names["busy"])}
    finally:
        busy.close()
        pool.unlink()


def lock_acquire_release(o):
    return [o["lock"].acquire(), o["lock"].release()]


def lock_with(o):
    with o["lock"] as entered:
        pass
    return [entered]


def lock_timed_taken(o):
    taken = o["lock"].acquire_timed(0)
    o["lock"].release()
    return [taken]


def lock_timed_busy(o):
    return [o["busy"].acquire_timed(0)]


def unlink_lock(o):
    name = o["names"]["lock"] + "_u"
    KelLock(name)
    return [KelLock.unlink(name)]


def layer_lock_true(o):
    got = [o["layer"].acquire(), o["layer"].locked()]
    o["layer"].release()
    with o["layer"] as entered:
        pass
    return got + [entered]


def layer_lock_false(o):
    return [o["layer_busy"].acquire(False), o["layer_busy"].acquire(timeout=0), o["layer"].locked()]


def layer_lock_none(o):
    lock = o["layer"]
    lock.acquire()
    released = lock.release()
    lock.__enter__()
    return [released, lock.__exit__(None, None, None), LockWaiter().interrupt()]


def queue_put_get(o):
    q = o["queue"]
    stored = q.put_bytes(b"x")
    q.get_bytes()
    return [stored]


def queue_commit_read(o):
    q = o["queue"]
    q.put_bytes(b"x")
    view, next_pos = q.recv_view()
    view.release()
    return [q.commit_read(next_pos)]


def queue_timed_empty(o):
    q = o["queue"]
    return [q.get_bytes_timed(0), q.recv_view_timed(0)]


def queue_put_many_empty(o):
    return [o["queue"].put_many([], 0)]


def queue_put_many(o):
    q = o["queue"]
    stored = q.put_many([b"a", b"b"], 0)
    q.get_many(2, 0)
    return [stored]


def queue_put_timed(o):
    q = o["queue"]
    stored = q.put_bytes_timed(b"x", 0)
    q.get_bytes()
    return [stored]


def unlink_queue(o):
    name = o["names"]["queue"] + "_u"
    KelQueue(name, 1)
    return [KelQueue.unlink(name)]


def pool_put_task(o):
    return [o["pool"].put_task(b"t")]


CALLS = [
    (lock_acquire_release, None),
    (lock_with, None),
    (lock_timed_taken, True),
    (lock_timed_busy, False),
    (unlink_lock, None),
    (layer_lock_true, True),
    (layer_lock_false, False),
    (layer_lock_none, None),
    (queue_put_get, None),
    (queue_commit_read, None),
    (queue_timed_empty, None),
    (queue_put_many_empty, True),
    (queue_put_many, True),
    (queue_put_timed, True),
    (unlink_queue, None),
    (pool_put_task, None),
]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("call, singleton", CALLS, ids=[c.__name__ for c, _ in CALLS])
def test_returned_singletons_are_new_references(objects, call, singleton):
    assert all(r is singleton for r in call(objects))  # warm up, and the right answer
    before = sys.getrefcount(singleton)
    for _ in range(ROUNDS):
        call(objects)
    after = sys.getrefcount(singleton)
    assert abs(after - before) < SLACK, f"the count of {singleton!r} moved from {before} to {after}"
