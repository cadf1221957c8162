"""因子报告: 一次调用给出一个因子在一个准备数据存储上的全部研究结果。

``factor_report(factor, store)`` 把因子放到存储的轴上, 算出各持有期的复权远期收益与 IC
(汇总、年度、月度、衰减), 用真实交易规则 (VWAP、整手、涨跌停、停牌、费用) 回测各因子
分组, 给出每组与多空价差的年化收益、夏普与最大回撤、各组日换手与因子的秩自相关。
给出 ``output_dir`` 时写出报告图 (分组净值与累计 IC、IC 衰减与月度 IC 热力图、各组换手)
与 ``factor_report.json``。结果对象在 notebook 中以表格与内嵌图片显示 (``_repr_html_``)。
"""

from __future__ import annotations

import base64
import html
import json
import math
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from . import _core
from ._chart_look import (
    BENCHMARK_BLACK,
    EXCESS_RED,
    ROLLING_PURPLE,
    apply_report_style,
    centred_note,
    group_colours,
    style_panel,
    zero_line,
)
from ._core import GROUP_SPREAD_COLUMN, safe_sharpe
from ._factor_analysis import (
    DEFAULT_HORIZONS,
    FORWARD_RETURN_KEYS,
    HorizonIC,
    calc_factor_ic_by_horizon,
    calc_forward_returns,
    factor_rank_autocorrelation,
    plot_factor_groups,
)
from ._strategy_kernel import _MATPLOTLIB_PLOT_LOCK, TRADING_DAYS_PER_YEAR

__all__ = ["FactorReport", "factor_report", "group_statistics"]

#: File names of what a report writes into its output folder.
GROUPS_IMAGE_FILE = "factor_groups.png"
IC_IMAGE_FILE = "factor_ic.png"
TURNOVER_IMAGE_FILE = "factor_turnover.png"
REPORT_FILE = "factor_report.json"

GROUP_STAT_COLUMNS = ["annual_return", "sharpe", "max_drawdown"]


def group_statistics(group_returns: pd.DataFrame, turnover: pd.DataFrame | None = None) -> pd.DataFrame:
    """各分组与多空价差的年化收益、夏普与最大回撤 (有换手时加日均换手)。

    与策略统计的口径相同 (固定资金, 算术净值): 年化收益 = 日均收益 × 252; 夏普 =
    ``safe_sharpe``; 最大回撤 = 净值 (日收益累加 + 1) 与其此前最高点之差的最大值
    (资金的比例, 正数)。缺失的日收益不计入均值与夏普, 在净值中按 0 计。

    Args:
        group_returns: ``calc_all_group_vwap_daily_return`` 的结果。
        turnover: 各组的日换手 (成交额 / 资金), 列为 "group_1".."group_<n>"; 可省略。

    Returns:
        pd.DataFrame: 每组一行 (及 "top_minus_bottom"), 列 "annual_return"、"sharpe"、
        "max_drawdown" (比例), 给出换手时加 "mean_turnover" (多空价差一行为 NaN)。
    """
    rows = {}
    for column in group_returns.columns:
        daily = group_returns[column]
        net_value = daily.fillna(0.0).cumsum() + 1.0
        drawdown = (net_value - net_value.cummax()).min() if len(net_value) else np.nan
        rows[column] = {
            "annual_return": daily.mean() * TRADING_DAYS_PER_YEAR,
            "sharpe": safe_sharpe(daily),
            "max_drawdown": abs(drawdown),
        }
    table = pd.DataFrame.from_dict(rows, orient="index", columns=GROUP_STAT_COLUMNS, dtype=float)
    if turnover is not None:
        table["mean_turnover"] = turnover.mean().reindex(table.index)
    return table


