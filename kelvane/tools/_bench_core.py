"""The core alone: bench/core_stream.cpp, built from a kelvane source tree and run beside
get_bytes, so that the cost of the Python layer over its own core is a ratio of one run.

The program is no part of the wheel. The bench builds it once per run with CMake from the
source tree it finds (--source DIR, else $KELVANE_SOURCE, else the current directory or
one of its parents, else the tree the package itself was imported from) into
build/core-bench there, and skips the row with a note when there is no tree, no CMake or
no compiler.
"""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import kelvane
from kelvane.tools._bench_procs import Unavailable

PROGRAM = "kelvane_core_stream"
MARKS = ("CMakeLists.txt", "bench/core_stream.cpp", "src/core/queue.hpp")


def is_source_tree(path):
    return all((Path(path) / mark).is_file() for mark in MARKS)


def find_source(given=None):
    """The source tree to build from, or None."""
    if given:
        return Path(given).resolve() if is_source_tree(given) else None
    env = os.environ.get("KELVANE_SOURCE")
    if env:
        return Path(env).resolve() if is_source_tree(env) else None
    here = Path.cwd().resolve()
    for candidate in (here, *here.parents, Path(kelvane.__file__).resolve().parents[1]):
        if is_source_tree(candidate):
            return candidate
    return None


class CoreProgram:
    """The built program, or why there is none (Unavailable at make time)."""

    def __init__(self, path=None, reason=None, source=None):
        self.path, self.reason, self.source = path, reason, source

    def require(self):
        if self.path is None:
            raise Unavailable(self.reason)
        return self.path


def _writable_build_dir(source, cleanup):
    build = source / "build" / "core-bench"
    try:
        build.mkdir(parents=True, exist_ok=True)
        probe = tempfile.NamedTemporaryFile(dir=build)
        probe.close()
        return build
    except OSError:
        return Path(cleanup.tmpdir) / "core-bench"  # removed with the run's other files


def build(given_source, cleanup, progress):
    """Builds the program (CMake configure, then build of its target alone): a
    CoreProgram either way."""
    source = find_source(given_source)
    if source is None:
        where = f"at {given_source}" if given_source else "here"
        return CoreProgram(reason=f"no kelvane source tree {where} (run from a checkout or an unpacked "
                                  "sdist, or give --source DIR)")
    cmake = shutil.which("cmake")
    if cmake is None:
        return CoreProgram(reason="cmake is not installed: the core benchmark is built from the source tree",
                           source=source)
    build_dir = _writable_build_dir(source, cleanup)
    progress(f"building the core benchmark from {source} into {build_dir}", always=True)
    steps = [
        [cmake, "-S", str(source), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         "-DKELVANE_MODULE=OFF", "-DKELVANE_BENCH=ON", "-DKELVANE_GLIBC_FLOOR=OFF"],
        [cmake, "--build", str(build_dir), "--target", PROGRAM, "--parallel", str(os.cpu_count() or 1)],
    ]
    for argv in steps:
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=600)
        except (OSError, subprocess.TimeoutExpired) as exc:
            return CoreProgram(reason=f"building the core benchmark failed: {exc}", source=source)
        if done.returncode != 0:
            tail = " | ".join((done.stdout + done.stderr).strip().splitlines()[-3:])
            return CoreProgram(reason=f"building the core benchmark failed: {tail}", source=source)
    path = build_dir / PROGRAM
    if not path.is_file():
        return CoreProgram(reason=f"building the core benchmark made no {path}", source=source)
    return CoreProgram(path=str(path), source=source)


class CoreLink:
    """The name the program creates its queue under; removed by the run's Cleanup should
    the program be killed before it removes it itself."""

    def __init__(self, cleanup, program):
        self.program = program.require()
        self._cleanup = cleanup
        self.name = cleanup.shm_name("core")

    def release(self):
        self._cleanup.forget_shm(self.name)


def stream_roles(link, size, capacity_mb, n, cpus):
    """One child that runs the program; the program forks its own consumer and producer,
    pinned as the Python rows' are, and times them itself."""

    def cpu(c):
        return "-" if c is None else str(c)

    argv = [link.program, link.name, str(size), str(n), str(capacity_mb), cpu(cpus[0]), cpu(cpus[1])]

    def job():
        def body():
            done = subprocess.run(argv, capture_output=True, text=True)
            if done.returncode != 0:
                raise RuntimeError(f"{PROGRAM} failed: {done.stderr.strip() or done.returncode}")
            return json.loads(done.stdout)

        return body

    return [(job, None)]


def rate(results, n):
    """Messages over the time from the first start to the consumer's last message."""
    times = results[0][2]
    return n / (times["consumer_end"] - min(times["producer_start"], times["consumer_start"]))
