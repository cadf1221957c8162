"""Factor group backtest and factor IC: speed against the single engine, side by side.

Prints, for a seeded synthetic market (default 2,500 x 5,000 dates x stocks;
``--quick`` for 250 x 500), medians and spread of several interleaved runs of:

1. ``calc_all_group_vwap_daily_return`` with ten groups, against one
   ``calc_strategy_vwap_daily_return`` call on one group's weights (both as a
   user calls them) and against ten separate engine calls (one per group), on
   C-ordered frames (as a prepared store maps them) and on pandas' own layout.
   Goal: ten groups within 2.2x one engine call. Wall time, as a user waits:
   on two cores the group engine plans days ahead on a second thread; the
   CPU time of both threads is printed beside it.
2. ``calc_all_group_vwap_daily_return_with_turnover`` against the returns
   alone. Goal: the turnover costs at most 10% more.
3. ``calc_factor_ic`` against its pandas transcription (mask, rank, row-wise
   Pearson correlation), with the largest difference between the two.

Run: ``python bench/bench_groups.py`` (``make bench``).
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from tolvane.backtest import _core
from tolvane.backtest import _strategy_kernel as kernel
from tolvane.backtest._factor_analysis import calc_factor_ic

from support import (
    c_ordered,
    interleaved,
    median_of,
    milliseconds,
    ratio_against_goal,
    synthetic_factor,
    synthetic_market,
)

GROUPS = 10


def group_weights(factor: pd.DataFrame) -> list[pd.DataFrame]:
    """Each group's equal weights, laid out in memory as the factor is."""
    groups = _core.calc_factor_groups(factor, GROUPS)
    order = "C" if factor.to_numpy().flags.c_contiguous else "F"
    weights = []
    for group in range(1, GROUPS + 1):
        member = (groups == group).astype(float)
        values = member.div(member.sum(axis=1), axis=0).fillna(0.0).to_numpy()
        weights.append(
            pd.DataFrame(
                np.asarray(values, order=order), index=factor.index, columns=factor.columns, copy=False
            )
        )
    return weights


def bench_groups(label: str, factor, market, runs: int) -> None:
    weights = group_weights(factor)
    timings = interleaved(
        {
            "groups": lambda: _core.calc_all_group_vwap_daily_return(factor, **market),
            "one call": lambda: kernel.calc_strategy_vwap_daily_return(weights[GROUPS // 2], **market),
            "with turnover": lambda: _core.calc_all_group_vwap_daily_return_with_turnover(factor, **market),
        },
        runs,
        clock=time.perf_counter,
    )
    cpu_s = median_of(
        lambda: _core.calc_all_group_vwap_daily_return(factor, **market), runs, clock=time.process_time
    )
    ten_s = median_of(
        lambda: [kernel.calc_strategy_vwap_daily_return(w, **market) for w in weights], max(1, runs // 3)
    )
    result = _core.calc_all_group_vwap_daily_return(factor, **market)
    gap = max(
        np.abs(
            kernel.calc_strategy_vwap_daily_return(w, **market).to_numpy()
            - result[f"group_{g + 1}"].to_numpy()
        ).max()
        for g, w in enumerate(weights)
    )
    print(
        f"[{label}] 1. ten groups {milliseconds(timings['groups'])} | one engine call"
        f" {milliseconds(timings['one call'])} | groups / one call"
        f" {ratio_against_goal(timings['groups'], timings['one call'], 2.2)} | ten engine calls"
        f" {ten_s * 1e3:8.1f} ms | max |diff| {gap:.1e}"
    )
    print(f"[{label}]    ten groups' CPU time, both threads: {cpu_s * 1e3:.1f} ms")
    print(
        f"[{label}] 2. with turnover {milliseconds(timings['with turnover'])} | returns alone"
        f" {milliseconds(timings['groups'])} | ratio"
        f" {ratio_against_goal(timings['with turnover'], timings['groups'], 1.1)}"
    )


def pandas_ic(factor: pd.DataFrame, forward_rank: pd.DataFrame) -> pd.Series:
    both = factor.notna() & forward_rank.notna()
    return factor.where(both).rank(axis=1).corrwith(forward_rank.where(both).rank(axis=1), axis=1)


def bench_ic(label: str, factor, market, runs: int) -> None:
    close = market["close_price"]
    forward_rank = (close.shift(-2) / close.shift(-1) - 1).rank(axis=1)
    native_s = median_of(lambda: calc_factor_ic(factor, forward_rank), runs)
    pandas_s = median_of(lambda: pandas_ic(factor, forward_rank), max(1, runs // 3))
    gap = np.nanmax(np.abs(calc_factor_ic(factor, forward_rank).daily_ic - pandas_ic(factor, forward_rank)))
    print(
        f"[{label}] 3. factor IC {native_s * 1e3:8.1f} ms | pandas transcription {pandas_s * 1e3:8.1f} ms"
        f" | speed-up {pandas_s / native_s:5.1f}x | max |diff| {gap:.1e}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="250 x 500 instead of 2,500 x 5,000")
    args = parser.parse_args()
    n_days, n_stocks, runs = (250, 500, 15) if args.quick else (2_500, 5_000, 7)
    signal, market = synthetic_market(n_days, n_stocks)
    factor = synthetic_factor(signal)
    size = f"{n_days:,} x {n_stocks:,}"
    bench_groups(
        f"{size}, C order", c_ordered(factor), {name: c_ordered(m) for name, m in market.items()}, runs
    )
    bench_groups(f"{size}, pandas' layout", factor, market, runs)
    bench_ic(size, factor, market, runs)


if __name__ == "__main__":
    main()
