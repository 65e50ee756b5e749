# SPDX-License-Identifier: MIT
"""CPU time of a move from Python beside the same move from C.

Both drive a simulated head that travels at once, back and forth between
pan -500 and 500, and count each move's CPU time on the process's clock
(every thread, the library's watcher included). The difference is what the
Python layer costs: its calls through ctypes and its wait slices.

Usage: python3 python/bench/move_cpu.py [BUILD_DIR] [--moves N] [--limit-ms MS]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import List

PACKAGE_ROOT = Path(__file__).resolve().parents[1]


def python_moves(device: str, moves: int) -> List[float]:
    import aimlink

    costs = []
    with aimlink.Head(device) as head:
        for i in range(moves):
            before = time.process_time()
            head.move(-500 if i % 2 else 500, 1571)
            costs.append((time.process_time() - before) * 1e3)
    return costs


def c_moves(build: Path, device: str, moves: int) -> List[float]:
    output = subprocess.run(
        [str(build / "bench" / "aimlink_move_cpu"), device, str(moves)],
        check=True, capture_output=True, text=True, timeout=60 + moves,
    ).stdout
    return [float(line) / 1e3 for line in output.split()]


def describe(costs: List[float]) -> str:
    return f"median {statistics.median(costs):.2f} ms (min {min(costs):.2f}, max {max(costs):.2f})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build/default", type=Path)
    parser.add_argument("--moves", type=int, default=40)
    parser.add_argument("--limit-ms", type=float, default=5.0)
    arguments = parser.parse_args()
    build = arguments.build.resolve()
    os.environ.setdefault("AIMLINK_LIBRARY", str(build / "lib" / "libaimlink.so.1"))
    sys.path[:0] = [str(PACKAGE_ROOT), str(PACKAGE_ROOT / "tests")]
    from simulated_head import SimulatedHead

    aimsim = build / "bin" / "aimsim"
    with SimulatedHead(aimsim, ["--speed", "0"]) as simulator:
        c = c_moves(build, simulator.device, arguments.moves)
    with SimulatedHead(aimsim, ["--speed", "0"]) as simulator:
        python = python_moves(simulator.device, arguments.moves)
    extra = statistics.median(python) - statistics.median(c)
    verdict = "met" if extra <= arguments.limit_ms else "NOT MET"
    print(f"CPU per move over {arguments.moves} moves, load {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"  C       {describe(c)}")
    print(f"  Python  {describe(python)}")
    print(f"  Python costs {extra:+.2f} ms more (at most {arguments.limit_ms:g} ms): {verdict}")
    return 0 if extra <= arguments.limit_ms else 1


if __name__ == "__main__":
    sys.exit(main())
