"""Slow, literal numpy/pandas version of the daily VWAP return engine.

It shifts and aligns the weights, materialises the whole-period target
matrices and walks the days with whole-vector operations: the definition of
the daily return written out plainly. Tests hold the native engine to it;
``bench/`` times the engine against it.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from tolvane.backtest._core import _build_market_arrays


def daily_cash_terms(
    signal_matrix,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    lot_size=200,
):
    """Per-day cash and the per-day sum of the absolute values of its terms.

    Returns ``(pnl_index, daily_cash, magnitude)``; ``magnitude[i]`` bounds the
    rounding error any summation order can make on ``daily_cash[i]``, so it is
    the scale that "relative" differences are measured against when the terms
    cancel.
    """
    signal = signal_matrix.shift(1)
    source_index = signal_matrix.index
    columns = signal_matrix.columns
    if len(source_index) <= 1:
        return None, np.zeros(0), np.zeros(0)
    pnl_index = source_index[1:]
    market = _build_market_arrays(
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
    )
    prev_close_arr = market["prev_close_arr"]
    can_buy_arr = market["can_buy_arr"]
    cant_sell_arr = market["cant_sell_arr"]
    close_arr = market["close_arr"]
    buy_price_arr = market["buy_price_arr"]
    sell_price_arr = market["sell_price_arr"]
    split_arr = market["split_arr"]
    dividend_arr = market["dividend_arr"]

    signal_arr = signal.reindex(index=pnl_index, columns=columns).to_numpy(dtype=float, copy=False)
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = total_money * signal_arr / (prev_close_arr * lot_size)
    valid = (signal_arr > 0) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
    target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)

    n_days = len(pnl_index)
    n_stocks = target.shape[1]
    real_target = np.zeros(n_stocks)
    daily_cash = np.zeros(n_days)
    magnitude = np.zeros(n_days)
    one_plus_fee = 1 + fee
    sell_keep = 1 - fee - rule_fee
    for i in range(n_days):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
        sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
        hold = real_target - sell
        real_target = hold + real_buy
        close_row = close_arr[i]
        prev_close_row = prev_close_arr[i]
        split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
        dividend_eff = np.nan_to_num(dividend_arr[i], nan=0.0)
        buy_coeff = np.nan_to_num(close_row - buy_price_arr[i] * one_plus_fee, nan=0.0)
        hold_coeff = np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0)
        sell_coeff = np.nan_to_num(split_eff * sell_price_arr[i] * sell_keep - prev_close_row, nan=0.0)
        daily_cash[i] = (
            real_buy @ buy_coeff
            + hold @ hold_coeff
            + hold @ dividend_eff
            + sell @ sell_coeff
            + sell @ dividend_eff
        )
        magnitude[i] = (
            np.abs(real_buy) @ np.abs(buy_coeff)
            + np.abs(hold) @ np.abs(hold_coeff)
            + np.abs(hold) @ np.abs(dividend_eff)
            + np.abs(sell) @ np.abs(sell_coeff)
            + np.abs(sell) @ np.abs(dividend_eff)
        )
    return pnl_index, daily_cash, magnitude


def calc_strategy_vwap_daily_return(*matrices, total_money=1e8, **arguments) -> pd.Series:
    """The daily return series, as the engine must return it."""
    pnl_index, daily_cash, _ = daily_cash_terms(*matrices, total_money=total_money, **arguments)
    if pnl_index is None:
        return pd.Series(dtype=float)
    return pd.Series(daily_cash / total_money, index=pnl_index)
