#include "strategy_engine.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace tolvane::kernels {
namespace {

// The two vectorised loops are built for the baseline and for AVX2 machines
// and chosen when the library loads; AVX2 brings wider vectors.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__)
#define TOLVANE_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TOLVANE_SIMD_CLONES
#endif

constexpr double kMaxFinite = std::numeric_limits<double>::max();

// The day's five profit-and-loss sums, kept apart so that they are added in
// one fixed order at the end of the day whatever order the stocks come in.
struct DaySums {
    double buy = 0.0;
    double hold = 0.0;
    double hold_dividend = 0.0;
    double sell = 0.0;
    double sell_dividend = 0.0;
};

// `condition ? if_true : if_false` on the bits, so that it never becomes a
// branch: scalar loops over random market data would mispredict them.
inline double choose(bool condition, double if_true, double if_false) {
    const std::uint64_t mask = -static_cast<std::uint64_t>(condition);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(if_true) & mask) |
                                 (std::bit_cast<std::uint64_t>(if_false) & ~mask));
}

// floor(x) for x >= 0 (and +inf, NaN passed through) without a library call,
// so that it vectorises on any x86-64: adding and removing 2^52 rounds to the
// nearest integer, and one step down fixes a round-up.
inline double floor_nonnegative(double x) {
    constexpr double kTwoPow52 = 4503599627370496.0;
    const double nearest = (x + kTwoPow52) - kTwoPow52;
    const double down = choose(nearest > x, nearest - 1.0, nearest);
    return choose(x < kTwoPow52, down, x);
}

// NaN becomes 0 and infinities the largest finite doubles (numpy's
// nan_to_num).
inline double finite_or_zero(double value) {
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
        : total_money(costs.total_money),
          lot_size(costs.lot_size),
          one_plus_fee(1.0 + costs.fee),
          sell_keep((1.0 - costs.fee) - costs.rule_fee) {}
};

// What one stock's day brings apart from the holding it starts with: the
// lot-rounded share target and the profit per share bought, held and sold,
// and the dividend per share. Every expression keeps the operand order of the
// whole-matrix definition, so each value is the same bit for bit.
struct StockDayGains {
    double target;
    double buy_gain;
    double hold_gain;
    double sell_gain;
    double dividend;
};

inline StockDayGains stock_day_gains(double weight, double prev_close, double close,
                                     double buy_price, double sell_price, double split,
                                     double dividend, const Rates &rates) {
    const double raw_lots = (rates.total_money * weight) / (prev_close * rates.lot_size);
    const bool valid = (weight > 0.0) & (prev_close > 0.0) & (prev_close <= kMaxFinite);
    const double split_eff = choose(split == split, split, 1.0);
    return {
        choose(valid, floor_nonnegative(raw_lots) * rates.lot_size, 0.0),
        finite_or_zero(close - buy_price * rates.one_plus_fee),
        finite_or_zero(split_eff * close - prev_close),
        finite_or_zero(split_eff * sell_price * rates.sell_keep - prev_close),
        finite_or_zero(dividend),
    };
}

// Trades `holding` towards the day's target within the day's permissions and
// adds the stock's five profit-and-loss terms to `sums`.
inline void trade_and_book(const StockDayGains &gains, bool can_buy, bool cant_sell,
                           double &holding, DaySums &sums) {
    const double diff = gains.target - holding;
    const double bought = choose((diff > 0.0) & can_buy, diff, 0.0);
    const double sold = choose((diff < 0.0) & !cant_sell, -diff, 0.0);
    const double held = holding - sold;
    holding = held + bought;

    sums.buy += bought * gains.buy_gain;
    sums.hold += held * gains.hold_gain;
    sums.hold_dividend += held * gains.dividend;
    sums.sell += sold * gains.sell_gain;
    sums.sell_dividend += sold * gains.dividend;
}

// Market rows contiguous (C order, as a prepared store's memory maps are):
// day by day, each day a contiguous, vectorised sweep over the stocks with
// the holding vector in cache. The sweep goes in
// blocks whose permission bytes are first widened to doubles: a loop that
// mixed bytes and doubles would be vectorised at the byte width and spill.
constexpr std::size_t kSweepBlock = 256;

