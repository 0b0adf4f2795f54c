"""The module in a real server: loading, directives, the configuration-
directory watcher and its graceful restarts."""
import os
import time

import pytest

from kalder_harness import children_of, wait_for

UUID = "0f0e0d0c-0b0a-4908-8706-050403020100"

EVERY_DIRECTIVE = f"""
KalderUnixSocket /run/kalder-any.sock
KalderUnixSocket h2 /run/kalder-h2.sock
KalderBackEndContact 127.0.0.1:6000
KalderConnectTimeout 10
KalderIdleTimeout 20
KalderTransferAPIEndpoint https://emulator.test:8443
KalderKeyutilsCacheTimeout 30
KalderAuthAPIEndpoint https://emulator.test:8443
KalderAuthClientID 11111111-2222-3333-4444-555555555555
KalderAuthClientSecret s3cret
KalderCollectionID {UUID}
KalderCollectionType Mapped
KalderOIDCStateKey statekey
KalderAuthenticationAssuranceTimeout 60
KalderAllowedDomains example.org example.edu
KalderCollectionFlags RequireHighAssurance RequireMFA
KalderAuthPolicyID {UUID.upper()}
KalderEndpointUUID {UUID}
KalderHighAssuranceSessionTime 30
KalderRequiredUserDomain example.org
KalderOAuthClientID 11111111-2222-3333-4444-555555555555
KalderOAuthClientSecret s3cret
"""


def test_every_directive_is_accepted_in_a_virtual_host(httpd):
    httpd.vhost("collection.test", body=EVERY_DIRECTIVE)
    httpd.install()
    result = httpd.configtest()
    assert result.returncode == 0, result.stderr
    assert "Syntax OK" in result.stderr


def test_module_loads_and_serves(httpd):
    (httpd.docroot / "hello.txt").write_text("hello\n")
    # No hand-off sockets here: a "*" entry would take every connection.
    body = "\n".join(l for l in EVERY_DIRECTIVE.splitlines()
                     if not l.startswith(("KalderUnixSocket", "KalderCollectionType")))
    httpd.vhost("collection.test", body=body)
    httpd.serve()
    import subprocess
    out = subprocess.run(["curl", "-sS", "https://collection.test/hello.txt"], capture_output=True,
                         text=True, timeout=30)
    assert out.stdout == "hello\n", out.stderr


BAD_DIRECTIVES = [
    ("KalderCollectionType shared", "Invalid collection type 'shared'"),
    ("KalderCollectionFlags RequireMFA none", "Invalid collection flags 'none'"),
    ("KalderCollectionFlags Everything", "Invalid collection flags 'Everything'"),
    ("KalderConnectTimeout 10s", "Invalid integer value 10s\\n"),
    ("KalderIdleTimeout 1.5", "Invalid integer value 1.5\\n"),
    ("KalderKeyutilsCacheTimeout sixty", "Invalid integer value sixty\\n"),
    ("KalderCollectionID 0f0e0d0c0b0a49088706050403020100", "Invalid format for UUID"),
    ("KalderEndpointUUID not-a-uuid", "Invalid format for UUID"),
    ("KalderAuthPolicyID {" + UUID + "}", "Invalid format for UUID"),
    ("KalderAuthenticationAssuranceTimeout soon",
     "Invalid value for directive KalderAuthenticationAssuranceTimeout, expected integer"),
    ("KalderBackEndContact", "KalderBackEndContact takes one argument, specify contact string for the back-end server"),
    ("KalderBackEndContact unix:run/kalder/backend.sock",
     'KalderBackEndContact: malformed back-end contact "unix:run/kalder/backend.sock": the socket path must be absolute'),
    ("KalderUnixSocket a b c", "KalderUnixSocket takes 1-2 arguments, specify the optional ALPN service name"),
    ("<Directory />\nKalderCollectionType guest\n</Directory>", "KalderCollectionType not allowed in <Directory> context"),
]


@pytest.mark.parametrize("line,message", BAD_DIRECTIVES, ids=[b[0].split()[0].strip("<") + str(i)
                                                            for i, b in enumerate(BAD_DIRECTIVES)])
def test_bad_directive_refuses_the_configuration(httpd, line, message):
    httpd.vhost("collection.test", body=line)
    httpd.install()
    result = httpd.configtest()
    assert result.returncode != 0
    assert message in result.stderr, result.stderr


