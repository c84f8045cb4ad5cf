"""kelvane.Pool as a concurrent.futures.Executor, across real worker processes: results,
errors, dead workers, shutdown, Ctrl-C and a killed owner."""

import concurrent.futures as cf
import functools
import itertools
import multiprocessing
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import kelvane
from kelvane import _side
from conftest import call_with_timeout
from kelvane.pool import BrokenPool, RemoteTraceback

SHM_DIR = "/dev/shm"
CONTEXTS = ["forkserver", "spawn"]


# --- task functions (workers import this module by name) ------------------------------------


def square(x):
    return x * x


def add(a, b, *, scale=1):
    return (a + b) * scale


def pid_of(_=None):
    return os.getpid()


def fail(x):
    raise ValueError(f"no good: {x}")


def sleep_then(seconds, value=None):
    time.sleep(seconds)
    return value


def announce_and_sleep(path, seconds):
    """Writes this worker's pid to `path`, then sleeps: the test knows whom to kill."""
    with open(path + ".tmp", "w") as f:
        f.write(str(os.getpid()))
    os.replace(path + ".tmp", path)
    time.sleep(seconds)
    return "woke up"


def exit_hard(code):
    os._exit(code)


def big_result(size):
    return b"\0" * size


class Unpicklable(Exception):
    def __init__(self, text):
        super().__init__(text)
        self.lock = threading.Lock()


def raise_unpicklable(text):
    raise Unpicklable(text)


_initialised = None


def initialise(value):
    global _initialised
    _initialised = value


def initialised(_=None):
    return _initialised


def initialise_badly():
    raise OSError("initializer says no")


# --- helpers -------------------------------------------------------------------------------


def names_exist(names):
    return [n for n in names if os.path.exists(os.path.join(SHM_DIR, n))]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"{what}: not within {timeout} s")
        time.sleep(0.02)


def wait_for_file(path, timeout=20):
    wait_until(lambda: os.path.exists(path), timeout, f"{path} never appeared")
    with open(path) as f:
        return int(f.read())


def pid_gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    # A zombie still answers; it is gone once /proc says so.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ", 1)[1].startswith("Z")
    except FileNotFoundError:
        return True


@pytest.fixture
def make_pool():
    """Makes pools; each is shut down at the end (killed if it will not stop) and both of its
    names must be gone from /dev/shm."""
    made = []

    def make(*args, **kwargs):
        pool = kelvane.Pool(*args, **kwargs)
        made.append(pool)
        return pool

    yield make
    for pool in made:
        finisher = threading.Thread(target=pool.shutdown, kwargs={"cancel_futures": True}, daemon=True)
        finisher.start()
        finisher.join(30)
        if finisher.is_alive():
            pool._engine.abort()
            pytest.fail("the pool did not shut down within 30 s")
        assert names_exist(pool.names) == []
        assert [n for name in pool.names for n in _side.of_queue(name)] == []


# --- results -------------------------------------------------------------------------------


@pytest.mark.parametrize("method", CONTEXTS)
def test_submit_returns_results_from_worker_processes(make_pool, method):
    pool = make_pool(2, mp_context=multiprocessing.get_context(method))
    assert pool.submit(square, 12).result(timeout=30) == 144
    assert pool.submit(add, 1, 2, scale=10).result(timeout=30) == 30
    futures = [pool.submit(pid_of) for _ in range(20)]
    pids = {f.result(timeout=30) for f in cf.as_completed(futures, timeout=30)}
    assert os.getpid() not in pids and 1 <= len(pids) <= 2
    assert all(n.startswith(("kp_task_", "kp_res_")) for n in pool.names)


@pytest.mark.parametrize("chunksize", [1, 7])
def test_map_keeps_order_and_accepts_several_iterables(make_pool, chunksize):
    pool = make_pool(2)
    assert list(pool.map(square, range(200), chunksize=chunksize, timeout=30)) == [x * x for x in range(200)]
    assert list(pool.map(add, range(50), range(100), chunksize=chunksize, timeout=30)) == [2 * x for x in range(50)]
    assert list(pool.imap(square, [], chunksize=chunksize)) == []


