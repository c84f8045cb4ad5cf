"""kelvane.Pool: a concurrent.futures.Executor whose worker processes share two kelvane
queues.

The owner (the process that makes the Pool) creates a task queue and a result queue under
fresh names (KelPoolCore); worker processes attach to both by name, take pickled tasks one at
a time, and put pickled results back. A collector thread in the owner takes the results,
resolves futures and map iterators, and watches the workers: a worker that dies fails the
task it was running with WorkerDiedError and is replaced, and every other task carries on.

Here: the Executor and its lazy map. The owner's engine (workers, collector, futures) is
kelvane._pool_engine; what runs in a worker, and the layout of the messages, is
kelvane._pool_worker.
"""

from __future__ import annotations

import itertools
import multiprocessing
import os
import pickle
import queue
import sys
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import BrokenExecutor, CancelledError, Executor, Future
from multiprocessing.context import BaseContext
from types import TracebackType
from typing import Any, Literal, ParamSpec, TypeVar

from kelvane import _side
from kelvane._pool_engine import BrokenPool as BrokenPool
from kelvane._pool_engine import RemoteTraceback as RemoteTraceback
from kelvane._pool_engine import WorkerDiedError as WorkerDiedError
from kelvane._pool_engine import MiB, _decode, _Engine, _Entry, _Future, _is_ctrl_c, _Item
from kelvane._pool_worker import (_CALL, _CHUNK_ONE, _CHUNK_STAR, _LOCAL, _ONE, _PROTOCOL, _RECORD, _STAR,
                                  _TASK_HEAD)

__all__ = ["Pool", "WorkerDiedError", "BrokenPool", "DEFAULT_CAPACITY"]

DEFAULT_CAPACITY = 16 * MiB  # bytes of each of the two queues

_T = TypeVar("_T")
_P = ParamSpec("_P")


def _describe(fn: object) -> str:
    return getattr(fn, "__qualname__", None) or type(fn).__qualname__


# ---------------------------------------------------------------------------
# map


# A large argument waits this long for a free block of the task queue (workers free one as
# they finish a task); then it travels in a side segment of its own, so that a submit never
# waits long for a pool that is stopped or broken.
_BLOCK_WAIT = 1.0

