"""The Debian packages, installed for real: libapache2-mod-kalder and
kalder-backend from scripts/build-packages (or the .deb files in
KALDER_DEB_DIR), the back end started by its unit's ExecStart on a socket
made as its socket unit makes it, a gateway loading the installed module
through the installed kalder.load, a download and an upload, then purge.

The test namespace shares the file system with the machine, so this
installs onto it and is skipped unless KALDER_PACKAGE_TEST=1:

    scripts/build-packages            # prints the directory of the .deb files
    KALDER_PACKAGE_TEST=1 KALDER_DEB_DIR=dist tests/integration/run -k packages
"""
import os
import pathlib
import pwd
import re
import shlex
import shutil
import subprocess
import types
import uuid

import pytest

from fixtures_auth import collection_directives, scenario
from fixtures_data import DATA_DIRECTIVES, MAPPED_ID, DataGateway, numbered, socket_activated, unix_listener
from kalder_harness import SOURCE_DIR, WORK, register_pidfile, wait_for

pytestmark = pytest.mark.skipif(os.environ.get("KALDER_PACKAGE_TEST") != "1" or os.geteuid() != 0,
                                reason="installs packages onto this machine: set KALDER_PACKAGE_TEST=1 (as root)")

PACKAGES = ["libapache2-mod-kalder", "kalder-backend"]
MODULE = pathlib.Path("/usr/lib/apache2/modules/mod_kalder.so")
BACKEND = pathlib.Path("/usr/sbin/kalder-backend")
UNIT = pathlib.Path("/lib/systemd/system/kalder-backend.service")
SOCKET_UNIT = UNIT.with_suffix(".socket")
SHIPPED = [MODULE, BACKEND, UNIT, SOCKET_UNIT, pathlib.Path("/etc/default/kalder-backend"),
           pathlib.Path("/etc/apache2/mods-available/kalder.load"),
           pathlib.Path("/etc/apache2/mods-available/kalder.conf"),
           pathlib.Path("/usr/share/man/man8/kalder-backend.8.gz"), pathlib.Path("/usr/share/man/man5/mod_kalder.5.gz")]


