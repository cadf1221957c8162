#include "strategy_engine.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "day_rows.hpp"
#include "day_step.hpp"

namespace tolvane::kernels {
namespace {

using day_step::DaySums;
using day_step::Rates;
using day_step::StockDayMarket;
using day_step::Trade;

// The summation order of a day's profit and loss, the same whatever the
// layout of the arrays: each of the five terms is summed over the stocks in
// kLanes partial sums, stock s adding to lane s % kLanes in ascending order
// of s; a term's lanes are added as (lane 0 + lane 1) + (lane 2 + lane 3);
// the five terms are then added left to right (DaySums::cash).
constexpr std::size_t kLanes = 4;

struct DayLanes {
    double buy[kLanes] = {};
    double hold[kLanes] = {};
    double hold_dividend[kLanes] = {};
    double sell[kLanes] = {};
    double sell_dividend[kLanes] = {};

    void add(std::size_t lane, const DaySums &terms) {
        buy[lane] += terms.buy;
        hold[lane] += terms.hold;
        hold_dividend[lane] += terms.hold_dividend;
        sell[lane] += terms.sell;
        sell_dividend[lane] += terms.sell_dividend;
    }

    double cash() const {
        const auto total = [](const double (&lanes)[kLanes]) {
            return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
        };
        return DaySums{total(buy), total(hold), total(hold_dividend), total(sell), total(sell_dividend)}
            .cash();
    }
};

// Market rows contiguous (C order, as a prepared store's memory maps are):
// day by day, each day a contiguous, vectorised sweep over the stocks with
// the holding vector in cache, in blocks whose permission bytes are first
// widened to doubles (a loop mixing bytes and doubles would be vectorised at
// the byte width). Four stocks at a time go each into its own lane; a block
// starts at a multiple of kLanes, and its tail, short of a whole number of
// lanes only at the end of the day, goes one stock at a time.
constexpr std::size_t kSweepBlock = 256;
static_assert(kSweepBlock % kLanes == 0);

TOLVANE_SIMD_CLONES void sweep_block(const double *weight, const double *prev_close,
                                     const std::uint8_t *can_buy, const std::uint8_t *cant_sell,
                                     const double *close, const double *buy_price, const double *sell_price,
                                     const double *split, const double *dividend, std::size_t width,
                                     const Rates &rates, double *holding, DayLanes &lanes) {
    double buyable[kSweepBlock];
    double sellable[kSweepBlock];
    day_step::widen_permissions(can_buy, cant_sell, width, buyable, sellable);
    DayLanes sums = lanes;
    const auto stock_terms = [&](std::size_t k) {
        DaySums terms;
        const double target = day_step::lot_target(weight[k], prev_close[k], rates);
        const StockDayMarket market = day_step::stock_day_market(prev_close[k], close[k], buy_price[k],
                                                                 sell_price[k], split[k], dividend[k], rates);
        day_step::trade_and_book(target, market, buyable[k] != 0.0, sellable[k] == 0.0, holding[k], terms);
        return terms;
    };
    const std::size_t whole = width / kLanes * kLanes;
    for (std::size_t first = 0; first < whole; first += kLanes) {
#pragma omp simd
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            sums.add(lane, stock_terms(first + lane));
    }
    for (std::size_t k = whole; k < width; ++k)
        sums.add(k % kLanes, stock_terms(k));
    lanes = sums;
}

void run_day_major(const MatrixView<double> &weights, const MarketArrays &market, std::size_t n_days,
                   std::size_t n_stocks, const Rates &rates, DayLanes *totals) {
    std::vector<double> holding(n_stocks, 0.0);
    // Weights in another layout (pandas' own, for one) are gathered a few days
    // at a time; row-major weights are read in place.
    DayRows<double> weight_rows(weights, n_days, n_stocks);
    for (std::size_t day = 0; day < n_days; ++day) {
        const auto row = static_cast<std::ptrdiff_t>(day);
        const double *weight_row = weight_rows.row(day);
        for (std::size_t first = 0; first < n_stocks; first += kSweepBlock) {
            const auto col = static_cast<std::ptrdiff_t>(first);
            sweep_block(weight_row + first, &market.prev_close.at(row, col), &market.can_buy.at(row, col),
                        &market.cant_sell.at(row, col), &market.close.at(row, col),
                        &market.buy_price.at(row, col), &market.sell_price.at(row, col),
                        &market.split.at(row, col), &market.dividend.at(row, col),
                        std::min(kSweepBlock, n_stocks - first), rates, holding.data() + first, totals[day]);
        }
    }
}

// Any other layout (columns contiguous, as pandas stores frames, or
// strided) goes stock by stock through all the days, so that a column-major
// array is read from start to end, as a row-major one is by the day-major
// sweep (reading it in pieces of a few days costs a page walk a piece). A
// stock's days go in blocks: its targets for the block are worked out at
// once (vectorised along the column); then its holding walks the block's
// restricted days, the one step that must go day after day, found from the
// permission bytes without widening them; then each day's trade is
// read off the holdings before and after it and its terms are booked to the
// day's lanes, the stock's own lane of each term held as one run over the
// days. The stocks go in ascending order, so every day's lanes receive them
// in the row-major order: the result is the same bit for bit.
constexpr std::size_t kWalkDays = 64;

// Every day's lanes: for each term, one run over the days per lane.
struct LaneRuns {
    std::size_t n_days;
    std::vector<double> buy, hold, hold_dividend, sell, sell_dividend;

