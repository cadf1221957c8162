// Report charts: the weekly net value frame, the yearly metrics table, the
// one-page performance chart and the weekly net value chart.
//
// Everything is drawn through matplotlib, imported when a chart is drawn (the
// module itself loads without it). Both charts hold _MATPLOTLIB_PLOT_LOCK for
// their whole drawing because pyplot and rcParams are process-wide.
#include "strategy_kernel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace strategy_kernel {

namespace mf = module_frame;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------------------
// Colours shared by both charts: strategy blue, benchmark near-black, excess red.

constexpr const char *strategy_blue = "#2563eb";
constexpr const char *strategy_drawdown_fill = "#bfdbfe";
constexpr const char *benchmark_black = "#111827";
constexpr const char *excess_red = "#ef4444";
constexpr const char *reference_line_grey = "#94a3b8";
constexpr const char *heading_ink = "#0f172a";

using mf::truthy;

// ---------------------------------------------------------------------------
// Python statements spelled out in C++

// A Python list of C++ values (numbers or texts).
template <typename Values>
nb::list python_list(const Values &values) {
    nb::list list;
    for (const auto &value : values)
        list.append(value);
    return list;
}

nb::list python_list(std::initializer_list<const char *> texts) {
    return python_list<std::initializer_list<const char *>>(texts);
}

bool is_empty(nb::handle data) { return truthy(data.attr("empty")); }

nb::object slice_all() { return nb::slice(nb::none(), nb::none(), nb::none()); }

// The running sum made to start at 0 (0.0 for an empty series).
nb::object from_first_value(nb::handle running_sum) {
    nb::object first = nb::len(running_sum) > 0 ? nb::object(running_sum.attr("iloc")[0])
                                                : nb::object(nb::float_(0.0));
    return running_sum - first;
}

// ---------------------------------------------------------------------------
// matplotlib set-up

struct Matplotlib {
    nb::object pyplot;
    nb::object max_n_locator;      // matplotlib.ticker.MaxNLocator
    nb::object percent_formatter;  // matplotlib.ticker.PercentFormatter
};

// import matplotlib; matplotlib.use("Agg"); import matplotlib.pyplot as plt;
// from matplotlib.ticker import MaxNLocator, PercentFormatter
Matplotlib import_matplotlib() {
    nb::module_::import_("matplotlib").attr("use")("Agg");
    nb::object pyplot = nb::module_::import_("matplotlib.pyplot");
    nb::object ticker = nb::module_::import_("matplotlib.ticker");
    return {pyplot, ticker.attr("MaxNLocator"), ticker.attr("PercentFormatter")};
}

// The process-wide style of the report pages. The font lists put the CJK
// fonts first so that Chinese strategy names render.
void apply_report_style(const mf::Call &call, const Matplotlib &mpl,
                        std::initializer_list<const char *> sans_serif_fonts, bool bold_titles) {
    // A matplotlib without this style still draws the charts, in its defaults.
    nb::object suppress_errors =
        call.global("contextlib").attr("suppress")(call.global("Exception"));
    mf::with_context(suppress_errors, [&](nb::handle) {
        mpl.pyplot.attr("style").attr("use")("seaborn-v0_8-whitegrid");
    });

    nb::object rc_params = mpl.pyplot.attr("rcParams");
    rc_params["font.sans-serif"] = python_list(sans_serif_fonts);
    rc_params["axes.unicode_minus"] = false;
    if (bold_titles)
        rc_params["axes.titleweight"] = "bold";
    rc_params["figure.facecolor"] = "white";
    rc_params["axes.facecolor"] = "#fbfbfd";
}

// ---------------------------------------------------------------------------
// Page layouts

// Cells [first_column, end_column) of one grid row.
struct Span {
    int row, first_column, end_column;
};

struct PageShape {
    double width, height;  // inches
    bool constrained;      // constrained layout
    int rows, columns;
    std::vector<double> height_ratios;
    std::vector<double> width_ratios;    // empty: equal widths
    double hspace = NAN, wspace = NAN;   // NaN: matplotlib's spacing
    double title_y;
    // Saving: a portrait page gets fixed margins and keeps its size; a
    // landscape page is cropped to a tight bounding box.
    bool tight;
    double dpi;
    std::array<double, 4> margins{};  // left, right, top, bottom (portrait only)
};

struct Page {
    nb::object figure, grid;
};

Page new_page(const Matplotlib &mpl, const PageShape &shape) {
    nb::object figure =
        mpl.pyplot.attr("figure")("figsize"_a = nb::make_tuple(shape.width, shape.height),
                                  "constrained_layout"_a = shape.constrained);
    nb::dict grid_options;
    grid_options["height_ratios"] = python_list(shape.height_ratios);
    if (!shape.width_ratios.empty())
        grid_options["width_ratios"] = python_list(shape.width_ratios);
    if (!std::isnan(shape.hspace))
        grid_options["hspace"] = shape.hspace;
    if (!std::isnan(shape.wspace))
        grid_options["wspace"] = shape.wspace;
    nb::object grid = figure.attr("add_gridspec")(shape.rows, shape.columns, **grid_options);
    return {figure, grid};
}

nb::object add_axes(const Page &page, Span span, nb::handle sharex = nb::none()) {
    nb::slice columns(span.first_column, span.end_column);
    nb::object cell = page.grid[nb::make_tuple(span.row, columns)];
    return page.figure.attr("add_subplot")(cell, "sharex"_a = sharex);
}

void page_title(const Page &page, const PageShape &shape, const std::string &text,
                double font_size) {
    page.figure.attr("suptitle")(text, "fontsize"_a = font_size, "fontweight"_a = "bold",
                                 "color"_a = benchmark_black, "y"_a = shape.title_y);
}

