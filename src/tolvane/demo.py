"""tolvane 演示: 从数据服务到回测报告的完整流程, 离线运行。

``tolvane demo`` (或 ``python -m tolvane demo``) 依次做研究者用本产品时做的每一步,
每步一行说明, 耗时的步骤有进度条:

1. 在子进程中启动沙盒数据服务 (空闲端口, 子进程打印的随机密钥);
2. ``tolvane.init`` 连接它, 查看流量配额;
3. 下载基准数据包: 沙盒的数据包是截至 ``package_end`` 的回测准备数据存储;
4. 用构建器把存储增量更新到市场的最后一个交易日;
5. 以内存映射方式读取存储中的矩阵与基准;
6. 用几行 pandas 算出因子策略的权重;
7. ``run_strategy_backtest_core`` 以三个基准回测, 写出两张报告图;
8. 打印统计与基准汇总, 写出 ``statistics.json``;
9. 因子报告: ``alpha1`` (埋有信号) 与 ``alpha2`` (没有) 的多持有期 IC、真实交易的分组回测,
   各自写出报告图与 ``factor_report.json``;
10. 查看本次用掉的流量, 停止沙盒 (出错或 Ctrl+C 时同样停止)。
"""

from __future__ import annotations

import contextlib
import shutil
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from .console import describe_quota, display_width, format_bytes, padded
from .sandbox import defaults

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["DemoResult", "factor_strategy_weights", "run_demo"]

PRIMARY_BENCHMARK = "000852"

SIGNAL_FACTOR = "alpha1"
#: The factors of the report stage: the planted signal and the planted nothing.
REPORT_FACTORS = ("alpha1", "alpha2")
SMOOTHING_DAYS = 20
TOP_N = 30
REBALANCE_WEEKDAY = 4  # Friday: chosen after Friday's close, traded on Monday
STRATEGY_NAME = f"{SIGNAL_FACTOR} Top{TOP_N} 周调仓"


@dataclass
class DemoResult:
    """一次演示的产物。

    Attributes:
        store_dir: 下载并更新后的回测准备数据存储。
        plot_paths: 两张报告图 ({"main": ..., "weekly_net_value": ...})。
        statistics_path: 统计 JSON。
        result: ``run_strategy_backtest_core`` 的结果。
        factor_reports: 因子名 → ``FactorReport`` (图片在输出目录的 ``factor-<因子名>/`` 中)。
        quota_used_bytes: 本次演示用掉的流量, 字节。
        timings: 步骤名 → 秒。
    """

    store_dir: Path
    plot_paths: dict[str, str]
    statistics_path: Path
    result: object
    factor_reports: dict
    quota_used_bytes: int
    timings: dict[str, float] = field(default_factory=dict)


class _Stages:
    """Numbered stage lines with the time each stage took."""

    def __init__(self, total: int, out: TextIO) -> None:
        self.total, self.out = total, out
        self.timings: dict[str, float] = {}

    @contextlib.contextmanager
    def stage(self, title: str):
        number = len(self.timings) + 1
        self.say(f"[{number}/{self.total}] {title}", indent=False)
        started = time.perf_counter()
        try:
            yield self
        finally:
            self.timings[title] = time.perf_counter() - started
        self.say(f"用时 {self.timings[title]:.1f} 秒")

    def say(self, text: str, indent: bool = True) -> None:
        print(("      " if indent else "") + text, file=self.out, flush=True)

    def summary(self) -> str:
        rows = [*self.timings.items(), ("合计", sum(self.timings.values()))]
        width = max(display_width(title) for title, _ in rows) + 2
        return "\n".join(
            ["各步骤用时", *(f"  {padded(title, width)}{seconds:6.1f} 秒" for title, seconds in rows)]
        )


