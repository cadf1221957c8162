"""回测准备数据的二进制存储(基类与辅助函数)。

一个存储就是一个目录::

    metadata.pkl                 元数据 dict (pickle); 唯一的提交点
    manifest.json                给人看的清单: 版本、日期范围、每个数据集的 dtype 与形状
    dates.<代>.npy               存储的交易日 ("YYYYMMDD", 升序)
    stocks.<代>.npy              存储的股票代码 (升序)
    <数据集>.<代>.bin            每个数据集一个文件: 日期 × 股票的原始值, 按日期优先 (C 顺序)
    benchmarks.<代>.npz          基准指数日收益序列 (日期与数值)

所有矩阵共用存储的日期与股票两条轴; 写入时每个矩阵按这两条轴对齐。``<代>`` 是
一次写入的标记: 新写入的文件从不覆盖当前元数据引用的文件, 元数据 (经临时文件、
flush、fsync、改名) 替换成功的那一刻才算提交, 之后再删除不再引用的旧文件。任何时刻
中断, 元数据引用的都是一套完整的文件。

增量更新与中断后的恢复见 ``_store_update``, 文件格式与原子写入见 ``_store_format``。

读取时数据文件以只读方式内存映射, 每个矩阵直接包装成 DataFrame, 不复制;
元数据用受限的 unpickler 读取 (只接受基本容器、文本、数字、布尔、None 与时间戳),
从网络下载的存储无法借 pickle 执行代码。
"""

from __future__ import annotations

import hashlib
import json
import pickle
import re
from pathlib import Path
from typing import Callable, Union

import numpy as np
import pandas as pd

# JOURNAL_FILE and normalize_yyyymmdd are also reached through this module.
from ._store_format import (  # noqa: F401
    DATE_AXIS_NAME,
    JOURNAL_FILE,
    MANIFEST_FILE,
    METADATA_FILE,
    STOCK_AXIS_NAME,
    STORE_FORMAT,
    StoreFormatError,
    normalize_yyyymmdd,
    _GENERATION_FILE,
    _TEMPORARY_FILE,
    _date_slice,
    _new_generation,
    _referenced_files,
    _union_labels,
    _unpickle_plain,
    _with_store_labels,
    _write_atomic,
    _write_values,
)
from ._store_update import TailUpdateMixin

__all__ = [
    "BinaryPreparedDataStoreBase",
    "StoreFormatError",
    "clean_matrix",
    "component_dataset_key",
    "normalize_yyyymmdd",
]

PathLike = Union[str, Path]

# A cell a build's trading permissions do not cover has no price at a limit
# and no suspension mark, so it follows what a build derives for such a cell:
# buyable, not barred from selling. Other boolean datasets read it as False.
_BOOL_FILL = {"can_buy_stock": True, "cant_sell_stock": False}

_COMPONENT_PREFIX = "rq_index_components_new_"
_SAFE_KEY = re.compile(r"[A-Za-z0-9_.\-]+")
_UNSAFE_KEY_CHARACTER = re.compile(r"[^A-Za-z0-9_.\-]")


# ---------------------------------------------------------------------------
# Helpers the data preparation relies on
# ---------------------------------------------------------------------------

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



# ---------------------------------------------------------------------------
# The store
# ---------------------------------------------------------------------------

