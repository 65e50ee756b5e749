# SPDX-License-Identifier: MIT
"""Who may change the head over TCP on loopback: the users who may use the
device (root, the daemon's user, its group), told by the kernel's socket
diagnostics. Another local user is refused on the web port and the rotator
port alike; reads stay open. Run as root, the clients as user 65534."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
from pathlib import Path
from typing import Callable, List

import pytest

from web_support import AIMHEADD, Daemon, Simulator, position, wait_for

NOBODY = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                                reason="needs root and setpriv to run clients as another user")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def as_nobody(argv: List[str]) -> subprocess.CompletedProcess:
    return subprocess.run(NOBODY + argv, capture_output=True, text=True, timeout=20)


def http_as_nobody(port: int, method: str, path: str, body: str = "") -> tuple:
    script = ("import http.client,sys; c=http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=5); "
              "c.request(sys.argv[2], sys.argv[3], body=sys.argv[4]); r=c.getresponse(); "
              "print(r.status); print(r.read().decode())")
    done = as_nobody(["/usr/bin/python3", "-c", script, str(port), method, path, body])
    status, _, text = done.stdout.partition("\n")
    return int(status), text


def rotator_as_nobody(port: int, lines: str) -> str:
    script = ("import socket,sys; s=socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=5); "
              "s.sendall(sys.argv[2].encode()); s.shutdown(socket.SHUT_WR); out=b''\n"
              "while (b := s.recv(4096)): out += b\n"
              "print(out.decode(), end='')")
    return as_nobody(["/usr/bin/python3", "-c", script, str(port), lines]).stdout


def started_with_rotator(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> tuple:
    head = simulator("--speed", "0")
    rotator = free_port()
    web = daemon(head, options=["--rotctld", f"127.0.0.1:{rotator}"])
    wait_for(lambda: (lambda s: s["link"] == "up" and s["position"])(position(web.port)), 10, "the link to come up")
    return head, web, rotator


def test_a_local_user_outside_the_devices_group_may_read_but_not_change(
        simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    head, web, rotator = started_with_rotator(simulator, daemon)
    os.chown(os.path.realpath(head.link), 0, 0)
    os.chmod(os.path.realpath(head.link), 0o660)
    for method, path, body in (("POST", "/api/move", '{"pan": 300, "tilt": 1600}'), ("POST", "/api/home", ""),
                               ("PUT", "/api/presets/door", "")):
        status, text = http_as_nobody(web.port, method, path, body)
        assert status == 403 and "uid 65534 may not use" in text, (path, text)
    assert http_as_nobody(web.port, "GET", "/api/position")[0] == 200
    answers = rotator_as_nobody(rotator, "P 10 10\nK\nS\np\n")
    assert answers.splitlines()[:3] == ["RPRT -1"] * 3 and len(answers.splitlines()) == 5, answers
    assert position(web.port)["target"] is None and not web.presets.exists()
    refusals = [line for line in web.errors().splitlines() if "changes refused" in line]
    assert len(refusals) == 1 and "uid 65534" in refusals[0], web.errors()


def test_a_member_of_the_devices_group_may_change(simulator: Callable[..., Simulator],
                                                  daemon: Callable[..., Daemon]) -> None:
    head, web, rotator = started_with_rotator(simulator, daemon)
    # 65534's own group, as the user database gives it.
    os.chown(os.path.realpath(head.link), 0, 65534)
    status, text = http_as_nobody(web.port, "POST", "/api/move", '{"pan": 300, "tilt": 1600}')
    assert status == 202, text
    assert rotator_as_nobody(rotator, "P 10 10\n") == "RPRT 0\n"


def own_address() -> str:
    """This machine's first address beyond loopback, to be a client from."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.connect(("192.0.2.254", 9))  # no packet is sent: this only picks the source address
        return probe.getsockname()[0]
    except OSError:
        return ""
    finally:
        probe.close()


def rotator_from(address: str, port: int, lines: str) -> str:
    with socket.socket() as client:
        client.settimeout(5)
        client.bind((address, 0))
        client.connect((address, port))
        client.sendall(lines.encode())
        client.shutdown(socket.SHUT_WR)
        received = b""
        for _ in range(100):
            chunk = client.recv(4096)
            if not chunk:
                break
            received += chunk
        return received.decode()


def test_changes_beyond_loopback_on_the_rotator_port_need_an_allowed_block(
        simulator: Callable[..., Simulator], daemon: Callable[..., Daemon]) -> None:
    address = own_address()
    if not address or address.startswith("127."):
        pytest.skip("no address beyond loopback")
    head = simulator("--speed", "0")
    refusing, allowing = free_port(), free_port()
    first = daemon(head, options=["--rotctld", f"0.0.0.0:{refusing}"])
    wait_for(lambda: (lambda s: s["link"] == "up" and s["position"])(position(first.port)), 10, "the link")
    assert rotator_from(address, refusing, "P 10 10\np\n").startswith("RPRT -1\n")
    assert "not in --rotctld-allow" in first.errors()
    first.stop()
    second = daemon(head, options=["--rotctld", f"0.0.0.0:{allowing}", "--rotctld-allow", f"{address}/32"])
    wait_for(lambda: (lambda s: s["link"] == "up" and s["position"])(position(second.port)), 10, "the link")
    assert rotator_from(address, allowing, "P 10 10\n") == "RPRT 0\n"


def test_a_malformed_allowed_block_ends_the_daemon_with_one_line() -> None:
    done = subprocess.run([str(AIMHEADD), "--rotctld-allow", "10.0.0.0/33"], capture_output=True, text=True, timeout=10)
    assert done.returncode == 2 and "--rotctld-allow 10.0.0.0/33" in done.stderr and "0 to 32" in done.stderr
