"""``tolvane`` 命令行: 沙盒、演示、配额、基准数据包、准备数据存储与回测。

每个子命令只解析选项并调用公开 API; ``tolvane <子命令> --help`` 说明各自的选项。
连接数据服务的子命令从选项或环境变量 ``TOLVANE_BASE_URL``、``TOLVANE_API_KEY``、
``TOLVANE_API_SECRET`` 取得地址与密钥。出错时在标准错误上说明原因并以非零状态退出。
"""

from __future__ import annotations

import argparse
import os
import sys

from . import _commands as commands
from .console import run_command
from .sandbox import defaults

__all__ = ["build_parser", "main"]

_DEFAULT_DATA_DIR = "~/tolvane-data/benchmark"
_BENCHMARKS = ("000852", "000300", "000905")

_EPILOG = """\
示例:
  tolvane demo                      离线演示: 沙盒 → 数据包 → 存储 → 策略 → 回测报告 → 因子报告
  tolvane sandbox --port 8765 --api-key demo-key --api-secret demo-secret
  export TOLVANE_BASE_URL=http://127.0.0.1:8765 TOLVANE_API_KEY=demo-key TOLVANE_API_SECRET=demo-secret
  tolvane quota
  tolvane download-benchmark ~/tolvane-data/benchmark
  tolvane update ~/tolvane-data/benchmark
  tolvane verify ~/tolvane-data/benchmark
  tolvane backtest --store ~/tolvane-data/benchmark --weights weights.parquet --output report
  tolvane factor --store ~/tolvane-data/benchmark --factor alpha1 --output factor-report
"""


# ----------------------------------------------------------------- option types
def _date(text: str) -> str:
    from tolvane.dates import compact_date

    try:
        return compact_date(text)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(f"无法识别的日期 {text!r} (用 YYYY-MM-DD 或 YYYYMMDD)") from None


def _bounded_int(low: int, high: int | None = None):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} 不是整数") from None
        if value < low or (high is not None and value > high):
            bound = f"不小于 {low}" if high is None else f"在 {low}..{high} 之间"
            raise argparse.ArgumentTypeError(f"{value} 应{bound}")
        return value

    return parse


def _non_negative_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} 不是数字") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"{text} 不能为负")
    return value


def _connection_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("数据服务 (默认取自环境变量)")
    group.add_argument(
        "--base-url",
        default=os.environ.get("TOLVANE_BASE_URL"),
        metavar="URL",
        help="服务地址, 如 http://127.0.0.1:8765 (TOLVANE_BASE_URL)",
    )
    group.add_argument(
        "--api-key",
        default=os.environ.get("TOLVANE_API_KEY"),
        metavar="KEY",
        help="访问密钥 (TOLVANE_API_KEY)",
    )
    group.add_argument(
        "--api-secret",
        default=os.environ.get("TOLVANE_API_SECRET"),
        metavar="SECRET",
        help="签名密钥 (TOLVANE_API_SECRET); 放在环境变量里, 不会出现在进程列表中",
    )
    group.add_argument(
        "--timeout", type=_non_negative_float, default=60.0, metavar="SECONDS", help="读写超时, 秒 (默认 60)"
    )
    return parent


def _writer_options() -> argparse.ArgumentParser:
    from tolvane.backtest._defaults import DEFAULT_LOCK_TIMEOUT

    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("另一个写入者 (同一存储同一时刻只有一个写入者)")
    waiting = group.add_mutually_exclusive_group()
    waiting.add_argument(
        "--wait",
        type=_non_negative_float,
        default=DEFAULT_LOCK_TIMEOUT,
        metavar="SECONDS",
        help=f"另一个进程正在写入该存储时最多等待的秒数 (默认 {DEFAULT_LOCK_TIMEOUT:g})",
    )
    waiting.add_argument(
        "--no-wait", dest="wait", action="store_const", const=0.0, help="另一个进程正在写入该存储时立即失败"
    )
    return parent


