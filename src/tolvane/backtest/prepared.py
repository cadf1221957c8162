"""构建与增量更新回测准备数据存储。

``prepare_store`` 为一个日期区间做一次完整构建并写成存储; ``update_store`` 把已有
存储延长到新的结束日期: 重新读取存储末尾几行 (前收盘价要看上一行, 远期收益排名要看
后两行, 因此这几行必须和新日期一起重算), 改写这几行并追加新日期, 不重写历史。
更新后的存储与直接完整构建更长区间得到的存储, 每个矩阵都相同, 接缝处的行也不例外。

两者都需要先 ``tolvane.init(...)``; 在终端上运行时显示进度条。写入是原子的:
任何时刻中断, 原有存储都保持可读。同一个存储同一时刻只有一个写入者: 另一个进程
(例如另一个终端里的更新) 正在写入时, 先在标准错误上说明在等谁, 再等它结束, 至多
``lock_timeout`` 秒 (0 表示不等, None 表示一直等), 超时是 ``StoreLockedError``。
读取存储的进程不受影响, 也不必停下。
"""

from __future__ import annotations

import queue
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, cast

import pandas as pd
from tqdm import tqdm

from ..singleton import DataService
from . import _prepare
from ._prepare import (
    BUILD_INPUT_NAMES,
    OPTIONAL_FACTOR_NAMES,
    REQUIRED_FACTOR_NAMES,
    TAIL_RELOAD_ROWS,
    BinaryPreparedDataStore,
    GroupPreparedDataBuilder,
    get_component_factor_names,
)
from ._store import DEFAULT_LOCK_TIMEOUT, PathLike, component_dataset_key, normalize_yyyymmdd
from ._store.lock import describe_holder
from ._store.staging import StagedWrite, plan_write

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["prepare_store", "update_store"]

# The derived matrices that look beyond their own row: prev_close reads the
# row before, the forward-return ranks read the two rows after.
_ROWS_LOOKED_BACK = 1
_ROWS_LOOKED_AHEAD = 2


class _Failed:
    """一次失败的下载: 取用它的答案时重新抛出它的异常。"""

    def __init__(self, error: BaseException) -> None:
        self.error = error


class _Prefetch:
    """完整构建的下载, 在单独的线程上按构建读取的顺序进行: ``jobs`` 的每个因子表, 以及
    ``kept`` (构建最后才读的小查询)。

    构建转换一个因子表或派生矩阵时, 后面的下载照常进行; 至多三个因子表等着被取用, 所以内存
    比下载与转换交替进行时多占几个因子表 (通常只在派生矩阵时排满, 这时排着的是较小的成分股
    因子表)。排满时先下载 ``kept``, 它因此不必排在最后一个因子表之后。答案按构建读取的顺序
    取用, ``kept`` 最后。
    """

    def __init__(
        self, jobs: list[tuple[str, Callable[[], object]]], kept: tuple[str, Callable[[], object]]
    ) -> None:
        self._names = [name for name, _ in jobs] + [kept[0]]
        self._answers: queue.Queue[tuple[str, object]] = queue.Queue(maxsize=3)
        self._kept: object = None
        self._stop = threading.Event()
        self._thread = threading.Thread(
            target=self._run, args=(jobs, kept[1]), name="tolvane-prefetch", daemon=True
        )
        self._thread.start()

    @staticmethod
    def _answer(job: Callable[[], object]) -> object:
        try:
            return job()
        except BaseException as error:  # raised again on the build's thread
            return _Failed(error)

    def _run(self, jobs: list[tuple[str, Callable[[], object]]], kept: Callable[[], object]) -> None:
        kept_done = False
        for name, job in jobs:
            if self._stop.is_set():
                return
            answer = self._answer(job)
            if not kept_done and self._answers.full():  # the build is busy: time for the kept query
                self._kept, kept_done = self._answer(kept), True
            self._answers.put((name, answer))
        if not kept_done and not self._stop.is_set():
            self._kept = self._answer(kept)

    @property
    def next_name(self) -> str | None:
        return self._names[0] if self._names else None

    def take(self, name: str) -> object:
        """``name`` (必须是下一个) 的答案; 下载时的异常在这里抛出。"""
        if name != self.next_name:
            raise RuntimeError(f"预取的下一项是 {self.next_name}, 不是 {name}")
        self._names.pop(0)
        if self._names:
            taken, answer = self._answers.get()
            assert taken == name, "answers arrive in the order of their jobs"
        else:  # the kept answer, due last: every job has been handed over, so the thread is done
            self._thread.join()
            answer = self._kept
        if isinstance(answer, _Failed):
            raise answer.error
        return answer

    def close(self) -> None:
        """正在进行的下载完成后停止, 等线程结束。"""
        self._stop.set()
        try:  # a thread waiting to hand over an answer gets its room and then sees the stop
            self._answers.get_nowait()
        except queue.Empty:
            pass
        self._thread.join()


