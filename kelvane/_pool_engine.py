"""The owner's side of kelvane.Pool: the engine that starts and watches the worker
processes, puts tasks, and settles futures and map items from the results a collector
thread takes (kelvane._pool_worker is the workers' side and the message layouts).

The errors a pool raises are defined here and belong to kelvane.pool, where users import
them from.
"""

from __future__ import annotations

import atexit
import collections
import os
import pickle
import select
import signal
import sys
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from concurrent.futures import BrokenExecutor, CancelledError, Future
from multiprocessing.connection import wait as _wait_sentinels
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from typing import TYPE_CHECKING, Any, TypeAlias, TypeVar, cast

from kelvane import _blocks, _objects, _side
from kelvane._side import side_min
from kelvane._pool_worker import (_BYE, _CANCELLED, _ERROR, _EVENT, _HELLO, _INIT_FAILED, _LOCAL, _OK, _RESULT,
                                  _RESULT_HEAD, _STOP, _TASK, _TASK_HEAD, _VALUE, _Slots, _worker_main)
from kelvane_core import KelPoolCore, KelQueue

if TYPE_CHECKING:
    from kelvane.pool import _MapJob

MiB = 1 << 20

_POLL = 0.05  # seconds between the collector's looks at its workers
_BACKLOG_POLL = 0.002  # the collector's wait for results while callbacks' tasks wait for room
_LOST_GAP = 0.1  # seconds between the two looks that declare a task lost
_STOP_GRACE = 10.0  # seconds stopped workers get to exit before they are terminated
_KILL_GRACE = 1.0  # seconds terminated workers get before SIGKILL
_STARTUP_FAILURES = 3  # workers in a row dying before they report in: the pool is broken

_T = TypeVar("_T")

# What a pending task id stands for: the Future of a submit(), or a map job and the index
# of the message within it.
_Entry: TypeAlias = "_Future[Any] | tuple[_MapJob, int]"
# One settled map message: (index, status, what the status says it holds: the result
# message for _OK and _ERROR, the exception for _LOCAL, None for _CANCELLED).
_Item: TypeAlias = "tuple[int, int, bytes | BaseException | None]"


class WorkerDiedError(RuntimeError):
    """The worker process running a task died before it returned (a signal such as SIGKILL,
    a segfault, the OOM killer, or os._exit). Only that task fails; the pool replaces the
    worker and carries on.

    Attributes: pid, exitcode (negative: killed by a signal), signal (its name, or None),
    task (a short description of the task).
    """

    def __init__(self, message: str, *, pid: int | None = None, exitcode: int | None = None,
                 signal: str | None = None, task: str | None = None) -> None:
        super().__init__(message)
        self.pid, self.exitcode, self.signal, self.task = pid, exitcode, signal, task

    def __reduce__(self) -> tuple[Callable[..., WorkerDiedError], tuple[Any, ...]]:
        return _rebuild_worker_died, (self.args[0], self.pid, self.exitcode, self.signal, self.task)


def _rebuild_worker_died(message: str, pid: int | None, exitcode: int | None,
                         signal_name: str | None, task: str | None) -> WorkerDiedError:
    return WorkerDiedError(message, pid=pid, exitcode=exitcode, signal=signal_name, task=task)


class BrokenPool(BrokenExecutor):
    """The pool cannot run tasks any more: a worker's initializer failed, or worker
    processes keep dying before they start."""


class RemoteTraceback(Exception):
    """The traceback of an exception raised in a worker process, as text; attached as the
    __cause__ of the exception the owner re-raises."""

    def __init__(self, tb: str) -> None:
        super().__init__(tb)
        self.tb = tb

    def __str__(self) -> str:
        return self.tb


