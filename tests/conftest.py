"""Shared fixtures: unique segment names that are always removed, child processes
with a deadline."""

import multiprocessing
import os
import uuid

import pytest

SHM_DIR = "/dev/shm"


def _remove(name):
    try:
        os.unlink(os.path.join(SHM_DIR, name.lstrip("/")))
    except FileNotFoundError:
        pass


@pytest.fixture
def shm_name():
    """A factory of segment names unique to this test; every name it gave, and every
    pool name created meanwhile by this process, is gone after the test."""
    given = []
    before = set(os.listdir(SHM_DIR))

    def make(tag="t"):
        name = f"kt_{tag}_{os.getpid()}_{uuid.uuid4().hex[:12]}"
        given.append(name)
        return name

    yield make
    for name in given:
        _remove(name)
    for name in set(os.listdir(SHM_DIR)) - before:
        if name.startswith(("kp_task_", "kp_res_", "kt_")):
            _remove(name)


@pytest.fixture(scope="session")
def mp():
    """Child processes start fresh (spawn): no inherited threads or locks."""
    return multiprocessing.get_context("spawn")


def join_or_kill(proc, timeout=30):
    """Waits for a child; a child still running at the deadline is a hang: kill it
    and fail."""
    proc.join(timeout)
    if proc.is_alive():
        proc.kill()
        proc.join(5)
        pytest.fail(f"child {proc.name} did not finish within {timeout} s")
    return proc.exitcode
