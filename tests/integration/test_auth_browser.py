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


def flip_bit(sealed, index):
    data = bytearray(b64url_decode(sealed))
    data[index] ^= 0x01
    return b64url_encode(bytes(data))


def login_answer(status, headers):
    """What a browser sent to log in sees, without the fresh state."""
    assert status == 307
    params = query_of(header(headers, "Location")[0])
    assert params.pop("state")
    oidc_cookie(headers)
    return params


def test_cookies_that_do_not_open_are_no_cookie(gateway):
    """A logged-in browser's cookie with one bit changed, cut short, or
    replaced by a login state or text that is no sealed value: each is
    answered exactly as no cookie, with a new login."""
    gateway.httpd.expect_log(r"Failed to decrypt a URL-safe base64 encrypted string value\.")
    location, cookie = start_login(gateway, "mapped.test", "/data.txt")
    status, headers, _ = come_back(log_in(gateway, location), cookie)
    assert status == 307
    name, _, sealed = oidc_cookie(headers).partition("=")
    assert (request("https://mapped.test/data.txt", headers=dict(UA, Cookie=f"{name}={sealed}"))[0]) == 200

    without = login_answer(*request("https://mapped.test/data.txt", headers=UA)[:2])
    for value in (flip_bit(sealed, 0), flip_bit(sealed, len(b64url_decode(sealed)) // 2), flip_bit(sealed, -1),
                  sealed[:-1], sealed + "A", query_of(location)["state"], "AAAA", "%%%", "A" * 64):
        status, headers, _ = request("https://mapped.test/data.txt", headers=dict(UA, Cookie=f"{name}={value}"))
        assert login_answer(status, headers) == without, value


def test_login_return_completes_only_the_login_this_browser_started(gateway):
    """Login CSRF: another site starts a login in its own browser, logs in
    and sends the victim's browser to "/redirect" with its code and state.
    The victim's browser has a login cookie of its own (any page of the
    gateway sets one) but not the login value sealed in that state."""
    gateway.httpd.expect_log(r"The login state was started by another browser; refusing to complete the login\.")
    location_a, _ = start_login(gateway, "mapped.test", "/data.txt")
    redirect_a = log_in(gateway, location_a, identity="bob")
    location_b, cookie_b = start_login(gateway, "mapped.test", "/data.txt")

    status, headers, _ = come_back(redirect_a, cookie_b)
    assert status == 500
    assert header(headers, "Set-Cookie") == [] and header(headers, "Location") == []
    assert gateway.httpd.count_log("refusing to complete the login") == 1
    # Nothing was stored: browser B is still logged out.
    status, _, _ = request("https://mapped.test/data.txt", headers=dict(UA, Cookie=cookie_b))
    assert status == 307
    # A browser that started no login at all is sent to log in.
    status, headers, _ = request(redirect_a, headers=UA)
    assert status == 307 and query_of(header(headers, "Location")[0])["prompt"] == "login"

    # Its own login still completes.
    status, headers, _ = come_back(log_in(gateway, location_b), cookie_b)
    assert (status, header(headers, "Location")) == (307, ["/data.txt"])
    status, _, body = request("https://mapped.test/data.txt", headers=dict(UA, Cookie=oidc_cookie(headers)))
    assert (status, body) == (200, b"mapped data\n")


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


def test_states_that_do_not_open_are_refused_alike(gateway):
    """A login state with bits changed (among them the opened URI rewritten
    to name another site, which the earlier unauthenticated sealing let
    through), cut short, or replaced by the login cookie: the login return
    refuses each the same way, stores no token and redirects nowhere."""
    gateway.httpd.expect_log(r"Failed to decrypt a URL-safe base64 encrypted string value\.")
    gateway.httpd.expect_log(r"Failed to decode the token state value\.")
    original = "/data.txt?pad=aaaaaaaaaaaaaaaa"
    location, cookie = start_login(gateway, "mapped.test", original)
    state = query_of(location)["state"]
    rewritten = bytearray(b64url_decode(state))
    uri_at = 12 + 23  # after the nonce, the login value and its blank
    for i, (was, wanted) in enumerate(zip(original.encode(), b"//attacker.test/")):
        rewritten[uri_at + i] ^= was ^ wanted
    for forged in (b64url_encode(bytes(rewritten)), flip_bit(state, -1), state[:-2], cookie.partition("=")[2]):
        status, headers, _ = come_back(log_in(gateway, location, state=forged), cookie)
        assert status == 500, forged
        assert header(headers, "Location") == []
        assert header(headers, "Set-Cookie") == []
    assert gateway.httpd.count_log("Failed to decode the token state value.") == 4
