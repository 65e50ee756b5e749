# SPDX-License-Identifier: MIT
"""Fixtures: a simulated head and aimheadd with its ONVIF port on it; the
directory and the children's ends are the web page tests' own."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from typing import Callable, List

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from onvif_support import Child, OnvifDaemon, Simulator  # noqa: E402

_web = importlib.util.spec_from_file_location("web_conftest", Path(__file__).resolve().parents[2] / "web" / "conftest.py")
assert _web is not None and _web.loader is not None
web_conftest = importlib.util.module_from_spec(_web)
_web.loader.exec_module(web_conftest)
directory = web_conftest.directory
started = web_conftest.started


@pytest.fixture
def head(directory: Path, started: List[Child]) -> Simulator:
    started.append(Simulator(directory, []))
    return started[-1]  # type: ignore[return-value]


@pytest.fixture
def onvif(directory: Path, started: List[Child], head: Simulator) -> Callable[..., OnvifDaemon]:
    def start(*options: str, credentials: bool = True) -> OnvifDaemon:
        started.append(OnvifDaemon(directory, head.link, list(options), credentials))
        return started[-1]  # type: ignore[return-value]

    return start