def _require_components(names: list[str], matrices: dict) -> None:
    """每个成分股因子都要有矩阵, 否则存储无法精确表示成分股 (与构建器的检查相同)。"""
    missing = [name for name in names if name not in matrices]
    if missing:
        raise ValueError(f"成分股矩阵缺失，无法精确生成二进制缓存: {missing}")


_BENCHMARKS = "\0benchmarks"


def _factor_table(
    service: object, name: str, start: str | None, end: str | None
) -> pd.DataFrame | pa.Table | None:
    """一个因子在构建日期区间内的查询结果, 构建器的转换读它与读 ``service.get_factors`` 的答案相同。

    对 SDK 自己的服务对象, 答案是 ``FactorService.get_factors_table`` 给出的 Arrow 表, 构建器的
    转换直接读取它的列: get_factors 把每个 record batch 各转换成一个 DataFrame 再拼接, 对一百万
    行的因子表, 这在客户端又花掉与解码差不多的时间。其他服务对象 (例如测试中的替身) 经它的
    get_factors 查询。
    """
    if not isinstance(service, DataService):
        return service.get_factors(factor=name, start_date=start, end_date=end)  # type: ignore[attr-defined]
    return service.factors.get_factors_table(factor=name, start_date=start, end_date=end)


class _ProgressBuilder(GroupPreparedDataBuilder):
    """构建器, 每完成一次查询推进一次进度条。

    在 :meth:`prefetching` 之内, 按顺序读取的因子表与基准取自预先开始的下载。
    """

    def __init__(self, start_date: str, end_date: str, bar: tqdm) -> None:
        super().__init__(start_date, end_date)
        self._bar = bar
        self._prefetch: _Prefetch | None = None

    @contextmanager
    def prefetching(self, names: list[str]) -> Iterator[None]:
        """在读取之前先开始下载基准与因子表 ``names`` (上下文管理器)。"""
        start, end = self._tolvane_factor_date(self.default_start), self._tolvane_factor_date(self.end_date)

        def factor_table(name: str) -> Callable[[], object]:
            # The module's get_instance is looked up for every query, as the builder does.
            return lambda: _factor_table(_prepare.get_instance(), name, start, end)

        jobs = [(name, factor_table(name)) for name in names]
        self._prefetch = _Prefetch(
            jobs, kept=(_BENCHMARKS, lambda: GroupPreparedDataBuilder._read_benchmark_dict(self))
        )
        try:
            yield
        finally:
            self._prefetch.close()
            self._prefetch = None

    def _read_normal_factor_matrix(self, name: str) -> pd.DataFrame:
        self._bar.set_postfix_str(name, refresh=False)
        if self._prefetch is not None and self._prefetch.next_name == name:
            answer = self._prefetch.take(name)
            matrix = self._tolvane_factors_to_matrices(answer, [name]).get(name)
            if matrix is None or not len(matrix):
                matrix = pd.DataFrame()
        else:
            matrix = super()._read_normal_factor_matrix(name)
        self._bar.update(1)
        return matrix

    def _read_normal_factor_batch(self, names: list[str]) -> dict[str, pd.DataFrame]:
        self._bar.set_postfix_str(f"{len(names)} 个因子", refresh=False)
        self._bar.update(1)
        return super()._read_normal_factor_batch(names)

    def _read_benchmark_dict(self) -> dict[str, pd.Series]:
        self._bar.set_postfix_str("基准指数", refresh=False)
        if self._prefetch is not None and self._prefetch.next_name == _BENCHMARKS:
            benchmarks = cast("dict[str, pd.Series]", self._prefetch.take(_BENCHMARKS))
        else:
            benchmarks = super()._read_benchmark_dict()
        self._bar.update(1)
        return benchmarks

    def build_into(self, staged: StagedWrite) -> dict:
        """完整构建 (同 :meth:`build`), 边构建边写: 派生矩阵在成分股因子还在下载时就开始写入
        ``staged``, 每个成分股矩阵一读到也开始写。返回 payload, 由调用方 ``staged.finish``。"""
        component_names = get_component_factor_names()
        with self.prefetching(BUILD_INPUT_NAMES + component_names):
            source = {name: self._read_normal_factor_matrix(name) for name in REQUIRED_FACTOR_NAMES}
            for name in OPTIONAL_FACTOR_NAMES:
                source[name] = self._read_or_empty(name, source["Close"])
            data = self._build_from_matrices(source)
            staged.start(data)
            memberships = {}
            for name in component_names:
                matrix = self._component_matrices([name]).get(name)
                if matrix is not None:
                    memberships[name] = matrix
                    staged.start({component_dataset_key(name): matrix})
            benchmarks = self._read_benchmark_dict()
        _require_components(component_names, memberships)
        return self._assemble_payload(data, memberships, benchmarks, component_names, "created_at")


