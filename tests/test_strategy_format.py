"""Number formatting, period metrics and the yearly metrics table."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest import _strategy_kernel as sk


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: sk._format_pct(0.05), "5.00%"),
        (lambda: sk._format_pct(-0.1234), "-12.34%"),
        (lambda: sk._format_pct(0.05, 1), "5.0%"),
        (lambda: sk._format_pct(0.05, digits=0), "5%"),
        (lambda: sk._format_pct(0.05, 1.9), "5.0%"),
        (lambda: sk._format_pct_points(5), "5.00%"),
        (lambda: sk._format_pct_points(12.3), "12.30%"),
        (lambda: sk._format_num(2), "2.00"),
        (lambda: sk._format_num("1.5", 1), "1.5"),
        (lambda: sk._format_num(float("inf")), "inf"),
        (lambda: sk._format_pct(float("-inf")), "-inf%"),
        (lambda: sk._format_pct(None), "--"),
        (lambda: sk._format_pct(float("nan")), "--"),
        (lambda: sk._format_num(pd.NA), "--"),
        (lambda: sk._format_pct_points(np.nan), "--"),
    ],
)
def test_number_formatters(call, expected):
    assert call() == expected


def test_formatter_errors_come_from_the_interpreter():
    with pytest.raises(ValueError):
        sk._format_pct(0.05, -1)
    with pytest.raises(ValueError):
        sk._format_num("abc")
    with pytest.raises(TypeError, match=r"Argument 'digits' has incorrect type \(expected int, got str\)"):
        sk._format_num(1.0, "2")


def test_annual_excess_line():
    assert sk._format_annual_excess(pd.Series({2021: 0.05, 2022: np.nan, 2023: -0.012})) == (
        "2021: 5.00% | 2023: -1.20%"
    )
    assert sk._format_annual_excess({"2020": 0.1}) == "2020: 10.00%"
    for empty in (None, pd.Series(dtype=float), pd.Series([np.nan, np.nan])):
        assert sk._format_annual_excess(empty) == "--"


@pytest.mark.parametrize(
    ("returns", "expected"),
    [
        ([0.01, -0.02, 0.03], (0.02, 0.02, 84.0)),
        ([-0.01, -0.01], (-0.02, 0.02, -0.01 * 252 / 0.02)),
        ([0.01, 0.02], (0.03, 0.0, math.nan)),
        ([], (math.nan, math.nan, math.nan)),
    ],
)
def test_period_return_drawdown_calmar(returns, expected):
    result = sk._period_return_drawdown_calmar(pd.Series(returns, dtype=float))
    assert result == pytest.approx(expected, nan_ok=True)
    assert sk._period_return_drawdown_calmar(None) == pytest.approx((math.nan,) * 3, nan_ok=True)


def yearly_frame():
    dates = pd.to_datetime(["2024-03-01", "2023-05-02", "2024-03-04", "2023-05-03", "2022-01-04"])
    return pd.DataFrame(
        {
            "daily_return": [0.01, 0.02, -0.01, np.inf, np.nan],
            "index_day_return": [0.0] * 5,
            "extra_daily_return": [0.005, 0.01, 0.0, 0.01, np.nan],
        },
        index=dates,
    )


def test_yearly_metrics_rows_by_ascending_integer_year():
    metrics = sk._calc_yearly_performance_metrics(yearly_frame())
    assert metrics.index.tolist() == [2023, 2024] and metrics.index.name == "year"
    assert list(metrics.columns) == [
        "strategy_return",
        "strategy_sharpe",
        "strategy_max_dd",
        "strategy_calmar",
        "excess_return",
        "excess_sharpe",
        "excess_max_dd",
        "excess_calmar",
    ]
    # 2023: the infinite return is dropped; 2022 has nothing usable and no row.
    assert metrics.loc[2023, "strategy_return"] == pytest.approx(0.02)
    assert metrics.loc[2023, "excess_return"] == pytest.approx(0.02)
    assert metrics.loc[2024, "strategy_max_dd"] == pytest.approx(0.01)


def test_a_year_with_only_excess_returns_still_gets_a_row():
    frame = yearly_frame().iloc[[1, 3]]
    frame["daily_return"] = [np.nan, -np.inf]
    row = sk._calc_yearly_performance_metrics(frame).loc[2023]
    assert math.isnan(row["strategy_return"]) and math.isnan(row["strategy_max_dd"])
    assert math.isnan(row["strategy_calmar"]) and row["excess_return"] == pytest.approx(0.02)


def test_no_usable_year_gives_an_empty_frame():
    frame = yearly_frame().iloc[[4]]
    metrics = sk._calc_yearly_performance_metrics(frame)
    assert metrics.empty and list(metrics.columns) == [] and metrics.index.name is None


@pytest.mark.parametrize(
    ("period_result", "message"),
    [
        ((1.0, 2.0), "need more than 2 values to unpack"),
        ((1.0,), "need more than 1 value to unpack"),
        ((1.0, 2.0, 3.0, 4.0), r"too many values to unpack \(expected 3\)"),
    ],
)
def test_yearly_metrics_use_the_period_function_from_the_module(monkeypatch, period_result, message):
    monkeypatch.setattr(sk, "_period_return_drawdown_calmar", lambda daily: period_result)
    with pytest.raises(ValueError, match=message):
        sk._calc_yearly_performance_metrics(yearly_frame())
