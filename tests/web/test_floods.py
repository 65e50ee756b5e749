# SPDX-License-Identifier: MIT
"""A flood of rotator clients: refused beyond the port's cap with a log
line, while the local socket's clients are served at once and a replugged
head is opened again."""

from __future__ import annotations

import resource
import socket
import time
from typing import Callable, List

import pytest

from web_support import Daemon, Simulator, local_get, position, wait_for


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def flooded(rotator: int, count: int) -> List[socket.socket]:
    """count clients connected to the rotator port, closed by the caller."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < count + 200:
        pytest.skip(f"needs {count + 200} descriptors for the flood")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    flood: List[socket.socket] = []
    for _ in range(count):
        client = socket.socket()
        client.settimeout(5)
        client.connect(("127.0.0.1", rotator))
        flood.append(client)
    return flood


def test_a_rotator_flood_is_capped_and_the_local_socket_stays_served(simulator: Callable[..., Simulator],
                                                                    daemon: Callable[..., Daemon]) -> None:
    rotator = free_port()
    web = daemon(simulator("--speed", "0"), options=["--rotctld", f"127.0.0.1:{rotator}"])
    wait_for(lambda: position(web.port)["link"] == "up", 10, "the link")
    socket_path = str(web.presets.parent / "socket")
    started = time.monotonic()
    flood = flooded(rotator, 2000)
    try:
        assert local_get(socket_path) < 1.0
        wait_for(lambda: "rotator port: refused" in web.errors(), 5, "the refusal's log line")
        refusals = [line for line in web.errors().splitlines() if "rotator port: refused" in line]
        # One line a second at most, however many are refused.
        assert len(refusals) <= time.monotonic() - started + 2, refusals
        # The refused ones are closed; the admitted ones still answer.
        flood[0].sendall(b"p\n")
        assert flood[0].recv(100)
        flood[-1].settimeout(2)
        assert flood[-1].recv(100) == b""
    finally:
        for client in flood:
            client.close()


def test_a_head_replugged_during_a_flood_is_opened_again(simulator: Callable[..., Simulator],
                                                        daemon: Callable[..., Daemon]) -> None:
    rotator = free_port()
    first = simulator("--speed", "0")
    web = daemon(first, options=["--rotctld", f"127.0.0.1:{rotator}"])
    wait_for(lambda: position(web.port)["link"] == "up", 10, "the link")
    flood = flooded(rotator, 2000)
    try:
        first.stop()
        wait_for(lambda: position(web.port)["link"] != "up", 10, "the unplug to be seen")
        second = simulator("--speed", "0")
        # The daemon keeps descriptors for its own work, so the head comes
        # back while every rotator client is still connected.
        wait_for(lambda: position(web.port)["link"] == "up", 10, "the replugged head")
        assert second.frames(), second.errors()
        local_get(str(web.presets.parent / "socket"))
    finally:
        for client in flood:
            client.close()
