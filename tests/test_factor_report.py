"""The factor report: its tables are the functions it is made of (and the
group statistics their pandas transcription), its images render with
Chinese text, its JSON and notebook view carry every table; the console
command writes the same from a factor file; a backtest result shows itself
in a notebook too."""

from __future__ import annotations

import base64
import json

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest import (
    BinaryPreparedDataStore,
    backtest_inputs,
    calc_all_group_vwap_daily_return,
    calc_factor_ic_by_horizon,
    calc_forward_returns,
    factor_report,
    run_strategy_backtest_core,
)
from tolvane.backtest._factor_report import group_statistics
from tolvane.sandbox.market import SyntheticMarket
from tolvane.sandbox.package import market_payload


@pytest.fixture(scope="module")
def market_store(tmp_path_factory):
    market = SyntheticMarket(seed=7, n_stocks=80, start="2022-06-01", end="2023-12-31")
    folder = tmp_path_factory.mktemp("report-store")
    BinaryPreparedDataStore(folder).write(market_payload(market))
    store = BinaryPreparedDataStore(folder)
    close = store.load(keys=["close_price"])["close_price"]
    alpha1 = pd.DataFrame(market.factor("alpha1"), index=close.index, columns=close.columns)
    return store, alpha1


def test_group_statistics_are_the_strategy_statistics_rules():
    returns = pd.DataFrame(
        {"group_1": [0.02, -0.03, 0.01, np.nan], "group_2": [-0.01, 0.0, 0.02, 0.01]},
        index=["20240102", "20240103", "20240104", "20240105"],
    )
    returns["top_minus_bottom"] = returns["group_2"] - returns["group_1"]
    turnover = pd.DataFrame(
        {"group_1": [1.0, 0.5, 0.5, 0.0], "group_2": [1.0, 0.2, 0.0, 0.2]}, index=returns.index
    )
    table = group_statistics(returns, turnover)
    assert list(group_statistics(returns).columns) == ["annual_return", "sharpe", "max_drawdown"]
    assert list(table.index) == ["group_1", "group_2", "top_minus_bottom"]
    for column in returns:
        daily = returns[column]
        net = daily.fillna(0).cumsum() + 1
        assert table.loc[column, "annual_return"] == pytest.approx(daily.mean() * 252)
        assert table.loc[column, "sharpe"] == pytest.approx(daily.mean() / daily.std() * np.sqrt(252))
        assert table.loc[column, "max_drawdown"] == pytest.approx((net.cummax() - net).max())
    assert table.loc["group_1", "max_drawdown"] == pytest.approx(0.03)  # 1.02 down to 0.99
    assert table.loc["group_2", "mean_turnover"] == pytest.approx(0.35)
    assert np.isnan(table.loc["top_minus_bottom", "mean_turnover"])


