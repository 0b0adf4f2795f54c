"""Uploads, directory preparation and deletion through the real server and
kalder-backend, guest restrictions, and many transfers at once."""
import concurrent.futures
import hashlib
import socket
import ssl
import time

import pytest

from fixtures_data import numbered, sha256_file, write_file, write_large
from kalder_harness import wait_for

BLOCK = 1 << 20


def raw_request(host: str, head: str, body: bytes = b"", close_after: bool = False, timeout: float = 30) -> bytes:
    """Sends exactly these request bytes over TLS (HTTP/1.1) and returns the
    raw answer (or b"" when close_after: the client goes away)."""
    context = ssl.create_default_context()
    context.set_alpn_protocols(["http/1.1"])
    with socket.create_connection(("127.0.0.1", 443), timeout=timeout) as plain:
        with context.wrap_socket(plain, server_hostname=host) as s:
            s.sendall(head.replace("\n", "\r\n").encode() + b"\r\n" + body)
            if close_after:
                # Read what the server sent (its session tickets) first: a
                # close with unread data resets the connection, and a reset
                # that overtakes the request discards it unread, so the
                # server would never see an upload to abort.
                s.settimeout(0.3)
                try:
                    while s.recv(65536):
                        pass
                except (TimeoutError, ssl.SSLError, OSError):
                    pass
                return b""
            answer = b""
            while True:
                try:
                    piece = s.recv(65536)
                except (ssl.SSLError, OSError):
                    break
                if not piece:
                    break
                answer += piece
            return answer


def test_put_stores_new_and_replacing_files(data_gateway, http):
    gw = data_gateway
    token = gw.tok("alice")
    (gw.root / "up").mkdir()
    for size in [1, 8000, BLOCK + 3, 5 * BLOCK + 77]:
        src = write_file(gw.tmp("src"), numbered(size))
        r = gw.curl("mapped.test", f"/up/new-{size}.dat", token=token, http=http, upload=src)
        assert (r.status, r.body) == (200, b""), r
        assert (gw.root / "up" / f"new-{size}.dat").read_bytes() == numbered(size)
    # Replacing a longer file with a shorter one leaves nothing of the old.
    target = write_file(gw.root / "up" / "replace.dat", numbered(3 * BLOCK))
    src = write_file(gw.tmp("src"), b"short\n")
    r = gw.curl("mapped.test", "/up/replace.dat", token=token, http=http, upload=src)
    assert r.status == 200, r
    assert target.read_bytes() == b"short\n"
    r = gw.curl("mapped.test", "/up/replace.dat", token=token, http=http)
    assert r.body == b"short\n"


def test_put_with_content_length_zero_stores_an_empty_file(data_gateway, http):
    gw = data_gateway
    write_file(gw.root / "empty.dat", b"old contents")
    r = gw.curl("mapped.test", "/empty.dat", token=gw.tok("alice"), http=http, method="PUT", data=b"")
    assert r.status == 200, r
    assert (gw.root / "empty.dat").read_bytes() == b""


def test_large_upload_is_byte_identical(data_gateway, http):
    gw = data_gateway
    src = gw.tmp("large")
    digest = write_large(src, 200 * BLOCK + 5)
    r = gw.curl("mapped.test", "/large-up.dat", token=gw.tok("alice"), http=http, upload=src)
    assert r.status == 200, r
    assert sha256_file(gw.root / "large-up.dat") == digest


@pytest.mark.parametrize("length", ["12x", "-1", "", "0x10", "99999999999999999999999"])
def test_malformed_content_length_answers_400(data_gateway, length):
    gw = data_gateway
    answer = raw_request("mapped.test", f"PUT /bad.dat HTTP/1.1\nHost: mapped.test\n"
                                        f"Authorization: Bearer {gw.tok('alice')}\n"
                                        f"Content-Length: {length}\nConnection: close\n", b"12345")
    assert answer.startswith(b"HTTP/1.1 400 "), answer[:200]
    assert not (gw.root / "bad.dat").exists()


def test_put_without_length_or_with_range_is_refused(data_gateway, http):
    gw = data_gateway
    token = gw.tok("alice")
    src = write_file(gw.tmp("src"), b"x" * 100)
    # A Range header: 400 without contacting the back end.
    r = gw.curl("mapped.test", "/ranged.dat", token=token, http=http, upload=src, headers={"Range": "bytes=0-9"})
    assert r.status == 400, r
    # A body of unknown length (chunked in HTTP/1.1, no content-length in
    # HTTP/2): refused by the body set-up.
    r = gw.curl("mapped.test", "/chunked.dat", token=token, http=http, stdin=b"abc" * 1000)
    if http == "2" and r.status == 0 and "(92)" in r.stderr:
        # curl may still be sending when the stream is reset after the
        # answer (RFC 9113 allows the server to answer early) and then
        # reports the reset instead of the answer: the server's account.
        wait_for(lambda: 'PUT /chunked.dat HTTP/2.0" 411' in gw.httpd.access_log.read_text(), timeout=10,
                 what="the 411 in the access log")
    else:
        assert r.status == 411, r
    assert not (gw.root / "ranged.dat").exists() and not (gw.root / "chunked.dat").exists()
    assert "receive" not in gw.backend.log_text()


