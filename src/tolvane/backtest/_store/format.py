"""存储目录的格式: 文件名、元数据的读取与逐项校验。

元数据 (``metadata.pkl``) 用受限的 unpickler 读取 (只接受基本容器、文本、数字、布尔、
None 与时间戳, 从网络下载的存储无法借 pickle 执行代码), 再由 :func:`parse_layout`
逐项检查它所描述的文件: 文件名只能是存储目录中的普通文件名, 数据类型只能来自存储的
类型表 (float64、bool), 形状必须等于两条轴的长度。任何一项不符都是
:class:`StoreFormatError`, 信息中指明文件与字段; 通过检查之后才会映射数据文件。
"""

from __future__ import annotations

import io
import json
import mmap
import pickle
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Literal, overload

import numpy as np
import pandas as pd

from ...exceptions import StoreFormatError

METADATA_FILE = "metadata.pkl"
MANIFEST_FILE = "manifest.json"
#: The writers' advisory lock; never deleted (see ``lock``).
LOCK_FILE = ".writer.lock"
#: Undo journal of the in-place tail updates of earlier versions.
JOURNAL_FILE = "update.journal"
#: Version of the store's file layout.
STORE_FORMAT = 1
#: The storage types a dataset may have.
STORAGE_DTYPES = ("float64", "bool")

DATE_AXIS_NAME = "DataDate"
STOCK_AXIS_NAME = "ukey"

# Files a store writes: "<name>.<12 hex digits>.<suffix>", and temporaries.
GENERATION_FILE = re.compile(r"(?P<stem>.+)\.(?P<generation>[0-9a-f]{12})\.(?P<suffix>bin|npy|npz)")
TEMPORARY_FILE = re.compile(r"\..+\.[0-9a-f]{12}\.tmp")

CHECKSUM_ALGORITHM = "sha256"


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


def unpickle_plain(data: bytes, source: Path):
    """用受限的 unpickler 还原 ``data``; 任何失败都是指明 ``source`` 的 StoreFormatError。"""
    try:
        return _MetadataUnpickler(io.BytesIO(data)).load()
    except StoreFormatError:
        raise
    except Exception as err:  # truncated or garbled pickles raise many types
        raise StoreFormatError(f"无法读取 {source}: {err}") from err


def read_metadata(path: Path) -> dict:
    """读取元数据 dict; 文件不存在时为空 dict。"""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return {}
    metadata = unpickle_plain(data, path)
    if not isinstance(metadata, dict):
        raise StoreFormatError(f"{path} 的内容不是 dict")
    return metadata


# ---------------------------------------------------------------------------
# The files a metadata dict names, checked
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Checksum:
    """一个文件按固定大小分块的 SHA-256 摘要。"""

    size: int
    block_bytes: int
    blocks: tuple[str, ...]

    def as_entry(self) -> dict:
        return {
            "algorithm": CHECKSUM_ALGORITHM,
            "bytes": self.size,
            "block_bytes": self.block_bytes,
            "blocks": list(self.blocks),
        }


@dataclass(frozen=True)
class DataPiece:
    """数据集的一段: 文件 ``file`` 的开头是数据集从字节 ``start`` 起的内容, 用到下一段的
    起点 (最后一段用到数据集末尾); 文件可以比用到的部分长 (后面的部分已被新的一段取代)。"""

    file: str
    start: int
    checksum: Checksum | None


@dataclass(frozen=True)
class DatasetFile:
    """元数据中一个数据集的条目, 已校验。数据按行 (C 顺序) 存放在一段或几段文件中:
    完整写入时是一个文件, 增量更新只写出末尾的一段, 前面的段与上一代共用。"""

    pieces: tuple[DataPiece, ...]
    dtype: np.dtype
    shape: tuple[int, int]

    @property
    def nbytes(self) -> int:
        return self.shape[0] * self.shape[1] * self.dtype.itemsize

    def piece_spans(self) -> list[tuple[DataPiece, int, int]]:
        """每一段与它在数据集中覆盖的字节范围 [起点, 终点)。"""
        ends = [piece.start for piece in self.pieces[1:]] + [self.nbytes]
        return [(piece, piece.start, end) for piece, end in zip(self.pieces, ends)]


@dataclass(frozen=True)
class BenchmarkSeries:
    position: int
    n_dates: int
    series_name: str | None
    index_name: str | None


