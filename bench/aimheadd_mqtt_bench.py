#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The daemon's MQTT figures beside the JSON socket's in the same run, against
aimsim on a mosquitto broker started here on loopback: move command to the
move frame on the line (median and p99), state messages during a 5 s move,
idle CPU with and without MQTT, and a 20-daemon fleet's command to frame beside
one daemon's, both at random phases of the line's cycle.
Usage: bench/aimheadd_mqtt_bench.py [--moves N] [--idle-seconds N]"""

from __future__ import annotations

import argparse
import json
import random
import shutil
import socket
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, List

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "aimheadd" / "mqtt"))

from mqtt_support import Broker, Child, MqttDaemon, Simulator, Watcher, move_frames, wait_for  # noqa: E402

FLEET = 20
# Moves this far apart each start from a quiet line, as a user's would.
MOVE_GAP = 0.3
# A fixed gap after a move's frame meets the line's exchange cycle (an
# exchange and the 100 ms pause) at the same phase every time: right for
# comparing two ways in to one daemon, wrong for a fleet, whose heads were
# last moved long ago. Spread over more than a cycle, both the fleet and
# its one-daemon reference meet the cycle at random, as users' commands do.
PHASE_SPREAD = 0.25
phases = random.Random(20261209)


def percentile(values: List[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def frame_delay(head: Simulator, send: Callable[[], None], spread: float = 0.0) -> float:
    """Milliseconds from send() to the next move frame in the head's trace
    (the trace's clock is the monotonic one, as Python's), sent MOVE_GAP
    and up to `spread` more seconds after the last frame."""
    time.sleep(MOVE_GAP + phases.uniform(0, spread))
    before = len(move_frames(head))
    started = time.monotonic()
    send()
    wait_for(lambda: len(move_frames(head)) > before, 5, "the move frame")
    moves = [t for t, frame in head.frames("->") if frame.startswith("move")]
    return (moves[before] - started) * 1000


def json_socket_sender(path: Path) -> Callable[[int], None]:
    connection = socket.socket(socket.AF_UNIX)
    connection.connect(str(path))
    reader = connection.makefile("r")

    def send(number: int) -> None:
        connection.sendall((json.dumps({"id": number, "cmd": "move", "pan": 2 * number, "tilt": 1571}) + "\n").encode())
        reader.readline()

    return send


def reaction(directory: Path, moves: int) -> dict:
    children: List[Child] = []
    try:
        broker = Broker(directory)
        children.append(broker)
        head = Simulator(directory, ["--speed", "0"])
        children.append(head)
        children.append(MqttDaemon(directory, head.link, broker.url, "bench", ["--no-mqtt-discovery"]))
        watcher = Watcher(broker.port, ["aimhead/bench/result"])
        wait_for(lambda: (children[-1].socket).exists(), 5, "the socket")
        time.sleep(1.0)
        local = json_socket_sender(children[-1].socket)
        figures = {"socket": [], "mqtt": []}
        for number in range(1, moves + 1):
            figures["socket"].append(frame_delay(head, lambda: local(number)))
            mqtt_move = {"pan": -2 * number, "tilt": 1571}
            figures["mqtt"].append(frame_delay(head, lambda: watcher.client.publish("aimhead/bench/move",
                                                                                   json.dumps(mqtt_move), qos=1)))
        watcher.close()
        return figures
    finally:
        for child in reversed(children):
            child.stop()


def states_during_a_long_move(directory: Path) -> dict:
    children: List[Child] = []
    try:
        broker = Broker(directory)
        children.append(broker)
        # 1760 counts at 352 a second: five seconds end to end.
        head = Simulator(directory, ["--speed", "352", "--start", "890,0"])
        children.append(head)
        children.append(MqttDaemon(directory, head.link, broker.url, "bench", ["--no-mqtt-discovery"]))
        watcher = Watcher(broker.port, ["aimhead/bench/state"])
        wait_for(lambda: watcher.wait("aimhead/bench/state", lambda s: s["link"] == "up"), 10, "the link")
        watcher.forget()
        watcher.publish("aimhead/bench/move", {"pan": 1760, "tilt": 1571})
        watcher.drain(6.5)
        times = [t for t, _ in watcher.seen]
        last = json.loads(watcher.seen[-1][1].payload)
        busiest = max(len([u for u in times if t <= u < t + 1.0]) for t in times)
        watcher.close()
        return {"count": len(times), "seconds": times[-1] - times[0], "busiest": busiest,
                "last_is_arrival": last["position"] == {"pan": 1760, "tilt": 1571}}
    finally:
        for child in reversed(children):
            child.stop()


def cpu_seconds(pid: int) -> float:
    """The process's time on a CPU, every thread, to the nanosecond: the
    clock ticks of /proc/PID/stat are too coarse for an idle daemon."""
    return sum(int((task / "schedstat").read_text().split()[0]) for task in Path(f"/proc/{pid}/task").iterdir()) / 1e9


def idle_percent(directory: Path, seconds: int, with_mqtt: bool) -> float:
    children: List[Child] = []
    try:
        broker = Broker(directory)
        children.append(broker)
        head = Simulator(directory, [])
        children.append(head)
        if with_mqtt:
            daemon = MqttDaemon(directory, head.link, broker.url, "idle")
        else:
            from web_support import AIMHEADD  # noqa: E402
            daemon = Child([str(AIMHEADD), "-d", str(head.link), "-s", str(directory / "socket-plain")],
                           directory / "aimheadd-plain.log")
        children.append(daemon)
        time.sleep(2.0)
        before = cpu_seconds(daemon.process.pid)
        time.sleep(seconds)
        return (cpu_seconds(daemon.process.pid) - before) / seconds * 100
    finally:
        for child in reversed(children):
            child.stop()


def fleet(directory: Path, size: int, rounds: int) -> List[float]:
    """Command to frame, in ms, of `rounds` moves to each of `size` daemons
    on one broker, at random phases of their lines' cycles."""
    children: List[Child] = []
    try:
        broker = Broker(directory)
        children.append(broker)
        heads = []
        for number in range(size):
            place = directory / f"fleet-{number:02d}"
            place.mkdir()
            heads.append(Simulator(place, ["--speed", "0"]))
            children.append(heads[-1])
            children.append(MqttDaemon(place, heads[-1].link, broker.url, f"fleet-{number:02d}",
                                       ["--no-mqtt-discovery"], wait=False))
        watcher = Watcher(broker.port, [])
        time.sleep(3.0)
        delays = []
        for turn in range(1, rounds + 1):
            for number, head in enumerate(heads):
                move = json.dumps({"pan": 2 * turn, "tilt": 1571})
                delays.append(frame_delay(head, lambda: watcher.client.publish(f"aimhead/fleet-{number:02d}/move",
                                                                              move, qos=1), PHASE_SPREAD))
        watcher.close()
        return delays
    finally:
        for child in reversed(children):
            child.stop()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--moves", type=int, default=100)
    parser.add_argument("--idle-seconds", type=int, default=10)
    arguments = parser.parse_args()
    directory = Path(tempfile.mkdtemp(prefix="aimheadd-mqtt-bench-"))
    try:
        moved = reaction(directory / "reaction", arguments.moves) if (directory / "reaction").mkdir() is None else {}
        (directory / "long").mkdir()
        long_move = states_during_a_long_move(directory / "long")
        (directory / "idle").mkdir()
        plain = idle_percent(directory / "idle", arguments.idle_seconds, False)
        with_mqtt = idle_percent(directory / "idle", arguments.idle_seconds, True)
        (directory / "one").mkdir()
        one_delays = fleet(directory / "one", 1, arguments.moves)
        (directory / "fleet").mkdir()
        fleet_delays = fleet(directory / "fleet", FLEET, max(1, arguments.moves // FLEET))
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    socket_median, socket_p99 = statistics.median(moved["socket"]), percentile(moved["socket"], 0.99)
    mqtt_median, mqtt_p99 = statistics.median(moved["mqtt"]), percentile(moved["mqtt"], 0.99)
    one_p99, fleet_p99 = percentile(one_delays, 0.99), percentile(fleet_delays, 0.99)
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    print(f"aimheadd on MQTT against aimsim, mosquitto on loopback; {arguments.moves} moves each; load {load}\n")
    print("| figure | target | measured |")
    print("|---|---|---|")
    print(f"| JSON socket move to frame, median / p99 | (the reference) | {socket_median:.2f} / {socket_p99:.2f} ms |")
    print(f"| MQTT move (QoS 1) to frame, median / p99 | socket's + 5 ms: {socket_median + 5:.2f} / "
          f"{socket_p99 + 5:.2f} ms | {mqtt_median:.2f} / {mqtt_p99:.2f} ms |")
    print(f"| state messages during a {long_move['seconds']:.1f} s move | at most 10 in any second, the last the "
          f"arrival | {long_move['count']} in all, at most {long_move['busiest']} in a second, last is arrival: "
          f"{'yes' if long_move['last_is_arrival'] else 'NO'} |")
    print(f"| daemon idle CPU, without / with MQTT | with no more than without + 0.05 % | {plain:.3f} / "
          f"{with_mqtt:.3f} % of a core |")
    print(f"| one daemon, MQTT move to frame at random phases, median / p99 ({len(one_delays)} moves) | (the fleet's "
          f"reference) | {statistics.median(one_delays):.2f} / {one_p99:.2f} ms |")
    print(f"| {FLEET}-daemon fleet, the same, median / p99 ({len(fleet_delays)} moves) | one daemon's p99 + 5 ms: "
          f"{one_p99 + 5:.2f} ms | {statistics.median(fleet_delays):.2f} / {fleet_p99:.2f} ms |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
