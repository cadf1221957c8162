"""Parameter sweeps: threads and a Dask cluster against a serial run, side by side.

Writes a seeded synthetic prepared store (default 2,500 x 1,000 dates x
stocks; ``--quick`` for 500 x 300) and sweeps 20 momentum variants (window x
number of stocks held) over it, printing medians of:

1. the sweep on one thread (``max_workers=1``) against two threads. Goal: two
   threads at least 1.7x one.
2. the sweep on a two-worker Dask ``LocalCluster`` (one process and one thread
   per worker) against the serial run. Goal: at least 1.5x.
3. the memory of each Dask worker after the sweeps: its resident file pages
   (the store's mapped pages) and its private memory, against the size of the
   matrices a backtest reads and against one copy per task. Goal: near one
   store's mapped pages, not one copy per task.

Run: ``python bench/bench_sweep.py`` (``make bench``).
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from tolvane.backtest import BinaryPreparedDataStore, Variant, sweep
from tolvane.backtest._core import STORE_MARKET_KEYS

from support import machine_scaling, median_of, synthetic_payload


def momentum(data, window: int, top: int) -> pd.DataFrame:
    """Equal weights on the `top` stocks that rose most over `window` days
    (numpy throughout, so that threads run side by side)."""
    close = data["close_price"]
    values = close.to_numpy()
    score = np.full(values.shape, -np.inf)
    score[window:] = values[window:] / values[:-window]
    score[~np.isfinite(score)] = -np.inf
    kth = values.shape[1] - top
    threshold = np.partition(score, kth, axis=1)[:, kth : kth + 1]
    chosen = (score >= threshold) & np.isfinite(score)
    weights = chosen / np.maximum(chosen.sum(axis=1, keepdims=True), 1)
    return pd.DataFrame(weights, index=close.index, columns=close.columns, copy=False)


def worker_memory() -> dict:
    """Resident memory of this process from /proc, in MiB: all, file-backed, private."""
    fields = {}
    for line in Path("/proc/self/status").read_text().splitlines():
        name, _, value = line.partition(":")
        if name in ("VmRSS", "RssFile", "RssAnon"):
            fields[name] = int(value.split()[0]) / 1024
    return fields


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 x 300 and fewer runs")
    args = parser.parse_args()
    n_days, n_stocks, runs = (500, 300, 3) if args.quick else (2_500, 1_000, 3)
    windows, tops = (5, 10, 20, 40, 60, 80, 100, 120, 160, 200), (30, 100)
    variants = [Variant(momentum, {"window": w, "top": min(t, n_stocks // 3)}) for w in windows for t in tops]

    with tempfile.TemporaryDirectory(prefix="bench-sweep-") as folder:
        BinaryPreparedDataStore(folder).write(synthetic_payload(n_days, n_stocks))
        market = BinaryPreparedDataStore(folder).load(keys=list(STORE_MARKET_KEYS.values()))
        market_mb = sum(matrix.to_numpy().nbytes for matrix in market.values()) / 2**20
        print(
            f"{len(variants)} variants on a {n_days:,} x {n_stocks:,} store "
            f"({market_mb:.0f} MiB of market matrices per backtest); medians of {runs} runs"
        )
        print(
            f"0. this machine now: two processes of plain Python run {machine_scaling():4.2f}x one"
            " (the ceiling of the speed-ups below)"
        )

        serial = sweep(folder, variants, max_workers=1)  # warm: maps the store, fills the page cache
        one_s = median_of(lambda: sweep(folder, variants, max_workers=1), runs)
        two_s = median_of(lambda: sweep(folder, variants, max_workers=2), runs)
        pd.testing.assert_frame_equal(sweep(folder, variants, max_workers=2), serial)
        ratio = one_s / two_s
        print(
            f"1. one thread {one_s:6.2f} s | two threads {two_s:6.2f} s | speed-up {ratio:4.2f}x"
            f" ({'goal met' if ratio >= 1.7 else 'goal missed'}: >= 1.7x)"
        )

        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("2. distributed is not installed here (pip install tolvane[dask]): skipped")
            return
        import logging

        with (
            LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                silence_logs=logging.ERROR,
            ) as cluster,
            Client(cluster) as client,
        ):
            before = client.run(worker_memory)
            pd.testing.assert_frame_equal(sweep(folder, variants, executor=client), serial)
            dask_s = median_of(lambda: sweep(folder, variants, executor=client), runs)
            after = client.run(worker_memory)
        ratio = one_s / dask_s
        print(
            f"2. two-worker Dask cluster {dask_s:6.2f} s | serial {one_s:6.2f} s | speed-up {ratio:4.2f}x"
            f" ({'goal met' if ratio >= 1.5 else 'goal missed'}: >= 1.5x)"
        )
        tasks_per_worker = len(variants) * (runs + 1) / len(after)
        for address, memory in after.items():
            file_mb = memory["RssFile"] - before[address]["RssFile"]
            private_mb = memory["RssAnon"] - before[address]["RssAnon"]
            print(
                f"3. worker {address}: resident {memory['VmRSS']:6.0f} MiB | store pages +{file_mb:5.0f} MiB"
                f" | private +{private_mb:5.0f} MiB | one copy per task would be"
                f" {market_mb * tasks_per_worker:6.0f} MiB ({tasks_per_worker:.0f} tasks)"
                f" | {'goal met' if file_mb + private_mb < 2.5 * market_mb else 'goal missed'}"
                f": near one store ({market_mb:.0f} MiB)"
            )


if __name__ == "__main__":
    main()
