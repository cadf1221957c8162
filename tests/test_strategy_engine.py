"""The daily VWAP return engine: agreement with the literal reference, the
trading rules on hand-made markets, argument checks, zero-copy and threads."""

from __future__ import annotations

import threading
import tracemalloc

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tolvane.backtest import _strategy_kernel as sk

from markets import DATES, flat_market, frame, random_market, with_cells
from reference.strategy_engine import daily_cash_terms

# --- agreement with the literal reference ---------------------------------


@st.composite
def backtest_cases(draw):
    n_days = draw(st.integers(2, 12))
    n_stocks = draw(st.integers(1, 8))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    layout = draw(st.sampled_from(["C", "F", "strided"]))
    dates = pd.Index([f"2024{m:02d}{d:02d}" for m in range(1, 3) for d in range(1, 29)][:n_days])
    stocks = pd.Index([f"{600000 + j}" for j in range(n_stocks)])

    def matrix(low, high, nan_share):
        values = rng.uniform(low, high, (n_days, n_stocks))
        values[rng.random(values.shape) < nan_share] = np.nan
        return values

    weights = matrix(-0.1, 0.6, 0.15)
    weights[rng.random(weights.shape) < 0.2] = 0.0
    prev_close = matrix(1.0, 40.0, 0.1)
    prev_close[rng.random(prev_close.shape) < 0.05] = draw(st.sampled_from([0.0, -1.0]))
    market_values = {
        "can_buy_stock": rng.random((n_days, n_stocks)) < 0.75,
        "cant_sell_stock": rng.random((n_days, n_stocks)) < 0.25,
        "split_factor": matrix(1.0, 2.0, 0.85),
        "dividend_factor": matrix(0.0, 1.5, 0.85),
        "close_price": matrix(1.0, 40.0, 0.1),
        "prev_close": prev_close,
        "buy_price": matrix(1.0, 40.0, 0.1),
        "sell_price": matrix(1.0, 40.0, 0.1),
    }
    market = {}
    for name, values in market_values.items():
        market_dates, market_stocks = dates, stocks
        if draw(st.booleans()):
            # Extra dates and stocks, and a different order: the engine must align.
            extra = 1.0 if values.dtype != bool else True
            values = np.vstack([np.full((1, n_stocks), extra, values.dtype), values])
            values = np.hstack([values, np.full((n_days + 1, 1), extra, values.dtype)])
            market_dates = pd.Index(["20231229", *dates])
            market_stocks = pd.Index([*stocks, "999999"])
            order = rng.permutation(n_stocks + 1)
            values, market_stocks = values[:, order], market_stocks[order]
        market[name] = frame(values, market_dates, market_stocks, layout)
    costs = {
        "total_money": draw(st.sampled_from([1e5, 1e6, 1e8])),
        "fee": draw(st.sampled_from([0.0, 0.0001, 0.003])),
        "rule_fee": draw(st.sampled_from([0.0, 0.0005])),
        "lot_size": draw(st.sampled_from([1, 100, 200])),
    }
    return frame(weights, dates, stocks, layout), market, costs


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(backtest_cases())
def test_engine_matches_the_literal_reference(case):
    signal, market, costs = case
    result = sk.calc_strategy_vwap_daily_return(signal, **market, **costs)
    pnl_index, daily_cash, magnitude = daily_cash_terms(signal, **market, **costs)

    assert result.index.equals(signal.index[1:]) and result.name is None
    assert result.dtype == np.float64
    # The terms of a day's cash may cancel: the engine may sum them in another
    # order, so the error is bounded relative to the sum of their magnitudes.
    expected = daily_cash / costs["total_money"]
    scale = magnitude / costs["total_money"]
    np.testing.assert_array_equal(np.isnan(result.to_numpy()), np.isnan(expected))
    assert np.all(np.abs(result.to_numpy() - expected) <= 1e-12 * scale + 1e-300)


# --- trading rules on hand-made markets ----------------------------------


def test_worked_example_first_day_buy():
    dates = DATES[:2]
    market = flat_market(dates, ["A"])
    market = with_cells(market, "close_price", {(1, 0): 10.5})
    signal = frame([[1.0], [1.0]], dates, ["A"])
    result = sk.calc_strategy_vwap_daily_return(signal, **market)
    # 1e8 / (10 * 200) = 50,000 lots = 10,000,000 shares; 10.5 - 10 * 1.0001 per share.
    assert result.index.tolist() == ["20240103"]
    assert result.iloc[0] == pytest.approx(10_000_000 * (10.5 - 10 * 1.0001) / 1e8, rel=1e-15)


