"""The ClientHello peek in a real server with mod_ssl: connections whose ALPN
protocol is mapped by KalderUnixSocket reach a receiving service that does
its own TLS handshake on them; everything else is served by httpd as before.
"""
import concurrent.futures
import os
import socket
import subprocess
import time

import pytest

from fixtures_tls import PieceClient
from kalder_harness import children_of, wait_for


def s_client(name: str, alpn: str | None, request: bytes = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
             port: int = 443) -> str:
    cmd = ["openssl", "s_client", "-connect", f"127.0.0.1:{port}", "-servername", name, "-quiet",
           "-verify_quiet"]
    if alpn:
        cmd += ["-alpn", alpn]
    out = subprocess.run(cmd, input=request, capture_output=True, timeout=30)
    return out.stdout.decode(errors="replace")


def curl(url: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(["curl", "-sS", "--max-time", "20", *args, url], capture_output=True, text=True,
                          timeout=30)


@pytest.fixture
def served(httpd):
    (httpd.docroot / "hello.txt").write_text("served by httpd\n")
    return httpd


def test_second_offered_protocol_mapped_is_handed_off(served, receiver_factory):
    rx = receiver_factory("h1")
    served.vhost("collection.test")
    served.vhost("handoff.test", body=f"KalderUnixSocket http/1.1 {rx.path}")
    served.serve()

    out = s_client("handoff.test", "h2,http/1.1")
    assert "receiver alpn=http/1.1 sni=handoff.test" in out
    # curl offers h2 first as well; the receiver picks http/1.1.
    result = curl("https://handoff.test/hello.txt")
    assert result.stdout == "receiver alpn=http/1.1 sni=handoff.test\n", result.stderr
    rx.wait_count("served", 2)
    assert rx.count("handoff 00000001") == 2
    # The other virtual host is served by httpd.
    assert curl("https://collection.test/hello.txt").stdout == "served by httpd\n"


def test_wildcard_entry_takes_a_client_hello_without_alpn(served, receiver_factory):
    rx = receiver_factory("any")
    served.vhost("handoff.test", body=f"KalderUnixSocket {rx.path}")
    served.serve()
    assert "receiver alpn=None sni=handoff.test" in s_client("handoff.test", None)


def test_unknown_server_name_searches_every_table(served, receiver_factory):
    rx = receiver_factory("acme", ["acme-tls/1"])
    served.vhost("collection.test")
    served.vhost("handoff.test", body=f"KalderUnixSocket acme-tls/1 {rx.path}")
    served.serve()
    assert "receiver alpn=acme-tls/1 sni=nobody.test" in s_client("nobody.test", "acme-tls/1")
    # A known name keeps to its own server's table: collection.test maps nothing.
    out = s_client("collection.test", "acme-tls/1")
    assert "receiver" not in out
    assert rx.count("handoff") == 1


def test_other_connections_are_served_as_without_the_module(httpd_factory, receiver_factory):
    rx = receiver_factory("acme2", ["acme-tls/1"])
    httpd = httpd_factory(modules=["http2"])
    (httpd.docroot / "hello.txt").write_text("served by httpd\n")
    httpd.add("Protocols h2 http/1.1")
    httpd.vhost("handoff.test", body=f"KalderUnixSocket acme-tls/1 {rx.path}")
    httpd.vhost("plain.test", port=8080, ssl=False)
    httpd.serve()

    h2 = curl("https://handoff.test/hello.txt", "--http2", "-w", " %{http_version}")
    assert h2.stdout == "served by httpd\n 2", h2.stderr
    h1 = curl("https://handoff.test/hello.txt", "--http1.1", "-w", " %{http_version}")
    assert h1.stdout == "served by httpd\n 1.1", h1.stderr
    plain = curl("http://127.0.0.1:8080/hello.txt")
    assert plain.stdout == "served by httpd\n", plain.stderr
    # Plain HTTP on the TLS port gets mod_ssl's own answer, as it would anyway.
    with socket.create_connection(("127.0.0.1", 443), timeout=10) as s:
        s.sendall(b"GET /hello.txt HTTP/1.1\r\nHost: handoff.test\r\n\r\n")
        assert s.recv(100).startswith(b"HTTP/1.1 400")
    assert rx.count("handoff") == 0
    # Several requests on one HTTP/2 connection keep working.
    many = curl("https://handoff.test/hello.txt", "--http2", "-o", "/dev/null", "-o", "/dev/null",
                "-w", "%{http_code} ",
                "https://handoff.test/hello.txt")
    assert many.stdout == "200 200 ", many.stderr


def test_socket_path_where_nothing_listens_closes_the_connection_quietly(served):
    served.vhost("handoff.test", body="KalderUnixSocket http/1.1 /tmp/kalder-nobody-listens.sock")
    served.serve()
    result = curl("https://handoff.test/hello.txt", "--http1.1")
    assert result.returncode != 0 and result.stdout == ""
    # The oracle fails the test on any warning or error; nothing of ours at all:
    assert not [l for l in served.log_lines(since=True) if "[kalder:" in l and ":debug]" not in l]


@pytest.mark.parametrize("handed_off", [True, False], ids=["handed-off", "pass-through"])
def test_client_hello_in_two_pieces_200ms_apart(served, receiver_factory, handed_off):
    rx = receiver_factory("pieces", ["acme-tls/1"])
    served.vhost("handoff.test", body=f"KalderUnixSocket acme-tls/1 {rx.path}")
    served.serve()
    # The first piece stops inside the random: nothing can be decided yet.
    c = PieceClient("handoff.test", alpn=["acme-tls/1"] if handed_off else ["http/1.1"])
    start_time = time.monotonic()
    c.handshake(sizes=[40], gap=0.2)
    assert time.monotonic() - start_time >= 0.2
    body = c.get("/hello.txt", "handoff.test")
    c.close()
    if handed_off:
        assert body == "receiver alpn=acme-tls/1 sni=handoff.test\n"
    else:
        assert body == "served by httpd\n"
        assert rx.count("handoff") == 0


def _cpu_seconds(pids) -> float:
    ticks = 0
    for pid in pids:
        try:
            fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def test_stalled_half_client_hello_is_closed_after_the_timeout_without_spinning(served):
    served.add("Timeout 2")
    served.vhost("handoff.test", body="KalderUnixSocket acme-tls/1 /tmp/kalder-unused.sock")
    served.serve()
    hello = PieceClient("handoff.test", alpn=["http/1.1"]).client_hello()
    workers = children_of(served.pid())
    cpu_before = _cpu_seconds(workers)
    with socket.create_connection(("127.0.0.1", 443), timeout=15) as s:
        s.sendall(hello[:len(hello) // 3])
        started = time.monotonic()
        try:
            data = s.recv(100)
        except ConnectionResetError:
            data = b""
        waited = time.monotonic() - started
    assert data == b""
    assert 1.5 <= waited <= 8, waited
    assert _cpu_seconds(workers) - cpu_before < 0.5


def _fd_count(pids) -> int:
    total = 0
    for pid in pids:
        try:
            total += len(os.listdir(f"/proc/{pid}/fd"))
        except OSError:
            pass
    return total


def test_many_handshakes_at_once_leak_no_descriptors(served, receiver_factory):
    rx = receiver_factory("many")
    served.vhost("handoff.test", body=f"KalderUnixSocket http/1.1 {rx.path}")
    served.vhost("collection.test")
    served.serve()

    def one(i: int) -> str:
        if i % 2:
            return curl("https://handoff.test/x", "--http1.1").stdout
        return curl("https://collection.test/hello.txt", "--http1.1").stdout

    def batch(n: int) -> list[str]:
        with concurrent.futures.ThreadPoolExecutor(max_workers=16) as pool:
            return list(pool.map(one, range(n)))

    batch(8)  # warm up: worker threads, session cache
    rx.wait_count("served", 4)
    workers = children_of(served.pid())
    time.sleep(0.5)
    before = _fd_count(workers)
    results = batch(64)
    assert results.count("receiver alpn=http/1.1 sni=handoff.test\n") == 32
    assert results.count("served by httpd\n") == 32
    rx.wait_count("served", 36)
    assert rx.count("failed") == 0
    # Closed connections are gone from every worker once they are done.
    wait_for(lambda: _fd_count(workers) <= before, timeout=15,
             what=f"descriptors back to {before} (now {_fd_count(workers)})")


@pytest.mark.parametrize("earlier", ["exact", "wildcard"])
def test_servers_are_searched_in_configuration_order(served, receiver_factory, earlier):
    # httpd keeps its virtual hosts in reverse order; the hand-off must not.
    exact = receiver_factory("exact", ["acme-tls/1"])
    wildcard = receiver_factory("wildcard", ["acme-tls/1"])
    entries = {"exact": f"KalderUnixSocket acme-tls/1 {exact.path}", "wildcard": f"KalderUnixSocket {wildcard.path}"}
    later = "wildcard" if earlier == "exact" else "exact"
    served.vhost("first.test", body=entries[earlier])
    served.vhost("second.test", body=entries[later])
    served.serve()

    expected = {"exact": exact, "wildcard": wildcard}[earlier]
    for name in (None, "nobody.test"):
        cmd = ["openssl", "s_client", "-connect", "127.0.0.1:443", "-quiet", "-verify_quiet",
               "-alpn", "acme-tls/1"]
        cmd += ["-servername", name] if name else ["-noservername"]
        out = subprocess.run(cmd, input=b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", capture_output=True,
                             timeout=30).stdout.decode(errors="replace")
        assert "receiver alpn=acme-tls/1" in out, (name, out)
    expected.wait_count("served", 2)
    assert expected.count("handoff 00000001") == 2
    other = wildcard if expected is exact else exact
    assert other.count("handoff") == 0
    # A name a server answers to keeps to that server's own entry.
    assert "receiver alpn=acme-tls/1 sni=second.test" in s_client("second.test", "acme-tls/1")
    {"exact": exact, "wildcard": wildcard}[later].wait_count("served", 1)
