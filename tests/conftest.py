"""Fixtures shared by the integration and browser tests.

The harness lives in tests/integration/kalder_harness.py. Every module named
fixtures_*.py in tests/integration is loaded as a plugin, so each area adds
its own fixtures in a file of its own.
"""
import pathlib
import sys

import pytest

_integration = pathlib.Path(__file__).parent / "integration"
sys.path.insert(0, str(_integration))

pytest_plugins = ["kalder_fixtures"] + sorted(
    p.stem for p in _integration.glob("fixtures_*.py"))
# Fixture modules import each other; rewrite their asserts whichever loads first.
pytest.register_assert_rewrite(*pytest_plugins)
