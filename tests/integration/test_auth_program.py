"""Programs through the real server: bearer tokens introspected at the
emulator, both authorization passes, and the JSON challenge replies."""
import json
import re
import time
import uuid

import pytest

from fixtures_auth import (DATA_SCOPE, HTTPS_SCOPE, MAPPED_ID, collection_directives, header, request,
                           scenario)

MAPPED_MESSAGE = ("You must authenticate or link with an identity from one of these domains (example.org) "
                  "which has been granted access to this collection.")
GUEST_MESSAGE = "You must authenticate or link with an identity which has been granted access to this collection."
CONSENT = ("You must consent to additional scopes in order to authorize the resource server to complete "
           "the request.")

REPLIES = {
    "AuthenticationRequired": (401, None, None, "You must authenticate to access this collection."),
    "InvalidToken": (401, "invalid_token", "Bearer token is not valid.", "Bearer token is not valid."),
    "InsufficientScope": (403, "insufficient_scope", "Bearer token is missing a required scope.",
                          "Bearer token is missing a required scope."),
    "InsufficientSession": (403, "insufficient_session", "You must authenticate to access this collection.",
                            "You must authenticate to access this collection."),
    "AccessDenied": (403, "access_denied", "You do not have the proper access rights.",
                     "You do not have the proper access rights."),
}


def expected_body(kind, code, session_message):
    """The reply's exact bytes, built from the documented layout."""
    message = REPLIES[code][3]
    params = '{"session_message": ' + json.dumps(session_message)
    if kind == "mapped":
        params += ', "session_required_single_domain": ["example.org"]'
        params += ', "required_scopes": [' + json.dumps(HTTPS_SCOPE) + "," + json.dumps(DATA_SCOPE) + "]"
    else:
        params += ', "required_scopes": [' + json.dumps(HTTPS_SCOPE) + "]"
    params += ', "prompt": "login"}'
    return ('{"code": ' + json.dumps(code) + ', "message": ' + json.dumps(message)
            + ', "authorization_parameters": ' + params + "}").encode()


def assert_reply(result, kind, code, session_message=None):
    status, headers, body = result
    want_status, error, description, _ = REPLIES[code]
    assert status == want_status, body
    challenge = 'Bearer realm="Kalder data"'
    if error:
        challenge += f', error="{error}", error_description="{description}"'
    assert header(headers, "WWW-Authenticate") == [challenge]
    assert header(headers, "Content-Type") == ["application/json"]
    if session_message is None:
        session_message = MAPPED_MESSAGE if kind == "mapped" else GUEST_MESSAGE
    assert body == expected_body(kind, code, session_message)
    json.loads(body)


# --- mapped collection ---------------------------------------------------------

def test_mapped_refusals_for_every_reason(gateway):
    httpd = gateway.httpd
    # A refusal after authentication is also logged by the server's own
    # authorization core.
    httpd.expect_log(r"AH01631: user .*: authorization failure")
    # Without a token only "X-Requested-With" makes a program (else it is
    # a browser, sent to log in).
    assert_reply(gateway.get("mapped.test", "/data.txt", headers={"X-Requested-With": "XMLHttpRequest"}),
                 "mapped", "AuthenticationRequired")
    assert_reply(gateway.get("mapped.test", "/data.txt", headers={"Authorization": "Bearer   ",
                                                                  "X-Requested-With": "xmlhttprequest"}),
                 "mapped", "AuthenticationRequired")
    assert_reply(gateway.get("mapped.test", "/data.txt", token=gateway.tok("inactive")), "mapped", "InvalidToken")
    assert_reply(gateway.get("mapped.test", "/data.txt", token=gateway.tok("https-only")), "mapped",
                 "InsufficientScope", CONSENT)
    assert_reply(gateway.get("mapped.test", "/data.txt", token=gateway.tok("glued")), "mapped",
                 "InsufficientScope", CONSENT)
    assert_reply(gateway.get("mapped.test", "/data.txt", token=gateway.tok("bob")), "mapped", "AccessDenied")
    # carol is in the domain but authenticated a day ago; bob is recent but
    # outside the domain.
    assert_reply(gateway.get("mapped.test", "/data.txt", token=gateway.tok("carol-bob")), "mapped",
                 "InsufficientSession")
    assert gateway.emulator.counts().get("dependent_token") is None


