// Report charts of tolvane.backtest._strategy_kernel: the weekly net value
// frame, the yearly metrics table, the performance chart and the weekly net
// value chart. The module's populate step binds these functions in its
// definition order.
#pragma once

#include <module_frame/frame.hpp>

namespace strategy_kernel {

extern const module_frame::FunctionDef draw_yearly_metrics_table_def;
extern const module_frame::FunctionDef build_weekly_net_value_frame_def;
extern const module_frame::FunctionDef plot_strategy_performance_def;
extern const module_frame::FunctionDef plot_strategy_performance_unlocked_def;
extern const module_frame::FunctionDef plot_weekly_net_value_def;
extern const module_frame::FunctionDef plot_weekly_net_value_unlocked_def;

// The rolling win-rate function that the performance chart hands to pandas
// (`_plot_strategy_performance_unlocked.<locals>.<lambda>`). It is not a
// module-level name, so the populate step creates it once, beside the
// function that uses it.
void make_rolling_win_rate(module_frame::ModuleBuilder &module);

}  // namespace strategy_kernel
