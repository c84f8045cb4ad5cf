"""kelvane: fast, crash-safe inter-process primitives on POSIX shared memory."""

from kelvane_core import KelLock, KelPoolCore, KelQueue, LockRecovered

__all__ = ["KelLock", "KelQueue", "KelPoolCore", "LockRecovered"]
__version__ = "0.1.0"
