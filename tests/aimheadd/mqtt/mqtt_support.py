# SPDX-License-Identifier: MIT
"""Debian's mosquitto broker on a free loopback port with a config of its own
(and, when asked, TLS with a CA made here and a password file), aimheadd
with --mqtt against aimsim, and a paho client that records what it sees.
Every wait is bounded; only the processes started here are signalled."""

from __future__ import annotations

import getpass
import json
import os
import queue
import re
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import paho.mqtt.client as paho

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "web"))

from web_support import AIMHEADD, START_TIMEOUT, Child, Simulator, wait_for  # noqa: E402,F401

MOSQUITTO = "/usr/sbin/mosquitto"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port: int) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def make_tls_files(directory: Path) -> Dict[str, Path]:
    """A CA and a server certificate for 127.0.0.1 that it signed, by openssl."""
    files = {name: directory / f"{name}.pem" for name in ("ca", "ca-key", "server", "server-key")}
    run = lambda *argv: subprocess.run(["openssl", *argv], check=True, capture_output=True, timeout=60)  # noqa: E731
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=aimhead test CA",
        "-keyout", str(files["ca-key"]), "-out", str(files["ca"]))
    request = directory / "server.csr"
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", str(files["server-key"]),
        "-out", str(request))
    extensions = directory / "server.ext"
    extensions.write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("x509", "-req", "-in", str(request), "-CA", str(files["ca"]), "-CAkey", str(files["ca-key"]),
        "-CAcreateserial", "-days", "2", "-extfile", str(extensions), "-out", str(files["server"]))
    return files


class Broker(Child):
    """mosquitto with its own config on a free loopback port."""

    def __init__(self, directory: Path, port: Optional[int] = None, tls: Optional[Dict[str, Path]] = None,
                 users: Optional[Dict[str, str]] = None) -> None:
        self.directory = directory
        self.port = port or free_port()
        config = directory / f"mosquitto-{self.port}.conf"
        # Started as root, mosquitto would become the user "mosquitto", who
        # cannot read this test's files: it stays the user running the test.
        lines = [f"listener {self.port} 127.0.0.1", f"user {getpass.getuser()}", "persistence false",
                 "log_dest stderr",
                 "log_type error", "log_type warning", "log_type notice"]
        if tls:
            lines += [f"cafile {tls['ca']}", f"certfile {tls['server']}", f"keyfile {tls['server-key']}"]
        if users:
            passwords = directory / "passwords"
            passwords.write_text("")
            for user, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", str(passwords), user, password], check=True, timeout=30)
            lines += ["allow_anonymous false", f"password_file {passwords}"]
        else:
            lines += ["allow_anonymous true"]
        config.write_text("\n".join(lines) + "\n")
        super().__init__([MOSQUITTO, "-c", str(config)], directory / f"mosquitto-{self.port}.log")
        wait_for(lambda: accepts(self.port) or self.process.poll() is not None, START_TIMEOUT, "mosquitto's port")
        if self.process.poll() is not None:
            raise RuntimeError(f"mosquitto ended with {self.process.returncode}: {self.errors()}")

    @property
    def url(self) -> str:
        return f"mqtt://127.0.0.1:{self.port}"


class MqttDaemon(Child):
    """aimheadd on a device, on the broker under the given id."""

    def __init__(self, directory: Path, device: Path, url: str, head_id: str, options: Optional[List[str]] = None,
                 wait: bool = True, presets: Optional[Path] = None):
        self.presets = presets or directory / "presets.json"
        self.socket = directory / f"socket-{head_id}"
        argv = [str(AIMHEADD), "-d", str(device), "-s", str(self.socket), "--presets", str(self.presets),
                "--mqtt", url, "--mqtt-id", head_id, *(options or [])]
        super().__init__(argv, directory / f"aimheadd-{head_id}.log")
        if wait:
            self.wait_connected(1)

    def wait_connected(self, times: int) -> None:
        ended = wait_for(lambda: self.errors().count("connected to broker") >= times or self.process.poll() is not None,
                         START_TIMEOUT, "aimheadd's connect to the broker")
        if self.process.poll() is not None:
            raise RuntimeError(f"aimheadd ended with {self.process.returncode}: {self.errors()}")
        assert ended


