"""Browsers through the real server, request by request: the login
redirect, the emulator's login, the return on "/redirect" and the data."""
import urllib.parse

from fixtures_auth import (BROWSER_AGENT, CLIENT_ID, TRANSFER_RS, b64url_decode, b64url_encode, header,
                           oidc_cookie, request)

UA = {"User-Agent": BROWSER_AGENT}


def start_login(gateway, host, path):
    """A browser without cookie asks for path; returns (Location, cookie)."""
    status, headers, body = request(f"https://{host}{path}", headers=UA)
    assert status == 307, body
    assert body == b""
    [location] = header(headers, "Location")
    return location, oidc_cookie(headers)


def query_of(url):
    return dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query, keep_blank_values=True))


def log_in(gateway, location, identity="alice", state=None):
    """Answers the emulator's login page; returns the "/redirect" URL."""
    params = query_of(location)
    if state is not None:
        params["state"] = state
    params["identity"] = identity
    status, headers, _ = request(gateway.emulator.url + "/oauth2/authorize", method="POST",
                                 body=urllib.parse.urlencode(params).encode(),
                                 headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert status == 302
    return header(headers, "Location")[0]


def come_back(redirect_url, cookie):
    return request(redirect_url, headers=dict(UA, Cookie=cookie))


def test_mapped_login_round_trip(gateway):
    path = "/data.txt?x=1&y=%2F"
    location, cookie = start_login(gateway, "mapped.test", path)
    prefix = (f"{gateway.emulator.url}/oauth2/authorize?response_type=code&client_id={CLIENT_ID}"
              "&redirect_uri=https://mapped.test/redirect&access_type=online&state=")
    assert location.startswith(prefix), location
    assert location.endswith(
        "&session_message=You%20must%20authenticate%20or%20link%20with%20an%20identity%20from%20one%20of%20"
        "these%20domains%20(example.org)%20which%20has%20been%20granted%20access%20to%20this%20collection."
        "&session_required_single_domain=example.org&scope=openid%20profile&prompt=login"), location

    # Mid-login, any other path starts over.
    status, headers, _ = request("https://mapped.test/data.txt", headers=dict(UA, Cookie=cookie))
    assert status == 307

    redirect_url = log_in(gateway, location)
    assert redirect_url.startswith("https://mapped.test/redirect?code=")
    status, headers, body = come_back(redirect_url, cookie)
    assert status == 307, body
    assert header(headers, "Location") == [path]
    finished = oidc_cookie(headers)

    for _ in range(2):
        status, headers, body = request("https://mapped.test" + path, headers=dict(UA, Cookie=finished))
        assert (status, body) == (200, b"mapped data\n")
    counts = gateway.emulator.counts()
    assert counts["code_exchange"] == 1 and counts["introspect"] == 1, counts
    exchange = [c for c in gateway.emulator.calls() if c["endpoint"] == "code_exchange"][0]
    assert exchange["form"]["redirect_uri"] == ["https://mapped.test/redirect"]


def test_guest_login_carries_the_transfer_token(gateway):
    location, cookie = start_login(gateway, "guest.test", "/private/secret.txt")
    assert location.endswith(f"&scope=urn:kalder:auth:scope:{TRANSFER_RS}:all%20openid%20profile&prompt=login")
    status, headers, _ = come_back(log_in(gateway, location), cookie)
    assert status == 307
    status, _, body = request("https://guest.test/private/secret.txt",
                              headers=dict(UA, Cookie=oidc_cookie(headers)))
    assert (status, body) == (200, b"secret data\n")
    user_fetch = [c for c in gateway.emulator.calls() if c["endpoint"] == "permissions_user"]
    assert user_fetch and user_fetch[0]["authorization"].startswith("Bearer login-transfer-")


def test_refused_browser_is_sent_to_log_in_with_the_reason(gateway):
    gateway.httpd.expect_log(r"AH01631: user bob@other.org: authorization failure")
    location, cookie = start_login(gateway, "mapped.test", "/data.txt")
    status, headers, _ = come_back(log_in(gateway, location, identity="bob"), cookie)
    assert status == 307
    status, headers, body = request("https://mapped.test/data.txt", headers=dict(UA, Cookie=oidc_cookie(headers)))
    assert (status, body) == (307, b"")
    assert query_of(header(headers, "Location")[0])["prompt"] == "login"
    # A new login starts: the cookie is back to REDIRECT.
    oidc_cookie(headers)


def test_broken_or_foreign_cookies_start_a_new_login(gateway):
    # Opening failures are logged at error level where they are found.
    for message in ("Unable to finalize while decrypting text", "Can not decode URL-safe base64 value",
                    "Failed to decrypt a URL-safe base64", "Failed to URL-safe base64 decode"):
        gateway.httpd.expect_log(message)
    for cookie in ("mod_kalder_OIDC=AAAA", "mod_kalder_OIDC=%%%", "mod_kalder_OIDC=" + "A" * 43):
        status, headers, _ = request("https://mapped.test/data.txt", headers=dict(UA, Cookie=cookie))
        assert status == 307, cookie
        oidc_cookie(headers)


def test_login_return_errors_answer_500(gateway):
    gateway.httpd.expect_log(r"OIDC Auth redirect encountered error in response")
    gateway.httpd.expect_log(r"OIDC Auth redirect missing code in response")
    gateway.httpd.expect_log(r"OIDC Auth redirect missing query args in response")
    gateway.httpd.expect_log(r"OIDC flow was unable to complete the code exchange")
    gateway.httpd.expect_log(r"code exchange|Code exchange|code_exchange|authorization code")
    _, cookie = start_login(gateway, "mapped.test", "/data.txt")
    for query in ("?error=access_denied&code=c", "?state=s", "", "?code=unknown"):
        status, _, _ = request("https://mapped.test/redirect" + query, headers=dict(UA, Cookie=cookie))
        assert status == 500, query
    assert gateway.emulator.counts().get("code_exchange") == 1


def test_tampered_state_never_redirects_off_site(gateway):
    """The sealed state has no integrity tag: XOR-ing its first block
    rewrites the opened URI's first 16 bytes. Following it would send a
    freshly logged-in browser to another site."""
    gateway.httpd.expect_log(r"The token state value is not a local path; refusing to redirect")
    original = "/data.txt?pad=aaaaaaaaaaaaaaaa"
    location, cookie = start_login(gateway, "mapped.test", original)
    sealed = bytearray(b64url_decode(query_of(location)["state"]))
    wanted = b"//attacker.test/"
    for i in range(16):
        sealed[i] ^= original.encode()[i] ^ wanted[i]
    redirect_url = log_in(gateway, location, state=b64url_encode(bytes(sealed)))
    status, headers, _ = come_back(redirect_url, cookie)
    assert status == 500
    assert header(headers, "Location") == []
