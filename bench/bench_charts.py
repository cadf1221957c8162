"""Report charts: drawing time of this build against a "before", side by side.

Draws both report pages (performance and weekly net value) for seeded daily
returns: the demo's 1,460 days in the landscape layout it uses, ten years
(2,500 days) in the same layout, and the demo's days in the portrait layout.

The "before" is ``--before PYTHON``: an interpreter whose environment holds
the build to compare with (for example a virtual environment installed from
the main branch). Without it, the "before" is this build drawing as plain
matplotlib saves a page (``tests/reference/chart_saving.py``).

Each round starts one child process per side, alternating which goes first;
a child warms up (imports, fonts) on a short series, then draws every case
once. Prints per case and chart the median CPU seconds of the rounds with
their range, the ratio after / before of the medians and of the fastest
rounds (other work on the machine only ever adds time, so the fastest round
is the steadiest figure there), the ratio of median wall seconds, the file
sizes, and how the two sides' pixels differ (they should not).

Run: ``python bench/bench_charts.py [--before PYTHON] [--rounds N]`` (``make bench``).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CASES = [
    ("demo, landscape", 1460, "large"),
    ("ten years, landscape", 2500, "large"),
    ("demo, portrait", 1460, "long"),
]
CHARTS = ("performance", "weekly")


def seeded_returns(days: int):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(20240101)
    dates = pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d")
    benchmark = pd.Series(rng.normal(0.0003, 0.012, days), index=dates)
    daily = benchmark + rng.normal(0.0007, 0.005, days)
    return daily, daily.cumsum() + 1, benchmark


def child(folder: Path, plain: bool) -> None:
    """Draws every case once after a warm-up; prints seconds as JSON."""
    import contextlib
    import logging
    import warnings

    warnings.simplefilter("ignore")
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    import tolvane.backtest._strategy_kernel as sk

    from support import test_reference

    stats = test_reference("strategy_stats").SAMPLE_STATS
    saving = contextlib.nullcontext(lambda path: path)
    if plain:
        saving = test_reference("chart_saving").matplotlib_own_saving()

    def draw(series, kind, stem, target):
        sk.plot_strategy_performance(
            *series,
            stats,
            strategy_name="动量策略",
            image_kind=kind,
            save_path=target(folder / f"{stem}_performance.png"),
        )
        yield
        sk.plot_weekly_net_value(
            *series,
            strategy_name="动量策略",
            image_kind=kind,
            save_path=target(folder / f"{stem}_weekly.png"),
        )
        yield

    timings = {}
    with saving as target:
        for kind in ("large", "long"):
            for _ in draw(seeded_returns(120), kind, "warm-up", target):
                pass
        for label, days, kind in CASES:
            steps = draw(seeded_returns(days), kind, f"{days}_{kind}", target)
            for chart in CHARTS:
                cpu, wall = time.process_time(), time.perf_counter()
                next(steps)
                timings[f"{label}|{chart}"] = (time.process_time() - cpu, time.perf_counter() - wall)
    print(json.dumps(timings))


def run_side(python: str, folder: Path, plain: bool) -> dict:
    command = [python, __file__, "--child", str(folder)] + (["--plain"] if plain else [])
    environment = dict(os.environ, MPLCONFIGDIR=str(folder.parent / "matplotlib"))
    done = subprocess.run(command, capture_output=True, text=True, env=environment, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def pixel_difference(before: Path, after: Path) -> str:
    import numpy as np
    from PIL import Image

    first = np.asarray(Image.open(before).convert("RGBA"), dtype=np.int16)
    second = np.asarray(Image.open(after).convert("RGBA"), dtype=np.int16)
    if first.shape != second.shape:
        return f"sizes differ: {first.shape[1]}x{first.shape[0]} / {second.shape[1]}x{second.shape[0]}"
    difference = np.abs(first - second).max(axis=2)
    if not difference.any():
        return f"{first.shape[1]}x{first.shape[0]}, same pixels"
    return (
        f"{first.shape[1]}x{first.shape[0]}, {(difference > 0).mean():.4%} of pixels differ "
        f"(largest difference {difference.max()})"
    )


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):6.3f} s [{min(values):.3f}-{max(values):.3f}]"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="interpreter of the build to compare with")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--child", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--plain", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(options.child, options.plain)
        return

    before_label = options.before or "plain matplotlib saving, this build"
    print(f"before: {before_label}\nafter:  this build ({sys.executable})")
    print(
        f"{options.rounds} rounds, sides alternating; CPU seconds of the drawing process "
        "(the machine is shared, so CPU time is steadier than wall time)\n"
    )
    with tempfile.TemporaryDirectory(prefix="bench-charts-") as temporary:
        folders = {side: Path(temporary) / side for side in ("before", "after")}
        for folder in folders.values():
            folder.mkdir()
        runs = {"before": [], "after": []}
        sides = {
            "before": (options.before or sys.executable, options.before is None),
            "after": (sys.executable, False),
        }
        for round_ in range(options.rounds):
            order = ["before", "after"] if round_ % 2 == 0 else ["after", "before"]
            for side in order:
                python, plain = sides[side]
                runs[side].append(run_side(python, folders[side], plain))

        totals = {side: [0.0] * options.rounds for side in runs}
        for label, days, kind in CASES:
            print(f"{label} ({days} days, {kind})")
            for chart in CHARTS:
                key = f"{label}|{chart}"
                cpu = {side: [run[key][0] for run in runs[side]] for side in runs}
                wall = {side: [run[key][1] for run in runs[side]] for side in runs}
                if kind == "large" and days == 1460:
                    for side in runs:
                        totals[side] = [t + c for t, c in zip(totals[side], cpu[side])]
                ratio = statistics.median(cpu["after"]) / statistics.median(cpu["before"])
                fastest_ratio = min(cpu["after"]) / min(cpu["before"])
                wall_ratio = statistics.median(wall["after"]) / statistics.median(wall["before"])
                stem = f"{days}_{kind}_{chart}.png"
                sizes = " / ".join(
                    f"{(folders[side] / stem).stat().st_size / 1e6:.2f} MB" for side in ("before", "after")
                )
                print(
                    f"  {chart:11s} CPU before {spread(cpu['before'])}  after {spread(cpu['after'])}"
                    f"  ratio {ratio:.2f}, fastest {fastest_ratio:.2f}, wall {wall_ratio:.2f}"
                )
                print(
                    f"  {'':11s} files {sizes}; "
                    f"{pixel_difference(folders['before'] / stem, folders['after'] / stem)}"
                )
        ratio = statistics.median(totals["after"]) / statistics.median(totals["before"])
        fastest_ratio = min(totals["after"]) / min(totals["before"])
        print(
            f"\nboth demo charts: CPU before {spread(totals['before'])}  "
            f"after {spread(totals['after'])}  ratio {ratio:.2f}, fastest {fastest_ratio:.2f} "
            "(goal: at most 0.50)"
        )


if __name__ == "__main__":
    main()
