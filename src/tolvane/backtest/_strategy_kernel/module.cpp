// tolvane.backtest._strategy_kernel: module set-up, in the module's order.
#include "strategy_kernel.hpp"

namespace tolvane::strategy_kernel {
namespace {

constexpr const char *module_doc =
    "策略层 VWAP 日收益纯计算核心。\n"
    "\n"
    "由策略权重矩阵与行情矩阵计算单一组合的日收益(T-1 日信号 T 日成交),\n"
    "并提供统计指标、回测流水线、数字格式化与分年度指标。\n"
    "整手取整、拆分/分红处理与费用规则与 tolvane.backtest._core 中因子分组回测的\n"
    "calc_all_group_vwap_daily_return 保持一致, 因此单一等权组合与单一因子分组的\n"
    "结果可以相互印证。\n";

constexpr const char *result_doc =
    "策略回测内部结果对象。\n"
    "\n"
    "所有字段都是内部计算结果, 策略服务层据此构建对外的 StrategyBacktestResult 响应。\n"
    "\n"
    "Attributes:\n"
    "    strategy_name: 策略显示名称。\n"
    "    daily_return: 策略日收益(比例)。\n"
    "    cumulative_return: 策略累计净值(日收益累加 + 1)。\n"
    "    stats: calc_strategy_stats 返回的统计指标字典。\n"
    "    benchmark_summary: 每个基准一行的汇总表。\n"
    "    plot_paths: 图表类型 → 已保存的文件路径。\n";

// The result shows itself in a notebook; the page is put together in Python.
nb::object result_repr_html(mf::Call &call) {
    return nb::module_::import_("tolvane.backtest.report").attr("result_html")(call.arg("self"));
}

const mf::FunctionDef result_repr_html_def{
    .name = "_repr_html_",
    .impl = result_repr_html,
    .params = {{.name = "self"}},
    .returns = "str",
    .doc = "在 notebook 中显示: 统计表、基准汇总与已保存的主报告图 (见 report.result_html)。\n",
    .qualname = "_StrategyCoreResult._repr_html_",
};

void populate(mf::ModuleBuilder &module) {
    module.import("contextlib");
    nb::object threading = module.import("threading");
    module.import_from("dataclasses", {"dataclass"});
    module.import_from("pathlib", {"Path"});
    module.import("numpy", "np");
    module.import("pandas", "pd");
    module.import_from("._core", {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"});

    module.set("_MATPLOTLIB_PLOT_LOCK", threading.attr("RLock")());
    module.set("TRADING_DAYS_PER_YEAR", nb::int_(trading_days_per_year));
    module.set("ROLLING_STABILITY_DAYS", nb::int_(60));
    module.set("MIN_ROLLING_STABILITY_DAYS", nb::int_(5));
    nb::object result_class = module.add_dataclass("_StrategyCoreResult", result_doc,
                                                   {
                                                       {"strategy_name", "str"},
                                                       {"daily_return", "pd.Series"},
                                                       {"cumulative_return", "pd.Series"},
                                                       {"stats", "dict"},
                                                       {"benchmark_summary", "pd.DataFrame"},
                                                       {"plot_paths", "dict[str, str]"},
                                                   });
    result_class.attr("_repr_html_") = module.make_function(result_repr_html_def);

    module.function(calc_strategy_vwap_daily_return_def);
    module.function(calc_strategy_stats_def);
    module.function(run_strategy_backtest_core_def);
    module.function(format_pct_def);
    module.function(format_pct_points_def);
    module.function(format_num_def);
    module.function(format_annual_excess_def);
    module.function(period_return_drawdown_calmar_def);
    module.function(calc_yearly_performance_metrics_def);
    module.function(draw_yearly_metrics_table_def);
    module.function(build_weekly_net_value_frame_def);
    module.function(plot_strategy_performance_def);
    module.function(plot_strategy_performance_unlocked_def);
    module.function(plot_weekly_net_value_def);
    module.function(plot_weekly_net_value_unlocked_def);
}

mf::ModuleDef strategy_kernel_module{
    .full_name = "tolvane.backtest._strategy_kernel",
    .source_path = "src/tolvane/backtest/_strategy_kernel",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace
}  // namespace tolvane::strategy_kernel

TOLVANE_MODULE(_strategy_kernel, tolvane::strategy_kernel::strategy_kernel_module)
