"""二进制准备数据存储的增量更新与中断后的恢复。

增量更新 (:meth:`BinaryPreparedDataStoreBase.replace_tail`) 在股票集合不变时只改写
末尾几行并追加新行, 不重写历史: 改写之前先把被覆盖的字节存入日志 ``update.journal``;
提交前中断时, 下一次读写存储会按日志恢复原状。出现新股票时整体重写成新的一套文件。

:class:`TailUpdateMixin` 由存储基类继承, 使用基类的读取、对齐、写入与提交方法。
"""

from __future__ import annotations

import os
import pickle
from typing import Callable

import numpy as np
import pandas as pd

from ._store_format import (
    DATE_AXIS_NAME,
    JOURNAL_FILE,
    STOCK_AXIS_NAME,
    _new_generation,
    _union_labels,
    _unpickle_plain,
    _with_store_labels,
    _write_values,
    normalize_yyyymmdd,
)


class TailUpdateMixin:
    """存储基类的增量更新 (:meth:`replace_tail`) 与按日志恢复 (:meth:`_recover`)。"""

    def replace_tail(self, payload: dict, from_date, progress: Callable[[str], None] | None = None) -> dict:
        """用一次增量构建替换存储中 ``from_date`` 及以后的行, 并追加新日期。

        payload 中早于 ``from_date`` 的行被忽略; 存储早于 ``from_date`` 的行保持不动。
        股票集合不变时, 每个数据文件只改写末尾并追加, 不重写历史 (被覆盖的字节先记入
        日志, 提交前中断可恢复); 出现新股票时整体重写成新的一套文件。两种方式都在最后
        原子地替换元数据。基准序列同样替换 ``from_date`` 及以后的部分。

        Args:
            payload: 增量构建的结果, 数据集须与存储现有的一致。
            from_date: 替换的起始日期。
            progress: 可选, 每写完一个数据集调用一次。

        Returns:
            dict: 新的元数据。

        Raises:
            ValueError: 存储为空、payload 缺少存储已有的数据集、或不能覆盖存储在
                ``from_date`` 之后的日期。
        """
        matrices, benchmark_dict, meta = self._unpack_payload(payload)
        metadata = self.load_metadata()
        if not metadata:
            raise ValueError(f"{self.store_dir} 还没有存储, 无法增量更新")
        self._check_version(metadata)
        datasets = metadata.get("datasets") or {}
        if set(datasets) != set(matrices):
            raise ValueError(
                f"增量数据的数据集与存储不一致: 缺少 {sorted(set(datasets) - set(matrices))}, "
                f"多出 {sorted(set(matrices) - set(datasets))}"
            )
        seam = normalize_yyyymmdd(from_date)
        old_dates, old_stocks = self._axes(metadata)
        tail = {key: _with_store_labels(matrix, key) for key, matrix in matrices.items()}
        tail = {key: frame.loc[frame.index >= seam] for key, frame in tail.items()}
        tail_dates = _union_labels((frame.index for frame in tail.values()), normalize=False, name=DATE_AXIS_NAME)
        kept = int(np.searchsorted(np.asarray(old_dates, dtype=str), seam, side="left"))
        dropped = old_dates[kept:]
        if not dropped.isin(tail_dates).all():
            raise ValueError(f"增量数据没有覆盖存储在 {seam} 之后已有的日期, 拒绝更新以免丢失数据")
        dates = old_dates[:kept].append(tail_dates)
        new_stocks = _union_labels((frame.columns for frame in tail.values()), normalize=False, name=STOCK_AXIS_NAME)
        generation = _new_generation()
        new_meta = dict(metadata.get("meta") or {})
        for key in ("end_date", "ddb_end"):
            if key in meta:
                new_meta[key] = meta[key]
        benchmarks = self._write_benchmarks(
            self._merged_benchmarks(metadata, benchmark_dict, seam), generation)
        if new_stocks.isin(old_stocks).all():
            datasets = self._append_in_place(metadata, tail, dates, old_stocks, kept, generation, progress)
            axes = self._write_axes(self.store_dir, dates, old_stocks, generation,
                                    stocks_file=metadata["axes"]["stocks_file"])
        else:
            stocks = old_stocks.union(new_stocks).rename(STOCK_AXIS_NAME)
            axes = self._write_axes(self.store_dir, dates, stocks, generation)
            datasets = self._rewrite_merged(metadata, tail, kept, dates, stocks, generation, progress)
        new_metadata = self._new_metadata(new_meta, datasets, axes, benchmarks, generation)
        for key, value in metadata.items():
            new_metadata.setdefault(key, value)
        self._commit(new_metadata)
        (self.store_dir / JOURNAL_FILE).unlink(missing_ok=True)
        return new_metadata

    def _merged_benchmarks(self, metadata: dict, benchmark_dict: dict, seam: str) -> dict:
        merged = {}
        old = self.load_benchmarks() if metadata.get("benchmarks") else {}
        for name in list(old) + [name for name in benchmark_dict if name not in old]:
            before = old.get(name)
            after = benchmark_dict.get(name)
            parts = []
            if before is not None:
                parts.append(before[before.index < seam])
            if after is not None:
                after = after.copy()
                after.index = pd.Index([normalize_yyyymmdd(label) for label in after.index], name=after.index.name)
                parts.append(after[after.index >= seam])
            merged[name] = pd.concat(parts) if len(parts) > 1 else parts[0]
        return merged

    def _append_in_place(self, metadata: dict, tail: dict, dates: pd.Index, stocks: pd.Index, kept: int,
                         generation: str, progress) -> dict:
        """股票集合不变: 改写 ``kept`` 行之后的内容并追加, 被覆盖的字节先记入日志。"""
        datasets = metadata["datasets"]
        tail_dates = dates[kept:]
        updates = []
        for key, entry in datasets.items():
            storage = np.dtype(entry["dtype"])
            values = self._aligned_values(key, tail[key], tail_dates, stocks, storage)
            row_bytes = len(stocks) * storage.itemsize
            updates.append((key, entry, values, kept * row_bytes, int(entry["shape"][0]) * row_bytes))
        journal = {
            "base_generation": metadata.get("generation"),
            "new_generation": generation,
            "files": [],
        }
        for key, entry, values, offset, committed in updates:
            with open(self._data_path(entry["file"]), "rb") as handle:
                handle.seek(offset)
                original = handle.read(committed - offset)
            journal["files"].append({"file": entry["file"], "offset": offset, "size": committed, "undo": original})
        self._write_file_atomic(self.store_dir / JOURNAL_FILE,
                                pickle.dumps(journal, protocol=pickle.HIGHEST_PROTOCOL))
        try:
            new_datasets = {}
            for key, entry, values, offset, committed in updates:
                path = self._data_path(entry["file"])
                with open(path, "r+b") as handle:
                    handle.seek(offset)
                    _write_values(handle, values)
                    handle.truncate(offset + values.nbytes)
                    handle.flush()
                    os.fsync(handle.fileno())
                new_datasets[key] = {"file": entry["file"], "dtype": entry["dtype"],
                                     "shape": [len(dates), len(stocks)]}
                if progress is not None:
                    progress(key)
        except BaseException:
            self._roll_back(journal)
            raise
        return new_datasets

    def _rewrite_merged(self, metadata: dict, tail: dict, kept: int, dates: pd.Index, stocks: pd.Index,
                        generation: str, progress) -> dict:
        """新股票出现: 历史行 (映射读取) 与新行按新的股票轴合并, 整体写成新的一套文件。"""
        old = self._load_every_dataset(list(metadata["datasets"]))
        datasets = {}
        for key, entry in metadata["datasets"].items():
            storage = np.dtype(entry["dtype"])
            history = old[key].iloc[:kept]
            merged = np.empty((len(dates), len(stocks)), dtype=storage)
            merged[:kept] = self._aligned_values(key, history, dates[:kept], stocks, storage)
            merged[kept:] = self._aligned_values(key, tail[key], dates[kept:], stocks, storage)
            datasets[key] = self._write_dataset(self.store_dir, key, merged, storage, generation)
            if progress is not None:
                progress(key)
        return datasets

    # ------------------------------------------------------------ recovery
    def _recover(self) -> None:
        """处理中断的增量更新: 已提交则删除日志, 否则按日志恢复数据文件。"""
        journal_path = self.store_dir / JOURNAL_FILE
        try:
            data = journal_path.read_bytes()
        except FileNotFoundError:
            return
        journal = _unpickle_plain(data, journal_path)
        metadata = self._read_metadata()
        if metadata.get("generation") != journal.get("new_generation"):
            self._roll_back(journal)
        journal_path.unlink(missing_ok=True)

    def _roll_back(self, journal: dict) -> None:
        for item in journal["files"]:
            path = self._data_path(item["file"])
            with open(path, "r+b") as handle:
                handle.seek(item["offset"])
                handle.write(item["undo"])
                handle.truncate(item["size"])
                handle.flush()
                os.fsync(handle.fileno())
