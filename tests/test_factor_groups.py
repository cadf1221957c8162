"""The factor group backtest and the factor IC: the grouping rule against a
pandas transcription, every group (its returns and turnover) against the
single-portfolio engine run on that group's weights, the IC and the rank
autocorrelation against a pandas transcription, and the chart."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tolvane.backtest import _core, _groups
from tolvane.backtest import _strategy_kernel as sk
from tolvane.backtest._factor_analysis import calc_factor_ic, factor_rank_autocorrelation, plot_factor_groups

from markets import frame, random_market
from reference.factor_analysis import transcribed_ic
from reference.strategy_engine import daily_cash_terms, daily_traded_value

# --- transcriptions ---------------------------------------------------------


def transcribed_groups(factor: pd.DataFrame, group_num: int) -> pd.DataFrame:
    """Rank the finite values of each day (ties by column order), put place p
    of n into group floor(p * group_num / n) + 1; no groups on a day with fewer
    than group_num values."""
    values = factor.astype(float).where(np.isfinite(factor.astype(float))) + 0.0
    place = values.rank(axis=1, method="first") - 1
    count = values.notna().sum(axis=1)
    groups = (place * group_num).floordiv(count, axis=0) + 1
    return groups.where(count >= group_num, axis=0)


def group_weights(groups: pd.DataFrame, group: int) -> pd.DataFrame:
    member = (groups == group).astype(float)
    return member.div(member.sum(axis=1), axis=0).fillna(0.0)


# --- the grouping rule ------------------------------------------------------


def test_remainder_is_spread_and_ties_follow_the_columns():
    dates, stocks = ["20240102"], [f"s{j:02d}" for j in range(23)]
    factor = pd.DataFrame([np.arange(23.0)], index=dates, columns=stocks)
    sizes = _core.calc_factor_groups(factor, 10).iloc[0].value_counts().sort_index()
    assert sizes.tolist() == [3, 2, 2, 3, 2, 2, 3, 2, 2, 2]

    # Six equal values cut into three groups go by column; -0.0 ties with 0.0.
    tied = pd.DataFrame(
        [[0.0, -0.0, 0.0, 0.0, 0.0, 0.0, np.inf, np.nan]], index=dates, columns=list("abcdefgh")
    )
    assert _core.calc_factor_groups(tied, 3).iloc[0].tolist()[:6] == [1, 1, 2, 2, 3, 3]
    assert _core.calc_factor_groups(tied, 3).iloc[0, 6:].isna().all()
    # Fewer values than groups: nobody is grouped that day.
    assert _core.calc_factor_groups(tied, 7).isna().all(axis=None)


FACTOR_KINDS = ["ties", "normal", "outliers", "wide", "subnormal", "constant"]


def hard_factor_values(kind: str, rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
    """Factor values of one kind, each taking its own way through the cutting
    (ties, far outliers, ranges too wide or too narrow to bucket), with NaN
    and infinite holes."""
    values = {
        "ties": lambda: rng.integers(-3, 4, shape).astype(float),
        "normal": lambda: rng.normal(size=shape),
        "outliers": lambda: rng.normal(size=shape) * np.where(rng.random(shape) < 0.02, 1e12, 1.0),
        "wide": lambda: rng.choice([-1e308, 1e308, 0.0, 1.0, -5e-324], size=shape),
        "subnormal": lambda: rng.integers(0, 50, shape) * 5e-324,
        "constant": lambda: np.full(shape, 2.5),
    }[kind]()
    holes = rng.random(shape)
    values[holes < 0.1] = np.nan
    values[(holes >= 0.1) & (holes < 0.12)] = np.inf
    return values


@st.composite
def factor_matrices(draw):
    n_days, n_stocks = draw(st.integers(1, 4)), draw(st.integers(1, 400))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = hard_factor_values(draw(st.sampled_from(FACTOR_KINDS)), rng, (n_days, n_stocks))
    group_num = draw(st.integers(1, max(1, min(n_stocks, 40))))
    columns = [f"{j:04d}" for j in range(n_stocks)]
    return pd.DataFrame(values, index=[f"2024010{d + 1}" for d in range(n_days)], columns=columns), group_num


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(factor_matrices())
def test_groups_follow_the_transcribed_rule(case):
    factor, group_num = case
    pd.testing.assert_frame_equal(
        _core.calc_factor_groups(factor, group_num), transcribed_groups(factor, group_num), check_dtype=False
    )


# --- groups against the single engine ---------------------------------------


def assert_each_group_is_the_single_engine(factor, market, group_num):
    """Each group's returns are the single engine's on the group's weights, and
    its turnover is the money the same trades move over the capital."""
    costs = {"total_money": 1e7, "fee": 0.0003, "rule_fee": 0.001, "lot_size": 100}
    result = _core.calc_all_group_vwap_daily_return(factor, **market, group_num=group_num, **costs)
    with_turnover, turnover = _core.calc_all_group_vwap_daily_return_with_turnover(
        factor, **market, group_num=group_num, **costs
    )
    pd.testing.assert_frame_equal(with_turnover, result, check_exact=True)

    names = [f"group_{g}" for g in range(1, group_num + 1)]
    assert list(result.columns) == [*names, "top_minus_bottom"]
    assert list(turnover.columns) == names
    assert result.index.equals(factor.index[1:]) and turnover.index.equals(factor.index[1:])
    groups = transcribed_groups(factor, group_num)
    for group, name in enumerate(names, start=1):
        weights = group_weights(groups, group)
        expected = sk.calc_strategy_vwap_daily_return(weights, **market, **costs).to_numpy()
        _, _, magnitude = daily_cash_terms(weights, **market, **costs)
        scale = magnitude / costs["total_money"]
        assert np.all(np.abs(result[name].to_numpy() - expected) <= 1e-12 * scale + 1e-300), name
        traded = daily_traded_value(weights, **market, **costs) / costs["total_money"]
        np.testing.assert_allclose(turnover[name].to_numpy(), traded, rtol=1e-12, atol=1e-300, err_msg=name)
    np.testing.assert_array_equal(result["top_minus_bottom"], result[names[-1]] - result[names[0]])


@pytest.mark.parametrize(
    "group_num, layout, cant_sell_share",
    [(10, "C", 0.1), (10, "F", 0.1), (3, "C", 0.5), (1, "C", 0.1), (70, "C", 0.3)],
)
def test_each_group_is_the_single_engine_on_its_weights(group_num, layout, cant_sell_share):
    factor, market = random_market(60, 300, seed=group_num, layout=layout, cant_sell_share=cant_sell_share)
    assert_each_group_is_the_single_engine(factor, market, group_num)


@pytest.mark.parametrize("kind", FACTOR_KINDS)
def test_groups_weigh_their_members_whichever_way_the_day_is_cut(kind):
    """Each stock's weight comes out of the cutting with its group, on every
    path the cutting takes."""
    factor, market = random_market(30, 200, seed=11, layout="C")
    values = hard_factor_values(kind, np.random.default_rng(5), factor.shape)
    assert_each_group_is_the_single_engine(frame(values, factor.index, factor.columns, "C"), market, 7)


def test_groups_of_a_store_shaped_market_and_of_misaligned_frames():
    factor, market = random_market(40, 120, seed=3, layout="C")
    expected = _core.calc_all_group_vwap_daily_return(factor, **market, group_num=5)
    # Market matrices with an extra leading date and stocks in another order are aligned first.
    shuffled = {
        name: pd.concat([m.iloc[:1].set_axis(["20191231"]), m])[m.columns[::-1]] for name, m in market.items()
    }
    pd.testing.assert_frame_equal(
        _core.calc_all_group_vwap_daily_return(factor, **shuffled, group_num=5), expected
    )


def test_short_factor_and_bad_arguments():
    factor, market = random_market(5, 12, seed=1)
    empty = _core.calc_all_group_vwap_daily_return(factor.iloc[:1], **market, group_num=4)
    assert empty.empty and list(empty.columns) == [
        "group_1",
        "group_2",
        "group_3",
        "group_4",
        "top_minus_bottom",
    ]
    empty_returns, empty_turnover = _core.calc_all_group_vwap_daily_return_with_turnover(
        factor.iloc[:1], **market, group_num=4
    )
    pd.testing.assert_frame_equal(empty_returns, empty)
    assert empty_turnover.empty and list(empty_turnover.columns) == [
        "group_1",
        "group_2",
        "group_3",
        "group_4",
    ]

    with pytest.raises(ValueError, match="group_num 必须在 1 与股票数 12 之间, 当前为 13"):
        _core.calc_all_group_vwap_daily_return(factor, **market, group_num=13)
    with pytest.raises(ValueError, match="group_num 必须在 1 与股票数 12 之间, 当前为 0"):
        _core.calc_factor_groups(factor, 0)
    with pytest.raises(ValueError, match="lot_size"):
        _core.calc_all_group_vwap_daily_return(factor, **market, lot_size=0)
    with pytest.raises(ValueError, match="日期有重复"):
        _core.calc_all_group_vwap_daily_return(factor.iloc[[0, 1, 1, 2]], **market, group_num=2)
    with pytest.raises(ValueError, match="group_num 必须在 1 与股票数 12 之间, 当前为 13"):
        _core.calc_all_group_vwap_daily_return_with_turnover(factor, **market, group_num=13)


def test_group_backtest_trades_by_the_single_engines_defaults():
    """Called without trading parameters, the group backtests use the single
    engine's: a change to one default shows up here."""
    import inspect

    def trading_defaults(function):
        parameters = inspect.signature(function).parameters
        return {name: parameters[name].default for name in ("total_money", "fee", "rule_fee", "lot_size")}

    for group_backtest in (
        _core.calc_all_group_vwap_daily_return,
        _core.calc_all_group_vwap_daily_return_with_turnover,
    ):
        assert trading_defaults(group_backtest) == trading_defaults(sk.calc_strategy_vwap_daily_return)
    assert (
        inspect.signature(_core.calc_all_group_vwap_daily_return).parameters
        == inspect.signature(_core.calc_all_group_vwap_daily_return_with_turnover).parameters
    )


