"""python -m kelvane bench: kelvane against multiprocessing, faster-fifo, posix_ipc, pyzmq and
filelock, measured side by side in one run on this machine.

Every figure is a rate measured in child processes started for that one measurement; the
transports of a scenario take turns (one repetition of each, then the next round), and each
rate printed is the median of the rounds. Producer and consumer are pinned to different CPUs
where there are two. Ratios compare kelvane with each peer in the same run; see bench/README.md.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import sys
import time

from kelvane_core import KelQueue

from kelvane.tools import _bench_async as aio
from kelvane.tools import _bench_capi as capi
from kelvane.tools import _bench_cases as cases
from kelvane.tools import _bench_core as core
from kelvane.tools._bench_procs import Cleanup, MeasureError, Unavailable, run_group, usable_cpus

KiB, MiB = 1 << 10, 1 << 20
STREAM_SIZES = (64, KiB, 64 * KiB, MiB)
STREAM_PEERS = ("mp.Queue", "mp.SimpleQueue", "mp.Pipe", "faster-fifo", "posix_ipc MQ", "pyzmq PUSH/PULL")
MPMC_PEERS = ("mp.Queue", "mp.SimpleQueue", "faster-fifo", "posix_ipc MQ")
PINGPONG_PEERS = ("mp.Pipe", "mp.Queue", "mp.SimpleQueue", "faster-fifo", "posix_ipc MQ", "pyzmq PUSH/PULL")
POOL_PEERS = ("mp.Queue", "faster-fifo")
LAYER_PEERS = ("mp.Queue", "faster-fifo")
LAYER_BATCH = 256
GROUPS = ("stream", "core", "mpmc", "pingpong", "lock", "pool", "layer", "executor", "async", "large", "memory")
LARGE_SIZES = (MiB, 16 * MiB, 256 * MiB)
LARGE_GUESS = {MiB: 200, 16 * MiB: 16, 256 * MiB: 2}
LARGE_MAP_SIZE = 16 * MiB
STREAM_NAME = "1 -> 1 streaming"
CORE_NAME = "the layers, 1 -> 1 streaming"
CORE_TRANSPORT = "kelvane core (C++)"
CAPI_TRANSPORT = "C++ producer (kelvane.hpp)"
# First guess of messages per calibration run, by message size.
FIRST_GUESS = {64: 20_000, KiB: 10_000, 64 * KiB: 2_000, MiB: 200}


def size_label(size):
    if size >= MiB and size % MiB == 0:
        return f"{size // MiB} MiB"
    if size >= KiB and size % KiB == 0:
        return f"{size // KiB} KiB"
    return f"{size} B"


def si(value, unit=""):
    if value is None:
        return "-"
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "K")):
        if abs(value) >= factor:
            return f"{value / factor:.3g} {prefix}{unit}"
    return f"{value:.3g} {unit}".rstrip()


# ---------------------------------------------------------------------------
# What is measured


class Case:
    """One transport in one scenario.

    make(cleanup) builds what the children share (may raise Unavailable); roles(resource, n)
    gives the children; rate(results, n) turns their timings into one figure. Counted cases
    move n messages, with n calibrated so that one measurement takes the target time; timed
    cases run for the target time themselves.
    """

    def __init__(self, transport, make, roles, rate, first_guess=None):
        self.transport = transport
        self.make = make
        self.roles = roles
        self.rate = rate
        self.first_guess = first_guess  # None: a timed case
        self.n = None
        self.rates = []
        self.note = None
        self.extra = None


class Scenario:
    def __init__(self, group, name, size, unit, cases_, note=None):
        self.group, self.name, self.size, self.unit = group, name, size, unit
        self.cases = cases_
        self.note = note

    @property
    def title(self):
        return f"{self.name}, {size_label(self.size)}" if self.size else self.name

    def case(self, transport):
        for c in self.cases:
            if c.transport == transport:
                return c
        return None


def _release(resource):
    for r in resource if isinstance(resource, (list, tuple)) else (resource,):
        r.release()


def rate_until_last(indices):
    """n over the time from the first start to the last end of the given roles."""

    def rate(results, n):
        start = min(t0 for t0, _, _ in results)
        end = max(results[i][1] for i in indices)
        return n / (end - start)

    return rate


def sum_over_time(results, n):
    start = min(t0 for t0, _, _ in results)
    end = max(t1 for _, t1, _ in results)
    return sum(extra for _, _, extra in results) / (end - start)


def stream_plan(cpus):
    plan = []
    for size in STREAM_SIZES:
        data, guess = cases.payload(size), FIRST_GUESS[size]
        row = []
        for style in ("get", "view"):
            row.append(Case(
                f"kelvane {'recv_view' if style == 'view' else 'get_bytes'}",
                lambda cl, size=size: cases.make_links("kelvane", cl, size, 1)[0],
                lambda link, n, style=style, data=data: cases.stream_roles(link, style, data, n, cpus),
                rate_until_last([0]),
                guess,
            ))
        for peer in STREAM_PEERS:
            row.append(Case(
                peer,
                lambda cl, peer=peer, size=size: cases.make_links(peer, cl, size, 1)[0],
                lambda link, n, data=data: cases.stream_roles(link, "get", data, n, cpus),
                rate_until_last([0]),
                guess,
            ))
        row.append(Case(
            "memcpy (1 core)",
            lambda cl: (),
            lambda _, n, size=size: cases.memcpy_roles(size, cases.ring_capacity(size), n, cpus),
            rate_until_last([0]),
            guess * 10,
        ))
        plan.append(Scenario("stream", STREAM_NAME, size, "msg/s", row))
    return plan


def core_plan(cpus, program, capi_program):
    """The same stream through each layer: the core alone (bench/core_stream.cpp, the core
    calls put_bytes and get_bytes make, without the interpreter), a C++ program's producer
    through the shipped C++ API into a Python consumer (get_bytes), KelQueue from Python,
    and kelvane.Queue without a serializer."""
    plan = []
    for size in STREAM_SIZES:
        data, guess = cases.payload(size), FIRST_GUESS[size]
        capacity_mb = max(1, cases.ring_capacity(size) // MiB)
        row = [
            Case(
                CORE_TRANSPORT,
                lambda cl: core.CoreLink(cl, program),
                lambda link, n, size=size, capacity_mb=capacity_mb: core.stream_roles(
                    link, size, capacity_mb, n, cpus),
                core.rate,
                guess * 4,
            ),
            Case(
                CAPI_TRANSPORT,
                lambda cl, size=size: capi.CapiLink(cl, capi_program, size),
                lambda link, n, size=size: capi.stream_roles(link, size, n, cpus),
                rate_until_last([0]),
                guess,
            ),
            Case(
                "kelvane get_bytes",
                lambda cl, size=size: cases.make_links("kelvane", cl, size, 1)[0],
                lambda link, n, data=data: cases.stream_roles(link, "get", data, n, cpus),
                rate_until_last([0]),
                guess,
            ),
            Case(
                "kelvane.Queue serializer=None",
                lambda cl, size=size: cases.layer_link("kelvane.Queue serializer=None", cl, size),
                lambda link, n, data=data: cases.stream_roles(link, "get", data, n, cpus),
                rate_until_last([0]),
                guess,
            ),
        ]
        note = ("core: bench/core_stream.cpp, the core calls of put_bytes and get_bytes without Python; "
                "C++ producer: kelvane/tools/capi_producer.cpp through kelvane.hpp, into get_bytes; "
                "get_bytes: KelQueue; kelvane.Queue: the Python layer")
        plan.append(Scenario("core", CORE_NAME, size, "msg/s", row, note=note))
    return plan


def mpmc_plan(cpus, size=KiB, each=4):
    data = cases.payload(size)

    def rate(results, n):
        consumers_end = max(t1 for _, t1, _ in results[:each])
        return (n // each * each) / (consumers_end - min(t0 for t0, _, _ in results))

    row = [
        Case(
            "kelvane get_bytes" if kind == "kelvane" else kind,
            lambda cl, kind=kind: cases.make_links(kind, cl, size, 1)[0],
            lambda link, n: cases.mpmc_roles(link, data, max(1, n // each), each, each, cpus),
            rate,
            20_000,
        )
        for kind in ("kelvane",) + MPMC_PEERS
    ]
    note = ("producers pinned to one CPU, consumers to the other; pyzmq and mp.Pipe have no "
            "shared multi-consumer queue and are left out")
    return [Scenario("mpmc", f"{each} -> {each} streaming", size, "msg/s", row, note=note)]


def pingpong_plan(cpus, size=64):
    data = cases.payload(size)
    row = [
        Case(
            "kelvane get_bytes" if kind == "kelvane" else kind,
            lambda cl, kind=kind: cases.make_links(kind, cl, size, 2),
            lambda links, n: cases.pingpong_roles(links[0], links[1], data, n, cpus),
            rate_until_last([1]),
            5_000,
        )
        for kind in ("kelvane",) + PINGPONG_PEERS
    ]
    return [Scenario("pingpong", "ping-pong round trip", size, "round trips/s", row)]


LOCK_LATENCY = "lock, hand-off to a process that awaits it"


def lock_plan(cpus, seconds):
    def uncontended_rate(results, n):
        t0, t1, count = results[0]
        return count / (t1 - t0)

    plan = []
    for name, form in (("lock, uncontended acquire+release", "call"), ("lock, uncontended with", "with")):
        row = [
            Case(label, lambda cl, maker=maker: maker(cl),
                 lambda m, n, form=form: cases.lock_uncontended_roles(m, seconds, cpus, form), uncontended_rate)
            for label, maker in cases.UNCONTENDED_LOCKS.items()
        ]
        note = "acquire and release bound to names first" if form == "call" else None
        plan.append(Scenario("lock", name, None, "acquire+release/s", row, note=note))
    row = [
        Case(label, lambda cl, maker=maker: maker(cl), lambda m, n: cases.lock_handoff_roles(m, seconds, cpus),
             sum_over_time)
        for label, maker in cases.LOCKS.items()
    ]
    plan.append(Scenario("lock", "lock, hand-offs between two processes", None, "hand-offs/s", row))

    row = []
    for kind in (aio.ASYNC_LOCK, aio.LOCK_IN_THREAD, aio.LOCK_BLOCKING):
        case = Case(kind, cases.LayerLockMaker,
                    lambda m, n, kind=kind: aio.lock_latency_roles(kind, m, seconds, cpus), None)

        def per_second(results, n, case=case):
            waits = sorted(w for _, _, extra in results for w in extra)
            if not waits:
                raise MeasureError(f"{case.transport}: no hand-off in the time")
            case.extra = waits[len(waits) // 2]
            return 1 / case.extra

        case.rate = per_second
        row.append(case)
    note = (f"the figure is 1 / the median time from one process's release to the other's acquire "
            f"returning, the waiter asleep in its wait ({aio.SETTLE * 1e3:g} to {aio.SETTLE * 2e3:g} ms after it "
            "began); "
            "'in a thread': await loop.run_in_executor(one thread, lock.acquire), released by that thread")
    plan.append(Scenario("lock", LOCK_LATENCY, None, "hand-offs/s", row, note=note))
    return plan


def pool_plan(cpus, workers, size=64):
    data = cases.payload(size)
    row = [
        Case(
            "kelvane KelPoolCore",
            lambda cl: cases.KelPoolLinks(cl, size),
            lambda links, n: cases.pool_roles(links, data, n, workers, cpus),
            rate_until_last([workers]),
            5_000,
        ),
        Case(
            "mp.Pool imap",
            lambda cl: (),
            lambda _, n: cases.mp_pool_roles(data, n, workers, cpus),
            rate_until_last([0]),
            2_000,
        ),
    ] + [
        Case(
            f"{kind} pair",
            lambda cl, kind=kind: cases.QueuePairLinks(kind, cl, size),
            lambda links, n: cases.pool_roles(links, data, n, workers, cpus),
            rate_until_last([workers]),
            5_000,
        )
        for kind in POOL_PEERS
    ]
    note = f"the owner keeps {cases.POOL_WINDOW} tasks in flight"
    return [Scenario("pool", f"pool, echo workers ({workers})", size, "tasks/s", row, note=note)]


def layer_plan(cpus):
    """kelvane.Queue: objects through pickle against the peers that take objects, batches,
    and what the layer costs over the raw byte calls."""
    plan = []
    data = cases.payload(64)
    row = []
    for kind in ("kelvane.Queue put/get",) + LAYER_PEERS:
        row.append(Case(
            kind,
            lambda cl, kind=kind: cases.layer_link(kind, cl, 64),
            lambda link, n: cases.stream_roles(link, "get", data, n, cpus),
            rate_until_last([0]),
            FIRST_GUESS[64],
        ))
    row.append(Case(
        "kelvane.Queue put_many/get_many",
        lambda cl: cases.layer_link("kelvane.Queue", cl, 64),
        lambda link, n: cases.batch_roles(link, data, n, LAYER_BATCH, cpus),
        rate_until_last([0]),
        FIRST_GUESS[64] * 5,
    ))
    plan.append(Scenario("layer", "objects (pickle), 1 -> 1", 64, "msg/s", row,
                         note=f"put_many/get_many in batches of {LAYER_BATCH}"))
    row = []
    for batched in (False, True):
        row.append(Case(
            "kelvane.Queue put_many/get_many" if batched else "kelvane.Queue put/get",
            lambda cl: cases.layer_link("kelvane.Queue serializer=None", cl, 64),
            (lambda link, n: cases.batch_roles(link, data, n, LAYER_BATCH, cpus)) if batched
            else (lambda link, n: cases.stream_roles(link, "get", data, n, cpus)),
            rate_until_last([0]),
            FIRST_GUESS[64] * (5 if batched else 1),
        ))
    plan.append(Scenario("layer", "bytes through kelvane.Queue, batched, 1 -> 1", 64, "msg/s", row,
                         note=f"serializer=None; put_many/get_many in batches of {LAYER_BATCH}"))
    data = cases.payload(KiB)
    row = [
        Case(
            "kelvane.Queue serializer=None",
            lambda cl: cases.layer_link("kelvane.Queue serializer=None", cl, KiB),
            lambda link, n: cases.stream_roles(link, "get", data, n, cpus),
            rate_until_last([0]),
            FIRST_GUESS[KiB],
        ),
        Case(
            "kelvane get_bytes",
            lambda cl: cases.make_links("kelvane", cl, KiB, 1)[0],
            lambda link, n: cases.stream_roles(link, "get", data, n, cpus),
            rate_until_last([0]),
            FIRST_GUESS[KiB],
        ),
    ]
    plan.append(Scenario("layer", "bytes through kelvane.Queue, 1 -> 1", KiB, "msg/s", row))
    return plan

EXECUTOR_WORKERS = 2


def executor_plan(chunksizes=(1, 64), size=64):
    """kelvane.Pool.map against the executors it stands in for, on tiny tasks."""
    data = cases.payload(size)
    plan = []
    for chunksize in chunksizes:
        row = [
            Case(
                kind,
                lambda cl: (),
                lambda _, n, kind=kind, chunksize=chunksize: cases.executor_map_roles(
                    kind, data, n, EXECUTOR_WORKERS, chunksize),
                rate_until_last([0]),
                guess * chunksize,
            )
            for kind, guess in zip(cases.EXECUTORS, (20_000, 2_000, 5_000))
        ]
        note = (f"{EXECUTOR_WORKERS} workers started by forkserver, tasks return their {size} B "
                f"argument; all three map over one list, chunksize={chunksize}")
        plan.append(Scenario("executor", f"pool map, {size} B tasks, chunksize {chunksize}", None,
                             "tasks/s", row, note=note))
    return plan


def executor_targets(plan):
    """Target rows for the executor scenarios."""

    def ratio(chunksize, peer):
        for sc in plan:
            if sc.group == "executor" and sc.name.endswith(f"chunksize {chunksize}"):
                a, b = sc.case(cases.EXECUTORS[0]), sc.case(peer)
                if a is not None and b is not None and median(a) and median(b):
                    return median(a) / median(b)
        return None

    ppe, mpp = cases.EXECUTORS[1], cases.EXECUTORS[2]
    return [
        ("Pool.map, 64 B tasks, chunksize 1", ">= 3x ProcessPoolExecutor and >= 2x mp.Pool",
         [(ratio(1, ppe), 3, "x ProcessPoolExecutor"), (ratio(1, mpp), 2, "x mp.Pool")]),
        ("Pool.map, 64 B tasks, chunksize 64", ">= 1x ProcessPoolExecutor and >= 1x mp.Pool",
         [(ratio(64, ppe), 1, "x ProcessPoolExecutor"), (ratio(64, mpp), 1, "x mp.Pool")]),
    ]


ASYNC_STREAM = "1 -> 1 into an asyncio consumer"
ASYNC_PINGPONG = "ping-pong between two asyncio processes"
ASYNC_MANY = "tasks awaiting as many queues, one event loop"


def async_plan(cpus):
    """An asyncio consumer against the ways an asyncio program waits for another process
    today; ping-pong between two event loops against the blocking get in a thread; many
    tasks awaiting many queues (wake-ups per second, and the threads that costs)."""
    plan = []
    for size in (64, KiB):
        data = cases.payload(size)
        row = [
            Case(
                kind,
                lambda cl, kind=kind, size=size: aio.link(kind, cl, size),
                lambda channel, n, kind=kind, data=data: aio.stream_roles(kind, channel, data, n, cpus),
                rate_until_last([0]),
                FIRST_GUESS[size] if kind == aio.ASYNC_QUEUE else 2_000,
            )
            for kind in (aio.ASYNC_QUEUE, aio.EXECUTOR_GET, aio.AIOPROCESSING)
        ]
        note = "the producer is a plain blocking loop: kelvane.Queue.put, mp.Queue.put, AioQueue.put"
        plan.append(Scenario("async", ASYNC_STREAM, size, "msg/s", row, note=note))
    data = cases.payload(64)
    row = [
        Case(
            kind,
            lambda cl: [cases.LayerChannel(cl, 64, cases.ring_capacity(64)) for _ in range(2)],
            lambda channels, n, kind=kind: aio.pingpong_roles(kind, channels, data, n, cpus),
            rate_until_last([1]),
            2_000,
        )
        for kind in (aio.ASYNC_QUEUE, aio.THREAD_GET, aio.BLOCKING_GET)
    ]
    note = ("kelvane.Queue objects (pickle); 'in a thread': await loop.run_in_executor(None, q.get); "
            "'no asyncio': both sides block in q.get()")
    plan.append(Scenario("async", ASYNC_PINGPONG, 64, "round trips/s", row, note=note))
    row = []
    for count in (100, aio.WAITING_QUEUES):
        case = Case(
            f"{aio.ASYNC_QUEUE}, {count} queues",
            lambda cl, count=count: aio.ManyQueues(cl, count),
            lambda queues, n: aio.many_waiters_roles(queues, n, cpus),
            None,
            5 * count,
        )

        def wakes(results, n, case=case):
            case.extra = results[0][2]
            return case.extra["wakes"] / case.extra["seconds"]

        case.rate = wakes
        row.append(case)
    note = ("one task per 1 MiB queue awaits a message; another process puts one into each once all "
            "wait, round after round; threads: the awaiting process's, the loop's own included")
    plan.append(Scenario("async", ASYNC_MANY, None, "wake-ups/s", row, note=note))
    return plan


def async_targets(plan):
    """Target rows for the async scenarios: (name, target, checks) as evaluate_targets takes them."""

    def ratio(name, size, mine, peer):
        for sc in plan:
            if sc.group == "async" and sc.name == name and sc.size == size:
                a, b = sc.case(mine), sc.case(peer)
                if a is not None and b is not None and median(a) and median(b):
                    return median(a) / median(b)
        return None

    return [
        ("asyncio consumer, 64 B, 1->1", ">= 10x run_in_executor(mp.Queue.get)",
         [(ratio(ASYNC_STREAM, 64, aio.ASYNC_QUEUE, aio.EXECUTOR_GET), 10, "x run_in_executor")]),
        ("asyncio consumer, 1 KiB, 1->1", ">= 10x run_in_executor(mp.Queue.get)",
         [(ratio(ASYNC_STREAM, KiB, aio.ASYNC_QUEUE, aio.EXECUTOR_GET), 10, "x run_in_executor")]),
        ("asyncio ping-pong round trip", "within 2x of the get in a thread",
         [(ratio(ASYNC_PINGPONG, 64, aio.ASYNC_QUEUE, aio.THREAD_GET), 0.5, "x get in a thread")]),
    ]


def async_thread_row(plan):
    """The threads of a process whose tasks await WAITING_QUEUES queues, beyond the loop's own."""
    for sc in plan:
        if sc.group == "async" and sc.name == ASYNC_MANY:
            case = sc.case(f"{aio.ASYNC_QUEUE}, {aio.WAITING_QUEUES} queues")
            if case is not None and case.extra:
                beyond = case.extra["threads"] - 1
                return (f"{aio.WAITING_QUEUES:,} tasks awaiting {aio.WAITING_QUEUES:,} queues",
                        "<= 2 threads beyond the loop's", f"{beyond} beyond the loop's",
                        "PASS" if beyond <= 2 else "MISS")
    return None


