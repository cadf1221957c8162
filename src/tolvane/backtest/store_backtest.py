"""用回测准备数据存储回测一个权重矩阵。

存储中的矩阵名与 ``run_strategy_backtest_core`` 的参数名只在拆股与分红两处不同
(存储为 "rq_get_split"、"rq_get_dividend"), ``_core.backtest_inputs`` 做这一映射。
:func:`read_weights` 读取 Parquet 或 CSV 权重文件, :func:`run_store_backtest` 把
权重对齐到存储的交易日与股票, 用存储中的行情与三个基准回测, 并可写出两张报告图
与统计 JSON。
"""

from __future__ import annotations

import os
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from ._core import STORE_MARKET_KEYS, backtest_inputs
from ._prepare import BinaryPreparedDataStore
from ._store import normalize_yyyymmdd
from ._strategy_kernel import run_strategy_backtest_core
from .chart_fonts import ensure_cjk_font
from .report import STATISTICS_FILE, write_statistics_json

__all__ = [
    "MAIN_IMAGE_FILE",
    "UnknownStocksWarning",
    "check_weights",
    "checked_weights",
    "normalize_weights",
    "read_date_stock_table",
    "read_weights",
    "run_store_backtest",
]

#: File name of the main report image; the weekly chart goes beside it.
MAIN_IMAGE_FILE = "strategy_backtest.png"

_DATE_COLUMNS = ("date", "datadate", "trade_date")
#: The value column of a long weights table, and of a long factor table.
WEIGHT_COLUMNS = ("weight",)
FACTOR_COLUMNS = ("value", "factor_value", "weight")


def _columns_by_lower_name(frame: pd.DataFrame) -> dict[str, object]:
    return {str(column).strip().lower(): column for column in frame.columns}


def _wide_table(
    frame: pd.DataFrame, first_column_is_date: bool, value_columns=WEIGHT_COLUMNS
) -> pd.DataFrame:
    """The date x stock table of a file's contents, long or wide."""
    columns = _columns_by_lower_name(frame)
    value_name = next((name for name in value_columns if name in columns), None)
    if "ukey" in columns and value_name is None:
        raise ValueError(
            f"长表 (date、ukey、{'/'.join(value_columns)}) 缺少数值列; 表中的列: {list(frame.columns)[:8]}"
        )
    if "date" in columns and "ukey" in columns:
        assert value_name is not None, "a long table without a value column was refused above"
        date, ukey, value = columns["date"], columns["ukey"], columns[value_name]
        long = frame[[date, ukey, value]].assign(**{str(ukey): frame[ukey].astype(str).str.strip().str[:6]})
        long[value] = pd.to_numeric(long[value], errors="raise")
        return long.pivot_table(index=date, columns=ukey, values=value, aggfunc="last")
    date_column = next((columns[name] for name in _DATE_COLUMNS if name in columns), None)
    if date_column is not None:
        return frame.set_index(date_column)
    if first_column_is_date:
        return frame.set_index(frame.columns[0])
    if isinstance(frame.index, pd.RangeIndex):
        raise ValueError("表中没有日期: 需要日期索引或 date 列")
    return frame


def normalize_weights(weights: pd.DataFrame, missing: float = 0.0) -> pd.DataFrame:
    """把日期 × 股票的权重整理成存储的形式。

    日期 (int YYYYMMDD、"YYYY-MM-DD"/"YYYYMMDD" 文本、日期或时间戳) 变为 "YYYYMMDD"
    文本并升序排列; 股票代码取前六位 ("000001.XSHE" 即 "000001", 与存储相同);
    缺失的权重为 ``missing`` (默认 0; 因子表用 NaN, 保持缺失)。

    Raises:
        ValueError: 日期无法识别或重复、代码截取后重复、权重不是数字, 或表为空。
    """
    if weights.empty:
        raise ValueError("权重表为空")
    dates = pd.Index([normalize_yyyymmdd(date) for date in weights.index], dtype="str", name="DataDate")
    if dates.has_duplicates:
        raise ValueError(f"权重表中日期重复: {sorted(set(dates[dates.duplicated()]))[:5]}")
    codes = pd.Index([str(code).strip()[:6] for code in weights.columns], dtype="str", name="ukey")
    if codes.has_duplicates:
        raise ValueError(f"权重表中股票代码 (取前六位后) 重复: {sorted(set(codes[codes.duplicated()]))[:5]}")
    values = weights.apply(pd.to_numeric, errors="raise").to_numpy(dtype=np.float64)
    frame = pd.DataFrame(values, index=dates, columns=codes).fillna(missing)
    return frame.sort_index()


