"""kelvane.Queue and kelvane.Lock as a demanding user meets them: messages that do not
decode, forked children, names that hold something else, a dead holder inside `with`,
and a thread taking a lock it already holds."""

import gc
import os
import pickle
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kelvane
from conftest import call_with_timeout, join_or_kill, shm_path
from kelvane.queue import DEFAULT_CAPACITY
from kelvane_core import KelLock, KelQueue, LockRecovered

MIB = 1 << 20

BAD_MESSAGES = {
    "not-a-pickle": b"\x00not a pickle",
    "class-not-here": b"cno_such_module_kt\nThing\n)\x81.",  # pickled where that module exists
}


def fill(name, layout):
    """Puts into queue `name`, through the byte interface, one message per entry of
    `layout`: an int goes in pickled, bytes go in as they are."""
    raw = KelQueue.attach(name)
    for entry in layout:
        raw.put_bytes(entry if isinstance(entry, bytes) else pickle.dumps(entry))


def drain(q):
    """Everything `q` gives until it is empty: (objects, raw bytes of the messages that
    did not decode), each in the order given."""
    got, bad = [], []
    while True:
        try:
            got.extend(q.get_many(4, timeout=0))
        except queue.Empty:
            return got, bad
        except kelvane.DecodeError as e:
            bad.append(e.data)


@pytest.fixture
def lq(shm_name):
    q = kelvane.Queue(shm_name("lq"), MIB)
    yield q
    q.close()


# --- messages that do not decode ----------------------------------------------------------------


@pytest.mark.parametrize("bad", list(BAD_MESSAGES.values()), ids=list(BAD_MESSAGES))
@pytest.mark.parametrize("where", [0, 2, 5])
def test_get_many_delivers_every_message_around_one_that_does_not_decode(lq, bad, where):
    layout = [0, 1, 2, 3, 4]
    layout.insert(where, bad)
    fill(lq.name, layout)

    if where:
        assert lq.get_many(10) == layout[:where]  # what decoded before it
        assert lq.qsize() == len(layout) - where and not lq.empty()
    with pytest.raises(kelvane.DecodeError) as info:
        lq.get_many(10)
    assert info.value.data == bad and info.value.__cause__ is not None
    rest = layout[where + 1:]
    if rest:
        assert lq.get_many(10, timeout=0) == rest
    assert lq.qsize() == 0 and lq.empty()


def test_get_reports_a_bad_message_alone(lq):
    fill(lq.name, [0, BAD_MESSAGES["not-a-pickle"], 2])
    assert lq.get(timeout=5) == 0
    with pytest.raises(kelvane.DecodeError, match="could not be decoded") as info:
        lq.get(timeout=5)
    assert info.value.data == BAD_MESSAGES["not-a-pickle"]
    assert lq.get(timeout=5) == 2


class Touchy:
    """A serializer whose loads is interrupted (as by Ctrl-C) the first time it meets b"boom"."""

    def __init__(self):
        self.armed = True

    def dumps(self, obj):
        return pickle.dumps(obj)

    def loads(self, data):
        obj = pickle.loads(data)
        if obj == b"boom" and self.armed:
            self.armed = False
            raise KeyboardInterrupt
        return obj


@pytest.mark.parametrize("call", ["get", "get_many"])
def test_an_interrupt_while_decoding_loses_nothing(shm_name, call):
    touchy = Touchy()
    with kelvane.Queue(shm_name("lq"), MIB, serializer=touchy) as q:
        q.put_many([0, 1, b"boom", 3])
        if call == "get":
            assert [q.get(timeout=5), q.get(timeout=5)] == [0, 1]
            with pytest.raises(KeyboardInterrupt):
                q.get(timeout=5)
            assert [q.get(timeout=5), q.get(timeout=5)] == [b"boom", 3]
        else:
            with pytest.raises(KeyboardInterrupt):
                q.get_many(10)
            assert q.qsize() == 4
            assert q.get_many(10) == [0, 1, b"boom", 3]


