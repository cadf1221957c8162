"""The strategy backtest runner and the module's set-up."""

from __future__ import annotations

import dataclasses
import math
import threading

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest import _strategy_kernel as sk

from markets import DATES, flat_market, frame, with_cells


def rising_market():
    """Two stocks whose close is 1% above the previous close every day."""
    market = flat_market(DATES, ["A", "B"])
    return with_cells(market, "close_price", {(d, s): 10.1 for d in range(4) for s in range(2)})


SIGNAL = frame([[0.5, 0.5]] * 4, DATES, ["A", "B"])


def test_module_names_in_order_and_result_record():
    names = [name for name in vars(sk) if not name.startswith("__")]
    assert names == [
        "contextlib",
        "threading",
        "dataclass",
        "Path",
        "np",
        "pd",
        "_build_market_arrays",
        "_with_datetime_index",
        "safe_sharpe",
        "_MATPLOTLIB_PLOT_LOCK",
        "TRADING_DAYS_PER_YEAR",
        "ROLLING_STABILITY_DAYS",
        "MIN_ROLLING_STABILITY_DAYS",
        "_StrategyCoreResult",
        "calc_strategy_vwap_daily_return",
        "calc_strategy_stats",
        "run_strategy_backtest_core",
        "_format_pct",
        "_format_pct_points",
        "_format_num",
        "_format_annual_excess",
        "_period_return_drawdown_calmar",
        "_calc_yearly_performance_metrics",
        "_draw_yearly_metrics_table",
        "_build_weekly_net_value_frame",
        "plot_strategy_performance",
        "_plot_strategy_performance_unlocked",
        "plot_weekly_net_value",
        "_plot_weekly_net_value_unlocked",
    ]
    assert (sk.TRADING_DAYS_PER_YEAR, sk.ROLLING_STABILITY_DAYS, sk.MIN_ROLLING_STABILITY_DAYS) == (
        252,
        60,
        5,
    )
    assert isinstance(sk._MATPLOTLIB_PLOT_LOCK, type(threading.RLock()))
    record = sk._StrategyCoreResult
    assert record.__bases__ == (object,) and record.__qualname__ == "_StrategyCoreResult"
    assert record.__module__ == "tolvane.backtest._strategy_kernel"
    assert record.__doc__.startswith("策略回测内部结果对象。")
    assert [(f.name, f.type) for f in dataclasses.fields(record)] == [
        ("strategy_name", "str"),
        ("daily_return", "pd.Series"),
        ("cumulative_return", "pd.Series"),
        ("stats", "dict"),
        ("benchmark_summary", "pd.DataFrame"),
        ("plot_paths", "dict[str, str]"),
    ]
    assert not record.__dataclass_params__.frozen
    assert sk.__doc__.startswith("策略层 VWAP 日收益纯计算核心。")


def test_without_benchmarks_the_excess_is_the_strategy():
    result = sk.run_strategy_backtest_core(SIGNAL, **rising_market())
    assert result.benchmark_summary.empty and result.plot_paths == {}
    assert result.strategy_name == "strategy"
    stats = result.stats
    assert stats["extra_annual_return"] == pytest.approx(stats["annual_return"])
    assert stats["extra_max_dd"] == stats["max_dd"] and stats["benchmark_annual_return"] == 0.0
    # The net value starts at 1 + the first day's return.
    assert result.cumulative_return.iloc[0] == 1 + result.daily_return.iloc[0]
    pd.testing.assert_series_equal(
        result.daily_return, sk.calc_strategy_vwap_daily_return(SIGNAL, **rising_market())
    )


def test_benchmarks_are_summarised_in_order_and_missing_dates_count_zero():
    partial = pd.Series([0.004], index=[DATES[2]])
    full = pd.Series([0.001, 0.002, 0.003], index=DATES[1:])
    result = sk.run_strategy_backtest_core(
        SIGNAL, **rising_market(), benchmark_dict={"000300": partial, "000852": full}
    )
    summary = result.benchmark_summary
    assert summary["benchmark_name"].tolist() == ["000300", "000852"]
    assert list(summary.columns) == [
        "benchmark_name",
        "benchmark_annual_return",
        "excess_annual_return",
        "excess_sharpe",
        "excess_max_dd",
    ]
    assert summary["benchmark_annual_return"].tolist() == pytest.approx([0.004 / 3 * 252, 0.002 * 252])
    excess = result.daily_return - full
    assert summary["excess_annual_return"].iloc[1] == pytest.approx(excess.mean() * 252)
    # The primary benchmark (000852 by default) drives the excess statistics.
    assert result.stats["benchmark_annual_return"] == pytest.approx(0.006 / (3 / 252) * 100)

    other = sk.run_strategy_backtest_core(
        SIGNAL, **rising_market(), benchmark_dict={"000300": partial}, benchmark_names="000300"
    )
    assert other.stats["benchmark_annual_return"] == pytest.approx(0.004 / (3 / 252) * 100)


