"""What the native kernels read: every array is checked against the sizes the
kernel uses before it runs, results are written only to memory the module
allocated itself, and unaligned arrays give the same figures as aligned ones."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest import _prepare
from tolvane.backtest import _strategy_kernel as sk

from hostile import lay_out

DATES = pd.Index(["20240102", "20240103", "20240104", "20240105", "20240108"])
STOCKS = pd.Index(["A", "B", "C"])
SHAPE = (len(DATES), len(STOCKS))


def market(seed=5):
    rng = np.random.default_rng(seed)
    prices = rng.uniform(5, 20, SHAPE)
    values = {
        "can_buy_stock": rng.random(SHAPE) < 0.8,
        "cant_sell_stock": rng.random(SHAPE) < 0.2,
        "split_factor": np.where(rng.random(SHAPE) < 0.2, 1.2, np.nan),
        "dividend_factor": np.where(rng.random(SHAPE) < 0.2, 0.1, np.nan),
        "close_price": prices * 1.01,
        "prev_close": prices,
        "buy_price": prices * 1.002,
        "sell_price": prices * 0.998,
    }
    return {name: pd.DataFrame(array, index=DATES, columns=STOCKS) for name, array in values.items()}


WEIGHTS = np.array([[0.3, 0.2, 0.0], [0.1, 0.4, 0.2], [0.0, 0.5, 0.3], [0.3, 0.0, 0.3], [0.2, 0.2, 0.2]])


class SmallEmpty:
    """numpy, except that empty() hands out a one-element array."""

    def __getattr__(self, name):
        return getattr(np, name)

    @staticmethod
    def empty(*args, **kwargs):
        return np.empty(1)


def unaligned(values: np.ndarray) -> np.ndarray:
    """A copy of ``values`` whose elements start one byte past an 8-byte boundary."""
    return lay_out(values, "misaligned")


class Weights(pd.DataFrame):
    """A weight matrix whose array disagrees with its own index and columns."""

    array = None

    @property
    def _constructor(self):
        return Weights

    def to_numpy(self, *args, **kwargs):
        return self.array


def weights_returning(array):
    weights = Weights(WEIGHTS, index=DATES, columns=STOCKS)
    weights.array = array
    return weights


class TestEngine:
    @pytest.mark.parametrize(
        ("array", "error", "text"),
        [
            (np.ones((1, 3)), ValueError, r"signal_matrix.to_numpy\(\) 的形状为 \(1, 3\), 应为 \(5, 3\)"),
            (np.ones((9, 3)), ValueError, r"的形状为 \(9, 3\), 应为 \(5, 3\)"),
            (np.ones((5, 2)), ValueError, r"的形状为 \(5, 2\), 应为 \(5, 3\)"),
            (np.ones(15), TypeError, "必须是二维 float64 数组, 得到 一维 float64 数组"),
            (np.array([["x"] * 3] * 5), ValueError, "could not convert"),
            (None, TypeError, "必须是二维 float64 数组, 得到 NoneType"),
        ],
        ids=["fewer rows", "more rows", "fewer columns", "one dimension", "text", "no array"],
    )
    def test_weight_array_that_disagrees_with_its_frame_is_refused(self, array, error, text):
        with pytest.raises(error, match=text):
            sk.calc_strategy_vwap_daily_return(weights_returning(array), **market())

    @pytest.mark.parametrize(
        ("key", "array", "error", "text"),
        [
            (
                "close_arr",
                np.ones((2, 3)),
                ValueError,
                r"行情数组 close_arr 的形状为 \(2, 3\), 应为 \(4, 3\)",
            ),
            ("dividend_arr", np.ones((4, 3, 1)), TypeError, "dividend_arr 必须是二维 float64 数组"),
            (
                "can_buy_arr",
                np.ones((4, 3)),
                TypeError,
                "can_buy_arr 必须是二维 bool 数组, 得到 二维 float64 数组",
            ),
            ("cant_sell_arr", np.ones((4, 2), bool), ValueError, r"cant_sell_arr 的形状为 \(4, 2\)"),
        ],
        ids=["fewer rows", "three dimensions", "not boolean", "fewer columns"],
    )
    def test_market_array_of_another_size_or_type_is_refused(self, monkeypatch, key, array, error, text):
        build = sk._build_market_arrays
        monkeypatch.setattr(sk, "_build_market_arrays", lambda *args: {**build(*args), key: array})
        with pytest.raises(error, match=text):
            sk.calc_strategy_vwap_daily_return(pd.DataFrame(WEIGHTS, index=DATES, columns=STOCKS), **market())

    def test_market_arrays_of_other_float_types_and_layouts_are_converted(self, monkeypatch):
        signal = pd.DataFrame(WEIGHTS, index=DATES, columns=STOCKS)
        expected = sk.calc_strategy_vwap_daily_return(signal, **market())
        build = sk._build_market_arrays

        def odd_layouts(*args):
            arrays = build(*args)
            # Big-endian, and a field of a record array (strides of 9 bytes).
            records = np.zeros(arrays["close_arr"].shape, [("flag", "u1"), ("value", "f8")])
            records["value"] = arrays["close_arr"]
            return {
                **arrays,
                "prev_close_arr": arrays["prev_close_arr"].astype(">f8"),
                "close_arr": records["value"],
            }

        monkeypatch.setattr(sk, "_build_market_arrays", odd_layouts)
        pd.testing.assert_series_equal(sk.calc_strategy_vwap_daily_return(signal, **market()), expected)

    def test_result_is_not_written_into_an_array_from_the_module_namespace(self, monkeypatch):
        signal = pd.DataFrame(WEIGHTS, index=DATES, columns=STOCKS)
        expected = sk.calc_strategy_vwap_daily_return(signal, **market())

        monkeypatch.setattr(sk, "np", SmallEmpty())
        pd.testing.assert_series_equal(sk.calc_strategy_vwap_daily_return(signal, **market()), expected)

    def test_unaligned_arrays_give_the_aligned_result(self, monkeypatch):
        signal = pd.DataFrame(WEIGHTS, index=DATES, columns=STOCKS)
        expected = sk.calc_strategy_vwap_daily_return(signal, **market())
        build = sk._build_market_arrays
        monkeypatch.setattr(
            sk,
            "_build_market_arrays",
            lambda *args: {key: unaligned(array) for key, array in build(*args).items()},
        )
        shifted = pd.DataFrame(unaligned(WEIGHTS), index=DATES, columns=STOCKS, copy=False)
        pd.testing.assert_series_equal(sk.calc_strategy_vwap_daily_return(shifted, **market()), expected)


class Signal:
    """A weight matrix as far as the statistics use it, with every answer chosen."""

    def __init__(self, rows, values, unique=True):
        self.rows, self.values = rows, values
        self.index = self
        self.is_unique = unique

    def __len__(self):
        return 2

    def get_indexer(self, dates):
        return self.rows

    def to_numpy(self, *args, **kwargs):
        return self.values


class TestStatistics:
    FRAME = pd.DataFrame(
        {"daily_return": [0.01, 0.02, -0.01], "index_day_return": [0.0, 0.01, 0.0]}, index=DATES[:3]
    )

    @pytest.mark.parametrize(
        ("rows", "values", "error", "text"),
        [
            (
                np.array([0, 1, 2]),
                np.ones((2, 3)),
                ValueError,
                "行号 2 超出 signal_df.to_numpy\\(\\) 的 2 行",
            ),
            (np.array([0, -2, 1]), np.ones((2, 3)), ValueError, "行号 -2 超出"),
            (np.array([0, 1]), np.ones((2, 3)), ValueError, r"get_indexer\(\) 的形状为 \(2,\), 应为 \(3,\)"),
            (np.array([[0, 1, 1]]), np.ones((2, 3)), TypeError, "必须是一维 int64 数组"),
            (np.array([0, 1, 1]), np.ones(6), TypeError, "signal_df.to_numpy\\(\\) 必须是二维 float64 数组"),
        ],
        ids=["row past the end", "row before the start", "too few rows", "two dimensions", "one dimension"],
    )
    def test_row_numbers_are_checked_against_the_weight_array(self, rows, values, error, text):
        with pytest.raises(error, match=text):
            sk.calc_strategy_stats(self.FRAME, Signal(rows, values))

    def test_weight_array_shorter_than_its_index_is_refused(self):
        weights = weights_returning(np.ones((1, 3)))
        with pytest.raises(ValueError, match="行号 1 超出 signal_df.to_numpy\\(\\) 的 1 行"):
            sk.calc_strategy_stats(self.FRAME, weights)

    def test_row_numbers_of_other_integer_types_are_converted(self):
        stats = sk.calc_strategy_stats(self.FRAME, Signal(np.array([1, 0, -1], np.int32), np.eye(2)))
        assert stats["holding_count"] == pytest.approx(2 / 3) and stats["turnover"] == pytest.approx(50.0)

    def test_unaligned_weights_give_the_aligned_result(self):
        signal = pd.DataFrame(WEIGHTS, index=DATES, columns=STOCKS)
        shifted = pd.DataFrame(unaligned(WEIGHTS), index=DATES, columns=STOCKS, copy=False)
        assert sk.calc_strategy_stats(self.FRAME, shifted) == sk.calc_strategy_stats(self.FRAME, signal)


def test_factor_pivot_writes_only_to_memory_it_allocated(monkeypatch):
    class SmallMatrices:
        """numpy, except that empty() of a shape tuple hands out one element per axis."""

        def __getattr__(self, name):
            return getattr(np, name)

        @staticmethod
        def empty(shape, *args, **kwargs):
            return np.empty((1,) * len(shape) if isinstance(shape, tuple) else shape, *args, **kwargs)

    answer = pd.DataFrame(
        {
            "date": ["2024-01-05", "2024-01-08", "2024-01-05"],
            "ukey": ["000001.XSHE", "600000.XSHG", "300750.XSHE"],
            "value": [1.0, 2.0, 3.0],
            "factor": "a",
        }
    )
    builder = _prepare.GroupPreparedDataBuilder("20240101", "20240131")
    expected = builder._tolvane_factors_to_matrices(answer, ["a"])["a"]
    monkeypatch.setattr(_prepare, "np", SmallMatrices())
    pd.testing.assert_frame_equal(builder._tolvane_factors_to_matrices(answer, ["a"])["a"], expected)
