"""The binary store: round trips, memory mapping, component supplements, the metadata
unpickler, writes and updates that fail part-way, snapshots, and the legacy undo journal."""

from __future__ import annotations

import json
import os
import pickle

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest._prepare import BinaryPreparedDataStore
from tolvane.backtest._store import JOURNAL_FILE, BinaryPreparedDataStoreBase, StoreFormatError
from tolvane.backtest._store.staging import plan_write

from markets import mapped_file_of

DATES = [f"202401{day:02d}" for day in (2, 3, 4, 5, 8, 9)]


def frame(values, dates=DATES, stocks=("000001", "000002", "600000")):
    return pd.DataFrame(
        np.asarray(values),
        index=pd.Index(dates, name="DataDate"),
        columns=pd.Index(list(stocks), name="ukey"),
    )


def payload(seed=0, dates=DATES, stocks=("000001", "000002", "600000")) -> dict:
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(stocks))
    return {
        "version": 1,
        "meta": {"start_date": dates[0], "end_date": dates[-1], "component_names": [], "created_at": "t"},
        "data": {
            "close_price": frame(rng.normal(10, 1, shape), dates, stocks),
            # Narrower than the others: the store widens it with missing cells.
            "open_price": frame(rng.normal(10, 1, (shape[0], 2)), dates, stocks[:2]),
            "can_buy_stock": frame(rng.random((shape[0] - 1, shape[1])) > 0.3, dates[1:], stocks),
            "cant_sell_stock": frame(rng.random(shape) > 0.7, dates, stocks),
            "benchmark_dict": {
                "000852": pd.Series(
                    rng.normal(0, 0.01, len(dates)),
                    index=pd.Index(dates, name="DataDate"),
                    name="index_day_return",
                )
            },
        },
    }


def open_store(path, component_names=None):
    return BinaryPreparedDataStore(path, [] if component_names is None else component_names)


def test_round_trip_mapping_and_date_ranges(tmp_path):
    written = payload()
    store = open_store(tmp_path)
    assert store.load() is None and store.load_metadata() == {}
    store.write(written)
    loaded = store.load()
    assert list(loaded) == ["close_price", "open_price", "can_buy_stock", "cant_sell_stock"]
    pd.testing.assert_frame_equal(loaded["close_price"], written["data"]["close_price"])
    # Cells a matrix lacks: NaN for prices; a build's permissions default to tradable.
    opened = loaded["open_price"]
    pd.testing.assert_frame_equal(opened[["000001", "000002"]], written["data"]["open_price"])
    assert opened["600000"].isna().all()
    can_buy = loaded["can_buy_stock"]
    assert can_buy.dtypes.eq(bool).all() and can_buy.iloc[0].all()
    pd.testing.assert_frame_equal(can_buy.iloc[1:], written["data"]["can_buy_stock"])

    assert all(mapped_file_of(matrix) is not None for matrix in loaded.values())
    assert not loaded["close_price"].to_numpy().flags.writeable
    in_memory = store.load(mmap=False)
    assert mapped_file_of(in_memory["close_price"]) is None
    pd.testing.assert_frame_equal(in_memory["close_price"], loaded["close_price"])

    part = store.load(start_date="2024-01-03", end_date=20240105, keys=["cant_sell_stock", "close_price"])
    assert list(part) == ["cant_sell_stock", "close_price"]
    pd.testing.assert_frame_equal(part["close_price"], written["data"]["close_price"].iloc[1:4])
    assert mapped_file_of(part["close_price"]) is not None
    bench = store.load_benchmarks("20240104")["000852"]
    pd.testing.assert_series_equal(bench, written["data"]["benchmark_dict"]["000852"].iloc[2:])
    with pytest.raises(KeyError, match="industry_matrix"):
        store.load(keys=["industry_matrix"])

    manifest = json.loads(store.manifest_path.read_text(encoding="utf-8"))
    assert (manifest["version"], manifest["start_date"], manifest["end_date"]) == (1, "20240102", "20240109")
    assert manifest["datasets"]["can_buy_stock"]["dtype"] == "bool"
    assert manifest["datasets"]["open_price"]["shape"] == [6, 3]


def test_binary_store_loads_its_table_in_table_order(tmp_path, monkeypatch):
    store = open_store(tmp_path)
    store.write(payload())
    asked = []
    monkeypatch.setattr(
        BinaryPreparedDataStoreBase, "load", lambda self, **kwargs: asked.append(kwargs) or {}
    )
    metadata = store.load_metadata()
    metadata["datasets"] = {"buy_price": {}, "close_price": {}, "not_in_table": {}}
    monkeypatch.setattr(BinaryPreparedDataStore, "load_metadata", lambda self: metadata)
    store.load()
    assert asked[-1] == {
        "start_date": None,
        "end_date": None,
        "keys": ["close_price", "buy_price"],
        "mmap": True,
    }

    def unreadable(self):
        raise AssertionError("metadata read")

    monkeypatch.setattr(BinaryPreparedDataStore, "load_metadata", unreadable)
    store.load(keys=[], mmap=0)
    assert asked[-1]["keys"] == [] and asked[-1]["mmap"] is False
    with pytest.raises(TypeError, match=r"Argument 'keys' has incorrect type \(expected list, got tuple\)"):
        store.load(keys=("close_price",))


