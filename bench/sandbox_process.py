"""The sandbox data service in a child process, so that it does not share the
benchmark's GIL. The script given must print the server's base URL first."""

from __future__ import annotations

import subprocess
import sys


def start_sandbox(script: str, *args: str) -> tuple[subprocess.Popen, str]:
    """Runs ``script`` with ``args`` and returns the process and the base URL it printed."""
    server = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                              text=True)
    base_url = server.stdout.readline().strip()
    if not base_url.startswith("http"):
        server.kill()
        raise RuntimeError("sandbox did not start")
    return server, base_url