def large_plan(cpus, workers, capi_program=None):
    """numpy arrays: one producer to one consumer that sums each, through kelvane.Queue and
    the peers, against one core's memcpy; the same with the producer filling each array in
    place (a loan, from Python and from a C++ program) against filling a private array and
    putting it; and Pool.map over arrays against ProcessPoolExecutor.map."""
    plan = []

    def case(kind, size, fill):
        return Case(
            kind,
            lambda cl, kind=kind, size=size: cases.LargeLink(kind, cl, size, capi_program),
            lambda link, n, size=size: cases.large_roles(link, size, n, cpus, fill),
            rate_until_last([0]),
            LARGE_GUESS[size] * (8 if kind == "memcpy (1 core)" else 1),
        )

    for size in LARGE_SIZES:
        note = (f"float64 arrays; the consumer sums each; kelvane.Queue with a 16 MiB ring; by hand: "
                f"the producer copies into a new SharedMemory block and sends its name over an "
                f"mp.Queue({cases.LARGE_HAND_DEPTH}), the consumer attaches, unlinks, sums; py-sharedmemory "
                f"capacity {cases.LARGE_PEER_DEPTH}; dejaq buffer_bytes max(16 MiB, 2 arrays); iceoryx2: "
                f"a byte-slice service, the producer copies into a loaned slice, the consumer polls")
        plan.append(Scenario("large", "numpy arrays, 1 -> 1", size, "arrays/s",
                             [case(kind, size, False) for kind in cases.LARGE_KINDS], note=note))
    for size in LARGE_SIZES:
        note = ("the producer writes every element of each array (a[:] = i): into a loan "
                "(kelvane loan_array, iceoryx2 loan_slice_uninit; C++: kv::queue::loan, send_array) or into "
                "a private array it then puts; the consumer sums each")
        kinds = (*cases.LARGE_LOAN_KINDS, cases.LARGE_CAPI_KIND)
        plan.append(Scenario("large", "numpy arrays filled in place, 1 -> 1", size, "arrays/s",
                             [case(kind, size, True) for kind in kinds], note=note))
    row = [
        Case(
            kind,
            lambda cl: (),
            lambda _, n, kind=kind: cases.large_map_roles(kind, LARGE_MAP_SIZE, n, EXECUTOR_WORKERS),
            rate_until_last([0]),
            16,
        )
        for kind in cases.LARGE_EXECUTORS
    ]
    plan.append(Scenario("large", "pool map over numpy arrays", LARGE_MAP_SIZE, "tasks/s", row,
                         note=f"{EXECUTOR_WORKERS} workers started by forkserver; each task sums its array"))
    return plan


