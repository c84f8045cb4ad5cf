"""C and C++ programs on the same queues and locks as Python processes, built against the
installed package as a user builds them: CMake's find_package(kelvane CONFIG) and
pkg-config's kelvane.pc, at the places `python -m kelvane --cmake-dir/--pkgconfig-dir`
names. The programs are tests/capi/kvc.c (kelvane.h) and kvcpp.cpp (kelvane.hpp)."""

import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

import kelvane
from kelvane import _blocks, _capi, _objects
from kelvane._native import Block, BlockQueue
from kelvane.lock import Lock
from kelvane.queue import Queue
from kelvane_core import KelLock, KelQueue, LockRecovered

from conftest import EDEADLK_TEXT, join_or_kill

SOURCES = Path(__file__).resolve().parent / "capi"
BUILD_STEP = 300  # seconds a configure, build or compile may take on a busy machine
MIB = 1 << 20

pytestmark = [
    pytest.mark.timeout(600),  # the first test builds the programs
    pytest.mark.skipif(not (_capi.pkgconfig_dir() / "kelvane.pc").is_file(),
                       reason="this kelvane was installed without its C and C++ API"),
]


def result_codes():
    """KV_* of kelvane.h as installed: {"KV_ENOENT": -6, ...}."""
    text = (_capi.include_dir() / "kelvane.h").read_text()
    return {name: int(value) for name, value in re.findall(r"^\s+(KV_[A-Z]+) = (-?\d+),?", text, re.M)}


KV = result_codes()
KIND = dict(re.findall(r"^\s+KV_KIND_([A-Z]+) = (\d+)", (_capi.include_dir() / "kelvane.h").read_text(), re.M))
KIND = {kind: int(value) for kind, value in KIND.items()}  # {"RING": 0, "BYTES": 1, "PICKLE": 2}


def build_env():
    # The sanitizer run preloads its runtime into the tests; CMake and the compilers do without.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run_step(argv, env=None, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=BUILD_STEP, env=env or build_env(), **kwargs)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(map(str, argv))} failed:\n{done.stdout}\n{done.stderr}")
    return done.stdout


def kelvane_cli(option):
    return run_step([sys.executable, "-m", "kelvane", option], env=os.environ, cwd="/").strip()


def pkg_config_tool():
    """The pkgconf of the test extra where installed, else the system's."""
    scripts = sysconfig.get_path("scripts")
    for name in ("pkgconf", "pkg-config"):
        found = shutil.which(name, path=scripts) or shutil.which(name)
        if found:
            return found
    return None


@pytest.fixture(scope="session")
def programs(tmp_path_factory):
    """{(language, build): path} for language c, cpp and build cmake, pkgconfig."""
    cc, cxx = os.environ.get("CC") or shutil.which("cc"), os.environ.get("CXX") or shutil.which("c++")
    cmake, pkg_config = shutil.which("cmake"), pkg_config_tool()
    if not (cc and cxx and cmake and pkg_config):
        pytest.skip("needs a C and a C++ compiler, cmake and pkg-config")
    out = tmp_path_factory.mktemp("capi")
    run_step([cmake, "-S", SOURCES, "-B", out / "cmake", f"-Dkelvane_DIR={kelvane_cli('--cmake-dir')}",
              f"-DCMAKE_C_COMPILER={cc}", f"-DCMAKE_CXX_COMPILER={cxx}"])
    run_step([cmake, "--build", out / "cmake", "--parallel", "2"])

    env = dict(build_env(), PKG_CONFIG_PATH=kelvane_cli("--pkgconfig-dir"))
    flags = subprocess.run([pkg_config, "--cflags", "--libs", "kelvane"], capture_output=True, text=True,
                           env=env, timeout=BUILD_STEP, check=True).stdout.split()
    warnings = ["-Wall", "-Wextra", "-Wpedantic", "-Werror"]
    run_step([cc, "-std=c99", *warnings, SOURCES / "kvc.c", *flags, "-o", out / "kvc-pc"])  # CMake's is C11
    run_step([cxx, "-std=c++20", *warnings, SOURCES / "kvcpp.cpp", *flags, "-o", out / "kvcpp-pc"])
    return {("c", "cmake"): out / "cmake" / "kvc", ("cpp", "cmake"): out / "cmake" / "kvcpp",
            ("c", "pkgconfig"): out / "kvc-pc", ("cpp", "pkgconfig"): out / "kvcpp-pc"}


