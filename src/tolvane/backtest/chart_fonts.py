"""报告图的中文字体。

报告图按固定顺序尝试一组字体, 其中能显示中文的是 :data:`CJK_FONT_FAMILIES`。
matplotlib 把机器上的字体列表缓存在它的配置目录里, 缓存写成之后才安装的字体它看不见,
中文于是画成方框, 每个字形一条警告。:func:`ensure_cjk_font` 在画图之前检查一次:
字体管理器里没有这些字体时, 向 fontconfig (``fc-list``) 与常见的安装位置找字体文件,
加入字体管理器; 仍然没有时只说一行, 不再逐个字形警告。
"""

from __future__ import annotations

import contextlib
import functools
import logging
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

__all__ = ["CJK_FONT_FAMILIES", "ensure_cjk_font", "quiet_weight_fallback"]

#: The Chinese-capable families of the charts' font list, in the charts' order.
CJK_FONT_FAMILIES = (
    "Noto Sans CJK SC",
    "Source Han Sans SC",
    "WenQuanYi Micro Hei",
    "SimHei",
    "Arial Unicode MS",
)

# Where common systems keep these fonts, for machines without fontconfig.
_KNOWN_FONT_FILES = (
    "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
    "/usr/share/fonts/noto-cjk/NotoSansCJK-Regular.ttc",
    "/usr/share/fonts/google-noto-cjk/NotoSansCJK-Regular.ttc",
    "/Library/Fonts/Arial Unicode.ttf",
    "/System/Library/Fonts/Supplemental/Arial Unicode.ttf",
    "C:/Windows/Fonts/simhei.ttf",
)

_NO_CJK_FONT = (
    "tolvane: 未找到能显示中文的字体 ({}), 报告图中的中文将显示为方框; "
    "Debian/Ubuntu 上可安装 fonts-wqy-microhei"
)


class _WeightFallbackFilter(logging.Filter):
    """Drops matplotlib's note that a font lacks a bold face: WenQuanYi Micro
    Hei has none, and the regular face it falls back to draws every title."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("findfont: Failed to find font weight")


@contextlib.contextmanager
def quiet_weight_fallback():
    """Inside: matplotlib says nothing when a text asks for a weight its font
    lacks. The report pages ask for bold titles, cards and table headers;
    with a font without a bold face (WenQuanYi Micro Hei) matplotlib draws
    them in the regular face, as it would anyway, and otherwise writes one
    warning per font size to standard error. Other warnings stay."""
    logger = logging.getLogger("matplotlib.font_manager")
    quiet = _WeightFallbackFilter()
    logger.addFilter(quiet)
    try:
        yield
    finally:
        logger.removeFilter(quiet)


def _known_families(font_manager) -> set[str]:
    return {font.name for font in font_manager.fontManager.ttflist}


def _first_listed(families: set[str]) -> str | None:
    return next((family for family in CJK_FONT_FAMILIES if family in families), None)


def _fontconfig_files() -> list[str]:
    """Files of the listed families that fontconfig knows, in the list's order."""
    if shutil.which("fc-list") is None:
        return []
    try:
        listing = subprocess.run(
            ["fc-list", "--format", "%{family}\t%{file}\n"],
            capture_output=True,
            text=True,
            timeout=30,
            check=True,
        ).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    files: dict[str, list[str]] = {}
    for line in listing.splitlines():
        families, _, path = line.partition("\t")
        for family in families.split(","):
            files.setdefault(family.strip(), []).append(path)
    return [path for family in CJK_FONT_FAMILIES for path in files.get(family, [])]


@functools.cache
def ensure_cjk_font() -> str | None:
    """确保 matplotlib 能用报告图字体列表中的一个中文字体, 并返回它的名称。

    字体管理器 (及其缓存) 里已有列表中的字体时什么也不做; 否则把 fontconfig 或常见
    安装位置中这些字体的文件加入字体管理器 (只在本进程中, 不改动缓存文件)。找不到
    任何一个时, 在标准错误上说一行, 并关闭 matplotlib 逐个字形的缺字警告。
    在一个进程中只查找一次, 之后直接返回第一次的结果。

    Returns:
        str | None: matplotlib 用来画中文的字体名; 没有时为 None。
    """
    from matplotlib import font_manager

    logging.getLogger("matplotlib.font_manager").addFilter(_WeightFallbackFilter())
    family = _first_listed(_known_families(font_manager))
    if family is None:
        candidates = _fontconfig_files() + [path for path in _KNOWN_FONT_FILES if Path(path).is_file()]
        for path in dict.fromkeys(candidates):
            try:
                font_manager.fontManager.addfont(path)
            except (OSError, RuntimeError, ValueError):
                continue  # unreadable font file: try the next one
        family = _first_listed(_known_families(font_manager))
    if family is None:
        print(_NO_CJK_FONT.format(", ".join(CJK_FONT_FAMILIES)), file=sys.stderr)
        warnings.filterwarnings("ignore", message=r"Glyph \d+ .* missing from font")
    return family
