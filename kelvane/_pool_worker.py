"""The worker side of kelvane.Pool, and the messages both sides exchange.

A worker process attaches to the pool's task and result queues by name, takes pickled
tasks one at a time and puts pickled results back (kelvane.pool has the whole picture;
kelvane._pool_engine is the owner's side).

Message layouts (little-endian):
  task    id u64, kind u8, length of the pickled function u32; the function; the arguments
  result  id u64, status u8; the pickled value (or the error, or a worker's event)
Large arguments and values (and any with large out-of-band buffers, such as numpy arrays)
travel in side segments of the task or result queue (kelvane._side): in their place the
message holds the segment's record, which no pickle stream starts with.
"""

from __future__ import annotations

import itertools
import os
import pickle
import select
import signal
import struct
import sys
import time
import traceback
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeAlias

from kelvane import _blocks, _objects, _side
from kelvane_core import KelQueue

if TYPE_CHECKING:
    import ctypes

_PROTOCOL = pickle.HIGHEST_PROTOCOL
_TASK = struct.Struct("<QBI")
_RESULT = struct.Struct("<QB")
_TASK_HEAD = _TASK.size
_RESULT_HEAD = _RESULT.size
_RECORD = 4  # the queue's length field in front of every message

# Task kinds: what the payload holds and how the function is called.
_CALL = 0  # (args, kwargs): fn(*args, **kwargs)
_ONE = 1  # item: fn(item)
_STAR = 2  # args: fn(*args)
_CHUNK_ONE = 3  # [item, ...]: [fn(item), ...]
_CHUNK_STAR = 4  # [args, ...]: [fn(*args), ...]
_STOP = 5  # no payload: the worker says goodbye and exits

# Result statuses. A result with the id _EVENT is a worker's event; its payload is
# pickle((worker index, pid, text)).
_OK, _ERROR = 0, 1
_HELLO, _BYE, _INIT_FAILED = 2, 3, 4
_EVENT = (1 << 64) - 1
# Statuses only the owner gives to map items (_VALUE: a value decoded already).
_LOCAL, _CANCELLED, _VALUE = 5, 6, 7

_WORKER_POLL = 0.1  # seconds an idle worker waits before it looks at its owner again

# The slot array the owner and its workers share: one task id per worker index.
_Slots: TypeAlias = "ctypes.Array[ctypes.c_ulonglong]"


# A large result waits this long for a free block of the result queue, then travels in a
# side segment of its own.
_BLOCK_WAIT = 1.0

class _OwnerGone(Exception):
    pass


class _OwnerWatch:
    """Tells a worker whether the process that made the pool still runs. A pidfd becomes
    readable once that process has exited (even before it is reaped), and unlike its pid it
    cannot come to name another process."""

    def __init__(self, pid: int) -> None:
        self.pid = pid
        self.fd: int | None = None
        self.dead = False
        try:
            self.fd = os.pidfd_open(pid)
        except ProcessLookupError:
            self.dead = True
        except (AttributeError, OSError):
            pass  # no pidfd here: fall back to asking whether the pid exists

    def gone(self) -> bool:
        if self.dead:
            return True
        if self.fd is not None:
            self.dead = bool(select.select([self.fd], [], [], 0)[0])
        else:
            try:
                os.kill(self.pid, 0)
            except ProcessLookupError:
                self.dead = True
            except PermissionError:
                pass
        return self.dead


def _unlink_names(names: Iterable[str]) -> None:
    for name in names:
        try:
            _blocks.Blocks(name, 0).unlink()
        except (FileNotFoundError, RuntimeError, OSError):
            pass
        try:
            KelQueue.unlink(name)
        except (RuntimeError, OSError):
            pass  # removed already, by the owner or another worker
        _side.remove_of_queue(name)


def _put_result(results: Any, message: bytes, owner: _OwnerWatch) -> None:
    while not results.put_bytes_timed(message, _WORKER_POLL):
        if owner.gone():
            raise _OwnerGone


def _event(status: int, index: int, text: str = "") -> bytes:
    return _RESULT.pack(_EVENT, status) + pickle.dumps((index, os.getpid(), text), _PROTOCOL)


def _error_message(tid: int, exc: BaseException) -> bytes:
    """The result message carrying `exc`: the pickled exception (when it survives a round
    trip), its type name, repr and traceback text."""
    tb = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    pickled: bytes | None
    try:
        pickled = pickle.dumps(exc, _PROTOCOL)
        pickle.loads(pickled)
    except BaseException:
        pickled = None
    try:
        described = repr(exc)
    except BaseException:
        described = f"<{type(exc).__qualname__} object>"
    body = (pickled, type(exc).__qualname__, described, tb)
    return _RESULT.pack(tid, _ERROR) + pickle.dumps(body, _PROTOCOL)


