"""Prepared backtest data: build speed, store loading, and a backtest straight from a store.

Prints medians of several runs, measured side by side in one run:

1. a full build (``GroupPreparedDataBuilder.build``) of 5 years x 1,000 stocks
   from the sandbox service, and ``prepare_store`` (the build written as a
   store), against just downloading the same fifteen factor tables; each runs
   in a fresh client process (the service stays in this one), which also
   reports its peak resident memory. Goals: the build within 2x the download,
   ``prepare_store`` within 1.3x.
2. loading every matrix of a 2,500 x 5,000 store with and without memory mapping.
3. loading the store and running ``run_strategy_backtest_core`` without charts,
   against the runner on the same frames already in memory. Goal: within 1.3x.

Run: ``python bench/bench_prepare.py`` (``make bench``); ``--quick`` runs small
sizes for a check in seconds.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from support import median_of, synthetic_payload

# Stores go on the project's disk (build/), not a memory file system.
WORKDIR = str(Path(__file__).resolve().parent.parent / "build")

# ---------------------------------------------------------------- 1. build


def met(goal_reached: bool) -> str:
    return "met" if goal_reached else "NOT met"


def resident_mb(field: str) -> float:
    """A resident-memory figure of this process from /proc (VmHWM: the peak).

    Unlike getrusage's ru_maxrss, VmHWM starts afresh at exec, so a child does
    not inherit the service process's peak."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    return float("nan")


def child_main(args) -> None:
    """One measured job in a fresh process: "download" or "build"."""
    import tolvane
    from tolvane.backtest import _prepare

    service = tolvane.init(args.key, args.secret, base_url=args.url, timeout=600)
    start, end = args.start.replace("-", ""), args.end.replace("-", "")
    baseline_mb = resident_mb("VmRSS")
    began = time.perf_counter()
    if args.child == "download":
        names = _prepare.BUILD_INPUT_NAMES + _prepare.get_component_factor_names()
        for name in names:
            service.get_factors(factor=name, start_date=args.start, end_date=args.end)
    elif args.child == "build":
        _prepare.GroupPreparedDataBuilder(start, end).build()
    else:
        from tolvane.backtest import prepare_store

        with tempfile.TemporaryDirectory(prefix="bench-prepare-", dir=args.workdir) as folder:
            prepare_store(folder, start, end)
    seconds = time.perf_counter() - began
    peak_mb = resident_mb("VmHWM")
    print(json.dumps({"seconds": seconds, "peak_mb": peak_mb, "growth_mb": peak_mb - baseline_mb}))


def run_child(kind: str, server, start: str, end: str) -> dict:
    command = [
        sys.executable,
        __file__,
        "--child",
        kind,
        "--url",
        server.base_url,
        "--key",
        server.api_key,
        "--secret",
        server.api_secret,
        "--start",
        start,
        "--end",
        end,
        "--workdir",
        WORKDIR,
    ]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def bench_build(n_stocks: int, years: int, runs: int) -> None:
    from tolvane.backtest._prepare import BENCHMARK_INDEX_CODES, BUILD_INPUT_NAMES, get_component_factor_names
    from tolvane.sandbox import SandboxServer

    start, end = "2019-01-01", f"{2019 + years - 1}-12-31"
    with SandboxServer(seed=20240101, n_stocks=n_stocks, start=start, end=end) as server:
        # The service computes each factor and index once; do that before timing.
        for name in BUILD_INPUT_NAMES + get_component_factor_names():
            server.market.factor(name)
        for code in BENCHMARK_INDEX_CODES.values():
            server.market.index_bars(code)
        market = server.market
        print(
            f"1. full build, {market.n_days} days x {market.n_stocks} stocks from the sandbox "
            f"({runs} runs each, interleaved, one client process per run)"
        )
        downloads, builds, prepares = [], [], []
        for _ in range(runs):
            downloads.append(run_child("download", server, start, end))
            builds.append(run_child("build", server, start, end))
            prepares.append(run_child("prepare", server, start, end))
    download_s = statistics.median(r["seconds"] for r in downloads)
    build_s = statistics.median(r["seconds"] for r in builds)
    prepare_s = statistics.median(r["seconds"] for r in prepares)
    print(
        f"   download of the 15 factor tables  {download_s:8.2f} s   peak RSS "
        f"{statistics.median(r['peak_mb'] for r in downloads):7.0f} MB"
    )
    print(
        f"   full build                         {build_s:8.2f} s   peak RSS "
        f"{statistics.median(r['peak_mb'] for r in builds):7.0f} MB "
        f"(+{statistics.median(r['growth_mb'] for r in builds):.0f} MB over the process "
        f"after its imports; download +{statistics.median(r['growth_mb'] for r in downloads):.0f} MB)"
    )
    print(
        f"   prepare_store (build and write)    {prepare_s:8.2f} s   spread "
        f"{min(r['seconds'] for r in prepares):.2f}..{max(r['seconds'] for r in prepares):.2f} s"
    )
    ratio = build_s / download_s
    print(f"   build / download                   {ratio:8.2f} x   goal <= 2.0x: {met(ratio <= 2.0)}")
    ratio = prepare_s / download_s
    print(f"   prepare_store / download           {ratio:8.2f} x   goal <= 1.3x: {met(ratio <= 1.3)}")


