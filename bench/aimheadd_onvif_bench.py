#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The daemon's ONVIF figures beside the JSON socket's in the same run, against
aimsim: an AbsoluteMove request to its move frame on the line (median and
p99, signed as clients sign), a signed GetStatus round trip on loopback, and
50 GetStatus a second from 5 clients (the line's poll rate and the daemon's
CPU, beside idle), and the daemon's resident memory over a run of ONVIF
requests, beside the same daemon without ONVIF.
Usage: bench/aimheadd_onvif_bench.py [--moves N] [--requests N]"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import List

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "aimheadd" / "onvif"))

from aimheadd_mqtt_bench import cpu_seconds, frame_delay, json_socket_sender, percentile  # noqa: E402
from onvif_support import AIMHEADD, Child, OnvifDaemon, Simulator, call, fresh_directory, wait_for  # noqa: E402

STATUS = "<tptz:GetStatus><tptz:ProfileToken>aimhead</tptz:ProfileToken></tptz:GetStatus>"


def onvif_move(daemon: OnvifDaemon, pan: int) -> None:
    status, _ = call(daemon.port, "<tptz:AbsoluteMove><tptz:ProfileToken>aimhead</tptz:ProfileToken><tptz:Position>"
                     f'<tt:PanTilt x="{pan / 1780:.6f}" y="-0.499531"/></tptz:Position></tptz:AbsoluteMove>')
    assert status == 200


def resident_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def line_and_cpu(head: Simulator, pid: int, seconds: float) -> tuple:
    """Position requests a second on the line and the daemon's CPU in % of
    a core, over the next seconds."""
    polls = lambda: len([f for _, f in head.frames("->") if f.startswith("position request")])  # noqa: E731
    before, cpu = polls(), cpu_seconds(pid)
    time.sleep(seconds)
    return (polls() - before) / seconds, 100 * (cpu_seconds(pid) - cpu) / seconds


def status_clients(daemon: OnvifDaemon, clients: int, rate: float, seconds: float) -> List[threading.Thread]:
    """clients threads, each asking GetStatus rate times a second for seconds."""
    def ask() -> None:
        for _ in range(int(rate * seconds)):
            started = time.monotonic()
            call(daemon.port, STATUS)
            time.sleep(max(0.0, 1 / rate - (time.monotonic() - started)))

    threads = [threading.Thread(target=ask) for _ in range(clients)]
    for thread in threads:
        thread.start()
    return threads


def under_load(head: Simulator, daemon: OnvifDaemon) -> str:
    idle_rate, idle_cpu = line_and_cpu(head, daemon.process.pid, 5)
    threads = status_clients(daemon, 5, 10, 6)
    time.sleep(0.5)
    busy_rate, busy_cpu = line_and_cpu(head, daemon.process.pid, 5)
    for thread in threads:
        thread.join(30)
    return (f"| 50 signed GetStatus a second from 5 clients: polls/s on the line, daemon CPU | "
            f"idle {idle_rate:.1f}/s, {idle_cpu:.2f} % | {busy_rate:.1f}/s, {busy_cpu:.2f} % |")


def plain_daemon_kib(directory: Path, head: Simulator) -> int:
    """The daemon without ONVIF, started and settled as the other."""
    plain = Child([str(AIMHEADD), "-d", str(head.link), "-s", str(directory / "plain.socket")],
                  directory / "plain.log")
    try:
        wait_for(lambda: "the head answers" in plain.errors(), 10, "the plain daemon")
        time.sleep(1.0)
        return resident_kib(plain.process.pid)
    finally:
        plain.stop()


def row(figure: str, socket_ms: List[float], onvif_ms: List[float]) -> str:
    return (f"| {figure} | {statistics.median(socket_ms):.2f} / {percentile(socket_ms, 0.99):.2f} ms"
            f" | {statistics.median(onvif_ms):.2f} / {percentile(onvif_ms, 0.99):.2f} ms |")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--moves", type=int, default=200)
    parser.add_argument("--requests", type=int, default=10000)
    arguments = parser.parse_args()
    directory = fresh_directory()
    children: List[Child] = []
    try:
        head = Simulator(directory, ["--speed", "0"])
        children.append(head)
        daemon = OnvifDaemon(directory, head.link)
        children.append(daemon)
        local = json_socket_sender(directory / "socket")
        socket_ms: List[float] = []
        onvif_ms: List[float] = []
        for number in range(1, arguments.moves + 1):
            socket_ms.append(frame_delay(head, lambda: local(number)))
            onvif_ms.append(frame_delay(head, lambda: onvif_move(daemon, -2 * number)))
        load = under_load(head, daemon)
        before = resident_kib(daemon.process.pid)
        status_ms: List[float] = []
        samples: List[int] = []
        for number in range(arguments.requests):
            started = time.monotonic()
            status, _ = call(daemon.port, STATUS)
            status_ms.append((time.monotonic() - started) * 1000)
            assert status == 200
            if (number + 1) % (arguments.requests // 4) == 0:
                samples.append(resident_kib(daemon.process.pid))
        after = samples[-1]
        # One daemon at a time owns the line.
        daemon.stop()
        plain = plain_daemon_kib(directory, head)
        print("| figure | JSON socket: median / p99 | ONVIF: median / p99 |")
        print("|---|---|---|")
        print(row(f"request to the move frame on the line ({arguments.moves} moves each)", socket_ms, onvif_ms))
        print(f"| signed GetStatus round trip on loopback ({arguments.requests}) | | "
              f"{statistics.median(status_ms):.2f} / {percentile(status_ms, 0.99):.2f} ms |")
        print(load)
        print(f"| daemon RSS with ONVIF, before / each quarter of {arguments.requests} GetStatus | | "
              f"{before} / {' / '.join(str(kib) for kib in samples)} KiB |")
        print(f"| daemon RSS without ONVIF, idle | {plain} KiB | |")
        return 0
    finally:
        for child in reversed(children):
            child.stop()
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
