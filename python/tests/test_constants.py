# SPDX-License-Identifier: MIT
"""The package's copies of the library's constants agree with its header."""
import re
from pathlib import Path

import pytest

import aimlink
from aimlink import _native

HEADER = Path(__file__).resolve().parents[2] / "src" / "aimlink.h"
if not HEADER.exists():
    pytest.skip(f"{HEADER}: the source tree is not here", allow_module_level=True)


def header_value(name):
    text = HEADER.read_text()
    define = re.search(rf"#define AIMLINK_{name} \(?(-?\d+)\)?", text)
    if define:
        return int(define.group(1))
    enumerator = re.search(rf"AIMLINK_{name} = (-?\d+)", text)
    assert enumerator, f"AIMLINK_{name} is not in {HEADER}"
    return int(enumerator.group(1))


def test_travel_and_home_are_the_headers():
    for name in ("PAN_MIN", "PAN_MAX", "TILT_MIN", "TILT_MAX", "HOME_PAN", "HOME_TILT"):
        assert getattr(aimlink, name) == header_value(name), name


def test_status_codes_are_the_headers():
    for name in ("ERR_ARGUMENT", "ERR_PORT", "ERR_TIMEOUT", "ERR_LINK", "ERR_CLOSED", "ERR_OPEN", "ERR_SYSTEM",
                 "ERR_NO_REPORT", "ERR_NO_TARGET"):
        assert getattr(_native, name) == header_value(name), name
