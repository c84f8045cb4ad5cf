"""Bad input at scale: a state machine of KelQueue against a deque, and every
constructor and method fed generated names and argument values. Nothing may crash;
the only exceptions are the documented ones."""

import collections
import os
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from kelvane.tools import torture
from kelvane_core import KelLock, KelPoolCore, KelQueue

LONG = os.environ.get("KELVANE_TORTURE") == "long"
CAPACITY = torture.MIB
ALLOWED = (TypeError, OverflowError, UnicodeEncodeError, RuntimeError, ValueError)
SETTINGS = settings(
    max_examples=400 if LONG else 100,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)


def payload(size, seed):
    return random.Random(seed).randbytes(size)


# ---------------------------------------------------------------------------
# The queue against a deque.

message_sizes = st.one_of(
    st.integers(0, 64),
    st.integers(0, 20_000),
    st.sampled_from([0, CAPACITY - 4, CAPACITY - 5, CAPACITY // 2 - 4, CAPACITY // 3]),
)
too_large = st.sampled_from([CAPACITY - 3, CAPACITY, CAPACITY + 1, 3 * CAPACITY])


class QueueAgainstDeque(RuleBasedStateMachine):
    """Puts, gets, views and commits (right and wrong) on a 1 MiB queue, each
    checked against a deque and the header's positions. get/recv_view run only
    when the model holds something and puts only when they fit, so nothing waits."""

    def __init__(self):
        super().__init__()
        self.name = torture.new_name("sm")
        self.q = KelQueue(self.name, 1)
        self.model = collections.deque()
        self.read_pos = self.write_pos = 0
        self.viewed = None  # next_pos of a view taken since the last consuming call

    def teardown(self):
        del self.q
        KelQueue.unlink(self.name)

    def free(self):
        return CAPACITY - (self.write_pos - self.read_pos)

    def oldest_end(self):
        return self.read_pos + 4 + len(self.model[0])

    def refused(self, call, expected_prefix):
        before = torture.queue_header(self.name)
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value).startswith(expected_prefix), str(info.value)
        assert torture.queue_header(self.name) == before  # a refusal changes nothing

    @rule(size=message_sizes, seed=st.integers(0, 2**32 - 1))
    def put(self, size, seed):
        if size + 4 > self.free():
            return  # would wait for room
        data = payload(size, seed)
        self.q.put_bytes(data)
        self.model.append(data)
        self.write_pos += 4 + size

    @rule(size=too_large)
    def put_too_large(self, size):
        self.refused(lambda: self.q.put_bytes(bytes(size)), "Queue put error: Buffer too small")

    @precondition(lambda self: self.model)
    @rule()
    def get(self):
        expected = self.model.popleft()
        assert self.q.get_bytes() == expected
        self.read_pos += 4 + len(expected)
        self.viewed = None

    @precondition(lambda self: self.model)
    @rule()
    def recv_view(self):
        view, next_pos = self.q.recv_view()
        try:
            assert view.readonly
            assert bytes(view) == self.model[0]
        finally:
            view.release()
        assert next_pos == self.oldest_end()
        self.viewed = next_pos

    @precondition(lambda self: self.viewed is not None)
    @rule()
    def commit_viewed(self):
        self.q.commit_read(self.viewed)
        self.read_pos += 4 + len(self.model.popleft())
        self.viewed = None

    @rule()
    def commit_current_read_pos(self):
        self.q.commit_read(self.read_pos)  # nothing to do, accepted

    @rule(delta=st.one_of(st.integers(-5, 5), st.integers(-(2**40), 2**40)))
    def commit_wrong(self, delta):
        target = (self.oldest_end() if self.model else self.read_pos) + delta
        if not 0 <= target < 2**64 or target == self.read_pos or (self.model and target == self.oldest_end()):
            return  # a position the queue rightly accepts
        self.refused(lambda: self.q.commit_read(target), "Queue commit_read error: Invalid position: ")

    @rule(bad=st.one_of(st.integers(max_value=-1), st.integers(min_value=2**64)))
    def commit_out_of_range(self, bad):
        with pytest.raises(OverflowError):
            self.q.commit_read(bad)

    @invariant()
    def header_matches_the_model(self):
        h = torture.queue_header(self.name)
        assert (h["read_pos"], h["write_pos"], h["capacity"], h["ready"]) == (
            self.read_pos,
            self.write_pos,
            CAPACITY,
            1,
        )


TestQueueAgainstDeque = QueueAgainstDeque.TestCase
TestQueueAgainstDeque.settings = settings(
    max_examples=200 if LONG else 50,
    stateful_step_count=60 if LONG else 40,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)


# ---------------------------------------------------------------------------
# Names.

PREFIX = f"kt_fz_{os.getpid()}_"

name_tails = st.one_of(
    st.text(max_size=40),
    st.text(alphabet=st.sampled_from("ab/.\0\\ \n\udcff\u00e9\U0001f600"), max_size=12),
    st.integers(200, 300).map(lambda n: "x" * n),
)


@pytest.fixture
def fresh_names():
    """Removes every object a generated name created, whatever its name."""
    yield
    for n in os.listdir(torture.SHM_DIR):
        if n.startswith(PREFIX):
            torture.remove_name(n)


def _os_name(name):
    return name[1:] if name.startswith("/") else name


def _exists(name):
    try:
        return os.path.exists(os.path.join(torture.SHM_DIR, _os_name(name)))
    except (ValueError, UnicodeEncodeError):
        return False


@SETTINGS
@given(tail=name_tails, slash=st.booleans(), which=st.sampled_from(["lock", "queue"]))
def test_generated_names(fresh_names, tail, slash, which):
    """A name works (and unlink removes it) or fails with the documented error;
    a name that fails creates nothing the next call trips over."""
    name = ("/" if slash else "") + PREFIX + tail
    cls = KelLock if which == "lock" else KelQueue
    make = (lambda: KelLock(name)) if which == "lock" else (lambda: KelQueue(name, 1))
    try:
        obj = make()
    except ALLOWED as e:
        if isinstance(e, RuntimeError):
            assert str(e).startswith(("Failed to create shm: ", "Failed to create mirrored shm: ",
                                      "Failed to open shm: ", "Failed to open mirrored shm: "))
        with pytest.raises(ALLOWED):
            cls.unlink(name)
        return
    del obj
    cls.unlink(name)
    assert not _exists(name)
    with pytest.raises(RuntimeError, match="^Unlink failed: Nix error: ENOENT: No such file or directory$"):
        cls.unlink(name)


# ---------------------------------------------------------------------------
# Argument values for every constructor and method.

def _shm_limit_mb():
    st_ = os.statvfs(torture.SHM_DIR)
    return st_.f_blocks * st_.f_frsize >> 20


SHM_LIMIT_MB = _shm_limit_mb()

# Sizes that are refused before any memory is touched. Sizes that would really be
# allocated (up to the size of /dev/shm) are left out on purpose, except 1 and 2.
if SHM_LIMIT_MB:
    _beyond = st.integers(SHM_LIMIT_MB + 1, 2**44 - 1)
else:  # no limit on /dev/shm: such a size would really be allocated
    _beyond = st.nothing()
size_values = st.one_of(
    st.sampled_from([0, 1, 2, 2**44, 2**44 - 1, 2**64 - 1, 2**64, -1, True, False]),
    st.integers(max_value=-1),
    st.integers(min_value=2**44),
    _beyond,
    st.floats(allow_nan=True),
    st.text(max_size=3),
    st.none(),
    st.binary(max_size=3),
)

any_value = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.text(max_size=5),
    st.binary(max_size=64),
    st.binary(max_size=64).map(bytearray),
    st.binary(max_size=64).map(memoryview),
    st.lists(st.integers(0, 255), max_size=3),
    st.just(object()),
)


