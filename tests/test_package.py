"""The package's shape as a user meets it: the library apart from its tools, and every
command of `python -m kelvane` under the name it always had."""

import pkgutil
import subprocess
import sys

import pytest

import kelvane


def library_modules():
    """Every module at the top of the package: what `import kelvane...` gives a program."""
    return sorted(f"kelvane.{m.name}" for m in pkgutil.iter_modules(kelvane.__path__) if m.name != "tools")


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def test_the_library_never_imports_its_tools():
    modules = library_modules()
    assert {"kelvane.queue", "kelvane.lock", "kelvane.pool", "kelvane.shm_admin"} <= set(modules)
    code = (
        "import importlib, sys\n"
        f"for name in {modules!r}:\n"
        "    importlib.import_module(name)\n"
        "import kelvane\n"
        "for name in kelvane.__all__:\n"
        "    getattr(kelvane, name)\n"
        "tools = sorted(m for m in sys.modules if m == 'kelvane.tools' or m.startswith('kelvane.tools.'))\n"
        "print(tools)\n"
    )
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.parametrize("command, words", [
    ("demo", "python -m kelvane demo"),
    ("bench", "python -m kelvane bench"),
    ("torture", "python -m kelvane torture"),
    ("ls", "kelvane ls"),
    ("rm", "kelvane rm"),
    ("top", "kelvane top"),
])
def test_every_command_answers_under_its_name(command, words):
    done = subprocess.run([sys.executable, "-m", "kelvane", command, "--help"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert words in done.stdout


@pytest.mark.parametrize("name", ["Pool", "WorkerDiedError", "BrokenPool", "RemoteTraceback"])
def test_pool_names_keep_their_public_module(name):
    """Tracebacks, reprs and pickles name the pool's classes where users import them from."""
    import pickle

    import kelvane.pool

    cls = getattr(kelvane.pool, name)
    assert (cls.__module__, cls.__qualname__) == ("kelvane.pool", name)
    if issubclass(cls, BaseException):
        error = cls("text")
        assert type(pickle.loads(pickle.dumps(error))) is cls
