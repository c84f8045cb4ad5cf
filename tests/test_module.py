"""The module as Python sees it: registration, the shape of the classes and of
LockRecovered, and how arguments are bound and converted."""

import gc
import importlib
import os
import sys
import weakref

import pytest

import kelvane_core
from kelvane_core import KelLock, KelPoolCore, KelQueue, LockRecovered

SHM_DIR = "/dev/shm"
NAMES = ["KelLock", "KelQueue", "KelPoolCore", "LockRecovered"]
RECV_VIEW_DOC = (
    "Zero-copy receive. Returns a PyMemoryView.\n"
    "IMPORTANT: The user MUST call commit_read(view_info) after processing to advance the queue.\n"
    "returns (memoryview, view_info)"
)


class Name(str):
    pass


class Payload(bytes):
    pass


class One:
    def __index__(self):
        return 1


def test_module_lists_its_four_names_once():
    assert kelvane_core.__all__ == NAMES
    assert type(kelvane_core.__all__) is list
    assert kelvane_core.__doc__ == ""
    assert kelvane_core.__file__.endswith(".abi3.so")
    assert [getattr(kelvane_core, n) for n in NAMES] == [KelLock, KelQueue, KelPoolCore, LockRecovered]


def test_initialising_again_returns_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "kelvane_core")  # the next import runs the init function again
    again = importlib.import_module("kelvane_core")
    assert again is kelvane_core
    assert again.KelLock is KelLock
    assert again.__all__ == NAMES


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_sub_interpreter_import_is_refused_and_main_module_keeps_working(config, shm_name):
    interpreters = pytest.importorskip("_interpreters", reason="no sub-interpreter API in this Python")
    iid = interpreters.create(config)
    try:
        failure = interpreters.run_string(iid, "import kelvane_core")
    finally:
        interpreters.destroy(iid)
    assert failure is not None and failure.type.__name__ == "ImportError"
    if config == "legacy":  # the isolated config is refused by the interpreter before the module runs
        assert "modules do not yet support subinterpreters" in failure.msg
    name = shm_name()
    lock = KelLock(name)
    lock.acquire()
    lock.release()
    KelLock.unlink(name)


@pytest.mark.parametrize(
    "cls, signature",
    [(KelLock, "(name)"), (KelQueue, "(name, size_mb)"), (KelPoolCore, "(size_mb)")],
    ids=lambda v: getattr(v, "__name__", v),
)
def test_class_shape(cls, signature):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


METHODS = {
    KelLock: {
        "acquire": "($self)",
        "release": "($self)",
        "__enter__": "($self)",
        "__exit__": "($self, _exc_type, _exc_value, _traceback)",
        "unlink": "(name)",
    },
    KelQueue: {
        "put_bytes": "($self, data)",
        "get_bytes": "($self)",
        "recv_view": "($self)",
        "commit_read": "($self, next_pos)",
        "unlink": "(name)",
    },
    KelPoolCore: {"put_task": "($self, data)", "get_result": "($self)", "unlink": "($self)"},
}


# Calls with a timeout, for the Python layer: documented, and none of them changes
# the methods above.
TIMED_METHODS = {
    KelLock: {"acquire_timed": "($self, timeout)"},
    KelQueue: {
        "put_bytes_timed": "($self, data, timeout, done=None)",
        "get_bytes_timed": "($self, timeout, into=None)",
        "put_many": "($self, items, timeout, done=None)",
        "get_many": "($self, max_items, timeout, into=None)",
        "recv_view_timed": "($self, timeout)",
        "stats": "($self)",
        "attach": "($type, name)",
        # never waiting, for an event loop's thread; and one thread waiting for many queues
        "try_put": "($self, data, done=None, claim=False)",
        "try_put_many": "($self, items, done=None, claim=False)",
        "try_get_many": "($self, max_items, into=None)",
        "withdraw_claim": "($self)",
        "stats_nowait": "($self)",
        "wait_any": "(waits, word, seen, timeout)",
        "interrupt_wait": "(word)",
    },
    KelPoolCore: {},
}


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda c: c.__name__)
def test_method_signatures_and_docs(cls):
    public = {n for n in vars(cls) if not n.startswith("_")}
    getters = {"task_q_name", "result_q_name"} if cls is KelPoolCore else set()
    documented_getters = {"capacity"} if cls is KelQueue else set()
    assert public == {n for n in METHODS[cls] if not n.startswith("_")} | set(TIMED_METHODS[cls]) | getters | (
        documented_getters
    )
    for name, signature in METHODS[cls].items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == (RECV_VIEW_DOC if name == "recv_view" else None), name
    for name, signature in TIMED_METHODS[cls].items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__, name
    for getter in getters:
        assert vars(cls)[getter].__doc__ == ""
    for getter in documented_getters:
        assert vars(cls)[getter].__doc__


