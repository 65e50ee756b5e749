# SPDX-License-Identifier: MIT
"""aimsim as a child process, for the tests and the benchmark."""

from __future__ import annotations

import select
import subprocess
from pathlib import Path
from typing import List

# Bounds of every wait on the simulator, in seconds.
START_TIMEOUT = 5.0
STOP_TIMEOUT = 5.0


class SimulatedHead:
    """One aimsim process and the path of the terminal it plays the head on."""

    def __init__(self, aimsim: Path, options: List[str]) -> None:
        if not aimsim.exists():
            raise RuntimeError(f"{aimsim}: no simulator; build it first or set AIMSIM")
        self.process = subprocess.Popen(
            [str(aimsim), *options], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
        )
        ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT)
        self.device = self.process.stdout.readline().strip() if ready else ""  # type: ignore[union-attr]
        if not self.device:
            self.stop()
            raise RuntimeError(f"{aimsim} {' '.join(options)}: printed no terminal path within {START_TIMEOUT} s")

    def stop(self) -> None:
        # Only the process this object started, through its own handle.
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(STOP_TIMEOUT)
        self.process.stdout.close()  # type: ignore[union-attr]

    def __enter__(self) -> SimulatedHead:
        return self

    def __exit__(self, *_: object) -> None:
        self.stop()
