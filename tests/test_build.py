"""The build keeps the core free of Python: a core file that names Python.h or PyObject fails
the build with a clear message, and the core compiles without Python's include directories."""

import json
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]

pytestmark = [
    pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed"),
    pytest.mark.skipif(not (SOURCE / "src" / "core").is_dir(), reason="the tests run outside a source tree"),
]


@pytest.fixture
def tree(tmp_path):
    """A copy of what CMake reads, to spoil at will."""
    copy = tmp_path / "src-tree"
    copy.mkdir()
    shutil.copy(SOURCE / "CMakeLists.txt", copy)
    for part in ("src", "include", "build-support", "bench"):
        shutil.copytree(SOURCE / part, copy / part, ignore=shutil.ignore_patterns("*.png", "__pycache__"))
    (copy / "kelvane").mkdir()
    shutil.copy(SOURCE / "kelvane" / "__init__.py", copy / "kelvane")  # the version the C API checks
    return copy


def configure(tree, *defines):
    return subprocess.run(["cmake", "-S", str(tree), "-B", str(tree / "build"), *defines], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("file, line", [
    ("src/core/spin.hpp", "#include <Python.h>"),
    ("src/core/queue.cpp", "struct _object; using PyObject = _object; // a forward declaration is Python too"),
])
def test_a_core_file_that_names_python_fails_the_build(tree, file, line):
    path = tree / file
    path.write_text(line + "\n" + path.read_text())
    done = configure(tree, "-DKELVANE_MODULE=OFF")
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert "src/core must not include Python.h or name PyObject" in message
    assert f"{path}: {line}" in message


def test_the_core_compiles_without_python_include_directories(tree):
    done = configure(tree, "-DKELVANE_MODULE=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                     f"-DPython_EXECUTABLE={sys.executable}")
    if done.returncode != 0 and "Development" in done.stderr:
        pytest.skip("CPython's development headers are not installed for this interpreter")
    assert done.returncode == 0, done.stderr
    commands = json.loads((tree / "build" / "compile_commands.json").read_text())
    include = sysconfig.get_paths()["include"]
    core = [c for c in commands if "/src/core/" in c["file"]]
    binding = [c for c in commands if "/src/python/" in c["file"] or "/src/native/" in c["file"]]
    # Every source file of each part is compiled, each with the part's own flags (the
    # binding helpers once for each extension module).
    assert len(core) == len(list((tree / "src" / "core").glob("*.cpp"))) >= 4
    assert {c["file"] for c in binding} == {str(p) for part in ("python", "native")
                                            for p in (tree / "src" / part).glob("*.cpp")}
    capi = [c for c in commands if "/src/capi/" in c["file"]]
    assert capi and all(include not in c["command"] for c in core + capi)
    assert all(include in c["command"] for c in binding)
    assert all("-fPIC" in c["command"] for c in core)
