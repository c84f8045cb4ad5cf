"""Code written against kelvane.Pool runs unchanged on the other executors a user may move
to: ProcessPoolExecutor, loky's reusable executor, and a dask.distributed cluster (here a
local one of two worker processes). Only the line that makes the executor differs; `run`
below is the user's code and is the same for all four."""

import concurrent.futures as cf
import hashlib
import logging
import multiprocessing
import os
import time

import pytest

import kelvane

SHM_DIR = "/dev/shm"
WORKERS = 2


# --- the user's code: plain module-level functions, imported by name in every worker --------


def f(x):
    # Uneven task times, so results come back out of order and map has to restore it.
    time.sleep(0.002 * (x % 3))
    return x, hashlib.sha256(str(x).encode()).hexdigest()[:12], x * x


data = list(range(120))


def run(executor):
    return list(executor.map(f, data))


def check_positive(x):
    if x < 0:
        raise ValueError(f"negative input: {x}")
    return x


def run_failing(executor):
    return list(executor.map(check_positive, [3, 2, -1, 0]))


def worker_pid(_):
    time.sleep(0.005)
    return os.getpid()


# --- the line that differs -------------------------------------------------------------------


def with_kelvane():
    pool = kelvane.Pool(max_workers=WORKERS)
    yield pool
    pool.shutdown(wait=True)
    left = [n for n in pool.names if os.path.exists(os.path.join(SHM_DIR, n))]
    assert not left, f"the pool left its queues behind: {left}"


def with_process_pool():
    pool = cf.ProcessPoolExecutor(max_workers=WORKERS, mp_context=multiprocessing.get_context("forkserver"))
    yield pool
    pool.shutdown(wait=True)


def with_loky():
    loky = pytest.importorskip("loky", reason="loky is not installed (pip install 'kelvane[executors]')")
    pool = loky.get_reusable_executor(max_workers=WORKERS)
    yield pool
    # The reusable executor outlives its callers by design; stop its workers now.
    pool.shutdown(wait=True, kill_workers=True)


def with_dask():
    distributed = pytest.importorskip(
        "distributed", reason="dask.distributed is not installed (pip install 'kelvane[executors]')")
    # One cluster for the whole module, on the loopback only and without a dashboard.
    cluster = distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=logging.ERROR)
    try:
        client = distributed.Client(cluster)
        try:
            pool = client.get_executor()
            yield pool
            pool.shutdown(wait=True)
        finally:
            client.close()
    finally:
        cluster.close()


MAKERS = {
    "kelvane.Pool": with_kelvane,
    "ProcessPoolExecutor": with_process_pool,
    "loky": with_loky,
    "dask.distributed": with_dask,
}


@pytest.fixture(scope="module", params=list(MAKERS))
def executor(request):
    maker = MAKERS[request.param]()
    yield next(maker)
    next(maker, None)


# --- what must agree -------------------------------------------------------------------------


@pytest.mark.timeout(120)
def test_same_results_in_order(executor):
    assert run(executor) == [f(x) for x in data]


@pytest.mark.timeout(120)
def test_the_task_exception_reaches_the_caller(executor):
    with pytest.raises(ValueError, match="negative input: -1"):
        run_failing(executor)


@pytest.mark.timeout(120)
def test_work_runs_in_other_processes(executor):
    pids = set(executor.map(worker_pid, range(20)))
    assert pids and os.getpid() not in pids
