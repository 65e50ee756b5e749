#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The daemon's network surfaces under attack, each figure beside its target:
a legitimate GET while slow-header clients are held, a GET and a JSON get
while 1000 event-stream clients connect, the RSS after 64 MiB request lines,
headers and chunked bodies, a local client and a replugged head during a
2000-connection rotator flood, and request to frame on an unloaded daemon.
Everything runs on loopback against aimsim; only processes started here are
signalled. Usage: bench/aimheadd_stress.py [--slow N] [--streams N] [--flood N] [--moves N]"""

from __future__ import annotations

import argparse
import json
import resource
import shutil
import socket
import statistics
import sys
import time
from pathlib import Path
from typing import Callable, Iterator, List, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "web"))

from web_support import Daemon, Simulator, fresh_directory, local_get, position, request, wait_for  # noqa: E402

BIG = 64 << 20
PIECE = 64 << 10


def milliseconds(action: Callable[[], object]) -> float:
    started = time.monotonic()
    action()
    return (time.monotonic() - started) * 1000


def web_get(port: int) -> None:
    status = request(port, "GET", "/api/position")[0]
    if status != 200:
        raise AssertionError(f"GET /api/position answered {status}")


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def connect(port: int, timeout: float = 5) -> socket.socket:
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def closing(clients: List[socket.socket]) -> None:
    for client in clients:
        client.close()
    clients.clear()


def slow_headers(web: Daemon, count: int) -> Tuple[float, float]:
    """Median and worst of 20 GETs while count clients trickle a header."""
    held: List[socket.socket] = []
    try:
        for _ in range(count):
            client = connect(web.port)
            client.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{web.port}\r\nX-Slow: ".encode())
            held.append(client)
        time.sleep(0.5)  # held, not just arrived
        times = []
        for _ in range(20):
            for client in held:
                try:
                    client.send(b"a")
                except OSError:
                    pass
            times.append(milliseconds(lambda: web_get(web.port)))
            time.sleep(0.1)
        return statistics.median(times), max(times)
    finally:
        closing(held)


def streams(web: Daemon, count: int) -> Tuple[float, float, int, int, int]:
    """Worst GET and worst JSON get while count page streams connect, and how
    many streams were served, told 503, and left without an answer."""
    opened: List[socket.socket] = []
    socket_path = str(web.presets.parent / "socket")
    try:
        for _ in range(count):
            client = connect(web.port)
            client.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{web.port}\r\n\r\n".encode())
            opened.append(client)
        web_worst = max(milliseconds(lambda: web_get(web.port)) for _ in range(10))
        json_worst = max(milliseconds(lambda: local_get(socket_path)) for _ in range(10))
        served = refused = silent = 0
        for client in opened:
            client.settimeout(2)
            try:
                status = client.recv(64).split(b" ", 2)
            except OSError:
                status = []
            if len(status) >= 2 and status[1] == b"200":
                served += 1
            elif len(status) >= 2 and status[1] == b"503":
                refused += 1
            else:
                silent += 1
        return web_worst, json_worst, served, refused, silent
    finally:
        closing(opened)


def send_until_refused(port: int, head: bytes, pieces: Iterator[bytes]) -> None:
    with connect(port, timeout=2) as client:
        try:
            client.sendall(head)
            for piece in pieces:
                client.sendall(piece)
        except OSError:
            pass  # the daemon has answered and closed: the point of the figure


def repeated(piece: bytes, total: int) -> Iterator[bytes]:
    for _ in range(total // len(piece)):
        yield piece


def big_requests(web: Daemon) -> Tuple[int, int]:
    """Idle RSS and RSS after a 64 MiB request line, header and chunked body."""
    idle = rss_kib(web.process.pid)
    host = f"Host: 127.0.0.1:{web.port}\r\n".encode()
    send_until_refused(web.port, b"GET /", repeated(b"a" * PIECE, BIG))
    send_until_refused(web.port, b"GET / HTTP/1.1\r\n" + host + b"X-Big: ", repeated(b"a" * PIECE, BIG))
    chunk = f"{PIECE:x}\r\n".encode() + b"a" * PIECE + b"\r\n"
    send_until_refused(web.port, b"POST /api/move HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n",
                       repeated(chunk, BIG))
    time.sleep(0.5)
    return idle, rss_kib(web.process.pid)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def flood_and_replug(directory: Path, count: int) -> Tuple[float, float]:
    """A local get, and a replugged head back up, in ms, during a rotator flood."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    rotator = free_port()
    head = Simulator(directory, ["--speed", "0"])
    web = Daemon(directory, head.link, options=["--rotctld", f"127.0.0.1:{rotator}"])
    flood: List[socket.socket] = []
    try:
        wait_for(lambda: position(web.port)["link"] == "up", 10, "the link")
        for _ in range(count):
            flood.append(connect(rotator))
        local = milliseconds(lambda: local_get(str(directory / "socket")))
        head.stop()
        wait_for(lambda: position(web.port)["link"] != "up", 10, "the unplug")
        replugged = time.monotonic()
        head = Simulator(directory, ["--speed", "0"])
        wait_for(lambda: position(web.port)["link"] == "up", 30, "the replugged head")
        return local, (time.monotonic() - replugged) * 1000
    finally:
        closing(flood)
        web.stop()
        head.stop()


