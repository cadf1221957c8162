// tolvane.backtest._strategy_kernel: the daily VWAP return engine, strategy
// statistics, the backtest runner, number formatting, period metrics and the
// report charts. Each source file defines the functions of one topic;
// module.cpp binds them in the module's definition order.
#pragma once

#include <cmath>

#include <module_frame/frame.hpp>

namespace strategy_kernel {

namespace mf = module_frame;
namespace nb = nanobind;

extern const mf::FunctionDef calc_strategy_vwap_daily_return_def;
extern const mf::FunctionDef calc_strategy_stats_def;
extern const mf::FunctionDef run_strategy_backtest_core_def;
extern const mf::FunctionDef format_pct_def;
extern const mf::FunctionDef format_pct_points_def;
extern const mf::FunctionDef format_num_def;
extern const mf::FunctionDef format_annual_excess_def;
extern const mf::FunctionDef period_return_drawdown_calmar_def;
extern const mf::FunctionDef calc_yearly_performance_metrics_def;
extern const mf::FunctionDef draw_yearly_metrics_table_def;
extern const mf::FunctionDef build_weekly_net_value_frame_def;
extern const mf::FunctionDef plot_strategy_performance_def;
extern const mf::FunctionDef plot_strategy_performance_unlocked_def;
extern const mf::FunctionDef plot_weekly_net_value_def;
extern const mf::FunctionDef plot_weekly_net_value_unlocked_def;

// A date x stock matrix parameter.
inline mf::Param matrix_param(const char *name) {
    return {.name = name, .annotation = "pd.DataFrame"};
}

// Raises ValueError naming the first trading parameter a backtest cannot run
// with: a capital that is not a finite positive number, a fee or rule_fee
// outside [0, 1), or a lot size below 1.
void check_trading_costs(double total_money, double fee, double rule_fee, long long lot_size);

// Python's float('nan').
inline nb::object nan_value() { return nb::float_(NAN); }

// data.replace([np.inf, -np.inf], np.nan)
inline nb::object infinities_as_missing(const mf::Call &call, nb::handle data) {
    nb::object np = call.global("np");
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));
    return data.attr("replace")(infinities, np.attr("nan"));
}

}  // namespace strategy_kernel
