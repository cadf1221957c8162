// What the backtest modules share when they hand work to the portfolio
// kernels: checked views of arrays as the kernels' matrix views, the aligned
// market arrays of `_build_market_arrays`, and the trading parameters a
// backtest can run with.
#pragma once

#include <module_frame/arrays.hpp>

#include <initializer_list>
#include <vector>

#include "strategy_engine.hpp"

namespace tolvane::glue::backtest {

namespace mf = module_frame;
namespace nb = nanobind;

// The view of a checked two-dimensional array, with its element strides.
template <typename T>
kernels::MatrixView<T> matrix_view(const mf::KernelArray<T, 2> &array) {
    return {array.data(), static_cast<std::ptrdiff_t>(array.stride(0)),
            static_cast<std::ptrdiff_t>(array.stride(1))};
}

// The eight arrays of the mapping `_build_market_arrays` returns, looked up
// in the engine's order: "prev_close_arr", "can_buy_arr", "cant_sell_arr",
// "close_arr", "buy_price_arr", "sell_price_arr", "split_arr",
// "dividend_arr". A missing key raises the mapping's KeyError.
struct MarketEntries {
    nb::object arrays[8];
};

MarketEntries market_entries(nb::handle market);

// Views of the market arrays, each checked to be (n_days, n_stocks): float
// arrays of another dtype are converted (a copy); the restrictions must be
// boolean, as `&` and `~` need them.
kernels::MarketArrays market_arrays(mf::KernelArrays &inputs, const MarketEntries &entries,
                                    std::size_t n_days, std::size_t n_stocks);

// Raises ValueError naming the first trading parameter a backtest cannot run
// with: a capital that is not a finite positive number, a fee or rule_fee
// outside [0, 1), or a lot size below 1.
void check_trading_costs(double total_money, double fee, double rule_fee, long long lot_size);

// The call's total_money, fee, rule_fee and lot_size, checked as above.
kernels::TradingCosts checked_trading_costs(mf::Call &call);

// Shares per trading lot: the engines' default and the lot the runner trades in.
inline constexpr long long default_lot_size = 200;

// The parameters total_money, fee and rule_fee with their defaults.
std::vector<mf::Param> trading_cost_params();

// The parameter lot_size with its default.
mf::Param lot_size_param();

// Parameter lists joined in order.
std::vector<mf::Param> joined_params(std::initializer_list<std::vector<mf::Param>> parts);

// Docstring lines of the trading parameters.
#define STRATEGY_TRADING_COSTS_DOC                                                                           \
    "    total_money: 固定资金, 必须是有限的正数, 默认 1e8。\n"                                              \
    "    fee: 佣金费率, 买卖双边收取, 取值 [0, 1), 默认 0.0001。\n"                                          \
    "    rule_fee: 印花税及规费费率, 仅卖出收取, 取值 [0, 1), 默认 0.0005。\n"

// Docstring line of lot_size.
#define STRATEGY_LOT_SIZE_DOC "    lot_size: 每手股数, 不小于 1, 默认 200。\n"

}  // namespace tolvane::glue::backtest
