"""Where the installed package keeps its C and C++ API, for other programs' builds:
include/ (kelvane.h, kelvane.hpp), lib/libkelvane.a, lib/cmake/kelvane (CMake's
find_package(kelvane CONFIG)) and lib/pkgconfig/kelvane.pc, all inside the package.

`python -m kelvane --cmake-dir | --pkgconfig-dir | --include-dir | --cflags | --libs` prints
them, as pybind11's config tool does; the flags come from kelvane.pc itself."""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent

OPTIONS = {
    "--include-dir": "the directory of kelvane.h and kelvane.hpp",
    "--cmake-dir": "the directory of kelvaneConfig.cmake (-Dkelvane_DIR=...)",
    "--pkgconfig-dir": "the directory of kelvane.pc (PKG_CONFIG_PATH=...)",
    "--cflags": "the compiler flags a program needs",
    "--libs": "the linker flags a program needs (libkelvane.a, libstdc++, threads)",
}


def include_dir() -> Path:
    return ROOT / "include"


def cmake_dir() -> Path:
    return ROOT / "lib" / "cmake" / "kelvane"


def pkgconfig_dir() -> Path:
    return ROOT / "lib" / "pkgconfig"


def pc_fields(path: Path | None = None) -> dict[str, str]:
    """The keywords of kelvane.pc (Cflags, Libs, Version ...) with its variables expanded."""
    path = path or pkgconfig_dir() / "kelvane.pc"
    variables = {"pcfiledir": str(path.parent)}
    fields = {}

    def expand(value: str) -> str:
        return re.sub(r"\$\{(\w+)\}", lambda m: variables.get(m.group(1), ""), value)

    for line in path.read_text(encoding="utf-8").splitlines():
        if m := re.match(r"^(\w+)=(.*)$", line):
            variables[m.group(1)] = expand(m.group(2).strip())
        elif m := re.match(r"^(\w[\w.]*):\s*(.*)$", line):
            fields[m.group(1)] = expand(m.group(2).strip())
    # ${prefix}/include with prefix ${pcfiledir}/../..: plain absolute paths for a shell.
    return {key: re.sub(r"(?<=[-IL])(/\S+)", lambda m: str(Path(m.group(1)).resolve()), value)
            for key, value in fields.items()}


def main(options: list[str]) -> int:
    unknown = [o for o in options if o not in OPTIONS]
    if unknown:
        print(f"unknown option {unknown[0]!r}; one of: {', '.join(OPTIONS)}", file=sys.stderr)
        return 2
    pc = pkgconfig_dir() / "kelvane.pc"
    if not pc.is_file():
        print(f"this kelvane was installed without its C and C++ API (there is no {pc})", file=sys.stderr)
        return 1
    fields = pc_fields(pc)
    answers = {
        "--include-dir": str(include_dir()),
        "--cmake-dir": str(cmake_dir()),
        "--pkgconfig-dir": str(pkgconfig_dir()),
        "--cflags": fields.get("Cflags", ""),
        "--libs": fields.get("Libs", ""),
    }
    for option in options:
        print(answers[option])
    return 0