TOLVANE_SIMD_CLONES void sweep_block(const double *weight, const double *prev_close,
                                     const std::uint8_t *can_buy, const std::uint8_t *cant_sell,
                                     const double *close, const double *buy_price,
                                     const double *sell_price, const double *split,
                                     const double *dividend, std::size_t width,
                                     const Rates &rates, double *holding, DaySums &day_sums) {
    double buyable[kSweepBlock];
    double sellable[kSweepBlock];
    for (std::size_t k = 0; k < width; ++k) {
        buyable[k] = can_buy[k] != 0 ? 1.0 : 0.0;
        sellable[k] = cant_sell[k] != 0 ? 0.0 : 1.0;
    }
    double buy = 0.0, hold = 0.0, hold_dividend = 0.0, sell = 0.0, sell_dividend = 0.0;
#pragma omp simd reduction(+ : buy, hold, hold_dividend, sell, sell_dividend)
    for (std::size_t k = 0; k < width; ++k) {
        DaySums sums;
        trade_and_book(stock_day_gains(weight[k], prev_close[k], close[k], buy_price[k],
                                       sell_price[k], split[k], dividend[k], rates),
                       buyable[k] != 0.0, sellable[k] == 0.0, holding[k], sums);
        buy += sums.buy;
        hold += sums.hold;
        hold_dividend += sums.hold_dividend;
        sell += sums.sell;
        sell_dividend += sums.sell_dividend;
    }
    day_sums.buy += buy;
    day_sums.hold += hold;
    day_sums.hold_dividend += hold_dividend;
    day_sums.sell += sell;
    day_sums.sell_dividend += sell_dividend;
}

// Days whose weights are gathered together: eight doubles, one cache line
// of a stock's column when the weights come in pandas' column layout.
constexpr std::size_t kWeightDays = 8;

void run_day_major(const MatrixView<double> &weights, const MarketArrays &market,
                   std::size_t n_days, std::size_t n_stocks, const Rates &rates,
                   DaySums *totals) {
    std::vector<double> holding(n_stocks, 0.0);
    // Other weights are gathered a few days at a time, one contiguous row per
    // day: stock by stock, each weight column's lines (and pages) are read
    // once per few days instead of once per day.
    // Row-major weights are read in place.
    const bool gather = weights.col_stride != 1;
    std::vector<double> day_weights(gather ? kWeightDays * n_stocks : 0);
    for (std::size_t first_day = 0; first_day < n_days; first_day += kWeightDays) {
        const std::size_t days = std::min(kWeightDays, n_days - first_day);
        for (std::size_t stock = 0; gather && stock < n_stocks; ++stock)
            for (std::size_t d = 0; d < days; ++d)
                day_weights[d * n_stocks + stock] =
                    weights.at(static_cast<std::ptrdiff_t>(first_day + d), static_cast<std::ptrdiff_t>(stock));
        for (std::size_t d = 0; d < days; ++d) {
            const std::size_t day = first_day + d;
            const auto row = static_cast<std::ptrdiff_t>(day);
            const double *weight_row = gather ? day_weights.data() + d * n_stocks : &weights.at(row, 0);
            for (std::size_t first = 0; first < n_stocks; first += kSweepBlock) {
                const auto col = static_cast<std::ptrdiff_t>(first);
                sweep_block(weight_row + first, &market.prev_close.at(row, col),
                            &market.can_buy.at(row, col), &market.cant_sell.at(row, col),
                            &market.close.at(row, col), &market.buy_price.at(row, col),
                            &market.sell_price.at(row, col), &market.split.at(row, col),
                            &market.dividend.at(row, col), std::min(kSweepBlock, n_stocks - first),
                            rates, holding.data() + first, totals[day]);
            }
        }
    }
}

// Any other layout (columns contiguous, as pandas stores frames, or strided)
// goes stock by stock through chunks of days. Everything but the holding
// recurrence is independent from day to day, so it is first computed for a
// chunk along the stock's column (a sequential, vectorised stream); then the
// recurrence runs over a group of stocks whose chains overlap.
constexpr std::size_t kChunkDays = 128;
constexpr std::size_t kStockGroup = 4;

struct StockChunk {
    double target[kChunkDays];
    double buy_gain[kChunkDays];
    double hold_gain[kChunkDays];
    double sell_gain[kChunkDays];
    double dividend[kChunkDays];
};

