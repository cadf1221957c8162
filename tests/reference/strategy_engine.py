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


def walk_days(
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
    """The days that get a return and, for each of them in order, a dict of the
    day's vectors over the stocks: the shares bought, held and sold, what each
    earns per share, and the day's execution prices and split factor.

    Returns ``(pnl_index, days)``; ``pnl_index`` is None when there are no such days.
    """
    signal = signal_matrix.shift(1)
    source_index = signal_matrix.index
    columns = signal_matrix.columns
    if len(source_index) <= 1:
        return None, iter(())
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
    one_plus_fee = 1 + fee
    sell_keep = 1 - fee - rule_fee

    def days():
        real_target = np.zeros(target.shape[1])
        for i in range(len(pnl_index)):
            diff = target[i] - real_target
            real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
            sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
            hold = real_target - sell
            real_target = hold + real_buy
            close_row = close_arr[i]
            prev_close_row = prev_close_arr[i]
            split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
            yield {
                "real_buy": real_buy,
                "hold": hold,
                "sell": sell,
                "buy_coeff": np.nan_to_num(close_row - buy_price_arr[i] * one_plus_fee, nan=0.0),
                "hold_coeff": np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0),
                "sell_coeff": np.nan_to_num(
                    split_eff * sell_price_arr[i] * sell_keep - prev_close_row, nan=0.0
                ),
                "dividend_eff": np.nan_to_num(dividend_arr[i], nan=0.0),
                "buy_price": buy_price_arr[i],
                "sell_price": sell_price_arr[i],
                "split_eff": split_eff,
            }

    return pnl_index, days()


def daily_cash_terms(signal_matrix, *market, **costs):
    """Per-day cash and the per-day sum of the absolute values of its terms.

    Returns ``(pnl_index, daily_cash, magnitude)``; ``magnitude[i]`` bounds the
    rounding error any summation order can make on ``daily_cash[i]``, so it is
    the scale that "relative" differences are measured against when the terms
    cancel.
    """
    pnl_index, days = walk_days(signal_matrix, *market, **costs)
    daily_cash, magnitude = [], []
    for day in days:
        terms = [
            (day["real_buy"], day["buy_coeff"]),
            (day["hold"], day["hold_coeff"]),
            (day["hold"], day["dividend_eff"]),
            (day["sell"], day["sell_coeff"]),
            (day["sell"], day["dividend_eff"]),
        ]
        cash = 0.0
        for shares, per_share in terms:  # five inner products, added left to right
            cash = cash + shares @ per_share
        daily_cash.append(cash)
        magnitude.append(sum(np.abs(shares) @ np.abs(per_share) for shares, per_share in terms))
    return pnl_index, np.array(daily_cash, dtype=float), np.array(magnitude, dtype=float)


def daily_traded_value(signal_matrix, *market, **costs) -> np.ndarray:
    """Per-day money the trades move: shares bought at the buy price plus shares
    sold at the split-adjusted sell price, a missing price counting 0."""
    _, days = walk_days(signal_matrix, *market, **costs)
    return np.array(
        [
            day["real_buy"] @ np.nan_to_num(day["buy_price"], nan=0.0)
            + day["sell"] @ np.nan_to_num(day["split_eff"] * day["sell_price"], nan=0.0)
            for day in days
        ],
        dtype=float,
    )


def calc_strategy_vwap_daily_return(*matrices, total_money=1e8, **arguments) -> pd.Series:
    """The daily return series, as the engine must return it."""
    pnl_index, daily_cash, _ = daily_cash_terms(*matrices, total_money=total_money, **arguments)
    if pnl_index is None:
        return pd.Series(dtype=float)
    return pd.Series(daily_cash / total_money, index=pnl_index)
