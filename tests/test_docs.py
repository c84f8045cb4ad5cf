"""Every python block of the README and of the documentation runs as written, in a
process of its own, and leaves nothing in /dev/shm. A block that is only a part of a
program says so on the line before it: <!-- fragment -->."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
FRAGMENT = "<!-- fragment -->"
FENCE = re.compile(r"^(\s*)```(\S*)\s*$")


def pages():
    found = [ROOT / "README.md"] if (ROOT / "README.md").is_file() else []
    return found + sorted((ROOT / "docs").rglob("*.md"))


def python_blocks(path):
    """(first line number, code) of every python block in the page that is no fragment."""
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        opened = FENCE.match(lines[i])
        if not opened:
            i += 1
            continue
        indent, info = opened.groups()
        end = next(j for j in range(i + 1, len(lines)) if lines[j].strip() == "```")
        before = next((lines[k].strip() for k in range(i - 1, -1, -1) if lines[k].strip()), "")
        if info in ("python", "py") and before != FRAGMENT:
            body = [line[len(indent):] if line.startswith(indent) else line for line in lines[i + 1:end]]
            yield i + 2, "\n".join(body) + "\n"
        i = end + 1


EXAMPLES = [pytest.param(code, id=f"{page.relative_to(ROOT)}:{line}")
            for page in pages() for line, code in python_blocks(page)]


# The example runs with a /dev/shm of its own (a private mount namespace, a fresh tmpfs),
# where root may make one: what is there afterwards is the example's and no other
# program's. Elsewhere the names that appeared meanwhile, still there a moment later and
# used by no live process, count.
PRIVATE_SHM = 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && "$0" "$1"; rc=$?; ls -A /dev/shm > "$2"; exit $rc'


def private_shm_works():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    done = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs tmpfs /dev/shm"], capture_output=True,
                          timeout=30)
    return done.returncode == 0


def in_use(name):
    """Whether a live process maps /dev/shm/name or holds it open."""
    target = f"/dev/shm/{name}"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as maps:
                if any(line.rstrip("\n").endswith(target) for line in maps):
                    return True
            if any(os.readlink(f"/proc/{pid}/fd/{fd}") == target for fd in os.listdir(f"/proc/{pid}/fd")):
                return True
        except OSError:
            continue
    return False


@pytest.fixture(scope="module")
def private_shm():
    return private_shm_works()


@pytest.mark.skipif(not EXAMPLES, reason="the tests run outside a source tree")
@pytest.mark.parametrize("code", EXAMPLES)
def test_the_example_runs_and_leaves_nothing(code, tmp_path, private_shm):
    script, listing = tmp_path / "example.py", tmp_path / "left"
    script.write_text(code, encoding="utf-8")
    command = [sys.executable, str(script)]
    if private_shm:
        command = ["unshare", "-m", "sh", "-c", PRIVATE_SHM, sys.executable, str(script), str(listing)]
    before = set(os.listdir("/dev/shm"))
    proc = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    try:
        output, _ = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)  # the example and every process it started
        output, _ = proc.communicate()
        pytest.fail(f"the example did not finish in 120 s:\n{output}")
    assert proc.returncode == 0, output
    if private_shm:
        left = listing.read_text().split()
    else:
        new = set(os.listdir("/dev/shm")) - before
        if new:
            time.sleep(2)  # what another program is still using or removing goes meanwhile
        left = sorted(n for n in new if os.path.exists(f"/dev/shm/{n}") and not in_use(n))
    assert not left, f"the example left {left} in /dev/shm"
