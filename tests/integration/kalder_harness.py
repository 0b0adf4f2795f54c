"""Harness of the integration tests: a throwaway test CA, a hosts file, and a
builder for real httpd instances that load the module from the build dir.

Run by tests/integration/run inside a private network and mount namespace:

    kalder_harness.py prepare WORK   makes WORK/pki (CA, server certificate,
                                     CA bundle) and WORK/hosts
    kalder_harness.py reap WORK      stops every server still running

Tests use Httpd:

    httpd = Httpd("basic")
    httpd.vhost("collection.test", body="KalderCollectionType mapped")
    httpd.install()
    httpd.start()
    ...
    httpd.stop()

After each test the `httpd` fixture checks the error log: any [warn], [error]
or [crit] line that the test did not announce with httpd.expect_log(regex)
fails the test (the error log is an oracle).
"""
from __future__ import annotations

import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import time

BUILD_DIR = pathlib.Path(os.environ.get("KALDER_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
SOURCE_DIR = pathlib.Path(os.environ.get("KALDER_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
WORK = pathlib.Path(os.environ.get("KALDER_TEST_WORK", "/tmp/kalder-it"))
PKI = WORK / "pki"
MODULE = BUILD_DIR / "mod_kalder.so"
HTTPD_BIN = "/usr/sbin/apache2"
HTTPD_MODULES = pathlib.Path("/usr/lib/apache2/modules")

# Names the test hosts answer to; every one resolves to loopback.
TEST_HOSTS = ["localhost", "collection.test", "mapped.test", "guest.test", "other.test",
              "emulator.test", "backend.test", "handoff.test"]

_pidfiles_file = "pidfiles"


# ---------------------------------------------------------------------------
# Test PKI and hosts

def _make_pki(*args: str) -> None:
    """tools/make-pki, the one maker of throwaway CAs and certificates."""
    result = subprocess.run([str(SOURCE_DIR / "tools" / "make-pki"), *args], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"make-pki {args[0]} failed: {result.stderr.strip()}")


def make_certificate(name: str, sans: list[str], directory: pathlib.Path = PKI) -> tuple[pathlib.Path, pathlib.Path]:
    """Issue a certificate of the test CA for the given DNS names (and
    127.0.0.1); returns (certificate, key) paths."""
    cert, key = directory / f"{name}.crt", directory / f"{name}.key"
    if not cert.exists():
        _make_pki("issue", str(directory), "2", name, *sans)
    return cert, key


def prepare(work: pathlib.Path) -> None:
    pki = work / "pki"
    pki.mkdir(parents=True, exist_ok=True)
    pki.chmod(0o755)
    _make_pki("ca", str(pki), "2", "mod_kalder test CA")
    make_certificate("server", TEST_HOSTS + ["*.test"], pki)
    system_bundle = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")
    bundle = (pki / "ca.crt").read_text()
    if system_bundle.exists():
        bundle += system_bundle.read_text()
    (pki / "ca-bundle.crt").write_text(bundle)
    hosts = "127.0.0.1\t" + " ".join(TEST_HOSTS) + "\n::1\tlocalhost ip6-localhost ip6-loopback\n"
    (work / "hosts").write_text(hosts)


def reap(work: pathlib.Path) -> None:
    listing = work / _pidfiles_file
    if not listing.exists():
        return
    for line in listing.read_text().splitlines():
        pidfile = pathlib.Path(line)
        try:
            pid = int(pidfile.read_text().strip())
            os.kill(pid, signal.SIGTERM)
        except (OSError, ValueError):
            pass


def register_pidfile(pidfile: pathlib.Path) -> None:
    """Remember a server's pid file so that the runner can stop it if a
    test leaves it running."""
    with open(WORK / _pidfiles_file, "a") as f:
        f.write(f"{pidfile}\n")


# ---------------------------------------------------------------------------
# Small helpers

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout: float = 10.0, interval: float = 0.05, what: str = "condition"):
    """Poll until predicate() is truthy; returns its value or raises."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def port_open(port: int, host: str = "127.0.0.1") -> bool:
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


# ---------------------------------------------------------------------------
# httpd

_BASE_MODULES = ["mpm_event", "authz_core", "authn_core", "authz_host", "mime", "ssl",
                 "socache_shmcb", "dir", "alias", "headers", "env"]

_LEVELS_REPORTED = ("warn", "error", "crit", "alert", "emerg")


class Httpd:
    """One httpd instance with a generated configuration."""

    def __init__(self, name: str, log_level: str = "notice kalder:debug", modules: list[str] | None = None,
                 load_kalder: bool = True, mpm: str = "event", user: str = "www-data"):
        self.name = name
        self.dir = WORK / "httpd" / name
        self.dir.mkdir(parents=True, exist_ok=True)
        for d in (self.dir.parent, self.dir):
            d.chmod(0o755)
        self.docroot = self.dir / "htdocs"
        self.docroot.mkdir(exist_ok=True)
        self.docroot.chmod(0o755)
        self.conf = self.dir / "httpd.conf"
        self.error_log = self.dir / "error.log"
        self.access_log = self.dir / "access.log"
        self.pidfile = self.dir / "httpd.pid"
        self.log_level = log_level
        self.modules = list(dict.fromkeys([m for m in _BASE_MODULES if m != "mpm_event"] + (modules or [])))
        self.mpm = mpm
        self.load_kalder = load_kalder
        self.user = user
        self.globals: list[str] = []
        self.vhosts: list[str] = []
        self.listen: set[int] = set()
        self.expected: list[re.Pattern] = []
        self.log_mark = 0
        self.cert, self.key = PKI / "server.crt", PKI / "server.key"
        self.ca = PKI / "ca.crt"

    # --- building the configuration ---------------------------------------

    def add(self, text: str) -> "Httpd":
        """Add lines to the main server's configuration."""
        self.globals.append(text)
        return self

    def vhost(self, server_name: str, body: str = "", port: int = 443, ssl: bool = True,
              aliases: list[str] | None = None) -> "Httpd":
        """Add a virtual host; `body` goes inside <VirtualHost>."""
        self.listen.add(port)
        lines = [f"<VirtualHost *:{port}>", f"  ServerName {server_name}"]
        if aliases:
            lines.append("  ServerAlias " + " ".join(aliases))
        lines.append(f"  DocumentRoot {self.docroot}")
        if ssl:
            lines += ["  SSLEngine on", f"  SSLCertificateFile {self.cert}",
                      f"  SSLCertificateKeyFile {self.key}"]
        lines += ["  " + line for line in body.strip("\n").splitlines()]
        lines.append("</VirtualHost>")
        self.vhosts.append("\n".join(lines))
        return self

    def text(self) -> str:
        lines = [
            f"ServerRoot {self.dir}",
            f"DefaultRuntimeDir {self.dir}",
            f"PidFile {self.pidfile}",
            "ServerName localhost",
            f"LoadModule mpm_{self.mpm}_module {HTTPD_MODULES}/mod_mpm_{self.mpm}.so",
        ]
        lines += [f"LoadModule {m}_module {HTTPD_MODULES}/mod_{m}.so" for m in self.modules]
        if self.load_kalder:
            lines.append(f"LoadModule kalder_module {MODULE}")
        if self.user:
            lines += [f"User {self.user}", f"Group {self.user}"]
        lines += [
            f"ErrorLog {self.error_log}",
            f"LogLevel {self.log_level}",
            'LogFormat "%h %l %u %t \\"%r\\" %>s %b %{ms}T" kalder',
            f"CustomLog {self.access_log} kalder",
            "TypesConfig /etc/mime.types",
            "Timeout 30",
            "StartServers 1",
            "ServerLimit 16",
            "ThreadsPerChild 16",
            "MinSpareThreads 16",
            "MaxSpareThreads 64",
            "MaxRequestWorkers 64",
            "GracefulShutdownTimeout 5",
            f"SSLSessionCache shmcb:{self.dir}/ssl_scache(512000)",
            f"DocumentRoot {self.docroot}",
            f"<Directory {self.docroot}>\n  Require all granted\n</Directory>",
        ]
        lines += [f"Listen 127.0.0.1:{p}" for p in sorted(self.listen)]
        lines += self.globals
        lines += self.vhosts
        return "\n".join(lines) + "\n"

    def install(self) -> "Httpd":
        self.conf.write_text(self.text())
        return self

    # --- running --------------------------------------------------------------

    def _cmd(self, *args: str) -> list[str]:
        return [HTTPD_BIN, "-d", str(self.dir), "-f", str(self.conf), *args]

    def configtest(self) -> subprocess.CompletedProcess:
        """`apache2 -t` on the installed configuration (no start)."""
        return subprocess.run(self._cmd("-t"), capture_output=True, text=True, timeout=60)

    def pid(self) -> int | None:
        try:
            return int(self.pidfile.read_text().strip())
        except (OSError, ValueError):
            return None

    def running(self) -> bool:
        pid = self.pid()
        if not pid:
            return False
        try:
            os.kill(pid, 0)
            return True
        except OSError:
            return False

    def start(self, wait: bool = True) -> subprocess.CompletedProcess:
        """Start the server in the background (it daemonizes) and wait until
        every port accepts connections."""
        self.mark_log()
        for port in self.listen:
            wait_for(lambda: _bindable(port), timeout=15, what=f"port {port} to be free")
        proc = subprocess.run(self._cmd("-k", "start"), capture_output=True, text=True, timeout=60)
        if proc.returncode != 0:
            return proc
        register_pidfile(self.pidfile)
        if wait:
            wait_for(self.running, what=f"{self.name} pid file")
            for port in self.listen:
                wait_for(lambda: port_open(port), what=f"{self.name} on port {port}")
            # The pid file and the listening sockets come before the parent
            # has its signal handlers: a graceful restart (SIGUSR1) sent in
            # between would end it silently, with an empty error log.
            wait_for(lambda: any("resuming normal operations" in line for line in self.log_lines(since=True)),
                     timeout=20, what=f"{self.name} to resume normal operations")
        return proc

    def serve(self) -> "Httpd":
        """Install the configuration and start; a server that does not start
        raises with its standard error."""
        self.install()
        result = self.start()
        if result.returncode != 0:
            raise RuntimeError(f"{self.name} did not start: {result.stderr}")
        return self

    def stop(self, timeout: float = 15.0) -> None:
        pid = self.pid()
        if not pid:
            return
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        children = children_of(pid)
        wait_for(lambda: not _alive(pid), timeout=timeout, what=f"{self.name} to stop")
        wait_for(lambda: not any(_alive(c) for c in children), timeout=timeout,
                 what=f"{self.name}'s children to stop")

    def graceful(self, wait: bool = True) -> None:
        """Graceful restart (SIGUSR1) and wait until it has resumed."""
        before = self.count_log("resuming normal operations")
        os.kill(self.pid(), signal.SIGUSR1)
        if wait:
            wait_for(lambda: self.count_log("resuming normal operations") > before, timeout=20,
                     what=f"{self.name} graceful restart")

    # --- the error log ----------------------------------------------------------

    def log_text(self) -> str:
        try:
            return self.error_log.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def mark_log(self) -> None:
        """Later log queries (since=True) see only lines written after now."""
        self.log_mark = len(self.log_text())

    def log_lines(self, since: bool = False) -> list[str]:
        text = self.log_text()
        return (text[self.log_mark:] if since else text).splitlines()

    def count_log(self, needle: str) -> int:
        return sum(needle in line for line in self.log_lines())

    def expect_log(self, pattern: str) -> None:
        """Announce a warning or error this test causes on purpose."""
        self.expected.append(re.compile(pattern))

    def unexpected_log_lines(self) -> list[str]:
        bad = []
        for line in self.log_lines():
            m = re.search(r"\[(?:[\w.]+:)?(\w+)\]", line)
            if not m or m.group(1) not in _LEVELS_REPORTED:
                continue
            if any(p.search(line) for p in self.expected):
                continue
            bad.append(line)
        return bad


def _bindable(port: int) -> bool:
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    # A zombie whose parent has not reaped it yet counts as gone.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def children_of(pid: int) -> list[int]:
    out = []
    for d in pathlib.Path("/proc").iterdir():
        if d.name.isdigit():
            try:
                fields = (d / "stat").read_text().split(")")[-1].split()
                if int(fields[1]) == pid:
                    out.append(int(d.name))
            except (OSError, IndexError, ValueError):
                pass
    return out


if __name__ == "__main__":
    command, target = sys.argv[1], pathlib.Path(sys.argv[2])
    {"prepare": prepare, "reap": reap}[command](target)