def start(program, *args):
    return subprocess.Popen([program, *map(str, args)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=60):
    """The program's output once it exited with status 0."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail(f"{proc.args[0]} did not finish within {timeout} s")
    assert proc.returncode == 0, err
    return out


def read_line(proc, timeout=30):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    assert ready, f"{proc.args[0]} said nothing within {timeout} s"
    return proc.stdout.readline().strip()


# The programs' messages: seq (8 bytes), length (4), then byte i = (seq + i) & 0xff, of
# length 12 + seq * 7919 % size: lengths of every size up to `size`, wrapping the ring.
PATTERN = bytes(range(256)) * (1 << 14)


def expected(seq, length):
    start = (seq + 12) % 256
    return struct.pack("<QI", seq, length) + PATTERN[start:start + length - 12]


def message(seq, size):
    return expected(seq, 12 + seq * 7919 % size)


def seq_of(data):
    """The seq of a message, once it is whole and unchanged."""
    seq = struct.unpack_from("<Q", data)[0]
    assert bytes(data) == expected(seq, len(data)), f"message {seq} is not what was sent"
    return seq


@pytest.mark.parametrize("direction", ["to_program", "from_program"])
@pytest.mark.parametrize("language, build", [("c", "cmake"), ("cpp", "cmake"), ("c", "pkgconfig"),
                                             ("cpp", "pkgconfig")])
def test_a_queue_carries_messages_between_python_and_a_program(programs, shm_name, language, build, direction):
    # The pkg-config builds read with the zero-copy view, the CMake builds copy.
    style = "view" if build == "pkgconfig" else "copy"
    name, count, size = shm_name(), 1500, 3000  # ~2.3 MB through a 1 MiB ring
    q = Queue(name, MIB, serializer=None)
    program = programs[language, build]
    if direction == "to_program":
        proc = start(program, "consume", name, count, style)
        for seq in range(count):
            q.put(message(seq, size), timeout=30)
        assert finish(proc).split() == ["consumed", str(count)]
    else:
        proc = start(program, "produce", name, 0, count, size)
        raw = KelQueue.attach(name)
        for expected in range(count):
            if style == "view":
                got = raw.recv_view_timed(30)
                assert got is not None
                view, next_pos = got
                assert seq_of(view) == expected
                view.release()
                raw.commit_read(next_pos)
            else:
                assert seq_of(q.get(timeout=30)) == expected
        assert finish(proc).split() == ["produced", str(count)]
    assert q.qsize() == 0
    q.close()


def consume_until_told(name, out_path):
    """A Python consumer: takes messages (checking each) until an empty one, then writes
    the seqs it took, in its order, to out_path."""
    q = Queue.attach(name, serializer=None)
    seqs = []
    while (data := q.get(timeout=60)) != b"":
        seqs.append(seq_of(data))
    Path(out_path).write_text(" ".join(map(str, seqs)))


def blocks_in_use(name):
    """Blocks of the queue's arena written, queued, held or lent, once what dead processes
    left is given back."""
    counts = BlockQueue(name).reclaim()
    return 0 if counts is None else counts[2] + counts[3] + counts[4] + counts[9]


@pytest.mark.parametrize("way", ["ring", "loans"])
def test_a_producer_killed_at_random_loses_nothing_it_put_and_repeats_nothing(programs, shm_name, spawn,
                                                                              tmp_path, way):
    # Through loans, messages up to 2 MiB, the ring's double, each in a block of its own.
    name, rounds, step = shm_name(), 6, 10**9
    size = 2000 if way == "ring" else 2 * MIB
    produce = "produce" if way == "ring" else "produce-blocks"
    KelQueue(name, 1)
    outs = [tmp_path / f"consumer{i}" for i in range(2)]
    consumers = [spawn(consume_until_told, name, str(out)) for out in outs]
    rng = random.Random()
    for r in range(rounds):
        proc = start(programs["cpp", "cmake"], produce, name, r * step, *([0] if way == "ring" else []), size)
        time.sleep(rng.uniform(0.05, 0.3))
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=30)
        assert proc.returncode == -signal.SIGKILL
    q = KelQueue.attach(name)
    for _ in consumers:
        assert q.put_bytes_timed(b"", 30)
    for c in consumers:
        assert join_or_kill(c, 120) == 0
    taken = [[int(s) for s in out.read_text().split()] for out in outs]
    for seqs in taken:  # each consumer sees each producer's messages in the order put
        for r in range(rounds):
            mine = [s for s in seqs if s // step == r]
            assert mine == sorted(mine)
    every = sorted(s for seqs in taken for s in seqs)
    assert len(every) == len(set(every)), "a message was delivered twice"
    for r in range(rounds):
        # Killed at any instant, a producer put a prefix of its messages: every one arrived.
        mine = [s - r * step for s in every if s // step == r]
        assert mine == list(range(len(mine)))
    assert len(every) > rounds, "the producers put (almost) nothing before they were killed"
    assert q.stats() == (0, 0)
    assert blocks_in_use(name) == 0
    arena = BlockQueue(name).arena_id
    assert (arena != 0) == (way == "loans")
    Queue.attach(name).unlink()
    assert not os.path.exists(f"/dev/shm/{_blocks.arena_name(arena)}")


@pytest.mark.parametrize("direction, memory", [("from_cpp", "shm"), ("to_c", "shm"), ("from_cpp", "memfd"),
                                               ("to_c", "memfd")])
def test_numpy_arrays_cross_between_python_and_a_program_without_a_copy(programs, shm_name, monkeypatch, direction,
                                                                        memory):
    # The arena is made by the producer: in a memfd, the consumer opens it through the
    # producer's /proc/PID/fd, whichever language each is written in.
    np = pytest.importorskip("numpy")
    monkeypatch.setenv("KELVANE_BLOCKS", memory)
    name, count = shm_name(), 24
    q = Queue(name, MIB)  # pickle: arrays as numpy arrays
    if direction == "from_cpp":
        rows, cols = 300, 500  # 600 KB of float32 a frame, filled in place in a loan
        proc = start(programs["cpp", "cmake"], "frames", name, count, rows, cols)
        for seq in range(count):
            frame = q.get(timeout=30)
            assert frame.dtype == np.float32 and frame.shape == (rows, cols)
            assert type(_blocks.loaned_block(frame)) is Block  # a view of the block it came in
            assert np.array_equal(frame.ravel(), np.arange(seq, seq + rows * cols, dtype=np.float32))
            del frame
        assert finish(proc).split() == ["sent", str(count)]
    else:
        proc = start(programs["c", "cmake"], "receive", name)
        for seq in range(count):  # 256 KiB to 2 MiB, past the ring: pickles whose buffer is the array
            q.put(np.arange(seq, seq + (1 + seq % 8) * 32768, dtype=np.float64), timeout=30)
        q.put(None, timeout=30)  # small: through the ring
        assert finish(proc).split() == ["received", str(count)]
    assert blocks_in_use(name) == 0
    assert BlockQueue(name).arena_counts()[8] == (memory == "memfd")
    q.close()


@pytest.mark.parametrize("language, style", [("c", "copy"), ("c", "view"), ("cpp", "copy"), ("cpp", "view"),
                                             ("cpp", "threads")])
def test_block_messages_reach_the_copying_gets_and_the_view_as_bytes(programs, shm_name, language, style):
    name, count, size = shm_name(), 40, 3 * MIB  # up to three times the ring
    q = Queue(name, MIB, serializer=None)
    proc = start(programs[language, "cmake"], "consume", name, count, style)
    for seq in range(count):
        data = message(seq, size)
        loan = q.loan(len(data), timeout=30)
        loan[:] = data
        q.put(loan, timeout=30)
        del loan
    assert finish(proc).split() == ["consumed", str(count)]
    assert blocks_in_use(name) == 0
    q.close()


def test_a_program_killed_holding_a_block_gives_it_back(programs, shm_name):
    np = pytest.importorskip("numpy")
    name = shm_name()
    q = Queue(name, MIB)
    q.put(np.ones(MIB // 8), timeout=10)
    proc = start(programs["c", "cmake"], "hold-block", name)
    assert read_line(proc) == f"holding {KIND['PICKLE']} 2"  # a pickle: its stream and the array
    assert BlockQueue(name).arena_counts()[4] == 1
    proc.send_signal(signal.SIGKILL)
    proc.communicate(timeout=30)
    assert blocks_in_use(name) == 0
    q.put(np.full(MIB // 8, 3.0), timeout=10)
    assert q.get(timeout=10).sum() == 3 * MIB // 8
    q.close()


def test_every_refusal_of_the_block_calls_and_what_they_deliver(programs, shm_name):
    name = shm_name()
    KelQueue(name, 1)
    bq = BlockQueue(name)
    out = finish(start(programs["c", "cmake"], "block-errors", name))
    said = {label: (int(code), text) for label, code, text in (line.split("\t") for line in out.splitlines())}
    parts = "a block of 2 parts (a pickle with out-of-band buffers); it stays queued: kv_queue_receive takes it"
    ok = ("KV_OK", "")
    expected = {
        "loan_null": ("KV_EINVAL", "kv_queue_loan: a required pointer is NULL"),
        "loan_never_fits": ("KV_EMSGSIZE", f"kv_queue_loan: a message of {65 * MIB} bytes never fits the queue's "
                                           f"block memory ({64 * MIB} bytes, 64 times its capacity)"),
        "loan": ok,
        "send_too_long": ("KV_EINVAL", "kv_loan_send: 1001 bytes do not fit a loan of 1000"),
        "send_other_handle": ("KV_EINVAL", "kv_loan_send: the loan was made by another queue handle"),
        "send_bad_dtype": ("KV_EINVAL", "kv_loan_send_array: 'float64' is no dtype it takes: a byte order (<, >, |), "
                                        "a kind (b, i, u, f, c) and an item size, such as \"<f8\""),
        "send_bad_ndim": ("KV_EINVAL", "kv_loan_send_array: ndim must be from 0 to 32"),
        "send_array_too_big": ("KV_EINVAL", "kv_loan_send_array: 8000 bytes do not fit a loan of 1000"),
        "send_array": ok,
        "send_again": ("KV_EINVAL", "kv_loan_send: not a loan (sent or dropped already?)"),
        "get_parts": ("KV_EPARTS", "Queue get error: the oldest message is " + parts),
        "view_parts": ("KV_EPARTS", "Queue get_view error: the oldest message is " + parts),
        "receive_array": ok,
        "put_block": ok,
        "get_block_small_buffer": ("KV_EBUFSIZE", "Queue get error: a message of 13 bytes does not fit a buffer of "
                                                  "4 bytes; it stays queued"),
        "view_block": ok,
        "commit_block": ok,
        "put_block_again": ok,
        "get_alloc_block": ok,
        "put_ring": ok,
        "receive_ring": ok,
        "try_receive_empty": ("KV_EAGAIN", "the queue is empty"),
        "receive_timeout": ("KV_ETIMEDOUT", "no message came before the timeout"),
        "receive_null": ("KV_EINVAL", "kv_queue_receive: a required pointer is NULL"),
        "loan_to_drop": ok,
        "loan_before_fork": ok,
        "put_before_fork": ok,
        "receive_before_fork": ok,
        "send_after_fork": ok,
        "receive_after_fork": ok,
    }
    assert said.pop("loan_capacity") == (1000, "0")  # its bytes at a page boundary
    assert said.pop("array") == (KIND["PICKLE"], "2 80 9")  # parts; bytes of the array; its last item
    assert said.pop("block_needed") == (13, "")
    assert said.pop("viewed") == (13, "hello, blocks")
    assert said.pop("got_block") == (11, "hello again")
    assert said.pop("ring") == (KIND["RING"], "1 in the ring")
    assert said.pop("fork_child") == (0, "")  # its send of the parent's loan: KV_EPERM
    assert said.pop("still_held") == (18, "held across a fork")
    assert {label: (KV[code], text) for label, (code, text) in expected.items()} == said
    counts = bq.arena_counts()
    assert counts[0] > 0 and counts[0] == counts[1]  # every block free: none lent, none kept by the fork
    arena = bq.arena_id
    assert finish(start(programs["c", "cmake"], "unlink", name)).split() == ["unlinked", "0"]
    assert not os.path.exists(f"/dev/shm/{name}") and not os.path.exists(f"/dev/shm/{_blocks.arena_name(arena)}")


@pytest.mark.parametrize("how", ["copy", "whole"])
def test_a_reference_to_a_recycled_block_is_kv_edecode(programs, shm_name, how):
    name = shm_name()
    q = Queue(name, MIB, serializer=None)
    loan = q.loan(300_000)
    q.put(loan)
    del loan
    record = q._bq.get_bytes_timed(10)  # taken raw: its block is this process's
    q._decode_one([record])  # read and let go: the block is free, its generation moves on
    KelQueue.attach(name).put_bytes(record)  # the old reference again, as a replaying program would
    code, text = finish(start(programs["c", "cmake"], "take", name, how)).rstrip("\n").split("\t")[1:]
    fault = ("the block is not this record's any more (taken by another, or recycled)" if how == "copy" else
             "the block is not this process's to read (taken by another, or recycled)")
    assert (int(code), text) == (KV["KV_EDECODE"], "Queue get error: the block message cannot be read: " + fault)
    assert q.qsize() == 0 and blocks_in_use(name) == 0  # taken, and nothing kept
    q.put(b"after", timeout=10)
    assert q.get(timeout=10) == b"after"
    q.close()


SMALL_SHM = r"""
import os, subprocess, sys, warnings
import kelvane
kvc, enospc = sys.argv[1], sys.argv[2]
big = str(7 << 20)  # more than the 8 MiB /dev/shm has free beside the queues

kelvane.Queue("kt_forced", 1 << 20)
forced = subprocess.run([kvc, "put-block", "kt_forced", big], capture_output=True, text=True,
                        env=dict(os.environ, KELVANE_BLOCKS="shm")).stdout.split("\t")
assert forced[:2] == ["put", enospc] and forced[2].startswith("kv_queue_put_block: Block arena error: "), forced
assert kelvane.Queue.attach("kt_forced").qsize() == 0

with warnings.catch_warnings():
    warnings.simplefilter("ignore", ResourceWarning)  # the warning that the blocks go to a memfd
    q = kelvane.Queue("kt_box", 1 << 20, serializer=None)
    q.loan(1)  # this process makes the arena, in a memfd, and keeps it
assert subprocess.run([kvc, "put-block", "kt_box", big], capture_output=True, text=True).stdout == "put\t0\t\n"
got = q.get(timeout=10)
assert type(got) is memoryview and got.nbytes == 7 << 20 and not any(got[:4096])
del got
q.unlink()
kelvane.Queue.attach("kt_forced").unlink()
assert os.listdir("/dev/shm") == [], os.listdir("/dev/shm")
print("ok")
"""


def test_in_a_small_dev_shm_a_program_gets_kv_enospc_or_a_memfd(programs, tmp_path):
    """A private 8 MiB tmpfs on /dev/shm, as a container's: blocks forced into it run out of
    room (KV_ENOSPC, nothing put); left to choose, the program uses the memfd Python made."""
    if os.geteuid() != 0:
        pytest.skip("a private tmpfs on /dev/shm takes root (unshare -m and mount)")
    script = tmp_path / "small_shm.py"
    script.write_text(SMALL_SHM)
    shell = (f"mount -t tmpfs -o size=8m tmpfs /dev/shm && exec {sys.executable} {script} "
             f"{programs['c', 'cmake']} {KV['KV_ENOSPC']}")
    try:
        done = subprocess.run(["unshare", "-m", "sh", "-c", shell], capture_output=True, text=True, timeout=120)
    except FileNotFoundError:
        pytest.skip("no unshare here")
    if "unshare" in done.stderr and done.returncode != 0:
        pytest.skip(f"no private mount namespace here: {done.stderr.strip()}")
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


def test_cpp_loans_and_blocks_go_back_with_their_handles(programs, shm_name):
    name = shm_name()
    KelQueue(name, 1)
    out = finish(start(programs["cpp", "cmake"], "block-raii", name)).splitlines()
    assert out == ["moved\t1\t0", f"received\t{KIND['BYTES']}\t{3 * MIB} 7",
                   f"send_too_long\t{KV['KV_EINVAL']}\tkv_loan_send: 200 bytes do not fit a loan of 100", "send\t0\t", "got\t0\t100"]
    counts = BlockQueue(name).arena_counts()
    assert counts[0] == counts[1]


def hold_and_wait(name, ready):
    lock = Lock(name)
    lock.acquire()
    ready.set()
    time.sleep(600)


@pytest.mark.parametrize("holder", ["program", "python"])
@pytest.mark.parametrize("language", ["c", "cpp"])
def test_a_holder_killed_in_one_language_is_reported_in_the_other(programs, shm_name, spawn, mp, language,
                                                                   holder):
    name = shm_name()
    program = programs[language, "cmake"]
    if holder == "program":
        proc = start(program, "hold", name)
        assert read_line(proc) == "held 0"
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=30)
        lock = Lock(name)
        with pytest.raises(LockRecovered, match="^Lock recovered from dead process$"):
            lock.acquire(timeout=10)
        lock.release()  # held all the same
        assert lock.acquire(timeout=10)
        lock.release()
    else:
        ready = mp.Event()
        child = spawn(hold_and_wait, name, ready)
        assert ready.wait(30)
        child.kill()
        join_or_kill(child)
        out = finish(start(program, "acquire", name)).splitlines()
        assert out == [f"acquired {KV['KV_RECOVERED']} Lock recovered from dead process", "released 0"]
        assert finish(start(program, "acquire", name)).splitlines()[0] == "acquired 0 success"


def python_error(call, *args):
    """The message Python's own layers give for the same failure."""
    with pytest.raises((RuntimeError, ValueError)) as info:
        call(*args)
    return str(info.value)


@pytest.mark.parametrize("language", ["c", "cpp"])
def test_every_refusal_has_its_code_and_the_text_python_gives(programs, shm_name, language):
    queue, lock, junk, missing, spare = (shm_name() for _ in range(5))
    KelQueue(queue, 1)
    KelLock(lock)
    Path(_objects.object_path(junk)).write_bytes(b"\xab" * 4096)
    out = finish(start(programs[language, "cmake"], "errors", queue, lock, junk, missing))
    said = {label: (int(code), text) for label, code, text in (line.split("\t") for line in out.splitlines())}

    # The same failures in Python, where Python has them.
    fresh = KelQueue(spare, 1)
    fresh.put_bytes(b"hello, python")
    _, next_pos = fresh.recv_view()
    expected = {
        "queue_unlink_missing": ("KV_ENOENT", python_error(KelQueue.unlink, missing)),
        "attach_missing": ("KV_ENOENT", python_error(KelQueue.attach, missing)),
        "queue_on_lock": ("KV_EKIND", python_error(_objects.refuse_unless, lock, "queue")),
        "queue_on_junk": ("KV_EKIND", python_error(_objects.refuse_unless, junk, "queue")),
        "lock_on_queue": ("KV_EKIND", python_error(_objects.refuse_unless, queue, "lock")),
        "queue_unlink_lock": ("KV_EKIND", python_error(_objects.refuse_unless, lock, "queue")),
        "capacity_mismatch": ("KV_ECAPACITY", python_error(KelQueue, queue, 2).replace("size_mb", "capacity")),
        "put_never_fits": ("KV_EMSGSIZE", python_error(fresh.put_bytes, b"x" * (MIB - 3))),
        "try_get_empty": ("KV_EAGAIN", "the queue is empty"),
        "get_zero_timeout": ("KV_ETIMEDOUT", "no message came before the timeout"),
        "get_timeout": ("KV_ETIMEDOUT", "no message came before the timeout"),
        "try_view_empty": ("KV_EAGAIN", "the queue is empty"),
        "put": ("KV_OK", ""),
        "get_small_buffer": ("KV_EBUFSIZE",
                             "Queue get error: a message of 13 bytes does not fit a buffer of 4 bytes; it stays queued"),
        "view": ("KV_OK", ""),
        "commit_wrong": ("KV_EPOS", python_error(fresh.commit_read, next_pos + 1)),
        "get_alloc": ("KV_OK", ""),
        "commit_after_get": ("KV_OK", ""),
        "stats": ("KV_OK", ""),
        "release_unheld": ("KV_EPERM", python_error(KelLock(lock).release)),
        "acquire": ("KV_OK", ""),
        "acquire_again": ("KV_EDEADLK", EDEADLK_TEXT),
        "try_acquire_again": ("KV_EDEADLK", EDEADLK_TEXT),
        "release": ("KV_OK", ""),
    }
    if language == "c":
        expected["null_out"] = ("KV_EINVAL", "kv_queue_open: a required pointer is NULL")
        expected["other_still_null"] = ("KV_OK", "")
        expected["inner_slash"] = ("KV_ESYSTEM", python_error(KelQueue, "kt_inner/slash", 1))
        assert said.pop("needed") == (13, "")
    else:
        expected["name_with_nul"] = ("KV_EINVAL", python_error(KelQueue.attach, "kt_a\0b"))
        expected["release_twice"] = ("KV_OK", "")
        expected["try_acquire_other"] = ("KV_EBUSY", "another thread held the lock")
        expected["acquire_other"] = ("KV_ETIMEDOUT", "the lock stayed held until the timeout")
    assert said.pop("capacity") == (MIB, "")
    assert said.pop("got") == (13, "hello, python")
    assert said.pop("held") == (0, "0")  # nothing left in the queue
    for label in ("capacity_zero", "put_bad_timeout"):
        code, text = said.pop(label)
        assert code == KV["KV_EINVAL"] and text.startswith("kv_queue_")
    assert {label: (KV[code], text) for label, (code, text) in expected.items()} == said


def test_the_package_tells_other_builds_where_its_api_is(programs):
    assert Path(kelvane_cli("--include-dir"), "kelvane.hpp").is_file()
    assert Path(kelvane_cli("--cmake-dir"), "kelvaneConfig.cmake").is_file()
    assert Path(kelvane_cli("--pkgconfig-dir"), "kelvane.pc").is_file()
    assert kelvane_cli("--libs").split()[:2] == [f"-L{_capi.include_dir().parent / 'lib'}", "-lkelvane"]
    # scikit-build-core's cmake.root sets kelvane_ROOT to the package; pkgconf's pkg_config
    # entry point adds the .pc's directory.
    from importlib.metadata import entry_points

    roots = {ep.name: ep.value for ep in entry_points(group="cmake.root")}
    assert roots["kelvane"] == "kelvane" and Path(kelvane.__file__).parent == _capi.ROOT
    pcs = {ep.name: ep.value for ep in entry_points(group="pkg_config")}
    assert Path(_capi.ROOT.parent, *pcs["kelvane"].split(".")) == _capi.pkgconfig_dir()

    lines = finish(start(programs["c", "pkgconfig"], "version")).splitlines()
    assert lines[0].split() == [kelvane.__version__] * 3 + [str(sum(
        int(p) * w for p, w in zip(kelvane.__version__.split("."), (10000, 100, 1))))]
    texts = dict(line.split("\t") for line in lines[1:])
    assert texts["1"] == "Lock recovered from dead process" and texts["-1000"] == "unknown result code"
    assert len(set(texts.values())) == len(texts) == len(KV) + 1
