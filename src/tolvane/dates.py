"""日期参数的规范化。"""

from __future__ import annotations

import datetime as _dt
import re
import sys
from typing import TYPE_CHECKING, Union

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["DateLike", "compact_date", "normalize_date"]

# pandas is not imported here: a command that only parses its options stays quick.
DateLike = Union[int, str, _dt.date, _dt.datetime, "pd.Timestamp"]
"""用户可传入的日期形式: int YYYYMMDD、"YYYY-MM-DD"/"YYYYMMDD" 文本、date、datetime、Timestamp。"""

_COMPACT = re.compile(r"^(\d{4})(\d{2})(\d{2})$")
_DASHED = re.compile(r"^(\d{4})-(\d{1,2})-(\d{1,2})$")


def _from_match(match: re.Match[str], original: object) -> str:
    year, month, day = match.groups()
    try:
        return _dt.date(int(year), int(month), int(day)).isoformat()
    except ValueError:
        raise ValueError(f"无法识别的日期: {original!r}") from None


def normalize_date(value: DateLike) -> str:
    """把各种日期形式规范成服务端需要的 "YYYY-MM-DD" 文本。

    Args:
        value: int YYYYMMDD(如 20240101)、"YYYY-MM-DD" 或 "YYYYMMDD" 文本、
            ``datetime.date``、``datetime.datetime`` 或 ``pandas.Timestamp``。

    Returns:
        str: "YYYY-MM-DD"。datetime 与 Timestamp 只取日期部分。

    Raises:
        ValueError: 文本或整数不是合法日期, 或 Timestamp 为 NaT。
        TypeError: 不支持的类型(包括 None、bool、float)。
    """
    if isinstance(value, bool):
        raise TypeError(f"不支持的日期类型: {type(value).__name__}")
    pandas = sys.modules.get("pandas")  # NaT can only come from a loaded pandas
    if pandas is not None and value is pandas.NaT:
        raise ValueError("无法识别的日期: NaT")
    if isinstance(value, _dt.datetime):  # pandas.Timestamp too
        return value.date().isoformat()
    if isinstance(value, _dt.date):
        return value.isoformat()
    if isinstance(value, int):
        match = _COMPACT.match(str(value))
        if not match:
            raise ValueError(f"无法识别的日期: {value!r}")
        return _from_match(match, value)
    if isinstance(value, str):
        text = value.strip()
        match = _COMPACT.match(text) or _DASHED.match(text)
        if not match:
            raise ValueError(f"无法识别的日期: {value!r}")
        return _from_match(match, value)
    raise TypeError(f"不支持的日期类型: {type(value).__name__}")


def compact_date(value: DateLike) -> str:
    """同 :func:`normalize_date`, 但给出存储与数据包使用的 "YYYYMMDD" 文本。"""
    return normalize_date(value).replace("-", "")
