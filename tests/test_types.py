"""The type information shipped with the package matches the code it describes."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy")

TYPED_MODULES = ["kelvane", "kelvane.queue", "kelvane.lock", "kelvane.aio", "kelvane._aio_lock", "kelvane.pool", "kelvane._pool_engine",
                 "kelvane._pool_worker", "kelvane._objects",
                 "kelvane._side", "kelvane._capi"]


def run_mypy(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300
    )


def test_extension_stubs_match_the_module(tmp_path):
    done = run_mypy("mypy.stubtest", "kelvane_core", "kelvane._native", "--mypy-config-file", "/dev/null", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_python_layer_is_fully_typed(tmp_path):
    args = ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache")]
    for module in TYPED_MODULES:
        args += ["-m", module]
    done = run_mypy(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_user_code_is_checked_against_the_types(tmp_path):
    (tmp_path / "user.py").write_text(
        "import kelvane\n"
        "q = kelvane.Queue(capacity=1 << 20)\n"
        "q.put(1, timeout=0.5)\n"
        "n: int = q.qsize()\n"
        "raw = kelvane.KelQueue('x', 1)\n"
        "got: bytes | None = raw.get_bytes_timed(0.1)\n"
        "with kelvane.Pool(2) as p:\n"
        "    r: int = p.submit(len, 'ab').result()\n"
        "    total: int = sum(p.map(abs, [1, -2], chunksize=2))\n"
        "bad: str = raw.get_bytes()\n"
    )
    done = run_mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "user.py", cwd=tmp_path)
    assert done.returncode == 1
    assert 'user.py:10: error: Incompatible types in assignment (expression has type "bytes"' in done.stdout
    assert done.stdout.count("error:") == 1, done.stdout