def test_native_entry_checks_every_array_against_the_factor():
    factor, market = random_market(6, 5, seed=2)
    values = factor.to_numpy()[:-1]
    arrays = _core._build_market_arrays(factor.index[1:], factor.columns, *market.values())
    with pytest.raises(ValueError, match=r"行情数组 close_arr 的形状为 \(5, 4\), 应为 \(5, 5\)"):
        _groups.group_vwap_daily_return(values, {**arrays, "close_arr": arrays["close_arr"][:, :4]}, 2)
    with pytest.raises(TypeError, match="can_buy_arr 必须是二维 bool 数组"):
        _groups.group_vwap_daily_return(values, {**arrays, "can_buy_arr": arrays["can_buy_arr"] * 1.0}, 2)
    with pytest.raises(KeyError, match="split_arr"):
        _groups.group_vwap_daily_return(values, {k: v for k, v in arrays.items() if k != "split_arr"}, 2)
    with pytest.raises(ValueError, match=r"right 的形状为 \(5, 4\), 应为 \(5, 5\)"):
        _groups.daily_rank_correlation(values, values[:, :4])


def test_groups_read_the_market_frames_in_place():
    factor, market = random_market(30, 50, seed=4, layout="C")
    kept = {name: m.to_numpy().copy() for name, m in market.items()}
    _core.calc_all_group_vwap_daily_return(factor, **market, group_num=5)
    for name, values in kept.items():
        np.testing.assert_array_equal(market[name].to_numpy(), values)


