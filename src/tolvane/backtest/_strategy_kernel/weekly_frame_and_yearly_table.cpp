// What both report charts draw from: the weekly net value frame of the
// weekly chart and the yearly metrics table at the foot of both pages.
#include "chart_style.hpp"

namespace tolvane::strategy_kernel {

using namespace charts;

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
    nb::object excess_running_sum = daily["extra_daily_return"].attr("cumsum")();

    nb::dict net_value_columns;
    net_value_columns["long"] = call.arg("cumulative_return");
    // The benchmark compounds like a price; the strategy's net value arrives
    // already built arithmetically on a fixed capital.
    net_value_columns["close_net_value"] =
        (nb::int_(1) + daily["index_day_return"].attr("fillna")(0.0)).attr("cumprod")();
    net_value_columns["extra_return"] = from_first_value(excess_running_sum);
    nb::object net_values = call.global("_with_datetime_index")(pd.attr("DataFrame")(net_value_columns));
    if (is_empty(net_values))
        return pd.attr("DataFrame")();

    // The last valid point of each week ending on Friday.
    nb::object weekly = net_values[python_list({"long", "close_net_value", "extra_return"})]
                            .attr("resample")("W-FRI")
                            .attr("last")()
                            .attr("dropna")("how"_a = "all");
    if (is_empty(weekly))
        return weekly;
    weekly.attr("loc")[nb::make_tuple(slice_all(), "extra_net_value")] = weekly["extra_return"] + nb::int_(1);
    return weekly.attr("dropna")("subset"_a = python_list({"long", "close_net_value", "extra_net_value"}),
                                 "how"_a = "all");
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
    bool compact = mf::truthy(call.arg("compact"));

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
    nb::object yearly_table =
        ax.attr("table")("cellText"_a = yearly_rows,
                         "colLabels"_a = python_list({"Year", "Strategy Return", "Strategy Sharpe",
                                                      "Strategy Max DD", "Strategy Calmar", "Excess Return",
                                                      "Excess Sharpe", "Excess Max DD", "Excess Calmar"}),
                         "loc"_a = "center", "cellLoc"_a = "center", "colLoc"_a = "center",
                         "colWidths"_a = python_list(column_widths));
    yearly_table.attr("auto_set_font_size")(false);
    yearly_table.attr("set_fontsize")(compact ? 7.4 : 8.4);
    yearly_table.attr("scale")(1.0, compact ? 1.08 : 1.24);
    style_report_table(yearly_table, yearly_column_colour);

    title_over_offset_free_axes(ax, "Yearly Strategy & Excess Metrics", "fontsize"_a = compact ? 10.4 : 11.5,
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
            {.name = "compact",
             .annotation = "bool",
             .keyword_only = true,
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

}  // namespace tolvane::strategy_kernel
