"""kelvane ls / rm, run as a user runs them, against real locks, queues and pools.

Other people's segments may sit in /dev/shm while this runs: every `rm --stale` here
is restricted with --prefix to this test's own names."""

import functools
import json
import os
import random
import struct
import subprocess
import sys
from multiprocessing import shared_memory
from pathlib import Path

import pytest

from conftest import QUEUE_HEADER, advance_to, join_or_kill, shm_path
from kelvane.lock import Lock as LayerLock
from kelvane.queue import Queue as LayerQueue
from kelvane_core import KelLock, KelPoolCore, KelQueue

D = 1 << 20
KEYS = {"name", "kind", "pool", "size", "capacity", "bytes_held", "messages", "ready", "damaged",
        "age_seconds", "users", "queue", "creator", "blocks"}


def kelvane(*args, timeout=30):
    return subprocess.run([sys.executable, "-m", "kelvane", *args], capture_output=True, text=True,
                          timeout=timeout)


def listing(prefix, *extra):
    """name -> entry of `ls --json --prefix prefix`."""
    done = kelvane("ls", "--json", "--prefix", prefix, *extra)
    assert done.returncode == 0, done.stderr
    entries = json.loads(done.stdout)
    for entry in entries:
        assert set(entry) == KEYS
    return {entry["name"]: entry for entry in entries}


@functools.cache
def stale_sweep():
    """`rm --stale`, with --force where this process can neither see every process nor count
    mappings (not root, say): the sweep would otherwise keep everything, rightly. --force
    still never removes what a process seen uses or what carries the in-use mark."""
    probe = f"kt_cli_probe_{os.getpid()}"
    KelLock(probe)
    try:
        done = kelvane("rm", "--stale", "--dry-run", "--prefix", probe)
    finally:
        os.unlink(shm_path(probe))
    return ("rm", "--stale") if done.returncode == 0 else ("rm", "--stale", "--force")


def user_pids(entry):
    return [user["pid"] for user in entry["users"]]


def _hold(name, how, held, stop):
    """Child: keeps the object in use (mapped as a queue, or only open) until told to stop."""
    if how == "maps":
        keep = KelQueue(name, 1)
    else:
        keep = os.open(shm_path(name), os.O_RDONLY)
    held.set()
    stop.wait(60)
    del keep


def make(kind, name):
    """Makes a lock or a 1 MiB queue and drops this process's handle of it."""
    obj = KelLock(name) if kind == "lock" else KelQueue(name, 1)
    del obj


# --- ls ------------------------------------------------------------------------------------


@pytest.mark.parametrize("offset", [0, D - 2, D - 100], ids=["from-start", "length-wraps", "payload-wraps"])
def test_ls_counts_the_messages_a_queue_holds(shm_name, offset):
    name = shm_name("cli")
    q = KelQueue(name, 1)
    start = advance_to(q, name, offset)
    payloads = [b"w" * 70000, b"", b"abc"]  # every byte of the first length is non-zero
    for payload in payloads:
        q.put_bytes(payload)

    entry = listing(name)[name]
    assert entry["kind"] == "queue" and entry["pool"] is None
    assert (entry["size"], entry["capacity"]) == (D + QUEUE_HEADER, D)
    assert (entry["bytes_held"], entry["messages"]) == (sum(4 + len(p) for p in payloads), 3)
    assert entry["ready"] is True and entry["damaged"] is None
    assert user_pids(entry) == [os.getpid()]  # mapped three times, one user
    assert start % D == offset

    assert q.get_bytes() == payloads[0]
    entry = listing(name)[name]
    assert (entry["bytes_held"], entry["messages"]) == (4 + 4 + 3, 2)  # the walk starts after the wrap
    q.get_bytes(), q.get_bytes()
    entry = listing(name)[name]
    assert (entry["bytes_held"], entry["messages"]) == (0, 0)


