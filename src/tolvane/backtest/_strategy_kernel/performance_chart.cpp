// The one-page performance chart: KPI cards, cumulative and excess returns
// with their drawdowns, yearly returns, rolling excess stability, drawdowns,
// the statistics table and the yearly metrics table.
#include <algorithm>

#include "chart_style.hpp"

namespace tolvane::strategy_kernel {

using namespace charts;

namespace {

// The window array's share of positive values.
nb::object rolling_win_rate(mf::Call &call) {
    return call.arg("values").attr("__gt__")(0).attr("mean")();
}

const mf::FunctionDef rolling_win_rate_def{
    .name = "<lambda>",
    .impl = rolling_win_rate,
    .params = {{.name = "values"}},
    .qualname = "_plot_strategy_performance_unlocked.<locals>.<lambda>",
};

struct PerformanceLayout {
    PageShape page;
    Span cards, cumulative, excess, yearly_returns, rolling, drawdown, statistics, yearly_table;
    double title_pad;  // panel titles; NaN: matplotlib's default
    std::array<double, 2> statistics_column_widths;
    bool compact_yearly_table;

    nb::object panel_title_pad() const {
        return std::isnan(title_pad) ? nb::none() : nb::object(nb::float_(title_pad));
    }
};

const PerformanceLayout long_performance_layout{
    .page = {.width = 15.5,
             .height = 34.0,
             .constrained = false,
             .rows = 7,
             .columns = 2,
             .height_ratios = {0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0},
             .width_ratios = {},
             .hspace = 0.42,
             .wspace = 0.22,
             .title_y = 0.986,
             .tight = false,
             .dpi = 145,
             .margins = {0.06, 0.94, 0.965, 0.035}},
    .cards = {0, 0, 2},
    .cumulative = {1, 0, 2},
    .excess = {2, 0, 2},
    .yearly_returns = {3, 0, 1},
    .rolling = {3, 1, 2},
    .drawdown = {4, 0, 2},
    .statistics = {5, 0, 2},
    .yearly_table = {6, 0, 2},
    .title_pad = 12,
    .statistics_column_widths = {0.26, 0.74},
    .compact_yearly_table = false,
};

const PerformanceLayout large_performance_layout{
    .page = {.width = 20.0,
             .height = 13.2,
             .constrained = true,
             .rows = 4,
             .columns = 3,
             .height_ratios = {0.62, 2.55, 2.15, 1.6},
             .width_ratios = {1.05, 1.05, 1.0},
             .title_y = 0.997,
             .tight = true,
             .dpi = 175},
    .cards = {0, 0, 3},
    .cumulative = {1, 0, 2},
    .excess = {1, 2, 3},
    .yearly_returns = {2, 0, 1},
    .rolling = {2, 1, 2},
    .drawdown = {2, 2, 3},
    .statistics = {3, 0, 1},
    .yearly_table = {3, 1, 3},
    .title_pad = NAN,
    .statistics_column_widths = {0.42, 0.58},
    .compact_yearly_table = true,
};

struct PerformanceAxes {
    nb::object cards, cumulative, excess, yearly_returns, rolling, drawdown, statistics;
    nb::object yearly_table;
};

PerformanceAxes add_performance_axes(const Page &page, const PerformanceLayout &layout) {
    PerformanceAxes axes;
    axes.cards = add_axes(page, layout.cards);
    axes.cumulative = add_axes(page, layout.cumulative);
    axes.excess = add_axes(page, layout.excess);
    axes.yearly_returns = add_axes(page, layout.yearly_returns);
    axes.rolling = add_axes(page, layout.rolling);
    axes.drawdown = add_axes(page, layout.drawdown);
    axes.statistics = add_axes(page, layout.statistics);
    axes.yearly_table = add_axes(page, layout.yearly_table);
    return axes;
}

// The series the performance chart draws, all on the dates of the cleaned
// strategy returns (infinities and gaps dropped).
struct PerformanceSeries {
    nb::object strategy_returns, strategy_net_value, benchmark_returns, excess_returns;
    nb::object excess_return_curve;  // the running excess made to start at 0
    nb::object strategy_drawdown, benchmark_net_value, benchmark_drawdown, excess_drawdown;
    nb::object yearly_returns;  // arithmetic sums per calendar year
    nb::object yearly_metrics;
};

// The cleaned strategy returns and net value, the benchmark returns on their
// dates and what follows from them; false when there is no strategy data to draw.
bool prepare_performance_series(const mf::Call &call, PerformanceSeries &data) {
    nb::object pd = call.global("pd");
    nb::object with_datetime_index = call.global("_with_datetime_index");

    data.strategy_returns =
        with_datetime_index(infinities_as_missing(call, call.arg("daily_return")).attr("dropna")());
    nb::object strategy_net_value =
        with_datetime_index(infinities_as_missing(call, call.arg("cumulative_return")).attr("dropna")());
    if (is_empty(data.strategy_returns) || is_empty(strategy_net_value))
        return false;

    nb::object dates = data.strategy_returns.attr("index");
    data.strategy_net_value = strategy_net_value.attr("reindex")(dates).attr("ffill")().attr("bfill")();
    // The benchmark gets the same date conversion as the strategy, so that its
    // dates match whatever their form (text, integer or timestamp dates).
    data.benchmark_returns =
        with_datetime_index(call.arg("benchmark_daily_return")).attr("reindex")(dates).attr("fillna")(0.0);
    data.excess_returns = data.strategy_returns.attr("sub")(data.benchmark_returns, "fill_value"_a = 0.0);
    data.excess_return_curve = from_first_value(data.excess_returns.attr("cumsum")());
    data.strategy_drawdown = data.strategy_net_value - data.strategy_net_value.attr("cummax")();
    data.benchmark_net_value = (nb::int_(1) + data.benchmark_returns).attr("cumprod")();
    data.benchmark_drawdown = data.benchmark_net_value - data.benchmark_net_value.attr("cummax")();
    nb::object excess_net_value = data.excess_return_curve + nb::int_(1);
    data.excess_drawdown = excess_net_value - excess_net_value.attr("cummax")();

    nb::dict yearly_columns;
    yearly_columns["daily"] = data.strategy_returns;
    yearly_columns["index"] = data.benchmark_returns;
    yearly_columns["excess"] = data.excess_returns;
    nb::object yearly_frame = pd.attr("DataFrame")(yearly_columns);
    data.yearly_returns = yearly_frame.attr("groupby")(yearly_frame.attr("index").attr("year"))
                              .attr("agg")("strategy"_a = nb::make_tuple("daily", "sum"),
                                           "benchmark"_a = nb::make_tuple("index", "sum"),
                                           "excess"_a = nb::make_tuple("excess", "sum"));

    nb::dict metrics_columns;
    metrics_columns["daily_return"] = data.strategy_returns;
    metrics_columns["index_day_return"] = data.benchmark_returns;
    metrics_columns["extra_daily_return"] = data.excess_returns;
    data.yearly_metrics =
        call.global("_calc_yearly_performance_metrics")(pd.attr("DataFrame")(metrics_columns));
    return true;
}

// One statistic as a report shows it: stats.get(key) through a formatter of
// this module (by name); a missing key shows as "--".
struct StatFormat {
    const char *label;
    const char *key;
    const char *formatter;
    int digits = 2;
};

constexpr std::array<StatFormat, 9> kpi_cards{{
    {"Strategy Ann.", "annual_return", "_format_pct_points"},
    {"Strategy Sharpe", "long_sharp", "_format_num"},
    {"Strategy Max DD", "max_dd", "_format_pct_points"},
    {"Excess Ann.", "extra_annual_return", "_format_pct_points"},
    {"Excess Sharpe", "extra_sharp", "_format_num"},
    {"Excess Max DD", "extra_max_dd", "_format_pct_points"},
    {"Strategy Win", "win_rate", "_format_pct_points"},
    {"Excess Win", "excess_win_rate", "_format_pct_points"},
    {"Turnover", "turnover", "_format_pct_points"},
}};

constexpr std::array<StatFormat, 6> summary_stats{{
    {"Benchmark Ann.", "benchmark_annual_return", "_format_pct_points"},
    {"Benchmark Sharpe", "benchmark_sharp", "_format_num"},
    {"Return Corr.", "return_corr", "_format_num"},
    {"Avg Holding", "holding_count", "_format_num", 0},
    {"Turnover", "turnover", "_format_pct_points"},
    {"Excess Win Rate", "excess_win_rate", "_format_pct_points"},
}};

nb::object formatted_stat(const mf::Call &call, const StatFormat &stat) {
    return call.global(stat.formatter)(call.arg("stats").attr("get")(stat.key), stat.digits);
}

void draw_kpi_cards(nb::handle ax, const std::vector<std::pair<const char *, nb::object>> &cards) {
    ax.attr("axis")("off");
    nb::object in_axes = ax.attr("transAxes");
    nb::dict value_box;
    value_box["boxstyle"] = "round,pad=0.34";
    value_box["facecolor"] = "white";
    value_box["edgecolor"] = "#d6dbe6";
    value_box["linewidth"] = 1.0;
    for (size_t card = 0; card < cards.size(); ++card) {
        double x = (static_cast<double>(card) + 0.5) / static_cast<double>(cards.size());
        ax.attr("text")(x, 0.6, cards[card].second, "ha"_a = "center", "va"_a = "center", "fontsize"_a = 13,
                        "fontweight"_a = "bold", "color"_a = heading_ink, "bbox"_a = value_box,
                        "transform"_a = in_axes);
        ax.attr("text")(x, 0.2, cards[card].first, "ha"_a = "center", "va"_a = "center", "fontsize"_a = 8.5,
                        "color"_a = "#64748b", "transform"_a = in_axes);
    }
}

void draw_cumulative_panel(const mf::Call &call, const Matplotlib &mpl, nb::handle ax,
                           const PerformanceSeries &data, nb::handle title_pad) {
    nb::handle benchmark_name = call.arg("benchmark_name");
    nb::object strategy_cumulative_return = data.strategy_net_value - nb::int_(1);
    nb::object benchmark_cumulative_return = data.benchmark_net_value - nb::int_(1);

    title_over_offset_free_axes(ax, "Cumulative Return", "pad"_a = title_pad);
    plot_line(ax, strategy_cumulative_return, "color"_a = strategy_blue, "linewidth"_a = 2.4,
              "label"_a = "Strategy");
    plot_line(ax, benchmark_cumulative_return, "color"_a = benchmark_black, "linewidth"_a = 1.7,
              "linestyle"_a = "--", "label"_a = benchmark_name);

    // The drawdown areas sit behind the return lines: the twin axes go below
    // and the main axes' background is hidden so that they show through.
    nb::object drawdown_axis = ax.attr("twinx")();
    drawdown_axis.attr("set_zorder")(ax.attr("get_zorder")() - nb::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    drawdown_axis.attr("set_ylabel")("Drawdown");
    percent_ticks(mpl, drawdown_axis);
    drawdown_axis.attr("grid")(false);
    drawdown_axis.attr("spines")["top"].attr("set_visible")(false);
    fill_to_zero(drawdown_axis, data.strategy_drawdown, "color"_a = strategy_drawdown_fill, "alpha"_a = 0.28,
                 "zorder"_a = 0, "label"_a = "Strategy Drawdown");
    fill_to_zero(drawdown_axis, data.benchmark_drawdown, "color"_a = "#d1d5db", "alpha"_a = 0.24,
                 "zorder"_a = 0, "label"_a = nb::str(benchmark_name) + nb::str(" Drawdown"));
    zero_line(ax);

    ax.attr("set_ylabel")("Return");
    percent_ticks(mpl, ax);
    merged_legend(ax, drawdown_axis, "upper left");
}

void draw_excess_panel(const Matplotlib &mpl, nb::handle ax, const PerformanceSeries &data,
                       nb::handle title_pad) {
    title_over_offset_free_axes(ax, "Excess Return & Drawdown", "pad"_a = title_pad);
    plot_line(ax, data.excess_return_curve, "color"_a = excess_red, "linewidth"_a = 2.2,
              "label"_a = "Excess Return");
    nb::object drawdown_axis = ax.attr("twinx")();
    drawdown_axis.attr("set_ylabel")("Drawdown");
    percent_ticks(mpl, drawdown_axis);
    fill_to_zero(drawdown_axis, data.excess_drawdown, "color"_a = "#fecaca", "alpha"_a = 0.34,
                 "label"_a = "Excess Drawdown");
    zero_line(ax);

    ax.attr("set_ylabel")("Excess Return");
    percent_ticks(mpl, ax);
    merged_legend(ax, drawdown_axis, "upper left");
}

// Widens the y limits to reach [low, high] where they fall short. The bar
// labels sit a fixed distance from their bars, which autoscaling ignores: with
// yearly returns all within a hair of zero, a label would lie billions of axis
// heights away and the page could not be rendered.
void keep_in_view(nb::handle ax, double low, double high) {
    nb::tuple limits = nb::borrow<nb::tuple>(ax.attr("get_ylim")());
    double bottom = nb::cast<double>(limits[0]), top = nb::cast<double>(limits[1]);
    if (low < bottom || high > top)
        ax.attr("set_ylim")(std::min(bottom, low), std::max(top, high));
}

// Distance between an excess bar and its value label: 2.5% of the largest
// yearly value shown, but at least 0.003.
double bar_label_offset(nb::handle yearly) {
    double largest = nb::cast<double>(yearly.attr("abs")().attr("max")().attr("max")());
    return std::isfinite(largest) ? std::max(largest * 0.025, 0.003) : 0.003;
}

void draw_yearly_return_panel(const mf::Call &call, const Matplotlib &mpl, nb::handle ax,
                              const PerformanceSeries &data, nb::handle title_pad) {
    constexpr double bar_width = 0.26;
    nb::handle yearly = data.yearly_returns;
    title_over_offset_free_axes(ax, "Yearly Return", "pad"_a = title_pad);
    if (nb::len(yearly) > 0) {
        nb::object x = call.global("np").attr("arange")(nb::len(yearly));
        ax.attr("bar")(x - nb::float_(bar_width), yearly["strategy"], "width"_a = bar_width,
                       "color"_a = strategy_blue, "alpha"_a = 0.86, "label"_a = "Strategy");
        ax.attr("bar")(x, yearly["benchmark"], "width"_a = bar_width, "color"_a = benchmark_black,
                       "alpha"_a = 0.72, "label"_a = call.arg("benchmark_name"));
        ax.attr("bar")(x + nb::float_(bar_width), yearly["excess"], "width"_a = bar_width,
                       "color"_a = excess_red, "alpha"_a = 0.82, "label"_a = "Excess");

        double offset = bar_label_offset(yearly);
        nb::object format_pct = call.global("_format_pct");
        nb::object is_missing = call.global("pd").attr("isna");
        double position = 0.0;
        double lowest_label = 0.0, highest_label = 0.0;
        for (nb::handle value : yearly["excess"].attr("tolist")()) {
            double bar_x = position + bar_width;
            position += 1.0;
            if (mf::truthy(is_missing(value)))
                continue;
            double excess = nb::cast<double>(value);
            bool above = excess >= 0;
            double label_y = above ? excess + offset : excess - offset;
            lowest_label = std::min(lowest_label, label_y);
            highest_label = std::max(highest_label, label_y);
            ax.attr("text")(bar_x, label_y, format_pct(value), "ha"_a = "center",
                            "va"_a = above ? "bottom" : "top", "fontsize"_a = 8.2, "color"_a = "#991b1b",
                            "rotation"_a = 90);
        }
        framed_legend(ax, "best");
        ax.attr("margins")("y"_a = 0.22);
        keep_in_view(ax, lowest_label, highest_label);
        nb::list year_labels;
        for (nb::handle year : yearly.attr("index"))
            year_labels.append(nb::str(year));
        ax.attr("set_xticks")(x);
        ax.attr("set_xticklabels")(year_labels, "rotation"_a = 45, "ha"_a = "right");
    } else {
        centred_note(ax, "No yearly data");
    }
    percent_ticks(mpl, ax);
    zero_line(ax);
    ax.attr("xaxis").attr("set_major_locator")(mpl.max_n_locator("integer"_a = true));
}

void draw_rolling_panel(const mf::Call &call, const Matplotlib &mpl, nb::handle ax,
                        const PerformanceSeries &data, nb::handle title_pad) {
    ax.attr("set_title")("Rolling Excess Stability", "pad"_a = title_pad);
    long observations = static_cast<long>(nb::len(data.excess_returns));
    long full_window = nb::cast<long>(call.global("ROLLING_STABILITY_DAYS"));
    long minimum_window = nb::cast<long>(call.global("MIN_ROLLING_STABILITY_DAYS"));
    long roll_days = observations >= full_window ? full_window : std::max(minimum_window, observations / 3);
    if (observations < roll_days || roll_days <= 1) {
        centred_note(ax, "Not enough data");
        return;
    }

    nb::object window = data.excess_returns.attr("rolling")(roll_days);
    nb::object annualisation = call.global("np").attr("sqrt")(call.global("TRADING_DAYS_PER_YEAR"));
    nb::object rolling_sharpe = window.attr("mean")() / window.attr("std")() * annualisation;
    nb::object rolling_win = window.attr("apply")(call.make_function(rolling_win_rate_def), "raw"_a = true);

    std::string days = std::to_string(roll_days);
    plot_line(ax, rolling_sharpe, "color"_a = rolling_purple, "linewidth"_a = 2.0,
              "label"_a = days + "D Excess Sharpe");
    zero_line(ax);
    nb::object win_rate_axis = ax.attr("twinx")();
    percent_ticks(mpl, win_rate_axis);
    plot_line(win_rate_axis, rolling_win, "color"_a = "#16a34a", "linewidth"_a = 1.6, "alpha"_a = 0.8,
              "label"_a = days + "D Win Rate");
    merged_legend(ax, win_rate_axis, "best");
}

void draw_drawdown_panel(const Matplotlib &mpl, nb::handle ax, const PerformanceSeries &data,
                         nb::handle title_pad) {
    title_over_offset_free_axes(ax, "Drawdown", "pad"_a = title_pad);
    fill_to_zero(ax, data.strategy_drawdown, "color"_a = strategy_drawdown_fill, "alpha"_a = 0.62,
                 "label"_a = "Strategy Drawdown");
    plot_line(ax, data.excess_drawdown, "color"_a = excess_red, "linewidth"_a = 1.7,
              "label"_a = "Excess Drawdown");
    zero_line(ax);
    percent_ticks(mpl, ax);
    framed_legend(ax, "lower left");
}

nb::list summary_row(const char *metric, nb::handle value) {
    nb::list row;
    row.append(metric);
    row.append(value);
    return row;
}

void draw_statistics_table(const mf::Call &call, nb::handle ax, const PerformanceSeries &data,
                           const PerformanceLayout &layout, nb::handle title_pad) {
    nb::object dates = data.strategy_returns.attr("index");
    nb::object date_range = dates.attr("min")().attr("strftime")("%Y-%m-%d") + nb::str(" ~ ") +
                            dates.attr("max")().attr("strftime")("%Y-%m-%d");
    nb::object yearly_excess = nb::len(data.yearly_returns) > 0
                                   ? nb::object(data.yearly_returns["excess"])
                                   : call.global("pd").attr("Series")("dtype"_a = call.global("float"));

    nb::list summary_rows;
    summary_rows.append(summary_row("Date Range", date_range));
    summary_rows.append(summary_row("Trading Days", nb::str(nb::int_(nb::len(data.strategy_returns)))));
    summary_rows.append(summary_row("Benchmark", call.arg("benchmark_name")));
    for (const StatFormat &stat : summary_stats)
        summary_rows.append(summary_row(stat.label, formatted_stat(call, stat)));
    summary_rows.append(summary_row("Annual Excess", call.global("_format_annual_excess")(yearly_excess)));

    ax.attr("axis")("off");
    title_over_offset_free_axes(ax, "Statistics", "pad"_a = title_pad);
    nb::object table =
        ax.attr("table")("cellText"_a = summary_rows, "colLabels"_a = python_list({"Metric", "Value"}),
                         "loc"_a = "center", "cellLoc"_a = "left", "colLoc"_a = "left",
                         "colWidths"_a = python_list(layout.statistics_column_widths));
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(9.4);
    table.attr("scale")(1.0, 1.28);
    style_report_table(table, nullptr);
}

nb::object plot_strategy_performance_unlocked(mf::Call &call) {
    CollectorPaused collector_paused;
    Matplotlib mpl = import_matplotlib();
    apply_report_style(call, mpl, {"DejaVu Sans", "Liberation Sans", "Ubuntu"}, /*bold_titles=*/true);

    PerformanceSeries data;
    if (!prepare_performance_series(call, data))
        return nb::none();

    std::vector<std::pair<const char *, nb::object>> cards;
    for (const StatFormat &card : kpi_cards)
        cards.emplace_back(card.label, formatted_stat(call, card));

    const PerformanceLayout &layout =
        wants_portrait_page(call) ? long_performance_layout : large_performance_layout;
    Page page = new_page(mpl, layout.page);
    draw_and_close(mpl, page, [&] {
        PerformanceAxes axes = add_performance_axes(page, layout);
        page_title(page, layout.page, page_title_text(call, "Strategy Performance"), 17);
        nb::object pad = layout.panel_title_pad();

        draw_kpi_cards(axes.cards, cards);
        draw_cumulative_panel(call, mpl, axes.cumulative, data, pad);
        draw_excess_panel(mpl, axes.excess, data, pad);
        draw_yearly_return_panel(call, mpl, axes.yearly_returns, data, pad);
        draw_rolling_panel(call, mpl, axes.rolling, data, pad);
        draw_drawdown_panel(mpl, axes.drawdown, data, pad);
        draw_statistics_table(call, axes.statistics, data, layout, pad);
        call.global("_draw_yearly_metrics_table")(axes.yearly_table, data.yearly_metrics,
                                                  "compact"_a = layout.compact_yearly_table);

        for (nb::handle panel :
             {axes.cumulative, axes.excess, axes.yearly_returns, axes.rolling, axes.drawdown})
            style_plot_panel(panel);
        save_page(call, mpl, page, layout.page, call.arg("save_path"));
    });
    return nb::none();
}

nb::object plot_strategy_performance(mf::Call &call) {
    draw_under_plot_lock(call, "_plot_strategy_performance_unlocked", /*with_stats=*/true);
    nb::dict paths;
    paths["main"] = nb::str(call.arg("save_path"));
    return paths;
}

}  // namespace

const mf::FunctionDef plot_strategy_performance_def{
    .name = "plot_strategy_performance",
    .impl = plot_strategy_performance,
    .params = chart_params(true, "./strategy_backtest.png", true),
    .returns = "dict[str, str]",
    .doc =
        "单策略业绩图:卡片 / 累计收益+回撤 / 超额+回撤 / 年度 / 滚动稳定性 / 回撤 / 汇总表 / 年度指标表。\n"
        "\n"
        "配色统一: 策略为蓝色, 基准为近黑色(折线为虚线), 超额为红色。整个绘图与保存过程\n"
        "持有 _MATPLOTLIB_PLOT_LOCK, 多个线程同时出图时依次进行。策略数据为空时不绘图、\n"
        "不写文件, 但仍返回路径。\n"
        "\n"
        "Args:\n"
        "    daily_return: 策略日收益(比例), 按日期索引。\n"
        "    cumulative_return: 策略累计净值(算术, 从 1 附近开始)。\n"
        "    benchmark_daily_return: 基准日收益(比例); 日期与策略日期按同样方式转换后对齐,\n"
        "        缺失的日期按 0 计。\n"
        "    stats: calc_strategy_stats 返回的统计字典(收益、回撤、胜率、换手为百分点);\n"
        "        缺少的键显示为 \"--\"。\n"
        "    strategy_name: 策略显示名称。\n"
        "    plot_title: 页面标题; None 或空字符串时使用 strategy_name。\n"
        "    save_path: 图片保存路径, 格式由扩展名决定。\n"
        "    image_kind: \"long\" 为竖版长图(15.5 x 34 英寸, 145 dpi); 其他取值(默认\n"
        "        \"large\")为横版(20 x 13.2 英寸, 175 dpi, 紧凑裁边)。\n"
        "    benchmark_name: 基准名称, 用于标题、图例与汇总表。\n"
        "\n"
        "Returns:\n"
        "    dict[str, str]: {\"main\": str(save_path)}。\n",
};

const mf::FunctionDef plot_strategy_performance_unlocked_def{
    .name = "_plot_strategy_performance_unlocked",
    .impl = plot_strategy_performance_unlocked,
    .params = chart_params(true, "./strategy_backtest.png", false),
    .returns = "None",
    .doc = "单策略业绩图的无锁实现, 调用方必须已持有 _MATPLOTLIB_PLOT_LOCK。\n"
           "\n"
           "依次绘制: 九张指标卡片、累计收益(右轴为回撤)、超额收益与超额回撤、年度收益柱状图、\n"
           "滚动超额夏普与胜率、回撤、汇总表和年度指标表, 然后保存并关闭图形。\n"
           "matplotlib 在调用时导入并使用 \"Agg\" 后端; 样式与字体设置对整个进程生效。\n"
           "\n"
           "Args:\n"
           "    daily_return: 策略日收益(比例)。\n"
           "    cumulative_return: 策略累计净值(算术)。\n"
           "    benchmark_daily_return: 基准日收益(比例)。\n"
           "    stats: 统计字典。\n"
           "    strategy_name: 策略显示名称。\n"
           "    plot_title: 页面标题; None 或空字符串时使用 strategy_name。\n"
           "    save_path: 图片保存路径。\n"
           "    image_kind: \"long\" 为竖版长图, 其他取值为横版。\n"
           "    benchmark_name: 基准名称。\n"
           "\n"
           "Returns:\n"
           "    None\n",
};

}  // namespace tolvane::strategy_kernel
