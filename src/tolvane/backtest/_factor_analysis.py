"""因子分析: 远期收益、多持有期 IC 及其统计表、因子秩自相关与因子分组报告图。

``calc_factor_ic`` 把因子矩阵与准备数据存储中的 ``forward_return_rank_cache``
逐日求 Spearman 秩相关, 给出均值、IR 与年度表; ``calc_forward_returns`` 从存储的
开盘价与拆分、分红因子算出若干持有期的复权远期收益, ``calc_factor_ic_by_horizon``
给出每个持有期的日 IC、汇总 (均值、标准差、IR、t 统计量、正 IC 比例、偏度、峰度)、
年度表与月度表; ``factor_rank_autocorrelation`` 给出每天的因子与前一天的秩相关
(因子的稳定性); ``plot_factor_groups`` 把 ``calc_all_group_vwap_daily_return`` 的
分组净值与累计 IC 画成一张报告图, 风格与策略业绩图相同。
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from . import _groups
from ._chart_look import (
    BENCHMARK_BLACK,
    REFERENCE_LINE_GREY,
    ROLLING_PURPLE,
    apply_report_style,
    centred_note,
    group_colours,
    style_panel,
    zero_line,
)
from ._core import GROUP_SPREAD_COLUMN, _factor_values, _with_datetime_index
from ._strategy_kernel import _MATPLOTLIB_PLOT_LOCK, TRADING_DAYS_PER_YEAR

__all__ = [
    "DEFAULT_HORIZONS",
    "FactorIC",
    "HorizonIC",
    "calc_factor_ic",
    "calc_factor_ic_by_horizon",
    "calc_forward_returns",
    "factor_rank_autocorrelation",
    "plot_factor_groups",
]

_YEARLY_COLUMNS = ["ic_mean", "ic_std", "ic_ir", "positive_ratio", "days"]

#: Holding periods of the forward returns, in trading days.
DEFAULT_HORIZONS = (1, 5, 10, 20)

#: The store's matrices the forward returns are made of.
FORWARD_RETURN_KEYS = ("open_price", "rq_get_split", "rq_get_dividend")

_SUMMARY_COLUMNS = ["ic_mean", "ic_std", "ic_ir", "t_stat", "positive_ratio", "skew", "kurtosis", "days"]


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
    return FactorIC(
        daily_ic=daily_ic,
        ic_mean=summary["ic_mean"],
        ic_std=summary["ic_std"],
        ic_ir=summary["ic_ir"],
        positive_ratio=summary["positive_ratio"],
        yearly=yearly,
    )


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


# ------------------------------------------------------ forward returns, IC


def calc_forward_returns(data: dict, horizons=DEFAULT_HORIZONS) -> dict[int, pd.DataFrame]:
    """从存储的开盘价与拆分、分红因子计算各持有期的复权远期收益。

    持有期 h 的矩阵在 T 日的值是 T+1 日开盘买入、持有到 T+1+h 日开盘卖出的收益,
    即 T 日收盘后得到的因子 (T+1 日成交) 要预测的收益, 与因子按同一日期对齐。
    送转与现金分红按存储的 "rq_get_split" (每股变为几股, NaN 为 1) 与
    "rq_get_dividend" (每股税后现金, NaN 为 0) 复权: 除权除息日 d 的开盘价已经除权,
    持有一股在 d 日开盘值 split × open + dividend, 现金在当日开盘再投入, 所以

        收益 = open[T+1+h] / open[T+1] × ∏(split[d] + dividend[d] / open[d]) − 1,
        d 取 T+2 .. T+1+h。

    没有除权除息的区间, h = 1 的收益正是存储的 ``forward_return_rank_cache`` 所排名的
    open[T+2] / open[T+1] − 1; 区间内有除权除息日时, 排名缓存用的是未复权的价格比
    (送转日表现为大跌), 这里是持有者真实得到的收益, 两者在这些股票这些日子上不同。
    期末超出最后一天、两端开盘价缺失 (如停牌)、除息日没有开盘价时为 NaN;
    正负无穷也记为 NaN。

    Args:
        data: ``BinaryPreparedDataStore.load()`` 返回的字典 (至少含 "open_price"、
            "rq_get_split"、"rq_get_dividend"), 或这样的存储本身。
        horizons: 持有期 (交易日数, 正整数), 默认 (1, 5, 10, 20)。

    Returns:
        dict[int, pd.DataFrame]: 持有期 → 与 "open_price" 同索引同列的收益矩阵。

    Raises:
        KeyError: 缺少所需的矩阵。
        ValueError: 持有期不是正整数。
    """
    data = _forward_return_inputs(data)
    horizons = _checked_horizons(horizons)
    open_price = data["open_price"]
    split, dividend = (data[key].reindex_like(open_price) for key in FORWARD_RETURN_KEYS[1:])
    returns = _groups.forward_returns(
        _factor_values(open_price), _factor_values(split), _factor_values(dividend), list(horizons)
    )
    return {
        horizon: pd.DataFrame(values, index=open_price.index, columns=open_price.columns, copy=False)
        for horizon, values in zip(horizons, returns)
    }


def _forward_return_inputs(data) -> dict:
    if not isinstance(data, dict):  # a store
        data = data.load(keys=list(FORWARD_RETURN_KEYS))
    missing = [key for key in FORWARD_RETURN_KEYS if key not in data]
    if missing:
        raise KeyError(f"计算远期收益缺少矩阵 {missing}")
    return data


def _checked_horizons(horizons) -> tuple[int, ...]:
    checked = []
    for horizon in horizons:
        if isinstance(horizon, bool) or not float(horizon).is_integer() or int(horizon) < 1:
            raise ValueError(f"持有期必须是正整数, 得到 {horizon!r}")
        checked.append(int(horizon))
    if not checked:
        raise ValueError("至少需要一个持有期")
    if len(set(checked)) != len(checked):
        raise ValueError(f"持有期重复: {checked}")
    return tuple(checked)


def _moments(valid: np.ndarray) -> tuple[float, float]:
    """Skewness and excess kurtosis from the central moments (the biased estimates)."""
    if valid.size < 2:
        return np.nan, np.nan
    deviation = valid - valid.mean()
    second = np.mean(deviation**2)
    if not second > 0:
        return np.nan, np.nan
    return float(np.mean(deviation**3) / second**1.5), float(np.mean(deviation**4) / second**2 - 3.0)


def _ic_statistics(ic: pd.Series) -> dict:
    row = _ic_summary(ic)
    days = row["days"]
    row["t_stat"] = row["ic_ir"] * np.sqrt(days) if days > 1 else np.nan
    row["skew"], row["kurtosis"] = _moments(ic.dropna().to_numpy(dtype=np.float64))
    return {column: row[column] for column in _SUMMARY_COLUMNS}


def _summary_table(ic: pd.DataFrame, groups=None) -> pd.DataFrame:
    if groups is None:
        rows = {column: _ic_statistics(ic[column]) for column in ic.columns}
    else:
        rows = {key: _ic_statistics(part) for key, part in ic.groupby(groups)}
    table = pd.DataFrame.from_dict(rows, orient="index", columns=_SUMMARY_COLUMNS)
    table["days"] = table["days"].astype(int)
    return table


@dataclass
class HorizonIC:
    """多个持有期的因子 IC 及其统计表。

    Attributes:
        daily_ic: 逐日 IC, 以日期为索引, 每个持有期一列 (列名为持有期的交易日数);
            可比股票不足两只或一边的值全部相同的日子为 NaN。
        summary: 每个持有期一行: "ic_mean" (均值)、"ic_std" (样本标准差, ddof=1)、
            "ic_ir" (均值 / 标准差, 未年化)、"t_stat" (均值 / (标准差 / √天数))、
            "positive_ratio" (IC > 0 的天数占比)、"skew" 与 "kurtosis" (偏度与超额峰度,
            由中心矩求得的有偏估计: m3 / m2^1.5 与 m4 / m2² − 3)、"days" (有 IC 的天数)。
        yearly: 持有期 → 年度表 (索引 "year", 列同 summary)。
        monthly: 持有期 → 月度 IC 均值表 (索引 "year", 列为月份 1..12; 没有 IC 的月份为 NaN)。
    """

    daily_ic: pd.DataFrame
    summary: pd.DataFrame
    yearly: dict[int, pd.DataFrame]
    monthly: dict[int, pd.DataFrame]

    @property
    def horizons(self) -> list[int]:
        """持有期列表。"""
        return list(self.daily_ic.columns)

    @property
    def decay(self) -> pd.DataFrame:
        """IC 随持有期的衰减: 每个持有期的 "ic_mean" 与 "ic_ir"。"""
        return self.summary[["ic_mean", "ic_ir"]]

    def factor_ic(self, horizon: int) -> FactorIC:
        """一个持有期的结果, 形式同 ``calc_factor_ic`` (供 ``plot_factor_groups`` 使用)。"""
        daily = self.daily_ic[horizon].rename("ic")
        row = self.summary.loc[horizon]
        yearly = self.yearly[horizon][_YEARLY_COLUMNS]
        return FactorIC(
            daily_ic=daily,
            ic_mean=row["ic_mean"],
            ic_std=row["ic_std"],
            ic_ir=row["ic_ir"],
            positive_ratio=row["positive_ratio"],
            yearly=yearly,
        )


def calc_factor_ic_by_horizon(
    factor_matrix: pd.DataFrame, forward_returns: dict[int, pd.DataFrame]
) -> HorizonIC:
    """各持有期的因子 IC: 因子与远期收益的逐日秩相关, 及其汇总、年度与月度表。

    每个持有期的日 IC 与 ``calc_factor_ic`` 的定义相同: 两个矩阵按日期与股票取交集
    对齐, 每天只取两边都是有限值的股票, 求平均秩的 Pearson 相关系数。远期收益通常来自
    ``calc_forward_returns``, 与因子按同一日期对齐。

    Args:
        factor_matrix: 因子矩阵 (日期 × 股票)。
        forward_returns: 持有期 → 远期收益矩阵。

    Returns:
        HorizonIC: 逐日 IC、汇总、年度表与月度表。
    """
    horizons = list(forward_returns)
    aligned = [factor_matrix.align(forward, join="inner") for forward in forward_returns.values()]
    if aligned and all(
        factor.index.equals(aligned[0][0].index) and factor.columns.equals(aligned[0][0].columns)
        for factor, _ in aligned
    ):
        # The normal case: every horizon on the factor's axes; the factor is ordered once a day.
        factor = aligned[0][0]
        values = _groups.daily_rank_correlations(
            _factor_values(factor), [_factor_values(forward) for _, forward in aligned]
        )
        daily_ic = pd.DataFrame(values.T, index=factor.index, columns=horizons)
    else:
        columns = {
            horizon: pd.Series(
                _groups.daily_rank_correlation(_factor_values(factor), _factor_values(forward)),
                index=factor.index,
            )
            for horizon, (factor, forward) in zip(horizons, aligned)
        }
        daily_ic = pd.DataFrame(columns, columns=horizons, dtype=float)
    daily_ic.columns.name = "horizon"
    summary = _summary_table(daily_ic)
    summary.index.name = "horizon"
    dated = _with_datetime_index(daily_ic)
    yearly, monthly = {}, {}
    for horizon in daily_ic.columns:
        series = dated[horizon]
        table = _summary_table(series, series.index.year)
        table.index.name = "year"
        yearly[horizon] = table
        by_month = series.groupby([series.index.year, series.index.month]).mean().unstack()
        by_month = by_month.reindex(columns=range(1, 13))
        by_month.index.name, by_month.columns.name = "year", "month"
        monthly[horizon] = by_month
    return HorizonIC(daily_ic=daily_ic, summary=summary, yearly=yearly, monthly=monthly)


# --------------------------------------------------------------------- chart


def _draw_net_values(ax, group_returns: pd.DataFrame, group_columns: list[str]) -> None:
    ax.set_title("Group Net Value")
    net_values = group_returns.fillna(0.0).cumsum() + 1.0
    for column, colour in zip(group_columns, group_colours(len(group_columns))):
        ax.plot(net_values.index, net_values[column], color=colour, linewidth=1.6, label=column)
    if GROUP_SPREAD_COLUMN in net_values:
        ax.plot(
            net_values.index,
            net_values[GROUP_SPREAD_COLUMN],
            color=BENCHMARK_BLACK,
            linewidth=2.0,
            linestyle="--",
            label="Top - Bottom",
        )
    ax.axhline(1.0, color=REFERENCE_LINE_GREY, linewidth=0.8)
    ax.set_ylabel("Net Value")
    ax.legend(
        loc="upper left", frameon=True, framealpha=0.92, ncol=2 if len(group_columns) > 6 else 1, fontsize=8.5
    )


def _draw_annual_returns(ax, group_returns: pd.DataFrame, group_columns: list[str]) -> None:
    from matplotlib.ticker import PercentFormatter

    ax.set_title("Group Annual Return")
    annual = group_returns[group_columns].mean() * TRADING_DAYS_PER_YEAR
    positions = np.arange(len(group_columns))
    ax.bar(positions, annual.to_numpy(), color=group_colours(len(group_columns)), alpha=0.86)
    ax.set_xticks(positions)
    ax.set_xticklabels([column.removeprefix("group_") for column in group_columns])
    ax.set_xlabel("Group (low → high factor)")
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    zero_line(ax)


def _draw_cumulative_ic(ax, factor_ic: FactorIC | None) -> None:
    ax.set_title("Cumulative IC")
    if factor_ic is None or factor_ic.daily_ic.dropna().empty:
        centred_note(ax, "No IC data")
        return
    cumulative = _with_datetime_index(factor_ic.cumulative_ic)
    label = f"IC mean {factor_ic.ic_mean:.4f} | IR {factor_ic.ic_ir:.2f}"
    ax.plot(cumulative.index, cumulative, color=ROLLING_PURPLE, linewidth=2.0, label=label)
    ax.fill_between(cumulative.index, cumulative, 0.0, color=ROLLING_PURPLE, alpha=0.12)
    zero_line(ax)
    ax.legend(loc="upper left", frameon=True, framealpha=0.92)


def plot_factor_groups(
    group_returns: pd.DataFrame,
    factor_ic: FactorIC | None = None,
    save_path: str | Path = "./factor_groups.png",
    factor_name: str = "factor",
) -> str:
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
        apply_report_style(plt)
        figure = plt.figure(figsize=(16.0, 10.5), constrained_layout=True)
        try:
            grid = figure.add_gridspec(2, 2, height_ratios=[1.35, 1.0], width_ratios=[1.0, 1.3])
            ax_net = figure.add_subplot(grid[0, :])
            ax_annual = figure.add_subplot(grid[1, 0])
            ax_ic = figure.add_subplot(grid[1, 1])
            figure.suptitle(
                f"{factor_name} | {len(group_columns)} Groups | Factor Group Backtest",
                fontsize=17,
                fontweight="bold",
                color=BENCHMARK_BLACK,
            )
            dated = _with_datetime_index(group_returns)
            if dated.empty:
                centred_note(ax_net, "No group data")
                centred_note(ax_annual, "No group data")
            else:
                _draw_net_values(ax_net, dated, group_columns)
                _draw_annual_returns(ax_annual, dated, group_columns)
            _draw_cumulative_ic(ax_ic, factor_ic)
            for ax in (ax_net, ax_annual, ax_ic):
                style_panel(ax)
            figure.savefig(save_path, dpi=175, bbox_inches="tight", facecolor=figure.get_facecolor())
        finally:
            plt.close(figure)
    return str(save_path)
