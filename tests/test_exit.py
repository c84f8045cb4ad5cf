"""Interpreter exit with daemon threads still blocked in a kelvane call: the process
ends with status 0, as it does with multiprocessing.Queue.get in the same spot.

While the interpreter finalizes, a daemon thread that wakes up and asks for the
interpreter lock is not given it again. Each child below blocks daemon threads in
one call, lets its main thread return, and wakes them while finalization is under
way: an object does the waking from its __del__, run by the garbage collection of
finalization, and then keeps the main thread busy for a moment so that the woken
threads ask for the interpreter lock in that window."""

import subprocess
import sys
import textwrap

import pytest

from kelvane_core import KelLock, LockRecovered

CHILD = textwrap.dedent(
    r"""
    import gc, sys, threading, time
    import kelvane
    from kelvane_core import KelLock, KelPoolCore, KelQueue

    case, qname, lname = sys.argv[1:4]
    kq = KelQueue(qname, 1)
    q = kelvane.Queue.attach(qname, serializer=None)
    kl = KelLock(lname)
    lock = kelvane.Lock(lname)
    pool = KelPoolCore(1) if case.startswith("KelPoolCore") else None

    def fill(queue):
        queue.put_bytes(b"f" * (queue.capacity - 4))

    def room():
        kq.get_bytes()

    def message():
        kq.put_bytes(b"m")

    if pool is not None:
        results = KelQueue(pool.result_q_name, 1)
        tasks = KelQueue(pool.task_q_name, 1)

    # case: (prepare, the blocking call, what ends the wait)
    CASES = {
        "KelQueue.get_bytes": (None, lambda: kq.get_bytes(), message),
        "KelQueue.get_bytes_timed": (None, lambda: kq.get_bytes_timed(None), message),
        "KelQueue.get_many": (None, lambda: kq.get_many(4, None), message),
        "KelQueue.recv_view": (None, lambda: kq.recv_view(), message),
        "KelQueue.recv_view_timed": (None, lambda: kq.recv_view_timed(None), message),
        "KelQueue.put_bytes": (lambda: fill(kq), lambda: kq.put_bytes(b"p"), room),
        "KelQueue.put_bytes_timed": (lambda: fill(kq), lambda: kq.put_bytes_timed(b"p", None), room),
        "KelQueue.put_many": (lambda: fill(kq), lambda: kq.put_many([b"p"], None), room),
        "KelLock.acquire": (kl.acquire, kl.acquire, kl.release),
        "KelLock.acquire_timed": (kl.acquire, lambda: kl.acquire_timed(None), kl.release),
        "KelPoolCore.get_result": (None, lambda: pool.get_result(), lambda: results.put_bytes(b"r")),
        "KelPoolCore.put_task": (lambda: fill(tasks), lambda: pool.put_task(b"t"), lambda: tasks.get_bytes()),
        "Queue.get": (None, lambda: q.get(), message),
        "Queue.get_many": (None, lambda: q.get_many(4), message),
        "Queue.view": (None, lambda: q.view().__enter__(), message),
        "Queue.put": (lambda: fill(kq), lambda: q.put(b"p"), room),
        "Lock.acquire": (kl.acquire, lock.acquire, kl.release),
    }
    prepare, call, wake = CASES[case]
    if prepare:
        prepare()
    for _ in range(2):
        threading.Thread(target=call, daemon=True).start()
    time.sleep(0.3)  # both threads are inside the call by now


    class WakeDuringFinalization:
        def __init__(self, wake, pool, sleep):
            self.wake, self.pool, self.sleep = wake, pool, sleep

        def __del__(self):
            if self.pool is not None:
                self.pool.unlink()  # the threads keep the object alive: remove its names now
            self.wake()
            self.sleep(0.5)


    # Only garbage in a cycle waits for the collection that finalization runs: the
    # main module's names may outlive it (a thread's function still holds them).
    gc.disable()
    waker = WakeDuringFinalization(wake, pool, time.sleep)
    waker.cycle = waker
    del waker
    """
)

CASES = [
    "KelQueue.get_bytes",
    "KelQueue.get_bytes_timed",
    "KelQueue.get_many",
    "KelQueue.recv_view",
    "KelQueue.recv_view_timed",
    "KelQueue.put_bytes",
    "KelQueue.put_bytes_timed",
    "KelQueue.put_many",
    "KelLock.acquire",
    "KelLock.acquire_timed",
    "KelPoolCore.get_result",
    "KelPoolCore.put_task",
    "Queue.get",
    "Queue.get_many",
    "Queue.view",
    "Queue.put",
    "Lock.acquire",
]
RUNS = 3


@pytest.mark.parametrize("case", CASES)
def test_daemon_threads_blocked_in_a_call_do_not_spoil_the_exit(case, shm_name):
    names = [(shm_name("q"), shm_name("l")) for _ in range(RUNS)]
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD, case, qname, lname],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for qname, lname in names
    ]
    outcomes = []
    try:
        for child in children:
            out, err = child.communicate(timeout=60)
            outcomes.append((child.returncode, err))
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait(5)
    assert outcomes == [(0, "")] * RUNS
    if "acquire" in case:
        # A thread that got the lock but never ran again let go of it on its way out:
        # the next holder is not told of a dead one.
        for _, lname in names:
            assert KelLock(lname).acquire_timed(0) is True


TAKE_OVER = textwrap.dedent(
    r"""
    import gc, os, signal, sys, threading, time
    from kelvane_core import KelLock, LockRecovered

    lname, holder = sys.argv[1], int(sys.argv[2])
    threading.Thread(target=KelLock(lname).acquire, daemon=True).start()
    time.sleep(0.3)


    class KillHolderDuringFinalization:
        def __init__(self, kill, sleep):
            self.kill, self.sleep = kill, sleep

        def __del__(self):
            self.kill(holder, signal.SIGKILL)
            self.sleep(0.5)


    gc.disable()
    waker = KillHolderDuringFinalization(os.kill, time.sleep)
    waker.cycle = waker
    del waker
    """
)


def test_a_lock_taken_over_from_a_dead_holder_at_exit_stays_news_for_the_next_holder(shm_name):
    """The thread that took the lock over never ran again, so nobody has repaired what
    the dead holder left: the next holder must still be told."""
    lname = shm_name("l")
    holder = subprocess.Popen(
        [sys.executable, "-c", f"import time; from kelvane_core import KelLock; KelLock({lname!r}).acquire(); "
                               "print('held', flush=True); time.sleep(60)"],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        assert holder.stdout.readline() == "held\n"
        child = subprocess.run([sys.executable, "-c", TAKE_OVER, lname, str(holder.pid)],
                               capture_output=True, text=True, timeout=60)
        assert (child.returncode, child.stderr) == (0, "")
        assert holder.wait(10) == -9
    finally:
        holder.kill()
        holder.wait(5)
    with pytest.raises(LockRecovered):
        KelLock(lname).acquire_timed(0)
