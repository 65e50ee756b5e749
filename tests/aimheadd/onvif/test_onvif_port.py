# SPDX-License-Identifier: MIT
"""aimheadd --onvif as a user starts it: its options refused with one line
before the line is touched, its port named in the log, its Host rule, its
body limit and its sign-in on a real socket."""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Callable

import pytest

from onvif_support import (AIMHEADD, OnvifDaemon, Simulator, call, credentials_file, envelope,
                           fault_subcode, first, post)

BAD_OPTIONS = [
    (["--onvif", "70000"], "--onvif '70000': the port must be a number"),
    (["--onvif", "127.0.0.1:http"], "--onvif '127.0.0.1:http': the port must be a number"),
    (["--onvif", "0", "--onvif-video", "1920x1080"], "--onvif-video '1920x1080': expected WIDTHxHEIGHT@FPS"),
    (["--onvif", "0", "--onvif-video", "0x0@25"], "--onvif-video '0x0@25': expected WIDTHxHEIGHT@FPS"),
    (["--onvif", "0", "--onvif-fov", "62"], "--onvif-fov '62': expected H,V in degrees"),
    (["--onvif", "0", "--onvif-fov", "-1,40"], "--onvif-fov '-1,40': expected H,V in degrees"),
    (["--onvif", "0", "--onvif-stream-uri", "camera feed"], "--onvif-stream-uri 'camera feed': expected a URI"),
    (["--onvif", "0", "--onvif-snapshot-uri", "/snap.jpg"], "--onvif-snapshot-uri '/snap.jpg': expected a URI"),
    (["--onvif", "0", "--onvif-host", "a/b"], "--onvif-host 'a/b': expected a host name"),
    (["--onvif", "0", "--onvif-credentials", "/nonexistent/creds"],
     "--onvif-credentials: credentials file '/nonexistent/creds': No such file"),
    (["--onvif-stream-uri", "rtsp://cam/head"], "--onvif-stream-uri needs --onvif [ADDR:]PORT"),
    (["--onvif-discovery"], "--onvif-discovery needs --onvif [ADDR:]PORT"),
    (["--onvif", "0.0.0.0:0"], "--onvif 0.0.0.0:0 reaches beyond loopback: give --onvif-credentials FILE"),
    (["--onvif", "[::]:0"], "--onvif [::]:0 reaches beyond loopback: give --onvif-credentials FILE"),
]


@pytest.mark.parametrize("options,line", BAD_OPTIONS, ids=[" ".join(o) for o, _ in BAD_OPTIONS])
def test_a_bad_onvif_option_ends_the_daemon_with_one_line_before_the_line_is_touched(
        directory: Path, head: Simulator, options: list, line: str) -> None:
    ended = subprocess.run([str(AIMHEADD), "-d", str(head.link), "-s", str(directory / "socket"), *options],
                           capture_output=True, text=True, timeout=20)
    assert ended.returncode == 2, ended
    assert ended.stderr.count("\n") == 1 and line in ended.stderr, ended.stderr
    assert head.frames() == []


def test_credentials_readable_by_others_are_refused(directory: Path, head: Simulator) -> None:
    creds = credentials_file(directory)
    creds.chmod(0o640)
    ended = subprocess.run([str(AIMHEADD), "-d", str(head.link), "-s", str(directory / "socket"), "--onvif", "0",
                            "--onvif-credentials", str(creds)], capture_output=True, text=True, timeout=20)
    assert ended.returncode == 2 and "mode wider than 0600" in ended.stderr, ended
    assert head.frames() == []


def test_port_zero_takes_a_free_port_that_the_log_names_and_that_answers(
        onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif()
    assert daemon.port > 0
    status, body = call(daemon.port, "<tds:GetSystemDateAndTime/>", signed=False)
    assert status == 200
    first(body, "tds:GetSystemDateAndTimeResponse/tds:SystemDateAndTime/tt:UTCDateTime")


def test_a_request_naming_another_host_is_refused_and_a_name_given_with_onvif_host_is_answered(
        onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif("--onvif-host", "camera.example")
    request = envelope("<tds:GetCapabilities><tds:Category>All</tds:Category></tds:GetCapabilities>").encode()
    status, text = post(daemon.port, request, host=f"rebound.example:{daemon.port}")
    assert status == 421 and "--onvif-host" in text
    status, text = post(daemon.port, request, host=f"camera.example:{daemon.port}")
    assert status == 200
    assert f"<tt:XAddr>http://camera.example:{daemon.port}/onvif/device_service</tt:XAddr>" in text


def test_a_body_over_16_kib_gets_413_and_the_daemon_goes_on(onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif()
    padding = "<!-- " + "x" * (70 * 1024) + " -->"
    status, _ = post(daemon.port, envelope("<tds:GetSystemDateAndTime/>" + padding).encode())
    assert status == 413
    status, _ = call(daemon.port, "<tds:GetSystemDateAndTime/>", signed=False)
    assert status == 200


def test_with_credentials_a_ptz_call_needs_the_signed_token(onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif()
    status, body = call(daemon.port, '<tptz:GetStatus><tptz:ProfileToken>aimhead</tptz:ProfileToken></tptz:GetStatus>',
                        signed=False)
    assert status == 400 and fault_subcode(body) == "ter:NotAuthorized"
    status, body = call(daemon.port, '<tptz:GetStatus><tptz:ProfileToken>aimhead</tptz:ProfileToken></tptz:GetStatus>')
    assert status == 200
    first(body, "tptz:GetStatusResponse/tptz:PTZStatus/tt:MoveStatus/tt:PanTilt")


def test_without_credentials_on_loopback_every_call_is_answered(onvif: Callable[..., OnvifDaemon]) -> None:
    daemon = onvif(credentials=False)
    status, _ = call(daemon.port, "<tptz:GetPresets><tptz:ProfileToken>aimhead</tptz:ProfileToken></tptz:GetPresets>",
                     signed=False)
    assert status == 200
