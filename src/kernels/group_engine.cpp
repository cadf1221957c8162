#include "group_engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "day_plans.hpp"
#include "day_rows.hpp"
#include "day_step.hpp"
#include "row_order.hpp"

namespace tolvane::kernels {
namespace {

using day_step::choose;
using day_step::DaySums;
using day_step::Rates;
using day_step::StockDayMarket;
using day_step::Trade;
using day_step::TradePrices;

// "No group", where a group number is held as a double.
constexpr double kNoGroup = GroupCutter::kNoGroup;

// Where the groups' shares of each stock are kept. Almost always one group
// at most holds a stock at the end of a day: the group that wanted it, or the
// one it left when the sale went through. Such a stock lives in the owner
// slot (owner, shares), which the day's vectorised sweep reads and writes.
// A stock whose sale was barred while another group bought it is held by
// several groups for a while: it moves to the GroupTable, which lists each
// such stock's holdings and books them one by one, until no more than one
// group holds it again.
struct OwnerSlots {
    std::vector<double> owner;  // the group holding the shares, kNoGroup for none
    std::vector<double> shares;
    std::vector<double> several;  // 1.0 while the stock lives in the per-group table

    explicit OwnerSlots(std::size_t n_stocks)
        : owner(n_stocks, kNoGroup), shares(n_stocks, 0.0), several(n_stocks, 0.0) {}
};

class GroupTable {
  public:
    // Only a few dozen stocks are held by several groups at once: their lists
    // live in a small pool that stays in the cache, reached from each stock's
    // entry number. A released list keeps its memory for the next stock.
    explicit GroupTable(std::size_t n_stocks) : entry_of_(n_stocks, kNoEntry) {}

    void put(std::size_t stock, std::size_t group, double shares) {
        holdings_of(stock).push_back({group, shares});
    }

    // Trades the stock in every group that holds it or wants it (group
    // `wanted_by`, -1 for none) and books each group's terms, and its traded
    // value when `traded` (one value a group) is given.
    void trade(std::size_t stock, std::int32_t wanted_by, double wanted_target, const StockDayMarket &market,
               const TradePrices &prices, bool can_buy, bool cant_sell, DaySums *sums, double *traded) {
        std::vector<Holding> &holdings = holdings_of(stock);
        const auto trade_one = [&](Holding &holding, double target) {
            const Trade done = day_step::trade(target, can_buy, cant_sell, holding.shares);
            day_step::book(done, market, sums[holding.group]);
            if (traded != nullptr)
                traded[holding.group] += day_step::traded_value(done, prices);
        };
        bool wanted_holds = false;
        for (Holding &holding : holdings) {
            const bool wanted = static_cast<std::int32_t>(holding.group) == wanted_by;
            wanted_holds = wanted_holds || wanted;
            trade_one(holding, wanted ? wanted_target : 0.0);
        }
        if (!wanted_holds && wanted_by >= 0) {
            Holding bought{static_cast<std::size_t>(wanted_by), 0.0};
            trade_one(bought, wanted_target);
            holdings.push_back(bought);
        }
        std::erase_if(holdings, [](const Holding &holding) { return holding.shares == 0.0; });
    }

    // Back to the owner slot once at most one group holds the stock.
    void move_back_if_single(std::size_t stock, OwnerSlots &slots) {
        std::vector<Holding> &holdings = holdings_of(stock);
        if (holdings.size() > 1)
            return;
        const bool held = holdings.size() == 1;
        slots.owner[stock] = held ? static_cast<double>(holdings[0].group) : kNoGroup;
        slots.shares[stock] = held ? holdings[0].shares : 0.0;
        slots.several[stock] = 0.0;
        holdings.clear();
        free_entries_.push_back(entry_of_[stock]);
        entry_of_[stock] = kNoEntry;
    }

  private:
    struct Holding {
        std::size_t group;
        double shares;
    };
    static constexpr std::uint32_t kNoEntry = UINT32_MAX;

    // The stock's list, taking a free one from the pool if it has none.
    std::vector<Holding> &holdings_of(std::size_t stock) {
        std::uint32_t &entry = entry_of_[stock];
        if (entry == kNoEntry) {
            if (free_entries_.empty()) {
                free_entries_.push_back(static_cast<std::uint32_t>(entries_.size()));
                entries_.emplace_back();
            }
            entry = free_entries_.back();
            free_entries_.pop_back();
        }
        return entries_[entry];
    }