    explicit LaneRuns(std::size_t days)
        : n_days(days), buy(kLanes * days), hold(kLanes * days), hold_dividend(kLanes * days),
          sell(kLanes * days), sell_dividend(kLanes * days) {}

    // Adds a stock's terms to its lane on a day: at lane * n_days + day.
    void add(std::size_t at, const DaySums &terms) {
        buy[at] += terms.buy;
        hold[at] += terms.hold;
        hold_dividend[at] += terms.hold_dividend;
        sell[at] += terms.sell;
        sell_dividend[at] += terms.sell_dividend;
    }

    DayLanes day(std::size_t d) const {
        DayLanes lanes;
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const std::size_t at = lane * n_days + d;
            lanes.buy[lane] = buy[at];
            lanes.hold[lane] = hold[at];
            lanes.hold_dividend[lane] = hold_dividend[at];
            lanes.sell[lane] = sell[at];
            lanes.sell_dividend[lane] = sell_dividend[at];
        }
        return lanes;
    }
};

// A stock's column of a matrix from a given day: element d at data[d * stride];
// with kContiguous the stride is 1, and the compiler vectorises plain loads.
template <typename T, bool kContiguous>
struct Column {
    const T *data;
    std::ptrdiff_t stride;

    Column(const MatrixView<T> &view, std::size_t stock, std::size_t first_day)
        : data(&view.at(static_cast<std::ptrdiff_t>(first_day), static_cast<std::ptrdiff_t>(stock))),
          stride(view.row_stride) {}