def test_report_is_made_of_the_functions_and_writes_images_and_json(market_store, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    store, alpha1 = market_store
    factor = alpha1.iloc[20:-30]  # the report runs over the factor's own dates
    report = factor_report(
        factor, store, groups=5, horizons=(1, 5), output_dir=tmp_path / "out", factor_name="阿尔法一"
    )

    data = store.load()
    on_dates = factor.reindex(columns=data["close_price"].columns)
    expected_groups = calc_all_group_vwap_daily_return(on_dates, **backtest_inputs(data), group_num=5)
    pd.testing.assert_frame_equal(report.group_returns, expected_groups)
    forward = {h: m.loc[on_dates.index] for h, m in calc_forward_returns(data, (1, 5)).items()}
    expected_ic = calc_factor_ic_by_horizon(on_dates, forward)
    pd.testing.assert_frame_equal(report.ic.summary, expected_ic.summary)
    assert report.ic.daily_ic[5].notna().iloc[-1]  # the last periods end on the store's later opens
    pd.testing.assert_frame_equal(
        report.group_stats.iloc[:, :3], group_statistics(expected_groups).iloc[:, :3]
    )
    # The planted signal is found: higher groups earn more, the IC is positive.
    assert report.group_stats.loc["top_minus_bottom", "annual_return"] > 0
    assert (report.ic.summary["ic_mean"] > 0).all()

    for kind, path in report.image_paths.items():
        image = matplotlib.image.imread(path)
        assert image.shape[0] > 600 and image.shape[1] > 1200, kind
    record = json.loads(report.json_path.read_text(encoding="utf-8"))
    assert record["factor_name"] == "阿尔法一" and record["horizons"] == [1, 5] and record["groups"] == 5
    assert record["ic_summary"]["5"]["ic_mean"] == pytest.approx(report.ic.summary.loc[5, "ic_mean"])
    assert record["group_stats"]["group_5"]["sharpe"] == pytest.approx(
        report.group_stats.loc["group_5", "sharpe"]
    )
    assert set(record["ic_monthly"]["1"]) == {"2022", "2023"}
    assert None in record["ic_monthly"]["1"]["2022"].values()  # months before the factor starts: null

    page = report._repr_html_()
    assert "ic_mean" in page and "top_minus_bottom" in page and '<img src="data:image/png;base64,' in page
    embedded = page.split("base64,")[1].split('"')[0]
    assert base64.b64decode(embedded) == (tmp_path / "out" / "factor_groups.png").read_bytes()


def test_report_without_output_draws_its_notebook_image_and_refuses_bad_factors(market_store):
    store, alpha1 = market_store
    report = factor_report(alpha1, store.load(), groups=3, horizons=(2,))
    assert report.image_paths == {} and report.json_path is None
    assert base64.b64decode(report._repr_html_().split("base64,")[1].split('"')[0])[:4] == b"\x89PNG"
    with pytest.raises(ValueError, match="没有任何值"):
        factor_report(alpha1 * np.nan, store)
    with pytest.raises(ValueError, match="重叠不足两天"):
        factor_report(alpha1.iloc[:1], store)


def test_factor_command_reports_a_factor_file(market_store, tmp_path, capsys):
    from tolvane.cli import main

    store, alpha1 = market_store
    long = alpha1.stack().rename("value").reset_index()
    long.columns = ["date", "ukey", "value"]
    long.to_csv(tmp_path / "alpha1.csv", index=False)
    code = main(
        [
            "factor",
            "--store",
            str(store.store_dir),
            "--factor",
            str(tmp_path / "alpha1.csv"),
            "--output",
            str(tmp_path / "out"),
            "--groups",
            "4",
            "--horizons",
            "1,10",
        ]
    )
    printed = capsys.readouterr().out
    assert code == 0
    assert "因子报告  alpha1" in printed and "top_minus_bottom" in printed
    record = json.loads((tmp_path / "out" / "factor_report.json").read_text(encoding="utf-8"))
    assert record["horizons"] == [1, 10] and record["groups"] == 4
    direct = factor_report(alpha1, store, groups=4, horizons=(1, 10))
    assert record["ic_summary"]["10"]["ic_ir"] == pytest.approx(direct.ic.summary.loc[10, "ic_ir"], rel=1e-9)

    assert main(["factor", "--store", str(store.store_dir), "--factor", str(tmp_path / "x.csv")]) == 1
    assert "因子文件不存在" in capsys.readouterr().err


def test_backtest_result_shows_itself_in_a_notebook(market_store, tmp_path):
    store, alpha1 = market_store
    data = store.load()
    chosen = alpha1.rank(axis=1, ascending=False) <= 10
    weights = chosen.div(chosen.sum(axis=1), axis=0).fillna(0.0)
    result = run_strategy_backtest_core(
        weights,
        **backtest_inputs(data),
        benchmark_dict=store.load_benchmarks(),
        plot_save_path=str(tmp_path / "main.png"),
    )
    page = result._repr_html_()
    assert "年化收益" in page and "000852" in page and "data:image/png;base64," in page
    no_chart = run_strategy_backtest_core(weights, **backtest_inputs(data))._repr_html_()
    assert "夏普" in no_chart and "<img" not in no_chart


def test_turnover_and_autocorrelation_enter_the_tables_json_and_a_chart(market_store, tmp_path):
    """Each group's turnover from the group backtest and the factor's rank
    autocorrelation: a statistics column, the JSON, the text and their chart."""
    matplotlib = pytest.importorskip("matplotlib")
    from tolvane.backtest import calc_all_group_vwap_daily_return_with_turnover, factor_rank_autocorrelation

    store, alpha1 = market_store
    report = factor_report(alpha1, store, groups=4, horizons=(1,), output_dir=tmp_path)
    data = store.load()
    returns, turnover = calc_all_group_vwap_daily_return_with_turnover(
        alpha1, **backtest_inputs(data), group_num=4
    )
    pd.testing.assert_frame_equal(report.group_returns, returns)
    pd.testing.assert_frame_equal(report.group_turnover, turnover)
    pd.testing.assert_series_equal(report.rank_autocorrelation, factor_rank_autocorrelation(alpha1))
    assert report.group_stats.loc["group_4", "mean_turnover"] == pytest.approx(turnover["group_4"].mean())
    assert np.isnan(report.group_stats.loc["top_minus_bottom", "mean_turnover"])
    assert 0.2 < report.rank_autocorrelation.mean() < 1  # a drifting signal under daily noise

    assert matplotlib.image.imread(report.image_paths["turnover"]).shape[1] > 1200
    record = json.loads(report.json_path.read_text(encoding="utf-8"))
    assert record["group_stats"]["group_1"]["mean_turnover"] == pytest.approx(turnover["group_1"].mean())
    assert record["mean_rank_autocorrelation"] == pytest.approx(report.rank_autocorrelation.mean())
    assert "秩自相关" in report.format_text()