def read_weights(path: str | os.PathLike) -> pd.DataFrame:
    """读取权重文件 (``.parquet`` 或 ``.csv``), 返回整理好的日期 × 股票权重。

    文件可以是宽表 (一行一个日期: 日期列或日期索引, 其余每列一只股票) 或长表
    (date、ukey、weight 三列)。CSV 宽表没有名为 date 的列时, 第一列为日期。
    整理规则见 :func:`normalize_weights`。

    Raises:
        FileNotFoundError: 文件不存在。
        ValueError: 扩展名不支持, 或内容不是权重表。
    """
    return read_date_stock_table(path, WEIGHT_COLUMNS, missing=0.0, kind="权重")


def read_date_stock_table(
    path: str | os.PathLike, value_columns=WEIGHT_COLUMNS, missing: float = 0.0, kind: str = "权重"
) -> pd.DataFrame:
    """读取日期 × 股票的表 (``.parquet`` 或 ``.csv``, 宽表或长表), 按 :func:`normalize_weights` 整理。

    长表是 date、ukey 两列加 ``value_columns`` 中第一个存在的数值列 (列名不分大小写)。

    Raises:
        FileNotFoundError: 文件不存在。
        ValueError: 扩展名不支持, 或内容无法读取、不是日期 × 股票的表; 信息以文件路径开头。
    """
    path = Path(path).expanduser()
    if not path.is_file():
        raise FileNotFoundError(f"{kind}文件不存在: {path}")
    suffix = path.suffix.lower()
    if suffix not in (".parquet", ".csv"):
        raise ValueError(f"不支持的{kind}文件格式 {path.name!r}: 需要 .parquet 或 .csv")
    try:
        if suffix == ".parquet":
            table = _wide_table(
                pd.read_parquet(path), first_column_is_date=False, value_columns=value_columns
            )
        else:
            # As text, so that codes keep their leading zeros and dates their form.
            table = _wide_table(
                pd.read_csv(path, dtype=str), first_column_is_date=True, value_columns=value_columns
            )
        return normalize_weights(table, missing=missing)
    except (ValueError, TypeError, OSError, pd.errors.ParserError, pd.errors.EmptyDataError) as error:
        # Parquet readers raise their own error types, which derive from these.
        raise ValueError(f"{path}: 无法读取{kind}: {error}") from error


#: Beyond this, a day's gross position (the sum of |weight| times the capital)
#: overflows the engine's arithmetic into infinities.
_LARGEST_GROSS_POSITION = 1e300


class UnknownStocksWarning(UserWarning):
    """权重中有存储不认识的股票: 它们不参与回测, 警告中给出它们占权重的比例。"""