def test_threads_sharing_one_queue_get_every_message_once(lq):
    bad = BAD_MESSAGES["class-not-here"]
    layout = [bad if i % 7 == 3 else i for i in range(300)]
    fill(lq.name, layout)
    results = [drain_into_lists(lq) for _ in range(4)]
    threads = [threading.Thread(target=r, daemon=True) for r in results]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
        assert not t.is_alive(), "a consumer thread did not finish"
    got = sorted(x for r in results for x in r.got)
    assert got == [x for x in layout if not isinstance(x, bytes)]
    assert sum(len(r.bad) for r in results) == layout.count(bad)


class drain_into_lists:
    def __init__(self, q):
        self.q, self.got, self.bad = q, [], []

    def __call__(self):
        self.got, self.bad = drain(self.q)


def test_close_hands_back_what_this_object_was_still_holding(lq):
    fill(lq.name, [0, BAD_MESSAGES["not-a-pickle"], 2, 3])
    assert lq.get_many(10) == [0]
    other = kelvane.Queue.attach(lq.name)
    lq.close()
    assert other.qsize() == 3
    assert drain(other) == ([2, 3], [BAD_MESSAGES["not-a-pickle"]])


def test_view_serves_what_this_object_holds_first(lq):
    fill(lq.name, [0, BAD_MESSAGES["not-a-pickle"], 2])
    assert lq.get_many(10) == [0]
    with pytest.raises(KeyError):
        with lq.view(timeout=1) as mv:
            raise KeyError  # an error in the block keeps the message
    with lq.view(timeout=1) as mv:
        assert bytes(mv) == BAD_MESSAGES["not-a-pickle"]
    with lq.view(timeout=1) as mv:
        assert pickle.loads(mv) == 2
    assert lq.empty()


# --- forked children ----------------------------------------------------------------------------