def _horizons(text: str) -> tuple[int, ...]:
    try:
        horizons = tuple(int(part) for part in text.replace("，", ",").split(",") if part.strip())
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} 不是逗号分隔的整数") from None
    if not horizons or min(horizons) < 1:
        raise argparse.ArgumentTypeError(f"{text!r}: 持有期应为正整数")
    return horizons


# --------------------------------------------------------------------- parser
def _subcommand(subparsers, name: str, run, summary: str, description: str, parents=()):
    parser = subparsers.add_parser(
        name,
        help=summary,
        description=description,
        parents=list(parents),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(run=run, parser=parser)
    return parser


def _market_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("合成市场")
    group.add_argument("--seed", type=int, default=defaults.SEED, help=f"随机种子 (默认 {defaults.SEED})")
    group.add_argument(
        "--stocks",
        type=_bounded_int(1, 5000),
        default=defaults.N_STOCKS,
        help=f"股票数 (默认 {defaults.N_STOCKS})",
    )
    group.add_argument("--start", type=_date, default=defaults.START, help=f"首日 (默认 {defaults.START})")
    group.add_argument("--end", type=_date, default=defaults.END, help=f"末日 (默认 {defaults.END})")


def _trading_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--capital", type=_non_negative_float, default=1e8, metavar="YUAN", help="固定资金, 元 (默认 1e8)"
    )
    parser.add_argument(
        "--fee", type=_non_negative_float, default=0.0001, metavar="RATE", help="佣金费率 (默认 0.0001)"
    )
    parser.add_argument(
        "--rule-fee",
        type=_non_negative_float,
        default=0.0005,
        metavar="RATE",
        help="卖出印花税等规费费率 (默认 0.0005)",
    )


def _add_sandbox(subparsers) -> None:
    sandbox = _subcommand(
        subparsers,
        "sandbox",
        commands.run_sandbox,
        "在本机启动沙盒数据服务 (合成 A 股行情)",
        "在回环地址上以数据服务的接口提供一个确定性的合成 A 股市场, 打印地址与密钥,\n"
        "按 Ctrl+C 停止。固定密钥时客户端代码可以原样复用:\n\n"
        "  tolvane sandbox --port 8765 --api-key demo-key --api-secret demo-secret",
    )
    sandbox.add_argument("--host", default="127.0.0.1", help="回环地址 (默认 127.0.0.1)")
    sandbox.add_argument(
        "--port", type=_bounded_int(0, 65535), default=8765, help="TCP 端口, 0 表示自动选择 (默认 8765)"
    )
    sandbox.add_argument("--api-key", help="接受的访问密钥 (默认每次启动随机生成并打印)")
    sandbox.add_argument("--api-secret", help="访问密钥对应的签名密钥 (默认随机生成并打印)")
    _market_options(sandbox)
    sandbox.add_argument(
        "--package-end",
        type=_date,
        metavar="DATE",
        help="基准数据包的结束日 (默认市场末日); 之后的交易日由 tolvane update 补上",
    )
    sandbox.add_argument(
        "--batch-rows",
        type=_bounded_int(1),
        default=65536,
        help="流式应答每个 record batch 的行数 (默认 65536)",
    )
    sandbox.add_argument(
        "--log-level",
        default="INFO",
        choices=["DEBUG", "INFO", "WARNING", "ERROR"],
        type=str.upper,
        help="日志级别 (默认 INFO)",
    )
    sandbox.add_argument(
        "--stop-on-stdin-eof",
        action="store_true",
        help="标准输入关闭时停止 (供启动沙盒的父进程使用, 父进程退出它就退出)",
    )


def _add_demo(subparsers) -> None:
    demo = _subcommand(
        subparsers,
        "demo",
        commands.run_demo_command,
        "离线演示从数据服务到回测报告的完整流程",
        "启动沙盒子进程, 连接并查看配额, 下载基准数据包, 增量更新存储, 内存映射读取,\n"
        "计算因子策略, 以三个基准回测, 写出两张报告图与 statistics.json, 写出 alpha1 与\n"
        "alpha2 的因子报告, 停止沙盒。",
    )
    demo.add_argument("--output", default="demo-output", metavar="DIR", help="输出目录 (默认 ./demo-output)")
    _market_options(demo)
    demo.add_argument(
        "--package-end",
        type=_date,
        default=defaults.PACKAGE_END,
        metavar="DATE",
        help=f"沙盒数据包的结束日 (默认 {defaults.PACKAGE_END})",
    )


