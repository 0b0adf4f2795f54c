"""The status page (SetHandler kalder-status): a scripted run of requests,
served by several server processes at once, shows exactly its counts, the
answer cache agrees with what the emulator was asked, and the counts
survive a graceful restart."""
import concurrent.futures
import re

from fixtures_data import numbered, write_file

# Several children with two workers each: a child whose workers are busy
# stops accepting, so requests sent together spread over the processes.
SPREAD = """StartServers 3
ThreadsPerChild 2
MinSpareThreads 2
MaxSpareThreads 8
MaxRequestWorkers 8"""

STATUS_LOCATION = """<Location /kalder-status>
  SetHandler kalder-status
  Require ip 127.0.0.1
</Location>
</VirtualHost>"""

SAMPLE = re.compile(r"^(kalder_[a-z_]+(?:\{[^}]*\})?) (\S+)$")


def scrape(gw):
    r = gw.curl("mapped.test", "/kalder-status")
    assert r.status == 200, r
    assert r.one("Content-Type") == "text/plain; version=0.0.4; charset=utf-8"
    samples = {}
    for line in r.body.decode().splitlines():
        if line.startswith("# "):
            continue
        m = SAMPLE.match(line)
        assert m, line
        samples[m.group(1)] = float(m.group(2))
    return samples


def requests_by(samples):
    return {k: v for k, v in samples.items() if k.startswith("kalder_requests_total")}


def test_scripted_run_is_counted_exactly_across_processes(data_gateway):
    gw = data_gateway
    pids = gw.httpd.dir / "pids.log"
    gw.httpd.add(SPREAD + f'\nCustomLog {pids} "%P %U"')
    # The status page goes in the data host, after its <Location />.
    gw.httpd.vhosts[0] = gw.httpd.vhosts[0].replace("</VirtualHost>", STATUS_LOCATION)
    # A new start, as a graceful restart would keep the one child.
    gw.httpd.stop()
    gw.httpd.serve()
    before = scrape(gw)
    assert requests_by(before) == {}, "nothing was counted before the run"

    size = 100_000
    write_file(gw.root / "m.dat", numbered(size))
    write_file(gw.share / "g.dat", numbered(size))
    upload = gw.tmp("up")
    upload.write_bytes(numbered(5000))
    alice = gw.tok("alice")
    script = [
        ("mapped.test", "/m.dat", alice, None, None),
        ("mapped.test", "/m.dat", alice, None, None),
        ("guest.test", "/g.dat", alice, None, None),
        ("mapped.test", "/m.dat", alice, "HEAD", None),
        ("mapped.test", "/put.dat", alice, "PUT", upload),
        ("mapped.test", "/absent.dat", alice, None, None),
        ("mapped.test", "/m.dat", gw.tok("inactive"), None, None),
    ]
    with concurrent.futures.ThreadPoolExecutor(len(script)) as pool:
        replies = list(pool.map(lambda s: gw.curl(s[0], s[1], token=s[2], method=s[3], upload=s[4]), script))
    assert [r.status for r in replies] == [200, 200, 200, 200, 200, 404, 401], replies

    served_by = {line.split()[0] for line in pids.read_text().splitlines() if "/kalder-status" not in line}
    assert len(served_by) >= 2, f"all requests went to one process: {pids.read_text()}"

    after = scrape(gw)
    assert requests_by(after) == {
        'kalder_requests_total{method="GET",status="200"}': 3,
        'kalder_requests_total{method="HEAD",status="200"}': 1,
        'kalder_requests_total{method="PUT",status="200"}': 1,
        'kalder_requests_total{method="GET",status="404"}': 1,
        'kalder_requests_total{method="GET",status="401"}': 1,
    }, "the status page's own requests are not counted either"
    assert after["kalder_request_bytes_received_total"] == 5000
    assert after["kalder_response_bytes_sent_total"] >= 3 * size

    # Each miss is one question to the emulator; every request looked up
    # its token's introspection once.
    emu = gw.emulator
    hit = lambda kind: after[f'kalder_answer_cache_hits_total{{kind="{kind}"}}']
    miss = lambda kind: after[f'kalder_answer_cache_misses_total{{kind="{kind}"}}']
    assert miss("introspect") == emu.count("introspect"), emu.counts()
    assert hit("introspect") + miss("introspect") == len(script)
    assert miss("dependent_tokens") == emu.count("dependent_token"), emu.counts()
    assert miss("acls") == emu.count("permissions_user") + emu.count("permissions_anonymous") >= 1, emu.counts()
    calls = lambda service: after[f'kalder_service_call_duration_seconds_count{{service="{service}"}}']
    assert calls("identity") == emu.count("introspect") + emu.count("dependent_token")
    assert calls("transfer") == miss("acls")
    assert all(v == 0 for k, v in after.items() if k.startswith(("kalder_service_call_failures_total",
                                                                 "kalder_backend_session_failures_total")))
    assert after['kalder_tls_handoffs_total{outcome="passed_to_tls"}'] >= len(script)
    assert after['kalder_tls_handoffs_total{outcome="handed_off"}'] == 0

    # Only GET and HEAD; a graceful restart keeps the counts.
    assert gw.curl("mapped.test", "/kalder-status", method="POST", data=b"x").status == 405
    head = gw.curl("mapped.test", "/kalder-status", method="HEAD")
    assert (head.status, head.one("Content-Type")) == (200, "text/plain; version=0.0.4; charset=utf-8")
    gw.httpd.graceful()
    assert requests_by(scrape(gw)) == requests_by(after)
