#include "group_engine.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

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

// What a day brings before any trade, as the vectorised sweep reads it: each
// stock's group, the shares that group wants of it (its weight in the
// group, 1 / the group's number of members, in whole lots at the previous
// close), what the day pays per share, and, when traded values are asked
// for, what a share trades for (null otherwise).
struct DayPlan {
    const double *wanted_by;  // the group that wants the stock, kNoGroup for none
    const double *target;     // 0 for none
    const double *buy_gain;
    const double *hold_gain;
    const double *sell_gain;
    const double *dividend;
    const double *trade_buy;
    const double *trade_sell;

    std::int32_t group_of(std::size_t stock) const { return static_cast<std::int32_t>(wanted_by[stock]); }

    StockDayMarket market(std::size_t stock) const {
        return {buy_gain[stock], hold_gain[stock], sell_gain[stock], dividend[stock]};
    }

    TradePrices prices(std::size_t stock) const {
        return trade_buy == nullptr ? TradePrices{} : TradePrices{trade_buy[stock], trade_sell[stock]};
    }

    // The plan from stock `first` on.
    DayPlan from(std::size_t first) const {
        const auto shifted = [first](const double *values) {
            return values == nullptr ? values : values + first;
        };
        return {wanted_by + first, target + first,   buy_gain + first,   hold_gain + first,
                sell_gain + first, dividend + first, shifted(trade_buy), shifted(trade_sell)};
    }
};

// The price rows of one day's market, as the plans read them.
struct PriceRows {
    const double *prev_close;
    const double *close;
    const double *buy_price;
    const double *sell_price;
    const double *split;
    const double *dividend;
};

// Where a day's plan is written (DayPlan's arrays).
struct PlanSlot {
    double *wanted_by, *target, *buy_gain, *hold_gain, *sell_gain, *dividend, *trade_buy, *trade_sell;
};

// Fills a day's plan from its market rows, the groups cut: the targets (where
// each stock's weight in its group is until then), what the day pays per
// share, and the trade prices when the plan has room for them.
TOLVANE_SIMD_CLONES void plan_day(const PriceRows &rows, std::size_t n_stocks, const Rates &rates,
                                  const PlanSlot &plan) {
#pragma omp simd
    for (std::size_t k = 0; k < n_stocks; ++k) {
        const StockDayMarket market =
            day_step::stock_day_market(rows.prev_close[k], rows.close[k], rows.buy_price[k],
                                       rows.sell_price[k], rows.split[k], rows.dividend[k], rates);
        plan.target[k] = day_step::lot_target(plan.target[k], rows.prev_close[k], rates);
        plan.buy_gain[k] = market.buy_gain;
        plan.hold_gain[k] = market.hold_gain;
        plan.sell_gain[k] = market.sell_gain;
        plan.dividend[k] = market.dividend;
    }
    if (plan.trade_buy == nullptr)
        return;
#pragma omp simd
    for (std::size_t k = 0; k < n_stocks; ++k) {
        const TradePrices prices =
            day_step::trade_prices(rows.buy_price[k], rows.sell_price[k], rows.split[k]);
        plan.trade_buy[k] = prices.buy;
        plan.trade_sell[k] = prices.sell;
    }
}

// The cores this process may run on.
unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0)
        return static_cast<unsigned>(CPU_COUNT(&cores));
#endif
    return std::thread::hardware_concurrency();
}

// The plans of a ring of days, one day after another in each array; the
// trade prices only when traded values are asked for.
class PlanRing {
  public:
    PlanRing(std::size_t days, std::size_t n_stocks, bool with_trade_prices)
        : n_stocks_(n_stocks), wanted_by_(days * n_stocks), target_(days * n_stocks),
          buy_gain_(days * n_stocks), hold_gain_(days * n_stocks), sell_gain_(days * n_stocks),
          dividend_(days * n_stocks), trade_buy_(with_trade_prices ? days * n_stocks : 0),
          trade_sell_(with_trade_prices ? days * n_stocks : 0) {}