def wait_child(pid, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail(f"forked child did not end within {timeout} s")
        time.sleep(0.01)


def close_queue(q):
    q.close()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("ending", ["close", "drop", "mp-fork-close"])
def test_a_forked_child_never_removes_its_parents_queue(ending):
    q = kelvane.Queue(capacity=MIB)
    name = q.name
    try:
        if ending == "mp-fork-close":
            import multiprocessing

            proc = multiprocessing.get_context("fork").Process(target=close_queue, args=(q,))
            proc.start()
            assert join_or_kill(proc) == 0
        else:
            pid = os.fork()
            if pid == 0:
                try:
                    if ending == "close":
                        q.close()
                    else:
                        del q
                        gc.collect()
                finally:
                    os._exit(0)
            assert wait_child(pid) == 0
        assert os.path.exists(shm_path(name))
        q.put("still here")
        assert kelvane.Queue.attach(name).get(timeout=5) == "still here"
    finally:
        q.close()
    assert not os.path.exists(shm_path(name))  # the creator still removes it


def test_a_forked_child_that_exits_normally_leaves_the_queue(tmp_path):
    script = tmp_path / "forks.py"
    script.write_text(textwrap.dedent("""
        import os, sys
        import kelvane
        q = kelvane.Queue(capacity=1 << 20)
        print(q.name, flush=True)
        pid = os.fork()
        if pid == 0:
            sys.exit(0)  # a normal exit: the child runs its exit handlers
        os.waitpid(pid, 0)
        print(os.path.exists("/dev/shm/" + q.name), flush=True)
    """))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    name, exists = done.stdout.split()
    assert done.returncode == 0, done.stderr
    assert exists == "True"
    assert not os.path.exists(shm_path(name))  # gone with its creator


# --- opening what exists ------------------------------------------------------------------------


def test_queue_without_a_capacity_opens_an_existing_queue_at_its_size(shm_name):
    name = shm_name("lq")
    raw = KelQueue(name, 3)
    raw.put_bytes(pickle.dumps("first"))
    with kelvane.Queue(name) as q:
        assert q.capacity == 3 * MIB
        assert q.get(timeout=5) == "first"
    with kelvane.Queue(name, capacity=3 * MIB) as q:
        assert q.capacity == 3 * MIB
    with pytest.raises(ValueError, match=r"holds 3145728 bytes, not 1048576"):
        kelvane.Queue(name, capacity=MIB)
    del raw


def open_and_put(name, barrier, results):
    barrier.wait(30)
    try:
        q = kelvane.Queue(name)
        q.put(os.getpid())
        results.put(q.capacity)
    except BaseException as e:
        results.put(repr(e))


def test_processes_opening_one_new_queue_at_once_share_it(shm_name, spawn, mp):
    name = shm_name("lq")
    barrier, results = mp.Barrier(4), mp.Queue()
    procs = [spawn(open_and_put, name, barrier, results) for _ in range(4)]
    outcomes = [results.get(timeout=30) for _ in procs]
    for p in procs:
        assert join_or_kill(p) == 0
    assert outcomes == [DEFAULT_CAPACITY] * 4
    with kelvane.Queue.attach(name) as q:
        assert sorted(q.get_many(10, timeout=5)) == sorted(p.pid for p in procs)


@pytest.mark.parametrize(
    "content, text",
    [
        ("queue", r"holds a kelvane queue \(1 MiB\), not a lock"),
        (b"x" * 4096, "holds 4096 bytes that are not a kelvane lock"),
        (b"text", "holds 4 bytes, not a kelvane lock"),
    ],
    ids=["queue", "foreign-4k", "small"],
)
def test_lock_on_a_name_that_holds_something_else_is_refused_at_once(shm_name, content, text):
    name = shm_name("ll")
    if content == "queue":
        keep = KelQueue(name, 1)
        keep.put_bytes(b"untouched")
    else:
        with open(shm_path(name), "wb") as f:
            f.write(content)
    with open(shm_path(name), "rb") as f:
        before = f.read()
    started = time.monotonic()
    with pytest.raises(ValueError, match=f"'{name}' {text}"):
        kelvane.Lock(name)
    assert time.monotonic() - started < 2
    with open(shm_path(name), "rb") as f:
        assert f.read() == before


def test_queue_on_a_name_that_holds_a_lock_is_refused_at_once(shm_name):
    name = shm_name("ll")
    KelLock(name)
    for make in (lambda: kelvane.Queue(name), lambda: kelvane.Queue.attach(name),
                 lambda: kelvane.Queue(name, capacity=MIB)):
        with pytest.raises(ValueError, match=f"'{name}' holds a kelvane lock, not a queue"):
            make()
    assert os.path.getsize(shm_path(name)) == 4096


# --- a dead holder inside `with` ----------------------------------------------------------------


def die_holding(name, conn):
    KelLock(name).acquire()
    conn.send("held")
    os._exit(0)


@pytest.fixture
def orphaned(shm_name, spawn, mp):
    """The name of a lock whose holder died holding it."""
    name = shm_name("ll")
    parent, child = mp.Pipe()
    proc = spawn(die_holding, name, child)
    assert parent.poll(30) and parent.recv() == "held"
    join_or_kill(proc)
    return name


def free_for_others(name, wait=2):
    """True when another thread can take the lock within `wait` seconds (and gives it back)."""

    def take():
        other = kelvane.Lock(name)
        if not other.acquire(timeout=wait):
            return False
        other.release()
        return True

    return call_with_timeout(take)


def test_with_after_a_dead_holder_raises_without_keeping_the_lock(orphaned):
    lock = kelvane.Lock(orphaned)
    ran = []
    with pytest.raises(LockRecovered, match="released"):
        with lock:
            ran.append("body")
    assert ran == []
    assert free_for_others(orphaned)
    with lock:
        ran.append("again")
    assert ran == ["again"]


@pytest.mark.parametrize("how", ["with", "acquire"])
def test_on_recovered_repairs_under_the_lock_before_the_body(orphaned, how):
    seen = []
    lock = kelvane.Lock(orphaned, on_recovered=lambda: seen.append(("repair", free_for_others(orphaned, 0.2))))
    if how == "with":
        with lock as got:
            seen.append(("body", got))
    else:
        assert lock.acquire(timeout=5) is True
        seen.append(("body", True))
        lock.release()
    assert seen == [("repair", False), ("body", True)]
    assert free_for_others(orphaned)
    with lock:  # a clean acquire from now on: no repair
        pass
    assert len(seen) == 2


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt])
@pytest.mark.parametrize("how", ["with", "acquire"])
def test_a_repair_that_fails_releases_the_lock(orphaned, error, how):
    def repair():
        raise error("repair failed")

    lock = kelvane.Lock(orphaned, on_recovered=repair)
    ran = []
    with pytest.raises(error, match="repair failed"):
        if how == "with":
            with lock:
                ran.append("body")
        else:
            lock.acquire()
    assert ran == []
    assert free_for_others(orphaned)


