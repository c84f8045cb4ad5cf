"""os.fork() with kelvane objects in hand.

A forked child may use inherited KelQueue and KelLock objects as handles of its
own on the same queues and locks. It does not hold a lock its parent held at the
fork: releasing it fails (KelLock: "Unlock failed: Pthread error: 1"; kelvane.Lock
says why in its own words), and neither that nor the child's exit frees the
parent's hold. A KelPoolCore is the exception: destroying one removes both of its
names wherever that happens, so a child must keep an inherited one alive (kelvane.Pool
does) and only ever remove the names on purpose."""

import os
import signal

import pytest

import kelvane
from conftest import join_or_kill, shm_path
from kelvane_core import KelLock, KelPoolCore, KelQueue, LockRecovered

pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def in_child(body):
    """Runs body() in a forked child and returns what it reported (a str), or raises
    if it failed. The child never returns into the test runner."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read)
            os.write(write, str(body()).encode())
            code = 0
        except BaseException as e:  # reported to the parent
            os.write(write, f"{type(e).__name__}: {e}".encode())
        finally:
            os._exit(code)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        report = f.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), f"the child died: {status}"
    assert os.WEXITSTATUS(status) == 0, report
    return report


def try_from_another_process(name, result):
    try:
        result.put(("acquired", KelLock(name).acquire_timed(0)))
    except LockRecovered:
        result.put(("recovered", True))


def held_elsewhere(name, spawn, mp):
    """What another process finds: ("acquired", False) while somebody holds the lock."""
    result = mp.Queue()
    assert join_or_kill(spawn(try_from_another_process, name, result)) == 0
    return result.get(timeout=10)


def exit_of_with_in_child(lock):
    def body():
        try:
            lock.__exit__(None, None, None)
        except RuntimeError as e:
            return str(e)
        return "released"

    return body


def test_a_child_cannot_release_a_kellock_its_parent_holds(shm_name, spawn, mp):
    name = shm_name("lock")
    lock = KelLock(name)
    with lock:
        assert in_child(exit_of_with_in_child(lock)) == "Unlock failed: Pthread error: 1"
        assert held_elsewhere(name, spawn, mp) == ("acquired", False)  # still the parent's
    # The child's exit did not leave the lock owner-dead either.
    assert held_elsewhere(name, spawn, mp) == ("acquired", True)


def test_kelvane_lock_says_why_a_child_cannot_release(shm_name, spawn, mp):
    name = shm_name("lock")
    lock = kelvane.Lock(name)
    with lock:
        report = in_child(exit_of_with_in_child(lock))
        assert report == (
            f"Unlock failed: lock {name!r} was held when this process was forked; the hold stays with the "
            f"thread that took it in process {os.getpid()}, which alone can release it"
        )
        assert held_elsewhere(name, spawn, mp) == ("acquired", False)
    assert held_elsewhere(name, spawn, mp) == ("acquired", True)
    # Other failures keep the lock's own text.
    with pytest.raises(RuntimeError, match="^Unlock failed: Pthread error: 1$"):
        lock.release()


def test_a_child_may_take_a_lock_of_its_own_once_the_parent_lets_go(shm_name):
    name = shm_name("lock")
    lock = kelvane.Lock(name)
    with lock:
        # Busy while the parent holds it; the parent lets go only after the child has
        # seen that, so the second answer comes from a wait.
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(read)
                first = lock.acquire(blocking=False)
                os.write(write, b"tried")
                second = lock.acquire(timeout=10)
                lock.release()
                os.write(write, f" {first} {second}".encode())
            finally:
                os._exit(0)
        os.close(write)
        assert os.read(read, 5) == b"tried"
    report = b""
    while chunk := os.read(read, 100):
        report += chunk
    os.close(read)
    os.waitpid(pid, 0)
    assert report == b" False True"
    assert lock.acquire(blocking=False) is True
    lock.release()


def test_a_child_uses_inherited_queue_handles(shm_name):
    name = shm_name("q")
    q = KelQueue(name, 1)
    pq = kelvane.Queue.attach(name)
    q.put_bytes(b"from the parent")

    def body():
        got = q.get_bytes_timed(5)
        q.put_bytes(b"from the child")
        pq.put({"and": "objects"}, timeout=5)
        return got.decode()

    assert in_child(body) == "from the parent"
    assert q.get_bytes_timed(5) == b"from the child"
    assert pq.get(timeout=5) == {"and": "objects"}


def test_a_pool_core_unlinked_explicitly_in_a_child_is_gone(shm_name):
    """Asked for, the removal happens wherever it is asked."""
    pool = KelPoolCore(1)
    names = [pool.task_q_name, pool.result_q_name]
    assert in_child(lambda: pool.unlink()) == "None"
    assert not any(os.path.exists(shm_path(n)) for n in names)


def test_a_child_killed_while_its_parent_holds_the_lock_changes_nothing(shm_name, spawn, mp):
    name = shm_name("lock")
    lock = KelLock(name)
    lock.acquire()
    try:
        pid = os.fork()
        if pid == 0:
            try:
                signal.pause()
            finally:
                os._exit(0)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        assert held_elsewhere(name, spawn, mp) == ("acquired", False)
    finally:
        lock.release()
    assert held_elsewhere(name, spawn, mp) == ("acquired", True)


def test_a_received_array_is_process_memory_across_fork(shm_name):
    """As with memory of its own (and multiprocessing.Queue), what a child writes into an
    array received before the fork stays in the child, and the parent's writes stay in
    the parent."""
    np = pytest.importorskip("numpy")
    name = shm_name("q")
    with kelvane.Queue(name, 1 << 20) as q:
        q.put(np.zeros(1 << 18), timeout=10)  # 2 MiB: it arrives as a view of its segment
        a = q.get(timeout=10)
        go_read, go_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.read(go_read, 1)  # the parent has written by now
                seen = float(a.max())
                a[:] = 7.0
                code = 0 if seen == 0.0 and float(a.min()) == 7.0 else 2
            finally:
                os._exit(code)
        a[1] = 5.0
        os.write(go_write, b"x")
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, "the child saw the parent's write"
        assert float(a.sum()) == 5.0  # none of the child's writes
        q.unlink()
