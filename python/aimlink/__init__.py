# SPDX-License-Identifier: MIT
"""Drive a motorised pan-tilt camera head on a serial line.

    import aimlink

    with aimlink.Head("/dev/ttyUSB0") as head:
        print(head.move(1000, 1571))      # Position(pan=1000, tilt=1571)

Angles are whole milliradians: pan 0 straight ahead, tilt 1571 level. The
head's travel is pan -1780..1780 and tilt 1037..3171; a request beyond it
stops at the limit (see reachable() and limited()).

The work is done by the C library libaimlink.so.1, found at the path in
AIMLINK_LIBRARY, else beside this package when both were installed into one
prefix, else through the system's library search.

Nothing is printed: the library's messages (rejected frames, silences, a
failed link) go to the logging logger "aimlink", each record with the device
as its ``device`` attribute. Handlers may run on the library's watcher
thread: they must not call the Head back.
"""

from __future__ import annotations

import atexit
import ctypes
import enum
import logging
import math
import operator
import os
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Callable, Literal, NamedTuple, Optional, Type, Union, overload

from . import _native
from ._native import LibraryNotFoundError

__version__ = "1.1.0"

__all__ = [
    "Head",
    "LibraryNotFoundError",
    "Link",
    "LinkError",
    "PortError",
    "Position",
    "library_version",
    "limited",
    "reachable",
    "PAN_MIN",
    "PAN_MAX",
    "TILT_MIN",
    "TILT_MAX",
    "HOME_PAN",
    "HOME_TILT",
]

logger = logging.getLogger("aimlink")
# A library's messages are the application's to show: without this, logging
# would print warnings to standard error when nothing is configured.
logger.addHandler(logging.NullHandler())

PAN_MIN = -1780
PAN_MAX = 1780
TILT_MIN = 1037
TILT_MAX = 3171
HOME_PAN = 0
HOME_TILT = 1571

# The head's frames carry 16-bit counts. Checked here because ctypes would
# silently wrap a larger Python int into int32_t.
_ANGLE_MIN = -32768
_ANGLE_MAX = 32767

# The longest a blocking call stays inside the library at a time: Python runs
# signal handlers between two slices, so Ctrl-C ends a wait within a slice.
_WAIT_SLICE = 0.1

_LOG_LEVELS = {0: logging.ERROR, 1: logging.WARNING, 2: logging.INFO}


class Link(enum.IntEnum):
    """State of the link to the head."""

    CLOSED = 0  #: not open
    WAITING = 1  #: open; the head has not answered yet
    UP = 2  #: replies are flowing
    SILENT = 3  #: the last frame went unanswered within the reply time-out
    FAILED = 4  #: hang-up or I/O error: close() and open() again


class Position(NamedTuple):
    """Pan and tilt in milliradians."""

    pan: int
    tilt: int


class PortError(OSError):
    """The device cannot be opened, locked or configured.

    ``errno`` says why and ``filename`` names the device."""


class LinkError(OSError):
    """The link to the head failed: hang-up, unplugged adapter or I/O error.

    ``filename`` names the device. close() and open() again to recover."""

    def __str__(self) -> str:
        # The library's reason names the device already, and there is no errno.
        return str(self.strerror)


def library_version() -> str:
    """Version of the libaimlink.so.1 in use, "MAJOR.MINOR.PATCH"."""
    return _text(_native.library().aimlink_version())


def reachable(pan: int, tilt: int) -> bool:
    """True when pan, tilt lies within the head's travel."""
    return _reach(pan, tilt)[0]


def limited(pan: int, tilt: int) -> Position:
    """Where a move to pan, tilt stops: the request limited to the travel."""
    return _reach(pan, tilt)[1]


def _reach(pan: int, tilt: int) -> tuple[bool, Position]:
    stop = _native.Angles()
    status = _native.library().aimlink_reachable(_angle("pan", pan), _angle("tilt", tilt), ctypes.byref(stop))
    if status < 0:
        raise ValueError(f"pan {pan} tilt {tilt}: {_strerror(status)}")
    return status == 1, Position(stop.pan, stop.tilt)


def _angle(name: str, value: int) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number of milliradians, got {value!r}") from None
    if not _ANGLE_MIN <= number <= _ANGLE_MAX:
        raise ValueError(f"{name} must be from {_ANGLE_MIN} to {_ANGLE_MAX} milliradians, got {number}")
    return number


def _text(raw: Optional[bytes]) -> str:
    return raw.decode("utf-8", errors="replace") if raw else ""


def _strerror(status: int) -> str:
    return _text(_native.library().aimlink_strerror(status))


def _handler_for(device: str) -> Any:
    """The library's message handler for one head: each message goes to the
    logger naming the device once, which records also carry as ``device``."""

    def log(_user: Optional[int], level: int, message: Optional[bytes]) -> None:
        # Runs on the watcher thread or the caller's; ctypes holds the GIL meanwhile.
        _in_handler.active = True
        try:
            text = _text(message).removeprefix("aimlink: ")
            if not text.startswith(device):
                text = f"{device}: {text}"
            logger.log(_LOG_LEVELS.get(level, logging.INFO), "%s", text, extra={"device": device})
        finally:
            _in_handler.active = False

    return _native.HANDLER(log)