class _MapJob:
    """One map call: feeds items from the iterables in batches while fewer than `window`
    messages are in flight (sent and not yet consumed), and receives their results from the
    collector."""

    def __init__(self, engine: _Engine, fn: object, fn_bytes: bytes,
                 iterables: tuple[Iterable[Any], ...], chunksize: int, window: int) -> None:
        self.engine, self.fn_bytes, self.chunksize, self.window = engine, fn_bytes, chunksize, window
        self.what = _describe(fn)
        self.items: Iterator[Any]
        if len(iterables) == 1:
            self.items = iter(iterables[0])
            self.kind = _ONE if chunksize == 1 else _CHUNK_ONE
        else:
            self.items = zip(*iterables)
            self.kind = _STAR if chunksize == 1 else _CHUNK_STAR
        self.inbox: queue.SimpleQueue[list[_Item]] = queue.SimpleQueue()
        self.sent = 0  # messages sent (or settled here): the next message's index
        self.consumed = 0
        self.exhausted = self.closed = False
        self.refill_at = max(1, window * 3 // 4)  # in flight at or below this: feed more
        self.fn_error: Exception | None = None  # the function could not be pickled

    def describe(self, index: int) -> str:
        if self.chunksize == 1:
            return f"map item {index} ({self.what})"
        first = index * self.chunksize
        return f"map items {first}-{first + self.chunksize - 1} ({self.what})"

    def deliver(self, batch: list[_Item]) -> None:
        if not self.closed:
            self.inbox.put(batch)

    def feed(self) -> None:
        """Sends items until `window` messages are in flight or the input ends. An item that
        cannot be sent (its pickling failed, it is too large, the iterable raised) becomes
        that position's error, and feeding stops there."""
        room = self.window - (self.sent - self.consumed)
        if self.exhausted or room <= 0:
            return
        engine, cs = self.engine, self.chunksize
        record, largest, padding = engine.task_blocks.pickle_record, engine.side_min, engine.side_room
        limit = engine.capacity - _RECORD - _TASK_HEAD - len(self.fn_bytes)
        budget = engine.capacity // 2  # an all-or-nothing batch must fit the ring
        bodies: list[bytes] = []
        entries: list[_Entry] = []
        size = 0
        error: Exception | None = None
        index = self.sent
        try:
            while len(bodies) < room:
                if cs == 1:
                    try:
                        item = next(self.items)
                    except StopIteration:
                        self.exhausted = True
                        break
                else:
                    item = list(itertools.islice(self.items, cs))
                    if not item:
                        self.exhausted = True
                        break
                if self.fn_error is not None:
                    raise self.fn_error
                body = record(item, largest, padding, _BLOCK_WAIT)
                if len(body) > limit:  # a function too large for the ring
                    raise engine.too_big(len(body) + _TASK_HEAD + len(self.fn_bytes))
                if size + len(body) > budget and bodies:
                    if not self._send(bodies, entries, index):
                        return
                    index += len(bodies)
                    bodies, entries, size = [], [], 0
                bodies.append(body)
                entries.append((self, index + len(entries)))
                size += len(body) + _TASK_HEAD + len(self.fn_bytes) + _RECORD
                if type(body) is not bytes:
                    # A large item's block (or side segment) goes into the ring at once:
                    # one that waits here for the rest of the batch holds memory that a
                    # worker could already be reading, and the next item's wait for a
                    # free block counts it as on its way.
                    if not self._send(bodies, entries, index):
                        return
                    index += len(bodies)
                    bodies, entries, size = [], [], 0
        except Exception as exc:  # the item's own failure, raised at its position
            error = exc
        if bodies:
            if not self._send(bodies, entries, index):
                return
            index += len(bodies)
        if error is not None:
            self.exhausted = True
            self.inbox.put([(index, _LOCAL, error)])
            self.sent = index + 1

    def _send(self, bodies: list[bytes], entries: list[_Entry], index: int) -> bool:
        try:
            self.engine.send(self.kind, self.fn_bytes, bodies, entries)
        except BaseException as exc:
            self.engine.task_blocks.discard_records(bodies)
            if not isinstance(exc, (RuntimeError, BrokenExecutor)):
                raise
            # The pool was shut down or broke: this position fails, nothing after it is sent.
            self.exhausted = True
            self.inbox.put([(index, _LOCAL, exc)])
            self.sent = index + 1
            return False
        self.sent = index + len(bodies)
        return True

    def wait(self, deadline: float | None) -> list[_Item]:
        """The next batch of results; TimeoutError past the deadline."""
        while True:
            if deadline is None:
                step = 0.25
            else:
                step = min(0.25, deadline - time.monotonic())
                if step <= 0:
                    raise TimeoutError()
            try:
                return self.inbox.get(timeout=step)
            except queue.Empty:
                if self.engine.aborted:
                    raise CancelledError() from None

    def close(self) -> None:
        self.closed = True


# The map generators never keep a result they gave (nor its message) in a local while
# they wait for the next next(): a consumer that drops a result frees its memory. Results
# are popped from the containers that hold them as they are handed on.


def _handed_on(values: list[Any]) -> Iterator[Any]:
    """The items of `values` in order; each is dropped from the list as it is given."""
    values.reverse()
    while values:
        yield values.pop()


def _ordered(job: _MapJob, deadline: float | None) -> Iterator[Any]:
    results: dict[int, tuple[int, bytes | BaseException | None]] = {}
    next_index = 0
    while True:
        if next_index not in results:
            if job.exhausted and next_index >= job.sent:
                return
            results.update((index, (status, obj)) for index, status, obj in job.wait(deadline))
            continue
        next_index += 1
        job.consumed = next_index
        if job.sent - next_index <= job.refill_at:
            job.feed()
        if job.chunksize == 1:
            yield _decode(*results.pop(next_index - 1))
        else:
            yield from _handed_on(_decode(*results.pop(next_index - 1)))


def _unordered(job: _MapJob, deadline: float | None) -> Iterator[Any]:
    while not (job.exhausted and job.consumed >= job.sent):
        batch = job.wait(deadline)
        job.consumed += len(batch)
        if job.sent - job.consumed <= job.refill_at:
            job.feed()
        batch.reverse()
        while batch:
            if job.chunksize == 1:
                yield _decode(*batch.pop()[1:])
            else:
                yield from _handed_on(_decode(*batch.pop()[1:]))


def _run_job(job: _MapJob, results: Iterator[_T]) -> Iterator[_T]:
    """Wraps a map's result generator: Ctrl-C stops the pool, and leaving early (an error,
    a break, a timeout) abandons the tasks still in flight."""
    try:
        yield from results
    except KeyboardInterrupt as exc:
        if _is_ctrl_c(exc):
            job.engine.abort()
        raise
    finally:
        job.close()


def _with_progress(results: Iterator[_T], total: int | None) -> Iterator[_T]:
    # tqdm is an optional extra; it is typed only where types-tqdm is installed.
    make_bar: Callable[..., Any] | None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        make_bar = None
    else:
        make_bar = tqdm
    done, shown = 0, time.monotonic()
    held: list[_T] = []  # the value being handed on; empty while the consumer has it
    if make_bar is not None:
        bar = make_bar(total=total, mininterval=0.1)
        try:
            for value in results:
                held.append(value)
                del value
                yield held.pop()
                done += 1
                if done & 15 == 0 and time.monotonic() - shown >= 0.1:
                    bar.update(done - bar.n)
                    shown = time.monotonic()
            bar.update(done - bar.n)
        finally:
            bar.close()
        return
    suffix = f"/{total}" if total is not None else ""
    write = sys.stderr.write
    try:
        for value in results:
            held.append(value)
            del value
            yield held.pop()
            done += 1
            if done & 15 == 0 and time.monotonic() - shown >= 0.1:
                write(f"\r{done}{suffix}")
                sys.stderr.flush()
                shown = time.monotonic()
    finally:
        write(f"\r{done}{suffix}\n")
        sys.stderr.flush()


def _length(iterables: tuple[Iterable[Any], ...]) -> int | None:
    try:
        # An iterable without a length raises TypeError here, which means "unknown".
        return min(len(it) for it in iterables) if iterables else 0  # type: ignore[arg-type]
    except TypeError:
        return None


# ---------------------------------------------------------------------------
# The executor


def _default_context() -> BaseContext:
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


class Pool(Executor):
    """A process pool over two kelvane shared-memory queues, usable wherever a
    concurrent.futures.Executor is.

    max_workers: worker processes (default: the CPUs this process may use).
    initializer, initargs: called in each worker before its first task; if it raises, the
        pool is broken (BrokenPool), as with ProcessPoolExecutor.
    max_tasks_per_child: a worker exits after this many tasks and a fresh one replaces it.
    mp_context: how workers start (a multiprocessing context: "forkserver", the default where
        available, or "spawn"; "fork" works but forks a process that runs threads).
    capacity: bytes of each of the two queues (task and result), rounded up to a whole MiB;
        default 16 MiB. One pickled task or result must fit in it (less 4 bytes); a larger
        task raises ValueError at submit, a larger result fails its own future.

    Differences from ProcessPoolExecutor: map() is lazy (it reads its input as results are
    consumed, at most a bounded window ahead) and has imap/imap_unordered and progress; a
    worker that dies fails only the task it was running (WorkerDiedError) and is replaced;
    Ctrl-C while waiting on the pool stops it at once and removes its shared memory.
    """

    def __init__(self, max_workers: int | None = None, *,
                 initializer: Callable[..., object] | None = None, initargs: Iterable[Any] = (),
                 max_tasks_per_child: int | None = None, mp_context: BaseContext | None = None,
                 capacity: int = DEFAULT_CAPACITY) -> None:
        if max_workers is None:
            max_workers = (os.process_cpu_count() if hasattr(os, "process_cpu_count")
                           else len(os.sched_getaffinity(0))) or 1
        elif max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if initializer is not None and not callable(initializer):
            raise TypeError("initializer must be a callable")
        if max_tasks_per_child is not None:
            if not isinstance(max_tasks_per_child, int):
                raise TypeError("max_tasks_per_child must be an integer")
            if max_tasks_per_child <= 0:
                raise ValueError("max_tasks_per_child must be >= 1")
        if not isinstance(capacity, int) or isinstance(capacity, bool):
            raise TypeError("capacity must be an integer number of bytes")
        if capacity <= 0:
            raise ValueError("capacity must be a positive number of bytes")
        self._max_workers = max_workers
        ctx = mp_context if mp_context is not None else _default_context()
        self._engine = _Engine(max_workers, initializer, tuple(initargs), max_tasks_per_child, ctx,
                               capacity)
        self._engine.start()
        # A Pool dropped without shutdown() still finishes its work and stops its workers.
        self._finalizer = weakref.finalize(self, self._engine.begin_shutdown)
        self._finalizer.atexit = False

    @property
    def names(self) -> tuple[str, str]:
        """The names of the task and result queues in /dev/shm."""
        return self._engine.names

    @property
    def capacity(self) -> int:
        """Bytes of each queue."""
        return self._engine.capacity

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        engine = self._engine
        engine.check_open()
        future: _Future[_T] = _Future(engine)
        future._kel_what = _describe(fn)
        try:
            fn_bytes = pickle.dumps(fn, _PROTOCOL)
            body = engine.task_blocks.pickle_record((args, kwargs), engine.side_min, engine.side_room, _BLOCK_WAIT)
            size = _TASK_HEAD + len(fn_bytes) + len(body)
            if size + _RECORD > engine.capacity:  # a function too large for the ring
                engine.task_blocks.discard_records((body,))
                raise engine.too_big(size)
        except Exception as exc:
            # As ProcessPoolExecutor: a task that cannot be sent fails its own future.
            future.set_exception(exc)
            return future
        try:
            engine.send(_CALL, fn_bytes, [body], [future])
        except BaseException:
            engine.task_blocks.discard_records((body,))
            raise
        return future

    def map(self, fn: Callable[..., _T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1, progress: bool = False) -> Iterator[_T]:
        """Results of fn over the iterables, in order, as an iterator. Lazy: items are read
        and sent while fewer than a window of tasks is in flight, so a huge or endless input
        is fine. timeout: seconds from this call after which next() raises TimeoutError.
        chunksize: items per message. progress: a progress bar on stderr (tqdm if installed)."""
        return self._map(fn, iterables, timeout, chunksize, progress, _ordered)

    def imap(self, fn: Callable[..., _T], *iterables: Iterable[Any], timeout: float | None = None,
             chunksize: int = 1, progress: bool = False) -> Iterator[_T]:
        """The same as map()."""
        return self._map(fn, iterables, timeout, chunksize, progress, _ordered)

    def imap_unordered(self, fn: Callable[..., _T], *iterables: Iterable[Any],
                       timeout: float | None = None, chunksize: int = 1,
                       progress: bool = False) -> Iterator[_T]:
        """Like map(), but yields each result as soon as it is there."""
        return self._map(fn, iterables, timeout, chunksize, progress, _unordered)

    def _map(self, fn: Callable[..., _T], iterables: tuple[Iterable[Any], ...],
             timeout: float | None, chunksize: int, progress: bool,
             order: Callable[[_MapJob, float | None], Iterator[Any]]) -> Iterator[_T]:
        if not isinstance(chunksize, int) or chunksize < 1:
            raise ValueError("chunksize must be >= 1.")
        engine = self._engine
        engine.check_open()
        deadline = None if timeout is None else time.monotonic() + timeout
        fn_error: Exception | None = None
        try:
            fn_bytes = pickle.dumps(fn, _PROTOCOL)
        except Exception as exc:
            # As ProcessPoolExecutor: the first result raises it (none, for an empty input).
            fn_bytes, fn_error = b"", exc
        if chunksize == 1:
            window = max(16, 64 * self._max_workers)
        else:
            window = max(8, 4 * self._max_workers)
        job = _MapJob(engine, fn, fn_bytes, iterables, chunksize, window)
        job.fn_error = fn_error
        job.feed()  # the first window starts now, as Executor.map's tasks do
        results = _run_job(job, order(job, deadline))
        if progress:
            results = _with_progress(results, _length(iterables))
        return results

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        engine = self._engine
        try:
            engine.begin_shutdown(cancel_futures)
            if wait:
                engine.join()
        except KeyboardInterrupt:
            engine.abort()
            raise

    def __exit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None,
                 exc_tb: TracebackType | None) -> Literal[False]:
        if _is_ctrl_c(exc_val):
            self._engine.abort()
        else:
            self.shutdown(wait=True)
        return False