def request_to_frame(web: Daemon, head: Simulator, moves: int) -> float:
    delays = []
    for number in range(1, moves + 1):
        time.sleep(0.3)
        before = len([f for _, f in head.frames() if f.startswith("move")])
        started = time.monotonic()
        move = {"pan": (number % 2) * 200, "tilt": 1571}
        if request(web.port, "POST", "/api/move", move)[0] != 202:
            raise AssertionError("the move was not taken")
        wait_for(lambda: len([f for _, f in head.frames() if f.startswith("move")]) > before, 5, "the move frame")
        delays.append(([t for t, f in head.frames() if f.startswith("move")][before] - started) * 1000)
    return statistics.median(delays)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--slow", type=int, default=200)
    parser.add_argument("--streams", type=int, default=1000)
    parser.add_argument("--flood", type=int, default=2000)
    parser.add_argument("--moves", type=int, default=30)
    options = parser.parse_args()
    directory = fresh_directory()
    rows = []
    try:
        head = Simulator(directory, ["--speed", "0"])
        web = Daemon(directory, head.link)
        try:
            wait_for(lambda: position(web.port)["link"] == "up", 10, "the link")
            frame = request_to_frame(web, head, options.moves)
            median, worst = slow_headers(web, options.slow)
            rows.append((f"a legitimate GET while {options.slow} slow-header connections are held",
                         "answered within 100 ms", f"median {median:.1f} ms, worst {worst:.1f} ms", worst <= 100))
            web_worst, json_worst, served, refused, silent = streams(web, options.streams)
            rows.append((f"a GET and a JSON get while {options.streams} event-stream clients connect",
                         "within 100 ms; every refused stream told 503",
                         f"GET {web_worst:.1f} ms, get {json_worst:.1f} ms; {served} served, {refused} told 503, "
                         f"{silent} unanswered", max(web_worst, json_worst) <= 100 and silent == 0))
            idle, after = big_requests(web)
            rows.append(("daemon RSS after 64 MiB request lines, headers and chunked bodies", "<= +2 MiB over idle",
                         f"{idle} KiB idle, {after} KiB after (+{(after - idle) / 1024:.2f} MiB)",
                         after - idle <= 2048))
        finally:
            web.stop()
            head.stop()
        (directory / "flood").mkdir()
        local, replug = flood_and_replug(directory / "flood", options.flood)
        rows.append((f"a new local-socket client and a replugged head during a {options.flood}-connection rotator "
                     "flood", "served within 1 s", f"get {local:.1f} ms, head back in {replug:.1f} ms",
                     max(local, replug) <= 1000))
        rows.append(("request to frame on the line, unloaded", "unchanged (median 100.1 ms)",
                     f"median {frame:.1f} ms", frame <= 110))
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print("| figure | target | measured | met |")
    print("|---|---|---|---|")
    for figure, target, measured, met in rows:
        print(f"| {figure} | {target} | {measured} | {'yes' if met else 'NO'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
