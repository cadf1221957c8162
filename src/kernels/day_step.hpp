// One stock's trading day, as every portfolio engine books it: the
// lot-rounded share target sized from the fixed capital, the trade towards it
// within the day's buy and sell permissions, and the profit per share bought,
// held and sold (split, dividend, commission and levies included).
//
// The single-portfolio engine and the factor group engine both step through
// these functions, so the two cannot disagree on a rule. Every expression
// keeps the operand order of the whole-matrix definition of the daily return,
// so each value is the same bit for bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd_clones.hpp"
#include "strategy_engine.hpp"

namespace tolvane::kernels::day_step {

// The step's functions are always inlined: called from the SIMD clones of the
// engines' loops, GCC otherwise keeps some of them as calls, and the loop that
// walks a stock through a chunk of days runs at half its speed.
#define TOLVANE_STEP [[gnu::always_inline]] inline

inline constexpr double kMaxFinite = std::numeric_limits<double>::max();

// The day's five profit-and-loss sums, kept apart so that they are added in
// one fixed order at the end of the day whatever order the stocks come in.
struct DaySums {
    double buy = 0.0;
    double hold = 0.0;
    double hold_dividend = 0.0;
    double sell = 0.0;
    double sell_dividend = 0.0;

    void add(const DaySums &other) {
        buy += other.buy;
        hold += other.hold;
        hold_dividend += other.hold_dividend;
        sell += other.sell;
        sell_dividend += other.sell_dividend;
    }

    double cash() const { return buy + hold + hold_dividend + sell + sell_dividend; }
};

// `condition ? if_true : if_false` on the bits, so that it never becomes a
// branch: scalar loops over random market data would mispredict them.
TOLVANE_STEP double choose(bool condition, double if_true, double if_false) {
    const std::uint64_t mask = -static_cast<std::uint64_t>(condition);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(if_true) & mask) |
                                 (std::bit_cast<std::uint64_t>(if_false) & ~mask));
}

// floor(x) for x >= 0 (and +inf, NaN passed through) without a library call,
// so that it vectorises on any x86-64: adding and removing 2^52 rounds to the
// nearest integer, and one step down fixes a round-up.
TOLVANE_STEP double floor_nonnegative(double x) {
    constexpr double kTwoPow52 = 4503599627370496.0;
    const double nearest = (x + kTwoPow52) - kTwoPow52;
    const double down = choose(nearest > x, nearest - 1.0, nearest);
    return choose(x < kTwoPow52, down, x);
}

// NaN becomes 0 and infinities the largest finite doubles (numpy's
// nan_to_num).
TOLVANE_STEP double finite_or_zero(double value) {
    const double clamped = std::min(std::max(value, -kMaxFinite), kMaxFinite);
    return choose(value == value, clamped, 0.0);
}

// Constants of one call, formed once as the whole-matrix definition forms them.
struct Rates {
    double total_money;
    double lot_size;
    double one_plus_fee;
    double sell_keep;

    explicit Rates(const TradingCosts &costs)
        : total_money(costs.total_money), lot_size(costs.lot_size), one_plus_fee(1.0 + costs.fee),
          sell_keep((1.0 - costs.fee) - costs.rule_fee) {}
};

// The shares a weight buys at yesterday's close, rounded down to whole lots;
// 0 for a weight that is not positive and for a missing or non-positive close.
TOLVANE_STEP double lot_target(double weight, double prev_close, const Rates &rates) {
    const double raw_lots = (rates.total_money * weight) / (prev_close * rates.lot_size);
    const bool valid = (weight > 0.0) & (prev_close > 0.0) & (prev_close <= kMaxFinite);
    return choose(valid, floor_nonnegative(raw_lots) * rates.lot_size, 0.0);
}

// What one stock's day pays per share, whoever holds it: bought today (marked
// at the close, commission paid), held from yesterday's close (split applied
// to today's side), sold today (commission and levies paid), and the dividend.
struct StockDayMarket {
    double buy_gain;
    double hold_gain;
    double sell_gain;
    double dividend;
};

