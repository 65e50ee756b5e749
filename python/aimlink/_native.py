# SPDX-License-Identifier: MIT
"""Finding libaimlink.so.1 and declaring its C interface to ctypes.

Every prototype is declared with exact types (int32_t, int, pointers) so that
the same code is right on 64-bit and on 32-bit builds of the library: ctypes
would otherwise take every result for a C int and cut a 64-bit pointer in two.
"""

from __future__ import annotations

import ctypes
import os
import sysconfig
import threading
from pathlib import Path
from typing import List, Optional

LIBRARY_NAME = "libaimlink.so.1"
LIBRARY_VARIABLE = "AIMLINK_LIBRARY"

# Status codes of the handle calls.
OK = 0
ERR_ARGUMENT = -1
ERR_PORT = -2
ERR_TIMEOUT = -3
ERR_LINK = -4
ERR_CLOSED = -5
ERR_OPEN = -6
ERR_SYSTEM = -7
ERR_NO_REPORT = -8
ERR_NO_TARGET = -9

FLOW_KEEP = 0
FLOW_OFF = 1


class LibraryNotFoundError(OSError):
    """libaimlink.so.1 could not be loaded; the message says where it was looked for."""


# Shown, and raised, as part of the public package.
LibraryNotFoundError.__module__ = "aimlink"


class Angles(ctypes.Structure):
    _fields_ = [("pan", ctypes.c_int32), ("tilt", ctypes.c_int32)]


class _Head(ctypes.Structure):
    """The library's opaque aimlink_head: only ever handled through a pointer."""


HeadPointer = ctypes.POINTER(_Head)

# void (*)(void *user, int level, const char *message)
HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)

_c_int = ctypes.c_int
_c_int32 = ctypes.c_int32
_c_char_p = ctypes.c_char_p
_angles_p = ctypes.POINTER(Angles)

_PROTOTYPES = {
    "aimlink_version": (_c_char_p, []),
    "aimlink_strerror": (_c_char_p, [_c_int]),
    "aimlink_new": (HeadPointer, [_c_char_p]),
    "aimlink_free": (None, [HeadPointer]),
    "aimlink_set_baud": (_c_int, [HeadPointer, _c_int]),
    "aimlink_set_initialise": (_c_int, [HeadPointer, _c_int]),
    "aimlink_set_reply_timeout": (_c_int, [HeadPointer, _c_int]),
    "aimlink_set_flow_control": (_c_int, [HeadPointer, _c_int]),
    "aimlink_set_handler": (_c_int, [HeadPointer, HANDLER, ctypes.c_void_p]),
    "aimlink_open": (_c_int, [HeadPointer]),
    "aimlink_close": (_c_int, [HeadPointer]),
    "aimlink_move": (_c_int, [HeadPointer, _c_int32, _c_int32]),
    "aimlink_home": (_c_int, [HeadPointer]),
    "aimlink_initialise": (_c_int, [HeadPointer]),
    "aimlink_wait_written": (_c_int, [HeadPointer, _c_int]),
    "aimlink_wait_arrived": (_c_int, [HeadPointer, _c_int]),
    "aimlink_wait_link": (_c_int, [HeadPointer, _c_int]),
    "aimlink_position": (_c_int, [HeadPointer, _angles_p]),
    "aimlink_target": (_c_int, [HeadPointer, _angles_p]),
    "aimlink_link": (_c_int, [HeadPointer]),
    "aimlink_device": (_c_char_p, [HeadPointer]),
    "aimlink_last_error": (_c_char_p, [HeadPointer]),
    "aimlink_last_errno": (_c_int, [HeadPointer]),
    "aimlink_reachable": (_c_int, [_c_int32, _c_int32, _angles_p]),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library, found and declared on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = _declare(_load())
        return _library


def _load() -> ctypes.CDLL:
    explicit = os.environ.get(LIBRARY_VARIABLE)
    if explicit:
        # A path the caller named is the only one tried: falling back to
        # another copy would hide the mistake.
        try:
            return ctypes.CDLL(explicit, use_errno=True)
        except OSError as error:
            raise LibraryNotFoundError(f"aimlink: cannot load {LIBRARY_VARIABLE}={explicit}: {error}") from None
    looked: List[str] = [f"{LIBRARY_VARIABLE} (not set)"]
    for candidate in _beside_package():
        looked.append(str(candidate))
        if candidate.exists():
            return ctypes.CDLL(str(candidate), use_errno=True)
    looked.append("the system's library search path (ld.so.cache, LD_LIBRARY_PATH)")
    try:
        # By soname, not find_library("aimlink"): that could pick another
        # major version, whose interface this package does not know.
        return ctypes.CDLL(LIBRARY_NAME, use_errno=True)
    except OSError:
        raise LibraryNotFoundError(f"aimlink: {LIBRARY_NAME} not found; looked at " + ", ".join(looked)) from None


def _beside_package() -> List[Path]:
    """Where the library lies when package and library share a prefix:
    the package in <prefix>/lib/python3*/{dist,site}-packages/aimlink, the
    library in <prefix>/lib/<multiarch> or <prefix>/lib."""
    package = Path(__file__).resolve().parent
    lib = package.parents[2]
    if lib.name != "lib":
        return []
    multiarch = sysconfig.get_config_var("MULTIARCH")
    places = [lib / multiarch] if multiarch else []
    return [place / LIBRARY_NAME for place in places + [lib]]


def _declare(cdll: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(cdll, name)
        function.restype = restype
        function.argtypes = argtypes
    return cdll