def _add_quota(subparsers, connection) -> None:
    quota = _subcommand(
        subparsers,
        "quota",
        commands.run_quota,
        "查看流量配额",
        "查询当前密钥的流量配额: 今日额度与用量、加油包、可用字节与许可类型。",
        parents=[connection],
    )
    quota.add_argument("--json", action="store_true", help="以 JSON 输出服务的原始应答")


def _add_download(subparsers, connection) -> None:
    download = _subcommand(
        subparsers,
        "download-benchmark",
        commands.run_download,
        "下载并解压基准数据包",
        "下载基准数据包 (一个回测准备数据存储) 并解压到目录。中断后再次运行会从\n"
        "<目录的上级>/temp/benchmark.part 断点续传。",
        parents=[connection],
    )
    download.add_argument(
        "directory", nargs="?", default=_DEFAULT_DATA_DIR, help=f"解压到的目录 (默认 {_DEFAULT_DATA_DIR})"
    )


def _add_prepare(subparsers, connection, writer) -> None:
    prepare = _subcommand(
        subparsers,
        "prepare",
        commands.run_prepare,
        "完整构建回测准备数据存储",
        "从数据服务读取因子、成分股与基准指数, 为一个日期区间构建回测准备数据存储。\n"
        "目录中已有存储时整体替换 (原子地: 中途失败原存储不变, 正在读取的进程不受影响)。\n"
        "另一个进程正在写入该存储时先说明在等谁, 再等它结束。",
        parents=[connection, writer],
    )
    prepare.add_argument("directory", help="存储目录")
    prepare.add_argument("--start", type=_date, required=True, help="起始日期")
    prepare.add_argument("--end", type=_date, default=None, help="结束日期 (默认今天)")


def _add_update(subparsers, connection, writer) -> None:
    update = _subcommand(
        subparsers,
        "update",
        commands.run_update,
        "把存储增量更新到新的结束日期",
        "重新读取存储末尾几行与新日期, 追加到存储 (下载的基准数据包也是存储)。\n"
        "正在读取存储的进程不受影响; 另一个进程正在写入该存储时先说明在等谁, 再等它结束。",
        parents=[connection, writer],
    )
    update.add_argument("directory", help="已有存储的目录")
    update.add_argument("--end", type=_date, default=None, help="新的结束日期 (默认今天)")


def _add_verify(subparsers) -> None:
    verify = _subcommand(
        subparsers,
        "verify",
        commands.run_verify,
        "检查存储的每个文件是否完好",
        "按清单中记录的校验和 (SHA-256) 核对存储的每个文件, 并检查元数据、日期与股票轴、\n"
        "每个数据文件的长度。有损坏时指出文件与位置并以状态 1 退出。",
    )
    verify.add_argument("directory", help="存储目录")


def _add_backtest(subparsers) -> None:
    backtest = _subcommand(
        subparsers,
        "backtest",
        commands.run_backtest,
        "用存储与权重文件回测, 写出报告图与统计",
        "权重文件为 Parquet 或 CSV: 宽表 (一行一个日期, 日期列或日期索引, 每列一只股票)\n"
        "或长表 (date、ukey、weight 三列)。一行权重保持到下一行; T-1 日的权重在 T 日\n"
        "按 VWAP 成交。输出目录中写入 strategy_backtest.png、\n"
        "strategy_backtest_weekly_net_value.png 与 statistics.json。",
    )
    backtest.add_argument("--store", required=True, metavar="DIR", help="回测准备数据存储的目录")
    backtest.add_argument("--weights", required=True, metavar="FILE", help="权重文件 (.parquet 或 .csv)")
    backtest.add_argument(
        "--output", default="backtest-output", metavar="DIR", help="输出目录 (默认 ./backtest-output)"
    )
    backtest.add_argument(
        "--benchmark", choices=_BENCHMARKS, default="000852", help="主基准 (默认 000852 中证 1000)"
    )
    backtest.add_argument("--name", help="策略名 (默认权重文件名)")
    backtest.add_argument("--title", help="报告图标题 (默认策略名)")
    backtest.add_argument(
        "--layout",
        choices=("large", "long"),
        default="large",
        help="报告图版式: large 横版, long 竖版 (默认 large)",
    )
    backtest.add_argument(
        "--rolling-window",
        type=_bounded_int(0),
        default=0,
        metavar="DAYS",
        help="权重的移动平均天数, 0 表示不平滑 (默认 0)",
    )
    _trading_options(backtest)


