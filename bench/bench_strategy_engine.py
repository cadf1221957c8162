"""Daily VWAP return engine: speed, memory and thread scaling, side by side.

Prints, for seeded synthetic markets of 250 x 500 and 2,500 x 5,000 (dates x
stocks), medians of several runs of:

1. the engine end to end against the literal numpy/pandas reference;
2. the engine on frames in pandas' own (column-major) layout against the same
   frames row-major, as a prepared store maps them (goal: within 1.1x, and the
   same returns bit for bit), and the row-major engine against a read-only
   pass over its nine arrays, the memory floor; interleaved rounds, the
   median and range of the per-round ratios;
3. the peak extra memory of one call, against the size of its inputs;
4. two threads against one, in backtests per second on shared inputs;
5. ``vectorbt``'s ``Portfolio.from_orders`` on the same data, where it is installed;
and the whole runner without charts against the engine.

Run: ``python bench/bench_strategy_engine.py`` (``make bench``).
"""

from __future__ import annotations

import threading
import tracemalloc

import numpy as np
import pandas as pd

from tolvane.backtest import _strategy_kernel as kernel
from tolvane.backtest._core import _build_market_arrays

from support import (
    c_ordered,
    interleaved,
    median_seconds,
    milliseconds,
    ratio_against_goal,
    ratio_text,
    synthetic_market,
    test_reference,
)

reference_engine = test_reference("strategy_engine").calc_strategy_vwap_daily_return


def peak_rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def layouts_against_floor(label: str, signal, market, runs: int) -> list[np.ndarray]:
    """2. The engine on pandas' column-major frames against the same frames
    row-major, and the row-major engine against one read-only pass over its
    nine arrays. Returns the row-major arrays."""
    row_signal = c_ordered(signal)
    row_market = {name: c_ordered(m) for name, m in market.items()}
    arrays = _build_market_arrays(signal.index[1:], signal.columns, *row_market.values())
    inputs = [row_signal.to_numpy(copy=False), *arrays.values()]
    timings = interleaved(
        {
            "row-major": lambda: kernel.calc_strategy_vwap_daily_return(row_signal, **row_market),
            "column-major": lambda: kernel.calc_strategy_vwap_daily_return(signal, **market),
            "read pass": lambda: [array.max() for array in inputs],
        },
        runs,
    )
    same = np.array_equal(
        kernel.calc_strategy_vwap_daily_return(signal, **market).to_numpy().view(np.uint64),
        kernel.calc_strategy_vwap_daily_return(row_signal, **row_market).to_numpy().view(np.uint64),
    )
    print(
        f"[{label}] 2. pandas' column layout {milliseconds(timings['column-major'])} | row-major"
        f" {milliseconds(timings['row-major'])} | column / row"
        f" {ratio_against_goal(timings['column-major'], timings['row-major'], 1.1)}"
        f" | same returns bit for bit: {same}"
    )
    print(
        f"[{label}]    row-major engine / read-only pass {milliseconds(timings['read pass'])}:"
        f" {ratio_text(timings['row-major'], timings['read pass'])}"
    )
    return inputs


