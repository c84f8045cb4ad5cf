"""python -m kelvane demo | bench | torture | ls | rm | top"""

import sys

USAGE = """usage: python -m kelvane COMMAND [options]

commands:
  demo      a pool, a queue, a lock, numpy arrays and asyncio across real processes
  bench     kelvane against multiprocessing, faster-fifo, posix_ipc and pyzmq
  torture   kill processes at random instants and check nothing is lost
  ls        list kelvane's segments in /dev/shm and the processes using them
  rm        remove segments by name, or every one nobody uses (rm --stale)
  top       a live view of kelvane's queues, locks and pools (top --json for scripts)

options, for building C and C++ programs against the installed package:
  --include-dir    the directory of kelvane.h and kelvane.hpp
  --cmake-dir      the directory of kelvaneConfig.cmake (find_package(kelvane CONFIG))
  --pkgconfig-dir  the directory of kelvane.pc
  --cflags         the compiler flags a C or C++ program needs
  --libs           the linker flags it needs
"""


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ("-h", "--help"):
        print(USAGE, end="")
        return 0 if argv else 2
    command, rest = argv[0], argv[1:]
    if command.startswith("--"):
        from kelvane import _capi

        return _capi.main(argv)
    if command == "demo":
        from kelvane.tools import demo as job
    elif command == "bench":
        from kelvane.tools import bench as job
    elif command == "torture":
        from kelvane.tools import torture as job
    elif command in ("ls", "rm"):
        from kelvane import shm_admin

        return shm_admin.main(argv)
    elif command == "top":
        from kelvane import shm_top

        return shm_top.main(rest)
    else:
        print(f"unknown command {command!r}\n\n{USAGE}", end="", file=sys.stderr)
        return 2
    return job.main(rest)


if __name__ == "__main__":
    sys.exit(main())
