# SPDX-License-Identifier: MIT
"""WS-Discovery of aimheadd --onvif-discovery, in a network namespace of the
test's own (run by ctest under `unshare -rn`, so multicast never leaves it):
npm onvif's probe and Debian's onvif-util find the device, Hello and Bye are
announced, and only well-formed probes for its types get a reply, at a
bounded rate."""

from __future__ import annotations

import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
import uuid
from pathlib import Path
from typing import Callable, List, Optional

import pytest

from onvif_support import PASSWORD, USER, OnvifDaemon, wait_for

GROUP = "239.255.255.250"
PORT = 3702
NODE_MODULES = Path(os.environ.get("AIMLINK_NPM_ONVIF", "")) / "node_modules"
PROBE_SCRIPT = """
const { Discovery } = require('onvif');
Discovery.probe({ timeout: 2000, resolve: false }, (errors, found) => {
  console.log(JSON.stringify(found.map((m) => m.probeMatches.probeMatch)));
});
"""


def probe(types: str = "dn:NetworkVideoTransmitter", message_id: Optional[str] = None, doctype: str = "") -> bytes:
    message_id = f"urn:uuid:{uuid.uuid4()}" if message_id is None else message_id
    return (f'{doctype}<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"'
            ' xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing"'
            ' xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery"'
            ' xmlns:dn="http://www.onvif.org/ver10/network/wsdl" xmlns:p="urn:example:printers">'
            f"<s:Header><a:MessageID>{message_id}</a:MessageID>"
            "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action></s:Header>"
            f"<s:Body><d:Probe><d:Types>{types}</d:Types></d:Probe></s:Body></s:Envelope>").encode()


def prober() -> socket.socket:
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.bind(("127.0.0.1", 0))
    sender.settimeout(0.2)
    return sender


def replies(sender: socket.socket, seconds: float) -> List[bytes]:
    got: List[bytes] = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and len(got) < 1000:
        try:
            got.append(sender.recv(65536))
        except socket.timeout:
            pass
    return got


def group_listener() -> socket.socket:
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("", PORT))
    listener.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton("0.0.0.0")))
    listener.settimeout(0.2)
    return listener


def test_npm_onvifs_probe_finds_the_device_and_its_address(onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif("--onvif-discovery", credentials=False)
    ran = subprocess.run(["node", "-e", PROBE_SCRIPT], capture_output=True, text=True, timeout=20,
                         env={**os.environ, "NODE_PATH": str(NODE_MODULES)})
    found = json.loads(ran.stdout)
    assert len(found) == 1, ran
    assert found[0]["XAddrs"] == daemon.url
    assert found[0]["endpointReference"]["address"].startswith("urn:uuid:")
    assert "dn:NetworkVideoTransmitter" in found[0]["types"]


def test_hello_at_start_and_bye_at_stop_name_the_same_endpoint(onvif: Callable[..., OnvifDaemon]) -> None:
    listener = group_listener()
    daemon = onvif("--onvif-discovery", credentials=False)
    hello = wait_for(lambda: [m for m in replies(listener, 0.2) if b"discovery/Hello" in m], 5, "the Hello")[0]
    assert daemon.url.encode() in hello
    endpoint = hello.split(b"<a:Address>")[1].split(b"</a:Address>")[0]
    assert daemon.stop() == 0
    bye = wait_for(lambda: [m for m in replies(listener, 0.2) if b"discovery/Bye" in m], 5, "the Bye")[0]
    assert endpoint in bye


def test_only_well_formed_probes_for_its_types_are_answered(onvif: Callable[..., OnvifDaemon]) -> None:
    onvif("--onvif-discovery", credentials=False)
    sender = prober()
    asked = f"urn:uuid:{uuid.uuid4()}"
    sender.sendto(probe(message_id=asked), (GROUP, PORT))
    answer = replies(sender, 1.0)
    assert len(answer) == 1 and f"<a:RelatesTo>{asked}</a:RelatesTo>".encode() in answer[0]
    sender.sendto(probe(types=""), (GROUP, PORT))
    assert len(replies(sender, 1.0)) == 1
    for refused in (probe(types="p:Printer"), probe(doctype='<!DOCTYPE x [<!ENTITY e "e">]>'),
                    probe(message_id=""), b"<s:Envelope", b"\x00" * 100):
        sender.sendto(refused, (GROUP, PORT))
    assert replies(sender, 1.0) == []


def test_a_flood_of_probes_gets_at_most_ten_replies_a_second(onvif: Callable[..., OnvifDaemon]) -> None:
    onvif("--onvif-discovery", credentials=False)
    sender = prober()
    for _ in range(50):
        sender.sendto(probe(), (GROUP, PORT))
    assert 1 <= len(replies(sender, 0.8)) <= 10


def test_debians_onvif_util_finds_the_device_by_discovery_signs_in_and_lists_the_profile(
        onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif("--onvif-discovery", "--onvif-stream-uri", "rtsp://127.0.0.1:8554/head")
    # libonvif signs with one nonce per session and a Created in milliseconds:
    # two requests in one millisecond carry the same token, which is refused
    # as the replay it cannot be told from. A few sessions, bounded.
    runs = []
    for _ in range(5):
        ran = subprocess.run(["onvif-util", "-u", USER, "-p", PASSWORD, "127.0.0.1"], input="get profiles\nquit\n",
                             capture_output=True, text=True, timeout=30)
        runs.append(ran.stdout)
        assert "successfully connected to host" in ran.stdout and "name:   aimhead" in ran.stdout, ran
        if "Token 0: aimhead" in ran.stdout:
            break
    assert "Token 0: aimhead" in runs[-1], runs
    refusals = [line for line in daemon.errors().splitlines() if "refused" in line]
    assert all("replay" in line for line in refusals), refusals


def enter_namespace_network() -> Optional[str]:
    """Inside unshare -rn: loopback up, with a route for the multicast group."""
    for command in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                    ["ip", "route", "add", "239.0.0.0/8", "dev", "lo"]):
        done = subprocess.run(command, capture_output=True, text=True, timeout=10)
        if done.returncode != 0:
            return f"{' '.join(command)}: {done.stderr.strip()}"
    return None


if __name__ == "__main__":
    # ctest runs this file under unshare -rn; 77 (a skip) only when node or
    # the npm client is missing here.
    if shutil.which("node") is None or not (NODE_MODULES / "onvif" / "package.json").exists() \
            or shutil.which("onvif-util") is None:
        print(f"SKIP: node, the npm onvif client (in {NODE_MODULES}) or onvif-util (onvif-tools) is missing")
        sys.exit(77)
    problem = enter_namespace_network()
    if problem:
        print(f"test_discovery: cannot set up the test's network namespace: {problem}")
        sys.exit(1)
    sys.exit(pytest.main(["-p", "no:cacheprovider", "-q", __file__]))
