"""The tools that come with kelvane: ``python -m kelvane demo | bench | torture``.

They use the library (kelvane.Queue, Lock, Pool and kelvane_core) as any program would;
the library never imports them.
"""
