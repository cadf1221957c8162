"""研究因子到存储的轴上: 从数据服务读取 (``load_factors``) 或从文件读取 (``read_factor_file``)。

数据服务的因子应答是窄表 (date、ukey、value、factor), 构建器用原生的长表转宽表核心把它
透视成矩阵; ``load_factors`` 用同一个核心, 只是直接落在存储的日期与股票上, 不经过
pandas 的 pivot 与 reindex。
"""

from __future__ import annotations

import os
from pathlib import Path

import pandas as pd

from ._store import normalize_yyyymmdd

__all__ = ["load_factors", "read_factor_file"]


def _axes_of(like) -> tuple[pd.Index, pd.Index]:
    """The dates and stocks of a store's matrix, a store, or a store's folder."""
    if isinstance(like, pd.DataFrame):
        return like.index, like.columns
    from ._prepare import BinaryPreparedDataStore

    store = (
        like
        if isinstance(like, BinaryPreparedDataStore)
        else BinaryPreparedDataStore(Path(like).expanduser())
    )
    matrices = store.load(keys=["close_price"])
    if not matrices or "close_price" not in matrices:
        raise FileNotFoundError(f"{store.store_dir} 中没有回测准备数据存储")
    close = matrices["close_price"]
    return close.index, close.columns


def _compact_dates(index: pd.Index) -> pd.Index:
    """The dates as "YYYYMMDD" text, the form the conversion gives the service's dates."""
    texts = index.astype(str)
    if len(texts) and texts.str.fullmatch(r"\d{8}").all():
        return pd.Index(texts)
    return pd.Index([normalize_yyyymmdd(date) for date in index])


def load_factors(names, like, service=None):
    """从数据服务读取研究因子, 返回落在 ``like`` 的日期与股票上的矩阵。

    一次查询 ``like`` 的首日到末日的全部因子 (``service.get_factors``), 应答由构建器所用的
    原生长表转宽表核心直接放到 ``like`` 的轴上: 股票代码取前六位 ("000001.XSHE" 即
    "000001"), 日期规范成 "YYYYMMDD"; 股票、日期或数值缺失的行丢弃; 同一股票同一日期的
    多行保留最后一行; 正负无穷视为缺失; 不在 ``like`` 的日期或股票上的行丢弃, 没有行的
    格为 NaN。结果与 pandas 的 ``pivot`` 再 ``reindex`` 到 ``like`` 相同。

    Args:
        names: 因子名 (str) 或因子名列表。
        like: 存储中的一个矩阵 (日期 × 股票 DataFrame, 如 ``store.load()["close_price"]``)、
            ``BinaryPreparedDataStore`` 或存储目录。
        service: 数据服务对象 (有 ``get_factors``); None 时用 ``tolvane.get_instance()``。

    Returns:
        names 为 str 时是一个 DataFrame, 否则是因子名 → DataFrame 的字典 (按 names 的顺序);
        每个矩阵的索引与列正是 ``like`` 的 (float64)。应答中没有的因子全为 NaN。

    Raises:
        ValueError: 没有因子名, 或 ``like`` 的日期或股票有重复。
        FileNotFoundError: ``like`` 是没有存储的目录。
        NetworkError: 无法连接数据服务。
    """
    from ._prepare import factor_matrices_on_axes, parse_name_list

    single = isinstance(names, str)
    wanted = parse_name_list(names)
    if not wanted:
        raise ValueError("没有给出因子名")
    wanted = list(dict.fromkeys(wanted))
    index, columns = _axes_of(like)
    if service is None:
        from tolvane.singleton import get_instance

        service = get_instance()
    dates = _compact_dates(index)
    answer = None
    if len(dates):
        first, last = (f"{text[:4]}-{text[4:6]}-{text[6:]}" for text in (dates.min(), dates.max()))
        answer = service.get_factors(
            factor=wanted[0] if len(wanted) == 1 else wanted, start_date=first, end_date=last
        )
    matrices = factor_matrices_on_axes(answer, wanted, dates, pd.Index(columns).astype(str))
    matrices = {
        name: matrix.set_axis(index, axis=0).set_axis(columns, axis=1) for name, matrix in matrices.items()
    }
    return matrices[wanted[0]] if single else matrices


def read_factor_file(path: str | os.PathLike) -> pd.DataFrame:
    """读取因子文件 (``.parquet`` 或 ``.csv``), 返回日期 × 股票的因子矩阵。

    与权重文件 (``read_weights``) 的形式相同: 宽表 (一行一个日期: 日期列或日期索引, 其余
    每列一只股票) 或长表 (date、ukey 两列加一个数值列: "value"、"factor_value" 或
    "weight")。日期规范成 "YYYYMMDD" 文本并升序排列, 股票代码取前六位; 与权重不同,
    缺失的值保持 NaN (不入组、不参与 IC)。

    Raises:
        FileNotFoundError: 文件不存在。
        ValueError: 扩展名不支持, 或内容不是因子表。
    """
    from .store_backtest import FACTOR_COLUMNS, read_date_stock_table

    return read_date_stock_table(path, FACTOR_COLUMNS, missing=float("nan"), kind="因子")