def _progress_bar(description: str, total: int) -> tqdm:
    # disable=None: the bar shows on a terminal and stays silent elsewhere.
    return tqdm(total=total, desc=description, unit="步", disable=None, leave=False)


def _say_waiting(store_dir: Path, holder_pid: int | None) -> None:
    tqdm.write(describe_holder(store_dir, holder_pid) + ", 等它结束……", file=sys.stderr)


def _dataset_progress(bar: tqdm):
    def advance(key: str) -> None:
        bar.set_postfix_str(key, refresh=False)
        bar.update(1)

    return advance


def prepare_store(
    store_dir: PathLike, start_date, end_date, *, lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT
) -> BinaryPreparedDataStore:
    """完整构建一个日期区间的回测准备数据, 写成存储。

    逐个查询十个输入因子、五个成分股因子与三个基准指数, 派生回测矩阵, 写入
    ``store_dir`` (不存在时创建)。查询在后台线程上依次进行, 每个因子表一到就转换, 同时
    下载后面的; 派生矩阵在成分股因子还在下载时就开始写入。目录中已有存储时整体替换;
    替换是原子的, 中途失败时原有存储保持不变, 正在读取它的进程读到的仍是原来的版本。

    Args:
        store_dir: 存储目录。
        start_date: 起始日期 (int YYYYMMDD、"YYYY-MM-DD"/"YYYYMMDD" 文本、date 等)。
        end_date: 结束日期, 形式同 start_date。
        lock_timeout: 另一个进程正在写入同一存储时最多等待的秒数; 0 表示不等,
            None 表示一直等。

    Returns:
        BinaryPreparedDataStore: 写好的存储, ``load()`` 即可读取矩阵。

    Raises:
        NotInitializedError: 尚未调用 ``tolvane.init(...)``。
        NetworkError: 无法连接数据服务。
        ValueError: 有成分股矩阵缺失, 或日期无法识别。
        StoreLockedError: 在时限内没有等到另一个写入者结束。
    """
    start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
    store = BinaryPreparedDataStore(store_dir)
    # One query per input and component factor, one for the benchmarks, then one write per matrix.
    n_reads = len(BUILD_INPUT_NAMES) + len(get_component_factor_names()) + 1
    with (
        store.writing(lock_timeout, _say_waiting),
        _progress_bar("准备回测数据", n_reads + len(store.matrix_dtype)) as bar,
    ):
        with store.staged_write() as staged:
            payload = _ProgressBuilder(start, end, bar).build_into(staged)
            staged.finish(plan_write(store, payload), progress=_dataset_progress(bar))
    return store