def large_targets(plan):
    """Target rows for the large group."""
    S = "large"
    q, mpq, hand, psm, dejaq, iox, copy = cases.LARGE_KINDS
    loan, put, iox_loan = cases.LARGE_LOAN_KINDS

    def ratio(size, mine, peer, name="numpy arrays, 1"):
        for sc in plan:
            if sc.group == S and sc.size == size and sc.name == name:
                a, b = median(sc.case(mine)), median(sc.case(peer))
                return a / b if a and b else None
        return None

    def pool():
        for sc in plan:
            if sc.group == S and sc.name == "pool map over numpy arrays":
                a, b = (median(sc.case(k)) for k in cases.LARGE_EXECUTORS)
                return a / b if a and b else None
        return None

    filled = "numpy arrays filled in place, 1 -> 1"
    share = {MiB: 0.4, 16 * MiB: 0.7, 256 * MiB: 0.7}
    return [
        ("numpy 1/16/256 MiB, kelvane.Queue", ">= 1x every peer at every size (copying)",
         [(ratio(size, q, peer, "numpy arrays, 1 -> 1"), 1, f"x {peer} ({size_label(size)})")
          for size in LARGE_SIZES for peer in (mpq, hand, psm, dejaq, iox)]),
        ("numpy 1/16/256 MiB, kelvane.Queue", ">= 40% of memcpy at 1 MiB, >= 70% at 16 and 256 MiB",
         [(ratio(size, q, copy, "numpy arrays, 1 -> 1"), share[size], f"of memcpy ({size_label(size)})")
          for size in LARGE_SIZES]),
        ("numpy filled in place, loan_array", ">= 1x iceoryx2 loans at every size; >= 1.5x put at 256 MiB",
         [(ratio(size, loan, iox_loan, filled), 1, f"x iceoryx2 loan ({size_label(size)})") for size in LARGE_SIZES]
         + [(ratio(256 * MiB, loan, put, filled), 1.5, "x put (256 MiB)")]),
        ("Pool.map over 16 MiB arrays", ">= 8x ProcessPoolExecutor.map", [(pool(), 8, "x ProcessPoolExecutor")]),
    ]


