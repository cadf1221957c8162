"""二进制准备数据存储的基类: 读取 (快照)、校验、写入、增量更新与安装整个存储。

读取不加锁, 也从不写入: 读到的总是最近一次提交的版本。写入者先取得存储的写锁
(:mod:`.lock`), 在锁内清理中断的写入 (:mod:`.recovery`), 把新内容写成新一代文件,
最后原子地替换元数据 (提交), 再删除旧一代的文件。已经映射的旧文件在删除后仍然有效,
所以读取者已载入的矩阵是一份快照, 之后的更新与重建都不会改变它。
"""

from __future__ import annotations

import os
import pickle
import stat
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from functools import partial
from pathlib import Path
from typing import TypeVar

import numpy as np
import pandas as pd

from ...exceptions import StoreFormatError
from .benchmarks import merged_benchmarks, read_benchmarks, write_benchmarks
from .files import (
    NewFile,
    file_threads,
    fsync_directory,
    move_durably,
    new_generation,
    npy_bytes,
    read_label_file,
    run_concurrently,
    verify_checksum,
    write_atomic,
)
from .format import (
    DATE_AXIS_NAME,
    JOURNAL_FILE,
    MANIFEST_FILE,
    METADATA_FILE,
    STOCK_AXIS_NAME,
    STORAGE_DTYPES,
    STORE_FORMAT,
    DatasetFile,
    Layout,
    check_dates,
    check_stocks,
    dataset_entry,
    is_plain_file_name,
    manifest_text,
    parse_layout,
    read_metadata,
    regenerated,
    unpack_payload,
    with_renamed_files,
)
from .labels import date_slice, normalize_yyyymmdd, union_labels, with_store_labels
from .lock import DEFAULT_LOCK_TIMEOUT, WaitNotice, writer_lock
from .pieces import Span, checked_spans, piece_entry, read_rows, write_tail_piece
from .recovery import has_interrupted_update, remove_unreferenced, roll_back_interrupted_update
from .staging import StagedWrite, plan_write

PathLike = str | Path

Progress = Callable[[str], None]
_T = TypeVar("_T")

# A cell a build's trading permissions do not cover has no price at a limit
# and no suspension mark, so it follows what a build derives for such a cell:
# buyable, not barred from selling. Other boolean datasets read it as False.
_BOOL_FILL = {"can_buy_stock": True, "cant_sell_stock": False}

# A reader that meets a commit's removal of the files it was about to open
# reads the new metadata; this many commits in a row are tolerated.
_READ_ATTEMPTS = 8


def _safe_dataset_key(key) -> bool:
    return isinstance(key, str) and is_plain_file_name(key) and not key.endswith(".tmp")


