"""Backtests from a prepared store and a weights table or file: how weights
meet the store's days and codes, the files users write them in, the refusals,
and what lands in the output folder."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from tolvane._http import HttpClient
from tolvane.backtest import (
    BinaryPreparedDataStore,
    backtest_inputs,
    download_benchmark_package,
    read_weights,
    run_store_backtest,
    run_strategy_backtest_core,
)
from tolvane.backtest.store_backtest import UnknownStocksWarning


@pytest.fixture(scope="module")
def store(sandbox_server, tmp_path_factory):
    with HttpClient(sandbox_server.base_url, sandbox_server.api_key, sandbox_server.api_secret) as http:
        return BinaryPreparedDataStore(
            download_benchmark_package(http, tmp_path_factory.mktemp("data") / "bm")
        )


def weekly_weights(store: BinaryPreparedDataStore, n_stocks: int = 8) -> pd.DataFrame:
    """Equal weights on a few stocks, one row per Sunday (never a trading day),
    the codes with exchange suffixes as the data service writes them."""
    stocks = store.load(keys=["close_price"])["close_price"].columns[:n_stocks]
    sundays = pd.date_range("2022-03-06", "2022-06-26", freq="W-SUN")
    rng = np.random.default_rng(3)
    values = rng.random((len(sundays), n_stocks))
    return pd.DataFrame(
        values / values.sum(axis=1, keepdims=True), index=sundays, columns=[f"{code}.XSHE" for code in stocks]
    )


def test_rows_hold_until_the_next_and_take_effect_on_the_next_trading_day(store):
    weights = weekly_weights(store)
    result = run_store_backtest(store, weights)

    dates = store.dates()
    days = dates[(dates >= "20220306") & (dates <= "20220626")]
    row_dates = weights.index.strftime("%Y%m%d")
    # The row in force on a day is the last one dated on or before it.
    in_force = np.searchsorted(row_dates, days, side="right") - 1
    expected = pd.DataFrame(
        weights.to_numpy()[in_force], index=days, columns=[code[:6] for code in weights.columns]
    )
    matrices = store.load(days[0], days[-1])
    direct = run_strategy_backtest_core(
        expected, **backtest_inputs(matrices), benchmark_dict=store.load_benchmarks(days[0], days[-1])
    )
    pd.testing.assert_series_equal(result.daily_return, direct.daily_return, rtol=1e-12)
    assert list(result.benchmark_summary["benchmark_name"]) == ["000852", "000300", "000905"]


def test_weights_files_wide_or_long_csv_or_parquet_read_alike(store, tmp_path):
    weights = weekly_weights(store, 4)
    wide = weights.set_axis(weights.index.strftime("%Y-%m-%d"))
    wide.columns = [code[:6] for code in wide.columns]  # leading zeros must survive CSV
    wide.rename_axis("date").to_csv(tmp_path / "wide.csv")
    long = weights.stack().rename("weight").rename_axis(["date", "ukey"]).reset_index()
    long.to_parquet(tmp_path / "long.parquet")
    long.assign(date=long["date"].dt.strftime("%Y%m%d")).to_csv(tmp_path / "long.csv", index=False)
    weights.to_parquet(tmp_path / "wide.parquet")

    frames = [
        read_weights(tmp_path / name) for name in ("wide.csv", "long.parquet", "long.csv", "wide.parquet")
    ]
    assert list(frames[0].index[:2]) == ["20220306", "20220313"]
    assert all(code.isdigit() and len(code) == 6 for code in frames[0].columns)
    for frame in frames[1:]:
        pd.testing.assert_frame_equal(frame, frames[0])


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda w: w.rename(columns=lambda code: "9" + code[1:]), "没有一只是存储中的股票"),
        (lambda w: w.set_axis(w.index + pd.DateOffset(years=5)), "没有重叠"),
        (lambda w: w.iloc[:1].set_axis(["2022-03-07"]), "重叠不足两天"),
        (lambda w: w.set_axis([w.index[0]] * len(w)), "日期重复"),
        (lambda w: w.assign(**{w.columns[0]: "x"}), "x"),
    ],
)
def test_unusable_weights_are_refused(store, change, message):
    with pytest.raises(ValueError, match=message):
        run_store_backtest(store, change(weekly_weights(store)))


def test_weight_on_a_stock_the_store_lacks_is_reported_and_left_out(store):
    weights = weekly_weights(store)
    stranger = weights.rename(columns={weights.columns[0]: "999999.XSHG"})
    with pytest.warns(UnknownStocksWarning, match=r"权重: 1 只股票不在存储中, 占权重绝对值的 \d+\.\d\d%"):
        result = run_store_backtest(store, stranger)
    expected = run_store_backtest(store, weights.drop(columns=weights.columns[0]))
    pd.testing.assert_series_equal(result.daily_return, expected.daily_return)


def test_refusals_of_files_benchmarks_and_missing_stores(store, tmp_path):
    (tmp_path / "w.xlsx").write_bytes(b"")
    with pytest.raises(ValueError, match="需要 .parquet 或 .csv"):
        read_weights(tmp_path / "w.xlsx")
    with pytest.raises(FileNotFoundError, match="权重文件不存在"):
        read_weights(tmp_path / "w.parquet")
    with pytest.raises(ValueError, match="没有基准 '399303'"):
        run_store_backtest(store, weekly_weights(store), benchmark="399303")
    with pytest.raises(FileNotFoundError, match="没有回测准备数据存储"):
        run_store_backtest(tmp_path, weekly_weights(store))


def test_output_folder_gets_both_images_and_strict_json(store, tmp_path):
    # Two trading days give one daily return: the ratios of a spread are NaN.
    two_days = weekly_weights(store).iloc[:2].set_axis(["2022-03-07", "2022-03-08"])
    result = run_store_backtest(store, two_days, output_dir=tmp_path / "out", strategy_name="两周")
    written = sorted(path.name for path in (tmp_path / "out").iterdir())
    assert written == ["statistics.json", "strategy_backtest.png", "strategy_backtest_weekly_net_value.png"]

    def refuse(constant):
        raise AssertionError(f"{constant} is not JSON")

    record = json.loads((tmp_path / "out" / "statistics.json").read_text("utf-8"), parse_constant=refuse)
    assert record["strategy_name"] == "两周" and record["benchmark"] == "000852"
    assert record["trading_days"] == len(result.daily_return)
    assert record["stats"].keys() == result.stats.keys() and None in record["stats"].values()
    assert [row["benchmark_name"] for row in record["benchmark_summary"]] == ["000852", "000300", "000905"]
    assert record["plot_paths"] == result.plot_paths


def test_public_names_resolve_lazily():
    code = (
        "import sys, tolvane, tolvane.backtest as b\n"
        "assert 'pandas' not in sys.modules and 'matplotlib' not in sys.modules\n"
        "for name in b.__all__: getattr(b, name)\n"
        "assert b.download_benchmark_package.__module__ == 'tolvane.backtest._bundle'\n"
        "assert 'matplotlib.font_manager' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