@pytest.mark.parametrize("rows", [0, 1])
def test_fewer_than_two_rows_return_empty_without_touching_the_market(monkeypatch, rows):
    def fail(*args):
        raise AssertionError("market arrays must not be built")

    monkeypatch.setattr(sk, "_build_market_arrays", fail)
    signal = frame(np.ones((rows, 1)), DATES[:rows], ["A"])
    result = sk.calc_strategy_vwap_daily_return(signal, **flat_market(DATES, ["A"]))
    assert result.empty and result.dtype == np.float64


def test_blocked_buy_is_made_up_later_at_that_days_price_and_target():
    market = with_cells(flat_market(DATES, ["A"]), "can_buy_stock", {(1, 0): False})
    market = with_cells(market, "buy_price", {(2, 0): 9.0})
    market = with_cells(market, "prev_close", {(2, 0): 8.0})
    signal = frame([[1e-3]] * 4, DATES, ["A"])
    result = sk.calc_strategy_vwap_daily_return(signal, **market, fee=0.0)
    # Day 1 is blocked; day 2 buys 1e8 * 1e-3 / (8 * 200) = 62 lots at 9.0, marked at 10.
    assert result.iloc[0] == 0.0
    assert result.iloc[1] == pytest.approx(62 * 200 * (10.0 - 9.0) / 1e8, rel=1e-15)


def test_blocked_sale_stays_held_earns_dividend_and_sells_when_allowed():
    market = flat_market(DATES, ["A"])
    market = with_cells(market, "cant_sell_stock", {(2, 0): True})
    market = with_cells(market, "dividend_factor", {(2, 0): 0.5, (3, 0): 0.25})
    market = with_cells(market, "close_price", {(2, 0): 11.0})
    market = with_cells(market, "prev_close", {(3, 0): 11.0})
    signal = frame([[1e-3], [np.nan], [np.nan], [np.nan]], DATES, ["A"])
    result = sk.calc_strategy_vwap_daily_return(signal, **market, fee=0.0, rule_fee=0.0)
    shares = 50 * 200
    assert result.iloc[1] == pytest.approx(shares * (11.0 - 10.0 + 0.5) / 1e8, rel=1e-15)
    # Sold on the next day at 10 against yesterday's close of 11, with that day's dividend.
    assert result.iloc[2] == pytest.approx(shares * (10.0 - 11.0 + 0.25) / 1e8, rel=1e-15)


def test_missing_prices_contribute_nothing_but_shares_still_move():
    market = flat_market(DATES, ["A"])
    market = with_cells(market, "buy_price", {(1, 0): np.nan})
    market = with_cells(market, "close_price", {(2, 0): np.nan})
    market = with_cells(market, "sell_price", {(3, 0): 12.0})
    signal = frame([[1e-3], [1e-3], [np.nan], [np.nan]], DATES, ["A"])
    result = sk.calc_strategy_vwap_daily_return(signal, **market, fee=0.0, rule_fee=0.0)
    # Bought without a buy price and held through a day without a close: both
    # book 0. The 10,000 shares are still there to be sold at 12 on the last day.
    assert result.tolist() == [0.0, 0.0, pytest.approx(10_000 * 2.0 / 1e8, rel=1e-15)]


# --- arguments ---------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("total_money", 0.0),
        ("total_money", -1e6),
        ("total_money", float("inf")),
        ("total_money", float("nan")),
        ("fee", -0.001),
        ("fee", 1.0),
        ("rule_fee", float("nan")),
        ("rule_fee", 1.5),
        ("lot_size", 0),
    ],
)
def test_unusable_trading_parameters_fail_before_any_work(monkeypatch, name, value):
    def fail(*args):
        raise AssertionError("no work may start")

    monkeypatch.setattr(sk, "_build_market_arrays", fail)
    signal = frame(np.ones((3, 1)), DATES[:3], ["A"])
    with pytest.raises(ValueError, match=name):
        sk.calc_strategy_vwap_daily_return(signal, **flat_market(DATES, ["A"]), **{name: value})


def test_argument_errors_follow_the_module_convention():
    signal = frame(np.ones((3, 1)), DATES[:3], ["A"])
    market = flat_market(DATES, ["A"])
    with pytest.raises(TypeError, match=r"takes at least 9 positional arguments \(1 given\)"):
        sk.calc_strategy_vwap_daily_return(signal)
    with pytest.raises(TypeError, match=r"takes at most 13 positional arguments \(14 given\)"):
        sk.calc_strategy_vwap_daily_return(signal, *market.values(), 1e8, 0.0, 0.0, 200, 1)
    with pytest.raises(TypeError, match=r"Argument 'lot_size' has incorrect type \(expected int, got str\)"):
        sk.calc_strategy_vwap_daily_return(signal, **market, lot_size="200")
    by_float = sk.calc_strategy_vwap_daily_return(signal, **market, lot_size=200.0)
    pd.testing.assert_series_equal(by_float, sk.calc_strategy_vwap_daily_return(signal, **market))