def test_ls_tells_locks_queues_and_pools_apart(shm_name):
    base = shm_name("cli")
    lock, queue, pool = KelLock(base + "_lock"), KelQueue(base + "_queue", 1), KelPoolCore(1)
    try:
        mine = listing(base)
        assert {n: e["kind"] for n, e in mine.items()} == {base + "_lock": "lock", base + "_queue": "queue"}
        assert mine[base + "_lock"]["size"] == 4096 and mine[base + "_lock"]["capacity"] is None
        assert all(e["ready"] and user_pids(e) == [os.getpid()] for e in mine.values())

        pools = listing("kp_")
        task, result = pools[pool.task_q_name], pools[pool.result_q_name]
        identifier = pool.task_q_name.removeprefix("kp_task_")
        assert (task["kind"], result["kind"]) == ("pool-task", "pool-result")
        assert task["pool"] == result["pool"] == identifier
        assert task["capacity"] == result["capacity"] == D

        table = kelvane("ls", "--prefix", base)
        assert table.returncode == 0, table.stderr
        rows = {line.split()[0]: line.split() for line in table.stdout.splitlines()[1:]}
        assert rows[base + "_lock"][1] == "lock" and rows[base + "_queue"][1] == "queue"
        assert all(str(os.getpid()) in row for row in rows.values())
    finally:
        pool.unlink()
    del lock, queue


def test_ls_reports_nothing_for_an_unused_prefix(shm_name):
    prefix = shm_name("cli")
    assert listing(prefix) == {}
    assert "no kelvane segments" in kelvane("ls", "--prefix", prefix).stdout


# --- what is not kelvane's -----------------------------------------------------------------


def _lock_image(mark, kind=0x92):
    """A lock object as kelvane writes it: the mutex's kind word (robust, process-shared,
    error-checking) at 16, the ready mark at 64."""
    image = bytearray(4096)
    image[16:20] = struct.pack("<i", kind)
    image[64:72] = mark
    return bytes(image)


def _queue_image(ready, capacity, kind=0x90):
    image = bytearray(D + QUEUE_HEADER)
    image[16:20] = struct.pack("<i", kind)
    image[384:416] = struct.pack("<4Q", 0, 0, capacity, ready)
    return bytes(image)


@pytest.mark.parametrize(
    "content, mode, kind, ready",
    [
        (b"somebody else's", 0o600, None, None),
        (random.Random(1).randbytes(4096), 0o600, None, None),
        (_lock_image(b"KELLOCK1"), 0o644, "lock", True),
        (_lock_image(b"KELLOCK1")[:-1] + b"\x01", 0o600, "lock", True),
        (_lock_image(b"KELLOCK1", kind=0), 0o600, "lock", True),
        (bytes(4096), 0o644, None, None),
        (bytes(4096), 0o600, None, None),
        (bytes(range(64)) + bytes(4032), 0o600, None, None),
        (_lock_image(bytes(8)), 0o600, "lock", False),
        (_lock_image(bytes(8)), 0o644, None, None),
        (random.Random(2).randbytes(D + QUEUE_HEADER), 0o600, None, None),
        (bytes(D + QUEUE_HEADER), 0o644, None, None),
        (bytes(D + QUEUE_HEADER), 0o600, None, None),
        (_queue_image(0, D), 0o600, "queue", False),
        (_queue_image(0, D, kind=0), 0o600, None, None),
        (_queue_image(1, D), 0o644, "queue", True),
        (_queue_image(1, D, kind=0), 0o600, "queue", True),
        (_queue_image(7, D, kind=0), 0o600, None, None),
    ],
    ids=["text", "random-4k", "marked-lock", "marked-lock-with-tail", "marked-lock-without-mutex", "zero-4k-0644",
         "zero-4k-0600", "data-then-zero-4k", "lock-being-made", "lock-being-made-0644", "random-queue-size",
         "zero-queue-size-0644", "zero-queue-size-0600", "queue-being-made", "zero-mutex-queue-being-made",
         "ready-queue", "ready-queue-without-mutex", "odd-ready-without-mutex"],
)
def test_only_kelvane_objects_are_listed_and_swept(shm_name, content, mode, kind, ready):
    name = shm_name("cli")
    path = Path(shm_path(name))
    path.write_bytes(content)
    path.chmod(mode)

    listed = listing(name)
    if kind is None:
        assert listed == {}
        assert listing(name, "--all")[name]["kind"] == "other"
    else:
        assert listed[name]["kind"] == kind and listed[name]["ready"] is ready

    swept = kelvane(*stale_sweep(), "--prefix", name)
    assert swept.returncode == 0, swept.stderr
    if kind is None:
        assert path.read_bytes() == content and "removed" not in swept.stdout
    else:
        assert not path.exists() and f"removed {name}" in swept.stdout


