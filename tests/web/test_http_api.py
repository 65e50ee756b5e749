# SPDX-License-Identifier: MIT
"""The HTTP API of aimheadd's web server, against aimsim."""

from __future__ import annotations

import itertools
import json
import re
import select
import socket
import subprocess
import time
from pathlib import Path
from typing import Any, Callable, Dict, List

from web_support import AIMHEADD, Daemon, Simulator, position, request, wait_for

TRAVEL_PAN = (-1780, 1780)
TRAVEL_TILT = (1037, 3171)


def link_up(port: int) -> Dict[str, Any]:
    return wait_for(lambda: (lambda s: s if s["link"] == "up" and s["position"] else None)(position(port)),
                    10, "the link to come up")


class EventStream:
    """The daemon's Server-Sent Events, one state per message, read from
    the raw socket so that a quiet stream can be waited on with a bound."""

    def __init__(self, port: int) -> None:
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.socket.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.buffered = b""

    def states(self, seconds: float) -> List[Dict[str, Any]]:
        """Every state that arrives within seconds."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            ready, _, _ = select.select([self.socket], [], [], left)
            if ready:
                self.buffered += self.socket.recv(65536)
        assert b"text/event-stream" in self.buffered.split(b"\r\n\r\n", 1)[0]
        found = [json.loads(data) for data in re.findall(rb"^data: (.*)$", self.buffered, re.MULTILINE)]
        self.buffered = self.buffered.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
        return found

    def close(self) -> None:
        self.socket.close()


def test_position_move_and_home(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    state = link_up(web.port)
    assert state["position"] == {"pan": 0, "tilt": 1571}

    status, _, reply = request(web.port, "POST", "/api/move", {"pan": 400, "tilt": 2000})
    assert status == 202 and reply["limited"] is False
    # The head's counts are 2 mrad: the target is the nearest it can reach.
    assert abs(reply["target"]["pan"] - 400) <= 1 and abs(reply["target"]["tilt"] - 2000) <= 1
    wait_for(lambda: position(web.port)["position"] == reply["target"], 5, "the head to arrive")

    status, _, reply = request(web.port, "POST", "/api/move", {"pan": 5000, "tilt": -3000})
    assert status == 202 and reply["limited"] is True
    assert reply["target"]["pan"] <= TRAVEL_PAN[1] and reply["target"]["tilt"] >= TRAVEL_TILT[0]

    status, _, reply = request(web.port, "POST", "/api/home", raw=b"")
    assert status == 202
    wait_for(lambda: position(web.port)["position"] == {"pan": 0, "tilt": 1571}, 5, "the head to come home")


def test_bad_requests_get_clear_refusals(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    cases = [
        ("POST", "/api/move", b"{not json", 400, "JSON object"),
        ("POST", "/api/move", b"[1, 2]", 400, "JSON object"),
        ("POST", "/api/move", b'{"pan": "left", "tilt": 1571}', 400, "pan must be a whole number"),
        ("POST", "/api/move", b'{"pan": 0}', 400, "tilt is missing"),
        ("POST", "/api/move", b'{"pan": 40000, "tilt": 1571}', 400, "pan must be from"),
        ("POST", "/api/move", b'{"pan": 0, "tilt": 1e3}', 400, "tilt must be a whole number"),
        ("POST", "/api/move", b" " * 4097, 413, "over 4096 bytes"),
        ("GET", "/api/move", b"", 405, "use POST"),
        ("DELETE", "/api/presets", b"", 405, "use GET"),
        ("GET", "/api/home", b"", 405, "use POST"),
        ("GET", "/nothing/here", b"", 404, "nothing at /nothing/here"),
        ("POST", "/api/presets/nowhere", b"", 404, "no preset named 'nowhere'"),
        ("PUT", "/api/presets/..hidden", b"", 400, "a preset name"),
    ]
    for method, path, body, status, words in cases:
        got, headers, reply = request(web.port, method, path, raw=body)
        assert (got, words in reply.get("error", "")) == (status, True), (method, path, body[:40], reply)
        if status == 405:
            assert headers["Allow"]
    # None of them moved the head.
    assert position(web.port)["target"] is None


def test_changes_from_another_site_are_refused(simulator: Callable[..., Simulator],
                                               daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    status, _, reply = request(web.port, "POST", "/api/move", {"pan": 100, "tilt": 1600},
                               {"Origin": "http://attacker.example"})
    assert status == 403 and "attacker.example" in reply["error"]
    status, _, _ = request(web.port, "POST", "/api/home", raw=b"", headers={"Origin": "null"})
    assert status == 403
    assert position(web.port)["target"] is None
    own = f"http://127.0.0.1:{web.port}"
    status, _, _ = request(web.port, "POST", "/api/move", {"pan": 100, "tilt": 1600}, {"Origin": own})
    assert status == 202


def test_beyond_loopback_changes_need_the_token(simulator: Callable[..., Simulator],
                                                daemon: Callable[..., Daemon], directory: Path) -> None:
    head = simulator("--speed", "0")
    web = daemon(head, "0.0.0.0")
    assert len(web.token) == 32, web.errors()
    link_up(web.port)
    move = {"pan": 200, "tilt": 1700}
    for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": web.token}):
        status, _, reply = request(web.port, "POST", "/api/move", move, headers)
        assert status == 403 and "token" in reply["error"], headers
    assert position(web.port)["target"] is None  # reads need no token
    status, _, _ = request(web.port, "POST", "/api/move", move, {"Authorization": f"Bearer {web.token}"})
    assert status == 202

    token_file = directory / "token"
    token_file.write_text("a-token-from-a-file\n")
    web.stop()
    from_file = daemon(head, "0.0.0.0", ["--http-token-file", str(token_file)])
    assert from_file.token == "" and "a-token-from-a-file" not in from_file.errors()
    link_up(from_file.port)
    status, _, _ = request(from_file.port, "POST", "/api/home", raw=b"",
                           headers={"Authorization": "Bearer a-token-from-a-file"})
    assert status == 202


def test_events_come_only_on_change(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "1000"))
    link_up(web.port)
    stream = EventStream(web.port)
    try:
        first = stream.states(0.5)
        assert len(first) == 1 and first[0]["link"] == "up"
        # The daemon polls the head all the while; an idle head sends nothing.
        assert stream.states(1.0) == []
        status, _, reply = request(web.port, "POST", "/api/move", {"pan": 600, "tilt": 1571})
        assert status == 202
        moving = stream.states(1.5)
        assert moving[0]["target"] == reply["target"]
        pans = [state["position"]["pan"] for state in moving]
        assert len(pans) >= 3 and pans == sorted(pans), pans
        assert moving[-1]["position"] == reply["target"]
        assert stream.states(0.6) == []
    finally:
        stream.close()


def test_presets_are_saved_and_recalled(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    request(web.port, "POST", "/api/move", {"pan": -300, "tilt": 2100})
    view = wait_for(lambda: (lambda s: s["position"] if s["position"]["pan"] != 0 else None)(position(web.port)), 5,
                    "the head to move")
    status, _, saved = request(web.port, "PUT", "/api/presets/door", raw=b"")
    assert status == 201 and saved["pan"] == view["pan"]
    assert json.loads(web.presets.read_text())["presets"]["door"] == view

    request(web.port, "POST", "/api/home", raw=b"")
    status, _, listed = request(web.port, "GET", "/api/presets")
    assert listed == {"presets": [{"name": "door", **view}]}
    status, _, recalled = request(web.port, "POST", "/api/presets/door", raw=b"")
    assert status == 202 and recalled["target"] == view
    wait_for(lambda: position(web.port)["position"] == view, 5, "the head to reach the preset")


def test_a_corrupt_preset_file_is_reported_not_replaced(simulator: Callable[..., Simulator],
                                                        daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    web.presets.write_text("{ this is not json")
    for method, path in (("GET", "/api/presets"), ("PUT", "/api/presets/door")):
        status, _, reply = request(web.port, method, path, raw=b"")
        assert status == 500 and str(web.presets) in reply["error"]
    assert web.presets.read_text() == "{ this is not json"


def test_a_link_failure_is_reported(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0", "--hangup-after", "20"))
    state = wait_for(lambda: (lambda s: s if s["link"] != "up" and s.get("reason") else None)(position(web.port)),
                     10, "the link failure")
    assert state["reason"]
    status, _, reply = request(web.port, "POST", "/api/move", {"pan": 0, "tilt": 1571})
    assert status == 503 and reply["error"]


def test_bad_web_options_end_the_daemon_with_one_line(directory: Path) -> None:
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    port = taken.getsockname()[1]
    try:
        # The rotator port is set up by the same code, with its own status.
        for (option, status), (where, words) in itertools.product(
                (("--http", 5), ("--rotctld", 4)),
                ((f"127.0.0.1:{port}", "Address already in use"), ("localhost:8080", "not a numeric address"),
                 ("127.0.0.1:99999", "port must be a number"))):
            done = subprocess.run([str(AIMHEADD), "-d", str(directory / "none"), "-s", str(directory / "socket"),
                                   option, where], capture_output=True, text=True, timeout=20)
            lines = [line for line in done.stderr.splitlines() if where in line]
            assert done.returncode == status and len(lines) == 1 and words in lines[0], (option, done.stderr)
    finally:
        taken.close()
