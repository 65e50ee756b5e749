# SPDX-License-Identifier: MIT
"""aimheadd --mqtt against aimsim, on Debian's mosquitto started here, driven
with mosquitto_pub/mosquitto_sub and paho."""

from __future__ import annotations

import json
import os
import subprocess
import time
from pathlib import Path
from typing import List

from mqtt_support import (AIMHEADD, Broker, Child, MqttDaemon, Simulator, Watcher, make_tls_files, move_frames, pub,
                          wait_for)

AIMHEAD = Path(os.environ.get("AIMHEAD", AIMHEADD.parent / "aimhead"))
HEAD = "aimhead/bench1/"


def up(state) -> bool:
    return isinstance(state, dict) and state.get("link") == "up" and state.get("position") is not None


def start_head(directory: Path, started: List[Child], *sim_options: str, options: List[str] = [],
               broker: Broker = None, presets: Path = None):
    broker = broker or Broker(directory)
    started.append(broker)
    head = Simulator(directory, list(sim_options))
    started.append(head)
    daemon = MqttDaemon(directory, head.link, broker.url, "bench1", options, presets=presets)
    started.append(daemon)
    return broker, head, daemon


def test_connect_publishes_availability_state_and_discovery_retained(directory, started, watchers) -> None:
    broker, _, daemon = start_head(directory, started, "--speed", "0")
    watcher = Watcher(broker.port, [HEAD + "#", "homeassistant/#"])
    watchers.append(watcher)
    assert watcher.wait(HEAD + "availability") == "online"
    wait_for(lambda: up(watcher.wait(HEAD + "state", up)), 10, "the link to come up")
    prefix = "homeassistant/{}/aimhead_bench1/{}/config"
    expected = {prefix.format("number", "pan"), prefix.format("number", "tilt"), prefix.format("button", "home"),
                prefix.format("text", "save_preset"), prefix.format("sensor", "position"),
                prefix.format("binary_sensor", "link")}

    def retained_configs() -> dict:
        # A subscriber that comes later, as Home Assistant may: it hears only
        # what the broker kept. (The first watcher may have subscribed before
        # the daemon published, and then hears the configurations live.)
        late = Watcher(broker.port, ["homeassistant/#"])
        watchers.append(late)
        late.drain(0.5)
        return {m.topic: json.loads(m.payload) for _, m in late.seen if m.retain and m.payload}

    # Bounded, not timed: a sanitized or emulated daemon takes a while to publish it all.
    wait_for(lambda: expected <= set(retained_configs()), 15, "the discovery configurations, retained")
    configs = retained_configs()
    for topic, config in configs.items():
        assert config["unique_id"].startswith("aimhead_bench1_") and config["name"]
        assert config["device"]["identifiers"] == ["aimhead_bench1"] and config["device"]["sw_version"]
        assert {"topic": HEAD + "availability"} in config["availability"]
    pan = configs[prefix.format("number", "pan")]
    assert pan["command_topic"] == HEAD + "pan/set" and pan["mode"] == "slider"
    assert pan["min"] < 0 < pan["max"] and pan["unit_of_measurement"] == "°"
    assert len(pan["availability"]) == 2 and pan["availability_mode"] == "all"
    assert configs[prefix.format("button", "home")]["command_topic"] == HEAD + "home"
    assert configs[prefix.format("text", "save_preset")]["pattern"].startswith("^[A-Za-z0-9_]")
    link = configs[prefix.format("binary_sensor", "link")]
    assert link["device_class"] == "connectivity" and len(link["availability"]) == 1
    assert "json_attributes_topic" in configs[prefix.format("sensor", "position")]

    # Home Assistant coming back asks for all of it again.
    watcher.forget()
    watcher.publish("homeassistant/status", "online")
    assert watcher.wait(prefix.format("number", "pan"))["unique_id"] == "aimhead_bench1_pan"


