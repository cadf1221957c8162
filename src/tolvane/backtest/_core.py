"""回测公共部件:行情矩阵对齐、夏普比率与日期索引转换。

策略回测引擎(``tolvane.backtest._strategy_kernel``)在每次调用时通过这里把
八个行情矩阵对齐到收益日期与股票列;统计与作图用 ``safe_sharpe`` 和
``_with_datetime_index``。
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

# The aligned array of each market matrix, in the order they are passed, with
# what a cell the matrix lacks holds. A stock absent from the market cannot be
# traded: it may not be bought (can_buy False) nor sold (cant_sell True).
_MARKET_ARRAYS = (
    ("can_buy_arr", False),
    ("cant_sell_arr", True),
    ("split_arr", np.nan),
    ("dividend_arr", np.nan),
    ("close_arr", np.nan),
    ("prev_close_arr", np.nan),
    ("buy_price_arr", np.nan),
    ("sell_price_arr", np.nan),
)


def _label_run(labels: pd.Index, wanted: pd.Index) -> slice | None:
    """``wanted`` 在 ``labels`` 中作为连续一段出现时返回其位置切片,否则返回 None。"""
    if labels.equals(wanted):
        return slice(None)
    count = len(wanted)
    if count == 0 or count > len(labels) or not labels.is_unique:
        return None
    start = labels.get_indexer(wanted[:1])[0]
    if start < 0 or not labels[start : start + count].equals(wanted):
        return None
    return slice(start, start + count)


def _cached_run(cache: dict[int, slice | None], labels: pd.Index, wanted: pd.Index) -> slice | None:
    if id(labels) not in cache:
        cache[id(labels)] = _label_run(labels, wanted)
    return cache[id(labels)]


def _restriction_values(values: np.ndarray, missing: bool) -> np.ndarray:
    if values.dtype == bool:
        return values
    known = np.where(pd.isna(values), missing, values)
    return known.astype(bool)


def _build_market_arrays(
    pnl_index,
    columns,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
) -> dict[str, np.ndarray]:
    """把八个行情矩阵对齐到收益日期与股票列,返回二维数组字典。

    每个矩阵若已按 ``pnl_index`` 与 ``columns`` 排列(或二者是其行、列中连续的一段,
    例如行情矩阵比收益日期多出开头一天),并且类型正确(价格为 float64、限制为 bool),
    返回的就是其数据的零拷贝视图(pandas 3 下可能只读);否则用 ``reindex`` 对齐后转换。

    对齐时新增的单元格:价格与因子(拆分、分红、收盘价、前收盘价、买卖价)为 NaN;
    不在行情中的股票无法交易,因此 ``can_buy_arr`` 为 False、``cant_sell_arr`` 为 True。
    非布尔类型的限制矩阵中的缺失值按同样规则处理,其余值按真值转换。

    Args:
        pnl_index: 需要收益的日期(行)。
        columns: 权重矩阵的股票列。
        can_buy_stock: 可买入矩阵(True 表示当日可买)。
        cant_sell_stock: 不可卖出矩阵(True 表示当日不可卖)。
        split_factor: 拆分/送股因子。
        dividend_factor: 每股现金分红。
        close_price: 收盘价。
        prev_close: 前收盘价。
        buy_price: 买入成交价(VWAP)。
        sell_price: 卖出成交价(VWAP)。

    Returns:
        键为 "prev_close_arr"、"can_buy_arr"、"cant_sell_arr"、"close_arr"、
        "buy_price_arr"、"sell_price_arr"、"split_arr"、"dividend_arr" 的字典,
        每个值形状为 (len(pnl_index), len(columns))。
    """
    pnl_index = pd.Index(pnl_index)
    columns = pd.Index(columns)
    frames = (
        can_buy_stock,
        cant_sell_stock,
        split_factor,
        dividend_factor,
        close_price,
        prev_close,
        buy_price,
        sell_price,
    )
    # The matrices normally share their index and columns: locate each distinct
    # label set once. The frames keep their labels alive, so ids stay unique.
    row_runs: dict[int, slice | None] = {}
    col_runs: dict[int, slice | None] = {}
    arrays = {}
    for (key, missing), frame in zip(_MARKET_ARRAYS, frames):
        rows = _cached_run(row_runs, frame.index, pnl_index)
        cols = _cached_run(col_runs, frame.columns, columns)
        if rows is None or cols is None:
            frame = frame.reindex(index=pnl_index, columns=columns, fill_value=missing)
            rows = cols = slice(None)
        if isinstance(missing, bool):
            values = _restriction_values(frame.to_numpy(copy=False), missing)
        else:
            values = frame.to_numpy(dtype=np.float64, na_value=np.nan, copy=False)
        # Positional slices of the frame's own array are views of its data.
        arrays[key] = values[rows, cols]
    return arrays


def safe_sharpe(series, periods: int = 252) -> float:
    """年化夏普比率:均值 ÷ 标准差 × sqrt(periods)。

    NaN 值被跳过;标准差为样本标准差(ddof=1)。结果无定义时返回 0.0:
    序列为空或全为 NaN、只剩一个值、标准差为 0(或只是常数序列的舍入噪声,
    即不超过 |均值| 的 1e-12 倍)、或含无穷值使标准差不是有限数。

    Args:
        series: 日收益序列(比例,0.01 = 1%),Series 或任意一维数值序列。
        periods: 每年的期数,默认 252 个交易日。

    Returns:
        年化夏普比率(float)。
    """
    values = np.asarray(series, dtype=np.float64).ravel()
    values = values[~np.isnan(values)]
    if values.size < 2:
        return 0.0
    with np.errstate(invalid="ignore"):  # an infinite value makes the deviation NaN
        mean = values.mean()
        std = values.std(ddof=1)
    if not math.isfinite(std) or std <= abs(mean) * 1e-12:
        return 0.0
    return float(mean / std * math.sqrt(periods))


def _as_datetime_index(index: pd.Index) -> pd.DatetimeIndex:
    if isinstance(index, pd.DatetimeIndex):
        return index
    texts = index.astype(str)
    if len(texts) and texts.str.fullmatch(r"\d{8}").all():
        # Compact YYYYMMDD, as text or as integers; other forms pandas reads itself.
        return pd.DatetimeIndex(pd.to_datetime(texts, format="%Y%m%d"), name=index.name)
    return pd.DatetimeIndex(pd.to_datetime(index), name=index.name)


def _with_datetime_index(data):
    """返回值与列不变、索引换成 ``DatetimeIndex`` 的 Series 或 DataFrame。

    索引可以是 "YYYYMMDD" 或 "YYYY-MM-DD" 文本、整数 YYYYMMDD、日期或时间戳;
    已是 ``DatetimeIndex`` 时原样返回。无法识别的日期由 pandas 报错。

    Args:
        data: 按日期索引的 Series 或 DataFrame。

    Returns:
        同类型对象,索引为 ``DatetimeIndex``(保留索引名)。
    """
    if isinstance(data.index, pd.DatetimeIndex):
        return data
    converted = data.copy(deep=False)
    converted.index = _as_datetime_index(data.index)
    return converted