def test_mapped_grant_and_cached_introspection(gateway):
    for _ in range(3):
        status, _, body = gateway.get("mapped.test", "/data.txt", token=gateway.tok("alice"))
        assert (status, body) == (200, b"mapped data\n")
    counts = gateway.emulator.counts()
    assert counts.get("introspect") == 1, counts
    assert "dependent_token" not in counts and "permissions_user" not in counts
    user = [l for l in gateway.httpd.log_lines() if "Authorization granted to Kalder collection" in l]
    assert len(user) == 3


def test_other_statuses_pass_through(gateway):
    status, headers, body = gateway.get("mapped.test", "/missing.txt", token=gateway.tok("alice"))
    assert status == 404
    assert b"Not Found" in body
    assert header(headers, "WWW-Authenticate") == []


def test_active_token_without_identity_is_an_internal_error(gateway):
    gateway.httpd.expect_log(r"Introspection of an active token lists no identity with a user name")
    status, _, _ = gateway.get("mapped.test", "/data.txt", token=gateway.tok("nobody"))
    assert status == 500


def test_introspection_failure_is_an_internal_error(gateway):
    gateway.emulator.patch_scenario({"failures": {"introspect": {"status": 503}}})
    gateway.httpd.expect_log(r"Failed to get the bearer token during OAuth processing")
    gateway.httpd.expect_log(r"introspect|Introspect")
    status, _, _ = gateway.get("mapped.test", "/data.txt", token=gateway.tok("alice"))
    assert status == 500


@pytest.mark.parametrize("endpoint,url_end,host,path", [
    ("introspect", "/token/introspect", "mapped.test", "/data.txt"),
    ("permissions_user", "/user_effective_permissions", "guest.test", "/private/secret.txt")])
def test_service_answer_over_one_mebibyte_is_an_internal_error(gateway, endpoint, url_end, host, path):
    # The answer is not taken in, whatever it holds; the log names the URL.
    gateway.emulator.patch_scenario({"failures": {endpoint: {"status": 200, "body": "x" * ((1 << 20) + 1),
                                                    "content_type": "application/json"}}})
    gateway.httpd.expect_log(r"The answer of https://\S+ is larger than 1048576 bytes, which no identity or "
                             r"transfer service answer is; the call fails")
    gateway.httpd.expect_log(r"Failed to fetch (the token introspection|ACLs): 1|Failed to get the bearer token")
    status, _, _ = gateway.get(host, path, token=gateway.tok("alice"))
    assert status == 500
    assert re.search(r"The answer of https://\S+" + url_end + " is larger", gateway.httpd.log_text())


# --- guest collection ------------------------------------------------------------

def test_guest_anonymous_read_never_introspects(gateway):
    for token in (None, gateway.tok("alice"), "not-a-known-token"):
        status, _, body = gateway.get("guest.test", "/public/open.txt", token=token)
        assert (status, body) == (200, b"open data\n")
    counts = gateway.emulator.counts()
    assert "introspect" not in counts, counts
    assert counts.get("permissions_anonymous") == 1, counts


def test_guest_refusals(gateway):
    gateway.httpd.expect_log(r"AH01631: user .*: authorization failure")
    assert_reply(gateway.get("guest.test", "/private/secret.txt", headers={"X-Requested-With": "XMLHttpRequest"}),
                 "guest", "AuthenticationRequired")
    assert_reply(gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("inactive")), "guest",
                 "InvalidToken")
    assert_reply(gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("refused-grant")), "guest",
                 "InvalidToken")
    assert_reply(gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("stale-transfer")), "guest",
                 "InvalidToken")
    assert_reply(gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("glued")), "guest", "InsufficientScope", CONSENT)
    # Every identity took part and none may read here.
    assert_reply(gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("bob")), "guest",
                 "AccessDenied",
                 "None of your identities have been granted access to this collection. " + GUEST_MESSAGE)
    # Reading is granted, writing is not.
    assert_reply(gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("alice"), method="PUT",
                             body=b"x"), "guest", "AccessDenied",
                 "None of your identities have been granted access to this collection. " + GUEST_MESSAGE)


