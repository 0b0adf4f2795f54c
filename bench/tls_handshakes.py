#!/usr/bin/python3
"""TLS handshakes per second through httpd with the module's ClientHello peek
versus the same httpd without the module, measured in the same run.

Two servers run side by side with the same TLS configuration: one loads
mod_kalder with a KalderUnixSocket entry the clients never ask for (so every
connection is peeked, parsed, decided over the whole server chain and passed
through), the other does not load the module. Rounds alternate between them
so drift of the machine hits both alike. Each client does a full handshake
(fresh context, no session resumption) with a server name and ALPN "h2,
http/1.1", then closes.

Run through the integration runner (private network namespace, test CA):

    tests/integration/run --exec /usr/bin/python3 bench/tls_handshakes.py [--rounds 5] [--seconds 3]

KALDER_BUILD_DIR names the build whose mod_kalder.so is loaded.
"""
import argparse
import multiprocessing
import pathlib
import socket
import ssl
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "integration"))
from kalder_harness import Httpd  # noqa: E402


def _client(port: int, seconds: float, result) -> None:
    done = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ctx.set_alpn_protocols(["h2", "http/1.1"])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="collection.test") as tls:
                assert tls.version()
        done += 1
    result.put(done)


def measure(port: int, seconds: float, clients: int) -> float:
    result = multiprocessing.Queue()
    procs = [multiprocessing.Process(target=_client, args=(port, seconds, result)) for _ in range(clients)]
    start = time.monotonic()
    for p in procs:
        p.start()
    total = sum(result.get() for _ in procs)
    for p in procs:
        p.join()
    return total / (time.monotonic() - start)


def server(name: str, port: int, with_module: bool) -> Httpd:
    h = Httpd(f"bench-{name}", log_level="warn", load_kalder=with_module)
    body = "KalderUnixSocket acme-tls/1 /tmp/kalder-bench-unused.sock" if with_module else ""
    h.vhost("other.test", port=port)
    h.vhost("collection.test", port=port, body=body)
    h.serve()
    return h


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--clients", type=int, default=2)
    args = ap.parse_args()

    with_peek = server("peek", 9443, True)
    without = server("plain", 9444, False)
    try:
        measure(9443, 1, args.clients)  # warm up both
        measure(9444, 1, args.clients)
        peek, plain = [], []
        for r in range(args.rounds):
            order = [(9443, peek), (9444, plain)] if r % 2 == 0 else [(9444, plain), (9443, peek)]
            for port, out in order:
                out.append(measure(port, args.seconds, args.clients))
            print(f"round {r + 1}: with peek {peek[-1]:.0f}/s, without module {plain[-1]:.0f}/s", flush=True)
    finally:
        with_peek.stop()
        without.stop()
    p, q = statistics.median(peek), statistics.median(plain)
    cost = (q - p) / q * 100
    print(f"median handshakes/s: with peek {p:.0f}, without module {q:.0f}; peek cost {cost:+.1f}%")
    sys.exit(0 if cost < 5 else 1)


if __name__ == "__main__":
    main()