def build_plan(groups, seconds, cpus, workers, core_program=None, capi_program=None):
    plan = []
    if "stream" in groups:
        plan += stream_plan(cpus)
    if "core" in groups:
        plan += core_plan(cpus, core_program, capi_program)
    if "mpmc" in groups:
        plan += mpmc_plan(cpus)
    if "pingpong" in groups:
        plan += pingpong_plan(cpus)
    if "lock" in groups:
        plan += lock_plan(cpus, seconds)
    if "pool" in groups:
        plan += pool_plan(cpus, workers)
    if "layer" in groups:
        plan += layer_plan(cpus)
    if "executor" in groups:
        plan += executor_plan()
    if "async" in groups:
        plan += async_plan(cpus)
    if "large" in groups:
        plan += large_plan(cpus, workers, capi_program)
    return plan


# ---------------------------------------------------------------------------
# Running


class Runner:
    def __init__(self, cleanup, seconds, reps, progress):
        self.cleanup = cleanup
        self.seconds = seconds
        self.reps = reps
        self.progress = progress
        self.failures = 0

    def measure(self, case, n):
        resource = case.make(self.cleanup)
        try:
            timeout = 60 + 20 * self.seconds
            results = run_group(self.cleanup, case.roles(resource, n), timeout, case.transport)
        finally:
            _release(resource)
        return case.rate(results, n), results

    def calibrate(self, case):
        """Messages per measurement so that one takes about the target time."""
        n = case.first_guess
        for attempt in range(4):
            rate, _ = self.measure(case, n)
            took = n / rate
            if took >= self.seconds / 4 or attempt == 3:
                break
            n = max(n + 1, int(min(n * 30, rate * self.seconds / 2)))
        return max(10, int(rate * self.seconds))

    def run_scenario(self, sc):
        live = []
        for case in sc.cases:
            try:
                if case.first_guess is not None:
                    self.progress(f"{sc.title}: calibrating {case.transport}")
                    case.n = self.calibrate(case)
                else:
                    _release(case.make(self.cleanup))  # can it run here at all?
                live.append(case)
            except Unavailable as exc:
                case.note = f"skipped: {exc}"
                self.progress(f"{sc.title}: {case.transport} {case.note}", always=True)
            except MeasureError as exc:
                case.note = f"failed: {exc}"
                self.failures += 1
                self.progress(f"{sc.title}: {case.transport} {case.note}", always=True)
        for rep in range(self.reps):
            # Rotate the order each round, so no transport always follows the same one.
            order = live[rep % len(live):] + live[: rep % len(live)] if live else []
            for case in order:
                if case.note:
                    continue
                try:
                    rate, _ = self.measure(case, case.n)
                except (MeasureError, Unavailable) as exc:
                    case.note = f"failed: {exc}"
                    self.failures += 1
                    self.progress(f"{sc.title}: {case.transport} {case.note}", always=True)
                    continue
                case.rates.append(rate)
                self.progress(
                    f"{sc.title}: {case.transport} round {rep + 1}/{self.reps}: {si(rate)} {sc.unit}"
                )


