#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots a Debian kernel under QEMU's software emulation and runs aimhead on
the kernel's own serial drivers: a 16550 UART at /dev/ttyS3 and an FTDI USB
serial adapter at /dev/ttyUSB0, each with aimsim playing the head behind it.

The guest runs the commands this script sends over its control port
(/dev/ttyS1) and answers with their output and exit status; QEMU's monitor
swaps the simulated head behind ttyS3 between cases and pulls the adapter out.
Prints PASS or FAIL per case, the figures, and "N passed, M failed"."""

import argparse
import json
import os
import queue
import re
import select
import socket
import statistics
import subprocess
import sys
import threading
import time

BOOT_LIMIT_S = 180
COMMAND_LIMIT_S = 60
USER = "rigtool as-user"  # uid 1000 in group dialout: root would pass the port's exclusive lock


class RigError(Exception):
    """The rig itself could not do its part; the run stops."""


class CaseFailure(Exception):
    """A case found behaviour other than the one it proves."""


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


class Sim:
    """aimsim on a pseudo-terminal, every frame traced to a file."""

    def __init__(self, aimsim, trace_path, *options):
        self.trace_path = trace_path
        with open(trace_path, "w", encoding="utf-8") as trace:
            self.process = subprocess.Popen([aimsim, "--trace", *options], stdout=subprocess.PIPE,
                                            stderr=trace, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 5)
        if not ready:
            self.stop()
            raise RigError(f"aimsim {' '.join(options)} did not print its terminal within 5 s")
        self.path = self.process.stdout.readline().strip()

    def frames(self):
        """(monotonic time, text) of every traced frame so far."""
        with open(self.trace_path, encoding="utf-8") as trace:
            return [(float(stamp), text) for stamp, _, text in
                    (line.rstrip("\n").partition(" ") for line in trace) if re.fullmatch(r"[0-9.]+", stamp)]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=5)
        self.process.stdout.close()


class Monitor:
    """QEMU's machine protocol (QMP) on a Unix socket."""

    def __init__(self, path):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        deadline = time.monotonic() + 10
        while True:
            try:
                self.socket.connect(path)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise RigError(f"{path}: QEMU's monitor does not answer") from None
                time.sleep(0.1)
        self.socket.settimeout(10)
        self.stream = self.socket.makefile("rw", encoding="utf-8")
        self.stream.readline()  # greeting
        self.events = []
        self.execute("qmp_capabilities")

    def _message(self, during):
        try:
            line = self.stream.readline()
        except TimeoutError:
            raise RigError(f"QEMU's monitor is silent during {during}") from None
        if not line:
            raise RigError(f"QEMU's monitor closed during {during}")
        return json.loads(line)

    def execute(self, name, **arguments):
        self.stream.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.stream.flush()
        while True:
            reply = self._message(name)
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise RigError(f"QEMU {name}: {reply['error']['desc']}")
            self.events.append(reply)

    def wait_event(self, name, seconds, **data):
        """Waits for an event whose data holds the given items; the events seen so far count too."""
        deadline = time.monotonic() + seconds
        while True:
            for event in self.events:
                if event.get("event") == name and data.items() <= event.get("data", {}).items():
                    self.events.remove(event)
                    return event
            if time.monotonic() > deadline:
                raise RigError(f"QEMU sent no {name} {data} within {seconds} s")
            self.events.append(self._message(f"the wait for {name}"))


class Result:
    def __init__(self, status, output, seconds):
        self.status, self.output, self.seconds = status, output, seconds

    def __repr__(self):
        return f"exit status {self.status} after {self.seconds:.2f} s: {self.output.strip() or '(no output)'}"