    DayPlan plan(std::size_t slot) const {
        const std::size_t offset = slot * n_stocks_;
        const auto at = [offset](const std::vector<double> &values) -> const double * {
            return values.empty() ? nullptr : values.data() + offset;
        };
        return {at(wanted_by_), at(target_),   at(buy_gain_),  at(hold_gain_),
                at(sell_gain_), at(dividend_), at(trade_buy_), at(trade_sell_)};
    }

    PlanSlot slot(std::size_t slot) {
        const std::size_t offset = slot * n_stocks_;
        const auto at = [offset](std::vector<double> &values) {
            return values.empty() ? nullptr : values.data() + offset;
        };
        return {at(wanted_by_), at(target_),   at(buy_gain_),  at(hold_gain_),
                at(sell_gain_), at(dividend_), at(trade_buy_), at(trade_sell_)};
    }

  private:
    std::size_t n_stocks_;
    std::vector<double> wanted_by_, target_, buy_gain_, hold_gain_, sell_gain_, dividend_, trade_buy_,
        trade_sell_;
};

// Fills days' plans. Each thread that fills plans has its own: the cutter
// and the readers of rows in other layouts keep state.
class Planner {
  public:
    Planner(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
            std::size_t n_stocks, std::size_t n_groups, const Rates &rates)
        : factor_rows_(factor, n_days, n_stocks), prev_close_rows_(market.prev_close, n_days, n_stocks),
          close_rows_(market.close, n_days, n_stocks), buy_price_rows_(market.buy_price, n_days, n_stocks),
          sell_price_rows_(market.sell_price, n_days, n_stocks), split_rows_(market.split, n_days, n_stocks),
          dividend_rows_(market.dividend, n_days, n_stocks), rates_(rates), n_stocks_(n_stocks),
          n_groups_(n_groups) {}

    // Days must come in ascending order.
    void fill(std::size_t day, PlanRing &ring, std::size_t slot) {
        const PlanSlot plan = ring.slot(slot);
        cutter_.cut(factor_rows_.row(day), n_stocks_, n_groups_, plan.wanted_by, plan.target);
        const PriceRows rows{prev_close_rows_.row(day), close_rows_.row(day), buy_price_rows_.row(day),
                             sell_price_rows_.row(day), split_rows_.row(day), dividend_rows_.row(day)};
        plan_day(rows, n_stocks_, rates_, plan);
    }

  private:
    DayRows<double> factor_rows_;
    DayRows<double> prev_close_rows_, close_rows_, buy_price_rows_, sell_price_rows_, split_rows_,
        dividend_rows_;
    Rates rates_;
    GroupCutter cutter_;
    std::size_t n_stocks_;
    std::size_t n_groups_;
};

// Every day's plan, made ahead of the trading pass on a second thread where
// the process may use two cores: plans do not depend on trading, and both
// are bound by computation. Days are taken in order, a unit at a time (a
// day, or the few days whose rows are gathered together from other
// layouts), by the worker round a ring of slots, and by the trading thread
// when it reaches a unit nobody has taken, or while it waits for one the
// worker is on: the two share the work whichever is faster. On a single
// core every day is planned on the trading thread.
class PlansAhead {
  public:
    PlansAhead(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
               std::size_t n_stocks, std::size_t n_groups, const Rates &rates, bool with_trade_prices)
        : here_(factor, market, n_days, n_stocks, n_groups, rates), n_days_(n_days),
          unit_days_(rows_in_place(factor, market) ? 1 : kGatherDays),
          ring_days_(worth_a_thread(n_days) ? kRingDays : kGatherDays),
          ring_(ring_days_, n_stocks, with_trade_prices) {
        for (std::atomic<std::size_t> &day : planned_)
            day.store(kNoDay);
        if (!worth_a_thread(n_days))
            return;
        try {
            ahead_.emplace(factor, market, n_days, n_stocks, n_groups, rates);
            worker_ = std::thread([this] { plan_ahead(); });
        } catch (const std::system_error &) {
            // No thread to be had: every day is planned on this one.
        }
    }

    PlansAhead(const PlansAhead &) = delete;
    PlansAhead &operator=(const PlansAhead &) = delete;

    ~PlansAhead() {
        if (!worker_.joinable())
            return;
        stop_.store(true);
        traded_.store(kNoDay);
        traded_.notify_one();
        worker_.join();
    }

