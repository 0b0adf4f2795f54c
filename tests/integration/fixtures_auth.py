"""Fixtures of the authentication tests: the service emulator with a
scenario of tokens, identities and permissions, and a gateway with a mapped
and a guest collection that grants to plain static files."""
import base64
import http.client
import json
import ssl
import urllib.parse
import uuid

import pytest

from fixtures_emulator import Emulator as EmulatorProcess

CLIENT_ID = "11111111-2222-4333-8444-555555555555"
CLIENT_SECRET = "client secret"
MAPPED_ID = "0a000000-0000-4000-8000-00000000000a"
GUEST_ID = "0b000000-0000-4000-8000-00000000000b"
STATE_KEY = "integration state key"
TRANSFER_RS = "transfer.api.kalder.org"
SCOPE_HOST = "auth.kalder.org"
HTTPS_SCOPE = f"https://{SCOPE_HOST}/scopes/{CLIENT_ID}/https"
DATA_SCOPE = f"https://{SCOPE_HOST}/scopes/{CLIENT_ID}/data_access"
BROWSER_AGENT = "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0 Safari/537.36"


def scenario(suffix: str = "", guest_id: str = GUEST_ID):
    """Tokens and identities every authentication test starts from. Token
    names get the suffix: the keyring cache outlives a single test."""
    both = f"openid {HTTPS_SCOPE} {DATA_SCOPE}"
    base = {
        "clients": [{"id": CLIENT_ID, "secret": CLIENT_SECRET}],
        "identities": {
            "alice": {"username": "alice@example.org", "last_authentication": "now-30"},
            "bob": {"username": "bob@other.org", "last_authentication": "now-30"},
            "carol": {"username": "carol@example.org", "last_authentication": "now-86400"},
        },
        "login_identities": ["alice", "bob"],
        "tokens": {
            "tok-alice": {"scope": both, "identities": ["alice"],
                          "dependent_tokens": [
                              {"access_token": "other-rs", "resource_server": "other.example"},
                              {"access_token": "xfer-alice", "resource_server": TRANSFER_RS}]},
            "tok-https-only": {"scope": f"openid {HTTPS_SCOPE}", "identities": ["alice"]},
            "tok-glued": {"scope": f"openid x{HTTPS_SCOPE} {DATA_SCOPE}", "identities": ["alice"],
                          "dependent_tokens": [{"access_token": "xfer-glued", "resource_server": TRANSFER_RS}]},
            "tok-bob": {"scope": both, "identities": ["bob"],
                        "dependent_tokens": [{"access_token": "xfer-bob", "resource_server": TRANSFER_RS}]},
            "tok-carol-bob": {"scope": both, "identities": ["carol", "bob"],
                              "dependent_tokens": [{"access_token": "xfer-cb", "resource_server": TRANSFER_RS}]},
            "tok-inactive": {"active": False, "identities": ["alice"]},
            "tok-refused-grant": {"scope": both, "identities": ["alice"], "expired_grant": True},
            "tok-no-transfer": {"scope": both, "identities": ["alice"],
                                "dependent_tokens": [{"access_token": "x", "resource_server": "other.example"}]},
            "tok-stale-transfer": {"scope": both, "identities": ["alice"],
                                   "dependent_tokens": [{"access_token": "xfer-stale", "resource_server": TRANSFER_RS,
                                                         "active": False}]},
            "tok-nobody": {"scope": both, "identities": []},
        },
        "permissions": {
            guest_id: {
                "sharing_uuid": "5a000000-0000-4000-8000-0000000005a1",
                "anonymous": [{"encoded_path": "/public/", "permissions": "r"}],
                "users": {
                    "alice": [{"encoded_path": "/", "permissions": "r"}],
                    "bob": [{"encoded_path": "/bob/", "permissions": "rw"}],
                },
            },
        },
    }
    renamed = {}
    for name, desc in base["tokens"].items():
        desc = json.loads(json.dumps(desc))
        for dep in desc.get("dependent_tokens", []):
            dep["access_token"] += suffix
        renamed[name + suffix] = desc
    base["tokens"] = renamed
    return base


