"""What the benchmarks share: timing side by side, medians, the seeded
synthetic data they run on, and the sandbox service in a child process.

Timing side by side: the actions compared run in turn, round after round, so
that whatever else the machine is doing weighs on all of them alike. A ratio
is taken within each round and summarised by its median and its spread over
the rounds, which a change in the machine's load between rounds does not move
the way it moves separate medians. Times are the calling thread's CPU time
unless the work runs elsewhere (every engine runs on the caller's thread): on
a machine shared with other work, time spent waiting for a core is left out.
"""

from __future__ import annotations

import gc
import importlib
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import numpy as np
import pandas as pd

_TESTS_FOLDER = Path(__file__).resolve().parents[1] / "tests"


def test_reference(name: str) -> ModuleType:
    """A module of ``tests/reference/``: the literal transcriptions the tests
    check the package against, which benches time it against."""
    if str(_TESTS_FOLDER) not in sys.path:
        sys.path.insert(0, str(_TESTS_FOLDER))
    return importlib.import_module(f"reference.{name}")


# ---------------------------------------------------------------- timing


def interleaved(
    actions: dict[str, Callable[[], object]], rounds: int, clock: Callable[[], float] = time.thread_time
) -> dict[str, list[float]]:
    """Seconds of each action in each of `rounds` rounds, after one warm-up
    round: the calling thread's CPU time, or another `clock` (wall time,
    ``time.perf_counter``, for work done in other processes)."""
    timings: dict[str, list[float]] = {name: [] for name in actions}
    for round_number in range(rounds + 1):
        for name, action in actions.items():
            gc.collect()
            start = clock()
            action()
            elapsed = clock() - start
            if round_number:
                timings[name].append(elapsed)
    return timings


def milliseconds(seconds: list[float]) -> str:
    """Median and range of a list of timings, in milliseconds."""
    return f"{statistics.median(seconds) * 1e3:7.1f} ms ({min(seconds) * 1e3:.1f}-{max(seconds) * 1e3:.1f})"


def ratio(numerator: list[float], denominator: list[float]) -> tuple[float, float, float]:
    """Median, lowest and highest of the per-round ratios."""
    ratios = [a / b for a, b in zip(numerator, denominator)]
    return statistics.median(ratios), min(ratios), max(ratios)


def ratio_text(numerator: list[float], denominator: list[float]) -> str:
    median, low, high = ratio(numerator, denominator)
    return f"{median:5.2f}x ({low:.2f}-{high:.2f})"


def ratio_against_goal(numerator: list[float], denominator: list[float], goal: float) -> str:
    """The per-round ratio as ``ratio_text`` gives it, and whether its median meets ``goal``."""
    met = ratio(numerator, denominator)[0] <= goal
    return f"{ratio_text(numerator, denominator)} ({'goal met' if met else 'goal missed'}: <= {goal}x)"


def median_of(action, runs: int, clock: Callable[[], float] = time.perf_counter) -> float:
    """Median seconds of `runs` calls: wall time, or another `clock`
    (``time.process_time`` for the CPU time of all the process's threads)."""
    timings = []
    for _ in range(runs):
        gc.collect()
        start = clock()
        action()
        timings.append(clock() - start)
    return statistics.median(timings)


def median_seconds(action, runs: int) -> float:
    """Median seconds per call over `runs` samples; each sample repeats the
    call until it lasts about 50 ms, so that short calls are timed warm."""
    start = time.perf_counter()
    action()
    repeats = max(1, round(0.05 / max(time.perf_counter() - start, 1e-9)))
    timings = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        for _ in range(repeats):
            action()
        timings.append((time.perf_counter() - start) / repeats)
    return statistics.median(timings)


def spin(_=None) -> int:
    total = 0
    for i in range(2_000_000):
        total += i
    return total


def machine_scaling() -> float:
    """Two processes of plain Python against one: how many cores this run really gets."""
    import multiprocessing

    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(spin, range(2))  # started
        one_s = median_of(lambda: [spin() for _ in range(4)], 3)
        two_s = median_of(lambda: pool.map(spin, range(4)), 3)
    return one_s / two_s


# ---------------------------------------------------------------- synthetic data


