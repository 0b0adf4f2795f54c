"""Two gateway nodes in front of one collection, as behind a load balancer:
both serve mapped.test with the same login key, client and collection, one
on port 443 and one on port 8443 (the balancer's view: the same name, the
same Host header, another machine). A browser that logs in on one node is
let in by the other, even when the balancer sends the login's return to
the other node, and either node serves the same files."""
import pathlib

from fixtures_auth import BROWSER_AGENT, MAPPED_ID, collection_directives, header, oidc_cookie, request
from fixtures_data import DATA_DIRECTIVES, numbered, write_file
from test_auth_browser import log_in, start_login

NODE_B_PORT = 8443
UA = {"User-Agent": BROWSER_AGENT}


def second_node(gw, httpd_factory):
    """Node B: another server with the same collection directives."""
    node = httpd_factory(name="node-b", modules=["http2"])
    node.vhost("mapped.test", port=NODE_B_PORT, body=DATA_DIRECTIVES.format(contact=gw.backend.contact) + "\n" +
               collection_directives(gw.emulator.url, "mapped", MAPPED_ID,
                                     "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60"))
    node.expect_log(r"AH10159: server is within MinSpareThreads")
    return node.serve()


def on_b(url: str, cookie: str | None = None, **kwargs):
    """The request `url` names, answered by node B: the balancer keeps the
    Host header the browser sent."""
    assert url.startswith("https://mapped.test/"), url
    headers = dict(UA, Host="mapped.test")
    if cookie:
        headers["Cookie"] = cookie
    return request(f"https://mapped.test:{NODE_B_PORT}" + url[len("https://mapped.test"):], headers=headers,
                   **kwargs)


def on_a(url: str, cookie: str | None = None):
    return request(url, headers=dict(UA, Cookie=cookie) if cookie else UA)


def fetch(node, url: str, cookie: str):
    """A logged-in browser's download: the first after the login is the
    reload page, whose cookie marks the login complete; then the data."""
    status, headers, body = node(url, cookie)
    if b"window.location.replace" in body:
        status, headers, body = node(url, oidc_cookie(headers))
    return status, body


def test_a_login_on_one_node_is_accepted_by_the_other(data_gateway, httpd_factory):
    gw = data_gateway
    second_node(gw, httpd_factory)
    write_file(gw.root / "shared.txt", b"one collection, two nodes\n")

    # Started on A, returned to B: the login state is sealed with the shared
    # key, so B completes what A began.
    location, cookie = start_login(gw, "mapped.test", "/shared.txt")
    redirect_url = log_in(gw, location)
    status, headers, body = on_b(redirect_url, cookie)
    assert (status, header(headers, "Location")) == (307, ["/shared.txt"]), body
    finished = oidc_cookie(headers)

    # The logged-in cookie opens on both nodes.
    for node in (on_a, on_b):
        assert fetch(node, "https://mapped.test/shared.txt", finished) == (200, b"one collection, two nodes\n")

    # A login completed on A is accepted by B too.
    location, cookie = start_login(gw, "mapped.test", "/shared.txt")
    status, headers, _ = on_a(log_in(gw, location), cookie)
    assert status == 307
    assert fetch(on_b, "https://mapped.test/shared.txt", oidc_cookie(headers)) == (
        200, b"one collection, two nodes\n")


def test_either_node_serves_what_the_other_stored(data_gateway, httpd_factory):
    gw = data_gateway
    second_node(gw, httpd_factory)
    data = numbered(3 << 20)
    source = gw.tmp("upload")
    source.write_bytes(data)
    token = gw.tok("alice")
    r = gw.curl("mapped.test", "/both.dat", token=token, upload=source)
    assert r.status == 200, r
    results = []
    for port in (443, NODE_B_PORT):
        out = gw.tmp(f"from-{port}")
        r = gw.curl(f"mapped.test:{port}", "/both.dat", token=token, output=out)
        assert r.status == 200, r
        results.append((r.one("Content-Length"), r.one("ETag"), pathlib.Path(out).read_bytes() == data))
    # The same file, the same size and the same validator from both: a
    # client may resume or revalidate on either node.
    assert results[0] == results[1] == (str(len(data)), results[0][1], True), results
