#!/usr/bin/python3
"""Small-request benchmarks: the gateway (httpd + mod_kalder + kalder-backend)
against httpd serving the same files itself over HTTPS, in the same run, on
HTTP/1.1 and on HTTP/2.

    tests/integration/run --exec /usr/bin/python3 bench/small_requests.py [--seconds 10] [--rounds 1]

Runs inside the integration namespace (loopback only, the test CA trusted);
KALDER_BUILD_DIR names the build whose module and back end are run. The
load tools come with `scripts/install-deps bench` (wrk, h2load of
nghttp2-client, ab). One httpd serves three virtual hosts on 443, each with
HTTP/2 beside HTTP/1.1 and keep-alive connections that the server never
closes (MaxKeepAliveRequests 0): mapped.test (the module, mapped collection,
bearer token), guest.test (the module, a guest collection whose /public/
anyone may read) and other.test (the mapped collection's directory as plain
static files). Measured, each for the gateway and for other.test:

  * GET of a 4 KiB file: requests/s and p50/p99 latency over 8 keep-alive
    connections, one request at a time on each (HTTP/1.1: wrk -t2 -c8;
    HTTP/2: h2load -t2 -c8 -m1, percentiles from its per-request log);
  * HEAD of the same file (HTTP/1.1: ab -k -c8, as wrk 4.1 cannot take a
    HEAD answer; HTTP/2: h2load with ":method: HEAD");
  * 64 KiB single-range GETs at random 4 KiB-aligned offsets of a 1 GiB
    file (--range-file-mib; the genome-browser pattern), every answer a
    206: wrk with a Lua script that draws the range of each request;
    h2load sends the same headers on every request, so HTTP/2 uses 8 curl
    processes, each a sequence of transfers on one connection. curl costs
    more per request than wrk: the static HTTP/2 figure is bound by the
    client on two cores, which makes that ratio look better than it is
    (compare the gateway's HTTP/2 figure with its HTTP/1.1 one);
  * anonymous GET of a 4 KiB file of guest.test's /public/, against the
    same bytes from other.test (the static figure of the 4 KiB GET: it is
    the same request to the same server);
  * one small GET on an otherwise idle server: the server's own time for
    the request (%D of the access log), median and p90 of 30 requests
    spaced 0.2 s apart, each on a new connection (curl).

Every load run lasts --seconds; --rounds repeats all of them, alternating
gateway and static, and the table shows the median over the rounds (each
round's figures are printed as it ends). Any answer other than the expected
status (as the client counts them, and in the server's access log), or a
socket error, stops the run. Ratio is gateway / reference: for requests/s
higher is better, for latencies lower is better.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import random
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "integration"))

from fixtures_auth import Emulator, collection_directives, scenario  # noqa: E402
from fixtures_data import MAPPED_ID, Backend, write_large  # noqa: E402
from kalder_harness import WORK, Httpd  # noqa: E402

MIB = 1 << 20
GUEST_ID = "00000000-0000-4000-8000-00000000bbbb"
TOKEN = "tok-alice-bench"
CONNECTIONS = 8
RANGE = 64 * 1024
ALIGN = 4096
SEED = 20240601
CURL_BATCH = 2000  # transfers per curl process (HTTP/2 ranges)

# Draws a 64 KiB range at a 4 KiB-aligned offset for every request (each
# wrk thread has its own generator, seeded from SEED and its number), and
# counts answers other than 206; done() prints the sum of all threads.
RANGE_LUA = """local threads = {}
function setup(thread)
  thread:set("id", #threads + 1)
  table.insert(threads, thread)
end
function init(args)
  math.randomseed(%(seed)d + id)
  bad = 0
end
function request()
  local first = math.random(0, %(blocks)d) * %(align)d
  wrk.headers["Range"] = string.format("bytes=%%d-%%d", first, first + %(last)d)
  return wrk.format()
end
function response(status, headers, body)
  if status ~= 206 then bad = bad + 1 end
end
function done(summary, latency, requests)
  local n = 0
  for _, t in ipairs(threads) do n = n + t:get("bad") end
  io.write(string.format("answers other than 206: %%d\\n", n))
end
"""


class Failed(RuntimeError):
    pass


def auth(token: str | None) -> list[str]:
    return ["-H", f"Authorization: Bearer {token}"] if token else []


def percentiles(samples_ms: list[float]) -> tuple[float, float]:
    if len(samples_ms) < 2:
        raise Failed(f"only {len(samples_ms)} latency samples")
    q = statistics.quantiles(samples_ms, n=100, method="inclusive")
    return q[49], q[98]


# --- HTTP/1.1: wrk, and ab for HEAD ------------------------------------------

def _wrk_ms(text: str, pct: str) -> float:
    m = re.search(rf"^\s+{pct}%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
    if not m:
        raise Failed(f"wrk printed no {pct}% latency:\n{text}")
    return float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]


def wrk(url: str, seconds: int, token: str | None, script: pathlib.Path | None = None,
        ranges: bool = False) -> dict[str, float]:
    args = ["wrk", "-t2", f"-c{CONNECTIONS}", f"-d{seconds}s", "--timeout", "10s", "--latency"]
    if script:
        args += ["-s", str(script)]
    out = subprocess.run(args + auth(token) + [url], capture_output=True, text=True, timeout=seconds + 60)
    text = out.stdout + out.stderr
    rps = re.search(r"Requests/sec:\s+([\d.]+)", text)
    wrong = re.search(r"answers other than 206: (\d+)", text)
    if (out.returncode != 0 or not rps or float(rps.group(1)) == 0 or "Non-2xx or 3xx responses" in text
            or "Socket errors" in text
            or (ranges and (not wrong or wrong.group(1) != "0"))):
        raise Failed(f"wrk {url}:\n{text}")
    return {"rps": float(rps.group(1)), "p50": _wrk_ms(text, "50"), "p99": _wrk_ms(text, "99")}


def ab_head(url: str, seconds: int, token: str | None) -> dict[str, float]:
    """HEAD over HTTP/1.1 with ab: wrk 4.1 reads a HEAD answer as if its
    body followed (it waits for Content-Length bytes that never come, and
    counts no request), and so does h2load --h1. ab's CSV of percentiles
    has microsecond resolution, unlike its printed table."""
    with tempfile.NamedTemporaryFile("r", dir=WORK, prefix="ab-", suffix=".csv") as csv:
        # -t stops at -n requests too; ab keeps a record of each one.
        args = ["ab", "-q", "-i", "-k", "-c", str(CONNECTIONS), "-t", str(seconds), "-n", str(seconds * 100000),
                "-e", csv.name]
        out = subprocess.run(args + auth(token) + [url], capture_output=True, text=True, timeout=seconds + 60)
        pct = dict(line.split(",") for line in csv.read().splitlines()[1:] if line)
    text = out.stdout + out.stderr
    rps = re.search(r"Requests per second:\s+([\d.]+)", text)
    done = re.search(r"Complete requests:\s+(\d+)", text)
    failed = re.search(r"Failed requests:\s+(\d+)", text)
    if (out.returncode != 0 or not rps or not done or done.group(1) == "0" or not failed or failed.group(1) != "0"
            or "Non-2xx responses" in text or "50" not in pct or "99" not in pct):
        raise Failed(f"ab -i {url}:\n{text}")
    return {"rps": float(rps.group(1)), "p50": float(pct["50"]), "p99": float(pct["99"])}


# --- HTTP/2: h2load, and curl for ranges ----------------------------------------

def h2load(url: str, seconds: int, token: str | None, method: str | None = None) -> dict[str, float]:
    with tempfile.NamedTemporaryFile("r", dir=WORK, prefix="h2load-", suffix=".log") as log:
        args = ["h2load", "-t2", f"-c{CONNECTIONS}", "-m1", "-D", str(seconds), "--log-file", log.name]
        if method:
            args += ["-H", f":method: {method}"]
        out = subprocess.run(args + auth(token) + [url], capture_output=True, text=True, timeout=seconds + 60)
        rows = [line.split("\t") for line in log.read().splitlines() if line]
    text = out.stdout + out.stderr
    fin = re.search(r"finished in [\d.]+\w*, ([\d.]+) req/s", text)
    req = re.search(r"requests: (\d+) total, (\d+) started, (\d+) done, (\d+) succeeded, (\d+) failed, "
                    r"(\d+) errored, (\d+) timeout", text)
    codes = re.search(r"status codes: (\d+) 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", text)
    if (out.returncode != 0 or not fin or not req or not codes or "Application protocol: h2" not in text):
        raise Failed(f"h2load {url}:\n{text}")
    done, succeeded = int(req.group(3)), int(req.group(4))
    if done == 0 or succeeded != done or int(codes.group(1)) != done or int(req.group(6)) or int(req.group(7)):
        raise Failed(f"h2load {url}: not every request answered 2xx:\n{text}")
    if any(not r[1].startswith("2") for r in rows):
        raise Failed(f"h2load {url}: per-request log has answers other than 2xx")
    p50, p99 = percentiles([int(r[2]) / 1000 for r in rows])
    return {"rps": float(fin.group(1)), "p50": p50, "p99": p99}


def curl_ranges_h2(url: str, seconds: int, token: str | None, size: int, seed: int) -> dict[str, float]:
    """64 KiB ranges over HTTP/2 for `seconds`: CONNECTIONS curl processes,
    each a sequence of transfers (config entries joined by `next`) on one
    connection. curl writes a line per finished transfer to stderr, which is
    unbuffered, so the processes can be ended at the deadline without losing
    lines; a process that runs out of entries is followed by a fresh one.
    A request's latency is from the end of the connection set-up (nothing,
    on a reused connection) to the last byte, as wrk and h2load count it."""
    blocks = (size - RANGE) // ALIGN
    common = (f'url = "{url}"\nhttp2\nsilent\nshow-error\noutput = "/dev/null"\nwrite-out = '
              '"%{stderr}%{http_code} %{http_version} %{time_pretransfer} %{time_total} %{num_connects}\\n"\n')
    if token:
        common += f'header = "Authorization: Bearer {token}"\n'
    started = [0] * CONNECTIONS
    lines: list[list[str]] = [[] for _ in range(CONNECTIONS)]
    running: list[subprocess.Popen | None] = [None] * CONNECTIONS
    lock = threading.Lock()
    start = time.monotonic()
    deadline = start + seconds

    def worker(i: int) -> None:
        rng = random.Random(seed * 100 + i)
        while time.monotonic() < deadline:
            with tempfile.NamedTemporaryFile("w", dir=WORK, prefix="curl-", suffix=".cfg") as cfg:
                firsts = (rng.randint(0, blocks) * ALIGN for _ in range(CURL_BATCH))
                cfg.write("next\n".join(f'{common}header = "Range: bytes={a}-{a + RANGE - 1}"\n' for a in firsts))
                cfg.flush()
                with lock:
                    if time.monotonic() >= deadline:
                        return
                    proc = running[i] = subprocess.Popen(["curl", "-K", cfg.name], stdout=subprocess.DEVNULL,
                                                         stderr=subprocess.PIPE, text=True)
                    started[i] += 1
                for line in proc.stderr:
                    if time.monotonic() >= deadline:
                        break
                    lines[i].append(line.strip())
                with lock:
                    if proc.poll() is None:
                        proc.terminate()
                    running[i] = None
                proc.wait()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(CONNECTIONS)]
    for t in threads:
        t.start()
    time.sleep(max(0.0, deadline - time.monotonic()))
    with lock:
        for proc in running:
            if proc and proc.poll() is None:
                proc.terminate()
    for t in threads:
        t.join()
    samples, connects = [], 0
    for line in (x for per in lines for x in per):
        m = re.fullmatch(r"(\d{3}) (\S+) ([\d.]+) ([\d.]+) (\d+)", line)
        if not m or m.group(1) != "206" or m.group(2) != "2":
            raise Failed(f"curl {url}: {line!r} (each answer must be a 206 over HTTP/2)")
        samples.append((float(m.group(4)) - float(m.group(3))) * 1000)
        connects += int(m.group(5))
    if connects > sum(started):
        raise Failed(f"curl {url}: {connects} connections in {sum(started)} processes: transfers did not share them")
    p50, p99 = percentiles(samples)
    return {"rps": len(samples) / seconds, "p50": p50, "p99": p99}


# --- one request at a time ------------------------------------------------------

def curl_once(url: str, token: str | None, http: str, method: str = "GET",
              headers: tuple[str, ...] = ()) -> str:
    """One request; returns "STATUS VERSION"."""
    args = ["curl", "-sS", "--http2" if http == "2" else "--http1.1", "-o", "/dev/null",
            "-w", "%{http_code} %{http_version}"]
    if method == "HEAD":
        args.append("-I")
    for h in headers:
        args += ["-H", h]
    out = subprocess.run(args + auth(token) + [url], capture_output=True, text=True, timeout=60)
    return out.stdout + (f" {out.stderr.strip()}" if out.stderr.strip() else "")


def preflight(checks: list[tuple[str, str | None, str, str, tuple[str, ...], str]]) -> None:
    """Each workload's request answers as expected on each protocol before
    any load is put on the server."""
    for url, token, http, method, headers, status in checks:
        got = curl_once(url, token, http, method, headers)
        if got != f"{status} {http}":
            raise Failed(f"{method} {url} over HTTP/{http} {' '.join(headers)}: got {got!r}, expected {status}")


def settled_size(timing_log: pathlib.Path) -> int:
    """The log's size once it has stopped growing: a request is logged after
    its answer has gone out, so the last lines may still be on their way."""
    size, still = timing_log.stat().st_size, 0
    for _ in range(100):
        time.sleep(0.1)
        size, before = timing_log.stat().st_size, size
        still = still + 1 if size == before else 0
        if still == 5:
            break
    return size


def check_log(timing_log: pathlib.Path, mark: int, host: str, status: str) -> None:
    """Every request the server logged since `mark` went to `host` and was
    answered with `status`: the server's own account, whatever the client
    counts (wrk counts 4xx and 5xx answers as errors, but not a 3xx).
    Requests that were under way when the client stopped are logged when
    they end, so this waits until the log stops growing."""
    settled_size(timing_log)
    with open(timing_log, "rb") as f:
        f.seek(mark)
        text = f.read().decode()
    seen: dict[tuple[str, str], int] = {}
    for m in re.finditer(r"^(\S+) \S+ (\d{3}) ", text, re.M):
        seen[(m.group(1), m.group(2))] = seen.get((m.group(1), m.group(2)), 0) + 1
    if not seen or set(seen) != {(host, status)}:
        raise Failed(f"the server answered {seen}, expected only {status} from {host}")


def idle_latency(timing_log: pathlib.Path, targets: list[tuple[str, str | None]], http: str,
                 n: int = 30, pause: float = 0.2) -> list[tuple[float, float]]:
    """%D of n spaced small GETs to each target (requests interleaved, each
    on a new connection): (median, p90) in ms per target."""
    mark = timing_log.stat().st_size
    for _ in range(n):
        for url, token in targets:
            got = curl_once(url, token, http)
            if not got.startswith("200 "):
                raise Failed(f"{url}: {got}")
            time.sleep(pause)
    text = timing_log.read_bytes()[mark:].decode()
    proto = "HTTP/2.0" if http == "2" else "HTTP/1.1"
    out = []
    for url, _ in targets:
        host, _, path = url.removeprefix("https://").partition("/")
        us = [int(m.group(1)) for m in re.finditer(rf"^{re.escape(host)} {proto} 200 (\d+) \"GET /{re.escape(path)} ",
                                                   text, re.M)]
        if len(us) != n:
            raise Failed(f"{len(us)} lines of {host} {proto} in {timing_log}, expected {n}")
        out.append((statistics.median(us) / 1000, statistics.quantiles(us, n=10, method="inclusive")[8] / 1000))
    return out


# --- the server -----------------------------------------------------------------

def make_server(emulator: Emulator, backend: Backend, files: pathlib.Path, timing_log: pathlib.Path) -> Httpd:
    httpd = Httpd("bench-small", modules=["http2"], log_level="warn")
    data = f"SetHandler kalder\nKalderBackEndContact {backend.contact}\nKalderIdleTimeout 60\n"
    httpd.vhost("mapped.test", body=data + collection_directives(
        emulator.url, "mapped", MAPPED_ID, "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60"))
    httpd.vhost("guest.test", body=data + collection_directives(emulator.url, "guest", GUEST_ID))
    httpd.vhost("other.test", body=f"DocumentRoot {files}\n<Directory {files}>\n  Require all granted\n</Directory>")
    httpd.add("Protocols h2 http/1.1")
    httpd.add("MaxKeepAliveRequests 0")
    httpd.add('LogFormat "%v %H %>s %D \\"%r\\"" timing')
    httpd.add(f"CustomLog {timing_log} timing")
    httpd.serve()
    return httpd


# --- main -----------------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=10, help="duration of each load run")
    parser.add_argument("--rounds", type=int, default=1, help="repetitions of every load run")
    parser.add_argument("--range-file-mib", type=int, default=1024, help="size of the file of the range reads")
    args = parser.parse_args()
    big_size = args.range_file_mib * MIB

    work = WORK / "bench-small"
    work.mkdir(parents=True, exist_ok=True)
    work.chmod(0o755)
    emulator = Emulator(work / "emulator").start(scenario("-bench", GUEST_ID))
    backend = Backend(work / "backend").start()
    files, public = backend.root, backend.share / "public"
    for d in (files, backend.share, public):
        d.mkdir(parents=True, exist_ok=True)
        d.chmod(0o755)
    print(f"writing test files ({args.range_file_mib} MiB, 4 KiB)...", flush=True)
    write_large(files / "big.dat", big_size)
    write_large(files / "small.dat", 4096)
    write_large(public / "small.dat", 4096)
    for p in (files / "big.dat", files / "small.dat", public / "small.dat"):
        p.chmod(0o644)
    with open(files / "big.dat", "rb") as f:  # into the page cache for both servers alike
        while f.read(8 * MIB):
            pass
    timing_log = work / "timing.log"
    scripts = work / "lua"
    scripts.mkdir(exist_ok=True)
    range_lua = scripts / "range.lua"
    range_lua.write_text(RANGE_LUA % {"seed": SEED, "blocks": (big_size - RANGE) // ALIGN, "align": ALIGN,
                                      "last": RANGE - 1})

    g, s, a = "https://mapped.test", "https://other.test", "https://guest.test"
    httpd = None
    try:
        httpd = make_server(emulator, backend, files, timing_log)
        sample_range = (f"Range: bytes={ALIGN}-{ALIGN + RANGE - 1}",)
        checks = []
        for http in ("1.1", "2"):
            for base, token in ((g, TOKEN), (s, None)):
                checks += [(f"{base}/small.dat", token, http, "GET", (), "200"),
                           (f"{base}/small.dat", token, http, "HEAD", (), "200"),
                           (f"{base}/big.dat", token, http, "GET", sample_range, "206")]
            checks.append((f"{a}/public/small.dat", None, http, "GET", (), "200"))
        preflight(checks)  # also puts the token and the guest permissions into the cache
        # The test files were just written: let their write-back finish, and
        # let every server process make its first data-channel credentials,
        # before anything is measured.
        os.sync()
        wrk(f"{g}/small.dat", 2, TOKEN)

        def measure(name: str, proto: str, side: str, rnd: int) -> dict[str, float]:
            url, token = (g, TOKEN) if side == "g" else (s, None)
            if name == "anon":
                url, token = f"{a}/public", None
            url += "/big.dat" if name == "range" else "/small.dat"
            sec = args.seconds
            mark = settled_size(timing_log)
            if proto == "h1" and name == "head":
                r = ab_head(url, sec, token)
            elif proto == "h1":
                r = wrk(url, sec, token, range_lua if name == "range" else None, ranges=name == "range")
            elif name == "range":
                r = curl_ranges_h2(url, sec, token, big_size, SEED + rnd)
            else:
                r = h2load(url, sec, token, "HEAD" if name == "head" else None)
            check_log(timing_log, mark, url.split("/")[2], "206" if name == "range" else "200")
            return r

        # results[(load, proto, side)]: one {"rps", "p50", "p99"} per round
        results: dict[tuple[str, str, str], list[dict[str, float]]] = {}
        for rnd in range(args.rounds):
            for proto in ("h1", "h2"):
                for name in ("get", "head", "range", "anon"):
                    sides = ["g"] if name == "anon" else ["g", "s"] if rnd % 2 == 0 else ["s", "g"]
                    for side in sides:
                        r = measure(name, proto, side, rnd)
                        results.setdefault((name, proto, side), []).append(r)
                        print(f"round {rnd + 1} {proto} {name:5} {'gateway' if side == 'g' else 'static ':7}: "
                              f"{r['rps']:9.1f} req/s, p50 {r['p50']:8.2f} ms, p99 {r['p99']:8.2f} ms", flush=True)
                # The anonymous GET's reference: the static 4 KiB GET of this round (the same request).
                results.setdefault(("anon", proto, "s"), []).append(results[("get", proto, "s")][-1])

        print("idle server: 30 spaced small GETs to each of gateway and static per protocol...", flush=True)
        idle = {}
        for proto, http in (("h1", "1.1"), ("h2", "2")):
            idle[proto] = idle_latency(timing_log, [(f"{g}/small.dat", TOKEN), (f"{s}/small.dat", None)], http)
    finally:
        if httpd:
            httpd.stop()
        backend.stop()
        emulator.stop()

    def med(key: tuple[str, str, str], field: str) -> float:
        return statistics.median(r[field] for r in results[key])

    loads = [("get", "4 KiB GET"), ("head", "4 KiB HEAD"), ("range", f"64 KiB range of {args.range_file_mib} MiB"),
             ("anon", "anonymous 4 KiB GET (guest)")]
    print()
    print(f"{'measure':46} {'gateway':>10} {'reference':>10} {'ratio':>7}")
    for name, label in loads:
        for proto in ("h1", "h2"):
            for field, unit in (("rps", "requests/s"), ("p50", "p50 ms"), ("p99", "p99 ms")):
                gv, sv = med((name, proto, "g"), field), med((name, proto, "s"), field)
                print(f"{f'{label}, {proto}: {unit}':46} {gv:10.{1 if field == 'rps' else 2}f} "
                      f"{sv:10.{1 if field == 'rps' else 2}f} {gv / sv:7.2f}")
    for proto in ("h1", "h2"):
        (gm, g90), (sm, s90) = idle[proto]
        print(f"{f'idle small GET, {proto}: server time %D median ms':46} {gm:10.3f} {sm:10.3f} {gm / sm:7.2f}")
        print(f"{f'idle small GET, {proto}: server time %D p90 ms':46} {g90:10.3f} {s90:10.3f} {g90 / s90:7.2f}")
    print(f"median of {args.rounds} round(s) of {args.seconds} s over {CONNECTIONS} connections; clients: h1 wrk "
          f"(HEAD: ab -k), h2 h2load -m1 (ranges: {CONNECTIONS} curl processes); the anonymous GET's reference is "
          "the static 4 KiB GET")


if __name__ == "__main__":
    try:
        main()
    except Failed as e:
        sys.exit(f"FAILED: {e}")