class BinaryPreparedDataStoreBase(TailUpdateMixin):
    """二进制准备数据存储的基类: 目录布局、写入、读取与增量更新。

    Args:
        store_dir: 存储目录 (``~`` 会展开)。
        matrix_dtype: 数据集键 → 存储类型 ("float64" 或 "bool"); 迭代顺序即数据集顺序。
        version: 数据版本 (写入元数据的 "version"); 读取版本不同的存储会报错。
        default_dtype: 不在 ``matrix_dtype`` 中的数据集使用的存储类型。

    Attributes:
        store_dir: 存储目录 (``Path``)。
        matrix_dtype: 构造时给出的 dict。
        version: 数据版本。
        default_dtype: 默认存储类型。
        metadata_path: 元数据文件 ``store_dir / "metadata.pkl"``。
        manifest_path: 清单文件 ``store_dir / "manifest.json"``。
    """

    def __init__(self, store_dir: PathLike, matrix_dtype: dict, version: int, default_dtype: str) -> None:
        self.store_dir = Path(store_dir).expanduser()
        self.matrix_dtype = matrix_dtype
        self.version = int(version)
        self.default_dtype = str(default_dtype)
        self.metadata_path = self.store_dir / METADATA_FILE
        self.manifest_path = self.store_dir / MANIFEST_FILE

    def __repr__(self) -> str:
        return f"{type(self).__name__}({str(self.store_dir)!r})"

    # ------------------------------------------------------------ metadata
    def exists(self) -> bool:
        """目录中是否已有存储 (元数据文件存在)。"""
        return self.metadata_path.is_file()

    def load_metadata(self) -> dict:
        """读取元数据 dict; 还没有存储时返回空 dict。

        中断的增量更新先按日志恢复。元数据用受限的 unpickler 读取。

        Raises:
            StoreFormatError: 元数据损坏、不是 dict, 或含基本值以外的对象。
        """
        self._recover()
        return self._read_metadata()

    def _read_metadata(self) -> dict:
        try:
            data = self.metadata_path.read_bytes()
        except FileNotFoundError:
            return {}
        metadata = _unpickle_plain(data, self.metadata_path)
        if not isinstance(metadata, dict):
            raise StoreFormatError(f"{self.metadata_path} 的内容不是 dict")
        return metadata

    def _write_file_atomic(self, path: PathLike, data: bytes) -> None:
        """把 ``data`` 原子地写成 ``path`` (同目录临时文件、flush、fsync、改名)。"""
        _write_atomic(Path(path), lambda handle: handle.write(data))

    def _write_manifest(self, store_dir: PathLike, metadata: dict) -> None:
        """由元数据 (原子地) 重写清单 ``manifest.json``。"""
        meta = metadata.get("meta") or {}
        axes = metadata.get("axes") or {}
        manifest = {
            "version": metadata.get("version"),
            "format": metadata.get("format"),
            "generation": metadata.get("generation"),
            "start_date": axes.get("first_date", meta.get("start_date")),
            "end_date": axes.get("last_date", meta.get("end_date")),
            "n_dates": axes.get("n_dates"),
            "n_stocks": axes.get("n_stocks"),
            "updated_at": metadata.get("updated_at"),
            "component_names": list(meta.get("component_names") or []),
            "datasets": {
                key: {"dtype": entry.get("dtype"), "shape": list(entry.get("shape", ())), "file": entry.get("file")}
                for key, entry in (metadata.get("datasets") or {}).items()
            },
            "benchmarks": {
                name: {"file": entry.get("file"), "n_dates": entry.get("n_dates")}
                for name, entry in ((metadata.get("benchmarks") or {}).get("series") or {}).items()
            },
        }
        text = json.dumps(manifest, ensure_ascii=False, indent=2, default=str) + "\n"
        self._write_file_atomic(Path(store_dir) / MANIFEST_FILE, text.encode("utf-8"))

    def _commit(self, metadata: dict) -> None:
        """提交: 原子地替换元数据, 重写清单, 删除不再引用的文件。"""
        self._write_file_atomic(self.metadata_path, pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced(metadata)

    def _remove_unreferenced(self, metadata: dict) -> None:
        referenced = set(_referenced_files(metadata))
        for path in self.store_dir.iterdir():
            name = path.name
            if name in referenced or not path.is_file():
                continue
            if _GENERATION_FILE.fullmatch(name) or _TEMPORARY_FILE.fullmatch(name):
                path.unlink(missing_ok=True)

    # ---------------------------------------------------------------- axes
    def dates(self) -> pd.Index:
        """存储的交易日 ("YYYYMMDD" 文本, 升序); 没有存储时为空。"""
        metadata = self.load_metadata()
        if not metadata.get("axes"):
            return pd.Index([], dtype="str", name=DATE_AXIS_NAME)
        return self._axes(metadata)[0]

    def _axes(self, metadata: dict) -> tuple[pd.Index, pd.Index]:
        axes = metadata.get("axes")
        if not axes:
            raise StoreFormatError(f"{self.store_dir} 还没有日期与股票轴: 请先写入一次完整构建")
        dates = self._read_label_file(axes["dates_file"], axes["n_dates"])
        stocks = self._read_label_file(axes["stocks_file"], axes["n_stocks"])
        return (pd.Index(dates, dtype="str", name=DATE_AXIS_NAME),
                pd.Index(stocks, dtype="str", name=STOCK_AXIS_NAME))

    def _read_label_file(self, name: str, count: int) -> list[str]:
        path = self._data_path(name)
        try:
            labels = np.load(path, allow_pickle=False)
        except FileNotFoundError:
            raise StoreFormatError(f"存储文件缺失: {path}") from None
        except ValueError as err:
            raise StoreFormatError(f"无法读取 {path}: {err}") from err
        if labels.ndim != 1 or len(labels) != count:
            raise StoreFormatError(f"{path} 的长度 {len(labels)} 与元数据记录的 {count} 不符")
        return labels.tolist()

    def _write_axes(self, store_dir: Path, dates: pd.Index, stocks: pd.Index, generation: str,
                    stocks_file: str | None = None) -> dict:
        dates_file = f"dates.{generation}.npy"
        _write_atomic(store_dir / dates_file,
                      lambda handle: np.save(handle, np.asarray(list(dates), dtype=str), allow_pickle=False))
        if stocks_file is None:
            stocks_file = f"stocks.{generation}.npy"
            _write_atomic(store_dir / stocks_file,
                          lambda handle: np.save(handle, np.asarray(list(stocks), dtype=str), allow_pickle=False))
        return {
            "dates_file": dates_file,
            "stocks_file": stocks_file,
            "n_dates": len(dates),
            "n_stocks": len(stocks),
            "first_date": dates[0] if len(dates) else None,
            "last_date": dates[-1] if len(dates) else None,
        }

    def _data_path(self, name: str) -> Path:
        if not name or Path(name).name != name or name.startswith("."):
            raise StoreFormatError(f"元数据中的文件名不合法: {name!r}")
        return self.store_dir / name

    # ------------------------------------------------------------- writing
    def _storage_dtype(self, dataset_key: str, dtype: str | None = None) -> np.dtype:
        dtype = dtype or self.matrix_dtype.get(dataset_key, self.default_dtype)
        if dtype not in ("float64", "bool"):
            raise ValueError(f"不支持的存储类型 {dtype!r} (数据集 {dataset_key}): 只支持 float64 与 bool")
        return np.dtype(dtype)

    def _aligned_values(self, dataset_key: str, matrix: pd.DataFrame, dates: pd.Index,
                        stocks: pd.Index, dtype: np.dtype) -> np.ndarray:
        """矩阵按存储的两条轴对齐后的值 (行 = dates, 列 = stocks)。"""
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(f"数据集 {dataset_key} 必须是 DataFrame, 实际为 {type(matrix).__name__}")
        frame = _with_store_labels(matrix, dataset_key)
        if not (frame.index.equals(dates) and frame.columns.equals(stocks)):
            frame = frame.reindex(index=dates, columns=stocks)
        if dtype == np.bool_:
            values = frame.to_numpy()
            if values.dtype != np.bool_:
                values = np.where(pd.isna(values), _BOOL_FILL.get(dataset_key, False), values)
            return values.astype(bool)
        return frame.to_numpy(dtype=np.float64, na_value=np.nan)

    def _write_dataset(self, store_dir: Path, dataset_key: str, values: np.ndarray, dtype: np.dtype,
                       generation: str) -> dict:
        file_name = f"{dataset_key}.{generation}.bin"
        values = np.asarray(values, dtype=dtype)
        _write_atomic(store_dir / file_name, lambda handle: _write_values(handle, values))
        return {"file": file_name, "dtype": dtype.name, "shape": [int(values.shape[0]), int(values.shape[1])]}

    def _write_matrix(self, store_dir: PathLike, dataset_key: str, matrix: pd.DataFrame, dtype: str) -> dict:
        """把一个日期 × 股票矩阵按存储现有的轴对齐后写成数据文件, 返回该数据集的元数据条目。

        文件名带新的写入标记, 写入后由元数据引用才生效; 超出存储日期或股票的单元格被舍弃,
        存储有而矩阵没有的单元格为缺失值 (bool 数据集见模块说明)。

        Returns:
            dict: {"file", "dtype", "shape"}。
        """
        store_dir = Path(store_dir)
        storage = self._storage_dtype(dataset_key, dtype)
        dates, stocks = self._axes(self._read_metadata())
        values = self._aligned_values(dataset_key, matrix, dates, stocks, storage)
        return self._write_dataset(store_dir, dataset_key, values, storage, _new_generation())

    def write(self, payload: dict, progress: Callable[[str], None] | None = None) -> dict:
        """把一次构建的 payload ({"version", "meta", "data"}) 整体写成存储。

        所有矩阵对齐到共同的日期轴 (各矩阵日期的并集) 与股票轴 (股票代码的并集);
        "data" 中的 "benchmark_dict" 写入基准序列。先写全部新文件, 最后原子地替换
        元数据; 中途失败时原有存储保持可读, 内容不变。

        Args:
            payload: 构建结果。
            progress: 可选, 每写完一个数据集调用一次, 参数为数据集键。

        Returns:
            dict: 写入的元数据。

        Raises:
            ValueError: payload 的结构或版本不对。
        """
        matrices, benchmark_dict, meta = self._unpack_payload(payload)
        self.store_dir.mkdir(parents=True, exist_ok=True)
        self._recover()
        dates = _union_labels((m.index for m in matrices.values()), normalize=True, name=DATE_AXIS_NAME)
        stocks = _union_labels((m.columns for m in matrices.values()), normalize=False, name=STOCK_AXIS_NAME)
        generation = _new_generation()
        axes = self._write_axes(self.store_dir, dates, stocks, generation)
        datasets = {}
        for key, matrix in matrices.items():
            storage = self._storage_dtype(key)
            values = self._aligned_values(key, matrix, dates, stocks, storage)
            datasets[key] = self._write_dataset(self.store_dir, key, values, storage, generation)
            if progress is not None:
                progress(key)
        benchmarks = self._write_benchmarks(benchmark_dict, generation)
        metadata = self._new_metadata(meta, datasets, axes, benchmarks, generation)
        self._commit(metadata)
        return metadata

    def _unpack_payload(self, payload: dict) -> tuple[dict, dict, dict]:
        if not isinstance(payload, dict) or not {"version", "meta", "data"} <= payload.keys():
            raise ValueError('payload 必须是含 "version"、"meta"、"data" 的 dict')
        if payload["version"] != self.version:
            raise ValueError(f"payload 的数据版本 {payload['version']!r} 与存储的 {self.version} 不符")
        data = payload["data"]
        if not isinstance(data, dict):
            raise ValueError('payload["data"] 必须是 dict')
        benchmark_dict = data.get("benchmark_dict") or {}
        matrices = {key: value for key, value in data.items() if key != "benchmark_dict"}
        for key, matrix in matrices.items():
            if not isinstance(matrix, pd.DataFrame):
                raise ValueError(f"数据集 {key} 必须是 DataFrame, 实际为 {type(matrix).__name__}")
        if not matrices:
            raise ValueError("payload 中没有任何矩阵")
        return matrices, dict(benchmark_dict), dict(payload.get("meta") or {})

    def _new_metadata(self, meta: dict, datasets: dict, axes: dict, benchmarks: dict, generation: str) -> dict:
        updated_at = pd.Timestamp.now().isoformat()
        meta = dict(meta)
        meta["updated_at"] = updated_at
        return {
            "version": self.version,
            "format": STORE_FORMAT,
            "generation": generation,
            "updated_at": updated_at,
            "meta": meta,
            "datasets": datasets,
            "axes": axes,
            "benchmarks": benchmarks,
        }

    # ---------------------------------------------------------- benchmarks
    def _write_benchmarks(self, benchmark_dict: dict, generation: str) -> dict:
        file_name = f"benchmarks.{generation}.npz"
        arrays, series_entries = {}, {}
        for position, (name, series) in enumerate(benchmark_dict.items()):
            if not isinstance(series, pd.Series):
                raise ValueError(f"基准 {name} 必须是 Series, 实际为 {type(series).__name__}")
            dates = pd.Index([normalize_yyyymmdd(label) for label in series.index])
            arrays[f"dates_{position}"] = np.asarray(list(dates), dtype=str)
            arrays[f"values_{position}"] = series.to_numpy(dtype=np.float64, na_value=np.nan)
            series_entries[str(name)] = {
                "position": position,
                "n_dates": len(series),
                "series_name": None if series.name is None else str(series.name),
                "index_name": None if series.index.name is None else str(series.index.name),
            }
        _write_atomic(self.store_dir / file_name, lambda handle: np.savez(handle, **arrays))
        return {"file": file_name, "series": series_entries}

    def load_benchmarks(self, start_date=None, end_date=None) -> dict[str, pd.Series]:
        """读取基准日收益序列, 可按日期范围 (含两端) 截取。

        Returns:
            dict: 基准名 → Series (索引为 "YYYYMMDD" 文本); 没有存储时为空 dict。
        """
        metadata = self.load_metadata()
        self._check_version(metadata)
        entry = metadata.get("benchmarks") or {}
        if not entry.get("series"):
            return {}
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
        path = self._data_path(entry["file"])
        try:
            archive = np.load(path, allow_pickle=False)
        except FileNotFoundError:
            raise StoreFormatError(f"存储文件缺失: {path}") from None
        result = {}
        with archive:
            for name, info in entry["series"].items():
                dates = archive[f"dates_{info['position']}"]
                values = archive[f"values_{info['position']}"]
                if len(dates) != info["n_dates"] or len(values) != info["n_dates"]:
                    raise StoreFormatError(f"{path} 中基准 {name} 的长度与元数据不符")
                lo, hi = _date_slice(dates, start, end)
                result[name] = pd.Series(
                    values[lo:hi].copy(),
                    index=pd.Index(dates[lo:hi].tolist(), dtype="str", name=info.get("index_name")),
                    name=info.get("series_name"),
                )
        return result

    # ------------------------------------------------------------- reading
    def _check_version(self, metadata: dict) -> None:
        if metadata and metadata.get("version") != self.version:
            raise StoreFormatError(
                f"{self.store_dir} 的数据版本为 {metadata.get('version')!r}, 当前需要 {self.version}: 请重新构建"
            )

    def load(self, start_date=None, end_date=None, keys: list[str] | None = None,
             mmap: bool = True) -> dict[str, pd.DataFrame] | None:
        """读取数据集, 每个为日期 × 股票的 DataFrame。

        Args:
            start_date: 起始日期 (含); ``None`` 表示从头开始。
            end_date: 结束日期 (含); ``None`` 表示到最后。
            keys: 要读取的数据集键; ``None`` 表示存储中的全部数据集。
            mmap: True 时只读内存映射数据文件, DataFrame 直接使用映射的内存 (不复制,
                只读); False 时读入可写的内存副本。

        Returns:
            dict: 数据集键 → DataFrame, 按 ``keys`` 的顺序; 没有存储时为 ``None``。
            日期范围是存储行的一段连续切片。

        Raises:
            KeyError: 请求了存储中没有的数据集。
            StoreFormatError: 存储文件缺失或长度不符, 或数据版本不同。
        """
        metadata = self.load_metadata()
        if not metadata:
            return None
        self._check_version(metadata)
        datasets = metadata.get("datasets") or {}
        keys = list(datasets) if keys is None else list(keys)
        missing = [key for key in keys if key not in datasets]
        if missing:
            raise KeyError(f"存储中没有数据集 {missing}; 已有: {list(datasets)}")
        if not keys:
            return {}
        dates, stocks = self._axes(metadata)
        lo, hi = _date_slice(np.asarray(dates, dtype=str), normalize_yyyymmdd(start_date),
                             normalize_yyyymmdd(end_date))
        index = dates[lo:hi]
        result = {}
        for key in keys:
            values = self._read_dataset(datasets[key], len(dates), len(stocks), lo, hi, mmap)
            result[key] = pd.DataFrame(values, index=index, columns=stocks, copy=False)
        return result

    def _read_dataset(self, entry: dict, n_dates: int, n_stocks: int, lo: int, hi: int,
                      mmap: bool) -> np.ndarray:
        dtype = np.dtype(entry["dtype"])
        shape = tuple(int(n) for n in entry["shape"])
        path = self._data_path(entry["file"])
        if shape != (n_dates, n_stocks):
            raise StoreFormatError(f"{path} 的形状 {shape} 与存储的轴 ({n_dates}, {n_stocks}) 不符")
        try:
            size = path.stat().st_size
        except FileNotFoundError:
            raise StoreFormatError(f"存储文件缺失: {path}") from None
        if size < n_dates * n_stocks * dtype.itemsize:
            raise StoreFormatError(f"{path} 只有 {size} 字节, 不足形状 {shape} 所需")
        rows = hi - lo
        if rows == 0 or n_stocks == 0:
            return np.empty((rows, n_stocks), dtype=dtype)
        offset = lo * n_stocks * dtype.itemsize
        if mmap:
            return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=(rows, n_stocks))
        with open(path, "rb") as handle:
            handle.seek(offset)
            values = np.fromfile(handle, dtype=dtype, count=rows * n_stocks)
        return values.reshape(rows, n_stocks)

    def _load_every_dataset(self, keys: list[str]) -> dict[str, pd.DataFrame]:
        """按本类的 :meth:`load` 映射读取 ``keys``: 子类改写的 load 可能只读取其中一部分。"""
        return BinaryPreparedDataStoreBase.load(self, keys=keys, mmap=True)
