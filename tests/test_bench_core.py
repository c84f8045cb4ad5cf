"""python -m kelvane bench --only core: the core alone (bench/core_stream.cpp, built from
the source tree) beside get_bytes and kelvane.Queue, or a note where it cannot be built."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]
SIZES = [64, 1024, 65536, 1 << 20]


def bench(*args, cwd):
    return subprocess.run([sys.executable, "-m", "kelvane", "bench", "--only", "core", "--quick", "--reps", "1",
                           "--seconds", "0.03", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


def rows(path):
    return {(r["transport"], r["size"]): r for r in json.loads(path.read_text())["records"]}


def test_without_a_source_tree_the_core_row_says_why(tmp_path):
    done = bench("--source", str(tmp_path), "--json", str(tmp_path / "run.json"), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    records = rows(tmp_path / "run.json")
    for size in SIZES:
        core = records[("kelvane core (C++)", size)]
        assert core["rate"] is None and core["note"].startswith("skipped: no kelvane source tree at ")
        assert records[("kelvane get_bytes", size)]["rate"] > 0  # the other layers are measured all the same
    assert "kelvane core (C++)" in done.stdout and "skipped: no kelvane source tree" in done.stdout


@pytest.fixture(scope="module")
def core_program(tmp_path_factory):
    """The program as the bench builds it from this source tree."""
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    if not (SOURCE / "bench" / "core_stream.cpp").is_file():
        pytest.skip("the tests run outside a source tree")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer run preloads ASan into every process, the compiler's too; the plain runs build "
                    "the core benchmark")
    from kelvane.tools import _bench_core, _bench_procs

    cleanup = _bench_procs.Cleanup()
    try:
        program = _bench_core.build(str(SOURCE), cleanup, lambda text, always=False: None)
    finally:
        cleanup.close()
    assert program.path is not None, program.reason
    return program.path


def test_the_core_row_measures_the_core_built_from_this_tree(core_program, tmp_path):
    before = set(os.listdir("/dev/shm"))
    done = bench("--source", str(SOURCE), "--json", str(tmp_path / "run.json"), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    records = rows(tmp_path / "run.json")
    for size in SIZES:
        core = records[("kelvane core (C++)", size)]
        assert "note" not in core and core["rate"] > 0, core
        assert core["bytes_per_s"] == pytest.approx(core["rate"] * size)
        assert records[("C++ producer (kelvane.hpp)", size)]["rate"] > 0  # the shipped C++ API into get_bytes
    assert "x core (C++)" in done.stdout
    assert not [n for n in set(os.listdir("/dev/shm")) - before if n.startswith("kbench_")]


@pytest.mark.parametrize("argv, words", [
    (["0", "10", "1", "-", "-"], "SIZE must be at least 1"),
    ([str((1 << 20) - 3), "10", "1", "-", "-"], "SIZE must be at least 1 and fit the ring"),
    (["64", "10", "1", "99999", "-"], "usage: kelvane_core_stream"),
    (["64", "10"], "usage: kelvane_core_stream"),
])
def test_the_core_program_refuses_what_cannot_run(core_program, shm_name, argv, words):
    name = shm_name("core")
    done = subprocess.run([core_program, name, *argv], capture_output=True, text=True, timeout=30)
    assert done.returncode in (1, 2) and words in done.stderr
    assert not os.path.exists(f"/dev/shm/{name}")


def test_the_core_program_streams_and_removes_its_queue(core_program, shm_name):
    name = shm_name("core")
    done = subprocess.run([core_program, name, "1000", "5000", "1", "-", "-"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    times = json.loads(done.stdout)
    assert (times["size"], times["messages"], times["capacity"]) == (1000, 5000, 1 << 20)
    assert times["producer_start"] <= times["producer_end"] and times["consumer_start"] <= times["consumer_end"]
    assert not os.path.exists(f"/dev/shm/{name}")
    taken = subprocess.run([core_program, name, "64", "10", "1", "-", "-"], capture_output=True, timeout=30)
    assert taken.returncode == 0  # the name was free again
