"""Markets and frames for the tests: frames in a chosen memory layout, small
hand-made markets, seeded random markets, and where a frame's data lives."""

from __future__ import annotations

import mmap

import numpy as np
import pandas as pd

# Four trading days for hand-made markets.
DATES = pd.Index(["20240102", "20240103", "20240104", "20240105"])


def frame(values, dates, stocks, layout="F"):
    """A frame over ``values`` laid out in memory as C, F or a strided view."""
    values = np.asarray(values)
    if layout == "C":
        values = np.ascontiguousarray(values)
    elif layout == "strided":
        wide = np.zeros((values.shape[0], values.shape[1] * 2), dtype=values.dtype)
        wide[:, ::2] = values
        values = wide[:, ::2]
    else:
        values = np.asfortranarray(values)
    return pd.DataFrame(values, index=dates, columns=stocks, copy=False)


def flat_market(dates, stocks, price=10.0):
    """Constant prices, everything tradable, no corporate actions."""
    shape = (len(dates), len(stocks))
    prices = frame(np.full(shape, price), dates, stocks)
    return {
        "can_buy_stock": frame(np.ones(shape, bool), dates, stocks),
        "cant_sell_stock": frame(np.zeros(shape, bool), dates, stocks),
        "split_factor": frame(np.full(shape, np.nan), dates, stocks),
        "dividend_factor": frame(np.full(shape, np.nan), dates, stocks),
        "close_price": prices,
        "prev_close": prices,
        "buy_price": prices,
        "sell_price": prices,
    }


def with_cells(market, name, cells):
    """A copy of ``market`` whose matrix ``name`` has ``cells`` {(day, stock): value} set."""
    values = market[name].to_numpy().copy()
    for (day, stock), value in cells.items():
        values[day, stock] = value
    return {**market, name: frame(values, market[name].index, market[name].columns)}


def random_market(n_days, n_stocks, seed, layout="F", cant_sell_share=0.1, signal="factor"):
    """(signal, market): prices with 3% missing, restrictions, splits and
    dividends; selling is barred often enough that stocks stay held by a
    strategy or group they have left. The signal is a factor with ties on
    every day and 10% missing ("factor"), or weights on about a fifth of the
    stocks ("weights")."""
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2020-01-02", periods=n_days).strftime("%Y%m%d"))
    stocks = pd.Index([f"{600000 + j}" for j in range(n_stocks)])
    prices = rng.uniform(5, 50, (n_days, n_stocks))
    prices[rng.random(prices.shape) < 0.03] = np.nan
    market = {
        "can_buy_stock": rng.random(prices.shape) < 0.9,
        "cant_sell_stock": rng.random(prices.shape) < cant_sell_share,
        "split_factor": np.where(rng.random(prices.shape) < 0.01, 1.5, np.nan),
        "dividend_factor": np.where(rng.random(prices.shape) < 0.02, 0.2, np.nan),
        "close_price": prices * 1.01,
        "prev_close": prices,
        "buy_price": prices * 1.002,
        "sell_price": prices * 0.998,
    }
    if signal == "weights":
        signal_values = np.where(rng.random(prices.shape) < 0.2, rng.random(prices.shape) / 40, 0.0)
    else:
        signal_values = rng.normal(size=prices.shape).round(1)
        signal_values[rng.random(prices.shape) < 0.1] = np.nan
    return frame(signal_values, dates, stocks, layout), {
        name: frame(values, dates, stocks, layout) for name, values in market.items()
    }


def mapped_file_of(data: pd.DataFrame):
    """The memory map under ``data``'s values, or None when they are in memory."""
    array = data.to_numpy()
    while array is not None and not isinstance(array, mmap.mmap):
        array = getattr(array, "base", None)
    return array