def factor_strategy_weights(service, matrices: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """研究因子 alpha1 近 20 个交易日均值最高的 30 只可买股票, 等权, 每周五收盘后调仓。

    因子从数据服务读取, 直接落在存储的日期 × 股票轴上 (``load_factors``)。
    权重在调仓日之间保持不变; 引擎在下一个交易日按 VWAP 成交。
    """
    import pandas as pd

    from tolvane.backtest import load_factors

    factor = load_factors(SIGNAL_FACTOR, matrices["close_price"], service=service)
    score = factor.rolling(SMOOTHING_DAYS, min_periods=5).mean().where(matrices["can_buy_stock"])
    chosen = score.rank(axis=1, ascending=False, method="first") <= TOP_N
    weights = chosen.div(chosen.sum(axis=1), axis=0)
    rebalance_days = pd.to_datetime(weights.index, format="%Y%m%d").dayofweek == REBALANCE_WEEKDAY
    return weights[rebalance_days].reindex(weights.index).ffill().fillna(0.0)


def _clear_previous_download(data_root: Path) -> None:
    """A previous run's package and part file: this run lays a fresh one."""
    from tolvane.backtest import BinaryPreparedDataStore, _bundle

    package = data_root / "benchmark"
    if BinaryPreparedDataStore(package).exists():
        shutil.rmtree(package)
    (data_root / _bundle._TEMP_DIR_NAME / _bundle._PART_FILE_NAME).unlink(missing_ok=True)


def run_demo(
    output_dir="demo-output",
    *,
    seed: int = defaults.SEED,
    n_stocks: int = defaults.N_STOCKS,
    start=defaults.START,
    end=defaults.END,
    package_end=defaults.PACKAGE_END,
    out: TextIO | None = None,
) -> DemoResult:
    """离线运行完整流程: 沙盒 → 配额 → 数据包 → 存储更新 → 策略 → 回测 → 报告。

    Args:
        output_dir: 输出目录 (不存在时创建): 两张报告图、``statistics.json``、
            沙盒日志 ``sandbox.log`` 与数据目录 ``data/`` (数据包即 ``data/benchmark``)。
        seed, n_stocks, start, end: 沙盒合成市场的种子、股票数与日期区间。
        package_end: 沙盒数据包的结束日 (其后的交易日由增量更新补上); None 表示市场末日。
        out: 说明文字的去处, 默认标准输出。

    Returns:
        DemoResult: 存储、图片、统计文件、回测结果、流量与各步骤用时。
    """
    # Imported here so that `tolvane --help` stays quick.
    from tolvane import singleton
    from tolvane.sandbox.process import SandboxProcess

    out = sys.stdout if out is None else out
    output = Path(output_dir).expanduser()
    output.mkdir(parents=True, exist_ok=True)
    _clear_previous_download(output / "data")
    stages = _Stages(10, out)
    sandbox = SandboxProcess(
        seed=seed,
        n_stocks=n_stocks,
        start=start,
        end=end,
        package_end=package_end,
        log_path=output / "sandbox.log",
    )
    try:
        with stages.stage("启动沙盒数据服务"):
            sandbox.start()
            assert sandbox.process is not None, "start() returns with the process running"
            stages.say(f"子进程 {sandbox.process.pid}, {sandbox.base_url}, api_key {sandbox.api_key}")
            stages.say(f"合成市场: {n_stocks} 只股票, {start} .. {end}, 种子 {seed}")
        service, quota_before, store = _bring_data(stages, sandbox, output / "data", end)
        matrices, result, statistics_path = _backtest_strategy(stages, service, store, output, out)
        reports = _report_factors(stages, service, matrices, output)
        with stages.stage("查看用掉的流量, 停止沙盒"):
            quota_after = service.get_quota()
            used = quota_before.get("available_bytes", 0) - quota_after.get("available_bytes", 0)
            stages.say(f"本次用掉 {format_bytes(used)}; {describe_quota(quota_after)}")
            singleton.reset()
            sandbox.stop()
    finally:
        singleton.reset()
        sandbox.stop()
    print("\n" + stages.summary(), file=out)
    return DemoResult(
        store_dir=Path(store.store_dir),
        plot_paths=dict(result.plot_paths),
        statistics_path=statistics_path,
        result=result,
        factor_reports=reports,
        quota_used_bytes=used,
        timings=dict(stages.timings),
    )


def _bring_data(stages: _Stages, sandbox, data_root: Path, end):
    """Stages 2-4: connect and look at the quota, download the package, update the store."""
    import tolvane
    from tolvane.backtest import BinaryPreparedDataStore, download_benchmark_package, update_store

    with stages.stage("连接数据服务, 查看配额"):
        service = tolvane.init(sandbox.api_key, sandbox.api_secret, base_url=sandbox.base_url)
        quota_before = service.get_quota()
        stages.say(describe_quota(quota_before))

    with stages.stage("下载基准数据包"):
        store_dir = download_benchmark_package(service.http, data_root / "benchmark")
        stages.say(f"解压到 {store_dir}")

    with stages.stage("增量更新准备数据存储"):
        before = BinaryPreparedDataStore(store_dir).dates()
        store = update_store(store_dir, end)
        dates = store.dates()
        stages.say(
            f"数据包止于 {before[-1]}, 更新后 {dates[0]} .. {dates[-1]} "
            f"(新增 {len(dates) - len(before)} 个交易日)"
        )
    return service, quota_before, store


def _backtest_strategy(stages: _Stages, service, store, output: Path, out: TextIO):
    """Stages 5-8: map the store, compute the strategy, backtest it with both charts, report."""
    from tolvane.backtest import backtest_inputs, ensure_cjk_font, run_strategy_backtest_core
    from tolvane.backtest.report import STATISTICS_FILE, format_report, write_statistics_json
    from tolvane.backtest.store_backtest import MAIN_IMAGE_FILE

    with stages.stage("内存映射读取存储"):
        matrices = store.load()
        benchmarks = store.load_benchmarks()
        close = matrices["close_price"]
        stages.say(
            f"{len(matrices)} 个矩阵, 每个 {close.shape[0]} 日 × {close.shape[1]} 只股票; "
            f"基准 {', '.join(benchmarks)}"
        )

    with stages.stage("计算因子策略"):
        weights = factor_strategy_weights(service, matrices)
        stages.say(f"{STRATEGY_NAME}: 平均持有 {(weights > 0).sum(axis=1).mean():.1f} 只股票")

    with stages.stage("回测并生成两张报告图"):
        ensure_cjk_font()
        result = run_strategy_backtest_core(
            weights,
            **backtest_inputs(matrices),
            benchmark_dict=benchmarks,
            benchmark_names=PRIMARY_BENCHMARK,
            plot_image_kind="large",
            plot_save_path=str(output / MAIN_IMAGE_FILE),
            strategy_name=STRATEGY_NAME,
        )
        for path in result.plot_paths.values():
            stages.say(path)

    with stages.stage("统计与基准汇总"):
        statistics_path = write_statistics_json(result, output / STATISTICS_FILE, benchmark=PRIMARY_BENCHMARK)
        print("\n" + format_report(result, PRIMARY_BENCHMARK) + "\n", file=out)
        stages.say(f"统计已写入 {statistics_path}")
    return matrices, result, statistics_path


def _report_factors(stages: _Stages, service, matrices: dict, output: Path) -> dict:
    """Stage 9: the factor report of the planted signal and of the planted nothing."""
    from tolvane.backtest import factor_report

    reports = {}
    with stages.stage("因子报告: alpha1 与 alpha2"):
        for name in REPORT_FACTORS:
            report = factor_report(name, matrices, output_dir=output / f"factor-{name}", service=service)
            reports[name] = report
            summary, spread = report.ic.summary, report.group_stats.loc["top_minus_bottom"]
            ics = ", ".join(f"{h}日 {summary.loc[h, 'ic_mean']:+.4f}" for h in report.horizons)
            stages.say(
                f"{name}: IC 均值 {ics}; 多空年化 {spread['annual_return']:+.1%}, 夏普 {spread['sharpe']:.2f}"
            )
            for path in (*report.image_paths.values(), report.json_path):
                stages.say(f"  {path}")
    return reports
