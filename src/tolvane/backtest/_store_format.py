"""二进制准备数据存储的磁盘格式与安全的文件操作。

这里是存储目录的文件名常量与模式、读取失败时的 :class:`StoreFormatError`、
受限的元数据 unpickler (只接受基本容器、文本、数字、布尔、None 与时间戳, 从网络下载的
存储无法借 pickle 执行代码)、原子写入 (同目录临时文件、flush、fsync、改名)、分块写入
矩阵的值, 以及日期与股票标签的规范化。存储类与增量更新都从这里取用, 本模块不依赖它们。
"""

from __future__ import annotations

import io
import os
import pickle
import re
import secrets
from pathlib import Path
from typing import Callable, Iterable

import numpy as np
import pandas as pd

from ..dates import normalize_date

METADATA_FILE = "metadata.pkl"
MANIFEST_FILE = "manifest.json"
JOURNAL_FILE = "update.journal"
#: Version of the store's file layout.
STORE_FORMAT = 1

DATE_AXIS_NAME = "DataDate"
STOCK_AXIS_NAME = "ukey"

# Files a store writes: "<name>.<12 hex digits>.<suffix>", and temporaries.
_GENERATION_FILE = re.compile(r".+\.[0-9a-f]{12}\.(bin|npy|npz)")
_TEMPORARY_FILE = re.compile(r"\..+\.[0-9a-f]{12}\.tmp")


class StoreFormatError(ValueError):
    """存储目录的内容无法读取: 元数据损坏或含不允许的对象、文件缺失或长度不符。"""


def normalize_yyyymmdd(value) -> str | None:
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
    return normalize_date(value).replace("-", "")


# ---------------------------------------------------------------------------
# Safe, atomic file operations
# ---------------------------------------------------------------------------

class _MetadataUnpickler(pickle.Unpickler):
    """只还原基本值的 unpickler: dict、list、tuple、set、str、bytes、数字、布尔、
    None、datetime 的日期时间类型与 pandas 的 Timestamp。"""

    _ALLOWED = {
        ("builtins", "set"),
        ("builtins", "frozenset"),
        ("datetime", "date"),
        ("datetime", "datetime"),
        ("datetime", "time"),
        ("datetime", "timedelta"),
        ("datetime", "timezone"),
        ("pandas._libs.tslibs.timestamps", "_unpickle_timestamp"),
    }

    def find_class(self, module: str, name: str):
        if (module, name) in self._ALLOWED:
            return super().find_class(module, name)
        raise StoreFormatError(
            f"元数据包含不允许的对象 {module}.{name}: 只接受基本容器、文本、数字、布尔、None 与时间戳"
        )


def _unpickle_plain(data: bytes, source: Path):
    try:
        return _MetadataUnpickler(io.BytesIO(data)).load()
    except StoreFormatError:
        raise
    except Exception as err:  # truncated or garbled pickles raise many types
        raise StoreFormatError(f"无法读取 {source}: {err}") from err


def _new_generation() -> str:
    return secrets.token_hex(6)


def _fsync_directory(directory: Path) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:  # platforms without directory handles
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _write_atomic(path: Path, write: Callable[[io.BufferedWriter], None]) -> None:
    """``write`` 写入同目录下的临时文件, flush、fsync 后改名为 ``path``。

    失败时删除临时文件, ``path`` 保持原样。
    """
    temporary = path.with_name(f".{path.name}.{_new_generation()}.tmp")
    try:
        with open(temporary, "wb") as handle:
            write(handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    _fsync_directory(path.parent)


_WRITE_PIECE_BYTES = 16 * 2**20


def _write_values(handle, values: np.ndarray) -> None:
    """把二维数组按 C 顺序写入文件, 每次至多约 16 MiB, 不额外占用整块内存。"""
    row_bytes = max(values.shape[1] * values.itemsize, 1)
    rows_per_piece = max(_WRITE_PIECE_BYTES // row_bytes, 1)
    for start in range(0, values.shape[0], rows_per_piece):
        piece = np.ascontiguousarray(values[start:start + rows_per_piece])
        handle.write(memoryview(piece).cast("B"))


# ---------------------------------------------------------------------------
# Module helpers
# ---------------------------------------------------------------------------

def _referenced_files(metadata: dict) -> Iterable[str]:
    for entry in (metadata.get("datasets") or {}).values():
        yield entry.get("file")
    axes = metadata.get("axes") or {}
    yield axes.get("dates_file")
    yield axes.get("stocks_file")
    yield (metadata.get("benchmarks") or {}).get("file")


def _with_store_labels(matrix: pd.DataFrame, dataset_key: str) -> pd.DataFrame:
    """行标签规范成 "YYYYMMDD" 文本、列标签转成文本; 标签重复时报错。"""
    index = _as_date_labels(matrix.index)
    columns = pd.Index([str(label) for label in matrix.columns], dtype="str", name=STOCK_AXIS_NAME)
    if not index.is_unique or not columns.is_unique:
        raise ValueError(f"数据集 {dataset_key} 的日期或股票标签有重复")
    if index.equals(matrix.index) and columns.equals(matrix.columns) and index.dtype == matrix.index.dtype:
        return matrix.rename_axis(index=DATE_AXIS_NAME, columns=STOCK_AXIS_NAME)
    frame = matrix.copy(deep=False)
    frame.index, frame.columns = index, columns
    return frame


def _as_date_labels(labels: pd.Index) -> pd.Index:
    if labels.dtype == "str" or labels.dtype == object:
        texts = [str(label) for label in labels]
        if all(len(text) == 8 and text.isdigit() for text in texts):
            return pd.Index(texts, dtype="str", name=DATE_AXIS_NAME)
    return pd.Index([normalize_yyyymmdd(label) for label in labels], dtype="str", name=DATE_AXIS_NAME)


def _union_labels(label_sets: Iterable[pd.Index], normalize: bool, name: str) -> pd.Index:
    seen: set[str] = set()
    for labels in label_sets:
        if normalize:
            labels = _as_date_labels(labels)
        seen.update(str(label) for label in labels)
    return pd.Index(sorted(seen), dtype="str", name=name)


def _date_slice(dates: np.ndarray, start: str | None, end: str | None) -> tuple[int, int]:
    """升序日期数组中 [start, end] 对应的连续行范围。"""
    lo = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
    hi = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
    return lo, max(lo, hi)

