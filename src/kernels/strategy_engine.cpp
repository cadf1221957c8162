#include "strategy_engine.hpp"

#include <algorithm>
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
// days, the one step that must go day after day; then each day's trade is
// read off the holdings before and after it and its terms are booked to the
// day's lanes, the stock's own lane of each term held as one run over the
// days. The stocks go in ascending order, so every day's lanes receive them
// in the row-major order: the result is the same bit for bit.
constexpr std::size_t kWalkDays = 64;
static_assert(kWalkDays % 4 == 0);

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
// through then brings the holding exactly to the target. So a day's holding
// is yesterday's raised to the target when buying is allowed and lowered to
// it when selling is: clamp(yesterday, floor, ceiling), floor being the
// target or -inf and ceiling the target or +inf (targets are never
// negative); and the trade is read off the holdings (day_step::trade_between).
constexpr double kExactShares = 9007199254740992.0;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A block of one stock's days.
struct StockBlock {
    double target[kWalkDays];
    double buyable[kWalkDays];  // as day_step::widen_permissions gives them
    double sellable[kWalkDays];
    double floor[kWalkDays];  // whole quads: past the block's days, -inf and +inf
    double ceiling[kWalkDays];
    double holding[kWalkDays + 4];  // before the first day, then after each day (whole quads)
};

using Quad = double __attribute__((vector_size(4 * sizeof(double))));
using QuadMask = std::int64_t __attribute__((vector_size(4 * sizeof(std::int64_t))));

// Writes the holding after each of the block's `days` days to `after` from
// the holding before them and returns the last. A day on which both buying
// and selling are allowed (nearly every day) ends at its target whatever
// came before, so only the quads of days with a restriction walk the chain
// day by day.
[[gnu::always_inline]] inline double walk_holdings(const StockBlock &block, std::size_t days, double holding,
                                                   double *after) {
    for (std::size_t d = 0; d < days; d += 4) {
        Quad floor, ceiling;
        std::memcpy(&floor, block.floor + d, sizeof floor);
        std::memcpy(&ceiling, block.ceiling + d, sizeof ceiling);
        // Whether any of the four days is restricted, folded in the vector.
        QuadMask restricted = floor != ceiling;
        restricted |= __builtin_shuffle(restricted, QuadMask{2, 3, 0, 1});
        restricted |= __builtin_shuffle(restricted, QuadMask{1, 0, 3, 2});
        if (restricted[0] == 0) {
            std::memcpy(after + d, &floor, sizeof floor);
            continue;
        }
        holding = d == 0 ? holding : after[d - 1];
        for (std::size_t k = d; k < d + 4; ++k) {
            holding = std::min(std::max(holding, block.floor[k]), block.ceiling[k]);
            after[k] = holding;
        }
    }
    return after[days - 1];
}

template <bool kContiguous>
TOLVANE_SIMD_CLONES void walk_stock(const MatrixView<double> &weights, const MarketArrays &market,
                                    std::size_t stock, const Rates &rates, LaneRuns &runs) {
    const std::size_t n_days = runs.n_days;
    const std::size_t lane_start = stock % kLanes * n_days;
    StockBlock block;
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

        if constexpr (kContiguous) {
            day_step::widen_permissions(&can_buy[0], &cant_sell[0], days, block.buyable, block.sellable);
        } else {
            for (std::size_t d = 0; d < days; ++d) {
                block.buyable[d] = can_buy[d] != 0 ? 1.0 : 0.0;
                block.sellable[d] = cant_sell[d] != 0 ? 0.0 : 1.0;
            }
        }
        const std::size_t whole_quads = (days + 3) / 4 * 4;
        std::fill(block.floor + days, block.floor + whole_quads, -kInfinity);
        std::fill(block.ceiling + days, block.ceiling + whole_quads, kInfinity);
        double largest_target = 0.0;
#pragma omp simd reduction(max : largest_target)
        for (std::size_t d = 0; d < days; ++d) {
            const double target = day_step::lot_target(weight[d], prev_close[d], rates);
            block.target[d] = target;
            block.floor[d] = day_step::choose(block.buyable[d] != 0.0, target, -kInfinity);
            block.ceiling[d] = day_step::choose(block.sellable[d] != 0.0, target, kInfinity);
            largest_target = std::max(largest_target, target);
        }

        // The holding coming in is the target of a day before, or nothing.
        const bool exact = std::max(largest_target, holding) < kExactShares;
        block.holding[0] = holding;
        if (exact) {
            holding = walk_holdings(block, days, holding, block.holding + 1);
        } else {
            for (std::size_t d = 0; d < days; ++d) {
                day_step::trade(block.target[d], block.buyable[d] != 0.0, block.sellable[d] == 0.0, holding);
                block.holding[d + 1] = holding;
            }
        }

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
                book_day(d, day_step::trade_between(block.holding[d], block.holding[d + 1]));
        } else {
#pragma omp simd
            for (std::size_t d = 0; d < days; ++d) {
                double held = block.holding[d];
                book_day(d, day_step::trade(block.target[d], block.buyable[d] != 0.0,
                                            block.sellable[d] == 0.0, held));
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

bool rows_contiguous(const MarketArrays &market) {
    return market.prev_close.col_stride == 1 && market.can_buy.col_stride == 1 &&
           market.cant_sell.col_stride == 1 && market.close.col_stride == 1 &&
           market.buy_price.col_stride == 1 && market.sell_price.col_stride == 1 &&
           market.split.col_stride == 1 && market.dividend.col_stride == 1;
}

}  // namespace

void strategy_daily_cash(const MatrixView<double> &weights, const MarketArrays &market, std::size_t n_days,
                         std::size_t n_stocks, const TradingCosts &costs, double *daily_cash) {
    const Rates rates(costs);
    std::vector<DayLanes> totals(n_days);
    if (rows_contiguous(market)) {
        run_day_major(weights, market, n_days, n_stocks, rates, totals.data());
    } else {
        run_stock_major(weights, market, n_days, n_stocks, rates, totals.data());
    }
    for (std::size_t day = 0; day < n_days; ++day)
        daily_cash[day] = totals[day].cash();
}

}  // namespace tolvane::kernels