def _add_factor(subparsers, connection) -> None:
    factor = _subcommand(
        subparsers,
        "factor",
        commands.run_factor,
        "因子报告: 多持有期 IC、真实交易的分组回测、报告图与 JSON",
        "因子为数据服务中的因子名 (需要连接选项或环境变量), 或 Parquet/CSV 文件: 宽表 (一行\n"
        "一个日期, 每列一只股票) 或长表 (date、ukey、value 三列)。远期收益来自存储的开盘价,\n"
        "按存储的拆分与分红因子复权; 分组回测按 VWAP、整手、涨跌停、停牌与费用成交。输出目录中\n"
        "写入 factor_groups.png、factor_ic.png (及有换手时的 factor_turnover.png) 与\n"
        "factor_report.json。",
        parents=[connection],
    )
    factor.add_argument("--store", required=True, metavar="DIR", help="回测准备数据存储的目录")
    factor.add_argument(
        "--factor",
        required=True,
        metavar="NAME|FILE",
        help="因子名 (从数据服务读取) 或因子文件 (.parquet 或 .csv)",
    )
    factor.add_argument(
        "--output", default="factor-output", metavar="DIR", help="输出目录 (默认 ./factor-output)"
    )
    factor.add_argument("--name", help="因子名 (默认因子名参数或文件名)")
    factor.add_argument("--groups", type=_bounded_int(1), default=10, help="分组数 (默认 10)")
    factor.add_argument(
        "--horizons",
        type=_horizons,
        default=(1, 5, 10, 20),
        metavar="H,H,...",
        help="持有期, 交易日 (默认 1,5,10,20)",
    )
    factor.add_argument("--start", type=_date, default=None, help="起始日期 (默认存储首日)")
    factor.add_argument("--end", type=_date, default=None, help="结束日期 (默认存储末日)")
    _trading_options(factor)


def build_parser() -> argparse.ArgumentParser:
    """``tolvane`` 命令的参数解析器。"""
    from tolvane import __version__

    parser = argparse.ArgumentParser(
        prog="tolvane",
        description="tolvane: 中国 A 股量化研究 SDK 的命令行。",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tolvane {__version__}")
    parser.add_argument(
        "--debug", action="store_true", help="出错时显示 traceback (也可设环境变量 TOLVANE_DEBUG=1)"
    )
    subparsers = parser.add_subparsers(dest="command", metavar="<子命令>", required=True)
    connection, writer = _connection_options(), _writer_options()
    _add_sandbox(subparsers)
    _add_demo(subparsers)
    _add_quota(subparsers, connection)
    _add_download(subparsers, connection)
    _add_prepare(subparsers, connection, writer)
    _add_update(subparsers, connection, writer)
    _add_verify(subparsers)
    _add_backtest(subparsers)
    _add_factor(subparsers, connection)
    return parser


def main(argv: list[str] | None = None) -> int:
    """运行 ``tolvane`` 命令; 返回退出状态。

    用户能处理的错误写成一行并以状态 1 退出; 本包的缺陷还显示 traceback
    (``--debug`` 或 ``TOLVANE_DEBUG=1`` 时任何错误都显示)。
    """
    args = build_parser().parse_args(argv)
    return run_command(f"tolvane {args.command}", lambda: args.run(args), debug=args.debug)


if __name__ == "__main__":
    sys.exit(main())
