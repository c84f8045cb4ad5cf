"""kelvane ls / rm, run as a user runs them, against real locks, queues and pools.

Other people's segments may sit in /dev/shm while this runs: every `rm --stale` here
is restricted with --prefix to this test's own names."""

import json
import os
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import QUEUE_HEADER, advance_to, join_or_kill, shm_path
from kelvane_core import KelLock, KelPoolCore, KelQueue

D = 1 << 20
KEYS = {"name", "kind", "pool", "size", "capacity", "bytes_held", "messages", "ready", "damaged",
        "age_seconds", "users"}


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


def _lock_image(mark):
    image = bytearray(4096)
    image[64:72] = mark
    return bytes(image)


@pytest.mark.parametrize(
    "content, mode, kind, ready",
    [
        (b"somebody else's", 0o600, None, None),
        (random.Random(1).randbytes(4096), 0o600, None, None),
        (_lock_image(b"KELLOCK1"), 0o644, "lock", True),
        (_lock_image(b"KELLOCK1")[:-1] + b"\x01", 0o600, "lock", True),
        (bytes(4096), 0o644, None, None),
        (bytes(4096), 0o600, "lock", False),
        (random.Random(2).randbytes(D + QUEUE_HEADER), 0o600, None, None),
        (bytes(D + QUEUE_HEADER), 0o644, None, None),
        (bytes(D + QUEUE_HEADER), 0o600, "queue", False),
    ],
    ids=["text", "random-4k", "marked-lock", "marked-lock-with-tail", "zero-4k-0644", "zero-4k-0600",
         "random-queue-size", "zero-queue-size-0644", "zero-queue-size-0600"],
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

    swept = kelvane("rm", "--stale", "--prefix", name)
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
    swept = kelvane("rm", "--stale", "--prefix", name)  # still kelvane's, and nobody uses it
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
    for sweep in (("rm", "--stale", "--prefix", name), ("rm", "--stale", "--dry-run", "--prefix", name)):
        kept = kelvane(*sweep)
        assert kept.returncode == 0 and name not in kept.stdout
    assert os.path.exists(shm_path(name))

    child.kill()
    join_or_kill(child)
    assert user_pids(listing(name)[name]) == []
    dry = kelvane("rm", "--stale", "--dry-run", "--prefix", name)
    assert dry.returncode == 0 and f"would remove {name}" in dry.stdout
    assert os.path.exists(shm_path(name))
    swept = kelvane("rm", "--stale", "--prefix", name)
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
    [[], ["frobnicate"], ["rm"], ["rm", "--stale", "x"], ["rm", "--stale", "--force"],
     ["rm", "x", "--prefix", "p"], ["ls", "--bogus"], ["ls", "x"]],
    ids=["nothing", "unknown-command", "rm-nothing", "stale-and-names", "stale-force", "prefix-with-names",
         "ls-bad-flag", "ls-name"],
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