// "<title or strategy name> | Benchmark <code> | <chart name>"
std::string page_title_text(const mf::Call &call, const char *chart_name) {
    nb::handle plot_title = call.arg("plot_title");
    nb::handle title = truthy(plot_title) ? plot_title : call.arg("strategy_name");
    return nb::cast<std::string>(title) + " | Benchmark " +
           nb::cast<std::string>(call.arg("benchmark_name")) + " | " + chart_name;
}

void save_page(const Page &page, const PageShape &shape, nb::handle save_path) {
    nb::object face_colour = page.figure.attr("get_facecolor")();
    if (shape.tight) {
        page.figure.attr("savefig")(save_path, "dpi"_a = shape.dpi, "bbox_inches"_a = "tight",
                                    "facecolor"_a = face_colour);
        return;
    }
    page.figure.attr("subplots_adjust")("left"_a = shape.margins[0], "right"_a = shape.margins[1],
                                        "top"_a = shape.margins[2], "bottom"_a = shape.margins[3]);
    page.figure.attr("savefig")(save_path, "dpi"_a = shape.dpi, "facecolor"_a = face_colour);
}

// Draws on the page's figure and closes it afterwards, also after a failure,
// so that a failed chart leaves no open figure behind in pyplot.
template <typename Draw>
void draw_and_close(const Matplotlib &mpl, const Page &page, Draw &&draw) {
    try {
        draw();
    } catch (...) {
        mpl.pyplot.attr("close")(page.figure);
        throw;
    }
    mpl.pyplot.attr("close")(page.figure);
}

// ---------------------------------------------------------------------------
// Panel drawing

template <typename... Style>
void plot_line(nb::handle ax, nb::handle series, Style &&...style) {
    ax.attr("plot")(series.attr("index"), series, std::forward<Style>(style)...);
}

// The area between the series and 0.
template <typename... Style>
void fill_to_zero(nb::handle ax, nb::handle series, Style &&...style) {
    ax.attr("fill_between")(series.attr("index"), series, 0, std::forward<Style>(style)...);
}

void reference_line(nb::handle ax, double level, double width) {
    ax.attr("axhline")(level, "color"_a = reference_line_grey, "linewidth"_a = width);
}

void zero_line(nb::handle ax) { reference_line(ax, 0.0, 0.8); }

// Tick labels in percent of 1.0.
void percent_ticks(const Matplotlib &mpl, nb::handle ax) {
    ax.attr("yaxis").attr("set_major_formatter")(mpl.percent_formatter(1.0));
}

void centred_note(nb::handle ax, const char *text) {
    ax.attr("text")(0.5, 0.5, text, "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
}

template <typename... Options>
void framed_legend(nb::handle ax, const char *loc, Options &&...options) {
    ax.attr("legend")("loc"_a = loc, "frameon"_a = true, "framealpha"_a = 0.92,
                      std::forward<Options>(options)...);
}

// One legend on `ax` with its own entries followed by those of its twin.
void merged_legend(nb::handle ax, nb::handle twin, const char *loc) {
    nb::tuple own = nb::borrow<nb::tuple>(ax.attr("get_legend_handles_labels")());
    nb::tuple twins = nb::borrow<nb::tuple>(twin.attr("get_legend_handles_labels")());
    ax.attr("legend")(own[0] + twins[0], own[1] + twins[1], "loc"_a = loc, "frameon"_a = true,
                      "framealpha"_a = 0.92);
}

void style_plot_panel(nb::handle ax) {
    ax.attr("grid")(true, "color"_a = "#e5e7eb", "linewidth"_a = 0.75, "alpha"_a = 0.84);
    ax.attr("spines")["top"].attr("set_visible")(false);
    ax.attr("spines")["right"].attr("set_visible")(false);
}

// Header row bold on a light indigo fill, body rows alternating white and
// slate; `body_text_colour(column)` may colour a body column (nullptr: default).
using ColumnColour = const char *(*)(long column);

void style_report_table(nb::handle table, ColumnColour body_text_colour) {
    for (nb::handle item : table.attr("get_celld")().attr("items")()) {
        nb::tuple position = nb::borrow<nb::tuple>(item[0]);
        nb::handle cell = item[1];
        long row = nb::cast<long>(position[0]);
        long column = nb::cast<long>(position[1]);
        cell.attr("set_edgecolor")("#e2e8f0");
        if (row == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = heading_ink);
            cell.attr("set_facecolor")("#eef2ff");
            continue;
        }
        cell.attr("set_facecolor")(row % 2 ? "white" : "#f8fafc");
        if (const char *colour = body_text_colour ? body_text_colour(column) : nullptr)
            cell.attr("set_text_props")("color"_a = colour);
    }
}

// ---------------------------------------------------------------------------
// _draw_yearly_metrics_table

// Strategy columns 1-4 in blue, excess columns 5-8 in red.
const char *yearly_column_colour(long column) {
    if (1 <= column && column <= 4)
        return "#1d4ed8";
    if (5 <= column && column <= 8)
        return "#b91c1c";
    return nullptr;
}