def test_guest_missing_transfer_token_is_an_internal_error(gateway):
    gateway.httpd.expect_log(r"Dependent Transfer token missing in OAuth processing")
    status, _, _ = gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("no-transfer"))
    assert status == 500


def test_guest_grant_caches_every_service_answer(gateway):
    for _ in range(3):
        status, _, body = gateway.get("guest.test", "/private/secret.txt", token=gateway.tok("alice"))
        assert (status, body) == (200, b"secret data\n")
    counts = gateway.emulator.counts()
    # The anonymous pass asks once for the anonymous permissions, then
    # every answer comes from the keyring.
    assert counts == {"permissions_anonymous": 1, "introspect": 1, "dependent_token": 1,
                      "permissions_user": 1}, counts
    user_fetch = [c for c in gateway.emulator.calls() if c["endpoint"] == "permissions_user"]
    assert user_fetch[0]["authorization"] == f"Bearer xfer-alice{gateway.suffix}"
    assert user_fetch[0]["path"] == f"/private/endpoint/{gateway.guest_id}/user_effective_permissions"


# --- start-up checks ---------------------------------------------------------------

# A guest collection without the transfer service's address or its id once
# started and then stopped a child on an assertion at its first request.
@pytest.mark.parametrize("kind,missing", [("mapped", "KalderAuthClientID"), ("mapped", "KalderAuthAPIEndpoint"),
                                          ("guest", "KalderTransferAPIEndpoint"), ("guest", "KalderCollectionID")])
def test_collection_missing_a_required_setting_does_not_start(httpd_factory, kind, missing):
    httpd = httpd_factory()
    host = f"{kind}.test"
    body = "\n".join(line for line in collection_directives("https://emulator.test:1", kind,
                                                            "0c000000-0000-4000-8000-00000000000c").splitlines()
                     if not line.startswith(missing + " "))
    httpd.vhost(host, body=body)
    httpd.install()
    httpd.expect_log(missing)
    result = httpd.start()
    assert result.returncode != 0
    line = 1 + next(i for i, l in enumerate(httpd.conf.read_text().splitlines()) if l.startswith("<VirtualHost"))
    text = result.stderr + httpd.log_text()
    assert f"Server {host} ({httpd.conf}:{line}) serves a {kind} collection but {missing} is not set" in text, text


def test_collection_without_state_key_warns_and_refuses_browsers(httpd_factory, auth_emulator):
    httpd = httpd_factory()
    body = "\n".join(line for line in collection_directives(auth_emulator.url, "mapped",
                                                            "0c000000-0000-4000-8000-00000000000c").splitlines()
                     if not line.startswith("KalderOIDCStateKey"))
    (httpd.docroot / "data.txt").write_text("x\n")
    httpd.vhost("mapped.test", body=body)
    httpd.install()
    httpd.expect_log(r"without KalderOIDCStateKey; browser logins will fail")
    httpd.expect_log(r"KalderOIDCStateKey is not set for server mapped.test")
    assert httpd.start().returncode == 0
    from fixtures_auth import BROWSER_AGENT, request
    status, _, _ = request("https://mapped.test/data.txt", headers={"User-Agent": BROWSER_AGENT})
    assert status == 500


def test_cache_lifetime_is_the_main_servers_even_when_a_virtual_host_sets_its_own(httpd, auth_emulator):
    suffix = "-" + uuid.uuid4().hex[:12]
    auth_emulator.set_scenario(scenario(suffix))
    auth_emulator.reset_calls()
    (httpd.docroot / "data.txt").write_text("mapped data\n")
    httpd.add("KalderKeyutilsCacheTimeout 2")
    httpd.vhost("mapped.test", body=collection_directives(
        auth_emulator.url, "mapped", MAPPED_ID,
        "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60\n"
        "KalderKeyutilsCacheTimeout 300"))
    httpd.serve()
    token = {"Authorization": f"Bearer tok-alice{suffix}"}

    def introspections():
        return auth_emulator.counts().get("introspect", 0)

    assert request("https://mapped.test/data.txt", headers=token)[0] == 200
    assert request("https://mapped.test/data.txt", headers=token)[0] == 200
    assert introspections() == 1, "the second request is answered from the keyring"
    time.sleep(3)
    assert request("https://mapped.test/data.txt", headers=token)[0] == 200
    assert introspections() == 2, "the entry expired after the main server's 2 seconds"