@dataclass(frozen=True)
class Layout:
    """一份元数据描述的全部文件, 已校验。没有写入过完整构建的存储没有轴 (``has_axes`` 为假)。"""

    generation: str | None
    dates_file: str | None
    stocks_file: str | None
    n_dates: int
    n_stocks: int
    dates_checksum: Checksum | None
    stocks_checksum: Checksum | None
    datasets: dict[str, DatasetFile]
    benchmarks_file: str | None
    benchmarks_checksum: Checksum | None
    benchmark_series: dict[str, BenchmarkSeries]

    @property
    def has_axes(self) -> bool:
        return self.dates_file is not None

    def files(self) -> list[tuple[str, Checksum | None]]:
        """元数据引用的每个文件与它的校验和 (没有记录时为 None)。"""
        named = [(self.dates_file, self.dates_checksum), (self.stocks_file, self.stocks_checksum)]
        named += [(piece.file, piece.checksum) for entry in self.datasets.values() for piece in entry.pieces]
        named.append((self.benchmarks_file, self.benchmarks_checksum))
        return [(name, checksum) for name, checksum in named if name is not None]


class _Fields:
    """从元数据的一个 dict 中按类型取字段; 不符时报出文件与字段的路径。"""

    def __init__(self, mapping, where: str, source: Path) -> None:
        if not isinstance(mapping, dict):
            raise StoreFormatError(f"{source}: {where} 应为 dict, 实际为 {type(mapping).__name__}")
        self.mapping, self.where, self.source = mapping, where, source

    def fail(self, key: str, wanted: str) -> StoreFormatError:
        value = self.mapping.get(key)
        return StoreFormatError(f"{self.source}: {self.where}[{key!r}] 应为{wanted}, 实际为 {value!r:.80}")

    def count(self, key: str) -> int:
        value = self.mapping.get(key)
        if type(value) is not int or value < 0:
            raise self.fail(key, "非负整数")
        return value

    @overload
    def text(self, key: str, optional: Literal[False] = False) -> str: ...
    @overload
    def text(self, key: str, optional: bool) -> str | None: ...

    def text(self, key: str, optional: bool = False) -> str | None:
        value = self.mapping.get(key)
        if value is None and optional:
            return None
        if not isinstance(value, str):
            raise self.fail(key, "文本")
        return value

    def file_name(self, key: str) -> str:
        name = self.mapping.get(key)
        if not isinstance(name, str) or not is_plain_file_name(name):
            raise self.fail(key, "存储目录中的文件名")
        return name

    @overload
    def nested(self, key: str, optional: Literal[False] = False) -> _Fields: ...
    @overload
    def nested(self, key: str, optional: bool) -> _Fields | None: ...

    def nested(self, key: str, optional: bool = False) -> _Fields | None:
        value = self.mapping.get(key)
        if value is None and optional:
            return None
        return _Fields(value, f"{self.where}[{key!r}]", self.source)

    def checksum(self, key: str) -> Checksum | None:
        fields = self.nested(key, optional=True)
        if fields is None:
            return None
        if fields.mapping.get("algorithm") != CHECKSUM_ALGORITHM:
            raise fields.fail("algorithm", f' "{CHECKSUM_ALGORITHM}"')
        size, block_bytes = fields.count("bytes"), fields.count("block_bytes")
        blocks = fields.mapping.get("blocks")
        expected_blocks = -(-size // block_bytes) if block_bytes else -1
        if (
            not isinstance(blocks, list)
            or len(blocks) != expected_blocks
            or not all(isinstance(block, str) and _HEX_DIGEST.fullmatch(block) for block in blocks)
        ):
            raise fields.fail("blocks", f"{max(expected_blocks, 0)} 个十六进制摘要")
        return Checksum(size, block_bytes, tuple(blocks))


_HEX_DIGEST = re.compile(r"[0-9a-f]{64}")


def is_plain_file_name(name: str) -> bool:
    """一个直接位于存储目录中的普通文件名 (不含路径分隔符, 不以点开头)。"""
    return (
        0 < len(name) <= 255
        and not name.startswith(".")
        and "/" not in name
        and "\\" not in name
        and "\0" not in name
    )


def _dataset_pieces(entry: _Fields) -> tuple[DataPiece, ...]:
    """一个数据集条目的段: "pieces" 列表 (增量更新写出的), 或单个 "file" 与 "checksum"。

    段的起点从 0 开始严格递增, 都是页大小的整数倍 (各段才能映射成一段连续的内存), 文件名
    互不相同。
    """
    if "pieces" not in entry.mapping:
        return (DataPiece(entry.file_name("file"), 0, entry.checksum("checksum")),)
    listed = entry.mapping["pieces"]
    wanted = f"起点从 0 起严格递增且为页大小 {mmap.PAGESIZE} 的倍数、文件名不同的段列表"
    if not isinstance(listed, list) or not listed:
        raise entry.fail("pieces", wanted)
    pieces = []
    for position, item in enumerate(listed):
        fields = _Fields(item, f"{entry.where}['pieces'][{position}]", entry.source)
        pieces.append(DataPiece(fields.file_name("file"), fields.count("start"), fields.checksum("checksum")))
    starts = [piece.start for piece in pieces]
    if (
        starts[0] != 0
        or any(start % mmap.PAGESIZE for start in starts)
        or any(later <= earlier for earlier, later in zip(starts, starts[1:]))
        or len({piece.file for piece in pieces}) != len(pieces)
    ):
        raise entry.fail("pieces", wanted)
    return tuple(pieces)


def dataset_entry(pieces: list[dict], dtype: np.dtype, shape: tuple[int, ...]) -> dict:
    """元数据中一个数据集的条目; ``pieces`` 为 [{"file", "start", "checksum"}]。只有一段时
    写成单个 "file" 与 "checksum", 与完整写入的存储相同。"""
    described = {"dtype": dtype.name, "shape": [int(extent) for extent in shape]}
    if len(pieces) > 1:
        return {**described, "pieces": pieces}
    (piece,) = pieces
    return {
        "file": piece["file"],
        **described,
        **{k: v for k, v in piece.items() if k not in ("file", "start")},
    }


def parse_layout(metadata: dict, source: Path, dtype_of) -> Layout:
    """逐项校验元数据所描述的文件, 返回 :class:`Layout`。

    Args:
        metadata: 读出的元数据 dict。
        source: 元数据文件 (用于错误信息)。
        dtype_of: 数据集键 → 存储类型表中的类型 ("float64" 或 "bool")。

    Raises:
        StoreFormatError: 任何一项不符, 信息中指明字段。
    """
    top = _Fields(metadata, "metadata", source)
    dates_file: str | None
    stocks_file: str | None
    axes = top.nested("axes", optional=True)
    if axes is not None and axes.mapping:
        dates_file, stocks_file = axes.file_name("dates_file"), axes.file_name("stocks_file")
        n_dates, n_stocks = axes.count("n_dates"), axes.count("n_stocks")
        dates_checksum, stocks_checksum = axes.checksum("dates_checksum"), axes.checksum("stocks_checksum")
    else:
        dates_file = stocks_file = dates_checksum = stocks_checksum = None
        n_dates = n_stocks = 0

    datasets = {}
    dataset_fields = top.nested("datasets", optional=True)
    if dataset_fields is not None:
        for key in dataset_fields.mapping:
            if not isinstance(key, str):
                raise StoreFormatError(f"{source}: 数据集键应为文本, 实际为 {key!r:.80}")
            if dates_file is None:
                raise StoreFormatError(f"{source}: 有数据集 {key!r} 却没有日期与股票轴")
            entry = dataset_fields.nested(key)
            dtype = entry.text("dtype")
            wanted = dtype_of(key)
            if dtype not in STORAGE_DTYPES or dtype != wanted:
                raise entry.fail("dtype", f' "{wanted}" (存储类型表中该数据集的类型)')
            shape = entry.mapping.get("shape")
            if not isinstance(shape, (list, tuple)) or list(shape) != [n_dates, n_stocks]:
                raise entry.fail("shape", f"轴的长度 [{n_dates}, {n_stocks}]")
            dataset = DatasetFile(_dataset_pieces(entry), np.dtype(dtype), (n_dates, n_stocks))
            if dataset.pieces[-1].start >= max(dataset.nbytes, 1):
                raise entry.fail("pieces", f"起点都在数据集的 {dataset.nbytes} 字节之内的段")
            datasets[key] = dataset

    benchmarks = top.nested("benchmarks", optional=True)
    benchmarks_file = benchmarks_checksum = None
    series = {}
    if benchmarks is not None and benchmarks.mapping:
        benchmarks_file = benchmarks.file_name("file")
        benchmarks_checksum = benchmarks.checksum("checksum")
        series_fields = benchmarks.nested("series")
        for name in series_fields.mapping:
            info = series_fields.nested(name)
            series[str(name)] = BenchmarkSeries(
                info.count("position"),
                info.count("n_dates"),
                info.text("series_name", optional=True),
                info.text("index_name", optional=True),
            )
    generation = metadata.get("generation")
    return Layout(
        generation=generation if isinstance(generation, str) else None,
        dates_file=dates_file,
        stocks_file=stocks_file,
        n_dates=n_dates,
        n_stocks=n_stocks,
        dates_checksum=dates_checksum,
        stocks_checksum=stocks_checksum,
        datasets=datasets,
        benchmarks_file=benchmarks_file,
        benchmarks_checksum=benchmarks_checksum,
        benchmark_series=series,
    )


def manifest_text(metadata: dict, layout: Layout) -> str:
    """给人看的清单 (JSON 文本): 版本、日期范围、数据集、基准与每个文件的校验和。"""
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
            key: dataset_entry(
                [{"file": piece.file, "start": piece.start} for piece in entry.pieces],
                entry.dtype,
                entry.shape,
            )
            for key, entry in layout.datasets.items()
        },
        "benchmarks": {
            name: {"file": layout.benchmarks_file, "n_dates": info.n_dates}
            for name, info in layout.benchmark_series.items()
        },
        "files": {name: checksum.as_entry() for name, checksum in layout.files() if checksum is not None},
    }
    return json.dumps(manifest, ensure_ascii=False, indent=2, default=str) + "\n"