def test_ctrl_c_as_the_lock_is_handed_over_leaves_it_free_after_with(shm_name):
    """The interrupt lands while `with` waits (the body never runs) or just after it took
    the lock (the body is interrupted and the lock released): never held by nobody."""
    name = shm_name("ll")
    lock = kelvane.Lock(name)
    held, go = threading.Event(), threading.Event()

    def hold():
        other = kelvane.Lock(name)
        other.acquire()
        held.set()
        go.wait(10)
        os.kill(os.getpid(), signal.SIGINT)
        other.release()

    holder = threading.Thread(target=hold, daemon=True)
    holder.start()
    assert held.wait(10)
    threading.Timer(0.1, go.set).start()
    with pytest.raises(KeyboardInterrupt):
        with lock:
            time.sleep(10)
    holder.join(10)
    assert free_for_others(name)


def hold_until_killed(name, conn):
    KelLock(name).acquire()
    conn.send("held")
    time.sleep(60)


def test_ctrl_c_while_waiting_keeps_the_news_of_a_dead_holder(shm_name, spawn, mp):
    name = shm_name("ll")
    parent, child = mp.Pipe()
    proc = spawn(hold_until_killed, name, child)
    assert parent.poll(30) and parent.recv() == "held"
    lock = kelvane.Lock(name)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        with lock:
            pytest.fail("the body ran")
    os.kill(proc.pid, signal.SIGKILL)
    join_or_kill(proc)
    with pytest.raises(LockRecovered):  # the next acquirer is still told
        lock.acquire(timeout=5)
    lock.release()


def test_a_thread_that_dies_holding_the_lock_leaves_it_to_be_taken_over(shm_name):
    lock = kelvane.Lock(shm_name("ll"))
    dying = threading.Thread(target=lock.acquire)
    dying.start()
    dying.join(10)
    # join can return before the OS thread has gone (3.11 and 3.12 wake it as the thread
    # state goes); the kernel marks the word when the thread itself exits
    deadline = time.monotonic() + 10
    while lock.locked() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not lock.locked()  # nobody holds it: the next acquirer takes it over
    with pytest.raises(LockRecovered, match="^Lock recovered from dead process$"):
        lock.acquire(timeout=5)
    assert lock.locked()
    lock.release()
    with lock:  # told once
        pass


# --- taking a lock this thread holds ------------------------------------------------------------


def test_reacquiring_from_the_holding_thread_answers_like_threading_lock(shm_name):
    name = shm_name("ll")
    for lock in (threading.Lock(), kelvane.Lock(name)):
        assert lock.acquire() is True
        assert lock.acquire(blocking=False) is False
        started = time.monotonic()
        assert lock.acquire(timeout=0.2) is False
        assert time.monotonic() - started >= 0.2
        lock.release()
    lock, twin = kelvane.Lock(name), kelvane.Lock(name)
    with lock:
        assert twin.acquire(blocking=False) is False  # another object, the same thread
        for blocking_call in (lock.acquire, twin.acquire, twin.__enter__):
            with pytest.raises(RuntimeError, match="this thread already holds it") as info:
                blocking_call()
            assert "Pthread" not in str(info.value)
    assert free_for_others(name)


# --- the in-use mark costs the program nothing it needs ------------------------------------------


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_objects_of_one_name_share_one_descriptor(shm_name):
    name = shm_name("ll")
    gc.collect()
    before = open_descriptors()
    locks = [kelvane.Lock(name) for _ in range(50)]
    queues = [kelvane.Queue(name + "q", MIB) for _ in range(50)]
    assert open_descriptors() - before == 2
    del locks, queues
    gc.collect()
    assert open_descriptors() == before


def test_many_objects_leave_descriptors_for_the_program(shm_name, tmp_path):
    base = shm_name("ll")
    script = tmp_path / "many.py"
    script.write_text(textwrap.dedent(f"""
        import resource, sys
        import kelvane
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        locks = [kelvane.Lock({base!r} + str(i)) for i in range(100)]
        files = [open(sys.executable, "rb") for _ in range(25)]
        print("ok")
    """))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr
