"""参数扫描: 在同一份准备数据上并行回测许多策略变体 (``sweep``) 或分析许多因子
(``factor_sweep``), 每个变体或因子返回一行。

默认在本机用线程并行 (回测引擎计算时释放 GIL); 传入 Dask ``distributed.Client``
时, 每个任务在所在 worker 上以内存映射方式打开存储, 只把结果行传回。Dask 是可选
依赖 (``pip install tolvane[dask]``), 只有传入 Client 时才会用到。
"""

from __future__ import annotations

import concurrent.futures
import os
import threading
import warnings
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pandas as pd
from tqdm import tqdm

from ._core import GROUP_SPREAD_COLUMN, backtest_inputs
from ._factor_analysis import DEFAULT_HORIZONS, _checked_horizons
from ._store import PathLike, normalize_yyyymmdd
from .store_backtest import UnknownStocksWarning, checked_weights

__all__ = ["Variant", "factor_sweep", "sweep"]

# Where a task's row carries the notice about stocks the store does not know,
# until the caller's thread warns with it.
_NOTICE = "_unknown_stocks_notice"


@dataclass(frozen=True)
class Variant:
    """一个策略变体: 由存储矩阵生成权重矩阵的函数, 与调用它的参数。

    Attributes:
        make_weights: ``make_weights(data, **params)``, ``data`` 是存储读出的矩阵字典
            (键同 ``BinaryPreparedDataStore.load()``, 内存映射、只读), 返回日期 × 股票
            的目标权重矩阵。用 Dask 多进程时它必须能被 pickle (cloudpickle) 传给 worker。
        params: 传给 ``make_weights`` 的关键字参数; 也作为结果行中的列。
        name: 结果行中的变体名; 默认由函数名与参数组成, 如 "momentum(window=20, top=50)"。
    """

    make_weights: Callable[..., pd.DataFrame]
    params: Mapping[str, Any] = field(default_factory=dict)
    name: str | None = None

    @property
    def label(self) -> str:
        """结果行中的变体名。"""
        if self.name is not None:
            return self.name
        arguments = ", ".join(f"{key}={value!r}" for key, value in self.params.items())
        return f"{getattr(self.make_weights, '__name__', 'variant')}({arguments})"


def _as_variant(item) -> Variant:
    if isinstance(item, Variant):
        return item
    if callable(item):
        return Variant(item)
    if isinstance(item, tuple) and len(item) == 2 and callable(item[0]) and isinstance(item[1], Mapping):
        return Variant(item[0], item[1])
    raise TypeError(f"策略变体应为 Variant、可调用对象或 (可调用对象, 参数字典), 得到 {type(item).__name__}")


# ----------------------------------------------------------------- one task
# Each process keeps the store it last opened, memory-mapped: the tasks a
# worker runs share one mapping (and the page cache shares it between
# processes) instead of each reading its own copy.

_OPENED_LOCK = threading.Lock()
_OPENED: dict[tuple, tuple[dict, dict]] = {}


# What every factor of a sweep shares: the forward returns of the store the
# process last opened, by horizons.
_FORWARD: dict[tuple, dict] = {}


def _store_key(store_dir: str, start: str | None, end: str | None) -> tuple:
    from ._prepare import BinaryPreparedDataStore

    try:
        stamp = BinaryPreparedDataStore(store_dir).metadata_path.stat()
    except FileNotFoundError:
        raise FileNotFoundError(f"{store_dir} 中没有回测准备数据存储") from None
    return (store_dir, start, end, stamp.st_mtime_ns, stamp.st_size)


def _open_store(store_dir: str, start: str | None, end: str | None) -> tuple[dict, dict]:
    from ._prepare import BinaryPreparedDataStore

    key = _store_key(store_dir, start, end)
    with _OPENED_LOCK:
        if key not in _OPENED:
            store = BinaryPreparedDataStore(store_dir)
            data = store.load(start_date=start, end_date=end)
            if not data:
                raise FileNotFoundError(f"{store_dir} 中没有回测准备数据存储")
            _OPENED.clear()
            _FORWARD.clear()
            _OPENED[key] = (data, store.load_benchmarks(start, end))
        return _OPENED[key]


def _forward_returns(store_dir: str, start: str | None, end: str | None, horizons: tuple) -> dict:
    from ._factor_analysis import calc_forward_returns

    data, _ = _open_store(store_dir, start, end)
    key = (_store_key(store_dir, start, end), horizons)
    with _OPENED_LOCK:
        if key not in _FORWARD:
            _FORWARD[key] = calc_forward_returns(data, horizons)
        return _FORWARD[key]


def _run_variant(
    store_dir: str, start: str | None, end: str | None, variant: Variant, settings: dict
) -> dict:
    """在本进程打开 (或复用) 存储, 回测一个变体, 返回它的统计行。"""
    from ._strategy_kernel import run_strategy_backtest_core

    data, benchmarks = _open_store(store_dir, start, end)
    # A dict of its own, so that a variant adding entries does not touch the others.
    weights = variant.make_weights(dict(data), **variant.params)
    # What a variant returns is checked like a weights file: a transposed, empty,
    # infinite or unknown-stock frame would otherwise give a plausible row.
    close = data["close_price"]
    weights, notice = checked_weights(
        weights,
        close.columns,
        close.index,
        total_money=settings["total_money"],
        source=f"策略变体 {variant.label!r}",
    )
    # The statistics see only the primary benchmark; the others would only
    # make summary rows that the sweep does not return.
    primary = settings["benchmark_names"]
    benchmark_dict = {primary: benchmarks[primary]} if primary in benchmarks else None
    result = run_strategy_backtest_core(
        weights, **backtest_inputs(data), benchmark_dict=benchmark_dict, plot_save_path=None, **settings
    )
    return {"variant": variant.label, **variant.params, **result.stats, _NOTICE: notice}


def _make_factor(source, data: dict, params: Mapping) -> pd.DataFrame:
    if isinstance(source, pd.DataFrame):
        return source
    if isinstance(source, (str, os.PathLike)):
        from ._factor_data import read_factor_file

        return read_factor_file(source)
    return source(dict(data), **params)


def _run_factor(
    store_dir: str, start: str | None, end: str | None, label: str, source, params: Mapping, settings: dict
) -> dict:
    """在本进程打开 (或复用) 存储, 分析一个因子, 返回它的汇总行。"""
    from ._factor_report import analyse_factor

    data, _ = _open_store(store_dir, start, end)
    horizons = settings["horizons"]
    forward = _forward_returns(store_dir, start, end, horizons)
    report = analyse_factor(
        _make_factor(source, data, params),
        data,
        forward_returns=forward,
        factor_name=label,
        **{key: value for key, value in settings.items() if key != "horizons"},
    )
    row = {"factor": label, **params}
    summary = report.ic.summary
    for horizon in horizons:
        row[f"ic_mean_{horizon}"] = summary.loc[horizon, "ic_mean"]
        row[f"ic_ir_{horizon}"] = summary.loc[horizon, "ic_ir"]
    spread = report.group_stats.loc[GROUP_SPREAD_COLUMN]
    row["top_minus_bottom_annual_return"] = spread["annual_return"]
    row["top_minus_bottom_sharpe"] = spread["sharpe"]
    row["mean_turnover"] = float(report.group_turnover.mean().mean())
    return row


# ---------------------------------------------------------------- executors


def _is_dask_client(executor) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "gather")


def _run_serially(run, tasks, notes, bar) -> list[dict]:
    rows = []
    for task, note in zip(tasks, notes):
        try:
            rows.append(run(*task))
        except Exception as error:
            error.add_note(note)
            raise
        bar.update(1)
    return rows


def _collect(completed, index_of, count: int, notes, bar) -> list[dict]:
    """The rows of `count` tasks in task order, each put in its place as its task finishes."""
    rows: dict[int, dict] = {}
    for future in completed:
        index = index_of(future)
        try:
            rows[index] = future.result()
        except Exception as error:
            error.add_note(notes[index])
            raise
        bar.update(1)
    return [rows[index] for index in range(count)]


