#!/usr/bin/python3
"""A stand-in for a local service that receives handed-off connections.

Listens on a Unix socket; each connection carries the 4-byte message
00 00 00 01 and one descriptor (SCM_RIGHTS). The descriptor is the client's
TCP connection with its ClientHello still unread: the receiver completes its
own TLS handshake on it (Python's ssl module, the test certificate) and
answers one HTTP/1.x request with

    receiver alpn=<selected protocol> sni=<server name>

One line per event goes to stdout (flushed), for the tests to read:

    handoff <message hex> fd
    served alpn=<...> sni=<...>
    failed <reason>

    handoff_receiver.py SOCKET_PATH CERT KEY [ALPN,ALPN,...]
"""
import os
import socket
import ssl
import sys
import threading


def log(line: str) -> None:
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def serve(fd: int, ctx: ssl.SSLContext) -> None:
    sock = socket.socket(fileno=fd)
    sock.settimeout(20)
    names = {}

    def remember(conn, name, _ctx):
        names["sni"] = name

    ctx.sni_callback = remember
    try:
        with ctx.wrap_socket(sock, server_side=True) as tls:
            request = b""
            while b"\r\n\r\n" not in request and len(request) < 65536:
                chunk = tls.recv(4096)
                if not chunk:
                    break
                request += chunk
            body = f"receiver alpn={tls.selected_alpn_protocol()} sni={names.get('sni')}\n".encode()
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                        b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
            log(f"served alpn={tls.selected_alpn_protocol()} sni={names.get('sni')}")
    except (OSError, ssl.SSLError) as e:
        log(f"failed {e!r}")


def main() -> None:
    path, cert, key = sys.argv[1:4]
    protocols = sys.argv[4].split(",") if len(sys.argv) > 4 else ["http/1.1"]
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.chmod(path, 0o777)  # the server's children run as an unprivileged user
    listener.listen(128)
    log("listening")
    while True:
        conn, _ = listener.accept()
        with conn:
            try:
                message, fds, _flags, _addr = socket.recv_fds(conn, 16, 4)
            except OSError as e:
                log(f"failed {e!r}")
                continue
        if len(fds) != 1:
            log(f"failed {len(fds)} descriptors")
            for fd in fds:
                os.close(fd)
            continue
        log(f"handoff {message.hex()} fd")
        # A fresh context per connection keeps the SNI callbacks apart.
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        ctx.set_alpn_protocols(protocols)
        threading.Thread(target=serve, args=(fds[0], ctx), daemon=True).start()


if __name__ == "__main__":
    main()
