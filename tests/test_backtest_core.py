"""Market array alignment, the Sharpe ratio and date index conversion."""

from __future__ import annotations

import datetime

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest._core import _build_market_arrays, _with_datetime_index, safe_sharpe

KEYS = [
    "can_buy_arr",
    "cant_sell_arr",
    "split_arr",
    "dividend_arr",
    "close_arr",
    "prev_close_arr",
    "buy_price_arr",
    "sell_price_arr",
]


def market_frames(dates, stocks, rng):
    shape = (len(dates), len(stocks))
    restrictions = [pd.DataFrame(rng.random(shape) < 0.5, index=dates, columns=stocks) for _ in range(2)]
    prices = [pd.DataFrame(rng.uniform(1, 9, shape), index=dates, columns=stocks) for _ in range(6)]
    return restrictions + prices


def test_aligned_frames_are_returned_as_views_including_a_leading_extra_date():
    dates = pd.Index(["20240102", "20240103", "20240104"])
    stocks = pd.Index(["600000", "000001"])
    frames = market_frames(dates, stocks, np.random.default_rng(0))
    arrays = _build_market_arrays(dates[1:], stocks, *frames)
    for key, source in zip(KEYS, frames):
        values = arrays[key]
        assert values.shape == (2, 2)
        assert np.shares_memory(values, source.to_numpy(copy=False)), key
        np.testing.assert_array_equal(values, source.to_numpy()[1:])
    assert arrays["can_buy_arr"].dtype == bool and arrays["close_arr"].dtype == np.float64


def test_missing_cells_cannot_be_traded_and_have_no_prices():
    dates = pd.Index(["20240102", "20240103"])
    frames = market_frames(dates, pd.Index(["B", "A"]), np.random.default_rng(1))
    arrays = _build_market_arrays(pd.Index(["20240103", "20240104"]), pd.Index(["A", "C"]), *frames)
    for key, source in zip(KEYS, frames):
        np.testing.assert_array_equal(arrays[key][0, 0], source.loc["20240103", "A"])
    assert not arrays["can_buy_arr"][:, 1].any() and not arrays["can_buy_arr"][1].any()
    assert arrays["cant_sell_arr"][:, 1].all() and arrays["cant_sell_arr"][1].all()
    for key in KEYS[2:]:
        assert np.isnan(arrays[key][:, 1]).all() and np.isnan(arrays[key][1]).all()


def test_non_boolean_restrictions_treat_missing_cells_as_untradable():
    dates, stocks = pd.Index(["d1", "d2"]), pd.Index(["A", "B"])
    flags = pd.DataFrame([[1.0, np.nan], [0.0, 2.0]], index=dates, columns=stocks)
    nullable = pd.DataFrame({"A": [True, pd.NA], "B": [False, True]}, index=dates, dtype="boolean")
    prices = pd.DataFrame(1.0, index=dates, columns=stocks)
    arrays = _build_market_arrays(dates, stocks, flags, nullable, *[prices] * 6)
    np.testing.assert_array_equal(arrays["can_buy_arr"], [[True, False], [False, True]])
    np.testing.assert_array_equal(arrays["cant_sell_arr"], [[True, False], [True, True]])


def test_safe_sharpe_annualises_mean_over_sample_deviation():
    returns = pd.Series([0.01, -0.02, 0.03, np.nan, 0.005])
    clean = returns.dropna()
    assert safe_sharpe(returns, periods=252) == pytest.approx(clean.mean() / clean.std() * np.sqrt(252))
    assert safe_sharpe(returns) == safe_sharpe(returns, periods=252)


@pytest.mark.parametrize(
    "returns",
    [[], [np.nan, np.nan], [0.01], [0.0, 0.0, 0.0], [0.1] * 7, [0.01, np.inf, 0.02]],
)
def test_safe_sharpe_is_zero_where_undefined(returns):
    assert safe_sharpe(pd.Series(returns, dtype=float), periods=252) == 0.0


@pytest.mark.parametrize(
    "labels",
    [
        ["20240102", "20240105"],
        ["2024-01-02", "2024-01-05"],
        [20240102, 20240105],
        [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-05")],
        [datetime.date(2024, 1, 2), datetime.date(2024, 1, 5)],
    ],
)
def test_with_datetime_index_reads_the_usual_date_forms(labels):
    frame = pd.DataFrame({"b": [2.0, 1.0], "a": [3.0, 4.0]}, index=pd.Index(labels, name="date"))
    converted = _with_datetime_index(frame)
    assert isinstance(converted.index, pd.DatetimeIndex) and converted.index.name == "date"
    assert list(converted.index.strftime("%Y-%m-%d")) == ["2024-01-02", "2024-01-05"]
    assert list(converted.columns) == ["b", "a"] and converted.to_numpy().tolist() == [[2.0, 3.0], [1.0, 4.0]]
    series = _with_datetime_index(frame["a"])
    assert isinstance(series.index, pd.DatetimeIndex) and series.tolist() == [3.0, 4.0]