def test_a_move_reaches_the_exact_frame_and_the_state_follows(directory, started, watchers) -> None:
    broker, head, _ = start_head(directory, started)
    watcher = Watcher(broker.port, [HEAD + "#"])
    watchers.append(watcher)
    watcher.wait(HEAD + "state", up)
    pub(broker.port, HEAD + "move", '{"pan": 400, "tilt": 2000, "id": "first"}')
    result = watcher.wait(HEAD + "result", lambda r: r.get("id") == "first")
    # Counts of 2 mrad, pan mirrored, tilt from level (1571 mrad).
    assert result["ok"] is True and result["target"] == {"pan": 400, "tilt": 1999} and result["limited"] is False
    wait_for(lambda: "move -200 214" in move_frames(head), 5, "the move frame on the line")
    final = watcher.wait(HEAD + "state", lambda s: s.get("position") == {"pan": 400, "tilt": 1999})
    assert final["target"] == {"pan": 400, "tilt": 1999} and final["owner"] == "mqtt"
    assert abs(final["position_degrees"]["azimuth"] - 22.92) < 0.01

    # In degrees, as the rotator port maps them, with MQTT v5 correlation data.
    watcher.publish(HEAD + "move", {"azimuth": -30, "elevation": 10}, correlation=b"\x01request-7")
    replies = [m for m in wait_for(lambda: [m for m in watcher.drain(0.2) if m.topic == HEAD + "result"], 5, "a result")]
    assert replies[0].properties.CorrelationData == b"\x01request-7"
    assert abs(json.loads(replies[0].payload)["target_degrees"]["azimuth"] + 30.0) < 0.12  # a count is 0.11°

    pub(broker.port, HEAD + "tilt/set", "-20.5")
    assert watcher.wait(HEAD + "result", lambda r: r.get("command") == "tilt/set")["ok"] is True
    pub(broker.port, HEAD + "home", "PRESS")
    assert watcher.wait(HEAD + "result", lambda r: r.get("command") == "home")["target"] == {"pan": 0, "tilt": 1571}


def test_state_comes_at_most_ten_a_second_and_the_arrival_last(directory, started, watchers) -> None:
    broker, _, _ = start_head(directory, started)
    watcher = Watcher(broker.port, [HEAD + "state"])
    watchers.append(watcher)
    watcher.wait(HEAD + "state", up)
    watcher.forget()
    pub(broker.port, HEAD + "move", '{"pan": 1500, "tilt": 1571}')  # 750 counts at 500 a second: 1.5 s
    states = [json.loads(m.payload) for m in watcher.drain(3.0)]
    assert len(states) >= 5
    times = [t for t, _ in watcher.seen]  # as each arrived
    for start in range(len(times)):
        within = [t for t in times[start:] if t - times[start] < 1.0]
        assert len(within) <= 11, within  # ten a second, one more for the broker's bunching
    assert states[-1]["position"] == {"pan": 1500, "tilt": 1571}


def test_presets_saved_over_mqtt_are_seen_by_aimhead_and_the_select(directory, started, watchers) -> None:
    config = directory / "config"
    presets = config / "aimhead" / "presets.json"
    broker, head, _ = start_head(directory, started, "--speed", "0", presets=presets)
    watcher = Watcher(broker.port, [HEAD + "#", "homeassistant/select/#"])
    watchers.append(watcher)
    watcher.wait(HEAD + "state", up)
    pub(broker.port, HEAD + "preset/save", "door")
    assert watcher.wait(HEAD + "result", lambda r: r.get("command") == "preset/save")["ok"] is True
    assert watcher.wait(HEAD + "presets", lambda p: p["presets"])["presets"] == [
        {"name": "door", "pan": 0, "tilt": 1571}]
    select = watcher.wait("homeassistant/select/aimhead_bench1/preset/config", lambda c: isinstance(c, dict))
    assert select["options"] == ["door"] and select["command_topic"] == HEAD + "preset/recall"
    listed = subprocess.run([str(AIMHEAD), "presets"], env={**os.environ, "XDG_CONFIG_HOME": str(config)},
                            capture_output=True, text=True, timeout=10)
    assert listed.returncode == 0 and "door" in listed.stdout, listed

    # Another program saving, by a rename as they all do: the list and the select follow.
    replacement = presets.with_suffix(".new")
    replacement.write_text(json.dumps({"presets": {"door": {"pan": 0, "tilt": 1571}, "gate": {"pan": 300, "tilt": 1571}}}))
    replacement.rename(presets)
    assert [p["name"] for p in watcher.wait(HEAD + "presets", lambda p: len(p["presets"]) == 2)["presets"]] == [
        "door", "gate"]
    assert watcher.wait("homeassistant/select/aimhead_bench1/preset/config",
                        lambda c: isinstance(c, dict) and len(c["options"]) == 2)["options"] == ["door", "gate"]

    pub(broker.port, HEAD + "preset/recall", "gate")
    watcher.wait(HEAD + "state", lambda s: s.get("position") == {"pan": 300, "tilt": 1571})
    watcher.forget()
    pub(broker.port, HEAD + "preset/recall", "door")
    assert watcher.wait(HEAD + "result", lambda r: r.get("command") == "preset/recall")["target"] == {
        "pan": 0, "tilt": 1571}


