# SPDX-License-Identifier: MIT
"""Fixtures: a fresh directory, and every child started in it stopped at the end."""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path
from typing import Iterator, List

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from mqtt_support import Child, Watcher  # noqa: E402


@pytest.fixture
def directory() -> Iterator[Path]:
    path = Path(tempfile.mkdtemp(prefix="aimheadd-mqtt-"))
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def started() -> Iterator[List[Child]]:
    """Children to stop, last started first; a daemon must end 0 on SIGTERM."""
    children: List[Child] = []
    yield children
    for child in reversed(children):
        status = child.stop()
        if "aimheadd" in child.log.name and status not in (0, -9):
            raise AssertionError(f"{child.log.name} ended with {status}: {child.errors()}")


@pytest.fixture
def watchers() -> Iterator[List[Watcher]]:
    opened: List[Watcher] = []
    yield opened
    for watcher in opened:
        watcher.close()