def run_memory(cleanup, rss_messages, cpus, progress):
    out = {"rss": {}, "footprint": [], "messages": rss_messages}
    for view in (False, True):
        label = "recv_view/commit_read" if view else "put_bytes/get_bytes"
        progress(f"memory: resident size over {rss_messages:,} 64 B messages, {label}")
        name = cleanup.shm_name("rss")
        try:
            creator = KelQueue(name, 1)  # noqa: F841 (the queue exists while the child runs)
            ((t0, t1, extra),) = run_group(
                cleanup, cases.rss_roles(name, rss_messages, view, cpus), 600, "memory"
            )
        finally:
            creator = None
            cleanup.forget_shm(name)
        extra["seconds"] = t1 - t0
        out["rss"][label] = extra
    sizes = (1, 64, 256)
    progress("memory: address space and shared memory per queue")
    names = [(cleanup.shm_name("fp"), mb) for mb in sizes]
    try:
        ((_, _, footprint),) = run_group(cleanup, cases.footprint_roles(names, cpus), 120, "footprint")
    finally:
        for name, _ in names:
            cleanup.forget_shm(name)
    out["footprint"] = footprint
    return out


# ---------------------------------------------------------------------------
# Reporting


def median(case):
    return statistics.median(case.rates) if case.rates else None


def find(plan, group, size, transport):
    for sc in plan:
        if sc.group == group and sc.size == size:
            c = sc.case(transport)
            return median(c) if c else None
    return None


def format_scenario(sc, reps):
    lines = [f"{sc.title}  [{sc.unit}, median of {reps}]"]
    if sc.note:
        lines.append(f"  ({sc.note})")
    kel = [c for c in sc.cases if c.transport.startswith("kelvane")]
    heads = [c.transport.replace("kelvane ", "").replace("kelvane.Queue ", "") for c in kel]
    name_w = max([24] + [len(c.transport) + 2 for c in sc.cases])
    col_w = max([14] + [len(h) + 4 for h in heads])
    header = f"  {'transport':<{name_w}}{'rate':>12}{'spread':>9}"
    if sc.group in ("stream", "core", "mpmc"):
        header += f"{'MB/s':>10}"
    header += "".join(f"{'x ' + h:>{col_w}}" for h in heads)
    lines.append(header)
    for c in sc.cases:
        m = median(c)
        if m is None:
            lines.append(f"  {c.transport:<{name_w}}{'-':>12}   {c.note or 'no result'}")
            continue
        spread = (max(c.rates) - min(c.rates)) / m if len(c.rates) > 1 else 0.0
        row = f"  {c.transport:<{name_w}}{si(m):>12}{spread:>8.0%} "
        if sc.group in ("stream", "core", "mpmc"):
            mbs = m * sc.size / 1e6
            row += f"{mbs:>10,.0f}" if mbs >= 100 else f"{mbs:>10.3g}"
        for k in kel:
            km = median(k)
            row += f"{km / m:>{col_w - 1}.2f}x" if km else f"{'-':>{col_w}}"
        lines.append(row)
    return "\n".join(lines)


