"""Literal pandas transcription of the daily factor IC."""

from __future__ import annotations

import numpy as np
import pandas as pd


def transcribed_ic(factor: pd.DataFrame, forward: pd.DataFrame) -> pd.Series:
    """Each day's Spearman correlation of the two matrices over the cells both have finite."""
    both = np.isfinite(factor) & np.isfinite(forward)
    return factor.where(both).rank(axis=1).corrwith(forward.where(both).rank(axis=1), axis=1)
