# SPDX-License-Identifier: MIT
"""aimheadd's HTTP port under hostile clients: other hosts' names, look-alike
origins, oversized and slow requests, floods of event streams. Every client
here runs on loopback against a daemon this test starts."""

from __future__ import annotations

import socket
import time
from pathlib import Path
from typing import Callable, List, Optional

from web_support import Daemon, Simulator, position, request, wait_for


def link_up(port: int) -> None:
    wait_for(lambda: (lambda s: s["link"] == "up" and s["position"])(position(port)), 10, "the link to come up")


def exchange(port: int, data: bytes, timeout: float = 5.0) -> bytes:
    """Sends data on a fresh connection and reads until the server closes or
    has sent a whole response; a server that resets the connection ends the
    read too."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as client:
        try:
            client.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        received = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = client.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            received += chunk
            head, _, body = received.partition(b"\r\n\r\n")
            length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                      if line.lower().startswith(b"content-length:")]
            if length and len(body) >= length[0]:
                break
        return received


def status_of(response: bytes) -> Optional[int]:
    parts = response.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None


def rss_kib(daemon: Daemon) -> int:
    for line in Path(f"/proc/{daemon.process.pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS for the daemon")


def test_a_request_naming_another_host_is_refused_before_any_handler(
        simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"), options=["--http-host", "camera.example"])
    link_up(web.port)
    rebound = (f"POST /api/move HTTP/1.1\r\nHost: evil.example:{web.port}\r\nOrigin: http://evil.example:{web.port}\r\n"
               "Content-Length: 27\r\n\r\n{\"pan\": 300, \"tilt\": 1600}\n").encode()
    assert status_of(exchange(web.port, rebound)) == 421
    wrong_port = f"GET /api/position HTTP/1.1\r\nHost: 127.0.0.1:{web.port + 1}\r\n\r\n".encode()
    assert status_of(exchange(web.port, wrong_port)) == 421
    assert position(web.port)["target"] is None
    for host in ("localhost", f"localhost:{web.port}", f"CAMERA.example:{web.port}", "127.0.0.1"):
        got = exchange(web.port, f"GET /api/position HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        assert status_of(got) == 200, host


def test_only_the_exact_own_origin_may_change_the_head(simulator: Callable[..., Simulator],
                                                       daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    move = {"pan": 100, "tilt": 1600}
    for origin in (f"http://127.0.0.1:{web.port}.evil.example", f"https://127.0.0.1:{web.port}",
                   f"http://127.0.0.1:{web.port + 1}", f"http://127.0.0.1:{web.port}/x", "http://127.0.0.1"):
        status, _, reply = request(web.port, "POST", "/api/move", move, {"Origin": origin})
        assert status == 403 and origin in reply["error"], origin
        status, _, _ = request(web.port, "PUT", "/api/presets/door", raw=b"", headers={"Origin": origin})
        assert status == 403, origin
    assert position(web.port)["target"] is None and not web.presets.exists()
    status, _, _ = request(web.port, "POST", "/api/move", move, {"Origin": f"http://127.0.0.1:{web.port}"})
    assert status == 202


def test_saving_a_preset_beyond_loopback_needs_the_token(simulator: Callable[..., Simulator],
                                                         daemon: Callable[..., Daemon], directory: Path) -> None:
    token_file = directory / "token"
    token_file.write_text("a-token-from-a-file\n")
    web = daemon(simulator("--speed", "0"), "0.0.0.0", ["--http-token-file", str(token_file)])
    link_up(web.port)
    status, _, reply = request(web.port, "PUT", "/api/presets/door", raw=b"")
    assert status == 403 and "token" in reply["error"]
    status, _, _ = request(web.port, "PUT", "/api/presets/door", raw=b"",
                           headers={"Authorization": "Bearer a-token-from-a-fil"})
    assert status == 403 and not web.presets.exists()
    status, _, _ = request(web.port, "PUT", "/api/presets/door", raw=b"",
                           headers={"Authorization": "Bearer a-token-from-a-file"})
    assert status == 201


def test_oversized_requests_are_refused_and_memory_stays_flat(simulator: Callable[..., Simulator],
                                                              daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    host = b"Host: 127.0.0.1\r\n"
    chunk = b"1000\r\n" + b" " * 4096 + b"\r\n"
    chunked = b"POST /api/move HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n" + chunk * 256 + b"0\r\n\r\n"
    assert status_of(exchange(web.port, chunked)) == 413
    many = b"".join(b"X-%d: 1\r\n" % i for i in range(100))
    assert status_of(exchange(web.port, b"GET /api/position HTTP/1.1\r\n" + host + many + b"\r\n")) == 431
    assert status_of(exchange(web.port, b"POST /api/move HTTP/1.1\r\n" + host + b"Content-Length: 99999999\r\n\r\n")) \
        == 413
    negative = b"POST /api/move HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n-2\r\n" + b"x" * 65536
    assert status_of(exchange(web.port, negative)) == 400
    assert position(web.port)["target"] is None

    idle = rss_kib(web)
    huge = b"a" * (16 << 20)
    assert status_of(exchange(web.port, b"GET /" + huge + b" HTTP/1.1\r\n" + host + b"\r\n")) == 414
    assert status_of(exchange(web.port, b"GET / HTTP/1.1\r\n" + host + b"X: " + huge + b"\r\n\r\n")) == 431
    endless = b"POST /api/move HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n" + b"8000\r\n" + huge
    exchange(web.port, endless)
    assert rss_kib(web) - idle <= 2048, (idle, rss_kib(web))


def test_slow_clients_are_dropped_and_do_not_hold_up_others(simulator: Callable[..., Simulator],
                                                            daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    slow: List[socket.socket] = []
    try:
        # More than the server has places: the newest must not wait behind
        # the slow ones in the backlog.
        for _ in range(200):
            client = socket.create_connection(("127.0.0.1", web.port), timeout=5)
            client.sendall(b"GET / HTTP/1.1\r\n")
            slow.append(client)
        time.sleep(0.3)  # held, not just opened
        started = time.monotonic()
        for step in range(8):  # a header byte a second, beyond the request's time-out
            for client in slow:
                try:
                    client.sendall(b"X")
                except OSError:
                    pass
            took = time.monotonic()
            assert request(web.port, "GET", "/api/position")[0] == 200
            assert time.monotonic() - took < 0.5, step
            time.sleep(1)
        dropped = 0
        for client in slow:
            client.settimeout(0.1)
            try:
                dropped += client.recv(1) == b""
            except ConnectionResetError:
                dropped += 1
            except socket.timeout:
                pass
        assert dropped == len(slow) and time.monotonic() - started < 12
    finally:
        for client in slow:
            client.close()


def open_stream(port: int) -> socket.socket:
    client = socket.create_connection(("127.0.0.1", port), timeout=5)
    client.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    return client


def test_refused_pages_are_told_to_come_back_and_a_closed_page_frees_its_place(
        simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    streams = [open_stream(web.port) for _ in range(16)]
    try:
        for stream in streams:
            assert b"200 OK" in stream.recv(4096)
        refused = exchange(web.port, b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        assert status_of(refused) == 503 and b"Retry-After:" in refused
        assert request(web.port, "GET", "/api/position")[0] == 200
        streams.pop().close()
        closed = time.monotonic()
        reopened = wait_for(lambda: (lambda s: s if status_of(s.recv(4096)) == 200 else s.close())(open_stream(web.port)),
                            2.5, "a place for a new page")
        streams.append(reopened)
        assert time.monotonic() - closed <= 2.0
    finally:
        for stream in streams:
            stream.close()


def test_a_flood_of_pages_leaves_room_for_a_plain_request(simulator: Callable[..., Simulator],
                                                          daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    flood = [open_stream(web.port) for _ in range(300)]
    try:
        # How fast is the benchmark's figure (scripts/stress); here, that it is
        # served at all, behind the flood in the backlog even under emulation.
        assert request(web.port, "GET", "/api/position", timeout=60)[0] == 200
        statuses = []
        for stream in flood:
            stream.settimeout(5)
            statuses.append(status_of(stream.recv(4096)))
        # Every page is answered: a place, or told to come back.
        assert statuses.count(200) == 16 and statuses.count(503) == 284, statuses
    finally:
        for stream in flood:
            stream.close()


def test_the_page_forbids_framing_and_methods_are_answered(simulator: Callable[..., Simulator],
                                                           daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"))
    link_up(web.port)
    status, headers, _ = request(web.port, "GET", "/")
    assert status == 200 and headers["X-Frame-Options"] == "DENY" and headers["X-Content-Type-Options"] == "nosniff"
    assert "frame-ancestors 'none'" in headers["Content-Security-Policy"]
    assert "default-src 'self'" in headers["Content-Security-Policy"]
    for method, path in (("OPTIONS", "/api/move"), ("TRACE", "/"), ("CONNECT", "/api/position")):
        status, headers, _ = request(web.port, method, path)
        assert status == 405 and headers["Allow"], (method, path)
    assert request(web.port, "BREW", "/pot")[0] == 501


def test_a_made_token_is_kept_for_the_devices_group_and_never_logged(simulator: Callable[..., Simulator],
                                                                     daemon: Callable[..., Daemon]) -> None:
    web = daemon(simulator("--speed", "0"), "0.0.0.0")
    assert len(web.token) == 32 and web.token not in web.errors()
    kept = web.presets.parent / "web-token"
    assert kept.stat().st_mode & 0o777 in (0o640, 0o600)
    link_up(web.port)
    status, _, _ = request(web.port, "POST", "/api/home", raw=b"", headers={"Authorization": f"Bearer {web.token}"})
    assert status == 202
