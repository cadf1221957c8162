"""The main job end to end: `tolvane demo` on a small market runs the sandbox
in a child process and leaves a store, two images and the statistics; the
child never outlives the demo or the process that started it."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from tolvane._http import HttpClient
from tolvane.backtest import BinaryPreparedDataStore, download_benchmark_package
from tolvane.backtest.chart_fonts import ensure_cjk_font
from tolvane.cli import main
from tolvane.sandbox import SandboxProcess

SMALL_MARKET = ["--stocks", "40", "--start", "2022-01-01", "--end", "2022-12-31"]


def exited(pid: int) -> bool:
    """True once the process is gone or a zombie (its parent may be gone too)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return True
    return state in ("Z", "X")


def test_demo_builds_store_images_and_statistics_then_stops_its_sandbox(tmp_path, capsys):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        status = main(["demo", "--output", str(tmp_path), *SMALL_MARKET, "--package-end", "2022-09-30"])
    out = capsys.readouterr().out
    assert status == 0
    assert [int(n) for n in re.findall(r"^\[(\d+)/10\]", out, re.M)] == list(range(1, 11))
    assert "策略统计  alpha1 Top30 周调仓  (基准 000852)" in out and "各步骤用时" in out

    # The package ended on 2022-09-30; the update carried the store to the market's end.
    assert re.search(r"数据包止于 20220930, 更新后 \d{8} \.\. 20221230 \(新增 \d+ 个交易日\)", out)
    store = BinaryPreparedDataStore(tmp_path / "data" / "benchmark")
    assert store.dates()[-1] == "20221230" and set(store.load_benchmarks()) == {"000852", "000300", "000905"}

    record = json.loads((tmp_path / "statistics.json").read_text("utf-8"))
    assert record["trading_days"] == len(store.dates()) - 1
    assert len(record["stats"]) == 13 and record["stats"]["holding_count"] > 20
    assert [row["benchmark_name"] for row in record["benchmark_summary"]] == ["000852", "000300", "000905"]
    for path in record["plot_paths"].values():
        assert Path(path).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # The factor stage: the planted alpha1 beside alpha2, each with its images and record.
    for name in ("alpha1", "alpha2"):
        report = json.loads((tmp_path / f"factor-{name}" / "factor_report.json").read_text("utf-8"))
        assert report["factor_name"] == name and report["horizons"] == [1, 5, 10, 20]
        for path in report["image_paths"].values():
            assert Path(path).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert re.search(r"alpha1: IC 均值 1日 \+0\.0\d+", out)

    if ensure_cjk_font() is not None:
        assert not [w for w in caught if "missing from font" in str(w.message)]
    child = int(re.search(r"子进程 (\d+)", out).group(1))
    assert exited(child)


@pytest.mark.parametrize("failure", [RuntimeError("stage failed"), KeyboardInterrupt()])
def test_a_failing_or_interrupted_demo_stops_its_sandbox(failure, tmp_path, monkeypatch):
    import tolvane.demo

    started = []
    start = SandboxProcess.start
    monkeypatch.setattr(SandboxProcess, "start", lambda self: started.append(self) or start(self))

    def fail(*args):
        raise failure

    monkeypatch.setattr(tolvane.demo, "factor_strategy_weights", fail)
    with pytest.raises(type(failure)):
        tolvane.demo.run_demo(tmp_path, n_stocks=20, start="2022-01-01", end="2022-03-31", package_end=None)
    assert started and not started[0].running


def test_sandbox_process_with_fixed_keys_serves_a_package_snapshot(tmp_path):
    with SandboxProcess(
        n_stocks=15,
        start="2022-01-01",
        end="2022-06-30",
        package_end="2022-03-31",
        api_key="fixed-key",
        api_secret="fixed-secret",
    ) as sandbox:
        assert (sandbox.api_key, sandbox.api_secret) == ("fixed-key", "fixed-secret")
        with HttpClient(sandbox.base_url, "fixed-key", "fixed-secret") as http:
            store = BinaryPreparedDataStore(download_benchmark_package(http, tmp_path / "bm"))
        assert store.dates()[-1] == "20220331"
    assert not sandbox.running


def test_sandbox_child_exits_when_its_parent_is_killed():
    parent = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import time; from tolvane.sandbox import SandboxProcess\n"
            "sandbox = SandboxProcess(n_stocks=5, start='2022-01-01', end='2022-02-28').start()\n"
            "print(sandbox.process.pid, flush=True); time.sleep(600)",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    child = int(parent.stdout.readline())
    parent.kill()
    parent.wait()
    parent.stdout.close()
    for _ in range(300):  # the child notices at once; allow for a loaded machine
        if exited(child):
            break
        subprocess.run(["sleep", "0.1"])
    assert exited(child)


def test_a_sandbox_that_cannot_start_says_why(tmp_path):
    sandbox = SandboxProcess(
        n_stocks=5,
        start="2022-01-01",
        end="2022-02-28",
        package_end="2023-01-01",
        log_path=tmp_path / "sandbox.log",
    )
    with pytest.raises(
        RuntimeError, match=r"(?s)启动失败 \(退出码 1\).*不在市场区间 \d{8}\.\.20220228 内"
    ) as failure:
        sandbox.start()
    assert not sandbox.running
    # The child's own error line is quoted, not taken for the caller's.
    assert "\n  | tolvane sandbox: 错误: " in str(failure.value)