def test_market_arrays_come_from_the_module_namespace(monkeypatch):
    calls = []
    original = sk._build_market_arrays

    def recording(*args):
        calls.append(args)
        return {key: value for key, value in original(*args).items() if key != "split_arr"}

    monkeypatch.setattr(sk, "_build_market_arrays", recording)
    signal = frame(np.ones((3, 1)), DATES[:3], ["A"])
    with pytest.raises(KeyError, match="split_arr"):
        sk.calc_strategy_vwap_daily_return(signal, **flat_market(DATES, ["A"]))
    assert len(calls) == 1 and calls[0][0].equals(DATES[1:3]) and len(calls[0]) == 10


def test_duplicate_dates_are_refused_as_pandas_refuses_them():
    dates = pd.Index(["20240102", "20240102", "20240103"])
    signal = frame(np.ones((3, 1)), dates, ["A"])
    with pytest.raises(ValueError, match="duplicate"):
        sk.calc_strategy_vwap_daily_return(signal, **flat_market(DATES, ["A"]))


# --- memory and threads ------------------------------------------------


@pytest.mark.parametrize("layout, weight_layout", [("C", "C"), ("F", "F"), ("C", "F")])
def test_long_wide_markets_match_the_reference_across_block_edges(layout, weight_layout):
    # Wider and longer than the engine's blocks of stocks and days, with a
    # partial group of stocks at the end; a prepared store's row-major market
    # with weights in pandas' column layout is read day by day as well.
    signal, market = random_market(300, 259, seed=7, layout=layout, signal="weights")
    signal = frame(signal.to_numpy(), signal.index, signal.columns, weight_layout)
    result = sk.calc_strategy_vwap_daily_return(signal, **market)
    _, daily_cash, magnitude = daily_cash_terms(signal, **market)
    assert np.all(np.abs(result.to_numpy() - daily_cash / 1e8) <= 1e-12 * magnitude / 1e8)


@pytest.mark.parametrize("huge_weights", [False, True])
def test_daily_returns_are_the_same_bit_for_bit_whatever_the_layout(huge_weights):
    """Row-major, column-major, strided and mixed inputs go through different
    loops but one summation order: the returns are equal, not merely close.
    Missing prices, restrictions and ragged sizes included; huge weights
    give share counts beyond 2^53, which no longer add up exactly."""
    signal, market = random_market(301, 263, seed=11, layout="C", signal="weights")
    rng = np.random.default_rng(3)
    values = {name: m.to_numpy().copy() for name, m in market.items()}
    for name in ("close_price", "buy_price", "sell_price", "prev_close"):
        values[name][rng.random(values[name].shape) < 0.02] = np.nan
    weights = signal.to_numpy().copy()
    if huge_weights:
        weights[rng.random(weights.shape) < 0.01] = 1e12
    dates, stocks = signal.index, signal.columns

    def run(weight_layout, market_layouts):
        return sk.calc_strategy_vwap_daily_return(
            frame(weights, dates, stocks, weight_layout),
            **{
                name: frame(values[name], dates, stocks, market_layouts[i % len(market_layouts)])
                for i, name in enumerate(values)
            },
        ).to_numpy()

    expected = run("C", ["C"])
    assert np.isfinite(expected).all() and np.abs(expected).max() > 0
    for weight_layout, market_layouts in [
        ("F", ["F"]),
        ("strided", ["strided"]),
        ("F", ["C"]),
        ("C", ["F"]),
        ("C", ["F", "C", "strided"]),
    ]:
        got = run(weight_layout, market_layouts)
        assert np.array_equal(got.view(np.uint64), expected.view(np.uint64)), (weight_layout, market_layouts)


def test_aligned_inputs_are_read_in_place():
    signal, market = random_market(300, 400, seed=7, signal="weights")
    input_bytes = signal.to_numpy().nbytes + sum(m.to_numpy().nbytes for m in market.values())
    sk.calc_strategy_vwap_daily_return(signal, **market)
    tracemalloc.start()
    try:
        sk.calc_strategy_vwap_daily_return(signal, **market)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 0.05 * input_bytes


def test_two_threads_on_shared_inputs_match_serial_results():
    signal, market = random_market(300, 400, seed=7, signal="weights")
    fees = (0.0, 0.001)
    serial = [sk.calc_strategy_vwap_daily_return(signal, **market, fee=fee) for fee in fees]
    results = [[] for _ in fees]

    def run(slot):
        for _ in range(4):
            results[slot].append(sk.calc_strategy_vwap_daily_return(signal, **market, fee=fees[slot]))

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(len(fees))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for expected, runs in zip(serial, results):
        assert len(runs) == 4
        for got in runs:
            pd.testing.assert_series_equal(got, expected, check_exact=True)
