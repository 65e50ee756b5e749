# SPDX-License-Identifier: MIT
"""Each failure of port, head and link, as the exception a caller catches."""

from __future__ import annotations

import errno
import logging
import os
import shutil
import tempfile
from pathlib import Path
from typing import Callable, Iterator

import pytest

import aimlink
from aimlink import Link, Position
from conftest import AIMSIM, PACKAGE_ROOT, run_python
from simulated_head import SimulatedHead

NOBODY = 65534


class TestPort:
    def test_a_missing_device_is_a_port_error_naming_it(self, tmp_path: Path) -> None:
        device = tmp_path / "ttyNONE"
        with pytest.raises(aimlink.PortError) as caught:
            aimlink.Head(device)
        assert caught.value.errno == errno.ENOENT
        assert caught.value.filename == str(device)
        assert isinstance(caught.value, OSError)

    def test_a_port_in_use_is_refused_until_it_is_released(self, fast_head: str) -> None:
        with aimlink.Head(fast_head):
            with pytest.raises(aimlink.PortError, match="in use") as caught:
                aimlink.Head(fast_head)
            assert caught.value.errno != 0 and caught.value.filename == fast_head
        with aimlink.Head(fast_head) as head:
            assert head.link == Link.UP

    def test_a_device_without_permission_is_a_port_error(self, readable_copy: Path) -> None:
        device = readable_copy / "ttyLOCKED"
        device.touch(mode=0o000)
        code = (
            "import aimlink, errno\n"
            "try:\n"
            f"    aimlink.Head({str(device)!r})\n"
            "except aimlink.PortError as error:\n"
            "    print(errno.errorcode[error.errno], error.filename)\n"
        )
        # Root opens any file: the check runs as nobody there.
        prefix = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"] if os.getuid() == 0 else []
        result = run_python(
            code,
            env={"PYTHONPATH": str(readable_copy), "AIMLINK_LIBRARY": str(readable_copy / "libaimlink.so.1")},
            prefix=prefix,
        )
        assert result.stdout.split() == ["EACCES", str(device)], result.stderr


class TestHead:
    def test_a_silent_head_times_out_and_leaves_the_port_free(self, aimsim: Callable[..., str]) -> None:
        device = aimsim("--silent-after", "0")
        with pytest.raises(TimeoutError, match=f"{device}: the head does not answer within 0.5 s"):
            aimlink.Head(device, connect_timeout=0.5)
        with aimlink.Head(device, connect_timeout=None) as head:
            assert head.link == Link.WAITING

    def test_a_head_that_stops_answering_mid_move_times_out(self, aimsim: Callable[..., str]) -> None:
        # The head answers the initialise frame and one more: the move or a
        # position request. Either way no report of the target follows.
        with aimlink.Head(aimsim("--speed", "0", "--silent-after", "2"), reply_timeout=0.2) as head:
            with pytest.raises(TimeoutError, match="did not reach pan 800 tilt 1571"):
                head.move(800, 1571, timeout=1.0)
            assert head.link == Link.SILENT

    def test_a_hang_up_is_a_link_error(self, aimsim: Callable[..., str]) -> None:
        device = aimsim("--speed", "0", "--hangup-after", "2")
        with aimlink.Head(device) as head:
            with pytest.raises(aimlink.LinkError, match="hang-up") as caught:
                head.move(600, 1571, timeout=5)
            assert caught.value.filename == device
            assert head.link == Link.FAILED
            with pytest.raises(aimlink.LinkError):
                head.move(0, 1571)

    def test_after_a_hang_up_close_and_open_recover(self, tmp_path: Path) -> None:
        # An adapter unplugged and plugged in again: the device name comes
        # back, behind it a new line.
        link = str(tmp_path / "head")
        first = SimulatedHead(AIMSIM, ["--speed", "0", "--hangup-after", "2", "--link", link])
        try:
            with aimlink.Head(link) as head:
                with pytest.raises(aimlink.LinkError):
                    head.move(600, 1571, timeout=5)
                first.stop()
                with SimulatedHead(AIMSIM, ["--speed", "0", "--link", link]):
                    head.close()
                    head.open()
                    assert head.move(-600, 1571) == Position(-600, 1571)
        finally:
            first.stop()

    def test_rejections_are_logged_and_the_move_completes(
        self, aimsim: Callable[..., str], caplog: pytest.LogCaptureFixture
    ) -> None:
        device = aimsim("--speed", "0", "--reject", "3")
        with caplog.at_level(logging.INFO, logger="aimlink"):
            with aimlink.Head(device) as head:
                assert head.move(-900, 1571) == Position(-900, 1571)
        warnings = [r for r in caplog.records if r.name == "aimlink" and r.levelno == logging.WARNING]
        assert warnings, "a rejected frame is reported"
        for record in warnings:
            assert record.getMessage().startswith(f"{device}: ") and record.device == device  # type: ignore[attr-defined]

    def test_nothing_is_printed_unless_asked(self, aimsim: Callable[..., str]) -> None:
        device = aimsim("--speed", "0", "--reject", "3", "--hangup-after", "6")
        code = (
            "import aimlink\n"
            f"with aimlink.Head({device!r}) as head:\n"
            "    try:\n"
            "        for pan in (100, 200, 300, 400): head.move(pan, 1571)\n"
            "    except aimlink.LinkError:\n"
            "        print('link failed')\n"
        )
        result = run_python(code)
        assert (result.stdout, result.stderr) == ("link failed\n", "")


