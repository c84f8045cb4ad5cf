"""KelPoolCore: a task queue and a result queue under fresh names, with workers in
other processes attached by name."""

import gc
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import time

import pytest

from conftest import (
    QUEUE_HEADER, SHM_DIR, Ticker, call_with_timeout, join_or_kill, mapped_bytes, positions, put_one, shm_path,
)
from kelvane_core import KelPoolCore, KelQueue

HEADER = QUEUE_HEADER
MiB = 1 << 20


# --- worker bodies -----------------------------------------------------------------------


def _worker(task_name, result_name, size_mb):
    """Answers each task with its number and digest until an empty task arrives."""
    tasks, results = KelQueue(task_name, size_mb), KelQueue(result_name, size_mb)
    while task := tasks.get_bytes():
        results.put_bytes(task[:4] + hashlib.sha256(task[4:]).digest() + struct.pack("<I", os.getpid()))


def _late_reader(task_name, attached, go, report, count):
    tasks = KelQueue(task_name, 1)
    attached.set()
    go.wait(20)
    report.put([tasks.get_bytes() for _ in range(count)])


@pytest.fixture(autouse=True)
def pool_names_removed():
    """Removes the pool objects a test leaves behind: names this process still maps (a
    pool kept alive by a failure's traceback) and the task object of a failed
    construction (header only, no result partner). Other processes' pools stay."""
    before = set(os.listdir(SHM_DIR))
    yield
    gc.collect()
    for name in set(os.listdir(SHM_DIR)) - before:
        if not name.startswith(("kp_task_", "kp_res_")):
            continue
        path = shm_path(name)
        try:
            orphan = name.startswith("kp_task_") and os.path.getsize(path) == HEADER and not os.path.exists(
                shm_path("kp_res_" + name[len("kp_task_"):]))
            if orphan or mapped_bytes(name):
                os.unlink(path)
        except FileNotFoundError:
            pass


# --- names, sizes, life ------------------------------------------------------------------


def test_names_and_objects():
    pool = KelPoolCore(1)
    task, result = pool.task_q_name, pool.result_q_name
    assert re.fullmatch(r"kp_task_[0-9a-f]{8}", task)
    assert result == "kp_res_" + task[len("kp_task_"):]
    for name in (task, result):
        st = os.stat(shm_path(name))
        assert st.st_size == 1_064_960
        assert st.st_mode & 0o777 == 0o600
        assert positions(name) == (0, 0)
        assert mapped_bytes(name) == HEADER + 2 * MiB
    del pool
    gc.collect()
    for name in (task, result):
        assert not os.path.exists(shm_path(name))
        assert mapped_bytes(name) == 0


def test_identifiers_differ():
    pools = [KelPoolCore(1) for _ in range(6)]
    assert len({p.task_q_name[8:] for p in pools}) == len(pools)


@pytest.mark.parametrize("attr", ["task_q_name", "result_q_name"])
def test_names_are_read_only(attr):
    pool = KelPoolCore(1)
    name = getattr(pool, attr)
    with pytest.raises(AttributeError):
        setattr(pool, attr, "kp_task_00000000")
    with pytest.raises(AttributeError):
        delattr(pool, attr)
    assert getattr(pool, attr) == name


def test_unlink_twice_keeps_the_rings_working():
    pool = KelPoolCore(1)
    tasks, results = KelQueue(pool.task_q_name, 1), KelQueue(pool.result_q_name, 1)
    names = (pool.task_q_name, pool.result_q_name)
    pool.unlink()
    pool.unlink()
    for name in names:
        assert not os.path.exists(shm_path(name))
    pool.put_task(b"task")
    assert tasks.get_bytes() == b"task"
    results.put_bytes(b"result")
    assert pool.get_result() == b"result"
    del pool  # destroying after unlink raises nothing
    gc.collect()
    stranger = KelQueue(names[1], 1)  # the name now makes a new, separate queue
    assert positions(names[1]) == (0, 0)
    results.put_bytes(b"old ring")
    stranger.put_bytes(b"new ring")
    assert results.get_bytes() == b"old ring"
    assert stranger.get_bytes() == b"new ring"
    KelQueue.unlink(names[1])


