"""Core fixtures: servers that are stopped after each test, with the error
log checked for lines nobody expected."""
import os
import re

import pytest

from kalder_harness import Httpd, WORK


def _unique(name: str) -> str:
    name = re.sub(r"[^A-Za-z0-9_.-]", "_", name)[:60]
    n, candidate = 1, name
    while (WORK / "httpd" / candidate).exists():
        n += 1
        candidate = f"{name}-{n}"
    return candidate


@pytest.fixture
def httpd_factory(request):
    """Makes Httpd instances; stops them after the test and fails it when
    the error log holds a warning or error the test did not announce."""
    servers = []

    def make(name: str | None = None, **kwargs) -> Httpd:
        if os.environ.get("KALDER_TEST_VERBOSE"):
            kwargs.setdefault("log_level", "info kalder:trace8")
        server = Httpd(_unique(name or request.node.name), **kwargs)
        servers.append(server)
        return server

    yield make
    for server in servers:
        server.stop()
    problems = []
    for server in servers:
        bad = server.unexpected_log_lines()
        if bad:
            problems.append(f"{server.error_log}:\n  " + "\n  ".join(bad[:20]))
    if problems:
        pytest.fail("unexpected warnings or errors in the error log:\n" + "\n".join(problems))


@pytest.fixture
def httpd(httpd_factory) -> Httpd:
    return httpd_factory()