def synthetic_market(n_days: int, n_stocks: int, seed: int = 20240101):
    """A random-walk market with suspensions, limit moves, splits and dividends,
    and a strategy holding about 10% of the stocks with drifting weights."""
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2014-01-02", periods=n_days).strftime("%Y%m%d"))
    stocks = pd.Index([f"{600000 + j:06d}" for j in range(n_stocks)])
    shape = (n_days, n_stocks)
    close = 10.0 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, shape), axis=0))
    prev_close = np.vstack([close[:1], close[:-1]])
    move = close / prev_close - 1
    held = rng.random(shape) < 0.1
    weights = np.where(held, rng.random(shape), 0.0)
    weights /= np.maximum(weights.sum(axis=1, keepdims=True), 1e-12)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=stocks)

    market = {
        "can_buy_stock": frame((move < 0.095) & (rng.random(shape) > 0.01)),
        "cant_sell_stock": frame((move < -0.095) | (rng.random(shape) < 0.01)),
        "split_factor": frame(np.where(rng.random(shape) < 0.0005, 1.5, np.nan)),
        "dividend_factor": frame(np.where(rng.random(shape) < 0.001, 0.2, np.nan)),
        "close_price": frame(close),
        "prev_close": frame(prev_close),
        "buy_price": frame(close * (1 + rng.normal(0, 0.002, shape))),
        "sell_price": frame(close * (1 + rng.normal(0, 0.002, shape))),
    }
    return frame(weights), market


def c_ordered(frame: pd.DataFrame) -> pd.DataFrame:
    """The same frame over a C-ordered array, as a memory-mapped store gives it."""
    return pd.DataFrame(
        np.ascontiguousarray(frame.to_numpy()), index=frame.index, columns=frame.columns, copy=False
    )


def synthetic_factor(signal: pd.DataFrame, seed: int = 7) -> pd.DataFrame:
    """A persistent factor (an AR(1) walk per stock) with 5% missing values."""
    rng = np.random.default_rng(seed)
    shocks = rng.normal(size=signal.shape)
    values = np.empty(signal.shape)
    values[0] = shocks[0]
    for row in range(1, len(values)):
        values[row] = 0.95 * values[row - 1] + 0.3 * shocks[row]
    values[rng.random(signal.shape) < 0.05] = np.nan
    return pd.DataFrame(values, index=signal.index, columns=signal.columns)


def synthetic_payload(n_days: int, n_stocks: int, seed: int = 7) -> dict:
    """A payload shaped like a build's: twelve matrices, five components, three benchmarks."""
    from tolvane.backtest._prepare import BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, get_component_factor_names
    from tolvane.backtest._store import component_dataset_key

    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2014-01-02", periods=n_days).strftime("%Y%m%d"), name="DataDate")
    stocks = pd.Index([f"{600000 + j:06d}" for j in range(n_stocks)], name="ukey")
    shape = (n_days, n_stocks)
    close = 10.0 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, shape), axis=0))

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=stocks)

    data = {}
    for key, dtype in BASE_MATRIX_DTYPE.items():
        if dtype == "bool":
            data[key] = frame(rng.random(shape) > (0.02 if key == "can_buy_stock" else 0.98))
        else:
            data[key] = frame(close * (1 + rng.normal(0, 0.002, shape)))
    data["close_price"] = frame(close)
    data["prev_close"] = frame(np.vstack([close[:1], close[:-1]]))
    data["rq_get_split"] = frame(np.where(rng.random(shape) < 0.0005, 1.3, np.nan))
    data["rq_get_dividend"] = frame(np.where(rng.random(shape) < 0.001, 0.2, np.nan))
    for name in get_component_factor_names():
        data[component_dataset_key(name)] = frame(np.where(rng.random(shape) < 0.2, 1.0, np.nan))
    data["benchmark_dict"] = {
        name: pd.Series(rng.normal(0.0003, 0.012, n_days), index=dates, name="index_day_return")
        for name in ("000852", "000300", "000905")
    }
    return {
        "version": PREPARED_DATA_VERSION,
        "meta": {"start_date": dates[0], "end_date": dates[-1]},
        "data": data,
    }


# ---------------------------------------------------------------- sandbox


def start_sandbox(script: str, *args: str) -> tuple[subprocess.Popen, str]:
    """Runs ``script`` with ``args`` in a child process, so that the sandbox
    service does not share the benchmark's GIL, and returns the process and
    the base URL the script printed first."""
    server = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE, text=True)
    base_url = server.stdout.readline().strip()
    if not base_url.startswith("http"):
        server.kill()
        raise RuntimeError("sandbox did not start")
    return server, base_url