def test_two_threads_on_shared_inputs_give_the_serial_groups():
    factor, market = random_market(120, 400, seed=8, layout="C")
    expected = _core.calc_all_group_vwap_daily_return(factor, **market)
    results = []
    threads = [
        threading.Thread(
            target=lambda: results.append(_core.calc_all_group_vwap_daily_return(factor, **market))
        )
        for _ in range(2)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        pd.testing.assert_frame_equal(result, expected)


PLANNED_AHEAD_CHECK = """
import os, sys
import numpy as np
from tolvane.backtest import _core
from markets import frame, random_market

all_cores = os.sched_getaffinity(0)
one_core = {min(all_cores)}


def run(factor, market, groups):
    both = _core.calc_all_group_vwap_daily_return_with_turnover
    returns, turnover = both(factor, **market, group_num=groups)
    return np.concatenate([returns.to_numpy(), turnover.to_numpy()], axis=1).view(np.uint64)


# Day counts around the planning ring and its units; row-major, pandas' and
# mixed layouts (a factor in another layout than the market's); few and many groups.
for case, (n_days, layout, factor_layout, groups) in enumerate(
    [(31, "C", "C", 10), (33, "C", "C", 3), (47, "F", "F", 7), (64, "C", "F", 12), (65, "F", "C", 1),
     (120, "C", "C", 10), (129, "strided", "F", 5)]
):
    factor, market = random_market(n_days, 150 + case, seed=case, layout=layout, cant_sell_share=0.3)
    factor = frame(factor.to_numpy(), factor.index, factor.columns, factor_layout)
    planned_ahead = [run(factor, market, groups) for _ in range(5)]
    os.sched_setaffinity(0, one_core)
    alone = run(factor, market, groups)
    os.sched_setaffinity(0, all_cores)
    for result in planned_ahead:
        assert np.array_equal(result, alone), (n_days, layout, factor_layout, groups)
print("ok")
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity")
def test_days_planned_ahead_give_the_groups_of_one_core_bit_for_bit():
    """On two cores days are planned ahead on a second thread, and shared with
    the trading thread whichever is faster; on one core the trading thread
    plans them all. The same numbers every time, and no hang: a child process
    with a time limit."""
    done = subprocess.run(
        [sys.executable, "-c", PLANNED_AHEAD_CHECK],
        cwd=Path(__file__).parent,
        env={**os.environ, "PYTHONPATH": str(Path(__file__).parent)},
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr


def test_groups_and_ic_straight_from_a_memory_mapped_store(tmp_path):
    from tolvane.backtest import BinaryPreparedDataStore
    from tolvane.sandbox.market import SyntheticMarket
    from tolvane.sandbox.package import market_payload

    BinaryPreparedDataStore(tmp_path).write(
        market_payload(SyntheticMarket(seed=5, n_stocks=40, start="2023-01-01", end="2023-12-31"))
    )
    data = BinaryPreparedDataStore(tmp_path).load()
    market = _core.backtest_inputs(data)
    assert (
        market["split_factor"] is data["rq_get_split"] and not data["close_price"].to_numpy().flags.writeable
    )
    factor = data["close_price"].pct_change(20, fill_method=None)
    groups = _core.calc_all_group_vwap_daily_return(factor, **market, group_num=4)
    in_memory = {name: frame.copy() for name, frame in market.items()}
    pd.testing.assert_frame_equal(
        groups, _core.calc_all_group_vwap_daily_return(factor.copy(), **in_memory, group_num=4)
    )
    ic = calc_factor_ic(factor, data["forward_return_rank_cache"])
    forward = data["open_price"].shift(-2) / data["open_price"].shift(-1) - 1
    pd.testing.assert_series_equal(
        ic.daily_ic, transcribed_ic(factor, forward).rename("ic"), check_exact=False, rtol=1e-12, atol=1e-12
    )
    with pytest.raises(KeyError, match="rq_get_split"):
        _core.backtest_inputs({key: value for key, value in data.items() if key != "rq_get_split"})


# --- factor IC --------------------------------------------------------------


@settings(max_examples=100, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(2, 60), st.sampled_from([0, 1, 3]))
def test_ic_is_the_daily_spearman_correlation(seed, n_stocks, decimals):
    rng = np.random.default_rng(seed)
    dates = pd.Index([f"2023{m:02d}15" for m in range(1, 13)] + [f"2024{m:02d}15" for m in range(1, 4)])
    shape = (len(dates), n_stocks)
    factor = pd.DataFrame(rng.normal(size=shape).round(decimals), index=dates)
    forward = pd.DataFrame(rng.normal(size=shape).round(decimals), index=dates)
    factor[rng.random(shape) < 0.2] = np.nan
    forward[rng.random(shape) < 0.1] = np.inf
    factor.iloc[0] = 1.0  # one side constant: no correlation that day

    ic = calc_factor_ic(factor, forward)
    expected = transcribed_ic(factor, forward)
    pd.testing.assert_series_equal(
        ic.daily_ic, expected.rename("ic"), check_exact=False, rtol=1e-12, atol=1e-12
    )
    valid = expected.dropna()
    assert ic.ic_mean == pytest.approx(valid.mean(), nan_ok=True)
    if len(valid) > 1 and valid.std() > 1e-9:  # the IR of a nearly constant IC is all rounding
        assert ic.ic_ir == pytest.approx(valid.mean() / valid.std())
    assert list(ic.yearly.index) == [2023, 2024]
    assert ic.yearly.loc[2024, "days"] == expected.iloc[12:].notna().sum()
    assert ic.yearly.loc[2023, "positive_ratio"] == pytest.approx(
        (expected.iloc[:12].dropna() > 0).mean(), nan_ok=True
    )
    np.testing.assert_allclose(ic.cumulative_ic, expected.fillna(0).cumsum(), atol=1e-12)


def test_ic_aligns_dates_and_stocks_and_knows_the_store_ranks():
    rng = np.random.default_rng(5)
    dates = pd.Index([f"202401{d:02d}" for d in range(2, 22)])
    factor = pd.DataFrame(rng.normal(size=(20, 30)), index=dates, columns=[f"s{j}" for j in range(30)])
    forward_rank = factor.iloc[::-1, ::-1].rank(axis=1)  # perfectly ranked, in another order
    ic = calc_factor_ic(factor, forward_rank.iloc[2:, 5:])
    assert sorted(ic.daily_ic.index) == list(dates[:18])
    np.testing.assert_allclose(ic.daily_ic, 1.0)
    assert np.isnan(ic.ic_ir)  # no spread in a perfect IC


def test_rank_autocorrelation_is_the_spearman_correlation_with_the_day_before():
    rng = np.random.default_rng(9)
    dates = pd.Index([f"202401{d:02d}" for d in range(2, 14)])
    values = rng.normal(size=(12, 40)).round(1)  # ties
    values[rng.random(values.shape) < 0.2] = np.nan
    values[rng.random(values.shape) < 0.05] = -np.inf
    values[5] = 3.0  # a constant day: no correlation with it, either side
    values[8, 0], values[8, 1:] = 1.0, np.nan  # one comparable stock, on this day and the next
    factor = pd.DataFrame(values, index=dates)
    result = factor_rank_autocorrelation(factor)
    expected = transcribed_ic(factor, factor.shift(1))
    assert result.name == "rank_autocorrelation" and result.index.equals(dates)
    assert result.iloc[[0, 5, 6, 8, 9]].isna().all()
    pd.testing.assert_series_equal(
        result, expected.rename("rank_autocorrelation"), check_exact=False, rtol=1e-12, atol=1e-12
    )

    # A factor that keeps its order, read in pandas' column layout, is perfectly stable.
    steady = frame(np.tile(np.arange(30.0), (6, 1)) + np.arange(6.0)[:, None], dates[:6], range(30), "F")
    np.testing.assert_array_equal(factor_rank_autocorrelation(steady).to_numpy()[1:], 1.0)
    for short in (factor.iloc[:0], factor.iloc[:1]):
        assert factor_rank_autocorrelation(short).isna().all() and len(
            factor_rank_autocorrelation(short)
        ) == len(short)


# --- the report chart -------------------------------------------------------


def test_group_chart_renders(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    factor, market = random_market(80, 60, seed=6)
    groups = _core.calc_all_group_vwap_daily_return(factor, **market, group_num=5)
    ic = calc_factor_ic(factor, market["close_price"].shift(-2) / market["close_price"].shift(-1))
    path = plot_factor_groups(groups, ic, tmp_path / "groups.png", factor_name="测试因子")
    assert path == str(tmp_path / "groups.png")
    image = matplotlib.image.imread(path)
    assert image.shape[0] > 800 and image.shape[1] > 1200
    # Without an IC and without data the chart still renders, with notes in place of panels.
    plot_factor_groups(groups.iloc[:0], None, tmp_path / "empty.png")
    assert (tmp_path / "empty.png").stat().st_size > 0