def _run_on_threads(workers: int, run, tasks, notes, bar) -> list[dict]:
    """On a thread pool that a failure does not wait for: the tasks already running
    finish in the background while the error reaches the caller at once."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="tolvane-sweep")
    succeeded = False
    try:
        rows = _run_on_futures(pool, run, tasks, notes, bar)
        succeeded = True
    finally:
        pool.shutdown(wait=succeeded, cancel_futures=True)
    return rows


def _run_on_futures(executor, run, tasks, notes, bar) -> list[dict]:
    futures = {executor.submit(run, *task): index for index, task in enumerate(tasks)}
    try:
        rows = _collect(concurrent.futures.as_completed(futures), futures.__getitem__, len(tasks), notes, bar)
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return rows


def _run_on_dask(client, run, tasks, notes, bar) -> list[dict]:
    from distributed import as_completed

    futures = [client.submit(run, *task, pure=False) for task in tasks]
    index_of = {future.key: index for index, future in enumerate(futures)}
    try:
        rows = _collect(as_completed(futures), lambda future: index_of[future.key], len(tasks), notes, bar)
    except BaseException:
        client.cancel(futures)
        raise
    return rows


def _run_tasks(
    run, tasks: list[tuple], notes: list[str], executor, max_workers: int | None, description: str
) -> list[dict]:
    """Runs `run(*task)` for every task on the chosen executor; rows in task order.
    A failure is raised at once with its task's note; tasks not started are cancelled."""
    with tqdm(total=len(tasks), desc=description, unit="个", disable=None, leave=False) as bar:
        if executor is None:
            workers = max_workers or min(len(tasks), os.cpu_count() or 1)
            if workers <= 1 or len(tasks) <= 1:
                return _run_serially(run, tasks, notes, bar)
            return _run_on_threads(workers, run, tasks, notes, bar)
        if _is_dask_client(executor):
            return _run_on_dask(executor, run, tasks, notes, bar)
        return _run_on_futures(executor, run, tasks, notes, bar)


def sweep(
    store_dir: PathLike,
    variants: Iterable,
    executor=None,
    *,
    start_date=None,
    end_date=None,
    benchmark: str = "000852",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    max_workers: int | None = None,
) -> pd.DataFrame:
    """在一个准备数据存储上回测许多策略变体, 每个变体返回一行统计指标。

    每个变体由 ``make_weights(data, **params)`` 从存储矩阵生成权重矩阵, 再由
    ``run_strategy_backtest_core`` 按存储的行情与基准回测 (不出图)。存储以内存映射
    方式打开, 同一进程中的任务共用一份映射。

    执行方式:

    - ``executor`` 为 None (默认): 本机线程池, 线程数为 ``max_workers``
      (默认 CPU 核数与变体数中较小者); ``max_workers=1`` 时在调用线程中逐个运行。
    - Dask ``distributed.Client``: 每个变体一个任务, 在 worker 上打开 ``store_dir``
      (worker 必须能以同一路径读到存储, 例如本机或共享文件系统), 只传回统计行;
      ``make_weights`` 由 cloudpickle 序列化。
    - 其他 ``concurrent.futures.Executor`` (如 ``ProcessPoolExecutor``): 同上, 在它的
      worker 中运行, 此时 ``make_weights`` 必须能被标准 pickle 序列化。

    每个变体返回的权重先经 ``check_weights`` 检查 (转置的、空的、含无穷或溢出的权重,
    以及没有一只存储中股票的权重都被拒绝; 部分股票不在存储中时发出
    ``UnknownStocksWarning``)。任一变体失败时立即抛出原异常 (附上变体名), 取消还没有
    开始的任务, 不等正在运行的任务结束。在终端上运行时显示进度条。

    Args:
        store_dir: 准备数据存储目录。
        variants: 策略变体: ``Variant``、``(make_weights, params)`` 或只有 ``make_weights``。
        executor: 执行器, 见上。
        start_date: 起始日期 (含); None 表示存储开头。
        end_date: 结束日期 (含); None 表示存储末尾。
        benchmark: 主基准名, 用于超额统计, 默认 "000852"。
        rolling_window: 权重移动平均窗口, 0 表示不平滑, 默认 0。
        total_money: 固定资金, 默认 1e8。
        fee: 佣金费率, 默认 0.0001。
        rule_fee: 印花税及规费费率, 默认 0.0005。
        max_workers: 默认线程池的线程数。

    Returns:
        pd.DataFrame: 每个变体一行, 按 ``variants`` 的顺序: "variant" (变体名)、各变体的
        参数列, 以及 ``calc_strategy_stats`` 的十三项统计指标。

    Raises:
        FileNotFoundError: 目录中没有存储。
        TypeError: 变体的形式不对。
    """
    variants = [_as_variant(item) for item in variants]
    directory = str(Path(store_dir).expanduser().resolve())
    start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
    _open_store(directory, start, end)  # a missing or unreadable store fails here, once
    settings = {
        "benchmark_names": benchmark,
        "rolling_window": rolling_window,
        "total_money": total_money,
        "fee": fee,
        "rule_fee": rule_fee,
    }
    tasks = [(directory, start, end, variant, settings) for variant in variants]

    rows = _run_tasks(
        _run_variant,
        tasks,
        [f"策略变体 {variant.label!r} 回测失败" for variant in variants],
        executor,
        max_workers,
        "策略变体",
    )
    for row in rows:
        notice = row.pop(_NOTICE)
        if notice is not None:
            warnings.warn(notice, UnknownStocksWarning, stacklevel=2)
    frame = pd.DataFrame(rows)
    if frame.empty:
        from .report import STAT_ROWS

        return pd.DataFrame(columns=["variant", *(key for key, _, _ in STAT_ROWS)])
    return frame