def test_a_save_by_aimhead_is_seen_when_no_preset_was_saved_before(directory, started, watchers) -> None:
    config = directory / "fresh"
    presets = config / "aimhead" / "presets.json"
    broker, head, _ = start_head(directory, started, "--speed", "0", presets=presets)
    watcher = Watcher(broker.port, [HEAD + "presets"])
    watchers.append(watcher)
    assert watcher.wait(HEAD + "presets") == {"presets": []}
    saved = subprocess.run([str(AIMHEAD), "save", "porch", "400", "1571"],
                           env={**os.environ, "XDG_CONFIG_HOME": str(config)}, capture_output=True, text=True,
                           timeout=10)
    assert saved.returncode == 0, saved
    assert watcher.wait(HEAD + "presets", lambda p: p["presets"])["presets"] == [
        {"name": "porch", "pan": 400, "tilt": 1571}]


def test_a_retained_command_is_ignored_and_logged_once(directory, started, watchers) -> None:
    broker, head, daemon = start_head(directory, started)
    watcher = Watcher(broker.port, [HEAD + "#"])
    watchers.append(watcher)
    watcher.wait(HEAD + "state", up)
    for _ in range(2):
        pub(broker.port, HEAD + "move", '{"pan": 600, "tilt": 1571}', "-r")
    # And again as the broker hands it over at the next connect.
    daemon.stop()
    started.append(MqttDaemon(directory, head.link, broker.url, "bench1"))
    time.sleep(1.0)
    assert [m for m in watcher.drain(0.5) if m.topic == HEAD + "result"] == []
    assert move_frames(head) == []
    log = started[-1].errors()
    assert log.count("ignoring the retained command on " + HEAD + "move") == 1, log
    pub(broker.port, HEAD + "move", None, "-r")  # clear it


def test_bad_commands_are_refused_with_a_reason_and_nothing_reaches_the_line(directory, started, watchers) -> None:
    broker, head, _ = start_head(directory, started)
    watcher = Watcher(broker.port, [HEAD + "result", HEAD + "state"])
    watchers.append(watcher)
    watcher.wait(HEAD + "state", up)
    cases = [
        ("move", "{not json", "JSON object"),
        ("move", '{"pan": 40000, "tilt": 1571, "id": 1}', "pan must be from"),
        ("move", '{"pan": 1.5, "tilt": 1571}', "whole number"),
        ("move", '{"pan": 0}', "tilt is missing"),
        ("move", '{"azimuth": 500, "elevation": 0}', "within the travel"),
        ("move", "{" + " " * 5000 + "}", "over 4096 bytes"),
        ("pan/set", "left", "number of degrees"),
        ("tilt/set", "95", "elevation from"),
        ("preset/save", "-rm", "preset name"),
        ("preset/save", "a/b", "preset name"),
        ("preset/recall", "nowhere", "no preset named 'nowhere'"),
    ]
    for topic, payload, reason in cases:
        watcher.forget()
        pub(broker.port, HEAD + topic, payload)
        result = watcher.wait(HEAD + "result", lambda r: r.get("command") == topic, 5)
        assert result["ok"] is False and reason in result["reason"], (payload, result)
    time.sleep(0.3)
    assert move_frames(head) == []