# --- damaged queues ------------------------------------------------------------------------


def _poke(name, offset, fmt, *values):
    with open(shm_path(name), "r+b") as f:
        f.seek(offset)
        f.write(struct.pack(fmt, *values))


@pytest.mark.parametrize(
    "damage, expected",
    [
        ((384, "<2Q", 100, 50), "behind read position"),
        ((384, "<2Q", 0, D + 8), "more than the capacity"),
        ((392, "<Q", 9), "runs past the write position"),
        ((QUEUE_HEADER, "<I", 1000), "(length 1000) runs past"),
        ((QUEUE_HEADER, "<I", 0xFFFFFFFF), "(length 4294967295) runs past"),
        ((400, "<Q", 2 * D), "records a capacity of 2097152 bytes"),
        ((408, "<Q", 7), "ready field holds 7"),
        ((1000, "<Q", 1), "always zero"),
    ],
    ids=["write-behind-read", "over-capacity", "cut-prefix", "long-record", "huge-length", "capacity",
         "ready", "reserved"],
)
def test_damaged_queue_is_reported_not_trusted(shm_name, damage, expected):
    name = shm_name("cli")
    q = KelQueue(name, 1)
    q.put_bytes(b"abc")
    q.put_bytes(b"defgh")
    del q
    _poke(name, *damage)

    entry = listing(name)[name]
    assert entry["kind"] == "queue" and expected in entry["damaged"]
    table = kelvane("ls", "--prefix", name)
    assert table.returncode == 0 and "DAMAGED" in table.stdout and expected in table.stdout
    swept = kelvane(*stale_sweep(), "--prefix", name)  # still kelvane's, and nobody uses it
    assert swept.returncode == 0 and not os.path.exists(shm_path(name))


# --- in use, then stale --------------------------------------------------------------------


@pytest.mark.parametrize("kind, how", [("queue", "maps"), ("lock", "open")])
def test_object_in_use_is_kept_until_its_user_dies(shm_name, spawn, mp, kind, how):
    name = shm_name("cli")
    make(kind, name)
    held, stop = mp.Event(), mp.Event()
    child = spawn(_hold, name, how, held, stop)
    assert held.wait(30), "the child did not open the object"

    entry = listing(name)[name]
    assert entry["kind"] == kind and user_pids(entry) == [child.pid]
    refused = kelvane("rm", name)
    assert refused.returncode == 1 and f"pid {child.pid}" in refused.stderr and "--force" in refused.stderr
    for sweep in ((*stale_sweep(), "--prefix", name), (*stale_sweep(), "--dry-run", "--prefix", name)):
        kept = kelvane(*sweep)
        assert kept.returncode == 0 and name not in kept.stdout
    assert os.path.exists(shm_path(name))

    child.kill()
    join_or_kill(child)
    assert user_pids(listing(name)[name]) == []
    dry = kelvane(*stale_sweep(), "--dry-run", "--prefix", name)
    assert dry.returncode == 0 and f"would remove {name}" in dry.stdout
    assert os.path.exists(shm_path(name))
    swept = kelvane(*stale_sweep(), "--prefix", name)
    assert swept.returncode == 0 and swept.stdout == f"removed {name}\n"
    assert not os.path.exists(shm_path(name))


def test_force_removes_a_name_in_use(shm_name, spawn, mp):
    name = shm_name("cli")
    make("queue", name)
    held, stop = mp.Event(), mp.Event()
    child = spawn(_hold, name, "maps", held, stop)
    assert held.wait(30), "the child did not open the object"

    forced = kelvane("rm", "--force", "/" + name)
    assert forced.returncode == 0 and forced.stdout == f"removed {name}\n"
    assert not os.path.exists(shm_path(name))
    stop.set()
    assert join_or_kill(child) == 0


# --- rm by name ----------------------------------------------------------------------------


def test_rm_removes_every_name_it_can(shm_name):
    base = shm_name("cli")
    make("lock", base + "_lock")
    make("queue", base + "_queue")
    missing = base + "_missing"

    done = kelvane("rm", base + "_lock", missing, "/" + base + "_queue")
    assert done.returncode == 1
    assert done.stderr == f"kelvane rm: {missing}: no such segment\n"
    assert sorted(done.stdout.splitlines()) == [f"removed {base}_lock", f"removed {base}_queue"]
    assert listing(base, "--all") == {}