def bench_size(n_days: int, n_stocks: int, runs: int, reference_runs: int) -> None:
    label = f"{n_days:,} x {n_stocks:,}"
    signal, market = synthetic_market(n_days, n_stocks)

    def engine():
        return kernel.calc_strategy_vwap_daily_return(signal, **market)

    # 1. End to end against the literal reference.
    engine_s = median_seconds(engine, runs)
    reference_s = median_seconds(lambda: reference_engine(signal, **market), reference_runs)
    result, expected = engine(), reference_engine(signal, **market)
    print(
        f"[{label}] 1. engine {engine_s * 1e3:9.2f} ms | reference {reference_s * 1e3:9.2f} ms"
        f" | speed-up {reference_s / engine_s:6.1f}x | max |diff| {np.abs(result - expected).max():.1e}"
    )

    inputs = layouts_against_floor(label, signal, market, runs)

    # 3. Peak extra memory of one call.
    input_bytes = sum(array.nbytes for array in inputs)
    tracemalloc.start()
    engine()
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    rss_note = ""
    if reset_peak_rss():
        before = peak_rss_bytes()
        engine()
        rss_note = f" | peak RSS growth {(peak_rss_bytes() - before) / 2**10:7.0f} KiB"
    print(
        f"[{label}] 3. inputs {input_bytes / 2**20:9.1f} MiB | traced peak {traced_peak / 2**20:7.2f} MiB"
        f" ({traced_peak / input_bytes:.2%}){rss_note}"
    )

    # 4. Two threads against one on shared inputs, each thread busy for about a second.
    calls = max(4, round(1.0 / engine_s))

    def serial():
        for _ in range(calls):
            engine()

    def two_threads():
        threads = [threading.Thread(target=serial) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    one_s = median_seconds(serial, 3)
    two_s = median_seconds(two_threads, 3)
    print(
        f"[{label}] 4. one thread {calls / one_s:7.1f} backtests/s | two threads {2 * calls / two_s:7.1f}"
        f" backtests/s | scaling {(2 * calls / two_s) / (calls / one_s):4.2f}x"
    )

    # The whole runner without charts, against the engine.
    runner_s = median_seconds(lambda: kernel.run_strategy_backtest_core(signal, **market), runs)
    print(
        f"[{label}]    runner without charts {runner_s * 1e3:9.2f} ms"
        f" | {runner_s / engine_s:4.2f}x the engine"
    )

    bench_vectorbt(label, signal, market, result)


def bench_vectorbt(label, signal, market, engine_result):
    """5. vectorbt's order simulation on the same targets, where it is installed."""
    try:
        import vectorbt as vbt
    except ImportError:
        print(f"[{label}] 5. vectorbt is not installed here: skipped")
        return
    total_money, fee, rule_fee, lot = 1e8, 0.0001, 0.0005, 200
    init_cash = total_money * 10

    def simulation(market):
        days = signal.index[1:]
        weights = signal.shift(1).loc[days]
        prev_close = market["prev_close"].loc[days]
        # Fixed share targets from the previous day's weight and close, in whole lots.
        target = np.floor(total_money * weights.where(weights > 0) / (prev_close * lot)) * lot
        target = target.where(prev_close > 0).fillna(0.0)
        # Each side's price and fees follow the change from the previous day's target.
        buying = target > target.shift(1).fillna(0.0)
        close = market["close_price"].loc[days].ffill().bfill()
        price = market["buy_price"].loc[days].where(buying, market["sell_price"].loc[days]).fillna(close)
        fees = pd.DataFrame(np.where(buying, fee, fee + rule_fee), index=days, columns=signal.columns)
        return lambda: vbt.Portfolio.from_orders(
            close,
            target,
            size_type="targetamount",
            price=price,
            fees=fees,
            size_granularity=lot,
            init_cash=init_cash,
            cash_sharing=True,
            group_by=True,
            freq="D",
        )

    def return_gap(simulate, expected):
        value = simulate().value().to_numpy().ravel()
        returns = np.diff(np.concatenate([[init_cash], value])) / total_money
        return np.abs(returns - expected.to_numpy())

    simulate = simulation(market)
    simulate()
    vbt_s = median_seconds(simulate, 3)
    engine_s = median_seconds(lambda: kernel.calc_strategy_vwap_daily_return(signal, **market), 3)
    gap = return_gap(simulate, engine_result)
    # vectorbt knows no trading limits, splits or dividends: without them the two must agree.
    plain = {
        **market,
        "can_buy_stock": market["can_buy_stock"] | True,
        "cant_sell_stock": market["cant_sell_stock"] & False,
        "split_factor": market["split_factor"] * np.nan,
        "dividend_factor": market["dividend_factor"] * np.nan,
    }
    plain_gap = return_gap(simulation(plain), kernel.calc_strategy_vwap_daily_return(signal, **plain))
    print(
        f"[{label}] 5. vectorbt {vbt_s * 1e3:9.2f} ms | engine {engine_s * 1e3:9.2f} ms"
        f" | vectorbt / engine {vbt_s / engine_s:6.1f}x | daily return gap: median {np.median(gap):.1e},"
        f" max {gap.max():.1e}; without limits, splits and dividends max {plain_gap.max():.1e}"
    )


def main() -> None:
    bench_size(250, 500, runs=21, reference_runs=7)
    bench_size(2_500, 5_000, runs=7, reference_runs=3)


if __name__ == "__main__":
    main()
