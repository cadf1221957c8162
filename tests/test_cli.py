"""The `tolvane` command against the sandbox: every service command, the
backtest from files, readable help, and one-line errors with the right exit
status for bad input. (`demo` runs in test_demo.py, `sandbox` there and in
test_sandbox_server.py.)"""

from __future__ import annotations

import json
import subprocess
import sys

import pandas as pd
import pytest

from tolvane import singleton
from tolvane.backtest import BinaryPreparedDataStore
from tolvane.cli import main

COMMANDS = ["sandbox", "demo", "quota", "download-benchmark", "prepare", "update", "verify", "backtest"]


@pytest.fixture
def tolvane_cli(sandbox, capsys):
    """Runs the command with the sandbox's address and keys; returns (status, stdout, stderr)."""
    connection = [
        "--base-url",
        sandbox.base_url,
        "--api-key",
        sandbox.api_key,
        "--api-secret",
        sandbox.api_secret,
    ]

    def run(command: str, *args: str, connect: bool = True):
        try:
            status = main([command, *args, *(connection if connect else [])])
        except SystemExit as exit_:
            status = exit_.code
        finally:
            singleton.reset()
        captured = capsys.readouterr()
        return status, captured.out, captured.err

    return run


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help(command, capsys):
    with pytest.raises(SystemExit) as exit_:
        main([command, "--help"])
    text = capsys.readouterr().out
    assert exit_.value.code == 0 and text.startswith(f"usage: tolvane {command}")
    if command in ("quota", "download-benchmark", "prepare", "update"):
        assert "TOLVANE_API_SECRET" in text


def test_reading_the_options_loads_no_data_stack():
    # `tolvane sandbox` and every --help start here; pandas alone costs half a second.
    code = (
        "import sys, tolvane.cli as cli\n"
        "cli.build_parser()\n"
        "assert not {'numpy', 'pandas'} & set(sys.modules), sorted({'numpy', 'pandas'} & set(sys.modules))\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_service_commands_download_prepare_update_and_quota(tolvane_cli, sandbox, tmp_path):
    status, out, _ = tolvane_cli("download-benchmark", str(tmp_path / "data" / "bm"))
    assert status == 0 and "基准数据包已解压" in out
    market_days = [str(day).replace("-", "") for day in sandbox.market.dates]
    assert list(BinaryPreparedDataStore(tmp_path / "data" / "bm").dates()) == market_days
    assert not (tmp_path / "data" / "temp" / "benchmark.part").exists()

    status, out, _ = tolvane_cli(
        "prepare", str(tmp_path / "store"), "--start", "2022-03-01", "--end", "2022-04-29"
    )
    assert status == 0 and "20220301 .. 20220429" in out
    status, out, _ = tolvane_cli("update", str(tmp_path / "store"), "--end", "20220531")
    assert status == 0 and "20220301 .. 20220531" in out
    status, out, _ = tolvane_cli("update", str(tmp_path / "store"), "--end", "20220415")
    assert status == 0 and out.startswith("已是最新 (要求到 20220415), 没有新的交易日") and "20220531" in out

    status, out, _ = tolvane_cli("quota", "--json")
    quota = json.loads(out)
    assert status == 0 and quota["license_type"] == "sandbox"
    assert quota["daily_used_bytes"] == sandbox.usage() > 0
    status, out, _ = tolvane_cli("quota")
    assert status == 0 and "许可类型    sandbox" in out and "50.0 GiB" in out


def test_backtest_writes_images_and_statistics(tolvane_cli, sandbox, tmp_path):
    tolvane_cli("download-benchmark", str(tmp_path / "bm"))
    codes = BinaryPreparedDataStore(tmp_path / "bm").load(keys=["close_price"])["close_price"].columns[:10]
    weights = pd.DataFrame(0.1, index=["2022-06-01", "2022-09-01"], columns=list(codes))
    weights.rename_axis("date").to_csv(tmp_path / "top10.csv")

    status, out, err = tolvane_cli(
        "backtest",
        "--store",
        str(tmp_path / "bm"),
        "--weights",
        str(tmp_path / "top10.csv"),
        "--output",
        str(tmp_path / "report"),
        "--benchmark",
        "000300",
        connect=False,
    )
    assert status == 0, err
    assert "策略统计  top10  (基准 000300)" in out and "基准汇总" in out
    record = json.loads((tmp_path / "report" / "statistics.json").read_text("utf-8"))
    assert record["benchmark"] == "000300" and (record["start_date"], record["end_date"]) == (
        "20220602",
        "20220901",
    )
    assert all(
        (tmp_path / "report" / name).stat().st_size > 10_000
        for name in ("strategy_backtest.png", "strategy_backtest_weekly_net_value.png")
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["quota", "--api-key", "k"], "缺少数据服务的 --base-url (或 TOLVANE_BASE_URL), --api-secret"),
        (
            [
                "prepare",
                "store",
                "--start",
                "2022-13-01",
                "--base-url",
                "http://x",
                "--api-key",
                "k",
                "--api-secret",
                "s",
            ],
            "无法识别的日期 '2022-13-01'",
        ),
        (["sandbox", "--port", "70000"], "70000 应在 0..65535 之间"),
        (["backtest", "--store", "s", "--weights", "w.csv", "--fee", "-1"], "-1 不能为负"),
        (["backtest", "--store", "s"], "the following arguments are required: --weights"),
    ],
)
def test_bad_options_exit_2_with_the_reason(args, message, monkeypatch, capsys):
    for name in ("TOLVANE_BASE_URL", "TOLVANE_API_KEY", "TOLVANE_API_SECRET"):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(SystemExit) as exit_:
        main(args)
    assert exit_.value.code == 2 and message in capsys.readouterr().err


