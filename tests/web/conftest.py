# SPDX-License-Identifier: MIT
"""Fixtures: a simulated head and aimheadd serving the web page on it."""

from __future__ import annotations

import shutil
import sys
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from web_support import Child, Daemon, Simulator, fresh_directory  # noqa: E402


@pytest.fixture
def directory() -> Iterator[Path]:
    path = fresh_directory()
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def started() -> Iterator[List[Child]]:
    children: List[Child] = []
    yield children
    ended = {child.log.name: child.stop() for child in reversed(children)}
    # A daemon ends 0 on SIGTERM; a sanitizer's report at exit would change that.
    assert ended.get("aimheadd.log", 0) == 0, ended


@pytest.fixture
def simulator(directory: Path, started: List[Child]) -> Callable[..., Simulator]:
    def start(*options: str) -> Simulator:
        started.append(Simulator(directory, list(options)))
        return started[-1]  # type: ignore[return-value]

    return start


@pytest.fixture
def daemon(directory: Path, started: List[Child]) -> Callable[..., Daemon]:
    def start(head: Simulator, address: str = "127.0.0.1", options: List[str] = []) -> Daemon:
        started.append(Daemon(directory, head.link, address, options))
        return started[-1]  # type: ignore[return-value]

    return start
