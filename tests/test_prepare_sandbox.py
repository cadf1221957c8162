"""Prepared data against the running sandbox service: builds, stores, updates,
the benchmark package, and a backtest fed from a store."""

from __future__ import annotations

import io
import mmap
import subprocess
import sys
import zipfile

import httpx
import numpy as np
import pandas as pd
import pytest

import tolvane
from tolvane import singleton
from tolvane.backtest import (
    BinaryPreparedDataStore,
    GroupPreparedDataBuilder,
    backtest_inputs,
    prepare_store,
    run_strategy_backtest_core,
    update_store,
)
from tolvane.sandbox import DOWNLOAD_PATH, Faults
from tolvane.sandbox.server import API_PREFIX

from markets import mapped_file_of
from reference.prepared_data import ReferenceBuilder, assert_same_data


@pytest.fixture
def service(sandbox):
    yield tolvane.init(sandbox.api_key, sandbox.api_secret, base_url=sandbox.base_url)
    singleton.reset()


def assert_same_store(got: BinaryPreparedDataStore, want: BinaryPreparedDataStore) -> None:
    loaded, expected = got.load(), want.load()
    assert list(loaded) == list(expected)
    for key, matrix in expected.items():
        pd.testing.assert_frame_equal(loaded[key], matrix, obj=key)
    benchmarks, expected_benchmarks = got.load_benchmarks(), want.load_benchmarks()
    assert list(benchmarks) == list(expected_benchmarks) == ["000852", "000300", "000905"]
    for name, series in expected_benchmarks.items():
        pd.testing.assert_series_equal(benchmarks[name], series)


def test_full_and_incremental_builds_agree(service, sandbox):
    builder = GroupPreparedDataBuilder("20220601", "20220731")
    full = builder.build()
    assert_same_data(full["data"], ReferenceBuilder(service, "20220601", "20220731").build_data())
    # The batched query is cut mid-stream: every factor is then read alone.
    sandbox.faults = Faults(cut_after_batches=1, paths=(API_PREFIX + "/factors/stream",), times=1)
    incremental = builder.build_incremental()
    assert not sandbox.faults.active()
    assert_same_data(incremental["data"], full["data"])


def test_stores_round_trip_and_updates_equal_full_builds(service, tmp_path):
    payload = GroupPreparedDataBuilder("20220401", "20220630").build()
    store = prepare_store(tmp_path / "store", "2022-04-01", "2022-06-30")
    loaded = store.load()
    for key, matrix in payload["data"].items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(loaded[key].loc[matrix.index, matrix.columns], matrix, obj=key)
    for name, series in payload["data"]["benchmark_dict"].items():
        pd.testing.assert_series_equal(store.load_benchmarks()[name], series)
    assert isinstance(mapped_file_of(loaded["close_price"]), mmap.mmap)

    # No stock lists before 2022-09-20: the update appends in place.
    stocks_file = store.load_metadata()["axes"]["stocks_file"]
    update_store(tmp_path / "store", "2022-09-20")
    assert store.load_metadata()["axes"]["stocks_file"] == stocks_file
    assert_same_store(store, prepare_store(tmp_path / "full-1", "2022-04-01", "2022-09-20"))

    # A stock lists on 2022-09-27: the store widens to take it.
    update_store(tmp_path / "store", 20221031)
    assert store.load_metadata()["axes"]["stocks_file"] != stocks_file
    assert_same_store(store, prepare_store(tmp_path / "full-2", "2022-04-01", "2022-10-31"))
    before = store.metadata_path.read_bytes()
    update_store(tmp_path / "store", "2022-10-31")
    assert store.metadata_path.read_bytes() == before


def test_a_store_feeds_the_backtest(service, tmp_path):
    store = prepare_store(tmp_path, "2022-01-01", "2023-06-30")
    matrices = store.load()
    members = matrices["component_000852.XSHG"].fillna(0.0)
    weights = members.div(members.sum(axis=1).replace(0.0, np.nan), axis=0).fillna(0.0)
    result = run_strategy_backtest_core(
        weights, **backtest_inputs(matrices), benchmark_dict=store.load_benchmarks(), benchmark_names="000852"
    )
    daily = result.daily_return
    assert len(daily) == len(weights) - 1 and np.isfinite(daily).all()
    # Equal weights on the index's members track the index.
    assert result.stats["return_corr"] > 0.8 and result.stats["holding_count"] > 3
    assert abs(result.stats["annual_return"]) < 100

    in_memory = {key: matrix.copy() for key, matrix in store.load(mmap=False).items()}
    again = run_strategy_backtest_core(weights.copy(), **backtest_inputs(in_memory))
    np.testing.assert_allclose(again.daily_return, daily, rtol=1e-12, atol=1e-15)


def test_the_benchmark_package_is_a_full_build_of_the_market(service, sandbox, tmp_path):
    package = httpx.get(sandbox.base_url + DOWNLOAD_PATH, timeout=60).content
    with zipfile.ZipFile(io.BytesIO(package)) as archive:
        assert "metadata.pkl" in archive.namelist() and all("/" not in name for name in archive.namelist())
        archive.extractall(tmp_path / "package")
    unpacked = BinaryPreparedDataStore(tmp_path / "package")
    assert unpacked.load_metadata()["meta"]["source"] == "tolvane sandbox"
    market = sandbox.market
    assert_same_store(unpacked, prepare_store(tmp_path / "full", market.start, market.end))


def test_backtest_package_imports_stay_light():
    code = (
        "import sys, tolvane.backtest as b\n"
        "assert 'tolvane.backtest._prepare' not in sys.modules and 'pandas' not in sys.modules\n"
        "assert b.prepare_store.__module__ == 'tolvane.backtest.prepared'\n"
        "assert b.BinaryPreparedDataStore.__module__ == 'tolvane.backtest._prepare'\n"
        "assert callable(b.calc_strategy_stats) and 'update_store' in dir(b)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