class Guest:
    """The QEMU machine, its control port and its monitor."""

    def __init__(self, options, head_path, adapter_path):
        work = options.work
        control_path = os.path.join(work, "control.sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(control_path)
        listener.listen(1)
        listener.settimeout(30)
        self.console_path = os.path.join(work, "console.log")
        with open(os.path.join(work, "qemu.log"), "w", encoding="utf-8") as log:
            self.process = subprocess.Popen([
                "qemu-system-x86_64", "-machine", "pc,accel=tcg", "-m", "256", "-smp", "1",
                "-display", "none", "-monitor", "none", "-no-reboot", "-nic", "none",
                "-kernel", options.kernel, "-initrd", options.initrd,
                "-append", "console=ttyS0 quiet panic=-1",
                "-chardev", f"file,id=console,path={self.console_path}", "-serial", "chardev:console",
                "-chardev", f"socket,id=control,path={control_path}", "-serial", "chardev:control",
                "-serial", "null",
                "-chardev", f"serial,id=head,path={head_path}", "-serial", "chardev:head",
                "-device", "qemu-xhci,id=usb",
                "-chardev", f"serial,id=adapter,path={adapter_path}",
                "-device", "usb-serial,id=plug,chardev=adapter,bus=usb.0",
                "-qmp", f"unix:{os.path.join(work, 'qmp.sock')},server=on,wait=off",
            ], stdout=log, stderr=subprocess.STDOUT)
        try:
            self.control, _ = listener.accept()
        except socket.timeout:
            raise RigError("QEMU did not connect the guest's control port within 30 s") from None
        finally:
            listener.close()
        self.lines = queue.Queue()
        threading.Thread(target=self._read_control, daemon=True).start()
        self.monitor = Monitor(os.path.join(work, "qmp.sock"))
        self.marks = []
        self._expect("@@ ready", BOOT_LIMIT_S, "the guest did not boot")

    def _read_control(self):
        pending = b""
        while True:
            chunk = self.control.recv(4096)
            if not chunk:
                self.lines.put((time.monotonic(), None))
                return
            pending += chunk
            *complete, pending = pending.split(b"\n")
            now = time.monotonic()
            for line in complete:
                self.lines.put((now, line.decode("utf-8", "replace")))

    def _next_line(self, deadline, waiting_for):
        try:
            stamp, line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            raise RigError(f"{waiting_for}: no answer from the guest in time") from None
        if line is None:
            raise RigError(f"{waiting_for}: the guest's control port closed")
        if line.startswith("@@mark"):
            self.marks.append((stamp, line.split(maxsplit=1)[1] if " " in line else ""))
        return line

    def _expect(self, wanted, limit_s, waiting_for):
        deadline = time.monotonic() + limit_s
        while self._next_line(deadline, waiting_for) != wanted:
            pass

    def run(self, command, limit_s=COMMAND_LIMIT_S):
        """Runs one shell command line in the guest; its fd 3 writes '@@mark TEXT' lines
        that are stamped with the host's monotonic clock on arrival."""
        started = time.monotonic()
        self.control.sendall(command.encode() + b"\n")
        output = []
        deadline = started + limit_s
        while True:
            line = self._next_line(deadline, command)
            if line.startswith("| "):
                output.append(line[2:])
            elif re.fullmatch(r"@@ [0-9]+", line):
                return Result(int(line[3:]), "\n".join(output), time.monotonic() - started)

    def wait_mark(self, prefix, limit_s):
        deadline = time.monotonic() + limit_s
        while True:
            for stamp, text in self.marks:
                if text.startswith(prefix):
                    self.marks.remove((stamp, text))
                    return stamp, text
            self._next_line(deadline, f"a mark '{prefix}'")

    def console_tail(self):
        with open(self.console_path, encoding="utf-8", errors="replace") as console:
            return "".join(console.readlines()[-20:])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Rig:
    def __init__(self, options):
        self.options = options
        self.sims = {}
        self.serial = 0
        self.head = self._sim("head", "--speed", "2000")
        self.adapter = self._sim("adapter", "--speed", "2000")
        self.guest = Guest(options, self.head.path, self.adapter.path)

    def _sim(self, role, *options):
        self.serial += 1
        sim = Sim(self.options.aimsim, os.path.join(self.options.work, f"{self.serial:02d}-{role}.trace"), *options)
        self.sims[role] = sim
        return sim

    def new_head(self, *options):
        """A fresh simulated head behind /dev/ttyS3, with the given aimsim options."""
        old = self.head
        self.head = self._sim("head", *options)
        self.guest.monitor.execute("chardev-change", id="head",
                                   backend={"type": "serial", "data": {"device": self.head.path}})
        old.stop()
        return self.head

    def unplug(self):
        # device_del only asks; the adapter's chardev is free for the next plug once QEMU reports the device gone.
        self.guest.monitor.execute("device_del", id="plug")
        self.guest.monitor.wait_event("DEVICE_DELETED", 10, device="plug")

    def plug(self):
        self.guest.monitor.execute("device_add", driver="usb-serial", id="plug", chardev="adapter", bus="usb.0")

    def stop(self):
        self.guest.stop()
        for sim in self.sims.values():
            sim.stop()


CASES = []


def case(name):
    def register(function):
        CASES.append((name, function))
        return function
    return register


def last_move(sim):
    moves = [re.search(r"move pan \S+ \((-?\d+)\) tilt \S+ \((-?\d+)\)", text) for _, text in sim.frames()]
    moves = [m for m in moves if m]
    check(moves, "no move frame reached the head")
    return int(moves[-1].group(1)), int(moves[-1].group(2))


def last_position(sim):
    positions = [re.search(r"<- position (-?\d+) (-?\d+)", text) for _, text in sim.frames()]
    positions = [p for p in positions if p]
    check(positions, "the head sent no position report")
    return int(positions[-1].group(1)), int(positions[-1].group(2))


@case("a move at the default path /dev/ttyS3")
def move_default_path(rig):
    head = rig.new_head("--speed", "2000")
    result = rig.guest.run(f"{USER} aimhead 500 1700")
    check(result.status == 0, f"aimhead: {result}")
    check(last_position(head) == last_move(head), f"the head stopped at {last_position(head)}, "
                                                   f"not at the move's target {last_move(head)}")
    return f"head at counts {last_position(head)} after {result.seconds:.2f} s"


@case("the C example scans the head")
def c_example(rig):
    rig.new_head("--speed", "4000")
    result = rig.guest.run(f"{USER} scan")
    check(result.status == 0 and result.output.count("arrived") == 4, f"scan: {result}")
    return f"4 positions in {result.seconds:.2f} s"


def stty_flags(text):
    return set(text.replace(";", " ").split())


@case("the line settings left, and the flags kept")
def line_settings(rig):
    rig.new_head("--speed", "250")
    kept = {"ixoff", "-hupcl", "cstopb", "clocal"}
    before = rig.guest.run(f"stty -F /dev/ttyS3 19200 icanon echo {' '.join(kept)} && stty -F /dev/ttyS3 -a")
    check(before.status == 0, f"stty before: {before}")
    during = rig.guest.run(f"{USER} aimhead 1000 1571 >/tmp/settings.out 2>&1 & sleep 2; stty -F /dev/ttyS3 -a; "
                           f"wait $!; echo aimhead $?; cat /tmp/settings.out; stty -F /dev/ttyS3 -a")
    check(during.status == 0 and "aimhead 0" in during.output, f"aimhead: {during}")
    held, _, left = during.output.partition("aimhead 0")
    wanted = {"speed 9600 baud", "cs8", "-parenb", "-icanon", "-echo", "-isig", "-iexten", "-icrnl", "-ixon",
              "-opost", "min = 0", "time = 0"}
    missing = {flag for flag in wanted if flag not in held and flag not in stty_flags(held)}
    check(not missing, f"while aimhead holds the port, stty -a lacks {sorted(missing)}: {held}")
    for moment, text in (("while aimhead holds the port", held), ("after aimhead", left)):
        lost = kept - stty_flags(text)
        check(not lost, f"{moment} the flags {sorted(lost)} were not kept: {text}")
    check(stty_flags(left) == stty_flags(before.output), f"the settings from before were not put back: {left}")
    return "raw 9600 8N while held; " + " ".join(sorted(kept)) + " kept; the settings from before put back"


@case("rejection and resend")
def rejection(rig):
    head = rig.new_head("--speed", "2000", "--reject", "3")
    result = rig.guest.run(f"{USER} aimhead -300 2000")
    check(result.status == 0, f"aimhead: {result}")
    check("PTZ error:  resending command." in result.output, f"no resend message: {result}")
    texts = [text for _, text in head.frames()]
    rejected = [i for i, text in enumerate(texts) if "reject" in text]
    check(rejected and all(i >= 1 and texts[i - 1].startswith("->") for i in rejected), "no frame was rejected")
    check(last_position(head) == last_move(head), f"the head stopped at {last_position(head)}")
    return f"{len(rejected)} frames rejected and sent again; the move completed in {result.seconds:.2f} s"


@case("a silent head")
def silent_head(rig):
    rig.new_head("--silent-after", "0")
    result = rig.guest.run(f"{USER} aimhead 100 1571")
    check(result.status == 1 and "does not answer" in result.output, f"aimhead: {result}")
    check(result.seconds < 6, f"took {result.seconds:.1f} s")
    return f"exit status 1 after {result.seconds:.2f} s: {result.output.splitlines()[-1]}"


@case("a second program refused")
def second_program(rig):
    rig.new_head("--speed", "250")
    result = rig.guest.run(f"{USER} aimhead 1000 1571 >/tmp/first.out 2>&1 & sleep 1.5; "
                           f"{USER} aimhead 0 1571; echo user $?; aimhead 0 1571; echo root $?; "
                           f"wait $!; echo first $?; cat /tmp/first.out")
    check("user 1" in result.output and "root 1" in result.output, f"a second aimhead was not refused: {result}")
    check(result.output.count("/dev/ttyS3: port is in use by another process") == 2, f"message: {result}")
    check("first 0" in result.output, f"the first aimhead did not complete its move: {result}")
    return "refused for a user and for root; the first move completed"


@case("flow control held low by a three-wire cable")
def flow_control(rig):
    # ttyS3's host side carries no modem lines, as a three-wire cable: CTS is low.
    head = rig.new_head("--speed", "2000")
    held = rig.guest.run(f"stty -F /dev/ttyS3 crtscts && {USER} aimhead 200 1571")
    check(held.status == 1, f"aimhead: {held}")
    last = held.output.splitlines()[-1] if held.output else ""
    check("output held by hardware flow control" in last and "RTS/CTS" in last and "(--flow-control off)" in last,
          f"aimhead's last line does not name the held output: {held}")
    check(held.seconds < 5, f"the run took {held.seconds:.1f} s")
    check(not head.frames(), "frames reached the head although flow control held them")
    off = rig.guest.run(f"{USER} rigtool move-flow-off /dev/ttyS3 -200 1571; echo flow-off $?; "
                        "stty -F /dev/ttyS3 -a; stty -F /dev/ttyS3 -crtscts")
    check("flow-off 0" in off.output, f"the move with flow control off: {off}")
    check("crtscts" in stty_flags(off.output.partition("flow-off 0")[2]),
          f"the device's flow control setting was not put back: {off}")
    return (f"aimhead ended after {held.seconds:.2f} s: {last}; "
            "with flow control switched off through the handle the move completed")


def latency_state(rig, device):
    sysfs = f"/sys/bus/usb-serial/devices/{device[5:]}/latency_timer"
    timer = f"; echo timer $(cat {sysfs})" if device.startswith("/dev/ttyUSB") else ""
    return f"echo flag $(rigtool low-latency {device}){timer}"


@case("the low-latency request, and the setting put back")
def low_latency(rig):
    rig.new_head("--speed", "250")
    lines = []
    for device in ("/dev/ttyS3", "/dev/ttyUSB0"):
        result = rig.guest.run(f"{latency_state(rig, device)}; AIMLINK_DEVICE={device} {USER} aimhead 1000 1571 & "
                               f"sleep 0.6; {latency_state(rig, device)}; wait $!; echo aimhead $?; "
                               f"{latency_state(rig, device)}")
        before, during, after = (part for part in result.output.split("flag ")[1:])
        check("aimhead 0" in result.output, f"aimhead on {device}: {result}")
        check(during.startswith("on"), f"{device}: low latency not on while aimhead runs: {result.output}")
        check(before.split()[0] == "off" and after.split()[0] == "off",
              f"{device}: low latency not put back: {result.output}")
        if "timer" in during:
            timers = [part.split()[2] for part in (before, during, after)]
            check(timers[1] == "1" and timers[0] == timers[2], f"{device}: latency timer {timers}")
            lines.append(f"{device}: low latency on while open, latency timer {timers[0]} -> {timers[1]} -> "
                         f"{timers[2]} ms")
        else:
            lines.append(f"{device}: low latency on while open, off after")
    return "; ".join(lines)


def move_count(sim):
    return len([text for _, text in sim.frames() if text.startswith("-> move")])


def wait_for_another_move(sim, moves, limit_s=15):
    """Waits until the head has seen more than `moves` move frames."""
    deadline = time.monotonic() + limit_s
    while move_count(sim) <= moves:
        check(time.monotonic() < deadline, "the move frame never reached the head")
        time.sleep(0.05)


def adapter_present(rig):
    return rig.guest.run("for i in $(seq 100); do [ \"$(stat -c %g /dev/ttyUSB0 2>/dev/null)\" = 20 ] && "
                         "exit 0; sleep 0.1; done; exit 1")


@case("an unplug mid-move ends the run at once")
def unplug(rig):
    adapter = rig.adapter
    check(adapter_present(rig).status == 0, "/dev/ttyUSB0 is not there")
    moves = move_count(adapter)
    rig.guest.run(f"(AIMLINK_DEVICE=/dev/ttyUSB0 {USER} aimhead -1500 1571 >/tmp/unplug.out 2>&1; "
                  f"echo \"@@mark unplugged $?\" >&3) >/dev/null 2>&1 &")
    # This run's move, not one an earlier case left in the trace.
    wait_for_another_move(adapter, moves)
    time.sleep(0.3)
    pulled = time.monotonic()
    rig.unplug()
    ended, mark = rig.guest.wait_mark("unplugged", 10)
    result = rig.guest.run("cat /tmp/unplug.out")
    check(mark == "unplugged 1", f"aimhead ended with '{mark}': {result.output}")
    check("hang-up" in result.output, f"not the hang-up message: {result.output}")
    return f"exit status 1 {1000 * (ended - pulled):.0f} ms after the unplug: {result.output.splitlines()[0]}"


@case("a replug, and a move afterwards")
def replug(rig):
    rig.plug()
    appeared = adapter_present(rig)
    check(appeared.status == 0, "/dev/ttyUSB0 did not come back within 10 s")
    result = rig.guest.run(f"AIMLINK_DEVICE=/dev/ttyUSB0 {USER} aimhead 700 1571")
    check(result.status == 0, f"aimhead after the replug: {result}")
    check(last_position(rig.adapter) == last_move(rig.adapter), "the head did not reach the target")
    return f"/dev/ttyUSB0 back after {appeared.seconds:.2f} s; the move completed in {result.seconds:.2f} s"


@case("a program on the handle interface reopens the adapter after a replug")
def handle_replug(rig):
    adapter = rig.adapter
    check(adapter_present(rig).status == 0, "/dev/ttyUSB0 is not there")
    moves = move_count(adapter)
    rig.guest.run(f"({USER} rigtool replug /dev/ttyUSB0 1500 1571 -400 1571 >/tmp/replug.out 2>&1; "
                  f"echo \"@@mark replugged $?\" >&3) >/dev/null 2>&1 &")
    wait_for_another_move(adapter, moves)
    time.sleep(0.3)
    rig.unplug()
    time.sleep(1)
    rig.plug()
    _, mark = rig.guest.wait_mark("replugged", 30)
    result = rig.guest.run("cat /tmp/replug.out")
    check(mark == "replugged 0", f"rigtool replug ended with '{mark}': {result.output}")
    check("hang-up" in result.output and "reopened" in result.output, f"output: {result.output}")
    check(last_position(adapter) == last_move(adapter), "the head did not reach the second target")
    return "the failure came back as a status, the program reopened the device and moved"


SOCKET = "/tmp/aimhead.socket"


def through_daemon_when_up(rig, command, limit_s):
    """Runs an aimhead command through the daemon, again every 0.2 s until it
    succeeds or limit_s passes: the daemon reopens the device on its own
    schedule."""
    tries = int(limit_s / 0.2)
    return rig.guest.run(f"for i in $(seq {tries}); do {USER} aimhead --server {SOCKET} {command} && exit 0; "
                         f"sleep 0.2; done; exit 1")


@case("the daemon stays up through an unplug, and moves again after the replug")
def daemon_replug(rig):
    adapter = rig.adapter
    check(adapter_present(rig).status == 0, "/dev/ttyUSB0 is not there")
    rig.guest.run(f"{USER} aimheadd -d /dev/ttyUSB0 --socket {SOCKET} >/tmp/aimheadd.log 2>&1 & "
                  f"echo $! >/tmp/aimheadd.pid")
    try:
        first = through_daemon_when_up(rig, "1200 1571", 10)
        check(first.status == 0, f"the first move through the daemon: {first}")
        check(last_position(adapter) == last_move(adapter), "the head did not reach the first target")
        moves = move_count(adapter)
        rig.guest.run(f"({USER} aimhead --server {SOCKET} -1200 1571 >/tmp/daemon-move.out 2>&1; "
                      f"echo \"@@mark interrupted $?\" >&3) >/dev/null 2>&1 &")
        wait_for_another_move(adapter, moves)
        time.sleep(0.3)
        pulled = time.monotonic()
        rig.unplug()
        ended, mark = rig.guest.wait_mark("interrupted", 10)
        interrupted = rig.guest.run("cat /tmp/daemon-move.out")
        check(mark == "interrupted 1", f"the client ended with '{mark}': {interrupted.output}")
        time.sleep(1)
        rig.plug()
        check(adapter_present(rig).status == 0, "/dev/ttyUSB0 did not come back within 10 s")
        after = through_daemon_when_up(rig, "-300 1571", 15)
        daemon = rig.guest.run(f"kill -0 $(cat /tmp/aimheadd.pid) && echo running; cat /tmp/aimheadd.log")
        check(after.status == 0, f"no move through the daemon after the replug: {after}; daemon: {daemon.output}")
        check(daemon.output.startswith("running"), f"the daemon did not stay up: {daemon.output}")
        check(last_position(adapter) == last_move(adapter), "the head did not reach the target after the replug")
        return (f"the client ended with status 1 {1000 * (ended - pulled):.0f} ms after the unplug: "
                f"{interrupted.output.splitlines()[-1] if interrupted.output else ''}; "
                f"the same daemon moved the head {after.seconds:.2f} s after the adapter was back")
    finally:
        rig.guest.run("kill $(cat /tmp/aimheadd.pid) 2>/dev/null; rm -f /tmp/aimheadd.pid")


# A wait for a USB adapter's latency timer (16 ms unless low latency is on)
# shows beyond this. aimhead's own work after the reply, 0.4 ms natively (see
# the benchmark), takes milliseconds under software emulation on a loaded
# machine, so the 1 ms target is reported here, not enforced.
DRIVER_WAIT_MS = 12.0
TARGET_MS = 1.0


def reactions(rig, device, sim, runs):
    """Milliseconds from the last byte of the head's last reply to the end of a
    plain reader and of aimhead, alternately, as the host sees both: the way
    out of the guest is the same for every run and falls out of comparisons."""
    figures = {"plain": [], "aimhead": []}
    for run in range(2 * runs):
        program = "aimhead" if run % 2 else "plain"
        command = (f"AIMLINK_DEVICE={device} {USER} aimhead {400 if run % 4 == 1 else -400} 1571" if run % 2
                   else f"{USER} rigtool request {device}")
        rig.guest.run(f"{command}; echo \"@@mark reaction $?\" >&3")
        ended, mark = rig.guest.wait_mark("reaction", 5)
        check(mark == "reaction 0", f"{command} ended with '{mark}'")
        replies = [stamp for stamp, text in sim.frames() if text.startswith("<- position") and stamp < ended]
        check(replies, f"no position reply before the end of {command}")
        figures[program].append(1000 * (ended - replies[-1]))
    return figures


def summary(figures):
    return f"fastest {min(figures):.2f} ms, p50 {statistics.median(figures):.2f} ms"


@case("reaction to the arrival report, aimhead against a plain reader")
def reaction(rig):
    lines = []
    added = {}
    for device in ("/dev/ttyS3", "/dev/ttyUSB0"):
        sim = rig.new_head("--speed", "0") if device == "/dev/ttyS3" else rig.adapter
        figures = reactions(rig, device, sim, rig.options.runs)
        # Emulated time on a shared machine is noisy: the fastest of several
        # runs is what the path itself costs, the rest is other load.
        added[device] = min(figures["aimhead"]) - min(figures["plain"])
        lines.append(f"{device}: plain reader {summary(figures['plain'])}; aimhead {summary(figures['aimhead'])}; "
                     f"aimhead {added[device]:+.2f} ms "
                     f"({'within' if added[device] <= TARGET_MS else 'beyond'} the {TARGET_MS:.0f} ms target)")
    report = "\n    ".join([""] + lines)
    check(all(figure <= DRIVER_WAIT_MS for figure in added.values()), report)
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--initrd", required=True)
    parser.add_argument("--aimsim", required=True)
    parser.add_argument("--work", required=True, help="a directory for sockets, traces and logs")
    parser.add_argument("--runs", type=int, default=10, help="runs of each program for the reaction figure")
    parser.add_argument("--case", default="", help="run only the cases whose name matches this regular expression")
    options = parser.parse_args()

    started = time.monotonic()
    rig = Rig(options)
    print(f"uart: guest up after {time.monotonic() - started:.1f} s", flush=True)
    passed = failed = 0
    try:
        for name, function in CASES:
            if not re.search(options.case, name):
                continue
            try:
                detail = function(rig)
                passed += 1
                print(f"PASS {name}: {detail}", flush=True)
            except CaseFailure as failure:
                failed += 1
                print(f"FAIL {name}: {failure}", flush=True)
    except RigError as error:
        print(f"uart: the rig failed: {error}\n{rig.guest.console_tail()}", flush=True)
        failed += 1
    finally:
        rig.stop()
    print(f"uart: {time.monotonic() - started:.0f} s in all")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
