"""Fixtures and clients for the TLS hand-off tests: a receiving service on a
Unix socket (handoff_receiver.py), and a TLS client whose ClientHello can be
written in pieces."""
from __future__ import annotations

import pathlib
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

from kalder_harness import PKI, WORK, wait_for

RECEIVER = pathlib.Path(__file__).with_name("handoff_receiver.py")


class Receiver:
    """A running handoff_receiver.py; its stdout lines are collected."""

    def __init__(self, name: str, protocols: list[str]):
        self.path = WORK / f"{name}.sock"
        assert len(str(self.path)) < 108, self.path
        self.lines: list[str] = []
        self.proc = subprocess.Popen(
            [sys.executable, str(RECEIVER), str(self.path), str(PKI / "server.crt"), str(PKI / "server.key"),
             ",".join(protocols)],
            stdout=subprocess.PIPE, text=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        wait_for(lambda: "listening" in self.lines, timeout=10, what="the receiver to listen")

    def _read(self) -> None:
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def count(self, prefix: str) -> int:
        return sum(line.startswith(prefix) for line in self.lines)

    def wait_count(self, prefix: str, n: int, timeout: float = 20.0) -> None:
        wait_for(lambda: self.count(prefix) >= n, timeout=timeout,
                 what=f"{n} receiver lines starting {prefix!r} (have {self.lines[-5:]})")

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)


@pytest.fixture
def receiver_factory():
    """receiver_factory(name, protocols=["http/1.1"]) starts a receiving
    service on WORK/<name>.sock; all are stopped after the test."""
    started: list[Receiver] = []

    def make(name: str, protocols: list[str] | None = None) -> Receiver:
        r = Receiver(name, protocols or ["http/1.1"])
        started.append(r)
        return r

    yield make
    for r in started:
        r.stop()


# ---------------------------------------------------------------------------
# A TLS client driven through memory BIOs, so the test decides how the
# ClientHello reaches the wire.

def client_context(alpn: list[str] | None) -> ssl.SSLContext:
    ctx = ssl.create_default_context(cafile=str(PKI / "ca.crt"))
    if alpn:
        ctx.set_alpn_protocols(alpn)
    return ctx


class PieceClient:
    """TLS over a plain socket; `first_flight` says how the ClientHello is
    written: a list of byte counts to send with `gap` seconds between them
    (the rest follows last)."""

    def __init__(self, host: str, port: int = 443, server_name: str | None = None,
                 alpn: list[str] | None = None, timeout: float = 10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = client_context(alpn).wrap_bio(self.incoming, self.outgoing,
                                                 server_hostname=server_name or host)

    def client_hello(self) -> bytes:
        try:
            self.tls.do_handshake()
        except ssl.SSLWantReadError:
            pass
        return self.outgoing.read()

    def send_pieces(self, data: bytes, sizes: list[int], gap: float) -> None:
        at = 0
        for size in sizes:
            self.sock.sendall(data[at:at + size])
            at += size
            time.sleep(gap)
        self.sock.sendall(data[at:])

    def _pump(self) -> bool:
        out = self.outgoing.read()
        if out:
            self.sock.sendall(out)
        data = self.sock.recv(65536)
        if not data:
            self.incoming.write_eof()
            return False
        self.incoming.write(data)
        return True

    def handshake(self, sizes: list[int] | None = None, gap: float = 0.2) -> None:
        hello = self.client_hello()
        self.send_pieces(hello, sizes or [], gap)
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                if not self._pump():
                    raise ConnectionError("connection closed during the handshake")
        out = self.outgoing.read()
        if out:
            self.sock.sendall(out)

    def get(self, path: str, host: str) -> str:
        """One HTTP/1.1 request; returns the body (the connection closes)."""
        self.tls.write(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
        response = b""
        while True:
            out = self.outgoing.read()
            if out:
                self.sock.sendall(out)
            try:
                chunk = self.tls.read(65536)
                if not chunk:
                    break
                response += chunk
                continue
            except ssl.SSLWantReadError:
                pass
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                break
            if not self._pump():
                try:
                    response += self.tls.read(65536)
                except ssl.SSLError:
                    pass
                break
        head, _, body = response.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200"), head[:200]
        return body.decode(errors="replace")

    def close(self) -> None:
        self.sock.close()
