// Period metrics: one period's return, maximum drawdown and Calmar ratio, and
// the yearly metrics table that the report charts display.
#include <cmath>
#include <string>

#include "strategy_kernel.hpp"

namespace tolvane::strategy_kernel {

using namespace nb::literals;

namespace {

nb::object period_return_drawdown_calmar(mf::Call &call) {
    nb::handle daily_return = call.arg("daily_return");
    if (daily_return.is_none() || nb::bool_(daily_return.attr("empty")))
        return nb::make_tuple(nan_value(), nan_value(), nan_value());

    const double period_return = mf::to_double(daily_return.attr("sum")());
    const double annualized_return =
        mf::to_double(daily_return.attr("mean")()) * mf::to_double(call.global("TRADING_DAYS_PER_YEAR"));
    nb::object cumulative = daily_return.attr("cumsum")();
    // The running peak never drops below 0, the level before the first day,
    // so a loss from the first day on counts as a drawdown.
    nb::object peak = cumulative.attr("cummax")().attr("clip")("lower"_a = 0.0);
    const double max_drawdown = std::fabs(mf::to_double((cumulative - peak).attr("min")()));
    const double calmar =
        (!std::isnan(max_drawdown) && max_drawdown > 1e-12) ? annualized_return / max_drawdown : NAN;
    return nb::make_tuple(period_return, max_drawdown, calmar);
}

nb::object calc_yearly_performance_metrics(mf::Call &call) {
    nb::handle daily = call.arg("daily");
    nb::object pd = call.global("pd");
    auto usable = [&](nb::handle year_daily, const char *column) {
        return infinities_as_missing(call, year_daily[column]).attr("dropna")();
    };

    nb::list rows;
    for (nb::handle group : daily.attr("groupby")(daily.attr("index").attr("year"))) {
        nb::object year = group[0];
        nb::object year_daily = group[1];
        nb::object strategy_daily = usable(year_daily, "daily_return");
        nb::object excess_daily = usable(year_daily, "extra_daily_return");
        if (nb::bool_(strategy_daily.attr("empty")) && nb::bool_(excess_daily.attr("empty")))
            continue;

        nb::object strategy[3], excess[3];
        mf::unpack(call.global("_period_return_drawdown_calmar")(strategy_daily), strategy);
        mf::unpack(call.global("_period_return_drawdown_calmar")(excess_daily), excess);
        nb::dict row;
        row["year"] = nb::int_(year);
        row["strategy_return"] = strategy[0];
        row["strategy_sharpe"] = call.global("safe_sharpe")(strategy_daily);
        row["strategy_max_dd"] = strategy[1];
        row["strategy_calmar"] = strategy[2];
        row["excess_return"] = excess[0];
        row["excess_sharpe"] = call.global("safe_sharpe")(excess_daily);
        row["excess_max_dd"] = excess[1];
        row["excess_calmar"] = excess[2];
        rows.append(row);
    }
    if (nb::len(rows) == 0)
        return pd.attr("DataFrame")();
    return pd.attr("DataFrame")(rows).attr("set_index")("year").attr("sort_index")();
}

}  // namespace

const mf::FunctionDef period_return_drawdown_calmar_def{
    .name = "_period_return_drawdown_calmar",
    .impl = period_return_drawdown_calmar,
    .params = {{.name = "daily_return", .annotation = "pd.Series"}},
    .returns = "tuple[float, float, float]",
    .doc = "计算一段时期的收益、最大回撤与卡玛比率。\n"
           "\n"
           "收益为日收益之和(算术累加, 不复利); 回撤在日收益累加曲线上计算, 峰值不低于\n"
           "起点 0, 因此首日起的亏损也计入回撤; 卡玛比率 = 年化收益(日均收益 ×\n"
           "TRADING_DAYS_PER_YEAR) ÷ 最大回撤, 回撤不超过 1e-12 时为 NaN。\n"
           "\n"
           "Args:\n"
           "    daily_return: 该时期的日收益序列(比例); NaN 被跳过。\n"
           "\n"
           "Returns:\n"
           "    tuple[float, float, float]: (期间收益, 最大回撤(非负比例), 卡玛比率);\n"
           "    序列为 None 或为空时三者均为 NaN。\n",
};

const mf::FunctionDef calc_yearly_performance_metrics_def{
    .name = "_calc_yearly_performance_metrics",
    .impl = calc_yearly_performance_metrics,
    .params = {{.name = "daily", .annotation = "pd.DataFrame"}},
    .returns = "pd.DataFrame",
    .doc = "按自然年计算策略与超额收益的收益、夏普、最大回撤与卡玛比率。\n"
           "\n"
           "每年先去掉 ±inf 与 NaN; 策略与超额都没有可用数据的年份不出现在结果中。\n"
           "\n"
           "Args:\n"
           "    daily: 以日期(DatetimeIndex)为索引、含 \"daily_return\" 与\n"
           "        \"extra_daily_return\" 两列的日收益表(比例); 其余列被忽略。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 以整数 \"year\" 为索引(升序), 依次为 strategy_return、\n"
           "    strategy_sharpe、strategy_max_dd、strategy_calmar、excess_return、\n"
           "    excess_sharpe、excess_max_dd、excess_calmar 八列; 没有任何可用年份时为\n"
           "    空 DataFrame。\n",
};

}  // namespace tolvane::strategy_kernel
