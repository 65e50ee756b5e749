# SPDX-License-Identifier: MIT
"""Faults of the daemon seen through its web port: the head sent home again
after a replug, and the longest preset name refused."""

from __future__ import annotations

from typing import Callable

from web_support import Daemon, Simulator, position, request, wait_for


def test_the_head_is_initialised_on_the_first_open_only(simulator: Callable[..., Simulator],
                                                       daemon: Callable[..., Daemon]) -> None:
    first = simulator("--speed", "0", "--hangup-after", "8")
    web = daemon(first)
    wait_for(lambda: position(web.port)["link"] == "failed", 10, "the line to hang up")
    assert [frame for _, frame in first.frames() if frame.startswith("initialise")], first.errors()
    first.stop()
    second = simulator("--speed", "0")
    wait_for(lambda: (lambda s: s["link"] == "up" and s["position"])(position(web.port)), 15, "the head to be back")
    assert second.frames(), second.errors()
    assert not [frame for _, frame in second.frames() if frame.startswith("initialise")], second.errors()


def test_a_preset_name_of_the_longest_length_is_kept(simulator: Callable[..., Simulator],
                                                     daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    wait_for(lambda: (lambda s: s["link"] == "up" and s["position"])(position(web.port)), 10, "the link")
    longest = "n" * 32
    status, _, saved = request(web.port, "PUT", f"/api/presets/{longest}", raw=b"")
    assert status == 201 and saved["name"] == longest
    assert request(web.port, "PUT", f"/api/presets/{longest}x", raw=b"")[0] == 400
    assert request(web.port, "POST", f"/api/presets/{longest}", raw=b"")[0] == 202