def test_map_is_lazy_over_an_endless_input(make_pool):
    pool = make_pool(2)
    pulled = itertools.count()
    inputs = (next(pulled) for _ in itertools.repeat(None))
    results = pool.map(square, inputs, timeout=30)
    assert list(itertools.islice(results, 10)) == [x * x for x in range(10)]
    taken = next(pulled)
    assert 10 <= taken < 1000, f"map read {taken} items to give 10 results"
    results.close()
    assert pool.submit(square, 3).result(timeout=30) == 9


@pytest.mark.parametrize("chunksize", [1, 16])
def test_imap_unordered_gives_every_result_once(make_pool, chunksize):
    pool = make_pool(2)
    got = list(pool.imap_unordered(square, range(1000), chunksize=chunksize, timeout=60))
    assert sorted(got) == [x * x for x in range(1000)]


def test_map_timeout_counts_from_the_call(make_pool):
    pool = make_pool(1)
    results = pool.map(sleep_then, [1.5], timeout=0.3)
    started = time.monotonic()
    with pytest.raises(TimeoutError):
        next(results)
    assert time.monotonic() - started < 1.2


@pytest.mark.parametrize("progress_module", ["tqdm", None])
def test_map_progress_counts_on_stderr(tmp_path, progress_module):
    if progress_module == "tqdm":
        pytest.importorskip("tqdm")
    script = f"""
        import sys
        if {progress_module is None!r}:
            sys.modules["tqdm"] = None  # as if it were not installed
        import kelvane
        from test_executor import square
        if __name__ == "__main__":
            with kelvane.Pool(2) as pool:
                print(sum(pool.map(square, range(300), progress=True)))
    """
    proc = run_script(tmp_path, script, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(sum(x * x for x in range(300)))
    assert "300/300" in proc.stderr


# --- errors --------------------------------------------------------------------------------


def test_an_exception_comes_back_with_its_remote_traceback(make_pool):
    pool = make_pool(2)
    future = pool.submit(fail, 7)
    with pytest.raises(ValueError, match="no good: 7") as info:
        future.result(timeout=30)
    cause = info.value.__cause__
    assert isinstance(cause, RemoteTraceback)
    assert "in fail" in str(cause) and 'raise ValueError(f"no good: {x}")' in str(cause)
    results = pool.map(fail_on_three, range(6), timeout=30)
    assert [next(results) for _ in range(3)] == [0, 1, 2]
    with pytest.raises(ValueError, match="no good: 3"):
        next(results)


def fail_on_three(x):
    return fail(x) if x == 3 else x


def test_an_exception_that_cannot_be_pickled_becomes_runtime_error(make_pool):
    pool = make_pool(1)
    with pytest.raises(RuntimeError, match=r"Unpicklable.*'kept here'") as info:
        pool.submit(raise_unpicklable, "kept here").result(timeout=30)
    assert "in raise_unpicklable" in str(info.value.__cause__)


UNPICKLABLE = {
    "function": (lambda ex: ex.submit(lambda: 1), lambda f: f.result(timeout=30),
                 (pickle.PicklingError, AttributeError)),
    "argument": (lambda ex: ex.submit(square, threading.Lock()), lambda f: f.result(timeout=30), TypeError),
    "map-function": (lambda ex: ex.map(lambda x: x, range(3), timeout=30), next,
                     (pickle.PicklingError, AttributeError)),
}


@pytest.mark.parametrize("case", list(UNPICKLABLE))
@pytest.mark.parametrize("executor", ["kelvane", "ProcessPoolExecutor"])
def test_unpicklable_function_or_argument_fails_its_future_as_in_process_pool_executor(
        make_pool, case, executor):
    start, collect, error = UNPICKLABLE[case]
    if executor == "kelvane":
        ex = make_pool(1)
    else:
        ex = cf.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("forkserver"))
    try:
        pending = start(ex)  # raises nothing: the error travels with the future
        with pytest.raises(error):
            collect(pending)
        assert ex.submit(square, 5).result(timeout=30) == 25
    finally:
        if executor != "kelvane":
            ex.shutdown(cancel_futures=True)


def test_an_unpicklable_map_item_fails_at_its_position(make_pool):
    pool = make_pool(1)
    results = pool.map(square, [1, 2, threading.Lock(), 4], timeout=30)
    assert next(results) == 1 and next(results) == 4
    with pytest.raises(TypeError):
        next(results)


def refuse_to_rebuild():
    raise ValueError("this argument cannot be rebuilt in a worker")