def test_rolling_window_smooths_the_traded_weights(monkeypatch):
    seen = []
    engine = sk.calc_strategy_vwap_daily_return
    monkeypatch.setattr(sk, "calc_strategy_vwap_daily_return", lambda **kw: seen.append(kw) or engine(**kw))
    signal = frame([[0.0], [0.0], [0.3], [0.3]], DATES, ["A"])
    market = flat_market(DATES, ["A"])
    sk.run_strategy_backtest_core(signal, **market, rolling_window=3)
    assert seen[-1]["signal_matrix"]["A"].tolist() == pytest.approx([0.0, 0.0, 0.1, 0.2])
    assert set(seen[-1]) == {"signal_matrix", *market, "total_money", "fee", "rule_fee"}
    for window in (0, -2):
        sk.run_strategy_backtest_core(signal, **market, rolling_window=window)
        assert seen[-1]["signal_matrix"] is signal


def test_charts_are_drawn_only_with_a_kind_and_a_path(monkeypatch, tmp_path):
    drawn = []
    monkeypatch.setattr(
        sk, "plot_strategy_performance", lambda **kw: drawn.append(("main", kw)), raising=False
    )
    monkeypatch.setattr(sk, "plot_weekly_net_value", lambda **kw: drawn.append(("weekly", kw)), raising=False)
    for kind, path in [(None, tmp_path / "x.png"), ("large", None)]:
        result = sk.run_strategy_backtest_core(
            SIGNAL, **rising_market(), plot_image_kind=kind, plot_save_path=path
        )
        assert result.plot_paths == {} and drawn == []

    result = sk.run_strategy_backtest_core(
        SIGNAL, **rising_market(), plot_save_path=str(tmp_path / "demo.png"), strategy_name="动量"
    )
    assert result.plot_paths == {
        "main": str(tmp_path / "demo.png"),
        "weekly_net_value": str(tmp_path / "demo_weekly_net_value.png"),
    }
    assert [name for name, _ in drawn] == ["main", "weekly"]
    main = drawn[0][1]
    assert main["save_path"] == tmp_path / "demo.png" and main["image_kind"] == "large"
    assert main["strategy_name"] == "动量" and main["benchmark_name"] == "000852"
    assert main["stats"] is result.stats and "stats" not in drawn[1][1]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"benchmark_dict": type("Benchmarks", (dict,), {})()}, "'benchmark_dict' has incorrect type"),
        ({"strategy_name": None}, "'strategy_name' has incorrect type"),
        ({"plot_title": 3}, "'plot_title' has incorrect type"),
        ({"rolling_window": "3"}, "'rolling_window' has incorrect type"),
    ],
)
def test_argument_types_are_checked_before_any_work(monkeypatch, arguments, message):
    monkeypatch.setattr(sk, "calc_strategy_vwap_daily_return", None)
    with pytest.raises(TypeError, match=message):
        sk.run_strategy_backtest_core(SIGNAL, **rising_market(), **arguments)


def test_unusable_capital_fails_before_smoothing():
    with pytest.raises(ValueError, match="total_money"):
        sk.run_strategy_backtest_core(None, **rising_market(), total_money=-1.0, rolling_window=3)


def test_single_row_gives_empty_series_and_nan_summaries():
    result = sk.run_strategy_backtest_core(
        SIGNAL.iloc[:1], **rising_market(), benchmark_dict={"000852": pd.Series([0.01], index=DATES[:1])}
    )
    assert result.daily_return.empty and result.cumulative_return.empty
    assert len(result.stats) == 13 and all(math.isnan(v) for v in result.stats.values())
    row = result.benchmark_summary.iloc[0]
    for column in ("benchmark_annual_return", "excess_annual_return", "excess_max_dd"):
        assert np.isnan(row[column])
