"""回测报告演示: 在合成 A 股市场上回测一个因子选股策略, 打印统计表并生成两张报告图。

市场来自 :class:`tolvane.sandbox.market.SyntheticMarket` (固定种子, 结果可复现),
行情矩阵按回测引擎的约定构造: VWAP 成交价、涨跌停与停牌限制、送转与分红因子。
策略为每周调仓的截面选股: 在可交易的股票中 (样本期内新上市的股票需满 120 个
交易日), 取研究因子 alpha1 近 20 个交易日均值最高的 30 只, 等权持有到下次调仓。
"""

from __future__ import annotations

import logging
import time
import unicodedata
from pathlib import Path

import numpy as np
import pandas as pd

from tolvane.sandbox.market import SyntheticMarket

from . import _strategy_kernel as kernel

SEED = 7
N_STOCKS = 300
START, END = "2015-01-01", "2024-12-31"
BENCHMARKS = {"000852": "000852.XSHG", "000300": "000300.XSHG"}
PRIMARY_BENCHMARK = "000852"
STRATEGY_NAME = "alpha1 Top30 周调仓"

SIGNAL_FACTOR = "alpha1"
SIGNAL_SMOOTHING_DAYS = 20
REBALANCE_EVERY = 5
TOP_N = 30
MIN_LISTED_DAYS = 120  # new listings wait this long; stocks listed before the sample do not

# Statistics in the order a report reads them: key, label, unit.
STAT_ROWS = (
    ("annual_return", "年化收益 Strategy Ann.", "pct_points"),
    ("long_sharp", "夏普 Strategy Sharpe", "number"),
    ("max_dd", "最大回撤 Strategy Max DD", "pct_points"),
    ("extra_annual_return", "超额年化 Excess Ann.", "pct_points"),
    ("extra_sharp", "超额夏普 Excess Sharpe", "number"),
    ("extra_max_dd", "超额最大回撤 Excess Max DD", "pct_points"),
    ("benchmark_annual_return", "基准年化 Benchmark Ann.", "pct_points"),
    ("benchmark_sharp", "基准夏普 Benchmark Sharpe", "number"),
    ("return_corr", "与基准相关 Return Corr.", "number"),
    ("win_rate", "日胜率 Strategy Win", "pct_points"),
    ("excess_win_rate", "超额日胜率 Excess Win", "pct_points"),
    ("holding_count", "平均持股数 Avg Holding", "count"),
    ("turnover", "日均单边换手 Turnover", "pct_points"),
)


def build_market_frames(market: SyntheticMarket) -> dict[str, pd.DataFrame]:
    """回测引擎需要的八个行情矩阵 (日期 "YYYYMMDD" x 股票代码)。"""
    dates = pd.DatetimeIndex(market.dates).strftime("%Y%m%d")

    def frame(values) -> pd.DataFrame:
        return pd.DataFrame(values, index=dates, columns=market.codes)

    close = frame(market.factor("Close"))
    buy_price = frame(market.factor("tick_vwap_price_935_1005"))
    sell_price = frame(market.factor("tick_vwap_price_925_1000"))
    suspended = frame(market.factor("rq_is_suspended")) == 1.0
    listed = close.notna()
    # A sealed limit day trades at the limit all morning: no buying at the
    # limit-up price, no selling at the limit-down price.
    at_limit_up = buy_price == frame(market.factor("limit_up"))
    at_limit_down = sell_price == frame(market.factor("limit_down"))
    return {
        "can_buy_stock": listed & ~suspended & buy_price.notna() & ~at_limit_up,
        "cant_sell_stock": ~listed | suspended | sell_price.isna() | at_limit_down,
        # Shares after per share before; cash per share after 10% dividend tax.
        "split_factor": frame(market.factor("split_coefficient_to")) / 10,
        "dividend_factor": frame(market.factor("rq_get_dividend")) / 10 * 0.9,
        "close_price": close,
        "prev_close": close.shift(1),
        "buy_price": buy_price,
        "sell_price": sell_price,
    }


