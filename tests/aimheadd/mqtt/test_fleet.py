# SPDX-License-Identifier: MIT
"""A fleet on one machine: twenty daemons, each with its own aimsim, on one
mosquitto broker. A command by id moves that head alone, and one head
unplugged shows unavailable while the others stay."""

from __future__ import annotations

import json
import time
from pathlib import Path
from typing import List

from mqtt_support import Broker, MqttDaemon, Simulator, Watcher, move_frames, wait_for

FLEET = 20


def fleet_id(number: int) -> str:
    return f"head-{number:02d}"


def latest_states(watcher: Watcher) -> dict:
    watcher.drain(0.2)
    states = {}
    for _, message in watcher.seen:
        if message.topic.endswith("/state"):
            states[message.topic.split("/")[1]] = json.loads(message.payload)
    return states


def test_a_fleet_of_twenty_heads_on_one_broker(directory: Path, started, watchers) -> None:
    broker = Broker(directory)
    started.append(broker)
    heads: List[Simulator] = []
    for number in range(FLEET):
        place = directory / fleet_id(number)
        place.mkdir()
        heads.append(Simulator(place, ["--speed", "0"]))
        started.append(heads[-1])
    for number, head in enumerate(heads):
        started.append(MqttDaemon(head.link.parent, head.link, broker.url, fleet_id(number), ["--no-mqtt-discovery"],
                                  wait=False))
    watcher = Watcher(broker.port, ["aimhead/+/availability", "aimhead/+/state", "aimhead/+/result"])
    watchers.append(watcher)
    everyone = {fleet_id(number) for number in range(FLEET)}
    wait_for(lambda: {i for i, s in latest_states(watcher).items() if s["link"] == "up"} == everyone, 30,
             "every head's link to come up")
    online = {m.topic.split("/")[1] for _, m in watcher.seen if m.topic.endswith("/availability") and m.payload == b"online"}
    assert online == everyone

    # Each head its own move: 10 counts further than the one before.
    for number in range(FLEET):
        watcher.publish(f"aimhead/{fleet_id(number)}/move", {"pan": -20 * (number + 1), "tilt": 1571})
    for number, head in enumerate(heads):
        wait_for(lambda: move_frames(head), 10, f"{fleet_id(number)}'s move frame")
    time.sleep(0.5)
    for number, head in enumerate(heads):
        assert move_frames(head) == [f"move {10 * (number + 1)} 0"], (fleet_id(number), move_frames(head))

    # One head unplugged: that head alone shows its link down.
    heads[7].stop()
    wait_for(lambda: latest_states(watcher)[fleet_id(7)]["link"] != "up", 15, "head-07 to show unavailable")
    time.sleep(0.5)
    states = latest_states(watcher)
    assert {i for i, s in states.items() if s["link"] != "up"} == {fleet_id(7)}
