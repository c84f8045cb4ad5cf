"""kelvane: fast, crash-safe inter-process primitives on POSIX shared memory."""

from typing import TYPE_CHECKING

from kelvane_core import KelLock, KelPoolCore, KelQueue, LockRecovered

if TYPE_CHECKING:
    from kelvane.aio import AsyncLock, AsyncQueue
    from kelvane.lock import Lock
    from kelvane.pool import Pool, WorkerDiedError
    from kelvane.queue import DecodeError, Queue

__all__ = [
    "KelLock",
    "KelQueue",
    "KelPoolCore",
    "LockRecovered",
    "Queue",
    "DecodeError",
    "Lock",
    "Pool",
    "WorkerDiedError",
    "AsyncQueue",
    "AsyncLock",
]
__version__ = "0.1.0"

# The Python layer is imported on first use, so that `import kelvane` stays as
# cheap as importing the extension.
_LAZY = {
    "Queue": "kelvane.queue",
    "DecodeError": "kelvane.queue",
    "Lock": "kelvane.lock",
    "Pool": "kelvane.pool",
    "WorkerDiedError": "kelvane.pool",
    "AsyncQueue": "kelvane.aio",
    "AsyncLock": "kelvane.aio",
}


def __getattr__(name: str) -> object:
    module_name = _LAZY.get(name)
    if module_name is None:
        raise AttributeError(f"module 'kelvane' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module_name), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
