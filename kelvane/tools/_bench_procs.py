"""Child processes for the benchmarks: start, pin, synchronise, time, and always clean up.

Every measurement forks fresh children from the harness process (start method "fork": a
child starts in about a millisecond, and the queues, locks and pipes made just before are
simply inherited). Each child puts itself in its own process group, so Ctrl-C reaches only
the harness, and a kill of the group also takes any grandchild (a multiprocessing.Pool's
workers) with it.
"""

import multiprocessing
import os
import shutil
import signal
import tempfile
import time
import uuid

CTX = multiprocessing.get_context("fork")
SHM_DIR = "/dev/shm"
READY_TIMEOUT = 30.0


class MeasureError(RuntimeError):
    """A measurement that could not complete (a child failed, died or hung)."""


class Unavailable(RuntimeError):
    """A peer that cannot run here; the message says why."""


def usable_cpus():
    try:
        return sorted(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return []


def pin(cpu):
    if cpu is not None:
        try:
            os.sched_setaffinity(0, {cpu})
        except OSError:
            pass


class Cleanup:
    """Everything a run creates outside its own memory, removed at the end whatever happens.

    Names are unique to this run (pid plus a random tag), so removing them can never touch
    another program's segments.
    """

    def __init__(self):
        self.tag = f"kbench_{os.getpid()}_{uuid.uuid4().hex[:8]}"
        self._count = 0
        self.shm = []  # names in /dev/shm (kelvane queues and locks, pool queues)
        self.mqueues = []
        self.semaphores = []
        self.tmpdir = tempfile.mkdtemp(prefix=self.tag + "_")
        self.children = []

    def name(self, kind):
        self._count += 1
        return f"{self.tag}_{kind}{self._count}"

    def shm_name(self, kind="q"):
        name = self.name(kind)
        self.shm.append(name)
        return name

    def path(self, kind):
        return os.path.join(self.tmpdir, self.name(kind))

    def forget_shm(self, name):
        _remove_shm(name)
        if name in self.shm:
            self.shm.remove(name)

    def close(self):
        for proc in list(self.children):
            kill_tree(proc)
        self.children.clear()
        for name in self.shm:
            _remove_shm(name)
        self.shm.clear()
        try:
            import posix_ipc
        except ImportError:
            posix_ipc = None
        if posix_ipc is not None:
            for name in self.mqueues:
                try:
                    posix_ipc.unlink_message_queue(name)
                except posix_ipc.ExistentialError:
                    pass
            for name in self.semaphores:
                try:
                    posix_ipc.unlink_semaphore(name)
                except posix_ipc.ExistentialError:
                    pass
        self.mqueues.clear()
        self.semaphores.clear()
        shutil.rmtree(self.tmpdir, ignore_errors=True)


def _remove_shm(name):
    try:
        os.unlink(os.path.join(SHM_DIR, name.lstrip("/")))
    except FileNotFoundError:
        pass


def kill_tree(proc):
    """SIGKILL a child's process group (the child and whatever it started), then reap it."""
    if proc.pid is None:
        return
    if proc.exitcode is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.kill()
        except (ProcessLookupError, OSError):
            pass
    proc.join(5)


def _child_main(conn, start, cpu, job):
    # Own process group: Ctrl-C goes to the harness only, which then ends us.
    try:
        os.setpgid(0, 0)
    except OSError:
        pass
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        pin(cpu)
        prepared = job()
        body, after = prepared if isinstance(prepared, tuple) else (prepared, None)
        conn.send(("ready",))
        start.wait()
        t0 = time.perf_counter()
        extra = body()
        t1 = time.perf_counter()
        if after is not None:
            after()
        conn.send(("done", t0, t1, extra))
    except BaseException as exc:  # reported to the harness, which fails the measurement
        try:
            conn.send(("error", f"{type(exc).__name__}: {exc}"))
        except Exception:
            pass
    finally:
        conn.close()


def _receive(conn, proc, deadline, what):
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise MeasureError(f"{what}: a child did not answer in time")
        if conn.poll(min(left, 0.5)):
            try:
                msg = conn.recv()
            except (EOFError, OSError):
                raise MeasureError(f"{what}: a child died (exit code {proc.exitcode})") from None
            if msg[0] == "error":
                raise MeasureError(f"{what}: {msg[1]}")
            return msg
        if proc.exitcode is not None and not conn.poll(0):
            raise MeasureError(f"{what}: a child died (exit code {proc.exitcode})")


def run_group(cleanup, roles, timeout, what="measurement"):
    """Runs one measurement: one child per role, started in order, each ready (set up,
    pinned, connected) before the next forks; then all start at once.

    roles: list of (job, cpu); job() runs in the child, sets up, and returns body or
    (body, after); body() is the timed part, its return value comes back as `extra`.
    Returns a list of (t0, t1, extra) per role, times on the shared monotonic clock.
    """
    start = CTX.Event()
    started = []
    try:
        for job, cpu in roles:
            recv_end, send_end = CTX.Pipe(duplex=False)
            proc = CTX.Process(target=_child_main, args=(send_end, start, cpu, job))
            proc.start()
            cleanup.children.append(proc)
            try:
                os.setpgid(proc.pid, proc.pid)
            except OSError:
                pass  # the child did it already, or has exited (seen below)
            send_end.close()
            started.append((proc, recv_end))
            _receive(recv_end, proc, time.monotonic() + READY_TIMEOUT, what)
        start.set()
        deadline = time.monotonic() + timeout
        results = []
        for proc, conn in started:
            _, t0, t1, extra = _receive(conn, proc, deadline, what)
            results.append((t0, t1, extra))
        for proc, _ in started:
            proc.join(max(0.1, deadline - time.monotonic()))
        return results
    finally:
        for proc, conn in started:
            conn.close()
            if proc.exitcode is None:
                kill_tree(proc)
            else:
                proc.join(1)
            if proc in cleanup.children:
                cleanup.children.remove(proc)


def proc_status():
    """VmSize, VmRSS, RssAnon, RssShmem of this process in bytes (from /proc/self/status)."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmSize", "VmRSS", "RssAnon", "RssFile", "RssShmem"):
                out[key] = int(rest.split()[0]) * 1024
    return out
