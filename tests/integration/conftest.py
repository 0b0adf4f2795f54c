"""Fixtures of the integration tests.

The harness itself lives in kalder_harness.py; every module named
fixtures_*.py beside this file is loaded as a plugin, so each area can add
its own fixtures without touching this file.
"""
import pathlib

pytest_plugins = sorted(
    p.stem for p in pathlib.Path(__file__).parent.glob("fixtures_*.py"))
