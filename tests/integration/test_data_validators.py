"""Sizes, validators, conditional requests, digests and directory listings
through the real server and kalder-backend, with curl and wget as the
clients: resumed downloads, revalidation, guarded uploads and deletes."""
import base64
import hashlib
import json
import os
import re
import subprocess

import pytest

from fixtures_auth import scenario
from fixtures_data import numbered, write_file
from kalder_harness import PKI

BLOCK = 1 << 20


def replace(path, data):
    """Replaces the file the way an upload does: a new inode renamed over it."""
    fresh = path.with_name(path.name + ".new")
    fresh.write_bytes(data)
    os.replace(fresh, path)


def other(size: int) -> bytes:
    """Content of the same shape as numbered() that no offset of it shares."""
    return numbered(size).replace(b"abcdefghij", b"JIHGFEDCBA")


def run_curl(gw, path, out, *args, http="1.1"):
    """curl as a user runs it; returns (status, bytes received, exit code, headers text)."""
    head = gw.tmp("head")
    proc = subprocess.run(["curl", "-sS", "--http2" if http == "2" else "--http1.1", "-D", str(head),
                           "-H", f"Authorization: Bearer {gw.tok('alice')}", "-o", str(out),
                           "-w", "%{http_code} %{size_download}", *args, f"https://mapped.test{path}"],
                          capture_output=True, timeout=120)
    status, size = proc.stdout.decode().split()
    return int(status), int(size), proc.returncode, head.read_text(errors="replace") if head.exists() else ""


def run_wget(gw, path, out, *args):
    """wget -c (resuming into `out`); returns (exit code, the server's answer as wget printed it)."""
    proc = subprocess.run(["wget", "-c", "-S", "-nv", "--ca-certificate", str(PKI / "ca.crt"),
                           "--header", f"Authorization: Bearer {gw.tok('alice')}", "-O", str(out), *args,
                           f"https://mapped.test{path}"], capture_output=True, timeout=120)
    return proc.returncode, proc.stderr.decode(errors="replace")


def statuses(gw, path):
    """The statuses of the access log's GETs of the path, in order."""
    return [int(m.group(1)) for m in re.finditer(rf'"GET {re.escape(path)} HTTP/[0-9.]+" (\d+) ',
                                                 gw.httpd.access_log.read_text())]


def test_downloads_know_their_size_and_resume_byte_identical(data_gateway, http):
    gw = data_gateway
    data = numbered(5 * BLOCK + 4321)
    write_file(gw.root / "dl" / "five.dat", data)
    out = gw.tmp("whole")
    status, received, code, head = run_curl(gw, "/dl/five.dat", out, http=http)
    assert (status, received, code) == (200, len(data), 0), head
    assert re.search(rf"(?im)^content-length: {len(data)}\r?$", head), head
    assert re.search(r"(?im)^accept-ranges: bytes\r?$", head), head
    assert out.read_bytes() == data

    # A download cut halfway (not at a block boundary) goes on where it stopped.
    half = len(data) // 2 + 17
    out = write_file(gw.tmp("curl-c"), data[:half])
    status, received, code, head = run_curl(gw, "/dl/five.dat", out, "-C", "-", http=http)
    assert (status, received, code) == (206, len(data) - half, 0), head
    assert re.search(rf"(?im)^content-range: bytes {half}-{len(data) - 1}/{len(data)}\r?$", head), head
    assert out.read_bytes() == data

    out = write_file(gw.tmp("wget-c"), data[:half])
    code, answer = run_wget(gw, "/dl/five.dat", out)
    assert code == 0, answer
    assert "206 Partial Content" in answer and f"Content-Range: bytes {half}-{len(data) - 1}/{len(data)}" in answer
    assert out.read_bytes() == data