    const T &operator[](std::size_t d) const {
        return kContiguous ? data[d] : data[static_cast<std::ptrdiff_t>(d) * stride];
    }
};

// Share counts below 2^53 are whole numbers, held exactly: a trade that goes
// through then brings the holding exactly to the target. A day on which both
// buying and selling are allowed (nearly every day) so ends at its target
// whatever came before; a restricted day raises yesterday's holding to the
// target when buying is allowed, or lowers it when selling is (targets are
// never negative). The trade is then read off the holdings
// (day_step::trade_between).
constexpr double kExactShares = 9007199254740992.0;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
static_assert(kWalkDays <= 64, "a block's restricted days are one 64-bit mask");

// The days of a block on which buying or selling is barred, one bit a day.
template <bool kContiguous>
std::uint64_t restricted_days(const Column<std::uint8_t, kContiguous> &can_buy,
                              const Column<std::uint8_t, kContiguous> &cant_sell, std::size_t days) {
    std::uint64_t restricted = 0;
    std::size_t d = 0;
#if defined(__SSE2__)
    if constexpr (kContiguous) {
        using Bytes = char __attribute__((vector_size(16)));
        for (; d + sizeof(Bytes) <= days; d += sizeof(Bytes)) {
            Bytes buy, bar;
            std::memcpy(&buy, &can_buy[d], sizeof buy);
            std::memcpy(&bar, &cant_sell[d], sizeof bar);
            const Bytes barred = (buy == 0) | (bar != 0);
            const auto bits = static_cast<std::uint16_t>(__builtin_ia32_pmovmskb128(barred));
            restricted |= static_cast<std::uint64_t>(bits) << d;
        }
    }
#endif
    for (; d < days; ++d)
        restricted |= static_cast<std::uint64_t>((can_buy[d] == 0) | (cant_sell[d] != 0)) << d;
    return restricted;
}

template <bool kContiguous>
TOLVANE_SIMD_CLONES void walk_stock(const MatrixView<double> &weights, const MarketArrays &market,
                                    std::size_t stock, const Rates &rates, LaneRuns &runs) {
    const std::size_t n_days = runs.n_days;
    const std::size_t lane_start = stock % kLanes * n_days;
    // The holding before the block's first day, then after each of its days;
    // first filled with each day's target.
    double holdings[kWalkDays + 1];
    double targets[kWalkDays];  // kept only when shares are past exact whole numbers
    double holding = 0.0;
    for (std::size_t first = 0; first < n_days; first += kWalkDays) {
        const std::size_t days = std::min(kWalkDays, n_days - first);
        using Prices = Column<double, kContiguous>;
        using Flags = Column<std::uint8_t, kContiguous>;
        const Prices weight(weights, stock, first), prev_close(market.prev_close, stock, first),
            close(market.close, stock, first), buy_price(market.buy_price, stock, first),
            sell_price(market.sell_price, stock, first), split(market.split, stock, first),
            dividend(market.dividend, stock, first);
        const Flags can_buy(market.can_buy, stock, first), cant_sell(market.cant_sell, stock, first);

        double largest_target = 0.0;
#pragma omp simd reduction(max : largest_target)
        for (std::size_t d = 0; d < days; ++d) {
            const double target = day_step::lot_target(weight[d], prev_close[d], rates);
            holdings[d + 1] = target;
            largest_target = std::max(largest_target, target);
        }
        holdings[0] = holding;

        // The holding coming in is the target of a day before, or nothing.
        const bool exact = std::max(largest_target, holding) < kExactShares;
        if (exact) {
            for (std::uint64_t restricted = restricted_days(can_buy, cant_sell, days); restricted != 0;
                 restricted &= restricted - 1) {
                const auto d = static_cast<std::size_t>(std::countr_zero(restricted));
                const double target = holdings[d + 1];
                const double floor = can_buy[d] != 0 ? target : -kInfinity;
                const double ceiling = cant_sell[d] != 0 ? kInfinity : target;
                holdings[d + 1] = std::min(std::max(holdings[d], floor), ceiling);
            }
        } else {
            std::copy(holdings + 1, holdings + 1 + days, targets);
            for (std::size_t d = 0; d < days; ++d) {
                day_step::trade(targets[d], can_buy[d] != 0, cant_sell[d] != 0, holding);
                holdings[d + 1] = holding;
            }
        }
        holding = holdings[days];

        const auto book_day = [&](std::size_t d, const Trade &done) {
            const StockDayMarket day = day_step::stock_day_market(
                prev_close[d], close[d], buy_price[d], sell_price[d], split[d], dividend[d], rates);
            DaySums terms;
            day_step::book(done, day, terms);
            runs.add(lane_start + first + d, terms);
        };
        if (exact) {
#pragma omp simd
            for (std::size_t d = 0; d < days; ++d)
                book_day(d, day_step::trade_between(holdings[d], holdings[d + 1]));
        } else {
            for (std::size_t d = 0; d < days; ++d) {
                double held = holdings[d];
                book_day(d, day_step::trade(targets[d], can_buy[d] != 0, cant_sell[d] != 0, held));
            }
        }
    }
}

void run_stock_major(const MatrixView<double> &weights, const MarketArrays &market, std::size_t n_days,
                     std::size_t n_stocks, const Rates &rates, DayLanes *totals) {
    const bool contiguous = weights.row_stride == 1 && market.prev_close.row_stride == 1 &&
                            market.can_buy.row_stride == 1 && market.cant_sell.row_stride == 1 &&
                            market.close.row_stride == 1 && market.buy_price.row_stride == 1 &&
                            market.sell_price.row_stride == 1 && market.split.row_stride == 1 &&
                            market.dividend.row_stride == 1;
    LaneRuns runs(n_days);
    for (std::size_t stock = 0; stock < n_stocks; ++stock) {
        if (contiguous)
            walk_stock<true>(weights, market, stock, rates, runs);
        else
            walk_stock<false>(weights, market, stock, rates, runs);
    }
    for (std::size_t d = 0; d < n_days; ++d)
        totals[d] = runs.day(d);
}

}  // namespace

void strategy_daily_cash(const MatrixView<double> &weights, const MarketArrays &market, std::size_t n_days,
                         std::size_t n_stocks, const TradingCosts &costs, double *daily_cash) {
    const Rates rates(costs);
    std::vector<DayLanes> totals(n_days);
    if (market.rows_contiguous()) {
        run_day_major(weights, market, n_days, n_stocks, rates, totals.data());
    } else {
        run_stock_major(weights, market, n_days, n_stocks, rates, totals.data());
    }
    for (std::size_t day = 0; day < n_days; ++day)
        daily_cash[day] = totals[day].cash();
}

}  // namespace tolvane::kernels