class BinaryPreparedDataStoreBase:
    """二进制准备数据存储的基类: 读取、校验、写入、增量更新与整体换入 (目录布局见包的说明)。

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

    # ================================================================ reading
    def exists(self) -> bool:
        """目录中是否已有存储 (元数据文件存在)。"""
        return self.metadata_path.is_file()

    def load_metadata(self) -> dict:
        """读取最近一次提交的元数据 dict; 还没有存储时返回空 dict。

        元数据用受限的 unpickler 读取, 它描述的文件名、数据类型与形状逐项校验。

        Raises:
            StoreFormatError: 元数据损坏、不是 dict、含基本值以外的对象或描述不合法。
        """
        metadata = read_metadata(self.metadata_path)
        self._layout(metadata)
        return metadata

    def _layout(self, metadata: dict) -> Layout:
        layout = parse_layout(
            metadata, self.metadata_path, lambda key: self.matrix_dtype.get(key, self.default_dtype)
        )
        unsafe = [key for key in layout.datasets if not _safe_dataset_key(key)]
        if unsafe:
            raise StoreFormatError(f"{self.metadata_path}: 数据集键 {unsafe[0]!r:.80} 不能用作文件名")
        return layout

    def _read_snapshot(self, read: Callable[[dict, Layout], _T]) -> _T:
        """对最近一次提交的版本执行 ``read``。

        读取途中另一个进程提交了新版本并删除了旧文件时, 按新的元数据重读; 元数据
        没有变化而文件不见了, 则是存储损坏。
        """
        previous = None
        for _ in range(_READ_ATTEMPTS):
            metadata = read_metadata(self.metadata_path)
            if previous is not None and metadata == previous:
                break
            layout = self._layout(metadata)
            if metadata and has_interrupted_update(self.store_dir):
                raise StoreFormatError(
                    f"{self.store_dir} 留有一次未完成的增量更新 ({JOURNAL_FILE}): 运行 "
                    f"`tolvane update {self.store_dir}` 或 store.recover() 恢复后再读取"
                )
            try:
                return read(metadata, layout)
            except FileNotFoundError as err:
                missing, previous = err, metadata
        raise StoreFormatError(f"存储文件缺失: {missing.filename}") from missing

    def dates(self) -> pd.Index:
        """存储的交易日 ("YYYYMMDD" 文本, 升序); 没有存储时为空。"""

        def read(metadata: dict, layout: Layout) -> pd.Index:
            if not layout.has_axes:
                return pd.Index([], dtype="str", name=DATE_AXIS_NAME)
            return self._read_axes(layout)[0]

        return self._read_snapshot(read)

    def load(
        self, start_date=None, end_date=None, keys: list[str] | None = None, mmap: bool = True
    ) -> dict[str, pd.DataFrame] | None:
        """读取数据集, 每个为日期 × 股票的 DataFrame。

        读到的是最近一次提交的版本; 映射读取的矩阵是一份快照, 之后存储的更新或重建
        都不会改变它。

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
            StoreFormatError: 存储文件缺失、损坏或与元数据不符, 或数据版本不同。
        """
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)

        def read(metadata: dict, layout: Layout) -> dict[str, pd.DataFrame] | None:
            if not metadata:
                return None
            self._check_version(metadata)
            wanted = list(layout.datasets) if keys is None else list(keys)
            missing = [key for key in wanted if key not in layout.datasets]
            if missing:
                raise KeyError(f"存储中没有数据集 {missing}; 已有: {list(layout.datasets)}")
            if not wanted:
                return {}
            dates, stocks = self._read_axes(layout)
            lo, hi = date_slice(np.asarray(dates, dtype=str), start, end)
            index = dates[lo:hi]
            return {
                key: pd.DataFrame(
                    self._read_dataset(layout.datasets[key], lo, hi, mmap),
                    index=index,
                    columns=stocks,
                    copy=False,
                )
                for key in wanted
            }

        return self._read_snapshot(read)

    def load_benchmarks(self, start_date=None, end_date=None) -> dict[str, pd.Series]:
        """读取基准日收益序列, 可按日期范围 (含两端) 截取。

        Returns:
            dict: 基准名 → Series (索引为 "YYYYMMDD" 文本); 没有存储时为空 dict。
        """
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)

        def read(metadata: dict, layout: Layout) -> dict[str, pd.Series]:
            self._check_version(metadata)
            result = {}
            for name, (dates, values, info) in self._benchmark_arrays(layout).items():
                lo, hi = date_slice(dates, start, end)
                result[name] = pd.Series(
                    values[lo:hi],
                    name=info.series_name,
                    index=pd.Index(dates[lo:hi].tolist(), dtype="str", name=info.index_name),
                )
            return result

        return self._read_snapshot(read)

    def verify(self) -> dict:
        """检查存储的每个文件: 结构、长度, 以及清单记录的校验和 (SHA-256)。

        Returns:
            dict: {"files": 检查的文件数, "bytes": 总字节数, "checksummed": 有校验和的文件数,
            "n_dates", "n_stocks", "datasets": 数据集数}。没有存储时 "files" 为 0。

        Raises:
            StoreFormatError: 第一个不符的文件, 信息中指明文件与位置。
        """

        def read(metadata: dict, layout: Layout) -> dict:
            self._check_version(metadata)
            report = {
                "files": 0,
                "bytes": 0,
                "checksummed": 0,
                "n_dates": layout.n_dates,
                "n_stocks": layout.n_stocks,
                "datasets": len(layout.datasets),
            }
            if not metadata:
                return report
            if layout.has_axes:
                self._read_axes(layout)
            for entry in layout.datasets.values():
                self._checked_pieces(entry)
            self._benchmark_arrays(layout)
            for name, checksum in layout.files():
                path = self._data_path(name)
                report["files"] += 1
                report["bytes"] += path.stat().st_size
                if checksum is not None:
                    verify_checksum(path, checksum)
                    report["checksummed"] += 1
            return report

        return self._read_snapshot(read)

    # ----------------------------------------------------- reading helpers
    def _check_version(self, metadata: dict) -> None:
        if metadata and metadata.get("version") != self.version:
            raise StoreFormatError(
                f"{self.store_dir} 的数据版本为 {metadata.get('version')!r},"
                f" 当前需要 {self.version}: 请重新构建"
            )

    def _data_path(self, name: str) -> Path:
        """元数据引用的文件: 存储目录中的普通文件 (不是符号链接), 名字不含路径。

        Raises:
            FileNotFoundError: 文件不存在 (读取者可能要按新的元数据重读)。
            StoreFormatError: 名字不合法, 或不是普通文件。
        """
        if not is_plain_file_name(name):
            raise StoreFormatError(f"元数据中的文件名不合法: {name!r}")
        path = self.store_dir / name
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise StoreFormatError(f"存储文件 {path} 不是普通文件 (符号链接可能指向存储目录之外)")
        return path

    def _read_axes(self, layout: Layout) -> tuple[pd.Index, pd.Index]:
        if layout.dates_file is None or layout.stocks_file is None:
            raise StoreFormatError(f"{self.store_dir} 还没有日期与股票轴: 请先写入一次完整构建")
        dates_path, stocks_path = self._data_path(layout.dates_file), self._data_path(layout.stocks_file)
        dates, stocks = (
            read_label_file(dates_path, layout.n_dates),
            read_label_file(stocks_path, layout.n_stocks),
        )
        check_dates(dates, dates_path)
        check_stocks(stocks, stocks_path)
        return (
            pd.Index(dates.tolist(), dtype="str", name=DATE_AXIS_NAME),
            pd.Index(stocks.tolist(), dtype="str", name=STOCK_AXIS_NAME),
        )

    def _checked_pieces(self, entry: DatasetFile) -> list[Span]:
        return checked_spans(entry, self._data_path)

    def _read_dataset(self, entry: DatasetFile, lo: int, hi: int, mmap: bool) -> np.ndarray:
        return read_rows(entry, self._checked_pieces(entry), lo, hi, mmap)

    def _benchmark_arrays(self, layout: Layout) -> dict:
        if layout.benchmarks_file is None:
            return {}
        return read_benchmarks(self._data_path(layout.benchmarks_file), layout.benchmark_series)

    # ================================================================ writing
    @contextmanager
    def writing(
        self, lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT, on_wait: WaitNotice | None = None
    ) -> Iterator[BinaryPreparedDataStoreBase]:
        """持有存储的写锁 (上下文管理器); 目录不存在时创建。

        同一时刻只有一个写入者: 另一个进程正在写入时等待它结束, 至多 ``lock_timeout``
        秒 (0 表示不等, None 表示一直等)。取得锁后先清理中断的写入留下的文件。同一
        进程中可以重入。

        Raises:
            StoreLockedError: 在时限内没有等到锁; 信息中有存储目录与持锁进程号。
        """
        self.store_dir.mkdir(parents=True, exist_ok=True)
        with writer_lock(self.store_dir, lock_timeout, on_wait) as outermost:
            if outermost:
                self._recover()
            yield self

    def recover(self, lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT) -> None:
        """在写锁之下清理中断的写入: 撤销没有提交的就地更新 (早先版本), 删除半成品文件。"""
        with self.writing(lock_timeout):
            pass

    def _recover(self) -> None:
        metadata = read_metadata(self.metadata_path)
        roll_back_interrupted_update(self.store_dir, metadata.get("generation"))
        self._remove_unreferenced(metadata)

    def _remove_unreferenced(self, metadata: dict) -> None:
        layout = self._layout(metadata)
        remove_unreferenced(self.store_dir, (name for name, _ in layout.files()))

    def _write_file_atomic(self, path: PathLike, data: bytes) -> None:
        """把 ``data`` 原子地写成 ``path`` (同目录临时文件、fsync、改名)。"""
        write_atomic(Path(path), data)

    def _write_manifest(self, store_dir: PathLike, metadata: dict) -> None:
        """由元数据 (原子地) 重写清单 ``manifest.json``, 其中有每个文件的校验和。"""
        text = manifest_text(metadata, self._layout(metadata))
        self._write_file_atomic(Path(store_dir) / MANIFEST_FILE, text.encode("utf-8"))

    def _commit(self, metadata: dict) -> None:
        """提交: 新文件的目录项落盘后原子地替换元数据, 重写清单, 删除不再引用的文件。"""
        fsync_directory(self.store_dir)
        self._write_file_atomic(self.metadata_path, pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced(metadata)

    @contextmanager
    def _new_generation_files(self, committed: dict) -> Iterator[str]:
        """新一代文件的标记; 写入失败时删除已写的新文件 (元数据仍是 ``committed``)。"""
        try:
            yield new_generation()
        except BaseException:
            self._remove_unreferenced(committed)
            raise

    # -------------------------------------------------- matrices and axes
    def _storage_dtype(self, dataset_key: str, dtype: str | None = None) -> np.dtype:
        dtype = dtype or self.matrix_dtype.get(dataset_key, self.default_dtype)
        if dtype not in STORAGE_DTYPES:
            raise ValueError(f"不支持的存储类型 {dtype!r} (数据集 {dataset_key}): 只支持 float64 与 bool")
        if not _safe_dataset_key(dataset_key):
            raise ValueError(f"数据集键 {dataset_key!r} 不能用作文件名")
        return np.dtype(dtype)

    def _aligned_values(
        self, dataset_key: str, matrix: pd.DataFrame, dates: pd.Index, stocks: pd.Index, dtype: np.dtype
    ) -> np.ndarray:
        """矩阵按存储的两条轴对齐后的值 (行 = dates, 列 = stocks)。"""
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(f"数据集 {dataset_key} 必须是 DataFrame, 实际为 {type(matrix).__name__}")
        frame = with_store_labels(matrix, dataset_key)
        if not (frame.index.equals(dates) and frame.columns.equals(stocks)):
            frame = frame.reindex(index=dates, columns=stocks)
        if dtype == np.bool_:
            values = frame.to_numpy()
            if values.dtype != np.bool_:
                values = np.where(pd.isna(values), _BOOL_FILL.get(dataset_key, False), values)
            return values.astype(bool)
        return frame.to_numpy(dtype=np.float64, na_value=np.nan)

    def _write_dataset(
        self, store_dir: Path, dataset_key: str, values: np.ndarray, dtype: np.dtype, generation: str
    ) -> dict:
        values = np.asarray(values, dtype=dtype)
        file_name = f"{dataset_key}.{generation}.bin"
        with NewFile(store_dir / file_name) as new:
            new.write_values(values)
        return dataset_entry([piece_entry(file_name, 0, new.checksum)], dtype, values.shape)

    def _write_matrix(self, store_dir: PathLike, dataset_key: str, matrix: pd.DataFrame, dtype: str) -> dict:
        """把一个日期 × 股票矩阵按存储现有的轴对齐后写成数据文件, 返回该数据集的元数据条目。

        文件名带新的写入标记, 写入后由元数据引用才生效; 超出存储日期或股票的单元格被舍弃,
        存储有而矩阵没有的单元格为缺失值 (bool 数据集见 ``_BOOL_FILL``)。调用方应持有写锁
        (:meth:`writing`), 并在同一把锁内提交元数据。

        Returns:
            dict: {"file", "dtype", "shape", "checksum"}。
        """
        storage = self._storage_dtype(dataset_key, dtype)
        dates, stocks = self._read_axes(self._layout(read_metadata(self.metadata_path)))
        values = self._aligned_values(dataset_key, matrix, dates, stocks, storage)
        return self._write_dataset(Path(store_dir), dataset_key, values, storage, new_generation())

    def _give_axes(self, metadata: dict, matrix: pd.DataFrame) -> None:
        """存储还没有日期与股票轴时 (只有元数据), 以 ``matrix`` 的轴作为存储的轴。

        写出轴文件, 把它们记入 ``metadata`` (调用方之后提交的同一个 dict) 并立即提交,
        之后的 :meth:`_write_matrix` 据此对齐。已有轴时什么也不做。调用方应持有写锁。
        """
        if metadata.get("axes"):
            return
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(f"矩阵必须是 DataFrame, 实际为 {type(matrix).__name__}")
        dates = union_labels([matrix.index], normalize=True, name=DATE_AXIS_NAME)
        stocks = union_labels([matrix.columns], normalize=False, name=STOCK_AXIS_NAME)
        generation = new_generation()
        metadata["axes"] = self._write_axes(dates, stocks, generation)
        metadata.setdefault("version", self.version)
        metadata.setdefault("format", STORE_FORMAT)
        metadata["generation"] = generation
        self._commit(metadata)

    def _write_labels(self, labels: pd.Index, stem: str, generation: str) -> tuple[str, dict]:
        file_name = f"{stem}.{generation}.npy"
        buffer = npy_bytes(np.asarray(list(labels), dtype=str))
        with NewFile(self.store_dir / file_name) as new:
            new.write(buffer)
        return file_name, new.checksum.as_entry()

    def _write_axes(
        self,
        dates: pd.Index,
        stocks: pd.Index,
        generation: str,
        kept_stocks: tuple[str, dict | None] | None = None,
    ) -> dict:
        """写日期文件 (与股票文件, ``kept_stocks`` 给出沿用的股票文件及其校验和时除外)。"""
        dates_file, dates_checksum = self._write_labels(dates, "dates", generation)
        stocks_file, stocks_checksum = kept_stocks or self._write_labels(stocks, "stocks", generation)
        axes = {
            "dates_file": dates_file,
            "stocks_file": stocks_file,
            "n_dates": len(dates),
            "n_stocks": len(stocks),
            "first_date": dates[0] if len(dates) else None,
            "last_date": dates[-1] if len(dates) else None,
            "dates_checksum": dates_checksum,
        }
        if stocks_checksum is not None:
            axes["stocks_checksum"] = stocks_checksum
        return axes

    def write(
        self,
        payload: dict,
        progress: Progress | None = None,
        *,
        lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT,
        on_wait: WaitNotice | None = None,
    ) -> dict:
        """把一次构建的 payload ({"version", "meta", "data"}) 整体写成存储。

        所有矩阵对齐到共同的日期轴 (各矩阵日期的并集) 与股票轴 (股票代码的并集);
        "data" 中的 "benchmark_dict" 写入基准序列。在写锁之内先写全部新文件, 最后
        原子地替换元数据; 中途失败时原有存储保持可读, 内容不变。

        Args:
            payload: 构建结果。
            progress: 可选, 每写完一个数据集调用一次, 参数为数据集键。
            lock_timeout: 等待另一个写入者的秒数 (见 :meth:`writing`)。
            on_wait: 需要等待时调用一次, 参数为存储目录与持锁进程号。

        Returns:
            dict: 写入的元数据。

        Raises:
            ValueError: payload 的结构或版本不对。
            StoreLockedError: 在时限内没有等到写锁。
        """
        plan = plan_write(self, payload)
        with self.staged_write(lock_timeout, on_wait) as staged:
            return staged.finish(plan, progress)

    @contextmanager
    def staged_write(
        self, lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT, on_wait: WaitNotice | None = None
    ) -> Iterator[StagedWrite]:
        """一次整体写入, 矩阵可以在 payload 组装完之前分批开始写 (上下文管理器)。

        在写锁之内 (见 :meth:`writing`) 给出 :class:`StagedWrite`: ``start(矩阵)`` 在后台线程上
        开始写, ``finish(plan_write(store, payload))`` 写完其余的并提交, 结果与
        ``write(payload)`` 相同。``with`` 块因异常结束, 或没有调用 ``finish`` 时, 不提交,
        已写的新文件删除, 原有存储不变。
        """
        with self.writing(lock_timeout, on_wait):
            committed = read_metadata(self.metadata_path)
            with self._new_generation_files(committed) as generation:
                pool = file_threads()
                try:
                    staged = StagedWrite(self, generation, pool)
                    yield staged
                finally:
                    pool.shutdown(wait=True, cancel_futures=True)
                if not staged.finished:
                    self._remove_unreferenced(committed)

    def _new_metadata(
        self, meta: dict, datasets: dict, axes: dict, benchmarks: dict, generation: str
    ) -> dict:
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

    # ================================================================ updates
    def replace_tail(
        self,
        payload: dict,
        from_date,
        progress: Progress | None = None,
        *,
        lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT,
        on_wait: WaitNotice | None = None,
    ) -> dict:
        """用一次增量构建替换存储中 ``from_date`` 及以后的行, 并追加新日期。

        payload 中早于 ``from_date`` 的行被忽略; 存储早于 ``from_date`` 的行保持不变。
        在写锁之内写出新一代文件: 股票集合不变时, 每个数据集与上一代共用替换起点之前的
        整段文件, 只写出从那里起的新的一段 (见 ``_append_pieces``); 出现新股票时整体重写。
        最后原子地替换元数据, 删除不再引用的文件 (已映射它们的读取者不受影响)。基准序列
        同样替换 ``from_date`` 及以后的部分。

        Args:
            payload: 增量构建的结果, 数据集须与存储现有的一致。
            from_date: 替换的起始日期。
            progress: 可选, 每写完一个数据集调用一次。
            lock_timeout: 等待另一个写入者的秒数 (见 :meth:`writing`)。
            on_wait: 需要等待时调用一次, 参数为存储目录与持锁进程号。

        Returns:
            dict: 新的元数据。

        Raises:
            ValueError: 存储为空、payload 缺少存储已有的数据集、或不能覆盖存储在
                ``from_date`` 之后的日期。
            StoreLockedError: 在时限内没有等到写锁。
        """
        matrices, benchmark_dict, meta = unpack_payload(payload, self.version)
        seam = normalize_yyyymmdd(from_date)
        with self.writing(lock_timeout, on_wait):
            metadata = self.load_metadata()
            if not metadata:
                raise ValueError(f"{self.store_dir} 还没有存储, 无法增量更新")
            self._check_version(metadata)
            layout = self._layout(metadata)
            if set(layout.datasets) != set(matrices):
                raise ValueError(
                    f"增量数据的数据集与存储不一致: 缺少 {sorted(set(layout.datasets) - set(matrices))}, "
                    f"多出 {sorted(set(matrices) - set(layout.datasets))}"
                )
            old_dates, old_stocks = self._read_axes(layout)
            tail = {key: with_store_labels(matrix, key) for key, matrix in matrices.items()}
            tail = {key: frame.loc[frame.index >= seam] for key, frame in tail.items()}
            tail_dates = union_labels(
                (frame.index for frame in tail.values()), normalize=False, name=DATE_AXIS_NAME
            )
            kept = int(np.searchsorted(np.asarray(old_dates, dtype=str), seam, side="left"))
            if not old_dates[kept:].isin(tail_dates).all():
                raise ValueError(f"增量数据没有覆盖存储在 {seam} 之后已有的日期, 拒绝更新以免丢失数据")
            dates = old_dates[:kept].append(tail_dates)
            new_stocks = union_labels(
                (frame.columns for frame in tail.values()), normalize=False, name=STOCK_AXIS_NAME
            )
            new_meta = dict(metadata.get("meta") or {})
            for key in ("end_date", "ddb_end"):
                if key in meta:
                    new_meta[key] = meta[key]
            with self._new_generation_files(metadata) as generation:
                merged = merged_benchmarks(self._benchmark_arrays(layout), benchmark_dict, seam)
                benchmarks = write_benchmarks(self.store_dir, merged, generation)
                if new_stocks.equals(old_stocks) or new_stocks.isin(old_stocks).all():
                    assert layout.stocks_file is not None, "_read_axes refuses a store without axes"
                    datasets = self._append_pieces(
                        layout, tail, dates, old_stocks, kept, generation, progress
                    )
                    axes = self._write_axes(
                        dates,
                        old_stocks,
                        generation,
                        kept_stocks=(layout.stocks_file, metadata["axes"].get("stocks_checksum")),
                    )
                else:
                    stocks = old_stocks.union(new_stocks).rename(STOCK_AXIS_NAME)
                    axes = self._write_axes(dates, stocks, generation)
                    datasets = self._rewrite_merged(layout, tail, kept, dates, stocks, generation, progress)
                new_metadata = self._new_metadata(new_meta, datasets, axes, benchmarks, generation)
                for key, value in metadata.items():
                    new_metadata.setdefault(key, value)
                self._commit(new_metadata)
        return new_metadata

    def _append_pieces(
        self,
        layout: Layout,
        tail: dict,
        dates: pd.Index,
        stocks: pd.Index,
        kept: int,
        generation: str,
        progress: Progress | None,
    ) -> dict:
        """股票集合不变: 每个数据集与上一代共用第 ``kept`` 行之前的整段, 只写出新的一段
        (见 :func:`.pieces.write_tail_piece`)。"""
        tail_dates = dates[kept:]

        def write_one(key: str, entry: DatasetFile) -> dict:
            values = self._aligned_values(key, tail[key], tail_dates, stocks, entry.dtype)
            new_file = self.store_dir / f"{key}.{generation}.bin"
            pieces = write_tail_piece(entry, self._checked_pieces(entry), kept, values, new_file)
            return dataset_entry(pieces, entry.dtype, (len(dates), len(stocks)))

        return run_concurrently(
            {key: partial(write_one, key, entry) for key, entry in layout.datasets.items()}, progress
        )

    def _rewrite_merged(
        self,
        layout: Layout,
        tail: dict,
        kept: int,
        dates: pd.Index,
        stocks: pd.Index,
        generation: str,
        progress: Progress | None,
    ) -> dict:
        """新股票出现: 历史行 (映射读取) 与新行按新的股票轴合并, 整体写成新的一套文件。"""
        old_dates, old_stocks = self._read_axes(layout)

        def write_one(key: str, entry: DatasetFile) -> dict:
            history = pd.DataFrame(
                self._read_dataset(entry, 0, kept, mmap=True),
                index=old_dates[:kept],
                columns=old_stocks,
                copy=False,
            )
            merged = np.empty((len(dates), len(stocks)), dtype=entry.dtype)
            merged[:kept] = self._aligned_values(key, history, dates[:kept], stocks, entry.dtype)
            merged[kept:] = self._aligned_values(key, tail[key], dates[kept:], stocks, entry.dtype)
            return self._write_dataset(self.store_dir, key, merged, entry.dtype, generation)

        return run_concurrently(
            {key: partial(write_one, key, entry) for key, entry in layout.datasets.items()}, progress
        )

    # ====================================================== whole stores
    def install(
        self,
        source_dir: PathLike,
        *,
        lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT,
        on_wait: WaitNotice | None = None,
    ) -> dict:
        """把 ``source_dir`` 中完整的存储 (例如刚解压的数据包) 整体换入本存储。

        先按本存储的类型表校验源存储的每个文件与校验和; 通过后在写锁之内把它引用的
        文件以新一代的名字移入本目录, 原子地提交它的元数据, 再删除本存储旧一代的文件。
        任何时刻中断, 本目录中都是原来的存储或换入的存储。源目录中其余的文件不动。

        Returns:
            dict: 换入后的元数据。

        Raises:
            StoreFormatError: 源目录中没有存储, 或它的文件损坏、与元数据不符。
            StoreLockedError: 在时限内没有等到写锁。
        """
        source = BinaryPreparedDataStoreBase(source_dir, self.matrix_dtype, self.version, self.default_dtype)
        if not source.exists():
            raise StoreFormatError(f"{source.store_dir} 中没有存储 ({METADATA_FILE})")
        source.verify()
        metadata = source.load_metadata()
        layout = source._layout(metadata)
        with self.writing(lock_timeout, on_wait):
            committed = read_metadata(self.metadata_path)
            with self._new_generation_files(committed) as generation:
                renamed: dict[str, str] = {}
                for name, _ in layout.files():
                    # The pieces of one dataset share their stem.
                    target_name = regenerated(name, generation)
                    while target_name in renamed.values():
                        target_name = regenerated(name, generation, part=len(renamed))
                    move_durably(source._data_path(name), self.store_dir / target_name)
                    renamed[name] = target_name
                installed = with_renamed_files(metadata, renamed, generation)
                self._commit(installed)
        return installed
