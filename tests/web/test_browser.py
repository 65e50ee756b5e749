# SPDX-License-Identifier: MIT
"""The web page in headless Chromium against aimheadd on aimsim: what a
person sees and does. Also takes the page's figures: click to move frame,
position report to marker, and the daemon's CPU with a page open."""

from __future__ import annotations

import json
import os
import statistics
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List

import pytest
from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.by import By
from selenium.webdriver.remote.webdriver import WebDriver

from web_support import Daemon, Simulator, wait_for

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
FIGURES = os.environ.get("WEB_FIGURES")
SCREENSHOT = os.environ.get("WEB_SCREENSHOT")
figures: Dict[str, Any] = {}


def record(name: str, value: Any) -> None:
    figures[name] = value
    if FIGURES:
        Path(FIGURES).write_text(json.dumps(figures, indent=2) + "\n")


def open_browser(directory: Path, width: int, height: int, phone: bool) -> WebDriver:
    options = Options()
    options.binary_location = CHROMIUM
    if phone:
        options.add_experimental_option(
            "mobileEmulation", {"deviceMetrics": {"width": width, "height": height, "pixelRatio": 3, "touch": True}})
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run",
                     f"--user-data-dir={directory / 'chromium'}", f"--window-size={width},{height}"):
        options.add_argument(argument)
    try:
        return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except WebDriverException as error:
        # A missing browser must fail the stage, never skip it.
        pytest.fail(f"cannot start {CHROMIUM} through {CHROMEDRIVER}: {error.msg}")


@pytest.fixture
def browser(directory: Path) -> Iterator[Callable[..., WebDriver]]:
    opened: List[WebDriver] = []

    def start(width: int = 900, height: int = 860, phone: bool = False) -> WebDriver:
        opened.append(open_browser(directory, width, height, phone))
        opened[-1].set_page_load_timeout(20)
        opened[-1].set_script_timeout(20)
        return opened[-1]

    yield start
    for driver in opened:
        driver.quit()


def text(driver: WebDriver, element_id: str) -> str:
    return driver.find_element(By.ID, element_id).text


def marker(driver: WebDriver) -> Dict[str, float] | None:
    return driver.execute_script(
        "const m = document.getElementById('position');"
        "return m.getAttribute('visibility') === 'visible' ? {pan: +m.getAttribute('cx'), tilt: -m.getAttribute('cy')} : null;")


def page_up(driver: WebDriver, url: str) -> None:
    driver.get(url)
    wait_for(lambda: text(driver, "link") == "link up", 10, "the page to show the link up")


def pad_point(driver: WebDriver, pan: int, tilt: int) -> Dict[str, float]:
    """Where on the screen the pad shows pan and tilt."""
    return driver.execute_script(
        "const pad = document.getElementById('pad');"
        "const p = new DOMPoint(arguments[0], -arguments[1]).matrixTransform(pad.getScreenCTM());"
        "return {x: Math.round(p.x), y: Math.round(p.y)};", pan, tilt)


def tap(driver: WebDriver, point: Dict[str, float], kind: str = interaction.POINTER_MOUSE) -> None:
    actions = ActionBuilder(driver, mouse=PointerInput(kind, kind))
    actions.pointer_action.move_to_location(point["x"], point["y"]).pointer_down().pointer_up()
    actions.perform()


def exchange_ms(head: Simulator) -> float:
    """The median time from a position request to its reply on the line."""
    sent = head.frames("->")
    replies = head.frames("<-")
    times = [min(t for t, _ in replies if t > asked) - asked
             for asked, frame in sent if frame.startswith("position") and any(t > asked for t, _ in replies)]
    return round(statistics.median(times) * 1000, 1)


def test_page_shows_the_position(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon],
                                 browser: Callable[..., WebDriver]) -> None:
    web = daemon(simulator("--speed", "0"))
    driver = browser()
    page_up(driver, web.url)
    wait_for(lambda: text(driver, "position-text") == "pan 0, tilt 1571 mrad", 5, "the position")
    assert marker(driver) == {"pan": 0, "tilt": 1571}
    assert driver.find_element(By.ID, "banner").is_displayed() is False