def test_empty_and_largest_tasks():
    pool = KelPoolCore(1)
    tasks = KelQueue(pool.task_q_name, 1)
    pool.put_task(b"")
    assert positions(pool.task_q_name) == (0, 4)
    assert tasks.get_bytes() == b""
    call_with_timeout(pool.put_task, b"\x01" * (MiB - 4), timeout=5)
    for size in (MiB - 3, 2 * MiB):
        with pytest.raises(RuntimeError) as e:
            call_with_timeout(pool.put_task, bytes(size), timeout=5)
        assert str(e.value) == "Task put error: Buffer too small"
    assert tasks.get_bytes() == b"\x01" * (MiB - 4)
    assert positions(pool.task_q_name) == (MiB + 4, MiB + 4)


@pytest.mark.parametrize("data", [bytearray(b"t"), memoryview(b"t"), "t", None, 1],
                         ids=lambda d: type(d).__name__)
def test_put_task_refuses_non_bytes(data):
    pool = KelPoolCore(1)
    with pytest.raises(TypeError):
        pool.put_task(data)
    assert positions(pool.task_q_name) == (0, 0)


def test_put_task_accepts_bytes_subclass_and_keyword():
    class Task(bytes):
        pass

    pool = KelPoolCore(size_mb=1)
    tasks = KelQueue(pool.task_q_name, 1)
    pool.put_task(Task(b"sub"))
    pool.put_task(data=b"kw")
    assert tasks.get_bytes() == b"sub"
    assert tasks.get_bytes() == b"kw"
    with pytest.raises(TypeError):
        pool.put_task()
    with pytest.raises(TypeError):
        pool.get_result(1)


@pytest.mark.parametrize(
    "size_mb, exc",
    [(2**44, OverflowError), (2**64, OverflowError), (-1, OverflowError), (2.0, TypeError), ("1", TypeError),
     (None, TypeError)],
)
def test_bad_size_mb(size_mb, exc):
    with pytest.raises(exc):
        KelPoolCore(size_mb)


def test_size_mb_forms():
    assert os.path.getsize(shm_path(KelPoolCore(True).task_q_name)) == HEADER + MiB
    assert os.path.getsize(shm_path(KelPoolCore(size_mb=2).result_q_name)) == HEADER + 2 * MiB
    with pytest.raises(TypeError):
        KelPoolCore()
    with pytest.raises(TypeError):
        KelPoolCore(1, 2)


def test_size_mb_zero():
    before = set(os.listdir(SHM_DIR))
    with pytest.raises(RuntimeError) as e:
        KelPoolCore(0)
    assert str(e.value) == "Failed to create task shm: Nix error: EINVAL: Invalid argument"
    for name in set(os.listdir(SHM_DIR)) - before:
        if name.startswith("kp_task_") and os.path.getsize(shm_path(name)) == HEADER:
            assert not os.path.exists(shm_path("kp_res_" + name[len("kp_task_"):]))


# --- workers -----------------------------------------------------------------------------


def test_workers_answer_every_task_once(spawn):
    pool = KelPoolCore(1)
    workers = [spawn(_worker, pool.task_q_name, pool.result_q_name, 1) for _ in range(2)]
    payloads = [os.urandom(n) for n in [0, 1, 90_000, 400_000, 700_000] * 40 + list(range(0, 60_000, 300))]

    def feed():  # the task ring fills and drains many times; 40-byte answers never fill theirs
        for i, payload in enumerate(payloads):
            pool.put_task(struct.pack("<I", i) + payload)
        for _ in workers:
            pool.put_task(b"")

    call_with_timeout(feed, timeout=60)
    for w in workers:
        assert join_or_kill(w) == 0
    answers = call_with_timeout(lambda: [pool.get_result() for _ in payloads], timeout=10)
    assert positions(pool.result_q_name)[0] == positions(pool.result_q_name)[1]  # nothing more
    by_number = {struct.unpack_from("<I", a)[0]: a for a in answers}
    assert sorted(by_number) == list(range(len(payloads)))  # each task answered exactly once
    for i, payload in enumerate(payloads):
        assert by_number[i][4:36] == hashlib.sha256(payload).digest()
    assert {struct.unpack_from("<I", a, 36)[0] for a in answers} <= {w.pid for w in workers}


