"""一次整体写入, 分批开始: payload 还在组装时, 已经定下的矩阵先在后台写成新一代文件。

存储的两条轴是所有矩阵的日期与股票的并集, 要等 payload 齐了才最终确定。先开始写的矩阵
按到那时为止见过的所有矩阵的轴对齐; 最终的轴与它相同 (一次构建的矩阵通常共用一套轴)
时直接采用已写的文件, 否则删掉按最终的轴重写。因此结果与一次 ``write(payload)`` 逐字节
相同, 提交仍在最后, 原子且在所有数据文件 fsync 之后。
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from .benchmarks import write_benchmarks
from .files import collect_results
from .format import DATE_AXIS_NAME, STOCK_AXIS_NAME, unpack_payload
from .labels import union_labels

if TYPE_CHECKING:
    from .store import BinaryPreparedDataStoreBase


@dataclass(frozen=True)
class WritePlan:
    """一次整体写入要写的全部内容: 矩阵、它们的存储类型与共同的轴、基准序列与 meta。"""

    matrices: dict[str, pd.DataFrame]
    storages: dict[str, np.dtype]
    dates: pd.Index
    stocks: pd.Index
    benchmark_dict: dict
    meta: dict


def plan_write(store: BinaryPreparedDataStoreBase, payload: dict) -> WritePlan:
    """检查 payload 并算出共同的轴 (日期与股票各自的并集)。

    Raises:
        ValueError: payload 的结构、版本或某个数据集的存储类型不对。
    """
    matrices, benchmark_dict, meta = unpack_payload(payload, store.version)
    return WritePlan(
        matrices=matrices,
        storages={key: store._storage_dtype(key) for key in matrices},
        dates=union_labels((m.index for m in matrices.values()), normalize=True, name=DATE_AXIS_NAME),
        stocks=union_labels((m.columns for m in matrices.values()), normalize=False, name=STOCK_AXIS_NAME),
        benchmark_dict=benchmark_dict,
        meta=meta,
    )


@dataclass(frozen=True)
class _Started:
    matrix: pd.DataFrame
    dates: pd.Index
    stocks: pd.Index
    future: Future[dict]

    def fits(self, matrix: pd.DataFrame, dates: pd.Index, stocks: pd.Index) -> bool:
        return self.matrix is matrix and self.dates.equals(dates) and self.stocks.equals(stocks)


class StagedWrite:
    """一次整体写入 (见模块说明); 由 :meth:`BinaryPreparedDataStoreBase.staged_write` 创建。"""

    def __init__(self, store: BinaryPreparedDataStoreBase, generation: str, pool: ThreadPoolExecutor) -> None:
        self._store = store
        self._generation = generation
        self._pool = pool
        self._dates: pd.Index | None = None
        self._stocks: pd.Index | None = None
        self._started: dict[str, _Started] = {}
        self.finished = False

    def start(self, matrices: dict[str, pd.DataFrame]) -> None:
        """在后台开始写这些矩阵, 按到目前为止见过的所有矩阵的轴对齐。

        同一个键再次开始时, 先前的文件作废。写入中的错误在 :meth:`finish` 时抛出。
        """
        for key, matrix in matrices.items():
            if not isinstance(matrix, pd.DataFrame):
                raise ValueError(f"数据集 {key} 必须是 DataFrame, 实际为 {type(matrix).__name__}")
        seen = [] if self._dates is None else [self._dates]
        self._dates = union_labels(
            seen + [m.index for m in matrices.values()], normalize=True, name=DATE_AXIS_NAME
        )
        seen = [] if self._stocks is None else [self._stocks]
        self._stocks = union_labels(
            seen + [m.columns for m in matrices.values()], normalize=False, name=STOCK_AXIS_NAME
        )
        for key, matrix in matrices.items():
            storage = self._store._storage_dtype(key)
            if key in self._started:
                self._discard(self._started.pop(key))
            future = self._pool.submit(self._write_one, key, matrix, self._dates, self._stocks, storage)
            self._started[key] = _Started(matrix, self._dates, self._stocks, future)

    def finish(self, plan: WritePlan, progress: Callable[[str], None] | None = None) -> dict:
        """写完 ``plan`` 的全部内容并提交, 返回提交的元数据。

        先开始写的矩阵对象与轴都与 ``plan`` 相同时沿用已写的文件; ``plan`` 中没有的先写
        的文件删除。``progress(键)`` 每写完一个数据集调用一次 (在调用者的线程上)。
        """
        store = self._store
        axes = store._write_axes(plan.dates, plan.stocks, self._generation)
        futures: dict[str, Future[dict]] = {}
        for key, matrix in plan.matrices.items():
            started = self._started.pop(key, None)
            if started is not None and started.fits(matrix, plan.dates, plan.stocks):
                futures[key] = started.future
                continue
            if started is not None:
                self._discard(started)
            futures[key] = self._pool.submit(
                self._write_one, key, matrix, plan.dates, plan.stocks, plan.storages[key]
            )
        for started in self._started.values():
            self._discard(started)
        self._started.clear()
        datasets = collect_results(futures, progress)
        benchmarks = write_benchmarks(store.store_dir, plan.benchmark_dict, self._generation)
        metadata = store._new_metadata(plan.meta, datasets, axes, benchmarks, self._generation)
        store._commit(metadata)
        self.finished = True
        return metadata

    def _write_one(
        self, key: str, matrix: pd.DataFrame, dates: pd.Index, stocks: pd.Index, storage: np.dtype
    ) -> dict:
        values = self._store._aligned_values(key, matrix, dates, stocks, storage)
        return self._store._write_dataset(self._store.store_dir, key, values, storage, self._generation)

    def _discard(self, started: _Started) -> None:
        entry = started.future.result()
        Path(self._store.store_dir, entry["file"]).unlink(missing_ok=True)