def _leftover_pool_names(before, object_size):
    """Pool names that appeared and have the size this example asked for."""
    out = []
    for n in set(os.listdir(torture.SHM_DIR)) - before:
        if n.startswith(("kp_task_", "kp_res_")):
            try:
                if os.stat(os.path.join(torture.SHM_DIR, n)).st_size == object_size:
                    out.append(n)
            except FileNotFoundError:
                pass
    return out


@SETTINGS
@given(size_mb=size_values, by_keyword=st.booleans())
def test_constructor_sizes(fresh_names, size_mb, by_keyword):
    """KelQueue(name, size_mb) and KelPoolCore(size_mb) over sizes that are valid,
    zero, out of range, refused by the space there is, or not integers."""
    name = PREFIX + "size"
    try:
        q = KelQueue(name=name, size_mb=size_mb) if by_keyword else KelQueue(name, size_mb)
    except ALLOWED:
        pass
    else:
        q.put_bytes(b"ok")
        assert q.get_bytes() == b"ok"
        del q
    torture.remove_name(name)

    before = set(os.listdir(torture.SHM_DIR))
    try:
        pool = KelPoolCore(size_mb=size_mb) if by_keyword else KelPoolCore(size_mb)
    except ALLOWED:
        pass
    else:
        pool.put_task(b"t")
        names = (pool.task_q_name, pool.result_q_name)
        del pool
        assert not any(_exists(n) for n in names)
    if isinstance(size_mb, int) and 0 <= size_mb < 2**44:
        # A pool that failed half-way leaves names behind (reported separately):
        # remove the ones of this example's size so the run leaves nothing.
        for n in _leftover_pool_names(before, torture.HEADER_SIZE + (size_mb << 20)):
            torture.remove_name(n)