def _factor_items(factors) -> list[tuple[str, Any, Mapping]]:
    """(label, source, params) of each factor of a sweep."""
    if isinstance(factors, Mapping):
        items: list[tuple[str, Any, Mapping]] = []
        for name, source in factors.items():
            if isinstance(source, Variant):
                items.append((str(name), source.make_weights, dict(source.params)))
            elif isinstance(source, (pd.DataFrame, str, os.PathLike)) or callable(source):
                items.append((str(name), source, {}))
            else:
                raise TypeError(
                    f"因子 {name!r} 应为 DataFrame、因子文件路径或可调用对象, 得到 {type(source).__name__}"
                )
        return items
    variants = [_as_variant(item) for item in factors]
    return [(variant.label, variant.make_weights, dict(variant.params)) for variant in variants]


def factor_sweep(
    store_dir: PathLike,
    factors,
    executor=None,
    *,
    groups: int = 10,
    horizons=DEFAULT_HORIZONS,
    start_date=None,
    end_date=None,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
    max_workers: int | None = None,
) -> pd.DataFrame:
    """在一个准备数据存储上分析许多因子, 每个因子返回一行汇总。

    每个因子的数字与 ``factor_report`` 相同 (不出图): 各持有期的 IC 均值与 IR, 真实交易
    分组回测的多空价差年化收益与夏普, 以及各组日均换手的平均。
    执行方式与 ``sweep`` 相同: 默认本机线程池, 或任意 ``concurrent.futures.Executor``,
    或 Dask ``distributed.Client`` (每个任务在所在 worker 上以内存映射方式打开
    ``store_dir``, 只传回汇总行)。同一进程中的任务共用一份存储映射与一份远期收益。

    Args:
        store_dir: 准备数据存储目录。
        factors: 因子: 可迭代的 ``Variant``、``make_factor`` 或 ``(make_factor, params)``
            (``make_factor(data, **params)`` 由存储矩阵生成日期 × 股票的因子矩阵, 与
            ``sweep`` 的变体相同); 或因子名 → 因子的字典, 因子为 DataFrame、因子文件路径
            (见 ``read_factor_file``, 在 worker 上读取) 或上述可调用对象。
        executor: 执行器, 见上。
        groups: 分组数, 默认 10。
        horizons: 持有期, 默认 (1, 5, 10, 20)。
        start_date, end_date: 只用存储中这一段日期 (含两端); None 表示不限。
        total_money, fee, rule_fee, lot_size: 分组回测的交易参数。
        max_workers: 默认线程池的线程数。

    Returns:
        pd.DataFrame: 每个因子一行, 按 ``factors`` 的顺序: "factor" (因子名)、参数列、
        "ic_mean_<h>" 与 "ic_ir_<h>" (每个持有期)、"top_minus_bottom_annual_return"、
        "top_minus_bottom_sharpe" 与 "mean_turnover" (各组日换手的平均)。

    Raises:
        FileNotFoundError: 目录中没有存储。
        TypeError: 因子的形式不对。
    """
    items = _factor_items(factors)
    horizons = _checked_horizons(horizons)
    directory = str(Path(store_dir).expanduser().resolve())
    start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
    _open_store(directory, start, end)  # a missing or unreadable store fails here, once
    settings = {
        "horizons": horizons,
        "groups": groups,
        "total_money": total_money,
        "fee": fee,
        "rule_fee": rule_fee,
        "lot_size": lot_size,
    }
    tasks = [(directory, start, end, label, source, params, settings) for label, source, params in items]
    rows = _run_tasks(
        _run_factor,
        tasks,
        [f"因子 {label!r} 分析失败" for label, _, _ in items],
        executor,
        max_workers,
        "因子",
    )
    if not rows:
        columns = [
            "factor",
            *(f"{kind}_{h}" for h in horizons for kind in ("ic_mean", "ic_ir")),
            "top_minus_bottom_annual_return",
            "top_minus_bottom_sharpe",
            "mean_turnover",
        ]
        return pd.DataFrame(columns=columns)
    return pd.DataFrame(rows)