def test_rm_dry_run_by_name_removes_nothing(shm_name):
    name = shm_name("cli")
    make("lock", name)
    done = kelvane("rm", "--dry-run", name)
    assert done.returncode == 0 and done.stdout == f"would remove {name}\n"
    assert os.path.exists(shm_path(name))


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["rm"], ["rm", "--stale", "x"], ["rm", "--stale", "--force", "x"],
     ["rm", "x", "--prefix", "p"], ["ls", "--bogus"], ["ls", "x"], ["top", "x"], ["top", "--interval", "0"],
     ["top", "--count", "0"]],
    ids=["nothing", "unknown-command", "rm-nothing", "stale-and-names", "stale-force-and-names",
         "prefix-with-names", "ls-bad-flag", "ls-name", "top-name", "top-interval-0", "top-count-0"],
)
def test_usage_errors_exit_2(args):
    done = kelvane(*args)
    assert done.returncode == 2 and "usage" in done.stderr + done.stdout


@pytest.mark.parametrize("bad", ["a/b", "/", "..", ""])
def test_rm_refuses_what_is_no_segment_name(bad):
    done = kelvane("rm", bad)
    assert done.returncode == 1 and "is not a segment name" in done.stderr


def test_console_script(shm_name):
    name = shm_name("cli")
    make("queue", name)
    script = Path(sys.executable).with_name("kelvane")
    done = subprocess.run([script, "ls", "--json", "--prefix", name], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert [e["kind"] for e in json.loads(done.stdout)] == ["queue"]
    assert "ls" in kelvane("--help").stdout and "rm" in kelvane("--help").stdout


# --- what is not kelvane's, made by others --------------------------------------------------


@pytest.mark.parametrize("head", [bytes(64), bytes(range(64))], ids=["zero", "data-then-zero"])
def test_a_multiprocessing_shared_memory_block_is_not_taken_for_a_lock(shm_name, head):
    name = shm_name("cli")
    block = shared_memory.SharedMemory(name=name, create=True, size=4096)
    try:
        block.buf[:64] = head
        assert listing(name) == {}
        assert listing(name, "--all")[name]["kind"] == "other"
        swept = kelvane(*stale_sweep(), "--prefix", name)
        assert swept.returncode == 0 and "removed" not in swept.stdout
        assert os.path.exists(shm_path(name))
    finally:
        block.close()
        block.unlink()


# --- odd names -----------------------------------------------------------------------------

ODD = {"newline": "new\nline", "tab": "a\tb", "space": "a b", "escape": "\x1b[31mred", "quote": "it's"}


@pytest.mark.parametrize("odd", list(ODD.values()), ids=list(ODD))
def test_odd_names_are_quoted_and_their_users_found(shm_name, spawn, mp, odd):
    base = shm_name("cli")
    name = base + odd
    make("queue", name)
    held, stop = mp.Event(), mp.Event()
    child = spawn(_hold, name, "maps", held, stop)
    assert held.wait(30), "the child did not map the queue"

    assert user_pids(listing(base)[name]) == [child.pid]
    table = kelvane("ls", "--prefix", base)
    assert table.returncode == 0
    lines = table.stdout.splitlines()
    assert len(lines) == 2 and lines[1].startswith(repr(name)) and str(child.pid) in lines[1]
    kept = kelvane(*stale_sweep(), "--prefix", base)
    assert kept.returncode == 0 and os.path.exists(shm_path(name))
    refused = kelvane("rm", name)
    assert refused.returncode == 1 and repr(name) in refused.stderr

    stop.set()
    assert join_or_kill(child) == 0
    swept = kelvane(*stale_sweep(), "--prefix", base)
    assert swept.returncode == 0 and swept.stdout == f"removed {repr(name)}\n"
    assert not os.path.exists(shm_path(name))


def test_a_name_that_is_not_utf8_is_listed_and_removed(shm_name):
    base = shm_name("cli")
    make("queue", base)
    odd = os.fsencode(shm_path(base)) + b"\xff"
    os.rename(shm_path(base), odd)
    shown = os.fsdecode(os.path.basename(odd))
    try:
        entry = listing(base)[shown]
        assert entry["kind"] == "queue" and entry["users"] == []
        table = kelvane("ls", "--prefix", base)
        assert table.returncode == 0 and repr(shown) in table.stdout
        done = subprocess.run([sys.executable, "-m", "kelvane", "rm", os.path.basename(odd)],
                              capture_output=True, timeout=30)
        assert done.returncode == 0, done.stderr
        assert not os.path.exists(odd)
    finally:
        if os.path.exists(odd):
            os.unlink(odd)


# --- processes this one cannot see ---------------------------------------------------------


@functools.cache
def can_hide(*extra):
    try:
        done = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", *extra, "true"], capture_output=True,
                              timeout=30)
    except (OSError, subprocess.SubprocessError):
        return False
    return done.returncode == 0