def test_upload_cut_short_leaves_the_old_file_intact(data_gateway):
    gw = data_gateway
    old = write_file(gw.root / "keep.dat", numbered(2 * BLOCK))
    token = gw.tok("alice")
    # HTTP/1.1: the client announces 20 MiB, sends 3 MiB and goes away.
    raw_request("mapped.test", f"PUT /keep.dat HTTP/1.1\nHost: mapped.test\nAuthorization: Bearer {token}\n"
                               f"Content-Length: {20 * BLOCK}\n", b"y" * (3 * BLOCK), close_after=True)
    wait_for(lambda: "Upload of /keep.dat aborted" in gw.httpd.log_text(), timeout=60,
             what="the aborted upload in the error log")
    wait_for(lambda: "receive /keep.dat" in gw.backend.log_text(), timeout=30, what="the back end's account")
    assert old.read_bytes() == numbered(2 * BLOCK)

    # HTTP/2: curl gives up midway through a slow upload (stream reset).
    src = write_file(gw.tmp("src"), numbered(8 * BLOCK))
    r = gw.curl("mapped.test", "/keep.dat", token=token, http="2", upload=src,
                extra=["--limit-rate", "1M", "--max-time", "2"])
    assert r.exit_code != 0, r
    wait_for(lambda: gw.httpd.log_text().count("Upload of /keep.dat aborted") >= 2, timeout=60,
             what="the second aborted upload")
    time.sleep(0.5)
    assert old.read_bytes() == numbered(2 * BLOCK)
    # The file is still served whole afterwards.
    r = gw.curl("mapped.test", "/keep.dat", token=token, http="2")
    assert r.body == numbered(2 * BLOCK)


def test_back_end_failing_midway_fails_the_upload(data_gateway, http):
    """The back end's receive fails after 500000 bytes and cuts the data
    connection, so the handler's next write to it fails. That write error
    used to end in a 404 without a log line."""
    gw = data_gateway
    old = write_file(gw.root / "keep.dat", numbered(2 * BLOCK))
    gw.backend.stop()
    gw.backend.start(extra=["--cut-receive-after", "500000"])
    gw.httpd.expect_log(r"MOD_KALDER: Error writing to the data connection\. \S")
    src = write_file(gw.tmp("src"), numbered(20 * BLOCK))
    r = gw.curl("mapped.test", "/keep.dat", token=gw.tok("alice"), http=http, upload=src)
    if http == "1.1":
        assert r.status == 502, r
        assert r.one("Content-Type") == "text/plain" and r.body.endswith(b"\n") and len(r.body) > 1, r
    else:
        # The answer goes out before the body has all arrived and the stream
        # is then reset, which curl reports as a failure of its own.
        assert r.exit_code != 0 or r.status == 502, r
    assert "MOD_KALDER: Error writing to the data connection. " in gw.httpd.log_text()
    wait_for(lambda: "receive /keep.dat" in gw.backend.log_text(), timeout=30, what="the back end's account")
    assert "failed: The receive was cut after 500000 bytes" in gw.backend.log_text()
    # The back end discarded the transfer: old file intact, no temporary file.
    assert old.read_bytes() == numbered(2 * BLOCK)
    assert [p.name for p in gw.root.iterdir()] == ["keep.dat"]


def test_prepare_creates_missing_parents(data_gateway, http):
    gw = data_gateway
    token = gw.tok("alice")
    r = gw.curl("mapped.test", "/p/q/r/f.txt?prepare", token=token, http=http, method="PUT")
    assert (r.status, r.body) == (200, b""), r
    assert (gw.root / "p" / "q" / "r").is_dir()
    assert not (gw.root / "p" / "q" / "r" / "f.txt").exists()
    made = [line.split("made directory ")[1] for line in gw.backend.log_text().splitlines()
            if "made directory " in line]
    assert made == ["/p", "/p/q", "/p/q/r"], made  # one level at a time, from the top
    # Existing parents: nothing to do; then the upload itself works.
    r = gw.curl("mapped.test", "/p/q/r/f.txt?prepare", token=token, http=http, method="PUT")
    assert r.status == 200, r
    src = write_file(gw.tmp("src"), b"prepared\n")
    r = gw.curl("mapped.test", "/p/q/r/f.txt", token=token, http=http, upload=src)
    assert r.status == 200 and (gw.root / "p/q/r/f.txt").read_bytes() == b"prepared\n"
    # Top-level files have no parent to make.
    r = gw.curl("mapped.test", "/top.txt?prepare", token=token, http=http, method="PUT")
    assert r.status == 200, r
    # Only the missing levels are made.
    (gw.root / "s").mkdir()
    r = gw.curl("mapped.test", "/s/t/u.txt?prepare", token=token, http=http, method="PUT")
    assert r.status == 200 and (gw.root / "s" / "t").is_dir()
    made = [line.split("made directory ")[1] for line in gw.backend.log_text().splitlines()
            if "made directory " in line]
    assert made == ["/p", "/p/q", "/p/q/r", "/s/t"], made