def factor_weights(market: SyntheticMarket, frames: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """每 REBALANCE_EVERY 个交易日选出平滑因子值最高的 TOP_N 只股票, 等权, 期间保持不变。

    因子在当日收盘后可得; 引擎按 T-1 日权重在 T 日成交, 因此这里不再另行错位。
    """
    close = frames["close_price"]
    factor = pd.DataFrame(market.factor(SIGNAL_FACTOR), index=close.index, columns=close.columns)
    score = factor.rolling(SIGNAL_SMOOTHING_DAYS, min_periods=5).mean()
    listed = close.notna()
    seasoned = (listed.cumsum() >= MIN_LISTED_DAYS) | (listed & listed.iloc[0])
    chosen = score.where(seasoned & frames["can_buy_stock"]).rank(
        axis=1, ascending=False, method="first") <= TOP_N
    weights = chosen.astype(float).div(chosen.sum(axis=1).replace(0, np.nan), axis=0)
    rebalance_days = pd.Series(np.arange(len(weights)) % REBALANCE_EVERY == 0, index=weights.index)
    return weights.where(rebalance_days, axis=0).ffill().fillna(0.0)


def benchmark_returns(market: SyntheticMarket, dates: pd.Index) -> dict[str, pd.Series]:
    """基准指数的日收益, 按行情矩阵的日期索引。"""
    returns = {}
    for name, code in BENCHMARKS.items():
        close = pd.Series(market.index_bars(code)["close"], index=dates)
        returns[name] = close.pct_change().dropna()
    return returns


def format_stat(value, unit: str) -> str:
    if unit == "pct_points":
        return kernel._format_pct_points(value)
    if unit == "count":
        return kernel._format_num(value, 0)
    return kernel._format_num(value)


def display_width(text: str) -> int:
    """终端显示宽度: 全角 (中文) 字符占两列。"""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def padded(text: str, width: int, align: str = "<") -> str:
    space = " " * max(width - display_width(text), 0)
    return text + space if align == "<" else space + text


def print_report(result, seconds: float) -> None:
    width = max(display_width(label) for _, label, _ in STAT_ROWS) + 2
    print(f"\n策略统计  {result.strategy_name}  (基准 {PRIMARY_BENCHMARK})")
    print("-" * (width + 12))
    for key, label, unit in STAT_ROWS:
        print(padded(label, width) + padded(format_stat(result.stats.get(key), unit), 12, ">"))
    print("\n基准汇总")
    titles = ("基准年化", "超额年化", "超额夏普", "超额回撤")
    print(padded("基准", 10) + "".join(padded(title, 12, ">") for title in titles))
    for row in result.benchmark_summary.itertuples(index=False):
        cells = (
            kernel._format_pct(row.benchmark_annual_return),
            kernel._format_pct(row.excess_annual_return),
            kernel._format_num(row.excess_sharpe),
            kernel._format_pct(row.excess_max_dd),
        )
        print(padded(row.benchmark_name, 10) + "".join(padded(cell, 12, ">") for cell in cells))
    print("\n报告图")
    for kind, path in result.plot_paths.items():
        print(f"  {kind}: {path}")
    days = len(result.daily_return)
    print(f"  回测与两张图共用时 {seconds:.2f} 秒 ({days} 个交易日, 约 {days / 243:.1f} 年日频数据)")


def run_report_demo(output_dir) -> dict:
    """生成合成市场、运行因子选股策略回测并输出报告。

    Args:
        output_dir: 图片输出目录 (不存在时创建)。

    Returns:
        dict: "result" 为回测结果 (_StrategyCoreResult), "plot_paths" 为两张图的路径,
        "seconds" 为回测 (含两张图) 的用时 (秒)。
    """
    # WenQuanYi Micro Hei has no bold face; matplotlib says so once per text.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    output = Path(output_dir)
    output.mkdir(parents=True, exist_ok=True)

    market = SyntheticMarket(seed=SEED, n_stocks=N_STOCKS, start=START, end=END)
    frames = build_market_frames(market)
    weights = factor_weights(market, frames)
    started = time.perf_counter()
    result = kernel.run_strategy_backtest_core(
        weights, **frames,
        benchmark_dict=benchmark_returns(market, weights.index),
        benchmark_names=PRIMARY_BENCHMARK,
        plot_image_kind="large",
        plot_save_path=str(output / "strategy_backtest.png"),
        strategy_name=STRATEGY_NAME,
    )
    elapsed = time.perf_counter() - started
    print_report(result, elapsed)
    return {"result": result, "plot_paths": result.plot_paths, "seconds": elapsed}


if __name__ == "__main__":
    run_report_demo("demo-output")