FORGE_CGI = """#!/bin/sh
# Runs as any program under the server does: it possesses the server's
# session keyring. It prints what it can read of the cached answer for
# $READ and plants that payload, and a plain forged answer, for tokens it
# invents.
echo "Content-Type: text/plain"
echo
desc() { printf 'kalder:introspect:%s' "$(printf '%s' "$1" | sha256sum | cut -d' ' -f1)"; }
id=$(keyctl search @s user "$(desc "$READ")") || { echo "no entry"; exit 0; }
keyctl pipe "$id" > /tmp/kalder-stolen.$$ && base64 -w0 /tmp/kalder-stolen.$$; echo
keyctl padd user "$(desc "$REPLAY")" @s < /tmp/kalder-stolen.$$ > /dev/null
rm -f /tmp/kalder-stolen.$$
printf '%s' '{"active": true, "scope": "urn:scope", "sub": "forged", "username": "mallory@example.org"}' |
    keyctl padd user "$(desc "$FORGED")" @s > /dev/null
echo planted
"""


def test_cache_entries_other_programs_write_are_never_used(httpd_factory, auth_emulator):
    """A program started under the server (here a CGI script) possesses the
    cache's keyring: it reads alice's cached introspection answer and learns
    nothing, and neither that answer replayed under a token it invents nor a
    plain forged one gets it in: both tokens are introspected at the service."""
    import base64
    suffix = "-" + uuid.uuid4().hex[:12]
    auth_emulator.set_scenario(scenario(suffix))
    auth_emulator.reset_calls()
    httpd = httpd_factory(modules=["cgid"])
    (httpd.docroot / "data.txt").write_text("mapped data\n")
    cgi = httpd.docroot.parent / f"cgi{suffix}"
    cgi.mkdir(exist_ok=True)
    (cgi / "forge").write_text(FORGE_CGI)
    (cgi / "forge").chmod(0o755)
    alice, replay, forged = f"tok-alice{suffix}", f"invented-replay{suffix}", f"invented-forged{suffix}"
    httpd.vhost("mapped.test", body=collection_directives(
        auth_emulator.url, "mapped", MAPPED_ID, "KalderAllowedDomains example.org\n"
        "KalderAuthenticationAssuranceTimeout 60\nKalderKeyutilsCacheTimeout 300"))
    httpd.vhost("other.test", body=f'ScriptAlias /forge {cgi}/forge\n<Directory {cgi}>\n  Require all granted\n'
                                 f'</Directory>\nSetEnv READ {alice}\nSetEnv REPLAY {replay}\nSetEnv FORGED {forged}')
    httpd.install()
    # Started in a session keyring of its own (as a service manager starts
    # it), which the CGI daemon forked by the parent shares with the cache.
    plain_cmd = httpd._cmd
    httpd._cmd = lambda *args: ["keyctl", "session", "-", *plain_cmd(*args)]
    assert httpd.start().returncode == 0

    def introspections():
        return auth_emulator.counts().get("introspect", 0)

    assert request("https://mapped.test/data.txt", headers={"Authorization": f"Bearer {alice}"})[0] == 200
    assert introspections() == 1
    status, _, body = request("https://other.test/forge")
    assert status == 200 and body.endswith(b"planted\n"), body
    stolen = base64.b64decode(body.splitlines()[0])
    assert stolen and b"alice" not in stolen and b"active" not in stolen, stolen
    for token in (replay, forged):
        status, _, _ = request("https://mapped.test/data.txt", headers={"Authorization": f"Bearer {token}"})
        assert status == 401, token
    assert introspections() == 3, "both invented tokens were asked about at the service"
    assert request("https://mapped.test/data.txt", headers={"Authorization": f"Bearer {alice}"})[0] == 200
    assert introspections() == 3, "alice's own entry still serves from the cache"