def test_resuming_a_replaced_file_with_if_range_never_splices(data_gateway):
    gw = data_gateway
    old, new = numbered(2 * BLOCK + 999), other(3 * BLOCK + 5)
    target = write_file(gw.root / "dl" / "moving.dat", old)
    # A date is a validator a client may use only when it is older than the
    # answer's second: a file written a minute ago.
    st = os.stat(target)
    os.utime(target, ns=(st.st_atime_ns, st.st_mtime_ns - 60_000_000_000))
    r = gw.curl("mapped.test", "/dl/moving.dat", token=gw.tok("alice"), method="HEAD")
    etag, modified = r.one("ETag"), r.one("Last-Modified")
    assert re.fullmatch(r'"[0-9a-f]+-[0-9a-f]+-[0-9a-f]+"', etag or ""), r
    half = len(old) // 2

    # Unchanged: the tag or the exact date keeps the range.
    for validator in (etag, modified):
        r = gw.curl("mapped.test", "/dl/moving.dat", token=gw.tok("alice"),
                    headers={"Range": f"bytes={half}-", "If-Range": validator})
        assert (r.status, r.body) == (206, old[half:]), (validator, r)

    replace(target, new)
    # Replaced: the same tag or date brings the whole new file.
    for validator in (etag, modified):
        r = gw.curl("mapped.test", "/dl/moving.dat", token=gw.tok("alice"),
                    headers={"Range": f"bytes={half}-", "If-Range": validator})
        assert (r.status, r.one("Content-Range"), r.body) == (200, None, new), validator
        assert r.one("ETag") != etag

    # curl -C - with the old tag: the gateway answers the whole file; curl
    # will not write a 200 after a partial file ("Cannot resume") and leaves
    # the partial file as it was, never a splice.
    out = write_file(gw.tmp("curl-c"), old[:half])
    status, _, code, head = run_curl(gw, "/dl/moving.dat", out, "-C", "-", "-H", f"If-Range: {etag}")
    assert status == 200 and code in (0, 33), head
    assert out.read_bytes() in (old[:half], new), "curl spliced the old and the new file"

    # wget -c sends a Range and no validator: with a replaced, larger file it
    # is given the new file's tail, and splices. Given the old tag as
    # If-Range it is given the whole new file, but wget 1.21 takes a 200 to
    # a resumed request for the same file: it skips as many bytes as it
    # already has and splices again. Resuming with wget is safe only while
    # files are not replaced; what is checked here is what the gateway sent.
    out = write_file(gw.tmp("wget-plain"), old[:half])
    code, answer = run_wget(gw, "/dl/moving.dat", out)
    assert code == 0 and "206 Partial Content" in answer, answer
    out = write_file(gw.tmp("wget-if-range"), old[:half])
    code, answer = run_wget(gw, "/dl/moving.dat", out, "--header", f"If-Range: {etag}")
    assert code == 0 and "200 OK" in answer and "206" not in answer, answer
    sent = [(int(s), int(b)) for s, b in re.findall(r'"GET /dl/moving.dat HTTP/1.1" (\d+) (\d+)',
                                                    gw.httpd.access_log.read_text())][-2:]
    assert sent == [(206, len(new) - half), (200, len(new))], sent


@pytest.mark.parametrize("method", ["GET", "HEAD"])
def test_revalidation_answers_304_until_the_file_changes(data_gateway, method):
    gw = data_gateway
    target = write_file(gw.root / "rv.txt", numbered(30000))
    alice = gw.tok("alice")
    r = gw.curl("mapped.test", "/rv.txt", token=alice, method=method)
    assert r.status == 200 and r.one("Content-Length") == "30000", r
    etag, modified = r.one("ETag"), r.one("Last-Modified")
    for headers in ({"If-None-Match": etag}, {"If-None-Match": f'"nope", W/{etag}'}, {"If-None-Match": "*"},
                    {"If-Modified-Since": modified}):
        r = gw.curl("mapped.test", "/rv.txt", token=alice, method=method, headers=headers)
        assert (r.status, r.one("ETag"), r.one("Content-Length")) == (304, etag, None), (headers, r)
        if method == "GET":
            assert r.body == b"", r
    # A tag that does not match decides, whatever the date says.
    r = gw.curl("mapped.test", "/rv.txt", token=alice, method=method,
                headers={"If-None-Match": '"nope"', "If-Modified-Since": modified})
    assert r.status == 200, r

    # Written in place (same inode, same size, a later time): the file is new.
    with open(target, "r+b") as f:
        f.write(b"X")
    st = os.stat(target)
    os.utime(target, ns=(st.st_atime_ns, st.st_mtime_ns + 5_000_000_000))
    for headers in ({"If-None-Match": etag}, {"If-Modified-Since": modified}):
        r = gw.curl("mapped.test", "/rv.txt", token=alice, method=method, headers=headers)
        assert r.status == 200 and r.one("ETag") != etag and r.one("Content-Length") == "30000", (headers, r)
        if method == "GET":
            assert r.body == b"X" + numbered(30000)[1:]


