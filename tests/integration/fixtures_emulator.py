"""The service emulator (tools/kalder-emulator) as a pytest fixture.

    def test_x(emulator):
        emu = emulator.start(SCENARIO)       # dict or path; returns emulator
        emu.base_url                         # "https://emulator.test:PORT"
        emu.counts()                         # {"introspect": 1, ...}
        emu.calls("dependent_token")         # recorded calls of one endpoint
        emu.fail("introspect", status=500, body="down")
        emu.set_scenario({...}); emu.patch_scenario({...}); emu.reset_calls()

The emulator serves a certificate of the harness's test CA, which the
namespace of tests/integration/run trusts, so the module reaches it through
the system CA bundle like a real service. It is stopped by its pid after
the test.
"""
from __future__ import annotations

import json
import os
import pathlib
import signal
import ssl
import subprocess
import time
import urllib.request

import pytest

from kalder_harness import PKI, SOURCE_DIR, WORK, make_certificate, register_pidfile

EMULATOR = SOURCE_DIR / "tools" / "kalder-emulator"
HOST = "emulator.test"

# A scenario that covers the usual cases: one mapped user with two linked
# identities, a token for each kind of answer, and a guest collection.
DEFAULT_SCENARIO = {
    "clients": [{"id": "kalder-test-client", "secret": "kalder-test-secret"}],
    "identities": {
        "11111111-1111-1111-1111-111111111111": {"username": "alice@example.org",
                                                 "last_authentication": "now-30", "amr": ["mfa"],
                                                 "linked": ["22222222-2222-2222-2222-222222222222"]},
        "22222222-2222-2222-2222-222222222222": {"username": "alice@other.org",
                                                 "last_authentication": "now-86400"},
    },
    "tokens": {
        "alice-token": {
            "active": True,
            "scope": "openid",
            "identities": ["11111111-1111-1111-1111-111111111111",
                           "22222222-2222-2222-2222-222222222222"],
            "authentications": {"11111111-1111-1111-1111-111111111111":
                                {"auth_time": "now-30", "amr": ["mfa"]}},
            "dependent_tokens": [{"access_token": "alice-transfer-token",
                                  "resource_server": "transfer.api.kalder.org"}],
        },
        "expired-token": {"active": False},
    },
}


class Emulator:
    def __init__(self, name: str):
        self.dir = WORK / "emulator" / name
        self.dir.mkdir(parents=True, exist_ok=True)
        self.proc: subprocess.Popen | None = None
        self.port = 0
        self.record = self.dir / "calls.jsonl"
        self._ctx = ssl.create_default_context(cafile=str(PKI / "ca.crt"))

    # --- life ------------------------------------------------------------

    def start(self, scenario: dict | str | pathlib.Path | None = None, timeout: float = 10.0) -> "Emulator":
        if scenario is None:
            scenario = DEFAULT_SCENARIO
        if isinstance(scenario, dict):
            path = self.dir / "scenario.json"
            path.write_text(json.dumps(scenario, indent=1))
        else:
            path = pathlib.Path(scenario)
        cert, key = make_certificate("emulator", [HOST, "localhost"])
        port_file = self.dir / "port"
        port_file.unlink(missing_ok=True)
        log = open(self.dir / "emulator.log", "w")
        args = ["/usr/bin/python3", str(EMULATOR), "--scenario", str(path), "--listen", "127.0.0.1:0",
                "--cert", str(cert), "--key", str(key), "--record", str(self.record),
                "--port-file", str(port_file)]
        if os.environ.get("KALDER_TEST_VERBOSE"):
            args.append("--verbose")
        self.proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT)
        log.close()
        pidfile = self.dir / "emulator.pid"
        pidfile.write_text(f"{self.proc.pid}\n")
        register_pidfile(pidfile)
        deadline = time.monotonic() + timeout
        while not port_file.exists():
            if self.proc.poll() is not None:
                raise RuntimeError("emulator exited: " + (self.dir / "emulator.log").read_text())
            if time.monotonic() > deadline:
                self.stop()
                raise TimeoutError(f"emulator did not listen within {timeout}s")
            time.sleep(0.05)
        self.port = int(port_file.read_text())
        return self

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
        self.proc = None

    @property
    def base_url(self) -> str:
        return f"https://{HOST}:{self.port}"

    # --- control ---------------------------------------------------------------

    def _request(self, method: str, path: str, body: dict | None = None) -> dict:
        data = json.dumps(body).encode() if body is not None else (b"" if method != "GET" else None)
        req = urllib.request.Request(self.base_url + path, data=data, method=method)
        with urllib.request.urlopen(req, context=self._ctx, timeout=10) as resp:
            return json.loads(resp.read() or b"{}")

    def counts(self) -> dict:
        return self._request("GET", "/_calls")["counts"]

    def count(self, endpoint: str) -> int:
        return self.counts().get(endpoint, 0)

    def calls(self, endpoint: str | None = None) -> list[dict]:
        calls = self._request("GET", "/_calls")["calls"]
        return [c for c in calls if endpoint is None or c["endpoint"] == endpoint]

    def reset_calls(self) -> None:
        self._request("POST", "/_calls/reset")

    def set_scenario(self, scenario: dict) -> None:
        self._request("POST", "/_scenario", scenario)

    def patch_scenario(self, members: dict) -> None:
        self._request("PATCH", "/_scenario", members)

    def scenario(self) -> dict:
        return self._request("GET", "/_scenario")

    def fail(self, endpoint: str, **switch) -> None:
        """Arms a failure switch: status, body, content_type, delay, times,
        redirect (or error= for the authorize endpoint)."""
        failures = dict(self.scenario()["scenario"].get("failures", {}))
        failures[endpoint] = switch
        self.patch_scenario({"failures": failures})

    def clear_failures(self) -> None:
        self.patch_scenario({"failures": {}})


@pytest.fixture
def emulator(request):
    """An emulator that is not yet started; call .start(scenario)."""
    emu = Emulator(request.node.name.replace("/", "_")[:60])
    yield emu
    emu.stop()


@pytest.fixture
def emulator_running(emulator):
    """The emulator started with DEFAULT_SCENARIO."""
    return emulator.start()