nb::object draw_yearly_metrics_table(mf::Call &call) {
    nb::handle ax = call.arg("ax");
    nb::handle yearly_metrics = call.arg("yearly_metrics");
    bool compact = truthy(call.arg("compact"));

    ax.attr("axis")("off");
    if (nb::len(yearly_metrics) == 0) {
        centred_note(ax, "No yearly metric data");
        return nb::none();
    }

    nb::object format_pct = call.global("_format_pct");
    nb::object format_num = call.global("_format_num");
    nb::list yearly_rows;
    for (nb::handle year_and_row : yearly_metrics.attr("iterrows")()) {
        nb::handle year = year_and_row[0];
        nb::object row = year_and_row[1];
        nb::list cells;
        cells.append(nb::str(nb::int_(year)));
        cells.append(format_pct(row["strategy_return"]));
        cells.append(format_num(row["strategy_sharpe"]));
        cells.append(format_pct(row["strategy_max_dd"]));
        cells.append(format_num(row["strategy_calmar"]));
        cells.append(format_pct(row["excess_return"]));
        cells.append(format_num(row["excess_sharpe"]));
        cells.append(format_pct(row["excess_max_dd"]));
        cells.append(format_num(row["excess_calmar"]));
        yearly_rows.append(cells);
    }

    std::vector<double> column_widths(9, 0.115);
    column_widths[0] = 0.08;  // "Year"
    nb::object yearly_table = ax.attr("table")(
        "cellText"_a = yearly_rows,
        "colLabels"_a = python_list({"Year", "Strategy Return", "Strategy Sharpe",
                                     "Strategy Max DD", "Strategy Calmar", "Excess Return",
                                     "Excess Sharpe", "Excess Max DD", "Excess Calmar"}),
        "loc"_a = "center", "cellLoc"_a = "center", "colLoc"_a = "center",
        "colWidths"_a = python_list(column_widths));
    yearly_table.attr("auto_set_font_size")(false);
    yearly_table.attr("set_fontsize")(compact ? 7.4 : 8.4);
    yearly_table.attr("scale")(1.0, compact ? 1.08 : 1.24);
    style_report_table(yearly_table, yearly_column_colour);

    ax.attr("set_title")("Yearly Strategy & Excess Metrics", "fontsize"_a = compact ? 10.4 : 11.5,
                         "color"_a = heading_ink, "pad"_a = compact ? 6 : 8);
    return nb::none();
}

}  // namespace

const mf::FunctionDef draw_yearly_metrics_table_def{
    .name = "_draw_yearly_metrics_table",
    .impl = draw_yearly_metrics_table,
    .params =
        {
            {.name = "ax"},
            {.name = "yearly_metrics", .annotation = "pd.DataFrame"},
            {.name = "compact", .annotation = "bool", .keyword_only = true,
             .default_value = mf::bool_default(false)},
        },
    .returns = "None",
    .doc = "在坐标轴上绘制九列的年度策略 / 超额指标表。\n"
           "\n"
           "坐标轴先关闭轴线; 第一列为年份, 随后四列为策略指标(蓝色), 再四列为超额指标\n"
           "(红色)。收益与回撤按百分比显示, 夏普与卡玛保留两位小数, 缺失值显示为 \"--\"。\n"
           "没有年度数据时只在坐标轴中央写 \"No yearly metric data\"。\n"
           "\n"
           "Args:\n"
           "    ax: matplotlib 坐标轴。\n"
           "    yearly_metrics: _calc_yearly_performance_metrics 返回的年度指标表,\n"
           "        索引为年份。\n"
           "    compact: 为真时使用横版页面的小字号(仅限关键字传入)。\n"
           "\n"
           "Returns:\n"
           "    None\n",
};

namespace {

// ---------------------------------------------------------------------------
// _build_weekly_net_value_frame

nb::object build_weekly_net_value_frame(mf::Call &call) {
    nb::object pd = call.global("pd");

    nb::dict daily_columns;
    daily_columns["daily_return"] = call.arg("daily_return");
    daily_columns["index_day_return"] = call.arg("benchmark_daily_return");
    nb::object daily = infinities_as_missing(call, pd.attr("DataFrame")(daily_columns));
    daily.attr("loc")[nb::make_tuple(slice_all(), "extra_daily_return")] =
        daily["daily_return"] - daily["index_day_return"];
    nb::object extra_cum = daily["extra_daily_return"].attr("cumsum")();

    nb::dict plot_columns;
    plot_columns["long"] = call.arg("cumulative_return");
    // The benchmark compounds like a price; the strategy's net value arrives
    // already built arithmetically on a fixed capital.
    plot_columns["close_net_value"] =
        (nb::int_(1) + daily["index_day_return"].attr("fillna")(0.0)).attr("cumprod")();
    plot_columns["extra_return"] = from_first_value(extra_cum);
    nb::object plot_df = call.global("_with_datetime_index")(pd.attr("DataFrame")(plot_columns));
    if (is_empty(plot_df))
        return pd.attr("DataFrame")();

    // The last valid point of each week ending on Friday.
    nb::object weekly = plot_df[python_list({"long", "close_net_value", "extra_return"})]
                            .attr("resample")("W-FRI")
                            .attr("last")()
                            .attr("dropna")("how"_a = "all");
    if (is_empty(weekly))
        return weekly;
    weekly.attr("loc")[nb::make_tuple(slice_all(), "extra_net_value")] =
        weekly["extra_return"] + nb::int_(1);
    return weekly.attr("dropna")(
        "subset"_a = python_list({"long", "close_net_value", "extra_net_value"}), "how"_a = "all");
}

}  // namespace