class RebuiltBadly:
    def __reduce__(self):
        return (refuse_to_rebuild, ())


def test_an_argument_that_fails_to_unpickle_in_the_worker_fails_only_its_task(make_pool):
    # ProcessPoolExecutor breaks the whole pool here (BrokenProcessPool).
    pool = make_pool(1)
    with pytest.raises(ValueError, match="cannot be rebuilt in a worker"):
        pool.submit(square, RebuiltBadly()).result(timeout=30)
    assert pool.submit(square, 6).result(timeout=30) == 36


def test_tasks_and_results_larger_than_the_queues_travel_beside_them(make_pool):
    pool = make_pool(1, capacity=1)  # rounded up to 1 MiB per queue
    assert pool.capacity == 1 << 20
    assert pool.submit(len, b"\0" * (2 << 20)).result(timeout=30) == 2 << 20
    assert len(pool.submit(big_result, 2 << 20).result(timeout=30)) == 2 << 20
    assert list(map(len, pool.map(big_result, [3 << 20, 10, 2 << 20]))) == [3 << 20, 10, 2 << 20]
    assert len(pool.submit(big_result, 100_000).result(timeout=30)) == 100_000
    # A function is in every message of its task: one larger than the task queue fails its
    # future, as any error of the task.
    too_big = pool.submit(functools.partial(len_of_both, b"\0" * (2 << 20)), b"")
    with pytest.raises(ValueError, match=r"does not fit the task queue of 1048576 bytes"):
        too_big.result(timeout=30)
    assert pool.submit(len, b"x").result(timeout=30) == 1


def len_of_both(a, b):
    return len(a) + len(b)


def echo(data):
    return data


def test_a_done_callback_may_submit_more_work(make_pool):
    # Tasks and results of 150 kB through 1 MiB queues: a collector thread that waited for
    # room in the task queue inside a callback would leave the results unread, and the
    # workers, which wait for room in the result queue, would never free any.
    pool = make_pool(2, capacity=1 << 20)
    payload = b"\1" * 150_000
    follow_ups = []

    def on_done(_):
        follow_ups.append(pool.submit(echo, payload))

    def run():
        firsts = []
        for _ in range(40):
            f = pool.submit(echo, payload)
            f.add_done_callback(on_done)
            firsts.append(f)
        return [len(f.result(timeout=60)) for f in firsts]

    assert call_with_timeout(run, timeout=60) == [150_000] * 40
    wait_until(lambda: len(follow_ups) == 40, 30, "the callbacks did not all run")
    assert [len(f.result(timeout=60)) for f in follow_ups] == [150_000] * 40


def raise_keyboard_interrupt(x=None):
    raise KeyboardInterrupt(f"raised by the task {x}")


def interrupt_on_two(x):
    return raise_keyboard_interrupt(x) if x == 2 else x


def test_a_task_raising_keyboard_interrupt_fails_only_its_future(make_pool):
    pool = make_pool(2)
    others = [pool.submit(sleep_then, 0.2, i) for i in range(4)]
    doomed = pool.submit(raise_keyboard_interrupt)
    with pytest.raises(KeyboardInterrupt, match="raised by the task"):
        doomed.result(timeout=30)
    assert isinstance(doomed.exception(timeout=0), KeyboardInterrupt)
    assert [f.result(timeout=30) for f in others] == list(range(4))
    results = pool.map(interrupt_on_two, range(5), timeout=30)
    assert [next(results), next(results)] == [0, 1]
    with pytest.raises(KeyboardInterrupt, match="raised by the task 2"):
        next(results)
    assert pool.submit(square, 4).result(timeout=30) == 16


def test_a_task_keyboard_interrupt_leaving_a_with_block_shuts_the_pool_down_normally():
    with pytest.raises(KeyboardInterrupt, match="raised by the task"):
        with kelvane.Pool(2) as pool:
            slow = pool.submit(sleep_then, 0.5, "finished")
            pool.submit(raise_keyboard_interrupt).result(timeout=30)
    assert slow.result(timeout=0) == "finished"
    assert names_exist(pool.names) == []


def fork_and_return(_=None):
    """Forks; the child returns from the task as the parent does, without os._exit."""
    return "parent" if os.fork() else "child"