def test_adding_component_matrices(tmp_path):
    store = open_store(tmp_path, ["B"])
    base = payload()
    base["data"]["component_B"] = frame(np.ones((6, 3)))
    base["meta"]["component_names"] = ["B"]
    store.write(base)
    assert store.add_component_matrices({}, []) == []
    before = store.load_metadata()["updated_at"]
    assert store.add_component_matrices({"B": frame(np.zeros((6, 3)))}, ["B"]) == []
    assert store.load_metadata()["updated_at"] == before

    membership = frame(np.where(np.eye(6, 3) > 0, 1.0, np.nan))
    assert store.add_component_matrices({"A": membership}, [" A ", "A", "B"]) == ["A"]
    metadata = store.load_metadata()
    meta = metadata["meta"]
    assert meta["component_names"] == ["B", "A"]
    assert meta["component_dataset_keys"] == {"B": "component_B", "A": "component_A"}
    assert metadata["updated_at"] == meta["updated_at"] == meta["component_supplemented_at"] != before
    store_with_a = open_store(tmp_path, ["B", "A"])
    pd.testing.assert_frame_equal(store_with_a.load(keys=["component_A"])["component_A"], membership)
    assert "component_A" in json.loads(store.manifest_path.read_text())["datasets"]

    with pytest.raises(ValueError) as raised:
        store.add_component_matrices({"C": frame(np.empty((0, 3)), dates=[])}, ["C"])
    assert str(raised.value) == "缺失成分股矩阵为空，无法补充: C"
    assert store.load_metadata() == metadata


def test_metadata_is_replaced_whole_when_its_write_fails(tmp_path, monkeypatch):
    store = open_store(tmp_path)
    store.write(payload())
    before = store.metadata_path.read_bytes()
    real_replace = os.replace

    def failing_replace(source, target):
        if str(target).endswith("metadata.pkl"):
            raise OSError(28, "No space left on device")
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", failing_replace)
    with pytest.raises(OSError, match="No space left"):
        store.add_component_matrices({"A": frame(np.ones((6, 3)))}, ["A"])
    monkeypatch.undo()
    assert store.metadata_path.read_bytes() == before
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]
    assert list(store.load()) == ["close_price", "open_price", "can_buy_stock", "cant_sell_stock"]


class RunsCode:
    def __reduce__(self):
        return (os.system, ("echo pwned > pwned.txt",))


