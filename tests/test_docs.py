"""Every python block of the README and of the documentation runs as written, in a
process of its own, and leaves nothing in /dev/shm. A block that is only a part of a
program says so on the line before it: <!-- fragment -->."""

import os
import re
import signal
import subprocess
import sys
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


@pytest.mark.skipif(not EXAMPLES, reason="the tests run outside a source tree")
@pytest.mark.parametrize("code", EXAMPLES)
def test_the_example_runs_and_leaves_nothing(code, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    before = set(os.listdir("/dev/shm"))
    proc = subprocess.Popen([sys.executable, str(script)], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        output, _ = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)  # the example and every process it started
        output, _ = proc.communicate()
        pytest.fail(f"the example did not finish in 120 s:\n{output}")
    assert proc.returncode == 0, output
    # What another program on this machine made meanwhile is in use by it; a name that
    # the example made and nobody uses is its leftover.
    left = sorted(n for n in set(os.listdir("/dev/shm")) - before if not in_use(n))
    for name in left:
        os.unlink(f"/dev/shm/{name}")
    assert not left, f"the example left {left} in /dev/shm"