class TestLibrary:
    def test_a_missing_library_named_in_the_environment_is_reported(self, tmp_path: Path) -> None:
        missing = str(tmp_path / "libaimlink.so.1")
        code = (
            "import aimlink\n"
            "try:\n"
            "    aimlink.library_version()\n"
            "except aimlink.LibraryNotFoundError as error:\n"
            "    print(error)\n"
        )
        result = run_python(code, env={"AIMLINK_LIBRARY": missing})
        assert result.stdout.startswith(f"aimlink: cannot load AIMLINK_LIBRARY={missing}: "), result.stderr

    def test_without_any_library_the_error_lists_where_it_looked(self, tmp_path: Path) -> None:
        code = (
            "import aimlink\n"
            "try:\n"
            "    aimlink.Head('/dev/null')\n"
            "except aimlink.LibraryNotFoundError as error:\n"
            "    print(error)\n"
        )
        result = run_python(code, env={"AIMLINK_LIBRARY": None, "LD_LIBRARY_PATH": str(tmp_path)})
        assert result.stdout.strip() == (
            "aimlink: libaimlink.so.1 not found; looked at AIMLINK_LIBRARY (not set), "
            "the system's library search path (ld.so.cache, LD_LIBRARY_PATH)"
        ), result.stderr

    def test_the_library_beside_the_package_in_a_prefix_is_found(self, tmp_path: Path) -> None:
        site = tmp_path / "lib" / "python3" / "dist-packages"
        shutil.copytree(PACKAGE_ROOT / "aimlink", site / "aimlink")
        shutil.copy(os.environ["AIMLINK_LIBRARY"], tmp_path / "lib" / "libaimlink.so.1")
        code = "import aimlink; print(aimlink.library_version())"
        result = run_python(code, env={"AIMLINK_LIBRARY": None, "PYTHONPATH": str(site)})
        assert result.stdout.strip() == aimlink.__version__, result.stderr


@pytest.fixture
def readable_copy() -> Iterator[Path]:
    """The package and the library in a folder anyone may read, for a child
    that runs as another user."""
    folder = Path(tempfile.mkdtemp(prefix="aimlink-"))
    try:
        folder.chmod(0o755)
        shutil.copytree(PACKAGE_ROOT / "aimlink", folder / "aimlink")
        shutil.copy(os.environ["AIMLINK_LIBRARY"], folder / "libaimlink.so.1")
        yield folder
    finally:
        shutil.rmtree(folder)
