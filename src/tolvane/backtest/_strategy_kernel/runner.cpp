// run_strategy_backtest_core: weight smoothing → daily VWAP returns → net
// value → benchmark excess → statistics → charts → result record.
#include <string>

#include "strategy_kernel.hpp"

namespace tolvane::strategy_kernel {

using namespace nb::literals;

namespace {

// The weights actually traded: a trailing moving average over at most
// `rolling_window` rows when smoothing is on, whose first row stays the raw one.
nb::object traded_weights(nb::handle strategy_matrix, long long rolling_window) {
    if (rolling_window <= 0)
        return nb::borrow(strategy_matrix);
    nb::object smoothed =
        strategy_matrix.attr("rolling")("window"_a = rolling_window, "min_periods"_a = 1).attr("mean")();
    smoothed.attr("iloc")[nb::int_(0)] = strategy_matrix.attr("iloc")[nb::int_(0)];
    return smoothed;
}

// One summary row per benchmark, in the dictionary's order; the primary
// benchmark also becomes the benchmark column of `total_frame`.
nb::object summarise_benchmarks(mf::Call &call, nb::handle benchmark_dict, nb::handle daily_return,
                                nb::handle total_frame) {
    nb::object pd = call.global("pd");
    nb::handle primary_benchmark = call.arg("benchmark_names");
    nb::object dates = daily_return.attr("index");
    nb::list benchmark_rows;
    for (nb::handle item : benchmark_dict.attr("items")()) {
        nb::object benchmark_name = item[0];
        nb::object benchmark_returns = item[1];
        nb::object aligned_benchmark = benchmark_returns.attr("reindex")(dates, "fill_value"_a = 0.0);
        nb::object excess_returns = daily_return.attr("sub")(aligned_benchmark, "fill_value"_a = 0);
        nb::object excess_running_sum = excess_returns.attr("cumsum")();
        nb::object excess_sharpe =
            call.global("safe_sharpe")(excess_returns, "periods"_a = trading_days_per_year);
        nb::object annualisation = nb::int_(trading_days_per_year);
        nb::object benchmark_annual_return = aligned_benchmark.attr("mean")() * annualisation;

        nb::dict row;
        row["benchmark_name"] = benchmark_name;
        row["benchmark_annual_return"] = benchmark_annual_return;
        row["excess_annual_return"] = excess_returns.attr("mean")() * annualisation;
        row["excess_sharpe"] = excess_sharpe;
        row["excess_max_dd"] = (excess_running_sum - excess_running_sum.attr("cummax")()).attr("min")();
        benchmark_rows.append(row);

        if (benchmark_name.equal(primary_benchmark)) {
            total_frame.attr(
                "loc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), "index_day_return")] =
                benchmark_returns.attr("reindex")(dates, "fill_value"_a = 0);
        }
    }
    return pd.attr("DataFrame")(benchmark_rows);
}

// Draws both report charts beside `plot_save_path` and returns their paths.
nb::dict draw_charts(mf::Call &call, nb::handle daily_return, nb::handle cumulative_return,
                     nb::handle total_frame, nb::handle stats) {
    nb::object main_path = call.global("Path")(call.arg("plot_save_path"));
    nb::object weekly_name = main_path.attr("stem") + nb::str("_weekly_net_value") + main_path.attr("suffix");
    nb::object weekly_path = main_path.attr("with_name")(weekly_name);
    nb::object benchmark_daily_return = total_frame["index_day_return"];

    call.global("plot_strategy_performance")(
        "daily_return"_a = daily_return, "cumulative_return"_a = cumulative_return,
        "benchmark_daily_return"_a = benchmark_daily_return, "stats"_a = stats,
        "strategy_name"_a = call.arg("strategy_name"), "plot_title"_a = call.arg("plot_title"),
        "save_path"_a = main_path, "image_kind"_a = call.arg("plot_image_kind"),
        "benchmark_name"_a = call.arg("benchmark_names"));
    call.global("plot_weekly_net_value")(
        "daily_return"_a = daily_return, "cumulative_return"_a = cumulative_return,
        "benchmark_daily_return"_a = benchmark_daily_return, "strategy_name"_a = call.arg("strategy_name"),
        "plot_title"_a = call.arg("plot_title"), "save_path"_a = weekly_path,
        "image_kind"_a = call.arg("plot_image_kind"), "benchmark_name"_a = call.arg("benchmark_names"));

    nb::dict plot_paths;
    plot_paths["main"] = nb::str(main_path);
    plot_paths["weekly_net_value"] = nb::str(weekly_path);
    return plot_paths;
}

nb::object run_strategy_backtest_core(mf::Call &call) {
    const double total_money = call.as_double("total_money");
    const double fee = call.as_double("fee");
    const double rule_fee = call.as_double("rule_fee");
    // The runner trades in the engine's default lots.
    glue::backtest::check_trading_costs(total_money, fee, rule_fee, default_lot_size);

    nb::object pd = call.global("pd");
    nb::object work_matrix = traded_weights(call.arg("strategy_matrix"), call.as_long("rolling_window"));

    nb::kwargs engine_args;
    engine_args["signal_matrix"] = work_matrix;
    for (const char *name : market_matrix_names)
        engine_args[name] = call.arg(name);
    engine_args["total_money"] = call.arg("total_money");
    engine_args["fee"] = call.arg("fee");
    engine_args["rule_fee"] = call.arg("rule_fee");
    nb::object daily_return = call.global("calc_strategy_vwap_daily_return")(**engine_args);

    nb::object cumulative_return = daily_return.attr("cumsum")() + nb::int_(1);
    nb::dict columns;
    columns["daily_return"] = daily_return;
    columns["index_day_return"] = daily_return * nb::int_(0);
    nb::object total_frame = pd.attr("DataFrame")(columns);

    nb::object benchmark_summary = pd.attr("DataFrame")();
    nb::handle benchmark_dict = call.arg("benchmark_dict");
    if (!benchmark_dict.is_none() && nb::len(benchmark_dict) > 0)
        benchmark_summary = summarise_benchmarks(call, benchmark_dict, daily_return, total_frame);

    nb::object stats = call.global("calc_strategy_stats")(total_frame, work_matrix);

    nb::dict plot_paths;
    if (!call.is_none("plot_image_kind") && !call.is_none("plot_save_path"))
        plot_paths = draw_charts(call, daily_return, cumulative_return, total_frame, stats);

    return call.global("_StrategyCoreResult")(
        "strategy_name"_a = call.arg("strategy_name"), "daily_return"_a = daily_return,
        "cumulative_return"_a = cumulative_return, "stats"_a = stats,
        "benchmark_summary"_a = benchmark_summary, "plot_paths"_a = plot_paths);
}

}  // namespace

const mf::FunctionDef run_strategy_backtest_core_def{
    .name = "run_strategy_backtest_core",
    .impl = run_strategy_backtest_core,
    .params = joined_params({
        backtest_matrix_params("strategy_matrix"),
        {
            {.name = "benchmark_dict",
             .annotation = "dict[str, pd.Series] | None",
             .convert = mf::Convert::Dict,
             .or_none = true,
             .default_value = mf::none_default},
            {.name = "benchmark_names",
             .annotation = "str",
             .convert = mf::Convert::Str,
             .default_value = mf::str_default("000852")},
            {.name = "rolling_window",
             .annotation = "int",
             .convert = mf::Convert::Int,
             .default_value = mf::int_default(0)},
        },
        trading_cost_params(),
        {
            {.name = "plot_image_kind",
             .annotation = "str | None",
             .convert = mf::Convert::Str,
             .or_none = true,
             .default_value = mf::str_default("large")},
            {.name = "plot_save_path", .annotation = "str | Path | None", .default_value = mf::none_default},
            {.name = "strategy_name",
             .annotation = "str",
             .convert = mf::Convert::Str,
             .default_value = mf::str_default("strategy")},
            {.name = "plot_title",
             .annotation = "str | None",
             .convert = mf::Convert::Str,
             .or_none = true,
             .default_value = mf::none_default},
        },
    }),
    .returns = "_StrategyCoreResult",
    .doc =
        "策略回测核心流水线:权重平滑 → VWAP 日收益 → 累计净值 → 超额基准 → 统计 → 出图。\n"
        "\n"
        "手数固定为 calc_strategy_vwap_daily_return 的默认每手股数;\n"
        "净值为日收益累加 + 1(固定资金)。\n"
        "\n"
        "Args:\n"
        "    strategy_matrix: 目标权重矩阵(日期 × 股票), T-1 日权重在 T 日成交。\n" STRATEGY_MARKET_MATRICES_DOC
        "    benchmark_dict: 基准代码 → 基准日收益序列(比例, 日期索引); None 或空表示不比较基准。\n"
        "    benchmark_names: 主基准代码, 用于超额统计与图表, 默认 \"000852\"。\n"
        "    rolling_window: 权重移动平均窗口长度; 0 或负数表示不平滑, 默认 0。\n" STRATEGY_TRADING_COSTS_DOC
        "    plot_image_kind: 图表版式(\"large\" 或 \"long\"); None 表示不出图。\n"
        "    plot_save_path: 主图保存路径; 周净值图保存在同目录的\n"
        "        \"<主图文件名>_weekly_net_value<扩展名>\"; None(默认)表示不出图。\n"
        "    strategy_name: 策略显示名称, 默认 \"strategy\"。\n"
        "    plot_title: 图表标题; None 时使用 strategy_name。\n"
        "\n"
        "Returns:\n"
        "    _StrategyCoreResult: 策略名称、日收益、累计净值、统计指标、基准汇总表\n"
        "    (每个基准一行: 基准年化收益、超额年化收益、超额夏普、超额最大回撤, 均为比例)\n"
        "    与图表路径(未出图时为空字典)。\n",
};

}  // namespace tolvane::strategy_kernel
