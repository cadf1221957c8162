"""报告图的外观: 样式、字体列表、配色与面板样式。

策略报告的两张图在原生模块里画, 因子研究的图在 Python 里画; 这里是 Python 一侧的唯一来源,
与原生图表使用相同的样式、字体顺序与配色 (测试核对两者一致)。
"""

from __future__ import annotations

from .chart_fonts import CJK_FONT_FAMILIES

__all__ = [
    "BENCHMARK_BLACK",
    "EXCESS_RED",
    "REFERENCE_LINE_GREY",
    "REPORT_FONTS",
    "ROLLING_PURPLE",
    "STRATEGY_BLUE",
    "apply_report_style",
    "centred_note",
    "group_colours",
    "style_panel",
    "zero_line",
]

#: The page's font list: the Chinese-capable families first, then Latin fallbacks.
REPORT_FONTS = (*CJK_FONT_FAMILIES, "DejaVu Sans", "Liberation Sans", "Ubuntu")

STRATEGY_BLUE = "#2563eb"
BENCHMARK_BLACK = "#111827"
EXCESS_RED = "#ef4444"
REFERENCE_LINE_GREY = "#94a3b8"
ROLLING_PURPLE = "#7c3aed"
_MIDDLE_GREY = "#a3a3a3"


def apply_report_style(plt) -> None:
    """The process-wide style of the report pages (callers hold the plot lock)."""
    try:
        plt.style.use("seaborn-v0_8-whitegrid")
    except Exception:  # a matplotlib without this style draws in its defaults
        pass
    plt.rcParams["font.sans-serif"] = list(REPORT_FONTS)
    plt.rcParams["axes.unicode_minus"] = False
    plt.rcParams["axes.titleweight"] = "bold"
    plt.rcParams["figure.facecolor"] = "white"
    plt.rcParams["axes.facecolor"] = "#fbfbfd"


def style_panel(ax) -> None:
    ax.grid(True, color="#e5e7eb", linewidth=0.75, alpha=0.84)
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)


def group_colours(count: int) -> list:
    """From the strategy blue (lowest factor values) to the excess red (highest)."""
    from matplotlib.colors import LinearSegmentedColormap

    ramp = LinearSegmentedColormap.from_list("groups", [STRATEGY_BLUE, _MIDDLE_GREY, EXCESS_RED])
    return [ramp(k / max(count - 1, 1)) for k in range(count)]


def zero_line(ax) -> None:
    ax.axhline(0.0, color=REFERENCE_LINE_GREY, linewidth=0.8)


def centred_note(ax, text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes)
