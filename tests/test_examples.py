"""What a reader copies works: every script in examples/ against the sandbox,
and the README's "Using it" snippet against a sandbox started with the
README's own command (moved to a free port)."""

from __future__ import annotations

import os
import re
import shlex
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text("utf-8")
README_PORT = "8765"


def free_port() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return str(probe.getsockname()[1])


@pytest.mark.parametrize("script", sorted((ROOT / "examples").glob("*.py")), ids=lambda path: path.name)
def test_example_runs_against_the_sandbox(script, sandbox, tmp_path):
    environment = {
        **os.environ,
        "TOLVANE_BASE_URL": sandbox.base_url,
        "TOLVANE_API_KEY": sandbox.api_key,
        "TOLVANE_API_SECRET": sandbox.api_secret,
    }
    done = subprocess.run(
        [sys.executable, str(script)],
        cwd=tmp_path,
        env=environment,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "策略统计" in done.stdout
    assert len(list((tmp_path / "example-output").glob("*.png"))) == 2
    if script.name == "factor_backtest.py":
        assert "因子报告  alpha1" in done.stdout
        assert (tmp_path / "example-output" / "alpha1_factor" / "factor_report.json").is_file()


def readme_sandbox_command(port: str) -> list[str]:
    (line,) = [line for line in README.splitlines() if line.startswith(".venv/bin/tolvane sandbox")]
    command = shlex.split(line.replace(README_PORT, port))
    script = ROOT / command[0]
    command[0] = str(script if script.exists() else Path(sys.executable).parent / "tolvane")
    return command


def readme_snippet(port: str) -> str:
    using_it = README.split("## Using it", 1)[1]
    return re.search(r"```python\n(.*?)```", using_it, re.S).group(1).replace(README_PORT, port)


def test_readme_snippet_works_against_the_readme_sandbox(tmp_path):
    port = free_port()
    sandbox = subprocess.Popen(
        readme_sandbox_command(port), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
    )
    try:
        header = [sandbox.stdout.readline() for _ in range(4)]
        assert header[1].split() == ["base_url", f"http://127.0.0.1:{port}"], header
        done = subprocess.run(
            [sys.executable, "-c", readme_snippet(port)],
            cwd=tmp_path,
            env={**os.environ, "HOME": str(tmp_path)},
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0, done.stderr
    finally:
        sandbox.send_signal(signal.SIGINT)
        sandbox.wait(timeout=30)
        sandbox.stdout.close()
    assert (tmp_path / "tolvane-data" / "benchmark" / "metadata.pkl").is_file()
    assert (tmp_path / "csi300_members_weekly_net_value.png").is_file()
