"""Fixtures of the data-path tests: the back end (build/kalder-backend) over
a temporary collection directory, on a Unix-domain socket unless a test asks
for TCP, and a gateway whose mapped.test and
guest.test serve that directory through the content handler, over HTTP/1.1
and HTTP/2, authenticated by the service emulator of fixtures_auth.

    def test_x(data_gateway):
        gw = data_gateway
        gw.root / "f.txt"                      # the mapped collection's files
        gw.share                               # the guest collection's files
        gw.curl("mapped.test", "/f.txt", token=gw.tok("alice"), http="2")
"""
from __future__ import annotations

import hashlib
import os
import pathlib
import signal
import socket
import subprocess
import sys
import uuid

import pytest

from fixtures_auth import collection_directives, scenario
from kalder_harness import BUILD_DIR, WORK, free_port, register_pidfile, wait_for

BACKEND = BUILD_DIR / "kalder-backend"
SHARING_ID = "5a000000-0000-4000-8000-0000000005a1"  # the scenario's guest share
MAPPED_ID = "0a000000-0000-4000-8000-00000000000a"


class Backend:
    """kalder-backend with one mapped root and guest shares. By default on a
    Unix-domain socket in its directory, whose group (www-data) lets the
    server's children connect; transport="tcp" listens on a TCP port of
    `listen_host` instead (the gateway connects to 127.0.0.1)."""

    def __init__(self, directory: pathlib.Path, transport: str = "unix", listen_host: str = "127.0.0.1"):
        assert transport in ("unix", "tcp"), transport
        self.dir = directory
        self.dir.mkdir(parents=True, exist_ok=True)
        self.root = self.dir / "root"
        self.root.mkdir(exist_ok=True)
        self.share = self.dir / "share"
        self.share.mkdir(exist_ok=True)
        self.transport = transport
        self.listen_host = listen_host
        self.socket_path = self.dir / "backend.sock"
        assert transport == "tcp" or len(str(self.socket_path)) <= 107, f"socket path too long: {self.socket_path}"
        self.port = 0
        self.proc: subprocess.Popen | None = None
        self.log_path = self.dir / "backend.log"

    @property
    def contact(self) -> str:
        """The KalderBackEndContact of this back end."""
        return f"unix:{self.socket_path}" if self.transport == "unix" else f"127.0.0.1:{self.port}"

    def start(self, extra: list[str] | None = None, inherit: bool = False) -> "Backend":
        """inherit=True hands it the listening socket the way a service
        manager's socket activation does (Unix-domain socket only)."""
        if not BACKEND.exists():
            pytest.skip(f"{BACKEND} is not built")
        if self.transport == "unix":
            listen = ["--listen", self.contact, "--socket-group", "www-data"]
        else:
            self.port = self.port or free_port()  # a restart keeps the port the gateway was configured with
            listen = ["--listen", f"{self.listen_host}:{self.port}"]
        started = self.log_text().count("kalder-backend: listening on ")
        log = open(self.log_path, "a")
        argv = [str(BACKEND), *listen, "--root", str(self.root), "--share", f"{SHARING_ID}={self.share}",
                *(extra or [])]
        if inherit:
            with unix_listener(self.socket_path, group=33) as listener:
                self.proc = socket_activated(argv, listener, log)
        else:
            self.proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)
        log.close()
        pidfile = self.dir / "backend.pid"
        pidfile.write_text(f"{self.proc.pid}\n")
        register_pidfile(pidfile)

        def up():
            if self.proc.poll() is not None:
                raise RuntimeError("kalder-backend exited: " + self.log_text())
            # It logs where it listens once it does (a probe connection would
            # show in its log as a session that never started).
            return self.log_text().count("kalder-backend: listening on ") > started
        wait_for(up, timeout=15, what="kalder-backend")
        return self

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
        self.proc = None

    def log_text(self) -> str:
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""


def unix_listener(path: pathlib.Path, owner: int = -1, group: int = -1, mode: int = 0o660) -> socket.socket:
    """A listening Unix-domain socket at path, made as a systemd socket
    unit makes it (SocketUser=, SocketGroup=, SocketMode=)."""
    if path.is_socket():
        path.unlink()
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(path))
    os.chown(path, owner, group)
    path.chmod(mode)
    listener.listen(64)
    return listener


def socket_activated(argv: list[str], listener: socket.socket, log, user: str | None = None) -> subprocess.Popen:
    """Starts argv the way socket activation does: the listening socket as
    fd 3, LISTEN_PID naming the process, LISTEN_FDS=1; as `user` without
    capabilities (User= with CapabilityBoundingSet= empty) when given."""
    fd = listener.fileno()
    drop = ["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups", "--no-new-privs",
            "--inh-caps=-all", "--bounding-set=-all"] if user else []
    return subprocess.Popen([sys.executable, "-c", _ACTIVATE, str(fd), *drop, *argv], pass_fds=(fd,), stdout=log,
                            stderr=subprocess.STDOUT)


# Moves the socket to fd 3 and execs the rest of argv (setpriv keeps the pid).
_ACTIVATE = """import os, sys
fd = int(sys.argv[1])
if fd != 3:
    os.dup2(fd, 3)
    os.close(fd)
os.environ.update(LISTEN_PID=str(os.getpid()), LISTEN_FDS="1")
os.execvp(sys.argv[2], sys.argv[2:])
"""


def numbered(size: int) -> bytes:
    """size bytes of numbered lines ("00000001 ...\\n"), so that a byte at a
    wrong offset shows which line it came from."""
    out = bytearray()
    n = 0
    while len(out) < size:
        n += 1
        out += b"%09d abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ\n" % n
    return bytes(out[:size])