def test_kill_9_gives_offline_through_the_last_will(directory, started, watchers) -> None:
    broker, _, daemon = start_head(directory, started)
    watcher = Watcher(broker.port, [HEAD + "availability"])
    watchers.append(watcher)
    assert watcher.wait(HEAD + "availability") == "online"
    daemon.process.kill()
    daemon.process.wait(10)
    assert watcher.wait(HEAD + "availability", lambda a: a == "offline") == "offline"


def test_a_clean_stop_says_offline(directory, started, watchers) -> None:
    broker, _, daemon = start_head(directory, started)
    watcher = Watcher(broker.port, [HEAD + "availability"])
    watchers.append(watcher)
    assert watcher.wait(HEAD + "availability") == "online"
    assert daemon.stop() == 0
    assert watcher.wait(HEAD + "availability", lambda a: a == "offline") == "offline"
    assert "stopping" in daemon.errors()


def test_two_daemons_given_one_id_are_told_and_slow_down(directory, started) -> None:
    broker, _, first = start_head(directory, started)
    elsewhere = directory / "elsewhere"
    elsewhere.mkdir()
    head = Simulator(elsewhere, [])
    started.append(head)
    second = MqttDaemon(elsewhere, head.link, broker.url, "bench1")
    started.append(second)
    # The broker ends the older session at each connect with the id.
    told = "the connection is closed right after each connect (3 times): is the client id 'aimhead-bench1' also used"
    wait_for(lambda: told in first.errors() + second.errors(), 10, "a daemon to say so")
    # Then each tries again after a growing back-off, not ten times a second.
    connects = [daemon.errors().count("connected to broker") for daemon in (first, second)]
    time.sleep(3)
    more = [daemon.errors().count("connected to broker") - before for daemon, before in zip((first, second), connects)]
    assert sum(more) <= 6, more
    assert first.process.poll() is None and second.process.poll() is None


def test_a_broker_restart_is_ridden_out_and_everything_published_again(directory, started, watchers) -> None:
    broker, head, daemon = start_head(directory, started)
    port = broker.port
    watcher = Watcher(port, [HEAD + "state"])
    watcher.wait(HEAD + "state", up)
    watcher.close()
    broker.stop()
    wait_for(lambda: "trying again with back-off" in daemon.errors(), 10, "the daemon to notice")
    frames_before = len(head.frames("->"))
    time.sleep(1.5)
    assert move_frames(head) == [] and len(head.frames("->")) > frames_before  # the head is still polled
    restarted = Broker(directory, port=port)  # no persistence: whatever is retained now was published again
    started.append(restarted)
    daemon.wait_connected(2)
    again = Watcher(port, [HEAD + "#", "homeassistant/#"])
    watchers.append(again)
    assert again.wait(HEAD + "availability") == "online"
    assert up(again.wait(HEAD + "state", up))
    assert again.wait("homeassistant/number/aimhead_bench1/pan/config")["unique_id"] == "aimhead_bench1_pan"
    assert daemon.process.poll() is None


def test_an_unplugged_head_shows_unavailable_and_comes_back(directory, started, watchers) -> None:
    broker, head, daemon = start_head(directory, started, "--speed", "0")
    watcher = Watcher(broker.port, [HEAD + "state"])
    watchers.append(watcher)
    watcher.wait(HEAD + "state", up)
    watcher.forget()
    head.stop()
    gone = watcher.wait(HEAD + "state", lambda s: s.get("link") != "up")
    assert gone["reason"] and gone["position"] == {"pan": 0, "tilt": 1571}
    started.append(Simulator(directory, ["--speed", "0"]))
    assert up(watcher.wait(HEAD + "state", lambda s: s.get("link") == "up", 15))


