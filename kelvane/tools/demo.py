"""python -m kelvane demo: a worker pool, a queue, a lock, numpy arrays and an asyncio consumer
across real processes.

Five acts, each a small program to copy from:

1. Pool: kelvane.Pool (a concurrent.futures.Executor over two shared-memory queues) hashes
   data chunks in worker processes that attach to its queues by name; every answer is
   checked, and the same chunks then go through multiprocessing.Pool in the same run for
   comparison.
2. Queue: a producer process and a consumer process share one KelQueue by name.
3. Lock: processes share a KelLock; one is killed with SIGKILL while it holds the lock, and
   the next holder is told so by LockRecovered.
4. numpy arrays: the same arrays from a producer process to a consumer process that checks
   them, through multiprocessing.Queue and then kelvane.Queue (small arrays travel in the
   ring, large ones beside it with one copy). Needs numpy (the demo extra); skipped without.
5. asyncio: a coroutine awaits the objects a producer in another process puts, while another
   task of its event loop keeps running.

Worker processes ignore Ctrl-C: this process sees it, stops them, and removes every name it
created, so an interrupted run leaves nothing in /dev/shm either.
"""

import argparse
import asyncio
import contextlib
import hashlib
import itertools
import multiprocessing
import os
import signal
import sys
import time
from multiprocessing import resource_tracker

import kelvane
from kelvane import KelLock, KelQueue, LockRecovered, _side

MB = 1_000_000


class DemoFailed(Exception):
    """A check failed or a worker process ended early."""


def say(*parts):
    print(*parts, flush=True)  # at once, also into a pipe


# ---------------------------------------------------------------------------
# Worker processes, signals and progress


@contextlib.contextmanager
def _deferred(*signums):
    """Signals arriving within are held back and delivered on leaving, so they cannot
    cut short a process start or a clean-up."""
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, signums)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


@contextlib.contextmanager
def _children_ignore_sigint():
    """Processes started within ignore Ctrl-C (the setting survives exec); this process
    sees it and stops them in order."""
    with _deferred(signal.SIGINT):
        handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, handler)


