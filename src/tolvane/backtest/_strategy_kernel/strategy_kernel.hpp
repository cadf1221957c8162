// tolvane.backtest._strategy_kernel: the daily VWAP return engine, strategy
// statistics, the backtest runner, number formatting, period metrics and the
// report charts. Each source file defines the functions of one topic;
// module.cpp binds them in the module's definition order.
#pragma once

#include <cmath>
#include <initializer_list>
#include <vector>

#include <module_frame/frame.hpp>

#include <native_glue/backtest.hpp>
#include <native_glue/pandas.hpp>

namespace tolvane::strategy_kernel {

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

// Trading days per year: TRADING_DAYS_PER_YEAR, and the annualisation the
// statistics and the benchmark summary write into their formulas.
inline constexpr int trading_days_per_year = 252;

// The eight market matrices a weight matrix trades against, in the order the
// engine and the runner take them.
inline constexpr const char *market_matrix_names[] = {
    "can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor",
    "close_price",   "prev_close",      "buy_price",    "sell_price",
};

// The weight matrix parameter (named `weights_name`) followed by the eight
// market matrices.
std::vector<mf::Param> backtest_matrix_params(const char *weights_name);

using glue::backtest::default_lot_size;
using glue::backtest::joined_params;
using glue::backtest::lot_size_param;
using glue::backtest::trading_cost_params;

// Docstring lines of the parameters the engine and the runner share.
#define STRATEGY_MARKET_MATRICES_DOC                                                                         \
    "    can_buy_stock: 可买入矩阵, True 表示当日可以买入。\n"                                               \
    "    cant_sell_stock: 不可卖出矩阵, True 表示当日不能卖出。\n"                                           \
    "    split_factor: 拆分/送股因子(每股拆分后的股数); NaN 视为 1。\n"                                      \
    "    dividend_factor: 每股现金分红; NaN 视为 0。\n"                                                      \
    "    close_price: 当日收盘价。\n"                                                                        \
    "    prev_close: 前一交易日收盘价。\n"                                                                   \
    "    buy_price: 当日买入成交价(VWAP)。\n"                                                                \
    "    sell_price: 当日卖出成交价(VWAP)。\n"

using glue::pandas::infinities_as_missing;
using glue::pandas::nan_value;

}  // namespace tolvane::strategy_kernel
