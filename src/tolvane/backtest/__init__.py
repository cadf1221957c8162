"""回测:策略 VWAP 日收益引擎、统计、回测数据准备与基准数据包。

常用入口 (首次使用时才加载, ``import tolvane.backtest`` 本身很轻):

- ``download_benchmark_package(http, store_dir)`` 下载并铺开基准数据包 (一个回测准备
  数据存储), ``http`` 为 ``tolvane.init(...)`` 返回的服务对象的 ``.http``。
- ``prepare_store(store_dir, start_date, end_date)`` 完整构建回测准备数据并写成存储;
  ``update_store(store_dir, end_date=None)`` 把已有存储增量更新到新的结束日期。
- ``BinaryPreparedDataStore(store_dir).load()`` 以内存映射方式读取存储中的矩阵;
  ``GroupPreparedDataBuilder`` 是底层的构建器。
- ``run_strategy_backtest_core`` 对权重矩阵与行情矩阵运行完整回测,
  ``calc_strategy_stats`` 计算统计指标; ``backtest_inputs(matrices)`` 从存储的矩阵中
  取出引擎的八个行情参数。
- ``run_store_backtest(store, weights, output_dir=...)`` 用存储回测一个权重矩阵或
  权重文件 (``read_weights``), 写出报告图与统计 JSON。
- ``ensure_cjk_font()`` 让 matplotlib 找到已安装的中文字体 (字体缓存过旧时也可以)。
- ``calc_all_group_vwap_daily_return`` 因子分组回测 (``calc_factor_groups`` 给出分组;
  ``calc_all_group_vwap_daily_return_with_turnover`` 同时给出各组日换手率),
  ``calc_factor_ic`` 因子 IC, ``factor_rank_autocorrelation`` 因子秩自相关,
  ``plot_factor_groups`` 分组净值与累计 IC 图。
- ``sweep(store_dir, variants)`` 在线程或 Dask 集群上回测许多策略变体 (``Variant``)。
"""

from __future__ import annotations

import importlib

# Public name -> the submodule that defines it.
_EXPORTS = {
    "BinaryPreparedDataStore": "._prepare",
    "GroupPreparedDataBuilder": "._prepare",
    "download_benchmark_package": "._bundle",
    "prepare_store": ".prepared",
    "update_store": ".prepared",
    "run_strategy_backtest_core": "._strategy_kernel",
    "calc_strategy_stats": "._strategy_kernel",
    "backtest_inputs": "._core",
    "read_weights": ".store_backtest",
    "run_store_backtest": ".store_backtest",
    "ensure_cjk_font": ".chart_fonts",
    "calc_all_group_vwap_daily_return": "._core",
    "calc_all_group_vwap_daily_return_with_turnover": "._core",
    "calc_factor_groups": "._core",
    "FactorIC": "._factor_analysis",
    "calc_factor_ic": "._factor_analysis",
    "factor_rank_autocorrelation": "._factor_analysis",
    "plot_factor_groups": "._factor_analysis",
    "Variant": "._sweep",
    "sweep": "._sweep",
}

__all__ = list(_EXPORTS)


def __getattr__(name: str):
    module_name = _EXPORTS.get(name)
    if module_name is None:
        raise AttributeError(f"module 'tolvane.backtest' has no attribute {name!r}")
    value = getattr(importlib.import_module(module_name, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
