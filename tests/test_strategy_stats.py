"""The thirteen strategy statistics."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tolvane.backtest import _strategy_kernel as sk

from reference.strategy_stats import STAT_KEYS, holding_count_and_turnover


def returns_frame(strategy, benchmark=None, **extra):
    dates = pd.Index([f"202401{d + 2:02d}" for d in range(len(strategy))])
    benchmark = [0.0] * len(strategy) if benchmark is None else benchmark
    return pd.DataFrame({"daily_return": strategy, "index_day_return": benchmark, **extra}, index=dates)


@pytest.mark.parametrize(
    "frame",
    [returns_frame([]), returns_frame([np.nan, 0.01], [0.01, np.nan])],
    ids=["empty", "all rows incomplete"],
)
def test_no_usable_rows_give_thirteen_nans(frame):
    stats = sk.calc_strategy_stats(frame, None)
    assert list(stats) == list(STAT_KEYS) and all(math.isnan(v) for v in stats.values())


def test_single_day_example_in_percent_points():
    stats = sk.calc_strategy_stats(returns_frame([0.01], [0.005]), None)
    assert list(stats) == list(STAT_KEYS)
    assert stats["annual_return"] == pytest.approx(252.0)
    assert stats["extra_annual_return"] == pytest.approx(126.0)
    assert stats["max_dd"] == 0.0 and stats["win_rate"] == 100.0
    assert math.isnan(stats["holding_count"]) and math.isnan(stats["turnover"])


def test_drawdown_is_a_net_value_difference_from_the_first_day():
    assert sk.calc_strategy_stats(returns_frame([0.02, -0.03, 0.01]), None)["max_dd"] == pytest.approx(3.0)
    stats = sk.calc_strategy_stats(returns_frame([-0.05, 0.01, 0.02], [0.01, 0.0, 0.0]), None)
    assert stats["max_dd"] == 0.0
    # The excess net value starts at 1 + the first excess return, so it is no drawdown either.
    assert stats["extra_max_dd"] == 0.0


def test_benchmark_net_value_uses_a_valid_first_close_else_the_returns():
    priced = sk.calc_strategy_stats(returns_frame([0.0, 0.0], [0.5, 0.5], close=[100.0, 110.0]), None)
    assert priced["benchmark_annual_return"] == pytest.approx(0.1 / (2 / 252) * 100)
    for first_close in (np.nan, 0.0):
        summed = sk.calc_strategy_stats(
            returns_frame([0.0, 0.0], [0.01, 0.02], close=[first_close, 110.0]), None
        )
        assert summed["benchmark_annual_return"] == pytest.approx(0.03 / (2 / 252) * 100)


def test_wins_need_a_strictly_positive_return():
    stats = sk.calc_strategy_stats(returns_frame([0.01, 0.0, -0.01, 0.02], [0.0, -0.01, -0.02, 0.03]), None)
    assert stats["win_rate"] == 50.0 and stats["excess_win_rate"] == 75.0


def test_turnover_and_holdings_on_small_weight_matrices():
    frame = returns_frame([0.01, 0.01])
    switch = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 1.0]}, index=frame.index)
    stats = sk.calc_strategy_stats(frame, switch)
    assert stats["turnover"] == pytest.approx(50.0) and stats["holding_count"] == 1.0
    steady = sk.calc_strategy_stats(frame, pd.DataFrame({"A": [0.5, 0.5]}, index=frame.index))
    assert steady["turnover"] == 0.0
    one_row = sk.calc_strategy_stats(frame, switch.iloc[:1])
    assert one_row["holding_count"] == 0.5 and math.isnan(one_row["turnover"])


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from(["C", "F"]))
def test_holdings_and_turnover_match_the_pandas_definition(seed, layout):
    rng = np.random.default_rng(seed)
    n_days, n_stocks = rng.integers(1, 15), rng.integers(1, 150)
    frame = returns_frame(rng.normal(0, 0.01, n_days), rng.normal(0, 0.01, n_days))
    frame.iloc[rng.random(n_days) < 0.1, 0] = np.nan
    # Extra, missing and reordered dates: only the statistics' dates count.
    dates = [*frame.index[rng.permutation(n_days)[: max(1, n_days - 2)]], "20231229", "20231228"]
    choices, shares = [0.0, np.nan, 0.2, -0.1, np.inf], [0.4, 0.2, 0.3, 0.08, 0.02]
    weights = rng.choice(choices, size=(len(dates), n_stocks), p=shares)
    signal = pd.DataFrame(np.asarray(weights, order=layout), index=dates, copy=False)
    stats = sk.calc_strategy_stats(frame, signal)
    usable = frame.dropna(subset=["daily_return", "index_day_return"]).index
    holding_count, turnover = holding_count_and_turnover(usable, signal)
    assert stats["holding_count"] == pytest.approx(holding_count, rel=1e-12, nan_ok=True)
    assert stats["turnover"] == pytest.approx(turnover, rel=1e-12, nan_ok=True)


def test_repeated_dates_align_as_pandas_aligns_them():
    frame = returns_frame([0.01, 0.02, -0.01])
    frame.index = pd.Index(["20240102", "20240102", "20240103"])
    signal = pd.DataFrame({"A": [1.0, 0.0, 0.5], "B": [0.0, 1.0, np.nan]}, index=frame.index)
    stats = sk.calc_strategy_stats(frame, signal)
    holding_count, turnover = holding_count_and_turnover(frame.index, signal)
    assert (stats["holding_count"], stats["turnover"]) == pytest.approx((holding_count, turnover))
    with pytest.raises(ValueError, match="duplicate"):
        sk.calc_strategy_stats(frame.iloc[1:], signal)


def test_sharpe_comes_from_the_module_namespace_and_frame_is_left_alone(monkeypatch):
    calls = []
    monkeypatch.setattr(sk, "safe_sharpe", lambda series, periods: calls.append(periods) or "sharpe")
    frame = returns_frame([0.01, -0.02], [0.0, 0.01])
    before = frame.copy()
    stats = sk.calc_strategy_stats(frame, None)
    assert calls == [252, 252, 252]
    assert stats["long_sharp"] == stats["extra_sharp"] == stats["benchmark_sharp"] == "sharpe"
    pd.testing.assert_frame_equal(frame, before)