def _run_task(message: bytes, functions: dict[bytes, Callable[..., Any]], tasks: _blocks.Blocks,
              results: _blocks.Blocks, largest: int, largest_room: int) -> tuple[int, bytes]:
    """Runs one task message; returns (task id, result message). A value whose pickle is
    larger than `largest` goes to a block (or a side segment) of the result queue."""
    tid, kind, fn_len = _TASK.unpack_from(message)
    try:
        fn_bytes = message[_TASK_HEAD:_TASK_HEAD + fn_len]
        fn = functions.get(fn_bytes)
        if fn is None:
            if len(functions) >= 64:
                functions.clear()
            fn = functions[fn_bytes] = pickle.loads(fn_bytes)
        payload = tasks.unpickle_record(memoryview(message)[_TASK_HEAD + fn_len:], message)
        if kind == _ONE:
            value = fn(payload)
        elif kind == _STAR:
            value = fn(*payload)
        elif kind == _CHUNK_ONE:
            value = list(map(fn, payload))
        elif kind == _CHUNK_STAR:
            value = list(itertools.starmap(fn, payload))
        else:
            args, kwargs = payload
            value = fn(*args, **kwargs)
        del payload  # its block goes back before the result waits for room
        body = results.pickle_record(value, largest, largest_room, _BLOCK_WAIT)
        del value
        return tid, _RESULT.pack(tid, _OK) + body
    except BaseException as exc:  # the task's own failure, reported to its caller
        return tid, _error_message(tid, exc)


def _worker_main(names: tuple[str, str], index: int, slots: _Slots, owner_pid: int,
                 initializer: Callable[..., object] | None, initargs: tuple[Any, ...],
                 max_tasks: int | None) -> None:
    """A worker process: takes tasks one at a time until told to stop, until it has run
    max_tasks tasks, or until the owner is gone.

    slots[index] names the task this worker is running (id, 0 when none): written right
    after a task is taken and cleared once its result is in the result queue, so when this
    process dies the owner knows which task died with it.
    """
    # The owner handles Ctrl-C and stops its workers itself. SIGINT arrives blocked (the
    # owner starts workers with it blocked); ignore it before letting it through.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    me = os.getpid()
    owner = _OwnerWatch(owner_pid)
    if owner.gone():
        return
    try:
        # attach() never creates: names the owner has removed already stay removed.
        task_blocks = _blocks.Blocks(names[0], 0)
        result_blocks = _blocks.Blocks(names[1], 0)
    except (RuntimeError, FileNotFoundError):
        return  # the pool is gone; the owner sees this worker exit
    tasks, results = task_blocks.bq, result_blocks.bq
    task_blocks.space = result_blocks.space = _blocks.space_for(results.capacity)
    in_use = [_objects.mark_in_use(name) for name in names]  # held for this worker's lifetime
    try:
        if owner.gone():
            raise _OwnerGone
        if initializer is not None:
            try:
                initializer(*initargs)
                _leave_if_forked(me)
            except BaseException as exc:
                _leave_if_forked(me)
                text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
                _put_result(results, _event(_INIT_FAILED, index, text), owner)
                return
        _put_result(results, _event(_HELLO, index), owner)
        slot = memoryview(slots).cast("B").cast("Q")
        functions: dict[bytes, Callable[..., Any]] = {}
        done, limit = 0, results.capacity - _RECORD
        largest, largest_room = _side.side_min(results.capacity), results.capacity // 8
        take, clock = tasks.get_bytes_timed, time.monotonic
        look_again = clock() + _WORKER_POLL
        while True:
            message = take(_WORKER_POLL)
            if message is None:
                if owner.gone():
                    raise _OwnerGone
                continue
            tid = _TASK.unpack_from(message)[0]
            slot[index] = tid
            if message[8] == _STOP:
                slot[index] = 0
                _put_result(results, _event(_BYE, index), owner)
                return
            tid, out = _run_task(message, functions, task_blocks, result_blocks, largest, largest_room)
            del message
            _leave_if_forked(me)
            if len(out) > limit:
                out = _error_message(tid, ValueError(
                    f"the result of {len(out) - _RESULT_HEAD} bytes does not fit the result "
                    f"queue of {results.capacity} bytes (Pool capacity)"))
            _put_result(results, out, owner)
            slot[index] = 0
            done += 1
            if max_tasks is not None and done >= max_tasks:
                _put_result(results, _event(_BYE, index), owner)
                return
            if clock() >= look_again:  # busy with queued work: still look now and then
                if owner.gone():
                    raise _OwnerGone
                look_again = clock() + _WORKER_POLL
    except _OwnerGone:
        # Nobody will remove the names now but the workers: each one that notices removes
        # both.
        _unlink_names(names)


def _leave_if_forked(worker_pid: int) -> None:
    """A task (or initializer) that forked returns in the child as well: that child is no
    worker of the pool. It must not put a second result, take tasks or stop messages meant
    for the real workers, or run the worker's exit handlers: it leaves at once."""
    if os.getpid() != worker_pid:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        os._exit(0)