def format_memory(mem, quick):
    lines = [f"memory  [64 B messages through a 1 MiB queue, {mem['messages']:,} per path"
             + (" (--quick; the full run uses 10,000,000)" if quick else "") + "]"]
    lines.append(f"  {'path':<24}{'RSS before':>14}{'RSS after':>14}{'growth':>10}{'anon growth':>13}")
    for label, r in mem["rss"].items():
        b, a = r["before"], r["after"]
        lines.append(
            f"  {label:<24}{b['VmRSS'] / MiB:>12.2f} M{a['VmRSS'] / MiB:>12.2f} M"
            f"{(a['VmRSS'] - b['VmRSS']) / KiB:>8.0f} K{(a['RssAnon'] - b['RssAnon']) / KiB:>11.0f} K"
        )
    lines.append(f"  {'size_mb':<10}{'address space':>16}{'expected 2D+16384':>20}"
                 f"{'shared memory':>16}{'expected D+16384':>19}{'RSS growth':>12}")
    for f in mem["footprint"]:
        d = f["size_mb"] * MiB
        lines.append(
            f"  {f['size_mb']:<10}{f['address_space']:>16,}{2 * d + 16384:>20,}"
            f"{f['shared_memory']:>16,}{d + 16384:>19,}{f['rss_growth'] / KiB:>10.0f} K"
        )
    return "\n".join(lines)


def evaluate_targets(plan, mem, quick):
    """(scenario, target, measured, PASS/MISS/n/a) for each target of the project."""
    S = "stream"

    def ratio(group, size, mine, peer, scale=1.0):
        a, b = find(plan, group, size, mine), find(plan, group, size, peer)
        if a is None or b is None:
            return None
        return a / b / scale

    def lock_ratio(scenario_prefix, peer, mine="kelvane KelLock"):
        for sc in plan:
            if sc.name.startswith(scenario_prefix):
                a, b = sc.case(mine), sc.case(peer)
                if median(a) and median(b):
                    return median(a) / median(b)
        return None

    def layer_ratio(words, mine, peer):
        for sc in plan:
            if sc.group == "layer" and words in sc.name:
                a, b = sc.case(mine), sc.case(peer)
                if median(a) and median(b):
                    return median(a) / median(b)
        return None

    rows = [
        ("64 B, 1->1, put_bytes/get_bytes", ">= 10x mp.Queue and >= 2x faster-fifo",
         [(ratio(S, 64, "kelvane get_bytes", "mp.Queue"), 10, "x mp.Queue"),
          (ratio(S, 64, "kelvane get_bytes", "faster-fifo"), 2, "x faster-fifo")]),
        ("1 KiB, 1->1 (get_bytes)", ">= 5x mp.Queue and >= 1x pyzmq",
         [(ratio(S, KiB, "kelvane get_bytes", "mp.Queue"), 5, "x mp.Queue"),
          (ratio(S, KiB, "kelvane get_bytes", "pyzmq PUSH/PULL"), 1, "x pyzmq")]),
        ("1 MiB, 1->1, get_bytes", ">= 4x mp.Queue",
         [(ratio(S, MiB, "kelvane get_bytes", "mp.Queue"), 4, "x mp.Queue")]),
        ("1 MiB, 1->1, recv_view+commit_read", ">= 8x mp.Queue and >= 35% of memcpy",
         [(ratio(S, MiB, "kelvane recv_view", "mp.Queue"), 8, "x mp.Queue"),
          (ratio(S, MiB, "kelvane recv_view", "memcpy (1 core)"), 0.35, "of memcpy")]),
        ("1 KiB, 4->4 processes", ">= 5x mp.Queue",
         [(ratio("mpmc", KiB, "kelvane get_bytes", "mp.Queue"), 5, "x mp.Queue")]),
        ("64 B ping-pong round trip", ">= 1x mp.Pipe",
         [(ratio("pingpong", 64, "kelvane get_bytes", "mp.Pipe"), 1, "x mp.Pipe")]),
        ("KelLock, uncontended acquire+release", ">= 0.9x mp.Lock",
         [(lock_ratio("lock, uncontended acquire", "mp.Lock"), 0.9, "x mp.Lock")]),
        ("kelvane.Lock, uncontended acquire+release", ">= 1x mp.Lock",
         [(lock_ratio("lock, uncontended acquire", "mp.Lock", "kelvane.Lock"), 1, "x mp.Lock")]),
        ("kelvane.Lock, uncontended with", ">= 1x mp.Lock",
         [(lock_ratio("lock, uncontended with", "mp.Lock", "kelvane.Lock"), 1, "x mp.Lock")]),
        ("lock, two-process hand-offs/s", ">= 2x mp.Lock",
         [(lock_ratio("lock, hand-offs", "mp.Lock"), 2, "x mp.Lock")]),
        ("kelvane.Queue, 64 B objects (pickle)", ">= 5x mp.Queue and >= 2x faster-fifo",
         [(ratio("layer", 64, "kelvane.Queue put/get", "mp.Queue"), 5, "x mp.Queue"),
          (ratio("layer", 64, "kelvane.Queue put/get", "faster-fifo"), 2, "x faster-fifo")]),
        ("kelvane.Queue get_many, 64 B messages", ">= 3x single get",
         [(layer_ratio("batched", "kelvane.Queue put_many/get_many", "kelvane.Queue put/get"), 3, "x get")]),
        ("kelvane.Queue, 1 KiB bytes, no serializer", "costs <= 30% over get_bytes",
         [(ratio("layer", KiB, "kelvane.Queue serializer=None", "kelvane get_bytes"), 1 / 1.3,
           "x get_bytes")]),
    ]
    rows += executor_targets(plan)
    rows += async_targets(plan)
    rows += large_targets(plan)
    out = []
    for name, target, checks in rows:
        measured, verdict = [], "PASS"
        for value, need, what in checks:
            if value is None:
                measured.append(f"- {what}")
                verdict = "n/a" if verdict != "MISS" else verdict
                continue
            measured.append(f"{value:.0%} {what}" if what.startswith("of memcpy") else f"{value:.2f}{what}")
            if value < need:
                verdict = "MISS"
        out.append((name, target, ", ".join(measured), verdict))
    latency = lock_latency_row(plan)
    if latency is not None:
        out.append(latency)
    threads = async_thread_row(plan)
    if threads is not None:
        out.append(threads)
    if mem is not None:
        growth = max(r["after"]["VmRSS"] - r["before"]["VmRSS"] for r in mem["rss"].values())
        count = f"{mem['messages'] / 1e6:g} M messages" + (" (--quick)" if quick else "")
        out.append((count, "RSS grows < 1 MiB", f"{growth / KiB:.0f} KiB growth",
                    "PASS" if growth < MiB else "MISS"))
    return out