def write_file(path: pathlib.Path, data: bytes) -> pathlib.Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def write_large(path: pathlib.Path, size: int) -> str:
    """A large file of numbered lines written in pieces; returns its sha256."""
    digest = hashlib.sha256()
    chunk = numbered(1 << 20)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = chunk[:min(left, len(chunk))]
            f.write(piece)
            digest.update(piece)
            left -= len(piece)
    return digest.hexdigest()


def sha256_file(path: pathlib.Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class Response:
    def __init__(self, status: int, version: str, headers: list[tuple[str, str]], body: bytes, stderr: str,
                 exit_code: int):
        self.status = status
        self.version = version
        self.headers = headers
        self.body = body
        self.stderr = stderr
        self.exit_code = exit_code

    def header(self, name: str) -> list[str]:
        return [v for k, v in self.headers if k.lower() == name.lower()]

    def one(self, name: str) -> str | None:
        values = self.header(name)
        assert len(values) <= 1, f"{name}: {values}"
        return values[0] if values else None

    def __repr__(self) -> str:
        return f"<{self.status} HTTP/{self.version} {self.headers} {self.body[:200]!r} {self.stderr[-300:]}>"


class DataGateway:
    def __init__(self, httpd, emulator, backend: Backend, suffix: str, guest_id: str, work: pathlib.Path):
        self.httpd = httpd
        self.emulator = emulator
        self.backend = backend
        self.root = backend.root
        self.share = backend.share
        self.suffix = suffix
        self.guest_id = guest_id
        self.work = work
        self._n = 0

    def tok(self, name: str) -> str:
        return f"tok-{name}{self.suffix}"

    def tmp(self, name: str = "f") -> pathlib.Path:
        self._n += 1
        return self.work / f"{self._n}-{name}"

    def curl(self, host: str, path: str, token: str | None = None, http: str = "1.1", method: str | None = None,
             headers: dict | None = None, upload: pathlib.Path | None = None, data: bytes | None = None,
             output: pathlib.Path | None = None, timeout: float = 300, extra: list[str] | None = None,
             stdin: bytes | None = None) -> Response:
        """One request with curl (the client browsers and programs use),
        HTTP/1.1 or HTTP/2 over TLS. With `output` the body goes to that
        file and Response.body stays empty."""
        head = self.tmp("headers")
        args = ["curl", "-sS", "--http2" if http == "2" else "--http1.1", "-D", str(head),
                "-w", "%{http_code} %{http_version}", "-o", str(output) if output else str(self.tmp("body"))]
        body_file = pathlib.Path(args[-1])
        if method == "HEAD":
            args.append("-I")
        elif method:
            args += ["-X", method]
        if token:
            args += ["-H", f"Authorization: Bearer {token}"]
        for k, v in (headers or {}).items():
            args += ["-H", f"{k}: {v}"]
        if upload is not None:
            args += ["--upload-file", str(upload)]
        if stdin is not None:
            args += ["--upload-file", "-"]  # no length known: chunked (HTTP/1.1)
        if data is not None:
            src = self.tmp("data")
            src.write_bytes(data)
            args += ["--data-binary", f"@{src}"]
        args += extra or []
        args.append(f"https://{host}{path}")
        proc = subprocess.run(args, capture_output=True, input=stdin, timeout=timeout)
        status, _, version = proc.stdout.decode().strip().partition(" ")
        headers_out = []
        if head.exists():
            # Only the last response's headers (curl writes 100-continue too).
            blocks = head.read_bytes().decode("latin-1").strip().split("\r\n\r\n")
            for line in blocks[-1].split("\r\n")[1:]:
                k, _, v = line.partition(":")
                headers_out.append((k.strip(), v.strip()))
        body = b""
        if not output and body_file.exists():
            body = body_file.read_bytes()
        return Response(int(status or 0), version, headers_out, body, proc.stderr.decode(errors="replace"),
                        proc.returncode)


DATA_DIRECTIVES = """SetHandler kalder
Protocols h2 http/1.1
KalderBackEndContact {contact}
KalderIdleTimeout 60"""


@pytest.fixture
def backend(request):
    """The back end on its Unix-domain socket; a test parametrised indirectly
    with keyword arguments of Backend (transport="tcp", ...) gets those."""
    kwargs = getattr(request, "param", {})
    b = Backend(WORK / "backend" / (request.node.name[:40] + "-" + uuid.uuid4().hex[:6]), **kwargs)
    yield b
    b.stop()


@pytest.fixture
def data_gateway(backend, auth_emulator, httpd_factory):
    """mapped.test (allowed domain example.org) and guest.test in front of
    kalder-backend, with HTTP/2 offered beside HTTP/1.1."""
    suffix = "-" + uuid.uuid4().hex[:12]
    guest_id = str(uuid.uuid4())
    auth_emulator.set_scenario(scenario(suffix, guest_id))
    auth_emulator.reset_calls()
    backend.start()
    httpd = httpd_factory(modules=["http2"])
    directives = DATA_DIRECTIVES.format(contact=backend.contact)
    httpd.vhost("mapped.test", body=directives + "\n" + collection_directives(
        auth_emulator.url, "mapped", MAPPED_ID,
        "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60"))
    httpd.vhost("guest.test", body=directives + "\n" + collection_directives(auth_emulator.url, "guest", guest_id))
    httpd.expect_log(r"AH10159: server is within MinSpareThreads")
    httpd.serve()
    work = WORK / "data" / uuid.uuid4().hex[:8]
    work.mkdir(parents=True, exist_ok=True)
    return DataGateway(httpd, auth_emulator, backend, suffix, guest_id, work)


@pytest.fixture(params=["1.1", "2"], ids=["http1", "http2"])
def http(request) -> str:
    """Runs a test once over HTTP/1.1 and once over HTTP/2."""
    return request.param