def test_a_task_that_forks_and_returns_in_both_holds_nothing_up(make_pool):
    pool = make_pool(1)
    assert pool.submit(fork_and_return).result(timeout=30) == "parent"
    assert list(pool.map(square, range(50), timeout=30)) == [x * x for x in range(50)]
    started = time.monotonic()
    pool.shutdown(wait=True)
    assert time.monotonic() - started < 5


def fork_a_sleeper(seconds):
    """Forks a child that outlives the task, with every descriptor the worker has, and
    leaves with os._exit."""
    if os.fork() == 0:
        time.sleep(seconds)
        os._exit(0)
    return "forked"


@pytest.mark.parametrize("method", CONTEXTS)
def test_a_process_a_task_forked_does_not_hold_shutdown_up(make_pool, method):
    pool = make_pool(1, mp_context=multiprocessing.get_context(method))
    assert pool.submit(fork_a_sleeper, 15).result(timeout=30) == "forked"
    started = time.monotonic()
    pool.shutdown(wait=True)
    assert time.monotonic() - started < 5


class Payload:
    """A result that can be watched with a weak reference."""

    def __init__(self, n):
        self.n = n


def make_payload(n):
    return Payload(n)


@pytest.mark.parametrize("progress", [False, True], ids=["plain", "progress"])
@pytest.mark.parametrize("chunksize", [1, 4])
@pytest.mark.parametrize("method", ["map", "imap_unordered"])
def test_map_keeps_no_result_the_consumer_dropped(make_pool, method, chunksize, progress):
    pool = make_pool(1)
    results = getattr(pool, method)(make_payload, range(8), chunksize=chunksize, timeout=30, progress=progress)
    first = next(results)
    seen, watched = [first.n], weakref.ref(first)
    del first
    assert watched() is None, "the iterator still holds the result it gave"
    seen += [p.n for p in results]
    assert sorted(seen) == list(range(8))


# --- forks of the owner ----------------------------------------------------------------------


def return_quietly():
    pass


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_process_forked_beside_a_live_pool_exits(make_pool):
    pool = make_pool(1)
    assert pool.submit(square, 2).result(timeout=30) == 4
    child = multiprocessing.get_context("fork").Process(target=return_quietly)
    child.start()
    child.join(10)
    still_running = child.is_alive()
    if still_running:
        child.kill()
        child.join(5)
    assert not still_running and child.exitcode == 0
    assert names_exist(pool.names) == list(pool.names)
    assert pool.submit(square, 3).result(timeout=30) == 9


FORKING_OWNER = """
    import gc, os, sys, time
    import kelvane
    from test_executor import square

    def wait(pid):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.02)
        os.kill(pid, 9)
        return "hung"

    if __name__ == "__main__":
        pool = kelvane.Pool(1)
        names = pool.names
        print(pool.submit(square, 2).result(timeout=30), flush=True)
        pid = os.fork()
        if pid == 0:
            {child}
        print("child:", wait(pid), flush=True)
        print("names:", all(os.path.exists("/dev/shm/" + n) for n in names), flush=True)
        print(pool.submit(square, 3).result(timeout=30), flush=True)
        pool.shutdown()
        print("after:", any(os.path.exists("/dev/shm/" + n) for n in names), flush=True)
"""


@pytest.mark.parametrize("child", [
    "sys.exit(0)",
    "pool.shutdown(); sys.exit(0)",
    "del pool; gc.collect(); os._exit(0)",
    "with pool:\n                pass\n            os._exit(0)",
], ids=["exit", "shutdown", "drop", "with"])
def test_a_forked_child_neither_hangs_nor_touches_its_parents_pool(tmp_path, child):
    proc = run_script(tmp_path, FORKING_OWNER.replace("{child}", child), timeout=90)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:5] == ["4", "child: 0", "names: True", "9", "after: False"], proc.stderr


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_fork_context_pool_shuts_down_promptly(make_pool):
    pool = make_pool(2, mp_context=multiprocessing.get_context("fork"))
    assert list(pool.map(square, range(20), timeout=30)) == [x * x for x in range(20)]
    started = time.monotonic()
    pool.shutdown(wait=True)
    assert time.monotonic() - started < 5


# --- dead workers --------------------------------------------------------------------------


