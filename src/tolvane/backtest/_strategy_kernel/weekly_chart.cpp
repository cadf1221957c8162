// The weekly net value chart: weekly net values, weekly drawdowns and the
// yearly metrics table.
#include "chart_style.hpp"

namespace tolvane::strategy_kernel {

using namespace charts;

namespace {

struct WeeklyLayout {
    PageShape page;
    Span net_value, drawdown, yearly_table;
    bool compact_yearly_table;
};

const WeeklyLayout long_weekly_layout{
    .page = {.width = 15.5,
             .height = 12.4,
             .constrained = false,
             .rows = 3,
             .columns = 1,
             .height_ratios = {3.1, 1.45, 1.9},
             .width_ratios = {},
             .hspace = 0.34,
             .title_y = 0.985,
             .tight = false,
             .dpi = 145,
             .margins = {0.065, 0.965, 0.94, 0.055}},
    .net_value = {0, 0, 1},
    .drawdown = {1, 0, 1},
    .yearly_table = {2, 0, 1},
    .compact_yearly_table = false,
};

const WeeklyLayout large_weekly_layout{
    .page = {.width = 19.0,
             .height = 9.2,
             .constrained = true,
             .rows = 2,
             .columns = 2,
             .height_ratios = {3.05, 1.75},
             .width_ratios = {2.25, 1.05},
             .title_y = 0.995,
             .tight = true,
             .dpi = 175},
    .net_value = {0, 0, 2},
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
    nb::object returns = infinities_as_missing(call, call.global("pd").attr("DataFrame")(columns));
    returns["extra_daily_return"] = returns["daily_return"] - returns["index_day_return"];
    return call.global("_with_datetime_index")(returns).attr("dropna")("how"_a = "all");
}

// The net value minus its running maximum (<= 0, in net value units).
nb::object weekly_drawdown(nb::handle net_value) {
    return net_value - net_value.attr("expanding")().attr("max")();
}

nb::object plot_weekly_net_value_unlocked(mf::Call &call) {
    CollectorPaused collector_paused;
    Matplotlib mpl = import_matplotlib();
    apply_report_style(call, mpl, {"DejaVu Sans"}, /*bold_titles=*/false);

    nb::object weekly = call.global("_build_weekly_net_value_frame")(
        call.arg("daily_return"), call.arg("cumulative_return"), call.arg("benchmark_daily_return"));
    if (is_empty(weekly))
        return nb::none();

    nb::object yearly_metrics = call.global("_calc_yearly_performance_metrics")(raw_daily_returns(call));
    nb::object strategy_net_value = weekly["long"];
    nb::object benchmark_net_value = weekly["close_net_value"];
    nb::object excess_net_value = weekly["extra_net_value"];
    nb::object strategy_drawdown = weekly_drawdown(strategy_net_value);
    nb::object benchmark_drawdown = weekly_drawdown(benchmark_net_value);
    nb::object excess_drawdown = weekly_drawdown(excess_net_value);

    const WeeklyLayout &layout = wants_portrait_page(call) ? long_weekly_layout : large_weekly_layout;
    Page page = new_page(mpl, layout.page);
    draw_and_close(mpl, page, [&] {
        nb::object net_value_axes = add_axes(page, layout.net_value);
        nb::object drawdown_axes = add_axes(page, layout.drawdown, net_value_axes);
        nb::object yearly_table_axes = add_axes(page, layout.yearly_table);
        page_title(page, layout.page, page_title_text(call, "Weekly Net Value"), 16);
        nb::str benchmark_name(call.arg("benchmark_name"));

        net_value_axes.attr("set_title")("Weekly Net Value");
        plot_line(net_value_axes, strategy_net_value, "color"_a = strategy_blue, "linewidth"_a = 2.4,
                  "label"_a = "Strategy NAV");
        plot_line(net_value_axes, benchmark_net_value, "color"_a = benchmark_black, "linewidth"_a = 1.8,
                  "linestyle"_a = "--", "label"_a = benchmark_name + nb::str(" NAV"));
        plot_line(net_value_axes, excess_net_value, "color"_a = excess_red, "linewidth"_a = 2.0,
                  "alpha"_a = 0.92, "label"_a = "Excess NAV");
        reference_line(net_value_axes, 1.0, 0.9);  // the starting net value
        net_value_axes.attr("set_ylabel")("Net Value");
        framed_legend(net_value_axes, "best");

        title_over_offset_free_axes(drawdown_axes, "Weekly Drawdown");
        fill_to_zero(drawdown_axes, strategy_drawdown, "color"_a = strategy_drawdown_fill, "alpha"_a = 0.58,
                     "label"_a = "Strategy Drawdown");
        plot_line(drawdown_axes, benchmark_drawdown, "color"_a = benchmark_black, "linewidth"_a = 1.25,
                  "alpha"_a = 0.76, "label"_a = benchmark_name + nb::str(" Drawdown"));
        plot_line(drawdown_axes, excess_drawdown, "color"_a = excess_red, "linewidth"_a = 1.45,
                  "alpha"_a = 0.86, "label"_a = "Excess Drawdown");
        zero_line(drawdown_axes);
        drawdown_axes.attr("set_ylabel")("Drawdown");
        percent_ticks(mpl, drawdown_axes);
        framed_legend(drawdown_axes, "lower left", "ncol"_a = 3);

        call.global("_draw_yearly_metrics_table")(yearly_table_axes, yearly_metrics,
                                                  "compact"_a = layout.compact_yearly_table);

        for (nb::handle panel : {net_value_axes, drawdown_axes})
            style_plot_panel(panel);
        save_page(call, mpl, page, layout.page, call.arg("save_path"));
    });
    return nb::none();
}

nb::object plot_weekly_net_value(mf::Call &call) {
    draw_under_plot_lock(call, "_plot_weekly_net_value_unlocked", /*with_stats=*/false);
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

}  // namespace tolvane::strategy_kernel
