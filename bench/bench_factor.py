"""Factor research: the IC by horizon and the whole report against alphalens, and
the factor sweep on a two-worker Dask cluster against a serial run.

Prints, for seeded synthetic stores, medians (and the spread of the runs) of:

1. the IC of three horizons (1, 5, 10 days) at 1,000 x 2,000 dates x stocks,
   ``calc_factor_ic_by_horizon`` against alphalens' ``factor_information_coefficient``
   on its prepared data (and with its preparation, ``get_clean_factor``), both fed
   the same factor and the same forward returns; the largest difference. Goal: at
   least 50x the peer's IC on prepared data, equal within 1e-12.
2. the whole report's numbers (three horizons' forward returns and IC tables, ten
   groups traded for real, their statistics, turnover and rank autocorrelation)
   against the peer's preparation, IC, returns by
   quantile, quantile turnover and rank autocorrelation. Goal: at least 30x.
3. ``factor_sweep`` of 50 factors on 2,500 x 1,000 on a two-worker Dask
   ``LocalCluster`` (one process, one thread each) against one thread. Goal: 1.5x.

alphalens-reloaded is not a dependency: measurements 1 and 2 print one line and skip the
comparison when it is not installed (``pip install alphalens-reloaded`` into the
environment that runs this bench). Runs of the two sides are interleaved.

Run: ``python bench/bench_factor.py`` (``make bench``); ``--quick`` for small sizes.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import statistics
import tempfile
import time
import warnings

import numpy as np
import pandas as pd

from tolvane.backtest import BinaryPreparedDataStore, Variant, calc_factor_ic_by_horizon, calc_forward_returns
from tolvane.backtest._factor_report import analyse_factor

from support import interleaved, machine_scaling, milliseconds, synthetic_factor, synthetic_payload

HORIZONS = (1, 5, 10)


def peer_module():
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import alphalens
    except ImportError:
        return None
    return alphalens


def stacked(matrix: pd.DataFrame) -> pd.Series:
    """A date x stock matrix as the peer's (date, asset) long series, missing cells dropped."""
    dated = matrix.set_axis(pd.to_datetime(matrix.index), axis=0)
    series = dated.stack()
    series.index.names = ["date", "asset"]
    return series


def peer_inputs(factor: pd.DataFrame, forward: dict[int, pd.DataFrame]) -> tuple[pd.Series, pd.DataFrame]:
    returns = pd.DataFrame({f"{h}D": stacked(matrix) for h, matrix in forward.items()})
    returns.index.levels[0].freq = pd.tseries.offsets.BDay()
    return stacked(factor), returns


def peer_prepare(alphalens, factor_series, returns):
    with contextlib.redirect_stdout(io.StringIO()):  # its note on the entries it dropped
        return alphalens.utils.get_clean_factor(factor_series, returns, quantiles=10, max_loss=1.0)


def peer_report(alphalens, factor_series, returns):
    """The peer's numbers for the same report: preparation, IC, returns by
    quantile, each quantile's turnover and the rank autocorrelation."""
    prepared = peer_prepare(alphalens, factor_series, returns)
    performance = alphalens.performance
    ic = performance.factor_information_coefficient(prepared)
    by_quantile = performance.mean_return_by_quantile(prepared, by_date=True)
    quantiles = prepared["factor_quantile"]
    turnover = {q: performance.quantile_turnover(quantiles, q, 1) for q in range(1, 11)}
    autocorrelation = performance.factor_rank_autocorrelation(prepared, 1)
    return ic, by_quantile, turnover, autocorrelation


