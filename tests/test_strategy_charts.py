"""Report charts: the weekly net value frame, the yearly metrics table and the
two chart images, read back from the drawn figures and the written files."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import tempfile
import threading

os.environ.setdefault("MPLCONFIGDIR", tempfile.mkdtemp(prefix="tolvane-mpl-"))

import numpy as np
import pandas as pd
import pytest

import tolvane.backtest._strategy_kernel as sk

from reference.strategy_stats import SAMPLE_STATS as STATS


def png_size(path) -> tuple[int, int]:
    with open(path, "rb") as image:
        header = image.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def dated(values, start="2023-01-02", form="text") -> pd.Series:
    days = pd.bdate_range(start, periods=len(values))
    index = {"text": days.strftime("%Y%m%d"), "int": days.strftime("%Y%m%d").astype(int), "timestamp": days}[
        form
    ]
    return pd.Series(np.asarray(values, dtype=float), index=index)


def backtest_series(n, form="text", seed=3):
    rng = np.random.default_rng(seed)
    benchmark = dated(rng.normal(0.0005, 0.01, n), form=form)
    daily = dated(benchmark.to_numpy() + rng.normal(0.0008, 0.004, n), form=form)
    return daily, daily.cumsum() + 1, benchmark


def plot_lock_is_free() -> bool:
    """Whether another thread can take the plot lock now (it is re-entrant)."""
    taken = []

    def take_lock():
        if sk._MATPLOTLIB_PLOT_LOCK.acquire(blocking=False):
            taken.append(True)
            sk._MATPLOTLIB_PLOT_LOCK.release()

    thread = threading.Thread(target=take_lock)
    thread.start()
    thread.join()
    return taken == [True]


@pytest.fixture
def drawn(monkeypatch):
    """Figures as they are about to be saved; nothing is rendered or written."""
    from matplotlib.figure import Figure

    figures = []
    monkeypatch.setattr(Figure, "savefig", lambda fig, *args, **kwargs: figures.append(fig))
    return figures


def axes_titled(fig, title):
    (ax,) = [ax for ax in fig.axes if ax.get_title() == title]
    return ax


def texts(ax):
    return [text.get_text() for text in ax.texts]


def legend_labels(ax):
    return [text.get_text() for text in ax.get_legend().get_texts()]


def table_cells(ax):
    (table,) = ax.tables
    return dict(table.get_celld())


def test_matplotlib_is_imported_only_when_a_chart_is_drawn():
    code = (
        "import sys, tolvane.backtest._strategy_kernel as sk\n"
        "assert 'matplotlib' not in sys.modules\n"
        "import pandas as pd\n"
        "empty = pd.Series(dtype=float)\n"
        "sk.plot_weekly_net_value(empty, empty, empty)\n"
        "assert 'matplotlib.pyplot' in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


class TestWeeklyNetValueFrame:
    def test_weeks_sample_the_last_valid_point_and_skip_empty_weeks(self):
        # Qingming: 2024-04-04/05 are holidays; no trading 04-08..04-12.
        daily = pd.Series([0.01, np.inf, -0.01, 0.03], index=["20240327", "20240401", "20240403", "20240415"])
        cumulative = pd.Series([1.01, 1.02, 1.01, 1.04], index=daily.index)
        benchmark = pd.Series(
            [0.001, 0.002, -0.001, 0.004, 0.0],
            index=["20240327", "20240328", "20240329", "20240403", "20240415"],
        )
        weekly = sk._build_weekly_net_value_frame(daily, cumulative, benchmark)

        assert list(weekly.columns) == ["long", "close_net_value", "extra_return", "extra_net_value"]
        assert list(weekly.index) == list(pd.to_datetime(["2024-03-29", "2024-04-05", "2024-04-19"]))
        # The strategy lacks the week's last day (03-29): its last valid value is kept.
        assert weekly["long"].tolist() == [1.01, 1.01, 1.04]
        march = 1.001 * 1.002 * 0.999
        assert weekly["close_net_value"].tolist() == pytest.approx([march, march * 1.004, march * 1.004])
        # The infinite return is missing, so that day adds no excess.
        assert weekly["extra_return"].tolist() == pytest.approx([0.0, -0.014, 0.016])
        assert weekly["extra_net_value"].tolist() == pytest.approx([1.0, 0.986, 1.016])

    @pytest.mark.parametrize("day", ["20240326", "20240329"])
    def test_a_single_day_is_one_row_labelled_by_its_friday(self, day):
        one = pd.Series([0.02], index=[day])
        weekly = sk._build_weekly_net_value_frame(one, one + 1, pd.Series([0.01], index=[day]))
        assert list(weekly.index) == [pd.Timestamp("2024-03-29")]
        assert weekly.iloc[0].tolist() == pytest.approx([1.02, 1.01, 0.0, 1.0])

    def test_empty_inputs_give_an_empty_frame_without_columns(self):
        empty = pd.Series(dtype=float)
        weekly = sk._build_weekly_net_value_frame(empty, empty, empty)
        assert weekly.empty and len(weekly.columns) == 0


class TestYearlyMetricsTable:
    def frame(self):
        return pd.DataFrame(
            {
                "strategy_return": [0.05, -0.1234],
                "strategy_sharpe": [1.234, np.nan],
                "strategy_max_dd": [0.02, 0.3],
                "strategy_calmar": [2.0, 0.5],
                "excess_return": [0.01, 0.02],
                "excess_sharpe": [0.5, 0.6],
                "excess_max_dd": [np.nan, 0.01],
                "excess_calmar": [1.0, 3.0],
            },
            index=pd.Index([2021.0, 2022.0], name="year"),
        )

    @pytest.mark.parametrize(("compact", "font_size", "title_size"), [(True, 7.4, 10.4), (False, 8.4, 11.5)])
    def test_cells_colours_and_sizes(self, compact, font_size, title_size):
        from matplotlib.figure import Figure

        ax = Figure().subplots()
        assert sk._draw_yearly_metrics_table(ax, self.frame(), compact=compact) is None
        cells = table_cells(ax)
        assert [cells[0, c].get_text().get_text() for c in range(9)][:3] == [
            "Year",
            "Strategy Return",
            "Strategy Sharpe",
        ]
        assert [cells[1, c].get_text().get_text() for c in range(9)] == [
            "2021",
            "5.00%",
            "1.23",
            "2.00%",
            "2.00",
            "1.00%",
            "0.50",
            "--",
            "1.00",
        ]
        assert cells[2, 2].get_text().get_text() == "--"
        assert cells[2, 1].get_text().get_color() == "#1d4ed8"
        assert cells[2, 5].get_text().get_color() == "#b91c1c"
        assert cells[0, 1].get_text().get_weight() == "bold"
        assert cells[1, 0].get_facecolor() != cells[2, 0].get_facecolor()
        assert cells[1, 3].get_fontsize() == font_size
        assert ax.get_title() == "Yearly Strategy & Excess Metrics"
        assert ax.title.get_fontsize() == title_size
        assert not ax.axison

    def test_no_rows_draws_only_the_note(self):
        from matplotlib.figure import Figure

        ax = Figure().subplots()
        sk._draw_yearly_metrics_table(ax, pd.DataFrame())
        assert texts(ax) == ["No yearly metric data"]
        assert len(ax.tables) == 0 and ax.get_title() == "" and not ax.axison


class TestPerformanceChart:
    def draw(self, daily, cumulative, benchmark, stats=STATS, **options):
        return sk.plot_strategy_performance(daily, cumulative, benchmark, stats, **options)

    @pytest.mark.parametrize("form", ["text", "int", "timestamp"])
    def test_benchmark_dates_match_the_strategy_whatever_their_form(self, drawn, form):
        daily, cumulative, benchmark = backtest_series(30, form=form)
        self.draw(daily, cumulative, benchmark, benchmark_name="000300")
        (fig,) = drawn
        ax_cum = axes_titled(fig, "Cumulative Return")
        strategy_line, benchmark_line = ax_cum.get_lines()[:2]
        assert benchmark_line.get_label() == "000300"
        assert benchmark_line.get_ydata()[-1] == pytest.approx((1 + benchmark).prod() - 1)
        excess = (daily - benchmark).to_numpy()
        excess_line = axes_titled(fig, "Excess Return & Drawdown").get_lines()[0]
        assert excess_line.get_ydata()[-1] == pytest.approx(excess.sum() - excess[0])

    @pytest.mark.parametrize(
        ("title", "shown"), [(None, "动量 top50"), ("", "动量 top50"), ("Report", "Report")]
    )
    def test_page_title(self, drawn, title, shown):
        self.draw(*backtest_series(30), strategy_name="动量 top50", plot_title=title)
        assert drawn[0]._suptitle.get_text() == f"{shown} | Benchmark 000852 | Strategy Performance"

    @pytest.mark.parametrize(
        ("days", "labels"),
        [
            (40, ["13D Excess Sharpe", "13D Win Rate"]),
            (12, ["5D Excess Sharpe", "5D Win Rate"]),
            (60, ["60D Excess Sharpe", "60D Win Rate"]),
            (250, ["60D Excess Sharpe", "60D Win Rate"]),
            (4, None),
        ],
    )
    def test_rolling_window(self, drawn, days, labels):
        daily, cumulative, benchmark = backtest_series(days)
        self.draw(daily, cumulative, benchmark)
        ax = axes_titled(drawn[0], "Rolling Excess Stability")
        if labels is None:
            assert texts(ax) == ["Not enough data"] and ax.get_legend() is None
            return
        assert legend_labels(ax) == labels
        excess = daily - benchmark
        window = int(labels[0][: -len("D Excess Sharpe")])
        (win_line,) = [
            line for any_ax in drawn[0].axes for line in any_ax.get_lines() if line.get_label() == labels[1]
        ]
        assert win_line.get_ydata()[-1] == pytest.approx((excess.iloc[-window:] > 0).mean())

    def test_missing_statistics_show_dashes(self, drawn):
        self.draw(*backtest_series(30), stats={})
        fig = drawn[0]
        cards = fig.axes[0]
        assert texts(cards)[0::2] == ["--"] * 9
        assert texts(cards)[1::2][:3] == ["Strategy Ann.", "Strategy Sharpe", "Strategy Max DD"]
        cells = table_cells(axes_titled(fig, "Statistics"))
        shown = {
            cells[row, 0].get_text().get_text(): cells[row, 1].get_text().get_text() for row in range(1, 11)
        }
        assert shown["Benchmark Ann."] == shown["Avg Holding"] == shown["Turnover"] == "--"
        assert shown["Trading Days"] == "30" and shown["Benchmark"] == "000852"
        assert shown["Date Range"] == "2023-01-02 ~ 2023-02-10"

    def test_excess_bar_labels_sit_above_gains_and_below_losses(self, drawn):
        gains = dated([0.02] * 10, start="2022-12-19")  # 2022: strategy 0.20
        losses = dated([-0.003] * 10, start="2023-01-02")  # 2023: strategy -0.03
        daily = pd.concat([gains, losses])
        benchmark = pd.Series(0.002, index=daily.index)
        self.draw(daily, daily.cumsum() + 1, benchmark)
        ax = axes_titled(drawn[0], "Yearly Return")
        labels = [text for text in ax.texts if text.get_rotation() == 90]
        assert [text.get_text() for text in labels] == ["18.00%", "-5.00%"]
        offset = 0.20 * 0.025
        (x0, y0), (x1, y1) = (labels[0].get_position(), labels[1].get_position())
        assert (x0, x1) == pytest.approx((0.26, 1.26))
        assert (y0, y1) == pytest.approx((0.18 + offset, -0.05 - offset))
        assert [text.get_verticalalignment() for text in labels] == ["bottom", "top"]
        years = [tick.get_text() for tick in ax.get_xticklabels() if tick.get_text()]
        assert years == ["2022", "2023"]

    @pytest.mark.parametrize("daily", [pd.Series(dtype=float), dated([np.nan, np.inf])])
    def test_no_strategy_data_writes_nothing(self, drawn, tmp_path, daily):
        target = tmp_path / "main.png"
        result = self.draw(daily, daily, daily, save_path=target)
        assert result == {"main": str(target)}
        assert drawn == [] and not target.exists()

    def test_refuses_subclassed_arguments(self):
        class Stats(dict):
            pass

        class Name(str):
            pass

        with pytest.raises(TypeError, match="Argument 'stats' has incorrect type"):
            self.draw(*backtest_series(5), stats=Stats())
        with pytest.raises(TypeError, match="Argument 'strategy_name' has incorrect type"):
            self.draw(*backtest_series(5), strategy_name=Name("x"))

    def test_failing_style_is_ignored_and_failing_save_releases_lock(self, monkeypatch, tmp_path):
        import matplotlib.pyplot as plt

        def broken_style(name):
            raise OSError("no such style")

        monkeypatch.setattr(plt.style, "use", broken_style)
        with pytest.raises(FileNotFoundError):
            self.draw(*backtest_series(30), save_path=tmp_path / "missing" / "main.png")
        assert plot_lock_is_free()
        assert plt.get_fignums() == []

    @pytest.mark.parametrize("collector_on", [True, False])
    def test_garbage_collector_is_left_as_it_was_after_drawing_or_failing(self, tmp_path, collector_on):
        import gc

        was_on = gc.isenabled()
        (gc.enable if collector_on else gc.disable)()
        try:
            self.draw(*backtest_series(30), save_path=tmp_path / "main.png")
            assert gc.isenabled() == collector_on
            with pytest.raises(FileNotFoundError):
                self.draw(*backtest_series(30), save_path=tmp_path / "missing" / "main.png")
            assert gc.isenabled() == collector_on
            sk.plot_weekly_net_value(*backtest_series(30), save_path=tmp_path / "weekly.png")
            assert gc.isenabled() == collector_on
        finally:
            (gc.enable if was_on else gc.disable)()

    @pytest.mark.parametrize(
        ("chart", "twin", "arguments"),
        [
            (sk.plot_strategy_performance, "_plot_strategy_performance_unlocked", (STATS,)),
            (sk.plot_weekly_net_value, "_plot_weekly_net_value_unlocked", ()),
        ],
    )
    def test_native_failure_under_the_lock_reaches_the_caller_and_releases_it(
        self, monkeypatch, chart, twin, arguments
    ):
        # Raised in native code without a Python frame, so without a traceback.
        monkeypatch.setattr(sk, twin, None)
        with pytest.raises(TypeError, match="'NoneType' object is not callable"):
            chart(*backtest_series(5), *arguments)
        assert plot_lock_is_free()


class TestImages:
    """Real files: pixel sizes are the page size times the layout's dpi."""

    def test_performance_layouts(self, tmp_path):
        series = backtest_series(300)
        draw = sk.plot_strategy_performance
        draw(*series, STATS, save_path=tmp_path / "long.png", image_kind="long")
        draw(*series, STATS, save_path=str(tmp_path / "large.png"))
        # 15.5 x 34.0 in at 145 dpi; 20.0 x 13.2 in at 175 dpi, cropped to its content.
        assert png_size(tmp_path / "long.png") == (2247, 4930)
        width, height = png_size(tmp_path / "large.png")
        assert width == pytest.approx(3500, rel=0.05) and height == pytest.approx(2310, rel=0.05)

    def test_yearly_returns_within_a_hair_of_zero_still_render(self, tmp_path):
        # The bar labels sit 0.3% from bars a billionth of that tall: unless
        # the axis reaches them, the cropped page is too tall to render.
        daily = dated(np.linspace(-0.01, 0.01, 40))
        sk.plot_strategy_performance(daily, daily.cumsum(), daily * 0.5, {}, save_path=tmp_path / "flat.png")
        width, height = png_size(tmp_path / "flat.png")
        assert width == pytest.approx(3500, rel=0.05) and height == pytest.approx(2310, rel=0.05)

    def test_weekly_layouts_and_panels(self, tmp_path, monkeypatch):
        from matplotlib.figure import Figure

        figures = []
        save = Figure.savefig

        def save_and_keep(fig, *args, **kwargs):
            figures.append(fig)
            return save(fig, *args, **kwargs)

        monkeypatch.setattr(Figure, "savefig", save_and_keep)
        series = backtest_series(300)
        draw = sk.plot_weekly_net_value
        result = draw(*series, "周度", None, tmp_path / "w.png", "long", "000905")
        draw(*series, save_path=tmp_path / "wide.png")
        assert result == {"weekly_net_value": str(tmp_path / "w.png")}
        # 15.5 x 12.4 in at 145 dpi; 19.0 x 9.2 in at 175 dpi, cropped to its content.
        assert png_size(tmp_path / "w.png") == (2247, 1798)
        width, height = png_size(tmp_path / "wide.png")
        assert width == pytest.approx(3325, rel=0.05) and height == pytest.approx(1610, rel=0.05)

        fig = figures[0]
        assert fig._suptitle.get_text() == "周度 | Benchmark 000905 | Weekly Net Value"
        ax_nav, ax_dd = axes_titled(fig, "Weekly Net Value"), axes_titled(fig, "Weekly Drawdown")
        assert legend_labels(ax_nav) == ["Strategy NAV", "000905 NAV", "Excess NAV"]
        assert legend_labels(ax_dd) == ["Strategy Drawdown", "000905 Drawdown", "Excess Drawdown"]
        assert ax_dd.get_shared_x_axes().joined(ax_nav, ax_dd)

    @pytest.mark.parametrize("kind", ["large", "long"])
    def test_texts_sharing_layouts_are_laid_out_as_matplotlib_lays_them_out(
        self, tmp_path, monkeypatch, kind
    ):
        # Equal strings sit on the page in other fonts, sizes, alignments and
        # rotations (an excess bar label rotated beside its table cell, tick
        # labels of several axes): each must get its own layout.
        from matplotlib.figure import Figure
        from matplotlib.text import Text

        compared = []
        save = Figure.savefig

        def save_and_compare(fig, *args, **kwargs):
            save(fig, *args, **kwargs)
            renderer = fig.canvas.get_renderer()
            cells = [cell for ax in fig.axes for table in ax.tables for cell in table.get_celld().values()]
            texts = fig.findobj(Text) + [cell.get_text() for cell in cells]
            tick_labels = [label for ax in fig.axes for label in ax.yaxis.get_ticklabels()]
            # Empty texts are never laid out.
            laid_out = [text for text in texts + tick_labels if text.get_text()]
            unshared = [text for text in laid_out if "_get_layout" not in vars(text)]
            assert [(text.get_text(), text.axes and text.axes.get_title()) for text in unshared] == []
            for text in texts:
                box, lines, corner = text._get_layout(renderer)
                own_box, own_lines, own_corner = Text._get_layout(text, renderer)
                assert (box.bounds, lines, corner) == (own_box.bounds, own_lines, own_corner), text.get_text()
            compared.append(len(texts))

        monkeypatch.setattr(Figure, "savefig", save_and_compare)
        series = backtest_series(700)
        sk.plot_strategy_performance(*series, STATS, save_path=tmp_path / "main.png", image_kind=kind)
        sk.plot_weekly_net_value(*series, save_path=tmp_path / "weekly.png", image_kind=kind)
        assert len(compared) == 2 and min(compared) > 100

    def test_weekly_chart_without_data_writes_nothing(self, tmp_path):
        empty = pd.Series(dtype=float)
        target = tmp_path / "w.png"
        assert sk.plot_weekly_net_value(empty, empty, empty, save_path=target) == {
            "weekly_net_value": str(target)
        }
        assert not target.exists()

    def test_two_threads_draw_one_after_the_other(self, tmp_path, monkeypatch):
        drawing, overlaps = [], []
        unlocked = sk._plot_strategy_performance_unlocked

        def tracked(**arguments):
            drawing.append(1)
            overlaps.append(len(drawing) > 1)
            try:
                unlocked(**arguments)
            finally:
                drawing.pop()

        monkeypatch.setattr(sk, "_plot_strategy_performance_unlocked", tracked)
        start = threading.Barrier(2)
        series = backtest_series(120)

        def draw(name):
            start.wait()
            sk.plot_strategy_performance(
                *series, STATS, strategy_name=name, save_path=tmp_path / f"{name}.png", image_kind="long"
            )

        threads = [threading.Thread(target=draw, args=(name,)) for name in ("a", "b")]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert overlaps == [False, False]
        assert png_size(tmp_path / "a.png") == png_size(tmp_path / "b.png") == (2247, 4930)

    def test_runner_writes_both_images(self, tmp_path):
        dates = pd.bdate_range("2023-01-02", periods=80).strftime("%Y%m%d")
        stocks = ["600000.XSHG", "000001.XSHE", "300750.XSHE"]
        rng = np.random.default_rng(5)
        close = pd.DataFrame(
            10 * np.exp(np.cumsum(rng.normal(0, 0.02, (80, 3)), axis=0)), index=dates, columns=stocks
        )
        weights = pd.DataFrame(1 / 3, index=dates, columns=stocks)
        market = dict(
            can_buy_stock=pd.DataFrame(True, index=dates, columns=stocks),
            cant_sell_stock=pd.DataFrame(False, index=dates, columns=stocks),
            split_factor=pd.DataFrame(np.nan, index=dates, columns=stocks),
            dividend_factor=pd.DataFrame(np.nan, index=dates, columns=stocks),
            close_price=close,
            prev_close=close.shift(1),
            buy_price=close,
            sell_price=close,
        )
        benchmark = pd.Series(rng.normal(0, 0.01, 80), index=dates)
        result = sk.run_strategy_backtest_core(
            weights,
            **market,
            benchmark_dict={"000852": benchmark},
            plot_save_path=str(tmp_path / "bt.png"),
            plot_image_kind="long",
            strategy_name="等权",
        )
        assert result.plot_paths == {
            "main": str(tmp_path / "bt.png"),
            "weekly_net_value": str(tmp_path / "bt_weekly_net_value.png"),
        }
        assert png_size(tmp_path / "bt.png") == (2247, 4930)
        assert png_size(tmp_path / "bt_weekly_net_value.png") == (2247, 1798)
