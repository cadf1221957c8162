"""Sweeps over strategy variants: inline, on threads, on an executor and on
Dask clusters in one process and in two, every run gives the serial rows;
failures name their variant; nothing imports Dask unless a client is given."""

from __future__ import annotations

import concurrent.futures
import logging
import re
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest import (
    BinaryPreparedDataStore,
    Variant,
    backtest_inputs,
    run_strategy_backtest_core,
    sweep,
)
from tolvane.sandbox.market import SyntheticMarket
from tolvane.sandbox.package import market_payload


def momentum(data, window, top):
    """Equal weights on the `top` stocks that rose most over `window` days."""
    close = data["close_price"]
    chosen = ((close / close.shift(window)).rank(axis=1, ascending=False) <= top).astype(float)
    return chosen.div(chosen.sum(axis=1).replace(0.0, np.nan), axis=0).fillna(0.0)


def low_price(data, top=10):
    """Equal weights on the `top` cheapest stocks."""
    chosen = (data["close_price"].rank(axis=1) <= top).astype(float)
    return chosen.div(chosen.sum(axis=1).replace(0.0, np.nan), axis=0).fillna(0.0)


VARIANTS = [Variant(momentum, {"window": window, "top": top}) for window in (5, 20) for top in (5, 15)]
VARIANTS.append(Variant(low_price, name="cheapest ten"))


@pytest.fixture(scope="module")
def store_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("store")
    market = SyntheticMarket(seed=3, n_stocks=60, start="2022-01-01", end="2023-06-30")
    BinaryPreparedDataStore(folder).write(market_payload(market))
    return folder


@pytest.fixture(scope="module")
def serial_rows(store_dir):
    store = BinaryPreparedDataStore(store_dir)
    data, benchmarks = store.load(), store.load_benchmarks()
    rows = []
    for variant in VARIANTS:
        result = run_strategy_backtest_core(
            variant.make_weights(data, **variant.params), **backtest_inputs(data), benchmark_dict=benchmarks
        )
        rows.append({"variant": variant.label, **variant.params, **result.stats})
    return pd.DataFrame(rows)


def test_inline_threads_and_an_executor_give_the_serial_rows(store_dir, serial_rows):
    assert serial_rows["variant"].tolist()[:2] == ["momentum(window=5, top=5)", "momentum(window=5, top=15)"]
    assert serial_rows["variant"].iloc[-1] == "cheapest ten"
    pd.testing.assert_frame_equal(sweep(store_dir, VARIANTS, max_workers=1), serial_rows)
    pd.testing.assert_frame_equal(sweep(store_dir, VARIANTS, max_workers=2), serial_rows)
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        pd.testing.assert_frame_equal(sweep(store_dir, VARIANTS, executor=pool), serial_rows)


def test_dates_and_trading_settings_reach_every_backtest(store_dir):
    store = BinaryPreparedDataStore(store_dir)
    data = store.load(start_date="2022-03-01", end_date="2022-12-30")
    benchmark = store.load_benchmarks("2022-03-01", "2022-12-30")["000300"]
    settings = {"rolling_window": 3, "total_money": 2e6, "fee": 0.001, "rule_fee": 0.002}
    expected = run_strategy_backtest_core(
        momentum(data, 10, 8),
        **backtest_inputs(data),
        benchmark_dict={"000300": benchmark},
        benchmark_names="000300",
        **settings,
    ).stats
    rows = sweep(
        store_dir,
        [(momentum, {"window": 10, "top": 8})] * 2,
        start_date=20220301,
        end_date="2022-12-30",
        benchmark="000300",
        max_workers=2,
        **settings,
    )
    assert rows.drop(columns=["variant", "window", "top"]).to_dict("records") == [expected, expected]


