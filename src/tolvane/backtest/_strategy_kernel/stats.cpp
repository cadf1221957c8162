// calc_strategy_stats: the thirteen headline figures of one backtest.
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "strategy_kernel.hpp"
#include "weight_activity.hpp"

namespace tolvane::strategy_kernel {

using namespace nb::literals;
using glue::backtest::matrix_view;

namespace {

const char *const kStatKeys[] = {
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
};

double last_value(nb::handle series) {
    return mf::to_double(series.attr("iloc")[nb::int_(-1)]);
}

// The deepest drawdown of a drawdown column, as a positive number of percent points.
double deepest_points(nb::handle drawdown) {
    return std::fabs(mf::to_double(drawdown.attr("min")())) * 100.0;
}

struct WeightActivity {
    double holding_count = NAN;
    double turnover = NAN;
};

// Average number of stocks held and average one-way turnover of the weights
// on the statistics' dates. The weights are read in place by a native pass;
// dates the weight matrix lacks count as rows without any weight.
WeightActivity weight_activity(nb::handle signal_df, nb::handle dates) {
    WeightActivity activity;
    const std::size_t signal_rows = nb::len(signal_df);
    if (signal_rows == 0)
        return activity;

    const std::size_t n_rows = nb::len(dates);
    mf::KernelArrays inputs;
    nb::object weight_frame = nb::borrow(signal_df);
    std::vector<std::int64_t> same_rows;
    const std::int64_t *rows = nullptr;
    nb::object signal_index = signal_df.attr("index");
    if (nb::bool_(signal_index.attr("is_unique"))) {
        rows = inputs
                   .add<std::int64_t, 1>(signal_index.attr("get_indexer")(dates),
                                         "signal_df.index.get_indexer()", {n_rows}, mf::Dtype::Convert)
                   .data();
    } else {
        // pandas aligns repeated dates only onto the same dates, which it
        // keeps as they are, and refuses any other target, saying why.
        weight_frame = signal_df.attr("reindex")(dates);
        same_rows.resize(n_rows);
        std::iota(same_rows.begin(), same_rows.end(), std::int64_t{0});
        rows = same_rows.data();
    }
    nb::object values =
        weight_frame.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = nan_value(), "copy"_a = false);
    const auto weights = inputs.add<double, 2>(values, "signal_df.to_numpy()",
                                               {mf::any_extent, mf::any_extent}, mf::Dtype::Convert);
    const auto weight_rows = static_cast<std::int64_t>(weights.shape(0));
    for (std::size_t k = 0; k < n_rows; ++k) {
        if (rows[k] < -1 || rows[k] >= weight_rows)
            mf::raise(PyExc_ValueError, "signal_df.index.get_indexer() 给出的行号 " +
                                            std::to_string(rows[k]) + " 超出 signal_df.to_numpy() 的 " +
                                            std::to_string(weight_rows) + " 行");
    }

