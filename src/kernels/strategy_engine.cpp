#include "strategy_engine.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "day_rows.hpp"
#include "day_step.hpp"

namespace tolvane::kernels {
namespace {

using day_step::DaySums;
using day_step::Rates;
using day_step::StockDayMarket;

// Market rows contiguous (C order, as a prepared store's memory maps are):
// day by day, each day a contiguous, vectorised sweep over the stocks with
// the holding vector in cache. The sweep goes in blocks whose permission
// bytes are first widened to doubles.
constexpr std::size_t kSweepBlock = 256;

TOLVANE_SIMD_CLONES void sweep_block(const double *weight, const double *prev_close,
                                     const std::uint8_t *can_buy, const std::uint8_t *cant_sell,
                                     const double *close, const double *buy_price,
                                     const double *sell_price, const double *split,
                                     const double *dividend, std::size_t width,
                                     const Rates &rates, double *holding, DaySums &day_sums) {
    double buyable[kSweepBlock];
    double sellable[kSweepBlock];
    day_step::widen_permissions(can_buy, cant_sell, width, buyable, sellable);
    double buy = 0.0, hold = 0.0, hold_dividend = 0.0, sell = 0.0, sell_dividend = 0.0;
#pragma omp simd reduction(+ : buy, hold, hold_dividend, sell, sell_dividend)
    for (std::size_t k = 0; k < width; ++k) {
        DaySums sums;
        const double target = day_step::lot_target(weight[k], prev_close[k], rates);
        const StockDayMarket market = day_step::stock_day_market(
            prev_close[k], close[k], buy_price[k], sell_price[k], split[k], dividend[k], rates);
        day_step::trade_and_book(target, market, buyable[k] != 0.0, sellable[k] == 0.0, holding[k], sums);
        buy += sums.buy;
        hold += sums.hold;
        hold_dividend += sums.hold_dividend;
        sell += sums.sell;
        sell_dividend += sums.sell_dividend;
    }
    day_sums.add({buy, hold, hold_dividend, sell, sell_dividend});
}

void run_day_major(const MatrixView<double> &weights, const MarketArrays &market,
                   std::size_t n_days, std::size_t n_stocks, const Rates &rates,
                   DaySums *totals) {
    std::vector<double> holding(n_stocks, 0.0);
    // Weights in another layout (pandas' own, for one) are gathered a few days
    // at a time; row-major weights are read in place.
    DayRows<double> weight_rows(weights, n_days, n_stocks);
    for (std::size_t day = 0; day < n_days; ++day) {
        const auto row = static_cast<std::ptrdiff_t>(day);
        const double *weight_row = weight_rows.row(day);
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
        const StockDayMarket market = day_step::stock_day_market(
            prev_close[i * ps], close[i * cs], buy_price[i * bs], sell_price[i * ss], split[i * xs],
            dividend[i * ds], rates);
        chunk.target[d] = day_step::lot_target(weight[i * ws], prev_close[i * ps], rates);
        chunk.buy_gain[d] = market.buy_gain;
        chunk.hold_gain[d] = market.hold_gain;
        chunk.sell_gain[d] = market.sell_gain;
        chunk.dividend[d] = market.dividend;
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
                day_step::trade_and_book(c.target[d],
                                         {c.buy_gain[d], c.hold_gain[d], c.sell_gain[d], c.dividend[d]},
                                         market.can_buy.at(row, col) != 0,
                                         market.cant_sell.at(row, col) != 0, holding[k], sums);
            }
            totals[first_day + d].add(sums);
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
    for (std::size_t day = 0; day < n_days; ++day)
        daily_cash[day] = totals[day].cash();
}

}  // namespace tolvane::kernels
