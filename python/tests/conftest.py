# SPDX-License-Identifier: MIT
"""Simulated heads and child interpreters for the tests.

The library is the one AIMLINK_LIBRARY names and the simulator the one AIMSIM
names; both default to the build tree's build/default, so that
`python3 -m pytest python/tests` works straight after a default build.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional

import pytest

from simulated_head import SimulatedHead

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
BUILD = PACKAGE_ROOT.parent / "build" / "default"
os.environ.setdefault("AIMLINK_LIBRARY", str(BUILD / "lib" / "libaimlink.so.1"))
AIMSIM = Path(os.environ.get("AIMSIM", BUILD / "bin" / "aimsim"))


@pytest.fixture
def aimsim() -> Iterator[Callable[..., str]]:
    """Starts simulated heads with aimsim's options; returns each one's device."""
    started: List[SimulatedHead] = []

    def start(*options: str) -> str:
        try:
            started.append(SimulatedHead(AIMSIM, list(options)))
        except RuntimeError as error:
            pytest.fail(str(error))
        return started[-1].device

    yield start
    for simulator in started:
        simulator.stop()


@pytest.fixture
def fast_head(aimsim: Callable[..., str]) -> str:
    """A simulated head that travels at once."""
    return aimsim("--speed", "0")


def run_python(
    code: str,
    env: Optional[Dict[str, Optional[str]]] = None,
    timeout: float = 20.0,
    prefix: Optional[List[str]] = None,
) -> subprocess.CompletedProcess[str]:
    """Runs code in a child interpreter that imports this package; env
    entries of None are removed from the child's environment."""
    child_env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    for name, value in (env or {}).items():
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = value
    command = [*(prefix or []), sys.executable, "-c", code]
    # From "/", so that the folder it starts in cannot supply a package of the same name.
    return subprocess.run(command, env=child_env, capture_output=True, text=True, timeout=timeout, cwd="/")
