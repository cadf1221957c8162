"""Shared set-up: a fresh matplotlib configuration folder and a running
sandbox data service."""

import atexit
import os
import shutil
import tempfile
from pathlib import Path

import pytest

from native_modules import extension_modules

# matplotlib caches the machine's font list in its configuration folder; a
# font installed after that cache was written stays invisible to it. The
# session gets a folder of its own, so the charts see every installed font.
_MATPLOTLIB_CONFIG = tempfile.mkdtemp(prefix="tolvane-mpl-")
os.environ["MPLCONFIGDIR"] = _MATPLOTLIB_CONFIG
atexit.register(shutil.rmtree, _MATPLOTLIB_CONFIG, ignore_errors=True)

# Sandbox packages are cached for the session only (child processes inherit it),
# never in the user's cache folder; a run that sets the variable keeps its setting.
if "TOLVANE_SANDBOX_CACHE" not in os.environ:
    _PACKAGE_CACHE = tempfile.mkdtemp(prefix="tolvane-packages-")
    os.environ["TOLVANE_SANDBOX_CACHE"] = _PACKAGE_CACHE
    atexit.register(shutil.rmtree, _PACKAGE_CACHE, ignore_errors=True)


def pytest_sessionstart(session):
    """Under `make sanitize`, every native module must come from the sanitized build."""
    expected = os.environ.get("TOLVANE_EXPECT_NATIVE_IN")
    if expected:
        import importlib

        for name in extension_modules():
            origin = Path(importlib.import_module(name).__file__).resolve()
            if not origin.is_relative_to(Path(expected).resolve()):
                pytest.exit(f"{name} was imported from {origin}, not from {expected}", returncode=1)


@pytest.fixture(scope="session")
def sandbox_server():
    """One sandbox (40 stocks, 2022-2023) for the whole session; small batches
    so that streams span several record batches."""
    from tolvane.sandbox import SandboxServer

    with SandboxServer(seed=11, n_stocks=40, start="2022-01-01", end="2023-12-31", batch_rows=2000) as server:
        yield server


@pytest.fixture
def sandbox(sandbox_server):
    """The session sandbox with faults, quota, traffic usage and nonces reset."""
    sandbox_server.reset()
    yield sandbox_server
    sandbox_server.reset()


@pytest.fixture
def sandbox_client(sandbox):
    """The package's HttpClient signed with the sandbox's key pair."""
    from tolvane._http import HttpClient

    with HttpClient(sandbox.base_url, sandbox.api_key, sandbox.api_secret) as client:
        yield client