@pytest.mark.parametrize("method", CONTEXTS)
def test_a_worker_killed_mid_task_fails_only_that_task(make_pool, tmp_path, method):
    pool = make_pool(2, mp_context=multiprocessing.get_context(method))
    marker = str(tmp_path / "victim")
    doomed = pool.submit(announce_and_sleep, marker, 60)
    victim = wait_for_file(marker)
    others = [pool.submit(sleep_then, 0.01, i) for i in range(20)]
    os.kill(victim, signal.SIGKILL)
    with pytest.raises(kelvane.WorkerDiedError) as info:
        doomed.result(timeout=30)
    err = info.value
    assert f"pid {victim}" in str(err) and "signal SIGKILL" in str(err)
    assert "announce_and_sleep" in str(err)
    assert (err.pid, err.exitcode, err.signal) == (victim, -signal.SIGKILL, "SIGKILL")
    assert [f.result(timeout=30) for f in others] == list(range(20))
    # The pool has two workers again, neither of them the dead one.
    seen = {f.result(timeout=30) for f in [pool.submit(sleep_then_pid, 0.2) for _ in range(4)]}
    assert victim not in seen and len(seen) == 2


def sleep_then_pid(seconds):
    time.sleep(seconds)
    return os.getpid()


def test_workers_lost_with_their_forkserver_are_stopped_not_left_running(make_pool, tmp_path):
    """A forkserver that dies takes its children's exit statuses with it (multiprocessing
    then says exit code 255): the pool stops such a worker, which it can no longer watch,
    fails its task, and carries on with new workers."""
    from multiprocessing import forkserver

    pool = make_pool(1, mp_context=multiprocessing.get_context("forkserver"))
    marker = str(tmp_path / "lost")
    doomed = pool.submit(announce_and_sleep, marker, 60)
    worker = wait_for_file(marker)
    os.kill(forkserver._forkserver._forkserver_pid, signal.SIGKILL)
    with pytest.raises(kelvane.WorkerDiedError, match=r"lost with its forkserver") as info:
        doomed.result(timeout=30)
    assert (info.value.pid, info.value.signal) == (worker, "SIGKILL")
    wait_until(lambda: pid_gone(worker), 10, "the lost worker to be gone")
    assert pool.submit(sleep_then_pid, 0.01).result(timeout=60) != worker


def test_a_worker_that_exits_fails_its_task_with_the_exit_code(make_pool):
    pool = make_pool(2)
    future = pool.submit(exit_hard, 3)
    with pytest.raises(kelvane.WorkerDiedError, match=r"pid \d+.*exit code 3") as info:
        future.result(timeout=30)
    assert info.value.exitcode == 3 and info.value.signal is None
    assert list(pool.map(square, range(10), timeout=30)) == [x * x for x in range(10)]


def test_a_worker_death_inside_map_fails_that_item_at_its_position(make_pool):
    pool = make_pool(2)
    ordered = pool.map(exit_on_five, range(10), timeout=30)
    assert [next(ordered) for _ in range(5)] == [0, 1, 2, 3, 4]
    with pytest.raises(kelvane.WorkerDiedError, match=r"map item 5 \(exit_on_five\).*exit code 5"):
        next(ordered)
    assert list(pool.map(square, range(10), timeout=30)) == [x * x for x in range(10)]


def exit_on_five(x):
    if x == 5:
        os._exit(5)
    return x


def test_max_tasks_per_child_gives_each_task_a_fresh_worker(make_pool):
    pool = make_pool(2, max_tasks_per_child=1)
    pids = [pool.submit(pid_of).result(timeout=30) for _ in range(6)]
    assert len(set(pids)) == 6
    assert sorted(pool.map(square, range(12), timeout=60)) == [x * x for x in range(12)]


def test_initializer_runs_in_every_worker(make_pool):
    pool = make_pool(2, initializer=initialise, initargs=("ready",))
    assert set(pool.map(initialised, range(8), timeout=30)) == {"ready"}


def test_a_failing_initializer_breaks_the_pool(make_pool):
    pool = make_pool(1, initializer=initialise_badly)
    with pytest.raises(BrokenPool, match="initializer says no"):
        pool.submit(square, 2).result(timeout=30)
    with pytest.raises(BrokenPool):
        pool.submit(square, 2)


# --- shutdown ------------------------------------------------------------------------------