TOLVANE_SIMD_CLONES void prepare_stock_chunk(const MatrixView<double> &weights,
                                             const MarketArrays &market, std::size_t first_day,
                                             std::size_t days, std::size_t stock,
                                             const Rates &rates, StockChunk &chunk) {
    const auto col = static_cast<std::ptrdiff_t>(stock);
    const auto row0 = static_cast<std::ptrdiff_t>(first_day);
    const double *weight = &weights.at(row0, col);
    const double *prev_close = &market.prev_close.at(row0, col);
    const double *close = &market.close.at(row0, col);
    const double *buy_price = &market.buy_price.at(row0, col);
    const double *sell_price = &market.sell_price.at(row0, col);
    const double *split = &market.split.at(row0, col);
    const double *dividend = &market.dividend.at(row0, col);
    const std::ptrdiff_t ws = weights.row_stride, ps = market.prev_close.row_stride,
                         cs = market.close.row_stride, bs = market.buy_price.row_stride,
                         ss = market.sell_price.row_stride, xs = market.split.row_stride,
                         ds = market.dividend.row_stride;
    for (std::size_t d = 0; d < days; ++d) {
        const auto i = static_cast<std::ptrdiff_t>(d);
        const StockDayGains gains = stock_day_gains(
            weight[i * ws], prev_close[i * ps], close[i * cs], buy_price[i * bs],
            sell_price[i * ss], split[i * xs], dividend[i * ds], rates);
        chunk.target[d] = gains.target;
        chunk.buy_gain[d] = gains.buy_gain;
        chunk.hold_gain[d] = gains.hold_gain;
        chunk.sell_gain[d] = gains.sell_gain;
        chunk.dividend[d] = gains.dividend;
    }
}

template <std::size_t kGroup>
void run_stock_group(const MatrixView<double> &weights, const MarketArrays &market,
                     std::size_t n_days, std::size_t first_stock, const Rates &rates,
                     DaySums *totals) {
    double holding[kGroup] = {};
    StockChunk chunks[kGroup];
    for (std::size_t first_day = 0; first_day < n_days; first_day += kChunkDays) {
        const std::size_t days = std::min(kChunkDays, n_days - first_day);
        for (std::size_t k = 0; k < kGroup; ++k) {
            prepare_stock_chunk(weights, market, first_day, days, first_stock + k, rates, chunks[k]);
        }
        for (std::size_t d = 0; d < days; ++d) {
            const auto row = static_cast<std::ptrdiff_t>(first_day + d);
            DaySums sums;
#pragma GCC unroll 8
            for (std::size_t k = 0; k < kGroup; ++k) {
                const auto col = static_cast<std::ptrdiff_t>(first_stock + k);
                const StockChunk &c = chunks[k];
                trade_and_book({c.target[d], c.buy_gain[d], c.hold_gain[d], c.sell_gain[d], c.dividend[d]},
                               market.can_buy.at(row, col) != 0,
                               market.cant_sell.at(row, col) != 0, holding[k], sums);
            }
            DaySums &total = totals[first_day + d];
            total.buy += sums.buy;
            total.hold += sums.hold;
            total.hold_dividend += sums.hold_dividend;
            total.sell += sums.sell;
            total.sell_dividend += sums.sell_dividend;
        }
    }
}

void run_stock_major(const MatrixView<double> &weights, const MarketArrays &market,
                     std::size_t n_days, std::size_t n_stocks, const Rates &rates,
                     DaySums *totals) {
    std::size_t first = 0;
    for (; first + kStockGroup <= n_stocks; first += kStockGroup) {
        run_stock_group<kStockGroup>(weights, market, n_days, first, rates, totals);
    }
    for (; first < n_stocks; ++first) {
        run_stock_group<1>(weights, market, n_days, first, rates, totals);
    }
}

bool rows_contiguous(const MarketArrays &market) {
    return market.prev_close.col_stride == 1 &&
           market.can_buy.col_stride == 1 && market.cant_sell.col_stride == 1 &&
           market.close.col_stride == 1 && market.buy_price.col_stride == 1 &&
           market.sell_price.col_stride == 1 && market.split.col_stride == 1 &&
           market.dividend.col_stride == 1;
}

}  // namespace

void strategy_daily_cash(const MatrixView<double> &weights, const MarketArrays &market,
                         std::size_t n_days, std::size_t n_stocks, const TradingCosts &costs,
                         double *daily_cash) {
    const Rates rates(costs);
    std::vector<DaySums> totals(n_days);
    if (rows_contiguous(market)) {
        run_day_major(weights, market, n_days, n_stocks, rates, totals.data());
    } else {
        run_stock_major(weights, market, n_days, n_stocks, rates, totals.data());
    }
    for (std::size_t day = 0; day < n_days; ++day) {
        const DaySums &t = totals[day];
        daily_cash[day] = t.buy + t.hold + t.hold_dividend + t.sell + t.sell_dividend;
    }
}

}  // namespace tolvane::kernels