def lock_latency_row(plan):
    """The median time an awaiting process takes to hear of a release, from the run."""
    for sc in plan:
        if sc.name == LOCK_LATENCY:
            case = sc.case(aio.ASYNC_LOCK)
            m = median(case)
            if m is None:
                return None
            return ("AsyncLock hand-off between two processes", "median <= 200 us", f"{1e6 / m:.0f} us",
                    "PASS" if 1e6 / m <= 200 else "MISS")
    return None


def format_targets(rows):
    w = [max(len(r[i]) for r in rows + [("scenario", "target", "measured", "result")]) for i in range(4)]
    lines = [f"  {'scenario':<{w[0]}}  {'target':<{w[1]}}  {'measured':<{w[2]}}  result"]
    for r in rows:
        lines.append(f"  {r[0]:<{w[0]}}  {r[1]:<{w[1]}}  {r[2]:<{w[2]}}  {r[3]}")
    return "\n".join(lines)


def machine_info():
    import importlib.metadata as md

    def version(dist):
        try:
            return md.version(dist)
        except md.PackageNotFoundError:
            return None

    cpu_model = None
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu_model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    u = os.uname()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "uname": {"sysname": u.sysname, "release": u.release, "version": u.version, "machine": u.machine},
        "cpu_model": cpu_model,
        "cpus_online": os.cpu_count(),
        "cpus_usable": usable_cpus(),
        "python": sys.version,
        "python_implementation": platform.python_implementation(),
        "libc": list(platform.libc_ver()),
        "versions": {
            d: version(d) for d in ("kelvane", "faster-fifo", "posix_ipc", "pyzmq", "filelock", "aioprocessing", "uvloop", "matplotlib",
                                   "numpy", "py-sharedmemory", "dejaq", "iceoryx2")
        },
    }


def plan_records(plan):
    records = []
    for sc in plan:
        for c in sc.cases:
            m = median(c)
            rec = {
                "scenario": sc.name,
                "size": sc.size,
                "transport": c.transport,
                "rate": m,
                "unit": sc.unit,
                "reps": c.rates,
                "messages_per_rep": c.n,
            }
            if m is not None and sc.size and sc.group in ("stream", "core", "mpmc"):
                rec["bytes_per_s"] = m * sc.size
            if c.note:
                rec["note"] = c.note
            records.append(rec)
    return records


def memory_records(mem, quick):
    records = []
    for label, r in mem["rss"].items():
        for key in ("VmRSS", "RssAnon", "RssShmem"):
            records.append({
                "scenario": "memory, resident growth", "size": 64, "transport": f"kelvane {label}",
                "rate": r["after"][key] - r["before"][key], "unit": "bytes", "measure": key,
                "messages": mem["messages"], "before": r["before"][key], "after": r["after"][key],
                "quick": quick,
            })
    for f in mem["footprint"]:
        d = f["size_mb"] * MiB
        for key, expected in (("address_space", 2 * d + 16384), ("shared_memory", d + 16384)):
            records.append({
                "scenario": f"memory, {key.replace('_', ' ')} per queue", "size": d,
                "transport": "kelvane KelQueue", "rate": f[key], "unit": "bytes",
                "expected": expected, "size_mb": f["size_mb"],
            })
    return records


def plan_from_json(doc):
    """The scenarios of a run saved with --json, as far as a plot needs them: each
    transport's rounds (whose median is the figure), by scenario and size."""
    plan, by_key = [], {}
    for rec in doc["records"]:
        if rec.get("unit") == "bytes":  # the memory figures are tables, not drawn
            continue
        key = (rec["scenario"], rec["size"])
        if key not in by_key:
            group = "stream" if rec["scenario"] == STREAM_NAME else "saved"
            by_key[key] = Scenario(group, rec["scenario"], rec["size"], rec["unit"], [])
            plan.append(by_key[key])
        case = Case(rec["transport"], None, None, None)
        case.rates = list(rec.get("reps") or [])
        case.note = rec.get("note")
        by_key[key].cases.append(case)
    return plan


def caption(info, elapsed=None):
    took = f"; {elapsed:.0f} s" if elapsed is not None else ""
    return (f"kelvane bench, {info.get('date')}, {info.get('cpu_model')} ({info.get('cpus_online')} CPUs), "
            f"Python {str(info.get('python', '')).split()[0]}, {' '.join(info.get('libc') or [])}{took}")


def plot(path, plan, mem, title=None):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib is not installed (pip install 'kelvane[plot]'); no plot drawn",
              file=sys.stderr)
        return False
    others = [sc for sc in plan if sc.group != "stream"]
    fig, axes = plt.subplots(1 + len(others), 1, figsize=(10, 4 + 2.6 * len(others)), squeeze=False)
    ax = axes[0][0]
    streams = [sc for sc in plan if sc.group == "stream"]
    if streams:
        transports = [c.transport for c in streams[0].cases]
        for t in transports:
            xs, ys = [], []
            for sc in streams:
                m = median(sc.case(t))
                if m:
                    xs.append(sc.size)
                    ys.append(m * sc.size / 1e9)
            if xs:
                style = "-o" if t.startswith("kelvane") else ("k--" if t.startswith("memcpy") else "-.")
                ax.plot(xs, ys, style, label=t)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks([sc.size for sc in streams], [size_label(sc.size) for sc in streams])
        ax.set_ylabel("GB/s")
        ax.set_title("1 -> 1 streaming (median)")
        ax.legend(fontsize=7, ncol=2)
        ax.grid(True, which="both", alpha=0.3)
    for i, sc in enumerate(others, start=1):
        ax = axes[i][0]
        named = [(c.transport, median(c)) for c in sc.cases if median(c)]
        bars = ax.barh([n for n, _ in named], [m for _, m in named],
                       color=["tab:red" if n.startswith("kelvane") else "tab:gray" for n, _ in named])
        ax.bar_label(bars, labels=[si(m) for _, m in named], fontsize=7, padding=2)
        ax.set_title(f"{sc.title} ({sc.unit}, median)", fontsize=9)
        ax.tick_params(labelsize=7)
        ax.margins(x=0.12)
        ax.invert_yaxis()
    top = 1.0
    if title:
        fig.suptitle(title, fontsize=9)
        top -= 0.45 / fig.get_figheight()  # room for the caption, in inches
    fig.tight_layout(rect=(0, 0, 1, top))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------
# Command line