def update_store(
    store_dir: PathLike, end_date=None, *, lock_timeout: float | None = DEFAULT_LOCK_TIMEOUT
) -> BinaryPreparedDataStore:
    """把已有存储增量更新到 ``end_date``。

    重新读取存储最后 ``TAIL_RELOAD_ROWS`` 行 (以及派生矩阵需要的前一行) 与新日期,
    一次批量查询; 改写最后几行并追加新日期 (写成新一代文件, 不动已提交的文件),
    出现新股票时整体重写。更新后的存储等于从存储起始日到 ``end_date`` 的完整构建。
    存储中默认以外的成分股矩阵一并更新。结束日期不晚于存储最后一个交易日时不做
    任何事。整个更新持有存储的写锁, 两个同时运行的更新依次进行。

    Args:
        store_dir: 已有存储的目录。
        end_date: 新的结束日期; None 表示今天。
        lock_timeout: 另一个进程正在写入同一存储时最多等待的秒数; 0 表示不等,
            None 表示一直等。

    Returns:
        BinaryPreparedDataStore: 更新后的存储。

    Raises:
        FileNotFoundError: 目录中没有存储。
        ValueError: 有成分股矩阵缺失, 或增量数据不能覆盖存储末尾的日期。
        NetworkError: 无法连接数据服务。
        StoreLockedError: 在时限内没有等到另一个写入者结束。
    """
    reader = BinaryPreparedDataStore(store_dir, [])
    if not reader.exists():
        raise FileNotFoundError(f"{store_dir} 中没有回测准备数据存储, 请先用 prepare_store 构建")
    end = normalize_yyyymmdd(pd.Timestamp.now() if end_date is None else end_date)
    with reader.writing(lock_timeout, _say_waiting):
        metadata = reader.load_metadata()
        component_names = list(
            (metadata.get("meta") or {}).get("component_names") or get_component_factor_names()
        )
        store = BinaryPreparedDataStore(store_dir, component_names)
        dates = store.dates()
        if len(dates) and end <= dates[-1]:
            return store
        _update_tail(store, metadata, dates, end, component_names)
    return store


def _update_tail(
    store: BinaryPreparedDataStore, metadata: dict, dates: pd.Index, end: str, component_names: list[str]
) -> None:
    replaced = max(TAIL_RELOAD_ROWS, _ROWS_LOOKED_AHEAD)
    seam_row = max(len(dates) - replaced, 0)
    seam = dates[seam_row] if len(dates) else metadata["meta"]["start_date"]
    build_start = dates[max(seam_row - _ROWS_LOOKED_BACK, 0)] if len(dates) else seam
    extra_components = [name for name in component_names if name not in get_component_factor_names()]
    with _progress_bar("更新回测数据", 2 + len(extra_components) + len(store.matrix_dtype)) as bar:
        builder = _ProgressBuilder(build_start, end, bar)
        payload = builder.build_incremental()
        if extra_components:
            matrices = builder._component_matrices(extra_components)
            _require_components(extra_components, matrices)
            for name, matrix in matrices.items():
                payload["data"][component_dataset_key(name)] = matrix
        store.replace_tail(payload, seam, progress=_dataset_progress(bar))
