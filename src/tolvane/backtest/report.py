"""回测结果的文字报告与 JSON 记录。

:func:`format_report` 把 ``run_strategy_backtest_core`` 的结果排成终端上对齐的
统计表与基准汇总 (中文按两列宽计); :func:`result_record` 与
:func:`write_statistics_json` 给出可存档的 JSON (NaN 与无穷写成 null)。
"""

from __future__ import annotations

import base64
import html
import json
import math
from pathlib import Path

from ..console import display_width, padded
from ._strategy_kernel import _format_num, _format_pct, _format_pct_points

__all__ = ["STATISTICS_FILE", "format_report", "result_html", "result_record", "write_statistics_json"]

#: File name of the statistics next to the report images.
STATISTICS_FILE = "statistics.json"

# The statistics in the order a report reads them: key, label, unit.
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

_SUMMARY_COLUMNS = (
    ("基准年化", "benchmark_annual_return", _format_pct),
    ("超额年化", "excess_annual_return", _format_pct),
    ("超额夏普", "excess_sharpe", _format_num),
    ("超额回撤", "excess_max_dd", _format_pct),
)


def _format_stat(value, unit: str) -> str:
    if unit == "pct_points":
        return _format_pct_points(value)
    if unit == "count":
        return _format_num(value, 0)
    return _format_num(value)


def format_report(result, benchmark: str) -> str:
    """统计表 (十三项) 与每个基准一行的汇总, 排成终端上对齐的文字。

    Args:
        result: ``run_strategy_backtest_core`` 的结果。
        benchmark: 统计所用的主基准代码 (如 "000852")。
    """
    width = max(display_width(label) for _, label, _ in STAT_ROWS) + 2
    lines = [f"策略统计  {result.strategy_name}  (基准 {benchmark})", "-" * (width + 12)]
    for key, label, unit in STAT_ROWS:
        lines.append(padded(label, width) + padded(_format_stat(result.stats.get(key), unit), 12, ">"))
    summary = result.benchmark_summary
    if len(summary):
        lines += [
            "",
            "基准汇总",
            padded("基准", 10) + "".join(padded(title, 12, ">") for title, _, _ in _SUMMARY_COLUMNS),
        ]
        for row in summary.to_dict("records"):
            cells = (formatter(row[column]) for _, column, formatter in _SUMMARY_COLUMNS)
            lines.append(
                padded(str(row["benchmark_name"]), 10) + "".join(padded(cell, 12, ">") for cell in cells)
            )
    return "\n".join(lines)


def _plain_number(value):
    if value is None:
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def result_record(result, **extra) -> dict:
    """回测结果的 JSON 记录: 统计 (与统计表同单位: 百分点或比值)、基准汇总 (比值)、
    区间与图片路径; NaN 与无穷为 None。``extra`` 中的键原样加入记录。"""
    daily = result.daily_return
    return {
        "strategy_name": result.strategy_name,
        **extra,
        "start_date": str(daily.index[0]) if len(daily) else None,
        "end_date": str(daily.index[-1]) if len(daily) else None,
        "trading_days": int(len(daily)),
        "final_net_value": _plain_number(result.cumulative_return.iloc[-1]) if len(daily) else None,
        "stats": {key: _plain_number(value) for key, value in result.stats.items()},
        "benchmark_summary": [
            {key: value if key == "benchmark_name" else _plain_number(value) for key, value in row.items()}
            for row in result.benchmark_summary.to_dict("records")
        ],
        "plot_paths": dict(result.plot_paths),
    }


def write_statistics_json(result, path, **extra) -> Path:
    """把 :func:`result_record` 写成 UTF-8 JSON 文件并返回其路径。"""
    path = Path(path)
    path.write_text(
        json.dumps(result_record(result, **extra), ensure_ascii=False, indent=2) + "\n", encoding="utf-8"
    )
    return path


def result_html(result) -> str:
    """回测结果在 notebook 中的显示: 统计表、基准汇总与已保存的主报告图。"""
    rows = "".join(
        f"<tr><th style='text-align:left'>{html.escape(label)}</th>"
        f"<td style='text-align:right'>{html.escape(_format_stat(result.stats.get(key), unit))}</td></tr>"
        for key, label, unit in STAT_ROWS
    )
    parts = [f"<h3>{html.escape(str(result.strategy_name))}</h3>", f"<table>{rows}</table>"]
    summary = result.benchmark_summary
    if len(summary):
        shown = summary.copy()
        for _title, column, formatter in _SUMMARY_COLUMNS:
            if column in shown:
                shown[column] = shown[column].map(formatter)
        parts += ["<h4>基准汇总</h4>", shown.to_html(index=False, border=0)]
    image = Path(result.plot_paths.get("main", "")) if result.plot_paths else None
    if image is not None and image.is_file() and image.suffix.lower() == ".png":
        encoded = base64.b64encode(image.read_bytes()).decode("ascii")
        parts.append(f'<img src="data:image/png;base64,{encoded}" style="max-width:100%">')
    return "\n".join(parts)