def run(*args: str) -> str:
    proc = subprocess.run(args, capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, f"{args}: {proc.stdout}{proc.stderr}"
    return proc.stdout


def unit_value(unit: pathlib.Path, key: str) -> str:
    values = re.findall(rf"^{key}=(.*)$", unit.read_text(), re.M)
    assert len(values) == 1, (key, values)
    return values[0]


def exec_start() -> list[str]:
    """ExecStart of the installed service with its EnvironmentFile's values
    put in, as systemd expands them (${X} whole, $X split at white space)."""
    env_file = unit_value(UNIT, "EnvironmentFile")
    env = dict(re.findall(r'^([A-Z_]+)="?(.*?)"?$', pathlib.Path(env_file).read_text(), re.M))
    words = []
    for word in shlex.split(unit_value(UNIT, "ExecStart")):
        whole = re.fullmatch(r"\$\{(\w+)\}|\$(\w+)", word)
        if whole and whole.group(1):
            words.append(env[whole.group(1)])
        elif whole:
            words += env[whole.group(2)].split()
        else:
            words.append(word)
    return words


@pytest.fixture(scope="module")
def installed():
    for path in (MODULE, BACKEND):
        if path.exists() and subprocess.run(["dpkg", "-S", str(path)], capture_output=True).returncode != 0:
            pytest.skip(f"{path} is installed by hand, not by a package: not replacing it")
    deb_dir = os.environ.get("KALDER_DEB_DIR")
    if not deb_dir:
        deb_dir = run(str(SOURCE_DIR / "scripts" / "build-packages"), str(WORK / "debs")).strip().splitlines()[-1]
    debs = [next(pathlib.Path(deb_dir).glob(f"{name}_*.deb")) for name in PACKAGES]
    had_user = subprocess.run(["getent", "passwd", "kalder"], capture_output=True).returncode == 0
    run("dpkg", "-i", *map(str, debs))
    yield
    run("dpkg", "--purge", *PACKAGES)
    if not had_user:
        run("deluser", "--system", "--quiet", "kalder")


def test_packages_install_serve_and_purge(installed, httpd_factory, auth_emulator):
    for path in SHIPPED:
        assert path.exists(), path
    load = pathlib.Path("/etc/apache2/mods-available/kalder.load")
    assert load.read_text().split() == ["LoadModule", "kalder_module", str(MODULE)]
    conf = pathlib.Path("/etc/apache2/mods-available/kalder.conf").read_text()
    assert not [line for line in conf.splitlines() if line.strip() and not line.startswith("#")], \
        "kalder.conf configures nothing by itself"
    assert not pathlib.Path("/etc/apache2/mods-enabled/kalder.load").exists(), "installed, not enabled"
    if shutil.which("systemd-analyze"):
        # Every hardening key known to this systemd, the binary where ExecStart says.
        proc = subprocess.run(["systemd-analyze", "verify", "--man=no", str(SOCKET_UNIT), str(UNIT)],
                              capture_output=True, text=True)
        assert (proc.returncode, proc.stderr.strip()) == (0, ""), proc.stderr
    kalder = pwd.getpwnam("kalder")
    assert kalder.pw_uid < 1000 and kalder.pw_shell.endswith("nologin")

    # The back end as kalder-backend.service runs it, on the socket that
    # kalder-backend.socket makes.
    argv = exec_start()
    assert argv[0] == str(BACKEND) and unit_value(UNIT, "User") == "kalder"
    sock = pathlib.Path(unit_value(SOCKET_UNIT, "ListenStream"))
    assert argv[1:3] == ["--listen", f"unix:{sock}"]
    root = pathlib.Path(argv[argv.index("--root") + 1])
    assert root.stat().st_uid == kalder.pw_uid, "the default collection belongs to the service's user"
    assert unit_value(SOCKET_UNIT, "SocketGroup") == "www-data"
    sock.parent.mkdir(mode=0o755, exist_ok=True)
    log_path = WORK / "package-backend.log"
    with open(log_path, "w") as log, \
            unix_listener(sock, owner=kalder.pw_uid, group=33,
                          mode=int(unit_value(SOCKET_UNIT, "SocketMode"), 8)) as listener:
        proc = socket_activated(argv, listener, log, user="kalder")
    (WORK / "package-backend.pid").write_text(f"{proc.pid}\n")
    register_pidfile(WORK / "package-backend.pid")
    wait_for(lambda: "kalder-backend: listening on " in log_path.read_text() or proc.poll() is not None, what="kalder-backend")
    assert proc.poll() is None, log_path.read_text()
    try:
        suffix = "-" + uuid.uuid4().hex[:12]
        auth_emulator.set_scenario(scenario(suffix, str(uuid.uuid4())))
        httpd = httpd_factory(load_kalder=False)
        httpd.add(f"Include {load}")
        httpd.vhost("mapped.test", body=DATA_DIRECTIVES.format(contact=f"unix:{sock}") + "\n" + collection_directives(
            auth_emulator.url, "mapped", MAPPED_ID, "KalderAllowedDomains example.org\nKalderAuthenticationAssuranceTimeout 60"))
        httpd.expect_log(r"AH10159: server is within MinSpareThreads")
        httpd.serve()
        work = WORK / "packages"
        work.mkdir(exist_ok=True)
        gw = DataGateway(httpd, auth_emulator, types.SimpleNamespace(root=root, share=None), suffix, "", work)

        data = numbered(3 * (1 << 20) + 11)
        (root / "down.dat").write_bytes(data)
        os.chown(root / "down.dat", kalder.pw_uid, kalder.pw_gid)
        r = gw.curl("mapped.test", "/down.dat", token=gw.tok("alice"))
        assert (r.status, r.body == data) == (200, True), r
        src = work / "up.dat"
        src.write_bytes(data[:200000])
        r = gw.curl("mapped.test", "/up.dat", token=gw.tok("alice"), upload=src)
        assert r.status == 200, r
        assert (root / "up.dat").read_bytes() == data[:200000]
        assert (root / "up.dat").stat().st_uid == kalder.pw_uid
        assert "using the listening socket passed by the service manager" in log_path.read_text()
    finally:
        proc.terminate()
        proc.wait(timeout=30)
        for name in ("down.dat", "up.dat"):
            (root / name).unlink(missing_ok=True)
        sock.unlink(missing_ok=True)  # RemoveOnStop=
        try:
            sock.parent.rmdir()
        except OSError:
            pass
    assert proc.returncode == 0, log_path.read_text()

    run("a2enmod", "-q", "kalder")
    assert pathlib.Path("/etc/apache2/mods-enabled/kalder.load").resolve() == load
    run("dpkg", "--purge", *PACKAGES)
    assert not pathlib.Path("/etc/apache2/mods-enabled/kalder.load").exists(), "purge disables the module"
    for path in SHIPPED + [root]:
        assert not path.exists(), path