@pytest.mark.parametrize("wait", [True, False])
def test_shutdown_with_cancel_futures_while_tasks_run(make_pool, wait):
    pool = make_pool(2)
    running = [pool.submit(sleep_then, 0.5, i) for i in range(2)]
    time.sleep(0.2)  # both workers are inside their task
    queued = [pool.submit(sleep_then, 0.5, i) for i in range(20)]
    started = time.monotonic()
    pool.shutdown(wait=wait, cancel_futures=True)
    if not wait:
        assert time.monotonic() - started < 0.3
    assert [f.result(timeout=30) for f in running] == [0, 1]
    assert all(f.cancelled() for f in queued)
    with pytest.raises(RuntimeError, match="cannot schedule new futures after shutdown"):
        pool.submit(square, 1)
    wait_until(lambda: not names_exist(pool.names), 15, "names still in /dev/shm")


def test_shutdown_waits_for_queued_work(make_pool):
    pool = make_pool(2)
    futures = [pool.submit(sleep_then, 0.05, i) for i in range(20)]
    pool.shutdown(wait=True)
    assert [f.result(timeout=0) for f in futures] == list(range(20))
    assert names_exist(pool.names) == []


def test_with_block_and_wait_work_as_for_any_executor():
    with kelvane.Pool(2) as pool:
        futures = [pool.submit(square, i) for i in range(10)]
        done, not_done = cf.wait(futures, timeout=30)
        names = pool.names
    assert not not_done and sorted(f.result() for f in done) == [i * i for i in range(10)]
    assert names_exist(names) == []


# --- the owner interrupted or killed ---------------------------------------------------------


def run_script(tmp_path, body, timeout, **popen):
    path = tmp_path / "owner.py"
    path.write_text(textwrap.dedent(body))
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    if popen:
        return subprocess.Popen([sys.executable, str(path)], cwd=tmp_path, env=env, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)
    return subprocess.run([sys.executable, str(path)], cwd=tmp_path, env=env, text=True,
                          capture_output=True, timeout=timeout)


OWNER = """
    import os, sys, time
    import kelvane
    from test_executor import sleep_then

    if __name__ == "__main__":
        pool = kelvane.Pool(2)
        print(*pool.names, flush=True)
        print(*(w.proc.pid for w in pool._engine.workers), flush=True)
        {body}
"""


def start_owner(tmp_path, body):
    proc = run_script(tmp_path, OWNER.format(body=body), None, start_new_session=True)
    names = proc.stdout.readline().split()
    pids = [int(p) for p in proc.stdout.readline().split()]
    assert len(names) == 2 and len(pids) == 2, proc.stderr.read()
    return proc, names, pids


def settle(proc, timeout=30):
    try:
        return proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"the owner did not end within {timeout} s\n{out}\n{err}")


@pytest.mark.parametrize("where, body", [
    ("map", "for _ in pool.map(sleep_then, [0.2] * 1000): pass"),
    ("result", "pool.submit(sleep_then, 60).result()"),
    ("with-body", "with pool: time.sleep(60)"),
    ("elsewhere", "pool.submit(sleep_then, 60); time.sleep(60)"),
])
@pytest.mark.parametrize("to", ["owner", "group"])
def test_ctrl_c_in_the_owner_stops_workers_and_removes_names(tmp_path, where, body, to):
    proc, names, pids = start_owner(tmp_path, body)
    time.sleep(0.6)  # busy in its loop
    if to == "owner":
        os.kill(proc.pid, signal.SIGINT)
    else:
        os.killpg(proc.pid, signal.SIGINT)  # as a terminal sends it
    _, err = settle(proc)
    assert proc.returncode in (-signal.SIGINT, 130), err
    assert "KeyboardInterrupt" in err
    wait_until(lambda: all(pid_gone(p) for p in pids), 10, "workers still running")
    assert names_exist(names) == []


def test_a_killed_owner_leaves_no_workers_and_no_names(tmp_path):
    proc, names, pids = start_owner(tmp_path, "pool.map(sleep_then, [0.05] * 1000); time.sleep(60)")
    time.sleep(0.5)
    assert names_exist(names) == names
    proc.kill()
    proc.wait(10)
    wait_until(lambda: all(pid_gone(p) for p in pids), 10, "workers outlived their owner")
    wait_until(lambda: not names_exist(names), 10, "names outlived the owner")
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