@pytest.fixture(params=["KelLock", "KelQueue", "KelPoolCore"])
def instance(request, shm_name):
    if request.param == "KelLock":
        return KelLock(shm_name())
    if request.param == "KelQueue":
        return KelQueue(shm_name(), 1)
    return KelPoolCore(1)


def test_instances_are_plain_final_objects(instance):
    cls = type(instance)
    assert repr(instance).startswith(f"<builtins.{cls.__name__} object at 0x")
    assert not hasattr(instance, "__dict__")
    assert not gc.is_tracked(instance)
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1
    if cls is KelPoolCore:
        for getter in ("task_q_name", "result_q_name"):
            with pytest.raises(AttributeError):
                setattr(instance, getter, "x")


def test_lock_recovered_type():
    assert LockRecovered.__mro__ == (LockRecovered, RuntimeError, Exception, BaseException, object)
    assert (LockRecovered.__module__, LockRecovered.__name__) == ("kelvane_core", "LockRecovered")
    assert LockRecovered.__qualname__ == "LockRecovered"
    assert LockRecovered.__doc__ is None
    assert set(vars(LockRecovered)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}


# Calls refused by argument binding or conversion; `n` is a fresh name that must not
# appear in /dev/shm afterwards. The expected text is the parameter the message names.
BAD_CALLS = [
    ("lock no name", lambda n: KelLock(), TypeError, "'name'"),
    ("lock surplus", lambda n: KelLock(n, n), TypeError, "at most 1 argument"),
    ("lock bad keyword", lambda n: KelLock(nam=n), TypeError, "'nam'"),
    ("lock name twice", lambda n: KelLock(n, name=n), TypeError, "'name'"),
    ("lock bytes name", lambda n: KelLock(n.encode()), TypeError, "'name'"),
    ("lock None name", lambda n: KelLock(None), TypeError, "'name'"),
    ("lock surrogate", lambda n: KelLock(n + "\udc80"), UnicodeEncodeError, "surrogates"),
    ("lock unlink no name", lambda n: KelLock.unlink(), TypeError, "'name'"),
    ("lock unlink int", lambda n: KelLock.unlink(7), TypeError, "'name'"),
    ("lock unlink surrogate", lambda n: KelLock.unlink(n + "\ud800"), UnicodeEncodeError, "surrogates"),
    ("acquire foreign self", lambda n: KelLock.acquire(object()), TypeError, "KelLock"),
    ("queue no size", lambda n: KelQueue(n), TypeError, "'size_mb'"),
    ("queue negative size", lambda n: KelQueue(n, -1), OverflowError, ""),
    ("queue size 2**64", lambda n: KelQueue(n, 2**64), OverflowError, ""),
    ("queue float size", lambda n: KelQueue(n, 1.0), TypeError, "'size_mb'"),
    ("queue str size", lambda n: KelQueue(n, "1"), TypeError, "'size_mb'"),
    ("queue bad keyword", lambda n: KelQueue(name=n, size_mb=1, mode=0), TypeError, "'mode'"),
    ("queue size twice", lambda n: KelQueue(n, 1, size_mb=1), TypeError, "'size_mb'"),
    ("queue surrogate", lambda n: KelQueue("\ud800" + n, 1), UnicodeEncodeError, "surrogates"),
    ("queue unlink bytes", lambda n: KelQueue.unlink(name=n.encode()), TypeError, "'name'"),
    ("pool no size", lambda n: KelPoolCore(), TypeError, "'size_mb'"),
    ("pool negative size", lambda n: KelPoolCore(-1), OverflowError, ""),
    ("pool size 2**64", lambda n: KelPoolCore(2**64), OverflowError, ""),
    ("pool float size", lambda n: KelPoolCore(size_mb=1.5), TypeError, "'size_mb'"),
    ("pool surplus", lambda n: KelPoolCore(1, 1), TypeError, "at most 1 argument"),
    ("pool unlink on class", lambda n: KelPoolCore.unlink(), TypeError, "unlink"),
]