def bench_ic_and_report(n_days: int, n_stocks: int, runs: int) -> None:
    with tempfile.TemporaryDirectory(prefix="bench-factor-") as folder:
        BinaryPreparedDataStore(folder).write(synthetic_payload(n_days, n_stocks))
        data = BinaryPreparedDataStore(folder).load()
        factor = synthetic_factor(data["close_price"])
        forward = calc_forward_returns(data, HORIZONS)
        ours = calc_factor_ic_by_horizon(factor, forward)
        size = f"{n_days:,} x {n_stocks:,}"
        alphalens = peer_module()
        if alphalens is None:
            print(
                "1-2. alphalens-reloaded is not installed here (pip install alphalens-reloaded): peer skipped"
            )
            timings = interleaved(
                {"ours": lambda: calc_factor_ic_by_horizon(factor, forward)}, runs, clock=time.perf_counter
            )
            print(f"1. [{size}] IC of {len(HORIZONS)} horizons {milliseconds(timings['ours'])}")
            return
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            factor_series, returns = peer_inputs(factor, forward)
            prepared = peer_prepare(alphalens, factor_series, returns)
            peer_ic = alphalens.performance.factor_information_coefficient(prepared)
            common = peer_ic.index.strftime("%Y%m%d")
            gap = np.nanmax(np.abs(peer_ic.to_numpy() - ours.daily_ic.loc[common].to_numpy()))
            timings = interleaved(
                {
                    "ours": lambda: calc_factor_ic_by_horizon(factor, forward),
                    "peer IC": lambda: alphalens.performance.factor_information_coefficient(prepared),
                    "peer preparation + IC": lambda: alphalens.performance.factor_information_coefficient(
                        peer_prepare(alphalens, factor_series, returns)
                    ),
                },
                runs,
                clock=time.perf_counter,
            )
        ours_s = statistics.median(timings["ours"])
        ratio = statistics.median(timings["peer IC"]) / ours_s
        print(
            f"1. [{size}] IC of {len(HORIZONS)} horizons: ours {milliseconds(timings['ours'])}"
            f" | peer on prepared data {milliseconds(timings['peer IC'])} | speed-up {ratio:5.1f}x"
            f" ({'goal met' if ratio >= 50 else 'goal missed'}: >= 50x)"
            f" | with the peer's preparation {milliseconds(timings['peer preparation + IC'])}, "
            f"{statistics.median(timings['peer preparation + IC']) / ours_s:5.1f}x | max |diff| {gap:.1e}"
            f" ({'equal' if gap <= 1e-12 else 'NOT equal'} within 1e-12)"
        )

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            timings = interleaved(
                {
                    "ours": lambda: analyse_factor(factor, data, groups=10, horizons=HORIZONS),
                    "peer": lambda: peer_report(alphalens, factor_series, returns),
                },
                max(2, runs // 2),
                clock=time.perf_counter,
            )
        ratio = statistics.median(timings["peer"]) / statistics.median(timings["ours"])
        print(
            f"2. [{size}] whole report (forward returns, IC tables, 10 groups traded, turnover,"
            " autocorrelation):"
            f" ours {milliseconds(timings['ours'])}"
            f" | peer preparation + IC + returns by quantile + turnover + autocorrelation"
            f" {milliseconds(timings['peer'])} | speed-up {ratio:5.1f}x"
            f" ({'goal met' if ratio >= 30 else 'goal missed'}: >= 30x)"
        )


def reversal(data, window: int) -> pd.DataFrame:
    """Minus the close-to-close return over `window` days (numpy throughout)."""
    close = data["close_price"]
    values = close.to_numpy()
    factor = np.full(values.shape, np.nan)
    factor[window:] = 1.0 - values[window:] / values[:-window]
    return pd.DataFrame(factor, index=close.index, columns=close.columns, copy=False)


def bench_sweep(n_days: int, n_stocks: int, n_factors: int, runs: int) -> None:
    from tolvane.backtest import factor_sweep

    factors = [Variant(reversal, {"window": window}) for window in range(2, 2 + n_factors)]
    size = f"{n_factors} factors on {n_days:,} x {n_stocks:,}"
    with tempfile.TemporaryDirectory(prefix="bench-factor-sweep-") as folder:
        BinaryPreparedDataStore(folder).write(synthetic_payload(n_days, n_stocks))
        serial = factor_sweep(folder, factors, max_workers=1)  # warm: maps the store, fills the page cache
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("3. distributed is not installed here (pip install tolvane[dask]): skipped")
            return
        import logging

        print(
            f"3. this machine now: two processes of plain Python run {machine_scaling():4.2f}x one"
            " (the ceiling of the speed-up below)"
        )
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
            pd.testing.assert_frame_equal(factor_sweep(folder, factors, executor=client), serial)
            timings = interleaved(
                {
                    "serial": lambda: factor_sweep(folder, factors, max_workers=1),
                    "dask": lambda: factor_sweep(folder, factors, executor=client),
                },
                runs,
                clock=time.perf_counter,
            )
    ratio = statistics.median(timings["serial"]) / statistics.median(timings["dask"])
    print(
        f"3. [{size}] two-worker Dask cluster {milliseconds(timings['dask'])}"
        f" | serial {milliseconds(timings['serial'])}"
        f" | speed-up {ratio:4.2f}x ({'goal met' if ratio >= 1.5 else 'goal missed'}: >= 1.5x)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes and fewer runs")
    parser.add_argument("--sweep-only", action="store_true", help="only the factor sweep (measurement 3)")
    args = parser.parse_args()
    if args.sweep_only:
        bench_sweep(*((500, 300, 10, 1) if args.quick else (2_500, 1_000, 50, 3)))
        return
    if args.quick:
        bench_ic_and_report(250, 500, 3)
        bench_sweep(500, 300, 10, 1)
    else:
        bench_ic_and_report(1_000, 2_000, 3)
        bench_sweep(2_500, 1_000, 50, 3)


if __name__ == "__main__":
    main()
