"""Named segments: how names reach the system, what creating and opening do to the
object, removal, and the errors for names the system or the module refuses."""

import gc
import os
import stat

import pytest

from conftest import EDEADLK_TEXT, SHM_DIR, join_or_kill, mappings, shm_path
from kelvane_core import KelLock, KelPoolCore, KelQueue

ENOENT_TEXT = "Nix error: ENOENT: No such file or directory"


def make_object(name, size):
    """An object made by hand, as a creator that stopped early would leave it."""
    fd = os.open(shm_path(name), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    try:
        os.ftruncate(fd, size)
    finally:
        os.close(fd)


def raised(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert type(info.value) is RuntimeError
    assert info.value.args == (str(info.value),)
    assert info.value.__cause__ is None
    return str(info.value)


def test_name_with_and_without_leading_slash_is_one_segment(shm_name):
    name = shm_name()
    first = KelLock("/" + name)
    assert os.path.exists(shm_path(name))
    second = KelLock(name)
    first.acquire()
    assert raised(second.acquire) == EDEADLK_TEXT  # the same mutex, held by this thread
    second.release()
    KelLock.unlink(name)
    assert raised(lambda: KelLock.unlink("/" + name)) == "Unlink failed: " + ENOENT_TEXT


def _segments(kind, name):
    if kind == "lock":
        return KelLock(name), [name]
    if kind == "queue":
        return KelQueue(name, 1), [name]
    pool = KelPoolCore(1)
    return pool, [pool.task_q_name, pool.result_q_name]


@pytest.mark.parametrize("umask", [0, 0o077, 0o777], ids=oct)
@pytest.mark.parametrize("kind", ["lock", "queue", "pool"])
def test_new_segments_are_owner_read_write_whatever_the_umask(shm_name, kind, umask):
    old = os.umask(umask)
    try:
        owner, names = _segments(kind, shm_name())
    finally:
        os.umask(old)
    for name in names:
        assert stat.S_IMODE(os.stat(shm_path(name)).st_mode) == 0o600


def _as_other_user(name, results):
    os.setgid(65534)
    os.setuid(65534)
    texts = []
    for call in (lambda: KelLock(name), lambda: KelLock.unlink(name)):
        try:
            call()
            texts.append("no error")
        except RuntimeError as e:
            texts.append(str(e))
    results.put(texts)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as a second user")
def test_another_user_can_neither_open_nor_remove_a_segment(shm_name, mp):
    name = shm_name()
    KelLock(name)
    results = mp.Queue()
    child = mp.Process(target=_as_other_user, args=(name, results))
    child.start()
    try:
        texts = results.get(timeout=30)
    finally:
        join_or_kill(child)
    assert texts == [
        "Failed to open shm: Nix error: EACCES: Permission denied",
        "Unlink failed: Nix error: EACCES: Permission denied",
    ]
    assert os.path.exists(shm_path(name))


def test_opening_changes_neither_size_nor_contents(shm_name):
    name = shm_name()
    creator = KelLock(name)
    with open(shm_path(name), "r+b") as f:
        f.truncate(8192)
        f.seek(2048)
        f.write(b"kept")
        f.seek(6000)
        f.write(b"beyond the mapped page")
    before = open(shm_path(name), "rb").read()
    opener = KelLock(name)
    assert open(shm_path(name), "rb").read() == before
    opener.acquire()
    opener.release()
    assert os.stat(shm_path(name)).st_size == 8192
    del creator


@pytest.mark.parametrize("size", [1, 100, 4095])
def test_object_shorter_than_a_page_is_refused_and_left_alone(shm_name, size):
    # (An object of size 0, still to be sized by its creator, is waited for: test_lock.)
    name = shm_name()
    make_object(name, size)
    expected = f"Failed to open shm: the object is {size} bytes, this process expects 4096 bytes"
    assert raised(lambda: KelLock(name)) == expected
    assert os.stat(shm_path(name)).st_size == size
    assert mappings(name) == 0


def test_removed_name_keeps_mappings_and_comes_back_fresh(shm_name):
    name = shm_name()
    old, peer = KelLock(name), KelLock(name)
    with open(shm_path(name), "r+b") as f:
        f.seek(3000)
        f.write(b"old segment")
    KelLock.unlink(name)
    assert not os.path.exists(shm_path(name))
    old.acquire()
    assert raised(peer.acquire) == EDEADLK_TEXT  # old and peer still share the old mutex
    fresh = KelLock(name)
    fresh.acquire()  # a new, free lock that does not exclude holders of the old one
    data = open(shm_path(name), "rb").read()
    assert len(data) == 4096 and data[3000:3011] == bytes(11)
    fresh.release()
    old.release()
    peer.acquire()
    peer.release()


@pytest.mark.parametrize("kind", ["lock", "queue"])
def test_dropping_an_object_keeps_its_name(shm_name, kind):
    name = shm_name()
    owner, _ = _segments(kind, name)
    del owner
    gc.collect()
    assert os.path.exists(shm_path(name))
    assert mappings(name) == 0
    again, _ = _segments(kind, name)
    if kind == "queue":
        again.put_bytes(b"x")
        assert again.get_bytes() == b"x"


@pytest.mark.parametrize("leading", ["", "/"], ids=["plain", "leading slash"])
def test_names_of_255_bytes_work(shm_name, leading):
    name = shm_name().ljust(255, "x")
    KelLock(leading + name)
    assert os.path.exists(shm_path(name))
    KelLock.unlink(leading + name)
    assert not os.path.exists(shm_path(name))


EINVAL = "Nix error: EINVAL: Invalid argument"
ENAMETOOLONG = "Nix error: ENAMETOOLONG: File name too long"


def cstring(position):
    return f"CString error: nul byte found in provided data at position: {position}"


def NUL_AFTER_BASE(n):
    return cstring(len("/" + n))


# (name made from a fresh name n, constructor error, unlink error; an error may depend
# on n). The C library refuses "/", empty, inner-slash and very long names with EINVAL
# when opening and ENOENT when removing; the text is the system's errno either way.
BAD_NAMES = [
    ("empty", lambda n: "", EINVAL, ENOENT_TEXT),
    ("slash", lambda n: "/", EINVAL, ENOENT_TEXT),
    ("two slashes", lambda n: "//", EINVAL, ENOENT_TEXT),
    ("inner slash", lambda n: n + "/inner", EINVAL, ENOENT_TEXT),
    ("inner slash after leading", lambda n: "/" + n + "/inner", EINVAL, ENOENT_TEXT),
    ("256 bytes", lambda n: n.ljust(256, "x"), ENAMETOOLONG, ENAMETOOLONG),
    ("257 bytes, fewer chars", lambda n: n + "\u00e9" * ((257 - len(n)) // 2) + "x" * (len(n) % 2 == 0),
     ENAMETOOLONG, ENAMETOOLONG),
    ("400 bytes", lambda n: n.ljust(400, "x"), EINVAL, ENOENT_TEXT),
    ("nul", lambda n: n + "\0tail", NUL_AFTER_BASE, NUL_AFTER_BASE),
    ("nul after leading", lambda n: "/" + n + "\0", NUL_AFTER_BASE, NUL_AFTER_BASE),
]


@pytest.mark.parametrize("make, create_error, unlink_error", [b[1:] for b in BAD_NAMES], ids=[b[0] for b in BAD_NAMES])
def test_bad_names_are_reported_and_create_nothing(shm_name, make, create_error, unlink_error):
    base = shm_name()
    name = make(base)
    create_error, unlink_error = (e(base) if callable(e) else e for e in (create_error, unlink_error))
    assert raised(lambda: KelLock(name)) == "Failed to create shm: " + create_error
    assert raised(lambda: KelLock.unlink(name)) == "Unlink failed: " + unlink_error
    assert raised(lambda: KelQueue.unlink(name)) == "Unlink failed: " + unlink_error
    assert not [n for n in os.listdir(SHM_DIR) if n.startswith(base)]


@pytest.mark.parametrize("leading", ["", "/"], ids=["plain", "leading slash"])
@pytest.mark.parametrize(
    "text, position",
    [("\0", 1), ("a\0b", 2), ("abc\0", 4), ("a\0\0", 2), ("\u00e9\0", 3)],
    ids=["alone", "middle", "end", "two", "after multibyte"],
)
def test_nul_position_is_counted_in_the_system_name(leading, text, position):
    # The system name starts with exactly one "/", given or added.
    expected = cstring(position)
    assert raised(lambda: KelLock(leading + text)) == "Failed to create shm: " + expected
    assert raised(lambda: KelLock.unlink(leading + text)) == "Unlink failed: " + expected


def test_queue_reports_a_nul_in_the_name_as_a_creation_error():
    assert raised(lambda: KelQueue("a\0b", 1)) == "Failed to create mirrored shm: " + cstring(2)