def test_preconditions_guard_put_and_delete(data_gateway, http):
    gw = data_gateway
    alice = gw.tok("alice")
    target = write_file(gw.root / "pc" / "doc.txt", b"first\n")
    stale = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, method="HEAD").one("ETag")
    replace(target, b"second\n")
    current = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, method="HEAD").one("ETag")
    assert stale and current and stale != current
    src = write_file(gw.tmp("src"), b"third\n")

    for headers in ({"If-Match": stale}, {"If-None-Match": "*"}, {"If-None-Match": current},
                    {"If-Match": f"W/{current}"}, {"If-Unmodified-Since": "Thu, 01 Jan 1998 00:00:00 GMT"}):
        r = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, upload=src, headers=headers)
        assert r.status == 412, (headers, r)
        assert target.read_bytes() == b"second\n", headers
        r = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, method="DELETE", headers=headers)
        assert r.status == 412 and target.exists(), (headers, r)
    assert sorted(os.listdir(target.parent)) == ["doc.txt"]

    # If-Match of a file that is not there, If-None-Match: * of one that is not.
    r = gw.curl("mapped.test", "/pc/none.txt", token=alice, http=http, upload=src, headers={"If-Match": current})
    assert r.status == 412 and not (target.parent / "none.txt").exists(), r
    r = gw.curl("mapped.test", "/pc/none.txt", token=alice, http=http, upload=src, headers={"If-None-Match": "*"})
    assert r.status == 200 and (target.parent / "none.txt").read_bytes() == b"third\n", r

    r = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, upload=src, headers={"If-Match": current})
    assert r.status == 200 and target.read_bytes() == b"third\n", r
    # The upload's answer names the version it stored, as a later HEAD does.
    newest = r.one("ETag")
    head = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, method="HEAD")
    assert (newest, r.one("Last-Modified")) == (head.one("ETag"), head.one("Last-Modified")), (r, head)
    r = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, method="DELETE", headers={"If-Match": current})
    assert r.status == 412 and target.exists(), r
    r = gw.curl("mapped.test", "/pc/doc.txt", token=alice, http=http, method="DELETE", headers={"If-Match": newest})
    assert r.status == 204 and not target.exists(), r


def b64(algorithm, data):
    return base64.b64encode(hashlib.new(algorithm, data).digest()).decode()


def test_upload_digest_decides_whether_the_bytes_are_kept(data_gateway):
    gw = data_gateway
    alice = gw.tok("alice")
    (gw.root / "dg").mkdir()
    old, new = numbered(5000), other(3 * BLOCK + 11)
    target = write_file(gw.root / "dg" / "file.dat", old)
    src = write_file(gw.tmp("src"), new)

    # Wrong digest (that of the old bytes), on a replacement and on a new file.
    for name, header, algorithm in (("file.dat", "Content-Digest", "sha-256"), ("fresh.dat", "Repr-Digest", "sha-256"),
                                    ("file.dat", "Content-Digest", "sha-512")):
        value = f"{algorithm}=:{b64(algorithm.replace('-', ''), old)}:"
        r = gw.curl("mapped.test", f"/dg/{name}", token=alice, upload=src, headers={header: value})
        # The text names the header the client sent.
        assert (r.status, r.body) == (
            400, f"The {algorithm} digest of the uploaded bytes does not match {header}.\n".encode()), r
        assert target.read_bytes() == old
        assert sorted(os.listdir(target.parent)) == ["file.dat"], "a rejected upload left something behind"

    for value in ("sha-256=abc", "sha-256=:not base64!:", f"sha-256=:{b64('sha256', new)[:-4]}:"):
        r = gw.curl("mapped.test", "/dg/file.dat", token=alice, upload=src, headers={"Content-Digest": value})
        assert r.status == 400 and r.body.startswith(b"malformed Content-Digest: "), (value, r)
        assert target.read_bytes() == old

    # The right digest: kept. sha-512 decides when both are given.
    r = gw.curl("mapped.test", "/dg/file.dat", token=alice, upload=src,
                headers={"Content-Digest": f"sha-256=:{b64('sha256', new)}:"})
    assert (r.status, target.read_bytes() == new) == (200, True), r
    src = write_file(gw.tmp("src"), old)
    r = gw.curl("mapped.test", "/dg/file.dat", token=alice, upload=src,
                headers={"Content-Digest": f"sha-256=:{b64('sha256', new)}:, sha-512=:{b64('sha512', old)}:"})
    assert (r.status, target.read_bytes() == old) == (200, True), r
    assert sorted(os.listdir(target.parent)) == ["file.dat"]


@pytest.mark.parametrize("host,who,attr", [("mapped.test", "alice", "root"), ("guest.test", "alice", "share")],
                         ids=["mapped", "guest"])