@pytest.mark.parametrize("processes", [False, True], ids=["threads", "two processes"])
def test_dask_cluster_gives_the_serial_rows_from_stores_mapped_on_the_workers(
    store_dir, serial_rows, processes
):
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=processes,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        rows = sweep(store_dir, VARIANTS, executor=client)

        def mapped_stores():
            import mmap

            from tolvane.backtest import _sweep

            def mapped(frame):
                array = frame.to_numpy()
                while array is not None and not isinstance(array, mmap.mmap):
                    array = getattr(array, "base", None)
                return array is not None

            return [mapped(data["close_price"]) for data, _ in _sweep._OPENED.values()]

        opened = client.run(mapped_stores)
    pd.testing.assert_frame_equal(rows, serial_rows)
    # Each worker keeps one memory-mapped store, however many tasks it ran.
    assert all(flags in ([], [True]) for flags in opened.values()) and any(opened.values())


def test_failures_name_their_variant_and_bad_input_is_refused(store_dir, tmp_path):
    def broken(data):
        raise RuntimeError("no weights today")

    with pytest.raises(RuntimeError, match="no weights today") as failure:
        sweep(store_dir, [*VARIANTS[:2], broken], max_workers=2)
    assert any("'broken()'" in note for note in failure.value.__notes__)

    rows = sweep(store_dir, [(momentum, {"window": 5, "top": 5}), low_price], max_workers=1)
    assert rows["variant"].tolist() == ["momentum(window=5, top=5)", "low_price()"]
    assert sweep(store_dir, []).columns[0] == "variant"
    with pytest.raises(TypeError, match="策略变体"):
        sweep(store_dir, [("momentum", {})])
    with pytest.raises(FileNotFoundError, match="没有回测准备数据存储"):
        sweep(tmp_path, VARIANTS)


