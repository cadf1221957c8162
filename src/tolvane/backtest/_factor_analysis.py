"""因子分析: 因子 IC (因子与远期收益排名的逐日秩相关)、因子秩自相关与因子分组报告图。

``calc_factor_ic`` 把因子矩阵与准备数据存储中的 ``forward_return_rank_cache``
逐日求 Spearman 秩相关, 给出均值、IR 与年度表; ``factor_rank_autocorrelation``
给出每天的因子与前一天的秩相关 (因子的稳定性); ``plot_factor_groups`` 把
``calc_all_group_vwap_daily_return`` 的分组净值与累计 IC 画成一张报告图,
风格与策略业绩图相同。
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from . import _groups
from ._core import GROUP_SPREAD_COLUMN, _factor_values, _with_datetime_index
from ._strategy_kernel import _MATPLOTLIB_PLOT_LOCK, TRADING_DAYS_PER_YEAR
from .chart_fonts import CJK_FONT_FAMILIES

__all__ = ["FactorIC", "calc_factor_ic", "factor_rank_autocorrelation", "plot_factor_groups"]

_YEARLY_COLUMNS = ["ic_mean", "ic_std", "ic_ir", "positive_ratio", "days"]


@dataclass
class FactorIC:
    """因子 IC 的结果。

    Attributes:
        daily_ic: 逐日 IC (秩相关系数), 以日期为索引; 可比股票不足两只或一边的值
            全部相同的日子为 NaN。
        ic_mean: 日 IC 的均值 (跳过 NaN)。
        ic_std: 日 IC 的样本标准差 (ddof=1)。
        ic_ir: 信息比率 ic_mean / ic_std (未年化); 标准差为 0 或无定义时为 NaN。
        positive_ratio: 有 IC 的日子中 IC > 0 的比例。
        yearly: 年度表, 索引 "year", 列 "ic_mean"、"ic_std"、"ic_ir"、"positive_ratio"、
            "days" (当年有 IC 的天数), 含义同上。
    """

    daily_ic: pd.Series
    ic_mean: float
    ic_std: float
    ic_ir: float
    positive_ratio: float
    yearly: pd.DataFrame

    @property
    def cumulative_ic(self) -> pd.Series:
        """累计 IC: 日 IC 的累加, 缺失的日子按 0 计。"""
        return self.daily_ic.fillna(0.0).cumsum()


def _ic_summary(ic: pd.Series) -> dict:
    valid = ic.dropna()
    mean = float(valid.mean()) if len(valid) else np.nan
    std = float(valid.std(ddof=1)) if len(valid) > 1 else np.nan
    return {
        "ic_mean": mean,
        "ic_std": std,
        "ic_ir": mean / std if std > 0 else np.nan,
        "positive_ratio": float((valid > 0).mean()) if len(valid) else np.nan,
        "days": len(valid),
    }


def calc_factor_ic(factor_matrix: pd.DataFrame, forward_return_rank: pd.DataFrame) -> FactorIC:
    """因子 IC: 因子与远期收益排名的逐日秩相关 (Spearman), 及其均值、IR 与年度表。

    两个矩阵先按日期与股票取交集对齐。每天只取两边都是有限值的股票, 在这些股票中
    分别求平均秩 (相同的值取名次的平均), 再求两组秩的 Pearson 相关系数; 这等于
    ``factor.corrwith(forward, axis=1, method="spearman")``。

    准备数据存储的 ``forward_return_rank_cache`` 在 T 日的值是 T+1 日开盘到 T+2 日
    开盘的收益在当日的排名, 正是 T 日因子 (T+1 日成交) 要预测的收益, 所以两者按
    同一日期对齐, 不需要再移动。

    Args:
        factor_matrix: 因子矩阵 (日期 × 股票)。
        forward_return_rank: 远期收益 (或其排名) 矩阵, 通常是存储的
            ``forward_return_rank_cache``。

    Returns:
        FactorIC: 逐日 IC、均值、标准差、IR、正 IC 比例与年度表。
    """
    factor, forward = factor_matrix.align(forward_return_rank, join="inner")
    values = _groups.daily_rank_correlation(_factor_values(factor), _factor_values(forward))
    daily_ic = pd.Series(values, index=factor.index, name="ic")
    dated = _with_datetime_index(daily_ic)
    rows = {year: _ic_summary(year_ic) for year, year_ic in dated.groupby(dated.index.year)}
    yearly = pd.DataFrame.from_dict(rows, orient="index", columns=_YEARLY_COLUMNS)
    yearly.index.name = "year"
    yearly["days"] = yearly["days"].astype(int)
    summary = _ic_summary(daily_ic)
    return FactorIC(daily_ic=daily_ic, ic_mean=summary["ic_mean"], ic_std=summary["ic_std"],
                    ic_ir=summary["ic_ir"], positive_ratio=summary["positive_ratio"], yearly=yearly)


def factor_rank_autocorrelation(factor: pd.DataFrame) -> pd.Series:
    """因子的一阶秩自相关: 每天的因子值与前一天的因子值的 Spearman 秩相关。

    每天只取当天与前一天都是有限值的股票, 在这些股票中分别求两天因子值的平均秩
    (相同的值取名次的平均), 再求两组秩的 Pearson 相关系数, 与 ``calc_factor_ic``
    的算法相同。接近 1 表示因子排序稳定 (分组换手低)。前一天按行的先后取, 即
    ``factor`` 的上一行。

    Args:
        factor: 因子矩阵 (日期 × 股票), 日期按先后排列。

    Returns:
        以 ``factor.index`` 为索引、名为 "rank_autocorrelation" 的序列; 第一天, 以及
        可比的股票少于两只或一边的值全部相同的日子为 NaN。
    """
    values = _factor_values(factor)
    correlation = np.full(len(values), np.nan)
    if len(values) > 1:
        correlation[1:] = _groups.daily_rank_correlation(values[1:], values[:-1])
    return pd.Series(correlation, index=factor.index, name="rank_autocorrelation")


# --------------------------------------------------------------------- chart
# The report charts' look: the same style, fonts, colours and panel styling.

_FONTS = [*CJK_FONT_FAMILIES, "DejaVu Sans", "Liberation Sans", "Ubuntu"]
_INK = "#111827"
_IC_PURPLE = "#7c3aed"
_ZERO_LINE_GREY = "#94a3b8"
_LOW_GROUP_BLUE = "#2563eb"
_HIGH_GROUP_RED = "#ef4444"


def _group_colours(count: int) -> list:
    """From the strategy blue (lowest factor values) to the excess red (highest)."""
    from matplotlib.colors import LinearSegmentedColormap

    ramp = LinearSegmentedColormap.from_list("groups", [_LOW_GROUP_BLUE, "#a3a3a3", _HIGH_GROUP_RED])
    return [ramp(k / max(count - 1, 1)) for k in range(count)]


def _apply_report_style(plt) -> None:
    try:
        plt.style.use("seaborn-v0_8-whitegrid")
    except Exception:  # a matplotlib without this style draws in its defaults
        pass
    plt.rcParams["font.sans-serif"] = list(_FONTS)
    plt.rcParams["axes.unicode_minus"] = False
    plt.rcParams["axes.titleweight"] = "bold"
    plt.rcParams["figure.facecolor"] = "white"
    plt.rcParams["axes.facecolor"] = "#fbfbfd"


def _style_panel(ax) -> None:
    ax.grid(True, color="#e5e7eb", linewidth=0.75, alpha=0.84)
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)


def _zero_line(ax) -> None:
    ax.axhline(0.0, color=_ZERO_LINE_GREY, linewidth=0.8)


def _centred_note(ax, text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes)


def _draw_net_values(ax, group_returns: pd.DataFrame, group_columns: list[str]) -> None:
    ax.set_title("Group Net Value")
    net_values = group_returns.fillna(0.0).cumsum() + 1.0
    for column, colour in zip(group_columns, _group_colours(len(group_columns))):
        ax.plot(net_values.index, net_values[column], color=colour, linewidth=1.6, label=column)
    if GROUP_SPREAD_COLUMN in net_values:
        ax.plot(net_values.index, net_values[GROUP_SPREAD_COLUMN], color=_INK, linewidth=2.0,
                linestyle="--", label="Top - Bottom")
    ax.axhline(1.0, color=_ZERO_LINE_GREY, linewidth=0.8)
    ax.set_ylabel("Net Value")
    ax.legend(loc="upper left", frameon=True, framealpha=0.92, ncol=2 if len(group_columns) > 6 else 1,
              fontsize=8.5)


def _draw_annual_returns(ax, group_returns: pd.DataFrame, group_columns: list[str]) -> None:
    from matplotlib.ticker import PercentFormatter

    ax.set_title("Group Annual Return")
    annual = group_returns[group_columns].mean() * TRADING_DAYS_PER_YEAR
    positions = np.arange(len(group_columns))
    ax.bar(positions, annual.to_numpy(), color=_group_colours(len(group_columns)), alpha=0.86)
    ax.set_xticks(positions)
    ax.set_xticklabels([column.removeprefix("group_") for column in group_columns])
    ax.set_xlabel("Group (low → high factor)")
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    _zero_line(ax)


def _draw_cumulative_ic(ax, factor_ic: FactorIC | None) -> None:
    ax.set_title("Cumulative IC")
    if factor_ic is None or factor_ic.daily_ic.dropna().empty:
        _centred_note(ax, "No IC data")
        return
    cumulative = _with_datetime_index(factor_ic.cumulative_ic)
    label = f"IC mean {factor_ic.ic_mean:.4f} | IR {factor_ic.ic_ir:.2f}"
    ax.plot(cumulative.index, cumulative, color=_IC_PURPLE, linewidth=2.0, label=label)
    ax.fill_between(cumulative.index, cumulative, 0.0, color=_IC_PURPLE, alpha=0.12)
    _zero_line(ax)
    ax.legend(loc="upper left", frameon=True, framealpha=0.92)


def plot_factor_groups(group_returns: pd.DataFrame, factor_ic: FactorIC | None = None,
                       save_path: str | Path = "./factor_groups.png", factor_name: str = "factor") -> str:
    """因子分组报告图: 分组净值、各组年化收益与累计 IC, 风格与策略业绩图相同。

    上方是各组与多空价差 ("Top - Bottom") 的算术净值 (日收益累加 + 1, 固定资金),
    颜色从因子值最小的一组 (蓝) 渐变到最大的一组 (红); 左下是各组年化收益
    (日均收益 × 252); 右下是累计 IC 及其均值与 IR。作图期间持有策略图表的
    全局绘图锁, 与业绩图互不干扰。

    Args:
        group_returns: ``calc_all_group_vwap_daily_return`` 返回的分组日收益表。
        factor_ic: ``calc_factor_ic`` 的结果; None 时 IC 面板显示 "No IC data"。
        save_path: 图片路径, 格式由扩展名决定, 默认 "./factor_groups.png"。
        factor_name: 因子名称, 用于标题, 默认 "factor"。

    Returns:
        str: 保存的图片路径。
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    group_columns = [column for column in group_returns.columns if column != GROUP_SPREAD_COLUMN]
    with _MATPLOTLIB_PLOT_LOCK:
        _apply_report_style(plt)
        figure = plt.figure(figsize=(16.0, 10.5), constrained_layout=True)
        try:
            grid = figure.add_gridspec(2, 2, height_ratios=[1.35, 1.0], width_ratios=[1.0, 1.3])
            ax_net = figure.add_subplot(grid[0, :])
            ax_annual = figure.add_subplot(grid[1, 0])
            ax_ic = figure.add_subplot(grid[1, 1])
            figure.suptitle(f"{factor_name} | {len(group_columns)} Groups | Factor Group Backtest",
                            fontsize=17, fontweight="bold", color=_INK)
            dated = _with_datetime_index(group_returns)
            if dated.empty:
                _centred_note(ax_net, "No group data")
                _centred_note(ax_annual, "No group data")
            else:
                _draw_net_values(ax_net, dated, group_columns)
                _draw_annual_returns(ax_annual, dated, group_columns)
            _draw_cumulative_ic(ax_ic, factor_ic)
            for ax in (ax_net, ax_annual, ax_ic):
                _style_panel(ax)
            figure.savefig(save_path, dpi=175, bbox_inches="tight", facecolor=figure.get_facecolor())
        finally:
            plt.close(figure)
    return str(save_path)
