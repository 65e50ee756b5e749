# SPDX-License-Identifier: MIT
"""aimsim and aimheadd as child processes, and a small HTTP client, for the
web page's tests and figures. Every wait is bounded; only the processes
started here are ever signalled, through their own handles."""

from __future__ import annotations

import http.client
import json
import os
import re
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

REPOSITORY = Path(__file__).resolve().parents[2]
BUILD = REPOSITORY / "build" / "default"
AIMSIM = Path(os.environ.get("AIMSIM", BUILD / "bin" / "aimsim"))
AIMHEADD = Path(os.environ.get("AIMHEADD", BUILD / "bin" / "aimheadd"))

START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0
POLL_INTERVAL = 0.02


def wait_for(condition: Callable[[], Any], timeout: float, what: str) -> Any:
    """The first true value of condition, polled until the time-out."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(POLL_INTERVAL)


class Child:
    """A program in the background with its standard error in a file."""

    def __init__(self, argv: List[str], log: Path) -> None:
        if not Path(argv[0]).exists():
            raise RuntimeError(f"{argv[0]}: not built")
        self.log = log
        with open(log, "wb") as errors:
            self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=errors, text=True)

    def errors(self) -> str:
        return self.log.read_text(errors="replace")

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(STOP_TIMEOUT)
        if self.process.stdout:
            self.process.stdout.close()
        return self.process.returncode


class Simulator(Child):
    """aimsim behind a symlink, tracing every frame to its log."""

    def __init__(self, directory: Path, options: List[str]) -> None:
        self.link = directory / "head"
        super().__init__([str(AIMSIM), "--link", str(self.link), "--trace", *options], directory / "aimsim.log")
        wait_for(self.link.exists, START_TIMEOUT, "aimsim's terminal")

    def frames(self, direction: str = "->") -> List[Tuple[float, str]]:
        """(monotonic time, frame) of each traced frame in that direction."""
        found = []
        for line in self.errors().splitlines():
            parts = line.split(" ", 2)
            if len(parts) == 3 and parts[1] == direction:
                found.append((float(parts[0]), parts[2]))
        return found


class Daemon(Child):
    """aimheadd on a device with the web server on a free port."""

    def __init__(self, directory: Path, device: Path, address: str = "127.0.0.1", options: Optional[List[str]] = None):
        self.presets = directory / "presets.json"
        argv = [str(AIMHEADD), "-d", str(device), "-s", str(directory / "socket"), "--http", f"{address}:0",
                "--presets", str(self.presets), *(options or [])]
        super().__init__(argv, directory / "aimheadd.log")
        found = wait_for(lambda: re.search(r"web page on (http://\S+/)", self.errors()) or self.process.poll() is not None,
                         START_TIMEOUT, "aimheadd's web page")
        if found is True:
            raise RuntimeError(f"aimheadd ended with {self.process.returncode}: {self.errors()}")
        self.url = found.group(1)
        self.port = int(self.url.rsplit(":", 1)[1].rstrip("/"))
        kept = re.search(r"token for changes in (\S+)\)", self.errors())
        self.token = Path(kept.group(1)).read_text().strip() if kept else ""


def request(port: int, method: str, path: str, body: Optional[Any] = None,
            headers: Optional[Dict[str, str]] = None, raw: Optional[bytes] = None,
            timeout: float = 10) -> Tuple[int, Dict[str, str], Any]:
    """One request on 127.0.0.1: its status, headers and body, parsed when JSON."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else b"")
        connection.request(method, path, body=data, headers=headers or {})
        response = connection.getresponse()
        text = response.read().decode()
        kind = response.getheader("Content-Type", "")
        parsed = json.loads(text) if kind.startswith("application/json") else text
        return response.status, dict(response.getheaders()), parsed
    finally:
        connection.close()


def position(port: int) -> Dict[str, Any]:
    status, _, state = request(port, "GET", "/api/position")
    assert status == 200
    return state


def fresh_directory() -> Path:
    return Path(tempfile.mkdtemp(prefix="aimheadd-web-"))


def local_get(path: str) -> float:
    """Seconds a get on the local socket takes to be answered."""
    started = time.monotonic()
    with socket.socket(socket.AF_UNIX) as client:
        client.settimeout(5)
        client.connect(path)
        client.sendall(b'{"id": 1, "cmd": "get"}\n')
        reply = b""
        for _ in range(100):
            reply += client.recv(4096)
            if reply.endswith(b"\n"):
                break
    assert json.loads(reply)["ok"] is True, reply
    return time.monotonic() - started
