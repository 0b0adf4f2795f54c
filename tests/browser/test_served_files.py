"""A file a user uploaded must not run script on the gateway's origin: in
headless Chromium, logged in, an HTML file whose script fetches another
file of the collection gets nothing. With the sandbox policy removed by
mod_headers (what docs/data-path.md, "Protections", warns of) the same page
reads the file, which shows the page would have done it."""
from selenium.webdriver.common.by import By

from fixtures_data import write_file
from kalder_harness import wait_for
from test_login import body_text, browser, pytestmark  # noqa: F401  (fixture and skip mark)

SECRET = "secret of alice"
PAGE = b"""<!doctype html><html><head><title>uploaded</title></head><body>
<p id="out">no script ran</p>
<script>
window.outcome = "script ran";
document.getElementById("out").textContent = "script ran";
fetch("/private/secret.txt").then(r => r.text()).then(t => {
    window.outcome = "read: " + t;
    document.getElementById("out").textContent = "read: " + t;
}, e => { window.outcome = "fetch failed"; });
</script></body></html>
"""


def log_in_to(gateway, browser, url, expect):
    browser.get(url)
    wait_for(lambda: browser.title == "Log in", timeout=20, what="the login page")
    browser.find_element(By.ID, "login-alice").click()
    # Back through /redirect and the reload page (which needs its own script).
    wait_for(lambda: expect in body_text(browser), timeout=20, what=f"{expect!r} after login")


def test_uploaded_html_cannot_read_other_files(data_gateway, browser):
    gw = data_gateway
    gw.httpd.add("<Location /open.html>\n    Header unset Content-Security-Policy\n</Location>")
    gw.httpd.install()
    gw.httpd.graceful()
    write_file(gw.root / "private" / "secret.txt", (SECRET + "\n").encode())
    for path in ("page.html", "uploads/page.html", "open.html"):
        write_file(gw.root / path, PAGE)

    # Logged in, the browser holds the cookie the page's fetch would carry.
    log_in_to(gw, browser, "https://mapped.test/private/secret.txt", SECRET)

    # Served as text/html: the sandbox keeps the script from running.
    browser.get("https://mapped.test/page.html")
    assert browser.current_url == "https://mapped.test/page.html"
    assert body_text(browser) == "no script ran"
    assert browser.execute_script("return window.outcome === undefined")
    browser.save_screenshot(str(gw.tmp("sandboxed.png")))

    # Served without a type (the path's directories are not under the
    # DocumentRoot, so mod_mime finds no extension): "nosniff" keeps the
    # browser from taking it for HTML; it shows the text.
    browser.get("https://mapped.test/uploads/page.html")
    assert body_text(browser).startswith("<!doctype html>")
    assert browser.execute_script("return window.outcome === undefined")
    browser.save_screenshot(str(gw.tmp("untyped.png")))

    # The same page without the sandbox: its script runs and reads the file.
    browser.get("https://mapped.test/open.html")
    wait_for(lambda: body_text(browser) == "read: " + SECRET, timeout=20, what="the unsandboxed page's fetch")
    browser.save_screenshot(str(gw.tmp("unsandboxed.png")))


def test_download_link_still_saves_the_file(data_gateway, browser, tmp_path):
    # An attachment under the sandbox policy is still saved: the link goes
    # through the reload page (its script runs) to the file itself.
    gw = data_gateway
    write_file(gw.root / "private" / "secret.txt", (SECRET + "\n").encode())
    write_file(gw.root / "report.html", PAGE)
    log_in_to(gw, browser, "https://mapped.test/private/secret.txt", SECRET)
    browser.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(tmp_path)})
    browser.get("https://mapped.test/report.html?download")
    saved = tmp_path / "report.html"
    wait_for(saved.exists, timeout=20, what="the downloaded file")
    assert saved.read_bytes() == PAGE