def checked_weights(
    weights, stocks: pd.Index, dates: pd.Index, *, total_money: float, source: str
) -> tuple[pd.DataFrame, str | None]:
    """:func:`check_weights` without the warning: the weights and the notice about the
    stocks the store does not know (None when there are none)."""
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"{source}: 权重应为日期 × 股票的 DataFrame, 得到 {type(weights).__name__}")
    if weights.empty:
        raise ValueError(f"{source}: 权重表为空 ({weights.shape[0]} 行 × {weights.shape[1]} 列)")
    try:
        values = weights.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        column = next(
            column
            for column in weights.columns
            if pd.to_numeric(weights[column], errors="coerce").isna().sum() > weights[column].isna().sum()
        )
        raise ValueError(f"{source}: {column} 列中有不是数字的权重") from None
    infinite = np.argwhere(np.isinf(values))
    if len(infinite):
        row, column = infinite[0]
        raise ValueError(
            f"{source}: {weights.index[row]} 行 {weights.columns[column]} 列的权重为 "
            f"{values[row, column]}, 无法交易"
        )
    with np.errstate(over="ignore"):
        gross = np.nansum(np.abs(values), axis=1) * total_money
    overflowing = np.flatnonzero(~(gross < _LARGEST_GROSS_POSITION))
    if len(overflowing):
        row = overflowing[0]
        column = int(np.nanargmax(np.abs(values[row])))
        raise ValueError(
            f"{source}: {weights.index[row]} 行的持仓会溢出 ({weights.columns[column]} 列的权重为 "
            f"{values[row, column]:g}): 权重是占资金的比例, 不是金额或股数"
        )
    try:
        labels = pd.Index([normalize_yyyymmdd(label) for label in weights.index])
    except (TypeError, ValueError):
        raise ValueError(f"{source}: 行标签 {list(weights.index[:3])} 不是日期 (权重表是否转置了?)") from None
    # A row dated on a day without trading takes effect on the next trading day,
    # so what must overlap is the span of the rows.
    first, last = labels.min(), labels.max()
    if not ((dates >= first) & (dates <= last)).any():
        raise ValueError(
            f"{source}: 权重的日期 {first}..{last} 与存储的交易日 "
            f"{dates[0] if len(dates) else '-'}..{dates[-1] if len(dates) else '-'} 没有重叠"
        )
    codes = pd.Index([str(code) for code in weights.columns])
    known = codes.isin(stocks)
    if not known.any():
        raise ValueError(f"{source}: 权重的列 {list(codes[:5])} 中没有一只是存储中的股票")
    if known.all():
        return weights, None
    magnitude = np.nansum(np.abs(values), axis=0)
    share = magnitude[~known].sum() / magnitude.sum() if magnitude.sum() > 0 else 0.0
    notice = (
        f"{source}: {int((~known).sum())} 只股票不在存储中, 占权重绝对值的 {share:.2%}, 不参与回测: "
        f"{list(codes[~known][:5])}"
    )
    return weights.loc[:, known], notice


def check_weights(
    weights, stocks: pd.Index, dates: pd.Index, *, total_money: float = 1e8, source: str = "权重"
) -> pd.DataFrame:
    """回测之前检查一个日期 × 股票的权重矩阵能否交易; 不能交易的拒绝, 并指明位置。

    - 不是 DataFrame、为空、或值不是数字: 拒绝;
    - 正负无穷: 拒绝, 指明日期与股票;
    - 某日权重绝对值之和乘以资金后溢出 (例如 1e308): 拒绝, 指明该日绝对值最大的单元格;
    - 行标签不是日期 (例如表被转置了)、日期区间内没有 ``dates`` 中的交易日, 或列中没有一只
      ``stocks`` 中的股票: 拒绝;
    - 部分列不在 ``stocks`` 中: 发出 :class:`UnknownStocksWarning`, 说明它们的个数与占
      权重绝对值的比例, 这些列不参与回测。

    缺失的权重 (NaN) 按 0 计。

    Args:
        weights: 权重矩阵, 行为日期 (任何 ``normalize_yyyymmdd`` 接受的形式), 列为股票代码。
        stocks: 存储的股票代码。
        dates: 存储的交易日 ("YYYYMMDD")。
        total_money: 回测的固定资金。
        source: 错误信息中权重的来源 (文件名、策略变体名等)。

    Returns:
        pd.DataFrame: 原样的权重, 只去掉存储不认识的列。

    Raises:
        TypeError: 不是 DataFrame。
        ValueError: 见上, 信息以 ``source`` 开头。
    """
    checked, notice = checked_weights(weights, stocks, dates, total_money=total_money, source=source)
    if notice is not None:
        warnings.warn(notice, UnknownStocksWarning, stacklevel=2)
    return checked


