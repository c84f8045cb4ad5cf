"""Processes killed with SIGKILL at random instants: lock holders and waiters, queue
producers and consumers, waiters blocked in the queue. Nothing may be lost beyond
what a dead consumer had already taken, duplicated, corrupted or left hanging.

The quick profile runs by default; KELVANE_TORTURE=long runs the long one (the
figures are printed; run with -s to see them)."""

import os

import pytest

from kelvane.tools import torture

PROFILE = torture.PROFILES["long" if os.environ.get("KELVANE_TORTURE") == "long" else "quick"]
LONG = PROFILE is torture.PROFILES["long"]


pytestmark = pytest.mark.usefixtures("nothing_left_behind")


def show(title, figures):
    print(f"\n{title}: " + ", ".join(f"{k}={v}" for k, v in figures.items() if k != "problems"))


@pytest.mark.timeout(3600 if LONG else 120)
def test_killed_lock_holders_are_taken_over_once_each():
    figures = torture.lock_holders_killed(**PROFILE["lock"])
    show("lock holders killed", figures)
    assert figures["problems"] == []
    assert figures["holder_kills"] == PROFILE["lock"]["kills"]
    assert figures["breaches"] == 0 and figures["hangs"] == 0
    assert figures["missing_reports"] == 0 and figures["duplicate_reports"] == 0
    # Every certain death was reported; ambiguous ones (killed as they took or
    # gave up the lock) at most once each.
    assert figures["holder_kills"] <= figures["recovered"] <= figures["holder_kills"] + figures["ambiguous_kills"]
    assert figures["waiter_kills"] > 0


@pytest.mark.timeout(3600 if LONG else 150)
def test_queue_storm_loses_nothing_a_live_consumer_took():
    figures = torture.queue_storm(**PROFILE["storm"])
    show("queue storm", figures)
    assert figures["problems"] == []
    kills = PROFILE["storm"]["kills_per_role"]
    assert figures["producer_kills"] >= kills and figures["consumer_kills"] >= kills
    assert figures["duplicated"] == figures["damaged"] == figures["phantom"] == figures["order_breaks"] == 0
    assert figures["lost"] <= figures["consumer_kills_after_get"] + figures["consumer_kills_inside_get"]
    assert figures["hangs"] == 0
    # The storm moved real traffic, including records cut by the end of the ring.
    assert figures["messages_moved"] > 1000


@pytest.mark.timeout(3600 if LONG else 120)
def test_killed_waiters_do_not_stall_the_others():
    figures = torture.killed_waiters(**PROFILE["waiters"])
    show("killed waiters", figures)
    assert figures["problems"] == []
    assert figures["hangs"] == 0
    for kind in ("get_bytes", "recv_view", "put_bytes"):
        assert figures[f"{kind}_kills"] == PROFILE["waiters"]["rounds"] // 3
    assert figures["carry_on_ms_max"] <= 1000


def test_torture_command_prints_its_figures():
    """`python -m kelvane torture` runs the scenarios it is given and says how many
    problems it found."""
    status, out, err = torture.run_python(
        "import sys; from kelvane.__main__ import main; sys.exit(main(sys.argv[1:]))",
        argv=("torture", "--only", "race"),
        timeout=60,
    )
    assert status == 0, err
    assert "== creation race (queue)" in out and "== creation race (lock)" in out
    assert "libc: glibc" in out and out.rstrip().endswith("0 problem(s)")