WITHOUT_SYS_ADMIN = ("setpriv", "--bounding-set=-sys_admin")


def kelvane_unseen(count_mappings, *args):
    """Runs the CLI as from a container that shares /dev/shm but not the process table;
    without CAP_SYS_ADMIN, it cannot count an object's mappings either."""
    command = ["unshare", "--pid", "--fork", "--mount-proc"]
    if not count_mappings:
        command += WITHOUT_SYS_ADMIN
    return subprocess.run([*command, sys.executable, "-m", "kelvane", *args], capture_output=True, text=True,
                          timeout=60)


@pytest.mark.skipif(not can_hide(), reason="needs unshare --pid (root, or user namespaces)")
@pytest.mark.parametrize("count_mappings", [True, False], ids=["root", "no-sys-admin"])
@pytest.mark.parametrize("holder", ["KelQueue", "KelLock", "kelvane.Queue", "kelvane.Lock"])
def test_a_sweep_from_another_pid_namespace_removes_nothing_in_use(shm_name, holder, count_mappings):
    if not count_mappings and not can_hide(*WITHOUT_SYS_ADMIN):
        pytest.skip("needs setpriv")
    name = shm_name("cli")
    user = {"KelQueue": lambda: KelQueue(name, 1), "KelLock": lambda: KelLock(name),
            "kelvane.Queue": lambda: LayerQueue(name, D), "kelvane.Lock": lambda: LayerLock(name)}[holder]()
    marked = holder.startswith("kelvane.")

    seen = kelvane_unseen(count_mappings, "ls", "--json", "--prefix", name)
    assert seen.returncode == 0, seen.stderr
    users = json.loads(seen.stdout)[0]["users"]
    if marked or count_mappings:
        assert [u["pid"] for u in users] == [None]  # in use, by a process it cannot see
        assert "in-use mark" in users[0]["command"] if marked else "1 mapping" == users[0]["command"]
    else:
        assert users == [] and "cannot see every process" in seen.stderr

    swept = kelvane_unseen(count_mappings, "rm", "--stale", "--prefix", name)
    dry = kelvane_unseen(count_mappings, "rm", "--stale", "--dry-run", "--prefix", name)
    assert os.path.exists(shm_path(name))
    if marked or count_mappings:
        assert (swept.returncode, swept.stdout) == (0, "no stale kelvane segments\n")
        assert (dry.returncode, dry.stdout) == (0, "no stale kelvane segments\n")
    else:
        assert swept.returncode == 1 and swept.stdout == "" and f"kept {name}" in swept.stderr
        assert "--force" in swept.stderr
        assert dry.returncode == 1 and dry.stdout == ""

    forced = kelvane_unseen(count_mappings, "rm", "--stale", "--force", "--prefix", name)
    assert forced.returncode == 0, forced.stderr
    if marked or count_mappings:
        assert forced.stdout == "no stale kelvane segments\n" and os.path.exists(shm_path(name))
        named = kelvane_unseen(count_mappings, "rm", name)
        assert named.returncode == 1 and "a process this one cannot see" in named.stderr
        assert os.path.exists(shm_path(name))
    else:
        # Only the user's --force, and no sign of use, let it go.
        assert forced.stdout == f"removed {name}\n" and not os.path.exists(shm_path(name))
    del user


def test_a_sweep_in_this_namespace_names_the_users_it_sees(shm_name):
    name = shm_name("cli")
    user = LayerQueue(name, D)
    entry = listing(name)[name]
    assert user_pids(entry) == [os.getpid()]  # seen in /proc: the mark adds nothing hidden
    user.close()
    assert user_pids(listing(name)[name]) == []