def test_prepare_refuses_a_file_in_the_way(data_gateway, http):
    gw = data_gateway
    write_file(gw.root / "a", b"a file\n")
    r = gw.curl("mapped.test", "/a/b/c.txt?prepare", token=gw.tok("alice"), http=http, method="PUT")
    assert (r.status, r.body) == (404, b"/a exists but is not a directory."), r
    write_file(gw.root / "d" / "e", b"a file\n")
    r = gw.curl("mapped.test", "/d/e/f.txt?prepare", token=gw.tok("alice"), http=http, method="PUT")
    assert (r.status, r.body) == (404, b"/d/e exists but is not a directory."), r


def test_delete_answers_204_then_404(data_gateway, http):
    gw = data_gateway
    write_file(gw.root / "gone.txt", b"bye\n")
    r = gw.curl("mapped.test", "/gone.txt", token=gw.tok("alice"), http=http, method="DELETE")
    assert (r.status, r.body) == (204, b""), r
    assert not (gw.root / "gone.txt").exists()
    r = gw.curl("mapped.test", "/gone.txt", token=gw.tok("alice"), http=http, method="DELETE")
    assert r.status == 404, r
    assert r.one("Content-Type") == "text/plain"
    assert b"/gone.txt" in r.body


def test_guest_read_only_paths_refuse_put_and_delete(data_gateway, http):
    gw = data_gateway
    write_file(gw.share / "ro.txt", b"read only\n")
    write_file(gw.share / "bob" / "mine.txt", b"bob's\n")
    src = write_file(gw.tmp("src"), b"new\n")
    alice, bob = gw.tok("alice"), gw.tok("bob")
    gw.httpd.expect_log(r"AH01631: user (alice@example.org|bob@other.org): authorization failure for \"/ro.txt\"")
    # alice may only read.
    r = gw.curl("guest.test", "/ro.txt", token=alice, http=http, upload=src)
    assert r.status == 403, r
    r = gw.curl("guest.test", "/ro.txt", token=alice, http=http, method="DELETE")
    assert r.status == 403, r
    assert (gw.share / "ro.txt").read_bytes() == b"read only\n"
    # bob writes below /bob/ only.
    r = gw.curl("guest.test", "/bob/new.txt", token=bob, http=http, upload=src)
    assert r.status == 200, r
    assert (gw.share / "bob" / "new.txt").read_bytes() == b"new\n"
    r = gw.curl("guest.test", "/bob/sub/x.txt?prepare", token=bob, http=http, method="PUT")
    assert r.status == 200 and (gw.share / "bob" / "sub").is_dir(), r
    r = gw.curl("guest.test", "/bob/mine.txt", token=bob, http=http, method="DELETE")
    assert r.status == 204, r
    r = gw.curl("guest.test", "/ro.txt", token=bob, http=http, method="DELETE")
    assert r.status == 403, r
    assert (gw.share / "ro.txt").exists()


def test_many_transfers_at_once_do_not_mix(data_gateway):
    gw = data_gateway
    token = gw.tok("alice")
    files = {}
    for i in range(8):
        data = numbered(BLOCK + 1000 * i + i)[::-1] if i % 2 else numbered(BLOCK + 1000 * i + i)
        write_file(gw.root / "many" / f"d{i}.dat", data)
        files[i] = hashlib.sha256(data).hexdigest()
    uploads = {}
    for i in range(6):
        src = write_file(gw.tmp(f"u{i}"), (b"%d" % i) * (300000 + 7 * i))
        uploads[i] = (src, hashlib.sha256(src.read_bytes()).hexdigest())

    def download(i):
        out = gw.tmp(f"d{i}")
        r = gw.curl("mapped.test", f"/many/d{i}.dat", token=token, http="2" if i % 2 else "1.1", output=out)
        return r.status, sha256_file(out)

    def upload(i):
        r = gw.curl("mapped.test", f"/many/u{i}.dat", token=token, http="1.1" if i % 2 else "2", upload=uploads[i][0])
        return r.status

    def ranged(i):
        r = gw.curl("mapped.test", f"/many/d{i}.dat", token=token, headers={"Range": f"bytes={i}-{i + 99}"})
        return r.status, r.body

    with concurrent.futures.ThreadPoolExecutor(max_workers=20) as pool:
        downs = {i: pool.submit(download, i) for i in files}
        ups = {i: pool.submit(upload, i) for i in uploads}
        ranges = {i: pool.submit(ranged, i) for i in files}
        for i, f in downs.items():
            assert f.result() == (200, files[i]), i
        for i, f in ups.items():
            assert f.result() == 200, i
        for i, f in ranges.items():
            status, body = f.result()
            data = (gw.root / "many" / f"d{i}.dat").read_bytes()
            assert (status, body) == (206, data[i:i + 100]), i
    for i, (src, digest) in uploads.items():
        assert sha256_file(gw.root / "many" / f"u{i}.dat") == digest, i