def unpack_payload(payload, version: int) -> tuple[dict, dict, dict]:
    """一次构建的 payload ({"version", "meta", "data"}) 拆成 (矩阵, 基准序列, meta)。

    Raises:
        ValueError: 结构不对、版本不是 ``version`` 或没有矩阵。
    """
    if not isinstance(payload, dict) or not {"version", "meta", "data"} <= payload.keys():
        raise ValueError('payload 必须是含 "version"、"meta"、"data" 的 dict')
    if payload["version"] != version:
        raise ValueError(f"payload 的数据版本 {payload['version']!r} 与存储的 {version} 不符")
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


def check_dates(dates: np.ndarray, source: Path) -> None:
    """存储的日期: 八位数字 "YYYYMMDD", 严格升序。"""
    if len(dates) and not (np.all(np.char.str_len(dates) == 8) and np.all(np.char.isdigit(dates))):
        raise StoreFormatError(f"{source} 中有不是 YYYYMMDD 的日期")
    if len(dates) > 1 and not np.all(dates[1:] > dates[:-1]):
        raise StoreFormatError(f"{source} 中的日期不是严格升序")


def check_stocks(stocks: np.ndarray, source: Path) -> None:
    """存储的股票代码: 不重复, 不为空。"""
    ascending = len(stocks) < 2 or bool(np.all(stocks[1:] > stocks[:-1]))
    # Sorted codes put an empty one first; unsorted ones (never written here) are checked whole.
    empty = len(stocks) > 0 and (stocks[0] == "" if ascending else bool(np.any(np.char.str_len(stocks) == 0)))
    if empty or (not ascending and len(np.unique(stocks)) != len(stocks)):
        raise StoreFormatError(f"{source} 中的股票代码有重复或为空")


