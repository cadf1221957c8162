// tolvane.backtest._strategy_kernel: the daily VWAP return engine, strategy
// statistics, the backtest runner, number formatting and period metrics.
// Each source file defines the functions of one topic; module.cpp binds them
// in the module's definition order.
#pragma once

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

// Raises ValueError naming the first trading parameter a backtest cannot run
// with: a capital that is not a finite positive number, a fee or rule_fee
// outside [0, 1), or a lot size below 1.
void check_trading_costs(double total_money, double fee, double rule_fee, long long lot_size);

// Python's float('nan').
nb::object nan_value();

}  // namespace strategy_kernel