# ---------------------------------------------------------------- 2./3. store


def strategy_weights(index: pd.Index, columns: pd.Index, seed: int = 11) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    held = rng.random((len(index), len(columns))) < 0.1
    weights = np.where(held, rng.random(held.shape), 0.0)
    weights /= np.maximum(weights.sum(axis=1, keepdims=True), 1e-12)
    return pd.DataFrame(weights, index=index, columns=columns)


def bench_store(n_days: int, n_stocks: int, runs: int) -> None:
    from tolvane.backtest import BinaryPreparedDataStore, backtest_inputs, run_strategy_backtest_core

    with tempfile.TemporaryDirectory(prefix="bench-store-", dir=WORKDIR) as folder:
        payload = synthetic_payload(n_days, n_stocks)
        store = BinaryPreparedDataStore(folder)
        began = time.perf_counter()
        store.write(payload)
        write_s = time.perf_counter() - began
        size_mb = sum(path.stat().st_size for path in Path(folder).iterdir()) / 2**20
        in_memory = {key: value for key, value in payload["data"].items() if key != "benchmark_dict"}
        benchmarks = payload["data"]["benchmark_dict"]
        del payload
        gc.collect()

        print(
            f"\n2. loading all {len(store.matrix_dtype)} matrices of a {n_days} x {n_stocks} store "
            f"({size_mb:.0f} MB on disk, written in {write_s:.2f} s; {runs} runs each)"
        )
        mapped_s = median_of(lambda: store.load(mmap=True), runs)
        read_s = median_of(lambda: store.load(mmap=False), runs)
        print(f"   load, memory-mapped               {mapped_s * 1000:9.1f} ms")
        print(f"   load, read into memory            {read_s * 1000:9.1f} ms")
        print(f"   read / memory-mapped              {read_s / mapped_s:9.1f} x")

        weights = strategy_weights(store.dates(), next(iter(in_memory.values())).columns)

        def from_store():
            matrices = store.load(mmap=True)
            run_strategy_backtest_core(
                weights, **backtest_inputs(matrices), benchmark_dict=store.load_benchmarks()
            )

        def from_memory():
            run_strategy_backtest_core(weights, **backtest_inputs(in_memory), benchmark_dict=benchmarks)

        print(
            f"\n3. store load + run_strategy_backtest_core (no charts) against the runner on "
            f"frames in memory ({runs} runs each, interleaved)"
        )
        store_runs, memory_runs = [], []
        from_store()  # the first run pays for page-ins of a store just written; count warm runs
        for _ in range(runs):
            store_runs.append(median_of(from_store, 1))
            memory_runs.append(median_of(from_memory, 1))
        store_s, memory_s = statistics.median(store_runs), statistics.median(memory_runs)
        ratio = store_s / memory_s
        print(f"   store load + runner                {store_s:8.2f} s")
        print(f"   runner on frames in memory         {memory_s:8.2f} s")
        print(f"   ratio                              {ratio:8.2f} x   goal <= 1.3x: {met(ratio <= 1.3)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes for a check in seconds")
    parser.add_argument("--stocks", type=int, default=1000, help="stocks of the build benchmark")
    parser.add_argument("--years", type=int, default=5, help="years of the build benchmark")
    parser.add_argument("--store-days", type=int, default=2500)
    parser.add_argument("--store-stocks", type=int, default=5000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--child", choices=("download", "build", "prepare"), help=argparse.SUPPRESS)
    for name in ("--url", "--key", "--secret", "--start", "--end", "--workdir"):
        parser.add_argument(name, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args)
        return
    if args.quick:
        args.stocks, args.years, args.store_days, args.store_stocks = 200, 1, 250, 500
    bench_build(args.stocks, args.years, args.runs)
    bench_store(args.store_days, args.store_stocks, args.runs)


if __name__ == "__main__":
    main()
