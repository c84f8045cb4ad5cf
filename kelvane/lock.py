"""kelvane.Lock: a named inter-process lock in the shape of threading.Lock.

The class is native (kelvane._native): every acquire and release is one C call.
"""

from __future__ import annotations

from collections.abc import Callable

from kelvane._native import Lock
from kelvane_core import LockRecovered

__all__ = ["Lock", "LockRecovered"]


def _rebuild(name: str, on_recovered: Callable[[], object] | None) -> Lock:
    """A pickled kelvane.Lock, opened again by its name."""
    return Lock(name, on_recovered=on_recovered)
