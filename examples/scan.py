#!/usr/bin/env python3
"""Moves the head through a short scan and prints where it arrived.

Run it against the simulated head:
    aimsim --link /tmp/head &  AIMLINK_DEVICE=/tmp/head python3 examples/scan.py
"""

import logging
import sys

import aimlink

SCAN = [(0, 1571), (500, 1801), (-500, 1301), (0, 1571)]


def main() -> int:
    # Let the library's warnings (rejected frames, silences) show.
    logging.basicConfig(format="%(name)s: %(message)s", level=logging.WARNING)
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
