"""The gateway's connection to kalder-backend: on the Unix-domain socket only
the gateway's uid is served (anyone else who opened a session could act as
any user on every collection); TCP, for a back end on another machine,
still serves and warns at start-up."""
import os
import stat
import subprocess
import sys

import pytest

from fixtures_data import BACKEND, numbered, socket_activated, unix_listener, write_file

# Connects to the socket named by argv[1], sends a well-formed session start
# naming an arbitrary user, and prints its pid and the first bytes that came
# back ("" when the back end closed without a word).
PEER = r"""
import os, socket, struct, sys
def s(b): return struct.pack(">I", len(b)) + b
payload = (s(b":kalder-mapped-collection:ENDPOINT_ID=x;IDENTITY_IDS=u1;IDENTITY_NAMES=mallory;HIGH_ASSURANCE=0;")
           + s(b"/CN=anyone") + s(sys.argv[1].encode()) + b"\x01" + s(b"-----BEGIN CERTIFICATE-----\n"))
frame = b"KI\x01\x01" + struct.pack(">II", 0, len(payload)) + payload
c = socket.socket(socket.AF_UNIX)
c.settimeout(20)  # a bound on a hung back end, not a measurement
c.connect(sys.argv[1])
try:
    c.sendall(frame)
    got = c.recv(64)
except (BrokenPipeError, ConnectionResetError):
    got = b""
print(os.getpid(), got.hex())
"""


def peer(path, uid: int, gid: int) -> tuple[int, bytes]:
    proc = subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", sys.executable,
                           "-c", PEER, str(path)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    pid, _, data = proc.stdout.strip().partition(" ")
    return int(pid), bytes.fromhex(data)


def test_the_socket_serves_only_the_gateways_uid(data_gateway):
    gw = data_gateway
    write_file(gw.root / "f.txt", b"only through the gateway\n")
    sock = gw.backend.socket_path
    st = os.lstat(sock)
    assert stat.S_ISSOCK(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o660
    assert st.st_gid == 33, "the group lets the server's children (www-data) open it"
    assert gw.curl("mapped.test", "/f.txt", token=gw.tok("alice")).body == b"only through the gateway\n"

    # Another uid in the socket's group gets through the file's permissions,
    # but not past the back end: no reply, closed.
    pid, got = peer(sock, 65534, 33)
    assert got == b""
    assert f"refused connection from uid 65534 (pid {pid}): not allowed by --allow-uid" in gw.backend.log_text()
    # The same frame from the web server's uid is answered.
    _, got = peer(sock, 33, 33)
    assert got[:4] == b"KI\x01\x20", got

    r = gw.curl("mapped.test", "/f.txt", token=gw.tok("alice"))
    assert (r.status, r.body) == (200, b"only through the gateway\n"), r


def test_a_gateway_whose_uid_is_not_allowed_learns_why(data_gateway):
    gw = data_gateway
    gw.backend.stop()
    gw.backend.start(["--allow-uid", "root"])
    r = gw.curl("mapped.test", "/f.txt", token=gw.tok("alice"))
    assert r.status == 404, r
    assert b"closed the connection before the session opened" in r.body and b"--allow-uid" in r.body, r
    assert "refused connection from uid 33 (pid " in gw.backend.log_text()


@pytest.mark.parametrize("backend", [{"transport": "tcp", "listen_host": "0.0.0.0"}], indirect=True,
                         ids=["tcp"])
def test_a_back_end_over_tcp_serves_the_same_bytes_and_warns(data_gateway, http):
    gw = data_gateway
    assert "is not a loopback address" in gw.backend.log_text()
    assert "keep it reachable only from the gateway hosts" in gw.backend.log_text()
    data = numbered(3 * (1 << 20) + 5)
    write_file(gw.root / "t.dat", data)
    write_file(gw.share / "t.dat", data)
    for host in ("mapped.test", "guest.test"):
        r = gw.curl(host, "/t.dat", token=gw.tok("alice"), http=http)
        assert (r.status, r.body == data) == (200, True), r
        r = gw.curl(host, "/t.dat", token=gw.tok("alice"), http=http, headers={"Range": "bytes=10-19,2000000-"})
        assert r.status == 206 and data[10:20] in r.body and data[2000000:2000100] in r.body, r
    src = gw.tmp("up")
    src.write_bytes(data[:100000])
    r = gw.curl("mapped.test", "/up.dat", token=gw.tok("alice"), http=http, method="PUT", upload=src)
    assert r.status == 200, r
    assert (gw.root / "up.dat").read_bytes() == data[:100000]


def test_a_socket_passed_by_the_service_manager_is_served_and_left_in_place(data_gateway):
    # Socket activation: the back end takes fd 3 as it is (owner, group and
    # mode are the manager's) and leaves the file at exit, which is the
    # manager's to remove. A socket bound elsewhere than --listen says stops
    # the start rather than serving on a path nobody configured.
    gw = data_gateway
    gw.backend.stop()
    sock = gw.backend.socket_path
    gw.backend.start(inherit=True)
    assert "using the listening socket passed by the service manager" in gw.backend.log_text()
    write_file(gw.root / "a.txt", b"activated\n")
    assert gw.curl("mapped.test", "/a.txt", token=gw.tok("alice")).body == b"activated\n"
    src = write_file(gw.tmp("src"), numbered(70000))
    r = gw.curl("mapped.test", "/up.dat", token=gw.tok("alice"), method="PUT", upload=src)
    assert r.status == 200, r
    assert (gw.root / "up.dat").read_bytes() == numbered(70000)
    inode = os.lstat(sock).st_ino
    gw.backend.stop()
    assert os.lstat(sock).st_ino == inode

    other = sock.with_name("other.sock")
    with unix_listener(other) as listener:
        proc = socket_activated([str(BACKEND), "--listen", f"unix:{sock}", "--root", str(gw.root)], listener,
                                subprocess.PIPE)
    out = proc.communicate(timeout=30)[0].decode()
    assert proc.returncode == 1 and f'the inherited socket is bound to "{other}"' in out, out
