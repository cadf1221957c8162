"""存储的两条轴: 日期与股票标签的规范化, 以及数据准备用到的矩阵整理与数据集键。"""

from __future__ import annotations

import hashlib
import re
from collections.abc import Iterable
from typing import overload

import numpy as np
import pandas as pd

from ...dates import DateLike, compact_date
from .format import DATE_AXIS_NAME, STOCK_AXIS_NAME

_COMPONENT_PREFIX = "rq_index_components_new_"
_SAFE_KEY = re.compile(r"[A-Za-z0-9_.\-]+")
_UNSAFE_KEY_CHARACTER = re.compile(r"[^A-Za-z0-9_.\-]")


@overload
def normalize_yyyymmdd(value: None) -> None: ...
@overload
def normalize_yyyymmdd(value: DateLike | np.datetime64) -> str: ...


def normalize_yyyymmdd(value: DateLike | np.datetime64 | None) -> str | None:
    """把日期规范成八位 "YYYYMMDD" 文本; ``None`` 原样返回 ``None``。

    接受 int YYYYMMDD、"YYYY-MM-DD" 或 "YYYYMMDD" 文本、date、datetime、
    ``pandas.Timestamp`` 与 ``numpy.datetime64``。

    Raises:
        ValueError: 无法识别的日期 (包括 NaT)。
        TypeError: 不支持的类型。
    """
    if value is None:
        return None
    if isinstance(value, np.datetime64):
        value = pd.Timestamp(value)
    return compact_date(value)


def component_dataset_key(name: str) -> str:
    """成分股因子名对应的数据集键 (也是数据文件名的一部分)。

    "rq_index_components_new_000300.XSHG" 的键为 "component_000300.XSHG", 其他名字为
    "component_" 加名字本身 (因此带与不带这个前缀的同一代码得到同一个键)。名字含
    文件名不宜出现的字符 (字母、数字、``_``、``.``、``-`` 以外) 时, 这些字符替换为
    ``_`` 并附上原名的短摘要, 以免不同的名字得到同一个键。同一个名字总是得到同一个键。

    Raises:
        ValueError: 名字为空。
    """
    text = str(name).strip()
    if not text:
        raise ValueError("成分股因子名不能为空")
    stem = text.removeprefix(_COMPONENT_PREFIX) or text
    if _SAFE_KEY.fullmatch(stem):
        return "component_" + stem
    digest = hashlib.sha256(text.encode("utf-8")).hexdigest()[:8]
    return f"component_{_UNSAFE_KEY_CHARACTER.sub('_', stem)}_{digest}"


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """把透视得到的日期 × 股票矩阵整理成存储使用的形式。

    数值转为 float64, 正负无穷视为缺失 (NaN); 行按日期、列按股票代码升序排列,
    轴名为 "DataDate" 与 "ukey"。不删除任何行或列。
    """
    values = matrix.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    values[np.isinf(values)] = np.nan
    cleaned = pd.DataFrame(
        values,
        index=pd.Index(matrix.index, name=DATE_AXIS_NAME),
        columns=pd.Index(matrix.columns, name=STOCK_AXIS_NAME),
        copy=False,
    )
    if not (cleaned.index.is_monotonic_increasing and cleaned.columns.is_monotonic_increasing):
        cleaned = cleaned.sort_index(axis=0).sort_index(axis=1)
    return cleaned


def with_store_labels(matrix: pd.DataFrame, dataset_key: str) -> pd.DataFrame:
    """行标签规范成 "YYYYMMDD" 文本、列标签转成文本; 标签重复时报错。"""
    index = as_date_labels(matrix.index)
    columns = matrix.columns
    if columns.dtype != "str":
        columns = pd.Index(columns.astype(str), dtype="str")
    columns = columns.rename(STOCK_AXIS_NAME)
    if not index.is_unique or not columns.is_unique:
        raise ValueError(f"数据集 {dataset_key} 的日期或股票标签有重复")
    if index.equals(matrix.index) and columns.equals(matrix.columns) and index.dtype == matrix.index.dtype:
        return matrix.rename_axis(index=DATE_AXIS_NAME, columns=STOCK_AXIS_NAME)
    frame = matrix.copy(deep=False)
    frame.index, frame.columns = index, columns
    return frame


def as_date_labels(labels: pd.Index) -> pd.Index:
    """日期标签规范成 "YYYYMMDD" 文本; 已是这种文本时整体检查, 不逐个转换。"""
    if labels.dtype == "str" or labels.dtype == object:
        texts = np.asarray(labels, dtype=str)
        if not len(texts) or (np.all(np.char.str_len(texts) == 8) and np.all(np.char.isdigit(texts))):
            return pd.Index(texts, dtype="str", name=DATE_AXIS_NAME)
    return pd.Index([normalize_yyyymmdd(label) for label in labels], dtype="str", name=DATE_AXIS_NAME)


def union_labels(label_sets: Iterable[pd.Index], normalize: bool, name: str) -> pd.Index:
    """标签集合的并集, 升序; 相同的集合 (各矩阵通常共用一套轴) 只处理一次。"""
    distinct: list[pd.Index] = []
    seen: list[pd.Index] = []
    for labels in label_sets:
        if any(labels is known for known in seen):
            continue
        seen.append(labels)
        labels = as_date_labels(labels) if normalize else pd.Index(labels.astype(str), dtype="str")
        if not any(labels.equals(known) for known in distinct):
            distinct.append(labels)
    if not distinct:
        return pd.Index([], dtype="str", name=name)
    values = np.unique(np.concatenate([np.asarray(labels, dtype=str) for labels in distinct]))
    return pd.Index(values.tolist(), dtype="str", name=name)


def date_slice(dates: np.ndarray, start: str | None, end: str | None) -> tuple[int, int]:
    """升序日期数组中 [start, end] 对应的连续行范围。"""
    lo = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
    hi = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
    return lo, max(lo, hi)