def test_click_moves_and_the_marker_follows(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon],
                                            browser: Callable[..., WebDriver]) -> None:
    head = simulator("--speed", "500")
    web = daemon(head)
    web.presets.write_text(json.dumps({"presets": {"door": {"pan": -500, "tilt": 2571},
                                                   "desk": {"pan": 700, "tilt": 1201}}}))
    driver = browser()
    page_up(driver, web.url)
    # The page notes when each state reached the marker, beside when the daemon had it.
    driver.execute_script(
        "window.markerLags = [];"
        "const m = document.getElementById('position');"
        "new MutationObserver(() => { const at = +m.dataset.at;"
        "  requestAnimationFrame(() => window.markerLags.push(Date.now() - at)); })"
        ".observe(m, {attributes: true, attributeFilter: ['cx', 'cy']});")
    # The click's time as the page saw it, on the monotonic clock of aimsim's trace.
    driver.execute_script(
        "document.getElementById('pad').addEventListener('pointerdown',"
        "  (event) => { window.clickedAt = performance.timeOrigin + event.timeStamp; }, {capture: true});")
    point = pad_point(driver, 900, 2200)
    before = time.monotonic()
    tap(driver, point)
    moves = wait_for(lambda: [t for t, frame in head.frames() if frame.startswith("move") and t >= before], 5,
                     "the move frame on the line")
    clicked = driver.execute_script("return window.clickedAt") / 1000 - time.time() + time.monotonic()
    record("click_to_move_frame_ms", round((moves[0] - clicked) * 1000, 1))
    record("one_exchange_ms", exchange_ms(head))
    # The page's own part: from the click to the daemon's answer to its move.
    answered = driver.execute_script(
        "const e = performance.getEntriesByType('resource').find((r) => r.name.endsWith('/api/move'));"
        "return e && performance.timeOrigin + e.responseEnd - window.clickedAt;")
    record("click_to_move_reply_ms", round(answered, 1))

    seen: List[Dict[str, float]] = []

    def arrived() -> bool:
        seen.append(marker(driver))
        target = driver.execute_script("return document.getElementById('target').getAttribute('transform')")
        return target is not None and text(driver, "position-text") == text(driver, "target-text")

    wait_for(arrived, 10, "the marker to reach the target")
    pans = [m["pan"] for m in seen if m]
    assert len(set(pans)) >= 3 and pans == sorted(pans), pans  # it moved through, not jumped
    # The last look may have come just before the final state was drawn.
    final = wait_for(lambda: (lambda m: m if m and abs(m["pan"] - 900) <= 6 else None)(marker(driver)), 2,
                     "the marker at the target")
    assert abs(final["tilt"] - 2200) <= 6, final
    # How fast it follows is a figure for the benchmark, not a pass mark here.
    lags = driver.execute_script("return window.markerLags")
    assert len(lags) >= 3, lags
    record("report_to_marker_ms", {"median": statistics.median(lags), "max": max(lags), "count": len(lags)})
    if SCREENSHOT:
        wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "button[data-preset]"), 5, "the preset buttons")
        driver.save_screenshot(SCREENSHOT)


def test_a_tap_aims_on_a_phone_sized_screen(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon],
                                            browser: Callable[..., WebDriver]) -> None:
    web = daemon(simulator("--speed", "0"))
    driver = browser(390, 844, phone=True)
    page_up(driver, web.url)
    pad_width = driver.execute_script("return document.getElementById('pad').getBoundingClientRect().width")
    assert 300 <= pad_width <= 390
    tap(driver, pad_point(driver, -1000, 1300), interaction.POINTER_TOUCH)
    wait_for(lambda: (lambda m: m and abs(m["pan"] + 1000) <= 20 and abs(m["tilt"] - 1300) <= 20)(marker(driver)), 5,
             "the head to follow the tap")


def test_a_preset_button_recalls_a_saved_view(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon],
                                              browser: Callable[..., WebDriver]) -> None:
    web = daemon(simulator("--speed", "0"))
    web.presets.write_text(json.dumps({"presets": {"door": {"pan": -500, "tilt": 2571},
                                                   "desk": {"pan": 700, "tilt": 1200}}}))
    driver = browser()
    page_up(driver, web.url)
    button = wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "button[data-preset='door']"), 5,
                      "the preset buttons")[0]
    wait_for(button.is_enabled, 5, "the preset button to be enabled")
    button.click()
    wait_for(lambda: text(driver, "position-text") == "pan -500, tilt 2571 mrad", 5, "the head at the preset")
    assert marker(driver) == {"pan": -500, "tilt": 2571}


def test_a_link_failure_shows_on_the_page(simulator: Callable[..., Simulator], daemon: Callable[..., Daemon],
                                          browser: Callable[..., WebDriver]) -> None:
    web = daemon(simulator("--speed", "0", "--hangup-after", "50"))
    driver = browser()
    driver.get(web.url)
    banner = driver.find_element(By.ID, "banner")
    wait_for(banner.is_displayed, 20, "the link failure on the page")
    assert "link to the head is down" in banner.text
    assert text(driver, "link") != "link up"
    assert not driver.find_element(By.ID, "home").is_enabled()
    assert driver.execute_script("return getComputedStyle(document.getElementById('pad')).pointerEvents") == "none"


def cpu_seconds(pid: int) -> float:
    """CPU time of every thread of pid, in seconds."""
    return sum(int((task / "schedstat").read_text().split()[0]) for task in Path(f"/proc/{pid}/task").iterdir()) / 1e9


def test_an_open_page_costs_the_idle_daemon_little(simulator: Callable[..., Simulator],
                                                   daemon: Callable[..., Daemon],
                                                   browser: Callable[..., WebDriver]) -> None:
    web = daemon(simulator("--speed", "0"))
    pid = web.process.pid
    window = 4.0

    def cpu_over_window() -> float:
        before = cpu_seconds(pid)
        time.sleep(window)
        return cpu_seconds(pid) - before

    time.sleep(1)
    alone = cpu_over_window()
    driver = browser()
    page_up(driver, web.url)
    time.sleep(3)  # the page's other connections close after their keep-alive
    with_page = cpu_over_window()
    record("daemon_cpu_ms_per_s", {"alone": round(alone / window * 1000, 2), "page_open": round(with_page / window * 1000, 2)})
    # The target (twice the daemon alone) is the benchmark's to show; this only
    # catches a page that keeps the daemon busy, such as one that polls.
    assert with_page <= 10 * alone + 0.05, (alone, with_page)