def _restarts(httpd) -> int:
    return httpd.count_log("SIGUSR1 received.  Doing graceful restart")


@pytest.fixture
def watched(httpd, tmp_path):
    """A running server that watches a directory of generated files."""
    confdir = tmp_path / "generated"
    confdir.mkdir()
    httpd.vhost("collection.test", body=f"KalderDynamicConfigDir {confdir}")
    httpd.serve()
    return httpd, confdir


def _settle(httpd, restarts: int) -> None:
    wait_for(lambda: httpd.count_log("resuming normal operations") >= restarts + 1, timeout=20,
             what="the server to resume after the restart")


def test_closing_a_written_file_restarts_once_each_time(watched):
    httpd, confdir = watched
    assert _restarts(httpd) == 0
    (confdir / "one.conf").write_text("# one\n")
    wait_for(lambda: _restarts(httpd) == 1, timeout=10, what="a graceful restart")
    _settle(httpd, 1)
    time.sleep(0.5)
    assert _restarts(httpd) == 1, "one change must make exactly one restart"
    # The pass after the restart armed a new watcher.
    (confdir / "two.conf").write_text("# two\n")
    wait_for(lambda: _restarts(httpd) == 2, timeout=10, what="a second graceful restart")
    _settle(httpd, 2)
    (confdir / "one.conf").unlink()
    wait_for(lambda: _restarts(httpd) == 3, timeout=10, what="a restart after a deletion")
    _settle(httpd, 3)


def test_open_files_renames_and_attributes_do_not_restart(watched, tmp_path):
    httpd, confdir = watched
    outside = tmp_path / "staged.conf"
    outside.write_text("# staged\n")
    with open(confdir / "pending.conf", "w") as f:
        f.write("# still being written\n")
        f.flush()
        os.rename(outside, confdir / "moved-in.conf")
        os.chmod(confdir / "moved-in.conf", 0o600)
        time.sleep(1.0)
        assert _restarts(httpd) == 0
    wait_for(lambda: _restarts(httpd) == 1, timeout=10, what="the restart on close")
    _settle(httpd, 1)


def test_missing_watched_directory_refuses_to_start_and_says_why(httpd, tmp_path):
    missing = tmp_path / "does-not-exist"
    httpd.vhost("collection.test", body=f"KalderDynamicConfigDir {missing}")
    httpd.install()
    httpd.expect_log(r"Failed to watch KalderDynamicConfigDir")
    httpd.expect_log(r"AH00016")  # the server's own "Configuration Failed"
    httpd.start(wait=False)
    wait_for(lambda: f"Failed to watch KalderDynamicConfigDir {missing} (inotify_add_watch): "
                     "No such file or directory" in httpd.log_text(), timeout=15,
             what="the watcher's error line")
    line = next(l for l in httpd.log_lines() if "Failed to watch" in l)
    assert "[kalder:error]" in line
    wait_for(lambda: not httpd.running(), timeout=15, what="the server to give up")


def _resources(pid: int) -> tuple[int, int]:
    threads = len(os.listdir(f"/proc/{pid}/task"))
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return threads, fds


def test_graceful_restarts_leave_no_threads_or_descriptors_behind(watched):
    httpd, _ = watched
    pid = httpd.pid()
    httpd.graceful()
    baseline = _resources(pid)
    assert baseline[0] == 2, "the parent runs its main thread and one watcher"
    for _ in range(5):
        httpd.graceful()
    assert _resources(pid) == baseline
    assert children_of(pid), "children are serving again"


def test_install_puts_module_and_load_file_where_a2enmod_finds_them(tmp_path):
    import subprocess
    from kalder_harness import BUILD_DIR
    env = dict(os.environ, DESTDIR=str(tmp_path))
    subprocess.run(["cmake", "--install", str(BUILD_DIR)], env=env, check=True, capture_output=True)
    module = tmp_path / "usr/lib/apache2/modules/mod_kalder.so"
    load = tmp_path / "etc/apache2/mods-available/kalder.load"
    assert module.is_file()
    assert load.read_text() == "LoadModule kalder_module /usr/lib/apache2/modules/mod_kalder.so\n"
