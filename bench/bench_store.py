"""The prepared data store: a one-day update and a full load of a large store.

A store of 2,500 dates x 5,000 stocks with every dataset of the default table
(twelve backtest matrices and five component matrices, about 1.5 GB) is written
once; then, in turns:

1. a one-day update (``replace_tail``): the last three rows rewritten and one
   new date appended, as ``update_store`` does after a trading day;
2. loading every matrix memory-mapped, and the same load touching every page.

Each measurement runs in a child process per interpreter given, so the same
script can time another installed build side by side with this one
(``--compare /path/to/other/venv/bin/python``); the children take turns.

Run: ``python bench/bench_store.py`` (``make bench``); ``--quick`` for small sizes.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

TAIL_ROWS = 3


def dates_from(first: str, count: int) -> list[str]:
    return pd.bdate_range(first, periods=count).strftime("%Y%m%d").tolist()


def payload_for(store, dates: list[str], stocks: list[str], seed: int) -> dict:
    rng = np.random.default_rng(seed)
    data = {}
    for key in store.matrix_dtype:
        if store.matrix_dtype[key] == "bool":
            values = rng.random((len(dates), len(stocks))) > 0.1
        else:
            values = rng.random((len(dates), len(stocks)))
        data[key] = pd.DataFrame(
            values, index=pd.Index(dates, name="DataDate"), columns=pd.Index(stocks, name="ukey"), copy=False
        )
    index = pd.Index(dates, name="DataDate")
    data["benchmark_dict"] = {
        name: pd.Series(rng.normal(0, 0.01, len(dates)), index=index, name="index_day_return")
        for name in ("000852", "000300", "000905")
    }
    return {"version": 1, "meta": {"start_date": dates[0], "end_date": dates[-1]}, "data": data}


def child_main(args) -> None:
    from tolvane.backtest import BinaryPreparedDataStore

    stocks = [f"{number:06d}" for number in range(args.stocks)]
    all_dates = dates_from("2010-01-04", args.dates + args.repeats)
    with tempfile.TemporaryDirectory(dir=args.workdir) as folder:
        store = BinaryPreparedDataStore(Path(folder) / "store")
        store.write(payload_for(store, all_dates[: args.dates], stocks, seed=0))
        updates, loads, touched = [], [], []
        for day in range(args.repeats):
            end = args.dates + day + 1
            tail_dates = all_dates[end - 1 - TAIL_ROWS : end]
            tail = payload_for(store, tail_dates, stocks, seed=day + 1)
            began = time.perf_counter()
            store.replace_tail(tail, tail_dates[0])
            updates.append(time.perf_counter() - began)

            began = time.perf_counter()
            matrices = store.load()
            loads.append(time.perf_counter() - began)
            began = time.perf_counter()
            total = sum(
                float(matrix.to_numpy()[:, ::512].sum())
                for matrix in matrices.values()
                if matrix.dtypes.iloc[0] == np.float64
            )
            touched.append(time.perf_counter() - began + loads[-1])
            del matrices
        assert np.isfinite(total)
    print(json.dumps({"update": updates, "load": loads, "load_and_read": touched}))


def run_child(python: str, args) -> dict:
    command = [
        python,
        __file__,
        "--child",
        "--dates",
        str(args.dates),
        "--stocks",
        str(args.stocks),
        "--repeats",
        str(args.repeats),
        "--workdir",
        args.workdir,
    ]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def describe(values: list[float]) -> str:
    median, low, high = (statistics.median(values) * 1e3, min(values) * 1e3, max(values) * 1e3)
    return f"median {median:8.1f} ms (min {low:.1f}, max {high:.1f})"


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a check in seconds")
    parser.add_argument(
        "--compare", metavar="PYTHON", help="another interpreter whose installed build to time alongside"
    )
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=5, help="updates per child process")
    parser.add_argument(
        "--rounds", type=int, default=2, help="child processes per interpreter, taken in turns"
    )
    parser.add_argument(
        "--workdir",
        default=str(Path(__file__).resolve().parent.parent / "build"),
        help="where the temporary stores go (a real disk, not tmpfs)",
    )
    args = parser.parse_args()
    if args.child:
        child_main(args)
        return
    if args.quick:
        args.dates, args.stocks, args.repeats, args.rounds = 250, 300, 3, 1
    Path(args.workdir).mkdir(parents=True, exist_ok=True)
    pythons = {"this build": sys.executable}
    if args.compare:
        pythons["compared"] = args.compare
    results = {label: {"update": [], "load": [], "load_and_read": []} for label in pythons}
    for _ in range(args.rounds):
        for label, python in pythons.items():
            for key, values in run_child(python, args).items():
                results[label][key].extend(values)
    print(
        f"store of {args.dates} dates x {args.stocks} stocks, every default dataset; "
        f"{args.rounds} x {args.repeats} runs per interpreter"
    )
    for label, figures in results.items():
        print(f"  {label}:")
        print(f"    one-day update        {describe(figures['update'])}")
        print(f"    load (mapped)         {describe(figures['load'])}")
        print(f"    load and read pages   {describe(figures['load_and_read'])}")
    if args.compare:
        for key in ("update", "load"):
            ratio = statistics.median(results["this build"][key]) / statistics.median(
                results["compared"][key]
            )
            print(f"  {key}: this build / compared = {ratio:.2f}x")


if __name__ == "__main__":
    main()