class Children:
    """The worker processes of one act. Leaving the block terminates and reaps those still
    running, so the caller may then remove the shared names (a worker still starting up
    would otherwise create a fresh segment under a removed name)."""

    def __init__(self, ctx):
        self.ctx, self.procs, self.expected_deaths = ctx, [], set()

    def start(self, target, *args, name):
        proc = self.ctx.Process(target=target, args=args, name=name, daemon=True)
        with _children_ignore_sigint():
            proc.start()
            self.procs.append(proc)
        return proc

    def check(self):
        for p in self.procs:
            if p.exitcode not in (None, 0) and p.pid not in self.expected_deaths:
                raise DemoFailed(f"{p.name} (pid {p.pid}) ended with exit code {p.exitcode}")

    def receive(self, conn):
        """The next message from a worker's pipe, waited for in short polls so that Ctrl-C
        and a dead worker are noticed."""
        while not conn.poll(0.1):
            self.check()
        try:
            return conn.recv()
        except EOFError:
            self.check()
            raise DemoFailed("a worker closed its pipe without reporting") from None

    def join(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        for p in self.procs:
            while p.exitcode is None and time.monotonic() < deadline:
                p.join(0.1)
        self.check()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        with _deferred(signal.SIGINT, signal.SIGTERM):
            for p in self.procs:
                if p.exitcode is None:
                    p.terminate()
            for p in self.procs:
                p.join(2)
                if p.exitcode is None:
                    p.kill()
                    p.join()


class Progress:
    """One updating line on stderr, when stderr is a terminal."""

    def __init__(self):
        self.live, self.shown = sys.stderr.isatty(), 0.0

    def show(self, text):
        """`text` is a function, called only when the line is due (ten times a second)."""
        if self.live and time.monotonic() - self.shown >= 0.1:
            sys.stderr.write(f"\r  {text()}\x1b[K")
            sys.stderr.flush()
            self.shown = time.monotonic()

    def clear(self):
        if self.live and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = 0.0


def _rate_line(label, count, nbytes, seconds, unit="tasks"):
    return (f"  {label:<34} {count:>7} {unit} {nbytes / MB:>7.0f} MB {seconds:>5.2f} s "
            f"{count / seconds:>8.0f} {unit}/s {nbytes / MB / seconds:>6.0f} MB/s")


# ---------------------------------------------------------------------------
# Act 1: the pool


class Chunks:
    """Chunk i is its 8-byte id followed by `size` bytes cut from one random block, so any
    chunk can be rebuilt later to check its answer."""

    def __init__(self, size):
        self.size = size
        self.block = memoryview(os.urandom(4 * 1024 * 1024 + size))

    def task(self, i):
        start = (i * 7919) % (len(self.block) - self.size)
        return b"".join((i.to_bytes(8, "little"), self.block[start:start + self.size]))


def hash_task(task):
    """The work, the same in both pools: the id, then the BLAKE2b-256 of the whole task."""
    return task[:8] + hashlib.blake2b(task, digest_size=32).digest()


def hash_tasks(tasks):
    return [hash_task(task) for task in tasks]


def run_kelvane_pool(ctx, chunks, workers, seconds, size_mb, progress, names):
    """Feeds chunks for `seconds` through kelvane.Pool. Returns (chunks sent, seconds taken,
    {id: digest}, number of duplicate answers)."""
    with kelvane.Pool(workers, mp_context=ctx, capacity=size_mb << 20) as pool:
        names += pool.names  # kp_task_<id> and kp_res_<id>; the pool removes both
        say(f"  kelvane.Pool({workers}, capacity={size_mb} MiB): task queue {pool.names[0]}, "
            f"result queue {pool.names[1]}; its worker processes attach to them by name")
        for _ in pool.map(len, [b""] * workers):  # every worker is up
            pass
        digests, duplicates, sent, t0 = {}, 0, 0, time.monotonic()

        def tasks():  # read by the pool only as fast as its workers keep up
            nonlocal sent
            while time.monotonic() - t0 < seconds:
                sent += 1
                yield chunks.task(sent - 1)

        def status():
            done = len(digests)
            return (f"kelvane.Pool: {sent} chunks sent, {done} done, "
                    f"{done * chunks.size / MB / (time.monotonic() - t0):.0f} MB/s")

        # A worker that died would fail its chunk with WorkerDiedError; Ctrl-C here stops the
        # workers and removes both names before KeyboardInterrupt goes on.
        for answer in pool.imap_unordered(hash_task, tasks()):
            chunk_id = int.from_bytes(answer[:8], "little")
            duplicates += chunk_id in digests
            digests[chunk_id] = answer[8:]
            progress.show(status)
        elapsed = time.monotonic() - t0
    progress.clear()
    return sent, elapsed, digests, duplicates


def run_multiprocessing_pool(ctx, chunks, workers, count, batch, progress):
    """The same chunks through multiprocessing.Pool, `batch` chunks per message. Returns
    (seconds taken, {id: digest})."""
    mp_pool = None

    def status():
        done = len(digests)
        return (f"multiprocessing.Pool, chunksize={batch}: {done}/{count} done, "
                f"{done * chunks.size / MB / (time.monotonic() - t0):.0f} MB/s")

    try:
        with _children_ignore_sigint():
            mp_pool = ctx.Pool(workers)
        mp_pool.map(time.sleep, [0.2] * workers, chunksize=1)  # every worker is up
        # What chunksize=batch does, with a next() that can time out (so Ctrl-C is seen).
        tasks = map(chunks.task, range(count))
        batches = iter(lambda: list(itertools.islice(tasks, batch)), [])
        digests, t0 = {}, time.monotonic()
        answers = mp_pool.imap_unordered(hash_tasks, batches)
        while True:
            try:
                for answer in answers.next(timeout=0.1):
                    digests[int.from_bytes(answer[:8], "little")] = answer[8:]
            except StopIteration:
                break
            except multiprocessing.TimeoutError:
                pass
            progress.show(status)
        return time.monotonic() - t0, digests
    finally:
        with _deferred(signal.SIGINT, signal.SIGTERM):
            if mp_pool is not None:
                mp_pool.terminate()
                mp_pool.join()
            progress.clear()


def act_pool(ctx, args, progress, names):
    workers, size = args.workers, args.chunk_kib * 1024
    say(f"  work: BLAKE2b-256 of {args.chunk_kib} KiB chunks, light enough for the transport "
        f"to show; {workers} worker processes in each pool, the same chunks for both")
    chunks = Chunks(size)
    sent, kel_s, kel, duplicates = run_kelvane_pool(ctx, chunks, workers, args.seconds,
                                                    args.size_mb, progress, names)
    say(_rate_line("kelvane.Pool, 1 chunk per message", sent, sent * size, kel_s))
    peers = {}
    for batch in (1, 64):
        mp_s, peers[batch] = run_multiprocessing_pool(ctx, chunks, workers, sent, batch,
                                                      progress)
        say(_rate_line(f"multiprocessing.Pool, chunksize={batch}", sent, sent * size, mp_s)
            + f"   kelvane.Pool: {mp_s / kel_s:.2f}x")

    if duplicates or sorted(kel) != list(range(sent)):
        raise DemoFailed(f"kelvane.Pool: {len(kel)} distinct answers for {sent} chunks, "
                         f"{duplicates} duplicates")
    sample = range(0, sent, max(1, sent * size // (64 << 20)))  # up to 64 MiB of hashing
    for i in sample:
        if hash_task(chunks.task(i))[8:] != kel[i]:
            raise DemoFailed(f"kelvane.Pool: wrong digest for chunk {i}")
    if any(digests != kel for digests in peers.values()):
        raise DemoFailed("multiprocessing.Pool and kelvane.Pool disagree on some digests")
    say(f"  checked: each of the {sent} chunks answered exactly once; {len(sample)} digests "
        f"recomputed here match; multiprocessing.Pool gave the same digests")


# ---------------------------------------------------------------------------
# Act 2: the queue


def queue_producer(name, size_mb, phases, report):
    queue = KelQueue(name, size_mb)  # attach by name
    for msg_size, seconds in phases:
        filler = os.urandom(msg_size - 16)
        sent, t0 = 0, time.monotonic()
        while sent % 64 or time.monotonic() - t0 < seconds:
            mark = sent.to_bytes(8, "little")  # at both ends: order and wholeness show
            queue.put_bytes(b"".join((mark, filler, mark)))
            sent += 1
        queue.put_bytes(b"")  # end of phase
        report.send((t0, sent))


def queue_consumer(name, size_mb, phases, report):
    queue = KelQueue(name, size_mb)
    # Phase 1, copying: get_bytes returns each message as a new bytes object.
    received = bad = 0
    while msg := queue.get_bytes():
        mark = received.to_bytes(8, "little")
        bad += msg[:8] != mark or msg[-8:] != mark
        received += 1
    report.send((time.monotonic(), received, bad))
    # Phase 2, zero-copy: look at each message where it lies in shared memory, then
    # commit_read frees its space. recv_view peeks at the oldest message without taking
    # it, so this suits a queue with one consumer.
    received = bad = 0
    while True:
        view, next_pos = queue.recv_view()
        if not len(view):
            queue.commit_read(next_pos)
            break
        mark = received.to_bytes(8, "little")
        bad += view[:8] != mark or view[-8:] != mark
        view.release()
        queue.commit_read(next_pos)
        received += 1
    report.send((time.monotonic(), received, bad))


def act_queue(ctx, args, progress, names):
    name = f"kelvane_demo_{os.getpid()}_queue"
    names.append(name)
    phases = [(1024, args.seconds / 2), (1 << 20, args.seconds / 2)]
    labels = ["1 KiB, put_bytes -> get_bytes", "1 MiB, put_bytes -> recv_view"]
    try:
        KelQueue(name, args.size_mb)  # create it here; both workers then attach by name
        say(f"  KelQueue({name!r}, {args.size_mb}): a producer and a consumer process attach "
            f"by name; the consumer checks a sequence mark at both ends of every message")
        with Children(ctx) as kids:
            from_producer, producer_end = ctx.Pipe(duplex=False)
            from_consumer, consumer_end = ctx.Pipe(duplex=False)
            kids.start(queue_consumer, name, args.size_mb, phases, consumer_end, name="consumer")
            kids.start(queue_producer, name, args.size_mb, phases, producer_end, name="producer")
            producer_end.close()
            consumer_end.close()
            for (msg_size, _), label in zip(phases, labels):
                t0, sent = kids.receive(from_producer)
                t_end, received, bad = kids.receive(from_consumer)
                say(_rate_line(label, received, received * msg_size, t_end - t0, "msgs"))
                if received != sent or bad:
                    raise DemoFailed(f"queue: {sent} sent, {received} received, {bad} bad")
            kids.join()
        say("  checked: every message arrived once, in order, whole (the recv_view consumer "
            "reads the marks in place and copies nothing)")
    finally:
        with _deferred(signal.SIGINT, signal.SIGTERM), contextlib.suppress(RuntimeError):
            KelQueue.unlink(name)


# ---------------------------------------------------------------------------
# Act 3: the lock


def add_under_lock(lock, counter, holder, times, report):
    """`times` read-modify-write steps on the shared counter, each inside the lock.
    `holder` marks an update in progress; a holder that dies leaves its mark behind."""
    for _ in range(times):
        try:
            lock.acquire()
        except LockRecovered as exc:
            # We hold the lock now. A real program would repair what the dead holder left
            # half-done; here its update was never written, so only its mark is left.
            report.send(("recovered", str(exc), holder.value))
        holder.value = os.getpid()
        counter.value = counter.value + 1
        holder.value = 0
        lock.release()


def lock_worker(name, counter, holder, times, conn, doomed):
    lock = KelLock(name)  # open by name
    conn.send("ready")
    conn.recv()  # round 1: all start together
    add_under_lock(lock, counter, holder, times, conn)
    conn.send("round 1 done")
    conn.recv()  # round 2
    if doomed:  # take the lock, begin an update, and hang there until killed
        lock.acquire()
        holder.value = os.getpid()
        conn.send("holding")
        time.sleep(600)
    add_under_lock(lock, counter, holder, times, conn)
    conn.send("round 2 done")


def act_lock(ctx, args, progress, names):
    name = f"kelvane_demo_{os.getpid()}_lock"
    names.append(name)
    k, times = max(3, args.workers), args.lock_steps
    counter, holder = ctx.RawValue("q", 0), ctx.RawValue("i", 0)  # no lock of their own
    try:
        KelLock(name)  # create it here; the workers open it by name
        say(f"  KelLock({name!r}) shared by {k} worker processes; the counter they add to "
            f"has no protection but the lock")
        with Children(ctx) as kids:
            pipes = [ctx.Pipe() for _ in range(k)]
            conns = [ours for ours, _ in pipes]
            procs = [kids.start(lock_worker, name, counter, holder, times, theirs, n == 0,
                                name=f"lock worker {n + 1}")
                     for n, (_, theirs) in enumerate(pipes)]
            for conn in conns:
                kids.receive(conn)  # "ready"
            for conn in conns:
                conn.send("go")
            for conn in conns:
                kids.receive(conn)  # "round 1 done"
            say(f"  round 1: {k} workers x {times} steps under contention: counter "
                f"{counter.value} (expected {k * times})")
            doomed = procs[0]
            conns[0].send("go")
            kids.receive(conns[0])  # "holding"
            for conn in conns[1:]:
                conn.send("go")
            say(f"  round 2: worker 1 (pid {doomed.pid}) took the lock and is stuck inside it; "
                f"workers 2-{k} start and wait for it")
            time.sleep(0.3)
            kids.expected_deaths.add(doomed.pid)
            os.kill(doomed.pid, signal.SIGKILL)
            doomed.join(5)
            say(f"  SIGKILL -> worker 1 (pid {doomed.pid}) while it holds the lock")
            recoveries = 0
            for n, conn in enumerate(conns[1:], start=2):
                while (msg := kids.receive(conn)) != "round 2 done":
                    recoveries += 1
                    _, text, mark = msg
                    say(f"  worker {n} (pid {procs[n - 1].pid}) acquired it and got "
                        f"LockRecovered({text!r}): it holds the lock, and the update mark "
                        f"left by pid {mark} shows that holder died mid-update")
            kids.join()
        expected = k * times + (k - 1) * times
        say(f"  round 2: {k - 1} workers x {times} more steps: counter {counter.value} "
            f"(expected {k} x {times} + {k - 1} x {times} = {expected})")
        if recoveries != 1 or counter.value != expected:
            raise DemoFailed(f"lock: {recoveries} take-overs reported, counter "
                             f"{counter.value} instead of {expected}")
        say("  the kernel marked the dead holder's lock, the next acquirer took it over and "
            "was told; no update was lost or doubled")
    finally:
        with _deferred(signal.SIGINT, signal.SIGTERM), contextlib.suppress(RuntimeError):
            KelLock.unlink(name)


# ---------------------------------------------------------------------------
# Act 4: numpy arrays


ARRAY_SIZES = (4 << 20, 64 << 10)  # bytes: one that travels beside the ring, one in it
ARRAY_QUEUE_MIB = 1  # kelvane's ring; big arrays wait beside it, at most 64 MiB of them
_CHECK_STRIDE = 509  # elements compared in every array; every 8th is compared whole


def _array_base(np, nbytes):
    """The content every array of this size carries, rebuilt from its size alone."""
    return np.random.default_rng(nbytes).standard_normal(nbytes // 8)


def array_producer(q, plan, report):
    """For each (size, seconds, count) of `plan`, puts fresh arrays until `seconds` have gone
    by or `count` were put, then None. Array i carries i at both ends."""
    import numpy as np

    for nbytes, seconds, count in plan:
        base = _array_base(np, nbytes)
        sent, t0 = 0, time.monotonic()
        while sent < count if count else (sent % 8 or time.monotonic() - t0 < seconds):
            array = base.copy()  # a new array each time, as a program makes them
            array[0] = array[-1] = sent
            q.put(array)
            sent += 1
        q.put(None)
        report.send((t0, sent))


def array_consumer(q, plan, report):
    """The same checks whatever the transport: type, shape, the index at both ends, a strided
    sample of every array and the whole of every 8th."""
    import numpy as np

    for nbytes, _, _ in plan:
        base = _array_base(np, nbytes)
        sample, inner = base[1:-1:_CHECK_STRIDE], base[1:-1]
        received = bad = 0
        while (array := q.get()) is not None:
            bad += not (isinstance(array, np.ndarray) and array.dtype == base.dtype
                        and array.shape == base.shape and array[0] == array[-1] == received
                        and np.array_equal(array[1:-1:_CHECK_STRIDE], sample)
                        and (received % 8 or np.array_equal(array[1:-1], inner)))
            received += 1
            del array  # a kelvane array's memory goes back now, not at the next get
        report.send((time.monotonic(), received, bad))


def _run_arrays(ctx, q, plan):
    """[(arrays, seconds)] per size of `plan` through `q`, checked by array_consumer."""
    results = []
    with Children(ctx) as kids:
        from_producer, producer_end = ctx.Pipe(duplex=False)
        from_consumer, consumer_end = ctx.Pipe(duplex=False)
        kids.start(array_consumer, q, plan, consumer_end, name="array consumer")
        kids.start(array_producer, q, plan, producer_end, name="array producer")
        producer_end.close()
        consumer_end.close()
        for nbytes, _, _ in plan:
            t0, sent = kids.receive(from_producer)
            t_end, received, bad = kids.receive(from_consumer)
            if received != sent or bad:
                raise DemoFailed(f"arrays of {nbytes >> 10} KiB: {sent} sent, {received} received, {bad} wrong")
            results.append((received, t_end - t0))
        kids.join()
    return results


def act_arrays(ctx, args, progress, names):
    try:
        import numpy  # noqa: F401  (the workers import it; here only its presence matters)
    except ImportError:
        say("  skipped: numpy is not installed (pip install 'kelvane[demo]'; ./dev demo installs it)")
        return
    name = f"kelvane_demo_{os.getpid()}_arrays"
    names.append(name)
    seconds = args.seconds / 2
    say(f"  float64 arrays of {' and '.join(map(_units, ARRAY_SIZES))}, a fresh one per message, from a "
        f"producer process to a consumer process that checks each; multiprocessing.Queue sends for "
        f"{seconds:g} s per size, then kelvane.Queue sends as many")
    peer = _run_arrays(ctx, ctx.Queue(maxsize=8), [(n, seconds, 0) for n in ARRAY_SIZES])
    say("  multiprocessing.Queue(maxsize=8):       " + ", ".join(
        f"{_units(n)} {count / spent:>6.0f} arrays/s" for n, (count, spent) in zip(ARRAY_SIZES, peer)))
    # Zero-copy loans (a producer fills a block of the queue's own memory in place) join here
    # as a third transport once the queue lends memory.
    q = kelvane.Queue(name, capacity=ARRAY_QUEUE_MIB << 20)
    try:
        ours = _run_arrays(ctx, q, [(n, 0, count) for n, (count, _) in zip(ARRAY_SIZES, peer)])
    finally:
        with _deferred(signal.SIGINT, signal.SIGTERM), contextlib.suppress(RuntimeError):
            q.unlink()  # with the segments of arrays still in flight, if it was cut short
    say(f"  kelvane.Queue(capacity={ARRAY_QUEUE_MIB} MiB):         " + ", ".join(
        f"{_units(n)} {count / spent:>6.0f} arrays/s {mp_s / spent:.1f}x"
        for n, (count, spent), (_, mp_s) in zip(ARRAY_SIZES, ours, peer)))
    say(f"  checked: both delivered every array once, in order, with its dtype, shape and content; "
        f"{_units(ARRAY_SIZES[1])} arrays travel in the ring, {_units(ARRAY_SIZES[0])} ones beside it "
        f"(copied once, received as a writable view of that copy)")


def _units(nbytes):
    return f"{nbytes >> 20} MiB" if nbytes >= 1 << 20 else f"{nbytes >> 10} KiB"


# ---------------------------------------------------------------------------
# Act 5: an asyncio consumer


def async_payload(seq):
    return {"seq": seq, "data": seq.to_bytes(8, "little") * 8}


def async_producer(q, seconds, pause, go, report):
    """A plain blocking producer in another process: objects for `seconds`, a "pause" mark;
    once the consumer has it, a pause, then None."""
    go.recv()
    sent, t0 = 0, time.monotonic()
    while sent % 64 or time.monotonic() - t0 < seconds:
        q.put(async_payload(sent))
        sent += 1
    q.put("pause")
    go.recv()  # the consumer is through the backlog: its next get waits
    time.sleep(pause)
    q.put(None)
    report.send(sent)


async def _heartbeat(beats, every):
    last = time.monotonic()
    while True:
        await asyncio.sleep(every)
        now = time.monotonic()
        beats.append(now - last)
        last = now


async def consume_async(aq, go):
    """Awaits every object, checks it; then awaits through the producer's pause while
    another task of the loop keeps its heartbeat."""
    beats = []
    heart = asyncio.create_task(_heartbeat(beats, 0.01))
    try:
        go.send("go")
        received = bad = 0
        t0 = time.monotonic()
        while (obj := await aq.get()) != "pause":
            bad += obj != async_payload(received)
            received += 1
        t_end = time.monotonic()
        go.send("waiting")
        before = len(beats) + 1  # the next beat began while the burst kept the loop busy
        last = await aq.get()  # waits: the producer pauses
        waited = time.monotonic() - t_end
        during = beats[before:]
    finally:
        heart.cancel()
    return received, bad, t_end - t0, last, waited, during


def act_async(ctx, args, progress, names):
    name = f"kelvane_demo_{os.getpid()}_async"
    names.append(name)
    pause = 0.3
    aq = kelvane.AsyncQueue(name, capacity=args.size_mb << 20)
    try:
        say(f"  kelvane.AsyncQueue({name!r}): a coroutine awaits Python objects that a plain "
            f"blocking producer in another process puts (kelvane.Queue, attached by name)")
        with Children(ctx) as kids:
            go, go_end = ctx.Pipe()
            from_producer, producer_end = ctx.Pipe(duplex=False)
            kids.start(async_producer, aq.sync_q, args.seconds / 2, pause, go_end, producer_end,
                       name="producer")
            producer_end.close()
            received, bad, seconds, last, waited, beats = asyncio.run(consume_async(aq, go))
            sent = kids.receive(from_producer)
            kids.join()
        say(f"  {'await q.get(), small dicts':<34} {received:>7} objs {seconds:>16.2f} s "
            f"{received / seconds:>8.0f} objs/s")
        say(f"  then `await q.get()` waited {waited:.2f} s for the pausing producer: meanwhile the loop ran "
            f"another task's 10 ms heartbeat {len(beats)} times (longest gap "
            f"{max(beats, default=0) * 1000:.0f} ms); one thread per process sleeps for every awaiting "
            f"call, none is started per call")
        if received != sent or bad or last is not None:
            raise DemoFailed(f"asyncio: {sent} sent, {received} received, {bad} wrong")
        if waited < pause * 0.9 or len(beats) < 3:
            raise DemoFailed(f"asyncio: the loop ran {len(beats)} heartbeats in a wait of {waited:.2f} s")
        say("  checked: every object arrived once, in order, equal to what was sent; the loop "
            "stayed free while it awaited")
    finally:
        with _deferred(signal.SIGINT, signal.SIGTERM), contextlib.suppress(RuntimeError):
            aq.unlink()
        aq.close()


# ---------------------------------------------------------------------------


ACTS = {
    "pool": ("1. Pool: kelvane.Pool vs multiprocessing.Pool", act_pool),
    "queue": ("2. Queue: one KelQueue between two processes", act_queue),
    "lock": ("3. Lock: a KelLock whose holder is killed", act_lock),
    "arrays": ("4. numpy arrays: kelvane.Queue vs multiprocessing.Queue", act_arrays),
    "async": ("5. asyncio: an AsyncQueue consumer fed by another process", act_async),
}


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m kelvane demo",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)),
                        help="worker processes in the pools (default: the number of CPUs)")
    parser.add_argument("--seconds", type=float, default=1.5,
                        help="seconds of kelvane.Pool traffic, and of queue traffic (default 1.5)")
    parser.add_argument("--chunk-kib", type=int, default=64,
                        help="pool chunk size in KiB (default 64)")
    parser.add_argument("--size-mb", type=int,
                        help="ring size of each queue in MiB (default 8, more for many workers)")
    parser.add_argument("--lock-steps", type=int, default=5000,
                        help="counter steps per lock worker and round (default 5000)")
    parser.add_argument("--quick", action="store_true", help="a short run of a few seconds")
    parser.add_argument("--act", choices=[*ACTS, "all"], default="all",
                        help="run one act only (default: all of them)")
    args = parser.parse_args(argv)
    if args.quick:
        args.seconds, args.lock_steps = min(args.seconds, 0.5), min(args.lock_steps, 1000)
    if min(args.workers, args.chunk_kib, args.seconds, args.lock_steps) <= 0:
        parser.error("--workers, --chunk-kib, --seconds and --lock-steps must be positive")
    least = max(2, -(-args.chunk_kib * 4 * args.workers // 1024))  # 4 chunks per worker
    if args.size_mb is None:
        args.size_mb = max(8, least)
    elif args.size_mb < least:
        parser.error(f"--size-mb must be at least {least} for these --workers and --chunk-kib")
    return args


def _interrupt(signum, frame):
    raise KeyboardInterrupt  # SIGTERM cleans up like Ctrl-C


def main(argv=None):
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 2
    ctx = multiprocessing.get_context("spawn")  # fresh workers: no inherited threads or locks
    resource_tracker.ensure_running()  # started now, not while a Ctrl-C is held back
    progress, names, t0 = Progress(), [], time.monotonic()
    say(f"kelvane demo: {args.workers} workers, {len(os.sched_getaffinity(0))} CPUs, "
        f"Python {sys.version.split()[0]}, pid {os.getpid()}")
    previous_sigterm = signal.signal(signal.SIGTERM, _interrupt)
    try:
        for key, (heading, act) in ACTS.items():
            if args.act in (key, "all"):
                say(f"\n== {heading} ==")
                act(ctx, args, progress, names)
        code, outcome = 0, f"done in {time.monotonic() - t0:.1f} s"
    except KeyboardInterrupt:
        code, outcome = 130, "interrupted: workers stopped"
    except DemoFailed as exc:
        code, outcome = 1, f"FAILED: {exc}"
    finally:
        signal.signal(signal.SIGTERM, previous_sigterm)
        progress.clear()
    left = [name for name in names if os.path.exists(f"/dev/shm/{name}")]
    left += [side for name in names for side in _side.of_queue(name)]  # large messages in flight
    if left:
        code, outcome = 1, f"{outcome}; FAILED: left in /dev/shm: {', '.join(left)}"
    else:
        outcome += "; every shared-memory name this run created has been removed"
    print(f"\n{outcome}", file=sys.stdout if code == 0 else sys.stderr, flush=True)
    return code
