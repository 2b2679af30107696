"""ksym serve's page in a headless browser: the symbol filter, the watch table with moving
values and a write read back, the trend plot, no errors in the console; a screenshot for the
guide. Run by ctest (label browser) with KSYM_TOOL and KSYM_SCREENSHOT set."""
import os
import re
import selectors
import shutil
import signal
import subprocess
import time

import pytest

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if CHROMIUM is None or DRIVER is None:
    pytest.skip("chromium and chromium-driver are not installed (scripts/setup.sh installs them)",
                allow_module_level=True)

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

MOVING = ["Line1.Station2.Motor1.ActualSpeed", "Line1.Station3.Conveyor.Position",
          "Line2.Station1.Temperature"]
SETPOINT = "Line1.Station2.Motor1.Speed"


@pytest.fixture
def server(tmp_path):
    env = dict(os.environ, KSYM_ROOT=str(tmp_path))
    errors = open(tmp_path / "serve.err", "w")
    process = subprocess.Popen([os.environ["KSYM_TOOL"], "serve", "--listen", "127.0.0.1:0"],
                               stdout=subprocess.PIPE, stderr=errors, env=env, text=True)
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    line = process.stdout.readline() if selector.select(timeout=15) else ""
    match = re.match(r"ksym serving (http://127\.0\.0\.1:\d+/)$", line.strip())
    try:
        assert match, "ksym serve did not start: " + line
        yield match.group(1)
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            assert process.wait(timeout=10) == 0
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            errors.close()


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1600,800"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(10)
    try:
        yield driver
    finally:
        driver.quit()


def wait(driver, condition, seconds=10, message=""):
    return WebDriverWait(driver, seconds, poll_frequency=0.1).until(
        lambda _: condition(), message)


def value_of(driver, name):
    return driver.execute_script(
        "const cell = document.querySelector(`#watch tr[data-name='${arguments[0]}'] td.value`);"
        "return cell ? cell.textContent : '';", name)


def listed(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#symbols li')].map((li) => li.dataset.name);")


def filter_symbols(driver, text):
    box = driver.find_element(By.ID, "filter")
    box.clear()
    box.send_keys(text)
    wait(driver, lambda: listed(driver) and all(
        name.lower().startswith(text.lower()) for name in listed(driver)),
        message="filter " + text)


def add(driver, name):
    filter_symbols(driver, name)
    driver.find_element(By.CSS_SELECTOR, f'#symbols li[data-name="{name}"] button.add').click()
    wait(driver, lambda: value_of(driver, name) != "", message="first value of " + name)


def write(driver, name, text):
    row = f'#watch tr[data-name="{name}"]'
    box = driver.find_element(By.CSS_SELECTOR, row + " input.write-value")
    box.clear()
    box.send_keys(text, Keys.ENTER)


def test_page_watches_writes_and_plots(server, browser):
    browser.get(server)
    wait(browser, lambda: browser.find_element(By.ID, "state").text == "connected")
    assert browser.find_element(By.ID, "project").text != ""

    # The filter: any case, only names with the prefix, fewer than all.
    wait(browser, lambda: listed(browser), message="symbols")
    everything = len(listed(browser))
    filter_symbols(browser, "line1.station2.MOTOR1")
    assert 0 < len(listed(browser)) < everything

    for name in MOVING + [SETPOINT]:
        add(browser, name)

    # A setpoint written from its row reads back, and the speed runs toward it.
    write(browser, SETPOINT, "300")
    wait(browser, lambda: value_of(browser, SETPOINT) == "300", message="setpoint read back")
    first = {name: value_of(browser, name) for name in MOVING}
    wait(browser, lambda: all(value_of(browser, name) != first[name] for name in MOVING),
         message="moving values")
    changed = browser.find_element(By.CSS_SELECTOR,
                                   f'#watch tr[data-name="{MOVING[1]}"] td.changed-at').text
    assert re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}$", changed), changed

    # A value that does not fit: the server's reason beside the row, nothing written.
    write(browser, SETPOINT, "40000")
    error = f'#watch tr[data-name="{SETPOINT}"] td.error'
    wait(browser, lambda: "value does not fit" in browser.find_element(By.CSS_SELECTOR, error).text)
    assert value_of(browser, SETPOINT) == "300"

    # The trend: a line per numeric variable, with points, drawn on the canvas.
    wait(browser, lambda: browser.execute_script(
        "const c = window.ksymChart; return c && c.data.datasets.length === 4 &&"
        " c.data.datasets.every((d) => d.data.length >= 3);"), message="trend points")
    time.sleep(1.2)  # the plot redraws once a second
    painted = browser.execute_script(
        "const canvas = document.getElementById('trend');"
        "const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);"
        "let n = 0; for (let i = 3; i < pixels.data.length; i += 4) { if (pixels.data[i]) n++; }"
        "return n;")
    assert painted > 2000, painted

    # The page as the guide shows it.
    shot = os.environ.get("KSYM_SCREENSHOT")
    if shot:
        browser.save_screenshot(shot)

    # Removing a row takes it and its line away.
    browser.find_element(By.CSS_SELECTOR,
                         f'#watch tr[data-name="{SETPOINT}"] button.remove').click()
    wait(browser, lambda: not browser.find_elements(By.CSS_SELECTOR,
                                                    f'#watch tr[data-name="{SETPOINT}"]'))
    assert browser.execute_script("return window.ksymChart.data.datasets.length") == 3

    # The browser logs the refused write's answer as a failed load; that one was asked for.
    severe = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE" and
              not (entry["source"] == "network" and "/api/write" in entry["message"] and
                   "status of 400" in entry["message"])]
    assert severe == []
