// calc_strategy_vwap_daily_return: checks the trading parameters, aligns the
// market matrices, takes zero-copy views of every array and runs the fused
// engine kernel without the GIL.
#include "strategy_engine.hpp"
#include "strategy_kernel.hpp"

namespace tolvane::strategy_kernel {

using namespace nb::literals;
using glue::backtest::matrix_view;

std::vector<mf::Param> backtest_matrix_params(const char *weights_name) {
    std::vector<mf::Param> params{{.name = weights_name, .annotation = "pd.DataFrame"}};
    for (const char *name : market_matrix_names)
        params.push_back({.name = name, .annotation = "pd.DataFrame"});
    return params;
}

namespace {

nb::object calc_strategy_vwap_daily_return(mf::Call &call) {
    const kernels::TradingCosts costs = glue::backtest::checked_trading_costs(call);

    nb::handle signal_matrix = call.arg("signal_matrix");
    nb::handle float_type(reinterpret_cast<PyObject *>(&PyFloat_Type));
    nb::object pd = call.global("pd");
    nb::object source_index = signal_matrix.attr("index");
    nb::object columns = signal_matrix.attr("columns");
    if (nb::len(source_index) <= 1)
        return pd.attr("Series")("dtype"_a = float_type);

    nb::object pnl_index = source_index[nb::slice(nb::int_(1), nb::none(), nb::none())];
    const glue::backtest::MarketEntries market =
        glue::backtest::market_entries(call.global("_build_market_arrays")(
            pnl_index, columns, call.arg("can_buy_stock"), call.arg("cant_sell_stock"),
            call.arg("split_factor"), call.arg("dividend_factor"), call.arg("close_price"),
            call.arg("prev_close"), call.arg("buy_price"), call.arg("sell_price")));

    // Row i of the weights is the signal traded on day i + 1, so the kernel
    // reads the unshifted matrix in place. Aligning the shifted weights to the
    // return dates is only that identity when the dates are unique; otherwise
    // pandas refuses the alignment, and says why.
    if (!nb::bool_(source_index.attr("is_unique")))
        signal_matrix.attr("shift")(1).attr("reindex")("index"_a = pnl_index, "columns"_a = columns);
    nb::object weight_values = signal_matrix.attr("to_numpy")("dtype"_a = float_type, "copy"_a = false);

    const std::size_t n_days = nb::len(pnl_index);
    const std::size_t n_stocks = nb::len(columns);
    mf::KernelArrays inputs;
    const kernels::MatrixView<double> weight_view = matrix_view(inputs.add<double, 2>(
        weight_values, "signal_matrix.to_numpy()", {n_days + 1, n_stocks}, mf::Dtype::Convert));
    const kernels::MarketArrays arrays = glue::backtest::market_arrays(inputs, market, n_days, n_stocks);

    double *returns = nullptr;
    nb::object daily_return = mf::new_numpy_vector(n_days, returns);
    {
        nb::gil_scoped_release no_gil;
        kernels::strategy_daily_cash(weight_view, arrays, n_days, n_stocks, costs, returns);
        for (std::size_t day = 0; day < n_days; ++day)
            returns[day] /= costs.total_money;
    }
    return pd.attr("Series")(daily_return, "index"_a = pnl_index);
}

}  // namespace

const mf::FunctionDef calc_strategy_vwap_daily_return_def{
    .name = "calc_strategy_vwap_daily_return",
    .impl = calc_strategy_vwap_daily_return,
    .params = joined_params({
        backtest_matrix_params("signal_matrix"),
        trading_cost_params(),
        {lot_size_param()},
    }),
    .returns = "pd.Series",
    .doc =
        "计算策略权重矩阵的 VWAP 日收益序列(T-1 日信号在 T 日成交)。\n"
        "\n"
        "每个交易日用前一日的权重和前收盘价按固定资金 total_money 计算目标股数,\n"
        "向下取整到整手; 以当日 VWAP 买入价/卖出价向目标调仓, 不可买的股票不买入,\n"
        "不可卖的股票继续持有; 持有与卖出的股份计入拆分因子与当日分红;\n"
        "买卖两边收取佣金 fee, 卖出另收印花税及规费 rule_fee。当日盈亏除以\n"
        "total_money 即为当日收益。只持有权重大于 0 的股票(不做空)。\n"
        "\n"
        "Args:\n"
        "    signal_matrix: 目标权重矩阵(日期 × 股票); NaN 或 0 表示不持有。\n" STRATEGY_MARKET_MATRICES_DOC
            STRATEGY_TRADING_COSTS_DOC STRATEGY_LOT_SIZE_DOC "\n"
        "Returns:\n"
        "    pd.Series: 以 signal_matrix.index[1:] 为索引的日收益(比例, 0.01 = 1%);\n"
        "    权重矩阵不足两行时为空序列。\n"
        "\n"
        "Raises:\n"
        "    ValueError: total_money、fee、rule_fee 或 lot_size 超出取值范围(在任何计算之前)。\n",
};

}  // namespace tolvane::strategy_kernel