@pytest.fixture(scope="module")
def objects():
    qname, lname = PREFIX + "mq", PREFIX + "ml"
    q, lock, pool = KelQueue(qname, 1), KelLock(lname), KelPoolCore(1)
    yield q, lock, pool
    del q, lock, pool
    KelQueue.unlink(qname)
    KelLock.unlink(lname)


@SETTINGS
@given(value=any_value, keyword=st.sampled_from([None, "data", "next_pos", "nope"]),
       method=st.sampled_from(["put_bytes", "commit_read", "put_task"]))
def test_one_argument_methods(objects, value, keyword, method):
    """put_bytes/put_task take bytes only, commit_read an int in range; anything
    else is a TypeError or OverflowError, a wrong position a RuntimeError."""
    q, lock, pool = objects
    target = pool if method == "put_task" else q
    call = getattr(target, method)
    try:
        if keyword is None:
            call(value)
        else:
            call(**{keyword: value})
    except ALLOWED as e:
        if isinstance(e, RuntimeError):
            assert method == "commit_read" and str(e).startswith("Queue commit_read error: Invalid position: ")
    else:
        if method == "put_bytes":
            assert type(value) is bytes
            assert q.get_bytes() == value
        elif method == "put_task":
            assert type(value) is bytes
            assert KelQueue(pool.task_q_name, 1).get_bytes() == value
        else:
            assert torture.queue_header(PREFIX + "mq")["read_pos"] == value  # only the no-op is accepted


no_arg_calls = [
    ("q", "get_bytes"), ("q", "recv_view"), ("lock", "acquire"), ("lock", "release"),
    ("lock", "__enter__"), ("pool", "get_result"), ("pool", "unlink"),
]


@SETTINGS
@given(args=st.lists(any_value, min_size=1, max_size=3), call=st.sampled_from(no_arg_calls))
def test_arguments_to_methods_that_take_none(objects, args, call):
    q, lock, pool = objects
    target = {"q": q, "lock": lock, "pool": pool}[call[0]]
    with pytest.raises(TypeError):
        getattr(target, call[1])(*args)


@SETTINGS
@given(receiver=any_value, method=st.sampled_from([
    (KelQueue, "put_bytes", (b"x",)), (KelQueue, "get_bytes", ()), (KelQueue, "recv_view", ()),
    (KelQueue, "commit_read", (0,)), (KelLock, "acquire", ()), (KelLock, "release", ()),
    (KelLock, "__exit__", (None, None, None)), (KelPoolCore, "put_task", (b"x",)),
    (KelPoolCore, "get_result", ()), (KelPoolCore, "unlink", ()),
]))
def test_methods_called_on_the_wrong_object(receiver, method):
    cls, attr, args = method
    with pytest.raises(TypeError):
        getattr(cls, attr)(receiver, *args)


@SETTINGS
@given(args=st.lists(any_value, max_size=4), kwargs=st.dictionaries(st.sampled_from(["a", "name", "x"]), any_value,
                                                                      max_size=2))
def test_exit_arguments(objects, args, kwargs):
    """__exit__ wants exactly three arguments of any kind; with them it releases."""
    _, lock, _ = objects
    lock.acquire()
    try:
        lock.__exit__(*args, **kwargs)
    except TypeError:
        lock.release()
    except RuntimeError:
        pytest.fail("__exit__ of a held lock failed to release it")
    else:
        assert len(args) + len(kwargs) == 3
    with pytest.raises(RuntimeError, match=r"^Unlock failed: Pthread error: 1$"):
        lock.release()
