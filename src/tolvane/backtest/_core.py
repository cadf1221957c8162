"""回测公共部件:行情矩阵对齐、因子分组回测、夏普比率与日期索引转换。

策略回测引擎(``tolvane.backtest._strategy_kernel``)在每次调用时通过这里把
八个行情矩阵对齐到收益日期与股票列;统计与作图用 ``safe_sharpe`` 和
``_with_datetime_index``。因子分组回测 ``calc_all_group_vwap_daily_return``
用同样的对齐与同一套逐日交易规则,一次遍历算出全部分组的日收益。
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


#: Where each market matrix of the engine lives in a prepared data store.
STORE_MARKET_KEYS = {
    "can_buy_stock": "can_buy_stock",
    "cant_sell_stock": "cant_sell_stock",
    "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend",
    "close_price": "close_price",
    "prev_close": "prev_close",
    "buy_price": "buy_price",
    "sell_price": "sell_price",
}


def backtest_inputs(data: dict) -> dict[str, pd.DataFrame]:
    """从准备数据存储读出的矩阵字典中取出回测引擎的八个行情矩阵。

    存储中拆分与分红因子的键为 "rq_get_split" 与 "rq_get_dividend",
    这里按引擎的参数名 ``split_factor``、``dividend_factor`` 返回, 可以直接
    ``**backtest_inputs(data)`` 传给 ``calc_strategy_vwap_daily_return``、
    ``run_strategy_backtest_core`` 与 ``calc_all_group_vwap_daily_return``。

    Args:
        data: ``BinaryPreparedDataStore.load()`` 返回的字典。

    Returns:
        引擎参数名 → 日期 × 股票矩阵 (原对象, 不复制)。

    Raises:
        KeyError: 字典中缺少某个行情矩阵。
    """
    missing = [key for key in STORE_MARKET_KEYS.values() if key not in data]
    if missing:
        raise KeyError(f"准备数据中缺少行情矩阵 {missing}")
    return {name: data[key] for name, key in STORE_MARKET_KEYS.items()}


#: The column of the spread between the highest and the lowest factor group.
GROUP_SPREAD_COLUMN = "top_minus_bottom"


def group_column_names(group_num: int) -> list[str]:
    """分组日收益表的分组列名: "group_1" (因子值最小的一组) 到 "group_<group_num>"。"""
    return [f"group_{group}" for group in range(1, int(group_num) + 1)]


def _factor_values(factor_matrix: pd.DataFrame) -> np.ndarray:
    return factor_matrix.to_numpy(dtype=np.float64, na_value=np.nan, copy=False)


def calc_factor_groups(factor_matrix: pd.DataFrame, group_num: int = 10) -> pd.DataFrame:
    """按因子值把每个交易日的股票分成数量相等的组, 返回每只股票的组号。

    分组规则与 ``calc_all_group_vwap_daily_return`` 相同: 当日因子值为有限数的
    n 只股票按因子值升序排列, 相同的值按列的先后排; 排第 p 位 (从 0 起) 的股票
    进入第 floor(p × group_num / n) + 1 组。各组人数至多相差一只, 除不尽时多出的
    股票均匀分布在各组 (例如 23 只分 10 组, 第 1、4、7 组各 3 只, 其余各 2 只)。
    NaN 与正负无穷不入组; 当日有因子值的股票少于 ``group_num`` 只时整天不分组。

    Args:
        factor_matrix: 因子矩阵 (日期 × 股票)。
        group_num: 分组数, 1 到股票数之间, 默认 10。

    Returns:
        与 ``factor_matrix`` 同索引同列的组号 (float; 1 为因子值最小的一组, 不入组为 NaN)。

    Raises:
        ValueError: ``group_num`` 不在 1 与股票数之间。
    """
    from . import _groups

    groups = _groups.factor_groups(_factor_values(factor_matrix), group_num)
    return pd.DataFrame(groups, index=factor_matrix.index, columns=factor_matrix.columns, copy=False)


def _group_backtest(factor_matrix, market_frames, group_num, costs, with_turnover):
    """Both group backtests: the returns frame, and the turnover frame (None
    unless ``with_turnover``)."""
    from . import _groups

    columns = group_column_names(group_num)
    index = factor_matrix.index
    if len(index) <= 1:
        returns = pd.DataFrame(columns=[*columns, GROUP_SPREAD_COLUMN], dtype=float)
        return returns, pd.DataFrame(columns=columns, dtype=float) if with_turnover else None
    if not index.is_unique:
        raise ValueError(f"factor_matrix 的日期有重复: {list(index[index.duplicated()][:5])}")
    pnl_index = index[1:]
    market = _build_market_arrays(pnl_index, factor_matrix.columns, *market_frames)
    # Row i of the factor groups the stocks traded on day i + 1.
    arguments = (_factor_values(factor_matrix)[:-1], market, group_num, *costs)
    if with_turnover:
        returns, turnover = _groups.group_vwap_daily_return_with_turnover(*arguments)
        turnover = pd.DataFrame(turnover, index=pnl_index, columns=columns, copy=False)
    else:
        returns, turnover = _groups.group_vwap_daily_return(*arguments), None
    frame = pd.DataFrame(returns, index=pnl_index, columns=columns, copy=False)
    frame[GROUP_SPREAD_COLUMN] = frame[columns[-1]] - frame[columns[0]]
    return frame, turnover


def calc_all_group_vwap_daily_return(
    factor_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    group_num: int = 10,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> pd.DataFrame:
    """因子分组回测: 计算各因子分组等权组合的 VWAP 日收益与多空价差。

    每个交易日按 ``calc_factor_groups`` 的规则把有因子值的股票分成 ``group_num``
    组 (组内人数相等, 除不尽时至多相差一只; 相同的因子值按列的先后排)。每组是在
    固定资金 ``total_money`` 上等权持有组内股票的组合, T-1 日的分组在 T 日成交,
    交易规则与 ``calc_strategy_vwap_daily_return`` 完全相同: 整手取整、不可买的
    不买、不可卖的继续持有、拆分与分红、买卖佣金与卖出规费。因此每组的日收益
    等于把该组的等权权重矩阵交给单组合引擎得到的结果。所有分组在一次逐日遍历中
    同时推进, 每个行情数组每天只读一次。进程可用两个及以上的 CPU 核时, 每天的分组、
    目标股数与当日行情在第二个线程上提前算好, 与逐日成交分担计算; 结果与单核时逐位相同。

    行情矩阵按 ``factor_matrix`` 的日期与股票对齐 (见 ``_build_market_arrays``);
    准备数据存储读出的矩阵可以用 ``**backtest_inputs(data)`` 传入。

    Args:
        factor_matrix: 因子矩阵 (日期 × 股票); NaN 与正负无穷的股票当日不入组。
        can_buy_stock: 可买入矩阵, True 表示当日可以买入。
        cant_sell_stock: 不可卖出矩阵, True 表示当日不能卖出。
        split_factor: 拆分/送股因子; NaN 视为 1。
        dividend_factor: 每股现金分红; NaN 视为 0。
        close_price: 当日收盘价。
        prev_close: 前一交易日收盘价。
        buy_price: 当日买入成交价 (VWAP)。
        sell_price: 当日卖出成交价 (VWAP)。
        group_num: 分组数, 1 到股票数之间, 默认 10。
        total_money: 每组的固定资金, 必须是有限的正数, 默认 1e8。
        fee: 佣金费率, 买卖双边收取, 取值 [0, 1), 默认 0.0001。
        rule_fee: 印花税及规费费率, 仅卖出收取, 取值 [0, 1), 默认 0.0005。
        lot_size: 每手股数, 不小于 1, 默认 200。

    Returns:
        以 ``factor_matrix.index[1:]`` 为索引的日收益表 (比例): "group_1" (因子值最小)
        到 "group_<group_num>" (因子值最大) 各一列, 以及最高组减最低组的
        "top_minus_bottom"。因子矩阵不足两行时为只有列名的空表。

    Raises:
        ValueError: 参数超出取值范围, 或因子矩阵的日期有重复。
    """
    returns, _ = _group_backtest(
        factor_matrix,
        (
            can_buy_stock,
            cant_sell_stock,
            split_factor,
            dividend_factor,
            close_price,
            prev_close,
            buy_price,
            sell_price,
        ),
        group_num,
        (total_money, fee, rule_fee, lot_size),
        with_turnover=False,
    )
    return returns


def calc_all_group_vwap_daily_return_with_turnover(
    factor_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    group_num: int = 10,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """因子分组回测的日收益与各组日换手率, 在同一次遍历中得出。

    参数、分组与交易规则和 ``calc_all_group_vwap_daily_return`` 完全相同, 返回的
    日收益表也与它逐位相同。换手率由回测记账的成交直接得出: 某组某日的换手率是
    该组当日每只股票成交金额的绝对值之和除以固定资金 ``total_money``, 其中买入的
    成交金额为买入股数 × 当日买入成交价, 卖出的为卖出股数 × 当日拆分因子 (NaN 视为 1)
    × 当日卖出成交价 (与卖出所得的记账一致); 成交价缺失 (NaN) 的成交按 0 计,
    与它对日收益的贡献一样。全部调仓到新的一组约为 2 (卖出 1 + 买入 1)。

    Returns:
        ``(returns, turnover)``: ``returns`` 即 ``calc_all_group_vwap_daily_return``
        的返回值; ``turnover`` 以 ``factor_matrix.index[1:]`` 为索引, "group_1" 到
        "group_<group_num>" 各一列 (比例)。因子矩阵不足两行时两者都是只有列名的空表。

    Raises:
        ValueError: 参数超出取值范围, 或因子矩阵的日期有重复。
    """
    return _group_backtest(
        factor_matrix,
        (
            can_buy_stock,
            cant_sell_stock,
            split_factor,
            dividend_factor,
            close_price,
            prev_close,
            buy_price,
            sell_price,
        ),
        group_num,
        (total_money, fee, rule_fee, lot_size),
        with_turnover=True,
    )


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