def test_tls_with_a_password_file_and_credentials_kept_out_of_the_log(directory, started, watchers) -> None:
    tls = make_tls_files(directory)
    broker = Broker(directory, tls=tls, users={"head1": "s3cret-word"})
    started.append(broker)
    head = Simulator(directory, ["--speed", "0"])
    started.append(head)
    credentials = directory / "credentials"
    credentials.write_text("head1:s3cret-word\n")
    credentials.chmod(0o600)
    url = f"mqtts://127.0.0.1:{broker.port}"
    daemon = MqttDaemon(directory, head.link, url, "bench1",
                        ["--mqtt-ca", str(tls["ca"]), "--mqtt-credentials", str(credentials)])
    started.append(daemon)
    watcher = Watcher(broker.port, [HEAD + "state"], tls_ca=tls["ca"], credentials=("head1", "s3cret-word"))
    watchers.append(watcher)
    assert up(watcher.wait(HEAD + "state", up))
    assert "s3cret-word" not in daemon.errors() and "beyond this machine" not in daemon.errors()


def test_refused_credentials_are_retried_and_logged_once_without_the_password(directory, started) -> None:
    broker = Broker(directory, users={"head1": "s3cret-word"})
    started.append(broker)
    head = Simulator(directory, ["--speed", "0"])
    started.append(head)
    credentials = directory / "credentials"
    credentials.write_text("head1:wrong-word\n")
    credentials.chmod(0o600)
    daemon = MqttDaemon(directory, head.link, broker.url, "bench1", ["--mqtt-credentials", str(credentials)],
                        wait=False)
    started.append(daemon)
    wait_for(lambda: "refused the connection" in daemon.errors(), 10, "the broker's refusal in the log")
    time.sleep(1.6)  # retries after 0.1, 0.2, 0.4 and 0.8 s
    assert daemon.errors().count("refused the connection") == 1, daemon.errors()
    assert "wrong-word" not in daemon.errors() and daemon.process.poll() is None


def test_credentials_others_may_read_are_refused_before_connecting(directory) -> None:
    credentials = directory / "credentials"
    credentials.write_text("head1:s3cret-word\n")
    credentials.chmod(0o644)
    ended = subprocess.run([str(AIMHEADD), "-d", str(directory / "none"), "-s", str(directory / "socket"),
                            "--mqtt", "mqtt://127.0.0.1:1", "--mqtt-credentials", str(credentials)],
                           capture_output=True, text=True, timeout=10)
    assert ended.returncode == 6
    assert f"credentials {credentials}: mode 0644" in ended.stderr and "s3cret" not in ended.stderr


def test_bad_mqtt_options_are_refused_with_the_usage_status(directory) -> None:
    cases = [
        (["--mqtt", "http://127.0.0.1"], 2, "mqtt://HOST[:PORT]"),
        (["--mqtt", "mqtt://127.0.0.1:99999"], 2, "port must be from 1 to 65535"),
        (["--mqtt", "mqtt://127.0.0.1", "--mqtt-id", "door/+"], 2, "--mqtt-id 'door/+'"),
        (["--mqtt", "mqtt://127.0.0.1", "--mqtt-prefix", "a//b"], 2, "--mqtt-prefix 'a//b'"),
        (["--mqtt", "mqtts://127.0.0.1"], 6, "needs --mqtt-ca"),
    ]
    for options, status, message in cases:
        ended = subprocess.run([str(AIMHEADD), "-d", str(directory / "none"), "-s", str(directory / "socket"),
                                *options], capture_output=True, text=True, timeout=10)
        assert ended.returncode == status and message in ended.stderr, (options, ended.stderr)


def test_a_broker_beyond_loopback_without_tls_is_warned_of(directory, started) -> None:
    broker = Broker(directory)
    started.append(broker)
    head = Simulator(directory, ["--speed", "0"])
    started.append(head)
    # 0.0.0.0 reaches this machine's own broker, but names no loopback address.
    daemon = MqttDaemon(directory, head.link, f"mqtt://0.0.0.0:{broker.port}", "bench1")
    started.append(daemon)
    assert "beyond this machine without TLS" in daemon.errors()