def regenerated(name: str, generation: str, part: int = 0) -> str:
    """代文件名换成另一代: "<名字>.<代>.<后缀>"; ``part`` 非零时名字后加 "-<part>"。"""
    match = GENERATION_FILE.fullmatch(name)
    if match is None:
        raise StoreFormatError(f"存储文件名 {name!r} 不是 <名字>.<代>.<后缀> 的形式")
    stem = f"{match['stem']}-{part}" if part else match["stem"]
    return f"{stem}.{generation}.{match['suffix']}"


def with_renamed_files(metadata: dict, renamed: dict[str, str], generation: str) -> dict:
    """元数据的一份副本, 其中引用的文件名按 ``renamed`` 换过, 代为 ``generation``。"""
    installed = dict(metadata)
    installed["generation"] = generation
    installed["datasets"] = {
        key: (
            {**entry, "pieces": [{**piece, "file": renamed[piece["file"]]} for piece in entry["pieces"]]}
            if "pieces" in entry
            else {**entry, "file": renamed[entry["file"]]}
        )
        for key, entry in (metadata.get("datasets") or {}).items()
    }
    if metadata.get("axes"):
        axes = dict(metadata["axes"])
        axes["dates_file"], axes["stocks_file"] = renamed[axes["dates_file"]], renamed[axes["stocks_file"]]
        installed["axes"] = axes
    if metadata.get("benchmarks"):
        installed["benchmarks"] = {**metadata["benchmarks"], "file": renamed[metadata["benchmarks"]["file"]]}
    return installed