def parse(argv):
    p = argparse.ArgumentParser(prog="python -m kelvane bench", description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="short measurements: under a minute in all")
    p.add_argument("--json", metavar="FILE", help="write every figure, with the machine's description")
    p.add_argument("--plot", metavar="FILE.png", help="draw the comparison (needs matplotlib)")
    p.add_argument("--from-json", metavar="FILE", help="measure nothing: draw --plot from a run "
                   "saved with --json")
    p.add_argument("--only", metavar="GROUPS",
                   help="comma-separated subset of: " + ", ".join(GROUPS))
    p.add_argument("--reps", type=int, help="rounds per scenario (default 3 quick, 5 full)")
    p.add_argument("--seconds", type=float, help="target time of one measurement "
                   "(default 0.12 quick, 0.8 full)")
    p.add_argument("--messages", type=int, help="messages for the resident-size check "
                   "(default 1,000,000 quick, 10,000,000 full)")
    p.add_argument("--source", metavar="DIR", help="the kelvane source tree the core benchmark is built "
                   "from (default: $KELVANE_SOURCE, else the current directory or a parent)")
    return p.parse_args(argv)


def _iceoryx2_files():
    try:
        return {n for n in os.listdir("/dev/shm") if n.startswith("iox2_")}
    except OSError:
        return set()


def _remove_iceoryx2_files(before):
    """iceoryx2 leaves its nodes' global management files in /dev/shm when the last node
    goes: remove those this run made, unless some process (another iceoryx2 program) maps one."""
    made = _iceoryx2_files() - before
    if not made:
        return
    mapped = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as f:
                mapped.update(n for line in f if "/dev/shm/iox2_" in line
                              for n in [line.rsplit("/", 1)[-1].strip().removesuffix(" (deleted)")])
        except OSError:
            continue
    for name in made - mapped:
        try:
            os.unlink(os.path.join("/dev/shm", name))
        except OSError:
            pass


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    if args.from_json:
        return plot_saved(args.from_json, args.plot)
    groups = GROUPS if not args.only else tuple(g.strip() for g in args.only.split(","))
    unknown = set(groups) - set(GROUPS)
    if unknown:
        print(f"unknown group(s): {', '.join(sorted(unknown))}; choose from {', '.join(GROUPS)}",
              file=sys.stderr)
        return 2
    seconds = args.seconds or (0.12 if args.quick else 0.8)
    reps = max(1, args.reps or (3 if args.quick else 5))
    rss_messages = args.messages or (1_000_000 if args.quick else 10_000_000)
    cpus = usable_cpus()
    pins = cpus[:2] if len(cpus) >= 2 else [None, None]
    workers = max(1, len(cpus) - 1)

    began = time.monotonic()
    tty = sys.stderr.isatty()

    def progress(text, always=False):
        stamp = f"[{time.monotonic() - began:6.1f}s] {text}"
        if tty and not always:
            print("\r\033[K" + stamp[:150], end="", file=sys.stderr, flush=True)
        else:
            print(("\r\033[K" if tty else "") + stamp, file=sys.stderr, flush=True)

    info = machine_info()
    print(f"kelvane bench{' --quick' if args.quick else ''}: {info['cpu_model']}, "
          f"{info['cpus_online']} CPUs (pinned to {pins}), Python {platform.python_version()}, "
          f"{' '.join(info['libc'])}, {info['uname']['sysname']} {info['uname']['release']}",
          file=sys.stderr)
    print(f"each figure: median of {reps} rounds of ~{seconds:g} s per transport, transports "
          "alternating", file=sys.stderr)

    iceoryx2_before = _iceoryx2_files()
    cleanup = Cleanup()
    runner = Runner(cleanup, seconds, reps, progress)
    plan = []
    mem = None
    interrupted = False
    try:
        # Built before anything is measured: the compiler would disturb the measurements.
        core_program = core.build(args.source, cleanup, progress) if "core" in groups else None
        capi_program = capi.build(cleanup, progress) if {"core", "large"} & set(groups) else None
        plan = build_plan(groups, seconds, pins, workers, core_program, capi_program)
        for sc in plan:
            runner.run_scenario(sc)
        if "memory" in groups:
            mem = run_memory(cleanup, rss_messages, pins, progress)
    except KeyboardInterrupt:
        interrupted = True
        print("\ninterrupted: reporting what was measured", file=sys.stderr)
    except MeasureError as exc:
        runner.failures += 1
        print(f"\nmeasurement failed: {exc}", file=sys.stderr)
    finally:
        cleanup.close()
        _remove_iceoryx2_files(iceoryx2_before)
    if tty:
        print(file=sys.stderr)

    elapsed = time.monotonic() - began
    print(f"\nkelvane bench{' --quick' if args.quick else ''}, {info['date']}, "
          f"{info['cpu_model']} ({info['cpus_online']} CPUs), Python {platform.python_version()}, "
          f"{' '.join(info['libc'])}; {elapsed:.0f} s")
    print("ratio columns: kelvane rate / transport rate (above 1: kelvane is faster)\n")
    for sc in plan:
        print(format_scenario(sc, reps) + "\n")
    if mem is not None:
        print(format_memory(mem, args.quick) + "\n")
    targets = evaluate_targets(plan, mem, args.quick)
    print("targets")
    print(format_targets(targets))

    if args.json:
        doc = {
            "machine": info,
            "command": "python -m kelvane bench " + " ".join(sys.argv[1:] if argv is None else argv),
            "method": {"start_method": "fork", "rounds": reps, "seconds_per_measurement": seconds,
                       "pinned_cpus": pins, "pool_workers": workers, "statistic": "median",
                       "elapsed_s": elapsed},
            "records": plan_records(plan) + (memory_records(mem, args.quick) if mem else []),
            "targets": [dict(zip(("scenario", "target", "measured", "result"), t)) for t in targets],
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=1)
        print(f"\nwrote {args.json}")
    if args.plot and plot(args.plot, plan, mem, caption(info, elapsed)):
        print(f"wrote {args.plot}")
    if interrupted:
        return 130
    return 1 if runner.failures else 0


def plot_saved(json_path, png_path):
    if not png_path:
        print("--from-json draws a saved run: give --plot FILE.png", file=sys.stderr)
        return 2
    try:
        with open(json_path) as f:
            doc = json.load(f)
        plan = plan_from_json(doc)
    except (OSError, ValueError, KeyError, TypeError) as exc:
        print(f"cannot read a saved run from {json_path}: {exc}", file=sys.stderr)
        return 2
    if not plot(png_path, plan, None, caption(doc.get("machine", {}), doc.get("method", {}).get("elapsed_s"))):
        return 1
    print(f"wrote {png_path}")
    return 0