    std::vector<double> holding_counts(n_rows), weight_changes(n_rows);
    {
        nb::gil_scoped_release no_gil;
        kernels::weight_activity(matrix_view(weights), rows, n_rows, weights.shape(1), holding_counts.data(),
                                 weight_changes.data());
    }
    double count_sum = 0.0, change_sum = 0.0;
    for (std::size_t k = 0; k < n_rows; ++k) {
        count_sum += holding_counts[k];
        change_sum += weight_changes[k];
    }
    activity.holding_count = count_sum / static_cast<double>(n_rows);
    if (signal_rows > 1)
        activity.turnover = change_sum / static_cast<double>(n_rows) / 2.0 * 100.0;
    return activity;
}

// The frame's derived columns: the excess return, the cumulative and net
// values of the strategy, the benchmark and the excess, and both drawdowns.
void add_derived_columns(const mf::Call &call, nb::handle df) {
    nb::object loc = df.attr("loc");
    nb::object all_rows = nb::slice(nb::none(), nb::none(), nb::none());
    auto assign = [&](const char *column, nb::handle values) {
        loc[nb::make_tuple(all_rows, column)] = values;
    };

    assign("extra_daily_return", df["daily_return"] - df["index_day_return"]);
    assign("cumulative_return", df["daily_return"].attr("cumsum")("skipna"_a = true) + nb::int_(1));
    nb::object benchmark_net_value;
    if (mf::contains(df.attr("columns"), nb::str("close"))) {
        nb::object first_close = df["close"].attr("iloc")[nb::int_(0)];
        if (nb::bool_(call.global("pd").attr("notna")(first_close)) &&
            nb::bool_(first_close.attr("__gt__")(0)))
            benchmark_net_value = df["close"] / first_close;
    }
    if (!benchmark_net_value.is_valid())
        benchmark_net_value = df["index_day_return"].attr("cumsum")("skipna"_a = true) + nb::int_(1);
    assign("benchmark_net_value", benchmark_net_value);
    assign("extra_cumulative_return", df["extra_daily_return"].attr("cumsum")("skipna"_a = true));

    nb::object net_value = df["cumulative_return"];
    assign("max_drawdown", net_value - net_value.attr("expanding")().attr("max")());
    // The excess drawdown is measured on 1 + the cumulative excess, like a net value.
    nb::object excess_net_value = df["extra_cumulative_return"] + nb::int_(1);
    assign("extra_max_drawdown", excess_net_value - excess_net_value.attr("expanding")().attr("max")());
}

nb::object calc_strategy_stats(mf::Call &call) {
    nb::handle total_frame = call.arg("total_frame");
    nb::handle signal_df = call.arg("signal_df");
    nb::object safe_sharpe = call.global("safe_sharpe");

    nb::list required;
    required.append("daily_return");
    required.append("index_day_return");
    nb::object df = total_frame.attr("dropna")("subset"_a = required).attr("copy")();
    nb::dict stats;
    if (nb::len(df) == 0) {
        for (const char *key : kStatKeys)
            stats[key] = nan_value();
        return stats;
    }
    add_derived_columns(call, df);
    const double deepest_drawdown = deepest_points(df["max_drawdown"]);
    const double deepest_excess_drawdown = deepest_points(df["extra_max_drawdown"]);

    const std::size_t n_days = nb::len(df);
    const double years = static_cast<double>(n_days) / trading_days_per_year;
    auto per_year_points = [&](double total) { return years > 0 ? total / years * 100.0 : NAN; };
    const double annual_return = per_year_points(last_value(df["cumulative_return"]) - 1.0);
    const double benchmark_annual_return = per_year_points(last_value(df["benchmark_net_value"]) - 1.0);
    const double excess_annual_return = per_year_points(last_value(df["extra_cumulative_return"]));

    auto annualised_sharpe = [&](const char *column) {
        return safe_sharpe(df[column], "periods"_a = trading_days_per_year);
    };
    nb::object strategy_sharpe = annualised_sharpe("daily_return");
    nb::object excess_sharpe = annualised_sharpe("extra_daily_return");
    nb::object return_correlation = df["daily_return"].attr("corr")(df["index_day_return"]);
    nb::object benchmark_sharpe = annualised_sharpe("index_day_return");

    auto win_rate_of = [&](const char *column) {
        const double wins = mf::to_double(df[column].attr("gt")(0).attr("sum")());
        return wins / static_cast<double>(n_days) * 100.0;
    };
    const double win_rate = win_rate_of("daily_return");
    const double excess_win_rate = win_rate_of("extra_daily_return");

    WeightActivity activity;
    if (!signal_df.is_none())
        activity = weight_activity(signal_df, df.attr("index"));

    stats["annual_return"] = annual_return;
    stats["long_sharp"] = strategy_sharpe;
    stats["max_dd"] = deepest_drawdown;
    stats["extra_annual_return"] = excess_annual_return;
    stats["extra_sharp"] = excess_sharpe;
    stats["extra_max_dd"] = deepest_excess_drawdown;
    stats["benchmark_annual_return"] = benchmark_annual_return;
    stats["benchmark_sharp"] = benchmark_sharpe;
    stats["return_corr"] = return_correlation;
    stats["win_rate"] = win_rate;
    stats["excess_win_rate"] = excess_win_rate;
    stats["holding_count"] = activity.holding_count;
    stats["turnover"] = activity.turnover;
    return stats;
}

}  // namespace

const mf::FunctionDef calc_strategy_stats_def{
    .name = "calc_strategy_stats",
    .impl = calc_strategy_stats,
    .params =
        {
            {.name = "total_frame", .annotation = "pd.DataFrame"},
            {.name = "signal_df", .annotation = "pd.DataFrame"},
        },
    .returns = "dict",
    .doc = "计算策略回测的十三项核心统计指标。\n"
           "\n"
           "净值为日收益累加 + 1(固定资金, 不复利); 回撤为净值与其历史最高点之差,\n"
           "历史最高点从首日净值开始计算; 年化收益 = (期末净值 - 1) ÷ 年数(交易日数 ÷ 252)。\n"
           "\"daily_return\" 或 \"index_day_return\" 为 NaN 的行不参与计算, 传入的表不被修改。\n"
           "\n"
           "Args:\n"
           "    total_frame: 按日期索引的日收益表, 含 \"daily_return\"(策略)与\n"
           "        \"index_day_return\"(基准)两列(比例); 可选 \"close\" 列为基准收盘价,\n"
           "        首日收盘价有效时基准净值按价格比计算。\n"
           "    signal_df: 权重矩阵(日期 × 股票, 移位前后均可), 用于持仓数与换手率; 可为 None。\n"
           "\n"
           "Returns:\n"
           "    dict: 依次为 annual_return(年化收益, 百分点)、long_sharp(夏普比率)、\n"
           "    max_dd(最大回撤, 百分点)、extra_annual_return、extra_sharp、extra_max_dd\n"
           "    (超额的同三项)、benchmark_annual_return(百分点)、benchmark_sharp、\n"
           "    return_corr(策略与基准日收益相关系数)、win_rate、excess_win_rate(日胜率, %)、\n"
           "    holding_count(平均持仓股票数)、turnover(平均单边日换手, %)。\n"
           "    没有可用行时十三项均为 NaN; signal_df 为 None 时最后两项为 NaN,\n"
           "    只有一行时 turnover 为 NaN。\n",
};

}  // namespace tolvane::strategy_kernel