const mf::FunctionDef build_weekly_net_value_frame_def{
    .name = "_build_weekly_net_value_frame",
    .impl = build_weekly_net_value_frame,
    .params =
        {
            {.name = "daily_return"},
            {.name = "cumulative_return"},
            {.name = "benchmark_daily_return"},
        },
    .returns = "pd.DataFrame",
    .doc = "构造周度(按周五取样)策略 / 基准 / 超额净值。\n"
           "\n"
           "基准净值按几何方式复利, 即 (1+基准日收益).cumprod(), 与价格的复利一致;\n"
           "策略累计净值由调用方按算术方式(日收益累加再加一)构造好, 这里原样取用。\n"
           "超额净值为策略与基准日收益之差的累加, 减去首个值后加一, 从 1 开始。\n"
           "每周取该周最后一个有效交易点(周五为假日时取当周最后一个交易日)。\n"
           "\n"
           "Args:\n"
           "    daily_return: 策略日收益(比例), 按日期索引。\n"
           "    cumulative_return: 策略累计净值(算术)。\n"
           "    benchmark_daily_return: 基准日收益(比例)。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 以每周五为索引, 列为 long(策略净值)、close_net_value(基准净值)、\n"
           "    extra_return(累计超额收益)、extra_net_value(超额净值); 没有数据时为空表。\n",
};

namespace {

// ---------------------------------------------------------------------------
// Performance chart

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
    Span cards, cum, excess, year, rolling, drawdown, table, yearly_table;
    double title_pad;  // panel titles; NaN: matplotlib's default
    std::array<double, 2> statistics_column_widths;
    bool compact_yearly_table;

    nb::object panel_title_pad() const {
        return std::isnan(title_pad) ? nb::none() : nb::object(nb::float_(title_pad));
    }
};

const PerformanceLayout long_performance_layout{
    .page = {.width = 15.5, .height = 34.0, .constrained = false, .rows = 7, .columns = 2,
             .height_ratios = {0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0}, .width_ratios = {},
             .hspace = 0.42, .wspace = 0.22, .title_y = 0.986, .tight = false, .dpi = 145,
             .margins = {0.06, 0.94, 0.965, 0.035}},
    .cards = {0, 0, 2},
    .cum = {1, 0, 2},
    .excess = {2, 0, 2},
    .year = {3, 0, 1},
    .rolling = {3, 1, 2},
    .drawdown = {4, 0, 2},
    .table = {5, 0, 2},
    .yearly_table = {6, 0, 2},
    .title_pad = 12,
    .statistics_column_widths = {0.26, 0.74},
    .compact_yearly_table = false,
};

const PerformanceLayout large_performance_layout{
    .page = {.width = 20.0, .height = 13.2, .constrained = true, .rows = 4, .columns = 3,
             .height_ratios = {0.62, 2.55, 2.15, 1.6}, .width_ratios = {1.05, 1.05, 1.0},
             .title_y = 0.997, .tight = true, .dpi = 175},
    .cards = {0, 0, 3},
    .cum = {1, 0, 2},
    .excess = {1, 2, 3},
    .year = {2, 0, 1},
    .rolling = {2, 1, 2},
    .drawdown = {2, 2, 3},
    .table = {3, 0, 1},
    .yearly_table = {3, 1, 3},
    .title_pad = NAN,
    .statistics_column_widths = {0.42, 0.58},
    .compact_yearly_table = true,
};

struct PerformanceAxes {
    nb::object cards, cum, excess, year, rolling, drawdown, table, yearly_table;
};

PerformanceAxes add_performance_axes(const Page &page, const PerformanceLayout &layout) {
    PerformanceAxes axes;
    axes.cards = add_axes(page, layout.cards);
    axes.cum = add_axes(page, layout.cum);
    axes.excess = add_axes(page, layout.excess);
    axes.year = add_axes(page, layout.year);
    axes.rolling = add_axes(page, layout.rolling);
    axes.drawdown = add_axes(page, layout.drawdown);
    axes.table = add_axes(page, layout.table);
    axes.yearly_table = add_axes(page, layout.yearly_table);
    return axes;
}

// The series the performance chart draws, all on the dates of daily_clean.
struct PerformanceSeries {
    nb::object daily_clean, cumulative_clean, benchmark_clean, excess_daily, excess_cum_norm;
    nb::object strategy_dd, benchmark_nav, benchmark_dd, excess_dd;
    nb::object yearly, yearly_metrics;
};

// daily_clean, cumulative_clean, benchmark_clean and what follows from them;
// false when there is no strategy data to draw.
bool prepare_performance_series(const mf::Call &call, PerformanceSeries &data) {
    nb::object pd = call.global("pd");
    nb::object with_datetime_index = call.global("_with_datetime_index");

    data.daily_clean = with_datetime_index(
        infinities_as_missing(call, call.arg("daily_return")).attr("dropna")());
    nb::object cumulative_clean = with_datetime_index(
        infinities_as_missing(call, call.arg("cumulative_return")).attr("dropna")());
    if (is_empty(data.daily_clean) || is_empty(cumulative_clean))
        return false;

    nb::object dates = data.daily_clean.attr("index");
    data.cumulative_clean = cumulative_clean.attr("reindex")(dates).attr("ffill")().attr("bfill")();
    // The benchmark gets the same date conversion as the strategy, so that its
    // dates match whatever their form (text, integer or timestamp dates).
    data.benchmark_clean = with_datetime_index(call.arg("benchmark_daily_return"))
                               .attr("reindex")(dates)
                               .attr("fillna")(0.0);
    data.excess_daily = data.daily_clean.attr("sub")(data.benchmark_clean, "fill_value"_a = 0.0);
    data.excess_cum_norm = from_first_value(data.excess_daily.attr("cumsum")());
    data.strategy_dd = data.cumulative_clean - data.cumulative_clean.attr("cummax")();
    data.benchmark_nav = (nb::int_(1) + data.benchmark_clean).attr("cumprod")();
    data.benchmark_dd = data.benchmark_nav - data.benchmark_nav.attr("cummax")();
    nb::object excess_nav = data.excess_cum_norm + nb::int_(1);
    data.excess_dd = excess_nav - excess_nav.attr("cummax")();

    nb::dict yearly_columns;
    yearly_columns["daily"] = data.daily_clean;
    yearly_columns["index"] = data.benchmark_clean;
    yearly_columns["excess"] = data.excess_daily;
    nb::object yearly_frame = pd.attr("DataFrame")(yearly_columns);
    data.yearly = yearly_frame.attr("groupby")(yearly_frame.attr("index").attr("year"))
                      .attr("agg")("strategy"_a = nb::make_tuple("daily", "sum"),
                                   "benchmark"_a = nb::make_tuple("index", "sum"),
                                   "excess"_a = nb::make_tuple("excess", "sum"));

    nb::dict metrics_columns;
    metrics_columns["daily_return"] = data.daily_clean;
    metrics_columns["index_day_return"] = data.benchmark_clean;
    metrics_columns["extra_daily_return"] = data.excess_daily;
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
        ax.attr("text")(x, 0.6, cards[card].second, "ha"_a = "center", "va"_a = "center",
                        "fontsize"_a = 13, "fontweight"_a = "bold", "color"_a = heading_ink,
                        "bbox"_a = value_box, "transform"_a = in_axes);
        ax.attr("text")(x, 0.2, cards[card].first, "ha"_a = "center", "va"_a = "center",
                        "fontsize"_a = 8.5, "color"_a = "#64748b", "transform"_a = in_axes);
    }
}