    std::vector<std::uint32_t> entry_of_;
    std::vector<std::vector<Holding>> entries_;
    std::vector<std::uint32_t> free_entries_;
};

// The day's cash of every group, kept in a few lanes that stocks take in
// turn: consecutive stocks of one group then add to different memory, so the
// additions do not wait for each other. A stock adds its holder's cash to a
// lane of the first set and a newcomer's to the same lane of the second, so
// that its two additions never meet either. Each lane has a slot past the
// last group for the (zero) cash of stocks nobody owns or wants. A stock's
// slot is its lane's first slot plus its group. Stocks booked group by group
// add their five sums apart. When the groups' traded values are asked for,
// each slot holds two values, the cash and the traded value, so that a stock
// books both in one addition.
class GroupSums {
  public:
    static constexpr std::size_t kLanes = 4;

    GroupSums(std::size_t n_groups, std::size_t values_per_slot)
        : n_groups_(n_groups), values_per_slot_(values_per_slot),
          slots_(values_per_slot * 2 * kLanes * (n_groups + 1)), several_(n_groups),
          several_traded_(n_groups) {}

    // The slot past the last group.
    double no_group_slot() const { return static_cast<double>(n_groups_); }

    // The first slot of the k-th stock's lane (of a block), in the first set.
    double lane_start(std::size_t k) const { return static_cast<double>((k % kLanes) * (n_groups_ + 1)); }

    // From a lane of the first set to the same lane of the second.
    double second_set() const { return static_cast<double>(kLanes * (n_groups_ + 1)); }

    void clear() {
        std::fill(slots_.begin(), slots_.end(), 0.0);
        std::fill(several_.begin(), several_.end(), DaySums{});
        std::fill(several_traded_.begin(), several_traded_.end(), 0.0);
    }

    // The values of the slot whose first value is at `place` (a slot times
    // the values per slot).
    double *at(std::int32_t place) { return slots_.data() + place; }

    DaySums *several() { return several_.data(); }
    // nullptr when traded values are not asked for.
    double *several_traded() { return values_per_slot_ == 2 ? several_traded_.data() : nullptr; }

    double cash(std::size_t group) const { return with_lanes(several_[group].cash(), group, 0); }
    double traded(std::size_t group) const { return with_lanes(several_traded_[group], group, 1); }

  private:
    // `total` plus value `value` of the group's slot in every lane, added in lane order.
    double with_lanes(double total, std::size_t group, std::size_t value) const {
        for (std::size_t lane = 0; lane < 2 * kLanes; ++lane)
            total += slots_[values_per_slot_ * (lane * (n_groups_ + 1) + group) + value];
        return total;
    }

    std::size_t n_groups_;
    std::size_t values_per_slot_;
    std::vector<double> slots_;
    std::vector<DaySums> several_;
    std::vector<double> several_traded_;
};

// Adds the `kValues` values at `from` to those of a slot: two (cash and
// traded value) in one vector addition, which the compiler does not find on
// its own.
template <std::size_t kValues>
[[gnu::always_inline]] inline void add_to_slot(double *slot, const double *from) {
    if constexpr (kValues == 2) {
        using Pair = double __attribute__((vector_size(2 * sizeof(double))));
        Pair sum, addend;
        std::memcpy(&sum, slot, sizeof(Pair));
        std::memcpy(&addend, from, sizeof(Pair));
        sum += addend;
        std::memcpy(slot, &sum, sizeof(Pair));
    } else {
        static_assert(kValues == 1);
        slot[0] += from[0];
    }
}

// One block of a day's row, as the vectorised sweep leaves it for booking.
constexpr std::size_t kBlock = 256;

struct Block {
    double buyable[kBlock];
    double sellable[kBlock];

