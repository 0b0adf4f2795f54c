#!/usr/bin/python3
"""Data-path benchmarks: the gateway (httpd + mod_kalder + kalder-backend)
against httpd serving the same files itself over HTTPS, in the same run.

    tests/integration/run --exec /usr/bin/python3 bench/data_path.py [--size-mib 1024] [--rounds 2]

Runs inside the integration namespace (loopback only, the test CA trusted);
`scripts/install-deps bench` installs the load tools (ab among them). One
httpd serves four virtual hosts on 443, with HTTP/2 beside HTTP/1.1:
mapped.test (the module, mapped collection), other.test (the same directory
as plain static files), collection.test (mod_dav PUT into a scratch
directory) and, for the key-pool comparison, a second httpd started with
KALDER_KEY_POOL_SIZE=0. Measured:

  * single-stream download of a SIZE file (default 1 GiB), over HTTP/1.1
    and over HTTP/2;
  * aggregate throughput of 4 parallel downloads of SIZE/4 each (4
    connections), over HTTP/1.1 and over HTTP/2;
  * upload of a SIZE file, gateway PUT against mod_dav PUT;
  * requests per second for a 4 KiB file with warm caches (ab, keep-alive,
    8 concurrent clients, 20 seconds);
  * peak resident memory (VmHWM) of the server's child processes after a
    small download and after the large ones (HTTP/1.1 and HTTP/2), for the
    gateway and for the same files served statically, each on a fresh server;
  * latency of a small download with and without the key pool.

Each throughput figure is the best of --rounds runs (the machine is shared);
curl is the client, its output goes to /dev/null.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "integration"))

from fixtures_auth import Emulator, collection_directives, scenario  # noqa: E402
from fixtures_data import MAPPED_ID, Backend, write_large  # noqa: E402
from kalder_harness import WORK, Httpd, children_of  # noqa: E402

MIB = 1 << 20


def curl_time(url: str, token: str | None = None, upload: pathlib.Path | None = None, http: str = "1.1") -> float:
    args = ["curl", "-sS", "--http2" if http == "2" else "--http1.1", "-o", "/dev/null",
            "-w", "%{http_code} %{time_total} %{http_version}"]
    if token:
        args += ["-H", f"Authorization: Bearer {token}"]
    if upload:
        args += ["-T", str(upload)]
    out = subprocess.run(args + [url], capture_output=True, text=True, timeout=1200)
    code, seconds, version = (out.stdout.split(" ") + ["", ""])[:3]
    if code not in ("200", "201", "204") or version != http:
        raise RuntimeError(f"{url}: {out.stdout} {out.stderr}")
    return float(seconds)


def parallel_mib_s(urls: list[str], token: str | None, mib_each: float, http: str = "1.1") -> float:
    start = time.monotonic()
    procs = []
    for url in urls:
        args = ["curl", "-sS", "--http2" if http == "2" else "--http1.1", "-o", "/dev/null",
                "-w", "%{http_code} %{http_version}"]
        if token:
            args += ["-H", f"Authorization: Bearer {token}"]
        procs.append(subprocess.Popen(args + [url], stdout=subprocess.PIPE, text=True))
    for p in procs:
        out, _ = p.communicate(timeout=1200)
        if out != f"200 {http}":
            raise RuntimeError(f"parallel download answered {out}")
    return mib_each * len(urls) / (time.monotonic() - start)


def ab_rps(url: str, token: str | None) -> float:
    args = ["ab", "-q", "-k", "-t", "20", "-n", "1000000", "-c", "8"]
    if token:
        args += ["-H", f"Authorization: Bearer {token}"]
    out = subprocess.run(args + [url], capture_output=True, text=True, timeout=600)
    m = re.search(r"Requests per second:\s+([\d.]+)", out.stdout)
    failed = re.search(r"Failed requests:\s+(\d+)", out.stdout)
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", out.stdout)
    if not m or (failed and failed.group(1) != "0") or non2xx:
        raise RuntimeError("ab: " + out.stdout[-800:] + out.stderr[-400:])
    return float(m.group(1))


def peak_rss_mib(httpd: Httpd) -> float:
    total = 0
    for pid in children_of(httpd.pid()):
        try:
            status = pathlib.Path(f"/proc/{pid}/status").read_text()
        except OSError:
            continue
        m = re.search(r"VmHWM:\s+(\d+) kB", status)
        if m:
            total = max(total, int(m.group(1)))
    return total / 1024


def make_server(name: str, emulator: Emulator, backend: Backend, files: pathlib.Path, scratch: pathlib.Path,
                suffix: str) -> Httpd:
    httpd = Httpd(name, modules=["http2", "dav", "dav_fs"], log_level="warn")
    data = (f"SetHandler kalder\nKalderBackEndContact {backend.contact}\nKalderIdleTimeout 60\n" +
            collection_directives(emulator.url, "mapped", MAPPED_ID,
                                  "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60"))
    httpd.vhost("mapped.test", body=data)
    httpd.vhost("other.test", body=f"DocumentRoot {files}\n<Directory {files}>\n  Require all granted\n</Directory>")
    httpd.vhost("collection.test", body=f"DocumentRoot {scratch}\n<Directory {scratch}>\n  Require all granted\n  DAV On\n"
                                 f"</Directory>")
    httpd.add("Protocols h2 http/1.1")
    httpd.add(f"DavLockDB {scratch.parent / 'davlock' / 'lockdb'}")
    httpd.add("LimitRequestBody 0")
    httpd.serve()
    return httpd


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    size = args.size_mib * MIB
    quarter = size // 4

    work = WORK / "bench-data"
    emulator = Emulator(work / "emulator").start(scenario("-bench", "00000000-0000-4000-8000-00000000bbbb"))
    backend = Backend(work / "backend").start()
    files, scratch = backend.root, work / "dav"
    for d in (work, files, scratch, work / "davlock"):
        d.mkdir(parents=True, exist_ok=True)
        d.chmod(0o755 if d in (work, files) else 0o777)
    print(f"writing test files ({args.size_mib} MiB, 4 x {args.size_mib // 4} MiB, 4 KiB)...", flush=True)
    write_large(files / "big.dat", size)
    for i in range(4):
        write_large(files / f"q{i}.dat", quarter)
    write_large(files / "small.dat", 4096)
    upload_src = work / "upload.dat"
    write_large(upload_src, size)
    for p in files.iterdir():
        p.chmod(0o644)
    token = "tok-alice-bench"

    servers = []
    try:
        httpd = make_server("bench-data", emulator, backend, files, scratch, "-bench")
        servers.append(httpd)
        g, s, d = "https://mapped.test", "https://other.test", "https://collection.test"
        curl_time(f"{g}/small.dat", token)  # introspection into the cache

        results: dict[str, list[float]] = {k: [] for k in
                                           ["down_g", "down_s", "down_g2", "down_s2", "par_g", "par_s", "par_g2",
                                            "par_s2", "up_g", "up_d", "rps_g", "rps_s"]}
        for rnd in range(args.rounds):
            for http, v in (("1.1", ""), ("2", "2")):
                results["down_s" + v].append(args.size_mib / curl_time(f"{s}/big.dat", http=http))
                results["down_g" + v].append(args.size_mib / curl_time(f"{g}/big.dat", token, http=http))
                results["par_s" + v].append(parallel_mib_s([f"{s}/q{i}.dat" for i in range(4)], None, quarter / MIB,
                                                           http))
                results["par_g" + v].append(parallel_mib_s([f"{g}/q{i}.dat" for i in range(4)], token, quarter / MIB,
                                                           http))
            results["up_d"].append(args.size_mib / curl_time(f"{d}/up{rnd}.dat", upload=upload_src))
            results["up_g"].append(args.size_mib / curl_time(f"{g}/up{rnd}.dat", token, upload=upload_src))
            (scratch / f"up{rnd}.dat").unlink(missing_ok=True)
            (files / f"up{rnd}.dat").unlink(missing_ok=True)
            results["rps_s"].append(ab_rps(f"{s}/small.dat", None))
            results["rps_g"].append(ab_rps(f"{g}/small.dat", token))
            print(f"round {rnd + 1}: " + ", ".join(f"{k} {v[-1]:.1f}" for k, v in results.items()), flush=True)

        def lat(url: str, n: int = 30, pause: float = 0.3) -> float:
            times = []
            for _ in range(n):
                times.append(curl_time(url, token) * 1000)
                time.sleep(pause)  # lets the pool refill, as between ordinary requests
            return statistics.median(times)

        lat_pool = lat(f"{g}/small.dat")
        httpd.stop()
        servers.remove(httpd)
        os.environ["KALDER_KEY_POOL_SIZE"] = "0"
        nopool = make_server("bench-data-nopool", emulator, backend, files, scratch, "-bench")
        servers.append(nopool)
        del os.environ["KALDER_KEY_POOL_SIZE"]
        curl_time(f"{g}/small.dat", token)
        lat_nopool = lat(f"{g}/small.dat")

        # Peak memory of a fresh server's children, for the gateway and for
        # static files alike: after small downloads, after a download of a
        # quarter of SIZE, after SIZE over HTTP/1.1 and over HTTP/2 (and, for
        # the gateway, an upload of SIZE). It must not grow with the file size.
        nopool.stop()
        servers.remove(nopool)

        def memory(base: str, tok: str | None, name: str) -> list[float]:
            fresh = make_server(name, emulator, backend, files, scratch, "-bench")
            servers.append(fresh)
            try:
                for _ in range(3):
                    curl_time(f"{base}/small.dat", tok)
                peaks = [peak_rss_mib(fresh)]
                curl_time(f"{base}/q0.dat", tok)
                peaks.append(peak_rss_mib(fresh))
                curl_time(f"{base}/big.dat", tok)
                curl_time(f"{base}/big.dat", tok, http="2")
                if base == g:
                    curl_time(f"{g}/upmem.dat", tok, upload=upload_src)
                    (files / "upmem.dat").unlink(missing_ok=True)
                peaks.append(peak_rss_mib(fresh))
                return peaks
            finally:
                fresh.stop()
                servers.remove(fresh)

        rss = memory(g, token, "bench-data-memory")
        rss_static = memory(s, None, "bench-data-memory-static")

        best = {k: max(v) for k, v in results.items() if v}  # --rounds 0: memory and latency only
        print()
        print(f"{'measure':44} {'gateway':>10} {'reference':>10} {'ratio':>7}")
        rows = [("single download %d MiB (MiB/s)" % args.size_mib, "down_g", "down_s"),
                ("4 parallel downloads of %d MiB (MiB/s total)" % (args.size_mib // 4), "par_g", "par_s"),
                ("single download %d MiB, HTTP/2 (MiB/s)" % args.size_mib, "down_g2", "down_s2"),
                ("4 parallel downloads, HTTP/2 (MiB/s total)", "par_g2", "par_s2"),
                ("upload %d MiB vs mod_dav PUT (MiB/s)" % args.size_mib, "up_g", "up_d"),
                ("4 KiB file, requests/s (ab -k -c 8 -t 20)", "rps_g", "rps_s")]
        for label, gk, rk in rows:
            if gk not in best:
                continue
            print(f"{label:44} {best[gk]:10.1f} {best[rk]:10.1f} {best[gk] / best[rk]:7.2f}")
        for label, peaks, last in (("gateway", rss, "down (h1, h2) and up"), ("static ", rss_static, "down (h1, h2)")):
            print(f"peak RSS of a child, {label}, MiB: after 4 KiB {peaks[0]:.1f}, "
                  f"after {args.size_mib // 4} MiB {peaks[1]:.1f}, after {args.size_mib} MiB {last} {peaks[2]:.1f}")
        print(f"{'small download latency, ms (pool / no pool)':44} {lat_pool:10.1f} {lat_nopool:10.1f}")
    finally:
        for srv in servers:
            srv.stop()
        backend.stop()
        emulator.stop()


if __name__ == "__main__":
    main()