class Watcher:
    """A paho client (MQTT v5) that keeps every message of its subscriptions."""

    def __init__(self, port: int, topics: List[str], tls_ca: Optional[Path] = None,
                 credentials: Optional[Tuple[str, str]] = None) -> None:
        self.messages: "queue.Queue[paho.MQTTMessage]" = queue.Queue()
        self.seen: List[Tuple[float, paho.MQTTMessage]] = []
        self.client = paho.Client(client_id=f"watcher-{os.getpid()}-{id(self)}", protocol=paho.MQTTv5)
        if tls_ca:
            self.client.tls_set(ca_certs=str(tls_ca))
        if credentials:
            self.client.username_pw_set(*credentials)
        subscribed: "queue.Queue[bool]" = queue.Queue()
        self.client.on_message = lambda _c, _u, message: self.messages.put(message)
        self.client.on_subscribe = lambda *_: subscribed.put(True)
        self.client.connect("127.0.0.1", port, keepalive=30)
        self.client.loop_start()
        for topic in topics:
            self.client.subscribe(topic, qos=1)
            subscribed.get(timeout=START_TIMEOUT)

    def drain(self, seconds: float = 0.0) -> List[paho.MQTTMessage]:
        """What arrived so far, and within seconds more."""
        deadline = time.monotonic() + seconds
        got = []
        while True:
            left = deadline - time.monotonic()
            try:
                message = self.messages.get(timeout=max(left, 0.0)) if left > 0 else self.messages.get_nowait()
            except queue.Empty:
                break
            self.seen.append((time.monotonic(), message))
            got.append(message)
        return got

    def wait(self, topic: str, condition=lambda payload: True, timeout: float = 10.0) -> Any:
        """The payload (JSON when it parses) of the first message on topic meeting condition."""
        deadline = time.monotonic() + timeout
        for _, message in self.seen:
            if message.topic == topic and condition(decoded(message)):
                return decoded(message)
        while (left := deadline - time.monotonic()) > 0:
            try:
                message = self.messages.get(timeout=left)
            except queue.Empty:
                break
            self.seen.append((time.monotonic(), message))
            if message.topic == topic and condition(decoded(message)):
                return decoded(message)
        raise AssertionError(f"timed out after {timeout} s waiting for a message on {topic}")

    def forget(self) -> None:
        self.drain()
        self.seen.clear()

    def publish(self, topic: str, payload: Any, retain: bool = False, correlation: Optional[bytes] = None) -> None:
        properties = None
        if correlation is not None:
            from paho.mqtt.packettypes import PacketTypes
            from paho.mqtt.properties import Properties
            properties = Properties(PacketTypes.PUBLISH)
            properties.CorrelationData = correlation
        data = payload if isinstance(payload, (bytes, str)) else json.dumps(payload)
        self.client.publish(topic, data, qos=1, retain=retain, properties=properties).wait_for_publish(10)

    def close(self) -> None:
        self.client.loop_stop()
        self.client.disconnect()


def decoded(message: paho.MQTTMessage) -> Any:
    text = message.payload.decode(errors="replace")
    try:
        return json.loads(text)
    except ValueError:
        return text


MOVE_FRAME = re.compile(r"move pan \S+ \((-?\d+)\) tilt \S+ \((-?\d+)\)")


def move_frames(head: Simulator) -> List[str]:
    """The move frames the head received, as "move PAN TILT" in the head's
    own counts (2 mrad each, pan mirrored, tilt from level)."""
    found = (MOVE_FRAME.match(frame) for _, frame in head.frames("->"))
    return [f"move {m.group(1)} {m.group(2)}" for m in found if m]


def pub(port: int, topic: str, payload: Optional[str], *extra: str) -> None:
    """One message by Debian's mosquitto_pub, QoS 1; None sends an empty one."""
    body = ["-m", payload] if payload is not None else ["-n"]
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", topic, *body, *extra],
                   check=True, timeout=10)