@dataclass
class FactorReport:
    """一个因子的研究报告。

    Attributes:
        factor_name: 因子名。
        ic: 各持有期的 IC 与统计表 (``HorizonIC``: daily_ic、summary、yearly、monthly、decay)。
        group_returns: 各分组与多空价差的日收益 (``calc_all_group_vwap_daily_return``)。
        group_stats: ``group_statistics`` 的表。
        group_turnover: 各组的日换手 (成交额 / 资金, ``calc_all_group_vwap_daily_return_with_turnover``)。
        rank_autocorrelation: 因子的滞后一日秩自相关 (逐日, ``factor_rank_autocorrelation``)。
        image_paths: 图类型 → 已写出的图片路径 ("groups"、"ic"、"turnover")。
        json_path: 写出的 JSON 路径; 没有输出目录时为 None。
    """

    factor_name: str
    ic: HorizonIC
    group_returns: pd.DataFrame
    group_stats: pd.DataFrame
    group_turnover: pd.DataFrame
    rank_autocorrelation: pd.Series
    image_paths: dict[str, str] = field(default_factory=dict)
    json_path: Path | None = None

    @property
    def horizons(self) -> list[int]:
        """持有期列表。"""
        return self.ic.horizons

    def to_record(self) -> dict:
        """报告的 JSON 记录: 全部表格 (比例或比值), NaN 与无穷为 None。"""
        dates = self.ic.daily_ic.index
        record = {
            "factor_name": self.factor_name,
            "start_date": str(dates[0]) if len(dates) else None,
            "end_date": str(dates[-1]) if len(dates) else None,
            "horizons": [int(h) for h in self.horizons],
            "groups": sum(1 for column in self.group_returns.columns if column != GROUP_SPREAD_COLUMN),
            "ic_summary": _table_record(self.ic.summary),
            "ic_yearly": {str(h): _table_record(table) for h, table in self.ic.yearly.items()},
            "ic_monthly": {str(h): _table_record(table) for h, table in self.ic.monthly.items()},
            "group_stats": _table_record(self.group_stats),
            "mean_rank_autocorrelation": _plain(self.rank_autocorrelation.mean()),
            "image_paths": dict(self.image_paths),
        }
        return record

    def format_text(self) -> str:
        """终端上的文字报告: IC 汇总与分组表现。"""
        with pd.option_context(
            "display.width", 120, "display.max_columns", 20, "display.float_format", "{:.4f}".format
        ):
            lines = [
                f"因子报告  {self.factor_name}",
                "",
                "IC 汇总 (各持有期)",
                self.ic.summary.to_string(),
                "",
                "分组表现 (比例)",
                self.group_stats.to_string(),
                "",
                f"因子秩自相关均值 {self.rank_autocorrelation.mean():.4f}",
            ]
        return "\n".join(lines)

    def write_json(self, path) -> Path:
        """把 ``to_record()`` 写成 UTF-8 JSON 文件并返回其路径。"""
        path = Path(path)
        path.write_text(json.dumps(self.to_record(), ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
        return path

    def _repr_html_(self) -> str:
        image = self.image_paths.get("groups")
        if image is None or not Path(image).is_file():
            with tempfile.TemporaryDirectory(prefix="tolvane-factor-") as folder:
                image = plot_factor_groups(
                    self.group_returns,
                    self.ic.factor_ic(self.horizons[0]),
                    Path(folder) / GROUPS_IMAGE_FILE,
                    factor_name=self.factor_name,
                )
                encoded = _png_data(image)
        else:
            encoded = _png_data(image)
        first = self.horizons[0]
        parts = [
            f"<h3>{html.escape(self.factor_name)} 因子报告</h3>",
            "<h4>IC 汇总 (各持有期)</h4>",
            _html_table(self.ic.summary),
            "<h4>分组表现</h4>",
            _html_table(self.group_stats, percent=("annual_return", "max_drawdown", "mean_turnover")),
            f"<h4>月度 IC 均值 ({first} 日)</h4>",
            _html_table(self.ic.monthly[first]),
            f'<img src="data:image/png;base64,{encoded}" style="max-width:100%">',
        ]
        return "\n".join(parts)


def _plain(value):
    if value is None:
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return value
    if not math.isfinite(number):
        return None
    return int(number) if isinstance(value, (int, np.integer)) else number


def _table_record(table: pd.DataFrame) -> dict:
    return {
        str(row): {str(column): _plain(value) for column, value in values.items()}
        for row, values in table.to_dict("index").items()
    }


def _html_table(table: pd.DataFrame, percent=()) -> str:
    shown = table.copy()
    for column in shown.columns:
        if column in percent:
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{v:.2%}")
        elif column == "days":
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{int(v)}")
        else:
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{v:.4f}")
    return shown.to_html(border=0)


def _png_data(path) -> str:
    return base64.b64encode(Path(path).read_bytes()).decode("ascii")


# ------------------------------------------------------------------- inputs


def _store_data(store, start_date, end_date) -> dict:
    from ._prepare import BinaryPreparedDataStore

    if isinstance(store, dict):
        return store
    if not isinstance(store, BinaryPreparedDataStore):
        store = BinaryPreparedDataStore(Path(store).expanduser())
    keys = list(dict.fromkeys([*_core.STORE_MARKET_KEYS.values(), *FORWARD_RETURN_KEYS]))
    data = store.load(start_date, end_date, keys=keys)
    if not data:
        raise FileNotFoundError(f"{store.store_dir} 中没有回测准备数据存储")
    return data


def _on_store_axes(factor: pd.DataFrame, dates: pd.Index, stocks: pd.Index) -> pd.DataFrame:
    """The factor on the store's stocks and on its dates from the factor's first to its last."""
    from ._factor_data import _compact_dates

    factor = factor.set_axis(_compact_dates(factor.index), axis=0)
    if not factor.index.is_unique:
        raise ValueError("因子的日期有重复")
    factor = factor.set_axis(pd.Index(factor.columns).astype(str).str[:6], axis=1)
    if not factor.columns.is_unique:
        raise ValueError("因子的股票代码 (取前六位后) 有重复")
    known = factor.dropna(how="all").index
    if not len(known):
        raise ValueError("因子没有任何值")
    span = dates[(dates >= known.min()) & (dates <= known.max())]
    if len(span) < 2:
        raise ValueError(f"因子的日期 {known.min()}..{known.max()} 与存储的交易日重叠不足两天")
    return factor.reindex(index=span, columns=stocks).astype(np.float64)


def analyse_factor(
    factor: pd.DataFrame,
    data: dict,
    *,
    groups: int = 10,
    horizons=DEFAULT_HORIZONS,
    factor_name: str = "factor",
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
    forward_returns=None,
) -> FactorReport:
    """The report's numbers for a factor and a store's matrices, without images;
    `forward_returns` (the store's, by horizon) when already computed."""
    close = data["close_price"]
    factor = _on_store_axes(factor, close.index, close.columns)
    group_returns, turnover = _core.calc_all_group_vwap_daily_return_with_turnover(
        factor,
        **_core.backtest_inputs(data),
        group_num=groups,
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
        lot_size=lot_size,
    )
    # The periods that start on the factor's last days end after it, on the store's later opens.
    forward = calc_forward_returns(data, horizons) if forward_returns is None else forward_returns
    ic = calc_factor_ic_by_horizon(factor, {h: matrix.loc[factor.index] for h, matrix in forward.items()})
    return FactorReport(
        factor_name=factor_name,
        ic=ic,
        group_returns=group_returns,
        group_stats=group_statistics(group_returns, turnover),
        group_turnover=turnover,
        rank_autocorrelation=factor_rank_autocorrelation(factor),
    )


def factor_report(
    factor,
    store,
    groups: int = 10,
    horizons=DEFAULT_HORIZONS,
    *,
    output_dir=None,
    factor_name: str | None = None,
    start_date=None,
    end_date=None,
    service=None,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> FactorReport:
    """一个因子在一个准备数据存储上的完整报告: 多持有期 IC、真实交易的分组回测与统计。

    因子放到存储的股票上, 日期取存储在因子首日与末日之间的交易日。各持有期的远期收益
    来自存储的开盘价, 按存储的拆分与分红因子复权 (见 ``calc_forward_returns``), 因此
    最后几天的远期收益会用到因子末日之后存储中的开盘价。分组回测与
    ``calc_all_group_vwap_daily_return`` 相同 (T-1 日的分组在 T 日按 VWAP 成交)。

    Args:
        factor: 因子矩阵 (日期 × 股票 DataFrame), 或数据服务中的因子名 (经 ``load_factors`` 读取)。
        store: ``BinaryPreparedDataStore``、存储目录, 或 ``store.load()`` 返回的矩阵字典。
        groups: 分组数, 默认 10。
        horizons: 持有期 (交易日), 默认 (1, 5, 10, 20)。
        output_dir: 给出时写出报告图与 ``factor_report.json`` (目录不存在时创建)。
        factor_name: 图表与记录中的因子名; 默认为因子名参数, 否则 "factor"。
        start_date, end_date: 只用存储中这一段日期 (含两端); None 表示不限。
        service: 因子为名称时所用的数据服务; None 时用 ``tolvane.get_instance()``。
        total_money, fee, rule_fee, lot_size: 分组回测的交易参数, 同
            ``calc_all_group_vwap_daily_return``。

    Returns:
        FactorReport: 全部表格、图片与 JSON 的路径。

    Raises:
        FileNotFoundError: 目录中没有存储。
        ValueError: 因子没有值、与存储的交易日重叠不足两天, 或参数超出取值范围。
    """
    from ._store import normalize_yyyymmdd

    data = _store_data(store, normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date))
    if isinstance(factor, str):
        from ._factor_data import load_factors

        factor_name = factor_name or factor
        factor = load_factors(factor, data["close_price"], service=service)
    report = analyse_factor(
        factor,
        data,
        groups=groups,
        horizons=horizons,
        factor_name=factor_name or "factor",
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
        lot_size=lot_size,
    )
    if output_dir is not None:
        from .chart_fonts import ensure_cjk_font

        output = Path(output_dir).expanduser()
        output.mkdir(parents=True, exist_ok=True)
        ensure_cjk_font()
        report.image_paths = write_report_images(report, output)
        report.json_path = report.write_json(output / REPORT_FILE)
    return report


# ------------------------------------------------------------------- charts


def write_report_images(report: FactorReport, output: Path) -> dict[str, str]:
    """报告图: 分组净值与累计 IC、IC 衰减与月度 IC 热力图、各组换手与因子秩自相关。"""
    first = report.horizons[0]
    paths = {
        "groups": plot_factor_groups(
            report.group_returns,
            report.ic.factor_ic(first),
            output / GROUPS_IMAGE_FILE,
            factor_name=report.factor_name,
        )
    }
    paths["ic"] = _plot_ic_analysis(report, output / IC_IMAGE_FILE)
    paths["turnover"] = _plot_turnover(report, output / TURNOVER_IMAGE_FILE)
    return paths


def _figure(plt, size):
    apply_report_style(plt)
    return plt.figure(figsize=size, constrained_layout=True)


def _save(figure, path) -> str:
    figure.savefig(path, dpi=175, bbox_inches="tight", facecolor=figure.get_facecolor())
    return str(path)


def _draw_decay(ax, ic: HorizonIC) -> None:
    ax.set_title("IC 衰减 IC Decay")
    decay = ic.decay
    labels = [f"{h}日" for h in decay.index]
    positions = np.arange(len(labels))
    means = decay["ic_mean"].to_numpy(dtype=float)
    ax.bar(
        positions,
        np.nan_to_num(means),
        color=[ROLLING_PURPLE if m >= 0 else EXCESS_RED for m in means],
        alpha=0.85,
    )
    for position, mean, ir in zip(positions, means, decay["ic_ir"]):
        if np.isfinite(mean):
            ax.annotate(
                f"{mean:.4f}\nIR {ir:.2f}",
                (position, mean),
                ha="center",
                va="bottom" if mean >= 0 else "top",
                fontsize=9,
                color=BENCHMARK_BLACK,
                xytext=(0, 3 if mean >= 0 else -3),
                textcoords="offset points",
            )
    ax.margins(y=0.22)  # room for the labels above and below the bars
    ax.set_xticks(positions)
    ax.set_xticklabels(labels)
    ax.set_xlabel("持有期 Horizon")
    ax.set_ylabel("IC 均值 Mean IC")
    zero_line(ax)


def _draw_cumulative_ics(ax, ic: HorizonIC) -> None:
    from ._core import _with_datetime_index

    ax.set_title("累计 IC Cumulative IC")
    dated = _with_datetime_index(ic.daily_ic.fillna(0.0).cumsum())
    if dated.empty:
        centred_note(ax, "No IC data")
        return
    for horizon, colour in zip(ic.horizons, group_colours(len(ic.horizons))):
        ax.plot(dated.index, dated[horizon], color=colour, linewidth=1.6, label=f"{horizon}日")
    zero_line(ax)
    ax.legend(loc="upper left", frameon=True, framealpha=0.92)


def _draw_monthly_heat_map(figure, ax, monthly: pd.DataFrame, horizon: int) -> None:
    ax.set_title(f"月度 IC 均值 Monthly IC ({horizon}日)")
    if monthly.empty:
        centred_note(ax, "No IC data")
        return
    values = monthly.to_numpy(dtype=float)
    limit = np.nanmax(np.abs(values)) if np.isfinite(values).any() else 1.0
    image = ax.imshow(np.ma.masked_invalid(values), cmap="RdBu_r", vmin=-limit, vmax=limit, aspect="auto")
    ax.set_xticks(np.arange(12))
    ax.set_xticklabels([f"{month}月" for month in range(1, 13)])
    ax.set_yticks(np.arange(len(monthly.index)))
    ax.set_yticklabels([str(year) for year in monthly.index])
    for row in range(values.shape[0]):
        for column in range(values.shape[1]):
            if np.isfinite(values[row, column]):
                strong = abs(values[row, column]) > 0.6 * limit
                ax.text(
                    column,
                    row,
                    f"{values[row, column]:.3f}",
                    ha="center",
                    va="center",
                    fontsize=8,
                    color="white" if strong else BENCHMARK_BLACK,
                )
    ax.grid(False)
    figure.colorbar(image, ax=ax, shrink=0.85)


def _plot_ic_analysis(report: FactorReport, path: Path) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    first = report.horizons[0]
    years = max(len(report.ic.monthly[first].index), 1)
    with _MATPLOTLIB_PLOT_LOCK:
        figure = _figure(plt, (16.0, 7.5 + 0.45 * years))
        try:
            grid = figure.add_gridspec(
                2, 2, height_ratios=[1.0, 0.35 + 0.12 * years], width_ratios=[1.0, 1.4]
            )
            ax_decay = figure.add_subplot(grid[0, 0])
            ax_cumulative = figure.add_subplot(grid[0, 1])
            ax_heat = figure.add_subplot(grid[1, :])
            figure.suptitle(
                f"{report.factor_name} | IC 分析 IC Analysis",
                fontsize=17,
                fontweight="bold",
                color=BENCHMARK_BLACK,
            )
            _draw_decay(ax_decay, report.ic)
            _draw_cumulative_ics(ax_cumulative, report.ic)
            _draw_monthly_heat_map(figure, ax_heat, report.ic.monthly[first], first)
            for ax in (ax_decay, ax_cumulative):
                style_panel(ax)
            return _save(figure, path)
        finally:
            plt.close(figure)


def _plot_turnover(report: FactorReport, path: Path) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import PercentFormatter

    from ._core import _with_datetime_index

    turnover = report.group_turnover
    columns = list(turnover.columns)
    with _MATPLOTLIB_PLOT_LOCK:
        figure = _figure(plt, (16.0, 6.5))
        try:
            grid = figure.add_gridspec(1, 2, width_ratios=[1.0, 1.4])
            ax_bars = figure.add_subplot(grid[0, 0])
            ax_lines = figure.add_subplot(grid[0, 1])
            figure.suptitle(
                f"{report.factor_name} | 换手 Turnover", fontsize=17, fontweight="bold", color=BENCHMARK_BLACK
            )
            ax_bars.set_title("各组日均换手 Mean Daily Turnover")
            positions = np.arange(len(columns))
            ax_bars.bar(positions, turnover.mean().to_numpy(), color=group_colours(len(columns)), alpha=0.86)
            ax_bars.set_xticks(positions)
            ax_bars.set_xticklabels([column.removeprefix("group_") for column in columns])
            ax_bars.set_xlabel("分组 Group (low → high factor)")
            ax_bars.yaxis.set_major_formatter(PercentFormatter(1.0))
            ax_lines.set_title("因子秩自相关 Factor Rank Autocorrelation")
            if report.rank_autocorrelation.dropna().empty:
                centred_note(ax_lines, "No data")
            else:
                series = _with_datetime_index(report.rank_autocorrelation)
                ax_lines.plot(
                    series.index,
                    series,
                    color=ROLLING_PURPLE,
                    linewidth=1.2,
                    label=f"mean {series.mean():.3f}",
                )
                ax_lines.legend(loc="lower left", frameon=True, framealpha=0.92)
            for ax in (ax_bars, ax_lines):
                style_panel(ax)
            return _save(figure, path)
        finally:
            plt.close(figure)
