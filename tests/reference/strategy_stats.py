"""Literal pandas transcription of the holding count and turnover statistics."""

from __future__ import annotations

import numpy as np


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
