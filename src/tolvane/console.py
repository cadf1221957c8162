"""终端上的文字: 中文对齐、字节数与配额的写法, 以及命令的错误出口。

``tolvane`` 命令、演示与文字报告共用这里的写法。:func:`run_command` 是命令的唯一错误
出口: 用户能处理的错误 (服务的错误、文件、输入的值) 写成一行并以状态 1 退出; 其他
错误是本包的缺陷, 连同 traceback 一起显示。
"""

from __future__ import annotations

import os
import sys
import traceback
import unicodedata
import warnings
from collections.abc import Callable

__all__ = ["DEBUG_ENV", "describe_quota", "display_width", "format_bytes", "padded", "run_command"]

#: Set to 1 (or give ``--debug``) to see the traceback of every error.
DEBUG_ENV = "TOLVANE_DEBUG"


def display_width(text: str) -> int:
    """文字在终端上占的列数: 全角 (中文) 字符占两列。"""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def padded(text: str, width: int, align: str = "<") -> str:
    """用空格把文字补到 ``width`` 列 (按 :func:`display_width` 计), ``align`` 为 "<" 或 ">"。"""
    space = " " * max(width - display_width(text), 0)
    return text + space if align == "<" else space + text


def format_bytes(count: float) -> str:
    """字节数的可读形式: "0 B"、"5.9 MiB"、"50.0 GiB"。"""
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(count) < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def describe_quota(quota: dict) -> str:
    """配额应答的一行摘要: 今日额度、已用、可用与许可类型。"""
    return (
        f"今日额度 {format_bytes(quota.get('daily_quota_bytes', 0))}, "
        f"已用 {format_bytes(quota.get('daily_used_bytes', 0))}, "
        f"可用 {format_bytes(quota.get('available_bytes', 0))} ({quota.get('license_type', '?')})"
    )


def _error_text(error: BaseException) -> str:
    # A KeyError's str() is the repr of its message.
    if isinstance(error, KeyError) and error.args:
        return str(error.args[0])
    return str(error) or type(error).__name__


def _is_user_error(error: BaseException) -> bool:
    """Errors a user can act on: the package's own, files and the system, values
    that were refused. Anything else (RuntimeError, TypeError, ...) is a fault of
    ours, or of a library under us, and shows its traceback."""
    from .exceptions import TolvaneError

    return isinstance(error, (TolvaneError, OSError, ValueError, KeyError))


def run_command(name: str, run: Callable[[], int], debug: bool = False) -> int:
    """运行一个命令, 返回退出状态: 命令的状态; 出错时 1, 中断时 130。

    警告写成一行 "<name>: 注意: ..."。用户能处理的错误写成一行 "<name>: 错误: ..." (其后是
    异常附带的说明); 其他错误还显示 traceback。``debug`` 为真或环境变量 ``TOLVANE_DEBUG``
    为 1 时, 任何错误都显示 traceback。
    """
    debug = debug or os.environ.get(DEBUG_ENV, "") not in ("", "0")

    def show_warning(message, category, filename, lineno, file=None, line=None) -> None:
        print(f"{name}: 注意: {message}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            return run()
    except KeyboardInterrupt:
        print("已中断", file=sys.stderr)
        return 130
    except Exception as error:
        internal = not _is_user_error(error)
        if internal or debug:
            traceback.print_exception(error, file=sys.stderr)
        print(f"{name}: {'内部错误' if internal else '错误'}: {_error_text(error)}", file=sys.stderr)
        if not (internal or debug):  # a traceback shows the notes already
            for note in getattr(error, "__notes__", ()):
                print(f"  {note}", file=sys.stderr)
        if internal:
            print(
                f"  这是 tolvane 的缺陷, 请连同上面的 traceback 一起报告 (设 {DEBUG_ENV}=1 可看到每个错误的"
                " traceback)",
                file=sys.stderr,
            )
        return 1
