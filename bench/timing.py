"""Timing side by side: the actions compared run in turn, round after round,
so that whatever else the machine is doing weighs on all of them alike.

A ratio is taken within each round and summarised by its median and its
spread over the rounds, which a change in the machine's load between rounds
does not move the way it moves separate medians. Times are the calling
thread's CPU time (every engine runs on the caller's thread): on a machine
shared with other work, time spent waiting for a core is left out.
"""

from __future__ import annotations

import gc
import statistics
import time
from typing import Callable


def interleaved(actions: dict[str, Callable[[], object]], rounds: int) -> dict[str, list[float]]:
    """CPU seconds of each action in each of `rounds` rounds, after one warm-up round."""
    timings: dict[str, list[float]] = {name: [] for name in actions}
    for round_number in range(rounds + 1):
        for name, action in actions.items():
            gc.collect()
            start = time.thread_time()
            action()
            elapsed = time.thread_time() - start
            if round_number:
                timings[name].append(elapsed)
    return timings


def milliseconds(seconds: list[float]) -> str:
    """Median and range of a list of timings, in milliseconds."""
    return (f"{statistics.median(seconds) * 1e3:7.1f} ms"
            f" ({min(seconds) * 1e3:.1f}-{max(seconds) * 1e3:.1f})")


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
