"""python -m kelvane bench: a run saved with --json is drawn again with --from-json, figure
for figure, without measuring anything."""

import json
import subprocess
import sys

import pytest

from kelvane.tools import bench


def run_bench(*args, cwd, timeout=120):
    return subprocess.run([sys.executable, "-m", "kelvane", "bench", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def saved_run(tmp_path_factory):
    """A real, very short run of the lock group, saved with --json."""
    where = tmp_path_factory.mktemp("bench")
    done = run_bench("--quick", "--only", "lock", "--reps", "1", "--seconds", "0.05",
                     "--json", "run.json", cwd=where)
    assert done.returncode == 0, done.stderr
    return where / "run.json"


def test_every_saved_figure_comes_back(saved_run):
    doc = json.loads(saved_run.read_text())
    saved = {(r["scenario"], r["size"], r["transport"]): r["rate"]
             for r in doc["records"] if r["unit"] != "bytes"}
    drawn = {(sc.name, sc.size, c.transport): bench.median(c) for sc in bench.plan_from_json(doc)
             for c in sc.cases}
    assert saved and drawn == saved


@pytest.mark.timeout(120)
def test_saved_run_is_drawn(saved_run, tmp_path):
    pytest.importorskip("matplotlib", reason="matplotlib is not installed (pip install 'kelvane[plot]')")
    done = run_bench("--from-json", str(saved_run), "--plot", "again.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "again.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "kelvane bench, " not in done.stdout  # nothing was measured: no tables


@pytest.mark.parametrize("args, text", [
    (["--from-json", "run.json"], "give --plot FILE.png"),
    (["--from-json", "missing.json", "--plot", "x.png"], "cannot read a saved run from missing.json"),
    (["--from-json", "not-json.txt", "--plot", "x.png"], "cannot read a saved run from not-json.txt"),
])
def test_usage_errors(tmp_path, args, text):
    (tmp_path / "not-json.txt").write_text("kelvane bench, not a saved run\n")
    done = run_bench(*args, cwd=tmp_path, timeout=60)
    assert done.returncode == 2
    assert text in done.stderr
    assert not (tmp_path / "x.png").exists()
