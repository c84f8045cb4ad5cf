"""A C++ producer through the shipped C++ API (kelvane.hpp, libkelvane.a) streaming to a
Python consumer (KelQueue.get_bytes): the row "C++ producer (kelvane.hpp)" of the core
group, beside the core alone and the Python producers; and, in the large group, the same
program filling numpy arrays in place in loans for a kelvane.Queue consumer (the row of
the arrays filled in place, beside Python's loan_array).

The producer is kelvane/tools/capi_producer.cpp, built once per run with the system's C++
compiler ($CXX, else c++) and the installed package's kelvane.pc flags, as a user's program
would be; the row is skipped with a note when there is no compiler or no C++ API. The
program attaches to the queue and waits for a line on standard input before it puts its
first message, so starting it is not timed.
"""

import os
import shutil
import subprocess
from pathlib import Path

from kelvane import _capi
from kelvane.tools import _bench_cases as cases
from kelvane.tools._bench_core import CoreProgram

SOURCE = Path(__file__).with_name("capi_producer.cpp")


def build(cleanup, progress):
    """Builds the producer into the run's temporary directory: a CoreProgram either way."""
    pc = _capi.pkgconfig_dir() / "kelvane.pc"
    if not pc.is_file():
        return CoreProgram(reason="this kelvane was installed without its C and C++ API")
    cxx = os.environ.get("CXX") or shutil.which("c++")
    if cxx is None:
        return CoreProgram(reason="no C++ compiler (c++ or $CXX) to build the C++ producer with")
    fields = _capi.pc_fields(pc)
    out = Path(cleanup.tmpdir) / "capi_producer"
    argv = [cxx, "-std=c++20", "-O2", *fields["Cflags"].split(), str(SOURCE), *fields["Libs"].split(), "-o", str(out)]
    progress("building the C++ producer against the installed C++ API", always=True)
    # The sanitizer run preloads its runtime into every process; the compiler does without.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=600, env=env)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return CoreProgram(reason=f"building the C++ producer failed: {exc}")
    if done.returncode != 0:
        tail = " | ".join(done.stderr.strip().splitlines()[-3:])
        return CoreProgram(reason=f"building the C++ producer failed: {tail}")
    return CoreProgram(path=str(out))


class CapiLink(cases.KelChannel):
    """The queue the producer attaches to by name; Python's end is KelQueue's."""

    def __init__(self, cleanup, program, size):
        self.program = program.require()
        super().__init__(cleanup, size, cases.ring_capacity(size))


def producer_role(program, name, size, n, *mode):
    """The producer child that runs the program: started (attached, waiting) before the
    clock, its body the run from "go" to "done"."""

    def producer():
        proc = subprocess.Popen([program, name, str(size), str(n), *mode], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if proc.stdout.readline().strip() != "ready":
            proc.kill()
            raise RuntimeError(f"capi_producer failed: {proc.communicate()[1].strip()}")

        def body():
            out, err = proc.communicate("go\n")
            if proc.returncode != 0 or out.split() != ["done"]:
                raise RuntimeError(f"capi_producer failed: {err.strip() or proc.returncode}")

        return body

    return producer


def stream_roles(link, size, n, cpus):
    """The Python consumer (get_bytes) first, then the producer child that runs the program,
    pinned as the Python rows' producer is (the program inherits the child's CPU)."""
    consumer = cases.stream_roles(link, "get", b"", n, cpus)[0]
    return [consumer, (producer_role(link.program, link.name, size, n), cpus[0])]