    // Day `day`'s plan, the days before it all traded; days must come in
    // ascending order.
    DayPlan day(std::size_t day) {
        traded_.store(day);
        traded_.notify_one();
        const std::size_t slot = slot_of(day);
        const std::size_t unit = day / unit_days_;
        std::size_t untaken = unit;
        if (unit * unit_days_ == day && next_unit_.compare_exchange_strong(untaken, unit + 1))
            fill_unit(here_, unit);
        // Not planned yet: the worker is on it. Plan later units here
        // meanwhile, as far as the ring has room, rather than wait.
        for (std::size_t planned = planned_[slot].load(); planned != day; planned = planned_[slot].load()) {
            std::size_t later = next_unit_.load();
            if (unit_end(later) <= std::min(day + ring_days_, n_days_) &&
                next_unit_.compare_exchange_strong(later, later + 1))
                fill_unit(here_, later);
            else
                planned_[slot].wait(planned);
        }
        if (failed_.load())
            std::rethrow_exception(failure_);
        return ring_.plan(slot);
    }

  private:
    // 16 days of 5,000 stocks are 3.8 MB of plans: the ring stays in the
    // shared cache.
    static constexpr std::size_t kRingDays = 16;
    static_assert(kRingDays % kGatherDays == 0);
    static constexpr std::size_t kNoDay = static_cast<std::size_t>(-1);

    static bool worth_a_thread(std::size_t n_days) { return n_days >= 2 * kRingDays && usable_cores() >= 2; }

    static bool rows_in_place(const MatrixView<double> &factor, const MarketArrays &market) {
        return factor.col_stride == 1 && market.prev_close.col_stride == 1 && market.close.col_stride == 1 &&
               market.buy_price.col_stride == 1 && market.sell_price.col_stride == 1 &&
               market.split.col_stride == 1 && market.dividend.col_stride == 1;
    }

    std::size_t slot_of(std::size_t day) const { return day % ring_days_; }
    std::size_t unit_end(std::size_t unit) const { return std::min((unit + 1) * unit_days_, n_days_); }

    // Plans the unit's days, each marked planned as soon as it is.
    void fill_unit(Planner &planner, std::size_t unit) {
        for (std::size_t day = unit * unit_days_; day < unit_end(unit); ++day) {
            planner.fill(day, ring_, slot_of(day));
            planned_[slot_of(day)].store(day);
            planned_[slot_of(day)].notify_one();
        }
    }

    void plan_ahead() {
        for (std::size_t unit = next_unit_.load(); unit * unit_days_ < n_days_; unit = next_unit_.load()) {
            // The unit's slots are free once the days a ring earlier have been traded.
            std::size_t traded = traded_.load();
            while (traded != kNoDay && traded + kRingDays < unit_end(unit)) {
                traded_.wait(traded);
                traded = traded_.load();
            }
            if (stop_.load())
                return;
            std::size_t untaken = unit;
            if (!next_unit_.compare_exchange_strong(untaken, unit + 1))
                continue;  // the trading thread took it meanwhile
            try {
                fill_unit(*ahead_, unit);
            } catch (...) {
                // The day the trading waits for is marked planned, with the failure.
                failure_ = std::current_exception();
                failed_.store(true);
                for (std::size_t day = unit * unit_days_; day < unit_end(unit); ++day) {
                    planned_[slot_of(day)].store(day);
                    planned_[slot_of(day)].notify_one();
                }
                return;
            }
        }
    }

    Planner here_;
    std::optional<Planner> ahead_;
    std::size_t n_days_;
    std::size_t unit_days_;
    // Planned on this thread alone, each day's plan is read while it is still in the cache.
    std::size_t ring_days_;
    PlanRing ring_;
    // The first unit nobody has taken yet; the day the trading is on (kNoDay
    // once it stops); the day each slot holds.
    std::atomic<std::size_t> next_unit_{0};
    std::atomic<std::size_t> traded_{0};
    std::atomic<std::size_t> planned_[kRingDays];
    std::atomic<bool> stop_{false};
    std::exception_ptr failure_;  // written before failed_ is set
    std::atomic<bool> failed_{false};
    std::thread worker_;  // started once everything it uses is built; joined by the destructor
};

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
