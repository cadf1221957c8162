"""Processes that read and write one store at the same time, for the concurrency tests.

A store here goes through numbered versions: version 0 holds ``FIRST_DATES`` dates, and
update k (k = 1, 2, ...) rewrites the last three rows and appends one date, as a
nightly update does. Every cell's value says which version wrote it, so a reader can
tell from the dates it sees which version it loaded and check every cell against it.

Run as a script: ``python store_processes.py <role> <store> [options]``; each role prints
one JSON line when it ends.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import signal
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

FIRST_DATES = 120
STOCKS = [f"{number:06d}" for number in range(800)]
KEYS = ("close_price", "open_price", "can_buy_stock")
TAIL_ROWS = 3
ALL_DATES = pd.bdate_range("2020-01-01", periods=FIRST_DATES + 400).strftime("%Y%m%d").tolist()


def open_store(path):
    from tolvane.backtest._prepare import BinaryPreparedDataStore
    from tolvane.backtest._store import pieces

    # Pieces of a page: an update here starts a new piece of each dataset
    # (a row is 6,400 bytes), so readers map several and updates now and then
    # write a dataset whole again.
    pieces.PIECE_BYTES = mmap.PAGESIZE
    return BinaryPreparedDataStore(path, [])


def writer_of_rows(n_dates: int) -> np.ndarray:
    """For the version with ``n_dates`` dates: the version that last wrote each row."""
    version = n_dates - FIRST_DATES
    rows = np.arange(n_dates)
    # Update j writes rows FIRST_DATES + j - 1 - TAIL_ROWS .. FIRST_DATES + j - 1.
    last = np.minimum(version, rows - FIRST_DATES + 1 + TAIL_ROWS)
    first = np.maximum(rows - FIRST_DATES + 1, 1)
    return np.where(last >= first, last, 0)


def cell_values(key: str, rows: np.ndarray, versions: np.ndarray) -> np.ndarray:
    columns = np.arange(len(STOCKS))
    if key == "can_buy_stock":
        return (rows[:, None] + columns[None, :] + versions[:, None]) % 3 != 0
    return rows[:, None] * 1000.0 + columns[None, :] + versions[:, None] / 8.0


def expected_version(n_dates: int) -> dict[str, pd.DataFrame]:
    rows = np.arange(n_dates)
    versions = writer_of_rows(n_dates)
    index = pd.Index(ALL_DATES[:n_dates], name="DataDate")
    return {
        key: pd.DataFrame(
            cell_values(key, rows, versions), index=index, columns=pd.Index(STOCKS, name="ukey")
        )
        for key in KEYS
    }


def expected_benchmark(n_dates: int) -> np.ndarray:
    return np.arange(n_dates) * 1e-4 + writer_of_rows(n_dates)


def payload(rows: range, version: int) -> dict:
    row_numbers = np.arange(rows.start, rows.stop)
    index = pd.Index([ALL_DATES[row] for row in rows], name="DataDate")
    data = {
        key: pd.DataFrame(
            cell_values(key, row_numbers, np.full(len(row_numbers), version)),
            index=index,
            columns=pd.Index(STOCKS, name="ukey"),
        )
        for key in KEYS
    }
    data["benchmark_dict"] = {"000852": pd.Series(row_numbers * 1e-4 + version, index=index)}
    return {"version": 1, "meta": {"start_date": index[0], "end_date": index[-1]}, "data": data}


def create(store_dir) -> None:
    open_store(store_dir).write(payload(range(0, FIRST_DATES), 0))


def apply_update(store, version: int, progress=None, **writer_options) -> None:
    end = FIRST_DATES + version
    tail = payload(range(end - 1 - TAIL_ROWS, end), version)
    store.replace_tail(tail, ALL_DATES[end - 1 - TAIL_ROWS], progress=progress, **writer_options)


def update_to_next_version(store, progress=None) -> int:
    """As a nightly update does: under the writer lock, read where the store ends and
    write the next version."""
    with store.writing():
        version = len(store.dates()) - FIRST_DATES + 1
        apply_update(store, version, progress)
    return version


def differences(loaded: dict, expected: dict) -> list[str]:
    problems = []
    if list(loaded) != list(expected):
        return [f"datasets {list(loaded)}"]
    for key, want in expected.items():
        got = loaded[key]
        if not got.index.equals(want.index) or not got.columns.equals(want.columns):
            problems.append(f"{key}: axes differ")
        elif not np.array_equal(got.to_numpy(), want.to_numpy()):
            problems.append(f"{key}: {int((got.to_numpy() != want.to_numpy()).sum())} cells differ")
    return problems


# ------------------------------------------------------------------ roles


def read_until(args) -> dict:
    """Loads in a loop until the stop file appears; every load must be a whole version,
    and the frames of the first load must keep their values to the end."""
    store = open_store(args.store)
    loads, versions, problems = 0, set(), []
    first = first_copy = None
    stop = Path(args.stop)
    while not stop.exists() and (problems == [] or loads < 3):
        try:
            loaded = store.load()
            benchmark = store.load_benchmarks()["000852"]
        except Exception as error:  # a reader must never fail
            problems.append(f"{type(error).__name__}: {error}")
            continue
        n_dates = len(loaded["close_price"])
        versions.add(n_dates - FIRST_DATES)
        problems += differences(loaded, expected_version(n_dates))
        # A separate call: a snapshot of its own, maybe of a later version.
        if not benchmark.to_numpy().tolist() == expected_benchmark(len(benchmark)).tolist():
            problems.append(f"benchmark of {len(benchmark)} dates is not a whole version")
        if first is None:
            first, first_copy = loaded, {key: frame.copy() for key, frame in loaded.items()}
        loads += 1
    if first is not None:
        problems += [f"snapshot: {text}" for text in differences(first, first_copy)]
    return {"loads": loads, "versions": sorted(versions), "problems": problems[:10]}


def update_versions(args) -> dict:
    store = open_store(args.store)
    written = []

    def progress(key: str) -> None:
        written.append(key)
        if args.die_after_files and len(written) == args.die_after_files:
            os.kill(os.getpid(), signal.SIGKILL)

    versions = []
    for _ in range(args.count):
        versions.append(update_to_next_version(store, progress))
        if args.pause:
            time.sleep(args.pause)
    return {"versions": versions}


def hold_lock(args) -> dict:
    store = open_store(args.store)
    with store.writing():
        Path(args.ready).touch()
        while not Path(args.release).exists():
            time.sleep(0.02)
    return {"held": True}


def keep_snapshot(args) -> dict:
    """Loads, says so, waits for the go file, then compares every cell with a copy."""
    store = open_store(args.store)
    mapped = store.load()
    copies = {key: frame.to_numpy().copy() for key, frame in mapped.items()}
    Path(args.ready).touch()
    while not Path(args.release).exists():
        time.sleep(0.02)
    changed = [key for key, frame in mapped.items() if not np.array_equal(frame.to_numpy(), copies[key])]
    return {"dates": len(mapped["close_price"]), "changed": changed}


def service_job(args) -> dict:
    import tolvane
    from tolvane.backtest import prepare_store, update_store

    tolvane.init(args.key, args.secret, base_url=args.url, timeout=120)
    if args.start:
        prepare_store(args.store, args.start, args.end)
    else:
        update_store(args.store, args.end)
    return {"done": True}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("role", choices=["read", "update", "hold", "snapshot", "service"])
    parser.add_argument("store")
    parser.add_argument("--stop")
    parser.add_argument("--ready")
    parser.add_argument("--release")
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--pause", type=float, default=0.0)
    parser.add_argument("--die-after-files", type=int, default=0)
    parser.add_argument("--url")
    parser.add_argument("--key")
    parser.add_argument("--secret")
    parser.add_argument("--start")
    parser.add_argument("--end")
    args = parser.parse_args()
    roles = {
        "read": read_until,
        "update": update_versions,
        "hold": hold_lock,
        "snapshot": keep_snapshot,
        "service": service_job,
    }
    print(json.dumps(roles[args.role](args)), flush=True)


if __name__ == "__main__":
    sys.exit(main())