def test_want_repr_digest_gives_the_files_digest(data_gateway, host, who, attr):
    gw = data_gateway
    data = numbered(2 * BLOCK + 77)
    write_file(getattr(gw, attr) / "rd" / "f.dat", data)
    for method in ("GET", "HEAD"):
        r = gw.curl(host, "/rd/f.dat", token=gw.tok(who), method=method, headers={"Want-Repr-Digest": "sha-256=1"})
        assert r.status == 200 and r.one("Repr-Digest") == f"sha-256=:{b64('sha256', data)}:", (method, r)
        if method == "GET":
            assert r.body == data
    r = gw.curl(host, "/rd/f.dat", token=gw.tok(who), method="HEAD", headers={"Want-Repr-Digest": "sha-512=3"})
    assert r.one("Repr-Digest") == f"sha-512=:{b64('sha512', data)}:", r
    r = gw.curl(host, "/rd/f.dat", token=gw.tok(who), method="HEAD")
    assert r.one("Repr-Digest") is None, r


def listing(gw, host, path, token):
    r = gw.curl(host, path, token=token, headers={"Accept": "application/json"})
    assert r.status == 200 and r.one("Content-Type").startswith("application/json"), r
    return json.loads(r.body)


def test_listings_show_the_directory_as_it_is(data_gateway):
    gw = data_gateway
    alice = gw.tok("alice")
    d = gw.root / "docs"
    write_file(d / "a.txt", numbered(12))
    write_file(d / "empty", b"")
    write_file(d / "r\u00e9sum\u00e9 & <b>.txt", numbered(3 * BLOCK + 1))
    write_file(d / "sub" / "inner.txt", b"inner\n")
    os.utime(d / "a.txt", (1_700_000_000, 1_700_000_000))

    body = listing(gw, "mapped.test", "/docs/", alice)
    assert body["path"] == "/docs/" and body["truncated"] is False, body
    got = {e["name"]: e for e in body["entries"]}
    assert set(got) == set(os.listdir(d)), body
    for name, e in got.items():
        st = os.stat(d / name)
        assert e["type"] == ("directory" if (d / name).is_dir() else "file"), e
        if e["type"] == "file":
            assert e["size"] == st.st_size, e
        assert e["mtime"] == int(st.st_mtime), e
    assert got["a.txt"]["modified"] == "Tue, 14 Nov 2023 22:13:20 GMT"

    r = gw.curl("mapped.test", "/docs?x=1&y", token=alice)
    assert (r.status, r.one("Location")) == (301, "/docs/?x=1&y"), r
    r = gw.curl("mapped.test", "/docs/sub", token=alice, headers={"Accept": "application/json"})
    assert r.status == 301 and r.one("Location") == "/docs/sub/", r

    r = gw.curl("mapped.test", "/docs/", token=alice)
    assert r.status == 200 and r.one("Content-Type").startswith("text/html"), r
    page = r.body.decode()
    assert "<title>Index of /docs/</title>" in page and "Parent directory" in page, page
    assert 'href="a.txt"' in page and 'href="sub/"' in page, page
    # A name is escaped as text and encoded as a link.
    assert "<b>" not in page and "&lt;b&gt;" in page, page
    assert 'href="r%C3%A9sum%C3%A9%20%26%20%3Cb%3E.txt"' in page, page
    top = gw.curl("mapped.test", "/", token=alice).body.decode()
    assert "Parent directory" not in top and 'href="docs/"' in top, top


def test_guest_listing_holds_only_what_the_caller_may_read(data_gateway):
    gw = data_gateway
    permissions = scenario(gw.suffix, gw.guest_id)["permissions"]
    permissions[gw.guest_id]["users"]["bob"] = [{"encoded_path": "/", "permissions": "r"},
                                                {"encoded_path": "/closed", "permissions": ""},
                                                {"encoded_path": "/open/secret.txt", "permissions": ""}]
    gw.emulator.patch_scenario({"permissions": permissions})
    for rel in ("top.txt", "open/a.txt", "open/secret.txt", "closed/b.txt", "public/p.txt"):
        write_file(gw.share / rel, rel.encode())
    bob = gw.tok("bob")

    names = {e["name"] for e in listing(gw, "guest.test", "/", bob)["entries"]}
    assert names == {"top.txt", "open", "public"}, names
    names = {e["name"] for e in listing(gw, "guest.test", "/open/", bob)["entries"]}
    assert names == {"a.txt"}, names
    page = gw.curl("guest.test", "/open/", token=bob).body
    assert b"a.txt" in page and b"secret" not in page, page
    # alice reads the whole share: she sees all of it.
    names = {e["name"] for e in listing(gw, "guest.test", "/", gw.tok("alice"))["entries"]}
    assert names == {"top.txt", "open", "closed", "public"}, names
    gw.httpd.expect_log(r"AH01631: user bob@other.org: authorization failure for \"/closed/?\"")
    for path in ("/closed", "/closed/"):
        r = gw.curl("guest.test", path, token=bob, headers={"Accept": "application/json"})
        assert r.status == 403 and b"b.txt" not in r.body, (path, r)