def test_failures_exit_1_with_one_line(tolvane_cli, sandbox, tmp_path):
    sandbox.add_key("other-key", "other-secret")
    status, _, err = tolvane_cli(
        "quota",
        "--base-url",
        sandbox.base_url,
        "--api-key",
        "other-key",
        "--api-secret",
        "wrong",
        connect=False,
    )
    assert status == 1 and err.startswith("tolvane quota: 错误: 服务端返回错误 (HTTP 401)")

    pd.DataFrame(
        {"date": ["2022-06-01"] * 2, "ukey": ["999999.XSHG", "000001.XSHE"], "weight": [0.5, 0.5]}
    ).to_parquet(tmp_path / "w.parquet")
    status, _, err = tolvane_cli(
        "backtest", "--store", str(tmp_path), "--weights", str(tmp_path / "w.parquet"), connect=False
    )
    assert status == 1 and "没有回测准备数据存储" in err and err.count("\n") == 1

    status, _, err = tolvane_cli("update", str(tmp_path / "nothing-here"))
    assert status == 1 and "没有回测准备数据存储, 请先用 prepare_store 构建" in err


@pytest.fixture(scope="module")
def market_store(tmp_path_factory):
    from tolvane.sandbox.market import SyntheticMarket
    from tolvane.sandbox.package import market_payload

    folder = tmp_path_factory.mktemp("market")
    BinaryPreparedDataStore(folder).write(
        market_payload(SyntheticMarket(seed=5, n_stocks=12, start="2022-01-01", end="2022-06-30"))
    )
    return folder


def weights_file(folder, name: str, content) -> str:
    path = folder / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return str(path)


@pytest.mark.parametrize(
    "name, content, message",
    [
        (
            "inf.csv",
            "date,000001,000002\n2022-03-01,0.5,inf\n2022-04-01,0.5,0.5\n",
            "inf.csv: 20220301 行 000002 列的权重为 inf, 无法交易",
        ),
        (
            "minus.csv",
            "date,000001,000002\n2022-03-01,0.5,-inf\n2022-04-01,0.5,0.5\n",
            "列的权重为 -inf, 无法交易",
        ),
        (
            "huge.csv",
            "date,000001,000002\n2022-03-01,1e308,0.5\n2022-04-01,0.5,0.5\n",
            "huge.csv: 20220301 行的持仓会溢出 (000001 列的权重为 1e+308)",
        ),
        ("long.csv", "date,ukey,w\n2022-03-01,000001,0.5\n", "长表 (date、ukey、weight) 缺少数值列"),
        ("empty.csv", "", "empty.csv: 无法读取权重"),
        ("binary.csv", bytes(range(256)) * 8, "binary.csv: 无法读取权重"),
        (
            "strangers.csv",
            "date,900001,900002\n2022-03-01,0.5,0.5\n2022-04-01,0.5,0.5\n",
            "中没有一只是存储中的股票",
        ),
        ("future.csv", "date,000001\n2030-03-01,1.0\n2030-04-01,1.0\n", "没有重叠"),
    ],
)
def test_weights_that_cannot_be_traded_are_refused_naming_file_and_cell(
    market_store, tmp_path, capsys, name, content, message
):
    path = weights_file(tmp_path, name, content)
    status = main(
        ["backtest", "--store", str(market_store), "--weights", path, "--output", str(tmp_path / "out")]
    )
    err = capsys.readouterr().err
    assert status == 1 and message in err and err.startswith("tolvane backtest: 错误: ")
    assert not (tmp_path / "out" / "statistics.json").exists()


def test_weight_on_unknown_stocks_is_reported_and_the_rest_backtested(market_store, tmp_path, capsys):
    path = weights_file(
        tmp_path, "mixed.csv", "date,000001,900001\n2022-03-01,0.75,0.25\n2022-04-01,0.75,0.25\n"
    )
    status = main(
        ["backtest", "--store", str(market_store), "--weights", path, "--output", str(tmp_path / "out")]
    )
    captured = capsys.readouterr()
    assert status == 0, captured.err
    assert (
        f"tolvane backtest: 注意: {path}: 1 只股票不在存储中, 占权重绝对值的 25.00%, 不参与回测: ['900001']"
        in captured.err
    )
    assert (tmp_path / "out" / "statistics.json").exists()


def test_internal_errors_show_their_traceback_and_user_errors_one_line(
    market_store, tmp_path, capsys, monkeypatch
):
    import tolvane.backtest

    weights = weights_file(tmp_path, "w.csv", "date,000001\n2022-03-01,1.0\n2022-04-01,1.0\n")
    arguments = ["backtest", "--store", str(market_store), "--weights", weights]

    def broken(*args, **kwargs):
        raise RuntimeError("an invariant broke")

    monkeypatch.delenv("TOLVANE_DEBUG", raising=False)
    monkeypatch.setattr(tolvane.backtest, "run_store_backtest", broken)
    assert main(arguments) == 1
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):") and "in broken" in err
    assert "tolvane backtest: 内部错误: an invariant broke" in err

    def refused(*args, **kwargs):
        raise ValueError("权重表为空")

    monkeypatch.setattr(tolvane.backtest, "run_store_backtest", refused)
    assert main(arguments) == 1
    assert capsys.readouterr().err == "tolvane backtest: 错误: 权重表为空\n"
    for asked in (["--debug", *arguments], arguments):
        monkeypatch.setenv("TOLVANE_DEBUG", "1" if asked is arguments else "0")
        assert main(asked) == 1
        err = capsys.readouterr().err
        assert "Traceback" in err and err.endswith("tolvane backtest: 错误: 权重表为空\n")
