"""A real browser through the whole login: headless Chromium asks for a
file, lands on the emulator's login page, picks an identity, comes back
through "/redirect" and sees the data. Chromium trusts the test CA through
its own certificate database; certificate errors are never ignored.

Runs with the integration tests (tests/integration/run collects
tests/browser) inside their namespace."""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

from kalder_harness import PKI, wait_for

webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is not installed")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.common.exceptions import (  # noqa: E402
    NoSuchElementException, StaleElementReferenceException, WebDriverException)
from selenium.webdriver.common.by import By  # noqa: E402

CHROMEDRIVER = shutil.which("chromedriver")
CERTUTIL = shutil.which("certutil")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

pytestmark = pytest.mark.skipif(not (CHROMEDRIVER and CERTUTIL and CHROMIUM),
                                reason="needs chromium, chromium-driver and certutil (libnss3-tools)")


@pytest.fixture
def browser():
    home = pathlib.Path(tempfile.mkdtemp(prefix="kalder-browser-"))
    nssdb = home / ".pki" / "nssdb"
    nssdb.mkdir(parents=True)
    # Chromium on Linux reads trusted roots from the user's NSS database.
    subprocess.run([CERTUTIL, "-N", "-d", f"sql:{nssdb}", "--empty-password"], check=True)
    subprocess.run([CERTUTIL, "-A", "-d", f"sql:{nssdb}", "-n", "kalder test CA", "-t", "C,,",
                    "-i", str(PKI / "ca.crt")], check=True)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 f"--user-data-dir={home / 'profile'}"):
        options.add_argument(flag)
    env = dict(os.environ, HOME=str(home))
    service = Service(CHROMEDRIVER, env=env, log_path=str(home / "chromedriver.log"))
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(30)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(home, ignore_errors=True)


def body_text(driver):
    """The page's text, or "" while a navigation replaces the page."""
    try:
        return driver.find_element(By.TAG_NAME, "body").text
    except (StaleElementReferenceException, NoSuchElementException):
        return ""
    except WebDriverException as e:
        # The reload page navigates on its own; a lookup it overtakes is
        # aborted rather than answered.
        if "navigat" in str(e.msg):
            return ""
        raise


@pytest.mark.parametrize("host,path,data", [
    ("mapped.test", "/data.txt", "mapped data"),
    ("guest.test", "/private/secret.txt", "secret data"),
])
def test_browser_logs_in_and_sees_the_data(gateway, browser, host, path, data):
    browser.get(f"https://{host}{path}")
    # The emulator's login page, reached through the gateway's redirect.
    wait_for(lambda: browser.title == "Log in", timeout=20, what="the login page")
    assert browser.current_url.startswith(gateway.emulator.url + "/oauth2/authorize?response_type=code")
    browser.find_element(By.ID, "login-alice").click()

    # Back through /redirect to the data (through the reload page when the
    # content handler answers the first request after login).
    wait_for(lambda: data in body_text(browser), timeout=20, what="the data after login")
    assert browser.current_url == f"https://{host}{path}"
    cookies = {c["name"]: c for c in browser.get_cookies()}
    assert cookies["mod_kalder_OIDC"]["secure"] and cookies["mod_kalder_OIDC"]["httpOnly"]

    calls = [c["endpoint"] for c in gateway.emulator.calls()]
    assert calls.count("code_exchange") == 1, calls
    assert [c["path"] for c in gateway.emulator.calls() if c["endpoint"] == "code_exchange"]

    # Reloading is served from the cookie: no new login.
    browser.refresh()
    wait_for(lambda: data in body_text(browser), timeout=20, what="the data on reload")
    assert [c["endpoint"] for c in gateway.emulator.calls()].count("authorize") == 2  # page + answer


@pytest.mark.parametrize("host,path,data", [
    ("mapped.test", "/reports/mapped.txt", "mapped file through the back end"),
    ("guest.test", "/private/guest.txt", "guest file through the back end"),
])
def test_browser_gets_the_reload_page_then_the_file_from_the_back_end(data_gateway, browser, host, path, data):
    """With the content handler in front of kalder-backend, the first request
    after the login is answered with the small page that reloads the file."""
    from fixtures_data import write_file
    base = data_gateway.root if host == "mapped.test" else data_gateway.share
    write_file(base / path.lstrip("/"), (data + "\n").encode())

    browser.get(f"https://{host}{path}")
    wait_for(lambda: browser.title == "Log in", timeout=20, what="the login page")
    browser.find_element(By.ID, "login-alice").click()
    wait_for(lambda: data in body_text(browser), timeout=20, what="the file after login")
    assert browser.current_url == f"https://{host}{path}"

    # The access log shows the login's return, then the reload page and the
    # file itself: two successful GETs of the path after /redirect.
    lines = data_gateway.httpd.access_log.read_text().splitlines()
    after = lines[next(i for i, line in enumerate(lines) if '"GET /redirect?' in line) + 1:]
    gets = [line for line in after if f'"GET {path} ' in line]
    assert len(gets) >= 2 and all('" 200 ' in line for line in gets[:2]), after
    page, file = (int(line.split('" 200 ')[1].split()[0]) for line in gets[:2])
    assert file == len(data) + 1 and page > file, gets