    // Where the day's cash of each stock goes, a place of GroupSums (whole
    // numbers, ready for the scalar booking that follows the sweep): the
    // holder's (the owner's cash, towards its target when it is the group
    // that wants the stock, else out; or, for a stock nobody owned, the cash
    // of the group that bought it from nothing), and the newcomer's (a buy
    // from nothing by the group that wants a stock another group owns).
    // With traded values, each stock books two values, the cash and then the
    // money its trades move; without, the cash alone.
    std::int32_t place[kBlock];
    double booked[2 * kBlock];
    std::int32_t newcomer_place[kBlock];
    double newcomer_booked[2 * kBlock];
    // Non-zero for a stock booked group by group (kept in the GroupTable),
    // and for one that has just come to need that: its owner could not sell
    // while the group that wants it bought (the owner slot still holds the
    // owner and its shares). A whole number, so that booking counts the
    // special stocks without a comparison each.
    std::int32_t special[kBlock];
};

// With kTraded, the sweep also works out the money each stock's trades move.
template <bool kTraded>
TOLVANE_SIMD_CLONES void sweep_block(const DayPlan &plan, const std::uint8_t *can_buy,
                                     const std::uint8_t *cant_sell, std::size_t width,
                                     const double *lane_start, double no_group_slot, double second_set,
                                     double *owner, double *shares, const double *several, Block &block) {
    day_step::widen_permissions(can_buy, cant_sell, width, block.buyable, block.sellable);
    const double *wanted_by = plan.wanted_by;
#pragma omp simd
    for (std::size_t k = 0; k < width; ++k) {
        const StockDayMarket market = plan.market(k);
        const double target = plan.target[k];
        const bool buys = block.buyable[k] != 0.0, bars_sale = block.sellable[k] == 0.0;
        const bool stays = several[k] == 0.0;
        const bool owned = owner[k] >= 0.0;
        const bool owner_wants = owner[k] == wanted_by[k];

        double owner_shares = shares[k];
        const Trade owner_trade =
            day_step::trade(choose(owner_wants, target, 0.0), buys, bars_sale, owner_shares);
        const double owner_cash = day_step::day_cash(owner_trade, market);
        // The group that wants a stock another group owns buys from nothing
        // (a target is never negative): only the buy can happen.
        const bool newcomer_wants = !owner_wants & (wanted_by[k] >= 0.0);
        const double newcomer_shares = choose(newcomer_wants & (target > 0.0) & buys, target, 0.0);
        const double newcomer_cash = newcomer_shares * market.buy_gain;

        // The newcomer takes over the slot once the owner is out; an owner
        // still holding keeps it while the newcomer bought nothing.
        const bool owner_out = owner_shares == 0.0;
        const bool newcomer_bought = stays & owned & (newcomer_shares != 0.0);
        const bool two_holders = newcomer_bought & !owner_out;
        const double holder =
            choose(owned, owner[k], choose(wanted_by[k] >= 0.0, wanted_by[k], no_group_slot));
        constexpr double kValues = kTraded ? 2.0 : 1.0;
        block.place[k] = static_cast<std::int32_t>((lane_start[k] + holder) * kValues);
        block.newcomer_place[k] = static_cast<std::int32_t>(
            (lane_start[k] + second_set + choose(newcomer_bought, wanted_by[k], no_group_slot)) * kValues);
        const double cash = choose(stays, choose(owned, owner_cash, newcomer_cash), 0.0);
        const double joining_cash = choose(newcomer_bought, newcomer_cash, 0.0);
        if constexpr (kTraded) {
            const TradePrices prices{plan.trade_buy[k], plan.trade_sell[k]};
            block.booked[2 * k] = cash;
            block.booked[2 * k + 1] = choose(
                stays,
                choose(owned, day_step::traded_value(owner_trade, prices), newcomer_shares * prices.buy),
                0.0);
            block.newcomer_booked[2 * k] = joining_cash;
            block.newcomer_booked[2 * k + 1] = choose(newcomer_bought, newcomer_shares * prices.buy, 0.0);
        } else {
            block.booked[k] = cash;
            block.newcomer_booked[k] = joining_cash;
        }
        block.special[k] = static_cast<std::int32_t>(!stays | two_holders);
        owner[k] = choose(stays & !owner_wants & owner_out, wanted_by[k], owner[k]);
        shares[k] = choose(stays, choose(owner_wants | !owner_out, owner_shares, newcomer_shares), shares[k]);
    }
}

// A stock the vectorised sweep does not book: one kept in the GroupTable is
// traded group by group (and moves back to its owner slot once a single
// group holds it); one whose owner could not sell while the group that wants
// it bought moves to the table, both holdings with it. The stock is the k-th
// of `block`, whose sweep has widened its permissions.
void book_special(std::size_t stock, const Block &block, std::size_t k, const DayPlan &plan,
                  OwnerSlots &slots, GroupTable &table, GroupSums &sums) {
    const std::int32_t wanted_by = plan.group_of(stock);
    // The newcomer bought its whole target.
    const double target = plan.target[stock];
    if (slots.several[stock] == 0.0) {
        table.put(stock, static_cast<std::size_t>(slots.owner[stock]), slots.shares[stock]);
        table.put(stock, static_cast<std::size_t>(wanted_by), target);
        slots.owner[stock] = kNoGroup;
        slots.shares[stock] = 0.0;
        slots.several[stock] = 1.0;
        return;
    }
    table.trade(stock, wanted_by, target, plan.market(stock), plan.prices(stock), block.buyable[k] != 0.0,
                block.sellable[k] == 0.0, sums.several(), sums.several_traded());
    table.move_back_if_single(stock, slots);
}

template <bool kTraded>
void run_groups(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
                std::size_t n_stocks, std::size_t n_groups, const TradingCosts &costs, double *daily_cash,
                double *daily_traded) {
    const Rates rates(costs);
    PlansAhead plans(factor, market, n_days, n_stocks, n_groups, rates, kTraded);
    OwnerSlots slots(n_stocks);
    GroupTable table(n_stocks);
    constexpr std::size_t kValues = kTraded ? 2 : 1;
    GroupSums sums(n_groups, kValues);
    Block block;
    std::uint32_t special[kBlock];
    double lane_start[kBlock];
    for (std::size_t k = 0; k < kBlock; ++k)
        lane_start[k] = sums.lane_start(k);

    // Arrays in pandas' column layout are gathered a few days at a time, as
    // the single engine does: a month at a time, the nine gathered blocks
    // (11 MB at 5,000 stocks) left the cache before they were read, and
    // the groups took twice as long. The plans read the factor and the
    // prices; the trading pass reads the permissions.
    DayRows<std::uint8_t> can_buy_rows(market.can_buy, n_days, n_stocks);
    DayRows<std::uint8_t> cant_sell_rows(market.cant_sell, n_days, n_stocks);

    for (std::size_t day = 0; day < n_days; ++day) {
        const DayPlan plan = plans.day(day);
        const std::uint8_t *can_buy = can_buy_rows.row(day);
        const std::uint8_t *cant_sell = cant_sell_rows.row(day);
        sums.clear();

        for (std::size_t first = 0; first < n_stocks; first += kBlock) {
            const std::size_t width = std::min(kBlock, n_stocks - first);
            sweep_block<kTraded>(plan.from(first), can_buy + first, cant_sell + first, width, lane_start,
                                 sums.no_group_slot(), sums.second_set(), slots.owner.data() + first,
                                 slots.shares.data() + first, slots.several.data() + first, block);
            std::size_t n_special = 0;
#pragma GCC unroll 4
            for (std::size_t k = 0; k < width; ++k) {
                add_to_slot<kValues>(sums.at(block.place[k]), block.booked + kValues * k);
                add_to_slot<kValues>(sums.at(block.newcomer_place[k]), block.newcomer_booked + kValues * k);
                special[n_special] = static_cast<std::uint32_t>(k);
                n_special += static_cast<std::size_t>(block.special[k]);
            }
            for (std::size_t j = 0; j < n_special; ++j)
                book_special(first + special[j], block, special[j], plan, slots, table, sums);
        }
        for (std::size_t g = 0; g < n_groups; ++g)
            daily_cash[day * n_groups + g] = sums.cash(g);
        if constexpr (kTraded) {
            for (std::size_t g = 0; g < n_groups; ++g)
                daily_traded[day * n_groups + g] = sums.traded(g);
        }
    }
}

}  // namespace

void group_daily_cash(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
                      std::size_t n_stocks, std::size_t n_groups, const TradingCosts &costs,
                      double *daily_cash, double *daily_traded) {
    if (daily_traded != nullptr)
        run_groups<true>(factor, market, n_days, n_stocks, n_groups, costs, daily_cash, daily_traded);
    else
        run_groups<false>(factor, market, n_days, n_stocks, n_groups, costs, daily_cash, nullptr);
}

void factor_groups(const MatrixView<double> &factor, std::size_t n_days, std::size_t n_stocks,
                   std::size_t n_groups, double *groups) {
    GroupCutter cutter;
    DayRows<double> factor_rows(factor, n_days, n_stocks);
    for (std::size_t day = 0; day < n_days; ++day) {
        // The cutter's 0-based groups become 1-based group numbers in place.
        double *row = groups + day * n_stocks;
        cutter.cut(factor_rows.row(day), n_stocks, n_groups, row);
        for (std::size_t stock = 0; stock < n_stocks; ++stock)
            row[stock] = row[stock] >= 0.0 ? row[stock] + 1.0 : NAN;
    }
}

}  // namespace tolvane::kernels