TOLVANE_STEP StockDayMarket stock_day_market(double prev_close, double close, double buy_price,
                                             double sell_price, double split, double dividend,
                                             const Rates &rates) {
    const double split_eff = choose(split == split, split, 1.0);
    return {
        finite_or_zero(close - buy_price * rates.one_plus_fee),
        finite_or_zero(split_eff * close - prev_close),
        finite_or_zero(split_eff * sell_price * rates.sell_keep - prev_close),
        finite_or_zero(dividend),
    };
}

// A block's permission bytes as doubles for a vectorised sweep: `buyable`
// 1.0 where buying is allowed, `sellable` 1.0 where selling is. A loop mixing
// bytes and doubles would be vectorised at the byte width.
TOLVANE_STEP void widen_permissions(const std::uint8_t *can_buy, const std::uint8_t *cant_sell,
                                    std::size_t width, double *buyable, double *sellable) {
    for (std::size_t k = 0; k < width; ++k) {
        buyable[k] = can_buy[k] != 0 ? 1.0 : 0.0;
        sellable[k] = cant_sell[k] != 0 ? 0.0 : 1.0;
    }
}

// The shares one trade buys, keeps from yesterday and sells.
struct Trade {
    double bought;
    double held;
    double sold;
};

// Trades `holding` towards `target` within the day's permissions.
TOLVANE_STEP Trade trade(double target, bool can_buy, bool cant_sell, double &holding) {
    const double diff = target - holding;
    const double bought = choose((diff > 0.0) & can_buy, diff, 0.0);
    const double sold = choose((diff < 0.0) & !cant_sell, -diff, 0.0);
    const double held = holding - sold;
    holding = held + bought;
    return {bought, held, sold};
}

// The trade that took a holding from `before` to `after`, both whole share
// counts below 2^53 (so exact): it is the trade `trade` makes, value for value.
TOLVANE_STEP Trade trade_between(double before, double after) {
    return {std::max(after - before, 0.0), std::min(before, after), std::max(before - after, 0.0)};
}

// Adds a trade's five profit-and-loss terms to `sums`.
TOLVANE_STEP void book(const Trade &done, const StockDayMarket &market, DaySums &sums) {
    sums.buy += done.bought * market.buy_gain;
    sums.hold += done.held * market.hold_gain;
    sums.hold_dividend += done.held * market.dividend;
    sums.sell += done.sold * market.sell_gain;
    sums.sell_dividend += done.sold * market.dividend;
}

// Trades `holding` towards `target` within the day's permissions and adds the
// stock's five profit-and-loss terms to `sums`.
TOLVANE_STEP void trade_and_book(double target, const StockDayMarket &market, bool can_buy, bool cant_sell,
                                 double &holding, DaySums &sums) {
    book(trade(target, can_buy, cant_sell, holding), market, sums);
}

// A trade's day in one sum, its five terms added in DaySums::cash's order.
TOLVANE_STEP double day_cash(const Trade &done, const StockDayMarket &market) {
    return (((done.bought * market.buy_gain + done.held * market.hold_gain) + done.held * market.dividend) +
            done.sold * market.sell_gain) +
           done.sold * market.dividend;
}

// What one share bought or sold today trades for: the buy price, and the
// sell price on the split-adjusted count the sale's proceeds are booked on.
// A missing price counts 0, as it adds nothing to the day's profit either.
struct TradePrices {
    double buy;
    double sell;
};

TOLVANE_STEP TradePrices trade_prices(double buy_price, double sell_price, double split) {
    const double split_eff = choose(split == split, split, 1.0);
    return {finite_or_zero(buy_price), finite_or_zero(split_eff * sell_price)};
}

// The money a trade moves, buys and sells alike counted positive.
TOLVANE_STEP double traded_value(const Trade &done, const TradePrices &prices) {
    return done.bought * prices.buy + done.sold * prices.sell;
}

}  // namespace tolvane::kernels::day_step
