# SPDX-License-Identifier: MIT
"""Moves against the simulated head, their reports, and the argument checks."""

from __future__ import annotations

from pathlib import Path
from typing import Callable

import pytest

import aimlink
from aimlink import Link, Position
from conftest import PACKAGE_ROOT, run_python

SCAN = PACKAGE_ROOT.parent / "examples" / "scan.py"


def test_moves_return_the_positions_the_head_reports(fast_head: str) -> None:
    with aimlink.Head(fast_head) as head:
        assert head.link == Link.UP
        for pan, tilt in [(1000, 1571), (-500, 2001), (2, 3171), (0, 1571)]:
            assert head.move(pan, tilt) == Position(pan, tilt)
            assert head.position == Position(pan, tilt)
            assert head.target == Position(pan, tilt)


def test_a_move_beyond_the_travel_stops_at_the_limit(fast_head: str) -> None:
    with aimlink.Head(fast_head) as head:
        assert not head.reachable(2000, 1571)
        assert head.limited(2000, 1571) == Position(aimlink.PAN_MAX, 1571)
        assert head.move(2000, 1571) == Position(aimlink.PAN_MAX, 1571)
        assert head.move(-3000, 500) == Position(aimlink.PAN_MIN, aimlink.TILT_MIN)


def test_home_returns_to_straight_ahead_and_level(fast_head: str) -> None:
    with aimlink.Head(fast_head) as head:
        head.move(700, 2501)
        assert head.home() == Position(0, 1571)


def test_the_last_queued_move_wins(aimsim: Callable[..., str]) -> None:
    # A slow head: the second request replaces the first before it is sent
    # or while the head travels; either way the head ends at the second.
    with aimlink.Head(aimsim("--speed", "1000")) as head:
        assert head.move(1200, 1571, wait=False) is None
        head.move(-400, 2201, wait=False)
        assert head.wait_arrived(10) == Position(-400, 2201)


def test_position_is_none_until_the_first_report(aimsim: Callable[..., str]) -> None:
    with aimlink.Head(aimsim("--latency", "300"), connect_timeout=None) as head:
        assert head.position is None
        assert head.target is None
        head.wait_link(3)
        assert head.move(10, 1571) == Position(10, 1571)


def test_a_head_opened_without_initialise_still_answers(fast_head: str) -> None:
    with aimlink.Head(fast_head, initialise=False) as head:
        assert head.move(-20, 1601) == Position(-20, 1601)
        head.initialise()
        assert head.link == Link.UP


def test_close_ends_the_link_and_open_starts_it_again(fast_head: str) -> None:
    head = aimlink.Head(fast_head)
    head.close()
    head.close()
    assert head.closed and head.link == Link.CLOSED
    with pytest.raises(ValueError, match="not open"):
        head.move(0, 1571)
    head.open()
    assert head.move(30, 1571) == Position(30, 1571)
    head.close()


class TestArguments:
    @pytest.mark.parametrize("pan", [1.5, "100", None])
    def test_angles_must_be_whole_numbers(self, fast_head: str, pan: object) -> None:
        with aimlink.Head(fast_head) as head:
            with pytest.raises(TypeError, match="pan must be a whole number"):
                head.move(pan, 1571)  # type: ignore[arg-type]
            assert head.target is None

    @pytest.mark.parametrize("tilt", [32768, -32769, 2**32 + 1571])
    def test_angles_beyond_16_bits_are_refused_not_wrapped(self, tilt: int) -> None:
        with pytest.raises(ValueError, match="tilt must be from -32768 to 32767"):
            aimlink.reachable(0, tilt)

    def test_reachable_covers_exactly_the_travel(self) -> None:
        for pan, tilt in [(aimlink.PAN_MIN, aimlink.TILT_MIN), (aimlink.PAN_MAX, aimlink.TILT_MAX), (0, 1571)]:
            assert aimlink.reachable(pan, tilt)
            assert aimlink.limited(pan, tilt) == (pan, tilt)
        for pan, tilt in [(aimlink.PAN_MIN - 2, 1571), (0, aimlink.TILT_MAX + 2), (32767, -32768)]:
            assert not aimlink.reachable(pan, tilt)

    @pytest.mark.parametrize("options", [{"baud": 9601}, {"reply_timeout": 0.001}, {"reply_timeout": 61}])
    def test_bad_options_are_refused_before_the_port_is_opened(self, fast_head: str, options: dict) -> None:
        with pytest.raises(ValueError, match=fast_head):
            aimlink.Head(fast_head, **options)
        with aimlink.Head(fast_head) as head:
            assert head.link == Link.UP


def test_the_package_and_the_library_share_a_version() -> None:
    assert aimlink.__version__ == aimlink.library_version()


class TestScanExample:
    """examples/scan.py, on the device AIMLINK_DEVICE names."""

    def test_it_reports_each_position_it_reaches(self, fast_head: str) -> None:
        result = run_python(SCAN.read_text(), env={"AIMLINK_DEVICE": fast_head})
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines()[-1] == "pan 0 tilt 1571: arrived, head reports 0 1571 mrad"
        assert len(result.stdout.splitlines()) == 4

    def test_it_fails_with_one_line_naming_the_device(self, tmp_path: Path) -> None:
        missing = f"{tmp_path}/ttyNONE"
        result = run_python(SCAN.read_text(), env={"AIMLINK_DEVICE": missing})
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr == f"scan: [Errno 2] No such file or directory: '{missing}'\n"
