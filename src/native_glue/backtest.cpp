#include <native_glue/backtest.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

namespace tolvane::glue::backtest {

namespace {

constexpr const char *market_keys[8] = {
    "prev_close_arr", "can_buy_arr",    "cant_sell_arr", "close_arr",
    "buy_price_arr",  "sell_price_arr", "split_arr",     "dividend_arr",
};

template <typename T>
kernels::MatrixView<T> market_view(mf::KernelArrays &inputs, nb::handle array, const char *key,
                                   std::size_t n_days, std::size_t n_stocks) {
    constexpr mf::Dtype dtype = std::is_same_v<T, bool> ? mf::Dtype::Exact : mf::Dtype::Convert;
    return matrix_view(inputs.add<T, 2>(array, std::string("行情数组 ") + key, {n_days, n_stocks}, dtype));
}

kernels::MatrixView<std::uint8_t> as_bytes(const kernels::MatrixView<bool> &view) {
    return {reinterpret_cast<const std::uint8_t *>(view.data), view.row_stride, view.col_stride};
}

std::string repr_of(double value) {
    return nb::repr(nb::float_(value)).c_str();
}

}  // namespace

MarketEntries market_entries(nb::handle market) {
    MarketEntries entries;
    for (std::size_t i = 0; i < 8; ++i)
        entries.arrays[i] = market[market_keys[i]];
    return entries;
}

kernels::MarketArrays market_arrays(mf::KernelArrays &inputs, const MarketEntries &entries,
                                    std::size_t n_days, std::size_t n_stocks) {
    const nb::object *a = entries.arrays;
    return {
        market_view<double>(inputs, a[0], market_keys[0], n_days, n_stocks),
        as_bytes(market_view<bool>(inputs, a[1], market_keys[1], n_days, n_stocks)),
        as_bytes(market_view<bool>(inputs, a[2], market_keys[2], n_days, n_stocks)),
        market_view<double>(inputs, a[3], market_keys[3], n_days, n_stocks),
        market_view<double>(inputs, a[4], market_keys[4], n_days, n_stocks),
        market_view<double>(inputs, a[5], market_keys[5], n_days, n_stocks),
        market_view<double>(inputs, a[6], market_keys[6], n_days, n_stocks),
        market_view<double>(inputs, a[7], market_keys[7], n_days, n_stocks),
    };
}

void check_trading_costs(double total_money, double fee, double rule_fee, long long lot_size) {
    if (!std::isfinite(total_money) || total_money <= 0.0)
        mf::raise(PyExc_ValueError, "参数 total_money 必须是有限的正数, 当前为 " + repr_of(total_money));
    if (!(fee >= 0.0 && fee < 1.0))
        mf::raise(PyExc_ValueError, "参数 fee 必须在 [0, 1) 区间内, 当前为 " + repr_of(fee));
    if (!(rule_fee >= 0.0 && rule_fee < 1.0))
        mf::raise(PyExc_ValueError, "参数 rule_fee 必须在 [0, 1) 区间内, 当前为 " + repr_of(rule_fee));
    if (lot_size < 1)
        mf::raise(PyExc_ValueError, "参数 lot_size 必须不小于 1, 当前为 " + std::to_string(lot_size));
}

kernels::TradingCosts checked_trading_costs(mf::Call &call) {
    const double total_money = call.as_double("total_money");
    const double fee = call.as_double("fee");
    const double rule_fee = call.as_double("rule_fee");
    const long long lot_size = call.as_long("lot_size");
    check_trading_costs(total_money, fee, rule_fee, lot_size);
    return {total_money, fee, rule_fee, static_cast<double>(lot_size)};
}

std::vector<mf::Param> trading_cost_params() {
    return {
        {.name = "total_money",
         .annotation = "float",
         .convert = mf::Convert::Float,
         .default_value = mf::float_default(1e8)},
        {.name = "fee",
         .annotation = "float",
         .convert = mf::Convert::Float,
         .default_value = mf::float_default(0.0001)},
        {.name = "rule_fee",
         .annotation = "float",
         .convert = mf::Convert::Float,
         .default_value = mf::float_default(0.0005)},
    };
}

mf::Param lot_size_param() {
    return {.name = "lot_size",
            .annotation = "int",
            .convert = mf::Convert::Int,
            .default_value = mf::int_default(default_lot_size)};
}

std::vector<mf::Param> joined_params(std::initializer_list<std::vector<mf::Param>> parts) {
    std::vector<mf::Param> params;
    for (const std::vector<mf::Param> &part : parts)
        params.insert(params.end(), part.begin(), part.end());
    return params;
}

}  // namespace tolvane::glue::backtest