# Set while a thread runs a message handler, on a watcher thread as a rule.
_in_handler = threading.local()


def _free(lib: ctypes.CDLL, handle: Any, handler: Any) -> None:
    # Takes the handler along so that its trampoline outlives the handle
    # that may call it.
    if getattr(_in_handler, "active", False):
        # The collector ran inside a handler, perhaps on the very watcher
        # that freeing joins: free from a thread of its own instead.
        threading.Thread(target=_free, args=(lib, handle, handler), name="aimlink-free").start()
        return
    lib.aimlink_free(handle)


# Heads still referenced when the interpreter exits.
_heads: weakref.WeakSet[Head] = weakref.WeakSet()


@atexit.register
def _close_at_exit() -> None:
    # Their watchers stop while the interpreter can still take their
    # messages. They are closed, not freed: a daemon thread may still be
    # inside a call on one, and the process's end frees the memory.
    for head in list(_heads):
        head.close()


class Head:
    """One head on one serial device.

    Opens the device, sends the initialise frame (unless initialise is
    False) and waits up to connect_timeout seconds for the head's first
    answer (None: don't wait). Use it in a ``with`` block, or call close():
    the port is locked while the head is open. A Head dropped unclosed
    releases its port when it is garbage-collected.

    device defaults to the environment variable AIMLINK_DEVICE, else
    /dev/ttyS3. reply_timeout is the time in seconds after which an
    unanswered frame counts as lost. three_wire switches RTS/CTS flow control
    off, for cables with only transmit, receive and ground.

    Raises PortError when the device cannot be used, TimeoutError when the
    head does not answer, ValueError for a bad option, LibraryNotFoundError
    without libaimlink.so.1.
    """

    def __init__(
        self,
        device: Union[str, os.PathLike[str], None] = None,
        baud: int = 9600,
        initialise: bool = True,
        *,
        reply_timeout: float = 1.0,
        three_wire: bool = False,
        connect_timeout: Optional[float] = 3.0,
    ) -> None:
        self._lib = _native.library()
        handle = self._lib.aimlink_new(os.fsencode(device) if device else None)
        if not handle:
            number = ctypes.get_errno()
            raise OSError(number, f"cannot create a handle: {os.strerror(number)}", device)
        self._handle = handle
        self._handler = _handler_for(self.device)
        self._finalizer = weakref.finalize(self, _free, self._lib, handle, self._handler)
        self._finalizer.atexit = False
        _heads.add(self)
        try:
            self._configure(baud, initialise, reply_timeout, three_wire)
            self.open(connect_timeout)
        except BaseException:
            self._finalizer()
            raise

    def _configure(self, baud: int, initialise: bool, reply_timeout: float, three_wire: bool) -> None:
        lib, handle = self._lib, self._handle
        if lib.aimlink_set_baud(handle, operator.index(baud)) != _native.OK:
            raise ValueError(f"{self.device}: unsupported line speed {baud} baud")
        timeout_ms = round(reply_timeout * 1000)
        if lib.aimlink_set_reply_timeout(handle, timeout_ms) != _native.OK:
            raise ValueError(f"{self.device}: reply_timeout {reply_timeout} s is outside 0.01 to 60 s")
        self._check(lib.aimlink_set_initialise(handle, 1 if initialise else 0))
        flow = _native.FLOW_OFF if three_wire else _native.FLOW_KEEP
        self._check(lib.aimlink_set_flow_control(handle, flow))
        self._check(lib.aimlink_set_handler(handle, self._handler, None))

    # -- opening and closing -------------------------------------------------

    def open(self, connect_timeout: Optional[float] = 3.0) -> None:
        """Open the device again after close(), for instance once an
        unplugged adapter is back; waits for the head's first answer as the
        constructor does."""
        self._check(self._lib.aimlink_open(self._handle))
        if connect_timeout is None:
            return
        try:
            self.wait_link(connect_timeout)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Stop talking to the head and release the port. Closing twice is harmless."""
        if self._finalizer.alive:
            self._lib.aimlink_close(self._handle)

    @property
    def closed(self) -> bool:
        return self.link == Link.CLOSED

    def __enter__(self) -> Head:
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<aimlink.Head {self.device} {self.link.name}>"

    # -- commands -----------------------------------------------------------

    @overload
    def move(self, pan: int, tilt: int, wait: Literal[True] = True, timeout: Optional[float] = 30.0) -> Position: ...

    @overload
    def move(self, pan: int, tilt: int, wait: Literal[False], timeout: Optional[float] = 30.0) -> None: ...

    def move(self, pan: int, tilt: int, wait: bool = True, timeout: Optional[float] = 30.0) -> Optional[Position]:
        """Move to pan, tilt (milliradians).

        With wait, blocks until the head reports the target (or the limit of
        its travel) and returns that report; raises TimeoutError after
        timeout seconds (None: no limit) and LinkError when the link fails.
        Without wait, returns None at once: a move not yet sent is replaced
        by the next one, so a tracker can call it as often as it likes."""
        self._check(self._lib.aimlink_move(self._handle, _angle("pan", pan), _angle("tilt", tilt)))
        return self.wait_arrived(timeout) if wait else None

    @overload
    def home(self, wait: Literal[True] = True, timeout: Optional[float] = 30.0) -> Position: ...

    @overload
    def home(self, wait: Literal[False], timeout: Optional[float] = 30.0) -> None: ...

    def home(self, wait: bool = True, timeout: Optional[float] = 30.0) -> Optional[Position]:
        """Move to the home position, HOME_PAN HOME_TILT, as move() does."""
        self._check(self._lib.aimlink_home(self._handle))
        return self.wait_arrived(timeout) if wait else None

    def initialise(self, timeout: Optional[float] = 3.0) -> None:
        """Send the initialise frame; returns once it is written."""
        self._check(self._lib.aimlink_initialise(self._handle))
        if not self._wait(self._lib.aimlink_wait_written, timeout):
            raise self._timeout("did not take the initialise frame", timeout)

    # -- waits --------------------------------------------------------------

    def wait_arrived(self, timeout: Optional[float] = 30.0) -> Position:
        """Block until the head reports the target of the last move or home,
        and return the report. TimeoutError, LinkError as for move()."""
        if not self._wait(self._lib.aimlink_wait_arrived, timeout):
            raise self._timeout(self._not_arrived(), timeout)
        position = self.position
        assert position is not None, "an arrival is a report"
        return position

    def wait_link(self, timeout: Optional[float] = 3.0) -> None:
        """Block until the head has answered since the port was opened."""
        if not self._wait(self._lib.aimlink_wait_link, timeout):
            raise self._timeout("does not answer", timeout)

    def _wait(self, function: Callable[..., int], timeout: Optional[float]) -> bool:
        """Runs a wait of the library in slices; False when time ran out."""
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            remaining = _WAIT_SLICE if deadline is None else deadline - time.monotonic()
            slice_ms = max(0, math.ceil(min(remaining, _WAIT_SLICE) * 1000))
            status = function(self._handle, slice_ms)
            if status != _native.ERR_TIMEOUT:
                self._check(status)
                return True
            if deadline is not None and remaining <= _WAIT_SLICE:
                return False

    def _timeout(self, failure: str, timeout: Optional[float]) -> TimeoutError:
        return TimeoutError(f"{self.device}: the head {failure} within {timeout:g} s")

    def _not_arrived(self) -> str:
        target = self.target
        message = f"did not reach pan {target.pan} tilt {target.tilt}" if target else "did not arrive"
        position = self.position
        if position:
            message += f" (it last reported pan {position.pan} tilt {position.tilt})"
        return message

    # -- state --------------------------------------------------------------

    @property
    def position(self) -> Optional[Position]:
        """The head's last report since open, or None before the first."""
        return self._angles(self._lib.aimlink_position)

    @property
    def target(self) -> Optional[Position]:
        """Where the last move or home will stop, or None before the first."""
        return self._angles(self._lib.aimlink_target)

    @property
    def link(self) -> Link:
        return Link(self._lib.aimlink_link(self._handle))

    @property
    def device(self) -> str:
        return os.fsdecode(self._lib.aimlink_device(self._handle))

    @staticmethod
    def reachable(pan: int, tilt: int) -> bool:
        """True when pan, tilt lies within the head's travel."""
        return reachable(pan, tilt)

    @staticmethod
    def limited(pan: int, tilt: int) -> Position:
        """Where a move to pan, tilt stops: the request limited to the travel."""
        return limited(pan, tilt)

    def _angles(self, function: Callable[..., int]) -> Optional[Position]:
        angles = _native.Angles()
        status = function(self._handle, ctypes.byref(angles))
        if status in (_native.ERR_NO_REPORT, _native.ERR_NO_TARGET):
            return None
        self._check(status)
        return Position(angles.pan, angles.tilt)

    # -- failures -----------------------------------------------------------

    def _check(self, status: int) -> None:
        if status < 0:
            raise self._error(status)

    def _error(self, status: int) -> Exception:
        device = self.device
        reason = _text(self._lib.aimlink_last_error(self._handle)) or f"{device}: {_strerror(status)}"
        if status in (_native.ERR_PORT, _native.ERR_SYSTEM):
            kind = PortError if status == _native.ERR_PORT else OSError
            # OSError puts the device after the reason itself.
            return kind(self._lib.aimlink_last_errno(self._handle), reason.removeprefix(f"{device}: "), device)
        if status == _native.ERR_LINK:
            return LinkError(None, reason, device)
        if status == _native.ERR_CLOSED:
            return ValueError(f"{device}: the head is not open")
        if status == _native.ERR_TIMEOUT:
            return TimeoutError(reason)
        return ValueError(reason)