def test_sweeping_on_threads_does_not_import_dask(store_dir):
    script = (
        "import sys\n"
        "from tolvane.backtest import sweep\n"
        f"sweep({str(store_dir)!r}, [lambda data: data['close_price'] * 0.0], max_workers=1)\n"
        "loaded = {'dask', 'distributed'} & set(sys.modules)\n"
        "assert not loaded, sorted(loaded)\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)


def transposed(data):
    return low_price(data).T


def unknown_columns(data):
    return low_price(data).rename(columns=lambda code: "X" + code)


def some_unknown_columns(data):
    weights = low_price(data)
    weights["ZZ0001"] = 0.5
    return weights


def empty(data):
    return pd.DataFrame()


def infinite(data):
    weights = low_price(data)
    weights.iloc[5, 3] = np.inf
    return weights


@pytest.mark.parametrize(
    "make_weights, message",
    [
        (transposed, "不是日期 (权重表是否转置了?)"),
        (unknown_columns, "中没有一只是存储中的股票"),
        (empty, "权重表为空"),
        (infinite, "列的权重为 inf, 无法交易"),
    ],
)
def test_what_a_variant_returns_is_checked_before_it_is_traded(store_dir, make_weights, message):
    with pytest.raises(ValueError, match=re.escape(message)) as failure:
        sweep(store_dir, [Variant(low_price), Variant(make_weights)], max_workers=1)
    assert str(failure.value).startswith(f"策略变体 '{make_weights.__name__}()': ")


def test_weight_on_stocks_the_store_does_not_know_is_reported(store_dir, serial_rows):
    with pytest.warns(
        UserWarning, match=r"策略变体 'some_unknown_columns\(\)': 1 只股票不在存储中, 占权重绝对值的"
    ):
        rows = sweep(store_dir, [some_unknown_columns], max_workers=1)
    expected = serial_rows.loc[serial_rows["variant"] == "cheapest ten"].drop(
        columns=["variant", "window", "top"]
    )
    assert rows.drop(columns="variant").to_dict("records") == expected.to_dict("records")


def test_a_failing_variant_is_reported_without_waiting_for_the_running_ones(store_dir):
    released = threading.Event()
    seen = []

    def slow(data):
        seen.append(released.wait(120))
        return low_price(data)

    def failing(data):
        raise RuntimeError("no weights today")

    with pytest.raises(RuntimeError, match="no weights today"):
        sweep(store_dir, [slow, failing, slow, slow, slow], max_workers=2)
    released.set()
    for thread in threading.enumerate():
        if thread.name.startswith("tolvane-sweep"):
            thread.join(120)
    # The error came while the slow variants that had started still waited (one a
    # worker); those not started never ran.
    assert 1 <= len(seen) <= 2 and all(seen)


# --- factor sweeps ----------------------------------------------------------


def reversal(data, window):
    """Minus the close-to-close return over `window` days."""
    close = data["close_price"]
    return -(close / close.shift(window) - 1)


FACTORS = [Variant(reversal, {"window": window}) for window in (3, 10, 40)]


@pytest.fixture(scope="module")
def serial_factor_rows(store_dir):
    from tolvane.backtest import factor_sweep

    return factor_sweep(store_dir, FACTORS, groups=4, horizons=(1, 5), max_workers=1)


def test_factor_rows_are_the_report_numbers(store_dir, serial_factor_rows, tmp_path):
    from tolvane.backtest import factor_report, factor_sweep

    data = BinaryPreparedDataStore(store_dir).load()
    assert serial_factor_rows["factor"].tolist() == [variant.label for variant in FACTORS]
    for row, variant in zip(serial_factor_rows.to_dict("records"), FACTORS):
        report = factor_report(
            variant.make_weights(data, **variant.params), store_dir, groups=4, horizons=(1, 5)
        )
        assert row["window"] == variant.params["window"]
        for horizon in (1, 5):
            assert row[f"ic_mean_{horizon}"] == report.ic.summary.loc[horizon, "ic_mean"]
            assert row[f"ic_ir_{horizon}"] == report.ic.summary.loc[horizon, "ic_ir"]
        spread = report.group_stats.loc["top_minus_bottom"]
        assert row["top_minus_bottom_annual_return"] == spread["annual_return"]
        assert row["top_minus_bottom_sharpe"] == spread["sharpe"]
        assert row["mean_turnover"] == report.group_turnover.mean().mean() > 0

    # Factors by name: frames and files as they are.
    frame = reversal(data, 10)
    frame.to_parquet(tmp_path / "reversal.parquet")
    named = factor_sweep(
        store_dir,
        {"frame": frame, "file": tmp_path / "reversal.parquet"},
        groups=4,
        horizons=(1, 5),
        max_workers=2,
    )
    assert named["factor"].tolist() == ["frame", "file"]
    expected = serial_factor_rows.drop(columns=["factor", "window"]).iloc[1]
    for _, row in named.drop(columns="factor").iterrows():
        pd.testing.assert_series_equal(row, expected, check_names=False, rtol=1e-12)
    with pytest.raises(TypeError, match="因子 'bad'"):
        factor_sweep(store_dir, {"bad": 3})
    assert factor_sweep(store_dir, [], horizons=(2,)).columns.tolist()[:3] == [
        "factor",
        "ic_mean_2",
        "ic_ir_2",
    ]


def test_factor_sweep_on_threads_a_process_pool_and_a_dask_cluster_gives_the_serial_rows(
    store_dir, serial_factor_rows
):
    from tolvane.backtest import factor_sweep

    options = {"groups": 4, "horizons": (1, 5)}
    pd.testing.assert_frame_equal(
        factor_sweep(store_dir, FACTORS, max_workers=2, **options), serial_factor_rows
    )
    import multiprocessing

    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        pd.testing.assert_frame_equal(
            factor_sweep(store_dir, FACTORS, executor=pool, **options), serial_factor_rows
        )
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        rows = factor_sweep(store_dir, FACTORS, executor=client, **options)
    pd.testing.assert_frame_equal(rows, serial_factor_rows)


def test_a_failing_factor_is_named(store_dir):
    from tolvane.backtest import factor_sweep

    def broken(data):
        raise RuntimeError("no factor today")

    with pytest.raises(RuntimeError, match="no factor today") as failure:
        factor_sweep(store_dir, [FACTORS[0], broken], max_workers=2)
    assert any("因子 'broken()' 分析失败" in note for note in failure.value.__notes__)
