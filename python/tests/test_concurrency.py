# SPDX-License-Identifier: MIT
"""Several heads, other threads, Ctrl-C and garbage collection."""

from __future__ import annotations

import gc
import os
import signal
import subprocess
import sys
import threading
import time
from typing import Callable, Dict, List

import aimlink
from aimlink import Link, Position
from conftest import PACKAGE_ROOT

# A move of 1000 milliradians at aimsim's --speed 1000 (counts per second):
# long enough to interrupt or to watch another thread during it.
SLOW = ("--speed", "1000")
FAR = (1000, 1571)


def test_two_heads_move_at_once(aimsim: Callable[..., str]) -> None:
    with aimlink.Head(aimsim(*SLOW)) as left, aimlink.Head(aimsim(*SLOW)) as right:
        started = time.monotonic()
        left.move(*FAR, wait=False)
        right.move(-FAR[0], FAR[1], wait=False)
        assert left.wait_arrived(10) == Position(*FAR)
        assert right.wait_arrived(10) == Position(-FAR[0], FAR[1])
        # Each move takes about 0.5 s of travel: together, not one after the other.
        assert time.monotonic() - started < 1.5


def test_two_heads_driven_from_two_threads(aimsim: Callable[..., str]) -> None:
    devices = [aimsim("--speed", "0"), aimsim("--speed", "0")]
    reports: Dict[str, List[Position]] = {}

    def drive(device: str, sign: int) -> None:
        with aimlink.Head(device) as head:
            reports[device] = [head.move(sign * pan, 1571) for pan in (100, 300, 500)]  # type: ignore[misc]

    threads = [threading.Thread(target=drive, args=(device, sign)) for device, sign in zip(devices, (1, -1))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(20)
    assert reports[devices[0]] == [Position(pan, 1571) for pan in (100, 300, 500)]
    assert reports[devices[1]] == [Position(-pan, 1571) for pan in (100, 300, 500)]


def test_other_threads_run_during_a_wait(aimsim: Callable[..., str]) -> None:
    # If a wait held the interpreter lock, the ticking thread would stall
    # for a whole wait slice (100 ms) at a time.
    ticks: List[float] = []
    moving = threading.Event()

    def tick() -> None:
        while moving.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    with aimlink.Head(aimsim(*SLOW)) as head:
        moving.set()
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            head.move(*FAR)
        finally:
            moving.clear()
            ticker.join(5)
    gaps = [later - earlier for earlier, later in zip(ticks, ticks[1:])]
    assert len(ticks) > 100
    assert max(gaps) < 0.06


INTERRUPTED_MOVE = """
import signal, sys, time, aimlink
# As in a terminal: a suite run from a background job inherits SIGINT ignored,
# and Python then leaves it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
device = sys.argv[1]
try:
    with aimlink.Head(device) as head:
        print("moving", flush=True)
        head.move(1000, 1571, timeout=30)
        print("arrived", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
started = time.monotonic()
with aimlink.Head(device) as head:
    print("reopened", time.monotonic() - started, head.link.name, flush=True)
"""


def test_ctrl_c_ends_a_move_at_once_and_frees_the_port(aimsim: Callable[..., str]) -> None:
    device = aimsim("--speed", "100")  # ten seconds of travel
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_MOVE, device],
        stdout=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)),
    )
    try:
        assert child.stdout.readline().strip() == "moving"  # type: ignore[union-attr]
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(5)
    interrupted, reopened = [line.split() for line in output.splitlines()]
    assert interrupted[0] == "interrupted"
    assert float(interrupted[1]) - sent < 0.2
    assert reopened[0] == "reopened" and reopened[2] == "UP"
    assert float(reopened[1]) < 1.0


def test_a_head_dropped_unclosed_releases_its_port(fast_head: str) -> None:
    head = aimlink.Head(fast_head)
    head.move(40, 1571)
    head.myself = head  # type: ignore[attr-defined]  # a cycle: only the collector frees it
    del head
    gc.collect()
    with aimlink.Head(fast_head) as head:
        assert head.link == Link.UP



COLLECTED_IN_HANDLER = """
import gc, logging, sys, time, aimlink

class Collecting(logging.Handler):
    def emit(self, record):
        gc.collect()

logging.getLogger("aimlink").addHandler(Collecting())
head = aimlink.Head(sys.argv[1])
head.myself = head
head.move(300, 1571, wait=False)
del head
time.sleep(1.0)
with aimlink.Head(sys.argv[1]) as again:
    print(again.link.name)
"""


def test_a_head_collected_on_its_own_watcher_thread_is_freed_safely(aimsim: Callable[..., str]) -> None:
    # Each rejection is logged from the watcher thread, and the handler runs
    # the collector there: it finds the dropped head in its cycle.
    device = aimsim("--speed", "0", "--reject", "2")
    result = subprocess.run(
        [sys.executable, "-c", COLLECTED_IN_HANDLER, device],
        capture_output=True,
        text=True,
        timeout=20,
        env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)),
    )
    assert (result.returncode, result.stdout) == (0, "UP\n"), result.stderr