def test_attached_worker_outlives_the_owner(spawn, mp):
    pool = KelPoolCore(1)
    task_name = pool.task_q_name
    attached, go, report = mp.Event(), mp.Event(), mp.Queue()
    reader = spawn(_late_reader, task_name, attached, go, report, 3)
    assert attached.wait(20)
    for t in (b"one", b"", b"three" * 10_000):
        pool.put_task(t)
    del pool
    gc.collect()
    assert not os.path.exists(shm_path(task_name))
    go.set()
    assert report.get(timeout=20) == [b"one", b"", b"three" * 10_000]
    assert join_or_kill(reader) == 0


def test_blocked_get_result_lets_other_threads_run(spawn):
    pool = KelPoolCore(1)
    helper = spawn(put_one, pool.result_q_name, b"worth the wait", 0.5)
    with Ticker(0.005) as ticker:
        time.sleep(0.05)
        before = ticker.count
        assert call_with_timeout(pool.get_result, timeout=30) == b"worth the wait"
        during = ticker.count - before
    assert join_or_kill(helper) == 0
    assert during > 10


# --- the random source, replaced in a child process ----------------------------------------

GETRANDOM_STAND_IN = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

/* KT_GETRANDOM: "enosys" (no such call), "eio" (a 16-byte draw fails), or 8 hex
   digits that become the first 4 bytes of every draw, zeros after. */
ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    (void)flags;
    const char *mode = getenv("KT_GETRANDOM");
    if (mode == NULL)
        mode = "";
    if (strcmp(mode, "enosys") == 0) {
        errno = ENOSYS;
        return -1;
    }
    if (strcmp(mode, "eio") == 0 && len == 16) {
        errno = EIO;
        return -1;
    }
    memset(buf, 0, len);
    for (size_t i = 0; i < len && i < 4 && strlen(mode) >= 2 * (i + 1); ++i) {
        char hex[3] = {mode[2 * i], mode[2 * i + 1], 0};
        ((unsigned char *)buf)[i] = (unsigned char)strtoul(hex, NULL, 16);
    }
    return (ssize_t)len;
}
"""

MAKE_POOL = """
import kelvane_core
try:
    pool = kelvane_core.KelPoolCore(1)
    print(pool.task_q_name, pool.result_q_name)
except RuntimeError as e:
    print("RuntimeError:", e)
"""


@pytest.fixture(scope="module")
def getrandom_stand_in(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the getrandom stand-in")
    src = tmp_path_factory.mktemp("getrandom") / "getrandom.c"
    src.write_text(GETRANDOM_STAND_IN)
    lib = src.with_suffix(".so")
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True, timeout=60)
    return lib


def make_pool_with(lib, mode):
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))  # keep a sanitizer runtime first
    env = dict(os.environ, LD_PRELOAD=preload, KT_GETRANDOM=mode, PYTHONHASHSEED="0")
    done = subprocess.run([sys.executable, "-c", MAKE_POOL], env=env, capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip(), done.stderr


def test_identifier_is_the_first_four_random_bytes(getrandom_stand_in):
    ident = os.urandom(4).hex()
    out, _ = make_pool_with(getrandom_stand_in, ident.upper())
    assert out == f"kp_task_{ident} kp_res_{ident}"


def test_name_clash_creates_no_result_queue(getrandom_stand_in):
    ident = os.urandom(4).hex()
    squatter = shm_path("kp_task_" + ident)
    with open(os.open(squatter, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600), "wb") as f:
        f.write(b"not a queue")
    try:
        out, _ = make_pool_with(getrandom_stand_in, ident)
        assert out == "RuntimeError: Failed to create task shm: Nix error: EEXIST: File exists"
        assert not os.path.exists(shm_path("kp_res_" + ident))
        with open(squatter, "rb") as f:
            assert f.read() == b"not a queue"
    finally:
        os.unlink(squatter)


def test_random_source_failure(getrandom_stand_in):
    out, err = make_pool_with(getrandom_stand_in, "eio")
    assert out == "RuntimeError: could not retrieve random bytes for uuid: EIO: I/O error"
    assert "could not retrieve random bytes for uuid: EIO: I/O error" in err


def test_falls_back_to_urandom_without_getrandom(getrandom_stand_in):
    out, _ = make_pool_with(getrandom_stand_in, "enosys")
    assert re.fullmatch(r"kp_task_([0-9a-f]{8}) kp_res_\1", out)
