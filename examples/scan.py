#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Moves the head through a short scan and prints where it arrived.

Run it against the simulated head, from the source tree after a build:
    build/default/bin/aimsim --link /tmp/head &
    AIMLINK_DEVICE=/tmp/head AIMLINK_LIBRARY=build/default/lib/libaimlink.so.1 \
        PYTHONPATH=python python3 examples/scan.py
"""

import sys

import aimlink

SCAN = [(0, 1571), (500, 1801), (-500, 1301), (0, 1571)]


def main() -> int:
    try:
        with aimlink.Head() as head:
            for pan, tilt in SCAN:
                at = head.move(pan, tilt, timeout=30)
                print(f"pan {pan} tilt {tilt}: arrived, head reports {at.pan} {at.tilt} mrad")
    except OSError as error:  # no library, port, head or link: the message says which
        print(f"scan: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
