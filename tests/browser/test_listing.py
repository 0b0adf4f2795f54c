"""Directory listings and revalidation in headless Chromium, logged in: the
listing page shows the directory's entries and its links lead to the
files; a file loaded again is revalidated and answered 304."""
import os
import re
import shutil

from selenium.webdriver.common.by import By

from fixtures_data import numbered, write_file
from kalder_harness import wait_for
from test_login import body_text, browser, pytestmark  # noqa: F401  (fixture and skip mark)
from test_served_files import log_in_to

NOTES = "/work/notes"


def access_statuses(gw, path):
    return [int(s) for s in re.findall(rf'"GET {re.escape(path)} HTTP/[0-9.]+" (\d+) ', gw.httpd.access_log.read_text())]


def test_listing_page_links_to_the_files_and_reloads_revalidate(data_gateway, browser):
    gw = data_gateway
    d = gw.root / "docs"
    write_file(d / "notes.txt", b"the notes of alice\n")
    write_file(d / "big.dat", numbered(3 * (1 << 20)))
    write_file(d / "a & b.txt", b"ampersand\n")
    (d / "sub").mkdir()

    log_in_to(gw, browser, "https://mapped.test/docs/", "Index of /docs/")
    assert browser.title == "Index of /docs/"
    rows = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in browser.find_elements(By.CSS_SELECTOR, "table tr") if row.find_elements(By.TAG_NAME, "td")]
    names = [row[0] for row in rows]
    assert {"notes.txt", "big.dat", "a & b.txt"} <= set(names) and any(n.rstrip("/") == "sub" for n in names), rows
    assert "Parent directory" in body_text(browser)
    big = next(row for row in rows if row[0] == "big.dat")
    assert "3.0 MiB" in " ".join(big), big
    shot = gw.tmp("listing.png")
    browser.save_screenshot(str(shot))
    if os.path.isdir(NOTES):
        shutil.copy(shot, os.path.join(NOTES, "listing.png"))

    # A name with "&" in it is a working link; the link to a file opens it.
    browser.find_element(By.LINK_TEXT, "a & b.txt").click()
    wait_for(lambda: body_text(browser) == "ampersand", timeout=20, what="the file behind the link")
    assert browser.current_url == "https://mapped.test/docs/a%20%26%20b.txt"
    browser.back()
    wait_for(lambda: browser.title == "Index of /docs/", timeout=20, what="the listing again")
    browser.find_element(By.LINK_TEXT, "notes.txt").click()
    wait_for(lambda: body_text(browser) == "the notes of alice", timeout=20, what="the file behind the link")
    assert browser.current_url == "https://mapped.test/docs/notes.txt"

    # Reloading asks again with the validators the browser kept: 304, and
    # the page still shows the file.
    before = access_statuses(gw, "/docs/notes.txt")
    assert before and before[-1] == 200, before
    browser.refresh()
    wait_for(lambda: len(access_statuses(gw, "/docs/notes.txt")) > len(before), timeout=20,
             what="the reload in the access log")
    assert access_statuses(gw, "/docs/notes.txt")[len(before):] == [304]
    assert body_text(browser) == "the notes of alice"

    # Once the file changes the reload brings the new contents.
    write_file(d / "notes.txt", b"the new notes of alice\n")
    browser.refresh()
    wait_for(lambda: body_text(browser) == "the new notes of alice", timeout=20, what="the changed file")
    assert access_statuses(gw, "/docs/notes.txt")[-1] == 200