def _death_text(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            return f"signal {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"signal {-exitcode}"
    return f"exit code {exitcode}"


def _signal_name(exitcode: int | None) -> str | None:
    if exitcode is not None and exitcode < 0:
        try:
            return signal.Signals(-exitcode).name
        except ValueError:
            return str(-exitcode)
    return None


# Raised to users as kelvane.pool's own: tracebacks, reprs and pickles name that module.
for _public in (WorkerDiedError, BrokenPool, RemoteTraceback):
    _public.__module__ = "kelvane.pool"
del _public


def _is_ctrl_c(exc: BaseException | None) -> bool:
    """A KeyboardInterrupt of this process, not one that a task raised in its worker and its
    future (or map) handed on: those carry their worker's traceback as cause."""
    return isinstance(exc, KeyboardInterrupt) and not isinstance(exc.__cause__, RemoteTraceback)


class _Future(Future[_T]):
    """A Future whose result() and exception() stop the pool on Ctrl-C."""

    _kel_what: str  # what the task runs, for error texts; set by submit()

    def __init__(self, engine: _Engine) -> None:
        super().__init__()
        self._kel_engine = weakref.ref(engine)

    def _interrupted(self) -> None:
        engine = self._kel_engine()
        if engine is not None:
            engine.abort()

    def result(self, timeout: float | None = None) -> _T:
        try:
            return super().result(timeout)
        except KeyboardInterrupt as exc:
            if _is_ctrl_c(exc):
                self._interrupted()
            raise

    def exception(self, timeout: float | None = None) -> BaseException | None:
        try:
            return super().exception(timeout)
        except KeyboardInterrupt:
            self._interrupted()
            raise


def _claim(future: Future[Any]) -> bool:
    """Moves a future to running; False when it was cancelled (its result is dropped)."""
    if future.running():
        return True
    if future.done():
        return False
    return future.set_running_or_notify_cancel()


def _cancel(future: Future[Any]) -> None:
    if future.cancel():
        future.set_running_or_notify_cancel()  # wakes wait() and as_completed()


def _rebuild_error(message: bytes) -> BaseException:
    """The exception a worker sent, with its remote traceback as __cause__."""
    try:
        pickled, type_name, described, tb = pickle.loads(memoryview(message)[_RESULT_HEAD:])
    except BaseException as error:
        return RuntimeError(f"a task failed and its error could not be read: {error!r}")
    exc: object = None
    if pickled is not None:
        try:
            exc = pickle.loads(pickled)
        except BaseException:
            exc = None
    if not isinstance(exc, BaseException):
        exc = RuntimeError(f"a task raised {type_name}, which could not be sent back whole: {described}")
    exc.__cause__ = RemoteTraceback(f'\n"""\n{tb}"""')
    return exc


def _decode(status: int, obj: bytes | BaseException | None) -> Any:
    """The value of one result, or raises its error."""
    if status == _OK:
        return _side.unpickle_record(memoryview(cast(bytes, obj))[_RESULT_HEAD:])
    if status == _VALUE:
        return obj
    if status == _ERROR:
        raise _rebuild_error(cast(bytes, obj))
    if status == _CANCELLED:
        raise CancelledError()
    raise cast(BaseException, obj)  # _LOCAL: an exception raised here, or WorkerDiedError


class _Worker:
    """A worker process. Besides the Process object, a pidfd of its own tells whether the
    process runs: a forkserver that dies takes the exit statuses of its children with it,
    and multiprocessing then reports each as exit code 255 although it runs on."""

    __slots__ = ("index", "proc", "greeted", "said_bye", "pidfd", "lost")

    index: int
    proc: BaseProcess
    greeted: bool
    said_bye: bool
    pidfd: int | None
    lost: bool

    def __init__(self, index: int, proc: BaseProcess) -> None:
        self.index, self.proc, self.greeted, self.said_bye = index, proc, False, False
        self.lost = False
        try:
            self.pidfd = os.pidfd_open(cast(int, proc.pid))
        except (AttributeError, OSError):
            self.pidfd = None  # no pidfd here: the Process object's word is all there is

    def stop_if_lost(self) -> None:
        """Its exit was reported: if the process in fact runs on (its forkserver died), the
        pool can no longer watch it, so it is stopped (SIGKILL) before anything else is
        decided; it would otherwise go on taking tasks, and stop messages meant for others."""
        fd = self.pidfd
        if fd is None or select.select([fd], [], [], 0)[0]:
            return
        self.lost = True
        try:
            signal.pidfd_send_signal(fd, signal.SIGKILL)
        except OSError:
            return  # gone meanwhile
        select.select([fd], [], [], 5.0)

    def close(self) -> None:
        fd, self.pidfd = self.pidfd, None
        if fd is not None:
            os.close(fd)


_live_engines: set[_Engine] = set()
_live_lock = threading.Lock()
# Every engine of this process, so that a forked child can disown them all (_after_fork).
_all_engines: weakref.WeakSet[_Engine] = weakref.WeakSet()
# In a forked child, the pool cores it inherited: never released, since releasing a
# KelPoolCore removes both of its names, which belong to the parent's pool.
_inherited_cores: list[KelPoolCore] = []


class _Engine:
    """Everything a Pool runs on. The collector thread holds it, the Pool object does not
    keep it alive, so a Pool dropped without shutdown() still finishes its work and stops."""

    def __init__(self, workers: int, initializer: Callable[..., object] | None,
                 initargs: tuple[Any, ...], max_tasks: int | None, ctx: BaseContext,
                 capacity: int) -> None:
        self.n, self.ctx = workers, ctx
        self.initializer, self.initargs, self.max_tasks = initializer, initargs, max_tasks
        self.size_mb = max(1, -(-capacity // MiB))
        self.core = KelPoolCore(self.size_mb)  # owns both names: unlink() removes them
        self.names = (self.core.task_q_name, self.core.result_q_name)
        self.tasks = KelQueue(self.names[0], self.size_mb)
        self.results = KelQueue(self.names[1], self.size_mb)
        self.capacity = self.tasks.capacity
        # Every record is put and taken through the block-aware handles.
        self.task_blocks = _blocks.Blocks(self.names[0], self.capacity)
        self.result_blocks = _blocks.Blocks(self.names[1], self.capacity)
        self.side_min = side_min(self.capacity)
        self.side_room = self.capacity // 8  # the most a side record takes
        self.in_use = [_objects.mark_in_use(name) for name in self.names]
        self.slots: _Slots = ctx.Array("Q", workers, lock=False)
        self.slot = memoryview(self.slots).cast("B").cast("Q")
        self.workers: list[_Worker | None] = [None] * workers  # the current worker of each index
        self.retiring: list[_Worker] = []  # workers that said goodbye and are yet to be reaped
        self.pending: dict[int, _Entry] = {}  # task id -> Future, or (map job, index)
        self.next_id = 1
        self.last_put = 0  # every task id up to this one is in the task queue or taken
        self.put_lock = threading.Lock()  # task ids are allocated and put in one order
        self.state_lock = threading.RLock()  # the workers list and the flags below
        # Tasks submitted on the collector thread (from done-callbacks), which must never
        # wait for room in the task queue: the collector puts them when there is room.
        # Each: (kind, fn_bytes, bodies, entries). Their ids are given when they are put.
        self.backlog: collections.deque[tuple[int, bytes, list[bytes], list[_Entry]]] = collections.deque()
        self.backlog_lock = threading.Lock()
        self.forked_off = False  # this process is a fork of the pool's owner
        self.shutdown_requested = self.stops_sent = self.aborted = False
        self.stop_deadline: float | None = None
        self.broken: str | None = None  # the BrokenPool text
        self.startup_failures = 0
        # deaths of workers that named no task: (pid, exit code)
        self.unexplained: list[tuple[int | None, int | None]] = []
        self.lost_seen: set[int] = set()
        self.lost_checked = 0.0
        self.finished = threading.Event()
        self.collector = threading.Thread(target=self._collect, name="kelvane.Pool collector",
                                          daemon=True)

    # --- workers ---------------------------------------------------------------------

    def start(self) -> None:
        with _live_lock:
            _live_engines.add(self)
            _all_engines.add(self)
        try:
            with self.state_lock:
                for index in range(self.n):
                    self._start_worker(index)
            self.collector.start()
        except BaseException:
            self.abort()
            raise

    def _start_worker(self, index: int) -> None:
        """With state_lock held."""
        self.slot[index] = 0
        # Every concrete context has a Process class; BaseContext does not declare it.
        process_class: type[BaseProcess] = getattr(self.ctx, "Process")
        proc = process_class(
            target=_worker_main, name=f"kelvane.Pool worker {index}",
            args=(self.names, index, self.slots, os.getpid(), self.initializer,
                  self.initargs, self.max_tasks))
        # Blocked here, SIGINT stays blocked in the child until it ignores it.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            proc.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        self.workers[index] = _Worker(index, proc)

    def _replace(self, index: int) -> None:
        with self.state_lock:
            if not (self.aborted or self.broken or self.stops_sent):
                self._start_worker(index)
            else:
                self.workers[index] = None

    # --- sending tasks ---------------------------------------------------------------

    def check_open(self) -> None:
        if self.forked_off:
            raise RuntimeError("this pool belongs to the process that made it, not to a child "
                               "forked from that process")
        if self.broken:
            raise BrokenPool(self.broken)
        if self.shutdown_requested:
            raise RuntimeError("cannot schedule new futures after shutdown")

    def too_big(self, size: int) -> ValueError:
        return ValueError(f"the task of {size} bytes does not fit the task queue of "
                          f"{self.capacity} bytes (Pool capacity)")

    def send(self, kind: int, fn_bytes: bytes, bodies: Sequence[bytes],
             entries: Sequence[_Entry]) -> None:
        """Puts one task per body, registering entries[i] for it; waits for room in slices,
        so a broken or stopped pool is noticed. On the collector thread (a done-callback that
        submits) it never waits: what does not fit now goes to the backlog."""
        if threading.current_thread() is self.collector:
            self.check_open()
            with self.backlog_lock:
                self.backlog.append((kind, fn_bytes, list(bodies), list(entries)))
            self.flush_backlog()
            return
        with self.put_lock:
            self.check_open()
            self._put(kind, fn_bytes, bodies, entries, True)

    def _put(self, kind: int, fn_bytes: bytes, bodies: Sequence[bytes], entries: Sequence[_Entry],
             blocking: bool) -> bool:
        """With put_lock held: gives the tasks their ids and puts them as one batch. Blocking,
        it waits for room in slices, so a broken or stopped pool is noticed; otherwise it
        puts nothing and says False when there is no room now."""
        count = len(bodies)
        head = _TASK.pack
        first = self.next_id
        pending = self.pending
        messages: list[bytes] = []
        for i in range(count):
            pending[first + i] = entries[i]
            messages.append(b"".join((head(first + i, kind, len(fn_bytes)), fn_bytes, bodies[i])))
        try:
            while not self.task_blocks.bq.put_many(messages, 0.1 if blocking else 0):
                if not blocking:
                    for i in range(count):
                        pending.pop(first + i, None)
                    return False
                self.check_open()
        except BaseException:
            for i in range(count):
                pending.pop(first + i, None)
            self.task_blocks.discard_records(bodies)
            raise
        self.next_id = first + count
        self.last_put = first + count - 1
        return True

    def flush_backlog(self) -> None:
        """On the collector thread: puts what the backlog holds, as far as there is room now;
        never waits, not even for put_lock (another thread may hold it while it waits for room
        that only the collector's reading of results can make)."""
        if not self.backlog or not self.put_lock.acquire(blocking=False):
            return
        try:
            while True:
                with self.backlog_lock:
                    if not self.backlog:
                        return
                    item = self.backlog[0]
                kind, fn_bytes, bodies, entries = item
                keep = [i for i, e in enumerate(entries) if isinstance(e, tuple) or not e.cancelled()]
                if keep and not self._put(kind, fn_bytes, [bodies[i] for i in keep],
                                          [entries[i] for i in keep], False):
                    return
                with self.backlog_lock:
                    if self.backlog and self.backlog[0] is item:  # not taken by a failing pool
                        self.backlog.popleft()
                        kept = set(keep)  # the bodies of cancelled tasks will never be read
                        self.task_blocks.discard_records(b for i, b in enumerate(bodies) if i not in kept)
        finally:
            self.put_lock.release()

    def _take_backlog(self) -> list[_Entry]:
        with self.backlog_lock:
            entries = [e for _, _, _, batch in self.backlog for e in batch]
            bodies = [b for _, _, batch, _ in self.backlog for b in batch]
            self.backlog.clear()
        self.task_blocks.discard_records(bodies)
        return entries

    # --- shutting down ---------------------------------------------------------------

    def begin_shutdown(self, cancel_futures: bool = False) -> None:
        if self.forked_off:
            return  # the parent's pool: only the parent shuts it down
        with self.put_lock:
            self.shutdown_requested = True
            if cancel_futures and not self.aborted:
                self._cancel_queued()

    def _cancel_queued(self) -> None:
        """With put_lock held: the owner takes the tasks still queued and cancels them."""
        stops: list[bytes] = []
        while True:
            taken = self.task_blocks.bq.get_many(4096, 0)
            if not taken:
                break
            for message in taken:
                tid, kind, fn_len = _TASK.unpack_from(message)
                if kind == _STOP:
                    stops.append(message)
                    continue
                self.task_blocks.discard_records((memoryview(message)[_TASK_HEAD + fn_len:],))
                entry = self.pending.pop(tid, None)
                if entry is None:
                    continue
                if isinstance(entry, tuple):
                    entry[0].deliver([(entry[1], _CANCELLED, None)])
                else:
                    _cancel(entry)
        if stops:
            self.task_blocks.bq.put_many(stops, None)
        for entry in self._take_backlog():
            if isinstance(entry, tuple):
                entry[0].deliver([(entry[1], _CANCELLED, None)])
            else:
                _cancel(entry)

    def join(self) -> None:
        if threading.current_thread() is self.collector or self.forked_off:
            return  # shutdown(wait=True) from a done-callback: the collector cannot wait for itself
        while not self.finished.wait(0.1):
            pass

    def abort(self) -> None:
        """Ctrl-C: cancel everything pending, stop the workers now, remove both names."""
        if self.forked_off:
            return  # the workers and the names are the parent's
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        try:
            with self.state_lock:
                if self.aborted:
                    first = False
                else:
                    first = self.aborted = self.shutdown_requested = True
                procs = [w.proc for w in self.workers + self.retiring if w is not None]
            if not first:
                self.finished.wait(5)
                return
            _stop_processes(procs)
            if self.collector.is_alive() and threading.current_thread() is not self.collector:
                self.collector.join(5)
            self._fail_pending(None)
            self._close()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def _fail_pending(self, error: BaseException | None) -> None:
        """Every pending task fails with `error` (None: cancelled)."""
        backlog = self._take_backlog()
        while self.pending or backlog:
            if backlog:
                entry = backlog.pop()
            else:
                try:
                    entry = self.pending.popitem()[1]
                except KeyError:
                    break
            if isinstance(entry, tuple):
                if error is None:
                    entry[0].deliver([(entry[1], _CANCELLED, None)])
                else:
                    entry[0].deliver([(entry[1], _LOCAL, error)])
            elif error is None:
                if entry.cancel():
                    entry.set_running_or_notify_cancel()
                elif not entry.done():
                    entry.set_exception(CancelledError())
            elif _claim(entry):
                entry.set_exception(error)

    def disown(self) -> None:
        """In a forked child: the pool is the parent's (see _after_fork)."""
        if not self.forked_off:
            self.forked_off = True
            _inherited_cores.append(self.core)
        # Locks another thread of the parent may have held at the fork.
        self.put_lock, self.state_lock = threading.Lock(), threading.RLock()
        self.backlog_lock = threading.Lock()

    def _close(self) -> None:
        """Both names go, once every worker has exited, with the block arenas and the side
        segments of both queues: every result has been read, and no task will be."""
        self.task_blocks.unlink()
        self.result_blocks.unlink()
        self.core.unlink()
        for name in self.names:
            _side.remove_of_queue(name)
        self.in_use = []
        with _live_lock:
            _live_engines.discard(self)
        self.finished.set()

    # --- the collector thread --------------------------------------------------------

    def _collect(self) -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})  # Ctrl-C is for the main thread
        get_many, handle = self.result_blocks.bq.get_many, self._handle
        checked = time.monotonic()
        try:
            while not self.aborted:
                messages = get_many(1024, _BACKLOG_POLL if self.backlog else _POLL)
                if messages:
                    handle(messages)
                if self.backlog:
                    self.flush_backlog()
                now = time.monotonic()
                if now - checked >= _POLL:
                    checked = now
                    if self._watch(now):
                        break
        except BaseException as exc:  # a fault here would leave every caller waiting
            self._break(f"the pool's collector thread failed: {exc!r}")
            with self.state_lock:
                procs = [w.proc for w in self.workers + self.retiring if w is not None]
            _stop_processes(procs)
        if not self.aborted:
            self._close()

    def _drain(self) -> None:
        while messages := self.result_blocks.bq.get_many(4096, 0):
            self._handle(messages)

    def _handle(self, messages: list[bytes]) -> None:
        pending = self.pending
        jobs: dict[_MapJob, list[_Item]] = {}
        for message in messages:
            tid, status = _RESULT.unpack_from(message)
            if tid == _EVENT:
                self._on_event(status, message)
                continue
            entry = pending.pop(tid, None)
            if entry is None:
                continue  # cancelled meanwhile
            if isinstance(entry, tuple):
                job = entry[0]
                batch = jobs.get(job)
                if batch is None:
                    batch = jobs[job] = []
                if status == _OK and message[_RESULT_HEAD:_RESULT_HEAD + 1] == _side.TAG:
                    # Mapped now (no copy), so the segment's name is gone before the pool
                    # closes, however late the caller reads the result.
                    try:
                        value = self.result_blocks.unpickle_record(memoryview(message)[_RESULT_HEAD:], message)
                        batch.append((entry[1], _VALUE, value))
                    except BaseException as exc:
                        batch.append((entry[1], _LOCAL, exc))
                else:
                    batch.append((entry[1], status, message))
            elif _claim(entry):
                if status == _OK:
                    try:
                        value = self.result_blocks.unpickle_record(memoryview(message)[_RESULT_HEAD:], message)
                    except BaseException as exc:
                        entry.set_exception(exc)
                    else:
                        entry.set_result(value)
                else:
                    entry.set_exception(_rebuild_error(message))
        for job, batch in jobs.items():
            job.deliver(batch)

    def _on_event(self, status: int, message: bytes) -> None:
        index, pid, text = pickle.loads(memoryview(message)[_RESULT_HEAD:])
        worker = self.workers[index]
        if worker is None or worker.proc.pid != pid:
            return
        if status == _HELLO:
            worker.greeted = True
            self.startup_failures = 0
        elif status == _BYE:
            worker.said_bye = True
            with self.state_lock:
                self.retiring.append(worker)
                self._replace(index)  # a retirement (max_tasks_per_child) or a stop
        elif status == _INIT_FAILED:
            worker.said_bye = True
            self._break(f"a worker's initializer failed:\n{text}")

    def _watch(self, now: float) -> bool:
        """The collector's periodic look; True when the pool is finished."""
        self._reap()
        self._mark_running()
        if self.unexplained:
            self._check_lost(now)
        if self.broken:
            with self.state_lock:
                procs = [w.proc for w in self.workers + self.retiring if w is not None]
            _stop_processes(procs)
            for w in self.workers + self.retiring:
                if w is not None:
                    w.proc.join(0)
            return True
        if self.shutdown_requested:
            if not self.stops_sent and not self.pending and not self.backlog:
                with self.put_lock:
                    with self.state_lock:
                        self.stops_sent = True
                        live = [w for w in self.workers if w is not None]
                    stop = [_TASK.pack(0, _STOP, 0)] * len(live)
                    if stop:
                        self.task_blocks.bq.put_many(stop, None)
                self.stop_deadline = now + _STOP_GRACE
            if self.stops_sent:
                with self.state_lock:
                    left = [w for w in self.workers + self.retiring if w is not None]
                if not left:
                    return True
                if self.stop_deadline is not None and now > self.stop_deadline:
                    _stop_processes([w.proc for w in left])
        return False

    def _reap(self) -> None:
        with self.state_lock:
            watched = [w for w in self.workers + self.retiring if w is not None]
        if not watched:
            return
        ready = set(_wait_sentinels([w.proc.sentinel for w in watched], 0))
        # A worker's sentinel can stay open after it exits (a process its task forked may
        # have inherited it), so its exit status is asked for too.
        dead = [w for w in watched if w.proc.sentinel in ready or w.proc.exitcode is not None]
        if not dead:
            return
        for w in dead:
            w.stop_if_lost()
        self._drain()  # whatever a dead worker put is in the queue by now
        for w in dead:
            w.proc.join(1)
            w.close()
            with self.state_lock:
                if w in self.retiring:
                    self.retiring.remove(w)
                    continue
                if self.workers[w.index] is not w:
                    continue
            if not w.said_bye:
                self._died(w)
            if self.workers[w.index] is w:
                self._replace(w.index)

    def _died(self, w: _Worker) -> None:
        code = -signal.SIGKILL if w.lost else w.proc.exitcode
        how = "lost with its forkserver, it was stopped (SIGKILL)" if w.lost else _death_text(code)
        if not w.greeted:
            self.startup_failures += 1
            if self.startup_failures >= _STARTUP_FAILURES:
                self._break(f"worker processes die before they start: the last one, pid "
                            f"{w.proc.pid}, ended with {how}")
                return
        tid = self.slot[w.index]
        entry = self.pending.pop(tid, None) if tid else None
        if entry is None:
            # It named no task, or its result arrived: it may still have taken one off the
            # queue just before it died, in the instant before it could name it.
            self.unexplained.append((w.proc.pid, code))
            return
        what = _entry_text(tid, entry)
        error = WorkerDiedError(
            f"the worker process (pid {w.proc.pid}) running {what} died: {how}",
            pid=w.proc.pid, exitcode=code, signal=_signal_name(code), task=what)
        _fail_entry(entry, error)

    def _mark_running(self) -> None:
        for w in self.workers:
            if w is not None:
                tid = self.slot[w.index]
                if tid:
                    entry = self.pending.get(tid)
                    if entry is not None and not isinstance(entry, tuple):
                        _claim(entry)

    def _check_lost(self, now: float) -> None:
        """A worker that died between taking a task and naming it in its slot leaves that
        task pending in no queue and no slot. Such a task is declared lost once two looks at
        least _LOST_GAP apart find the task queue empty and the task, put before the first
        look, neither in a live worker's slot nor answered; a live worker names a task it
        took microseconds after taking it. While the task queue holds messages, nothing is
        decided: the task may still be there."""
        if now - self.lost_checked < _LOST_GAP:
            return
        self.lost_checked = now
        with self.state_lock:
            live = [w for w in self.workers if w is not None and w.proc.exitcode is None]
        named = {self.slot[w.index] for w in live}
        last_put = self.last_put
        if self.tasks.stats()[1]:
            self.lost_seen = set()
            return
        self._drain()
        unaccounted = {tid for tid in list(self.pending) if tid <= last_put and tid not in named}
        lost, self.lost_seen = unaccounted & self.lost_seen, unaccounted
        if not unaccounted:
            self.unexplained.clear()
            return
        pids = ", ".join(f"pid {pid} ({_death_text(code)})" for pid, code in self.unexplained)
        pid, code = self.unexplained[-1]
        for tid in lost:
            entry = self.pending.pop(tid, None)
            if entry is None:
                continue
            what = _entry_text(tid, entry)
            _fail_entry(entry, WorkerDiedError(
                f"{what} was lost with a worker process that died before it could say which "
                f"task it had taken: {pids}", pid=pid, exitcode=code,
                signal=_signal_name(code), task=what))
            self.lost_seen.discard(tid)

    def _break(self, text: str) -> None:
        if not self.broken:
            self.broken = text
        self._fail_pending(BrokenPool(text))


def _entry_text(tid: int, entry: _Entry) -> str:
    if isinstance(entry, tuple):
        return entry[0].describe(entry[1])
    return f"task {tid} ({getattr(entry, '_kel_what', '?')})"


def _fail_entry(entry: _Entry, error: BaseException) -> None:
    if isinstance(entry, tuple):
        entry[0].deliver([(entry[1], _LOCAL, error)])
    elif _claim(entry):
        entry.set_exception(error)


def _stop_processes(procs: Sequence[BaseProcess]) -> None:
    """SIGTERM, a short grace, then SIGKILL; every one is reaped."""
    for p in procs:
        if p.exitcode is None:
            try:
                p.terminate()
            except (OSError, ValueError):
                pass
    deadline = time.monotonic() + _KILL_GRACE
    for p in procs:
        try:
            p.join(max(0.0, deadline - time.monotonic()))
            if p.exitcode is None:
                p.kill()
                p.join(5)
        except (OSError, ValueError, AssertionError):
            pass


def _at_exit() -> None:
    """Pools still running when the interpreter exits finish their work (as
    ProcessPoolExecutor's do), unless the program is ending on Ctrl-C."""
    # The exception that ends the program, as printed: sys.last_exc from 3.12 on, only
    # sys.last_value on 3.11.
    ending = getattr(sys, "last_exc", None) or getattr(sys, "last_value", None)
    interrupted = _is_ctrl_c(ending)
    with _live_lock:
        engines = list(_live_engines)
    for engine in engines:
        try:
            if interrupted:
                engine.abort()
            else:
                engine.begin_shutdown()
                engine.join()
        except KeyboardInterrupt:
            engine.abort()


def _after_fork() -> None:
    """In a child forked from a process with pools (by os.fork, a fork-context
    multiprocessing process, or a fork-context pool starting its workers): the child has
    none of their threads and must not wait for them at exit, stop their workers or remove
    their names. Each pool is disowned: unusable here, and its core kept for ever, since
    releasing a KelPoolCore removes both names."""
    global _live_lock
    _live_lock = threading.Lock()  # another thread may have held it at the fork
    _live_engines.clear()
    for engine in list(_all_engines):
        engine.disown()


# Before multiprocessing's own exit handler, which would wait for the workers to end.
if hasattr(threading, "_register_atexit"):
    threading._register_atexit(_at_exit)
else:
    atexit.register(_at_exit)
os.register_at_fork(after_in_child=_after_fork)
