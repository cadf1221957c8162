"""Literal pandas transcription of the holding count and turnover statistics."""

from __future__ import annotations

import numpy as np

#: The statistics' keys, in the order the statistics function gives them.
STAT_KEYS = (
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
)

#: A statistics dict as the report charts receive it (percentages as numbers).
SAMPLE_STATS = {
    "annual_return": 12.5,
    "long_sharp": 1.1,
    "max_dd": 8.0,
    "extra_annual_return": 6.0,
    "extra_sharp": 1.4,
    "extra_max_dd": 3.0,
    "win_rate": 53.0,
    "excess_win_rate": 55.0,
    "turnover": 14.0,
    "benchmark_annual_return": 4.0,
    "benchmark_sharp": 0.4,
    "return_corr": 0.8,
    "holding_count": 49.6,
}


def holding_count_and_turnover(dates, signal_df):
    """(holding_count, turnover) on ``dates``, computed with whole-frame pandas ops."""
    if signal_df is None or len(signal_df) == 0:
        return np.nan, np.nan
    aligned_signals = signal_df.reindex(dates)
    daily_holding_count = (aligned_signals.notna() & aligned_signals.ne(0)).sum(axis=1)
    holding_count = daily_holding_count.mean()
    if len(signal_df) <= 1:
        return holding_count, np.nan
    signal_filled = signal_df.reindex(dates).fillna(0)
    weight_change = signal_filled.diff().abs().sum(axis=1)
    return holding_count, weight_change.mean() / 2 * 100
