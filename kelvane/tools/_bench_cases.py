"""The transports and the measured loops of the benchmarks.

A channel is one one-way link of one transport. It is made in the harness process just
before the children fork (so they inherit it, or open it by name as a real user would);
its tx() and rx() run inside a child and return the bound send or receive call plus what
to do when the child is finished with it. Every measured loop is the plainest loop a user
would write: `for _ in range(n): get()`.
"""

import importlib
import itertools
import os
import threading
import time

from kelvane_core import KelLock, KelPoolCore, KelQueue

from kelvane.tools._bench_procs import CTX, Unavailable, pin

MiB = 1 << 20
SENTINEL = b""  # every payload has at least one byte, so an empty message means "stop"


def payload(size):
    return (bytes(range(256)) * (size // 256 + 1))[:size]


def import_peer(module, dist):
    """The peer library `module` (pip distribution `dist`), or Unavailable."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise Unavailable(f"{dist} is not installed (pip install 'kelvane[bench]')") from None


def ring_capacity(size):
    """Bytes of buffer every bounded transport gets for messages of `size` bytes."""
    return max(4 * MiB, 16 * size)


# ---------------------------------------------------------------------------
# Channels


class Channel:
    payload_of = None  # receive result -> payload, when it is not the payload itself

    def release(self):
        """In the harness, after the children are gone."""


class KelChannel(Channel):

    def __init__(self, cleanup, size, capacity):
        self._cleanup = cleanup
        self.mb = max(1, capacity // MiB)
        self.name = cleanup.shm_name("q")
        self._creator = KelQueue(self.name, self.mb)

    def open(self):
        return KelQueue(self.name, self.mb)

    def tx(self):
        return self.open().put_bytes, None

    def rx(self):
        return self.open().get_bytes, None

    def release(self):
        self._creator = None
        self._cleanup.forget_shm(self.name)


class MpQueueChannel(Channel):

    def __init__(self, cleanup, size, capacity):
        self.q = CTX.Queue()

    def tx(self):
        q = self.q

        def flush():
            q.close()
            q.join_thread()

        return q.put, flush

    def rx(self):
        return self.q.get, None

    def release(self):
        self.q.close()


class QueueObjectChannel(Channel):
    """A queue object shared by inheritance: put, get, close."""

    def tx(self):
        return self.q.put, None

    def rx(self):
        return self.q.get, None

    def release(self):
        self.q.close()


class SimpleQueueChannel(QueueObjectChannel):

    def __init__(self, cleanup, size, capacity):
        self.q = CTX.SimpleQueue()


class PipeChannel(Channel):

    def __init__(self, cleanup, size, capacity, ends=None):
        self.r, self.w = ends if ends is not None else CTX.Pipe(duplex=False)

    def tx(self):
        return self.w.send_bytes, None

    def rx(self):
        return self.r.recv_bytes, None

    def release(self):
        self.r.close()
        self.w.close()


class FasterFifoChannel(QueueObjectChannel):

    def __init__(self, cleanup, size, capacity):
        self.q = import_peer("faster_fifo", "faster-fifo").Queue(max_size_bytes=capacity)


def _mq_limit(name, default):
    try:
        with open(f"/proc/sys/fs/mqueue/{name}") as f:
            return int(f.read())
    except (OSError, ValueError):
        return default


class PosixMqChannel(Channel):

    @staticmethod
    def payload_of(message):
        return message[0]

    def __init__(self, cleanup, size, capacity):
        posix_ipc = import_peer("posix_ipc", "posix_ipc")
        self.name = "/" + cleanup.name("mq")
        msgsize = max(size, 64)
        # As many messages as the system's limits allow, up to the others' buffer size.
        wanted = max(1, min(capacity // msgsize, 1024, 700_000 // msgsize))
        tried = []
        for max_messages in dict.fromkeys((wanted, _mq_limit("msg_max", 10), 1)):
            try:
                mq = posix_ipc.MessageQueue(
                    self.name, posix_ipc.O_CREX, max_messages=max_messages, max_message_size=msgsize
                )
            except (ValueError, OSError, posix_ipc.Error) as exc:
                tried.append(f"{max_messages} x {msgsize} B: {exc}")
                continue
            cleanup.mqueues.append(self.name)
            self.max_messages = max_messages
            mq.close()
            return
        raise Unavailable(
            f"the system refuses POSIX message queues of {msgsize}-byte messages "
            f"(fs.mqueue.msgsize_max = {_mq_limit('msgsize_max', 8192)}, "
            f"RLIMIT_MSGQUEUE; last error: {tried[-1].split(': ', 1)[-1]})"
        )

    def _open(self):
        import posix_ipc

        return posix_ipc.MessageQueue(self.name)

    def tx(self):
        return self._open().send, None

    def rx(self):
        return self._open().receive, None


class ZmqChannel(Channel):

    def __init__(self, cleanup, size, capacity):
        import_peer("zmq", "pyzmq")
        self.address = "ipc://" + cleanup.path("zmq")

    def rx(self):
        import zmq

        ctx = zmq.Context()
        sock = ctx.socket(zmq.PULL)
        sock.bind(self.address)

        def close():
            sock.close(0)
            ctx.term()

        return sock.recv, close

    def tx(self):
        import zmq

        ctx = zmq.Context()
        sock = ctx.socket(zmq.PUSH)
        sock.setsockopt(zmq.RECONNECT_IVL, 1)  # the peer may bind a moment later
        sock.connect(self.address)

        def close():
            sock.close(10_000)  # deliver everything queued before leaving
            ctx.term()

        return sock.send, close


CHANNELS = {
    "kelvane": KelChannel,
    "mp.Queue": MpQueueChannel,
    "mp.SimpleQueue": SimpleQueueChannel,
    "mp.Pipe": PipeChannel,
    "faster-fifo": FasterFifoChannel,
    "posix_ipc MQ": PosixMqChannel,
    "pyzmq PUSH/PULL": ZmqChannel,
}


def make_links(kind, cleanup, size, count):
    """`count` one-way links of one transport; a ping-pong over mp.Pipe uses one duplex Pipe,
    as a user would."""
    if kind == "mp.Pipe" and count == 2:
        a, b = CTX.Pipe()
        return [PipeChannel(None, size, 0, ends=(b, a)), PipeChannel(None, size, 0, ends=(a, b))]
    links = []
    try:
        for _ in range(count):
            links.append(CHANNELS[kind](cleanup, size, ring_capacity(size)))
    except BaseException:
        for link in links:
            link.release()
        raise
    return links


def _finish(*closers):
    closers = [c for c in closers if c is not None]
    if not closers:
        return None

    def after():
        for c in closers:
            c()

    return after


class LayerChannel(Channel):
    """kelvane.Queue, the Python layer: objects (pickle) or bytes (serializer=None)."""

    def __init__(self, cleanup, size, capacity, pickled=True):
        import pickle

        from kelvane.queue import Queue

        self._cleanup = cleanup
        self.serializer = pickle if pickled else None
        self.name = cleanup.shm_name("q")
        self._creator = Queue(self.name, max(MiB, capacity), serializer=self.serializer)

    def open(self):
        from kelvane.queue import Queue

        return Queue.attach(self.name, serializer=self.serializer)

    def tx(self):
        return self.open().put, None

    def rx(self):
        return self.open().get, None

    def release(self):
        self._creator.close()
        self._creator = None
        self._cleanup.forget_shm(self.name)


def layer_link(kind, cleanup, size):
    """kelvane.Queue with pickle or without a serializer; otherwise a peer's channel."""
    if kind.startswith("kelvane.Queue"):
        return LayerChannel(cleanup, size, ring_capacity(size), pickled="serializer=None" not in kind)
    return make_links(kind, cleanup, size, 1)[0]


def batch_roles(link, data, n, batch, cpus):
    """put_many / get_many of `batch` objects at a time; rate from the consumer."""

    def consumer():
        q = link.open()
        get_many = q.get_many

        def body():
            got = 0
            while got < n:
                got += len(get_many(batch))

        return body

    def producer():
        q = link.open()
        put_many = q.put_many
        chunk = [data] * batch

        def body():
            left = n
            while left > 0:
                put_many(chunk if left >= batch else chunk[:left])
                left -= batch

        return body

    return [(consumer, cpus[1]), (producer, cpus[0])]


# ---------------------------------------------------------------------------
# Streaming, one producer to one consumer


def stream_roles(link, style, data, n, cpus):
    """Consumer first (it binds/opens its end), then the producer; rate from the consumer."""

    def consumer():
        if style == "view":
            q = link.open()
            rv, cr = q.recv_view, q.commit_read

            def body():
                for _ in range(n):
                    view, nxt = rv()
                    view[len(view) - 1]  # touch the message in place
                    cr(nxt)

            return body
        get, close = link.rx()

        def body():
            for _ in range(n):
                get()

        return body, _finish(close)

    def producer():
        put, close = link.tx()

        def body():
            for _ in range(n):
                put(data)

        return body, _finish(close)

    return [(consumer, cpus[1]), (producer, cpus[0])]


def memcpy_roles(size, capacity, n, cpus):
    """The physical reference: one core copying blocks of `size` bytes from one source into
    successive places of a ring-sized buffer, as a producer fills the ring (a memoryview
    slice assignment: one memcpy per block, about the least Python can add to it)."""

    def job():
        src = payload(size)
        slots = max(1, capacity // size)
        dst = memoryview(bytearray(b"\1" * (slots * size)))  # pages resident before timing
        spots = [slice(i * size, (i + 1) * size) for i in range(slots)]

        def body():
            for spot in itertools.islice(itertools.cycle(spots), n):
                dst[spot] = src

        return body

    return [(job, cpus[1])]


# ---------------------------------------------------------------------------
# Many producers to many consumers through one queue


def mpmc_roles(link, data, per_producer, producers, consumers, cpus):
    """Producers on the first CPU, consumers on the second. Each producer flushes and posts
    a semaphore; a closer waits for all of them, then sends one empty message per consumer,
    which therefore arrives after every payload."""
    finished = CTX.Semaphore(0)
    unwrap = link.payload_of

    def consumer():
        get, close = link.rx()

        def body():
            count = 0
            if unwrap is None:
                while get():
                    count += 1
            else:
                while unwrap(get()):
                    count += 1
            return count

        return body, _finish(close)

    def producer():
        put, close = link.tx()

        def body():
            for _ in range(per_producer):
                put(data)
            if close is not None:
                close()
            finished.release()

        return body

    def closer():
        put, close = link.tx()

        def body():
            for _ in range(producers):
                finished.acquire()
            for _ in range(consumers):
                put(SENTINEL)
            if close is not None:
                close()

        return body

    return (
        [(consumer, cpus[1])] * consumers + [(producer, cpus[0])] * producers + [(closer, cpus[0])]
    )


# ---------------------------------------------------------------------------
# Ping-pong


def pingpong_roles(there, back, data, n, cpus):
    def ponger():
        get, c1 = there.rx()
        put, c2 = back.tx()

        def body():
            for _ in range(n):
                get()
                put(data)

        return body, _finish(c2, c1)

    def pinger():
        get, c1 = back.rx()
        put, c2 = there.tx()

        def body():
            for _ in range(n):
                put(data)
                get()

        return body, _finish(c2, c1)

    return [(ponger, cpus[1]), (pinger, cpus[0])]


# ---------------------------------------------------------------------------
# Worker pool with echo workers


def echo(message):
    return message


class KelPoolLinks:
    """KelPoolCore's two queues seen as links: the owner uses the pool object, the workers
    attach by name."""

    def __init__(self, cleanup, size):
        self.mb = max(1, ring_capacity(size) // MiB)
        self.pool = KelPoolCore(self.mb)
        self.task, self.result = self.pool.task_q_name, self.pool.result_q_name
        cleanup.shm += [self.task, self.result]
        self._cleanup = cleanup

    def worker_ends(self):
        return KelQueue(self.task, self.mb).get_bytes, KelQueue(self.result, self.mb).put_bytes

    def owner_ends(self):
        return self.pool.put_task, self.pool.get_result

    def release(self):
        self.pool = None  # removes both names
        self._cleanup.forget_shm(self.task)
        self._cleanup.forget_shm(self.result)


class QueuePairLinks:
    def __init__(self, kind, cleanup, size):
        self.links = make_links(kind, cleanup, size, 2)
        self.unwrap = self.links[0].payload_of

    def worker_ends(self):
        get, _ = self.links[0].rx()
        put, _ = self.links[1].tx()
        if self.unwrap is not None:
            unwrap = self.unwrap
            return (lambda: unwrap(get())), put
        return get, put

    def owner_ends(self):
        put, _ = self.links[0].tx()
        get, _ = self.links[1].rx()
        return put, get

    def release(self):
        for link in self.links:
            link.release()


POOL_WINDOW = 64  # tasks in flight


def pool_roles(links, data, n, workers, cpus):
    def worker():
        get, put = links.worker_ends()

        def body():
            while True:
                message = get()
                if not message:
                    return
                put(message)

        return body

    def owner():
        put, get = links.owner_ends()

        def body():
            sent = min(POOL_WINDOW, n)
            for _ in range(sent):
                put(data)
            for _ in range(n):
                get()
                if sent < n:
                    put(data)
                    sent += 1
            for _ in range(workers):
                put(SENTINEL)

        return body

    worker_cpus = cpus[1:] or cpus
    return [(worker, worker_cpus[i % len(worker_cpus)]) for i in range(workers)] + [(owner, cpus[0])]


def mp_pool_roles(data, n, workers, cpus):
    worker_cpu = (cpus[1:] or cpus)[0]

    def owner():
        pool = CTX.Pool(workers, initializer=pin, initargs=(worker_cpu,))
        pool.map(echo, [data] * (4 * workers))

        def body():
            for _ in pool.imap(echo, itertools.repeat(data, n), chunksize=1):
                pass

        def after():
            pool.terminate()
            pool.join()

        return body, after

    return [(owner, cpus[0])]


# ---------------------------------------------------------------------------
# Locks


class KelLockMaker:

    def __init__(self, cleanup):
        self._cleanup = cleanup
        self.name = cleanup.shm_name("lock")
        self._creator = KelLock(self.name)

    def open(self):
        return KelLock(self.name)

    def release(self):
        self._creator = None
        self._cleanup.forget_shm(self.name)


class LayerLockMaker(KelLockMaker):

    def open(self):
        from kelvane.lock import Lock

        return Lock(self.name)


class MpLockMaker:

    def __init__(self, cleanup):
        self.lock = CTX.Lock()

    def open(self):
        return self.lock

    def release(self):
        pass


class ThreadingLockMaker:
    """Within one process only: the uncontended rows."""

    def __init__(self, cleanup):
        pass

    def open(self):
        return threading.Lock()

    def release(self):
        pass


class PosixSemMaker:

    def __init__(self, cleanup):
        posix_ipc = import_peer("posix_ipc", "posix_ipc")
        self.name = "/" + cleanup.name("sem")
        sem = posix_ipc.Semaphore(self.name, posix_ipc.O_CREX, initial_value=1)
        cleanup.semaphores.append(self.name)
        sem.close()

    def open(self):
        import posix_ipc

        return posix_ipc.Semaphore(self.name)

    def release(self):
        pass


class FileLockMaker:

    def __init__(self, cleanup):
        import_peer("filelock", "filelock")
        self.path = cleanup.path("lock")

    def open(self):
        import filelock

        return filelock.FileLock(self.path)

    def release(self):
        pass


LOCKS = {
    "kelvane.Lock": LayerLockMaker,
    "kelvane KelLock": KelLockMaker,
    "mp.Lock": MpLockMaker,
    "posix_ipc Semaphore": PosixSemMaker,
    "filelock": FileLockMaker,
}
UNCONTENDED_LOCKS = {**LOCKS, "threading.Lock": ThreadingLockMaker}


def lock_uncontended_roles(maker, seconds, cpus, form="call"):
    """One process takes and lets go of the lock as fast as it can: `acquire(); release()`
    through bound methods (form "call"), or `with lock:` (form "with")."""
    batch = 100 if isinstance(maker, FileLockMaker) else 1000

    def job():
        lock = maker.open()
        acquire, release = lock.acquire, lock.release

        def calls():
            for _ in range(batch):
                acquire()
                release()

        def withs():
            for _ in range(batch):
                with lock:
                    pass

        rounds = calls if form == "call" else withs

        def body():
            done, clock = 0, time.perf_counter
            end = clock() + seconds
            while True:
                rounds()
                done += batch
                if clock() >= end:
                    return done

        return body

    return [(job, cpus[0])]


def lock_handoff_roles(maker, seconds, cpus):
    """Two processes take turns through a counter in shared memory: each may advance it only
    when its parity says it is its turn, so every increment is one hand-off of the lock."""
    counter = CTX.RawValue("Q", 0)

    def role(parity):
        def job():
            lock = maker.open()
            acquire, release = lock.acquire, lock.release

            def body():
                mine, clock = 0, time.perf_counter
                end = clock() + seconds
                while clock() < end:
                    acquire()
                    c = counter.value
                    if c & 1 == parity:
                        counter.value = c + 1
                        mine += 1
                    release()
                return mine

            return body

        return job

    return [(role(1), cpus[1]), (role(0), cpus[0])]


# ---------------------------------------------------------------------------
# Memory


def rss_roles(name, messages, view, cpus):
    """Resident size of one process before and after `messages` 64-byte messages through a
    1 MiB queue (put then take, in this one process). The ring is cycled twice first, so
    every page of it is already resident when the 'before' figure is taken."""
    from kelvane.tools._bench_procs import proc_status

    def job():
        q = KelQueue(name, 1)
        data = payload(64)
        put, get, rv, cr = q.put_bytes, q.get_bytes, q.recv_view, q.commit_read

        def run(count):
            if view:
                for _ in range(count):
                    put(data)
                    v, nxt = rv()
                    v[0]
                    cr(nxt)
                    del v
            else:
                for _ in range(count):
                    put(data)
                    get()

        def body():
            run(2 * MiB // 68 + 1000)
            before = proc_status()
            run(messages)
            after = proc_status()
            return {"before": before, "after": after}

        return body

    return [(job, cpus[0])]


def footprint_roles(names_and_sizes, cpus):
    """Address space and shared memory one KelQueue of size_mb costs."""
    from kelvane.tools._bench_procs import SHM_DIR, proc_status

    def job():
        def body():
            out = []
            for name, size_mb in names_and_sizes:
                before = proc_status()
                q = KelQueue(name, size_mb)
                after = proc_status()
                st = os.stat(os.path.join(SHM_DIR, name))
                out.append(
                    {
                        "size_mb": size_mb,
                        "address_space": after["VmSize"] - before["VmSize"],
                        "object_size": st.st_size,
                        "shared_memory": st.st_blocks * 512,
                        "rss_growth": after["VmRSS"] - before["VmRSS"],
                    }
                )
                del q
                KelQueue.unlink(name)
            return out

        return body

    return [(job, cpus[0])]


# ---------------------------------------------------------------------------
# Executors: kelvane.Pool.map against ProcessPoolExecutor.map and multiprocessing.Pool.map

EXECUTORS = ("kelvane Pool.map", "ProcessPoolExecutor.map", "mp.Pool.map")


def executor_map_roles(kind, data, n, workers, chunksize):
    """One owner process maps echo over n copies of `data` with `workers` workers; the pool
    is started and warmed up before the clock starts."""

    def owner():
        import concurrent.futures
        import multiprocessing

        ctx = multiprocessing.get_context("forkserver")
        if kind == EXECUTORS[0]:
            from kelvane import Pool

            pool = Pool(workers, mp_context=ctx)
            close = pool.shutdown
        elif kind == EXECUTORS[1]:
            pool = concurrent.futures.ProcessPoolExecutor(workers, mp_context=ctx)
            close = pool.shutdown
        else:
            pool = ctx.Pool(workers)

            def close():
                pool.terminate()
                pool.join()

        for _ in pool.map(echo, [data] * (8 * workers)):
            pass
        items = [data] * n

        def body():
            for _ in pool.map(echo, items, chunksize=chunksize):
                pass

        return body, close

    return [(owner, None)]


# ---------------------------------------------------------------------------
# Large numpy arrays, one producer to one consumer that reads every element

LARGE_KINDS = ("kelvane.Queue", "mp.Queue", "shared_memory by hand", "py-sharedmemory", "dejaq",
               "iceoryx2 (copy into a loan)", "memcpy (1 core)")
# Filled in place: the producer writes each array (a[:] = i) into a loan, or into a private
# array that it then puts.
LARGE_LOAN_KINDS = ("kelvane.Queue loan_array", "kelvane.Queue put", "iceoryx2 loan")
# The same from a C++ program: kelvane/tools/capi_producer.cpp fills loans (kelvane.hpp).
LARGE_CAPI_KIND = "C++ producer loans (kelvane.hpp)"
LARGE_HAND_DEPTH = 8  # names in flight in the hand-written scheme's queue
LARGE_PEER_DEPTH = 4  # messages in flight for the peers that take a bound (py-sharedmemory, iceoryx2)
LARGE_RING = 16 * MiB


def _numpy():
    try:
        import numpy
    except ImportError:
        raise Unavailable("numpy is not installed (pip install kelvane[bench])") from None
    return numpy


def _peer(module, what):
    try:
        return __import__(module)
    except ImportError:
        raise Unavailable(f"{what} is not installed (pip install kelvane[bench])") from None


def _shared_memory(**kwargs):
    from multiprocessing import shared_memory

    try:  # Python 3.13: the resource tracker would unlink it when the producer exits
        return shared_memory.SharedMemory(track=False, **kwargs)
    except TypeError:
        return shared_memory.SharedMemory(**kwargs)


def _iceoryx2_service(node, name):
    import ctypes

    iox2 = _peer("iceoryx2", "iceoryx2")
    return (node.service_builder(iox2.ServiceName.new(name)).publish_subscribe(iox2.Slice[ctypes.c_uint8])
            .subscriber_max_buffer_size(LARGE_PEER_DEPTH).history_size(0).enable_safe_overflow(False)
            .subscriber_max_borrowed_samples(2).open_or_create())


class LargeLink:
    """What producer and consumer share: a kelvane.Queue (16 MiB ring, its blocks carved
    and backed before the clock starts, as the peers that preallocate do at creation), a
    multiprocessing.Queue carrying the arrays or, for the hand-written scheme, the names of
    multiprocessing.shared_memory blocks; a py-sharedmemory pair, a dejaq.DejaQueue, or the
    name of an iceoryx2 publish-subscribe service of byte slices."""

    def __init__(self, kind, cleanup, size, program=None):
        np = _numpy()
        self.kind = kind
        self._cleanup = cleanup
        self.name = None
        self.q = None
        self.pair = None
        self.program = None
        if kind == LARGE_CAPI_KIND:
            if program is None:
                raise Unavailable("the C++ producer was not built for this run")
            self.program = program.require()
        if kind.startswith("kelvane.Queue") or kind == LARGE_CAPI_KIND:
            from kelvane.queue import Queue

            self.name = cleanup.shm_name("lq")
            self._creator = Queue(self.name, LARGE_RING)
            warm = min(16, max(3, LARGE_RING // size + 2))
            a = np.ones(size // 8)
            for _ in range(warm):
                self._creator.put(a)
            for _ in range(warm):
                self._creator.get()
        elif kind == "mp.Queue":
            self.q = CTX.Queue()
        elif kind == "shared_memory by hand":
            self.q = CTX.Queue(LARGE_HAND_DEPTH)
        elif kind == "py-sharedmemory":
            psm = _peer("py_sharedmemory", "py-sharedmemory")
            self.pair = psm.create_shared_memory_pair(capacity=LARGE_PEER_DEPTH, ctx=CTX)
        elif kind == "dejaq":
            dejaq = _peer("dejaq", "dejaq")
            self.q = dejaq.DejaQueue(buffer_bytes=max(LARGE_RING, 2 * size + MiB))
        elif kind.startswith("iceoryx2"):
            _peer("iceoryx2", "iceoryx2")
            self.name = f"kbench_{os.getpid()}_{id(self):x}"

    def release(self):
        if self.kind.startswith("kelvane.Queue") or self.kind == LARGE_CAPI_KIND:
            from kelvane.queue import Queue

            Queue.attach(self.name).unlink()
            self._creator.close()
            self._cleanup.forget_shm(self.name)
        if self.pair is not None:
            for end in self.pair:
                end.close()
        if self.q is not None:
            if self.kind == "shared_memory by hand":
                while True:  # blocks a consumer that failed left behind
                    try:
                        name = self.q.get_nowait()
                    except Exception:
                        break
                    try:
                        _shared_memory(name=name).unlink()
                    except FileNotFoundError:
                        pass
            if self.kind == "dejaq":
                close = getattr(self.q, "close", None)
                if close is not None:
                    close()
            else:
                self.q.close()
                self.q.join_thread()


def large_roles(link, size, n, cpus, fill=False):
    """n float64 arrays of `size` bytes; the consumer sums each one (reads every element).
    fill: the producer writes each array (a[:] = i) before it sends it, into a loan where
    the transport has them."""
    np = _numpy()
    count = size // 8
    kind = link.kind

    if kind == "memcpy (1 core)":
        def job():
            src = np.random.default_rng(1).random(count)
            dst = np.ones(count)  # resident before the clock starts

            def body():
                for _ in range(n):
                    np.copyto(dst, src)

            return body

        return [(job, cpus[1])]

    def consumer():
        if kind.startswith("kelvane.Queue") or kind == LARGE_CAPI_KIND:
            from kelvane.queue import Queue

            get = Queue.attach(link.name).get
        elif kind == "py-sharedmemory":
            get = link.pair[1].get
        elif kind.startswith("iceoryx2"):
            import iceoryx2 as iox2

            iox2.set_log_level(iox2.LogLevel.Error)  # no word about its missing config file in the tables
            node = iox2.NodeBuilder.new().create(iox2.ServiceType.Ipc)
            subscriber = _iceoryx2_service(node, link.name).subscriber_builder().create()
            receive, yield_cpu = subscriber.receive, os.sched_yield

            def body():  # iceoryx2's receive never waits: the consumer polls, on a CPU of its own
                total = 0.0
                got = 0
                while got < n:
                    sample = receive()
                    if sample is None:
                        yield_cpu()
                        continue
                    total += np.frombuffer(sample.payload().as_memory_view(), np.float64).sum()
                    sample.delete()
                    got += 1
                return total

            return body, subscriber.delete
        elif kind == "shared_memory by hand":
            get = link.q.get

            def body():
                total = 0.0
                for _ in range(n):
                    shm = _shared_memory(name=get())
                    shm.unlink()
                    a = np.ndarray(count, np.float64, shm.buf)
                    total += a.sum()
                    del a
                    shm.close()
                return total

            return body
        else:  # mp.Queue, dejaq
            get = link.q.get

        def body():
            total = 0.0
            for _ in range(n):
                total += get().sum()
            return total

        return body

    if kind == LARGE_CAPI_KIND:
        from kelvane.tools._bench_capi import producer_role

        return [(consumer, cpus[1]), (producer_role(link.program, link.name, size, n, "arrays"), cpus[0])]

    def producer():
        arr = np.random.default_rng(1).random(count)
        if kind.startswith("iceoryx2"):
            import iceoryx2 as iox2

            iox2.set_log_level(iox2.LogLevel.Error)
            node = iox2.NodeBuilder.new().create(iox2.ServiceType.Ipc)
            publisher = (_iceoryx2_service(node, link.name).publisher_builder().initial_max_slice_len(size)
                         .backpressure_strategy(iox2.BackpressureStrategy.RetryUntilDelivered).create())
            publisher.update_connections()  # the subscriber exists already

            def body():
                for i in range(n):
                    sample = publisher.loan_slice_uninit(size)
                    view = np.frombuffer(sample.payload().as_memory_view(), np.float64)
                    if fill:
                        view[:] = i
                    else:
                        view[:] = arr
                    del view
                    sample.assume_init().send()

            return body, publisher.delete
        if kind == "kelvane.Queue loan_array":
            from kelvane.queue import Queue

            q = Queue.attach(link.name)

            def body():
                for i in range(n):
                    a = q.loan_array(count)
                    a[:] = i
                    q.put(a)
                    del a

            return body
        if kind.startswith("kelvane.Queue"):
            from kelvane.queue import Queue

            put = Queue.attach(link.name).put

            def body():
                for i in range(n):
                    if fill:
                        arr[:] = i
                    put(arr)

            return body
        if kind == "py-sharedmemory":
            sender = link.pair[0]

            def body():
                for _ in range(n):
                    sender.put(arr)

            def after():  # until every message is received
                sender.wait_for_all_ack(60)

            return body, after
        if kind in ("mp.Queue", "dejaq"):
            q = link.q

            def body():
                for _ in range(n):
                    q.put(arr)

            def after():  # until the feeder thread has written everything
                if kind == "mp.Queue":
                    q.close()
                    q.join_thread()

            return body, after
        put = link.q.put

        def body():
            for _ in range(n):
                shm = _shared_memory(create=True, size=size)
                view = np.ndarray(count, np.float64, shm.buf)
                view[:] = arr
                del view
                put(shm.name)
                shm.close()

        return body

    return [(consumer, cpus[1]), (producer, cpus[0])]


LARGE_EXECUTORS = ("kelvane Pool.map", "ProcessPoolExecutor.map")


def array_sum(a):
    return float(a.sum())


def large_map_roles(kind, size, n, workers):
    """One owner maps array_sum over n arrays of `size` bytes with `workers` workers
    (forkserver), started and warmed up before the clock starts."""
    np = _numpy()

    def owner():
        import concurrent.futures
        import multiprocessing

        ctx = multiprocessing.get_context("forkserver")
        if kind == LARGE_EXECUTORS[0]:
            from kelvane import Pool

            pool = Pool(workers, mp_context=ctx)
        else:
            pool = concurrent.futures.ProcessPoolExecutor(workers, mp_context=ctx)
        arr = np.random.default_rng(1).random(size // 8)
        for _ in pool.map(array_sum, [arr] * (2 * workers)):
            pass
        items = [arr] * n

        def body():
            for _ in pool.map(array_sum, items):
                pass

        return body, pool.shutdown

    return [(owner, None)]