def test_metadata_that_would_run_code_is_refused(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store = open_store(tmp_path)
    store.metadata_path.write_bytes(pickle.dumps({"datasets": {}, "evil": RunsCode()}))
    with pytest.raises(StoreFormatError, match="posix.system|os.system"):
        store.load_metadata()
    assert not (tmp_path / "pwned.txt").exists()

    plain = {"meta": {"at": pd.Timestamp("2024-01-05 10:00"), "tags": {"a"}, "n": (1, 2.5, None, True)}}
    store.metadata_path.write_bytes(pickle.dumps(plain, protocol=pickle.HIGHEST_PROTOCOL))
    assert store.load_metadata() == plain
    store.metadata_path.write_bytes(pickle.dumps(plain)[:-7])
    with pytest.raises(StoreFormatError):
        store.load_metadata()


def referenced_and_present(store) -> tuple[set, set]:
    metadata = store.load_metadata()
    referenced = {entry["file"] for entry in metadata["datasets"].values()}
    referenced |= {
        metadata["axes"]["dates_file"],
        metadata["axes"]["stocks_file"],
        metadata["benchmarks"]["file"],
    }
    present = {name for name in os.listdir(store.store_dir) if not name.startswith(".")}
    return referenced, present - {"metadata.pkl", "manifest.json"}


def test_a_write_that_fails_part_way_leaves_the_previous_store(tmp_path, monkeypatch):
    store = open_store(tmp_path)
    store.write(payload(seed=1))
    previous = store.load(mmap=False)
    real_write = os.write
    calls = []

    def disk_fills_up(fd, data):
        calls.append(1)
        if len(calls) == 4:
            raise OSError(28, "No space left on device")
        return real_write(fd, data)

    monkeypatch.setattr(os, "write", disk_fills_up)
    with pytest.raises(OSError, match="No space left"):
        store.write(payload(seed=2, stocks=("000001", "300750")))
    monkeypatch.undo()
    for key, matrix in store.load().items():
        pd.testing.assert_frame_equal(matrix, previous[key])
    # The failed write took its new files with it.
    referenced, present = referenced_and_present(store)
    assert present == referenced

    broken = payload(seed=3)
    broken["data"]["cant_sell_stock"] = broken["data"]["cant_sell_stock"].astype(object)
    broken["data"]["cant_sell_stock"].iloc[2, 1] = "not a flag"
    broken["data"]["open_price"] = broken["data"]["open_price"].astype(object)
    broken["data"]["open_price"].iloc[1, 1] = "12.5 yuan"
    with pytest.raises(ValueError):
        store.write(broken)
    referenced, present = referenced_and_present(store)
    assert present == referenced
    for key, matrix in store.load().items():
        pd.testing.assert_frame_equal(matrix, previous[key])


def store_files(store) -> dict[str, bytes]:
    """Every committed file's bytes by its name without the generation."""
    metadata = store.load_metadata()
    files = {key: entry["file"] for key, entry in metadata["datasets"].items()}
    files |= {"dates": metadata["axes"]["dates_file"], "stocks": metadata["axes"]["stocks_file"]}
    files["benchmarks"] = metadata["benchmarks"]["file"]
    return {key: (store.store_dir / name).read_bytes() for key, name in files.items()}


@pytest.mark.parametrize("widened", [False, True])
def test_a_staged_write_equals_a_whole_write(tmp_path, widened):
    whole = payload(seed=4)
    early = {key: whole["data"][key] for key in ("close_price", "can_buy_stock")}
    if widened:  # a later matrix brings a stock the early ones lack: they are written again
        whole["data"]["open_price"] = frame(np.arange(12.0).reshape(6, 2), stocks=("000001", "688001"))
    open_store(tmp_path / "whole").write(whole)
    store = open_store(tmp_path / "staged")
    with store.staged_write() as staged:
        staged.start(early)
        staged.start({"cant_sell_stock": whole["data"]["cant_sell_stock"]})
        staged.start({"dropped": whole["data"]["close_price"]})  # not in the payload: removed
        staged.finish(plan_write(store, whole))
    assert store_files(store) == store_files(open_store(tmp_path / "whole"))
    referenced, present = referenced_and_present(store)
    assert present == referenced


def test_a_staged_write_that_stops_early_leaves_the_previous_store(tmp_path):
    store = open_store(tmp_path)
    store.write(payload(seed=1))
    previous = store_files(store)
    with pytest.raises(RuntimeError, match="build failed"):
        with store.staged_write() as staged:
            staged.start({key: payload(seed=2)["data"][key] for key in ("close_price", "open_price")})
            raise RuntimeError("build failed")
    with store.staged_write() as staged:
        staged.start({"close_price": payload(seed=3)["data"]["close_price"]})  # and never finished
    assert store_files(store) == previous
    referenced, present = referenced_and_present(store)
    assert present == referenced


def tail_payload(seed, dates, stocks=("000001", "000002", "600000")):
    tail = payload(seed, dates, stocks)
    tail["meta"] = {"end_date": dates[-1]}
    return tail


def expected_after_update(old: dict, tail: dict, seam: str) -> dict:
    merged = {}
    for key, matrix in tail["data"].items():
        if key != "benchmark_dict":
            before = old[key].loc[old[key].index < seam]
            merged[key] = pd.concat([before, matrix.loc[matrix.index >= seam]])
    return merged


def test_replacing_the_tail_writes_a_new_generation_and_keeps_loaded_frames(tmp_path, monkeypatch):
    store = open_store(tmp_path)
    store.write(payload(seed=1))
    old_files = {entry["file"] for entry in store.load_metadata()["datasets"].values()}
    previous = store.load(mmap=False)
    mapped = store.load()
    tail = tail_payload(seed=2, dates=DATES[3:] + ["20240110", "20240111"])

    # A failure the writer survives leaves the committed store as it was.
    real_write = os.write
    calls = []

    def disk_fills_up(fd, data):
        calls.append(1)
        if len(calls) == 5:
            raise OSError(28, "No space left on device")
        return real_write(fd, data)

    monkeypatch.setattr(os, "write", disk_fills_up)
    with pytest.raises(OSError):
        store.replace_tail(tail, "20240108")
    monkeypatch.undo()
    for key, matrix in store.load(mmap=False).items():
        pd.testing.assert_frame_equal(matrix, previous[key])
    referenced, present = referenced_and_present(store)
    assert present == referenced

    store.replace_tail(tail, "20240108")
    updated = store.load()
    metadata = store.load_metadata()
    new_files = {entry["file"] for entry in metadata["datasets"].values()}
    assert not new_files & old_files and not any((tmp_path / name).exists() for name in old_files)
    assert metadata["meta"]["end_date"] == "20240111" and metadata["meta"]["start_date"] == "20240102"
    for key, want in expected_after_update(previous, tail, "20240108").items():
        pd.testing.assert_frame_equal(
            updated[key].reindex(columns=want.columns),
            want.reindex(columns=want.columns),
            obj=key,
            check_dtype=False,
        )
    # Frames mapped before the update are a snapshot of the version they came from.
    for key, matrix in mapped.items():
        pd.testing.assert_frame_equal(matrix, previous[key])
    bench = store.load_benchmarks()["000852"]
    assert bench.index.tolist() == DATES[:4] + ["20240108", "20240109", "20240110", "20240111"]
    assert bench["20240109"] == tail["data"]["benchmark_dict"]["000852"]["20240109"]
    report = store.verify()
    assert report["checksummed"] == report["files"] == len(new_files) + 3


def test_an_interrupted_in_place_update_of_an_older_version_is_rolled_back_by_the_next_writer(tmp_path):
    store = open_store(tmp_path)
    store.write(payload(seed=1))
    previous = store.load(mmap=False)
    entry = store.load_metadata()["datasets"]["close_price"]
    path = tmp_path / entry["file"]
    row_bytes = 3 * 8
    original = path.read_bytes()
    # What the older in-place update left when it was killed before its commit:
    # the tail rewritten and extended, an undo journal, the old metadata.
    journal = {
        "base_generation": store.load_metadata()["generation"],
        "new_generation": "0123456789ab",
        "files": [
            {
                "file": entry["file"],
                "offset": 4 * row_bytes,
                "size": len(original),
                "undo": original[4 * row_bytes :],
            }
        ],
    }
    (tmp_path / JOURNAL_FILE).write_bytes(pickle.dumps(journal))
    path.write_bytes(original[: 4 * row_bytes] + b"\xff" * (3 * row_bytes))

    with pytest.raises(StoreFormatError, match="update.journal"):
        store.load()
    store.recover()
    assert not (tmp_path / JOURNAL_FILE).exists()
    for key, matrix in store.load(mmap=False).items():
        pd.testing.assert_frame_equal(matrix, previous[key])

    # A journal whose update did commit only goes away.
    committed = store.load_metadata()["generation"]
    (tmp_path / JOURNAL_FILE).write_bytes(pickle.dumps({**journal, "new_generation": committed}))
    store.write(payload(seed=5))
    assert not (tmp_path / JOURNAL_FILE).exists()
    pd.testing.assert_frame_equal(store.load()["close_price"], payload(seed=5)["data"]["close_price"])

    (tmp_path / JOURNAL_FILE).write_bytes(
        pickle.dumps({**journal, "files": [{**journal["files"][0], "file": "../escape.bin"}]})
    )
    with pytest.raises(StoreFormatError, match="条目无法使用"):
        store.recover()


def test_replacing_the_tail_with_new_stocks_and_refusing_lost_dates(tmp_path):
    store = open_store(tmp_path)
    store.write(payload(seed=1))
    previous = store.load(mmap=False)
    stocks = ("000001", "000002", "300750", "600000")
    tail = tail_payload(seed=4, dates=DATES[4:] + ["20240110"], stocks=stocks)
    store.replace_tail(tail, "20240108")
    updated = store.load()
    assert updated["close_price"].columns.tolist() == list(stocks)
    assert updated["close_price"]["300750"].iloc[:4].isna().all()
    pd.testing.assert_frame_equal(
        updated["close_price"].iloc[:4].drop(columns="300750"), previous["close_price"].iloc[:4]
    )
    pd.testing.assert_frame_equal(updated["close_price"].iloc[4:], tail["data"]["close_price"])

    short = tail_payload(seed=5, dates=["20240110", "20240111"])
    with pytest.raises(ValueError, match="没有覆盖"):
        store.replace_tail(short, "20240108")


def test_the_first_component_matrix_gives_a_store_without_a_build_its_axes(tmp_path):
    store = open_store(tmp_path, ["A", "B"])
    tmp_path.joinpath("metadata.pkl").write_bytes(pickle.dumps({"meta": {"component_names": []}}))
    membership = frame(np.where(np.eye(6, 3) > 0, 1.0, np.nan))
    assert store.add_component_matrices({"A": membership, "B": membership.iloc[:4]}, ["A", "B"]) == ["A", "B"]
    loaded = store.load()
    pd.testing.assert_frame_equal(loaded["component_A"], membership)
    pd.testing.assert_frame_equal(loaded["component_B"], membership.iloc[:4].reindex(membership.index))
    assert store.load_metadata()["meta"]["component_names"] == ["A", "B"]
    assert store.verify()["files"] == 4