def _on_store_dates(weights: pd.DataFrame, store_dates: pd.Index, stocks: pd.Index) -> pd.DataFrame:
    """The weights on the store's trading days from their first to their last
    row, over all of the store's stocks: a row holds until the next one, and a
    row dated on a non-trading day takes effect on the next trading day."""
    span = store_dates[(store_dates >= weights.index[0]) & (store_dates <= weights.index[-1])]
    if len(span) < 2:
        raise ValueError(
            f"权重的日期 {weights.index[0]}..{weights.index[-1]} 与存储的交易日 "
            f"{store_dates[0]}..{store_dates[-1]} 重叠不足两天"
        )
    held = weights.reindex(weights.index.union(span)).ffill().reindex(span)
    return held.reindex(columns=stocks, fill_value=0.0)


def run_store_backtest(
    store,
    weights,
    *,
    benchmark: str = "000852",
    output_dir=None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    image_kind: str = "large",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
):
    """用存储中的行情与基准回测一个权重矩阵。

    回测区间是权重第一行到最后一行之间存储的交易日; 一行权重保持到下一行, 非交易日的
    一行在下一个交易日生效。与引擎相同, T-1 日的权重在 T 日按 VWAP 成交。

    Args:
        store: :class:`BinaryPreparedDataStore` 或存储目录。
        weights: 日期 × 股票的目标权重 DataFrame, 或权重文件路径 (见 :func:`read_weights`)。
        benchmark: 主基准代码 ("000852"、"000300" 或 "000905"); 存储中的每个基准都有汇总行。
        output_dir: 给出时写入两张报告图与 ``statistics.json`` (目录不存在时创建)。
        strategy_name, plot_title, image_kind: 报告图的策略名、标题与版式 ("large" 或 "long")。
        rolling_window, total_money, fee, rule_fee: 同 ``run_strategy_backtest_core``。

    Returns:
        _StrategyCoreResult: 回测结果。

    Raises:
        FileNotFoundError: 目录中没有存储, 或权重文件不存在。
        ValueError: 权重无法读取、不能交易 (见 :func:`check_weights`)、与存储的日期重叠
            不足两天, 或存储中没有这个基准。

    Warns:
        UnknownStocksWarning: 权重中有存储不认识的股票 (它们不参与回测)。
    """
    if not isinstance(store, BinaryPreparedDataStore):
        store = BinaryPreparedDataStore(Path(store).expanduser())
    store_dates = store.dates()
    if not len(store_dates):
        raise FileNotFoundError(f"{store.store_dir} 中没有回测准备数据存储")
    if isinstance(weights, (str, os.PathLike)):
        source = str(Path(weights).expanduser())
        weights = read_weights(weights)
    else:
        source = "权重"
        if not isinstance(weights, pd.DataFrame):
            raise TypeError(f"权重应为日期 × 股票的 DataFrame 或权重文件路径, 得到 {type(weights).__name__}")
        weights = normalize_weights(weights)
    matrices = store.load(weights.index[0], weights.index[-1], keys=list(STORE_MARKET_KEYS.values()))
    stocks = matrices["close_price"].columns
    weights = check_weights(weights, stocks, store_dates, total_money=total_money, source=source)
    aligned = _on_store_dates(weights, store_dates, stocks)
    benchmarks = store.load_benchmarks(aligned.index[0], aligned.index[-1])
    if benchmark not in benchmarks:
        raise ValueError(f"存储中没有基准 {benchmark!r}; 已有: {list(benchmarks)}")

    plot_path = None
    if output_dir is not None:
        output_dir = Path(output_dir).expanduser()
        output_dir.mkdir(parents=True, exist_ok=True)
        plot_path = str(output_dir / MAIN_IMAGE_FILE)
        ensure_cjk_font()
    result = run_strategy_backtest_core(
        aligned,
        **backtest_inputs(matrices),
        benchmark_dict=benchmarks,
        benchmark_names=benchmark,
        rolling_window=rolling_window,
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
        plot_image_kind=image_kind,
        plot_save_path=plot_path,
        strategy_name=strategy_name,
        plot_title=plot_title,
    )
    if output_dir is not None:
        write_statistics_json(result, output_dir / STATISTICS_FILE, benchmark=benchmark)
    return result