@pytest.mark.parametrize("call, error, text", [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_bad_arguments_are_refused_before_shared_memory_is_touched(shm_name, call, error, text):
    name = shm_name()
    with pytest.raises(error) as info:
        call(name)
    assert text in str(info.value)
    assert not [n for n in os.listdir(SHM_DIR) if n.startswith(name)]


def test_method_arguments_of_a_lock(shm_name):
    lock = KelLock(shm_name())
    with pytest.raises(TypeError):
        lock.acquire(1)
    with pytest.raises(TypeError):
        lock.release(None)
    lock.acquire()
    for bad in [(None, None), (None, None, None, None)]:
        with pytest.raises(TypeError):
            lock.__exit__(*bad)
    with pytest.raises(TypeError, match="'_traceback'"):
        lock.__exit__(None, _exc_value=None)
    with pytest.raises(TypeError, match="'_exc_type'"):
        lock.__exit__(None, None, None, _exc_type=None)
    assert lock.__exit__(_traceback=object(), _exc_type=ValueError, _exc_value="any") is None
    lock.acquire()  # the keyword __exit__ above did release it
    lock.release()


@pytest.mark.parametrize("bad", [bytearray(b"ab"), memoryview(b"ab"), "ab", None], ids=type)
def test_payloads_must_be_bytes(shm_name, bad):
    queue = KelQueue(shm_name(), 1)
    pool = KelPoolCore(1)
    for put in (queue.put_bytes, pool.put_task):
        with pytest.raises(TypeError, match="'data'"):
            put(bad)
    with pytest.raises(TypeError, match="'data'"):
        queue.put_bytes(data=bad)
    assert queue.put_bytes(data=b"") is None
    assert queue.get_bytes() == b""  # nothing from the refused calls got in


def test_subclasses_of_str_bytes_and_index_objects_are_accepted(shm_name):
    name = shm_name()
    queue = KelQueue(Name(name), One())
    assert os.path.exists(os.path.join(SHM_DIR, name))
    queue.put_bytes(Payload(b"payload"))
    data = queue.get_bytes()
    assert type(data) is bytes and data == b"payload"
    KelPoolCore(One()).put_task(Payload(b"task"))
    with pytest.raises(OverflowError):
        queue.commit_read(-1)
    with pytest.raises(TypeError, match="'next_pos'"):
        queue.commit_read(next_pos="0")
    KelQueue.unlink(Name(name))
    lock_name = shm_name()
    KelLock(Name(lock_name))
    KelLock.unlink(name=Name(lock_name))


def test_static_and_instance_unlink(shm_name):
    lock_name, queue_name = shm_name(), shm_name()
    lock = KelLock(lock_name)
    KelQueue(queue_name, 1)
    assert lock.unlink(lock_name) is None  # callable on an instance too
    assert KelQueue.unlink(queue_name) is None
    assert not any(os.path.exists(os.path.join(SHM_DIR, n)) for n in (lock_name, queue_name))
    pool = KelPoolCore(1)
    names = [pool.task_q_name, pool.result_q_name]
    assert all(os.path.exists(os.path.join(SHM_DIR, n)) for n in names)
    with pytest.raises(TypeError):
        pool.unlink(names[0])
    assert pool.unlink() is None
    assert not any(os.path.exists(os.path.join(SHM_DIR, n)) for n in names)
    dropped = KelPoolCore(1)
    names = [dropped.task_q_name, dropped.result_q_name]
    del dropped
    assert not any(os.path.exists(os.path.join(SHM_DIR, n)) for n in names)