void draw_cumulative_panel(const mf::Call &call, const Matplotlib &mpl, nb::handle ax,
                           const PerformanceSeries &data, nb::handle title_pad) {
    nb::handle benchmark_name = call.arg("benchmark_name");
    nb::object strategy_cum = data.cumulative_clean - nb::int_(1);
    nb::object benchmark_cum = data.benchmark_nav - nb::int_(1);

    ax.attr("set_title")("Cumulative Return", "pad"_a = title_pad);
    plot_line(ax, strategy_cum, "color"_a = strategy_blue, "linewidth"_a = 2.4,
              "label"_a = "Strategy");
    plot_line(ax, benchmark_cum, "color"_a = benchmark_black, "linewidth"_a = 1.7,
              "linestyle"_a = "--", "label"_a = benchmark_name);

    // The drawdown areas sit behind the return lines: the twin axes go below
    // and the main axes' background is hidden so that they show through.
    nb::object ax_cum_dd = ax.attr("twinx")();
    ax_cum_dd.attr("set_zorder")(ax.attr("get_zorder")() - nb::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    ax_cum_dd.attr("set_ylabel")("Drawdown");
    percent_ticks(mpl, ax_cum_dd);
    ax_cum_dd.attr("grid")(false);
    ax_cum_dd.attr("spines")["top"].attr("set_visible")(false);
    fill_to_zero(ax_cum_dd, data.strategy_dd, "color"_a = strategy_drawdown_fill, "alpha"_a = 0.28,
                 "zorder"_a = 0, "label"_a = "Strategy Drawdown");
    fill_to_zero(ax_cum_dd, data.benchmark_dd, "color"_a = "#d1d5db", "alpha"_a = 0.24,
                 "zorder"_a = 0, "label"_a = nb::str(benchmark_name) + nb::str(" Drawdown"));
    zero_line(ax);

    ax.attr("set_ylabel")("Return");
    percent_ticks(mpl, ax);
    merged_legend(ax, ax_cum_dd, "upper left");
}

void draw_excess_panel(const Matplotlib &mpl, nb::handle ax, const PerformanceSeries &data,
                       nb::handle title_pad) {
    ax.attr("set_title")("Excess Return & Drawdown", "pad"_a = title_pad);
    plot_line(ax, data.excess_cum_norm, "color"_a = excess_red, "linewidth"_a = 2.2,
              "label"_a = "Excess Return");
    nb::object ax_excess_2 = ax.attr("twinx")();
    ax_excess_2.attr("set_ylabel")("Drawdown");
    percent_ticks(mpl, ax_excess_2);
    fill_to_zero(ax_excess_2, data.excess_dd, "color"_a = "#fecaca", "alpha"_a = 0.34,
                 "label"_a = "Excess Drawdown");
    zero_line(ax);

    ax.attr("set_ylabel")("Excess Return");
    percent_ticks(mpl, ax);
    merged_legend(ax, ax_excess_2, "upper left");
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
    nb::handle yearly = data.yearly;
    ax.attr("set_title")("Yearly Return", "pad"_a = title_pad);
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
        for (nb::handle value : yearly["excess"].attr("tolist")()) {
            double bar_x = position + bar_width;
            position += 1.0;
            if (truthy(is_missing(value)))
                continue;
            double excess = nb::cast<double>(value);
            bool above = excess >= 0;
            ax.attr("text")(bar_x, above ? excess + offset : excess - offset, format_pct(value),
                            "ha"_a = "center", "va"_a = above ? "bottom" : "top",
                            "fontsize"_a = 8.2, "color"_a = "#991b1b", "rotation"_a = 90);
        }
        framed_legend(ax, "best");
        ax.attr("margins")("y"_a = 0.22);
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
    long observations = static_cast<long>(nb::len(data.excess_daily));
    long full_window = nb::cast<long>(call.global("ROLLING_STABILITY_DAYS"));
    long minimum_window = nb::cast<long>(call.global("MIN_ROLLING_STABILITY_DAYS"));
    long roll_days =
        observations >= full_window ? full_window : std::max(minimum_window, observations / 3);
    if (observations < roll_days || roll_days <= 1) {
        centred_note(ax, "Not enough data");
        return;
    }

    nb::object window = data.excess_daily.attr("rolling")(roll_days);
    nb::object annualisation =
        call.global("np").attr("sqrt")(call.global("TRADING_DAYS_PER_YEAR"));
    nb::object rolling_sharpe = window.attr("mean")() / window.attr("std")() * annualisation;
    nb::object rolling_win =
        window.attr("apply")(call.make_function(rolling_win_rate_def), "raw"_a = true);

    std::string days = std::to_string(roll_days);
    plot_line(ax, rolling_sharpe, "color"_a = "#7c3aed", "linewidth"_a = 2.0,
              "label"_a = days + "D Excess Sharpe");
    zero_line(ax);
    nb::object ax_rolling_2 = ax.attr("twinx")();
    percent_ticks(mpl, ax_rolling_2);
    plot_line(ax_rolling_2, rolling_win, "color"_a = "#16a34a", "linewidth"_a = 1.6,
              "alpha"_a = 0.8, "label"_a = days + "D Win Rate");
    merged_legend(ax, ax_rolling_2, "best");
}

void draw_drawdown_panel(const Matplotlib &mpl, nb::handle ax, const PerformanceSeries &data,
                         nb::handle title_pad) {
    ax.attr("set_title")("Drawdown", "pad"_a = title_pad);
    fill_to_zero(ax, data.strategy_dd, "color"_a = strategy_drawdown_fill, "alpha"_a = 0.62,
                 "label"_a = "Strategy Drawdown");
    plot_line(ax, data.excess_dd, "color"_a = excess_red, "linewidth"_a = 1.7,
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
    nb::object dates = data.daily_clean.attr("index");
    nb::object date_range = dates.attr("min")().attr("strftime")("%Y-%m-%d") + nb::str(" ~ ") +
                            dates.attr("max")().attr("strftime")("%Y-%m-%d");
    nb::object yearly_excess =
        nb::len(data.yearly) > 0
            ? nb::object(data.yearly["excess"])
            : call.global("pd").attr("Series")("dtype"_a = call.global("float"));

    nb::list summary_rows;
    summary_rows.append(summary_row("Date Range", date_range));
    summary_rows.append(summary_row("Trading Days", nb::str(nb::int_(nb::len(data.daily_clean)))));
    summary_rows.append(summary_row("Benchmark", call.arg("benchmark_name")));
    for (const StatFormat &stat : summary_stats)
        summary_rows.append(summary_row(stat.label, formatted_stat(call, stat)));
    summary_rows.append(
        summary_row("Annual Excess", call.global("_format_annual_excess")(yearly_excess)));

    ax.attr("axis")("off");
    ax.attr("set_title")("Statistics", "pad"_a = title_pad);
    nb::object table = ax.attr("table")(
        "cellText"_a = summary_rows, "colLabels"_a = python_list({"Metric", "Value"}),
        "loc"_a = "center", "cellLoc"_a = "left", "colLoc"_a = "left",
        "colWidths"_a = python_list(layout.statistics_column_widths));
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(9.4);
    table.attr("scale")(1.0, 1.28);
    style_report_table(table, nullptr);
}

nb::object plot_strategy_performance_unlocked(mf::Call &call) {
    Matplotlib mpl = import_matplotlib();
    apply_report_style(call, mpl,
                       {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "SimHei",
                        "Arial Unicode MS", "DejaVu Sans", "Liberation Sans", "Ubuntu"},
                       /*bold_titles=*/true);

    PerformanceSeries data;
    if (!prepare_performance_series(call, data))
        return nb::none();

    std::vector<std::pair<const char *, nb::object>> cards;
    for (const StatFormat &card : kpi_cards)
        cards.emplace_back(card.label, formatted_stat(call, card));

    bool is_long = nb::cast<std::string>(call.arg("image_kind")) == "long";
    const PerformanceLayout &layout = is_long ? long_performance_layout : large_performance_layout;
    Page page = new_page(mpl, layout.page);
    draw_and_close(mpl, page, [&] {
        PerformanceAxes axes = add_performance_axes(page, layout);
        page_title(page, layout.page, page_title_text(call, "Strategy Performance"), 17);
        nb::object pad = layout.panel_title_pad();

        draw_kpi_cards(axes.cards, cards);
        draw_cumulative_panel(call, mpl, axes.cum, data, pad);
        draw_excess_panel(mpl, axes.excess, data, pad);
        draw_yearly_return_panel(call, mpl, axes.year, data, pad);
        draw_rolling_panel(call, mpl, axes.rolling, data, pad);
        draw_drawdown_panel(mpl, axes.drawdown, data, pad);
        draw_statistics_table(call, axes.table, data, layout, pad);
        call.global("_draw_yearly_metrics_table")(axes.yearly_table, data.yearly_metrics,
                                                  "compact"_a = layout.compact_yearly_table);

        for (nb::handle panel : {axes.cum, axes.excess, axes.year, axes.rolling, axes.drawdown})
            style_plot_panel(panel);
        save_page(page, layout.page, call.arg("save_path"));
    });
    return nb::none();
}

// Runs the lock-free twin of a chart under _MATPLOTLIB_PLOT_LOCK, passing
// every argument of this call by keyword.
void draw_under_plot_lock(const mf::Call &call, const char *unlocked_name,
                          std::initializer_list<const char *> parameters) {
    nb::dict arguments;
    for (const char *parameter : parameters)
        arguments[parameter] = call.arg(parameter);
    mf::with_context(call.global("_MATPLOTLIB_PLOT_LOCK"),
                     [&](nb::handle) { call.global(unlocked_name)(**arguments); });
}

nb::object plot_strategy_performance(mf::Call &call) {
    draw_under_plot_lock(call, "_plot_strategy_performance_unlocked",
                         {"daily_return", "cumulative_return", "benchmark_daily_return", "stats",
                          "strategy_name", "plot_title", "save_path", "image_kind",
                          "benchmark_name"});
    nb::dict paths;
    paths["main"] = nb::str(call.arg("save_path"));
    return paths;
}

// The chart parameters after the data series; `save_path` defaults to the
// chart's own file name. In the lock-free twins only benchmark_name keeps its
// default.
std::vector<mf::Param> chart_options(const char *default_save_path, bool with_defaults) {
    auto or_required = [&](mf::DefaultValue value) { return with_defaults ? value : mf::required; };
    return {
        {.name = "strategy_name", .annotation = "str", .convert = mf::Convert::Str,
         .default_value = or_required(mf::str_default("strategy"))},
        {.name = "plot_title", .annotation = "str | None", .convert = mf::Convert::Str,
         .or_none = true, .default_value = or_required(mf::none_default)},
        {.name = "save_path", .annotation = "str | Path",
         .default_value = or_required(mf::str_default(default_save_path))},
        {.name = "image_kind", .annotation = "str", .convert = mf::Convert::Str,
         .default_value = or_required(mf::str_default("large"))},
        {.name = "benchmark_name", .annotation = "str", .convert = mf::Convert::Str,
         .default_value = mf::str_default("000852")},
    };
}

std::vector<mf::Param> chart_params(bool with_stats, const char *default_save_path,
                                    bool with_defaults) {
    std::vector<mf::Param> params{
        {.name = "daily_return"},
        {.name = "cumulative_return"},
        {.name = "benchmark_daily_return"},
    };
    if (with_stats)
        params.push_back({.name = "stats", .annotation = "dict", .convert = mf::Convert::Dict});
    for (mf::Param &option : chart_options(default_save_path, with_defaults))
        params.push_back(option);
    return params;
}

}  // namespace

const mf::FunctionDef plot_strategy_performance_def{
    .name = "plot_strategy_performance",
    .impl = plot_strategy_performance,
    .params = chart_params(true, "./strategy_backtest.png", true),
    .returns = "dict[str, str]",
    .doc = "单策略业绩图:卡片 / 累计收益+回撤 / 超额+回撤 / 年度 / 滚动稳定性 / 回撤 / 汇总表 / 年度指标表。\n"
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

namespace {

// ---------------------------------------------------------------------------
// Weekly net value chart

struct WeeklyLayout {
    PageShape page;
    Span nav, drawdown, yearly_table;
    bool compact_yearly_table;
};

const WeeklyLayout long_weekly_layout{
    .page = {.width = 15.5, .height = 12.4, .constrained = false, .rows = 3, .columns = 1,
             .height_ratios = {3.1, 1.45, 1.9}, .width_ratios = {}, .hspace = 0.34,
             .title_y = 0.985, .tight = false, .dpi = 145, .margins = {0.065, 0.965, 0.94, 0.055}},
    .nav = {0, 0, 1},
    .drawdown = {1, 0, 1},
    .yearly_table = {2, 0, 1},
    .compact_yearly_table = false,
};

const WeeklyLayout large_weekly_layout{
    .page = {.width = 19.0, .height = 9.2, .constrained = true, .rows = 2, .columns = 2,
             .height_ratios = {3.05, 1.75}, .width_ratios = {2.25, 1.05}, .title_y = 0.995,
             .tight = true, .dpi = 175},
    .nav = {0, 0, 2},
    .drawdown = {1, 0, 1},
    .yearly_table = {1, 1, 2},
    .compact_yearly_table = true,
};

// Daily strategy, benchmark and excess returns on the union of their dates,
// as they arrive: the yearly table of this chart sees the raw series.
nb::object raw_daily_returns(const mf::Call &call) {
    nb::dict columns;
    columns["daily_return"] = call.arg("daily_return");
    columns["index_day_return"] = call.arg("benchmark_daily_return");
    nb::object daily_df = infinities_as_missing(call, call.global("pd").attr("DataFrame")(columns));
    daily_df["extra_daily_return"] = daily_df["daily_return"] - daily_df["index_day_return"];
    return call.global("_with_datetime_index")(daily_df).attr("dropna")("how"_a = "all");
}

nb::object weekly_drawdown(nb::handle nav) { return nav - nav.attr("expanding")().attr("max")(); }

nb::object plot_weekly_net_value_unlocked(mf::Call &call) {
    Matplotlib mpl = import_matplotlib();
    apply_report_style(call, mpl,
                       {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "SimHei",
                        "Arial Unicode MS", "DejaVu Sans"},
                       /*bold_titles=*/false);

    nb::object weekly = call.global("_build_weekly_net_value_frame")(
        call.arg("daily_return"), call.arg("cumulative_return"),
        call.arg("benchmark_daily_return"));
    if (is_empty(weekly))
        return nb::none();

    nb::object yearly_metrics =
        call.global("_calc_yearly_performance_metrics")(raw_daily_returns(call));
    nb::object strategy_nav = weekly["long"];
    nb::object benchmark_nav = weekly["close_net_value"];
    nb::object excess_nav = weekly["extra_net_value"];
    nb::object strategy_dd = weekly_drawdown(strategy_nav);
    nb::object benchmark_dd = weekly_drawdown(benchmark_nav);
    nb::object excess_dd = weekly_drawdown(excess_nav);

    bool is_long = nb::cast<std::string>(call.arg("image_kind")) == "long";
    const WeeklyLayout &layout = is_long ? long_weekly_layout : large_weekly_layout;
    Page page = new_page(mpl, layout.page);
    draw_and_close(mpl, page, [&] {
        nb::object ax_nav = add_axes(page, layout.nav);
        nb::object ax_dd = add_axes(page, layout.drawdown, ax_nav);
        nb::object ax_yearly_table = add_axes(page, layout.yearly_table);
        page_title(page, layout.page, page_title_text(call, "Weekly Net Value"), 16);
        nb::str benchmark_name(call.arg("benchmark_name"));

        ax_nav.attr("set_title")("Weekly Net Value");
        plot_line(ax_nav, strategy_nav, "color"_a = strategy_blue, "linewidth"_a = 2.4,
                  "label"_a = "Strategy NAV");
        plot_line(ax_nav, benchmark_nav, "color"_a = benchmark_black, "linewidth"_a = 1.8,
                  "linestyle"_a = "--", "label"_a = benchmark_name + nb::str(" NAV"));
        plot_line(ax_nav, excess_nav, "color"_a = excess_red, "linewidth"_a = 2.0,
                  "alpha"_a = 0.92, "label"_a = "Excess NAV");
        reference_line(ax_nav, 1.0, 0.9);  // the starting net value
        ax_nav.attr("set_ylabel")("Net Value");
        framed_legend(ax_nav, "best");

        ax_dd.attr("set_title")("Weekly Drawdown");
        fill_to_zero(ax_dd, strategy_dd, "color"_a = strategy_drawdown_fill, "alpha"_a = 0.58,
                     "label"_a = "Strategy Drawdown");
        plot_line(ax_dd, benchmark_dd, "color"_a = benchmark_black, "linewidth"_a = 1.25,
                  "alpha"_a = 0.76, "label"_a = benchmark_name + nb::str(" Drawdown"));
        plot_line(ax_dd, excess_dd, "color"_a = excess_red, "linewidth"_a = 1.45,
                  "alpha"_a = 0.86, "label"_a = "Excess Drawdown");
        zero_line(ax_dd);
        ax_dd.attr("set_ylabel")("Drawdown");
        percent_ticks(mpl, ax_dd);
        framed_legend(ax_dd, "lower left", "ncol"_a = 3);

        call.global("_draw_yearly_metrics_table")(ax_yearly_table, yearly_metrics,
                                                  "compact"_a = layout.compact_yearly_table);

        for (nb::handle panel : {ax_nav, ax_dd})
            style_plot_panel(panel);
        save_page(page, layout.page, call.arg("save_path"));
    });
    return nb::none();
}

nb::object plot_weekly_net_value(mf::Call &call) {
    draw_under_plot_lock(call, "_plot_weekly_net_value_unlocked",
                         {"daily_return", "cumulative_return", "benchmark_daily_return",
                          "strategy_name", "plot_title", "save_path", "image_kind",
                          "benchmark_name"});
    nb::dict paths;
    paths["weekly_net_value"] = nb::str(call.arg("save_path"));
    return paths;
}

}  // namespace

const mf::FunctionDef plot_weekly_net_value_def{
    .name = "plot_weekly_net_value",
    .impl = plot_weekly_net_value,
    .params = chart_params(false, "./strategy_weekly_net_value.png", true),
    .returns = "dict[str, str]",
    .doc = "周度净值图:周度净值 / 周度回撤 / 年度指标表。\n"
           "每周按周五取最后一个有效交易点,展示策略 / 基准 / 超额周度净值与回撤。\n"
           "\n"
           "整个绘图与保存过程持有 _MATPLOTLIB_PLOT_LOCK。没有周度数据时不绘图、不写文件,\n"
           "但仍返回路径。\n"
           "\n"
           "Args:\n"
           "    daily_return: 策略日收益(比例), 按日期索引。\n"
           "    cumulative_return: 策略累计净值(算术)。\n"
           "    benchmark_daily_return: 基准日收益(比例)。\n"
           "    strategy_name: 策略显示名称。\n"
           "    plot_title: 页面标题; None 或空字符串时使用 strategy_name。\n"
           "    save_path: 图片保存路径, 格式由扩展名决定。\n"
           "    image_kind: \"long\" 为竖版(15.5 x 12.4 英寸, 145 dpi); 其他取值(默认\n"
           "        \"large\")为横版(19 x 9.2 英寸, 175 dpi, 紧凑裁边)。\n"
           "    benchmark_name: 基准名称, 用于标题与图例。\n"
           "\n"
           "Returns:\n"
           "    dict[str, str]: {\"weekly_net_value\": str(save_path)}。\n",
};

const mf::FunctionDef plot_weekly_net_value_unlocked_def{
    .name = "_plot_weekly_net_value_unlocked",
    .impl = plot_weekly_net_value_unlocked,
    .params = chart_params(false, "./strategy_weekly_net_value.png", false),
    .returns = "None",
    .doc = "周度净值图的无锁实现, 调用方必须已持有 _MATPLOTLIB_PLOT_LOCK。\n"
           "\n"
           "布局: 周度净值(策略蓝色、基准黑色虚线、超额红色)、周度回撤(策略浅蓝色填充、\n"
           "基准黑色、超额红色)和年度指标表。\n"
           "\n"
           "Args:\n"
           "    daily_return: 策略日收益(比例)。\n"
           "    cumulative_return: 策略累计净值(算术)。\n"
           "    benchmark_daily_return: 基准日收益(比例)。\n"
           "    strategy_name: 策略显示名称。\n"
           "    plot_title: 页面标题; None 或空字符串时使用 strategy_name。\n"
           "    save_path: 图片保存路径。\n"
           "    image_kind: \"long\" 为竖版, 其他取值为横版。\n"
           "    benchmark_name: 基准名称。\n"
           "\n"
           "Returns:\n"
           "    None\n",
};

}  // namespace strategy_kernel