class Emulator(EmulatorProcess):
    """The service emulator under the name these tests use for its URL."""

    @property
    def url(self) -> str:
        return self.base_url


def request(url, method="GET", headers=None, body=None, timeout=30):
    """One HTTPS request without following redirects; trusts the test CA
    (the system bundle is replaced inside the test namespace). Returns
    (status, headers as a list of pairs, body)."""
    parts = urllib.parse.urlsplit(url)
    context = ssl.create_default_context()
    conn = http.client.HTTPSConnection(parts.hostname, parts.port or 443, context=context, timeout=timeout)
    try:
        target = parts.path or "/"
        if parts.query:
            target += "?" + parts.query
        conn.request(method, target, body=body, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.getheaders(), response.read()
    finally:
        conn.close()


def header(headers, name):
    """The values of one response header, in order."""
    return [v for k, v in headers if k.lower() == name.lower()]


def oidc_cookie(headers):
    """The mod_kalder_OIDC value of the last Set-Cookie, with its attributes."""
    values = [v for v in header(headers, "Set-Cookie") if v.startswith("mod_kalder_OIDC=")]
    assert values, f"no OIDC cookie in {headers}"
    value, _, attributes = values[-1].partition(";")
    assert attributes == "HttpOnly;Secure;Version=1;Path=/;SameSite=Lax"
    return value


def b64url_decode(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def b64url_encode(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


LOCATION_BLOCK = """<Location />
  AuthType kalder-auth
  AuthName "Kalder data"
  Require kalderacl
</Location>"""


def collection_directives(emulator_url: str, kind: str, collection_id: str, extra: str = "") -> str:
    return f"""KalderAuthAPIEndpoint {emulator_url}
KalderTransferAPIEndpoint {emulator_url}
KalderAuthClientID {CLIENT_ID}
KalderAuthClientSecret "{CLIENT_SECRET}"
KalderCollectionID {collection_id}
KalderCollectionType {kind}
KalderOIDCStateKey "{STATE_KEY}"
KalderConnectTimeout 10
{extra}
{LOCATION_BLOCK}"""


class Gateway:
    """A running server with mapped.test and guest.test in front of static
    files, and the emulator it asks."""

    def __init__(self, httpd, emulator, suffix, guest_id):
        self.httpd = httpd
        self.emulator = emulator
        self.suffix = suffix
        self.guest_id = guest_id

    def tok(self, name: str) -> str:
        """The scenario's token of that name, as this test knows it."""
        return f"tok-{name}{self.suffix}"

    def url(self, host, path):
        return f"https://{host}{path}"

    def get(self, host, path, token=None, method="GET", headers=None, body=None):
        h = dict(headers or {})
        if token:
            h["Authorization"] = f"Bearer {token}"
        return request(self.url(host, path), method=method, headers=h, body=body)


@pytest.fixture(scope="module")
def auth_emulator(request):
    emulator = Emulator(request.module.__name__).start(scenario())
    yield emulator
    emulator.stop()


@pytest.fixture
def gateway(httpd, auth_emulator):
    """mapped.test (allowed domain example.org, 60-minute assurance) and
    guest.test over the same document root."""
    suffix = "-" + uuid.uuid4().hex[:12]
    guest_id = str(uuid.uuid4())
    auth_emulator.set_scenario(scenario(suffix, guest_id))
    auth_emulator.reset_calls()
    root = httpd.docroot
    for rel, text in {"data.txt": "mapped data\n", "public/open.txt": "open data\n",
                      "private/secret.txt": "secret data\n", "bob/b.txt": "bob data\n"}.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.parent.chmod(0o755)
        path.write_text(text)
        path.chmod(0o644)
    httpd.vhost("mapped.test", body=collection_directives(
        auth_emulator.url, "mapped", MAPPED_ID,
        "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60"))
    httpd.vhost("guest.test", body=collection_directives(auth_emulator.url, "guest", guest_id))
    # The event MPM's spare-thread notice under bursts of requests is the
    # harness's sizing, not something these tests check.
    httpd.expect_log(r"AH10159: server is within MinSpareThreads")
    httpd.serve()
    return Gateway(httpd, auth_emulator, suffix, guest_id)
