"""A process stopped by SIGKILL at each named point inside put_bytes, get_bytes and
the wait: the queue stays consistent, no partial record is ever seen, the message
is whole or absent (put) / still there or consumed (get), and the others carry on.

These need the crash-test build (KELVANE_KILL_POINTS=ON at install time); with
the released module they are skipped."""

import pytest

from kelvane import torture

MIB = torture.MIB

pytestmark = [
    pytest.mark.skipif(
        not torture.kill_points_available(),
        reason="the installed kelvane_core has no kill points; "
        "install with KELVANE_KILL_POINTS=ON to run the crash-point tests",
    ),
    pytest.mark.usefixtures("nothing_left_behind"),
]

# Where the record starts in the ring: inside it, with its length field cut by the
# end of the ring, with its payload cut by the end of the ring.
OFFSETS = {"inside": 100, "length_wraps": MIB - 2, "payload_wraps": MIB - 500}


@pytest.mark.parametrize("where", OFFSETS)
@pytest.mark.parametrize("point", torture.PUT_POINTS)
def test_producer_killed_inside_put(point, where):
    result = torture.kill_put(point, OFFSETS[where])
    assert result["problems"] == []
    assert result["delivered"] == (point == "put:after_position")


@pytest.mark.parametrize("where", OFFSETS)
@pytest.mark.parametrize("point", torture.GET_POINTS)
def test_consumer_killed_inside_get(point, where):
    result = torture.kill_get(point, OFFSETS[where])
    assert result["problems"] == []
    assert result["consumed"] == (point == "get:after_position")


@pytest.mark.parametrize("skip", [0, 2], ids=["first_wait", "third_wait"])
@pytest.mark.parametrize("role", ["consumer", "producer"])
def test_waiter_killed_about_to_sleep(role, skip):
    result = torture.kill_waiter(role, skip)
    assert result["problems"] == []
    assert result["carry_on_s"] is not None and result["carry_on_s"] <= 1.0
